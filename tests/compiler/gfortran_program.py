#!/usr/bin/env python3
"""Preprocesses a small multi-file Fortran program with tfpp, compiles it with gfortran and runs it.

The program (tests/compiler/program) includes a guarded file twice (a second copy of its
declarations would not compile), takes a macro file through an angled name found with -I, picks
its loop body with -DSQUARES and expands a function-like macro in its source under -m. Each
variant must print its expected line. Exits 77 (skipped) when gfortran is absent.
"""
import os
import shutil
import subprocess
import sys
import tempfile

from compiler_setup import SKIPPED, tfpp_and_compiler

HERE = os.path.dirname(os.path.abspath(__file__))

# (extra tfpp arguments, expected output of the program)
VARIANTS = [
    ([], "SUM    55"),
    (["-DSQUARES"], "SQUARES   385"),
]


def main():
    tfpp, gfortran = tfpp_and_compiler("gfortran")
    if gfortran is None:
        return SKIPPED
    work = tempfile.mkdtemp(prefix="tfpp-program-")
    try:
        shutil.copytree(os.path.join(HERE, "program"), work, dirs_exist_ok=True)
        for extra, expected in VARIANTS:
            args = [tfpp, "-nologo", "-m", "-Iinc"] + extra
            pre = subprocess.run(args + ["main.F", "out.f"], cwd=work, capture_output=True,
                                 text=True, timeout=60)
            if pre.returncode != 0 or pre.stderr:
                print("tfpp failed:", pre.returncode, pre.stdout, pre.stderr)
                return 1
            comp = subprocess.run([gfortran, "out.f", "-o", "prog"], cwd=work,
                                  capture_output=True, text=True, timeout=120)
            if comp.returncode != 0:
                print("gfortran rejected the output of", extra, ":\n" + comp.stderr)
                with open(os.path.join(work, "out.f")) as f:
                    print(f.read())
                return 1
            run = subprocess.run([os.path.join(work, "prog")], cwd=work, capture_output=True,
                                 text=True, timeout=60)
            if run.returncode != 0 or run.stdout.strip() != expected:
                print("the program of", extra, "printed", repr(run.stdout), "not",
                      repr(expected))
                return 1
            print(" ".join(extra) or "(default)", "->", expected)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

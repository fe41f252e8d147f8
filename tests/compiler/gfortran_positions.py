#!/usr/bin/env python3
"""Checks that a Fortran compiler run on tfpp's output blames the original file and line.

A fixed-form program with a deliberate error on line 7 is preprocessed with -n, which drops the
blank lines and the directive line, so only the line markers keep the numbering right. Then
`gfortran -fsyntax-only` must report "prog.F:7:". Exits 77 (skipped) when gfortran is absent.
"""
import os
import shutil
import subprocess
import sys
import tempfile

from compiler_setup import SKIPPED, tfpp_and_compiler

PROGRAM = (
    "      PROGRAM P\n"
    "#define X 1\n"
    "\n"
    "C     BLANK LINES ABOVE AND BELOW ARE COMPRESSED AWAY BY -n\n"
    "\n"
    "      INTEGER I\n"
    "      I = 1 +\n"
    "      END\n"
)


def main():
    tfpp, gfortran = tfpp_and_compiler("gfortran")
    if gfortran is None:
        return SKIPPED
    work = tempfile.mkdtemp(prefix="tfpp-gfortran-")
    try:
        with open(os.path.join(work, "prog.F"), "w") as f:
            f.write(PROGRAM)
        pre = subprocess.run([tfpp, "-nologo", "-n", "prog.F", "out.f"],
                             cwd=work, capture_output=True, text=True, timeout=60)
        if pre.returncode != 0:
            print("tfpp failed:", pre.returncode, pre.stdout, pre.stderr)
            return 1
        comp = subprocess.run([gfortran, "-fsyntax-only", "out.f"], cwd=work,
                              capture_output=True, text=True, timeout=60)
        if comp.returncode == 0:
            print("gfortran accepted a program with an error")
            return 1
        if "prog.F:7:" not in comp.stderr:
            print("gfortran did not blame prog.F line 7:\n" + comp.stderr)
            return 1
        print("gfortran blames prog.F:7 as expected")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

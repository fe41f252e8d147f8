#!/usr/bin/env python3
"""Compares tfpp --fortran with the preprocessor of `gfortran -cpp` on the golden cases of
tests/cli/fortran_directives where the two are meant to agree: the same tokens in the output
(white space and blank lines may differ), the same failure or success, and each #warning and
#error text shown by both. Exits 77 (skipped) when gfortran is not installed.

Each case runs in a fresh folder holding its input and its .d files. tfpp gets the case's own
arguments with -P; gfortran gets `-cpp -E -P` with the case's -D and -I arguments.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from compiler_setup import SKIPPED, tfpp_and_compiler

HERE = os.path.dirname(os.path.abspath(__file__))
CASES_DIR = os.path.join(HERE, "..", "cli", "fortran_directives")

# case -> the message texts both must show (empty: compare the output and the status only)
CASES = {
    "expand_code_lines": [],
    "includer_dir": [],
    "pragma_once": [],
    "push_pop_macro": [],
    "function_defines": [],
    "warning_directive": ["configuration: default"],
    "error_is_error": ["NPROC must be set"],
}


def case_arguments(stem):
    with open(os.path.join(CASES_DIR, stem + ".args")) as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def tokens(text):
    """Names and numbers, then every other character on its own: blanks never matter."""
    code = "\n".join(line for line in text.splitlines() if not line.startswith("#"))
    return re.findall(r"\w+|[^\w\s]", code)


def run(cmd, cwd):
    proc = subprocess.run(cmd, cwd=cwd, capture_output=True, timeout=60)
    return (proc.returncode, proc.stdout.decode("utf-8", "replace"),
            proc.stderr.decode("utf-8", "replace"))


def check(stem, tfpp, gfortran, work, failures):
    run_dir = os.path.join(work, stem)
    os.makedirs(run_dir)
    args = case_arguments(stem)
    source = args[-1]
    shutil.copy(os.path.join(CASES_DIR, source), run_dir)
    if os.path.isdir(os.path.join(CASES_DIR, stem + ".d")):
        shutil.copytree(os.path.join(CASES_DIR, stem + ".d"), run_dir, dirs_exist_ok=True)
    ours = run([tfpp, "-P"] + args, run_dir)
    gnu_args = [a for a in args[:-1] if a.startswith(("-D", "-I"))]
    theirs = run([gfortran, "-cpp", "-E", "-P"] + gnu_args + [source], run_dir)
    if tokens(ours[1]) != tokens(theirs[1]):
        failures.append("%s: the tokens differ\n--- tfpp\n%s\n--- gfortran -cpp\n%s"
                        % (stem, ours[1], theirs[1]))
    if (ours[0] == 0) != (theirs[0] == 0):
        failures.append("%s: tfpp status %d, gfortran -cpp status %d" % (stem, ours[0], theirs[0]))
    for text in CASES[stem]:
        if text not in ours[2] or text not in theirs[2]:
            failures.append("%s: %r not shown by both\n--- tfpp\n%s\n--- gfortran -cpp\n%s"
                            % (stem, text, ours[2], theirs[2]))


def main():
    tfpp, gfortran = tfpp_and_compiler("gfortran")
    if gfortran is None:
        return SKIPPED
    work = tempfile.mkdtemp(prefix="tfpp-gfortran-directives-")
    failures = []
    try:
        for stem in CASES:
            check(stem, tfpp, gfortran, work, failures)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Compares the code tfpp --fortran writes with what `gfortran -cpp -E` writes, token by token.

Each input below exercises a behaviour of the Fortran mode in which tfpp and gfortran's
preprocessor agree: C comments removed (also on directive lines, and `/**/` joining two tokens),
parameter names substituted inside character literals of function-like macros, `//` as the
concatenation operator, trigraphs left alone, no blank that would split or join tokens, and
the fixed and free forms with their comment lines. Comments are not compared (tfpp copies
Fortran comments unchanged, gfortran's preprocessor may not), nor is white space. Exits 77
(skipped) when gfortran is absent.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from compiler_setup import SKIPPED, tfpp_and_compiler

CASES = {
    "c_comments.F90": (
        "#define UD_TESTS_INC\n"
        "#ifdef UD_TESTS_INC\n"
        "      x = a /* inline */ + b\n"
        "#endif /* UD_TESTS_INC */\n"
        "/* A licence comment\n"
        "   shared with C */\n"
        "#define MAYBEWRAP(name) wrap_/**/name\n"
        "      call MAYBEWRAP(json_get)(p)\n"
        "      y = wrap_/**/name\n"
        "      z = 1/**/2\n"
        "#define N 10\n"
        "#define M 1 + 2\n"
        "#define wrap_N 99\n"
        "#define P(a) a/**/N\n"
        "      x = wrap_/**/N + P(wrap_)\n"
        "      y = N/**/N + M/**/M + a/**/M\n"
    ),
    "literals.F90": (
        "#define N 10\n"
        "#define T(x) 'x'\n"
        "#define S(x, y) \"x: don\"\"t y\" // 'y''s'\n"
        "      s = 'it''s N' // \"say \"\"N\"\"\" // N\n"
        # No blank before an argument: gfortran keeps it inside the literal, tfpp does not.
        "      u = T(hello) // S(one,two)\n"
        "      v = 'x??=y' // 'N' // N\n"
    ),
    "spacing.F": (
        "#define N 1\n"
        "#define M -1\n"
        "#define E\n"
        "#define F(a,b) a+b\n"
        "#define G(a) (a)\n"
        "      I = N + N + N + N + N + N + N + N + N + N + N + N + N + N + N + 1\n"
        "      J = -M\n"
        "      K = N E\n"
        "      L = F( x , y )*2\n"
        "      L = G(N)N\n"
        "      M2 = N+M\n"
    ),
    "fixed.F": (
        "#define N 10\n"
        "C     comment line N\n"
        "c     lower case N\n"
        "* star N\n"
        "D     X = N\n"
        "      Y = N ! trailing N\n"
        "     +    + N\n"
        "#ifdef NOPE\n"
        "C     skipped\n"
        "#endif\n"
        "      W = N\n"
    ),
    "free.f90": (
        "#define N 10\n"
        "#define CAT(a, b) a // b\n"
        "x = CAT(N, 'y') ! comment N\n"
        "#if defined(N) && N > 5\n"
        "y = N\n"
        "#else\n"
        "y = 0\n"
        "#endif\n"
    ),
}

# A fixed-form statement that ends exactly in column 72: a blank added after each expansion
# would push its end past the column where the compiler stops reading.
COLUMN_72 = "      I = " + "N + " * 15 + "10"
assert len(COLUMN_72) == 72
PROGRAM_72 = (
    "#define N 1\n"
    "      PROGRAM P\n"
    "      INTEGER I\n"
    + COLUMN_72 + "\n"
    "      PRINT '(I4)', I\n"
    "      END\n"
)

TOKEN = re.compile(r"[A-Za-z_$][A-Za-z0-9_$]*|\d+(?:\.\d*)?(?:[eEdD][+-]?\d+)?|\S")


def code_tokens(text, fixed):
    """The tokens of the code lines: literals whole, comments and white space left out."""
    tokens = []
    for line in text.split("\n"):
        if line.startswith("#"):
            continue
        if fixed and line[:1] in ("C", "c", "*", "!"):
            continue
        i = 0
        # A fixed-form continuation mark in column 6 is no token of the statement.
        if fixed and len(line) > 5 and "\t" not in line[:6] and line[5] not in " 0":
            i = 6
        while i < len(line):
            c = line[i]
            if c in "'\"":
                j = i + 1
                while j < len(line):
                    if line[j] == c:
                        if j + 1 < len(line) and line[j + 1] == c:
                            j += 2
                            continue
                        break
                    j += 1
                tokens.append(line[i:j + 1])
                i = j + 1
                continue
            if c == "!" and not (fixed and i == 5):
                break
            if c.isspace():
                i += 1
                continue
            m = TOKEN.match(line, i)
            tokens.append(m.group(0))
            i = m.end()
    return tokens


def check_column_72(tfpp, gfortran, work):
    """Compiles and runs PROGRAM_72 preprocessed by tfpp --fortran; 1 on a failure."""
    with open(os.path.join(work, "p72.F"), "w") as f:
        f.write(PROGRAM_72)
    pre = subprocess.run([os.path.abspath(tfpp), "-nologo", "--fortran", "p72.F", "p72.f"],
                         cwd=work, capture_output=True, text=True, timeout=60)
    comp = subprocess.run([gfortran, "p72.f", "-o", "p72"], cwd=work, capture_output=True,
                          text=True, timeout=120)
    if pre.returncode != 0 or comp.returncode != 0:
        print("column 72: preprocessing or compiling failed\n" + pre.stdout + comp.stderr)
        return 1
    run = subprocess.run([os.path.join(work, "p72")], capture_output=True, text=True, timeout=60)
    if run.stdout.strip() != "25":
        print(f"column 72: the program printed {run.stdout.strip()!r}, not 25")
        return 1
    print("column 72: the statement keeps its length and the program prints 25")
    return 0


def main():
    tfpp, gfortran = tfpp_and_compiler("gfortran")
    if gfortran is None:
        return SKIPPED
    work = tempfile.mkdtemp(prefix="tfpp-fortran-mode-")
    failures = 0
    try:
        for name, text in CASES.items():
            with open(os.path.join(work, name), "w") as f:
                f.write(text)
            fixed = name.endswith(".F")
            ours = subprocess.run([tfpp, "-nologo", "--fortran", "-P", name],
                                  cwd=work, capture_output=True, text=True, timeout=60)
            theirs = subprocess.run([gfortran, "-cpp", "-E", "-P", name], cwd=work,
                                    capture_output=True, text=True, timeout=60)
            if ours.returncode != 0 or theirs.returncode != 0:
                print(f"{name}: tfpp status {ours.returncode}, gfortran status "
                      f"{theirs.returncode}\n{ours.stdout}{ours.stderr}{theirs.stderr}")
                failures += 1
                continue
            a = code_tokens(ours.stdout, fixed)
            b = code_tokens(theirs.stdout, fixed)
            if a != b:
                print(f"{name}: tokens differ\n  tfpp:     {a}\n  gfortran: {b}")
                failures += 1
            else:
                print(f"{name}: {len(a)} tokens as gfortran -cpp -E gives them")
        failures += check_column_72(tfpp, gfortran, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

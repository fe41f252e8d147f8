#!/usr/bin/env python3
"""Compares tfpp --fortran with flang-new's preprocessor on Fortran operators and #if.

Two tables: `#if` expressions with Fortran operators (alone and mixed with C operators where the
two programs give the operators the same precedence), whose truth both programs must agree on;
and code lines with `.op.` forms next to numbers and names, whose expansion both must write
with the same text (white space and flang's own line folding left out). A third table lists
where tfpp differs on purpose; for those tfpp's own result is checked and flang's is shown.
Exits 77 (skipped) when no flang-new is installed.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

DEFINES = "#define N 3\n#define TWO 2\n#define IS3(x) x .eq. 3\n"

# (expression, truth)
IF_TABLE = [
    ("1 .eq. 1", True),
    ("N .eq. 3 .and. N .ne. 4", True),
    ("2 .lt. N .and. N .le. 3 .and. N .gt. 2 .and. N .ge. 3", True),
    (".not. N .lt. 3", True),
    ("1 .or. 0 .eqv. 0", False),
    ("0 .and. 0 .eqv. 1 .and. 0", True),
    (".not. 0 .and. 0", False),
    (".not. 1 .eq. 2", True),
    ("2 .eqv. 1", True),
    ("2 .neqv. 1", False),
    ("1 .neqv. 0 .neqv. 1", False),
    ("3 .gt. 2 .eqv. 2 .gt. 3", False),
    ("1 .or. 1 .and. 0", True),
    ("(1 .or. 0) .and. 0", False),
    ("1 & 2 .eq. 0", True),
    ("1 | 2 .eq. 3", True),
    ("1 + 2 .eq. 3", True),
    ("2 * N .gt. 5", True),
    ("1 .lt. 2 && 2 .lt. 1", False),
    ("1 .lt. 2 || 2 .lt. 1", True),
    ("!0 .and. 1", True),
    ("defined(N) .and. .not. defined(M)", True),
    ("IS3(N) .and. IS3(TWO + 1) .and. .not. IS3(TWO)", True),
]

# Where tfpp differs on purpose: (expression, tfpp's truth, why).
IF_DIFFERENCES = [
    ("1.eq.1", True, "an operator right after a number: flang reads '1.e' as a bad number"),
    (".true. .and. .not. .false.", True, "logical constants: flang rejects them in #if"),
    ("1 & 2 == 2", True, "C operators keep C precedence; flang puts == below &"),
    (".not. .not. 5", True, "a .not. directly after .not.: flang reports a precedence error"),
]

CODE = (
    "#define N 7\n"
    "#define M(a, b) a.eq.b .or. a.GT.b\n"
    "#define K 2.5_real64\n"
    "      if (1.eq.N) x = 1\n"
    "      if (N.ne.1 .and. 2.LT.N .Or. .not. N.ge.3.and.N.le.4) y = 2\n"
    "      l = 1.eqv.N .neqv. N.true.N .FALSE. .True.\n"
    "      r = 1.e5 + 1.d0 + 1.E+05 + 3._dp + 2.5_real64 + 1. + 1.5e3.gt.N\n"
    "      z = M(N, 2) .and. M(1.e5, N) .and. K.lt.N .or. N.EQV.N\n"
    "      w = 0.5.le.N .and. .5.ge.N .and. 1.e-3.ne.N\n"
)


def find_flang():
    for name in ("flang-new-19", "flang-new", "flang"):
        path = shutil.which(name)
        if path is not None:
            return path
    return None


def statements(text):
    """The code lines with flang's continuations joined and all white space taken out."""
    out = []
    for line in text.split("\n"):
        if line.startswith("#") or not line.strip():
            continue
        if out and out[-1].endswith("&") and line.lstrip().startswith("&"):
            out[-1] = out[-1][:-1] + line.lstrip()[1:]
            continue
        out.append(line)
    return [re.sub(r"\s+", "", s) for s in out]


def truths(text):
    """The values of the `rK = T/F` lines an #if table file writes, by K."""
    return {int(m.group(1)): m.group(2) == "1" for m in re.finditer(r"r(\d+)\s*=\s*([01])", text)}


def if_file(table):
    body = DEFINES
    for k, (expr, *_rest) in enumerate(table):
        body += f"#if {expr}\n      r{k} = 1\n#else\n      r{k} = 0\n#endif\n"
    return body


def run(command, work):
    return subprocess.run(command, cwd=work, capture_output=True, text=True, timeout=120)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tfpp", required=True)
    opts = parser.parse_args()
    tfpp = os.path.abspath(opts.tfpp)
    flang = find_flang()
    if flang is None:
        print("flang-new not found: test skipped")
        return 77
    work = tempfile.mkdtemp(prefix="tfpp-flang-ops-")
    failures = 0
    try:
        # The #if table: both programs, the same truths, and the truths written above.
        with open(os.path.join(work, "if.F90"), "w") as f:
            f.write(if_file(IF_TABLE))
        ours = run([tfpp, "-nologo", "--fortran", "-P", "if.F90"], work)
        theirs = run([flang, "-E", "if.F90"], work)
        a, b = truths(ours.stdout), truths(theirs.stdout)
        for k, (expr, want) in enumerate(IF_TABLE):
            if a.get(k) != want or b.get(k) != want:
                print(f"#if {expr}: tfpp {a.get(k)}, flang {b.get(k)}, expected {want}")
                failures += 1
        if ours.returncode != 0 or ours.stderr or theirs.returncode != 0:
            print(f"#if table: tfpp status {ours.returncode}, flang status {theirs.returncode}\n"
                  f"{ours.stderr}{theirs.stderr}")
            failures += 1
        if failures == 0:
            print(f"#if table: {len(IF_TABLE)} expressions, the same truth from both")

        # The differences on purpose, one file each: tfpp's value is checked, flang's shown.
        for expr, want, why in IF_DIFFERENCES:
            with open(os.path.join(work, "diff.F90"), "w") as f:
                f.write(if_file([(expr,)]))
            ours = run([tfpp, "-nologo", "--fortran", "-P", "diff.F90"], work)
            theirs = run([flang, "-E", "diff.F90"], work)
            got = truths(ours.stdout).get(0)
            shown = "an error" if theirs.returncode != 0 else truths(theirs.stdout).get(0)
            print(f"#if {expr}: tfpp {got}, flang {shown} ({why})")
            if got != want or ours.returncode != 0 or ours.stderr:
                print(f"  tfpp should give {want} without a message\n{ours.stderr}")
                failures += 1

        # The code lines: the same text but for white space.
        with open(os.path.join(work, "code.F90"), "w") as f:
            f.write(CODE)
        ours = run([tfpp, "-nologo", "--fortran", "-P", "code.F90"], work)
        theirs = run([flang, "-E", "code.F90"], work)
        a, b = statements(ours.stdout), statements(theirs.stdout)
        if ours.returncode != 0 or theirs.returncode != 0 or a != b:
            print(f"code: tfpp status {ours.returncode}, flang status {theirs.returncode}")
            for x, y in zip(a, b):
                if x != y:
                    print(f"  tfpp:  {x}\n  flang: {y}")
            if len(a) != len(b):
                print(f"  {len(a)} statements from tfpp, {len(b)} from flang")
            failures += 1
        else:
            print(f"code: {len(a)} statements with .op. forms written as flang writes them")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Folded long lines must compile as the compiler's line limits demand and mean what they meant.

Generates programs with about 2400 random macro expansions (object-like and function-like
macros with long names and long character literals, trailing `!` comments, and in free form
function-like calls continued over `&` lines), in free form (132 columns), fixed form (72) and
fixed form with -extend_source 132. Each is preprocessed by tfpp --fortran and compiled by
gfortran with -Werror -Wline-truncation at the form's standard limit; the same program written
without macros is compiled without any limit. Both must print the same values. Every output line
is also measured: its code (a trailing comment aside) fits the limit.

A second check places a compile error three lines after a folded line: gfortran must blame the
original file and line, which only the line marker after the folded line can give.

Exits 77 (skipped) when gfortran is absent.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

from compiler_setup import SKIPPED, tfpp_and_compiler

VARIABLES = 12
OBJECTS = 10
FUNCTIONS = 8
TEXTS = 8
LINES = 200  # per program; each line holds several expansions


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        r = self.rng
        self.vars = ["counter_with_a_rather_long_descriptive_name_%d" % i for i in range(VARIABLES)]
        self.objects = {}
        for j in range(OBJECTS):
            a, b = r.sample(self.vars, 2)
            self.objects["OBJ%d" % j] = "(%s + %s * %d)" % (a, b, r.randint(1, 5))
        self.functions = {}
        for j in range(FUNCTIONS):
            v = r.choice(self.vars)
            self.functions["FN%d" % j] = (("x", "y"), "((x) * %d + (y) - %s)" % (r.randint(1, 3), v))
        self.texts = {}
        for j in range(TEXTS):
            words = " ".join(r.choice(["alpha", "it''s", "beta", "gamma!", "delta", "x&y", "omega"])
                             for _ in range(r.randint(3, 14)))
            self.texts["TXT%d" % j] = "'%d %s'" % (j, words)

    def defines(self):
        lines = ["#define %s %s" % (k, v) for k, v in self.objects.items()]
        lines += ["#define %s(%s) %s" % (k, ", ".join(p), b) for k, (p, b) in self.functions.items()]
        lines += ["#define %s %s" % (k, v) for k, v in self.texts.items()]
        return lines

    def expr(self, depth, continued):
        """A random integer expression: (macro form, expanded form)."""
        r = self.rng
        choice = r.randint(0, 3 if depth > 0 else 1)
        if choice == 0:
            v = r.choice(self.vars)
            return v, v
        if choice == 1:
            k = r.choice(list(self.objects))
            return k, self.objects[k]
        if choice == 2:
            name = r.choice(list(self.functions))
            (px, py), body = self.functions[name]
            ax = self.expr(depth - 1, False)
            ay = self.expr(depth - 1, False)
            sep = ", &\n      & " if continued and r.random() < 0.5 else ", "
            expanded = body.replace("(x)", "(%s)" % ax[1]).replace("(y)", "(%s)" % ay[1])
            return "%s(%s%s%s)" % (name, ax[0], sep, ay[0]), expanded
        left = self.expr(depth - 1, continued)
        right = self.expr(depth - 1, continued)
        op = r.choice(["+", "-", "*"])
        return "%s %s %s" % (left[0], op, right[0]), "%s %s %s" % (left[1], op, right[1])


def program(gen, fixed, continued):
    """The program with macros and the same program written out; the number of expansions."""
    r = gen.rng
    lead = "      " if fixed else "  "
    with_macros = gen.defines() + [lead + "program folding"]
    plain = [lead + "program folding"]
    decl = lead + "integer(8) :: %s = %d"
    for i, v in enumerate(gen.vars):
        with_macros.append(decl % (v, i % 5 + 1))
        plain.append(decl % (v, i % 5 + 1))
    for body in ([lead + "integer(8) :: r", lead + "character(len=2000) :: s"]):
        with_macros.append(body)
        plain.append(body)
    expansions = 0
    for _ in range(LINES):
        comment = " ! note %d: OBJ0 it's" % r.randint(0, 999) if r.random() < 0.3 else ""
        if r.random() < 0.7:
            # A line with at least one macro, short enough as it is written.
            while True:
                m, e = gen.expr(3, continued)
                if ("OBJ" in m or "FN" in m) and max(map(len, m.split("\n"))) < 60:
                    break
            expansions += m.count("OBJ") + m.count("FN")
            with_macros.append(lead + "r = " + m + comment)
            plain.append(lead + "r = " + e)
            out = lead + "print '(I0)', r"
        else:
            names = [r.choice(list(gen.texts)) for _ in range(r.randint(2, 5))]
            expansions += len(names)
            with_macros.append(lead + "s = " + " // ".join(names) + comment)
            plain.append(lead + "s = " + " // ".join(gen.texts[n] for n in names))
            out = lead + "print '(A)', trim(s)"
        with_macros.append(out)
        plain.append(out)
    with_macros.append(lead + "end program")
    plain.append(lead + "end program")
    return "\n".join(with_macros) + "\n", "\n".join(plain) + "\n", expansions


def code_lengths(lines, fixed):
    """The length of each line without its trailing `!` comment. A line that ends inside a
    character literal carries it into the continuation line after it."""
    quote = None
    lengths = []
    for line in lines:
        if line.startswith("#"):
            lengths.append(0)
            continue
        start = 0
        if quote:
            start = 6 if fixed else line.index("&") + 1
        length = len(line)
        for i in range(start, len(line)):
            c = line[i]
            if quote:
                if c == quote:
                    quote = None
            elif c in "'\"":
                quote = c
            elif c == "!" and not (fixed and i == 5):
                length = len(line[:i].rstrip())
                break
        lengths.append(length)
    return lengths


def run(cmd, cwd):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=300)


def check_program(tfpp, gfortran, work, name, fixed, limit, extend, seed):
    gen = Generator(sum(map(ord, name)) + seed)
    source, plain, expansions = program(gen, fixed, continued=not fixed)
    ext = ".F" if fixed else ".F90"
    with open(os.path.join(work, name + ext), "w") as f:
        f.write(source)
    with open(os.path.join(work, name + "_plain" + (".f" if fixed else ".f90")), "w") as f:
        f.write(plain)
    args = [tfpp, "-nologo", "--fortran"] + (["-extend_source", str(limit)] if extend else [])
    pre = run(args + [name + ext, name + "_out" + (".f" if fixed else ".f90")], work)
    if pre.returncode != 0:
        return "tfpp failed on %s: %s %s" % (name, pre.returncode, pre.stderr), 0
    with open(os.path.join(work, name + "_out" + (".f" if fixed else ".f90"))) as f:
        lines = f.read().split("\n")
    long_lines = [l for l, n in zip(lines, code_lengths(lines, fixed)) if n > limit]
    if long_lines:
        return "%s: lines over %d columns:\n%s" % (name, limit, "\n".join(long_lines[:3])), 0
    folded = sum(1 for l in lines if l.rstrip().endswith("&") or l[5:6] == "&")
    if folded == 0:
        return "%s: nothing was folded, the test shows nothing" % name, 0
    line_flag = ("-ffixed-line-length-%d" % limit) if extend else None
    strict = [gfortran, "-Werror", "-Wline-truncation"] + ([line_flag] if line_flag else [])
    comp = run(strict + ["-o", name + "_folded", name + "_out" + (".f" if fixed else ".f90")], work)
    if comp.returncode != 0:
        return "%s: gfortran rejected the folded output:\n%s" % (name, comp.stderr[:3000]), 0
    free_flag = "-ffixed-line-length-none" if fixed else "-ffree-line-length-none"
    comp = run([gfortran, free_flag, "-o", name + "_plain",
                name + "_plain" + (".f" if fixed else ".f90")], work)
    if comp.returncode != 0:
        return "%s: the plain program did not compile:\n%s" % (name, comp.stderr[:3000]), 0
    a = run([os.path.join(work, name + "_folded")], work)
    b = run([os.path.join(work, name + "_plain")], work)
    if a.returncode != 0 or a.stdout != b.stdout:
        diff = [(x, y) for x, y in zip(a.stdout.split("\n"), b.stdout.split("\n")) if x != y]
        return "%s: the folded program prints other values: %s" % (name, diff[:3]), 0
    print("%s: %d expansions, %d continued calls, %d folded pieces, same %d output lines" %
          (name, expansions, source.count("&\n"), folded, len(b.stdout.split("\n"))))
    return None, expansions


ERROR_PROGRAM = (
    "#define LONG(x) (x + counter_with_a_rather_long_descriptive_name + " 
    "counter_with_a_rather_long_descriptive_name + counter_with_a_rather_long_descriptive_name)\n"
    "program p\n"
    "  integer :: counter_with_a_rather_long_descriptive_name = 1, r\n"
    "  r = LONG(1) + LONG(2) + LONG(3)\n"
    "\n"
    "  r = r +\n"
    "end program\n"
)


def check_error_position(tfpp, gfortran, work):
    with open(os.path.join(work, "err.F90"), "w") as f:
        f.write(ERROR_PROGRAM)
    pre = run([tfpp, "-nologo", "--fortran", "err.F90", "err_out.f90"], work)
    if pre.returncode != 0:
        return "tfpp failed on err.F90: %s" % pre.stderr
    with open(os.path.join(work, "err_out.f90")) as f:
        if "&" not in f.read():
            return "err.F90: the long line was not folded"
    comp = run([gfortran, "-fsyntax-only", "err_out.f90"], work)
    if comp.returncode == 0:
        return "gfortran accepted a program with an error"
    if "err.F90:6:" not in comp.stderr:
        return "gfortran did not blame err.F90 line 6:\n" + comp.stderr
    print("gfortran blames err.F90:6 after the folded line 4")
    return None


def main():
    tfpp, gfortran = tfpp_and_compiler("gfortran")
    if gfortran is None:
        return SKIPPED
    work = tempfile.mkdtemp(prefix="tfpp-fold-")
    try:
        failures = []
        total = 0
        # The second seed gives a line whose last piece starts inside a literal and ends in a
        # comment past the limit.
        for seed in (18, 15856):
            for name, fixed, limit, extend in [("free132", False, 132, False),
                                                ("fixed72", True, 72, False),
                                                ("fixed132", True, 132, True)]:
                failure, count = check_program(tfpp, gfortran, work, name, fixed, limit,
                                               extend, seed)
                total += count
                if failure:
                    failures.append(failure)
        failure = check_error_position(tfpp, gfortran, work)
        if failure:
            failures.append(failure)
        if total < 1000 and not failures:
            failures.append("only %d expansions were generated" % total)
        for f in failures:
            print(f)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

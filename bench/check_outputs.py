#!/usr/bin/env python3
"""Compares a build of tfpp with a reference build, byte for byte, on varied inputs.

    bench/check_outputs.py BUILD_TFPP REFERENCE_TFPP [--keep DIR]
    bench/check_outputs.py --write-inputs DIR [--size MB]

The inputs are generated with a fixed seed (plain and continued lines, comments of every kind,
strings with apostrophes and quotes, `//`, tabs, CR LF, long lines across the read buffer, a NUL,
directives, macros, includes, a last line without newline) and run under many option sets; every
golden case under tests/cli is run too. Standard output, standard error, the exit status and the
files a run leaves (list, trace, dependency files) must be identical. Used to check that a speed-up
changes nothing; `--write-inputs` writes larger files of the same kind for timing runs.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

NAMES = ["x", "y", "alpha", "beta2", "i", "j", "k", "nmax", "total", "a$b", "buf_len", "rate",
         "DEBUG", "LEVEL", "PI", "SQR", "MAXV", "CAT", "EMPTY", "N", "STR", "ONE"]
NUMBERS = ["1", "0", "42", "3.14159", "1.0e5", ".5", "1.d0", "2.5E-3", "3_8", "0x1F", "017",
           "1.", "100000", "7.0_dp"]
OPS = [" + ", " - ", " * ", " / ", "**", " .and. ", " .eq. ", ", ", " == ", " >= ", "//", " < ",
       "%", " & ", "=", ":"]


def expr(rng, depth=0):
    parts = []
    for _ in range(rng.randint(1, 4)):
        r = rng.random()
        if r < 0.5:
            parts.append(rng.choice(NAMES))
        elif r < 0.8:
            parts.append(rng.choice(NUMBERS))
        elif r < 0.9 and depth < 2:
            parts.append("(" + expr(rng, depth + 1) + ")")
        else:
            parts.append(rng.choice(["'it''s'", '"say ""hi"""', "'a//b'", "'/* no */'",
                                     "'tab\there'", "\"it's\"", "'??='", "'x\\y'"]))
    out = parts[0]
    for p in parts[1:]:
        out += rng.choice(OPS) + p
    return out


def plain_line(rng):
    kind = rng.random()
    if kind < 0.55:
        return "      " + rng.choice(NAMES) + " = " + expr(rng)
    if kind < 0.65:
        return "      call sub" + str(rng.randint(0, 9)) + "(" + expr(rng) + ")"
    if kind < 0.72:
        return rng.choice(["      do 10 i = 1, n", "   10 continue", "      end do", "      end",
                           "      if (x .gt. y) then", "      else", "      endif",
                           "      write(*,*) 'it''s ', x", "      print *, \"a\", 'b'"])
    if kind < 0.80:
        return rng.choice(["C", "c", "*", "!"]) + rng.choice([
            " a comment line", " don't stop", " \"quoted\" text", " x = y // z", " /* c */",
            " tabs\tand  blanks", " 50% done ? yes", " #not a directive", " $dollar", ""])
    if kind < 0.84:
        return "     &  " + expr(rng)  # continuation in column 6
    if kind < 0.87:
        return "\t" + rng.choice(NAMES) + " = " + expr(rng) + "\t! trailing"
    if kind < 0.89:
        return "      x = a /* block */ + b /* two\n   lines */ + c"
    if kind < 0.91:
        return "      x = y // z ! concat " + rng.choice(["'", '"', "?", "\\", "#", "$"])
    if kind < 0.93:
        return "      s = 'continued \\\n string' // \"q\\\n\""
    if kind < 0.95:
        return "      y = ??( 1 ??) ??< a ??> x # y ## z ??/"
    if kind < 0.97:
        return "      z = long" + "_name" * rng.randint(1, 20) + " + " + "9" * rng.randint(1, 30)
    return ""


def directive_block(rng, depth=0):
    r = rng.random()
    lines = []
    if r < 0.3:
        name = rng.choice(["DEBUG", "LEVEL", "UNDEFINED_X", "ONE"])
        lines.append(rng.choice(["#ifdef ", "#ifndef ", "#  ifdef ", "#if defined "]) + name)
        lines += [plain_line(rng) for _ in range(rng.randint(0, 3))]
        if rng.random() < 0.5:
            lines.append(rng.choice(["#else", "#elif LEVEL > 2", "#elif defined(DEBUG) && ONE"]))
            lines += [plain_line(rng) for _ in range(rng.randint(0, 3))]
        lines.append(rng.choice(["#endif", "#endif /* x */", "#endif" + " " * 70 + "late",
                                 "#endif junk"]))
    elif r < 0.4:
        lines.append("#if 0")
        lines += ["      skipped line", "#  define SKIPPED 1", "/* closed */ x", "#if 1",
                  "#endif", "#bogus"]
        lines.append("#endif")
    elif r < 0.6:
        lines.append(rng.choice(["#define PI 3.14159", "#define EMPTY", "#define N 100",
                                 "#define SQR(a) ((a)*(a))", "#define CAT(a,b) a // b",
                                 "#define STR(a) #a", "#define MAXV(a,b) ((a) > (b) ? (a) : (b))",
                                 "#define LEVEL 3", "#undef DEBUG", "#define DEBUG",
                                 "#define ONE 1 /* one */", "#define PASTE(a,b) a ## b",
                                 "#define CHAIN CHAIN2", "#define CHAIN2 N + 1"]))
    elif r < 0.75:
        lines.append(rng.choice(['#include "inc_a.h"', '#include "inc_b.h"', "#include <inc_c.h>",
                                 '#include "missing.h"']))
    elif r < 0.85:
        lines.append(rng.choice(["      x = SQR(y + 1)", "      y = MAXV(a, SQR(b))",
                                 "      z = CAT(s, t)", "      w = PI * N", "      v = STR(abc)",
                                 "      u = SQR (\n     &  x)", "      t = EMPTY + SQR",
                                 "      q = PASTE(ab, cd) + CHAIN", "      p = __LINE__ + 1",
                                 "      o = MAXV(1,\n2)"]))
    elif r < 0.9:
        lines.append(rng.choice(["#pragma (output_comments 0)", "#pragma (output_comments 1)",
                                 "#pragma once", "#pragma (compress_newlines 1)",
                                 "#pragma (compress_newlines 0)", "#pragma (dollar_ident 0)",
                                 "#pragma (dollar_ident 1)"]))
    elif r < 0.95:
        lines.append(rng.choice(["#line 500", '# 77 "other.F"', "#", "#error stop here",
                                 "#foo", "#if LEVEL > (2", "#ifdef"]))
    else:
        lines.append("#if LEVEL >= 2 && defined(DEBUG) || !defined(NONE)")
        lines += [plain_line(rng)]
        lines.append("#endif")
    return lines


def make_source(seed, n_lines, crlf=False, final_newline=True, extras=True):
    rng = random.Random(seed)
    lines = ["#define DEBUG 1", "#define LEVEL 3"]
    while len(lines) < n_lines:
        if rng.random() < 0.08:
            lines += directive_block(rng)
        else:
            lines.append(plain_line(rng))
    if extras:
        # Long lines crossing the read buffer, a NUL, bytes above 0x7F, form feed, vertical tab.
        lines.insert(len(lines) // 3, "      x = " + " + ".join(["abc"] * 900))
        lines.insert(len(lines) // 2, "C " + "long comment 'with quote " * 120)
        lines.insert(len(lines) // 2 + 1, "      s = '" + "y" * 3000 + "'")
        lines.insert(len(lines) // 4, "      x = 1 \x00 + 2")
        lines.insert(len(lines) // 5, "      s = 'caf\xc3\xa9' ! \xc3\xa9t\xc3\xa9 \xff")
        lines.insert(len(lines) // 6, "      x = 1\f + \v 2")
        lines.insert(len(lines) // 7, "      x = 1 ???= 2 ??! 3 ? 4")
        # A skipped group with an unbalanced quote and a comment left open, near the end.
        lines.insert(len(lines) - 5, "#if 0\n      s = 'unbalanced\n/* open\n#endif\n */\n#endif")
    text = "\n".join(lines) + ("\n" if final_newline else "")
    if crlf:
        text = text.replace("\n", "\r\n")
    return text.encode("latin-1")


HEADERS = {
    "inc_a.h": "#ifndef INC_A\n#define INC_A\n      common /a/ x, y\n#include \"inc_b.h\"\n#endif\n",
    "inc_b.h": "C header b\n      integer nb\n      parameter (nb = 10)\n",
    "inc/inc_c.h": "#define FROM_C 1\n      real c(N)\n      data c /N*0.0/",
}

OPTION_SETS = [
    [], ["-m"], ["-noC"], ["-C", "-m"], ["-g", "-m"], ["-g"], ["-P"], ["-n"], ["-a"], ["-Q"],
    ["-B"], ["-noB", "-m"], ["-z"], ["-ansi"], ["-c", "-e"], ["-extend_source", "40"],
    ["-DDEBUG", "-ULEVEL", "-DN=7"], ["-m", "-P", "-n", "-noC"], ["-l"], ["-tl=trace.txt"],
    ["-i", "-s"], ["-p", "-m", "-g", "-a"],
    # The Fortran mode, with its folding of expanded lines in both forms and at a short limit.
    ["--fortran"], ["--fortran", "--form=free"], ["--fortran", "--line-length=24"],
    ["--fortran", "--form=free", "--line-length=30", "-P"],
]

GENERATED = [
    # (file name, seed, lines, crlf, final newline)
    ("gen1.F", 1, 1200, False, True),
    ("gen2.F", 2, 800, True, True),
    ("gen3.f90", 3, 700, False, False),
    ("gen4.c", 4, 500, False, True),
    ("gen5.F", 5, 300, True, False),
]


def timing_source(seed, mb, macro_heavy):
    """A realistic fixed-form file for timing: statements, 10% comment lines, 2% #ifdef lines;
    the macro-heavy one has 11% lines calling function-like macros and 8% object-like ones."""
    rng = random.Random(seed)
    names = ["x%d" % i for i in range(300)] + ["alpha", "beta", "total", "rate", "buf"]
    out = ["#define PI 3.14159", "#define NMAX 100", "#define SQR(a) ((a)*(a))",
           "#define MAXV(a,b) ((a) > (b) ? (a) : (b))", "#define DEBUG 1"]
    size = 0
    while size < mb * 1e6:
        r = rng.random()
        if r < 0.10:
            line = rng.choice(["C", "c", "!", "*"]) + " " + " ".join(
                rng.choice(names) for _ in range(rng.randint(2, 9))) + rng.choice(["", " don't"])
        elif r < 0.11:
            line = "#ifdef DEBUG\n      call trace(%d)\n#endif" % rng.randint(0, 999)
        elif macro_heavy and r < 0.23:
            line = "      %s = SQR(%s) + MAXV(%s, %d)" % (rng.choice(names), rng.choice(names),
                                                       rng.choice(names), rng.randint(0, 99))
        elif macro_heavy and r < 0.31:
            line = "      %s = PI * NMAX + %s" % (rng.choice(names), rng.choice(names))
        else:
            line = "      %s = %s %s %s * %d.%d" % (
                rng.choice(names), rng.choice(names), rng.choice(["+", "-", "*", "/"]),
                rng.choice(names), rng.randint(0, 999), rng.randint(0, 99))
            if rng.random() < 0.1:
                line += " // 'it''s'"
        out.append(line)
        size += len(line) + 1
    return ("\n".join(out) + "\n").encode()


def write_inputs(folder):
    os.makedirs(os.path.join(folder, "inc"), exist_ok=True)
    for name, text in HEADERS.items():
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    for name, seed, n, crlf, final in GENERATED:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(make_source(seed, n, crlf, final))
    small = {"empty.F": b"", "one.F": b"      x = 1", "nl.F": b"\n", "hash.F": b"#",
             "blank.F": b"   \t ", "comment.F": b"/* open", "dir_eof.F": b"#define A 1",
             "cont.F": b"      x = a\\\n  b\\\n", "crcr.F": b"a\r\rb\r\n\r\n"}
    for name, data in small.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    return sorted(list(small) + [g[0] for g in GENERATED])


def run(tfpp, args, folder, stdin=b""):
    proc = subprocess.run([tfpp] + args, cwd=folder, capture_output=True, input=stdin,
                          env={"PATH": "/usr/bin:/bin", "LC_ALL": "C", "TZ": "UTC",
                               "TMPDIR": folder, "SOURCE_DATE_EPOCH": "0"})
    def norm(data):
        data = data.replace(folder.encode(), b"@RUN@")
        data = re.sub(rb"cp[A-Za-z0-9]{6}", b"cpXXXXXX", data)
        return re.sub(rb"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}", b"<DATE>",
                      data)
    left = {}
    for name in sorted(os.listdir(folder)):
        if name.endswith((".lis", ".d", ".txt", ".dep", ".out")):
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    left[name] = norm(f.read())
                os.remove(path)
    return proc.returncode, norm(proc.stdout), norm(proc.stderr), left


def golden_cases():
    cases = []
    for topic in sorted(os.listdir(os.path.join(ROOT, "tests", "cli"))):
        tdir = os.path.join(ROOT, "tests", "cli", topic)
        if not os.path.isdir(tdir):
            continue
        for name in sorted(os.listdir(tdir)):
            if not name.endswith(".out"):
                continue
            stem = os.path.join(tdir, name[:-4])
            if os.path.exists(stem + ".signal") or os.path.exists(stem + ".isolated"):
                continue
            cases.append(stem)
    return cases


def stage_golden(stem, folder):
    base = os.path.basename(stem)
    tdir = os.path.dirname(stem)
    for name in os.listdir(tdir):
        if name.startswith(base + ".") and not name.endswith((".out", ".err", ".args", ".rc",
                                                             ".lis", ".env", ".dep", ".trace")):
            src = os.path.join(tdir, name)
            if os.path.isdir(src):
                for sub in os.listdir(src):
                    s = os.path.join(src, sub)
                    # A folder left by an earlier case of the same name is merged into.
                    if os.path.isdir(s):
                        shutil.copytree(s, os.path.join(folder, sub), dirs_exist_ok=True)
                    else:
                        shutil.copy(s, os.path.join(folder, sub))
            else:
                shutil.copy(src, folder)
    args = None
    if os.path.exists(stem + ".args"):
        with open(stem + ".args") as f:
            args = [a.replace("@RUN@", folder).replace("@TMP@", folder)
                    for a in f.read().splitlines()]
    if args is None:
        inputs = [n for n in os.listdir(tdir) if n.startswith(base + ".") and
                  os.path.splitext(n)[1] not in (".out", ".err", ".args", ".rc", ".lis", ".env",
                                                 ".dep", ".trace", ".stdin", ".d")]
        args = ["-nologo"] + inputs[:1]
    stdin = b""
    if os.path.exists(stem + ".stdin"):
        with open(stem + ".stdin", "rb") as f:
            stdin = f.read()
    return args, stdin


def compare(label, tfpp, ref, args, folder_a, folder_b):
    a = run(tfpp, args, folder_a)
    b = run(ref, args, folder_b)
    a = (a[0], a[1], a[2].replace(folder_a.encode(), b"@RUN@"), a[3])
    b = (b[0], b[1], b[2].replace(folder_b.encode(), b"@RUN@"), b[3])
    if a != b:
        what = [n for n, x, y in zip(("status", "stdout", "stderr", "files"), a, b) if x != y]
        print(f"DIFFER {label}: {', '.join(what)}")
        return False
    return True


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--write-inputs":
        folder = sys.argv[2]
        mb = float(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[3] == "--size" else 4
        os.makedirs(folder, exist_ok=True)
        write_inputs(folder)
        for name, heavy in (("plain.F", False), ("macros.F", True)):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(timing_source(7, mb, heavy))
        return 0
    if "-h" in sys.argv[1:] or "--help" in sys.argv[1:]:
        print(__doc__.strip())
        return 0
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    tfpp, ref = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    work = tempfile.mkdtemp(prefix="tfpp-check-")
    failures = checks = 0
    try:
        fa, fb = os.path.join(work, "a"), os.path.join(work, "b")
        for folder in (fa, fb):
            os.makedirs(folder)
            names = write_inputs(folder)
        for name in names:
            for opts in OPTION_SETS:
                args = ["-nologo", "-Iinc"] + opts + [name]
                checks += 1
                failures += not compare(" ".join(args), tfpp, ref, args, fa, fb)
        # An output file name.
        checks += 1
        failures += not compare("output file", tfpp, ref, ["-nologo", "gen1.F", "o.out"], fa, fb)
        for stem in golden_cases():
            ga, gb = os.path.join(work, "ga"), os.path.join(work, "gb")
            for folder in (ga, gb):
                shutil.rmtree(folder, ignore_errors=True)
                os.makedirs(folder)
            args, stdin = stage_golden(stem, ga)
            stage_golden(stem, gb)
            args_b = [x.replace(ga, gb) for x in args]
            a = run(tfpp, args, ga, stdin)
            b = run(ref, args_b, gb, stdin)
            a = (a[0], a[1].replace(ga.encode(), b"@"), a[2].replace(ga.encode(), b"@"), a[3])
            b = (b[0], b[1].replace(gb.encode(), b"@"), b[2].replace(gb.encode(), b"@"), b[3])
            checks += 1
            if a != b:
                failures += 1
                print("DIFFER golden", os.path.relpath(stem, ROOT))
    finally:
        if "--keep" not in sys.argv:
            shutil.rmtree(work, ignore_errors=True)
    print(f"{checks - failures} of {checks} runs identical")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

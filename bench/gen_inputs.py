#!/usr/bin/env python3
"""Generates the benchmark inputs: fixed-form Fortran with directives, include files and macros.

Every byte comes from a random generator with a fixed seed, so two runs give identical files.
The files go into one folder (build/bench-data by default) and are made again only when they are
missing or when this script changed (a stamp file holds the script's digest).
"""

import argparse
import hashlib
import os
import random
import sys

SEED = 20261208
MB = 1_000_000

# The mix of ordinary inputs: share of lines that call a function-like macro, that use an
# object-like one, and how often a directive group starts (tuned so that about 1.2% of the
# lines of the main file are directives, the includes counted).
DEFAULT_MIX = {"func": 0.0143, "obj": 0.0077, "group": 0.0040}
MACRO_MIX = {"func": 0.121, "obj": 0.088, "group": 0.0040}
INCLUDE_EVERY = 500  # lines of the main file between two #include lines
MESSAGE_COUNT = 90  # redefinitions in the message file; the warning and total limits are 100

SIZES_MB = (1, 10, 100)

# ---- Vocabulary ------------------------------------------------------------------------------
# Bounded on purpose for the mixed inputs: a real code base reuses its names, constants and
# texts. The nested profile below grows its vocabulary with its size instead.

SYLLABLES = ["AL", "BE", "CO", "DE", "EX", "FL", "GR", "HI", "IN", "JO", "KA", "LO", "MA", "NU",
             "OR", "PH", "QU", "RA", "SI", "TE", "UL", "VE", "WA", "XI", "YO", "ZE"]
WORDS = ["the", "value", "loop", "array", "index", "don't", "it's", "isn't", "won't", "we",
         "compute", "update", "boundary", "grid", "cell", "flux", "when", "here", "can't",
         "check", "result", "before", "after", "sum", "of", "all", "points", "user's", "data",
         "solver", "step", "time", "mesh", "that's", "keep", "order", "matrix", "row"]
# Macros: (name, definition line). Comment lines use lower-case words only,
# so no macro name appears in them.
FUNC_MACROS = [
    ("FMAX", "#define FMAX(a,b) max(a,b)"),
    ("FMIN", "#define FMIN(a,b) min(a,b)"),
    ("SQR", "#define SQR(x) ((x)*(x))"),
    ("IDX", "#define IDX(i,j) (((j)-1)*LDIM+(i))"),
    ("CAT", "#define CAT(a,b) a // b"),
    ("CLAMP", "#define CLAMP(x,lo,hi) max(lo,min(x,hi))"),
]
OBJ_MACROS = [
    ("NPTS", "#define NPTS 1024"),
    ("LDIM", "#define LDIM 512"),
    ("WP", "#define WP kind(1.0d0)"),
    ("EPSV", "#define EPSV 1.0d-12"),
    ("NPROC", "#define NPROC 8"),
    ("BIGVAL", "#define BIGVAL huge(1.0d0)"),
]
PROLOGUE_FLAGS = ["#define USE_MPI", "#define HAVE_BLAS 1", "#define HAVE_LAPACK 1",
                  "#define DEBUG_LEVEL 2"]
HEADER_KINDS = 8  # guarded, unguarded and nested headers, this many of each


class Vocabulary:
    """Names, constants, strings and comment texts drawn once from the generator."""

    def __init__(self, rng):
        names = set()
        while len(names) < 2500:
            n = rng.choice((2, 2, 3, 3, 4))
            names.add("".join(rng.choice(SYLLABLES) for _ in range(n)))
        macro_names = {m[0] for m in FUNC_MACROS + OBJ_MACROS}
        self.vars = sorted(names - macro_names)
        rng.shuffle(self.vars)
        self.subs = ["S" + v for v in self.vars[:400]]
        self.strvars = ["C" + v for v in self.vars[400:600]]
        self.nums = ([str(i) for i in range(1, 101)] +
                     ["%d.%dD0" % (rng.randint(0, 99), rng.randint(0, 99)) for _ in range(150)] +
                     ["%d.%dE-%d" % (rng.randint(1, 9), rng.randint(0, 9), rng.randint(1, 12))
                      for _ in range(50)])
        self.strings = ["'" + " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 5)))
                        .replace("'", "''") + "'" for _ in range(300)]
        self.comments = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 9)))
                         for _ in range(400)]


def statement_pool(rng, voc, count):
    """Ordinary fixed-form lines: assignments, calls, I/O, concatenations, comments."""
    v, n, s, sv = voc.vars, voc.nums, voc.strings, voc.strvars
    c = rng.choice
    ops = ["+", "-", "*", "/"]
    pool = []
    for _ in range(count):
        k = rng.randrange(16)
        if k < 5:
            line = "      %s = %s %s %s %s %s" % (c(v), c(v), c(ops), c(v), c(ops), c(n))
        elif k == 5:
            line = "      %s(I) = %s(I) * %s + %s(I-1)" % (c(v), c(v), c(n), c(v))
        elif k == 6:
            line = "      CALL %s(%s, %s, %s)" % (c(voc.subs), c(v), c(v), c(n))
        elif k == 7:
            line = "      WRITE(*,*) %s, %s" % (c(s), c(v))
        elif k == 8:
            line = "      %s = %s // %s" % (c(sv), c(s), c(sv))
        elif k == 9:
            line = "      IF (%s .GT. %s) %s = %s" % (c(v), c(n), c(v), c(n))
        elif k == 10:
            line = "     &   %s * %s + %s" % (c(v), c(v), c(n))
        elif k == 11:
            line = "C     " + c(voc.comments)
        elif k == 12:
            line = "!     " + c(voc.comments)
        elif k == 13:
            line = "      %s = %s  ! %s" % (c(v), c(v), c(voc.comments))
        elif k == 14:
            line = "      DO %d I = 1, %s" % (rng.randrange(10, 1000, 10), c(n))
        else:
            line = "      %s = SQRT(%s**2 + %s**2)" % (c(v), c(v), c(v))
        pool.append(line + "\n")
    return pool


def func_use(rng, voc):
    v = voc.vars
    k = rng.randrange(6)
    if k == 0:
        return "      %s = FMAX(%s, %s)\n" % (rng.choice(v), rng.choice(v), rng.choice(v))
    if k == 1:
        return "      %s = FMIN(%s, %s) + 1\n" % (rng.choice(v), rng.choice(v), rng.choice(v))
    if k == 2:
        return "      %s = SQR(%s) + SQR(%s)\n" % (rng.choice(v), rng.choice(v), rng.choice(v))
    if k == 3:
        return "      %s(IDX(I, J)) = %s\n" % (rng.choice(v), rng.choice(v))
    if k == 4:
        return "      %s = CAT(%s, %s)\n" % (rng.choice(voc.strvars), rng.choice(voc.strings),
                                            rng.choice(voc.strvars))
    return "      %s = CLAMP(%s, 0, %s)\n" % (rng.choice(v), rng.choice(v), rng.choice(voc.nums))


def obj_use(rng, voc):
    v = voc.vars
    k = rng.randrange(4)
    if k == 0:
        return "      %s = %s * NPTS\n" % (rng.choice(v), rng.choice(v))
    if k == 1:
        return "      REAL(WP) :: %s(LDIM)\n" % rng.choice(v)
    if k == 2:
        return "      IF (ABS(%s) .LT. EPSV) %s = BIGVAL\n" % (rng.choice(v), rng.choice(v))
    return "      DO %d K = 1, NPROC\n" % rng.randrange(10, 1000, 10)


def directive_group(rng, voc, pool, temp_state):
    """One group of directive lines with a few ordinary lines inside; returns (lines, count)."""
    c = rng.choice
    body = lambda: c(pool)  # noqa: E731
    k = rng.randrange(6)
    if k == 0:
        lines = ["#ifdef USE_MPI\n", body(), "#else\n", body(), "#endif\n"]
    elif k == 1:
        lines = ["#if defined(HAVE_BLAS) && DEBUG_LEVEL > 1\n", body(),
                 "#elif defined(HAVE_ESSL)\n", body(), "#else\n", body(), "#endif\n"]
    elif k == 2:
        lines = ["#ifdef HAVE_LAPACK\n", body(), "#if NPROC > 4 && !defined(SERIAL)\n", body(),
                 body(), "#endif\n", "#endif\n"]
    elif k == 3:
        lines = ["#if 0\n", "C     " + c(voc.comments) + "\n", body(), "      old code isn't\n",
                 "#endif\n"]
    elif k == 4:
        lines = ["#ifndef SERIAL\n", body(), "#endif\n"]
    else:
        # A temporary macro defined and, one group later, removed again.
        i = temp_state[0]
        if temp_state[1]:
            lines = ["#undef TMPM%d\n" % i]
            temp_state[0] = (i + 1) % 32
            temp_state[1] = False
        else:
            lines = ["#define TMPM%d %s\n" % (i, c(voc.nums))]
            temp_state[1] = True
    return lines, sum(1 for x in lines if x.startswith("#"))


def write_headers(folder, rng, voc):
    """Guarded, unguarded and three-level nested include files."""
    pool = statement_pool(rng, voc, 400)
    for k in range(HEADER_KINDS):
        body = "".join(rng.choice(pool) for _ in range(12))
        with open(os.path.join(folder, "hdr_guard%d.h" % k), "w") as f:
            f.write("#ifndef HDR_GUARD%d_H\n#define HDR_GUARD%d_H\n" % (k, k))
            f.write("      INTEGER %s, %s\n" % (voc.vars[k], voc.vars[k + 8]) + body)
            f.write("#endif\n")
        with open(os.path.join(folder, "hdr_plain%d.h" % k), "w") as f:
            f.write("C     declarations that don't need a guard\n" + body)
        for level in (1, 2, 3):
            with open(os.path.join(folder, "hdr_nest%d_%d.h" % (k, level)), "w") as f:
                f.write("".join(rng.choice(pool) for _ in range(4)))
                if level < 3:
                    f.write('#include "hdr_nest%d_%d.h"\n' % (k, level + 1))
                f.write("".join(rng.choice(pool) for _ in range(4)))


def write_mix(path, size, mix, seed_name, voc, pool, messages=0):
    """Writes subroutines until the file holds `size` bytes; returns line statistics."""
    rng = random.Random("%d-%s" % (SEED, seed_name))
    stats = {"lines": 0, "directive": 0, "func": 0, "obj": 0}
    out = []
    written = 0
    head = ["C     benchmark input generated by gen_inputs.py; it's deterministic\n"]
    head += [m[1] + "\n" for m in FUNC_MACROS + OBJ_MACROS] + [f + "\n" for f in PROLOGUE_FLAGS]
    if messages:
        head.append("#define MSGREDEF 0\n")
    stats["directive"] += sum(1 for x in head if x.startswith("#"))
    out.extend(head)
    written += sum(len(x) for x in head)
    stats["lines"] += len(head)
    # The redefinitions that draw the messages, spread evenly over the file.
    message_every = size // (messages + 1) if messages else 0  # bytes between two
    messages_left = messages
    temp_state = [0, False]
    next_include = INCLUDE_EVERY
    include_index = 0
    p_func, p_obj, p_group = mix["func"], mix["obj"], mix["group"]
    t_obj = p_func + p_obj
    t_group = t_obj + p_group
    rand, choice = rng.random, rng.choice
    nlines = stats["lines"]
    directives = stats["directive"]
    funcs = objs = 0
    with open(path, "w") as f:
        while written < size:
            sub = choice(voc.subs)
            unit = ["      SUBROUTINE %s(%s, %s, N)\n" % (sub, voc.vars[0], voc.vars[1]),
                    "      IMPLICIT NONE\n", "      INTEGER N, I, J, K\n"]
            for _ in range(rng.randint(30, 90)):
                r = rand()
                if r < p_func:
                    unit.append(func_use(rng, voc))
                    funcs += 1
                elif r < t_obj:
                    unit.append(obj_use(rng, voc))
                    objs += 1
                elif r < t_group:
                    lines, d = directive_group(rng, voc, pool, temp_state)
                    unit.extend(lines)
                    directives += d
                else:
                    unit.append(choice(pool))
            unit.append("      RETURN\n      END\n")
            nlines += len(unit) + 1
            if nlines >= next_include:
                next_include += INCLUDE_EVERY
                kind = include_index % 3
                name = ("hdr_guard%d.h", "hdr_plain%d.h", "hdr_nest%d_1.h")[kind]
                unit.insert(3, '#include "%s"\n' % (name % (include_index // 3 % HEADER_KINDS)))
                include_index += 1
                directives += 1
                nlines += 1
            if messages_left and written >= message_every * (messages - messages_left + 1):
                unit.insert(3, "#define MSGREDEF %d\n" % (messages - messages_left + 1))
                messages_left -= 1
                directives += 1
                nlines += 1
            text = "".join(unit)
            out.append(text)
            written += len(text)
            if len(out) > 256:
                f.write("".join(out))
                out = []
        # Any redefinitions still owed go at the end, so the count is exact.
        while messages_left:
            out.append("#define MSGREDEF %d\n" % (messages - messages_left + 1))
            messages_left -= 1
            directives += 1
            nlines += 1
        f.write("".join(out))
    stats.update(lines=nlines, directive=directives, func=funcs, obj=objs)
    return stats


def write_pathological(folder, voc):
    rng = random.Random("%d-patho" % SEED)
    pool = statement_pool(rng, voc, 200)
    # 100 lines of 60 000 columns: long expressions of names, constants and strings.
    with open(os.path.join(folder, "long_lines.F"), "w") as f:
        for _ in range(100):
            parts = ["      X ="]
            length = len(parts[0])
            while True:
                piece = " %s %s" % (rng.choice(("+", "-", "*", "//")),
                                    rng.choice((rng.choice(voc.vars), rng.choice(voc.nums),
                                                rng.choice(voc.strings))))
                if length + len(piece) > 60000:
                    break
                parts.append(piece)
                length += len(piece)
            parts.append("X" * (60000 - length))
            f.write("".join(parts) + "\n")
    # 100 000 distinct identifiers, four to a line.
    with open(os.path.join(folder, "many_idents.F"), "w") as f:
        for i in range(0, 100000, 4):
            f.write("      ID%06d = ID%06d + ID%06d * ID%06d\n" % (i, i + 1, i + 2, i + 3))
    # 2000 inclusions of a 20-deep chain: 40 000 inclusions in all.
    for depth in range(1, 21):
        with open(os.path.join(folder, "chain%02d.h" % depth), "w") as f:
            f.write("      CH%02d = CH%02d + 1\n" % (depth, depth))
            if depth < 20:
                f.write('#include "chain%02d.h"\n' % (depth + 1))
    with open(os.path.join(folder, "include_chain.F"), "w") as f:
        for _ in range(2000):
            f.write('#include "chain01.h"\n' + rng.choice(pool))
    # 50-deep chains of object-like and function-like macros, used 1000 times on #if lines
    # (chain_if.F) and 1000 times on source lines (chain_src.F, run with -m).
    chain_defs = ["#define OM0 1\n", "#define FM0(x) (x)\n"]
    for i in range(1, 50):
        chain_defs.append("#define OM%d OM%d\n" % (i, i - 1))
        chain_defs.append("#define FM%d(x) FM%d(x)\n" % (i, i - 1))
    with open(os.path.join(folder, "chain_if.F"), "w") as f:
        f.write("".join(chain_defs))
        for i in range(500):
            f.write("#if OM49 > 0\n      A%d = 1\n#endif\n" % (i % 50))
            f.write("#if FM49(2) > 1\n      B%d = 2\n#endif\n" % (i % 50))
    with open(os.path.join(folder, "chain_src.F"), "w") as f:
        f.write("".join(chain_defs))
        for i in range(500):
            f.write("      A%d = OM49 + 1\n" % (i % 50))
            f.write("      B%d = FM49(C%d) * 2\n" % (i % 50, i % 50))
    open(os.path.join(folder, "empty.F"), "w").close()


# ---- The nested profile -----------------------------------------------------------------------
# A generated code base of the kind real projects run with -m: 10% of the lines call
# function-like macros whose bodies reach __FILE__ and __LINE__ through a second macro, some
# bodies of 40-60 tokens, a guarded header included every ~550 lines, and a vocabulary that
# grows with the file (about 40 000 distinct names and 37 000 distinct numbers per 100 MB).

NESTED_MACROS = [
    "#define HERE __FILE__, __LINE__",
    "#define WHERE(tag) tag, HERE",
    "#define CHECK(stat) IF (stat .NE. 0) CALL ERRSTOP(stat, HERE)",
    "#define ASSERT(cond, msg) IF (.NOT. (cond)) CALL FAILED(msg, WHERE('assert'))",
    "#define TRACE(v) CALL TRACEV(v, __LINE__)",
    "#define AXPY3(a, x, y, i) y(i) = y(i) + a * x(i) + a * x(i+1) * 0.5D0 + a * x(i+2)"
    " * 0.25D0 + a * x(i-1) * 0.125D0 - a * x(i-2) * 0.0625D0",
    "#define STENCIL(u, v, i, j, c) v(i, j) = c * (u(i-1, j) + u(i+1, j) + u(i, j-1)"
    " + u(i, j+1) - 4.0D0 * u(i, j)) + v(i, j)",
    "#define SQR(x) ((x)*(x))",
]
NESTED_PER_MB = {"names": 400, "numbers": 370}
NESTED_INCLUDE_EVERY = 550
NESTED_FUNC_SHARE = 0.10


def nested_vocabulary(mb, seed_name):
    """Distinct names and numbers in proportion to the size, drawn with a fixed seed."""
    rng = random.Random("%d-%s-vocabulary" % (SEED, seed_name))
    n_names = max(50, int(NESTED_PER_MB["names"] * mb))
    n_numbers = max(50, int(NESTED_PER_MB["numbers"] * mb))
    names = []
    for i in range(n_names):
        stem = "".join(rng.choice(SYLLABLES) for _ in range(rng.choice((1, 2, 2, 3))))
        names.append("%s%d" % (stem, i))
    numbers = []
    for i in range(n_numbers):
        k = i % 3
        numbers.append(str(1000 + i) if k == 0 else
                       "%d.%dD0" % (i, rng.randint(0, 99)) if k == 1 else
                       "%d.%dE-%d" % (i, rng.randint(0, 9), rng.randint(1, 12)))
    return names, numbers


def nested_call(rng, names, numbers):
    c = rng.choice
    k = rng.randrange(7)
    if k == 0:
        return "      CHECK(%s)\n" % c(names)
    if k == 1:
        return "      ASSERT(%s .GT. %s, 'bad %s')\n" % (c(names), c(numbers), c(names).lower())
    if k == 2:
        return "      TRACE(%s + %s)\n" % (c(names), c(numbers))
    if k == 3:
        return "      AXPY3(%s, %s, %s, %s)\n" % (c(numbers), c(names), c(names), c(names))
    if k == 4:
        return "      STENCIL(%s, %s, I, J, %s)\n" % (c(names), c(names), c(numbers))
    if k == 5:
        return "      %s = SQR(%s) + SQR(%s - %s)\n" % (c(names), c(names), c(names), c(numbers))
    return "      CALL LOGIT(WHERE(%s))\n" % c(names)


def nested_plain(rng, names, numbers, words):
    c = rng.choice
    k = rng.randrange(10)
    if k < 4:
        return "      %s = %s * %s + %s\n" % (c(names), c(names), c(numbers), c(names))
    if k == 4:
        return "      %s(I, J) = %s(I, J) - %s\n" % (c(names), c(names), c(numbers))
    if k == 5:
        return "      CALL %s(%s, %s)\n" % (c(names), c(names), c(numbers))
    if k == 6:
        return "C     %s\n" % " ".join(c(words) for _ in range(rng.randint(2, 8)))
    if k == 7:
        return "      IF (%s .LT. %s) %s = %s\n" % (c(names), c(numbers), c(names), c(numbers))
    if k == 8:
        return "      DO %d I = 1, %s\n" % (rng.randrange(10, 1000, 10), c(names))
    return "      WRITE(*,*) '%s', %s\n" % (c(words).replace("'", "''"), c(names))


def write_nested_header(folder):
    with open(os.path.join(folder, "hdr_nested.h"), "w") as f:
        f.write("#ifndef HDR_NESTED_H\n#define HDR_NESTED_H\n"
                "      INTEGER NSTAT, NTRACE\n      COMMON /NESTED/ NSTAT, NTRACE\n#endif\n")


def write_nested(path, size, seed_name):
    """The nested profile, `size` bytes; returns line statistics like write_mix."""
    mb = size / MB
    names, numbers = nested_vocabulary(mb, seed_name)
    rng = random.Random("%d-%s" % (SEED, seed_name))
    words = [w for w in WORDS]
    head = ["C     nested macro profile generated by gen_inputs.py\n"]
    head += [m + "\n" for m in NESTED_MACROS]
    stats = {"lines": len(head), "directive": len(NESTED_MACROS), "func": 0, "obj": 0}
    written = sum(len(x) for x in head)
    out = list(head)
    next_include = NESTED_INCLUDE_EVERY
    # Every name and number is used once early on, so that the whole vocabulary is in the file
    # whatever its size; then they are drawn at random.
    first_names, first_numbers = list(names), list(numbers)
    rng.shuffle(first_names)
    rng.shuffle(first_numbers)
    with open(path, "w") as f:
        while written < size:
            if first_names or first_numbers:
                a = first_names.pop() if first_names else rng.choice(names)
                b = first_numbers.pop() if first_numbers else rng.choice(numbers)
                line = "      %s = %s\n" % (a, b)
            elif rng.random() < NESTED_FUNC_SHARE:
                line = nested_call(rng, names, numbers)
                stats["func"] += 1
            else:
                line = nested_plain(rng, names, numbers, words)
            stats["lines"] += 1
            if stats["lines"] >= next_include:
                next_include += NESTED_INCLUDE_EVERY
                line = '#include "hdr_nested.h"\n' + line
                stats["lines"] += 1
                stats["directive"] += 1
            out.append(line)
            written += len(line)
            if len(out) > 4096:
                f.write("".join(out))
                out = []
        f.write("".join(out))
    return stats


def write_many_names(path, count):
    """`count` lines `X<i> = M(<i>.5D0)`: as many distinct names and numbers as lines."""
    with open(path, "w") as f:
        f.write("#define M(x) (x)\n")
        for start in range(0, count, 10000):
            f.write("".join("      X%d = M(%d.5D0)\n" % (i, i)
                            for i in range(start, min(count, start + 10000))))


def script_digest():
    with open(os.path.abspath(__file__), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# The inputs, by name: (file, what it is). The harness reads this list.
MIX_FILES = ["mix_%dmb.F" % s for s in SIZES_MB]
MACRO_FILES = ["macro_%dmb.F" % s for s in SIZES_MB]
MESSAGE_FILES = ["msgs_10mb.F", "msgs_100mb.F"]
PATHOLOGICAL_FILES = ["long_lines.F", "many_idents.F", "include_chain.F", "chain_if.F",
                      "chain_src.F", "empty.F"]
# The nested profile at 10 MB and above, and two million distinct names under -m.
NESTED_FILES = ["nested_%dmb.F" % s for s in SIZES_MB if s >= 10]
MANY_NAMES_FILE = "names_2m.F"
MANY_NAMES_COUNT = 2_000_000


def generate(folder, sizes=SIZES_MB, force=False, log=sys.stderr):
    """Makes every input in `folder` unless the stamp says they are current (made by this very
    script, same sizes); returns the mix statistics of the ordinary inputs."""
    os.makedirs(folder, exist_ok=True)
    stamp = os.path.join(folder, "STAMP")
    want = "%s sizes=%s\n" % (script_digest(), ",".join(map(str, sizes)))
    stats_path = os.path.join(folder, "STATS")
    if not force and os.path.exists(stamp) and open(stamp).read() == want:
        return read_stats(stats_path)
    if os.path.exists(stamp):
        os.remove(stamp)
    rng = random.Random("%d-vocabulary" % SEED)
    voc = Vocabulary(rng)
    pool = statement_pool(random.Random("%d-pool" % SEED), voc, 20000)
    write_headers(folder, random.Random("%d-headers" % SEED), voc)
    all_stats = {}
    for s in sizes:
        for prefix, mix in (("mix", DEFAULT_MIX), ("macro", MACRO_MIX)):
            name = "%s_%dmb.F" % (prefix, s)
            print("generating %s" % name, file=log, flush=True)
            all_stats[name] = write_mix(os.path.join(folder, name), s * MB, mix, name, voc, pool)
        if s >= 10:
            name = "msgs_%dmb.F" % s
            print("generating %s" % name, file=log, flush=True)
            all_stats[name] = write_mix(os.path.join(folder, name), s * MB, DEFAULT_MIX, name,
                                        voc, pool, messages=MESSAGE_COUNT)
    print("generating the pathological inputs", file=log, flush=True)
    write_pathological(folder, voc)
    write_nested_header(folder)
    for s in sizes:
        if s >= 10:
            name = "nested_%dmb.F" % s
            print("generating %s" % name, file=log, flush=True)
            all_stats[name] = write_nested(os.path.join(folder, name), s * MB, name)
    print("generating %s" % MANY_NAMES_FILE, file=log, flush=True)
    write_many_names(os.path.join(folder, MANY_NAMES_FILE), MANY_NAMES_COUNT)
    with open(stats_path, "w") as f:
        for name, st in sorted(all_stats.items()):
            f.write("%s %d %d %d %d\n" % (name, st["lines"], st["directive"], st["func"],
                                          st["obj"]))
    with open(os.path.join(folder, "INPUTS"), "w") as f:
        f.write(content_digest(folder) + "\n")
    with open(stamp, "w") as f:
        f.write(want)
    return all_stats


def hash_file(h, path):
    """Feeds the bytes of the file at `path` to the hash object `h`, 1 MiB at a time."""
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            h.update(block)
    return h


def content_digest(folder):
    """One sha256 over the names and bytes of every input and include file in `folder`."""
    h = hashlib.sha256()
    for name in sorted(os.listdir(folder)):
        if name.endswith((".F", ".h")):
            h.update(name.encode() + b"\0")
            hash_file(h, os.path.join(folder, name))
    return h.hexdigest()


def inputs_digest(folder):
    """The digest of the inputs as generated: saved output digests hold only for these bytes."""
    with open(os.path.join(folder, "INPUTS")) as f:
        return f.read().strip()


def read_stats(path):
    result = {}
    with open(path) as f:
        for line in f:
            name, lines, d, fu, ob = line.split()
            result[name] = {"lines": int(lines), "directive": int(d), "func": int(fu),
                            "obj": int(ob)}
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", default="build/bench-data", help="folder for the inputs")
    ap.add_argument("--sizes", default=",".join(map(str, SIZES_MB)),
                    help="sizes in MB of the mixed inputs (default 1,10,100)")
    ap.add_argument("--force", action="store_true", help="generate even when current")
    args = ap.parse_args()
    sizes = tuple(int(x) for x in args.sizes.split(","))
    stats = generate(args.out, sizes, args.force)
    for name, st in sorted(stats.items()):
        print("%-16s %9d lines  directives %.2f%%  function-like %.2f%%  object-like %.2f%%" % (
            name, st["lines"], 100.0 * st["directive"] / st["lines"],
            100.0 * st["func"] / st["lines"], 100.0 * st["obj"] / st["lines"]))


if __name__ == "__main__":
    main()

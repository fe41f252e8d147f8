#!/usr/bin/env python3
"""Hostile inputs and hostile surroundings for tfpp, each with an exact expectation.

Each case builds its input on the fly in a fresh folder (nothing large is kept in the tree),
runs the program with a time limit and a memory limit, and checks the status, standard error
and, where it is cheap to state, standard output. `hostile.py --tfpp PROGRAM CASE` runs one
case; `--list` prints the case names; `--all` runs every case and prints the time of each.
"""
import argparse
import os
import random
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

MEMORY_LIMIT = 1 << 30  # address space of the program: a runaway allocation fails, not the host
TIME_LIMIT = 20         # seconds; every case takes well under one on a normal machine
CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


class Failure(Exception):
    pass


def limit_memory(limit=MEMORY_LIMIT):
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def run(ctx, args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, limit_as=True,
        extra_env=None, memory_limit=MEMORY_LIMIT):
    """Runs the program in the case's folder; returns (status, stdout bytes, stderr bytes)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TZ": "UTC",
           "TMPDIR": ctx.tmp} | (extra_env or {})
    # ASan reserves far more address space than the limit allows; its own checks guard memory.
    use_limit = limit_as and "ASAN_OPTIONS" not in os.environ and not ctx.sanitized
    proc = subprocess.run([ctx.tfpp] + args, cwd=ctx.dir, env=env | sanitizer_env(), stdin=stdin,
                          stdout=stdout, stderr=subprocess.PIPE, timeout=TIME_LIMIT,
                          preexec_fn=(lambda: limit_memory(memory_limit)) if use_limit else None)
    return proc.returncode, proc.stdout, proc.stderr


def sanitizer_env():
    return {k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")}


def expect(label, actual, expected):
    if actual != expected:
        raise Failure("%s: expected %r, got %r" % (label, expected[:300] if isinstance(
            expected, bytes) else expected, actual[:300] if isinstance(actual, bytes) else actual))


def write(ctx, name, data):
    path = os.path.join(ctx.dir, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


# ---- Output that cannot be written ----------------------------------------------------------

@case
def stdout_full(ctx):
    write(ctx, "a.F", b"      x = 1\n")
    with open("/dev/full", "wb") as full:
        rc, _, err = run(ctx, ["-nologo", "a.F"], stdout=full)
    expect("status", rc, 1)
    expect("stderr", err,
           b"Error writing preprocessor output file 'standard output': write failed.\n")


@case
def output_file_too_large(ctx):
    # A named output of many buffers (written by a thread of their own while the next one
    # fills) on a file-size limit, its signal ignored: the writes past the limit fail, the run
    # goes on to its last line's message, the reason is reported with status 1, the old file
    # is kept and no temporary file stays behind.
    write(ctx, "a.F", b"".join(b"      x = %d\n" % i for i in range(300000)) +
          b"#error last\n")
    write(ctx, "a.f", b"old\n")

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

    env = {"PATH": os.environ.get("PATH", ""), "LC_ALL": "C", "TMPDIR": ctx.tmp}
    proc = subprocess.run([ctx.tfpp, "-nologo", "a.F", "a.f"], cwd=ctx.dir,
                          env=env | sanitizer_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=TIME_LIMIT, preexec_fn=limited)
    expect("status", proc.returncode, 1)
    expect("the message of the last line", b"last" in proc.stderr, True)
    expect("failure line", proc.stderr.endswith(
        b"Error writing preprocessor output file 'a.f': File too large.\n"), True)
    with open(os.path.join(ctx.dir, "a.f"), "rb") as f:
        expect("old file kept", f.read(), b"old\n")
    expect("files left", sorted(n for n in os.listdir(ctx.dir) if n != "tmp"), ["a.F", "a.f"])


@case
def output_writer_without_memory(ctx):
    # A named output of many buffers in an address space too small for the writer thread's
    # stack: the run writes the buffers itself, whole and in order, with status 0 (it once
    # ended with an uncaught exception). Sanitized builds run without the limit.
    data = b"".join(b"      x = %d\n" % i for i in range(300000))
    write(ctx, "a.F", data)
    rc, out, err = run(ctx, ["-nologo", "a.F", "a.f"], memory_limit=12 << 20)
    expect("status", rc, 0)
    expect("stderr", err, b"")
    with open(os.path.join(ctx.dir, "a.f"), "rb") as f:
        expect("output", f.read(), marker("a.F") + data)


@case
def closed_pipe(ctx):
    # Enough output to fill the pipe after the reader has gone: the run ends by SIGPIPE, as
    # `tfpp a.F | head` expects, never with status 0.
    write(ctx, "a.F", b"".join(b"      x = %d\n" % i for i in range(200000)))
    env = {"PATH": os.environ.get("PATH", ""), "LC_ALL": "C", "TMPDIR": ctx.tmp}
    proc = subprocess.Popen([ctx.tfpp, "-nologo", "a.F"], cwd=ctx.dir, env=env | sanitizer_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            restore_signals=True)
    proc.stdout.read(100)
    proc.stdout.close()
    err = proc.stderr.read()
    rc = proc.wait(timeout=TIME_LIMIT)
    expect("status", rc, -signal.SIGPIPE)
    expect("stderr", err, b"")

# ---- Inputs ---------------------------------------------------------------------------------

def marker(name):
    return b'\n# 1 "%s"\n' % name.encode()


def message_lines(err):
    """The message lines of standard error (source-line echoes and separators left out)."""
    return [line for line in err.split(b"\n") if line.startswith(b"** ")]


@case
def push_macro_flood(ctx):
    # 200000 saved definitions of one long macro, then as many pops: each pop must bring back the
    # definition saved last, in time and memory bounded by the input.
    body = b" + ".join(b"term%d" % i for i in range(200))
    data = (b"#define M(x) (x + " + body + b")\n" +
            b'#pragma push_macro("M")\n#undef M\n#define M(x) x\n' * 100000 +
            b'#pragma pop_macro("M")\n' * 100000 + b"      y = M(1)\n")
    write(ctx, "flood.F90", data)
    rc, out, err = run(ctx, ["-nologo", "-P", "--fortran", "--no-fold", "flood.F90"])
    expect("status", rc, 0)
    expect("messages", message_lines(err), [])
    expect("last line", out.rstrip(b"\n").split(b"\n")[-1].strip(),
           b"y = (1 + " + body + b")")


@case
def pragma_once_self_inclusion(ctx):
    # A file that includes itself after #pragma once is read once; without the pragma the same
    # file is an endless inclusion, which ends on the file stack limit.
    write(ctx, "self.F90", b'#pragma once\n      x = 1\n#include "self.F90"\n')
    rc, out, err = run(ctx, ["-nologo", "-P", "--pragma-once", "self.F90"])
    expect("status", rc, 0)
    expect("messages", message_lines(err), [])
    expect("code lines", [l for l in out.split(b"\n") if l.strip()], [b"      x = 1"])


@case
def long_lines(ctx):
    # Three lines of about 1 MB: one identifier, one comment, one long expression. Each is a
    # "Line too long" error at column 65535; the text passes through unchanged.
    data = (b"      x = " + b"a" * 1000000 + b"\n" + b"C " + b"b" * 1000000 + b"\n" +
            b"      y = " + b"1 + " * 250000 + b"1\n")
    write(ctx, "long.F", data)
    rc, out, err = run(ctx, ["-nologo", "long.F"])
    expect("status", rc, 0)
    expect("stdout", out, marker("long.F") + data)
    expect("messages", message_lines(err), [
        b"** error TOOLONG on line %d in long.F: Line too long, maximum length is" % n
        for n in (1, 2, 3)])


@case
def fortran_folded_expansions(ctx):
    # Under --fortran: lines that expand to about 30 KB fold while the output buffer fills and is
    # written out around them, and the folded pieces join back into the unfolded line exactly; a
    # line that expands past the output buffer (500 KB) is left whole rather than cut wrongly;
    # the smallest --line-length folds into thousands of pieces.
    name = b"a" * 49
    lines = [b"#define A " + name]
    lines += [b"  x%d = " % k + b" + ".join([b"A"] * 600) for k in range(40)]
    lines += [b"  y = " + b" + ".join([b"A"] * 10000), b"  z = 'it''s' // 'A'", b""]
    write(ctx, "big.F90", b"\n".join(lines))
    for limit in (b"--line-length=16", b"--line-length=132"):
        rc, out, err = run(ctx, ["-nologo", "-P", "--fortran", limit.decode(), "big.F90"])
        expect("status", rc, 0)
        expect("messages", message_lines(err), [])
        rc, whole, err = run(ctx, ["-nologo", "-P", "--fortran", "--no-fold", "big.F90"])
        joined, current = [], None
        for line in out.split(b"\n"):
            if current is not None:
                line = line[line.index(b"&") + 1:]
            if line.endswith(b"&") and len(line) <= int(limit.split(b"=")[1]):
                current = (current or b"") + line[:-1]
                continue
            joined.append((current or b"") + line)
            current = None
        expect("joined lines", joined, whole.split(b"\n"))
        # The y line is left whole, the z line has no expansion.
        longest = max(len(l) for l in out.split(b"\n") if not l.startswith((b"  y =", b"  z =")))
        expect("longest folded line fits", longest <= int(limit.split(b"=")[1]), True)


@case
def fortran_long_comments(ctx):
    # Under --fortran: a 1 MB `!` comment, a 1 MB fixed-form comment line and a literal of
    # 300000 doubled quotes pass through unchanged, each a "Line too long" error; NUL bytes in
    # comments and literals are reported and dropped; an input ending inside a comment or an
    # open literal ends normally with the missing-newline warning.
    data = (b"      x = 1 ! " + b"b" * 1000000 + b"\n" + b"C " + b"c" * 1000000 + b"\n" +
            b"      y = 'a" + b"''" * 300000 + b"'\n")
    write(ctx, "long.F", data)
    # --fortran includes --error-exit: the errors give status 1.
    rc, out, err = run(ctx, ["-nologo", "--fortran", "long.F"])
    expect("status", rc, 1)
    expect("stdout", out, marker("long.F") + data)
    expect("messages", message_lines(err), [
        b"** error TOOLONG on line %d in long.F: Line too long, maximum length is" % n
        for n in (1, 2, 3)])
    write(ctx, "nul.F", b"! a\0b\nC c\0d\n      x = 'e\0f'\n")
    rc, out, err = run(ctx, ["-nologo", "--fortran", "nul.F"])
    expect("status", rc, 1)
    expect("stdout", out, marker("nul.F") + b"! ab\nC cd\n      x = 'ef'\n")
    expect("messages", message_lines(err), [
        b"** error ILLEGCHAR on line %d in nul.F: Illegal character in input, #0." % n
        for n in (1, 2, 3)])
    for data in (b"! no newline", b"C no newline", b"      x = 'open", b"!$omp", b"c$"):
        write(ctx, "end.F", data)
        rc, out, err = run(ctx, ["-nologo", "--fortran", "end.F"])
        expect("status", rc, 0)
        expect("stdout", out, marker("end.F") + data)
        expect("messages", message_lines(err),
               [b"** warning  on line 1 in end.F: file does not end in unescaped newline."])


@case
def fortran_operator_floods(ctx):
    # Under --fortran: a 2 MB number with an operator at its end (cut before the operator even
    # though the ring no longer holds the number's start), 100000 `.not.` in #if (abandoned at
    # the nesting limit), 200000 `.eq` that never close an operator, and a variadic call with
    # 50000 arguments in its variable part.
    data = (b"#define N 5\n#define V(a, ...) f(a, __VA_ARGS__)\n" +
            b"      x = " + b"1" * 2000000 + b".eq.N\n" +
            b"#if " + b".not. " * 100000 + b"0\n#endif\n" +
            b"      z = 1" + b".eq" * 200000 + b"\n" +
            b"      v = V(" + b"1, " * 50000 + b"N)\n")
    write(ctx, "flood.F90", data)
    rc, out, err = run(ctx, ["-nologo", "-P", "--fortran", "flood.F90"])
    expect("status", rc, 1)  # the long lines are errors, and --fortran exits on errors
    expect("code lines", [l for l in out.split(b"\n") if l.strip()], [
        b"      x = " + b"1" * 2000000 + b".eq.5",
        b"      z = 1" + b".eq" * 200000,
        b"      v = f(1, " + b"1, " * 49999 + b"5)"])
    if b"** warning  on line 4 in flood.F90: expression nested too deeply." not in err:
        raise Failure("the #if line was not abandoned at the nesting limit")


@case
def no_newline(ctx):
    data = b"      x = y " * 100000
    write(ctx, "nonl.F", data)
    rc, out, err = run(ctx, ["-nologo", "nonl.F"])
    expect("status", rc, 0)
    # The text passes through as it is: no line feed is added at the end.
    expect("stdout", out, marker("nonl.F") + data)
    expect("messages", message_lines(err)[-1:],
           [b"** warning  on line 1 in nonl.F: file does not end in unescaped newline."])


@case
def nul_bytes(ctx):
    # Every NUL is an error; the hundredth error ends the run through the error limit.
    write(ctx, "nul.F", b"\0" * 65536)
    rc, out, err = run(ctx, ["-nologo", "nul.F"])
    expect("status", rc, 1)
    expect("stdout", out, b"")
    lines = message_lines(err)
    stored = [l for l in lines if l.startswith(b"** error ILLEGCHAR")]
    expect("stored errors", stored,
           [b"** error ILLEGCHAR on line 1 in nul.F: Illegal character in input, #0."] * 99)
    expect("last message", lines[-1], b"** fatal error TOOMANY: Too many error, exiting.")


def nul_flood_listing(name, shown):
    """Standard error of a run on a file that starts with more than 99 NUL bytes: its first line
    once, with a caret per stored error, and nothing reported again while it is re-read."""
    return (b"\n" + b"-" * 72 + b"\n" + name.encode() + b":\n    1:\t\n      \t" + b"^" * 99 +
            b"\n" + (b"** error ILLEGCHAR on line 1 in %s: Illegal character in input, #0.\n\n"
                     % shown.encode()) * 99 +
            b"** fatal error TOOMANY: Too many error, exiting.\n\n")


@case
def nul_floods(ctx):
    # NUL bytes without end: a file of them, a sparse file, /dev/zero and a FIFO fed with them.
    # The hundredth error ends the run; the listing re-reads the first line without reporting
    # its NULs again, and gives up on a line of nothing but NULs after a bounded stretch.
    write(ctx, "nul.F", b"\0" * 65536)
    rc, out, err = run(ctx, ["-nologo", "nul.F"])
    expect("status", rc, 1)
    expect("stderr", err, nul_flood_listing("nul.F", "nul.F"))
    with open(os.path.join(ctx.dir, "spa.F"), "wb") as f:
        f.truncate(1 << 36)
    rc, out, err = run(ctx, ["-nologo", "spa.F"])
    expect("sparse status", rc, 1)
    expect("sparse stderr", err, nul_flood_listing("spa.F", "spa.F"))
    rc, out, err = run(ctx, ["-nologo", "/dev/zero"])
    expect("/dev/zero status", rc, 1)
    expect("/dev/zero stderr", err, nul_flood_listing("/dev/zero", "zero"))
    os.mkfifo(os.path.join(ctx.dir, "fif.F"))
    rc, out, err = run_fed(ctx, ["-nologo", "fif.F"], b"\0" * (16 << 20), fifo="fif.F")
    expect("FIFO status", rc, 1)
    expect("FIFO stderr", err, nul_flood_listing("fif.F", "fif.F"))


@case
def long_line_listing(ctx):
    # A source line echoed in the listing shows its first 512 columns and "..."; a caret for a
    # column past them stands under the first dot.
    long_a = b"a" * 100000
    write(ctx, "ll.F", b"      x = " + long_a + b"\n#warning " + b"w" * 600 + b"\n      y = 1\0" +
          b"b" * 600 + b"\0\n" + b"      z = " + b"c" * 502 + b"\n")
    rc, out, err = run(ctx, ["-nologo", "ll.F"])
    expect("status", rc, 0)
    expect("stderr", err, b"\n" + b"-" * 72 + b"\nll.F:\n" +
           b"    1:\t      x = " + b"a" * 502 + b"...\n      \t" + b" " * 512 + b"^\n"
           b"** error TOOLONG on line 1 in ll.F: Line too long, maximum length is\n"
           b"     65535.\n\n" +
           b"    2:\t#warning " + b"w" * 503 + b"...\n      \t ^\n"
           b"** warning  on line 2 in ll.F: unrecognized preprocessing directive\n"
           b"     name.\n\n" +
           b"    3:\t      y = 1" + b"b" * 501 + b"...\n      \t" + b" " * 11 + b"^" +
           b" " * 500 + b"^\n" +
           b"** error ILLEGCHAR on line 3 in ll.F: Illegal character in input, #0.\n\n" * 2)
    # A line of exactly 512 columns is shown whole.
    write(ctx, "l512.F", b"#warning " + b"w" * 503 + b"\n")
    rc, out, err = run(ctx, ["-nologo", "l512.F"])
    expect("512 columns", err.split(b"\n")[3], b"    1:\t#warning " + b"w" * 503)


@case
def random_binary(ctx):
    # Fixed seed: the same 256 KiB every run. Its 0 and 3 bytes are illegal characters, each
    # reported where it stands (a 3 does not end the file), until the hundredth error ends the
    # run through the error limit.
    r = random.Random(9)
    data = bytes(r.getrandbits(8) for _ in range(262144))
    write(ctx, "rand.F", data)
    rc, out, err = run(ctx, ["-nologo", "rand.F"])
    expect("status", rc, 1)
    expect("stdout start", out[:len(marker("rand.F"))], marker("rand.F"))
    lines = message_lines(err)
    expect("first messages", lines[:3],
           [b"** error ILLEGCHAR on line 2 in rand.F: Illegal character in input, #0.",
            b"** error ILLEGCHAR on line 3 in rand.F: Illegal character in input, #0.",
            b"** error ILLEGCHAR on line 3 in rand.F: Illegal character in input, #3."])
    expect("illegal characters", len([l for l in lines if b"ILLEGCHAR" in l]), 99)
    expect("last message", lines[-1], b"** fatal error TOOMANY: Too many error, exiting.")


@case
def end_byte_inside(ctx):
    # A byte 3 inside a file, in a string, a #define and a source line: each is an illegal
    # character, reported once and dropped; the file goes on to its real end.
    write(ctx, "e3.F", b'      s = "x\x03y"\n      t = 1\n#define A "a\x03b" \x03\n'
          b"      u = A\x03\n")
    rc, out, err = run(ctx, ["-nologo", "-m", "e3.F"])
    expect("status", rc, 0)
    expect("stdout", out, marker("e3.F") + b'      s = "xy"\n      t = 1\n\n      u = "ab" \n')
    expect("messages", message_lines(err),
           [b"** error ILLEGCHAR on line %d in e3.F: Illegal character in input, #3." % n
            for n in (1, 3, 3, 4)])


@case
def fifo_input(ctx):
    path = os.path.join(ctx.dir, "pipe.F")
    os.mkfifo(path)
    writer = subprocess.Popen(["sh", "-c", "printf '      x = 1\\n' > pipe.F"], cwd=ctx.dir)
    rc, out, err = run(ctx, ["-nologo", "pipe.F"])
    writer.wait(timeout=TIME_LIMIT)
    expect("status", rc, 0)
    expect("stdout", out, marker("pipe.F") + b"      x = 1\n")
    expect("stderr", err, b"")


@case
def newline_in_name(ctx):
    # A line feed in a file name (the input's, or an include directory's) is written as \n in
    # line markers and in the string of __FILE__, with or without -Q: the marker stays one line.
    # Under -Q a quote and a backslash are escaped too.
    name = 'a\nb"\\.F'
    write(ctx, name, b"      f = __FILE__\n#include \"i.h\"\n      g = __LINE__\n")
    os.mkdir(os.path.join(ctx.dir, "in\nc"))
    write(ctx, "in\nc/i.h", b"      h = __FILE__\n")
    for flags, shown in (([], b'a\\nb"\\.F'), (["-Q"], b'a\\nb\\"\\\\.F')):
        rc, out, err = run(ctx, ["-nologo", "-m", "-Iin\nc"] + flags + [name])
        expect("status %s" % flags, rc, 0)
        expect("stdout %s" % flags, out,
               b'\n# 1 "' + shown + b'"\n      f = "' + shown + b'" \n\n'
               b'\n# 1 "in\\nc/i.h"\n      h = "in\\nc/i.h" \n\n'
               b'\n# 3 "' + shown + b'"\n      g = 3 \n')
        expect("stderr %s" % flags, err, b"")


@case
def directory_input(ctx):
    os.mkdir(os.path.join(ctx.dir, "dir.F"))
    rc, out, err = run(ctx, ["-nologo", "dir.F"])
    expect("status", rc, 1)
    expect("stdout", out, b"")
    expect("stderr", err, b"Can't open source file: 'dir.F'.\n")


@case
def unreadable_input(ctx):
    path = write(ctx, "locked.F", b"      x = 1\n")
    os.chmod(path, 0)
    if os.access(path, os.R_OK):
        print("(running with privileges that read any file: only the status is checked)")
        rc, _, _ = run(ctx, ["-nologo", "locked.F"])
        expect("status", rc, 0)
        return
    rc, out, err = run(ctx, ["-nologo", "locked.F"])
    expect("status", rc, 1)
    expect("stdout", out, b"")
    expect("stderr", err, b"Can't open source file: 'locked.F'.\n")


@case
def include_itself(ctx):
    # Twenty levels of the file, then the run ends at the directive that would nest deeper,
    # with its source line shown.
    write(ctx, "self.F", b'#include "self.F"\n')
    rc, out, err = run(ctx, ["-nologo", "self.F"])
    expect("status", rc, 1)
    expect("stderr", err, b"\n" + b"-" * 72 + b'\nself.F:\n    1:\t#include "self.F"\n      \t ^\n'
           b"** fatal error  on line 1 in self.F: #include nested too deeply.\n\n")


@case
def include_refusals(ctx):
    # An include that finds nothing says why when something stood in the way: a name the
    # system refuses as too long (a part of 300 bytes), or a stream table with no room left.
    part = b"n" * 300
    write(ctx, "long.F", b'#include "%s.h"\n#include "/%s/x.h"\n#include "none.h"\n' % (part, part))
    rc, out, err = run(ctx, ["-nologo", "long.F"])
    expect("status", rc, 0)
    expect("messages", message_lines(err),
           [b"** error  on line %d in long.F: file name too long in include directive." % n
            for n in (1, 2)] +
           [b"** error  on line 3 in long.F: cannot find file specified in include"])
    # The table keeps every file read: 65 277 included files fill it beside the main file.
    os.mkdir(os.path.join(ctx.dir, "d"))
    count = 65280
    for i in range(count):
        open(os.path.join(ctx.dir, "d", "%d" % i), "wb").close()
    write(ctx, "many.F", b"".join(b'#include "d/%d"\n' % i for i in range(count)) +
          b"      x = 1\n")
    rc, out, err = run(ctx, ["-nologo", "many.F"])
    expect("status", rc, 0)
    expect("messages", message_lines(err),
           [b"** error  on line %d in many.F: too many files for include directive." % n
            for n in range(65278, count + 1)])
    expect("stdout end", out[-len(b"      x = 1\n"):], b"      x = 1\n")


@case
def nested_if(ctx):
    write(ctx, "nest.F", b"#if 1\n" * 10000 + b"      x = 1\n" + b"#endif\n" * 10000)
    rc, out, err = run(ctx, ["-nologo", "nest.F"])
    expect("status", rc, 0)
    # One line feed per directive line; the marker puts the line back in step before the text.
    expect("stdout", out, b"\n" * 10000 + b'\n# 10001 "nest.F"\n      x = 1\n' + b"\n" * 10000)
    expect("stderr", err, b"")


@case
def macro_doubling(ctx):
    # A40 expands to 2**40 tokens. The expansion keeps its tokens until it is over, so it is
    # stopped once it has made 8 Mi of them: a fatal message and status 1, in bounded memory.
    lines = [b"#define A0 x"] + [b"#define A%d A%d A%d" % (i, i - 1, i - 1) for i in range(1, 41)]
    write(ctx, "dbl.F", b"\n".join(lines) + b"\n      y = A40\n")
    rc, out, err = run(ctx, ["-nologo", "-m", "dbl.F"])
    expect("status", rc, 1)
    expect("messages", message_lines(err),
           [b"** fatal error  on line 42 in dbl.F: macro expansion too large."])
    # What was expanded before the limit is written: 2**22 tokens "x" with their blanks.
    start = b"\n" * 42 + b'# 42 "dbl.F"\n      y = x x x'
    expect("stdout start", out[:len(start)], start)


def doubling_lines(leaf, body):
    """`#define A0 leaf` and 40 levels of `#define Ai body` (body with %(p)s for A(i-1))."""
    return [b"#define A0" + leaf] + [b"#define A%d" % i + body % {b"p": b"A%d" % (i - 1)}
                                     for i in range(1, 41)]


@case
def directive_doubling(ctx):
    # The same cap stops a doubling macro on directive lines, where its tokens are consumed and
    # not written: A40 gives 2**40 tokens in constant memory, which took a day on an #if.
    lines = doubling_lines(b" 1", b" (%(p)s+%(p)s)") + [b"#define H <A40>", b"#define F(x) x"]
    for name, directive in ((b"if", b"#if A40\n#endif"), (b"elif", b"#if 0\n#elif A40\n#endif"),
                            (b"include", b"#include H"), (b"call", b"#if F(A40)\n#endif")):
        write(ctx, "d.F", b"\n".join(lines) + b"\n" + directive + b"\n      y = 1\n")
        line = 44 + (name == b"elif")
        rc, out, err = run(ctx, ["-nologo", "d.F"])
        expect(name.decode() + " status", rc, 1)
        expect(name.decode() + " messages", message_lines(err),
               [b"** fatal error  on line %d in d.F: macro expansion too large." % line])
    # Calls with empty arguments that double: each call's argument record counts as well,
    # in text and on #line alike (it used to take memory until the host had none).
    lines = doubling_lines(b"()", b"() %(p)s()%(p)s()")
    for where, args in ((b"#line A40()", ["-nologo", "d.F"]),
                        (b"      y = A40()", ["-nologo", "-m", "d.F"])):
        write(ctx, "d.F", b"\n".join(lines) + b"\n" + where + b"\n")
        rc, out, err = run(ctx, args)
        expect(where.decode() + " status", rc, 1)
        expect(where.decode() + " messages", message_lines(err),
               [b"** fatal error  on line 42 in d.F: macro expansion too large."])


@case
def nested_calls(ctx):
    # Calls nested in arguments, F(F(...(1)...)): each level reads its argument again, but
    # shares its tokens instead of copying them, so memory grows with the line, not with its
    # square (2000 levels took 146 MB; now they run in 32 MB of address space). Deeper than
    # 2000 levels is "nested too deeply", also far deeper (it was "macro expansion too large"
    # from about 2050 on).
    for name, define, call in ((b"one", b"#define F(x) x", b"F("),
                               (b"two", b"#define F(p, x) [x p]", b"F(q, ")):
        for depth in (1000, 2000, 2001, 3000):
            write(ctx, "n.F", define + b"\n      y = " + call * depth + b"1" + b")" * depth + b"\n")
            rc, out, err = run(ctx, ["-nologo", "-m", "n.F"], memory_limit=32 << 20)
            label = "%s %d " % (name.decode(), depth)
            if depth <= 2000:
                result = b"1" if name == b"one" else b"[" * depth + b"1" + b" q]" * depth
                expect(label + "status", rc, 0)
                expect(label + "stdout", out, b'\n\n# 2 "n.F"\n      y = ' + result + b" \n")
                expect(label + "stderr", err, b"")
            else:
                expect(label + "status", rc, 1)
                expect(label + "messages", message_lines(err),
                       [b"** fatal error  on line 2 in n.F: macro arguments nested too deeply."])


@case
def many_identifiers(ctx):
    # 200 000 macro names: the text table grows with them (it once stopped at 131 066 names
    # with "Text handle table overflow"); the run completes and the last use expands.
    data = b"".join(b"#define ID%d %d\n" % (i, i) for i in range(200000)) + b"      x = ID199999\n"
    write(ctx, "ids.F", data)
    rc, out, err = run(ctx, ["-nologo", "-m", "ids.F"])
    expect("status", rc, 0)
    expect("stderr", err, b"")
    expect("last line", out.splitlines()[-1], b"      x = 199999 ")

def bench_generator():
    """The benchmark's input generator, for the smaller versions of its large inputs."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "bench"))
    import gen_inputs
    return gen_inputs


@case
def distinct_names_in_arguments(ctx):
    # 1 000 000 lines X<i> = M(<i>.5D0): as many distinct names and numbers as lines, the
    # numbers in a macro's argument. Every line comes out, in 32 MB of address space: the
    # names and numbers are not kept (kept, they took about 58 bytes each).
    gen = bench_generator()
    gen.write_many_names(os.path.join(ctx.dir, "names.F"), 1000000)
    rc, out, err = run(ctx, ["-nologo", "-m", "names.F"], memory_limit=32 << 20)
    expect("status", rc, 0)
    expect("stderr", err, b"")
    lines = out.splitlines()
    expect("line of 500000", lines[lines.index(b"      X500000 = (500000.5D0) ")],
           b"      X500000 = (500000.5D0) ")
    expect("last line", lines[-1], b"      X999999 = (999999.5D0) ")
    expect("lines", sum(1 for x in lines if x.startswith(b"      X")), 1000000)


@case
def nested_macro_profile(ctx):
    # 2 MB of the benchmark's nested-macro profile: calls whose bodies reach __FILE__ and
    # __LINE__ through a second macro, long bodies, a guarded header every 550 lines, a
    # vocabulary of fresh names and numbers. Each line number written is the call's own.
    gen = bench_generator()
    gen.write_nested_header(ctx.dir)
    gen.write_nested(os.path.join(ctx.dir, "nested.F"), 2 * gen.MB, "nested_test")
    rc, out, err = run(ctx, ["-nologo", "-m", "nested.F"])
    expect("status", rc, 0)
    expect("stderr", err, b"")
    with open(os.path.join(ctx.dir, "nested.F"), "rb") as f:
        source = f.read().splitlines()
    calls, includes = [], 0
    for number, line in enumerate(source, 1):
        if line.startswith(b"#include"):
            includes += 1
        for word in (b"CHECK(", b"TRACE(", b"ASSERT(", b"WHERE("):
            if line.startswith(b"      " + word) or line.startswith(b"      CALL LOGIT(" + word):
                calls.append(number)
                break
    written = [int(x) for x in re.findall(rb'"nested\.F", (\d+) ?\)', out)]
    written += [int(x) for x in re.findall(rb"CALL TRACEV\(.*, (\d+) ?\)", out)]
    expect("line numbers written", sorted(written), sorted(calls))
    expect("calls", len(calls) > 1000, True)
    expect("header declarations", out.count(b"COMMON /NESTED/"), 1 if includes else 0)


@case
def depfile_devices(ctx):
    # A depfile named by a device or a link is written through, never renamed over: the run
    # as root must not replace /dev/null or the link. /dev/full fails: a message and status 1.
    write(ctx, "a.F", b"      x = 1\n")
    os.symlink("real.d", os.path.join(ctx.dir, "link.d"))
    rc, out, err = run(ctx, ["-nologo", "--deps=/dev/null", "--deps-target=a.o", "a.F"])
    expect("status /dev/null", rc, 0)
    expect("stderr /dev/null", err, b"")
    expect("/dev/null a device", stat.S_ISCHR(os.lstat("/dev/null").st_mode), True)
    rc, out, err = run(ctx, ["-nologo", "--deps=link.d", "--deps-target=a.o", "a.F"])
    expect("status link", rc, 0)
    expect("link kept", os.path.islink(os.path.join(ctx.dir, "link.d")), True)
    with open(os.path.join(ctx.dir, "real.d"), "rb") as f:
        expect("depfile through the link", f.read(), b"a.o: a.F\n")
    rc, out, err = run(ctx, ["-nologo", "--deps=/dev/full", "--deps-target=a.o", "a.F"])
    expect("status /dev/full", rc, 1)
    expect("stdout /dev/full", out, marker("a.F") + b"      x = 1\n")
    expect("stderr /dev/full", err,
           b"Error writing dependency file '/dev/full': No space left on device.\n")
    expect("/dev/full a device", stat.S_ISCHR(os.lstat("/dev/full").st_mode), True)
    expect("files beside the devices", [n for n in os.listdir("/dev") if n.startswith("cp")
                                        and len(n) == 8 and not n.startswith("cpu")], [])


@case
def many_arguments(ctx):
    # A million arguments, one a line: taken whole by a macro with an empty formal list, which
    # accepts any number; skipped to the closing parenthesis by a macro with two formals.
    args = b",\n".join(b"a%d" % (i % 10) for i in range(1000000))
    write(ctx, "args.F", b"#define F() [x]\n      y = F(" + args + b")\n      z = 1\n")
    rc, out, err = run(ctx, ["-nologo", "-m", "args.F"])
    expect("status", rc, 0)
    expect("stdout", out, b'\n\n# 2 "args.F"\n      y = [x] \n\n# 1000002 "args.F"\n      z = 1\n')
    expect("stderr", err, b"")
    write(ctx, "two.F", b"#define G(p, q) [q p]\n      y = G(" + args + b")\n      z = 1\n")
    rc, out, err = run(ctx, ["-nologo", "-m", "two.F"])
    expect("status", rc, 0)
    expect("stdout", out, b'\n\n# 2 "two.F"\n      y = [a1 a0] \n\n# 1000002 "two.F"\n      z = 1\n')
    # Reported where the count is reached: the comma after the second argument, on line 3.
    expect("messages", message_lines(err),
           [b"** warning  on line 3 in two.F: too many actual parameters in macro"])


@case
def many_formals(ctx):
    # The most formals a macro may have, each one its own number (numbers past 127 and 255
    # once came out as other formals); one more ends the run.
    n = 32767
    formals = b",".join(b"p%d" % i for i in range(1, n + 1))
    actuals = b",\n".join(b"%d" % (i * 3) for i in range(1, n + 1))
    write(ctx, "f.F", b"#define F(" + formals + b") [p1 p128 p256 p300 #p%d p%d]\n" % (n, n) +
          b"      y = F(" + actuals + b")\n")
    rc, out, err = run(ctx, ["-nologo", "-m", "f.F"])
    expect("status", rc, 0)
    expect("stdout", out, b'\n\n# 2 "f.F"\n      y = [3 384 768 900 "98301" 98301] \n')
    expect("messages", message_lines(err),
           [b"** error TOOLONG on line 1 in f.F: Line too long, maximum length is"])
    write(ctx, "g.F", b"#define G(" + formals + b",q) 1\n      y = G\n")
    rc, out, err = run(ctx, ["-nologo", "-m", "g.F"])
    expect("status", rc, 1)
    expect("messages", message_lines(err),
           [b"** fatal error  on line 1 in g.F: too many formal parameters."])


@case
def big_define(ctx):
    # A body of 10 MB (4 900 001 tokens over 100 001 continued lines): kept, and written
    # whole where it is used under -m; the name passes through without -m.
    body = (b"x " * 49 + b"\\\n") * 100000 + b"x\n"
    write(ctx, "big.F", b"#define BIG " + body + b"      y = BIG\n")
    rc, out, err = run(ctx, ["-nologo", "-m", "big.F"])
    expect("status -m", rc, 0)
    expect("stdout -m", out, b'\n\n# 100002 "big.F"\n      y = ' + b"x " * 4900001 + b"\n")
    expect("stderr -m", err, b"")
    rc, out, err = run(ctx, ["-nologo", "big.F"])
    expect("status", rc, 0)
    expect("stdout", out, b'\n\n# 100002 "big.F"\n      y = BIG\n')
    expect("stderr", err, b"")

# ---- Inputs that change while they are read ---------------------------------------------------

def input_offset(pid, name):
    """The read offset of the descriptor `pid` holds on the file `name` (or, when `name` is
    callable, on the first file whose base name it accepts), or None."""
    accept = name if callable(name) else (lambda base: base == name)
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return None
    for fd in fds:
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            if not accept(os.path.basename(target.replace(" (deleted)", ""))):
                continue
            with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
                return int(info.readline().split()[1])
        except (OSError, ValueError, IndexError):
            continue
    return None


def sleeping(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat_file:
            return stat_file.read().rsplit(")", 1)[1].split()[0] == "S"
    except (OSError, IndexError):
        return False


def default_signals():
    # In the program: the interrupt signals at their default action, even when the test runs
    # where they are ignored (the program keeps an ignored signal ignored); no core files.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE):
        signal.signal(signum, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run_stalled(ctx, args, name, change, stdin=subprocess.DEVNULL, program=None, extra_env=None):
    """Starts the program and reads one chunk of its output, then leaves the pipe unread until
    the program has stalled on it (its input offset stops moving). `change(proc, offset)` acts on
    the input or the process; the rest of the run is collected. Returns (status, stdout, stderr,
    offset)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TZ": "UTC",
           "TMPDIR": ctx.tmp} | (extra_env or {})
    proc = subprocess.Popen([program or ctx.tfpp] + args, cwd=ctx.dir, env=env | sanitizer_env(),
                            stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=default_signals)
    try:
        first = proc.stdout.read(4096)
        offset, steady, deadline = None, 0, time.monotonic() + TIME_LIMIT
        while steady < 3:
            if time.monotonic() > deadline:
                raise Failure("the program never stalled on its output pipe")
            time.sleep(0.05)
            now = input_offset(proc.pid, name)
            # Asleep (in the write to the full pipe) with the offset unchanged: a program that
            # is merely waiting for a processor is "R", not "S".
            steady = steady + 1 if now is not None and now == offset and sleeping(proc.pid) else 0
            offset = now
        change(proc, offset)
        rest, err = proc.communicate(timeout=TIME_LIMIT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, first + rest, err, offset


def numbered_lines(count):
    # 19 bytes a line: a read offset rarely falls on a line end.
    return b"".join(b"      x%07d = 1\n" % i for i in range(count))


def cut_warning(name, data):
    """The message for input that stops inside line N, as a list of message lines."""
    if data.endswith(b"\n"):
        return []
    return [b"** warning  on line %d in %s: file does not end in unescaped"
            % (data.count(b"\n") + 1, name.encode())]


@case
def input_deleted(ctx):
    # An open file outlives its name: the whole input is read and written, status 0. The
    # listing still shows the source line of the one message: the stream is still open.
    data = b"#warning gone\n" + numbered_lines(200000)
    path = write(ctx, "big.F", data)
    rc, out, err, _ = run_stalled(ctx, ["-nologo", "big.F"], "big.F",
                                  lambda proc, offset: os.unlink(path))
    expect("status", rc, 0)
    expect("stdout", out, b"\n" + b'\n# 2 "big.F"\n' + data[len(b"#warning gone\n"):])
    expect("stderr", err, b"\n" + b"-" * 72 + b"\nbig.F:\n    1:\t#warning gone\n      \t ^\n"
           b"** warning  on line 1 in big.F: unrecognized preprocessing directive\n"
           b"     name.\n\n")


@case
def input_truncated(ctx):
    # Cut ahead of the reader, inside a line: the output is exactly the input up to the cut, as
    # if the file had always ended there; the cut line draws the usual warning; status 0.
    data = numbered_lines(200000)
    path = write(ctx, "big.F", data)
    cut = 1000005
    def truncate(proc, offset):
        if offset >= cut:
            raise Failure("the program had read to %d before the cut at %d" % (offset, cut))
        os.truncate(path, cut)
    rc, out, err, _ = run_stalled(ctx, ["-nologo", "big.F"], "big.F", truncate)
    expect("status", rc, 0)
    expect("stdout", out, marker("big.F") + data[:cut])
    expect("messages", message_lines(err), cut_warning("big.F", data[:cut]))


@case
def input_truncated_behind(ctx):
    # Cut to nothing behind the reader: what was read before the cut is written, exactly, and
    # the run ends there as at the end of a file; the listing cannot re-read the line; status 0.
    data = numbered_lines(200000)
    path = write(ctx, "big.F", data)
    rc, out, err, offset = run_stalled(ctx, ["-nologo", "big.F"], "big.F",
                                       lambda proc, offset: os.truncate(path, 0))
    expect("status", rc, 0)
    expect("stdout", out, marker("big.F") + data[:offset])
    warning = cut_warning("big.F", data[:offset])
    expect("messages", message_lines(err),
           [b"** Unable to open 'big.F' for error summary"] + warning if warning else [])




# ---- Inputs that cannot be read twice ------------------------------------------------------

def run_fed(ctx, args, data, fifo=None):
    """Runs the program while a writer feeds `data` in uneven pieces, the first ones small (short
    reads on the other end, at known places), through a pipe: into the FIFO `fifo` when given,
    else into standard input. Returns (status, stdout, stderr)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TZ": "UTC",
           "TMPDIR": ctx.tmp}
    use_limit = "ASAN_OPTIONS" not in os.environ and not ctx.sanitized
    read_end, write_end = (None, None) if fifo else os.pipe()
    proc = subprocess.Popen([ctx.tfpp] + args, cwd=ctx.dir, env=env | sanitizer_env(),
                            stdin=subprocess.DEVNULL if fifo else read_end,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=limit_memory if use_limit else None)
    if read_end is not None:
        os.close(read_end)

    def feed():
        steps = (1, 7, 100, 1500, 2049, 4096, 70000)
        fd = write_end
        try:
            if fifo:
                fd = os.open(os.path.join(ctx.dir, fifo), os.O_WRONLY)
            at, piece = 0, 0
            while at < len(data):
                at += os.write(fd, data[at:at + steps[piece % len(steps)]])
                piece += 1
                time.sleep(0.002)  # the reader takes this piece alone
        except OSError:
            pass  # the program stopped reading: its status tells
        finally:
            if fd is not None:
                os.close(fd)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        out, err = proc.communicate(timeout=TIME_LIMIT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        writer.join(TIME_LIMIT)
    return proc.returncode, out, err


def pipe_inputs():
    """Inputs whose texts outrun the 2 KiB ring: each needs bytes again after the ring has moved
    on (a long token fetched whole, the look-ahead for "(" given back, lines the listing shows)."""
    filler = numbered_lines(3000)
    long_name = b"n" * 5000
    body = b"".join(b"b%04d " % i + (b"\\\n" if i % 50 == 49 else b"") for i in range(1200))
    return {
        "string": b'      s = "' + b"x" * 3000 + b'"\n      t = \'' + b"y" * 9000 + b"\'\n",
        "name": b"      " + long_name + b" = 1\n" + filler + b"      z = " + long_name + b"\n",
        "define": b"#define BODY " + body + b"\n#define S(a) a \"" + b"s" * 3000 + b"\" " +
                  long_name + b"\n" + filler + b"      w = BODY S(1)\n",
        "lookahead": b"#define F(x) [x]\n      a = F" + b"\n" * 3000 + b"      b = 2\n" +
                     b"      c = F" + b"\n" * 3000 + b"(3)\n",
        # The hundredth error ends the run when its block is read: where that is must not
        # depend on where the pipe's reads come back short.
        "error limit": b"      a = 1\n" * 40 + b"\0" * 150 + b"\n      b = 2\n",
        # Messages early and late: the listing goes back to the first lines of the input.
        "listing": b"#warning first\n" + filler + b"#warning middle\n" + b"\r\n" * 5000 +
                   b"      q = 1\0\n" + filler + b"#warning last\n",
    }


@case
def fifo_long_texts(ctx):
    # Read through a FIFO, every input gives what the same file gives read as a regular file,
    # byte for byte: text, markers, messages and the source lines of the listing.
    for label, data in pipe_inputs().items():
        path = write(ctx, "in.F", data)
        expected = run(ctx, ["-nologo", "-m", "in.F"])
        os.unlink(path)
        os.mkfifo(path)
        actual = run_fed(ctx, ["-nologo", "-m", "in.F"], data, fifo="in.F")
        os.unlink(path)
        expect(label + " status", actual[0], expected[0])
        expect(label + " stdout", actual[1], expected[1])
        expect(label + " stderr", actual[2], expected[2])
    # An included FIFO, included twice: its writer writes once, and the second inclusion
    # reads the same text again, as from a regular file.
    data = pipe_inputs()["string"]
    write(ctx, "main.F", b'#include "inc.h"\n      m = 1\n#include "inc.h"\n')
    path = write(ctx, "inc.h", data)
    expected = run(ctx, ["-nologo", "main.F"])
    os.unlink(path)
    os.mkfifo(path)
    actual = run_fed(ctx, ["-nologo", "main.F"], data, fifo="inc.h")
    os.unlink(path)
    expect("include twice", actual, expected)
    # The look-ahead case reads as it should, not merely alike.
    write(ctx, "look.F", pipe_inputs()["lookahead"])
    out = run(ctx, ["-nologo", "-m", "look.F"])[1]
    expect("look-ahead", [line for line in out.split(b"\n") if line],
           [b'# 2 "look.F"', b"      a = F", b"      b = 2", b"      c = [3] "])


@case
def dev_stdin_pipe(ctx):
    # /dev/stdin on a pipe against /dev/stdin on the same data in a regular file: the same
    # name, so standard output and standard error are compared whole.
    for label, data in pipe_inputs().items():
        with stdin_file(ctx, data) as stdin:
            expected = run(ctx, ["-nologo", "-m", "/dev/stdin"], stdin=stdin)
        actual = run_fed(ctx, ["-nologo", "-m", "/dev/stdin"], data)
        expect(label + " status", actual[0], expected[0])
        expect(label + " stdout", actual[1], expected[1])
        expect(label + " stderr", actual[2], expected[2])


# ---- Signals -----------------------------------------------------------------------------------

def is_copy(base):
    return base.startswith("cp") and len(base) == 8


def stdin_file(ctx, data):
    path = write(ctx, "stdin.F", data)
    return open(path, "rb")


@case
def signals_during_run(ctx):
    # Standard input is copied to a temporary file first, removed as soon as it is open (so no
    # signal, not even SIGKILL, can leave it behind); an interrupt, a termination or a hang-up
    # in the middle of the run (stalled on its output) ends the process by that very signal,
    # with nothing on standard error. The same for SIGQUIT and SIGPIPE.
    data = numbered_lines(200000)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE):
        seen = []
        def deliver(proc, offset):
            seen.extend(os.listdir(ctx.tmp))
            proc.send_signal(signum)
        with stdin_file(ctx, data) as stdin:
            rc, out, err, _ = run_stalled(ctx, ["-nologo"], is_copy, deliver, stdin=stdin)
        name = signal.Signals(signum).name
        expect("temporary files before " + name, len([n for n in seen if is_copy(n)]), 0)
        expect("status after " + name, rc, -signum)
        expect("stderr after " + name, err, b"")
        expect("temporary files after " + name, os.listdir(ctx.tmp), [])


@case
def killed_keeps_old_output(ctx):
    # A run killed with SIGKILL in the middle of writing a named output leaves the old file as
    # it was: the text goes to a temporary file beside it, renamed over it only at the end.
    # (The temporary file itself may remain after SIGKILL, which nothing can catch.)
    data = numbered_lines(3000000)
    write(ctx, "big.F", data)
    write(ctx, "out.f", b"old output\n")
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TMPDIR": ctx.tmp}
    proc = subprocess.Popen([ctx.tfpp, "-nologo", "big.F", "out.f"], cwd=ctx.dir,
                            env=env | sanitizer_env(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    deadline = time.monotonic() + TIME_LIMIT
    written = 0
    while proc.poll() is None and time.monotonic() < deadline:
        temps = [n for n in os.listdir(ctx.dir) if is_copy(n)]
        written = os.path.getsize(os.path.join(ctx.dir, temps[0])) if temps else 0
        if written > 0:
            proc.kill()
            break
        time.sleep(0.001)
    proc.communicate(timeout=TIME_LIMIT)
    expect("killed mid-output", proc.returncode == -signal.SIGKILL and 0 < written < len(data),
           True)
    with open(os.path.join(ctx.dir, "out.f"), "rb") as f:
        expect("old output", f.read(), b"old output\n")
    with open(os.path.join(ctx.dir, "big.F"), "rb") as f:
        expect("input", f.read() == data, True)
    left = sorted(n for n in os.listdir(ctx.dir) if n not in ("big.F", "out.f", "tmp"))
    expect("left besides the input and the output", [n for n in left if not is_copy(n)], [])
    expect("temporary files left", len(left) <= 1, True)


@case
def closed_standard_streams(ctx):
    # A standard stream closed by the caller is opened on /dev/null: no file the run opens
    # takes its descriptor, so the listing never lands in the output nor a failure line in
    # the list file.
    write(ctx, "w.F", b"#if\n#endif\n      x = 1\n")
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TMPDIR": ctx.tmp}
    def shell(line):
        return subprocess.run(["/bin/sh", "-c", line, "sh", ctx.tfpp], cwd=ctx.dir,
                              env=env | sanitizer_env(), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=TIME_LIMIT)
    proc = shell('exec "$1" -nologo w.F out.f 2>&-')
    expect("status, standard error closed", proc.returncode, 0)
    with open(os.path.join(ctx.dir, "out.f"), "rb") as f:
        expect("output, standard error closed", f.read(), b"\n\n# 3 \"w.F\"\n      x = 1\n")
    proc = shell('exec "$1" -nologo w.F o.f -l=nodir/y.lis >&-')
    expect("status, standard output closed", proc.returncode, 1)
    expect("failure line", proc.stderr, b"Can't open list output file 'nodir/y.lis'.\n")
    expect("no output file", os.path.exists(os.path.join(ctx.dir, "o.f")), False)
    proc = shell('exec "$1" -nologo <&- w.F')
    expect("status, standard input closed", proc.returncode, 0)


@case
def output_appended_to_input(ctx):
    # "tfpp a.F >> a.F" would read its own output back until the disk is full: refused.
    write(ctx, "a.F", b"      x = 1\n")
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TMPDIR": ctx.tmp}
    proc = subprocess.run(["/bin/sh", "-c", 'exec "$1" -nologo a.F >> a.F', "sh", ctx.tfpp],
                          cwd=ctx.dir, env=env | sanitizer_env(), stderr=subprocess.PIPE,
                          timeout=TIME_LIMIT)
    expect("status", proc.returncode, 1)
    expect("stderr", proc.stderr,
           b"tfpp: refusing to write to standard output: it is the input file 'a.F'\n")
    with open(os.path.join(ctx.dir, "a.F"), "rb") as f:
        expect("input", f.read(), b"      x = 1\n")


@case
def broken_pipe_named(ctx):
    # With SIGPIPE ignored, a reader that went away is reported with the system's reason.
    write(ctx, "big.F", numbered_lines(300000))
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TMPDIR": ctx.tmp}
    def ignore_pipe():
        default_signals()
        signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    proc = subprocess.Popen([ctx.tfpp, "-nologo", "big.F"], cwd=ctx.dir, env=env | sanitizer_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=ignore_pipe)
    proc.stdout.read(10)
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=TIME_LIMIT)
    expect("status", proc.returncode, 1)
    expect("stderr", err, b"Error writing preprocessor output file 'standard output': "
                          b"Broken pipe.\n")


@case
def terminal_hint(ctx):
    # "tfpp" typed alone on a terminal says that it reads standard input; a pipe gets no hint.
    import pty
    master, slave = pty.openpty()
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TMPDIR": ctx.tmp}
    proc = subprocess.Popen([ctx.tfpp, "-nologo"], cwd=ctx.dir, env=env | sanitizer_env(),
                            stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    os.close(slave)
    os.write(master, b"      x = 1\n\x04")
    out, err = proc.communicate(timeout=TIME_LIMIT)
    os.close(master)
    expect("status", proc.returncode, 0)
    expect("hint", err, b"tfpp: reading the source from standard input (end it with Ctrl-D; "
                        b"tfpp -h for help)\n")
    expect("output", out, b'\n# 1 "<stdin>"\n      x = 1\n')
    rc, out, err = run(ctx, ["-nologo"], stdin=subprocess.PIPE)
    expect("no hint on a pipe", err, b"")


@case
def stdin_copy_survives_no_signal(ctx):
    # The copy of standard input is removed as soon as it is open: even SIGKILL, which no
    # handler sees, and SIGXFSZ leave nothing behind.
    data = numbered_lines(200000)
    for signum in (signal.SIGKILL, signal.SIGXFSZ, signal.SIGUSR1):
        with stdin_file(ctx, data) as stdin:
            rc, _, _, _ = run_stalled(ctx, ["-nologo"], lambda base: True,
                                      lambda proc, offset: proc.send_signal(signum), stdin=stdin)
        name = signal.Signals(signum).name
        expect("status after " + name, rc, -signum)
        expect("temporary files after " + name, os.listdir(ctx.tmp), [])


def crash_report_lines(program, args):
    path = os.path.realpath(program).encode()
    return [b"Program Exception:", b"  Program: " + path,
            b"  Command Line: " + b" ".join([program.encode()] + [a.encode() for a in args]),
            None,  # the address of the faulting instruction
            b"  Exception was: Access Violation  (0xc0000005)",
            b"  Exception is non continueable", b"  Exception param count: 1",
            b"      0: 00000010", b""]


@case
def crash_report(ctx):
    # The test build tfpp_crashtest makes an invalid access after TFPP_CRASH_TEST scanning
    # steps. Mid-run, with the copy of standard input present: the crash report on standard
    # output after what was written, the copy removed, death by SIGSEGV.
    if not os.path.exists(ctx.crashtest):
        raise Failure("no crash-test program at %s" % ctx.crashtest)
    data = numbered_lines(200000)
    seen = []
    with stdin_file(ctx, data) as stdin:
        rc, out, err, _ = run_stalled(ctx, ["-nologo"], is_copy,
                                      lambda proc, offset: seen.extend(os.listdir(ctx.tmp)),
                                      stdin=stdin, program=ctx.crashtest,
                                      extra_env={"TFPP_CRASH_TEST": "400000"})
    expect("temporary files before the crash", len([n for n in seen if is_copy(n)]), 0)
    expect("status", rc, -signal.SIGSEGV)
    expect("stderr", err, b"")
    written, _, report = out.partition(b"Program Exception:\n")
    expected_output = b'\n# 1 "<stdin>"\n' + data
    expect("output before the report", expected_output.startswith(written) and
           len(written) > 131072, True)
    lines = (b"Program Exception:\n" + report).split(b"\n")
    expected = crash_report_lines(ctx.crashtest, ["-nologo"])
    expect("report length", len(lines), len(expected))
    expect("address line", lines[3].startswith(b"  At Address: ") and
           all(c in b"0123456789abcdef" for c in lines[3][14:]) and len(lines[3]) > 14, True)
    expect("report", [l for i, l in enumerate(lines) if i != 3], [l for l in expected if l is not None])
    # The program itself has no such switch: the variable changes nothing.
    with stdin_file(ctx, b"      x = 1\n") as stdin:
        rc, out, err = run(ctx, ["-nologo"], stdin=stdin, extra_env={"TFPP_CRASH_TEST": "1"})
    expect("status of the program", rc, 0)
    expect("stdout of the program", out.endswith(b"\n      x = 1\n"), True)
    with open(ctx.tfpp, "rb") as program:
        expect("switch in the program", b"TFPP_CRASH_TEST" in program.read(), False)

def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tfpp", required=True)
    parser.add_argument("--crashtest", help="the crash-test build (default: tfpp_crashtest "
                        "beside the program)")
    parser.add_argument("--sanitized", action="store_true",
                        help="the program is a sanitizer build: no address-space limit")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--all", action="store_true")
    parser.add_argument("case", nargs="?")
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(CASES))
        return 0
    names = list(CASES) if opts.all else [opts.case]
    failed = 0
    for name in names:
        if name not in CASES:
            print("unknown case %s" % name)
            return 2
        ctx = argparse.Namespace(tfpp=os.path.abspath(opts.tfpp), sanitized=opts.sanitized)
        ctx.crashtest = os.path.abspath(opts.crashtest or os.path.join(
            os.path.dirname(ctx.tfpp), "tfpp_crashtest"))
        ctx.dir = tempfile.mkdtemp(prefix="tfpp-hostile-")
        ctx.tmp = os.path.join(ctx.dir, "tmp")
        os.mkdir(ctx.tmp)
        start = time.monotonic()
        start_cpu = children_cpu()
        try:
            CASES[name](ctx)
            if os.listdir(ctx.tmp):
                raise Failure("temporary files left: %s" % os.listdir(ctx.tmp))
            # The wall time includes making and checking the inputs; the processor time is the
            # programs' own (user and system), which a busy machine does not inflate.
            print("%-28s ok    %6.3f s  (programs' processor time %6.3f s)" % (
                name, time.monotonic() - start, children_cpu() - start_cpu))
        except (Failure, subprocess.TimeoutExpired) as e:
            failed += 1
            print("%-28s FAIL  %6.3f s: %s" % (name, time.monotonic() - start, e))
        finally:
            for root, dirs, _ in os.walk(ctx.dir):
                for d in dirs:
                    os.chmod(os.path.join(root, d), 0o755)
            shutil.rmtree(ctx.dir, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

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
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

MEMORY_LIMIT = 1 << 30  # address space of the program: a runaway allocation fails, not the host
TIME_LIMIT = 20         # seconds; every case takes well under one on a normal machine
CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


class Failure(Exception):
    pass


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))


def run(ctx, args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, limit_as=True,
        extra_env=None):
    """Runs the program in the case's folder; returns (status, stdout bytes, stderr bytes)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TZ": "UTC",
           "TMPDIR": ctx.tmp} | (extra_env or {})
    # ASan reserves far more address space than the limit allows; its own checks guard memory.
    use_limit = limit_as and "ASAN_OPTIONS" not in os.environ and not ctx.sanitized
    proc = subprocess.run([ctx.tfpp] + args, cwd=ctx.dir, env=env | sanitizer_env(), stdin=stdin,
                          stdout=stdout, stderr=subprocess.PIPE, timeout=TIME_LIMIT,
                          preexec_fn=limit_memory if use_limit else None)
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
def fortran_long_comments(ctx):
    # Under --fortran: a 1 MB `!` comment, a 1 MB fixed-form comment line and a literal of
    # 300000 doubled quotes pass through unchanged, each a "Line too long" error; NUL bytes in
    # comments and literals are reported and dropped; an input ending inside a comment or an
    # open literal ends normally with the missing-newline warning.
    data = (b"      x = 1 ! " + b"b" * 1000000 + b"\n" + b"C " + b"c" * 1000000 + b"\n" +
            b"      y = 'a" + b"''" * 300000 + b"'\n")
    write(ctx, "long.F", data)
    rc, out, err = run(ctx, ["-nologo", "--fortran", "long.F"])
    expect("status", rc, 0)
    expect("stdout", out, marker("long.F") + data)
    expect("messages", message_lines(err), [
        b"** error TOOLONG on line %d in long.F: Line too long, maximum length is" % n
        for n in (1, 2, 3)])
    write(ctx, "nul.F", b"! a\0b\nC c\0d\n      x = 'e\0f'\n")
    rc, out, err = run(ctx, ["-nologo", "--fortran", "nul.F"])
    expect("status", rc, 0)
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


@case
def random_binary(ctx):
    # Fixed seed: the same 256 KiB every run. The run must end normally and report the first
    # illegal character; the text up to the end byte (3) passes through.
    r = random.Random(9)
    data = bytes(r.getrandbits(8) for _ in range(262144))
    write(ctx, "rand.F", data)
    rc, out, err = run(ctx, ["-nologo", "rand.F"])
    expect("status", rc, 0)
    expect("stdout start", out[:len(marker("rand.F"))], marker("rand.F"))
    expect("first message", message_lines(err)[:1],
           [b"** error ILLEGCHAR on line 2 in rand.F: Illegal character in input, #0."])


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
def directory_input(ctx):
    os.mkdir(os.path.join(ctx.dir, "dir.F"))
    rc, out, err = run(ctx, ["-nologo", "dir.F"])
    expect("status", rc, 1)
    expect("stdout", out, b"Can't open source file: 'dir.F'.\n")


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
    expect("stdout", out, b"Can't open source file: 'locked.F'.\n")


@case
def include_itself(ctx):
    write(ctx, "self.F", b'#include "self.F"\n')
    rc, out, err = run(ctx, ["-nologo", "self.F"])
    expect("status", rc, 1)
    expect("messages", message_lines(err),
           [b"** system error STREAMOVF on line 2 in self.F: File stack overflow."])


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


@case
def many_identifiers(ctx):
    # 200 000 macro names overflow the text table: its message and status 1, never a crash.
    data = b"".join(b"#define ID%d %d\n" % (i, i) for i in range(200000)) + b"      x = ID5\n"
    write(ctx, "ids.F", data)
    rc, out, err = run(ctx, ["-nologo", "-m", "ids.F"])
    expect("status", rc, 1)
    tail = (b"** system error TEXTHOVF: Text handle table overflow max number of\n"
            b"     handles is 131066.\n\n[ Aborting due to internal error. ]\n")
    expect("end of stderr", err[-len(tail):], tail)

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
    expect("stderr /dev/full", err, b"\n** error : Can't write dependency file '/dev/full'.\n\n")
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




# ---- Signals -----------------------------------------------------------------------------------

def is_copy(base):
    return base.startswith("cp") and len(base) == 8


def stdin_file(ctx, data):
    path = write(ctx, "stdin.F", data)
    return open(path, "rb")


@case
def signals_during_run(ctx):
    # Standard input is copied to a temporary file first; an interrupt, a termination or a
    # hang-up in the middle of the run (stalled on its output) removes the copy and ends the
    # process by that very signal, with nothing on standard error. The same for SIGQUIT and
    # SIGPIPE, which the program handles alike.
    data = numbered_lines(200000)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE):
        seen = []
        def deliver(proc, offset):
            seen.extend(os.listdir(ctx.tmp))
            proc.send_signal(signum)
        with stdin_file(ctx, data) as stdin:
            rc, out, err, _ = run_stalled(ctx, ["-nologo"], is_copy, deliver, stdin=stdin)
        name = signal.Signals(signum).name
        expect("temporary files before " + name, len([n for n in seen if is_copy(n)]), 1)
        expect("status after " + name, rc, -signum)
        expect("stderr after " + name, err, b"")
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
    expect("temporary files before the crash", len([n for n in seen if is_copy(n)]), 1)
    expect("status", rc, -signal.SIGSEGV)
    expect("stderr", err, b"")
    written, _, report = out.partition(b"Program Exception:\n")
    copy = os.path.join(ctx.tmp, [n for n in seen if is_copy(n)][0]).encode()
    expected_output = b'\n# 1 "' + copy + b'"\n' + data
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

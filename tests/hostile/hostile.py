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


def run(ctx, args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, limit_as=True):
    """Runs the program in the case's folder; returns (status, stdout bytes, stderr bytes)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TZ": "UTC",
           "TMPDIR": ctx.tmp}
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tfpp", required=True)
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
        ctx.dir = tempfile.mkdtemp(prefix="tfpp-hostile-")
        ctx.tmp = os.path.join(ctx.dir, "tmp")
        os.mkdir(ctx.tmp)
        start = time.monotonic()
        try:
            CASES[name](ctx)
            if os.listdir(ctx.tmp):
                raise Failure("temporary files left: %s" % os.listdir(ctx.tmp))
            print("%-28s ok    %.3f s" % (name, time.monotonic() - start))
        except (Failure, subprocess.TimeoutExpired) as e:
            failed += 1
            print("%-28s FAIL  %.3f s: %s" % (name, time.monotonic() - start, e))
        finally:
            for root, dirs, _ in os.walk(ctx.dir):
                for d in dirs:
                    os.chmod(os.path.join(root, d), 0o755)
            shutil.rmtree(ctx.dir, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

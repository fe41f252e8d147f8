#!/usr/bin/env python3
"""Runs one golden command-line case of tfpp and compares what it produced, byte for byte.

A case is a set of files sharing a stem, <topic>/<case>:
  <case>.F (or .f, .c, ...)  the input, copied into a fresh working folder
  <case>.out                 expected standard output (required: it marks the case)
  <case>.err                 expected standard error (missing means empty)
  <case>.args                arguments, one per line (default: -nologo <input>)
  <case>.rc                  expected exit status (default 0)
  <case>.lis                 expected list file (the one *.lis file the run leaves)
  <case>.trace               expected trace file: the file trace.txt the run leaves (-tl=trace.txt)
  <case>.dep                 expected dependency file: the file named by the --deps= argument;
                             no temporary file may be left in the working folder either
  <case>.stdin               fed to standard input (default: empty)
  <case>.env                 extra environment, NAME=VALUE per line
  <case>.signal              a signal name (INT, TERM, ...): sent once the program has made its
                             first temporary file, while standard input is still open
  <case>.isolated            (empty) run a copy of the program alone in a folder of its own,
                             with no help file beside it
  <case>.d/                  include files, copied into the working folder
  <case>.files/              files the run must leave in the working folder, byte for byte
                             (an output named by -o, a depfile); every file copied into the
                             working folder and not named there must be unchanged afterwards,
                             and no temporary file may be left in the working folder
In .args and .env, @RUN@ stands for the working folder and @TMP@ for the temporary folder.
The program runs in the working folder with a pinned environment; its temporary folder must be
empty afterwards. Only time-dependent text is normalised: the list file's date and temporary
file names. With --update the expectations are rewritten from the run (review them by hand).
"""
import argparse
import difflib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

EXPECTATION_SUFFIXES = {".out", ".err", ".args", ".rc", ".lis", ".stdin", ".env", ".signal",
                        ".isolated", ".trace", ".dep", ".files"}
TRACE_FILE = "trace.txt"
DATE_RE = re.compile(rb"(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)"
                     rb" [ \d]\d \d\d:\d\d:\d\d \d{4}")
TEMP_RE = re.compile(rb"cp[A-Za-z0-9]{6}")


def read(path, default=b""):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return default


def normalise(data, folders=()):
    """Replaces what differs from run to run: dates, temporary names, the run's own folders."""
    for folder, name in folders:
        data = data.replace(folder.encode(), name)
    return TEMP_RE.sub(b"cpXXXXXX", DATE_RE.sub(b"<DATE>", data))


def find_input(stem):
    folder, name = os.path.split(stem)
    for entry in sorted(os.listdir(folder)):
        base, ext = os.path.splitext(entry)
        if base == name and ext and ext not in EXPECTATION_SUFFIXES \
                and os.path.isfile(os.path.join(folder, entry)):
            return entry
    return None


def show_diff(label, expected, actual):
    exp = expected.decode("utf-8", "backslashreplace").splitlines(keepends=True)
    act = actual.decode("utf-8", "backslashreplace").splitlines(keepends=True)
    sys.stdout.write("".join(difflib.unified_diff(exp, act, "expected " + label, "actual " + label)))
    if not (expected.endswith(b"\n") and actual.endswith(b"\n")) and expected != actual:
        sys.stdout.write("\n(byte-level: expected %r..., actual %r...)\n" % (expected[-40:], actual[-40:]))


def run_with_signal(cmd, run_dir, env, stdin_data, tmp_dir, signame):
    """Starts the program, feeds standard input without closing it, waits for its first
    temporary file, then sends the signal."""
    proc = subprocess.Popen(cmd, cwd=run_dir, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdin.write(stdin_data)
    proc.stdin.flush()
    deadline = time.monotonic() + 20
    while not os.listdir(tmp_dir) and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    if proc.poll() is None:
        proc.send_signal(getattr(signal, "SIG" + signame))
    try:
        proc.stdin.close()
    except BrokenPipeError:
        pass
    out = proc.stdout.read()
    err = proc.stderr.read()
    proc.wait(timeout=60)
    return proc.returncode, out, err


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tfpp", required=True)
    parser.add_argument("--update", action="store_true")
    parser.add_argument("stem", help="the case path without its suffix")
    opts = parser.parse_args()
    stem = os.path.abspath(opts.stem)
    tfpp = os.path.abspath(opts.tfpp)
    name = os.path.basename(stem)

    work = tempfile.mkdtemp(prefix="tfpp-case-")
    try:
        run_dir = os.path.join(work, "run")
        tmp_dir = os.path.join(work, "tmp")
        os.mkdir(run_dir)
        os.mkdir(tmp_dir)
        input_name = find_input(stem)
        if input_name:
            shutil.copy(os.path.join(os.path.dirname(stem), input_name), run_dir)
        if os.path.isdir(stem + ".d"):
            shutil.copytree(stem + ".d", run_dir, dirs_exist_ok=True)
        copied_in = {}
        for folder, _, names in os.walk(run_dir):
            for entry in names:
                path = os.path.join(folder, entry)
                if os.path.isfile(path) and not os.path.islink(path):
                    copied_in[os.path.relpath(path, run_dir)] = read(path)

        if os.path.isfile(stem + ".isolated"):
            alone = os.path.join(work, "alone")
            os.mkdir(alone)
            tfpp = shutil.copy(tfpp, alone)

        if os.path.exists(stem + ".args"):
            args = [a.replace("@RUN@", run_dir).replace("@TMP@", tmp_dir)
                    for a in read(stem + ".args").decode().splitlines()]
        else:
            args = ["-nologo"] + ([input_name] if input_name else [])

        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "LANG": "C",
               "TZ": "UTC", "TMPDIR": tmp_dir, "HOME": work}
        for line in read(stem + ".env").decode().splitlines():
            if "=" in line:
                key, value = line.split("=", 1)
                env[key] = value.replace("@TMP@", tmp_dir).replace("@RUN@", run_dir)

        signame = read(stem + ".signal").decode().strip()
        if signame:
            returncode, out, err = run_with_signal([tfpp] + args, run_dir, env,
                                                   read(stem + ".stdin"), tmp_dir, signame)
        else:
            proc = subprocess.run([tfpp] + args, cwd=run_dir, env=env,
                                  input=read(stem + ".stdin"), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=60)
            returncode, out, err = proc.returncode, proc.stdout, proc.stderr
        folders = ((tmp_dir, b"@TMP@"), (run_dir, b"@RUN@"))
        actual = {".out": normalise(out, folders), ".err": normalise(err, folders),
                  ".rc": b"%d\n" % returncode}
        lis_files = sorted(f for f in os.listdir(run_dir) if f.endswith(".lis"))
        if lis_files:
            actual[".lis"] = normalise(read(os.path.join(run_dir, lis_files[0])), folders)
        if os.path.exists(os.path.join(run_dir, TRACE_FILE)):
            actual[".trace"] = normalise(read(os.path.join(run_dir, TRACE_FILE)), folders)

        deps_names = [a[len("--deps="):] for a in args if a.startswith("--deps=")]
        if deps_names and os.path.isfile(os.path.join(run_dir, deps_names[-1])):
            actual[".dep"] = normalise(read(os.path.join(run_dir, deps_names[-1])), folders)

        expected_files = {}
        if os.path.isdir(stem + ".files"):
            for folder, _, names in os.walk(stem + ".files"):
                for entry in names:
                    path = os.path.join(folder, entry)
                    expected_files[os.path.relpath(path, stem + ".files")] = read(path)
        actual_files = {rel: normalise(read(os.path.join(run_dir, rel)), folders)
                        if os.path.isfile(os.path.join(run_dir, rel)) else b"<missing>\n"
                        for rel in expected_files}

        failures = []
        if opts.update:
            for rel, data in actual_files.items():
                with open(os.path.join(stem + ".files", rel), "wb") as f:
                    f.write(data)
            for suffix, data in actual.items():
                if suffix == ".rc" and data == b"0\n":
                    if os.path.exists(stem + ".rc"):
                        os.remove(stem + ".rc")
                    continue
                with open(stem + suffix, "wb") as f:
                    f.write(data)
            print("updated " + name)
            return 0

        expected = {".out": read(stem + ".out"), ".err": read(stem + ".err"),
                    ".rc": (read(stem + ".rc", b"0").strip() + b"\n")}
        if os.path.exists(stem + ".lis"):
            expected[".lis"] = read(stem + ".lis")
            actual.setdefault(".lis", b"<no list file written>\n")
        if os.path.exists(stem + ".trace"):
            expected[".trace"] = read(stem + ".trace")
            actual.setdefault(".trace", b"<no trace file written>\n")
        if os.path.exists(stem + ".dep"):
            expected[".dep"] = read(stem + ".dep")
            actual.setdefault(".dep", b"<no dependency file written>\n")
        for suffix, data in expected.items():
            if actual[suffix] != data:
                failures.append(suffix)
                show_diff(name + suffix, data, actual[suffix])
        for rel, data in expected_files.items():
            if actual_files[rel] != data:
                failures.append(rel)
                show_diff(rel, data, actual_files[rel])
        for rel, data in copied_in.items():
            if rel in expected_files or (os.path.exists(stem + ".dep") and deps_names
                                         and rel == deps_names[-1]):
                continue
            now = read(os.path.join(run_dir, rel), None)
            if now != data:
                failures.append("changed " + rel)
                print("%s was changed by the run (it must stay as it was)" % rel)
        left = []
        for folder, _, names in os.walk(run_dir):
            left += [os.path.relpath(os.path.join(folder, n), run_dir)
                     for n in names if TEMP_RE.fullmatch(n.encode())]
        if left:
            failures.append("temporary files")
            print("temporary files left in the working folder: %s" % " ".join(sorted(left)))
        leftovers = os.listdir(tmp_dir)
        if leftovers:
            failures.append("tmp")
            print("temporary files left behind: %s" % " ".join(sorted(leftovers)))
        if failures:
            print("FAILED %s: %s" % (name, ", ".join(failures)))
            return 1
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

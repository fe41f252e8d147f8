#!/usr/bin/env python3
"""Runs every input of a fuzz_preprocessor corpus through two builds of tfpp and compares them.

    fuzz/compare_builds.py NEW_TFPP REFERENCE_TFPP CORPUS_DIR [--jobs N]

Each corpus file is laid out as fuzz_preprocessor reads it: three bytes of option bits, the main
file, then the separator line and the include file "inc.h". Both builds run the same command
line in fresh directories; standard output, standard error, the exit status and the files left
behind (output, list file, dependency file) must be identical. A differential check for speed
work: the fuzzer's corpus reaches far more corners of macro expansion than the golden cases.
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile

SEPARATOR = b"\n#--inc.h--\n"
OPTION_BITS = ["-m", "-C", "-noC", "-B", "-z", "-ansi", "-g", "-n", "-P", "-e", "-c"]
BIT_LIST_FILE, BIT_C_NAME, BIT_DEPS, BIT_INCLUDE_DIR, BIT_FORTRAN = 11, 12, 13, 14, 15
PAGE_DATE = re.compile(rb"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}")


def arguments(bits, work):
    args = ["-nologo"] + [o for i, o in enumerate(OPTION_BITS) if bits >> i & 1]
    if bits >> BIT_LIST_FILE & 1:
        args.append("-l=" + os.path.join(work, "list.lis"))
    if bits >> BIT_DEPS & 1:
        args.append("--deps=" + os.path.join(work, "main.d"))
    if bits >> BIT_INCLUDE_DIR & 1:
        args.append("-I" + work + "/")
    if bits >> BIT_FORTRAN & 1:
        args.append("--fortran")
    main = "main.c" if bits >> BIT_C_NAME & 1 else "main.F"
    return args + [os.path.join(work, main), os.path.join(work, "out.f")], main


def run_one(tfpp, data, root):
    """Runs one build on one input in `root`; returns what the run produced."""
    bits = data[0] | data[1] << 8 | data[2] << 16
    body = data[3:]
    cut = body.find(SEPARATOR)
    main_text, inc_text = (body, b"") if cut < 0 else (body[:cut], body[cut + len(SEPARATOR):])
    work = os.path.join(root, "w")
    os.makedirs(work)
    args, main = arguments(bits, work)
    with open(os.path.join(work, main), "wb") as f:
        f.write(main_text)
    with open(os.path.join(work, "inc.h"), "wb") as f:
        f.write(inc_text)
    try:
        # A fixed date for __DATE__, __TIME__ and the list file's header: two runs a second
        # apart must not differ there.
        env = dict(os.environ, SOURCE_DATE_EPOCH="1733616000")
        done = subprocess.run([tfpp] + args, cwd=work, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60, env=env)
        result = [done.returncode, done.stdout.replace(work.encode(), b"<dir>"),
                  done.stderr.replace(work.encode(), b"<dir>")]
    except subprocess.TimeoutExpired:
        result = ["timeout", b"", b""]
    for name in ("out.f", "list.lis", "main.d"):
        path = os.path.join(work, name)
        content = None
        if os.path.exists(path):
            with open(path, "rb") as f:
                content = f.read().replace(work.encode(), b"<dir>")
            if name == "list.lis":
                # The page headers carry the time of printing, whatever SOURCE_DATE_EPOCH says.
                content = PAGE_DATE.sub(b"<date>", content)
        result.append(content)
    return result


def compare(path, new, ref):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 3:  # the fuzzer skips inputs without the three option bytes too
        return None
    root = tempfile.mkdtemp(prefix="tfpp_cmp_")
    try:
        a = run_one(new, data, os.path.join(root, "a"))
        b = run_one(ref, data, os.path.join(root, "b"))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return None if a == b else path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("new")
    parser.add_argument("reference")
    parser.add_argument("corpus")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    files = sorted(os.path.join(args.corpus, n) for n in os.listdir(args.corpus))
    new, ref = os.path.abspath(args.new), os.path.abspath(args.reference)
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        differing = [p for p in pool.map(lambda p: compare(p, new, ref), files) if p]
    for p in differing:
        print("DIFFER", p)
    print("%d of %d inputs identical" % (len(files) - len(differing), len(files)))
    sys.exit(1 if differing else 0)


if __name__ == "__main__":
    main()

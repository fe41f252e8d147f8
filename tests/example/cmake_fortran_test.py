#!/usr/bin/env python3
"""Builds examples/cmake-fortran through the installed tfpp package with the Makefile and the
Ninja generators, runs it, then checks the depfiles: touching the shared include file
preprocesses both sources again, and a build with nothing changed preprocesses nothing.
Exits 77 (skipped) when gfortran or ninja is missing.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

EXPECTED_OUTPUT = b"TOTAL  1155\nFACTOR     3\n"
SOURCES = ["src/main.F", "src/constants.F90"]


def run(cmd, cwd=None):
    proc = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=600)
    return proc.returncode, proc.stdout.decode(errors="replace")


def preprocessed(log):
    return sorted(src for src in SOURCES if ("Preprocessing " + src) in log)


def check_generator(generator, prefix, example, work, failures):
    label = generator
    tree = os.path.join(work, generator.replace(" ", "_"))
    project = os.path.join(tree, "project")
    build = os.path.join(tree, "build")
    shutil.copytree(example, project)
    rc, log = run(["cmake", "-S", project, "-B", build, "-G", generator,
                   "-DCMAKE_PREFIX_PATH=" + prefix])
    if rc != 0:
        failures.append("%s: configure failed:\n%s" % (label, log))
        return
    rc, log = run(["cmake", "--build", build])
    if rc != 0 or preprocessed(log) != sorted(SOURCES):
        failures.append("%s: first build (status %d):\n%s" % (label, rc, log))
        return
    rc, out = run([os.path.join(build, "demo")])
    if rc != 0 or out.encode() != EXPECTED_OUTPUT:
        failures.append("%s: demo printed %r" % (label, out))

    rc, log = run(["cmake", "--build", build])
    if rc != 0 or preprocessed(log):
        failures.append("%s: a build with no change preprocessed %s" % (label, preprocessed(log)))

    # A later modification time than any output, without sleeping for the clock's resolution.
    include = os.path.join(project, "include", "config.inc")
    later = time.time() + 5
    os.utime(include, (later, later))
    rc, log = run(["cmake", "--build", build])
    if rc != 0 or preprocessed(log) != sorted(SOURCES):
        failures.append("%s: after touching config.inc, preprocessed %s:\n%s"
                        % (label, preprocessed(log), log))
    rc, out = run([os.path.join(build, "demo")])
    if rc != 0 or out.encode() != EXPECTED_OUTPUT:
        failures.append("%s: rebuilt demo printed %r" % (label, out))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the tfpp build tree to install")
    parser.add_argument("--example", required=True)
    opts = parser.parse_args()
    missing = [tool for tool in ("gfortran", "ninja", "cmake") if shutil.which(tool) is None]
    if missing:
        print("skipped: %s not installed" % ", ".join(missing))
        return 77
    work = tempfile.mkdtemp(prefix="tfpp-example-")
    failures = []
    try:
        prefix = os.path.join(work, "prefix")
        rc, log = run(["cmake", "--install", opts.build, "--prefix", prefix])
        if rc != 0:
            print(log)
            return 1
        for generator in ("Unix Makefiles", "Ninja"):
            check_generator(generator, prefix, os.path.abspath(opts.example), work, failures)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

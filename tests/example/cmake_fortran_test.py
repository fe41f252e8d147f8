#!/usr/bin/env python3
"""Builds examples/cmake-fortran through the installed tfpp package with the Makefile and the
Ninja generators, runs it, then checks the depfiles: touching the shared include file
preprocesses its two users again, and a build with nothing changed preprocesses nothing.
The demo's output shows what the helper's defaults bring: --fortran (a function-like macro
from DEFINES, macros expanded in code lines), the compiler's predefined macros (__GFORTRAN__)
and the source's folder searched by a Fortran include line; two sources named helpers.F90 in
different folders both get built. The second program is preprocessed with NO_FORTRAN_MODE and
NO_COMPILER_MACROS. Exits 77 (skipped) when gfortran or ninja is missing.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

EXPECTED_OUTPUT = b"TOTAL  1155\nFACTOR     3\nHELPA     1\nHELPB    42\n"
PLAIN_OUTPUT = b"PLAIN\n"
SOURCES = ["src/main.F", "src/constants.F90", "src/a/helpers.F90", "src/b/helpers.F90",
           "src/plain.F"]
CONFIG_USERS = ["src/constants.F90", "src/main.F"]
# Outputs that must exist: the source tree mirrored under the output directory.
MIRRORED = ["tfpp/src/a/helpers.f90", "tfpp/src/b/helpers.f90", "tfpp/src/main.f",
            "tfpp-plain/src/plain.f"]


def run(cmd, cwd=None):
    proc = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=600)
    return proc.returncode, proc.stdout.decode(errors="replace")


def preprocessed(log):
    return sorted(src for src in SOURCES if ("Preprocessing " + src) in log)


def check_commands(label, build, failures):
    """The tfpp command lines: --fortran and -imacros by default, neither for plain.F."""
    rc, log = run(["cmake", "--build", build, "--target", "clean"])
    rc, log = run(["cmake", "--build", build, "--verbose"])
    commands = [line for line in log.splitlines() if "--deps-target=" in line]
    main = [c for c in commands if "main.f" in c]
    plain = [c for c in commands if "plain.f" in c]
    if len(main) != 1 or "--fortran" not in main[0] or "-imacros" not in main[0]:
        failures.append("%s: main.F not preprocessed with --fortran and -imacros:\n%s"
                        % (label, "\n".join(commands)))
    if len(plain) != 1 or "--fortran" in plain[0] or "-imacros" in plain[0]:
        failures.append("%s: plain.F preprocessed with the Fortran settings:\n%s"
                        % (label, "\n".join(commands)))


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
    rc, out = run([os.path.join(build, "plain")])
    if rc != 0 or out.encode() != PLAIN_OUTPUT:
        failures.append("%s: plain printed %r" % (label, out))
    for path in MIRRORED:
        if not os.path.isfile(os.path.join(build, path)):
            failures.append("%s: %s was not written" % (label, path))
    check_commands(label, build, failures)

    rc, log = run(["cmake", "--build", build])
    if rc != 0 or preprocessed(log):
        failures.append("%s: a build with no change preprocessed %s" % (label, preprocessed(log)))

    # A later modification time than any output, without sleeping for the clock's resolution.
    include = os.path.join(project, "include", "config.inc")
    later = time.time() + 5
    os.utime(include, (later, later))
    rc, log = run(["cmake", "--build", build])
    if rc != 0 or preprocessed(log) != sorted(CONFIG_USERS):
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

#!/usr/bin/env python3
"""Runs the commands the documents show, as written, so that they cannot rot.

A block of a document (README.md, docs/guide.md, docs/integration.md, CONTRIBUTING.md) is checked
when the line before it (blank lines aside) is a marker comment:

  <!-- doc-test: session -->     an indented block of "$ command" lines, each followed by the
                                 output it must print (compared exactly); run with bash in a
                                 fresh folder holding the files named by doc-file markers
  <!-- doc-test: repo -->        a session as above, run in the top folder of the repository (the
                                 commands must only read it)
  <!-- doc-test: makefile T -->  the block is the Makefile; "make T" must succeed there
  <!-- doc-test: cmake -->       the block must be the top of examples/cmake-fortran/
                                 CMakeLists.txt (comments aside), which the example test builds
                                 with both generators
  <!-- doc-test: meson -->       the block is a meson.build to build (skipped without meson)
  <!-- doc-file: PATH            the text up to the closing "-->" is written to PATH in the
  ...                            folder of every block of the same document (fixtures the reader
  -->                            need not see)

`tfpp` on the commands' PATH is the program under test; gfortran must be installed for the
make and meson blocks (status 77, skipped, without it)."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DOCUMENTS = ["README.md", "docs/guide.md", "docs/integration.md", "CONTRIBUTING.md"]
MARKER = re.compile(r"^<!-- doc-test: (\w+)(?: (.*?))? -->$")
FILE_MARKER = re.compile(r"^<!-- doc-file: (\S+)$")


def parse(text):
    """The fixtures and the marked blocks of a document: ({path: text}, [(kind, arg, block)])."""
    lines = text.split("\n")
    files, blocks = {}, []
    i = 0
    while i < len(lines):
        match = FILE_MARKER.match(lines[i])
        if match:
            end = lines.index("-->", i)
            files[match.group(1)] = "\n".join(lines[i + 1:end]) + "\n"
            i = end + 1
            continue
        match = MARKER.match(lines[i])
        if match:
            i += 1
            while i < len(lines) and lines[i] == "":
                i += 1
            block = []
            while i < len(lines) and (lines[i].startswith("    ") or lines[i] == ""):
                block.append(lines[i][4:])
                i += 1
            while block and block[-1] == "":
                block.pop()
            blocks.append((match.group(1), match.group(2) or "", block))
            continue
        i += 1
    return files, blocks


def prepare(files):
    work = tempfile.mkdtemp(prefix="tfpp-doc-")
    for path, text in files.items():
        full = os.path.join(work, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
    return work


def run_session(block, work, env):
    """Each "$ command" runs in turn; the lines up to the next one are its expected output."""
    commands = []
    for line in block:
        if line.startswith("$ "):
            commands.append((line[2:], []))
        elif commands:
            commands[-1][1].append(line)
    failures = [] if commands else ["a session block without a \"$ \" command"]
    for command, expected in commands:
        proc = subprocess.run(["bash", "-c", command], cwd=work, env=env, capture_output=True,
                              text=True, timeout=120)
        want = "\n".join(expected).rstrip("\n")
        got = proc.stdout.rstrip("\n")
        if proc.returncode != 0 or got != want:
            failures.append("%s: status %d\n--- expected\n%s\n--- got\n%s%s" % (
                command, proc.returncode, want, got, proc.stderr))
    return failures


def run_make(block, target, work, env):
    with open(os.path.join(work, "Makefile"), "w") as f:
        f.write("\n".join(block) + "\n")
    proc = subprocess.run(["make", target], cwd=work, env=env, capture_output=True, text=True,
                          timeout=300)
    if proc.returncode != 0:
        return ["make %s: status %d\n%s%s" % (target, proc.returncode, proc.stdout, proc.stderr)]
    return []


def code_lines(text):
    """Lines without comments and trailing blanks, blank lines left out."""
    out = []
    for line in text.split("\n"):
        line = re.sub(r"\s+#.*$", "", line).rstrip()
        if line and not line.lstrip().startswith("#"):
            out.append(line)
    return out


def check_cmake(block):
    with open(os.path.join(ROOT, "examples", "cmake-fortran", "CMakeLists.txt")) as f:
        example = code_lines(f.read())
    shown = code_lines("\n".join(block))
    # The example may say more (tests of its own) after what the document shows.
    if example[:len(shown)] != shown:
        return ["the CMake block is not the top of examples/cmake-fortran/CMakeLists.txt:\n" +
                "\n".join(shown)]
    return []


def run_meson(block, work, env):
    if shutil.which("meson") is None or shutil.which("ninja") is None:
        print("(meson or ninja not installed: the meson block is not run)")
        return []
    with open(os.path.join(work, "meson.build"), "w") as f:
        f.write("project('demo', 'fortran')\n" + "\n".join(block) + "\n")
    for command in (["meson", "setup", "build"], ["meson", "compile", "-C", "build"]):
        proc = subprocess.run(command, cwd=work, env=env, capture_output=True, text=True,
                              timeout=300)
        if proc.returncode != 0:
            return ["%s: status %d\n%s%s" % (" ".join(command), proc.returncode, proc.stdout,
                                             proc.stderr)]
    return []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tfpp", required=True)
    opts = parser.parse_args()
    if shutil.which("gfortran") is None:
        print("gfortran is not installed: skipped")
        return 77
    bindir = tempfile.mkdtemp(prefix="tfpp-doc-bin-")
    os.symlink(os.path.abspath(opts.tfpp), os.path.join(bindir, "tfpp"))
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""), LC_ALL="C")
    failures, checked = [], 0
    try:
        for document in DOCUMENTS:
            with open(os.path.join(ROOT, document)) as f:
                files, blocks = parse(f.read())
            for kind, arg, block in blocks:
                work = prepare(files)
                try:
                    if kind == "session":
                        found = run_session(block, work, env)
                    elif kind == "repo":
                        programs = {line[2:].split()[0] for line in block if line.startswith("$ ")}
                        absent = [p for p in programs if shutil.which(p, path=env["PATH"]) is None]
                        if absent:
                            print("(%s not installed: a block of %s is not run)" %
                                  (", ".join(absent), document))
                            found = []
                        else:
                            found = run_session(block, ROOT, env)
                    elif kind == "makefile":
                        found = run_make(block, arg, work, env)
                    elif kind == "cmake":
                        found = check_cmake(block)
                    elif kind == "meson":
                        found = run_meson(block, work, env)
                    else:
                        found = ["unknown marker kind %r" % kind]
                finally:
                    shutil.rmtree(work, ignore_errors=True)
                checked += 1
                failures += ["%s (%s block): %s" % (document, kind, f) for f in found]
    finally:
        shutil.rmtree(bindir, ignore_errors=True)
    if checked < 4:
        failures.append("only %d marked blocks found" % checked)
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("%d documented blocks ran as written" % checked)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

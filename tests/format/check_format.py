#!/usr/bin/env python3
"""The C++ sources keep the house format: clang-format with the repository's .clang-format
changes nothing in src/, tests/unit/, tools/, fuzz/ and bench/ (skipped, status 77, without
clang-format). To fix a finding: clang-format -i on the file."""
import glob
import os
import shutil
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def main():
    tool = shutil.which("clang-format")
    if tool is None:
        print("clang-format is not installed: skipped")
        return 77
    files = []
    for folder in ("src", "tests/unit", "tools", "fuzz", "bench"):
        for pattern in ("*.cpp", "*.h"):
            files += glob.glob(os.path.join(ROOT, folder, "**", pattern), recursive=True)
    if len(files) < 60:
        print("FAILED: only %d sources found" % len(files))
        return 1
    proc = subprocess.run([tool, "--dry-run", "--Werror", "--style=file"] + sorted(files),
                          cwd=ROOT, capture_output=True, text=True)
    if proc.returncode != 0:
        print(proc.stderr[:20000])
        print("FAILED: clang-format would change the files above (clang-format -i fixes them)")
        return 1
    print("%d sources in the house format" % len(files))
    return 0


if __name__ == "__main__":
    sys.exit(main())

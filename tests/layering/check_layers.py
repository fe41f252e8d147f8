#!/usr/bin/env python3
"""The include order of the folders of src/: every `#include "..."` of a file in a folder names
a file of that folder or of one below it in layers.txt (lowest first), and every folder of src/
stands there. Each finding names the file, the line and both folders; status 1 when there is one.
Run as: python3 tests/layering/check_layers.py [--root CHECKOUT] [--layers FILE]."""
import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def read_layers(path):
    """The folder names of the order file, lowest first; '#' starts a comment."""
    layers = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            name = line.split("#", 1)[0].strip()
            if name:
                layers.append(name)
    return layers


def folder_of(src, path):
    """The folder of src/ that holds `path`, or None when it lies outside src/ or directly in it."""
    rel = os.path.relpath(path, src)
    parts = rel.split(os.sep)
    if parts[0] == ".." or len(parts) < 2:
        return None
    return parts[0]


def included_folder(src, including, name):
    """The folder of src/ of the file `name` included from `including`: looked up beside the
    including file, then from src/ (the include path of the build). None for a file that is not
    in src/ (a table generated into the build folder)."""
    for base in (os.path.dirname(including), src):
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(candidate):
            return folder_of(src, candidate)
    return None


def check(root, layers):
    """The findings, one line each."""
    src = os.path.join(root, "src")
    findings = []
    seen = set()
    for name in layers:
        if name in seen:
            findings.append("the order names the folder %s twice" % name)
        seen.add(name)
    rank = {name: index for index, name in enumerate(layers)}
    folders = sorted(e for e in os.listdir(src) if os.path.isdir(os.path.join(src, e)))
    for folder in folders:
        if folder not in rank:
            findings.append("src/%s: the folder is missing from the order of folders" % folder)
    for name in layers:
        if name not in folders:
            findings.append("src/%s: the order names a folder that does not exist" % name)
    for dirpath, dirnames, files in os.walk(src):
        dirnames.sort()
        for file_name in sorted(files):
            path = os.path.join(dirpath, file_name)
            folder = folder_of(src, path)
            if folder not in rank:
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
            for number, line in enumerate(lines, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = included_folder(src, path, match.group(1))
                if target is None or target == folder:
                    continue
                where = "%s:%d" % (os.path.relpath(path, root), number)
                if target not in rank:
                    findings.append("%s: %s includes \"%s\" of %s, a folder missing from the order"
                                    % (where, folder, match.group(1), target))
                elif rank[target] > rank[folder]:
                    findings.append("%s: %s includes \"%s\" of %s, a folder above it"
                                    % (where, folder, match.group(1), target))
    return findings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(HERE, "..", ".."))
    parser.add_argument("--layers", default=os.path.join(HERE, "layers.txt"))
    args = parser.parse_args()
    layers = read_layers(args.layers)
    findings = check(os.path.abspath(args.root), layers)
    for finding in findings:
        print(finding)
    order = " -> ".join(layers)
    if findings:
        print("FAILED: %d finding(s); the order, lowest first: %s" % (len(findings), order))
        return 1
    print("ok: no folder includes one above it (%s)" % order)
    return 0


if __name__ == "__main__":
    sys.exit(main())

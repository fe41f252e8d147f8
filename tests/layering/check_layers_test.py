#!/usr/bin/env python3
"""The layering check finds what it is there for: in small made-up trees, an include of a folder
above, a folder missing from the order and an order naming a folder that is gone each give a
finding that names the file, the line and both folders, while includes downward, within a folder,
beside the file and of generated files give none."""
import os
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_layers  # noqa: E402


def make_tree(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as f:
            f.write(text)


CLEAN = {
    "src/low/low.h": "#pragma once\n",
    "src/low/low.def": "ROW(1)\n",
    "src/mid/mid.h": '#pragma once\n#include "low/low.h"\n',
    "src/mid/mid.cpp": '#include "mid/mid.h"\n#include "mid_local.h"\n#include "generated_tables.h"\n'
                       '#include <cstdio>\n// #include "top/top.h" in a comment is no include\n',
    "src/mid/mid_local.h": '#include "../low/low.def"\n',
    "src/top/top.cpp": '#include "mid/mid.h"\n  #  include "low/low.h"\n',
}


def findings_for(files, layers):
    with tempfile.TemporaryDirectory() as root:
        make_tree(root, files)
        return check_layers.check(root, layers)


def main():
    failures = []

    def expect(label, got, wanted):
        if got != wanted:
            failures.append("%s:\n  got    %r\n  wanted %r" % (label, got, wanted))

    order = ["low", "mid", "top"]
    expect("a clean tree", findings_for(CLEAN, order), [])

    upward = dict(CLEAN)
    upward["src/low/low.cpp"] = '#include "low/low.h"\n\n#include "top/../mid/mid.h"\n'
    upward["src/mid/mid_local.h"] = '#include "../top/top.cpp"\n'
    expect("includes of folders above", findings_for(upward, order), [
        'src/low/low.cpp:3: low includes "top/../mid/mid.h" of mid, a folder above it',
        'src/mid/mid_local.h:1: mid includes "../top/top.cpp" of top, a folder above it',
    ])

    expect("a folder missing from the order", findings_for(CLEAN, ["low", "mid"]), [
        "src/top: the folder is missing from the order of folders",
    ])
    expect("an order naming a folder that is gone", findings_for(CLEAN, order + ["gone"]), [
        "src/gone: the order names a folder that does not exist",
    ])
    expect("the same order turned round", findings_for(CLEAN, ["top", "mid", "low"]), [
        'src/mid/mid.h:2: mid includes "low/low.h" of low, a folder above it',
        'src/mid/mid_local.h:1: mid includes "../low/low.def" of low, a folder above it',
        'src/top/top.cpp:1: top includes "mid/mid.h" of mid, a folder above it',
        'src/top/top.cpp:2: top includes "low/low.h" of low, a folder above it',
    ])

    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("ok: the layering check finds upward includes and gaps in the order")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

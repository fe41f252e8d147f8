#!/usr/bin/env python3
"""Builds the seed corpora of the fuzz targets from the golden test inputs (tests/cli/**).

    make_seeds.py OUTDIR      writes OUTDIR/fuzz_lexer, OUTDIR/fuzz_preprocessor, OUTDIR/fuzz_if

Each case's input becomes a lexer seed; with its options mapped to the target's option bits and
its first include file appended after the separator (the input's #include names rewritten to
inc.h), a preprocessor seed, once as it is and once read through FIFOs too; its #if and #elif
operands, one per line, an #if seed. A few preprocessor seeds of texts longer than the stream
layer's ring (long strings, names, macro bodies, a "(" after many blank lines) are added, read
through FIFOs.
"""
import hashlib
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SEPARATOR = b"\n#--inc.h--\n"
# Must match OPTION_BITS and the BIT_ constants of fuzz_preprocessor.cpp.
OPTION_BITS = ["-m", "-C", "-noC", "-B", "-z", "-ansi", "-g", "-n", "-P", "-e", "-c"]
BIT_LIST_FILE, BIT_C_NAME, BIT_DEPS, BIT_INCLUDE_DIR, BIT_FORTRAN, BIT_PIPES = \
    11, 12, 13, 14, 15, 16
META = {".out", ".err", ".args", ".rc", ".lis", ".env", ".stdin", ".trace", ".dep", ".signal",
        ".isolated"}


def cases():
    for out in sorted((ROOT / "tests" / "cli").rglob("*.out")):
        stem = out.with_suffix("")
        inputs = [p for p in sorted(stem.parent.glob(stem.name + ".*"))
                  if p.suffix not in META and p.is_file()]
        if inputs:
            yield stem, inputs[0]


def option_bits(stem, source):
    args_file = stem.with_suffix(".args")
    args = args_file.read_text(errors="replace").split("\n") if args_file.exists() else []
    bits = 0
    for arg in args:
        if arg in OPTION_BITS:
            bits |= 1 << OPTION_BITS.index(arg)
        elif arg.startswith("-l"):
            bits |= 1 << BIT_LIST_FILE
        elif arg.startswith("--deps"):
            bits |= 1 << BIT_DEPS
        elif arg.startswith("-I"):
            bits |= 1 << BIT_INCLUDE_DIR
        elif arg == "--fortran":
            bits |= 1 << BIT_FORTRAN
    if source.suffix == ".c":
        bits |= 1 << BIT_C_NAME
    return bits


def include_file(stem, text):
    """The first include file of the case and the input with its name rewritten to inc.h."""
    folder = stem.with_suffix(".d")
    if not folder.is_dir():
        return text, b""
    files = sorted(p for p in folder.rglob("*") if p.is_file())
    if not files:
        return text, b""
    first = files[0]
    name = re.escape(str(first.relative_to(folder)).encode())
    text = re.sub(rb'(#\s*include\s*)["<]' + name + rb'[">]', rb'\1"inc.h"', text)
    return text, first.read_bytes()


def write(folder, data):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = pathlib.Path(sys.argv[1])
    count = 0
    for stem, source in cases():
        text = source.read_bytes()
        write(out / "fuzz_lexer", bytes([2]) + text)
        bits = option_bits(stem, source)
        main_text, included = include_file(stem, text)
        for piped in (0, 1 << BIT_PIPES):
            word = bits | piped
            write(out / "fuzz_preprocessor",
                  word.to_bytes(3, "little") + main_text + SEPARATOR + included)
        operands = re.findall(rb"^[ \t]*#[ \t]*(?:if|elif)[ \t]+(.*)$", text, re.M)
        if operands:
            write(out / "fuzz_if", bytes([bits & 1]) + b"\n".join(operands) + b"\n")
        count += 1
    for text in long_texts():
        word = 1 | 1 << BIT_LIST_FILE | 1 << BIT_PIPES  # -m, a list file, FIFOs
        write(out / "fuzz_preprocessor", word.to_bytes(3, "little") + text)
    print(f"make_seeds: {count} cases -> {out}")


def long_texts():
    """Inputs whose texts outrun the 2 KiB ring of the stream layer."""
    long_name = b"n" * 3000
    return [
        b'      s = "' + b"x" * 3000 + b'"\n#warning w\n' + SEPARATOR + b"      i = 1\n",
        b"#define S(a) a " + long_name + b'\n#include "inc.h"\n      y = S(1)\n' + SEPARATOR +
        b"      " + long_name + b" = 2\n",
        b"#define F(x) [x]\n      a = F" + b"\n" * 3000 + b"(1)\n      b = F\n" + SEPARATOR,
    ]


if __name__ == "__main__":
    main()

"""The start the compiler comparisons share: the program under test (--tfpp) and the compiler to
compare with, or a skip (status 77, which ctest reports as skipped) when it is not installed."""
import argparse
import os
import shutil

SKIPPED = 77


def tfpp_and_compiler(name):
    """(absolute path of --tfpp, path of the compiler `name`); the compiler is None, and a line
    says so, when it is not on the path."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--tfpp", required=True)
    tfpp = os.path.abspath(parser.parse_args().tfpp)
    compiler = shutil.which(name)
    if compiler is None:
        print("%s not found: test skipped" % name)
    return tfpp, compiler

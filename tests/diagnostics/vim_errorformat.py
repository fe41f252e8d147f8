#!/usr/bin/env python3
"""Editors read build logs with patterns like Vim's default errorformat, "%f:%l:%c: %m". Runs
tfpp --diagnostics=gnu on an input that draws messages in the main file, in an included file
(in a subfolder) and in a -D definition, applies that pattern the way Vim does to every line of
standard error, and checks that each message line gives a file that exists (relative to the
folder of the run), the line and the column where the message was placed, and that the source
and caret lines that follow are not taken for messages."""
import argparse
import os
import re
import subprocess
import sys
import tempfile

# %f: a file name (Vim takes the longest run that still lets the rest match), %l and %c:
# numbers, %m: the rest. Lines that do not match are not messages.
VIM_DEFAULT = re.compile(r"^(?P<f>[^:]+):(?P<l>\d+):(?P<c>\d+): (?P<m>.*)$")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tfpp", required=True)
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "inc"))
        with open(os.path.join(work, "inc", "part.h"), "w") as f:
            f.write("#define P 1\n#define P 2\n")              # line 2, column 11
        with open(os.path.join(work, "main.F"), "w") as f:
            f.write('#include "part.h"\n'                        # line 1
                    "      x = 1\n"                              # line 2
                    "   #if\n"                                   # line 3, column 7
                    "#endif\n"
                    "#include <absent.h>\n"                      # line 5, column 2
                    "\t#pragma (nosuch 1)\n")                    # line 6, column 11
        expected = {("inc/part.h", 2, 11), ("main.F", 3, 7), ("main.F", 5, 2),
                    ("main.F", 6, 11), ("<command line>", 2, 11)}
        proc = subprocess.run([os.path.abspath(opts.tfpp), "-nologo", "--diagnostics=gnu",
                               "-Iinc", "-DQ=1", "-DQ=2", "main.F"],
                              cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              timeout=60)
        found = set()
        failures = []
        lines = proc.stderr.decode().splitlines()
        for number, line in enumerate(lines):
            match = VIM_DEFAULT.match(line)
            if match is None:
                if not line.startswith(" "):
                    failures.append("not a message, a source or a caret line: %r" % line)
                continue
            place = (match["f"], int(match["l"]), int(match["c"]))
            found.add(place)
            if place[0] != "<command line>" and \
                    not os.path.isfile(os.path.join(work, place[0])):
                failures.append("no such file: %r" % line)
            # The source line and the caret line follow, and neither matches the pattern.
            follow = lines[number + 1:number + 3]
            if len(follow) != 2 or not re.match(r"^ +%d \| " % place[1], follow[0]) or \
                    not re.match(r"^      \| \s*\^$", follow[1]):
                failures.append("no source and caret line after %r: %r" % (line, follow))
        if found != expected:
            failures.append("positions found %s, expected %s" % (sorted(found), sorted(expected)))
        if failures:
            print(proc.stderr.decode())
            print("\n".join("FAILED: " + f for f in failures))
            return 1
        print("%d message lines, each with file, line and column" % len(found))
        return 0


if __name__ == "__main__":
    sys.exit(main())

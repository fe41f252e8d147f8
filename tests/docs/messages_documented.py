#!/usr/bin/env python3
"""Checks that the documents cannot drift from the message tables: every preprocessor message
text (src/pp/pp_messages.def) and every build-option message (src/driver/deps.cpp) appears in
docs/messages.md, and every long option in the help text appears in the guide and the man page."""
import os
import re
import sys

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def text(rel):
    with open(os.path.join(root, rel), encoding="utf-8") as f:
        return f.read()


def main():
    messages_doc = text("docs/messages.md")
    guide = text("docs/guide.md")
    man = text("share/man/tfpp.1").replace("\\-", "-")
    missing = []
    pp = re.findall(r'^PP_MESSAGE\(\w+, \d, "(.*)"\)', text("src/pp/pp_messages.def"), re.M)
    deps = re.findall(r'^constexpr char \w+\[\] = "(.*)";', text("src/driver/deps.cpp"), re.M)
    if len(pp) < 50 or len(deps) != 1:
        print("FAILED: the tables were not read (%d, %d entries)" % (len(pp), len(deps)))
        return 1
    for message in pp + deps:
        if message not in messages_doc:
            missing.append("docs/messages.md lacks: " + message)
    for option in sorted(set(re.findall(r"--[a-z-]+", text("share/zor_hlp.txt")))):
        for name, doc in (("docs/guide.md", guide), ("share/man/tfpp.1", man)):
            if option not in doc:
                missing.append("%s lacks option %s" % (name, option))
    for line in missing:
        print("FAILED: " + line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())

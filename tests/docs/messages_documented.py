#!/usr/bin/env python3
"""Checks that the documents cannot drift from the message tables: every preprocessor message
text (src/pp/pp_messages.def), every build-option message (src/driver/deps.cpp), every failure
line of the command line (src/driver/cmdline_texts.def) and every refusal line (src/driver/
cmdline.cpp) appears in docs/messages.md, and every long option and every GNU cpp spelling in the
help text appears in the guide and the man page."""
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
    failures = re.findall(r'^CMDLINE_TEXT\(CANT_\w+, "(.*?)(?:\\n)?"\)',
                          text("src/driver/cmdline_texts.def"), re.M)
    cmdline = text("src/driver/cmdline.cpp")
    refusals = ["tfpp: " + r.split("%s")[0]
                for r in re.findall(r'outfile_refuse\(\s*"(.*?)"', cmdline, re.S)]
    refusals += re.findall(r'std::fputs\("(tfpp: [^"]*?)\\n", stderr\)', cmdline)
    if len(failures) < 6 or len(refusals) < 5:
        print("FAILED: the command-line texts were not read (%d, %d)" % (len(failures),
                                                                        len(refusals)))
        return 1
    for message in pp + deps + failures + refusals:
        if message not in messages_doc.replace("\n", " "):
            missing.append("docs/messages.md lacks: " + message)
    help_text = text("share/zor_hlp.txt")
    gnu = help_text.split("Options of GNU cpp", 1)[1].split("\n\n", 1)[0]
    gnu_options = re.findall(r"^  (-[A-Za-z]+)", gnu, re.M)
    if len(gnu_options) < 12:
        print("FAILED: the GNU cpp options of the help text were not read")
        return 1
    for option in sorted(set(re.findall(r"--[a-z-]+", help_text)) | set(gnu_options)):
        for name, doc in (("docs/guide.md", guide), ("share/man/tfpp.1", man)):
            if option not in doc:
                missing.append("%s lacks option %s" % (name, option))
    # Every option the help text lists (first on its line) has its entry in the man page.
    listed = set()
    for line in help_text.split("\n"):
        match = re.match(r"^  (-\S+(?: -\S+)*)", line)
        for option in (match.group(1).split() if match else []):
            if "(" in option:
                continue  # an example such as -DF(a,b)=a+b, not an option of its own
            option = re.sub(r"[=(].*$", "", option.rstrip(","))
            if not option.startswith("--"):
                option = re.sub(r"(dir|file|name|number|N)$", "", option)
            listed.add(option)
    if len(listed) < 60:
        print("FAILED: the options of the help text were not read (%d)" % len(listed))
        return 1
    for option in sorted(listed):
        if not re.search(re.escape(option) + r"(?![\w-])", man):
            missing.append("share/man/tfpp.1 lacks option " + option)
    # One version string: the man page's footer says what --version prints.
    cmake = text("CMakeLists.txt")
    major, minor = re.search(r"project\(tfpp VERSION (\d+)\.(\d+)", cmake).groups()
    edit = re.search(r"set\(TFPP_EDIT (\d+)\)", cmake).group(1)
    version = "%s.%s-%s" % (major, minor, edit)
    if not re.search(r'^\.TH TFPP 1 "[^"]*" "tfpp %s"' % re.escape(version), man, re.M):
        missing.append("share/man/tfpp.1: the footer does not say tfpp %s" % version)
    for line in missing:
        print("FAILED: " + line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())

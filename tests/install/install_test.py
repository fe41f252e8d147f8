#!/usr/bin/env python3
"""Installs the build tree into a temporary prefix and runs the installed program from there.

Checks the installed layout (program, help text, man page, documents, CMake package), that the
installed program finds its help text through ../share/tfpp and preprocesses a file with an
include, and, when groff is installed, that the man page renders without warnings.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

EXPECTED = ["bin/tfpp", "share/tfpp/zor_hlp.txt", "share/man/man1/tfpp.1",
            "share/doc/tfpp/README.md", "share/doc/tfpp/guide.md",
            "share/doc/tfpp/integration.md", "lib/cmake/tfpp/tfppConfig.cmake",
            "lib/cmake/tfpp/tfppConfigVersion.cmake", "lib/cmake/tfpp/tfppTargets.cmake",
            "lib/cmake/tfpp/tfpp.cmake"]


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, **kw)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    opts = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tfpp-install-")
    failures = []
    try:
        prefix = os.path.join(work, "prefix")
        proc = run(["cmake", "--install", opts.build, "--prefix", prefix,
                    "--config", "Release"])
        if proc.returncode != 0:
            print(proc.stdout.decode(), proc.stderr.decode())
            return 1
        for rel in EXPECTED:
            if not os.path.isfile(os.path.join(prefix, rel)):
                failures.append("missing " + rel)
        tfpp = os.path.join(prefix, "bin", "tfpp")

        proc = run([tfpp, "--help"], cwd=work)
        if proc.returncode != 0 or not proc.stdout.startswith(b"tfpp - Fortran-aware"):
            failures.append("installed --help: status %d, %r" % (proc.returncode,
                                                                  proc.stdout[:80]))

        src = os.path.join(work, "src")
        os.makedirs(os.path.join(src, "inc"))
        with open(os.path.join(src, "inc", "k.h"), "w") as f:
            f.write("#define K 7\n")
        with open(os.path.join(src, "p.F"), "w") as f:
            f.write('#include "inc/k.h"\n      print *, K\n      end\n')
        proc = run([tfpp, "-nologo", "-m", "--error-exit", "--deps=p.d", "p.F", "p.f"],
                   cwd=src)
        out = open(os.path.join(src, "p.f")).read() if os.path.exists(
            os.path.join(src, "p.f")) else ""
        if proc.returncode != 0 or "      print *, 7" not in out:
            failures.append("installed run: status %d, output %r" % (proc.returncode, out))
        dep = open(os.path.join(src, "p.d")).read() if os.path.exists(
            os.path.join(src, "p.d")) else ""
        if dep != "p.f: p.F \\\n  inc/k.h\n\ninc/k.h:\n":
            failures.append("installed depfile: %r" % dep)

        if shutil.which("groff"):
            proc = run(["groff", "-man", "-ww", "-z",
                        os.path.join(prefix, "share/man/man1/tfpp.1")])
            if proc.returncode != 0 or proc.stderr:
                failures.append("man page warnings: " + proc.stderr.decode())
        else:
            print("groff not installed: man page not linted")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Streams a huge generated input through tfpp and checks that memory stays constant.

The input (a few macro definitions, then one ten-line unit of Fortran with a macro call, a false
group, a comment and `//` repeated until the size is reached) is written into the program's
standard input by a thread as it is generated: nothing of that size is ever stored, except the
program's own temporary copy of standard input, which it removes. The output is hashed as it
arrives and compared with the expected output, generated unit by unit from the output of a
three-unit run (only the line numbers of the markers differ from unit to unit). Prints the time,
the throughput and the peak resident set size of each run: VmHWM of /proc/PID/status, read while
the program runs, and wait4's ru_maxrss, which on Linux also counts the image of this Python
process that the program was started from (the high-water mark survives the exec).

    stress.py --tfpp build/tfpp [--size 2G] [--size 256M ...] [--max-growth-kib 1024]

With several sizes, the run fails when the peak RSS (VmHWM) of the largest exceeds that of the
smallest by more than --max-growth-kib.
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

HEADER = b"#define N 3\n#define F(a, b) (a + b * N)\n"
UNIT = (b"#if N > 2\n"
        b"      x = F(y, 2) + N\n"
        b"#else\n"
        b"      x = 0\n"
        b"#endif\n"
        b"C     a comment line\n"
        b"      call foo(a, 'str // not a comment', 1.5e3) /* c */\n"
        b"      s = a // b\n"
        b"      t = F(F(1, 2), N)\n"
        b"\n")
UNIT_LINES = UNIT.count(b"\n")
ARGS = ["-nologo", "-m"]
MARKER = re.compile(rb'# (\d+) "([^"]*)"')
CHUNK_UNITS = 16384


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text[-1:].upper() in units:
        return int(text[:-1]) * units[text[-1:].upper()]
    return int(text)


def environment(tmp):
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C", "TZ": "UTC",
            "TMPDIR": tmp}


def small_run(tfpp, tmp, units):
    proc = subprocess.run([tfpp] + ARGS, input=HEADER + UNIT * units, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=environment(tmp), check=False)
    if proc.returncode != 0 or proc.stderr:
        sys.exit("small run failed: status %d, %r" % (proc.returncode, proc.stderr[:300]))
    name = MARKER.search(proc.stdout).group(2)
    return proc.stdout, name


class Expected:
    """The expected output: the two-unit run's output, then unit k >= 2 from the template of
    unit 2 with its marker line numbers moved by (k - 2) * UNIT_LINES."""

    def __init__(self, tfpp, tmp):
        two, name2 = small_run(tfpp, tmp, 2)
        three, name3 = small_run(tfpp, tmp, 3)
        two = two.replace(b'"' + name2 + b'"', b'"' + name3 + b'"')
        if not three.startswith(two):
            sys.exit("the output of two units is not a prefix of that of three")
        self.name = name3
        self.head = two
        pieces = MARKER.split(three[len(two):])
        # pieces: text, (number, name, text)*
        self.texts = [pieces[0]] + pieces[3::3]
        self.numbers = [int(n) for n in pieces[1::3]]

    def stream(self, name, units):
        """Yields the expected output in pieces for `units` units, markers naming `name`."""
        yield self.head.replace(b'"' + self.name + b'"', b'"' + name + b'"')
        quoted = b' "' + name + b'"'
        batch = []
        for k in range(2, units):
            shift = (k - 2) * UNIT_LINES
            batch.append(self.texts[0])
            for number, text in zip(self.numbers, self.texts[1:]):
                batch.append(b"# %d" % (number + shift) + quoted + text)
            if len(batch) > 4096:
                yield b"".join(batch)
                batch = []
        yield b"".join(batch)


def high_water_kib(pid):
    """The program's peak resident set so far (VmHWM), or None once it is gone."""
    try:
        with open("/proc/%d/status" % pid, "rb") as status:
            for line in status:
                if line.startswith(b"VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def stream_run(tfpp, tmp, size, expected):
    units = max(3, (size - len(HEADER)) // len(UNIT))
    total_in = len(HEADER) + units * len(UNIT)
    proc = subprocess.Popen([tfpp] + ARGS, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=environment(tmp))
    errors = []

    def feed():
        try:
            proc.stdin.write(HEADER)
            chunk = UNIT * CHUNK_UNITS
            left = units
            while left >= CHUNK_UNITS:
                proc.stdin.write(chunk)
                left -= CHUNK_UNITS
            proc.stdin.write(UNIT * left)
            proc.stdin.close()
        except OSError as e:
            errors.append("writing the input: %s" % e)

    err_parts = []
    stderr_reader = threading.Thread(target=lambda: err_parts.append(proc.stderr.read()))
    writer = threading.Thread(target=feed)
    start = time.monotonic()
    writer.start()
    stderr_reader.start()
    digest = hashlib.sha256()
    first = b""
    out_bytes = 0
    peak = 0
    while True:
        data = proc.stdout.read1(1 << 20)
        # The mark only rises, so the last reading before the end is the run's peak.
        peak = max(peak, high_water_kib(proc.pid) or 0)
        if not data:
            break
        if len(first) < 4096:
            first += data[:4096]
        digest.update(data)
        out_bytes += len(data)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    writer.join()
    stderr_reader.join()
    leftovers = os.listdir(tmp)

    want = hashlib.sha256()
    want_bytes = 0
    match = MARKER.search(first)
    if match is None:
        errors.append("no marker at the start of the output")
    else:
        for piece in expected.stream(match.group(2), units):
            want.update(piece)
            want_bytes += len(piece)
    if proc.returncode != 0:
        errors.append("status %d" % proc.returncode)
    if err_parts and err_parts[0]:
        errors.append("stderr: %r" % err_parts[0][:300])
    if leftovers:
        errors.append("temporary files left: %s" % leftovers)
    if match is not None and (out_bytes, digest.digest()) != (want_bytes, want.digest()):
        errors.append("output differs: %d bytes, sha256 %s; expected %d bytes, sha256 %s" % (
            out_bytes, digest.hexdigest(), want_bytes, want.hexdigest()))
    print("%10d bytes in (%d lines), %10d bytes out: %6.1f s, %6.1f MB/s, "
          "peak RSS %d KiB (ru_maxrss %d KiB)%s" % (
              total_in, units * UNIT_LINES + 2, out_bytes, elapsed, total_in / elapsed / 1e6,
              peak, usage.ru_maxrss, "" if not errors else "  FAIL: " + "; ".join(errors)),
          flush=True)
    return peak, not errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tfpp", required=True)
    parser.add_argument("--size", action="append", help="input size, e.g. 2G, 256M (repeatable)")
    parser.add_argument("--max-growth-kib", type=int, default=1024)
    opts = parser.parse_args()
    sizes = sorted(parse_size(s) for s in (opts.size or ["2G"]))
    tfpp = os.path.abspath(opts.tfpp)
    ok = True
    with tempfile.TemporaryDirectory(prefix="tfpp-stress-") as tmp:
        expected = Expected(tfpp, tmp)
        peaks = []
        for size in sizes:
            peak, passed = stream_run(tfpp, tmp, size, expected)
            peaks.append(peak)
            ok = ok and passed
    if len(peaks) > 1:
        growth = peaks[-1] - peaks[0]
        print("peak RSS growth from the smallest to the largest input: %d KiB" % growth)
        if growth > opts.max_growth_kib:
            print("FAIL: memory grows with the input (limit %d KiB)" % opts.max_growth_kib)
            ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runs tfpp, GNU cpp, gfortran and the copy floors on the generated inputs and prints the table.

Every case runs several rounds in alternation (round 1 runs every case once, then round 2, ...), so
a burst of load on the machine hits all of them alike; the table shows medians. Every program writes
its output to the same file in the data folder. The digests of tfpp's outputs can be saved and
compared later, so a speed change that alters the output is caught.
"""

import argparse
import hashlib
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_inputs  # noqa: E402

OUT_NAME = "bench-out.txt"  # every program's output, in the data folder
ERR_NAME = "bench-err.txt"  # every program's standard error, likewise
STARTUP_RUNS = 20           # runs on the empty file per round (its time is a few milliseconds)

# The thresholds of the targets, judged by `targets` below.
GFORTRAN_SPEEDUP_DEFAULT = 6.0
GFORTRAN_SPEEDUP_MACRO = 4.0
CPP_SPEEDUP_MACRO = 3.0
FLOOR_FACTOR = 2.0
LINEAR_TOLERANCE = 0.10
PEAK_RSS_KB = 8 * 1024
STARTUP_MS = 5.0
CHAIN_SPEEDUP = 3.0
INCLUDE_SPEEDUP = 2.0


class Case:
    """One program run on one input, timed over the rounds."""

    def __init__(self, group, program, input_name, argv, tfpp=False, runs=1):
        self.group = group            # the input's row group in the table
        self.program = program        # short name shown in the table
        self.input_name = input_name
        self.argv = argv
        self.tfpp = tfpp              # its output digest is recorded
        self.runs = runs              # runs per round, each one timed
        self.times = []               # wall seconds, one per run
        self.cpu = []                 # user + system seconds, one per run
        self.rss_kb = 0
        self.status = []
        self.digest = None

    @property
    def key(self):
        return "%s %s" % (self.program, self.input_name)


def programs(build):
    tfpp = os.path.abspath(os.path.join(build, "tfpp"))
    floor = os.path.abspath(os.path.join(build, "bench", "copy_floor"))
    return {
        "tfpp": lambda f: [tfpp, "-nologo", f, OUT_NAME],
        "tfpp -m": lambda f: [tfpp, "-nologo", "-m", f, OUT_NAME],
        "tfpp --fortran": lambda f: [tfpp, "-nologo", "--fortran", f, OUT_NAME],
        "cpp -traditional-cpp": lambda f: ["cpp", "-traditional-cpp", f, "-o", OUT_NAME],
        "gfortran -cpp -E": lambda f: ["gfortran", "-cpp", "-E", f, "-o", OUT_NAME],
        "copy 2 KiB": lambda f: [floor, "2048", f, OUT_NAME],
        "copy 64 KiB": lambda f: [floor, "65536", f, OUT_NAME],
    }


def build_cases(build, sizes, with_messages=True):
    p = programs(build)
    cases = []
    peers = ("cpp -traditional-cpp", "gfortran -cpp -E", "copy 2 KiB", "copy 64 KiB")
    for s in sizes:
        name = "mix_%dmb.F" % s
        cases.append(Case("default %d MB" % s, "tfpp", name, p["tfpp"](name), tfpp=True))
        cases += [Case("default %d MB" % s, q, name, p[q](name)) for q in peers]
    for s in sizes:
        name = "macro_%dmb.F" % s
        cases.append(Case("macro-heavy %d MB" % s, "tfpp -m", name, p["tfpp -m"](name), tfpp=True))
        if s >= 10:
            cases.append(Case("macro-heavy %d MB" % s, "tfpp --fortran", name,
                              p["tfpp --fortran"](name), tfpp=True))
        cases += [Case("macro-heavy %d MB" % s, q, name, p[q](name)) for q in peers]
    for s in sizes:
        if s >= 10:
            name = "nested_%dmb.F" % s
            cases.append(Case("nested macros %d MB" % s, "tfpp -m", name, p["tfpp -m"](name),
                              tfpp=True))
            cases.append(Case("nested macros %d MB" % s, "tfpp --fortran", name,
                              p["tfpp --fortran"](name), tfpp=True))
            cases += [Case("nested macros %d MB" % s, q, name, p[q](name)) for q in peers[:2]]
    if with_messages:
        for s in sizes:
            if s >= 10:
                name = "msgs_%dmb.F" % s
                cases.append(Case("90 messages %d MB" % s, "tfpp", name, p["tfpp"](name),
                                  tfpp=True))
    patho = [("long lines", "long_lines.F", "tfpp"), ("100 000 identifiers", "many_idents.F", "tfpp"),
             ("40 000 inclusions", "include_chain.F", "tfpp"),
             ("50-deep chains on #if", "chain_if.F", "tfpp"),
             ("50-deep chains in source", "chain_src.F", "tfpp -m"),
             ("2 000 000 distinct names", gen_inputs.MANY_NAMES_FILE, "tfpp -m"),
             ("2 000 000 distinct names", gen_inputs.MANY_NAMES_FILE, "tfpp --fortran")]
    for group, name, mode in patho:
        cases.append(Case(group, mode, name, p[mode](name), tfpp=True))
        if find(cases, "cpp -traditional-cpp", name) is None:
            cases.append(Case(group, "cpp -traditional-cpp", name,
                              p["cpp -traditional-cpp"](name)))
    for q in ("tfpp", "cpp -traditional-cpp", "gfortran -cpp -E"):
        cases.append(Case("start-up (empty file)", q, "empty.F", p[q]("empty.F"), tfpp=q == "tfpp",
                          runs=STARTUP_RUNS))
    cases.append(Case("start-up (empty file)", "/bin/true", "empty.F", ["/bin/true"],
                      runs=STARTUP_RUNS))
    return cases


def spawn_runs(launcher, argv, runs):
    """Runs argv `runs` times through the launcher; returns (wall, cpu, status, rss_kb) per run."""
    done = subprocess.run([launcher, str(runs), ERR_NAME, "--fresh", OUT_NAME] + argv,
                          stdout=subprocess.PIPE,
                          check=True, text=True)
    result = []
    for line in done.stdout.splitlines():
        wall, cpu, status, rss = line.split()
        result.append((float(wall), float(cpu), int(status), int(rss)))
    return result


def file_digest(path):
    return gen_inputs.hash_file(hashlib.sha256(), path).hexdigest()


def run_rounds(cases, rounds, launcher, log):
    for r in range(rounds):
        start = time.perf_counter()
        for case in cases:
            for wall, cpu, status, rss in spawn_runs(launcher, case.argv, case.runs):
                case.times.append(wall)
                case.cpu.append(cpu)
                case.status.append(status)
                case.rss_kb = max(case.rss_kb, rss)
            if r == 0 and case.tfpp:
                case.digest = "%s %s" % (file_digest(OUT_NAME), file_digest(ERR_NAME))
        print("round %d of %d: %.1f s" % (r + 1, rounds, time.perf_counter() - start), file=log,
              flush=True)


def median(case):
    return statistics.median(case.times)


def cpu_median(case):
    return statistics.median(case.cpu)


def spread(case):
    m = median(case)
    return (max(case.times) - min(case.times)) / m if m > 0 else 0.0


def fmt_time(seconds):
    if seconds < 0.1:
        return "%.2f ms" % (seconds * 1000)
    return "%.3f s" % seconds


def table(cases, sizes_bytes):
    """The Markdown table: one row per program and input, tfpp's row first in each group."""
    lines = ["| input | program | median wall | MB/s | tfpp throughput / this | spread | median CPU "
             "| peak RSS |", "|---|---|---:|---:|---:|---:|---:|---:|"]
    groups = []
    for c in cases:
        if c.group not in groups:
            groups.append(c.group)
    for g in groups:
        rows = [c for c in cases if c.group == g]
        ref = next((c for c in rows if c.tfpp), None)
        for c in rows:
            size = sizes_bytes.get(c.input_name, 0)
            mbps = "%.0f" % (size / 1e6 / median(c)) if size >= 1_000_000 else "-"
            ratio = "-" if ref is None or c is ref else "%.2f" % (median(c) / median(ref))
            bad = "" if all(s == 0 for s in c.status) else " (status %d)" % max(c.status)
            lines.append("| %s | %s%s | %s | %s | %s | %.0f%% | %s | %.1f MB |" % (
                g, c.program, bad, fmt_time(median(c)), mbps, ratio, 100 * spread(c),
                fmt_time(statistics.median(c.cpu)), c.rss_kb / 1024))
    return lines


def find(cases, program, input_name):
    for c in cases:
        if c.program == program and c.input_name == input_name:
            return c
    return None


def linearity(cases, sizes_bytes, timef=median, net=False):
    """Time per MB at 10 and at 100 MB for the modes that have both sizes; with `net`, after
    taking off the time of a run on the empty file (starting the process and tfpp's start-up),
    which a 10 MB run spreads over ten times fewer bytes."""
    empty = find(cases, "tfpp", "empty.F")
    fixed = timef(empty) if net and empty is not None else 0.0

    def ratio(program, stem):
        small = find(cases, program, "%s_10mb.F" % stem)
        large = find(cases, program, "%s_100mb.F" % stem)
        if small is None or large is None:
            return None
        per_small = (timef(small) - fixed) / (sizes_bytes[small.input_name] / 1e6)
        per_large = (timef(large) - fixed) / (sizes_bytes[large.input_name] / 1e6)
        return per_small, per_large, per_large / per_small

    rows = []
    for label, program, stem in (("default", "tfpp", "mix"), ("-m, macro-heavy", "tfpp -m", "macro"),
                                 ("90 messages", "tfpp", "msgs")):
        r = ratio(program, stem)
        if r is None:
            continue
        # The same ratio for the loop that only copies the file in 2 KiB reads: what the machine
        # itself does between the two sizes (the message file has no copy runs: the ordinary
        # file's stand in).
        floor = ratio("copy 2 KiB", stem) or ratio("copy 2 KiB", "mix")
        rows.append((label, r[0], r[1], r[2], floor[2] if floor else None))
    return rows


def targets(cases, sizes_bytes, lin_rows, checksum_result, timef=median):
    """Pass or fail for each target; returns (label, measured, passed) triples. The times are
    the median wall times, or what `timef` gives (the median CPU times)."""
    result = []

    def speedup(tfpp_prog, peer, name, want, label):
        t, p = find(cases, tfpp_prog, name), find(cases, peer, name)
        if t is None or p is None:
            return
        x = timef(p) / timef(t)
        result.append((label, "%.2fx" % x, x >= want))

    speedup("tfpp", "gfortran -cpp -E", "mix_100mb.F", GFORTRAN_SPEEDUP_DEFAULT,
            "default mode, 100 MB: >= %.1fx the throughput of gfortran -cpp -E"
            % GFORTRAN_SPEEDUP_DEFAULT)
    t, f = find(cases, "tfpp", "mix_100mb.F"), find(cases, "copy 2 KiB", "mix_100mb.F")
    if t and f:
        x = timef(t) / timef(f)
        result.append(("default mode, 100 MB: time <= %.0fx the 2 KiB copy floor" % FLOOR_FACTOR,
                       "%.2fx" % x, x <= FLOOR_FACTOR))
    for mode, option in (("tfpp -m", "-m"), ("tfpp --fortran", "--fortran")):
        speedup(mode, "gfortran -cpp -E", "macro_100mb.F", GFORTRAN_SPEEDUP_MACRO,
                "%s on the macro-heavy 100 MB: >= %.1fx gfortran -cpp -E"
                % (option, GFORTRAN_SPEEDUP_MACRO))
        speedup(mode, "cpp -traditional-cpp", "macro_100mb.F", CPP_SPEEDUP_MACRO,
                "%s on the macro-heavy 100 MB: >= %.1fx cpp -traditional-cpp"
                % (option, CPP_SPEEDUP_MACRO))
        for size in (10, 100):
            name = "nested_%dmb.F" % size
            speedup(mode, "gfortran -cpp -E", name, GFORTRAN_SPEEDUP_MACRO,
                    "%s on the nested macros %d MB: >= %.1fx gfortran -cpp -E"
                    % (option, size, GFORTRAN_SPEEDUP_MACRO))
            speedup(mode, "cpp -traditional-cpp", name, CPP_SPEEDUP_MACRO,
                    "%s on the nested macros %d MB: >= %.1fx cpp -traditional-cpp"
                    % (option, size, CPP_SPEEDUP_MACRO))
    for label, small, large, ratio, floor in lin_rows:
        result.append(("linear (%s): time per MB at 100 MB within %d%% of 10 MB"
                       % (label, LINEAR_TOLERANCE * 100), "%+.1f%%" % (100 * (ratio - 1)),
                       abs(ratio - 1) <= LINEAR_TOLERANCE))
    for label, small, large, ratio, floor in lin_rows:
        if floor is None:
            continue
        relative = ratio / floor
        result.append(("linear (%s) measured against the 2 KiB copy's own change from 10 to "
                       "100 MB: within %d%%" % (label, LINEAR_TOLERANCE * 100),
                       "%+.1f%%" % (100 * (relative - 1)), abs(relative - 1) <= LINEAR_TOLERANCE))
    tfpp_cases = [c for c in cases if c.tfpp]
    worst = max(tfpp_cases, key=lambda c: c.rss_kb)
    result.append(("peak RSS <= %d MB on every input" % (PEAK_RSS_KB // 1024),
                   "%.1f MB (%s)" % (worst.rss_kb / 1024, worst.input_name),
                   worst.rss_kb <= PEAK_RSS_KB))
    s = find(cases, "tfpp", "empty.F")
    if s:
        ms = timef(s) * 1000
        result.append(("start-up on an empty file <= %.0f ms" % STARTUP_MS, "%.2f ms" % ms,
                       ms <= STARTUP_MS))
    speedup("tfpp", "cpp -traditional-cpp", "chain_if.F", CHAIN_SPEEDUP,
            "50-deep macro chains on #if lines: >= %.0fx cpp -traditional-cpp" % CHAIN_SPEEDUP)
    speedup("tfpp -m", "cpp -traditional-cpp", "chain_src.F", CHAIN_SPEEDUP,
            "50-deep macro chains on source lines: >= %.0fx cpp -traditional-cpp"
            % CHAIN_SPEEDUP)
    speedup("tfpp", "cpp -traditional-cpp", "include_chain.F", INCLUDE_SPEEDUP,
            "40 000 inclusions: >= %.0fx cpp -traditional-cpp" % INCLUDE_SPEEDUP)
    bad = [c for c in cases if any(x != 0 for x in c.status)]
    result.append(("every run ends with status 0", "%d failed" % len(bad), not bad))
    if checksum_result is not None:
        result.append(("tfpp output identical to the saved digests", checksum_result[0],
                       checksum_result[1]))
    return result


def read_checksums(path):
    """The saved list: a '# inputs <digest>' line, then '<out> <err> <program> <input>' lines."""
    inputs, sums = None, {}
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("# inputs "):
                inputs = line[len("# inputs "):]
            elif line and not line.startswith("#"):
                out, err, key = line.split(" ", 2)
                sums[key] = "%s %s" % (out, err)
    return inputs, sums


def write_checksums(path, cases, inputs_digest):
    with open(path, "w") as f:
        f.write("# sha256 of tfpp's output and standard error per benchmark input "
                "(bench/run_bench.py --save-checksums)\n")
        f.write("# inputs %s\n" % inputs_digest)
        for c in cases:
            if c.tfpp and c.digest:
                f.write("%s %s\n" % (c.digest, c.key))


def compare_checksums(path, cases, inputs_digest):
    """Returns (summary, passed) and prints every difference."""
    saved_inputs, saved = read_checksums(path)
    if saved_inputs != inputs_digest:
        return ("not comparable: the inputs changed since %s was saved" % path, False)
    differ = 0
    compared = 0
    for c in cases:
        if not c.tfpp or c.key not in saved:
            continue
        compared += 1
        if saved[c.key] != c.digest:
            differ += 1
            print("output differs: %s\n  saved %s\n  now   %s" % (c.key, saved[c.key], c.digest))
    return ("%d of %d differ" % (differ, compared), differ == 0 and compared > 0)


# ---- Checking the inputs ----------------------------------------------------------------------
# Every input must go through every program with status 0 and no message (the message file
# draws exactly its redefinition warnings), and tfpp -m must produce the same tokens, line for
# line, as both peers: then the peers do the same work as tfpp and the comparison is fair.

def normalised_digest(path):
    """sha256 of the output without line markers, blank lines and white space; and the lines."""
    h = hashlib.sha256()
    count = 0
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b"#"):
                continue
            line = line.translate(None, b" \t\r\n")
            if line:
                h.update(line + b"\n")
                count += 1
    return h.hexdigest(), count


def check_one(argv):
    """Runs argv in the data folder; returns (status, standard error text)."""
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return done.returncode, done.stderr.decode("utf-8", "replace")


def check_inputs(build, names, log):
    """Returns the list of problems found (empty when every input is clean)."""
    p = programs(build)
    problems = []
    for name in names:
        messages = gen_inputs.MESSAGE_COUNT if name.startswith("msgs_") else 0
        results = {}
        for prog in ("tfpp", "tfpp -m", "cpp -traditional-cpp", "gfortran -cpp -E"):
            status, err = check_one(p[prog](name))
            if status != 0:
                problems.append("%s %s: status %d" % (prog, name, status))
            if prog.startswith("tfpp"):
                drawn = sum(1 for x in err.splitlines() if x.startswith("** "))
            else:
                drawn = err.count("redefined")
            extra = err if not messages else ""
            if drawn != messages or extra:
                problems.append("%s %s: %d messages, %d expected%s" % (
                    prog, name, drawn, messages, (": " + extra[:200]) if extra else ""))
            results[prog] = normalised_digest(OUT_NAME)
        want = results["cpp -traditional-cpp"]
        for prog in ("tfpp -m", "gfortran -cpp -E"):
            if results[prog] != want:
                problems.append("%s %s: output differs from cpp's (%d lines against %d)" % (
                    prog, name, results[prog][1], want[1]))
        if results["tfpp"][1] != want[1]:
            problems.append("tfpp %s: %d lines written, cpp %d" % (name, results["tfpp"][1],
                                                                    want[1]))
        print("checked %-16s %9d lines %s" % (name, want[1], "ok" if not problems else ""),
              file=log, flush=True)
    return problems


# ---- Instruction counts ------------------------------------------------------------------------
# Wall and CPU times on a shared machine move with the load; the number of instructions a run
# executes does not. Counted under valgrind (callgrind), about fifty times slower than a run.

INSTRUCTIONS_RE = re.compile(r"I\s+refs:\s+([\d,]+)")


def parse_instructions(valgrind_stderr):
    """The instruction count from callgrind's summary, or None."""
    m = INSTRUCTIONS_RE.search(valgrind_stderr)
    return int(m.group(1).replace(",", "")) if m else None


def count_instructions(argv):
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return parse_instructions(done.stderr.decode("utf-8", "replace"))


def instruction_report(build, sizes_bytes, log):
    """Instructions per MB at 10 and 100 MB for each tfpp mode, and for an empty file."""
    p = programs(build)
    lines = ["| tfpp mode | instructions per MB at 10 MB | at 100 MB | 100 MB / 10 MB | "
             "within %d%% |" % (LINEAR_TOLERANCE * 100), "|---|---:|---:|---:|---|"]
    for label, mode, stem in (("default", "tfpp", "mix"), ("-m, macro-heavy", "tfpp -m", "macro"),
                              ("90 messages", "tfpp", "msgs")):
        per_mb = []
        for size in (10, 100):
            name = "%s_%dmb.F" % (stem, size)
            print("counting the instructions of %s %s" % (mode, name), file=log, flush=True)
            count = count_instructions(p[mode](name))
            if count is None:
                sys.exit("run_bench: no instruction count from valgrind for %s" % name)
            per_mb.append(count / (sizes_bytes[name] / 1e6))
        ratio = per_mb[1] / per_mb[0]
        lines.append("| %s | %.1f M | %.1f M | %.3f | %s |" % (
            label, per_mb[0] / 1e6, per_mb[1] / 1e6, ratio,
            "pass" if abs(ratio - 1) <= LINEAR_TOLERANCE else "FAIL"))
    empty = count_instructions(p["tfpp"]("empty.F"))
    lines += ["", "Start-up on an empty file: %.2f M instructions." % (empty / 1e6)]
    return lines


def machine_load():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", default="build", help="the build folder (tfpp, bench/copy_floor)")
    ap.add_argument("--data", help="the input folder (default BUILD/bench-data)")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--sizes", default="1,10,100", help="sizes in MB of the mixed inputs")
    ap.add_argument("--save-checksums", metavar="FILE", help="write the digests of tfpp's outputs")
    ap.add_argument("--check-checksums", metavar="FILE",
                    help="compare the digests of tfpp's outputs with FILE (status 1 if they differ)")
    ap.add_argument("--markdown", metavar="FILE", help="also write the report to FILE")
    ap.add_argument("--instructions", action="store_true",
                    help="only count tfpp's instructions per MB at 10 and 100 MB under valgrind "
                         "(linearity independent of the machine's load; several minutes)")
    ap.add_argument("--check-inputs", action="store_true",
                    help="only check that every input goes cleanly through tfpp, cpp and gfortran "
                         "and that tfpp -m and the peers write the same tokens")
    args = ap.parse_args()

    for name in ("save_checksums", "check_checksums", "markdown"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    build = os.path.abspath(args.build)
    data = os.path.abspath(args.data or os.path.join(build, "bench-data"))
    sizes = tuple(int(x) for x in args.sizes.split(","))
    for tool in (os.path.join(build, "tfpp"), os.path.join(build, "bench", "copy_floor"),
                 os.path.join(build, "bench", "bench_spawn")):
        if not os.access(tool, os.X_OK):
            sys.exit("run_bench: %s is missing; build first (make)" % tool)
    gen_inputs.generate(data)  # every size, whatever --sizes selects, so the stamp stays valid
    inputs_digest = gen_inputs.inputs_digest(data)
    os.chdir(data)  # inputs are named relative to it, so tfpp's line markers never hold a path
    sizes_bytes = {name: os.path.getsize(name) for name in os.listdir(".") if name.endswith(".F")}

    if args.check_inputs:
        names = ["%s_%dmb.F" % (stem, size) for stem in ("mix", "macro", "msgs") for size in sizes
                 if "%s_%dmb.F" % (stem, size) in sizes_bytes] + gen_inputs.PATHOLOGICAL_FILES
        problems = check_inputs(build, names, sys.stderr)
        for problem in problems:
            print(problem)
        print("%d inputs checked, %d problems" % (len(names), len(problems)))
        sys.exit(1 if problems else 0)

    if args.instructions:
        text = "\n".join(instruction_report(build, sizes_bytes, sys.stderr)) + "\n"
        sys.stdout.write(text)
        if args.markdown:
            with open(args.markdown, "w") as f:
                f.write(text)
        sys.exit(0)

    cases = build_cases(build, sizes)
    load_before = machine_load()
    started = time.perf_counter()
    run_rounds(cases, args.rounds, os.path.join(build, "bench", "bench_spawn"), sys.stderr)
    elapsed = time.perf_counter() - started

    checksum_result = None
    if args.check_checksums:
        checksum_result = compare_checksums(args.check_checksums, cases, inputs_digest)

    report = ["## Benchmark: %d rounds in alternation, medians (%.0f s; load average %s before, %s after)"
              % (args.rounds, elapsed, load_before, machine_load()), ""]
    report += table(cases, sizes_bytes)
    lin = linearity(cases, sizes_bytes)
    if lin:
        lin_cpu = linearity(cases, sizes_bytes, cpu_median)
        lin_net = linearity(cases, sizes_bytes, net=True)
        report += ["", "| tfpp mode | s/MB at 10 MB | s/MB at 100 MB | 100 MB / 10 MB "
                   "| the same on CPU time | the same without the empty file's time "
                   "| the 2 KiB copy's 100 MB / 10 MB |",
                   "|---|---:|---:|---:|---:|---:|---:|"]
        report += ["| %s | %.2f ms | %.2f ms | %.3f | %.3f | %.3f | %s |"
                   % (label, a * 1000, b * 1000, r, cpu[3], n[3],
                      "%.3f" % f if f is not None else "-")
                   for (label, a, b, r, f), cpu, n in zip(lin, lin_cpu, lin_net)]
    # The verdicts are taken on wall times; the same targets on CPU times show what a busy
    # machine hides (a program waiting for a core is not slower).
    report += ["", "| target | measured | result | on CPU time |", "|---|---|---|---|"]
    verdicts = targets(cases, sizes_bytes, lin, checksum_result)
    on_cpu = targets(cases, sizes_bytes, linearity(cases, sizes_bytes, cpu_median),
                     checksum_result, cpu_median)
    for (label, value, ok), (_, cpu_value, cpu_ok) in zip(verdicts, on_cpu):
        cpu = "%s %s" % (cpu_value, "pass" if cpu_ok else "FAIL") if cpu_value != value else "-"
        report.append("| %s | %s | %s | %s |" % (label, value, "pass" if ok else "FAIL", cpu))
    report += ["", "sha256 of tfpp's output and standard error:", "```"]
    report += ["%s %s" % (c.digest, c.key) for c in cases if c.tfpp]
    report += ["```"]
    text = "\n".join(report) + "\n"
    sys.stdout.write(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    if args.save_checksums:
        write_checksums(args.save_checksums, cases, inputs_digest)
    if checksum_result is not None and not checksum_result[1]:
        sys.exit(1)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Checks of the benchmark's own tools: the input generator, the copy floor, the launcher and the
harness's verdicts. They run in a few seconds on small inputs; the benchmark itself is no test.

usage: bench_tools_test.py --tfpp build/tfpp --bench-bin build/bench [unittest options]
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))
import gen_inputs  # noqa: E402
import run_bench  # noqa: E402

ARGS = None
QUIET = open(os.devnull, "w")


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Generator(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.folder = os.path.join(cls.tmp.name, "a")
        gen_inputs.generate(cls.folder, sizes=(1,), log=QUIET)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_same_bytes_every_time(self):
        other = os.path.join(self.tmp.name, "b")
        gen_inputs.generate(other, sizes=(1,), log=QUIET)
        names = sorted(os.listdir(self.folder))
        self.assertEqual(names, sorted(os.listdir(other)))
        self.assertIn("mix_1mb.F", names)
        for name in names:
            self.assertEqual(read(os.path.join(self.folder, name)),
                             read(os.path.join(other, name)), name)

    def test_made_again_only_when_the_stamp_differs(self):
        folder = os.path.join(self.tmp.name, "c")
        gen_inputs.generate(folder, sizes=(1,), log=QUIET)
        path = os.path.join(folder, "mix_1mb.F")
        with open(path, "a") as f:
            f.write("marker\n")
        gen_inputs.generate(folder, sizes=(1,), log=QUIET)
        self.assertTrue(read(path).endswith(b"marker\n"), "a current folder is left alone")
        # The recorded digest names the bytes as generated; the edited file no longer matches.
        self.assertNotEqual(gen_inputs.content_digest(folder), gen_inputs.inputs_digest(folder))
        with open(os.path.join(folder, "STAMP"), "w") as f:
            f.write("an older generator\n")
        gen_inputs.generate(folder, sizes=(1,), log=QUIET)
        self.assertFalse(read(path).endswith(b"marker\n"), "a stale folder is made again")
        self.assertEqual(gen_inputs.content_digest(folder), gen_inputs.inputs_digest(folder))
        self.assertEqual(gen_inputs.inputs_digest(folder), gen_inputs.inputs_digest(self.folder))

    def shares(self, name):
        """Directive, function-like and object-like shares counted from the text itself."""
        lines = read(os.path.join(self.folder, name)).decode().splitlines()
        func = re.compile(r"\b(FMAX|FMIN|SQR|IDX|CAT|CLAMP)\(")
        obj = re.compile(r"\b(NPTS|LDIM|WP|EPSV|NPROC|BIGVAL)\b")
        code = [x for x in lines if not x.startswith("#")]
        return (100.0 * (len(lines) - len(code)) / len(lines),
                100.0 * sum(1 for x in code if func.search(x)) / len(lines),
                100.0 * sum(1 for x in code if obj.search(x)) / len(lines))

    def test_mix_of_the_ordinary_input(self):
        directives, func, obj = self.shares("mix_1mb.F")
        self.assertAlmostEqual(directives, 1.2, delta=0.3)
        self.assertAlmostEqual(func, 1.3, delta=0.3)
        self.assertAlmostEqual(obj, 0.7, delta=0.25)
        self.assertGreater(os.path.getsize(os.path.join(self.folder, "mix_1mb.F")), 1_000_000)

    def test_mix_of_the_macro_heavy_input(self):
        _, func, obj = self.shares("macro_1mb.F")
        self.assertAlmostEqual(func, 11, delta=1)
        self.assertAlmostEqual(obj, 8, delta=1)

    def test_every_kind_of_directive_and_include_appears(self):
        text = read(os.path.join(self.folder, "mix_1mb.F")).decode()
        for needle in ("#ifdef ", "#if defined(", "#elif ", "#else", "#endif", "#if 0",
                       "#define TMPM", "#undef TMPM", '#include "hdr_guard', '#include "hdr_plain',
                       '#include "hdr_nest', " // ", "''"):
            self.assertIn(needle, text)
        includes = text.count("#include")
        self.assertAlmostEqual(len(text.splitlines()) / includes, 500, delta=50)
        nest = read(os.path.join(self.folder, "hdr_nest0_2.h")).decode()
        self.assertIn('#include "hdr_nest0_3.h"', nest)

    def test_pathological_shapes(self):
        long_lines = read(os.path.join(self.folder, "long_lines.F")).split(b"\n")
        self.assertEqual(long_lines[-1], b"")
        self.assertEqual([len(x) for x in long_lines[:-1]], [60000] * 100)
        idents = set(re.findall(rb"\bID\d+", read(os.path.join(self.folder, "many_idents.F"))))
        self.assertEqual(len(idents), 100000)
        main = read(os.path.join(self.folder, "include_chain.F")).decode()
        self.assertEqual(main.count('#include "chain01.h"'), 2000)
        depth, name = 1, "chain01.h"
        while '#include' in read(os.path.join(self.folder, name)).decode():
            depth += 1
            name = "chain%02d.h" % depth
        self.assertEqual(depth, 20)
        for name, pattern in (("chain_if.F", r"^#if (OM49|FM49\(2\))"),
                              ("chain_src.F", r"^ .*(OM49|FM49\()")):
            text = read(os.path.join(self.folder, name)).decode()
            self.assertIn("#define OM49 OM48", text)
            self.assertIn("#define FM49(x) FM48(x)", text)
            self.assertEqual(len(re.findall(pattern, text, re.M)), 1000, name)

    def test_message_file_draws_exactly_its_messages(self):
        folder = os.path.join(self.tmp.name, "msgs")
        os.makedirs(folder)
        voc = gen_inputs.Vocabulary(gen_inputs.random.Random("v"))
        pool = gen_inputs.statement_pool(gen_inputs.random.Random("p"), voc, 500)
        gen_inputs.write_headers(folder, gen_inputs.random.Random("h"), voc)
        path = os.path.join(folder, "msgs_small.F")
        gen_inputs.write_mix(path, 300_000, gen_inputs.DEFAULT_MIX, "small", voc, pool,
                             messages=gen_inputs.MESSAGE_COUNT)
        self.assertEqual(read(path).count(b"#define MSGREDEF"), gen_inputs.MESSAGE_COUNT + 1)
        done = subprocess.run([ARGS.tfpp, "-nologo", "msgs_small.F", "out.f"], cwd=folder,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stderr.count(b"** warning"), gen_inputs.MESSAGE_COUNT)
        self.assertEqual(done.stderr.count(b"pernicious macro redefinition"),
                         gen_inputs.MESSAGE_COUNT)

    def test_tfpp_takes_every_input_cleanly(self):
        for name in ("mix_1mb.F", "macro_1mb.F", "long_lines.F", "many_idents.F", "chain_if.F",
                     "chain_src.F", "empty.F"):
            for mode in ([], ["-m"]):
                out = os.path.join(self.tmp.name, "out.f")
                done = subprocess.run([ARGS.tfpp, "-nologo"] + mode + [name, out],
                                      cwd=self.folder, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE)
                self.assertEqual((done.returncode, done.stderr), (0, b""), (name, mode))


class Tools(unittest.TestCase):
    def test_copy_floor_copies_every_byte(self):
        floor = os.path.join(ARGS.bench_bin, "copy_floor")
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "in")
            data = bytes(range(256)) * 700 + b"tail without newline"
            with open(src, "wb") as f:
                f.write(data)
            for chunk in ("1", "2048", "65536", "1000000"):
                dst = os.path.join(tmp, "out" + chunk)
                subprocess.run([floor, chunk, src, dst], check=True)
                self.assertEqual(read(dst), data, chunk)
            for bad in (["0", src, dst], ["2k", src, dst], [src, dst]):
                self.assertEqual(subprocess.run([floor] + bad, stderr=subprocess.DEVNULL)
                                 .returncode, 2, bad)
            self.assertEqual(subprocess.run([floor, "64", os.path.join(tmp, "none"), dst],
                                            stderr=subprocess.DEVNULL).returncode, 1)

    def test_launcher_reports_status_and_own_peak(self):
        spawn = os.path.join(ARGS.bench_bin, "bench_spawn")
        with tempfile.TemporaryDirectory() as tmp:
            err = os.path.join(tmp, "err")
            out = subprocess.run([spawn, "3", err, "sh", "-c", "echo oops >&2; exit 3"],
                                 stdout=subprocess.PIPE, text=True, check=True).stdout
            rows = [x.split() for x in out.splitlines()]
            self.assertEqual(len(rows), 3)
            self.assertTrue(all(r[2] == "3" for r in rows))
            self.assertEqual(read(err), b"oops\n")
            # The child's peak must be its own, not the large parent's: a shell stays far below
            # the few tens of megabytes of the Python process that starts the launcher.
            padding = b"x" * (64 << 20)  # noqa: F841 (makes this process large)
            out = subprocess.run([spawn, "1", err, "true"], stdout=subprocess.PIPE, text=True,
                                 check=True).stdout
            wall, cpu, status, rss = out.split()
            self.assertEqual(status, "0")
            self.assertLess(int(rss), 16 * 1024)
            self.assertGreater(float(wall), 0)
            out = subprocess.run([spawn, "1", err, "sh", "-c", "kill -TERM $$"],
                                 stdout=subprocess.PIPE, text=True, check=True).stdout
            self.assertEqual(out.split()[2], str(128 + 15))


def fake_case(program, input_name, seconds, group="g", rss=4000, tfpp=None):
    case = run_bench.Case(group, program, input_name, [],
                          tfpp=program.startswith("tfpp") if tfpp is None else tfpp)
    case.times = list(seconds)
    case.cpu = list(seconds)
    case.status = [0] * len(seconds)
    case.rss_kb = rss
    case.digest = "out-%s-%s err-%s" % (program.replace(" ", ""), input_name, input_name)
    return case


class Verdicts(unittest.TestCase):
    def cases(self, gfortran_100=6.1, floor_100=0.6, tfpp_100=(1.0, 1.2, 0.9), rss=4000):
        return [
            fake_case("tfpp", "mix_10mb.F", [0.1]),
            fake_case("tfpp", "mix_100mb.F", tfpp_100, rss=rss),
            fake_case("gfortran -cpp -E", "mix_100mb.F", [gfortran_100]),
            fake_case("copy 2 KiB", "mix_100mb.F", [floor_100]),
            fake_case("tfpp", "empty.F", [0.004, 0.006, 0.003]),
            fake_case("tfpp -m", "chain_src.F", [0.1]),
            fake_case("cpp -traditional-cpp", "chain_src.F", [0.29]),
        ]

    def verdicts(self, cases, checksum=None):
        """The verdicts by label, each label shortened to the words that tell it apart."""
        sizes = {"mix_10mb.F": 10_000_000, "mix_100mb.F": 100_000_000}
        lin = run_bench.linearity(cases, sizes)
        result = {}
        for label, value, ok in run_bench.targets(cases, sizes, lin, checksum):
            short = ("floor" if "copy floor" in label else "gfortran" if "gfortran" in label
                     else label.split(":")[0])
            self.assertNotIn(short, result)
            result[short] = (value, ok)
        return result

    def test_targets_pass_and_fail_at_their_thresholds(self):
        v = self.verdicts(self.cases())
        self.assertEqual(v["gfortran"], ("6.10x", True))  # against the median of 1.0, 1.2, 0.9
        self.assertTrue(v["linear (default)"][1])                      # 10 ms/MB both
        self.assertEqual(v["start-up on an empty file <= 5 ms"], ("4.00 ms", True))
        self.assertEqual(v["50-deep macro chains on source lines"], ("2.90x", False))
        self.assertEqual(v["floor"], ("1.67x", True))
        v = self.verdicts(self.cases(gfortran_100=3.4, floor_100=0.4, tfpp_100=(1.2,),
                                     rss=9000))
        self.assertEqual(v["gfortran"], ("2.83x", False))
        self.assertEqual(v["floor"], ("3.00x", False))
        self.assertEqual(v["linear (default)"], ("+20.0%", False))
        self.assertEqual(v["peak RSS <= 8 MB on every input"], ("8.8 MB (mix_100mb.F)", False))

    def test_cpu_times_give_their_own_verdicts(self):
        cases = self.cases()
        for case in cases:
            case.cpu = [t / 2 for t in case.times]
        cases[2].cpu = [0.5]  # gfortran used half a second of CPU, tfpp 0.5 of 1.0
        sizes = {"mix_10mb.F": 10_000_000, "mix_100mb.F": 100_000_000}
        lin = run_bench.linearity(cases, sizes, run_bench.cpu_median)
        got = {label: (value, ok) for label, value, ok in
               run_bench.targets(cases, sizes, lin, None, run_bench.cpu_median)}
        gfortran = [v for k, v in got.items() if "gfortran" in k]
        self.assertEqual(gfortran, [("1.00x", False)])
        self.assertIn(("2.00 ms", True), got.values())  # start-up: half of the 4 ms wall time

    def test_failed_run_and_checksum_fail_the_verdicts(self):
        cases = self.cases()
        cases[2].status[0] = 1
        v = self.verdicts(cases, ("1 of 3 differ", False))
        self.assertEqual(v["every run ends with status 0"], ("1 failed", False))
        self.assertEqual(v["tfpp output identical to the saved digests"], ("1 of 3 differ", False))

    def test_checksums_round_trip_and_catch_a_change(self):
        cases = [fake_case("tfpp", "a.F", [1]), fake_case("tfpp -m", "b.F", [1]),
                 fake_case("cpp -traditional-cpp", "a.F", [1])]
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "sums")
            run_bench.write_checksums(path, cases, "inputs-1")
            self.assertEqual(run_bench.compare_checksums(path, cases, "inputs-1"),
                             ("0 of 2 differ", True))
            cases[1].digest = "changed"
            with open(os.devnull, "w") as quiet:
                saved, sys.stdout = sys.stdout, quiet
                try:
                    result = run_bench.compare_checksums(path, cases, "inputs-1")
                finally:
                    sys.stdout = saved
            self.assertEqual(result, ("1 of 2 differ", False))
            summary, ok = run_bench.compare_checksums(path, cases, "inputs-2")
            self.assertFalse(ok)
            self.assertIn("inputs changed", summary)

    def test_instruction_count_read_from_the_valgrind_summary(self):
        summary = ("==533== Events    : Ir\n==533== Collected : 12335678492\n==533== \n"
                   "==533== I   refs:      12,335,678,492\n")
        self.assertEqual(run_bench.parse_instructions(summary), 12335678492)
        self.assertIsNone(run_bench.parse_instructions("valgrind: command not found\n"))

    def test_normalised_digest_ignores_markers_blanks_and_spacing(self):
        with tempfile.TemporaryDirectory() as tmp:
            a, b = os.path.join(tmp, "a"), os.path.join(tmp, "b")
            with open(a, "w") as f:
                f.write('# 1 "x.F"\n      X = max(A,B)\n\n      Y = 1\n')
            with open(b, "w") as f:
                f.write('# 0 "x.F"\n\n      X = max(A, B)\n# 4 "x.F"\n      Y = 1\n')
            self.assertEqual(run_bench.normalised_digest(a), run_bench.normalised_digest(b))
            with open(b, "a") as f:
                f.write("      Z = 2\n")
            self.assertNotEqual(run_bench.normalised_digest(a), run_bench.normalised_digest(b))


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--tfpp", required=True)
    ap.add_argument("--bench-bin", required=True, help="the folder holding copy_floor, bench_spawn")
    ARGS, rest = ap.parse_known_args()
    ARGS.tfpp = os.path.abspath(ARGS.tfpp)
    ARGS.bench_bin = os.path.abspath(ARGS.bench_bin)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()

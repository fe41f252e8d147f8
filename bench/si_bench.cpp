// Micro-benchmarks of the source streams: delivering a file byte by byte through the ring (LF and
// CR LF line ends), against a plain read loop that only counts lines, and the seeks to every
// line start that listing messages makes.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/run.h"
#include "fe/fe.h"
#include "si/si.h"

namespace {

std::string bench_file(bool crlf) {
    std::string path =
        (std::filesystem::temp_directory_path() / (crlf ? "si_bench_crlf.f" : "si_bench_lf.f"))
            .string();
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 20000; ++i) // about 1 MB of Fortran-like lines
        out << "      CALL SUBROUTINE_" << i << "(ARGUMENT_ONE, ARGUMENT_TWO, 3.0D0)"
            << (crlf ? "\r\n" : "\n");
    return path;
}

void BM_get_char(benchmark::State &state) {
    fe_initialize();
    std::string path = bench_file(state.range(0) != 0);
    StreamHandle h = STREAM_NULL;
    si_find_stream(path.c_str(), &h);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        si_open_stream(h);
        std::uint32_t sum = 0;
        for (int c; (c = si_get_char()) != SI_END_OF_STREAM;) sum += static_cast<std::uint32_t>(c);
        benchmark::DoNotOptimize(sum);
        bytes += static_cast<std::int64_t>(std::filesystem::file_size(path));
        si_close_stream();
    }
    state.SetBytesProcessed(bytes);
    fe_terminate();
    std::filesystem::remove(path);
}
BENCHMARK(BM_get_char)->Arg(0)->Arg(1)->ArgName("crlf");

// The floor: the same file through read(2) in 2048-byte blocks, counting lines.
void BM_plain_read_loop(benchmark::State &state) {
    std::string path = bench_file(false);
    std::int64_t bytes = 0;
    unsigned char block[2048];
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDONLY);
        std::uint32_t lines = 0, sum = 0;
        for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;) {
            for (ssize_t i = 0; i < n; ++i) {
                sum += block[i];
                lines += block[i] == '\n';
            }
            bytes += n;
        }
        ::close(fd);
        benchmark::DoNotOptimize(lines);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(bytes);
    std::filesystem::remove(path);
}
BENCHMARK(BM_plain_read_loop);

// Listing: a seek to column 1 of every 20th line, in order, as the sorted messages ask for.
void BM_seek_line_starts(benchmark::State &state) {
    fe_initialize();
    std::string path = bench_file(false);
    StreamHandle h = STREAM_NULL;
    si_find_stream(path.c_str(), &h);
    si_open_stream(h);
    for (auto _ : state) {
        for (std::uint32_t line = 1; line <= 20000; line += 20)
            benchmark::DoNotOptimize(si_seek(Position{line, 1, h}));
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    si_close_stream();
    fe_terminate();
    std::filesystem::remove(path);
}
BENCHMARK(BM_seek_line_starts);

} // namespace

// Lexer throughput: lexes a large generated Fortran file token by token and compares it with a
// plain read of the same file and with reading it byte by byte through the stream layer.
// Figures are in bytes per second of source text (`make bench`).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/run.h"
#include "fe/fe.h"
#include "lexer/lexer.h"
#include "si/si.h"

namespace {

// About 8 MB of fixed-form Fortran with directives, comments, numbers and strings.
const std::string &bench_file() {
    static std::string path;
    if (!path.empty()) return path;
    char name[] = "/tmp/tfpp_lexer_bench_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    path = name;
    std::string chunk;
    for (int i = 0; chunk.size() < (8u << 20); ++i) {
        std::string n = std::to_string(i);
        chunk += "      subroutine solve" + n +
                 "(a, b, n, alpha)\n"
                 "      implicit none\n"
                 "      integer n, i\n"
                 "      real*8 a(n), b(n), alpha\n"
                 "c     scale the vector and add a small term\n"
                 "#ifdef DEBUG_" +
                 n +
                 "\n"
                 "      print *, 'entering solve" +
                 n +
                 " with n = ', n\n"
                 "#endif\n"
                 "      do 10 i = 1, n\n"
                 "         a(i) = alpha * b(i) + 2.5d0 / dble(i) - 1.0e-3\n"
                 "     &        + 0.5 * (b(i) ** 2) // ' '\n"
                 "   10 continue\n"
                 "      if (n .gt. " +
                 n +
                 ") call report(\"too many\", n)\n"
                 "      return\n"
                 "      end\n\n";
    }
    if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) std::abort();
    close(fd);
    std::atexit([] { std::remove(bench_file().c_str()); });
    return path;
}

std::size_t file_size(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);
    return static_cast<std::size_t>(size);
}

void open_bench_stream() {
    StreamHandle handle{};
    if (si_find_stream(bench_file().c_str(), &handle) != 0 || si_open_stream(handle) != 0)
        std::abort();
}

// The floor: read(2) in 64 KiB blocks, touching every byte.
void BM_PlainRead(benchmark::State &state) {
    const std::string &path = bench_file();
    std::vector<unsigned char> buffer(64 << 10);
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY);
        unsigned sum = 0;
        ssize_t n;
        while ((n = read(fd, buffer.data(), buffer.size())) > 0)
            for (ssize_t i = 0; i < n; ++i) sum += buffer[i];
        close(fd);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_size(path)));
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond);

// Every byte through si_get_char: the stream layer's share of the lexer's cost.
void BM_StreamGetChar(benchmark::State &state) {
    fe_initialize();
    for (auto _ : state) {
        open_bench_stream();
        unsigned sum = 0;
        int c;
        while ((c = si_get_char()) != 3) sum += static_cast<unsigned>(c);
        si_close_stream();
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * file_size(bench_file())));
    fe_terminate();
}
BENCHMARK(BM_StreamGetChar)->Unit(benchmark::kMillisecond);

// The whole file through lex_token with main_lexer.
void BM_LexTokens(benchmark::State &state) {
    fe_initialize();
    lex_initialize();
    std::int64_t tokens = 0;
    for (auto _ : state) {
        open_bench_stream();
        TokenKind kind;
        Position position;
        do {
            lex_token(&kind, &position);
            ++tokens;
        } while (kind != TOKEN_END_OF_FILE);
        si_close_stream();
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * file_size(bench_file())));
    state.counters["tokens/s"] =
        benchmark::Counter(static_cast<double>(tokens), benchmark::Counter::kIsRate);
    lex_finalize();
    fe_terminate();
}
BENCHMARK(BM_LexTokens)->Unit(benchmark::kMillisecond);

} // namespace

// Scanning-loop throughput: preprocesses a large generated Fortran file (directive lines, comments,
// numbers, strings) from start to end with the output going to /dev/null, in bytes of source
// per second (`make bench`). Compare with BM_LexTokens for the loop's own share.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/options.h"
#include "driver/run.h"
#include "fe/fe.h"
#include "lexer/lexer.h"
#include "pp/pp.h"
#include "si/si.h"

namespace {

// About 8 MB of fixed-form Fortran; every subroutine has its own names and numbers.
const std::string &scan_bench_file() {
    static std::string path;
    if (!path.empty()) return path;
    char name[] = "/tmp/tfpp_scan_bench_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    path = name;
    std::string text;
    for (int i = 0; text.size() < (8u << 20); ++i) {
        std::string n = std::to_string(i);
        text += "      subroutine solve" + n +
                "(a, b, n, alpha)\n"
                "      integer n, i\n"
                "c     scale the vector and add a small term\n"
                "#define SCALE_" +
                n +
                " 2\n"
                "      do 10 i = 1, n\n"
                "         a(i) = alpha * b(i) + 2.5d0 / dble(i) - 1.0e-3 /* note */\n"
                "     &        + 0.5 * (b(i) ** 2) // ' '\n"
                "   10 continue\n"
                "      if (n .gt. " +
                n +
                ") call report(\"too many\", n)\n"
                "      end\n\n";
    }
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
    close(fd);
    std::atexit([] { std::remove(scan_bench_file().c_str()); });
    return path;
}

void BM_ScanLoop(benchmark::State &state) {
    const std::string &path = scan_bench_file();
    std::FILE *sink = std::fopen("/dev/null", "w");
    std::size_t size = 0;
    for (auto _ : state) {
        fe_initialize();
        lex_initialize();
        options_set_defaults();
        pp_initialize();
        StreamHandle handle{};
        if (si_find_stream(path.c_str(), &handle) != 0 || si_open_stream(handle) != 0) std::abort();
        pp_push_file(path.c_str());
        output_stream = sink;
        pp_output_init();
        CurrentToken token{};
        do {
            pp_scan_step(&token);
        } while (token.kind != TOKEN_END_OF_FILE);
        pp_check_open_groups();
        size = static_cast<std::size_t>(si_current_position().line); // keeps the loop honest
        si_close_stream();
        lex_finalize();
        fe_terminate();
    }
    benchmark::DoNotOptimize(size);
    std::FILE *f = std::fopen(path.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    long bytes = std::ftell(f);
    std::fclose(f);
    std::fclose(sink);
    output_stream = stdout;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytes);
}
BENCHMARK(BM_ScanLoop)->Unit(benchmark::kMillisecond);

} // namespace

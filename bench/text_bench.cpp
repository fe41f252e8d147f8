// Benchmarks of the text table on the per-token path: interning names that are already present
// (the common case), entering new ones, and lookups that miss.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/run.h"
#include "fe/fe.h"
#include "text/text.h"

namespace {

// Identifier-like names of 3 to 12 characters, in a fixed pseudo-random order.
std::vector<std::string> make_names(int count, const char *prefix) {
    std::vector<std::string> names;
    names.reserve(std::size_t(count));
    std::uint32_t seed = 12345;
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        char name[32];
        int tail = int(seed >> 16) % 1000;
        std::snprintf(name, sizeof name, "%s%.*s_%d", prefix, int(seed % 7), "abcdefg", tail + i);
        names.emplace_back(name);
    }
    return names;
}

// A hit: the names of a unit, interned once, then met again and again as tokens.
void BM_TextEnterPresent(benchmark::State &state) {
    fe_initialize();
    const auto names = make_names(int(state.range(0)), "v");
    for (const auto &n : names) text_enter(n.data(), std::uint32_t(n.size()));
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string &n = names[i];
        benchmark::DoNotOptimize(text_enter(n.data(), std::uint32_t(n.size())));
        if (++i == names.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    fe_terminate();
}
BENCHMARK(BM_TextEnterPresent)->Arg(500)->Arg(5000)->Arg(50000);

// Hits as source text has them: a few names very often, most rarely (the cube of a uniform
// draw picks the index), which is what move-to-front is for. Round robin above is its worst
// case.
void BM_TextEnterSkewed(benchmark::State &state) {
    fe_initialize();
    const auto names = make_names(int(state.range(0)), "v");
    for (const auto &n : names) text_enter(n.data(), std::uint32_t(n.size()));
    std::vector<std::uint32_t> order(1 << 16);
    std::uint32_t seed = 777;
    for (auto &o : order) {
        seed = seed * 1103515245u + 12345u;
        double u = double(seed >> 8) / double(1u << 24);
        o = std::uint32_t(u * u * u * double(names.size()));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string &n = names[order[i]];
        benchmark::DoNotOptimize(text_enter(n.data(), std::uint32_t(n.size())));
        i = (i + 1) & (order.size() - 1);
    }
    state.SetItemsProcessed(state.iterations());
    fe_terminate();
}
BENCHMARK(BM_TextEnterSkewed)->Arg(5000)->Arg(50000);

// New strings: the copy into the char pool and the growth of the arrays, cleared per round.
void BM_TextEnterNew(benchmark::State &state) {
    fe_initialize();
    const auto names = make_names(int(state.range(0)), "n");
    for (auto _ : state) {
        for (const auto &n : names)
            benchmark::DoNotOptimize(text_enter(n.data(), std::uint32_t(n.size())));
        state.PauseTiming();
        text_clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    fe_terminate();
}
BENCHMARK(BM_TextEnterNew)->Arg(5000);

// A miss walks the whole chain of its bucket.
void BM_TextFindAbsent(benchmark::State &state) {
    fe_initialize();
    for (const auto &n : make_names(int(state.range(0)), "v"))
        text_enter(n.data(), std::uint32_t(n.size()));
    const auto probes = make_names(1000, "absent");
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string &n = probes[i];
        benchmark::DoNotOptimize(text_find(n.data(), std::uint32_t(n.size())));
        if (++i == probes.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    fe_terminate();
}
BENCHMARK(BM_TextFindAbsent)->Arg(5000);

} // namespace

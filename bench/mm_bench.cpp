// Micro-benchmarks of the memory manager against the host heap: a request followed at once by
// its free (the steady state of token lists), and batches of requests freed afterwards, for
// f-blocks and v-blocks.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "mm/mm.h"

namespace {

constexpr int BATCH = 1000;

void BM_fblock_pair(benchmark::State &state) {
    mm_initialize();
    PoolId pool = mm_open_pool("bench f", 16, 8000, 0);
    void *keep = mm_get_fblock(pool); // keeps the chunk alive between iterations
    for (auto _ : state) {
        void *block = mm_get_fblock(pool);
        benchmark::DoNotOptimize(block);
        mm_free_fblock(pool, block);
    }
    mm_free_fblock(pool, keep);
    mm_close_pool(pool);
}
BENCHMARK(BM_fblock_pair);

void BM_vblock_pair(benchmark::State &state) {
    mm_initialize();
    PoolId pool = mm_open_pool("bench v", MM_VBLOCK, 8000, 0);
    void *keep = mm_get_vblock(pool, 16);
    std::size_t size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        void *block = mm_get_vblock(pool, size);
        benchmark::DoNotOptimize(block);
        mm_free_vblock(pool, block);
    }
    mm_free_vblock(pool, keep);
    mm_close_pool(pool);
}
BENCHMARK(BM_vblock_pair)->Arg(16)->Arg(100);

void BM_malloc_pair(benchmark::State &state) {
    std::size_t size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        void *block = std::malloc(size);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}
BENCHMARK(BM_malloc_pair)->Arg(16)->Arg(100);

void BM_fblock_batch(benchmark::State &state) {
    mm_initialize();
    PoolId pool = mm_open_pool("bench f", 16, 8000, 0);
    std::vector<void *> blocks(BATCH);
    for (auto _ : state) {
        for (void *&block : blocks) block = mm_get_fblock(pool);
        benchmark::DoNotOptimize(blocks.data());
        for (void *block : blocks) mm_free_fblock(pool, block);
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
    mm_close_pool(pool);
}
BENCHMARK(BM_fblock_batch);

// Frees in the order of the requests (oldest first) and in reverse, which for v-blocks decides
// whether blocks go back to the frontier or on the free lists.
void BM_vblock_batch(benchmark::State &state) {
    mm_initialize();
    PoolId pool = mm_open_pool("bench v", MM_VBLOCK, 8000, 0);
    std::size_t size = static_cast<std::size_t>(state.range(0));
    bool reverse = state.range(1) != 0;
    std::vector<void *> blocks(BATCH);
    for (auto _ : state) {
        for (void *&block : blocks) block = mm_get_vblock(pool, size);
        benchmark::DoNotOptimize(blocks.data());
        if (reverse)
            for (int i = BATCH - 1; i >= 0; --i) mm_free_vblock(pool, blocks[i]);
        else
            for (void *block : blocks) mm_free_vblock(pool, block);
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
    mm_close_pool(pool);
}
BENCHMARK(BM_vblock_batch)->Args({16, 0})->Args({16, 1})->Args({100, 0})->Args({100, 1});

void BM_malloc_batch(benchmark::State &state) {
    std::size_t size = static_cast<std::size_t>(state.range(0));
    std::vector<void *> blocks(BATCH);
    for (auto _ : state) {
        for (void *&block : blocks) block = std::malloc(size);
        benchmark::DoNotOptimize(blocks.data());
        for (void *block : blocks) std::free(block);
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
}
BENCHMARK(BM_malloc_batch)->Arg(16)->Arg(100);

} // namespace

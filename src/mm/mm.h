// The memory manager: named pools of fixed-size blocks (f-blocks) and variable-size blocks
// (v-blocks) carved from host-heap chunks, with free lists, chunk release and strict checks.
// Every misuse ends the run through the fatal exit with a message naming the operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/types.h"

// Block size passed to mm_open_pool to ask for a v-block pool.
inline constexpr std::uint32_t MM_VBLOCK = 0x7FFFFFFF;
// Chunk size passed to mm_open_pool to ask for the default (1024).
inline constexpr std::uint32_t MM_DEFAULT_CHUNK = 0x7FFFFFFF;
// Options of mm_open_pool.
inline constexpr std::uint32_t MM_SUPPRESS_HEADER = 8; // v-block pool without size headers
inline constexpr std::uint32_t MM_SYSTEM_POOL = 32;    // manager's own pools, before initialisation

// Opens the manager's own pools and the general pool "MM I-BLOCKS"; a second call does nothing.
void mm_initialize();

// The general pool of the toolkit ("MM I-BLOCKS"): strings, buffers, message records, tables.
PoolId mm_general_pool();

// Opens a pool. block_size MM_VBLOCK asks for v-blocks; chunk_size MM_DEFAULT_CHUNK for 1024.
PoolId mm_open_pool(const char *name, std::uint32_t block_size, std::uint32_t chunk_size,
                    std::uint32_t options);
// Frees every chunk, unlinks the pool and frees its descriptor.
void mm_close_pool(PoolId pool);
// Frees every chunk and forgets the free lists; the pool stays open and empty.
void mm_free_pool(PoolId pool);

void *mm_get_fblock(PoolId pool);
void mm_free_fblock(PoolId pool, void *block); // a null block is ignored

void *mm_get_vblock(PoolId pool, std::size_t size);  // size 0 gives nullptr; 8-byte aligned
void *mm_get_cvblock(PoolId pool, std::size_t size); // zero-filled
// Moves a header v-block to a new block of `size` bytes, copying what fits; null acts as get.
void *mm_adjust_vblock(PoolId pool, void *block, std::size_t size);
void mm_free_vblock(PoolId pool, void *block); // a null block is ignored

// A host-heap allocation that ends the run with "out of memory" when the heap is exhausted.
void *mm_malloc(std::size_t size);

// Counters kept for reports and tests.
struct MmStatistics {
    std::uint32_t open_pools;
    std::uint32_t chunks_freed;        // chunks released automatically
    std::uint64_t chunk_bytes_freed;   // their data sizes
    std::uint32_t chunk_underflows;
};
MmStatistics mm_statistics();

// What a pool holds now, for tests and diagnostics.
struct MmPoolInfo {
    std::uint32_t chunks;      // chunks on the pool's chunk list
    std::uint32_t free_blocks; // blocks on the pool's free lists
    std::uint32_t block_size;  // f-block pools: the rounded block size; 0 for v-block pools
};
MmPoolInfo mm_pool_info(PoolId pool);

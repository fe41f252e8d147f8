// The memory manager: named pools of fixed-size blocks (f-blocks) and variable-size blocks
// (v-blocks) carved from host-heap chunks, with free lists, chunk release and strict checks.
// Every misuse ends the run through the fatal exit with a message naming the operation.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "common/types.h"

// Block size passed to mm_open_pool to ask for a v-block pool.
inline constexpr std::uint32_t MM_VBLOCK = 0x7FFFFFFF;
// Chunk size passed to mm_open_pool to ask for the default (1024).
inline constexpr std::uint32_t MM_DEFAULT_CHUNK = 0x7FFFFFFF;
// Options of mm_open_pool.
inline constexpr std::uint32_t MM_SUPPRESS_HEADER = 8; // v-block pool without size headers
inline constexpr std::uint32_t MM_SYSTEM_POOL = 32;    // manager's own pools, before initialisation
// An f-block pool whose only chunk has no block in use keeps it for the next blocks instead of
// giving it back to the host heap: for pools filled and emptied over and over.
inline constexpr std::uint32_t MM_KEEP_CHUNK = 64;

// Opens the manager's own pools and the general pool "MM I-BLOCKS"; a second call does nothing.
void mm_initialize();

// Closes every pool still open, the manager's own last, and forgets them all, so that
// mm_initialize starts afresh. For harnesses that run the program many times in one process;
// every PoolId and block handed out before is invalid afterwards.
void mm_finalize();

// The general pool of the toolkit ("MM I-BLOCKS"): strings, buffers, message records, tables.
PoolId mm_general_pool();

// Opens a pool. block_size MM_VBLOCK asks for v-blocks; chunk_size MM_DEFAULT_CHUNK for 1024.
PoolId mm_open_pool(const char *name, std::uint32_t block_size, std::uint32_t chunk_size,
                    std::uint32_t options);
// Frees every chunk, unlinks the pool and frees its descriptor.
void mm_close_pool(PoolId pool);
// Frees every chunk and forgets the free lists; the pool stays open and empty.
void mm_free_pool(PoolId pool);
// Forgets every block and the free lists like mm_free_pool, but an f-block pool keeps its newest
// chunk for the next blocks: a pool emptied after every short use does not go back to the host
// heap each time. A v-block pool is emptied as by mm_free_pool.
void mm_empty_pool(PoolId pool);

// A block of the f-block pool's size, 8-byte aligned; the last block freed is reused first.
void *mm_get_fblock(PoolId pool);
// Returns an f-block to its pool (a null block is ignored); a chunk whose blocks are all free
// goes back to the host heap. A block not handed out by the pool ends the run.
void mm_free_fblock(PoolId pool, void *block);

// A block of at least `size` bytes from a v-block pool, 8-byte aligned; size 0 gives nullptr.
void *mm_get_vblock(PoolId pool, std::size_t size);
void *mm_get_cvblock(PoolId pool, std::size_t size); // the same, zero-filled
// Moves a header v-block to a new block of `size` bytes, copying what fits, and frees the old
// one; the block always moves. A null block acts as mm_get_vblock.
void *mm_adjust_vblock(PoolId pool, void *block, std::size_t size);
// Returns a v-block of a header pool (a null block is ignored); pools opened with
// MM_SUPPRESS_HEADER cannot free blocks one by one.
void mm_free_vblock(PoolId pool, void *block);

// A host-heap allocation that ends the run with "out of memory" when the heap is exhausted.
void *mm_malloc(std::size_t size);

// Counters kept for reports and tests.
struct MmStatistics {
    std::uint32_t open_pools;
    std::uint32_t chunks_freed;      // chunks released automatically
    std::uint64_t chunk_bytes_freed; // their data sizes
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

// ---- Checks and error reports ---------------------------------------------------------------

// The numbered faults of mm_errors.def: MM_ERR_OUT_OF_MEMORY (1) .. MM_ERR_VBLOCK_HEADER_CORRUPTED.
enum MmErrorCode : int {
#define MM_ERROR(code, ident, text) ident = code,
#include "mm/mm_errors.def"
#undef MM_ERROR
};

// One argument of an error report, taken in template order: a string for %s, an address for
// %A, a pool for %P, a size for %S, a number for %d.
struct MmErrorArg {
    std::uint64_t value; // the address or number
    const char *text;    // the string of %s; nullptr prints "NULL STRING"
    MmErrorArg(std::nullptr_t) : value(0), text(nullptr) {}
    MmErrorArg(const char *s) : value(reinterpret_cast<std::uintptr_t>(s)), text(s) {}
    MmErrorArg(const void *p) : value(reinterpret_cast<std::uintptr_t>(p)), text(nullptr) {}
    template <std::integral T>
    MmErrorArg(T v) : value(static_cast<std::uint64_t>(v)), text(nullptr) {}
};

// Size of the area a report is formatted into; the text itself keeps at most 195 characters
// and is cut with "..." beyond that.
inline constexpr std::size_t MM_ERROR_AREA_SIZE = 200;

// The template of error `code`, "Unknown error" for a code outside the table.
const char *mm_error_template(int code);
// Formats `templ` with `args` into `area` (MM_ERROR_AREA_SIZE bytes), as a report shows it.
void mm_format_template(char *area, const char *templ, std::initializer_list<MmErrorArg> args);
// Reports error `code` through fe_message (identifier "MM"; severity 5 for code 1, else 6) and
// ends the run through fe_fatal_exit.
[[noreturn]] void mm_error(int code, std::initializer_list<MmErrorArg> args = {});

// Verifies the free lists of a header v-block pool against a block being freed (`header` is the
// block's header address): a free block at that address is code 12, one containing it code 21.
void mm_check_vfreelist_for(PoolId pool, const void *header, std::size_t size);
// Empties both free lists of a v-block pool and sets its free count to 0.
void mm_forget_free_lists(PoolId pool);

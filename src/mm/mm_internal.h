// The records shared by the two files of the memory manager: the pool descriptor, the chunk
// header, the free-block records kept inside freed memory, and the block lookups and checks
// that mm_check.cpp provides to mm.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mm/mm.h"

// The build defines TFPP_POOL_POISONING with the sanitizers: the manager's own files are built
// without address instrumentation, so the compiler's own signs of ASan are absent there.
#ifdef TFPP_POOL_POISONING
#define MM_ASAN 1
#endif
#ifdef MM_ASAN
#include <sanitizer/asan_interface.h>
#endif

// In AddressSanitizer builds the pools tell it which bytes are handed out: free blocks and the
// uncarved space of chunks are poisoned, so a use after mm_free_* or past a block's end is
// caught like one on the host heap. The two files of the manager are built without address
// instrumentation, so that they may read the free records kept inside poisoned blocks.
inline void mm_poison(std::uintptr_t start, std::size_t size) {
#ifdef MM_ASAN
    __asan_poison_memory_region(reinterpret_cast<const void *>(start), size);
#else
    (void)start;
    (void)size;
#endif
}
inline void mm_unpoison(std::uintptr_t start, std::size_t size) {
#ifdef MM_ASAN
    __asan_unpoison_memory_region(reinterpret_cast<const void *>(start), size);
#else
    (void)start;
    (void)size;
#endif
}

// Pool kinds; any other value in a descriptor marks it unknown, closed or corrupted.
enum MmPoolKind : std::uint16_t {
    MM_KIND_CLOSED = 0,
    MM_KIND_FBLOCK = 600,
    MM_KIND_VBLOCK_BARE = 601, // v-blocks without size headers: obtained, never freed one by one
    MM_KIND_VBLOCK = 602,      // v-blocks with size headers
};

inline constexpr std::uintptr_t MM_NO_ADDRESS = ~std::uintptr_t{0}; // frontier of a chunkless pool
inline constexpr std::uintptr_t MM_ALIGN = 8;           // every block starts on this modulus
inline constexpr unsigned char MM_END_MARK = 0xA5;      // the byte at every chunk bound
inline constexpr std::size_t MM_FIRST_CHUNK = 256;      // data bytes of a pool's first chunk
inline constexpr std::uint32_t MM_CHUNK_DEFAULT = 1024; // chunk size when the caller asks for it
inline constexpr std::size_t MM_FREE_LIMIT = 65536;     // blocks this large never go on a list
inline constexpr std::uint32_t MM_CHECK_LEVEL = 2;      // "DEVELOPMENT": free-list walks on free

// A chunk: one host-heap allocation holding this header, the data area and the end mark.
struct MmChunk {
    MmChunk *next;        // the next older chunk of the pool
    std::uintptr_t bound; // just past the data area; the byte there holds MM_END_MARK
    std::uint32_t blocks; // blocks of this chunk handed out now; the chunk goes at 0
};

// Header bytes before a v-block of a header pool: the requested size, with MM_LIVE_MARK in its
// top byte while the block is handed out. Eight bytes, so that the free record written over a
// freed block (which starts at its header) stays pointer-aligned.
struct MmBlockHeader {
    std::size_t size;
};
inline constexpr std::size_t MM_HEADER_SIZE = sizeof(MmBlockHeader);
// Requests stay below 2^56, and a free record's link (a user-space address or null) has a zero
// top byte, so a header with this top byte belongs to a block in use: freeing it needs no walk
// of the free lists. The mark is cleared when the block is freed.
inline constexpr std::size_t MM_LIVE_MARK = std::size_t{0xA5} << 56;
inline constexpr std::size_t MM_MARK_MASK = std::size_t{0xFF} << 56;

// A freed f-block, kept inside the block.
struct MmFreeFBlock {
    MmFreeFBlock *next;
    MmChunk *chunk; // the chunk holding the block
};

// A freed v-block, kept inside the block from its header on (header pools). A block filed
// straight into its size class only has room for `next` and `chunk`; `size` is then unused.
struct MmFreeVBlock {
    MmFreeVBlock *next;
    MmChunk *chunk;
    std::uint32_t size; // bytes usable after the header; below MM_FREE_LIMIT
};

// One size of the sorted v-block free list: a block of "MM SORTED VBLOCK FREELIST".
struct MmSizeClass {
    MmSizeClass *next;   // the next larger size
    MmFreeVBlock *first; // free blocks of exactly this size, chained through `next`
    std::uint32_t size;
};

// Smallest free extents (header included) that can hold each kind of record.
inline constexpr std::size_t MM_VRECORD = sizeof(MmFreeVBlock);
inline constexpr std::size_t MM_CLASS_RECORD = offsetof(MmFreeVBlock, size);

// The pool descriptor that a PoolId points at.
struct MmPool {
    std::uint16_t kind;            // MmPoolKind
    std::uint8_t header;           // 1 for MM_KIND_VBLOCK
    std::uint8_t system;           // descriptor and name come from the host heap
    std::uint8_t keep_chunk;       // MM_KEEP_CHUNK: an emptied only chunk stays (f-blocks)
    std::uintptr_t frontier;       // lowest byte handed out in the newest chunk
    std::uintptr_t frontier_bound; // first data byte of the newest chunk
    std::uint32_t block_size;      // f-block pools: multiple of 8, at least an MmFreeFBlock
    MmSizeClass *classes;          // v-block pools: size classes, increasing
    MmFreeFBlock *free_fblocks;    // f-block pools: last freed first
    MmFreeVBlock *unsorted;        // v-block pools: freed blocks not yet filed by size
    std::size_t largest_request;   // v-block pools: larger header sizes are corrupt
    std::uint32_t free_count;      // entries on the pool's free lists
    MmChunk *newest;               // chunk list, newest first
    std::uint32_t chunk_size;      // data bytes of later chunks
    MmPool *next;                  // list of open pools, newest first
    MmPool *prev;
    char *name; // owned copy
};

inline std::uintptr_t mm_data_start(const MmChunk *chunk) {
    return reinterpret_cast<std::uintptr_t>(chunk) + sizeof(MmChunk);
}

inline std::size_t mm_header_size(const MmPool *pool) { return pool->header * MM_HEADER_SIZE; }

// ---- In mm_check.cpp ---------------------------------------------------------------------

// The chunk of `pool` whose data area holds `start` (a block, or its header in header pools).
// Checks every end mark passed (code 20); a block below the frontier of the newest chunk is
// code 11, one in no chunk code 10; `block` and `op` name them in the report.
MmChunk *mm_find_chunk(PoolId pool, std::uintptr_t start, const void *block, const char *op);

// Walks the f-block free list: `block` on it is code 12; a list longer than the free count is
// circular (code 24).
void mm_check_ffreelist_for(PoolId pool, const void *block);

// Reports the code that fits a pool whose kind does not suit operation `op`: 3 for an unknown
// or null pool, else 4 (f-blocks wanted), 6 (kind 601 where headers are needed) or 5.
[[noreturn]] void mm_kind_error(PoolId pool, const char *op, MmPoolKind wanted);

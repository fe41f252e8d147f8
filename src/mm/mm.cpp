// This file implements the memory manager's pools: opening and closing them, carving f-blocks
// and v-blocks from the top of host-heap chunks, the free lists (last freed first for f-blocks;
// size classes and an unsorted list with best fit for v-blocks) and the release of a chunk once
// none of its blocks is in use.
#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "mm/mm_internal.h"

namespace {

struct MemoryState {
    bool initialized = false;
    MmPool *pools = nullptr;        // open pools, newest first
    MmPool *misc = nullptr;         // "MM INTERNAL MISC": descriptors and names of other pools
    MmPool *size_classes = nullptr; // "MM SORTED VBLOCK FREELIST": MmSizeClass nodes
    MmPool *general = nullptr;      // "MM I-BLOCKS"
    MmStatistics statistics{};
};

MemoryState mm;

// Above this a request is refused before any arithmetic on it can wrap.
constexpr std::size_t MAX_REQUEST = std::size_t{1} << 56;
// Bytes a chunk allocation adds to its data area: the header, the end mark and slack that keeps
// the allocation a multiple of the alignment.
constexpr std::size_t CHUNK_OVERHEAD = sizeof(MmChunk) + MM_ALIGN;

static_assert(sizeof(MmChunk) % MM_ALIGN == 0, "chunk data starts aligned");
static_assert(MM_HEADER_SIZE % MM_ALIGN == 0, "blocks after a header stay aligned");
static_assert(MM_CLASS_RECORD == 16 && MM_VRECORD == 24, "free records as documented");

constexpr std::uintptr_t align_down(std::uintptr_t a) { return a & ~(MM_ALIGN - 1); }
constexpr std::size_t align_up(std::size_t n) { return (n + MM_ALIGN - 1) & ~(MM_ALIGN - 1); }

void *as_pointer(std::uintptr_t a) { return reinterpret_cast<void *>(a); }

void link_pool(MmPool *pool) {
    pool->prev = nullptr;
    pool->next = mm.pools;
    if (mm.pools != nullptr) mm.pools->prev = pool;
    mm.pools = pool;
    ++mm.statistics.open_pools;
}

void unlink_pool(MmPool *pool) {
    if (pool->prev != nullptr)
        pool->prev->next = pool->next;
    else if (mm.pools != pool)
        mm_error(MM_ERR_POOL_CORRUPTED, {pool, pool});
    else
        mm.pools = pool->next;
    if (pool->next != nullptr) pool->next->prev = pool->prev;
    --mm.statistics.open_pools;
}

// ---- Chunks -------------------------------------------------------------------------------

// Data bytes of the next chunk of `pool` for a block that needs `need` bytes (header included).
// A pool's first chunk is small, so that pools that are hardly used cost little.
std::size_t chunk_data_size(const MmPool *pool, std::size_t need) {
    if (pool->kind == MM_KIND_FBLOCK) {
        if (pool->newest != nullptr) return pool->chunk_size;
        std::size_t blocks = std::max<std::size_t>(1, MM_FIRST_CHUNK / pool->block_size);
        return blocks * pool->block_size;
    }
    std::size_t base = pool->newest == nullptr ? MM_FIRST_CHUNK : pool->chunk_size;
    return std::max(base, need);
}

// Makes a new newest chunk for a block needing `need` bytes and sets the frontier at its top.
void new_chunk(MmPool *pool, std::size_t need) {
    std::size_t data = chunk_data_size(pool, need);
    std::size_t request = data + CHUNK_OVERHEAD;
    void *memory = mm_malloc(request);
    // f-block carving subtracts the block size from the frontier; a chunk that low in the
    // address space would wrap, so it is exchanged for another.
    if (pool->kind == MM_KIND_FBLOCK &&
        reinterpret_cast<std::uintptr_t>(memory) <= pool->block_size) {
        void *second = mm_malloc(request);
        std::free(memory);
        memory = second;
        ++mm.statistics.chunk_underflows;
    }
    auto *chunk = static_cast<MmChunk *>(memory);
    chunk->next = pool->newest;
    chunk->blocks = 0;
    pool->newest = chunk;
    std::uintptr_t start = mm_data_start(chunk);
    std::uintptr_t top = start + data;
    if (pool->kind == MM_KIND_FBLOCK) top = align_down(top);
    pool->frontier_bound = start;
    pool->frontier = top;
    chunk->bound = top;
    *reinterpret_cast<unsigned char *>(top) = MM_END_MARK;
    mm_poison(start, top - start);
}

// Returns a chunk none of whose blocks is in use to the host heap. Its free-list entries must
// have been taken off already.
void release_chunk(MmPool *pool, MmChunk *chunk) {
    ++mm.statistics.chunks_freed;
    mm.statistics.chunk_bytes_freed += chunk->bound - mm_data_start(chunk);
    MmChunk **link = &pool->newest;
    while (*link != chunk) {
        assert(*link != nullptr && "a released chunk is on its pool's list");
        link = &(*link)->next;
    }
    *link = chunk->next;
    if (link == &pool->newest) {
        // Nothing more is carved from the older chunk: its free space is on the free lists.
        if (pool->newest != nullptr)
            pool->frontier = pool->frontier_bound = mm_data_start(pool->newest);
        else
            pool->frontier = pool->frontier_bound = MM_NO_ADDRESS;
    }
    std::free(chunk);
}

bool in_chunk(std::uintptr_t address, const MmChunk *chunk) {
    return address >= mm_data_start(chunk) && address < chunk->bound;
}

// ---- Size classes -------------------------------------------------------------------------

// Files a free v-block into the class of `size`, making the class when it is missing. The
// block's chunk is already recorded in it; the free count is the caller's business.
void file_into_class(MmPool *pool, MmFreeVBlock *block, std::uint32_t size) {
    MmSizeClass **link = &pool->classes;
    while (*link != nullptr && (*link)->size < size) link = &(*link)->next;
    MmSizeClass *size_class = *link;
    if (size_class == nullptr || size_class->size != size) {
        size_class = static_cast<MmSizeClass *>(mm_get_fblock(mm.size_classes));
        size_class->size = size;
        size_class->first = nullptr;
        size_class->next = *link;
        *link = size_class;
    }
    block->next = size_class->first;
    size_class->first = block;
}

// Takes the first block of the class at `*link`, dropping the class once it is empty.
MmFreeVBlock *take_from_class(MmPool *pool, MmSizeClass **link) {
    MmSizeClass *size_class = *link;
    MmFreeVBlock *block = size_class->first;
    size_class->first = block->next;
    if (size_class->first == nullptr) {
        *link = size_class->next;
        mm_free_fblock(mm.size_classes, size_class);
    }
    --pool->free_count;
    return block;
}

// Puts free memory at `start` (its header, in header pools) with `size` usable bytes on the
// free lists of `pool`, without touching any block count. What cannot hold a free record is
// dropped; it comes back with its chunk.
void file_free_block(MmPool *pool, std::uintptr_t start, std::size_t size, MmChunk *chunk) {
    if (size >= MM_FREE_LIMIT) return;
    std::size_t extent = size + mm_header_size(pool);
    auto *block = static_cast<MmFreeVBlock *>(as_pointer(start));
    if (extent >= MM_VRECORD) {
        block->next = pool->unsorted;
        block->chunk = chunk;
        block->size = static_cast<std::uint32_t>(size);
        pool->unsorted = block;
    } else if (extent >= MM_CLASS_RECORD) {
        // Too small for the size field: its class records the size.
        block->chunk = chunk;
        file_into_class(pool, block, static_cast<std::uint32_t>(size));
    } else {
        return;
    }
    ++pool->free_count;
}

// Finds a free block for `n` bytes: an exact size first, then after filing the unsorted list,
// the best fit with the part below the new block put back. Returns the header address (block
// address without headers) and its chunk, or 0.
std::uintptr_t search_free_lists(MmPool *pool, std::size_t n, MmChunk **chunk) {
    if (n >= MM_FREE_LIMIT) return 0;
    MmSizeClass **link = &pool->classes;
    for (; *link != nullptr && (*link)->size <= n; link = &(*link)->next) {
        if ((*link)->size == n) {
            MmFreeVBlock *block = take_from_class(pool, link);
            *chunk = block->chunk;
            return reinterpret_cast<std::uintptr_t>(block);
        }
    }
    while (pool->unsorted != nullptr) {
        MmFreeVBlock *block = pool->unsorted;
        pool->unsorted = block->next;
        if (block->size == n) {
            --pool->free_count;
            *chunk = block->chunk;
            return reinterpret_cast<std::uintptr_t>(block);
        }
        file_into_class(pool, block, block->size);
    }
    link = &pool->classes;
    while (*link != nullptr && (*link)->size < n) link = &(*link)->next;
    if (*link == nullptr) return 0;
    std::size_t header = mm_header_size(pool);
    auto free_start = reinterpret_cast<std::uintptr_t>((*link)->first);
    std::uintptr_t free_end = free_start + header + (*link)->size;
    // The new block ends flush with the top of the free block; the rest stays free below it.
    std::uintptr_t start = align_down(free_end - n - header);
    if (start < free_start) return 0;
    MmFreeVBlock *block = take_from_class(pool, link);
    *chunk = block->chunk;
    if (start - free_start >= header)
        file_free_block(pool, free_start, start - free_start - header, *chunk);
    return start;
}

// Puts the part of the newest chunk that was never carved on the free lists, before a newer
// chunk takes its place.
void keep_chunk_rest(MmPool *pool) {
    std::size_t header = mm_header_size(pool);
    std::uintptr_t start = align_down(pool->frontier_bound + header + MM_ALIGN - 1) - header;
    if (pool->frontier > start && pool->frontier - start > header)
        file_free_block(pool, start, pool->frontier - start - header, pool->newest);
}

// Takes every free-list entry of `chunk` off the v-block lists before the chunk goes.
void unlist_vchunk(MmPool *pool, MmChunk *chunk) {
    auto unlist = [&](MmFreeVBlock **link) {
        while (*link != nullptr) {
            MmFreeVBlock *entry = *link;
            if (!in_chunk(reinterpret_cast<std::uintptr_t>(entry), chunk)) {
                link = &entry->next;
                continue;
            }
            if (entry->chunk != chunk) {
                mm_forget_free_lists(pool);
                mm_error(MM_ERR_FFREELIST_CORRUPTED, {pool, entry});
            }
            *link = entry->next;
            --pool->free_count;
        }
    };
    unlist(&pool->unsorted);
    MmSizeClass **link = &pool->classes;
    while (*link != nullptr) {
        MmSizeClass *size_class = *link;
        unlist(&size_class->first);
        if (size_class->first == nullptr) {
            *link = size_class->next;
            mm_free_fblock(mm.size_classes, size_class);
        } else {
            link = &size_class->next;
        }
    }
}

void unlist_fchunk(MmPool *pool, MmChunk *chunk) {
    MmFreeFBlock **link = &pool->free_fblocks;
    while (*link != nullptr) {
        MmFreeFBlock *entry = *link;
        if (!in_chunk(reinterpret_cast<std::uintptr_t>(entry), chunk)) {
            link = &entry->next;
            continue;
        }
        if (entry->chunk != chunk) mm_error(MM_ERR_FFREELIST_CORRUPTED, {pool, entry});
        *link = entry->next;
        --pool->free_count;
    }
}

// Frees every chunk of a pool and forgets its free lists (mm_free_pool, mm_close_pool). With
// `keep_newest` the newest chunk stays, emptied, for the next blocks (mm_empty_pool).
void free_all_chunks(MmPool *pool, bool keep_newest = false) {
    if (pool->kind != MM_KIND_FBLOCK) {
        std::uint32_t classes = 0;
        std::uint32_t previous_size = 0;
        for (MmSizeClass *size_class = pool->classes; size_class != nullptr;) {
            MmSizeClass *next = size_class->next;
            if (++classes > pool->free_count) {
                mm_forget_free_lists(pool);
                mm_error(MM_ERR_VFREELIST_CIRCULAR, {pool, size_class});
            }
            if (classes > 1 && size_class->size <= previous_size) {
                mm_forget_free_lists(pool);
                mm_error(MM_ERR_VFREELIST_CORRUPTED, {pool, &size_class->size});
            }
            previous_size = size_class->size;
            pool->classes = next;
            mm_free_fblock(mm.size_classes, size_class);
            size_class = next;
        }
        mm_forget_free_lists(pool);
    } else {
        pool->free_fblocks = nullptr;
        pool->free_count = 0;
    }
    MmChunk *kept = keep_newest ? pool->newest : nullptr;
    for (MmChunk *chunk = pool->newest; chunk != nullptr;) {
        MmChunk *next = chunk->next;
        if (chunk->bound < reinterpret_cast<std::uintptr_t>(chunk) ||
            *reinterpret_cast<const unsigned char *>(chunk->bound) != MM_END_MARK)
            mm_error(MM_ERR_CHUNK_CORRUPTED, {pool, as_pointer(chunk->bound)});
        if (chunk != kept) std::free(chunk);
        pool->newest = chunk = next;
    }
    if (kept != nullptr) {
        kept->next = nullptr;
        kept->blocks = 0;
        pool->newest = kept;
        pool->frontier_bound = mm_data_start(kept);
        pool->frontier = kept->bound;
        mm_poison(pool->frontier_bound, kept->bound - pool->frontier_bound);
        return;
    }
    pool->frontier = pool->frontier_bound = MM_NO_ADDRESS;
}

// ---- Blocks -------------------------------------------------------------------------------

[[gnu::noinline]] void *get_fblock_slow(MmPool *pool) {
    if (pool->free_fblocks != nullptr) {
        MmFreeFBlock *block = pool->free_fblocks;
        pool->free_fblocks = block->next;
        --pool->free_count;
        ++block->chunk->blocks;
        mm_unpoison(reinterpret_cast<std::uintptr_t>(block), pool->block_size);
        return block;
    }
    new_chunk(pool, pool->block_size);
    pool->frontier -= pool->block_size;
    ++pool->newest->blocks;
    mm_unpoison(pool->frontier, pool->block_size);
    return as_pointer(pool->frontier);
}

// A request the fast path does not serve: from the free lists, else from a new chunk.
[[gnu::noinline]] void *get_vblock_slow(MmPool *pool, std::size_t n, const char *op) {
    if (n == 0) return nullptr;
    std::size_t header = mm_header_size(pool);
    if (n >= MAX_REQUEST) mm_error(MM_ERR_OUT_OF_MEMORY, {n});
    if (n > pool->largest_request) pool->largest_request = n;
    if (pool->free_count > 0) {
        MmChunk *chunk = nullptr;
        std::uintptr_t start = search_free_lists(pool, n, &chunk);
        if (start != 0) {
            ++chunk->blocks;
            mm_unpoison(start, header + n);
            if (header != 0)
                static_cast<MmBlockHeader *>(as_pointer(start))->size = n | MM_LIVE_MARK;
            return as_pointer(start + header);
        }
    }
    if (pool->newest != nullptr) keep_chunk_rest(pool);
    new_chunk(pool, align_up(n + header));
    std::uintptr_t start = align_down(pool->frontier - n - header);
    if (start < pool->frontier_bound)
        mm_error(MM_ERR_FRONTIER_BELOW_BOUND,
                 {op, as_pointer(start), as_pointer(pool->frontier_bound)});
    pool->frontier = start;
    mm_unpoison(start, header + n);
    if (header != 0) static_cast<MmBlockHeader *>(as_pointer(start))->size = n | MM_LIVE_MARK;
    ++pool->newest->blocks;
    return as_pointer(start + header);
}

// The fast path of every v-block request: carve below the frontier of the newest chunk.
inline void *get_vblock(MmPool *pool, std::size_t n, const char *op) {
    // One unsigned compare sends both size 0 and absurd sizes to the slow path.
    if (n - 1 >= MAX_REQUEST - 1) [[unlikely]]
        return get_vblock_slow(pool, n, op);
    if (n > pool->largest_request) pool->largest_request = n;
    std::uintptr_t frontier = pool->frontier;
    std::uintptr_t bound = pool->frontier_bound;
    std::uintptr_t start = align_down(frontier - n - mm_header_size(pool));
    // start in [bound, frontier): with no chunk both are all-ones and the range is empty.
    if (start - bound < frontier - bound) [[likely]] {
        pool->frontier = start;
        ++pool->newest->blocks;
        mm_unpoison(start, pool->header * MM_HEADER_SIZE + n);
        if (pool->header != 0) {
            static_cast<MmBlockHeader *>(as_pointer(start))->size = n | MM_LIVE_MARK;
            return as_pointer(start + MM_HEADER_SIZE);
        }
        return as_pointer(start);
    }
    return get_vblock_slow(pool, n, op);
}

// The checks of a header v-block about to be freed. Returns its chunk and stores its size.
MmChunk *check_vblock(MmPool *pool, void *block, const char *op, std::size_t *size) {
    std::uintptr_t header = reinterpret_cast<std::uintptr_t>(block) - MM_HEADER_SIZE;
    MmChunk *chunk = mm_find_chunk(pool, header, block, op);
    std::size_t n = static_cast<const MmBlockHeader *>(as_pointer(header))->size;
    if ((n & MM_MARK_MASK) == MM_LIVE_MARK) {
        // A block in use: it cannot be on a free list, so the walk is skipped.
        n &= ~MM_MARK_MASK;
    } else if (MM_CHECK_LEVEL >= 2) {
        // The list walk comes first: a block already free has its header overwritten by the
        // list link (or its mark cleared), so only the walk can tell a double free from a
        // damaged header.
        mm_check_vfreelist_for(pool, as_pointer(header), n);
    }
    if (n < 1 || n > pool->largest_request)
        mm_error(MM_ERR_VBLOCK_HEADER_CORRUPTED, {pool, as_pointer(header)});
    *size = n;
    return chunk;
}

// Frees a checked header v-block of `n` bytes held by `chunk`.
void release_vblock(MmPool *pool, void *block, MmChunk *chunk, std::size_t n) {
    std::uintptr_t header = reinterpret_cast<std::uintptr_t>(block) - MM_HEADER_SIZE;
    // Whatever becomes of the memory (list entry, frontier, dropped), a second free of this
    // block must find no mark and walk the lists.
    static_cast<MmBlockHeader *>(as_pointer(header))->size = n;
    if (--chunk->blocks == 0) {
        unlist_vchunk(pool, chunk);
        release_chunk(pool, chunk);
        return;
    }
    mm_poison(header, MM_HEADER_SIZE + n);
    if (header == pool->frontier) {
        // The last block carved goes back to the frontier and is carved again next.
        pool->frontier = header + MM_HEADER_SIZE + n;
        return;
    }
    file_free_block(pool, header, n, chunk);
}

inline void check_header_pool(MmPool *pool, const char *op) {
    if (pool == nullptr || pool->kind != MM_KIND_VBLOCK) [[unlikely]]
        mm_kind_error(pool, op, MM_KIND_VBLOCK);
}

// Opens a pool whose descriptor and name come from the host heap (system) or from
// "MM INTERNAL MISC".
MmPool *new_descriptor(const char *name, bool system) {
    std::size_t length = std::strlen(name) + 1;
    MmPool *pool;
    char *copy;
    if (system) {
        pool = static_cast<MmPool *>(mm_malloc(sizeof(MmPool)));
        copy = static_cast<char *>(mm_malloc(length));
    } else {
        pool = static_cast<MmPool *>(get_vblock(mm.misc, sizeof(MmPool), "mm_open_pool"));
        copy = static_cast<char *>(get_vblock(mm.misc, length, "mm_open_pool"));
    }
    std::memcpy(copy, name, length);
    *pool = MmPool{};
    pool->name = copy;
    pool->system = system ? 1 : 0;
    return pool;
}

} // namespace

// ---- Interface ----------------------------------------------------------------------------

void *mm_malloc(std::size_t size) {
    void *memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) mm_error(MM_ERR_OUT_OF_MEMORY, {size});
    return memory;
}

void mm_initialize() {
    if (mm.initialized) return;
    if ((MM_ALIGN & (MM_ALIGN - 1)) != 0)
        mm_error(MM_ERR_BAD_ALIGNMENT, {static_cast<long>(MM_ALIGN)});
    // The all-ones address marks a pool without chunks; the heap must never reach it.
    void *probe = mm_malloc(10);
    std::uintptr_t probe_end = reinterpret_cast<std::uintptr_t>(probe) + 10;
    std::free(probe);
    if (probe_end < 10 || probe_end == MM_NO_ADDRESS) mm_error(MM_ERR_NO_UNDERFLOW_DETECTION);
    mm.misc = mm_open_pool("MM INTERNAL MISC", MM_VBLOCK, MM_CHUNK_DEFAULT, MM_SYSTEM_POOL);
    mm.size_classes = mm_open_pool("MM SORTED VBLOCK FREELIST", sizeof(MmSizeClass),
                                   MM_CHUNK_DEFAULT, MM_SYSTEM_POOL);
    mm.initialized = true;
    mm.general = mm_open_pool("MM I-BLOCKS", MM_VBLOCK, MM_CHUNK_DEFAULT, 0);
}

void mm_finalize() {
    if (!mm.initialized) return;
    // The pools of the run first: their descriptors live in the manager's own pools.
    MmPool *pool = mm.pools;
    while (pool != nullptr) {
        MmPool *next = pool->next;
        if (pool->system == 0) mm_close_pool(pool);
        pool = next;
    }
    // Closing a v-block pool hands its size classes back, so that pool goes last.
    mm_close_pool(mm.misc);
    mm_close_pool(mm.size_classes);
    mm = MemoryState{};
}

PoolId mm_general_pool() { return mm.general; }

PoolId mm_open_pool(const char *name, std::uint32_t block_size, std::uint32_t chunk_size,
                    std::uint32_t options) {
    bool system = (options & MM_SYSTEM_POOL) != 0;
    if (system && mm.initialized) mm_error(MM_ERR_BAD_OPTION, {nullptr});
    if (!system && !mm.initialized) mm_error(MM_ERR_NOT_INITIALIZED);
    if (block_size == 0) mm_error(MM_ERR_ZERO_BLOCK_SIZE, {"mm_open_pool", name});
    MmPool *pool = new_descriptor(name != nullptr ? name : "UNNAMED", system);
    std::uint32_t chunk = chunk_size == MM_DEFAULT_CHUNK ? MM_CHUNK_DEFAULT : chunk_size;
    if (block_size == MM_VBLOCK) {
        bool headers = (options & MM_SUPPRESS_HEADER) == 0;
        pool->kind = headers ? MM_KIND_VBLOCK : MM_KIND_VBLOCK_BARE;
        pool->header = headers ? 1 : 0;
        pool->chunk_size = chunk;
    } else {
        // A freed block holds its free-list record, so no block is smaller than one.
        std::uint32_t size = static_cast<std::uint32_t>(align_up(block_size));
        pool->kind = MM_KIND_FBLOCK;
        pool->keep_chunk = (options & MM_KEEP_CHUNK) != 0 ? 1 : 0;
        pool->block_size = std::max<std::uint32_t>(size, sizeof(MmFreeFBlock));
        pool->chunk_size = std::max<std::uint32_t>(1, chunk / pool->block_size) * pool->block_size;
    }
    pool->frontier = pool->frontier_bound = MM_NO_ADDRESS;
    link_pool(pool);
    return pool;
}

void mm_close_pool(PoolId pool) {
    if (pool == nullptr || pool->kind < MM_KIND_FBLOCK || pool->kind > MM_KIND_VBLOCK)
        mm_error(MM_ERR_UNKNOWN_POOL, {"mm_close_pool", pool});
    free_all_chunks(pool);
    unlink_pool(pool);
    pool->kind = MM_KIND_CLOSED;
    if (pool->system != 0) {
        std::free(pool->name);
        std::free(pool);
    } else {
        mm_free_vblock(mm.misc, pool->name);
        mm_free_vblock(mm.misc, pool);
    }
}

void mm_free_pool(PoolId pool) {
    if (pool == nullptr || pool->kind < MM_KIND_FBLOCK || pool->kind > MM_KIND_VBLOCK)
        mm_error(MM_ERR_UNKNOWN_POOL, {"mm_free_pool", pool});
    free_all_chunks(pool);
}

void mm_empty_pool(PoolId pool) {
    if (pool == nullptr || pool->kind < MM_KIND_FBLOCK || pool->kind > MM_KIND_VBLOCK)
        mm_error(MM_ERR_UNKNOWN_POOL, {"mm_empty_pool", pool});
    // Nothing handed out since the last emptying: nothing to forget.
    if (pool->newest == nullptr || (pool->newest->next == nullptr &&
                                    pool->frontier == pool->newest->bound && pool->free_count == 0))
        return;
    // A v-block pool gives every chunk back: headers of its forgotten blocks would keep their
    // in-use marks inside a kept chunk, and a stale pointer freed later would pass for live.
    free_all_chunks(pool, pool->kind == MM_KIND_FBLOCK);
}

void *mm_get_fblock(PoolId pool) {
    if (pool == nullptr || pool->kind != MM_KIND_FBLOCK) [[unlikely]]
        mm_kind_error(pool, "mm_get_fblock", MM_KIND_FBLOCK);
    // With no chunk the frontier and its bound are all-ones and the test fails.
    std::uintptr_t start = pool->frontier - pool->block_size;
    if (start >= pool->frontier_bound) [[likely]] {
        pool->frontier = start;
        ++pool->newest->blocks;
        mm_unpoison(start, pool->block_size);
        return as_pointer(start);
    }
    return get_fblock_slow(pool);
}

void mm_free_fblock(PoolId pool, void *block) {
    if (pool == nullptr || pool->kind != MM_KIND_FBLOCK) [[unlikely]]
        mm_kind_error(pool, "mm_free_fblock", MM_KIND_FBLOCK);
    if (block == nullptr) return;
    // Most blocks freed are in the newest chunk, above its frontier: the checks mm_find_chunk
    // makes for that chunk (end mark, range) inline; anything else takes the full search, which
    // also reports every fault.
    auto start = reinterpret_cast<std::uintptr_t>(block);
    MmChunk *chunk = pool->newest;
    if (chunk == nullptr || start < pool->frontier || start >= chunk->bound ||
        *reinterpret_cast<const unsigned char *>(chunk->bound) != MM_END_MARK) [[unlikely]]
        chunk = mm_find_chunk(pool, start, block, "mm_free_fblock");
    // A block on the free list holds its chunk in its free record, so a block whose record
    // names another chunk cannot be free and the list walk is skipped: freeing stays O(1). A
    // live block whose data happens to hold that address (or a block handed out again with its
    // old record intact) is settled by the walk, so a double free is still reported here.
    if (static_cast<const MmFreeFBlock *>(block)->chunk == chunk)
        mm_check_ffreelist_for(pool, block);
    if (--chunk->blocks == 0) {
        if (pool->keep_chunk != 0 && chunk == pool->newest && chunk->next == nullptr) {
            // Every free block is in this chunk: the lists go and carving starts again at its top.
            pool->free_fblocks = nullptr;
            pool->free_count = 0;
            pool->frontier = chunk->bound;
            mm_poison(pool->frontier_bound, chunk->bound - pool->frontier_bound);
            return;
        }
        unlist_fchunk(pool, chunk);
        release_chunk(pool, chunk);
        return;
    }
    auto *entry = static_cast<MmFreeFBlock *>(block);
    entry->next = pool->free_fblocks;
    entry->chunk = chunk;
    pool->free_fblocks = entry;
    ++pool->free_count;
    mm_poison(reinterpret_cast<std::uintptr_t>(block), pool->block_size);
}

void *mm_get_vblock(PoolId pool, std::size_t size) {
    if (pool == nullptr || static_cast<unsigned>(pool->kind) - MM_KIND_VBLOCK_BARE > 1u)
        [[unlikely]]
        mm_kind_error(pool, "mm_get_vblock", MM_KIND_VBLOCK_BARE);
    return get_vblock(pool, size, "mm_get_vblock");
}

void *mm_get_cvblock(PoolId pool, std::size_t size) {
    void *block = mm_get_vblock(pool, size);
    if (block != nullptr) std::memset(block, 0, size);
    return block;
}

void *mm_adjust_vblock(PoolId pool, void *block, std::size_t size) {
    check_header_pool(pool, "mm_adjust_vblock");
    if (block == nullptr) return get_vblock(pool, size, "mm_adjust_vblock");
    // The old block is checked before anything is read from it or carved for its copy.
    std::size_t old_size = 0;
    MmChunk *chunk = check_vblock(pool, block, "mm_adjust_vblock", &old_size);
    void *moved = get_vblock(pool, size, "mm_adjust_vblock");
    if (moved != nullptr) std::memcpy(moved, block, std::min(old_size, size));
    release_vblock(pool, block, chunk, old_size);
    return moved;
}

void mm_free_vblock(PoolId pool, void *block) {
    check_header_pool(pool, "mm_free_vblock");
    if (block == nullptr) return;
    std::size_t size = 0;
    MmChunk *chunk = check_vblock(pool, block, "mm_free_vblock", &size);
    release_vblock(pool, block, chunk, size);
}

MmStatistics mm_statistics() { return mm.statistics; }

MmPoolInfo mm_pool_info(PoolId pool) {
    if (pool == nullptr || pool->kind < MM_KIND_FBLOCK || pool->kind > MM_KIND_VBLOCK)
        mm_error(MM_ERR_UNKNOWN_POOL, {"mm_pool_info", pool});
    MmPoolInfo info{};
    for (const MmChunk *chunk = pool->newest; chunk != nullptr; chunk = chunk->next) ++info.chunks;
    info.free_blocks = pool->free_count;
    info.block_size = pool->kind == MM_KIND_FBLOCK ? pool->block_size : 0;
    return info;
}

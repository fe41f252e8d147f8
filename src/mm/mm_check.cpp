// This file implements the memory manager's consistency checks (chunk end marks, block
// ownership, double frees, free-list structure) and the one routine through which every fault
// of the manager is formatted from its error table, reported and turned into the fatal exit.
#include <cstdio>

#include "fe/fe.h"
#include "mm/mm_internal.h"

namespace {

struct ErrorRow {
    int code;
    const char *text;
};

constexpr ErrorRow error_table[] = {
#define MM_ERROR(code, ident, text) {code, text},
#include "mm/mm_errors.def"
#undef MM_ERROR
};
constexpr int ERROR_COUNT = sizeof error_table / sizeof error_table[0];
static_assert(ERROR_COUNT == 25, "the memory manager's error table has 25 entries");

// The rows are numbered 1..25 in order, so a code indexes the table directly.
constexpr bool rows_in_order() {
    for (int i = 0; i < ERROR_COUNT; ++i)
        if (error_table[i].code != i + 1) return false;
    return true;
}
static_assert(rows_in_order(), "mm_errors.def rows are numbered 1..25 in order");
static_assert(MM_ERR_OUT_OF_MEMORY == 1 && MM_ERR_ZERO_BLOCK_SIZE == 9 &&
              MM_ERR_BLOCK_ALREADY_FREE == 12 && MM_ERR_VBLOCK_HEADER_CORRUPTED == 25);

constexpr std::size_t TEXT_LIMIT = 195; // characters kept before "..."
static_assert(TEXT_LIMIT + 3 + 1 <= MM_ERROR_AREA_SIZE);

// Fills the report area, dropping whatever would go past TEXT_LIMIT.
struct AreaWriter {
    char *area;
    std::size_t length = 0;
    bool cut = false;

    void put(char c) {
        if (length == TEXT_LIMIT) {
            cut = true;
            return;
        }
        area[length++] = c;
    }
    void put(const char *s) {
        while (*s != '\0' && !cut) put(*s++);
    }
    void finish() {
        if (cut) {
            area[length++] = '.';
            area[length++] = '.';
            area[length++] = '.';
        }
        area[length] = '\0';
    }
};

// The report's own ends the run, so a walk of a damaged list is never repeated by cleanup.
[[noreturn]] void free_list_error(PoolId pool, int code, std::initializer_list<MmErrorArg> args) {
    mm_forget_free_lists(pool);
    mm_error(code, args);
}

// A free v-block found at `free_start` with `size` usable bytes, checked against the header
// address being freed.
void check_against_free_block(PoolId pool, std::uintptr_t header, std::uintptr_t free_start,
                              std::size_t size) {
    std::uintptr_t free_end = free_start + mm_header_size(pool) + size;
    if (header == free_start)
        free_list_error(pool, MM_ERR_BLOCK_ALREADY_FREE,
                        {"mm_free_vblock", reinterpret_cast<const void *>(header), pool});
    if (header > free_start && header < free_end)
        free_list_error(pool, MM_ERR_VFREELIST_CORRUPTED,
                        {pool, reinterpret_cast<const void *>(free_start)});
}

} // namespace

const char *mm_error_template(int code) {
    if (code < 1 || code > ERROR_COUNT) return "Unknown error";
    return error_table[code - 1].text;
}

void mm_format_template(char *area, const char *templ, std::initializer_list<MmErrorArg> args) {
    AreaWriter out{area};
    const MmErrorArg *arg = args.begin();
    // A template asking for more arguments than it was given prints them as null or zero.
    auto next_arg = [&]() -> MmErrorArg {
        if (arg == args.end()) return MmErrorArg(nullptr);
        return *arg++;
    };
    char number[32];
    for (const char *p = templ; *p != '\0' && !out.cut; ++p) {
        if (*p == '\\') {
            if (p[1] == '\0') break;
            ++p;
            out.put(*p == 'n' ? '\n' : *p);
            continue;
        }
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        if (p[1] == '\0') break;
        ++p;
        switch (*p) {
        case '%': out.put('%'); break;
        case 'A':
            std::snprintf(number, sizeof number, "0x%lx",
                          static_cast<unsigned long>(next_arg().value));
            out.put(number);
            break;
        case 'P':
            // A pool is never trusted to carry a readable name here: the report may be about
            // a damaged descriptor.
            out.put(next_arg().value == 0 ? "NULL POOL" : "INVALID POOL ID");
            break;
        case 'S':
            std::snprintf(number, sizeof number, "%lu",
                          static_cast<unsigned long>(next_arg().value));
            out.put(number);
            break;
        case 'd':
            std::snprintf(number, sizeof number, "%ld", static_cast<long>(next_arg().value));
            out.put(number);
            break;
        case 's': {
            const char *text = next_arg().text;
            out.put(text != nullptr ? text : "NULL STRING");
            break;
        }
        default: out.put('*'); break;
        }
    }
    out.finish();
}

void mm_error(int code, std::initializer_list<MmErrorArg> args) {
    char area[MM_ERROR_AREA_SIZE];
    mm_format_template(area, mm_error_template(code), args);
    fe_message(area, "MM", nullptr,
               code == MM_ERR_OUT_OF_MEMORY ? SEVERITY_SYSTEM : SEVERITY_ASSERTION);
    fe_fatal_exit();
}

void mm_kind_error(PoolId pool, const char *op, MmPoolKind wanted) {
    if (pool == nullptr || pool->kind < MM_KIND_FBLOCK || pool->kind > MM_KIND_VBLOCK)
        mm_error(MM_ERR_UNKNOWN_POOL, {op, pool});
    if (wanted == MM_KIND_FBLOCK) mm_error(MM_ERR_NOT_FBLOCK_POOL, {op, pool});
    if (wanted == MM_KIND_VBLOCK && pool->kind == MM_KIND_VBLOCK_BARE)
        mm_error(MM_ERR_SUPPRESSED_HEADER, {op, pool});
    mm_error(MM_ERR_NOT_VBLOCK_POOL, {op, pool});
}

MmChunk *mm_find_chunk(PoolId pool, std::uintptr_t start, const void *block, const char *op) {
    for (MmChunk *chunk = pool->newest; chunk != nullptr; chunk = chunk->next) {
        if (*reinterpret_cast<const unsigned char *>(chunk->bound) != MM_END_MARK)
            mm_error(MM_ERR_CHUNK_CORRUPTED, {pool, reinterpret_cast<const void *>(chunk->bound)});
        if (start >= mm_data_start(chunk) && start < chunk->bound) {
            if (chunk == pool->newest && start < pool->frontier)
                mm_error(MM_ERR_BLOCK_IN_FREE_SECTION, {op, block, pool});
            return chunk;
        }
    }
    mm_error(MM_ERR_BLOCK_NOT_IN_POOL, {op, block, pool});
}

void mm_check_ffreelist_for(PoolId pool, const void *block) {
    if (MM_CHECK_LEVEL < 2) return;
    std::uint32_t count = 0;
    for (MmFreeFBlock *entry = pool->free_fblocks; entry != nullptr; entry = entry->next) {
        if (entry == block) mm_error(MM_ERR_BLOCK_ALREADY_FREE, {"mm_free_fblock", block, pool});
        // More entries than the pool counts means the list loops back on itself.
        if (++count > pool->free_count) mm_error(MM_ERR_FFREELIST_CIRCULAR, {pool, entry});
    }
}

void mm_check_vfreelist_for(PoolId pool, const void *header, std::size_t size) {
    (void)size; // the free block's own extent decides; the freed size is not needed
    auto at = reinterpret_cast<std::uintptr_t>(header);
    std::uint32_t count = 0;
    std::uint32_t previous_size = 0;
    for (MmSizeClass *size_class = pool->classes; size_class != nullptr;
         size_class = size_class->next) {
        if (size_class != pool->classes && size_class->size <= previous_size)
            free_list_error(pool, MM_ERR_VFREELIST_CORRUPTED, {pool, &size_class->size});
        previous_size = size_class->size;
        for (MmFreeVBlock *entry = size_class->first; entry != nullptr; entry = entry->next) {
            check_against_free_block(pool, at, reinterpret_cast<std::uintptr_t>(entry),
                                     size_class->size);
            if (++count > pool->free_count)
                free_list_error(pool, MM_ERR_VFREELIST_CIRCULAR, {pool, entry});
        }
    }
    for (MmFreeVBlock *entry = pool->unsorted; entry != nullptr; entry = entry->next) {
        if (entry->size + mm_header_size(pool) < MM_VRECORD)
            free_list_error(pool, MM_ERR_VFREELIST_CORRUPTED, {pool, entry});
        check_against_free_block(pool, at, reinterpret_cast<std::uintptr_t>(entry), entry->size);
        if (++count > pool->free_count)
            free_list_error(pool, MM_ERR_VFREELIST_CIRCULAR, {pool, entry});
    }
    if (count != pool->free_count)
        free_list_error(pool, MM_ERR_VFREELIST_CORRUPTED, {pool, &pool->free_count});
}

void mm_forget_free_lists(PoolId pool) {
    pool->classes = nullptr;
    pool->unsorted = nullptr;
    pool->free_count = 0;
}

// This file implements the text table: string interning through 503 hash chains with
// move-to-front (entries found through an index rather than by walking the chains), the
// growable entry and info arrays in "LUMEN text table", the string copies in "LUMEN char
// table", and the two trace dumps of the chains.
#include "text/text.h"

#include <cassert>
#include <cstring>

#include "fe/fe.h"
#include "mm/mm.h"
#include "msg/msg.h"

namespace {

// One per handle, in an array indexed by handle. Chains link handles rather than addresses, so
// the array can move when it grows without a pass that rewrites every link.
struct TextEntry {
    const char *text;     // NUL-terminated copy in the char pool, owned by the table
    std::uint32_t length; // bytes, without the NUL
    std::int32_t chain;   // next handle in the same bucket; 0 ends the chain
    std::uint32_t bucket; // 0..TEXT_HASH_TABLE_SIZE-1
    std::uint32_t hash;   // the chain hash, of which the bucket is the remainder
};

// Capacities double (less one) from the first; the last one stops at the handle range.
constexpr std::int32_t FIRST_CAPACITY = 256;
constexpr std::uint32_t NULL_STRING_LENGTH = sizeof TEXT_NULL_STRING - 1;

struct TextState {
    bool initialized = false;
    PoolId table_pool = nullptr;  // "LUMEN text table": entries and info words
    PoolId char_pool = nullptr;   // "LUMEN char table": the string copies
    TextEntry *entries = nullptr; // capacity entries, nullptr when forgotten
    void **info = nullptr;        // parallel to entries
    std::int32_t count = 1;       // the next handle to give out
    std::int32_t highest = -1;    // highest usable index of both arrays (capacity - 1)
    std::uint64_t characters = 0; // bytes stored, NULs included
    std::uint16_t clears = 0;     // kept across finalisation on purpose (see text.h)
    std::int32_t buckets[TEXT_HASH_TABLE_SIZE] = {}; // chain heads; 0 for an empty bucket
    // The chains stay what the dumps show; lookups go through an index instead of walking
    // them. `previous` is parallel to entries: the handle before each one in its chain (0 at
    // the head), so that a hit moves to the front without the walk. `index` holds the handles
    // by a stronger hash, open addressing, at most half full; 0 is an empty slot.
    std::int32_t *previous = nullptr;
    std::int32_t *index = nullptr;
    std::size_t index_mask = 0;
};

TextState text;

// The passing texts: (text, length) pairs in an array indexed by -1 - handle, the bytes in
// chunks of the table pool (the char pool cannot give single blocks back) that never move, so that
// a text pointer stays valid while more are entered. Released together: the first chunk and the
// array are kept for the next expansion.
struct PassingEntry {
    const char *text;
    std::uint32_t length;
};
struct PassingChunk {
    PassingChunk *next;
    std::size_t size; // bytes after the header
    std::size_t used;
};
constexpr std::size_t PASSING_CHUNK_SIZE = 16384;

struct PassingState {
    PassingEntry *entries = nullptr; // in the table pool
    std::int32_t count = 0;
    std::int32_t capacity = 0;
    PassingChunk *chunks = nullptr; // the newest first
};

PassingState passing;

void forget_passing() { passing = PassingState{}; }

static_assert(sizeof(TextEntry) == 24, "a handle entry stays three words on a 64-bit host");
static_assert(sizeof TEXT_NULL_STRING == 14, "the null handle's text and its NUL");

// h = 2h + c over the bytes, starting from the length, kept non-negative. The bucket numbers
// it yields are visible in the hash-table dump, so it stays exactly this.
inline std::uint32_t text_hash(const char *pointer, std::uint32_t length) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(pointer);
    std::uint32_t h = length;
    for (std::uint32_t i = 0; i < length; ++i) h = 2 * h + bytes[i];
    return h & 0x7FFFFFFFu;
}

template <typename Word> inline Word load(const char *p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Byte equality of two runs of `length` bytes. Names are short and the hash already matched, so
// this is nearly always a hit: whole words, the last one overlapping, instead of a library call.
// Nothing is read outside either run.
inline bool same_bytes(const char *a, const char *b, std::uint32_t length) {
    if (length >= 8) {
        if (length > 16) return std::memcmp(a, b, length) == 0;
        return load<std::uint64_t>(a) == load<std::uint64_t>(b) &&
               load<std::uint64_t>(a + length - 8) == load<std::uint64_t>(b + length - 8);
    }
    if (length >= 4)
        return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
               load<std::uint32_t>(a + length - 4) == load<std::uint32_t>(b + length - 4);
    for (std::uint32_t i = 0; i < length; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// The index's hash: the words of the text mixed, every byte counted (the chain hash keeps only
// the last 31 bytes of a long text).
inline std::uint32_t index_hash(const char *pointer, std::uint32_t length) {
    std::uint64_t h = 0x9E3779B97F4A7C15u ^ length;
    if (length >= 8) {
        std::uint32_t i = 0;
        for (; i + 8 < length; i += 8)
            h = (h ^ load<std::uint64_t>(pointer + i)) * 0xFF51AFD7ED558CCDu;
        h = (h ^ load<std::uint64_t>(pointer + length - 8)) * 0xC4CEB9FE1A85EC53u;
    } else {
        // The text's bytes in the low end of a word, the rest 0 (as a copy into a zeroed word
        // gives it), from loads that read only the text: a copy of a variable length was a
        // library call on every lookup.
        std::uint64_t word = 0;
        if (length >= 4) {
            word = load<std::uint32_t>(pointer) |
                   std::uint64_t{load<std::uint32_t>(pointer + length - 4)} << (8 * (length - 4));
        } else if (length != 0) { // the empty text may have no bytes
            const auto *bytes = reinterpret_cast<const unsigned char *>(pointer);
            word = std::uint64_t{bytes[0]} |
                   std::uint64_t{bytes[length / 2]} << (8 * (length / 2)) |
                   std::uint64_t{bytes[length - 1]} << (8 * (length - 1));
        }
        h = (h ^ word) * 0xC4CEB9FE1A85EC53u;
    }
    h ^= h >> 29;
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

// Using the table before it is opened (or after it is closed) is a caller's fault that would
// otherwise surface as a memory-manager error about an unknown pool.
[[noreturn]] void report_not_initialized() {
    fe_report(MSG_6TEXTNOTINIT, POSITION_NULL);
    fe_internal_error();
}

// Moves `handle` to the front of its chain, as a lookup does with every hit.
void move_to_front(std::int32_t handle, std::uint32_t bucket) {
    const std::int32_t head = text.buckets[bucket];
    if (head == handle) return;
    TextEntry *entries = text.entries;
    const std::int32_t before = text.previous[handle];
    const std::int32_t after = entries[handle].chain;
    entries[before].chain = after;
    if (after != 0) text.previous[after] = before;
    entries[handle].chain = head;
    text.previous[head] = handle;
    text.previous[handle] = 0;
    text.buckets[bucket] = handle;
}

// Returns the handle of the probe, moving it to the front of its chain so that the chains
// (and their dumps) keep the order of use; 0 when absent.
TextHandle lookup(const char *pointer, std::uint32_t length, std::uint32_t strong) {
    const TextEntry *entries = text.entries;
    for (std::size_t slot = strong & text.index_mask;; slot = (slot + 1) & text.index_mask) {
        const std::int32_t handle = text.index[slot];
        if (handle == 0) return TEXT_NULL;
        const TextEntry &entry = entries[handle];
        if (entry.length == length && same_bytes(entry.text, pointer, length)) {
            move_to_front(handle, entry.bucket);
            return static_cast<TextHandle>(handle);
        }
    }
}

void index_insert(std::int32_t handle, std::uint32_t strong) {
    std::size_t slot = strong & text.index_mask;
    while (text.index[slot] != 0) slot = (slot + 1) & text.index_mask;
    text.index[slot] = handle;
}

// A fresh index for `capacity` handles, holding those given out so far (not the null handle,
// which is in no chain).
void rebuild_index(std::int32_t capacity) {
    std::size_t slots = 1;
    while (slots < 2 * static_cast<std::size_t>(capacity)) slots *= 2;
    if (text.index != nullptr) mm_free_vblock(text.table_pool, text.index);
    text.index =
        static_cast<std::int32_t *>(mm_get_vblock(text.table_pool, slots * sizeof(std::int32_t)));
    std::memset(text.index, 0, slots * sizeof(std::int32_t));
    text.index_mask = slots - 1;
    for (std::int32_t h = 1; h < text.count; ++h)
        index_insert(h, index_hash(text.entries[h].text, text.entries[h].length));
}

[[noreturn]] void report_overflow() {
    msg_param_num(TEXT_MAX_HANDLES, 'm');
    fe_report(MSG_5TEXTHOVF, POSITION_NULL);
    fe_internal_error();
}

// Makes room for one more handle: the first arrays after a clear, then arrays of about twice
// the size, moved in the pool, as long as memory lasts (the memory manager ends the run when
// it does not). Handles and text pointers stay valid; only the arrays move. The index's hash
// takes 32 bits, enough to spread the 2^32 slots that the largest capacity needs.
void grow_arrays() {
    if (text.entries == nullptr) {
        text.highest = FIRST_CAPACITY - 1;
        text.count = 0; // so that the null handle is always handle 0
        text.entries = static_cast<TextEntry *>(
            mm_get_vblock(text.table_pool, FIRST_CAPACITY * sizeof(TextEntry)));
        text.info =
            static_cast<void **>(mm_get_vblock(text.table_pool, FIRST_CAPACITY * sizeof(void *)));
        text.previous = static_cast<std::int32_t *>(
            mm_get_vblock(text.table_pool, FIRST_CAPACITY * sizeof(std::int32_t)));
        rebuild_index(FIRST_CAPACITY);
        return;
    }
    const std::int32_t m = text.highest;
    if (m + 1 >= TEXT_MAX_HANDLES) report_overflow();
    const std::int32_t size = m < TEXT_MAX_HANDLES - m ? m + m : TEXT_MAX_HANDLES;
    text.entries = static_cast<TextEntry *>(
        mm_adjust_vblock(text.table_pool, text.entries, std::size_t(size) * sizeof(TextEntry)));
    text.info = static_cast<void **>(
        mm_adjust_vblock(text.table_pool, text.info, std::size_t(size) * sizeof(void *)));
    text.previous = static_cast<std::int32_t *>(
        mm_adjust_vblock(text.table_pool, text.previous, std::size_t(size) * sizeof(std::int32_t)));
    text.highest = size - 1;
    rebuild_index(size);
}

inline std::int32_t next_handle() {
    if (text.count > text.highest) grow_arrays();
    return text.count++;
}

void create_null_handle() {
    std::int32_t handle = next_handle();
    if (handle != TEXT_NULL) {
        std::printf("create_null_handle: %ld returned instead of NULL\n", long(handle));
        fe_internal_error();
    }
    auto *copy = static_cast<char *>(mm_get_vblock(text.char_pool, NULL_STRING_LENGTH + 1));
    std::memcpy(copy, TEXT_NULL_STRING, NULL_STRING_LENGTH + 1);
    text.entries[0] = TextEntry{copy, NULL_STRING_LENGTH, 0, 0, 0};
    text.info[0] = nullptr;
    text.previous[0] = 0;
    text.characters += NULL_STRING_LENGTH + 1;
}

// Counts the entries standing in buckets (the null handle is in none).
struct ChainFigures {
    std::int32_t entries;
    std::int32_t nonempty;
    std::int32_t longest;
};

std::int32_t chain_length(std::int32_t head) {
    std::int32_t n = 0;
    for (std::int32_t h = head; h != 0; h = text.entries[h].chain) ++n;
    return n;
}

} // namespace

TextHandle text_enter_passing(const char *pointer, std::uint32_t length) {
    if (!text.initialized) report_not_initialized();
    if (passing.count == passing.capacity) {
        if (passing.capacity == TEXT_MAX_HANDLES) report_overflow();
        const std::int32_t grown = passing.capacity == 0 ? 256
                                   : passing.capacity < TEXT_MAX_HANDLES - passing.capacity
                                       ? 2 * passing.capacity
                                       : TEXT_MAX_HANDLES;
        passing.entries = static_cast<PassingEntry *>(mm_adjust_vblock(
            text.table_pool, passing.entries, std::size_t(grown) * sizeof(PassingEntry)));
        passing.capacity = grown;
    }
    const std::size_t need = std::size_t(length) + 1;
    PassingChunk *chunk = passing.chunks;
    if (chunk == nullptr || chunk->size - chunk->used < need) {
        const std::size_t size = need > PASSING_CHUNK_SIZE ? need : PASSING_CHUNK_SIZE;
        auto *fresh = static_cast<PassingChunk *>(
            mm_get_vblock(text.table_pool, sizeof(PassingChunk) + size));
        *fresh = PassingChunk{chunk, size, 0};
        passing.chunks = chunk = fresh;
    }
    char *copy = reinterpret_cast<char *>(chunk + 1) + chunk->used;
    chunk->used += need;
    if (length != 0) std::memcpy(copy, pointer, length);
    copy[length] = '\0';
    passing.entries[passing.count] = PassingEntry{copy, length};
    return static_cast<TextHandle>(-1 - passing.count++);
}

void text_release_passing() {
    passing.count = 0;
    PassingChunk *chunk = passing.chunks;
    if (chunk == nullptr) return;
    // The oldest chunk stays; the others (a long argument list's) go back to the pool.
    while (chunk->next != nullptr) {
        PassingChunk *next = chunk->next;
        mm_free_vblock(text.table_pool, chunk);
        chunk = next;
    }
    chunk->used = 0;
    passing.chunks = chunk;
}

void text_initialize() {
    if (text.initialized) return;
    text.table_pool = mm_open_pool("LUMEN text table", MM_VBLOCK, 256, 0);
    text.char_pool =
        mm_open_pool("LUMEN char table", MM_VBLOCK, MM_DEFAULT_CHUNK, MM_SUPPRESS_HEADER);
    text.characters = 0;
    text.initialized = true;
    text_clear();
}

void text_finalize() {
    if (!text.initialized) return;
    text.entries = nullptr;
    text.info = nullptr;
    text.previous = nullptr;
    text.index = nullptr;
    text.index_mask = 0;
    text.highest = -1;
    text.count = 1;
    std::memset(text.buckets, 0, sizeof text.buckets);
    text.initialized = false;
    forget_passing();
    mm_close_pool(text.table_pool);
    mm_close_pool(text.char_pool);
    text.table_pool = nullptr;
    text.char_pool = nullptr;
    text.characters = 0;
}

void text_clear() {
    if (!text.initialized) report_not_initialized();
    ++text.clears;
    forget_passing();
    mm_free_pool(text.table_pool);
    text.entries = nullptr;
    text.info = nullptr;
    text.previous = nullptr;
    text.index = nullptr;
    text.index_mask = 0;
    text.highest = -1;
    text.count = 1;
    mm_free_pool(text.char_pool);
    text.characters = 0;
    std::memset(text.buckets, 0, sizeof text.buckets);
    create_null_handle();
}

TextHandle text_enter(const char *pointer, std::uint32_t length) {
    if (!text.initialized) report_not_initialized();
    const std::uint32_t strong = index_hash(pointer, length);
    TextHandle found = lookup(pointer, length, strong);
    if (found != TEXT_NULL) return found;

    const std::uint32_t hash = text_hash(pointer, length);
    const std::uint32_t bucket = hash % TEXT_HASH_TABLE_SIZE;
    auto *copy = static_cast<char *>(mm_get_vblock(text.char_pool, std::size_t(length) + 1));
    text.characters += length + 1;
    if (length != 0) std::memcpy(copy, pointer, length);
    copy[length] = '\0';
    const std::int32_t handle = next_handle();
    const std::int32_t head = text.buckets[bucket];
    text.entries[handle] = TextEntry{copy, length, head, bucket, hash};
    text.info[handle] = nullptr;
    text.previous[handle] = 0;
    if (head != 0) text.previous[head] = handle;
    text.buckets[bucket] = handle;
    index_insert(handle, strong);
    return static_cast<TextHandle>(handle);
}

TextHandle text_enter_string(const char *string) {
    return text_enter(string, static_cast<std::uint32_t>(std::strlen(string)));
}

TextHandle text_find(const char *pointer, std::uint32_t length) {
    if (!text.initialized) report_not_initialized();
    return lookup(pointer, length, index_hash(pointer, length));
}

TextHandle text_find_string(const char *string) {
    return text_find(string, static_cast<std::uint32_t>(std::strlen(string)));
}

const char *text_string(TextHandle handle) {
    if (handle < 0) {
        assert(-1 - handle < passing.count && "a passing text still held");
        return passing.entries[-1 - handle].text;
    }
    assert(handle >= 0 && handle < text.count && text.entries != nullptr && "a valid handle");
    return text.entries[handle].text;
}

std::uint32_t text_length(TextHandle handle) {
    if (handle < 0) {
        assert(-1 - handle < passing.count && "a passing text still held");
        return passing.entries[-1 - handle].length;
    }
    assert(handle >= 0 && handle < text.count && text.entries != nullptr && "a valid handle");
    return text.entries[handle].length;
}

void *text_info(TextHandle handle) {
    if (handle < 0) return nullptr;
    assert(handle >= 0 && handle < text.count && text.info != nullptr && "a valid handle");
    return text.info[handle];
}

void text_set_info(TextHandle handle, void *info) {
    assert(handle >= 0 && handle < text.count && text.info != nullptr && "a valid handle");
    text.info[handle] = info;
}

void text_print(std::FILE *file, TextHandle handle) {
    if (text.entries != nullptr && handle >= 0 && handle < text.count)
        std::fputs(text.entries[handle].text, file);
    else if (text.entries != nullptr && handle < 0 && -1 - handle < passing.count)
        std::fputs(passing.entries[-1 - handle].text, file);
    else
        std::fprintf(file, "<bad text handle %ld>", long(handle));
}

std::uint16_t text_clear_count() { return text.clears; }

void text_dump_hash_table(std::FILE *file) {
    std::fputs("\n text hash table\n", file);
    for (std::int32_t b = 0; b < TEXT_HASH_TABLE_SIZE; ++b) {
        if (text.buckets[b] == 0) continue;
        std::fprintf(file, "%5d ", int(b));
        for (std::int32_t h = text.buckets[b]; h != 0; h = text.entries[h].chain) {
            std::fputs(" (", file);
            text_print(file, static_cast<TextHandle>(h));
            std::fputs(" )", file);
        }
        std::fputc('\n', file);
    }
}

void text_hash_histogram(std::FILE *file) {
    ChainFigures figures{0, 0, 0};
    std::fputs("\nHistogram of Text Hash Table\n", file);
    for (std::int32_t b = 0; b < TEXT_HASH_TABLE_SIZE; ++b) {
        if (text.buckets[b] == 0) continue;
        const std::int32_t n = chain_length(text.buckets[b]);
        figures.entries += n;
        figures.nonempty += 1;
        if (n > figures.longest) figures.longest = n;
        std::fprintf(file, "%5d ", int(b));
        for (std::int32_t i = 0; i < n; ++i) std::fputc('*', file);
        std::fputc('\n', file);
    }
    // With no string entered there are no non-empty lists; their average is then 0, not the
    // not-a-number that dividing by zero would print.
    const double average_nonempty =
        figures.nonempty == 0 ? 0.0 : figures.entries / double(figures.nonempty);
    std::fputc('\n', file);
    std::fprintf(file, " longest list in hash table     %8d\n", int(figures.longest));
    std::fprintf(file, " number of nonempty lists       %8d\n", int(figures.nonempty));
    std::fprintf(file, " average list length            %8.2f\n",
                 figures.entries / double(TEXT_HASH_TABLE_SIZE));
    std::fprintf(file, " average length non empty lists %8.2f\n", average_nonempty);
    std::fputc('\n', file);
    std::fprintf(file, " total number of characters     %8llu\n",
                 static_cast<unsigned long long>(text.characters));
    std::fprintf(file, " total number of handles        %8d\n", int(figures.entries));
    std::fprintf(file, " max number of handles          %8ld\n", long(TEXT_MAX_HANDLES));
    std::fprintf(file, " hash table size                %8d\n", int(TEXT_HASH_TABLE_SIZE));
    std::fprintf(file, " num times text table cleared   %8d\n", int(text.clears));
    std::fputc('\n', file);
}

TextStatistics text_statistics() {
    return TextStatistics{text.initialized ? text.count : 0, text.highest + 1, text.characters,
                          passing.count};
}

// This file implements the text table: string interning through 503 hash chains with
// move-to-front, the growable entry and info arrays in "LUMEN text table", the string copies in
// "LUMEN char table", and the two trace dumps of the chains.
#include "text/text.h"

#include <cassert>
#include <cstring>

#include "driver/fe.h"
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
    std::uint32_t hash;   // the full hash, compared before the bytes
};

// Capacities double (less one) up to this highest index, then close in on the maximum by halves.
constexpr std::int32_t DOUBLING_LIMIT = 65533;
constexpr std::int32_t FIRST_CAPACITY = 256;
// Growth that would add fewer entries than this means the table is full.
constexpr std::int32_t SMALLEST_INCREMENT = 10;
constexpr std::uint32_t NULL_STRING_LENGTH = sizeof TEXT_NULL_STRING - 1;

struct TextState {
    bool initialized = false;
    PoolId table_pool = nullptr;  // "LUMEN text table": entries and info words
    PoolId char_pool = nullptr;   // "LUMEN char table": the string copies
    TextEntry *entries = nullptr; // capacity entries, nullptr when forgotten
    void **info = nullptr;        // parallel to entries
    std::int32_t count = 1;       // the next handle to give out
    std::int32_t highest = -1;    // highest usable index of both arrays (capacity - 1)
    std::uint32_t characters = 0; // bytes stored, NULs included
    std::uint16_t clears = 0;     // kept across finalisation on purpose (see text.h)
    std::int32_t buckets[TEXT_HASH_TABLE_SIZE] = {}; // chain heads; 0 for an empty bucket
};

TextState text;

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

inline bool entry_matches(const TextEntry &entry, const char *pointer, std::uint32_t length,
                          std::uint32_t hash) {
    return entry.hash == hash && entry.length == length && same_bytes(entry.text, pointer, length);
}

// Using the table before it is opened (or after it is closed) is a caller's fault that would
// otherwise surface as a memory-manager error about an unknown pool.
[[noreturn]] void report_not_initialized() {
    fe_report(MSG_6TEXTNOTINIT, POSITION_NULL);
    fe_internal_error();
}

// Returns the handle of the probe in its bucket, moving a hit found behind the head to the
// front so that frequent names are found at once; 0 when absent.
TextHandle lookup(const char *pointer, std::uint32_t length, std::uint32_t hash,
                  std::uint32_t bucket) {
    TextEntry *entries = text.entries;
    std::int32_t head = text.buckets[bucket];
    if (head == 0) return TEXT_NULL;
    if (entry_matches(entries[head], pointer, length, hash)) return static_cast<TextHandle>(head);
    std::int32_t previous = head;
    for (std::int32_t current = entries[head].chain; current != 0;
         previous = current, current = entries[current].chain) {
        if (entry_matches(entries[current], pointer, length, hash)) {
            entries[previous].chain = entries[current].chain;
            entries[current].chain = head;
            text.buckets[bucket] = current;
            return static_cast<TextHandle>(current);
        }
    }
    return TEXT_NULL;
}

[[noreturn]] void report_overflow() {
    msg_param_num(TEXT_MAX_HANDLES, 'm');
    fe_report(MSG_5TEXTHOVF, POSITION_NULL);
    fe_internal_error();
}

// Makes room for one more handle: the first arrays after a clear, then larger ones, moved in
// the pool. Handles and text pointers stay valid; only the arrays move.
void grow_arrays() {
    if (text.entries == nullptr) {
        text.highest = FIRST_CAPACITY - 1;
        text.count = 0; // so that the null handle is always handle 0
        text.entries = static_cast<TextEntry *>(
            mm_get_vblock(text.table_pool, FIRST_CAPACITY * sizeof(TextEntry)));
        text.info =
            static_cast<void **>(mm_get_vblock(text.table_pool, FIRST_CAPACITY * sizeof(void *)));
        return;
    }
    const std::int32_t m = text.highest;
    const std::int32_t increment =
        m <= DOUBLING_LIMIT ? m : (TEXT_MAX_HANDLES - (m + 1)) / 2;
    if (increment < SMALLEST_INCREMENT) report_overflow();
    const std::int32_t size = m + increment;
    text.entries = static_cast<TextEntry *>(
        mm_adjust_vblock(text.table_pool, text.entries, std::size_t(size) * sizeof(TextEntry)));
    text.info = static_cast<void **>(
        mm_adjust_vblock(text.table_pool, text.info, std::size_t(size) * sizeof(void *)));
    text.highest = size - 1;
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

void text_initialize() {
    if (text.initialized) return;
    text.table_pool = mm_open_pool("LUMEN text table", MM_VBLOCK, 256, 0);
    text.char_pool = mm_open_pool("LUMEN char table", MM_VBLOCK, MM_DEFAULT_CHUNK,
                                  MM_SUPPRESS_HEADER);
    text.characters = 0;
    text.initialized = true;
    text_clear();
}

void text_finalize() {
    if (!text.initialized) return;
    text.entries = nullptr;
    text.info = nullptr;
    text.highest = -1;
    text.count = 1;
    std::memset(text.buckets, 0, sizeof text.buckets);
    text.initialized = false;
    mm_close_pool(text.table_pool);
    mm_close_pool(text.char_pool);
    text.table_pool = nullptr;
    text.char_pool = nullptr;
    text.characters = 0;
}

void text_clear() {
    if (!text.initialized) report_not_initialized();
    ++text.clears;
    mm_free_pool(text.table_pool);
    text.entries = nullptr;
    text.info = nullptr;
    text.highest = -1;
    text.count = 1;
    mm_free_pool(text.char_pool);
    text.characters = 0;
    std::memset(text.buckets, 0, sizeof text.buckets);
    create_null_handle();
}

TextHandle text_enter(const char *pointer, std::uint32_t length) {
    if (!text.initialized) report_not_initialized();
    const std::uint32_t hash = text_hash(pointer, length);
    const std::uint32_t bucket = hash % TEXT_HASH_TABLE_SIZE;
    TextHandle found = lookup(pointer, length, hash, bucket);
    if (found != TEXT_NULL) return found;

    auto *copy = static_cast<char *>(mm_get_vblock(text.char_pool, std::size_t(length) + 1));
    text.characters += length + 1;
    if (length != 0) std::memcpy(copy, pointer, length);
    copy[length] = '\0';
    const std::int32_t handle = next_handle();
    text.entries[handle] = TextEntry{copy, length, text.buckets[bucket], bucket, hash};
    text.info[handle] = nullptr;
    text.buckets[bucket] = handle;
    return static_cast<TextHandle>(handle);
}

TextHandle text_enter_string(const char *string) {
    return text_enter(string, static_cast<std::uint32_t>(std::strlen(string)));
}

TextHandle text_find(const char *pointer, std::uint32_t length) {
    if (!text.initialized) report_not_initialized();
    const std::uint32_t hash = text_hash(pointer, length);
    return lookup(pointer, length, hash, hash % TEXT_HASH_TABLE_SIZE);
}

TextHandle text_find_string(const char *string) {
    return text_find(string, static_cast<std::uint32_t>(std::strlen(string)));
}

const char *text_string(TextHandle handle) {
    assert(handle >= 0 && handle < text.count && text.entries != nullptr && "a valid handle");
    return text.entries[handle].text;
}

std::uint32_t text_length(TextHandle handle) {
    assert(handle >= 0 && handle < text.count && text.entries != nullptr && "a valid handle");
    return text.entries[handle].length;
}

void *text_info(TextHandle handle) {
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
    std::fprintf(file, " total number of characters     %8ld\n", long(text.characters));
    std::fprintf(file, " total number of handles        %8d\n", int(figures.entries));
    std::fprintf(file, " max number of handles          %8ld\n", long(TEXT_MAX_HANDLES));
    std::fprintf(file, " hash table size                %8d\n", int(TEXT_HASH_TABLE_SIZE));
    std::fprintf(file, " num times text table cleared   %8d\n", int(text.clears));
    std::fputc('\n', file);
}

TextStatistics text_statistics() {
    return TextStatistics{text.initialized ? text.count : 0, text.highest + 1, text.characters};
}

// The text table: interns strings. Every distinct byte string gets one TextHandle for the life
// of the table, and each handle carries one pointer-sized info word for its users (the macro
// table keeps the address of a name's definition there). Storage lives in two named pools.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/types.h"

// The number of hash buckets (a prime, so the remainder spreads the weak hash).
inline constexpr std::int32_t TEXT_HASH_TABLE_SIZE = 503;
// The most handles the table can give out: every non-negative value of a handle. The arrays
// grow while memory lasts; only a run that reaches this count ends in the overflow message.
inline constexpr std::int32_t TEXT_MAX_HANDLES = 2147483647;
// The text of the null handle 0. It is never entered in a bucket, so it cannot be looked up.
inline constexpr char TEXT_NULL_STRING[] = "<NULL_STRING>";

// Opens the two pools and leaves the table holding only the null handle; a second call does
// nothing.
void text_initialize();

// Closes both pools; every handle and text pointer becomes invalid. Nothing when not initialised.
// The clear count survives, so caches keyed on it notice that their handles are stale.
void text_finalize();

// Forgets every string: only the null handle remains and the clear count grows by one.
void text_clear();

// The handle of the `length` bytes at `pointer` (any bytes, NUL included, need not be
// terminated), entered with a copy of the bytes when new. Ends the run when every handle is given
// out (or, through the memory manager, when memory is exhausted).
TextHandle text_enter(const char *pointer, std::uint32_t length);
// text_enter of a NUL-terminated string.
TextHandle text_enter_string(const char *string);

// Passing texts: spellings that are only carried to the output (the arguments of a macro call
// that name no macro, line numbers), kept apart so that they never fill the table. Each call
// gives a new handle, negative, with a copy of the bytes; text_string and text_length answer
// for it, text_info gives nullptr (a passing text names no macro), text_find never finds it.
// They stay valid until text_release_passing, which their user calls when none is in use.
TextHandle text_enter_passing(const char *pointer, std::uint32_t length);
void text_release_passing();
inline constexpr bool text_is_passing(TextHandle handle) { return handle < 0; }

// The handle of the `length` bytes at `pointer`, or TEXT_NULL when they were never entered.
TextHandle text_find(const char *pointer, std::uint32_t length);
// text_find of a NUL-terminated string.
TextHandle text_find_string(const char *string);

// The stored text of a valid handle, NUL-terminated; it never moves until the next clear.
// No range check.
const char *text_string(TextHandle handle);
// The stored length of a valid handle, without the NUL. No range check.
std::uint32_t text_length(TextHandle handle);

// The info word of a valid handle: nullptr when the handle was made, then whatever its user
// stored. The table itself never reads it. No range check.
void *text_info(TextHandle handle);
void text_set_info(TextHandle handle, void *info);

// Writes the text of `handle` to `file`, or "<bad text handle %ld>" for a handle that was not
// given out (or when the table is closed).
void text_print(std::FILE *file, TextHandle handle);

// The number of clears so far, counting the one made by every initialisation. A user caching
// handles compares it with the value it saw last.
std::uint16_t text_clear_count();

// Writes every non-empty bucket with its chain in chain order.
void text_dump_hash_table(std::FILE *file);
// Writes one row of stars per non-empty bucket, then the table's summary figures.
void text_hash_histogram(std::FILE *file);

// Figures for tests and traces.
struct TextStatistics {
    std::int32_t handles;     // handles given out, the null handle included
    std::int32_t capacity;    // entries the arrays hold now; 0 when the table is closed
    std::uint64_t characters; // bytes stored, each string counting its NUL
    std::int32_t passing;     // passing texts held now
};
TextStatistics text_statistics();

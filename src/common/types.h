// The vocabulary types shared by every subsystem: source positions, handles of interned texts
// and streams, message severities and identifiers, pool handles.
#pragma once

#include <cstdint>

// A handle naming an interned string of the text table. 0 is the null handle; equal strings
// have equal handles for the whole run.
enum TextHandle : std::int32_t { TEXT_NULL = 0 };

// An index into the stream table. 0 is the null stream, 1 standard input, files from 2 upward.
enum StreamHandle : std::uint16_t { STREAM_NULL = 0, STREAM_STDIN = 1, STREAM_INVALID = 0xFFFF };

// A place in a source stream. Lines are 32-bit so that long generated files keep correct
// markers; columns stay 16-bit. All-ones in every field is the null position.
struct Position {
    std::uint32_t line;   // 1-based line in the stream
    std::uint16_t column; // 1-based column in bytes; a tab counts as one
    std::uint16_t stream; // the StreamHandle
};

inline constexpr Position POSITION_NULL{0xFFFFFFFFu, 0xFFFF, 0xFFFF};

inline constexpr bool position_is_null(Position p) {
    return p.line == POSITION_NULL.line && p.column == POSITION_NULL.column &&
           p.stream == POSITION_NULL.stream;
}

// Only a position in a real stream names a file and a source line that can be printed.
inline constexpr bool position_is_valid(Position p) {
    return p.stream != STREAM_NULL && p.stream != STREAM_INVALID;
}

// True when a lies strictly after b: by stream handle, then line, then column. The null
// position has the highest stream handle and so sorts after every other position.
inline constexpr bool position_after(Position a, Position b) {
    if (a.stream != b.stream) return a.stream > b.stream;
    if (a.line != b.line) return a.line > b.line;
    return a.column > b.column;
}

// Severity of a message, 0 "no error" to 6 "assertion violation". A value outside 0..6 can be
// passed in and is rejected by the message service.
enum Severity : std::int8_t {
    SEVERITY_NONE = 0,
    SEVERITY_INFORMATION = 1,
    SEVERITY_WARNING = 2,
    SEVERITY_ERROR = 3,
    SEVERITY_FATAL = 4,
    SEVERITY_SYSTEM = 5,
    SEVERITY_ASSERTION = 6,
};

// An index into the message catalogue (common/msg_catalogue.def): MSG_3UNREC and so on.
enum MessageId : std::uint16_t {
#define MSG_ENTRY(index, ident, text) MSG_##ident = index,
#include "common/msg_catalogue.def"
#undef MSG_ENTRY
    MSG_CATALOGUE_SIZE
};

// The handle of an open memory pool: the address of its descriptor. nullptr names no pool.
struct MmPool;
using PoolId = MmPool *;

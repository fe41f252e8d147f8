// Source streams and positions: the table of streams named by StreamHandle, the file stack of
// suspended streams, buffered reading from a 2048-byte ring with back-up, marks and seeks to any
// position, and the include records that map cumulative line numbers back to files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/types.h"

// ---- Status codes and sizes ---------------------------------------------------------------

enum SiStatus : std::uint16_t {
#define SI_STATUS(code, ident, meaning) ident = code,
#include "si/si_status.def"
#undef SI_STATUS
};

inline constexpr std::uint32_t SI_RING_SIZE = 2048;       // bytes in a stream's ring buffer
inline constexpr std::uint32_t SI_REFILL_SIZE = 1024;     // read size once the ring has wrapped
inline constexpr int SI_FILE_STACK_SIZE = 21;             // suspended streams, the deepest nesting
inline constexpr std::uint32_t SI_MARK_AREA_SIZE = 512;   // static area for wrapped mark texts
inline constexpr std::uint16_t SI_TABLE_GROWTH = 256;     // stream table capacity step
inline constexpr int SI_END_OF_STREAM = 3;                // the byte delivered after the last one
inline constexpr std::uint32_t SI_MAX_COLUMN = 65535;     // the widest column a Position can hold
inline constexpr std::uint32_t SI_MAX_LINE = 4294967295u; // the last line a Position can hold
// Bytes after the 0 that ends the buffered data which a reader may load, but never use: a scan
// that tests 16 bytes at once stops at that 0 and may have loaded up to 15 bytes beyond it.
inline constexpr std::uint32_t SI_SCAN_SLACK = 16;

// ---- The reading cursor -------------------------------------------------------------------

// The part of the current stream's state that the inline reading step, the lexer and the
// directive code use directly. Everything else about the streams is private to si.cpp.
struct SiCursor {
    unsigned char *read;     // next byte to deliver; a 0 there is answered by si_next_buffer
    std::uint32_t line;      // line of the read point, 1-based
    std::uint32_t column;    // column of the read point, 1-based; passes 65535 on long lines
    StreamHandle stream;     // the current stream
    unsigned char *mark;     // first marked byte still in the ring
    std::uint32_t mark_line; // position of the mark as it was set (the token start)
    std::uint32_t mark_column;
    std::uint32_t lost; // marked bytes delivered before `mark` and no longer in the ring
};
extern SiCursor si_cursor;

// ---- Start and end ------------------------------------------------------------------------

// Creates the stream table (null stream, standard input) and the file stack and makes the null
// stream current. 0 on success (also when already initialised), SI_NO_BLOCK without memory.
SiStatus si_initialize();

// Closes every level of the file stack and every descriptor, releases all memory of the
// interface and clears the initialised flag. 0, or the first failing close's status.
SiStatus si_finalize();

// ---- Streams ------------------------------------------------------------------------------

// Yields the handle of the file `name` (exact, case-sensitive), adding an entry on first sight.
// SI_NOT_INITIALIZED, SI_NULL_NAME, SI_TABLE_FULL, SI_NO_BLOCK on failure.
SiStatus si_find_stream(const char *name, StreamHandle *handle);

// The handle of `name` when it is in the table already; SI_BAD_HANDLE when it is not (nothing
// is added), SI_NOT_INITIALIZED, SI_NULL_NAME.
SiStatus si_lookup_stream(const char *name, StreamHandle *handle);

// si_find_stream for a file that opens for reading and is not a directory, else SI_OPEN_FAILED
// with the table unchanged. The descriptor is kept for the stream's next si_open_stream; a file
// whose descriptor is still held (open, or kept after an inclusion) is not opened again.
SiStatus si_find_file(const char *name, StreamHandle *handle);

// Adds a stream named `name` read through `fd`, an open regular file the caller has already
// removed or will remove (a private copy): the stream keeps the descriptor for the whole run
// (si_finalize closes it), reads it at any offset, and is never found by its name, which is
// only shown. SI_OPEN_FAILED when `fd` is not a regular file (nothing added).
SiStatus si_adopt_file(const char *name, int fd, StreamHandle *handle);
// Suspends the current stream on the file stack and makes `handle` current, read from its start.
// A 22nd nested level ends the run with 5STREAMOVF. On failure the caller's stream stays current.
SiStatus si_open_stream(StreamHandle handle);

// Ends the current stream and resumes the one below it on the file stack where it stopped.
SiStatus si_close_stream();

// The number of suspended streams below the current one.
int si_stream_depth();

// The highest handle in the table (streams are numbered from 2 up to it).
StreamHandle si_highest_stream();
// True for a stream that names a file of its own (not the null stream, standard input or an
// adopted private file).
bool si_stream_is_file(StreamHandle handle);
// Full and base name (after the last '/'); "<<bad stream handle>>" for an unknown handle.
const char *si_stream_name(StreamHandle handle);
const char *si_stream_base_name(StreamHandle handle);

// Opens `handle` for an include directive and records where its lines start in the cumulative
// numbering. SI_OPEN_FAILED for any failure, with the include bookkeeping left unchanged.
SiStatus si_include(StreamHandle handle);

// `name` when it is empty or ends in '/'; otherwise a general-pool copy with '/' appended.
const char *si_directory_prefix(const char *name);

// ---- Reading ------------------------------------------------------------------------------

// Answers the 0 byte under the read point: reads the next block, or wraps to the ring's start.
// Ask again while a 0 stays there (a block of nothing but 0 bytes leaves the ring empty).
// Reading past the end byte ends the run with 5EOF; a block whose line feeds would carry the
// line count past SI_MAX_LINE ends it with a fatal error.
void si_next_buffer();

// The slow path of si_get_char: si_next_buffer until the byte under the read point is not 0.
int si_refill_char();

// The buffered data end at `end` (a 0 byte there), on the read point's line: when the next
// block goes into the ring right after them (the fill point is short of the ring's end), reads
// it there, as the reader would on reaching `end`, and leaves the read point, its column and the
// hints before `end` as they stand; true then. Only a block already read ahead and needing no
// translation is taken so: it cannot draw a message. False, with nothing read, at the ring's
// end, at the end of the input, for any other block, or when `end` is not the fill point. The
// mark is moved to `end`.
bool si_read_on_in_place(const unsigned char *end);

// A count of the blocks read so far, of any stream: a reader that saw the end of the buffered
// data learns from a change of it that the next block has been read.
std::uint32_t si_blocks_read();

// ---- Scan hints ---------------------------------------------------------------------------

// A large file's blocks read ahead by the reader thread can be given hints there, one byte per
// byte of the file, by a client above this layer: nonzero where its scan of the text must stop.
// The client keeps two slots of its own, one per read-ahead buffer. `prepare` runs on the
// calling thread when the block for `slot` is asked for; `make` runs on the reader thread after
// the read (or on the calling thread for a block read there), with the block before it as
// context, and returns how many bytes from the start it hinted (it may load and store up to 64
// bytes past the end of either); `accept` runs on the calling
// thread when the block is taken, and false discards its hints. Hints are made only for the
// stretch of a block that needs no translation (no CR, 0 or 3 byte), and never for standard
// input, spooled or adopted files.
struct SiHintMaker {
    void (*prepare)(int slot);
    std::size_t (*make)(int slot, const unsigned char *before, std::size_t before_count,
                        const unsigned char *bytes, std::size_t count, unsigned char *hints);
    bool (*accept)(int slot);
};
// Installs `maker` (nullptr: no hints are made from the next block on).
void si_set_hint_maker(const SiHintMaker *maker);
// The hints of the bytes from the read point up to the end of the buffered data (whose 0 byte
// has a nonzero hint), and SI_SCAN_SLACK bytes after it that may be loaded but mean nothing;
// nullptr when the buffered data has none.
const unsigned char *si_read_hints();
// The slot of the hints that the block read ahead gives now (of the current stream, or of one
// below it on the file stack), or -1.
int si_hint_slot();
// Forgets the hints of the current block and of the buffered data: they are no longer right.
void si_drop_hints();
// Test hook: the size of the blocks read ahead (at most the default, 256 KiB; 0 restores it).
void si_set_read_ahead_size(std::uint32_t size);

// Delivers the next byte (unsigned) and advances line and column; 3 marks the end of stream.
inline int si_get_char() {
    int c = *si_cursor.read;
    if (c == 0) [[unlikely]]
        c = si_refill_char();
    ++si_cursor.read;
    if (c == '\n') {
        ++si_cursor.line;
        si_cursor.column = 1;
    } else {
        ++si_cursor.column;
    }
    return c;
}

// While on, bytes are read again for the message listing: a dropped byte (0 or 3) is not
// reported, and SI_LISTING_DROP_LIMIT dropped bytes in a row with nothing kept end the stream
// there as its end byte would, so that a device or sparse file of 0 bytes cannot hold the
// listing of its line forever.
void si_set_listing(bool on);

// The message printers' reading of source lines (msg/msg.h): the null stream opened above the
// current one, seeks, si_get_char and the listing mode. The start-up lends it to them.
struct MsgSourceReader;
extern const MsgSourceReader si_message_reader;
inline constexpr std::uint32_t SI_LISTING_DROP_LIMIT = 1u << 20;

// Reports 3TOOLONG at the current line and column 65535; reading goes on.
void si_line_too_long();

// Moves the read point back over `count` delivered bytes; SI_CANNOT_BACK_UP when fewer are
// retained in the ring.
SiStatus si_back_up(std::uint32_t count);

// Moves to `target` in any stream, re-reading from the file when the ring no longer holds it.
// SI_BEYOND_END when the position lies past the end of its stream (the end byte stays unread).
SiStatus si_seek(Position target);

// ---- Marks and positions ------------------------------------------------------------------

// Marks the read point as the start of a text (a token) to be fetched with si_mark_text.
inline void si_set_mark() {
    si_cursor.mark = si_cursor.read;
    si_cursor.mark_line = si_cursor.line;
    si_cursor.mark_column = si_cursor.column;
    si_cursor.lost = 0;
}

// The number of bytes delivered since the mark.
std::uint32_t si_mark_length();

// The si_mark_length bytes delivered since the mark, not 0-terminated: in place when they lie
// in one piece in the ring, else a copy valid until the next call.
const unsigned char *si_mark_text();

// The current line, column (65535 when it is wider) and stream.
Position si_current_position();

// True when a lies after b: by stream, then line, then column.
bool si_position_after(Position a, Position b);

// The file position of cumulative line `line` from the include records; line 0, column 1,
// stream 0 without records or for line 0.
Position si_cumulative_to_position(std::uint32_t line);

// The position as presented to the user (an include record may rename a stretch of lines).
Position si_presented_position(Position position);

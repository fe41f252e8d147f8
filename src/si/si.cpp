// This file implements the source streams: the stream table with its name index, the file stack
// of suspended streams, block reads into the ring (CR LF taken as LF, 0 and 3 bytes reported
// once and dropped), back-up, marks, seeks to any position and the include records.
#include "si/si.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fe/fe.h"
#include "fe/host.h" // the spool files of unseekable inputs are the host's temporary files
#include "mm/mm.h"
#include "msg/msg.h"

SiCursor si_cursor{};

namespace {

#define SI_STATUS(code, ident, meaning) static_assert(ident == code);
#include "si/si_status.def"
#undef SI_STATUS
constexpr int si_status_count = 0
#define SI_STATUS(code, ident, meaning) +1
#include "si/si_status.def"
#undef SI_STATUS
    ;
static_assert(si_status_count == 12, "twelve status codes, 0 included");

constexpr const char *NULL_STREAM_NAME = "<<null stream>>";
constexpr const char *STDIN_NAME = "standard input";
constexpr const char *BAD_HANDLE_NAME = "<<bad stream handle>>";
// The ring, its terminating 0 and the slack of the scans that load 16 bytes at once.
constexpr std::size_t BUFFER_BLOCK = SI_RING_SIZE + 1 + SI_SCAN_SLACK;
// Rings of closed streams kept for the next opens. A file included many times would otherwise
// take a fresh ring from the general pool at every #include (a new chunk each time, whose
// left-over part joins the free lists that every later free walks).
constexpr int SPARE_RINGS = SI_FILE_STACK_SIZE + 1; // one per level that can be open
constexpr std::uint32_t READ_AHEAD_MAX = 262144;
// The size of the blocks read ahead: READ_AHEAD_MAX but in tests (si_set_read_ahead_size).
std::uint32_t read_ahead = READ_AHEAD_MAX;
constexpr int IDLE_FILES = 64;
constexpr std::int64_t IDLE_FILE_SIZE = 65536;    // larger files are closed as before
constexpr int MAX_DEPTH = SI_FILE_STACK_SIZE - 1; // highest index into the file stack
constexpr std::uint32_t TABLE_LIMIT = 65534;      // the capacity never reaches this

struct StreamEntry {
    const char *name;             // owned copy for files; a fixed text for handles 0 and 1
    const char *base_name;        // inside name, after its last '/'
    std::int32_t fd;              // -1 while the file is not open
    std::int32_t open_count;      // file-stack levels at which it is open, the current one included
    std::uint32_t hash;           // of the name, for the name index
    std::int64_t illegal_checked; // file offset up to which its 0 and 3 bytes were reported
    // The descriptor's own offset as our reads and seeks left it (-1: unknown).
    std::int64_t fd_offset;
    // The size of a regular file when it was opened; -1 for anything else (standard input).
    std::int64_t size;
    // The last read of this regular file stopped short exactly at `size`: the next one could
    // only find the end, so it is not made. (Files under /proc report a size of 0 and are read.)
    bool end_seen;
    // A private file handed over open (si_adopt_file): its descriptor is the only way to it, so
    // it is kept for the whole run, and its name is only shown, never looked up or opened.
    bool adopted = false;
    // A file that cannot be read at an offset (a FIFO, a pipe, a terminal) is spooled: `fd` is
    // then an unnamed temporary file holding the `spooled` bytes read from `source` so far, and
    // every read behind that point is served from it. Backing up, re-reading a long text and
    // the listing all need earlier bytes again, which the source itself cannot give back.
    std::int32_t source = -1;  // the unseekable descriptor, -1 once its end was read
    std::int64_t spooled = -1; // -1: not spooled
};

// One level of the file stack: the reading state of a suspended stream.
struct SavedStream {
    unsigned char *read;
    unsigned char *fill;
    unsigned char *oldest;
    std::uint8_t at_end;
    unsigned char *end;
    unsigned char *start;
    StreamHandle stream;
    std::uint32_t line;
    std::uint32_t column;
    std::uint32_t oldest_column;
    std::int64_t offset; // where the descriptor's next read starts; 0 for the null stream
};

struct IncludeRecord {
    std::uint16_t kind;  // 1: a file was entered
    std::uint16_t level; // include level after the change
    std::uint32_t cumulative_line;
    std::int32_t adjustment;
    StreamHandle physical_stream;
    std::uint32_t physical_line;
    StreamHandle presented_stream;
    std::uint32_t presented_line;
    StreamHandle main_stream;
    IncludeRecord *next;
    IncludeRecord *previous;
};

// Bytes of one large file read ahead of the ring: [start, start + length) of `stream`, at
// `data` in one of the two read-ahead buffers.
struct ReadAhead {
    StreamHandle stream; // STREAM_NULL when it holds nothing
    std::int64_t start;
    std::uint32_t length;
    // [start, clean_end) holds no CR and no 0 or 3 byte: pieces from there need no translation.
    std::int64_t clean_end;
    unsigned char *data;
    int buffer; // which read-ahead buffer holds `data`
    // [hints_from, hints_end) has scan hints, at the same place of ahead_hints[buffer] as the
    // bytes in ahead_buffers[buffer].
    std::int64_t hints_from;
    std::int64_t hints_end;
};

// The read-ahead buffers: the bytes not yet handed out (less than a ring) are moved in front of
// the next block read. Outside the stream state, which is reset by assignment while the reader
// thread may still be reading into one of them. The hints of each, byte for byte; both have
// room for a hint maker's loads and stores of up to 64 bytes past the end of a block.
constexpr std::size_t AHEAD_KEPT = SI_RING_SIZE;
constexpr std::size_t AHEAD_SIZE = AHEAD_KEPT + READ_AHEAD_MAX + 64;
alignas(64) unsigned char ahead_buffers[2][AHEAD_SIZE];
alignas(64) unsigned char ahead_hints[2][AHEAD_SIZE];
// The hints of the current stream's ring, at the same place as its bytes; valid for
// [StreamState::hints_begin, fill], the 0 at fill included.
alignas(64) unsigned char ring_hints[SI_RING_SIZE + 1 + 2 * SI_SCAN_SLACK];
// The client that makes the hints (si_set_hint_maker), or nullptr.
const SiHintMaker *hint_maker = nullptr;

// A byte of a file that is dropped: 0, which stands for "no data here" in the ring, and 3, the
// end byte that the readers take as the end of the stream. Either would end or corrupt the
// reading if it were kept, so it is reported as an illegal character and left out.
struct IllegalByte {
    Position position;
    unsigned char byte;
};

struct StreamState {
    bool initialized;

    // The stream table and an open-addressing index of file names (0 marks a free slot).
    StreamEntry *table;
    std::uint16_t highest;
    std::uint32_t capacity;
    std::uint16_t *index;
    std::uint32_t index_mask;

    // The current stream, with si_cursor. The ring is [start, end); the byte at end is always 0
    // and sends the reader back to start. Bytes from oldest up to the read point can be backed
    // over; oldest_column is the column of the oldest one, whose line is found when asked
    // for (oldest_line).
    std::int32_t fd;
    std::int64_t offset; // descriptor offset of the next read
    unsigned char *start;
    unsigned char *end;
    unsigned char *fill; // one past the last byte read; a 0 stands there
    unsigned char *oldest;
    std::uint32_t oldest_column;
    bool at_end;
    std::uint32_t blocks;                    // blocks read into rings, counted on (si_blocks_read)
    unsigned char *null_block;               // the null stream's buffer, shared by all its levels
    unsigned char *spare_rings[SPARE_RINGS]; // rings of closed streams, ready for reuse
    int spare_count;
    // Regular files closed at every level whose descriptors stay open (up to IDLE_FILES), so that
    // including one again makes no system call before its read; and those opened by the include
    // search but not yet entered.
    int idle_count;
    // The include records' own pool, opened by the first #include and closed whole at the end:
    // freeing tens of thousands of records one by one from the general pool walked its free
    // lists at every free.
    PoolId record_pool;

    // The file stack.
    SavedStream *stack;
    int depth;
    bool overflow_reported;

    // The text of si_mark_text when it cannot be returned in place.
    unsigned char area[SI_MARK_AREA_SIZE];
    unsigned char *text_block;
    std::uint32_t text_capacity;

    // Include records.
    IncludeRecord *first_record;
    IncludeRecord *last_record;
    std::uint16_t include_level;
    StreamHandle main_stream;
    std::uint32_t line_offset;

    // The 0 and 3 bytes found in the block just read, reported once the block is in.
    IllegalByte illegal_found[SI_RING_SIZE];
    std::uint32_t illegal_count;
    // Reading for the message listing (si_set_listing), and the dropped bytes read since the
    // last byte kept while it is on.
    bool listing;
    std::uint64_t listing_dropped;

    ReadAhead ahead;
    // The ring's hints: from hints_begin (nullptr: none) to the fill point, while the ring
    // starts at hints_ring and is filled up to hints_fill, as the refill that made them left it.
    unsigned char *hints_begin;
    unsigned char *hints_ring;
    unsigned char *hints_fill;
};

StreamState si;

PoolId pool() { return mm_general_pool(); }

std::uint16_t clamp_column(std::uint32_t column) {
    return column > SI_MAX_COLUMN ? static_cast<std::uint16_t>(SI_MAX_COLUMN)
                                  : static_cast<std::uint16_t>(column);
}

Position here() {
    return Position{si_cursor.line, clamp_column(si_cursor.column), si_cursor.stream};
}

// Bytes from `from` forward to `to` in ring order; `end` stands for the start of the next lap.
std::uint32_t ring_distance(const unsigned char *from, const unsigned char *to) {
    std::ptrdiff_t d = to - from;
    if (d < 0) d += SI_RING_SIZE;
    return static_cast<std::uint32_t>(d);
}

unsigned char *ring_back(unsigned char *p, std::uint32_t count) {
    std::ptrdiff_t offset = (p - si.start) - static_cast<std::ptrdiff_t>(count);
    if (offset < 0) offset += SI_RING_SIZE;
    return si.start + offset;
}

// Line feeds among the bytes [from, to). The stretches are whole ring blocks of many short
// lines, where a search call per line costs more than counting 16 bytes at a time.
std::uint32_t count_newlines_in(const unsigned char *from, const unsigned char *to) {
    std::uint32_t count = 0;
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    while (to - from >= 16) {
        // Up to 255 loads are counted in the byte lanes (a match is -1), then summed.
        __m128i lanes = _mm_setzero_si128();
        for (int n = 0; n < 255 && to - from >= 16; ++n, from += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, newline));
        }
        __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; from < to; ++from) count += *from == '\n' ? 1U : 0U;
    return count;
}

// Line feeds among the bytes from `from` to `to` in ring order.
std::uint32_t count_newlines(const unsigned char *from, const unsigned char *to) {
    if (from <= to) return count_newlines_in(from, to);
    return count_newlines_in(from, si.end) + count_newlines_in(si.start, to);
}

// Moves `column` over the bytes [from, to), which lie in one piece.
void advance_column(const unsigned char *from, const unsigned char *to, std::uint32_t &column) {
    const auto *last = static_cast<const unsigned char *>(
        ::memrchr(from, '\n', static_cast<std::size_t>(to - from)));
    column = last == nullptr ? column + static_cast<std::uint32_t>(to - from)
                             : static_cast<std::uint32_t>(to - last);
}

// The line of the oldest retained byte: the read point's line less the line ends between the
// two. Counted only when asked for (a seek back), not each time the ring moves on.
std::uint32_t oldest_line() { return si_cursor.line - count_newlines(si.oldest, si_cursor.read); }

void reset_mark() {
    si_cursor.mark = si_cursor.read;
    si_cursor.mark_line = si_cursor.line;
    si_cursor.mark_column = si_cursor.column;
    si_cursor.lost = 0;
}

// ---- Fatal reading failures ---------------------------------------------------------------

// Both are reported without a position, so that no source line is shown for them.
[[noreturn]] void fail_beyond_end() {
    msg_param_string(si.table[si_cursor.stream].name, 's');
    fe_report(MSG_5EOF, POSITION_NULL);
    fe_fatal_exit();
}

// Lines and columns are counted in 32 bits; a count that would pass the largest ends the run.
[[noreturn]] void fail_uncountable(const char *text) {
    static_assert(SI_MAX_LINE == 4294967295u, "the number in the messages");
    msg_param_string(si.table[si_cursor.stream].name, 's');
    fe_message(msg_expand_params(text), "", nullptr, SEVERITY_FATAL);
    fe_fatal_exit();
}

[[noreturn]] void fail_read() {
    msg_param_string(si.table[si_cursor.stream].name, 's');
    fe_report(MSG_4READERROR, POSITION_NULL);
    fe_fatal_exit();
}

// Appends the `count` bytes just read from the source of `entry` to its spool. False when they
// could not all be written.
bool spool_append(StreamEntry &entry, const unsigned char *bytes, std::size_t count) {
    for (std::size_t done = 0; done < count;) {
        ssize_t written = ::pwrite(entry.fd, bytes + done, count - done,
                                   static_cast<off_t>(entry.spooled + static_cast<off_t>(done)));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    entry.spooled += static_cast<std::int64_t>(count);
    return true;
}

// A read of a spooled stream: from the spool behind its end, then from the source, whose bytes
// are appended to the spool before they are handed out. The read is whole, short only at the
// end of the input, as a read of a regular file is: a pipe's reads come back short wherever its
// writer paused, and the blocks, hence where 0 bytes are reported and where a run stopped by too
// many of them ends its output, would depend on that. A failed write to the spool is a failed
// read: the bytes could not be kept for a second reading.
std::ptrdiff_t read_spooled(StreamEntry &entry, void *into, std::size_t size, std::int64_t offset) {
    auto *bytes = static_cast<unsigned char *>(into);
    std::size_t done = 0;
    while (done < size) {
        std::int64_t at = offset + static_cast<std::int64_t>(done);
        ssize_t count;
        if (at < entry.spooled) {
            std::size_t held = static_cast<std::size_t>(entry.spooled - at);
            do {
                count = ::pread(entry.fd, bytes + done, std::min(size - done, held),
                                static_cast<off_t>(at));
            } while (count < 0 && errno == EINTR);
            if (count <= 0) return count < 0 ? -1 : static_cast<std::ptrdiff_t>(done);
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (entry.source < 0) break;
        assert(at == entry.spooled && "a spooled stream is read on from the end of its spool");
        do {
            count = ::read(entry.source, bytes + done, size - done);
        } while (count < 0 && errno == EINTR);
        if (count < 0) return -1;
        if (count == 0) {
            // The end of a pipe is final: from here on the spool is the whole file.
            ::close(entry.source);
            entry.source = -1;
            break;
        }
        if (!spool_append(entry, bytes + done, static_cast<std::size_t>(count))) return -1;
        done += static_cast<std::size_t>(count);
    }
    return static_cast<std::ptrdiff_t>(done);
}

// Every read and seek of a stream's descriptor goes through these two. A regular file is read
// where its descriptor stands when that is `offset` (so the descriptor's offset shows how far
// the file has been read), else at `offset` without moving the descriptor: the levels sharing
// it, and a file kept open between inclusions, need no seek. Anything else (standard input)
// is read where its descriptor stands, which seek_to has moved to `offset`.
std::ptrdiff_t read_file(StreamEntry &entry, void *into, std::size_t size, std::int64_t offset) {
    if (entry.spooled >= 0) return read_spooled(entry, into, size, offset);
    ssize_t count;
    bool positioned = entry.size >= 0 && entry.fd_offset != offset;
    assert((entry.size >= 0 || entry.fd_offset < 0 || entry.fd_offset == offset) &&
           "a stream that cannot be read at an offset stands where it is read");
    do {
        count = positioned ? ::pread(entry.fd, into, size, static_cast<off_t>(offset))
                           : ::read(entry.fd, into, size);
    } while (count < 0 && errno == EINTR);
    // A short read of a regular file found its end at that moment; any other read says nothing
    // about the end (the file may have grown since its size was taken).
    entry.end_seen = count >= 0 && entry.size >= 0 && offset + count == entry.size &&
                     static_cast<std::size_t>(count) < size;
    if (positioned) return count;
    if (count >= 0 && entry.fd_offset >= 0)
        entry.fd_offset += count;
    else
        entry.fd_offset = -1;
    return count;
}

// The length of the stretch at the start of `bytes` without CR, 0 or 3.
std::size_t clean_length(const unsigned char *bytes, std::size_t count) {
    const void *cr = std::memchr(bytes, '\r', count);
    if (cr != nullptr)
        count = static_cast<std::size_t>(static_cast<const unsigned char *>(cr) - bytes);
    for (int dropped : {0, SI_END_OF_STREAM}) {
        const void *hit = std::memchr(bytes, dropped, count);
        if (hit != nullptr)
            count = static_cast<std::size_t>(static_cast<const unsigned char *>(hit) - bytes);
    }
    return count;
}

// The next block of a large file is read by a thread of its own while the ring is fed from the
// current one: on a large input the read calls (the kernel copying the file's pages) are a
// sixth of a plain run, and the second processor takes them off its path. One read at a time,
// where the descriptor stands after the current block, into the other buffer; the stream's
// next block read takes it if it is that one, and otherwise waits for it and drops it. It is
// dropped too before a descriptor is closed (the number could name another file by the time it
// reads) and when the streams are reset. It reads with read(), so the descriptor's offset still
// shows how far the file has been read. Standard input, spooled and adopted files are read as
// before.
struct Reader {
    std::mutex lock;
    std::condition_variable changed;
    bool asked = false; // a read is under way or its result not yet taken
    bool done = false;
    // The read asked for.
    int fd = -1;
    std::int64_t offset = 0;
    unsigned char *into = nullptr;
    StreamHandle stream = STREAM_NULL;
    std::uint32_t size = 0;
    // The hints asked for: made by `maker` into `hints`, with the block before as context.
    const SiHintMaker *maker = nullptr;
    int slot = 0;
    const unsigned char *before = nullptr;
    std::size_t before_count = 0;
    unsigned char *hints = nullptr;
    // Its result: the count, or -1; the clean stretch at its start (clean_length); how much of
    // that has hints.
    std::ptrdiff_t count = 0;
    std::size_t clean = 0;
    std::size_t hinted = 0;
};

// Made once and never destroyed: at exit the thread may still wait on it.
Reader *reader = nullptr;
// Made when no thread could be started: every block is read where it is needed.
bool reader_unavailable = false;

void *run_reader(void *argument) {
    auto *r = static_cast<Reader *>(argument);
    std::unique_lock<std::mutex> hold(r->lock);
    for (;;) {
        r->changed.wait(hold, [r] { return r->asked && !r->done; });
        int fd = r->fd;
        unsigned char *into = r->into;
        std::uint32_t size = r->size;
        hold.unlock();
        ssize_t count;
        // At r->offset, where the descriptor stands.
        do {
            count = ::read(fd, into, size);
        } while (count < 0 && errno == EINTR);
        std::size_t clean = count > 0 ? clean_length(into, static_cast<std::size_t>(count)) : 0;
        // The asking thread waits for `done` before it touches the hints, the slot or `before`.
        std::size_t hinted =
            r->maker != nullptr && clean > 0
                ? r->maker->make(r->slot, r->before, r->before_count, into, clean, r->hints)
                : 0;
        hold.lock();
        r->count = count;
        r->clean = clean;
        r->hinted = hinted;
        r->done = true;
        r->changed.notify_all();
    }
}

// False when no thread could be started.
bool start_reader() {
    if (reader_unavailable) return false;
    // A child made by fork has no such thread (and what its parent's was reading is not its
    // own): it starts its own when it needs one.
    static bool fork_handler_added = false;
    if (!fork_handler_added) {
        pthread_atfork(nullptr, nullptr, [] { reader = nullptr; });
        fork_handler_added = true;
    }
    auto *r = new Reader;
    if (!host_start_thread(run_reader, r)) {
        delete r;
        reader_unavailable = true;
        return false;
    }
    reader = r;
    return true;
}

// Waits until the reader holds no read and forgets what it read. Its descriptor's offset is no
// longer known: the next read of that file is made at an offset.
void drop_read_ahead() {
    if (reader == nullptr || !reader->asked) return;
    std::unique_lock<std::mutex> hold(reader->lock);
    reader->changed.wait(hold, [] { return reader->done; });
    reader->asked = false;
    reader->done = false;
    if (si.initialized && reader->stream <= si.highest && si.table[reader->stream].fd == reader->fd)
        si.table[reader->stream].fd_offset = -1;
}

// Asks the reader for the next block at `offset` of the current stream's file, where its
// descriptor stands, into the buffer not in use, and for its hints, with the current block as
// their context.
void ask_read_ahead(const StreamEntry &entry, std::int64_t offset) {
    if (entry.fd_offset != offset) return;
    if (reader == nullptr && !start_reader()) return;
    const int slot = 1 - si.ahead.buffer;
    if (hint_maker != nullptr) hint_maker->prepare(slot);
    std::lock_guard<std::mutex> hold(reader->lock);
    reader->fd = entry.fd;
    reader->offset = offset;
    reader->into = ahead_buffers[slot] + AHEAD_KEPT;
    reader->size = read_ahead;
    reader->maker = hint_maker;
    reader->slot = slot;
    reader->before = si.ahead.data;
    reader->before_count = si.ahead.length;
    reader->hints = ahead_hints[slot] + AHEAD_KEPT;
    reader->stream = si_cursor.stream;
    reader->asked = true;
    reader->done = false;
    host_keep_helpers_apart();
    reader->changed.notify_all();
}

// The reader's read of `offset` of the current stream, once it is done: its count (-1 for a
// failure), `clean` and `hinted` (accepted by the hint maker). False, with any other read
// dropped, when it was not asked for.
bool take_read_ahead(std::int64_t offset, std::ptrdiff_t *count, std::size_t *clean,
                     std::size_t *hinted) {
    if (reader == nullptr || !reader->asked) return false;
    if (reader->stream != si_cursor.stream || reader->offset != offset ||
        reader->fd != si.table[si_cursor.stream].fd) {
        drop_read_ahead();
        return false;
    }
    std::unique_lock<std::mutex> hold(reader->lock);
    reader->changed.wait(hold, [] { return reader->done; });
    *count = reader->count;
    *clean = reader->clean;
    *hinted = reader->hinted;
    const SiHintMaker *maker = reader->maker;
    const int slot = reader->slot;
    reader->asked = false;
    reader->done = false;
    hold.unlock();
    if (*hinted > 0 && (maker != hint_maker || !maker->accept(slot))) *hinted = 0;
    StreamEntry &entry = si.table[si_cursor.stream];
    entry.fd_offset = *count >= 0 ? offset + *count : -1;
    return true;
}

// Whether the blocks after this one may be read by the reader: a regular file opened here.
bool read_ahead_allowed(const StreamEntry &entry) {
    return entry.spooled < 0 && !entry.adopted && si_cursor.stream != STREAM_STDIN;
}

// The hints of a block read here rather than by the reader: made at once when the blocks after
// it will be read by the reader (a large file), with the `before_count` bytes at `before` (the
// block before) as context.
std::size_t hint_here(int slot, const unsigned char *before, std::size_t before_count,
                      const unsigned char *bytes, std::size_t clean) {
    if (hint_maker == nullptr || clean == 0) return 0;
    hint_maker->prepare(slot);
    std::size_t hinted =
        hint_maker->make(slot, before, before_count, bytes, clean, ahead_hints[slot] + AHEAD_KEPT);
    return hinted > 0 && hint_maker->accept(slot) ? hinted : 0;
}

// The ring takes 1 KiB at a time once it has wrapped; a file larger than the ring is read in
// blocks into the read-ahead buffer and handed out from there, in the same pieces as reads of
// the file would give (a piece is short only at the end of the file).
// With `clean`, says whether the piece is known to hold no CR, 0 or 3 (searched for once
// per read-ahead block rather than in every piece); with `hints`, gives the piece's hints
// (nullptr when it has none).
std::ptrdiff_t read_retrying(StreamEntry &entry, void *into, std::size_t size, std::int64_t offset,
                             bool *clean = nullptr, const unsigned char **hints = nullptr) {
    if (clean != nullptr) *clean = false;
    if (hints != nullptr) *hints = nullptr;
    if (entry.size <= static_cast<std::int64_t>(SI_RING_SIZE))
        return read_file(entry, into, size, offset);
    ReadAhead &ahead = si.ahead;
    if (ahead.stream != si_cursor.stream || offset < ahead.start ||
        offset > ahead.start + ahead.length) {
        ahead.stream = si_cursor.stream;
        ahead.start = offset;
        ahead.length = 0;
        ahead.clean_end = offset;
        ahead.data = ahead_buffers[ahead.buffer] + AHEAD_KEPT;
        ahead.hints_from = ahead.hints_end = offset;
    }
    auto skip = static_cast<std::uint32_t>(offset - ahead.start);
    std::uint32_t held = ahead.length - skip;
    if (held < size) {
        // The next block goes into the other buffer, what is still to be handed out right in
        // front of it: read by the reader while this block was handed out, or now.
        assert(held < AHEAD_KEPT && "less than a ring is kept");
        std::int64_t next = offset + held;
        const int slot = 1 - ahead.buffer;
        unsigned char *fresh = ahead_buffers[slot] + AHEAD_KEPT;
        std::ptrdiff_t count = 0;
        std::size_t clean = 0;
        std::size_t hinted = 0;
        bool taken = take_read_ahead(next, &count, &clean, &hinted);
        // The first block of a file's reading has no block before it: its hints are made after
        // the reader has been asked for the next block, which it then reads meanwhile.
        bool hint_later = false;
        if (taken) {
            // As a read of the file would have found.
            entry.end_seen = count >= 0 && next + count == entry.size && count < read_ahead;
        } else {
            count = read_file(entry, fresh, read_ahead, next);
            if (count > 0 && ahead.clean_end >= next)
                clean = clean_length(fresh, static_cast<std::size_t>(count));
            if (count == read_ahead && read_ahead_allowed(entry)) {
                hint_later = ahead.length == 0;
                if (!hint_later) hinted = hint_here(slot, ahead.data, ahead.length, fresh, clean);
            }
        }
        if (count < 0) {
            ahead.stream = STREAM_NULL;
            return count;
        }
        std::memcpy(fresh - held, ahead.data + skip, held);
        ahead.buffer = slot;
        ahead.data = fresh - held;
        ahead.start = offset;
        ahead.length = held + static_cast<std::uint32_t>(count);
        // The clean stretch grows over the new bytes only while everything before was clean.
        if (ahead.clean_end >= next) ahead.clean_end = next + static_cast<std::int64_t>(clean);
        // The bytes kept from the block before lose their hints: they were made against the
        // other slot's names, which the hint maker no longer checks.
        ahead.hints_from = next;
        ahead.hints_end = next + static_cast<std::int64_t>(hinted);
        skip = 0;
        held = ahead.length;
        // A whole block may have more after it.
        if (count == read_ahead && read_ahead_allowed(entry)) ask_read_ahead(entry, next + count);
        if (hint_later) {
            hinted = hint_here(slot, nullptr, 0, fresh, clean);
            ahead.hints_end = next + static_cast<std::int64_t>(hinted);
        }
    }
    std::uint32_t given = held < size ? held : static_cast<std::uint32_t>(size);
    std::memcpy(into, ahead.data + skip, given);
    if (clean != nullptr) *clean = offset + given <= ahead.clean_end;
    if (hints != nullptr && offset >= ahead.hints_from && offset + given <= ahead.hints_end)
        *hints = ahead_hints[ahead.buffer] + (ahead.data - ahead_buffers[ahead.buffer]) + skip;
    return given;
}

bool move_to(StreamEntry &entry, std::int64_t offset) {
    if (::lseek(entry.fd, offset, SEEK_SET) < 0) {
        entry.fd_offset = -1;
        return false;
    }
    entry.fd_offset = offset;
    return true;
}

bool seek_to(StreamEntry &entry, std::int64_t offset) {
    // Regular files and spools are read at the offset asked for, see above.
    if (entry.size >= 0 || entry.spooled >= 0) return true;
    return move_to(entry, offset);
}

// ---- Refilling the ring -------------------------------------------------------------------

// Before a read writes `span` ring positions from `at` on (the read point was `before`), moves
// the oldest retained byte and the mark past every position the read may overwrite. The span
// is the most the read can write, so a short read may give up a few retained bytes early; that
// is harmless, since whatever is no longer retained is re-read from the file.
void clear_ahead(const unsigned char *before, unsigned char *at, std::uint32_t span) {
    std::uint32_t retained = ring_distance(si.oldest, before);
    if (retained == 0) {
        si.oldest = at;
        si.oldest_column = si_cursor.column;
    } else if (retained + span > SI_RING_SIZE) {
        // The overwritten stretch starts where the retained bytes end and runs over their oldest
        // part, which therefore lies in one piece.
        unsigned char *to = si.oldest + (retained + span - SI_RING_SIZE);
        assert(to <= si.end && "the overwritten retained bytes lie in one piece");
        advance_column(si.oldest, to, si.oldest_column);
        si.oldest = to == si.end ? si.start : to;
    }

    std::uint32_t marked = ring_distance(si_cursor.mark, before);
    if (marked == 0) {
        si_cursor.mark = at;
    } else if (marked + span > SI_RING_SIZE) {
        // The marked bytes about to be overwritten are counted as lost; mark_line and
        // mark_column keep naming the first marked byte, where si_mark_text re-reads from.
        std::uint32_t gone = marked + span - SI_RING_SIZE;
        si_cursor.lost += gone;
        unsigned char *to = si_cursor.mark + gone;
        si_cursor.mark = to >= si.end ? si.start : to;
    }
}

// After a block that ends in a CR, reads one byte ahead: true when it is an LF, which completes
// the pair; anything else is given back to the file. So a descriptor offset never falls between
// the CR and the LF of a pair, and a pair split by the block boundary is still one line end.
bool trailing_cr_pairs() {
    unsigned char next = 0;
    StreamEntry &entry = si.table[si_cursor.stream];
    std::ptrdiff_t got = read_retrying(entry, &next, 1, si.offset);
    if (got < 0) fail_read();
    if (got == 0) return false; // a lone CR at the end of the file
    if (next == '\n') {
        ++si.offset;
        return true;
    }
    if (!seek_to(entry, si.offset)) fail_read();
    return false;
}

// Takes the CR LF pairs of a block without 0 or 3 bytes as LF, moving whole stretches between CRs;
// `cr` is the block's first CR. Returns the bytes that remain.
std::uint32_t drop_cr_of_pairs(unsigned char *at, std::uint32_t count, unsigned char *cr) {
    unsigned char *const end = at + count;
    unsigned char *out = cr;
    const unsigned char *in = cr;
    while (in < end) {
        // `in` stands on a CR: it goes only when an LF follows.
        if (!(in + 1 < end && in[1] == '\n')) *out++ = *in;
        ++in;
        const void *next = std::memchr(in, '\r', static_cast<std::size_t>(end - in));
        const unsigned char *stop =
            next != nullptr ? static_cast<const unsigned char *>(next) : end;
        std::memmove(out, in, static_cast<std::size_t>(stop - in));
        out += stop - in;
        in = stop;
    }
    return static_cast<std::uint32_t>(out - at);
}

// Takes CR LF pairs as LF and drops 0 and 3 bytes from the `count` bytes read at `at`; returns
// how many remain. A dropped byte not reported before (its file offset is beyond the stream's
// high-water mark) is noted at the line and column it would have had, to be reported once the
// block is in.
std::uint32_t translate_block(unsigned char *at, std::uint32_t count, std::int64_t raw_offset) {
    auto *cr = static_cast<unsigned char *>(std::memchr(at, '\r', count));
    if (std::memchr(at, 0, count) == nullptr &&
        std::memchr(at, SI_END_OF_STREAM, count) == nullptr) {
        if (cr == nullptr) return count;
        return drop_cr_of_pairs(at, count, cr);
    }
    StreamEntry &entry = si.table[si_cursor.stream];
    std::uint32_t line = si_cursor.line;
    std::uint32_t column = si_cursor.column;
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        unsigned char c = at[i];
        if (c == 0 || c == SI_END_OF_STREAM) {
            if (!si.listing && raw_offset + i >= entry.illegal_checked)
                si.illegal_found[si.illegal_count++] =
                    IllegalByte{Position{line, clamp_column(column), si_cursor.stream}, c};
            continue;
        }
        if (c == '\r' && i + 1 < count && at[i + 1] == '\n') continue;
        at[kept++] = c;
        if (c == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    if (raw_offset + count > entry.illegal_checked) entry.illegal_checked = raw_offset + count;
    return kept;
}

// Reads the next block; the read point stands at the fill point.
void refill() {
    if (si.fd < 0) fail_beyond_end(); // the null stream holds no data at all
    ++si.blocks;
    const unsigned char *before = si_cursor.read;
    bool wrap = si.fill == si.end;
    unsigned char *at = wrap ? si.start : si_cursor.read;
    std::uint32_t room = wrap ? SI_REFILL_SIZE : static_cast<std::uint32_t>(si.end - at);
    // Once wrapped the block is followed by its 0 inside the ring; a block that reaches the end
    // has its 0 in the extra byte after the ring.
    std::uint32_t span = wrap ? SI_REFILL_SIZE + 1 : room;
    clear_ahead(before, at, span);
    si_cursor.read = at;

    StreamEntry &entry = si.table[si_cursor.stream];
    bool clean = false; // no CR and no 0 or 3 byte in the piece
    const unsigned char *hints = nullptr;
    si.hints_begin = nullptr;
    std::ptrdiff_t count = entry.end_seen && si.offset >= entry.size
                               ? 0
                               : read_retrying(entry, at, room, si.offset, &clean, &hints);
    if (count < 0) fail_read();
    if (count == 0) {
        if (si.at_end) fail_beyond_end();
        at[0] = SI_END_OF_STREAM;
        at[1] = 0;
        si.fill = at + 1;
        si.at_end = true;
        return;
    }
    std::int64_t raw_offset = si.offset;
    si.offset += count;
    // A pair split by the block's end: the block is translated without its CR, then ends in the
    // LF (a CR before that CR is lone and stays).
    bool split_pair = at[count - 1] == '\r' && trailing_cr_pairs();
    si.illegal_count = 0;
    auto body = static_cast<std::uint32_t>(count - (split_pair ? 1 : 0));
    std::uint32_t kept = clean ? body : translate_block(at, body, raw_offset);
    if (split_pair) at[kept++] = '\n';
    if (si.listing) {
        si.listing_dropped = kept > 0 ? 0 : si.listing_dropped + body;
        if (si.listing_dropped >= SI_LISTING_DROP_LIMIT) {
            at[0] = SI_END_OF_STREAM;
            at[1] = 0;
            si.fill = at + 1;
            si.at_end = true;
            return;
        }
    }
    // A block of nothing but dropped bytes leaves the ring empty; the reader, finding the 0 at the
    // fill point again, asks for the next block.
    si.fill = at + kept;
    *si.fill = 0;
    if (kept > 0) si.at_end = false;
    // The piece's hints, when it was taken as it stands; its 0 stops every hinted scan.
    if (clean && hints != nullptr && !si.listing) {
        unsigned char *ring_at = ring_hints + (at - si.start);
        std::memcpy(ring_at, hints, kept);
        ring_at[kept] = 0xFF;
        si.hints_begin = at;
        si.hints_ring = si.start;
        si.hints_fill = si.fill;
    }

    // Reported only now, with the ring consistent again: a report may end the run, and the
    // exit hooks list source lines through this interface.
    for (std::uint32_t k = 0; k < si.illegal_count; ++k) {
        msg_param_num(si.illegal_found[k].byte, 'd');
        fe_report(MSG_3ILLEGCHAR, si.illegal_found[k].position);
    }
    si.illegal_count = 0;

    // Lines and columns are counted in 32 bits. A block holds at most SI_RING_SIZE bytes, so
    // they are only looked at when a count comes that near the largest; a count that would pass
    // it ends the run rather than wrap to 0 and give every later position a wrong line.
    if (si_cursor.line > SI_MAX_LINE - SI_RING_SIZE &&
        count_newlines_in(at, at + kept) > SI_MAX_LINE - si_cursor.line)
        fail_uncountable("file '%s' has more than 4294967295 lines");
    if (si_cursor.column > SI_MAX_LINE - SI_RING_SIZE) {
        const void *newline = std::memchr(at, '\n', kept);
        std::uint32_t line_part =
            newline != nullptr
                ? static_cast<std::uint32_t>(static_cast<const unsigned char *>(newline) - at)
                : kept;
        if (line_part > SI_MAX_LINE - si_cursor.column)
            fail_uncountable("file '%s' has a line of more than 4294967295 columns");
    }
}

// ---- The stream table ---------------------------------------------------------------------

std::uint32_t name_hash(const char *name) {
    std::uint32_t hash = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p)
        hash = (hash ^ *p) * 16777619u;
    return hash;
}

void index_insert(std::uint16_t handle) {
    std::uint32_t slot = si.table[handle].hash & si.index_mask;
    while (si.index[slot] != 0) slot = (slot + 1) & si.index_mask;
    si.index[slot] = handle;
}

// Rebuilds the name index for a table of `capacity` entries, at most half full.
bool index_build(std::uint32_t capacity) {
    std::uint32_t size = 1;
    while (size < 2 * capacity) size <<= 1;
    auto *index =
        static_cast<std::uint16_t *>(mm_get_cvblock(pool(), size * sizeof(std::uint16_t)));
    if (index == nullptr) return false;
    mm_free_vblock(pool(), si.index);
    si.index = index;
    si.index_mask = size - 1;
    for (std::uint32_t h = 2; h <= si.highest; ++h)
        if (!si.table[h].adopted) index_insert(static_cast<std::uint16_t>(h));
    return true;
}

SiStatus grow_table() {
    std::uint32_t capacity = si.capacity + SI_TABLE_GROWTH;
    if (capacity >= TABLE_LIMIT) {
        capacity = si.capacity + SI_TABLE_GROWTH - 1;
        if (capacity >= TABLE_LIMIT) return SI_TABLE_FULL;
    }
    auto *table = static_cast<StreamEntry *>(
        mm_adjust_vblock(pool(), si.table, capacity * sizeof(StreamEntry)));
    if (table == nullptr) return SI_NO_BLOCK;
    si.table = table;
    si.capacity = capacity;
    return index_build(capacity) ? SI_OK : SI_NO_BLOCK;
}

const char *base_name_of(const char *name) {
    const char *slash = std::strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

// ---- The file stack -----------------------------------------------------------------------

void push_current() {
    SavedStream &saved = si.stack[++si.depth];
    saved.read = si_cursor.read;
    saved.fill = si.fill;
    saved.oldest = si.oldest;
    saved.at_end = si.at_end ? 1 : 0;
    saved.end = si.end;
    saved.start = si.start;
    saved.stream = si_cursor.stream;
    saved.line = si_cursor.line;
    saved.column = si_cursor.column;
    saved.oldest_column = si.oldest_column;
    saved.offset = si_cursor.stream == STREAM_NULL ? 0 : si.offset;
}

// Makes a saved state current; the descriptor comes from the stream's entry. The mark starts
// afresh at the read point: marks never survive a change of stream.
void restore_state(const SavedStream &saved) {
    si_cursor.read = saved.read;
    si.fill = saved.fill;
    si.oldest = saved.oldest;
    si.at_end = saved.at_end != 0;
    si.end = saved.end;
    si.start = saved.start;
    si_cursor.stream = saved.stream;
    si_cursor.line = saved.line;
    si_cursor.column = saved.column;
    si.oldest_column = saved.oldest_column;
    si.offset = saved.offset;
    si.fd = si.table[saved.stream].fd;
    reset_mark();
}

// Starts the current stream from its beginning with an empty ring.
void start_empty(unsigned char *buffer) {
    si.start = buffer;
    si.fill = buffer;
    si.oldest = buffer;
    *buffer = 0;
    si.at_end = false;
    si.offset = 0;
    si_cursor.read = buffer;
    si_cursor.line = 1;
    si_cursor.column = 1;
    si.oldest_column = 1;
    reset_mark();
}

// A file opened for reading: the descriptor to read, the size of a regular file (-1 for
// anything else) and, for a spooled file, the source that fills the spool (else -1).
struct OpenedFile {
    std::int32_t fd;
    std::int64_t size;
    std::int32_t source;
};

// Opens a file for reading; a directory is refused like a file that does not open (fd -1).
// A file that cannot be repositioned gets an unnamed spool file to read from; when none can be
// made, the file is refused rather than read without one.
OpenedFile open_file(const char *name) {
    OpenedFile opened{-1, -1, -1};
    int fd;
    do {
        fd = ::open(name, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return opened;
    struct stat status {};
    bool known = ::fstat(fd, &status) == 0;
    if (known && S_ISDIR(status.st_mode)) {
        ::close(fd);
        return opened;
    }
    bool regular = known && S_ISREG(status.st_mode);
    if (!regular && ::lseek(fd, 0, SEEK_CUR) < 0 && errno == ESPIPE) {
        int spool = host_open_scratch_file();
        if (spool < 0) {
            ::close(fd);
            return opened;
        }
        opened.source = fd;
        fd = spool;
    }
    opened.fd = fd;
    opened.size = regular ? static_cast<std::int64_t>(status.st_size) : -1;
    return opened;
}

// Makes an opened file the descriptor of `entry`, read from its start.
void adopt_file(StreamEntry &entry, const OpenedFile &opened) {
    entry.fd = opened.fd;
    entry.fd_offset = 0;
    entry.size = opened.size;
    entry.end_seen = false;
    entry.source = opened.source;
    entry.spooled = opened.source >= 0 ? 0 : -1;
}

// A ring for a stream being opened: a spare one, else a new block (null without memory).
unsigned char *take_ring() {
    if (si.spare_count > 0) return si.spare_rings[--si.spare_count];
    // Zero-filled: the slack and the part of the ring not yet read into are loaded by the
    // 16-byte scans (and never used), so they hold defined bytes.
    return static_cast<unsigned char *>(mm_get_cvblock(pool(), BUFFER_BLOCK));
}

// The ring of a stream that is closed, or was not opened after all.
void give_ring(unsigned char *ring) {
    if (si.spare_count < SPARE_RINGS)
        si.spare_rings[si.spare_count++] = ring;
    else
        mm_free_vblock(pool(), ring);
}

// Replaces the current state (the null stream, just opened) by a copy of the suspended level
// `level`, with its own copy of the ring, reading on from where that level stopped.
SiStatus resume_copy(int level) {
    const SavedStream &saved = si.stack[level];
    StreamEntry &entry = si.table[saved.stream];
    if (!seek_to(entry, saved.offset)) return SI_SEEK_FAILED;
    unsigned char *buffer = take_ring();
    if (buffer == nullptr) return SI_NO_BLOCK;
    std::memcpy(buffer, saved.start, BUFFER_BLOCK);
    --si.table[STREAM_NULL].open_count;
    restore_state(saved);
    auto relocate = [&](unsigned char *p) { return buffer + (p - saved.start); };
    si_cursor.read = relocate(saved.read);
    si.fill = relocate(saved.fill);
    si.oldest = relocate(saved.oldest);
    si.end = relocate(saved.end);
    si.start = buffer;
    reset_mark();
    ++entry.open_count;
    return SI_OK;
}

// ---- Seeking ------------------------------------------------------------------------------

bool position_before(std::uint32_t line_a, std::uint32_t column_a, std::uint32_t line_b,
                     std::uint32_t column_b) {
    return line_a != line_b ? line_a < line_b : column_a < column_b;
}

SiStatus restart() {
    if (!seek_to(si.table[si_cursor.stream], 0)) return SI_SEEK_FAILED;
    start_empty(si.start);
    return SI_OK;
}

// The read point has passed the end byte: another refill would be a read beyond the end.
bool exhausted() { return si_cursor.read == si.fill && si.at_end; }

// The most bytes forward_to searches for the end byte at once: a short seek stays short.
constexpr std::ptrdiff_t FORWARD_STRETCH = 4096;

// Moves forward to (line, column). The end byte and the line feed ending the target line are
// never consumed, so that a failed seek leaves the stream readable.
SiStatus forward_to(std::uint32_t line, std::uint32_t column) {
    // Whole lines are passed with memchr: listing the messages of a long file walks all of it.
    while (si_cursor.line < line) {
        unsigned char *p = si_cursor.read;
        if (*p == 0) {
            if (exhausted()) return SI_BEYOND_END;
            si_next_buffer();
            continue;
        }
        // The data runs without a 0 up to the fill point, or up to the ring's end when the
        // fill point lies behind the read point. A stretch of it at a time is searched for
        // the end byte, which is never passed.
        unsigned char *limit = p < si.fill ? si.fill : si.end;
        if (limit - p > FORWARD_STRETCH) limit = p + FORWARD_STRETCH;
        auto *end_byte = static_cast<unsigned char *>(std::memchr(p, SI_END_OF_STREAM, limit - p));
        unsigned char *data_end = end_byte != nullptr ? end_byte : limit;
        for (;;) {
            auto *newline = static_cast<unsigned char *>(std::memchr(p, '\n', data_end - p));
            if (newline == nullptr) break;
            p = newline + 1;
            si_cursor.column = 1;
            if (++si_cursor.line == line) break;
        }
        if (si_cursor.line == line) {
            si_cursor.read = p;
            break;
        }
        si_cursor.column += static_cast<std::uint32_t>(data_end - p);
        si_cursor.read = data_end;
        if (end_byte != nullptr) return SI_BEYOND_END;
    }
    while (si_cursor.column < column) {
        int c = *si_cursor.read;
        if (c == 0) {
            if (exhausted()) return SI_BEYOND_END;
            si_next_buffer();
            continue;
        }
        if (c == SI_END_OF_STREAM || c == '\n') return SI_BEYOND_END;
        ++si_cursor.read;
        ++si_cursor.column;
    }
    return SI_OK;
}

// si_seek with a full 32-bit column, so that positions on very long lines can be reached.
SiStatus seek_to(std::uint32_t stream, std::uint32_t line, std::uint32_t column) {
    if (!si.initialized) return SI_NOT_INITIALIZED;
    if (stream == STREAM_NULL || stream > si.highest) return SI_BAD_HANDLE;
    if (stream != si_cursor.stream) {
        SiStatus status = si_close_stream();
        if (status != SI_OK) return status;
        int level = -1;
        for (int k = si.depth; k >= 0; --k) {
            if (si.stack[k].stream == stream) {
                level = k;
                break;
            }
        }
        if (level >= 0) {
            status = si_open_stream(STREAM_NULL);
            if (status == SI_OK) status = resume_copy(level);
        } else {
            status = si_open_stream(static_cast<StreamHandle>(stream));
        }
        if (status != SI_OK) return status;
    }
    if (position_before(line, column, si_cursor.line, si_cursor.column)) {
        const std::uint32_t oldest = oldest_line();
        if (!position_before(line, column, oldest, si.oldest_column)) {
            si_cursor.read = si.oldest;
            si_cursor.line = oldest;
            si_cursor.column = si.oldest_column;
        } else {
            SiStatus status = restart();
            if (status != SI_OK) return status;
        }
    }
    return forward_to(line, column);
}

// The room for a mark text of `length` bytes: the static area, or a pool block kept for reuse.
unsigned char *text_room(std::uint32_t length) {
    if (length < SI_MARK_AREA_SIZE) return si.area;
    if (length > si.text_capacity) {
        mm_free_vblock(pool(), si.text_block);
        si.text_capacity = 0;
        si.text_block = static_cast<unsigned char *>(mm_get_vblock(pool(), length));
        if (si.text_block == nullptr) return nullptr;
        si.text_capacity = length;
    }
    return si.text_block;
}

void free_include_records() {
    if (si.record_pool != nullptr) mm_close_pool(si.record_pool);
    si.record_pool = nullptr;
    si.first_record = nullptr;
    si.last_record = nullptr;
}

} // namespace

// ---- Start and end ------------------------------------------------------------------------

SiStatus si_initialize() {
    if (si.initialized) return SI_OK;
    drop_read_ahead();
    si = StreamState{};
    si_cursor = SiCursor{};
    si.table =
        static_cast<StreamEntry *>(mm_get_vblock(pool(), SI_TABLE_GROWTH * sizeof(StreamEntry)));
    si.null_block = static_cast<unsigned char *>(mm_get_cvblock(pool(), 2 + SI_SCAN_SLACK));
    si.stack =
        static_cast<SavedStream *>(mm_get_vblock(pool(), SI_FILE_STACK_SIZE * sizeof(SavedStream)));
    si.capacity = SI_TABLE_GROWTH;
    si.highest = 1;
    if (si.table == nullptr || si.null_block == nullptr || si.stack == nullptr ||
        !index_build(si.capacity)) {
        mm_free_vblock(pool(), si.table);
        mm_free_vblock(pool(), si.null_block);
        mm_free_vblock(pool(), si.stack);
        mm_free_vblock(pool(), si.index);
        si = StreamState{};
        return SI_NO_BLOCK;
    }
    si.table[STREAM_NULL] =
        StreamEntry{NULL_STREAM_NAME, NULL_STREAM_NAME, -1, 0, 0, 0, -1, -1, false};
    si.table[STREAM_STDIN] = StreamEntry{STDIN_NAME, STDIN_NAME, 0, 0, 0, 0, -1, -1, false};

    // The null stream is current: no data, already at its end.
    si.fd = -1;
    si.end = si.null_block + 1;
    start_empty(si.null_block);
    si.at_end = true;
    si_cursor.stream = STREAM_NULL;
    si.depth = -1;
    si.initialized = true;
    return SI_OK;
}

SiStatus si_finalize() {
    if (!si.initialized) return SI_OK;
    SiStatus result = SI_OK;
    while (si.depth >= 0) {
        SiStatus status = si_close_stream();
        if (status != SI_OK && result == SI_OK) result = status;
    }
    mm_free_vblock(pool(), si.text_block);
    mm_free_vblock(pool(), si.stack);
    drop_read_ahead();
    for (std::uint32_t h = 2; h <= si.highest; ++h) {
        if (si.table[h].fd >= 0) ::close(si.table[h].fd);
        if (si.table[h].source >= 0) ::close(si.table[h].source);
        mm_free_vblock(pool(), const_cast<char *>(si.table[h].name));
    }
    mm_free_vblock(pool(), si.table);
    mm_free_vblock(pool(), si.index);
    mm_free_vblock(pool(), si.null_block);
    for (int i = 0; i < si.spare_count; ++i) mm_free_vblock(pool(), si.spare_rings[i]);
    free_include_records();
    si = StreamState{};
    si_cursor = SiCursor{};
    return result;
}

// ---- Streams ------------------------------------------------------------------------------

namespace {

// A new entry of the table for `name` (a copy kept whole, however long: it is never cut to fit
// a buffer), not open, not yet in the name index.
SiStatus add_entry(const char *name, StreamHandle *handle) {
    if (si.highest + 1u >= si.capacity) {
        SiStatus status = grow_table();
        if (status != SI_OK) return status;
    }
    std::size_t length = std::strlen(name);
    auto *copy = static_cast<char *>(mm_get_vblock(pool(), length + 1));
    if (copy == nullptr) return SI_NO_BLOCK;
    std::memcpy(copy, name, length + 1);
    std::uint16_t h = ++si.highest;
    si.table[h] = StreamEntry{copy, base_name_of(copy), -1, 0, 0, 0, -1, -1, false};
    *handle = static_cast<StreamHandle>(h);
    return SI_OK;
}

} // namespace

SiStatus si_lookup_stream(const char *name, StreamHandle *handle) {
    if (!si.initialized) return SI_NOT_INITIALIZED;
    if (name == nullptr) return SI_NULL_NAME;
    std::uint32_t hash = name_hash(name);
    for (std::uint32_t slot = hash & si.index_mask; si.index[slot] != 0;
         slot = (slot + 1) & si.index_mask) {
        const StreamEntry &entry = si.table[si.index[slot]];
        if (entry.hash == hash && std::strcmp(entry.name, name) == 0) {
            *handle = static_cast<StreamHandle>(si.index[slot]);
            return SI_OK;
        }
    }
    return SI_BAD_HANDLE;
}

SiStatus si_find_file(const char *name, StreamHandle *handle) {
    if (!si.initialized) return SI_NOT_INITIALIZED;
    if (name == nullptr) return SI_NULL_NAME;
    // A file open at some level, or idle, was found readable and is held open: no new check.
    // (The names of the null stream and standard input are not files held open.)
    if (si_lookup_stream(name, handle) == SI_OK && *handle > STREAM_STDIN &&
        si.table[*handle].fd >= 0)
        return SI_OK;
    OpenedFile opened = open_file(name);
    if (opened.fd < 0) return SI_OPEN_FAILED;
    SiStatus status = si_find_stream(name, handle);
    if (status != SI_OK || *handle <= STREAM_STDIN || si.table[*handle].fd >= 0) {
        // Not named, or a name that is not a file of ours (it opens as it always did).
        ::close(opened.fd);
        if (opened.source >= 0) ::close(opened.source);
        return status;
    }
    adopt_file(si.table[*handle], opened);
    ++si.idle_count;
    return SI_OK;
}

SiStatus si_find_stream(const char *name, StreamHandle *handle) {
    SiStatus found = si_lookup_stream(name, handle);
    if (found != SI_BAD_HANDLE) return found;
    SiStatus status = add_entry(name, handle);
    if (status != SI_OK) return status;
    si.table[*handle].hash = name_hash(name);
    index_insert(*handle);
    return SI_OK;
}

SiStatus si_adopt_file(const char *name, int fd, StreamHandle *handle) {
    if (!si.initialized) return SI_NOT_INITIALIZED;
    if (name == nullptr) return SI_NULL_NAME;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return SI_OPEN_FAILED;
    SiStatus added = add_entry(name, handle);
    if (added != SI_OK) return added;
    // Not entered in the name index: an #include of the same name means some other file.
    // The descriptor's offset is unknown (it was written through), so reads are positioned.
    StreamEntry &entry = si.table[*handle];
    entry.fd = fd;
    entry.size = static_cast<std::int64_t>(status.st_size);
    entry.adopted = true;
    return SI_OK;
}

SiStatus si_open_stream(StreamHandle handle) {
    if (!si.initialized) return SI_NOT_INITIALIZED;
    if (handle > si.highest) return SI_BAD_HANDLE;
    if (si.depth >= MAX_DEPTH) {
        // The first overflow ends the run. Should the exit hooks try to open a stream again
        // while they list the messages, they are refused instead, and fall back to plain output.
        if (!si.overflow_reported) {
            si.overflow_reported = true;
            fe_report(MSG_5STREAMOVF, here());
            fe_fatal_exit();
        }
        return SI_STACK_FULL;
    }
    StreamEntry &entry = si.table[handle];
    unsigned char *buffer;
    unsigned char *end;
    std::int32_t fd = -1;
    if (handle == STREAM_NULL) {
        buffer = si.null_block;
        end = buffer + 1;
    } else {
        buffer = take_ring();
        if (buffer == nullptr) return SI_NO_BLOCK;
        end = buffer + SI_RING_SIZE;
        *end = 0;
        if (handle == STREAM_STDIN || entry.open_count >= 1 || entry.adopted) {
            // Standard input, or a file open at an outer level: the descriptor is shared and
            // each level keeps its own offset in its saved state.
            fd = entry.fd;
            if (!seek_to(entry, 0)) {
                give_ring(buffer);
                return SI_SEEK_FAILED;
            }
        } else if (entry.fd >= 0) {
            // Idle: opened by si_find_file, or kept open since the file was last closed.
            assert((entry.size >= 0 || entry.fd_offset == 0) && "an idle stream reads from 0");
            fd = entry.fd;
            --si.idle_count;
        } else {
            OpenedFile opened = open_file(entry.name);
            if (opened.fd < 0) {
                give_ring(buffer);
                return SI_OPEN_FAILED;
            }
            adopt_file(entry, opened);
            fd = opened.fd;
        }
    }
    // A file read anew is not served from what was read ahead of an earlier inclusion.
    if (entry.open_count == 0 && si.ahead.stream == handle) {
        drop_read_ahead();
        si.ahead.stream = STREAM_NULL;
    }
    push_current();
    si.fd = fd;
    si.end = end;
    si_cursor.stream = handle;
    start_empty(buffer);
    ++entry.open_count;
    return SI_OK;
}

SiStatus si_close_stream() {
    if (!si.initialized) return SI_NOT_INITIALIZED;
    if (si.depth < 0) return SI_NOTHING_TO_CLOSE;
    StreamHandle closing = si_cursor.stream;
    StreamEntry &entry = si.table[closing];
    --entry.open_count;
    if (closing != STREAM_NULL) {
        give_ring(si.start);
        if (entry.open_count < 1 && closing != STREAM_STDIN && !entry.adopted) {
            // A spooled file stays open whatever its size: opened again by its name, a FIFO
            // would wait for a new writer and a pipe would go on where the last read stopped.
            if (entry.spooled >= 0 ||
                (entry.size >= 0 && entry.size <= IDLE_FILE_SIZE && si.idle_count < IDLE_FILES)) {
                ++si.idle_count;
            } else {
                if (si.ahead.stream == closing) si.ahead.stream = STREAM_NULL;
                drop_read_ahead();
                ::close(entry.fd);
                entry.fd = -1;
                entry.fd_offset = -1;
            }
        }
    }
    restore_state(si.stack[si.depth--]);
    if (si_cursor.stream != STREAM_NULL) {
        StreamEntry &resumed = si.table[si_cursor.stream];
        if (resumed.fd_offset != si.offset && !seek_to(resumed, si.offset)) return SI_SEEK_FAILED;
    }
    return SI_OK;
}

int si_stream_depth() { return si.depth + 1; }

StreamHandle si_highest_stream() { return static_cast<StreamHandle>(si.highest); }

bool si_stream_is_file(StreamHandle handle) {
    return handle > STREAM_STDIN && handle <= si.highest && !si.table[handle].adopted;
}

const char *si_stream_name(StreamHandle handle) {
    if (!si.initialized || handle > si.highest) return BAD_HANDLE_NAME;
    return si.table[handle].name;
}

const char *si_stream_base_name(StreamHandle handle) {
    if (!si.initialized || handle > si.highest) return BAD_HANDLE_NAME;
    return si.table[handle].base_name;
}

SiStatus si_include(StreamHandle handle) {
    if (!si.initialized) return SI_OPEN_FAILED;
    std::uint16_t saved_level = si.include_level;
    StreamHandle saved_main = si.main_stream;
    std::uint32_t saved_offset = si.line_offset;
    if (si.include_level == 0) si.main_stream = handle;
    si.line_offset += si_cursor.line - 1;
    ++si.include_level;
    if (si.record_pool == nullptr)
        si.record_pool = mm_open_pool("SI INCLUDE RECORDS", sizeof(IncludeRecord), 4096, 0);
    auto *record = static_cast<IncludeRecord *>(mm_get_fblock(si.record_pool));
    if (record == nullptr || si_open_stream(handle) != SI_OK) {
        if (record != nullptr) mm_free_fblock(si.record_pool, record);
        si.include_level = saved_level;
        si.main_stream = saved_main;
        si.line_offset = saved_offset;
        return SI_OPEN_FAILED;
    }
    *record = IncludeRecord{1,
                            si.include_level,
                            si_cursor.line + si.line_offset,
                            0,
                            handle,
                            1,
                            handle,
                            1,
                            si.main_stream,
                            nullptr,
                            si.last_record};
    if (si.last_record != nullptr)
        si.last_record->next = record;
    else
        si.first_record = record;
    si.last_record = record;
    return SI_OK;
}

const char *si_directory_prefix(const char *name) {
    if (name == nullptr) return nullptr;
    std::size_t length = std::strlen(name);
    if (length == 0 || name[length - 1] == '/') return name;
    auto *copy = static_cast<char *>(mm_get_vblock(pool(), length + 2));
    std::memcpy(copy, name, length);
    copy[length] = '/';
    copy[length + 1] = '\0';
    return copy;
}

// ---- Reading ------------------------------------------------------------------------------

void si_next_buffer() {
    assert(si.initialized && "the stream interface is initialised before reading");
    if (si_cursor.read == si.fill) {
        refill();
    } else if (si_cursor.read == si.end) {
        si_cursor.read = si.start; // after a back-up over the wrap point
    } else {
        // 0 bytes of a file are dropped when its block is read, and the fill point and the ring's
        // end are the only other places a 0 stands.
        assert(false && "no 0 byte inside the data");
        ++si_cursor.read;
    }
    if (si_cursor.mark == si.end) si_cursor.mark = si.start;
}

// Whether the ring's next block, `room` bytes, is held clean in the block read ahead: taken
// from there it needs no read, no translation and no message (a run that a message ends writes
// what the reader had written before reading the block, which this reading may not change).
bool next_block_held_clean(std::uint32_t room) {
    const StreamEntry &entry = si.table[si_cursor.stream];
    const ReadAhead &ahead = si.ahead;
    const std::int64_t from = si.offset;
    return entry.size > static_cast<std::int64_t>(SI_RING_SIZE) &&
           ahead.stream == si_cursor.stream && from >= ahead.start &&
           from + room <= ahead.start + ahead.length && from + room <= ahead.clean_end &&
           si_cursor.line <= SI_MAX_LINE - SI_RING_SIZE &&
           si_cursor.column <= SI_MAX_LINE - 2 * SI_RING_SIZE;
}

bool si_read_on_in_place(const unsigned char *end) {
    unsigned char *fill = si.fill;
    if (!si.initialized || end != fill || fill == si.end || si.at_end || si.fd < 0 || si.listing ||
        si_cursor.read > fill || !next_block_held_clean(static_cast<std::uint32_t>(si.end - fill)))
        return false;
    unsigned char *read = si_cursor.read;
    const std::uint32_t column = si_cursor.column;
    unsigned char *hints_begin = si.hints_begin;
    const bool hinted_to_fill =
        hints_begin != nullptr && si.hints_ring == si.start && si.hints_fill == fill;
    // As at the fill point when the reader gets there: the read point, its column and the mark
    // (nothing marked is overwritten).
    const std::uint32_t fill_column = column + static_cast<std::uint32_t>(fill - read);
    si_cursor.read = fill;
    si_cursor.column = fill_column;
    si_cursor.mark = fill;
    si_cursor.mark_line = si_cursor.line;
    si_cursor.mark_column = fill_column;
    si_cursor.lost = 0;
    refill();
    si_cursor.read = read;
    si_cursor.column = column;
    // The hints of the bytes before still hold, and the new block's follow them.
    if (hinted_to_fill && si.hints_begin == fill) si.hints_begin = hints_begin;
    return true;
}

std::uint32_t si_blocks_read() { return si.blocks; }

// ---- Scan hints ---------------------------------------------------------------------------

void si_set_hint_maker(const SiHintMaker *maker) {
    // A read under way was asked with the maker before: its hints are not taken (take_read_ahead).
    hint_maker = maker;
    si_drop_hints();
}

const unsigned char *si_read_hints() {
    // Valid while the ring is as the refill that made them left it, from where they start on.
    if (si.hints_begin == nullptr || si.hints_ring != si.start || si.hints_fill != si.fill ||
        si_cursor.read < si.hints_begin || si_cursor.read > si.fill)
        return nullptr;
    return ring_hints + (si_cursor.read - si.start);
}

int si_hint_slot() {
    // Whichever stream is current: a file included from the one read ahead comes back to it.
    const ReadAhead &ahead = si.ahead;
    return ahead.hints_end > ahead.hints_from ? ahead.buffer : -1;
}

void si_drop_hints() {
    si.ahead.hints_end = si.ahead.hints_from;
    si.hints_begin = nullptr;
}

void si_set_read_ahead_size(std::uint32_t size) {
    drop_read_ahead();
    si.ahead.stream = STREAM_NULL;
    read_ahead = size == 0 || size > READ_AHEAD_MAX ? READ_AHEAD_MAX
                 : size < SI_RING_SIZE              ? SI_RING_SIZE
                                                    : size;
}

int si_refill_char() {
    int c;
    while ((c = *si_cursor.read) == 0) si_next_buffer();
    return c;
}

void si_set_listing(bool on) {
    si.listing = on;
    si.listing_dropped = 0;
}

void si_line_too_long() {
    msg_param_num(static_cast<std::int32_t>(SI_MAX_COLUMN), 'm');
    fe_report(MSG_3TOOLONG, Position{si_cursor.line, 0xFFFF, si_cursor.stream});
}

SiStatus si_back_up(std::uint32_t count) {
    if (!si.initialized) return SI_NOT_INITIALIZED;
    if (count == 0) return SI_OK;
    if (count > ring_distance(si.oldest, si_cursor.read)) return SI_CANNOT_BACK_UP;
    unsigned char *from = si_cursor.read;
    unsigned char *to = ring_back(from, count);
    si_cursor.read = to;
    // Column - 1 bytes of the current line precede the read point: backing up over no more than
    // those stays on the line.
    if (count < si_cursor.column) {
        si_cursor.column -= count;
        return SI_OK;
    }
    si_cursor.line -= count_newlines(to, from);
    // The column is counted from the line feed before the read point, or from the oldest
    // retained byte, whose position is known, when the line began before it.
    std::uint32_t retained = ring_distance(si.oldest, to);
    const unsigned char *p = to;
    for (std::uint32_t k = 0; k < retained; ++k) {
        p = p == si.start ? si.end - 1 : p - 1;
        if (*p == '\n') {
            si_cursor.column = k + 1;
            return SI_OK;
        }
    }
    si_cursor.column = si.oldest_column + retained;
    return SI_OK;
}

SiStatus si_seek(Position target) { return seek_to(target.stream, target.line, target.column); }

static_assert(MSG_SOURCE_END == SI_END_OF_STREAM, "the printers know the end byte");

const MsgSourceReader si_message_reader = {
    si_stream_name,
    si_stream_base_name,
    [] { return si_open_stream(STREAM_NULL) == SI_OK; },
    [] { si_close_stream(); },
    si_set_listing,
    [](Position target) { return si_seek(target) == SI_OK; },
    [] { return si_get_char(); },
};

// ---- Marks and positions ------------------------------------------------------------------

std::uint32_t si_mark_length() {
    return ring_distance(si_cursor.mark, si_cursor.read) + si_cursor.lost;
}

const unsigned char *si_mark_text() {
    if (si_cursor.lost == 0) {
        if (si_cursor.mark <= si_cursor.read) return si_cursor.mark;
        // The text runs over the ring's end: copy its two pieces together.
        auto first = static_cast<std::uint32_t>(si.end - si_cursor.mark);
        auto second = static_cast<std::uint32_t>(si_cursor.read - si.start);
        unsigned char *text = text_room(first + second);
        if (text == nullptr) return si.area;
        std::memcpy(text, si_cursor.mark, first);
        std::memcpy(text + first, si.start, second);
        return text;
    }
    // Part of the text was overwritten by a refill: read it again from the file.
    std::uint32_t length = si_mark_length();
    unsigned char *text = text_room(length);
    if (text == nullptr) return si.area;
    if (seek_to(si_cursor.stream, si_cursor.mark_line, si_cursor.mark_column) != SI_OK)
        return si.area;
    si_set_mark();
    for (std::uint32_t i = 0; i < length; ++i) text[i] = static_cast<unsigned char>(si_get_char());
    return text;
}

Position si_current_position() { return here(); }

bool si_position_after(Position a, Position b) { return position_after(a, b); }

Position si_cumulative_to_position(std::uint32_t line) {
    if (si.first_record == nullptr || line == 0) return Position{0, 1, STREAM_NULL};
    const IncludeRecord *chosen = si.first_record;
    for (const IncludeRecord *r = si.first_record; r != nullptr; r = r->next)
        if (r->cumulative_line <= line) chosen = r;
    // A line before the first record's start would lie before its file: line 1 is the nearest.
    std::int64_t result = static_cast<std::int64_t>(chosen->physical_line) +
                          (static_cast<std::int64_t>(line) - chosen->cumulative_line);
    if (result < 1) result = 1;
    return Position{static_cast<std::uint32_t>(result), 1, chosen->physical_stream};
}

Position si_presented_position(Position position) {
    for (const IncludeRecord *r = si.last_record; r != nullptr; r = r->previous) {
        if (r->physical_stream != position.stream || r->physical_line > position.line) continue;
        if (r->presented_stream == r->physical_stream) return position;
        return Position{r->presented_line + (position.line - r->physical_line), position.column,
                        r->presented_stream};
    }
    return position;
}

// This file implements the preprocessor's output: one large buffer in front of the output
// stream, the newline and white-space rules, the line markers in their two forms, the writing of
// tokens read from the input or taken out of expansions, and the -g spacing table.
#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "fe/fe.h"
#include "fe/host.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

constexpr std::uint32_t OUTPUT_BUFFER_SIZE = 1 << 18;
// A marker line: newline, "#line ", ten digits, blank, newline; the name is copied on its own.
constexpr std::uint32_t MARKER_HEAD_SIZE = 24;

constexpr int count_spacing_rows() {
    int n = 0;
#define PP_SPACING(last, next) ++n;
#include "pp/pp_spacing.def"
#undef PP_SPACING
    return n;
}
static_assert(count_spacing_rows() == 126, "-g separates 126 pairs of kinds");

// The two output buffers: one is filled while the writer may hold the other. Kept out of
// OutputState, which a reset replaces with a fresh value.
char output_buffers[2][OUTPUT_BUFFER_SIZE];

struct OutputState {
    char *buffer = output_buffers[0]; // the buffer being filled
    std::uint32_t used = 0;
    bool suppressed = false;
    TokenKind last_output_kind = FIRST_TOKEN;
    std::uint32_t output_line = 0;
    std::uint8_t *spacing = nullptr; // TOKEN_KIND_COUNT squared flags, only under -g
    bool hook_added = false;         // the fatal-exit flush is installed once per process
    // Under fortran_spacing: an expansion ended with a token; the next token gets a blank
    // before it only when the -g table says the two would run together.
    bool spacing_pending = false;
    // A removed comment stood right before the next token: that token is joined to the text
    // before it, with no blank from the -g table.
    bool joined = false;
    // Folding (--fold): where the line being written starts in the buffer, whether a macro
    // was expanded on it, and whether its start has already gone out (it is then left as it
    // is). A partial line is kept in the buffer when the buffer is written out.
    bool folding = false;
    std::uint32_t line_start = 0;
    bool line_expanded = false;
    bool line_broken = false;
    char *fold_copy = nullptr; // OUTPUT_BUFFER_SIZE bytes under folding
    // A macro call continued over `&` lines up to this source line: its expansion and the rest
    // of its last line are written on the output line where the call began, without a marker;
    // the next line gets one. 0 when no call was continued.
    std::uint32_t merged_until = 0;
};

OutputState out;

// Keeps the reason of the first failed write for the report at the end (errno is long gone
// by then).
void note_write(std::size_t written, std::size_t length) {
    if (written != length && output_write_errno == 0) output_write_errno = errno != 0 ? errno : EIO;
}

// A full buffer is written by a thread of its own while the next one fills: on a large output
// the write calls (the kernel copying the text into the file) are a sixth of the run, and a
// second processor takes them off its path. Only one buffer is ever in its hands, so the text
// goes out in order; everything else that writes (the end of the run, a trace on the same
// file, a token larger than the buffer, a fatal exit) first waits until it is done. The thread
// starts at the first full buffer, so a run whose output fits in one never starts it.
struct OutputWriter {
    std::mutex lock;
    std::condition_variable changed;
    const char *data = nullptr; // the bytes being written; nullptr while idle
    std::size_t length = 0;
    std::FILE *stream = nullptr;
    int error = 0; // errno of its first failed write, taken up by the next wait
};

// Made once and never destroyed: at exit the thread may still wait on it.
OutputWriter *writer = nullptr;

// Made when a writer could not be started (no memory for its stack, no more threads): the run
// writes everything itself from then on.
bool writer_unavailable = false;

void *run_writer(void *argument) {
    auto *w = static_cast<OutputWriter *>(argument);
    std::unique_lock<std::mutex> hold(w->lock);
    for (;;) {
        w->changed.wait(hold, [w] { return w->data != nullptr; });
        const char *data = w->data;
        std::size_t length = w->length;
        std::FILE *stream = w->stream;
        hold.unlock();
        errno = 0;
        std::size_t written = std::fwrite(data, 1, length, stream);
        int error = written != length ? (errno != 0 ? errno : EIO) : 0;
        hold.lock();
        if (error != 0 && w->error == 0) w->error = error;
        w->data = nullptr;
        w->changed.notify_all();
    }
}

// The thread (host_start_thread) does not take the signals sent to the process (an interrupt,
// a hang-up): the main thread's handlers see them as before. Those its own writes raise (a
// closed pipe, a file-size limit) reach it, and the handlers act on them there as they would
// have. False when no thread could be started.
bool start_writer() {
    if (writer_unavailable) return false;
    // A child made by fork (a test's death test) has no such thread: its own starts when it
    // needs one, and what the parent's held is the parent's to write.
    static bool fork_handler_added = false;
    if (!fork_handler_added) {
        pthread_atfork(nullptr, nullptr, [] { writer = nullptr; });
        fork_handler_added = true;
    }
    auto *w = new OutputWriter;
    if (!host_start_thread(run_writer, w)) {
        delete w;
        writer_unavailable = true;
        return false;
    }
    writer = w;
    return true;
}

// Returns once the writer holds nothing; its failure, if any, becomes the run's.
void wait_for_writer() {
    if (writer == nullptr) return;
    std::unique_lock<std::mutex> hold(writer->lock);
    writer->changed.wait(hold, [] { return writer->data == nullptr; });
    if (writer->error != 0 && output_write_errno == 0) output_write_errno = writer->error;
    writer->error = 0;
}

// Hands the first `length` bytes of the buffer being filled to the writer and makes the other
// buffer the one filled; the caller sets what the new buffer holds. False, with nothing done,
// when there is no writer.
bool hand_over(std::uint32_t length) {
    if (writer == nullptr && !start_writer()) return false;
    wait_for_writer();
    {
        std::lock_guard<std::mutex> hold(writer->lock);
        writer->data = out.buffer;
        writer->length = length;
        writer->stream = output_stream;
    }
    host_keep_helpers_apart();
    writer->changed.notify_all();
    out.buffer = out.buffer == output_buffers[0] ? output_buffers[1] : output_buffers[0];
    return true;
}

// Whether the writer may take this run's output (set by pp_output_init): a file named on the
// command line, which is a regular file (the temporary one beside the target). Standard output
// and devices, pipes and terminals are written here: what else reaches them (a crash report
// on standard output, a reader that goes away) then comes in the order it always did.
bool writer_may_take = false;

// Writes the first `length` bytes of the buffer: at the writer when the buffer filled up,
// where the next one can fill meanwhile; here and now when the caller needs them out.
void write_buffer(std::uint32_t length, bool now) {
    if (length == 0 || output_stream == nullptr) return;
    if (!now && writer_may_take && hand_over(length)) return;
    wait_for_writer();
    note_write(std::fwrite(out.buffer, 1, length, output_stream), length);
}

void write_out(bool now) {
    write_buffer(out.used, now);
    if (out.used > out.line_start) out.line_broken = true;
    out.used = 0;
    out.line_start = 0;
}

void flush_buffer() { write_out(true); }

// Room in a full buffer: everything goes out, except under folding the line being written,
// which moves to the front of the next buffer so that it can still be folded when it ends.
void make_room() {
    if (!out.folding || out.line_start == 0 || out.line_start > out.used) {
        write_out(false);
        return;
    }
    const char *line = out.buffer + out.line_start;
    std::uint32_t kept = out.used - out.line_start;
    write_buffer(out.line_start, false);
    // To the front of the same buffer, or of the other one when the writer took this one.
    std::memmove(out.buffer, line, kept);
    out.used = kept;
    out.line_start = 0;
}

// Copies the first and the last `sizeof(Word)` bytes of [from, from + length), which may
// overlap, to the same places at `to`.
template <typename Word>
[[gnu::always_inline]] inline void copy_two_words(char *to, const char *from,
                                                  std::uint32_t length) {
    Word head, tail;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + length - sizeof tail, sizeof tail);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + length - sizeof tail, &tail, sizeof tail);
}

// Copies `length` bytes. Most tokens are a few bytes long, where a call of memcpy costs more
// than the copy: up to 16 bytes are moved as two overlapping words (or single bytes), which
// read and write only the bytes of [from, from + length) and [to, to + length).
[[gnu::always_inline]] inline void copy_bytes(char *to, const char *from, std::uint32_t length) {
    if (length > 16) {
        std::memcpy(to, from, length);
    } else if (length >= 8) {
        copy_two_words<std::uint64_t>(to, from, length);
    } else if (length >= 4) {
        copy_two_words<std::uint32_t>(to, from, length);
    } else if (length != 0) {
        to[0] = from[0];
        to[length / 2] = from[length / 2];
        to[length - 1] = from[length - 1];
    }
}

// Inlined everywhere: it is the whole cost of writing a line or a token.
[[gnu::always_inline]] inline void put(const char *bytes, std::uint32_t length) {
    if (out.suppressed) return;
    if (length > OUTPUT_BUFFER_SIZE - out.used) [[unlikely]] {
        make_room();
        if (length > OUTPUT_BUFFER_SIZE - out.used) flush_buffer();
        if (length > OUTPUT_BUFFER_SIZE) {
            wait_for_writer();
            note_write(std::fwrite(bytes, 1, length, output_stream), length);
            return;
        }
    }
    copy_bytes(out.buffer + out.used, bytes, length);
    out.used += length;
}

inline void put_char(char c) {
    if (out.suppressed) return;
    if (out.used == OUTPUT_BUFFER_SIZE) [[unlikely]]
        make_room();
    out.buffer[out.used++] = c;
}

void put_text(TextHandle handle) { put(text_string(handle), text_length(handle)); }

void put_folded(void *, const char *bytes, std::uint32_t length) { put(bytes, length); }

// The line being written ends: under folding, a line on which a macro was expanded is folded
// when it has grown past its form's limit. The folded line takes more output lines than its
// source line, so the next text gets a marker.
void fold_line() {
    out.line_expanded = false;
    bool broken = out.line_broken;
    out.line_broken = false;
    if (!out.folding || broken || out.suppressed) return;
    bool fixed = pp_fixed_form();
    std::int32_t limit = line_length != 0 ? line_length : fixed ? fixed_line_length : 132;
    std::uint32_t n = out.used - out.line_start;
    if (limit < 0 || n <= static_cast<std::uint32_t>(limit)) return;
    std::memcpy(out.fold_copy, out.buffer + out.line_start, n);
    out.used = out.line_start;
    if (pp_fold_line(out.fold_copy, n, fixed, limit, put_folded, nullptr) == 0) {
        put(out.fold_copy, n);
        return;
    }
    out.output_line = 0;
}

// Called right before the newline that ends a line of output.
[[gnu::always_inline]] inline void end_line() {
    if (out.line_expanded) [[unlikely]]
        fold_line();
}

// "\n# 12 " or "\n#line 12 ", then the quoted name of the file on top and a newline.
void write_marker(std::uint32_t line, bool ansi) {
    char head[MARKER_HEAD_SIZE];
    std::uint32_t n = 0;
    end_line(); // the marker's first newline ends the line being written
    head[n++] = '\n';
    head[n++] = '#';
    if (ansi) {
        std::memcpy(head + n, "line", 4);
        n += 4;
    }
    head[n++] = ' ';
    char digits[10];
    int d = 0;
    do {
        digits[d++] = static_cast<char>('0' + line % 10);
        line /= 10;
    } while (line != 0);
    while (d > 0) head[n++] = digits[--d];
    head[n++] = ' ';
    put(head, n);
    if (const PpFileRecord *file = pp_file_top(); file != nullptr) put_text(file->filename);
    put_char('\n');
    out.line_start = out.used;
}

void flush_at_fatal_exit(void *) { pp_output_flush(); }

// Plain -t and -d trace to standard output, where the text goes too: what the buffer holds was
// made before the trace line about to be written, so it goes first. A trace to another file
// leaves the buffer alone.
void flush_before_trace(std::FILE *trace) {
    if (output_stream == nullptr || out.used == 0) return;
    if (trace == output_stream) {
        flush_buffer(); // the stream keeps the order itself
    } else if (fileno(trace) == fileno(output_stream)) {
        // Two streams on one file: the earlier trace lines, then the text, go out now.
        std::fflush(trace);
        pp_output_flush();
    }
}

} // namespace

void pp_output_init() {
    // The command line has been read: the lexer learns how quotes are read.
    lex_set_fortran_literals(fortran_literals != 0);
    lex_set_fortran_operators(fortran_operators != 0);
    out.last_output_kind = FIRST_TOKEN;
    out.output_line = 0;
    pp_output_finish();
    if (token_spacing != 0 || fortran_spacing != 0) {
        out.spacing = static_cast<std::uint8_t *>(
            mm_get_cvblock(mm_general_pool(), TOKEN_KIND_COUNT * TOKEN_KIND_COUNT));
#define PP_SPACING(last, next) out.spacing[(last)*TOKEN_KIND_COUNT + (next)] = 1;
#include "pp/pp_spacing.def"
#undef PP_SPACING
    }
    out.folding = fold_lines != 0;
    struct stat info;
    writer_may_take = output_stream != nullptr && output_stream != stdout &&
                      fstat(fileno(output_stream), &info) == 0 && S_ISREG(info.st_mode);
    if (out.folding && out.fold_copy == nullptr)
        out.fold_copy = static_cast<char *>(mm_get_vblock(mm_general_pool(), OUTPUT_BUFFER_SIZE));
    fe_set_trace_hook(flush_before_trace);
    // Text already handed to the buffer reaches the output even when the run ends early.
    if (!out.hook_added) {
        fe_add_exit_hook(flush_at_fatal_exit, nullptr);
        out.hook_added = true;
    }
}

void pp_output_finish() {
    if (out.spacing != nullptr) mm_free_vblock(mm_general_pool(), out.spacing);
    out.spacing = nullptr;
    if (out.fold_copy != nullptr) mm_free_vblock(mm_general_pool(), out.fold_copy);
    out.fold_copy = nullptr;
}

bool pp_spacing_needed(TokenKind last, TokenKind next) {
    return out.spacing != nullptr && out.spacing[last * TOKEN_KIND_COUNT + next] != 0;
}

void pp_output_flush() {
    flush_buffer();
    if (output_stream != nullptr) std::fflush(output_stream);
}

void pp_output_suppress(bool suppress) { out.suppressed = suppress; }

void pp_write_expansion_end() {
    if (fortran_spacing == 0) {
        pp_write_separator();
        return;
    }
    out.spacing_pending =
        out.last_output_kind != TOKEN_HORIZ_WHITESPACE && out.last_output_kind != TOKEN_NEWLINE;
}

bool pp_output_spacing_pending() { return out.spacing_pending; }

void pp_note_expansion() { out.line_expanded = true; }

void pp_output_join() {
    out.spacing_pending = false;
    out.joined = true;
}

namespace {

// The blank owed to a token written right after an expansion, when the two would run together.
inline void settle_spacing(TokenKind next) {
    out.joined = false;
    if (!out.spacing_pending) [[likely]]
        return;
    out.spacing_pending = false;
    if (pp_spacing_needed(out.last_output_kind, next)) put_char(' ');
}

} // namespace

TokenKind pp_last_output_kind() { return out.last_output_kind; }

void pp_force_marker() { out.output_line = 0; }

void pp_output_merge_lines(std::uint32_t line) {
    if (line > out.merged_until) out.merged_until = line;
}

namespace {

// Whether text from source line `line` goes on the output line being written: a line of a
// continued macro call after the one the output is at.
inline bool merged_line(std::uint32_t line) {
    return out.merged_until != 0 && line > out.output_line && line <= out.merged_until &&
           out.output_line != 0;
}

} // namespace

std::uint32_t pp_output_line() { return out.output_line; }

void pp_marker_check(Position position, bool white_space) {
    if (position.line == out.output_line) [[likely]]
        return;
    if (output_unix_line == 0 && output_ansi_line == 0) return;
    if (merged_line(position.line)) return;
    // With both forms on, white space gets the #line form and tokens the short one.
    bool ansi = output_ansi_line != 0 && (output_unix_line == 0 || white_space);
    write_marker(position.line, ansi);
    out.output_line = position.line;
}

void pp_write_bytes(const char *bytes, std::uint32_t length) { put(bytes, length); }

void pp_write_comment_text(const char *bytes, std::uint32_t length) {
    out.spacing_pending = false;
    put(bytes, length);
    out.last_output_kind = TOKEN_COMMENT;
}

void pp_write_char(char c) { put_char(c); }

void pp_write_newline() {
    out.spacing_pending = false;
    out.joined = false;
    if (compress_newlines != 0 && out.last_output_kind == TOKEN_NEWLINE) return;
    end_line();
    put_char('\n');
    out.line_start = out.used;
    out.last_output_kind = TOKEN_NEWLINE;
    ++out.output_line;
    if (out.merged_until != 0) [[unlikely]] {
        // The output is behind the source by the lines the continued call took.
        out.merged_until = 0;
        out.output_line = 0;
    }
}

void pp_write_plain_line(Position position, const unsigned char *text, std::uint32_t length) {
    out.spacing_pending = false;
    if (length == 0) {
        pp_write_newline();
        return;
    }
    pp_marker_check(position, text[0] == ' ' || text[0] == '\t');
    put(reinterpret_cast<const char *>(text), length);
    // Text was written last, so the newline rule always writes this newline.
    put_char('\n');
    out.line_start = out.used;
    out.last_output_kind = TOKEN_NEWLINE;
    ++out.output_line;
}

void pp_write_plain_lines(Position position, const unsigned char *text, std::uint32_t length,
                          std::uint32_t lines) {
    out.spacing_pending = false;
    pp_marker_check(position, text[0] == ' ' || text[0] == '\t');
    put(reinterpret_cast<const char *>(text), length);
    out.line_start = out.used;
    out.last_output_kind = TOKEN_NEWLINE;
    out.output_line += lines;
}

void pp_write_plain_text(Position position, const unsigned char *text, std::uint32_t length,
                         TokenKind last) {
    // The copy leaves text that does not start with a blank to the lexer while a blank may be
    // owed (pp_output_spacing_pending).
    out.spacing_pending = false;
    pp_marker_check(position, text[0] == ' ' || text[0] == '\t');
    put(reinterpret_cast<const char *>(text), length);
    out.last_output_kind = last;
}

void pp_write_white_space(const CurrentToken *token) {
    out.spacing_pending = false;
    out.joined = false;
    pp_marker_check(token->position, true);
    put(reinterpret_cast<const char *>(si_mark_text()), si_mark_length());
    out.last_output_kind = TOKEN_HORIZ_WHITESPACE;
}

void pp_write_separator() {
    if (out.last_output_kind == TOKEN_HORIZ_WHITESPACE || out.last_output_kind == TOKEN_NEWLINE)
        return;
    pp_write_blank();
}

void pp_write_blank() {
    out.spacing_pending = false;
    out.joined = false;
    put_char(' ');
    out.last_output_kind = TOKEN_HORIZ_WHITESPACE;
}

void pp_write_token(const CurrentToken *token) {
    pp_marker_check(token->position, false);
    settle_spacing(token->kind);
    put_text(token->value);
    out.last_output_kind = token->kind;
}

void pp_write_lexeme(const CurrentToken *token, PpLexeme lexeme) {
    pp_marker_check(token->position, false);
    settle_spacing(token->kind);
    put(reinterpret_cast<const char *>(lexeme.text), lexeme.length);
    out.last_output_kind = token->kind;
}

namespace {

// What comes before an expanded token: a marker when its line is not the output line, else
// the blank it asks for.
inline void before_expanded(Position position, TokenKind kind, std::uint8_t spaced) {
    bool markers = output_unix_line != 0 || output_ansi_line != 0;
    out.spacing_pending = false;
    bool joined = out.joined;
    out.joined = false;
    if (markers && position.line != out.output_line && !merged_line(position.line)) {
        pp_marker_check(position, false);
    } else if (spaced == 1 || (!joined && pp_spacing_needed(out.last_output_kind, kind))) {
        put_char(' ');
    }
}

} // namespace

void pp_write_expanded_token(const CurrentToken *token, std::uint8_t spaced) {
    before_expanded(token->position, token->kind, spaced);
    put_text(token->value);
    out.last_output_kind = token->kind;
}

void pp_write_expanded_text(Position position, TokenKind first, std::uint8_t spaced,
                            const char *text, std::uint32_t length, TokenKind last) {
    before_expanded(position, first, spaced);
    put(text, length);
    out.last_output_kind = last;
}

namespace {

// One run after an expansion's first token. What before_expanded clears and the marker it may
// write were settled by that token, on the same line.
void write_expanded_run(const PpExpandedRun &run) {
    if (run.spaced == 1 || pp_spacing_needed(out.last_output_kind, run.first)) put_char(' ');
    put(run.text, run.length);
    out.last_output_kind = run.last;
}

} // namespace

void pp_write_expanded_runs(const PpExpandedRun *runs, std::uint32_t count) {
    // The room for the runs and a blank before each, when the buffer has it, is checked once.
    // Otherwise (or while the output is suppressed) each goes its own way, making room where
    // it would: when the buffer is made room in decides which lines are folded.
    std::uint64_t most = count;
    for (std::uint32_t i = 0; i < count; ++i) most += runs[i].length;
    if (out.suppressed || most > OUTPUT_BUFFER_SIZE - out.used) {
        for (std::uint32_t i = 0; i < count; ++i) write_expanded_run(runs[i]);
        return;
    }
    char *to = out.buffer + out.used;
    TokenKind last = out.last_output_kind;
    for (std::uint32_t i = 0; i < count; ++i) {
        const PpExpandedRun &run = runs[i];
        if (run.spaced == 1 || pp_spacing_needed(last, run.first)) *to++ = ' ';
        copy_bytes(to, run.text, run.length);
        to += run.length;
        last = run.last;
    }
    out.used = static_cast<std::uint32_t>(to - out.buffer);
    out.last_output_kind = last;
}

void pp_output_reset() {
    wait_for_writer(); // it may still read a buffer
    out = OutputState{};
}

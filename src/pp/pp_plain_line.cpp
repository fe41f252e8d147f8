// This file implements the plain-line copy of the scanning loop: a source line whose bytes every
// token would write unchanged is found by one pass over the read buffer and written whole,
// without lexing it token by token. Any byte that could change the text or draw a message
// leaves the line to the lexer.
#include <array>
#include <atomic>
#include <cassert>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The hint maker's 32-byte compares, chosen at run time where the processor has them.
#if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TFPP_WIDE_HINTS 1
#include <immintrin.h>
#else
#define TFPP_WIDE_HINTS 0
#endif

#include "fe/fe.h"
#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// How the line scan treats each byte.
enum PlainClass : std::uint8_t {
    PLAIN_OTHER,   // written as it stands by whatever token holds it
    PLAIN_STOP,    // needs the lexer: see make_classes
    PLAIN_NEWLINE, // the end of the line
    PLAIN_SLASH,   // a comment opener when a `*` (or, with -B, a `/`) follows
    PLAIN_QUOTE,   // opens or closes a character or string constant
    PLAIN_START,   // a letter or `_`: may start a name that -m must look up
    PLAIN_DIGIT,   // starts a number, which takes every letter and digit after it
    PLAIN_BANG,    // under fortran_comments: a `!` that may start a Fortran comment
};

// `names`: under -m; `bang`: `!` may start a Fortran comment (fortran_comments); `question`:
// `?` starts no trigraph (fortran_lines); `backslash`: `\` continues nothing and escapes
// nothing (fortran_lines with fortran_literals).
constexpr std::array<std::uint8_t, 256>
make_classes(bool names, bool bang = false, bool question = false, bool backslash = false) {
    std::array<std::uint8_t, 256> classes{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t k = PLAIN_OTHER;
        // The 0 byte (the end of the buffered data, or a byte the stream layer reports), the
        // end marker, form feed, vertical tab and carriage return (white space that draws
        // messages on directive lines), the other control bytes, bytes above 0x7E, `\` and
        // `?` (continuations and trigraphs), `#` (directives, `##`), `$` (the dollar rule)
        // and `@` and backquote (no token of their own).
        if (c < 0x20 || c >= 0x7F || c == '\\' || c == '?' || c == '#' || c == '$' || c == '@' ||
            c == '`')
            k = PLAIN_STOP;
        if (c == '\t') k = PLAIN_OTHER;
        if ((question && c == '?') || (backslash && c == '\\')) k = PLAIN_OTHER;
        if (bang && c == '!') k = PLAIN_BANG;
        if (c == '\n') k = PLAIN_NEWLINE;
        if (c == '/') k = PLAIN_SLASH;
        if (c == '\'' || c == '"') k = PLAIN_QUOTE;
        // Names and numbers only matter when -m must look names up.
        if (names && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'))
            k = PLAIN_START;
        if (names && c >= '0' && c <= '9') k = PLAIN_DIGIT;
        classes[static_cast<std::size_t>(c)] = k;
    }
    return classes;
}

constexpr std::array<std::uint8_t, 256> plain_class = make_classes(false);
constexpr std::array<std::uint8_t, 256> name_class = make_classes(true); // under -m

// The tables of the Fortran-mode lines, by bit: 1 names, 2 bang, 4 question, 8 backslash.
constexpr std::array<std::array<std::uint8_t, 256>, 16> make_fortran_classes() {
    std::array<std::array<std::uint8_t, 256>, 16> tables{};
    for (int i = 0; i < 16; ++i)
        tables[static_cast<std::size_t>(i)] =
            make_classes((i & 1) != 0, (i & 2) != 0, (i & 4) != 0, (i & 8) != 0);
    return tables;
}
constexpr std::array<std::array<std::uint8_t, 256>, 16> fortran_classes = make_fortran_classes();

// The table for the text outside constants (`names` under -m) and the one inside them.
struct PlainTables {
    const std::uint8_t *outside;
    const std::uint8_t *inside;
};

inline PlainTables plain_tables(bool names) {
    if ((fortran_comments | fortran_lines) == 0) [[likely]]
        return {names ? name_class.data() : plain_class.data(), plain_class.data()};
    std::size_t bits =
        (fortran_lines != 0 ? 4U : 0U) | (fortran_lines != 0 && fortran_literals != 0 ? 8U : 0U);
    std::size_t outside = bits | (names ? 1U : 0U) | (fortran_comments != 0 ? 2U : 0U);
    return {fortran_classes[outside].data(), fortran_classes[bits].data()};
}

// Moves *p to the newline of its line; false when the buffered data or the input ends first,
// *p then at the 0 or the end marker. Comment lines are long runs of text: 16 bytes are tested
// at a time, up to the first newline, 0 or end marker (the 0 that ends the buffered data stops
// the loads before the ring's slack).
inline bool rest_of_line(const unsigned char **p) {
    const unsigned char *q = *p;
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i end_marker = _mm_set1_epi8(SI_END_OF_STREAM);
    for (;;) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
        __m128i hit = _mm_or_si128(
            _mm_cmpeq_epi8(v, newline),
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_cmpeq_epi8(v, end_marker)));
        if (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit)); mask != 0) {
            q += __builtin_ctz(mask);
            break;
        }
        q += 16;
    }
#else
    while (*q != '\n' && *q != 0 && *q != SI_END_OF_STREAM) ++q;
#endif
    *p = q;
    return *q == '\n';
}

// The buffered data end at `p` in the line being copied: true when the next block was read
// right after them in the ring (si_read_on_in_place), so that the line can be scanned again
// whole from its start. At the ring's end the next block goes to its start: the copy stops.
inline bool read_on(const unsigned char *p) { return *p == 0 && si_read_on_in_place(p); }

// rest_of_line for a comment the copy takes: false when the copy must stop (the data or the
// input ends first and no block can be read on), else *p at the newline, or *again set when the
// line goes on in a block read after it.
inline bool to_line_end(const unsigned char **p, bool *again) {
    if (rest_of_line(p)) return true;
    *again = read_on(*p);
    return *again;
}

static_assert(plain_class[0] == PLAIN_STOP && plain_class[SI_END_OF_STREAM] == PLAIN_STOP);
static_assert(plain_class[' '] == PLAIN_OTHER && plain_class['\t'] == PLAIN_OTHER);
static_assert(plain_class['a'] == PLAIN_OTHER && name_class['a'] == PLAIN_START);

// Letters, digits and `_`: the bytes a name or a number runs over.
constexpr std::array<bool, 256> make_name_bytes() {
    std::array<bool, 256> bytes{};
    for (int c = 0; c < 256; ++c)
        bytes[static_cast<std::size_t>(c)] =
            name_class[static_cast<std::size_t>(c)] == PLAIN_START ||
            name_class[static_cast<std::size_t>(c)] == PLAIN_DIGIT;
    return bytes;
}

constexpr std::array<bool, 256> name_bytes = make_name_bytes();

inline bool name_byte(unsigned char c) { return name_bytes[c]; }

// The byte classes the scans below test 16 bytes at a time. Every class table differs from
// plain_class only in the bytes of these four sets (make_classes), so one set of switches per
// table says which of them stop the scan.
struct StopSet {
    bool names;     // letters, digits and `_` (under -m)
    bool bang;      // `!` (fortran_comments)
    bool question;  // `?` (not under fortran_lines)
    bool backslash; // `\` (not under fortran_lines with fortran_literals)
};

constexpr StopSet stop_set_of(const std::uint8_t *classes) {
    return StopSet{classes['a'] != PLAIN_OTHER, classes['!'] != PLAIN_OTHER,
                   classes['?'] != PLAIN_OTHER, classes['\\'] != PLAIN_OTHER};
}

// Advances over the bytes of class PLAIN_OTHER, four at a time. Every byte is read only after
// the ones before it proved ordinary, so the scan never passes the 0 byte that ends the data.
// Used where stops come every few bytes (the names under -m), where testing 16 bytes at once
// costs more than it saves.
inline const unsigned char *skip_table(const unsigned char *p, const std::uint8_t *classes) {
    for (;;) {
        if (classes[p[0]] != PLAIN_OTHER) return p;
        if (classes[p[1]] != PLAIN_OTHER) return p + 1;
        if (classes[p[2]] != PLAIN_OTHER) return p + 2;
        if (classes[p[3]] != PLAIN_OTHER) return p + 3;
        p += 4;
    }
}

#if defined(__SSE2__)
// The bytes the optional sets of a StopSet add, ready for the 16-byte compares; a set that is
// off compares with 0, which stops the scan anyway. Set up once for a loop of such compares.
struct StopBytes {
    __m128i question, backslash, bang;
};

inline StopBytes stop_bytes_of(const StopSet &stops) {
    return StopBytes{_mm_set1_epi8(stops.question ? '?' : 0),
                     _mm_set1_epi8(stops.backslash ? '\\' : 0),
                     _mm_set1_epi8(stops.bang ? '!' : 0)};
}

// Byte i all ones when byte i of the 16 at p is not of class PLAIN_OTHER in a table without
// names whose optional sets give `extra`, else 0.
[[gnu::always_inline]] inline __m128i stop_hits16(const unsigned char *p, const StopBytes &extra) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    // Control bytes but the tab and, as negative numbers, the bytes above 0x7F; then 0x7F.
    __m128i hit = _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                   _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
    // `"`, `#` and `$` are 0x22 to 0x24; `@` and backquote are 0x40 and 0x60.
    hit = _mm_or_si128(hit, _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x21)),
                                          _mm_cmplt_epi8(v, _mm_set1_epi8(0x25))));
    hit = _mm_or_si128(hit,
                       _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x60)));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('/')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, extra.question));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, extra.backslash));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, extra.bang));
    return hit;
}

// Bit i set when byte i of the 16 at p is not of class PLAIN_OTHER in a table without names
// whose optional sets give `extra`.
[[gnu::always_inline]] inline unsigned stop_mask16(const unsigned char *p, const StopBytes &extra) {
    return static_cast<unsigned>(_mm_movemask_epi8(stop_hits16(p, extra)));
}

// Bit i set when byte i of the 16 at p is not of class PLAIN_OTHER in a table without names
// whose other sets are those of `stops`.
inline unsigned stop_mask16(const unsigned char *p, const StopSet &stops) {
    return stop_mask16(p, stop_bytes_of(stops));
}

// skip_table for a table without names, 16 bytes at a time: long stretches of ordinary text
// (default mode, constants). The 0 that ends the buffered data stops it, and the ring has
// SI_SCAN_SLACK bytes after that 0, so the loads stay inside.
inline const unsigned char *skip_other(const unsigned char *p, const std::uint8_t *classes,
                                       const StopSet &stops) {
    if (stops.names) return skip_table(p, classes);
    for (;;) {
        unsigned mask = stop_mask16(p, stops);
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
}
// Advances over letters, digits and `_`, 16 bytes at a time: no branch on each byte, whose
// mispredicted exit at the end of every name costs more than the wide test.
// Bits i set when byte i of the 16 at p may start a name (a letter or `_`: `starts`) and when
// it is a name byte (those and the digits: `names`).
struct NameMasks {
    unsigned starts;
    unsigned names;
};

[[gnu::always_inline]] inline NameMasks name_masks16(const unsigned char *p) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i lower = _mm_or_si128(v, _mm_set1_epi8(0x20));
    // Signed compares: bytes above 0x7F are negative and fall outside both ranges.
    __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)),
                                   _mm_cmplt_epi8(lower, _mm_set1_epi8('z' + 1)));
    __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)),
                                  _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    __m128i start = _mm_or_si128(letter, _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
    return NameMasks{static_cast<unsigned>(_mm_movemask_epi8(start)),
                     static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(start, digit)))};
}

inline const unsigned char *skip_name(const unsigned char *p) {
    for (;;) {
        unsigned other = ~name_masks16(p).names & 0xFFFFU;
        if (other != 0) return p + __builtin_ctz(other);
        p += 16;
    }
}
#else
inline const unsigned char *skip_other(const unsigned char *p, const std::uint8_t *classes,
                                       const StopSet &) {
    return skip_table(p, classes);
}

inline const unsigned char *skip_name(const unsigned char *p) {
    while (name_byte(*p)) ++p;
    return p;
}
#endif

struct PlainLineState {
    bool enabled = true;            // off only in tests that compare the two ways of reading
    std::uint64_t copied = 0;       // lines written whole
    std::uint64_t hinted_walks = 0; // calls of walk_hinted_lines
    // The macro name the copy stopped before, by its place in the read buffer: the lexer
    // reads it next and the scanning loop takes its handle from here (pp_take_noted_name).
    const unsigned char *noted_text = nullptr;
    std::uint32_t noted_length = 0;
    TextHandle noted_handle = TEXT_NULL;
    // A line that ended a copy of several lines, and what was found there (stop_at).
    const unsigned char *resume_line = nullptr;
    const unsigned char *resume_name = nullptr;
    const unsigned char *resume_after_quote = nullptr;
    // A copy stopped at the end of the buffered data in mid-line (the lexer reads on from the
    // last token there, across the refill), and the count of blocks read at that moment.
    bool seam = false;
    std::uint32_t seam_blocks = 0;
    // A copy of the rest of a line refused at this place because the token there may need a
    // blank before it: once the lexer has read that token, the rest is copied again
    // (pp_plain_rest_after_token).
    bool refused = false;
    std::uint32_t refused_line = 0;
    std::uint32_t refused_column = 0;
};

PlainLineState plain;

// True when the name names a macro, which is then noted.
bool names_macro(const unsigned char *text, std::uint32_t length) {
    TextHandle handle = pp_macro_name_handle(text, length);
    if (handle == TEXT_NULL) return false;
    plain.noted_text = text;
    plain.noted_length = length;
    plain.noted_handle = handle;
    return true;
}

// The name that starts at `name` (its end in *end): true when it names a macro, which is then
// noted. The first filter, by first byte and length, is asked here, inline.
[[gnu::always_inline]] inline bool
macro_name_at(const unsigned char *name, const std::uint32_t *shapes, const unsigned char **end) {
    *end = skip_name(name + 1);
    const auto length = static_cast<std::uint32_t>(*end - name);
    return pp_shape_may_name_macro(shapes, name, length) && names_macro(name, length);
}

// Writes the text from the read point up to the last blank before a macro name, the bytes of
// whole tokens and white space, and moves the read point there: the lexer goes on from a token
// boundary with white space written last, as it would after reading those tokens itself.
// Nothing when no blank outside a constant precedes the name on this stretch.
// A name right after a `(` or `,` outside constants is cut there instead: the text then ends
// in that token, whose kind the output takes as the lexer's writing of it would leave it.
// (Only before a name: the cut at the end of the buffered data, whose `name` is the blank or
// the 0 after the line's last token there, always leaves that token to the lexer.)
PpPlainLine copy_before_name(const unsigned char *start, const unsigned char *after_quote,
                             const unsigned char *name) {
    const unsigned char *cut = name;
    TokenKind last = TOKEN_HORIZ_WHITESPACE;
    if (name_class[*name] == PLAIN_START && name > after_quote &&
        (name[-1] == '(' || name[-1] == ',')) {
        last = name[-1] == '(' ? TOKEN_LPAREN : TOKEN_COMMA;
    } else {
        while (cut > after_quote && cut[-1] != ' ' && cut[-1] != '\t') --cut;
        if (cut == after_quote) return PP_PLAIN_NONE; // at the start, or right after a constant
    }
    Position position{si_cursor.line, static_cast<std::uint16_t>(si_cursor.column),
                      si_cursor.stream};
    std::uint32_t length = static_cast<std::uint32_t>(cut - start);
    pp_write_plain_text(position, start, length, last);
    si_cursor.read = const_cast<unsigned char *>(cut);
    si_cursor.column += length;
    return PP_PLAIN_PART;
}

// Whole lines copied one after another, written together: the bytes of a line that keeps every
// byte up to its newline are those of the output, so a stretch of such lines goes to the
// output in one piece rather than line by line. Any other write waits until it has gone out.
struct LineRun {
    const unsigned char *text = nullptr;
    std::uint32_t length = 0; // with the newlines
    std::uint32_t lines = 0;
    Position position{}; // the first line's
};

// Adds the line of `length` bytes at `line` (its newline right after) to the run.
inline void extend_run(LineRun &run, const unsigned char *line, std::uint32_t length,
                       Position position) {
    if (run.lines == 0) {
        run.text = line;
        run.position = position;
    }
    assert(line == run.text + run.length && "the lines of a run follow one another");
    run.length += length + 1;
    ++run.lines;
}

void write_run(LineRun &run) {
    if (run.lines == 0) return;
    pp_write_plain_lines(run.position, run.text, run.length, run.lines);
    run.lines = 0;
    run.length = 0;
}

// Before `end`, the end of the buffered data: just past the last byte that is not a blank,
// so that copy_before_name cuts before the token that byte ends and no blank the newline rule
// would drop is written. (The scan starts no later than `after_quote`.)
const unsigned char *last_token_start(const unsigned char *after_quote, const unsigned char *end) {
    while (end > after_quote && (end[-1] == ' ' || end[-1] == '\t')) --end;
    return end;
}

// The end of a copy at the line starting at `line`, which it cannot take whole: with no line
// copied before it, what the copy gives there (the text before the macro name `name`, or
// nothing); after copied lines, what the last of them gave, the outcome at `line` kept for the
// next call, which the scanning loop makes at once from there.
PpPlainLine stop_at(PpPlainLine done, const unsigned char *line, const unsigned char *name,
                    const unsigned char *after_quote, LineRun &run) {
    write_run(run);
    if (done == PP_PLAIN_NONE)
        return name == nullptr ? PP_PLAIN_NONE : copy_before_name(line, after_quote, name);
    plain.resume_line = line;
    plain.resume_name = name;
    plain.resume_after_quote = after_quote;
    return done;
}

// The outcome kept by stop_at when the copy starts again at that line: nothing, or the text
// before the macro name found there (its handle still noted).
PpPlainLine resume_at(const unsigned char *line) {
    plain.resume_line = nullptr;
    if (plain.resume_name == nullptr) return PP_PLAIN_NONE;
    return copy_before_name(line, plain.resume_after_quote, plain.resume_name);
}

// The end of the buffered data at `p` in mid-line, outside constants, where the next block
// cannot be read in place (read_on): the text up to the last blank before the line's last token
// here goes out, and the lexer reads on from that token, across the refill (the ring is refilled
// every KiB and wraps at every other refill, so one line in about sixty ends this way); once it
// has, the rest of the line is copied again (pp_plain_seam_passed).
PpPlainLine stop_at_data_end(PpPlainLine done, const unsigned char *start,
                             const unsigned char *after_quote, const unsigned char *p,
                             LineRun &run) {
    plain.seam = true;
    plain.seam_blocks = si_blocks_read();
    return stop_at(done, start, last_token_start(after_quote, p), after_quote, run);
}

// The steps every scan of the copy takes at its stops. A quote opens a constant outside one and
// closes the constant it opened; `/*`, and `//` where it starts a comment, end the copy outside
// constants (inside, both are text).
inline void take_quote(unsigned char c, unsigned char &quote) {
    if (quote == 0)
        quote = c;
    else if (quote == c)
        quote = 0;
}

inline bool opens_comment(const unsigned char *p, unsigned char quote, bool slash_comments) {
    return quote == 0 && (p[1] == '*' || (p[1] == '/' && slash_comments));
}

// A quote or a slash at `p` where a walk stops: false for a comment opener, which ends the copy.
inline bool pass_quote_or_slash(const unsigned char *p, unsigned char &quote,
                                const unsigned char *&after_quote, bool slash_comments) {
    if (*p == '/') return !opens_comment(p, quote, slash_comments);
    take_quote(*p, quote);
    after_quote = p + 1;
    return true;
}

// The end of the copy at a stop byte `c` at `p`: the end of the buffered data in mid-line
// outside constants (the lexer reads on across the refill), else the lexer takes the line. A
// line already past the widest column is left to the lexer, which reports it.
inline PpPlainLine stop_at_byte(unsigned char c, unsigned char quote, PpPlainLine done,
                                const unsigned char *start, std::uint32_t column,
                                const unsigned char *after_quote, const unsigned char *p,
                                LineRun &run) {
    if (c == 0 && quote == 0 && column + static_cast<std::uint32_t>(p - start) <= SI_MAX_COLUMN)
        return stop_at_data_end(done, start, after_quote, p, run);
    return stop_at(done, start, nullptr, nullptr, run);
}

// The line from `start` (at `column`) to the newline at `p` is written, into `run` when it
// keeps every byte, and the read point moves past it; `done` says what it gave. `trim`: its
// blanks before the newline belong to the newline token and are not written (not so in a
// constant left open, whose text runs up to the newline, nor in a comment). False, with
// nothing done, for a line past the widest column, left to the lexer, which reports it (the
// newline ends the column count, as it does in the lexer).
template <bool line_start>
[[gnu::always_inline]] inline bool take_line(const unsigned char *start, const unsigned char *p,
                                             std::uint32_t column, bool trim, LineRun &run,
                                             PpPlainLine &done) {
    if (column + static_cast<std::uint32_t>(p - start) > SI_MAX_COLUMN) return false;
    const unsigned char *end = p;
    if (trim)
        while (end > start && (end[-1] == ' ' || end[-1] == '\t')) --end;
    Position position{si_cursor.line, static_cast<std::uint16_t>(si_cursor.column),
                      si_cursor.stream};
    std::uint32_t length = static_cast<std::uint32_t>(end - start);
    if constexpr (line_start) {
        if (length != 0 && end == p) {
            extend_run(run, start, length, position);
        } else {
            write_run(run);
            pp_write_plain_line(position, start, length);
        }
    } else {
        // The same writes (text, then the newline rule), kept apart from the line start's
        // call so that this hotter one stays inlined.
        if (length != 0) pp_write_plain_text(position, start, length);
        pp_write_newline();
    }
    si_cursor.read = const_cast<unsigned char *>(p) + 1;
    ++si_cursor.line;
    si_cursor.column = 1;
    ++plain.copied;
    done = length == 0 ? PP_PLAIN_BLANK : PP_PLAIN_TEXT;
    // A line with text is the file's first ordinary line, as its first token is.
    if (done == PP_PLAIN_TEXT) first_in_file = 0;
    return true;
}

// The line from `start` ends at the newline at `p`: written by take_line, after which the copy
// goes on over the next line (true) or ends with *result: at the end of the buffered data (the
// scanning loop calls again, which reads on), between two tokens, or at a line left to the
// lexer.
template <bool line_start>
[[gnu::always_inline]] inline bool end_line(const unsigned char *start, const unsigned char *p,
                                            std::uint32_t column, bool trim, LineRun &run,
                                            PpPlainLine &done, PpPlainLine *result) {
    if (!take_line<line_start>(start, p, column, trim, run, done)) {
        *result = stop_at(done, start, nullptr, nullptr, run);
        return false;
    }
    if (!line_start || *si_cursor.read == 0) {
        write_run(run);
        *result = done;
        return false;
    }
    return true;
}

#if defined(__SSE2__)
// The copy where the same bytes stop the scan inside and outside constants and no name is
// looked up (default mode): the stops among 16 bytes are found at once and taken one after
// another, over line ends too, rather than scanning again from each.
template <bool line_start>
PpPlainLine walk_plain_lines(const std::uint8_t *classes, const StopSet &stops,
                             bool slash_comments) {
    const std::uint32_t column = line_start ? 1 : si_cursor.column;
    PpPlainLine done = PP_PLAIN_NONE;
    LineRun run;
    const unsigned char *start = si_cursor.read;
    unsigned char quote = 0;                  // the quote of the open constant, 0 outside
    const unsigned char *after_quote = start; // just past the last quote seen
    // The 16 bytes at `block` and, by bit, those of its stops not yet taken. The 0 that ends
    // the buffered data stops the walk before a load passes the ring's slack.
    const StopBytes extra = stop_bytes_of(stops);
    const unsigned char *block = start;
    unsigned stops_left = stop_mask16(block, extra);
    for (;;) {
        while (stops_left == 0) {
            block += 16;
            stops_left = stop_mask16(block, extra);
        }
        const unsigned char *p = block + __builtin_ctz(stops_left);
        stops_left &= stops_left - 1;
        const unsigned char c = *p;
        switch (classes[c]) {
        case PLAIN_QUOTE:
        case PLAIN_SLASH:
            if (pass_quote_or_slash(p, quote, after_quote, slash_comments)) continue;
            return stop_at(done, start, nullptr, nullptr, run);
        case PLAIN_NEWLINE: break;
        default:
            if (read_on(p)) {
                // The line goes on in the block read after it: its stops again from its start.
                quote = 0;
                after_quote = start;
                block = start;
                stops_left = stop_mask16(block, extra);
                continue;
            }
            return stop_at_byte(c, quote, done, start, column, after_quote, p, run);
        }
        if (PpPlainLine result;
            !end_line<line_start>(start, p, column, quote == 0, run, done, &result))
            return result;
        start = si_cursor.read;
        quote = 0;
        after_quote = start;
    }
}
#endif

#if defined(__SSE2__)
// ---- Hints: the name scan of -m done ahead, on the reader thread ------------------------------
//
// Under -m every name of a line is looked up, which costs the copy about twice what default mode
// spends on a line. For the blocks of a large file that the reader thread reads ahead, it also
// marks the bytes where the copy must stop: those that stop it in default mode, and the first
// byte of each name that may name a macro by a copy of the macro table's filters. The copy then
// walks from mark to mark (walk_hinted_lines) and looks up only the marked names.
//
// The marks of a block are right while every macro name defined before its bytes are copied
// passes the filters they were made with. Those are the table's filters when the block was asked
// for, with every name that follows `#define` in the block and in the one before it (read ahead
// of the main thread, the definitions in them are not yet made). A name defined otherwise (by an
// included file, or spelled across a block's end) that the filters do not pass drops the marks:
// of the block being copied at once (pp_plain_note_macro_name), of the block read ahead when it
// is taken (accept_hints).

// One slot per read-ahead buffer, written by the main thread when its block is asked for and by
// the reader thread while it makes the hints; read by the main thread once the block is taken.
struct HintSlot {
    bool names; // under -m: without it no hints are made
    StopSet stops;
    std::uint64_t defined; // the count of names defined when the block was asked for
    std::uint32_t shapes[256];
    std::uint64_t filter[PP_NAME_FILTER_WORDS];
};

// The filter bits of a macro name defined.
struct DefinedName {
    std::uint32_t bit;
    std::uint32_t shape;
    unsigned char first;
};

constexpr std::uint64_t RECENT_NAMES = 64;

struct HintState {
    HintSlot slots[2];
    // The names defined lately, by their count: those since a block was asked for are checked
    // against its filters when it is taken.
    DefinedName recent[RECENT_NAMES];
    std::uint64_t defined = 0;
};

HintState hinting;

bool slot_may_name(const HintSlot &slot, const DefinedName &name) {
    return (slot.shapes[name.first] & name.shape) != 0 &&
           (slot.filter[name.bit / 64] >> (name.bit % 64) & 1) != 0;
}

void prepare_hints(int slot_index) {
    HintSlot &slot = hinting.slots[slot_index];
    slot.names = expand_macros != 0;
    slot.stops = stop_set_of(plain_tables(false).outside);
    slot.defined = hinting.defined;
    pp_copy_name_filters(slot.shapes, slot.filter);
}

// Adds the name after each `#define` among the `count` bytes at `text` to the slot's filters:
// `#`, blanks, `define`, blanks, the name. Other spellings (a comment or a continuation in
// between) are left to the check of each definition made.
void add_defined_names(HintSlot &slot, const unsigned char *text, std::size_t count) {
    const unsigned char *end = text + count;
    const unsigned char *p = text;
    while (p < end) {
        const void *sharp = std::memchr(p, '#', static_cast<std::size_t>(end - p));
        if (sharp == nullptr) return;
        p = static_cast<const unsigned char *>(sharp) + 1;
        const unsigned char *q = p;
        while (q < end && (*q == ' ' || *q == '\t')) ++q;
        if (end - q < 7 || std::memcmp(q, "define", 6) != 0 || (q[6] != ' ' && q[6] != '\t'))
            continue;
        q += 6;
        while (q < end && (*q == ' ' || *q == '\t')) ++q;
        const unsigned char *name = q;
        while (q < end && name_byte(*q)) ++q;
        if (q > name && name_class[*name] == PLAIN_START)
            pp_filters_add(slot.shapes, slot.filter, name, static_cast<std::uint32_t>(q - name));
    }
}

// The marks of the names starting among the 64 bytes at `bytes + i`, from their masks (bit k for
// byte i + k: `starts` a letter or `_`, `names` a name byte); `after_name` says whether the byte
// before them is a name byte, and is set for the next 64. A name that runs to `limit` is marked
// whatever it is: its end is not known.
[[gnu::always_inline]] inline void mark_names64(const HintSlot &slot, const unsigned char *bytes,
                                                std::size_t i, std::size_t count,
                                                std::uint64_t starts, std::uint64_t names,
                                                std::uint64_t &after_name, unsigned char *hints) {
    starts &= ~((names << 1) | after_name);
    after_name = names >> 63;
    if (count - i < 64) starts &= (std::uint64_t{1} << (count - i)) - 1;
    const unsigned char *const limit = bytes + count;
    while (starts != 0) {
        const int at = __builtin_ctzll(starts);
        starts &= starts - 1;
        const unsigned char *name = bytes + i + at;
        if (slot.shapes[*name] == 0) continue; // no macro name starts with this byte
        const std::uint64_t ends = ~names >> at;
        const unsigned char *end;
        if (ends != 0) {
            end = name + __builtin_ctzll(ends);
        } else {
            end = bytes + i + 64;
            while (end < limit && name_byte(*end)) ++end;
        }
        if (end >= limit || pp_filters_may_name(slot.shapes, slot.filter, name,
                                                static_cast<std::uint32_t>(end - name)))
            hints[name - bytes] = 0xFF;
    }
}

// The hints of the `count` bytes at `bytes`, 16 bytes to a compare: the stops of each 64 bytes
// stored, then their names marked. Loads and stores go up to 63 bytes past `count`.
void hint_bytes16(const HintSlot &slot, const unsigned char *bytes, std::size_t count,
                  unsigned char *hints, std::uint64_t after_name) {
    const StopBytes extra = stop_bytes_of(slot.stops);
    for (std::size_t i = 0; i < count; i += 64) {
        std::uint64_t starts = 0, names = 0;
        for (int k = 0; k < 4; ++k) {
            const unsigned char *p = bytes + i + 16 * k;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(hints + i + 16 * k),
                             stop_hits16(p, extra));
            NameMasks masks = name_masks16(p);
            starts |= std::uint64_t{masks.starts} << (16 * k);
            names |= std::uint64_t{masks.names} << (16 * k);
        }
        mark_names64(slot, bytes, i, count, starts, names, after_name, hints);
    }
}

#if TFPP_WIDE_HINTS
// stop_hits16 and name_masks16 over 32 bytes, for processors that have the compares (AVX2 has
// no "less than": its operands swap).
struct StopBytes32 {
    __m256i question, backslash, bang;
};

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i stop_hits32(__m256i v,
                                                                       const StopBytes32 &extra) {
    __m256i hit = _mm256_andnot_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t')),
                                      _mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v));
    hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7F)));
    hit = _mm256_or_si256(hit, _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(0x21)),
                                                _mm256_cmpgt_epi8(_mm256_set1_epi8(0x25), v)));
    hit = _mm256_or_si256(
        hit, _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)), _mm256_set1_epi8(0x60)));
    hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\'')));
    hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('/')));
    hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, extra.question));
    hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, extra.backslash));
    return _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, extra.bang));
}

[[gnu::target("avx2"), gnu::always_inline]] inline void
name_masks32(__m256i v, std::uint64_t *starts, std::uint64_t *names) {
    __m256i lower = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
    __m256i letter = _mm256_and_si256(_mm256_cmpgt_epi8(lower, _mm256_set1_epi8('a' - 1)),
                                      _mm256_cmpgt_epi8(_mm256_set1_epi8('z' + 1), lower));
    __m256i digit = _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8('0' - 1)),
                                     _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), v));
    __m256i start = _mm256_or_si256(letter, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('_')));
    *starts = static_cast<std::uint32_t>(_mm256_movemask_epi8(start));
    *names = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(start, digit)));
}

// hint_bytes16 with 32 bytes to a compare: under -m the reader thread spends most of its time
// making hints, and on two processors it shares one with the writer.
[[gnu::target("avx2")]] void hint_bytes32(const HintSlot &slot, const unsigned char *bytes,
                                          std::size_t count, unsigned char *hints,
                                          std::uint64_t after_name) {
    const StopBytes32 extra{_mm256_set1_epi8(slot.stops.question ? '?' : 0),
                            _mm256_set1_epi8(slot.stops.backslash ? '\\' : 0),
                            _mm256_set1_epi8(slot.stops.bang ? '!' : 0)};
    for (std::size_t i = 0; i < count; i += 64) {
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + i));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + i + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hints + i), stop_hits32(low, extra));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hints + i + 32), stop_hits32(high, extra));
        std::uint64_t starts_low, names_low, starts_high, names_high;
        name_masks32(low, &starts_low, &names_low);
        name_masks32(high, &starts_high, &names_high);
        mark_names64(slot, bytes, i, count, starts_low | starts_high << 32,
                     names_low | names_high << 32, after_name, hints);
    }
}

// Whether this processor has the 32-byte compares.
bool wide_hints_here() {
    static const bool here = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
    return here;
}
// Set by the tests, to compare the hints of both ways.
std::atomic<bool> wide_hints_off{false};
#endif

// The hints of the `count` bytes at `bytes`, `after_name` as mark_names64 takes it.
void hint_bytes(const HintSlot &slot, const unsigned char *bytes, std::size_t count,
                unsigned char *hints, std::uint64_t after_name) {
#if TFPP_WIDE_HINTS
    if (!wide_hints_off.load(std::memory_order_relaxed) && wide_hints_here()) {
        hint_bytes32(slot, bytes, count, hints, after_name);
        return;
    }
#endif
    hint_bytes16(slot, bytes, count, hints, after_name);
}

// On the reader thread: the hints of the `count` bytes at `bytes`, the `before_count` bytes at
// `before` coming before them in the file.
std::size_t make_hints(int slot_index, const unsigned char *before, std::size_t before_count,
                       const unsigned char *bytes, std::size_t count, unsigned char *hints) {
    HintSlot &slot = hinting.slots[slot_index];
    if (!slot.names) return 0;
    add_defined_names(slot, before, before_count);
    add_defined_names(slot, bytes, count);
    hint_bytes(slot, bytes, count, hints,
               before_count > 0 && name_byte(before[before_count - 1]) ? 1 : 0);
    return count;
}

// On the main thread, as the block is taken: false when a name defined since it was asked for
// does not pass its filters, or more were defined than are kept.
bool accept_hints(int slot_index) {
    const HintSlot &slot = hinting.slots[slot_index];
    if (hinting.defined - slot.defined > RECENT_NAMES) return false;
    for (std::uint64_t n = slot.defined; n < hinting.defined; ++n)
        if (!slot_may_name(slot, hinting.recent[n % RECENT_NAMES])) return false;
    return true;
}

constexpr SiHintMaker hint_maker{prepare_hints, make_hints, accept_hints};

// Bit i set when byte i of the 16 hints at h is set.
[[gnu::always_inline]] inline unsigned hint_mask16(const unsigned char *h) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()))) ^
           0xFFFFU;
}

// The copy under -m over hinted bytes: walk_plain_lines with the hints as its stops, the names
// they mark looked up, and `!` comments and fixed-form comment lines taken as the byte scan of
// copy_plain_text takes them.
template <bool line_start>
PpPlainLine walk_hinted_lines(const unsigned char *hints, const PlainTables &tables,
                              bool slash_comments, bool fixed) {
    const std::uint32_t column = line_start ? 1 : si_cursor.column;
    const std::uint8_t *const outside = tables.outside;
    const std::uint32_t *const shapes = pp_macro_name_shapes();
    const std::ptrdiff_t to_hints = hints - si_cursor.read;
    PpPlainLine done = PP_PLAIN_NONE;
    LineRun run;
    const unsigned char *start = si_cursor.read;
    for (;;) {
        unsigned char quote = 0;
        const unsigned char *after_quote = start;
        const unsigned char *p = start;
        bool comment = false;
        // Set where the line goes on in a block read after it: it is scanned again.
        bool again = false;
        if (line_start && fixed) {
            int line_comment = pp_fixed_comment_line_at(start);
            if (line_comment < 0) return stop_at(done, start, nullptr, nullptr, run);
            if (line_comment > 0) {
                comment = true;
                if (!to_line_end(&p, &again)) return stop_at(done, start, nullptr, nullptr, run);
            }
        }
        // Between two tokens the copy may start on a name the hints leave unmarked (they mark
        // one only after a byte that is no name byte): it is looked up here.
        if (!line_start && outside[*p] == PLAIN_START) {
            const unsigned char *name = p;
            if (macro_name_at(name, shapes, &p))
                return stop_at(done, start, name, after_quote, run);
        }
        if (!comment) {
            const unsigned char *block = p;
            unsigned stops_left = hint_mask16(block + to_hints);
            for (;;) {
                while (stops_left == 0) {
                    block += 16;
                    stops_left = hint_mask16(block + to_hints);
                }
                p = block + __builtin_ctz(stops_left);
                stops_left &= stops_left - 1;
                const unsigned char c = *p;
                switch (outside[c]) {
                case PLAIN_START: {
                    // A name that may name a macro; inside a constant it is text.
                    if (quote != 0) continue;
                    const unsigned char *end;
                    if (macro_name_at(p, shapes, &end))
                        return stop_at(done, start, p, after_quote, run);
                    continue;
                }
                case PLAIN_QUOTE:
                case PLAIN_SLASH:
                    if (pass_quote_or_slash(p, quote, after_quote, slash_comments)) continue;
                    return stop_at(done, start, nullptr, nullptr, run);
                case PLAIN_BANG: {
                    if (quote != 0) continue;
                    std::uint32_t at = column + static_cast<std::uint32_t>(p - start);
                    if (fixed && at == 6) continue;
                    if (pp_sentinel_at(p + 1) != 0 || !to_line_end(&p, &again))
                        return stop_at(done, start, nullptr, nullptr, run);
                    comment = true;
                    break;
                }
                case PLAIN_NEWLINE: break;
                case PLAIN_STOP:
                    again = read_on(p);
                    if (!again)
                        return stop_at_byte(c, quote, done, start, column, after_quote, p, run);
                    break;
                default: continue; // marked, but ordinary here
                }
                break;
            }
        }
        if (again) {
            // The new block's hints follow those of the line's start, or it has none.
            if (si_read_hints() == nullptr) return stop_at(done, start, nullptr, nullptr, run);
            continue;
        }
        if (PpPlainLine result;
            !end_line<line_start>(start, p, column, quote == 0 && !comment, run, done, &result))
            return result;
        start = si_cursor.read;
    }
}
#endif

// Whether a byte after an expansion starts a token that takes no blank after the expansion's
// last token, whatever follows the byte: a parenthesis or a comma, which start no other token,
// when the spacing rules ask for none before it (the copy clears the owed blank).
bool owes_no_blank(unsigned char c) {
    TokenKind kind;
    switch (c) {
    case '(': kind = TOKEN_LPAREN; break;
    case ')': kind = TOKEN_RPAREN; break;
    case ',': kind = TOKEN_COMMA; break;
    default: return false;
    }
    return !pp_spacing_needed(pp_last_output_kind(), kind);
}

// The copy, from the start of a line or from between two tokens of a line; `names`: under -m,
// where every name is looked up. Each case is compiled on its own: the default mode's loop
// carries nothing of the name handling.
template <bool line_start, bool names> PpPlainLine copy_plain_text() {
    plain.refused = false; // a refusal holds until the next call only
    if (!plain.enabled || fe_get_flag(FE_FLAG_LEX_DEBUG) != 0 ||
        fe_get_flag(FE_FLAG_LEX_TRACE) != 0)
        return PP_PLAIN_NONE; // the trace shows every token
    // At the end of the buffered data (a file just entered, a line starting at a refill), read
    // the next block first, as the lexer would before anything else on this line. Within a
    // line the lexer reads on: the ring may still hold the line's earlier tokens.
    if constexpr (line_start)
        if (plain.resume_line != nullptr) {
            if (plain.resume_line == si_cursor.read) return resume_at(si_cursor.read);
            plain.resume_line = nullptr; // not taken up at once: no longer true
        }
    if (*si_cursor.read == 0) {
        if constexpr (!line_start) return PP_PLAIN_NONE;
        si_refill_char();
    }
    // Right after an expansion a token that may need a blank before it goes through the lexer;
    // the rest of the line after it may be copied again.
    if constexpr (!line_start)
        if (pp_output_spacing_pending() && *si_cursor.read != ' ' && *si_cursor.read != '\t' &&
            *si_cursor.read != '\n' && !owes_no_blank(*si_cursor.read)) {
            plain.refused = true;
            plain.refused_line = si_cursor.line;
            plain.refused_column = si_cursor.column;
            return PP_PLAIN_NONE;
        }
    const bool slash_comments = double_slash_comments == 1 && fortran_lines == 0;
    // Names matter only outside constants: inside one every letter is ordinary text.
    const PlainTables tables = plain_tables(names);
    const std::uint8_t *outside = tables.outside;
    const StopSet outside_stops = stop_set_of(tables.outside);
    const StopSet inside_stops = stop_set_of(tables.inside);
    const std::uint32_t *shapes = pp_macro_name_shapes();
    const bool fixed = fortran_comments != 0 && pp_fixed_form();
#if defined(__SSE2__)
    // Without names the two tables differ only where `!` starts a comment outside constants
    // (fortran_comments, which fixed-form comment lines need as well).
    if constexpr (!names)
        if (tables.inside == tables.outside)
            return walk_plain_lines<line_start>(outside, outside_stops, slash_comments);
    if constexpr (names)
        if (const unsigned char *hints = si_read_hints(); hints != nullptr) {
            ++plain.hinted_walks;
            return walk_hinted_lines<line_start>(hints, tables, slash_comments, fixed);
        }
#endif
    // The column of each line's first byte copied: every line's start, or the read point.
    const std::uint32_t column = line_start ? 1 : si_cursor.column;
    // From the start of a line the copy goes on over the lines after it while they are in the
    // buffer, as the scanning loop would call it again for each; `done` is what the last line
    // copied gave.
    PpPlainLine done = PP_PLAIN_NONE;
    LineRun run;
    for (;;) {
        const unsigned char *start = si_cursor.read;
        const unsigned char *p = start;
        unsigned char quote = 0; // the quote of the open constant, 0 outside constants
        // Just past the last quote seen: a blank before it may lie in a constant.
        const unsigned char *after_quote = start;
        const std::uint8_t *classes = outside;
        const StopSet *stops = &outside_stops;
        bool comment = false; // the line ends in a Fortran comment, copied as it stands
        if (line_start && fixed) {
            int line_comment = pp_fixed_comment_line_at(start);
            if (line_comment < 0) return stop_at(done, start, nullptr, nullptr, run);
            comment = line_comment > 0;
        }
        // A comment line is text up to its newline; anything else is scanned byte class by
        // class. `again`: the line goes on in a block read after it, and is scanned again.
        bool again = false;
        if (comment && !to_line_end(&p, &again)) return stop_at(done, start, nullptr, nullptr, run);
        while (!comment) {
            p = skip_other(p, classes, *stops);
            unsigned char c = *p;
            std::uint8_t k = classes[c];
            // Under -m most stops are names: they are taken before the switch, whose indirect
            // jump would be mispredicted at nearly every name.
            if (names && k == PLAIN_START) {
                // A name starts here: the byte before is no letter or digit (those would be
                // part of the same name or number). Under -m a macro name needs the lexer.
                const unsigned char *name = p;
                if (macro_name_at(name, shapes, &p))
                    return stop_at(done, start, name, after_quote, run);
                continue;
            }
            switch (k) {
            case PLAIN_OTHER: ++p; continue;
            case PLAIN_STOP:
                again = read_on(p);
                if (!again) return stop_at_byte(c, quote, done, start, column, after_quote, p, run);
                break;
            case PLAIN_NEWLINE: break;
            case PLAIN_SLASH:
                // A continuation or trigraph between the two bytes stops the scan at the next
                // byte.
                if (opens_comment(p, quote, slash_comments))
                    return stop_at(done, start, nullptr, nullptr, run);
                ++p;
                continue;
            case PLAIN_QUOTE:
                take_quote(c, quote);
                classes = quote != 0 ? tables.inside : outside;
                stops = quote != 0 ? &inside_stops : &outside_stops;
                after_quote = ++p;
                continue;
            case PLAIN_DIGIT:
                // A number takes the letters and digits after it: none of them starts a name.
                p = skip_name(p);
                continue;
            case PLAIN_BANG: {
                // In column 6 of a fixed-form line a continuation mark, else a comment up to
                // the newline unless a sentinel makes it a directive for the compiler (that
                // line is left to the lexer, which expands it).
                std::uint32_t at =
                    (line_start ? 1 : si_cursor.column) + static_cast<std::uint32_t>(p - start);
                if (fixed && at == 6) {
                    ++p;
                    continue;
                }
                if (pp_sentinel_at(p + 1) != 0 || !to_line_end(&p, &again))
                    return stop_at(done, start, nullptr, nullptr, run);
                comment = true;
                break;
            }
            }
            break;
        }
        if (again) continue;
        // A comment is copied unchanged, its trailing blanks too.
        if (PpPlainLine result;
            !end_line<line_start>(start, p, column, quote == 0 && !comment, run, done, &result))
            return result;
    }
}

} // namespace

void pp_plain_install_hints() {
#if defined(__SSE2__)
    si_set_hint_maker(&hint_maker);
#endif
}

void pp_plain_note_macro_name(const unsigned char *text, std::uint32_t length) {
#if defined(__SSE2__)
    DefinedName name{pp_name_filter_bit(text, length), length > 0 ? pp_name_shape_bit(length) : 0,
                     length > 0 ? text[0] : static_cast<unsigned char>(0)};
    hinting.recent[hinting.defined % RECENT_NAMES] = name;
    ++hinting.defined;
    int slot = si_hint_slot();
    if (slot >= 0 && !slot_may_name(hinting.slots[slot], name)) si_drop_hints();
#else
    (void)text;
    (void)length;
#endif
}

void pp_set_plain_lines(bool enabled) {
    plain.enabled = enabled;
    plain.noted_text = nullptr;
    plain.resume_line = nullptr;
    plain.seam = false;
    plain.refused = false;
}

bool pp_plain_seam_passed() {
    if (!plain.seam || si_blocks_read() == plain.seam_blocks) [[likely]]
        return false;
    plain.seam = false;
    // The token read last took the lexer into the next block; the rest of its line, if any.
    return si_cursor.column > 1;
}

bool pp_plain_rest_after_token() {
    if (!plain.refused) [[likely]]
        return false;
    // Still before the token that was refused: the lexer reads it now.
    if (si_cursor.line == plain.refused_line && si_cursor.column == plain.refused_column)
        return false;
    plain.refused = false;
    // The lexer has read it and stands further on the same line.
    return si_cursor.line == plain.refused_line && si_cursor.column > plain.refused_column;
}

std::uint32_t pp_noted_name_length(const unsigned char *text) {
    return text == plain.noted_text ? plain.noted_length : 0;
}

TextHandle pp_take_noted_name(const unsigned char *text, std::uint32_t length) {
    // The bytes at the noted place are still the name only until the lexer reads on: the note
    // serves the next question and no other.
    TextHandle handle =
        text == plain.noted_text && length == plain.noted_length ? plain.noted_handle : TEXT_NULL;
    plain.noted_text = nullptr;
    return handle;
}

bool pp_plain_lines_enabled() { return plain.enabled; }

std::uint64_t pp_plain_lines_copied() { return plain.copied; }

std::uint64_t pp_plain_hinted_walks() { return plain.hinted_walks; }

std::uint32_t pp_plain_scan_mismatches() {
    std::uint32_t mismatches = 0;
    auto check = [&](const std::uint8_t *classes) {
        const StopSet stops = stop_set_of(classes);
        // Each byte value at each place of a 16-byte load, behind ordinary bytes and before
        // the 0 that ends the data, as in the ring.
        alignas(16) unsigned char block[64] = {};
        for (int c = 1; c < 256; ++c) {
            for (int at = 0; at < 32; ++at) {
                std::memset(block, 'x' | 0x20, sizeof block);
                for (int i = 0; i < 40; ++i) block[i] = ' ';
                block[at] = static_cast<unsigned char>(c);
                block[40] = 0;
                const unsigned char *fast = skip_other(block, classes, stops);
                const unsigned char *slow = skip_table(block, classes);
                if (fast != slow) ++mismatches;
            }
        }
    };
    check(plain_class.data());
    check(name_class.data());
    for (const auto &table : fortran_classes) check(table.data());
    // The end of a name: each byte value at each place after a run of name bytes.
    alignas(16) unsigned char name[64] = {};
    for (int c = 1; c < 256; ++c) {
        for (int at = 0; at < 32; ++at) {
            for (int i = 0; i < 40; ++i) name[i] = "a_Z9"[i % 4];
            name[at] = static_cast<unsigned char>(c);
            name[40] = 0;
            const unsigned char *slow = name;
            while (name_byte(*slow)) ++slow;
            if (skip_name(name) != slow) ++mismatches;
        }
    }
    return mismatches;
}

bool pp_set_wide_hints(bool on) {
#if TFPP_WIDE_HINTS
    wide_hints_off.store(!on, std::memory_order_relaxed);
    return wide_hints_here();
#else
    static_cast<void>(on); // the 16-byte compares are the only way here
    return false;
#endif
}

std::uint32_t pp_plain_hint_mismatches() {
    std::uint32_t mismatches = 0;
#if TFPP_WIDE_HINTS
    if (!wide_hints_here()) return 0;
    HintSlot slot{};
    for (const char *name : {"A", "AB", "FMAX", "x_1", "LONGNAMEOFTHIRTYTWOBYTESATLEAST_", "Q9"})
        pp_filters_add(slot.shapes, slot.filter, reinterpret_cast<const unsigned char *>(name),
                       static_cast<std::uint32_t>(std::strlen(name)));
    // Room for the loads and stores up to 64 bytes past the end.
    alignas(64) unsigned char bytes[400];
    alignas(64) unsigned char narrow[400];
    alignas(64) unsigned char wide[400];
    auto compare = [&](std::size_t count, std::uint64_t after_name) {
        std::memset(narrow, 0x55, sizeof narrow);
        std::memset(wide, 0x55, sizeof wide);
        hint_bytes16(slot, bytes, count, narrow, after_name);
        hint_bytes32(slot, bytes, count, wide, after_name);
        if (std::memcmp(narrow, wide, count) != 0) ++mismatches;
    };
    std::uint32_t random = 20261209;
    auto next = [&random] {
        random = random * 1103515245U + 12345U;
        return random >> 16;
    };
    const char *pieces[] = {"A",  "AB", "FMAX", "x_1",  "LONGNAMEOFTHIRTYTWOBYTESATLEAST_",
                            "Q9", "9A", "_",    " ",    "(",
                            "'",  "!",  "?",    "\\",   "\t",
                            "/",  "#",  "$",    "\x80", "\n"};
    for (int set = 0; set < 8; ++set) {
        slot.stops = StopSet{true, (set & 1) != 0, (set & 2) != 0, (set & 4) != 0};
        // Each byte value at each place of two 64-byte pieces, in a run of name bytes.
        for (int c = 0; c < 256; ++c) {
            for (std::size_t at = 0; at < 128; at += 3) {
                for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = "FMAX x"[i % 6];
                bytes[at] = static_cast<unsigned char>(c);
                compare(130 + at % 7, at % 2);
            }
        }
        // Names and stops at random, of every length up to 300.
        for (std::size_t count = 1; count <= 300; ++count) {
            std::size_t length = 0;
            while (length < sizeof bytes - 64) {
                const char *piece = pieces[next() % std::size(pieces)];
                std::size_t n = std::min(std::strlen(piece), sizeof bytes - 64 - length);
                std::memcpy(bytes + length, piece, n);
                length += n;
            }
            compare(count, count % 3 == 0 ? 1 : 0);
        }
    }
#endif
    return mismatches;
}

PpPlainLine pp_copy_plain_line() {
    return expand_macros != 0 ? copy_plain_text<true, true>() : copy_plain_text<true, false>();
}

PpPlainLine pp_copy_plain_rest() {
    return expand_macros != 0 ? copy_plain_text<false, true>() : copy_plain_text<false, false>();
}

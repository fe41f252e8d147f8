// This file implements the plain-line copy of the scanning loop: a source line whose bytes every
// token would write unchanged is found by one pass over the read buffer and written whole,
// without lexing it token by token. Any byte that could change the text or draw a message
// leaves the line to the lexer.
#include <array>

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

// Moves *p to the newline of its line; false when the buffered data or the input ends first.
inline bool rest_of_line(const unsigned char **p) {
    const unsigned char *q = *p;
    while (*q != '\n') {
        if (*q == 0 || *q == SI_END_OF_STREAM) return false;
        ++q;
    }
    *p = q;
    return true;
}

// A fixed-form line whose column 1 makes it a comment line: 1 yes, 0 no, -1 not known yet.
int fixed_comment_line(const unsigned char *line) {
    unsigned char c = line[0];
    if (c != 'C' && c != 'c' && c != '*' && c != '!') return 0;
    int sentinel = pp_sentinel_at(line + 1);
    return sentinel < 0 ? -1 : sentinel == 0 ? 1 : 0;
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

// Advances over the bytes of class PLAIN_OTHER, four at a time. Every byte is read only after
// the ones before it proved ordinary, so the scan never passes the 0 byte that ends the data.
inline const unsigned char *skip_other(const unsigned char *p, const std::uint8_t *classes) {
    for (;;) {
        if (classes[p[0]] != PLAIN_OTHER) return p;
        if (classes[p[1]] != PLAIN_OTHER) return p + 1;
        if (classes[p[2]] != PLAIN_OTHER) return p + 2;
        if (classes[p[3]] != PLAIN_OTHER) return p + 3;
        p += 4;
    }
}

struct PlainLineState {
    bool enabled = true;      // off only in tests that compare the two ways of reading
    std::uint64_t copied = 0; // lines written whole
    // The macro name the copy stopped before, by its place in the read buffer: the lexer
    // reads it next and the scanning loop takes its handle from here (pp_take_noted_name).
    const unsigned char *noted_text = nullptr;
    std::uint32_t noted_length = 0;
    TextHandle noted_handle = TEXT_NULL;
};

PlainLineState plain;

// True when the name names a macro, which is then noted. A name that was never interned
// cannot: every definition interns its name.
bool names_macro(const unsigned char *text, std::uint32_t length) {
    if (!pp_may_name_macro(text, length)) return false;
    TextHandle handle = text_find(reinterpret_cast<const char *>(text), length);
    if (handle == TEXT_NULL || pp_lookup_macro(handle) == nullptr) return false;
    plain.noted_text = text;
    plain.noted_length = length;
    plain.noted_handle = handle;
    return true;
}

// Writes the text from the read point up to the last blank before a macro name, the bytes of
// whole tokens and white space, and moves the read point there: the lexer goes on from a token
// boundary with white space written last, as it would after reading those tokens itself.
// Nothing when no blank outside a constant precedes the name on this stretch.
PpPlainLine copy_before_name(const unsigned char *start, const unsigned char *after_quote,
                             const unsigned char *name) {
    const unsigned char *cut = name;
    while (cut > after_quote && cut[-1] != ' ' && cut[-1] != '\t') --cut;
    if (cut == after_quote) return PP_PLAIN_NONE; // at the start, or right after a constant
    Position position{si_cursor.line, static_cast<std::uint16_t>(si_cursor.column),
                      si_cursor.stream};
    std::uint32_t length = static_cast<std::uint32_t>(cut - start);
    pp_write_plain_text(position, start, length);
    si_cursor.read = const_cast<unsigned char *>(cut);
    si_cursor.column += length;
    return PP_PLAIN_PART;
}

// The copy, from the start of a line or from between two tokens of a line; `names`: under -m,
// where every name is looked up. Each case is compiled on its own: the default mode's loop
// carries nothing of the name handling.
template <bool line_start, bool names> PpPlainLine copy_plain_text() {
    if (!plain.enabled || fe_get_flag(FE_FLAG_LEX_DEBUG) != 0 ||
        fe_get_flag(FE_FLAG_LEX_TRACE) != 0)
        return PP_PLAIN_NONE; // the trace shows every token
    // At the end of the buffered data (a file just entered, a line starting at a refill), read
    // the next block first, as the lexer would before anything else on this line. Within a
    // line the lexer reads on: the ring may still hold the line's earlier tokens.
    if (*si_cursor.read == 0) {
        if constexpr (!line_start) return PP_PLAIN_NONE;
        si_refill_char();
    }
    // Right after an expansion a token that may need a blank before it goes through the lexer.
    if constexpr (!line_start)
        if (pp_output_spacing_pending() && *si_cursor.read != ' ' && *si_cursor.read != '\t' &&
            *si_cursor.read != '\n')
            return PP_PLAIN_NONE;
    const bool slash_comments = double_slash_comments == 1 && fortran_lines == 0;
    const unsigned char *start = si_cursor.read;
    const unsigned char *p = start;
    unsigned char quote = 0; // the quote of the open constant, 0 outside constants
    // Just past the last quote seen: a blank before it may lie in a constant.
    const unsigned char *after_quote = start;
    // Names matter only outside constants: inside one every letter is ordinary text.
    const PlainTables tables = plain_tables(names);
    const std::uint8_t *outside = tables.outside;
    const std::uint8_t *classes = outside;
    const std::uint32_t *shapes = pp_macro_name_shapes();
    bool comment = false; // the line ends in a Fortran comment, copied as it stands
    const bool fixed = fortran_comments != 0 && pp_fixed_form();
    if (line_start && fixed) {
        int line_comment = fixed_comment_line(start);
        if (line_comment < 0) return PP_PLAIN_NONE;
        comment = line_comment > 0;
    }
    // A comment line is text up to its newline; anything else is scanned byte class by class.
    if (comment && !rest_of_line(&p)) return PP_PLAIN_NONE;
    while (!comment) {
        p = skip_other(p, classes);
        unsigned char c = *p;
        std::uint8_t k = classes[c];
        // Under -m most stops are names: they are taken before the switch, whose indirect
        // jump would be mispredicted at nearly every name.
        if (names && k == PLAIN_START) {
            // A name starts here: the byte before is no letter or digit (those would be part
            // of the same name or number). Under -m a macro name needs the lexer.
            const unsigned char *name = p++;
            while (name_byte(*p)) ++p;
            if (pp_shape_may_name_macro(shapes, name, static_cast<std::uint32_t>(p - name)) &&
                names_macro(name, static_cast<std::uint32_t>(p - name)))
                return copy_before_name(start, after_quote, name);
            continue;
        }
        switch (k) {
        case PLAIN_OTHER: ++p; continue;
        case PLAIN_STOP: return PP_PLAIN_NONE;
        case PLAIN_NEWLINE: break;
        case PLAIN_SLASH:
            // Inside a constant `/*` and `//` are text. A continuation or trigraph between
            // the two bytes stops the scan at the next byte.
            if (quote == 0 && (p[1] == '*' || (p[1] == '/' && slash_comments)))
                return PP_PLAIN_NONE;
            ++p;
            continue;
        case PLAIN_QUOTE:
            if (quote == 0) {
                quote = c;
                classes = tables.inside;
            } else if (quote == c) {
                quote = 0;
                classes = outside;
            }
            after_quote = ++p;
            continue;
        case PLAIN_DIGIT:
            // A number takes the letters and digits after it: none of them starts a name.
            while (name_byte(*p)) ++p;
            continue;
        case PLAIN_BANG: {
            // In column 6 of a fixed-form line a continuation mark, else a comment up to the
            // newline unless a sentinel makes it a directive for the compiler (that line is
            // left to the lexer, which expands it).
            std::uint32_t at =
                (line_start ? 1 : si_cursor.column) + static_cast<std::uint32_t>(p - start);
            if (fixed && at == 6) {
                ++p;
                continue;
            }
            if (pp_sentinel_at(p + 1) != 0 || !rest_of_line(&p)) return PP_PLAIN_NONE;
            comment = true;
            break;
        }
        }
        break;
    }
    // The newline ends the column count here, as it does in the lexer: a line past the widest
    // column is left to the lexer, which reports it.
    const std::uint32_t column = line_start ? 1 : si_cursor.column;
    if (column + static_cast<std::uint32_t>(p - start) > SI_MAX_COLUMN) return PP_PLAIN_NONE;
    // The blanks before the newline belong to the newline token and are not written, except
    // in a constant left open, whose text runs up to the newline.
    const unsigned char *end = p;
    // A comment is copied unchanged, its trailing blanks too.
    if (quote == 0 && !comment)
        while (end > start && (end[-1] == ' ' || end[-1] == '\t')) --end;
    Position position{si_cursor.line, static_cast<std::uint16_t>(si_cursor.column),
                      si_cursor.stream};
    std::uint32_t length = static_cast<std::uint32_t>(end - start);
    if constexpr (line_start) {
        pp_write_plain_line(position, start, length);
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
    return length == 0 ? PP_PLAIN_BLANK : PP_PLAIN_TEXT;
}

} // namespace

void pp_set_plain_lines(bool enabled) {
    plain.enabled = enabled;
    plain.noted_text = nullptr;
}

TextHandle pp_take_noted_name(const unsigned char *text, std::uint32_t length) {
    // The bytes at the noted place are still the name only until the lexer reads on: the note
    // serves the next question and no other.
    TextHandle handle =
        text == plain.noted_text && length == plain.noted_length ? plain.noted_handle : TEXT_NULL;
    plain.noted_text = nullptr;
    return handle;
}

std::uint64_t pp_plain_lines_copied() { return plain.copied; }

PpPlainLine pp_copy_plain_line() {
    return expand_macros != 0 ? copy_plain_text<true, true>() : copy_plain_text<true, false>();
}

PpPlainLine pp_copy_plain_rest() {
    // Only a macro use leads here, so only under -m.
    return expand_macros != 0 ? copy_plain_text<false, true>() : copy_plain_text<false, false>();
}

// This file implements the Fortran side of the line reading: the source form of a file (fixed
// or free, from its extension or --form=), the rule sets for code and directive lines, and the
// opaque Fortran comments (`!` to the end of the line, the fixed-form comment lines) with the
// directive sentinels that keep a comment line code.
#include <cstring>

#include "fe/host.h"
#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"

namespace {

// The extensions of fixed-form and free-form sources, compared without regard to case.
constexpr const char *fixed_extensions[] = {"f", "for", "ftn", "f77", "fpp"};
constexpr const char *free_extensions[] = {"f90", "f95", "f03", "f08", "f18", "f23"};

// Lower-case ASCII letter of `c` (other bytes unchanged).
inline unsigned char lower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool same_extension(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (lower(static_cast<unsigned char>(*a)) != static_cast<unsigned char>(*b)) return false;
    return *a == '\0' && *b == '\0';
}

// The sentinels after the `!` (or the fixed-form column-1 `c`, `C`, `*`) that make a comment
// line a compiler directive: `$` and a blank, then the named ones (compared in lower case).
constexpr const char *sentinels[] = {"$omp", "$acc", "dir$", "dec$", "gcc$"};
constexpr std::size_t SENTINEL_LOOK = 4; // the bytes a sentinel needs after its first byte

} // namespace

std::uint8_t pp_form_for(const char *name, std::uint8_t includer_fixed) {
    if (source_form != 0) return source_form == 1 ? 1 : 0;
    const char *dot = std::strrchr(host_file_part(name), '.');
    if (dot != nullptr) {
        for (const char *e : fixed_extensions)
            if (same_extension(dot + 1, e)) return 1;
        for (const char *e : free_extensions)
            if (same_extension(dot + 1, e)) return 0;
    }
    return includer_fixed;
}

bool pp_fixed_form() {
    const PpFileRecord *file = pp_file_top();
    return file != nullptr && file->fixed_form != 0;
}

LexRuleSet pp_code_rule_set() { return fortran_lines != 0 ? LEX_FORTRAN_LEXER : LEX_MAIN_LEXER; }

LexRuleSet pp_directive_rule_set() {
    return fortran_lines != 0 ? LEX_FORTRAN_DIRECTIVE_LEXER : LEX_MAIN_LEXER;
}

int pp_sentinel_at(const unsigned char *text) {
    if (text[0] == '$' && (text[1] == ' ' || text[1] == '\t')) return 1;
    // Every sentinel starts with `$`, `d` or `g`: after any other byte (most comments) none
    // stands here, whatever follows.
    const unsigned char first = lower(text[0]);
    if (first != '$' && first != 'd' && first != 'g' && first != 0) return 0;
    unsigned char look[SENTINEL_LOOK] = {};
    for (std::size_t i = 0; i < SENTINEL_LOOK; ++i) {
        // A 0 byte ends the buffered data: the bytes after it are not known yet.
        if (text[i] == 0) return -1;
        look[i] = lower(text[i]);
        if (text[i] == '\n') break;
    }
    bool named = false;
    for (const char *s : sentinels) named = named || std::memcmp(look, s, SENTINEL_LOOK) == 0;
    if (!named) return 0;
    // A sentinel is a word of its own: `!$ompx` is a comment.
    unsigned char after = text[SENTINEL_LOOK];
    if (after == 0) return -1;
    bool name_byte = (after >= 'a' && after <= 'z') || (after >= 'A' && after <= 'Z') ||
                     (after >= '0' && after <= '9') || after == '_' || after == '$';
    return name_byte ? 0 : 1;
}

namespace {

// The bytes peek_line reads: a column-1 comment mark, a sentinel and the byte after it.
constexpr std::size_t PEEK_SIZE = SENTINEL_LOOK + 2;

// Reads up to PEEK_SIZE bytes after the read point into `look` (0-terminated, stopping at the
// newline or the end), then puts the read point back where it was.
void peek_line(unsigned char (&look)[PEEK_SIZE + 1]) {
    Position start = si_current_position();
    std::uint32_t n = 0;
    while (n < PEEK_SIZE) {
        int c = si_get_char();
        if (c == SI_END_OF_STREAM) {
            si_back_up(1);
            break;
        }
        look[n++] = static_cast<unsigned char>(c);
        if (c == '\n') break;
    }
    look[n] = 0;
    // The bytes just read are in the ring unless a refill overwrote them; then seek.
    if (n != 0 && si_back_up(n) != SI_OK) si_seek(start);
}

} // namespace

bool pp_bang_starts_comment(const CurrentToken *token) {
    if (fortran_comments == 0) return false;
    // A `!` in column 6 of a fixed-form line marks a continuation line, also when the lexer
    // took it together with the `=` after it.
    if (token->position.column == 6 && pp_fixed_form()) return false;
    if (token->kind == TOKEN_EXCLEQ) return true;
    unsigned char look[PEEK_SIZE + 1];
    peek_line(look);
    return pp_sentinel_at(look) != 1;
}

int pp_fixed_comment_line_at(const unsigned char *line) {
    unsigned char c = line[0];
    if (c != 'C' && c != 'c' && c != '*' && c != '!') return 0;
    int sentinel = pp_sentinel_at(line + 1);
    return sentinel < 0 ? -1 : sentinel == 0 ? 1 : 0;
}

bool pp_comment_line_here() {
    if (fortran_comments == 0 || si_cursor.column != 1 || !pp_fixed_form()) return false;
    unsigned char look[PEEK_SIZE + 1];
    peek_line(look);
    // The peeked bytes end at the end of the input: a sentinel not complete there is none.
    return pp_fixed_comment_line_at(look) != 0;
}

bool pp_copy_fortran_comment(bool write) {
    // Written in pieces of the bytes already in the read buffer; trailing blanks are comment
    // text too and stay.
    for (;;) {
        if (*si_cursor.read == 0 && si_refill_char() == SI_END_OF_STREAM) return false;
        const unsigned char *start = si_cursor.read;
        const unsigned char *p = start;
        while (*p != 0 && *p != '\n' && *p != SI_END_OF_STREAM) ++p;
        auto length = static_cast<std::uint32_t>(p - start);
        if (write && length != 0)
            pp_write_comment_text(reinterpret_cast<const char *>(start), length);
        si_cursor.read = const_cast<unsigned char *>(p);
        si_cursor.column += length;
        if (*p == '\n') return true;
        if (*p == SI_END_OF_STREAM) return false;
    }
}

// This file implements the table-driven lexer: the scan of one token over the generated
// automaton (one table lookup per character, longest match with back-up to the last accepting
// position), the rule-set switch, the keyword map built at start-up, and the lexer's traces.
#include "lexer/lexer.h"

#include <array>
#include <cassert>
#include <cstdio>

#include "fe/fe.h"
#include "lexer/lexer_internal.h"
#include "lexer_tables.h"
#include "mm/mm.h"
#include "si/si.h"
#include "text/text.h"

namespace {

constexpr const char *rule_set_names[] = {
#define LEX_RULE_SET(number, ident, name) name,
#include "lexer/lexer_rule_sets.def"
#undef LEX_RULE_SET
};
constexpr int RULE_SET_NAME_COUNT = sizeof rule_set_names / sizeof rule_set_names[0];

// The generated automaton must start each rule set where its number says.
static_assert(LEX_START_main_lexer == LEX_MAIN_LEXER);
static_assert(LEX_START_first_token_lexer == LEX_FIRST_TOKEN_LEXER);
static_assert(LEX_START_fortran_lexer == LEX_FORTRAN_LEXER);
static_assert(LEX_START_fortran_directive_lexer == LEX_FORTRAN_DIRECTIVE_LEXER);
static_assert(LEX_RULE_SET_COUNT + 1 == RULE_SET_NAME_COUNT);
static_assert(LEX_CLASS_COUNT == 53 && LEX_NEWLINE_CLASS == 50);
static_assert(LEX_STATE_COUNT <= 32767, "state numbers are signed 16-bit");

constexpr int count_keywords() {
    int n = 0;
#define TOKEN_KEYWORD(kind, text) ++n;
#include "lexer/token_spellings.def"
    return n;
}
static_assert(count_keywords() == 32, "one spelling for each keyword kind 2..33");

constexpr std::uint32_t KEYWORD_MAP_SLACK = 32; // room for the keywords entered by the build

struct LexerState {
    LexRuleSet rule_set = LEX_MAIN_LEXER;
    std::uint8_t *keyword_map = nullptr; // kind of each handle up to map_highest, ERROR_TOKEN else
    std::int32_t map_highest = -1;       // the highest handle the map covers
    std::uint16_t map_clear_count = 0;   // the text table's clear count when the map was built
    bool fast_scan = true;               // off only in tests that compare it with the automaton
    bool fortran_literals = false;       // quotes open Fortran character literals
    bool fortran_operators = false;      // `.eq.` and the like are tokens of their own
    bool fortran_start = false;          // either of the two: the token's start is looked at first
};

LexerState lex;

// ---- Traces -------------------------------------------------------------------------------

// The lex-debug line for entering state `state` on character `ch`.
void trace_state(int state, int ch) {
    std::FILE *out = fe_begin_trace();
    std::fprintf(out, "    lexer: state=%3d, char='", state);
    fe_print_char(out, ch);
    std::fputc('\'', out);
    const LexStateRow &row = lex_states[state];
    if (row.kind != ERROR_TOKEN) std::fprintf(out, " recognize %s", token_kind_name(row.kind));
    std::fputs(row.low > row.high ? " stop\n" : " continue\n", out);
}

// The lex-trace line for the token just scanned.
void trace_token(TokenKind kind, Position position) {
    std::FILE *out = fe_begin_trace();
    std::fprintf(out, "  LEX %s,\tvalue='", token_kind_name(kind));
    std::uint32_t length = si_mark_length();
    const unsigned char *text = si_mark_text();
    for (std::uint32_t i = 0; i < length; ++i) fe_print_char(out, text[i]);
    std::fprintf(out, "', line=%ld, col=%ld, file=%s, ruleset=%s%s",
                 static_cast<long>(position.line), static_cast<long>(position.column),
                 si_stream_name(static_cast<StreamHandle>(position.stream)),
                 lex_rule_set_name(lex.rule_set),
                 kind == FIRST_TOKEN || kind == ERROR_TOKEN ? " [discard]\n" : "\n");
}

// ---- The scan -----------------------------------------------------------------------------

// The line count for a newline being consumed (the caller resets the column to 1). A line that
// ran past the widest column a position can hold is reported first.
inline void take_newline(std::uint32_t column) {
    if (column > SI_MAX_COLUMN) {
        si_cursor.column = column;
        si_line_too_long();
    }
    ++si_cursor.line;
}

// Scans one token from state `start`. The read point and column live in locals while the loop
// runs and go back to the stream's cursor before every call into the stream layer.
template <bool Debug> TokenKind scan(int start) {
    SiCursor &cursor = si_cursor;
    unsigned char *read = cursor.read;
    std::uint32_t column = cursor.column;

    int state = start;
    const LexStateRow *row = &lex_states[start];
    int last = ERROR_TOKEN;        // what the state just entered accepts
    int kind_so_far = ERROR_TOKEN; // what the longest accepted prefix before it is
    unsigned char *saved_read = nullptr;
    std::uint32_t saved_line = 0, saved_column = 0;
    bool consumed = false;

    for (;;) {
        unsigned ch = *read;
        int cls = lex_scan_class[ch];
        if (cls < row->low || cls > row->high) [[unlikely]] {
            if (ch == 0) {
                // The sentinel at the end of the data or of the ring, or a 0 byte in the file.
                cursor.read = read;
                cursor.column = column;
                si_next_buffer();
                read = cursor.read;
                column = cursor.column;
                continue;
            }
            if constexpr (Debug) trace_state(0, static_cast<int>(ch));
            break;
        }
        int next = lex_transitions[row->offset + cls];
        // The newline column is taken silently.
        if constexpr (Debug)
            if (cls != LEX_NEWLINE_CLASS) trace_state(next, static_cast<int>(ch));
        if (next == state) {
            // A self-loop only advances (the generator checks no self-loop reads a newline).
            ++read;
            ++column;
            continue;
        }
        const LexStateRow *next_row = &lex_states[next];
        if (next_row->low > next_row->high) {
            if (next_row->kind == ERROR_TOKEN) break; // the dead state: the character stays
            ++read;
            if (cls == LEX_NEWLINE_CLASS) {
                take_newline(column);
                column = 1;
            } else {
                ++column;
            }
            cursor.read = read;
            cursor.column = column;
            return static_cast<TokenKind>(next_row->kind);
        }
        if (last != ERROR_TOKEN) {
            kind_so_far = last;
            saved_read = read;
            saved_line = cursor.line;
            saved_column = column;
        }
        ++read;
        if (cls == LEX_NEWLINE_CLASS) {
            take_newline(column);
            column = 1;
        } else {
            ++column;
        }
        consumed = true;
        last = next_row->kind;
        state = next;
        row = next_row;
    }

    if (last != ERROR_TOKEN) {
        cursor.read = read;
        cursor.column = column;
        return static_cast<TokenKind>(last);
    }
    if (kind_so_far != ERROR_TOKEN) {
        if (cursor.lost == 0) {
            // Every byte since the token start is still in the ring.
            cursor.read = saved_read;
            cursor.line = saved_line;
            cursor.column = saved_column;
        } else {
            // A refill overwrote the token's start: go back through the stream layer.
            cursor.read = read;
            cursor.column = column;
            Position token_start{cursor.mark_line, static_cast<std::uint16_t>(cursor.mark_column),
                                 cursor.stream};
            Position end{saved_line, static_cast<std::uint16_t>(saved_column), cursor.stream};
            si_seek(token_start);
            si_set_mark();
            si_seek(end);
        }
        return static_cast<TokenKind>(kind_so_far);
    }
    // Nothing recognised. The scan always progresses: take the character that stopped it.
    if (!consumed) {
        unsigned ch = *read;
        ++read;
        if (ch == '\n') {
            take_newline(column);
            column = 1;
        } else {
            ++column;
        }
    }
    cursor.read = read;
    cursor.column = column;
    return ERROR_TOKEN;
}

void free_keyword_map() {
    if (lex.keyword_map != nullptr) mm_free_vblock(mm_general_pool(), lex.keyword_map);
    lex.keyword_map = nullptr;
    lex.map_highest = -1;
}

// The bytes the fast scan treats: a name's first byte, digits (a number's first byte, later in
// a name), blanks, and the punctuators that are tokens of one byte.
enum FastClass : std::uint8_t {
    FAST_NONE,
    FAST_NAME_START,
    FAST_DIGIT,
    FAST_BLANK,
    FAST_SINGLE,
    FAST_PAIRED, // a punctuator of one byte that some bytes after it join into a longer one
};

constexpr std::array<std::uint8_t, 256> make_fast_classes() {
    std::array<std::uint8_t, 256> classes{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t k = FAST_NONE;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') k = FAST_NAME_START;
        if (c >= '0' && c <= '9') k = FAST_DIGIT;
        if (c == ' ' || c == '\t') k = FAST_BLANK;
        // Punctuators that no longer token starts with (no `=` pair, no trigraph).
        if (c == '(' || c == ')' || c == ',' || c == ';' || c == ':') k = FAST_SINGLE;
        if (c == '+' || c == '-' || c == '*' || c == '=') k = FAST_PAIRED;
        classes[static_cast<std::size_t>(c)] = k;
    }
    return classes;
}

constexpr std::array<std::uint8_t, 256> fast_class = make_fast_classes();

// The bytes after a name that the fast scan leaves to the automaton: `$` (the dollar rule),
// `\` and `?` (a continuation, also as the trigraph ??/, splices the name), the 0 byte (the
// end of the buffered data or of the ring: the name may go on) and quotes (after a lone `L`
// they make a wide constant).
constexpr std::array<bool, 256> make_name_stops() {
    std::array<bool, 256> stops{};
    stops['$'] = stops['\\'] = stops['?'] = stops[0] = stops['\''] = stops['"'] = true;
    return stops;
}

constexpr std::array<bool, 256> name_stops = make_name_stops();

// The kind of a FAST_SINGLE byte.
inline TokenKind single_kind(unsigned char c) {
    switch (c) {
    case '(': return TOKEN_LPAREN;
    case ')': return TOKEN_RPAREN;
    case ',': return TOKEN_COMMA;
    case ';': return TOKEN_SEMICOLON;
    default: return TOKEN_COLON;
    }
}

// The bytes a pp-number takes after its first digit: letters, digits, `_` and `.`; a `+` or
// `-` joins them only right after an `e` or `E`.
constexpr std::array<bool, 256> make_number_bytes() {
    std::array<bool, 256> bytes{};
    for (int c = 0; c < 256; ++c)
        bytes[static_cast<std::size_t>(c)] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                             (c >= '0' && c <= '9') || c == '_' || c == '.';
    return bytes;
}

constexpr std::array<bool, 256> number_bytes = make_number_bytes();

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Past an integer suffix (`u`, `l`, `ul`, `lu` in any case) at t[i], if one stands there.
inline std::uint32_t past_integer_suffix(const unsigned char *t, std::uint32_t i) {
    auto is = [&](char lower) { return (t[i] | 0x20) == lower; };
    if (is('u')) {
        ++i;
        if (is('l')) ++i;
    } else if (is('l')) {
        ++i;
        if (is('u')) ++i;
    }
    return i;
}

// The kind of the whole pp-number t[0, n) that starts with a digit, as the rules give it: the
// first of the decimal, octal, hexadecimal and floating forms that the whole text fits, else
// TOKEN_PPNUM. (t[n] is readable: the byte after the number.)
TokenKind number_form(const unsigned char *t, std::uint32_t n) {
    std::uint32_t i = 1;
    while (i < n && is_digit(t[i])) ++i;
    if (t[0] != '0') {
        if (i == n || past_integer_suffix(t, i) == n) return TOKEN_DECCONST;
    } else {
        std::uint32_t k = 1;
        while (k < n && t[k] >= '0' && t[k] <= '7') ++k;
        if (k == n || past_integer_suffix(t, k) == n) return TOKEN_OCTCONST;
        if (n > 2 && (t[1] | 0x20) == 'x') {
            k = 2;
            while (k < n && (is_digit(t[k]) || ((t[k] | 0x20) >= 'a' && (t[k] | 0x20) <= 'f'))) ++k;
            if (k > 2 && (k == n || past_integer_suffix(t, k) == n)) return TOKEN_HEXCONST;
        }
    }
    // Digits, then a point and digits, or an exponent, or both; then `f` or `l`.
    bool point = false;
    if (i < n && t[i] == '.') {
        point = true;
        ++i;
        while (i < n && is_digit(t[i])) ++i;
    }
    bool exponent = false;
    if (i < n && (t[i] | 0x20) == 'e') {
        std::uint32_t k = i + 1;
        if (k < n && (t[k] == '+' || t[k] == '-')) ++k;
        const std::uint32_t digits = k;
        while (k < n && is_digit(t[k])) ++k;
        if (k > digits) {
            exponent = true;
            i = k;
        }
    }
    if (point || exponent) {
        if (i < n && ((t[i] | 0x20) == 'f' || (t[i] | 0x20) == 'l')) ++i;
        if (i == n) return TOKEN_FLOATCONST;
    }
    return TOKEN_PPNUM;
}

// The end of the longest pp-number from the digit at `read`; nullptr where the automaton could
// read on past it (a `\\` or `?` after it may splice it; the 0 after it may end the buffered
// data).
inline const unsigned char *number_end(const unsigned char *read) {
    const unsigned char *p = read + 1;
    for (;;) {
        if (number_bytes[*p]) {
            ++p;
        } else if ((*p == '+' || *p == '-') && (p[-1] | 0x20) == 'e') {
            ++p;
        } else {
            break;
        }
    }
    return *p == '\\' || *p == '?' || *p == 0 ? nullptr : p;
}

// The number at the digit at `p`, read without the automaton (lex_number_at); defined below,
// beside the Fortran operators it may hold.
TokenKind number_at(const unsigned char *p, std::uint32_t *length);

// Takes the number of `length` bytes at the read point as one token of kind `kind`.
inline TokenKind take_number(std::uint32_t length, TokenKind kind) {
    si_cursor.column += length;
    si_cursor.read += length;
    return kind;
}

// Whether `next`, after the punctuator `c` (a FAST_PAIRED byte), may make a longer token of it:
// `+=`, `++`, `-=`, `--`, `->`, `*=`, `==`, or any of them through a continuation or the
// trigraph of one; the 0 that ends the buffered data may hide either.
inline bool may_pair(unsigned char c, unsigned char next) {
    return next == '=' || next == '\\' || next == '?' || next == 0 ||
           ((c == '+' || c == '-') && next == c) || (c == '-' && next == '>');
}

// The kind of a FAST_PAIRED byte standing alone.
inline TokenKind paired_kind(unsigned char c) {
    switch (c) {
    case '+': return TOKEN_PLUS;
    case '-': return TOKEN_DASH;
    case '*': return TOKEN_STAR;
    default: return TOKEN_EQ;
    }
}

// The commonest tokens of the main rule set without the automaton: a name (TOKEN_IDENTIFIER),
// a number, blanks (TOKEN_HORIZ_WHITESPACE), blanks ending a line (TOKEN_NEWLINE) and the
// punctuators of one byte where no longer token starts, in exactly the cases where the automaton's
// longest match gives the same token; anything else returns ERROR_TOKEN with nothing read, and the
// automaton scans it.
inline TokenKind scan_fast() {
    unsigned char *read = si_cursor.read;
    unsigned char *p = read + 1;
    switch (fast_class[*read]) {
    case FAST_NAME_START:
        while (fast_class[*p] == FAST_NAME_START || fast_class[*p] == FAST_DIGIT) ++p;
        // A quote only matters after a lone `L`; the other stops always.
        if (name_stops[*p] && ((*p != '\'' && *p != '"') || (*read == 'L' && p == read + 1)))
            return ERROR_TOKEN;
        si_cursor.read = p;
        si_cursor.column += static_cast<std::uint32_t>(p - read);
        return TOKEN_IDENTIFIER;
    case FAST_BLANK:
        while (fast_class[*p] == FAST_BLANK) ++p;
        if (*p == '\n') {
            take_newline(si_cursor.column + static_cast<std::uint32_t>(p - read));
            si_cursor.read = p + 1;
            si_cursor.column = 1;
            return TOKEN_NEWLINE;
        }
        if (*p == 0) return ERROR_TOKEN; // the blanks may go on in the next block
        si_cursor.read = p;
        si_cursor.column += static_cast<std::uint32_t>(p - read);
        return TOKEN_HORIZ_WHITESPACE;
    case FAST_SINGLE:
        si_cursor.read = p;
        si_cursor.column += 1;
        return single_kind(*read);
    case FAST_DIGIT: {
        std::uint32_t length = 0;
        const TokenKind kind = number_at(read, &length);
        return kind == ERROR_TOKEN ? ERROR_TOKEN : take_number(length, kind);
    }
    case FAST_PAIRED:
        if (may_pair(*read, *p)) return ERROR_TOKEN;
        si_cursor.read = p;
        si_cursor.column += 1;
        return paired_kind(*read);
    default: return ERROR_TOKEN;
    }
}

// The byte under the read point, the next block read first when the buffered data ends there.
inline int peek_char() {
    int c = *si_cursor.read;
    return c != 0 ? c : si_refill_char();
}

// A Fortran character literal from the quote under the read point: a doubled quote stands for
// one and a backslash is an ordinary character. A literal left open at the end of its line
// runs up to the newline (which stays unread) and is ERROR_TOKEN, as an open C constant is.
TokenKind scan_fortran_literal() {
    // Most literals close within the buffered data: they are taken at once. One that meets its
    // line's end, or the end of the data (also right after a quote, which may be doubled), is
    // read byte by byte.
    if (lex.fast_scan) {
        const unsigned char *read = si_cursor.read;
        const unsigned char quote = *read;
        const unsigned char *p = read + 1;
        for (;;) {
            const unsigned char c = *p;
            if (c == quote) {
                if (p[1] == quote) {
                    p += 2;
                    continue;
                }
                if (p[1] == 0) break;
                ++p;
                si_cursor.column += static_cast<std::uint32_t>(p - read);
                si_cursor.read = const_cast<unsigned char *>(p);
                return quote == '\'' ? TOKEN_CHARCONST : TOKEN_STRINGCONST;
            }
            if (c == '\n' || c == 0 || c == SI_END_OF_STREAM) break;
            ++p;
        }
    }
    const int quote = si_get_char();
    for (;;) {
        int c = peek_char();
        if (c == '\n' || c == SI_END_OF_STREAM) return ERROR_TOKEN;
        si_get_char();
        if (c == quote) {
            if (peek_char() != quote) return quote == '\'' ? TOKEN_CHARCONST : TOKEN_STRINGCONST;
            si_get_char();
        }
    }
}

// An `L` right before a quote is a name of its own, as any other letter is: Fortran has no wide
// constants, and the literal after it must be read as a Fortran literal. True when the `L` at
// the read point (the token's start, `start`) is followed by a quote; it is then consumed.
bool ell_before_quote(Position start) {
    unsigned char next = si_cursor.read[1];
    if (next != 0) {
        if (next != '\'' && next != '"') return false;
        si_get_char();
        return true;
    }
    // The `L` ends the buffered data: read on to see the byte after it.
    si_get_char();
    int c = peek_char();
    if (c == '\'' || c == '"') return true;
    if (si_back_up(1) != SI_OK) {
        si_seek(start);
        si_set_mark();
    }
    return false;
}

// The Fortran operator and constant names between the dots, lower case.
constexpr const char *fortran_operator_names[] = {"eq", "ne",  "lt",  "le",   "gt",   "ge",   "and",
                                                  "or", "not", "eqv", "neqv", "true", "false"};
constexpr std::uint32_t FORTRAN_NAME_MAX = 5; // the longest name, "false"

inline bool is_letter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// True when the `count` letters at `text` (any case) are one of the operator names.
bool is_fortran_operator_name(const unsigned char *text, std::uint32_t count) {
    if (count < 2 || count > FORTRAN_NAME_MAX) return false;
    for (const char *name : fortran_operator_names) {
        std::uint32_t i = 0;
        while (i < count && name[i] != '\0' && (text[i] | 0x20) == name[i]) ++i;
        if (i == count && name[i] == '\0') return true;
    }
    return false;
}

// The length of the operator `.name.` at the start of the `length` bytes at `text`, 0 when
// none stands there.
std::uint32_t fortran_operator_at(const unsigned char *text, std::uint32_t length) {
    if (length < 4 || text[0] != '.') return 0;
    std::uint32_t n = 1;
    while (n < length && n <= FORTRAN_NAME_MAX + 1 && is_letter(text[n])) ++n;
    if (n >= length || text[n] != '.' || !is_fortran_operator_name(text + 1, n - 1)) return 0;
    return n + 1;
}

// The operator at the read point (a dot there): consumed and true, or nothing consumed and
// false. The letters are read through the stream layer, so the operator may cross a refill.
bool scan_fortran_operator(Position start) {
    unsigned char text[FORTRAN_NAME_MAX + 3];
    std::uint32_t n = 0;
    text[n++] = static_cast<unsigned char>(si_get_char());
    for (;;) {
        int c = peek_char();
        text[n] = static_cast<unsigned char>(c);
        if (c == SI_END_OF_STREAM || n > FORTRAN_NAME_MAX + 1 || (c != '.' && !is_letter(c))) break;
        si_get_char();
        ++n;
        if (c == '.') break;
    }
    if (fortran_operator_at(text, n) == n) return true;
    // Not an operator: back to the dot, which the ordinary scan then reads.
    if (si_back_up(n) != SI_OK) {
        si_seek(start);
        si_set_mark();
    }
    return false;
}

// The kind of a number cut short before an operator: the C forms the automaton knows
// (decimal, octal, floating), any other a pp-number.
TokenKind number_kind(const unsigned char *text, std::uint32_t length) {
    std::uint32_t i = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == length) {
        if (text[0] != '0') return TOKEN_DECCONST;
        for (std::uint32_t k = 0; k < length; ++k)
            if (text[k] > '7') return TOKEN_PPNUM;
        return TOKEN_OCTCONST;
    }
    std::uint32_t digits = i;
    bool dot = false;
    if (text[i] == '.') {
        dot = true;
        ++i;
        while (i < length && text[i] >= '0' && text[i] <= '9') ++i;
        digits += i - digits - 1;
    }
    if (digits == 0) return TOKEN_PPNUM;
    bool exponent = false;
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        std::uint32_t k = i + 1;
        if (k < length && (text[k] == '+' || text[k] == '-')) ++k;
        std::uint32_t first = k;
        while (k < length && text[k] >= '0' && text[k] <= '9') ++k;
        if (k == first) return TOKEN_PPNUM;
        exponent = true;
        i = k;
    }
    if (!dot && !exponent) return TOKEN_PPNUM;
    if (i < length && (text[i] == 'f' || text[i] == 'F' || text[i] == 'l' || text[i] == 'L')) ++i;
    return i == length ? TOKEN_FLOATCONST : TOKEN_PPNUM;
}

// A number just scanned that holds an operator (`1.eq.N` is one pp-number to the automaton)
// is cut before the operator's dot; the scan resumes there. Returns the kind of what is left.
TokenKind cut_number_before_operator(TokenKind kind, Position start) {
    std::uint32_t length = si_mark_length();
    const unsigned char *text = si_mark_text();
    std::uint32_t cut = 1;
    while (cut < length && (text[cut] != '.' || fortran_operator_at(text + cut, length - cut) == 0))
        ++cut;
    if (cut >= length) return kind;
    TokenKind cut_kind = number_kind(text, cut);
    if (si_back_up(length - cut) != SI_OK) {
        // A refill overwrote the number's start: seek back to it, mark, and read up to the cut.
        si_seek(start);
        si_set_mark();
        for (std::uint32_t i = 0; i < cut; ++i) si_get_char();
    }
    return cut_kind;
}

// Whether the number t[0, n) holds an operator after its first byte, where the number is cut.
bool holds_operator(const unsigned char *t, std::uint32_t n) {
    for (std::uint32_t i = 1; i < n; ++i)
        if (t[i] == '.' && fortran_operator_at(t + i, n - i) != 0) return true;
    return false;
}

TokenKind number_at(const unsigned char *p, std::uint32_t *length) {
    if (!lex.fast_scan || !is_digit(*p)) return ERROR_TOKEN;
    const unsigned char *end = number_end(p);
    if (end == nullptr) return ERROR_TOKEN;
    const auto n = static_cast<std::uint32_t>(end - p);
    if (lex.fortran_operators && holds_operator(p, n)) return ERROR_TOKEN;
    *length = n;
    return number_form(p, n);
}

inline bool is_number_kind(TokenKind kind) {
    return kind == TOKEN_DECCONST || kind == TOKEN_OCTCONST || kind == TOKEN_HEXCONST ||
           kind == TOKEN_FLOATCONST || kind == TOKEN_PPNUM;
}

// Under fortran_literals: true when a literal or a lone `L` before one stood at the read point
// and was scanned here (its kind in *kind); under fortran_operators: true for an operator, or a
// number scanned here and cut before an operator it holds. False leaves the token to the
// ordinary scan.
bool scan_fortran_start(Position start, TokenKind *kind) {
    if (lex.rule_set == LEX_FIRST_TOKEN_LEXER) return false;
    unsigned char c = *si_cursor.read;
    if (lex.fortran_literals) {
        if (c == '\'' || c == '"') {
            *kind = scan_fortran_literal();
            return true;
        }
        if (c == 'L' && ell_before_quote(start)) {
            *kind = TOKEN_IDENTIFIER;
            return true;
        }
    }
    if (!lex.fortran_operators) return false;
    if (c == '.') {
        // The letters after the dot and the byte after them in the buffered data say at once
        // whether an operator stands here; the end of the data in between leaves it to the
        // byte-by-byte reading.
        const unsigned char *read = si_cursor.read;
        const unsigned char *p = read + 1;
        while (p - read <= static_cast<std::ptrdiff_t>(FORTRAN_NAME_MAX) + 1 && is_letter(*p)) ++p;
        if (*p != 0 && lex.fast_scan) {
            const auto seen = static_cast<std::uint32_t>(p - read) + 1;
            if (fortran_operator_at(read, seen) == seen) {
                si_cursor.column += seen;
                si_cursor.read = const_cast<unsigned char *>(read) + seen;
                *kind = TOKEN_FORTRAN_OP;
                return true;
            }
        } else if (scan_fortran_operator(start)) {
            *kind = TOKEN_FORTRAN_OP;
            return true;
        }
    }
    if ((c >= '0' && c <= '9') || c == '.') {
        // A number holding no operator is the automaton's whole pp-number (the fast scan's).
        if (fe_get_flag(FE_FLAG_LEX_DEBUG) == 0) {
            std::uint32_t length = 0;
            if (const TokenKind number = number_at(si_cursor.read, &length);
                number != ERROR_TOKEN) {
                *kind = take_number(length, number);
                return true;
            }
        }
        TokenKind scanned = ERROR_TOKEN;
        if (fe_get_flag(FE_FLAG_LEX_DEBUG) != 0) [[unlikely]] {
            std::fprintf(fe_begin_trace(), "  enter lexer: rule set=%s, start state=%d\n",
                         lex_rule_set_name(lex.rule_set), static_cast<int>(lex.rule_set));
            scanned = scan<true>(lex.rule_set);
        } else {
            scanned = scan<false>(lex.rule_set);
        }
        *kind = is_number_kind(scanned) ? cut_number_before_operator(scanned, start) : scanned;
        return true;
    }
    return false;
}

} // namespace

void lex_set_fast_scan(bool enabled) { lex.fast_scan = enabled; }

TokenKind lex_number_at(const unsigned char *p, std::uint32_t *length) {
    return number_at(p, length);
}

void lex_set_fortran_literals(bool enabled) {
    lex.fortran_literals = enabled;
    lex.fortran_start = lex.fortran_literals || lex.fortran_operators;
}

void lex_set_fortran_operators(bool enabled) {
    lex.fortran_operators = enabled;
    lex.fortran_start = lex.fortran_literals || lex.fortran_operators;
}

void lex_initialize() {
    lex.rule_set = LEX_MAIN_LEXER;
    if (lex.keyword_map != nullptr && lex.map_clear_count == text_clear_count()) return;
    free_keyword_map();
    std::uint32_t size = static_cast<std::uint32_t>(text_statistics().handles) + KEYWORD_MAP_SLACK;
    lex.keyword_map = static_cast<std::uint8_t *>(mm_get_vblock(mm_general_pool(), size));
    for (std::uint32_t i = 0; i < size; ++i) lex.keyword_map[i] = ERROR_TOKEN;
    lex.map_highest = static_cast<std::int32_t>(size) - 1;
    token_clear_spellings();
#define TOKEN_KEYWORD(kind, text)                                                                  \
    {                                                                                              \
        TextHandle handle = text_enter_string(text);                                               \
        if (handle <= lex.map_highest) lex.keyword_map[handle] = kind;                             \
        token_set_spelling(kind, handle);                                                          \
    }
#define TOKEN_SPELLING_LEXER(kind, text) token_set_spelling(kind, text_enter_string(text));
#include "lexer/token_spellings.def"
    lex.map_clear_count = text_clear_count();
}

void lex_finalize() { free_keyword_map(); }

TokenKind lex_token(TokenKind *kind, Position *position) {
    // The mark is set field by field from separate loads: the scan of the previous token stored
    // the column alone, and a combined load of line and column right after that store would
    // stall on that store (store forwarding fails): half of the lexer's profile samples before.
    // A quote or dot must be seen at the token's start: the next block is read before the mark
    // is set.
    if (lex.fortran_start && *si_cursor.read == 0) [[unlikely]]
        si_refill_char();
    std::uint32_t line = si_cursor.line;
    std::uint32_t column = si_cursor.column;
    asm("" : "+r"(column));
    si_cursor.mark = si_cursor.read;
    si_cursor.mark_line = line;
    si_cursor.mark_column = column;
    si_cursor.lost = 0;
    Position start;
    start.line = line;
    start.column = static_cast<std::uint16_t>(column);
    start.stream = si_cursor.stream;
    *position = start;
    TokenKind result = ERROR_TOKEN;
    if (lex.fortran_start && scan_fortran_start(start, &result)) [[unlikely]] {
        // A Fortran literal or the `L` before one, an operator, or a number next to one.
    } else if (fe_get_flag(FE_FLAG_LEX_DEBUG) != 0) [[unlikely]] {
        std::fprintf(fe_begin_trace(), "  enter lexer: rule set=%s, start state=%d\n",
                     lex_rule_set_name(lex.rule_set), static_cast<int>(lex.rule_set));
        result = scan<true>(lex.rule_set);
    } else {
        result = ERROR_TOKEN;
        // The fast scan's tokens are the same in every rule set but the first-token one.
        if (lex.rule_set != LEX_FIRST_TOKEN_LEXER && lex.fast_scan) result = scan_fast();
        if (result == ERROR_TOKEN) result = scan<false>(lex.rule_set);
    }
    *kind = result;
    if (fe_get_flag(FE_FLAG_LEX_TRACE) != 0) [[unlikely]]
        trace_token(result, start);
    return result;
}

void lex_set_rule_set(LexRuleSet rule_set) {
    assert(rule_set > LEX_RULE_SET_ILLEGAL && rule_set <= LEX_RULE_SET_COUNT &&
           "rule set 0 would start the scan in the dead state");
    lex.rule_set = rule_set;
}

LexRuleSet lex_rule_set() { return lex.rule_set; }

const char *lex_rule_set_name(int rule_set) {
    return rule_set > 0 && rule_set < RULE_SET_NAME_COUNT ? rule_set_names[rule_set]
                                                          : rule_set_names[0];
}

TokenKind lex_keyword_kind(TextHandle handle) {
    if (lex.keyword_map == nullptr || handle < 0 || handle > lex.map_highest) return ERROR_TOKEN;
    return static_cast<TokenKind>(lex.keyword_map[handle]);
}

// This file implements the rewriting of lexeme texts: continuations and trigraphs taken out of
// a text through the scratch buffer, the rule for `$` in identifiers, the token conversion of
// the scanning loop, and the upkeep of the current file's directory for pushd_include.
#include <cstring>

#include "fe/host.h"
#include "mm/mm.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

std::uint8_t pp_continuation_flag = 0;

namespace {

constexpr std::uint32_t SCRATCH_SIZE = 65536;

struct TextState {
    unsigned char fixed[SCRATCH_SIZE];
    unsigned char *buffer = fixed; // `fixed`, or a larger general-pool block
    std::uint32_t capacity = SCRATCH_SIZE;
};

TextState scratch;

// A lexeme longer than the buffer gets a larger one instead of running past its end; every
// rewrite only shortens a text, so its own length is always enough.
unsigned char *scratch_for(std::uint32_t length) {
    if (length > scratch.capacity) [[unlikely]] {
        pp_release_scratch();
        std::uint32_t capacity = scratch.capacity;
        while (capacity < length) capacity *= 2;
        scratch.buffer = static_cast<unsigned char *>(mm_get_vblock(mm_general_pool(), capacity));
        scratch.capacity = capacity;
    }
    return scratch.buffer;
}

unsigned char trigraph_replacement(unsigned char c) {
    switch (c) {
    case '=': return '#';
    case '/': return '\\';
    case '\'': return '^';
    case '(': return '[';
    case ')': return ']';
    case '!': return '|';
    case '<': return '{';
    case '>': return '}';
    case '-': return '~';
    default: return 0;
    }
}

TextHandle intern(const unsigned char *text, std::uint32_t length) {
    return text_enter(reinterpret_cast<const char *>(text), length);
}

} // namespace

std::uint32_t pp_scratch_capacity() { return scratch.capacity; }

void pp_release_scratch() {
    if (scratch.buffer != scratch.fixed) mm_free_vblock(mm_general_pool(), scratch.buffer);
    scratch.buffer = scratch.fixed;
    scratch.capacity = SCRATCH_SIZE;
}

void pp_strip_continuations(const unsigned char **text, std::uint32_t *length) {
    if (pp_continuation_flag == 0) return;
    const unsigned char *in = *text;
    std::uint32_t n = *length;
    unsigned char *out = scratch_for(n);
    std::uint32_t k = 0;
    for (std::uint32_t i = 0; i < n;) {
        if (in[i] == '\\') {
            i += 2; // the backslash and its newline
        } else if (in[i] == '?') {
            i += 4; // the trigraph ??/ and its newline
        } else {
            out[k++] = in[i++];
        }
    }
    *text = out;
    *length = k;
}

void pp_replace_trigraphs(const unsigned char **text, std::uint32_t *length) {
    const unsigned char *in = *text;
    std::uint32_t n = *length;
    unsigned char *out = scratch_for(n);
    std::uint32_t k = 0;
    std::uint32_t i = 0;
    while (i < n) {
        if (in[i] == '?' && i + 2 < n && in[i + 1] == '?') {
            unsigned char third = in[i + 2];
            if (third == '?') {
                out[k++] = '?'; // "???=" is "?" and then the trigraph "??="
                ++i;
                continue;
            }
            unsigned char r = trigraph_replacement(third);
            if (r != 0) {
                out[k++] = r;
            } else {
                out[k++] = in[i];
                out[k++] = in[i + 1];
                out[k++] = third;
            }
            i += 3;
            continue;
        }
        out[k++] = in[i++];
    }
    *text = out;
    *length = k;
}

void pp_rewrite_continued_literal(const unsigned char **text, std::uint32_t *length) {
    if (string_trigraphs != 0 && fortran_lines == 0) pp_replace_trigraphs(text, length);
    const unsigned char *in = *text;
    std::uint32_t n = *length;
    // Compacting in place is safe when the text already is in the scratch buffer.
    unsigned char *out = scratch_for(n);
    std::uint32_t k = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (in[i] == '\\' && i + 1 < n && in[i + 1] == '\n') {
            ++i;
            continue;
        }
        out[k++] = in[i];
    }
    *text = out;
    *length = k;
}

void pp_dollar_rule(const unsigned char *text, std::uint32_t *length, CurrentToken *token) {
    if (dollar_ident != 0) {
        token->kind = TOKEN_IDENTIFIER;
        return;
    }
    const void *dollar = std::memchr(text, '$', *length);
    std::uint32_t k =
        dollar != nullptr
            ? static_cast<std::uint32_t>(static_cast<const unsigned char *>(dollar) - text)
            : *length;
    // Back to the lexeme's start, then k bytes again: scanning resumes at the `$` (or after a
    // leading one). A lexeme longer than the ring still holds is found again by seeking.
    if (si_back_up(*length) != SI_OK) si_seek(token->position);
    std::uint32_t keep = k > 0 ? k : 1;
    for (std::uint32_t i = 0; i < keep; ++i) si_get_char();
    token->kind = k > 0 ? TOKEN_IDENTIFIER : ERROR_TOKEN;
    *length = keep;
}

bool pp_is_identifier_text(const char *text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        char c = *text;
        bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool pp_is_digits(const char *text, int count) {
    for (int i = 0; i < count; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

void pp_restore_current_dir() {
    if (pushd_include == 0 || include_dirs == nullptr) return;
    const char *name = si_stream_name(si_cursor.stream);
    const char *part = host_file_part(name);
    std::size_t length = static_cast<std::size_t>(part - name);
    // A directory that does not fit its slot is left out rather than cut (see the include search).
    if (length >= OPTION_NAME_SIZE) length = 0;
    std::memcpy(include_dirs[0], name, length);
    include_dirs[0][length] = '\0';
}

PpLexeme pp_convert_lexeme(CurrentToken *token) {
    PpLexeme lexeme{si_mark_text(), si_mark_length()};
    switch (token->kind) {
    case TOKEN_OCTCONST:
    case TOKEN_HEXCONST:
    case TOKEN_DECCONST:
    case TOKEN_FLOATCONST:
    case TOKEN_PPNUM:
    case ERROR_TOKEN:
    case TOKEN_FORTRAN_OP:
    case TOKEN_IDENTIFIER: return lexeme;
    case TOKEN_OCTCONST_BNL:
    case TOKEN_HEXCONST_BNL:
    case TOKEN_DECCONST_BNL:
    case TOKEN_FLOATCONST_BNL:
    case TOKEN_IDENTIFIER_BNL:
    case TOKEN_PPNUM_BNL:
        // Each _BNL number kind is one above its plain kind; the pp-number keeps its kind.
        if (token->kind == TOKEN_IDENTIFIER_BNL)
            token->kind = TOKEN_IDENTIFIER;
        else if (token->kind != TOKEN_PPNUM_BNL)
            token->kind = static_cast<TokenKind>(token->kind - 1);
        pp_strip_continuations(&lexeme.text, &lexeme.length);
        return lexeme;
    case TOKEN_CHARCONST:
    case TOKEN_STRINGCONST:
        // Fortran lines know no trigraphs.
        if (string_trigraphs != 0 && fortran_lines == 0)
            pp_replace_trigraphs(&lexeme.text, &lexeme.length);
        return lexeme;
    case TOKEN_CHARCONST_BNL:
    case TOKEN_STRINGCONST_BNL:
        token->kind = token->kind == TOKEN_CHARCONST_BNL ? TOKEN_CHARCONST : TOKEN_STRINGCONST;
        pp_rewrite_continued_literal(&lexeme.text, &lexeme.length);
        return lexeme;
    case TOKEN_IDENTIFIER_DOL:
        pp_dollar_rule(lexeme.text, &lexeme.length, token);
        pp_strip_continuations(&lexeme.text, &lexeme.length);
        return lexeme;
    default: {
        TextHandle spelling = token_spelling(token->kind);
        token->value = spelling;
        return PpLexeme{reinterpret_cast<const unsigned char *>(text_string(spelling)),
                        text_length(spelling)};
    }
    }
}

bool pp_has_source_text(TokenKind kind) {
    switch (kind) {
    case TOKEN_OCTCONST:
    case TOKEN_HEXCONST:
    case TOKEN_DECCONST:
    case TOKEN_FLOATCONST:
    case TOKEN_PPNUM:
    case TOKEN_PPNUM_BNL:
    case ERROR_TOKEN:
    case TOKEN_FORTRAN_OP:
    case TOKEN_IDENTIFIER:
    case TOKEN_CHARCONST:
    case TOKEN_STRINGCONST: return true;
    default: return false;
    }
}

void pp_convert_token(CurrentToken *token) {
    PpLexeme lexeme = pp_convert_lexeme(token);
    if (pp_has_source_text(token->kind)) token->value = intern(lexeme.text, lexeme.length);
}

TextHandle pp_passing_name(const char *text, std::uint32_t length) {
    TextHandle handle = text_find(text, length);
    return handle != TEXT_NULL ? handle : text_enter_passing(text, length);
}

void pp_convert_passing_token(CurrentToken *token) {
    PpLexeme lexeme = pp_convert_lexeme(token);
    if (!pp_has_source_text(token->kind)) return;
    const auto *text = reinterpret_cast<const char *>(lexeme.text);
    token->value = token->kind == TOKEN_IDENTIFIER ? pp_passing_name(text, lexeme.length)
                                                   : text_enter_passing(text, lexeme.length);
}

void pp_text_reset() {
    // Not an assignment of a fresh TextState: its buffer would point into the temporary.
    scratch.buffer = scratch.fixed;
    scratch.capacity = SCRATCH_SIZE;
    pp_continuation_flag = 0;
}

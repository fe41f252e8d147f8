// This file implements the direct expansion of the commonest macro uses in code lines: a call
// like `FMAX(A, B)` or a name like `WP`, whose body holds plain tokens and whose arguments name
// no macro, is written straight to the output, with the blanks and markers the frame walk of
// pp_macro_expand.cpp would give it. Anything else (`#`, `##`, names of function-like macros in
// the body, arguments that name macros or run over a line end, counts that draw a message) is
// left to the walk, with nothing read or written.
#include <cstring>

#include "fe/fe.h"
#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// The limits of one call taken directly; a larger one goes to the walk.
constexpr int MAX_ARGUMENTS = 32;
constexpr int MAX_TOKENS = 256;
constexpr std::uint32_t MAX_BYTES = 4096;
// Object-like macros nested in a body, the outermost macro included.
constexpr int MAX_DEPTH = 16;

// One token of the arguments: its text is copied, since the buffer may be refilled before the
// body is written.
struct ArgumentToken {
    TokenKind kind;
    std::uint8_t spaced;
    std::uint16_t length;
    std::uint32_t offset; // in DirectState::bytes
};

struct DirectState {
    ArgumentToken tokens[MAX_TOKENS];
    // Argument k (1-based) holds tokens first[k - 1] to first[k] - 1.
    std::uint16_t first[MAX_ARGUMENTS + 1];
    int count = 0;
    char bytes[MAX_BYTES];
    std::uint32_t used = 0;
    Position invocation{};
    const PpMacro *chain[MAX_DEPTH]; // the macros whose bodies are being checked
    std::uint64_t expansions = 0;
};

DirectState direct;

// ---- Which definitions qualify -----------------------------------------------------------------

// True when the walk would deliver `macro`'s body (at `depth` in the chain of bodies) token by
// token without building any: no `#`, `##` or split constant, and every name a formal, no macro,
// or an object-like macro not already being expanded whose body qualifies in turn. A function-
// like name could take a `(` from after it, a painted or recursive one stays unexpanded.
bool body_qualifies(const PpMacro *macro, int depth) {
    if (depth == MAX_DEPTH || macro->variadic != 0 || macro->error_in_defn != 0) return false;
    direct.chain[depth] = macro;
    for (Token *b = macro->body; b != nullptr && b->kind != TOKEN_NULL; b = b->next) {
        switch (b->kind) {
        case TOKEN_IDENTIFIER: {
            if (pp_formal_number(macro, b) > 0) break;
            const PpMacro *inner = pp_lookup_macro(static_cast<TextHandle>(b->value));
            if (inner == nullptr) break;
            if (b->no_expand != 0 || inner->n_formals >= 0) return false;
            for (int i = 0; i <= depth; ++i)
                if (direct.chain[i] == inner) return false;
            if (!body_qualifies(inner, depth + 1)) return false;
            break;
        }
        case TOKEN_LOOKAHEAD:
        case TOKEN_PASTE:
        case TOKEN_STRINGIZE:
        case TOKEN_CHARIZE:
        case TOKEN_LSTR:
        case TOKEN_LCHR:
        case TOKEN_RSTR:
        case TOKEN_RCHR:
        case TOKEN_ELL:
        case TOKEN_NEWLINE:
        case TOKEN_FINISHED:
        case TOKEN_END_OF_FILE: return false;
        default: break;
        }
    }
    return true;
}

// body_qualifies for the outermost macro, kept in the record until the table next changes (the
// answer depends on the other definitions).
bool qualifies(PpMacro *macro) {
    const std::uint32_t changes = pp_macro_table_changes();
    if (macro->direct_checked != changes) {
        macro->direct = body_qualifies(macro, 0) ? 1 : 0;
        macro->direct_checked = changes;
    }
    return macro->direct != 0;
}

// ---- The arguments ---------------------------------------------------------------------------

// The text the conversion of the scanning loop gives a token read from the source; false for a
// token the walk must see (a name of a macro, a constant whose text would change, an operator
// that may start a comment or a continuation, anything unusual).
bool token_text(TokenKind kind, const unsigned char **text, std::uint32_t *length) {
    switch (kind) {
    case TOKEN_IDENTIFIER: {
        *text = si_mark_text();
        *length = si_mark_length();
        if (!pp_may_name_macro(*text, *length)) return true;
        TextHandle name = text_find(reinterpret_cast<const char *>(*text), *length);
        return pp_lookup_macro(name) == nullptr;
    }
    case TOKEN_CHARCONST:
    case TOKEN_STRINGCONST:
        if (string_trigraphs != 0 && fortran_lines == 0) return false;
        [[fallthrough]];
    case TOKEN_OCTCONST:
    case TOKEN_HEXCONST:
    case TOKEN_DECCONST:
    case TOKEN_FLOATCONST:
    case TOKEN_PPNUM:
    case TOKEN_FORTRAN_OP:
        *text = si_mark_text();
        *length = si_mark_length();
        return true;
    case TOKEN_EXCL:
    case TOKEN_EXCLEQ: return false; // a Fortran comment may start here
    case TOKEN_AMP:
        if (continued_calls != 0) return false; // a continuation may start here
        [[fallthrough]];
    default: {
        if (kind < TOKEN_AMP || kind > TOKEN_UPEQ) return false;
        TextHandle spelling = token_spelling(kind);
        *text = reinterpret_cast<const unsigned char *>(text_string(spelling));
        *length = text_length(spelling);
        return true;
    }
    }
}

// The next token of the argument list and whether blanks came before it; false for white
// space other than blanks on the line (a line end, a comment, a continuation) and for the end
// of input.
bool next_argument_token(CurrentToken *token, std::uint8_t *spaced) {
    *spaced = 0;
    if (pp_simple_arg_token(token, spaced)) return true;
    for (;;) {
        lex_token(&token->kind, &token->position);
        if (token->kind != TOKEN_HORIZ_WHITESPACE && token->kind != TOKEN_OTHER_WHITESPACE)
            return true;
        *spaced = 1;
    }
}

bool keep_token(TokenKind kind, std::uint8_t spaced) {
    const unsigned char *text;
    std::uint32_t length;
    if (!token_text(kind, &text, &length)) return false;
    if (direct.count == MAX_TOKENS || length > MAX_BYTES - direct.used) return false;
    direct.tokens[direct.count++] =
        ArgumentToken{kind, spaced, static_cast<std::uint16_t>(length), direct.used};
    std::memcpy(direct.bytes + direct.used, text, length);
    direct.used += length;
    return true;
}

// Reads the arguments after the `(` through the `)`; false when the walk must take the call
// (the caller puts the input back).
bool read_arguments(const PpMacro *macro) {
    direct.count = 0;
    direct.used = 0;
    direct.first[0] = 0;
    int closed = 0;
    int depth = 1;
    CurrentToken token{};
    for (;;) {
        std::uint8_t spaced;
        if (!next_argument_token(&token, &spaced)) return false;
        const TokenKind kind = token.kind;
        if (depth == 1 && (kind == TOKEN_COMMA || kind == TOKEN_RPAREN)) {
            if (closed == MAX_ARGUMENTS) return false;
            direct.first[++closed] = static_cast<std::uint16_t>(direct.count);
            if (kind == TOKEN_RPAREN) break;
            continue;
        }
        if (kind == TOKEN_LPAREN) ++depth;
        if (kind == TOKEN_RPAREN) --depth;
        if (!keep_token(kind, spaced)) return false;
    }
    // Counts the walk answers with a message are left to it.
    if (macro->n_formals == 0) return closed == 1 && direct.count == 0;
    return closed == macro->n_formals;
}

// ---- Writing ---------------------------------------------------------------------------------

// Argument k where its formal stood: the first token takes the formal's blank.
void write_argument(int k, std::uint8_t spaced) {
    for (int i = direct.first[k - 1]; i < direct.first[k]; ++i) {
        const ArgumentToken &a = direct.tokens[i];
        pp_write_expanded_text(direct.invocation, a.kind,
                               i == direct.first[k - 1] ? spaced : a.spaced,
                               direct.bytes + a.offset, a.length);
    }
}

void write_text(TokenKind kind, std::uint8_t spaced, TextHandle value) {
    pp_write_expanded_text(direct.invocation, kind, spaced, text_string(value), text_length(value));
}

// The body of a qualifying macro; `inherited` is the blank of the name it replaces, which its
// first token takes (the outermost body takes none).
void write_body(const PpMacro *macro, std::uint8_t inherited) {
    bool first = true;
    for (Token *b = macro->body; b != nullptr && b->kind != TOKEN_NULL; b = b->next) {
        const std::uint8_t spaced = first && inherited == 1 ? 1 : b->spaced;
        first = false;
        switch (b->kind) {
        case TOKEN_IDENTIFIER: {
            const int k = pp_formal_number(macro, b);
            if (k > 0) {
                write_argument(k, spaced);
                continue;
            }
            const PpMacro *inner = pp_lookup_macro(static_cast<TextHandle>(b->value));
            if (inner != nullptr) {
                write_body(inner, spaced);
                continue;
            }
            break;
        }
        case TOKEN_CALC_FILE: {
            const PpFileRecord *file = pp_file_top();
            write_text(TOKEN_STRINGCONST, spaced, file != nullptr ? file->filename : TEXT_NULL);
            continue;
        }
        case TOKEN_CALC_LINE: {
            const PpFileRecord *file = pp_file_top();
            char digits[24];
            char *end = digits + sizeof digits;
            const char *start = pp_format_number(static_cast<std::int64_t>(direct.invocation.line) +
                                                     (file != nullptr ? file->line_offset : 0),
                                                 end);
            pp_write_expanded_text(direct.invocation, TOKEN_DECCONST, spaced, start,
                                   static_cast<std::uint32_t>(end - start));
            continue;
        }
        default: break;
        }
        write_text(b->kind, spaced, static_cast<TextHandle>(b->value));
    }
}

} // namespace

bool pp_expand_directly(PpMacro *macro, Position invocation) {
    if (!qualifies(macro) || fe_get_flag(FE_FLAG_LEX_DEBUG) != 0 ||
        fe_get_flag(FE_FLAG_LEX_TRACE) != 0)
        return false;
    if (macro->n_formals >= 0) {
        // A position on a line wider than a column number holds could not be sought again.
        if (si_cursor.column >= 0xFFFF) return false;
        const Position start = si_current_position();
        if (!read_arguments(macro)) {
            si_seek(start);
            return false;
        }
    }
    direct.invocation = invocation;
    write_body(macro, 0);
    pp_write_expansion_end();
    ++direct.expansions;
    return true;
}

std::uint64_t pp_direct_expansions() { return direct.expansions; }

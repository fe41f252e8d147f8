// This file implements the token table: the trace names of the 124 kinds and the table of
// token texts, the canonical spelling of each fixed-spelling kind as a text handle.
#include "lexer/token.h"

#include "lexer/lexer_internal.h"
#include "text/text.h"

namespace {

constexpr const char *kind_names[TOKEN_KIND_COUNT] = {
#define TOKEN_KIND(number, ident, name) name,
#include "lexer/tokens.def"
#undef TOKEN_KIND
};

// Every row carries its own number: a row out of place, missing or doubled fails here.
#define TOKEN_KIND(number, ident, name) static_assert(ident == number, "tokens.def row " #number);
#include "lexer/tokens.def"
#undef TOKEN_KIND

constexpr int count_kinds() {
    int n = 0;
#define TOKEN_KIND(number, ident, name) ++n;
#include "lexer/tokens.def"
#undef TOKEN_KIND
    return n;
}
static_assert(count_kinds() == TOKEN_KIND_COUNT, "there are 124 token kinds");
static_assert(ERROR_TOKEN == 122 && FIRST_TOKEN == 121 && TOKEN_IDENTIFIER == 80);

struct TokenState {
    TextHandle spelling[TOKEN_KIND_COUNT] = {};
};

TokenState tokens;

} // namespace

TextHandle token_spelling(int kind) {
    return kind >= 0 && kind < TOKEN_KIND_COUNT ? tokens.spelling[kind] : TEXT_NULL;
}

const char *token_kind_name(int kind) {
    return kind >= 0 && kind < TOKEN_KIND_COUNT ? kind_names[kind] : nullptr;
}

void token_set_spelling(TokenKind kind, TextHandle handle) { tokens.spelling[kind] = handle; }

void token_clear_spellings() {
    for (TextHandle &h : tokens.spelling) h = TEXT_NULL;
}

void token_enter_punctuator_spellings() {
#define TOKEN_SPELLING_PP(kind, text) tokens.spelling[kind] = text_enter_string(text);
#include "lexer/token_spellings.def"
}

// Tokens: the 124 token kinds with their trace names, the Token list node, the scanner's
// current-token record and the table of token texts (the canonical spelling of each kind).
#pragma once

#include <cstdint>

#include "common/types.h"

// A token kind, 0 END-OF-FILE .. 123 TOKEN_FORTRAN_OP (lexer/tokens.def).
enum TokenKind : std::uint8_t {
#define TOKEN_KIND(number, ident, name) ident = number,
#include "lexer/tokens.def"
#undef TOKEN_KIND
};

inline constexpr int TOKEN_KIND_COUNT = 124;

// A node of the token lists the preprocessor keeps (macro bodies and formals, arguments,
// expansions, saved directive lines). Created, copied and freed by the preprocessor's tables.
struct Token {
    TokenKind kind;
    std::int32_t value;        // TextHandle of the spelling; for TOKEN_CHARIZE and
                               // TOKEN_STRINGIZE the low 16 bits hold the 1-based formal number
    std::uint8_t spaced;       // 1 when white space preceded the token
    std::int16_t formal_index; // -1 not looked up, 0 not a formal, n > 0 the formal's number
                               // (at most 32767; 16 bits keep the record at 24 bytes)
    std::uint8_t no_expand;    // 1: never again a macro invocation (set once, never cleared)
    Token *next;               // the following token of the list, or null
};

// The scanner's record of the token just read. The lexer writes the kind and position; the
// caller sets the value (the table's text for fixed spellings, else the interned source text).
struct CurrentToken {
    TokenKind kind;
    TextHandle value;
    Position position; // line, column and stream of the token's first character
};

// The canonical spelling of `kind`, TEXT_NULL when it has none or `kind` is out of range.
TextHandle token_spelling(int kind);

// The name of `kind` as the traces print it ("TOKEN_IDENTIFIER"); nullptr outside 0..123.
const char *token_kind_name(int kind);

// Enters the remaining punctuator spellings (the second step, run by the preprocessor's
// start-up after the lexer's): TOKEN_TRI_BSLASH becomes a single backslash.
void token_enter_punctuator_spellings();

// What the lexer's files share: the table of token texts is filled by the keyword map's
// builder in lexer.cpp and kept in token.cpp.
#pragma once

#include "lexer/token.h"

/* In token.cpp */
void token_set_spelling(TokenKind kind, TextHandle handle);
void token_clear_spellings();

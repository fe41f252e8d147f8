// The table-driven lexer: one token at a time from the current source stream, by a generated
// deterministic automaton with longest match. It only classifies: the caller takes the token's
// text from the stream layer (si_mark_text, si_mark_length) and interns it.
#pragma once

#include <cstdint>

#include "common/types.h"
#include "lexer/token.h"

// The rule sets; the number is also the automaton's start state.
enum LexRuleSet : std::int8_t {
#define LEX_RULE_SET(number, ident, name) ident = number,
#include "lexer/lexer_rule_sets.def"
#undef LEX_RULE_SET
};

// Builds the keyword map when it is missing or the text table was cleared since it was built,
// which also enters the keyword and one-character spellings of the table of token texts.
// Runs after the text table's start-up and before the preprocessor's.
void lex_initialize();

// Frees the keyword map and forgets its size.
void lex_finalize();

// Scans one token from the current stream: writes the position of its first character to
// `position`, the kind to `kind` (also returned), and leaves the read point behind the token.
// The stream's mark is set at the token's start. At least one character is consumed unless the
// token is END-OF-FILE.
TokenKind lex_token(TokenKind *kind, Position *position);

// Turns the direct scan of names, blanks and one-byte punctuators on (the default) or off, so
// that tests can compare it with the automaton on the same input.
void lex_set_fast_scan(bool enabled);
// The number that starts with the digit at `p` in the buffered data, as lex_token would read it
// from there: its kind, its length in *length. ERROR_TOKEN where only the reading token by token
// can tell (it may go on past the buffered data or be spliced, it holds a Fortran operator that
// cuts it, or the direct scan is off).
TokenKind lex_number_at(const unsigned char *p, std::uint32_t *length);

// With `enabled`, a quote in any rule set but the first-token one opens a Fortran character
// literal (TOKEN_CHARCONST for '...', TOKEN_STRINGCONST for "..."): a doubled quote stands for
// one, a backslash is ordinary, and one left open ends before the newline as ERROR_TOKEN.
void lex_set_fortran_literals(bool enabled);

// With `enabled`, the Fortran operators and logical constants `.eq. .ne. .lt. .le. .gt. .ge.
// .and. .or. .not. .eqv. .neqv. .true. .false.` (any case) are TOKEN_FORTRAN_OP in any rule set
// but the first-token one, also inside what would otherwise be one number: `1.eq.N` is `1`,
// `.eq.`, `N`, while `1.e5`, `1.d0` and `3._dp` stay numbers.
void lex_set_fortran_operators(bool enabled);

// Selects the rule set used by the next lex_token calls (main_lexer after start-up).
void lex_set_rule_set(LexRuleSet rule_set);
LexRuleSet lex_rule_set();

// The trace name of a rule set, "[ILLEGAL RULESET]" for a number that names none.
const char *lex_rule_set_name(int rule_set);

// The keyword kind of an identifier's text handle, ERROR_TOKEN when it is no keyword (the
// scanner itself never asks: keywords are scanned as TOKEN_IDENTIFIER).
TokenKind lex_keyword_kind(TextHandle handle);

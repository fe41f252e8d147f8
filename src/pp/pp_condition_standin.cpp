// This file holds a stand-in for the #if/#elif expression evaluator: it understands a line that
// holds one decimal or octal integer constant and nothing else.
// TODO: delete this file when pp_expr.cpp with the real pp_evaluate_condition lands; until then
// every other expression is reported as an illegal token and counts as false.
#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "si/si.h"

int pp_evaluate_condition() {
    TokenKind kind;
    Position position;
    int value = 0;
    bool have_value = false;
    bool problem = false;
    for (;;) {
        lex_token(&kind, &position);
        switch (kind) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_BSLASH_NL: continue;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return value;
            continue;
        case TOKEN_NEWLINE:
        case TOKEN_END_OF_FILE:
            si_back_up(1);
            return value;
        case TOKEN_DECCONST:
        case TOKEN_OCTCONST:
            if (!have_value) {
                const unsigned char *text = si_mark_text();
                std::uint32_t length = si_mark_length();
                for (std::uint32_t i = 0; i < length; ++i)
                    if (text[i] >= '1' && text[i] <= '9') value = 1;
                have_value = true;
                continue;
            }
            break;
        default: break;
        }
        if (!problem) pp_report(PP_MSG_ILLEGAL_TOKEN, position);
        problem = true;
        value = 0;
    }
}

// This file implements the comment readers (block comments with continuations between `*` and
// `/`, line comments) and the checks that finish a directive line. They read the current stream
// byte by byte, or token by token through the lexer, and write to the preprocessor's output.
#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// The states after a `*`: whether the comment ends, with backslash-newlines and the trigraph
// `??/` with its newline allowed between the `*` and the `/`.
enum CommentState : std::uint8_t {
    IN_TEXT,         // looking for a `*`
    AFTER_STAR,      // `/` ends the comment
    AFTER_BACKSLASH, // a newline goes back to AFTER_STAR
    AFTER_QUESTION,  // a second `?` may start `??/`
    AFTER_QUESTIONS, // `/` completes the trigraph backslash
};

// Reads a block comment after its `/*`, copying each byte when `copy` is set.
bool read_block_comment(bool copy) {
    CommentState state = IN_TEXT;
    for (;;) {
        int c = si_get_char();
        if (c == SI_END_OF_STREAM) {
            pp_report(PP_MSG_EOF_IN_COMMENT, POSITION_NULL);
            si_back_up(1);
            return false;
        }
        if (copy) pp_write_char(static_cast<char>(c));
        switch (state) {
        case IN_TEXT:
            if (c == '*') state = AFTER_STAR;
            break;
        case AFTER_STAR:
            if (c == '/') return true;
            state = c == '\\'  ? AFTER_BACKSLASH
                    : c == '?' ? AFTER_QUESTION
                    : c == '*' ? AFTER_STAR
                               : IN_TEXT;
            break;
        case AFTER_BACKSLASH: state = c == '\n' || c == '*' ? AFTER_STAR : IN_TEXT; break;
        case AFTER_QUESTION:
            state = c == '?' ? AFTER_QUESTIONS : c == '*' ? AFTER_STAR : IN_TEXT;
            break;
        case AFTER_QUESTIONS:
            state = c == '/' ? AFTER_BACKSLASH : c == '*' ? AFTER_STAR : IN_TEXT;
            break;
        }
    }
}

} // namespace

bool pp_copy_comment() {
    // Removed entirely: not even the blank of -noC takes its place.
    if (strip_c_comments != 0) return read_block_comment(false);
    if (output_comments != 0) {
        pp_write_bytes("/*", 2);
        return read_block_comment(true);
    }
    pp_write_blank();
    return read_block_comment(false);
}

bool pp_skip_directive_comment() { return read_block_comment(false); }

bool pp_skip_line_comment() {
    for (;;) {
        int c = si_get_char();
        if (c == '\n') return true;
        if (c == SI_END_OF_STREAM) {
            si_back_up(1);
            return false;
        }
    }
}

bool pp_copy_line_comment() {
    bool copy = output_comments != 0 && strip_c_comments == 0;
    if (copy)
        pp_write_bytes("//", 2);
    else if (strip_c_comments == 0)
        pp_write_blank();
    for (;;) {
        int c = si_get_char();
        if (c == '\n') return true;
        if (c == SI_END_OF_STREAM) {
            si_back_up(1);
            return false;
        }
        if (copy) pp_write_char(static_cast<char>(c));
    }
}

bool pp_skip_directive_rest() {
    pp_continuation_flag = 0;
    TokenKind kind;
    Position position;
    for (;;) {
        switch (lex_token(&kind, &position)) {
        case TOKEN_NEWLINE: return true;
        case TOKEN_END_OF_FILE:
            pp_report(PP_MSG_EOF_IN_DIRECTIVE_REST, POSITION_NULL);
            si_back_up(1);
            return false;
        case TOKEN_COMMENT:
            if (strip_c_comments == 0) pp_marker_check(position, false);
            if (!pp_copy_comment()) return false;
            break;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1 && !pp_skip_line_comment()) {
                pp_report(PP_MSG_EOF_IN_DIRECTIVE_REST, POSITION_NULL);
                return false;
            }
            if (double_slash_comments == 1) return true;
            break;
        default: break;
        }
    }
}

void pp_check_directive_end() {
    TokenKind kind;
    Position position;
    for (;;) {
        switch (lex_token(&kind, &position)) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_BSLASH_NL: break;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return;
            break;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) {
                pp_skip_line_comment();
                return;
            }
            [[fallthrough]];
        default:
            if (kind == TOKEN_NEWLINE) return;
            if (kind == TOKEN_END_OF_FILE) {
                pp_report(PP_MSG_EOF_IN_DIRECTIVE, position);
                si_back_up(1);
                return;
            }
            if (kind == TOKEN_OTHER_WHITESPACE) {
                pp_report(PP_MSG_VERTICAL_WHITESPACE, position);
            } else if (position.column < fixed_line_length) {
                // Text from the fixed-form line length on is a sequence field: no complaint.
                pp_report(PP_MSG_ILLEGAL_TOKEN, position);
            }
            pp_skip_directive_rest();
            return;
        }
    }
}

void pp_check_directive_tail() {
    pp_continuation_flag = 0;
    bool problem = false; // one complaint per line: later ones are silent
    CurrentToken token{};
    for (;;) {
        lex_token(&token.kind, &token.position);
        switch (token.kind) {
        case TOKEN_END_OF_FILE:
            if (!problem) pp_report(PP_MSG_EOF_IN_DIRECTIVE, token.position);
            si_back_up(1);
            return;
        case TOKEN_NEWLINE:
            si_back_up(1); // the newline stays for the caller
            return;
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_BSLASH_NL: continue;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return;
            continue;
        case TOKEN_OTHER_WHITESPACE:
            if (!problem) pp_report(PP_MSG_VERTICAL_WHITESPACE, token.position);
            continue;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments != 1) break;
            // A `//` comment runs to the newline, which stays for the caller.
            if (pp_skip_line_comment()) si_back_up(1);
            return;
        case TOKEN_IDENTIFIER:
        case TOKEN_IDENTIFIER_BNL:
        case TOKEN_IDENTIFIER_DOL: {
            pp_convert_token(&token);
            PpMacro *macro =
                token.kind == TOKEN_IDENTIFIER ? pp_lookup_macro(token.value) : nullptr;
            if (macro != nullptr && pp_expands_to_nothing(macro, token.position)) continue;
            break;
        }
        default: break;
        }
        if (!problem) pp_report(PP_MSG_ILLEGAL_TOKEN, token.position);
        problem = true;
    }
}

void pp_discard_directive_line() {
    TokenKind kind;
    Position position;
    for (;;) {
        lex_token(&kind, &position);
        if (kind == TOKEN_NEWLINE) return;
        if (kind == TOKEN_END_OF_FILE) {
            si_back_up(1);
            return;
        }
        if (kind == TOKEN_COMMENT && !pp_skip_directive_comment()) return;
        if (kind == TOKEN_BOL_COMMENT && double_slash_comments == 1) {
            pp_skip_line_comment();
            return;
        }
    }
}

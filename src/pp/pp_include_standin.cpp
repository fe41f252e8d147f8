// This file holds stand-ins for two pieces of #include that conditional inclusion needs: the
// include-guard table and the reading over of an #include line in a skipped group.
// TODO: delete this file when pp_include.cpp lands; it owns both.

#include "driver/options.h"
#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "si/si.h"

namespace {

constexpr std::uint32_t GUARD_COUNT = 65535; // stream handles 0 to 65534

struct IncludeStandinState {
    PpIncludeGuard guards[GUARD_COUNT];
};

IncludeStandinState incl;

// Reads the rest of a skipped line through its newline, writing nothing.
void read_over_line() {
    TokenKind kind;
    Position position;
    for (;;) {
        switch (lex_token(&kind, &position)) {
        case TOKEN_NEWLINE: return;
        case TOKEN_END_OF_FILE: si_back_up(1); return;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return;
            break;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) {
                pp_skip_line_comment();
                return;
            }
            break;
        default: break;
        }
    }
}

} // namespace

PpIncludeGuard *pp_include_guard(StreamHandle stream) {
    return stream < GUARD_COUNT ? &incl.guards[stream] : nullptr;
}

void pp_include_reset() {
    for (PpIncludeGuard &guard : incl.guards) guard = PpIncludeGuard{};
}

// The operand of an #include in a skipped group: a quoted or angled name is read as characters,
// so that a quote or apostrophe in it starts nothing; then the line is dropped.
void pp_include_skipped() {
    TokenKind kind;
    Position position;
    for (;;) {
        lex_token(&kind, &position);
        switch (kind) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_OTHER_WHITESPACE:
        case TOKEN_BSLASH_NL: continue;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return;
            continue;
        case TOKEN_NEWLINE: return;
        case TOKEN_END_OF_FILE: si_back_up(1); return;
        default: break;
        }
        break;
    }
    unsigned char first = si_mark_text()[0];
    if (first != '"' && first != '<') {
        si_seek(position);
        read_over_line();
        return;
    }
    si_seek(position);
    si_get_char();
    int close = first == '"' ? '"' : '>';
    for (;;) {
        int c = si_get_char();
        if (c == close) break;
        if (c == '\n' || c == SI_END_OF_STREAM) {
            si_back_up(1);
            break;
        }
        // A backslash before a newline (also as `??/`) continues the name on the next line.
        if (c == '\\' || c == '?') {
            int d = si_get_char();
            if (c == '?' && d == '?') {
                int e = si_get_char();
                if (e == '/') {
                    d = si_get_char();
                    if (d != '\n') si_back_up(1);
                    continue;
                }
                si_back_up(1);
            }
            if (d != '\n') si_back_up(1);
        }
    }
    read_over_line();
}

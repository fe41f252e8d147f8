// This file implements conditional inclusion: the #if, #ifdef, #ifndef, #elif, #else and #endif
// directives with their stack of groups, the skipping of lines in a false group, the recording of
// include guards for #include, and #error.
#include <cassert>
#include <cstring>

#include "lexer/lexer.h"
#include "msg/msg.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

enum SkipName : std::uint8_t {
#define PP_SKIP_NAME(ident, name) ident,
#include "pp/pp_skip_names.def"
#undef PP_SKIP_NAME
    SKIP_NAME_COUNT,
    SKIP_NAME_NONE = SKIP_NAME_COUNT,
};
static_assert(SKIP_NAME_COUNT == 7, "seven names are acted on while skipping");

struct SkipNameRow {
    const char *name;
    std::uint32_t length;
};

constexpr SkipNameRow skip_names[] = {
#define PP_SKIP_NAME(ident, name) {name, sizeof name - 1},
#include "pp/pp_skip_names.def"
#undef PP_SKIP_NAME
};

constexpr std::uint32_t ERROR_TEXT_SIZE = 1024; // the longest #error text kept

struct ConditionalState {
    bool skipping = false;                // pp_skip_group is running
    char error_text[ERROR_TEXT_SIZE + 1]; // the #error text being collected
};

ConditionalState cond;

// An identifier's text with its continuations taken out, as the dispatcher reads names; a name
// with `$` is taken whole whatever dollar_ident says. The text is valid until the next rewrite.
PpLexeme joined_name() {
    PpLexeme lexeme{si_mark_text(), si_mark_length()};
    // The continuation flag only says whether #define is running; a name is joined always.
    std::uint8_t saved = pp_continuation_flag;
    pp_continuation_flag = 1;
    pp_strip_continuations(&lexeme.text, &lexeme.length);
    pp_continuation_flag = saved;
    return lexeme;
}

bool is_identifier_kind(TokenKind kind) {
    return kind == TOKEN_IDENTIFIER || kind == TOKEN_IDENTIFIER_BNL || kind == TOKEN_IDENTIFIER_DOL;
}

// One token of the rest of a skipped line: true when the line is over (its newline read, or the
// end of input left unread). Comments are read whole, since one may run over several lines.
bool skipped_token_ends_line(TokenKind kind) {
    switch (kind) {
    case TOKEN_NEWLINE: return true;
    case TOKEN_END_OF_FILE: si_back_up(1); return true;
    case TOKEN_COMMENT: return !pp_skip_directive_comment();
    case TOKEN_BOL_COMMENT:
        if (double_slash_comments != 1) return false;
        pp_skip_line_comment();
        return true;
    default: return false;
    }
}

// Reads the rest of a line in a skipped group through its newline, writing nothing. At the end
// of input it is left unread.
void skip_line_rest() {
    TokenKind kind;
    Position position;
    while (!skipped_token_ends_line(lex_token(&kind, &position))) {
    }
}

// The rest of a skipped code line: as skip_line_rest, but a Fortran comment runs to the end of
// the line whatever it holds (a `/*` in it opens no comment). `kind` is the token just read.
void skip_code_line_rest(TokenKind kind, Position position) {
    for (;;) {
        if (kind == TOKEN_EXCL || kind == TOKEN_EXCLEQ) {
            CurrentToken bang{kind, TEXT_NULL, position};
            if (pp_bang_starts_comment(&bang)) {
                pp_copy_fortran_comment(false);
                skip_line_rest(); // the newline, or the end of input left unread
                return;
            }
        }
        if (skipped_token_ends_line(lex_token(&kind, &position))) return;
    }
}

// The rest of a directive line that is thrown away. When the text around it stays skipped,
// nothing may reach the output; otherwise comments on it are copied like any other comment.
void discard_line_rest(bool stays_skipped) {
    if (stays_skipped)
        skip_line_rest();
    else
        pp_skip_directive_rest();
}

// pp_check_directive_end for a line whose surroundings stay skipped: the same complaints, but
// a comment after a leftover token is read over instead of copied to the output.
void check_skipped_line_end() {
    TokenKind kind;
    Position position;
    for (;;) {
        switch (lex_token(&kind, &position)) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_BSLASH_NL: continue;
        case TOKEN_NEWLINE: return;
        case TOKEN_END_OF_FILE:
            pp_report(PP_MSG_EOF_IN_DIRECTIVE, position);
            si_back_up(1);
            return;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return;
            continue;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) {
                pp_skip_line_comment();
                return;
            }
            break;
        case TOKEN_OTHER_WHITESPACE:
            pp_report(PP_MSG_VERTICAL_WHITESPACE, position);
            skip_line_rest();
            return;
        default: break;
        }
        // Text from the fixed-form line length on is a sequence field: no complaint.
        if (position.column < fixed_line_length) pp_report(PP_MSG_ILLEGAL_TOKEN, position);
        skip_line_rest();
        return;
    }
}

// The rest of an #else or #endif line: ignored, or checked like any directive's end.
void finish_else_endif_line(bool stays_skipped) {
    if (endif_comments != 0)
        discard_line_rest(stays_skipped);
    else if (stays_skipped)
        check_skipped_line_end();
    else
        pp_check_directive_end();
}

// The line end that the condition evaluator leaves unread. It has checked the line already, so
// an end of input here is not reported a second time.
void take_line_end() {
    TokenKind kind;
    Position position;
    lex_token(&kind, &position);
    if (kind == TOKEN_NEWLINE) return;
    if (kind == TOKEN_END_OF_FILE) {
        si_back_up(1);
        return;
    }
    si_seek(position);
    pp_check_directive_end();
}

// The operand of #ifdef and #ifndef: true with its name in `name` (not interned) when it is an
// identifier. A missing operand leaves the line end unread; `where` is the offending token.
bool read_operand(PpLexeme *name, Position *where) {
    TokenKind kind;
    for (;;) {
        lex_token(&kind, where);
        switch (kind) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_BSLASH_NL: continue;
        case TOKEN_OTHER_WHITESPACE: pp_report(PP_MSG_VERTICAL_WHITESPACE, *where); continue;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return false; // the end byte is left unread
            continue;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments != 1) return false;
            // The comment runs to the line's end, which is left for the caller.
            if (pp_skip_line_comment()) si_back_up(1);
            return false;
        case TOKEN_NEWLINE:
        case TOKEN_END_OF_FILE: si_back_up(1); return false;
        default:
            if (!is_identifier_kind(kind)) return false;
            *name = joined_name();
            return true;
        }
    }
}

// The handle of a name when it was ever interned; a name never interned names no macro.
bool names_macro(PpLexeme name) {
    TextHandle handle = text_find(reinterpret_cast<const char *>(name.text), name.length);
    return pp_lookup_macro(handle) != nullptr;
}

// Starts skipping at a line start: the directive line that made the group false is read.
void skip_from_line_start();

// The group just pushed is false: its directive line has been read, the lines are skipped.
void start_false_group(PpConditional *group) {
    group->local_state = HAVE_NOT_SEEN_TRUE_CONDITION;
    group->pp_include = 0;
    skip_from_line_start();
}

// Shared by #ifdef and #ifndef once the group is pushed and included text encloses it.
void ifdef_or_ifndef(PpConditional *group, bool is_ifndef) {
    PpLexeme name{};
    Position where{};
    if (!read_operand(&name, &where)) {
        if (!is_ifndef) {
            pp_report(PP_MSG_IFDEF_NOT_IDENTIFIER, where);
            group->local_state = HAVE_NOT_SEEN_TRUE_CONDITION;
            group->pp_include = 0;
            pp_skip_group(); // the rest of the line goes with the skipped lines
            return;
        }
        pp_report(PP_MSG_IFNDEF_NOT_IDENTIFIER, where);
        group->local_state = SAW_TRUE_CONDITION_BUT_NOT_ELSE;
        pp_check_directive_end();
        return;
    }
    bool defined = names_macro(name);
    if (is_ifndef && first_in_file != 0) {
        group->first_in_file = 1;
        PpIncludeGuard *guard = pp_include_guard(static_cast<StreamHandle>(where.stream));
        if (guard != nullptr) {
            guard->kind = PP_GUARD_IFNDEF;
            guard->name = text_enter(reinterpret_cast<const char *>(name.text), name.length);
            guard->position = where;
        }
    }
    bool condition = is_ifndef ? !defined : defined;
    pp_check_directive_end();
    if (condition)
        group->local_state = SAW_TRUE_CONDITION_BUT_NOT_ELSE;
    else
        start_false_group(group);
}

// Opens a group for #if, #ifdef or #ifndef at the current position (just after the name).
PpConditional *push_group() {
    Position position = si_current_position();
    PpConditional *group = pp_push_conditional();
    group->position = position;
    return group;
}

// After a guard's #endif: passes over blank lines and white space; when the file ends there,
// its guard is complete (only when the #ifndef was in this file: a group that began in another
// file does not make up this one's whole text). Reading resumes at the start of the line holding
// the first other token, so that line keeps its indentation (which fixed-form Fortran needs).
void check_guard_end(std::uint16_t guard_stream) {
    Position line_start = si_current_position();
    TokenKind kind;
    Position position;
    for (;;) {
        lex_token(&kind, &position);
        if (kind == TOKEN_NEWLINE) {
            line_start = si_current_position();
            continue;
        }
        if (kind == TOKEN_HORIZ_WHITESPACE || kind == TOKEN_OTHER_WHITESPACE ||
            kind == TOKEN_BSLASH_NL)
            continue;
        break;
    }
    if (kind == TOKEN_END_OF_FILE && position.stream == guard_stream) {
        PpIncludeGuard *guard = pp_include_guard(static_cast<StreamHandle>(position.stream));
        if (guard != nullptr) guard->complete = 1;
    }
    si_seek(line_start);
}

SkipName skip_name(PpLexeme name) {
    for (int i = 0; i < SKIP_NAME_COUNT; ++i)
        if (skip_names[i].length == name.length &&
            std::memcmp(skip_names[i].name, name.text, name.length) == 0)
            return static_cast<SkipName>(i);
    return SKIP_NAME_NONE;
}

// True when the skipping is over: no group is open or the top group is included.
bool skipping_ends() {
    PpConditional *top = pp_conditional_top();
    return top == nullptr || top->pp_include != 0;
}

// After a `#` in a skipped line: looks for the name, over line ends too, and acts on it.
void skipped_directive() {
    TokenKind kind;
    Position position;
    for (;;) {
        lex_token(&kind, &position);
        switch (kind) {
        case TOKEN_END_OF_FILE: si_back_up(1); return;
        case TOKEN_OTHER_WHITESPACE: pp_report(PP_MSG_VERTICAL_WHITESPACE, position); continue;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return;
            continue;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) pp_skip_line_comment();
            continue;
        case TOKEN_IDENTIFIER_DOL:
            // A name with `$` is none of the directive names.
            skip_line_rest();
            return;
        case TOKEN_IDENTIFIER:
        case TOKEN_IDENTIFIER_BNL: break;
        default: continue;
        }
        break;
    }
    switch (skip_name(joined_name())) {
    case SKIP_ENDIF: pp_endif(position); return;
    case SKIP_IFNDEF: pp_ifndef(); return;
    case SKIP_IFDEF: pp_ifdef(); return;
    case SKIP_IF: pp_if(); return;
    case SKIP_ELSE: pp_else(position); return;
    case SKIP_INCLUDE: pp_include_skipped(); return;
    case SKIP_ELIF: pp_elif(position); return;
    case SKIP_NAME_NONE: skip_line_rest(); return;
    }
}

void skip_from_line_start() {
    assert(!cond.skipping && "skipping never nests: groups inside it never evaluate");
    cond.skipping = true;
    TokenKind kind;
    Position position;
    while (!skipping_ends()) {
        lex_set_rule_set(pp_code_rule_set());
        if (fortran_comments != 0 && si_cursor.column == 1 && pp_comment_line_here()) {
            pp_copy_fortran_comment(false); // its newline is read next
            continue;
        }
        lex_token(&kind, &position);
        switch (kind) {
        case TOKEN_NEWLINE:
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_OTHER_WHITESPACE:
        case TOKEN_BSLASH_NL: break;
        case TOKEN_COMMENT:
            pp_skip_directive_comment(); // at the end of input the end byte comes next
            break;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1)
                pp_skip_line_comment();
            else
                skip_line_rest();
            break;
        case TOKEN_END_OF_FILE:
            if (si_stream_depth() < 2) {
                // The end of the input: the scanning loop meets it next.
                si_back_up(1);
                cond.skipping = false;
                return;
            }
            pp_leave_included_file();
            break;
        case TOKEN_SHARP:
            lex_set_rule_set(pp_directive_rule_set());
            skipped_directive();
            break;
        default:
            if (fortran_comments != 0)
                skip_code_line_rest(kind, position);
            else
                skip_line_rest();
            break;
        }
    }
    lex_set_rule_set(pp_code_rule_set());
    cond.skipping = false;
}

// True when the piece fits; the text stays 0-terminated.
bool append_error_text(std::uint32_t *length, const unsigned char *piece, std::uint32_t size) {
    if (size > ERROR_TEXT_SIZE - *length) return false;
    std::memcpy(cond.error_text + *length, piece, size);
    *length += size;
    cond.error_text[*length] = '\0';
    return true;
}

} // namespace

void pp_if() {
    PpConditional *group = push_group();
    if (group->pp_include == 0) {
        // Inside a skipped group nothing is evaluated and no branch is ever taken.
        group->local_state = SAW_TRUE_CONDITION_BUT_NOT_ELSE;
        skip_line_rest();
        return;
    }
    int value = pp_evaluate_condition();
    take_line_end();
    if (value != 0)
        group->local_state = SAW_TRUE_CONDITION_BUT_NOT_ELSE;
    else
        start_false_group(group);
}

void pp_ifdef() {
    PpConditional *group = push_group();
    if (group->pp_include == 0) {
        group->local_state = SAW_TRUE_CONDITION_BUT_NOT_ELSE;
        skip_line_rest();
        return;
    }
    ifdef_or_ifndef(group, false);
}

void pp_ifndef() {
    PpConditional *group = push_group();
    if (group->pp_include == 0) {
        group->local_state = SAW_TRUE_CONDITION_BUT_NOT_ELSE;
        skip_line_rest();
        return;
    }
    ifdef_or_ifndef(group, true);
}

void pp_elif(Position name) {
    PpConditional *group = pp_conditional_top();
    if (group == nullptr || group->local_state == SAW_ELSE) {
        pp_report(PP_MSG_ELIF_OUT_OF_PLACE, name);
        discard_line_rest(cond.skipping);
        return;
    }
    // A file whose guard group has another branch has text for when the guard macro is
    // defined: it must be read again each time, so it is no include guard.
    group->first_in_file = 0;
    if (group->pp_include != 0) {
        // The branch before was taken: skip from here on, the expression is never evaluated.
        group->pp_include = 0;
        pp_skip_group();
        return;
    }
    if (group->local_state == SAW_TRUE_CONDITION_BUT_NOT_ELSE) {
        skip_line_rest();
        return;
    }
    int value = pp_evaluate_condition();
    take_line_end();
    if (value != 0) {
        group->local_state = SAW_TRUE_CONDITION_BUT_NOT_ELSE;
        group->pp_include = 1;
    }
}

void pp_else(Position name) {
    PpConditional *group = pp_conditional_top();
    if (group == nullptr || group->local_state == SAW_ELSE) {
        pp_report(PP_MSG_ELSE_OUT_OF_PLACE, name);
        discard_line_rest(cond.skipping);
        return;
    }
    group->first_in_file = 0; // no include guard either (see pp_elif)
    if (group->local_state == HAVE_NOT_SEEN_TRUE_CONDITION) {
        group->local_state = SAW_ELSE;
        group->pp_include = 1;
        finish_else_endif_line(false);
        return;
    }
    group->local_state = SAW_ELSE;
    if (group->pp_include == 0) {
        skip_line_rest();
        return;
    }
    group->pp_include = 0;
    if (endif_comments == 0) {
        pp_check_directive_end();
        skip_from_line_start();
    } else {
        pp_skip_group();
    }
}

void pp_endif(Position name) {
    PpConditional *group = pp_conditional_top();
    if (group == nullptr) {
        pp_report(PP_MSG_ENDIF_OUT_OF_PLACE, name);
        discard_line_rest(cond.skipping);
        return;
    }
    bool stays_skipped = group->previous != nullptr && group->previous->pp_include == 0;
    finish_else_endif_line(stays_skipped);
    if (group->first_in_file != 0) check_guard_end(group->position.stream);
    pp_pop_conditional();
}

void pp_skip_group() {
    skip_line_rest();
    skip_from_line_start();
}

void pp_diagnostic_directive(Position name, Severity severity) {
    // Continued names and numbers are joined while the text is collected.
    std::uint8_t saved_flag = pp_continuation_flag;
    pp_continuation_flag = 1;
    std::uint32_t length = 0;
    cond.error_text[0] = '\0';
    bool full = false;
    CurrentToken token{};
    for (bool done = false; !done && !full;) {
        lex_token(&token.kind, &token.position);
        switch (token.kind) {
        case TOKEN_NEWLINE: done = true; break;
        case TOKEN_END_OF_FILE:
            pp_report(PP_MSG_EOF_IN_DIRECTIVE_REST, token.position);
            si_back_up(1);
            done = true;
            break;
        case TOKEN_BSLASH_NL: break;
        case TOKEN_COMMENT:
            full = !append_error_text(&length, reinterpret_cast<const unsigned char *>(" "), 1);
            if (!full && !pp_skip_directive_comment()) done = true;
            break;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) {
                // The comment ends the line and stands for one blank.
                full = !append_error_text(&length, reinterpret_cast<const unsigned char *>(" "), 1);
                if (!full) {
                    pp_skip_line_comment();
                    done = true;
                }
                break;
            }
            full = !append_error_text(&length, reinterpret_cast<const unsigned char *>("//"), 2);
            break;
        case TOKEN_TRI_BSLASH:
            full = !append_error_text(&length, reinterpret_cast<const unsigned char *>("\\"), 1);
            break;
        case TOKEN_OTHER_WHITESPACE:
            pp_report(PP_MSG_VERTICAL_WHITESPACE, token.position);
            full = !append_error_text(&length, si_mark_text(), si_mark_length());
            break;
        case TOKEN_HORIZ_WHITESPACE:
            full = !append_error_text(&length, si_mark_text(), si_mark_length());
            break;
        default: {
            PpLexeme piece = pp_convert_lexeme(&token);
            full = !append_error_text(&length, piece.text, piece.length);
            break;
        }
        }
    }
    pp_continuation_flag = saved_flag;
    // A text that would pass the limit keeps what fitted; the rest of the line is dropped.
    if (full) pp_skip_directive_rest();
    msg_report(cond.error_text, "", name, severity);
}

void pp_conditionals_reset() { cond = ConditionalState{}; }

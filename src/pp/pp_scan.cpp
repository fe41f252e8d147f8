// This file implements the scanning loop: each step reads tokens from the lexer, writes white
// space, newlines and comments through, hands directive lines to the dispatcher, converts and
// writes tokens, and returns to the including file when an included file ends.
#include <array>

#include "fe/fe.h"
#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

std::uint8_t first_in_file = 1;

namespace {

// What the loop does next.
enum Action : std::uint8_t {
    READ,        // read the next token and dispatch it
    DISPATCH,    // dispatch the token already in the record
    NOTED,       // the macro rule for the noted macro name in the record (noted_name)
    LINE_START,  // line-start handling
    END_OF_FILE, // end-of-file handling
    DRAIN,       // write the running expansion's next tokens
    COPY_REST,   // after a macro use or a block read in mid-line: the rest of the line may be
                 // copied whole
    RETURN,      // the step is over
};

struct ScanState {
    TextHandle double_slash = TEXT_NULL; // the text "//", written when it is no comment
    bool whole_lines = false; // in pp_scan_to_end: plain lines may be copied without tokens
    // A macro call's arguments went over a continuation: its later lines join the output line.
    bool call_continued = false;
};

ScanState scan;

bool simple_lparen();
bool noted_name(CurrentToken *token);

// A block comment after its `/*`: copied (or a blank) and followed by a separator; removed
// without a trace under strip_c_comments, where the text around it meets directly. False at
// the end of input inside it.
bool copy_comment(Position position) {
    if (strip_c_comments != 0) {
        pp_output_join();
        return pp_copy_comment();
    }
    pp_marker_check(position, false);
    if (!pp_copy_comment()) return false;
    pp_write_separator();
    return true;
}

// Writes a token read from the input. Text that is only written is never interned, so a long
// file with many distinct numbers and names does not fill the text table.
void write_converted(CurrentToken *token, PpLexeme lexeme) {
    if (pp_has_source_text(token->kind)) token->value = TEXT_NULL;
    pp_write_lexeme(token, lexeme);
}

// What follows a macro use that has been written out: in pp_scan_to_end the rest of the line
// may be copied whole; a single step ends, as it ends after any token.
Action after_macro(Action single_step) { return scan.whole_lines ? COPY_REST : single_step; }

// Whether a macro use may be written at once instead of through the frame walk: only where
// plain lines are copied whole (the tests that read every token through the lexer, and the
// single steps, take the walk).
bool direct_expansion() { return scan.whole_lines && pp_plain_lines_enabled(); }

// The macro rule for an identifier read from the input (already converted). A name that was
// never interned cannot be a macro: every definition interns its name.
Action macro_rule(CurrentToken *token, PpLexeme lexeme) {
    PpMacro *macro = nullptr;
    if (expand_macros != 0) {
        TextHandle name = pp_take_noted_name(lexeme.text, lexeme.length);
        if (name == TEXT_NULL) name = pp_macro_name_handle(lexeme.text, lexeme.length);
        if (name != TEXT_NULL) {
            token->value = name;
            macro = pp_lookup_macro(name);
        }
    }
    if (macro == nullptr) {
        write_converted(token, lexeme);
        return RETURN;
    }
    // A call read from here on starts with no continuation seen (an object-like macro may
    // expand to the name of a function-like one whose arguments follow in the source).
    scan.call_continued = false;
    if (macro->n_formals >= 0) {
        // A function-like name without `(` after it is an ordinary name.
        if (!pp_lookahead_lparen()) {
            pp_write_token(token);
            return RETURN;
        }
        pp_note_expansion();
        if (direct_expansion() && pp_expand_directly(macro, token->position))
            return after_macro(READ);
        pp_start_expansion(macro, token->position);
        return DRAIN;
    }
    pp_note_expansion();
    Token *body = macro->body;
    if (body == nullptr || body->kind == TOKEN_NULL) {
        pp_write_expansion_end();
        return after_macro(READ);
    }
    if (body->next == nullptr && body->kind != TOKEN_IDENTIFIER && body->kind != TOKEN_CALC_LINE &&
        body->kind != TOKEN_CALC_FILE) {
        // A one-token body is written at once, followed by a blank so that it cannot join
        // the text after it.
        CurrentToken replacement{body->kind, static_cast<TextHandle>(body->value), token->position};
        pp_write_token(&replacement);
        if (fortran_spacing != 0)
            pp_write_expansion_end();
        else
            pp_write_blank();
        return after_macro(RETURN);
    }
    if (direct_expansion() && pp_expand_directly(macro, token->position)) return after_macro(READ);
    pp_start_expansion(macro, token->position);
    return DRAIN;
}

// Step 2: one token read from the input, dispatched on its kind.
Action dispatch(CurrentToken *token) {
    switch (token->kind) {
    case TOKEN_END_OF_FILE:
        token->value = TEXT_NULL;
        if (token->position.line == 1 && token->position.column == 1) return RETURN; // empty
        pp_report(PP_MSG_NO_FINAL_NEWLINE, token->position);
        return END_OF_FILE;
    case FIRST_TOKEN:
        lex_set_rule_set(pp_code_rule_set());
        si_back_up(1);
        first_in_file = 1;
        return LINE_START;
    case TOKEN_NEWLINE: pp_write_newline(); return LINE_START;
    case TOKEN_HORIZ_WHITESPACE:
    case TOKEN_OTHER_WHITESPACE: pp_write_white_space(token); return READ;
    case TOKEN_BSLASH_NL: return READ;
    case TOKEN_COMMENT:
        if (!copy_comment(token->position)) return END_OF_FILE;
        return READ;
    case TOKEN_BOL_COMMENT:
        if (double_slash_comments == 1) {
            if (strip_c_comments == 0) pp_marker_check(token->position, false);
            if (!pp_copy_line_comment()) return READ; // the end of input comes next
            pp_write_newline();
            return LINE_START;
        }
        // In Fortran `//` is the concatenation operator: it stays as it is.
        token->value = scan.double_slash;
        pp_write_token(token);
        return READ;
    case TOKEN_SHARP:
    case TOKEN_SHARP_SHARP:
    case TOKEN_TRI_BSLASH:
    case TOKEN_PPNUM:
    case ERROR_TOKEN: write_converted(token, pp_convert_lexeme(token)); return READ;
    case TOKEN_EXCL:
    case TOKEN_EXCLEQ:
        write_converted(token, pp_convert_lexeme(token));
        // A Fortran comment: its text up to the newline is written as it stands.
        if (fortran_comments != 0 && pp_bang_starts_comment(token)) pp_copy_fortran_comment(true);
        return RETURN;
    case TOKEN_IDENTIFIER:
    case TOKEN_IDENTIFIER_BNL:
    case TOKEN_IDENTIFIER_DOL: {
        PpLexeme lexeme = pp_convert_lexeme(token);
        if (token->kind == ERROR_TOKEN) {
            write_converted(token, lexeme);
            return READ;
        }
        return macro_rule(token, lexeme);
    }
    default:
        if (token->kind >= TOKEN_KIND_COUNT) {
            token->value = token_spelling(token->kind);
            pp_write_token(token);
            return RETURN;
        }
        write_converted(token, pp_convert_lexeme(token));
        return RETURN;
    }
}

// Step 3: newlines, white space and comments at the start of a line, then a directive line or
// the line's first token.
Action line_start(CurrentToken *token) {
    bool line_has_text = false; // white space or a comment since the line began
    for (;;) {
        // Most lines are copied whole; a line that needs the lexer is read token by token. A
        // single step stops at the line's first token, as its callers expect.
        if (scan.whole_lines && si_cursor.column == 1) {
            PpPlainLine plain = pp_copy_plain_line();
            if (plain == PP_PLAIN_BLANK || plain == PP_PLAIN_TEXT) {
                // (The copy itself marks a line with text as the file's first ordinary line.)
                line_has_text = false;
                continue;
            }
            // After PP_PLAIN_PART a token (not white space) is next: the lexer reads it below.
        }
        if (fortran_comments != 0 && si_cursor.column == 1 && pp_comment_line_here()) {
            // A fixed-form comment line: written as it stands, its newline read next.
            pp_marker_check(si_current_position(), false);
            if (!pp_copy_fortran_comment(true)) line_has_text = true;
            first_in_file = 0;
            continue;
        }
        if (noted_name(token)) {
            first_in_file = 0;
            return NOTED;
        }
        lex_token(&token->kind, &token->position);
        switch (token->kind) {
        case TOKEN_NEWLINE:
            pp_write_newline();
            line_has_text = false;
            break;
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_OTHER_WHITESPACE:
            pp_write_white_space(token);
            line_has_text = true;
            break;
        case TOKEN_BSLASH_NL: break;
        case TOKEN_COMMENT:
            if (!copy_comment(token->position)) return END_OF_FILE;
            line_has_text = true;
            break;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments != 1) {
                first_in_file = 0;
                return DISPATCH;
            }
            if (strip_c_comments == 0) pp_marker_check(token->position, false);
            if (pp_copy_line_comment()) {
                pp_write_newline();
                line_has_text = false;
            } else {
                line_has_text = true;
            }
            break;
        case TOKEN_END_OF_FILE:
            token->value = TEXT_NULL;
            if (line_has_text) pp_report(PP_MSG_NO_FINAL_NEWLINE, token->position);
            return END_OF_FILE;
        case TOKEN_SHARP: {
            int depth = si_stream_depth();
            // Directive lines have rules of their own under fortran_lines.
            lex_set_rule_set(pp_directive_rule_set());
            PpDirectiveResult result = pp_directive();
            lex_set_rule_set(pp_code_rule_set());
            if (result == PP_DIRECTIVE_END_OF_FILE) {
                token->kind = TOKEN_END_OF_FILE;
                token->value = TEXT_NULL;
                return END_OF_FILE;
            }
            // The directive line leaves one newline in the output, whatever it held.
            pp_write_newline();
            // A file entered by #include starts with a marker naming it, even when its first
            // line has the number the output is at.
            if (si_stream_depth() > depth) pp_force_marker();
            line_has_text = false;
            break;
        }
        default: first_in_file = 0; return DISPATCH;
        }
    }
}

// Step 5: the end of the current file: the end of the input, or back to the including file.
Action end_of_file(CurrentToken *token) {
    if (si_stream_depth() < 2) {
        token->kind = TOKEN_END_OF_FILE;
        token->value = TEXT_NULL;
        pp_output_flush();
        return RETURN;
    }
    pp_leave_included_file();
    return LINE_START;
}

} // namespace

void pp_leave_included_file() {
    si_close_stream();
    pp_restore_current_dir();
    pp_pop_file();
    pp_write_newline();
    pp_force_marker();
}

void pp_initialize() {
    token_enter_punctuator_spellings();
    pp_tables_open();
    scan.double_slash = text_enter("//", 2);
    pp_include_reset();
    pp_macro_define_reset();
    pp_macro_expand_reset();
    pp_macro_direct_reset();
    pp_define_predefined_macros();
    lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
    pp_set_plain_lines(true);
    pp_plain_install_hints();
    first_in_file = 1;
}

void pp_run_definitions() {
    pp_output_suppress(true);
    CurrentToken token{};
    pp_scan_to_end(&token);
    pp_output_suppress(false);
}

void pp_reset() {
    pp_tables_close();
    pp_include_reset();
    pp_macro_define_reset();
    pp_macro_expand_reset();
    pp_macro_direct_reset();
    pp_conditionals_reset();
    pp_expr_reset();
    pp_output_reset();
    pp_text_reset();
    scan = ScanState{};
    first_in_file = 1;
}

bool pp_lookahead_lparen() {
    // A call continued over lines merges its lines: the lexer reads it.
    if (!scan.call_continued && simple_lparen()) return true;
    Position after_name = si_current_position();
    TokenKind kind;
    Position position;
    for (;;) {
        switch (lex_token(&kind, &position)) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_OTHER_WHITESPACE:
        case TOKEN_NEWLINE:
        case TOKEN_BSLASH_NL: break;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return false;
            break;
        case TOKEN_LPAREN: return true;
        default:
            // The white space and newlines passed over are read again as ordinary text.
            si_seek(after_name);
            return false;
        }
    }
}

namespace {

// After a `&` among a macro call's arguments in a free-form file under --continued-calls:
// when only blanks and a `!` comment stand between it and the newline, reads through that
// newline and returns true (the `&` marks a continuation); otherwise puts the input back
// just after the `&` and returns false.
bool skip_continuation_end() {
    Position after_amp = si_current_position();
    CurrentToken next{};
    for (;;) {
        lex_token(&next.kind, &next.position);
        switch (next.kind) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_OTHER_WHITESPACE: continue;
        case TOKEN_NEWLINE: return true;
        case TOKEN_EXCL:
        case TOKEN_EXCLEQ:
            if (fortran_comments != 0 && pp_bang_starts_comment(&next)) {
                // The comment's newline is read next.
                if (pp_copy_fortran_comment(false)) continue;
            }
            break;
        default: break;
        }
        si_seek(after_amp);
        return false;
    }
}

// A `!` comment line between the continuation lines of a call: its text up to the newline
// is read and dropped. False when the `!` starts no comment.
bool skip_comment_in_continuation(CurrentToken *token) {
    if (fortran_comments == 0 || !pp_bang_starts_comment(token)) return false;
    pp_copy_fortran_comment(false);
    return true;
}

// The bytes of the argument tokens taken without the lexer: names, and the name ends after
// which the lexer's name token surely ends as well.
constexpr std::array<std::uint8_t, 256> make_arg_bytes() {
    std::array<std::uint8_t, 256> bytes{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t k = 0;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') k = 1; // starts a name
        if (c >= '0' && c <= '9') k = 2;                                         // goes on one
        if (c == ' ' || c == '\t' || c == ',' || c == '(' || c == ')') k = 4;    // ends one
        bytes[static_cast<std::size_t>(c)] = k;
    }
    return bytes;
}
constexpr std::array<std::uint8_t, 256> arg_bytes = make_arg_bytes();

// Takes the token of `kind` at p..end on the line at hand without the lexer, setting the read
// point, the mark and the token's kind and position as the lexer would. False, with nothing
// read, where only the lexer may read: a line past the widest column, the first token of a
// file, the lexer's traces, the tests that read every token through the lexer.
bool take_token(unsigned char *p, unsigned char *end, TokenKind kind, CurrentToken *token) {
    const std::uint32_t column = si_cursor.column + static_cast<std::uint32_t>(p - si_cursor.read);
    const auto length = static_cast<std::uint32_t>(end - p);
    if (column + length > SI_MAX_COLUMN || !pp_plain_lines_enabled() ||
        lex_rule_set() == LEX_FIRST_TOKEN_LEXER || fe_get_flag(FE_FLAG_LEX_DEBUG) != 0 ||
        fe_get_flag(FE_FLAG_LEX_TRACE) != 0)
        return false;
    const std::uint32_t line = si_cursor.line;
    si_cursor.mark = p;
    si_cursor.mark_line = line;
    si_cursor.mark_column = column;
    si_cursor.lost = 0;
    si_cursor.read = end;
    si_cursor.column = column + length;
    token->kind = kind;
    token->position = Position{line, static_cast<std::uint16_t>(column), si_cursor.stream};
    return true;
}

// The `(` after a function-like macro's name, with only blanks before it on the line.
bool simple_lparen() {
    unsigned char *p = si_cursor.read;
    while (*p == ' ' || *p == '\t') ++p;
    CurrentToken token{};
    return *p == '(' && take_token(p, p + 1, TOKEN_LPAREN, &token);
}

// The macro name the whole-line copy stopped before (pp_noted_name_length), when the byte
// after it surely ends the lexer's name as well.
bool noted_name(CurrentToken *token) {
    unsigned char *p = si_cursor.read;
    const std::uint32_t length = pp_noted_name_length(p);
    if (length == 0) return false;
    unsigned char *end = p;
    while (arg_bytes[*end] == 1 || arg_bytes[*end] == 2) ++end;
    if (static_cast<std::uint32_t>(end - p) != length || (arg_bytes[*end] != 4 && *end != '\n'))
        return false;
    return take_token(p, end, TOKEN_IDENTIFIER, token);
}

} // namespace

bool pp_simple_arg_token(CurrentToken *token, std::uint8_t *spaced) {
    unsigned char *read = si_cursor.read;
    unsigned char *p = read;
    while (*p == ' ' || *p == '\t') ++p;
    unsigned char *end = p + 1;
    TokenKind kind;
    switch (*p) {
    case ',': kind = TOKEN_COMMA; break;
    case '(': kind = TOKEN_LPAREN; break;
    case ')': kind = TOKEN_RPAREN; break;
    default:
        if (arg_bytes[*p] != 1) return false;
        while (arg_bytes[*end] == 1 || arg_bytes[*end] == 2) ++end;
        if (arg_bytes[*end] != 4) return false;
        kind = TOKEN_IDENTIFIER;
        break;
    }
    if (!take_token(p, end, kind, token)) return false;
    if (p != read) *spaced = 1;
    if (scan.call_continued) [[unlikely]]
        pp_output_merge_lines(token->position.line);
    return true;
}

namespace {

// pp_simple_arg_token with the value the conversion would give.
bool simple_arg_token(CurrentToken *token, TextHandle *value, std::uint8_t *spaced) {
    if (!pp_simple_arg_token(token, spaced)) return false;
    token->value =
        token->kind == TOKEN_IDENTIFIER
            ? pp_passing_name(reinterpret_cast<const char *>(si_cursor.mark),
                              static_cast<std::uint32_t>(si_cursor.read - si_cursor.mark))
            : token_spelling(token->kind);
    *value = token->value;
    return true;
}

} // namespace

TokenKind pp_next_arg_token(CurrentToken *token, TextHandle *value, std::uint8_t *spaced) {
    *spaced = 0;
    if (simple_arg_token(token, value, spaced)) return token->kind;
    // Set after a continuation's `&` and its newline: blank and comment lines may come, and
    // a `&` first on the next line is the continuation's other mark.
    bool continued = false;
    std::uint8_t spaced_at_amp = 0;
    for (;;) {
        lex_token(&token->kind, &token->position);
        if (continued_calls != 0) [[unlikely]] {
            if (token->kind == TOKEN_AMP && !pp_fixed_form()) {
                if (continued) {
                    // The leading `&`: the blanks before it are not in the arguments.
                    continued = false;
                    *spaced = spaced_at_amp;
                    continue;
                }
                if (skip_continuation_end()) {
                    continued = true;
                    spaced_at_amp = *spaced;
                    scan.call_continued = true;
                    continue;
                }
            } else if (continued && (token->kind == TOKEN_EXCL || token->kind == TOKEN_EXCLEQ) &&
                       skip_comment_in_continuation(token)) {
                continue;
            } else if (token->kind != TOKEN_HORIZ_WHITESPACE &&
                       token->kind != TOKEN_OTHER_WHITESPACE && token->kind != TOKEN_NEWLINE) {
                continued = false;
            }
        }
        if (scan.call_continued) [[unlikely]]
            pp_output_merge_lines(token->position.line);
        switch (token->kind) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_OTHER_WHITESPACE:
        case TOKEN_NEWLINE: *spaced = 1; continue;
        case TOKEN_BSLASH_NL: continue;
        case TOKEN_COMMENT:
            *spaced = 1;
            if (!pp_skip_directive_comment()) {
                token->kind = TOKEN_END_OF_FILE;
                *value = token->value = TEXT_NULL;
                return TOKEN_END_OF_FILE;
            }
            continue;
        case TOKEN_END_OF_FILE:
            si_back_up(1);
            *value = token->value = TEXT_NULL;
            return TOKEN_END_OF_FILE;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) {
                // A line comment ends with its newline: both count as white space.
                *spaced = 1;
                pp_skip_line_comment();
                continue;
            }
            *value = token->value = scan.double_slash;
            return token->kind;
        case TOKEN_SHARP:
        case TOKEN_SHARP_SHARP:
        case TOKEN_TRI_BSLASH:
            *value = token->value = token_spelling(token->kind);
            token->kind = ERROR_TOKEN;
            return ERROR_TOKEN;
        default:
            pp_convert_passing_token(token);
            *value = token->value;
            return token->kind;
        }
    }
}

void pp_scan_step(CurrentToken *token) {
    // An expansion left running by the previous step goes on first.
    Action action = *pp_expansion_context() != nullptr ? DRAIN : READ;
    for (;;) {
        switch (action) {
        case READ:
            // The copy of a line stopped at the end of the buffered data, or refused before a
            // token that may need a blank, goes on once the lexer has read that token.
            if (scan.whole_lines && (pp_plain_seam_passed() || pp_plain_rest_after_token())) {
                action = COPY_REST;
                break;
            }
            if (noted_name(token)) {
                action = NOTED;
                break;
            }
            lex_token(&token->kind, &token->position);
            action = dispatch(token);
            break;
        case DISPATCH: action = dispatch(token); break;
        case NOTED:
            // The name's text is the bytes take_token read, as the conversion would give it.
            action = macro_rule(
                token, PpLexeme{si_cursor.mark,
                                static_cast<std::uint32_t>(si_cursor.read - si_cursor.mark)});
            break;
        case LINE_START: action = line_start(token); break;
        case END_OF_FILE: action = end_of_file(token); break;
        case DRAIN:
            // pp_scan_to_end drains the whole expansion in one step; a single step ends after
            // each token written.
            if (pp_drain_expansion(token))
                action = scan.whole_lines ? DRAIN : RETURN;
            else
                action = after_macro(READ);
            break;
        case COPY_REST:
            switch (pp_copy_plain_rest()) {
            case PP_PLAIN_BLANK:
            case PP_PLAIN_TEXT: action = LINE_START; break;
            default: action = READ; break;
            }
            break;
        case RETURN: return;
        }
    }
}

void pp_scan_to_end(CurrentToken *token) {
    bool outer = scan.whole_lines;
    scan.whole_lines = true;
    do {
        pp_scan_step(token);
    } while (token->kind != TOKEN_END_OF_FILE);
    scan.whole_lines = outer;
}

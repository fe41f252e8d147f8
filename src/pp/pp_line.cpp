// This file implements the directives that change the reported line and file name (#line and
// the numeric form `# 12 "name"`) and #pragma, which sets the preprocessor's switches by name
// and accepts the debugging form `#pragma "c=letters"`.
#include <cstring>

#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// The largest line number: __LINE__ is a signed 32-bit value.
constexpr std::uint64_t MAX_LINE_NUMBER = 2147483647;

constexpr char DEBUG_LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
static_assert(sizeof DEBUG_LETTERS - 1 == 62, "sixty-two debugging letters");

// One operand of a line or pragma directive.
struct Operand {
    TokenKind kind;
    Position position;
    TextHandle value; // the interned spelling (TEXT_NULL for a newline or the end of input)
};

// Converts the token just lexed with its continuations taken out, whatever line this is.
void convert_joined(CurrentToken *token) {
    std::uint8_t saved = pp_continuation_flag;
    pp_continuation_flag = 1;
    pp_convert_token(token);
    pp_continuation_flag = saved;
}

// The next operand: horizontal white space, continuations and comments are passed over,
// vertical white space with a warning. A `//` comment (where `//` starts comments) ends the line
// like its newline. At the end of input the end byte is left unread.
Operand read_operand() {
    CurrentToken token{};
    for (;;) {
        lex_token(&token.kind, &token.position);
        switch (token.kind) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_BSLASH_NL: continue;
        case TOKEN_COMMENT: pp_skip_directive_comment(); continue;
        case TOKEN_OTHER_WHITESPACE:
            pp_report(PP_MSG_VERTICAL_WHITESPACE, token.position);
            continue;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments != 1) {
                token.value = text_enter("//", 2);
                return Operand{token.kind, token.position, token.value};
            }
            if (pp_skip_line_comment()) return Operand{TOKEN_NEWLINE, token.position, TEXT_NULL};
            continue; // the end of input comes next
        case TOKEN_END_OF_FILE: si_back_up(1); [[fallthrough]];
        case TOKEN_NEWLINE: return Operand{token.kind, token.position, TEXT_NULL};
        default: convert_joined(&token); return Operand{token.kind, token.position, token.value};
        }
    }
}

// Reads the digits of `text` as a decimal number (a leading 0 does not make it octal). False
// when it holds no digit or the number is beyond MAX_LINE_NUMBER; any length is read in place.
bool decimal_value(const char *text, bool digits_only, std::uint32_t *number) {
    std::uint64_t value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
        if (value > MAX_LINE_NUMBER) return false;
    }
    if (p == text || (digits_only && *p != '\0')) return false;
    *number = static_cast<std::uint32_t>(value);
    return true;
}

// The line number an operand gives: a decimal or octal constant, or a pp-number of digits.
bool line_number(const Operand &operand, std::uint32_t *number) {
    switch (operand.kind) {
    case TOKEN_DECCONST:
    case TOKEN_OCTCONST: return decimal_value(text_string(operand.value), false, number);
    case TOKEN_PPNUM:
    case TOKEN_PPNUM_BNL: return decimal_value(text_string(operand.value), true, number);
    default: return false;
    }
}

// Makes __LINE__ on the line after the one holding the number token give `number`.
void set_line_number(std::uint32_t number, Position at) {
    PpFileRecord *file = pp_file_top();
    if (file == nullptr) return;
    std::int64_t offset =
        static_cast<std::int64_t>(number) - (static_cast<std::int64_t>(at.line) + 1);
    file->line_offset = static_cast<std::int32_t>(offset);
}

void set_file_name(TextHandle name) {
    if (PpFileRecord *file = pp_file_top(); file != nullptr) file->filename = name;
}

// The newline that pp_check_directive_tail leaves is read here, so the line leaves one newline.
void finish_tail() {
    pp_check_directive_tail();
    if (si_get_char() != '\n') si_back_up(1);
}

// True when an identifier operand names a macro whose expansion can start on this line.
bool starts_expansion(const Operand &operand) {
    PpMacro *macro = pp_lookup_macro(operand.value);
    return macro != nullptr && pp_directive_expansion_start(macro, operand.position);
}

// The first token of the expansion of the macro operand `name` (already started). While the
// expansion yields nothing and the next operand on the line names a macro again, that one is
// expanded instead. *expanding tells whether the token came out of an expansion (still
// running); *call is the position of the macro that gave it.
Operand first_expanded(Operand name, bool *expanding, Position *call) {
    for (;;) {
        *call = name.position;
        const Token *token = pp_directive_expansion_next();
        if (token->kind != TOKEN_FINISHED) {
            *expanding = true;
            TextHandle value = static_cast<TextHandle>(token->value);
            if (value == TEXT_NULL) value = token_spelling(token->kind);
            return Operand{token->kind, name.position, value};
        }
        *expanding = false;
        Operand next = read_operand();
        if (next.kind != TOKEN_IDENTIFIER || !starts_expansion(next)) return next;
        name = next;
    }
}

// After a file name: a running expansion must be over ("too many tokens in macro expansion"
// otherwise), then the rest of the line is checked and its newline read.
void finish_name(bool expanding, Position call) {
    if (expanding && pp_directive_expansion_next()->kind != TOKEN_FINISHED) {
        pp_report(PP_MSG_TOO_MANY_TOKENS, call);
        pp_directive_expansion_abandon();
        pp_skip_directive_rest();
        return;
    }
    if (expanding) {
        finish_tail();
        return;
    }
    pp_check_directive_end();
}

// The file name operand of #line (the number is set). `wide_check` is off after a macro gave the
// number.
void line_file_name(bool wide_check) {
    Operand operand = read_operand();
    bool expanding = false;
    bool via_macro = operand.kind == TOKEN_IDENTIFIER;
    Position call = operand.position;
    if (via_macro) {
        if (!starts_expansion(operand)) {
            pp_report(PP_MSG_LINE_ILLEGAL_TOKEN, operand.position);
            pp_skip_directive_rest();
            return;
        }
        operand = first_expanded(operand, &expanding, &call);
        wide_check = false;
    }
    switch (operand.kind) {
    case TOKEN_END_OF_FILE: pp_report(PP_MSG_EOF_IN_DIRECTIVE_REST, operand.position); return;
    case TOKEN_NEWLINE: return;
    case TOKEN_STRINGCONST:
        if (wide_check && text_string(operand.value)[0] == 'L') {
            pp_report(PP_MSG_WIDE_FILENAME, operand.position);
            pp_skip_directive_rest();
            return;
        }
        set_file_name(operand.value);
        if (via_macro)
            finish_name(expanding, call);
        else
            finish_tail();
        return;
    default:
        pp_report(PP_MSG_LINE_ILLEGAL_TOKEN, operand.position);
        if (expanding) pp_directive_expansion_abandon();
        pp_skip_directive_rest();
        return;
    }
}

// `#line` whose first operand is an identifier: a macro gives the number, and perhaps the name.
void line_from_macro(const Operand &name) {
    if (!starts_expansion(name)) {
        pp_report(PP_MSG_LINE_ILLEGAL_TOKEN, name.position);
        pp_skip_directive_rest();
        return;
    }
    bool expanding = false;
    Position call = name.position;
    Operand operand = first_expanded(name, &expanding, &call);
    std::uint32_t number = 0;
    switch (operand.kind) {
    case TOKEN_END_OF_FILE: pp_report(PP_MSG_EOF_IN_DIRECTIVE_REST, operand.position); return;
    case TOKEN_NEWLINE: pp_report(PP_MSG_LINE_NO_ARGUMENT, operand.position); return;
    default:
        if (!line_number(operand, &number)) {
            pp_report(PP_MSG_LINE_ILLEGAL_TOKEN, operand.position);
            if (expanding) pp_directive_expansion_abandon();
            pp_skip_directive_rest();
            return;
        }
        set_line_number(number, operand.position);
        break;
    }
    if (!expanding) {
        line_file_name(false);
        return;
    }
    const Token *next = pp_directive_expansion_next();
    switch (next->kind) {
    case TOKEN_FINISHED: line_file_name(false); return;
    case TOKEN_STRINGCONST:
        set_file_name(static_cast<TextHandle>(next->value));
        finish_name(true, call);
        return;
    default:
        pp_report(PP_MSG_LINE_MACRO_TOKEN, call);
        pp_directive_expansion_abandon();
        pp_skip_directive_rest();
        return;
    }
}

// The switch form after `#pragma (`.
void pragma_switch() {
    Operand name = read_operand();
    if (name.kind != TOKEN_IDENTIFIER) {
        pp_report(PP_MSG_PRAGMA_FORM, name.position);
        if (name.kind != TOKEN_NEWLINE) pp_discard_directive_line();
        return;
    }
    Operand value = read_operand();
    if (value.kind == TOKEN_EQ) value = read_operand();
    std::uint8_t setting = 1;
    std::uint32_t number = 0;
    switch (value.kind) {
    case TOKEN_RPAREN:
    case TOKEN_NEWLINE: break;
    case TOKEN_IDENTIFIER: {
        const char *text = text_string(value.value);
        if (std::strncmp(text, "TRUE", 4) == 0) {
            setting = 1;
        } else if (std::strncmp(text, "FALSE", 5) == 0) {
            setting = 0;
        } else {
            pp_report(PP_MSG_PRAGMA_FORM, value.position);
            pp_discard_directive_line();
            return;
        }
        break;
    }
    case TOKEN_DECCONST:
    case TOKEN_OCTCONST: {
        // The decimal reading of the digits; a number too large for a line is certainly not 0.
        const char *text = text_string(value.value);
        setting = decimal_value(text, false, &number) ? (number != 0 ? 1 : 0) : 1;
        break;
    }
    default:
        pp_report(PP_MSG_PRAGMA_FORM, value.position);
        if (value.kind != TOKEN_NEWLINE && value.kind != TOKEN_END_OF_FILE)
            pp_discard_directive_line();
        return;
    }
    const char *text = text_string(name.value);
    bool found = false;
    for (const OptionSwitch &option : option_switches) {
        // A name that begins with a switch's name selects it: the first such switch wins.
        if (std::strncmp(text, option.name, std::strlen(option.name)) == 0) {
            *option.flag = setting;
            found = true;
            break;
        }
    }
    if (!found) pp_report(PP_MSG_PRAGMA_SWITCH, name.position);
    if (value.kind != TOKEN_NEWLINE && value.kind != TOKEN_END_OF_FILE) pp_discard_directive_line();
}

// The debugging form `#pragma "m=letters=value"`: only `c` does anything, and no debugging
// function is registered for any letter.
void pragma_debug(const Operand &operand) {
    const char *text = text_string(operand.value);
    const char *quote = std::strchr(text, '"');
    if (quote == nullptr || quote[1] != 'c') return;
    // The letters run from the first `=` to the second one or the closing quote; without
    // them every letter is meant. Each one asks for its function, and each is missing.
    std::size_t count = sizeof DEBUG_LETTERS - 1;
    if (const char *equals = std::strchr(quote + 2, '='); equals != nullptr) {
        std::size_t length = std::strcspn(equals + 1, "=\"");
        if (length > 0) count = length;
    }
    for (std::size_t i = 0; i < count; ++i) pp_report(PP_MSG_PRAGMA_FUNCTION, operand.position);
}

// True when the operand ended the line (its newline read) or stands at the end of input.
bool ends_line(const Operand &operand) {
    return operand.kind == TOKEN_NEWLINE || operand.kind == TOKEN_END_OF_FILE;
}

// The operand of `#pragma push_macro("X")` and `pop_macro("X")`, after the pragma's name:
// the name in the string, TEXT_NULL when the form is not `( "name" )`, which is reported.
// *line_ended tells whether the line's end has been read already.
TextHandle pushed_name(bool *line_ended) {
    Operand open = read_operand();
    Operand string = open.kind == TOKEN_LPAREN ? read_operand() : open;
    Operand close = string.kind == TOKEN_STRINGCONST ? read_operand() : string;
    *line_ended = ends_line(close);
    const char *text = string.kind == TOKEN_STRINGCONST ? text_string(string.value) : "";
    std::size_t length = std::strlen(text);
    if (open.kind != TOKEN_LPAREN || string.kind != TOKEN_STRINGCONST || text[0] != '"' ||
        length < 3 || close.kind != TOKEN_RPAREN) {
        pp_report(PP_MSG_PRAGMA_FORM, open.position);
        return TEXT_NULL;
    }
    return text_enter(text + 1, static_cast<std::uint32_t>(length - 2));
}

// The pragmas of GNU cpp that the long switches turn on (`once`, `push_macro`, `pop_macro`)
// are carried out; any other name is passed over. The line is read through its end.
void named_pragma(const Operand &name) {
    const char *text = text_string(name.value);
    bool push = push_pop_macro != 0 && std::strcmp(text, "push_macro") == 0;
    bool pop = push_pop_macro != 0 && std::strcmp(text, "pop_macro") == 0;
    if (push || pop) {
        bool line_ended = false;
        TextHandle macro = pushed_name(&line_ended);
        if (macro != TEXT_NULL && push) pp_push_macro(macro);
        if (macro != TEXT_NULL && pop) pp_pop_macro(macro);
        if (!line_ended) pp_discard_directive_line();
        return;
    }
    if (pragma_once != 0 && std::strcmp(text, "once") == 0) pp_pragma_once();
    pp_discard_directive_line();
}

} // namespace

void pp_line() {
    Operand operand = read_operand();
    std::uint32_t number = 0;
    switch (operand.kind) {
    case TOKEN_END_OF_FILE: pp_report(PP_MSG_EOF_IN_DIRECTIVE_REST, operand.position); return;
    case TOKEN_NEWLINE: pp_report(PP_MSG_LINE_NO_ARGUMENT, operand.position); return;
    case TOKEN_IDENTIFIER: line_from_macro(operand); return;
    default:
        if (!line_number(operand, &number)) {
            pp_report(PP_MSG_LINE_ILLEGAL_TOKEN, operand.position);
            pp_skip_directive_rest();
            return;
        }
        set_line_number(number, operand.position);
        break;
    }
    line_file_name(true);
}

void pp_numeric_line(CurrentToken *number) {
    convert_joined(number);
    const char *digits = text_string(number->value);
    if ((number->kind == TOKEN_PPNUM || number->kind == TOKEN_PPNUM_BNL) &&
        !pp_is_digits(digits, static_cast<int>(std::strlen(digits)))) {
        pp_report_severity(PP_MSG_UNRECOGNIZED_DIRECTIVE, number->position,
                           red_directive_severity != 0 ? SEVERITY_INFORMATION : SEVERITY_WARNING);
        pp_skip_directive_rest();
        return;
    }
    if (warn_unix_line != 0) pp_report(PP_MSG_NON_ANSI_LINE, number->position);
    std::uint32_t line = 0;
    if (!decimal_value(digits, false, &line)) {
        // Beyond the largest line number: refused rather than wrapped.
        pp_report(PP_MSG_LINE_ILLEGAL_TOKEN, number->position);
        pp_skip_directive_rest();
        return;
    }
    set_line_number(line, number->position);
    // Only blanks and tabs may stand before the name: a comment or a continuation is no name.
    CurrentToken token{};
    do {
        lex_token(&token.kind, &token.position);
    } while (token.kind == TOKEN_HORIZ_WHITESPACE);
    switch (token.kind) {
    case TOKEN_STRINGCONST:
    case TOKEN_STRINGCONST_BNL: {
        // The name as written: continuations out, trigraphs left alone.
        std::uint8_t saved = string_trigraphs;
        string_trigraphs = 0;
        pp_convert_token(&token);
        string_trigraphs = saved;
        set_file_name(token.value);
        pp_discard_directive_line();
        return;
    }
    case TOKEN_NEWLINE: pp_report(PP_MSG_LINE_NO_FILENAME, token.position); return;
    case TOKEN_END_OF_FILE:
        pp_report(PP_MSG_LINE_ILLEGAL_TOKEN, token.position);
        si_back_up(1);
        return;
    default:
        pp_report(PP_MSG_LINE_ILLEGAL_TOKEN, token.position);
        pp_skip_directive_rest();
        return;
    }
}

void pp_pragma() {
    Operand operand = read_operand();
    switch (operand.kind) {
    case TOKEN_LPAREN: pragma_switch(); return;
    case TOKEN_STRINGCONST: pragma_debug(operand); break;
    case TOKEN_IDENTIFIER: named_pragma(operand); return;
    case TOKEN_NEWLINE:
    case TOKEN_END_OF_FILE: return;
    default: break;
    }
    pp_discard_directive_line();
}

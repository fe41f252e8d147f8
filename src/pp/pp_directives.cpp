// This file implements the directive dispatcher: the reading of a directive's name (white space
// and comments passed over), its selection by length and then by name, the messages about a
// missing or unknown name, and the hand-over to the directive's handler.
#include <cstring>

#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"

namespace {

enum DirectiveKind : std::uint8_t {
#define PP_DIRECTIVE(ident, name) ident,
#include "pp/pp_directives.def"
#undef PP_DIRECTIVE
    PP_DIRECTIVE_COUNT,
    PP_DIRECTIVE_UNKNOWN = PP_DIRECTIVE_COUNT,
};
static_assert(PP_DIRECTIVE_COUNT == 13, "thirteen directive names");

struct DirectiveName {
    const char *name;
    std::uint32_t length;
};

constexpr DirectiveName directive_names[] = {
#define PP_DIRECTIVE(ident, name) {name, sizeof name - 1},
#include "pp/pp_directives.def"
#undef PP_DIRECTIVE
};

constexpr std::uint32_t NAME_BUFFER_SIZE = 8; // longer than every directive name

// The directive of the name's text, by its length first, then in the table's order.
DirectiveKind select(const unsigned char *text, std::uint32_t length) {
    if (length >= NAME_BUFFER_SIZE) return PP_DIRECTIVE_UNKNOWN;
    for (int i = 0; i < PP_DIRECTIVE_COUNT; ++i)
        if (directive_names[i].length == length &&
            std::memcmp(directive_names[i].name, text, length) == 0)
            return static_cast<DirectiveKind>(i);
    return PP_DIRECTIVE_UNKNOWN;
}

// The name's text with every backslash-newline (and `??/`-newline) taken out. Only the first
// NAME_BUFFER_SIZE bytes matter: a longer name is unknown whatever it holds.
std::uint32_t join_name(const unsigned char *text, std::uint32_t length, unsigned char *out) {
    std::uint32_t k = 0;
    for (std::uint32_t i = 0; i < length;) {
        if (text[i] == '\\' && i + 1 < length && text[i + 1] == '\n') {
            i += 2;
        } else if (text[i] == '?' && i + 3 < length && text[i + 1] == '?' && text[i + 2] == '/' &&
                   text[i + 3] == '\n') {
            i += 4;
        } else {
            if (k < NAME_BUFFER_SIZE) out[k] = text[i];
            ++k;
            ++i;
        }
    }
    return k;
}

void report_unrecognized(Position position) {
    pp_report_severity(PP_MSG_UNRECOGNIZED_DIRECTIVE, position,
                       red_directive_severity != 0 ? SEVERITY_INFORMATION : SEVERITY_WARNING);
}

bool is_number_kind(TokenKind kind) {
    switch (kind) {
    case TOKEN_DECCONST:
    case TOKEN_OCTCONST:
    case TOKEN_PPNUM:
    case TOKEN_DECCONST_BNL:
    case TOKEN_OCTCONST_BNL:
    case TOKEN_PPNUM_BNL: return true;
    default: return false;
    }
}

} // namespace

PpDirectiveResult pp_directive() {
    TokenKind kind;
    Position position;
    for (;;) {
        lex_token(&kind, &position);
        if (kind == TOKEN_HORIZ_WHITESPACE || kind == TOKEN_BSLASH_NL) continue;
        if (kind == TOKEN_COMMENT) {
            // At the end of input inside it, the end byte is left to be read as the next token.
            pp_skip_directive_comment();
            continue;
        }
        if (kind == TOKEN_OTHER_WHITESPACE) {
            pp_report(PP_MSG_VERTICAL_WHITESPACE, position);
            continue;
        }
        if (kind == TOKEN_BOL_COMMENT && double_slash_comments == 1) {
            // A comment that runs to the line's end: a null directive, or the end of input.
            if (pp_skip_line_comment()) return PP_DIRECTIVE_DONE;
            continue;
        }
        break;
    }
    if (kind == TOKEN_END_OF_FILE) {
        pp_report(PP_MSG_EOF_IN_DIRECTIVE, position);
        return PP_DIRECTIVE_END_OF_FILE;
    }
    if (kind == TOKEN_NEWLINE) return PP_DIRECTIVE_DONE; // a lone `#`: first_in_file stays
    DirectiveKind directive = PP_DIRECTIVE_UNKNOWN;
    if (kind == TOKEN_IDENTIFIER || kind == TOKEN_IDENTIFIER_BNL || kind == TOKEN_IDENTIFIER_DOL) {
        // A name with `$` is taken whole here whatever dollar_ident says.
        unsigned char name[NAME_BUFFER_SIZE];
        std::uint32_t length = join_name(si_mark_text(), si_mark_length(), name);
        directive = select(name, length);
        if (directive == PP_DIRECTIVE_WARNING && warning_directive == 0)
            directive = PP_DIRECTIVE_UNKNOWN;
    } else if (is_number_kind(kind)) {
        CurrentToken number{kind, TEXT_NULL, position};
        pp_numeric_line(&number);
        first_in_file = 0;
        return PP_DIRECTIVE_DONE;
    }
    if (directive == PP_DIRECTIVE_UNKNOWN) {
        report_unrecognized(position);
        pp_skip_directive_rest();
        first_in_file = 0;
        return PP_DIRECTIVE_DONE;
    }
    switch (directive) {
    case PP_DIRECTIVE_INCLUDE: pp_include_directive(position); break;
    case PP_DIRECTIVE_LINE: pp_line(); break;
    case PP_DIRECTIVE_PRAGMA: pp_pragma(); break;
    case PP_DIRECTIVE_IF: pp_if(); break;
    case PP_DIRECTIVE_IFDEF: pp_ifdef(); break;
    case PP_DIRECTIVE_IFNDEF: pp_ifndef(); break;
    case PP_DIRECTIVE_ELIF: pp_elif(position); break;
    case PP_DIRECTIVE_ELSE: pp_else(position); break;
    case PP_DIRECTIVE_ENDIF: pp_endif(position); break;
    case PP_DIRECTIVE_ERROR:
        pp_diagnostic_directive(position, error_is_error != 0 ? SEVERITY_ERROR : SEVERITY_WARNING);
        break;
    case PP_DIRECTIVE_WARNING: pp_diagnostic_directive(position, SEVERITY_WARNING); break;
    case PP_DIRECTIVE_DEFINE: pp_define_directive(); break;
    case PP_DIRECTIVE_UNDEF: pp_undef_directive(); break;
    default:
        // Every name has its handler; an unknown one was dealt with above.
        pp_discard_directive_line();
        break;
    }
    if (directive != PP_DIRECTIVE_INCLUDE) first_in_file = 0;
    return PP_DIRECTIVE_DONE;
}

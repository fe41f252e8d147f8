// This file implements the evaluation of #if and #elif expressions: a recursive descent over the
// rest of the directive line in 32-bit wrap-around arithmetic with a signedness flag, the number
// and character converters, the defined operator, and macro calls on the line with the collection
// of their arguments.
#include <cstring>

#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// A value of the expression: the 32 bits and how division, right shift and the comparisons
// read them.
struct ExprValue {
    std::uint32_t bits;
    std::uint8_t is_signed; // 1 signed, 0 unsigned
};

constexpr ExprValue SIGNED_ZERO{0, 1};

// Parentheses, unary operators and `?:` nest the descent; a line nested deeper than this is
// abandoned with a message rather than left to exhaust the stack (about a kilobyte a level).
constexpr std::uint32_t MAX_NESTING = 512;

struct ExprState {
    std::uint16_t error_reported; // 1 once a message of this evaluation was given
    std::uint16_t quiet_depth;    // > 0 while a value cannot matter, or after any message
    std::uint32_t nesting;        // levels of the descent now open
    bool too_deep;                // the descent was abandoned at MAX_NESTING
    bool expanding;               // an expansion started on the line is being read
    Position invocation;          // the position of the macro name that started it
    // The current token: its kind and position and, for TOKEN_LONGCONST, its value.
    TokenKind kind;
    Position position;
    ExprValue number;
    TextHandle double_slash; // the text "//" where it is no comment
    // For TOKEN_FORTRAN_OP: which of the Fortran operators without a C kind of their own.
    std::uint8_t fortran_op;
};

// The Fortran operators of their own levels: the relations (below the bitwise operators, as
// Fortran compilers' preprocessors place them), `.not.` (below the relations) and the
// equivalences (below `.or.`). `.and.` and `.or.` are `&&` and `||`; `.true.` and `.false.`
// are 1 and 0.
enum FortranOp : std::uint8_t {
    FOP_EQ,
    FOP_NE,
    FOP_LT,
    FOP_LE,
    FOP_GT,
    FOP_GE,
    FOP_NOT,
    FOP_EQV,
    FOP_NEQV,
    FOP_NONE
};

ExprState ev;

// The messages that are given only while no other was given in this evaluation; each one makes
// later division-by-zero messages quiet too.
void report_at(PpMessage message, Position position) {
    if (ev.error_reported != 0) return;
    pp_report(message, position);
    ev.error_reported = 1;
    ++ev.quiet_depth;
}

void report(PpMessage message) { report_at(message, ev.position); }

// ---- Reading the line ------------------------------------------------------------------------

// The next token of the directive line that is not white space, a continuation or a comment.
// *spaced tells whether any of those came before it. A newline is consumed (the caller retracts
// it); the end of input is left unread. Where `//` starts comments it ends the line.
void read_line_token(CurrentToken *token, std::uint8_t *spaced) {
    *spaced = 0;
    for (;;) {
        lex_token(&token->kind, &token->position);
        switch (token->kind) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_BSLASH_NL: *spaced = 1; continue;
        case TOKEN_OTHER_WHITESPACE:
            // Given whatever else was said: it is about the line, not the expression.
            pp_report(PP_MSG_VERTICAL_WHITESPACE, token->position);
            *spaced = 1;
            continue;
        case TOKEN_COMMENT:
            *spaced = 1;
            if (pp_skip_directive_comment()) continue;
            token->kind = TOKEN_END_OF_FILE; // the end byte was left unread
            return;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) {
                token->kind = pp_skip_line_comment() ? TOKEN_NEWLINE : TOKEN_END_OF_FILE;
                return;
            }
            token->value = ev.double_slash;
            return;
        case TOKEN_END_OF_FILE: si_back_up(1); return;
        default: return;
        }
    }
}

// Makes the token just read by read_line_token the next one read again.
void give_back(const CurrentToken &token) {
    if (token.kind == TOKEN_END_OF_FILE) return; // never consumed
    if (token.kind == TOKEN_NEWLINE) {
        si_back_up(1); // also the newline that ends a `//` comment
        return;
    }
    // The mark is at the token's start (after the dollar rule, at the start of what was kept).
    if (si_back_up(si_mark_length()) != SI_OK) si_seek(token.position);
}

// The text of a token read from the line with its continuations taken out, as every lexeme of
// an expression is joined whatever directive ran before.
PpLexeme joined_lexeme(CurrentToken *token) {
    std::uint8_t saved = pp_continuation_flag;
    pp_continuation_flag = 1;
    PpLexeme lexeme = pp_convert_lexeme(token);
    pp_continuation_flag = saved;
    return lexeme;
}

void joined_token(CurrentToken *token) {
    std::uint8_t saved = pp_continuation_flag;
    pp_continuation_flag = 1;
    pp_convert_token(token);
    pp_continuation_flag = saved;
}

bool is_identifier_kind(TokenKind kind) {
    return kind == TOKEN_IDENTIFIER || kind == TOKEN_IDENTIFIER_BNL || kind == TOKEN_IDENTIFIER_DOL;
}

// ---- Converters -------------------------------------------------------------------------------

// The value of an octal, hexadecimal or decimal constant's spelling. Overflow is reported and
// the value wraps; a `u` suffix makes it unsigned, else bit 31 decides.
ExprValue convert_number(const unsigned char *text, std::uint32_t length) {
    std::uint32_t value = 0;
    std::uint32_t i = 0;
    std::uint32_t base = 10;
    if (length >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (length >= 1 && text[0] == '0') {
        base = 8;
        i = 1;
    }
    for (; i < length; ++i) {
        unsigned char c = text[i];
        if (c == 'l' || c == 'L') continue;
        if (c == 'u' || c == 'U') return ExprValue{value, 0};
        std::uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        if (digit >= base) break;
        if (base == 16) {
            if (value >= 0x10000000u) report(PP_MSG_HEX_TOO_LARGE);
        } else if (base == 8) {
            if ((value & 0xE0000000u) != 0) report(PP_MSG_OCTAL_TOO_LARGE);
        } else if (value > 429496729u || (value == 429496729u && digit > 5)) {
            report(PP_MSG_DECIMAL_TOO_LARGE);
        }
        value = value * base + digit;
    }
    return ExprValue{value, static_cast<std::uint8_t>((value & 0x80000000u) != 0 ? 0 : 1)};
}

// Makes the current token the number of a constant's spelling; a wide character constant
// stays what it is (a syntax error to the parser).
void deliver_constant(TokenKind kind, const unsigned char *text, std::uint32_t length) {
    if (kind == TOKEN_CHARCONST) {
        if (length > 0 && text[0] == 'L') {
            ev.kind = TOKEN_CHARCONST;
            return;
        }
        // The first character after the quote, as a signed byte; escapes are not interpreted.
        std::int32_t code = length > 2 ? static_cast<signed char>(text[1]) : 0;
        ev.number = ExprValue{static_cast<std::uint32_t>(code), 1};
    } else {
        ev.number = convert_number(text, length);
    }
    ev.kind = TOKEN_LONGCONST;
}

void deliver_zero() {
    ev.kind = TOKEN_LONGCONST;
    ev.number = SIGNED_ZERO;
}

// Makes the current token the Fortran operator or constant spelled `text` (`.EQ.`, `.true.`).
void deliver_fortran_operator(const unsigned char *text, std::uint32_t length) {
    struct Spelling {
        const char *name;
        TokenKind kind;
        std::uint8_t op; // FOP_NONE with a C kind; the constant's value for TOKEN_LONGCONST
    };
    static constexpr Spelling spellings[] = {
        {"eq", TOKEN_FORTRAN_OP, FOP_EQ},     {"ne", TOKEN_FORTRAN_OP, FOP_NE},
        {"lt", TOKEN_FORTRAN_OP, FOP_LT},     {"le", TOKEN_FORTRAN_OP, FOP_LE},
        {"gt", TOKEN_FORTRAN_OP, FOP_GT},     {"ge", TOKEN_FORTRAN_OP, FOP_GE},
        {"not", TOKEN_FORTRAN_OP, FOP_NOT},   {"eqv", TOKEN_FORTRAN_OP, FOP_EQV},
        {"neqv", TOKEN_FORTRAN_OP, FOP_NEQV}, {"and", TOKEN_AMPAMP, FOP_NONE},
        {"or", TOKEN_BARBAR, FOP_NONE},       {"true", TOKEN_LONGCONST, 1},
        {"false", TOKEN_LONGCONST, 0},
    };
    // The lexer made the token: a dot, two to five letters, a dot.
    const unsigned char *name = text + 1;
    std::uint32_t count = length >= 2 ? length - 2 : 0;
    for (const Spelling &spelling : spellings) {
        std::uint32_t i = 0;
        while (i < count && spelling.name[i] != '\0' && (name[i] | 0x20) == spelling.name[i]) ++i;
        if (i != count || spelling.name[i] != '\0') continue;
        ev.kind = spelling.kind;
        ev.fortran_op = spelling.kind == TOKEN_FORTRAN_OP ? spelling.op : std::uint8_t{FOP_NONE};
        if (spelling.kind == TOKEN_LONGCONST) ev.number = ExprValue{spelling.op, 1};
        return;
    }
    ev.kind = TOKEN_FORTRAN_OP; // not reached: the lexer knows the same names
    ev.fortran_op = FOP_NONE;
}

// ---- Macro calls on the line ------------------------------------------------------------------

// Appends a kept argument token, converted as the scanning loop converts tokens.
Token *keep_argument_token(CurrentToken *token, std::uint8_t spaced, Token *last, PpActual *node) {
    switch (token->kind) {
    case TOKEN_SHARP:
    case TOKEN_SHARP_SHARP:
    case TOKEN_TRI_BSLASH:
        token->value = token_spelling(token->kind); // `??/` is spelled with one backslash
        token->kind = ERROR_TOKEN;
        break;
    case TOKEN_BOL_COMMENT: break; // the text "//", set by the reader
    default: joined_token(token); break;
    }
    Token *kept = pp_new_aux_token(token->kind, static_cast<std::int32_t>(token->value));
    kept->spaced = spaced;
    kept->formal_index = 0;
    if (last == nullptr)
        node->tokens = kept;
    else
        last->next = kept;
    return kept;
}

// Gives the argument just ended its final form (the null token when it is empty) and counts it.
void close_argument(PpActual *node, int *count) {
    if (node->tokens == nullptr)
        node->tokens = pp_null_token();
    else
        node->tokens->spaced = 0;
    ++*count;
}

// Empty arguments for the parameters that got none.
void fill_missing_arguments(PpActual *last_node, int count, int n_formals) {
    for (; count < n_formals; ++count) {
        PpActual *node = pp_new_actual();
        node->tokens = pp_null_token();
        last_node->next = node;
        last_node = node;
    }
}

// After the arguments of a call with too many: reads and drops the rest up to the matching `)`.
void drop_extra_arguments(Position call) {
    int depth = 1;
    CurrentToken token{};
    std::uint8_t spaced;
    for (;;) {
        read_line_token(&token, &spaced);
        switch (token.kind) {
        case TOKEN_NEWLINE:
        case TOKEN_END_OF_FILE:
            report_at(PP_MSG_MISSING_ACTUALS_RPAREN, call);
            give_back(token);
            return;
        case TOKEN_LPAREN: ++depth; break;
        case TOKEN_RPAREN:
            if (--depth == 0) {
                report_at(PP_MSG_TOO_MANY_ACTUALS, call);
                return;
            }
            break;
        default: break;
        }
    }
}

// Collects the arguments of a call of `macro` whose `(` was just read, one list per parameter,
// up to the matching `)` on the same line. Nothing is expanded while it is collected.
PpActual *collect_arguments(const PpMacro *macro, Position call) {
    const int n_formals = macro->n_formals;
    PpActual *head = pp_new_actual();
    PpActual *node = head;
    Token *last = nullptr;
    int depth = 1;
    int count = 0;
    CurrentToken token{};
    std::uint8_t spaced;
    for (;;) {
        read_line_token(&token, &spaced);
        switch (token.kind) {
        case TOKEN_NEWLINE:
        case TOKEN_END_OF_FILE:
            report_at(PP_MSG_EXPR_ARGS_NO_PAREN, call);
            give_back(token);
            close_argument(node, &count);
            fill_missing_arguments(node, count, n_formals);
            return head;
        case TOKEN_LPAREN: ++depth; break;
        case TOKEN_RPAREN:
            if (depth == 1) {
                close_argument(node, &count);
                if (count < n_formals) {
                    // A variadic macro's variable part may be left out.
                    if (count < n_formals - macro->variadic)
                        report_at(PP_MSG_TOO_FEW_ACTUALS, call);
                    fill_missing_arguments(node, count, n_formals);
                }
                return head;
            }
            --depth;
            break;
        case TOKEN_COMMA:
            // In the variable part of a variadic macro's call commas are argument text.
            if (depth > 1 || (macro->variadic != 0 && count == n_formals - 1)) break;
            close_argument(node, &count);
            if (count == n_formals) {
                drop_extra_arguments(call);
                return head;
            }
            node = node->next = pp_new_actual();
            last = nullptr;
            continue;
        default: break;
        }
        last = keep_argument_token(&token, spaced, last, node);
    }
}

// Makes the next token of the running expansion the current one; false when it is exhausted.
bool take_expansion_token() {
    Token *token = pp_expand_directive_next();
    // Only the line itself ends the line: a line end inside an expansion separates tokens.
    while (token->kind == TOKEN_NEWLINE || token->kind == TOKEN_END_OF_FILE)
        token = pp_expand_directive_next();
    if (token->kind == TOKEN_FINISHED) {
        pp_end_directive_expansion();
        ev.expanding = false;
        return false;
    }
    ev.position = ev.invocation;
    ev.kind = token->kind;
    switch (token->kind) {
    case TOKEN_IDENTIFIER: deliver_zero(); break; // `defined` included: it is no operator here
    case TOKEN_OCTCONST:
    case TOKEN_HEXCONST:
    case TOKEN_DECCONST:
    case TOKEN_CHARCONST: {
        TextHandle text = static_cast<TextHandle>(token->value);
        deliver_constant(token->kind, reinterpret_cast<const unsigned char *>(text_string(text)),
                         text_length(text));
        break;
    }
    case TOKEN_FORTRAN_OP: {
        TextHandle text = static_cast<TextHandle>(token->value);
        deliver_fortran_operator(reinterpret_cast<const unsigned char *>(text_string(text)),
                                 text_length(text));
        break;
    }
    default: break;
    }
    return true;
}

// A name on the line: a macro starts its expansion, anything else is the number 0. Returns
// false when the current token is still to be found (the expansion gave nothing).
bool deliver_name(PpLexeme name, Position position) {
    // A name that was never interned cannot be a macro: every definition interns its name.
    PpMacro *macro = nullptr;
    TextHandle handle = text_find(reinterpret_cast<const char *>(name.text), name.length);
    if (handle != TEXT_NULL) macro = pp_lookup_macro(handle);
    if (macro == nullptr) {
        deliver_zero();
        return true;
    }
    if (macro->n_formals < 0) {
        pp_start_directive_expansion(macro, position);
    } else {
        CurrentToken next{};
        std::uint8_t spaced;
        read_line_token(&next, &spaced);
        if (next.kind != TOKEN_LPAREN) {
            give_back(next);
            deliver_zero();
            return true;
        }
        // The arguments go into the expansion pools, so those are emptied first.
        pp_reset_expansion_pools();
        pp_start_directive_call(macro, collect_arguments(macro, position), position);
    }
    ev.expanding = true;
    ev.invocation = position;
    return take_expansion_token();
}

// ---- The defined operator ---------------------------------------------------------------------

// The identifier of the defined operator: its lexeme, or false when it is none (also a name
// with `$` that the dollar rule turns into an error token).
bool operand_name(CurrentToken *token, PpLexeme *name) {
    if (!is_identifier_kind(token->kind)) return false;
    *name = joined_lexeme(token);
    return token->kind == TOKEN_IDENTIFIER;
}

// After `defined`: `NAME` or `( NAME )` gives 1 when NAME is a macro, else 0. Anything else is
// read again after the operator, which then gives 0 without a message.
void defined_operator() {
    CurrentToken token{};
    std::uint8_t spaced;
    PpLexeme name{};
    read_line_token(&token, &spaced);
    bool parenthesized = token.kind == TOKEN_LPAREN;
    if (parenthesized) read_line_token(&token, &spaced);
    bool found = operand_name(&token, &name);
    if (found && parenthesized) {
        read_line_token(&token, &spaced);
        found = token.kind == TOKEN_RPAREN;
    }
    if (!found) {
        give_back(token);
        deliver_zero();
        return;
    }
    TextHandle handle = text_find(reinterpret_cast<const char *>(name.text), name.length);
    bool defined = handle != TEXT_NULL && pp_lookup_macro(handle) != nullptr;
    ev.kind = TOKEN_LONGCONST;
    ev.number = ExprValue{defined ? 1u : 0u, 1};
}

// ---- The expression scanner -------------------------------------------------------------------

// Makes the next operand or operator the current token: from the running expansion first, then
// from the line. Operands become TOKEN_LONGCONST; everything else keeps its kind.
void next_token() {
    for (;;) {
        if (ev.expanding && take_expansion_token()) return;
        CurrentToken token{};
        std::uint8_t spaced;
        read_line_token(&token, &spaced);
        ev.kind = token.kind;
        ev.position = token.position;
        switch (token.kind) {
        case TOKEN_OCTCONST:
        case TOKEN_OCTCONST_BNL:
        case TOKEN_HEXCONST:
        case TOKEN_HEXCONST_BNL:
        case TOKEN_DECCONST:
        case TOKEN_DECCONST_BNL:
        case TOKEN_CHARCONST:
        case TOKEN_CHARCONST_BNL: {
            PpLexeme lexeme = joined_lexeme(&token);
            deliver_constant(token.kind, lexeme.text, lexeme.length);
            return;
        }
        case TOKEN_IDENTIFIER:
        case TOKEN_IDENTIFIER_BNL:
        case TOKEN_IDENTIFIER_DOL: {
            PpLexeme lexeme = joined_lexeme(&token);
            if (token.kind != TOKEN_IDENTIFIER) {
                ev.kind = token.kind; // a `$` the dollar rule refuses
                return;
            }
            if (lexeme.length == 7 && std::memcmp(lexeme.text, "defined", 7) == 0) {
                defined_operator();
                return;
            }
            if (deliver_name(lexeme, token.position)) return;
            continue; // the macro expanded to nothing: go on with the line
        }
        case TOKEN_FORTRAN_OP: {
            PpLexeme lexeme = joined_lexeme(&token);
            deliver_fortran_operator(lexeme.text, lexeme.length);
            return;
        }
        default: return;
        }
    }
}

// ---- The descent --------------------------------------------------------------------------------

bool enter_level() {
    if (ev.too_deep) return false;
    if (ev.nesting == MAX_NESTING) {
        ev.too_deep = true;
        report(PP_MSG_EXPR_NESTED_TOO_DEEPLY);
        return false;
    }
    ++ev.nesting;
    return true;
}

void leave_level() { --ev.nesting; }

// True while the current token is `kind` and the descent goes on.
bool current_is(TokenKind kind) { return ev.kind == kind && !ev.too_deep; }

ExprValue signed_truth(bool truth) { return ExprValue{truth ? 1u : 0u, 1}; }

void parse_conditional(ExprValue *result);

void parse_primary(ExprValue *result) {
    switch (ev.kind) {
    case TOKEN_LONGCONST:
        *result = ev.number;
        next_token();
        return;
    case TOKEN_LPAREN:
        next_token();
        parse_conditional(result);
        if (ev.kind == TOKEN_RPAREN)
            next_token();
        else
            report(PP_MSG_MISSING_RPAREN);
        return;
    case TOKEN_END_OF_FILE:
    case TOKEN_NEWLINE:
        // The line end stays for the end check.
        report(PP_MSG_EXPR_SYNTAX);
        *result = SIGNED_ZERO;
        return;
    default:
        report(PP_MSG_EXPR_SYNTAX);
        *result = SIGNED_ZERO;
        next_token();
        return;
    }
}

void parse_unary(ExprValue *result) {
    TokenKind op = ev.kind;
    if (op != TOKEN_DASH && op != TOKEN_PLUS && op != TOKEN_EXCL && op != TOKEN_TILDE) {
        parse_primary(result);
        return;
    }
    if (!enter_level()) {
        *result = SIGNED_ZERO;
        return;
    }
    next_token();
    parse_unary(result);
    leave_level();
    switch (op) {
    case TOKEN_DASH: result->bits = 0u - result->bits; break;
    case TOKEN_TILDE: result->bits = ~result->bits; break;
    case TOKEN_EXCL: *result = signed_truth(result->bits == 0); break;
    default: break; // unary plus
    }
}

// Division and remainder: by 0 the result is 0 (with a message where the value matters);
// -2147483648 / -1 wraps to itself with remainder 0 instead of trapping.
ExprValue divide(ExprValue left, ExprValue right, bool remainder) {
    if (right.bits == 0) {
        if (ev.quiet_depth == 0) {
            pp_report(PP_MSG_DIVISION_BY_ZERO, ev.position);
            ev.error_reported = 1;
            ++ev.quiet_depth;
        }
        return SIGNED_ZERO;
    }
    if (left.is_signed == 0 || right.is_signed == 0)
        return ExprValue{remainder ? left.bits % right.bits : left.bits / right.bits, 0};
    std::int32_t l = static_cast<std::int32_t>(left.bits);
    std::int32_t r = static_cast<std::int32_t>(right.bits);
    if (r == -1) return ExprValue{remainder ? 0u : 0u - left.bits, 1};
    return ExprValue{static_cast<std::uint32_t>(remainder ? l % r : l / r), 1};
}

void parse_multiplicative(ExprValue *result) {
    parse_unary(result);
    while (current_is(TOKEN_STAR) || current_is(TOKEN_SLASH) || current_is(TOKEN_PCT)) {
        TokenKind op = ev.kind;
        next_token();
        ExprValue right;
        parse_unary(&right);
        if (op == TOKEN_STAR)
            *result = ExprValue{result->bits * right.bits,
                                static_cast<std::uint8_t>(result->is_signed & right.is_signed)};
        else
            *result = divide(*result, right, op == TOKEN_PCT);
    }
}

void parse_additive(ExprValue *result) {
    parse_multiplicative(result);
    while (current_is(TOKEN_PLUS) || current_is(TOKEN_DASH)) {
        TokenKind op = ev.kind;
        next_token();
        ExprValue right;
        parse_multiplicative(&right);
        result->bits = op == TOKEN_PLUS ? result->bits + right.bits : result->bits - right.bits;
        result->is_signed &= right.is_signed;
    }
}

void parse_shift(ExprValue *result) {
    parse_additive(result);
    while (current_is(TOKEN_LTLT) || current_is(TOKEN_GTGT)) {
        TokenKind op = ev.kind;
        next_token();
        ExprValue right;
        parse_additive(&right);
        std::uint32_t count = right.bits & 31; // a count of 32 shifts by 0
        if (op == TOKEN_LTLT)
            result->bits <<= count;
        else if (result->is_signed != 0)
            result->bits =
                static_cast<std::uint32_t>(static_cast<std::int32_t>(result->bits) >> count);
        else
            result->bits >>= count;
    }
}

// -1, 0, 1 as the left operand is below, equal to or above the right one: signed when both
// are, else unsigned.
int compare(ExprValue left, ExprValue right) {
    if (left.is_signed != 0 && right.is_signed != 0) {
        std::int32_t l = static_cast<std::int32_t>(left.bits);
        std::int32_t r = static_cast<std::int32_t>(right.bits);
        return l < r ? -1 : l > r ? 1 : 0;
    }
    return left.bits < right.bits ? -1 : left.bits > right.bits ? 1 : 0;
}

void parse_relational(ExprValue *result) {
    parse_shift(result);
    while (current_is(TOKEN_GT) || current_is(TOKEN_GTEQ) || current_is(TOKEN_LT) ||
           current_is(TOKEN_LTEQ)) {
        TokenKind op = ev.kind;
        next_token();
        ExprValue right;
        parse_shift(&right);
        int order = compare(*result, right);
        bool truth = op == TOKEN_GT     ? order > 0
                     : op == TOKEN_GTEQ ? order >= 0
                     : op == TOKEN_LT   ? order < 0
                                        : order <= 0;
        *result = signed_truth(truth);
    }
}

void parse_equality(ExprValue *result) {
    parse_relational(result);
    while (current_is(TOKEN_EQEQ) || current_is(TOKEN_EXCLEQ)) {
        bool equal = ev.kind == TOKEN_EQEQ;
        next_token();
        ExprValue right;
        parse_relational(&right);
        *result = signed_truth((result->bits == right.bits) == equal);
    }
}

// The three bitwise levels; their result is signed whatever the operands were.
void parse_and(ExprValue *result) {
    parse_equality(result);
    while (current_is(TOKEN_AMP)) {
        next_token();
        ExprValue right;
        parse_equality(&right);
        *result = ExprValue{result->bits & right.bits, 1};
    }
}

void parse_exclusive_or(ExprValue *result) {
    parse_and(result);
    while (current_is(TOKEN_UP)) {
        next_token();
        ExprValue right;
        parse_and(&right);
        *result = ExprValue{result->bits ^ right.bits, 1};
    }
}

void parse_inclusive_or(ExprValue *result) {
    parse_exclusive_or(result);
    while (current_is(TOKEN_BAR)) {
        next_token();
        ExprValue right;
        parse_exclusive_or(&right);
        *result = ExprValue{result->bits | right.bits, 1};
    }
}

// True while the current token is the Fortran operator `op`.
bool current_is_fortran(FortranOp op) {
    return current_is(TOKEN_FORTRAN_OP) && ev.fortran_op == op;
}

// The Fortran relations, one level for all six, between `|` and `.not.`. Without Fortran
// operators no token ever reaches them.
void parse_fortran_relation(ExprValue *result) {
    parse_inclusive_or(result);
    while (current_is(TOKEN_FORTRAN_OP) && ev.fortran_op <= FOP_GE) {
        FortranOp op = static_cast<FortranOp>(ev.fortran_op);
        next_token();
        ExprValue right;
        parse_inclusive_or(&right);
        int order = compare(*result, right);
        bool truth = op == FOP_EQ   ? order == 0
                     : op == FOP_NE ? order != 0
                     : op == FOP_LT ? order < 0
                     : op == FOP_LE ? order <= 0
                     : op == FOP_GT ? order > 0
                                    : order >= 0;
        *result = signed_truth(truth);
    }
}

// `.not.` binds looser than the relations and tighter than `.and.`: `.not. a .eq. b` is
// `.not. (a .eq. b)`.
void parse_fortran_not(ExprValue *result) {
    if (!current_is_fortran(FOP_NOT)) {
        parse_fortran_relation(result);
        return;
    }
    if (!enter_level()) {
        *result = SIGNED_ZERO;
        return;
    }
    next_token();
    parse_fortran_not(result);
    leave_level();
    *result = signed_truth(result->bits == 0);
}

// The right operand of && and || is always parsed; where its value cannot matter it is parsed
// quietly, so that 0 && 1/0 says nothing.
void parse_logical_and(ExprValue *result) {
    parse_fortran_not(result);
    while (current_is(TOKEN_AMPAMP)) {
        next_token();
        bool left = result->bits != 0;
        ExprValue right;
        if (!left) ++ev.quiet_depth;
        parse_fortran_not(&right);
        if (!left) --ev.quiet_depth;
        *result = signed_truth(left && right.bits != 0);
    }
}

void parse_logical_or(ExprValue *result) {
    parse_logical_and(result);
    while (current_is(TOKEN_BARBAR)) {
        next_token();
        bool left = result->bits != 0;
        ExprValue right;
        if (left) ++ev.quiet_depth;
        parse_logical_and(&right);
        if (left) --ev.quiet_depth;
        *result = signed_truth(left || right.bits != 0);
    }
}

// `.eqv.` and `.neqv.`, the loosest operators but `?:`: whether the truth values of both
// operands agree (`2 .eqv. 1` is true).
void parse_fortran_equivalence(ExprValue *result) {
    parse_logical_or(result);
    while (current_is_fortran(FOP_EQV) || current_is_fortran(FOP_NEQV)) {
        bool agree = ev.fortran_op == FOP_EQV;
        next_token();
        ExprValue right;
        parse_logical_or(&right);
        *result = signed_truth(((result->bits != 0) == (right.bits != 0)) == agree);
    }
}

void parse_conditional(ExprValue *result) {
    if (!enter_level()) {
        *result = SIGNED_ZERO;
        return;
    }
    parse_fortran_equivalence(result);
    if (current_is(TOKEN_QUESTION)) {
        next_token();
        bool condition = result->bits != 0;
        ExprValue middle;
        if (!condition) ++ev.quiet_depth;
        parse_conditional(&middle);
        if (!condition) --ev.quiet_depth;
        if (ev.kind == TOKEN_COLON) {
            next_token();
            ExprValue last;
            if (condition) ++ev.quiet_depth;
            parse_conditional(&last);
            if (condition) --ev.quiet_depth;
            *result = condition ? middle : last;
        } else {
            report(PP_MSG_MISSING_COLON);
            *result = condition ? middle : SIGNED_ZERO;
        }
    }
    leave_level();
}

} // namespace

int pp_evaluate_condition() {
    ev.error_reported = 0;
    ev.quiet_depth = 0;
    ev.nesting = 0;
    ev.too_deep = false;
    ev.expanding = false;
    ev.double_slash = text_enter("//", 2);
    next_token();
    if (ev.kind == TOKEN_NEWLINE) {
        report(PP_MSG_MISSING_CONDITION);
        si_back_up(1);
        return 0;
    }
    ExprValue value;
    parse_conditional(&value);
    // Whatever follows a complete expression is read over to the line end, running expansions
    // included, with one complaint at most.
    for (;;) {
        if (ev.kind == TOKEN_NEWLINE) {
            si_back_up(1);
            break;
        }
        if (ev.kind == TOKEN_END_OF_FILE) {
            report(PP_MSG_EOF_IN_DIRECTIVE); // the end byte is still unread
            break;
        }
        report(PP_MSG_ILLEGAL_TOKEN);
        next_token();
    }
    // A line abandoned for its depth has no value: it counts false.
    if (ev.too_deep) return 0;
    return value.bits != 0 ? 1 : 0;
}

void pp_expr_reset() { ev = ExprState{}; }

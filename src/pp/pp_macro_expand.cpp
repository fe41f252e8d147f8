// This file implements macro expansion: the predefined macros, the frame walk that delivers an
// expansion one token at a time with arguments expanded before substitution and names painted
// inside their own bodies, argument collection, `#` and `##`, and the scanning loop's drain.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fe/fe.h"
#include "fe/host.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// Argument expansions nest one C++ call per level; beyond this the run ends with a message
// instead of exhausting the stack (measured: about 130 bytes a level; collecting the arguments
// of calls nested 2000 deep (a 6 KB line) takes 0.1 s, since each level reads the inner text
// again, and 3 MB, since it shares those tokens instead of copying them).
constexpr int MAX_NESTING = 2000;

struct ExpandState {
    Position invocation = POSITION_NULL; // the source token that started the outermost expansion
    bool directive_line = false;         // arguments and look-aheads stop at the end of the line
    // An expansion of the scanning loop: the texts it makes (stringized arguments, joined groups,
    // line numbers) only go to the output, so they are passing texts, released when the next
    // expansion starts, instead of filling the text table with one entry per distinct value.
    bool passing = false;
    int nesting = 0;        // argument expansions running inside one another
    char *buffer = nullptr; // text of stringized arguments, joined groups and pastes
    std::uint32_t capacity = 0;
    std::uint32_t length = 0;
};

ExpandState ex;

// ---- Text building ---------------------------------------------------------------------------

void text_reset() { ex.length = 0; }

void text_reserve(std::uint32_t more) {
    if (ex.length + more <= ex.capacity) return;
    std::uint32_t capacity = ex.capacity == 0 ? 1024 : ex.capacity;
    while (capacity < ex.length + more) capacity *= 2;
    auto *grown = static_cast<char *>(mm_get_vblock(mm_general_pool(), capacity));
    if (ex.length > 0) std::memcpy(grown, ex.buffer, ex.length);
    if (ex.buffer != nullptr) mm_free_vblock(mm_general_pool(), ex.buffer);
    ex.buffer = grown;
    ex.capacity = capacity;
}

void text_add(const char *text, std::uint32_t length) {
    text_reserve(length);
    std::memcpy(ex.buffer + ex.length, text, length);
    ex.length += length;
}

void text_add_char(char c) {
    text_reserve(1);
    ex.buffer[ex.length++] = c;
}

// The token's text: its interned spelling, empty for the line ends kept in arguments.
void text_add_token(const Token *token) {
    if (token->value == TEXT_NULL) return;
    auto handle = static_cast<TextHandle>(token->value);
    text_add(text_string(handle), text_length(handle));
}

TextHandle text_intern() { return text_enter(ex.buffer, ex.length); }

// The built text as the value of a token the expansion delivers.
TextHandle text_result() {
    return ex.passing ? text_enter_passing(ex.buffer, ex.length) : text_intern();
}

} // namespace

char *pp_format_number(std::int64_t value, char *end) {
    const bool negative = value < 0;
    std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char *p = end;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--p = '-';
    return p;
}

namespace {

void text_add_number(std::int64_t value) {
    char digits[24];
    const char *start = pp_format_number(value, digits + sizeof digits);
    text_add(start, static_cast<std::uint32_t>(digits + sizeof digits - start));
}

// ---- Frames ----------------------------------------------------------------------------------

Token *finished() { return pp_finished_token(); }

bool names_macro(const Token *t) {
    return t->kind == TOKEN_IDENTIFIER && t->no_expand == 0 &&
           pp_lookup_macro(static_cast<TextHandle>(t->value)) != nullptr;
}

// Frees a frame and, for an argument or a pushed-back token, its nameless macro record.
void free_frame(PpFrame *frame) {
    if (frame->macro->name == TEXT_NULL) mm_free_fblock(pp_pool(PP_POOL_MACROS), frame->macro);
    mm_free_fblock(pp_pool(PP_POOL_EXPANSIONS), frame);
}

// The frames below each level are inside a body; a level whose argument is being read is not;
// the innermost frame is.
void remark_chain(PpFrame *level) {
    for (;;) {
        for (PpFrame *below = level->previous; below != nullptr; below = below->previous)
            below->macro->state = PROCESSING_BODY;
        if (level->top_of_stack == nullptr) {
            level->macro->state = PROCESSING_BODY;
            return;
        }
        level->macro->state = NOT_PROCESSING_BODY;
        level = level->top_of_stack;
    }
}

void pop_frame(PpFrame **context) {
    PpFrame *frame = *context;
    frame->macro->state = NOT_PROCESSING_BODY;
    *context = frame->previous;
    free_frame(frame);
    PpFrame *below = *context;
    if (below == nullptr) return;
    if (below->top_of_stack == nullptr)
        below->macro->state = PROCESSING_BODY;
    else
        remark_chain(below);
}

void push_frame(PpFrame **context, PpFrame *frame) {
    frame->previous = *context;
    *context = frame;
}

// The number of the formal that body token `b` names in the frame's macro, 0 for none.
int formal_number(const PpFrame *frame, Token *b) { return pp_formal_number(frame->macro, b); }

// The k-th argument's first token (the null token when there is none); `end` is set to the
// token its list ends before.
Token *argument(const PpFrame *frame, int k, Token **end) {
    const PpActual *actual = pp_nth_actual_record(frame->actuals, k);
    *end = actual != nullptr ? actual->end : nullptr;
    return actual != nullptr && actual->tokens != nullptr ? actual->tokens : pp_null_token();
}

bool is_main_context(PpFrame **context) { return context == pp_expansion_context(); }

// After a function-like name at the source: true when `(` follows (consumed). In a directive
// the line end is a stop: the next line is never taken into the directive.
bool source_lparen() {
    if (!ex.directive_line) return pp_lookahead_lparen();
    Position start = si_current_position();
    TokenKind kind;
    Position position;
    for (;;) {
        switch (lex_token(&kind, &position)) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_OTHER_WHITESPACE:
        case TOKEN_BSLASH_NL: break;
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) return false;
            break;
        case TOKEN_LPAREN: return true;
        default: si_seek(start); return false;
        }
    }
}

Token *next_token(PpFrame **context, bool raw);
void collect_actuals(PpFrame *frame, PpFrame **context);

// `##` pastes while the body continues with TOKEN_PASTE; `left` is the left operand.
Token *paste_chain(PpFrame *frame, Token *left, bool pending);

Token *stringize_argument(PpFrame *frame) {
    Token *b = frame->body_cursor;
    Token *result = pp_new_aux_string_token();
    result->spaced = b->spaced;
    text_reset();
    text_add_char('"');
    bool first = true;
    bool blank = false;
    Token *end;
    for (Token *t = argument(frame, b->value & 0xFFFF, &end); t != end && t != nullptr;
         t = t->next) {
        if (t->kind == TOKEN_NULL) break;
        if (t->kind == TOKEN_NEWLINE) {
            blank = !first;
            continue;
        }
        if ((t->spaced == 1 || blank) && !first) text_add_char(' ');
        blank = false;
        first = false;
        if (t->kind == TOKEN_STRINGCONST || t->kind == TOKEN_CHARCONST) {
            const char *text = text_string(static_cast<TextHandle>(t->value));
            std::uint32_t length = text_length(static_cast<TextHandle>(t->value));
            text_reserve(2 * length);
            for (std::uint32_t i = 0; i < length; ++i) {
                if (text[i] == '"' || text[i] == '\\') ex.buffer[ex.length++] = '\\';
                ex.buffer[ex.length++] = text[i];
            }
        } else {
            text_add_token(t);
        }
    }
    text_add_char('"');
    result->value = static_cast<std::int32_t>(text_result());
    frame->body_cursor = b->next;
    return result;
}

// A constant split under string_parms, joined again with its arguments spelled in.
Token *join_group(PpFrame *frame, bool *paste) {
    Token *open = frame->body_cursor;
    bool is_char = open->kind == TOKEN_LCHR;
    TokenKind close = is_char ? TOKEN_RCHR : TOKEN_RSTR;
    const char quote = is_char ? '\'' : '"';
    text_reset();
    Token *b = open->next;
    if (b != nullptr && b->kind == TOKEN_ELL) {
        text_add_char('L');
        b = b->next;
    }
    text_add_char(quote);
    for (; b != nullptr && b->kind != close; b = b->next) {
        if (b->kind == TOKEN_STRINGCONST || b->kind == TOKEN_CHARCONST) {
            auto handle = static_cast<TextHandle>(b->value);
            std::uint32_t length = text_length(handle);
            if (length >= 2) text_add(text_string(handle) + 1, length - 2);
        } else if (b->kind == TOKEN_STRINGIZE || b->kind == TOKEN_CHARIZE) {
            bool first = true;
            Token *end;
            for (Token *t = argument(frame, b->value & 0xFFFF, &end); t != end && t != nullptr;
                 t = t->next) {
                if (t->kind == TOKEN_NULL || t->kind == TOKEN_NEWLINE) continue;
                if (t->spaced == 1 && !first) text_add_char(' ');
                first = false;
                text_add_token(t);
            }
        } else if (b->kind == TOKEN_LOOKAHEAD) {
            *paste = true;
        }
    }
    text_add_char(quote);
    Token *result = pp_copy_token(open);
    result->kind = is_char ? TOKEN_CHARCONST : TOKEN_STRINGCONST;
    result->value = static_cast<std::int32_t>(text_result());
    result->next = nullptr;
    frame->body_cursor = b != nullptr ? b->next : nullptr;
    return result;
}

Token *produce_other(PpFrame *frame, Token *b, bool calc, bool *pending);

// The body kinds produce_other makes a new token for (with `calc`); any other is delivered as
// it stands.
inline bool builds_operand(TokenKind kind) {
    return kind == TOKEN_CALC_FILE || kind == TOKEN_CALC_LINE || kind == TOKEN_LSTR ||
           kind == TOKEN_LCHR || kind == TOKEN_STRINGIZE;
}

// One operand from the body token `b` at the cursor; moves the cursor past it.
Token *produce(PpFrame *frame, Token *b, bool calc, bool *pending) {
    int k = formal_number(frame, b);
    if (k <= 0) return produce_other(frame, b, calc, pending);
    Token *end;
    Token *a = argument(frame, k, &end);
    frame->body_cursor = b->next;
    if (a->next != end) {
        // The argument's last token is pasted when the actuals cursor reaches it.
        frame->actuals_cursor = a->next;
        frame->actuals_end = end;
        *pending = false;
    }
    // The operand stands where the formal stood: it takes the formal's blank (the list's
    // own first token may carry the blank of an earlier substitution). An empty argument
    // takes it too, for the token it is pasted to.
    if (a->spaced != b->spaced) {
        a = pp_copy_token(a);
        a->spaced = b->spaced;
    }
    return a;
}

// produce for a body token that names no formal.
Token *produce_other(PpFrame *frame, Token *b, bool calc, bool *pending) {
    switch (b->kind) {
    case TOKEN_CALC_FILE:
    case TOKEN_CALC_LINE:
        if (!calc) break;
        {
            Token *t = pp_new_aux_blank_token();
            t->spaced = b->spaced;
            const PpFileRecord *file = pp_file_top();
            if (b->kind == TOKEN_CALC_FILE) {
                t->kind = TOKEN_STRINGCONST;
                t->value = static_cast<std::int32_t>(file != nullptr ? file->filename : TEXT_NULL);
            } else {
                // Formatted in place and entered in one piece: no pass through the text buffer.
                t->kind = TOKEN_DECCONST;
                char digits[24];
                char *end = digits + sizeof digits;
                const char *start = pp_format_number(static_cast<std::int64_t>(ex.invocation.line) +
                                                         (file != nullptr ? file->line_offset : 0),
                                                     end);
                const auto length = static_cast<std::uint32_t>(end - start);
                t->value = static_cast<std::int32_t>(ex.passing ? text_enter_passing(start, length)
                                                                : text_enter(start, length));
            }
            frame->body_cursor = b->next;
            return t;
        }
    case TOKEN_LSTR:
    case TOKEN_LCHR: {
        bool paste = false;
        Token *t = join_group(frame, &paste);
        if (paste) *pending = true;
        return t;
    }
    case TOKEN_STRINGIZE: return stringize_argument(frame);
    default: break;
    }
    frame->body_cursor = b->next;
    return b;
}

Token *paste_chain(PpFrame *frame, Token *left, bool pending) {
    while (pending) {
        Token *marker = frame->body_cursor;
        if (marker == nullptr || marker->kind != TOKEN_PASTE) break;
        pending = false;
        Token *b = marker->next;
        if (b != nullptr && b->kind == TOKEN_LOOKAHEAD) {
            pending = true; // a chained `##`
            b = b->next;
        }
        Token *right = pp_null_token();
        frame->body_cursor = b;
        if (b != nullptr) right = produce(frame, b, false, &pending);
        left = pp_paste_tokens(left, right);
    }
    return left;
}

// The function-like branch for name `t`: its invocation when `(` follows. True when a frame
// was pushed (the walk goes on in it); otherwise `t` is the token to deliver.
bool invoke_function_like(PpFrame **context, Token *t) {
    bool from_argument = *context != nullptr && (*context)->top_of_stack != nullptr;
    Token *p = pp_find_lparen(context);
    if (p == nullptr) return false;
    if (p->kind != TOKEN_LPAREN) {
        if (p->kind == TOKEN_IDENTIFIER && *context != nullptr &&
            p->value == static_cast<std::int32_t>((*context)->macro->name))
            p = pp_no_expand_token(p);
        pp_push_back_token(context, p);
        if (from_argument) pp_mark_spaced(&(*context)->body_cursor, t->spaced);
        return false;
    }
    PpMacro *macro = pp_lookup_macro(static_cast<TextHandle>(t->value));
    PpFrame *frame = pp_new_frame(macro);
    collect_actuals(frame, context);
    push_frame(context, frame);
    frame->body_cursor = macro->body;
    pp_mark_spaced(&frame->body_cursor, t->spaced);
    macro->state = PROCESSING_BODY;
    if (frame->previous != nullptr) frame->previous->macro->state = PROCESSING_BODY;
    return true;
}

// The macro-name check: true when a frame was pushed, else `*t` is the token to deliver.
bool macro_name_check(PpFrame **context, Token **t) {
    Token *token = *t;
    if (token->kind != TOKEN_IDENTIFIER || token->no_expand == 1) return false;
    PpMacro *macro = pp_lookup_macro(static_cast<TextHandle>(token->value));
    if (macro == nullptr) return false;
    if (macro->state == PROCESSING_BODY) {
        *t = pp_no_expand_token(token);
        return false;
    }
    if (macro->n_formals >= 0) return invoke_function_like(context, token);
    PpFrame *frame = pp_new_frame(macro);
    frame->body_cursor = macro->body;
    pp_mark_spaced(&frame->body_cursor, token->spaced);
    macro->state = PROCESSING_BODY;
    push_frame(context, frame);
    return true;
}

Token *expand_nested(PpFrame **nested) {
    if (++ex.nesting > MAX_NESTING) {
        pp_report(PP_MSG_NESTED_TOO_DEEPLY, ex.invocation);
        fe_fatal_exit();
    }
    Token *t = next_token(nested, false);
    --ex.nesting;
    return t;
}

// The walk. With `raw`, tokens come back without the macro-name check (argument collection
// and the parenthesis look-ahead); formals are still replaced by their expanded arguments.
Token *next_token(PpFrame **context, bool raw) {
    for (;;) {
        PpFrame *frame = *context;
        if (frame == nullptr) return finished();
        if (frame->top_of_stack != nullptr) {
            Token *r = expand_nested(&frame->top_of_stack);
            if (r != finished()) {
                if (raw || !names_macro(r)) return r;
                if (r->value == static_cast<std::int32_t>(frame->macro->name))
                    return pp_no_expand_token(r);
                // A function-like name whose argument list did not follow inside the
                // argument: a parenthesis later in the body still starts its invocation.
                const PpMacro *macro = pp_lookup_macro(static_cast<TextHandle>(r->value));
                bool pushed = macro->n_formals >= 0 ? invoke_function_like(context, r)
                                                    : macro_name_check(context, &r);
                if (pushed) continue;
                return r;
            }
            frame->macro->state = PROCESSING_BODY;
        }
        Token *t;
        if (frame->actuals_cursor != nullptr) {
            Token *a = frame->actuals_cursor;
            Token *after = a->next != frame->actuals_end ? a->next : nullptr;
            frame->actuals_cursor = after;
            bool pending = after == nullptr && frame->body_cursor != nullptr &&
                           frame->body_cursor->kind == TOKEN_PASTE;
            t = pending ? paste_chain(frame, a, pending) : a;
        } else {
            Token *b = frame->body_cursor;
            if (b == nullptr || b == frame->body_end || b->kind == TOKEN_NULL) {
                if (b != nullptr) frame->body_cursor = b->next;
                pop_frame(context);
                continue;
            }
            int k = formal_number(frame, b);
            PpActual *actual = k > 0 ? pp_nth_actual_record(frame->actuals, k) : nullptr;
            if (actual != nullptr && actual->plain != 0 &&
                (b->next == nullptr || b->next->kind != TOKEN_PASTE)) {
                // An argument naming no macro would come out of its expansion unchanged: its
                // tokens are delivered from the list, the first one marked as an argument's
                // frame marks it.
                frame->body_cursor = b->next;
                Token *a = actual->tokens;
                if (a->kind == TOKEN_NULL) continue; // the shared null token: never changed
                a->spaced = b->spaced;
                frame->actuals_cursor = a->next != actual->end ? a->next : nullptr;
                frame->actuals_end = actual->end;
                t = a;
            } else if (k > 0) {
                frame->body_cursor = b->next;
                frame->top_of_stack = pp_new_argument_frame(frame->actuals, k, b->spaced);
                frame->macro->state = NOT_PROCESSING_BODY;
                continue;
            } else {
                bool pending = false;
                Token *operand = b;
                if (b->kind == TOKEN_LOOKAHEAD) {
                    // The token after the look-ahead mark may name a formal.
                    pending = true;
                    b = b->next;
                    frame->body_cursor = b;
                    if (b == nullptr) continue;
                    operand = produce(frame, b, true, &pending); // may cancel the paste
                } else if (builds_operand(b->kind)) {
                    // k is 0 here: the formals were taken above. Most body tokens are
                    // delivered as they stand; produce_other builds a token for the others.
                    operand = produce_other(frame, b, true, &pending);
                } else {
                    frame->body_cursor = b->next;
                }
                t = pending ? paste_chain(frame, operand, pending) : operand;
            }
        }
        if (t->kind == TOKEN_NULL) continue;
        if (raw || t->kind != TOKEN_IDENTIFIER) return t;
        if (macro_name_check(context, &t)) continue;
        return t;
    }
}

// Appends a copy of `token` to the argument being collected.
void append_argument(Token **head, Token **tail, Token *token) {
    if (*head == nullptr)
        *head = token;
    else
        (*tail)->next = token;
    *tail = token;
}

// True when no token of the list names a macro.
bool names_no_macro(const Token *list) {
    for (const Token *t = list; t != nullptr; t = t->next)
        if (t->kind == TOKEN_IDENTIFIER &&
            pp_lookup_macro(static_cast<TextHandle>(t->value)) != nullptr)
            return false;
    return true;
}

struct Collector {
    PpActual *first = nullptr;
    PpActual *last = nullptr;
    Token *head = nullptr; // the argument being collected; its first token is always its own
    Token *tail = nullptr; // its last token; while shared, the last one read from that list
    bool shared = false;   // the tokens after head are those of the list read from, to tail
    int count = 0;
    bool mark_plain = false; // arguments from the source: say which name no macro

    // Takes token `t` read from an expansion into the argument. Tokens read in a row from one
    // list are shared with it (only the first is copied, for its blank): calls nested in
    // arguments then take memory in proportion to their text, not to its square.
    void take(Token *t, bool paint) {
        if (head == nullptr) {
            head = pp_copy_token_fresh(t);
            if (paint) head->no_expand = 1;
            head->next = t->next;
            tail = t;
            shared = true;
            return;
        }
        if (shared && t == tail->next && !paint) {
            pp_count_shared_token();
            tail = t;
            return;
        }
        unshare();
        Token *copy = pp_copy_token_fresh(t);
        if (paint) copy->no_expand = 1;
        append_argument(&head, &tail, copy);
    }

    // Makes the shared tokens copies of the argument's own, so that it can be extended.
    void unshare() {
        if (!shared) return;
        shared = false;
        Token *end = tail->next;
        Token *own = head;
        for (Token *t = head->next; t != end; t = t->next) {
            Token *copy = pp_copy_token_fresh(t);
            own->next = copy;
            own = copy;
        }
        own->next = nullptr;
        tail = own;
    }

    void close() {
        PpActual *node = pp_new_actual();
        if (head == nullptr) {
            node->tokens = pp_null_token();
        } else {
            head->spaced = 0;
            node->tokens = head;
            if (shared) node->end = tail->next;
        }
        // Source arguments are never shared: their list ends at a null next.
        if (mark_plain) node->plain = names_no_macro(head) ? 1 : 0;
        if (first == nullptr)
            first = node;
        else
            last->next = node;
        last = node;
        head = tail = nullptr;
        shared = false;
        ++count;
    }
};

// The number of arguments before a variadic macro's variable part, whose commas are argument
// text (the part may also be left out); -1, which no count reaches, for other macros.
int variable_part_index(const PpMacro *macro) {
    return macro->variadic != 0 ? macro->n_formals - 1 : -1;
}

Token *aux_token(TokenKind kind, TextHandle value, std::uint8_t spaced) {
    Token *t = pp_new_aux_blank_token();
    t->kind = kind;
    t->value = static_cast<std::int32_t>(value);
    t->spaced = spaced;
    return t;
}

void collect_actuals(PpFrame *frame, PpFrame **context) {
    const int n_formals = frame->macro->n_formals;
    const int variable_part = variable_part_index(frame->macro);
    Collector c;
    int depth = 1;
    enum { CLOSED, TOO_MANY, RAN_EMPTY } stop = RAN_EMPTY;
    for (;;) {
        Token *t = next_token(context, true);
        if (t == finished()) break;
        if (t->kind == TOKEN_COMMA && depth == 1 && c.count != variable_part) {
            c.close();
            if (c.count == n_formals) {
                stop = TOO_MANY;
                break;
            }
            continue;
        }
        if (t->kind == TOKEN_RPAREN && depth == 1) {
            c.close();
            stop = CLOSED;
            break;
        }
        if (t->kind == TOKEN_LPAREN) ++depth;
        if (t->kind == TOKEN_RPAREN) --depth;
        c.take(t, t->kind == TOKEN_IDENTIFIER && *context != nullptr &&
                      t->value == static_cast<std::int32_t>((*context)->macro->name));
    }
    if (stop == RAN_EMPTY && is_main_context(context)) {
        // The rest of the argument list is in the source.
        c.unshare();
        Collector saved = c;
        Token *saved_tail_next = c.tail != nullptr ? c.tail->next : nullptr;
        bool have_first = false;
        Position first_read{};
        std::uint8_t error = 0;
        for (;;) {
            Position position;
            TextHandle value;
            std::uint8_t spaced;
            TokenKind kind = pp_next_directive_token(&position, &value, &spaced, &error);
            if (!have_first) {
                first_read = position;
                have_first = true;
            }
            bool line_stop = kind == TOKEN_NEWLINE && ex.directive_line;
            if (kind == TOKEN_END_OF_FILE || line_stop) {
                pp_report(PP_MSG_NO_ARGUMENT_RPAREN, ex.invocation);
                // What was read from the source is read again as ordinary text.
                si_seek(first_read);
                c = saved;
                if (c.tail != nullptr) c.tail->next = saved_tail_next;
                if (c.last != nullptr) c.last->next = nullptr;
                c.close();
                stop = CLOSED;
                break;
            }
            if (kind == TOKEN_COMMA && depth == 1 && c.count != variable_part) {
                c.close();
                if (c.count == n_formals) {
                    pp_report(PP_MSG_TOO_MANY_PARAMETERS, ex.invocation);
                    stop = CLOSED;
                    break;
                }
                continue;
            }
            if (kind == TOKEN_RPAREN && depth == 1) {
                c.close();
                if (c.count < n_formals - frame->macro->variadic)
                    pp_report(PP_MSG_TOO_FEW_ACTUALS, ex.invocation);
                stop = CLOSED;
                break;
            }
            if (kind == TOKEN_LPAREN) ++depth;
            if (kind == TOKEN_RPAREN) --depth;
            append_argument(&c.head, &c.tail, aux_token(kind, value, spaced));
        }
    } else if (stop == RAN_EMPTY) {
        pp_report(PP_MSG_NO_ARGUMENT_RPAREN, ex.invocation);
        c.close();
    } else if (stop == TOO_MANY) {
        int skip_depth = 1;
        for (;;) {
            Token *t = next_token(context, true);
            if (t == finished()) {
                pp_report(PP_MSG_NO_ARGUMENT_RPAREN, ex.invocation);
                break;
            }
            if (t->kind == TOKEN_LPAREN) ++skip_depth;
            if (t->kind == TOKEN_RPAREN && --skip_depth == 0) {
                pp_report(PP_MSG_TOO_MANY_ACTUALS, ex.invocation);
                break;
            }
        }
    } else if (c.count < n_formals - frame->macro->variadic) {
        pp_report(PP_MSG_TOO_FEW_ACTUALS, ex.invocation);
    }
    frame->actuals = c.first;
}

// Pops every frame of the context and of the contexts nested in it.
void abandon(PpFrame **context) {
    while (*context != nullptr) {
        PpFrame *frame = *context;
        if (frame->top_of_stack != nullptr) abandon(&frame->top_of_stack);
        frame->macro->state = NOT_PROCESSING_BODY;
        *context = frame->previous;
        free_frame(frame);
    }
}

TokenKind punctuator_paste(TokenKind a, TokenKind b) {
    switch (a) {
    case TOKEN_AMP:
        return b == TOKEN_AMP ? TOKEN_AMPAMP : b == TOKEN_EQ ? TOKEN_AMPEQ : ERROR_TOKEN;
    case TOKEN_BAR:
        return b == TOKEN_BAR ? TOKEN_BARBAR : b == TOKEN_EQ ? TOKEN_BAREQ : ERROR_TOKEN;
    case TOKEN_DASH:
        return b == TOKEN_DASH ? TOKEN_DASHDASH
               : b == TOKEN_EQ ? TOKEN_DASHEQ
               : b == TOKEN_GT ? TOKEN_DASHGT
                               : ERROR_TOKEN;
    case TOKEN_EQ: return b == TOKEN_EQ ? TOKEN_EQEQ : ERROR_TOKEN;
    case TOKEN_EXCL: return b == TOKEN_EQ ? TOKEN_EXCLEQ : ERROR_TOKEN;
    case TOKEN_GT:
        return b == TOKEN_EQ     ? TOKEN_GTEQ
               : b == TOKEN_GT   ? TOKEN_GTGT
               : b == TOKEN_GTEQ ? TOKEN_GTGTEQ
                                 : ERROR_TOKEN;
    case TOKEN_GTGT: return b == TOKEN_EQ ? TOKEN_GTGTEQ : ERROR_TOKEN;
    case TOKEN_LT:
        return b == TOKEN_EQ     ? TOKEN_LTEQ
               : b == TOKEN_LT   ? TOKEN_LTLT
               : b == TOKEN_LTEQ ? TOKEN_LTLTEQ
                                 : ERROR_TOKEN;
    case TOKEN_LTLT: return b == TOKEN_EQ ? TOKEN_LTLTEQ : ERROR_TOKEN;
    case TOKEN_PCT: return b == TOKEN_EQ ? TOKEN_PCTEQ : ERROR_TOKEN;
    case TOKEN_PLUS:
        return b == TOKEN_EQ ? TOKEN_PLUSEQ : b == TOKEN_PLUS ? TOKEN_PLUSPLUS : ERROR_TOKEN;
    case TOKEN_SLASH: return b == TOKEN_EQ ? TOKEN_SLASHEQ : ERROR_TOKEN;
    case TOKEN_STAR: return b == TOKEN_EQ ? TOKEN_STAREQ : ERROR_TOKEN;
    case TOKEN_UP: return b == TOKEN_EQ ? TOKEN_UPEQ : ERROR_TOKEN;
    default: return ERROR_TOKEN;
    }
}

bool text_is(const Token *t, const char *text) {
    if (t->value == TEXT_NULL) return false;
    return std::strcmp(text_string(static_cast<TextHandle>(t->value)), text) == 0;
}

bool starts_with_l(const Token *t) {
    return t->value != TEXT_NULL && text_string(static_cast<TextHandle>(t->value))[0] == 'L';
}

} // namespace

// ---- Interface -------------------------------------------------------------------------------

Token *pp_paste_tokens(const Token *a, const Token *b) {
    Token *r = pp_new_aux_blank_token();
    r->spaced = a->spaced;
    if (b->kind == TOKEN_NULL || a->kind == TOKEN_NULL) {
        const Token *kept = b->kind == TOKEN_NULL ? a : b;
        r->kind = kept->kind;
        r->value = kept->value;
        return r;
    }
    TokenKind kind = ERROR_TOKEN;
    switch (a->kind) {
    case TOKEN_DOT:
        if (b->kind == ERROR_TOKEN && text_is(b, "..")) kind = TOKEN_ELLIPSIS;
        break;
    case ERROR_TOKEN:
        if (b->kind == TOKEN_DOT && text_is(a, "..")) kind = TOKEN_ELLIPSIS;
        break;
    case TOKEN_IDENTIFIER:
        switch (b->kind) {
        case TOKEN_IDENTIFIER:
        case TOKEN_DECCONST:
        case TOKEN_OCTCONST:
        case TOKEN_HEXCONST: kind = TOKEN_IDENTIFIER; break;
        case TOKEN_CHARCONST:
        case TOKEN_STRINGCONST:
            if (text_is(a, "L") && !starts_with_l(b)) kind = b->kind;
            break;
        case TOKEN_PPNUM:
        case TOKEN_FLOATCONST:
            kind = pp_is_identifier_text(text_string(static_cast<TextHandle>(b->value)))
                       ? TOKEN_IDENTIFIER
                       : TOKEN_PPNUM;
            break;
        default: break;
        }
        break;
    default: kind = punctuator_paste(a->kind, b->kind); break;
    }
    r->kind = kind;
    if (kind != ERROR_TOKEN && kind < TOKEN_IDENTIFIER) {
        r->value = static_cast<std::int32_t>(token_spelling(kind));
        return r;
    }
    text_reset();
    text_add_token(a);
    text_add_token(b);
    r->value = static_cast<std::int32_t>(text_intern());
    return r;
}

Token *pp_expand_next(PpFrame **context) { return next_token(context, false); }

Token *pp_expand_directive_next() {
    pp_count_expansion_token();
    return next_token(pp_expansion_context(), false);
}

Token *pp_find_lparen(PpFrame **context) {
    Token *t = next_token(context, true);
    if (t != finished()) return t;
    if (!is_main_context(context) || !source_lparen()) return nullptr;
    return aux_token(TOKEN_LPAREN, token_spelling(TOKEN_LPAREN), 0);
}

void pp_push_back_token(PpFrame **context, Token *token) {
    PpMacro *pseudo = pp_new_pseudo_macro();
    pseudo->body = token;
    PpFrame *frame = pp_new_frame(pseudo);
    frame->body_cursor = pp_copy_token(token);
    frame->body_cursor->next = nullptr;
    PpFrame *top = *context;
    if (top != nullptr) {
        for (PpFrame *f = top->top_of_stack; f != nullptr; f = f->previous)
            f->macro->state = NOT_PROCESSING_BODY;
        top->macro->state = PROCESSING_BODY;
    }
    push_frame(context, frame);
}

void pp_collect_actuals(PpFrame *frame, PpFrame **context) { collect_actuals(frame, context); }

void pp_collect_source_actuals(PpFrame *frame) {
    const int n_formals = frame->macro->n_formals;
    const int variable_part = variable_part_index(frame->macro);
    Collector c;
    c.mark_plain = true;
    int depth = 1;
    Position noted = si_current_position();
    bool started = false;
    CurrentToken token{};
    TextHandle value;
    std::uint8_t spaced;
    for (;;) {
        TokenKind kind = pp_next_arg_token(&token, &value, &spaced);
        if (kind == TOKEN_END_OF_FILE) {
            pp_report(PP_MSG_MISSING_ACTUALS_RPAREN, noted);
            si_seek(noted);
            for (Token *t = c.head; t != nullptr;) t = pp_free_aux_token(t);
            c.head = c.tail = nullptr;
            c.close();
            break;
        }
        if (!started) {
            noted = token.position;
            started = true;
        }
        if (kind == TOKEN_COMMA && depth == 1 && c.count != variable_part) {
            c.close();
            started = false;
            if (c.count != n_formals) continue;
            // Too many: the rest of the list is read over.
            int skip_depth = 1;
            for (;;) {
                kind = pp_next_arg_token(&token, &value, &spaced);
                if (kind == TOKEN_END_OF_FILE) {
                    pp_report(PP_MSG_MISSING_ACTUALS_RPAREN, noted);
                    si_seek(noted);
                    break;
                }
                if (kind == TOKEN_LPAREN) ++skip_depth;
                if (kind == TOKEN_RPAREN && --skip_depth == 0) {
                    pp_report(PP_MSG_TOO_MANY_ACTUALS, noted);
                    break;
                }
            }
            break;
        }
        if (kind == TOKEN_RPAREN && depth == 1) {
            c.close();
            if (c.count < n_formals - frame->macro->variadic)
                pp_report(PP_MSG_TOO_FEW_ACTUALS, token.position);
            break;
        }
        if (kind == TOKEN_LPAREN) ++depth;
        if (kind == TOKEN_RPAREN) --depth;
        append_argument(&c.head, &c.tail, aux_token(kind, value, spaced));
    }
    frame->actuals = c.first;
}

void pp_define_predefined_macros() {
    std::time_t now{};
    std::tm parts{};
    if (host_source_date_epoch(&now)) {
        gmtime_r(&now, &parts);
    } else {
        now = std::time(nullptr);
        localtime_r(&now, &parts);
    }
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char date[32];
    char time[32];
    std::snprintf(date, sizeof date, "\"%s %2d %04d\"", months[parts.tm_mon % 12], parts.tm_mday,
                  parts.tm_year + 1900);
    std::snprintf(time, sizeof time, "\"%02d:%02d:%02d\"", parts.tm_hour, parts.tm_min,
                  parts.tm_sec);
    auto predefined = [](const char *name, TokenKind kind, TextHandle value) {
        PpMacro *macro = pp_new_predefined_macro(text_enter_string(name));
        Token *body = pp_new_token(kind, static_cast<std::int32_t>(value));
        body->spaced = 0;
        body->formal_index = 0;
        macro->body = body;
    };
    predefined("__DATE__", TOKEN_STRINGCONST, text_enter_string(date));
    predefined("__TIME__", TOKEN_STRINGCONST, text_enter_string(time));
    predefined("__FILE__", TOKEN_CALC_FILE, TEXT_NULL);
    predefined("__LINE__", TOKEN_CALC_LINE, TEXT_NULL);
    PpMacro *stdc = pp_new_macro(text_enter_string("__STDC__"), Position{0, 0, 0});
    stdc->n_formals = -1;
    stdc->error_in_defn = 0;
    Token *body = pp_new_token(TOKEN_DECCONST, 0);
    body->spaced = 0;
    body->formal_index = 0;
    stdc->body = body;
    pp_set_stdc_value(stdc_value);
}

void pp_set_stdc_value(std::int32_t value) {
    // Looked up by its text: the command line may run without the preprocessor's tables.
    if (!pp_tables_are_open()) return;
    PpMacro *stdc = pp_lookup_macro(text_find_string("__STDC__"));
    // A definition from -D (or -U) stands: only the program's own one takes the setting.
    if (stdc == nullptr || stdc->position.line != 0 || stdc->body == nullptr ||
        stdc->body->kind != TOKEN_DECCONST)
        return;
    text_reset();
    text_add_number(value);
    stdc->body->value = static_cast<std::int32_t>(text_intern());
}

void pp_start_expansion(PpMacro *macro, Position invocation) {
    PpFrame **context = pp_expansion_context();
    pp_reset_expansion_pools();
    // The tokens of the last expansion are written out: its passing texts are done with.
    text_release_passing();
    ex.passing = true;
    ex.invocation = invocation;
    ex.nesting = 0;
    PpFrame *frame = pp_new_frame(macro);
    push_frame(context, frame);
    if (macro->n_formals >= 0) pp_collect_source_actuals(frame);
    frame->body_cursor = macro->body;
    macro->state = PROCESSING_BODY;
}

bool pp_drain_expansion(CurrentToken *token) {
    PpFrame **context = pp_expansion_context();
    while (*context != nullptr) {
        Token *t = pp_expand_next(context);
        if (t == finished()) {
            pp_write_expansion_end();
            return false;
        }
        if (t->kind == TOKEN_NEWLINE) {
            // A line end inside arguments that spanned lines separates tokens; the marker
            // before the next source line keeps the numbering.
            pp_write_separator();
            continue;
        }
        token->kind = t->kind;
        token->value = static_cast<TextHandle>(t->value);
        token->position = ex.invocation;
        pp_write_expanded_token(token, t->spaced);
        if (t->kind != TOKEN_PPNUM && t->kind != ERROR_TOKEN) return true;
    }
    return false;
}

bool pp_start_directive_expansion(PpMacro *macro, Position invocation) {
    PpFrame **context = pp_expansion_context();
    pp_reset_expansion_pools();
    ex.invocation = invocation;
    ex.nesting = 0;
    ex.directive_line = true;
    ex.passing = false;
    if (macro->n_formals >= 0 && !source_lparen()) {
        ex.directive_line = false;
        return false; // the name itself stays
    }
    PpFrame *frame = pp_new_frame(macro);
    if (macro->n_formals >= 0) collect_actuals(frame, context);
    push_frame(context, frame);
    frame->body_cursor = macro->body;
    macro->state = PROCESSING_BODY;
    return true;
}

void pp_start_directive_call(PpMacro *macro, PpActual *actuals, Position invocation) {
    ex.invocation = invocation;
    ex.nesting = 0;
    ex.directive_line = true;
    ex.passing = false;
    PpFrame *frame = pp_new_frame(macro);
    frame->actuals = actuals;
    push_frame(pp_expansion_context(), frame);
    frame->body_cursor = macro->body;
    macro->state = PROCESSING_BODY;
}

void pp_end_directive_expansion() {
    abandon(pp_expansion_context());
    ex.directive_line = false;
}

bool pp_expands_to_nothing(PpMacro *macro, Position invocation) {
    if (macro->n_formals < 0 && (macro->body == nullptr || macro->body->kind == TOKEN_NULL))
        return true;
    if (!pp_start_directive_expansion(macro, invocation)) return false;
    bool nothing = pp_expand_directive_next() == finished();
    pp_end_directive_expansion();
    return nothing;
}

void pp_macro_expand_reset() { ex = ExpandState{}; }

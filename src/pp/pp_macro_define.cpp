// This file implements #define and #undef: the directive token reader, the formal parameter
// list, the replacement list turned into the body token list that expansion walks (with the
// `#` and `##` encodings and the split of constants under string_parms), and redefinitions.
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fe/fe.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

constexpr int FORMAL_SCAN_LIMIT = 32; // formal lists up to this length are scanned for repeats

struct DefineState {
    TextHandle double_slash = TEXT_NULL; // "//", the value of a `//` that is no comment
    TextHandle defined = TEXT_NULL;      // "defined", never a macro name
    char *split_buffer = nullptr;        // scratch copy of a constant being split
    std::uint32_t split_capacity = 0;
    // Under strip_c_comments: the token just read followed the one before with nothing but a
    // comment between them (`wrap_/**/name`), which joins the two.
    bool joined = false;
};

DefineState def;

// The definitions saved by #pragma push_macro, a stack per name, newest last; a null entry
// stands for "not defined". The records and their tokens are copies nobody else points to.
std::unordered_map<TextHandle, std::vector<PpMacro *>> pushed_macros;

// One token read by the directive token reader.
struct DirToken {
    TokenKind kind;
    Position position;
    TextHandle value;
    std::uint8_t spaced;
    bool joined; // see DefineState::joined
};

DirToken read_token(std::uint8_t *error) {
    DirToken t{};
    t.kind = pp_next_directive_token(&t.position, &t.value, &t.spaced, error);
    t.joined = def.joined;
    return t;
}

bool is_line_end(TokenKind kind) { return kind == TOKEN_NEWLINE || kind == TOKEN_END_OF_FILE; }

TextHandle double_slash_text() {
    if (def.double_slash == TEXT_NULL) def.double_slash = text_enter("//", 2);
    return def.double_slash;
}

bool is_reserved_name(TextHandle name) {
    if (def.defined == TEXT_NULL) def.defined = text_enter("defined", 7);
    if (name == def.defined) return true;
    const PpMacro *macro = pp_lookup_macro(name);
    return macro != nullptr && macro->predefined == 1;
}

// Frees a definition's formals and body; the shared null token stays.
void free_definition(PpMacro *macro) {
    for (Token *t = macro->formals; t != nullptr;) t = pp_free_token(t);
    for (Token *t = macro->body; t != nullptr && t->kind != TOKEN_NULL;) t = pp_free_token(t);
    macro->formals = nullptr;
    macro->body = nullptr;
}

bool formal_listed(const Token *formals, TextHandle name) {
    for (; formals != nullptr; formals = formals->next)
        if (formals->value == static_cast<std::int32_t>(name)) return true;
    return false;
}

// The formal list after its `(`: fills formals and n_formals; reports into the error flag.
void parse_formals(PpMacro *macro, std::uint8_t *error) {
    int count = 0;
    bool slot_error = false;
    bool expect_name = true;
    // A long list is checked for repeated names through a set: scanning the list for every name
    // would make a definition with thousands of formals take seconds.
    std::unordered_set<std::int32_t> names;
    auto listed = [&](TextHandle name) {
        if (count < FORMAL_SCAN_LIMIT) return formal_listed(macro->formals, name);
        if (names.empty())
            for (const Token *f = macro->formals; f != nullptr; f = f->next) names.insert(f->value);
        return !names.insert(static_cast<std::int32_t>(name)).second;
    };
    auto accept = [&](const DirToken &t) {
        // Beyond the limit a formal's number would wrap into another formal's (or make the
        // macro look object-like): the run ends, as for the other exhausted limits.
        if (count == PP_MAX_FORMALS) {
            pp_report(PP_MSG_TOO_MANY_FORMALS, t.position);
            fe_fatal_exit();
        }
        if (listed(t.value)) {
            pp_report(PP_MSG_NON_UNIQUE_FORMAL, t.position);
            *error = 1;
        }
        Token *formal = pp_new_token(TOKEN_IDENTIFIER, static_cast<std::int32_t>(t.value));
        formal->spaced = t.spaced;
        formal->formal_index = 0;
        formal->next = macro->formals;
        macro->formals = formal;
        ++count;
    };
    auto slot_problem = [&](Position position) {
        if (!slot_error) {
            pp_report(PP_MSG_FORMAL_NOT_IDENTIFIER, position);
            *error = 1;
            slot_error = true;
        }
    };
    for (;;) {
        DirToken t = read_token(error);
        if (expect_name) {
            switch (t.kind) {
            case TOKEN_IDENTIFIER:
                accept(t);
                expect_name = false;
                break;
            case TOKEN_ELLIPSIS:
                if (variadic_macros == 0) {
                    slot_problem(t.position);
                    break;
                }
                // `...` stands for the formal __VA_ARGS__ and ends the list.
                t.value = text_enter("__VA_ARGS__", 11);
                accept(t);
                macro->variadic = 1;
                t = read_token(error);
                if (t.kind != TOKEN_RPAREN) {
                    if (!slot_error) pp_report(PP_MSG_FORMAL_NOT_IDENTIFIER, t.position);
                    *error = 1;
                    if (t.kind == TOKEN_NEWLINE || t.kind == TOKEN_END_OF_FILE) {
                        pp_report(PP_MSG_NO_PARAMETER_RPAREN, t.position);
                        si_back_up(1);
                        macro->n_formals = static_cast<std::int16_t>(count);
                        return;
                    }
                    // The rest of the list is read over up to its `)`.
                    while (t.kind != TOKEN_RPAREN && t.kind != TOKEN_NEWLINE &&
                           t.kind != TOKEN_END_OF_FILE)
                        t = read_token(error);
                    if (t.kind != TOKEN_RPAREN) {
                        pp_report(PP_MSG_NO_PARAMETER_RPAREN, t.position);
                        si_back_up(1);
                    }
                }
                macro->n_formals = static_cast<std::int16_t>(count);
                return;
            case TOKEN_RPAREN:
                if (count > 0 && !slot_error) {
                    pp_report(PP_MSG_FORMAL_NOT_IDENTIFIER, t.position);
                    *error = 1;
                }
                macro->n_formals = static_cast<std::int16_t>(count);
                return;
            case TOKEN_COMMA:
                if (!slot_error) {
                    pp_report(PP_MSG_FORMAL_NOT_IDENTIFIER, t.position);
                    *error = 1;
                } else {
                    slot_error = false;
                }
                break;
            case TOKEN_NEWLINE:
            case TOKEN_END_OF_FILE:
                if (count > 0 && !slot_error) pp_report(PP_MSG_FORMAL_NOT_IDENTIFIER, t.position);
                pp_report(PP_MSG_NO_PARAMETER_RPAREN, t.position);
                *error = 1;
                si_back_up(1);
                macro->n_formals = static_cast<std::int16_t>(count);
                return;
            default: slot_problem(t.position); break;
            }
            continue;
        }
        switch (t.kind) {
        case TOKEN_RPAREN: macro->n_formals = static_cast<std::int16_t>(count); return;
        case TOKEN_IDENTIFIER:
            slot_problem(t.position);
            accept(t);
            break;
        case TOKEN_NEWLINE:
        case TOKEN_END_OF_FILE:
            pp_report(PP_MSG_NO_PARAMETER_RPAREN, t.position);
            *error = 1;
            si_back_up(1);
            macro->n_formals = static_cast<std::int16_t>(count);
            return;
        case TOKEN_COMMA:
            slot_error = false;
            expect_name = true;
            break;
        default: slot_problem(t.position); break;
        }
    }
}

char *split_scratch(std::uint32_t length) {
    if (length + 1 > def.split_capacity) {
        if (def.split_buffer != nullptr) mm_free_vblock(mm_general_pool(), def.split_buffer);
        def.split_capacity = length + 1 < 256 ? 256 : length + 1;
        def.split_buffer =
            static_cast<char *>(mm_get_vblock(mm_general_pool(), def.split_capacity));
    }
    return def.split_buffer;
}

// A string or character constant of a function-like body, split where it names formals.
void split_constant(PpMacro *macro, Token **head, Token **tail, const DirToken &t) {
    bool is_char = t.kind == TOKEN_CHARCONST;
    TokenKind open = is_char ? TOKEN_LCHR : TOKEN_LSTR;
    TokenKind close = is_char ? TOKEN_RCHR : TOKEN_RSTR;
    TokenKind piece = is_char ? TOKEN_CHARCONST : TOKEN_STRINGCONST;
    TokenKind formal_kind = is_char ? TOKEN_CHARIZE : TOKEN_STRINGIZE;
    const char quote = is_char ? '\'' : '"';
    auto value = static_cast<std::int32_t>(t.value);
    pp_append_body_token(head, tail, open, value, t.spaced);

    std::uint32_t length = text_length(t.value);
    char *text = split_scratch(length);
    std::memcpy(text, text_string(t.value), length);
    text[length] = '\0';
    std::uint32_t i = 0;
    if (text[0] == 'L') {
        pp_append_body_token(head, tail, TOKEN_ELL, value, t.spaced);
        i = 1;
    }
    std::uint32_t start = i; // the quote that opens the current piece
    std::uint32_t end = length > i + 1 ? length - 1 : i + 1; // the closing quote
    for (std::uint32_t p = i + 1; p < end;) {
        char c = text[p];
        bool name_start = c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!name_start) {
            ++p;
            continue;
        }
        std::uint32_t q = p;
        while (q < end &&
               (text[q] == '_' || (text[q] >= 'a' && text[q] <= 'z') ||
                (text[q] >= 'A' && text[q] <= 'Z') || (text[q] >= '0' && text[q] <= '9')))
            ++q;
        TextHandle name = text_find(text + p, q - p);
        int k = name != TEXT_NULL ? pp_is_formal(name, macro) : 0;
        if (k == 0) {
            p = q;
            continue;
        }
        if (p > start + 1) {
            text[p] = quote; // the piece ends with a quote over the name's first character
            TextHandle handle = text_enter(text + start, p - start + 1);
            pp_append_body_token(head, tail, piece, static_cast<std::int32_t>(handle), 0);
        }
        pp_append_body_token(head, tail, formal_kind, k, 0);
        start = q - 1;
        text[start] = quote; // the next piece opens with a quote over the name's last character
        p = q;
    }
    if (end > start + 1) {
        TextHandle handle = text_enter(text + start, end - start + 1);
        pp_append_body_token(head, tail, piece, static_cast<std::int32_t>(handle), 0);
    }
    pp_append_body_token(head, tail, close, value, 0);
}

// Makes the last body token the left operand of a paste, as `##` does: the marker, a copy of
// it, then the paste token; the right operand is appended next.
void append_paste(Token **head, Token **tail, TextHandle spelling, std::uint8_t spaced) {
    Token *left = *tail;
    TokenKind left_kind = left->kind;
    left->kind = TOKEN_LOOKAHEAD;
    Token *copy = pp_append_body_token(head, tail, left_kind, left->value, left->spaced);
    copy->formal_index = left->formal_index;
    pp_append_body_token(head, tail, TOKEN_PASTE, static_cast<std::int32_t>(spelling), spaced);
}

// Reads the replacement list (T is its first token) into the macro's body.
void parse_body(PpMacro *macro, DirToken t, std::uint8_t *error) {
    Token *head = nullptr;
    Token *tail = nullptr;
    t.spaced = 0;
    for (;;) {
        // Two tokens with only a removed comment between them are one text, as with `##`.
        if (t.joined && tail != nullptr && !is_line_end(t.kind) && t.kind != TOKEN_SHARP_SHARP &&
            tail->kind != TOKEN_PASTE)
            append_paste(&head, &tail, static_cast<TextHandle>(tail->value), 0);
        switch (t.kind) {
        case TOKEN_END_OF_FILE:
            pp_report(PP_MSG_EOF_IN_DIRECTIVE_REST, t.position);
            si_back_up(1);
            *error = 1;
            macro->body = head != nullptr ? head : pp_null_token();
            return;
        case TOKEN_NEWLINE: macro->body = head != nullptr ? head : pp_null_token(); return;
        case TOKEN_CHARCONST:
        case TOKEN_STRINGCONST:
            if ((string_parms != 0 || fortran_literals != 0) && macro->n_formals >= 0)
                split_constant(macro, &head, &tail, t);
            else
                pp_append_body_token(&head, &tail, t.kind, static_cast<std::int32_t>(t.value),
                                     t.spaced);
            break;
        case TOKEN_SHARP: {
            DirToken a = read_token(error);
            int k = a.kind == TOKEN_IDENTIFIER ? pp_is_formal(a.value, macro) : 0;
            if (k > 0) {
                Token *s = pp_append_body_token(&head, &tail, TOKEN_STRINGIZE, k, t.spaced);
                s->formal_index = static_cast<std::int16_t>(a.spaced);
                break;
            }
            pp_report(PP_MSG_STRINGIZE_NO_OPERAND, t.position);
            *error = 1;
            pp_append_body_token(&head, &tail, ERROR_TOKEN, static_cast<std::int32_t>(t.value),
                                 t.spaced);
            t = a;
            continue;
        }
        case TOKEN_SHARP_SHARP: {
            DirToken b = read_token(error);
            if (head == nullptr || is_line_end(b.kind)) {
                pp_report(head != nullptr       ? PP_MSG_PASTE_NO_RIGHT
                          : is_line_end(b.kind) ? PP_MSG_PASTE_NO_OPERANDS
                                                : PP_MSG_PASTE_NO_LEFT,
                          t.position);
                *error = 1;
                pp_append_body_token(&head, &tail, ERROR_TOKEN, static_cast<std::int32_t>(t.value),
                                     t.spaced);
            } else {
                // The left operand becomes the marker; a copy of it follows for the paste.
                append_paste(&head, &tail, static_cast<TextHandle>(tail->value), t.spaced);
                if (b.kind == TOKEN_SHARP_SHARP) {
                    pp_append_body_token(&head, &tail, ERROR_TOKEN,
                                         static_cast<std::int32_t>(b.value), b.spaced);
                    b = read_token(error);
                }
            }
            t = b;
            continue;
        }
        default:
            pp_append_body_token(&head, &tail, t.kind, static_cast<std::int32_t>(t.value),
                                 t.spaced);
            break;
        }
        t = read_token(error);
    }
}

// Compares the definition on the line with the stored one; the reader stands after the name.
// True when they are identical (the line has then been read through its end).
bool identical_definition(PpMacro *macro) {
    Position after_name = si_current_position();
    std::uint8_t error = 0;
    DirToken t = read_token(&error);
    bool same = true;
    if (macro->error_in_defn == 1) {
        pp_report(PP_MSG_REDEFINED_AFTER_ERROR, t.position);
        same = false;
    } else if (t.kind == TOKEN_LPAREN && t.spaced == 0) {
        if (macro->n_formals < 0) {
            same = false;
        } else {
            Token *formals = pp_reverse_tokens(macro->formals);
            t = read_token(&error);
            for (Token *f = formals; same && f != nullptr; f = f->next) {
                // The last formal of a variadic macro was written `...`.
                bool dots = macro->variadic != 0 && f->next == nullptr;
                if (dots ? t.kind != TOKEN_ELLIPSIS
                         : t.kind != TOKEN_IDENTIFIER ||
                               static_cast<std::int32_t>(t.value) != f->value) {
                    same = false;
                    break;
                }
                t = read_token(&error);
                if (f->next != nullptr) {
                    if (t.kind != TOKEN_COMMA)
                        same = false;
                    else
                        t = read_token(&error);
                }
            }
            macro->formals = pp_reverse_tokens(formals);
            if (same && t.kind != TOKEN_RPAREN) same = false;
            if (same) t = read_token(&error);
        }
    } else if (macro->n_formals >= 0) {
        same = false;
    }
    if (same && macro->error_in_defn == 0) {
        t.spaced = 0;
        const Token *b =
            macro->body != nullptr && macro->body->kind == TOKEN_NULL ? nullptr : macro->body;
        for (;;) {
            if (b == nullptr) {
                same = t.kind == TOKEN_NEWLINE;
                break;
            }
            if (b->kind == TOKEN_LOOKAHEAD) {
                b = b->next;
                continue;
            }
            if (b->kind == TOKEN_STRINGIZE) {
                if (t.kind != TOKEN_SHARP || t.spaced != b->spaced) {
                    same = false;
                    break;
                }
                t = read_token(&error);
                if (t.kind != TOKEN_IDENTIFIER || pp_is_formal(t.value, macro) != b->value ||
                    t.spaced != static_cast<std::uint8_t>(b->formal_index)) {
                    same = false;
                    break;
                }
            } else if (b->kind == TOKEN_PASTE) {
                if (t.joined) {
                    // A paste made by a removed comment: the line has no `##` for it.
                    b = b->next;
                    continue;
                }
                if (t.kind != TOKEN_SHARP_SHARP || t.spaced != b->spaced) {
                    same = false;
                    break;
                }
            } else if (b->kind == TOKEN_LSTR || b->kind == TOKEN_LCHR) {
                TokenKind want = b->kind == TOKEN_LSTR ? TOKEN_STRINGCONST : TOKEN_CHARCONST;
                TokenKind stop = b->kind == TOKEN_LSTR ? TOKEN_RSTR : TOKEN_RCHR;
                if (t.kind != want || static_cast<std::int32_t>(t.value) != b->value ||
                    t.spaced != b->spaced) {
                    same = false;
                    break;
                }
                while (b->next != nullptr && b->kind != stop) b = b->next;
            } else if (t.kind != b->kind || static_cast<std::int32_t>(t.value) != b->value ||
                       t.spaced != b->spaced) {
                same = false;
                break;
            }
            b = b->next;
            t = read_token(&error);
        }
        if (error != 0) same = false;
    }
    if (same) return true;
    if (macro->error_in_defn == 0) pp_report(PP_MSG_PERNICIOUS_REDEFINITION, t.position);
    free_definition(macro);
    si_seek(after_name);
    return false;
}

} // namespace

TokenKind pp_next_directive_token(Position *position, TextHandle *value, std::uint8_t *spaced,
                                  std::uint8_t *error) {
    *spaced = 0;
    def.joined = false;
    // A removed comment right after the previous token, with no white space after it, joins
    // the two tokens: the comment leaves nothing in their text.
    bool comment_first = false;
    bool passed_any = false;
    CurrentToken token{};
    for (;;) {
        lex_token(&token.kind, &token.position);
        *position = token.position;
        switch (token.kind) {
        case TOKEN_COMMENT:
            if (!pp_skip_directive_comment()) *error = 1;
            if (strip_c_comments == 0) *spaced = 1;
            if (!passed_any) comment_first = true;
            passed_any = true;
            continue;
        case TOKEN_HORIZ_WHITESPACE:
            *spaced = 1;
            comment_first = false;
            passed_any = true;
            continue;
        case TOKEN_OTHER_WHITESPACE:
            pp_report(PP_MSG_VERTICAL_WHITESPACE, token.position);
            *spaced = 1;
            comment_first = false;
            passed_any = true;
            continue;
        case TOKEN_BSLASH_NL: continue;
        case TOKEN_NEWLINE: *value = TEXT_NULL; return TOKEN_NEWLINE;
        case TOKEN_END_OF_FILE: *value = TEXT_NULL; return TOKEN_END_OF_FILE;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) {
                // A comment to the end of the line: the line ends here.
                *spaced = 1;
                if (pp_skip_line_comment()) {
                    *value = TEXT_NULL;
                    return TOKEN_NEWLINE;
                }
                continue; // the end of input comes next
            }
            def.joined = comment_first && strip_c_comments != 0;
            *value = double_slash_text();
            return TOKEN_BOL_COMMENT;
        default:
            def.joined = comment_first && strip_c_comments != 0;
            if (token.kind >= TOKEN_KIND_COUNT) {
                *value = token_spelling(token.kind);
                return token.kind;
            }
            pp_convert_token(&token);
            *value = token.value;
            return token.kind;
        }
    }
}

int pp_is_formal(TextHandle name, const PpMacro *macro) {
    int p = 0;
    for (const Token *f = macro->formals; f != nullptr; f = f->next, ++p)
        if (f->value == static_cast<std::int32_t>(name)) return macro->n_formals - p;
    return 0;
}

Token *pp_append_body_token(Token **head, Token **tail, TokenKind kind, std::int32_t value,
                            std::uint8_t spaced) {
    Token *token = pp_new_token(kind, value);
    token->spaced = spaced;
    token->formal_index = -1;
    if (*head == nullptr)
        *head = token;
    else
        (*tail)->next = token;
    *tail = token;
    return token;
}

void pp_define_directive() {
    pp_continuation_flag = 1;
    std::uint8_t error = 0;
    DirToken n = read_token(&error);
    if (n.kind == TOKEN_NEWLINE) {
        pp_report(PP_MSG_DEFINE_NO_NAME, n.position);
        return;
    }
    if (n.kind == TOKEN_END_OF_FILE) {
        pp_report(PP_MSG_EOF_IN_DIRECTIVE_REST, n.position);
        si_back_up(1);
        return;
    }
    if (n.kind != TOKEN_IDENTIFIER) {
        pp_report(PP_MSG_NAME_NOT_IDENTIFIER, n.position);
        pp_skip_directive_rest();
        return;
    }
    if (is_reserved_name(n.value)) {
        pp_report(PP_MSG_CANNOT_DEFINE, n.position);
        pp_skip_directive_rest();
        return;
    }
    PpMacro *macro = pp_lookup_macro(n.value);
    if (macro == nullptr) {
        macro = pp_new_macro(n.value, n.position);
    } else {
        const Position &p = macro->position;
        if (p.line == n.position.line && p.column == n.position.column &&
            p.stream == n.position.stream) {
            pp_skip_directive_rest(); // the same definition read again
            return;
        }
        if (identical_definition(macro)) return;
        macro->position = n.position;
        pp_note_macro_table_change(); // the record takes the new definition
    }
    macro->n_formals = -1;
    macro->formals = nullptr;
    macro->body = nullptr;
    macro->variadic = 0;
    DirToken t = read_token(&error);
    if (t.kind == TOKEN_LPAREN && t.spaced == 0) {
        parse_formals(macro, &error);
        t = read_token(&error);
    }
    parse_body(macro, t, &error);
    macro->error_in_defn = error;
}

void pp_undef_directive() {
    TokenKind kind;
    CurrentToken token{};
    for (;;) {
        lex_token(&kind, &token.position);
        if (kind == TOKEN_HORIZ_WHITESPACE || kind == TOKEN_BSLASH_NL) continue;
        if (kind == TOKEN_COMMENT) {
            if (!pp_skip_directive_comment()) break;
            continue;
        }
        if (kind == TOKEN_OTHER_WHITESPACE) {
            pp_report(PP_MSG_VERTICAL_WHITESPACE, token.position);
            continue;
        }
        break;
    }
    token.kind = kind;
    if (kind == TOKEN_NEWLINE || kind == TOKEN_END_OF_FILE) {
        si_back_up(1); // the line end stays for the line-rest reader
    } else if (kind == TOKEN_IDENTIFIER || kind == TOKEN_IDENTIFIER_BNL ||
               kind == TOKEN_IDENTIFIER_DOL) {
        pp_convert_token(&token);
    }
    if (token.kind != TOKEN_IDENTIFIER) {
        pp_report(PP_MSG_NAME_NOT_IDENTIFIER, token.position);
        pp_skip_directive_rest();
        return;
    }
    PpMacro *macro = pp_lookup_macro(token.value);
    if (macro == nullptr) {
        pp_check_directive_end();
        return;
    }
    if (is_reserved_name(token.value)) {
        pp_report(PP_MSG_CANNOT_UNDEF, token.position);
        pp_skip_directive_rest();
        return;
    }
    free_definition(macro);
    pp_delete_macro(token.value);
    pp_check_directive_end();
}

namespace {

// A "token_table" copy of a formal or body list; the shared null token that ends an empty
// body is shared by the copy too.
Token *copy_token_list(const Token *list) {
    Token *head = nullptr;
    Token **link = &head;
    for (const Token *t = list; t != nullptr; t = t->next) {
        if (t->kind == TOKEN_NULL) {
            *link = const_cast<Token *>(t);
            break;
        }
        Token *copy = pp_new_token(t->kind, t->value);
        copy->spaced = t->spaced;
        copy->formal_index = t->formal_index;
        copy->no_expand = t->no_expand;
        copy->next = nullptr;
        *link = copy;
        link = &copy->next;
    }
    return head;
}

} // namespace

void pp_push_macro(TextHandle name) {
    if (is_reserved_name(name)) return;
    const PpMacro *macro = pp_lookup_macro(name);
    PpMacro *saved = nullptr;
    if (macro != nullptr) {
        saved = pp_new_pseudo_macro();
        saved->position = macro->position;
        saved->n_formals = macro->n_formals;
        saved->formals = copy_token_list(macro->formals);
        saved->body = copy_token_list(macro->body);
        saved->error_in_defn = macro->error_in_defn;
        saved->variadic = macro->variadic;
    }
    pushed_macros[name].push_back(saved);
}

void pp_pop_macro(TextHandle name) {
    auto entry = pushed_macros.find(name);
    if (entry == pushed_macros.end() || entry->second.empty() || is_reserved_name(name)) return;
    PpMacro *saved = entry->second.back();
    entry->second.pop_back();
    if (PpMacro *current = pp_lookup_macro(name); current != nullptr) {
        free_definition(current);
        pp_delete_macro(name);
    }
    if (saved != nullptr) pp_install_macro(name, saved);
}

void pp_macro_define_reset() {
    def = DefineState{};
    pushed_macros.clear();
}

// This file implements the direct expansion of the commonest macro uses in code lines: a call
// like `FMAX(A, B)` or a name like `WP`, whose body holds plain tokens and whose arguments name
// no macro, is written straight to the output, with the blanks and markers the frame walk of
// pp_macro_expand.cpp would give it. Anything else (`#`, `##`, a function-like name in the body
// without its whole call there, arguments that name macros or run over a line end, counts that
// draw a message) is left to the walk, with nothing read or written.
//
// A qualifying definition is kept in a written form: runs of body text with the blanks between
// their tokens already decided, and the places of the arguments, __FILE__ and __LINE__ between
// them. Only the blank before the first token of each run depends on what was written before
// it; inside a run the walk would put a blank where the token carries one or where the spacing
// rules ask for one after the token before it (no marker comes after an expansion's first token:
// that one brings the output to the invocation's line). The arguments of a call are made into
// runs the same way.
#include <array>
#include <cstring>

#include "fe/fe.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// The limits of one call taken directly; a larger one goes to the walk.
constexpr int MAX_ARGUMENTS = 32;
constexpr std::uint32_t MAX_BYTES = 4096;
// Object-like macros nested in a body, the outermost macro included.
constexpr int MAX_DEPTH = 16;

// The pieces of a written form, one after another, each a header and (for text) its bytes.
enum PieceKind : std::uint8_t { PIECE_TEXT, PIECE_ARGUMENT, PIECE_FILE, PIECE_LINE, PIECE_END };

struct Piece {
    PieceKind kind;
    std::uint8_t spaced; // the blank flag of the first token
    std::uint8_t first;  // the kinds of the first and last token of a text
    std::uint8_t last;
    std::uint32_t value; // the length of a text's bytes (which follow), an argument's number
};

// One argument of the call at hand, made into a run like the texts of a form.
struct ArgumentRun {
    std::uint32_t offset; // in DirectState::bytes
    std::uint32_t length; // 0 for an empty argument
    TokenKind first;
    TokenKind last;
};

struct DirectState {
    // The written forms of the definitions checked since the macro table last changed.
    char *forms = nullptr;
    std::uint32_t forms_used = 0;
    std::uint32_t forms_capacity = 0;
    std::uint32_t forms_changes = 0; // the table's change number they belong to
    // The open text piece of the form being made (an offset in `forms`; 0 for none, which no
    // text piece has: the forms start with a spare byte).
    std::uint32_t open_text = 0;
    TokenKind open_last = TOKEN_NULL;
    const PpMacro *chain[MAX_DEPTH]; // the macros whose bodies are being taken in

    ArgumentRun arguments[MAX_ARGUMENTS];
    char bytes[MAX_BYTES];
    std::uint32_t used = 0;
    Position invocation{};
    std::uint64_t expansions = 0;
};

DirectState direct;

// ---- Written forms ---------------------------------------------------------------------------

char *form_room(std::uint32_t more) {
    if (more > direct.forms_capacity - direct.forms_used) {
        std::uint32_t capacity = direct.forms_capacity == 0 ? 4096 : direct.forms_capacity;
        while (capacity - direct.forms_used < more) capacity *= 2;
        direct.forms =
            static_cast<char *>(mm_adjust_vblock(mm_general_pool(), direct.forms, capacity));
        direct.forms_capacity = capacity;
    }
    char *room = direct.forms + direct.forms_used;
    direct.forms_used += more;
    return room;
}

void add_piece(PieceKind kind, std::uint8_t spaced, std::uint32_t value) {
    direct.open_text = 0;
    const Piece piece{kind, spaced, 0, 0, value};
    std::memcpy(form_room(sizeof piece), &piece, sizeof piece);
}

// Adds a token written `text` to the open text, or starts one with it.
void add_token_text(TokenKind kind, std::uint8_t spaced, const char *text, std::uint32_t length) {
    if (direct.open_text == 0) {
        const Piece piece{PIECE_TEXT, spaced, static_cast<std::uint8_t>(kind),
                          static_cast<std::uint8_t>(kind), 0};
        direct.open_text = direct.forms_used;
        std::memcpy(form_room(sizeof piece), &piece, sizeof piece);
    } else if (spaced == 1 || pp_spacing_needed(direct.open_last, kind)) {
        *form_room(1) = ' ';
    }
    std::memcpy(form_room(length), text, length);
    direct.open_last = kind;
    Piece piece;
    std::memcpy(&piece, direct.forms + direct.open_text, sizeof piece);
    piece.last = static_cast<std::uint8_t>(kind);
    piece.value = direct.forms_used - direct.open_text - static_cast<std::uint32_t>(sizeof piece);
    std::memcpy(direct.forms + direct.open_text, &piece, sizeof piece);
}

void add_token(TokenKind kind, std::uint8_t spaced, TextHandle value) {
    add_token_text(kind, spaced, text_string(value), text_length(value));
}

// A constant that the definition split where formals might stand in it (under string_parms and
// Fortran literals), from its opening token `open`: when no formal stands in it, adds it as the
// walk joins it again (its pieces without their own quotes, in its quotes) and sets *close to
// its closing token. False for one that names a formal or takes part in a paste.
bool add_constant_group(Token *open, std::uint8_t spaced, Token **close) {
    const bool is_char = open->kind == TOKEN_LCHR;
    const TokenKind end = is_char ? TOKEN_RCHR : TOKEN_RSTR;
    const char quote = is_char ? '\'' : '"';
    char text[MAX_BYTES];
    std::uint32_t length = 0;
    Token *b = open->next;
    if (b != nullptr && b->kind == TOKEN_ELL) {
        text[length++] = 'L';
        b = b->next;
    }
    text[length++] = quote;
    for (; b != nullptr && b->kind != end; b = b->next) {
        if (b->kind == TOKEN_STRINGCONST || b->kind == TOKEN_CHARCONST) {
            auto handle = static_cast<TextHandle>(b->value);
            const std::uint32_t n = text_length(handle);
            if (n < 2) continue;
            if (n - 2 > MAX_BYTES - 1 - length) return false;
            std::memcpy(text + length, text_string(handle) + 1, n - 2);
            length += n - 2;
        } else if (b->kind == TOKEN_STRINGIZE || b->kind == TOKEN_CHARIZE ||
                   b->kind == TOKEN_LOOKAHEAD) {
            return false;
        }
    }
    if (b == nullptr || length == MAX_BYTES) return false;
    text[length++] = quote;
    add_token_text(is_char ? TOKEN_CHARCONST : TOKEN_STRINGCONST, spaced, text, length);
    *close = b;
    return true;
}

// The arguments of a call written in a body (`WHERE('x')` in the body of another macro): the
// body tokens of argument k run from first[k - 1] up to (not including) end[k - 1].
struct BodyArguments {
    Token *first[MAX_ARGUMENTS];
    Token *end[MAX_ARGUMENTS];
};

// Body kinds the walk does not deliver as they stand: `#`, `##`, the pieces of a split constant
// (a whole one is taken by add_constant_group), and the markers of lists and of the input.
bool walk_builds(TokenKind kind) {
    switch (kind) {
    case TOKEN_LOOKAHEAD:
    case TOKEN_PASTE:
    case TOKEN_STRINGIZE:
    case TOKEN_CHARIZE:
    case TOKEN_LSTR:
    case TOKEN_LCHR:
    case TOKEN_RSTR:
    case TOKEN_RCHR:
    case TOKEN_ELL:
    case TOKEN_NEWLINE:
    case TOKEN_FINISHED:
    case TOKEN_NULL:
    case TOKEN_END_OF_FILE: return true;
    default: return false;
    }
}

// Whether body token `b` may stand in the arguments of a call written in the body: a plain token
// that names no formal of `macro` and no macro (the walk would expand such an argument first),
// nor __FILE__ or __LINE__.
bool constant_argument_token(const PpMacro *macro, Token *b) {
    if (b->kind == TOKEN_IDENTIFIER)
        return pp_formal_number(macro, b) == 0 &&
               pp_lookup_macro(static_cast<TextHandle>(b->value)) == nullptr;
    return b->kind != TOKEN_CALC_FILE && b->kind != TOKEN_CALC_LINE && !walk_builds(b->kind);
}

// The arguments of the call of `inner` whose `(` is body token `open` of `macro`; its `)` in
// *close. False when the walk must take the call: an argument that is not constant, a count
// that draws a message, a list the body does not close.
bool take_body_arguments(const PpMacro *macro, const PpMacro *inner, Token *open,
                         BodyArguments *arguments, Token **close) {
    int count = 0;
    int depth = 1;
    arguments->first[0] = open->next;
    bool empty = true;
    for (Token *t = open->next; t != nullptr; t = t->next) {
        if (depth == 1 && (t->kind == TOKEN_COMMA || t->kind == TOKEN_RPAREN)) {
            arguments->end[count++] = t;
            if (t->kind == TOKEN_RPAREN) {
                *close = t;
                if (inner->n_formals == 0) return count == 1 && empty;
                return count == inner->n_formals;
            }
            if (count == MAX_ARGUMENTS) return false;
            arguments->first[count] = t->next;
            continue;
        }
        if (t->kind == TOKEN_LPAREN) ++depth;
        if (t->kind == TOKEN_RPAREN) --depth;
        empty = false;
        if (t->kind == TOKEN_LSTR || t->kind == TOKEN_LCHR) {
            // A split constant: its pieces are checked when it is added.
            const TokenKind end = t->kind == TOKEN_LCHR ? TOKEN_RCHR : TOKEN_RSTR;
            while (t != nullptr && t->kind != end) t = t->next;
            if (t == nullptr) return false;
            continue;
        }
        if (!constant_argument_token(macro, t)) return false;
    }
    return false;
}

// Takes `macro`'s body (at `depth` in the chain of bodies) into the form being made; false when
// the walk must expand it: a `#`, `##`, a split constant a formal stands in, a name that is a
// macro painted or already being expanded (it stays as it is) or a function-like macro without
// its whole call in the body (it could take a `(` from after it). Formals, names of no macro,
// object-like macros and calls with constant arguments pass when the bodies they bring qualify
// in turn.
// `inherited` is the blank of the name the body replaces, which its first token takes; the
// formals of a call written in a body stand for `arguments`, those of the outermost macro for
// the arguments of each use.
bool take_body(const PpMacro *macro, int depth, std::uint8_t inherited,
               const BodyArguments *arguments) {
    if (depth == MAX_DEPTH || macro->variadic != 0 || macro->error_in_defn != 0) return false;
    direct.chain[depth] = macro;
    bool first = true;
    for (Token *b = macro->body; b != nullptr && b->kind != TOKEN_NULL; b = b->next) {
        const std::uint8_t spaced = first && inherited == 1 ? 1 : b->spaced;
        first = false;
        switch (b->kind) {
        case TOKEN_IDENTIFIER: {
            if (const int k = pp_formal_number(macro, b); k > 0) {
                if (arguments == nullptr) {
                    add_piece(PIECE_ARGUMENT, spaced, static_cast<std::uint32_t>(k));
                    continue;
                }
                // A constant argument: its first token takes the formal's blank.
                for (Token *a = arguments->first[k - 1]; a != arguments->end[k - 1]; a = a->next) {
                    const std::uint8_t blank = a == arguments->first[k - 1] ? spaced : a->spaced;
                    if (a->kind == TOKEN_LSTR || a->kind == TOKEN_LCHR) {
                        if (!add_constant_group(a, blank, &a)) return false;
                        continue;
                    }
                    add_token(a->kind, blank, static_cast<TextHandle>(a->value));
                }
                continue;
            }
            const PpMacro *inner = pp_lookup_macro(static_cast<TextHandle>(b->value));
            if (inner == nullptr) break;
            if (b->no_expand != 0) return false;
            for (int i = 0; i <= depth; ++i)
                if (direct.chain[i] == inner) return false;
            if (inner->n_formals < 0) {
                if (!take_body(inner, depth + 1, spaced, nullptr)) return false;
                continue;
            }
            BodyArguments inner_arguments;
            Token *close = nullptr;
            if (b->next == nullptr || b->next->kind != TOKEN_LPAREN ||
                !take_body_arguments(macro, inner, b->next, &inner_arguments, &close) ||
                !take_body(inner, depth + 1, spaced, &inner_arguments))
                return false;
            b = close; // the loop goes on after the call's `)`
            continue;
        }
        case TOKEN_CALC_FILE: add_piece(PIECE_FILE, spaced, 0); continue;
        case TOKEN_CALC_LINE: add_piece(PIECE_LINE, spaced, 0); continue;
        case TOKEN_LSTR:
        case TOKEN_LCHR:
            if (!add_constant_group(b, spaced, &b)) return false;
            continue;
        default:
            if (walk_builds(b->kind)) return false;
            break;
        }
        add_token(b->kind, spaced, static_cast<TextHandle>(b->value));
    }
    return true;
}

// Whether `macro` qualifies, its written form made when it does; the answer is kept in the
// record until the table next changes (it depends on the other definitions).
bool qualifies(PpMacro *macro) {
    const std::uint32_t changes = pp_macro_table_changes();
    if (macro->direct_checked == changes) [[likely]]
        return macro->direct != 0;
    if (direct.forms_changes != changes) {
        // The forms made before the change are no longer reached.
        direct.forms_used = 0;
        form_room(1);
        direct.forms_changes = changes;
    }
    const std::uint32_t start = direct.forms_used;
    direct.open_text = 0;
    const bool ok = take_body(macro, 0, 0, nullptr);
    if (ok) {
        add_piece(PIECE_END, 0, 0);
        macro->direct_form = start;
    } else {
        direct.forms_used = start;
    }
    macro->direct = ok ? 1 : 0;
    macro->direct_checked = changes;
    return ok;
}

// ---- The arguments ---------------------------------------------------------------------------

// The bytes of names, and the bytes after which the lexer's name surely ends: anything but a
// name byte, `$`, a continuation (`\\`, `??/`), a quote (`L'x'`) and the end of the buffered
// data.
constexpr std::array<std::uint8_t, 256> make_name_bytes() {
    std::array<std::uint8_t, 256> bytes{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t k = 2;                                                      // ends a name
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') k = 1; // starts one
        if (c >= '0' && c <= '9') k = 3;                                         // goes on
        if (c == '$' || c == '\\' || c == '?' || c == '\'' || c == '"' || c == 0) k = 0;
        bytes[static_cast<std::size_t>(c)] = k;
    }
    return bytes;
}
constexpr std::array<std::uint8_t, 256> name_bytes = make_name_bytes();

// A name that is not a macro's (arguments naming macros are expanded first: the walk's work).
bool names_no_macro(const unsigned char *text, std::uint32_t length) {
    return pp_macro_name_handle(text, length) == TEXT_NULL;
}

// The text the conversion of the scanning loop gives a token the lexer read; false for a token
// the walk must see (a name of a macro, a constant whose text would change, an operator that
// may start a comment or a continuation, white space other than blanks, anything unusual).
bool lexeme_text(TokenKind kind, const unsigned char **text, std::uint32_t *length) {
    switch (kind) {
    case TOKEN_IDENTIFIER:
        *text = si_mark_text();
        *length = si_mark_length();
        return names_no_macro(*text, *length);
    case TOKEN_CHARCONST:
    case TOKEN_STRINGCONST:
        if (string_trigraphs != 0 && fortran_lines == 0) return false;
        [[fallthrough]];
    case TOKEN_OCTCONST:
    case TOKEN_HEXCONST:
    case TOKEN_DECCONST:
    case TOKEN_FLOATCONST:
    case TOKEN_PPNUM:
    case TOKEN_FORTRAN_OP:
        *text = si_mark_text();
        *length = si_mark_length();
        return true;
    case TOKEN_EXCL:
    case TOKEN_EXCLEQ: return false; // a Fortran comment may start here
    case TOKEN_AMP:
        if (continued_calls != 0) return false; // a continuation may start here
        [[fallthrough]];
    default: {
        if (kind < TOKEN_AMP || kind > TOKEN_UPEQ) return false;
        TextHandle spelling = token_spelling(kind);
        *text = reinterpret_cast<const unsigned char *>(text_string(spelling));
        *length = text_length(spelling);
        return true;
    }
    }
}

// Adds a token to argument `run` (its first one when the run is empty).
bool add_argument_token(ArgumentRun *run, TokenKind kind, std::uint8_t spaced,
                        const unsigned char *text, std::uint32_t length) {
    const bool blank = run->length != 0 && (spaced == 1 || pp_spacing_needed(run->last, kind));
    if (length + 1 > MAX_BYTES - direct.used) return false;
    if (run->length == 0) run->first = kind;
    if (blank) direct.bytes[direct.used++] = ' ';
    std::memcpy(direct.bytes + direct.used, text, length);
    direct.used += length;
    run->length = direct.used - run->offset;
    run->last = kind;
    return true;
}

// Moves the stream's read point to `p`, further on the same line.
void read_up_to(unsigned char *p) {
    si_cursor.column += static_cast<std::uint32_t>(p - si_cursor.read);
    si_cursor.read = p;
}

// Reads the arguments after the `(` through the `)`; false when the walk must take the call
// (the caller puts the input back). Blanks, names, commas and parentheses are read from the
// buffer; the lexer reads any other token, from its first byte.
bool read_arguments(const PpMacro *macro) {
    direct.used = 0;
    int count = 0;
    int depth = 1;
    ArgumentRun *run = &direct.arguments[0];
    *run = ArgumentRun{0, 0, TOKEN_NULL, TOKEN_NULL};
    unsigned char *p = si_cursor.read;
    unsigned char *taken = nullptr; // the last token read from the buffer, while it is the last
    CurrentToken token{};
    for (;;) {
        std::uint8_t spaced = 0;
        while (*p == ' ' || *p == '\t') {
            ++p;
            spaced = 1;
        }
        TokenKind kind;
        const unsigned char *text = p;
        std::uint32_t length = 1;
        switch (*p) {
        case ',': kind = TOKEN_COMMA; break;
        case '(': kind = TOKEN_LPAREN; break;
        case ')': kind = TOKEN_RPAREN; break;
        case '\n':
        case '\\': return false; // the call goes on over a line end: the walk's
        default: {
            unsigned char *end = p + 1;
            kind = TOKEN_NULL;
            if (name_bytes[*p] == 1) {
                while (name_bytes[*end] & 1) ++end;
                if (name_bytes[*end] == 2) {
                    kind = TOKEN_IDENTIFIER;
                    length = static_cast<std::uint32_t>(end - p);
                }
            } else if (*p >= '0' && *p <= '9') {
                kind = lex_number_at(p, &length);
                if (kind == ERROR_TOKEN) kind = TOKEN_NULL;
            }
            break;
        }
        }
        const std::uint32_t column =
            si_cursor.column + static_cast<std::uint32_t>(p - si_cursor.read);
        if (kind != TOKEN_NULL && column + length <= SI_MAX_COLUMN) {
            if (kind == TOKEN_IDENTIFIER && !names_no_macro(text, length)) return false;
            taken = p;
            p += length;
        } else {
            read_up_to(p);
            taken = nullptr;
            // Blanks after the end of the buffered data come here too.
            for (;;) {
                lex_token(&token.kind, &token.position);
                if (token.kind != TOKEN_OTHER_WHITESPACE && token.kind != TOKEN_HORIZ_WHITESPACE)
                    break;
                spaced = 1;
            }
            kind = token.kind;
            if (!lexeme_text(kind, &text, &length)) return false;
            p = si_cursor.read;
        }
        if (depth == 1 && (kind == TOKEN_COMMA || kind == TOKEN_RPAREN)) {
            ++count;
            if (kind == TOKEN_RPAREN) break;
            if (count == MAX_ARGUMENTS) return false;
            run = &direct.arguments[count];
            *run = ArgumentRun{direct.used, 0, TOKEN_NULL, TOKEN_NULL};
            continue;
        }
        if (kind == TOKEN_LPAREN) ++depth;
        if (kind == TOKEN_RPAREN) --depth;
        if (!add_argument_token(run, kind, spaced, text, length)) return false;
    }
    if (taken != nullptr) {
        // The `)` was read from the buffer: the mark stands at it, as the lexer leaves it.
        si_cursor.mark = taken;
        si_cursor.mark_line = si_cursor.line;
        si_cursor.mark_column =
            si_cursor.column + static_cast<std::uint32_t>(taken - si_cursor.read);
        si_cursor.lost = 0;
    }
    read_up_to(p);
    // Counts the walk answers with a message are left to it.
    if (macro->n_formals == 0) return count == 1 && run->length == 0;
    return count == macro->n_formals;
}

// ---- Writing ---------------------------------------------------------------------------------

// Writes tokens of the use at hand; the first written settles the blank owed, the marker and
// the joining of the expansion's start, the others only their own blank.
// The runs after the first are gathered and written together (pp_write_expanded_runs): their
// texts must stay where they are until then.
struct Writer {
    static constexpr std::uint32_t GATHERED = 64;
    bool started = false;
    std::uint32_t count = 0;
    PpExpandedRun runs[GATHERED];

    void write(TokenKind first, std::uint8_t spaced, const char *text, std::uint32_t length,
               TokenKind last) {
        if (started) {
            runs[count++] = PpExpandedRun{text, length, first, last, spaced};
            if (count == GATHERED) flush();
            return;
        }
        started = true;
        pp_write_expanded_text(direct.invocation, first, spaced, text, length, last);
    }

    void flush() {
        if (count != 0) pp_write_expanded_runs(runs, count);
        count = 0;
    }
};

void write_form(const PpMacro *macro) {
    Writer writer;
    const char *p = direct.forms + macro->direct_form;
    for (;;) {
        Piece piece;
        std::memcpy(&piece, p, sizeof piece);
        p += sizeof piece;
        switch (piece.kind) {
        case PIECE_TEXT:
            writer.write(static_cast<TokenKind>(piece.first), piece.spaced, p, piece.value,
                         static_cast<TokenKind>(piece.last));
            p += piece.value;
            break;
        case PIECE_ARGUMENT: {
            // An empty argument writes nothing; its formal's blank goes with it.
            const ArgumentRun &run = direct.arguments[piece.value - 1];
            if (run.length != 0)
                writer.write(run.first, piece.spaced, direct.bytes + run.offset, run.length,
                             run.last);
            break;
        }
        case PIECE_FILE: {
            const PpFileRecord *file = pp_file_top();
            TextHandle name = file != nullptr ? file->filename : TEXT_NULL;
            writer.write(TOKEN_STRINGCONST, piece.spaced, text_string(name), text_length(name),
                         TOKEN_STRINGCONST);
            break;
        }
        case PIECE_LINE: {
            const PpFileRecord *file = pp_file_top();
            char digits[24];
            char *end = digits + sizeof digits;
            const char *start = pp_format_number(static_cast<std::int64_t>(direct.invocation.line) +
                                                     (file != nullptr ? file->line_offset : 0),
                                                 end);
            writer.write(TOKEN_DECCONST, piece.spaced, start,
                         static_cast<std::uint32_t>(end - start), TOKEN_DECCONST);
            writer.flush(); // the digits are gone when this case ends
            break;
        }
        case PIECE_END: writer.flush(); return;
        }
    }
}

} // namespace

bool pp_expand_directly(PpMacro *macro, Position invocation) {
    // The lexer's traces show every token it reads; the first token of a file is its own.
    if (!qualifies(macro) || fe_get_flag(FE_FLAG_LEX_DEBUG) != 0 ||
        fe_get_flag(FE_FLAG_LEX_TRACE) != 0 || lex_rule_set() == LEX_FIRST_TOKEN_LEXER)
        return false;
    if (macro->n_formals >= 0) {
        // A position on a line wider than a column number holds could not be sought again.
        if (si_cursor.column >= 0xFFFF) return false;
        const Position start = si_current_position();
        if (!read_arguments(macro)) {
            si_seek(start);
            return false;
        }
    }
    direct.invocation = invocation;
    write_form(macro);
    pp_write_expansion_end();
    ++direct.expansions;
    return true;
}

std::uint64_t pp_direct_expansions() { return direct.expansions; }

void pp_macro_direct_reset() {
    // The forms' block went with the general pool, or goes on being used by the next run.
    const std::uint64_t expansions = direct.expansions;
    direct = DirectState{};
    direct.expansions = expansions;
}

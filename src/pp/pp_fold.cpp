// This file implements the folding of a Fortran line that expansion made longer than its form
// allows: the line is cut into pieces that each fit, written as continuation lines. Free form
// ends each piece but the last with `&` and starts each continuation with `&` (after the line's
// indentation), which continues a statement exactly at the next character, so a cut is exact
// anywhere, inside a character literal too. Fixed form puts `&` in column 6 of each
// continuation and the code from column 7; blanks outside literals mean nothing there, but a
// literal cut before the limit column would gain the blanks up to it, so a literal is only cut
// exactly at the limit. Cuts are made between tokens where one fits; a token longer than a
// piece is cut at the limit (still exact, for the reasons above). A trailing `!` comment does
// not count towards the limit and stays whole at the end of the last piece, or on a comment
// line of its own after it when it would reach past the limit.
#include <array>
#include <cstring>

#include "pp/pp_internal.h"

namespace {

// Letters, digits, `_`, `$`, `.` and `%` run together into one word: names, numbers with their
// decimal point, `.op.` operators and component selections are not cut. A quote counts as a
// word byte so that a kind prefix (`ck_'text'`) stays with its literal.
constexpr std::array<bool, 256> make_word_bytes() {
    std::array<bool, 256> bytes{};
    for (int c = 0; c < 256; ++c)
        bytes[static_cast<std::size_t>(c)] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                             (c >= '0' && c <= '9') || c == '_' || c == '$' ||
                                             c == '.' || c == '%' || c == '\'' || c == '"';
    return bytes;
}
constexpr std::array<bool, 256> word_bytes = make_word_bytes();

inline bool word_byte(unsigned char c) { return word_bytes[c]; }

inline bool blank(unsigned char c) { return c == ' ' || c == '\t'; }

// Whether a cut between `x` and `y`, outside a literal, falls between two tokens.
[[gnu::always_inline]] inline bool token_boundary(unsigned char x, unsigned char y) {
    if (blank(x) || blank(y)) return true;
    bool wx = word_byte(x);
    bool wy = word_byte(y);
    // A signed exponent (`1.e+05`) is one number.
    if (wx && !wy)
        return !((y == '+' || y == '-') && (x == 'e' || x == 'E' || x == 'd' || x == 'D'));
    if (wx != wy) return true;
    if (wx) return false;
    // Two operator bytes: only after `(` or `,` or before `)` or `,`, never inside `(/` or `/)`.
    if (x == '(' && y == '/') return false;
    if (x == '/' && y == ')') return false;
    return x == '(' || x == ',' || y == ')' || y == ',';
}

// The literal state between two bytes of the line, carried from one piece to the next.
struct LiteralState {
    unsigned char quote = 0;  // the quote of the open literal; 0 outside any
    bool pair_second = false; // the next byte is the second of a doubled quote
};

// Steps the state over byte i of `s` (length `n`); true when the position after it lies inside
// a literal (a cut there is a cut of the literal), false when it lies between tokens' bytes
// outside any. *no_cut is set where no cut may be made at all (between a doubled quote).
bool step(const char *s, std::uint32_t n, std::uint32_t i, LiteralState *state, bool *no_cut) {
    auto c = static_cast<unsigned char>(s[i]);
    *no_cut = false;
    if (state->pair_second) {
        state->pair_second = false;
        return true;
    }
    if (state->quote != 0) {
        if (c != state->quote) return true;
        if (i + 1 < n && static_cast<unsigned char>(s[i + 1]) == c) {
            state->pair_second = true;
            *no_cut = true;
            return true;
        }
        state->quote = 0;
        return false;
    }
    if (c == '\'' || c == '"') {
        state->quote = c;
        return true;
    }
    return false;
}

constexpr std::uint32_t NO_QUOTE = 0xFFFFFFFFU;

// The place of the first quote in s[from, to), `to` when there is none.
std::uint32_t next_quote(const char *s, std::uint32_t from, std::uint32_t to) {
    const auto *apostrophe = static_cast<const char *>(std::memchr(s + from, '\'', to - from));
    const auto *quote = static_cast<const char *>(std::memchr(s + from, '"', to - from));
    if (apostrophe == nullptr && quote == nullptr) return to;
    if (apostrophe == nullptr || (quote != nullptr && quote < apostrophe))
        return static_cast<std::uint32_t>(quote - s);
    return static_cast<std::uint32_t>(apostrophe - s);
}

// The place of the last quote in s[from, to), NO_QUOTE when there is none.
std::uint32_t last_quote_in(const char *s, std::uint32_t from, std::uint32_t to) {
    const auto *apostrophe = static_cast<const char *>(::memrchr(s + from, '\'', to - from));
    const auto *quote = static_cast<const char *>(::memrchr(s + from, '"', to - from));
    if (apostrophe == nullptr && quote == nullptr) return NO_QUOTE;
    if (apostrophe == nullptr || (quote != nullptr && quote > apostrophe))
        return static_cast<std::uint32_t>(quote - s);
    return static_cast<std::uint32_t>(apostrophe - s);
}

// Where the code of the line ends: the start of a trailing `!` comment outside literals (in
// fixed form not the continuation mark of column 6), then back over the blanks before it.
// *comment is that `!`, or n when the line has no comment (blanks may still end it).
std::uint32_t code_end(const char *s, std::uint32_t n, bool fixed, std::uint32_t *comment) {
    std::uint32_t end = n;
    // Most lines hold no `!` at all and are not walked.
    if (std::memchr(s, '!', n) != nullptr) {
        LiteralState state;
        bool no_cut = false;
        for (std::uint32_t i = 0; i < n; ++i) {
            bool was_outside = state.quote == 0 && !state.pair_second;
            step(s, n, i, &state, &no_cut);
            if (was_outside && s[i] == '!' && !(fixed && i == 5)) {
                end = i;
                break;
            }
        }
    }
    *comment = end;
    while (end > 0 && blank(static_cast<unsigned char>(s[end - 1]))) --end;
    return end;
}

// Whether the line is one folding leaves alone: it holds a newline (a multi-line comment was
// copied into it), a fixed-form line with a tab (its columns are the compiler's guess), a
// comment line, a directive sentinel line or a line marker.
bool left_alone(const char *s, std::uint32_t n, bool fixed) {
    if (std::memchr(s, '\n', n) != nullptr || (fixed && std::memchr(s, '\t', n) != nullptr))
        return true;
    if (fixed && (s[0] == 'C' || s[0] == 'c' || s[0] == '*')) return true;
    std::uint32_t i = 0;
    while (i < n && blank(static_cast<unsigned char>(s[i]))) ++i;
    return i == n || s[i] == '!' || s[i] == '#';
}

} // namespace

std::uint32_t pp_fold_line(const char *s, std::uint32_t n, bool fixed, std::int32_t limit,
                           PpFoldSink emit, void *context) {
    if (limit < 16 || n <= static_cast<std::uint32_t>(limit)) return 0;
    auto L = static_cast<std::uint32_t>(limit);
    if (left_alone(s, n, fixed)) return 0;
    std::uint32_t comment = n;
    std::uint32_t code = code_end(s, n, fixed, &comment);
    if (code <= L) return 0;

    // Free-form continuations keep the line's indentation (up to a quarter of the limit).
    std::uint32_t indent = 0;
    if (!fixed) {
        while (indent < n && s[indent] == ' ') ++indent;
        if (indent > L / 4) indent = L / 4;
    }
    static constexpr char blanks[] = "                                                  ";
    auto write_prefix = [&]() {
        if (fixed) {
            emit(context, "     &", 6);
            return;
        }
        for (std::uint32_t left = indent; left != 0;) {
            std::uint32_t k = left < sizeof blanks - 1 ? left : sizeof blanks - 1;
            emit(context, blanks, k);
            left -= k;
        }
        emit(context, "&", 1);
    };

    LiteralState state;
    std::uint32_t pos = 0;
    std::uint32_t added = 0;
    for (;;) {
        bool first = pos == 0;
        // The bytes of code this piece may hold, and the last piece's room.
        std::uint32_t room = fixed ? (first ? L : L - 6) : (first ? L - 1 : L - indent - 2);
        std::uint32_t last_room = fixed ? (first ? L : L - 6) : (first ? L : L - indent - 1);
        if (code - pos <= last_room) break;
        std::uint32_t limit_cut = pos + room;
        // Walks the piece, keeping the last place where a cut may be made.
        std::uint32_t best = 0;
        LiteralState best_state;
        LiteralState at_limit;
        LiteralState walk = state;
        // One place b: the byte before it stepped over, and b kept when a cut may be made there.
        auto step_place = [&](std::uint32_t b) {
            bool no_cut = false;
            bool inside = step(s, n, b - 1, &walk, &no_cut);
            if (b == limit_cut) at_limit = walk;
            bool allowed;
            if (no_cut)
                allowed = false;
            else if (inside)
                allowed = !fixed || b == limit_cut;
            else
                allowed = token_boundary(static_cast<unsigned char>(s[b - 1]),
                                         static_cast<unsigned char>(s[b]));
            if (fixed && first && b <= 6) allowed = false;
            if (allowed) {
                best = b;
                best_state = walk;
            }
        };
        // Steps over the places b in [from, to], keeping the last where a cut may be made. The
        // state changes only at quotes: between them a run of places is taken at once, by its
        // last place where a cut may be made.
        auto forward = [&](std::uint32_t from, std::uint32_t to) {
            std::uint32_t b = from;
            while (b <= to) {
                if (walk.pair_second) {
                    step_place(b++);
                    continue;
                }
                // The places whose byte before them changes nothing: up to the next quote
                // (outside a literal) or the next byte of its own quote (inside one).
                std::uint32_t e = b;
                if (walk.quote == 0) {
                    e = next_quote(s, b - 1, to) + 1;
                } else {
                    const void *q = std::memchr(s + b - 1, walk.quote, to - (b - 1));
                    e = q != nullptr
                            ? static_cast<std::uint32_t>(static_cast<const char *>(q) - s) + 1
                            : to + 1;
                }
                // Places b .. e - 1 keep the state.
                if (e > b) {
                    const std::uint32_t last = e - 1;
                    if (limit_cut >= b && limit_cut <= last) at_limit = walk;
                    std::uint32_t found = 0;
                    if (walk.quote == 0) {
                        for (std::uint32_t c = last; c >= b; --c) {
                            if (token_boundary(static_cast<unsigned char>(s[c - 1]),
                                               static_cast<unsigned char>(s[c]))) {
                                found = c;
                                break;
                            }
                        }
                    } else if (!fixed) {
                        found = last;
                    } else if (limit_cut >= b && limit_cut <= last) {
                        found = limit_cut;
                    }
                    // (Every place of a run up to `found` is at most 6 when `found` is.)
                    if (found != 0 && !(fixed && first && found <= 6)) {
                        best = found;
                        best_state = walk;
                    }
                    b = e;
                }
                if (b <= to) step_place(b++); // the place after a quote byte
            }
        };
        // Only quotes change the literal state, so the bytes up to the piece's last quote are
        // stepped over one by one and the rest, all on one side of a literal, is not.
        std::uint32_t tail = pos + 1; // the first place after the last quote
        std::uint32_t last_quote = last_quote_in(s, pos, limit_cut);
        if (last_quote != NO_QUOTE) {
            forward(pos + 1, last_quote + 1);
            tail = last_quote + 2;
        }
        if (tail <= limit_cut) {
            at_limit = walk;
            if (walk.quote != 0) {
                // Inside a literal with no quote up to the limit: a cut is allowed at the limit
                // in both forms (and anywhere before it in free form), so the limit is the last.
                best = limit_cut;
                best_state = walk;
            } else {
                // Outside any literal: the last boundary between tokens, walking back from
                // the limit.
                for (std::uint32_t b = limit_cut; b >= tail; --b) {
                    if (fixed && first && b <= 6) break;
                    if (token_boundary(static_cast<unsigned char>(s[b - 1]),
                                       static_cast<unsigned char>(s[b]))) {
                        best = b;
                        best_state = walk;
                        break;
                    }
                }
            }
        }
        if (best == 0) {
            // One token longer than the room: cut at the limit. A doubled quote is never split:
            // its pair is then one byte earlier.
            best = limit_cut;
            best_state = at_limit;
            if (best_state.pair_second) {
                --best;
                best_state.pair_second = false;
            }
        }
        if (!first) write_prefix();
        emit(context, s + pos, best - pos);
        if (fixed)
            emit(context, "\n", 1);
        else
            emit(context, "&\n", 2);
        ++added;
        pos = best;
        state = best_state;
    }
    if (added == 0) return 0;
    write_prefix();
    // A comment that would reach past the limit goes whole on a line of its own after the
    // statement: compilers that look for the truncated part's `!` without knowing that the
    // line began inside a literal would take it for code.
    std::uint32_t prefix = fixed ? 6 : indent + 1;
    // Blanks that end a line without a comment (in a literal left open) stay on the last piece.
    if (comment < n && prefix + (n - pos) > L) {
        emit(context, s + pos, code - pos);
        emit(context, "\n", 1);
        for (std::uint32_t left = fixed ? 6 : indent; left != 0;) {
            std::uint32_t k = left < sizeof blanks - 1 ? left : sizeof blanks - 1;
            emit(context, blanks, k);
            left -= k;
        }
        emit(context, s + comment, n - comment);
        return added + 1;
    }
    emit(context, s + pos, n - pos);
    return added;
}

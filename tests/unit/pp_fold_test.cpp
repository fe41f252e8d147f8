// Folding of long Fortran lines: every piece fits, the pieces join back into the line exactly,
// cuts fall where the form allows them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pp/pp_internal.h"

namespace {

void collect(void *context, const char *bytes, std::uint32_t length) {
    static_cast<std::string *>(context)->append(bytes, length);
}

struct Folded {
    std::uint32_t added = 0;
    std::vector<std::string> lines;
};

Folded fold(const std::string &line, bool fixed, int limit) {
    std::string text;
    Folded result;
    result.added = pp_fold_line(line.data(), static_cast<std::uint32_t>(line.size()), fixed, limit,
                                collect, &text);
    if (result.added == 0) {
        EXPECT_TRUE(text.empty()) << "nothing is written for a line left alone";
        return result;
    }
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        result.lines.push_back(text.substr(start, nl - start));
    result.lines.push_back(text.substr(start));
    EXPECT_EQ(result.lines.size(), result.added + 1);
    return result;
}

// The statement the compiler reads from the pieces: free form drops the `&` at the end and
// everything up to the `&` at the start; fixed form drops columns 1-6 of the continuations.
std::string join(const Folded &f, bool fixed) {
    std::string joined;
    for (std::size_t i = 0; i < f.lines.size(); ++i) {
        std::string piece = f.lines[i];
        bool last = i + 1 == f.lines.size();
        if (fixed) {
            if (i != 0) {
                EXPECT_EQ(piece.substr(0, 6), "     &");
                piece = piece.substr(6);
            }
        } else {
            if (i != 0) {
                std::size_t amp = piece.find_first_not_of(' ');
                EXPECT_EQ(piece[amp], '&');
                piece = piece.substr(amp + 1);
            }
            if (!last) {
                EXPECT_EQ(piece.back(), '&');
                piece.pop_back();
            }
        }
        joined += piece;
    }
    return joined;
}

// The length of a piece without its trailing `!` comment (outside literals).
std::size_t code_length(const std::string &piece, bool fixed) {
    char quote = 0;
    for (std::size_t i = 0; i < piece.size(); ++i) {
        char c = piece[i];
        if (quote != 0) {
            if (c == quote) quote = 0; // a doubled quote closes and reopens
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '!' && !(fixed && i == 5)) {
            std::size_t end = i;
            while (end > 0 && piece[end - 1] == ' ') --end;
            return end;
        }
    }
    return piece.size();
}

TEST(PpFold, FreeFormPiecesFitAndJoinExactly) {
    std::string line = "  x = " + std::string(60, 'a') + " + " + std::string(60, 'b') + " * " +
                       std::string(60, 'c') + " ! a comment that stays whole";
    Folded f = fold(line, false, 132);
    ASSERT_EQ(f.added, 1u);
    EXPECT_EQ(f.lines[0], "  x = " + std::string(60, 'a') + " + " + std::string(60, 'b') + " *&");
    EXPECT_EQ(f.lines[1], "  & " + std::string(60, 'c') + " ! a comment that stays whole");
    EXPECT_EQ(join(f, false), line);
}

TEST(PpFold, LinesThatFitOrAreNotCodeAreLeftAlone) {
    std::string comment = " ! " + std::string(200, 'x');
    EXPECT_EQ(fold("  x = 1" + comment, false, 132).added, 0u) << "the comment does not count";
    EXPECT_EQ(fold("!" + std::string(200, 'x'), false, 132).added, 0u);
    EXPECT_EQ(fold("!$omp parallel " + std::string(200, 'x'), false, 132).added, 0u);
    EXPECT_EQ(fold("C" + std::string(200, 'x'), true, 72).added, 0u);
    EXPECT_EQ(fold("# 12 \"" + std::string(200, 'x') + "\"", false, 132).added, 0u);
    EXPECT_EQ(fold("      x = \t" + std::string(200, 'x'), true, 72).added, 0u);
    EXPECT_EQ(fold(std::string(132, 'y'), false, 132).added, 0u);
    EXPECT_EQ(fold(std::string(73, 'y'), true, 73).added, 0u);
}

TEST(PpFold, LiteralsAreCutAtTheLimitInFixedFormAndAnywhereInFreeForm) {
    std::string fixed_line = "      s = '" + std::string(100, 'q') + "'";
    Folded f = fold(fixed_line, true, 72);
    ASSERT_EQ(f.added, 1u);
    EXPECT_EQ(f.lines[0].size(), 72u) << "a literal is cut exactly at the limit";
    EXPECT_EQ(join(f, true), fixed_line);

    std::string free_line = "s = 'it''s " + std::string(200, 'q') + "' // 'x'";
    f = fold(free_line, false, 132);
    ASSERT_GE(f.added, 1u);
    EXPECT_EQ(join(f, false), free_line);
    for (const std::string &piece : f.lines) EXPECT_LE(piece.size(), 132u);
}

TEST(PpFold, ADoubledQuoteIsNeverSplit) {
    // The limit falls between the two quotes of `''`: the cut moves one byte back.
    for (int limit = 20; limit < 40; ++limit) {
        std::string line = "s = '" + std::string(static_cast<std::size_t>(limit) - 6, 'q') + "''" +
                           std::string(100, 'r') + "'";
        Folded f = fold(line, false, limit);
        ASSERT_GE(f.added, 1u);
        for (std::size_t i = 0; i + 1 < f.lines.size(); ++i) {
            const std::string &piece = f.lines[i];
            ASSERT_GE(piece.size(), 2u);
            bool split_pair = piece[piece.size() - 2] == '\'' &&
                              f.lines[i + 1].find_first_not_of(' ') != std::string::npos &&
                              f.lines[i + 1][f.lines[i + 1].find('&') + 1] == '\'' &&
                              piece.size() >= 3 && piece[piece.size() - 3] != '\'';
            EXPECT_FALSE(split_pair) << piece;
        }
        EXPECT_EQ(join(f, false), line) << limit;
    }
}

// A line that ends in a literal left open and blanks has no comment: the blanks stay on the
// last piece, and nothing after the line is read (the bytes behind it here hold an `X`).
TEST(PpFold, BlanksEndingALineWithoutCommentStayOnItsLastPiece) {
    struct Sink {
        std::string text;
        bool huge = false;
    };
    auto sink = [](void *context, const char *bytes, std::uint32_t length) {
        auto *out = static_cast<Sink *>(context);
        if (length > (1U << 20))
            out->huge = true;
        else
            out->text.append(bytes, length);
    };
    for (bool fixed : {true, false}) {
        // The long name goes whole on a continuation line, which the literal's blank then
        // takes past the limit.
        int limit = fixed ? 72 : 132;
        std::string line = (fixed ? "      call s(" : "  call s(") +
                           std::string(fixed ? 60 : 125, 'x') + ") 'abc ";
        std::string buffer = line + "  X" + std::string(40, ' ');
        Sink out;
        std::uint32_t added = pp_fold_line(buffer.data(), static_cast<std::uint32_t>(line.size()),
                                           fixed, limit, sink, &out);
        EXPECT_FALSE(out.huge);
        EXPECT_EQ(out.text.find('X'), std::string::npos) << out.text;
        ASSERT_GT(added, 0U);
        Folded f;
        f.added = added;
        std::size_t start = 0;
        for (std::size_t nl; (nl = out.text.find('\n', start)) != std::string::npos; start = nl + 1)
            f.lines.push_back(out.text.substr(start, nl - start));
        f.lines.push_back(out.text.substr(start));
        EXPECT_EQ(f.lines.size(), added + 1) << "no line of its own for a comment there is not";
        EXPECT_EQ(join(f, fixed), line);
    }
}

// ---- The cuts against a model that looks at every place of the line ------------------------

// Where each piece the folding wrote starts, as offsets into the line (the sink is handed
// pointers into it for the line's own bytes).
struct Starts {
    const char *line;
    std::size_t length;
    std::vector<std::size_t> offsets;
};

void note_start(void *context, const char *bytes, std::uint32_t) {
    auto *starts = static_cast<Starts *>(context);
    if (bytes >= starts->line && bytes < starts->line + starts->length)
        starts->offsets.push_back(static_cast<std::size_t>(bytes - starts->line));
}

bool word(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr("_$.%'\"", c) != nullptr;
}

// A cut between x and y outside literals: at a blank, between a word and an operator (not inside
// a signed exponent), between two operators only next to `(`, `)` or `,` (not `(/`, `/)`).
bool model_boundary(char x, char y) {
    if (x == ' ' || x == '\t' || y == ' ' || y == '\t') return true;
    if (word(x) && !word(y)) return !((y == '+' || y == '-') && std::strchr("eEdD", x) != nullptr);
    if (word(x) || word(y)) return !(word(x) && word(y));
    if ((x == '(' && y == '/') || (x == '/' && y == ')')) return false;
    return x == '(' || x == ',' || y == ')' || y == ',';
}

// The cuts the folding must make: each piece ends at the last place up to its limit where a cut
// is allowed, found by looking at every place, with the literal state of every place worked out
// first from the start of the line.
std::vector<std::size_t> model_cuts(const std::string &s, bool fixed, std::size_t limit) {
    std::size_t n = s.size();
    std::vector<char> inside(n + 1, 0), no_cut(n + 1, 0), pair(n + 1, 0);
    char quote = 0;
    bool second = false;
    std::size_t code = n;
    for (std::size_t i = 0; i < n; ++i) {
        char c = s[i];
        if (code == n && quote == 0 && !second && c == '!' && !(fixed && i == 5)) code = i;
        if (second) {
            second = false;
            inside[i + 1] = 1;
        } else if (quote != 0 && c == quote && i + 1 < n && s[i + 1] == c) {
            second = true;
            inside[i + 1] = no_cut[i + 1] = pair[i + 1] = 1;
        } else if (quote != 0) {
            inside[i + 1] = c != quote;
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inside[i + 1] = 1;
        }
    }
    while (code > 0 && s[code - 1] == ' ') --code;
    std::vector<std::size_t> cuts;
    if (code <= limit) return cuts;
    std::size_t indent = 0;
    if (!fixed) {
        while (s[indent] == ' ') ++indent;
        indent = std::min(indent, limit / 4);
    }
    for (std::size_t pos = 0;;) {
        bool first = pos == 0;
        std::size_t room =
            fixed ? (first ? limit : limit - 6) : (first ? limit - 1 : limit - indent - 2);
        std::size_t last_room = fixed ? room : room + 1;
        if (code - pos <= last_room) return cuts;
        std::size_t end = pos + room;
        std::size_t best = 0;
        for (std::size_t b = pos + 1; b <= end; ++b) {
            bool allowed = no_cut[b] != 0   ? false
                           : inside[b] != 0 ? !fixed || b == end
                                            : model_boundary(s[b - 1], s[b]);
            if (allowed && !(fixed && first && b <= 6)) best = b;
        }
        if (best == 0) best = pair[end] != 0 ? end - 1 : end;
        cuts.push_back(best);
        pos = best;
    }
}

// Lines of words, operators and literals (doubled quotes, literals that span pieces, `!` and
// `//` inside literals), some with a trailing comment, folded in both forms at many limits:
// the folding cuts where the model does.
TEST(PpFold, CutsAreTheLastPlacesTheFormAllows) {
    std::mt19937 random(7);
    const char *words[] = {
        "alpha",     "b",      "12",
        "1.e+05",    ".and.",  "x%y",
        "(",         ")",      ",",
        "**",        "+",      "==",
        "'lit''s'",  "\"dq\"", "(/",
        "/)",        "//",     " ",
        "''''",      "''",     "'a long literal, with blanks and ! and // in it'",
        "\"q\"\"q\""};
    int folded = 0;
    for (int round = 0; round < 4000; ++round) {
        bool fixed = round % 2 == 0;
        std::size_t limit = 16 + random() % 120;
        std::string line = fixed ? "      " : std::string(random() % 12, ' ');
        std::size_t count = 5 + random() % 60;
        for (std::size_t i = 0; i < count; ++i) line += words[random() % std::size(words)];
        if (random() % 3 == 0) line += " ! note 'it' " + std::string(random() % 30, 'n');
        Starts starts{line.data(), line.size(), {}};
        pp_fold_line(line.data(), static_cast<std::uint32_t>(line.size()), fixed,
                     static_cast<std::int32_t>(limit), note_start, &starts);
        std::vector<std::size_t> want = model_cuts(line, fixed, limit);
        // The pieces start at 0 and at each cut; a comment moved to a line of its own starts
        // after the code, where no cut is.
        std::size_t code = code_length(line, fixed);
        std::vector<std::size_t> got;
        for (std::size_t offset : starts.offsets)
            if (offset != 0 && offset < code) got.push_back(offset);
        EXPECT_EQ(got, want) << (fixed ? "fixed " : "free ") << limit << ": " << line;
        if (!want.empty()) ++folded;
    }
    EXPECT_GT(folded, 1000) << "most lines are long enough to fold";
}

TEST(PpFold, RandomLinesFoldWithinTheLimitAndJoinBack) {
    std::mt19937 random(18);
    const char *words[] = {"alpha", "b", "12", "3.5e+10",  ".and.",  "x%y", "(",  ")",  ",",
                           "**",    "+", "==", "'lit''s'", "\"dq\"", "(/",  "/)", "//", " "};
    for (int round = 0; round < 2000; ++round) {
        bool fixed = round % 2 == 0;
        int limit = fixed ? (round % 4 == 0 ? 72 : 132) : 16 + static_cast<int>(random() % 140);
        std::string line = fixed ? "      " : std::string(random() % 12, ' ');
        std::size_t count = 5 + random() % 80;
        for (std::size_t i = 0; i < count; ++i) line += words[random() % std::size(words)];
        if (random() % 3 == 0) line += " ! note 'it' " + std::string(random() % 50, 'n');
        Folded f = fold(line, fixed, limit);
        if (f.added == 0) {
            EXPECT_LE(code_length(line, fixed), static_cast<std::size_t>(limit)) << line;
            continue;
        }
        // Only the last piece holds the comment, which does not count; a comment that would
        // reach past the limit is a line of its own after it.
        std::size_t comment = line.size() - code_length(line, fixed);
        std::string last = f.lines.back();
        std::size_t first = last.find_first_not_of(' ');
        if (first != std::string::npos && last[first] == '!') {
            std::size_t bang = code_length(line, fixed);
            while (line[bang] == ' ') ++bang;
            EXPECT_EQ(last.substr(first), line.substr(bang)) << "the comment stays whole";
            f.lines.pop_back();
            EXPECT_GT(f.lines.back().size() + line.size() - bang + 1,
                      static_cast<std::size_t>(limit))
                << "a comment that fits stays on the last piece";
            EXPECT_EQ(join(f, fixed), line.substr(0, code_length(line, fixed))) << line;
            comment = 0;
        } else {
            EXPECT_EQ(join(f, fixed), line) << line;
        }
        for (std::size_t i = 0; i < f.lines.size(); ++i) {
            std::size_t length = f.lines[i].size() - (i + 1 == f.lines.size() ? comment : 0);
            EXPECT_LE(length, static_cast<std::size_t>(limit)) << limit << ": " << f.lines[i];
        }
    }
}

} // namespace

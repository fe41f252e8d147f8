// Folding of long Fortran lines: every piece fits, the pieces join back into the line exactly,
// cuts fall where the form allows them.
#include <gtest/gtest.h>

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

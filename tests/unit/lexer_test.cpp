// Tests of the token table and the lexer: lexemes of every rule with their kinds and lengths,
// tokens across the stream's ring and longer than it, back-up after a refill, positions, the
// traces, and a property test over random input.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lexer/lexer.h"
#include "lexer/token.h"
#include "si/si.h"
#include "text/text.h"
#include "toolkit_fixture.h"

namespace {

struct Lexeme {
    TokenKind kind;
    std::string text;
    Position position;
};

// Makes `\n` and bytes outside the printable range visible in failure output.
std::string visible(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 32 || c >= 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

struct Expected {
    TokenKind kind;
    std::size_t length;
};

struct Case {
    std::string input;
    std::vector<Expected> tokens; // END-OF-FILE is implied at the end
};

class LexerTest : public ToolkitTest {
  protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        lex_initialize();
        char dir_template[] = "/tmp/tfpp_lexer_XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
    }
    void TearDown() override {
        while (si_stream_depth() > 0) si_close_stream();
        for (const std::string &f : files_) std::remove(f.c_str());
        rmdir(dir_.c_str());
        fe_set_flag(FE_FLAG_LEX_DEBUG, 0);
        fe_set_flag(FE_FLAG_LEX_TRACE, 0);
        fe_set_trace_stream(stdout);
        lex_finalize();
        ToolkitTest::TearDown();
    }

    // Writes `content` to a fresh file and makes it the current stream.
    std::string open_input(const std::string &content) {
        std::string path = dir_ + "/in" + std::to_string(files_.size()) + ".F";
        files_.push_back(path);
        std::FILE *f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        StreamHandle handle{};
        EXPECT_EQ(si_find_stream(path.c_str(), &handle), 0);
        EXPECT_EQ(si_open_stream(handle), 0);
        return path;
    }

    // Every lexeme of `content` up to and including END-OF-FILE.
    std::vector<Lexeme> lex_all(const std::string &content, LexRuleSet rule_set = LEX_MAIN_LEXER) {
        open_input(content);
        lex_set_rule_set(rule_set);
        std::vector<Lexeme> out;
        for (std::size_t guard = 0; guard <= content.size() + 1; ++guard) {
            Lexeme l;
            lex_token(&l.kind, &l.position);
            l.text.assign(reinterpret_cast<const char *>(si_mark_text()), si_mark_length());
            out.push_back(l);
            if (l.kind == TOKEN_END_OF_FILE) break;
        }
        si_close_stream();
        lex_set_rule_set(LEX_MAIN_LEXER);
        return out;
    }

    // Lexes each case's input with main_lexer and compares kinds and lengths.
    void check_cases(const std::vector<Case> &cases) {
        for (const Case &c : cases) {
            std::vector<Lexeme> got = lex_all(c.input);
            std::string want_text, got_text;
            for (const Expected &e : c.tokens)
                want_text +=
                    std::string(token_kind_name(e.kind)) + "/" + std::to_string(e.length) + " ";
            for (const Lexeme &l : got)
                if (l.kind != TOKEN_END_OF_FILE)
                    got_text += std::string(token_kind_name(l.kind)) + "/" +
                                std::to_string(l.text.size()) + " ";
            EXPECT_EQ(got_text, want_text) << "input \"" << visible(c.input) << "\"";
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.back().kind, TOKEN_END_OF_FILE) << "input \"" << visible(c.input) << "\"";
        }
    }

    std::string dir_;
    std::vector<std::string> files_;
};

// ---- Table-driven lexemes -----------------------------------------------------------------

struct Punctuator {
    const char *spelling;
    TokenKind kind;
};

const std::vector<Punctuator> punctuators = {
    {"&", TOKEN_AMP},       {"&&", TOKEN_AMPAMP},      {"&=", TOKEN_AMPEQ},
    {"|", TOKEN_BAR},       {"||", TOKEN_BARBAR},      {"|=", TOKEN_BAREQ},
    {":", TOKEN_COLON},     {",", TOKEN_COMMA},        {"-", TOKEN_DASH},
    {"--", TOKEN_DASHDASH}, {"-=", TOKEN_DASHEQ},      {"->", TOKEN_DASHGT},
    {".", TOKEN_DOT},       {"...", TOKEN_ELLIPSIS},   {"=", TOKEN_EQ},
    {"==", TOKEN_EQEQ},     {"!", TOKEN_EXCL},         {"!=", TOKEN_EXCLEQ},
    {">", TOKEN_GT},        {">=", TOKEN_GTEQ},        {">>", TOKEN_GTGT},
    {">>=", TOKEN_GTGTEQ},  {"{", TOKEN_LBRACE},       {"[", TOKEN_LBRACK},
    {"(", TOKEN_LPAREN},    {"<", TOKEN_LT},           {"<=", TOKEN_LTEQ},
    {"<<", TOKEN_LTLT},     {"<<=", TOKEN_LTLTEQ},     {"%", TOKEN_PCT},
    {"%=", TOKEN_PCTEQ},    {"+", TOKEN_PLUS},         {"+=", TOKEN_PLUSEQ},
    {"++", TOKEN_PLUSPLUS}, {"?", TOKEN_QUESTION},     {"}", TOKEN_RBRACE},
    {"]", TOKEN_RBRACK},    {")", TOKEN_RPAREN},       {";", TOKEN_SEMICOLON},
    {"/", TOKEN_SLASH},     {"/=", TOKEN_SLASHEQ},     {"*", TOKEN_STAR},
    {"*=", TOKEN_STAREQ},   {"~", TOKEN_TILDE},        {"^", TOKEN_UP},
    {"^=", TOKEN_UPEQ},     {"#", TOKEN_SHARP},        {"##", TOKEN_SHARP_SHARP},
    {"/*", TOKEN_COMMENT},  {"//", TOKEN_BOL_COMMENT},
};

TEST_F(LexerTest, PunctuatorsPlain) {
    std::vector<Case> cases;
    for (const Punctuator &p : punctuators)
        cases.push_back({p.spelling, {{p.kind, std::strlen(p.spelling)}}});
    // Followed by a letter, so that the longest match has to stop inside the table.
    for (const Punctuator &p : punctuators)
        cases.push_back({std::string(p.spelling) + "x",
                         {{p.kind, std::strlen(p.spelling)}, {TOKEN_IDENTIFIER, 1}}});
    check_cases(cases);
}

TEST_F(LexerTest, PunctuatorsWithTrigraphs) {
    const std::vector<Case> cases = {
        {"?\?=", {{TOKEN_SHARP, 3}}},
        {"?\?=?\?=", {{TOKEN_SHARP_SHARP, 6}}},
        {"#?\?=", {{TOKEN_SHARP_SHARP, 4}}},
        {"?\?=#", {{TOKEN_SHARP_SHARP, 4}}},
        {"?\?(", {{TOKEN_LBRACK, 3}}},
        {"?\?)", {{TOKEN_RBRACK, 3}}},
        {"?\?<", {{TOKEN_LBRACE, 3}}},
        {"?\?>", {{TOKEN_RBRACE, 3}}},
        {"?\?!", {{TOKEN_BAR, 3}}},
        {"?\?!?\?!", {{TOKEN_BARBAR, 6}}},
        {"|?\?!", {{TOKEN_BARBAR, 4}}},
        {"?\?!|", {{TOKEN_BARBAR, 4}}},
        {"?\?!=", {{TOKEN_BAREQ, 4}}},
        {"?\?'", {{TOKEN_UP, 3}}},
        {"?\?'=", {{TOKEN_UPEQ, 4}}},
        {"?\?-", {{TOKEN_TILDE, 3}}},
        // A question mark that starts no trigraph.
        {"?\?", {{TOKEN_QUESTION, 1}, {TOKEN_QUESTION, 1}}},
        {"?\?x", {{TOKEN_QUESTION, 1}, {TOKEN_QUESTION, 1}, {TOKEN_IDENTIFIER, 1}}},
        {"?\?\?=", {{TOKEN_QUESTION, 1}, {TOKEN_SHARP, 3}}},
        {"?=", {{TOKEN_QUESTION, 1}, {TOKEN_EQ, 1}}},
        // No continuation inside a trigraph itself.
        {"?\?\\\n=",
         {{TOKEN_QUESTION, 1}, {TOKEN_QUESTION, 1}, {TOKEN_BSLASH_NL, 2}, {TOKEN_EQ, 1}}},
    };
    check_cases(cases);
}

TEST_F(LexerTest, PunctuatorsWithContinuationsInside) {
    std::vector<Case> cases;
    for (const Punctuator &p : punctuators) {
        std::string s = p.spelling;
        if (s.size() < 2 || s == "//") continue;
        for (std::size_t cut = 1; cut < s.size(); ++cut) {
            for (const char *cont : {"\\\n", "?\?/\n", "\\\n\\\n"}) {
                std::string in = s.substr(0, cut) + cont + s.substr(cut);
                cases.push_back({in, {{p.kind, in.size()}}});
            }
        }
    }
    // A continuation after a complete punctuator is not part of it.
    cases.push_back({"+\\\n3", {{TOKEN_PLUS, 1}, {TOKEN_BSLASH_NL, 2}, {TOKEN_DECCONST, 1}}});
    cases.push_back({"/\\\n/", {{TOKEN_SLASH, 1}, {TOKEN_BSLASH_NL, 2}, {TOKEN_SLASH, 1}}});
    cases.push_back({"#?\?/\n?\?=", {{TOKEN_SHARP_SHARP, 8}}});
    cases.push_back(
        {".\\\n.x", {{TOKEN_DOT, 1}, {TOKEN_BSLASH_NL, 2}, {TOKEN_DOT, 1}, {TOKEN_IDENTIFIER, 1}}});
    check_cases(cases);
}

TEST_F(LexerTest, Identifiers) {
    const std::vector<Case> cases = {
        {"abc", {{TOKEN_IDENTIFIER, 3}}},
        {"abc+", {{TOKEN_IDENTIFIER, 3}, {TOKEN_PLUS, 1}}},
        {"_x9Z", {{TOKEN_IDENTIFIER, 4}}},
        {"while", {{TOKEN_IDENTIFIER, 5}}}, // keywords are identifiers
        {"L", {{TOKEN_IDENTIFIER, 1}}},
        {"Lx'", {{TOKEN_IDENTIFIER, 2}, {ERROR_TOKEN, 1}}},
        {"a$b", {{TOKEN_IDENTIFIER_DOL, 3}}},
        {"$", {{TOKEN_IDENTIFIER_DOL, 1}}},
        {"$a1", {{TOKEN_IDENTIFIER_DOL, 3}}},
        {"ab$", {{TOKEN_IDENTIFIER_DOL, 3}}},
        {"a\\\nb", {{TOKEN_IDENTIFIER_BNL, 4}}},
        {"a?\?/\nb", {{TOKEN_IDENTIFIER_BNL, 6}}},
        {"a\\\n\\\nb", {{TOKEN_IDENTIFIER_BNL, 6}}},
        {"a\\\n", {{TOKEN_IDENTIFIER_BNL, 3}}}, // a continuation at the very end
        {"ab\\\n c",
         {{TOKEN_IDENTIFIER_BNL, 4}, {TOKEN_HORIZ_WHITESPACE, 1}, {TOKEN_IDENTIFIER, 1}}},
        {"a$\\\nb", {{TOKEN_IDENTIFIER_DOL, 5}}},
        {"a\\\n$", {{TOKEN_IDENTIFIER_DOL, 4}}},
        {"$\\\n", {{TOKEN_IDENTIFIER_DOL, 3}}},
        {"a\\b", {{TOKEN_IDENTIFIER, 1}, {ERROR_TOKEN, 1}, {TOKEN_IDENTIFIER, 1}}},
        {"\\\na", {{TOKEN_BSLASH_NL, 2}, {TOKEN_IDENTIFIER, 1}}},
    };
    check_cases(cases);
}

TEST_F(LexerTest, Numbers) {
    const std::vector<Case> cases = {
        {"7", {{TOKEN_DECCONST, 1}}},
        {"123456789", {{TOKEN_DECCONST, 9}}},
        {"12u", {{TOKEN_DECCONST, 3}}},
        {"12ul", {{TOKEN_DECCONST, 4}}},
        {"12LU", {{TOKEN_DECCONST, 4}}},
        {"12lU", {{TOKEN_DECCONST, 4}}},
        {"0", {{TOKEN_OCTCONST, 1}}},
        {"017", {{TOKEN_OCTCONST, 3}}},
        {"0u", {{TOKEN_OCTCONST, 2}}},
        {"07L", {{TOKEN_OCTCONST, 3}}},
        {"0x1F", {{TOKEN_HEXCONST, 4}}},
        {"0XabUL", {{TOKEN_HEXCONST, 6}}},
        {"0x1e5", {{TOKEN_HEXCONST, 5}}},
        {"0xdead", {{TOKEN_HEXCONST, 6}}},
        {"1.", {{TOKEN_FLOATCONST, 2}}},
        {".5", {{TOKEN_FLOATCONST, 2}}},
        {"1.5", {{TOKEN_FLOATCONST, 3}}},
        {"1.5f", {{TOKEN_FLOATCONST, 4}}},
        {"1e5", {{TOKEN_FLOATCONST, 3}}},
        {"1e+5", {{TOKEN_FLOATCONST, 4}}},
        {"1E-5L", {{TOKEN_FLOATCONST, 5}}},
        {"09.5", {{TOKEN_FLOATCONST, 4}}},
        {"0e5", {{TOKEN_FLOATCONST, 3}}},
        {"1.e5F", {{TOKEN_FLOATCONST, 5}}},
        {".5e-3l", {{TOKEN_FLOATCONST, 6}}},
        {"89.", {{TOKEN_FLOATCONST, 3}}},
        // Every other pp-number.
        {"08", {{TOKEN_PPNUM, 2}}},
        {"0x", {{TOKEN_PPNUM, 2}}},
        {"1e", {{TOKEN_PPNUM, 2}}},
        {"1e+", {{TOKEN_PPNUM, 3}}},
        {"12ll", {{TOKEN_PPNUM, 4}}},
        {"12uu", {{TOKEN_PPNUM, 4}}},
        {"1.2.3", {{TOKEN_PPNUM, 5}}},
        {"0x1.5", {{TOKEN_PPNUM, 5}}},
        {"1.5fl", {{TOKEN_PPNUM, 5}}},
        {"123abc", {{TOKEN_PPNUM, 6}}},
        {"0x1p3", {{TOKEN_PPNUM, 5}}},
        {"0x1e+5", {{TOKEN_PPNUM, 6}}},
        {"1.5e", {{TOKEN_PPNUM, 4}}},
        {"1e+a", {{TOKEN_PPNUM, 4}}},
        {"1_0", {{TOKEN_PPNUM, 3}}},
        {"0x1p+3", {{TOKEN_PPNUM, 4}, {TOKEN_PLUS, 1}, {TOKEN_DECCONST, 1}}},
        {"1$", {{TOKEN_DECCONST, 1}, {TOKEN_IDENTIFIER_DOL, 1}}},
        // Where numbers end.
        {"1+2", {{TOKEN_DECCONST, 1}, {TOKEN_PLUS, 1}, {TOKEN_DECCONST, 1}}},
        {"..5", {{TOKEN_DOT, 1}, {TOKEN_FLOATCONST, 2}}},
        {"..x", {{TOKEN_DOT, 1}, {TOKEN_DOT, 1}, {TOKEN_IDENTIFIER, 1}}},
        {"....", {{TOKEN_ELLIPSIS, 3}, {TOKEN_DOT, 1}}},
        {"1..2", {{TOKEN_PPNUM, 4}}},
        // With continuations inside, also at the end.
        {"1\\\n2", {{TOKEN_DECCONST_BNL, 4}}},
        {"1\\\n", {{TOKEN_DECCONST_BNL, 3}}},
        {"0\\\n7", {{TOKEN_OCTCONST_BNL, 4}}},
        {"0x\\\n1", {{TOKEN_HEXCONST_BNL, 5}}},
        {"1.\\\n5", {{TOKEN_FLOATCONST_BNL, 5}}},
        {".\\\n5", {{TOKEN_FLOATCONST_BNL, 4}}},
        {"1e\\\n+", {{TOKEN_PPNUM_BNL, 5}}},
        {"08?\?/\n9", {{TOKEN_PPNUM_BNL, 7}}},
    };
    check_cases(cases);
}

TEST_F(LexerTest, CharacterAndStringConstants) {
    const std::vector<Case> cases = {
        {"'a'", {{TOKEN_CHARCONST, 3}}},
        {"''", {{TOKEN_CHARCONST, 2}}},
        {"'\\''", {{TOKEN_CHARCONST, 4}}},
        {"'\\\\'", {{TOKEN_CHARCONST, 4}}},
        {"'\"'", {{TOKEN_CHARCONST, 3}}},
        {"L'a'", {{TOKEN_CHARCONST, 4}}},
        {"'ab'c", {{TOKEN_CHARCONST, 4}, {TOKEN_IDENTIFIER, 1}}},
        {"\"abc\"", {{TOKEN_STRINGCONST, 5}}},
        {"\"\"", {{TOKEN_STRINGCONST, 2}}},
        {"L\"x\"", {{TOKEN_STRINGCONST, 4}}},
        {"\"a\\\"b\"", {{TOKEN_STRINGCONST, 6}}},
        {"\"a\\\\\"", {{TOKEN_STRINGCONST, 5}}},
        {"\"'@\x01\"", {{TOKEN_STRINGCONST, 5}}},
        // An escaped newline continues the constant.
        {"\"a\\\nb\"", {{TOKEN_STRINGCONST_BNL, 6}}},
        {"'\\\na'", {{TOKEN_CHARCONST_BNL, 5}}},
        {"\"a?\?/\nb\"", {{TOKEN_STRINGCONST_BNL, 8}}},
        // Unterminated: at a newline, at the end marker.
        {"\"abc\nx", {{ERROR_TOKEN, 4}, {TOKEN_NEWLINE, 1}, {TOKEN_IDENTIFIER, 1}}},
        {"'ab\n", {{ERROR_TOKEN, 3}, {TOKEN_NEWLINE, 1}}},
        {"\"abc", {{ERROR_TOKEN, 4}}},
        {"\"a\\", {{ERROR_TOKEN, 3}}}, // a backslash never escapes the end marker
        {"\"a?\?/", {{ERROR_TOKEN, 5}}},
        {"L\"ab\n", {{TOKEN_IDENTIFIER, 1}, {ERROR_TOKEN, 3}, {TOKEN_NEWLINE, 1}}},
        // Bytes 0x80..0xFF are ordinary characters inside constants (UTF-8 text).
        {"\"a\xC3\xA9\"", {{TOKEN_STRINGCONST, 5}}},
        {"'\xE2\x82\xAC'", {{TOKEN_CHARCONST, 5}}},
        {"\"\\\xC3\xA9\"", {{TOKEN_STRINGCONST, 5}}},
        {"\"a\xC3\n", {{ERROR_TOKEN, 3}, {TOKEN_NEWLINE, 1}}},
        // ?\?/ before a quote: an escape only when the constant can still be closed.
        {"\"a?\?/\"\n", {{TOKEN_STRINGCONST, 6}, {TOKEN_NEWLINE, 1}}},
        {"\"a?\?/\"b\"", {{TOKEN_STRINGCONST, 8}}},
        {"\"?\?/\"", {{TOKEN_STRINGCONST, 5}}},
        {"'?\?/''", {{TOKEN_CHARCONST, 6}}},
        {"'?\?/'\n", {{TOKEN_CHARCONST, 5}, {TOKEN_NEWLINE, 1}}},
        {"\"a?\?/\"\\\nb", {{TOKEN_STRINGCONST, 6}, {TOKEN_BSLASH_NL, 2}, {TOKEN_IDENTIFIER, 1}}},
    };
    check_cases(cases);
}

TEST_F(LexerTest, WhiteSpaceAndContinuations) {
    const std::vector<Case> cases = {
        {" ", {{TOKEN_HORIZ_WHITESPACE, 1}}},
        {" \t  x", {{TOKEN_HORIZ_WHITESPACE, 4}, {TOKEN_IDENTIFIER, 1}}},
        {"\n", {{TOKEN_NEWLINE, 1}}},
        {"\t \n", {{TOKEN_NEWLINE, 3}}},
        {"\n\n", {{TOKEN_NEWLINE, 1}, {TOKEN_NEWLINE, 1}}},
        {"\f", {{TOKEN_OTHER_WHITESPACE, 1}}},
        {"\v\f\r \t", {{TOKEN_OTHER_WHITESPACE, 5}}},
        {" \f", {{TOKEN_HORIZ_WHITESPACE, 1}, {TOKEN_OTHER_WHITESPACE, 1}}},
        {"\r", {{TOKEN_OTHER_WHITESPACE, 1}}},
        {"\v\n", {{TOKEN_OTHER_WHITESPACE, 1}, {TOKEN_NEWLINE, 1}}},
        {"\r \n", {{TOKEN_OTHER_WHITESPACE, 2}, {TOKEN_NEWLINE, 1}}},
        {"\\\n", {{TOKEN_BSLASH_NL, 2}}},
        {"?\?/\n", {{TOKEN_BSLASH_NL, 4}}},
        {"?\?/", {{TOKEN_TRI_BSLASH, 3}}},
        {"?\?/x", {{TOKEN_TRI_BSLASH, 3}, {TOKEN_IDENTIFIER, 1}}},
        {"\\", {{ERROR_TOKEN, 1}}},
        {"\\ \n", {{ERROR_TOKEN, 1}, {TOKEN_NEWLINE, 2}}},
        {"/\\\n*", {{TOKEN_COMMENT, 4}}},
        {"/?\?/\n*", {{TOKEN_COMMENT, 6}}},
        {"/*x", {{TOKEN_COMMENT, 2}, {TOKEN_IDENTIFIER, 1}}},
    };
    check_cases(cases);
}

TEST_F(LexerTest, CharactersOfNoToken) {
    const std::vector<Case> cases = {
        {"@", {{ERROR_TOKEN, 1}}},
        {"`", {{ERROR_TOKEN, 1}}},
        {"\x01", {{ERROR_TOKEN, 1}}},
        {"\x7f", {{ERROR_TOKEN, 1}}},
        {"@@", {{ERROR_TOKEN, 1}, {ERROR_TOKEN, 1}}},
        // A run of bytes 0x80..0xFF outside constants is one token.
        {"\xC3\xA9", {{ERROR_TOKEN, 2}}},
        {"\xC3\xA9x\xFF", {{ERROR_TOKEN, 2}, {TOKEN_IDENTIFIER, 1}, {ERROR_TOKEN, 1}}},
        {"a\xE2\x82\xAC b",
         {{TOKEN_IDENTIFIER, 1},
          {ERROR_TOKEN, 3},
          {TOKEN_HORIZ_WHITESPACE, 1},
          {TOKEN_IDENTIFIER, 1}}},
        {"", {}},
    };
    check_cases(cases);
}

TEST_F(LexerTest, FirstTokenRuleSet) {
    struct FirstCase {
        std::string input;
        TokenKind kind;
        std::size_t length;
    };
    const std::vector<FirstCase> cases = {
        {"#define X", FIRST_TOKEN, 1}, {"\n", FIRST_TOKEN, 1},           {"@", FIRST_TOKEN, 1},
        {"abc", FIRST_TOKEN, 1},       {"\xEF\xBB\xBF", FIRST_TOKEN, 1}, {"", TOKEN_END_OF_FILE, 1},
    };
    for (const FirstCase &c : cases) {
        open_input(c.input);
        lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
        TokenKind kind;
        Position pos;
        lex_token(&kind, &pos);
        EXPECT_EQ(kind, c.kind) << visible(c.input);
        EXPECT_EQ(si_mark_length(), c.length) << visible(c.input);
        EXPECT_EQ(si_cursor.line, c.input == "\n" ? 2u : 1u);
        si_close_stream();
    }
    // What the scanning loop does with it: back up and go on with main_lexer.
    open_input("#x");
    lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
    TokenKind kind;
    Position pos;
    lex_token(&kind, &pos);
    ASSERT_EQ(kind, FIRST_TOKEN);
    lex_set_rule_set(LEX_MAIN_LEXER);
    ASSERT_EQ(si_back_up(1), 0);
    EXPECT_EQ(lex_token(&kind, &pos), TOKEN_SHARP);
    EXPECT_EQ(pos.column, 1u);
}

// ---- Positions, the ring buffer and long tokens -------------------------------------------

TEST_F(LexerTest, PositionsCountLinesAndColumns) {
    std::vector<Lexeme> got = lex_all("a \n\tbc\\\nd e\n\"x?\?/\"\\\ny");
    struct {
        TokenKind kind;
        std::uint32_t line;
        std::uint16_t column;
    } want[] = {
        {TOKEN_IDENTIFIER, 1, 1},       {TOKEN_NEWLINE, 1, 2},
        {TOKEN_HORIZ_WHITESPACE, 2, 1}, {TOKEN_IDENTIFIER_BNL, 2, 2},
        {TOKEN_HORIZ_WHITESPACE, 3, 2}, {TOKEN_IDENTIFIER, 3, 3},
        {TOKEN_NEWLINE, 3, 4},          {TOKEN_STRINGCONST, 4, 1},
        {TOKEN_BSLASH_NL, 4, 7},        {TOKEN_IDENTIFIER, 5, 1},
        {TOKEN_END_OF_FILE, 5, 2},
    };
    ASSERT_EQ(got.size(), std::size(want));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].kind, want[i].kind) << i;
        EXPECT_EQ(got[i].position.line, want[i].line) << i;
        EXPECT_EQ(got[i].position.column, want[i].column) << i;
        EXPECT_EQ(got[i].position.stream, got[0].position.stream) << i;
    }
}

TEST_F(LexerTest, TokensAcrossTheRingComeBackWhole) {
    // Words of growing length, so that tokens straddle the ring's wrap point and its refills.
    std::string input;
    std::vector<std::string> words;
    for (int i = 0; input.size() < 20000; ++i) {
        std::string w(1 + i % 37, static_cast<char>('a' + i % 26));
        w += std::to_string(i);
        words.push_back(w);
        input += w + (i % 5 == 4 ? "\n" : " ");
    }
    std::vector<Lexeme> got = lex_all(input);
    std::size_t k = 0;
    std::string joined;
    for (const Lexeme &l : got) {
        joined += l.kind == TOKEN_END_OF_FILE ? "" : l.text;
        if (l.kind == TOKEN_IDENTIFIER) {
            ASSERT_LT(k, words.size());
            EXPECT_EQ(l.text, words[k]) << "word " << k;
            ++k;
        }
    }
    EXPECT_EQ(k, words.size());
    EXPECT_EQ(joined, input);
}

TEST_F(LexerTest, TokensLongerThanTheRing) {
    const std::string ident(5000, 'q');
    const std::string str = "\"" + std::string(9000, 's') + "\"";
    const std::string blanks(3000, ' ');
    std::vector<Lexeme> got = lex_all(ident + "+" + str + blanks + "\n" + ident + "\\\n" + ident);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0].kind, TOKEN_IDENTIFIER);
    EXPECT_EQ(got[0].text, ident);
    EXPECT_EQ(got[1].kind, TOKEN_PLUS);
    EXPECT_EQ(got[2].kind, TOKEN_STRINGCONST);
    EXPECT_EQ(got[2].text, str);
    EXPECT_EQ(got[3].kind, TOKEN_NEWLINE);
    EXPECT_EQ(got[3].text, blanks + "\n");
    EXPECT_EQ(got[4].kind, TOKEN_IDENTIFIER_BNL);
    EXPECT_EQ(got[4].text, ident + "\\\n" + ident);
    EXPECT_EQ(got[5].kind, TOKEN_END_OF_FILE);
    EXPECT_EQ(got[5].position.line, 3u);
}

TEST_F(LexerTest, BackUpAfterARefillOverwroteTheTokenStart) {
    // The longest match runs thousands of bytes past the accepted prefix before it fails, so
    // the ring no longer holds the token's start when the scan backs up.
    const std::string tail(6000, 'z');
    std::vector<Lexeme> got = lex_all("x \"ab?\?/\"" + tail + "\nL\"" + tail + "\n");
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(got[2].kind, TOKEN_STRINGCONST);
    EXPECT_EQ(got[2].text, "\"ab?\?/\"");
    EXPECT_EQ(got[2].position.column, 3u);
    EXPECT_EQ(got[3].kind, TOKEN_IDENTIFIER);
    EXPECT_EQ(got[3].text, tail);
    EXPECT_EQ(got[3].position.column, 10u);
    EXPECT_EQ(got[4].kind, TOKEN_NEWLINE);
    EXPECT_EQ(got[5].kind, TOKEN_IDENTIFIER); // the L of an unterminated wide string
    EXPECT_EQ(got[5].text, "L");
    EXPECT_EQ(got[6].kind, ERROR_TOKEN);
    EXPECT_EQ(got[6].text, "\"" + tail);
    EXPECT_EQ(got[6].position.line, 2u);
    EXPECT_EQ(got[6].position.column, 2u);
    EXPECT_EQ(got[7].kind, TOKEN_NEWLINE);
    EXPECT_EQ(got[7].position.column, 6003u);
}

TEST_F(LexerTest, OverlongLineIsReportedAtItsNewline) {
    std::vector<Lexeme> got = lex_all("a " + std::string(70000, 'w') + "\nb");
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[2].text.size(), 70000u);
    EXPECT_EQ(got[3].kind, TOKEN_NEWLINE);
    // Positions keep the low 16 bits of the column.
    EXPECT_EQ(got[3].position.column, static_cast<std::uint16_t>(70003));
    EXPECT_EQ(got[4].position.line, 2u);
    EXPECT_EQ(got[4].position.column, 1u);
    int reports = 0;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) {
        if (std::strcmp(m->id, "TOOLONG") != 0) continue;
        ++reports;
        EXPECT_STREQ(m->text, "Line too long, maximum length is 65535");
        EXPECT_EQ(m->position.line, 1u);
        EXPECT_EQ(m->position.column, 0xFFFFu);
    }
    EXPECT_EQ(reports, 1);
}

TEST_F(LexerTest, ZeroByteInTheFileIsDroppedFromTheToken) {
    // The 0 byte sends the scanner to the stream layer, which reports it and steps over it.
    std::vector<Lexeme> got = lex_all(std::string("ab\0cd e", 7));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].kind, TOKEN_IDENTIFIER);
    EXPECT_EQ(got[0].text, "abcd");
    EXPECT_EQ(got[2].text, "e");
    int reports = 0;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next)
        if (std::strcmp(m->id, "ILLEGCHAR") == 0) ++reports;
    EXPECT_EQ(reports, 1);
}

// ---- Random input -------------------------------------------------------------------------

TEST_F(LexerTest, RandomInputIsCutIntoLexemesThatJoinToIt) {
    // Characters that meet in the rules, with the rest of the bytes now and then.
    const std::string alphabet = "?\?//\\\\\n\n''\"\"  \t.eE+-x0819aLl$#=<>&|*%@\v\r\x80\xC3\x01";
    std::mt19937 rng(20261208);
    for (int round = 0; round < 300; ++round) {
        std::string input;
        std::size_t length = rng() % 200;
        for (std::size_t i = 0; i < length; ++i) {
            unsigned r = rng() % 8;
            unsigned char c = r == 0
                                  ? static_cast<unsigned char>(1 + rng() % 255)
                                  : static_cast<unsigned char>(alphabet[rng() % alphabet.size()]);
            // The stream layer ends the data at byte 3 and takes CR LF as one newline.
            if (c == 3 || (c == '\n' && !input.empty() && input.back() == '\r')) c = 'k';
            input += static_cast<char>(c);
        }
        std::vector<Lexeme> got = lex_all(input);
        std::string joined;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const Lexeme &l = got[i];
            ASSERT_LE(static_cast<int>(l.kind), 122);
            ASSERT_NE(l.kind, FIRST_TOKEN);
            if (l.kind == TOKEN_END_OF_FILE) {
                ASSERT_EQ(i + 1, got.size()) << visible(input);
                ASSERT_EQ(l.text, "\x03");
                continue;
            }
            ASSERT_GE(l.text.size(), 1u) << "an empty lexeme in \"" << visible(input) << "\"";
            joined += l.text;
        }
        ASSERT_EQ(got.back().kind, TOKEN_END_OF_FILE) << visible(input);
        ASSERT_EQ(joined, input) << visible(input);
    }
}

// Names, blanks and one-byte punctuators are scanned without the automaton where it would give
// the same token: the same random inputs, and names and blanks lying across the ring's end,
// give the same kinds, texts and positions either way.
TEST_F(LexerTest, DirectScanOfNamesAndBlanksMatchesTheAutomaton) {
    const std::string alphabet = "abLLx_Z09  \t\t\n\n''\"$?\\.+e\r\v(),;:=";
    std::mt19937 rng(8122026);
    std::vector<std::string> inputs;
    for (int round = 0; round < 400; ++round) {
        std::string input;
        std::size_t length = rng() % 120;
        for (std::size_t i = 0; i < length; ++i) {
            char c = alphabet[rng() % alphabet.size()];
            if (c == '\n' && !input.empty() && input.back() == '\r') c = 'k';
            input += c;
        }
        inputs.push_back(input);
    }
    // Every offset of a name and of blanks against the 1 KiB pieces of the ring.
    for (std::size_t pad = 1000; pad < 1040; ++pad) {
        inputs.push_back(std::string(pad, 'n') + " abc  \t  def\n" + std::string(pad, ' ') +
                         "\nL'x' L\"y\" Lz a$ b\\\nc d?\?/\ne");
    }
    for (const std::string &input : inputs) {
        lex_set_fast_scan(false);
        std::vector<Lexeme> slow = lex_all(input);
        lex_set_fast_scan(true);
        std::vector<Lexeme> fast = lex_all(input);
        ASSERT_EQ(fast.size(), slow.size()) << visible(input);
        for (std::size_t i = 0; i < fast.size(); ++i) {
            ASSERT_EQ(fast[i].kind, slow[i].kind) << i << " in " << visible(input);
            ASSERT_EQ(fast[i].text, slow[i].text) << i << " in " << visible(input);
            ASSERT_EQ(fast[i].position.line, slow[i].position.line) << visible(input);
            ASSERT_EQ(fast[i].position.column, slow[i].position.column) << visible(input);
        }
    }
}

// Numbers, Fortran literals and operators and the punctuators of one byte that pair (`+`, `-`,
// `*`, `=`) are scanned without the automaton, or without reading byte by byte, where the
// longest match is plain: every string of up to four bytes from the bytes that make or end
// numbers, and random text from bytes and pieces of those tokens, some lying across the ring's
// 1 KiB pieces, give the same kinds, texts and positions either way, in each rule set that
// reads code, with Fortran literals and operators on and off.
TEST_F(LexerTest, DirectScanOfNumbersLiteralsAndOperatorsMatchesTheAutomaton) {
    const std::string bytes = "018.eExXuLf_+-";
    std::string every;
    for (std::size_t length = 1; length <= 4; ++length) {
        std::vector<std::size_t> at(length, 0);
        for (;;) {
            for (std::size_t i = 0; i < length; ++i) every += bytes[at[i]];
            every += "  9 ";
            std::size_t i = 0;
            while (i < length && ++at[i] == bytes.size()) at[i++] = 0;
            if (i == length) break;
        }
    }
    std::vector<std::string> inputs{every};
    const std::string alphabet = "0123456789..eEdDxXlLuUfF_a+-+- ,()\\?\n'\"$*=>";
    const std::vector<std::string> pieces = {
        ".eq.",  ".GT.", ".and.", ".Neqv.", ".false.", ".foo.", ".e1.",   "'it''s'", "\"a\"\"b\"",
        "'open", "''",   "+=",    "->",     "**",      "==",    "-\\\n-", "*?\?/\n="};
    std::mt19937 rng(9122026);
    for (int round = 0; round < 300; ++round) {
        std::string input(rng() % 1100, ' ');
        for (std::size_t i = rng() % 3; i < input.size(); i += 1 + rng() % 4) input[i] = '7';
        for (std::size_t i = 0, n = rng() % 600; i < n; ++i) {
            if (rng() % 6 == 0)
                input += pieces[rng() % pieces.size()];
            else
                input += alphabet[rng() % alphabet.size()];
        }
        inputs.push_back(input);
    }
    for (int mode = 0; mode < 4; ++mode) {
        lex_set_fortran_literals((mode & 1) != 0);
        lex_set_fortran_operators((mode & 2) != 0);
        for (LexRuleSet set : {LEX_MAIN_LEXER, LEX_FORTRAN_LEXER, LEX_FORTRAN_DIRECTIVE_LEXER}) {
            for (const std::string &input : inputs) {
                lex_set_fast_scan(false);
                std::vector<Lexeme> slow = lex_all(input, set);
                lex_set_fast_scan(true);
                std::vector<Lexeme> fast = lex_all(input, set);
                ASSERT_EQ(fast.size(), slow.size()) << mode << " " << visible(input);
                for (std::size_t i = 0; i < fast.size(); ++i) {
                    ASSERT_EQ(fast[i].kind, slow[i].kind)
                        << slow[i].text << " mode " << mode << " in " << lex_rule_set_name(set);
                    ASSERT_EQ(fast[i].text, slow[i].text) << mode << " " << visible(input);
                    ASSERT_EQ(fast[i].position.line, slow[i].position.line);
                    ASSERT_EQ(fast[i].position.column, slow[i].position.column);
                }
            }
        }
    }
    lex_set_fortran_literals(false);
    lex_set_fortran_operators(false);
}

// ---- Traces -------------------------------------------------------------------------------

std::string read_file(std::FILE *f) {
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

TEST_F(LexerTest, LexTraceLines) {
    std::FILE *trace = std::tmpfile();
    ASSERT_NE(trace, nullptr);
    fe_set_trace_stream(trace);
    fe_set_flag(FE_FLAG_LEX_TRACE, 1);
    std::string path = open_input("ab\t@\n");
    TokenKind kind;
    Position pos;
    lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
    lex_token(&kind, &pos);
    ASSERT_EQ(si_back_up(1), 0);
    lex_set_rule_set(LEX_MAIN_LEXER);
    do lex_token(&kind, &pos);
    while (kind != TOKEN_END_OF_FILE);
    std::string f = ", file=" + path;
    EXPECT_EQ(read_file(trace), "  LEX FIRST_TOKEN,\tvalue='a', line=1, col=1" + f +
                                    ", ruleset=first_token_lexer [discard]\n"
                                    "  LEX TOKEN_IDENTIFIER,\tvalue='ab', line=1, col=1" +
                                    f +
                                    ", ruleset=main_lexer\n"
                                    "  LEX TOKEN_HORIZ_WHITESPACE,\tvalue='\t', line=1, col=3" +
                                    f +
                                    ", ruleset=main_lexer\n"
                                    "  LEX ERROR_TOKEN,\tvalue='@', line=1, col=4" +
                                    f +
                                    ", ruleset=main_lexer [discard]\n"
                                    "  LEX TOKEN_NEWLINE,\tvalue='<NL>', line=1, col=5" +
                                    f +
                                    ", ruleset=main_lexer\n"
                                    "  LEX END-OF-FILE,\tvalue='<EOF>', line=2, col=1" +
                                    f + ", ruleset=main_lexer\n");
    std::fclose(trace);
}

TEST_F(LexerTest, LexDebugStateTrace) {
    std::FILE *trace = std::tmpfile();
    ASSERT_NE(trace, nullptr);
    fe_set_trace_stream(trace);
    fe_set_flag(FE_FLAG_LEX_DEBUG, 1);
    open_input("@ \n");
    TokenKind kind;
    Position pos;
    lex_token(&kind, &pos);
    EXPECT_EQ(kind, ERROR_TOKEN);
    // The at sign leads to the dead state: the scan stops and takes the character anyway.
    EXPECT_EQ(read_file(trace), "  enter lexer: rule set=main_lexer, start state=1\n"
                                "    lexer: state=  0, char='@' stop\n");
    std::rewind(trace);
    ASSERT_EQ(ftruncate(fileno(trace), 0), 0);
    lex_token(&kind, &pos);
    EXPECT_EQ(kind, TOKEN_NEWLINE);
    // The blank enters a state that accepts white space and goes on; the newline is taken
    // through the newline column without a line.
    std::string text = read_file(trace);
    char state[8];
    ASSERT_EQ(std::sscanf(text.c_str(),
                          "  enter lexer: rule set=main_lexer, start state=1\n"
                          "    lexer: state=%3c",
                          state),
              1);
    EXPECT_EQ(text, "  enter lexer: rule set=main_lexer, start state=1\n"
                    "    lexer: state=" +
                        std::string(state, 3) +
                        ", char=' ' recognize TOKEN_HORIZ_WHITESPACE continue\n");
    std::fclose(trace);
}

// ---- The table of token texts and the keyword map ------------------------------------------

TEST_F(LexerTest, SpellingTableInTwoSteps) {
    auto text_of = [](int kind) { return std::string(text_string(token_spelling(kind))); };
    EXPECT_EQ(text_of(TOKEN_AUTO), "auto");
    EXPECT_EQ(text_of(TOKEN_WHILE), "while");
    EXPECT_EQ(text_of(TOKEN_SIZEOF), "sizeof");
    EXPECT_EQ(text_of(TOKEN_SEMICOLON), ";");
    EXPECT_EQ(text_of(TOKEN_TRI_BSLASH), "?\?");
    EXPECT_EQ(token_spelling(TOKEN_AMPAMP), TEXT_NULL); // only after the second step
    EXPECT_EQ(token_spelling(TOKEN_IDENTIFIER), TEXT_NULL);
    token_enter_punctuator_spellings();
    EXPECT_EQ(text_of(TOKEN_TRI_BSLASH), "\\");
    EXPECT_EQ(text_of(TOKEN_AMPAMP), "&&");
    EXPECT_EQ(text_of(TOKEN_SHARP_SHARP), "##");
    EXPECT_EQ(text_of(TOKEN_GTGTEQ), ">>=");
    EXPECT_EQ(text_of(TOKEN_SEMICOLON), ";");
    EXPECT_EQ(token_spelling(TOKEN_IDENTIFIER), TEXT_NULL);
    EXPECT_EQ(token_spelling(TOKEN_STRINGCONST), TEXT_NULL);
    // Every kind that has a spelling has a distinct one, except the placeholders.
    int spelled = 0;
    for (int k = 0; k < TOKEN_KIND_COUNT; ++k) spelled += token_spelling(k) != TEXT_NULL;
    EXPECT_EQ(spelled, 32 + 21 + 32 - 1); // TOKEN_TRI_BSLASH is in both steps
}

TEST_F(LexerTest, KindNamesAndRangeChecks) {
    EXPECT_STREQ(token_kind_name(0), "END-OF-FILE");
    EXPECT_STREQ(token_kind_name(80), "TOKEN_IDENTIFIER");
    EXPECT_STREQ(token_kind_name(102), "TOKEN_TRI_BSLASH");
    EXPECT_STREQ(token_kind_name(121), "FIRST_TOKEN");
    EXPECT_STREQ(token_kind_name(122), "ERROR_TOKEN");
    EXPECT_STREQ(token_kind_name(123), "TOKEN_FORTRAN_OP");
    EXPECT_EQ(token_kind_name(124), nullptr);
    EXPECT_EQ(token_kind_name(-1), nullptr);
    EXPECT_EQ(token_spelling(124), TEXT_NULL);
    EXPECT_EQ(token_spelling(-1), TEXT_NULL);
    EXPECT_STREQ(lex_rule_set_name(1), "main_lexer");
    EXPECT_STREQ(lex_rule_set_name(2), "first_token_lexer");
    EXPECT_STREQ(lex_rule_set_name(0), "[ILLEGAL RULESET]");
    EXPECT_STREQ(lex_rule_set_name(3), "fortran_lexer");
    EXPECT_STREQ(lex_rule_set_name(4), "fortran_directive_lexer");
    EXPECT_STREQ(lex_rule_set_name(5), "[ILLEGAL RULESET]");
}

// ---- The Fortran rule sets and literals ------------------------------------------------------

// Kinds and texts of every lexeme but END-OF-FILE, as "KIND:text" joined by blanks.
std::string kinds_and_texts(const std::vector<Lexeme> &lexemes) {
    std::string out;
    for (const Lexeme &l : lexemes)
        if (l.kind != TOKEN_END_OF_FILE)
            out += std::string(token_kind_name(l.kind)) + ":" + visible(l.text) + " ";
    return out;
}

TEST_F(LexerTest, FortranCodeLinesHaveNoTrigraphsNoContinuationsNoLineComments) {
    // visible() shows a backslash as \\ and a newline as \n.
    const std::vector<std::pair<std::string, std::string>> cases = {
        // A backslash before the newline is a character of its own; nothing is spliced.
        {"a\\\nb", R"(TOKEN_IDENTIFIER:a ERROR_TOKEN:\\ TOKEN_NEWLINE:\n TOKEN_IDENTIFIER:b )"},
        {"+\\\n=", R"(TOKEN_PLUS:+ ERROR_TOKEN:\\ TOKEN_NEWLINE:\n TOKEN_EQ:= )"},
        // Trigraphs are three characters.
        {"??=", "TOKEN_QUESTION:? TOKEN_QUESTION:? TOKEN_EQ:= "},
        {"??/\n", R"(TOKEN_QUESTION:? TOKEN_QUESTION:? TOKEN_SLASH:/ TOKEN_NEWLINE:\n )"},
        // `//` is two slashes (concatenation); `/*` still opens a comment.
        {"a//b", "TOKEN_IDENTIFIER:a TOKEN_SLASH:/ TOKEN_SLASH:/ TOKEN_IDENTIFIER:b "},
        {"/*", "TOKEN_COMMENT:/* "},
        {"x$y", "TOKEN_IDENTIFIER_DOL:x$y "},
    };
    for (const auto &[input, want] : cases)
        EXPECT_EQ(kinds_and_texts(lex_all(input, LEX_FORTRAN_LEXER)), want) << visible(input);
}

TEST_F(LexerTest, FortranDirectiveLinesContinueOnlyWithABackslash) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\\\nb", R"(TOKEN_IDENTIFIER_BNL:a\\\nb )"},
        {"a \\\nb", R"(TOKEN_IDENTIFIER:a TOKEN_HORIZ_WHITESPACE:  TOKEN_BSLASH_NL:\\\n )"
                    "TOKEN_IDENTIFIER:b "},
        {"&\\\n&", R"(TOKEN_AMPAMP:&\\\n& )"},
        {"??/\nx", R"(TOKEN_QUESTION:? TOKEN_QUESTION:? TOKEN_SLASH:/ TOKEN_NEWLINE:\n )"
                   "TOKEN_IDENTIFIER:x "},
        {"a//b", "TOKEN_IDENTIFIER:a TOKEN_SLASH:/ TOKEN_SLASH:/ TOKEN_IDENTIFIER:b "},
        {"/\\\n*", R"(TOKEN_COMMENT:/\\\n* )"},
    };
    for (const auto &[input, want] : cases)
        EXPECT_EQ(kinds_and_texts(lex_all(input, LEX_FORTRAN_DIRECTIVE_LEXER)), want)
            << visible(input);
}

TEST_F(LexerTest, FortranLiteralsDoubleTheirQuoteAndKeepBackslashes) {
    lex_set_fortran_literals(true);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"'it''s'", "TOKEN_CHARCONST:'it''s' "},
        {R"("say ""hi""")", R"(TOKEN_STRINGCONST:"say ""hi""" )"},
        {R"('a\' x)", R"(TOKEN_CHARCONST:'a\\' TOKEN_HORIZ_WHITESPACE:  TOKEN_IDENTIFIER:x )"},
        {R"("a\" x)", R"(TOKEN_STRINGCONST:"a\\" TOKEN_HORIZ_WHITESPACE:  TOKEN_IDENTIFIER:x )"},
        {R"('a"b')", R"(TOKEN_CHARCONST:'a"b' )"},
        {"''''", "TOKEN_CHARCONST:'''' "},
        // Left open: up to the newline, which is a token of its own.
        {"'open N\nx", R"(ERROR_TOKEN:'open N TOKEN_NEWLINE:\n TOKEN_IDENTIFIER:x )"},
        {"'open", "ERROR_TOKEN:'open "},
        {"'??='", "TOKEN_CHARCONST:'??=' "},
        // No wide constants: an `L` before the quote is a name.
        {R"(L'a\' x)", R"(TOKEN_IDENTIFIER:L TOKEN_CHARCONST:'a\\' TOKEN_HORIZ_WHITESPACE:  )"
                       "TOKEN_IDENTIFIER:x "},
        {R"(L"b")", R"(TOKEN_IDENTIFIER:L TOKEN_STRINGCONST:"b" )"},
        {"Lx'c'", "TOKEN_IDENTIFIER:Lx TOKEN_CHARCONST:'c' "},
        {"L", "TOKEN_IDENTIFIER:L "},
    };
    for (LexRuleSet set : {LEX_MAIN_LEXER, LEX_FORTRAN_LEXER, LEX_FORTRAN_DIRECTIVE_LEXER})
        for (const auto &[input, want] : cases)
            EXPECT_EQ(kinds_and_texts(lex_all(input, set)), want)
                << visible(input) << " in " << lex_rule_set_name(set);
    lex_set_fortran_literals(false);
    // Off again: the C rules, where a backslash escapes the quote.
    EXPECT_EQ(kinds_and_texts(lex_all(R"('a\'b')")), R"(TOKEN_CHARCONST:'a\\'b' )");
}

TEST_F(LexerTest, FortranOperatorsAreTokensAlsoRightAfterANumber) {
    lex_set_fortran_operators(true);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1.eq.N", "TOKEN_DECCONST:1 TOKEN_FORTRAN_OP:.eq. TOKEN_IDENTIFIER:N "},
        {"a.AND.b", "TOKEN_IDENTIFIER:a TOKEN_FORTRAN_OP:.AND. TOKEN_IDENTIFIER:b "},
        {".Neqv..not..TRUE.",
         "TOKEN_FORTRAN_OP:.Neqv. TOKEN_FORTRAN_OP:.not. TOKEN_FORTRAN_OP:.TRUE. "},
        {".false.", "TOKEN_FORTRAN_OP:.false. "},
        {"0.ne.1", "TOKEN_OCTCONST:0 TOKEN_FORTRAN_OP:.ne. TOKEN_DECCONST:1 "},
        {"1.5.lt.x", "TOKEN_FLOATCONST:1.5 TOKEN_FORTRAN_OP:.lt. TOKEN_IDENTIFIER:x "},
        {"1.e5.ge..5", "TOKEN_FLOATCONST:1.e5 TOKEN_FORTRAN_OP:.ge. TOKEN_FLOATCONST:.5 "},
        {".5.or.1", "TOKEN_FLOATCONST:.5 TOKEN_FORTRAN_OP:.or. TOKEN_DECCONST:1 "},
        {"3._dp.gt.1", "TOKEN_PPNUM:3._dp TOKEN_FORTRAN_OP:.gt. TOKEN_DECCONST:1 "},
        {"1.eqv.2", "TOKEN_DECCONST:1 TOKEN_FORTRAN_OP:.eqv. TOKEN_DECCONST:2 "},
        // Numbers stay numbers: exponents, kinds, a trailing dot.
        {"1.e5", "TOKEN_FLOATCONST:1.e5 "},
        {"1.d0", "TOKEN_PPNUM:1.d0 "},
        {"1.E+05", "TOKEN_FLOATCONST:1.E+05 "},
        {"3._dp", "TOKEN_PPNUM:3._dp "},
        {"2.5_real64", "TOKEN_PPNUM:2.5_real64 "},
        {"1.", "TOKEN_FLOATCONST:1. "},
        {"1.e", "TOKEN_PPNUM:1.e "},
        // Not operators: unknown or too long names, no closing dot, a digit inside.
        {".foo.", "TOKEN_DOT:. TOKEN_IDENTIFIER:foo TOKEN_DOT:. "},
        {"1.falsey.x", "TOKEN_PPNUM:1.falsey.x "},
        {".eq x", "TOKEN_DOT:. TOKEN_IDENTIFIER:eq TOKEN_HORIZ_WHITESPACE:  TOKEN_IDENTIFIER:x "},
        {".e1.", "TOKEN_DOT:. TOKEN_IDENTIFIER:e1 TOKEN_DOT:. "},
        {"...", "TOKEN_ELLIPSIS:... "},
        {".eq", "TOKEN_DOT:. TOKEN_IDENTIFIER:eq "},
    };
    for (LexRuleSet set : {LEX_MAIN_LEXER, LEX_FORTRAN_LEXER, LEX_FORTRAN_DIRECTIVE_LEXER})
        for (const auto &[input, want] : cases)
            EXPECT_EQ(kinds_and_texts(lex_all(input, set)), want)
                << visible(input) << " in " << lex_rule_set_name(set);
    lex_set_fortran_operators(false);
    // Off again: one pp-number, as the C rules have it.
    EXPECT_EQ(kinds_and_texts(lex_all("1.eq.N", LEX_FORTRAN_LEXER)), "TOKEN_PPNUM:1.eq.N ");
}

TEST_F(LexerTest, FortranOperatorsAcrossTheRingComeBackWhole) {
    // Numbers and operators of growing length, so that some straddle refills and the ring's
    // wrap point, also between the number and the operator it holds.
    lex_set_fortran_operators(true);
    const char *const ops[] = {".eq.", ".NEQV.", ".false.", ".Or."};
    std::string input;
    std::vector<std::string> want;
    for (int i = 0; input.size() < 40000; ++i) {
        std::string number = std::string(static_cast<std::size_t>(1 + i % 37), '7');
        std::string op = ops[i % 4];
        want.push_back(number);
        want.push_back(op);
        input += number + op + (i % 5 == 4 ? "\n" : "");
    }
    std::vector<Lexeme> got = lex_all(input, LEX_FORTRAN_LEXER);
    lex_set_fortran_operators(false);
    std::size_t k = 0;
    for (const Lexeme &l : got) {
        if (l.kind == TOKEN_NEWLINE || l.kind == TOKEN_END_OF_FILE) continue;
        ASSERT_LT(k, want.size());
        EXPECT_EQ(l.text, want[k]) << "lexeme " << k;
        EXPECT_EQ(l.kind, k % 2 == 0 ? TOKEN_DECCONST : TOKEN_FORTRAN_OP) << "lexeme " << k;
        ++k;
    }
    EXPECT_EQ(k, want.size());
}

TEST_F(LexerTest, FortranLiteralsAcrossTheRingComeBackWhole) {
    // Literals with doubled quotes of growing length, so that some straddle refills and the
    // ring's wrap point, with a doubled quote split between two blocks among them.
    lex_set_fortran_literals(true);
    std::string input;
    std::vector<std::string> literals;
    for (int i = 0; input.size() < 40000; ++i) {
        std::string l = "'" + std::string(static_cast<std::size_t>(1 + i % 41), 'x') + "''" +
                        std::to_string(i) + "'";
        literals.push_back(l);
        input += l + (i % 3 == 2 ? "\n" : " ");
    }
    std::vector<Lexeme> got = lex_all(input, LEX_FORTRAN_LEXER);
    lex_set_fortran_literals(false);
    std::size_t k = 0;
    for (const Lexeme &l : got) {
        if (l.kind != TOKEN_CHARCONST) continue;
        ASSERT_LT(k, literals.size());
        EXPECT_EQ(l.text, literals[k]) << "literal " << k;
        ++k;
    }
    EXPECT_EQ(k, literals.size());
}

TEST_F(LexerTest, KeywordMapIsRebuiltAfterTheTextTableIsCleared) {
    EXPECT_EQ(lex_keyword_kind(text_find_string("while")), TOKEN_WHILE);
    EXPECT_EQ(lex_keyword_kind(text_find_string("auto")), TOKEN_AUTO);
    EXPECT_EQ(lex_keyword_kind(text_enter_string("whilst")), ERROR_TOKEN);
    TextHandle before = token_spelling(TOKEN_DO);
    // A second start-up with the same table keeps the map.
    lex_initialize();
    EXPECT_EQ(token_spelling(TOKEN_DO), before);
    text_clear();
    text_enter_string("some other text");
    lex_initialize();
    EXPECT_NE(token_spelling(TOKEN_DO), before);
    EXPECT_STREQ(text_string(token_spelling(TOKEN_DO)), "do");
    EXPECT_EQ(lex_keyword_kind(text_find_string("do")), TOKEN_DO);
    EXPECT_EQ(lex_keyword_kind(text_find_string("some other text")), ERROR_TOKEN);
    lex_finalize();
    EXPECT_EQ(lex_keyword_kind(text_find_string("do")), ERROR_TOKEN);
}

} // namespace

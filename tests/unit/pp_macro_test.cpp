// Tests of macro definition and expansion below what the golden cases show: the body encoding of
// `#`, `##` and split constants, redefinitions, the paste table, directive tails that hold macro
// calls, and inputs deep or long enough to break recursion or quadratic walks.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/options.h"
#include "lexer/lexer.h"
#include "msg/msg.h"
#include "pp/pp_internal.h"
#include "pp_fixture.h"
#include "si/si.h"
#include "text/text.h"

namespace fs = std::filesystem;

namespace {
class PpMacroTest : public PreprocessorTest {
  protected:
    // The output of `source` under -m without markers. Each run reads a file of its own, so a
    // definition is never taken for the same one read again.
    std::string run(const std::string &source) {
        const std::string name = "t" + std::to_string(++runs_) + ".F";
        std::ofstream(name, std::ios::binary) << source;
        output_unix_line = 0;
        expand_macros = 1;
        StreamHandle handle = STREAM_NULL;
        EXPECT_EQ(si_find_stream(name.c_str(), &handle), SI_OK);
        EXPECT_EQ(si_open_stream(handle), SI_OK);
        pp_push_file(name.c_str());
        lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
        std::FILE *out = std::tmpfile();
        output_stream = out;
        pp_output_init();
        CurrentToken token{};
        do {
            pp_scan_step(&token);
        } while (token.kind != TOKEN_END_OF_FILE);
        pp_output_flush();
        std::string text;
        std::rewind(out);
        for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
        std::fclose(out);
        output_stream = stdout;
        si_close_stream();
        pp_pop_file();
        return text;
    }

    int runs_ = 0;
};

// The messages stored so far as "line:column text"; the store is emptied.
std::vector<std::string> take_messages() {
    std::vector<std::string> out;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) {
        out.push_back(std::to_string(m->position.line) + ":" + std::to_string(m->position.column) +
                      " " + m->text);
        m->printed = 1;
    }
    msg_clear_messages();
    return out;
}

PpMacro *macro(const char *name) { return pp_lookup_macro(text_find_string(name)); }

// A token list spelled out: kind name, then the text (or the formal number), then `_` when the
// token is spaced. "TOKEN_STRINGIZE 1" stands for the formal number 1.
std::string describe(const Token *list) {
    std::string out;
    for (const Token *t = list; t != nullptr; t = t->next) {
        if (!out.empty()) out += " | ";
        out += token_kind_name(t->kind);
        if (t->kind == TOKEN_STRINGIZE || t->kind == TOKEN_CHARIZE)
            out += " " + std::to_string(t->value);
        else if (t->value != TEXT_NULL)
            out += " " + std::string(text_string(static_cast<TextHandle>(t->value)));
        if (t->spaced != 0) out += " _";
    }
    return out;
}

TEST_F(PpMacroTest, DefinitionsAreEncodedForTheWalk) {
    struct Case {
        const char *line;
        const char *name;
        int n_formals;
        const char *formals;
        const char *body;
    } cases[] = {
        {"#define f (x) x\n", "f", -1, "",
         "TOKEN_LPAREN ( | TOKEN_IDENTIFIER x | TOKEN_RPAREN ) | TOKEN_IDENTIFIER x _"},
        {"#define E\n", "E", -1, "", "TOKEN_NULL"},
        {"#define F(a, b) #a a##b\n", "F", 2, "TOKEN_IDENTIFIER b _ | TOKEN_IDENTIFIER a",
         "TOKEN_STRINGIZE 1 | TOKEN_LOOKAHEAD a _ | TOKEN_IDENTIFIER a _ | TOKEN_PASTE a | "
         "TOKEN_IDENTIFIER b"},
        {"#define O # x\n", "O", -1, "", "ERROR_TOKEN # | TOKEN_IDENTIFIER x _"},
        {"#define P(x) x ## ## y\n", "P", 1, "TOKEN_IDENTIFIER x",
         "TOKEN_LOOKAHEAD x | TOKEN_IDENTIFIER x | TOKEN_PASTE x _ | ERROR_TOKEN ## _ | "
         "TOKEN_IDENTIFIER y _"},
        {"#define Z() z\n", "Z", 0, "", "TOKEN_IDENTIFIER z"},
    };
    for (const Case &c : cases) {
        run(c.line);
        const PpMacro *m = macro(c.name);
        ASSERT_NE(m, nullptr) << c.line;
        EXPECT_EQ(m->n_formals, c.n_formals) << c.line;
        EXPECT_EQ(describe(m->formals), c.formals) << c.line;
        EXPECT_EQ(describe(m->body), c.body) << c.line;
    }
    // `# x` keeps the blank before the name in the formal_index field, for redefinitions.
    run("#define S(x) # x\n");
    EXPECT_EQ(macro("S")->body->formal_index, 1);
    take_messages();
}

TEST_F(PpMacroTest, ConstantsNamingFormalsAreSplitUnderStringParms) {
    string_parms = 1;
    run("#define S(x, y) \"a x b\" 'y' \"xy\"\n");
    EXPECT_EQ(describe(macro("S")->body),
              "TOKEN_LSTR \"a x b\" | TOKEN_STRINGCONST \"a \" | TOKEN_STRINGIZE 1 | "
              "TOKEN_STRINGCONST \" b\" | TOKEN_RSTR \"a x b\" | "
              "TOKEN_LCHR 'y' _ | TOKEN_CHARIZE 2 | TOKEN_RCHR 'y' | "
              "TOKEN_LSTR \"xy\" _ | TOKEN_STRINGCONST \"xy\" | TOKEN_RSTR \"xy\"");
    EXPECT_EQ(run("      S(1 + 2, c)\n"), "      \"a 1 + 2 b\" 'c' \"xy\" \n");
    string_parms = 0;
    run("#define T(x) \"x\"\n");
    EXPECT_EQ(describe(macro("T")->body), "TOKEN_STRINGCONST \"x\"") << "the switch is off";
}

TEST_F(PpMacroTest, RedefinitionsCompareSpellingSpacingAndFormals) {
    struct Case {
        const char *first;
        const char *second;
        std::vector<std::string> messages;
    } cases[] = {
        {"#define A\n", "#define A\n", {}},
        {"#define A 1 + 2\n", "#define A 1 + 2\n", {}},
        {"#define A 1 + 2\n", "#define A 1+2\n", {"2:12 pernicious macro redefinition"}},
        {"#define A 1\n", "#define A 1 2\n", {"2:13 pernicious macro redefinition"}},
        {"#define A 1 2\n", "#define A 1\n", {"2:12 pernicious macro redefinition"}},
        {"#define f(a) a\n", "#define f(b) b\n", {"2:11 pernicious macro redefinition"}},
        {"#define f(a) a\n", "#define f a\n", {"2:11 pernicious macro redefinition"}},
        {"#define f(a) #a\n", "#define f(a) # a\n", {"2:16 pernicious macro redefinition"}},
        {"#define f(a,b) a##b\n", "#define f(a,b) a##b\n", {}},
        {"#define f(a,b) a##b\n", "#define f(a,b) a ##b\n", {"2:18 pernicious macro redefinition"}},
        {"#define A ##\n",
         "#define A 1\n",
         {"1:11 token pasting operator missing both operands",
          "2:11 macro redefined since error in previous definition"}},
    };
    for (const Case &c : cases) {
        run(std::string("#undef A\n#undef f\n") + c.first + c.second);
        std::vector<std::string> messages;
        for (const std::string &m : c.messages) messages.push_back(m);
        std::vector<std::string> got = take_messages();
        // The cases give line 2 for the second definition; here it is line 4.
        for (std::string &m : got) m[0] = static_cast<char>(m[0] - 2);
        EXPECT_EQ(got, messages) << c.first << c.second;
        // An identical definition leaves the first in force; any other replaces it.
        const char *name = c.second[8] == 'f' ? "f" : "A";
        EXPECT_EQ(macro(name)->position.line, c.messages.empty() ? 3u : 4u) << c.second;
    }
    EXPECT_EQ(
        run("#undef A\n#define A 1 + 2\n#define A 1+2\n#define B ##\n#define B 1\n      A B\n"),
        "\n\n\n\n\n      1+2  1 \n")
        << "the new definitions are in force, after the blank that ends an expansion";
    take_messages();
}

TEST_F(PpMacroTest, PasteTableGivesTheListedKinds) {
    auto token = [](TokenKind kind, const char *text) {
        Token *t = pp_new_aux_blank_token();
        t->kind = kind;
        t->value = static_cast<std::int32_t>(text_enter_string(text));
        return t;
    };
    struct Case {
        TokenKind a;
        const char *a_text;
        TokenKind b;
        const char *b_text;
        TokenKind kind;
        const char *text;
    } cases[] = {
        {TOKEN_AMP, "&", TOKEN_AMP, "&", TOKEN_AMPAMP, "&&"},
        {TOKEN_AMP, "&", TOKEN_EQ, "=", TOKEN_AMPEQ, "&="},
        {TOKEN_BAR, "|", TOKEN_BAR, "|", TOKEN_BARBAR, "||"},
        {TOKEN_BAR, "|", TOKEN_EQ, "=", TOKEN_BAREQ, "|="},
        {TOKEN_DASH, "-", TOKEN_DASH, "-", TOKEN_DASHDASH, "--"},
        {TOKEN_DASH, "-", TOKEN_EQ, "=", TOKEN_DASHEQ, "-="},
        {TOKEN_DASH, "-", TOKEN_GT, ">", TOKEN_DASHGT, "->"},
        {TOKEN_EQ, "=", TOKEN_EQ, "=", TOKEN_EQEQ, "=="},
        {TOKEN_EXCL, "!", TOKEN_EQ, "=", TOKEN_EXCLEQ, "!="},
        {TOKEN_GT, ">", TOKEN_EQ, "=", TOKEN_GTEQ, ">="},
        {TOKEN_GT, ">", TOKEN_GT, ">", TOKEN_GTGT, ">>"},
        {TOKEN_GT, ">", TOKEN_GTEQ, ">=", TOKEN_GTGTEQ, ">>="},
        {TOKEN_GTGT, ">>", TOKEN_EQ, "=", TOKEN_GTGTEQ, ">>="},
        {TOKEN_LT, "<", TOKEN_EQ, "=", TOKEN_LTEQ, "<="},
        {TOKEN_LT, "<", TOKEN_LT, "<", TOKEN_LTLT, "<<"},
        {TOKEN_LT, "<", TOKEN_LTEQ, "<=", TOKEN_LTLTEQ, "<<="},
        {TOKEN_LTLT, "<<", TOKEN_EQ, "=", TOKEN_LTLTEQ, "<<="},
        {TOKEN_PCT, "%", TOKEN_EQ, "=", TOKEN_PCTEQ, "%="},
        {TOKEN_PLUS, "+", TOKEN_EQ, "=", TOKEN_PLUSEQ, "+="},
        {TOKEN_PLUS, "+", TOKEN_PLUS, "+", TOKEN_PLUSPLUS, "++"},
        {TOKEN_SLASH, "/", TOKEN_EQ, "=", TOKEN_SLASHEQ, "/="},
        {TOKEN_STAR, "*", TOKEN_EQ, "=", TOKEN_STAREQ, "*="},
        {TOKEN_UP, "^", TOKEN_EQ, "=", TOKEN_UPEQ, "^="},
        {TOKEN_DOT, ".", ERROR_TOKEN, "..", TOKEN_ELLIPSIS, "..."},
        {ERROR_TOKEN, "..", TOKEN_DOT, ".", TOKEN_ELLIPSIS, "..."},
        {TOKEN_DOT, ".", TOKEN_DOT, ".", ERROR_TOKEN, ".."},
        {TOKEN_IDENTIFIER, "x", TOKEN_IDENTIFIER, "y", TOKEN_IDENTIFIER, "xy"},
        {TOKEN_IDENTIFIER, "x", TOKEN_HEXCONST, "0x1", TOKEN_IDENTIFIER, "x0x1"},
        {TOKEN_IDENTIFIER, "x", TOKEN_FLOATCONST, "1e5", TOKEN_IDENTIFIER, "x1e5"},
        {TOKEN_IDENTIFIER, "x", TOKEN_FLOATCONST, "1.5", TOKEN_PPNUM, "x1.5"},
        {TOKEN_IDENTIFIER, "L", TOKEN_CHARCONST, "'a'", TOKEN_CHARCONST, "L'a'"},
        {TOKEN_IDENTIFIER, "L", TOKEN_STRINGCONST, "L\"a\"", ERROR_TOKEN, "LL\"a\""},
        {TOKEN_IDENTIFIER, "M", TOKEN_STRINGCONST, "\"a\"", ERROR_TOKEN, "M\"a\""},
        {TOKEN_DECCONST, "1", TOKEN_IDENTIFIER, "x", ERROR_TOKEN, "1x"},
        {TOKEN_PLUS, "+", TOKEN_DASH, "-", ERROR_TOKEN, "+-"},
    };
    for (const Case &c : cases) {
        Token *a = token(c.a, c.a_text);
        a->spaced = 1;
        const Token *r = pp_paste_tokens(a, token(c.b, c.b_text));
        EXPECT_EQ(r->kind, c.kind) << c.a_text << " ## " << c.b_text;
        EXPECT_STREQ(text_string(static_cast<TextHandle>(r->value)), c.text);
        EXPECT_EQ(r->spaced, 1) << "the result keeps the left operand's blank";
    }
    const Token *kept = pp_paste_tokens(pp_null_token(), token(TOKEN_IDENTIFIER, "y"));
    EXPECT_EQ(kept->kind, TOKEN_IDENTIFIER);
    EXPECT_STREQ(text_string(static_cast<TextHandle>(kept->value)), "y");
}

TEST_F(PpMacroTest, PastedOperandsKeepTheBlankOfTheirPlaceInTheBody) {
    // The argument's own first token has no blank; the pasted result stands where the formal
    // stood after a blank, so it must not join the token before it.
    EXPECT_EQ(run("#define F(x) a x ## 1\n      F(b)\n"), "\n      a b1 \n");
    EXPECT_EQ(run("#define G(x) [x x ## 2]\n      G(c)\n"), "\n      [c c2] \n");
}

// Arguments naming no macro are substituted as they stand instead of being expanded first: the
// blank of the formal's place, empty and missing arguments, an argument used twice and
// stringized, an argument read again by a macro called in the body, and one over two lines.
TEST_F(PpMacroTest, ArgumentsNamingNoMacroAreSubstitutedAsTheyStand) {
    EXPECT_EQ(run("#define F(x) x\n#define G(x, y) [x y x]\n#define E(x) <x>\n"
                  "#define H(x) #x x\n#define K(x) L(x) x\n#define L(x) {x}\n"
                  "      F(a)\n      G(a+1,  b)\n      G( a , )\n      E()\n      H( p  q )\n"
                  "      K( r )F(s)\n      G(\n     & c, d)\n"),
              "\n\n\n\n\n\n      a \n      [a+1 b a+1] \n      [a a] \n      <> \n"
              "      \"p q\" p q \n      {r} r s \n      [& c d & c] \n");
}

TEST_F(PpMacroTest, DirectiveTailsAllowCallsThatExpandToNothing) {
    run("#define E(x)\n#define I(x) x\n#define O\n");
    auto check = [this](const char *rest) {
        std::ofstream("d.F", std::ios::binary) << rest;
        StreamHandle handle = STREAM_NULL;
        EXPECT_EQ(si_find_stream("d.F", &handle), SI_OK);
        EXPECT_EQ(si_open_stream(handle), SI_OK);
        lex_set_rule_set(LEX_MAIN_LEXER);
        pp_check_directive_tail();
        std::vector<std::string> messages = take_messages();
        TokenKind kind;
        Position position;
        lex_token(&kind, &position);
        EXPECT_EQ(kind, TOKEN_NEWLINE) << rest << ": the newline stays for the caller";
        si_close_stream();
        EXPECT_EQ(*pp_expansion_context(), nullptr) << rest << ": no expansion is left running";
        return messages;
    };
    EXPECT_EQ(check(" E(1) O E ( a ) /* c */\nnext\n"), std::vector<std::string>{});
    EXPECT_EQ(check(" E(1, 2)\n"),
              (std::vector<std::string>{"1:2 too many parameters in macro call",
                                        "1:7 illegal token on pp directive line"}))
        << "the surplus stays on the line";
    EXPECT_EQ(check(" I()\n"), std::vector<std::string>{});
    EXPECT_EQ(check(" I(1)\n"), std::vector<std::string>{"1:2 illegal token on pp directive line"});
    EXPECT_EQ(check(" E\n"), std::vector<std::string>{"1:2 illegal token on pp directive line"})
        << "without its arguments the name itself remains";
    // An unclosed call stops at the line end: the next line is not taken into the directive.
    EXPECT_EQ(check(" E(1\nnext)\n"),
              (std::vector<std::string>{"1:2 no right parenthesis for macro argument list",
                                        "1:4 illegal token on pp directive line"}));
}

TEST_F(PpMacroTest, DirectiveExpansionsReadTheirArgumentsFromTheLineOnly) {
    run("#define F(a, b) a + b\n#define G F\n");
    std::ofstream("d.F", std::ios::binary) << " (1, 2) rest\nnext\n";
    StreamHandle handle = STREAM_NULL;
    ASSERT_EQ(si_find_stream("d.F", &handle), SI_OK);
    ASSERT_EQ(si_open_stream(handle), SI_OK);
    lex_set_rule_set(LEX_MAIN_LEXER);
    // G's body is the name F, whose arguments follow G on the line.
    ASSERT_TRUE(pp_start_directive_expansion(macro("G"), Position{1, 1, handle}));
    std::string text;
    for (Token *t = pp_expand_next(pp_expansion_context()); t != pp_finished_token();
         t = pp_expand_next(pp_expansion_context()))
        text += std::string(t->spaced ? " " : "") + text_string(static_cast<TextHandle>(t->value));
    pp_end_directive_expansion();
    EXPECT_EQ(text, "1 + 2");
    TokenKind kind;
    Position position;
    do {
        lex_token(&kind, &position);
    } while (kind == TOKEN_HORIZ_WHITESPACE);
    EXPECT_EQ(kind, TOKEN_IDENTIFIER) << "the rest of the line is left to the directive";
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(si_mark_text()), si_mark_length()),
              "rest");
    si_close_stream();

    // A function-like name at the end of a directive line does not look at the next line.
    std::ofstream("e.F", std::ios::binary) << "\n(3, 4)\n";
    ASSERT_EQ(si_find_stream("e.F", &handle), SI_OK);
    ASSERT_EQ(si_open_stream(handle), SI_OK);
    lex_set_rule_set(LEX_MAIN_LEXER);
    EXPECT_FALSE(pp_start_directive_expansion(macro("F"), Position{1, 1, handle}));
    lex_token(&kind, &position);
    EXPECT_EQ(kind, TOKEN_NEWLINE);
    si_close_stream();
    EXPECT_TRUE(take_messages().empty());
}

TEST_F(PpMacroTest, DeepChainsAndLongArgumentsNeedNoDeepRecursion) {
    std::string chain;
    for (int i = 0; i < 1000; ++i)
        chain += "#define A" + std::to_string(i) + " A" + std::to_string(i + 1) + "\n";
    chain += "#define A1000 end\n      A0\n";
    EXPECT_EQ(run(chain), std::string(1001, '\n') + "      end \n");

    std::string nested = "#define f(x) x\n      ";
    for (int i = 0; i < 1000; ++i) nested += "f(";
    nested += "1";
    nested += std::string(1000, ')') + "\n";
    EXPECT_EQ(run(nested), "\n      1 \n");

    // 100 000 tokens over 10 000 lines in one argument, used once raw and once stringized.
    std::string args;
    std::string expected_args;
    for (int i = 0; i < 100000; ++i) {
        const char word[] = {'a', static_cast<char>('0' + i % 10), '\0'};
        args += i % 10 == 0 ? '\n' : ' ';
        args += word;
        if (i > 0) expected_args += ' ';
        expected_args += word;
    }
    std::string out =
        run("#define f(x) [x]\n#define s(x) #x\n      f(" + args + ")\n      s(" + args + ")\n");
    const std::string expected =
        "\n\n      [" + expected_args + "] \n      \"" + expected_args + "\" \n";
    EXPECT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected)
        << "first difference at "
        << std::mismatch(out.begin(), out.end(), expected.begin(), expected.end()).first -
               out.begin();
}

TEST_F(PpMacroTest, ArgumentsAndMadeTextsThatOnlyPassThroughDoNotFillTheTextTable) {
    // Distinct names, numbers, stringized arguments and line numbers on every line: none of
    // them is looked up again, so the table keeps its size; a name that is a macro inside an
    // argument is still expanded, and the texts come out whole.
    std::string source = "#define M(x) (x)\n#define S(x) #x __LINE__\n#define K 7\n";
    std::string expected = "\n\n\n";
    for (int i = 0; i < 3000; ++i) {
        std::string n = std::to_string(i);
        source += "      Y" + n + " = M(" + n + ".5D0 + Z" + n + " * K) // S(W" + n + ")\n";
        expected += "      Y" + n + " = (" + n + ".5D0 + Z" + n + " * 7)  // \"W" + n + "\" " +
                    std::to_string(i + 4) + " \n";
    }
    std::int32_t before = text_statistics().handles;
    EXPECT_EQ(run(source), expected);
    EXPECT_LT(text_statistics().handles - before, 50);
}

TEST_F(PpMacroTest, CallsNestedBeyondTheBoundEndTheRun) {
    std::string nested = "#define f(x) x\n      ";
    for (int i = 0; i < 2100; ++i) nested += "f(";
    nested += "1" + std::string(2100, ')') + "\n";
    EXPECT_EXIT(run(nested), ::testing::ExitedWithCode(1), "macro arguments nested too deeply");
}

// Formal numbers past the range of a byte: every formal gets its own argument, in a body that
// names it plainly and stringized; duplicates are still found once the list is long.
TEST_F(PpMacroTest, LongFormalListsKeepEveryFormalsNumber) {
    for (int n : {127, 128, 255, 256, 300, 1000}) {
        std::string formals;
        std::string actuals;
        for (int i = 1; i <= n; ++i) {
            if (i > 1) {
                formals += ',';
                actuals += ',';
            }
            formals += 'p';
            formals += std::to_string(i);
            actuals += std::to_string(i * 7);
        }
        const std::string last = std::to_string(n);
        const std::string name = "F" + last;
        std::string out = run("#define " + name + "(" + formals + ") [p1 p" + last + " #p" + last +
                              " p100]\n      " + name + "(" + actuals + ")\n");
        EXPECT_EQ(out, "\n      [7 " + std::to_string(n * 7) + " \"" + std::to_string(n * 7) +
                           "\" 700] \n")
            << n << " formals";
        EXPECT_EQ(take_messages(), std::vector<std::string>{}) << n << " formals";
    }
    std::string formals = "a0";
    for (int i = 1; i < 100; ++i) formals += ",a" + std::to_string(i);
    run("#define G(" + formals + ",a99,a3) 1\n");
    // The repeated names stand at columns 401 (a99) and 405 (a3).
    EXPECT_EQ(take_messages(),
              (std::vector<std::string>{"1:401 non-unique formal parameter definition",
                                        "1:405 non-unique formal parameter definition"}));
}

TEST_F(PpMacroTest, FormalsBeyondTheBoundEndTheRun) {
    std::string formals = "p0";
    for (int i = 1; i < PP_MAX_FORMALS; ++i) formals += ",p" + std::to_string(i);
    // The most formals a macro may have is accepted; one more ends the run.
    EXPECT_EQ(run("#define F(" + formals + ") p" + std::to_string(PP_MAX_FORMALS - 1) + "\n"),
              "\n");
    EXPECT_EXIT(run("#define G(" + formals + ",q) 1\n"), ::testing::ExitedWithCode(1),
                "too many formal parameters");
}

} // namespace

// Tests of the scanning loop and its text helpers on whole inputs: trigraphs and continuations in
// lexemes, the dollar rule, the end of block comments, the macro rule for single-token bodies,
// a lexeme longer than the scratch buffer, the return from an included file, the -g pairs.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "driver/options.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "msg/msg.h"
#include "pp/pp_internal.h"
#include "pp_fixture.h"
#include "si/si.h"
#include "text/text.h"

namespace fs = std::filesystem;

namespace {
// Runs sources through the loop in a folder of their own, so markers show short names.
class PpScanTest : public PreprocessorTest {
  protected:
    // Starts the output into a temporary file; `finish` returns what was written.
    void start_output() {
        out_ = std::tmpfile();
        output_stream = out_;
        pp_output_init();
    }
    std::string finish() {
        std::string text = take_output();
        si_close_stream();
        return text;
    }
    // What was written since start_output; the output goes back to standard output.
    std::string take_output() {
        pp_output_flush();
        std::string text;
        std::rewind(out_);
        for (int c; (c = std::fgetc(out_)) != EOF;) text += static_cast<char>(c);
        std::fclose(out_);
        output_stream = stdout;
        return text;
    }

    static void scan_to_end() {
        CurrentToken token{};
        pp_scan_to_end(&token);
    }

    // The output for `source` without markers, after `options` adjusted the flags.
    std::string run(const std::string &source, const std::function<void()> &options = {}) {
        write_file("t.F", source);
        options_set_defaults();
        output_unix_line = 0;
        if (options) options();
        open_main("t.F");
        start_output();
        scan_to_end();
        return finish();
    }

    std::FILE *out_ = nullptr;
};

// An object-like macro NAME whose body is one token.
void define_one_token(const char *name, TokenKind kind, const char *text) {
    PpMacro *macro = pp_new_macro(text_enter_string(name), Position{1, 1, 2});
    macro->n_formals = -1;
    macro->body = pp_new_token(kind, text_enter_string(text));
}

// ---- Fortran mode ----------------------------------------------------------------------------

TEST_F(PpScanTest, SourceFormComesFromTheExtensionOrTheIncluder) {
    options_set_defaults();
    for (const char *name : {"a.F", "a.f", "dir.x/a.FOR", "a.ftn", "a.F77", "a.fpp", "A.FpP"}) {
        EXPECT_EQ(pp_form_for(name, 0), 1) << name;
        EXPECT_EQ(pp_form_for(name, 1), 1) << name;
    }
    for (const char *name : {"a.F90", "a.f95", "a.F03", "a.f08", "a.F18", "a.f23"}) {
        EXPECT_EQ(pp_form_for(name, 0), 0) << name;
        EXPECT_EQ(pp_form_for(name, 1), 0) << name;
    }
    // Any other name takes the includer's form; the folder's name does not count.
    for (const char *name : {"a.h", "a.inc", "a.fi", "a.fh", "a", "f.d/a", "a.f9", "a.F900"}) {
        EXPECT_EQ(pp_form_for(name, 0), 0) << name;
        EXPECT_EQ(pp_form_for(name, 1), 1) << name;
    }
    source_form = 2;
    EXPECT_EQ(pp_form_for("a.F", 1), 0);
    source_form = 1;
    EXPECT_EQ(pp_form_for("a.f90", 0), 1);
    options_set_defaults();
}

TEST_F(PpScanTest, DirectiveSentinelsAfterTheCommentMark) {
    auto sentinel = [](const char *text) {
        return pp_sentinel_at(reinterpret_cast<const unsigned char *>(text));
    };
    for (const char *yes : {"$ x", "$\tx", "$omp parallel", "$OMP\n", "$Acc&", "dir$ ivdep",
                            "DEC$(", "gcc$ builtin", "$omp\n"})
        EXPECT_EQ(sentinel(yes), 1) << yes;
    // In a buffer every line ends in a newline.
    for (const char *no : {"$\n", "$x\n", "$om\n", "omp\n", " $omp\n", "dir\n", "di\nr$", "\n$omp",
                           "gcc \n", "$ompx"})
        EXPECT_EQ(sentinel(no), 0) << no;
    // A 0 byte (the end of the buffered data) before the answer.
    EXPECT_EQ(sentinel(""), -1);
    EXPECT_EQ(sentinel("$o"), -1);
}

TEST_F(PpScanTest, TrigraphsInConstantsOnlyUnderTheSwitch) {
    const std::string source = "      X = '?\?(a?\?)' // \"?\?\?=?\?x\"\n";
    EXPECT_EQ(run(source), source);
    EXPECT_EQ(run(source, [] { string_trigraphs = 1; }), "      X = '[a]' // \"?#??x\"\n");
}

TEST_F(PpScanTest, ContinuationsLeaveLexemesOnlyWhileTheFlagIsSet) {
    const std::string source = "AB\\\nC = 1\n";
    EXPECT_EQ(run(source), source) << "an ordinary line keeps its backslash-newline";
    EXPECT_EQ(run(source, [] { pp_continuation_flag = 1; }), "ABC = 1\n");
    // A continued string loses its backslash-newlines whatever the flag says.
    EXPECT_EQ(run("S = 'a\\\nb'\n"), "S = 'ab'\n");
}

TEST_F(PpScanTest, DollarRuleCutsIdentifiersWithoutDollarIdent) {
    // A is a macro: it is expanded only when the dollar rule cuts it out of A$B.
    auto with_macro = [](std::uint8_t dollar) {
        return [dollar] {
            expand_macros = 1;
            dollar_ident = dollar;
            define_one_token("A", TOKEN_DECCONST, "1");
        };
    };
    EXPECT_EQ(run("X = A$B\n", with_macro(1)), "X = A$B\n");
    EXPECT_EQ(run("X = A$B\n", with_macro(0)), "X = 1 $B\n");
    EXPECT_EQ(run("X = $A\n", with_macro(0)), "X = $1 \n") << "a leading $ stands alone";
    // A name longer than the stream keeps for backing up: nothing is lost or read twice.
    std::string long_name = "X = N$" + std::string(5000, 'B') + "\n";
    EXPECT_EQ(run(long_name, [] { dollar_ident = 0; }), long_name);
}

TEST_F(PpScanTest, SingleTokenBodiesAreWrittenOnlyUnderDashM) {
    auto define = [] { define_one_token("A", TOKEN_DECCONST, "1"); };
    EXPECT_EQ(run("X = A\n", define), "X = A\n");
    EXPECT_EQ(run("X = A\n",
                  [&] {
                      define();
                      expand_macros = 1;
                  }),
              "X = 1 \n");
    // An empty body leaves one blank unless a blank was written last.
    auto empty = [] {
        expand_macros = 1;
        PpMacro *macro = pp_new_macro(text_enter_string("E"), Position{1, 1, 2});
        macro->body = pp_null_token();
    };
    EXPECT_EQ(run("X=E+1\n", empty), "X= +1\n");
    EXPECT_EQ(run("X E Y\n", empty), "X  Y\n");
}

TEST_F(PpScanTest, BlockCommentsEndThroughContinuationsAfterTheStar) {
    struct Case {
        const char *source;
        const char *copied;   // -C
        const char *replaced; // -noC
    } cases[] = {
        {"A/* x *\\\n/B\n", "A/* x *\\\n/ B\n", "A B\n"},
        {"A/* x *?\?/\n/B\n", "A/* x *?\?/\n/ B\n", "A B\n"},
        {"A/* *?/ **/B\n", "A/* *?/ **/ B\n", "A B\n"},
        {"A/* x *\\ / y */B\n", "A/* x *\\ / y */ B\n", "A B\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(run(c.source), c.copied) << c.source;
        EXPECT_EQ(run(c.source, [] { output_comments = 0; }), c.replaced) << c.source;
    }
}

TEST_F(PpScanTest, ALexemeLongerThanTheScratchBufferIsRewrittenWhole) {
    std::string body(70000, 'x');
    body[35000] = '?';
    body[35001] = '?';
    body[35002] = '(';
    std::string expected_body = body.substr(0, 35000) + "[" + body.substr(35003);
    EXPECT_EQ(run("S = '" + body + "'\n", [] { string_trigraphs = 1; }),
              "S = '" + expected_body + "'\n");
    EXPECT_GE(pp_scratch_capacity(), 70000u);
}

TEST_F(PpScanTest, TextThatIsOnlyWrittenDoesNotFillTheTextTable) {
    // More distinct numbers and names than the text table can hold.
    std::string source;
    for (int i = 0; i < 140000; ++i) {
        std::string number = std::to_string(i);
        source.append("X").append(number).append("=").append(number).append("\n");
    }
    std::int32_t before = text_statistics().handles;
    EXPECT_EQ(run(source), source);
    EXPECT_LT(text_statistics().handles - before, 100);
}

TEST_F(PpScanTest, AnIncludedFileEndsWithANewlineAndAMarkerForTheIncluder) {
    write_file("m.F", "A\nB\n");
    write_file("i.F", "I\n");
    open_main("m.F");
    start_output();
    CurrentToken token{};
    pp_scan_step(&token);
    ASSERT_EQ(token.kind, TOKEN_IDENTIFIER);
    // Enter i.F as the include directive does once its line is read.
    StreamHandle inner = STREAM_NULL;
    ASSERT_EQ(si_find_stream("i.F", &inner), SI_OK);
    ASSERT_EQ(si_include(inner), SI_OK);
    pp_push_file("i.F");
    pp_force_marker();
    scan_to_end();
    EXPECT_STREQ(text_string(pp_file_top()->actual_file), "m.F") << "the record was popped";
    // I's line end, the newline for the end of i.F, the rest of m.F's line 1, B's marker.
    EXPECT_EQ(finish(), "\n# 1 \"m.F\"\nA\n# 1 \"i.F\"\nI\n\n\n\n# 2 \"m.F\"\nB\n");
}

TEST_F(PpScanTest, BothMarkerFormsOnGiveWhiteSpaceTheLineForm) {
    write_file("b.F", "  X\n");
    output_ansi_line = 1;
    open_main("b.F");
    start_output();
    scan_to_end();
    EXPECT_EQ(finish(), "\n#line 1 \"b.F\"\n  X\n");
    write_file("c.F", "X\n");
    open_main("c.F");
    start_output();
    scan_to_end();
    EXPECT_EQ(finish(), "\n# 1 \"c.F\"\nX\n");
}

// Opens `source` and reads its first token (a macro name) with the ordinary rule set.
void open_after_name(const std::string &source) {
    std::ofstream("n.F", std::ios::binary) << source;
    StreamHandle handle = STREAM_NULL;
    ASSERT_EQ(si_find_stream("n.F", &handle), SI_OK);
    ASSERT_EQ(si_open_stream(handle), SI_OK);
    lex_set_rule_set(LEX_MAIN_LEXER);
    TokenKind kind;
    Position position;
    ASSERT_EQ(lex_token(&kind, &position), TOKEN_IDENTIFIER);
}

TEST_F(PpScanTest, LookaheadForAParenthesisRewindsWhenThereIsNone) {
    struct Case {
        const char *source;
        bool found;
        TokenKind next; // the token read after the look-ahead
    } cases[] = {
        {"F(x)", true, TOKEN_IDENTIFIER},
        {"F \
 /* c\n */\n\n  (x)",
         true, TOKEN_IDENTIFIER},
        {"F  + 1", false, TOKEN_HORIZ_WHITESPACE},
        {"F\n(x)", true, TOKEN_IDENTIFIER},
        {"F\n", false, TOKEN_NEWLINE},
    };
    for (const Case &c : cases) {
        open_after_name(c.source);
        EXPECT_EQ(pp_lookahead_lparen(), c.found) << c.source;
        TokenKind kind;
        Position position;
        EXPECT_EQ(lex_token(&kind, &position), c.next) << c.source;
        if (!c.found) {
            EXPECT_EQ(position.column, 2) << "read again from just after the name";
        }
        si_close_stream();
    }
    // The end of input inside a comment: false, and the end is still there to be read.
    open_after_name("F /* open");
    EXPECT_FALSE(pp_lookahead_lparen());
    TokenKind kind;
    Position position;
    EXPECT_EQ(lex_token(&kind, &position), TOKEN_END_OF_FILE);
    si_close_stream();
}

TEST_F(PpScanTest, ArgumentTokensCarryTheirSpacingAndConvertedText) {
    open_after_name("F(a,b  /* c */ c\\\nd\n #x ## ?\?/ e$");
    struct Expected {
        TokenKind kind;
        const char *text;
        std::uint8_t spaced;
    } expected[] = {
        {TOKEN_LPAREN, "(", 0},
        {TOKEN_IDENTIFIER, "a", 0},
        {TOKEN_COMMA, ",", 0},
        {TOKEN_IDENTIFIER, "b", 0},
        {TOKEN_IDENTIFIER, "c\\\nd", 1}, // a continued name keeps its
                                         // backslash-newline
        {ERROR_TOKEN, "#", 1},
        {TOKEN_IDENTIFIER, "x", 0},
        {ERROR_TOKEN, "##", 1},
        {ERROR_TOKEN, "\\", 1},
        {TOKEN_IDENTIFIER, "e$", 1},
    };
    CurrentToken token{};
    TextHandle value = TEXT_NULL;
    std::uint8_t spaced = 9;
    for (const Expected &e : expected) {
        EXPECT_EQ(pp_next_arg_token(&token, &value, &spaced), e.kind) << e.text;
        EXPECT_STREQ(text_string(value), e.text);
        EXPECT_EQ(spaced, e.spaced) << e.text;
    }
    EXPECT_EQ(pp_next_arg_token(&token, &value, &spaced), TOKEN_END_OF_FILE);
    EXPECT_EQ(pp_next_arg_token(&token, &value, &spaced), TOKEN_END_OF_FILE)
        << "the end of input is left unread";
    si_close_stream();
}

// ---- Directive-line checks ------------------------------------------------------------------

// Opens `source` as the current stream, read from its start with the ordinary rule set.
void open_source(const std::string &source) {
    std::ofstream("d.F", std::ios::binary) << source;
    StreamHandle handle = STREAM_NULL;
    ASSERT_EQ(si_find_stream("d.F", &handle), SI_OK);
    ASSERT_EQ(si_open_stream(handle), SI_OK);
    lex_set_rule_set(LEX_MAIN_LEXER);
}

// The messages stored so far as "line:column text", marked printed, and the store emptied.
std::vector<std::string> take_messages() {
    std::vector<std::string> out;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) {
        out.push_back(position_is_null(m->position)
                          ? std::string("-:- ") + m->text
                          : std::to_string(m->position.line) + ":" +
                                std::to_string(m->position.column) + " " + m->text);
        m->printed = 1;
    }
    msg_clear_messages();
    return out;
}

TokenKind next_kind() {
    TokenKind kind;
    Position position;
    return lex_token(&kind, &position);
}

TEST_F(PpScanTest, DirectiveEndComplainsBeforeTheFixedLineLengthOnly) {
    struct Case {
        std::string rest; // what follows the directive's operands
        std::vector<std::string> messages;
    } cases[] = {
        {"  /* c */  \n", {}},
        {"  X\n", {"1:3 illegal token on pp directive line"}},
        {std::string(70, ' ') + "X\n", {"1:71 illegal token on pp directive line"}},
        {std::string(71, ' ') + "X Y\n", {}},
        {" \v X\n", {"1:2 vertical whitespace within pp directive"}},
        {" ", {"1:2 file ends in unfinished pp directive"}},
    };
    for (const Case &c : cases) {
        bool line_ends = c.rest.back() == '\n';
        open_source(line_ends ? c.rest + "NEXT\n" : c.rest);
        pp_check_directive_end();
        EXPECT_EQ(take_messages(), c.messages) << c.rest;
        // The line end was consumed: the next line's first token comes next.
        EXPECT_EQ(next_kind(), line_ends ? TOKEN_IDENTIFIER : TOKEN_END_OF_FILE) << c.rest;
        si_close_stream();
    }
}

TEST_F(PpScanTest, DirectiveRestAtTheEndOfInputReportsWithoutAPosition) {
    open_source(" a b");
    EXPECT_FALSE(pp_skip_directive_rest());
    EXPECT_EQ(take_messages(),
              std::vector<std::string>{"-:- file ends in an unfinished pp directive"});
    EXPECT_EQ(next_kind(), TOKEN_END_OF_FILE) << "the end of input is left unread";
    si_close_stream();
}

TEST_F(PpScanTest, DirectiveTailReportsOneProblemAndLeavesTheNewline) {
    PpMacro *empty = pp_new_macro(text_enter_string("E"), Position{1, 1, 2});
    empty->body = pp_null_token();
    define_one_token("ONE", TOKEN_DECCONST, "1");
    struct Case {
        const char *rest;
        std::vector<std::string> messages;
    } cases[] = {
        {" E /* c */ E\n", {}},
        {" a b c\n", {"1:2 illegal token on pp directive line"}},
        {" E ONE\n", {"1:4 illegal token on pp directive line"}},
        {" \v x\n",
         {"1:2 vertical whitespace within pp directive", "1:4 illegal token on pp directive line"}},
        {" x \v\n", {"1:2 illegal token on pp directive line"}},
    };
    for (const Case &c : cases) {
        open_source(c.rest);
        pp_check_directive_tail();
        EXPECT_EQ(take_messages(), c.messages) << c.rest;
        EXPECT_EQ(next_kind(), TOKEN_NEWLINE) << c.rest;
        si_close_stream();
    }
    open_source(" x");
    pp_check_directive_tail();
    EXPECT_EQ(take_messages(), std::vector<std::string>{"1:2 illegal token on pp directive line"})
        << "after a problem the end of input is silent";
    EXPECT_EQ(next_kind(), TOKEN_END_OF_FILE);
    si_close_stream();
}

TEST_F(PpScanTest, ExpandedTokensGetABlankWhenSpacedOrWhenDashGAsks) {
    auto token = [](TokenKind kind, const char *text, std::uint32_t line) {
        return CurrentToken{kind, text_enter_string(text), Position{line, 1, 2}};
    };
    auto write_all = [&](std::uint8_t spacing) {
        token_spacing = spacing;
        start_output();
        CurrentToken a = token(TOKEN_IDENTIFIER, "A", 0), b = token(TOKEN_IDENTIFIER, "B", 0),
                     minus = token(TOKEN_DASH, "-", 0), gt = token(TOKEN_GT, ">", 0),
                     paren = token(TOKEN_LPAREN, "(", 0);
        pp_write_expanded_token(&a, 0);
        pp_write_expanded_token(&b, 0);
        pp_write_expanded_token(&minus, 0);
        pp_write_expanded_token(&gt, 0);
        pp_write_expanded_token(&paren, 0);
        pp_write_expanded_token(&a, 1);
        return take_output();
    };
    output_unix_line = 0;
    EXPECT_EQ(write_all(0), "AB->( A");
    EXPECT_EQ(write_all(1), "A B- >( A");
    // With markers on, a token of another line gets its marker instead of a blank.
    output_unix_line = 1;
    pp_push_file("e.F");
    token_spacing = 0;
    start_output();
    CurrentToken first = token(TOKEN_IDENTIFIER, "A", 3), second = token(TOKEN_IDENTIFIER, "B", 3);
    pp_write_expanded_token(&first, 1);
    pp_write_expanded_token(&second, 1);
    EXPECT_EQ(take_output(), "\n# 3 \"e.F\"\nA B");
}

TEST_F(PpScanTest, SpacingPairsAreLookedUpLastKindFirst) {
    token_spacing = 1;
    pp_output_init();
    EXPECT_TRUE(pp_spacing_needed(TOKEN_DASH, TOKEN_GT));
    EXPECT_FALSE(pp_spacing_needed(TOKEN_GT, TOKEN_DASH));
    EXPECT_TRUE(pp_spacing_needed(TOKEN_IDENTIFIER, TOKEN_IDENTIFIER));
    EXPECT_TRUE(pp_spacing_needed(ERROR_TOKEN, ERROR_TOKEN));
    EXPECT_TRUE(pp_spacing_needed(TOKEN_PPNUM, TOKEN_DOT));
    EXPECT_FALSE(pp_spacing_needed(TOKEN_IDENTIFIER, TOKEN_LPAREN));
    EXPECT_FALSE(pp_spacing_needed(TOKEN_NEWLINE, TOKEN_IDENTIFIER));
    int pairs = 0;
    for (int last = 0; last < TOKEN_KIND_COUNT; ++last)
        for (int next = 0; next < TOKEN_KIND_COUNT; ++next)
            pairs += pp_spacing_needed(TokenKind(last), TokenKind(next)) ? 1 : 0;
    EXPECT_EQ(pairs, 126);
    token_spacing = 0;
    pp_output_init();
    EXPECT_FALSE(pp_spacing_needed(TOKEN_IDENTIFIER, TOKEN_IDENTIFIER)) << "no table without -g";
}

} // namespace

// ---- Lines copied whole -----------------------------------------------------------------------

// The output and messages of `source` (as t.F, markers on) after `options`, read with or without
// the whole-line copy; `copied` receives the number of lines copied whole.
struct PlainRun {
    std::string output;
    std::vector<std::string> messages;
    std::uint64_t copied;
};

class PpPlainLineTest : public PpScanTest {
  protected:
    PlainRun run_lines(const std::string &source, bool plain_lines,
                       const std::function<void()> &options) {
        write_file("t.F", source);
        write_file("t.h", "      h = 1\n  \n      h = 'x'   \n");
        options_set_defaults();
        if (options) options();
        pp_set_plain_lines(plain_lines);
        std::uint64_t before = pp_plain_lines_copied();
        open_main("t.F");
        start_output();
        scan_to_end();
        PlainRun result{finish(), take_messages(), pp_plain_lines_copied() - before};
        // The next run starts from a fresh toolkit: no macros, groups or files left over.
        TearDown();
        SetUp();
        return result;
    }
};

// Lines that start plain and turn special mid-line, trailing blanks inside and outside open
// constants, blank lines, a line crossing the 2 KiB read buffer, the last line without a
// newline, skipped groups, continuation lines, an include, and macros under -m: under every
// option set the output and the messages are the same whether lines are copied whole or not.
TEST_F(PpPlainLineTest, CopiedLinesGiveTheSameOutputAndMessagesAsTokenByToken) {
    std::string crossing;
    for (int i = 0; i < 70; ++i) crossing += "      x" + std::to_string(i) + " = y + 1.5e3\n";
    crossing += "      long = " + std::string(2500, 'a') + "\n      after = 1\n";
    // Macro names and other names at every place of the 16-byte blocks the copy tests at once,
    // ending inside their block and running past it, after blanks, digits and operators.
    std::string places = "#define LONGNAME 1\n#define N2 2\n";
    for (int k = 0; k < 40; ++k)
        places += "      x = " + std::string(k, ' ') + "LONGNAME+N2 + 1LONGNAME + LONGNAMES" +
                  std::string(k % 7, '_') + "*N2\n";
    const std::vector<std::string> sources = {
        "      x = 1\n      y = 2\n",
        "      x = a /* c */ + b\n      y = a /* two\n lines */ + c\n      z = 1\n",
        "      x = y ?\n      s = 'a\\\n b'\n      t = ?\?( 1 ?\?)\n      u = 1\n",
        "      x = a // b\n      y = 'a//b' // \"c\" /* d */\n      z = 1\n",
        "      x = a # b\n      x = a ## b\n      y = a$b + $c\n      z = 1\n",
        "      x = 1   \t \n   \n\n\n\t\n      y = 2\n\n",
        "C don't   \n      s = \"abc  \n      t = 'a''b'  \n      u = \"it's\" \n",
        "      x = 1 +\n     &  2\n      y = a\\\n+ b\n",
        "#if 0\n      x = 1\n#endif\n      y = 2\n#ifdef NONE\n      z\n#else\n      w\n#endif\n",
        "      x = 1\n#include \"t.h\"\n      y = 2\n",
        "#define A 1\n#define F(a) (a)\n      x = A + B\n      y = B\n      z = F (3) + F\n"
        "      w = F\n     & (4)\n      v = __LINE__ + x.and.y + 1.e5 + 1.0_A\n",
        "      x = 1 \f 2\n      y = 1 \v 2\r\n      z = 1 \x01 @ ` \x80\n      w = 1 \0 2\n",
        "\t  x = 1\n#pragma (output_ansi_line 1)\n\t  y = 2\n      z = 3\n#line 40\n      w\n",
        "      x = 1\r\n      y = 2\r\n",
        // Runs of whole lines: after a marker, broken by trailing blanks and blank lines, and
        // followed by a line that needs a marker of its own.
        "      a = 1\n      b = 2\n#line 40\n      c = 3\n      d = 4\n      e = 5   \n"
        "      f = 6\n      g = 7\n\n\n      h = 8\n      i = 9\n#line 7\n      j\n      k\n",
        crossing,
        places,
        "      x = 1\n      last = 2",
        "      x = 1\n      last = 2   ",
        "      x = 1\n      last = 'open  ",
        "#define F(a) a\n      x = 1\n      last = F((",
        "",
        // Under -m: text before a macro name and after its expansion, a name after a constant
        // or with no blank before it, empty and one-token bodies, calls over two lines, a
        // name without its parentheses, comments and `//` around calls, trailing blanks.
        "#define A 1\n#define E\n#define F(a) (a)\n#define G(a,b) a+b\n#define S 'x y'\n"
        "      x = F(1) + G(2, 3)   \n      y = 'a b'A + 'c'   A\n      z = A+E+F (2)\n"
        "      w = E\n      v = F(1) // 'it''s' F(2)\n      u = G(1,\n     &   2) + A\n"
        "      t = A   \n      s = x F y\n      r = F\n      q = S S\n"
        "      p = A/* c */ + F(1)/2\n      o = E   E\n      n = F(F(A)) E\n"
        "      m = 'open A\n      l = A 'open\n E\n      k = A ?\n      j = A \\\n A\n"
        "      i = (E) + (A,E) + f(A,F(1)) + (E,E)+g(S,A)\n",
        // Fortran comments, sentinels and fixed-form comment lines (t.F is fixed form unless
        // an option set says free), literals with doubled quotes and backslashes, a `!` in
        // column 6, comments in a skipped group, a backslash ending a code or comment line.
        "#define A 1\n#define F(a) 'a' // a\n      x = A ! it's A /* \\\n      y = A\n"
        "C     comment A /* it's\nc$omp parallel A\n*     star A\n!$omp end A\n!dir$ A\n"
        "D     z = A ! $omp\n     !  w = A\n      s = 'a\\' // A // \"b\"\"c A\" // F(A)\n"
        "#if 0\n      x = 1 ! a /* b\nC     it's /* c\n#endif\n      v = A != A ! A \\\n"
        "      u = A//A ??= A\n!$ t = A\n!$x A\n      r = 'open A\n      q = wrap_/**/A\n"
        "      p = 1 ! trail   \nC     fixed trail  \n      o = L'a\\' // A // 'b' // L\"c\\\" A "
        "\"d\"\n",
        // Arguments read straight from the buffer and the ones that need the lexer: tabs and
        // blanks, nested parentheses, names followed by a quote, `$`, a continuation or a
        // line end, an `L` constant, numbers and operators, an empty argument, a list over
        // two lines and one that runs past a 1 KiB refill, a call left open at the end.
        "#define F(a) [a]\n#define G(a,b) a|b\n#define N 1\n"
        "      x = F( y ) + G(\ta ,\t b) + F((p, q)) + G(F(r), N)\n"
        "      y = F(a'b') + F(L'c') + F(a$b) + F(a\\\nb) + F(a\n     & b)\n"
        "      z = G(1.5e3, x.and.y) + G(, ) + F() + G(a /* c */, b) + F(\n  c)\n"
        "      w = G(" +
            std::string(1100, 'n') + ", m) + F(" + std::string(30, ' ') +
            "k)\n"
            "      v = F(open\n",
        // The column count of a line whose text after an expansion reaches past the widest
        // column.
        "#define F(a) (a)\n      x = " + std::string(65520, 'a') + " F(1) + b\n      y = F(2) + " +
            std::string(65520, 'b') + "\n      z = 1\n",
    };
    const std::vector<std::function<void()>> option_sets = {
        [] {},
        [] { expand_macros = 1; },
        [] { compress_newlines = 1; },
        [] { double_slash_comments = 1; },
        [] { output_unix_line = 0; },
        [] { output_ansi_line = 1; },
        [] { output_comments = 0; },
        [] { dollar_ident = 0; },
        [] { string_trigraphs = 1; },
        [] {
            expand_macros = 1;
            token_spacing = 1;
            compress_newlines = 1;
        },
        [] {
            apply_fortran_lexing(true);
            expand_macros = 1;
        },
        [] { apply_fortran_lexing(true); },
        [] {
            apply_fortran_lexing(true);
            expand_macros = 1;
            source_form = 2;
        },
        [] {
            fortran_comments = 1;
            expand_macros = 1;
        },
        [] {
            fortran_lines = 1;
            expand_macros = 1;
        },
        [] {
            fortran_literals = 1;
            fortran_lines = 1;
            expand_macros = 1;
        },
        [] {
            strip_c_comments = 1;
            fortran_spacing = 1;
            expand_macros = 1;
        },
    };
    std::uint64_t copied = 0;
    for (std::size_t s = 0; s < sources.size(); ++s) {
        for (std::size_t o = 0; o < option_sets.size(); ++o) {
            PlainRun slow = run_lines(sources[s], false, option_sets[o]);
            PlainRun fast = run_lines(sources[s], true, option_sets[o]);
            EXPECT_EQ(slow.copied, 0u);
            EXPECT_EQ(fast.output, slow.output) << "source " << s << ", options " << o;
            EXPECT_EQ(fast.messages, slow.messages) << "source " << s << ", options " << o;
            copied += fast.copied;
        }
    }
    // Most of the lines above are plain: the comparison really covers the copy.
    EXPECT_GT(copied, 500u);
}

// The scan that tests 16 bytes at once stops where the byte-by-byte one does, for every class
// table, byte value and place within a load.
TEST_F(PpPlainLineTest, WideScanStopsWhereTheByteScanDoes) {
    EXPECT_EQ(pp_plain_scan_mismatches(), 0u);
}

// The hints made 32 bytes to a compare are those made 16 bytes to a compare.
TEST_F(PpPlainLineTest, WideHintsAreTheNarrowOnes) {
    if (!pp_set_wide_hints(true)) GTEST_SKIP() << "the processor has no 32-byte compares";
    EXPECT_EQ(pp_plain_hint_mismatches(), 0u);
}

// Worked out by hand: the marker before the first line, blanks before a newline dropped except
// in a constant left open, a blank line as a bare newline, and -n squeezing empty lines.
// Lines put together at random (fixed seed) from the pieces the Fortran mode treats specially:
// under each of its option sets the whole-line copy and the token-by-token reading agree.
TEST_F(PpPlainLineTest, RandomFortranLinesGiveTheSameOutputBothWays) {
    const std::vector<std::string> line_starts = {
        "      ", "C ",  "c",      "*",  "!",       "D ",       "     !", "c$omp ",
        "!$omp ", "!$ ", "*$acc ", "\t", "#if 0\n", "#endif\n", "",       "!dir$ "};
    const std::vector<std::string> pieces = {
        "A",  " ",          "'",  "''",        "\"",  "!",    "!=", "\\", "??=", "??/",
        "/*", "*/",         "//", "F(",        ")",   ",",    "x",  "1",  "$",   "\t",
        "&",  "wrap_/**/A", "E",  "'it''s A'", "A!A", "$omp", "L'", "L"};
    const std::string definitions = "#define A 1\n#define E\n#define F(a) 'a' // a\n";
    const std::vector<std::function<void()>> option_sets = {
        [] {
            apply_fortran_lexing(true);
            expand_macros = 1;
        },
        [] {
            apply_fortran_lexing(true);
            expand_macros = 1;
            source_form = 2;
        },
        [] { apply_fortran_lexing(true); },
        [] {
            fortran_comments = 1;
            expand_macros = 1;
        },
        [] {
            fortran_literals = 1;
            expand_macros = 1;
        },
    };
    std::mt19937 random(20261208);
    std::uint64_t copied = 0;
    for (int round = 0; round < 12; ++round) {
        std::string source = definitions;
        for (int line = 0; line < 40; ++line) {
            source += line_starts[random() % line_starts.size()];
            for (unsigned n = random() % 9; n > 0; --n) source += pieces[random() % pieces.size()];
            source += "\n";
        }
        source += "#endif\n";
        for (std::size_t o = 0; o < option_sets.size(); ++o) {
            PlainRun slow = run_lines(source, false, option_sets[o]);
            PlainRun fast = run_lines(source, true, option_sets[o]);
            EXPECT_EQ(fast.output, slow.output) << "round " << round << ", options " << o << "\n"
                                                << source;
            EXPECT_EQ(fast.messages, slow.messages) << "round " << round << ", options " << o;
            copied += fast.copied;
        }
    }
    // Comment lines and lines without a macro are copied whole: the copy is really compared.
    EXPECT_GT(copied, 400u);
}

// The end of each block read (the ring takes 2 KiB first, then 1 KiB at a time, the next block
// following in place and at the ring's start in turn) put on every byte of pieces whose reading
// depends on what comes after: a comment opener, a name under -m, a constant, a `$`, trailing
// blanks, the line's end, the file's end. Each place is hit twice in a row, once for each kind of
// block. The copy that goes on over a block read in mid-line agrees with the lexer, also in the
// positions of the messages after it.
TEST_F(PpPlainLineTest, EveryPlaceOfABlockEndGivesTheSameOutputBothWays) {
    const std::string definitions =
        "#define A 1\n#define F(a) [a]\n#define AB(x) <x>\n#define G(a,b) (a) b\n";
    // Two files, each below the size that is read ahead (whose blocks end elsewhere): pieces
    // the copy treats specially, and calls written at once, arguments read by the lexer too.
    const std::vector<std::vector<std::string>> groups = {
        {"a /* c */ b", "a // b", "a / b", "'it''s' x", "a$b c", "A + AB(2)", "x F(1) y",
         "AB F (2)", "p   \n", "'open \n", "1.5D0+B", "(A,A)", "??= x", "q !c A"},
        {"G(x .GT. 1078, 'it''s')", "F( 1.5D0 + 2 )", "G(p,q)r", "b F(1,2) G(3)"}};
    std::vector<std::string> sources;
    for (const std::vector<std::string> &pieces : groups) {
        std::string source = definitions;
        std::size_t seam = 2048;
        for (const std::string &piece : pieces) {
            for (std::size_t k = 0; k <= piece.size(); ++k) {
                for (int twice = 0; twice < 2; ++twice) {
                    const std::string head = "      y = ";
                    // The piece's byte k lands on the block's end; filler lines lead up to it.
                    while (source.size() + head.size() + k + 12 > seam) seam += 1024;
                    std::size_t gap = seam - (source.size() + head.size() + k);
                    while (gap > 80) {
                        source += "      x = 1 + 2 + 3 + 4 + 5 + 6 + 7 + 8 + 9\n";
                        gap -= 44;
                    }
                    if (gap < 12) {
                        source += std::string(gap, ' ') + "\n";
                    } else {
                        source += "      x = " + std::string(gap - 11, 'p') + "\n";
                    }
                    source += head + piece + (piece.back() == '\n' ? "" : " + z\n");
                    seam += 1024;
                }
            }
        }
        ASSERT_LT(source.size(), 256u * 1024);
        sources.insert(sources.end(),
                       {source, source.substr(0, source.size() - 1), source + "      w = 'x"});
    }
    const std::vector<std::function<void()>> option_sets = {
        [] {},
        [] { expand_macros = 1; },
        [] { double_slash_comments = 1; },
        [] {
            apply_fortran_lexing(true);
            expand_macros = 1;
        },
        [] {
            apply_fortran_lexing(true);
            fortran_operators = 1;
            expand_macros = 1;
        },
        [] { apply_fortran_lexing(true); },
        [] { fortran_comments = 1; },
    };
    std::uint64_t copied = 0;
    for (std::size_t s = 0; s < sources.size(); ++s) {
        for (std::size_t o = 0; o < option_sets.size(); ++o) {
            PlainRun slow = run_lines(sources[s], false, option_sets[o]);
            PlainRun fast = run_lines(sources[s], true, option_sets[o]);
            EXPECT_EQ(fast.output, slow.output) << "source " << s << ", options " << o;
            EXPECT_EQ(fast.messages, slow.messages) << "source " << s << ", options " << o;
            copied += fast.copied;
        }
    }
    EXPECT_GT(copied, 10000u);
}

// Large files are read ahead in blocks by a second thread, which also marks where the copy must
// stop under -m (the names that may name a macro among them). With blocks of 4 KiB instead of
// 256, lines put together at random from pieces the copy treats specially, macros defined in the
// text between uses (`#define` and `# define`, whose names the marks take in ahead of time), in
// included files (which the marks cannot foresee: the uses after them must still expand), more
// of them at once than the check of definitions keeps, and in spellings the look-ahead does not
// know: under each option set the copy over the marks agrees with the token-by-token reading.
TEST_F(PpPlainLineTest, MarkedBlocksReadAheadGiveTheSameOutputBothWays) {
    std::string many;
    for (int i = 0; i < 80; ++i)
        many += "#define MANY" + std::to_string(i) + " m" + std::to_string(i) + "\n";
    // Each run starts in a fresh folder: the included files are written with its options.
    auto headers = [many] {
        write_file("inc1.h", "#define INC1 (i1)\n#define INCF(a) [a]\n");
        write_file("many.h", many.c_str());
        // The lists the command line builds without -I: the main file's folder only.
        include_dirs = static_cast<char **>(mm_get_cvblock(mm_general_pool(), 2 * sizeof(char *)));
        include_dirs[0] = static_cast<char *>(mm_get_cvblock(mm_general_pool(), OPTION_NAME_SIZE));
        sys_include_dirs = static_cast<char **>(mm_get_cvblock(mm_general_pool(), sizeof(char *)));
    };
    const std::vector<std::string> pieces = {
        "A",     " ",       "'A B'",  "\"A\"",
        "!A",    "F(x)",    "F(A+B)", ",",
        "x",     "1.5D0",   "AB",     "A1",
        "_A",    "/*A*/",   "//",     "/",
        "NEW1",  "NEW2(1)", "INC1",   "INCF(A)",
        "MANY7", "MANY79",  "SPLIT1", "LATE",
        "B_A",   "E5",      "1E5",    "\t",
        "&",     "'it''s'", "x.A.y",  "LONGNAMEOFTHIRTYTWOBYTESATLEAST_"};
    const std::vector<std::string> directives = {
        "#define NEW1 n1\n",     "# define NEW2(q) <q>\n",  "#include \"inc1.h\"\n",
        "#include \"many.h\"\n", "#/**/define SPLIT1 s1\n", "#undef A\n",
        "#define A 1\n",         "#define LATE late\n"};
    const std::string line_starts[] = {"      ", "C ", "      ", "!", "      ", "  "};
    // Each directive once with uses of its names after it, and at random.
    std::mt19937 random(20261209);
    std::string source = "#define A 1\n#define F(a) (a)\n#define AB(x) <x>\n";
    for (int line = 0; line < 3000; ++line) {
        if (line % 300 == 150) {
            // Uses right after the definition, in the same block.
            source += directives[(line / 300) % directives.size()];
            for (int use = 0; use < 40; ++use)
                source += "      y = NEW1 + INC1 + INCF(2) + MANY79 + LATE + SPLIT1 + NEW2(3)\n";
        }
        if (random() % 97 == 0) source += directives[random() % directives.size()];
        source += line_starts[random() % 6];
        for (unsigned n = random() % 12; n > 0; --n) source += pieces[random() % pieces.size()];
        source += "\n";
    }
    const std::vector<std::function<void()>> option_sets = {
        [headers] {
            headers();
            expand_macros = 1;
        },
        [headers] {
            headers();
            apply_fortran_lexing(true);
            expand_macros = 1;
        },
        [headers] {
            headers();
            apply_fortran_lexing(true);
            expand_macros = 1;
            source_form = 2;
        },
        [headers] {
            headers();
            fortran_comments = 1;
            expand_macros = 1;
        },
        [headers] {
            headers();
            double_slash_comments = 1;
            expand_macros = 1;
        },
    };
    std::uint64_t hinted = pp_plain_hinted_walks();
    // With the hint maker's 32-byte compares, where the processor has them, and without.
    for (bool wide : {true, false}) {
        if (!pp_set_wide_hints(wide) && wide) continue;
        for (std::size_t o = 0; o < option_sets.size(); ++o) {
            // Blocks of 4 KiB and of 2 KiB, the ring's size.
            si_set_read_ahead_size(o % 2 == 0 ? 4096 : 2048);
            PlainRun slow = run_lines(source, false, option_sets[o]);
            PlainRun fast = run_lines(source, true, option_sets[o]);
            EXPECT_EQ(fast.output, slow.output) << "options " << o << ", wide " << wide;
            EXPECT_EQ(fast.messages, slow.messages) << "options " << o << ", wide " << wide;
            for (const std::string &message : fast.messages)
                EXPECT_EQ(message.find("cannot find"), std::string::npos) << message;
            // The macros defined by the included files were expanded after their inclusion.
            EXPECT_NE(fast.output.find("(i1)"), std::string::npos);
            EXPECT_NE(fast.output.find("m79"), std::string::npos);
        }
    }
    pp_set_wide_hints(true);
    si_set_read_ahead_size(0);
    // The marks were used: most lines were copied by the walk over them.
    EXPECT_GT(pp_plain_hinted_walks() - hinted, 5000u);
}

// After an expansion the output may owe a blank before the next token (the spacing rules, and
// more of them under fortran_spacing): that token goes through the lexer and the rest of the
// line is copied again after it. Names, numbers, constants, comments and further calls right
// after a call, with and without blanks, agree with the token-by-token reading.
TEST_F(PpPlainLineTest, TheRestAfterATokenOwedABlankGivesTheSameOutputBothWays) {
    const std::string source =
        "#define F(a) (a)\n#define N 10\n#define E\n#define G(a) a\n"
        "      y = F(1)x + F(2)y\n      y = N x + Nq*2 + F(3)'s' // 'c'\n"
        "      y = G(a)b G(c)d + N1 + E e + F(4)F(5) + G(p)/*c*/q\n"
        "      call s(G(x)y, N)  ! done F(6)\n      y = G(1).and.G(2)x .or. N\n"
        "      y = G(a)b$c + G(d)?e + G(f)N\n      y = F(F(1)) + G(a)(2), N(3) + G(b),c\n"
        "      y = G(+)(1) + G(.)(2) + G(1)(x) + N,G(x)\n      z = 1\n";
    const std::vector<std::function<void()>> option_sets = {
        [] { expand_macros = 1; },
        [] {
            apply_fortran_lexing(true);
            expand_macros = 1;
        },
        [] {
            fortran_spacing = 1;
            expand_macros = 1;
        },
    };
    for (std::size_t o = 0; o < option_sets.size(); ++o) {
        PlainRun slow = run_lines(source, false, option_sets[o]);
        PlainRun fast = run_lines(source, true, option_sets[o]);
        EXPECT_EQ(fast.output, slow.output) << "options " << o;
        EXPECT_EQ(fast.messages, slow.messages) << "options " << o;
    }
}

// Macro uses written at once when their bodies and arguments are plain, and left to the frame
// walk when not: calls with names, numbers, constants, operators, nested parentheses and empty
// arguments; bodies reaching __FILE__ and __LINE__ through other macros (under #line too);
// arguments that name macros or run over a line end; counts that draw messages; `#` and `##`;
// self-reference; definitions changed, removed and made function-like between uses. Lines are
// put together at random (fixed seed); under each option set the output and messages agree
// with the token-by-token reading, which always takes the walk.
TEST_F(PpPlainLineTest, DirectExpansionsGiveTheSameOutputAsTheWalk) {
    const std::string definitions =
        "#define HERE __FILE__, __LINE__\n#define WHERE(t) t, HERE\n"
        "#define SQR(x) ((x)*(x))\n#define FMAX(a,b) max(a,b)\n#define CAT(a,b) a // b\n"
        "#define IDX(i,j) (((j)-1)*LDIM+(i))\n#define LDIM 512\n#define WP kind(1.0d0)\n"
        "#define NEST WP+LDIM\n#define E\n#define Z() z0\n#define ONE(a) a\n"
        "#define CHECK(s) IF (s .NE. 0) CALL STOP(s, HERE)\n#define STR(a) #a\n"
        "#define GLUE(a,b) a ## b\n#define SELF SELF+1\n#define CALLS(a) FMAX(a, 1)\n"
        "#define VA(...) [__VA_ARGS__]\n#define PAIR(a,b) b a\n#define SP(a)  a  +  a\n"
        "#define TRACE(v) CALL T(v, __LINE__)\n#define DOTS(a) a.eq.a\n"
        "#define ASSERT(c, m) IF (.NOT. (c)) CALL F(m, WHERE('x'))\n#define TWO FMAX( 1 , 2 )\n"
        "#define W0 Z()+Z( )\n#define WE FMAX(,)\n#define WN FMAX(1)\n#define WP2 ONE((a,b))\n"
        "#define WS SP( q  r )x\n#define WL FMAX(LDIM, 1)\n#define WR ONE(WR)\n#define WT ONE\n"
        "#define WU ONE (2)+ONE\t(3)\n#define WV(a) ONE(a) ONE(x)\n#define WA  WHERE( 'a' )\n"
        "#define WW(a) [ONE(PAIR(1,2))a]\n#define WX(a) ONE(__LINE__)a\n#define WY(a) a SQR(y)a\n"
        "#define SP2(a) x a\n#define WS2 SP2(q)+SP2( r )\n#define WA2 x WHERE('a')\n#define WG "
        "(ONE+1)\n"
        "#define SG(a) 'a is' // a\n#define CG(a) a // 'con''st' // \"dq\" L'w'\n"
        "#define CW WHERE(L'l' 'm')\n";
    const std::vector<std::string> calls = {"SQR(x)",
                                            "SQR( x )",
                                            "SQR(x-1)",
                                            "SQR(f(x,y))",
                                            "SQR()",
                                            "SQR(1.5D0)",
                                            "SQR(.5e-3)",
                                            "SQR('it''s')",
                                            "SQR(\"q\")",
                                            "SQR(x,y)",
                                            "FMAX(a, b)",
                                            "FMAX(a,b)",
                                            "FMAX( a , b )",
                                            "FMAX(,)",
                                            "FMAX(a)",
                                            "FMAX(LDIM, 2)",
                                            "FMAX(SQR(a),b)",
                                            "FMAX(a,\n     & b)",
                                            "FMAX(a, /*c*/ b)",
                                            "FMAX(a, b!c\n  )",
                                            "FMAX(a$b, c)",
                                            "FMAX(a.and.b, c)",
                                            "FMAX(-a, +b)",
                                            "FMAX(a**2,b//c)",
                                            "CAT('s', c)",
                                            "IDX(I, J)",
                                            "IDX(I+1, J-1)",
                                            "WP",
                                            "NEST",
                                            "HERE",
                                            "WHERE('t')",
                                            "WHERE(x)",
                                            "CHECK(ierr)",
                                            "STR(a b)",
                                            "GLUE(a, 1)",
                                            "SELF",
                                            "CALLS(q)",
                                            "VA(1, 2)",
                                            "PAIR(x, y)",
                                            "PAIR(,y)",
                                            "SP(q)",
                                            "SP( q r )",
                                            "TRACE(v + 1)",
                                            "Z()",
                                            "Z( )",
                                            "Z(1)",
                                            "ONE(ONE(1))",
                                            "ONE((a,b))",
                                            "ONE(a)(2)",
                                            "E",
                                            "E E",
                                            "DOTS(x)",
                                            "ONE(&)",
                                            "ONE(a &\n  b)",
                                            "ONE(#)",
                                            "ONE(?\?=)",
                                            "ONE(a\\\n b)",
                                            "LATE(1)",
                                            "ONE(LATE)",
                                            "ASSERT(x .gt. 1, 'bad')",
                                            "ASSERT(1.gt.LDIM, 'n')",
                                            "FMAX(2.5.lt.WP, 1.e5, 0x1F, 08, 1.5D-3)",
                                            "TWO",
                                            "W0",
                                            "WE",
                                            "WN",
                                            "WP2",
                                            "WS",
                                            "WL",
                                            "WR",
                                            "WT",
                                            "WT(4)",
                                            "WU",
                                            "WV(p)",
                                            "WA",
                                            "x WA",
                                            "WW(q)",
                                            "WX(r)",
                                            "WY(s)",
                                            "ONE(WA)",
                                            "WS2",
                                            "WA2",
                                            "WG",
                                            "SG(q)",
                                            "CG(r)",
                                            "CW",
                                            "ONE(CW)"};
    const std::vector<std::string> glue = {" ", "",  " + ", "*",    "x", "1",   "(",
                                           ")", ",", "'s'", " // ", "=", ".or."};
    const std::vector<std::string> directives = {
        "#define LDIM 64\n", "#undef LDIM\n",     "#define LDIM(q) q\n", "#define LATE(a) <a>\n",
        "#undef LATE\n",     "#line 500\n",       "#define E e\n",       "#undef HERE\n",
        "#define HERE 1\n",  "#define WP(k) k\n", "#undef WP\n",         "#define WP 8\n"};
    const std::vector<std::function<void()>> option_sets = {
        [] { expand_macros = 1; },
        [] {
            apply_fortran_lexing(true);
            expand_macros = 1;
        },
        [] {
            apply_fortran_lexing(true);
            expand_macros = 1;
            fold_lines = 1;
            continued_calls = 1;
            fortran_operators = 1;
            source_form = 2;
        },
        [] {
            expand_macros = 1;
            token_spacing = 1;
            output_unix_line = 0;
            output_ansi_line = 1;
        },
        [] {
            expand_macros = 1;
            string_trigraphs = 1;
        },
    };
    std::mt19937 random(20261209);
    std::uint64_t direct = 0;
    for (int round = 0; round < 6; ++round) {
        std::string source = definitions;
        for (int line = 0; line < 200; ++line) {
            if (random() % 23 == 0) source += directives[random() % directives.size()];
            source += "      ";
            for (unsigned n = 1 + random() % 4; n > 0; --n) {
                source += calls[random() % calls.size()];
                source += glue[random() % glue.size()];
            }
            source += "\n";
        }
        for (std::size_t o = 0; o < option_sets.size(); ++o) {
            PlainRun slow = run_lines(source, false, option_sets[o]);
            std::uint64_t before = pp_direct_expansions();
            PlainRun fast = run_lines(source, true, option_sets[o]);
            direct += pp_direct_expansions() - before;
            EXPECT_EQ(fast.output, slow.output) << "round " << round << ", options " << o;
            EXPECT_EQ(fast.messages, slow.messages) << "round " << round << ", options " << o;
        }
    }
    // Most uses were written at once: the direct path is what was compared.
    EXPECT_GT(direct, 6000u);
}

// The limits of a call taken at once (arguments, their bytes in short and long tokens) and a call
// at the end of the input: past them the walk takes the call, with the same output.
TEST_F(PpPlainLineTest, DirectExpansionsStopAtTheirLimits) {
    std::string many_formals = "#define M33(";
    std::string many_args = "M33(";
    for (int i = 0; i < 33; ++i) {
        many_formals += (i > 0 ? ",a" : "a") + std::to_string(i);
        many_args += (i > 0 ? "," : "") + std::to_string(i);
    }
    many_formals += ") a0 a32\n";
    many_args += ")";
    std::string many_tokens = "ONE(";
    for (int i = 0; i < 2100; ++i) many_tokens += "x+";
    many_tokens += "1)";
    const std::string long_name(5000, 'n');
    // A line wider than a position's column, with calls continued onto the next line after it.
    const std::string wide = "      y = " + std::string(70000, ' ') +
                             "ONE(a\\\n b) + ONE('c\\\nd')\n" + std::string(65520, ' ') +
                             "ONE(abcdefghijklmnop) + ONE(q)\n";
    const std::string source = "#define ONE(a) [a]\n" + many_formals + "      y = " + many_args +
                               "\n      y = " + many_tokens + "\n      y = ONE(" + long_name +
                               ") + ONE(2)\n" + wide + "      y = ONE(1) + ONE(";
    for (const auto &options : std::vector<std::function<void()>>{[] { expand_macros = 1; },
                                                                  [] {
                                                                      apply_fortran_lexing(true);
                                                                      expand_macros = 1;
                                                                  }}) {
        PlainRun slow = run_lines(source, false, options);
        std::uint64_t before = pp_direct_expansions();
        PlainRun fast = run_lines(source, true, options);
        EXPECT_EQ(fast.output, slow.output);
        EXPECT_EQ(fast.messages, slow.messages);
        // ONE(2), the call that reaches past the widest column from before it, and the first
        // ONE(1): the rest went to the walk.
        EXPECT_EQ(pp_direct_expansions() - before, 3u);
        ASSERT_FALSE(fast.messages.empty());
        EXPECT_NE(fast.messages[0].find("Line too long"), std::string::npos);
        EXPECT_NE(fast.output.find("0 32"), std::string::npos);
    }
}

TEST_F(PpPlainLineTest, CopiedLinesKeepTheNewlineAndMarkerRules) {
    PlainRun run = run_lines("      x = 1   \n\n   \nC don't  \n      y = 'a'\t\n", true, [] {});
    EXPECT_EQ(run.output, "\n# 1 \"t.F\"\n      x = 1\n\n\nC don't  \n      y = 'a'\n");
    EXPECT_EQ(run.copied, 5u);
    run = run_lines("\n\n      x = 1\n\n   \n      y = 2\n", true, [] {
        compress_newlines = 1;
        output_unix_line = 0;
    });
    EXPECT_EQ(run.output, "\n      x = 1\n      y = 2\n");
    // Under -m the text of a line up to the blank before a macro name is copied, the name is
    // read by the lexer, and the rest of the line after the expansion is copied again (each
    // rest counts as a line copied); lines naming no macro are copied whole.
    run = run_lines("#define A 1\n      x = A\n      y = AB + A1 + 1A\n", true, [] {
        expand_macros = 1;
        output_unix_line = 0;
    });
    EXPECT_EQ(run.output, "\n      x = 1 \n      y = AB + A1 + 1A\n");
    EXPECT_EQ(run.copied, 2u);
    run = run_lines("#define F(a) [a]\n      x = F(1) + F(2)  \n      y = 'F' F\n", true, [] {
        expand_macros = 1;
        output_unix_line = 0;
    });
    // The blank after each expansion keeps its last token apart from the text after it; a
    // function-like name without arguments leaves the rest of its line to the lexer.
    EXPECT_EQ(run.output, "\n      x = [1]  + [2] \n      y = 'F' F\n");
    EXPECT_EQ(run.copied, 1u);
}

// Fills `bytes` of the stack below the caller with a pattern, as deep calls would.
[[gnu::noinline]] void use_stack(std::size_t bytes) {
    std::vector<char> sink(1); // keeps the compiler from dropping the array
    char *area = static_cast<char *>(__builtin_alloca(bytes));
    std::memset(area, '#', bytes);
    sink[0] = area[bytes / 2];
    asm volatile("" : : "r"(area) : "memory");
}

// Output larger than the output buffer, several times over, then small runs after a reset in
// the same process: every byte arrives in order, and text handed to the output survives any
// use of the stack until it is written. (A reset that left the buffer pointing into a copy of
// the state on the stack lost the first line here when built with clang, as in the fuzzer;
// GCC happened to build the reset in place.)
TEST_F(PpScanTest, OutputOfManyBuffersThenASmallRunArriveWhole) {
    std::string big;
    for (int i = 0; i < 60000; ++i)
        big += "      x" + std::to_string(i) + " = y + " + std::to_string(i * 7) + "\n";
    const std::string small = "      a = 1\n#if 1\n      b = 2\n#endif\n      c = 3\n";
    const std::string expected_small = "      a = 1\n\n      b = 2\n\n      c = 3\n";
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(run(big), big) << "round " << round;
        pp_output_reset();
        write_file("t.F", small);
        options_set_defaults();
        output_unix_line = 0;
        open_main("t.F");
        start_output();
        scan_to_end();
        use_stack(2 << 20);
        EXPECT_EQ(finish(), expected_small) << "round " << round;
    }
}

// Tests of #include, #line, the numeric form and #pragma where the output alone does not show
// the effect: the include-guard table, the header-name buffer, the line offset and file name of
// the file record, and the switches a pragma sets.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "driver/options.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "pp/pp_internal.h"
#include "pp_fixture.h"
#include "si/si.h"
#include "text/text.h"

namespace fs = std::filesystem;

namespace {
// Runs sources through the scanning loop in a folder of their own.
class PpIncludeTest : public PreprocessorTest {
  protected:
    void SetUp() override {
        PreprocessorTest::SetUp();
        make_include_lists();
        out_ = std::tmpfile();
        output_stream = out_;
        pp_output_init();
    }
    void TearDown() override {
        pp_output_flush();
        std::fclose(out_);
        output_stream = stdout;
        PreprocessorTest::TearDown();
    }

    // The lists the command line builds without -I and -S: the main file's directory only.
    static void make_include_lists() {
        include_dirs = static_cast<char **>(mm_get_cvblock(mm_general_pool(), 3 * sizeof(char *)));
        include_dirs[0] = static_cast<char *>(mm_get_cvblock(mm_general_pool(), OPTION_NAME_SIZE));
        static char inc[] = "inc/";
        include_dirs[1] = inc;
        sys_include_dirs = static_cast<char **>(mm_get_cvblock(mm_general_pool(), sizeof(char *)));
    }

    // Scans `source` as the main file m.F to its end.
    static void scan(const std::string &source) {
        write_file("m.F", source);
        open_main("m.F");
        CurrentToken token{};
        do {
            pp_scan_step(&token);
        } while (token.kind != TOKEN_END_OF_FILE);
    }

    // What was written so far.
    std::string output() {
        pp_output_flush();
        std::string text;
        std::rewind(out_);
        for (int c; (c = std::fgetc(out_)) != EOF;) text += static_cast<char>(c);
        return text;
    }

    static StreamHandle stream_of(const char *name) {
        StreamHandle handle = STREAM_NULL;
        EXPECT_EQ(si_find_stream(name, &handle), SI_OK);
        return handle;
    }

    // Records a complete #ifndef guard with macro `name` for the file `file`.
    static void complete_guard(const char *file, const char *name) {
        PpIncludeGuard *guard = pp_include_guard(stream_of(file));
        ASSERT_NE(guard, nullptr);
        *guard = PpIncludeGuard{1, PP_GUARD_IFNDEF, text_enter_string(name), Position{1, 9, 2}};
    }

    static void define_empty(const char *name) {
        PpMacro *macro = pp_new_macro(text_enter_string(name), Position{1, 1, 2});
        macro->n_formals = -1;
    }

    // The texts of the stored messages, one per line, marked printed.
    static std::string messages() {
        std::string texts;
        for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) {
            if (m->printed != 0) continue;
            texts += m->text;
            texts += '\n';
            m->printed = 1;
        }
        return texts;
    }

    std::FILE *out_ = nullptr;
};

struct BodyToken {
    TokenKind kind;
    const char *text;
    std::uint8_t spaced;
};

// An object-like macro `name` with the given body (empty: no tokens at all).
void define(const char *name, std::initializer_list<BodyToken> body) {
    PpMacro *macro = pp_new_macro(text_enter_string(name), Position{1, 1, 2});
    macro->n_formals = -1;
    Token **tail = &macro->body;
    for (const BodyToken &b : body) {
        *tail = pp_new_token(b.kind, text_enter_string(b.text));
        (*tail)->spaced = b.spaced;
        tail = &(*tail)->next;
    }
}

TEST_F(PpIncludeTest, AFileWithACompleteGuardIsSkippedWhileItsMacroIsDefined) {
    write_file("g.h", "G\n");
    complete_guard("g.h", "G_H");
    define_empty("G_H");
    scan("#include \"g.h\"\nX\n");
    std::string text = output();
    EXPECT_EQ(text.find('G'), std::string::npos) << text;
    EXPECT_NE(text.find('X'), std::string::npos) << text;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) ADD_FAILURE() << m->text;
}

TEST_F(PpIncludeTest, AGuardedFileIsReadAgainAfterItsMacroIsGone) {
    write_file("g.h", "G\n");
    complete_guard("g.h", "G_H");
    scan("#include \"g.h\"\n");
    EXPECT_NE(output().find("# 1 \"g.h\"\nG\n"), std::string::npos);
}

TEST_F(PpIncludeTest, EnteringAGuardedFileLeavesTheFirstInFileFlagOff) {
    write_file("m.F", "M\n");
    write_file("g.h", "G\n");
    write_file("p.h", "P\n");
    open_main("m.F");
    complete_guard("g.h", "G_H");
    first_in_file = 0;
    ASSERT_TRUE(pp_enter_file("p.h", stream_of("p.h")));
    EXPECT_EQ(first_in_file, 1) << "an unguarded file may record a guard";
    first_in_file = 1;
    ASSERT_TRUE(pp_enter_file("g.h", stream_of("g.h")));
    EXPECT_EQ(first_in_file, 0) << "the guard is not recorded twice";
    EXPECT_STREQ(text_string(pp_file_top()->filename), "\"g.h\"");
    EXPECT_EQ(si_stream_depth(), 3);
    define_empty("G_H");
    first_in_file = 1;
    ASSERT_TRUE(pp_enter_file("g.h", stream_of("g.h")));
    EXPECT_EQ(si_stream_depth(), 3) << "skipped: no stream opened";
    EXPECT_EQ(first_in_file, 1) << "a skipped file leaves the flag as it was";
    si_close_stream();
    si_close_stream();
}

TEST_F(PpIncludeTest, ResetForgetsEveryGuard) {
    complete_guard("g.h", "G_H");
    pp_include_reset();
    EXPECT_EQ(pp_include_guard(stream_of("g.h"))->complete, 0);
    EXPECT_EQ(pp_include_guard(static_cast<StreamHandle>(65535)), nullptr);
}

TEST_F(PpIncludeTest, HeaderNamesReplaceTrigraphsAndDropContinuationsButNotEscapes) {
    struct Case {
        const char *line;
        const char *name;
    } cases[] = {
        {"#include <a?\?/b.h>\n", "a\\b.h"}, {"#include \"a??\?=b\"\n", "a?#b"},
        {"#include \"a???\?-\"\n", "a??~"},  {"#include \"a??x??\"\n", "a??x??"},
        {"#include \"a\\nb\"\n", "a\\nb"},   {"#include \"a\\\nb\"\n", "ab"},
        {"#include \"a?\?/\nb\"\n", "ab"},   {"#include <a'b\"c>\n", "a'b\"c"},
        {"#include \"abc\n", "abc"},
    };
    for (const Case &c : cases) {
        scan(c.line);
        EXPECT_STREQ(pp_header_name(), c.name) << c.line;
        si_close_stream();
        pp_pop_file();
    }
}

TEST_F(PpIncludeTest, LineNumbersAreDecimalAndRelativeToTheNextLine) {
    struct Case {
        const char *source;
        std::int32_t offset;
        const char *filename;
    } cases[] = {
        {"#line 100\n", 98, "\"m.F\""},
        {"#line 010\n", 8, "\"m.F\""},
        {"\n\n#line 7 \"a.f\"\n", 3, "\"a.f\""},
        {"# 7 \"a.f\"\n", 5, "\"a.f\""},
        {"# 07\n", 5, "\"m.F\""},
        {"#line 2147483647\n", 2147483645, "\"m.F\""},
        {"#line 2147483648\n", 0, "\"m.F\""},
        {"# 99999999999999999999 \"a.f\"\n", 0, "\"m.F\""},
        {"#line 5 L\"w.f\"\n", 3, "\"m.F\""},
        {"#line 0x10 \"a.f\"\n", 0, "\"m.F\""},
    };
    for (const Case &c : cases) {
        scan(c.source);
        EXPECT_EQ(pp_file_top()->line_offset, c.offset) << c.source;
        EXPECT_STREQ(text_string(pp_file_top()->filename), c.filename) << c.source;
        si_close_stream();
        pp_pop_file();
    }
}

TEST_F(PpIncludeTest, PragmaSwitchValues) {
    struct Case {
        const char *line;
        std::uint8_t before;
        std::uint8_t after;
    } cases[] = {
        {"#pragma (warn_comment_pasting = TRUE)\n", 0, 1},
        {"#pragma (warn_comment_pasting TRUEISH)\n", 0, 1},
        {"#pragma (warn_comment_pasting = FALSE)\n", 1, 0},
        {"#pragma (warn_comment_pasting 0)\n", 1, 0},
        {"#pragma (warn_comment_pasting 010)\n", 0, 1},
        {"#pragma (warn_comment_pasting 000)\n", 1, 0},
        {"#pragma (warn_comment_pasting)\n", 0, 1},
        {"#pragma (warn_comment_pasting\n", 0, 1},
        {"#pragma (warn_comment_pastingXYZ = 0)\n", 1, 0},
        {"#pragma (warn_comment_pasting = maybe)\n", 1, 1},
        {"#pragma (warn_comment_pasting = 0x1)\n", 0, 0},
        {"#pragma (warn_comment_pastin = 1)\n", 0, 0},
        {"#pragma warn_comment_pasting\n", 0, 0},
    };
    for (const Case &c : cases) {
        warn_comment_pasting = c.before;
        scan(c.line);
        EXPECT_EQ(warn_comment_pasting, c.after) << c.line;
        si_close_stream();
        pp_pop_file();
    }
}

TEST_F(PpIncludeTest, PragmaNamesMatchTheFirstSwitchTheyBeginWith) {
    for (const OptionSwitch &option : option_switches) {
        std::string line = std::string("#pragma (") + option.name + "_more = 0)\n";
        *option.flag = 1;
        scan(line);
        EXPECT_EQ(*option.flag, 0) << line;
        si_close_stream();
        pp_pop_file();
        options_set_defaults();
        output_stream = out_;
    }
}

TEST_F(PpIncludeTest, MacroFormsGiveAngledAndQuotedNames) {
    fs::create_directory("inc");
    write_file("inc/a.h", "ANGLED\n");
    write_file("a.h", "QUOTED\n");
    write_file("inc/=b.h", "LTEQ\n");
    define("H", {{TOKEN_LT, "<", 0},
                 {TOKEN_IDENTIFIER, "a", 0},
                 {TOKEN_DOT, ".", 0},
                 {TOKEN_IDENTIFIER, "h", 0},
                 {TOKEN_GT, ">", 0}});
    define("Q", {{TOKEN_STRINGCONST, "\"a.h\"", 0}});
    define("E", {});
    define("LE", {{TOKEN_LTEQ, "<=", 0},
                  {TOKEN_IDENTIFIER, "b", 0},
                  {TOKEN_DOT, ".", 0},
                  {TOKEN_IDENTIFIER, "h", 0}});
    define("OPEN", {{ERROR_TOKEN, "\"a.h", 0}});
    scan("#include H\n#include Q\n#include E \"a.h\"\n#include LE >\n#include OPEN .\"\n");
    std::string text = output();
    // One newline per directive line, the included text after its marker, and an empty
    // expansion followed by a quoted name includes that name.
    EXPECT_EQ(text, "\n\n# 1 \"inc/a.h\"\nANGLED\n\n\n"
                    "\n# 1 \"a.h\"\nQUOTED\n\n\n"
                    "\n# 1 \"a.h\"\nQUOTED\n\n\n"
                    "\n# 1 \"inc/=b.h\"\nLTEQ\n\n\n");
    EXPECT_EQ(messages(), "cannot find file specified in include directive\n")
        << "the opener's name goes on over `.` to the quote in the next token";
    EXPECT_STREQ(pp_header_name(), "a.h .") << "white space before a token gives one blank";
}

TEST_F(PpIncludeTest, MacroFormFaults) {
    define("N", {{TOKEN_DECCONST, "7", 0}});
    define("E", {});
    define("SP", {{TOKEN_LT, "<", 0}, {TOKEN_IDENTIFIER, "a", 1}, {TOKEN_GTGT, ">>", 0}});
    define("QX", {{TOKEN_STRINGCONST, "\"q.h\"", 0}, {TOKEN_IDENTIFIER, "x", 1}});
    define("LT", {{TOKEN_LT, "<", 0}, {TOKEN_IDENTIFIER, "z", 0}});
    struct Case {
        const char *line;
        const char *messages;
        const char *name; // the name searched for, or null when nothing is
    } cases[] = {
        {"#include N\n", "illegal header name form\n", nullptr},
        {"#include a.h\n", "illegal header name form\n", nullptr},
        {"#include E\n", "include directive missing argument\n", nullptr},
        {"#include E E\n", "include directive missing argument\n", nullptr},
        {"#include SP\n",
         "illegal characters after header name\ncannot find file specified in include "
         "directive\n",
         " a"},
        {"#include QX\n",
         "illegal characters after header name\ncannot find file specified in include "
         "directive\n",
         "q.h"},
        {"#include LT\n",
         "illegally terminated header name\ncannot find file specified in include directive\n",
         "z"},
        {"#include LT x >\n", "cannot find file specified in include directive\n", "z x"},
        // Only a macro-produced name lets empty macros follow it.
        {"#include <n.h> E\n",
         "cannot find file specified in include directive\nillegal token on pp directive line\n",
         "n.h"},
    };
    for (const Case &c : cases) {
        scan(c.line);
        EXPECT_EQ(messages(), c.messages) << c.line;
        if (c.name != nullptr) {
            EXPECT_STREQ(pp_header_name(), c.name) << c.line;
        }
        si_close_stream();
        pp_pop_file();
    }
}

TEST_F(PpIncludeTest, LineOperandsFromMacros) {
    define("L", {{TOKEN_DECCONST, "42", 0}});
    define("LF", {{TOKEN_DECCONST, "42", 0}, {TOKEN_STRINGCONST, "\"y.f\"", 1}});
    define("LX", {{TOKEN_DECCONST, "42", 0}, {TOKEN_PLUS, "+", 1}, {TOKEN_DECCONST, "1", 1}});
    define(
        "LS",
        {{TOKEN_DECCONST, "42", 0}, {TOKEN_STRINGCONST, "\"y.f\"", 1}, {TOKEN_IDENTIFIER, "x", 1}});
    define("N", {{TOKEN_STRINGCONST, "\"n.f\"", 0}});
    define("E", {});
    struct Case {
        const char *line;
        std::int32_t offset;
        const char *filename;
        const char *messages;
    } cases[] = {
        {"#line L\n", 40, "\"m.F\"", ""},
        {"#line LF\n", 40, "\"y.f\"", ""},
        {"#line LX\n", 40, "\"m.F\"", "illegal token from macro call in line directive\n"},
        {"#line LS\n", 40, "\"y.f\"", "too many tokens in macro expansion\n"},
        {"#line E L\n", 40, "\"m.F\"", ""},
        {"#line E 7\n", 5, "\"m.F\"", ""},
        {"#line E\n", 0, "\"m.F\"", "missing argument for line directive\n"},
        {"#line Z\n", 0, "\"m.F\"", "illegal token in line directive\n"},
        {"#line 5 N\n", 3, "\"n.f\"", ""},
        {"#line 5 E \"z.f\"\n", 3, "\"z.f\"", ""},
        {"#line 5 E\n", 3, "\"m.F\"", ""},
        {"#line 5 Z\n", 3, "\"m.F\"", "illegal token in line directive\n"},
        {"#line L \"a.f\" junk\n", 40, "\"a.f\"", "illegal token on pp directive line\n"},
        {"#line L E\n", 40, "\"m.F\"", ""},
    };
    for (const Case &c : cases) {
        scan(c.line);
        EXPECT_EQ(pp_file_top()->line_offset, c.offset) << c.line;
        EXPECT_STREQ(text_string(pp_file_top()->filename), c.filename) << c.line;
        EXPECT_EQ(messages(), c.messages) << c.line;
        si_close_stream();
        pp_pop_file();
    }
}

} // namespace

// Tests of the #if expression evaluator on single directive lines: values and signedness of
// every operator, constants and their overflow, the defined operator, the one-message rule and
// the quiet operands of short circuits, the line end left unread, and very deep nesting.
#include <unistd.h>

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
struct Case {
    const char *rest; // the line after "#if", without its newline
    int value;
    std::vector<std::string> messages;
};

class PpExprTest : public PreprocessorTest {
  protected:
    struct Result {
        int value;
        std::vector<std::string> messages; // "line:column text"
        int next;                          // the byte read after the evaluation
    };

    // Evaluates `rest`, the text after "#if", as a file of its own; the evaluation starts at the
    // file's first byte, as it would just after the directive name.
    Result run(const std::string &rest) {
        std::string name = std::to_string(++files_);
        name += ".F";
        std::ofstream(name, std::ios::binary) << rest;
        StreamHandle handle = STREAM_NULL;
        EXPECT_EQ(si_find_stream(name.c_str(), &handle), SI_OK);
        EXPECT_EQ(si_open_stream(handle), SI_OK);
        lex_set_rule_set(LEX_MAIN_LEXER);
        Result result{};
        result.value = pp_evaluate_condition();
        result.next = si_get_char();
        result.messages = take_messages();
        si_close_stream();
        return result;
    }

    // Each case is one line followed by another, so the line end must be left unread.
    void expect_cases(const std::vector<Case> &cases) {
        for (const Case &c : cases) {
            Result r = run(std::string(c.rest) + "\nX\n");
            EXPECT_EQ(r.value, c.value) << "#if" << c.rest;
            EXPECT_EQ(r.messages, c.messages) << "#if" << c.rest;
            EXPECT_EQ(r.next, '\n') << "#if" << c.rest << ": the line end is left unread";
        }
    }

    static std::vector<std::string> take_messages() {
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

    static void define_object(const char *name) {
        PpMacro *macro = pp_new_macro(text_enter_string(name), Position{1, 1, 2});
        macro->n_formals = -1;
        macro->body = pp_new_token(TOKEN_DECCONST, text_enter_string("1"));
    }

    int files_ = 0;
};

} // namespace

TEST_F(PpExprTest, SignedAndUnsignedComparisons) {
    expect_cases({
        {" -1 < 0u", 0, {}},
        {" -1 < 0", 1, {}},
        {" 0xFFFFFFFF > 0", 1, {}},                // an unsigned constant
        {" (0xFFFFFFFF | 0) > 0", 0, {}},          // bitwise results are signed
        {" (0x80000000 & 0x80000000) < 0", 1, {}}, // also from unsigned operands
        {" 0x7FFFFFFF > 0", 1, {}},
        {" 0x7FFFFFFF + 1 > 0", 0, {}}, // signed wrap-around
        {" 2147483648 > 0", 1, {}},     // bit 31 set: unsigned
        {" 020000000000 > 0", 1, {}},
        {" 0u - 1 > 0", 1, {}},
        {" -1 >= 0u", 1, {}},
        {" -1 <= -1", 1, {}},
        {" 1 == 1u && -1 == 0xFFFFFFFF", 1, {}}, // bit equality
        {" 3 != 3", 0, {}},
        {" (-1 < 0) == 1", 1, {}},     // comparisons give signed 1
        {" (1 ? -1 : 0u) < 0", 1, {}}, // the chosen operand's flag
        {" (0 ? 0u : -1) < 0", 1, {}},
    });
}

TEST_F(PpExprTest, ArithmeticShiftsAndDivision) {
    expect_cases({
        {" (-1 >> 1) == -1", 1, {}},          // arithmetic on signed
        {" (0xFFFFFFFFu >> 31) == 1", 1, {}}, // logical on unsigned
        {" (1 << 32) == 1", 1, {}},           // counts are taken modulo 32
        {" (1 << 33) == 2", 1, {}},
        {" (8 >> 33) == 4", 1, {}},
        {" (-1u >> 1) > 0", 1, {}},               // the left operand's flag
        {" 65536 * 65536", 0, {}},                // wraps to 0
        {" -7 / 2 == -3 && -7 % 2 == -1", 1, {}}, // truncation toward zero
        {" -1 / 2u == 0x7FFFFFFF", 1, {}},        // unsigned division
        {" (-2147483647 - 1) / -1 == (-2147483647 - 1)", 1, {}},
        {" (-2147483647 - 1) % -1 == 0", 1, {}},
        {" ~0 < 0 && ~0u > 0 && !0 == 1 && !5 == 0 && +3 == 3", 1, {}},
        {" - - 2 == 2", 1, {}},
        {" 2 + 3 * 4 == 14 && (2 + 3) * 4 == 20 && 10 - 4 - 3 == 3", 1, {}},
        {" (1 | 2 ^ 3 & 1) == 3", 1, {}},     // & before ^ before |
        {" (0 ? 1 : 0 ? 2 : 3) == 3", 1, {}}, // both conditionals nest
        {" (1 ? 0 ? 5 : 6 : 7) == 6", 1, {}},
    });
}

TEST_F(PpExprTest, DivisionByZeroOnlyWhereTheValueMatters) {
    expect_cases({
        {" 1/0", 0, {"1:5 division by zero in expression"}},
        {" 1 % 0 + 1", 1, {"1:8 division by zero in expression"}},
        {" 0 && 1/0", 0, {}},
        {" 1 || 1/0", 1, {}},
        {" 0 ? 1/0 : 2", 1, {}},
        {" 1 ? 2 : 1/0", 1, {}},
        {" 1 && 1/0", 0, {"1:10 division by zero in expression"}},
        {" 1/0 + 1/0", 0, {"1:6 division by zero in expression"}},
        // A syntax message makes later divisions quiet; a quiet division does not
        // keep a later syntax message from being given.
        {" ) + 1/0", 0, {"1:2 syntax error in constant expression"}},
        {" 0 && 1/0 + )", 0, {"1:13 syntax error in constant expression"}},
    });
}

TEST_F(PpExprTest, ConstantsAndTheirOverflow) {
    expect_cases({
        {" 4294967296", 0, {"1:2 decimal constant value too large"}},
        {" 4294967295 == -1", 1, {}},
        {" 4294967295 > 0", 1, {}},
        {" 4294967297 == 1", 1, {"1:2 decimal constant value too large"}},
        {" 0x100000000", 0, {"1:2 hex constant value too large"}},
        {" 0xFFFFFFFF == -1", 1, {}},
        {" 040000000000", 0, {"1:2 octal constant value too large"}},
        {" 037777777777 == -1", 1, {}},
        {" 4294967296 + 4294967296", 0, {"1:2 decimal constant value too large"}},
        {" 10L == 10 && 0x1fUL == 31 && 017 == 15 && 0 == 0", 1, {}},
        {" (0x7FFFFFFFu + 1) > 0 && (5u - 6) > 0", 1, {}},
        {" 'A' == 65", 1, {}},
        {" '\\n' == 92", 1, {}}, // no escape interpretation
        {" 'AB' == 'A'", 1, {}},
        {" '' == 0", 1, {}},
        {" '\xe9' < 0", 1, {}}, // a signed byte
        {" 1.0", 0, {"1:2 syntax error in constant expression"}},
        {" \"s\"", 0, {"1:2 syntax error in constant expression"}},
        {" L'a'", 0, {"1:2 syntax error in constant expression"}},
    });
}

TEST_F(PpExprTest, SyntaxMessagesOnePerLine) {
    expect_cases({
        {"", 0, {"1:1 missing conditional expression"}},
        {"   ", 0, {"1:1 missing conditional expression"}},
        {" 1 +", 1, {"1:5 syntax error in constant expression"}},
        {" 1 2", 1, {"1:4 illegal token on pp directive line"}},
        {" 1 2 3 )", 1, {"1:4 illegal token on pp directive line"}},
        {" (1", 1, {"1:4 missing right parenthesis"}},
        {" (1 +", 1, {"1:6 syntax error in constant expression"}},
        {" 1 ? 2", 1, {"1:7 missing colon for conditional expression"}},
        {" 0 ? 2", 0, {"1:7 missing colon for conditional expression"}},
        {" 0x100000000 + 4294967296 2", 0, {"1:2 hex constant value too large"}},
        {" * 1", 0, {"1:2 syntax error in constant expression"}},
        {" 1 = 1", 1, {"1:4 illegal token on pp directive line"}},
    });
}

TEST_F(PpExprTest, DefinedInItsThreeSpellings) {
    define_object("X");
    expect_cases({
        {" defined X", 1, {}},
        {" defined(X)", 1, {}},
        {" defined ( X )", 1, {}},
        {" defined /* c */ X", 1, {}},
        {" defined Y", 0, {}},
        {" !defined(Y) && defined X", 1, {}},
        {" defined(X", 0, {}},
        {" defined", 0, {}},
        {" defined (", 0, {}},
        // What follows a failed operator is read again as the expression's rest.
        {" defined 3", 0, {"1:10 illegal token on pp directive line"}},
        {" defined(X + 1", 1, {}}, // 0 + 1
        {" UNDEFINED_NAME", 0, {}},
        {" UNDEFINED_NAME == 0", 1, {}},
    });
}

TEST_F(PpExprTest, DollarNamesFollowTheDollarRule) {
    define_object("A$B");
    define_object("A");
    dollar_ident = 1;
    expect_cases({{" defined A$B && !defined(A$)", 1, {}}, {" A$B == 1", 1, {}}});
    dollar_ident = 0;
    // A$B is cut before its `$`, which is then an error token: the operator answers for A.
    expect_cases({{" defined(A$B)", 0, {"1:11 illegal token on pp directive line"}},
                  {" defined A$B", 1, {"1:11 illegal token on pp directive line"}},
                  {" $A", 0, {"1:2 syntax error in constant expression"}}});
}

TEST_F(PpExprTest, WhiteSpaceCommentsAndContinuations) {
    expect_cases({
        {" 1 /* c */ + /* d\n */ 1 == 2", 1, {}},
        {" 1 \\\n + 1 == 2", 1, {}},
        {" 1\\\n0 == 10", 1, {}}, // a continued number is joined
        {" defi\\\nned X", 0, {}},
        {" 1 \f+ 1 == 2", 1, {"1:4 vertical whitespace within pp directive"}},
        // The vertical-white-space warning is given whatever came before.
        {" ) \v",
         0,
         {"1:2 syntax error in constant expression",
          "1:4 vertical whitespace within pp directive"}},
    });
}

TEST_F(PpExprTest, DoubleSlashIsTextInFortranAndACommentElsewhere) {
    double_slash_comments = 0;
    expect_cases({{" 1 // 2", 1, {"1:4 illegal token on pp directive line"}}});
    double_slash_comments = 1;
    expect_cases(
        {{" 1 // 2", 1, {}}, {" // only a comment", 0, {"1:2 missing conditional expression"}}});
}

TEST_F(PpExprTest, EndOfInputInsideTheLine) {
    Result r = run(" 1");
    EXPECT_EQ(r.value, 1);
    EXPECT_EQ(r.messages, std::vector<std::string>{"1:3 file ends in unfinished pp directive"});
    EXPECT_EQ(r.next, SI_END_OF_STREAM) << "the end byte stays unread";

    r = run(" 1 +");
    EXPECT_EQ(r.value, 1);
    EXPECT_EQ(r.messages, std::vector<std::string>{"1:5 syntax error in constant expression"});
    EXPECT_EQ(r.next, SI_END_OF_STREAM);

    r = run(" 1 /* never ends");
    EXPECT_EQ(r.value, 1);
    EXPECT_EQ(r.messages, (std::vector<std::string>{"1:4 file ends in unfinished pp directive",
                                                    "-:- end of file reached inside a comment"}));
    EXPECT_EQ(r.next, SI_END_OF_STREAM);
}

TEST_F(PpExprTest, DeepNestingEndsWithAMessage) {
    for (const char *opener : {"(", "- ", "!", "1?"}) {
        std::string line = " ";
        for (int i = 0; i < 100000; ++i) line += opener;
        line += "1\nX\n";
        Result r = run(line);
        EXPECT_EQ(r.value, 0) << opener;
        ASSERT_FALSE(r.messages.empty()) << opener;
        bool nested = false;
        for (const std::string &m : r.messages)
            nested = nested || m.find("expression nested too deeply") != std::string::npos;
        EXPECT_TRUE(nested) << opener << " " << r.messages.front();
        EXPECT_EQ(r.next, '\n') << opener << ": the whole line is read";
    }
    // Nesting as deep as real code goes is evaluated.
    std::string line = " ";
    for (int i = 0; i < 200; ++i) line += "(";
    line += "1";
    for (int i = 0; i < 200; ++i) line += ")";
    Result r = run(line + "\n");
    EXPECT_EQ(r.value, 1);
    EXPECT_TRUE(r.messages.empty());
}

// Tests of the message service: store order, limits and the too-many rule, parameter binding
// and expansion with its truncation, word wrapping, and the printers.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "si/si.h"
#include "toolkit_fixture.h"

namespace {

using ::testing::ExitedWithCode;

Position at(std::uint16_t stream, std::uint32_t line, std::uint16_t column) {
    return Position{line, column, stream};
}

std::vector<std::string> stored_texts() {
    std::vector<std::string> texts;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) texts.emplace_back(m->text);
    return texts;
}

std::string wrap(const std::string &text, std::size_t size = 1000) {
    std::vector<char> dest(size);
    char *end = msg_wrap_text(text.c_str(), dest.data(), size, 6, 72);
    EXPECT_EQ(*end, '\0');
    return std::string(dest.data(), end);
}

// Prints the store to a temporary file and returns what was written.
std::string printed(void (*printer)(std::FILE *, int), int all) {
    std::FILE *file = std::tmpfile();
    printer(file, all);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(file);
    return text;
}

using MessageStoreTest = ToolkitTest;
using MessageExpandTest = ToolkitTest;
using MessagePrintTest = ToolkitTest;

TEST(MessageCatalogue, IdentifiersSplitIntoSeverityAndMnemonic) {
    EXPECT_EQ(msg_catalogue_severity(MSG_3UNREC), SEVERITY_ERROR);
    EXPECT_STREQ(msg_catalogue_mnemonic(MSG_3UNREC), "UNREC");
    EXPECT_STREQ(msg_catalogue_text(MSG_3UNREC), "Unrecognized option '%s'");
    EXPECT_EQ(msg_catalogue_severity(MSG_4TOOMANY), SEVERITY_FATAL);
    EXPECT_STREQ(msg_catalogue_mnemonic(MSG_6ERREC_OVERFLOW), "ERREC_OVERFLOW");
    EXPECT_EQ(MSG_6BADACTION, 45);
    EXPECT_STREQ(msg_severity_name(SEVERITY_ASSERTION), "assertion violation");
    EXPECT_STREQ(msg_severity_upper_name(SEVERITY_FATAL), "FATAL ERROR");
    EXPECT_EQ(msg_severity_letter(SEVERITY_WARNING), 'W');
    EXPECT_STREQ(msg_severity_name(static_cast<Severity>(7)), "***BAD SEVERITY***");
    EXPECT_STREQ(msg_severity_upper_name(static_cast<Severity>(-1)), "***BAD SEVERITY***");
}

TEST_F(MessageStoreTest, KeepsPositionOrderAndReportingOrderForTies) {
    msg_report("line 7", "", at(2, 7, 1), SEVERITY_WARNING);
    msg_report("no position", "", POSITION_NULL, SEVERITY_WARNING);
    msg_report("line 3 first", "", at(2, 3, 5), SEVERITY_ERROR);
    msg_report("later stream, line 1", "", at(3, 1, 1), SEVERITY_WARNING);
    msg_report("line 3 second", "", at(2, 3, 5), SEVERITY_INFORMATION);
    msg_report("line 3 column 2", "", at(2, 3, 2), SEVERITY_WARNING);
    msg_report("no position again", "", POSITION_NULL, SEVERITY_WARNING);
    msg_report("line 70000", "", at(2, 70000, 1), SEVERITY_WARNING);
    std::vector<std::string> expected = {
        "line 3 column 2", "line 3 first",         "line 3 second", "line 7",
        "line 70000",      "later stream, line 1", "no position",   "no position again"};
    EXPECT_EQ(stored_texts(), expected);
    EXPECT_EQ(fe_max_severity, SEVERITY_ERROR);
}

TEST_F(MessageStoreTest, StoresOwnedCopies) {
    char text[] = "original";
    char id[] = "ID";
    msg_report(text, id, at(2, 1, 1), SEVERITY_WARNING);
    text[0] = 'X';
    id[0] = 'X';
    EXPECT_STREQ(msg_first_stored()->text, "original");
    EXPECT_STREQ(msg_first_stored()->id, "ID");
    msg_report(nullptr, nullptr, at(2, 2, 1), SEVERITY_WARNING);
    EXPECT_STREQ(msg_first_stored()->next->text, "");
    EXPECT_STREQ(msg_first_stored()->next->id, "");
}

TEST_F(MessageStoreTest, NinetyNineWarningsAreStored) {
    for (int i = 0; i < 99; ++i) msg_report("w", "", at(2, i + 1, 1), SEVERITY_WARNING);
    EXPECT_EQ(stored_texts().size(), 99u);
}

TEST_F(MessageStoreTest, HundredthWarningEndsTheRun) {
    EXPECT_EXIT(
        {
            for (int i = 0; i < 99; ++i) msg_report("kept", "", at(2, i + 1, 1), SEVERITY_WARNING);
            msg_report("the hundredth", "", at(2, 200, 1), SEVERITY_WARNING);
        },
        ExitedWithCode(1),
        "warning  on line 99 in .*: kept\\.\n\n\\*\\* fatal error TOOMANY: Too many warning, "
        "exiting\\.\n\n$");
}

TEST_F(MessageStoreTest, SecondFatalErrorEndsTheRun) {
    msg_report("first fatal", "", at(2, 1, 1), SEVERITY_FATAL);
    EXPECT_EQ(stored_texts().size(), 1u);
    EXPECT_EXIT(msg_report("second fatal", "", at(2, 2, 1), SEVERITY_FATAL), ExitedWithCode(1),
                "first fatal\\.\n\n\\*\\* fatal error TOOMANY: Too many fatal error, exiting");
}

TEST_F(MessageStoreTest, HundredMixedMessagesEndTheRunWithoutStoringTheLast) {
    // The last report has the same position as the others and would print after them: the
    // output ends with the too-many message right after a kept one.
    EXPECT_EXIT(
        {
            for (int i = 0; i < 99; ++i)
                msg_report("kept", "", at(2, 1, 1), static_cast<Severity>(1 + i % 3));
            msg_report("not stored", "", at(2, 1, 1), SEVERITY_INFORMATION);
        },
        ExitedWithCode(1),
        "kept\\.\n\n\\*\\* fatal error TOOMANY: Too many messages, exiting\\.\n\n$");
}

TEST_F(MessageStoreTest, BadSeverityIsAnAssertionViolation) {
    EXPECT_EXIT(msg_report("x", "", at(2, 1, 1), static_cast<Severity>(9)), ExitedWithCode(1),
                "assertion violation BADSEV: msg_report: unknown severity - 9\\.\n\n"
                "\\[ Aborting due to internal error\\. \\]\n$");
}

TEST_F(MessageStoreTest, ClearingAnUnprintedMessageIsAnInternalFault) {
    msg_report("never shown", "", at(2, 4, 1), SEVERITY_WARNING);
    EXPECT_EXIT(msg_clear_messages(), ExitedWithCode(1),
                "msg_clear_messages: message not yet printed - \\[never shown\\]");
    msg_first_stored()->printed = 1;
    msg_clear_messages();
    EXPECT_EQ(msg_first_stored(), nullptr);
}

TEST_F(MessageExpandTest, EscapesAndBindings) {
    msg_param_string("first", 's');
    msg_param_string("second", 's');
    msg_param_num(-42, 'd');
    msg_param_char('x', 'c');
    EXPECT_STREQ(msg_expand_params("[%s|%d|%c|%m]"), "[second|-42|x|]");
    EXPECT_STREQ(msg_expand_params("100%% sure\\n\\ttab\\q"), "100% sure\n\ttabq");
    EXPECT_STREQ(msg_expand_params(""), "");
}

TEST_F(MessageExpandTest, BadEscapeIsReportedAndDropped) {
    ::testing::internal::CaptureStderr();
    std::string result = msg_expand_params("a% b");
    std::string complaint = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, "ab");
    EXPECT_EQ(complaint, "msg_expand_params: ' ' following % in 'a% b'\n");
    ::testing::internal::CaptureStderr();
    result = msg_expand_params("end%");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, "end");
}

TEST_F(MessageExpandTest, LongExpansionsAreCutWithEllipsis) {
    std::string long_text(2000, 'a');
    msg_param_string(long_text.c_str(), 's');
    std::string result = msg_expand_params("xy%sz");
    EXPECT_EQ(result.size(), 999u);
    EXPECT_EQ(result.substr(0, 2), "xy");
    EXPECT_EQ(result.substr(2, 994), std::string(994, 'a'));
    EXPECT_EQ(result.substr(996), "...");

    std::string exactly(999, 'b');
    EXPECT_EQ(msg_expand_params(exactly.c_str()), exactly);
    std::string over(1000, 'b');
    EXPECT_EQ(msg_expand_params(over.c_str()), std::string(996, 'b') + "...");

    // A parameter that brings the output to exactly 999 characters is cut too.
    msg_param_string(std::string(989, 'c').c_str(), 's');
    EXPECT_EQ(msg_expand_params("0123456789%s"), "0123456789" + std::string(986, 'c') + "...");
    msg_param_string(std::string(988, 'c').c_str(), 's');
    EXPECT_EQ(std::string(msg_expand_params("0123456789%s")).size(), 998u);
}

TEST_F(MessageExpandTest, IllegalLetterEndsTheRun) {
    EXPECT_EXIT(msg_param_string("text", ' '), ExitedWithCode(1),
                "Illegal second arg to msg_param_string\\(text,32\\)");
}

TEST_F(MessageExpandTest, SaveEmptiesAndRestoreBringsBack) {
    msg_param_string("kept", 's');
    msg_expand_params("expanded %s");
    MsgParamSave save;
    msg_save_params(&save);
    EXPECT_STREQ(msg_expand_params("[%s]"), "[]");
    msg_param_string("printer's own", 's');
    msg_restore_params(&save);
    EXPECT_STREQ(msg_expand_params("%s"), "kept");
}

TEST(MessageWrap, LinesAndBreaks) {
    const std::string word72(72, 'w');
    struct Case {
        std::string text, expected;
    } cases[] = {
        {"short", "short"},
        {"ends in a line feed\n", "ends in a line feed\n"},
        {"two\nlines", "two\n     lines"},
        {"two\n   indented", "two\n     indented"},
        {"two\n" + std::string(8, ' ') + "deep", "two\n       deep"},
        // A line of exactly 72 characters stays whole, and its line feed is no wrap.
        {word72 + "\n", word72 + "\n"},
        // No blank: cut hard after column 72.
        {word72 + "xyz", word72 + "\n     xyz"},
        // A blank standing in column 73 is where the line breaks; it disappears.
        {word72 + " next", word72 + "\n     next"},
        // Otherwise at the last blank copied.
        {std::string(70, 'a') + " bcdef", std::string(70, 'a') + "\n     bcdef"},
        {std::string(60, 'a') + "\tbb " + std::string(20, 'c'),
         std::string(60, 'a') + "\tbb\n     " + std::string(20, 'c')},
    };
    for (const Case &c : cases) EXPECT_EQ(wrap(c.text), c.expected) << c.text;
}

TEST(MessageWrap, ContinuationLinesWrapAtTheSameWidth) {
    std::string text(200, 'x');
    std::string expected =
        std::string(72, 'x') + "\n     " + std::string(67, 'x') + "\n     " + std::string(61, 'x');
    EXPECT_EQ(wrap(text), expected);
}

TEST(MessageWrap, OverflowIsCutWithEllipsis) {
    std::string result = wrap(std::string(50, 'z'), 20);
    EXPECT_EQ(result, std::string(16, 'z') + "...");
    // A line break whose indentation does not fit is cut too.
    result = wrap(std::string(10, 'z') + "\nmore", 14);
    EXPECT_EQ(result, std::string(10, 'z') + "...");
}

TEST_F(MessagePrintTest, MessageLinesAndEmptyLineAfterEach) {
    msg_report("something odd", "", POSITION_NULL, SEVERITY_WARNING);
    msg_report("bare text", "", POSITION_NULL, SEVERITY_NONE);
    msg_report("with an id", "UNREC", POSITION_NULL, SEVERITY_ERROR);
    EXPECT_EQ(printed(msg_print_messages, 1),
              "\n** warning : something odd.\n\nbare text\n** error UNREC: with an id.\n\n");
    // With every message printed, only the opening line feed is left.
    EXPECT_EQ(printed(msg_print_messages, 0), "\n");
}

TEST_F(MessagePrintTest, LongMessagesWrapWithIndentedContinuation) {
    std::string text = "word";
    for (int i = 0; i < 20; ++i) text += " word";
    msg_report(text.c_str(), "", POSITION_NULL, SEVERITY_ERROR);
    std::string out = printed(msg_print_messages, 1);
    EXPECT_EQ(out, "\n** error : word word word word word word word word word word word word\n"
                   "     word word word word word word word word word.\n\n");
}

TEST_F(MessagePrintTest, PlainPrinterWrapsHard) {
    msg_report("plain", "ID", POSITION_NULL, SEVERITY_ERROR);
    msg_report(std::string(80, 'p').c_str(), "", POSITION_NULL, SEVERITY_WARNING);
    EXPECT_EQ(printed(msg_print_plain, 0),
              "\nPrinting messages without source lines due to internal error.\n"
              "** error ID: plain.\n     \n"
              "** warning : " +
                  std::string(59, 'p') + "\n     " + std::string(21, 'p') + ".\n     \n");
    EXPECT_EQ(printed(msg_print_plain, 0), "");
}

} // namespace

// ---- Listings with source lines --------------------------------------------------------------

namespace {

class MessageListingTest : public ToolkitTest {
  protected:
    std::string folder;
    void SetUp() override {
        ToolkitTest::SetUp();
        char pattern[] = "/tmp/tfpp-msg-XXXXXX";
        folder = mkdtemp(pattern);
    }
    void TearDown() override {
        ToolkitTest::TearDown();
        std::string command = "rm -rf " + folder;
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    StreamHandle file(const std::string &name, const std::string &contents) {
        std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << contents;
        StreamHandle handle{};
        EXPECT_EQ(si_find_stream(path.c_str(), &handle), SI_OK);
        return handle;
    }
};

TEST_F(MessageListingTest, SourceLineWithOneCaretPerMessage) {
    StreamHandle s = file("a.F", "      x = y\n\tif (a) b = c\n");
    msg_report("second", "", Position{2, 9, s}, SEVERITY_WARNING);
    msg_report("first", "", Position{2, 3, s}, SEVERITY_ERROR);
    msg_report("elsewhere", "", Position{1, 7, s}, SEVERITY_WARNING);
    std::string name = si_stream_name(s);
    EXPECT_EQ(printed(msg_print_messages, 1),
              "\n" + std::string(72, '-') + "\n" + name +
                  ":\n"
                  "    1:\t      x = y\n"
                  "      \t      ^\n"
                  "** warning  on line 1 in a.F: elsewhere.\n\n"
                  "    2:\t\tif (a) b = c\n"
                  // The tab before the first caret stays a tab; the caret steps over its column.
                  "      \t\t ^     ^\n"
                  "** error  on line 2 in a.F: first.\n\n"
                  "** warning  on line 2 in a.F: second.\n\n");
}

// The printers reach the source only through the reader lent at start-up: without it they
// print as when no stream can be opened, and with it again under the source lines.
TEST_F(MessageListingTest, WithoutTheSourceReaderMessagesArePrintedPlain) {
    StreamHandle s = file("a.F", "      x = y\n");
    msg_report("odd", "", Position{1, 7, s}, SEVERITY_WARNING);
    msg_set_source_reader(nullptr);
    std::string plain = printed(msg_print_messages, 1);
    msg_set_source_reader(&si_message_reader);
    EXPECT_EQ(plain.rfind("\nPrinting messages without source lines due to internal error.\n", 0),
              0u)
        << plain;
    EXPECT_NE(plain.find("** warning  on line 1 in : odd.\n"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("x = y"), std::string::npos) << plain;
    EXPECT_NE(printed(msg_print_messages, 1).find("    1:\t      x = y\n"), std::string::npos);
}

TEST_F(MessageListingTest, BaseNameIsCutAndMissingLinesAreSaidOnce) {
    StreamHandle s = file("a_rather_long_file_name_indeed.F", "one line\n");
    msg_report("past the end", "", Position{5, 1, s}, SEVERITY_WARNING);
    msg_report("also past", "", Position{6, 1, s}, SEVERITY_WARNING);
    std::string out = printed(msg_print_messages, 1);
    EXPECT_NE(out.find("** warning  on line 5 in a_rather_long_file_n: past the end.\n"),
              std::string::npos)
        << out;
    std::string unreadable =
        "** Unable to open '" + std::string(si_stream_name(s)) + "' for error summary\n";
    EXPECT_NE(out.find(unreadable), std::string::npos) << out;
    EXPECT_EQ(out.find(unreadable), out.rfind(unreadable)) << out;
}

std::string list_of(StreamHandle s) {
    std::FILE *out = std::tmpfile();
    msg_list_file(s, out);
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(out);
    return text;
}

TEST_F(MessageListingTest, ListFileIsPagedEveryFiftyOneLines) {
    std::string contents;
    for (int i = 1; i <= 120; ++i) contents += "line " + std::to_string(i) + "\n";
    StreamHandle s = file("long.F", contents);
    std::string text = list_of(s);
    std::string header_end = "\nFile: " + std::string(si_stream_name(s)) + "\n\n";
    EXPECT_NE(text.find("\t\t\tpage: 1" + header_end), std::string::npos);
    EXPECT_NE(text.find("   51:\tline 51\n\f"), std::string::npos);
    EXPECT_NE(text.find("\t\t\tpage: 2" + header_end + "   52:\tline 52\n"), std::string::npos);
    EXPECT_NE(text.find("  102:\tline 102\n\f"), std::string::npos);
    EXPECT_NE(text.find("\t\t\tpage: 3" + header_end + "  103:\tline 103\n"), std::string::npos);
    EXPECT_EQ(text.find("page: 4"), std::string::npos);
    EXPECT_NE(text[0], '\f');
    std::size_t form_feeds = 0;
    for (char c : text) form_feeds += c == '\f';
    EXPECT_EQ(form_feeds, 2u);
    // The last line feed is followed by the end: one numbered empty line ends the listing.
    EXPECT_EQ(text.substr(text.size() - 24), "  120:\tline 120\n  121:\t\n");
}

TEST_F(MessageListingTest, ListFileInterleavesMessagesOfTheMainStreamOnly) {
    StreamHandle s = file("m.F", "a\nbb\n");
    StreamHandle other = file("inc.h", "x\n");
    msg_report("on b", "", Position{2, 2, s}, SEVERITY_WARNING);
    msg_report("in include", "", Position{1, 1, other}, SEVERITY_WARNING);
    msg_report("no place", "", POSITION_NULL, SEVERITY_ERROR);
    std::string text = list_of(s);
    std::string body = text.substr(text.find("\n\n") + 2);
    EXPECT_EQ(body, "    1:\ta\n"
                    "    2:\tbb\n"
                    "      \t ^\n"
                    "** warning  on line 2 in m.F: on b.\n\n"
                    "    3:\t\n"
                    "** error : no place.\n\n");
}

} // namespace

// Tests of the front-end services: the nesting rule of reports and the direct fallback lines,
// the fatal exit's emergency output, the debug flag table, and the readable character print.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mm/mm.h"
#include "toolkit_fixture.h"

namespace {

using ::testing::ExitedWithCode;

using FrontEndTest = ToolkitTest;

// A report hook that reports again while it is running, as a failing message service would.
void reporting_hook(const char *text, const char *id, const Position *pos, Severity severity) {
    fe_message("nested report", "", nullptr, SEVERITY_WARNING);
    msg_report_handler(text, id, pos, severity);
}

TEST_F(FrontEndTest, NestedReportClearsTheHookForGood) {
    fe_set_report_hook(reporting_hook);
    ::testing::internal::CaptureStderr();
    fe_message("outer report", "ID", nullptr, SEVERITY_ERROR);
    fe_message("after the fault", "", nullptr, SEVERITY_INFORMATION);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "** QXR warning: nested report\n** QXR information: after the fault\n");
    EXPECT_EQ(fe_get_report_hook(), nullptr);
    // The outer report itself still reached the store.
    ASSERT_NE(msg_first_stored(), nullptr);
    EXPECT_STREQ(msg_first_stored()->text, "outer report");
    EXPECT_EQ(fe_max_severity, SEVERITY_ERROR);
}

TEST_F(FrontEndTest, DirectLineNamesTheIdentifier) {
    fe_set_report_hook(nullptr);
    msg_param_string("-M", 's');
    ::testing::internal::CaptureStderr();
    fe_report(MSG_3UNREC, POSITION_NULL);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "** QXR error [UNREC]:\n   Unrecognized option '-M'\n");
    EXPECT_EQ(fe_max_severity, SEVERITY_ERROR);
}

// The front end knows no catalogue of its own: without the message service's hook a catalogue
// report is an internal fault, never a silent nothing. The direct line names a severity outside
// the scale as the message service would.
TEST_F(FrontEndTest, ReportWithoutTheCatalogueHookIsAnAssertionLine) {
    fe_set_report_hook(nullptr);
    fe_set_catalogue_hook(nullptr);
    ::testing::internal::CaptureStderr();
    fe_report(MSG_3UNREC, POSITION_NULL);
    fe_message("odd", "", nullptr, static_cast<Severity>(9));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "** QXR assertion violation: a catalogue message was reported before the message "
              "service was up\n** QXR ***BAD SEVERITY***: odd\n");
    EXPECT_EQ(fe_max_severity, 9);
    fe_max_severity = SEVERITY_NONE;
    fe_set_catalogue_hook(msg_report_catalogue);
}

TEST_F(FrontEndTest, ReportTakesSeverityAndMnemonicFromTheCatalogue) {
    msg_param_string("a.F", 's');
    fe_report(MSG_4READERROR, Position{12, 3, 2});
    MsgStored *stored = msg_first_stored();
    ASSERT_NE(stored, nullptr);
    EXPECT_STREQ(stored->text, "Unable to read 'a.F'");
    EXPECT_STREQ(stored->id, "READERROR");
    EXPECT_EQ(stored->severity, SEVERITY_FATAL);
    EXPECT_EQ(stored->position.line, 12u);
    EXPECT_EQ(fe_max_severity, SEVERITY_FATAL);
}

TEST_F(FrontEndTest, FatalExitPrintsStoredMessagesAndAbortLineAfterSystemError) {
    EXPECT_EXIT(
        {
            fe_message("pool trouble", "MM", nullptr, SEVERITY_SYSTEM);
            fe_fatal_exit();
        },
        ExitedWithCode(1),
        "\\*\\* system error MM: pool trouble\\.\n\n\\[ Aborting due to internal error\\. \\]\n$");
    EXPECT_EXIT(
        {
            fe_message("only a warning", "", nullptr, SEVERITY_WARNING);
            fe_internal_error();
        },
        ExitedWithCode(1), "\\*\\* warning : only a warning\\.\n\n$");
}

void failing_exit_hook(void *) {
    std::fputs("hook ran\n", stderr);
    fe_fatal_exit();
}

TEST_F(FrontEndTest, FatalExitInsideAnExitHookFallsBackToTheEmergencyPrinter) {
    EXPECT_EXIT(
        {
            fe_add_exit_hook(failing_exit_hook, nullptr);
            msg_report("stored", "", POSITION_NULL, SEVERITY_ERROR);
            fe_set_emergency_print_hook(nullptr);
            fe_fatal_exit();
        },
        ExitedWithCode(1), "hook ran\n\\[ Cannot print messages\\. \\]\n$");
}

TEST_F(FrontEndTest, RanOutOfMemory) {
    EXPECT_EXIT(fe_alloc(SIZE_MAX / 2, 4), ExitedWithCode(1),
                "^Ran out of memory\n\\[ Aborting due to internal error\\. \\]\n$");
    void *memory = fe_alloc(3, 8);
    ASSERT_NE(memory, nullptr);
    std::free(memory);
}

TEST_F(FrontEndTest, DebugFlagTable) {
    EXPECT_STREQ(fe_flag_name(FE_FLAG_TEXT_DEBUG), "text-debug");
    EXPECT_STREQ(fe_flag_name(FE_FLAG_LEX_TRACE), "lex-trace");
    EXPECT_STREQ(fe_flag_name(10), "Fisher/Burke error recovery");
    EXPECT_EQ(fe_flag_name(11), nullptr);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(fe_get_flag(i), 0) << i;
    EXPECT_EQ(fe_get_flag(FE_FLAG_ERROR_RECOVERY), 1);
    fe_set_flag(FE_FLAG_LEX_DEBUG, 1);
    EXPECT_EQ(fe_get_flag(FE_FLAG_LEX_DEBUG), 1);
    EXPECT_EQ(fe_get_trace_stream(), stdout);
    // The next start-up resets the table.
    fe_terminate();
    fe_initialize();
    EXPECT_EQ(fe_get_flag(FE_FLAG_LEX_DEBUG), 0);
}

TEST(FrontEndHelpers, PrintCharShowsControlsReadably) {
    struct Case {
        int c;
        const char *shown;
    } cases[] = {{0, "<0>"}, {3, "<EOF>"},     {'\n', "<NL>"}, {'\f', "<FF>"}, {'\t', "\t"},
                 {'A', "A"}, {' ', " "},       {1, "<1>"},     {127, "<127>"}, {0xE9, "<-23>"},
                 {'~', "~"}, {0x80, "<-128>"}, {'\r', "<13>"}};
    for (const Case &c : cases) {
        std::FILE *file = std::tmpfile();
        fe_print_char(file, c.c);
        std::rewind(file);
        char buffer[16] = {};
        std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
        std::fclose(file);
        EXPECT_EQ(std::string(buffer, n), c.shown) << c.c;
    }
}

TEST(FrontEndHelpers, DateTextHasTheFixedLayout) {
    std::string date = fe_date_text();
    ASSERT_EQ(date.size(), 24u);
    EXPECT_TRUE(::testing::internal::RE::FullMatch(
        date, "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z][a-z] [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:"
              "[0-6][0-9] [0-9][0-9][0-9][0-9]"))
        << date;
}

} // namespace

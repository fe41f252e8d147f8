// Tests of conditional inclusion on whole inputs: the group state machine, include-guard
// recording, skipping that runs past the end of an included file, and the #error text limit.
#include <unistd.h>

#include <cstdio>
#include <cstring>
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
class PpConditionalsTest : public PreprocessorTest {
  protected:
    void start_output() {
        out_ = std::tmpfile();
        output_stream = out_;
        pp_output_init();
    }
    std::string finish() {
        pp_output_flush();
        std::string text;
        std::rewind(out_);
        for (int c; (c = std::fgetc(out_)) != EOF;) text += static_cast<char>(c);
        std::fclose(out_);
        output_stream = stdout;
        si_close_stream();
        return text;
    }

    static void scan_to_end() {
        CurrentToken token{};
        do {
            pp_scan_step(&token);
        } while (token.kind != TOKEN_END_OF_FILE);
    }

    // Runs `source` as the file `name` with markers off; gives the output.
    std::string run(const char *name, const std::string &source) {
        write_file(name, source);
        output_unix_line = 0;
        open_main(name);
        start_output();
        scan_to_end();
        return finish();
    }

    std::FILE *out_ = nullptr;
};

// The output without white space: the letters of the lines that were passed on.
std::string letters(const std::string &output) {
    std::string kept;
    for (char c : output)
        if (c != ' ' && c != '\n') kept += c;
    return kept;
}

int message_count() {
    int count = 0;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) ++count;
    return count;
}

TEST_F(PpConditionalsTest, GroupsPassOnExactlyTheBranchTheirStateAllows) {
    struct Case {
        const char *source;
        const char *kept;
    };
    const Case cases[] = {
        {"#if 0\nA\n#elif 0\nB\n#elif 1\nC\n#elif 1\nD\n#else\nE\n#endif\nF\n", "CF"},
        {"#if 1\nA\n#elif 1\nB\n#else\nC\n#endif\n", "A"},
        {"#if 0\nA\n#else\nB\n#endif\n", "B"},
        {"#if 0\nA\n#elif 0\nB\n#endif\nC\n", "C"},
        // A group opened inside a skipped one never takes a branch.
        {"#if 0\n#if 1\nA\n#elif 1\nB\n#else\nC\n#endif\nD\n#else\nE\n#endif\n", "E"},
        {"#if 0\n#ifdef 3\nA\n#else\nB\n#endif\n#endif\nC\n", "C"},
        // Groups nested in an included branch.
        {"#if 1\n#if 0\nA\n#else\nB\n#endif\nC\n#else\nD\n#endif\n", "BC"},
        {"#ifdef N\nA\n#elif 1\nB\n#endif\n#ifndef N\nC\n#else\nD\n#endif\n", "BC"},
        // An #else after #else is ignored: the skipping it met goes on, the text it met stays.
        {"#if 1\nA\n#else\nB\n#else\nC\n#endif\nD\n", "AD"},
        {"#if 0\nA\n#else\nB\n#else\nC\n#elif 1\nD\n#endif\n", "BCD"},
        // Names other than the seven are passed over while skipping; `#` finds a name on a
        // later line.
        {"#if 0\n#define X\n#error no\n#foo\n#\nelse\nA\n#endif\n", "A"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string name = std::string("s").append(std::to_string(n++)).append(".F");
        EXPECT_EQ(letters(run(name.c_str(), c.source)), c.kept) << c.source;
        EXPECT_EQ(pp_conditional_top(), nullptr) << c.source;
    }
}

TEST_F(PpConditionalsTest, OnlyAWholeFileIfndefGroupIsACompleteGuard) {
    struct Case {
        const char *source;
        PpGuardKind kind;
        std::uint8_t complete;
    };
    const Case cases[] = {
        {"#ifndef G\n#define G\n  X\n#endif\n\n \t\n", PP_GUARD_IFNDEF, 1},
        {"\n/* c */\n  \n#ifndef G\n#endif\n", PP_GUARD_IFNDEF, 1},
        {"#\n#ifndef G\n#endif", PP_GUARD_IFNDEF, 1},
        {"#ifndef G\n#endif\n  X\n", PP_GUARD_IFNDEF, 0},
        {"#ifndef G\n#endif\n/* c */\n", PP_GUARD_IFNDEF, 0},
        {"#ifndef G\n#endif\n#ifndef H\n#endif\n", PP_GUARD_IFNDEF, 0},
        {"#ifndef G\n#ifndef H\n#endif\n#endif\n", PP_GUARD_IFNDEF, 1},
        // A second branch holds text for when G is defined: the file must be read again.
        {"#ifndef G\n#else\n  X\n#endif\n", PP_GUARD_IFNDEF, 0},
        {"#ifndef G\n#elif 1\n  X\n#endif\n", PP_GUARD_IFNDEF, 0},
        {"#ifndef G\n#if 1\n#else\n#endif\n#endif\n", PP_GUARD_IFNDEF, 1},
        {"  X\n#ifndef G\n#endif\n", PP_GUARD_NONE, 0},
        {"#define Y\n#ifndef G\n#endif\n", PP_GUARD_NONE, 0},
        {"#ifdef G\n#endif\n", PP_GUARD_NONE, 0},
        {"#ifndef 3\n#endif\n", PP_GUARD_NONE, 0},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string name = std::string("g").append(std::to_string(n++)).append(".F");
        write_file(name.c_str(), c.source);
        output_unix_line = 0;
        StreamHandle stream = open_main(name.c_str());
        start_output();
        scan_to_end();
        finish();
        const PpIncludeGuard *guard = pp_include_guard(stream);
        EXPECT_EQ(guard->kind, c.kind) << c.source;
        EXPECT_EQ(guard->complete, c.complete) << c.source;
        if (c.kind == PP_GUARD_IFNDEF) {
            EXPECT_STREQ(text_string(guard->name), "G") << "the first directive's name";
            EXPECT_EQ(guard->position.stream, stream);
        }
    }
}

TEST_F(PpConditionalsTest, TheGuardKeepsTheNamesPositionAndIsForgottenAtStartUp) {
    write_file("p.F", "\n  #  ifndef   GUARD_NAME\n#endif\n");
    StreamHandle stream = open_main("p.F");
    start_output();
    scan_to_end();
    finish();
    const PpIncludeGuard *guard = pp_include_guard(stream);
    EXPECT_EQ(guard->position.line, 2u);
    EXPECT_EQ(guard->position.column, 15);
    EXPECT_EQ(guard->complete, 1);
    pp_include_reset();
    EXPECT_EQ(guard->kind, PP_GUARD_NONE);
    EXPECT_EQ(guard->complete, 0);
}

TEST_F(PpConditionalsTest, SkippingRunsPastTheEndOfAnIncludedFile) {
    // i.F is entered before m.F's first line, as an #include on that line would leave it.
    write_file("m.F", "A\n#endif\nB\n#endif\nC\n");
    write_file("i.F", "#if 0\nI\n#if 1\n");
    open_main("m.F");
    StreamHandle inner = STREAM_NULL;
    ASSERT_EQ(si_find_stream("i.F", &inner), SI_OK);
    ASSERT_EQ(si_include(inner), SI_OK);
    pp_push_file("i.F");
    start_output();
    CurrentToken token{};
    pp_scan_step(&token);
    // i.F's #if 0 is still open, with the #if 1 inside it, when m.F is resumed: the first
    // #endif closes the inner group, the second the outer one, and C is passed on.
    EXPECT_EQ(token.kind, TOKEN_IDENTIFIER);
    EXPECT_STREQ(text_string(pp_file_top()->actual_file), "m.F") << "i.F was left";
    EXPECT_EQ(pp_conditional_top(), nullptr);
    scan_to_end();
    // One newline for i.F's end, one for the directive line that started the skipping, then
    // C with the marker of its line.
    EXPECT_EQ(finish(), "\n\n\n# 5 \"m.F\"\nC\n");
    EXPECT_EQ(message_count(), 0);
}

TEST_F(PpConditionalsTest, AGroupOpenedInAnIncludedFileStaysOpenInTheIncluder) {
    write_file("m.F", "A\n#endif\nB\n");
    write_file("i.F", "#if 0\nI\n#if 1\n");
    open_main("m.F");
    StreamHandle inner = STREAM_NULL;
    ASSERT_EQ(si_find_stream("i.F", &inner), SI_OK);
    ASSERT_EQ(si_include(inner), SI_OK);
    pp_push_file("i.F");
    start_output();
    scan_to_end();
    ASSERT_NE(pp_conditional_top(), nullptr);
    EXPECT_EQ(pp_conditional_top()->position.stream, inner);
    EXPECT_EQ(pp_conditional_top()->position.line, 1u);
    EXPECT_EQ(pp_conditional_top()->previous, nullptr) << "only the outer group is left";
    EXPECT_EQ(letters(finish()), "");
    pp_check_open_groups();
    ASSERT_EQ(message_count(), 1);
    EXPECT_STREQ(msg_first_stored()->text, "missing #endif directive");
    EXPECT_EQ(msg_first_stored()->position.stream, inner);
}

TEST_F(PpConditionalsTest, AGuardGroupClosedInTheIncluderIsNoGuard) {
    write_file("m.F", "#endif\n");
    write_file("i.F", "#ifndef G\n");
    StreamHandle outer = open_main("m.F");
    StreamHandle inner = STREAM_NULL;
    ASSERT_EQ(si_find_stream("i.F", &inner), SI_OK);
    ASSERT_EQ(si_include(inner), SI_OK);
    pp_push_file("i.F");
    start_output();
    scan_to_end();
    finish();
    EXPECT_EQ(pp_conditional_top(), nullptr);
    EXPECT_EQ(pp_include_guard(inner)->kind, PP_GUARD_IFNDEF);
    EXPECT_EQ(pp_include_guard(inner)->complete, 0);
    EXPECT_EQ(pp_include_guard(outer)->complete, 0) << "the includer's text is not one group";
}

TEST_F(PpConditionalsTest, ErrorTextStopsBeforeThePieceThatWouldPassTheLimit) {
    std::string words;
    for (int i = 0; i < 204; ++i) words += "word ";
    // " " + 204 * "word " is 1021 characters; "abc" makes 1024, the blank after it would pass.
    run("e1.F", "#error " + words + "abc tail\nX\n");
    MsgStored *m = msg_first_stored();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::strlen(m->text), 1024u);
    EXPECT_EQ(std::string(m->text), " " + words + "abc");
    EXPECT_EQ(m->severity, SEVERITY_WARNING);
    EXPECT_EQ(m->position.line, 1u);
    EXPECT_EQ(m->position.column, 2) << "at the directive's name";
    EXPECT_EQ(m->next, nullptr) << "the dropped rest of the line draws nothing";
}

TEST_F(PpConditionalsTest, ErrorTextOfOneOverlongPieceIsTheBlankBeforeIt) {
    EXPECT_EQ(letters(run("e2.F", "#error " + std::string(1100, 'x') + "\nX\n")), "X");
    MsgStored *m = msg_first_stored();
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->text, " ");
}

TEST_F(PpConditionalsTest, ErrorAtTheEndOfInputKeepsItsTextAndSaysTheLineIsUnfinished) {
    run("e3.F", "#error last words");
    std::vector<std::string> texts;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) texts.push_back(m->text);
    EXPECT_EQ(texts,
              (std::vector<std::string>{" last words", "file ends in an unfinished pp directive"}));
}

} // namespace

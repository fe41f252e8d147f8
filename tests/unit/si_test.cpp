// Unit tests of the source streams: reading through the ring and its refills, marks that wrap
// or lose their bytes, back-up, seeks within and across streams, the file stack, CR LF line
// ends, 0 bytes, very long lines and files of more than 65535 lines.
#include "si/si.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fe/fe.h"
#include "msg/msg.h"
#include "toolkit_fixture.h"

namespace {

struct Reported {
    std::string text;
    std::string id;
    Position position;
    Severity severity;
};
std::vector<Reported> reported;

void capture(const char *text, const char *id, const Position *pos, Severity severity) {
    reported.push_back(
        {text, id != nullptr ? id : "", pos != nullptr ? *pos : POSITION_NULL, severity});
}

std::string crlf_to_lf(const std::string &bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) out += bytes[i];
    return out;
}

// Lines of varying length, so that refills and the wrap point fall at different places in them.
std::string numbered_lines(int count) {
    std::string text;
    for (int i = 1; i <= count; ++i)
        text += "line " + std::to_string(i) + std::string(i % 37, '.') + "\n";
    return text;
}

// Line and column of byte `index` of `text`.
std::pair<std::uint32_t, std::uint32_t> position_of(const std::string &text, std::size_t index) {
    std::uint32_t line = 1, column = 1;
    for (std::size_t i = 0; i < index; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return {line, column};
}

class StreamTest : public ToolkitTest {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "si_testXXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        ToolkitTest::SetUp();
        fe_set_report_hook(capture);
        reported.clear();
    }

    void TearDown() override {
        fe_set_report_hook(msg_report_handler);
        ToolkitTest::TearDown();
        std::filesystem::remove_all(dir);
    }

    std::string write(const std::string &name, const std::string &bytes) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    StreamHandle handle_of(const std::string &path) {
        StreamHandle handle = STREAM_NULL;
        EXPECT_EQ(si_find_stream(path.c_str(), &handle), SI_OK);
        return handle;
    }

    // Writes a file and makes it the current stream.
    StreamHandle open(const std::string &name, const std::string &bytes) {
        StreamHandle handle = handle_of(write(name, bytes));
        EXPECT_EQ(si_open_stream(handle), SI_OK);
        return handle;
    }

    static std::string take(std::size_t count) {
        std::string out;
        for (std::size_t i = 0; i < count; ++i) out += static_cast<char>(si_get_char());
        return out;
    }

    // Every byte up to the end byte, which is consumed but not returned.
    static std::string take_all() {
        std::string out;
        for (int c; (c = si_get_char()) != SI_END_OF_STREAM;) out += static_cast<char>(c);
        return out;
    }

    // Includes the file at `path` and reads it to its end.
    static std::string include_whole(const std::string &path) {
        StreamHandle h = STREAM_NULL;
        EXPECT_EQ(si_find_file(path.c_str(), &h), SI_OK);
        EXPECT_EQ(si_include(h), SI_OK);
        std::string text = take_all();
        EXPECT_EQ(si_close_stream(), SI_OK);
        return text;
    }

    static Position at(std::uint32_t line, std::uint32_t column, StreamHandle stream) {
        return Position{line, static_cast<std::uint16_t>(column), stream};
    }

    std::string dir;
};

void expect_at(std::uint32_t line, std::uint32_t column) {
    EXPECT_EQ(si_cursor.line, line);
    EXPECT_EQ(si_cursor.column, column);
}

// ---- Reading and the end of a stream ------------------------------------------------------

TEST_F(StreamTest, DeliversBytesCountingLinesAndColumns) {
    StreamHandle h = open("a.f", "ab\n\tc");
    struct Step {
        int byte;
        std::uint32_t line, column; // after the byte
    } steps[] = {{'a', 1, 2},  {'b', 1, 3}, {'\n', 2, 1},
                 {'\t', 2, 2}, {'c', 2, 3}, {SI_END_OF_STREAM, 2, 4}};
    for (const Step &step : steps) {
        EXPECT_EQ(si_get_char(), step.byte);
        expect_at(step.line, step.column);
    }
    Position p = si_current_position();
    EXPECT_EQ(p.stream, h);
    EXPECT_EQ(p.line, 2u);
    EXPECT_EQ(p.column, 4u);
    EXPECT_TRUE(reported.empty());
}

TEST_F(StreamTest, EmptyFileGivesOneEndByteAndReadingOnEndsTheRun) {
    open("empty.f", "");
    EXPECT_EQ(si_get_char(), SI_END_OF_STREAM);
    std::string name = dir + "/empty.f";
    EXPECT_EXIT(
        {
            fe_set_report_hook(nullptr);
            si_get_char();
        },
        ::testing::ExitedWithCode(1), "Attempt to read beyond EOF of '" + name + "'");
}

TEST_F(StreamTest, ReadErrorEndsTheRun) {
    // Reading the process's own memory at offset 0 fails with an I/O error.
    EXPECT_EXIT(
        {
            fe_set_report_hook(nullptr);
            StreamHandle h = STREAM_NULL;
            si_find_stream("/proc/self/mem", &h);
            if (si_open_stream(h) == SI_OK) si_get_char();
        },
        ::testing::ExitedWithCode(1), "Unable to read '/proc/self/mem'");
}

// ---- The stream table ---------------------------------------------------------------------

TEST_F(StreamTest, NamesGiveOneHandleEachInOrderOfFirstSight) {
    StreamHandle a = handle_of("dir/a.f"), b = handle_of("b.f"), a2 = handle_of("dir/a.f");
    StreamHandle upper = handle_of("DIR/a.f");
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 3);
    EXPECT_EQ(a2, a);
    EXPECT_EQ(upper, 4); // names compare exactly
    EXPECT_STREQ(si_stream_name(a), "dir/a.f");
    EXPECT_STREQ(si_stream_base_name(a), "a.f");
    EXPECT_STREQ(si_stream_base_name(b), "b.f");
    EXPECT_STREQ(si_stream_name(STREAM_NULL), "<<null stream>>");
    EXPECT_STREQ(si_stream_base_name(STREAM_NULL), "<<null stream>>");
    EXPECT_STREQ(si_stream_name(STREAM_STDIN), "standard input");
    EXPECT_STREQ(si_stream_name(static_cast<StreamHandle>(5)), "<<bad stream handle>>");
    EXPECT_STREQ(si_stream_base_name(static_cast<StreamHandle>(5)), "<<bad stream handle>>");
    EXPECT_EQ(si_find_stream(nullptr, &a), SI_NULL_NAME);
}

TEST_F(StreamTest, TableGrowsUntilFullAndKeepsEveryName) {
    std::vector<StreamHandle> handles;
    for (int i = 0;; ++i) {
        std::string name = std::string("f").append(std::to_string(i));
        StreamHandle h = STREAM_NULL;
        SiStatus status = si_find_stream(name.c_str(), &h);
        if (status != SI_OK) {
            EXPECT_EQ(status, SI_TABLE_FULL);
            break;
        }
        ASSERT_EQ(h, i + 2);
        handles.push_back(h);
    }
    // The capacity grows by 256 up to 65280 entries; handles 0 and 1 are taken.
    EXPECT_EQ(handles.size(), 65280u - 2);
    for (int i : {0, 255, 256, 40000, 65277}) {
        std::string name = std::string("f").append(std::to_string(i));
        StreamHandle h = STREAM_NULL;
        EXPECT_EQ(si_find_stream(name.c_str(), &h), SI_OK);
        EXPECT_EQ(h, i + 2);
        EXPECT_STREQ(si_stream_name(h), name.c_str());
    }
}

TEST_F(StreamTest, OverlongNameIsKeptWholeAndSimplyDoesNotOpen) {
    std::string name = dir + "/" + std::string(5000, 'n');
    StreamHandle h = handle_of(name);
    EXPECT_EQ(std::string(si_stream_name(h)), name);
    EXPECT_EQ(std::string(si_stream_base_name(h)), std::string(5000, 'n'));
    EXPECT_EQ(si_open_stream(h), SI_OPEN_FAILED);
    EXPECT_EQ(si_stream_depth(), 0);
}

TEST_F(StreamTest, FailedOpensLeaveTheCurrentStreamReading) {
    open("a.f", "abc");
    EXPECT_EQ(si_get_char(), 'a');
    StreamHandle missing = handle_of(dir + "/missing.f");
    std::filesystem::create_directory(dir + "/sub");
    StreamHandle directory = handle_of(dir + "/sub");
    EXPECT_EQ(si_open_stream(missing), SI_OPEN_FAILED);
    EXPECT_EQ(si_open_stream(directory), SI_OPEN_FAILED);
    EXPECT_EQ(si_open_stream(static_cast<StreamHandle>(99)), SI_BAD_HANDLE);
    EXPECT_EQ(si_stream_depth(), 1);
    EXPECT_EQ(take(2), "bc");
    EXPECT_EQ(si_close_stream(), SI_OK);
    EXPECT_EQ(si_close_stream(), SI_NOTHING_TO_CLOSE);
}

TEST_F(StreamTest, OperationsBeforeInitialisationAreRefused) {
    ASSERT_EQ(si_finalize(), SI_OK);
    StreamHandle h = STREAM_NULL;
    EXPECT_EQ(si_find_stream("a.f", &h), SI_NOT_INITIALIZED);
    EXPECT_EQ(si_open_stream(STREAM_NULL), SI_NOT_INITIALIZED);
    EXPECT_EQ(si_close_stream(), SI_NOT_INITIALIZED);
    EXPECT_EQ(si_seek(Position{1, 1, 2}), SI_NOT_INITIALIZED);
    EXPECT_EQ(si_include(STREAM_STDIN), SI_OPEN_FAILED);
    EXPECT_STREQ(si_stream_name(STREAM_NULL), "<<bad stream handle>>");
    ASSERT_EQ(si_initialize(), SI_OK);
    EXPECT_EQ(si_initialize(), SI_OK);
    EXPECT_EQ(handle_of("a.f"), 2); // a fresh table
}

TEST_F(StreamTest, StandardInputIsReadFromItsStartAndNeverClosed) {
    std::string path = write("stdin.txt", "in\n");
    int saved = dup(0);
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 0), 0);
    ::close(fd);
    ASSERT_EQ(lseek(0, 2, SEEK_SET), 2);
    EXPECT_EQ(si_open_stream(STREAM_STDIN), SI_OK);
    EXPECT_EQ(take_all(), "in\n");
    EXPECT_EQ(si_close_stream(), SI_OK);
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    // A pipe cannot be read from its start.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(dup2(ends[0], 0), 0);
    EXPECT_EQ(si_open_stream(STREAM_STDIN), SI_SEEK_FAILED);
    EXPECT_EQ(si_stream_depth(), 0);
    ::close(ends[0]);
    ::close(ends[1]);
    dup2(saved, 0);
    ::close(saved);
}

// ---- The ring, refills and marks ----------------------------------------------------------

TEST_F(StreamTest, MarkTextCoversEveryByteSinceTheMark) {
    // CR LF line ends, so that texts re-read from the file must come out translated too.
    std::string raw;
    for (int i = 0; raw.size() < 9000; ++i)
        raw += "tok" + std::to_string(i) + std::string(i % 53, 'x') + (i % 3 ? "\r\n" : "\n");
    std::string text = crlf_to_lf(raw);
    std::string path = write("marks.f", raw);
    StreamHandle h = handle_of(path);
    // Starts before, at and after the first refill (2048) and the later 1024-byte refills;
    // lengths within one block, over the wrap point, and longer than the ring retains.
    for (std::size_t start : {0u, 1000u, 2040u, 2047u, 2048u, 3070u, 3072u, 4090u}) {
        for (std::size_t length : {0u, 1u, 10u, 600u, 1500u, 2500u, 4000u}) {
            SCOPED_TRACE("start " + std::to_string(start) + ", length " + std::to_string(length));
            ASSERT_EQ(si_open_stream(h), SI_OK);
            take(start);
            si_set_mark();
            take(length);
            ASSERT_EQ(si_mark_length(), length);
            const unsigned char *mark = si_mark_text();
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(mark), length),
                      text.substr(start, length));
            // Fetching the text leaves the reading where it was.
            auto [line, column] = position_of(text, start + length);
            expect_at(line, column);
            EXPECT_EQ(si_get_char(), static_cast<unsigned char>(text[start + length]));
            EXPECT_EQ(si_close_stream(), SI_OK);
        }
    }
    EXPECT_TRUE(reported.empty());
}

TEST_F(StreamTest, WholeFileComesThroughTheRingUnchanged) {
    std::string text = numbered_lines(2000);
    open("lines.f", text);
    EXPECT_EQ(take_all(), text);
}

TEST_F(StreamTest, LongLineIsReportedOnceAskedAndReadOnWithExactColumns) {
    std::string text = "x\n" + std::string(70000, 'a') + "\nend\n";
    StreamHandle h = open("long.f", text);
    take(2);
    si_set_mark();
    take(70000);
    EXPECT_EQ(si_cursor.column, 70001u);
    EXPECT_EQ(si_current_position().column, 0xFFFF);
    si_line_too_long();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].text, "Line too long, maximum length is 65535");
    EXPECT_EQ(reported[0].id, "TOOLONG");
    EXPECT_EQ(reported[0].severity, SEVERITY_ERROR);
    EXPECT_EQ(reported[0].position.line, 2u);
    EXPECT_EQ(reported[0].position.column, 0xFFFF);
    EXPECT_EQ(reported[0].position.stream, h);

    ASSERT_EQ(si_mark_length(), 70000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(si_mark_text()), 70000),
              std::string(70000, 'a'));
    EXPECT_EQ(si_get_char(), '\n');
    expect_at(3, 1);
    // Backing up over the line feed returns to the end of the long line, whose start left the
    // ring long ago.
    EXPECT_EQ(si_back_up(1), SI_OK);
    expect_at(2, 70001);
    EXPECT_EQ(si_get_char(), '\n');
    EXPECT_EQ(take(3), "end");

    EXPECT_EQ(si_seek(at(2, 65535, h)), SI_OK);
    expect_at(2, 65535);
    EXPECT_EQ(si_get_char(), 'a');
    EXPECT_EQ(si_seek(at(3, 2, h)), SI_OK);
    EXPECT_EQ(take(2), "nd");
}

// ---- Back-up ------------------------------------------------------------------------------

TEST_F(StreamTest, BackUpRecountsLineAndColumn) {
    const std::string text = "abc\ndef\nghi\n";
    StreamHandle h = open("b.f", text);
    struct Case {
        std::uint32_t count;
        SiStatus status;
        int next; // the byte then under the read point
    } cases[] = {{0, SI_OK, 'h'},
                 {1, SI_OK, 'g'},
                 {2, SI_OK, '\n'},
                 {5, SI_OK, 'd'},
                 {6, SI_OK, '\n'},
                 {9, SI_OK, 'a'},
                 {10, SI_CANNOT_BACK_UP, 'h'}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.count);
        ASSERT_EQ(si_seek(at(3, 2, h)), SI_OK);
        EXPECT_EQ(si_back_up(c.count), c.status);
        std::size_t index = c.status == SI_OK ? 9 - c.count : 9;
        auto [line, column] = position_of(text, index);
        expect_at(line, column);
        EXPECT_EQ(si_get_char(), c.next);
    }
    // A mark on the current line does not keep a longer back-up on that line.
    ASSERT_EQ(si_seek(at(3, 1, h)), SI_OK);
    si_set_mark();
    si_get_char();
    EXPECT_EQ(si_back_up(3), SI_OK);
    expect_at(2, 3);
    EXPECT_EQ(si_get_char(), 'f');
}

TEST_F(StreamTest, BackUpOverTheWrapPointAndItsLimit) {
    std::string text = numbered_lines(400);
    open("w.f", text);
    // After the wrap the first 1025 bytes of the ring were given to the new block: 1023 older
    // bytes remain, and the two read since.
    take(2050);
    EXPECT_EQ(si_back_up(1026), SI_CANNOT_BACK_UP);
    expect_at(position_of(text, 2050).first, position_of(text, 2050).second);
    ASSERT_EQ(si_back_up(1025), SI_OK);
    auto [line, column] = position_of(text, 1025);
    expect_at(line, column);
    EXPECT_EQ(take_all(), text.substr(1025));
}

// ---- Seeks --------------------------------------------------------------------------------

TEST_F(StreamTest, SeekForwardBackwardAndBeyondTheEnd) {
    std::string text = numbered_lines(3000);
    StreamHandle h = open("s.f", text);
    auto expect_line_start = [&](std::uint32_t line) {
        std::string expected = "line " + std::to_string(line);
        EXPECT_EQ(take(expected.size()), expected);
    };
    struct Case {
        std::uint32_t line, column;
        SiStatus status;
    } cases[] = {
        {20, 1, SI_OK},
        {2000, 1, SI_OK}, // forward over many refills
        {1990, 1, SI_OK}, // back into the ring
        {5, 1, SI_OK},    // back before the ring: read again from the start
        {5, 1, SI_OK},
        {3000, 1, SI_OK},
        {3001, 1, SI_OK}, // the end byte's line
        {3002, 1, SI_BEYOND_END},
        {3005, 1, SI_BEYOND_END},
        {12, 80, SI_BEYOND_END},
        {7, 1, SI_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.line) + ":" + std::to_string(c.column));
        EXPECT_EQ(si_seek(at(c.line, c.column, h)), c.status);
        if (c.status == SI_OK && c.line <= 3000) {
            expect_at(c.line, c.column);
            expect_line_start(c.line);
        }
    }
    EXPECT_EQ(si_seek(at(1, 1, STREAM_NULL)), SI_BAD_HANDLE);
    EXPECT_EQ(si_seek(at(1, 1, static_cast<StreamHandle>(9))), SI_BAD_HANDLE);
    // Reading the whole stream, end byte included, and seeking past it again is still only 7.
    ASSERT_EQ(si_seek(at(1, 1, h)), SI_OK);
    EXPECT_EQ(take_all(), text);
    EXPECT_EQ(si_seek(at(4000, 1, h)), SI_BEYOND_END);
    EXPECT_EQ(si_seek(at(2999, 3, h)), SI_OK);
    EXPECT_EQ(take(4), "ne 2");
}

// Lines longer than the stretch a seek searches at once, and a byte 3 inside the file: the seek
// passes the long lines and the lines of the next refills and the byte 3, which is only the
// end of the stream when the stream puts it there, and stops at the real end.
TEST_F(StreamTest, SeekPassesLongLinesAndAByte3AndStopsAtTheEnd) {
    std::string text =
        "a\n" + std::string(10000, 'x') + "\nb\n" + std::string(5000, 'y') + "\x03z\nc\n";
    StreamHandle h = open("e.f", text);
    ASSERT_EQ(si_seek(at(3, 1, h)), SI_OK);
    expect_at(3, 1);
    EXPECT_EQ(take(2), "b\n");
    ASSERT_EQ(si_seek(at(2, 9000, h)), SI_OK);
    expect_at(2, 9000);
    ASSERT_EQ(si_seek(at(4, 5001, h)), SI_OK);
    EXPECT_EQ(take(4), "z\nc\n");
    EXPECT_EQ(si_seek(at(7, 1, h)), SI_BEYOND_END);
    expect_at(6, 1);
    EXPECT_EQ(si_get_char(), SI_END_OF_STREAM);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].text, "Illegal character in input, #3");
    EXPECT_EQ(reported[0].position.line, 4u);
    EXPECT_EQ(reported[0].position.column, 5001u);
}

TEST_F(StreamTest, SeekIntoStreamsSuspendedOnTheFileStack) {
    std::string main_text = numbered_lines(500), inc_text = numbered_lines(300);
    StreamHandle main = open("main.f", main_text);
    StreamHandle inc = handle_of(write("inc.f", inc_text));
    take(2500);
    ASSERT_EQ(si_include(inc), SI_OK);
    take(2100);
    // Listing messages: the null stream goes on top, then seeks move between the streams.
    ASSERT_EQ(si_open_stream(STREAM_NULL), SI_OK);
    ASSERT_EQ(si_stream_depth(), 3);
    // Beyond where the main stream stopped: read on from a copy of its ring and its offset.
    std::uint32_t next_line = position_of(main_text, 4000).first + 1;
    EXPECT_EQ(si_seek(at(next_line, 1, main)), SI_OK);
    std::string expected = "line " + std::to_string(next_line);
    EXPECT_EQ(take(expected.size()), expected);
    EXPECT_EQ(si_seek(at(1, 1, main)), SI_OK);
    EXPECT_EQ(si_cursor.stream, main);
    EXPECT_EQ(take(6), "line 1");
    EXPECT_EQ(si_seek(at(450, 1, main)), SI_OK);
    EXPECT_EQ(take(8), "line 450");
    EXPECT_EQ(si_seek(at(40, 1, inc)), SI_OK);
    EXPECT_EQ(take(7), "line 40");
    EXPECT_EQ(si_seek(at(290, 1, inc)), SI_OK);
    EXPECT_EQ(take(8), "line 290");
    EXPECT_EQ(si_stream_depth(), 3);
    // Closing the listing's level and the include resumes each stream where it stopped.
    EXPECT_EQ(si_close_stream(), SI_OK);
    EXPECT_EQ(si_cursor.stream, inc);
    EXPECT_EQ(take_all(), inc_text.substr(2100));
    EXPECT_EQ(si_close_stream(), SI_OK);
    EXPECT_EQ(si_cursor.stream, main);
    EXPECT_EQ(take_all(), main_text.substr(2500));
}

// ---- The file stack -----------------------------------------------------------------------

TEST_F(StreamTest, NestedOpensOfOneFileShareItsDescriptorAndKeepTheirOffsets) {
    std::string text = numbered_lines(700);
    auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    auto descriptors = open_descriptors();
    StreamHandle h = open("r.f", text);
    EXPECT_EQ(take(3000), text.substr(0, 3000));
    ASSERT_EQ(si_open_stream(h), SI_OK);
    EXPECT_EQ(open_descriptors(), descriptors + 1);
    EXPECT_EQ(take(10), text.substr(0, 10));
    ASSERT_EQ(si_open_stream(h), SI_OK);
    EXPECT_EQ(take_all(), text);
    EXPECT_EQ(si_close_stream(), SI_OK);
    EXPECT_EQ(take_all(), text.substr(10));
    EXPECT_EQ(si_close_stream(), SI_OK);
    EXPECT_EQ(take_all(), text.substr(3000));
    EXPECT_EQ(si_close_stream(), SI_OK);
    // Closed at every level, a file of at most 64 KiB keeps its descriptor for the next
    // inclusion; si_finalize closes it.
    EXPECT_EQ(open_descriptors(), descriptors + 1);
    EXPECT_EQ(si_finalize(), SI_OK);
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(StreamTest, IncludeSearchOpensOnlyReadableFilesAndKeepsBoundedDescriptors) {
    auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    auto descriptors = open_descriptors();
    open("main.f", "main\n");
    StreamHandle h = STREAM_NULL;
    // Neither a missing file nor a directory is named in the table.
    std::string missing = dir + "/missing.h";
    EXPECT_EQ(si_find_file(missing.c_str(), &h), SI_OPEN_FAILED);
    EXPECT_EQ(si_lookup_stream(missing.c_str(), &h), SI_BAD_HANDLE);
    EXPECT_EQ(si_find_file(dir.c_str(), &h), SI_OPEN_FAILED);
    EXPECT_EQ(si_lookup_stream(dir.c_str(), &h), SI_BAD_HANDLE);

    // 100 small files, each included three times, one big one twice: every inclusion reads the
    // whole file, and no more than 64 descriptors stay open once the files are closed.
    std::string big = numbered_lines(4000);
    ASSERT_GT(big.size(), 65536u);
    std::string big_path = write("big.h", big);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 100; ++i) {
            std::string name = std::string("h").append(std::to_string(i)).append(".h");
            std::string path = dir + "/" + name;
            std::string body = std::string("header ").append(std::to_string(i)) += '\n';
            if (round == 0) write(name, body);
            StreamHandle found = STREAM_NULL;
            ASSERT_EQ(si_find_file(path.c_str(), &found), SI_OK);
            ASSERT_EQ(si_lookup_stream(path.c_str(), &h), SI_OK);
            EXPECT_EQ(h, found);
            ASSERT_EQ(si_include(found), SI_OK);
            ASSERT_EQ(take_all(), body) << "round " << round << ", file " << i;
            ASSERT_EQ(si_close_stream(), SI_OK);
        }
        if (round < 2) {
            ASSERT_EQ(si_find_file(big_path.c_str(), &h), SI_OK);
            ASSERT_EQ(si_include(h), SI_OK);
            ASSERT_EQ(take_all(), big);
            ASSERT_EQ(si_close_stream(), SI_OK);
        }
        EXPECT_LE(open_descriptors(), descriptors + 1 + 64);
    }
    EXPECT_EQ(take_all(), "main\n");
}

TEST_F(StreamTest, FileIsReadAfreshWhenItChangesBetweenInclusions) {
    // A file grown beyond its size at open, or cut, between two inclusions is read as it is
    // at the second one: the end of a file is taken only from a read that found it.
    open("main.f", "main\n");
    std::string path = write("grow.h", "short\n");
    StreamHandle h = STREAM_NULL;
    ASSERT_EQ(si_find_file(path.c_str(), &h), SI_OK);
    ASSERT_EQ(si_include(h), SI_OK);
    EXPECT_EQ(take_all(), "short\n");
    ASSERT_EQ(si_close_stream(), SI_OK);
    std::string longer = numbered_lines(300);
    write("grow.h", longer); // the same file, rewritten in place
    ASSERT_EQ(si_find_file(path.c_str(), &h), SI_OK);
    ASSERT_EQ(si_include(h), SI_OK);
    EXPECT_EQ(take_all(), longer);
    ASSERT_EQ(si_close_stream(), SI_OK);
    write("grow.h", "cut\n");
    ASSERT_EQ(si_find_file(path.c_str(), &h), SI_OK);
    ASSERT_EQ(si_include(h), SI_OK);
    EXPECT_EQ(take_all(), "cut\n");
    ASSERT_EQ(si_close_stream(), SI_OK);
    // Files larger than the ring are read ahead in big blocks; what was read ahead for one
    // inclusion is not handed to the next.
    std::string first(20000, 'a'), second(20000, 'b');
    first += '\n';
    second += '\n';
    path = write("big.h", first);
    ASSERT_EQ(si_find_file(path.c_str(), &h), SI_OK);
    ASSERT_EQ(si_include(h), SI_OK);
    EXPECT_EQ(take(3000), first.substr(0, 3000));
    ASSERT_EQ(si_close_stream(), SI_OK);
    write("big.h", second);
    EXPECT_EQ(include_whole(path), second);
    EXPECT_EQ(take_all(), "main\n");
}

// Files of several read-ahead blocks (256 KiB), whose next block is read by a second thread:
// an inclusion of another such file in mid-block, the same file opened again, a seek back and
// a file rewritten between two inclusions each give exactly the file's bytes, and the
// descriptor's offset shows how far the file has been read.
TEST_F(StreamTest, LargeFilesReadAheadComeThroughWholeAcrossInclusionsAndSeeks) {
    std::string main_text = numbered_lines(60000); // about 1.3 MB
    std::string other_text(700000, 'o');
    for (std::size_t i = 80; i < other_text.size(); i += 81) other_text[i] = '\n';
    StreamHandle main_handle = open("main.f", main_text);
    EXPECT_EQ(take(300000), main_text.substr(0, 300000));
    std::string other_path = write("other.h", other_text);
    StreamHandle other = STREAM_NULL;
    ASSERT_EQ(si_find_file(other_path.c_str(), &other), SI_OK);
    ASSERT_EQ(si_include(other), SI_OK);
    EXPECT_EQ(take(600000), other_text.substr(0, 600000));
    ASSERT_EQ(si_open_stream(main_handle), SI_OK); // the main file again, from its start
    EXPECT_EQ(take(700000), main_text.substr(0, 700000));
    EXPECT_EQ(si_close_stream(), SI_OK);
    EXPECT_EQ(take_all(), other_text.substr(600000));
    ASSERT_EQ(si_close_stream(), SI_OK);
    EXPECT_EQ(take(500000), main_text.substr(300000, 500000));
    // Back to line 10, then on to the end.
    ASSERT_EQ(si_seek(at(10, 1, main_handle)), SI_OK);
    std::size_t line_10 = 0;
    for (int line = 1; line < 10; ++line) line_10 = main_text.find('\n', line_10) + 1;
    EXPECT_EQ(take(400000), main_text.substr(line_10, 400000));
    ASSERT_EQ(si_seek(at(50000, 1, main_handle)), SI_OK);
    std::size_t line_50000 = 0;
    for (int line = 1; line < 50000; ++line) line_50000 = main_text.find('\n', line_50000) + 1;
    EXPECT_EQ(take_all(), main_text.substr(line_50000));
    // A file rewritten between two inclusions: nothing read ahead for the first is handed to
    // the second.
    std::string first(900000, 'a'), second(900000, 'b');
    first.back() = second.back() = '\n';
    std::string path = write("big.h", first);
    StreamHandle h = STREAM_NULL;
    ASSERT_EQ(si_find_file(path.c_str(), &h), SI_OK);
    ASSERT_EQ(si_include(h), SI_OK);
    EXPECT_EQ(take(300000), first.substr(0, 300000));
    // The descriptor's offset covers at least every byte handed out.
    long long position = -1;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(fd.path(), error) != path) continue;
        std::ifstream fdinfo("/proc/self/fdinfo/" + fd.path().filename().string());
        std::string key;
        fdinfo >> key >> position; // "pos: N"
    }
    EXPECT_GE(position, 300000);
    ASSERT_EQ(si_close_stream(), SI_OK);
    write("big.h", second);
    EXPECT_EQ(include_whole(path), second);
    EXPECT_TRUE(reported.empty());
}

TEST_F(StreamTest, FileReportingSizeZeroIsReadToItsRealEnd) {
    // Files under /proc report a size of 0 whatever they hold.
    std::ifstream probe("/proc/self/status");
    std::string expected_start;
    std::getline(probe, expected_start);
    StreamHandle h = handle_of("/proc/self/status");
    ASSERT_EQ(si_open_stream(h), SI_OK);
    std::string text = take_all();
    EXPECT_EQ(text.substr(0, expected_start.size()), expected_start);
    EXPECT_GT(text.size(), 100u);
    EXPECT_EQ(si_close_stream(), SI_OK);
}

TEST_F(StreamTest, TwentyOneLevelsOpenAndTheTwentySecondEndsTheRun) {
    StreamHandle h = handle_of(write("n.f", "#include \"n.f\"\n"));
    for (int level = 1; level <= 21; ++level) ASSERT_EQ(si_open_stream(h), SI_OK) << level;
    EXPECT_EQ(si_stream_depth(), 21);
    EXPECT_EQ(si_get_char(), '#');
    // An exit hook that opens a stream again (as the message listing does) is refused, not
    // reported a second time.
    EXPECT_EXIT(
        {
            fe_set_report_hook(nullptr);
            fe_add_exit_hook(
                [](void *) { std::fprintf(stderr, "reopen %d\n", si_open_stream(STREAM_NULL)); },
                nullptr);
            si_open_stream(h);
        },
        ::testing::ExitedWithCode(1), "File stack overflow.reopen 11");
}

// ---- Line ends and 0 bytes ----------------------------------------------------------------

TEST_F(StreamTest, CrLfIsOneLineFeedEvenAcrossBlockBoundaries) {
    // CR LF pairs whose CR ends a read (2048, then 1024-byte reads) or whose LF starts one, also
    // after a lone CR; lone CRs stay, also when one ends a read or the file. The last cases put
    // the first CR at and after the end of the first 64 KiB read from the file, behind pieces
    // that need no translation.
    for (std::size_t cr : {1023u, 1024u, 2046u, 2047u, 2048u, 3071u, 3072u, 4094u, 4095u, 65535u,
                           65536u, 65537u, 70000u}) {
        SCOPED_TRACE(cr);
        std::string raw = std::string(cr - 1, 'x') + "\r\r\n" + "y\rz\r\n" +
                          std::string(2000, 'w') + "\r" + std::string(cr, 'v') + "\r\n\r";
        StreamHandle h = open("crlf" + std::to_string(cr) + ".f", raw);
        std::string text = crlf_to_lf(raw);
        EXPECT_EQ(take_all(), text);
        // Seeks and back-ups count the translated bytes.
        ASSERT_EQ(si_seek(at(2, 3, h)), SI_OK);
        EXPECT_EQ(si_get_char(), 'z');
        ASSERT_EQ(si_back_up(4), SI_OK);
        expect_at(1, static_cast<std::uint32_t>(cr) + 1);
        EXPECT_EQ(si_get_char(), '\n');
        EXPECT_EQ(si_close_stream(), SI_OK);
    }
    EXPECT_TRUE(reported.empty());
}

// 0 and 3 (the end byte the stream delivers after the last one) never reach the reader.
TEST_F(StreamTest, ZeroAndEndBytesAreReportedOnceAndDropped) {
    std::string raw("ab\0cd\n\0\x03x\r\n", 11);
    StreamHandle h = open("nul.f", raw);
    EXPECT_EQ(take(3), "abc");
    expect_at(1, 4);
    EXPECT_EQ(take_all(), "d\nx\n");
    struct Expected {
        std::uint32_t line, column;
        const char *text;
    } expected[] = {{1, 3, "Illegal character in input, #0"},
                    {2, 1, "Illegal character in input, #0"},
                    {2, 1, "Illegal character in input, #3"}};
    ASSERT_EQ(reported.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reported[i].text, expected[i].text);
        EXPECT_EQ(reported[i].id, "ILLEGCHAR");
        EXPECT_EQ(reported[i].severity, SEVERITY_ERROR);
        EXPECT_EQ(reported[i].position.line, expected[i].line);
        EXPECT_EQ(reported[i].position.column, expected[i].column);
        EXPECT_EQ(reported[i].position.stream, h);
    }
    // Reading the lines again, from the ring or from the file, reports nothing new.
    ASSERT_EQ(si_seek(at(1, 1, h)), SI_OK);
    EXPECT_EQ(take_all(), "abcd\nx\n");
    ASSERT_EQ(si_open_stream(h), SI_OK);
    EXPECT_EQ(take_all(), "abcd\nx\n");
    EXPECT_EQ(reported.size(), 3u);
}

// A large file is searched for the bytes to drop once per read-ahead block; a 3 anywhere in it,
// at the edges of ring refills and read-ahead blocks too, is dropped and reported once.
TEST_F(StreamTest, EndBytesAnywhereInALargeFileAreDropped) {
    std::string text = numbered_lines(20000);
    std::string raw = text;
    std::vector<std::size_t> offsets = {0, 2047, 2048, 3072, 65535, 65536, 131072, 200000};
    for (auto k = offsets.rbegin(); k != offsets.rend(); ++k) raw.insert(*k, 1, '\x03');
    StreamHandle h = open("big3.f", raw);
    EXPECT_EQ(take_all(), text);
    ASSERT_EQ(reported.size(), offsets.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        auto [line, column] = position_of(text, offsets[i]);
        EXPECT_EQ(reported[i].text, "Illegal character in input, #3");
        EXPECT_EQ(reported[i].position.line, line);
        EXPECT_EQ(reported[i].position.column, column);
    }
    // Read again after a seek back to the start: the same text, nothing reported again.
    ASSERT_EQ(si_seek(at(1, 1, h)), SI_OK);
    EXPECT_EQ(take_all(), text);
    EXPECT_EQ(reported.size(), offsets.size());
}

// Read for the listing, dropped bytes are never reported, even those the first reading never
// reached; a stretch of them longer than the limit ends the stream there.
TEST_F(StreamTest, ReadingForTheListingReportsNothingAndEndsEndlessZeros) {
    std::string raw = std::string("a\0b\n", 4) + std::string(SI_LISTING_DROP_LIMIT - 10, '\0') +
                      "c\n" + std::string(SI_LISTING_DROP_LIMIT + 4096, '\0') + "d\n";
    StreamHandle h = open("zeros.f", raw);
    si_set_listing(true);
    EXPECT_EQ(take_all(), "ab\nc\n");
    EXPECT_TRUE(reported.empty());
    // The stream can be read again from its start once the listing is over.
    si_set_listing(false);
    ASSERT_EQ(si_seek(at(1, 1, h)), SI_OK);
    EXPECT_EQ(take(5), "ab\nc\n");
}

TEST_F(StreamTest, BlockOfNothingButZeroBytesIsSkipped) {
    std::string raw(3000, '\0');
    raw += "ok\n";
    open("zeros.f", raw);
    EXPECT_EQ(take_all(), "ok\n");
    EXPECT_EQ(reported.size(), 3000u);
    EXPECT_EQ(reported.back().position.line, 1u);
    EXPECT_EQ(reported.back().position.column, 1u);
}

// ---- Long files ---------------------------------------------------------------------------

TEST_F(StreamTest, FilesOfMoreThan65535LinesKeepExactLineNumbers) {
    std::string raw;
    for (int i = 1; i <= 70000; ++i) {
        raw.append("L").append(std::to_string(i)).append("\n");
        if (i == 69999) raw += std::string("\0", 1);
    }
    StreamHandle h = open("big.f", raw);
    std::string text = take_all();
    EXPECT_EQ(si_cursor.line, 70001u);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].position.line, 70000u); // the 0 byte starts line 70000
    EXPECT_EQ(si_seek(at(69999, 1, h)), SI_OK);
    EXPECT_EQ(take(7), "L69999\n");
    EXPECT_EQ(si_current_position().line, 70000u);
    EXPECT_EQ(si_seek(at(66000, 2, h)), SI_OK);
    EXPECT_EQ(take(5), "66000");
}

// Line numbers are 32-bit. A file of four thousand million lines is out of reach of a unit test,
// so the count is started near its end through the cursor: this checks the limit and where it
// falls (the last line a Position holds is reached, the next is refused before it wraps), not
// the counting of the lines before it, which every other test checks. Columns likewise.
TEST_F(StreamTest, LineCountThatWouldPassTheLastLineEndsTheRun) {
    for (int lines : {10, 5000}) {
        SCOPED_TRACE(lines);
        std::string text = numbered_lines(lines);
        std::string name = "many" + std::to_string(lines) + ".f";
        StreamHandle h = open(name, text);
        si_cursor.line = SI_MAX_LINE - static_cast<std::uint32_t>(lines);
        EXPECT_EQ(take_all(), text);
        EXPECT_EQ(si_cursor.line, SI_MAX_LINE);
        EXPECT_EQ(si_close_stream(), SI_OK);
        ASSERT_EQ(si_open_stream(h), SI_OK);
        si_cursor.line = SI_MAX_LINE - static_cast<std::uint32_t>(lines) + 1;
        EXPECT_EXIT(
            {
                fe_set_report_hook(nullptr);
                take_all();
            },
            ::testing::ExitedWithCode(1),
            "file '" + dir + "/" + name + "' has more than 4294967295 lines");
        EXPECT_EQ(si_close_stream(), SI_OK);
    }
    // The same for the columns of one line: a line feed in the last column is still counted.
    std::string text = std::string(3000, 'c') + "\nd\n";
    StreamHandle h = open("wide.f", text);
    si_cursor.column = SI_MAX_LINE - 3000;
    EXPECT_EQ(take_all(), text);
    EXPECT_EQ(si_close_stream(), SI_OK);
    ASSERT_EQ(si_open_stream(h), SI_OK);
    si_cursor.column = SI_MAX_LINE - 2999;
    EXPECT_EXIT(
        {
            fe_set_report_hook(nullptr);
            take_all();
        },
        ::testing::ExitedWithCode(1),
        "file '" + dir + "/wide.f' has a line of more than 4294967295 columns");
}

// ---- Include records ----------------------------------------------------------------------

TEST_F(StreamTest, IncludeRecordsMapCumulativeLinesToFiles) {
    EXPECT_EQ(si_cumulative_to_position(5).stream, STREAM_NULL);
    open("main.f", "a\nb\nc\n");
    StreamHandle one = handle_of(write("one.f", "x\ny\nz\n"));
    StreamHandle two = handle_of(write("two.f", "p\nq\n"));
    StreamHandle missing = handle_of(dir + "/missing.f");
    take(4); // at line 3
    EXPECT_EQ(si_include(missing), SI_OPEN_FAILED);
    ASSERT_EQ(si_include(one), SI_OK); // starts at cumulative line 3
    take(4);
    EXPECT_EQ(si_include(missing), SI_OPEN_FAILED);
    ASSERT_EQ(si_include(two), SI_OK); // starts at cumulative line 3 + 2
    EXPECT_EQ(si_stream_depth(), 3);
    struct Case {
        std::uint32_t cumulative;
        std::uint32_t line, column;
        StreamHandle stream;
    } cases[] = {{0, 0, 1, STREAM_NULL}, {1, 1, 1, one}, {3, 1, 1, one},
                 {4, 2, 1, one},         {5, 1, 1, two}, {9, 5, 1, two}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cumulative);
        Position p = si_cumulative_to_position(c.cumulative);
        EXPECT_EQ(p.line, c.line);
        EXPECT_EQ(p.column, c.column);
        EXPECT_EQ(p.stream, c.stream);
    }
    Position p = at(2, 7, one);
    Position presented = si_presented_position(p);
    EXPECT_EQ(presented.line, 2u);
    EXPECT_EQ(presented.column, 7u);
    EXPECT_EQ(presented.stream, one);
}

TEST_F(StreamTest, DirectoryPrefixEndsInASlash) {
    const char *ends = "inc/";
    EXPECT_EQ(si_directory_prefix(ends), ends);
    EXPECT_STREQ(si_directory_prefix(""), "");
    EXPECT_STREQ(si_directory_prefix("inc"), "inc/");
    EXPECT_STREQ(si_directory_prefix("c:"), "c:/");
    EXPECT_STREQ(si_directory_prefix("a\\"), "a\\/");
}

} // namespace

// Rings of closed streams are reused and include records live in a pool of their own: through
// a thousand inclusions, some nested 20 deep, every file reads back whole (each longer than a
// ring, so each ring wraps), the includer resumes where it stopped, and the records still map
// cumulative lines of the first and the last inclusion.
TEST_F(StreamTest, ManyInclusionsReadEveryFileWholeAndKeepTheirRecords) {
    std::string main_text = numbered_lines(400);
    std::string inner_text;
    for (int i = 0; i < 300; ++i)
        inner_text.append("inner line ").append(std::to_string(i)) += '\n';
    open("main.f", main_text);
    StreamHandle inner = handle_of(write("inner.f", inner_text));
    std::vector<StreamHandle> chain;
    for (int d = 0; d < 20; ++d)
        chain.push_back(handle_of(write(std::string("c").append(std::to_string(d)).append(".f"),
                                        std::string(2500, static_cast<char>('a' + d)) + '\n')));
    std::string read_main = take(100);
    for (int i = 0; i < 1000; ++i) {
        if (i % 100 == 50) {
            for (StreamHandle h : chain) ASSERT_EQ(si_include(h), SI_OK);
            for (int d = 19; d >= 0; --d) {
                ASSERT_EQ(take_all(), std::string(2500, static_cast<char>('a' + d)) + '\n');
                ASSERT_EQ(si_close_stream(), SI_OK);
            }
        }
        ASSERT_EQ(si_include(inner), SI_OK);
        ASSERT_EQ(take_all(), inner_text) << "inclusion " << i;
        ASSERT_EQ(si_close_stream(), SI_OK);
    }
    read_main += take_all();
    EXPECT_EQ(read_main, main_text);
    // The first inclusion starts at cumulative line 1 + the lines read before it.
    std::uint32_t first = 1 + static_cast<std::uint32_t>(
                                  std::count(main_text.begin(), main_text.begin() + 100, '\n'));
    Position p = si_cumulative_to_position(first + 1);
    EXPECT_EQ(p.stream, inner);
    EXPECT_EQ(p.line, 2u);
    EXPECT_EQ(si_stream_depth(), 1);
}

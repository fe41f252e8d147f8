// Unit tests of the text table: interning, the null handle, growth of the arrays, move-to-front
// in the chains, clearing, the info words, and the exact text of the print and the two dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "driver/run.h"
#include "fe/fe.h"
#include "text/text.h"
#include "toolkit_fixture.h"

namespace {

using TextTable = ToolkitTest;

// Everything a stream-writing routine produced, read back from a temporary file.
template <typename Writer> std::string capture(Writer write) {
    std::FILE *file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    write(file);
    std::fflush(file);
    std::string out;
    std::rewind(file);
    char chunk[512];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) out.append(chunk, n);
    std::fclose(file);
    return out;
}

std::string numbered(const char *prefix, int i) {
    std::string s(prefix);
    s += std::to_string(i);
    return s;
}

// The figure line of the histogram that depends on how often this process cleared the table.
std::string clears_line() {
    char line[64];
    std::snprintf(line, sizeof line, " num times text table cleared   %8d\n",
                  int(text_clear_count()));
    return line;
}

TEST_F(TextTable, SameBytesGiveSameHandleAndPrefixesAreStringsOfTheirOwn) {
    const char abc[] = "abc";
    TextHandle h_abc = text_enter(abc, 3);
    TextHandle h_ab = text_enter(abc, 2);
    EXPECT_EQ(h_abc, 1);
    EXPECT_EQ(h_ab, 2);
    EXPECT_EQ(text_enter_string("abc"), h_abc);
    EXPECT_EQ(text_enter_string("ab"), h_ab);
    EXPECT_EQ(text_find(abc, 2), h_ab);
    EXPECT_EQ(text_find_string("abc"), h_abc);
    EXPECT_EQ(text_find_string("a"), TEXT_NULL);
    EXPECT_EQ(text_find_string("abcd"), TEXT_NULL);
    // The copy of a prefix is terminated where the prefix ends, not where the source did.
    EXPECT_STREQ(text_string(h_ab), "ab");
    EXPECT_EQ(text_length(h_ab), 2u);
    EXPECT_STREQ(text_string(h_abc), "abc");
    // The table holds its own copy: changing the caller's bytes changes nothing.
    char scratch[] = "xyz";
    TextHandle h_xyz = text_enter(scratch, 3);
    scratch[0] = 'q';
    EXPECT_STREQ(text_string(h_xyz), "xyz");
    EXPECT_EQ(text_find_string("xyz"), h_xyz);
    EXPECT_EQ(text_find_string("qyz"), TEXT_NULL);
}

TEST_F(TextTable, EmbeddedNulBytesAreComparedAndKept) {
    const char a0b[] = {'a', '\0', 'b'};
    const char a0c[] = {'a', '\0', 'c'};
    TextHandle h1 = text_enter(a0b, 3);
    TextHandle h2 = text_enter(a0c, 3);
    TextHandle h3 = text_enter_string("a");
    EXPECT_NE(h1, h2);
    EXPECT_NE(h1, h3);
    EXPECT_NE(h2, h3);
    EXPECT_EQ(text_enter(a0b, 3), h1);
    EXPECT_EQ(text_length(h1), 3u);
    EXPECT_EQ(std::memcmp(text_string(h1), a0b, 3), 0);
    EXPECT_EQ(text_string(h1)[3], '\0');
    EXPECT_EQ(text_find(a0c, 3), h2);
}

TEST_F(TextTable, SameHashDifferentBytesAndSameBucketDifferentLengthStayApart) {
    // "ac" and "ba" share the hash 301: (2*2+97)*2+99 == (2*2+98)*2+97. The byte 0xCA alone
    // shares the bucket of "abc": 707 % 503 == 204 == 1*2+202.
    TextHandle ac = text_enter_string("ac");
    TextHandle ba = text_enter_string("ba");
    TextHandle abc = text_enter_string("abc");
    TextHandle ca = text_enter_string("\xCA");
    EXPECT_EQ(text_find_string("ac"), ac);
    EXPECT_EQ(text_find_string("ba"), ba);
    EXPECT_EQ(text_find_string("abc"), abc);
    EXPECT_EQ(text_find_string("\xCA"), ca);
    EXPECT_EQ(capture(text_dump_hash_table), "\n text hash table\n"
                                             "  204  (\xCA ) (abc )\n"
                                             "  301  (ba ) (ac )\n");
}

// Names of every length up to 24 against partners of the same length and hash that differ in
// one pair of neighbouring bytes (+1 then -2 keeps h = 2h + c), at every place: the comparison
// must look at every byte, whichever word of it holds the difference.
TEST_F(TextTable, SameHashPartnersDifferingAtEveryPlaceStayApart) {
    for (std::uint32_t length = 2; length <= 24; ++length) {
        std::string name(length, 'm');
        for (std::uint32_t i = 0; i < length; ++i) name[i] = static_cast<char>('c' + i % 20);
        TextHandle original = text_enter(name.data(), length);
        for (std::uint32_t i = 0; i + 1 < length; ++i) {
            std::string partner = name;
            partner[i] = static_cast<char>(partner[i] + 1);
            partner[i + 1] = static_cast<char>(partner[i + 1] - 2);
            EXPECT_EQ(text_find(partner.data(), length), TEXT_NULL) << partner;
            TextHandle other = text_enter(partner.data(), length);
            EXPECT_NE(other, original) << partner;
            EXPECT_EQ(text_find(partner.data(), length), other) << partner;
            EXPECT_EQ(text_find(name.data(), length), original) << name;
        }
    }
}

TEST_F(TextTable, EmptyStringHasAHandleInBucketZero) {
    TextHandle empty = text_enter("", 0);
    EXPECT_NE(empty, TEXT_NULL);
    EXPECT_EQ(text_enter(nullptr, 0), empty);
    EXPECT_EQ(text_find_string(""), empty);
    EXPECT_EQ(text_length(empty), 0u);
    EXPECT_STREQ(text_string(empty), "");
    EXPECT_EQ(capture(text_dump_hash_table), "\n text hash table\n    0  ( )\n");
}

TEST_F(TextTable, NullHandleIsNeverFoundByItsText) {
    EXPECT_STREQ(text_string(TEXT_NULL), "<NULL_STRING>");
    EXPECT_EQ(text_length(TEXT_NULL), 13u);
    EXPECT_EQ(text_info(TEXT_NULL), nullptr);
    EXPECT_EQ(text_find_string("<NULL_STRING>"), TEXT_NULL);
    TextHandle entered = text_enter_string("<NULL_STRING>");
    EXPECT_EQ(entered, 1);
    EXPECT_EQ(text_find_string("<NULL_STRING>"), entered);
    TextStatistics stats = text_statistics();
    EXPECT_EQ(stats.handles, 2);
    EXPECT_EQ(stats.characters, 28u);
}

TEST_F(TextTable, GrowthKeepsHandlesTextsPointersAndInfoWords) {
    // Capacities 256, 510, 1018, 2034, 4066, 8130: the handle that no longer fits triggers
    // each.
    const int total = 5000;
    std::vector<TextHandle> handles;
    std::vector<const char *> texts;
    std::vector<int> capacity_at;
    static int records[total];
    for (int i = 0; i < total; ++i) {
        std::string s = numbered("name_", i);
        TextHandle h = text_enter(s.data(), std::uint32_t(s.size()));
        ASSERT_EQ(h, i + 1) << s;
        text_set_info(h, &records[i]);
        handles.push_back(h);
        texts.push_back(text_string(h));
        capacity_at.push_back(text_statistics().capacity);
    }
    EXPECT_EQ(capacity_at[254], 256);  // handle 255 is the last of the first arrays
    EXPECT_EQ(capacity_at[255], 510);  // handle 256
    EXPECT_EQ(capacity_at[508], 510);  // handle 509
    EXPECT_EQ(capacity_at[509], 1018); // handle 510
    EXPECT_EQ(capacity_at[1017], 2034);
    EXPECT_EQ(capacity_at[2033], 4066);
    EXPECT_EQ(capacity_at[4065], 8130);
    for (int i = 0; i < total; ++i) {
        std::string s = numbered("name_", i);
        EXPECT_EQ(text_find(s.data(), std::uint32_t(s.size())), handles[i]) << s;
        EXPECT_EQ(text_enter_string(s.c_str()), handles[i]) << s;
        EXPECT_EQ(text_string(handles[i]), texts[i]) << "the string moved: " << s;
        EXPECT_STREQ(text_string(handles[i]), s.c_str());
        EXPECT_EQ(text_info(handles[i]), &records[i]) << s;
    }
    EXPECT_STREQ(text_string(TEXT_NULL), "<NULL_STRING>");
    // A handle made after the arrays moved starts with an empty info word.
    TextHandle fresh = text_enter_string("fresh");
    EXPECT_EQ(text_info(fresh), nullptr);
    EXPECT_EQ(text_statistics().handles, total + 2);
}

TEST_F(TextTable, MoveToFrontKeepsEveryEntryOfTheChain) {
    // All six (and "\\m") have the hash 301: (2*2 + x)*2 + y == 301 for each pair.
    const char *names[] = {"ac", "ba", "`e", "_g", "^i", "]k"};
    std::vector<TextHandle> handles;
    for (const char *n : names) handles.push_back(text_enter_string(n));
    EXPECT_EQ(capture(text_dump_hash_table),
              "\n text hash table\n  301  (]k ) (^i ) (_g ) (`e ) (ba ) (ac )\n");
    // A hit in the middle, at the tail, at the head, then through enter.
    EXPECT_EQ(text_find_string("_g"), handles[3]);
    EXPECT_EQ(capture(text_dump_hash_table),
              "\n text hash table\n  301  (_g ) (]k ) (^i ) (`e ) (ba ) (ac )\n");
    EXPECT_EQ(text_find_string("ac"), handles[0]);
    EXPECT_EQ(text_find_string("ac"), handles[0]);
    EXPECT_EQ(text_enter_string("ba"), handles[1]);
    EXPECT_EQ(capture(text_dump_hash_table),
              "\n text hash table\n  301  (ba ) (ac ) (_g ) (]k ) (^i ) (`e )\n");
    // A miss walks the whole chain and changes nothing.
    EXPECT_EQ(text_find_string("\\m"), TEXT_NULL);
    for (std::size_t i = 0; i < handles.size(); ++i)
        EXPECT_EQ(text_find_string(names[i]), handles[i]) << names[i];
    EXPECT_EQ(text_statistics().handles, 7);
    EXPECT_EQ(capture(text_dump_hash_table),
              "\n text hash table\n  301  (]k ) (^i ) (_g ) (`e ) (ba ) (ac )\n");
}

// The chains keep exactly the order of use while entries are found through the index: many
// strings over few buckets, the arrays growing in between, hits anywhere in a chain, misses,
// and a clear; the dump is compared with a model of the chains.
// The dump written into a fixed buffer: chains damaged into a loop would make the dump endless,
// and a file would fill the disk before the test's time limit ended it.
std::string bounded_dump() {
    static char buffer[1 << 22];
    std::FILE *file = fmemopen(buffer, sizeof buffer, "w");
    EXPECT_NE(file, nullptr);
    text_dump_hash_table(file);
    std::fflush(file);
    long length = std::ftell(file);
    std::fclose(file);
    return std::string(buffer, static_cast<std::size_t>(length < 0 ? 0 : length));
}

TEST_F(TextTable, ChainOrderFollowsEveryLookupThroughGrowthAndClear) {
    auto bucket_of = [](const std::string &s) {
        std::uint32_t h = static_cast<std::uint32_t>(s.size());
        for (unsigned char c : s) h = 2 * h + c;
        return (h & 0x7FFFFFFFu) % TEXT_HASH_TABLE_SIZE;
    };
    std::vector<std::vector<std::string>> chains(TEXT_HASH_TABLE_SIZE);
    auto model_dump = [&] {
        std::string out = "\n text hash table\n";
        for (std::uint32_t b = 0; b < TEXT_HASH_TABLE_SIZE; ++b) {
            if (chains[b].empty()) continue;
            char head[16];
            std::snprintf(head, sizeof head, "%5d ", int(b));
            out += head;
            for (const std::string &s : chains[b]) out += " (" + s + " )";
            out += "\n";
        }
        return out;
    };
    auto use = [&](const std::string &s, bool enter) {
        std::vector<std::string> &chain = chains[bucket_of(s)];
        auto at = std::find(chain.begin(), chain.end(), s);
        bool known = at != chain.end();
        if (known) chain.erase(at);
        if (known || enter) chain.insert(chain.begin(), s);
        TextHandle h = enter ? text_enter(s.data(), static_cast<std::uint32_t>(s.size()))
                             : text_find(s.data(), static_cast<std::uint32_t>(s.size()));
        EXPECT_EQ(h != TEXT_NULL, known || enter) << s;
        if (h != TEXT_NULL) {
            EXPECT_EQ(std::string(text_string(h), text_length(h)), s);
        }
    };
    std::mt19937 rng(1208);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3000; ++i) {
            // Short names, long texts that differ only far from their end, and lookups.
            std::string s =
                i % 3 == 0   ? numbered("v", static_cast<int>(rng() % 900))
                : i % 3 == 1 ? numbered("x", static_cast<int>(rng() % 400)) + std::string(40, 'q')
                             : numbered("w", static_cast<int>(rng() % 1200));
            use(s, rng() % 4 != 0);
            if (i % 500 == 0) {
                ASSERT_EQ(bounded_dump(), model_dump()) << i;
            }
        }
        ASSERT_EQ(bounded_dump(), model_dump());
        text_clear();
        for (auto &chain : chains) chain.clear();
    }
}

TEST_F(TextTable, ClearForgetsEveryStringAndCountsItself) {
    std::uint16_t before = text_clear_count();
    EXPECT_GE(before, 1);
    TextHandle old = text_enter_string("old");
    text_set_info(old, &before);
    for (int i = 0; i < 600; ++i) text_enter_string(numbered("g", i).c_str()); // arrays grew
    text_clear();
    EXPECT_EQ(text_clear_count(), before + 1);
    TextStatistics stats = text_statistics();
    EXPECT_EQ(stats.handles, 1);
    EXPECT_EQ(stats.capacity, 256);
    EXPECT_EQ(stats.characters, 14u);
    EXPECT_EQ(text_find_string("old"), TEXT_NULL);
    EXPECT_STREQ(text_string(TEXT_NULL), "<NULL_STRING>");
    TextHandle renewed = text_enter_string("new");
    EXPECT_EQ(renewed, 1);
    EXPECT_EQ(text_info(renewed), nullptr);
    EXPECT_EQ(capture(text_dump_hash_table), "\n text hash table\n  282  (new )\n");
}

TEST_F(TextTable, ClearCountSurvivesShutDownSoCachedHandlesAreSeenStale) {
    std::uint16_t seen = text_clear_count();
    fe_terminate();
    fe_initialize();
    EXPECT_EQ(text_clear_count(), seen + 1);
}

TEST_F(TextTable, PrintWritesTheTextOrNamesABadHandle) {
    TextHandle h = text_enter_string("print me");
    EXPECT_EQ(capture([&](std::FILE *f) { text_print(f, h); }), "print me");
    EXPECT_EQ(capture([](std::FILE *f) { text_print(f, TEXT_NULL); }), "<NULL_STRING>");
    EXPECT_EQ(capture([](std::FILE *f) { text_print(f, static_cast<TextHandle>(-1)); }),
              "<bad text handle -1>");
    EXPECT_EQ(capture([](std::FILE *f) { text_print(f, static_cast<TextHandle>(2)); }),
              "<bad text handle 2>");
    EXPECT_EQ(capture([](std::FILE *f) { text_print(f, static_cast<TextHandle>(2147483647)); }),
              "<bad text handle 2147483647>");
    text_finalize(); // a closed table has no valid handle, not even the null one
    EXPECT_EQ(capture([](std::FILE *f) { text_print(f, TEXT_NULL); }), "<bad text handle 0>");
}

TEST_F(TextTable, DumpAndHistogramOfASmallTable) {
    text_enter_string("abc"); // bucket 204
    text_enter_string("ac");  // bucket 301
    text_enter_string("ba");  // bucket 301
    text_enter("", 0);        // bucket 0
    EXPECT_EQ(capture(text_dump_hash_table), "\n text hash table\n"
                                             "    0  ( )\n"
                                             "  204  (abc )\n"
                                             "  301  (ba ) (ac )\n");
    EXPECT_EQ(capture(text_hash_histogram), "\nHistogram of Text Hash Table\n"
                                            "    0 *\n"
                                            "  204 *\n"
                                            "  301 **\n"
                                            "\n"
                                            " longest list in hash table            2\n"
                                            " number of nonempty lists              3\n"
                                            " average list length                0.01\n"
                                            " average length non empty lists     1.33\n"
                                            "\n"
                                            " total number of characters           25\n"
                                            " total number of handles               4\n"
                                            " max number of handles          2147483647\n"
                                            " hash table size                     503\n" +
                                                clears_line() + "\n");
}

TEST_F(TextTable, HistogramOfAnEmptyTableShowsZeroAverages) {
    EXPECT_EQ(capture(text_dump_hash_table), "\n text hash table\n");
    EXPECT_EQ(capture(text_hash_histogram), "\nHistogram of Text Hash Table\n"
                                            "\n"
                                            " longest list in hash table            0\n"
                                            " number of nonempty lists              0\n"
                                            " average list length                0.00\n"
                                            " average length non empty lists     0.00\n"
                                            "\n"
                                            " total number of characters           14\n"
                                            " total number of handles               0\n"
                                            " max number of handles          2147483647\n"
                                            " hash table size                     503\n" +
                                                clears_line() + "\n");
}

TEST_F(TextTable, TextTraceFlagPrintsTableThenHistogramAtShutDown) {
    text_enter_string("abc");
    std::string expected_clears = clears_line();
    fe_set_flag(FE_FLAG_TEXT_TRACE, 1);
    ::testing::internal::CaptureStdout();
    fe_terminate();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\n text hash table\n"
                   "  204  (abc )\n"
                   "\nHistogram of Text Hash Table\n"
                   "  204 *\n"
                   "\n"
                   " longest list in hash table            1\n"
                   " number of nonempty lists              1\n"
                   " average list length                0.00\n"
                   " average length non empty lists     1.00\n"
                   "\n"
                   " total number of characters           18\n"
                   " total number of handles               1\n"
                   " max number of handles          2147483647\n"
                   " hash table size                     503\n" +
                       expected_clears + "\n");
    // Shut down means closed: the table no longer answers.
    EXPECT_EQ(text_statistics().capacity, 0);
}

TEST_F(TextTable, GrowsWhileMemoryLastsWithEveryHandleFoundAgain) {
    // Far more distinct spellings than a table of 16-bit-sized arrays could hold: the arrays
    // keep doubling, every handle keeps its text and info word, and lookups still find each
    // one.
    const int total = 300000;
    static int marker;
    char name[16];
    for (int i = 1; i <= total; ++i) {
        int n = std::snprintf(name, sizeof name, "h%d", i);
        ASSERT_EQ(text_enter(name, std::uint32_t(n)), i) << name;
        if (i % 1000 == 0) text_set_info(static_cast<TextHandle>(i), &marker);
    }
    TextStatistics stats = text_statistics();
    EXPECT_EQ(stats.handles, total + 1);
    EXPECT_GE(stats.capacity, total + 1);
    EXPECT_LT(stats.capacity, 2 * (total + 1)) << "grown by doubling, not beyond";
    for (int i = 1; i <= total; i += 997) {
        int n = std::snprintf(name, sizeof name, "h%d", i);
        EXPECT_EQ(text_find(name, std::uint32_t(n)), i) << name;
        EXPECT_STREQ(text_string(static_cast<TextHandle>(i)), name);
    }
    EXPECT_EQ(text_info(static_cast<TextHandle>(131000)), &marker);
    EXPECT_EQ(text_info(static_cast<TextHandle>(300000)), &marker);
    EXPECT_EQ(text_info(static_cast<TextHandle>(131001)), nullptr);
    // Strings already present are still found: only a new one needs a handle.
    EXPECT_EQ(text_enter_string("h77"), 77);
    EXPECT_EQ(text_enter_string("one more"), total + 1);
}

TEST_F(TextTable, PassingTextsAreReadableNeverFoundAndReleasedTogether) {
    TextHandle kept = text_enter_string("kept");
    std::vector<TextHandle> passing;
    std::vector<const char *> pointers;
    std::string long_text(40000, 'q'); // longer than a chunk: a block of its own
    for (int i = 0; i < 2000; ++i) {
        std::string s = i == 1000 ? long_text : numbered("pass_", i);
        TextHandle h = text_enter_passing(s.data(), std::uint32_t(s.size()));
        ASSERT_TRUE(text_is_passing(h));
        passing.push_back(h);
        pointers.push_back(text_string(h));
    }
    const std::int32_t handles = text_statistics().handles;
    EXPECT_EQ(text_statistics().passing, 2000);
    for (int i = 0; i < 2000; ++i) {
        std::string s = i == 1000 ? long_text : numbered("pass_", i);
        EXPECT_EQ(text_string(passing[i]), pointers[i]) << "a passing text moved: " << s;
        EXPECT_EQ(std::string(text_string(passing[i]), text_length(passing[i])), s);
        EXPECT_EQ(text_string(passing[i])[s.size()], '\0');
        EXPECT_EQ(text_info(passing[i]), nullptr);
    }
    EXPECT_EQ(text_find_string("pass_7"), TEXT_NULL) << "never entered in the table";
    // The same text twice is two handles; a text already in the table stays apart too.
    EXPECT_NE(text_enter_passing("kept", 4), text_enter_passing("kept", 4));
    EXPECT_EQ(text_find_string("kept"), kept);
    EXPECT_EQ(text_statistics().handles, handles);
    text_release_passing();
    EXPECT_EQ(text_statistics().passing, 0);
    TextHandle again = text_enter_passing("again", 5);
    EXPECT_EQ(again, passing[0]) << "handles are given out again after the release";
    EXPECT_STREQ(text_string(again), "again");
    EXPECT_STREQ(text_string(kept), "kept");
}

TEST_F(TextTable, UseOfAClosedTableEndsTheRun) {
    EXPECT_EXIT(
        {
            text_finalize();
            text_enter_string("late");
        },
        ::testing::ExitedWithCode(1), "The text table was not initialized");
}

} // namespace

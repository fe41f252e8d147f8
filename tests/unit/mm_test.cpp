// Unit tests of the memory manager: carving order and alignment, free-list reuse, chunk
// release, v-block best fit, frontier give-back, block moves, the error reports of misuse and
// damage (in death tests), and a randomised run that checks no block is ever overwritten.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "driver/run.h"
#include "fe/fe.h"
#include "mm/mm.h"
#include "mm/mm_internal.h"
#include "msg/msg.h"

namespace {

std::uintptr_t addr(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }
char *bytes(void *p) { return static_cast<char *>(p); }

std::string hex(std::uintptr_t a) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(a));
    return text;
}

// The report hook of the death tests: one plain line per report, whatever the printers do.
void print_report(const char *text, const char *id, const Position *, Severity severity) {
    std::fprintf(stderr, "%d|%s|%s\n", static_cast<int>(severity), id, text);
}

// `text` as an extended regular expression matching itself.
std::string quoted(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (std::strchr(".[]{}()\\*+?|^$", c) != nullptr) out += '\\';
        out += c;
    }
    return out;
}

// `text` as a regular expression that lets the printer break lines at any blank.
std::string wrapped(const std::string &text) {
    std::string out;
    for (char c : text) out += c == ' ' ? std::string("[[:space:]]+") : quoted(std::string(1, c));
    return out;
}

// The line print_report writes for a report, as a regular expression.
std::string report_line(int severity, const std::string &text) {
    return "(^|\n)" + std::to_string(severity) + "\\|MM\\|" + quoted(text) + "\n";
}

class MmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Reports go out as direct lines, as when the memory manager runs alone: a test of the
        // whole toolkit earlier in the same process leaves the message service's hook in place.
        fe_set_report_hook(nullptr);
        mm_initialize();
    }
    void TearDown() override {
        for (PoolId pool : opened) mm_close_pool(pool);
    }
    PoolId open(const char *name, std::uint32_t block, std::uint32_t chunk,
                std::uint32_t options = 0) {
        PoolId pool = mm_open_pool(name, block, chunk, options);
        opened.push_back(pool);
        return pool;
    }
    std::vector<PoolId> opened;
};

using MmDeathTest = MmTest;

// ---- Pools and f-blocks ------------------------------------------------------------------

TEST_F(MmTest, InitializeOpensTheGeneralPoolOnce) {
    PoolId general = mm_general_pool();
    ASSERT_NE(general, nullptr);
    std::uint32_t pools = mm_statistics().open_pools;
    mm_initialize();
    EXPECT_EQ(mm_general_pool(), general);
    EXPECT_EQ(mm_statistics().open_pools, pools);
    void *block = mm_get_vblock(general, 10);
    ASSERT_NE(block, nullptr);
    mm_free_vblock(general, block);
}

TEST_F(MmTest, OpenAndCloseCountPools) {
    std::uint32_t before = mm_statistics().open_pools;
    PoolId f = mm_open_pool("f", 16, MM_DEFAULT_CHUNK, 1);
    PoolId v = mm_open_pool(nullptr, MM_VBLOCK, MM_DEFAULT_CHUNK, 0);
    EXPECT_EQ(mm_statistics().open_pools, before + 2);
    mm_close_pool(f);
    mm_close_pool(v);
    EXPECT_EQ(mm_statistics().open_pools, before);
}

TEST_F(MmTest, FBlockSizeIsRoundedAndHoldsAFreeRecord) {
    struct Case {
        std::uint32_t requested, expected;
    };
    // A freed block keeps a link and its chunk inside it: 16 bytes on this host.
    const Case cases[] = {{1, 16}, {8, 16}, {12, 16}, {16, 16}, {17, 24}, {24, 24}, {33, 40}};
    for (const Case &c : cases) {
        PoolId pool = open("sizes", c.requested, MM_DEFAULT_CHUNK);
        EXPECT_EQ(mm_pool_info(pool).block_size, c.expected) << "requested " << c.requested;
        char *a = bytes(mm_get_fblock(pool));
        char *b = bytes(mm_get_fblock(pool));
        EXPECT_EQ(a - b, static_cast<std::ptrdiff_t>(c.expected)) << "requested " << c.requested;
    }
}

TEST_F(MmTest, FBlocksAreCarvedDownwardsAndAligned) {
    PoolId pool = open("carve", 24, MM_DEFAULT_CHUNK);
    void *previous = mm_get_fblock(pool);
    EXPECT_EQ(addr(previous) % 8, 0u);
    for (int i = 1; i < 10; ++i) { // the first chunk holds 256 / 24 = 10 blocks
        void *block = mm_get_fblock(pool);
        EXPECT_EQ(addr(block) % 8, 0u);
        EXPECT_EQ(addr(previous) - addr(block), 24u);
        previous = block;
    }
    EXPECT_EQ(mm_pool_info(pool).chunks, 1u);
    mm_get_fblock(pool);
    EXPECT_EQ(mm_pool_info(pool).chunks, 2u);
}

TEST_F(MmTest, FirstChunkIsSmallAndLaterChunksHaveTheChunkSize) {
    PoolId pool = open("tokens", 16, 8000);
    for (int i = 0; i < 16; ++i) mm_get_fblock(pool); // 256 bytes
    EXPECT_EQ(mm_pool_info(pool).chunks, 1u);
    for (int i = 0; i < 500; ++i) mm_get_fblock(pool); // 8000 bytes
    EXPECT_EQ(mm_pool_info(pool).chunks, 2u);
    mm_get_fblock(pool);
    EXPECT_EQ(mm_pool_info(pool).chunks, 3u);
}

TEST_F(MmTest, FreedFBlocksAreReusedLastFreedFirstOnceTheChunkIsUsedUp) {
    PoolId pool = open("reuse", 32, 320); // first chunk 8 blocks, later ones 10
    std::vector<void *> blocks;
    for (int i = 0; i < 6; ++i) blocks.push_back(mm_get_fblock(pool));
    mm_free_fblock(pool, blocks[1]);
    mm_free_fblock(pool, blocks[4]);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 2u);
    // The frontier still has room: it is used before the free list.
    void *fresh = mm_get_fblock(pool);
    EXPECT_EQ(addr(blocks[5]) - addr(fresh), 32u);
    blocks.push_back(fresh);
    blocks.push_back(mm_get_fblock(pool)); // the chunk is now used up
    mm_free_fblock(pool, blocks[2]);
    EXPECT_EQ(mm_get_fblock(pool), blocks[2]);
    EXPECT_EQ(mm_get_fblock(pool), blocks[4]);
    EXPECT_EQ(mm_get_fblock(pool), blocks[1]);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    EXPECT_EQ(mm_pool_info(pool).chunks, 1u);
    mm_get_fblock(pool);
    EXPECT_EQ(mm_pool_info(pool).chunks, 2u);
}

TEST_F(MmTest, AChunkWhoseBlocksAreAllFreeIsReleased) {
    PoolId pool = open("release", 32, 320);
    std::vector<void *> first;
    for (int i = 0; i < 8; ++i) first.push_back(mm_get_fblock(pool));
    void *second = mm_get_fblock(pool);
    ASSERT_EQ(mm_pool_info(pool).chunks, 2u);
    MmStatistics before = mm_statistics();

    for (int i = 0; i < 7; ++i) mm_free_fblock(pool, first[i]);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 7u);
    mm_free_fblock(pool, first[7]);
    // The older chunk went back to the heap with its free-list entries.
    EXPECT_EQ(mm_pool_info(pool).chunks, 1u);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    EXPECT_EQ(mm_statistics().chunks_freed, before.chunks_freed + 1);
    EXPECT_EQ(mm_statistics().chunk_bytes_freed, before.chunk_bytes_freed + 256);

    mm_free_fblock(pool, second);
    EXPECT_EQ(mm_pool_info(pool).chunks, 0u);
    EXPECT_EQ(mm_statistics().chunk_bytes_freed, before.chunk_bytes_freed + 256 + 320);
    void *again = mm_get_fblock(pool);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(mm_pool_info(pool).chunks, 1u);
}

TEST_F(MmTest, ReleasingTheNewestChunkLeavesTheOlderOneUsable) {
    PoolId pool = open("older", 32, 320);
    std::vector<void *> first;
    for (int i = 0; i < 8; ++i) first.push_back(mm_get_fblock(pool));
    void *second = mm_get_fblock(pool);
    mm_free_fblock(pool, second); // the newest chunk goes; the full older one is newest again
    EXPECT_EQ(mm_pool_info(pool).chunks, 1u);
    // Its blocks are not in a "free section": nothing more is carved from it.
    mm_free_fblock(pool, first[3]);
    EXPECT_EQ(mm_get_fblock(pool), first[3]);
    void *next = mm_get_fblock(pool);
    EXPECT_EQ(mm_pool_info(pool).chunks, 2u);
    mm_free_fblock(pool, next);
    for (void *block : first) mm_free_fblock(pool, block);
    EXPECT_EQ(mm_pool_info(pool).chunks, 0u);
}

TEST_F(MmTest, FreePoolEmptiesThePoolAndKeepsItOpen) {
    PoolId f = open("f", 16, 160);
    PoolId v = open("v", MM_VBLOCK, 1024);
    for (int i = 0; i < 40; ++i) mm_get_fblock(f);
    std::vector<void *> blocks;
    for (int i = 0; i < 40; ++i) blocks.push_back(mm_get_vblock(v, 8 + i * 13));
    for (int i = 0; i < 40; i += 3) mm_free_vblock(v, blocks[i]);
    ASSERT_GT(mm_pool_info(v).free_blocks, 0u);
    mm_free_pool(f);
    mm_free_pool(v);
    for (PoolId pool : {f, v}) {
        EXPECT_EQ(mm_pool_info(pool).chunks, 0u);
        EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    }
    EXPECT_NE(mm_get_fblock(f), nullptr);
    EXPECT_NE(mm_get_vblock(v, 100), nullptr);
}

TEST_F(MmTest, EmptyPoolKeepsTheNewestChunkAndHandsItsBlocksOutAgain) {
    PoolId f = open("f", 16, 160);
    PoolId v = open("v", MM_VBLOCK, 1024);
    for (int i = 0; i < 40; ++i) mm_get_fblock(f); // four chunks
    std::vector<void *> blocks;
    for (int i = 0; i < 40; ++i) blocks.push_back(mm_get_vblock(v, 8 + i * 13));
    for (int i = 0; i < 40; i += 3) mm_free_vblock(v, blocks[i]);
    ASSERT_GT(mm_pool_info(f).chunks, 1u);
    ASSERT_GT(mm_pool_info(v).free_blocks, 0u);
    mm_empty_pool(f);
    mm_empty_pool(v);
    EXPECT_EQ(mm_pool_info(f).chunks, 1u);
    EXPECT_EQ(mm_pool_info(v).chunks, 0u); // v-block pools keep nothing
    for (PoolId pool : {f, v}) EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    // The kept chunk serves the next blocks from its top again: no new chunk.
    void *a = mm_get_fblock(f);
    void *b = mm_get_fblock(f);
    EXPECT_EQ(addr(a) - addr(b), 16u);
    void *c = mm_get_vblock(v, 100);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(mm_pool_info(f).chunks, 1u);
    // Blocks of the emptied pool are not free twice over: freeing them works as before.
    mm_free_fblock(f, a);
    mm_free_vblock(v, c);
    mm_empty_pool(f);
    mm_empty_pool(f); // nothing handed out: nothing changes
    EXPECT_EQ(mm_pool_info(f).chunks, 1u);
    EXPECT_EQ(mm_get_fblock(f), a);
    PoolId unused = open("unused", 16, 160);
    mm_empty_pool(unused);
    EXPECT_EQ(mm_pool_info(unused).chunks, 0u);
}

TEST_F(MmTest, KeepChunkPoolKeepsItsOnlyChunkWhenEveryBlockIsFreed) {
    PoolId kept = open("kept", 16, 160, MM_KEEP_CHUNK);
    PoolId plain = open("plain", 16, 160);
    for (PoolId pool : {kept, plain}) {
        void *a = mm_get_fblock(pool);
        void *b = mm_get_fblock(pool);
        mm_free_fblock(pool, b);
        mm_free_fblock(pool, a);
        EXPECT_EQ(mm_pool_info(pool).chunks, pool == kept ? 1u : 0u);
        EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    }
    // Carving starts again at the top of the kept chunk; a freed block is still caught.
    void *a = mm_get_fblock(kept);
    void *b = mm_get_fblock(kept);
    EXPECT_EQ(addr(a) - addr(b), 16u);
    mm_free_fblock(kept, b);
    EXPECT_EXIT(mm_free_fblock(kept, b), ::testing::ExitedWithCode(1), "already free");
    // With a second chunk the emptied older one still goes back to the heap.
    std::vector<void *> blocks{a};
    while (mm_pool_info(kept).chunks < 2) blocks.push_back(mm_get_fblock(kept));
    for (void *block : blocks) mm_free_fblock(kept, block);
    EXPECT_EQ(mm_pool_info(kept).chunks, 1u);
    EXPECT_EQ(mm_pool_info(kept).free_blocks, 0u);
}

// ---- V-blocks ----------------------------------------------------------------------------

TEST_F(MmTest, VBlocksAreCarvedDownwardsAndAligned) {
    PoolId headers = open("headers", MM_VBLOCK, 1024);
    PoolId bare = open("bare", MM_VBLOCK, 1024, MM_SUPPRESS_HEADER);
    for (PoolId pool : {headers, bare}) {
        std::uintptr_t step = pool == headers ? 8 : 0; // the size header
        char *a = bytes(mm_get_vblock(pool, 40));
        char *b = bytes(mm_get_vblock(pool, 40));
        char *c = bytes(mm_get_vblock(pool, 13));
        char *d = bytes(mm_get_vblock(pool, 1));
        EXPECT_EQ(addr(a) - addr(b), 40 + step);
        EXPECT_EQ(addr(b) - addr(c), 16 + step); // 13 bytes rounded to the alignment
        EXPECT_LT(addr(d), addr(c));
        for (char *p : {a, b, c, d}) EXPECT_EQ(addr(p) % 8, 0u);
    }
}

TEST_F(MmTest, SizeZeroGivesNullAndChangesNothing) {
    PoolId pool = open("zero", MM_VBLOCK, 1024);
    EXPECT_EQ(mm_get_vblock(pool, 0), nullptr);
    EXPECT_EQ(mm_get_cvblock(pool, 0), nullptr);
    EXPECT_EQ(mm_pool_info(pool).chunks, 0u);
    void *a = mm_get_vblock(pool, 24);
    void *b = mm_get_vblock(pool, 24);
    EXPECT_EQ(mm_get_vblock(pool, 0), nullptr);
    EXPECT_EQ(addr(a) - addr(mm_get_vblock(pool, 24)), 2 * (addr(a) - addr(b)));
}

TEST_F(MmTest, TheLastBlockCarvedGoesBackToTheFrontier) {
    PoolId pool = open("frontier", MM_VBLOCK, 1024);
    void *keep = mm_get_vblock(pool, 16);
    void *a = mm_get_vblock(pool, 40);
    mm_free_vblock(pool, a);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    EXPECT_EQ(mm_get_vblock(pool, 40), a);
    // The same for a size that is not a multiple of the alignment.
    void *b = mm_get_vblock(pool, 13);
    mm_free_vblock(pool, b);
    EXPECT_EQ(mm_get_vblock(pool, 13), b);
    mm_free_vblock(pool, keep); // not the last one carved: it goes on a free list
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 1u);
}

TEST_F(MmTest, ZeroFilledBlocksAreCleared) {
    PoolId pool = open("clear", MM_VBLOCK, 1024);
    mm_get_vblock(pool, 8);
    char *a = bytes(mm_get_vblock(pool, 100));
    std::memset(a, 0xFF, 100);
    mm_free_vblock(pool, a);
    char *b = bytes(mm_get_cvblock(pool, 100));
    ASSERT_EQ(b, a); // the same memory, given back and carved again
    for (int i = 0; i < 100; ++i) ASSERT_EQ(b[i], 0) << "byte " << i;
}

TEST_F(MmTest, BestFitTakesTheSmallestBlockAndSplitsItFromTheTop) {
    // Chunk sizes chosen so the frontier has no room left: requests go to the free lists.
    PoolId pool = open("fit", MM_VBLOCK, 984);
    mm_get_vblock(pool, 248); // fills the small first chunk exactly
    char *s300 = bytes(mm_get_vblock(pool, 300));
    mm_get_vblock(pool, 8);
    char *s100 = bytes(mm_get_vblock(pool, 100));
    mm_get_vblock(pool, 8);
    char *s500 = bytes(mm_get_vblock(pool, 500));
    mm_get_vblock(pool, 8); // 312 + 16 + 112 + 16 + 512 + 16 = 984 bytes
    ASSERT_EQ(mm_pool_info(pool).chunks, 2u);
    mm_free_vblock(pool, s300);
    mm_free_vblock(pool, s100);
    mm_free_vblock(pool, s500);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 3u);

    // 90 bytes fit the 100-byte block, flush with its top; the 8 bytes left below are too
    // small to keep.
    char *a = bytes(mm_get_vblock(pool, 90));
    EXPECT_EQ(a, s100 + 8);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 2u);

    // 200 bytes come from the top of the 300-byte block; 88 bytes stay free below.
    char *b = bytes(mm_get_vblock(pool, 200));
    EXPECT_EQ(b, s300 + 96);
    EXPECT_LE(b + 200, s300 + 300);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 2u);
    EXPECT_EQ(mm_get_vblock(pool, 88), s300);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 1u);

    // An exact size is found in its class.
    EXPECT_EQ(mm_get_vblock(pool, 500), s500);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    EXPECT_EQ(mm_pool_info(pool).chunks, 2u);
}

TEST_F(MmTest, TheUncarvedRestOfAChunkIsKeptForLaterRequests) {
    PoolId pool = open("rest", MM_VBLOCK, 1024, MM_SUPPRESS_HEADER);
    char *a = bytes(mm_get_vblock(pool, 200)); // 56 bytes of the first chunk stay uncarved
    mm_get_vblock(pool, 100);                  // does not fit: a new chunk
    EXPECT_EQ(mm_pool_info(pool).chunks, 2u);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 1u);
    mm_get_vblock(pool, 40);
    mm_get_vblock(pool, 880); // uses the new chunk up
    EXPECT_EQ(mm_get_vblock(pool, 56), a - 56);
    EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    EXPECT_EQ(mm_pool_info(pool).chunks, 2u);
}

TEST_F(MmTest, ARequestLargerThanTheChunkSizeGetsAChunkOfItsOwn) {
    PoolId pool = open("large", MM_VBLOCK, 1024);
    MmStatistics before = mm_statistics();
    void *small = mm_get_vblock(pool, 248); // the small first chunk, exactly
    void *large = mm_get_vblock(pool, 5000);
    EXPECT_EQ(mm_pool_info(pool).chunks, 2u);
    mm_free_vblock(pool, large);
    EXPECT_EQ(mm_statistics().chunk_bytes_freed, before.chunk_bytes_freed + 5008);
    mm_free_vblock(pool, small);
    EXPECT_EQ(mm_statistics().chunk_bytes_freed, before.chunk_bytes_freed + 5008 + 256);
    EXPECT_EQ(mm_statistics().chunks_freed, before.chunks_freed + 2);
    // A first request above the small size sets the first chunk's size too.
    void *first = mm_get_vblock(pool, 3000);
    mm_free_vblock(pool, first);
    EXPECT_EQ(mm_statistics().chunk_bytes_freed, before.chunk_bytes_freed + 5264 + 3008);
}

TEST_F(MmTest, AdjustMovesTheBlockAndCopiesWhatFits) {
    PoolId pool = open("adjust", MM_VBLOCK, 1024);
    char *a = bytes(mm_get_vblock(pool, 100));
    for (int i = 0; i < 100; ++i) a[i] = static_cast<char>(i + 1);
    char *smaller = bytes(mm_adjust_vblock(pool, a, 50));
    ASSERT_NE(smaller, a);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(smaller[i], i + 1);
    char *larger = bytes(mm_adjust_vblock(pool, smaller, 3000));
    ASSERT_NE(larger, smaller);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(larger[i], i + 1);
    char *same = bytes(mm_adjust_vblock(pool, larger, 3000));
    EXPECT_NE(same, larger);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(same[i], i + 1);
    // A null block is a plain request; size 0 frees the block and gives null.
    char *fresh = bytes(mm_adjust_vblock(pool, nullptr, 40));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(mm_adjust_vblock(pool, fresh, 0), nullptr);
    EXPECT_EQ(mm_adjust_vblock(pool, same, 0), nullptr);
    EXPECT_EQ(mm_pool_info(pool).chunks, 0u); // every block was freed on the way
}

// Thousands of random requests and frees, each block filled with its own pattern: a block
// handed out twice, or memory reused while in use, shows up as a damaged pattern.
TEST_F(MmTest, RandomRequestsNeverOverwriteBlocksInUse) {
    struct Live {
        char *block;
        std::size_t size;
        unsigned char seed;
    };
    auto fill = [](const Live &l) {
        for (std::size_t i = 0; i < l.size; ++i) l.block[i] = static_cast<char>(l.seed + i * 7);
    };
    auto intact = [](const Live &l) {
        for (std::size_t i = 0; i < l.size; ++i)
            if (l.block[i] != static_cast<char>(l.seed + i * 7)) return false;
        return true;
    };
    std::mt19937 random(12345);
    PoolId f = open("stress f", 40, 400);
    PoolId v = open("stress v", MM_VBLOCK, 1024);
    MmStatistics before = mm_statistics();
    for (PoolId pool : {f, v}) {
        bool fixed = pool == f;
        std::vector<Live> live;
        for (int step = 0; step < 20000; ++step) {
            unsigned choice = random() % 10;
            if (choice < 5 || live.empty()) {
                std::size_t size = fixed ? 40 : 1 + random() % (random() % 8 == 0 ? 3000 : 120);
                Live l{bytes(fixed ? mm_get_fblock(pool) : mm_get_vblock(pool, size)), size,
                       static_cast<unsigned char>(random())};
                ASSERT_EQ(addr(l.block) % 8, 0u);
                fill(l);
                live.push_back(l);
            } else if (choice < 9 || fixed) {
                std::size_t index = random() % live.size();
                ASSERT_TRUE(intact(live[index])) << "step " << step;
                if (fixed)
                    mm_free_fblock(pool, live[index].block);
                else
                    mm_free_vblock(pool, live[index].block);
                live[index] = live.back();
                live.pop_back();
            } else {
                Live &l = live[random() % live.size()];
                ASSERT_TRUE(intact(l)) << "step " << step;
                std::size_t size = 1 + random() % 400;
                l.block = bytes(mm_adjust_vblock(pool, l.block, size));
                for (std::size_t i = l.size; i < size; ++i)
                    l.block[i] = static_cast<char>(l.seed + i * 7);
                l.size = size;
                ASSERT_TRUE(intact(l)) << "step " << step;
            }
        }
        for (const Live &l : live) {
            ASSERT_TRUE(intact(l));
            if (fixed)
                mm_free_fblock(pool, l.block);
            else
                mm_free_vblock(pool, l.block);
        }
        // With every block back, every chunk went back to the heap and no list entry is left.
        EXPECT_EQ(mm_pool_info(pool).chunks, 0u);
        EXPECT_EQ(mm_pool_info(pool).free_blocks, 0u);
    }
    EXPECT_GT(mm_statistics().chunks_freed, before.chunks_freed + 10);
}

// ---- Report formatting -------------------------------------------------------------------

TEST(MmFormat, EscapesAndArguments) {
    struct Case {
        const char *templ;
        std::initializer_list<MmErrorArg> args;
        const char *expected;
    };
    int dummy = 0;
    const Case cases[] = {
        {"%s: pool '%P'", {"op", nullptr}, "op: pool 'NULL POOL'"},
        {"%s: pool '%P'", {nullptr, &dummy}, "NULL STRING: pool 'INVALID POOL ID'"},
        {"%A < %A",
         {reinterpret_cast<void *>(0x1f0), reinterpret_cast<void *>(0xabc)},
         "0x1f0 < 0xabc"},
        {"%S bytes, %d", {std::size_t{4294967296}, -12}, "4294967296 bytes, -12"},
        {"100%% \\n\\q %x|%", {}, "100% \nq *|"},
        {"missing %s %d", {}, "missing NULL STRING 0"},
    };
    for (const Case &c : cases) {
        char area[MM_ERROR_AREA_SIZE];
        mm_format_template(area, c.templ, c.args);
        EXPECT_STREQ(area, c.expected) << c.templ;
    }
    EXPECT_STREQ(mm_error_template(9), "%s: Zero block size for pool '%s'");
    EXPECT_STREQ(mm_error_template(25),
                 "A v-block header has been corrupted in pool '%P' at address %A");
    EXPECT_STREQ(mm_error_template(0), "Unknown error");
    EXPECT_STREQ(mm_error_template(26), "Unknown error");
}

TEST(MmFormat, LongTextIsCutAt195CharactersWithDots) {
    char area[MM_ERROR_AREA_SIZE];
    std::memset(area, '#', sizeof area);
    std::string exact(195, 'e');
    mm_format_template(area, "%s", {exact.c_str()});
    EXPECT_EQ(std::string(area), exact);
    std::string long_name(300, 'x');
    mm_format_template(area, mm_error_template(MM_ERR_ZERO_BLOCK_SIZE),
                       {"mm_open_pool", long_name.c_str()});
    std::string prefix = "mm_open_pool: Zero block size for pool '";
    EXPECT_EQ(std::string(area), prefix + std::string(195 - prefix.size(), 'x') + "...");
    EXPECT_EQ(std::strlen(area), 198u);
}

// ---- Fatal reports -----------------------------------------------------------------------

TEST_F(MmDeathTest, ZeroBlockSize) {
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_open_pool("tokens", 0, MM_DEFAULT_CHUNK, 0);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "mm_open_pool: Zero block size for pool 'tokens'") +
            quoted("[ Aborting due to internal error. ]"));
}

TEST_F(MmDeathTest, ALongPoolNameIsCutToFitTheReport) {
    std::string name(300, 'n');
    std::string prefix = "mm_open_pool: Zero block size for pool '";
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_open_pool(name.c_str(), 0, MM_DEFAULT_CHUNK, 0);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, prefix + std::string(195 - prefix.size(), 'n') + "..."));
}

// The double free is found wherever the block sits on the free list, and a block handed out
// again with its old free record still inside is not mistaken for a free one.
TEST_F(MmDeathTest, DoubleFreeOfAnFBlockDeepInTheFreeList) {
    PoolId pool = open("deep", 16, MM_DEFAULT_CHUNK);
    void *blocks[16]; // the whole first chunk of 256 bytes, so that frees are reused first
    for (void *&b : blocks) b = mm_get_fblock(pool);
    mm_free_fblock(pool, blocks[1]);
    void *again = mm_get_fblock(pool); // the last freed comes back first, its record intact
    ASSERT_EQ(again, blocks[1]);
    mm_free_fblock(pool, again); // live, although its record still names its chunk
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            for (int i = 2; i < 6; ++i) mm_free_fblock(pool, blocks[i]);
            mm_free_fblock(pool, blocks[1]); // now the oldest entry of five
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "mm_free_fblock: Block " + hex(addr(blocks[1])) +
                           " is already free in pool 'INVALID POOL ID'"));
}

TEST_F(MmDeathTest, DoubleFreeOfAnFBlock) {
    PoolId pool = open("twice", 16, MM_DEFAULT_CHUNK);
    void *a = mm_get_fblock(pool);
    mm_get_fblock(pool);
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_free_fblock(pool, a);
            mm_free_fblock(pool, a);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "mm_free_fblock: Block " + hex(addr(a)) +
                           " is already free in pool 'INVALID POOL ID'"));
}

// The report names the block's header address. Small blocks are filed straight into their size
// class and large ones on the unsorted list; either way the list link overwrites the size
// header, and the double free must still be recognised as one.
TEST_F(MmDeathTest, DoubleFreeOfAHeaderVBlock) {
    for (std::size_t size : {8u, 40u, 400u}) {
        PoolId pool = open("general", MM_VBLOCK, MM_DEFAULT_CHUNK);
        mm_get_vblock(pool, 16);
        char *a = bytes(mm_get_vblock(pool, size));
        mm_get_vblock(pool, 16); // in a's chunk, so that `a` is not the last block carved
        EXPECT_EXIT(
            {
                fe_set_report_hook(print_report);
                mm_free_vblock(pool, a);
                mm_free_vblock(pool, a);
            },
            ::testing::ExitedWithCode(1),
            report_line(6, "mm_free_vblock: Block " + hex(addr(a) - 8) +
                               " is already free in pool 'INVALID POOL ID'"))
            << "size " << size;
    }
}

// The whole road of a fault: stored by the message service, printed by the fatal exit's hook.
TEST_F(MmDeathTest, ADoubleFreeIsPrintedByTheMessageServiceBeforeTheAbort) {
    EXPECT_EXIT(
        {
            fe_initialize();
            fe_set_report_hook(msg_report_handler);
            PoolId pool = mm_general_pool();
            void *a = mm_get_vblock(pool, 40);
            mm_get_vblock(pool, 16);
            mm_free_vblock(pool, a);
            mm_free_vblock(pool, a);
        },
        ::testing::ExitedWithCode(1),
        wrapped("** assertion violation MM: mm_free_vblock: Block ") + "0x[0-9a-f]+" +
            wrapped(" is already free in pool 'INVALID POOL ID'.") + "[[:space:]]+" +
            quoted("[ Aborting due to internal error. ]"));
}

TEST_F(MmDeathTest, BlockOutsideEveryChunk) {
    PoolId f = open("f", 16, MM_DEFAULT_CHUNK);
    PoolId v = open("v", MM_VBLOCK, MM_DEFAULT_CHUNK);
    mm_get_fblock(f);
    mm_get_vblock(v, 10);
    static long outside[4];
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_free_fblock(f, outside);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "mm_free_fblock: Block " + hex(addr(outside)) +
                           " is not in pool 'INVALID POOL ID'"));
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_free_vblock(v, &outside[2]);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "mm_free_vblock: Block " + hex(addr(&outside[2])) +
                           " is not in pool 'INVALID POOL ID'"));
}

TEST_F(MmDeathTest, BlockInTheFreeSection) {
    PoolId f = open("f", 16, MM_DEFAULT_CHUNK);
    PoolId v = open("v", MM_VBLOCK, MM_DEFAULT_CHUNK);
    char *below = bytes(mm_get_fblock(f)) - 16;
    char *vbelow = bytes(mm_get_vblock(v, 40)) - 48;
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_free_fblock(f, below);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "mm_free_fblock: Block " + hex(addr(below)) +
                           " is in the free section of pool 'INVALID POOL ID'"));
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_free_vblock(v, vbelow);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "mm_free_vblock: Block " + hex(addr(vbelow)) +
                           " is in the free section of pool 'INVALID POOL ID'"));
}

TEST_F(MmDeathTest, ABlockGivenBackToTheFrontierCannotBeFreedAgain) {
    PoolId v = open("v", MM_VBLOCK, MM_DEFAULT_CHUNK);
    mm_get_vblock(v, 16);
    void *a = mm_get_vblock(v, 40);
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_free_vblock(v, a);
            mm_free_vblock(v, a);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "mm_free_vblock: Block " + hex(addr(a)) +
                           " is in the free section of pool 'INVALID POOL ID'"));
}

TEST_F(MmDeathTest, DamagedChunkEndMark) {
    PoolId f = open("f", 32, MM_DEFAULT_CHUNK);
    char *top = bytes(mm_get_fblock(f)); // the first block carved ends at the chunk bound
    void *other = mm_get_fblock(f);
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            top[32] = 0;
            mm_free_fblock(f, other);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "A chunk descriptor has been corrupted in pool 'INVALID POOL ID' at "
                       "address " +
                           hex(addr(top + 32))));
}

// Freeing the first of two 40-byte v-blocks after its header was overwritten with `header`
// reports the damaged header and ends the run.
void expect_damaged_header_report(PoolId v, std::size_t header) {
    char *a = bytes(mm_get_vblock(v, 40));
    mm_get_vblock(v, 40);
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            std::memcpy(a - 8, &header, sizeof header);
            mm_free_vblock(v, a);
        },
        ::testing::ExitedWithCode(1),
        report_line(6, "A v-block header has been corrupted in pool 'INVALID POOL ID' at "
                       "address " +
                           hex(addr(a) - 8)));
}

TEST_F(MmDeathTest, DamagedSizeHeader) {
    // Above the largest request the pool has seen.
    expect_damaged_header_report(open("v", MM_VBLOCK, MM_DEFAULT_CHUNK), 4000);
}

// A header that keeps its in-use mark but holds an absurd size is still reported as damaged.
TEST_F(MmDeathTest, DamagedSizeUnderAnInUseMark) {
    expect_damaged_header_report(open("v", MM_VBLOCK, MM_DEFAULT_CHUNK),
                                 std::size_t{4000} | MM_LIVE_MARK);
}

// A block given back to the frontier loses its mark: once a newer chunk files the old chunk's
// rest, freeing it again lands inside a free extent and the walk reports it.
TEST_F(MmDeathTest, SecondFreeOfABlockReturnedToTheFrontier) {
    PoolId v = open("v", MM_VBLOCK, MM_DEFAULT_CHUNK);
    mm_get_vblock(v, 40);
    char *b = bytes(mm_get_vblock(v, 40));
    mm_get_vblock(v, 40);
    char *c = bytes(mm_get_vblock(v, 16));
    mm_free_vblock(v, c);  // the last block carved: back to the frontier
    mm_get_vblock(v, 600); // a new chunk; the old one's rest goes on the free lists
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_free_vblock(v, b); // live: no walk needed, no report
            mm_free_vblock(v, c);
        },
        ::testing::ExitedWithCode(1), "A v-block free list has been corrupted in pool");
}

TEST_F(MmDeathTest, OperationsOnTheWrongKindOfPool) {
    PoolId f = open("f", 16, MM_DEFAULT_CHUNK);
    PoolId v = open("v", MM_VBLOCK, MM_DEFAULT_CHUNK);
    PoolId bare = open("bare", MM_VBLOCK, MM_DEFAULT_CHUNK, MM_SUPPRESS_HEADER);
    void *in_bare = mm_get_vblock(bare, 16);
    struct Case {
        void (*operation)(PoolId, void *);
        PoolId pool;
        void *block;
        std::string text;
    };
    const Case cases[] = {
        {[](PoolId p, void *) { mm_get_fblock(p); }, v, nullptr,
         "mm_get_fblock: pool 'INVALID POOL ID' is not an f-block pool"},
        {[](PoolId p, void *b) { mm_free_fblock(p, b); }, bare, nullptr,
         "mm_free_fblock: pool 'INVALID POOL ID' is not an f-block pool"},
        {[](PoolId p, void *) { mm_get_vblock(p, 8); }, f, nullptr,
         "mm_get_vblock: pool 'INVALID POOL ID' is not a v-block pool"},
        {[](PoolId p, void *b) { mm_free_vblock(p, b); }, f, nullptr,
         "mm_free_vblock: pool 'INVALID POOL ID' is not a v-block pool"},
        {[](PoolId p, void *b) { mm_free_vblock(p, b); }, bare, in_bare,
         "mm_free_vblock: pool 'INVALID POOL ID' was opened with the 'suppress header' option"},
        {[](PoolId p, void *b) { mm_adjust_vblock(p, b, 8); }, bare, in_bare,
         "mm_adjust_vblock: pool 'INVALID POOL ID' was opened with the 'suppress header' "
         "option"},
        {[](PoolId p, void *) { mm_get_fblock(p); }, nullptr, nullptr,
         "mm_get_fblock: Unknown pool ID 'NULL POOL'"},
        {[](PoolId p, void *) { mm_close_pool(p); }, nullptr, nullptr,
         "mm_close_pool: Unknown pool ID 'NULL POOL'"},
        {[](PoolId, void *) { mm_open_pool("late", 16, 1024, MM_SYSTEM_POOL); }, nullptr, nullptr,
         "mm_open_pool: bad option when opening pool 'NULL POOL'"},
    };
    for (const Case &c : cases) {
        EXPECT_EXIT(
            {
                fe_set_report_hook(print_report);
                c.operation(c.pool, c.block);
            },
            ::testing::ExitedWithCode(1), report_line(6, c.text));
    }
}

TEST_F(MmDeathTest, OutOfMemoryIsASystemError) {
    PoolId v = open("v", MM_VBLOCK, MM_DEFAULT_CHUNK);
    std::size_t request = std::size_t{1} << 50; // beyond any address space
    // The chunk asked of the heap: the request with its header, rounded, and the chunk's own
    // header, end mark and slack.
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_get_vblock(v, request);
        },
        ::testing::ExitedWithCode(1),
        report_line(5, "out of memory (request size is " + std::to_string(request + 8 + 32) + ")"));
    EXPECT_EXIT(
        {
            fe_set_report_hook(print_report);
            mm_get_vblock(v, SIZE_MAX);
        },
        ::testing::ExitedWithCode(1),
        report_line(5, "out of memory (request size is " + std::to_string(SIZE_MAX) + ")"));
}

// ---- AddressSanitizer builds ---------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define MM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MM_TEST_ASAN 1
#endif
#endif

#ifdef MM_TEST_ASAN
// Reads one byte through a pointer the optimiser cannot see through.
int read_byte(const void *p) { return *static_cast<const volatile char *>(p); }

TEST_F(MmDeathTest, UseAfterFreeOfAPoolBlockIsCaughtBySanitizer) {
    PoolId f = open("F", 24, 1024);
    PoolId v = open("V", MM_VBLOCK, 1024);
    void *kept_f = mm_get_fblock(f); // keeps the chunks alive: nothing goes back to the heap
    void *kept_v = mm_get_vblock(v, 40);
    void *fblock = mm_get_fblock(f);
    void *vblock = mm_get_vblock(v, 40);
    void *gone = mm_get_vblock(v, 100);
    mm_free_vblock(v, gone);
    void *beyond = mm_get_vblock(v, 20);
    // Blocks in use are readable; freed ones, uncarved chunk space and bytes past a block are
    // not.
    EXPECT_EQ(read_byte(bytes(kept_f) + 23), read_byte(bytes(kept_f) + 23));
    EXPECT_EQ(read_byte(bytes(kept_v) + 39), read_byte(bytes(kept_v) + 39));
    mm_free_fblock(f, fblock);
    mm_free_vblock(v, vblock);
    EXPECT_DEATH(read_byte(bytes(fblock) + 8), "use-after-poison");
    EXPECT_DEATH(read_byte(vblock), "use-after-poison");
    EXPECT_DEATH(read_byte(bytes(vblock) + 32), "use-after-poison");
    EXPECT_DEATH(read_byte(bytes(beyond) + 20), "use-after-poison");
    mm_free_fblock(f, kept_f);
    mm_free_vblock(v, kept_v);
    mm_free_vblock(v, beyond);
}
#endif

} // namespace

// The int arena (a last-in-first-out stack of blocks that never move), the
// page and pointer-array pools and the page blocks.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <utility>
#include <vector>

#include "pools.h"

namespace {

class PoolsArena : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ArenaCreate(), 1); }
  void TearDown() override { ArenaDestroy(); }
};

TEST_F(PoolsArena, TakesAreLastInFirstOut) {
  int* a = ArenaTake(10);
  int* b = ArenaTake(5);
  for (int i = 0; i < 10; i++) a[i] = i;
  for (int i = 0; i < 5; i++) b[i] = -i;
  for (int i = 0; i < 10; i++) EXPECT_EQ(a[i], i);  // the blocks do not overlap
  ArenaRelease(5);
  EXPECT_EQ(ArenaTake(3), b);  // the released block is handed out again
  ArenaRelease(3);
  ArenaRelease(10);
  EXPECT_EQ(Arraypagepos, 0);
  // A take that ends exactly at the end of the reservation is accepted.
  int* whole = ArenaTake(Arraypagemax);
  EXPECT_EQ(whole, a);
  whole[Arraypagemax - 1] = 7;
  ArenaRelease(Arraypagemax);
}

// A block keeps its place and its content while later blocks are taken,
// written and given back.
TEST_F(PoolsArena, BlocksKeepTheirContentWhileOthersComeAndGo) {
  constexpr int kBlock = 1 << 16;  // 256 KB of ints
  int* first = ArenaTake(1000);
  for (int i = 0; i < 1000; i++) first[i] = i * 7 + 1;
  std::vector<int*> blocks;
  for (int step = 0; step < 8; step++) {
    int* block = ArenaTake(kBlock);
    for (int i = 0; i < kBlock; i++) block[i] = step;
    blocks.push_back(block);
  }
  ArenaRelease(kBlock);
  ArenaRelease(kBlock);
  blocks.resize(6);
  for (size_t s = 0; s < blocks.size(); s++) {
    EXPECT_EQ(blocks[s][0], int(s));
    EXPECT_EQ(blocks[s][kBlock - 1], int(s));
  }
  for (int i = 0; i < 1000; i++) ASSERT_EQ(first[i], i * 7 + 1) << i;
  ArenaRelease(kBlock * 6LL + 1000);
  EXPECT_EQ(Arraypagepos, 0);
}

#ifndef NDEBUG
TEST_F(PoolsArena, CheckAssertsTheLifoRule) {
  {
    ArenaCheck balanced;
    ArenaTake(4);
    ArenaRelease(4);
  }
  EXPECT_DEATH(
      {
        ArenaCheck check;
        ArenaTake(4);
      },
      "Arraypagepos == entry");
}
#endif

// ---------------------------------------------------------------------------
// Page pools
// ---------------------------------------------------------------------------

class PoolsPage : public ::testing::Test {
 protected:
  void SetUp() override { pool.ints = 10; }
  // Frees the pages of the current chain (which ends at pool.page) and the
  // free list.
  void TearDown() override {
    if (chain) {
      pool.page->link = nullptr;
      FreeIntPages(chain, nullptr);
    }
    FreeIntPages(pool.free, nullptr);
  }
  // Pages of the chain starting at `first` up to the current page.
  std::vector<IntPage*> Pages(IntPage* first) const {
    std::vector<IntPage*> pages = {first};
    while (pages.back() != pool.page) pages.push_back(pages.back()->link);
    return pages;
  }
  PagePool pool;
  IntPage* chain = nullptr;
};

TEST_F(PoolsPage, ExactFillThenANewPage) {
  chain = PoolStartChain(pool);
  int* full = PoolTake(pool, 10);
  EXPECT_EQ(full, chain->slot);
  EXPECT_EQ(pool.page, chain);
  int* next = PoolTake(pool, 1);
  EXPECT_NE(pool.page, chain);
  EXPECT_EQ(chain->link, pool.page);
  EXPECT_EQ(next, pool.page->slot);
}

TEST_F(PoolsPage, RecordThatDoesNotFitStartsTheNextPage) {
  chain = PoolStartChain(pool);
  int* a = PoolTake(pool, 3);
  int* b = PoolTake(pool, 4);
  EXPECT_EQ(b, a + 3);
  int* c = PoolTake(pool, 4);  // 3 ints are left: too few
  EXPECT_EQ(c, pool.page->slot);
  EXPECT_EQ(chain->link, pool.page);
  // Every record is usable as a whole and touches no other one.
  const std::vector<std::pair<int*, int>> records = {{a, 3}, {b, 4}, {c, 4}};
  for (size_t r = 0; r < records.size(); r++) {
    for (int i = 0; i < records[r].second; i++) records[r].first[i] = int(r);
  }
  for (size_t r = 0; r < records.size(); r++) {
    for (int i = 0; i < records[r].second; i++) EXPECT_EQ(records[r].first[i], int(r));
  }
  IntPage* second = pool.page;
  PoolTake(pool, 6);  // fills the second page exactly: no new page
  EXPECT_EQ(pool.page, second);
}

TEST_F(PoolsPage, ReleasedChainsComeBackFirstPageFirstInOrder) {
  IntPage* first = PoolStartChain(pool);
  for (int i = 0; i < 3; i++) PoolTake(pool, 7);  // three pages
  std::vector<IntPage*> pages = Pages(first);
  ASSERT_EQ(pages.size(), 3u);
  PoolReleaseChain(pool, first, pool.page);

  chain = PoolStartChain(pool);
  EXPECT_EQ(chain, pages[0]);
  for (int i = 0; i < 3; i++) {
    int* record = PoolTake(pool, 6);
    EXPECT_EQ(pool.page, pages[i]) << i;
    EXPECT_EQ(record, pages[i]->slot);
  }
  EXPECT_EQ(pool.free, nullptr);
  PoolTake(pool, 6);  // the free list is used up: a new page, linked on
  EXPECT_EQ(pages[2]->link, pool.page);
  for (IntPage* page : pages) EXPECT_NE(pool.page, page);
  EXPECT_EQ(Pages(chain).size(), 4u);
}

TEST_F(PoolsPage, NestedChainsAndAPermanentChain) {
  chain = PoolStartChain(pool);  // outer chain
  PoolTake(pool, 8);
  IntPage* outerlast = pool.page;
  IntPage* inner = PoolStartChain(pool);
  PoolTake(pool, 8);
  PoolTake(pool, 8);
  IntPage* innerlast = pool.page;
  PoolReleaseChain(pool, inner, innerlast);
  PoolReleaseChain(pool, chain, outerlast);
  // Free list: the outer page, then the inner chain's two pages.
  EXPECT_EQ(pool.free, chain);
  EXPECT_EQ(chain->link, inner);
  EXPECT_EQ(inner->link, innerlast);
  chain = PoolStartChain(pool);
  PoolTake(pool, 10);
  PoolEndPermanentChain(pool);
  EXPECT_EQ(pool.page->link, nullptr);
  EXPECT_EQ(pool.free, inner);
}

TEST(PoolsPointerArray, ReleasedArraysComeBackLastInFirstOut) {
  PointerArrayPool pool;
  pool.entries = 3;
  int** a = PointerArrayTake(pool);
  int** b = PointerArrayTake(pool);
  EXPECT_NE(a, b);
  int x = 0;
  for (int i = 0; i < 3; i++) a[i] = b[i] = &x;
  PointerArrayRelease(pool, a);
  PointerArrayRelease(pool, b);
  EXPECT_EQ(PointerArrayTake(pool), b);
  EXPECT_EQ(PointerArrayTake(pool), a);
  EXPECT_EQ(pool.free, nullptr);
  int** c = PointerArrayTake(pool);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  PointerArrayRelease(pool, a);
  PointerArrayRelease(pool, b);
  PointerArrayRelease(pool, c);
  FreePointerArrays(pool);
  EXPECT_EQ(pool.free, nullptr);
}

// ---------------------------------------------------------------------------
// Exhaustion
// ---------------------------------------------------------------------------

void ExitNine(const char* what) {
  fprintf(stderr, "handled: %s\n", what);
  exit(9);
}

// Running out of memory ends the process: through the handler the program
// installed, or by abort when there is none.
// Page blocks are zeroed, usable whole and apart from one another; a block
// given back leaves the others as they were.
TEST(PoolsPageBlocks, BlocksAreZeroedWholeAndApart) {
  constexpr size_t kBytes = 3 * 4096 + 100;
  unsigned char* a = static_cast<unsigned char*>(TakePages(kBytes));
  unsigned char* b = static_cast<unsigned char*>(TakePages(kBytes));
  EXPECT_TRUE(a + kBytes <= b || b + kBytes <= a);
  EXPECT_EQ(std::count(a, a + kBytes, 0), static_cast<long>(kBytes));
  std::fill(a, a + kBytes, 0xa5);
  std::fill(b, b + kBytes, 0x5a);
  GivePages(a, kBytes);
  EXPECT_EQ(std::count(b, b + kBytes, 0x5a), static_cast<long>(kBytes));
  GivePages(b, kBytes);
}

TEST(PoolsExhaustion, InstalledHandlerOrAbort) {
  EXPECT_EXIT(
      {
        SetMemoryExhaustedHandler(ExitNine);
        OutOfMemory("a test resource");
      },
      ::testing::ExitedWithCode(9), "handled: a test resource");
  EXPECT_EXIT(
      {
        SetMemoryExhaustedHandler(nullptr);
        OutOfMemory("a test resource");
      },
      ::testing::KilledBySignal(SIGABRT), "");
}

}  // namespace

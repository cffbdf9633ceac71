// The int arena (a last-in-first-out stack of blocks that never move), the
// page and pointer-array pools and the page blocks.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <utility>
#include <vector>

#include "arena_scope.h"
#include "pools.h"

namespace {

using namespace quasibiclique;

class PoolsArena : public ::testing::Test {
 protected:
  Arena arena;
};

TEST_F(PoolsArena, TakesAreLastInFirstOut) {
  int* a = arena.Take(10);
  int* b = arena.Take(5);
  for (int i = 0; i < 10; i++) a[i] = i;
  for (int i = 0; i < 5; i++) b[i] = -i;
  for (int i = 0; i < 10; i++) EXPECT_EQ(a[i], i);  // the blocks do not overlap
  arena.Release(5);
  EXPECT_EQ(arena.Take(3), b);  // the released block is handed out again
  arena.Release(3);
  arena.Release(10);
  EXPECT_EQ(arena.Position(), 0);
  // A take that ends exactly at the end of the reservation is accepted; one
  // int more is refused with the name of the arena, and the arena is usable
  // once the take is given back.
  const long long capacity = arena.Capacity();
  int* whole = arena.Take(capacity);
  EXPECT_EQ(whole, a);
  whole[capacity - 1] = 7;
  arena.Release(capacity);
  try {
    arena.Take(capacity + 1);
    ADD_FAILURE() << "an arena past its capacity was handed out";
  } catch (const MemoryExhausted& e) {
    EXPECT_STREQ(e.what, "the int arena is exhausted");
  }
  arena.Release(capacity + 1);
  EXPECT_EQ(arena.Take(4), a);
  arena.Release(4);
}

// Two arenas are two reservations: what one hands out never lies in the other.
TEST(PoolsArenas, EachRunHasItsOwn) {
  Arena one, two;
  int* a = one.Take(100);
  int* b = two.Take(100);
  EXPECT_TRUE(a + one.Capacity() <= b || b + two.Capacity() <= a);
  for (int i = 0; i < 100; i++) a[i] = 1, b[i] = 2;
  EXPECT_EQ(std::count(a, a + 100, 1), 100);
  one.Release(100);
  two.Release(100);
}

// A block keeps its place and its content while later blocks are taken,
// written and given back.
TEST_F(PoolsArena, BlocksKeepTheirContentWhileOthersComeAndGo) {
  constexpr int kBlock = 1 << 16;  // 256 KB of ints
  int* first = arena.Take(1000);
  for (int i = 0; i < 1000; i++) first[i] = i * 7 + 1;
  std::vector<int*> blocks;
  for (int step = 0; step < 8; step++) {
    int* block = arena.Take(kBlock);
    for (int i = 0; i < kBlock; i++) block[i] = step;
    blocks.push_back(block);
  }
  arena.Release(kBlock);
  arena.Release(kBlock);
  blocks.resize(6);
  for (size_t s = 0; s < blocks.size(); s++) {
    EXPECT_EQ(blocks[s][0], int(s));
    EXPECT_EQ(blocks[s][kBlock - 1], int(s));
  }
  for (int i = 0; i < 1000; i++) ASSERT_EQ(first[i], i * 7 + 1) << i;
  arena.Release(kBlock * 6LL + 1000);
  EXPECT_EQ(arena.Position(), 0);
}

#ifndef NDEBUG
TEST_F(PoolsArena, ScopeAssertsTheLifoRule) {
  {
    ArenaScope balanced(arena);
    balanced.Take(4);
    ArenaScope inner(arena);
    inner.Take(2);
  }
  EXPECT_EQ(arena.Position(), 0);
  EXPECT_DEATH(
      {
        ArenaScope scope(arena);
        arena.Take(4);  // taken past the scope and never given back
      },
      "Position\\(\\) == entry_ \\+ taken_");
}
#endif

// ---------------------------------------------------------------------------
// Page pools
// ---------------------------------------------------------------------------

class PoolsPage : public ::testing::Test {
 protected:
  void SetUp() override { pool.ints = 10; }
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
  EXPECT_EQ(pool.arrays.size(), 3u);
}

// ---------------------------------------------------------------------------
// Exhaustion
// ---------------------------------------------------------------------------

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

// Running out of memory is thrown with the name of the resource, so that
// the run that meets it can end with a status; the pools of the run free
// every page and array they made, open chains and taken arrays included
// (the sanitizer build's leak check sees any that is lost).
TEST(PoolsExhaustion, ThrownWithTheResourceAndNothingLost) {
  try {
    OutOfMemory("a test resource");
    ADD_FAILURE() << "OutOfMemory returned";
  } catch (const MemoryExhausted& e) {
    EXPECT_STREQ(e.what, "a test resource");
  }
  try {
    PagePool pages;
    pages.ints = 10;
    PointerArrayPool arrays;
    arrays.entries = 4;
    PoolStartChain(pages);
    for (int i = 0; i < 5; i++) PoolTake(pages, 8);
    PointerArrayTake(arrays);
    EXPECT_EQ(pages.pages.size(), 5u);
    OutOfMemory("a page");
  } catch (const MemoryExhausted& e) {
    EXPECT_STREQ(e.what, "a page");
  }
}

// Pages left unused after loading go back at once; the others stay with the pool.
TEST(PoolsPageOwnership, UnusedPagesAreFreedAlone) {
  PagePool pool;
  pool.ints = 10;
  IntPage* scratch = PoolStartChain(pool);
  PoolTake(pool, 10);
  PoolTake(pool, 10);
  IntPage* last = pool.page;
  IntPage* kept = PoolStartChain(pool);
  PoolTake(pool, 5);
  PoolEndPermanentChain(pool);
  PoolReleaseChain(pool, scratch, last);
  FreeUnusedPages(pool);
  EXPECT_EQ(pool.free, nullptr);
  EXPECT_EQ(pool.pages, std::vector<IntPage*>{kept});
}

}  // namespace

// Unit tests of the result store: insertion keeping the maximal tidsets per
// itemset, the shape of the tidset runs and the trie's levels, the progress
// callback, and the memory the store holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "result_store.h"
#include "result_test_util.h"

namespace {

using quasibiclique::ResultStore;
using quasibiclique::TidRun;
using quasibiclique::TrieNode;
using qbtest::Add;
using qbtest::Identity;
using qbtest::Ids;
using qbtest::Line;
using qbtest::Result;
using qbtest::WriteOut;

// Every root-to-leaf path of a tidset tree, in walk order. Also checks the
// run invariants: levels strictly ascending by first tid, runs not empty and
// ascending, depth = path length before the run, maxlen at least the longest
// tidset stored through the run. Returns that longest length.
int CollectTidsets(const TidRun* run, Ids& path, std::vector<Ids>& out) {
  int longest = 0;
  for (; run; run = run->next) {
    if (run->next) {
      EXPECT_LT(run->tids[0], run->next->tids[0]);
    }
    EXPECT_GE(run->len, 1);
    EXPECT_EQ(run->depth, static_cast<int>(path.size()));
    path.insert(path.end(), run->tids, run->tids + run->len);
    EXPECT_TRUE(std::is_sorted(path.begin(), path.end()));
    int below = static_cast<int>(path.size());
    if (run->child) below = CollectTidsets(run->child, path, out);
    else out.push_back(path);
    EXPECT_GE(run->maxlen, below) << "run starting with " << run->tids[0];
    longest = std::max(longest, below);
    path.resize(run->depth);
  }
  return longest;
}

std::vector<Ids> Tidsets(const TidRun* root) {
  std::vector<Ids> out;
  Ids path;
  CollectTidsets(root, path, out);
  return out;
}

Ids RunTids(const TidRun* run) { return Ids(run->tids, run->tids + run->len); }

// The trie node at which items ends, or null.
const TrieNode* FindItemset(const ResultStore& store, const Ids& items) {
  const TrieNode* level = store.root();
  const TrieNode* node = nullptr;
  for (int item : items) {
    while (level && level->item != item) level = level->next;
    if (!level) return nullptr;
    node = level;
    level = level->child;
  }
  return node;
}

// Checks the run invariants of every tidset tree of the trie.
void CheckTrie(const TrieNode* node) {
  for (; node; node = node->next) {
    Tidsets(node->tidroot);
    CheckTrie(node->child);
  }
}

// A store whose node invariants are checked at the end of every test.
class ResultStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { CheckTrie(store.root()); }
  std::vector<Ids> TidsetsOf(const Ids& items) {
    return Tidsets(FindItemset(store, items)->tidroot);
  }

  ResultStore store;
};

using StoreInsert = ResultStoreTest;
using StoreProgress = ResultStoreTest;
using StoreMemory = ResultStoreTest;

TEST_F(StoreInsert, RefusesEqualAndContainedTidsets) {
  Add(store, {1, 2, 3}, {0});
  const int stored = store.stored();
  for (Ids sub : {Ids{1, 2, 3}, Ids{1, 2}, Ids{1, 3}, Ids{2, 3}, Ids{3}, Ids{1}}) {
    Add(store, sub, {0});
    EXPECT_EQ(store.stored(), stored) << "subset of size " << sub.size();
    EXPECT_EQ(TidsetsOf({0}), (std::vector<Ids>{{1, 2, 3}}));
  }
}

TEST_F(StoreInsert, EmptyListsStoreNothing) {
  Add(store, {}, {0});
  Add(store, {1, 2}, {});
  EXPECT_EQ(store.root(), nullptr);
  EXPECT_EQ(store.stored(), 0);
}

TEST_F(StoreInsert, ExtensionAddsAChildRun) {
  Add(store, {1, 3}, {0});
  const TidRun* first = store.root()->tidroot;
  EXPECT_EQ(RunTids(first), (Ids{1, 3}));
  Add(store, {1, 3, 5, 7}, {0});
  EXPECT_EQ(store.root()->tidroot, first);
  EXPECT_EQ(RunTids(first), (Ids{1, 3}));
  ASSERT_NE(first->child, nullptr);
  EXPECT_EQ(RunTids(first->child), (Ids{5, 7}));
  EXPECT_EQ(TidsetsOf({0}), (std::vector<Ids>{{1, 3, 5, 7}}));
  EXPECT_EQ(store.stored(), 2);
}

// A new tidset that leaves a run splits it without copying: the part after
// the branch point keeps the run's array and children.
TEST_F(StoreInsert, BranchInsideARunSplitsIt) {
  for (bool smaller : {false, true}) {
    ResultStore t;
    Add(t, {0, 2, 4, 6, 8}, {0});
    const TidRun* run = t.root()->tidroot;
    const int* array = run->tids;
    Add(t, {0, 2}, {0});       // a prefix: refused, nothing split
    Add(t, {0, 2, 4, 8}, {0});  // contained: refused, nothing split
    EXPECT_EQ(run->len, 5);
    Add(t, smaller ? Ids{0, 2, 3, 9} : Ids{0, 2, 5}, {0});
    EXPECT_EQ(t.root()->tidroot, run);
    EXPECT_EQ(RunTids(run), (Ids{0, 2}));
    const TidRun* tail = smaller ? run->child->next : run->child;
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(tail->tids, array + 2);
    EXPECT_EQ(RunTids(tail), (Ids{4, 6, 8}));
    const std::vector<Ids> expected =
        smaller ? std::vector<Ids>{{0, 2, 3, 9}, {0, 2, 4, 6, 8}}
                : std::vector<Ids>{{0, 2, 4, 6, 8}, {0, 2, 5}};
    EXPECT_EQ(Tidsets(t.root()->tidroot), expected);
    EXPECT_EQ(t.stored(), 2);
  }
}

TEST_F(StoreInsert, SupersetRemovesContainedPathsAndLinksBefore) {
  Add(store, {1, 2, 3, 4}, {0});
  Add(store, {1, 2, 5}, {0});
  const TidRun* prefix = store.root()->tidroot;
  EXPECT_EQ(RunTids(prefix), (Ids{1, 2}));
  Add(store, {0, 1, 2, 3, 4}, {0});
  EXPECT_EQ(RunTids(store.root()->tidroot), (Ids{0, 1, 2, 3, 4}));
  EXPECT_EQ(store.root()->tidroot->next, prefix);
  ASSERT_NE(prefix->child, nullptr);  // 3, 4 are gone below 1, 2; 5 stays
  EXPECT_EQ(RunTids(prefix->child), (Ids{5}));
  EXPECT_EQ(prefix->child->next, nullptr);
  EXPECT_EQ(TidsetsOf({0}), (std::vector<Ids>{{0, 1, 2, 3, 4}, {1, 2, 5}}));
}

TEST_F(StoreInsert, SupersetReplacesEveryStoredTidset) {
  for (std::vector<Ids> stored :
       {std::vector<Ids>{{2, 3}}, std::vector<Ids>{{2}, {3}}, std::vector<Ids>{{2, 4}, {2, 3}}}) {
    ResultStore t;
    for (Ids& tids : stored) Add(t, tids, {4});
    Add(t, {1, 2, 3, 4}, {4});
    const TidRun* top = t.root()->tidroot;
    EXPECT_EQ(top->next, nullptr);
    EXPECT_EQ(Tidsets(top), (std::vector<Ids>{{1, 2, 3, 4}}));
  }
}

TEST_F(StoreInsert, ItemsetsAreNeverComparedWithEachOther) {
  Add(store, {5, 6}, {0, 1, 2});
  Add(store, {1, 2}, {0});
  Add(store, {1, 2}, {1});
  Add(store, {1, 2, 3}, {0, 1});  // prefix of {0, 1, 2}: own tidsets
  Add(store, {1, 2}, {0, 1, 2});
  EXPECT_EQ(TidsetsOf({0}), (std::vector<Ids>{{1, 2}}));
  EXPECT_EQ(TidsetsOf({1}), (std::vector<Ids>{{1, 2}}));
  EXPECT_EQ(TidsetsOf({0, 1}), (std::vector<Ids>{{1, 2, 3}}));
  EXPECT_EQ(TidsetsOf({0, 1, 2}), (std::vector<Ids>{{1, 2}, {5, 6}}));
  EXPECT_EQ(store.stored(), 5);
}

// A tidset out of 0..19: fresh, or derived from an earlier one (a prefix, a
// superset, a subset, or a branch: a prefix continued by other tids), so that
// runs are extended, split and removed.
Ids DrawTidset(std::mt19937& rng, const std::vector<Result>& earlier) {
  constexpr int kRange = 20;
  Ids tids;
  const unsigned kind = earlier.empty() ? 0 : rng() % 5;
  if (kind == 0) {
    const unsigned density = 2 + rng() % 6;  // out of 10
    for (int t = 0; t < kRange; t++)
      if (rng() % 10 < density) tids.push_back(t);
  } else {
    const Ids& base = earlier[rng() % earlier.size()].first;
    const size_t cut = rng() % (base.size() + 1);
    if (kind == 1) tids.assign(base.begin(), base.begin() + cut);
    if (kind == 2 || kind == 4) {
      std::set<int> more(kind == 2 ? base.begin() : base.begin(),
                         kind == 2 ? base.end() : base.begin() + cut);
      const int from = kind == 2 ? 0 : (cut ? base[cut - 1] + 1 : 0);
      for (int t = from; t < kRange; t++)
        if (rng() % 3 == 0) more.insert(t);
      tids.assign(more.begin(), more.end());
    }
    if (kind == 3)
      for (int t : base)
        if (rng() % 4) tids.push_back(t);
  }
  if (tids.empty()) tids.push_back(static_cast<int>(rng() % kRange));
  return tids;
}

TEST_F(StoreInsert, RandomisedAgainstMaximalSetModel) {
  std::mt19937 rng(20240611);
  const std::vector<Ids> itemsets = {{0}, {0, 1}, {0, 1, 2}, {1}, {2, 3}};
  for (int round = 0; round < 400; round++) {
    std::vector<Result> results;
    const int n = 1 + static_cast<int>(rng() % 60);
    for (int i = 0; i < n; i++)
      results.push_back({DrawTidset(rng, results), itemsets[rng() % itemsets.size()]});

    std::string texts[2];
    for (int order = 0; order < 2; order++) {
      if (order == 1) std::shuffle(results.begin(), results.end(), rng);
      std::map<Ids, std::set<Ids>> model;
      int kept = 0;
      for (const Result& r : results) kept += qbtest::ModelAdd(model, r);
      std::multiset<std::string> expected;
      for (const auto& [items, tidsets] : model)
        for (const Ids& tids : tidsets)
          if (tids.size() >= 2) expected.insert(Line(tids, items));

      ResultStore t;
      for (const Result& r : results) Add(t, r.first, r.second);
      ASSERT_EQ(t.stored(), kept) << "round " << round << " order " << order;
      for (const auto& [items, tidsets] : model) {
        const TrieNode* node = FindItemset(t, items);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(Tidsets(node->tidroot), std::vector<Ids>(tidsets.begin(), tidsets.end()))
            << "round " << round << " order " << order;
      }
      texts[order] = WriteOut(t, false, Identity(20), Identity(20));
      std::istringstream lines(texts[order]);
      std::multiset<std::string> got;
      for (std::string line; std::getline(lines, line);) got.insert(line + "\n");
      ASSERT_EQ(got, expected) << "round " << round << " order " << order;
    }
    ASSERT_EQ(texts[0], texts[1]) << "round " << round;
  }
}

// Every level of the itemset trie strictly ascending; returns the nodes.
int CheckLevelsAscending(const TrieNode* node) {
  int nodes = 0;
  for (; node; node = node->next) {
    if (node->next) {
      EXPECT_LT(node->item, node->next->item);
    }
    nodes += 1 + CheckLevelsAscending(node->child);
  }
  return nodes;
}

// Long levels, dense (items 0..199) and sparse (300, 397, ..., 1173), filled
// in itemset order and in random order: every level stays ascending without
// repeats, every itemset keeps its own tidset, and the output is the same.
TEST_F(StoreInsert, LongLevelsInAnyOrder) {
  std::mt19937 rng(20261207);
  auto draw = [&]() { return rng() % 3 ? int(rng() % 200) : int(300 + 97 * (rng() % 10)); };
  std::map<Ids, Ids> results;  // itemset -> its one tidset
  while (results.size() < 3000) {
    std::set<int> items;
    const size_t n = 1 + rng() % 3;
    while (items.size() < n) items.insert(draw());
    results.emplace(Ids(items.begin(), items.end()),
                    Ids{static_cast<int>(rng() % 50), 50 + static_cast<int>(rng() % 50)});
  }
  std::vector<std::pair<Ids, Ids>> order(results.begin(), results.end());
  std::string texts[2];
  int nodes[2];
  for (int pass = 0; pass < 2; pass++) {
    if (pass == 1) std::shuffle(order.begin(), order.end(), rng);
    ResultStore t;
    for (const auto& [items, tids] : order) Add(t, tids, items);
    nodes[pass] = CheckLevelsAscending(t.root());
    for (const auto& [items, tids] : results) {
      const TrieNode* node = FindItemset(t, items);
      ASSERT_NE(node, nullptr);
      ASSERT_EQ(Tidsets(node->tidroot), std::vector<Ids>{tids});
    }
    texts[pass] = WriteOut(t, false, Identity(1200), Identity(1200));
  }
  EXPECT_EQ(nodes[0], nodes[1]);
  EXPECT_EQ(texts[0], texts[1]);
  EXPECT_EQ(std::count(texts[0].begin(), texts[0].end(), '\n'), 3000);
}

// The progress callback receives its context and the count after every
// thousandth stored tidset, which then skips one: 1001, 2001, 3001, ...
TEST_F(StoreProgress, CallbackSeesEveryThousandthCount) {
  std::vector<int> seen;
  auto record = [](void* context, int stored) {
    static_cast<std::vector<int>*>(context)->push_back(stored);
  };
  ResultStore t(record, &seen);
  auto insertRange = [&](int from, int to) {
    seen.clear();
    for (int i = from; i < to; i++) Add(t, {0, 1}, {i});
    return seen;
  };
  EXPECT_EQ(insertRange(0, 999), std::vector<int>{});
  EXPECT_EQ(insertRange(999, 1000), std::vector<int>{1001});
  EXPECT_EQ(t.stored(), 1001);
  EXPECT_EQ(insertRange(1000, 1998), std::vector<int>{});
  EXPECT_EQ(insertRange(1998, 2998), (std::vector<int>{2001, 3001}));
  EXPECT_EQ(insertRange(0, 1000), std::vector<int>{});  // equal to stored: not counted
  EXPECT_EQ(t.stored(), 3001);
  // Extending a stored tidset stores one more.
  seen.clear();
  for (int i = 0; i < 999; i++) Add(t, {0, 1, 2}, {i});
  EXPECT_EQ(seen, std::vector<int>{4001});
}

// Without a callback the counting goes on, silently.
TEST_F(StoreProgress, CountsWithoutCallback) {
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 2500; i++) Add(store, {0, 1}, {i});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(store.stored(), 2502);
}

// An itemset of 20,000 items makes 20,000 levels of one node each: the trie
// costs about a node's size per node, not a slab per level, and the itemset
// is written whole.
TEST_F(StoreMemory, DeepItemsetsCostTheirNodesOnly) {
  constexpr int kItems = 20000;
  Ids items(kItems);
  std::iota(items.begin(), items.end(), 0);
  Add(store, {3, 9}, items);
  Add(store, {4, 9}, Ids(items.begin(), items.begin() + 2));
  EXPECT_LT(store.TrieBytes(), size_t{4} * kItems * sizeof(TrieNode));
  const std::string expected = Line({3, 9}, items) + Line({4, 9}, {0, 1});  // deeper first
  EXPECT_TRUE(WriteOut(store, false, Identity(kItems), Identity(kItems)) == expected);
}

// Disjoint long tidsets cost about 4 bytes per tid; a shared prefix is
// stored once.
TEST_F(StoreMemory, StoredTidsCostAboutFourBytesEach) {
  constexpr int kSets = 2000, kLen = 2000;
  for (int s = 0; s < kSets; s++) {
    Ids tids(kLen);
    std::iota(tids.begin(), tids.end(), s * kLen);
    Add(store, tids, {s % 7, 7 + s});
  }
  const double perTid = double(store.TidsetBytes()) / (double(kSets) * kLen);
  EXPECT_GT(perTid, 3.9);
  EXPECT_LT(perTid, 4.5);
  ResultStore shared;
  Ids prefix(kLen);
  std::iota(prefix.begin(), prefix.end(), 0);
  for (int s = 0; s < kSets; s++) {
    Ids tids = prefix;
    tids.push_back(kLen + s);
    Add(shared, tids, {0});
  }
  EXPECT_EQ(Tidsets(shared.root()->tidroot).size(), size_t{kSets});
  EXPECT_LT(shared.TidsetBytes(), store.TidsetBytes() / 3);  // stored apart: more than store
}

}  // namespace

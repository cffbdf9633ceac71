// Unit tests of the result store: insertion keeping the maximal tidsets per
// itemset, progress output, the output walk and line format, the mirror prune
// of undirected graphs, and write failures.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Tree.h"
#include "test_util.h"
#include "data.h"
#include "pools.h"

namespace {

using Ids = std::vector<int>;
using Result = std::pair<Ids, Ids>;  // (tids, items)

constexpr int kMaxId = 64;

void Add(Tree& t, Ids tids, Ids items) {
  t.AddSet(tids.data(), static_cast<int>(tids.size()), items.data(),
           static_cast<int>(items.size()));
}

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
const nodeStructure* FindItemset(const Tree& t, const Ids& items) {
  const nodeStructure* level = t.root;
  const nodeStructure* node = nullptr;
  for (int item : items) {
    while (level && level->item != item) level = level->next;
    if (!level) return nullptr;
    node = level;
    level = level->child;
  }
  return node;
}

std::string Line(const Ids& tids, const Ids& items) {
  std::string s;
  for (int t : tids) s += std::to_string(t) + " ";
  s += ";";
  for (int i : items) s += std::to_string(i) + " ";
  return s + "\n";
}

Ids Identity(int n = kMaxId) {
  Ids ids(n);
  for (int i = 0; i < n; i++) ids[i] = i;
  return ids;
}

// Runs FinalOutput into a fresh temporary file and returns what it wrote.
std::string WriteOut(Tree& t, Ids itemoldid = Identity(), Ids tidoldid = Identity()) {
  qbtest::TempDir dir;
  const std::string path = dir.File("out.txt");
  t.outfile = fopen(path.c_str(), "w");
  EXPECT_NE(t.outfile, nullptr);
  EXPECT_EQ(t.FinalOutput(itemoldid.data(), tidoldid.data()), 1);
  EXPECT_EQ(t.outfile, nullptr);
  return qbtest::ReadFile(path);
}

void CheckTrie(const nodeStructure* node) {
  for (; node; node = node->next) {
    Tidsets(node->tidroot);
    CheckTrie(node->child);
  }
}

// An initialised Tree whose node invariants are checked before it is freed.
struct Store : Tree {
  explicit Store(int ids = kMaxId) : Tree(1, nullptr) { Initialize(ids + 1, ids + 1); }
  ~Store() {
    CheckTrie(root);
    FreeTree();
  }
};

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ArenaCreate());
    graphtype = 0;
  }
  void TearDown() override {
    graphtype = 0;
    ArenaDestroy();
  }
  std::vector<Ids> TidsetsOf(const Ids& items) {
    return Tidsets(FindItemset(tree, items)->tidroot);
  }

  Store tree;
};

using TreeInsert = TreeTest;
using TreeOutput = TreeTest;
using TreePrune = TreeTest;

TEST_F(TreeInsert, RefusesEqualAndContainedTidsets) {
  Add(tree, {1, 2, 3}, {0});
  const int stored = tree.insertnum;
  for (Ids sub : {Ids{1, 2, 3}, Ids{1, 2}, Ids{1, 3}, Ids{2, 3}, Ids{3}, Ids{1}}) {
    Add(tree, sub, {0});
    EXPECT_EQ(tree.insertnum, stored) << "subset of size " << sub.size();
    EXPECT_EQ(TidsetsOf({0}), (std::vector<Ids>{{1, 2, 3}}));
  }
}

TEST_F(TreeInsert, EmptyListsStoreNothing) {
  Add(tree, {}, {0});
  Add(tree, {1, 2}, {});
  EXPECT_EQ(tree.root, nullptr);
  EXPECT_EQ(tree.insertnum, 0);
}

TEST_F(TreeInsert, ExtensionAddsAChildRun) {
  Add(tree, {1, 3}, {0});
  const TidRun* first = tree.root->tidroot;
  EXPECT_EQ(RunTids(first), (Ids{1, 3}));
  Add(tree, {1, 3, 5, 7}, {0});
  EXPECT_EQ(tree.root->tidroot, first);
  EXPECT_EQ(RunTids(first), (Ids{1, 3}));
  ASSERT_NE(first->child, nullptr);
  EXPECT_EQ(RunTids(first->child), (Ids{5, 7}));
  EXPECT_EQ(TidsetsOf({0}), (std::vector<Ids>{{1, 3, 5, 7}}));
  EXPECT_EQ(tree.insertnum, 2);
}

// A new tidset that leaves a run splits it without copying: the part after
// the branch point keeps the run's array and children.
TEST_F(TreeInsert, BranchInsideARunSplitsIt) {
  for (bool smaller : {false, true}) {
    Store t;
    Add(t, {0, 2, 4, 6, 8}, {0});
    const TidRun* run = t.root->tidroot;
    const int* array = run->tids;
    Add(t, {0, 2}, {0});      // a prefix: refused, nothing split
    Add(t, {0, 2, 4, 8}, {0}); // contained: refused, nothing split
    EXPECT_EQ(run->len, 5);
    Add(t, smaller ? Ids{0, 2, 3, 9} : Ids{0, 2, 5}, {0});
    EXPECT_EQ(t.root->tidroot, run);
    EXPECT_EQ(RunTids(run), (Ids{0, 2}));
    const TidRun* tail = smaller ? run->child->next : run->child;
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(tail->tids, array + 2);
    EXPECT_EQ(RunTids(tail), (Ids{4, 6, 8}));
    const std::vector<Ids> expected =
        smaller ? std::vector<Ids>{{0, 2, 3, 9}, {0, 2, 4, 6, 8}}
                : std::vector<Ids>{{0, 2, 4, 6, 8}, {0, 2, 5}};
    EXPECT_EQ(Tidsets(t.root->tidroot), expected);
    EXPECT_EQ(t.insertnum, 2);
  }
}

TEST_F(TreeInsert, SupersetRemovesContainedPathsAndLinksBefore) {
  Add(tree, {1, 2, 3, 4}, {0});
  Add(tree, {1, 2, 5}, {0});
  const TidRun* prefix = tree.root->tidroot;
  EXPECT_EQ(RunTids(prefix), (Ids{1, 2}));
  Add(tree, {0, 1, 2, 3, 4}, {0});
  EXPECT_EQ(RunTids(tree.root->tidroot), (Ids{0, 1, 2, 3, 4}));
  EXPECT_EQ(tree.root->tidroot->next, prefix);
  ASSERT_NE(prefix->child, nullptr);  // 3, 4 are gone below 1, 2; 5 stays
  EXPECT_EQ(RunTids(prefix->child), (Ids{5}));
  EXPECT_EQ(prefix->child->next, nullptr);
  EXPECT_EQ(TidsetsOf({0}), (std::vector<Ids>{{0, 1, 2, 3, 4}, {1, 2, 5}}));
}

TEST_F(TreeInsert, SupersetReplacesEveryStoredTidset) {
  for (std::vector<Ids> stored :
       {std::vector<Ids>{{2, 3}}, std::vector<Ids>{{2}, {3}}, std::vector<Ids>{{2, 4}, {2, 3}}}) {
    Store t;
    for (Ids& tids : stored) Add(t, tids, {4});
    Add(t, {1, 2, 3, 4}, {4});
    const TidRun* top = t.root->tidroot;
    EXPECT_EQ(top->next, nullptr);
    EXPECT_EQ(Tidsets(top), (std::vector<Ids>{{1, 2, 3, 4}}));
  }
}

TEST_F(TreeInsert, ItemsetsAreNeverComparedWithEachOther) {
  Add(tree, {5, 6}, {0, 1, 2});
  Add(tree, {1, 2}, {0});
  Add(tree, {1, 2}, {1});
  Add(tree, {1, 2, 3}, {0, 1});  // prefix of {0, 1, 2}: own tidsets
  Add(tree, {1, 2}, {0, 1, 2});
  EXPECT_EQ(TidsetsOf({0}), (std::vector<Ids>{{1, 2}}));
  EXPECT_EQ(TidsetsOf({1}), (std::vector<Ids>{{1, 2}}));
  EXPECT_EQ(TidsetsOf({0, 1}), (std::vector<Ids>{{1, 2, 3}}));
  EXPECT_EQ(TidsetsOf({0, 1, 2}), (std::vector<Ids>{{1, 2}, {5, 6}}));
  EXPECT_EQ(tree.insertnum, 5);
}

// Model: per itemset, the inclusion-maximal tidsets among those inserted.
// Returns 1 when the tidset is kept (the tree then counts it as stored).
int ModelAdd(std::map<Ids, std::set<Ids>>& model, const Result& r) {
  std::set<Ids>& kept = model[r.second];
  auto contains = [](const Ids& big, const Ids& small) {
    return std::includes(big.begin(), big.end(), small.begin(), small.end());
  };
  for (const Ids& s : kept)
    if (contains(s, r.first)) return 0;
  for (auto it = kept.begin(); it != kept.end();)
    it = contains(r.first, *it) ? kept.erase(it) : std::next(it);
  kept.insert(r.first);
  return 1;
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

TEST_F(TreeInsert, RandomisedAgainstMaximalSetModel) {
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
      for (const Result& r : results) kept += ModelAdd(model, r);
      std::multiset<std::string> expected;
      for (const auto& [items, tidsets] : model)
        for (const Ids& tids : tidsets)
          if (tids.size() >= 2) expected.insert(Line(tids, items));

      Store t(20);
      for (const Result& r : results) Add(t, r.first, r.second);
      ASSERT_EQ(t.insertnum, kept) << "round " << round << " order " << order;
      for (const auto& [items, tidsets] : model) {
        const nodeStructure* node = FindItemset(t, items);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(Tidsets(node->tidroot), std::vector<Ids>(tidsets.begin(), tidsets.end()))
            << "round " << round << " order " << order;
      }
      texts[order] = WriteOut(t);
      std::istringstream lines(texts[order]);
      std::multiset<std::string> got;
      for (std::string line; std::getline(lines, line);) got.insert(line + "\n");
      ASSERT_EQ(got, expected) << "round " << round << " order " << order;
      ASSERT_EQ(t.resultnum, static_cast<int>(expected.size()));
    }
    ASSERT_EQ(texts[0], texts[1]) << "round " << round;
  }
}

// Every level of the itemset trie strictly ascending; returns the nodes.
int CheckLevelsAscending(const nodeStructure* node) {
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
TEST_F(TreeInsert, LongLevelsInAnyOrder) {
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
    Store t(1200);
    for (const auto& [items, tids] : order) Add(t, tids, items);
    nodes[pass] = CheckLevelsAscending(t.root);
    for (const auto& [items, tids] : results) {
      const nodeStructure* node = FindItemset(t, items);
      ASSERT_NE(node, nullptr);
      ASSERT_EQ(Tidsets(node->tidroot), std::vector<Ids>{tids});
    }
    texts[pass] = WriteOut(t, Identity(1200), Identity(1200));
  }
  EXPECT_EQ(nodes[0], nodes[1]);
  EXPECT_EQ(texts[0], texts[1]);
  EXPECT_EQ(std::count(texts[0].begin(), texts[0].end(), '\n'), 3000);
}

TEST_F(TreeInsert, ProgressIsPrintedEveryThousandStoredTidsets) {
  std::string printed;
  auto insertRange = [&](int from, int to) {
    ::testing::internal::CaptureStdout();
    for (int i = from; i < to; i++) Add(tree, {0, 1}, {i});
    fflush(stdout);
    printed = ::testing::internal::GetCapturedStdout();
  };
  insertRange(0, 999);
  EXPECT_EQ(printed, "");
  insertRange(999, 1000);
  EXPECT_EQ(printed, "1001\t");
  EXPECT_EQ(tree.insertnum, 1001);
  insertRange(1000, 1998);
  EXPECT_EQ(printed, "");
  insertRange(1998, 2998);
  EXPECT_EQ(printed, "2001\t3001\t");
  insertRange(0, 1000);  // equal to stored tidsets: refused, not counted
  EXPECT_EQ(printed, "");
  tree.FreeTree();
  tree.Initialize(kMaxId + 1, kMaxId + 1);  // does not reset the count
  EXPECT_EQ(tree.insertnum, 3001);
}

// The number reaches the file behind standard output as soon as it is
// printed, before anything else flushes standard output.
TEST_F(TreeInsert, ProgressIsFlushedAtOnce) {
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 1000; i++) Add(tree, {0, 1}, {i});
  struct stat info;
  const int statted = fstat(STDOUT_FILENO, &info);
  ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(statted, 0);
  EXPECT_EQ(info.st_size, 5);  // "1001\t"
}

TEST_F(TreeOutput, WalkOrderAndTidsetOrder) {
  Add(tree, {2, 3}, {2});
  Add(tree, {4, 5}, {1, 3});
  Add(tree, {2, 3}, {1});
  Add(tree, {0, 4}, {1});
  Add(tree, {6, 7}, {1, 2, 3});
  Add(tree, {0, 1, 5}, {1});
  Add(tree, {8, 9}, {1, 2});
  EXPECT_EQ(WriteOut(tree), Line({0, 1, 5}, {1}) + Line({0, 4}, {1}) + Line({2, 3}, {1}) +
                        Line({6, 7}, {1, 2, 3}) + Line({8, 9}, {1, 2}) +
                        Line({4, 5}, {1, 3}) + Line({2, 3}, {2}));
  EXPECT_EQ(tree.resultnum, 7);
}

TEST_F(TreeOutput, MapsAndSortsIdsInBothGraphTypes) {
  for (int type : {0, 1}) {
    graphtype = type;
    Store t(5);
    Add(t, {0, 2}, {1, 4});
    Add(t, {1}, {0});  // a single tid: neither written nor counted
    EXPECT_EQ(WriteOut(t, {5, 10, 6, 8, 2}, {7, 9, 3, 11, 12}), "3 7 ;2 10 \n") << "type " << type;
    EXPECT_EQ(t.resultnum, 1);
    Store empty;
    EXPECT_EQ(WriteOut(empty), "");
    EXPECT_EQ(empty.resultnum, 0);
  }
}

TEST_F(TreeOutput, WithoutFileResultsAreStillCounted) {
  Add(tree, {0, 1}, {2});
  Add(tree, {0, 2}, {2});
  Add(tree, {3}, {2});
  Ids ids = Identity();
  EXPECT_EQ(tree.FinalOutput(ids.data(), ids.data()), 1);
  EXPECT_EQ(tree.resultnum, 2);
}

// Failures are found whether the lines fit in one block of the output buffer
// or fill several; every line is still counted.
TEST_F(TreeOutput, FailingWriteIsReported) {
  for (auto [results, ntids] : {std::pair{1, 2}, std::pair{3000, 2}, std::pair{8, 100000}}) {
    const int ids = results + ntids;
    Store t(ids);
    testing::internal::CaptureStdout();  // progress numbers of the inserts
    for (int i = 0; i < results; i++) {
      Ids tids(ntids);
      std::iota(tids.begin(), tids.end(), i);
      Add(t, tids, {i});
    }
    testing::internal::GetCapturedStdout();
    t.outfile = fopen("/dev/full", "w");
    ASSERT_NE(t.outfile, nullptr);
    Ids items = Identity(ids + 1), tids = Identity(ids + 1);
    EXPECT_EQ(t.FinalOutput(items.data(), tids.data()), 0) << results << " results";
    EXPECT_EQ(t.writeerror, ENOSPC);
    EXPECT_EQ(t.outfile, nullptr);
    EXPECT_EQ(t.resultnum, results);
  }
}

// Mapped lists come out ascending whether they are dense in their range of
// old ids, sparse, or hold an id twice (a map that is not one-to-one).
TEST_F(TreeOutput, SortsMappedListsOfEveryShape) {
  Add(tree, {0, 1, 2, 3}, {0, 1, 2});
  Add(tree, {0, 1}, {3, 4});
  Ids itemoldid = Identity(), tidoldid = Identity();
  itemoldid[0] = itemoldid[1] = 7;
  itemoldid[2] = 3;
  itemoldid[3] = 60;
  itemoldid[4] = 2;
  tidoldid[0] = 2000000000;
  tidoldid[1] = 5;
  tidoldid[2] = 70000;
  tidoldid[3] = 6;
  EXPECT_EQ(WriteOut(tree, itemoldid, tidoldid),
            "5 6 70000 2000000000 ;3 7 7 \n5 2000000000 ;2 60 \n");
}

// Lists of every length up to 80 ids, spread over 20,000 ids or clustered in
// a window twice their length, with old ids that keep the new ids' order,
// reverse it, shuffle it, are drawn at random or repeat: each line must hold
// the mapped lists ascending, whichever way the writer orders a list.
TEST_F(TreeOutput, MappedListsOfAnyLengthAndSpreadComeOutAscending) {
  constexpr int kIds = 20000;
  std::mt19937 rng(11);
  for (int shape = 0; shape < 5; shape++) {
    Ids tidoldid(kIds);
    for (int i = 0; i < kIds; i++) {
      switch (shape) {
        case 0: tidoldid[i] = 3 * i; break;
        case 1: tidoldid[i] = kIds - i; break;
        case 2: tidoldid[i] = i; break;
        case 3: tidoldid[i] = static_cast<int>(rng() % 1000000000); break;
        case 4: tidoldid[i] = static_cast<int>(rng() % 40); break;  // repeats
      }
    }
    if (shape == 2) std::shuffle(tidoldid.begin(), tidoldid.end(), rng);
    Store t(kIds);
    std::string expected;
    for (int n = 1; n <= 80; n++) {
      for (int clustered = 0; clustered < 2; clustered++) {
        const int window = clustered ? 2 * n : kIds;
        const int from = static_cast<int>(rng() % (kIds - window + 1));
        Ids pick(window);
        std::iota(pick.begin(), pick.end(), from);
        std::shuffle(pick.begin(), pick.end(), rng);
        Ids tids(pick.begin(), pick.begin() + n);
        std::sort(tids.begin(), tids.end());
        const Ids items = {2 * n + clustered};
        Add(t, tids, items);
        if (n < 2) continue;
        Ids mapped;
        for (int tid : tids) mapped.push_back(tidoldid[tid]);
        std::sort(mapped.begin(), mapped.end());
        expected += Line(mapped, items);
      }
    }
    EXPECT_EQ(WriteOut(t, Identity(kIds), tidoldid), expected) << "shape " << shape;
  }
}

// Runs work on a thread with a 1 MiB stack, where recursion that grows with a
// tidset's length or a level's width overflows.
void OnSmallStack(std::function<void()> work) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 1 << 20), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &work), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

// Tidsets of about 1,000,000 tids (extended, replaced and branched inside
// their run) and a level of 150,000 itemsets under one parent, stored, pruned
// as an undirected graph and written. Old tids are the new ones reversed, so
// each line is mapped and re-sorted.
TEST_F(TreeOutput, LongTidsetsAndWideLevelsNeedNoDeepRecursion) {
  constexpr int kLong = 1000000, kWide = 150000, kIds = 2 * kLong + 2;
  graphtype = 1;
  Ids evens, branch;
  for (int i = 0; i < kLong; i++) evens.push_back(2 * i);
  branch.assign(evens.begin(), evens.begin() + kLong / 2);
  for (int i = kLong / 2; i < kLong; i++) branch.push_back(2 * i + 1);
  Ids tidoldid(kIds);
  for (int i = 0; i < kIds; i++) tidoldid[i] = kIds - 1 - i;
  auto line = [&](Ids tids, const Ids& items) {
    for (int& tid : tids) tid = tidoldid[tid];
    std::sort(tids.begin(), tids.end());
    return Line(tids, items);
  };
  std::string expected = line(evens, {0}) + line(branch, {0});
  for (int i = 0; i < kWide; i++) expected += line({i, i + 1}, {1, 2 + i});

  Store t(kIds);
  std::string text;
  OnSmallStack([&] {
    testing::internal::CaptureStdout();
    Add(t, Ids(evens.begin() + kLong / 4, evens.end() - 1), {0});
    Add(t, Ids(evens.begin(), evens.end() - 1), {0});  // replaces the one before
    Add(t, evens, {0});                                 // extends its run
    Add(t, branch, {0});                                // leaves it half way
    for (int i = 0; i < kWide; i++) Add(t, {i, i + 1}, {1, 2 + i});
    testing::internal::GetCapturedStdout();
    text = WriteOut(t, Identity(kIds), tidoldid);
  });
  EXPECT_EQ(t.resultnum, 2 + kWide);
  EXPECT_TRUE(text == expected) << "output differs; sizes " << text.size() << " and "
                                << expected.size();
}

// An itemset of 20,000 items makes 20,000 levels of one node each: the trie
// costs about a node's size per node, not a slab per level, and the itemset
// is written whole.
TEST_F(TreeInsert, DeepItemsetsCostTheirNodesOnly) {
  constexpr int kItems = 20000;
  Ids items(kItems);
  std::iota(items.begin(), items.end(), 0);
  Store t(kItems);
  Add(t, {3, 9}, items);
  Add(t, {4, 9}, Ids(items.begin(), items.begin() + 2));
  EXPECT_LT(t.TrieBytes(), size_t{4} * kItems * sizeof(nodeStructure));
  const std::string expected = Line({3, 9}, items) + Line({4, 9}, {0, 1});  // deeper first
  EXPECT_TRUE(WriteOut(t, Identity(kItems), Identity(kItems)) == expected);
}

// Disjoint long tidsets cost about 4 bytes per tid; a shared prefix is
// stored once.
TEST_F(TreeInsert, StoredTidsCostAboutFourBytesEach) {
  constexpr int kSets = 2000, kLen = 2000;
  Store t(kSets * kLen);
  testing::internal::CaptureStdout();
  for (int s = 0; s < kSets; s++) {
    Ids tids(kLen);
    std::iota(tids.begin(), tids.end(), s * kLen);
    Add(t, tids, {s % 7, 7 + s});
  }
  const double perTid = double(t.TidsetBytes()) / (double(kSets) * kLen);
  EXPECT_GT(perTid, 3.9);
  EXPECT_LT(perTid, 4.5);
  Store shared(kLen + kSets);
  Ids prefix(kLen);
  std::iota(prefix.begin(), prefix.end(), 0);
  for (int s = 0; s < kSets; s++) {
    Ids tids = prefix;
    tids.push_back(kLen + s);
    Add(shared, tids, {0});
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Tidsets(shared.root->tidroot).size(), size_t{kSets});
  EXPECT_LT(shared.TidsetBytes(), t.TidsetBytes() / 3);  // stored apart: more than t
}

struct PruneCase {
  const char* name;
  std::vector<Result> stored;
  std::vector<Result> written;  // in walk order
};

TEST_F(TreePrune, MirroredResults) {
  const std::vector<PruneCase> cases = {
      {"exact mirrors: the later one stays",
       {{{2, 3}, {0, 1}}, {{0, 1}, {2, 3}}}, {{{0, 1}, {2, 3}}}},
      {"a tidset that only begins with the mirror",
       {{{2, 3}, {0, 1}}, {{0, 1, 4}, {2, 3}}}, {{{2, 3}, {0, 1}}, {{0, 1, 4}, {2, 3}}}},
      {"mirror itemset only a prefix of a longer one",
       {{{2, 3}, {0, 1}}, {{0, 1}, {2, 3, 4}}}, {{{2, 3}, {0, 1}}, {{0, 1}, {2, 3, 4}}}},
      {"a single-vertex side is never a mirror",
       {{{0, 1}, {2}}, {{2}, {0, 1}}}, {{{0, 1}, {2}}}},
      {"adjacent leaves both mirrored",
       {{{2, 3, 4}, {0, 1}}, {{2, 3, 5}, {0, 1}}, {{0, 1}, {2, 3, 4}}, {{0, 1}, {2, 3, 5}}},
       {{{0, 1}, {2, 3, 4}}, {{0, 1}, {2, 3, 5}}}},
      {"a removed mirror leaves its itemset without tidsets",
       {{{1, 2}, {5}}, {{5, 6}, {1, 2}}, {{1, 2}, {5, 6}}}, {{{1, 2}, {5}}, {{1, 2}, {5, 6}}}},
      {"below the top level the deeper itemset is examined first",
       {{{0, 1, 2}, {0, 1}}, {{0, 1}, {0, 1, 2}}}, {{{0, 1, 2}, {0, 1}}}},
      {"a result equal to its own mirror",
       {{{0, 1}, {0, 1}}, {{2, 3}, {0, 1}}}, {{{2, 3}, {0, 1}}}},
  };
  for (const PruneCase& c : cases) {
    graphtype = 1;
    Store t;
    for (const Result& r : c.stored) Add(t, r.first, r.second);
    std::string expected;
    for (const Result& r : c.written) expected += Line(r.first, r.second);
    EXPECT_EQ(WriteOut(t), expected) << c.name;
    EXPECT_EQ(t.resultnum, static_cast<int>(c.written.size())) << c.name;
  }
}

// Itemsets in the order of the output walk: by first item; the one-item
// itemset first; below it, the trie in post-order (deeper itemsets before
// their prefix, siblings ascending).
bool WalkOrder(const Ids& a, const Ids& b) {
  if (a[0] != b[0]) return a[0] < b[0];
  if (a.size() == 1 || b.size() == 1) return a.size() < b.size();
  const size_t common = std::min(a.size(), b.size());
  if (std::equal(a.begin(), a.begin() + common, b.begin())) return a.size() > b.size();
  return a < b;
}

// Many parents whose child lists range from one node to hundreds, on every
// level, inserted in random order: the output is every itemset once, in walk
// order, whatever the order in which the layout finished the lists.
TEST_F(TreeOutput, WideAndUnevenTriesComeOutInWalkOrder) {
  std::mt19937 rng(7);
  for (int round = 0; round < 4; round++) {
    std::set<Ids> itemsets;
    for (int k = 0; k < 3000; k++) {
      Ids items;
      const int first = static_cast<int>(rng() % 40);
      const int length = 1 + static_cast<int>(rng() % 4);
      // Small first items get long lists below them, large ones short lists.
      const int spread = first < 4 ? 300 : 3 + first % 5;
      for (int i = 0, item = first; i < length; i++) {
        items.push_back(item);
        item += 1 + static_cast<int>(rng() % spread);
      }
      itemsets.insert(items);
    }
    std::vector<Ids> order(itemsets.begin(), itemsets.end());
    std::shuffle(order.begin(), order.end(), rng);
    Store t(1500);
    testing::internal::CaptureStdout();
    for (const Ids& items : order) Add(t, {0, 1 + items.back()}, items);
    testing::internal::GetCapturedStdout();
    std::sort(order.begin(), order.end(), WalkOrder);
    std::string expected;
    for (const Ids& items : order) expected += Line({0, 1 + items.back()}, items);
    ASSERT_TRUE(WriteOut(t, Identity(1500), Identity(1500)) == expected) << "round " << round;
  }
}

// Seeded results over 8 vertices, stored and written as an undirected graph
// (and as a bipartite one) against a model: the maximal tidsets per itemset,
// walked in output order, each tidset dropped when the store still holds its
// mirror exactly. The whole text is compared, so the walk order is too.
TEST_F(TreePrune, RandomisedAgainstModel) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 300; round++) {
    const int type = round % 2;
    graphtype = type;
    std::vector<Result> results;
    const int n = 1 + static_cast<int>(rng() % 40);
    auto draw = [&rng]() {
      Ids ids;
      for (int v = 0; v < 8; v++)
        if (rng() % 3 == 0) ids.push_back(v);
      if (ids.empty()) ids.push_back(static_cast<int>(rng() % 8));
      return ids;
    };
    for (int i = 0; i < n; i++) {
      results.push_back({draw(), draw()});
      if (rng() % 3 == 0) results.push_back({results.back().second, results.back().first});
    }
    std::map<Ids, std::set<Ids>> model;
    for (const Result& r : results) ModelAdd(model, r);
    std::vector<Ids> order;
    for (const auto& entry : model) order.push_back(entry.first);
    std::sort(order.begin(), order.end(), WalkOrder);
    if (type == 1) {
      for (const Ids& items : order) {
        std::set<Ids>& kept = model[items];
        for (auto it = kept.begin(); it != kept.end();) {
          auto mirror = model.find(*it);
          const bool drop = it->size() >= 2 && items.size() >= 2 && mirror != model.end() &&
                            mirror->second.count(items);
          it = drop ? kept.erase(it) : std::next(it);
        }
      }
    }
    std::string expected;
    for (const Ids& items : order)
      for (const Ids& tids : model[items])
        if (tids.size() >= 2) expected += Line(tids, items);

    Store t(8);
    for (const Result& r : results) Add(t, r.first, r.second);
    ASSERT_EQ(WriteOut(t), expected) << "round " << round;
  }
}

TEST_F(TreePrune, GraphTypeZeroKeepsMirrors) {
  Add(tree, {2, 3}, {0, 1});
  Add(tree, {0, 1}, {2, 3});
  EXPECT_EQ(WriteOut(tree), Line({2, 3}, {0, 1}) + Line({0, 1}, {2, 3}));
  EXPECT_EQ(tree.resultnum, 2);
}

}  // namespace

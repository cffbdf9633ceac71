// The exact search: on random datasets too large for a brute-force check it
// writes the same output file and count line as the tolerance walk; its
// option; and the enumeration on its own (every pair handed over once,
// each a maximal quasi-biclique).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <tbb/global_control.h>

#include "data.h"
#include "exact.h"
#include "model.h"
#include "pools.h"
#include "test_util.h"

namespace {

using namespace quasibiclique;

using qbtest::Arguments;
using qbtest::DatasetText;
using qbtest::Rows;
using qbtest::RunProgram;
using qbtest::RunResult;
using qbtest::TempDir;

Parameters Setting(int isl, int it, int tt, int tsl, int graphtype) {
  return Parameters{isl, it, tt, tsl, GraphType(graphtype), kSearchAuto};
}

// Parameters in the exact regime, with the two tolerances and the two
// support levels drawn independently (and equal a third of the time).
Parameters RandomSetting(std::mt19937& rng, int graphtype) {
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Parameters p = Setting(uniform(1, 5), 0, 0, uniform(0, 5), graphtype);
  p.transactionTolerance = uniform(0, std::min(2, p.item_supportLevel - 1));
  p.itemTolerance = uniform(0, std::min(2, std::max(2, p.transaction_supportLevel) - 1));
  if (uniform(0, 2) == 0) {
    p.transaction_supportLevel = p.item_supportLevel = std::max(2, p.item_supportLevel);
    p.itemTolerance = p.transactionTolerance = std::min(p.itemTolerance, p.transactionTolerance);
  }
  return p;
}

// The largest random databases drawn: transactions and items of a bipartite
// one, vertices of an undirected one.
struct Limits {
  int transactions, items, vertices;
};
// The tolerance walk mines these within milliseconds.
constexpr Limits kForTheWalk{20, 14, 18};
// The model enumerates every subset of the items, and every valid tidset of
// each: these keep it within milliseconds.
constexpr Limits kForTheModel{10, 10, 11};

Rows RandomRows(std::mt19937& rng, int graphtype, const Limits& most) {
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::bernoulli_distribution has(std::uniform_real_distribution<double>(0.15, 0.85)(rng));
  if (graphtype == 0) {
    Rows rows(uniform(2, most.transactions));
    const int items = uniform(2, most.items);
    for (auto& row : rows) {
      for (int i = 0; i < items; i++) {
        if (has(rng)) row.push_back(i);
      }
    }
    return rows;
  }
  Rows adj(uniform(3, most.vertices));
  const int n = static_cast<int>(adj.size());
  for (int u = 0; u < n; u++) {
    for (int v = u + 1; v < n; v++) {
      if (!has(rng)) continue;
      adj[u].push_back(v);
      adj[v].push_back(u);
    }
  }
  for (auto& row : adj) std::sort(row.begin(), row.end());
  return adj;
}

std::string CountLine(const std::string& out) {
  size_t at = out.find("Total number of quasi-bicliques:");
  return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

// Mines `data` with both searches; fails with the case when they differ.
void ExpectSameOutput(const TempDir& dir, const std::string& data, const Parameters& p,
                      int* nonempty) {
  const std::string out = dir.File("out.txt");
  std::vector<std::string> args = Arguments(dir.Write("data.txt", data), p, out);
  args.insert(args.begin(), "--search=tolerance");
  RunResult walk = RunProgram(QB_BINARY, args, dir, out);
  args[0] = "--search=exact";
  RunResult exact = RunProgram(QB_BINARY, args, dir, out);
  std::string described = "arguments " + args[2] + " " + args[3] + " " + args[4] + " " +
                          args[5] + " " + args[6] + ", dataset:\n" + data;
  ASSERT_EQ(walk.status, 0) << described;
  ASSERT_EQ(exact.status, 0) << described;
  EXPECT_EQ(exact.output, walk.output) << described;
  EXPECT_EQ(CountLine(exact.out), CountLine(walk.out)) << described;
  if (!walk.output.empty()) ++*nonempty;
}

void RunSeries(unsigned seed, int graphtype, int cases) {
  TempDir dir;
  std::mt19937 rng(seed);
  int nonempty = 0;
  for (int k = 0; k < cases && !::testing::Test::HasFailure(); k++) {
    Parameters p = RandomSetting(rng, graphtype);
    ExpectSameOutput(dir, DatasetText(RandomRows(rng, graphtype, kForTheWalk)), p, &nonempty);
  }
  // Draws that nearly never have results would compare empty files only.
  EXPECT_GE(nonempty * 10, cases * 3) << nonempty << " of " << cases << " cases had results";
}

TEST(ExactSearchTest, SameOutputAsToleranceWalkBipartite) { RunSeries(7001u, 0, 150); }

TEST(ExactSearchTest, SameOutputAsToleranceWalkUndirected) { RunSeries(7002u, 1, 150); }

TEST(ExactSearchTest, OptionChoosesOrRefuses) {
  TempDir dir;
  const std::string data = dir.Write("d.txt", "0 1 2\n0 1 2\n0 1\n1 2\n");
  const std::string out = dir.File("o.txt");
  std::vector<std::string> args = Arguments(data, Setting(2, 0, 0, 2, 0), out);
  RunResult automatic = RunProgram(QB_BINARY, args, dir, out);
  args.insert(args.begin(), "--search=exact");
  RunResult exact = RunProgram(QB_BINARY, args, dir, out);
  args[0] = "--search=auto";
  RunResult named = RunProgram(QB_BINARY, args, dir, out);
  EXPECT_EQ(automatic.status, 0);
  // The maximal bicliques with >= 2 items and >= 2 transactions, in the
  // result tree's order.
  EXPECT_EQ(automatic.output, "0 1 ;0 1 2 \n0 1 3 ;1 2 \n0 1 2 ;0 1 \n");
  EXPECT_EQ(exact.output, automatic.output);
  EXPECT_EQ(named.output, automatic.output);

  args[0] = "--search=fast";
  RunResult bogus = RunProgram(QB_BINARY, args, dir);
  EXPECT_EQ(bogus.status, 1);
  EXPECT_EQ(bogus.err.substr(0, bogus.err.find('\n')),
            "quasibiclique: error: --search 'fast' must be auto, exact or tolerance");

  // Outside the regime only the tolerance walk defines the output.
  args = Arguments(data, Setting(2, 0, 2, 2, 0), out);
  args.insert(args.begin(), "--search=exact");
  RunResult refused = RunProgram(QB_BINARY, args, dir);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("--search=exact needs transactionTolerance < item_supportLevel"),
            std::string::npos);
}

// The enumeration alone, on a database given as rows of new item ids.
using Pair = std::pair<std::vector<int>, std::vector<int>>;

class CollectingSink : public quasibiclique::PairSink {
 public:
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    pairs.emplace_back(std::vector<int>(tids, tids + ntids),
                       std::vector<int>(items, items + nitems));
  }
  std::vector<Pair> pairs;
};

// Both orientations of the rows as counted lists [n | ids ascending], the way
// the loader holds them.
struct CountedLists {
  CountedLists(const Rows& rows, int itemnum) : tran(rows), item(itemnum) {
    for (int t = 0; t < static_cast<int>(rows.size()); t++) {
      for (int i : rows[t]) item[i].push_back(t);
    }
    for (Rows* side : {&tran, &item}) {
      for (auto& list : *side) list.insert(list.begin(), static_cast<int>(list.size()));
    }
    for (auto& list : tran) tranlist.push_back(list.data());
    for (auto& list : item) itemlist.push_back(list.data());
  }
  Rows tran, item;
  std::vector<int*> tranlist, itemlist;
};

// CollectingSink for a search on several threads, which calls Add from
// several threads at once.
class LockedCollectingSink : public CollectingSink {
 public:
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    std::lock_guard<std::mutex> hold(lock_);
    CollectingSink::Add(tids, ntids, items, nitems);
  }

 private:
  std::mutex lock_;
};

// Items of a database given as rows: one past the largest item (bipartite),
// or the vertices (undirected).
int ItemCount(const Rows& rows, int graphtype) {
  if (graphtype == 1) return static_cast<int>(rows.size());
  int itemnum = 0;
  for (const auto& row : rows) itemnum = std::max(itemnum, row.empty() ? 0 : row.back() + 1);
  return itemnum;
}

std::vector<Pair> Enumerate(const Rows& rows, int itemnum, const Parameters& p, int threads = 1) {
  CountedLists lists(rows, itemnum);
  const quasibiclique::ExactInput input{
      static_cast<int>(rows.size()), itemnum, lists.tranlist.data(), lists.itemlist.data(),
      p.item_supportLevel, p.itemTolerance, p.transactionTolerance, p.transaction_supportLevel,
      p.graphtype == 1};
  LockedCollectingSink sink;
  const CountedLists before = lists;
  long long n = quasibiclique::EnumerateMaximalPairs(input, sink, threads);
  EXPECT_EQ(n, static_cast<long long>(sink.pairs.size()));
  // The search reads the loader's lists in place and must leave them as they were.
  EXPECT_EQ(lists.tran, before.tran);
  EXPECT_EQ(lists.item, before.item);
  return sink.pairs;
}

TEST(ExactSearchTest, EnumeratesEachMaximalPairOnce) {
  // A 4 x 4 block missing its diagonal, plus a transaction with item 0 only.
  Rows rows = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}, {0}};
  std::vector<Pair> got = Enumerate(rows, 4, Setting(3, 1, 1, 3, 0));
  // Each of the four transactions lacks one item of the block and each item
  // misses one transaction: the block is the only maximal pair. Item 0 cannot
  // take transaction 4 as well (it already misses transaction 0).
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(got[0].second, (std::vector<int>{0, 1, 2, 3}));
  // Without tolerance: the maximal bicliques with >= 2 items and >= 2 tids.
  got = Enumerate(rows, 4, Setting(2, 0, 0, 2, 0));
  std::set<Pair> unique(got.begin(), got.end());
  EXPECT_EQ(unique.size(), got.size());
  EXPECT_EQ(got.size(), 6u);  // one per pair of items: the other two rows hold both
}

// Random small databases handed to the search as they stand (the loader's
// pruning leaves out what cannot take part in a result; the search must not
// depend on that): it hands over the model's maximal quasi-bicliques, each
// once and with ascending ids. For graph type 1 the model counts a pair and
// its mirror as one result.
TEST(ExactSearchTest, HandsOverTheModelsMaximalPairs) {
  std::mt19937 rng(7003u);
  const int cases = 400;
  int nonempty = 0;
  for (int k = 0; k < cases && !::testing::Test::HasFailure(); k++) {
    const int graphtype = k % 2;
    const Parameters p = RandomSetting(rng, graphtype);
    const Rows rows = RandomRows(rng, graphtype, kForTheModel);
    const int itemnum = ItemCount(rows, graphtype);
    const std::vector<Pair> got = Enumerate(rows, itemnum, p);
    const std::string described = "arguments " + std::to_string(p.item_supportLevel) + " " +
                                  std::to_string(p.itemTolerance) + " " +
                                  std::to_string(p.transactionTolerance) + " " +
                                  std::to_string(p.transaction_supportLevel) + " " +
                                  std::to_string(graphtype) + ", dataset:\n" + DatasetText(rows);
    std::set<std::string> handed, expected;
    for (const Pair& pair : got) {
      for (const std::vector<int>* ids : {&pair.first, &pair.second}) {
        EXPECT_EQ(std::adjacent_find(ids->begin(), ids->end(), std::greater_equal<int>()),
                  ids->end())
            << described;
      }
      handed.insert(qbtest::Describe(qbtest::Canonical({pair.first, pair.second}, graphtype)));
    }
    EXPECT_EQ(std::set<Pair>(got.begin(), got.end()).size(), got.size()) << described;
    for (const qbtest::Result& r : qbtest::EnumerateMaximal(rows, p)) {
      expected.insert(qbtest::Describe(r));
    }
    EXPECT_EQ(handed, expected) << described;
    if (!got.empty()) nonempty++;
  }
  EXPECT_GE(nonempty * 10, cases * 3) << nonempty << " of " << cases << " cases had results";
}

TEST(ExactSearchTest, UndirectedKeepsSidesDisjoint) {
  // A 4-cycle 0-1-2-3: both orientations of {0, 2} x {1, 3} are handed over.
  Rows rows = {{1, 3}, {0, 2}, {1, 3}, {0, 2}};
  std::vector<Pair> got = Enumerate(rows, 4, Setting(2, 0, 0, 2, 1));
  std::set<Pair> expected = {{{0, 2}, {1, 3}}, {{1, 3}, {0, 2}}};
  std::set<Pair> unique(got.begin(), got.end());
  EXPECT_EQ(unique, expected);
  EXPECT_EQ(got.size(), 2u);
}

// Settings in the exact regime where neither side can be split into parts
// (least size - 2 x tolerance < 1 on both): the search runs on the whole
// graph, its nodes spread over the workers.
Parameters RandomUnsplitSetting(std::mt19937& rng, int graphtype) {
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Parameters p = Setting(0, uniform(1, 2), uniform(1, 2), 0, graphtype);
  p.item_supportLevel = uniform(p.transactionTolerance + 1, 2 * p.transactionTolerance);
  p.transaction_supportLevel = uniform(0, 2 * p.itemTolerance);
  if (std::max(2, p.transaction_supportLevel) <= p.itemTolerance) {
    p.transaction_supportLevel = p.itemTolerance + 1;
  }
  return p;
}

// A sink that runs out of memory at its `limit`-th pair, as the result store
// does when the heap is exhausted.
class ExhaustingSink : public quasibiclique::PairSink {
 public:
  explicit ExhaustingSink(int limit) : left_(limit) {}
  void Add(const int*, int, const int*, int) override {
    if (left_.fetch_sub(1) <= 1) quasibiclique::OutOfMemory("the test's sink is full");
  }

 private:
  std::atomic<int> left_;
};

// Running out of memory in any worker ends the search with that failure,
// after every task is done (the tasks read the caller's frame), whether the
// search is split into parts or covers the whole graph.
TEST(ExactSearchTest, ThreadsEndOnOneWorkersFailure) {
  // 14 transactions over 12 items, each lacking a few: thousands of pairs.
  Rows rows(14);
  for (int t = 0; t < 14; t++) {
    for (int i = 0; i < 12; i++) {
      if ((t * 7 + i * 3) % 5 != 0) rows[t].push_back(i);
    }
  }
  for (const Parameters& p : {Setting(3, 1, 1, 3, 0), Setting(2, 1, 1, 2, 0)}) {
    const std::vector<Pair> all = Enumerate(rows, 12, p, 1);
    ASSERT_GE(all.size(), 50u);
    CountedLists lists(rows, 12);
    const quasibiclique::ExactInput input{14, 12, lists.tranlist.data(), lists.itemlist.data(),
                                          p.item_supportLevel, p.itemTolerance,
                                          p.transactionTolerance, p.transaction_supportLevel,
                                          false};
    for (int threads : {2, 3}) {
      const tbb::global_control workers(tbb::global_control::max_allowed_parallelism, threads);
      ExhaustingSink sink(static_cast<int>(all.size()) / 2);
      EXPECT_THROW(quasibiclique::EnumerateMaximalPairs(input, sink, threads),
                   quasibiclique::MemoryExhausted);
    }
  }
}

// Every pair the search hands over is a maximal pair by IsMaximalPair, and
// no pair it hands over stays one without one of its vertices (that vertex
// could join again), on random inputs of both graph types.
TEST(ExactSearchTest, IsMaximalPairAgreesWithTheSearch) {
  std::mt19937 rng(7005u);
  int checked = 0;
  for (int k = 0; k < 80; k++) {
    const int graphtype = k % 2;
    const Parameters p = RandomSetting(rng, graphtype);
    const Rows rows = RandomRows(rng, graphtype, kForTheWalk);
    const int itemnum = ItemCount(rows, graphtype);
    CountedLists lists(rows, itemnum);
    const quasibiclique::ExactInput input{
        static_cast<int>(rows.size()), itemnum, lists.tranlist.data(), lists.itemlist.data(),
        p.item_supportLevel, p.itemTolerance, p.transactionTolerance, p.transaction_supportLevel,
        graphtype == 1};
    for (const Pair& pair : Enumerate(rows, itemnum, p)) {
      const auto& [tids, items] = pair;
      ASSERT_TRUE(quasibiclique::IsMaximalPair(input, tids.data(), static_cast<int>(tids.size()),
                                               items.data(), static_cast<int>(items.size())));
      for (size_t drop = 0; drop < tids.size(); drop++) {
        std::vector<int> fewer = tids;
        fewer.erase(fewer.begin() + static_cast<long>(drop));
        EXPECT_FALSE(quasibiclique::IsMaximalPair(input, fewer.data(),
                                                  static_cast<int>(fewer.size()), items.data(),
                                                  static_cast<int>(items.size())));
      }
      for (size_t drop = 0; drop < items.size(); drop++) {
        std::vector<int> fewer = items;
        fewer.erase(fewer.begin() + static_cast<long>(drop));
        EXPECT_FALSE(quasibiclique::IsMaximalPair(input, tids.data(),
                                                  static_cast<int>(tids.size()), fewer.data(),
                                                  static_cast<int>(fewer.size())));
      }
      checked++;
    }
  }
  EXPECT_GE(checked, 100);
}

// Datasets with tens of thousands of results, mined with a memory limit
// far below what their results take, spill many runs and merge them: the
// output file, the count line and the progress numbers are those of the
// run without a limit, on one thread and on two, for both graph types.
TEST(ExactSearchTest, SpilledRunsGiveTheOutputOfARunInMemory) {
  TempDir dir;
  std::mt19937 rng(7006u);
  std::bernoulli_distribution half(0.5), third(0.3);
  Rows bipartite(100), undirected(36);
  for (auto& row : bipartite) {
    for (int i = 0; i < 28; i++) {
      if (half(rng)) row.push_back(i);
    }
  }
  for (int u = 0; u < 36; u++) {
    for (int v = u + 1; v < 36; v++) {
      if (third(rng)) undirected[u].push_back(v), undirected[v].push_back(u);
    }
  }
  for (auto& row : undirected) std::sort(row.begin(), row.end());
  const std::string out = dir.File("out.txt");
  for (const auto& [rows, p] : {std::pair{bipartite, Setting(2, 0, 0, 2, 0)},
                                std::pair{undirected, Setting(2, 1, 1, 2, 1)}}) {
    std::vector<std::string> args = Arguments(dir.Write("data.txt", DatasetText(rows)), p, out);
    RunResult inmemory = RunProgram(QB_BINARY, args, dir, out);
    ASSERT_EQ(inmemory.status, 0);
    ASSERT_GE(std::count(inmemory.output.begin(), inmemory.output.end(), '\n'), 20000);
    for (const char* threads : {"--threads=1", "--threads=2"}) {
      std::vector<std::string> limited = args;
      limited.insert(limited.begin(), {"--memory-limit=1M", threads});
      RunResult spilled = RunProgram(QB_BINARY, limited, dir, out);
      EXPECT_EQ(spilled.status, 0) << threads;
      EXPECT_TRUE(spilled.output == inmemory.output) << threads << ", graph type " << p.graphtype;
      EXPECT_EQ(spilled.out.substr(0, spilled.out.find("Time taken")),
                inmemory.out.substr(0, inmemory.out.find("Time taken")));
    }
    // The runs' files had no name: only the dataset and the output are there.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2);
  }
}

// On several threads the search hands over the pairs of the search on one
// thread, each once, and counts them alike: with the search split into
// parts (random settings, mostly splittable) and without (settings that
// cannot be split).
TEST(ExactSearchTest, ThreadsHandOverThePairsOfOneThread) {
  std::mt19937 rng(7004u);
  const int cases = 160;
  int nonempty = 0, unsplit = 0;
  for (int k = 0; k < cases && !::testing::Test::HasFailure(); k++) {
    const int graphtype = k % 2;
    const bool whole = k % 4 >= 2;
    const Parameters p = whole ? RandomUnsplitSetting(rng, graphtype) : RandomSetting(rng, graphtype);
    ASSERT_TRUE(qbtest::ExactRegime(p));
    const int least_items = p.item_supportLevel;
    const int least_tids = std::max(2, p.transaction_supportLevel);
    const bool splits = least_items - 2 * p.transactionTolerance >= 1 ||
                        least_tids - 2 * p.itemTolerance >= 1;
    ASSERT_TRUE(!whole || !splits);
    if (!splits) unsplit++;
    const Rows rows = RandomRows(rng, graphtype, kForTheWalk);
    const int itemnum = ItemCount(rows, graphtype);
    const std::string described = "arguments " + std::to_string(p.item_supportLevel) + " " +
                                  std::to_string(p.itemTolerance) + " " +
                                  std::to_string(p.transactionTolerance) + " " +
                                  std::to_string(p.transaction_supportLevel) + " " +
                                  std::to_string(graphtype) + ", dataset:\n" + DatasetText(rows);
    const std::vector<Pair> serial = Enumerate(rows, itemnum, p, 1);
    const std::set<Pair> want(serial.begin(), serial.end());
    for (int threads : {2, 3, 8}) {
      // As many workers as asked for, even beyond the cores, as a run has.
      const tbb::global_control workers(tbb::global_control::max_allowed_parallelism, threads);
      // Enumerate checks the returned count against the pairs handed over.
      const std::vector<Pair> got = Enumerate(rows, itemnum, p, threads);
      EXPECT_EQ(got.size(), serial.size()) << threads << " threads, " << described;
      EXPECT_EQ(std::set<Pair>(got.begin(), got.end()), want) << threads << " threads, "
                                                               << described;
    }
    if (!serial.empty()) nonempty++;
  }
  EXPECT_GE(nonempty * 10, cases * 3) << nonempty << " of " << cases << " cases had results";
  EXPECT_GE(unsplit * 4, cases) << "only " << unsplit << " cases ran on the whole graph";
}


// MeasureSpread of rows under p with tasks nested at most taskdepth deep;
// the pairs it hands over go to pairs, sorted. Its input carries a stopped
// monitor, which it must not heed.
quasibiclique::SearchSpread Spread(const Rows& rows, int itemnum, const Parameters& p,
                                   int taskdepth, std::vector<Pair>* pairs) {
  CountedLists lists(rows, itemnum);
  quasibiclique::RunMonitor stopped;
  stopped.Stop(quasibiclique::RunMonitor::kTimeLimit);
  quasibiclique::ExactInput input{
      static_cast<int>(rows.size()), itemnum, lists.tranlist.data(), lists.itemlist.data(),
      p.item_supportLevel, p.itemTolerance, p.transactionTolerance, p.transaction_supportLevel,
      p.graphtype == 1};
  input.monitor = &stopped;
  CollectingSink sink;
  const quasibiclique::SearchSpread spread = quasibiclique::MeasureSpread(input, sink, taskdepth);
  *pairs = std::move(sink.pairs);
  std::sort(pairs->begin(), pairs->end());
  return spread;
}

// The measured search hands over the pairs of the search on one thread,
// each as often, at every nesting depth; its tasks are the parts (or the one
// search of the whole graph) alone at depth 0, more at depth 1 for a split
// search with results, and never fewer as the depth grows; its span is
// positive and within its work once a pair is found.
TEST(ExactSearchTest, MeasureSpreadSearchesAsOneThreadDoes) {
  std::mt19937 rng(7007u);
  const int cases = 120;
  int nonempty = 0;
  for (int k = 0; k < cases && !::testing::Test::HasFailure(); k++) {
    const int graphtype = k % 2;
    const Parameters p = k % 4 >= 2 ? RandomUnsplitSetting(rng, graphtype)
                                    : RandomSetting(rng, graphtype);
    const bool splits = p.item_supportLevel - 2 * p.transactionTolerance >= 1 ||
                        std::max(2, p.transaction_supportLevel) - 2 * p.itemTolerance >= 1;
    const Rows rows = RandomRows(rng, graphtype, kForTheWalk);
    const int itemnum = ItemCount(rows, graphtype);
    const int tidnum = static_cast<int>(rows.size());
    std::vector<Pair> want = Enumerate(rows, itemnum, p);
    std::sort(want.begin(), want.end());
    if (!want.empty()) nonempty++;
    long long fewer = 0;
    for (int taskdepth : {0, 1, 3, 64}) {
      SCOPED_TRACE("case " + std::to_string(k) + ", task depth " + std::to_string(taskdepth));
      std::vector<Pair> got;
      const quasibiclique::SearchSpread spread = Spread(rows, itemnum, p, taskdepth, &got);
      EXPECT_EQ(got, want);
      if (taskdepth == 0) {
        EXPECT_TRUE(splits ? spread.tasks == tidnum || spread.tasks == itemnum
                           : spread.tasks == 1)
            << spread.tasks << " tasks";
      } else if (taskdepth == 1 && splits && !want.empty()) {
        // A found pair lies below the first branch of its part, which is
        // spawned once one task may nest.
        EXPECT_GT(spread.tasks, fewer);
      }
      EXPECT_GE(spread.tasks, fewer);
      fewer = spread.tasks;
      if (want.empty()) continue;
      EXPECT_GT(spread.span, 0.0);
      // Up to the rounding of sums taken in another order.
      EXPECT_LE(spread.span, spread.work * (1 + 1e-9));
    }
  }
  EXPECT_GE(nonempty * 10, cases * 3) << nonempty << " of " << cases << " cases had results";
}

}  // namespace

// Runs of spilled results: the order of itemsets they are merged in must be
// the order in which a result writer walks its store, and a merge of runs
// cut from one ordered sequence must give that sequence back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "result_runs.h"
#include "result_store.h"
#include "result_test_util.h"
#include "result_writer.h"

namespace {

using quasibiclique::CompareItemsets;
using quasibiclique::PairSink;
using quasibiclique::ResultStore;
using quasibiclique::ResultWriter;
using quasibiclique::RunFile;
using quasibiclique::RunMerge;
using qbtest::Ids;
using qbtest::Result;

class Collector final : public PairSink {
 public:
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    results.emplace_back(Ids(tids, tids + ntids), Ids(items, items + nitems));
  }
  std::vector<Result> results;
};

// `size` distinct ids below n, ascending.
Ids RandomSet(std::mt19937& rng, int n, int size) {
  std::set<int> chosen;
  while (static_cast<int>(chosen.size()) < size) {
    chosen.insert(std::uniform_int_distribution<int>(0, n - 1)(rng));
  }
  return Ids(chosen.begin(), chosen.end());
}

// Random results, no tidset of an itemset containing another, in the order
// a writer hands them over.
std::vector<Result> InWriterOrder(std::mt19937& rng, int count) {
  std::set<Result> unique;
  while (static_cast<int>(unique.size()) < count) {
    const Ids items = RandomSet(rng, 12, std::uniform_int_distribution<int>(1, 5)(rng));
    const Ids tids = RandomSet(rng, 30, 3);  // one size for all: none contains another
    unique.insert({tids, items});
  }
  ResultStore store;
  for (const Result& r : unique) qbtest::Add(store, r.first, r.second);
  ResultWriter writer(store, false);
  Collector order;
  writer.HandOver(order);
  EXPECT_EQ(order.results.size(), unique.size());
  return order.results;
}

// Itemsets with prefixes of one another (a single item, its extensions and
// theirs) and without: sorting by CompareItemsets, then tidsets ascending,
// gives the writer's order.
TEST(RunOrder, CompareItemsetsIsTheWritersOrder) {
  std::mt19937 rng(52001u);
  for (int round = 0; round < 20; round++) {
    const std::vector<Result> walked = InWriterOrder(rng, 300);
    std::vector<Result> sorted = walked;
    std::shuffle(sorted.begin(), sorted.end(), rng);
    std::sort(sorted.begin(), sorted.end(), [](const Result& a, const Result& b) {
      const int order = CompareItemsets(a.second.data(), static_cast<int>(a.second.size()),
                                        b.second.data(), static_cast<int>(b.second.size()));
      return order ? order < 0 : a.first < b.first;
    });
    ASSERT_EQ(sorted, walked) << "round " << round;
  }
}

TEST(RunOrder, HandChecked) {
  const Ids x{3}, xy{3, 5}, xyz{3, 5, 8}, xz{3, 8}, w{4};
  const auto compare = [](const Ids& a, const Ids& b) {
    return CompareItemsets(a.data(), static_cast<int>(a.size()), b.data(),
                           static_cast<int>(b.size()));
  };
  EXPECT_LT(compare(x, xy), 0);    // a top-level itemset before those below it
  EXPECT_LT(compare(xyz, xy), 0);  // below the top, deeper before its prefix
  EXPECT_LT(compare(xy, xz), 0);
  EXPECT_LT(compare(xyz, xz), 0);
  EXPECT_LT(compare(xz, w), 0);
  EXPECT_EQ(compare(xy, xy), 0);
  EXPECT_GT(compare(w, x), 0);
}

// An ordered sequence dealt out to runs (each run keeping its share in
// order, some runs empty) comes back whole from the merge, and the files
// leave nothing in their directory.
TEST(RunMergeTest, MergesRunsCutFromOneSequence) {
  std::mt19937 rng(52002u);
  const std::vector<Result> walked = InWriterOrder(rng, 2000);
  for (int nruns : {1, 2, 5, 17}) {
    qbtest::TempDir dir;
    std::vector<std::unique_ptr<RunFile>> runs;
    for (int k = 0; k < nruns; k++) runs.push_back(std::make_unique<RunFile>(dir.path()));
    for (const Result& r : walked) {
      // Run 0 gets nothing when there are several: an empty run merges too.
      const int k = nruns == 1 ? 0 : std::uniform_int_distribution<int>(1, nruns - 1)(rng);
      runs[k]->Add(r.first.data(), static_cast<int>(r.first.size()), r.second.data(),
                   static_cast<int>(r.second.size()));
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    RunMerge merge(std::move(runs));
    std::vector<Result> merged;
    const int *tids, *items;
    int ntids, nitems;
    while (merge.Next(&tids, &ntids, &items, &nitems)) {
      merged.emplace_back(Ids(tids, tids + ntids), Ids(items, items + nitems));
    }
    EXPECT_EQ(merged, walked) << nruns << " runs";
  }
}

}  // namespace

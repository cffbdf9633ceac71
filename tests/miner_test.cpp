// The run of a search: settings that ask for more transactions or items than
// the pruned database keeps end before either search starts, with no
// result, while one fewer asked searches.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "database.h"
#include "miner.h"
#include "pair_sink.h"
#include "run_monitor.h"

namespace {

using namespace quasibiclique;

struct CountingSink : PairSink {
  void Add(const int*, int, const int*, int) override { pairs++; }
  int pairs = 0;
};

std::vector<std::vector<int>> RandomRows(std::mt19937& rng, int lines, int items) {
  std::vector<std::vector<int>> rows(static_cast<size_t>(lines));
  for (auto& row : rows) {
    for (int x = 0; x < items; x++) {
      if (std::uniform_int_distribution<int>(0, 99)(rng) < 60) row.push_back(x);
    }
  }
  return rows;
}

// Mines rows at options on `monitor`; returns the pairs found.
int MineCounted(const std::vector<std::vector<int>>& rows, const Options& options,
                RunMonitor& monitor, int* kepttids, int* keptitems) {
  std::unique_ptr<Database> db;
  EXPECT_TRUE(Database::FromTransactions(rows, options, &db).ok());
  *kepttids = db->transactions();
  *keptitems = db->items();
  CountingSink sink;
  EXPECT_TRUE(MineHere(*db, options, sink, &monitor).ok());
  return sink.pairs;
}

TEST(HopelessSettings, EndBeforeEitherSearchStarts) {
  std::mt19937 rng(17);
  for (int round = 0; round < 40; round++) {
    const auto rows = RandomRows(rng, 12, 9);
    for (SearchChoice search : {kSearchAuto, kSearchTolerance}) {
      SCOPED_TRACE("round " + std::to_string(round) + ", search " + std::to_string(search));
      // Transactions: as many as kept are searched, one more are not.
      Options options{2, 1, 1, 2, kBipartite, search, 1};
      int tids = 0, items = 0;
      RunMonitor probe;
      MineCounted(rows, options, probe, &tids, &items);
      if (tids < 2 || items < 2) continue;
      for (int extra : {0, 1}) {
        Options asked = options;
        asked.transaction_supportLevel = tids + extra;
        asked.itemTolerance = std::max(1, tids + extra - 1);  // keeps every transaction
        RunMonitor monitor;
        int kept = 0, keptitems = 0;
        const int pairs = MineCounted(rows, asked, monitor, &kept, &keptitems);
        if (kept != tids) continue;  // pruning differs at these settings
        EXPECT_EQ(monitor.units() > 0, extra == 0)
            << "transactions " << asked.transaction_supportLevel;
        if (extra == 1) {
          EXPECT_EQ(pairs, 0);
        }
      }
      // Items likewise.
      for (int extra : {0, 1}) {
        Options asked = options;
        asked.item_supportLevel = items + extra;
        asked.transactionTolerance = items + extra - 1;
        RunMonitor monitor;
        int kepttids = 0, kept = 0;
        const int pairs = MineCounted(rows, asked, monitor, &kepttids, &kept);
        if (kept != items || kepttids < 2) continue;
        EXPECT_EQ(monitor.units() > 0, extra == 0) << "items " << asked.item_supportLevel;
        if (extra == 1) {
          EXPECT_EQ(pairs, 0);
        }
      }
    }
  }
}

}  // namespace

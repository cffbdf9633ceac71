// Results stored in shards and written shard by shard: for the same Adds the
// text, the line count, the delivered results and the progress numbers must
// be those of one result store and its writer, for any number of shards and
// writing threads, for both graph types, and when the Adds come from several
// threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <tbb/global_control.h>

#include "pools.h"
#include "result_shards.h"
#include "result_store.h"
#include "result_test_util.h"
#include "result_writer.h"

namespace {

using quasibiclique::PairSink;
using quasibiclique::ResultShards;
using quasibiclique::ResultStore;
using quasibiclique::ResultWriter;
using quasibiclique::ShardWriter;
using quasibiclique::StoredCount;
using qbtest::Ids;
using qbtest::Result;

using Adds = std::vector<Result>;

// Every progress call, in the order made; safe to call from several threads.
struct ProgressLog {
  static void Record(void* context, int stored) {
    auto* log = static_cast<ProgressLog*>(context);
    std::lock_guard<std::mutex> hold(log->lock);
    log->numbers.push_back(stored);
  }
  std::mutex lock;
  std::vector<int> numbers;
};

// Every delivered result, in the order handed over.
class Collector final : public PairSink {
 public:
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    results.emplace_back(Ids(tids, tids + ntids), Ids(items, items + nitems));
  }
  std::vector<Result> results;
};

// Distinct ids in 0 .. 999 for new ids 0 .. n-1, in no particular order, so
// that the writers must map and sort.
Ids ScrambledOldIds(std::mt19937& rng, int n) {
  std::set<int> chosen;
  while (static_cast<int>(chosen.size()) < n) {
    chosen.insert(std::uniform_int_distribution<int>(0, 999)(rng));
  }
  Ids ids(chosen.begin(), chosen.end());
  std::shuffle(ids.begin(), ids.end(), rng);
  return ids;
}

Ids RandomSubset(std::mt19937& rng, int n, int least, int most) {
  Ids all(n);
  for (int k = 0; k < n; k++) all[k] = k;
  std::shuffle(all.begin(), all.end(), rng);
  const int size = std::uniform_int_distribution<int>(least, std::min(most, n))(rng);
  Ids subset(all.begin(), all.begin() + size);
  std::sort(subset.begin(), subset.end());
  return subset;
}

// What one store and its writer make of the Adds.
struct Expected {
  std::string text;
  int lines = 0;
  std::vector<Result> delivered;
  std::vector<int> progress;
  int stored = 0;
};

std::string WriteText(const std::function<int(FILE*)>& write) {
  qbtest::TempDir dir;
  const std::string path = dir.File("out.txt");
  FILE* file = fopen(path.c_str(), "w");
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(write(file), 0);
  EXPECT_EQ(fclose(file), 0);
  return qbtest::ReadFile(path);
}

Expected OneStore(const Adds& adds, bool undirected, const Ids& tidoldid, const Ids& itemoldid) {
  Expected e;
  const int tidnum = static_cast<int>(tidoldid.size()), itemnum = static_cast<int>(itemoldid.size());
  for (bool deliver : {false, true}) {
    ProgressLog log;
    ResultStore store(ProgressLog::Record, &log);
    for (const Result& r : adds) qbtest::Add(store, r.first, r.second);
    e.stored = store.stored();
    e.progress = log.numbers;
    ResultWriter writer(store, undirected);
    if (deliver) {
      Collector sink;
      writer.Deliver(sink, tidoldid.data(), tidnum, itemoldid.data(), itemnum);
      e.delivered = sink.results;
    } else {
      e.text = WriteText([&](FILE* file) {
        return writer.WriteText(file, tidoldid.data(), tidnum, itemoldid.data(), itemnum);
      });
      e.lines = writer.lines();
    }
  }
  return e;
}

// The same Adds through shards, compared with one store; `label` names the case.
void ExpectSameAsOneStore(const Adds& adds, bool undirected, const Ids& tidoldid,
                          const Ids& itemoldid, const std::string& label) {
  const Expected want = OneStore(adds, undirected, tidoldid, itemoldid);
  const int tidnum = static_cast<int>(tidoldid.size()), itemnum = static_cast<int>(itemoldid.size());
  for (int nshards : {1, 2, 7, itemnum + 5}) {
    for (int threads : {1, 3}) {
      SCOPED_TRACE(label + ", " + std::to_string(nshards) + " shards, " +
                   std::to_string(threads) + " writing threads");
      const tbb::global_control workers(tbb::global_control::max_allowed_parallelism, threads);
      // One adding thread: its batch keeps each shard's pairs in their
      // order, so both ways of arriving store what one store does.
      for (auto [deliver, arrival] :
           {std::pair{false, ResultShards::Arrival::kInOrder},
            std::pair{true, ResultShards::Arrival::kInOrder},
            std::pair{false, ResultShards::Arrival::kAnyOrder}}) {
        ProgressLog log;
        ResultShards shards(itemnum, nshards, arrival, ProgressLog::Record, &log);
        for (const Result& r : adds) {
          shards.Add(r.first.data(), static_cast<int>(r.first.size()), r.second.data(),
                     static_cast<int>(r.second.size()));
        }
        shards.Flush();
        EXPECT_EQ(shards.stored(), want.stored);
        EXPECT_EQ(log.numbers, want.progress);
        ShardWriter writer(shards, undirected, threads);
        if (deliver) {
          Collector sink;
          writer.Deliver(sink, tidoldid.data(), tidnum, itemoldid.data(), itemnum);
          EXPECT_EQ(sink.results, want.delivered);
          EXPECT_EQ(writer.lines(), want.lines);
        } else {
          const std::string text = WriteText([&](FILE* file) {
            return writer.WriteText(file, tidoldid.data(), tidnum, itemoldid.data(), itemnum);
          });
          EXPECT_EQ(text, want.text);
          EXPECT_EQ(writer.lines(), want.lines);
        }
      }
    }
  }
}

// Random Adds over `itemnum` items and `tidnum` tids: itemsets drawn from a
// small pool so that many Adds share one, and a third of the tidsets grown
// or shrunk from an earlier tidset of the same itemset, so that the stores
// must refuse contained tidsets and drop the ones a superset covers.
Adds RandomAdds(std::mt19937& rng, int count, int tidnum, int itemnum) {
  std::vector<Ids> itemsets;
  for (int k = 0; k < 1 + count / 4; k++) itemsets.push_back(RandomSubset(rng, itemnum, 1, 4));
  Adds adds;
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int k = 0; k < count; k++) {
    const Ids& items = itemsets[uniform(0, static_cast<int>(itemsets.size()) - 1)];
    Ids tids;
    std::vector<const Result*> same;
    for (const Result& r : adds) {
      if (r.second == items) same.push_back(&r);
    }
    if (!same.empty() && uniform(0, 2) == 0) {
      tids = same[uniform(0, static_cast<int>(same.size()) - 1)]->first;
      if (uniform(0, 1) == 0 && tids.size() > 1) {
        tids.erase(tids.begin() + uniform(0, static_cast<int>(tids.size()) - 1));
      } else {
        tids.push_back(uniform(0, tidnum - 1));
        std::sort(tids.begin(), tids.end());
        tids.erase(std::unique(tids.begin(), tids.end()), tids.end());
      }
    } else {
      tids = RandomSubset(rng, tidnum, 1, 6);
    }
    adds.emplace_back(tids, items);
  }
  return adds;
}

// Random pairs of disjoint vertex sets of an undirected graph of n vertices,
// each stored half of the time with its mirror (before or after it), so that
// mirrors often fall into other shards than their pairs.
Adds RandomMirroredAdds(std::mt19937& rng, int count, int n) {
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Adds adds;
  while (static_cast<int>(adds.size()) < count) {
    Ids all = RandomSubset(rng, n, 2, 8);
    std::shuffle(all.begin(), all.end(), rng);
    const int cut = uniform(1, static_cast<int>(all.size()) - 1);
    Ids a(all.begin(), all.begin() + cut), b(all.begin() + cut, all.end());
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    const int shape = uniform(0, 3);
    if (shape == 0) {
      adds.emplace_back(a, b);
    } else if (shape == 1) {
      adds.emplace_back(a, b);
      adds.emplace_back(b, a);
    } else if (shape == 2) {
      adds.emplace_back(b, a);
      adds.emplace_back(a, b);
    } else {
      // A mirror whose own tidset is later widened: the prune must see the
      // stored tidsets, not the ones first added.
      adds.emplace_back(a, b);
      adds.emplace_back(b, a);
      Ids wider = b;
      const int extra = uniform(0, n - 1);
      if (std::find(a.begin(), a.end(), extra) == a.end()) wider.push_back(extra);
      std::sort(wider.begin(), wider.end());
      wider.erase(std::unique(wider.begin(), wider.end()), wider.end());
      adds.emplace_back(wider, a);
    }
  }
  return adds;
}

TEST(ResultShards, HandWorkedCaseMatchesOneStore) {
  // Itemsets starting with items 0, 1, 3 and 5: with two shards over six
  // items {0, 1, 3} and {5} fall apart; the contained tidset {0, 1} of
  // itemset {1, 2} is refused and {2, 4} is replaced by {2, 3, 4}.
  const Adds adds = {{{0, 1, 2}, {1, 2}}, {{0, 1}, {1, 2}},   {{2, 4}, {5}},
                     {{2, 3, 4}, {5}},    {{0, 5}, {0, 3}},   {{1, 4}, {3}},
                     {{3}, {0}},          {{0, 1, 3}, {1, 2}}};
  ExpectSameAsOneStore(adds, false, qbtest::Identity(6), qbtest::Identity(6), "hand-worked");
}

TEST(ResultShards, RandomAddsMatchOneStoreBipartite) {
  std::mt19937 rng(41001u);
  for (int round = 0; round < 30 && !::testing::Test::HasFailure(); round++) {
    const int tidnum = 3 + round % 9, itemnum = 1 + round % 13;
    const Adds adds = RandomAdds(rng, 5 + round * 4, tidnum, itemnum);
    ExpectSameAsOneStore(adds, false, ScrambledOldIds(rng, tidnum), ScrambledOldIds(rng, itemnum),
                         "bipartite round " + std::to_string(round));
  }
}

TEST(ResultShards, MirrorsAcrossShardsArePrunedAsInOneStore) {
  std::mt19937 rng(41002u);
  for (int round = 0; round < 30 && !::testing::Test::HasFailure(); round++) {
    const int n = 4 + round % 11;
    const Adds adds = RandomMirroredAdds(rng, 4 + round * 3, n);
    // Tids and items are the same vertices: one map for both.
    const Ids oldid = ScrambledOldIds(rng, n);
    ExpectSameAsOneStore(adds, true, oldid, oldid, "undirected round " + std::to_string(round));
  }
}

// A mirror pair with the pair's itemset in the first shard and the mirror's
// in the last one, and one the other way round: exactly one line of each.
TEST(ResultShards, MirrorInAnotherShardIsWrittenOnce) {
  const Adds adds = {{{7, 8}, {0, 1}}, {{0, 1}, {7, 8}}, {{1, 2}, {6, 9}}, {{6, 9}, {1, 2}}};
  const Ids oldid = qbtest::Identity(10);
  const Expected one = OneStore(adds, true, oldid, oldid);
  EXPECT_EQ(one.lines, 2);
  ExpectSameAsOneStore(adds, true, oldid, oldid, "two mirror pairs");
}

TEST(ResultShards, ProgressNumbersBeyondTwoThousand) {
  // 3500 distinct pairs over many itemsets, in a scrambled order: a single
  // store reports 1001, 2001 and 3001.
  std::mt19937 rng(41003u);
  Adds adds;
  for (int i = 0; i < 50; i++) {
    for (int t = 0; t < 70; t++) adds.push_back({{t, t + 1}, {i}});
  }
  std::shuffle(adds.begin(), adds.end(), rng);
  const Expected one = OneStore(adds, false, qbtest::Identity(71), qbtest::Identity(50));
  ASSERT_EQ(one.progress, (std::vector<int>{1001, 2001, 3001}));
  ExpectSameAsOneStore(adds, false, qbtest::Identity(71), qbtest::Identity(50), "3500 pairs");
}

// The count alone: the numbers a single store shows and reports.
TEST(ResultShards, StoredCountShowsTheNumbersOfOneStore) {
  ProgressLog single_log, count_log;
  ResultStore store(ProgressLog::Record, &single_log);
  StoredCount count(ProgressLog::Record, &count_log);
  EXPECT_EQ(count.stored(), 0);
  for (int k = 0; k < 4100; k++) {
    const int tids[] = {k, k + 1};
    const int item = 0;
    store.Add(tids, 2, &item, 1);
    count.Count();
    ASSERT_EQ(count.stored(), store.stored()) << "after " << k + 1 << " tidsets";
  }
  EXPECT_EQ(count_log.numbers, single_log.numbers);
  EXPECT_EQ(count_log.numbers, (std::vector<int>{1001, 2001, 3001, 4001}));
}

// Adds every pair to shards, dealt round-robin to `adders` threads at once.
void AddOnThreads(ResultShards& shards, const Adds& adds, int adders) {
  std::vector<std::thread> threads;
  for (int a = 0; a < adders; a++) {
    threads.emplace_back([&, a] {
      for (size_t k = a; k < adds.size(); k += adders) {
        const Result& r = adds[k];
        shards.Add(r.first.data(), static_cast<int>(r.first.size()), r.second.data(),
                   static_cast<int>(r.second.size()));
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

// The exact search's kind of Adds (no tidset of an itemset contains
// another), 4200 of them over 40 vertices; undirected ones keep their sides
// apart and come with their mirrors where those obey the same rule.
Adds AntichainAdds(std::mt19937& rng, bool undirected) {
  const int n = 40;
  std::set<Result> unique;
  while (unique.size() < 4200) {
    const Ids items = RandomSubset(rng, n, 1, 3);
    const int size = 2 + items[0] % 3;
    Ids tids = RandomSubset(rng, n, size, size);
    if (undirected) {
      Ids apart;
      std::set_difference(tids.begin(), tids.end(), items.begin(), items.end(),
                          std::back_inserter(apart));
      if (static_cast<int>(apart.size()) != size) continue;
      if (static_cast<int>(items.size()) == 2 + tids[0] % 3) unique.insert({items, tids});
    }
    unique.insert({tids, items});
  }
  Adds adds(unique.begin(), unique.end());
  std::shuffle(adds.begin(), adds.end(), rng);
  return adds;
}

// Every itemset starts with one item, so one shard holds all of them, and
// there are enough of them for its walk to be cut into parts that the
// writing threads share: the output is still that of one store.
TEST(ResultShards, OneShardHoldingEveryResultIsWrittenInParts) {
  std::mt19937 rng(5150u);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int itemnum = 600, tidnum = 50;
  for (bool undirected : {false, true}) {
    Adds adds;
    for (int k = 0; k < 12000; k++) {
      // Half below [0, 1], which is then cut further too.
      Ids items = k % 2 ? Ids{0, 1} : Ids{0};
      for (int i = 0, n = uniform(0, 3); i < n; i++) items.push_back(items.back() + uniform(1, 150));
      if (items.back() >= itemnum) items.pop_back();
      adds.emplace_back(RandomSubset(rng, tidnum, 2, 5), items);
    }
    const Ids oldid = ScrambledOldIds(rng, itemnum);
    const Ids tidoldid(oldid.begin(), oldid.begin() + tidnum);
    ExpectSameAsOneStore(adds, undirected, tidoldid, oldid,
                         undirected ? "undirected" : "bipartite");
  }
}

// Adds from several threads at once. No two pairs with the same itemset
// have contained tidsets (as in the exact search's output), so the stored
// set, and with it the output, does not depend on the order of the Adds.
TEST(ResultShards, ConcurrentAddsGiveTheOutputOfOneStore) {
  std::mt19937 rng(41004u);
  for (bool undirected : {false, true}) {
    const int n = 40;
    const Adds adds = AntichainAdds(rng, undirected);
    const Ids oldid = ScrambledOldIds(rng, n);
    const Expected want = OneStore(adds, undirected, oldid, oldid);
    ASSERT_GE(want.progress.size(), 4u);
    for (int nshards : {1, 7, 64}) {
      for (int adders : {2, 4}) {
        const auto arrival =
            adders == 2 ? ResultShards::Arrival::kInOrder : ResultShards::Arrival::kAnyOrder;
        SCOPED_TRACE(std::string(undirected ? "undirected" : "bipartite") + ", " +
                     std::to_string(nshards) + " shards, " + std::to_string(adders) +
                     " adding threads");
        ProgressLog log;
        ResultShards shards(n, nshards, arrival, ProgressLog::Record, &log);
        AddOnThreads(shards, adds, adders);
        shards.Flush();
        EXPECT_EQ(shards.stored(), want.stored);
        EXPECT_EQ(log.numbers, want.progress);
        ShardWriter writer(shards, undirected, 2);
        const std::string text = WriteText([&](FILE* file) {
          return writer.WriteText(file, oldid.data(), n, oldid.data(), n);
        });
        EXPECT_EQ(text, want.text);
        EXPECT_EQ(writer.lines(), want.lines);
      }
    }
  }
}

// Stores over a limit spill runs, in the output order, to unnamed files and
// merge them at the end: the text, the lines and the progress numbers are
// those of one store kept in memory, for both graph types (the mirror rule
// then asks which mirrors are stored), with one adding thread or several,
// and the spill directory is left as it was.
TEST(ResultShards, SpilledRunsMergeIntoTheOutputOfOneStore) {
  std::mt19937 rng(41005u);
  for (bool undirected : {false, true}) {
    const Adds adds = AntichainAdds(rng, undirected);
    const std::set<Result> stored(adds.begin(), adds.end());
    const ShardWriter::Stored isstored = [&](const int* tids, int ntids, const int* items,
                                             int nitems) {
      return stored.count({Ids(tids, tids + ntids), Ids(items, items + nitems)}) != 0;
    };
    const Ids oldid = ScrambledOldIds(rng, 40);
    const Expected want = OneStore(adds, undirected, oldid, oldid);
    for (int nshards : {1, 7}) {
      for (int adders : {1, 3}) {
        for (size_t limit : {size_t{1}, size_t{20000}}) {
          SCOPED_TRACE(std::string(undirected ? "undirected" : "bipartite") + ", " +
                       std::to_string(nshards) + " shards, " + std::to_string(adders) +
                       " adding threads, limit " + std::to_string(limit));
          qbtest::TempDir spills;
          ProgressLog log;
          ResultShards shards(40, nshards, ResultShards::Arrival::kAnyOrder, ProgressLog::Record,
                              &log);
          shards.LimitMemory(limit, spills.path());
          AddOnThreads(shards, adds, adders);
          ShardWriter writer(shards, undirected, 2, isstored);
          EXPECT_EQ(shards.stored(), want.stored);
          EXPECT_EQ(log.numbers, want.progress);
          const std::string text = WriteText([&](FILE* file) {
            return writer.WriteText(file, oldid.data(), 40, oldid.data(), 40);
          });
          EXPECT_EQ(text, want.text);
          EXPECT_EQ(writer.lines(), want.lines);
          EXPECT_TRUE(std::filesystem::is_empty(spills.path()));
        }
      }
    }
  }
}

// 150,000 pairs of 30 tids over a store limit of one byte spill once per
// batch, 75 runs: the runs are merged 16 at a time on the way (over two
// levels), and the output is still that of one store.
TEST(ResultShards, ManyRunsAreMergedOnTheWay) {
  Adds adds;
  for (int t = 0; t < 1500; t++) {
    Ids window(30);
    for (int k = 0; k < 30; k++) window[k] = t + k;  // one size for all: none contains another
    for (int i = 0; i < 100; i++) adds.push_back({window, {i}});
  }
  const Ids tidoldid = qbtest::Identity(1529), itemoldid = qbtest::Identity(100);
  const std::string want = OneStore(adds, false, tidoldid, itemoldid).text;
  qbtest::TempDir spills;
  ResultShards shards(100, 4, ResultShards::Arrival::kAnyOrder);
  shards.LimitMemory(1, spills.path());
  AddOnThreads(shards, adds, 1);
  ShardWriter writer(shards, false, 2);
  const std::string text = WriteText([&](FILE* file) {
    return writer.WriteText(file, tidoldid.data(), 1529, itemoldid.data(), 100);
  });
  EXPECT_TRUE(text == want);
  EXPECT_EQ(writer.lines(), 150000);
}

// A stream into a string that takes at most `room` bytes and then fails as
// a full disk does; each write waits `pause` first (slow writes: while the
// formatter at the head writes, the others run ahead of it).
class TestStream {
 public:
  TestStream(size_t room, std::chrono::milliseconds pause) : room_(room), pause_(pause) {
    cookie_io_functions_t io{};
    io.write = [](void* self, const char* text, size_t size) -> ssize_t {
      auto* stream = static_cast<TestStream*>(self);
      std::this_thread::sleep_for(stream->pause_);
      if (stream->text.size() + size > stream->room_) {
        errno = ENOSPC;
        return 0;  // a cookie's write reports failure as no bytes taken, never as -1
      }
      stream->text.append(text, size);
      return static_cast<ssize_t>(size);
    };
    file = fopencookie(this, "w", io);
  }
  FILE* file;
  std::string text;

 private:
  const size_t room_;
  const std::chrono::milliseconds pause_;
};

// A first shard with megabytes of text, written slowly, and many small
// shards after it: the formatters of the later ones, when they run beside
// the first, run out of room to keep their text while it is written and
// wait for it; the file is still that of one store.
TEST(ResultShards, FormattersAheadOfAHeavyShardWaitAndKeepTheOrder) {
  Adds adds;
  auto window = [](int first) {
    Ids tids(30);
    for (int k = 0; k < 30; k++) tids[k] = first + k;  // one size for all: none contains another
    return tids;
  };
  for (int t = 0; t < 10000; t++) adds.push_back({window(t), {0}});
  for (int i = 1; i < 64; i++) {
    for (int t = 0; t < 150; t++) adds.push_back({window(t * 7 + i), {i}});
  }
  const Ids tidoldid = qbtest::Identity(10029), itemoldid = qbtest::Identity(64);
  const std::string want = OneStore(adds, false, tidoldid, itemoldid).text;
  ASSERT_GT(want.size(), size_t{2} << 20);  // beyond what formatters may keep on 2 threads
  for (int threads : {2, 3, 8}) {
    const tbb::global_control workers(tbb::global_control::max_allowed_parallelism, threads);
    ResultShards shards(64, 64, ResultShards::Arrival::kAnyOrder);
    AddOnThreads(shards, adds, 2);
    ShardWriter writer(shards, false, threads);
    TestStream out(SIZE_MAX, std::chrono::milliseconds(5));
    ASSERT_NE(out.file, nullptr);
    EXPECT_EQ(writer.WriteText(out.file, tidoldid.data(), 10029, itemoldid.data(), 64), 0);
    EXPECT_EQ(fclose(out.file), 0);
    EXPECT_TRUE(out.text == want) << threads << " threads";
    EXPECT_EQ(writer.lines(), 10000 + 63 * 150) << threads << " threads";
  }
}

// A write that fails while the shards are formatted on several threads is
// reported with its errno, and nothing is written after it; no formatter is
// left waiting for the shards before its own.
TEST(ResultShards, FailedWriteIsReportedOnAnyThreads) {
  Adds adds;
  for (int t = 0; t < 4000; t++) {
    Ids window(30);
    for (int k = 0; k < 30; k++) window[k] = t + k;
    adds.push_back({window, {t % 64}});
  }
  const Ids tidoldid = qbtest::Identity(4029), itemoldid = qbtest::Identity(64);
  for (int threads : {2, 3, 8}) {
    const tbb::global_control workers(tbb::global_control::max_allowed_parallelism, threads);
    ResultShards shards(64, 16, ResultShards::Arrival::kAnyOrder);
    AddOnThreads(shards, adds, 2);
    ShardWriter writer(shards, false, threads);
    TestStream out(size_t{256} << 10, std::chrono::milliseconds(0));
    ASSERT_NE(out.file, nullptr);
    setvbuf(out.file, nullptr, _IONBF, 0);
    EXPECT_EQ(writer.WriteText(out.file, tidoldid.data(), 4029, itemoldid.data(), 64), ENOSPC)
        << threads << " threads";
    EXPECT_LE(out.text.size(), size_t{256} << 10);
    fclose(out.file);
  }
}

// Pairs arriving in order (the tolerance walk's) are never spilled, since a
// later pair may replace a stored one: the limit ends the storing instead.
TEST(ResultShards, InOrderPairsEndAtTheLimit) {
  qbtest::TempDir spills;
  const int itemnum = 1 << 22;
  ResultShards shards(itemnum, 2, ResultShards::Arrival::kInOrder);
  shards.LimitMemory(32 << 20, spills.path());
  int added = 0;
  const auto addmore = [&] {
    for (; added < itemnum; added++) {
      const int tids[] = {0, 1};
      const int items[] = {added};  // an itemset of its own: nothing to compare it with
      shards.Add(tids, 2, items, 1);
    }
  };
  EXPECT_THROW(addmore(), quasibiclique::MemoryExhausted);
  EXPECT_GT(added, 100000);
  EXPECT_TRUE(std::filesystem::is_empty(spills.path()));
}

}  // namespace

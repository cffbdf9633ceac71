// A run spread over processes, as the searches see it: several processes,
// played one after the other in this one, each search only the tasks a
// share gives it and tell it when each is done; the last one gathers every
// process's pairs into its store. Its output must be the single run's, byte
// for byte, for both searches, both graph types and one or two threads; the
// tolerance walk must tell its tasks done in the order it took them, right
// after their pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "database.h"
#include "miner.h"
#include "task_share.h"

namespace {

using namespace quasibiclique;

// The tasks of process `rank` of `ranks`: every ranks-th from its rank on.
// Its pairs are packed per task as [ntids, nitems, tids..., items...], each
// task's followed by [-1, task].
class RoundRobinShare final : public TaskShare {
 public:
  RoundRobinShare(int rank, int ranks) : rank_(rank), ranks_(ranks) {}

  long long Next(long long tasks) override {
    std::lock_guard<std::mutex> hold(m_);
    tasks_ = tasks;
    const long long k = next_ < 0 ? rank_ : next_ + ranks_;
    if (k >= tasks) return -1;
    next_ = k;
    given_.push_back(k);
    return k;
  }
  // The exact search calls Next, Done and the packer from its threads.
  void Done(long long task) override {
    std::lock_guard<std::mutex> hold(m_);
    pairs_.insert(pairs_.end(), {-1, int(task)});
  }

  // Runs the search; the last process also hands sink every process's
  // pairs: the walk's in task order, the exact search's in reverse order of
  // the processes (any order stores the same).
  void Gather(PairSink& sink, RunMonitor&, bool intaskorder,
              const std::function<void(PairSink&)>& search) override {
    intaskorder_ = intaskorder;
    struct Packer : PairSink {
      explicit Packer(RoundRobinShare& share) : share(share) {}
      void Add(const int* tids, int ntids, const int* items, int nitems) override {
        std::lock_guard<std::mutex> hold(share.m_);
        std::vector<int>& to = share.pairs_;
        to.insert(to.end(), {ntids, nitems});
        to.insert(to.end(), tids, tids + ntids);
        to.insert(to.end(), items, items + nitems);
      }
      RoundRobinShare& share;
    } packer(*this);
    search(packer);
    if (!others_.empty()) Merge(sink);
  }

  // The processes whose pairs the last one gathers, itself among them.
  void GatherFrom(std::vector<RoundRobinShare*> all) { others_ = std::move(all); }

  // The tasks given, in order, and the ends told, in order.
  const std::vector<long long>& given() const { return given_; }
  std::vector<long long> ends() const {
    std::vector<long long> ends;
    for (size_t at = 0; at < pairs_.size();) {
      if (pairs_[at] < 0) ends.push_back(pairs_[at + 1]);
      at += pairs_[at] < 0 ? 2 : 2 + size_t(pairs_[at]) + size_t(pairs_[at + 1]);
    }
    return ends;
  }

 private:
  // Hands sink the pairs of `from`'s stream from *at until the next end;
  // returns that end's task, -1 when the stream ends first (the exact
  // search's threads may hand pairs of a part on after its end).
  static long long HandOn(const std::vector<int>& from, size_t* at, PairSink& sink) {
    for (; *at < from.size() && from[*at] >= 0;) {
      const int* record = &from[*at];
      sink.Add(record + 2, record[0], record + 2 + record[0], record[1]);
      *at += 2 + size_t(record[0]) + size_t(record[1]);
    }
    if (*at == from.size()) return -1;
    *at += 2;
    return from[*at - 1];
  }

  void Merge(PairSink& sink) {
    std::vector<size_t> at(others_.size(), 0);
    if (intaskorder_) {
      for (long long k = 0; k < tasks_; k++) {
        const size_t owner = size_t(k % ranks_);
        EXPECT_EQ(HandOn(others_[owner]->pairs_, &at[owner], sink), k);
      }
      return;
    }
    for (size_t r = others_.size(); r-- > 0;) {
      while (at[r] < others_[r]->pairs_.size()) HandOn(others_[r]->pairs_, &at[r], sink);
    }
  }

  const int rank_;
  const int ranks_;
  std::mutex m_;
  long long next_ = -1;
  long long tasks_ = 0;
  bool intaskorder_ = false;
  std::vector<long long> given_;
  std::vector<int> pairs_;
  std::vector<RoundRobinShare*> others_;
};

// What MineToText writes for db at options, with a share or without.
std::string MineText(const Database& db, const Options& options, TaskShare* share) {
  std::FILE* file = std::tmpfile();
  TextOutput out;
  out.file = file;
  out.share = share;
  int lines = 0;
  EXPECT_TRUE(OnLargeStack([&] { return MineToText(db, options, out, &lines); }).ok());
  std::string text(size_t(std::ftell(file)), '\0');
  std::rewind(file);
  EXPECT_EQ(std::fread(text.data(), 1, text.size(), file), text.size());
  std::fclose(file);
  return text;
}

// The run spread over `ranks` processes: the others first, then the one
// that gathers.
std::string MineSpread(const Database& db, const Options& options, int ranks,
                       std::vector<std::unique_ptr<RoundRobinShare>>* shares) {
  std::vector<RoundRobinShare*> all;
  for (int r = 0; r < ranks; r++) {
    shares->push_back(std::make_unique<RoundRobinShare>(r, ranks));
    all.push_back(shares->back().get());
  }
  for (int r = 1; r < ranks; r++) {
    RunMonitor monitor;
    struct : PairSink {
      void Add(const int*, int, const int*, int) override { ADD_FAILURE() << "a pair here"; }
    } none;
    EXPECT_TRUE(OnLargeStack([&] { return MineHere(db, options, none, &monitor, all[r]); }).ok());
  }
  all[0]->GatherFrom(all);
  return MineText(db, options, all[0]);
}

// Random rows: bipartite transactions, or an undirected graph's symmetric
// adjacency lists.
std::vector<std::vector<int>> RandomRows(std::mt19937& rng, GraphType type) {
  const int n = type == kBipartite ? 16 : 14;
  std::vector<std::vector<int>> rows(static_cast<size_t>(n));
  auto coin = [&](int percent) { return std::uniform_int_distribution<int>(0, 99)(rng) < percent; };
  for (int t = 0; t < n; t++) {
    for (int x = type == kBipartite ? 0 : t + 1; x < (type == kBipartite ? 12 : n); x++) {
      if (!coin(type == kBipartite ? 55 : 45)) continue;
      rows[size_t(t)].push_back(x);
      if (type == kUndirected) rows[size_t(x)].push_back(t);
    }
  }
  for (auto& row : rows) std::sort(row.begin(), row.end());
  return rows;
}

TEST(TaskShare, SpreadRunsWriteTheSingleRunsBytes) {
  std::mt19937 rng(29);
  for (int round = 0; round < 6; round++) {
    const GraphType type = round % 2 ? kUndirected : kBipartite;
    const auto rows = RandomRows(rng, type);
    for (SearchChoice search : {kSearchAuto, kSearchTolerance}) {
      for (int threads : {1, 2}) {
        Options options{2, 1, 1, 2, type, search, threads};
        std::unique_ptr<Database> db;
        ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
        const std::string single = MineText(*db, options, nullptr);
        for (int ranks : {1, 2, 3}) {
          SCOPED_TRACE("round " + std::to_string(round) + ", search " + std::to_string(search) +
                       ", threads " + std::to_string(threads) + ", ranks " +
                       std::to_string(ranks));
          std::vector<std::unique_ptr<RoundRobinShare>> shares;
          EXPECT_EQ(MineSpread(*db, options, ranks, &shares), single);
          for (const auto& share : shares) {
            EXPECT_FALSE(share->given().empty() && ranks == 1);
            // Every task given is told done; the walk's in the order given.
            std::vector<long long> ends = share->ends();
            if (RunsExactSearch(options)) std::sort(ends.begin(), ends.end());
            EXPECT_EQ(ends, share->given());
          }
        }
      }
    }
  }
}

}  // namespace

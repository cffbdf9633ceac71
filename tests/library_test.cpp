// The miner as a library: the options' refusals, the three ways to load a
// database, results through a sink equal to the output file of the program,
// and runs on several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "model.h"
#include "quasibiclique/quasibiclique.h"
#include "test_util.h"

namespace {

using namespace quasibiclique;
using qbtest::RandomRows;
using qbtest::Rows;

// The results as the output file writes them.
class TextSink : public ResultSink {
 public:
  void Add(const int* transactions, int ntransactions, const int* items, int nitems) override {
    for (int k = 0; k < ntransactions; k++) text += std::to_string(transactions[k]) + " ";
    text += ";";
    for (int k = 0; k < nitems; k++) text += std::to_string(items[k]) + " ";
    text += "\n";
    count++;
  }
  std::string text;
  int count = 0;
};

Options Make(int isl, int it, int tt, int tsl, GraphType graph = kBipartite,
             SearchChoice search = kSearchAuto) {
  return Options{isl, it, tt, tsl, graph, search};
}

// The results of mining `rows` through the library.
std::string MineRows(const Rows& rows, const Options& options, int* count = nullptr) {
  std::unique_ptr<Database> db;
  Status s = Database::FromTransactions(rows, options, &db);
  EXPECT_TRUE(s.ok()) << s.message();
  TextSink sink;
  if (s.ok()) s = Mine(*db, options, sink);
  EXPECT_TRUE(s.ok()) << s.message();
  if (count) *count = sink.count;
  return sink.text;
}

// The output file of the program on the same rows.
std::string ProgramOutput(const Rows& rows, const Options& options) {
  qbtest::TempDir dir;
  const std::string out = dir.File("out.txt");
  std::vector<std::string> args =
      qbtest::Arguments(dir.Write("d.dat", qbtest::DatasetText(rows)), options, out);
  if (options.search == kSearchTolerance) args.insert(args.begin(), "--search=tolerance");
  qbtest::RunResult run = qbtest::RunProgram(QB_BINARY, args, dir, out);
  EXPECT_EQ(run.status, 0) << run.err;
  return run.output;
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(LibraryOptions, ValidateGivesTheRefusalsOfTheCommandLine) {
  EXPECT_TRUE(Make(3, 1, 1, 3).Validate().ok());
  const struct {
    Options options;
    std::string message;
  } cases[] = {
      {Make(0, 0, 0, 0), "item_supportLevel '0' must be at least 1"},
      {Make(1, -1, 0, 0), "itemTolerance '-1' must be at least 0"},
      {Make(1, 0, -2, 0), "transactionTolerance '-2' must be at least 0"},
      {Make(1, 0, 0, -3), "transaction_supportLevel '-3' must be at least 0"},
      {Make(1, 0, 0, 0, GraphType(2)), "graphType '2' must be 0 or 1"},
      {Make(2, 2, 1, 2, kBipartite, kSearchExact),
       "--search=exact needs transactionTolerance < item_supportLevel and itemTolerance < "
       "max(2, transaction_supportLevel)"},
  };
  for (const auto& c : cases) {
    Status s = c.options.Validate();
    EXPECT_EQ(s.code(), Status::kInvalidArgument) << c.message;
    EXPECT_EQ(s.message(), c.message);
  }
}

TEST(LibraryOptions, ThreadsFromZeroTo1024) {
  for (int threads : {0, 1, 2, 1024}) {
    Options o = Make(3, 1, 1, 3);
    o.threads = threads;
    EXPECT_TRUE(o.Validate().ok()) << threads;
  }
  for (int threads : {-1, 1025}) {
    Options o = Make(3, 1, 1, 3);
    o.threads = threads;
    const Status s = o.Validate();
    EXPECT_EQ(s.code(), Status::kInvalidArgument) << threads;
    EXPECT_EQ(s.message(), "--threads '" + std::to_string(threads) +
                               "' must be a number from 0 (every core) to 1024");
    // Refused options mine nothing.
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromTransactions({{0, 1}, {0, 1}}, Make(3, 1, 1, 3), &db).ok());
    TextSink sink;
    EXPECT_EQ(Mine(*db, o, sink).code(), Status::kInvalidArgument);
    EXPECT_EQ(sink.count, 0);
  }
}

// The same dataset from a file, a buffer and lists gives the same database
// and the results the program writes; refusals come back as statuses.
TEST(LibraryDatabase, ThreeSourcesOneDatabase) {
  const std::string text = "0 1 2 3\n0 1 2\n0 1 3\n1 2 3\n0 2 3 4\n4 5\n3 4 5\n2 4 5";
  const Rows rows = qbtest::ReadReference(text).lines;
  const Options options = Make(3, 1, 1, 3);
  qbtest::TempDir dir;
  std::unique_ptr<Database> fromfile, frombuffer, fromlists;
  ASSERT_TRUE(Database::FromFile(dir.Write("d.dat", text), options, &fromfile).ok());
  ASSERT_TRUE(Database::FromBuffer(text.data(), text.size(), options, &frombuffer).ok());
  ASSERT_TRUE(Database::FromTransactions(rows, options, &fromlists).ok());
  std::string results[3];
  int k = 0;
  for (const Database* db : {fromfile.get(), frombuffer.get(), fromlists.get()}) {
    EXPECT_EQ(db->lines(), 8);
    TextSink sink;
    ASSERT_TRUE(Mine(*db, options, sink).ok());
    EXPECT_EQ(sink.count, 12);
    results[k++] = sink.text;
  }
  EXPECT_EQ(results[0], ProgramOutput(rows, options));
  EXPECT_EQ(results[1], results[0]);
  EXPECT_EQ(results[2], results[0]);

  std::unique_ptr<Database> db;
  Status s = Database::FromFile(dir.File("missing.dat"), options, &db);
  EXPECT_EQ(s.code(), Status::kNotFound);
  EXPECT_EQ(s.message(), dir.File("missing.dat") + " could not be opened!");
  s = Database::FromBuffer("1\n0 5", 5, Make(1, 0, 0, 1, kUndirected), &db);
  EXPECT_EQ(s.code(), Status::kCorruption);
  EXPECT_EQ(s.message(), "<buffer>:2: vertex id 5 is not below the number of lines (2)");
  s = Database::FromTransactions({{0, 1}, {-4}}, options, &db);
  EXPECT_EQ(s.code(), Status::kInvalidArgument);
  EXPECT_EQ(db, nullptr);
}

// A database is pruned for the options it was loaded with: mining it with
// other support levels, tolerances or graph type is refused, another search
// is not.
TEST(LibraryMine, RefusesOptionsTheDatabaseWasNotLoadedFor) {
  const Rows rows = {{0, 1, 2}, {0, 1, 2}, {0, 1}, {1, 2}};
  const Options options = Make(2, 0, 0, 2);
  std::unique_ptr<Database> db;
  ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
  TextSink sink;
  for (Options other : {Make(1, 0, 0, 2), Make(2, 1, 0, 2), Make(2, 0, 1, 2), Make(2, 0, 0, 3),
                        Make(2, 0, 0, 2, kUndirected), Make(0, 0, 0, 2)}) {
    EXPECT_EQ(Mine(*db, other, sink).code(), Status::kInvalidArgument);
  }
  EXPECT_EQ(sink.count, 0);
  std::string walk;
  for (SearchChoice search : {kSearchAuto, kSearchExact, kSearchTolerance}) {
    Options o = options;
    o.search = search;
    TextSink each;
    ASSERT_TRUE(Mine(*db, o, each).ok());
    if (walk.empty()) walk = each.text;
    EXPECT_EQ(each.text, walk);
  }
  EXPECT_EQ(walk, ProgramOutput(rows, options));
  // The maximal bicliques of the four lines, in the order the file has them.
  EXPECT_EQ(SortedLines(walk), SortedLines("0 1 ;0 1 2 \n0 1 2 ;0 1 \n0 1 3 ;1 2 \n"));
}

// Random datasets of both graph types, through the library and through the
// program, with both searches.
TEST(LibraryMine, SameResultsAsTheProgram) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 40; round++) {
    const GraphType graph = round % 2 ? kUndirected : kBipartite;
    const Rows rows = RandomRows(rng, graph);
    Options options = Make(1 + round % 3, round % 3 == 2, round % 2, 2, graph,
                           round % 4 < 2 ? kSearchAuto : kSearchTolerance);
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + qbtest::DatasetText(rows));
    EXPECT_EQ(MineRows(rows, options), ProgramOutput(rows, options));
  }
}

// Two mines at once on two threads, with different databases and options,
// give what each gives alone; each run owns its memory.
TEST(LibraryMine, TwoThreadsAtOnceAsAlone) {
  std::mt19937 rng(7);
  Rows big(24);
  for (int t = 0; t < 24; t++) {
    for (int x = 0; x < 12; x++) {
      if (std::uniform_int_distribution<int>(0, 99)(rng) < 60) big[t].push_back(x);
    }
  }
  const Rows graph = RandomRows(rng, kUndirected);
  const Options walk = Make(3, 1, 1, 4, kBipartite, kSearchTolerance);
  const Options exact = Make(2, 1, 1, 2, kUndirected);
  const std::string alone[2] = {MineRows(big, walk), MineRows(graph, exact)};
  ASSERT_FALSE(alone[0].empty());
  for (int round = 0; round < 2; round++) {
    std::string together[2];
    std::thread one([&] { together[0] = MineRows(big, walk); });
    std::thread two([&] { together[1] = MineRows(graph, exact); });
    one.join();
    two.join();
    EXPECT_EQ(together[0], alone[0]);
    EXPECT_EQ(together[1], alone[1]);
  }
}

// Every result, in order, with the thread that handed it over.
class RecordingSink : public ResultSink {
 public:
  void Add(const int* transactions, int ntransactions, const int* items, int nitems) override {
    results.emplace_back(std::vector<int>(transactions, transactions + ntransactions),
                         std::vector<int>(items, items + nitems));
    if (std::this_thread::get_id() != caller) foreign++;
  }
  std::vector<std::pair<std::vector<int>, std::vector<int>>> results;
  std::thread::id caller = std::this_thread::get_id();
  int foreign = 0;  // calls from another thread than the one that made the sink
};

// Mine on 2 and 3 threads hands over the results of one thread in the same
// order, from the calling thread, for both graph types and all searches.
TEST(LibraryMine, AnyThreadCountSameResultsInOrder) {
  std::mt19937 rng(20261209);
  int nonempty = 0;
  const int rounds = 48;
  for (int round = 0; round < rounds; round++) {
    const GraphType graph = round % 2 ? kUndirected : kBipartite;
    Rows rows = RandomRows(rng, graph);
    // Every sixth round a larger bipartite dataset, with results enough to
    // fill many shards.
    if (round % 6 == 4) {
      rows.assign(24, {});
      for (auto& row : rows) {
        for (int x = 0; x < 14; x++) {
          if (std::uniform_int_distribution<int>(0, 99)(rng) < 50) row.push_back(x);
        }
      }
    }
    const SearchChoice search = round % 3 == 0 ? kSearchTolerance
                                : round % 3 == 1 ? kSearchAuto : kSearchExact;
    Options options = Make(1 + round % 3, round % 5 == 3, round % 2, 2, graph, search);
    if (search == kSearchExact && !InExactRegime(options)) options.search = kSearchAuto;
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + qbtest::DatasetText(rows));
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
    options.threads = 1;
    RecordingSink one;
    ASSERT_TRUE(Mine(*db, options, one).ok());
    if (!one.results.empty()) nonempty++;
    for (int threads : {2, 3}) {
      options.threads = threads;
      RecordingSink many;
      ASSERT_TRUE(Mine(*db, options, many).ok());
      EXPECT_TRUE(many.results == one.results) << threads << " threads";
      EXPECT_EQ(many.foreign, 0) << threads << " threads";
    }
  }
  EXPECT_GE(nonempty * 2, rounds) << nonempty << " of " << rounds << " rounds had results";
}

TEST(LibraryOptions, BoundsAreZeroOrAbove) {
  Options o = Make(3, 1, 1, 3);
  o.max_results = 5;
  o.time_limit = 2.5;
  EXPECT_TRUE(o.Validate().ok());
  o.max_results = -1;
  EXPECT_EQ(o.Validate().message(), "--max-results '-1' must be a whole number of at least 1");
  o.max_results = 0;
  for (double seconds : {-1.0, std::nan(""), HUGE_VAL}) {
    o.time_limit = seconds;
    EXPECT_EQ(o.Validate().code(), Status::kInvalidArgument) << seconds;
  }
}

// A bounded run hands over at most max_results results, each one of the
// full run's (for the exact search), in the full run's order, and says
// Stopped when it stopped before the end; a time limit too short for any
// search gives a part of the results too.
TEST(LibraryMine, BoundedRunsHandOverAPartInOrder) {
  std::mt19937 rng(5);
  for (int round = 0; round < 24; round++) {
    const GraphType graph = round % 2 ? kUndirected : kBipartite;
    const Rows rows = RandomRows(rng, graph);
    Options options = Make(2, round % 4 == 1, round % 4 == 1, 2, graph);
    options.threads = 1 + round % 3;
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + qbtest::DatasetText(rows));
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
    RecordingSink full;
    ASSERT_TRUE(Mine(*db, options, full).ok());
    const long long found = (long long)full.results.size();
    for (long long limit : {1LL, found / 2 + 1, found + 1}) {
      options.max_results = limit;
      RecordingSink part;
      const Status s = Mine(*db, options, part);
      EXPECT_EQ((long long)part.results.size(), std::min(limit, found)) << limit;
      if (limit < found) {
        EXPECT_EQ(s.code(), Status::kStopped) << limit;
      } else if (limit > found) {
        EXPECT_TRUE(s.ok()) << limit;
      }
      // For graph type 1 a pair whose mirror the full run hands over may
      // come as found when the run stopped before meeting that mirror.
      size_t at = 0;
      for (const auto& result : part.results) {
        const auto& all = full.results;
        if (graph == kUndirected && std::find(all.begin(), all.end(), result) == all.end()) {
          const auto mirror = std::make_pair(result.second, result.first);
          EXPECT_NE(std::find(all.begin(), all.end(), mirror), all.end());
          continue;
        }
        while (at < full.results.size() && !(full.results[at] == result)) at++;
        EXPECT_LT(at, full.results.size()) << "a result out of the full run's order";
      }
    }
    options.max_results = 0;
    options.time_limit = 1e-9;
    RecordingSink hurried;
    const Status s = Mine(*db, options, hurried);
    EXPECT_TRUE(s.ok() || s.code() == Status::kStopped) << s.message();
    EXPECT_LE(hurried.results.size(), full.results.size());
  }
}

// A run whose token has a stop request ends Stopped before it hands over
// anything, on either search and any thread count; once the request is
// withdrawn the same options mine every result.
TEST(LibraryMine, StopTokenStopsTheRunUntilReset) {
  std::mt19937 rng(11);
  for (int round = 0; round < 12; round++) {
    const GraphType graph = round % 2 ? kUndirected : kBipartite;
    const Rows rows = RandomRows(rng, graph);
    Options options = Make(2, 1, 1, 2, graph, round % 4 < 2 ? kSearchTolerance : kSearchAuto);
    options.threads = 1 + round % 3;
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + qbtest::DatasetText(rows));
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
    RecordingSink free;
    ASSERT_TRUE(Mine(*db, options, free).ok());
    StopToken token;
    options.stop = &token;
    token.RequestStop();
    RecordingSink stopped;
    const Status s = Mine(*db, options, stopped);
    EXPECT_EQ(s.code(), Status::kStopped);
    EXPECT_EQ(s.message(), "the search was stopped on request");
    EXPECT_TRUE(stopped.results.empty());
    long long counted = -1;
    EXPECT_EQ(Count(*db, options, &counted).code(), Status::kStopped);
    EXPECT_EQ(counted, 0);
    token.Reset();
    RecordingSink resumed;
    EXPECT_TRUE(Mine(*db, options, resumed).ok());
    EXPECT_EQ(resumed.results, free.results);
  }
}

// Count gives the number of results Mine hands over and the program's
// output holds, on both searches and graph types, and a bounded count stops
// where Mine does (the tolerance walk's stored pairs may be replaced by later
// ones, so its bounded runs may hand over fewer than max_results).
TEST(LibraryCount, CountsWhatMineHandsOver) {
  std::mt19937 rng(13);
  for (int round = 0; round < 24; round++) {
    const GraphType graph = round % 2 ? kUndirected : kBipartite;
    const Rows rows = RandomRows(rng, graph);
    const bool walk = round % 4 >= 2;
    Options options = Make(2, round % 3 == 1, round % 3 == 2, 2, graph,
                           walk ? kSearchTolerance : kSearchAuto);
    options.threads = 1 + round % 2;
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + qbtest::DatasetText(rows));
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
    RecordingSink all;
    ASSERT_TRUE(Mine(*db, options, all).ok());
    const long long found = (long long)all.results.size();
    long long counted = -1;
    ASSERT_TRUE(Count(*db, options, &counted).ok());
    EXPECT_EQ(counted, found);
    EXPECT_EQ(SortedLines(ProgramOutput(rows, options)).size(), (size_t)found);
    if (found < 2) continue;
    options.max_results = found - 1;
    RecordingSink part;
    EXPECT_EQ(Mine(*db, options, part).code(), Status::kStopped);
    EXPECT_EQ(Count(*db, options, &counted).code(), Status::kStopped);
    EXPECT_EQ(counted, (long long)part.results.size());
    if (!walk) {
      EXPECT_EQ(counted, found - 1);
    }
  }
}

// A bounded count on an undirected graph is the number of results Mine
// hands over, at every limit below the full count: the exact search counts
// a pair whose mirror is a pair too as half a result, so the pairs found by
// the time the run stops may make more results than the limit.
TEST(LibraryCount, BoundedCountOfMirrorsIsTheLimit) {
  std::mt19937 rng(29);
  for (int round = 0; round < 16; round++) {
    const Rows rows = RandomRows(rng, kUndirected);
    Options options = Make(2, round % 3 == 1, round % 3 == 2, 2, kUndirected);
    options.threads = 1 + round % 2;
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + qbtest::DatasetText(rows));
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
    long long found = -1;
    ASSERT_TRUE(Count(*db, options, &found).ok());
    for (long long limit = 1; limit < found; limit++) {
      SCOPED_TRACE("max_results " + std::to_string(limit));
      options.max_results = limit;
      RecordingSink part;
      EXPECT_EQ(Mine(*db, options, part).code(), Status::kStopped);
      EXPECT_EQ((long long)part.results.size(), limit);
      long long counted = -1;
      EXPECT_EQ(Count(*db, options, &counted).code(), Status::kStopped);
      EXPECT_EQ(counted, limit);
    }
  }
}

// Count refuses options the database was not loaded for, like Mine.
TEST(LibraryCount, RefusesOptionsTheDatabaseWasNotLoadedFor) {
  std::unique_ptr<Database> db;
  ASSERT_TRUE(Database::FromTransactions({{0, 1}, {0, 1}}, Make(1, 0, 0, 2), &db).ok());
  long long counted = -1;
  EXPECT_EQ(Count(*db, Make(2, 0, 0, 2), &counted).code(), Status::kInvalidArgument);
  EXPECT_EQ(counted, 0);
}

// The README's library example prints the results of its first command and
// their count.
TEST(LibraryExample, PrintsTheResultsOfTheFirstCommand) {
  qbtest::TempDir dir;
  qbtest::RunResult example = qbtest::RunProgram(QB_EXAMPLE, {}, dir);
  ASSERT_EQ(example.status, 0) << example.err;
  const std::string out = dir.File("tiny.out");
  qbtest::RunResult run = qbtest::RunProgram(
      QB_BINARY,
      {(std::filesystem::path(QB_TEST_DATA) / ".." / ".." / "examples" / "tiny.dat")
           .lexically_normal()
           .string(),
       "3", "1", "1", "3", "0", out},
      dir, out);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(example.out, run.output + "results: 12\n");
}

}  // namespace

namespace {

using Pair = std::pair<std::vector<int>, std::vector<int>>;

// The results as a sorted list, each undirected one turned so that its
// smallest transaction is below its smallest item (a pair and its mirror
// are one result).
std::vector<Pair> Oriented(std::vector<Pair> results, GraphType graph) {
  for (Pair& pair : results) {
    if (graph == kUndirected && pair.first[0] > pair.second[0]) std::swap(pair.first, pair.second);
  }
  std::sort(results.begin(), results.end());
  return results;
}

// MineAsFound hands over the results of Mine (an undirected result in either
// orientation), each once, on any thread count; bounded by max_results it
// hands over that many of them; the tolerance walk is refused.
TEST(LibraryMineAsFound, TheResultsOfMineAsTheSearchFindsThem) {
  std::mt19937 rng(29);
  for (int round = 0; round < 60; round++) {
    const GraphType graph = round % 2 ? kUndirected : kBipartite;
    const Rows rows = RandomRows(rng, graph);
    Options options = Make(2, round % 3 == 1, round % 3 == 2, 2 + round % 4 / 3, graph);
    options.threads = 1 + round % 3;
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + qbtest::DatasetText(rows));
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
    RecordingSink mined, found;
    ASSERT_TRUE(Mine(*db, options, mined).ok());
    ASSERT_TRUE(MineAsFound(*db, options, found).ok());
    const std::vector<Pair> all = Oriented(mined.results, graph);
    EXPECT_EQ(Oriented(found.results, graph), all);
    if (all.size() < 2) continue;
    options.max_results = (long long)all.size() - 1;
    RecordingSink part;
    EXPECT_EQ(MineAsFound(*db, options, part).code(), Status::kStopped);
    EXPECT_EQ(part.results.size(), all.size() - 1);
    for (const Pair& pair : Oriented(part.results, graph)) {
      EXPECT_TRUE(std::binary_search(all.begin(), all.end(), pair));
    }
  }
  const Rows rows = {{0, 1}, {0, 1}, {1, 2}};
  // Results come while the search runs: a stop asked for by the sink at the
  // first one ends the search, where Mine hands them over after it.
  class StopAtFirst : public ResultSink {
   public:
    void Add(const int*, int, const int*, int) override {
      if (++results == 1) token.RequestStop();
    }
    StopToken token;
    int results = 0;
  };
  std::mt19937 dense(3);
  Rows many(40);
  for (auto& row : many) {
    for (int item = 0; item < 30; item++) {
      if (std::uniform_int_distribution<int>(0, 99)(dense) < 70) row.push_back(item);
    }
  }
  Options exact = Make(2, 1, 1, 2);
  std::unique_ptr<Database> manydb;
  ASSERT_TRUE(Database::FromTransactions(many, exact, &manydb).ok());
  StopAtFirst first;
  exact.stop = &first.token;
  const Status stopped = MineAsFound(*manydb, exact, first);
  EXPECT_EQ(stopped.code(), Status::kStopped) << stopped.message();
  EXPECT_GE(first.results, 1);
  EXPECT_LT(first.results, 1000);
  Options walk = Make(1, 1, 1, 1, kBipartite, kSearchTolerance);
  std::unique_ptr<Database> db;
  ASSERT_TRUE(Database::FromTransactions(rows, walk, &db).ok());
  RecordingSink none;
  const Status refused = MineAsFound(*db, walk, none);
  EXPECT_EQ(refused.code(), Status::kInvalidArgument);
  EXPECT_EQ(refused.message(),
            "results as they are found need the exact search: the tolerance walk may replace "
            "a pair it found by a later one");
  EXPECT_TRUE(none.results.empty());
}

}  // namespace

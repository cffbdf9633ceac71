// The search: the order of tolerance combinations on the transaction side, the
// order of item-set visits and reports on the item side, the results of sub
// levels, every conditional database of whole runs against the loaded
// database, and hand-worked datasets run end to end. The search is
// observed through the run's SearchObserver; ids in hook events are new ids, so each
// dataset below notes its renumbering (ascending support or count, ties to the
// higher old id first).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "database.h"
#include "expand.h"
#include "result_store.h"
#include "result_writer.h"
#include "model.h"
#include "test_util.h"

namespace {

using namespace quasibiclique;
using List = std::vector<int>;
using Lists = std::vector<List>;

// Every hook event, in the order the search reported it.
struct Recorder {
  std::vector<std::pair<SearchEvent, List>> events;

  Lists Of(SearchEvent kind) const {
    Lists lists;
    for (const auto& [event, list] : events)
      if (event == kind) lists.push_back(list);
    return lists;
  }
  // "E(..) V(..) R(..) S(..)" for evaluate, visit, report and skip events.
  std::string Trace() const {
    std::string text;
    for (const auto& [event, list] : events) {
      text += std::string(text.empty() ? "" : " ") + "EVRS"[event] + "(";
      for (size_t k = 0; k < list.size(); k++) text += (k ? "," : "") + std::to_string(list[k]);
      text += ")";
    }
    return text;
  }
};

void Record(void* context, SearchEvent event, const int* list, int n) {
  static_cast<Recorder*>(context)->events.emplace_back(event, List(list, list + n));
}

// Counts what the output file would hold.
class LineCounter final : public PairSink {
 public:
  void Add(const int*, int, const int*, int) override { lines++; }
  int lines = 0;
};

// A database loaded from `content` the way the driver loads it, and the
// working memory of the tolerance walk, with the recorder attached.
class Session {
 public:
  Session(const std::string& content, Parameters p) : options(p) {
    Data data(dir_.Write("d.txt", content).c_str());
    options.search = kSearchTolerance;  // the hooks observe the tolerance walk
    EXPECT_TRUE(DatabaseLoader::Load(data, "d.txt", options, &db).ok());
    context = std::make_unique<RunContext>(db->rep());
    context->observer.hook = Record;
    context->observer.context = &rec;
  }

  const Database::Rep& rep() const { return db->rep(); }

  // The tolerance walk of one start item, cut off right after each
  // evaluation is announced when item_supportLevel is out of reach.
  Lists Walk(int item) {
    rec.events.clear();
    const long long before = context->arena.Position();
    ResultStore store;
    WalkStartItem(rep(), options, store, *context, item);
    EXPECT_EQ(context->arena.Position(), before);
    return rec.Of(kEventEvaluate);
  }

  // A whole walk, with the number of results the output file would hold;
  // the arena must be back where it was.
  int Start() {
    const long long before = context->arena.Position();
    ResultStore store;
    WalkTolerances(rep(), options, store, *context);
    EXPECT_EQ(context->arena.Position(), before) << "the walk moved the arena position";
    ResultWriter writer(store, rep().undirected());
    LineCounter counter;
    writer.Deliver(counter, rep().tidoldid.data(), rep().tidnum, rep().itemoldid.data(),
                   rep().itemnum);
    return counter.lines;
  }

  Parameters options;
  std::unique_ptr<Database> db;
  std::unique_ptr<RunContext> context;
  Recorder rec;

 private:
  qbtest::TempDir dir_;
};

// The built program run on `content`: its output file, stdout and status.
qbtest::RunResult RunOn(const std::string& content, const Parameters& p) {
  qbtest::TempDir dir;
  std::string out = dir.File("out.txt");
  return qbtest::RunProgram(QB_BINARY, qbtest::Arguments(dir.Write("d.txt", content), p, out),
                            dir, out);
}

// The lines of an output file, sorted.
std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// ---------------------------------------------------------------------------
// Transaction side: tolerance combinations
// ---------------------------------------------------------------------------

// item_supportLevel 100 with transactionTolerance 100 and
// transaction_supportLevel 0 prunes nothing while loading and stops every
// evaluation at its pre-count, so the events are exactly the walk's.
TEST(SearchTidWalk, ToleranceCombinationsInOrder) {
  struct Case {
    const char* data;
    int graph, it, item;
    Lists combos;  // new tids
  } cases[] = {
      // Lines {0} {1} {1} {1}: item 0 keeps new id 0 and lies on line 0 only;
      // equal counts put lines 3, 2, 1, 0 at new tids 0..3, so the candidates
      // are c0 = 0, c1 = 1, c2 = 2.
      {"0\n1\n1\n1\n", 0, 2, 0, {{0, 1}, {0, 2}, {1, 2}, {2}}},
      {"0\n1\n1\n1\n", 0, 3, 0, {{0, 1, 2}, {0, 2}, {1, 2}, {2}}},
      // Two candidates (new tids 0, 1 = lines 2, 1).
      {"0\n1\n1\n", 0, 3, 0, {{0, 1}, {1}}},
      {"0\n1\n1\n", 0, 2, 0, {{0, 1}, {1}}},
      // No tolerance: the item's own transactions once, for every item.
      {"0\n1\n1\n1\n", 0, 0, 0, {{}}},
      {"0\n1\n1\n1\n", 0, 0, 1, {{}}},
      // Old item 0 is on both lines (new id 1): no candidate at all.
      {"0 1\n0\n", 0, 2, 1, {{}}},
      // Star with centre 3: leaves 2, 1, 0 become vertices 0, 1, 2, the centre
      // stays 3. Vertex 0 is missing from tids 0, 1, 2, but tid 0 is itself.
      {"3\n3\n3\n0 1 2\n", 1, 2, 0, {{1, 2}, {2}}},
      // The centre is missing only from its own tid: one plain evaluation.
      {"3\n3\n3\n0 1 2\n", 1, 2, 3, {{}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.data) + " it=" + std::to_string(c.it) +
                 " item=" + std::to_string(c.item));
    Session s(c.data, {100, c.it, 100, 0, GraphType(c.graph)});
    EXPECT_EQ(s.Walk(c.item), c.combos);
  }
}

// ---------------------------------------------------------------------------
// Item side: visit and report order
// ---------------------------------------------------------------------------

// Closure x0 < x1 < x2, item_supportLevel 2, through a whole run.
TEST(SearchItemsets, TopLevelVisitAndReportOrder) {
  // Lines {1,2} {0,2} {0,1} {0,1,2}, itemTolerance 1, transactionTolerance 0,
  // transaction_supportLevel 1. Equal supports: x0, x1, x2 = old 2, 1, 0; tid t
  // (t < 3) lacks xt, tid 3 holds all. Start x0 adds tid 0 and keeps all four
  // tids; every item misses one, so all three are closure items and every node
  // drops the tid lacking its item. Reports, post-order: ({3},{x0,x1,x2}),
  // ({2,3},{x0,x1}), ({1,3},{x0,x2}), ({0,3},{x1,x2}); no outside tid joins,
  // as it would lack an item. Start x1 sees x0 fully tolerated and stops.
  {
    Session s("1 2\n0 2\n0 1\n0 1 2\n", {2, 1, 0, 1, kBipartite});
    EXPECT_EQ(s.Start(), 3);  // the single-tid result is not written
    EXPECT_EQ(s.rec.Of(kEventVisit), (Lists{{0}, {0, 1}, {0, 1, 2}, {0, 2}, {1}, {1, 2}}));
    EXPECT_EQ(s.rec.Of(kEventReport), (Lists{{0, 1, 2}, {0, 1}, {0, 2}, {1, 2}}));
  }
  // Two lines holding all three items: every node is lossless. {x0,x1,x2}
  // ends the chain, which stops {x0} before {x0,x2} and the start loop before
  // x1; {x0,x1} and {x0} have a lossless child and are not reported.
  {
    Session s("0 1 2\n0 1 2\n", {2, 0, 0, 2, kBipartite});
    EXPECT_EQ(s.Start(), 1);
    EXPECT_EQ(s.rec.Of(kEventVisit), (Lists{{0}, {0, 1}, {0, 1, 2}}));
    EXPECT_EQ(s.rec.Of(kEventReport), (Lists{{0, 1, 2}}));
  }
}

// Sub levels, where marked items of the item set form the prefix list next to
// the closure items, with tolerances 0: the results are the closed item sets
// (each with all the lines holding it) of at least transaction_supportLevel
// lines.
TEST(SearchItemsets, SubLevelsFindEveryClosedItemset) {
  // Nested lines {0,1,2,3} twice, {1,2,3}, {2,3}, {3}: every line holding an
  // item holds all larger ones, so every node on the way to 3 is lossless.
  {
    qbtest::RunResult run = RunOn("0 1 2 3\n0 1 2 3\n1 2 3\n2 3\n3\n", {1, 0, 0, 2, kBipartite});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(SortedLines(run.output),
              SortedLines("0 1 ;0 1 2 3 \n0 1 2 ;1 2 3 \n0 1 2 3 ;2 3 \n0 1 2 3 4 ;3 \n"));
  }
  // Line i < 4 lacks item i only, line 4 holds all: an item set S of one to
  // three items is held by line 4 and the lines of the items outside S, and
  // nothing larger is; the whole set has line 4 alone.
  {
    qbtest::RunResult run =
        RunOn("1 2 3\n0 2 3\n0 1 3\n0 1 2\n0 1 2 3\n", {1, 0, 0, 2, kBipartite});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> expected;
    for (int set = 1; set < 15; set++) {
      std::string tids, items;
      for (int i = 0; i < 4; i++) {
        if (set >> i & 1) items += std::to_string(i) + " ";
        else tids += std::to_string(i) + " ";
      }
      expected.push_back(tids + "4 ;" + items);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(SortedLines(run.output), expected);
  }
}

// ---------------------------------------------------------------------------
// Conditional database layout
// ---------------------------------------------------------------------------

// Every conditional database the search builds, through whole runs. Each cdb
// is checked against the loaded database: its tids ascend; the transaction of
// a cdb tid is the loaded transaction cut to some items, and null outside the
// tidset; the list of an item holds exactly the cdb tids whose transaction
// holds it. The first datasets also pin the cdbs themselves.
class CdbLog {
 public:
  explicit CdbLog(Session& s) : db_(s.rep()) {
    SearchObserver& observer = s.context->observer;
    observer.hook = nullptr;  // the context is this log, not the session's recorder
    observer.cdbhook = [](void* context, const Cdb& cdb) {
      static_cast<CdbLog*>(context)->Add(cdb);
    };
    observer.context = this;
  }

  std::vector<std::string> described;  // "tids | t: items ... | x: tids ...", new ids

 private:
  void Add(const Cdb& cdb) {
    List tids(cdb.tids, cdb.tids + cdb.tidnum);
    EXPECT_TRUE(std::is_sorted(tids.begin(), tids.end()));
    std::string text = Join(tids);
    for (int t = 0; t < db_.tidnum; t++) {
      bool member = std::binary_search(tids.begin(), tids.end(), t);
      EXPECT_EQ(cdb.tran[t] != nullptr, member) << "tid " << t;
      if (!member || !cdb.tran[t]) continue;
      List items(cdb.tran[t] + 1, cdb.tran[t] + 1 + cdb.tran[t][0]);
      List loaded(db_.tranlist[t] + 1, db_.tranlist[t] + 1 + db_.tranlist[t][0]);
      EXPECT_TRUE(std::is_sorted(items.begin(), items.end()));
      EXPECT_TRUE(std::includes(loaded.begin(), loaded.end(), items.begin(), items.end()));
      text += " | " + std::to_string(t) + ": " + Join(items);
    }
    for (int x = 0; x < db_.itemnum; x++) {
      List holders;
      for (int t : tids) {
        const int* list = cdb.tran[t];
        if (list && std::find(list + 1, list + 1 + list[0], x) != list + 1 + list[0])
          holders.push_back(t);
      }
      EXPECT_EQ(List(cdb.item[x] + 1, cdb.item[x] + 1 + cdb.item[x][0]), holders) << "item " << x;
      text += " | x" + std::to_string(x) + ": " + Join(holders);
    }
    described.push_back(text);
  }
  static std::string Join(const List& list) {
    std::string text;
    for (size_t k = 0; k < list.size(); k++) text += (k ? " " : "") + std::to_string(list[k]);
    return text;
  }

  const Database::Rep& db_;
};

TEST(ExpandCdb, ProjectsTidsetOnLiveItems) {
  // The sub-level dataset of the worked examples below: start 0 on tids
  // {1,2,3}, its extension by item 1 on tids {2,3}, start 1 on tids {0,2,3}.
  {
    Session s("0 2\n2\n0\n0 1 2\n", {1, 0, 0, 2, kBipartite});
    CdbLog log(s);
    EXPECT_EQ(s.Start(), 3);
    EXPECT_EQ(log.described,
              (std::vector<std::string>{"1 2 3 | 1: 0 | 2: 0 1 | 3: 0 1 | x0: 1 2 3 | x1: 2 3",
                                        "2 3 | 2: 0 1 | 3: 0 1 | x0: 2 3 | x1: 2 3",
                                        "0 2 3 | 0: 1 | 2: 0 1 | 3: 0 1 | x0: 2 3 | x1: 0 2 3"}));
  }
  // Dead items leave the transactions and keep an empty list: item 2 dies in
  // the cdb of start 0 (tids {1,3}), item 0 in the cdb of the tidset {2,3}
  // narrowed without a cdb, where tid 3 is cut from the whole loaded {0,1,2}.
  {
    Session s("0 1 2\n0 2\n0\n1 2\n", {2, 0, 1, 2, kBipartite});
    CdbLog log(s);
    EXPECT_EQ(s.Start(), 2);
    EXPECT_EQ(log.described,
              (std::vector<std::string>{"1 3 | 1: 0 1 | 3: 0 1 | x0: 1 3 | x1: 1 3 | x2: ",
                                        "2 3 | 2: 1 2 | 3: 1 2 | x0:  | x1: 2 3 | x2: 2 3"}));
  }
  // Tolerances above 0 and graph type 1: only the checks above.
  const struct {
    const char* data;
    Parameters p;
  } others[] = {
      {"0 1 2\n0 1 2\n0 2\n2\n", {2, 1, 1, 2, kBipartite}},
      {"1 2 3\n0 2 3\n0 1 3\n0 1 2\n0 1 2 3\n", {1, 1, 1, 1, kBipartite}},
      {"3 4\n4\n3 4\n0 2 4\n0 1 2 3\n", {2, 1, 1, 3, kUndirected}},
      {"1 2 3\n0 2 3 4\n0 1 4\n0 1 4\n1 2 3\n", {2, 1, 1, 2, kUndirected}},
  };
  for (const auto& o : others) {
    SCOPED_TRACE(o.data);
    Session s(o.data, o.p);
    CdbLog log(s);
    s.Start();
    EXPECT_FALSE(log.described.empty());
  }
}

// ---------------------------------------------------------------------------
// Hand-worked datasets, end to end
// ---------------------------------------------------------------------------

struct Worked {
  const char* name;
  const char* data;
  Parameters p;
  const char* output;  // the output file, byte for byte
  int count;
  const char* trace;   // the full event trace, or null
  Lists skips;         // the skip events
};

const Worked kWorked[] = {
    // Lines {0,2} {2} {0} {0,1,2}; tolerances 0, isl 1, tsl 2. Item 1 is on one
    // line only and is cut. New items 0, 1 = old 2, 0; new tids 0..3 = lines
    // 2, 1, 3, 0, so tid 0 = {1}, 1 = {0}, 2 and 3 = {0,1}. Start 0: tids
    // {1,2,3}, closure {0}: ({1,2,3},{0}); extension item 1 on tids {2,3}
    // gives a sub-level cdb where prefix item 0 joins: ({2,3},{0,1}), the
    // cdb then has exactly tsl tids and is not extended. Start 1: ({0,2,3},{1}).
    // Each pair is maximal: any further line or item misses a member.
    // Written in trie order {0}, {0,1}, {1}, in old ids.
    {"SubLevelBipartite", "0 2\n2\n0\n0 1 2\n", {1, 0, 0, 2, kBipartite},
     "0 1 3 ;2 \n0 3 ;0 2 \n0 2 3 ;0 \n", 3,
     "E() V(0) R(0) E() V(1) V(1,0) R(0,1) E() V(1) R(1)", {}},
    // Lines {0,1,2} {0,2} {0} {1,2}; isl 2, itemTolerance 0, transactionTolerance
    // 1, tsl 2. New items 0, 1, 2 = old 1, 2, 0; new tids 0..3 = lines 2, 3, 1,
    // 0, so tid 0 = {2}, 1 = {0,1}, 2 = {1,2}, 3 = {0,1,2}. Start 0: tids {1,3},
    // item 2 dies, ({1,3},{0,1}). Start 1: tids {1,2,3} keep every transaction
    // (each lacks at most one live item) but only item 1 is fully tolerated:
    // narrowed without a cdb by item 2 to tids {2,3}, where 1 and 2 form
    // ({2,3},{1,2}). Old ids: lines {0,3} with items {1,2}, lines {0,1} with
    // items {0,2}; no other line holds both items of either pair.
    {"SkipBipartite", "0 1 2\n0 2\n0\n1 2\n", {2, 0, 1, 2, kBipartite}, "0 3 ;1 2 \n0 1 ;0 2 \n", 2,
     "E() V(0) V(0,1) R(0,1) E() S(1) E() V(2) V(2,1) R(1,2)", {{1}}},
    // Lines 0, 1 = {0,1,2}, line 2 = {0,2}, line 3 = {2}; both tolerances 1,
    // isl 2, tsl 2. Maximal pairs: (lines {0,1,2}, items {0,1,2}) with line 2
    // lacking 1; (lines {0,1,2,3}, items {0,2}) with line 3 lacking 0, item 1
    // would miss two lines; (lines {0,1,3}, items {1,2}) with line 3 lacking
    // 1, line 2 would make item 1 miss two lines, item 0 would make line 3
    // lack two. New items 0, 1, 2 = old 1, 0, 2: the itemsets are {0,1,2},
    // {0,2} and {1,2} in new ids, written in that trie order.
    {"TolerancesBipartite", "0 1 2\n0 1 2\n0 2\n2\n", {2, 1, 1, 2, kBipartite},
     "0 1 2 ;0 1 2 \n0 1 3 ;1 2 \n0 1 2 3 ;0 2 \n", 3, nullptr, {}},
    // Edges 0-3 0-4 1-4 2-3 2-4 3-4; both tolerances 1, isl 2, tsl 3. With
    // five vertices a pair is a split into three and two; only ({0,1,2},{3,4})
    // qualifies (vertex 1 misses 3 once; every other split has a vertex
    // missing two). New ids 0..4 = old 1, 2, 0, 3, 4 (ascending degree):
    // start 1 evaluates {3,4} plus tid 0, then plus tid 2; start 2 plus 0, then
    // 1; vertex 0 (degree 1) cannot start. Start 3 adds tid 0; its cdb
    // {0,1,2,4} has closure {3} and tail {4}, and the sub level on tids
    // {0,1,2} with prefix 3 finds the pair.
    {"SubLevelUndirected", "3 4\n4\n3 4\n0 2 4\n0 1 2 3\n", {2, 1, 1, 3, kUndirected}, "0 1 2 ;3 4 \n",
     1, "E(0) V(1) E(2) E(0) E(1) E(0) E() V(4) V(4,3) R(3,4)", {}},
    // Edges 0-2 0-3 1-2 1-3 2-3; isl 2, itemTolerance 0, transactionTolerance
    // 1, tsl 1. Bicliques with two vertices a side: only {0,1} with {2,3}.
    // New ids 0..3 = old 1, 0, 3, 2. Start 2 keeps tids {0,1,3} (tid 3 lacks
    // only item 3), where only item 2 is fully tolerated: the tidset is
    // narrowed without a cdb. Both orientations are stored; the one met later
    // in the trie, tids {0,1}, is written.
    {"SkipUndirected", "2 3\n2 3\n0 1 3\n0 1 2\n", {2, 0, 1, 1, kUndirected}, "0 1 ;2 3 \n", 1, nullptr,
     {{2}}},
};

TEST(EndToEndSearch, HandWorkedDatasets) {
  for (const Worked& w : kWorked) {
    SCOPED_TRACE(w.name);
    const Parameters& p = w.p;
    qbtest::RunResult run = RunOn(w.data, p);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.output, w.output);
    std::string countline = "Total number of quasi-bicliques:" + std::to_string(w.count) + "\n";
    EXPECT_EQ(run.out.substr(0, countline.size()), countline);

    Session s(w.data, p);
    EXPECT_EQ(s.Start(), w.count);
    if (w.trace) {
      EXPECT_EQ(s.rec.Trace(), w.trace);
    }
    EXPECT_EQ(s.rec.Of(kEventSkipBuildCdb), w.skips);
  }
}

// ---------------------------------------------------------------------------
// The walk on several threads
// ---------------------------------------------------------------------------

// Every pair handed over, in order; notes a call made while another is
// still running.
class SequenceSink final : public PairSink {
 public:
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    if (busy_.exchange(true)) overlapped = true;
    pairs.emplace_back(List(tids, tids + ntids), List(items, items + nitems));
    busy_.store(false);
  }
  std::vector<std::pair<List, List>> pairs;
  bool overlapped = false;

 private:
  std::atomic<bool> busy_{false};
};

// Random datasets, some with dozens of start items and low support levels:
// the walk on 2, 3 and 8 workers hands the sink the very sequence of pairs
// the walk on one thread does, one call at a time.
TEST(SearchOnThreads, SameSequenceOfPairsAsOneThread) {
  std::mt19937 rng(9101u);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  int nonempty = 0, manystarts = 0;
  const int cases = 60;
  for (int k = 0; k < cases && !::testing::Test::HasFailure(); k++) {
    const GraphType graph = k % 3 == 2 ? kUndirected : kBipartite;
    const bool wide = k % 2 == 1;  // many items, low supports: many start items
    // Wide datasets are sparse, with tolerances of at most one and at least
    // two transactions per result, or the walk's item side takes long.
    int lines = uniform(4, 12), items = uniform(3, 10);
    if (wide) {
      lines = graph == kUndirected ? uniform(16, 22) : uniform(8, 12);
      items = uniform(24, 32);
    }
    const double density = wide ? std::uniform_real_distribution<double>(0.2, 0.35)(rng)
                                : std::uniform_real_distribution<double>(0.3, 0.7)(rng);
    std::bernoulli_distribution has(density);
    qbtest::Rows rows(lines);
    for (int t = 0; t < lines; t++) {
      if (graph == kUndirected) {
        for (int v = t + 1; v < lines; v++) {
          if (has(rng)) rows[t].push_back(v), rows[v].push_back(t);
        }
      } else {
        for (int i = 0; i < items; i++) {
          if (has(rng)) rows[t].push_back(i);
        }
      }
    }
    for (auto& row : rows) std::sort(row.begin(), row.end());
    Parameters p{uniform(1, 4), uniform(0, 2), uniform(0, 2), uniform(0, 4), graph,
                 kSearchTolerance};
    if (wide) p = Parameters{uniform(1, 2), uniform(0, 1), uniform(0, 1), uniform(2, 3), graph,
                             kSearchTolerance};
    const std::string content = qbtest::DatasetText(rows);
    SCOPED_TRACE("case " + std::to_string(k) + ": arguments " +
                 std::to_string(p.item_supportLevel) + " " + std::to_string(p.itemTolerance) +
                 " " + std::to_string(p.transactionTolerance) + " " +
                 std::to_string(p.transaction_supportLevel) + " " + std::to_string(graph) +
                 ", dataset:\n" + content);
    Session s(content, p);
    s.context->observer = SearchObserver{};  // nothing recorded: the sinks compare
    SequenceSink serial;
    WalkTolerances(s.rep(), s.options, serial, *s.context);
    if (!serial.pairs.empty()) nonempty++;
    if (s.rep().itemnum >= 20) manystarts++;
    for (int threads : {2, 3, 8}) {
      const tbb::global_control workers(tbb::global_control::max_allowed_parallelism, threads);
      SequenceSink parallel;
      WalkTolerancesOnThreads(s.rep(), s.options, parallel, threads);
      EXPECT_FALSE(parallel.overlapped) << threads << " threads";
      EXPECT_EQ(parallel.pairs.size(), serial.pairs.size()) << threads << " threads";
      EXPECT_TRUE(parallel.pairs == serial.pairs) << threads << " threads";
    }
  }
  EXPECT_GE(nonempty * 10, cases * 6) << nonempty << " of " << cases << " cases had pairs";
  EXPECT_GE(manystarts * 4, cases) << manystarts << " cases had 20 items or more";
}

// Datasets with one or two start items and many transactions lacking them:
// once no start item is left, the idle workers join the one being walked,
// each taking its next top-level combinations; the sink still sees the
// sequence of one thread.
TEST(SearchOnThreads, WorkersJoiningAStartItemKeepTheSequence) {
  std::mt19937 rng(77u);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  int nonempty = 0;
  const int cases = 12;
  for (int k = 0; k < cases && !::testing::Test::HasFailure(); k++) {
    const int lines = uniform(24, 40), items = uniform(5, 7);
    std::bernoulli_distribution has(std::uniform_real_distribution<double>(0.5, 0.8)(rng));
    qbtest::Rows rows(lines);
    for (int t = 0; t < lines; t++) {
      for (int i = 0; i < items; i++) {
        if (has(rng)) rows[t].push_back(i);
      }
    }
    // Every item from the first (or the second) on is needed: one or two
    // start items.
    const Parameters p{items - k % 2, uniform(1, 2), uniform(1, 2), 2, kBipartite,
                       kSearchTolerance};
    const std::string content = qbtest::DatasetText(rows);
    SCOPED_TRACE("case " + std::to_string(k) + ", dataset:\n" + content);
    Session s(content, p);
    s.context->observer = SearchObserver{};
    SequenceSink serial;
    WalkTolerances(s.rep(), s.options, serial, *s.context);
    if (!serial.pairs.empty()) nonempty++;
    for (int threads : {2, 3, 8}) {
      const tbb::global_control workers(tbb::global_control::max_allowed_parallelism, threads);
      for (int round = 0; round < 3; round++) {
        SequenceSink parallel;
        WalkTolerancesOnThreads(s.rep(), s.options, parallel, threads);
        EXPECT_FALSE(parallel.overlapped) << threads << " threads";
        EXPECT_TRUE(parallel.pairs == serial.pairs) << threads << " threads, round " << round;
      }
    }
  }
  EXPECT_GE(nonempty * 2, cases) << nonempty << " of " << cases << " cases had pairs";
}

// A sink that runs out of memory at its `limit`-th pair.
class ExhaustingSink final : public PairSink {
 public:
  explicit ExhaustingSink(int limit) : left_(limit) {}
  void Add(const int*, int, const int*, int) override {
    if (--left_ <= 0) OutOfMemory("the test's sink is full");
  }

 private:
  int left_;
};

// Running out of memory while a start item's pairs are handed on ends the
// walk on several workers with that failure; the others stop at their next
// start item instead of walking the rest.
TEST(SearchOnThreads, EndsOnOneWorkersFailure) {
  std::string content;
  for (int t = 0; t < 9; t++) {
    for (int i = 0; i < 16; i++) {
      if ((t * 5 + i * 7) % 4 != 0) content += std::to_string(i) + " ";
    }
    content += "\n";
  }
  const Parameters p{2, 1, 1, 2, kBipartite, kSearchTolerance};
  Session s(content, p);
  s.context->observer = SearchObserver{};
  SequenceSink all;
  WalkTolerances(s.rep(), s.options, all, *s.context);
  ASSERT_GE(all.pairs.size(), 100u);
  // At every point of the sequence: the failing pair may come from the
  // head's walk or from pairs kept by a later start item and handed on when
  // it becomes the head; either way every worker stops.
  const int total = static_cast<int>(all.pairs.size());
  for (int threads : {2, 3}) {
    const tbb::global_control workers(tbb::global_control::max_allowed_parallelism, threads);
    for (int limit = 1; limit <= total; limit += 1 + limit / 8) {
      ExhaustingSink sink(limit);
      EXPECT_THROW(WalkTolerancesOnThreads(s.rep(), s.options, sink, threads), MemoryExhausted)
          << threads << " threads, failing at pair " << limit << " of " << total;
    }
  }
}

}  // namespace

// The search: the order of tolerance combinations on the transaction side, the
// order of item-set visits and reports on the item side, the layout of a
// conditional database, and hand-worked datasets run end to end. The search is
// observed through Transactiondb::hook; ids in hook events are new ids, so each
// dataset below notes its renumbering (ascending support or count, ties to the
// higher old id first).
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "expand.h"
#include "test_util.h"

namespace {

using List = std::vector<int>;
using Lists = std::vector<List>;

struct Params {
  int isl, it, tt, tsl;  // item_supportLevel, itemTolerance, transactionTolerance,
                         // transaction_supportLevel
  int graph;
};

// Every hook event, in the order the search reported it.
struct Recorder {
  std::vector<std::pair<SearchEvent, List>> events;
  // The last conditional database seen: tids, per-tid and per-item counted
  // lists ({-1} for a null entry).
  struct Cdb {
    List tids;
    Lists tran, item;
  } cdbs;

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

// A database loaded from `content` the way the driver loads it, with the
// recorder attached; everything is released when the session ends.
class Session {
 public:
  Session(const std::string& content, Params p) {
    Data data(dir_.Write("d.txt", content).c_str());
    // The hooks observe the tolerance walk.
    Parameters parameters{p.isl, p.it, p.tt, p.tsl, p.graph, kSearchTolerance};
    db = LoadDatabase(parameters, data).db;
    EXPECT_NE(db, nullptr);
    db->hook = Record;
    db->hookcontext = &rec;
  }
  ~Session() {
    db->FreeMem();
    graphtype = 0;
  }

  // The tolerance walk of one start item, cut off right after each
  // evaluation is announced when item_supportLevel is out of reach.
  Lists Walk(int item) {
    rec.events.clear();
    long long before = Arraypagepos;
    int* all = ArenaTake(db->tidnum);
    std::iota(all, all + db->tidnum, 0);
    db->Enumeratecdb(db->tranlist, db->tidnum, item, db->itemlist, all);
    ArenaRelease(db->tidnum);
    EXPECT_EQ(Arraypagepos, before);
    return rec.Of(kEventEvaluate);
  }

  // Start() with the count it returns; the arena must be back where it was.
  int Start() {
    long long before = Arraypagepos;
    int count = db->Start();
    EXPECT_EQ(Arraypagepos, before) << "Start() moved the arena position";
    return count;
  }

  std::unique_ptr<Transactiondb> db;
  Recorder rec;

 private:
  qbtest::TempDir dir_;
};

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
    Session s(c.data, {100, c.it, 100, 0, c.graph});
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
    Session s("1 2\n0 2\n0 1\n0 1 2\n", {2, 1, 0, 1, 0});
    EXPECT_EQ(s.Start(), 3);  // the single-tid result is not written
    EXPECT_EQ(s.rec.Of(kEventVisit), (Lists{{0}, {0, 1}, {0, 1, 2}, {0, 2}, {1}, {1, 2}}));
    EXPECT_EQ(s.rec.Of(kEventReport), (Lists{{0, 1, 2}, {0, 1}, {0, 2}, {1, 2}}));
  }
  // Two lines holding all three items: every node is lossless. {x0,x1,x2}
  // ends the chain, which stops {x0} before {x0,x2} and the start loop before
  // x1; {x0,x1} and {x0} have a lossless child and are not reported.
  {
    Session s("0 1 2\n0 1 2\n", {2, 0, 0, 2, 0});
    EXPECT_EQ(s.Start(), 1);
    EXPECT_EQ(s.rec.Of(kEventVisit), (Lists{{0}, {0, 1}, {0, 1, 2}}));
    EXPECT_EQ(s.rec.Of(kEventReport), (Lists{{0, 1, 2}}));
  }
}

// Closure c0 < c1 = items 0, 1 and prefix p0 < p1 = items 2, 3, driven
// directly on the whole loaded database as the cdb, from start positions 0
// and 1; transactionTolerance 0, so a node loses every tid lacking its item.
TEST(SearchItemsets, SubLevelVisitOrder) {
  struct Case {
    const char* data;
    int tsl;
    Lists visits;
  } cases[] = {
      // Every 3-subset of {0,1,2,3} plus the full set: each node loses the
      // 3-subset without its item and keeps the full set, so no node is
      // lossless and no loop stops (the data is symmetric under renumbering).
      {"1 2 3\n0 2 3\n0 1 3\n0 1 2\n0 1 2 3\n", 1,
       {{0}, {0, 1}, {0, 1, 2}, {0, 1, 2, 3}, {0, 1, 3}, {0, 2}, {0, 2, 3}, {0, 3},
        {1}, {1, 2}, {1, 2, 3}, {1, 3}}},
      // Supports 2, 3, 4, 5 keep the ids. Every tid holding 0 holds all items,
      // so {0,1}, {0,1,2}, {0,1,2,3} are lossless and the chain ends at p1: the
      // first closure child of {0} stops its loop and no prefix item is tried
      // from {0}. Likewise every tid holding 1 holds 2 and 3: {1,3} is cut.
      {"0 1 2 3\n0 1 2 3\n1 2 3\n2 3\n3\n", 2,
       {{0}, {0, 1}, {0, 1, 2}, {0, 1, 2, 3}, {1}, {1, 2}, {1, 2, 3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    Session s(c.data, {1, 0, 0, c.tsl, 0});
    Transactiondb& db = *s.db;
    ASSERT_EQ(db.itemnum, 4);
    db.tree.Initialize(db.itemnum + 1, db.tidnum + 1);
    List tids(db.tidnum), tidhits(db.tidnum, 0), itembuf(db.itemnum);
    std::iota(tids.begin(), tids.end(), 0);
    List closure = {0, 1}, prefix = {2, 3};
    int dropped = 0, extended = 0, fullchain = 0;
    long long before = Arraypagepos;
    for (int k = 0; k < 2; k++) {
      db.ItemsetClosureNoSizeRestraintSub(dropped, prefix.data(), 2, db.tidnum,
                                          tidhits.data(), closure.data(), 2, k, db.itemlist,
                                          tids.data(), 1, itembuf.data(), extended, fullchain);
    }
    EXPECT_EQ(Arraypagepos, before);
    EXPECT_EQ(s.rec.Of(kEventVisit), c.visits);
    db.tree.FreeTree();
  }
}

// ---------------------------------------------------------------------------
// Conditional database layout
// ---------------------------------------------------------------------------

// Five items, tidset {2, 5}, transaction 2 = {0,1,4}, transaction 5 = {1,4},
// live items 1 and 4. No loaded database can number transaction 5 above the
// longer transaction 2, so the loaded lists are replaced by hand-made ones.
TEST(ExpandCdb, ProjectsTidsetOnLiveItems) {
  const char* data = "2 3\n3\n0 1 4\n2\n3\n1 4\n";
  Session s(data, {1, 0, 0, 1, 0});
  Transactiondb& db = *s.db;
  ASSERT_EQ(db.tidnum, 6);
  ASSERT_EQ(db.itemnum, 5);
  Lists tran = {{2, 2, 3}, {1, 3}, {3, 0, 1, 4}, {1, 2}, {1, 3}, {2, 1, 4}};
  Lists items = {{1, 2}, {2, 2, 5}, {2, 0, 3}, {3, 0, 1, 4}, {2, 2, 5}};
  for (int t = 0; t < 6; t++) db.tranlist[t] = tran[t].data();
  for (int x = 0; x < 5; x++) db.itemlist[x] = items[x].data();
  db.tree.Initialize(db.itemnum + 1, db.tidnum + 1);

  db.cdbhook = [](void* context, const Cdb& cdb) {
    Recorder::Cdb& out = static_cast<Recorder*>(context)->cdbs;
    auto counted = [](const int* list) { return list ? List(list, list + list[0] + 1) : List{-1}; };
    out.tids.assign(cdb.tids, cdb.tids + cdb.tidnum);
    for (int t = 0; t < 6; t++) out.tran.push_back(counted(cdb.tran[t]));
    for (int x = 0; x < 5; x++) out.item.push_back(counted(cdb.item[x]));
  };
  List tidlive = {0, 0, 2, 0, 0, 2}, itemcount = {0, 2, 0, 0, 2};
  long long before = Arraypagepos;
  db.Build_cdb(tidlive.data(), itemcount.data(), 1);
  EXPECT_EQ(Arraypagepos, before);
  // The item side saw closure {1, 4} over both tids and reported the pair.
  EXPECT_EQ(s.rec.Trace(), "V(1) V(1,4) R(1,4)");
  const Recorder::Cdb& cdb = s.rec.cdbs;
  EXPECT_EQ(cdb.tids, (List{2, 5}));
  EXPECT_EQ(cdb.tran, (Lists{{-1}, {-1}, {2, 1, 4}, {-1}, {-1}, {2, 1, 4}}));
  EXPECT_EQ(cdb.item, (Lists{{0}, {2, 2, 5}, {0}, {0}, {2, 2, 5}}));
  db.tree.FreeTree();
}

// ---------------------------------------------------------------------------
// Hand-worked datasets, end to end
// ---------------------------------------------------------------------------

struct Worked {
  const char* name;
  const char* data;
  Params p;
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
    {"SubLevelBipartite", "0 2\n2\n0\n0 1 2\n", {1, 0, 0, 2, 0},
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
    {"SkipBipartite", "0 1 2\n0 2\n0\n1 2\n", {2, 0, 1, 2, 0}, "0 3 ;1 2 \n0 1 ;0 2 \n", 2,
     "E() V(0) V(0,1) R(0,1) E() S(1) E() V(2) V(2,1) R(1,2)", {{1}}},
    // Lines 0, 1 = {0,1,2}, line 2 = {0,2}, line 3 = {2}; both tolerances 1,
    // isl 2, tsl 2. Maximal pairs: (lines {0,1,2}, items {0,1,2}) with line 2
    // lacking 1; (lines {0,1,2,3}, items {0,2}) with line 3 lacking 0, item 1
    // would miss two lines; (lines {0,1,3}, items {1,2}) with line 3 lacking
    // 1, line 2 would make item 1 miss two lines, item 0 would make line 3
    // lack two. New items 0, 1, 2 = old 1, 0, 2: the itemsets are {0,1,2},
    // {0,2} and {1,2} in new ids, written in that trie order.
    {"TolerancesBipartite", "0 1 2\n0 1 2\n0 2\n2\n", {2, 1, 1, 2, 0},
     "0 1 2 ;0 1 2 \n0 1 3 ;1 2 \n0 1 2 3 ;0 2 \n", 3, nullptr, {}},
    // Edges 0-3 0-4 1-4 2-3 2-4 3-4; both tolerances 1, isl 2, tsl 3. With
    // five vertices a pair is a split into three and two; only ({0,1,2},{3,4})
    // qualifies (vertex 1 misses 3 once; every other split has a vertex
    // missing two). New ids 0..4 = old 1, 2, 0, 3, 4 (ascending degree):
    // start 1 evaluates {3,4} plus tid 0, then plus tid 2; start 2 plus 0, then
    // 1; vertex 0 (degree 1) cannot start. Start 3 adds tid 0; its cdb
    // {0,1,2,4} has closure {3} and tail {4}, and the sub level on tids
    // {0,1,2} with prefix 3 finds the pair.
    {"SubLevelUndirected", "3 4\n4\n3 4\n0 2 4\n0 1 2 3\n", {2, 1, 1, 3, 1}, "0 1 2 ;3 4 \n",
     1, "E(0) V(1) E(2) E(0) E(1) E(0) E() V(4) V(4,3) R(3,4)", {}},
    // Edges 0-2 0-3 1-2 1-3 2-3; isl 2, itemTolerance 0, transactionTolerance
    // 1, tsl 1. Bicliques with two vertices a side: only {0,1} with {2,3}.
    // New ids 0..3 = old 1, 0, 3, 2. Start 2 keeps tids {0,1,3} (tid 3 lacks
    // only item 3), where only item 2 is fully tolerated: the tidset is
    // narrowed without a cdb. Both orientations are stored; the one met later
    // in the trie, tids {0,1}, is written.
    {"SkipUndirected", "2 3\n2 3\n0 1 3\n0 1 2\n", {2, 0, 1, 1, 1}, "0 1 ;2 3 \n", 1, nullptr,
     {{2}}},
};

TEST(EndToEndSearch, HandWorkedDatasets) {
  for (const Worked& w : kWorked) {
    SCOPED_TRACE(w.name);
    const Params& p = w.p;
    qbtest::TempDir dir;
    std::string out = dir.File("out.txt");
    qbtest::RunResult run = qbtest::RunProgram(
        QB_BINARY,
        {dir.Write("d.txt", w.data), std::to_string(p.isl), std::to_string(p.it),
         std::to_string(p.tt), std::to_string(p.tsl), std::to_string(p.graph), out},
        dir, out);
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

}  // namespace

// The miner: the transaction database, its loading and pruning, the
// transaction-side enumeration (tolerance combinations, pruning, conditional
// databases) and the itemset closure enumeration.
#ifndef QUASIBICLIQUE_EXPAND_H
#define QUASIBICLIQUE_EXPAND_H

#include <cstdio>
#include <memory>

#include "data.h"
#include "pools.h"
#include "result_store.h"
#include "sets.h"

// Events a test can observe through Transactiondb::hook.
enum SearchEvent {
  kEventEvaluate,      // a tolerance combination is evaluated: (addlist, addnum)
  kEventVisit,         // an item-set node is visited: (itembuf, depth)
  kEventReport,        // a pair passed every check: (items, depth)
  kEventSkipBuildCdb,  // a tidset is narrowed without a cdb: (&item, 1)
};
using SearchHook = void (*)(void* context, SearchEvent event, const int* list, int n);

// Why FillTran refused a dataset (details in loaderrorline, loaderrorvalue).
enum LoadStatus {
  kLoadOk = 0,
  kLoadVertexOutOfRange,  // graph type 1: a vertex id not below the line count
  kLoadAsymmetric,        // graph type 1: u lists v but v does not list u
};

// A conditional database: the database projected on one pruned tidset.
//   tran[t]  : for each tid t of the cdb, counted list [k | live items], ascending
//   item[x]  : for each item x, counted list [m | cdb tids holding x], ascending
//   tids     : the cdb's tids, ascending, tidnum of them
struct Cdb {
  int** tran;
  int tidnum;
  int** item;
  int* tids;
};

// Which search mines: the exact search wherever its output is the one
// required (see InExactRegime), else the tolerance walk; or either forced.
enum SearchChoice { kSearchAuto = 0, kSearchExact, kSearchTolerance };

// The numeric arguments of a run, parsed once, and the search it asked for.
struct Parameters {
  int item_supportLevel = 0;         // fewest items of a result
  int itemTolerance = 0;             // transactions of a result any item may miss
  int transactionTolerance = 0;      // items of a result any transaction may lack
  int transaction_supportLevel = 0;  // fewest transactions of a result
  int graphtype = 0;                 // 0 bipartite graph, 1 undirected graph
  SearchChoice search = kSearchAuto;
};

class Transactiondb {
 public:
  // Sizes the database for a dataset that `data` has counted; for graph type
  // 1 the items are the vertices, so itemsize is the line count.
  Transactiondb(const Parameters& p, const Data& data);

  // Loads, prunes, renumbers and fills tranlist. Returns kLoadOk or the reason
  // the dataset was refused.
  LoadStatus FillTran(Data& data);
  void InitialiseItemlist();
  void PrepareItemlist();
  // Mines, then flushes standard output and writes the results to outfile
  // when it is set (the caller closes it). Returns the number of
  // quasi-bicliques, or -1 when a write failed (its errno in writeerror).
  int Start();
  void FreeMem();

  // ----- loading (expand_load.cpp) -----
  void Pruning(int** records);
  void CountingSortAscending(int** records);
  void PrepareDB(int** records);

  // ----- transaction side (expand_tids.cpp) -----
  // Walks the start item's tolerance combinations on the loaded database
  // (tranlist, itemlist); alltids: its tidnum tids, ascending.
  void Enumeratecdb(int** tranlist, int tidnum, int item, int** itemlist, int* alltids);
  // The same for an extension item inside a cdb; itemmark: the items of the
  // item set below it.
  void Enumeratecdb_sub(const Cdb& cdb, int item, int* itemmark);

  // ----- item side (expand_items.cpp) -----
  // Returns 1 when no transaction of the loaded database outside tids can
  // join the pair (tids, items) within both tolerances; both ascending.
  int CheckSet(int* tids, int ntids, int* items, int depth);

  // ----- parameters -----
  int item_supportLevel;         // fewest items of a result
  int itemTolerance;             // transactions of a result any item may miss
  int transactionTolerance;      // items of a result any transaction may lack
  int transaction_supportLevel;  // fewest transactions of a result

  // ----- loaded database -----
  int tidcount;       // lines as read
  int itemsize;       // old item ids: largest number + 1 (graph type 1: tidcount)
  int tidnum = 0;     // transactions that survive pruning
  int itemnum = 0;    // items that survive pruning
  int* itemsupport;   // itemsize ints (arena), per old item: live transactions holding it
  int* itemnewid;     // itemsize ints (arena), old item -> new item, -1 if pruned
  int* tidnewid;      // tidcount ints (arena), old tid -> new tid, -1 if pruned
  int* itemoldid;     // itemsize ints (arena), new item -> old item, -1 from itemnum on
  int* tidoldid;      // tidcount ints (arena), new tid -> old tid, -1 from tidnum on
  int** tranlist;     // tidcount + 1 (heap), new tid -> [n | new items], ascending
  int** itemlist = nullptr;  // itemnum (heap), new item -> [s | new tids], ascending

  // ----- pools -----
  PagePool tranpool;           // records indexed by tid
  PagePool itempool;           // records indexed by item
  PointerArrayPool tidarrays;  // tidcount entries + link
  PointerArrayPool itemarrays; // itemnum entries + link
  IntPage* tranlistpage = nullptr;  // first page of the permanent tranlist chain
  IntPage* itemlistpage = nullptr;  // first page of the permanent itemlist chain

  // Persistent scratch of CheckSet, all zero between calls: tidnum ints.
  int* outsidemark = nullptr;

  quasibiclique::ResultStore results;  // what the search found, until Start writes it
  FILE* outfile = nullptr;  // where Start writes the results; the driver opens and closes it
  int writeerror = 0;       // errno of a failed write of outfile
  SearchChoice search = kSearchAuto;

  // Details of a refused dataset: 1-based line and the vertices involved.
  int loaderrorline = 0;
  int loaderrorvalue = 0;

  // Test hooks: observe the search when set. cdbhook sees every conditional
  // database just before the item side works on it.
  SearchHook hook = nullptr;
  void (*cdbhook)(void* context, const Cdb& cdb) = nullptr;
  void* hookcontext = nullptr;

 private:
  struct TidWalk;
  struct TidsetCounts;
  struct ItemLevel;
  struct ItemNode;
  struct NodeFlags;
  struct Siblings;
  enum Level { kTop, kSub, kVirtual };
  enum TrimResult { kTrimRejected, kTrimSettled, kTrimChanged };

  // Threshold tests in 64-bit arithmetic so that no parameter can overflow.
  bool PassesItemTest(int count) const {
    return static_cast<long long>(count) + itemTolerance >= transaction_supportLevel;
  }
  bool PassesTransactionTest(int live) const {
    return static_cast<long long>(live) + transactionTolerance >= item_supportLevel;
  }
  bool FullyTolerated(int n, int count) const { return n - count <= itemTolerance; }
  // The fewest transactions an item passing the item test holds, for loops
  // that keep it in a local.
  long long ItemTestNeed() const {
    return static_cast<long long>(transaction_supportLevel) - itemTolerance;
  }

  bool UsesExactSearch() const;
  void MineExact();
  void MineTolerance();
  LoadStatus ReadRecords(Data& data, int** records);
  LoadStatus CheckSymmetric(int** records);
  void CountSupports(int** records);

  // Transaction side.
  void WalkItem(TidWalk& walk, ListView tids);
  void WalkTolerance(TidWalk& walk);
  void DepthFirstEnumerateTid(TidWalk& walk, int candindex, int adding);
  void EvaluateTidset(const TidWalk& walk, int added);
  TrimResult Trim_tidset_sub(const TidWalk& walk, TidsetCounts& counts, int added);
  int TrimTransaction(const TidWalk& walk, TidsetCounts& counts, int t) const;
  int Prune_sub(const TidWalk& walk, TidsetCounts& counts);
  int LiveItemCount(int* list, int* itemcount, int item, int* itemmark) const;
  void RemoveTransaction(int* list, int t, int* itemcount, int* tidlive) const;
  // total: the items that pass the item test and may join the item set;
  // killed: some item was killed.
  struct ItemPassResult {
    int total;
    bool killed;
  };
  ItemPassResult ItemPass(int item, TidsetCounts& counts) const;
  void DescendInto(const TidWalk& walk, int* tids, int ntids, const TidsetCounts& counts);
  void BuildCdb(const TidWalk& walk, int* tids, int ntids, const int* itemcount,
                int* itemmark);
  void FillCdb(const TidWalk& walk, const int* itemcount, Cdb& cdb);
  void SkipBuildCdb(int item, ListView tidset, int* itemcount, int* itemmark);
  void EnumerateWithoutCdb(ListView tidset, int item, int* itemmark);

  // Item side.
  void EnumerateItemsets(const Cdb& cdb, int* itemmark, int x, Level level);
  int ClassifyItems(ItemLevel& lv) const;
  void VisitStarts(ItemLevel& lv, const ItemNode& root);
  NodeFlags VisitItemset(ItemLevel& lv, const ItemNode& parent, int index, bool chain);
  int KeepTids(const ItemNode& parent, ListView holders, int* hits, int* kept) const;
  bool VisitChildren(ItemLevel& lv, const ItemNode& node, int from, int to, Siblings& kids);
  void ExtendItemsets(const ItemLevel& lv);
  void ReportIfClosed(const ItemLevel& lv, const ItemNode& node);
  int CheckHiddenItems(const ItemLevel& lv, const ItemNode& node) const;
  int CheckPrefixPreservingSub(const ItemLevel& lv, const ItemNode& node,
                               const int* items) const;
  int MissingIfAdded(const ItemLevel& lv, const ItemNode& node, int x) const;
  void Notify(SearchEvent event, const int* list, int n) const {
    if (hook) hook(hookcontext, event, list, n);
  }

  // Loading bounds: a line (live transaction) is cut when its count is below
  // transactionbound, an item when its support is below itembound.
  long long transactionbound = 0;
  long long itembound = 0;
};

// A loaded database ready to mine, or no database and why the dataset was
// refused: by the reader (readstatus; for kReadError the errno in readerror)
// or by the loader (loadstatus), with the 1-based line and the vertex id
// involved.
struct LoadResult {
  std::unique_ptr<Transactiondb> db;
  Data::Status readstatus = Data::kOk;
  int readerror = 0;
  LoadStatus loadstatus = kLoadOk;
  int errorline = 0;
  int errorvalue = 0;
  int lines = 0;  // lines of the dataset, once counted
};

// The one way a dataset is loaded: counts the opened `data`, sets graphtype,
// reserves the int arena, fills, prunes and renumbers the database and builds
// its item lists; the reader's copy of the file is given back. A refused
// dataset leaves no memory taken. The caller ends a loaded database with
// db->FreeMem().
LoadResult LoadDatabase(const Parameters& p, Data& data);

#endif  // QUASIBICLIQUE_EXPAND_H

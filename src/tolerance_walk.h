// The tolerance walk's own state and steps, shared by its two halves: the
// transaction side (expand_tids.cpp) and the item side (expand_items.cpp).
// Only the walk's unit includes this file; others use expand.h.
#ifndef QUASIBICLIQUE_TOLERANCE_WALK_H
#define QUASIBICLIQUE_TOLERANCE_WALK_H

#include "expand.h"

namespace quasibiclique {

class ToleranceWalk {
 public:
  ToleranceWalk(const Database::Rep& db, const Options& options, PairSink& sink,
                RunContext& context);
  ToleranceWalk(const ToleranceWalk&) = delete;
  ToleranceWalk& operator=(const ToleranceWalk&) = delete;

  // Walks the start item's tolerance combinations on the loaded database;
  // alltids: its tidnum tids, ascending.
  void Enumeratecdb(int item, int* alltids);

  // An item passes the item test when its count over a tidset plus
  // itemTolerance reaches transaction_supportLevel (in 64-bit arithmetic, so
  // that no parameter can overflow).
  bool PassesItemTest(int count) const {
    return PassesItemTest(count, itemTolerance, transaction_supportLevel);
  }
  static bool PassesItemTest(int count, int itemTolerance, int transaction_supportLevel) {
    return static_cast<long long>(count) + itemTolerance >= transaction_supportLevel;
  }

 private:
  struct TidWalk;
  struct TidsetCounts;
  struct ItemLevel;
  struct ItemNode;
  struct NodeFlags;
  struct Siblings;
  enum Level { kTop, kSub, kVirtual };
  enum TrimResult { kTrimRejected, kTrimSettled, kTrimChanged };

  // ----- parameters -----
  const int item_supportLevel;         // fewest items of a result
  const int itemTolerance;             // transactions of a result any item may miss
  const int transactionTolerance;      // items of a result any transaction may lack
  const int transaction_supportLevel;  // fewest transactions of a result
  const bool undirected;               // graph type 1: tid k and item k are one vertex

  // ----- the loaded database (read only) -----
  const int tidnum;
  const int itemnum;
  int** const tranlist;  // new tid -> [n | new items], ascending
  int** const itemlist;  // new item -> [s | new tids], ascending

  // ----- the run's working memory and where results go -----
  Arena& arena;
  PagePool& tranpool;
  PagePool& itempool;
  PointerArrayPool& tidarrays;
  PointerArrayPool& itemarrays;
  int* const outsidemark;  // tidnum ints, all zero between CheckSet calls
  const SearchObserver& observer;
  const RunMonitor* const monitor;
  TopClaims* const claims;  // null: every top-level combination is walked here
  PairSink& sink;
  int noholders[1] = {0};  // the one empty holder list of a cdb's dead items; never written

  // Threshold tests in 64-bit arithmetic so that no parameter can overflow.
  bool PassesTransactionTest(int live) const {
    return static_cast<long long>(live) + transactionTolerance >= item_supportLevel;
  }
  bool FullyTolerated(int n, int count) const { return n - count <= itemTolerance; }
  // The fewest transactions an item passing the item test holds, for loops
  // that keep it in a local.
  long long ItemTestNeed() const {
    return static_cast<long long>(transaction_supportLevel) - itemTolerance;
  }

  // Transaction side.
  void Enumeratecdb_sub(const Cdb& cdb, int item, int* itemmark);
  void WalkItem(TidWalk& walk, ListView tids);
  void WalkTolerance(TidWalk& walk);
  void DepthFirstEnumerateTid(TidWalk& walk, int candindex, bool adding);
  void EvaluateTidset(const TidWalk& walk, int added);
  TrimResult Trim_tidset_sub(const TidWalk& walk, TidsetCounts& counts, int added);
  bool TrimTransaction(const TidWalk& walk, TidsetCounts& counts, int t) const;
  bool Prune_sub(const TidWalk& walk, TidsetCounts& counts);
  int LiveItemCount(const int* list, const int* itemcount, int item, const int* itemmark) const;
  void RemoveTransaction(const int* list, int t, int* itemcount, int* tidlive) const;
  // total: the items that pass the item test and may join the item set;
  // killed: some item was killed.
  struct ItemPassResult {
    int total;
    bool killed;
  };
  ItemPassResult ItemPass(int item, TidsetCounts& counts) const;
  void DescendInto(const TidWalk& walk, int* tids, int ntids, const TidsetCounts& counts);
  void BuildCdb(const TidWalk& walk, int* tids, int ntids, const int* itemcount, int* itemmark);
  void FillCdb(const TidWalk& walk, const int* itemcount, Cdb& cdb);
  void SkipBuildCdb(int item, ListView tidset, int* itemcount, int* itemmark);
  void EnumerateWithoutCdb(ListView tidset, int item, int* itemmark);

  // Item side.
  void EnumerateItemsets(const Cdb& cdb, int* itemmark, int x, Level level);
  bool ClassifyItems(ItemLevel& lv) const;
  void VisitStarts(ItemLevel& lv, const ItemNode& root);
  NodeFlags VisitItemset(ItemLevel& lv, const ItemNode& parent, int index, bool chain);
  int KeepTids(const ItemNode& parent, ListView holders, int* hits, int* kept) const;
  bool VisitChildren(ItemLevel& lv, const ItemNode& node, int from, int to, Siblings& kids);
  void ExtendItemsets(const ItemLevel& lv);
  void ReportIfClosed(const ItemLevel& lv, const ItemNode& node);
  bool CheckHiddenItems(const ItemLevel& lv, const ItemNode& node) const;
  bool CheckPrefixPreservingSub(const ItemLevel& lv, const ItemNode& node, const int* items) const;
  int MissingIfAdded(const ItemLevel& lv, const ItemNode& node, int x) const;
  // True when no transaction of the loaded database outside tids can join
  // the pair (tids, items) within both tolerances; both ascending.
  bool CheckSet(const int* tids, int ntids, const int* items, int depth);
  void ThrowIfStopped() const {
    if (monitor) monitor->ThrowIfStopped();
  }
  void Notify(SearchEvent event, const int* list, int n) const {
    if (observer.hook) observer.hook(observer.context, event, list, n);
  }
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_TOLERANCE_WALK_H

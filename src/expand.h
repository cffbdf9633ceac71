// The tolerance walk: for each start item, the transaction-side walk over
// tolerance combinations (pruning, conditional databases) and the item-side
// closure enumeration, handing every pair that passes its checks to a sink.
#ifndef QUASIBICLIQUE_EXPAND_H
#define QUASIBICLIQUE_EXPAND_H

#include <vector>

#include "database.h"
#include "pair_sink.h"
#include "pools.h"
#include "run_monitor.h"
#include "sets.h"
#include "task_share.h"

namespace quasibiclique {

// Events a test can observe through a run's SearchObserver.
enum SearchEvent {
  kEventEvaluate,      // a tolerance combination is evaluated: (addlist, addnum)
  kEventVisit,         // an item-set node is visited: (itembuf, depth)
  kEventReport,        // a pair passed every check: (items, depth)
  kEventSkipBuildCdb,  // a tidset is narrowed without a cdb: (&item, 1)
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

// Watches a walk when set: hook sees every event, cdbhook every conditional
// database just before the item side works on it.
struct SearchObserver {
  void (*hook)(void* context, SearchEvent event, const int* list, int n) = nullptr;
  void (*cdbhook)(void* context, const Cdb& cdb) = nullptr;
  void* context = nullptr;
};

// The working memory of one run of the walk, sized for its database: the
// int arena, the page pools and pointer-array pools of its conditional
// databases, and the scratch of CheckSet. Every run has its own, so runs on
// different threads share nothing they write; all of it is freed with the
// context. `sharers`: the runs of the walk on threads of their own, whose
// arenas share a limited address space.
// Hands out the top-level tolerance combinations of a start item, by the
// index of their first candidate, to the workers that walk it together.
class TopClaims {
 public:
  virtual ~TopClaims() = default;
  // The next first candidate, of `candidates` (1 when the start item has a
  // single combination), that this worker walks; `candidates` or more when
  // none is left. Each call's combinations are walked before the next call.
  virtual int Claim(int candidates) = 0;
};

struct RunContext {
  explicit RunContext(const Database::Rep& db, size_t sharers = 1);

  Arena arena;
  PagePool tranpool;             // records indexed by tid
  PagePool itempool;             // records indexed by item
  PointerArrayPool tidarrays;    // tidcount entries + link
  PointerArrayPool itemarrays;   // itemnum entries + link
  std::vector<int> outsidemark;  // tidnum + 1 ints, all zero between CheckSet calls
  SearchObserver observer;
  // Told of every start item walked; a stopped monitor ends the walk at its
  // next tidset or item-set node with RunMonitor::Stopped. Null: none.
  RunMonitor* monitor = nullptr;
  // A run spread over several processes: the start items this process
  // walks, each told done right after its pairs. Null: every start item.
  TaskShare* share = nullptr;
  // A start item walked by several workers: the top-level combinations this
  // one walks. Null: all of them.
  TopClaims* claims = nullptr;
};

// Walks every start item of db (loaded for `options`) in ascending order and
// hands each pair that passes the checks to sink, in new ids. A tidset may
// reach the sink more than once, and be contained in one that reaches it
// later: the sink keeps the maximal ones. The arena is back where it was
// when the walk returns.
void WalkTolerances(const Database::Rep& db, const Options& options, PairSink& sink,
                    RunContext& context);

// WalkTolerances on `threads` workers, each with a context of its own: the
// sink sees the same pairs in the same order, one call at a time. With a
// share, only the start items it gives, in the order it gives them.
void WalkTolerancesOnThreads(const Database::Rep& db, const Options& options, PairSink& sink,
                             int threads, RunMonitor* monitor = nullptr,
                             TaskShare* share = nullptr);

// The walk of one start item alone, for tests of the walk's order.
void WalkStartItem(const Database::Rep& db, const Options& options, PairSink& sink,
                   RunContext& context, int item);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_EXPAND_H

// The exact search: a branch and bound that enumerates the maximal
// quasi-bicliques of a loaded database directly, for the parameters where the
// maximal quasi-bicliques are exactly what the miner writes.
#ifndef QUASIBICLIQUE_EXACT_H
#define QUASIBICLIQUE_EXACT_H

#include "pair_sink.h"
#include "run_monitor.h"
#include "task_share.h"

namespace quasibiclique {

// The loaded database as the exact search reads it: both orientations, read
// in place (never copied or changed).
//   counted list: [n | e1 ... en], ascending
struct ExactInput {
  int tidnum;      // transactions: new tids 0 .. tidnum - 1
  int itemnum;     // items: new item ids 0 .. itemnum - 1
  int** tranlist;  // tidnum entries, new tid -> counted list [n | new items]
  int** itemlist;  // itemnum entries, new item -> counted list [s | new tids];
                   // the transpose of tranlist
  int item_supportLevel;
  int itemTolerance;
  int transactionTolerance;
  int transaction_supportLevel;
  bool undirected;  // graph type 1: tid k and item k are the same vertex
  // Told of every part searched; a stopped monitor ends the search at its
  // next node with RunMonitor::Stopped. Null: none.
  RunMonitor* monitor = nullptr;
  // A run spread over several processes: the parts (or the one search of
  // the whole graph) this process searches, each told done once searched.
  // Null: every part.
  TaskShare* share = nullptr;
};

// Hands every maximal quasi-biclique (T, I) of the input to sink.Add once, as
// new tids and new item ids (those of the loaded database): every item of I
// is missing from at most itemTolerance tids of T, every tid of T lacks at
// most transactionTolerance items of I, |T| >= max(2,
// transaction_supportLevel), |I| >= item_supportLevel, and no single tid or
// item can join. Undirected: T and I are disjoint, only vertices outside both
// may join, and a pair and its mirror are both handed over when both
// qualify. Returns the number of pairs handed over.
//
// On one thread the order of the pairs depends only on the input. With more
// threads, sink.Add is called from several threads at once, in an order
// that varies from run to run; the set of pairs is the same.
long long EnumerateMaximalPairs(const ExactInput& input, PairSink& sink, int threads = 1);

// How far the exact search spreads over workers, measured on one thread.
// A task is a part (or the one search of the whole graph), or a node that
// a search spawns while fewer than `taskdepth` spawned tasks are nested;
// each is timed as it runs. Its own time is its time less that of the
// tasks it spawned, and its span is its own time plus the largest span of
// those tasks: an upper bound of its critical path, since they are spawned
// during its own work.
struct SearchSpread {
  double work = 0;      // seconds: the own times of all tasks together
  double span = 0;      // seconds: the largest span of a part (or of the whole search)
  long long tasks = 0;  // tasks timed, the parts (or the whole search) included
};

// Runs the exact search of input on the calling thread, handing every pair
// to sink as EnumerateMaximalPairs does, and measures its spread with
// tasks nested at most `taskdepth` deep (0: the parts alone). The input's
// monitor and share are not used. Timing every task slows the search, and
// that time is part of work and span.
SearchSpread MeasureSpread(const ExactInput& input, PairSink& sink, int taskdepth);

// True when (tids, items), both ascending new ids, is one of the pairs
// EnumerateMaximalPairs hands over for input: within both tolerances, of
// both least sizes, disjoint sides for undirected graphs, and no single tid
// or item can join.
bool IsMaximalPair(const ExactInput& input, const int* tids, int ntids, const int* items,
                   int nitems);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_EXACT_H

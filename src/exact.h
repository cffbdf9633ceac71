// The exact search: a branch and bound that enumerates the maximal
// quasi-bicliques of a loaded database directly, for the parameters where the
// maximal quasi-bicliques are exactly what the miner writes.
#ifndef QUASIBICLIQUE_EXACT_H
#define QUASIBICLIQUE_EXACT_H

// The loaded database as the exact search reads it.
struct ExactInput {
  int tidnum;      // transactions: new tids 0 .. tidnum - 1
  int itemnum;     // items: new item ids 0 .. itemnum - 1
  int** tranlist;  // tidnum entries, new tid -> counted list [n | new items], ascending
  int item_supportLevel;
  int itemTolerance;
  int transactionTolerance;
  int transaction_supportLevel;
  bool undirected;  // graph type 1: tid k and item k are the same vertex
};

// Receives one result: new tids and new item ids, each strictly ascending.
using PairSink = void (*)(void* context, int* tids, int ntids, int* items, int nitems);

// True when the output is exactly the set of maximal quasi-bicliques:
// transactionTolerance < item_supportLevel and
// itemTolerance < max(2, transaction_supportLevel).
bool InExactRegime(int item_supportLevel, int itemTolerance, int transactionTolerance,
                   int transaction_supportLevel);

// Hands every maximal quasi-biclique (T, I) of the input to the sink, once:
// every item of I is missing from at most itemTolerance tids of T, every tid
// of T lacks at most transactionTolerance items of I, |T| >=
// max(2, transaction_supportLevel), |I| >= item_supportLevel, and no single
// tid or item can join. Undirected: T and I are disjoint, only vertices
// outside both may join, and a pair and its mirror are both handed over when
// both qualify. Returns the number of pairs handed over.
long long EnumerateMaximalPairs(const ExactInput& input, PairSink sink, void* context);

#endif  // QUASIBICLIQUE_EXACT_H

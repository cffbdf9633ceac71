// A run: the search that the options choose, mining a loaded database into
// a sink on a thread with a large stack, and the stored results written out.
// The library's Mine and the command line are both built from these.
#ifndef QUASIBICLIQUE_MINER_H
#define QUASIBICLIQUE_MINER_H

#include <cstdio>
#include <functional>

#include "pair_sink.h"
#include "quasibiclique/quasibiclique.h"
#include "result_store.h"

namespace quasibiclique {

// Returns OK when options are valid and, but for the search choice, those db
// was loaded for; else InvalidArgument.
Status CheckRunOptions(const Database& db, const Options& options);

// Runs work on a thread with a large stack (the tolerance walk recurses once
// per tolerance combination member, per item-set node and per extension
// level): as much as can be reserved while leaving the heap room, halved
// while no such thread can be created, or the calling thread when not even
// a small one can be had. Returns what work returns.
Status OnLargeStack(const std::function<Status()>& work);

// Mines db with the search options choose, on the calling thread, and hands
// every pair to sink, in the ids of the loaded database. Returns OK or
// OutOfMemory. Call it from work run OnLargeStack.
// REQUIRES: CheckRunOptions(db, options) is OK.
Status MineHere(const Database& db, const Options& options, PairSink& sink);

// MineHere on a thread with a large stack.
Status MineInto(const Database& db, const Options& options, PairSink& sink);

// Ends the storing: lays store out and writes every stored result with at
// least two transactions to file as text lines, in dataset ids; file stays
// open. Sets *lines to the number of lines. Returns OK, OutOfMemory, or
// IOError with the reason of the failed write.
Status WriteResults(ResultStore& store, const Database& db, std::FILE* file, int* lines);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_MINER_H

// A run: the search that the options choose, mining a loaded database into
// a sink on a thread with a large stack, and the stored results written out.
// The library's Mine and the command line are both built from these.
#ifndef QUASIBICLIQUE_MINER_H
#define QUASIBICLIQUE_MINER_H

#include <cstdio>

#include "pair_sink.h"
#include "quasibiclique/quasibiclique.h"
#include "result_store.h"

namespace quasibiclique {

// Returns OK when options are valid and, but for the search choice, those db
// was loaded for; else InvalidArgument.
Status CheckRunOptions(const Database& db, const Options& options);

// Mines db with the search options choose and hands every pair to sink, in
// the ids of the loaded database. Runs on a thread with a large stack (the
// tolerance walk recurses deeply), or on the calling thread when no such
// thread can be had. Returns OK or OutOfMemory.
// REQUIRES: CheckRunOptions(db, options) is OK.
Status MineInto(const Database& db, const Options& options, PairSink& sink);

// Ends the storing: lays store out and writes every stored result with at
// least two transactions to file as text lines, in dataset ids; file stays
// open. Sets *lines to the number of lines. Returns OK, OutOfMemory, or
// IOError with the reason of the failed write.
Status WriteResults(ResultStore& store, const Database& db, std::FILE* file, int* lines);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_MINER_H

// A run: the search that the options choose, mining a loaded database into
// a sink on a thread with a large stack, and the stored results written out.
// The library's Mine and the command line are both built from these.
// A run on several threads keeps its results in shards of the output order.
#ifndef QUASIBICLIQUE_MINER_H
#define QUASIBICLIQUE_MINER_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "database.h"
#include "exact.h"
#include "pair_sink.h"
#include "quasibiclique/quasibiclique.h"
#include "result_store.h"
#include "run_monitor.h"
#include "task_share.h"
#include "text_filter.h"

namespace quasibiclique {

// The labels of one side as the text filter reads them; null for none.
TextFilter::LabelOf LabelsOf(const Labels& labels);

// The loaded database and the options as the exact search takes them.
ExactInput ExactInputOf(const Database::Rep& rep, const Options& options);

// Shards of the output order per thread: enough that a few heavy ones
// leave the others room to balance the layout and the formatting.
constexpr int kShardsPerThread = 16;

// True when options choose the exact search (else the tolerance walk runs).
bool RunsExactSearch(const Options& options);

// Returns OK when options are valid and, but for the search choice, those db
// was loaded for; else InvalidArgument.
Status CheckRunOptions(const Database& db, const Options& options);

// Runs work on a thread with a large stack (the tolerance walk recurses once
// per tolerance combination member, per item-set node and per extension
// level): as much as can be reserved while leaving the heap room, halved
// while no such thread can be created, or the calling thread when not even
// a small one can be had. Returns what work returns.
Status OnLargeStack(const std::function<Status()>& work);

// The threads a run of `options` uses: options.threads, or for 0 one for
// every core the process may run on.
int RunThreads(const Options& options);

// Mines db with the search options choose, on the calling thread and
// RunThreads(options) - 1 more, and hands every pair to sink, in the ids of
// the loaded database. With more than one thread the exact search calls
// sink.Add from several threads at once (the tolerance walk never does).
// Returns OK, OutOfMemory or Stopped. Call it from work run OnLargeStack.
// REQUIRES: CheckRunOptions(db, options) is OK.
// With options.max_results or options.time_limit the search stops at them
// and Stopped is returned; the pairs until then are with sink. A monitor is
// told of the run's results and work as they come. With a share, the run
// is spread over processes: this one searches the tasks the share gives it,
// and the share gathers every process's pairs into sink (see TaskShare).
Status MineHere(const Database& db, const Options& options, PairSink& sink,
                RunMonitor* monitor = nullptr, TaskShare* share = nullptr);

// MineHere on a thread with a large stack.
Status MineInto(const Database& db, const Options& options, PairSink& sink);

// Where the text of a run goes, and what its results may hold on the way.
struct TextOutput {
  std::FILE* file = nullptr;                 // stays open
  ResultStore::Progress progress = nullptr;  // as for ResultStore
  void* context = nullptr;
  // Bytes the stored results may take. The exact search's results beyond it
  // are spilled to unnamed files in spilldirectory and merged at the end;
  // the tolerance walk's results (which later ones may replace) end the run
  // with OutOfMemory there.
  size_t memorylimit = SIZE_MAX;
  std::string spilldirectory;
  // Only count the results: file is not written, and the exact search's
  // results are not even kept.
  bool countonly = false;
  // Told of the run's results and work as they come; may be null.
  RunMonitor* monitor = nullptr;
  // Resident bytes the process may hold while the search runs: beyond them
  // the search stops and the run ends with OutOfMemory. SIZE_MAX: no limit.
  size_t residentlimit = SIZE_MAX;
  // A run spread over processes (see MineHere); null for a run of its own.
  TaskShare* share = nullptr;
};

// Mines db into the store a run of its threads and memory limit needs (one
// result store, or shards of it) and writes every stored result with at
// least two transactions to out.file as text lines, in dataset ids or, for
// a dataset with labels, in its labels; at most options.max_results lines.
// Sets *lines to the number of lines (or of results, when only counted).
// Returns OK, OutOfMemory, IOError with the reason of the failed write, or
// Stopped when the search stopped at a bound of options (the results found
// until then are written). Call it from work run OnLargeStack.
Status MineToText(const Database& db, const Options& options, const TextOutput& out, int* lines);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_MINER_H

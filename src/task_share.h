// A run spread over several processes, as the searches see it: which of
// their tasks (the exact search's parts by first vertex, the tolerance
// walk's start items) this process searches, where each task's pairs end,
// and how the pairs of every process reach the run's one sink. The library
// knows no transport; the program that spreads a run implements this.
#ifndef QUASIBICLIQUE_TASK_SHARE_H
#define QUASIBICLIQUE_TASK_SHARE_H

#include <functional>

#include "pair_sink.h"
#include "run_monitor.h"

namespace quasibiclique {

class TaskShare {
 public:
  virtual ~TaskShare() = default;

  // The index (0 .. tasks - 1) of the next task of a search with `tasks`
  // tasks that this process searches, -1 when none is left for it. Every
  // process's search has the same tasks. Indices ascend from call to call;
  // called from any thread of the search.
  virtual long long Next(long long tasks) = 0;

  // Every pair of `task` has been handed to the sink Gather gave. The
  // tolerance walk calls it in the order Next gave its tasks, right after
  // their pairs, never two at once; the exact search after each part
  // (subtrees of the part other threads took over may still hand pairs on).
  virtual void Done(long long task) = 0;

  // Runs search, giving it the sink for this process's pairs, and hands
  // `sink` the pairs of every process's tasks as one process searching them
  // all would: one call at a time and, when `intaskorder` (the tolerance
  // walk), in task order. A process that does not write the results hands
  // sink nothing. Returns once search has returned and every process's
  // pairs are with sink; throws what search or sink threw,
  // RunMonitor::Stopped when the run was stopped (through `monitor`, or by
  // another process), or MemoryExhausted when another process ran out of
  // memory.
  virtual void Gather(PairSink& sink, RunMonitor& monitor, bool intaskorder,
                      const std::function<void(PairSink&)>& search) = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_TASK_SHARE_H

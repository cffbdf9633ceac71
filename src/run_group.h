// A run of the program spread over several processes, as the driver sees
// it: only the leader reads the dataset, reports and writes the output; at
// every step the processes agree on one outcome, so that all of them take
// the same path and end with the same status.
#ifndef QUASIBICLIQUE_RUN_GROUP_H
#define QUASIBICLIQUE_RUN_GROUP_H

#include <cstddef>
#include <string>

#include "data.h"
#include "database.h"
#include "run_monitor.h"
#include "quasibiclique/quasibiclique.h"
#include "task_share.h"

namespace quasibiclique {

class RunGroup {
 public:
  virtual ~RunGroup() = default;

  // True on the process that reads the dataset, writes the output file and
  // reports on the standard streams.
  virtual bool Leads() const = 0;

  // The leader hands the text of data (read by it with the outcome `read`)
  // to the others, whose data takes it as read. Returns `read` of the
  // leader on every process.
  virtual Status ShareText(Data& data, const Status& read) = 0;

  // The first failure among the processes' `mine` (the leader's first, then
  // by rank), the same on every process; OK when none failed.
  virtual Status Agree(const Status& mine) = 0;

  // How this process takes its part of the mining and gathers the pairs:
  // from Start until Finish.
  virtual TaskShare& share() = 0;
  virtual void Start() = 0;
  // This process's mining ended with `mined`: once the others' have too,
  // the share is closed. A failure of a process that did not get as far as
  // gathering ends the others' searches.
  virtual void Finish(const Status& mined) = 0;

  // Whether the processes write a run's output together, each the block of
  // the output order it holds at its place in the file, rather than through
  // the leader: `temporary` is, on the leader, the empty file the output
  // goes to before it is put in place, or empty when the run cannot be
  // written so. Returns the leader's, on every process.
  virtual std::string ShareOutputPath(const std::string& temporary) = 0;

  // Mines db as MineHere does, this process searching its share of the
  // tasks and keeping its pairs (monitor and residentlimit as for
  // MineToText); then every pair goes to the process that holds its block,
  // and each process writes its block's lines into the file at `path` at
  // its offset. Sets *pairs to the pairs of all processes and *lines to the
  // lines of the file. Returns the same on every process: OK, OutOfMemory,
  // or IOError with the reason of a failed write. Starts and finishes the
  // share itself. REQUIRES: an exact search without bounds on the results
  // or the time, ShareOutputPath gave path.
  virtual Status MineAndWriteTogether(const Database& db, const Options& options,
                                      RunMonitor* monitor, size_t residentlimit,
                                      const std::string& path, long long* pairs,
                                      int* lines) = 0;

  // The processes of the group on this machine, this one included: they
  // share its memory.
  virtual int ProcessesOnThisMachine() const = 0;

  // The leader's exit status `status`, on every process.
  virtual int Exit(int status) = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RUN_GROUP_H

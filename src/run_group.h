// A run of the program spread over several processes, as the driver sees
// it: only the leader reads the dataset, reports and writes the output; at
// every step the processes agree on one outcome, so that all of them take
// the same path and end with the same status.
#ifndef QUASIBICLIQUE_RUN_GROUP_H
#define QUASIBICLIQUE_RUN_GROUP_H

#include "data.h"
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

  // The leader's exit status `status`, on every process.
  virtual int Exit(int status) = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RUN_GROUP_H

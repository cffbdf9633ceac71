// The share of a run among the processes of an MPI job: the leader (rank 0)
// hands out the tasks one at a time as the processes ask for them, every
// process packs its pairs into batches for the leader, and the leader hands
// them to the run's sink as one process searching every task would (or,
// for runs whose processes write the output together, each process keeps
// its own pairs). A thread of each process does all of its talking,
// between Start and Finish.
#ifndef QUASIBICLIQUE_MPI_SHARE_H
#define QUASIBICLIQUE_MPI_SHARE_H

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quasibiclique/quasibiclique.h"
#include "task_share.h"

namespace quasibiclique {

// A batch of packed records, as sent to the leader:
//   pair:        [ntids, nitems, tids..., items...], ids of the loaded database
//   end of task: [-1, task]
using PairBatch = std::vector<int>;

class MpiShare final : public TaskShare {
 public:
  // Ends the job when the talker itself cannot go on (no memory for a
  // message); does not return.
  using Fatal = std::function<void(const Status&)>;

  // This process is `rank` of `ranks`; rank 0 leads.
  MpiShare(int rank, int ranks, Fatal fatal);
  ~MpiShare() override = default;
  MpiShare(const MpiShare&) = delete;
  MpiShare& operator=(const MpiShare&) = delete;

  // Every process's Gather hands its own pairs to the sink it is given,
  // instead of the leader's getting them all: for runs whose processes
  // write their output together. Called before Start.
  void KeepPairs() { keeppairs_ = true; }
  // Starts the thread that talks to the other processes.
  void Start();
  // This process's mining ended with `mined` (Gather, if it ran, has
  // returned): a process that leads and did not gather stops the others'
  // searches; once every process has finished, the thread ends.
  void Finish(const Status& mined);

  long long Next(long long tasks) override;
  void Done(long long task) override;
  void Gather(PairSink& sink, RunMonitor& monitor, bool intaskorder,
              const std::function<void(PairSink&)>& search) override;

 private:
  // The sink of this process's search: packs what it is given.
  class Packer final : public PairSink {
   public:
    explicit Packer(MpiShare& share) : share_(share) {}
    void Add(const int* tids, int ntids, const int* items, int nitems) override {
      share_.Pack(tids, ntids, items, nitems);
    }

   private:
    MpiShare& share_;
  };

  // The leader's: one process's batches not yet committed, the first read
  // up to `at`.
  struct Stream {
    std::deque<PairBatch> batches;
    size_t at = 0;
  };

  bool leads() const { return rank_ == 0; }
  // Appends a record to the current batch; a full one goes to the outbox.
  void Pack(const int* tids, int ntids, const int* items, int nitems);
  void FlushLocked();
  void Talk();

  // The leader's side.
  long long GrantLocked(int rank, long long tasks);
  void Lead();
  bool LeadOnce();
  void ReceiveAll();
  void ReceiveDone(int from, int bytes);
  void Commit();
  void CommitInTaskOrder(PairSink& sink, RunMonitor& monitor);
  void CommitAnyOrder(PairSink& sink, RunMonitor& monitor);
  bool CompleteLocked() const;
  void Stop();

  // A worker's side.
  void Follow();
  void SendDone(const Status& mined);

  const int rank_;
  const int ranks_;
  const Fatal fatal_;
  Packer packer_{*this};
  std::thread talker_;

  std::mutex m_;                     // guards everything below but the talker's own
  std::condition_variable wake_;     // something for the talker to do
  std::condition_variable changed_;  // a grant came, or the gathering ended
  PairBatch batch_;                  // this process's pairs being packed
  std::deque<PairBatch> outbox_;     // packed batches for the leader
  RunMonitor* monitor_ = nullptr;    // while gathering
  PairSink* sink_ = nullptr;         // the leader's, while gathering
  bool intaskorder_ = false;
  bool keeppairs_ = false;           // see KeepPairs
  bool gathering_ = false;           // Gather runs
  bool gathered_ = false;            // the leader's gathering ended
  bool searched_ = false;            // this process's search returned
  bool finishing_ = false;           // Finish was called
  Status mined_;                     // what Finish was given
  bool stopped_ = false;             // the run is stopping: no new task is taken
  int stopreason_ = 0;               // RunMonitor::Reason sent with a stop
  // The leader: the first failure of the run, and whether results were cut
  // short (the others stopped, pairs dropped).
  std::exception_ptr failure_;
  std::string remotefailure_;  // another process's out-of-memory message
  bool cut_ = false;
  // The leader: the next task and the owner of every task handed out.
  long long next_ = 0;
  std::vector<int> owner_;
  // A worker: the one question in flight.
  std::mutex asking_;  // held by a Next for its whole round trip
  bool ask_ = false;   // a Next waits for a grant
  long long asktasks_ = 0;
  bool granted_ = false;
  long long grant_ = -1;
  bool exhausted_ = false;  // a grant said none is left

  // The leader's talker alone: every process's batches, the task whose
  // pairs are committed next, and which workers have finished.
  std::vector<Stream> streams_;
  long long head_ = 0;
  std::vector<char> workerdone_;
  int workersdone_ = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_MPI_SHARE_H

// The share of a run among an MPI job's processes: each process's talker
// thread, the leader's hand-out of tasks and its merge of the batches. Only
// the talker calls MPI between Start and Finish (MPI_THREAD_SERIALIZED).
#include "mpi_share.h"

#include <mpi.h>

#include <cassert>
#include <chrono>

#include "pools.h"

namespace quasibiclique {

namespace {

constexpr int kLeader = 0;

// Messages between the leader and the other processes (workers).
enum Tag : int {
  kTagAsk = 1,  // worker to leader: [tasks], for its next task of a search of `tasks`
  kTagGrant,    // leader to worker: [task], -1 when none is left
  kTagPairs,    // worker to leader: a PairBatch
  kTagDone,     // worker to leader: [code, message...], its mining ended
  kTagStop,     // leader to worker: [reason], stop searching
  kTagClose,    // leader to worker: every process has finished
};

// Ints of a batch before it goes to the leader: large enough that a message
// carries many pairs, small enough that the leader merges as they come.
constexpr size_t kBatchInts = size_t{1} << 16;

// How long a talker sleeps when nothing is to be done: the processes of a
// job may share cores with the searches, so it never spins.
constexpr auto kPoll = std::chrono::microseconds(500);

// Hands the pairs of a stream's batches to sink, from `at` of the first,
// until the end of a task; returns that task, or -1 when the batches ran
// out first (what they had is handed on).
long long CommitUntilEnd(std::deque<PairBatch>& batches, size_t& at, PairSink& sink) {
  while (!batches.empty()) {
    const PairBatch& batch = batches.front();
    const int* record = batch.data() + at;
    long long ended = -1;
    if (record[0] < 0) {
      ended = record[1];
      at += 2;
    } else {
      at += 2 + size_t(record[0]) + size_t(record[1]);
      sink.Add(record + 2, record[0], record + 2 + record[0], record[1]);
    }
    if (at == batch.size()) {
      batches.pop_front();
      at = 0;
    }
    if (ended >= 0) return ended;
  }
  return -1;
}

}  // namespace

MpiShare::MpiShare(int rank, int ranks, Fatal fatal)
    : rank_(rank), ranks_(ranks), fatal_(std::move(fatal)) {
  if (leads()) {
    streams_.resize(size_t(ranks));
    workerdone_.assign(size_t(ranks), 0);
  }
}

void MpiShare::Start() {
  talker_ = std::thread([this] { Talk(); });
}

void MpiShare::Finish(const Status& mined) {
  {
    std::lock_guard<std::mutex> hold(m_);
    finishing_ = true;
    mined_ = mined;
  }
  wake_.notify_one();
  talker_.join();
}

long long MpiShare::Next(long long tasks) {
  if (leads()) {
    std::lock_guard<std::mutex> hold(m_);
    return GrantLocked(kLeader, tasks);
  }
  std::lock_guard<std::mutex> one(asking_);
  std::unique_lock<std::mutex> hold(m_);
  if (exhausted_ || stopped_) return -1;
  ask_ = true;
  asktasks_ = tasks;
  granted_ = false;
  wake_.notify_one();
  changed_.wait(hold, [&] { return granted_; });
  if (grant_ < 0 || grant_ >= tasks) {
    exhausted_ = true;
    return -1;
  }
  return grant_;
}

void MpiShare::Done(long long task) {
  {
    std::lock_guard<std::mutex> hold(m_);
    batch_.push_back(-1);
    batch_.push_back(static_cast<int>(task));
    FlushLocked();
  }
  wake_.notify_one();
}

void MpiShare::Pack(const int* tids, int ntids, const int* items, int nitems) {
  std::lock_guard<std::mutex> hold(m_);
  batch_.push_back(ntids);
  batch_.push_back(nitems);
  batch_.insert(batch_.end(), tids, tids + ntids);
  batch_.insert(batch_.end(), items, items + nitems);
  if (batch_.size() >= kBatchInts) {
    FlushLocked();
    wake_.notify_one();
  }
}

void MpiShare::FlushLocked() {
  if (batch_.empty()) return;
  outbox_.push_back(std::move(batch_));
  batch_.clear();
}

void MpiShare::Gather(PairSink& sink, RunMonitor& monitor, bool intaskorder,
                      const std::function<void(PairSink&)>& search) {
  {
    std::lock_guard<std::mutex> hold(m_);
    monitor_ = &monitor;
    sink_ = &sink;
    intaskorder_ = intaskorder;
    gathering_ = true;
    if (stopped_) monitor.Stop(static_cast<RunMonitor::Reason>(stopreason_));
  }
  std::exception_ptr thrown;
  try {
    if (keeppairs_) {
      search(sink);
    } else {
      search(packer_);
    }
  } catch (...) {
    thrown = std::current_exception();
  }
  std::unique_lock<std::mutex> hold(m_);
  FlushLocked();
  searched_ = true;
  if (thrown && !failure_) failure_ = thrown;
  wake_.notify_one();
  if (leads()) changed_.wait(hold, [&] { return gathered_; });
  monitor_ = nullptr;
  sink_ = nullptr;
  gathering_ = false;
  if (failure_) std::rethrow_exception(failure_);
  if (cut_) throw RunMonitor::Stopped();
}

void MpiShare::Talk() {
  try {
    if (leads()) {
      Lead();
    } else {
      Follow();
    }
  } catch (const std::bad_alloc&) {
    fatal_(Status::OutOfMemory("no memory for a message between the processes"));
  }
}

// ---------------------------------------------------------------------------
// The leader
// ---------------------------------------------------------------------------

long long MpiShare::GrantLocked(int rank, long long tasks) {
  if (stopped_ || next_ >= tasks) return -1;
  owner_.push_back(rank);
  return next_++;
}

void MpiShare::Lead() {
  while (!LeadOnce()) {
  }
  for (int r = 1; r < ranks_; r++) MPI_Send(nullptr, 0, MPI_INT, r, kTagClose, MPI_COMM_WORLD);
}

// One round of the leader's talker: takes the local batches, receives what
// the workers sent, commits what can be, and decides whether the gathering
// is over, the run must stop, or the share can close (returns true then).
bool MpiShare::LeadOnce() {
  {
    std::unique_lock<std::mutex> hold(m_);
    wake_.wait_for(hold, kPoll);
    Stream& local = streams_[kLeader];
    for (; !outbox_.empty(); outbox_.pop_front()) local.batches.push_back(std::move(outbox_.front()));
  }
  ReceiveAll();
  Commit();
  bool stop = false;
  {
    std::lock_guard<std::mutex> hold(m_);
    const bool alldone = workersdone_ == ranks_ - 1;
    if (gathering_ && !gathered_ && searched_ && alldone && (stopped_ || CompleteLocked())) {
      gathered_ = true;
      changed_.notify_all();
    }
    stop = !stopped_ && !gathered_ &&
           (failure_ || (monitor_ && monitor_->stopped()) || finishing_);
  }
  if (stop) Stop();
  std::lock_guard<std::mutex> hold(m_);
  return finishing_ && workersdone_ == ranks_ - 1;
}

void MpiShare::ReceiveAll() {
  for (;;) {
    int waiting = 0;
    MPI_Status status;
    MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &waiting, &status);
    if (!waiting) return;
    const int from = status.MPI_SOURCE;
    int count = 0;
    if (status.MPI_TAG == kTagAsk) {
      long long tasks = 0;
      MPI_Recv(&tasks, 1, MPI_LONG_LONG, from, kTagAsk, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      long long task;
      {
        std::lock_guard<std::mutex> hold(m_);
        task = GrantLocked(from, tasks);
      }
      MPI_Send(&task, 1, MPI_LONG_LONG, from, kTagGrant, MPI_COMM_WORLD);
    } else if (status.MPI_TAG == kTagPairs) {
      MPI_Get_count(&status, MPI_INT, &count);
      PairBatch batch(static_cast<size_t>(count));
      MPI_Recv(batch.data(), count, MPI_INT, from, kTagPairs, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      std::lock_guard<std::mutex> hold(m_);
      // A stopping run commits nothing more: the batch is only drained.
      if (!stopped_ && !batch.empty()) streams_[from].batches.push_back(std::move(batch));
    } else if (status.MPI_TAG == kTagDone) {
      MPI_Get_count(&status, MPI_CHAR, &count);
      ReceiveDone(from, count);
    }
  }
}

// A worker's mining ends OK, Stopped (by the leader) or OutOfMemory, as
// MineHere does: the last is the run's failure, with the worker's message.
void MpiShare::ReceiveDone(int from, int bytes) {
  std::vector<char> text(static_cast<size_t>(bytes));
  MPI_Recv(text.data(), bytes, MPI_CHAR, from, kTagDone, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  workerdone_[from] = 1;
  workersdone_++;
  const int code = text.empty() ? int{Status::kOk} : int{text[0]};
  if (code == Status::kOk || code == Status::kStopped) return;
  std::lock_guard<std::mutex> hold(m_);
  if (failure_) return;
  remotefailure_.assign(text.begin() + 1, text.end());
  failure_ = std::make_exception_ptr(MemoryExhausted{remotefailure_.c_str()});
}

// Hands what the streams hold to the gathering's sink. What the sink throws
// (the result limit, the store's memory) is the run's failure.
void MpiShare::Commit() {
  PairSink* sink;
  RunMonitor* monitor;
  bool intaskorder;
  {
    std::lock_guard<std::mutex> hold(m_);
    if (!gathering_ || stopped_ || failure_) return;
    sink = sink_;
    monitor = monitor_;
    intaskorder = intaskorder_;
  }
  try {
    if (intaskorder) {
      CommitInTaskOrder(*sink, *monitor);
    } else {
      CommitAnyOrder(*sink, *monitor);
    }
  } catch (...) {
    std::lock_guard<std::mutex> hold(m_);
    if (!failure_) failure_ = std::current_exception();
  }
}

// Each process's stream holds its tasks in ascending order, each task's
// pairs followed by its end: the task at the head is read from its owner's
// stream, as far as it has come, and the next becomes the head at its end.
void MpiShare::CommitInTaskOrder(PairSink& sink, RunMonitor& monitor) {
  for (;;) {
    int owner;
    {
      std::lock_guard<std::mutex> hold(m_);
      if (head_ >= static_cast<long long>(owner_.size())) return;
      owner = owner_[size_t(head_)];
    }
    Stream& stream = streams_[size_t(owner)];
    const long long ended = CommitUntilEnd(stream.batches, stream.at, sink);
    if (ended < 0) return;
    assert(ended == head_);
    if (owner != kLeader) monitor.UnitDone();
    head_++;
  }
}

// The exact search's pairs never contain one another: any order stores
// the same.
void MpiShare::CommitAnyOrder(PairSink& sink, RunMonitor& monitor) {
  for (int r = 0; r < ranks_; r++) {
    Stream& stream = streams_[size_t(r)];
    while (CommitUntilEnd(stream.batches, stream.at, sink) >= 0) {
      if (r != kLeader) monitor.UnitDone();
    }
  }
}

// Every pair handed out is committed: no local batch waits, the streams
// are empty and, in task order, the head has passed every task handed out.
bool MpiShare::CompleteLocked() const {
  if (!outbox_.empty()) return false;
  for (const Stream& stream : streams_) {
    if (!stream.batches.empty()) return false;
  }
  return !intaskorder_ || head_ == static_cast<long long>(owner_.size());
}

// Stops the run: no task is handed out any more, the local search is told
// through the monitor, and every worker that has not finished is told too.
void MpiShare::Stop() {
  int reason = RunMonitor::kMemoryLimit;
  {
    std::lock_guard<std::mutex> hold(m_);
    stopped_ = true;
    cut_ = true;
    if (monitor_) {
      monitor_->Stop(RunMonitor::kMemoryLimit);  // kept only when none was given before
      reason = monitor_->reason();
    }
    stopreason_ = reason;
  }
  for (int r = 1; r < ranks_; r++) {
    if (!workerdone_[r]) MPI_Send(&reason, 1, MPI_INT, r, kTagStop, MPI_COMM_WORLD);
  }
}

// ---------------------------------------------------------------------------
// A worker
// ---------------------------------------------------------------------------

void MpiShare::Follow() {
  std::deque<PairBatch> sending;  // batches in flight, oldest first
  std::deque<MPI_Request> requests;
  MPI_Request grantrequest = MPI_REQUEST_NULL;
  long long grant = -1;
  bool asked = false;
  bool donesent = false;
  for (;;) {
    long long asktasks = -1;
    bool finishing;
    Status mined;
    {
      std::unique_lock<std::mutex> hold(m_);
      wake_.wait_for(hold, kPoll);
      for (; !outbox_.empty(); outbox_.pop_front()) {
        sending.push_back(std::move(outbox_.front()));
        requests.emplace_back();
        const PairBatch& batch = sending.back();
        MPI_Isend(batch.data(), static_cast<int>(batch.size()), MPI_INT, kLeader, kTagPairs,
                  MPI_COMM_WORLD, &requests.back());
      }
      if (ask_ && !asked) asktasks = asktasks_;
      finishing = finishing_;
      mined = mined_;
    }
    for (int sent = 1; sent && !requests.empty();) {
      MPI_Test(&requests.front(), &sent, MPI_STATUS_IGNORE);
      if (sent) {
        requests.pop_front();
        sending.pop_front();
      }
    }
    if (asktasks >= 0) {
      MPI_Send(&asktasks, 1, MPI_LONG_LONG, kLeader, kTagAsk, MPI_COMM_WORLD);
      MPI_Irecv(&grant, 1, MPI_LONG_LONG, kLeader, kTagGrant, MPI_COMM_WORLD, &grantrequest);
      asked = true;
    }
    if (asked) {
      int got = 0;
      MPI_Test(&grantrequest, &got, MPI_STATUS_IGNORE);
      if (got) {
        asked = false;
        std::lock_guard<std::mutex> hold(m_);
        ask_ = false;
        grant_ = grant;
        granted_ = true;
        changed_.notify_all();
      }
    }
    int stop = 0;
    MPI_Iprobe(kLeader, kTagStop, MPI_COMM_WORLD, &stop, MPI_STATUS_IGNORE);
    if (stop) {
      int reason = 0;
      MPI_Recv(&reason, 1, MPI_INT, kLeader, kTagStop, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      std::lock_guard<std::mutex> hold(m_);
      stopped_ = true;
      stopreason_ = reason;
      if (monitor_) monitor_->Stop(static_cast<RunMonitor::Reason>(reason));
      continue;
    }
    // Its mining over and every batch delivered, the worker says so, and
    // waits for the leader to close.
    if (finishing && !donesent && requests.empty() && !asked) {
      SendDone(mined);
      donesent = true;
    }
    int close = 0;
    if (donesent) MPI_Iprobe(kLeader, kTagClose, MPI_COMM_WORLD, &close, MPI_STATUS_IGNORE);
    if (close) {
      MPI_Recv(nullptr, 0, MPI_INT, kLeader, kTagClose, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      return;
    }
  }
}

void MpiShare::SendDone(const Status& mined) {
  const std::string text = static_cast<char>(mined.code()) + mined.message();
  MPI_Send(text.data(), static_cast<int>(text.size()), MPI_CHAR, kLeader, kTagDone,
           MPI_COMM_WORLD);
}

}  // namespace quasibiclique

// The tolerance walk of a whole run: its working memory and the loop over
// start items, on one thread or on several.
#include <atomic>
#include <cstdlib>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "arena_scope.h"
#include "tolerance_walk.h"

namespace quasibiclique {

RunContext::RunContext(const Database::Rep& db, size_t sharers)
    : arena(sharers), outsidemark(size_t(db.tidnum) + 1, 0) {
  tranpool.ints = db.tranpool.ints;
  itempool.ints = db.itempool.ints;
  tidarrays.entries = db.tidcount;
  itemarrays.entries = db.itemnum;
}

ToleranceWalk::ToleranceWalk(const Database::Rep& db, const Options& options, PairSink& sink,
                             RunContext& context)
    : item_supportLevel(options.item_supportLevel),
      itemTolerance(options.itemTolerance),
      transactionTolerance(options.transactionTolerance),
      transaction_supportLevel(options.transaction_supportLevel),
      undirected(options.graphtype == kUndirected),
      tidnum(db.tidnum),
      itemnum(db.itemnum),
      tranlist(db.tranlist),
      itemlist(db.itemlist),
      arena(context.arena),
      tranpool(context.tranpool),
      itempool(context.itempool),
      tidarrays(context.tidarrays),
      itemarrays(context.itemarrays),
      outsidemark(context.outsidemark.data()),
      observer(context.observer),
      monitor(context.monitor),
      claims(context.claims),
      sink(sink) {}

namespace {

// The start items of a walk: every item that passes the item test and
// leaves room for item_supportLevel items from it on, ascending.
std::vector<int> StartItems(const Database::Rep& db, const Options& options) {
  std::vector<int> starts;
  const long long last = static_cast<long long>(db.itemnum) - options.item_supportLevel;
  for (int i = 0; i <= last; i++) {
    if (ToleranceWalk::PassesItemTest(db.itemlist[i][0], options.itemTolerance,
                                      options.transaction_supportLevel)) {
      starts.push_back(i);
    }
  }
  return starts;
}

// The start items a walk takes, as indices into its starts: every one in
// ascending order, or those the run's share gives this process.
class StartCursor {
 public:
  StartCursor(TaskShare* share, size_t starts) : share_(share), starts_(starts) {}
  // The next index, -1 when none is left.
  long long Next() {
    if (share_) return share_->Next(static_cast<long long>(starts_));
    const size_t k = next_.fetch_add(1);
    return k < starts_ ? static_cast<long long>(k) : -1;
  }
  // The pairs of start `k` are all handed on.
  void Done(long long k) {
    if (share_) share_->Done(k);
  }

 private:
  TaskShare* const share_;
  const size_t starts_;
  std::atomic<size_t> next_{0};
};

// Every start item in ascending order (or those of the context's share); or
// only the item `only` when it is not -1.
void Walk(const Database::Rep& db, const Options& options, PairSink& sink, RunContext& context,
          int only) {
  ToleranceWalk walk(db, options, sink, context);
  ArenaScope scope(context.arena);
  int* alltids = scope.Take(db.tidnum);
  std::iota(alltids, alltids + db.tidnum, 0);
  if (only >= 0) {
    walk.Enumeratecdb(only, alltids);
    return;
  }
  const std::vector<int> starts = StartItems(db, options);
  if (context.monitor) context.monitor->SetUnits(starts.size());
  StartCursor cursor(context.share, starts.size());
  for (long long k; (k = cursor.Next()) >= 0;) {
    walk.Enumeratecdb(starts[k], alltids);
    if (context.monitor) context.monitor->UnitDone();
    cursor.Done(k);
  }
}

// The working memory of one worker of a parallel walk, and the ints its
// walked pieces keep until they are handed on.
struct WalkWorker {
  WalkWorker(const Database::Rep& db, RunMonitor* monitor, size_t workers)
      : context(db, workers), alltids(size_t(db.tidnum)) {
    std::iota(alltids.begin(), alltids.end(), 0);
    context.monitor = monitor;
  }
  RunContext context;
  std::vector<int> alltids;
  std::atomic<size_t> kept{0};
};

class ParallelWalk;
struct StartTask;

// The pairs of a piece of a start item's walk, on their way to the run's
// sink in the walk's order: the top-level tolerance combinations of a run
// of consecutive first candidates [first, end), walked by one worker.
// While earlier pieces are still being walked its pairs are kept, each
// with its tids as a list or as a bitset, whichever is shorter; once every earlier one is handed on,
// the piece is the head and its pairs go straight to the sink. A worker
// keeps at most kKeptInts ints: beyond them, its piece waits to become the
// head, and it takes no new work until its walked pieces are handed on. So
// a parallel walk holds at most kKeptInts ints (16 MB) per thread beyond
// what the store holds: enough that a worker seldom waits while a heavy
// start item before its own is walked (vote 3 1 1 180 on two threads: 6.1 s
// with 4 MB, 5.3 s with 16 MB, 8.9 s on one thread).
class Piece final : public PairSink {
 public:
  static constexpr size_t kKeptInts = size_t{1} << 22;

  Piece(ParallelWalk& walk, WalkWorker& worker, StartTask& task, int first)
      : walk_(walk), worker_(worker), task_(task), first_(first), end_(first + 1) {}
  void Add(const int* tids, int ntids, const int* items, int nitems) override;
  StartTask& task() const { return task_; }
  int first() const { return first_; }
  int end() const { return end_; }
  // The worker walks the next first candidate too.
  void Extend() { end_++; }
  WalkWorker& worker() const { return worker_; }
  size_t kept() const { return kept_.size(); }
  // Its worker has walked it (under the walk's lock).
  bool walked() const { return walked_; }
  void SetWalked() { walked_ = true; }
  // Hands the kept pairs to sink and lets later ones go straight to it.
  void BecomeHead(PairSink& sink);

 private:
  bool OverBudget() const { return kept_.size() + worker_.kept.load() >= kKeptInts; }

  ParallelWalk& walk_;
  WalkWorker& worker_;
  StartTask& task_;
  const int first_;
  int end_;
  bool walked_ = false;
  PairSink* head_ = nullptr;  // the run's sink, once this piece is the head
  std::vector<int> kept_;
};

// A start item taken by the walk. Its first candidates are claimed one at a
// time by the workers that walk it: the one that took it and, once no start
// item is left to take, others that join it.
struct StartTask {
  StartTask(size_t place, long long start) : place(place), start(start) {}
  const size_t place;      // among the start items this walk takes
  const long long start;   // among all start items
  std::atomic<int> next{0};       // the next first candidate to claim
  std::atomic<int> candidates{-1};  // its first candidates, once a worker has counted them
  // The pieces walked or being walked and not yet handed on, by first
  // candidate; and the first candidates handed on. Under the walk's lock.
  std::map<int, std::unique_ptr<Piece>> pieces;
  std::atomic<int> handed{0};
};

// A worker's claims on the start item it walks: each claim that follows
// its last extends its piece, any other starts a new piece.
class PieceClaims final : public TopClaims, public PairSink {
 public:
  PieceClaims(ParallelWalk& walk, WalkWorker& worker, StartTask& task)
      : walk_(walk), worker_(worker), task_(task) {}
  int Claim(int candidates) override;
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    piece_->Add(tids, ntids, items, nitems);
  }

 private:
  ParallelWalk& walk_;
  WalkWorker& worker_;
  StartTask& task_;
  Piece* piece_ = nullptr;  // the piece being walked
};

// The walk on several workers: the start items are taken in ascending order
// from a shared cursor, each walked by the worker that took it and by those
// that join it once none is left to take; the sink sees the pairs in the
// order of the walk on one thread, one call at a time.
class ParallelWalk {
 public:
  ParallelWalk(const Database::Rep& db, const Options& options, PairSink& sink,
               RunMonitor* monitor, TaskShare* share)
      : db_(db),
        options_(options),
        sink_(sink),
        monitor_(monitor),
        starts_(StartItems(db, options)),
        cursor_(share, starts_.size()),
        tasks_(starts_.size()) {
    if (monitor_) monitor_->SetUnits(starts_.size());
  }
  void Run(int threads);
  int tidnum() const { return db_.tidnum; }
  // The piece is the head: every earlier one is handed on.
  bool IsHead(const Piece& piece) const {
    return committed_.load(std::memory_order_acquire) == piece.task().place &&
           piece.task().handed.load(std::memory_order_acquire) == piece.first();
  }
  // Hands on the kept pairs of `piece` and makes it the head, once it is;
  // waits until then when `wait`.
  void BecomeHeadOnceHead(Piece& piece, bool wait);
  // A new piece of task from first candidate `first`, walked by worker.
  Piece* NewPiece(WalkWorker& worker, StartTask& task, int first);
  // The piece is walked: it is handed on with the walked ones after it
  // once it is the head.
  void Finish(Piece& piece);

 private:
  void WalkStarts();
  // Takes the next start item. Returns null when none is left.
  StartTask* Take();
  // A start item taken and still with first candidates to claim, the
  // earliest; null when there is none.
  StartTask* Join();
  void WalkTask(WalkWorker& worker, StartTask& task);
  // Waits while the worker keeps too much to take new work. Returns false
  // when the walk failed elsewhere.
  bool WaitForRoom(const WalkWorker& worker);
  void HandOnLocked();

  const Database::Rep& db_;
  const Options& options_;
  PairSink& sink_;
  RunMonitor* const monitor_;
  const std::vector<int> starts_;
  size_t threads_ = 1;  // the walk's workers, who share the address space
  StartCursor cursor_;
  std::mutex taking_;  // held while a start item is taken: places follow the cursor
  std::mutex handing_;  // held while pairs are handed on, pieces change or tasks are taken
  std::condition_variable headchanged_;
  std::vector<std::unique_ptr<StartTask>> tasks_;  // by place
  size_t taken_ = 0;                               // start items taken
  std::atomic<size_t> committed_{0};               // start items handed on
  tbb::enumerable_thread_specific<std::unique_ptr<WalkWorker>> workers_;
  tbb::task_group group_;
  std::atomic<bool> failed_{false};
};

namespace {

// Whether the ascending tids of a pair take fewer ints as a bitset of every
// tid than as a list: in a dense database a pair holds a good share of the
// transactions, and its kept tids then shrink many times over.
bool KeptAsBits(int tidnum, const int* tids, int ntids) {
  if ((tidnum + 31) / 32 >= ntids) return false;
  for (int k = 1; k < ntids; k++) {
    if (tids[k] <= tids[k - 1]) return false;
  }
  return true;
}

// Appends a pair to kept, as [ntids, nitems, tids..., items...] or, where
// that is shorter, [-ntids, nitems, bitset of the tids..., items...].
void Keep(std::vector<int>& kept, int tidnum, const int* tids, int ntids, const int* items,
          int nitems) {
  const bool bits = KeptAsBits(tidnum, tids, ntids);
  kept.push_back(bits ? -ntids : ntids);
  kept.push_back(nitems);
  if (bits) {
    const size_t at = kept.size();
    kept.resize(at + size_t(tidnum + 31) / 32, 0);
    // An int may be read and written as its unsigned counterpart.
    unsigned* set = reinterpret_cast<unsigned*>(kept.data() + at);
    for (int k = 0; k < ntids; k++) set[tids[k] >> 5] |= 1u << (tids[k] & 31);
  } else {
    kept.insert(kept.end(), tids, tids + ntids);
  }
  kept.insert(kept.end(), items, items + nitems);
}

// Hands every pair of kept to sink, in the order they were kept.
void HandOnKept(const std::vector<int>& kept, int tidnum, PairSink& sink) {
  std::vector<int> listed;
  for (size_t at = 0; at < kept.size();) {
    const int ntids = std::abs(kept[at]), nitems = kept[at + 1];
    const int* tids = &kept[at + 2];
    size_t tidints = size_t(ntids);
    if (kept[at] < 0) {
      tidints = size_t(tidnum + 31) / 32;
      listed.clear();
      const unsigned* set = reinterpret_cast<const unsigned*>(tids);
      for (size_t w = 0; w < tidints; w++) {
        for (unsigned bits = set[w]; bits; bits &= bits - 1) {
          listed.push_back(int(w * 32) + __builtin_ctz(bits));
        }
      }
      tids = listed.data();
    }
    sink.Add(tids, ntids, &kept[at + 2 + tidints], nitems);
    at += 2 + tidints + size_t(nitems);
  }
}

}  // namespace

void Piece::Add(const int* tids, int ntids, const int* items, int nitems) {
  if (!head_ && (OverBudget() || walk_.IsHead(*this))) {
    walk_.BecomeHeadOnceHead(*this, OverBudget());
  }
  if (head_) {
    head_->Add(tids, ntids, items, nitems);
    return;
  }
  if (OverBudget()) return;  // the walk failed elsewhere: nothing more is kept
  Keep(kept_, walk_.tidnum(), tids, ntids, items, nitems);
}

void Piece::BecomeHead(PairSink& sink) {
  HandOnKept(kept_, walk_.tidnum(), sink);
  std::vector<int>().swap(kept_);
  head_ = &sink;
}

int PieceClaims::Claim(int candidates) {
  task_.candidates.store(candidates, std::memory_order_relaxed);
  const int j = task_.next.fetch_add(1);
  if (piece_ && j < candidates && j == piece_->end()) {
    piece_->Extend();
    return j;
  }
  if (piece_) walk_.Finish(*piece_);
  piece_ = j < candidates ? walk_.NewPiece(worker_, task_, j) : nullptr;
  return j;
}

void ParallelWalk::Run(int threads) {
  threads_ = size_t(threads);
  tbb::task_arena arena(threads);
  arena.execute([&] {
    for (int t = 0; t < threads; t++) group_.run([this] { WalkStarts(); });
    group_.wait();
  });
}

void ParallelWalk::WalkStarts() {
  std::unique_ptr<WalkWorker>& worker = workers_.local();
  if (!worker) worker = std::make_unique<WalkWorker>(db_, monitor_, threads_);
  // When a worker fails (out of memory) the others stop at their next start
  // item.
  while (WaitForRoom(*worker)) {
    StartTask* task = Take();
    if (!task) task = Join();
    if (!task) return;
    // Handing pairs on can fail too (the store reaches its memory limit).
    try {
      WalkTask(*worker, *task);
    } catch (...) {
      std::lock_guard<std::mutex> hold(handing_);
      failed_.store(true);
      headchanged_.notify_all();
      throw;
    }
  }
}

void ParallelWalk::WalkTask(WalkWorker& worker, StartTask& task) {
  PieceClaims claims(*this, worker, task);
  struct Claiming {
    RunContext& context;
    ~Claiming() { context.claims = nullptr; }
  } claiming{worker.context};
  worker.context.claims = &claims;
  ToleranceWalk walk(db_, options_, claims, worker.context);
  walk.Enumeratecdb(starts_[task.start], worker.alltids.data());
}

StartTask* ParallelWalk::Take() {
  std::lock_guard<std::mutex> take(taking_);
  const long long start = cursor_.Next();
  if (start < 0) return nullptr;
  std::lock_guard<std::mutex> hold(handing_);
  tasks_[taken_] = std::make_unique<StartTask>(taken_, start);
  return tasks_[taken_++].get();
}

StartTask* ParallelWalk::Join() {
  std::lock_guard<std::mutex> hold(handing_);
  for (size_t k = committed_.load(); k < taken_; k++) {
    StartTask& task = *tasks_[k];
    const int candidates = task.candidates.load(std::memory_order_relaxed);
    if (candidates < 0 || task.next.load() < candidates) return &task;
  }
  return nullptr;
}

bool ParallelWalk::WaitForRoom(const WalkWorker& worker) {
  std::unique_lock<std::mutex> hold(handing_);
  headchanged_.wait(hold, [&] {
    return worker.kept.load() < Piece::kKeptInts || failed_.load();
  });
  return !failed_.load();
}

void ParallelWalk::BecomeHeadOnceHead(Piece& piece, bool wait) {
  std::unique_lock<std::mutex> hold(handing_);
  if (wait) {
    headchanged_.wait(hold, [&] { return IsHead(piece) || failed_.load(); });
  }
  if (IsHead(piece)) piece.BecomeHead(sink_);
}

Piece* ParallelWalk::NewPiece(WalkWorker& worker, StartTask& task, int first) {
  auto piece = std::make_unique<Piece>(*this, worker, task, first);
  Piece* made = piece.get();
  std::lock_guard<std::mutex> hold(handing_);
  task.pieces.emplace(first, std::move(piece));
  return made;
}

void ParallelWalk::Finish(Piece& piece) {
  std::lock_guard<std::mutex> hold(handing_);
  piece.worker().kept += piece.kept();
  piece.SetWalked();
  HandOnLocked();
}

// Hands on, in the walk's order, every walked piece from the head on, and
// closes every start item whose first candidates are all handed on.
void ParallelWalk::HandOnLocked() {
  for (size_t k; (k = committed_.load(std::memory_order_relaxed)) < taken_;) {
    StartTask& task = *tasks_[k];
    const int handed = task.handed.load(std::memory_order_relaxed);
    const auto head = task.pieces.find(handed);
    if (head != task.pieces.end()) {
      Piece& piece = *head->second;
      if (!piece.walked()) break;
      piece.worker().kept -= piece.kept();
      piece.BecomeHead(sink_);
      task.handed.store(piece.end(), std::memory_order_release);
      task.pieces.erase(head);
      continue;
    }
    const int candidates = task.candidates.load(std::memory_order_relaxed);
    if (candidates < 0 || handed < candidates) break;
    cursor_.Done(task.start);
    if (monitor_) monitor_->UnitDone();
    committed_.store(k + 1, std::memory_order_release);
  }
  headchanged_.notify_all();
}

}  // namespace

void WalkTolerances(const Database::Rep& db, const Options& options, PairSink& sink,
                    RunContext& context) {
  Walk(db, options, sink, context, -1);
}

void WalkTolerancesOnThreads(const Database::Rep& db, const Options& options, PairSink& sink,
                             int threads, RunMonitor* monitor, TaskShare* share) {
  ParallelWalk walk(db, options, sink, monitor, share);
  walk.Run(threads);
}

void WalkStartItem(const Database::Rep& db, const Options& options, PairSink& sink,
                   RunContext& context, int item) {
  Walk(db, options, sink, context, item);
}

}  // namespace quasibiclique

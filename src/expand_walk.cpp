// The tolerance walk of a whole run: its working memory and the loop over
// start items, on one thread or on several.
#include <atomic>
#include <condition_variable>
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
// walked start items keep until they are handed on.
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

// The pairs of one start item on their way to the run's sink in start
// order. While earlier start items are still being walked they are kept,
// per pair [ntids, nitems, tids..., items...]; once all earlier ones are
// handed on, the start item is the head and its pairs go straight to the
// sink. A worker keeps at most kKeptInts ints: beyond them, its walk waits
// to become the head, and it takes no new start item until its walked ones
// are handed on. So a parallel walk holds at most kKeptInts ints per thread
// beyond what the store holds.
class StartItemPairs final : public PairSink {
 public:
  static constexpr size_t kKeptInts = size_t{1} << 20;

  // index: its place among the start items this walk takes; start: its
  // index among all start items.
  StartItemPairs(class ParallelWalk& walk, WalkWorker& worker, size_t index, long long start)
      : walk_(walk), worker_(worker), index_(index), start_(start) {}
  void Add(const int* tids, int ntids, const int* items, int nitems) override;
  size_t index() const { return index_; }
  long long start() const { return start_; }
  WalkWorker& worker() const { return worker_; }
  size_t kept() const { return kept_.size(); }
  // Hands the kept pairs to sink and lets later ones go straight to it.
  void BecomeHead(PairSink& sink);

 private:
  bool OverBudget() const { return kept_.size() + worker_.kept.load() >= kKeptInts; }

  class ParallelWalk& walk_;
  WalkWorker& worker_;
  const size_t index_;
  const long long start_;
  PairSink* head_ = nullptr;  // the run's sink, once this start item is the head
  std::vector<int> kept_;
};

// The walk on several workers: the start items are taken in ascending order
// from a shared cursor, each walked by one worker; the sink sees the pairs
// in start order, one call at a time, so it sees what a walk on one thread
// hands it, in the same order.
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
        done_(starts_.size()) {
    if (monitor_) monitor_->SetUnits(starts_.size());
  }
  void Run(int threads);
  // The start item k is the head: every earlier one is handed on.
  bool IsHead(size_t k) const { return committed_.load(std::memory_order_acquire) == k; }
  // Hands on the kept pairs of `pairs` and makes it the head, once it is;
  // waits until then when `wait`.
  void BecomeHeadOnceHead(StartItemPairs& pairs, bool wait);

 private:
  void WalkStarts();
  // Takes the next start item: sets its place among those taken and its
  // index among all. Returns false when none is left.
  bool Take(size_t* index, long long* start);
  // Waits while the worker keeps too much to take a new start item.
  // Returns false when the walk failed elsewhere.
  bool WaitForRoom(const WalkWorker& worker);
  void Finish(std::unique_ptr<StartItemPairs> pairs);

  const Database::Rep& db_;
  const Options& options_;
  PairSink& sink_;
  RunMonitor* const monitor_;
  const std::vector<int> starts_;
  size_t threads_ = 1;  // the walk's workers, who share the address space
  StartCursor cursor_;
  std::mutex taking_;  // held while a start item is taken: places follow the cursor
  size_t taken_ = 0;   // start items taken
  std::mutex handing_;  // held while pairs are handed on and the head changes
  std::condition_variable headchanged_;
  std::vector<std::unique_ptr<StartItemPairs>> done_;  // by place: walked, not yet handed on
  std::atomic<size_t> committed_{0};                   // start items handed on
  tbb::enumerable_thread_specific<std::unique_ptr<WalkWorker>> workers_;
  tbb::task_group group_;
  std::atomic<bool> failed_{false};
};

void StartItemPairs::Add(const int* tids, int ntids, const int* items, int nitems) {
  if (!head_ && (OverBudget() || walk_.IsHead(index_))) {
    walk_.BecomeHeadOnceHead(*this, OverBudget());
  }
  if (head_) {
    head_->Add(tids, ntids, items, nitems);
    return;
  }
  if (OverBudget()) return;  // the walk failed elsewhere: nothing more is kept
  kept_.push_back(ntids);
  kept_.push_back(nitems);
  kept_.insert(kept_.end(), tids, tids + ntids);
  kept_.insert(kept_.end(), items, items + nitems);
}

void StartItemPairs::BecomeHead(PairSink& sink) {
  for (size_t at = 0; at < kept_.size();) {
    const int ntids = kept_[at], nitems = kept_[at + 1];
    const int* tids = &kept_[at + 2];
    sink.Add(tids, ntids, tids + ntids, nitems);
    at += 2 + size_t(ntids) + size_t(nitems);
  }
  std::vector<int>().swap(kept_);
  head_ = &sink;
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
  size_t index;
  long long start;
  while (WaitForRoom(*worker) && Take(&index, &start)) {
    auto pairs = std::make_unique<StartItemPairs>(*this, *worker, index, start);
    // Handing pairs on can fail too (the store reaches its memory limit).
    try {
      ToleranceWalk walk(db_, options_, *pairs, worker->context);
      walk.Enumeratecdb(starts_[start], worker->alltids.data());
      Finish(std::move(pairs));
      if (monitor_) monitor_->UnitDone();
    } catch (...) {
      std::lock_guard<std::mutex> hold(handing_);
      failed_.store(true);
      headchanged_.notify_all();
      throw;
    }
  }
}

bool ParallelWalk::Take(size_t* index, long long* start) {
  std::lock_guard<std::mutex> hold(taking_);
  *start = cursor_.Next();
  if (*start < 0) return false;
  *index = taken_++;
  return true;
}

bool ParallelWalk::WaitForRoom(const WalkWorker& worker) {
  std::unique_lock<std::mutex> hold(handing_);
  headchanged_.wait(hold, [&] {
    return worker.kept.load() < StartItemPairs::kKeptInts || failed_.load();
  });
  return !failed_.load();
}

void ParallelWalk::BecomeHeadOnceHead(StartItemPairs& pairs, bool wait) {
  std::unique_lock<std::mutex> hold(handing_);
  if (wait) {
    headchanged_.wait(hold, [&] { return IsHead(pairs.index()) || failed_.load(); });
  }
  if (IsHead(pairs.index())) pairs.BecomeHead(sink_);
}

// A walked start item is handed on when it is the head, together with the
// walked ones after it; else it waits for the head to reach it.
void ParallelWalk::Finish(std::unique_ptr<StartItemPairs> pairs) {
  std::lock_guard<std::mutex> hold(handing_);
  pairs->worker().kept += pairs->kept();
  done_[pairs->index()] = std::move(pairs);
  size_t k = committed_.load(std::memory_order_relaxed);
  for (; k < done_.size() && done_[k]; k++) {
    done_[k]->worker().kept -= done_[k]->kept();
    done_[k]->BecomeHead(sink_);
    cursor_.Done(done_[k]->start());
    done_[k].reset();
  }
  committed_.store(k, std::memory_order_release);
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

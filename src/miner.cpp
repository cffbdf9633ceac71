// A run: the choice of the search, the mining thread, and the two ends of a
// run's results (the library's sink and the output file).
#include "miner.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>

#include <tbb/global_control.h>

#include "database.h"
#include "exact.h"
#include "expand.h"
#include "memory_status.h"
#include "pools.h"
#include "result_shards.h"
#include "resident_limit.h"
#include "result_writer.h"
#include "run_monitor.h"
#include "text_filter.h"
#include "watch.h"

namespace quasibiclique {

TextFilter::LabelOf LabelsOf(const Labels& labels) {
  if (labels.empty()) return nullptr;
  return [&labels](int id) { return labels[id]; };
}

ExactInput ExactInputOf(const Database::Rep& rep, const Options& options) {
  return ExactInput{rep.tidnum,
                    rep.itemnum,
                    rep.tranlist,
                    rep.itemlist,
                    options.item_supportLevel,
                    options.itemTolerance,
                    options.transactionTolerance,
                    options.transaction_supportLevel,
                    rep.undirected()};
}

namespace {

// Stack of the mining thread: the tolerance walk recurses once per tolerance
// combination member, per item-set node and per extension level. Under an
// address-space limit it takes at most its share of it; where that share, or
// what can be reserved, is below the smallest, the calling thread mines on
// its own stack (the deepest recursion seen needs a quarter of a megabyte).
constexpr size_t kMiningStackBytes = size_t{1} << 30;
constexpr size_t kSmallestMiningStack = size_t{16} << 20;

// Stack of the workers of a parallel run (only reserved: pages are
// committed as the recursion reaches them); under an address-space limit,
// their share of it, split among them.
constexpr size_t kWorkerStackBytes = size_t{64} << 20;
constexpr size_t kSmallestWorkerStack = size_t{2} << 20;

size_t WorkerStackBytes(int threads) {
  return std::clamp(ShareOfMappable(size_t(threads)), kSmallestWorkerStack, kWorkerStackBytes);
}

// The workers a run on `threads` threads needs while it lasts: as many as
// it asks for (even beyond the cores), with large stacks.
struct WorkerLimits {
  explicit WorkerLimits(int threads)
      : parallelism(tbb::global_control::max_allowed_parallelism, threads),
        stack(tbb::global_control::thread_stack_size, WorkerStackBytes(threads)) {}
  tbb::global_control parallelism;
  tbb::global_control stack;
};

// How the search of a run hands its pairs over: the exact search's pairs
// never contain one another, so any order stores the same.
ResultShards::Arrival ArrivalOf(const Options& options) {
  return RunsExactSearch(options) ? ResultShards::Arrival::kAnyOrder
                                  : ResultShards::Arrival::kInOrder;
}

// The message of a run stopped at one of its bounds, or on request (the
// only stop that gives no reason).
Status StoppedAt(const Options& options, const RunMonitor& monitor) {
  if (monitor.reason() == RunMonitor::kTimeLimit) {
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%g", options.time_limit);
    return Status::Stopped(std::string("the search reached its time limit (") + seconds +
                           " s)");
  }
  if (monitor.reason() == RunMonitor::kResultLimit) {
    return Status::Stopped("the search reached its result limit (" +
                           std::to_string(options.max_results) + " results)");
  }
  return Status::Stopped("the search was stopped on request");
}

// How often a run's time limit is looked at: a run with a limit ends at
// most this much after it.
constexpr auto kTimeLimitPeriod = std::chrono::milliseconds(10);

// Stops a run's searches once its time limit has passed. False when the
// run has a limit and no thread could be made to watch it.
bool WatchTimeLimit(double seconds, RunMonitor& monitor, std::optional<Watch>& timer) {
  if (seconds <= 0) return true;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
  timer.emplace(kTimeLimitPeriod, [deadline, &monitor] {
    if (std::chrono::steady_clock::now() < deadline) return true;
    monitor.Stop(RunMonitor::kTimeLimit);
    return false;
  });
  return timer->started();
}

// Whether the pruned database has the transactions and items a result
// needs: when it has fewer, no search can find one, however long it tried
// (34 vertices asked for 35 transactions would take hours).
bool CanHaveResults(const Database::Rep& rep, const Options& options) {
  return rep.tidnum >= std::max(2, options.transaction_supportLevel) &&
         rep.itemnum >= options.item_supportLevel;
}

// The search options choose on `threads` threads, handing its pairs to
// sink; with a share, only this process's tasks.
void SearchOnThreads(const Database::Rep& rep, const Options& options, PairSink& sink,
                     int threads, RunMonitor* monitor, TaskShare* share) {
  if (RunsExactSearch(options)) {
    ExactInput input = ExactInputOf(rep, options);
    input.monitor = monitor;
    input.share = share;
    EnumerateMaximalPairs(input, sink, threads);
  } else if (threads > 1) {
    WalkTolerancesOnThreads(rep, options, sink, threads, monitor, share);
  } else {
    RunContext context(rep);
    context.monitor = monitor;
    context.share = share;
    WalkTolerances(rep, options, sink, context);
  }
}

// Runs one search; what it throws when memory runs out, or when the run
// is stopped, becomes a status. A run spread over processes searches this
// process's tasks and gathers every process's pairs into sink.
// REQUIRES: monitor is not null when share is not.
Status Search(const Database& db, const Options& options, PairSink& sink, RunMonitor* monitor,
              TaskShare* share) {
  const Database::Rep& rep = db.rep();
  if (!CanHaveResults(rep, options)) return Status::OK();
  const int threads = RunThreads(options);
  return GuardMemory([&] {
    const WorkerLimits limits(threads);
    try {
      if (share) {
        share->Gather(sink, *monitor, !RunsExactSearch(options), [&](PairSink& mine) {
          SearchOnThreads(rep, options, mine, threads, monitor, share);
        });
      } else {
        SearchOnThreads(rep, options, sink, threads, monitor, nullptr);
      }
    } catch (const RunMonitor::Stopped&) {
      if (monitor->reason() == RunMonitor::kMemoryLimit) {
        return Status::OutOfMemory("the run's memory reached its limit");
      }
      return StoppedAt(options, *monitor);
    }
    return Status::OK();
  });
}

// Counts the pairs a search hands on to `next` for the run's monitor, and
// stops the run once they make options.max_results results. For the exact
// search on an undirected graph a pair whose mirror is a pair too counts
// half: the output writes one of the two.
class CountedSink final : public PairSink {
 public:
  // countresults: results() is wanted (else only the monitor's count, and
  // a mirror is looked for only at a limit).
  CountedSink(PairSink& next, const Database::Rep& rep, const Options& options,
              RunMonitor& monitor, bool countresults)
      : next_(next),
        input_(ExactInputOf(rep, options)),
        halvesmirrored_(rep.undirected() && RunsExactSearch(options) &&
                        (countresults || options.max_results > 0)),
        limit_(2 * options.max_results),
        monitor_(monitor) {}

  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    const int halves = MirrorIsPair(tids, ntids, items, nitems) ? 1 : 2;
    const long long before = halves_.fetch_add(halves);
    if (limit_ && before >= limit_) throw RunMonitor::Stopped();
    next_.Add(tids, ntids, items, nitems);
    monitor_.ResultFound();
    if (limit_ && before + halves >= limit_) {
      monitor_.Stop(RunMonitor::kResultLimit);
      throw RunMonitor::Stopped();
    }
  }

  // The results the pairs handed on make once the output keeps one of
  // two mirrors (exact when every pair of the run was found), at most the
  // result limit. A run stopped at the limit has counted at least that many
  // halves, but not exactly: a pair found by another thread meanwhile is
  // counted before it sees the stop, and a pair whose mirror is a pair too
  // counts half though its mirror may never be found, so the last whole
  // pair can pass the limit. The output keeps the first max_results lines
  // either way.
  long long results() const {
    const long long found = (halves_.load() + 1) / 2;
    return limit_ ? std::min(found, limit_ / 2) : found;
  }

 private:
  bool MirrorIsPair(const int* tids, int ntids, const int* items, int nitems) const {
    return halvesmirrored_ && IsMaximalPair(input_, items, nitems, tids, ntids);
  }

  PairSink& next_;
  const ExactInput input_;
  const bool halvesmirrored_;
  const long long limit_;  // in halves; 0: none
  RunMonitor& monitor_;
  std::atomic<long long> halves_{0};
};

// A run's bounds and its monitor: the searches of MineBounded are stopped
// at options.time_limit and at options.max_results.
Status MineBounded(const Database& db, const Options& options, PairSink& sink,
                   RunMonitor* monitor, TaskShare* share, long long* results = nullptr) {
  RunMonitor own;
  RunMonitor& watched = monitor ? *monitor : own;
  watched.Watch(options.stop);
  CountedSink counted(sink, db.rep(), options, watched, results != nullptr);
  std::optional<Watch> timer;
  if (!WatchTimeLimit(options.time_limit, watched, timer)) {
    return Status::OutOfMemory("no memory for the thread that watches the time limit");
  }
  Status s = Search(db, options, counted, &watched, share);
  if (results) *results = counted.results();
  return s;
}

// Whether a run needs its monitor: a bound, a stop token, someone watching,
// or other processes that may stop it.
bool Monitored(const Options& options, const RunMonitor* monitor, const TaskShare* share) {
  return monitor || share || options.max_results > 0 || options.time_limit > 0 || options.stop;
}

struct LargeStackCall {
  const std::function<Status()>& work;
  Status status;
};

void* WorkOnThread(void* call) {
  LargeStackCall& c = *static_cast<LargeStackCall*>(call);
  c.status = c.work();
  return nullptr;
}

// Runs the work on a thread with a stack of `bytes`. Returns false when such
// a thread cannot be created.
bool WorkWithStack(LargeStackCall& call, size_t bytes) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_t thread;
  const bool created = pthread_attr_setstacksize(&attr, bytes) == 0 &&
                       pthread_create(&thread, &attr, WorkOnThread, &call) == 0;
  pthread_attr_destroy(&attr);
  if (created) pthread_join(thread, nullptr);
  return created;
}

}  // namespace

bool RunsExactSearch(const Options& options) {
  return options.search == kSearchExact ||
         (options.search == kSearchAuto && InExactRegime(options));
}

Status CheckRunOptions(const Database& db, const Options& options) {
  Status s = options.Validate();
  if (!s.ok()) return s;
  const Options& loaded = db.options();
  if (options.item_supportLevel != loaded.item_supportLevel ||
      options.itemTolerance != loaded.itemTolerance ||
      options.transactionTolerance != loaded.transactionTolerance ||
      options.transaction_supportLevel != loaded.transaction_supportLevel ||
      options.graphtype != loaded.graphtype) {
    return Status::InvalidArgument(
        "the options differ from those the database was loaded for (only the search choice "
        "may differ)");
  }
  return Status::OK();
}

Status OnLargeStack(const std::function<Status()>& work) {
  LargeStackCall call{work, Status::OK()};
  const size_t wanted = std::min(kMiningStackBytes, ShareOfMappable(1));
  for (size_t bytes = ReservableSize(wanted, kSmallestMiningStack); bytes >= kSmallestMiningStack;
       bytes /= 2) {
    if (WorkWithStack(call, bytes)) return call.status;
  }
  return work();
}

namespace {

// Address space a worker needs beside its stack under an address-space
// limit: its share of the heap (the allocator gives each thread an arena of
// its own) and room for the pools it fills.
constexpr size_t kAddressSpacePerWorker = size_t{256} << 20;

// The most threads an address-space or data limit leaves room for: a worker
// thread that cannot be created would end the process, so a run under a
// tight limit keeps to fewer threads, down to the one that mines alone.
int ThreadsWithinAddressSpace(int threads) {
  const size_t mappable = MappableBytes();
  if (mappable == SIZE_MAX) return threads;
  const size_t room = mappable / (kAddressSpacePerWorker + kWorkerStackBytes);
  return static_cast<int>(std::clamp<size_t>(room, 1, static_cast<size_t>(threads)));
}

}  // namespace

int RunThreads(const Options& options) {
  int threads = options.threads;
  if (threads == 0) {
    cpu_set_t cpus;
    threads = sched_getaffinity(0, sizeof(cpus), &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  }
  return ThreadsWithinAddressSpace(std::clamp(threads, 1, kMaxThreads));
}

Status MineHere(const Database& db, const Options& options, PairSink& sink,
                RunMonitor* monitor, TaskShare* share) {
  if (Monitored(options, monitor, share)) return MineBounded(db, options, sink, monitor, share);
  return Search(db, options, sink, nullptr, nullptr);
}

Status MineInto(const Database& db, const Options& options, PairSink& sink) {
  return OnLargeStack([&] { return MineHere(db, options, sink); });
}

namespace {

// Writes the results writer (a ResultWriter or a ShardWriter) took over to
// out.file in dataset ids and sets *lines. Returns OK, or IOError with the
// reason of the failed write.
template <typename Writer>
Status WriteTextOf(Writer& writer, const Database::Rep& rep, const TextOutput& out, int* lines) {
  errno = 0;
  const int error = writer.WriteText(out.file, rep.tidoldid.data(), rep.tidnum,
                                     rep.itemoldid.data(), rep.itemnum);
  *lines = writer.lines();
  return error ? Status::IOError(strerror(error)) : Status::OK();
}

// A search that ended with results to write: it finished, or it was stopped.
bool HasResults(const Status& mined) { return mined.ok() || mined.code() == Status::kStopped; }

// The status of a run whose results were mined (mined) and written
// (written): the failure of the writing first.
Status RunStatus(const Status& mined, const Status& written) {
  return written.ok() ? mined : written;
}

// The results in one store, written by one writer.
Status MineToTextSerially(const Database& db, const Options& options, const TextOutput& out,
                          int* lines) {
  const Database::Rep& rep = db.rep();
  ResultStore store(out.progress, out.context);
  Status mined = MineHere(db, options, store, out.monitor, out.share);
  if (!HasResults(mined)) return mined;
  return RunStatus(mined, GuardMemory([&] {
                     ResultWriter writer(store, rep.undirected());
                     return WriteTextOf(writer, rep, out, lines);
                   }));
}

// The results in shards, laid out and formatted in parallel, or spilled and
// merged.
Status MineToTextInShards(const Database& db, const Options& options, const TextOutput& out,
                          int* lines) {
  const Database::Rep& rep = db.rep();
  const int threads = RunThreads(options);
  ResultShards shards(rep.itemnum, kShardsPerThread * threads, ArrivalOf(options), out.progress,
                      out.context);
  if (out.memorylimit != SIZE_MAX) shards.LimitMemory(out.memorylimit, out.spilldirectory);
  Status mined = MineHere(db, options, shards, out.monitor, out.share);
  if (!HasResults(mined)) return mined;
  const ExactInput input = ExactInputOf(rep, options);
  const ShardWriter::Stored stored = [&](const int* tids, int ntids, const int* items,
                                         int nitems) {
    return IsMaximalPair(input, tids, ntids, items, nitems);
  };
  return RunStatus(mined, GuardMemory([&] {
                     const WorkerLimits limits(threads);
                     ShardWriter writer(shards, rep.undirected(), threads, stored);
                     return WriteTextOf(writer, rep, out, lines);
                   }));
}

Status MineToStores(const Database& db, const Options& options, const TextOutput& out,
                    int* lines) {
  if (RunThreads(options) == 1 && out.memorylimit == SIZE_MAX) {
    return MineToTextSerially(db, options, out, lines);
  }
  return MineToTextInShards(db, options, out, lines);
}

// Counts the exact search's pairs without keeping them, with the progress
// numbers a store of them would report.
class CountingSink final : public PairSink {
 public:
  CountingSink(ResultStore::Progress progress, void* context) : count_(progress, context) {}
  void Add(const int*, int, const int*, int) override { count_.Count(); }

 private:
  StoredCount count_;
};

// The exact search's results counted, not kept: its pairs never contain
// one another, so each is a result (a pair and its mirror one together).
Status CountExactResults(const Database& db, const Options& options, const TextOutput& out,
                         int* lines) {
  CountingSink counter(out.progress, out.context);
  long long results = 0;
  Status s = MineBounded(db, options, counter, out.monitor, out.share, &results);
  if (HasResults(s)) *lines = static_cast<int>(std::min<long long>(results, INT_MAX));
  return s;
}

// Whether the lines need the text filter: a cut after max_results lines
// (of two mirrors both found the output keeps one, so an undirected
// graph's bounded run may find more), labels, or lines only counted.
bool NeedsFilter(const Database::Rep& rep, const Options& options, const TextOutput& out) {
  return options.max_results > 0 || out.countonly || !rep.tidlabels.empty() ||
         !rep.itemlabels.empty();
}

// MineToStores through the text filter.
Status MineThroughFilter(const Database& db, const Options& options, const TextOutput& out,
                         int* lines) {
  const Database::Rep& rep = db.rep();
  TextFilter filter(out.countonly ? nullptr : out.file,
                    options.max_results > 0 ? options.max_results : -1, LabelsOf(rep.tidlabels),
                    LabelsOf(rep.itemlabels));
  if (!filter.file()) return Status::IOError(strerror(errno));
  TextOutput through = out;
  through.file = filter.file();
  Status s = MineToStores(db, options, through, lines);
  const int error = filter.Close();
  if (HasResults(s)) *lines = static_cast<int>(filter.lines());
  if (error && HasResults(s)) return Status::IOError(strerror(error));
  return s;
}

}  // namespace

Status MineToText(const Database& db, const Options& options, const TextOutput& out,
                  int* lines) {
  if (out.residentlimit != SIZE_MAX) {
    RunMonitor own;
    TextOutput watched = out;
    watched.residentlimit = SIZE_MAX;
    if (!watched.monitor) watched.monitor = &own;
    const ResidentLimit watch(out.residentlimit, *watched.monitor);
    return MineToText(db, options, watched, lines);
  }
  if (out.countonly && RunsExactSearch(options)) {
    return CountExactResults(db, options, out, lines);
  }
  if (NeedsFilter(db.rep(), options, out)) return MineThroughFilter(db, options, out, lines);
  return MineToStores(db, options, out, lines);
}

namespace {

// The results of a run handed to a library user, at most max_results of
// them (of two mirrors both found the output keeps one, so a bounded run
// may find more).
class ToUserSink final : public PairSink {
 public:
  ToUserSink(ResultSink& sink, long long limit) : sink_(sink), limit_(limit) {}
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    if (limit_ > 0 && handed_ == limit_) return;
    handed_++;
    sink_.Add(tids, ntids, items, nitems);
  }

 private:
  ResultSink& sink_;
  const long long limit_;
  long long handed_ = 0;
};

}  // namespace

Status Mine(const Database& db, const Options& options, ResultSink& sink) {
  Status s = CheckRunOptions(db, options);
  if (!s.ok()) return s;
  const Database::Rep& rep = db.rep();
  ToUserSink forward(sink, options.max_results);
  const int threads = RunThreads(options);
  return GuardMemory([&] {
    if (threads == 1) {
      ResultStore store;
      Status mined = MineInto(db, options, store);
      if (!HasResults(mined)) return mined;
      ResultWriter writer(store, rep.undirected());
      writer.Deliver(forward, rep.tidoldid.data(), rep.tidnum, rep.itemoldid.data(),
                     rep.itemnum);
      return mined;
    }
    ResultShards shards(rep.itemnum, kShardsPerThread * threads, ArrivalOf(options));
    Status mined = MineInto(db, options, shards);
    if (!HasResults(mined)) return mined;
    const WorkerLimits limits(threads);
    ShardWriter writer(shards, rep.undirected(), threads);
    writer.Deliver(forward, rep.tidoldid.data(), rep.tidnum, rep.itemoldid.data(), rep.itemnum);
    return mined;
  });
}

namespace {

// Hands the exact search's pairs on as they come: in dataset ids, one call
// at a time, a pair whose mirror is a result too only in one orientation;
// at the run's result limit it stops the run, as the run's own count does.
class AsFoundSink final : public PairSink {
 public:
  AsFoundSink(ResultSink& sink, const Database::Rep& rep, const Options& options,
              RunMonitor& monitor)
      : sink_(sink),
        rep_(rep),
        input_(ExactInputOf(rep, options)),
        limit_(options.max_results),
        monitor_(monitor) {}

  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    if (rep_.undirected() && !HandedOrientation(tids, ntids, items, nitems)) return;
    std::lock_guard<std::mutex> hold(mutex_);
    if (limit_ > 0 && handed_ == limit_) throw RunMonitor::Stopped();
    InDatasetIds(tids, ntids, rep_.tidoldid, &tids_);
    InDatasetIds(items, nitems, rep_.itemoldid, &items_);
    sink_.Add(tids_.data(), ntids, items_.data(), nitems);
    if (++handed_ == limit_) {
      monitor_.Stop(RunMonitor::kResultLimit);
      throw RunMonitor::Stopped();
    }
  }

 private:
  // Whether (tids, items) is handed over: always, unless its mirror is a
  // result too and its smallest transaction is above its smallest item.
  bool HandedOrientation(const int* tids, int ntids, const int* items, int nitems) const {
    const auto smallest = [](const int* ids, int n, const std::vector<int>& oldid) {
      int least = oldid[size_t(ids[0])];
      for (int k = 1; k < n; k++) least = std::min(least, oldid[size_t(ids[k])]);
      return least;
    };
    return smallest(tids, ntids, rep_.tidoldid) < smallest(items, nitems, rep_.itemoldid) ||
           !IsMaximalPair(input_, items, nitems, tids, ntids);
  }

  static void InDatasetIds(const int* ids, int n, const std::vector<int>& oldid,
                           std::vector<int>* out) {
    out->resize(size_t(n));
    for (int k = 0; k < n; k++) (*out)[size_t(k)] = oldid[size_t(ids[k])];
    std::sort(out->begin(), out->end());
  }

  ResultSink& sink_;
  const Database::Rep& rep_;
  const ExactInput input_;
  const long long limit_;
  RunMonitor& monitor_;
  std::mutex mutex_;
  long long handed_ = 0;
  std::vector<int> tids_, items_;
};

}  // namespace

Status MineAsFound(const Database& db, const Options& options, ResultSink& sink) {
  Status s = CheckRunOptions(db, options);
  if (!s.ok()) return s;
  if (!RunsExactSearch(options)) {
    return Status::InvalidArgument(
        "results as they are found need the exact search: the tolerance walk may replace a "
        "pair it found by a later one");
  }
  // The sink stops the run at the result limit: it counts the results it
  // hands over, where the run's own count takes a pair and its mirror as
  // halves, seen in any order.
  RunMonitor monitor;
  AsFoundSink forward(sink, db.rep(), options, monitor);
  Options unbounded = options;
  unbounded.max_results = 0;
  s = OnLargeStack([&] { return MineHere(db, unbounded, forward, &monitor, nullptr); });
  return s.code() == Status::kStopped ? StoppedAt(options, monitor) : s;
}

namespace {

// Counts the results handed over.
class CountSink final : public ResultSink {
 public:
  void Add(const int*, int, const int*, int) override { count++; }
  long long count = 0;
};

}  // namespace

Status Count(const Database& db, const Options& options, long long* results) {
  *results = 0;
  Status s = CheckRunOptions(db, options);
  if (!s.ok()) return s;
  if (!RunsExactSearch(options)) {
    CountSink counter;
    s = Mine(db, options, counter);
    *results = counter.count;
    return s;
  }
  return OnLargeStack([&] {
    CountingSink counter(nullptr, nullptr);
    return MineBounded(db, options, counter, nullptr, nullptr, results);
  });
}

ResultSink::~ResultSink() = default;

}  // namespace quasibiclique

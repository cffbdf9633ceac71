// A run: the choice of the search, the mining thread, and the two ends of a
// run's results (the library's sink and the output file).
#include "miner.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include <tbb/global_control.h>

#include "database.h"
#include "exact.h"
#include "expand.h"
#include "memory_status.h"
#include "result_shards.h"
#include "result_writer.h"

namespace quasibiclique {

namespace {

// Stack of the mining thread: the tolerance walk recurses once per tolerance
// combination member, per item-set node and per extension level. When that
// much address space cannot be had, smaller halves of it are used, down to
// twice the usual stack of a process.
constexpr size_t kMiningStackBytes = size_t{1} << 30;
constexpr size_t kSmallestMiningStack = size_t{16} << 20;

// Stack of the workers of a parallel run (only reserved: pages are
// committed as the recursion reaches them).
constexpr size_t kWorkerStackBytes = size_t{64} << 20;

// Shards of the output order per thread: enough that a few heavy ones
// leave the others room to balance the layout and the formatting.
constexpr int kShardsPerThread = 16;

// The workers a run on `threads` threads needs while it lasts: as many as
// it asks for (even beyond the cores), with large stacks.
struct WorkerLimits {
  explicit WorkerLimits(int threads)
      : parallelism(tbb::global_control::max_allowed_parallelism, threads),
        stack(tbb::global_control::thread_stack_size, kWorkerStackBytes) {}
  tbb::global_control parallelism;
  tbb::global_control stack;
};

// The exact search runs (else the tolerance walk).
bool RunsExactSearch(const Options& options) {
  return options.search == kSearchExact ||
         (options.search == kSearchAuto && InExactRegime(options));
}

// How the search of a run hands its pairs over: the exact search's pairs
// never contain one another, so any order stores the same.
ResultShards::Arrival ArrivalOf(const Options& options) {
  return RunsExactSearch(options) ? ResultShards::Arrival::kAnyOrder
                                  : ResultShards::Arrival::kInOrder;
}

// The loaded database and the options as the exact search takes them.
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

// Runs one search; what it throws when memory runs out becomes a status.
Status Search(const Database& db, const Options& options, PairSink& sink) {
  const Database::Rep& rep = db.rep();
  const int threads = RunThreads(options);
  return GuardMemory([&] {
    const WorkerLimits limits(threads);
    if (RunsExactSearch(options)) {
      EnumerateMaximalPairs(ExactInputOf(rep, options), sink, threads);
    } else if (threads > 1) {
      WalkTolerancesOnThreads(rep, options, sink, threads);
    } else {
      RunContext context(rep);
      WalkTolerances(rep, options, sink, context);
    }
    return Status::OK();
  });
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

// The results of a run handed to a library user: dataset ids.
class ToUserSink final : public PairSink {
 public:
  explicit ToUserSink(ResultSink& sink) : sink_(sink) {}
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    sink_.Add(tids, ntids, items, nitems);
  }

 private:
  ResultSink& sink_;
};

}  // namespace

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
  size_t bytes = ReservableSize(kMiningStackBytes, kSmallestMiningStack);
  for (; bytes >= kSmallestMiningStack; bytes /= 2) {
    if (WorkWithStack(call, bytes)) return call.status;
  }
  return work();
}

namespace {

// Address space a worker needs beside its stack under an address-space
// limit: its share of the heap (the allocator gives each thread an arena of
// its own) and room for the pools it fills.
constexpr size_t kAddressSpacePerWorker = size_t{256} << 20;

// The most threads an address-space limit leaves room for: a worker thread
// that cannot be created would end the process, so a run under a tight
// limit keeps to fewer threads, down to the one that mines alone.
int ThreadsWithinAddressSpace(int threads) {
  rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return threads;
  const size_t room = limit.rlim_cur / (kAddressSpacePerWorker + kWorkerStackBytes);
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

Status MineHere(const Database& db, const Options& options, PairSink& sink) {
  return Search(db, options, sink);
}

Status MineInto(const Database& db, const Options& options, PairSink& sink) {
  return OnLargeStack([&] { return Search(db, options, sink); });
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

// The results in one store, written by one writer.
Status MineToTextSerially(const Database& db, const Options& options, const TextOutput& out,
                          int* lines) {
  const Database::Rep& rep = db.rep();
  ResultStore store(out.progress, out.context);
  Status s = MineHere(db, options, store);
  if (!s.ok()) return s;
  return GuardMemory([&] {
    ResultWriter writer(store, rep.undirected());
    return WriteTextOf(writer, rep, out, lines);
  });
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
  Status s = MineHere(db, options, shards);
  if (!s.ok()) return s;
  const ExactInput input = ExactInputOf(rep, options);
  const ShardWriter::Stored stored = [&](const int* tids, int ntids, const int* items,
                                         int nitems) {
    return IsMaximalPair(input, tids, ntids, items, nitems);
  };
  return GuardMemory([&] {
    const WorkerLimits limits(threads);
    ShardWriter writer(shards, rep.undirected(), threads, stored);
    return WriteTextOf(writer, rep, out, lines);
  });
}

}  // namespace

Status MineToText(const Database& db, const Options& options, const TextOutput& out,
                  int* lines) {
  if (RunThreads(options) == 1 && out.memorylimit == SIZE_MAX) {
    return MineToTextSerially(db, options, out, lines);
  }
  return MineToTextInShards(db, options, out, lines);
}

Status Mine(const Database& db, const Options& options, ResultSink& sink) {
  Status s = CheckRunOptions(db, options);
  if (!s.ok()) return s;
  const Database::Rep& rep = db.rep();
  ToUserSink forward(sink);
  const int threads = RunThreads(options);
  return GuardMemory([&] {
    if (threads == 1) {
      ResultStore store;
      Status mined = MineInto(db, options, store);
      if (!mined.ok()) return mined;
      ResultWriter writer(store, rep.undirected());
      writer.Deliver(forward, rep.tidoldid.data(), rep.tidnum, rep.itemoldid.data(),
                     rep.itemnum);
      return Status::OK();
    }
    ResultShards shards(rep.itemnum, kShardsPerThread * threads, ArrivalOf(options));
    Status mined = MineInto(db, options, shards);
    if (!mined.ok()) return mined;
    const WorkerLimits limits(threads);
    ShardWriter writer(shards, rep.undirected(), threads);
    writer.Deliver(forward, rep.tidoldid.data(), rep.tidnum, rep.itemoldid.data(), rep.itemnum);
    return Status::OK();
  });
}

ResultSink::~ResultSink() = default;

}  // namespace quasibiclique

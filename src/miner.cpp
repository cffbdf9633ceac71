// A run: the choice of the search, the mining thread, and the two ends of a
// run's results (the library's sink and the output file).
#include "miner.h"

#include <pthread.h>

#include <cstring>
#include <functional>

#include "database.h"
#include "exact.h"
#include "expand.h"
#include "memory_status.h"
#include "result_writer.h"

namespace quasibiclique {

namespace {

// Stack of the mining thread: the tolerance walk recurses once per tolerance
// combination member, per item-set node and per extension level. When that
// much address space cannot be had, smaller halves of it are used, down to
// twice the usual stack of a process.
constexpr size_t kMiningStackBytes = size_t{1} << 30;
constexpr size_t kSmallestMiningStack = size_t{16} << 20;

// Runs one search; what it throws when memory runs out becomes a status.
Status Search(const Database& db, const Options& options, PairSink& sink) {
  const Database::Rep& rep = db.rep();
  return GuardMemory([&] {
    if (options.search == kSearchExact ||
        (options.search == kSearchAuto && InExactRegime(options))) {
      const ExactInput input{rep.tidnum,
                             rep.itemnum,
                             rep.tranlist,
                             rep.itemlist,
                             options.item_supportLevel,
                             options.itemTolerance,
                             options.transactionTolerance,
                             options.transaction_supportLevel,
                             rep.undirected()};
      EnumerateMaximalPairs(input, sink);
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

Status MineHere(const Database& db, const Options& options, PairSink& sink) {
  return Search(db, options, sink);
}

Status MineInto(const Database& db, const Options& options, PairSink& sink) {
  return OnLargeStack([&] { return Search(db, options, sink); });
}

Status WriteResults(ResultStore& store, const Database& db, std::FILE* file, int* lines) {
  const Database::Rep& rep = db.rep();
  return GuardMemory([&] {
    ResultWriter writer(store, rep.undirected());
    const int error =
        writer.WriteText(file, rep.tidoldid.data(), rep.tidnum, rep.itemoldid.data(), rep.itemnum);
    *lines = writer.lines();
    return error ? Status::IOError(strerror(error)) : Status::OK();
  });
}

Status Mine(const Database& db, const Options& options, ResultSink& sink) {
  Status s = CheckRunOptions(db, options);
  if (!s.ok()) return s;
  const Database::Rep& rep = db.rep();
  return GuardMemory([&] {
    ResultStore store;
    Status mined = MineInto(db, options, store);
    if (!mined.ok()) return mined;
    ResultWriter writer(store, rep.undirected());
    ToUserSink forward(sink);
    writer.Deliver(forward, rep.tidoldid.data(), rep.tidnum, rep.itemoldid.data(), rep.itemnum);
    return Status::OK();
  });
}

ResultSink::~ResultSink() = default;

}  // namespace quasibiclique

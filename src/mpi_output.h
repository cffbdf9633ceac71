// The output of a run that the processes of an MPI job write together. The
// output order is cut into one block per process by first item; every pair
// goes to the process whose block holds it, which stores it, lays its block
// out and writes the block's lines into the one file at the block's offset
// (the bytes of every block before it) with MPI-IO.
#ifndef QUASIBICLIQUE_MPI_OUTPUT_H
#define QUASIBICLIQUE_MPI_OUTPUT_H

#include <atomic>
#include <string>
#include <vector>

#include "database.h"
#include "output_blocks.h"
#include "pair_sink.h"
#include "quasibiclique/quasibiclique.h"
#include "result_shards.h"
#include "result_store.h"
#include "run_monitor.h"

namespace quasibiclique {

// The pairs on their way to `next`, weighed by first item: the ints each
// would take in a message. Safe to call from several threads at once.
class WeighedSink final : public PairSink {
 public:
  WeighedSink(PairSink& next, int itemnum)
      : next_(next), weights_(static_cast<size_t>(itemnum)) {}
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    next_.Add(tids, ntids, items, nitems);
    weights_[size_t(items[0])].fetch_add(2 + ntids + nitems, std::memory_order_relaxed);
    pairs_.fetch_add(1, std::memory_order_relaxed);
  }
  std::vector<long long> weights() const;
  long long pairs() const { return pairs_.load(); }

 private:
  PairSink& next_;
  std::vector<std::atomic<long long>> weights_;
  std::atomic<long long> pairs_{0};
};

// Every process of MPI_COMM_WORLD (this one `rank` of `ranks`) hands the
// pairs of its `local` store to the process whose block holds them
// (BlockBounds `bounds`) and stores the pairs of its own block, from every
// process, in `owned`. Takes part to the end even when its memory runs
// out, or `watch` stops at the memory limit, so that no process waits for
// it. Returns OK or OutOfMemory. `longest`: the most ints a pair can take
// (2 + tids + items of the database).
Status ExchangeBlocks(ResultShards& local, const std::vector<int>& bounds, int rank, int ranks,
                      int longest, const RunMonitor& watch, ResultStore& owned);

// Writes the lines of `writer` (this process's block, laid out and
// pruned, of `size`) into the file at `path` from byte `offset`, in dataset
// ids or the labels of db. Returns OK, or IOError with the reason of the
// failure.
Status WriteBlockAt(ResultWriter& writer, const Database::Rep& rep, const BlockSize& size,
                    const std::string& path, long long offset, int rank);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_MPI_OUTPUT_H

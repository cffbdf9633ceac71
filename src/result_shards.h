// Results stored by several threads at once: the output order cut into
// shards by the first item of an itemset, each shard a result store of its
// own under its own lock; laid out, formatted and written shard by shard in
// parallel, in the order of the shards, which is the output order.
#ifndef QUASIBICLIQUE_RESULT_SHARDS_H
#define QUASIBICLIQUE_RESULT_SHARDS_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "pair_sink.h"
#include "result_runs.h"
#include "result_store.h"
#include "result_writer.h"

namespace quasibiclique {

// The count of stored tidsets over all shards, with the progress numbers of
// a single store: the same numbers, in the same order, whichever threads
// store.
class StoredCount {
 public:
  StoredCount(ResultStore::Progress progress, void* context)
      : progress_(progress), context_(context) {}
  // One more tidset stored.
  void Count();
  // What ResultStore::stored() of a single store would be.
  int stored() const { return Shown(stored_.load()); }

 private:
  // A single store skips every thousandth number: after k tidsets it shows
  // k + (k - 1) / 999, and reports at k = 1000, 1999, 2998, ...
  static int Shown(long long k) { return k ? static_cast<int>(k + (k - 1) / 999) : 0; }

  ResultStore::Progress progress_;
  void* context_;
  std::atomic<long long> stored_{0};
  std::atomic<long long> reported_{0};  // progress reports made
};

class ResultShards final : public PairSink {
 public:
  // How pairs arrive. In any order: no pair's tidset contains another's with
  // the same itemset (the exact search's pairs), so the order in which they
  // are stored changes nothing, and each thread's pairs wait in a batch of
  // its own, so that a shard's lock is taken once per batch. In order: the
  // pairs arrive one at a time (the tolerance walk's, in start order) and
  // are stored at once.
  enum class Arrival { kAnyOrder, kInOrder };

  // Shards for the items 0 .. itemnum - 1 in `shards` ranges of consecutive
  // items; progress as for ResultStore, from whichever thread stores.
  ResultShards(int itemnum, int shards, Arrival arrival, ResultStore::Progress progress = nullptr,
               void* context = nullptr);

  // ResultStore::Add, safe to call from several threads at once.
  void Add(const int* tids, int ntids, const int* items, int nitems) override;
  // Stores the pairs still waiting in batches. Called when no Add runs.
  void Flush();

  // Keeps the stores within `bytes`: pairs arriving in any order are
  // spilled, every shard in order as one run of results in the output
  // order, to an unnamed file in `directory`, whenever the stores pass it;
  // pairs arriving in order (the tolerance walk's, which later ones may
  // replace) end the run with MemoryExhausted there instead.
  void LimitMemory(size_t bytes, const std::string& directory);
  // Writes what the stores hold as a last run when some are spilled already.
  void SpillRest();
  // Tidsets stored so far (pairs waiting in batches are not).
  int stored() const { return count_.stored(); }
  // Hands every stored result with at least two tids to sink, in new ids,
  // in the output order (shard by shard, each laid out as a ResultWriter
  // does), and gives each shard's memory back once it is handed over.
  // Called when no Add runs; nothing may be added after. REQUIRES: nothing
  // was spilled.
  void HandOverInOrder(PairSink& sink);

 private:
  friend class ShardWriter;
  struct Shard {
    std::mutex lock;
    std::unique_ptr<ResultStore> store = std::make_unique<ResultStore>();
    std::atomic<size_t> bytes{0};  // the store's Bytes() after its last batch
  };
  // Pairs of one thread, per pair [shard, ntids, nitems, tids..., items...].
  using Batch = std::vector<int>;
  static constexpr size_t kBatchInts = size_t{1} << 16;

  int ShardOf(int item) const { return item / span_; }
  void Store(Shard& shard, const int* tids, int ntids, const int* items, int nitems);
  void StoreBatch(Batch& batch);
  size_t StoredBytes() const;
  void SpillIfOver();
  void Spill();
  bool LastRunsShareALevel() const;
  void MergeLastRuns();

  // Runs of one level merged into one of the next (each run holds a file
  // and its buffer while it is open).
  static constexpr size_t kRunsMergedAtOnce = 16;

  int span_;  // items per shard
  Arrival arrival_;
  std::vector<std::unique_ptr<Shard>> shards_;
  tbb::enumerable_thread_specific<Batch> batches_;
  StoredCount count_;
  size_t limit_ = SIZE_MAX;  // bytes the stores may hold
  std::string spilldirectory_;
  std::shared_mutex spilling_;  // shared while storing, exclusive while spilling
  std::vector<std::unique_ptr<RunFile>> runs_;
  std::vector<int> runlevels_;  // per run: how many merges its results went through
};

// The output of a ResultShards: lays every shard out (in parallel), prunes
// mirrored results of undirected graphs as one store would, and writes or
// delivers the shards in order.
class ShardWriter {
 public:
  // Whether the pair (tids, items) of new ids is stored by the search (for
  // the mirror rule, once the pairs are spilled).
  using Stored = std::function<bool(const int* tids, int ntids, const int* items, int nitems)>;

  // Takes over everything the shards hold (after storing the pairs still
  // in batches), as ResultWriter does, on up to `threads` threads. When
  // shards were spilled, the rest is spilled too and the runs are merged;
  // for undirected graphs stored(mirror) then tells the mirror rule which
  // mirrors are stored.
  ShardWriter(ResultShards& shards, bool undirected, int threads, Stored stored = nullptr);

  // ResultWriter::WriteText over all shards: the shards' walks cut into
  // parts, formatted on the threads as they come free, the texts written in
  // order. Each writer goes when its last part is formatted.
  int WriteText(std::FILE* file, const int* tidoldid, int tidnum, const int* itemoldid,
                int itemnum);
  // ResultWriter::Deliver over all shards, in order, on the calling thread.
  // REQUIRES: nothing was spilled (the library's runs have no memory limit).
  void Deliver(PairSink& sink, const int* tidoldid, int tidnum, const int* itemoldid,
               int itemnum);
  int lines() const { return lines_; }

 private:
  const ResultWriter& HolderOf(int item) const { return *writers_[item / span_]; }

  int WriteMerged(std::FILE* file, const IdTexts& ids);

  int span_;
  int threads_;
  bool undirected_;
  Stored stored_;
  std::vector<std::unique_ptr<ResultWriter>> writers_;
  std::vector<std::unique_ptr<RunFile>> runs_;  // the spilled results, when there are
  size_t keptbytes_ = 0;  // text each thread's formatter may keep ahead of the one writing
  int lines_ = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RESULT_SHARDS_H

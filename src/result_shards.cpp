// Sharded result storage and its parallel output.
#include "result_shards.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include <tbb/parallel_for.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

namespace quasibiclique {

void StoredCount::Count() {
  const long long k = stored_.fetch_add(1) + 1;
  if (k < 1000 || (k - 1) % 999 != 0) return;
  // Report j goes out after report j - 1, which a thread that stored
  // earlier is about to make.
  const long long j = (k - 1) / 999;
  while (reported_.load() != j - 1) std::this_thread::yield();
  if (progress_) progress_(context_, Shown(k));
  reported_.store(j);
}

ResultShards::ResultShards(int itemnum, int shards, Arrival arrival,
                           ResultStore::Progress progress, void* context)
    : span_(std::max(1, (itemnum + std::max(shards, 1) - 1) / std::max(shards, 1))),
      arrival_(arrival),
      count_(progress, context) {
  const int n = std::max(1, (itemnum + span_ - 1) / span_);
  for (int k = 0; k < n; k++) shards_.push_back(std::make_unique<Shard>());
}

void ResultShards::Add(const int* tids, int ntids, const int* items, int nitems) {
  if (ntids <= 0 || nitems <= 0) return;
  const int shard = ShardOf(items[0]);
  if (arrival_ == Arrival::kInOrder) {
    Store(*shards_[shard], tids, ntids, items, nitems);
    return;
  }
  Batch& batch = batches_.local();
  batch.push_back(shard);
  batch.push_back(ntids);
  batch.push_back(nitems);
  batch.insert(batch.end(), tids, tids + ntids);
  batch.insert(batch.end(), items, items + nitems);
  if (batch.size() >= kBatchInts) StoreBatch(batch);
}

void ResultShards::Store(Shard& shard, const int* tids, int ntids, const int* items,
                         int nitems) {
  std::lock_guard<std::mutex> hold(shard.lock);
  const int before = shard.store.stored();
  shard.store.Add(tids, ntids, items, nitems);
  if (shard.store.stored() != before) count_.Count();
}

// Stores a batch shard by shard, each shard's pairs under one hold of its
// lock, and empties it.
void ResultShards::StoreBatch(Batch& batch) {
  std::vector<std::pair<int, size_t>> pairs;  // (shard, offset), in batch order per shard
  for (size_t at = 0; at < batch.size(); at += 3 + size_t(batch[at + 1]) + size_t(batch[at + 2])) {
    pairs.emplace_back(batch[at], at);
  }
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t k = 0; k < pairs.size();) {
    Shard& shard = *shards_[pairs[k].first];
    std::lock_guard<std::mutex> hold(shard.lock);
    for (const int first = pairs[k].first; k < pairs.size() && pairs[k].first == first; k++) {
      const int* pair = &batch[pairs[k].second];
      const int before = shard.store.stored();
      shard.store.Add(pair + 3, pair[1], pair + 3 + pair[1], pair[2]);
      if (shard.store.stored() != before) count_.Count();
    }
  }
  batch.clear();
}

void ResultShards::Flush() {
  for (Batch& batch : batches_) StoreBatch(batch);
}

ShardWriter::ShardWriter(ResultShards& shards, bool undirected, int threads)
    : span_(shards.span_), threads_(threads), writers_(shards.shards_.size()) {
  shards.Flush();
  tbb::task_arena arena(threads_);
  arena.execute([&] {
    tbb::parallel_for(size_t{0}, writers_.size(), [&](size_t k) {
      writers_[k] = std::make_unique<ResultWriter>(shards.shards_[k]->store, false);
    });
  });
  if (!undirected) return;
  // A mirror may lie in any shard: the prune walks the shards in order, as
  // one store's prune walks its itemsets.
  const ResultWriter::HolderOf holder = [this](int item) -> const ResultWriter& {
    return HolderOf(item);
  };
  for (auto& writer : writers_) writer->PruneMirrors(holder);
}

int ShardWriter::WriteText(std::FILE* file, const int* tidoldid, int tidnum,
                           const int* itemoldid, int itemnum) {
  IdTexts ids;
  ids.Build(tidoldid, tidnum, itemoldid, itemnum);
  std::vector<std::vector<std::string>> texts(writers_.size());
  std::vector<int> lines(writers_.size(), 0);
  size_t next = 0;
  int error = 0;
  lines_ = 0;
  // Shards are formatted ahead of the writing by at most one per thread, so
  // that only their texts wait in memory.
  tbb::task_arena arena(threads_);
  arena.execute([&] {
    tbb::parallel_pipeline(
        threads_ + 1,
        tbb::make_filter<void, size_t>(tbb::filter_mode::serial_in_order,
                                       [&](tbb::flow_control& control) -> size_t {
                                         if (next == writers_.size()) control.stop();
                                         return next++;
                                       }) &
            tbb::make_filter<size_t, size_t>(tbb::filter_mode::parallel,
                                             [&](size_t k) {
                                               writers_[k]->FormatText(ids, &texts[k]);
                                               lines[k] = writers_[k]->lines();
                                               writers_[k].reset();
                                               return k;
                                             }) &
            tbb::make_filter<size_t, void>(tbb::filter_mode::serial_in_order, [&](size_t k) {
              lines_ += lines[k];
              for (const std::string& text : texts[k]) {
                if (!error && fwrite(text.data(), 1, text.size(), file) != text.size()) {
                  error = errno ? errno : EIO;
                }
              }
              std::vector<std::string>().swap(texts[k]);
            }));
  });
  return error;
}

void ShardWriter::Deliver(PairSink& sink, const int* tidoldid, int tidnum, const int* itemoldid,
                          int itemnum) {
  IdTexts ids;
  ids.Build(tidoldid, tidnum, itemoldid, itemnum);
  lines_ = 0;
  for (auto& writer : writers_) {
    writer->Deliver(sink, ids, tidoldid, itemoldid);
    lines_ += writer->lines();
    writer.reset();
  }
}

}  // namespace quasibiclique

// Sharded result storage and its parallel output.
#include "result_shards.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <numeric>
#include <string>
#include <thread>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "pools.h"

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
  const int before = shard.store->stored();
  shard.store->Add(tids, ntids, items, nitems);
  if (shard.store->stored() != before) count_.Count();
  if (limit_ == SIZE_MAX) return;
  shard.bytes.store(shard.store->Bytes(), std::memory_order_relaxed);
  if (StoredBytes() > limit_) OutOfMemory("the result store reached the memory limit");
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
  {
    std::shared_lock<std::shared_mutex> storing(spilling_);
    for (size_t k = 0; k < pairs.size();) {
      Shard& shard = *shards_[pairs[k].first];
      std::lock_guard<std::mutex> hold(shard.lock);
      for (const int first = pairs[k].first; k < pairs.size() && pairs[k].first == first; k++) {
        const int* pair = &batch[pairs[k].second];
        const int before = shard.store->stored();
        shard.store->Add(pair + 3, pair[1], pair + 3 + pair[1], pair[2]);
        if (shard.store->stored() != before) count_.Count();
      }
      if (limit_ != SIZE_MAX) shard.bytes.store(shard.store->Bytes(), std::memory_order_relaxed);
    }
  }
  batch.clear();
  SpillIfOver();
}

void ResultShards::Flush() {
  for (Batch& batch : batches_) StoreBatch(batch);
}

void ResultShards::LimitMemory(size_t bytes, const std::string& directory) {
  limit_ = bytes;
  spilldirectory_ = directory;
}

size_t ResultShards::StoredBytes() const {
  size_t bytes = 0;
  for (const auto& shard : shards_) bytes += shard->bytes.load(std::memory_order_relaxed);
  return bytes;
}

void ResultShards::SpillIfOver() {
  if (limit_ == SIZE_MAX || StoredBytes() <= limit_) return;
  std::unique_lock<std::shared_mutex> alone(spilling_);
  if (StoredBytes() > limit_) Spill();
}

void ResultShards::SpillRest() {
  if (runs_.empty()) return;
  std::unique_lock<std::shared_mutex> alone(spilling_);
  Spill();
}

// Writes every shard's results, in the order of the shards, as one run,
// and empties the stores. Called with the stores to itself.
void ResultShards::Spill() {
  auto run = std::make_unique<RunFile>(spilldirectory_);
  for (auto& shard : shards_) {
    {
      ResultWriter writer(*shard->store, false);
      writer.HandOver(*run);
    }
    shard->store = std::make_unique<ResultStore>();
    shard->bytes.store(0, std::memory_order_relaxed);
  }
  runs_.push_back(std::move(run));
  runlevels_.push_back(0);
  while (runs_.size() >= kRunsMergedAtOnce && LastRunsShareALevel()) MergeLastRuns();
}

bool ResultShards::LastRunsShareALevel() const {
  const auto last = runlevels_.end() - kRunsMergedAtOnce;
  return std::all_of(last, runlevels_.end(), [&](int level) { return level == *last; });
}

// Merges the last kRunsMergedAtOnce runs, of one level, into one run of the
// next level: every result is merged once per level, and the runs open at
// once stay fewer than kRunsMergedAtOnce per level.
void ResultShards::MergeLastRuns() {
  const size_t first = runs_.size() - kRunsMergedAtOnce;
  std::vector<std::unique_ptr<RunFile>> last;
  for (size_t k = first; k < runs_.size(); k++) last.push_back(std::move(runs_[k]));
  const int level = runlevels_[first] + 1;
  runs_.resize(first);
  runlevels_.resize(first);
  auto merged = std::make_unique<RunFile>(spilldirectory_);
  RunMerge merge(std::move(last));
  const int *tids, *items;
  int ntids, nitems;
  while (merge.Next(&tids, &ntids, &items, &nitems)) merged->Add(tids, ntids, items, nitems);
  runs_.push_back(std::move(merged));
  runlevels_.push_back(level);
}

void ResultShards::HandOverInOrder(PairSink& sink) {
  Flush();
  for (auto& shard : shards_) {
    {
      ResultWriter writer(*shard->store, false);
      writer.HandOver(sink);
    }
    shard->store = std::make_unique<ResultStore>();
  }
}

namespace {

// The text a formatter may keep while earlier shards are written: an eighth
// of what the shards store, between 1 and 8 MB. The more it keeps, the
// further it formats ahead of the shard being written; keeping it to a
// share of the store keeps a small run's peak near that of one thread.
size_t TextKeptPerThread(size_t storedbytes) {
  return std::clamp(storedbytes / 8, size_t{1} << 20, size_t{8} << 20);
}

// The walks are cut into parts of about 1 / kPartsPerThread of a thread's
// share of the itemset nodes, so that parts of unlike weight still even
// out, and of at least kPartNodesAtLeast nodes, so that a part's start
// costs little beside its lines.
constexpr size_t kPartsPerThread = 64;
constexpr size_t kPartNodesAtLeast = size_t{1} << 12;

}  // namespace

ShardWriter::ShardWriter(ResultShards& shards, bool undirected, int threads, Stored stored)
    : span_(shards.span_),
      threads_(threads),
      undirected_(undirected),
      stored_(std::move(stored)),
      writers_(shards.shards_.size()) {
  shards.Flush();
  if (!shards.runs_.empty()) {
    shards.SpillRest();
    runs_ = std::move(shards.runs_);
    writers_.clear();
    return;
  }
  size_t storedbytes = 0;
  for (const auto& shard : shards.shards_) storedbytes += shard->store->Bytes();
  keptbytes_ = TextKeptPerThread(storedbytes);
  tbb::task_arena arena(threads_);
  arena.execute([&] {
    tbb::parallel_for(size_t{0}, writers_.size(), [&](size_t k) {
      writers_[k] = std::make_unique<ResultWriter>(*shards.shards_[k]->store, false);
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

namespace {

// The text of the parts of the walks on its way to the file in order. The
// part at the head (every earlier one written) writes its blocks as they
// come; the others keep theirs while the texts kept in all stay within
// `keep` bytes, and otherwise wait until they fit or their part is the head.
// So the texts held at once stay within `keep` bytes (and the block each
// formatter is filling), however many parts a formatter finishes ahead.
class InOrderText {
 public:
  InOrderText(std::FILE* file, size_t parts, size_t keep)
      : file_(file), keep_(keep), kept_(parts), done_(parts, false) {}
  // A block of the text of part k, from its formatter.
  void Block(size_t k, const char* text, size_t size);
  // Part k is formatted.
  void Done(size_t k);
  // A formatter failed: nothing more is written, and no one waits.
  void Fail();
  int error() const { return error_; }

 private:
  void Write(const char* text, size_t size);

  std::FILE* const file_;
  const size_t keep_;
  std::mutex lock_;
  std::condition_variable headchanged_;
  size_t head_ = 0;
  std::vector<std::vector<std::string>> kept_;
  size_t keptbytes_ = 0;  // of all the parts' kept texts
  std::vector<char> done_;
  bool failed_ = false;
  int error_ = 0;  // errno of the first write that failed
};

void InOrderText::Block(size_t k, const char* text, size_t size) {
  std::unique_lock<std::mutex> hold(lock_);
  if (k != head_ && keptbytes_ + size > keep_) {
    headchanged_.wait(hold, [&] { return head_ == k || failed_ || keptbytes_ + size <= keep_; });
  }
  if (failed_) return;
  if (k == head_) {
    Write(text, size);
    return;
  }
  kept_[k].emplace_back(text, size);
  keptbytes_ += size;
}

void InOrderText::Done(size_t k) {
  std::lock_guard<std::mutex> hold(lock_);
  done_[k] = true;
  while (head_ < done_.size() && done_[head_]) {
    if (++head_ == done_.size()) break;
    for (const std::string& block : kept_[head_]) {
      Write(block.data(), block.size());
      keptbytes_ -= block.size();
    }
    std::vector<std::string>().swap(kept_[head_]);
  }
  headchanged_.notify_all();
}

void InOrderText::Fail() {
  std::lock_guard<std::mutex> hold(lock_);
  failed_ = true;
  headchanged_.notify_all();
}

void InOrderText::Write(const char* text, size_t size) {
  if (!error_ && !failed_ && fwrite(text, 1, size, file_) != size) error_ = errno ? errno : EIO;
}

}  // namespace

int ShardWriter::WriteText(std::FILE* file, const int* tidoldid, int tidnum,
                           const int* itemoldid, int itemnum) {
  IdTexts ids;
  ids.Build(tidoldid, tidnum, itemoldid, itemnum);
  if (!runs_.empty()) return WriteMerged(file, ids);
  // The shards' walks cut into parts, in the output order, so that a shard
  // that holds most of the results is formatted on every thread too.
  struct Part {
    size_t shard;
    ResultWriter::WalkPart walk;
  };
  std::vector<Part> parts;
  std::vector<std::atomic<size_t>> partsleft(writers_.size());
  size_t nodes = 0;
  for (const auto& writer : writers_) nodes += writer->nodes();
  const size_t partnodes = std::max(kPartNodesAtLeast, nodes / (size_t(threads_) * kPartsPerThread));
  for (size_t k = 0; k < writers_.size(); k++) {
    std::vector<ResultWriter::WalkPart> walks = writers_[k]->CutWalk(partnodes);
    partsleft[k] = walks.size();
    if (walks.empty()) writers_[k].reset();
    for (ResultWriter::WalkPart& walk : walks) parts.push_back(Part{k, std::move(walk)});
  }
  // Every formatter but the one at the head may keep its share.
  InOrderText text(file, parts.size(), keptbytes_ * size_t(std::max(1, threads_ - 1)));
  std::vector<int> lines(parts.size(), 0);
  std::atomic<size_t> next{0};
  // Each thread formats the next part not yet taken, until none is left; a
  // shard's writer goes with its last part.
  const auto format = [&] {
    try {
      OutputWalk walk;
      for (size_t p; (p = next.fetch_add(1)) < parts.size();) {
        const size_t k = parts[p].shard;
        lines[p] = writers_[k]->FormatPart(parts[p].walk, walk, ids,
                                           [&](const char* block, size_t size) {
                                             text.Block(p, block, size);
                                           });
        if (--partsleft[k] == 0) writers_[k].reset();
        text.Done(p);
      }
    } catch (...) {
      text.Fail();
      throw;
    }
  };
  tbb::task_arena arena(threads_);
  arena.execute([&] {
    tbb::task_group group;
    for (int t = 0; t < threads_; t++) group.run(format);
    group.wait();
  });
  lines_ = std::accumulate(lines.begin(), lines.end(), 0);
  return text.error();
}

// The spilled runs merged in the output order and written. Of a pair and
// its mirror (undirected graphs) the one that comes later stays, as in a
// store's prune: a pair goes when its mirror is stored and its own itemset
// comes first.
int ShardWriter::WriteMerged(std::FILE* file, const IdTexts& ids) {
  RunMerge merge(std::move(runs_));
  ResultStore none;
  ResultWriter writer(none, false);
  const int error = writer.WriteTextFrom(
      file, ids, [&](const int** tids, int* ntids, const int** items, int* nitems) {
        while (merge.Next(tids, ntids, items, nitems)) {
          if (!undirected_ || CompareItemsets(*items, *nitems, *tids, *ntids) > 0 ||
              !stored_(*items, *nitems, *tids, *ntids)) {
            return true;
          }
        }
        return false;
      });
  lines_ = writer.lines();
  return error;
}

void ShardWriter::Deliver(PairSink& sink, const int* tidoldid, int tidnum, const int* itemoldid,
                          int itemnum) {
  assert(runs_.empty());
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

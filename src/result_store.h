// Result store: an itemset trie whose nodes carry tidset trees. Per itemset
// only the inclusion-maximal tidsets are kept. A ResultWriter takes
// everything over for the output.
#ifndef QUASIBICLIQUE_RESULT_STORE_H
#define QUASIBICLIQUE_RESULT_STORE_H

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "pair_sink.h"
#include "pools.h"

namespace quasibiclique {

// Every slot argument in the store and the writer is the field (root,
// tidroot, child or next) that holds the current node, so a node is linked
// in or out by one assignment.

// Node of a tidset tree: a run of consecutive path tids (a chain of levels
// with one node each) held as one array. Every level is sorted strictly
// ascending by first tid; every root-to-leaf path spells one stored tidset,
// and a tidset ends only at the end of a run without children.
//
//   run:    tids[0 .. len), ascending; tids[0] is at position `depth` of the
//           tidsets stored through the run
//   split:  when a new tidset leaves a run at offset o, the run keeps
//           tids[0 .. o) and a new run over tids[o .. len) of the same array
//           takes over its children and becomes its child; the new tidset's
//           remainder becomes a second child, before or after it by tid.
struct TidRun {
  const int* tids;  // len tids in the store's TidStore (shared with split-off runs)
  int len;
  int depth;        // position of tids[0] in its tidsets
  int maxlen;       // bound on the longest tidset stored through the run; never lowered
  TidRun* child;
  TidRun* next;
};

// Node of the itemset trie. Levels are sorted strictly ascending by item; the
// path from the top spells the node's itemset. tidroot is non-null only when a
// result with exactly that itemset is stored.
struct TrieNode {
  int item;
  bool childindexed;  // the level below has been long: its nodes are in the index
  TrieNode* child;
  TrieNode* next;
  TidRun* tidroot;
};

// Nodes are cut from slabs and recycled through a free list linked by `next`;
// Release (and the destructor) gives all slabs back at once. A slab is a
// plain array of nodes, so a node costs its own size and no allocator header.
// Slabs double from one node up to kNodesPerSlab, so that a short level (a
// long itemset makes many) costs little; the full-size ones are pages of their
// own, given back to the system the moment they are released.
template <typename Node>
class NodeSlabs {
 public:
  NodeSlabs() = default;
  NodeSlabs(NodeSlabs&& other) noexcept
      : slabs_(std::move(other.slabs_)),
        used_(std::exchange(other.used_, 0)),
        free_(std::exchange(other.free_, nullptr)) {
    other.slabs_.clear();
  }
  NodeSlabs(const NodeSlabs&) = delete;
  NodeSlabs& operator=(const NodeSlabs&) = delete;
  ~NodeSlabs() { Release(); }

  Node* Take() {
    if (free_) {
      Node* node = free_;
      free_ = node->next;
      return node;
    }
    if (slabs_.empty() || used_ == SlabNodes(slabs_.size() - 1)) {
      slabs_.push_back(NewSlab(SlabNodes(slabs_.size())));
      used_ = 0;
    }
    return &slabs_.back()[used_++];
  }
  void Give(Node* node) {
    node->next = free_;
    free_ = node;
  }
  void Release() {
    for (size_t i = 0; i < slabs_.size(); i++) FreeSlab(slabs_[i], SlabNodes(i));
    slabs_.clear();
    free_ = nullptr;
    used_ = 0;
  }
  size_t Bytes() const {
    size_t nodes = 0;
    for (size_t i = 0; i < slabs_.size(); i++) nodes += SlabNodes(i);
    return nodes * sizeof(Node);
  }

 private:
  static_assert(std::is_trivial<Node>::value, "slab nodes are plain memory");
  static constexpr size_t kDoublings = 12;
  static constexpr size_t kNodesPerSlab = size_t{1} << kDoublings;
  static size_t SlabNodes(size_t index) {
    return index < kDoublings ? size_t{1} << index : kNodesPerSlab;
  }
  static Node* NewSlab(size_t nodes) {
    const size_t bytes = nodes * sizeof(Node);
    return static_cast<Node*>(nodes == kNodesPerSlab ? TakePages(bytes) : ::operator new(bytes));
  }
  static void FreeSlab(Node* slab, size_t nodes) {
    if (nodes == kNodesPerSlab) GivePages(slab, nodes * sizeof(Node));
    else ::operator delete(slab);
  }
  std::vector<Node*> slabs_;
  size_t used_ = 0;
  Node* free_ = nullptr;
};

// Blocks of ints cut from chunks that never move and are freed only all
// together, by the destructor: a new run's node with its tid array. The array
// of a removed tidset is not reused (its node may be, for a split-off run).
class TidStore {
 public:
  TidStore() = default;
  TidStore(TidStore&& other) noexcept
      : chunks_(std::move(other.chunks_)),
        top_(std::exchange(other.top_, nullptr)),
        left_(std::exchange(other.left_, 0)),
        bytes_(std::exchange(other.bytes_, 0)) {
    other.chunks_.clear();
  }
  TidStore(const TidStore&) = delete;
  TidStore& operator=(const TidStore&) = delete;
  ~TidStore();

  int* Take(int n) {
    if (n > left_) return TakeFromNewChunk(n);
    int* block = top_;
    top_ += n;
    left_ -= n;
    return block;
  }
  size_t Bytes() const { return bytes_; }  // chunk memory held
  // Chunk memory cut into blocks (the rest of the current chunk is not).
  size_t UsedBytes() const { return bytes_ - sizeof(int) * static_cast<size_t>(left_); }

 private:
  int* TakeFromNewChunk(int n);

  static constexpr int kChunkInts = 1 << 20;
  std::vector<int*> chunks_;
  int* top_ = nullptr;
  int left_ = 0;
  size_t bytes_ = 0;
};

// Trie nodes by (parent, item), parent null for the top level: finds the
// node of an item on a level without walking the level. Trie nodes are only
// ever added while results are stored, so entries are never removed.
// Open addressing with linear probing; the table doubles at half load.
class ChildIndex {
 public:
  void Clear();  // gives the table's memory back
  size_t Bytes() const { return table_.capacity() * sizeof(Entry); }
  TrieNode* Find(const TrieNode* parent, int item) const;
  void Add(const TrieNode* parent, TrieNode* node);

 private:
  struct Entry {
    const TrieNode* parent;
    TrieNode* node;  // null: empty entry
  };
  size_t Home(const TrieNode* parent, int item) const;
  void Grow();

  std::vector<Entry> table_;
  size_t used_ = 0;
};

class ResultWriter;

class ResultStore final : public PairSink {
 public:
  // Called with the number of tidsets stored so far each time it passes a
  // thousand (1001, 2001, ...: every thousandth count skips one).
  using Progress = void (*)(void* context, int stored);

  explicit ResultStore(Progress progress = nullptr, void* context = nullptr)
      : progress_(progress), progresscontext_(context) {}
  ResultStore(const ResultStore&) = delete;
  ResultStore& operator=(const ResultStore&) = delete;
  ~ResultStore() override = default;

  // Stores the result (tids, items), ids of the loaded database, both
  // strictly ascending. A tidset contained in one already stored with the
  // same itemset is refused; stored tidsets contained in the new one are
  // removed. Empty lists store nothing. Every stored tidset counts in
  // stored(). REQUIRES: no ResultWriter has taken the store over.
  void Add(const int* tids, int ntids, const int* items, int nitems) override;

  // Tidsets stored since construction, skips included (see Progress).
  int stored() const { return stored_; }
  // Bytes held by the tidset trees: run nodes and tid arrays.
  size_t TidsetBytes() const { return runs_.Bytes() + tidstore_.Bytes(); }
  // Bytes held by the itemset trie's nodes.
  size_t TrieBytes() const {
    size_t bytes = 0;
    for (const NodeSlabs<TrieNode>& level : itemnodes_) bytes += level.Bytes();
    return bytes;
  }
  // Bytes the store's results take: its tidsets (without the unused rest
  // of the current chunk), its trie and the trie's index.
  size_t Bytes() const {
    return runs_.Bytes() + tidstore_.UsedBytes() + TrieBytes() + children_.Bytes();
  }
  // The top level of the trie, for inspection; null when nothing is stored.
  const TrieNode* root() const { return root_; }

 private:
  friend class ResultWriter;  // lays the trie out and takes the tidset trees

  TrieNode* NewItemChain(const int* items, int n, int k, TrieNode** last);
  TrieNode* FindSlot(const int* items, int nitems);
  TrieNode* FindOnLevel(TrieNode* parent, int item, TrieNode*** slot);
  bool& LevelIndexed(TrieNode* parent) { return parent ? parent->childindexed : rootindexed_; }
  void IndexNewNode(TrieNode* parent, TrieNode* node);

  TidRun* NewRun(const int* tids, int from, int ntids, TidRun* next);
  void CountStored();
  void SplitRun(TidRun* run, int at);
  void InsertTidset(const int* tids, int ntids, TidRun** slot);
  void BranchInRun(const int* tids, int ntids, TidRun* run, int o, int k);
  bool ContainedFrom(const int* tids, int ntids, const TidRun* run, int o, int k) const;
  bool ContainedInLevel(const int* tids, int ntids, const TidRun* run, int k) const;
  void RemoveContained(const int* tids, int ntids, TidRun** slot, int k);

  Progress progress_;
  void* progresscontext_;
  int stored_ = 0;
  bool closed_ = false;  // a writer has taken the store over

  TrieNode* root_ = nullptr;
  std::vector<NodeSlabs<TrieNode>> itemnodes_;  // per level, so each can go once laid out
  std::vector<size_t> levelsizes_;  // trie nodes per level, from the top
  NodeSlabs<TidRun> runs_;  // split-off runs, and removed runs for reuse
  TidStore tidstore_;       // new runs with their tids
  // The trie nodes of every level that has ever held more than kShortLevel
  // nodes, by parent and item, so that an insertion does not walk a long
  // level; shorter levels are walked and cost the index nothing.
  static constexpr int kShortLevel = 8;
  ChildIndex children_;
  bool rootindexed_ = false;  // the top level is in the index
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RESULT_STORE_H

// Result store: an itemset trie whose nodes carry tidset trees. Per itemset
// only the inclusion-maximal tidsets are kept.
#ifndef QUASIBICLIQUE_TREE_H
#define QUASIBICLIQUE_TREE_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "pools.h"

// Every slot argument below is the field (root, tidroot, child or next) that
// holds the current node, so a node is linked in or out by one assignment.

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
  const int* tids;  // len tids in the Tree's TidStore (shared with split-off runs)
  int len;
  int depth;        // position of tids[0] in its tidsets
  int maxlen;       // bound on the longest tidset stored through the run; never lowered
  TidRun* child;
  TidRun* next;
};

// Node of the itemset trie. Levels are sorted strictly ascending by item; the
// path from the top spells the node's itemset. tidroot is non-null only when a
// result with exactly that itemset is stored.
struct nodeStructure {
  int item;
  int childindexed;  // 1 once the level below has been long: its nodes are in the index
  nodeStructure* child;
  nodeStructure* next;
  TidRun* tidroot;
};

// Node of the itemset trie as laid out for the output: each level of the
// trie is one array, in which the children of the nodes of the level above
// follow one another in the order of their parents, each node's children in
// item order. A node's children run from its firstchild to the next node's
// firstchild (the end of the level below for the last node), so the walk
// reads each level front to back.
struct LaidNode {
  int item;
  int firstchild;  // index in the level below
  TidRun* tidroot;
};

// Nodes are cut from slabs and recycled through a free list linked by `next`;
// Release (called by FreeTree) gives all slabs back at once; there is no
// destructor, as the Tree that holds them is copied. A slab is a plain array
// of nodes, so a node costs its own size and no allocator header. Slabs
// double from one node up to kNodesPerSlab, so that a short level (a long
// itemset makes many) costs little; the full-size ones are pages of their own,
// given back to the system the moment they are released.
template <typename Node>
class NodeSlabs {
 public:
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

// Blocks of ints cut from chunks that never move and are freed only by
// Release: a new run's node with its tid array. The array of a removed
// tidset is not reused (its node may be, for a split-off run).
class TidStore {
 public:
  int* Take(int n) {
    if (n > left_) return TakeFromNewChunk(n);
    int* block = top_;
    top_ += n;
    left_ -= n;
    return block;
  }
  void Release();
  size_t Bytes() const { return bytes_; }  // chunk memory held

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
// ever added (the final prune removes tidset nodes only), so entries are never
// removed.
// Open addressing with linear probing; the table doubles at half load.
class ChildIndex {
 public:
  void Clear();
  nodeStructure* Find(const nodeStructure* parent, int item) const;
  void Add(const nodeStructure* parent, nodeStructure* node);

 private:
  struct Entry {
    const nodeStructure* parent;
    nodeStructure* node;  // null: empty entry
  };
  size_t Home(const nodeStructure* parent, int item) const;
  void Grow();

  std::vector<Entry> table_;
  size_t used_ = 0;
};

// Output text of ids, per new id one 16-byte slot: the length of the text,
// the old id in decimal and a space, and the id's rank, its position in
// ascending old-id order (ties by new id). One fetch gives a list's writer
// both the order and the text of an id.
struct IdText {
  struct alignas(16) Slot {
    char text[12];  // text[0]: length of the text that follows
    int rank;
  };
  static constexpr size_t kSlot = sizeof(Slot);
  void Build(const int* oldid, int n);  // oldid maps new ids 0 .. n-1
  int Rank(int id) const { return slots[id].rank; }
  // Appends the text of new id `id`; writes kSlot - 1 bytes, advances by its length.
  char* Append(int id, char* text) const {
    const char* slot = reinterpret_cast<const char*>(&slots[id]);
    memcpy(text, slot + 1, kSlot - 1);
    return text + slot[0];
  }
  void Prefetch(int id) const { __builtin_prefetch(&slots[id]); }
  std::vector<Slot> slots;
  std::vector<int> byrank;  // rank -> new id
};

class Tree {
 public:
  Tree(int unused, char* outputFile);

  // Empties the trie; itemlength and tidlength size the path buffers of the
  // output phase (itemnum + 1 and tidnum + 1).
  void Initialize(int itemlength, int tidlength);

  // Stores result (tids, items), both strictly ascending. A tidset contained
  // in one already stored with the same itemset is refused; stored tidsets
  // contained in the new one are removed. Empty lists store nothing. Every
  // stored tidset counts in insertnum; every thousandth prints the count
  // (tab-terminated) on standard output and flushes it.
  void AddSet(int* tids, int ntids, int* items, int nitems);

  // Ends the storing: the trie is laid out for the output walk and its nodes
  // freed (root becomes null; nothing more can be added). Graph type 1:
  // removes mirrored duplicates. Then writes every stored result with at
  // least two tids to outfile, mapping ids through the two maps (which cover
  // the new ids below itemlength - 1 and tidlength - 1) and sorting each list,
  // and closes outfile. Returns 1 on success, 0 when a write or the close
  // failed. resultnum counts the lines.
  int FinalOutput(int* itemoldid, int* tidoldid);

  void FreeTree();

  // Bytes held by the tidset trees: run nodes and tid arrays.
  size_t TidsetBytes() const { return runs.Bytes() + tidstore.Bytes(); }
  // Bytes held by the itemset trie's nodes while results are stored.
  size_t TrieBytes() const {
    size_t bytes = 0;
    for (const NodeSlabs<nodeStructure>& level : itemnodes) bytes += level.Bytes();
    return bytes;
  }

  FILE* outfile = nullptr;  // opened by the driver before the mining
  nodeStructure* root = nullptr;
  int itemlength = 0;
  int tidlength = 0;
  int resultnum = 0;
  int insertnum = 0;     // tidsets stored since construction (drives progress)
  int writeerror = 0;    // errno of a failed write or close of outfile

 private:
  nodeStructure* NewItemChain(const int* items, int n, int k, nodeStructure** last);
  nodeStructure* FindSlot(int* items, int nitems);
  nodeStructure* FindOnLevel(nodeStructure* parent, int item, nodeStructure*** slot);

  TidRun* NewRun(const int* tids, int from, int ntids, TidRun* next);
  void CountStored();
  void SplitRun(TidRun* run, int at);
  void InsertTidset(const int* tids, int ntids, TidRun** slot);
  void BranchInRun(const int* tids, int ntids, TidRun* run, int o, int k);
  int ContainedFrom(const int* tids, int ntids, const TidRun* run, int o, int k) const;
  int ContainedInLevel(const int* tids, int ntids, const TidRun* run, int k) const;
  void RemoveContained(const int* tids, int ntids, TidRun** slot, int k);

  template <typename Visit>
  void WalkTidsets(TidRun** root, int* tidpath, Visit visit);
  struct ListWalker;
  void LayOutTrie();
  void LayOutLevel(const std::vector<nodeStructure*>& heads, std::vector<LaidNode>* parents,
                   std::vector<LaidNode>& level, std::vector<nodeStructure*>& below);
  static int StartList(ListWalker& w, const std::vector<nodeStructure*>& heads,
                       size_t& nextparent);
  std::pair<int, int> ChildrenOf(size_t k, size_t i) const;
  template <typename Visit>
  void WalkItemsets(int* itempath, Visit visit);
  template <typename Visit>
  void WalkLevel(size_t k, int first, int end, int* itempath, Visit& visit);
  void PruneItemset(LaidNode& node, int* itempath, int nitems, int* tidpath);
  const LaidNode* FindLaid(const int* items, int n) const;
  int IsMirrorStored(const int* itemseq, int nseq, const int* tidseq, int ntidseq) const;
  void QueueItemset(const LaidNode& node, const int* itempath, int nitems, int* tidpath);
  void WriteOldestQueued(int* tidpath);

  void WriteLine(const int* tidpath, int ntids, const int* itempath, int nitems);
  char* AppendSorted(const int* list, int n, const IdText& ids, char* text);
  static constexpr int kShortList = 32;  // lists that may be ordered by counting
  char* AppendCounted(const int* list, int n, const IdText& ids, char* text);
  char* AppendFromBits(const IdText& ids, int low, int words, int n, char* text);
  void FlushOutput(size_t room);
  void ReserveOutput(size_t size);
  int CloseOutput();

  std::vector<NodeSlabs<nodeStructure>> itemnodes;  // per level, so each can go once laid out
  std::vector<size_t> levelsizes;  // trie nodes per level, from the top
  NodeSlabs<TidRun> runs;  // split-off runs, and removed runs for reuse
  TidStore tidstore;       // new runs with their tids
  // The trie nodes of every level that has ever held more than kShortLevel
  // nodes, by parent and item, so that an insertion does not walk a long
  // level; shorter levels are walked and cost the index nothing.
  static constexpr int kShortLevel = 8;
  ChildIndex children;
  int rootindexed = 0;  // the top level is in the index
  int& LevelIndexed(nodeStructure* parent) { return parent ? parent->childindexed : rootindexed; }
  void IndexNewNode(nodeStructure* parent, nodeStructure* node);

  // Output phase only.
  std::vector<std::vector<LaidNode>> levels;  // the trie laid out, from the top
  struct ListWalker {
    int listed = 0;                  // holds a list, walked or waiting to be appended
    size_t parent = 0;
    nodeStructure* at = nullptr;     // next node of the list, null when done
    std::vector<LaidNode> nodes;     // the list laid out so far
    std::vector<nodeStructure*> heads;  // their child lists
  };
  static constexpr int kWalkers = 16;
  ListWalker walkers[kWalkers];
  IdText tidtext, itemtext;
  struct QueuedItemset {
    TidRun* tidroot;
    int nitems;
  };
  static constexpr int kAhead = 16;
  static constexpr int kAheadTexts = 32;  // tid texts fetched ahead per itemset
  QueuedItemset queue[kAhead];  // itemsets waiting to be written, a ring from queuehead
  int queuehead = 0;
  int queued = 0;
  std::vector<int> queueitems;  // the items of ring entry e from e * queuestride
  int queuestride = 0;
  std::vector<TidRun**> walkslots;  // slots of the runs on the walked path
  std::vector<int> ranks;           // ranks of the list being written
  std::vector<uint64_t> bits;       // ranks as bits from a base; all zero between lines
  std::shared_ptr<char[]> outbuffer;  // formatted lines not yet written (Tree is copied)
  size_t outsize = 0;                 // bytes of outbuffer
  size_t outused = 0;                 // bytes of outbuffer in use
  int outfailed = 0;                // a block write failed: nothing more is written
};

#endif  // QUASIBICLIQUE_TREE_H

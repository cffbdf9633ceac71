// Result writer: the output of a result store. It lays the store's trie out
// for one front-to-back walk, removes mirrored results of undirected graphs,
// and writes every result as a line of dataset ids or hands it to a sink.
#ifndef QUASIBICLIQUE_RESULT_WRITER_H
#define QUASIBICLIQUE_RESULT_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pair_sink.h"
#include "result_store.h"

namespace quasibiclique {

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

// The texts of both id maps of a run, built once and read by every writer
// of it: tids maps new tids 0 .. tidnum - 1, items new items 0 .. itemnum - 1.
struct IdTexts {
  IdText tids, items;
  void Build(const int* tidoldid, int tidnum, const int* itemoldid, int itemnum) {
    tids.Build(tidoldid, tidnum);
    items.Build(itemoldid, itemnum);
  }
};

// The output order: itemsets by the laid-out trie, a top-level node's own
// itemset before those below it and, below the top, a node's deeper itemsets
// before its own; the tidsets of an itemset in ascending lexicographic order
// of new tids. Only results with at least two tids are written or delivered.
class ResultWriter {
 public:
  // Takes over everything `store` holds: lays its trie out, freeing the
  // trie level by level as it goes, and takes its tidset trees. When
  // `undirected` (tids and items are the same vertices), removes every
  // result whose mirror (the tidset as itemset, the itemset as tidset) is
  // stored too; of two mirrors the one the output walk meets later stays.
  // The store is left empty. REQUIRES: nothing is added to `store` after.
  ResultWriter(ResultStore& store, bool undirected);
  ResultWriter(const ResultWriter&) = delete;

  // The writer whose store holds the itemsets that start with an item: for
  // results stored in several stores, each holding a range of first items.
  using HolderOf = std::function<const ResultWriter&(int item)>;
  // The mirror prune of the constructor for results kept in several stores,
  // the writers of all of them laid out (constructed with `undirected`
  // false) and pruned in the order of their ranges, so that the rule is the
  // one of a single store.
  void PruneMirrors(const HolderOf& holder);
  // Whether a result goes: (tids, items) in new ids, both ascending.
  using Drop = std::function<bool(const int* tids, int ntids, const int* items, int nitems)>;
  // Removes every result with at least two tids for which drop is true,
  // walking them in the output order: the mirror prune with a rule of the
  // caller's (results kept by several processes).
  void PruneWhere(const Drop& drop);
  // True when tids is stored, exactly, as a tidset of itemset items (both
  // ascending). A single-vertex side is never written, so it never counts.
  bool Stores(const int* items, int nitems, const int* tids, int ntids) const;
  ResultWriter& operator=(const ResultWriter&) = delete;

  // Writes every result to `file` with fwrite, one line "t1 t2 ... ;i1 i2
  // ... \n" each: the old ids (tidoldid maps new tids 0 .. tidnum - 1,
  // itemoldid new items 0 .. itemnum - 1) in ascending order, each followed
  // by a space. Returns 0, or the errno of the first write that failed
  // (nothing more is written after it; lines() still counts every line).
  // The caller checks and closes the file. REQUIRES: every stored tid is
  // below tidnum and every stored item below itemnum.
  int WriteText(std::FILE* file, const int* tidoldid, int tidnum, const int* itemoldid,
                int itemnum);

  // Hands every result to `sink` in the order of WriteText's lines, as the
  // lists of old ids those lines show (dataset ids, ascending). The maps
  // are as for WriteText.
  void Deliver(PairSink& sink, const int* tidoldid, int tidnum, const int* itemoldid,
               int itemnum);

  // WriteText's lines handed to emit(text, size) in blocks of about a
  // megabyte, with the texts of ids given.
  using TextBlocks = std::function<void(const char* text, size_t size)>;
  void FormatText(const IdTexts& ids, const TextBlocks& emit);

  // Deliver with the texts of ids given; tidoldid and itemoldid as they
  // were built from.
  void Deliver(PairSink& sink, const IdTexts& ids, const int* tidoldid, const int* itemoldid);

  // Hands every result with at least two tids to sink in the order of
  // WriteText's lines, as new ids, each list ascending (the form a store
  // takes them in).
  void HandOver(PairSink& sink);

  // A source of results already in the output order, in new ids: sets its
  // arguments to the next result and returns true, or returns false after
  // the last.
  using PairSource = std::function<bool(const int** tids, int* ntids, const int** items,
                                        int* nitems)>;
  // WriteText of the results from `next` instead of this writer's own,
  // with the texts of ids given.
  int WriteTextFrom(std::FILE* file, const IdTexts& ids, const PairSource& next);

  // Results written or delivered by the last WriteText or Deliver.
  int lines() const { return lines_; }

 private:
  struct ListWalker;
  static constexpr int kWalkers = 16;  // child lists laid out at once

  void LayOutTrie(ResultStore& store);
  void LayOutLevel(const std::vector<TrieNode*>& heads, std::vector<LaidNode>* parents,
                   std::vector<LaidNode>& level, std::vector<TrieNode*>& below,
                   ListWalker* walkers);
  static bool StartList(ListWalker& w, const std::vector<TrieNode*>& heads, size_t& nextparent);
  std::pair<int, int> ChildrenOf(size_t k, size_t i) const;
  template <typename Visit>
  void WalkItemsets(int* itempath, Visit visit);
  template <typename Visit>
  void WalkLevel(size_t k, int first, int end, int* itempath, Visit& visit);
  template <typename Visit>
  void WalkTidsets(TidRun** root, int* tidpath, Visit visit);

  void PruneItemset(LaidNode& node, int* itempath, int nitems, const Drop& drop);
  int* TidPathFor(const TidRun* run);
  const LaidNode* FindLaid(const int* items, int n) const;

  void PrepareWalk(const IdTexts& ids);
  int WriteAll(const IdTexts& ids);
  template <typename Emit>
  void WalkResults(Emit emit);
  template <typename Emit>
  void QueueItemset(const LaidNode& node, const int* itempath, int nitems, int* tidpath,
                    Emit& emit);
  template <typename Emit>
  void EmitOldestQueued(int* tidpath, Emit& emit);

  void WriteLine(const int* tidpath, int ntids, const int* itempath, int nitems);
  char* AppendSorted(const int* list, int n, const IdText& ids, char* text);
  static constexpr int kShortList = 32;  // lists that may be ordered by counting
  char* AppendCounted(const int* list, int n, const IdText& ids, char* text);
  char* AppendFromBits(const IdText& ids, int low, int words, int n, char* text);
  void FlushOutput(size_t room);
  void ReserveOutput(size_t size);

  NodeSlabs<TidRun> runs_;  // the store's split-off runs; removed runs for reuse
  TidStore tidstore_;       // the store's new runs with their tids
  std::vector<std::vector<LaidNode>> levels_;  // the trie laid out, from the top
  std::vector<int> tidpath_;   // the walked tidset: as long as any the walk meets
  std::vector<int> itempath_;  // the walked itemset: one item per level
  std::vector<TidRun**> walkslots_;  // slots of the runs on the walked tidset path
  int lines_ = 0;

  IdTexts ownids_;                   // the texts WriteText and Deliver build
  const IdText* tidtext_ = nullptr;  // the texts of the walk under way
  const IdText* itemtext_ = nullptr;
  struct QueuedItemset {
    TidRun* tidroot;
    int nitems;
  };
  static constexpr int kAhead = 16;
  static constexpr int kAheadTexts = 32;  // tid texts fetched ahead per itemset
  QueuedItemset queue_[kAhead];  // itemsets waiting to be emitted, a ring from queuehead_
  int queuehead_ = 0;
  int queued_ = 0;
  std::vector<int> queueitems_;  // the items of ring entry e from e * queuestride_
  int queuestride_ = 0;

  std::vector<int> ranks_;        // ranks of the list being written
  std::vector<uint64_t> bits_;    // ranks as bits from a base; all zero between lines
  std::unique_ptr<char[]> outbuffer_;  // formatted lines not yet written
  size_t outsize_ = 0;                 // bytes of outbuffer_
  size_t outused_ = 0;                 // bytes of outbuffer_ in use
  std::FILE* file_ = nullptr;          // where WriteText writes, while it runs
  const TextBlocks* emit_ = nullptr;   // where FormatText hands its blocks, while it runs
  int writeerror_ = 0;                 // errno of the first failed write: nothing more is written
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RESULT_WRITER_H

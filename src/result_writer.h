// Result writer: the output of a result store. It lays the store's trie out
// for one front-to-back walk, removes mirrored results of undirected graphs,
// and writes every result as a line of dataset ids or hands it to a sink.
#ifndef QUASIBICLIQUE_RESULT_WRITER_H
#define QUASIBICLIQUE_RESULT_WRITER_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

#include "line_text.h"
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

// The state of one output walk: the walked paths, the itemsets queued
// ahead and the text of the lines. A writer keeps one for its own walks;
// threads that format parts of a writer's walk at once take one each.
class OutputWalk {
 public:
  OutputWalk() = default;
  OutputWalk(const OutputWalk&) = delete;
  OutputWalk& operator=(const OutputWalk&) = delete;

 private:
  friend class ResultWriter;
  struct QueuedItemset {
    TidRun* tidroot;
    int nitems;
  };
  static constexpr int kAhead = 16;

  std::vector<int> tidpath;   // the walked tidset: as long as any the walk meets
  std::vector<int> itempath;  // the walked itemset: one item per level
  std::vector<TidRun**> slots;  // slots of the runs on the walked tidset path
  QueuedItemset queue[kAhead];  // itemsets waiting to be emitted, a ring from queuehead
  int queuehead = 0;
  int queued = 0;
  std::vector<int> queueitems;  // the items of ring entry e from e * queuestride
  int queuestride = 0;
  const IdText* tidtext = nullptr;  // the tid texts the walk's lines use, fetched ahead
  LineText text;
  int lines = 0;  // results the walk emitted
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

  // Where formatted text goes: blocks of whole lines of about a megabyte.
  using TextBlocks = LineText::TextBlocks;

  // A stretch of the output walk: the itemsets of nodes [first, end) of
  // level `level` and of every node below them or, when `own`, the itemset
  // of node `first` alone. prefix holds the items of the levels above.
  struct WalkPart {
    std::vector<int> prefix;
    int level, first, end;
    bool own;
  };
  // The output walk cut into parts that follow one another in the output
  // order, each of at most `nodes` itemset nodes where the trie allows (a
  // node's own itemset is a part of one node).
  std::vector<WalkPart> CutWalk(size_t nodes) const;
  // WriteText's lines of one part, handed to emit in blocks, with the texts
  // of ids given and the state of `walk`. Returns the lines. Parts of one
  // writer may be formatted at once on several threads, each with its own
  // walk, while nothing else of the writer runs.
  int FormatPart(const WalkPart& part, OutputWalk& walk, const IdTexts& ids,
                 const TextBlocks& emit);

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
  // Itemset nodes of the laid-out trie.
  size_t nodes() const;

 private:
  struct ListWalker;
  static constexpr int kWalkers = 16;  // child lists laid out at once

  void LayOutTrie(ResultStore& store);
  void LayOutLevel(const std::vector<TrieNode*>& heads, std::vector<LaidNode>* parents,
                   std::vector<LaidNode>& level, std::vector<TrieNode*>& below,
                   ListWalker* walkers);
  static bool StartList(ListWalker& w, const std::vector<TrieNode*>& heads, size_t& nextparent);
  std::pair<int, int> ChildrenOf(size_t k, size_t i) const;
  size_t NodesBelow(int level, int first, int end) const;
  int LargestRange(int level, int first, int end, size_t nodes) const;
  void CutRange(int level, int first, int end, std::vector<int>& prefix, size_t nodes,
                std::vector<WalkPart>& parts) const;
  template <typename Visit>
  void WalkItemsets(int* itempath, Visit visit);
  template <typename Visit>
  void WalkTop(int first, int end, int* itempath, Visit& visit);
  template <typename Visit>
  void WalkLevel(size_t k, int first, int end, int* itempath, Visit& visit);
  template <typename Visit>
  void WalkPartItemsets(const WalkPart& part, int* itempath, Visit& visit);
  template <typename Visit>
  void WalkTidsets(TidRun** root, OutputWalk& w, Visit visit);

  void PruneItemset(LaidNode& node, int* itempath, int nitems, const Drop& drop);
  void MakeTidPathFor(const TidRun* run);
  const LaidNode* FindLaid(const int* items, int n) const;

  void PrepareWalk(OutputWalk& w, const IdTexts& ids);
  void WalkLines(OutputWalk& w, const WalkPart* part);
  template <typename Emit>
  void WalkResults(OutputWalk& w, const WalkPart* part, Emit emit);
  template <typename Emit>
  void QueueItemset(OutputWalk& w, const LaidNode& node, int nitems, Emit& emit);
  template <typename Emit>
  void EmitOldestQueued(OutputWalk& w, Emit& emit);

  NodeSlabs<TidRun> runs_;  // the store's split-off runs; removed runs for reuse
  TidStore tidstore_;       // the store's new runs with their tids
  std::vector<std::vector<LaidNode>> levels_;  // the trie laid out, from the top
  OutputWalk walk_;  // the writer's own walks
  IdTexts ownids_;   // the texts WriteText and Deliver build
  int lines_ = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RESULT_WRITER_H

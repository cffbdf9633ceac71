// Result store: an itemset trie whose nodes carry tidset trees. Per itemset
// only the inclusion-maximal tidsets are kept.
#ifndef QUASIBICLIQUE_TREE_H
#define QUASIBICLIQUE_TREE_H

#include <cstdio>
#include <vector>

// Every slot argument below is the field (root, tidroot, child or next) that
// holds the current node, so a node is linked in or out by one assignment.

// Node of a tidset tree (first child / next sibling). Every level is sorted
// strictly ascending by tid; every root-to-leaf path is one stored tidset and
// an inner node never ends one.
struct nodeStructureT {
  int tid;
  int maxlen;  // longest tidset ever stored through this node; never lowered
  int depth;   // 0-based level: the position of tid in its tidsets
  nodeStructureT* child;
  nodeStructureT* next;
};

// Node of the itemset trie. Levels are sorted strictly ascending by item; the
// path from the top spells the node's itemset. tidroot is non-null only when a
// result with exactly that itemset is stored.
struct nodeStructure {
  int item;
  nodeStructure* child;
  nodeStructure* next;
  nodeStructureT* tidroot;
};

// Nodes are cut from slabs and recycled through a free list linked by `next`;
// FreeTree gives all slabs back at once. Slab memory is a plain array of
// nodes, so a node costs its own size and no allocator header.
template <typename Node>
class NodeSlabs {
 public:
  Node* Take() {
    if (free_) {
      Node* node = free_;
      free_ = node->next;
      return node;
    }
    if (slabs_.empty() || used_ == kNodesPerSlab) {
      slabs_.push_back(new Node[kNodesPerSlab]);
      used_ = 0;
    }
    return &slabs_.back()[used_++];
  }
  void Give(Node* node) {
    node->next = free_;
    free_ = node;
  }
  void Release() {
    for (Node* slab : slabs_) delete[] slab;
    slabs_.clear();
    free_ = nullptr;
    used_ = 0;
  }

 private:
  static constexpr int kNodesPerSlab = 4096;
  std::vector<Node*> slabs_;
  int used_ = 0;
  Node* free_ = nullptr;
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

class Tree {
 public:
  Tree(int unused, char* outputFile);

  // Empties the trie; itemlength and tidlength size the path buffers of the
  // output phase (itemnum + 1 and tidnum + 1).
  void Initialize(int itemlength, int tidlength);

  // Stores result (tids, items), both strictly ascending. A tidset contained
  // in one already stored with the same itemset is refused; stored tidsets
  // contained in the new one are removed. Empty lists store nothing.
  void AddSet(int* tids, int ntids, int* items, int nitems);

  // Graph type 1: removes mirrored duplicates. Then writes every stored result
  // with at least two tids to outfile, mapping ids through the two maps and
  // sorting each list, and closes outfile. Returns 1 on success, 0 when a
  // write or the close failed. resultnum counts the lines.
  int FinalOutput(int* itemoldid, int* tidoldid);

  void FreeTree();

  char* opfile;          // output path (not owned)
  FILE* outfile = nullptr;  // opened by the driver before the mining
  nodeStructure* root = nullptr;
  int itemlength = 0;
  int tidlength = 0;
  int resultnum = 0;
  int insertnum = 0;     // tidsets stored since construction (drives progress)
  int writeerror = 0;    // errno of a failed write or close of outfile

 private:
  nodeStructure* NewItemChain(const int* items, int n, int k, nodeStructure* parent,
                               nodeStructure** last);
  nodeStructureT* NewTidNode(int tid, int maxlen, int depth);
  nodeStructure* FindSlot(int* items, int nitems);
  nodeStructure* FindOnLevel(nodeStructure* parent, int item, nodeStructure*** slot);
  void FindSlotT(int* tids, int ntids, nodeStructureT** slot, int d);
  nodeStructureT* AddTidset(int* tids, int ntids, nodeStructureT* next, int k);
  int CheckSuperset(int* tids, int ntids, nodeStructureT** slot, int k);
  int CheckSubset(int* tids, int ntids, nodeStructureT* node, int k);

  void FinalPruneToChild(nodeStructure* node, int* itempath, int k);
  void FinalPruneToTidset(nodeStructure* node, int* itempath, int nitems);
  int FinalPruneToTidsetChild(nodeStructureT* parent, int* itempath, int nitems,
                              int* tidpath, int d);
  int FindExactItemsetAndTidset(int* itemseq, int nseq, int* tidseq, int ntidseq);
  int FindExactTidset(nodeStructureT* node, int* seq, int n, int k);

  void FinalDisplayNode(nodeStructure* node, int* itempath, int k);
  void FinalDisplayItemset(nodeStructure* node, int* itempath, int nitems);
  void FinalDisplayNodeTidset(nodeStructureT* node, int* tidpath, int d,
                              int nitems, int* itempath);
  void WriteLine(int* tidpath, int ntids, int* itempath, int nitems);


  NodeSlabs<nodeStructure> itemnodes;
  NodeSlabs<nodeStructureT> tidnodes;
  // Every trie node by its parent and item, so that an insertion does not
  // walk a long level.
  ChildIndex children;

  // Output phase only: id maps and per-line scratch.
  int* outitemoldid = nullptr;
  int* outtidoldid = nullptr;
  std::vector<int> linescratch;
  std::vector<char> linetext;
};

#endif  // QUASIBICLIQUE_TREE_H

// Result store: insertion keeping the maximal tidsets per itemset, the final
// prune of mirrored results for undirected graphs, and the output file.
#include "Tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "data.h"
#include "pools.h"

// ---------------------------------------------------------------------------
// Index of the itemset trie
// ---------------------------------------------------------------------------

void ChildIndex::Clear() {
  table_.clear();
  used_ = 0;
}

size_t ChildIndex::Home(const nodeStructure* parent, int item) const {
  uint64_t h = (reinterpret_cast<uintptr_t>(parent) >> 4) * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<uint32_t>(item) * 0xC2B2AE3D27D4EB4Full;
  h ^= h >> 29;
  return static_cast<size_t>(h) & (table_.size() - 1);
}

nodeStructure* ChildIndex::Find(const nodeStructure* parent, int item) const {
  if (table_.empty()) return nullptr;
  const size_t mask = table_.size() - 1;
  for (size_t k = Home(parent, item);; k = (k + 1) & mask) {
    const Entry& e = table_[k];
    if (!e.node) return nullptr;
    if (e.parent == parent && e.node->item == item) return e.node;
  }
}

void ChildIndex::Add(const nodeStructure* parent, nodeStructure* node) {
  if (2 * (used_ + 1) > table_.size()) Grow();
  const size_t mask = table_.size() - 1;
  size_t k = Home(parent, node->item);
  while (table_[k].node) k = (k + 1) & mask;
  table_[k] = Entry{parent, node};
  used_++;
}

void ChildIndex::Grow() {
  std::vector<Entry> old(std::max<size_t>(64, 2 * table_.size()), Entry{nullptr, nullptr});
  old.swap(table_);
  used_ = 0;
  for (const Entry& e : old) {
    if (e.node) Add(e.parent, e.node);
  }
}

// ---------------------------------------------------------------------------

Tree::Tree(int, char* outputFile) : opfile(outputFile) {}

void Tree::Initialize(int itemlen, int tidlen) {
  itemlength = itemlen;
  tidlength = tidlen;
  root = nullptr;
  resultnum = 0;
  children.Clear();
}

// A chain of new trie nodes for items[k..n) below parent, linked by child and
// indexed. *last receives the node at which the itemset ends.
nodeStructure* Tree::NewItemChain(const int* items, int n, int k, nodeStructure* parent,
                                  nodeStructure** last) {
  nodeStructure* first = nullptr;
  nodeStructure** link = &first;
  for (int i = k; i < n; i++) {
    nodeStructure* node = itemnodes.Take();
    *node = nodeStructure{items[i], nullptr, nullptr, nullptr};
    children.Add(parent, node);
    *link = node;
    link = &node->child;
    parent = node;
    *last = node;
  }
  return first;
}

nodeStructureT* Tree::NewTidNode(int tid, int maxlen, int depth) {
  nodeStructureT* node = tidnodes.Take();
  *node = nodeStructureT{tid, maxlen, depth, nullptr, nullptr};
  return node;
}

// ---------------------------------------------------------------------------
// Insertion
// ---------------------------------------------------------------------------

void Tree::AddSet(int* tids, int ntids, int* items, int nitems) {
  if (ntids <= 0 || nitems <= 0) return;
  nodeStructure* end = FindSlot(items, nitems);
  if (!end->tidroot) end->tidroot = AddTidset(tids, ntids, nullptr, 0);
  else FindSlotT(tids, ntids, &end->tidroot, 0);
}

// Finds or creates the trie node at which items ends: the existing path is
// followed, and the rest of the itemset becomes a new chain linked into its
// level in item order.
nodeStructure* Tree::FindSlot(int* items, int nitems) {
  nodeStructure* parent = nullptr;
  for (int k = 0; k < nitems; k++) {
    nodeStructure** slot = nullptr;
    nodeStructure* node = FindOnLevel(parent, items[k], &slot);
    if (!node) {
      nodeStructure* end = nullptr;
      nodeStructure* chain = NewItemChain(items, nitems, k, parent, &end);
      chain->next = *slot;
      *slot = chain;
      return end;
    }
    parent = node;
  }
  return parent;
}

// The node of item on the level below parent; when there is none, *slot is
// set to the field that must hold a new one (the next of the nearest smaller
// sibling, or the level's head). The first few siblings are walked, as most
// levels are short; a long level is searched through the index, looking up
// a few smaller items for the nearest smaller sibling, as long levels are
// dense, before walking it.
nodeStructure* Tree::FindOnLevel(nodeStructure* parent, int item, nodeStructure*** slot) {
  constexpr int kWalk = 8;
  constexpr int kLookups = 48;
  nodeStructure** head = parent ? &parent->child : &root;
  nodeStructure** at = head;
  for (int step = 0; *at && (*at)->item < item; step++) {
    if (step == kWalk) {
      if (nodeStructure* node = children.Find(parent, item)) return node;
      const int lowest = std::max(0, item - kLookups);
      for (int smaller = item - 1; smaller >= lowest; smaller--) {
        if (nodeStructure* before = children.Find(parent, smaller)) {
          *slot = &before->next;
          return nullptr;
        }
      }
    }
    at = &(*at)->next;
  }
  if (*at && (*at)->item == item) return *at;
  *slot = at;
  return nullptr;
}

// Stores tids[d..] on the level held by `slot`, keeping the level's tidsets
// maximal.
void Tree::FindSlotT(int* tids, int ntids, nodeStructureT** slot, int d) {
  for (;;) {
    nodeStructureT* node = *slot;
    int t = tids[d];
    if (node->tid == t) {
      if (d == ntids - 1) return;  // a prefix of (or equal to) a stored tidset
      if (node->maxlen < ntids) node->maxlen = ntids;
      if (node->child) FindSlotT(tids, ntids, &node->child, d + 1);
      else node->child = AddTidset(tids, ntids, nullptr, d + 1);
      if (node->next) CheckSuperset(tids, ntids, &node->next, d);
      return;
    }
    if (node->tid < t) {
      if (node->maxlen >= ntids && node->child && CheckSubset(tids, ntids, node->child, d))
        return;  // contained in a stored tidset through this node
      if (!node->next) {
        node->next = AddTidset(tids, ntids, nullptr, d);
        return;
      }
      slot = &node->next;
      continue;
    }
    CheckSuperset(tids, ntids, slot, d);
    *slot = AddTidset(tids, ntids, *slot, d);
    return;
  }
}

nodeStructureT* Tree::AddTidset(int* tids, int ntids, nodeStructureT* next, int k) {
  insertnum++;
  if (insertnum % 1000 == 0) {
    insertnum++;
    printf("%d\t", insertnum);
  }
  nodeStructureT* first = nullptr;
  nodeStructureT** link = &first;
  for (int i = k; i < ntids; i++) {
    nodeStructureT* node = NewTidNode(tids[i], ntids, i);
    *link = node;
    link = &node->child;
  }
  first->next = next;
  return first;
}

// Removes, from the node in `slot` along its level, every stored tidset that
// is contained in tids[k..]. Each sibling's search starts where the previous
// one stopped. Returns 1 when the first node's tid was found and it ends a
// stored tidset or its own child level returned 1.
int Tree::CheckSuperset(int* tids, int ntids, nodeStructureT** slot, int k) {
  int first = -1;
  while (*slot) {
    nodeStructureT* node = *slot;
    int found = 0;
    int j = k;
    if (k < ntids && node->tid > tids[k]) {
      j = k + 1;
      while (j < ntids && tids[j] < node->tid) j++;
    }
    if (j < ntids && tids[j] == node->tid) found = 1;
    int result = 0;
    if (found) {
      if (node->maxlen == node->depth + 1) result = 1;
      else if (node->child) result = CheckSuperset(tids, ntids, &node->child, j + 1);
    }
    if (first < 0) first = result;
    if (result && !node->child) {
      *slot = node->next;
      tidnodes.Give(node);
    } else {
      slot = &node->next;
    }
    k = j;
  }
  return first;
}

// Returns 1 when tids[k..] all lie on one path starting on node's level at or
// after node.
int Tree::CheckSubset(int* tids, int ntids, nodeStructureT* node, int k) {
  for (; node; node = node->next) {
    int t = tids[k];
    if (node->tid > t) return 0;
    int room = node->maxlen - node->depth;
    if (node->tid == t) {
      if (k == ntids - 1) return 1;
      if (room < ntids - k || !node->child) return 0;
      return CheckSubset(tids, ntids, node->child, k + 1);
    }
    if (room >= ntids - k && node->child && CheckSubset(tids, ntids, node->child, k)) return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Final prune (graph type 1) and output
// ---------------------------------------------------------------------------

int Tree::FinalOutput(int* itemoldid, int* tidoldid) {
  ArenaCheck check;
  outitemoldid = itemoldid;
  outtidoldid = tidoldid;
  int* itempath = ArenaTake(itemlength);
  if (graphtype == 1) {
    int* pruneitempath = ArenaTake(itemlength);
    for (nodeStructure* x = root; x; x = x->next) {
      pruneitempath[0] = x->item;
      FinalPruneToTidset(x, pruneitempath, 1);
      if (x->child) FinalPruneToChild(x->child, pruneitempath, 1);
    }
    ArenaRelease(itemlength);
  }
  for (nodeStructure* x = root; x; x = x->next) {
    itempath[0] = x->item;
    FinalDisplayItemset(x, itempath, 1);
    if (x->child) FinalDisplayNode(x->child, itempath, 1);
  }
  ArenaRelease(itemlength);
  if (!outfile) return 1;
  int ok = !ferror(outfile);
  if (!ok) writeerror = errno;
  if (fclose(outfile) != 0 && ok) {
    ok = 0;
    writeerror = errno;
  }
  outfile = nullptr;
  return ok;
}

// Walks a level below the top: every node's deeper itemsets first, then its own.
void Tree::FinalPruneToChild(nodeStructure* node, int* itempath, int k) {
  for (; node; node = node->next) {
    itempath[k] = node->item;
    if (node->child) FinalPruneToChild(node->child, itempath, k + 1);
    FinalPruneToTidset(node, itempath, k + 1);
  }
}

void Tree::FinalPruneToTidset(nodeStructure* node, int* itempath, int nitems) {
  if (!node->tidroot) return;
  ArenaCheck check;
  int* tidpath = ArenaTake(tidlength);
  nodeStructureT** slot = &node->tidroot;
  while (*slot) {
    nodeStructureT* top = *slot;
    tidpath[0] = top->tid;
    if (top->child &&
        FinalPruneToTidsetChild(top, itempath, nitems, tidpath, 1) &&
        !top->child) {
      *slot = top->next;
      tidnodes.Give(top);
      continue;
    }
    slot = &top->next;
  }
  ArenaRelease(tidlength);
}

// Prunes the level below `parent` (which starts at `node`). Returns 1 when
// the first node of the level was removed.
int Tree::FinalPruneToTidsetChild(nodeStructureT* parent, int* itempath, int nitems,
                                  int* tidpath, int d) {
  int firstremoved = -1;
  nodeStructureT** slot = &parent->child;
  while (nodeStructureT* node = *slot) {
    tidpath[d] = node->tid;
    int remove = 0;
    if (node->child) {
      remove = FinalPruneToTidsetChild(node, itempath, nitems, tidpath, d + 1) &&
               !node->child;
    } else {
      remove = FindExactItemsetAndTidset(tidpath, d + 1, itempath, nitems);
    }
    if (firstremoved < 0) firstremoved = remove;
    if (remove) {
      *slot = node->next;
      tidnodes.Give(node);
    } else {
      slot = &node->next;
    }
  }
  return firstremoved == 1;
}

// The mirror lookup: is tidseq, read as an itemset, stored with exactly
// itemseq as one of its tidsets? A single-vertex side is never written, so it
// is never a mirror.
int Tree::FindExactItemsetAndTidset(int* itemseq, int nseq, int* tidseq, int ntidseq) {
  if (ntidseq < 2) return 0;
  nodeStructure* z = nullptr;
  for (int k = 0; k < nseq; k++) {
    z = children.Find(z, itemseq[k]);
    if (!z) return 0;
  }
  return z && z->tidroot && FindExactTidset(z->tidroot, tidseq, ntidseq, 0);
}

// Follows seq[k..] down a tidset tree; succeeds only when the node reached
// ends a stored tidset.
int Tree::FindExactTidset(nodeStructureT* node, int* seq, int n, int k) {
  for (; k < n; k++) {
    while (node && node->tid < seq[k]) node = node->next;
    if (!node || node->tid != seq[k]) return 0;
    if (k == n - 1) return node->child == nullptr;
    node = node->child;
  }
  return 0;
}

void Tree::FinalDisplayNode(nodeStructure* node, int* itempath, int k) {
  for (; node; node = node->next) {
    itempath[k] = node->item;
    if (node->child) FinalDisplayNode(node->child, itempath, k + 1);
    FinalDisplayItemset(node, itempath, k + 1);
  }
}

void Tree::FinalDisplayItemset(nodeStructure* node, int* itempath, int nitems) {
  if (!node->tidroot) return;
  ArenaCheck check;
  int* tidpath = ArenaTake(tidlength);
  for (nodeStructureT* top = node->tidroot; top; top = top->next) {
    tidpath[0] = top->tid;
    if (top->child) FinalDisplayNodeTidset(top->child, tidpath, 1, nitems, itempath);
  }
  ArenaRelease(tidlength);
}

void Tree::FinalDisplayNodeTidset(nodeStructureT* node, int* tidpath, int d, int nitems,
                                  int* itempath) {
  for (; node; node = node->next) {
    tidpath[d] = node->tid;
    if (node->child) FinalDisplayNodeTidset(node->child, tidpath, d + 1, nitems, itempath);
    else WriteLine(tidpath, d + 1, itempath, nitems);
  }
}

namespace {

// Appends the ids of list mapped through oldid, ascending, each as "%d ".
void AppendMapped(const int* list, int n, const int* oldid, std::vector<int>& scratch,
                  std::vector<char>& text) {
  scratch.resize(n);
  for (int i = 0; i < n; i++) scratch[i] = oldid[list[i]];
  std::sort(scratch.begin(), scratch.end());
  char digits[12];
  for (int value : scratch) {
    int len = 0;
    unsigned v = static_cast<unsigned>(value);
    do {
      digits[len++] = char('0' + v % 10);
      v /= 10;
    } while (v);
    while (len) text.push_back(digits[--len]);
    text.push_back(' ');
  }
}

}  // namespace

void Tree::WriteLine(int* tidpath, int ntids, int* itempath, int nitems) {
  resultnum++;
  if (!outfile) return;
  linetext.clear();
  AppendMapped(tidpath, ntids, outtidoldid, linescratch, linetext);
  linetext.push_back(';');
  AppendMapped(itempath, nitems, outitemoldid, linescratch, linetext);
  linetext.push_back('\n');
  fwrite(linetext.data(), 1, linetext.size(), outfile);
}

// ---------------------------------------------------------------------------
// Release
// ---------------------------------------------------------------------------

void Tree::FreeTree() {
  itemnodes.Release();
  tidnodes.Release();
  root = nullptr;
  children.Clear();
}

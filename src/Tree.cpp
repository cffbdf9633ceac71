// Result store: insertion keeping the maximal tidsets per itemset, the final
// prune of mirrored results for undirected graphs, and the output file.
#include "Tree.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <numeric>
#include <tuple>
#include <utility>

#include "data.h"
#include "pools.h"

namespace {

constexpr size_t kOutBlock = size_t{1} << 22;  // bytes written per block of lines
constexpr size_t kMaxDigits = 11;              // an unsigned int and its space
constexpr size_t kCacheLine = 64;

}  // namespace

// ---------------------------------------------------------------------------
// Index of the itemset trie
// ---------------------------------------------------------------------------

void ChildIndex::Clear() {
  std::vector<Entry>().swap(table_);
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

int* TidStore::TakeFromNewChunk(int n) {
  // A long array gets a chunk of its own so that the current chunk's rest
  // is not abandoned; otherwise a fresh chunk replaces the current one.
  if (n > kChunkInts / 8) {
    chunks_.push_back(new int[n]);
    bytes_ += sizeof(int) * static_cast<size_t>(n);
    return chunks_.back();
  }
  chunks_.push_back(new int[kChunkInts]);
  bytes_ += sizeof(int) * static_cast<size_t>(kChunkInts);
  top_ = chunks_.back() + n;
  left_ = kChunkInts - n;
  return chunks_.back();
}

void TidStore::Release() {
  for (int* chunk : chunks_) delete[] chunk;
  chunks_.clear();
  top_ = nullptr;
  left_ = 0;
  bytes_ = 0;
}

// ---------------------------------------------------------------------------

// The output file is given through outfile, which the driver opens.
Tree::Tree(int, char*) {}

void Tree::Initialize(int itemlen, int tidlen) {
  itemlength = itemlen;
  tidlength = tidlen;
  root = nullptr;
  resultnum = 0;
  levelsizes.clear();
  children.Clear();
  rootindexed = 0;
}

// A chain of new trie nodes for items[k..n), linked by child. *last
// receives the node at which the itemset ends.
nodeStructure* Tree::NewItemChain(const int* items, int n, int k, nodeStructure** last) {
  nodeStructure* first = nullptr;
  nodeStructure** link = &first;
  if (levelsizes.size() < static_cast<size_t>(n)) {
    levelsizes.resize(n, 0);
    itemnodes.resize(n);
  }
  for (int i = k; i < n; i++) {
    levelsizes[i]++;
    nodeStructure* node = itemnodes[i].Take();
    *node = nodeStructure{items[i], 0, nullptr, nullptr, nullptr};
    *link = node;
    link = &node->child;
    *last = node;
  }
  return first;
}

// ---------------------------------------------------------------------------
// Insertion
// ---------------------------------------------------------------------------

void Tree::AddSet(int* tids, int ntids, int* items, int nitems) {
  assert(levels.empty());  // nothing is added once the output has begun
  if (ntids <= 0 || nitems <= 0) return;
  nodeStructure* end = FindSlot(items, nitems);
  if (!end->tidroot) end->tidroot = NewRun(tids, 0, ntids, nullptr);
  else InsertTidset(tids, ntids, &end->tidroot);
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
      nodeStructure* chain = NewItemChain(items, nitems, k, &end);
      chain->next = *slot;
      *slot = chain;
      IndexNewNode(parent, chain);
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
  constexpr int kLookups = 48;
  nodeStructure** head = parent ? &parent->child : &root;
  nodeStructure** at = head;
  const bool indexed = LevelIndexed(parent);
  for (int step = 0; *at && (*at)->item < item; step++) {
    if (step == kShortLevel && indexed) {
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

// A node just linked into the level below parent enters the index when the
// level is indexed; the level is indexed whole when it grows past
// kShortLevel nodes.
void Tree::IndexNewNode(nodeStructure* parent, nodeStructure* node) {
  int& indexed = LevelIndexed(parent);
  if (indexed) {
    children.Add(parent, node);
    return;
  }
  nodeStructure* first = parent ? parent->child : root;
  int length = 0;
  for (nodeStructure* n = first; n; n = n->next) length++;
  if (length <= kShortLevel) return;
  for (nodeStructure* n = first; n; n = n->next) children.Add(parent, n);
  indexed = 1;
}

// Counts a stored tidset. Each thousandth count is printed, and the count
// then skips one (1001, 2001, ...); the number is flushed at once so that it
// shows while the search goes on.
void Tree::CountStored() {
  insertnum++;
  if (insertnum % 1000 == 0) {
    insertnum++;
    printf("%d\t", insertnum);
    fflush(stdout);
  }
}

// A run holding tids[from..ntids), the remainder of a newly stored tidset.
// The node and its tids are taken as one block, the tids right after the
// node, so that reading the run reads its first tids too.
TidRun* Tree::NewRun(const int* tids, int from, int ntids, TidRun* next) {
  static_assert(sizeof(TidRun) % sizeof(int) == 0 && alignof(TidRun) % alignof(int) == 0,
                "a run node fills whole ints");
  constexpr int kNodeInts = sizeof(TidRun) / sizeof(int);
  constexpr int kAlignInts = alignof(TidRun) / sizeof(int);
  CountStored();
  const int n = ntids - from;
  int* block = tidstore.Take(kNodeInts + (n + kAlignInts - 1) / kAlignInts * kAlignInts);
  assert(reinterpret_cast<uintptr_t>(block) % alignof(TidRun) == 0);
  int* copy = block + kNodeInts;
  std::copy(tids + from, tids + ntids, copy);
  return new (block) TidRun{copy, n, from, ntids, nullptr, next};
}

// Cuts run before offset `at`: the part from `at` on becomes its only child.
void Tree::SplitRun(TidRun* run, int at) {
  TidRun* tail = runs.Take();
  *tail = TidRun{run->tids + at, run->len - at, run->depth + at, run->maxlen, run->child,
                 nullptr};
  run->len = at;
  run->child = tail;
}

// Stores tids in the tidset tree held by `slot`, keeping its tidsets maximal.
// The descent follows the runs whose tids the new tidset starts with; d is the
// position in tids of the current level. On the way, stored tidsets of later
// siblings that the new one contains are removed (when the new one turns out
// to be contained in a stored one, none can be: the stored ones are an
// antichain).
void Tree::InsertTidset(const int* tids, int ntids, TidRun** slot) {
  for (int d = 0;;) {
    TidRun* run = *slot;
    const int t = tids[d];
    if (run->tids[0] < t) {
      if (run->maxlen >= ntids && ContainedFrom(tids, ntids, run, 0, d)) return;
      if (!run->next) {
        run->next = NewRun(tids, d, ntids, nullptr);
        return;
      }
      slot = &run->next;
      continue;
    }
    if (run->tids[0] > t) {
      RemoveContained(tids, ntids, slot, d);
      *slot = NewRun(tids, d, ntids, *slot);
      return;
    }
    int o = 1;
    while (o < run->len && d + o < ntids && run->tids[o] == tids[d + o]) o++;
    if (d + o == ntids) return;  // equal to or a prefix of a stored tidset
    if (run->next) RemoveContained(tids, ntids, &run->next, d);
    if (o < run->len) {
      BranchInRun(tids, ntids, run, o, d + o);
      return;
    }
    run->maxlen = std::max(run->maxlen, ntids);
    d += o;
    if (!run->child) {
      run->child = NewRun(tids, d, ntids, nullptr);  // extends a stored tidset
      return;
    }
    slot = &run->child;
  }
}

// tids[k..] leaves run at offset o, where the two differ.
void Tree::BranchInRun(const int* tids, int ntids, TidRun* run, int o, int k) {
  if (run->tids[o] < tids[k]) {
    if (run->maxlen >= ntids && ContainedFrom(tids, ntids, run, o, k)) return;
    SplitRun(run, o);
    run->child->next = NewRun(tids, k, ntids, nullptr);
  } else {
    SplitRun(run, o);
    RemoveContained(tids, ntids, &run->child, k);
    run->child = NewRun(tids, k, ntids, run->child);
  }
  run->maxlen = std::max(run->maxlen, ntids);
}

// Returns 1 when tids[k..] all lie on one path that starts at offset o of run.
int Tree::ContainedFrom(const int* tids, int ntids, const TidRun* run, int o, int k) const {
  for (; o < run->len; o++) {
    if (run->maxlen - (run->depth + o) < ntids - k) return 0;
    const int x = run->tids[o];
    if (x > tids[k]) return 0;
    if (x == tids[k] && ++k == ntids) return 1;
  }
  return run->child && ContainedInLevel(tids, ntids, run->child, k);
}

// Returns 1 when tids[k..] all lie on one path starting on run's level at or
// after run.
int Tree::ContainedInLevel(const int* tids, int ntids, const TidRun* run, int k) const {
  for (; run && run->tids[0] <= tids[k]; run = run->next) {
    if (ContainedFrom(tids, ntids, run, 0, k)) return 1;
  }
  return 0;
}

namespace {

// Returns the position in tids just after xs[len - 1] when every xs[i] occurs
// in tids[j..ntids), else -1. Both lists ascending.
int FindAll(const int* tids, int ntids, int j, const int* xs, int len) {
  if (len > ntids - j) return -1;
  for (int i = 0; i < len; i++) {
    while (j < ntids && tids[j] < xs[i]) j++;
    if (j == ntids || tids[j] != xs[i]) return -1;
    j++;
  }
  return j;
}

}  // namespace

// Removes, from the run in `slot` along its level, every stored tidset whose
// part from this level on is contained in tids[k..]; a run goes when nothing
// is stored through it any more. Each sibling's search starts where the
// previous one's first tid was looked for, as siblings ascend.
void Tree::RemoveContained(const int* tids, int ntids, TidRun** slot, int k) {
  while (TidRun* run = *slot) {
    while (k < ntids && tids[k] < run->tids[0]) k++;
    const int j = FindAll(tids, ntids, k, run->tids, run->len);
    if (j >= 0 && run->child) RemoveContained(tids, ntids, &run->child, j);
    if (j >= 0 && !run->child) {
      *slot = run->next;
      runs.Give(run);
    } else {
      slot = &run->next;
    }
  }
}

// ---------------------------------------------------------------------------
// Walks of the tidset trees
// ---------------------------------------------------------------------------

// Visits every stored tidset of the tree held by `root` in ascending
// lexicographic order: visit(tids, ntids) sees the tidset in tids[0 ..
// ntids) (the run's own array when the tidset is one run, else tidpath) and
// returns 1 to remove it. A run whose tidsets are all removed goes too.
// The walk keeps the slots of the path in walkslots instead of recursing.
template <typename Visit>
void Tree::WalkTidsets(TidRun** root, int* tidpath, Visit visit) {
  walkslots.clear();
  for (TidRun** slot = root;;) {
    if (TidRun* run = *slot) {
      const int* tids = run->tids;
      if (run->depth || run->child) {
        std::copy(run->tids, run->tids + run->len, tidpath + run->depth);
        tids = tidpath;
      }
      if (run->child) {
        walkslots.push_back(slot);
        slot = &run->child;
      } else if (visit(tids, run->depth + run->len)) {
        *slot = run->next;
        runs.Give(run);
      } else {
        slot = &run->next;
      }
      continue;
    }
    if (walkslots.empty()) return;
    slot = walkslots.back();
    walkslots.pop_back();
    TidRun* parent = *slot;
    if (parent->child) {
      slot = &parent->next;
    } else {
      *slot = parent->next;
      runs.Give(parent);
    }
  }
}

// ---------------------------------------------------------------------------
// Final prune (graph type 1) and output
// ---------------------------------------------------------------------------

int Tree::FinalOutput(int* itemoldid, int* tidoldid) {
  ArenaCheck check;
  int* itempath = ArenaTake(itemlength);
  int* tidpath = ArenaTake(tidlength);
  if (levels.empty()) LayOutTrie();
  if (graphtype == 1) {
    WalkItemsets(itempath, [&](LaidNode& node, int nitems) {
      PruneItemset(node, itempath, nitems, tidpath);
    });
  }
  if (outfile) {
    ReserveOutput(kOutBlock);
    tidtext.Build(tidoldid, tidlength - 1);
    itemtext.Build(itemoldid, itemlength - 1);
  }
  outused = 0;
  outfailed = 0;
  WalkItemsets(itempath, [&](LaidNode& node, int nitems) {
    QueueItemset(node, itempath, nitems, tidpath);
  });
  while (queued) WriteOldestQueued(tidpath);
  ArenaRelease(tidlength);
  ArenaRelease(itemlength);
  return CloseOutput();
}

// Lays the trie out level by level (see LaidNode) and frees its nodes and
// index; the tidset trees move over unchanged.
void Tree::LayOutTrie() {
  children.Clear();
  rootindexed = 0;
  std::vector<nodeStructure*> heads{root}, below;
  levels.resize(levelsizes.size());
  for (size_t k = 0; k < levels.size(); k++) {
    levels[k].reserve(levelsizes[k]);
    below.reserve(levelsizes[k]);
    LayOutLevel(heads, k ? &levels[k - 1] : nullptr, levels[k], below);
    assert(levels[k].size() == levelsizes[k]);
    itemnodes[k].Release();  // the level below needs only the child lists in below
    heads.swap(below);
    below.clear();
  }
  levelsizes.clear();
  itemnodes.clear();  // every level was released above
  root = nullptr;
}

// Appends to `level` the sibling lists that start at heads[p], in order of
// p, each list in its own order, and sets the firstchild of each of the
// parents (none for the top level); below receives each laid node's child
// list. The nodes of a list lie scattered in memory, so kWalkers lists are
// walked at once, a step of each in turn, and their loads overlap; a list is
// appended when those of all earlier parents are.
void Tree::LayOutLevel(const std::vector<nodeStructure*>& heads, std::vector<LaidNode>* parents,
                       std::vector<LaidNode>& level, std::vector<nodeStructure*>& below) {
  size_t nextparent = 0;
  int active = 0;
  for (ListWalker& w : walkers) active += StartList(w, heads, nextparent);
  // Walkers took parents in ring order from `oldest`, which holds the
  // earliest parent not yet appended.
  for (int oldest = 0; active;) {
    for (ListWalker& w : walkers) {
      if (nodeStructure* node = w.at) {
        w.nodes.push_back(LaidNode{node->item, -1, node->tidroot});
        w.heads.push_back(node->child);
        w.at = node->next;
        __builtin_prefetch(w.at);
      }
    }
    for (; walkers[oldest].listed && !walkers[oldest].at; oldest = (oldest + 1) % kWalkers) {
      ListWalker& w = walkers[oldest];
      if (parents) (*parents)[w.parent].firstchild = static_cast<int>(level.size());
      level.insert(level.end(), w.nodes.begin(), w.nodes.end());
      below.insert(below.end(), w.heads.begin(), w.heads.end());
      w.nodes.clear();
      w.heads.clear();
      if (!StartList(w, heads, nextparent)) active--;
    }
  }
  // A parent without children starts where the next one does.
  if (parents) {
    int next = static_cast<int>(level.size());
    for (auto p = parents->rbegin(); p != parents->rend(); ++p) {
      if (p->firstchild < 0) p->firstchild = next;
      next = p->firstchild;
    }
  }
}

// Sets w on the next parent with children, from nextparent on. Returns 0,
// leaving w without a list, when there is none.
int Tree::StartList(ListWalker& w, const std::vector<nodeStructure*>& heads,
                    size_t& nextparent) {
  while (nextparent < heads.size() && !heads[nextparent]) nextparent++;
  w.listed = nextparent < heads.size();
  w.at = nullptr;
  if (!w.listed) return 0;
  w.parent = nextparent;
  w.at = heads[nextparent++];
  __builtin_prefetch(w.at);
  return 1;
}

// The children of node i of level k: [first, end) of level k + 1.
std::pair<int, int> Tree::ChildrenOf(size_t k, size_t i) const {
  if (k + 1 >= levels.size()) return {0, 0};
  const int end = i + 1 < levels[k].size() ? levels[k][i + 1].firstchild
                                           : static_cast<int>(levels[k + 1].size());
  return {levels[k][i].firstchild, end};
}

// Visits every itemset node in the order of the output: a top-level node's
// own itemset before those below it; below the top, a node's deeper itemsets
// before its own. itempath holds the visited node's itemset; visit(node,
// nitems). Recurses along an itemset only.
template <typename Visit>
void Tree::WalkItemsets(int* itempath, Visit visit) {
  if (levels.empty()) return;
  for (size_t i = 0; i < levels[0].size(); i++) {
    itempath[0] = levels[0][i].item;
    visit(levels[0][i], 1);
    const auto [first, end] = ChildrenOf(0, i);
    if (first < end) WalkLevel(1, first, end, itempath, visit);
  }
}

// Visits nodes [first, end) of level k, each after all below it.
template <typename Visit>
void Tree::WalkLevel(size_t k, int first, int end, int* itempath, Visit& visit) {
  for (int i = first; i < end; i++) {
    itempath[k] = levels[k][i].item;
    const auto [below, belowend] = ChildrenOf(k, i);
    if (below < belowend) WalkLevel(k + 1, below, belowend, itempath, visit);
    visit(levels[k][i], static_cast<int>(k) + 1);
  }
}

// Removes every tidset of node whose mirror (the tidset read as an itemset,
// carrying this itemset as a tidset) is stored, looking each one up against
// the store as left by the removals before it.
void Tree::PruneItemset(LaidNode& node, int* itempath, int nitems, int* tidpath) {
  if (!node.tidroot) return;
  WalkTidsets(&node.tidroot, tidpath, [&](const int* tids, int ntids) {
    return IsMirrorStored(tids, ntids, itempath, nitems);
  });
}

// The laid node of itemset items[0 .. n), or null.
const LaidNode* Tree::FindLaid(const int* items, int n) const {
  if (n > static_cast<int>(levels.size())) return nullptr;
  int first = 0, end = static_cast<int>(levels[0].size());
  for (int k = 0;; k++) {
    const LaidNode* level = levels[k].data();
    const LaidNode* node = std::lower_bound(
        level + first, level + end, items[k],
        [](const LaidNode& x, int item) { return x.item < item; });
    if (node == level + end || node->item != items[k]) return nullptr;
    if (k + 1 == n) return node;
    std::tie(first, end) = ChildrenOf(k, static_cast<size_t>(node - level));
  }
}

// The mirror lookup: is tidseq stored, exactly, as a tidset of the itemset
// itemseq? A single-vertex side is never written, so it is never a mirror.
int Tree::IsMirrorStored(const int* itemseq, int nseq, const int* tidseq, int ntidseq) const {
  if (nseq < 2 || ntidseq < 2) return 0;
  const LaidNode* z = FindLaid(itemseq, nseq);
  if (!z) return 0;
  const TidRun* run = z->tidroot;
  for (int k = 0; run;) {
    while (run && run->tids[0] < tidseq[k]) run = run->next;
    if (!run || run->tids[0] != tidseq[k] || run->len > ntidseq - k) return 0;
    if (!std::equal(run->tids, run->tids + run->len, tidseq + k)) return 0;
    k += run->len;
    if (k == ntidseq) return run->child == nullptr;
    run = run->child;
  }
  return 0;
}

// The walk reaches itemsets in output order, but their runs and tids lie
// scattered in memory: an itemset with tidsets waits in a queue of kAhead
// entries before it is written, its first run fetched when it enters, that
// run's tids when it is halfway through and the texts of the first of them
// at three quarters, so that the loads overlap.
void Tree::QueueItemset(const LaidNode& node, const int* itempath, int nitems, int* tidpath) {
  if (!node.tidroot) return;
  if (nitems > queuestride) {
    while (queued) WriteOldestQueued(tidpath);
    queuestride = std::max(nitems, 2 * queuestride);
    queueitems.resize(static_cast<size_t>(kAhead) * queuestride);
  }
  if (queued == kAhead) WriteOldestQueued(tidpath);
  __builtin_prefetch(node.tidroot);
  const int at = (queuehead + queued) % kAhead;
  queue[at] = QueuedItemset{node.tidroot, nitems};
  std::copy(itempath, itempath + nitems, &queueitems[static_cast<size_t>(at) * queuestride]);
  queued++;
  if (queued > kAhead / 2) {
    const TidRun* run = queue[(at + kAhead - kAhead / 2) % kAhead].tidroot;
    const char* first = reinterpret_cast<const char*>(run->tids);
    const size_t bytes = sizeof(int) * static_cast<size_t>(std::min(run->len, kAheadTexts));
    for (size_t offset = 0; offset < bytes; offset += kCacheLine) {
      __builtin_prefetch(first + offset);
    }
    __builtin_prefetch(first + bytes - 1);
  }
  if (queued > 3 * kAhead / 4 && outfile) {
    const TidRun* run = queue[(at + kAhead - 3 * kAhead / 4) % kAhead].tidroot;
    for (int i = 0; i < std::min(run->len, kAheadTexts); i++) tidtext.Prefetch(run->tids[i]);
  }
}

// Writes every stored tidset of the oldest queued itemset.
void Tree::WriteOldestQueued(int* tidpath) {
  const QueuedItemset q = queue[queuehead];
  const int* items = &queueitems[static_cast<size_t>(queuehead) * queuestride];
  queuehead = (queuehead + 1) % kAhead;
  queued--;
  TidRun* tidroot = q.tidroot;
  WalkTidsets(&tidroot, tidpath, [&](const int* tids, int ntids) {
    if (ntids >= 2) WriteLine(tids, ntids, items, q.nitems);
    return 0;
  });
}

// ---------------------------------------------------------------------------
// Output file
// ---------------------------------------------------------------------------

namespace {

// The decimal digit pairs 00, 01, ..., 99.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Number of decimal digits of value.
int DigitCount(unsigned value) {
  int len = 1;
  for (unsigned limit = 10; len < 10 && value >= limit; limit *= 10) len++;
  return len;
}

// Writes value in decimal followed by a space; returns the end. Digits are
// made two at a time, from the right, in place.
char* AppendNumber(char* text, unsigned value) {
  const int len = DigitCount(value);
  char* at = text + len;
  while (value >= 100) {
    const unsigned pair = 2 * (value % 100);
    value /= 100;
    *--at = kDigitPairs[pair + 1];
    *--at = kDigitPairs[pair];
  }
  if (value >= 10) {
    *--at = kDigitPairs[2 * value + 1];
    *--at = kDigitPairs[2 * value];
  } else {
    *--at = static_cast<char>('0' + value);
  }
  text[len] = ' ';
  return text + len + 1;
}

}  // namespace

void IdText::Build(const int* oldid, int n) {
  byrank.resize(std::max(n, 0));
  std::iota(byrank.begin(), byrank.end(), 0);
  std::stable_sort(byrank.begin(), byrank.end(),
                   [oldid](int a, int b) { return oldid[a] < oldid[b]; });
  slots.resize(byrank.size());
  for (size_t r = 0; r < byrank.size(); r++) {
    Slot& slot = slots[byrank[r]];
    slot.rank = static_cast<int>(r);
    const unsigned value = static_cast<unsigned>(oldid[byrank[r]]);
    slot.text[0] = static_cast<char>(AppendNumber(slot.text + 1, value) - (slot.text + 1));
  }
}

// Line "t1 t2 ... ;i1 i2 ... \n" of old ids, each list ascending. The lines
// collect in outbuffer, which is written whenever it cannot take the next.
void Tree::WriteLine(const int* tidpath, int ntids, const int* itempath, int nitems) {
  resultnum++;
  if (!outfile || outfailed) return;
  const size_t room = kMaxDigits * (static_cast<size_t>(ntids) + nitems) + 2 + IdText::kSlot;
  if (outsize - outused < room) FlushOutput(room);
  char* text = outbuffer.get() + outused;
  text = AppendSorted(tidpath, ntids, tidtext, text);
  *text++ = ';';
  text = AppendSorted(itempath, nitems, itemtext, text);
  *text++ = '\n';
  outused = static_cast<size_t>(text - outbuffer.get());
}

namespace {

using Int4 = int __attribute__((vector_size(16)));

// How many of the values in blocks[0 .. n) are below r, four at a time.
int RanksBelow(const Int4* blocks, int n, int r) {
  const Int4 rank = {r, r, r, r};
  Int4 below = {0, 0, 0, 0};
  for (int b = 0; b < n; b++) below -= blocks[b] < rank;  // a true lane is -1
  return below[0] + below[1] + below[2] + below[3];
}

}  // namespace

// Appends the old ids of list ascending: orders its ids by rank, through a
// bitmap of their range when the range is small for the list, by counting
// for each id the ranks below its own when the list is short (no branch to
// mispredict), else by sorting. The ids of a list are distinct, so their
// ranks are too.
char* Tree::AppendSorted(const int* list, int n, const IdText& ids, char* text) {
  if (ranks.size() < static_cast<size_t>(n)) ranks.resize(n);
  int low = ids.Rank(list[0]), high = low, ascending = 1;
  for (int i = 0; i < n; i++) {
    assert(static_cast<size_t>(list[i]) < ids.slots.size());
    const int r = ids.Rank(list[i]);
    ranks[i] = r;
    if (i && r < ranks[i - 1]) ascending = 0;
    low = std::min(low, r);
    high = std::max(high, r);
  }
  if (ascending) {
    for (int i = 0; i < n; i++) text = ids.Append(list[i], text);
    return text;
  }
  const int words = (high - low) / 64 + 1;
  if (n <= kShortList && words > n * n / 16) return AppendCounted(list, n, ids, text);
  if (words <= 2 * n + 16) return AppendFromBits(ids, low, words, n, text);
  std::sort(ranks.begin(), ranks.begin() + n);
  for (int i = 0; i < n; i++) text = ids.Append(ids.byrank[ranks[i]], text);
  return text;
}

// Appends the old ids of list[0 .. n), n <= kShortList, whose ranks are in
// ranks[0 .. n): the place of each id is the number of ranks below its own.
char* Tree::AppendCounted(const int* list, int n, const IdText& ids, char* text) {
  int order[kShortList];
  Int4 padded[kShortList / 4];
  const int blocks = (n + 3) / 4;
  padded[blocks - 1] = Int4{INT_MAX, INT_MAX, INT_MAX, INT_MAX};
  memcpy(padded, ranks.data(), sizeof(int) * static_cast<size_t>(n));
  for (int i = 0; i < n; i++) order[RanksBelow(padded, blocks, ranks[i])] = list[i];
  for (int i = 0; i < n; i++) text = ids.Append(order[i], text);
  return text;
}

// Appends the old ids of ranks[0 .. n), which lie in the `words` * 64 ranks
// from low, ascending, through a bitmap of that range.
char* Tree::AppendFromBits(const IdText& ids, int low, int words, int n, char* text) {
  if (bits.size() < static_cast<size_t>(words)) bits.resize(words, 0);
  for (int i = 0; i < n; i++) {
    const int b = ranks[i] - low;
    bits[b / 64] |= uint64_t{1} << (b % 64);
  }
  for (int w = 0; w < words; w++) {
    for (uint64_t word = bits[w]; word; word &= word - 1) {
      const int rank = low + 64 * w + __builtin_ctzll(word);
      text = ids.Append(ids.byrank[rank], text);
    }
    bits[w] = 0;
  }
  return text;
}

// Writes the buffered lines and makes room for `room` bytes. After a failed
// write nothing more is written; the failure is reported on closing.
void Tree::FlushOutput(size_t room) {
  if (outused && fwrite(outbuffer.get(), 1, outused, outfile) != outused) {
    outfailed = 1;
    writeerror = errno;
  }
  outused = 0;
  ReserveOutput(room);
}

// The buffer is not cleared, so only the part that lines reach is touched.
void Tree::ReserveOutput(size_t size) {
  if (outsize >= size) return;
  outbuffer.reset(new char[size]);
  outsize = size;
}

int Tree::CloseOutput() {
  if (!outfile) return 1;
  if (!outfailed) FlushOutput(0);
  int ok = !outfailed && !ferror(outfile);
  if (!ok && !writeerror) writeerror = errno;
  if (fclose(outfile) != 0 && ok) {
    ok = 0;
    writeerror = errno;
  }
  outfile = nullptr;
  return ok;
}

// ---------------------------------------------------------------------------
// Release
// ---------------------------------------------------------------------------

void Tree::FreeTree() {
  std::vector<std::vector<LaidNode>>().swap(levels);
  levelsizes.clear();
  for (NodeSlabs<nodeStructure>& level : itemnodes) level.Release();
  itemnodes.clear();
  runs.Release();
  tidstore.Release();
  root = nullptr;
  children.Clear();
  rootindexed = 0;
}

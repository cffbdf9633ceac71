// Result store: insertion keeping the maximal tidsets per itemset, in an
// itemset trie with an index of its long levels.
#include "result_store.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace quasibiclique {

// ---------------------------------------------------------------------------
// Index of the itemset trie
// ---------------------------------------------------------------------------

void ChildIndex::Clear() {
  std::vector<Entry>().swap(table_);
  used_ = 0;
}

size_t ChildIndex::Home(const TrieNode* parent, int item) const {
  uint64_t h = (reinterpret_cast<uintptr_t>(parent) >> 4) * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<uint32_t>(item) * 0xC2B2AE3D27D4EB4Full;
  h ^= h >> 29;
  return static_cast<size_t>(h) & (table_.size() - 1);
}

TrieNode* ChildIndex::Find(const TrieNode* parent, int item) const {
  if (table_.empty()) return nullptr;
  const size_t mask = table_.size() - 1;
  for (size_t k = Home(parent, item);; k = (k + 1) & mask) {
    const Entry& e = table_[k];
    if (!e.node) return nullptr;
    if (e.parent == parent && e.node->item == item) return e.node;
  }
}

void ChildIndex::Add(const TrieNode* parent, TrieNode* node) {
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

namespace {

// Once a store holds kSmallStoreChunks chunks, a new chunk that is a whole
// number of huge pages is aligned to them and offered to the kernel for
// them: a store of gigabytes then faults its memory in 2 MB at a time
// instead of 4 KB (chess 2 0 0 1500: 8 s less of the kernel's time on one
// thread). A smaller store keeps small pages, so that it holds no more
// memory than it touches (a store under a small memory limit spills long
// before it gets there).
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kSmallStoreChunks = 16;

int* NewChunk(size_t ints, size_t chunks) {
  const size_t bytes = ints * sizeof(int);
  const bool huge = chunks >= kSmallStoreChunks && bytes % kHugePage == 0;
  void* chunk = huge ? std::aligned_alloc(kHugePage, bytes) : std::malloc(bytes);
  if (!chunk) throw std::bad_alloc();
  if (huge) madvise(chunk, bytes, MADV_HUGEPAGE);  // a hint: refused, the chunk still serves
  return static_cast<int*>(chunk);
}

}  // namespace

int* TidStore::TakeFromNewChunk(int n) {
  // A long array gets a chunk of its own so that the current chunk's rest
  // is not abandoned; otherwise a fresh chunk replaces the current one.
  if (n > kChunkInts / 8) {
    chunks_.push_back(NewChunk(size_t(n), chunks_.size()));
    bytes_ += sizeof(int) * static_cast<size_t>(n);
    return chunks_.back();
  }
  chunks_.push_back(NewChunk(kChunkInts, chunks_.size()));
  bytes_ += sizeof(int) * static_cast<size_t>(kChunkInts);
  top_ = chunks_.back() + n;
  left_ = kChunkInts - n;
  return chunks_.back();
}

TidStore::~TidStore() {
  for (int* chunk : chunks_) std::free(chunk);
}

// ---------------------------------------------------------------------------

// A chain of new trie nodes for items[k..n), k < n, linked by child. *last
// receives the node at which the itemset ends.
TrieNode* ResultStore::NewItemChain(const int* items, int n, int k, TrieNode** last) {
  TrieNode* first = nullptr;
  TrieNode** link = &first;
  if (levelsizes_.size() < static_cast<size_t>(n)) {
    levelsizes_.resize(n, 0);
    itemnodes_.resize(n);
  }
  TrieNode* node = nullptr;
  for (int i = k; i < n; i++) {
    levelsizes_[i]++;
    node = itemnodes_[i].Take();
    *node = TrieNode{items[i], false, nullptr, nullptr, nullptr};
    *link = node;
    link = &node->child;
  }
  *last = node;
  return first;
}

// ---------------------------------------------------------------------------
// Insertion
// ---------------------------------------------------------------------------

void ResultStore::Add(const int* tids, int ntids, const int* items, int nitems) {
  assert(!closed_);  // nothing is added once a writer has taken the results
  if (ntids <= 0 || nitems <= 0) return;
  TrieNode* end = FindSlot(items, nitems);
  if (!end->tidroot) end->tidroot = NewRun(tids, 0, ntids, nullptr);
  else InsertTidset(tids, ntids, &end->tidroot);
}

// Finds or creates the trie node at which items ends: the existing path is
// followed, and the rest of the itemset becomes a new chain linked into its
// level in item order.
TrieNode* ResultStore::FindSlot(const int* items, int nitems) {
  TrieNode* parent = nullptr;
  for (int k = 0; k < nitems; k++) {
    TrieNode** slot = nullptr;
    TrieNode* node = FindOnLevel(parent, items[k], &slot);
    if (!node) {
      TrieNode* end = nullptr;
      TrieNode* chain = NewItemChain(items, nitems, k, &end);
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
TrieNode* ResultStore::FindOnLevel(TrieNode* parent, int item, TrieNode*** slot) {
  constexpr int kLookups = 48;
  TrieNode** head = parent ? &parent->child : &root_;
  TrieNode** at = head;
  const bool indexed = LevelIndexed(parent);
  for (int step = 0; *at && (*at)->item < item; step++) {
    if (step == kShortLevel && indexed) {
      if (TrieNode* node = children_.Find(parent, item)) return node;
      const int lowest = std::max(0, item - kLookups);
      for (int smaller = item - 1; smaller >= lowest; smaller--) {
        if (TrieNode* before = children_.Find(parent, smaller)) {
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
void ResultStore::IndexNewNode(TrieNode* parent, TrieNode* node) {
  bool& indexed = LevelIndexed(parent);
  if (indexed) {
    children_.Add(parent, node);
    return;
  }
  TrieNode* first = parent ? parent->child : root_;
  int length = 0;
  for (TrieNode* n = first; n; n = n->next) length++;
  if (length <= kShortLevel) return;
  for (TrieNode* n = first; n; n = n->next) children_.Add(parent, n);
  indexed = true;
}

// Counts a stored tidset. Each thousandth count goes to the progress
// callback, and the count then skips one (1001, 2001, ...), the numbers the
// program has always shown.
void ResultStore::CountStored() {
  stored_++;
  if (stored_ % 1000 == 0) {
    stored_++;
    if (progress_) progress_(progresscontext_, stored_);
  }
}

// A run holding tids[from..ntids), the remainder of a newly stored tidset.
// The node and its tids are taken as one block, the tids right after the
// node, so that reading the run reads its first tids too.
TidRun* ResultStore::NewRun(const int* tids, int from, int ntids, TidRun* next) {
  static_assert(sizeof(TidRun) % sizeof(int) == 0 && alignof(TidRun) % alignof(int) == 0,
                "a run node fills whole ints");
  constexpr int kNodeInts = sizeof(TidRun) / sizeof(int);
  constexpr int kAlignInts = alignof(TidRun) / sizeof(int);
  CountStored();
  const int n = ntids - from;
  int* block = tidstore_.Take(kNodeInts + (n + kAlignInts - 1) / kAlignInts * kAlignInts);
  assert(reinterpret_cast<uintptr_t>(block) % alignof(TidRun) == 0);
  int* copy = block + kNodeInts;
  std::copy(tids + from, tids + ntids, copy);
  return new (block) TidRun{copy, n, from, ntids, nullptr, next};
}

// Cuts run before offset `at`: the part from `at` on becomes its only child.
void ResultStore::SplitRun(TidRun* run, int at) {
  TidRun* tail = runs_.Take();
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
void ResultStore::InsertTidset(const int* tids, int ntids, TidRun** slot) {
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
void ResultStore::BranchInRun(const int* tids, int ntids, TidRun* run, int o, int k) {
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

// True when tids[k..] all lie on one path that starts at offset o of run.
bool ResultStore::ContainedFrom(const int* tids, int ntids, const TidRun* run, int o,
                                int k) const {
  for (; o < run->len; o++) {
    if (run->maxlen - (run->depth + o) < ntids - k) return false;
    const int x = run->tids[o];
    if (x > tids[k]) return false;
    if (x == tids[k] && ++k == ntids) return true;
  }
  return run->child && ContainedInLevel(tids, ntids, run->child, k);
}

// True when tids[k..] all lie on one path starting on run's level at or
// after run.
bool ResultStore::ContainedInLevel(const int* tids, int ntids, const TidRun* run, int k) const {
  for (; run && run->tids[0] <= tids[k]; run = run->next) {
    if (ContainedFrom(tids, ntids, run, 0, k)) return true;
  }
  return false;
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
void ResultStore::RemoveContained(const int* tids, int ntids, TidRun** slot, int k) {
  while (TidRun* run = *slot) {
    while (k < ntids && tids[k] < run->tids[0]) k++;
    const int j = FindAll(tids, ntids, k, run->tids, run->len);
    if (j >= 0 && run->child) RemoveContained(tids, ntids, &run->child, j);
    if (j >= 0 && !run->child) {
      *slot = run->next;
      runs_.Give(run);
    } else {
      slot = &run->next;
    }
  }
}

}  // namespace quasibiclique

// Result store: insertion keeping the maximal tidsets per itemset, the final
// prune of mirrored results for undirected graphs, and the output file.
#include "Tree.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "data.h"
#include "pools.h"

namespace {

constexpr size_t kOutBlock = size_t{1} << 22;  // bytes written per block of lines
constexpr size_t kMaxDigits = 11;              // an unsigned int and its space

}  // namespace

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
  children.Clear();
  rootindexed = 0;
}

// A chain of new trie nodes for items[k..n), linked by child. *last
// receives the node at which the itemset ends.
nodeStructure* Tree::NewItemChain(const int* items, int n, int k, nodeStructure** last) {
  nodeStructure* first = nullptr;
  nodeStructure** link = &first;
  for (int i = k; i < n; i++) {
    nodeStructure* node = itemnodes.Take();
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

// The node of item on the level below parent, or null.
nodeStructure* Tree::FindChild(nodeStructure* parent, int item) const {
  if (parent ? parent->childindexed : rootindexed) return children.Find(parent, item);
  for (nodeStructure* n = parent ? parent->child : root; n && n->item <= item; n = n->next) {
    if (n->item == item) return n;
  }
  return nullptr;
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
TidRun* Tree::NewRun(const int* tids, int from, int ntids, TidRun* next) {
  CountStored();
  int* copy = tidstore.Take(ntids - from);
  std::copy(tids + from, tids + ntids, copy);
  TidRun* run = runs.Take();
  *run = TidRun{copy, ntids - from, from, ntids, nullptr, next};
  return run;
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
// lexicographic order: visit(ntids) sees the tidset in tidpath[0 .. ntids)
// and returns 1 to remove it. A run whose tidsets are all removed goes too.
// The walk keeps the slots of the path in walkslots instead of recursing.
template <typename Visit>
void Tree::WalkTidsets(TidRun** root, int* tidpath, Visit visit) {
  walkslots.clear();
  for (TidRun** slot = root;;) {
    if (TidRun* run = *slot) {
      std::copy(run->tids, run->tids + run->len, tidpath + run->depth);
      if (run->child) {
        walkslots.push_back(slot);
        slot = &run->child;
      } else if (visit(run->depth + run->len)) {
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
  if (graphtype == 1) {
    WalkItemsets(itempath, [&](nodeStructure* node, int nitems) {
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
  WalkItemsets(itempath, [&](nodeStructure* node, int nitems) {
    DisplayItemset(node, itempath, nitems, tidpath);
  });
  ArenaRelease(tidlength);
  ArenaRelease(itemlength);
  return CloseOutput();
}

// Visits every itemset node in the order of the output: a top-level node's
// own itemset before those below it; below the top, a node's deeper itemsets
// before its own. itempath holds the visited node's itemset; visit(node,
// nitems). Recurses along an itemset only.
template <typename Visit>
void Tree::WalkItemsets(int* itempath, Visit visit) {
  for (nodeStructure* x = root; x; x = x->next) {
    itempath[0] = x->item;
    visit(x, 1);
    if (x->child) WalkLevel(x->child, itempath, 1, visit);
  }
}

// The nodes of a level lie scattered in memory: they are fetched a step
// ahead, in a pipeline: the sibling after next and the next sibling's first
// child and first run, then this node's first tids, while the node's deeper
// levels are walked.
template <typename Visit>
void Tree::WalkLevel(nodeStructure* node, int* itempath, int k, Visit& visit) {
  __builtin_prefetch(node->tidroot);
  for (; node; node = node->next) {
    if (nodeStructure* next = node->next) {
      __builtin_prefetch(next->next);
      __builtin_prefetch(next->child);
      __builtin_prefetch(next->tidroot);
    }
    if (node->tidroot) __builtin_prefetch(node->tidroot->tids);
    itempath[k] = node->item;
    if (node->child) WalkLevel(node->child, itempath, k + 1, visit);
    visit(node, k + 1);
  }
}

// Removes every tidset of node whose mirror (the tidset read as an itemset,
// carrying this itemset as a tidset) is stored, looking each one up against
// the store as left by the removals before it.
void Tree::PruneItemset(nodeStructure* node, int* itempath, int nitems, int* tidpath) {
  if (!node->tidroot) return;
  WalkTidsets(&node->tidroot, tidpath, [&](int ntids) {
    return IsMirrorStored(tidpath, ntids, itempath, nitems);
  });
}

// The mirror lookup: is tidseq stored, exactly, as a tidset of the itemset
// itemseq? A single-vertex side is never written, so it is never a mirror.
int Tree::IsMirrorStored(const int* itemseq, int nseq, const int* tidseq, int ntidseq) const {
  if (nseq < 2 || ntidseq < 2) return 0;
  nodeStructure* z = nullptr;
  for (int k = 0; k < nseq; k++) {
    z = FindChild(z, itemseq[k]);
    if (!z) return 0;
  }
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

void Tree::DisplayItemset(nodeStructure* node, int* itempath, int nitems, int* tidpath) {
  if (!node->tidroot) return;
  WalkTidsets(&node->tidroot, tidpath, [&](int ntids) {
    if (ntids >= 2) WriteLine(tidpath, ntids, itempath, nitems);
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
  std::vector<int> order(std::max(n, 0));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [oldid](int a, int b) { return oldid[a] < oldid[b]; });
  rank.resize(order.size());
  slots.resize(kSlot * order.size());
  for (size_t r = 0; r < order.size(); r++) {
    rank[order[r]] = static_cast<int>(r);
    char* slot = &slots[kSlot * r];
    slot[0] = static_cast<char>(AppendNumber(slot + 1, static_cast<unsigned>(oldid[order[r]])) -
                                (slot + 1));
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

// Sorts ascending. Lines are mostly short: they are sorted by insertion with
// plain moves (the library's insertion step calls memmove for every element).
void SortRanks(int* a, int n) {
  constexpr int kShort = 32;
  if (n > kShort) {
    std::sort(a, a + n);
    return;
  }
  for (int i = 1; i < n; i++) {
    const int value = a[i];
    int j = i;
    for (; j > 0 && a[j - 1] > value; j--) a[j] = a[j - 1];
    a[j] = value;
  }
}

}  // namespace

// Appends the old ids of list ascending: sorts the ranks of its ids, through
// a bitmap of their range when the list is dense in it, else by comparison.
// The ids of a list are distinct, so their ranks are too.
char* Tree::AppendSorted(const int* list, int n, const IdText& ids, char* text) {
  if (ranks.size() < static_cast<size_t>(n)) ranks.resize(n);
  int low = ids.rank[list[0]], high = low, ascending = 1;
  for (int i = 0; i < n; i++) {
    assert(static_cast<size_t>(list[i]) < ids.rank.size());
    const int r = ids.rank[list[i]];
    ranks[i] = r;
    if (i && r < ranks[i - 1]) ascending = 0;
    low = std::min(low, r);
    high = std::max(high, r);
  }
  if (!ascending && (high - low) / 64 < 2 * n + 16) {
    const size_t words = static_cast<size_t>(high - low) / 64 + 1;
    if (bits.size() < words) bits.resize(words, 0);
    for (int i = 0; i < n; i++) {
      const int b = ranks[i] - low;
      bits[b / 64] |= uint64_t{1} << (b % 64);
    }
    return AppendFromBits(ids, low, words, text);
  }
  if (!ascending) SortRanks(ranks.data(), n);
  // Each copy's place depends on the length read from the slot before, so
  // slots missing the cache would be fetched one after another: ask for all
  // of them first.
  for (int i = 0; i < n; i++) ids.Prefetch(ranks[i]);
  for (int i = 0; i < n; i++) text = ids.Append(ranks[i], text);
  return text;
}

// Appends the old id of rank base + b for every bit b set in bits[0 ..
// words), ascending, clearing the bits.
char* Tree::AppendFromBits(const IdText& ids, int base, size_t words, char* text) {
  for (size_t w = 0; w < words; w++) {
    for (uint64_t word = bits[w]; word; word &= word - 1) {
      text = ids.Append(base + 64 * static_cast<int>(w) + __builtin_ctzll(word), text);
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
  itemnodes.Release();
  runs.Release();
  tidstore.Release();
  root = nullptr;
  children.Clear();
  rootindexed = 0;
}

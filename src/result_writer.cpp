// Result writer: the layout of the trie, the prune of mirrored results for
// undirected graphs, the output walk and the buffered text output.
#include "result_writer.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <numeric>
#include <tuple>

namespace quasibiclique {

namespace {

constexpr size_t kOutBlock = size_t{1} << 22;  // bytes written per block of lines
// Bytes per block FormatText hands on: formatters on several threads each
// fill one, and the run holds a copy of those not yet written.
constexpr size_t kTextBlock = size_t{1} << 20;
constexpr size_t kMaxDigits = 11;              // an unsigned int and its space
constexpr size_t kCacheLine = 64;

}  // namespace

ResultWriter::ResultWriter(ResultStore& store, bool undirected)
    : runs_(std::move(store.runs_)), tidstore_(std::move(store.tidstore_)) {
  LayOutTrie(store);
  itempath_.resize(levels_.size());
  if (undirected) {
    PruneMirrors([this](int) -> const ResultWriter& { return *this; });
  }
}

// ---------------------------------------------------------------------------
// Layout of the trie
// ---------------------------------------------------------------------------

// A walker of one child list during the layout.
struct ResultWriter::ListWalker {
  bool listed = false;             // holds a list, walked or waiting to be appended
  size_t parent = 0;
  TrieNode* at = nullptr;          // next node of the list, null when done
  std::vector<LaidNode> nodes;     // the list laid out so far
  std::vector<TrieNode*> heads;    // their child lists
};

// Lays the store's trie out level by level (see LaidNode) and frees its nodes
// and index, each level as soon as the one below no longer needs it, so that
// the trie and its layout are never held whole at once.
void ResultWriter::LayOutTrie(ResultStore& store) {
  store.closed_ = true;
  store.children_.Clear();
  store.rootindexed_ = false;
  std::vector<TrieNode*> heads{store.root_}, below;
  ListWalker walkers[kWalkers];
  levels_.resize(store.levelsizes_.size());
  for (size_t k = 0; k < levels_.size(); k++) {
    levels_[k].reserve(store.levelsizes_[k]);
    below.reserve(store.levelsizes_[k]);
    LayOutLevel(heads, k ? &levels_[k - 1] : nullptr, levels_[k], below, walkers);
    assert(levels_[k].size() == store.levelsizes_[k]);
    store.itemnodes_[k].Release();  // the level below needs only the child lists in below
    heads.swap(below);
    below.clear();
  }
  store.levelsizes_.clear();
  store.itemnodes_.clear();  // every level was released above
  store.root_ = nullptr;
}

// Appends to `level` the sibling lists that start at heads[p], in order of
// p, each list in its own order, and sets the firstchild of each of the
// parents (none for the top level); below receives each laid node's child
// list. The nodes of a list lie scattered in memory, so kWalkers lists are
// walked at once, a step of each in turn, and their loads overlap; a list is
// appended when those of all earlier parents are.
void ResultWriter::LayOutLevel(const std::vector<TrieNode*>& heads,
                               std::vector<LaidNode>* parents, std::vector<LaidNode>& level,
                               std::vector<TrieNode*>& below, ListWalker* walkers) {
  size_t nextparent = 0;
  int active = 0;
  for (int k = 0; k < kWalkers; k++) active += StartList(walkers[k], heads, nextparent);
  // Walkers took parents in ring order from `oldest`, which holds the
  // earliest parent not yet appended.
  for (int oldest = 0; active;) {
    for (int k = 0; k < kWalkers; k++) {
      ListWalker& w = walkers[k];
      if (TrieNode* node = w.at) {
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

// Sets w on the next parent with children, from nextparent on. Returns
// false, leaving w without a list, when there is none.
bool ResultWriter::StartList(ListWalker& w, const std::vector<TrieNode*>& heads,
                             size_t& nextparent) {
  while (nextparent < heads.size() && !heads[nextparent]) nextparent++;
  w.listed = nextparent < heads.size();
  w.at = nullptr;
  if (!w.listed) return false;
  w.parent = nextparent;
  w.at = heads[nextparent++];
  __builtin_prefetch(w.at);
  return true;
}

// The children of node i of level k: [first, end) of level k + 1.
std::pair<int, int> ResultWriter::ChildrenOf(size_t k, size_t i) const {
  if (k + 1 >= levels_.size()) return {0, 0};
  const int end = i + 1 < levels_[k].size() ? levels_[k][i + 1].firstchild
                                            : static_cast<int>(levels_[k + 1].size());
  return {levels_[k][i].firstchild, end};
}

// ---------------------------------------------------------------------------
// Walks
// ---------------------------------------------------------------------------

// Visits every itemset node in the order of the output: a top-level node's
// own itemset before those below it; below the top, a node's deeper itemsets
// before its own. itempath holds the visited node's itemset; visit(node,
// nitems). Recurses along an itemset only.
template <typename Visit>
void ResultWriter::WalkItemsets(int* itempath, Visit visit) {
  if (levels_.empty()) return;
  for (size_t i = 0; i < levels_[0].size(); i++) {
    itempath[0] = levels_[0][i].item;
    visit(levels_[0][i], 1);
    const auto [first, end] = ChildrenOf(0, i);
    if (first < end) WalkLevel(1, first, end, itempath, visit);
  }
}

// Visits nodes [first, end) of level k, each after all below it.
template <typename Visit>
void ResultWriter::WalkLevel(size_t k, int first, int end, int* itempath, Visit& visit) {
  for (int i = first; i < end; i++) {
    itempath[k] = levels_[k][i].item;
    const auto [below, belowend] = ChildrenOf(k, i);
    if (below < belowend) WalkLevel(k + 1, below, belowend, itempath, visit);
    visit(levels_[k][i], static_cast<int>(k) + 1);
  }
}

// Visits every stored tidset of the tree held by `root` in ascending
// lexicographic order: visit(tids, ntids) sees the tidset in tids[0 ..
// ntids) (the run's own array when the tidset is one run, else tidpath) and
// returns true to remove it. A run whose tidsets are all removed goes too.
// The walk keeps the slots of the path in walkslots_ instead of recursing.
template <typename Visit>
void ResultWriter::WalkTidsets(TidRun** root, int* tidpath, Visit visit) {
  walkslots_.clear();
  for (TidRun** slot = root;;) {
    if (TidRun* run = *slot) {
      assert(static_cast<size_t>(run->depth + run->len) <= tidpath_.size());
      const int* tids = run->tids;
      if (run->depth || run->child) {
        std::copy(run->tids, run->tids + run->len, tidpath + run->depth);
        tids = tidpath;
      }
      if (run->child) {
        walkslots_.push_back(slot);
        slot = &run->child;
      } else if (visit(tids, run->depth + run->len)) {
        *slot = run->next;
        runs_.Give(run);
      } else {
        slot = &run->next;
      }
      continue;
    }
    if (walkslots_.empty()) return;
    slot = walkslots_.back();
    walkslots_.pop_back();
    TidRun* parent = *slot;
    if (parent->child) {
      slot = &parent->next;
    } else {
      *slot = parent->next;
      runs_.Give(parent);
    }
  }
}

// ---------------------------------------------------------------------------
// Mirror prune (undirected graphs)
// ---------------------------------------------------------------------------

void ResultWriter::PruneMirrors(const HolderOf& holder) {
  PruneWhere([&](const int* tids, int ntids, const int* items, int nitems) {
    return holder(tids[0]).Stores(tids, ntids, items, nitems);
  });
}

// Each tidset of an itemset is looked up against the store as left by the
// removals before it.
void ResultWriter::PruneWhere(const Drop& drop) {
  int* itempath = itempath_.data();
  WalkItemsets(itempath, [&](LaidNode& node, int nitems) {
    PruneItemset(node, itempath, nitems, drop);
  });
}

// Removes every tidset of node (itemset itempath[0 .. nitems)) that drop
// names.
void ResultWriter::PruneItemset(LaidNode& node, int* itempath, int nitems, const Drop& drop) {
  if (!node.tidroot) return;
  WalkTidsets(&node.tidroot, TidPathFor(node.tidroot), [&](const int* tids, int ntids) {
    return ntids >= 2 && drop(tids, ntids, itempath, nitems);
  });
}

// The tidset path, made long enough for the tree whose top level starts at
// run: a top-level run's maxlen bounds every tidset stored through it.
int* ResultWriter::TidPathFor(const TidRun* run) {
  int longest = 0;
  for (; run; run = run->next) longest = std::max(longest, run->maxlen);
  if (tidpath_.size() < static_cast<size_t>(longest)) tidpath_.resize(longest);
  return tidpath_.data();
}

// The laid node of itemset items[0 .. n), or null.
const LaidNode* ResultWriter::FindLaid(const int* items, int n) const {
  if (n > static_cast<int>(levels_.size())) return nullptr;
  int first = 0, end = static_cast<int>(levels_[0].size());
  for (int k = 0;; k++) {
    const LaidNode* level = levels_[k].data();
    const LaidNode* node = std::lower_bound(
        level + first, level + end, items[k],
        [](const LaidNode& x, int item) { return x.item < item; });
    if (node == level + end || node->item != items[k]) return nullptr;
    if (k + 1 == n) return node;
    std::tie(first, end) = ChildrenOf(k, static_cast<size_t>(node - level));
  }
}

bool ResultWriter::Stores(const int* itemseq, int nseq, const int* tidseq, int ntidseq) const {
  if (nseq < 2 || ntidseq < 2) return false;
  const LaidNode* z = FindLaid(itemseq, nseq);
  if (!z) return false;
  const TidRun* run = z->tidroot;
  for (int k = 0; run;) {
    while (run && run->tids[0] < tidseq[k]) run = run->next;
    if (!run || run->tids[0] != tidseq[k] || run->len > ntidseq - k) return false;
    if (!std::equal(run->tids, run->tids + run->len, tidseq + k)) return false;
    k += run->len;
    if (k == ntidseq) return run->child == nullptr;
    run = run->child;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Output walk
// ---------------------------------------------------------------------------

int ResultWriter::WriteText(std::FILE* file, const int* tidoldid, int tidnum,
                            const int* itemoldid, int itemnum) {
  ownids_.Build(tidoldid, tidnum, itemoldid, itemnum);
  file_ = file;
  const int error = WriteAll(ownids_);
  file_ = nullptr;
  return error;
}

void ResultWriter::FormatText(const IdTexts& ids, const TextBlocks& emit) {
  emit_ = &emit;
  WriteAll(ids);
  emit_ = nullptr;
}

// Writes every line to file_ or emit_. Returns 0, or the errno of the first
// write that failed.
void ResultWriter::HandOver(PairSink& sink) {
  if (tidpath_.empty()) tidpath_.resize(1);
  for (const auto& level : levels_) {
    for (const LaidNode& node : level) {
      if (node.tidroot) TidPathFor(node.tidroot);
    }
  }
  WalkResults([&](const int* tids, int ntids, const int* items, int nitems) {
    sink.Add(tids, ntids, items, nitems);
  });
}

int ResultWriter::WriteTextFrom(std::FILE* file, const IdTexts& ids, const PairSource& next) {
  file_ = file;
  writeerror_ = 0;
  outused_ = 0;
  lines_ = 0;
  ReserveOutput(kOutBlock);
  PrepareWalk(ids);
  const int *tids, *items;
  int ntids, nitems;
  while (next(&tids, &ntids, &items, &nitems)) {
    lines_++;
    WriteLine(tids, ntids, items, nitems);
  }
  if (!writeerror_) FlushOutput(0);
  file_ = nullptr;
  return writeerror_;
}

int ResultWriter::WriteAll(const IdTexts& ids) {
  writeerror_ = 0;
  outused_ = 0;
  ReserveOutput(emit_ ? kTextBlock : kOutBlock);
  PrepareWalk(ids);
  WalkResults([this](const int* tids, int ntids, const int* items, int nitems) {
    WriteLine(tids, ntids, items, nitems);
  });
  if (!writeerror_) FlushOutput(0);
  return writeerror_;
}

namespace {

// Sets `out` to the old ids of list[0 .. n) in ascending order, through the
// ranks of `ids`, which order them as the text does.
void OldIdsAscending(const int* list, int n, const IdText& ids, const int* oldid,
                     std::vector<int>& out) {
  out.resize(n);
  for (int i = 0; i < n; i++) {
    assert(static_cast<size_t>(list[i]) < ids.slots.size());
    out[i] = ids.Rank(list[i]);
  }
  std::sort(out.begin(), out.end());
  for (int& id : out) id = oldid[ids.byrank[id]];
}

}  // namespace

void ResultWriter::Deliver(PairSink& sink, const int* tidoldid, int tidnum,
                           const int* itemoldid, int itemnum) {
  ownids_.Build(tidoldid, tidnum, itemoldid, itemnum);
  Deliver(sink, ownids_, tidoldid, itemoldid);
}

void ResultWriter::Deliver(PairSink& sink, const IdTexts& ids, const int* tidoldid,
                           const int* itemoldid) {
  PrepareWalk(ids);
  std::vector<int> tids, items;
  WalkResults([&](const int* newtids, int ntids, const int* newitems, int nitems) {
    OldIdsAscending(newtids, ntids, ids.tids, tidoldid, tids);
    OldIdsAscending(newitems, nitems, ids.items, itemoldid, items);
    sink.Add(tids.data(), ntids, items.data(), nitems);
  });
}

// Takes the texts of both maps' ids and makes the tidset path long enough:
// a tidset holds distinct tids, one text each.
void ResultWriter::PrepareWalk(const IdTexts& ids) {
  tidtext_ = &ids.tids;
  itemtext_ = &ids.items;
  if (tidpath_.size() < ids.tids.slots.size()) tidpath_.resize(ids.tids.slots.size());
}

// Hands every result with at least two tids to emit(tids, ntids, items,
// nitems), new ids, each list ascending, in the output order, and counts
// them in lines_.
template <typename Emit>
void ResultWriter::WalkResults(Emit emit) {
  lines_ = 0;
  int* itempath = itempath_.data();
  int* tidpath = tidpath_.data();
  WalkItemsets(itempath, [&](const LaidNode& node, int nitems) {
    QueueItemset(node, itempath, nitems, tidpath, emit);
  });
  while (queued_) EmitOldestQueued(tidpath, emit);
}

// The walk reaches itemsets in output order, but their runs and tids lie
// scattered in memory: an itemset with tidsets waits in a queue of kAhead
// entries before it is emitted, its first run fetched when it enters, that
// run's tids when it is halfway through and the texts of the first of them
// at three quarters, so that the loads overlap.
template <typename Emit>
void ResultWriter::QueueItemset(const LaidNode& node, const int* itempath, int nitems,
                                int* tidpath, Emit& emit) {
  if (!node.tidroot) return;
  if (nitems > queuestride_) {
    while (queued_) EmitOldestQueued(tidpath, emit);
    queuestride_ = std::max(nitems, 2 * queuestride_);
    queueitems_.resize(static_cast<size_t>(kAhead) * queuestride_);
  }
  if (queued_ == kAhead) EmitOldestQueued(tidpath, emit);
  __builtin_prefetch(node.tidroot);
  const int at = (queuehead_ + queued_) % kAhead;
  queue_[at] = QueuedItemset{node.tidroot, nitems};
  std::copy(itempath, itempath + nitems, &queueitems_[static_cast<size_t>(at) * queuestride_]);
  queued_++;
  if (queued_ > kAhead / 2) {
    const TidRun* run = queue_[(at + kAhead - kAhead / 2) % kAhead].tidroot;
    const char* first = reinterpret_cast<const char*>(run->tids);
    const size_t bytes = sizeof(int) * static_cast<size_t>(std::min(run->len, kAheadTexts));
    for (size_t offset = 0; offset < bytes; offset += kCacheLine) {
      __builtin_prefetch(first + offset);
    }
    __builtin_prefetch(first + bytes - 1);
  }
  if (tidtext_ && queued_ > 3 * kAhead / 4) {
    const TidRun* run = queue_[(at + kAhead - 3 * kAhead / 4) % kAhead].tidroot;
    for (int i = 0; i < std::min(run->len, kAheadTexts); i++) tidtext_->Prefetch(run->tids[i]);
  }
}

// Emits every stored tidset with at least two tids of the oldest queued
// itemset.
template <typename Emit>
void ResultWriter::EmitOldestQueued(int* tidpath, Emit& emit) {
  const QueuedItemset q = queue_[queuehead_];
  const int* items = &queueitems_[static_cast<size_t>(queuehead_) * queuestride_];
  queuehead_ = (queuehead_ + 1) % kAhead;
  queued_--;
  TidRun* tidroot = q.tidroot;
  WalkTidsets(&tidroot, tidpath, [&](const int* tids, int ntids) {
    if (ntids >= 2) {
      lines_++;
      emit(tids, ntids, items, q.nitems);
    }
    return false;
  });
}

// ---------------------------------------------------------------------------
// Text
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
// collect in outbuffer_, which is written whenever it cannot take the next.
void ResultWriter::WriteLine(const int* tidpath, int ntids, const int* itempath, int nitems) {
  if (writeerror_) return;
  const size_t room = kMaxDigits * (static_cast<size_t>(ntids) + nitems) + 2 + IdText::kSlot;
  if (outsize_ - outused_ < room) FlushOutput(room);
  char* text = outbuffer_.get() + outused_;
  text = AppendSorted(tidpath, ntids, *tidtext_, text);
  *text++ = ';';
  text = AppendSorted(itempath, nitems, *itemtext_, text);
  *text++ = '\n';
  outused_ = static_cast<size_t>(text - outbuffer_.get());
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
char* ResultWriter::AppendSorted(const int* list, int n, const IdText& ids, char* text) {
  if (ranks_.size() < static_cast<size_t>(n)) ranks_.resize(n);
  int low = ids.Rank(list[0]), high = low, ascending = 1;
  for (int i = 0; i < n; i++) {
    assert(static_cast<size_t>(list[i]) < ids.slots.size());
    const int r = ids.Rank(list[i]);
    ranks_[i] = r;
    if (i && r < ranks_[i - 1]) ascending = 0;
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
  std::sort(ranks_.begin(), ranks_.begin() + n);
  for (int i = 0; i < n; i++) text = ids.Append(ids.byrank[ranks_[i]], text);
  return text;
}

// Appends the old ids of list[0 .. n), n <= kShortList, whose ranks are in
// ranks_[0 .. n): the place of each id is the number of ranks below its own.
char* ResultWriter::AppendCounted(const int* list, int n, const IdText& ids, char* text) {
  int order[kShortList];
  Int4 padded[kShortList / 4];
  const int blocks = (n + 3) / 4;
  padded[blocks - 1] = Int4{INT_MAX, INT_MAX, INT_MAX, INT_MAX};
  memcpy(padded, ranks_.data(), sizeof(int) * static_cast<size_t>(n));
  for (int i = 0; i < n; i++) order[RanksBelow(padded, blocks, ranks_[i])] = list[i];
  for (int i = 0; i < n; i++) text = ids.Append(order[i], text);
  return text;
}

// Appends the old ids of ranks_[0 .. n), which lie in the `words` * 64 ranks
// from low, ascending, through a bitmap of that range.
char* ResultWriter::AppendFromBits(const IdText& ids, int low, int words, int n, char* text) {
  if (bits_.size() < static_cast<size_t>(words)) bits_.resize(words, 0);
  for (int i = 0; i < n; i++) {
    const int b = ranks_[i] - low;
    bits_[b / 64] |= uint64_t{1} << (b % 64);
  }
  for (int w = 0; w < words; w++) {
    for (uint64_t word = bits_[w]; word; word &= word - 1) {
      const int rank = low + 64 * w + __builtin_ctzll(word);
      text = ids.Append(ids.byrank[rank], text);
    }
    bits_[w] = 0;
  }
  return text;
}

// Writes the buffered lines and makes room for `room` bytes. After a failed
// write nothing more is written.
void ResultWriter::FlushOutput(size_t room) {
  if (emit_) {
    if (outused_) (*emit_)(outbuffer_.get(), outused_);
  } else if (outused_ && fwrite(outbuffer_.get(), 1, outused_, file_) != outused_) {
    writeerror_ = errno ? errno : EIO;
  }
  outused_ = 0;
  ReserveOutput(room);
}

// The buffer is not cleared, so only the part that lines reach is touched.
void ResultWriter::ReserveOutput(size_t size) {
  if (outsize_ >= size) return;
  outbuffer_.reset(new char[size]);
  outsize_ = size;
}

}  // namespace quasibiclique

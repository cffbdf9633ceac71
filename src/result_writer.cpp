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
// Bytes per block FormatPart hands on: formatters on several threads each
// fill one, and the run holds a copy of those not yet written.
constexpr size_t kTextBlock = size_t{1} << 20;
constexpr size_t kCacheLine = 64;
constexpr int kAheadTexts = 32;  // tid texts fetched ahead per itemset

}  // namespace

ResultWriter::ResultWriter(ResultStore& store, bool undirected)
    : runs_(std::move(store.runs_)), tidstore_(std::move(store.tidstore_)) {
  LayOutTrie(store);
  walk_.itempath.resize(levels_.size());
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
// Parts of the walk
// ---------------------------------------------------------------------------

// The nodes of [first, end) of `level` and of every level below them: the
// children of consecutive nodes are consecutive, so each level below holds
// one range of them.
size_t ResultWriter::NodesBelow(int level, int first, int end) const {
  size_t nodes = 0;
  for (size_t k = static_cast<size_t>(level); first < end; k++) {
    nodes += static_cast<size_t>(end - first);
    if (k + 1 >= levels_.size()) break;
    const int below = levels_[k][first].firstchild;
    end = ChildrenOf(k, static_cast<size_t>(end - 1)).second;
    first = below;
  }
  return nodes;
}

// The largest end' in [first, end] such that the nodes of [first, end') of
// `level`, with all below them, number at most `nodes`.
int ResultWriter::LargestRange(int level, int first, int end, size_t nodes) const {
  int low = first, high = end;  // NodesBelow(low) <= nodes; above high too many or out
  while (low < high) {
    const int mid = low + (high - low + 1) / 2;
    if (NodesBelow(level, first, mid) <= nodes) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return low;
}

size_t ResultWriter::nodes() const {
  size_t n = 0;
  for (const auto& level : levels_) n += level.size();
  return n;
}

std::vector<ResultWriter::WalkPart> ResultWriter::CutWalk(size_t nodes) const {
  std::vector<WalkPart> parts;
  if (levels_.empty()) return parts;
  std::vector<int> prefix;
  CutRange(0, 0, static_cast<int>(levels_[0].size()), prefix, std::max<size_t>(nodes, 1),
           parts);
  return parts;
}

// Appends the parts of the walk of nodes [first, end) of `level`, whose
// items above are prefix: ranges of consecutive nodes as long as they fit,
// and a node too large for a part cut further, its own itemset a part before
// those below it at the top level and after them below the top.
void ResultWriter::CutRange(int level, int first, int end, std::vector<int>& prefix,
                            size_t nodes, std::vector<WalkPart>& parts) const {
  for (int i = first; i < end;) {
    const int fits = LargestRange(level, i, end, nodes);
    if (fits > i) {
      parts.push_back(WalkPart{prefix, level, i, fits, false});
      i = fits;
      continue;
    }
    // Node i and those below it are more than a part: it has children.
    const auto [below, belowend] = ChildrenOf(static_cast<size_t>(level), static_cast<size_t>(i));
    const WalkPart own{prefix, level, i, i + 1, true};
    if (level == 0) parts.push_back(own);
    prefix.push_back(levels_[level][i].item);
    CutRange(level + 1, below, belowend, prefix, nodes, parts);
    prefix.pop_back();
    if (level > 0) parts.push_back(own);
    i++;
  }
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
  if (!levels_.empty()) WalkTop(0, static_cast<int>(levels_[0].size()), itempath, visit);
}

// Visits top-level nodes [first, end), each before all below it.
template <typename Visit>
void ResultWriter::WalkTop(int first, int end, int* itempath, Visit& visit) {
  for (int i = first; i < end; i++) {
    itempath[0] = levels_[0][i].item;
    visit(levels_[0][i], 1);
    const auto [below, belowend] = ChildrenOf(0, i);
    if (below < belowend) WalkLevel(1, below, belowend, itempath, visit);
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

// Visits the nodes of one part of the walk, as the whole walk visits them.
template <typename Visit>
void ResultWriter::WalkPartItemsets(const WalkPart& part, int* itempath, Visit& visit) {
  std::copy(part.prefix.begin(), part.prefix.end(), itempath);
  if (part.own) {
    LaidNode& node = levels_[part.level][part.first];
    itempath[part.level] = node.item;
    visit(node, part.level + 1);
  } else if (part.level == 0) {
    WalkTop(part.first, part.end, itempath, visit);
  } else {
    WalkLevel(part.level, part.first, part.end, itempath, visit);
  }
}

// Visits every stored tidset of the tree held by `root` in ascending
// lexicographic order: visit(tids, ntids) sees the tidset in tids[0 ..
// ntids) (the run's own array when the tidset is one run, else tidpath) and
// returns true to remove it. A run whose tidsets are all removed goes too.
// The walk keeps the slots of the path in w.slots instead of recursing.
template <typename Visit>
void ResultWriter::WalkTidsets(TidRun** root, OutputWalk& w, Visit visit) {
  int* tidpath = w.tidpath.data();
  w.slots.clear();
  for (TidRun** slot = root;;) {
    if (TidRun* run = *slot) {
      assert(static_cast<size_t>(run->depth + run->len) <= w.tidpath.size());
      const int* tids = run->tids;
      if (run->depth || run->child) {
        std::copy(run->tids, run->tids + run->len, tidpath + run->depth);
        tids = tidpath;
      }
      if (run->child) {
        w.slots.push_back(slot);
        slot = &run->child;
      } else if (visit(tids, run->depth + run->len)) {
        *slot = run->next;
        runs_.Give(run);
      } else {
        slot = &run->next;
      }
      continue;
    }
    if (w.slots.empty()) return;
    slot = w.slots.back();
    w.slots.pop_back();
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
  int* itempath = walk_.itempath.data();
  WalkItemsets(itempath, [&](LaidNode& node, int nitems) {
    PruneItemset(node, itempath, nitems, drop);
  });
}

// Removes every tidset of node (itemset itempath[0 .. nitems)) that drop
// names.
void ResultWriter::PruneItemset(LaidNode& node, int* itempath, int nitems, const Drop& drop) {
  if (!node.tidroot) return;
  MakeTidPathFor(node.tidroot);
  WalkTidsets(&node.tidroot, walk_, [&](const int* tids, int ntids) {
    return ntids >= 2 && drop(tids, ntids, itempath, nitems);
  });
}

// Makes the writer's tidset path long enough for the tree whose top level
// starts at run: a top-level run's maxlen bounds every tidset stored
// through it.
void ResultWriter::MakeTidPathFor(const TidRun* run) {
  int longest = 0;
  for (; run; run = run->next) longest = std::max(longest, run->maxlen);
  if (walk_.tidpath.size() < static_cast<size_t>(longest)) walk_.tidpath.resize(longest);
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
  PrepareWalk(walk_, ownids_);
  walk_.text.Start(file, ownids_, kOutBlock);
  WalkLines(walk_, nullptr);
  lines_ = walk_.lines;
  return walk_.text.Finish();
}

int ResultWriter::FormatPart(const WalkPart& part, OutputWalk& walk, const IdTexts& ids,
                             const TextBlocks& emit) {
  PrepareWalk(walk, ids);
  walk.text.Start(emit, ids, kTextBlock);
  WalkLines(walk, &part);
  walk.text.Finish();
  return walk.lines;
}

// Hands every line of the walk (or of one part of it) to w's text.
void ResultWriter::WalkLines(OutputWalk& w, const WalkPart* part) {
  WalkResults(w, part, [&w](const int* tids, int ntids, const int* items, int nitems) {
    w.text.Write(tids, ntids, items, nitems);
  });
}

void ResultWriter::HandOver(PairSink& sink) {
  if (walk_.tidpath.empty()) walk_.tidpath.resize(1);
  for (const auto& level : levels_) {
    for (const LaidNode& node : level) {
      if (node.tidroot) MakeTidPathFor(node.tidroot);
    }
  }
  WalkResults(walk_, nullptr, [&](const int* tids, int ntids, const int* items, int nitems) {
    sink.Add(tids, ntids, items, nitems);
  });
  lines_ = walk_.lines;
}

int ResultWriter::WriteTextFrom(std::FILE* file, const IdTexts& ids, const PairSource& next) {
  lines_ = 0;
  walk_.text.Start(file, ids, kOutBlock);
  const int *tids, *items;
  int ntids, nitems;
  while (next(&tids, &ntids, &items, &nitems)) {
    lines_++;
    walk_.text.Write(tids, ntids, items, nitems);
  }
  return walk_.text.Finish();
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
  PrepareWalk(walk_, ids);
  std::vector<int> tids, items;
  WalkResults(walk_, nullptr, [&](const int* newtids, int ntids, const int* newitems,
                                  int nitems) {
    OldIdsAscending(newtids, ntids, ids.tids, tidoldid, tids);
    OldIdsAscending(newitems, nitems, ids.items, itemoldid, items);
    sink.Add(tids.data(), ntids, items.data(), nitems);
  });
  lines_ = walk_.lines;
}

// Takes the texts of the tids and makes w's paths long enough: a tidset
// holds distinct tids, an itemset one item per level.
void ResultWriter::PrepareWalk(OutputWalk& w, const IdTexts& ids) {
  w.tidtext = &ids.tids;
  if (w.tidpath.size() < ids.tids.slots.size()) w.tidpath.resize(ids.tids.slots.size());
  if (w.itempath.size() < levels_.size()) w.itempath.resize(levels_.size());
}

// Hands every result with at least two tids of the walk (or of one part of
// it) to emit(tids, ntids, items, nitems), new ids, each list ascending, in
// the output order, and counts them in w.lines.
template <typename Emit>
void ResultWriter::WalkResults(OutputWalk& w, const WalkPart* part, Emit emit) {
  w.lines = 0;
  auto queue = [&](const LaidNode& node, int nitems) { QueueItemset(w, node, nitems, emit); };
  if (part) {
    WalkPartItemsets(*part, w.itempath.data(), queue);
  } else {
    WalkItemsets(w.itempath.data(), queue);
  }
  while (w.queued) EmitOldestQueued(w, emit);
}

// The walk reaches itemsets in output order, but their runs and tids lie
// scattered in memory: an itemset with tidsets waits in a queue of kAhead
// entries before it is emitted, its first run fetched when it enters, that
// run's tids when it is halfway through and the texts of the first of them
// at three quarters, so that the loads overlap.
template <typename Emit>
void ResultWriter::QueueItemset(OutputWalk& w, const LaidNode& node, int nitems, Emit& emit) {
  constexpr int kAhead = OutputWalk::kAhead;
  if (!node.tidroot) return;
  if (nitems > w.queuestride) {
    while (w.queued) EmitOldestQueued(w, emit);
    w.queuestride = std::max(nitems, 2 * w.queuestride);
    w.queueitems.resize(static_cast<size_t>(kAhead) * w.queuestride);
  }
  if (w.queued == kAhead) EmitOldestQueued(w, emit);
  __builtin_prefetch(node.tidroot);
  const int at = (w.queuehead + w.queued) % kAhead;
  w.queue[at] = OutputWalk::QueuedItemset{node.tidroot, nitems};
  std::copy(w.itempath.data(), w.itempath.data() + nitems,
            &w.queueitems[static_cast<size_t>(at) * w.queuestride]);
  w.queued++;
  if (w.queued > kAhead / 2) {
    const TidRun* run = w.queue[(at + kAhead - kAhead / 2) % kAhead].tidroot;
    const char* first = reinterpret_cast<const char*>(run->tids);
    const size_t bytes = sizeof(int) * static_cast<size_t>(std::min(run->len, kAheadTexts));
    for (size_t offset = 0; offset < bytes; offset += kCacheLine) {
      __builtin_prefetch(first + offset);
    }
    __builtin_prefetch(first + bytes - 1);
  }
  if (w.tidtext && w.queued > 3 * kAhead / 4) {
    const TidRun* run = w.queue[(at + kAhead - 3 * kAhead / 4) % kAhead].tidroot;
    for (int i = 0; i < std::min(run->len, kAheadTexts); i++) w.tidtext->Prefetch(run->tids[i]);
  }
}

// Emits every stored tidset with at least two tids of the oldest queued
// itemset.
template <typename Emit>
void ResultWriter::EmitOldestQueued(OutputWalk& w, Emit& emit) {
  const OutputWalk::QueuedItemset q = w.queue[w.queuehead];
  const int* items = &w.queueitems[static_cast<size_t>(w.queuehead) * w.queuestride];
  w.queuehead = (w.queuehead + 1) % OutputWalk::kAhead;
  w.queued--;
  TidRun* tidroot = q.tidroot;
  WalkTidsets(&tidroot, w, [&](const int* tids, int ntids) {
    if (ntids >= 2) {
      w.lines++;
      emit(tids, ntids, items, q.nitems);
    }
    return false;
  });
}

}  // namespace quasibiclique

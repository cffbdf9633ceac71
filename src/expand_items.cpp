// Item side of the search: for a conditional database, classify its items
// (closure, prefix and extension items), enumerate the item sets drawn from
// the closure (and prefix) items, check each candidate pair, hand the results
// to the tree, and hand each extension item to the transaction side.
//
// The top level is the sub level without marked items: no prefix list, and
// extension items start above the start item. Graph type 1 differs in that an
// item which is itself a vertex of the cdb's tidset never enters the closure
// and never rejects the tidset.
#include <algorithm>

#include "arena_scope.h"
#include "tolerance_walk.h"
#include "sets.h"

namespace quasibiclique {

// The item side of one cdb: its items sorted into lists, and the state the
// item-set enumeration below it shares. The lists are blocks of
// EnumerateItemsets, itemnum ints each.
struct ToleranceWalk::ItemLevel {
  ItemLevel(const Cdb& c, int* mark, int start, Level l)
      : cdb(c), itemmark(mark), x(start), level(l) {}

  // Combined positions: closure items first, then prefix items.
  int Combined() const { return closurenum + prefixnum; }
  int ItemAt(int index) const {
    return index < closurenum ? closurelist[index] : prefixlist[index - closurenum];
  }

  const Cdb& cdb;
  int* itemmark;  // itemnum ints handed down; null at the top level
  int x;          // the start or extension item of the cdb
  Level level;
  int* closurelist = nullptr;  // unmarked items that may join, ascending
  int closurenum = 0;
  int* prefixlist = nullptr;   // marked items, ascending
  int prefixnum = 0;
  int* taillist = nullptr;     // graph type 1: extension items, ascending
  int tailnum = 0;
  int total = 0;               // items that may still join an item set
  int* itembuf = nullptr;      // the current node's item set, in the order added
  bool dropped = false;        // set once any node of the start loop lost a tid
};

// A node of the item-set enumeration: its item set is itembuf[0..depth) of
// its level.
struct ToleranceWalk::ItemNode {
  int* tids;           // the item set's tidset, ascending, ntids of them
  int ntids;
  const int* tidhits;  // tidnum ints, valid at tids: items of the item set each holds
  int depth;
};

// What a visited node tells its parent.
struct ToleranceWalk::NodeFlags {
  bool lossless;   // adding the node's item cost no tid
  bool fullchain;  // every later item joins without loss; passed through
                   // unchanged from the caller when the node has no child
                   // and is not itself the last item
};

// The state the children of one node share while they are visited.
struct ToleranceWalk::Siblings {
  bool chain = false;     // fullchain as the last child left it
  bool extended = false;  // some child was lossless: the parent is not closed
  bool visited = false;   // some child ran without ending a full chain
};

// The item side of one cdb: classifies its items, visits the item sets drawn
// from the closure and prefix items, then hands on the extension items.
void ToleranceWalk::EnumerateItemsets(const Cdb& cdb, int* itemmark, int x, Level level) {
  ArenaScope scope(arena);
  ItemLevel lv(cdb, itemmark, x, level);
  lv.closurelist = scope.Take(itemnum);
  lv.itembuf = scope.Take(itemnum);
  int* roothits = scope.Take(tidnum);
  lv.prefixlist = scope.Take(itemnum);
  if (undirected) lv.taillist = scope.Take(itemnum);
  // Only the entries of the cdb's tids are ever read.
  for (int i = 0; i < cdb.tidnum; i++) roothits[cdb.tids[i]] = 0;
  if (!ClassifyItems(lv)) return;
  if (lv.closurenum > 0 && static_cast<long long>(lv.Combined()) >= item_supportLevel)
    VisitStarts(lv, {cdb.tids, cdb.tidnum, roothits, 0});
  ExtendItemsets(lv);
}

// Visits the item sets that start at each closure item in turn.
void ToleranceWalk::VisitStarts(ItemLevel& lv, const ItemNode& root) {
  bool chain = false, chainseen = false;
  for (int k = 0; k < lv.closurenum &&
                  static_cast<long long>(lv.Combined()) - k >= item_supportLevel;
       k++) {
    NodeFlags flags = VisitItemset(lv, root, k, chain);
    chain = flags.fullchain;
    if (!chainseen && chain) {
      // Every closure item from k on joins without losing a tid: the later
      // starts can only find subsets of what this one found.
      if (flags.lossless) break;
      chainseen = true;
    }
  }
}

// Sorts the cdb's items into closure items (unmarked, from x on, passing the
// item test, fully tolerated), prefix items (marked: all below x, the fully
// tolerated ones from x on) and, for graph type 1, extension items (taillist).
// total counts the items that may still join an item set. Returns false when an
// unmarked item below x is fully tolerated: the tidset then belongs to an
// earlier item.
bool ToleranceWalk::ClassifyItems(ItemLevel& lv) const {
  const int a = lv.cdb.tidnum;
  // Items are asked in ascending order.
  AscendingCursor tidcursor({lv.cdb.tids, a});
  auto isTid = [&](int v) { return undirected && tidcursor.Holds(v); };
  auto count = [&](int v) { return lv.cdb.item[v][0]; };
  auto marked = [&](int v) { return lv.itemmark && lv.itemmark[v]; };
  for (int i = 0; i < lv.x; i++) {
    if (marked(i)) {
      lv.prefixlist[lv.prefixnum++] = i;
      lv.total++;
    } else if (FullyTolerated(a, count(i)) && !isTid(i)) {
      return false;
    }
  }
  for (int i = lv.x; i < itemnum; i++) {
    bool tolerated = FullyTolerated(a, count(i));
    if (marked(i)) {
      if (tolerated) lv.prefixlist[lv.prefixnum++] = i;
      lv.total++;
      continue;
    }
    if (!PassesItemTest(count(i))) continue;
    lv.total++;
    if (!undirected) {
      if (tolerated) lv.closurelist[lv.closurenum++] = i;
    } else if (!tolerated || isTid(i)) {
      lv.taillist[lv.tailnum++] = i;
    } else {
      lv.closurelist[lv.closurenum++] = i;
    }
  }
  if (undirected) lv.total = lv.Combined() + lv.tailnum;
  return true;
}

// Hands each extension item to the transaction side while the items that may
// still join reach item_supportLevel. A tidset of exactly
// transaction_supportLevel tids is not extended: narrowing would lose a tid.
void ToleranceWalk::ExtendItemsets(const ItemLevel& lv) {
  if (lv.cdb.tidnum <= transaction_supportLevel) return;
  ArenaScope scope(arena);
  int* nextmark = scope.Take(itemnum);
  std::fill(nextmark, nextmark + itemnum, 0);
  for (int i = 0; i < lv.closurenum; i++) nextmark[lv.closurelist[i]] = 1;
  for (int i = 0; i < lv.prefixnum; i++) nextmark[lv.prefixlist[i]] = 1;
  int total = lv.total;
  auto extend = [&](int y) {
    if (total < item_supportLevel) return false;
    Enumeratecdb_sub(lv.cdb, y, nextmark);
    total--;
    return true;
  };
  if (undirected) {
    for (int i = 0; i < lv.tailnum; i++) {
      // Below the top level the extension item itself may reappear here;
      // handing it on again would re-enter the same cdb forever.
      if (lv.level != kTop && lv.taillist[i] == lv.x) continue;
      if (!extend(lv.taillist[i])) break;
    }
  } else {
    for (int y = lv.x + 1; y < itemnum; y++) {
      if (!PassesItemTest(lv.cdb.item[y][0]) || nextmark[y]) continue;
      if (!extend(y)) break;
    }
  }
}

// One node of the item-set enumeration: adds the item at combined position
// index to the parent's item set. chain is the fullchain state the previous
// sibling left.
ToleranceWalk::NodeFlags ToleranceWalk::VisitItemset(ItemLevel& lv, const ItemNode& parent,
                                                     int index, bool chain) {
  ThrowIfStopped();
  ArenaScope scope(arena);
  const int x = lv.ItemAt(index);
  int* hits = scope.Take(tidnum);
  int* tids = scope.Take(parent.ntids);
  const int ntids = KeepTids(parent, Counted(lv.cdb.item[x]), hits, tids);
  if (ntids < transaction_supportLevel) return {false, false};
  const ItemNode node{tids, ntids, hits, parent.depth + 1};
  NodeFlags flags{node.ntids == parent.ntids, chain};
  if (!flags.lossless) lv.dropped = true;
  else if (index + 1 == lv.Combined()) flags.fullchain = true;
  lv.itembuf[node.depth - 1] = x;
  Notify(kEventVisit, lv.itembuf, node.depth);

  // Children: later closure items, then (when no closure child stopped the
  // loop at once) the prefix items; below a prefix item only later prefix
  // items. A lossless child whose own chain is full stops the loop: the later
  // siblings can only give subsets.
  Siblings kids;
  const int firstend = index + 1 < lv.closurenum ? lv.closurenum : lv.Combined();
  const bool stopped = VisitChildren(lv, node, index + 1, firstend, kids);
  if (kids.visited) VisitChildren(lv, node, firstend, lv.Combined(), kids);
  if (stopped) flags.fullchain = true;
  if (kids.visited) flags.fullchain = false;

  if (!kids.extended && node.depth >= item_supportLevel &&
      (!lv.dropped || CheckHiddenItems(lv, node))) {
    ReportIfClosed(lv, node);
  }
  return flags;
}

// Adds the item held by holders to the parent's item set: sets hits (the
// child's tidhits) at the parent's tids and writes those of them that lack
// at most transactionTolerance items of the child's item set to kept.
// Returns their number. Plain locals keep the loop free of reloads.
inline int ToleranceWalk::KeepTids(const ItemNode& parent, ListView holders, int* hits,
                                   int* kept) const {
  const int* parenttids = parent.tids;
  const int* parenthits = parent.tidhits;
  const int n = parent.ntids;
  const int depth = parent.depth + 1;
  const int tolerance = transactionTolerance;
  AscendingCursor held(holders);
  int remaining = 0;
  for (int i = 0; i < n; i++) {
    int t = parenttids[i];
    hits[t] = parenthits[t] + held.Holds(t);
    if (depth - hits[t] <= tolerance) kept[remaining++] = t;
  }
  return remaining;
}

// Visits the children of node at combined positions [from, to) while enough
// items remain. Returns true when a lossless child ended a full chain.
inline bool ToleranceWalk::VisitChildren(ItemLevel& lv, const ItemNode& node, int from, int to,
                                  Siblings& kids) {
  const long long reach = static_cast<long long>(lv.Combined()) + node.depth;
  for (int j = from; j < to && reach - j >= item_supportLevel; j++) {
    NodeFlags child = VisitItemset(lv, node, j, kids.chain);
    kids.chain = child.fullchain;
    kids.extended |= child.lossless;
    if (child.lossless && kids.chain) return true;
    kids.visited = true;
  }
  return false;
}

// Hands (tids, item set) to the tree when no left-out closure or prefix item
// and no outside transaction can join it. The item set is in the order the
// items were added; the tree and the checks get it sorted.
void ToleranceWalk::ReportIfClosed(const ItemLevel& lv, const ItemNode& node) {
  ArenaScope scope(arena);
  int* items = lv.itembuf;
  if (lv.prefixnum > 0) {
    items = scope.Take(node.depth);
    std::copy(lv.itembuf, lv.itembuf + node.depth, items);
    std::sort(items, items + node.depth);
  }
  if (CheckPrefixPreservingSub(lv, node, items) &&
      CheckSet(node.tids, node.ntids, items, node.depth)) {
    Notify(kEventReport, items, node.depth);
    sink.Add(node.tids, node.ntids, items, node.depth);
  }
}

// Returns how many tids of the node lack x, or -1 when adding x would cost a
// tid: one that lacks x would then lack more than transactionTolerance items.
// Inline with plain locals: the hidden-item scan calls it for most items.
inline int ToleranceWalk::MissingIfAdded(const ItemLevel& lv, const ItemNode& node,
                                         int x) const {
  AscendingCursor holders(Counted(lv.cdb.item[x]));
  const int* tids = node.tids;
  const int* tidhits = node.tidhits;
  const int n = node.ntids;
  const int depth = node.depth + 1;
  const int tolerance = transactionTolerance;
  int missing = 0;
  for (int i = 0; i < n; i++) {
    int t = tids[i];
    if (holders.Holds(t)) continue;
    if (depth - tidhits[t] > tolerance) return -1;
    missing++;
  }
  return missing;
}

// True when no item outside the closure and prefix lists (and, for graph
// type 1, outside the tidset's own vertices) can join the item set without
// costing a tid; false when such a hidden item exists.
bool ToleranceWalk::CheckHiddenItems(const ItemLevel& lv, const ItemNode& node) const {
  // Items are asked in ascending order.
  AscendingCursor intids({node.tids, node.ntids});
  AscendingCursor inclosure({lv.closurelist, lv.closurenum});
  AscendingCursor inprefix({lv.prefixlist, lv.prefixnum});
  for (int k = 0; k < itemnum; k++) {
    bool skip = undirected && intids.Holds(k);
    skip |= inclosure.Holds(k);
    skip |= inprefix.Holds(k);
    const int size = lv.cdb.item[k][0];
    if (skip || size == 0 || node.ntids - size > itemTolerance) continue;
    const int missing = MissingIfAdded(lv, node, k);
    if (missing >= 0 && missing <= itemTolerance) return false;
  }
  return true;
}

// True when no item of the closure or prefix list left out of the item
// set (items, ascending) can join it without costing a tid.
bool ToleranceWalk::CheckPrefixPreservingSub(const ItemLevel& lv, const ItemNode& node,
                                            const int* items) const {
  auto leftOutAbsorbable = [&](ListView list) {
    AscendingCursor initems({items, node.depth});
    for (int i = 0; i < list.n; i++) {
      if (initems.Holds(list.at[i])) continue;
      if (MissingIfAdded(lv, node, list.at[i]) >= 0) return true;
    }
    return false;
  };
  return !leftOutAbsorbable({lv.closurelist, lv.closurenum}) &&
         !leftOutAbsorbable({lv.prefixlist, lv.prefixnum});
}

// True when no transaction of the loaded database outside tids can join
// the pair within both tolerances. Only transactions holding an item of the
// item set are candidates; with graph type 1 the item set's own vertices are
// not. A transaction that can join lacks at most transactionTolerance items of
// the item set, so it holds one of any transactionTolerance + 1 of them: the
// candidates are gathered from the shortest such lists (new item ids ascend
// with support). outsidemark is all zero on entry and on return.
bool ToleranceWalk::CheckSet(const int* tids, int ntids, const int* items, int depth) {
  ArenaScope scope(arena);
  int* itemhits = scope.Take(depth);
  int* outside = scope.Take(tidnum);
  std::fill(itemhits, itemhits + depth, 0);
  for (int i = 0; i < ntids; i++) {
    AscendingCursor held(Counted(tranlist[tids[i]]));
    for (int d = 0; d < depth && !held.Exhausted(); d++) itemhits[d] += held.Holds(items[d]);
  }
  const int scanned = static_cast<int>(std::min<long long>(depth, transactionTolerance + 1LL));
  int noutside = 0;
  for (int d = 0; d < scanned; d++) {
    const ListView holders = Counted(itemlist[items[d]]);
    AscendingCursor inside({tids, ntids});
    for (int s = 0; s < holders.n; s++) {
      int t = holders.at[s];
      if (inside.Holds(t) || outsidemark[t]) continue;
      if (undirected && std::binary_search(items, items + depth, t)) continue;
      outsidemark[t] = 1;
      outside[noutside++] = t;
    }
  }
  bool closed = true;
  for (int i = 0; i < noutside && closed; i++) {
    AscendingCursor held(Counted(tranlist[outside[i]]));
    int lacked = 0;
    bool joins = true;
    for (int d = 0; d < depth && joins; d++) {
      if (held.Holds(items[d])) continue;
      joins = ntids + 1 - itemhits[d] <= itemTolerance && ++lacked <= transactionTolerance;
    }
    if (joins) closed = false;
  }
  for (int i = 0; i < noutside; i++) outsidemark[outside[i]] = 0;
  return closed;
}

}  // namespace quasibiclique

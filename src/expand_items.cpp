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
#include <cstring>

#include "expand.h"

void Transactiondb::StartEnumerate_Itemset(const Cdb& cdb, int h) {
  EnumerateItemsets(cdb, nullptr, h, kTop);
}

// Returns 0 when the tidset is rejected, else 1.
int Transactiondb::StartEnumerate_Itemset_sub(const Cdb& cdb, int* itemmark, int x) {
  return EnumerateItemsets(cdb, itemmark, x, kSub);
}

int Transactiondb::EnumerateItemsets(const Cdb& cdb, int* itemmark, int x, Level level) {
  ArenaCheck check;
  const bool undirected = graphtype == 1;
  long long taken = 3LL * itemnum + tidnum;
  int* closurelist = ArenaTake(itemnum);
  int* itembuf = ArenaTake(itemnum);
  int* tidhits = ArenaTake(tidnum);
  int* prefixlist = ArenaTake(itemnum);
  int* taillist = nullptr;
  if (undirected) {
    taillist = ArenaTake(itemnum);
    taken += itemnum;
  }
  // Only the entries of the cdb's tids are ever read.
  for (int i = 0; i < cdb.tidnum; i++) tidhits[cdb.tids[i]] = 0;
  int closurenum = 0, prefixnum = 0, tailnum = 0, total = 0;
  int accepted = ClassifyItems(cdb, itemmark, x, level, closurelist, closurenum, prefixlist,
                               prefixnum, taillist, tailnum, total);
  if (accepted) {
    if (closurenum > 0 && static_cast<long long>(closurenum) + prefixnum >= item_supportLevel) {
      int dropped = 0, extended = 0, fullchain = 0, chainseen = 0;
      for (int k = 0; k < closurenum &&
                      static_cast<long long>(closurenum) + prefixnum - k >= item_supportLevel;
           k++) {
        int lossless = ItemsetClosureNoSizeRestraintSub(
            dropped, prefixlist, prefixnum, cdb.tidnum, tidhits, closurelist, closurenum, k,
            cdb.item, cdb.tids, 1, itembuf, extended, fullchain);
        if (!chainseen && fullchain) {
          // Every closure item from k on joins without losing a tid: the
          // later starts can only find subsets of what this one found.
          if (lossless) break;
          chainseen = 1;
        }
      }
    }
    ExtendItemsets(cdb, closurelist, closurenum, prefixlist, prefixnum, taillist, tailnum, x,
                   level, total);
  }
  ArenaRelease(taken);
  return accepted;
}

// Sorts the cdb's items into closure items (unmarked, from x on, passing the
// item test, fully tolerated), prefix items (marked: all below x, the fully
// tolerated ones from x on) and, for graph type 1, extension items (taillist).
// total counts the items that may still join an item set. Returns 0 when an
// unmarked item below x is fully tolerated: the tidset then belongs to an
// earlier item.
int Transactiondb::ClassifyItems(const Cdb& cdb, int* itemmark, int x, Level,
                                 int* closurelist, int& closurenum, int* prefixlist,
                                 int& prefixnum, int* taillist, int& tailnum, int& total) {
  const bool undirected = graphtype == 1;
  const int a = cdb.tidnum;
  int cursor = 0;
  auto isTid = [&](int v) {
    while (cursor < a && cdb.tids[cursor] < v) cursor++;
    return cursor < a && cdb.tids[cursor] == v;
  };
  auto count = [&](int v) { return cdb.item[v][0]; };
  for (int i = 0; i < x; i++) {
    if (itemmark && itemmark[i]) {
      prefixlist[prefixnum++] = i;
      total++;
    } else if (FullyTolerated(a, count(i)) && !(undirected && isTid(i))) {
      return 0;
    }
  }
  for (int i = x; i < itemnum; i++) {
    bool tolerated = FullyTolerated(a, count(i));
    if (itemmark && itemmark[i]) {
      if (tolerated) prefixlist[prefixnum++] = i;
      total++;
      continue;
    }
    if (!PassesItemTest(count(i))) continue;
    total++;
    if (!undirected) {
      if (tolerated) closurelist[closurenum++] = i;
    } else if (!tolerated || isTid(i)) {
      taillist[tailnum++] = i;
    } else {
      closurelist[closurenum++] = i;
    }
  }
  if (undirected) total = closurenum + prefixnum + tailnum;
  return 1;
}

// Hands each extension item to the transaction side while the items that may
// still join reach item_supportLevel. A tidset of exactly
// transaction_supportLevel tids is not extended: narrowing would lose a tid.
void Transactiondb::ExtendItemsets(const Cdb& cdb, int* closurelist, int closurenum,
                                   int* prefixlist, int prefixnum, int* taillist,
                                   int tailnum, int x, Level level, int total) {
  if (cdb.tidnum <= transaction_supportLevel) return;
  ArenaCheck check;
  int* nextmark = ArenaTake(itemnum);
  std::fill(nextmark, nextmark + itemnum, 0);
  for (int i = 0; i < closurenum; i++) nextmark[closurelist[i]] = 1;
  for (int i = 0; i < prefixnum; i++) nextmark[prefixlist[i]] = 1;
  auto extend = [&](int y) {
    if (total < item_supportLevel) return false;
    Enumeratecdb_sub(cdb.tran, cdb.tidnum, y, cdb.item, cdb.tids, nextmark);
    total--;
    return true;
  };
  if (graphtype == 1) {
    for (int i = 0; i < tailnum; i++) {
      // Below the top level the extension item itself may reappear here;
      // handing it on again would re-enter the same cdb forever.
      if (level != kTop && taillist[i] == x) continue;
      if (!extend(taillist[i])) break;
    }
  } else {
    for (int y = x + 1; y < itemnum; y++) {
      if (!PassesItemTest(cdb.item[y][0]) || nextmark[y]) continue;
      if (!extend(y)) break;
    }
  }
  ArenaRelease(itemnum);
}

// One node of the item-set enumeration: adds the item at combined position
// index (closure items first, then prefix items) to the parent's item set,
// whose tidset is tids[0..count) with hit counts tidhits (valid at those tids).
// Returns 1 when adding the item cost no tid (lossless).
// Out: dropped = 1 once any node of the start loop lost a tid;
//      extended = 1 when this node is lossless (the parent is not closed);
//      fullchain = 1 when every later item joins without loss (see below).
int Transactiondb::ItemsetClosureNoSizeRestraintSub(int& dropped, int* prefixlist,
                                                    int prefixnum, int count, int* tidhits,
                                                    int* closurelist, int closurenum,
                                                    int index, int** cdbitem, int* tids,
                                                    int depth, int* itembuf, int& extended,
                                                    int& fullchain) {
  ArenaCheck check;
  const int combined = closurenum + prefixnum;
  const int x = index < closurenum ? closurelist[index] : prefixlist[index - closurenum];
  int* hits = ArenaTake(tidnum);
  int* nodetids = ArenaTake(count);
  const int* holders = cdbitem[x] + 1;
  const int nholders = cdbitem[x][0];
  int remaining = 0;
  for (int i = 0, p = 0; i < count; i++) {
    int t = tids[i];
    while (p < nholders && holders[p] < t) p++;
    hits[t] = tidhits[t] + (p < nholders && holders[p] == t);
    if (depth - hits[t] <= transactionTolerance) nodetids[remaining++] = t;
  }
  if (remaining < transaction_supportLevel) {
    fullchain = 0;
    ArenaRelease(tidnum + static_cast<long long>(count));
    return 0;
  }
  const int lossless = remaining == count;
  if (!lossless) {
    dropped = 1;
  } else {
    if (index + 1 == combined) fullchain = 1;
    extended = 1;
  }
  itembuf[depth - 1] = x;
  Notify(kEventVisit, itembuf, depth);

  // Children: later closure items, then (when no closure child stopped the
  // loop at once) the prefix items; below a prefix item only later prefix
  // items. A lossless child whose own chain is full stops the loop: the later
  // siblings can only give subsets.
  int childextended = 0, childfullchain = 0;
  auto visit = [&](int from, int to, bool& visited) {
    for (int j = from; j < to && static_cast<long long>(combined) + depth - j >= item_supportLevel;
         j++) {
      int r = ItemsetClosureNoSizeRestraintSub(dropped, prefixlist, prefixnum, remaining, hits,
                                               closurelist, closurenum, j, cdbitem, nodetids,
                                               depth + 1, itembuf, childextended,
                                               childfullchain);
      if (r == 1 && childfullchain != 0) {
        fullchain = 1;
        return;
      }
      visited = true;
    }
  };
  bool visited = false;
  if (index + 1 < closurenum) {
    visit(index + 1, closurenum, visited);
    if (visited) {
      bool ignored = false;
      visit(closurenum, combined, ignored);
      fullchain = 0;
    }
  } else {
    visit(index + 1, combined, visited);
    if (visited) fullchain = 0;
  }

  if (childextended == 0 && depth >= item_supportLevel &&
      (dropped != 1 || CheckHiddenItems(hits, depth, cdbitem, closurelist, closurenum,
                                        prefixlist, prefixnum, remaining, nodetids))) {
    ReportIfClosed(prefixlist, prefixnum, closurelist, closurenum, cdbitem, nodetids,
                   remaining, hits, itembuf, depth);
  }
  ArenaRelease(tidnum + static_cast<long long>(count));
  return lossless;
}

// Hands (tids, item set) to the tree when no left-out closure or prefix item
// and no outside transaction can join it. The item set is itembuf[0..depth)
// in the order the items were added; the tree and the checks get it sorted.
void Transactiondb::ReportIfClosed(int* prefixlist, int prefixnum, int* closurelist,
                                   int closurenum, int** cdbitem, int* tids, int ntids,
                                   int* tidhits, int* itembuf, int depth) {
  ArenaCheck check;
  int* items = itembuf;
  if (prefixnum > 0) {
    items = ArenaTake(depth);
    std::copy(itembuf, itembuf + depth, items);
    std::sort(items, items + depth);
  }
  if (CheckPrefixPreservingSub(prefixlist, prefixnum, tids, ntids, items, depth, tidhits,
                               closurelist, closurenum, cdbitem) &&
      CheckSet(tids, ntids, items, depth)) {
    Notify(kEventReport, items, depth);
    tree.AddSet(tids, ntids, items, depth);
  }
  if (prefixnum > 0) ArenaRelease(depth);
}

// Returns 1 when no item outside the closure and prefix lists (and, for graph
// type 1, outside the tidset's own vertices) can join the item set without
// costing a tid; 0 when such a hidden item exists.
int Transactiondb::CheckHiddenItems(int* tidhits, int depth, int** cdbitem, int* closurelist,
                                    int closurenum, int* otherlist, int othernum, int ntids,
                                    int* tids) {
  int tidcursor = 0, closurecursor = 0, othercursor = 0;
  auto member = [](const int* list, int n, int& cursor, int k) {
    bool found = false;
    while (cursor < n && list[cursor] <= k) found |= list[cursor++] == k;
    return found;
  };
  for (int k = 0; k < itemnum; k++) {
    bool skip = graphtype != 0 && member(tids, ntids, tidcursor, k);
    skip |= member(closurelist, closurenum, closurecursor, k);
    skip |= member(otherlist, othernum, othercursor, k);
    const int size = cdbitem[k][0];
    if (skip || size == 0 || ntids - size > itemTolerance) continue;
    const int* holders = cdbitem[k] + 1;
    int missing = 0;
    bool absorbable = true;
    for (int i = 0, p = 0; i < ntids && absorbable; i++) {
      int t = tids[i];
      while (p < size && holders[p] < t) p++;
      if (p < size && holders[p] == t) continue;
      missing++;
      absorbable = depth - tidhits[t] + 1 <= transactionTolerance;
    }
    if (absorbable && missing <= itemTolerance) return 0;
  }
  return 1;
}

// Returns 1 when x can join the item set without costing a tid of tids.
int Transactiondb::Absorbable(int x, int* tids, int ntids, int depth, int* tidhits,
                              int** cdbitem) const {
  const int* holders = cdbitem[x] + 1;
  const int size = cdbitem[x][0];
  for (int i = 0, p = 0; i < ntids; i++) {
    int t = tids[i];
    while (p < size && holders[p] < t) p++;
    if (p < size && holders[p] == t) continue;
    if (depth + 1 - tidhits[t] > transactionTolerance) return 0;
  }
  return 1;
}

// Returns 1 when no item of the closure or prefix list left out of the item
// set (items, ascending) can join it without costing a tid.
int Transactiondb::CheckPrefixPreservingSub(int* prefixlist, int prefixnum, int* tids,
                                            int ntids, int* items, int depth, int* tidhits,
                                            int* closurelist, int closurenum,
                                            int** cdbitem) {
  auto leftOutAbsorbable = [&](const int* list, int n) {
    for (int i = 0, c = 0; i < n; i++) {
      while (c < depth && items[c] < list[i]) c++;
      if (c < depth && items[c] == list[i]) continue;
      if (Absorbable(list[i], tids, ntids, depth, tidhits, cdbitem)) return true;
    }
    return false;
  };
  return !leftOutAbsorbable(closurelist, closurenum) &&
         !leftOutAbsorbable(prefixlist, prefixnum);
}

// Returns 1 when no transaction of the loaded database outside tids can join
// the pair within both tolerances. Only transactions holding an item of the
// item set are candidates; with graph type 1 the item set's own vertices are
// not. A transaction that can join lacks at most transactionTolerance items of
// the item set, so it holds one of any transactionTolerance + 1 of them: the
// candidates are gathered from the shortest such lists (new item ids ascend
// with support). outsidemark is all zero on entry and on return.
int Transactiondb::CheckSet(int* tids, int ntids, int* items, int depth) {
  ArenaCheck check;
  int* itemhits = ArenaTake(depth);
  int* outside = ArenaTake(tidnum);
  std::fill(itemhits, itemhits + depth, 0);
  for (int i = 0; i < ntids; i++) {
    const int* list = tranlist[tids[i]];
    for (int d = 0, s = 1; d < depth && s <= list[0]; d++) {
      while (s <= list[0] && list[s] < items[d]) s++;
      if (s <= list[0] && list[s] == items[d]) itemhits[d]++;
    }
  }
  const int scanned = static_cast<int>(std::min<long long>(depth, transactionTolerance + 1LL));
  int noutside = 0;
  for (int d = 0; d < scanned; d++) {
    const int* holders = itemlist[items[d]];
    for (int s = 1, c = 0; s <= holders[0]; s++) {
      int t = holders[s];
      while (c < ntids && tids[c] < t) c++;
      if ((c < ntids && tids[c] == t) || outsidemark[t]) continue;
      if (graphtype == 1 && std::binary_search(items, items + depth, t)) continue;
      outsidemark[t] = 1;
      outside[noutside++] = t;
    }
  }
  int closed = 1;
  for (int i = 0; i < noutside && closed; i++) {
    const int* list = tranlist[outside[i]];
    int lacked = 0;
    bool joins = true;
    for (int d = 0, s = 1; d < depth && joins; d++) {
      while (s <= list[0] && list[s] < items[d]) s++;
      if (s <= list[0] && list[s] == items[d]) continue;
      joins = ntids + 1 - itemhits[d] <= itemTolerance && ++lacked <= transactionTolerance;
    }
    if (joins) closed = 0;
  }
  for (int i = 0; i < noutside; i++) outsidemark[outside[i]] = 0;
  ArenaRelease(tidnum + static_cast<long long>(depth));
  return closed;
}

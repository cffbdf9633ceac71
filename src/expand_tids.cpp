// Transaction side of the search: for a current item, the depth-first walk
// over tolerance combinations (transactions lacking the item), the pruning of
// each resulting tidset, and the conditional databases handed to the item
// side. One walk serves three levels, which differ only in what they read and
// where a surviving tidset goes:
//   top      : the loaded database; enough fully tolerated items -> Build_cdb,
//              too few -> SkipBuildCdb; a local, all-zero itemmark
//   sub      : a parent cdb; every survivor -> Build_cdb_sub
//   virtual  : the loaded database narrowed by SkipBuildCdb; enough fully
//              tolerated items -> Build_cdb_sub, too few -> SkipBuildCdb
#include <algorithm>
#include <cstring>

#include "expand.h"

// Constant state of one walk plus the tolerance combination being built.
struct Transactiondb::TidWalk {
  Level level;
  int item;          // the current item (start or extension item)
  int** tran;        // transaction lists of the level, indexed by tid
  int* havelist;     // ascending tids of the tidset that contain the item
  int havenum;
  int* candlist;     // ascending tids of the tidset that lack the item
  int candnum;
  int* addlist;      // the tolerance combination: addnum tids of candlist
  int addnum;
  int* basecount;    // itemnum ints: per item, its count over havelist
  int* itemmark;     // itemnum ints handed down; null at the top level
  int parenttidnum;  // sub level: the parent cdb, for Build_cdb_sub
  int** parentitem;
};

namespace {

// out = a \ b for ascending lists; returns the size of out.
int SetDifference(const int* a, int na, const int* b, int nb, int* out) {
  int n = 0;
  int j = 0;
  for (int i = 0; i < na; i++) {
    while (j < nb && b[j] < a[i]) j++;
    if (j < nb && b[j] == a[i]) continue;
    out[n++] = a[i];
  }
  return n;
}

// Removes value from an ascending list; returns the new size.
int RemoveValue(int* list, int n, int value) {
  int* end = std::remove(list, list + n, value);
  return static_cast<int>(end - list);
}

// Adds 1 to count[x] for every item x of the transactions in tids.
void CountItems(int** tran, const int* tids, int ntids, int* count) {
  for (int i = 0; i < ntids; i++) {
    const int* list = tran[tids[i]];
    for (int s = 1; s <= list[0]; s++) count[list[s]]++;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The three entries of the walk
// ---------------------------------------------------------------------------

void Transactiondb::Enumeratecdb(int** tran, int ntids, int item, int** items,
                                 int* alltids) {
  int* record = items[item];
  TidWalk walk{kTop, item, tran, record + 1, record[0], nullptr, 0, nullptr, 0,
               nullptr, nullptr, 0, nullptr};
  WalkItem(walk, alltids, ntids);
}

// Enumeratecdb inside a cdb: the cdb's tids, transaction lists and item lists
// take the place of the loaded database.
void Transactiondb::Enumeratecdb_sub(int** cdbtran, int cdbtidnum, int item,
                                     int** cdbitem, int* cdbtids, int* itemmark) {
  int* record = cdbitem[item];
  TidWalk walk{kSub, item, cdbtran, record + 1, record[0], nullptr, 0, nullptr, 0,
               nullptr, itemmark, cdbtidnum, cdbitem};
  WalkItem(walk, cdbtids, cdbtidnum);
}

// Walks the item's tolerance combinations over tids (ascending, a superset of
// the item's own list): the candidates are the tids lacking the item, never
// the item's own vertex with graph type 1.
void Transactiondb::WalkItem(TidWalk& walk, const int* tids, int ntids) {
  ArenaCheck check;
  // Without item tolerance no transaction lacking the item is ever added.
  int candtaken = itemTolerance > 0 ? ntids - walk.havenum : 0;
  walk.candlist = ArenaTake(candtaken);
  if (candtaken > 0) {
    walk.candnum = SetDifference(tids, ntids, walk.havelist, walk.havenum, walk.candlist);
    if (graphtype == 1) walk.candnum = RemoveValue(walk.candlist, walk.candnum, walk.item);
  }
  WalkTolerance(walk);
  ArenaRelease(candtaken);
}

// Splits the narrowed tidset by one extension item and walks its tolerance
// combinations on the loaded database. The transactions that contain the item
// count with all their items, also those dead in the tidset that was narrowed.
void Transactiondb::EnumerateWithoutCdb(int virtualtidnum, int* virtualtids, int item,
                                        int* itemmark) {
  ArenaCheck check;
  TidWalk walk{kVirtual, item, tranlist, nullptr, 0, nullptr, 0, nullptr, 0,
               nullptr, itemmark, tidnum, itemlist};
  walk.candlist = ArenaTake(virtualtidnum);
  walk.havelist = ArenaTake(virtualtidnum);
  const int* record = itemlist[item];
  int j = 0;
  for (int i = 0; i < virtualtidnum; i++) {
    int t = virtualtids[i];
    while (j < record[0] && record[1 + j] < t) j++;
    if (j < record[0] && record[1 + j] == t) walk.havelist[walk.havenum++] = t;
    else walk.candlist[walk.candnum++] = t;
  }
  if (graphtype == 1) walk.candnum = RemoveValue(walk.candlist, walk.candnum, item);
  WalkTolerance(walk);
  ArenaRelease(2LL * virtualtidnum);
}

// ---------------------------------------------------------------------------
// The walk over tolerance combinations
// ---------------------------------------------------------------------------

// Counts the items over the item's own transactions (basecount), then
// evaluates every combination of at most itemTolerance candidates that is
// full (itemTolerance members) or ends at the last candidate, in
// lexicographic order of candidate indexes; without candidates or tolerance,
// the item's own transactions once.
void Transactiondb::WalkTolerance(TidWalk& walk) {
  ArenaCheck check;
  walk.basecount = ArenaTake(itemnum);
  std::fill(walk.basecount, walk.basecount + itemnum, 0);
  CountItems(walk.tran, walk.havelist, walk.havenum, walk.basecount);
  if (walk.candnum == 0 || itemTolerance == 0) {
    walk.addnum = itemTolerance;
    DepthFirstEnumerateTid(walk, 0, 0);
  } else {
    int addtaken = std::min(itemTolerance, walk.candnum);
    walk.addlist = ArenaTake(addtaken);
    walk.addnum = 0;
    for (int j = 0; j < walk.candnum; j++) {
      DepthFirstEnumerateTid(walk, j, 1);
      walk.addnum--;
    }
    ArenaRelease(addtaken);
  }
  ArenaRelease(itemnum);
}

void Transactiondb::DepthFirstEnumerateTid(TidWalk& walk, int candindex, int adding) {
  if (adding) walk.addlist[walk.addnum++] = walk.candlist[candindex];
  if (walk.addnum < itemTolerance && candindex + 1 < walk.candnum) {
    for (int k = candindex + 1; k < walk.candnum; k++) {
      DepthFirstEnumerateTid(walk, k, adding);
      walk.addnum--;
    }
    return;
  }
  EvaluateTidset(walk, adding);
}

// Counts, prunes and hands on the tidset of the item's transactions plus the
// current combination. tidlive is read and written only at the tidset's own
// tids (members), so nothing of tidnum length is cleared or scanned.
void Transactiondb::EvaluateTidset(TidWalk& walk, int adding) {
  ArenaCheck check;
  const int added = adding ? walk.addnum : 0;
  Notify(kEventEvaluate, walk.addlist, added);
  long long taken = tidnum + itemnum + walk.havenum + added;
  int* tidlive = ArenaTake(tidnum);
  int* itemcount = ArenaTake(itemnum);
  int* itemmark = walk.itemmark;
  if (walk.level == kTop) {
    itemmark = ArenaTake(itemnum);
    std::fill(itemmark, itemmark + itemnum, 0);
    taken += itemnum;
  }
  int* members = ArenaTake(walk.havenum + added);
  const int nmembers = static_cast<int>(
      std::merge(walk.havelist, walk.havelist + walk.havenum, walk.addlist,
                 walk.addlist + added, members) - members);
  std::copy(walk.basecount, walk.basecount + itemnum, itemcount);
  CountItems(walk.tran, walk.addlist, added, itemcount);

  // Pre-count: items that fail the item test die; the others that may join
  // the item set are counted.
  int possible = 0;
  for (int x = 0; x < itemnum; x++) {
    if (!PassesItemTest(itemcount[x])) itemcount[x] = 0;
    else if (x >= walk.item || itemmark[x]) possible++;
  }
  int changed = 0;
  if (possible >= item_supportLevel &&
      Trim_tidset_sub(walk.tran, walk.havelist, walk.havenum, walk.addlist, itemcount,
                      tidlive, walk.item, changed, itemmark, adding, walk.addnum) &&
      (!changed || Prune_sub(walk.tran, itemcount, tidlive, walk.item, itemmark, members,
                             nmembers))) {
    int n = 0;
    for (int i = 0; i < nmembers; i++) {
      if (tidlive[members[i]] != 0) members[n++] = members[i];
    }
    DescendInto(walk, members, n, itemcount, itemmark);
  }
  ArenaRelease(taken);
}

// A trimmed tidset goes on into its conditional database; at the top and
// virtual levels one with too few fully tolerated items is narrowed without it.
void Transactiondb::DescendInto(const TidWalk& walk, int* tids, int ntids, int* itemcount,
                                int* itemmark) {
  if (walk.level == kSub) {
    BuildCdb(tids, ntids, itemcount, walk.tran, walk.parentitem, itemmark, walk.item, kSub);
    return;
  }
  int tolerated = 0;
  for (int x = 0; x < itemnum; x++) tolerated += FullyTolerated(ntids, itemcount[x]);
  if (tolerated < item_supportLevel) SkipBuildCdb(walk.item, tids, ntids, itemcount, itemmark);
  else BuildCdb(tids, ntids, itemcount, tranlist, itemlist, itemmark, walk.item, walk.level);
}

// ---------------------------------------------------------------------------
// Tolerance pruning
// ---------------------------------------------------------------------------

// Live items of a transaction: counted (not dead) items that are not below the
// current item, or below it and marked as part of the item set.
int Transactiondb::LiveItemCount(int* list, int* itemcount, int item, int* itemmark) const {
  int live = 0;
  int s = 1;
  for (; s <= list[0] && list[s] < item; s++) live += itemmark[list[s]] && itemcount[list[s]];
  for (; s <= list[0]; s++) live += itemcount[list[s]] != 0;
  return live;
}

void Transactiondb::RemoveTransaction(int* list, int t, int* itemcount, int* tidlive) const {
  tidlive[t] = 0;
  for (int s = 1; s <= list[0]; s++) {
    if (itemcount[list[s]] != 0) itemcount[list[s]]--;
  }
}

// Kills every item that fails the item test; returns the number of items that
// pass it and may join the item set. Sets killed when an item was killed.
int Transactiondb::ItemPass(int* itemcount, int item, int* itemmark, int& killed) const {
  int total = 0;
  for (int x = 0; x < itemnum; x++) {
    if (PassesItemTest(itemcount[x])) {
      if (x >= item || itemmark[x]) total++;
    } else if (itemcount[x] != 0) {
      itemcount[x] = 0;
      killed = 1;
    }
  }
  return total;
}

// Out: changed = 1 when the item pass killed an item.
int Transactiondb::Trim_tidset_sub(int** tran, int* itemtids, int itemtidnum,
                                   int* addlist, int* itemcount, int* tidlive, int item,
                                   int& changed, int* itemmark, int adding, int addnum) {
  int kept = 0;
  auto trim = [&](int t) {
    tidlive[t] = LiveItemCount(tran[t], itemcount, item, itemmark);
    if (PassesTransactionTest(tidlive[t])) kept++;
    else RemoveTransaction(tran[t], t, itemcount, tidlive);
  };
  if (adding) {
    for (int i = 0; i < addnum; i++) trim(addlist[i]);
  }
  for (int i = 0; i < itemtidnum; i++) trim(itemtids[i]);
  if (kept < transaction_supportLevel) return 0;
  int killed = 0;
  int total = ItemPass(itemcount, item, itemmark, killed);
  if (killed) changed = 1;
  return total >= item_supportLevel;
}

// Alternates transaction and item passes until neither removes anything;
// a pass runs only when the other one removed something since it last ran.
// members: the ascending tids that Trim_tidset_sub visited.
int Transactiondb::Prune_sub(int** tran, int* itemcount, int* tidlive, int item,
                             int* itemmark, const int* members, int nmembers) {
  bool transettled = false;
  bool itemsettled = false;
  while (!transettled || !itemsettled) {
    if (!transettled) {
      int kept = 0;
      for (int i = 0; i < nmembers; i++) {
        int t = members[i];
        if (tidlive[t] == 0) continue;
        tidlive[t] = LiveItemCount(tran[t], itemcount, item, itemmark);
        if (PassesTransactionTest(tidlive[t])) {
          kept++;
        } else {
          RemoveTransaction(tran[t], t, itemcount, tidlive);
          itemsettled = false;
        }
      }
      if (kept < transaction_supportLevel) return 0;
      transettled = true;
    }
    if (!itemsettled) {
      int killed = 0;
      int total = ItemPass(itemcount, item, itemmark, killed);
      if (killed) transettled = false;
      if (total < item_supportLevel) return 0;
      itemsettled = true;
    }
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Conditional databases
// ---------------------------------------------------------------------------

void Transactiondb::Build_cdb(int* tidlive, int* itemcount, int item) {
  Build_cdb_sub(tidlive, itemcount, tranlist, tidnum, nullptr, itemlist, item);
}

void Transactiondb::Build_cdb_sub(int* tidlive, int* itemcount, int** parenttran,
                                  int parenttidnum, int* itemmark, int** parentitem,
                                  int item) {
  ArenaCheck check;
  int* tids = ArenaTake(parenttidnum);
  int n = 0;
  for (int t = 0; t < tidnum; t++) {
    if (tidlive[t] != 0) tids[n++] = t;
  }
  BuildCdb(tids, n, itemcount, parenttran, parentitem, itemmark, item, itemmark ? kSub : kTop);
  ArenaRelease(parenttidnum);
}

// Projects the parent database on the tidset (tids, ascending) and its live
// items (itemcount != 0), hands the cdb to the item side, and gives every page
// and pointer array back. Tid pointer arrays are all null while free, so only
// the cdb's own entries are set and cleared again. Each live item's list gets
// room for its count in the parent plus one, each transaction list for its
// parent length plus one, so no list outgrows its room; dead items share one
// empty list.
void Transactiondb::BuildCdb(int* tids, int ntids, int* itemcount, int** parenttran,
                             int** parentitem, int* itemmark, int item, Level level) {
  static int noholders[1] = {0};
  Cdb cdb{nullptr, ntids, nullptr, tids};
  cdb.item = PointerArrayTake(itemarrays);
  IntPage* firstitempage = PoolStartChain(itempool);
  cdb.tran = PointerArrayTake(tidarrays);  // all entries null
  IntPage* firsttranpage = PoolStartChain(tranpool);
  for (int x = 0; x < itemnum; x++) {
    if (itemcount[x] == 0) {
      cdb.item[x] = noholders;
      continue;
    }
    cdb.item[x] = PoolTake(itempool, parentitem[x][0] + 1);
    cdb.item[x][0] = 0;
  }
  for (int i = 0; i < cdb.tidnum; i++) {
    int t = cdb.tids[i];
    const int* source = parenttran[t];
    int* list = PoolTake(tranpool, source[0] + 1);
    cdb.tran[t] = list;
    int n = 0;
    for (int s = 1; s <= source[0]; s++) {
      int x = source[s];
      if (itemcount[x] == 0) continue;
      list[++n] = x;
      int* holders = cdb.item[x];
      holders[++holders[0]] = t;
    }
    list[0] = n;
  }
  IntPage* lasttranpage = tranpool.page;
  IntPage* lastitempage = itempool.page;
  if (cdbhook) cdbhook(hookcontext, cdb);
  if (level == kTop) StartEnumerate_Itemset(cdb, item);
  else StartEnumerate_Itemset_sub(cdb, itemmark, item);
  PoolReleaseChain(tranpool, firsttranpage, lasttranpage);
  for (int i = 0; i < cdb.tidnum; i++) cdb.tran[cdb.tids[i]] = nullptr;
  PointerArrayRelease(tidarrays, cdb.tran);
  PoolReleaseChain(itempool, firstitempage, lastitempage);
  PointerArrayRelease(itemarrays, cdb.item);
}

// ---------------------------------------------------------------------------
// Narrowing without a conditional database
// ---------------------------------------------------------------------------

// The tidset has too few fully tolerated items for a result of its own: it is
// narrowed by each later item that may still join, unless an unmarked item
// below the current one is fully tolerated (that tidset belongs to an earlier
// start item). With graph type 1 an item that is a vertex of the tidset
// neither abandons it nor is marked.
void Transactiondb::SkipBuildCdb(int item, int* virtualtids, int virtualtidnum,
                                 int* itemcount, int* itemmark) {
  ArenaCheck check;
  Notify(kEventSkipBuildCdb, &item, 1);
  int* nextmark = ArenaTake(itemnum);
  std::fill(nextmark, nextmark + itemnum, 0);
  int cursor = 0;
  auto isTid = [&](int x) {
    while (cursor < virtualtidnum && virtualtids[cursor] < x) cursor++;
    return cursor < virtualtidnum && virtualtids[cursor] == x;
  };
  int total = 0;
  bool abandoned = false;
  for (int x = 0; x < item && !abandoned; x++) {
    if (itemmark[x]) {
      nextmark[x] = 1;
      total++;
    } else if (FullyTolerated(virtualtidnum, itemcount[x])) {
      abandoned = !(graphtype == 1 && isTid(x));
    }
  }
  if (!abandoned) {
    for (int x = item; x < itemnum; x++) {
      if (!PassesItemTest(itemcount[x])) continue;
      total++;
      if (FullyTolerated(virtualtidnum, itemcount[x]) && !(graphtype == 1 && isTid(x)))
        nextmark[x] = 1;
    }
    for (int x = item + 1; x < itemnum; x++) {
      if (!PassesItemTest(itemcount[x]) || nextmark[x]) continue;
      if (total < item_supportLevel) break;
      EnumerateWithoutCdb(virtualtidnum, virtualtids, x, nextmark);
      total--;
    }
  }
  ArenaRelease(itemnum);
}

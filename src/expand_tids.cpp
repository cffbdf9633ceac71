// Transaction side of the search: for a current item, the depth-first walk
// over tolerance combinations (transactions lacking the item), the pruning of
// each resulting tidset, and the conditional databases handed to the item
// side. One walk serves three levels, which differ only in what they read and
// where a surviving tidset goes:
//   top      : the loaded database; enough fully tolerated items -> a cdb
//              enumerated as the top level, too few -> SkipBuildCdb; a local,
//              all-zero itemmark
//   sub      : a parent cdb; every survivor -> a cdb enumerated as a sub level
//   virtual  : the loaded database narrowed by SkipBuildCdb; enough fully
//              tolerated items -> a cdb enumerated as a sub level, too few ->
//              SkipBuildCdb
#include <algorithm>
#include <initializer_list>
#include "arena_scope.h"
#include "tolerance_walk.h"
#include "sets.h"

namespace quasibiclique {

// Constant state of one walk plus the tolerance combination being built. One
// named constructor per level.
struct ToleranceWalk::TidWalk {
  // The item's transactions in the loaded database (tran, items).
  static TidWalk Top(const ToleranceWalk& db, int item) {
    TidWalk walk(kTop, item, db.tranlist, db.itemlist, nullptr);
    walk.havelist = Counted(db.itemlist[item]);
    return walk;
  }
  // The item's transactions in a parent cdb.
  static TidWalk InCdb(const Cdb& cdb, int item, int* itemmark) {
    TidWalk walk(kSub, item, cdb.tran, cdb.item, itemmark);
    walk.havelist = Counted(cdb.item[item]);
    return walk;
  }
  // The loaded database narrowed to a tidset: the caller splits the tidset
  // into havelist and candlist, blocks of room for all of its tids.
  static TidWalk Narrowed(const ToleranceWalk& db, int item, int* itemmark, int* have,
                          int* cand) {
    TidWalk walk(kVirtual, item, db.tranlist, db.itemlist, itemmark);
    walk.havelist = {have, 0};
    walk.candlist = cand;
    return walk;
  }

  Level level;
  int item;                  // the current item (start or extension item)
  int** tran;                // transaction lists of the level, indexed by tid
  int** items;               // item lists of the level, indexed by item: the parent of its cdbs
  ListView havelist;         // tids of the tidset that contain the item, ascending
  int* candlist = nullptr;   // tids of the tidset that lack the item, ascending, candnum of them
  int candnum = 0;
  int* addlist = nullptr;    // the tolerance combination: addnum tids of candlist
  int addnum = 0;
  int* basecount = nullptr;  // itemnum ints: per item, its count over havelist
  int* itemmark;             // itemnum ints handed down; null at the top level

 private:
  TidWalk(Level l, int x, int** t, int** i, int* mark)
      : level(l), item(x), tran(t), items(i), havelist{nullptr, 0}, itemmark(mark) {}
};

// The counts of one evaluated tidset, all blocks of EvaluateTidset.
struct ToleranceWalk::TidsetCounts {
  int* tidlive;    // tidnum ints, read and written only at members: live items per tid, 0 = cut
  int* itemcount;  // itemnum ints: per item, the tidset's live tids holding it, 0 = dead
  int* itemmark;   // itemnum ints: 1 for items below the current one that are in the item set
  int* members;    // the tidset's tids, ascending, nmembers of them
  int nmembers;
};

namespace {

// out = a \ b; returns the size of out.
int SetDifference(ListView a, ListView b, int* out) {
  AscendingCursor inb(b);
  int n = 0;
  for (int i = 0; i < a.n; i++) {
    if (!inb.Holds(a.at[i])) out[n++] = a.at[i];
  }
  return n;
}

// Removes value from an ascending list; returns the new size.
int RemoveValue(int* list, int n, int value) {
  int* end = std::remove(list, list + n, value);
  return static_cast<int>(end - list);
}

// Adds 1 to count[x] for every item x of the transactions in tids.
void CountItems(int** tran, ListView tids, int* count) {
  for (int i = 0; i < tids.n; i++) {
    const int* list = tran[tids.at[i]];
    for (int s = 1; s <= list[0]; s++) count[list[s]]++;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The three entries of the walk
// ---------------------------------------------------------------------------

void ToleranceWalk::Enumeratecdb(int item, int* alltids) {
  TidWalk walk = TidWalk::Top(*this, item);
  WalkItem(walk, {alltids, tidnum});
}

// Enumeratecdb inside a cdb: the cdb's tids, transaction lists and item lists
// take the place of the loaded database.
void ToleranceWalk::Enumeratecdb_sub(const Cdb& cdb, int item, int* itemmark) {
  TidWalk walk = TidWalk::InCdb(cdb, item, itemmark);
  WalkItem(walk, {cdb.tids, cdb.tidnum});
}

// Walks the item's tolerance combinations over tids (a superset of the item's
// own list): the candidates are the tids lacking the item, never the item's
// own vertex with graph type 1.
void ToleranceWalk::WalkItem(TidWalk& walk, ListView tids) {
  ArenaScope scope(arena);
  // Without item tolerance no transaction lacking the item is ever added.
  if (itemTolerance > 0) {
    walk.candlist = scope.Take(tids.n - walk.havelist.n);
    walk.candnum = SetDifference(tids, walk.havelist, walk.candlist);
    if (undirected) walk.candnum = RemoveValue(walk.candlist, walk.candnum, walk.item);
  }
  WalkTolerance(walk);
}

// Splits the narrowed tidset by one extension item and walks its tolerance
// combinations on the loaded database. The transactions that contain the item
// count with all their items, also those dead in the tidset that was narrowed.
void ToleranceWalk::EnumerateWithoutCdb(ListView tidset, int item, int* itemmark) {
  ArenaScope scope(arena);
  int* cand = scope.Take(tidset.n);
  int* have = scope.Take(tidset.n);
  TidWalk walk = TidWalk::Narrowed(*this, item, itemmark, have, cand);
  AscendingCursor holders(Counted(itemlist[item]));
  for (int i = 0; i < tidset.n; i++) {
    int t = tidset.at[i];
    if (holders.Holds(t)) have[walk.havelist.n++] = t;
    else walk.candlist[walk.candnum++] = t;
  }
  if (undirected) walk.candnum = RemoveValue(walk.candlist, walk.candnum, item);
  WalkTolerance(walk);
}

// ---------------------------------------------------------------------------
// The walk over tolerance combinations
// ---------------------------------------------------------------------------

// Counts the items over the item's own transactions (basecount), then
// evaluates every combination of at most itemTolerance candidates that is
// full (itemTolerance members) or ends at the last candidate, in
// lexicographic order of candidate indexes; without candidates or tolerance,
// the item's own transactions once.
// At the top level of a start item that several workers walk, each walks
// the combinations whose first candidates it claims.
void ToleranceWalk::WalkTolerance(TidWalk& walk) {
  TopClaims* const shared = walk.level == kTop ? claims : nullptr;
  const bool single = walk.candnum == 0 || itemTolerance == 0;
  if (shared && single && shared->Claim(1) != 0) return;
  ArenaScope scope(arena);
  walk.basecount = scope.Take(itemnum);
  std::fill(walk.basecount, walk.basecount + itemnum, 0);
  CountItems(walk.tran, walk.havelist, walk.basecount);
  if (single) {
    walk.addnum = itemTolerance;
    DepthFirstEnumerateTid(walk, 0, false);
    if (shared) shared->Claim(1);
    return;
  }
  walk.addlist = scope.Take(std::min(itemTolerance, walk.candnum));
  walk.addnum = 0;
  for (int j = shared ? shared->Claim(walk.candnum) : 0; j < walk.candnum;
       j = shared ? shared->Claim(walk.candnum) : j + 1) {
    DepthFirstEnumerateTid(walk, j, true);
    walk.addnum--;
  }
}

void ToleranceWalk::DepthFirstEnumerateTid(TidWalk& walk, int candindex, bool adding) {
  if (adding) walk.addlist[walk.addnum++] = walk.candlist[candindex];
  if (walk.addnum < itemTolerance && candindex + 1 < walk.candnum) {
    for (int k = candindex + 1; k < walk.candnum; k++) {
      DepthFirstEnumerateTid(walk, k, adding);
      walk.addnum--;
    }
    return;
  }
  EvaluateTidset(walk, adding ? walk.addnum : 0);
}

// Counts, prunes and hands on the tidset of the item's transactions plus the
// first `added` tids of the combination. tidlive is read and written only at
// the tidset's own tids (members), so nothing of tidnum length is cleared or
// scanned.
void ToleranceWalk::EvaluateTidset(const TidWalk& walk, int added) {
  ThrowIfStopped();
  ArenaScope scope(arena);
  Notify(kEventEvaluate, walk.addlist, added);
  TidsetCounts counts;
  counts.tidlive = scope.Take(tidnum);
  counts.itemcount = scope.Take(itemnum);
  counts.itemmark = walk.itemmark;
  if (walk.level == kTop) {
    counts.itemmark = scope.Take(itemnum);
    std::fill(counts.itemmark, counts.itemmark + itemnum, 0);
  }
  counts.members = scope.Take(walk.havelist.n + added);
  counts.nmembers = static_cast<int>(
      std::merge(walk.havelist.at, walk.havelist.at + walk.havelist.n, walk.addlist,
                 walk.addlist + added, counts.members) - counts.members);
  std::copy(walk.basecount, walk.basecount + itemnum, counts.itemcount);
  CountItems(walk.tran, {walk.addlist, added}, counts.itemcount);

  // Pre-count: items that fail the item test die; the others that may join
  // the item set are counted.
  int possible = 0;
  const long long need = ItemTestNeed();
  for (int x = 0; x < itemnum; x++) {
    if (counts.itemcount[x] < need) counts.itemcount[x] = 0;
    else if (x >= walk.item || counts.itemmark[x]) possible++;
  }
  if (possible < item_supportLevel) return;
  TrimResult trimmed = Trim_tidset_sub(walk, counts, added);
  if (trimmed == kTrimRejected || (trimmed == kTrimChanged && !Prune_sub(walk, counts))) return;
  int n = 0;
  for (int i = 0; i < counts.nmembers; i++) {
    if (counts.tidlive[counts.members[i]] != 0) counts.members[n++] = counts.members[i];
  }
  DescendInto(walk, counts.members, n, counts);
}

// A trimmed tidset goes on into its conditional database; at the top and
// virtual levels one with too few fully tolerated items is narrowed without it.
void ToleranceWalk::DescendInto(const TidWalk& walk, int* tids, int ntids,
                                const TidsetCounts& counts) {
  if (walk.level != kSub) {
    int tolerated = 0;
    for (int x = 0; x < itemnum; x++) tolerated += FullyTolerated(ntids, counts.itemcount[x]);
    if (tolerated < item_supportLevel) {
      SkipBuildCdb(walk.item, {tids, ntids}, counts.itemcount, counts.itemmark);
      return;
    }
  }
  BuildCdb(walk, tids, ntids, counts.itemcount, counts.itemmark);
}

// ---------------------------------------------------------------------------
// Tolerance pruning
// ---------------------------------------------------------------------------

// Live items of a transaction: counted (not dead) items that are not below the
// current item, or below it and marked as part of the item set.
int ToleranceWalk::LiveItemCount(const int* list, const int* itemcount, int item,
                                 const int* itemmark) const {
  int live = 0;
  int s = 1;
  for (; s <= list[0] && list[s] < item; s++) live += itemmark[list[s]] && itemcount[list[s]];
  for (; s <= list[0]; s++) live += itemcount[list[s]] != 0;
  return live;
}

void ToleranceWalk::RemoveTransaction(const int* list, int t, int* itemcount,
                                      int* tidlive) const {
  tidlive[t] = 0;
  for (int s = 1; s <= list[0]; s++) {
    if (itemcount[list[s]] != 0) itemcount[list[s]]--;
  }
}

// Kills every item of the tidset that fails the item test. Plain locals keep
// the loop free of reloads.
ToleranceWalk::ItemPassResult ToleranceWalk::ItemPass(int item, TidsetCounts& counts) const {
  int* itemcount = counts.itemcount;
  const int* itemmark = counts.itemmark;
  const int n = itemnum;
  const long long need = ItemTestNeed();
  int total = 0;
  bool killed = false;
  for (int x = 0; x < n; x++) {
    if (itemcount[x] >= need) {
      if (x >= item || itemmark[x]) total++;
    } else if (itemcount[x] != 0) {
      itemcount[x] = 0;
      killed = true;
    }
  }
  return {total, killed};
}

// Cuts the transactions of the combination, then those of the item's own
// list, that lack too many live items, then runs one item pass.
ToleranceWalk::TrimResult ToleranceWalk::Trim_tidset_sub(const TidWalk& walk,
                                                         TidsetCounts& counts, int added) {
  int kept = 0;
  for (ListView tids : {ListView{walk.addlist, added}, walk.havelist}) {
    for (int i = 0; i < tids.n; i++) kept += TrimTransaction(walk, counts, tids.at[i]);
  }
  if (kept < transaction_supportLevel) return kTrimRejected;
  ItemPassResult pass = ItemPass(walk.item, counts);
  if (pass.total < item_supportLevel) return kTrimRejected;
  return pass.killed ? kTrimChanged : kTrimSettled;
}

// Recounts the live items of transaction t and cuts it when it fails the
// transaction test. Returns true when it stays.
bool ToleranceWalk::TrimTransaction(const TidWalk& walk, TidsetCounts& counts, int t) const {
  int* list = walk.tran[t];
  counts.tidlive[t] = LiveItemCount(list, counts.itemcount, walk.item, counts.itemmark);
  if (PassesTransactionTest(counts.tidlive[t])) return true;
  RemoveTransaction(list, t, counts.itemcount, counts.tidlive);
  return false;
}

// Alternates transaction and item passes over the members until neither
// removes anything; a pass runs only when the other one removed something
// since it last ran. Returns true when the tidset survives.
bool ToleranceWalk::Prune_sub(const TidWalk& walk, TidsetCounts& counts) {
  bool transettled = false;
  bool itemsettled = false;
  while (!transettled || !itemsettled) {
    if (!transettled) {
      int kept = 0;
      for (int i = 0; i < counts.nmembers; i++) {
        int t = counts.members[i];
        if (counts.tidlive[t] == 0) continue;
        const bool stays = TrimTransaction(walk, counts, t);
        kept += stays;
        if (!stays) itemsettled = false;
      }
      if (kept < transaction_supportLevel) return false;
      transettled = true;
    }
    if (!itemsettled) {
      ItemPassResult pass = ItemPass(walk.item, counts);
      if (pass.killed) transettled = false;
      if (pass.total < item_supportLevel) return false;
      itemsettled = true;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Conditional databases
// ---------------------------------------------------------------------------

// Projects the walk's database on the tidset (tids) and its live items
// (itemcount != 0), hands the cdb to the item side, and gives every page and
// pointer array back. Tid pointer arrays are all null while free, so only the
// cdb's own entries are set and cleared again.
void ToleranceWalk::BuildCdb(const TidWalk& walk, int* tids, int ntids, const int* itemcount,
                             int* itemmark) {
  Cdb cdb{nullptr, ntids, nullptr, tids};
  cdb.item = PointerArrayTake(itemarrays);
  IntPage* firstitempage = PoolStartChain(itempool);
  cdb.tran = PointerArrayTake(tidarrays);  // all entries null
  IntPage* firsttranpage = PoolStartChain(tranpool);
  FillCdb(walk, itemcount, cdb);
  IntPage* lasttranpage = tranpool.page;
  IntPage* lastitempage = itempool.page;
  if (observer.cdbhook) observer.cdbhook(observer.context, cdb);
  if (walk.level == kTop) EnumerateItemsets(cdb, nullptr, walk.item, kTop);
  else EnumerateItemsets(cdb, itemmark, walk.item, kSub);
  PoolReleaseChain(tranpool, firsttranpage, lasttranpage);
  for (int i = 0; i < cdb.tidnum; i++) cdb.tran[cdb.tids[i]] = nullptr;
  PointerArrayRelease(tidarrays, cdb.tran);
  PoolReleaseChain(itempool, firstitempage, lastitempage);
  PointerArrayRelease(itemarrays, cdb.item);
}

// Cuts the cdb's lists from the chains BuildCdb started. Each live item's
// list gets room for its count in the parent plus one, each transaction list
// for its parent length plus one, so no list outgrows its room; dead items
// share one empty list.
void ToleranceWalk::FillCdb(const TidWalk& walk, const int* itemcount, Cdb& cdb) {
  for (int x = 0; x < itemnum; x++) {
    if (itemcount[x] == 0) {
      cdb.item[x] = noholders;
      continue;
    }
    cdb.item[x] = PoolTake(itempool, walk.items[x][0] + 1);
    cdb.item[x][0] = 0;
  }
  for (int i = 0; i < cdb.tidnum; i++) {
    int t = cdb.tids[i];
    const int* source = walk.tran[t];
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
}

// ---------------------------------------------------------------------------
// Narrowing without a conditional database
// ---------------------------------------------------------------------------

// The tidset has too few fully tolerated items for a result of its own: it is
// narrowed by each later item that may still join, unless an unmarked item
// below the current one is fully tolerated (that tidset belongs to an earlier
// start item). With graph type 1 an item that is a vertex of the tidset
// neither abandons it nor is marked.
void ToleranceWalk::SkipBuildCdb(int item, ListView tidset, int* itemcount, int* itemmark) {
  ArenaScope scope(arena);
  Notify(kEventSkipBuildCdb, &item, 1);
  int* nextmark = scope.Take(itemnum);
  std::fill(nextmark, nextmark + itemnum, 0);
  // Items are asked in ascending order.
  AscendingCursor tidcursor(tidset);
  auto isTid = [&](int x) { return undirected && tidcursor.Holds(x); };
  int total = 0;
  for (int x = 0; x < item; x++) {
    if (itemmark[x]) {
      nextmark[x] = 1;
      total++;
    } else if (FullyTolerated(tidset.n, itemcount[x]) && !isTid(x)) {
      return;
    }
  }
  for (int x = item; x < itemnum; x++) {
    if (!PassesItemTest(itemcount[x])) continue;
    total++;
    if (FullyTolerated(tidset.n, itemcount[x]) && !isTid(x)) nextmark[x] = 1;
  }
  for (int x = item + 1; x < itemnum; x++) {
    if (!PassesItemTest(itemcount[x]) || nextmark[x]) continue;
    if (total < item_supportLevel) break;
    EnumerateWithoutCdb(tidset, x, nextmark);
    total--;
  }
}

}  // namespace quasibiclique

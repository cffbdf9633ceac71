// Loading: reading the dataset into transaction records, pruning what cannot
// be part of a result, renumbering, building the item lists, and the top-level
// loop over start items.
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "exact.h"
#include "expand.h"

namespace {

constexpr int kPageInts = 4905;  // smallest page payload of both pools

// Scratch transaction record as read: [count | m | slot 1 .. slot m], where
// the slots hold the line's distinct numbers ascending, a removed item's slot
// holds -1, and count is the number of slots that are not -1. A cut line has
// count 0 and is not live.
constexpr int kCount = 0;
constexpr int kSlots = 1;
constexpr int kFirstSlot = 2;

// Sorts a line's numbers and keeps each once.
int SortDistinct(std::vector<int>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return static_cast<int>(values.size());
}

}  // namespace

Transactiondb::Transactiondb(const Parameters& p, const Data& data)
    : item_supportLevel(p.item_supportLevel),
      itemTolerance(p.itemTolerance),
      transactionTolerance(p.transactionTolerance),
      transaction_supportLevel(p.transaction_supportLevel),
      tidcount(data.Lines()),
      itemsize(p.graphtype == 1 ? data.Lines() : data.ItemSize()),
      tree(1, nullptr),
      search(p.search) {
  transactionbound = static_cast<long long>(item_supportLevel) - transactionTolerance;
  itembound = static_cast<long long>(transaction_supportLevel) - itemTolerance;
  if (p.graphtype == 1) {
    // A vertex is both a transaction and an item: one bound for both sides
    // keeps the two numberings identical.
    transactionbound = itembound = std::min(transactionbound, itembound);
  }
  tidoldid = ArenaTake(tidcount);
  itemoldid = ArenaTake(itemsize);
  tidnewid = ArenaTake(tidcount);
  itemnewid = ArenaTake(itemsize);
  std::fill(tidoldid, tidoldid + tidcount, -1);
  std::fill(itemoldid, itemoldid + itemsize, -1);
  std::fill(tidnewid, tidnewid + tidcount, -1);
  std::fill(itemnewid, itemnewid + itemsize, -1);
  tranpool.ints = std::max(kPageInts, data.LongestLine() + kFirstSlot);
  tidarrays.entries = tidcount;
  tranlist = tidcount > 0 ? new int*[size_t(tidcount) + 1]() : nullptr;
}

LoadStatus Transactiondb::FillTran(Data& data) {
  int** records = PointerArrayTake(tidarrays);
  IntPage* first = PoolStartChain(tranpool);
  itemsupport = ArenaTake(itemsize);
  std::fill(itemsupport, itemsupport + itemsize, 0);
  LoadStatus status = ReadRecords(data, records);
  if (status == kLoadOk && graphtype == 1) status = CheckSymmetric(records);
  if (status == kLoadOk) {
    CountSupports(records);
    Pruning(records);
    CountingSortAscending(records);
  }
  IntPage* last = tranpool.page;
  if (status == kLoadOk) PrepareDB(records);
  PoolReleaseChain(tranpool, first, last);
  std::fill(records, records + tidcount, nullptr);
  PointerArrayRelease(tidarrays, records);
  return status;
}

// Reads the tidcount lines that FindVertexNum counted, from the same copy of
// the file: no line is longer than a page and no number reaches itemsize.
LoadStatus Transactiondb::ReadRecords(Data& data, int** records) {
  std::vector<int> line;
  for (int k = 0; k < tidcount; k++) {
    data.ReadLine(line);
    if (graphtype == 1) {
      for (int v : line) {
        if (v >= tidcount) {
          loaderrorline = k + 1;
          loaderrorvalue = v;
          return kLoadVertexOutOfRange;
        }
      }
      line.erase(std::remove(line.begin(), line.end(), k), line.end());  // self loop
    }
    int m = SortDistinct(line);
    assert(m + kFirstSlot <= tranpool.ints);
    int* record = PoolTake(tranpool, m + kFirstSlot);
    record[kCount] = m;
    record[kSlots] = m;
    std::copy(line.begin(), line.end(), record + kFirstSlot);
    records[k] = record;
  }
  return kLoadOk;
}

// Graph type 1: every edge must be listed by both of its vertices.
LoadStatus Transactiondb::CheckSymmetric(int** records) {
  for (int u = 0; u < tidcount; u++) {
    int* record = records[u];
    for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
      int v = record[s];
      int* other = records[v];
      if (!std::binary_search(other + kFirstSlot, other + kFirstSlot + other[kSlots], u)) {
        loaderrorline = u + 1;
        loaderrorvalue = v;
        return kLoadAsymmetric;
      }
    }
  }
  return kLoadOk;
}

// Cuts the lines too short to reach item_supportLevel, counts the supports of
// the others, then cuts the items too rare to reach transaction_supportLevel.
void Transactiondb::CountSupports(int** records) {
  for (int k = 0; k < tidcount; k++) {
    int* record = records[k];
    if (record[kCount] < transactionbound) {
      record[kCount] = 0;
      continue;
    }
    for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) itemsupport[record[s]]++;
  }
  for (int j = 0; j < itemsize; j++) {
    if (itemsupport[j] < itembound) itemsupport[j] = 0;
  }
}

// Alternates transaction and item passes until neither removes anything.
void Transactiondb::Pruning(int** records) {
  // Item sweep: carry out the item cut of the loading on the records.
  for (int t = 0; t < tidcount; t++) {
    int* record = records[t];
    if (record[kCount] == 0) continue;
    for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
      if (record[s] >= 0 && itemsupport[record[s]] == 0) {
        record[s] = -1;
        record[kCount]--;
      }
    }
  }
  for (bool itempassran = false;; itempassran = true) {
    int emptied = 0;
    for (int t = 0; t < tidcount; t++) {
      int* record = records[t];
      if (record[kCount] == 0 || record[kCount] >= transactionbound) continue;
      for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
        if (record[s] >= 0) itemsupport[record[s]]--;
      }
      record[kCount] = 0;
      emptied++;
    }
    if (emptied == 0 && itempassran) return;
    int removed = 0;
    for (int t = 0; t < tidcount; t++) {
      int* record = records[t];
      if (record[kCount] == 0) continue;
      for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
        int x = record[s];
        if (x < 0 || itemsupport[x] >= itembound) continue;
        itemsupport[x]--;
        record[s] = -1;
        record[kCount]--;
        removed++;
      }
    }
    if (removed == 0) return;
  }
}

namespace {

// Counting sort of the ids 0..n-1 with key[id] >= 1 by ascending key; among
// equal keys the higher id comes first. Writes both directions of the map.
void RenumberByKey(int n, const int* key, int* newid, int* oldid) {
  int largest = 0;
  for (int id = 0; id < n; id++) largest = std::max(largest, key[id]);
  ArenaCheck check;
  int* position = ArenaTake(largest + 1);
  std::fill(position, position + largest + 1, 0);
  for (int id = 0; id < n; id++) {
    if (key[id] > 0) position[key[id]]++;
  }
  std::partial_sum(position, position + largest + 1, position);
  for (int id = 0; id < n; id++) {
    if (key[id] <= 0) continue;
    int renumbered = --position[key[id]];
    oldid[renumbered] = id;
    newid[id] = renumbered;
  }
  ArenaRelease(largest + 1);
}

}  // namespace

void Transactiondb::CountingSortAscending(int** records) {
  ArenaCheck check;
  int* counts = ArenaTake(tidcount);
  for (int t = 0; t < tidcount; t++) counts[t] = records[t][kCount];
  RenumberByKey(tidcount, counts, tidnewid, tidoldid);
  ArenaRelease(tidcount);
  RenumberByKey(itemsize, itemsupport, itemnewid, itemoldid);
}

void Transactiondb::PrepareDB(int** records) {
  itemnum = static_cast<int>(std::count_if(itemnewid, itemnewid + itemsize,
                                           [](int id) { return id != -1; }));
  tidnum = static_cast<int>(std::count_if(tidnewid, tidnewid + tidcount,
                                          [](int id) { return id != -1; }));
  tranlistpage = PoolStartChain(tranpool);
  for (int t = 0; t < tidnum; t++) {
    int* record = records[tidoldid[t]];
    int count = record[kCount];
    int* list = PoolTake(tranpool, count + 1);
    list[0] = count;
    int n = 0;
    for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
      if (record[s] >= 0) list[++n] = itemnewid[record[s]];
    }
    std::sort(list + 1, list + 1 + count);
    tranlist[t] = list;
  }
  PoolEndPermanentChain(tranpool);
#ifndef NDEBUG
  if (graphtype == 1) {
    assert(tidnum == itemnum);
    for (int k = 0; k < tidnum; k++) assert(tidoldid[k] == itemoldid[k]);
  }
#endif
}

void Transactiondb::InitialiseItemlist() {
  itemarrays.entries = itemnum;
  itemarrays.free = nullptr;
  itempool.free = nullptr;
  itemlist = itemnum > 0 ? new int*[itemnum]() : nullptr;
  int longest = 0;
  for (int i = 0; i < itemnum; i++) longest = std::max(longest, itemsupport[itemoldid[i]]);
  itempool.ints = std::max(kPageInts, longest + 1);
  outsidemark = new int[size_t(tidnum) + 1]();
}

void Transactiondb::PrepareItemlist() {
  ArenaCheck check;
  int* fill = ArenaTake(itemnum);
  itemlistpage = PoolStartChain(itempool);
  for (int i = 0; i < itemnum; i++) {
    int support = itemsupport[itemoldid[i]];
    itemlist[i] = PoolTake(itempool, support + 1);
    itemlist[i][0] = support;
    fill[i] = 1;
  }
  for (int t = 0; t < tidnum; t++) {
    for (int s = 1; s <= tranlist[t][0]; s++) {
      int x = tranlist[t][s];
      itemlist[x][fill[x]++] = t;
    }
  }
  PoolEndPermanentChain(itempool);
  ArenaRelease(itemnum);
}

int Transactiondb::Start() {
  tree.Initialize(itemnum + 1, tidnum + 1);
  if (UsesExactSearch()) {
    MineExact();
  } else {
    MineTolerance();
  }
  // The progress numbers go out before the results, which may share their file.
  fflush(stdout);
  int written = tree.FinalOutput(itemoldid, tidoldid);
  tree.FreeTree();
  return written ? tree.resultnum : -1;
}

bool Transactiondb::UsesExactSearch() const {
  if (search != kSearchAuto) return search == kSearchExact;
  return quasibiclique::InExactRegime(item_supportLevel, itemTolerance, transactionTolerance,
                                      transaction_supportLevel);
}

// The tolerance walk from every start item.
void Transactiondb::MineTolerance() {
  ArenaCheck check;
  int* alltids = ArenaTake(tidnum);
  std::iota(alltids, alltids + tidnum, 0);
  for (int i = 0; i <= static_cast<long long>(itemnum) - item_supportLevel; i++) {
    if (PassesItemTest(itemlist[i][0])) Enumeratecdb(tranlist, tidnum, i, itemlist, alltids);
  }
  ArenaRelease(tidnum);
}

namespace {

// Stores each pair the exact search hands over in the result tree.
class TreeSink final : public quasibiclique::PairSink {
 public:
  explicit TreeSink(Tree& tree) : tree_(tree) {}
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    // AddSet only reads the lists, though it takes them as int*.
    tree_.AddSet(const_cast<int*>(tids), ntids, const_cast<int*>(items), nitems);
  }

 private:
  Tree& tree_;
};

}  // namespace

// The exact search hands each maximal pair to the result tree, which orders
// the output (and, for graph type 1, keeps one orientation of each pair)
// exactly as for the tolerance walk. It reads both orientations of the
// database as loaded: tranlist and the itemlist built by PrepareItemlist.
void Transactiondb::MineExact() {
  const quasibiclique::ExactInput input{
      tidnum, itemnum, tranlist, itemlist, item_supportLevel, itemTolerance, transactionTolerance,
      transaction_supportLevel, graphtype == 1};
  TreeSink sink(tree);
  quasibiclique::EnumerateMaximalPairs(input, sink);
}

void Transactiondb::FreeMem() {
  ArenaDestroy();
  FreeIntPages(tranpool.free, nullptr);
  FreeIntPages(itempool.free, nullptr);
  tranpool.free = itempool.free = nullptr;
  FreeIntPages(tranlistpage, nullptr);
  FreeIntPages(itemlistpage, nullptr);
  tranlistpage = itemlistpage = nullptr;
  FreePointerArrays(tidarrays);
  FreePointerArrays(itemarrays);
  delete[] tranlist;
  delete[] itemlist;
  delete[] outsidemark;
  tranlist = itemlist = nullptr;
  outsidemark = nullptr;
}

LoadResult LoadDatabase(const Parameters& p, Data& data) {
  LoadResult result;
  result.readstatus = data.FindVertexNum();
  if (result.readstatus != Data::kOk) {
    result.readerror = errno;
    result.errorline = data.ErrorLine();
    return result;
  }
  result.lines = data.Lines();
  graphtype = p.graphtype;
  if (!ArenaCreate()) OutOfMemory("the int arena cannot be reserved");
  auto db = std::make_unique<Transactiondb>(p, data);
  result.loadstatus = db->FillTran(data);
  data.Release();
  if (result.loadstatus != kLoadOk) {
    result.errorline = db->loaderrorline;
    result.errorvalue = db->loaderrorvalue;
    db->FreeMem();
    return result;
  }
  db->InitialiseItemlist();
  db->PrepareItemlist();
  result.db = std::move(db);
  return result;
}

// Loading: reading the dataset into transaction records, refusing what the
// graph type does not allow, pruning what cannot be part of a result,
// renumbering, and building the transaction and item lists.
#include "database.h"

#include <algorithm>
#include <cassert>
#include <numeric>

#include "memory_status.h"

namespace quasibiclique {

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

// Counting sort of the ids 0..n-1 with key[id] >= 1 by ascending key; among
// equal keys the higher id comes first. Writes both directions of the map.
void RenumberByKey(int n, const int* key, int* newid, int* oldid) {
  int largest = 0;
  for (int id = 0; id < n; id++) largest = std::max(largest, key[id]);
  std::vector<int> position(size_t(largest) + 1, 0);
  for (int id = 0; id < n; id++) {
    if (key[id] > 0) position[key[id]]++;
  }
  std::partial_sum(position.begin(), position.end(), position.begin());
  for (int id = 0; id < n; id++) {
    if (key[id] <= 0) continue;
    int renumbered = --position[key[id]];
    oldid[renumbered] = id;
    newid[id] = renumbered;
  }
}

// One load: the scratch records and maps of the dataset as read, and the
// database they become.
class Loader {
 public:
  Loader(const Options& options, const Data& data, Database::Rep& rep);
  Status Fill(Data& data, const std::string& name);

 private:
  Status ReadRecords(Data& data, const std::string& name);
  Status CheckSymmetric(const std::string& name);
  void CountSupports();
  void Pruning();
  void CountingSortAscending();
  void PrepareDB();
  void PrepareItemlist();

  Database::Rep& rep_;
  bool undirected_;
  // A line (live transaction) is cut when its count is below
  // transactionbound_, an item when its support is below itembound_.
  long long transactionbound_;
  long long itembound_;
  std::vector<int*> records_;     // tidcount scratch records, in tranpool
  std::vector<int> itemsupport_;  // itemsize: per old item, live transactions holding it
  std::vector<int> tidnewid_;     // tidcount: old tid -> new tid, -1 if pruned
  std::vector<int> itemnewid_;    // itemsize: old item -> new item, -1 if pruned
  std::vector<int> tidoldid_;     // tidcount: new tid -> old tid, -1 from tidnum on
  std::vector<int> itemoldid_;    // itemsize: new item -> old item, -1 from itemnum on
};

Loader::Loader(const Options& options, const Data& data, Database::Rep& rep)
    : rep_(rep), undirected_(options.graphtype == kUndirected) {
  rep_.options = options;
  rep_.tidcount = data.Lines();
  rep_.itemsize = undirected_ ? data.Lines() : data.ItemSize();
  transactionbound_ =
      static_cast<long long>(options.item_supportLevel) - options.transactionTolerance;
  itembound_ = static_cast<long long>(options.transaction_supportLevel) - options.itemTolerance;
  if (undirected_) {
    // A vertex is both a transaction and an item: one bound for both sides
    // keeps the two numberings identical.
    transactionbound_ = itembound_ = std::min(transactionbound_, itembound_);
  }
  rep_.tranpool.ints = std::max(kPageInts, data.LongestLine() + kFirstSlot);
  records_.assign(rep_.tidcount, nullptr);
  itemsupport_.assign(rep_.itemsize, 0);
  tidnewid_.assign(rep_.tidcount, -1);
  tidoldid_.assign(rep_.tidcount, -1);
  itemnewid_.assign(rep_.itemsize, -1);
  itemoldid_.assign(rep_.itemsize, -1);
}

Status Loader::Fill(Data& data, const std::string& name) {
  PagePool& pool = rep_.tranpool;
  IntPage* first = PoolStartChain(pool);
  Status status = ReadRecords(data, name);
  data.Release();
  if (status.ok() && undirected_) status = CheckSymmetric(name);
  if (!status.ok()) return status;
  CountSupports();
  Pruning();
  CountingSortAscending();
  IntPage* last = pool.page;
  PrepareDB();
  PoolReleaseChain(pool, first, last);
  FreeUnusedPages(pool);  // the scratch records are not needed again
  PrepareItemlist();
  return status;
}

// Reads the tidcount lines that FindVertexNum counted, from the same copy of
// the file: no line is longer than a page and no number reaches itemsize.
Status Loader::ReadRecords(Data& data, const std::string& name) {
  std::vector<int> line;
  const int tidcount = rep_.tidcount;
  for (int k = 0; k < tidcount; k++) {
    data.ReadLine(line);
    if (undirected_) {
      for (int v : line) {
        if (v >= tidcount) {
          return Status::Corruption(name + ":" + std::to_string(k + 1) + ": vertex id " +
                                    std::to_string(v) + " is not below the number of lines (" +
                                    std::to_string(tidcount) + ")");
        }
      }
      line.erase(std::remove(line.begin(), line.end(), k), line.end());  // self loop
    }
    int m = SortDistinct(line);
    assert(m + kFirstSlot <= rep_.tranpool.ints);
    int* record = PoolTake(rep_.tranpool, m + kFirstSlot);
    record[kCount] = m;
    record[kSlots] = m;
    std::copy(line.begin(), line.end(), record + kFirstSlot);
    records_[k] = record;
  }
  return Status::OK();
}

// Graph type 1: every edge must be listed by both of its vertices.
Status Loader::CheckSymmetric(const std::string& name) {
  for (int u = 0; u < rep_.tidcount; u++) {
    const int* record = records_[u];
    for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
      const int v = record[s];
      const int* other = records_[v];
      if (std::binary_search(other + kFirstSlot, other + kFirstSlot + other[kSlots], u)) continue;
      const std::string us = std::to_string(u), vs = std::to_string(v);
      return Status::Corruption(name + ":" + std::to_string(u + 1) + ": vertex " + us + " lists " +
                                vs + " but vertex " + vs + " does not list " + us);
    }
  }
  return Status::OK();
}

// Cuts the lines too short to reach item_supportLevel, counts the supports of
// the others, then cuts the items too rare to reach transaction_supportLevel.
void Loader::CountSupports() {
  for (int* record : records_) {
    if (record[kCount] < transactionbound_) {
      record[kCount] = 0;
      continue;
    }
    for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) itemsupport_[record[s]]++;
  }
  for (int& support : itemsupport_) {
    if (support < itembound_) support = 0;
  }
}

// Alternates transaction and item passes until neither removes anything.
void Loader::Pruning() {
  // Item sweep: carry out the item cut of the loading on the records.
  for (int* record : records_) {
    if (record[kCount] == 0) continue;
    for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
      if (record[s] >= 0 && itemsupport_[record[s]] == 0) {
        record[s] = -1;
        record[kCount]--;
      }
    }
  }
  for (bool itempassran = false;; itempassran = true) {
    int emptied = 0;
    for (int* record : records_) {
      if (record[kCount] == 0 || record[kCount] >= transactionbound_) continue;
      for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
        if (record[s] >= 0) itemsupport_[record[s]]--;
      }
      record[kCount] = 0;
      emptied++;
    }
    if (emptied == 0 && itempassran) return;
    int removed = 0;
    for (int* record : records_) {
      if (record[kCount] == 0) continue;
      for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
        int x = record[s];
        if (x < 0 || itemsupport_[x] >= itembound_) continue;
        itemsupport_[x]--;
        record[s] = -1;
        record[kCount]--;
        removed++;
      }
    }
    if (removed == 0) return;
  }
}

void Loader::CountingSortAscending() {
  std::vector<int> counts(rep_.tidcount);
  for (int t = 0; t < rep_.tidcount; t++) counts[t] = records_[t][kCount];
  RenumberByKey(rep_.tidcount, counts.data(), tidnewid_.data(), tidoldid_.data());
  RenumberByKey(rep_.itemsize, itemsupport_.data(), itemnewid_.data(), itemoldid_.data());
}

// The transaction lists in new ids, each ascending, as a permanent chain.
void Loader::PrepareDB() {
  auto kept = [](int id) { return id != -1; };
  rep_.itemnum = static_cast<int>(std::count_if(itemnewid_.begin(), itemnewid_.end(), kept));
  rep_.tidnum = static_cast<int>(std::count_if(tidnewid_.begin(), tidnewid_.end(), kept));
  rep_.tidoldid.assign(tidoldid_.begin(), tidoldid_.begin() + rep_.tidnum);
  rep_.itemoldid.assign(itemoldid_.begin(), itemoldid_.begin() + rep_.itemnum);
  rep_.tranlist = new int*[size_t(rep_.tidnum) + 1]();
  PoolStartChain(rep_.tranpool);
  for (int t = 0; t < rep_.tidnum; t++) {
    const int* record = records_[rep_.tidoldid[t]];
    const int count = record[kCount];
    int* list = PoolTake(rep_.tranpool, count + 1);
    list[0] = count;
    int n = 0;
    for (int s = kFirstSlot; s < kFirstSlot + record[kSlots]; s++) {
      if (record[s] >= 0) list[++n] = itemnewid_[record[s]];
    }
    std::sort(list + 1, list + 1 + count);
    rep_.tranlist[t] = list;
  }
  PoolEndPermanentChain(rep_.tranpool);
#ifndef NDEBUG
  if (undirected_) {
    assert(rep_.tidnum == rep_.itemnum);
    for (int k = 0; k < rep_.tidnum; k++) assert(rep_.tidoldid[k] == rep_.itemoldid[k]);
  }
#endif
}

// The item lists in new tids, each ascending, as a permanent chain.
void Loader::PrepareItemlist() {
  const int itemnum = rep_.itemnum;
  rep_.itemlist = new int*[size_t(itemnum) + 1]();
  int longest = 0;
  for (int i = 0; i < itemnum; i++) longest = std::max(longest, itemsupport_[rep_.itemoldid[i]]);
  rep_.itempool.ints = std::max(kPageInts, longest + 1);
  std::vector<int> fill(itemnum, 1);
  PoolStartChain(rep_.itempool);
  for (int i = 0; i < itemnum; i++) {
    const int support = itemsupport_[rep_.itemoldid[i]];
    rep_.itemlist[i] = PoolTake(rep_.itempool, support + 1);
    rep_.itemlist[i][0] = support;
  }
  for (int t = 0; t < rep_.tidnum; t++) {
    for (int s = 1; s <= rep_.tranlist[t][0]; s++) {
      const int x = rep_.tranlist[t][s];
      rep_.itemlist[x][fill[x]++] = t;
    }
  }
  PoolEndPermanentChain(rep_.itempool);
}

}  // namespace

namespace {

// Replaces the text of `data`, written in the labelled `format`, with its
// conversion to the default format, and gives the labels to `rep`.
Status ConvertText(Data& data, const std::string& name, DatasetFormat format,
                   GraphType graphtype, Database::Rep& rep) {
  Status status = data.ReadText(name);
  if (!status.ok()) return status;
  LabelledText labelled;
  const std::vector<char>& text = data.Text();
  status = ConvertLabelled(text.data(), text.size(), format, graphtype, name, &labelled);
  if (!status.ok()) return status;
  data.ReplaceText(std::move(labelled.lines));
  rep.tidlabels = std::move(labelled.tids);
  rep.itemlabels = std::move(labelled.items);
  return Status::OK();
}

}  // namespace

Status DatabaseLoader::Load(Data& data, const std::string& name, const Options& options,
                            std::unique_ptr<Database>* db, DatasetFormat format) {
  return GuardMemory([&] {
    auto rep = std::make_unique<Database::Rep>();
    rep->format = format;
    if (format != kFormatLines) {
      Status converted = ConvertText(data, name, format, options.graphtype, *rep);
      if (!converted.ok()) return converted;
    }
    Status read = data.FindVertexNum(name);
    if (!read.ok()) return read;
    Status status = Loader(options, data, *rep).Fill(data, name);
    if (status.ok()) db->reset(new Database(std::move(rep)));
    return status;
  });
}

// ---------------------------------------------------------------------------
// The public face of a loaded database
// ---------------------------------------------------------------------------

Database::Database(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
Database::~Database() = default;

int Database::lines() const { return rep_->tidcount; }
int Database::transactions() const { return rep_->tidnum; }
int Database::items() const { return rep_->itemnum; }
const Options& Database::options() const { return rep_->options; }

bool Database::labelled() const { return rep_->format != kFormatLines; }

namespace {

std::string LabelOf(const Labels& labels, int id) {
  return labels.empty() ? std::to_string(id) : std::string(labels[id]);
}

}  // namespace

std::string Database::transaction_label(int tid) const { return LabelOf(rep_->tidlabels, tid); }
std::string Database::item_label(int item) const { return LabelOf(rep_->itemlabels, item); }

Status Database::FromFile(const std::string& path, const Options& options,
                          std::unique_ptr<Database>* db, DatasetFormat format) {
  Data data(path.c_str());
  if (!data.Opened()) return Status::NotFound(path + " could not be opened!");
  return DatabaseLoader::Load(data, path, options, db, format);
}

Status Database::FromBuffer(const char* text, size_t size, const Options& options,
                            std::unique_ptr<Database>* db) {
  return GuardMemory([&] {
    Data data(text, size);
    return DatabaseLoader::Load(data, "<buffer>", options, db);
  });
}

// The lists are written as dataset text, one line each, so that they are
// read by exactly the rules of a file.
Status Database::FromTransactions(const std::vector<std::vector<int>>& transactions,
                                  const Options& options, std::unique_ptr<Database>* db) {
  std::string text;
  for (size_t k = 0; k < transactions.size(); k++) {
    for (int id : transactions[k]) {
      if (id < 0 || id > kLargestNumber) {
        return Status::InvalidArgument("transaction " + std::to_string(k) + ": item " +
                                       std::to_string(id) + " is not in 0 .. " +
                                       std::to_string(kLargestNumber));
      }
      text += std::to_string(id);
      text += ' ';
    }
    if (k + 1 < transactions.size()) text += '\n';
  }
  return FromBuffer(text.data(), text.size(), options, db);
}

}  // namespace quasibiclique

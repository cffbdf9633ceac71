// Loading of the database: reading, removal of repeated numbers
// and self loops, the pruning cascade, renumbering, tranlist and itemlist.
// Every load is compared with the test model's reading and pruning. Also the
// progress numbers of the loaded database's result store, and loading
// through the labelled formats.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <cstring>
#include <memory>

#include "database.h"
#include "gzip_util.h"
#include "model.h"
#include "test_util.h"

namespace {

using namespace quasibiclique;
using Lists = std::vector<std::vector<int>>;

struct Loaded {
  Status status;
  int tidnum = 0, itemnum = 0;
  std::vector<int> tidoldid, tidnewid, itemoldid, itemnewid;
  Lists tranlist, itemlist;  // counted lists as stored
  int tranpoolints = 0, itempoolints = 0;
};

// Both directions of a map from new ids to old ids, over `size` old ids.
void Maps(const std::vector<int>& kept, int size, std::vector<int>& oldid,
          std::vector<int>& newid) {
  oldid.assign(size, -1);
  newid.assign(size, -1);
  for (size_t k = 0; k < kept.size(); k++) oldid[k] = kept[k], newid[kept[k]] = int(k);
}

// Loads `content` the way the driver does and copies out what loading built.
Loaded Load(const std::string& content, int type, Parameters p) {
  qbtest::TempDir dir;
  Data data(dir.Write("d.txt", content).c_str());
  p.graphtype = GraphType(type);
  std::unique_ptr<Database> db;
  Loaded r;
  r.status = DatabaseLoader::Load(data, "d.txt", p, &db);
  if (!db) return r;
  const Database::Rep& rep = db->rep();
  r.tidnum = rep.tidnum;
  r.itemnum = rep.itemnum;
  Maps(rep.tidoldid, rep.tidcount, r.tidoldid, r.tidnewid);
  Maps(rep.itemoldid, rep.itemsize, r.itemoldid, r.itemnewid);
  for (int t = 0; t < rep.tidnum; t++)
    r.tranlist.emplace_back(rep.tranlist[t], rep.tranlist[t] + rep.tranlist[t][0] + 1);
  for (int x = 0; x < rep.itemnum; x++)
    r.itemlist.emplace_back(rep.itemlist[x], rep.itemlist[x] + rep.itemlist[x][0] + 1);
  r.tranpoolints = rep.tranpool.ints;
  r.itempoolints = rep.itempool.ints;
  return r;
}

// The test model's reading and pruning, then the renumbering: ids ascend by
// count, ties by descending old id; empty lines and unused items get no id.
Loaded Model(const std::string& content, int type, Parameters p) {
  p.graphtype = GraphType(type);
  const qbtest::Rows rows = qbtest::Distinct(qbtest::ReadReference(content).lines, type);
  const int n = int(rows.size());
  int m = n;  // graph type 1: the vertices; graph type 0: the largest number + 1
  if (type == 0) {
    m = 1;
    for (const auto& row : rows) {
      for (int x : row) m = std::max(m, x + 1);
    }
  }
  const qbtest::Core core = qbtest::LiveCore(rows, m, p);
  auto renumber = [](int size, const std::vector<char>& live, const std::vector<int>& key,
                     std::vector<int>& oldid, std::vector<int>& newid) {
    std::vector<int> ids;
    for (int id = size - 1; id >= 0; id--)
      if (live[id] && key[id] > 0) ids.push_back(id);
    std::stable_sort(ids.begin(), ids.end(), [&](int a, int b) { return key[a] < key[b]; });
    oldid.assign(size, -1);
    newid.assign(size, -1);
    for (size_t k = 0; k < ids.size(); k++) oldid[k] = ids[k], newid[ids[k]] = int(k);
    return int(ids.size());
  };
  Loaded r;
  r.tidnum = renumber(n, core.line, core.count, r.tidoldid, r.tidnewid);
  r.itemnum = renumber(m, core.item, core.support, r.itemoldid, r.itemnewid);
  r.itemlist.assign(r.itemnum, {0});
  for (int k = 0; k < r.tidnum; k++) {
    std::vector<int> list = {0};
    for (int x : rows[r.tidoldid[k]])
      if (core.item[x]) list.push_back(r.itemnewid[x]);
    list[0] = int(list.size()) - 1;
    std::sort(list.begin() + 1, list.end());
    for (size_t s = 1; s < list.size(); s++) {
      r.itemlist[list[s]].push_back(k);
      r.itemlist[list[s]][0]++;
    }
    r.tranlist.push_back(list);
  }
  return r;
}

void ExpectSameAsModel(const std::string& content, int type, Parameters p, const Loaded& got) {
  Loaded want = Model(content, type, p);
  ASSERT_TRUE(got.status.ok()) << got.status.message();
  EXPECT_EQ(got.tidnum, want.tidnum);
  EXPECT_EQ(got.itemnum, want.itemnum);
  EXPECT_EQ(got.tidoldid, want.tidoldid);
  EXPECT_EQ(got.tidnewid, want.tidnewid);
  EXPECT_EQ(got.itemoldid, want.itemoldid);
  EXPECT_EQ(got.itemnewid, want.itemnewid);
  EXPECT_EQ(got.tranlist, want.tranlist);
  EXPECT_EQ(got.itemlist, want.itemlist);
  if (type == 1) {
    EXPECT_EQ(got.tidnum, got.itemnum);
    for (int k = 0; k < got.tidnum; k++) EXPECT_EQ(got.tidoldid[k], got.itemoldid[k]) << k;
  }
}

struct LoadCase {
  const char* name;
  std::string content;
  int type;
  Parameters params;
  std::vector<int> tidoldid, itemoldid;
  Lists tranlist;
};

TEST(LoadDatabase, PrunesRenumbersAndBuildsLists) {
  const LoadCase cases[] = {
      {"counts 3,1,3", "0 1 2\n0\n0 1 2", 0, {1, 0, 0, 1},
       {1, 2, 0}, {2, 1, 0}, {{1, 2}, {3, 0, 1, 2}, {3, 0, 1, 2}}},
      // Counted twice, the repeat would make the two lines tie at 3.
      {"repeated numbers kept once", "1 1 2\n1 2 3\n", 0, {1, 0, 0, 1},
       {0, 1, -1}, {3, 2, 1, -1}, {{2, 1, 2}, {3, 0, 1, 2}}},
      {"cascade over four rounds", "0 1\n1 2\n2 3\n3 4\n4 5\n4 5", 0, {2, 0, 0, 2},
       {5, 4, -1, -1, -1, -1}, {5, 4, -1, -1, -1, -1}, {{2, 0, 1}, {2, 0, 1}}},
      {"tolerances lower the bounds", "0 1\n1 2\n2 3\n3 4\n4 5\n4 5", 0, {2, 1, 0, 2},
       {5, 4, 3, 2, 1, 0}, {0, 5, 3, 2, 1, 4},
       {{2, 1, 5}, {2, 1, 5}, {2, 2, 5}, {2, 2, 3}, {2, 3, 4}, {2, 0, 4}}},
      {"everything pruned", "0 1\n1 2", 0, {3, 0, 0, 1}, {-1, -1}, {-1, -1, -1}, {}},
      {"ids above the line count", "7 9\n9 7 9", 0, {2, 0, 0, 2},
       {1, 0}, {9, 7, -1, -1, -1, -1, -1, -1, -1, -1}, {{2, 0, 1}, {2, 0, 1}}},
      {"leading empty line", "\n4 5\n4 5", 0, {2, 0, 0, 2},
       {2, 1, -1}, {5, 4, -1, -1, -1, -1}, {{2, 0, 1}, {2, 0, 1}}},
      {"minus joins two lines", "1 -\n2\n1 2", 0, {2, 0, 0, 2},
       {1, 0}, {2, 1, -1}, {{2, 0, 1}, {2, 0, 1}}},
      // Undirected: vertex 0 lists itself; one bound min(3 - 0, 2 - 0) = 2
      // serves both sides (separate bounds would keep nothing).
      {"undirected, one bound", "0 1 2 3\n0 2\n0 1\n0", 1, {3, 0, 0, 2},
       {2, 1, 0, -1}, {2, 1, 0, -1}, {{2, 1, 2}, {2, 0, 2}, {2, 0, 1}}},
      {"undirected, bound from items", "0 1 2 3\n0 2\n0 1\n0", 1, {2, 3, 0, 5},
       {2, 1, 0, -1}, {2, 1, 0, -1}, {{2, 1, 2}, {2, 0, 2}, {2, 0, 1}}},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Loaded got = Load(c.content, c.type, c.params);
    ASSERT_TRUE(got.status.ok()) << got.status.message();
    EXPECT_EQ(got.tidoldid, c.tidoldid);
    EXPECT_EQ(got.itemoldid, c.itemoldid);
    EXPECT_EQ(got.tranlist, c.tranlist);
    ExpectSameAsModel(c.content, c.type, c.params, got);
  }
}

// A refused dataset comes back without a database and with one message
// naming the file, the line and what is wrong.
TEST(LoadDatabase, RefusalsNameTheLineAndTheVertices) {
  struct Case {
    std::string content;
    int type;
    std::string message;
  };
  const Case cases[] = {
      {"1\n0 5\n", 1, "d.txt:2: vertex id 5 is not below the number of lines (3)"},
      {"1\n0 3", 1, "d.txt:2: vertex id 3 is not below the number of lines (2)"},
      {"1\n\n", 1, "d.txt:1: vertex 0 lists 1 but vertex 1 does not list 0"},
      {"1\n0\n0", 1, "d.txt:3: vertex 2 lists 0 but vertex 0 does not list 2"},
      {"1\n2 99999999999\n", 0, "d.txt:2: number too large (the largest allowed is 2147483646)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    Loaded got = Load(c.content, c.type, {1, 0, 0, 1});
    EXPECT_EQ(got.status.code(), Status::kCorruption);
    EXPECT_EQ(got.status.message(), c.message);
    EXPECT_EQ(got.tidnum, 0);
  }
  // The same files are fine as bipartite graphs.
  EXPECT_TRUE(Load("1\n0 5\n", 0, {1, 0, 0, 1}).status.ok());
  EXPECT_TRUE(Load("1\n\n", 0, {1, 0, 0, 1}).status.ok());

  qbtest::TempDir dir;
  Data directory(dir.path().c_str());
  if (directory.Opened()) {  // a directory opens on Linux but cannot be read
    std::unique_ptr<Database> db;
    Status s = DatabaseLoader::Load(directory, "dir", {1, 0, 0, 1}, &db);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(s.message(), "dir:1: cannot read the dataset: " + std::string(strerror(EISDIR)));
  }
}

TEST(LoadDatabase, RecordsLongerThanADefaultPage) {
  std::string wide;  // three lines of 20,000 numbers
  for (int line = 0; line < 3; line++) {
    for (int x = 0; x < 20000; x++) wide += std::to_string(x) + (x < 19999 ? " " : "");
    if (line < 2) wide += "\n";
  }
  Loaded got = Load(wide, 0, {1, 0, 0, 1});
  ASSERT_TRUE(got.status.ok());
  EXPECT_EQ(got.tidnum, 3);
  EXPECT_EQ(got.itemnum, 20000);
  EXPECT_GE(got.tranpoolints, 20001);
  ExpectSameAsModel(wide, 0, {1, 0, 0, 1}, got);

  std::string tall;  // item 3 on 6,000 lines
  for (int line = 0; line < 6000; line++) tall += line % 2 ? "3\n" : "3 4\n";
  got = Load(tall, 0, {1, 0, 0, 2});
  ASSERT_TRUE(got.status.ok());
  ASSERT_EQ(got.itemnum, 2);
  EXPECT_EQ(got.itemlist[1][0], 6000);
  EXPECT_GE(got.itempoolints, 6001);
  ExpectSameAsModel(tall, 0, {1, 0, 0, 2}, got);
}

// Seeded random datasets of both graph types against the model.
TEST(LoadDatabase, RandomDatasetsMatchTheModel) {
  std::mt19937 rng(20240611);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < 300; round++) {
    int type = round % 2, n = pick(1, 9), m = type ? n : pick(1, 10);
    std::vector<std::vector<int>> lines(n);
    for (int t = 0; t < n; t++) {
      for (int x = 0; x < m; x++) {
        if (type == 1 && x < t) continue;  // the upper triangle decides
        if (pick(0, 99) < 45) {
          lines[t].push_back(x);
          if (type == 1 && x != t) lines[x].push_back(t);
        }
      }
    }
    std::string content;
    for (int t = 0; t < n; t++) {
      std::vector<int>& line = lines[t];
      std::shuffle(line.begin(), line.end(), rng);
      if (!line.empty() && pick(0, 3) == 0) line.push_back(line[0]);  // a repeat
      for (size_t s = 0; s < line.size(); s++) content += (s ? " " : "") + std::to_string(line[s]);
      if (t + 1 < n) content += "\n";
    }
    Parameters p{pick(1, 4), pick(0, 2), pick(0, 2), pick(0, 4)};
    SCOPED_TRACE("graph type " + std::to_string(type) + ", parameters " +
                 std::to_string(p.item_supportLevel) + " " + std::to_string(p.itemTolerance) +
                 " " + std::to_string(p.transactionTolerance) + " " +
                 std::to_string(p.transaction_supportLevel) + ", dataset:\n" + content);
    ExpectSameAsModel(content, type, p, Load(content, type, p));
    if (HasFailure()) break;
  }
}

// ---------------------------------------------------------------------------
// Labelled formats
// ---------------------------------------------------------------------------

// A result as sets of labels, whatever the ids behind them.
using LabelledResult = std::pair<std::set<std::string>, std::set<std::string>>;
using LabelledResults = std::set<LabelledResult>;
using Namer = std::function<std::string(int)>;

class LabellingSink : public ResultSink {
 public:
  LabellingSink(Namer tid, Namer item) : tid_(std::move(tid)), item_(std::move(item)) {}
  void Add(const int* transactions, int ntransactions, const int* items, int nitems) override {
    LabelledResult result;
    for (int k = 0; k < ntransactions; k++) result.first.insert(tid_(transactions[k]));
    for (int k = 0; k < nitems; k++) result.second.insert(item_(items[k]));
    results.insert(result);
  }
  LabelledResults results;

 private:
  Namer tid_, item_;
};

// Mines the dataset at `path`, written in `format`, with each result's ids
// named by `tid` and `item`, or by the database's labels when they are null.
LabelledResults MineNamed(const std::string& path, DatasetFormat format, const Options& options,
                          Namer tid = nullptr, Namer item = nullptr) {
  std::unique_ptr<Database> db;
  Status s = Database::FromFile(path, options, &db, format);
  EXPECT_TRUE(s.ok()) << s.message();
  if (!s.ok()) return {};
  const Database* loaded = db.get();
  if (!tid) tid = [loaded](int t) { return loaded->transaction_label(t); };
  if (!item) item = [loaded](int x) { return loaded->item_label(x); };
  LabellingSink sink(tid, item);
  s = Mine(*db, options, sink);
  EXPECT_TRUE(s.ok()) << s.message();
  return sink.results;
}

Namer NamesOf(std::vector<std::string> names) {
  return [names = std::move(names)](int id) { return names.at(id); };
}

// A labelled dataset mines to the results of the same dataset written as
// numbered lines (in another numbering), once both are named by labels.
TEST(LoadLabelled, MinesLikeTheSameLinesText) {
  struct Case {
    const char* name;
    DatasetFormat format;
    std::string text;
    bool gzip;
    std::string lines;  // the same dataset in the default format
    std::vector<std::string> tidnames, itemnames;  // the labels of its numbers
    Options options;
  };
  const std::string shop =
      "%% purchases\n% customer product weight\n"
      "alice bread 3\nalice milk 1\nbob bread\nbob milk\nbob milk\n"
      "carol bread\ncarol milk\ncarol eggs\ndave eggs\n";
  const std::string shoplines = "0\n2 1 0\n2 1\n2 1";
  const std::vector<std::string> customers = {"dave", "carol", "bob", "alice"};
  const std::vector<std::string> products = {"eggs", "milk", "bread"};
  const std::vector<std::string> vertices = {"x", "w", "v", "u", "y"};
  const std::vector<std::string> numbers = {"1", "2", "3", "4"};
  const Case cases[] = {
      {"edge list", kFormatEdges, shop, false, shoplines, customers, products, {2, 1, 1, 2}},
      {"compressed edge list", kFormatEdges, shop, true, shoplines, customers, products,
       {2, 0, 0, 2}},
      {"undirected edge list", kFormatEdges,
       "# undirected\nu v\nv w\nw u\nx u\nx v\nv u\ny y\n", false,
       "3 2\n2 3\n3 1 0\n2 1 0\n", vertices, vertices, {2, 0, 0, 2, kUndirected}},
      {"symmetric matrix", kFormatMtx,
       "%%MatrixMarket matrix coordinate integer symmetric\n% c\n4 4 5\n1 1 1\n2 1 1\n"
       "3 1 1\n3 2 1\n4 4 1\n",
       false, "0 1 2\n0 2\n0 1\n3", numbers, numbers, {2, 1, 0, 2}},
      {"baskets", kFormatBaskets, "bread milk\n# c\nmilk bread eggs\nbread milk\neggs\n",
       false, "0 1\n\n1 0 2\n0 1\n2\n", {"0", "1", "2", "3", "4", "5"},
       {"bread", "milk", "eggs"}, {2, 0, 0, 2}},
  };
  qbtest::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string labelled = dir.Write("d", c.gzip ? qbtest::Gzip(c.text) : c.text);
    const LabelledResults want = MineNamed(dir.Write("lines.txt", c.lines), kFormatLines,
                                           c.options, NamesOf(c.tidnames),
                                           NamesOf(c.itemnames));
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(MineNamed(labelled, c.format, c.options), want);
  }
}

TEST(LoadLabelled, LabelsOfEachFormat) {
  struct Case {
    DatasetFormat format;
    std::string text;
    bool labelled;
    std::vector<std::string> tids, items;  // labels of ids 0, 1, ...
  };
  const Case cases[] = {
      {kFormatLines, "4 9\n4", false, {"0", "1"}, {"0", "1", "2"}},  // the ids themselves
      {kFormatEdges, "# c\nann x\nbo y\nann y", true, {"ann", "bo"}, {"x", "y"}},
      {kFormatMtx, "%%MatrixMarket matrix coordinate pattern general\n2 3 1\n2 3", true,
       {"1", "2"}, {"1", "2", "3"}},
      {kFormatBaskets, "p q\n\nq r", true, {"0", "1", "2"}, {"p", "q", "r"}},
  };
  qbtest::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromFile(dir.Write("d", c.text), {1, 0, 0, 1}, &db, c.format).ok());
    EXPECT_EQ(db->labelled(), c.labelled);
    for (size_t k = 0; k < c.tids.size(); k++) EXPECT_EQ(db->transaction_label(int(k)), c.tids[k]);
    for (size_t k = 0; k < c.items.size(); k++) EXPECT_EQ(db->item_label(int(k)), c.items[k]);
  }
}

// The lines of a converted edge list: repeated edges and graph type 1's
// mirrored edges count once in the loaded lists.
TEST(LoadLabelled, RepeatedEdgesCountOnce) {
  qbtest::TempDir dir;
  const std::string path = dir.Write("d", "a b\na b\nb a\na c\n");
  for (GraphType type : {kBipartite, kUndirected}) {
    SCOPED_TRACE(type);
    Options options{1, 0, 0, 1, type};
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromFile(path, options, &db, kFormatEdges).ok());
    const Database::Rep& rep = db->rep();
    int entries = 0;
    for (int t = 0; t < rep.tidnum; t++) entries += rep.tranlist[t][0];
    EXPECT_EQ(entries, type == kBipartite ? 3 : 4);  // a:{b,c} b:{a}; a:{b,c} b:{a} c:{a}
  }
}

TEST(LoadLabelled, RefusalsNameTheFileLineAndField) {
  struct Case {
    DatasetFormat format;
    GraphType type;
    std::string content;
    Status::Code code;
    std::string message;  // after the file's path
  };
  const std::string truncated = qbtest::Gzip("a b\nc d\n").substr(0, 7);  // cut in the header
  const Case cases[] = {
      {kFormatEdges, kBipartite, "a b\n\nc\n", Status::kCorruption,
       ":3: field 2: missing end point"},
      {kFormatMtx, kUndirected, "%%MatrixMarket matrix coordinate real general\n2 3 0\n",
       Status::kCorruption, ":2: graphType 1 needs a square matrix (2 x 3)"},
      {kFormatBaskets, kUndirected, "a b", Status::kInvalidArgument,
       "--format=baskets needs graphType 0"},
      {kFormatEdges, kBipartite, truncated, Status::kCorruption,
       ":1: cannot read the dataset: the gzip data ends early (truncated)"},
  };
  qbtest::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string path = dir.Write("d", c.content);
    std::unique_ptr<Database> db;
    const Status s = Database::FromFile(path, {1, 0, 0, 1, c.type}, &db, c.format);
    EXPECT_EQ(s.code(), c.code);
    const std::string message = c.code == Status::kCorruption ? path + c.message : c.message;
    EXPECT_EQ(s.message(), message);
    EXPECT_EQ(db, nullptr);
  }
}

}  // namespace

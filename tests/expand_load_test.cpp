// Loading of the transaction database: reading, removal of repeated numbers
// and self loops, the pruning cascade, renumbering, tranlist and itemlist.
// Every load is compared with the test model's reading and pruning. Also the
// progress numbers of the loaded database's result store.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "expand.h"
#include "model.h"
#include "test_util.h"

namespace {

using Lists = std::vector<std::vector<int>>;

struct Loaded {
  LoadStatus status = kLoadOk;
  int errorline = 0, errorvalue = 0;
  int tidnum = 0, itemnum = 0;
  std::vector<int> tidoldid, tidnewid, itemoldid, itemnewid;
  Lists tranlist, itemlist;  // counted lists as stored
  bool unusednull = true;    // tranlist entries from tidnum on are null
  int tranpoolints = 0, itempoolints = 0;
};

// Loads `content` the way the driver does and copies out what loading built.
Loaded Load(const std::string& content, int type, Parameters p) {
  qbtest::TempDir dir;
  Data data(dir.Write("d.txt", content).c_str());
  p.graphtype = type;
  LoadResult loaded = LoadDatabase(p, data);
  EXPECT_EQ(loaded.readstatus, Data::kOk);
  Loaded r;
  r.status = loaded.loadstatus;
  r.errorline = loaded.errorline;
  r.errorvalue = loaded.errorvalue;
  if (loaded.db) {
    Transactiondb& db = *loaded.db;
    const int vertexnum = db.tidcount, itemsize = db.itemsize;
    r.tidnum = db.tidnum;
    r.itemnum = db.itemnum;
    r.tidoldid.assign(db.tidoldid, db.tidoldid + vertexnum);
    r.tidnewid.assign(db.tidnewid, db.tidnewid + vertexnum);
    r.itemoldid.assign(db.itemoldid, db.itemoldid + itemsize);
    r.itemnewid.assign(db.itemnewid, db.itemnewid + itemsize);
    for (int t = 0; t < db.tidnum; t++)
      r.tranlist.emplace_back(db.tranlist[t], db.tranlist[t] + db.tranlist[t][0] + 1);
    for (int t = db.tidnum; t <= vertexnum && vertexnum > 0; t++)
      r.unusednull = r.unusednull && db.tranlist[t] == nullptr;
    for (int x = 0; x < db.itemnum; x++)
      r.itemlist.emplace_back(db.itemlist[x], db.itemlist[x] + db.itemlist[x][0] + 1);
    r.tranpoolints = db.tranpool.ints;
    r.itempoolints = db.itempool.ints;
    db.FreeMem();
  }
  graphtype = 0;
  return r;
}

// The test model's reading and pruning, then the renumbering: ids ascend by
// count, ties by descending old id; empty lines and unused items get no id.
Loaded Model(const std::string& content, int type, Parameters p) {
  p.graphtype = type;
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
  ASSERT_EQ(got.status, kLoadOk);
  EXPECT_EQ(got.tidnum, want.tidnum);
  EXPECT_EQ(got.itemnum, want.itemnum);
  EXPECT_EQ(got.tidoldid, want.tidoldid);
  EXPECT_EQ(got.tidnewid, want.tidnewid);
  EXPECT_EQ(got.itemoldid, want.itemoldid);
  EXPECT_EQ(got.itemnewid, want.itemnewid);
  EXPECT_EQ(got.tranlist, want.tranlist);
  EXPECT_EQ(got.itemlist, want.itemlist);
  EXPECT_TRUE(got.unusednull);
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
    ASSERT_EQ(got.status, kLoadOk);
    EXPECT_EQ(got.tidoldid, c.tidoldid);
    EXPECT_EQ(got.itemoldid, c.itemoldid);
    EXPECT_EQ(got.tranlist, c.tranlist);
    ExpectSameAsModel(c.content, c.type, c.params, got);
  }
}

TEST(LoadDatabase, RefusesBadUndirectedGraphs) {
  struct Case {
    std::string content;
    LoadStatus status;
    int line, value;
  };
  const Case cases[] = {
      {"1\n0 5\n", kLoadVertexOutOfRange, 2, 5},
      {"1\n0 3", kLoadVertexOutOfRange, 2, 3},
      {"1\n\n", kLoadAsymmetric, 1, 1},
      {"1\n0\n0", kLoadAsymmetric, 3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    Loaded got = Load(c.content, 1, {1, 0, 0, 1});
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.errorline, c.line);
    EXPECT_EQ(got.errorvalue, c.value);
  }
  // The same files are fine as bipartite graphs.
  EXPECT_EQ(Load("1\n0 5\n", 0, {1, 0, 0, 1}).status, kLoadOk);
  EXPECT_EQ(Load("1\n\n", 0, {1, 0, 0, 1}).status, kLoadOk);
}

// A dataset refused by the reader or by the loader comes back without a
// database, with the reason and the line, and with nothing of the arena held.
TEST(LoadDatabase, RefusalsHoldNoMemory) {
  struct Case {
    std::string content;
    int type;
    Data::Status read;
    LoadStatus load;
    int line;
  };
  const Case cases[] = {
      {"1\n2 99999999999\n", 0, Data::kNumberTooLarge, kLoadOk, 2},
      {"1\n0 5\n", 1, Data::kOk, kLoadVertexOutOfRange, 2},
      {"1\n0\n0", 1, Data::kOk, kLoadAsymmetric, 3},
  };
  qbtest::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    Data data(dir.Write("d.txt", c.content).c_str());
    LoadResult r = LoadDatabase({1, 0, 0, 1, c.type}, data);
    EXPECT_EQ(r.db, nullptr);
    EXPECT_EQ(r.readstatus, c.read);
    EXPECT_EQ(r.loadstatus, c.load);
    EXPECT_EQ(r.errorline, c.line);
    EXPECT_EQ(Arraypage, nullptr);
  }
  Data directory(dir.path().c_str());
  if (directory.Opened()) {  // a directory opens on Linux but cannot be read
    LoadResult r = LoadDatabase({1, 0, 0, 1, 0}, directory);
    EXPECT_EQ(r.db, nullptr);
    EXPECT_EQ(r.readstatus, Data::kReadError);
    EXPECT_EQ(r.readerror, EISDIR);
  }
  graphtype = 0;
}

TEST(LoadDatabase, RecordsLongerThanADefaultPage) {
  std::string wide;  // three lines of 20,000 numbers
  for (int line = 0; line < 3; line++) {
    for (int x = 0; x < 20000; x++) wide += std::to_string(x) + (x < 19999 ? " " : "");
    if (line < 2) wide += "\n";
  }
  Loaded got = Load(wide, 0, {1, 0, 0, 1});
  ASSERT_EQ(got.status, kLoadOk);
  EXPECT_EQ(got.tidnum, 3);
  EXPECT_EQ(got.itemnum, 20000);
  EXPECT_GE(got.tranpoolints, 20001);
  ExpectSameAsModel(wide, 0, {1, 0, 0, 1}, got);

  std::string tall;  // item 3 on 6,000 lines
  for (int line = 0; line < 6000; line++) tall += line % 2 ? "3\n" : "3 4\n";
  got = Load(tall, 0, {1, 0, 0, 2});
  ASSERT_EQ(got.status, kLoadOk);
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

// The loaded database's result store prints each progress number followed by
// a tab on standard output, and flushes it at once: it reaches the file
// behind standard output before anything else flushes it.
TEST(LoadDatabase, ProgressIsPrintedAndFlushedAtOnce) {
  qbtest::TempDir dir;
  Data data(dir.Write("d.txt", "0 1\n0 1\n").c_str());
  LoadResult loaded = LoadDatabase({1, 0, 0, 1, 0}, data);
  ASSERT_NE(loaded.db, nullptr);
  const int tids[] = {0, 1};
  auto add = [&](int from, int to) {
    for (int i = from; i < to; i++) loaded.db->results.Add(tids, 2, &i, 1);
  };
  auto flushed = [] {  // bytes that reached the file behind standard output
    struct stat info;
    return fstat(STDOUT_FILENO, &info) == 0 ? static_cast<long long>(info.st_size) : -1;
  };
  ::testing::internal::CaptureStdout();
  add(0, 999);
  const long long before = flushed();
  add(999, 1000);
  const long long first = flushed();
  add(1000, 2000);
  const long long second = flushed();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "1001\t2001\t");
  EXPECT_EQ(before, 0);
  EXPECT_EQ(first, 5);  // "1001\t"
  EXPECT_EQ(second, 10);
  loaded.db->FreeMem();
}

}  // namespace

// Unit tests of the result writer: taking a store over, the output walk and
// line format, mapped and sorted ids, the mirror prune of undirected graphs,
// write failures, and the delivery of the same results to a sink.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "result_store.h"
#include "result_test_util.h"
#include "result_writer.h"

namespace {

using quasibiclique::IdTexts;
using quasibiclique::OutputWalk;
using quasibiclique::PairSink;
using quasibiclique::ResultStore;
using quasibiclique::ResultWriter;
using qbtest::Add;
using qbtest::Identity;
using qbtest::Ids;
using qbtest::Line;
using qbtest::Result;
using qbtest::WriteOut;

TEST(WriterOutput, TakesOverTheWholeStore) {
  ResultStore store;
  Add(store, {0, 1}, {2, 3});
  Add(store, {0, 1, 2}, {4});
  ASSERT_GT(store.TrieBytes(), 0u);
  ASSERT_GT(store.TidsetBytes(), 0u);
  ResultWriter writer(store, false);
  EXPECT_EQ(store.root(), nullptr);
  EXPECT_EQ(store.TrieBytes(), 0u);
  EXPECT_EQ(store.TidsetBytes(), 0u);
  EXPECT_EQ(WriteOut(writer), Line({0, 1}, {2, 3}) + Line({0, 1, 2}, {4}));
  EXPECT_EQ(writer.lines(), 2);
  EXPECT_EQ(WriteOut(writer), Line({0, 1}, {2, 3}) + Line({0, 1, 2}, {4}));  // again, whole
  EXPECT_EQ(writer.lines(), 2);
}

TEST(WriterOutput, WalkOrderAndTidsetOrder) {
  ResultStore store;
  Add(store, {2, 3}, {2});
  Add(store, {4, 5}, {1, 3});
  Add(store, {2, 3}, {1});
  Add(store, {0, 4}, {1});
  Add(store, {6, 7}, {1, 2, 3});
  Add(store, {0, 1, 5}, {1});
  Add(store, {8, 9}, {1, 2});
  ResultWriter writer(store, false);
  EXPECT_EQ(WriteOut(writer), Line({0, 1, 5}, {1}) + Line({0, 4}, {1}) + Line({2, 3}, {1}) +
                                  Line({6, 7}, {1, 2, 3}) + Line({8, 9}, {1, 2}) +
                                  Line({4, 5}, {1, 3}) + Line({2, 3}, {2}));
  EXPECT_EQ(writer.lines(), 7);
}

TEST(WriterOutput, MapsAndSortsIdsInBothGraphTypes) {
  for (bool undirected : {false, true}) {
    ResultStore t;
    Add(t, {0, 2}, {1, 4});
    Add(t, {1}, {0});  // a single tid: neither written nor counted
    ResultWriter writer(t, undirected);
    EXPECT_EQ(WriteOut(writer, {5, 10, 6, 8, 2}, {7, 9, 3, 11, 12}), "3 7 ;2 10 \n")
        << "undirected " << undirected;
    EXPECT_EQ(writer.lines(), 1);
    ResultStore empty;
    ResultWriter none(empty, undirected);
    EXPECT_EQ(WriteOut(none), "");
    EXPECT_EQ(none.lines(), 0);
  }
}

// Failures are found whether the lines fit in one block of the output buffer
// or fill several; every line is still counted. What the file's own buffer
// still holds fails when the caller closes it.
TEST(WriterOutput, FailingWriteIsReported) {
  for (auto [results, ntids] : {std::pair{1, 2}, std::pair{3000, 2}, std::pair{8, 100000}}) {
    const int ids = results + ntids;
    ResultStore t;
    for (int i = 0; i < results; i++) {
      Ids tids(ntids);
      std::iota(tids.begin(), tids.end(), i);
      Add(t, tids, {i});
    }
    ResultWriter writer(t, false);
    FILE* file = fopen("/dev/full", "w");
    ASSERT_NE(file, nullptr);
    Ids items = Identity(ids), tids = Identity(ids);
    const int error = writer.WriteText(file, tids.data(), ids, items.data(), ids);
    const int closed = fclose(file) == 0 ? 0 : errno;
    EXPECT_EQ(error ? error : closed, ENOSPC) << results << " results";
    if (results > 1) {
      EXPECT_EQ(error, ENOSPC) << "lines beyond the file's buffer fail in WriteText";
    }
    EXPECT_EQ(writer.lines(), results);
  }
}

// Mapped lists come out ascending whether they are dense in their range of
// old ids, sparse, or hold an id twice (a map that is not one-to-one).
TEST(WriterOutput, SortsMappedListsOfEveryShape) {
  ResultStore store;
  Add(store, {0, 1, 2, 3}, {0, 1, 2});
  Add(store, {0, 1}, {3, 4});
  Ids itemoldid = Identity(), tidoldid = Identity();
  itemoldid[0] = itemoldid[1] = 7;
  itemoldid[2] = 3;
  itemoldid[3] = 60;
  itemoldid[4] = 2;
  tidoldid[0] = 2000000000;
  tidoldid[1] = 5;
  tidoldid[2] = 70000;
  tidoldid[3] = 6;
  EXPECT_EQ(WriteOut(store, false, itemoldid, tidoldid),
            "5 6 70000 2000000000 ;3 7 7 \n5 2000000000 ;2 60 \n");
}

// Lists of every length up to 80 ids, spread over 20,000 ids or clustered in
// a window twice their length, with old ids that keep the new ids' order,
// reverse it, shuffle it, are drawn at random or repeat: each line must hold
// the mapped lists ascending, whichever way the writer orders a list.
TEST(WriterOutput, MappedListsOfAnyLengthAndSpreadComeOutAscending) {
  constexpr int kIds = 20000;
  std::mt19937 rng(11);
  for (int shape = 0; shape < 5; shape++) {
    Ids tidoldid(kIds);
    for (int i = 0; i < kIds; i++) {
      switch (shape) {
        case 0: tidoldid[i] = 3 * i; break;
        case 1: tidoldid[i] = kIds - i; break;
        case 2: tidoldid[i] = i; break;
        case 3: tidoldid[i] = static_cast<int>(rng() % 1000000000); break;
        case 4: tidoldid[i] = static_cast<int>(rng() % 40); break;  // repeats
      }
    }
    if (shape == 2) std::shuffle(tidoldid.begin(), tidoldid.end(), rng);
    ResultStore t;
    std::string expected;
    for (int n = 1; n <= 80; n++) {
      for (int clustered = 0; clustered < 2; clustered++) {
        const int window = clustered ? 2 * n : kIds;
        const int from = static_cast<int>(rng() % (kIds - window + 1));
        Ids pick(window);
        std::iota(pick.begin(), pick.end(), from);
        std::shuffle(pick.begin(), pick.end(), rng);
        Ids tids(pick.begin(), pick.begin() + n);
        std::sort(tids.begin(), tids.end());
        const Ids items = {2 * n + clustered};
        Add(t, tids, items);
        if (n < 2) continue;
        Ids mapped;
        for (int tid : tids) mapped.push_back(tidoldid[tid]);
        std::sort(mapped.begin(), mapped.end());
        expected += Line(mapped, items);
      }
    }
    EXPECT_EQ(WriteOut(t, false, Identity(kIds), tidoldid), expected) << "shape " << shape;
  }
}

// Runs work on a thread with a 1 MiB stack, where recursion that grows with a
// tidset's length or a level's width overflows.
void OnSmallStack(std::function<void()> work) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 1 << 20), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &work), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

// Tidsets of about 1,000,000 tids (extended, replaced and branched inside
// their run) and a level of 150,000 itemsets under one parent, stored, pruned
// as an undirected graph and written. Old tids are the new ones reversed, so
// each line is mapped and re-sorted.
TEST(WriterOutput, LongTidsetsAndWideLevelsNeedNoDeepRecursion) {
  constexpr int kLong = 1000000, kWide = 150000, kIds = 2 * kLong + 2;
  Ids evens, branch;
  for (int i = 0; i < kLong; i++) evens.push_back(2 * i);
  branch.assign(evens.begin(), evens.begin() + kLong / 2);
  for (int i = kLong / 2; i < kLong; i++) branch.push_back(2 * i + 1);
  Ids tidoldid(kIds);
  for (int i = 0; i < kIds; i++) tidoldid[i] = kIds - 1 - i;
  auto line = [&](Ids tids, const Ids& items) {
    for (int& tid : tids) tid = tidoldid[tid];
    std::sort(tids.begin(), tids.end());
    return Line(tids, items);
  };
  std::string expected = line(evens, {0}) + line(branch, {0});
  for (int i = 0; i < kWide; i++) expected += line({i, i + 1}, {1, 2 + i});

  ResultStore t;
  std::string text;
  int lines = 0;
  OnSmallStack([&] {
    Add(t, Ids(evens.begin() + kLong / 4, evens.end() - 1), {0});
    Add(t, Ids(evens.begin(), evens.end() - 1), {0});  // replaces the one before
    Add(t, evens, {0});                                 // extends its run
    Add(t, branch, {0});                                // leaves it half way
    for (int i = 0; i < kWide; i++) Add(t, {i, i + 1}, {1, 2 + i});
    ResultWriter writer(t, true);
    text = WriteOut(writer, Identity(kIds), tidoldid);
    lines = writer.lines();
  });
  EXPECT_EQ(lines, 2 + kWide);
  EXPECT_TRUE(text == expected) << "output differs; sizes " << text.size() << " and "
                                << expected.size();
}

// Itemsets in the order of the output walk: by first item; the one-item
// itemset first; below it, the trie in post-order (deeper itemsets before
// their prefix, siblings ascending).
bool WalkOrder(const Ids& a, const Ids& b) {
  if (a[0] != b[0]) return a[0] < b[0];
  if (a.size() == 1 || b.size() == 1) return a.size() < b.size();
  const size_t common = std::min(a.size(), b.size());
  if (std::equal(a.begin(), a.begin() + common, b.begin())) return a.size() > b.size();
  return a < b;
}

// Many parents whose child lists range from one node to hundreds, on every
// level, inserted in random order: the output is every itemset once, in walk
// order, whatever the order in which the layout finished the lists.
TEST(WriterOutput, WideAndUnevenTriesComeOutInWalkOrder) {
  std::mt19937 rng(7);
  for (int round = 0; round < 4; round++) {
    std::set<Ids> itemsets;
    for (int k = 0; k < 3000; k++) {
      Ids items;
      const int first = static_cast<int>(rng() % 40);
      const int length = 1 + static_cast<int>(rng() % 4);
      // Small first items get long lists below them, large ones short lists.
      const int spread = first < 4 ? 300 : 3 + first % 5;
      for (int i = 0, item = first; i < length; i++) {
        items.push_back(item);
        item += 1 + static_cast<int>(rng() % spread);
      }
      itemsets.insert(items);
    }
    std::vector<Ids> order(itemsets.begin(), itemsets.end());
    std::shuffle(order.begin(), order.end(), rng);
    ResultStore t;
    for (const Ids& items : order) Add(t, {0, 1 + items.back()}, items);
    std::sort(order.begin(), order.end(), WalkOrder);
    std::string expected;
    for (const Ids& items : order) expected += Line({0, 1 + items.back()}, items);
    ASSERT_TRUE(WriteOut(t, false, Identity(1500), Identity(1500)) == expected)
        << "round " << round;
  }
}

struct PruneCase {
  const char* name;
  std::vector<Result> stored;
  std::vector<Result> written;  // in walk order
};

TEST(WriterPrune, MirroredResults) {
  const std::vector<PruneCase> cases = {
      {"exact mirrors: the later one stays",
       {{{2, 3}, {0, 1}}, {{0, 1}, {2, 3}}}, {{{0, 1}, {2, 3}}}},
      {"a tidset that only begins with the mirror",
       {{{2, 3}, {0, 1}}, {{0, 1, 4}, {2, 3}}}, {{{2, 3}, {0, 1}}, {{0, 1, 4}, {2, 3}}}},
      {"mirror itemset only a prefix of a longer one",
       {{{2, 3}, {0, 1}}, {{0, 1}, {2, 3, 4}}}, {{{2, 3}, {0, 1}}, {{0, 1}, {2, 3, 4}}}},
      {"a single-vertex side is never a mirror",
       {{{0, 1}, {2}}, {{2}, {0, 1}}}, {{{0, 1}, {2}}}},
      {"adjacent leaves both mirrored",
       {{{2, 3, 4}, {0, 1}}, {{2, 3, 5}, {0, 1}}, {{0, 1}, {2, 3, 4}}, {{0, 1}, {2, 3, 5}}},
       {{{0, 1}, {2, 3, 4}}, {{0, 1}, {2, 3, 5}}}},
      {"a removed mirror leaves its itemset without tidsets",
       {{{1, 2}, {5}}, {{5, 6}, {1, 2}}, {{1, 2}, {5, 6}}}, {{{1, 2}, {5}}, {{1, 2}, {5, 6}}}},
      {"below the top level the deeper itemset is examined first",
       {{{0, 1, 2}, {0, 1}}, {{0, 1}, {0, 1, 2}}}, {{{0, 1, 2}, {0, 1}}}},
      {"a result equal to its own mirror",
       {{{0, 1}, {0, 1}}, {{2, 3}, {0, 1}}}, {{{2, 3}, {0, 1}}}},
  };
  for (const PruneCase& c : cases) {
    ResultStore t;
    for (const Result& r : c.stored) Add(t, r.first, r.second);
    std::string expected;
    for (const Result& r : c.written) expected += Line(r.first, r.second);
    ResultWriter writer(t, true);
    EXPECT_EQ(WriteOut(writer), expected) << c.name;
    EXPECT_EQ(writer.lines(), static_cast<int>(c.written.size())) << c.name;
  }
}

// Up to 40 results over 8 vertices, some with their mirror.
std::vector<Result> DrawResults(std::mt19937& rng) {
  std::vector<Result> results;
  const int n = 1 + static_cast<int>(rng() % 40);
  auto draw = [&rng]() {
    Ids ids;
    for (int v = 0; v < 8; v++)
      if (rng() % 3 == 0) ids.push_back(v);
    if (ids.empty()) ids.push_back(static_cast<int>(rng() % 8));
    return ids;
  };
  for (int i = 0; i < n; i++) {
    results.push_back({draw(), draw()});
    if (rng() % 3 == 0) results.push_back({results.back().second, results.back().first});
  }
  return results;
}

// Seeded results over 8 vertices, stored and written as an undirected graph
// (and as a bipartite one) against a model: the maximal tidsets per itemset,
// walked in output order, each tidset dropped when the store still holds its
// mirror exactly. The whole text is compared, so the walk order is too.
TEST(WriterPrune, RandomisedAgainstModel) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 300; round++) {
    const bool undirected = round % 2;
    const std::vector<Result> results = DrawResults(rng);
    std::map<Ids, std::set<Ids>> model;
    for (const Result& r : results) qbtest::ModelAdd(model, r);
    std::vector<Ids> order;
    for (const auto& entry : model) order.push_back(entry.first);
    std::sort(order.begin(), order.end(), WalkOrder);
    if (undirected) {
      for (const Ids& items : order) {
        std::set<Ids>& kept = model[items];
        for (auto it = kept.begin(); it != kept.end();) {
          auto mirror = model.find(*it);
          const bool drop = it->size() >= 2 && items.size() >= 2 && mirror != model.end() &&
                            mirror->second.count(items);
          it = drop ? kept.erase(it) : std::next(it);
        }
      }
    }
    std::string expected;
    for (const Ids& items : order)
      for (const Ids& tids : model[items])
        if (tids.size() >= 2) expected += Line(tids, items);

    ResultStore t;
    for (const Result& r : results) Add(t, r.first, r.second);
    ASSERT_EQ(WriteOut(t, undirected, Identity(8), Identity(8)), expected) << "round " << round;
  }
}

TEST(WriterPrune, BipartiteKeepsMirrors) {
  ResultStore store;
  Add(store, {2, 3}, {0, 1});
  Add(store, {0, 1}, {2, 3});
  ResultWriter writer(store, false);
  EXPECT_EQ(WriteOut(writer), Line({2, 3}, {0, 1}) + Line({0, 1}, {2, 3}));
  EXPECT_EQ(writer.lines(), 2);
}

// Every pair a sink receives, as the text line it stands for.
class LineSink : public PairSink {
 public:
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    text += Line(Ids(tids, tids + ntids), Ids(items, items + nitems));
  }
  std::string text;
};

// Delivery hands over what the text shows, in the same order: the same
// results (single-tid ones neither), the same mirror prune, the same old ids
// in the same order, maps that repeat an old id included, and counts them.
TEST(WriterDeliver, SameResultsAndOrderAsTheText) {
  std::mt19937 rng(4);
  int total = 0;
  for (int round = 0; round < 200; round++) {
    const bool undirected = round % 2;
    Ids tidoldid(8), itemoldid(8);
    for (int v = 0; v < 8; v++) {
      tidoldid[v] = static_cast<int>(rng() % (round % 3 ? 1000 : 6));  // repeats when small
      itemoldid[v] = static_cast<int>(rng() % 1000);
    }
    ResultStore store;
    for (const Result& r : DrawResults(rng)) Add(store, r.first, r.second);
    ResultWriter writer(store, undirected);
    LineSink sink;
    writer.Deliver(sink, tidoldid.data(), 8, itemoldid.data(), 8);
    const int delivered = writer.lines();
    const std::string text = WriteOut(writer, itemoldid, tidoldid);
    ASSERT_EQ(sink.text, text) << "round " << round;
    ASSERT_EQ(delivered, std::count(text.begin(), text.end(), '\n')) << "round " << round;
    total += delivered;
  }
  EXPECT_GT(total, 1000);  // the rounds hold results to compare
}

// Itemsets of one to five items below forty first items, long child lists
// under the small ones, each with one to three tidsets of one to five tids
// (single tids are stored but never written).
ResultStore& FillUnevenStore(std::mt19937& rng, ResultStore& store) {
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int k = 0; k < 2000; k++) {
    Ids items;
    const int first = uniform(0, 39), length = uniform(1, 5);
    const int spread = first < 3 ? 200 : 2 + first % 4;
    for (int i = 0, item = first; i < length; i++, item += uniform(1, spread)) items.push_back(item);
    for (int t = uniform(1, 3); t > 0; t--) {
      std::set<int> tids;
      for (int n = uniform(1, 5); n > 0; n--) tids.insert(uniform(0, 29));
      Add(store, Ids(tids.begin(), tids.end()), items);
    }
  }
  return store;
}

// The walk cut into parts of any size: the texts of the parts, formatted in
// any order by walks that each format several parts, and joined in the
// order of the parts, are the whole text, and their lines are its lines.
TEST(WriterParts, PartsJoinIntoTheWholeTextInAnyOrder) {
  std::mt19937 rng(12);
  Ids tidoldid(30), itemoldid(1100);
  for (int t = 0; t < 30; t++) tidoldid[t] = 1000 - 7 * t;
  for (int i = 0; i < 1100; i++) itemoldid[i] = (i * 389) % 1100;
  IdTexts ids;
  ids.Build(tidoldid.data(), 30, itemoldid.data(), 1100);
  for (int round = 0; round < 4; round++) {
    ResultStore store;
    ResultWriter writer(FillUnevenStore(rng, store), round % 2);
    const std::string whole = WriteOut(writer, itemoldid, tidoldid);
    const int lines = writer.lines();
    ASSERT_GT(lines, 1000);
    EXPECT_EQ(writer.CutWalk(1).size(), writer.nodes());  // a node per part
    EXPECT_EQ(writer.CutWalk(SIZE_MAX).size(), 1u);
    for (size_t nodes : {1, 2, 5, 40, 700}) {
      const std::vector<ResultWriter::WalkPart> parts = writer.CutWalk(nodes);
      std::vector<size_t> order(parts.size());
      std::iota(order.begin(), order.end(), 0);
      std::shuffle(order.begin(), order.end(), rng);
      std::vector<std::string> texts(parts.size());
      OutputWalk walks[2];
      int partlines = 0;
      for (size_t k = 0; k < order.size(); k++) {
        const size_t p = order[k];
        partlines += writer.FormatPart(parts[p], walks[k % 2], ids,
                                       [&](const char* text, size_t size) {
                                         texts[p].append(text, size);
                                       });
      }
      std::string joined;
      for (const std::string& text : texts) joined += text;
      ASSERT_TRUE(joined == whole) << "round " << round << ", parts of " << nodes << " nodes";
      EXPECT_EQ(partlines, lines);
    }
  }
}

}  // namespace

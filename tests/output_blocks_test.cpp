// The output cut into blocks: the bounds, the bytes counted before the
// lines are written, and blocks written one after the other giving the file
// of a single store, mirrors of undirected graphs included.
#include "output_blocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "database.h"
#include "miner.h"
#include "model.h"
#include "result_shards.h"
#include "result_store.h"
#include "result_writer.h"
#include "test_util.h"

namespace {

using namespace quasibiclique;
using qbtest::Rows;

struct Pair {
  std::vector<int> tids, items;
};

class PairList final : public PairSink {
 public:
  void Add(const int* tids, int ntids, const int* items, int nitems) override {
    pairs.push_back({{tids, tids + ntids}, {items, items + nitems}});
  }
  std::vector<Pair> pairs;
};

void AddTo(ResultStore& store, const Pair& pair) {
  store.Add(pair.tids.data(), static_cast<int>(pair.tids.size()), pair.items.data(),
            static_cast<int>(pair.items.size()));
}

// What writer writes in the ids of rep.
std::string TextOf(ResultWriter& writer, const Database::Rep& rep) {
  char* text = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&text, &size);
  EXPECT_EQ(writer.WriteText(file, rep.tidoldid.data(), rep.tidnum, rep.itemoldid.data(),
                             rep.itemnum),
            0);
  fclose(file);
  std::string out(text, size);
  free(text);
  return out;
}

std::vector<long long> WeightsOf(const std::vector<Pair>& pairs, int itemnum) {
  std::vector<long long> weights(size_t(itemnum), 0);
  for (const Pair& p : pairs) weights[size_t(p.items[0])] += 2 + p.tids.size() + p.items.size();
  return weights;
}

TEST(BlockBounds, CoverEveryItemOnceInOrderAndShareTheWeight) {
  std::mt19937 rng(9);
  for (int round = 0; round < 200; round++) {
    const int items = std::uniform_int_distribution<int>(0, 40)(rng);
    const int blocks = std::uniform_int_distribution<int>(1, 9)(rng);
    std::vector<long long> weights(static_cast<size_t>(items));
    for (long long& w : weights) w = std::uniform_int_distribution<int>(0, 3)(rng) ? rng() % 50 : 0;
    const std::vector<int> bounds = BlockBounds(weights, blocks);
    ASSERT_EQ(bounds.size(), size_t(blocks) + 1);
    EXPECT_EQ(bounds.front(), 0);
    EXPECT_EQ(bounds.back(), items);
    EXPECT_TRUE(std::is_sorted(bounds.begin(), bounds.end()));
    const long long total = std::accumulate(weights.begin(), weights.end(), 0LL);
    const long long heaviest = items ? *std::max_element(weights.begin(), weights.end()) : 0;
    for (int b = 0; b < blocks; b++) {
      const long long weight = std::accumulate(weights.begin() + bounds[b],
                                               weights.begin() + bounds[b + 1], 0LL);
      // A block passes its share by at most the item that reached it.
      EXPECT_LE(weight, (total + blocks - 1) / blocks + heaviest) << "block " << b;
      for (int item = bounds[b]; item < bounds[b + 1]; item++) {
        EXPECT_EQ(BlockOf(bounds, item), b) << "item " << item;
      }
    }
  }
}

// Mines rows, keeps every pair, and compares the single store's file with
// the blocks for 1 to 4 processes written one after the other, each from a
// store of its own pairs, pruned by the rule across blocks, its bytes and
// lines counted before it is written.
void ExpectBlocksMakeTheFile(const Rows& rows, const Options& options, const std::string& what) {
  std::unique_ptr<Database> db;
  ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok()) << what;
  const Database::Rep& rep = db->rep();
  PairList found;
  ASSERT_TRUE(MineInto(*db, options, found).ok()) << what;
  ResultStore one;
  for (const Pair& p : found.pairs) AddTo(one, p);
  ResultWriter whole(one, rep.undirected());
  const std::string want = TextOf(whole, rep);
  const std::vector<long long> weights = WeightsOf(found.pairs, rep.itemnum);
  for (int blocks = 1; blocks <= 4; blocks++) {
    const std::vector<int> bounds = BlockBounds(weights, blocks);
    std::string got;
    for (int b = 0; b < blocks; b++) {
      ResultStore store;
      for (const Pair& p : found.pairs) {
        if (BlockOf(bounds, p.items[0]) == b) AddTo(store, p);
      }
      ResultWriter writer(store, false);
      if (rep.undirected()) writer.PruneWhere(ExactSearchMirrorDrop(*db, options));
      const BlockSize size = SizeOfLines(writer, rep);
      const std::string text = TextOf(writer, rep);
      EXPECT_EQ(size.bytes, static_cast<long long>(text.size())) << what << ", block " << b;
      EXPECT_EQ(size.lines, std::count(text.begin(), text.end(), '\n')) << what;
      got += text;
    }
    EXPECT_EQ(got, want) << what << " in " << blocks << " blocks";
  }
}

TEST(OutputBlocks, WrittenInOrderTheyAreTheFileOfOneStore) {
  std::mt19937 rng(20261209);
  int results = 0;
  for (int round = 0; round < 60; round++) {
    const GraphType graph = round % 2 ? kUndirected : kBipartite;
    const Rows rows = qbtest::RandomRows(rng, graph);
    for (int tolerance = 0; tolerance <= 1; tolerance++) {
      Options options{1 + tolerance, tolerance, tolerance, 2, graph, kSearchExact};
      options.threads = 1;
      ExpectBlocksMakeTheFile(rows, options,
                              "round " + std::to_string(round) + ", tolerance " +
                                  std::to_string(tolerance));
      results += !HasFatalFailure();
    }
  }
  EXPECT_GT(results, 0);
}

TEST(OutputBlocks, ShardsHandTheirPairsOverInTheOrderOfTheLines) {
  std::mt19937 rng(5);
  for (int round = 0; round < 20; round++) {
    const Rows rows = qbtest::RandomRows(rng, kBipartite);
    Options options{1, 1, 1, 2, kBipartite, kSearchExact};
    options.threads = 1;
    std::unique_ptr<Database> db;
    ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
    PairList found;
    ASSERT_TRUE(MineInto(*db, options, found).ok());
    ResultStore one;
    ResultShards shards(db->rep().itemnum, 3, ResultShards::Arrival::kAnyOrder);
    for (const Pair& p : found.pairs) {
      AddTo(one, p);
      shards.Add(p.tids.data(), static_cast<int>(p.tids.size()), p.items.data(),
                 static_cast<int>(p.items.size()));
    }
    PairList want, got;
    ResultWriter writer(one, false);
    writer.HandOver(want);
    shards.HandOverInOrder(got);
    ASSERT_EQ(got.pairs.size(), want.pairs.size()) << "round " << round;
    for (size_t k = 0; k < got.pairs.size(); k++) {
      EXPECT_EQ(got.pairs[k].tids, want.pairs[k].tids) << "round " << round << ", pair " << k;
      EXPECT_EQ(got.pairs[k].items, want.pairs[k].items) << "round " << round << ", pair " << k;
    }
  }
}

// Labels of every length, some longer than any number, from an edge list:
// the bytes counted are those of the program's file.
TEST(OutputBlocks, LineBytesCountLabels) {
  std::string edges;
  std::mt19937 rng(3);
  for (int e = 0; e < 60; e++) {
    const int left = rng() % 9, right = rng() % 7;
    edges += "left" + std::string(size_t(left * 3), 'x') + std::to_string(left) + " r" +
             std::to_string(right) + "\n";
  }
  qbtest::TempDir dir;
  const std::string dataset = dir.Write("d.edges", edges);
  const std::string out = dir.File("out.txt");
  const qbtest::RunResult run = qbtest::RunProgram(
      QB_BINARY, {"--format=edges", "--threads=1", dataset, "2", "1", "1", "2", "0", out}, dir,
      out);
  ASSERT_EQ(run.status, 0) << run.err;
  Data data(dataset.c_str());
  Options options{2, 1, 1, 2, kBipartite, kSearchExact};
  options.threads = 1;
  std::unique_ptr<Database> db;
  ASSERT_TRUE(DatabaseLoader::Load(data, "d.edges", options, &db, kFormatEdges).ok());
  ASSERT_FALSE(db->rep().tidlabels.empty());
  PairList found;
  ASSERT_TRUE(MineInto(*db, options, found).ok());
  ResultStore store;
  for (const Pair& p : found.pairs) AddTo(store, p);
  ResultWriter writer(store, false);
  const BlockSize size = SizeOfLines(writer, db->rep());
  EXPECT_GT(size.lines, 0);
  EXPECT_EQ(size.bytes, static_cast<long long>(run.output.size()));
  EXPECT_EQ(size.lines, std::count(run.output.begin(), run.output.end(), '\n'));
}

}  // namespace

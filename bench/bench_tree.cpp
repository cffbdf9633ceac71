// Result-store benchmarks: inserting 1,000,000 results of realistic shape
// into a ResultStore, and writing 1,000,000 stored results to the output file
// through a ResultWriter (each also at smaller sizes, to show how the cost
// grows).
//
// Shape of a result: an itemset of 2..6 items out of 1,000 and a tidset of
// 2..30 tids out of 100,000, both strictly ascending, drawn uniformly with a
// fixed seed. The insert workload may repeat an itemset (with another tidset),
// as the miner does when tolerances are above 0; the output workload uses
// distinct itemsets so that every result is written (one line each). The
// insert workload is also run in itemset order, for comparison.
//
// tidset_MiB is the memory of the tidset trees (run nodes and tid arrays)
// after the inserts.
//
// The output file goes to $QB_BENCH_OUT (default /tmp/qb_bench_tree_out.txt)
// and is removed at the end when it is a regular file (so /dev/null stays).
// The progress numbers are printed and flushed as the program does, to
// /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "result_store.h"
#include "result_writer.h"

namespace {

using quasibiclique::PairSink;
using quasibiclique::ResultStore;
using quasibiclique::ResultWriter;

constexpr int kItems = 1000;
constexpr int kTids = 100000;

struct Results {
  int n = 0;                                // results
  std::vector<int> items, tids;             // all lists back to back
  std::vector<size_t> itemstart, tidstart;  // n + 1 offsets each
};

// Draws n distinct values out of 0..range-1, ascending.
void Draw(std::mt19937& rng, int n, int range, std::vector<int>& out) {
  std::vector<int> pick;
  while (int(pick.size()) < n) {
    int v = std::uniform_int_distribution<int>(0, range - 1)(rng);
    if (std::find(pick.begin(), pick.end(), v) == pick.end()) pick.push_back(v);
  }
  std::sort(pick.begin(), pick.end());
  out.insert(out.end(), pick.begin(), pick.end());
}

Results Make(unsigned seed, bool distinctitemsets, int n) {
  std::mt19937 rng(seed);
  Results r;
  r.n = n;
  std::set<std::vector<int>> seen;
  r.itemstart.push_back(0);
  r.tidstart.push_back(0);
  for (int k = 0; k < n; k++) {
    for (;;) {
      size_t at = r.items.size();
      Draw(rng, std::uniform_int_distribution<int>(2, 6)(rng), kItems, r.items);
      if (!distinctitemsets) break;
      if (seen.insert(std::vector<int>(r.items.begin() + at, r.items.end())).second) break;
      r.items.resize(at);
    }
    Draw(rng, std::uniform_int_distribution<int>(2, 30)(rng), kTids, r.tids);
    r.itemstart.push_back(r.items.size());
    r.tidstart.push_back(r.tids.size());
  }
  return r;
}

// The same results ordered by itemset, then tidset (lexicographically).
Results Sorted(const Results& r) {
  std::vector<int> order(r.n);
  std::iota(order.begin(), order.end(), 0);
  auto less = [&r](int a, int b) {
    const int* ia = r.items.data();
    if (std::lexicographical_compare(ia + r.itemstart[a], ia + r.itemstart[a + 1],
                                     ia + r.itemstart[b], ia + r.itemstart[b + 1]))
      return true;
    if (std::lexicographical_compare(ia + r.itemstart[b], ia + r.itemstart[b + 1],
                                     ia + r.itemstart[a], ia + r.itemstart[a + 1]))
      return false;
    const int* ta = r.tids.data();
    return std::lexicographical_compare(ta + r.tidstart[a], ta + r.tidstart[a + 1],
                                        ta + r.tidstart[b], ta + r.tidstart[b + 1]);
  };
  std::stable_sort(order.begin(), order.end(), less);
  Results s;
  s.n = r.n;
  s.itemstart.push_back(0);
  s.tidstart.push_back(0);
  for (int k : order) {
    s.items.insert(s.items.end(), r.items.begin() + r.itemstart[k],
                   r.items.begin() + r.itemstart[k + 1]);
    s.tids.insert(s.tids.end(), r.tids.begin() + r.tidstart[k],
                  r.tids.begin() + r.tidstart[k + 1]);
    s.itemstart.push_back(s.items.size());
    s.tidstart.push_back(s.tids.size());
  }
  return s;
}

// The workloads, made once per kind and size.
enum Kind { kRandomOrder, kSortedOrder, kDistinctItemsets };

Results& Workload(Kind kind, int n) {
  static std::vector<Results*> made[3];
  for (Results* r : made[kind])
    if (r->n == n) return *r;
  Results r = kind == kDistinctItemsets ? Make(2, true, n) : Make(1, false, n);
  if (kind == kSortedOrder) r = Sorted(r);
  made[kind].push_back(new Results(std::move(r)));
  return *made[kind].back();
}

void Insert(ResultStore& t, Results& r) {
  for (int k = 0; k < r.n; k++) {
    t.Add(r.tids.data() + r.tidstart[k], int(r.tidstart[k + 1] - r.tidstart[k]),
          r.items.data() + r.itemstart[k], int(r.itemstart[k + 1] - r.itemstart[k]));
  }
}

// The program's progress numbers: tab-terminated, flushed at once.
void PrintProgress(void*, int stored) {
  printf("%d\t", stored);
  fflush(stdout);
}

// Takes the delivered results without keeping them.
class Discard final : public PairSink {
 public:
  void Add(const int*, int, const int*, int) override {}
};

// Sends standard output to /dev/null while alive.
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
    saved_ = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

double PeakRssMiB() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

std::string OutputPath() {
  const char* path = getenv("QB_BENCH_OUT");
  return path && *path ? path : "/tmp/qb_bench_tree_out.txt";
}

void TreeInsert(benchmark::State& state, Kind kind) {
  Results& r = Workload(kind, int(state.range(0)));
  QuietStdout quiet;
  for (auto _ : state) {
    auto t = std::make_unique<ResultStore>(PrintProgress);
    Insert(*t, r);
    state.PauseTiming();
    state.counters["tidset_MiB"] = t->TidsetBytes() / 1048576.0;
    // Count the stored results without writing them.
    std::vector<int> identity(std::max(kItems, kTids));
    std::iota(identity.begin(), identity.end(), 0);
    Discard discard;
    {
      ResultWriter writer(*t, false);
      writer.Deliver(discard, identity.data(), kTids, identity.data(), kItems);
      state.counters["stored"] = writer.lines();
    }
    t.reset();
    state.ResumeTiming();
  }
  state.counters["inserts"] = r.n;
  state.counters["peak_RSS_MiB"] = PeakRssMiB();
}

void BM_TreeInsert(benchmark::State& state) { TreeInsert(state, kRandomOrder); }
void BM_TreeInsertSorted(benchmark::State& state) { TreeInsert(state, kSortedOrder); }

void BM_TreeOutput(benchmark::State& state) {
  Results& r = Workload(kDistinctItemsets, int(state.range(0)));
  ResultStore t(PrintProgress);
  {
    QuietStdout quiet;
    Insert(t, r);
  }
  // New ids map to shuffled old ids, so each line is mapped and sorted.
  std::mt19937 rng(3);
  std::vector<int> itemoldid(kItems), tidoldid(kTids);
  std::iota(itemoldid.begin(), itemoldid.end(), 0);
  std::iota(tidoldid.begin(), tidoldid.end(), 0);
  std::shuffle(itemoldid.begin(), itemoldid.end(), rng);
  std::shuffle(tidoldid.begin(), tidoldid.end(), rng);
  std::string path = OutputPath();
  std::optional<ResultWriter> writer;  // lays the trie out in the first iteration
  long long bytes = 0;
  for (auto _ : state) {
    FILE* file = fopen(path.c_str(), "w");
    if (!file) {
      state.SkipWithError("cannot create the output file");
      break;
    }
    if (!writer) writer.emplace(t, false);
    const int error = writer->WriteText(file, tidoldid.data(), kTids, itemoldid.data(), kItems);
    if (fclose(file) != 0 || error) {
      state.SkipWithError("writing the output file failed");
      break;
    }
    state.PauseTiming();
    struct stat info;
    bytes = stat(path.c_str(), &info) == 0 ? info.st_size : -1;
    if (writer->lines() != r.n) state.SkipWithError("not every result was written");
    state.ResumeTiming();
  }
  const int lines = writer ? writer->lines() : 0;
  writer.reset();
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) remove(path.c_str());
  state.counters["lines"] = lines;
  state.counters["MB_written"] = bytes / 1e6;
  state.counters["peak_RSS_MiB"] = PeakRssMiB();
}

// The argument is the number of results; 1,000,000 is the target size, the
// smaller ones show how the cost grows.
BENCHMARK(BM_TreeInsert)->Unit(benchmark::kMillisecond)->Iterations(1)
    ->Arg(100000)->Arg(300000)->Arg(1000000);
// The same 1,000,000 results in itemset order, as a comparison: the trie
// levels below the top are then built and walked in allocation order.
BENCHMARK(BM_TreeInsertSorted)->Unit(benchmark::kMillisecond)->Iterations(1)
    ->Arg(1000000);
BENCHMARK(BM_TreeOutput)->Unit(benchmark::kMillisecond)->Iterations(1)
    ->Arg(100000)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();

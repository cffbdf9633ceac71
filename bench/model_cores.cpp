// A model of an exact-search run on many cores, built from its run on one
// thread: each phase is timed apiece, and the search's parts (its tasks by
// first vertex) are timed one by one as they finish on the one thread.
//
//   model_cores DATASET ITEM_SUPPORT ITEM_TOL TRAN_TOL TRAN_SUPPORT GRAPHTYPE OUTDIR
//
// The phases: loading (serial), the search (its parts shared by the cores),
// storing the pairs (in shards, shared), laying the shards out (shared),
// formatting the lines (shared) and writing the file (serial, in order:
// timed as the write of as many bytes from memory). The model for N cores:
//
//   load + max(search / N, largest part) + (store + layout + format) / N + write
//
// The largest part is a bound the run beats: an idle thread takes subtrees
// of a busy part. Prints one Markdown table row.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "miner.h"
#include "quasibiclique/quasibiclique.h"
#include "result_shards.h"
#include "run_monitor.h"

namespace {

using namespace quasibiclique;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Counts the pairs and keeps nothing.
struct NoSink final : PairSink {
  void Add(const int*, int, const int*, int) override {}
};

// The search alone on one thread; returns each part's seconds, timed by
// watching the monitor's finished parts.
std::vector<double> PartSeconds(const Database& db, const Options& options) {
  RunMonitor monitor;
  std::atomic<bool> done{false};
  std::vector<double> parts;
  std::thread watcher([&] {
    long long seen = 0;
    Clock::time_point last = Clock::now();
    while (!done.load()) {
      const long long now = monitor.unitsdone();
      if (now > seen) {
        const double each = Since(last) / double(now - seen);
        for (; seen < now; seen++) parts.push_back(each);
        last = Clock::now();
      }
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    if (monitor.unitsdone() > seen) parts.push_back(Since(last));
  });
  NoSink none;
  const Status s = OnLargeStack([&] { return MineHere(db, options, none, &monitor); });
  done.store(true);
  watcher.join();
  if (!s.ok()) {
    fprintf(stderr, "model_cores: %s\n", s.message().c_str());
    exit(1);
  }
  return parts;
}

// Seconds to write `bytes` from memory into a new file of dir, flushed to
// the page cache as the run's write is.
double WriteSeconds(size_t bytes, const std::string& dir) {
  const std::string path = dir + "/model_cores.bytes";
  std::vector<char> block(size_t{4} << 20, 'x');
  FILE* file = fopen(path.c_str(), "w");
  const Clock::time_point start = Clock::now();
  for (size_t left = bytes; left > 0;) {
    const size_t n = std::min(left, block.size());
    fwrite(block.data(), 1, n, file);
    left -= n;
  }
  fclose(file);
  const double seconds = Since(start);
  unlink(path.c_str());
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    fprintf(stderr, "usage: model_cores DATASET ISL IT TT TSL TYPE OUTDIR\n");
    return 2;
  }
  Options options{atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]),
                  GraphType(atoi(argv[6])), kSearchExact};
  options.threads = 1;
  const std::string outdir = argv[7];

  Clock::time_point start = Clock::now();
  std::unique_ptr<Database> db;
  Status s = Database::FromFile(argv[1], options, &db);
  const double load = Since(start);
  if (!s.ok()) {
    fprintf(stderr, "model_cores: %s\n", s.message().c_str());
    return 1;
  }
  const Database::Rep& rep = db->rep();

  const std::vector<double> parts = PartSeconds(*db, options);
  double search = 0, largest = 0;
  for (double p : parts) search += p, largest = std::max(largest, p);

  ResultShards shards(rep.itemnum, kShardsPerThread, ResultShards::Arrival::kAnyOrder);
  start = Clock::now();
  s = OnLargeStack([&] { return MineHere(*db, options, shards); });
  const double store = std::max(0.0, Since(start) - search);

  start = Clock::now();
  ShardWriter writer(shards, rep.undirected(), 1);
  const double layout = Since(start);

  const std::string path = outdir + "/model_cores.out";
  FILE* file = fopen(path.c_str(), "w");
  start = Clock::now();
  writer.WriteText(file, rep.tidoldid.data(), rep.tidnum, rep.itemoldid.data(), rep.itemnum);
  fclose(file);
  const double formatandwrite = Since(start);
  FILE* written = fopen(path.c_str(), "r");
  fseek(written, 0, SEEK_END);
  const size_t bytes = size_t(ftell(written));
  fclose(written);
  unlink(path.c_str());
  const double write = std::min(formatandwrite, WriteSeconds(bytes, outdir));
  const double format = formatandwrite - write;

  const double shared = store + layout + format;
  const double one = load + search + shared + write;
  auto model = [&](int n) {
    return one / (load + std::max(search / n, largest) + shared / n + write);
  };
  printf("| `%s %s %s %s %s %s` | %zu | %.2f | %.2f | %.2f (%.1f %%) | %.2f | %.2f | %.2f | %.2f | %.1f | %.1f |\n",
         argv[1], argv[2], argv[3], argv[4], argv[5], argv[6], parts.size(), load, search,
         largest, search > 0 ? 100 * largest / search : 0.0, store, layout, format, write,
         model(16), model(64));
  return 0;
}

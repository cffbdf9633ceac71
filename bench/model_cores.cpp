// A model of an exact-search run on many cores, built from its run on one
// thread: each phase is timed apiece, and the search's spread over workers
// is measured on the one thread as well.
//
//   model_cores DATASET ITEM_SUPPORT ITEM_TOL TRAN_TOL TRAN_SUPPORT GRAPHTYPE OUTDIR [TASKDEPTH]
//
// The phases: loading (serial), the search (its tasks shared by the cores),
// storing the pairs (in shards, shared), laying the shards out (shared),
// formatting the lines (shared) and writing the file (serial, in order:
// timed as the write of as many bytes from memory).
//
// The search's spread: a second run times every task the parallel search
// could make (the parts, or the one search of the whole graph, and nodes
// spawned from them, nested at most TASKDEPTH deep, 32 by default) and
// gives the search's work and span; f = span / work. A greedy scheduler
// ends the search within search x ((1 - f) / N + f) on N cores (Brent's
// bound), where search is the plain one-thread search. The model for N
// cores:
//
//   load + search x ((1 - f) / N + f) + (store + layout + format) / N + write
//
// It is a model, not a measurement. The search's term bounds its time from
// above under greedy scheduling, and the span it takes is itself an upper
// bound: a task's span counts all of its own time before its longest
// child's span, though its children start during its own work. It leaves
// out what the parallel search adds (spawning, stealing, copying frames,
// memory bandwidth shared by the cores). Timing every task slows the
// measured run (its work exceeded the plain search by up to a fifth on the
// datasets tried); f is a ratio of that run's times, and the timing adds to
// every task of the work but only to the few tasks of a span, so it makes f
// somewhat smaller than the search's own. Prints one Markdown table row.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "miner.h"
#include "quasibiclique/quasibiclique.h"
#include "result_shards.h"
#include "run_monitor.h"

namespace {

using namespace quasibiclique;
using Clock = std::chrono::steady_clock;

// Nesting of measured tasks by default: deep enough that the spans of the
// searches measured stop shrinking.
constexpr int kTaskDepth = 32;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Counts the pairs and keeps nothing.
struct NoSink final : PairSink {
  void Add(const int*, int, const int*, int) override {}
};

// Ends the program with the message of a failed status.
void ExitOnFailure(const Status& s) {
  if (s.ok()) return;
  fprintf(stderr, "model_cores: %s\n", s.message().c_str());
  exit(1);
}

// The search alone on one thread: its seconds and its parts (one for a
// search of the whole graph).
struct PlainSearch {
  double seconds;
  long long parts;
};

PlainSearch TimeSearch(const Database& db, const Options& options) {
  RunMonitor monitor;
  NoSink none;
  const Clock::time_point start = Clock::now();
  ExitOnFailure(OnLargeStack([&] { return MineHere(db, options, none, &monitor); }));
  return PlainSearch{Since(start), monitor.unitsdone()};
}

// The search's span over its work, measured with tasks nested at most
// taskdepth deep; the measurement goes to stderr.
double SpanShare(const Database& db, const Options& options, int taskdepth) {
  NoSink none;
  SearchSpread spread;
  ExitOnFailure(OnLargeStack([&] {
    spread = MeasureSpread(ExactInputOf(db.rep(), options), none, taskdepth);
    return Status::OK();
  }));
  fprintf(stderr, "model_cores: task depth %d: work %.3f s, span %.4f s, %lld tasks\n", taskdepth,
          spread.work, spread.span, spread.tasks);
  return spread.work > 0 ? spread.span / spread.work : 0.0;
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
  if (argc != 8 && argc != 9) {
    fprintf(stderr, "usage: model_cores DATASET ISL IT TT TSL TYPE OUTDIR [TASKDEPTH]\n");
    return 2;
  }
  const int taskdepth = argc == 9 ? atoi(argv[8]) : kTaskDepth;
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

  const PlainSearch plain = TimeSearch(*db, options);
  const double search = plain.seconds;
  const double f = SpanShare(*db, options, taskdepth);

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
    return one / (load + search * ((1 - f) / n + f) + shared / n + write);
  };
  printf("| `%s %s %s %s %s %s` | %lld | %.2f | %.2f | %.3f %% | %.2f | %.2f | %.2f | %.2f | %.1f | %.1f |\n",
         argv[1], argv[2], argv[3], argv[4], argv[5], argv[6], plain.parts, load, search,
         100 * f, store, layout, format, write, model(16), model(64));
  return 0;
}

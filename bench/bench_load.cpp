// Loading benchmark: reading a dataset, pruning it and renumbering it, in
// process, through the library's Database::FromFile (the loader the driver
// uses before the mining starts), then freeing it.
//
//   bench_load [benchmark flags] DATASET ITEM_SUPPORT ITEM_TOL TRAN_TOL TRAN_SUPPORT GRAPHTYPE
//
// Counters: lines read, transactions and items left after pruning, and the
// peak resident memory of the whole process (getrusage) after the runs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <memory>

#include "quasibiclique/quasibiclique.h"

namespace {

using quasibiclique::Database;
using quasibiclique::GraphType;
using quasibiclique::Options;

struct Args {
  std::string path;
  Options options;
};

double PeakRssMiB() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // ru_maxrss is in KiB on Linux
}

void BM_Load(benchmark::State& state, const Args& args) {
  int lines = 0, tids = 0, items = 0;
  for (auto _ : state) {
    std::unique_ptr<Database> db;
    if (!Database::FromFile(args.path, args.options, &db).ok()) {
      state.SkipWithError("the dataset was refused");
      return;
    }
    lines = db->lines();
    tids = db->transactions();
    items = db->items();
    benchmark::DoNotOptimize(db);
  }
  state.counters["lines"] = lines;
  state.counters["tids_kept"] = tids;
  state.counters["items_kept"] = items;
  state.counters["peak_RSS_MiB"] = PeakRssMiB();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 7) {
    fprintf(stderr,
            "usage: %s [benchmark flags] DATASET ITEM_SUPPORT ITEM_TOL TRAN_TOL "
            "TRAN_SUPPORT GRAPHTYPE\n",
            argv[0]);
    return 1;
  }
  static Args args{argv[1], {atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]),
                             GraphType(atoi(argv[6]))}};
  std::string name = args.path.substr(args.path.find_last_of('/') + 1);
  name = "Load/" + name;
  for (int k = 2; k <= 6; k++) name += std::string(k == 2 ? "/" : "_") + argv[k];
  benchmark::RegisterBenchmark(name.c_str(), BM_Load, args)->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

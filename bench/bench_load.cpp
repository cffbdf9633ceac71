// Loading benchmark: reading a dataset, pruning it and renumbering it, in
// process, exactly as the driver does before the mining starts:
// Data::FindVertexNum, then Transactiondb::FillTran, InitialiseItemlist and
// PrepareItemlist, then FreeMem.
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

#include "expand.h"

namespace {

struct Args {
  std::string path;
  std::string isl, it, tt, tsl;
  int type = 0;
};

double PeakRssMiB() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // ru_maxrss is in KiB on Linux
}

void BM_Load(benchmark::State& state, const Args& args) {
  int lines = 0, tids = 0, items = 0;
  for (auto _ : state) {
    Data data(args.path.c_str());
    if (!data.Opened() || data.FindVertexNum() != Data::kOk) {
      state.SkipWithError("the dataset cannot be read");
      return;
    }
    graphtype = args.type;
    if (graphtype == 1) itemsize = vertexnum;
    if (!ArenaCreate()) {
      state.SkipWithError("no arena");
      return;
    }
    std::string isl = args.isl, it = args.it, tt = args.tt, tsl = args.tsl;
    Tree tree(1, nullptr);
    Transactiondb db(vertexnum, isl.data(), it.data(), tt.data(), tsl.data(), nullptr, tree);
    if (db.FillTran(&data) != kLoadOk) {
      db.FreeMem();
      state.SkipWithError("the dataset was refused");
      return;
    }
    db.InitialiseItemlist();
    db.PrepareItemlist();
    lines = vertexnum;
    tids = db.tidnum;
    items = db.itemnum;
    benchmark::DoNotOptimize(db.itemlist);
    db.FreeMem();
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
  static Args args{argv[1], argv[2], argv[3], argv[4], argv[5], atoi(argv[6])};
  std::string name = args.path.substr(args.path.find_last_of('/') + 1);
  name = "Load/" + name + "/" + args.isl + "_" + args.it + "_" + args.tt + "_" + args.tsl +
         "_" + std::to_string(args.type);
  benchmark::RegisterBenchmark(name.c_str(), BM_Load, args)->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

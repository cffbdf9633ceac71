// The program: command line, run order, output file, signals, timing report
// and every message and exit status. It stands on the miner, the reader and
// the memory schemes; nothing below calls back into it.
#include "driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "command_line.h"
#include "data.h"
#include "database.h"
#include "formats.h"
#include "memory_status.h"
#include "miner.h"
#include "output_file.h"
#include "progress_line.h"
#include "resident_limit.h"
#include "result_shards.h"
#include "quasibiclique/quasibiclique.h"
#include "run_group.h"
#include "run_monitor.h"

namespace {

using namespace quasibiclique;

// Exit statuses.
constexpr int kExitUsage = 1;
constexpr int kExitDataset = 2;
constexpr int kExitOutput = 3;
constexpr int kExitMemory = 4;
constexpr int kExitStandardOutput = 5;
constexpr int kExitStopped = 6;

constexpr const char* kProgram = "quasibiclique";

}  // namespace

int ReportFailure(const Status& s) {
  switch (s.code()) {
    case Status::kNotFound:
      fprintf(stderr, "%s\n", s.message().c_str());
      return kExitDataset;
    case Status::kCorruption:
      fprintf(stderr, "%s: error: %s\n", kProgram, s.message().c_str());
      return kExitDataset;
    case Status::kIOError:
      RemovePartialOutput();
      fprintf(stderr, "%s: error: %s\n", kProgram, s.message().c_str());
      return kExitOutput;
    case Status::kOutOfMemory:
      fputs("error", stdout);
      fflush(stdout);
      fprintf(stderr, "%s: error: out of memory: %s\n", kProgram, s.message().c_str());
      RemovePartialOutput();
      return kExitMemory;
    default:
      fprintf(stderr, "%s: error: %s\n", kProgram, s.message().c_str());
      return kExitUsage;
  }
}

namespace {

void Now(long long* seconds, int* millis) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  *seconds = now.tv_sec;
  *millis = static_cast<int>(now.tv_nsec / 1000000);
}

// "Time taken" and the seconds since the start, without a line end.
void PrintTimeTaken(FILE* report, long long startseconds, int startmillis) {
  long long endseconds;
  int endmillis;
  Now(&endseconds, &endmillis);
  double elapsed = double(endseconds - startseconds) + (endmillis - startmillis) / 1000.0;
  fprintf(report, "Time taken%g", elapsed);
}

// ---------------------------------------------------------------------------
// Standard streams and signals
// ---------------------------------------------------------------------------

// A descriptor 0, 1 or 2 that is closed would be handed to the next file
// opened, and the progress numbers would land in it: each is opened on
// /dev/null instead (open returns the lowest free descriptor).
void OpenClosedStandardStreams() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY));
  }
}

// Returns 0 when everything written to standard output reached it, else the
// errno of the failure.
int StandardOutputError() {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  return errno ? errno : EIO;
}

// ---------------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------------

// The paths and names of a run: "-" names standard input and output.
struct RunPaths {
  explicit RunPaths(const RunRequest& request)
      : dataset(strcmp(request.dataset, "-") == 0 ? "/dev/stdin" : request.dataset),
        datasetname(strcmp(request.dataset, "-") == 0 ? "standard input" : request.dataset),
        output(request.output && strcmp(request.output, "-") == 0 ? "/dev/stdout"
                                                                  : request.output),
        outputname(request.output) {}
  const char* dataset;
  const char* datasetname;
  const char* output;  // null: no output file
  const char* outputname;
  // The progress numbers, the count and the time go to standard output,
  // unless the results go there.
  FILE* report() const { return output && strcmp(outputname, "-") == 0 ? stderr : stdout; }
};

// Checks that the dataset is open and is not the output file.
Status CheckDataset(const RunPaths& paths, const Data& data) {
  if (!data.Opened()) return Status::NotFound(std::string(paths.datasetname) + " could not be opened!");
  if (paths.output && OutputIsDataset(data, paths.output)) {
    return Status::IOError(std::string("output file ") + paths.outputname + " is the dataset " +
                           paths.datasetname);
  }
  return Status::OK();
}

// Warns when a dataset read by the default reader looks like one in
// another format, whose header lines would be read as numbers.
Status WarnOfOtherFormat(Data& data, const RunPaths& paths, const RunRequest& request) {
  if (request.format != kFormatLines) return Status::OK();
  Status s = data.ReadText(paths.datasetname);
  if (!s.ok()) return s;
  const std::string hint = FormatHint(data.Text().data(), data.Text().size());
  if (!hint.empty()) fprintf(stderr, "%s: warning: %s %s\n", kProgram, paths.datasetname, hint.c_str());
  return Status::OK();
}

// Opens, checks and loads the dataset into *db. In a group the leader reads
// it and hands its text to the others, and every process returns the first
// failure of any.
Status LoadDataset(const RunPaths& paths, const RunRequest& request, RunGroup* group,
                   std::unique_ptr<Database>* db) {
  const bool reads = !group || group->Leads();
  std::optional<Data> data;
  Status s;
  if (reads) {
    data.emplace(paths.dataset);
    s = CheckDataset(paths, *data);
    if (s.ok()) s = WarnOfOtherFormat(*data, paths, request);
    if (s.ok() && group) s = data->ReadText(paths.datasetname);
  } else {
    data.emplace("", 0);
  }
  if (group) s = group->ShareText(*data, s);
  if (s.ok()) s = DatabaseLoader::Load(*data, paths.datasetname, request.options, db, request.format);
  return group ? group->Agree(s) : s;
}

// Where a run's results and reports go.
struct RunEnds {
  const RunRequest& request;
  const RunPaths& paths;
  OutputFile& output;
  RunMonitor* monitor;
  TaskShare* share;  // a group's, or null
  size_t residentlimit;  // see ResidentLimitOf
};

// Room a run with --memory-limit=SIZE has beside its stored results: the
// search's own memory, the buffers of the writers and the spilling.
constexpr size_t kWorkingMemory = size_t{64} << 20;

// The resident memory the run may reach: what it holds now (the loaded
// database) plus the stored results' limit and working room, or by
// default the memory the machine and its container have to give, split
// evenly among the processes of a group that run on this machine.
size_t ResidentLimitOf(const RunRequest& request, const RunGroup* group) {
  if (request.memorylimit != SIZE_MAX) {
    return ResidentBytes() + request.memorylimit + kWorkingMemory;
  }
  const size_t budget = DefaultMemoryBudget();
  const int sharing = group ? group->ProcessesOnThisMachine() : 1;
  if (budget == SIZE_MAX || sharing <= 1) return budget;
  const size_t held = std::min(ResidentBytes(), budget);
  return held + (budget - held) / static_cast<size_t>(sharing);
}

// Mines the loaded database into the result store, writes the results to
// the output and puts it in place. Sets *found to the number of results.
// Run on the large stack, so that the storing and the writing share the
// mining thread's heap and the memory the one frees serves the other.
Status MineAndWrite(const Database& db, const RunEnds& ends, int* found) {
  TextOutput out;
  out.file = ends.output.file();
  out.progress = PrintProgress;
  out.context = ends.paths.report();
  out.memorylimit = ends.request.memorylimit;
  out.spilldirectory = ends.paths.output ? DirectoryOf(ends.paths.output) : ".";
  out.countonly = ends.request.countonly;
  out.monitor = ends.monitor;
  out.residentlimit = ends.residentlimit;
  out.share = ends.share;
  const Status mined = MineToText(db, ends.request.options, out, found);
  if (ends.request.countonly || mined.code() == Status::kOutOfMemory) return mined;
  const Status finished =
      ends.output.Finish(mined.code() == Status::kIOError ? mined.message() : "");
  return finished.ok() ? mined : finished;
}

// A run stopped at one of its bounds: what it reached, and what was kept.
void ReportStopped(const Status& s, const RunRequest& request) {
  fprintf(stderr, "%s: stopped early: %s; %s\n", kProgram, s.message().c_str(),
          request.countonly ? "the count is that of the results found until then"
                            : "the output file holds the results found until then");
}

// A process of a group that does not lead: searches the tasks the group
// gives it, within its own memory budget. The run's bounds are the
// leader's, who stops the others when it reaches one.
Status MineForLeader(const Database& db, const RunRequest& request, RunGroup& group) {
  Options options = request.options;
  options.max_results = 0;
  options.time_limit = 0;
  RunMonitor monitor;
  const ResidentLimit watch(ResidentLimitOf(request, &group), monitor);
  struct : PairSink {
    void Add(const int*, int, const int*, int) override {}
  } none;
  return OnLargeStack([&] {
    return GuardMemory([&] { return MineHere(db, options, none, &monitor, &group.share()); });
  });
}

// Mines the loaded database and, on the process that writes, writes the
// results; sets *found to their number. A group's share serves the mining.
Status MineInGroup(const Database& db, const RunEnds& ends, RunGroup* group, int* found) {
  if (group && !group->Leads()) return MineForLeader(db, ends.request, *group);
  return OnLargeStack(
      [&] { return GuardMemory([&] { return MineAndWrite(db, ends, found); }); });
}

// Whether the processes of a group may write this run's output together:
// an exact search that runs to its end into a file of its own. The others
// (the tolerance walk, whose pairs are stored in start order; runs cut at
// a bound; counts; spilled stores) gather their pairs on the leader.
bool WritableTogether(const RunRequest& request) {
  const Options& options = request.options;
  return !request.countonly && RunsExactSearch(options) && options.max_results == 0 &&
         options.time_limit == 0 && request.memorylimit == SIZE_MAX;
}

// The processes of the group write the output together; the leader shows
// the store's progress numbers for every process's pairs and puts the file
// in place.
Status MineTogether(const Database& db, const RunEnds& ends, RunGroup& group,
                    const std::string& path, int* found) {
  long long pairs = 0;
  const Status written =
      group.MineAndWriteTogether(db, ends.request.options, ends.monitor,
                                 ends.residentlimit, path, &pairs, found);
  if (!group.Leads() || (!written.ok() && written.code() != Status::kIOError)) return written;
  StoredCount shown(PrintProgress, ends.paths.report());
  for (long long k = 0; k < pairs; k++) shown.Count();
  const Status finished =
      ends.output.Finish(written.code() == Status::kIOError ? written.message() : "");
  return finished.ok() ? written : finished;
}

// The loaded database mined and written; the count and time reported.
int MineLoaded(const Database& db, const RunRequest& request, const RunPaths& paths,
               long long startseconds, int startmillis, RunGroup* group) {
  OutputFile output;
  Status s;
  if (!request.countonly && (!group || group->Leads())) s = output.Open(paths.output);
  if (group) s = group->Agree(s);
  if (!s.ok()) return ReportFailure(s);
  std::string together;
  if (group && WritableTogether(request)) {
    together = group->ShareOutputPath(group->Leads() ? output.temporary() : "");
  }
  RunMonitor monitor;
  int found = 0;
  {
    const bool reports = !group || group->Leads();
    RunMonitor* watched = request.progress && reports ? &monitor : nullptr;
    ProgressLine progress(watched, db.options());
    if (!together.empty()) {
      s = MineTogether(db, {request, paths, output, watched, nullptr, ResidentLimitOf(request, group)},
                       *group, together, &found);
    } else {
      if (group) group->Start();
      TaskShare* share = group ? &group->share() : nullptr;
      s = MineInGroup(db, {request, paths, output, watched, share, ResidentLimitOf(request, group)},
                      group, &found);
      if (group) group->Finish(s);
    }
  }
  if (!s.ok() && s.code() != Status::kStopped) return ReportFailure(s);
  FILE* report = paths.report();
  fprintf(report, "Total number of quasi-bicliques:%d\n", found);
  PrintTimeTaken(report, startseconds, startmillis);
  if (s.code() == Status::kStopped) ReportStopped(s, request);
  if (int error = StandardOutputError()) {
    fprintf(stderr, "%s: error: cannot write standard output: %s\n", kProgram, strerror(error));
    return kExitStandardOutput;
  }
  return s.ok() ? 0 : kExitStopped;
}

}  // namespace

void PrintProgress(void* report, int stored) {
  FILE* to = report ? static_cast<FILE*>(report) : stdout;
  fprintf(to, "%d\t", stored);
  fflush(to);
}

int RunMiner(int argc, char** argv) { return RunMinerInGroup(argc, argv, nullptr); }

int RunMinerInGroup(int argc, char** argv, RunGroup* group) {
  OpenClosedStandardStreams();
  clearerr(stdout);
  RunSignals signals;
  long long startseconds;
  int startmillis;
  Now(&startseconds, &startmillis);
  RunRequest request;
  switch (ParseCommandLine(argc, argv, &request)) {
    case CommandLineAction::kHelp:
      PrintHelp();
      return StandardOutputError() ? kExitStandardOutput : 0;
    case CommandLineAction::kVersion:
      PrintVersion();
      return StandardOutputError() ? kExitStandardOutput : 0;
    case CommandLineAction::kRefused:
      return kExitUsage;
    case CommandLineAction::kRun:
      break;
  }
  const RunPaths paths(request);
  std::unique_ptr<Database> db;
  Status s = LoadDataset(paths, request, group, &db);
  if (!s.ok()) return ReportFailure(s);
  const int status = MineLoaded(*db, request, paths, startseconds, startmillis, group);
  return group ? group->Exit(status) : status;
}

// The program: command line, run order, output file, signals, timing report
// and every message and exit status. It stands on the miner, the reader and
// the memory schemes; nothing below calls back into it.
#include "driver.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <string>

#include "command_line.h"
#include "data.h"
#include "database.h"
#include "formats.h"
#include "memory_status.h"
#include "miner.h"
#include "progress_line.h"
#include "quasibiclique/quasibiclique.h"
#include "result_store.h"
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

// The temporary output file while one exists, so that a failure or a signal
// can remove it. partialpath is complete before partialset is raised; both
// are read by signal handlers.
char partialpath[PATH_MAX + 32];
volatile sig_atomic_t partialset = 0;

void RemovePartialOutput() {
  if (partialset) unlink(partialpath);
  partialset = 0;
}

// The exit status of a failed step and its report on standard error: the
// one table from what failed to what the user sees. Running out of memory
// also writes "error" on standard output; the temporary output file goes.
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

constexpr int kRunSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr int kIgnoredSignal = SIGPIPE;

extern "C" void RemovePartialAndDie(int signo) {
  if (partialset) unlink(partialpath);
  raise(signo);  // the handler was reset: the signal now ends the process
}

// Signal dispositions of one run. SIGPIPE is ignored, so that a closed
// standard output cannot end the run before the results are in place;
// SIGINT, SIGTERM and SIGHUP remove the temporary output file and then end
// the run as the signal would have. A signal the run was started with
// ignored (nohup, background jobs of a script) stays ignored. The earlier
// dispositions come back at the end, for callers that run the miner inside
// their own process.
class RunSignals {
 public:
  RunSignals() {
    for (size_t k = 0; k < std::size(kRunSignals); k++) {
      sigaction(kRunSignals[k], nullptr, &saved_[k]);
      if (saved_[k].sa_handler == SIG_IGN) continue;
      struct sigaction action {};
      action.sa_handler = kRunSignals[k] == kIgnoredSignal ? SIG_IGN : RemovePartialAndDie;
      action.sa_flags = SA_RESETHAND | SA_RESTART;
      sigemptyset(&action.sa_mask);
      sigaction(kRunSignals[k], &action, nullptr);
    }
  }
  ~RunSignals() {
    for (size_t k = 0; k < std::size(kRunSignals); k++) {
      sigaction(kRunSignals[k], &saved_[k], nullptr);
    }
  }
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;

 private:
  struct sigaction saved_[std::size(kRunSignals)];
};

// Holds back the run's signals while the temporary file is created and
// recorded, so that a handler never meets a half-written path.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kRunSignals) sigaddset(&set, signo);
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

 private:
  sigset_t saved_;
};

// Returns 0 when everything written to standard output reached it, else the
// errno of the failure.
int StandardOutputError() {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  return errno ? errno : EIO;
}

// ---------------------------------------------------------------------------
// Output file
// ---------------------------------------------------------------------------

// Where the results go. A regular file, or a path where nothing exists yet,
// gets them through a temporary file in the same directory that is renamed
// over it once complete: the path always holds either its earlier content or
// the whole new result. Anything else (a device, a FIFO, the file that is
// open as standard output or error) is written directly.
struct Output {
  FILE* file = nullptr;
  int syncfd = -1;     // second descriptor of the temporary file, for fsync
  std::string target;  // what the temporary file replaces, links followed
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Returns 1 when `output` names the regular file open as the dataset.
int OutputIsDataset(const Data& data, const char* output) {
  struct stat dataset, named;
  return fstat(data.Descriptor(), &dataset) == 0 && S_ISREG(dataset.st_mode) &&
         stat(output, &named) == 0 && SameFile(dataset, named);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links from `path` to the file they end at, which need not
// exist. Returns false with errno set when there are too many of them.
bool FollowLinks(const char* path, std::string* target) {
  *target = path;
  for (int hops = 0; hops < 40; hops++) {
    struct stat info;
    if (lstat(target->c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    char link[PATH_MAX];
    ssize_t length = readlink(target->c_str(), link, sizeof link);
    if (length <= 0 || size_t(length) == sizeof link) return true;
    std::string next(link, size_t(length));
    *target = next[0] == '/' ? next : DirectoryOf(*target) + "/" + next;
  }
  errno = ELOOP;
  return false;
}

// Descriptor 1 or 2 when it is open on the file `info` describes, else -1.
int StandardStreamOn(const struct stat& info) {
  for (int fd = 1; fd <= 2; fd++) {
    struct stat stream;
    if (fstat(fd, &stream) == 0 && SameFile(stream, info)) return fd;
  }
  return -1;
}

// Creates the temporary file next to out->target, with the mode of the file
// it replaces (or the mode a new file would get). Returns false with errno
// set when it cannot be created.
bool CreateTemporary(const struct stat* replaced, Output* out) {
  std::string name = DirectoryOf(out->target) + "/.quasibiclique.XXXXXX";
  if (name.size() >= sizeof partialpath) {
    errno = ENAMETOOLONG;
    return false;
  }
  int fd;
  {
    BlockedSignals blocked;
    memcpy(partialpath, name.c_str(), name.size() + 1);
    fd = mkstemp(partialpath);
    partialset = fd >= 0;
  }
  if (fd < 0) return false;
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, replaced ? replaced->st_mode & 07777 : 0666 & ~mask);  // best effort
  out->syncfd = dup(fd);
  out->file = out->syncfd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out->file) return true;
  int error = errno;
  close(fd);
  if (out->syncfd >= 0) close(out->syncfd);
  out->syncfd = -1;
  RemovePartialOutput();
  errno = error;
  return false;
}

// Opens where the results go (see Output). Returns false with errno set when
// the output cannot be created or, for an existing file, not written.
bool CreateOutput(const char* path, Output* out) {
  struct stat info;
  if (stat(path, &info) != 0) {
    if (errno != ENOENT) return false;
    return FollowLinks(path, &out->target) && CreateTemporary(nullptr, out);
  }
  int stream = S_ISREG(info.st_mode) ? StandardStreamOn(info) : -1;
  if (!S_ISREG(info.st_mode) || stream >= 0) {
    // Through the stream's own descriptor the results follow what it already
    // holds instead of being overwritten by it.
    out->file = stream >= 0 ? fdopen(dup(stream), "w") : fopen(path, "w");
    return out->file != nullptr;
  }
  if (!FollowLinks(path, &out->target)) return false;
  int probe = open(out->target.c_str(), O_WRONLY | O_CLOEXEC);
  if (probe < 0) return false;
  close(probe);
  return CreateTemporary(&info, out);
}

Status OpenOutput(const char* path, Output* out) {
  if (CreateOutput(path, out)) return Status::OK();
  return Status::IOError(std::string("cannot create output file ") + path + ": " +
                         strerror(errno));
}

// Puts the complete results in place: syncs the closed temporary file and
// renames it over the target. On a failure the temporary file is removed.
Status CommitOutput(const char* path, Output* out) {
  if (out->syncfd < 0) return Status::OK();
  const bool synced = fsync(out->syncfd) == 0;
  int error = errno;
  close(out->syncfd);
  out->syncfd = -1;
  if (synced && rename(partialpath, out->target.c_str()) == 0) {
    partialset = 0;
    return Status::OK();
  }
  if (synced) error = errno;
  RemovePartialOutput();
  return Status::IOError(std::string("cannot write output file ") + path + ": " +
                         strerror(error));
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

// Closes the output file. Returns 0, or the errno of a failure that the
// stream met on its way or on closing.
int CloseOutputFile(Output& output) {
  int error = ferror(output.file) ? (errno ? errno : EIO) : 0;
  if (fclose(output.file) != 0 && !error) error = errno ? errno : EIO;
  output.file = nullptr;
  return error;
}

// Where a run's results and reports go.
struct RunEnds {
  const RunRequest& request;
  const RunPaths& paths;
  Output& output;
  RunMonitor* monitor;
};

// Mines the loaded database into the result store, writes the results to
// the output and puts it in place. Sets *found to the number of results.
// Run on the large stack, so that the storing and the writing share the
// mining thread's heap and the memory the one frees serves the other.
Status MineAndWrite(const Database& db, const RunEnds& ends, int* found) {
  TextOutput out;
  out.file = ends.output.file;
  out.progress = PrintProgress;
  out.context = ends.paths.report();
  out.memorylimit = ends.request.memorylimit;
  out.spilldirectory = ends.paths.output ? DirectoryOf(ends.paths.output) : ".";
  out.countonly = ends.request.countonly;
  out.monitor = ends.monitor;
  const Status mined = MineToText(db, ends.request.options, out, found);
  if (ends.request.countonly || mined.code() == Status::kOutOfMemory) return mined;
  std::string failure = mined.code() == Status::kIOError ? mined.message() : "";
  const int closeerror = CloseOutputFile(ends.output);
  if (failure.empty() && closeerror) failure = strerror(closeerror);
  const char* path = ends.paths.outputname;
  if (failure.empty()) {
    Status committed = CommitOutput(path, &ends.output);
    return committed.ok() ? mined : committed;
  }
  if (ends.output.syncfd >= 0) close(ends.output.syncfd);
  ends.output.syncfd = -1;
  return Status::IOError(std::string("cannot write output file ") + path + ": " + failure);
}

// A run stopped at one of its bounds: what it reached, and what was kept.
void ReportStopped(const Status& s, const RunRequest& request) {
  fprintf(stderr, "%s: stopped early: %s; %s\n", kProgram, s.message().c_str(),
          request.countonly ? "the count is that of the results found until then"
                            : "the output file holds the results found until then");
}

// The loaded database mined and written; the count and time reported.
int MineLoaded(const Database& db, const RunRequest& request, const RunPaths& paths,
               long long startseconds, int startmillis) {
  Output output;
  if (!request.countonly) {
    Status s = OpenOutput(paths.output, &output);
    if (!s.ok()) return ReportFailure(s);
  }
  RunMonitor monitor;
  int found = 0;
  Status s;
  {
    RunMonitor* watched = request.progress ? &monitor : nullptr;
    ProgressLine progress(watched, db.options());
    s = OnLargeStack([&] {
      return GuardMemory([&] { return MineAndWrite(db, {request, paths, output, watched}, &found); });
    });
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

int RunMiner(int argc, char** argv) {
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
  Data data(paths.dataset);
  Status s = CheckDataset(paths, data);
  if (s.ok()) s = WarnOfOtherFormat(data, paths, request);
  std::unique_ptr<Database> db;
  if (s.ok()) s = DatabaseLoader::Load(data, paths.datasetname, request.options, &db, request.format);
  if (!s.ok()) return ReportFailure(s);
  return MineLoaded(*db, request, paths, startseconds, startmillis);
}

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

#include "data.h"
#include "database.h"
#include "memory_status.h"
#include "miner.h"
#include "option_checks.h"
#include "quasibiclique/quasibiclique.h"
#include "result_store.h"

namespace {

using namespace quasibiclique;

// Exit statuses.
constexpr int kExitUsage = 1;
constexpr int kExitDataset = 2;
constexpr int kExitOutput = 3;
constexpr int kExitMemory = 4;
constexpr int kExitStandardOutput = 5;

constexpr const char* kProgram = "quasibiclique";

constexpr const char* kUsageText =
    "Usage: dataset\n"
    "item_supportLevel\n"
    "itemTolerance\n"
    "transactionTolerance\n"
    "transaction_supportLevel\n"
    "graphType\n"
    "outputFile\n"
    "Type of graph:0 for bipartite graph,1 for undirected graph. If choose 1, "
    "numberofItems value is ignored\n"
    "outputFile_number is the file name of the first file to be output\n";

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

void PrintUsage() { fputs(kUsageText, stderr); }

// Converts like strtol in base 10 (leading blanks, a sign, digits; no digits
// gives 0) and checks the value, quoting the text in a refusal.
Status ParseNumber(const char* text, NumericOption which, long long* value) {
  errno = 0;
  *value = strtoll(text, nullptr, 10);
  if (errno == ERANGE) *value = LLONG_MAX;  // refused as out of range
  return CheckNumericOption(which, *value, text);
}

// Parses the five numeric arguments (argv[2] to argv[6]) into `options`.
Status ParseArguments(char** argv, Options* options) {
  long long value = 0;
  for (int k = 0; k < kNumericOptions; k++) {
    Status s = ParseNumber(argv[2 + k], NumericOption(k), &value);
    if (!s.ok()) return s;
    SetNumericOption(NumericOption(k), static_cast<int>(value), options);
  }
  return CheckGraphType(options->graphtype, argv[6]);
}

// Reads "--search=auto|exact|tolerance".
Status ParseSearchOption(const char* value, SearchChoice* choice) {
  if (strcmp(value, "exact") == 0) {
    *choice = kSearchExact;
  } else if (strcmp(value, "tolerance") == 0) {
    *choice = kSearchTolerance;
  } else if (strcmp(value, "auto") == 0) {
    *choice = kSearchAuto;
  } else {
    return Status::InvalidArgument(std::string("--search '") + value +
                                   "' must be auto, exact or tolerance");
  }
  return Status::OK();
}

// What the command line asks for: the options of the run, and the memory
// its stored results may take.
struct RunRequest {
  Options options;
  size_t memorylimit = SIZE_MAX;  // no limit of its own
};

// Reads "--threads=N": a whole number, nothing after it.
Status ParseThreadsOption(const char* value, RunRequest* request) {
  char* end = nullptr;
  errno = 0;
  const long long n = strtoll(value, &end, 10);
  const bool whole = end != value && *end == '\0' && errno != ERANGE;
  Status s = CheckThreads(whole ? n : -1, value);
  if (s.ok()) request->options.threads = static_cast<int>(n);
  return s;
}

Status ParseSearch(const char* value, RunRequest* request) {
  return ParseSearchOption(value, &request->options.search);
}

// Reads "--memory-limit=SIZE": a whole number of bytes, or of KiB, MiB,
// GiB or TiB with the suffix K, M, G or T; at least 1M.
Status ParseMemoryLimit(const char* value, RunRequest* request) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = strtoull(value, &end, 10);
  int shift = 0;
  if (end != value && *end) {
    const char* suffixes = "KMGT";
    const char* at = strchr(suffixes, toupper(static_cast<unsigned char>(*end)));
    if (at && *at) {
      shift = 10 * static_cast<int>(at - suffixes + 1);
      end++;
    }
  }
  const bool whole = end != value && *end == '\0' && errno != ERANGE && isdigit(*value) &&
                     n <= (SIZE_MAX >> shift);
  const size_t bytes = whole ? static_cast<size_t>(n) << shift : 0;
  if (bytes < (size_t{1} << 20)) {
    return Status::InvalidArgument(std::string("--memory-limit '") + value +
                                   "' must be a size of at least 1M, such as 512M or 2G");
  }
  request->memorylimit = bytes;
  return Status::OK();
}

bool HasPrefix(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// The options that may come before the dataset, each at most once, in any
// order.
struct LeadingOption {
  const char* prefix;
  Status (*parse)(const char* value, RunRequest* request);
};
constexpr LeadingOption kLeadingOptions[] = {
    {"--search=", ParseSearch},
    {"--threads=", ParseThreadsOption},
    {"--memory-limit=", ParseMemoryLimit},
};
constexpr int kLeadingOptionCount = sizeof(kLeadingOptions) / sizeof(kLeadingOptions[0]);

// Takes the leading options off the arguments; what follows is the dataset.
Status TakeLeadingOptions(int* argc, char*** argv, RunRequest* request) {
  bool taken[kLeadingOptionCount] = {};
  for (;;) {
    if (*argc < 2) return Status::OK();
    const char* arg = (*argv)[1];
    int k = 0;
    while (k < kLeadingOptionCount && (taken[k] || !HasPrefix(arg, kLeadingOptions[k].prefix))) k++;
    if (k == kLeadingOptionCount) return Status::OK();
    taken[k] = true;
    Status s = kLeadingOptions[k].parse(arg + strlen(kLeadingOptions[k].prefix), request);
    if (!s.ok()) return s;
    (*argv)[1] = (*argv)[0];
    (*argc)--;
    (*argv)++;
  }
}

// The request of the command line; a refusal gets its line and the usage
// text. Returns false when the arguments are refused.
bool ParseCommandLine(int* argc, char*** argv, RunRequest* request) {
  Status s = TakeLeadingOptions(argc, argv, request);
  if (s.ok() && *argc < 8) {
    PrintUsage();
    return false;
  }
  if (s.ok()) s = ParseArguments(*argv, &request->options);
  if (s.ok()) s = CheckSearchChoice(request->options);
  if (s.ok()) return true;
  ReportFailure(s);
  PrintUsage();
  return false;
}

void Now(long long* seconds, int* millis) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  *seconds = now.tv_sec;
  *millis = static_cast<int>(now.tv_nsec / 1000000);
}

// "Time taken" and the seconds since the start, without a line end.
void PrintTimeTaken(long long startseconds, int startmillis) {
  long long endseconds;
  int endmillis;
  Now(&endseconds, &endmillis);
  double elapsed = double(endseconds - startseconds) + (endmillis - startmillis) / 1000.0;
  printf("Time taken%g", elapsed);
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

// Checks that the dataset is open and is not the output file.
Status CheckDataset(char** argv, const Data& data) {
  if (!data.Opened()) return Status::NotFound(std::string(argv[1]) + " could not be opened!");
  if (OutputIsDataset(data, argv[7])) {
    return Status::IOError(std::string("output file ") + argv[7] + " is the dataset " + argv[1]);
  }
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

// Mines the loaded database into the result store, writes the results to
// the output and puts it in place. Sets *found to the number of results.
// Run on the large stack, so that the storing and the writing share the
// mining thread's heap and the memory the one frees serves the other.
Status MineAndWrite(const Database& db, const RunRequest& request, const char* path,
                    Output& output, int* found) {
  TextOutput out;
  out.file = output.file;
  out.progress = PrintProgress;
  out.memorylimit = request.memorylimit;
  out.spilldirectory = DirectoryOf(path);
  Status s = MineToText(db, request.options, out, found);
  if (s.code() == Status::kOutOfMemory) return s;
  std::string failure = s.message();
  const int closeerror = CloseOutputFile(output);
  if (failure.empty() && closeerror) failure = strerror(closeerror);
  if (failure.empty()) return CommitOutput(path, &output);
  if (output.syncfd >= 0) close(output.syncfd);
  output.syncfd = -1;
  return Status::IOError(std::string("cannot write output file ") + path + ": " + failure);
}

}  // namespace

void PrintProgress(void*, int stored) {
  printf("%d\t", stored);
  fflush(stdout);
}

int RunMiner(int argc, char** argv) {
  OpenClosedStandardStreams();
  clearerr(stdout);
  RunSignals signals;
  long long startseconds;
  int startmillis;
  Now(&startseconds, &startmillis);
  RunRequest request;
  if (!ParseCommandLine(&argc, &argv, &request)) return kExitUsage;
  const Options& options = request.options;

  Data data(argv[1]);
  Status s = CheckDataset(argv, data);
  if (!s.ok()) return ReportFailure(s);
  std::unique_ptr<Database> db;
  s = DatabaseLoader::Load(data, argv[1], options, &db);
  if (!s.ok()) return ReportFailure(s);
  Output output;
  s = OpenOutput(argv[7], &output);
  if (!s.ok()) return ReportFailure(s);
  int found = 0;
  s = OnLargeStack([&] {
    return GuardMemory([&] { return MineAndWrite(*db, request, argv[7], output, &found); });
  });
  if (!s.ok()) return ReportFailure(s);
  printf("Total number of quasi-bicliques:%d\n", found);
  PrintTimeTaken(startseconds, startmillis);
  if (int error = StandardOutputError()) {
    fprintf(stderr, "%s: error: cannot write standard output: %s\n", kProgram, strerror(error));
    return kExitStandardOutput;
  }
  return 0;
}

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

#include "exact.h"
#include "expand.h"
#include "pools.h"

namespace {

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

// Stack of the mining thread: the search recurses once per tolerance
// combination member, per item-set node and per extension level. When that
// much address space cannot be had, smaller halves of it are used, down to
// twice the usual stack of a process.
constexpr size_t kMiningStackBytes = size_t{1} << 30;
constexpr size_t kSmallestMiningStack = size_t{16} << 20;

// The temporary output file while one exists, so that a failure or a signal
// can remove it. partialpath is complete before partialset is raised; both
// are read by signal handlers.
char partialpath[PATH_MAX + 32];
volatile sig_atomic_t partialset = 0;

void RemovePartialOutput() {
  if (partialset) unlink(partialpath);
  partialset = 0;
}

// Ends the run when memory runs out: "error" on standard output, a message
// naming `what` on standard error, the temporary output file removed, exit
// status 4.
[[noreturn]] void ReportOutOfMemory(const char* what) {
  fputs("error", stdout);
  fflush(stdout);
  fprintf(stderr, "%s: error: out of memory: %s\n", kProgram, what);
  RemovePartialOutput();
  exit(kExitMemory);
}

void HeapExhausted() { OutOfMemory("an allocation from the heap failed"); }

void PrintUsage() { fputs(kUsageText, stderr); }

struct Parameter {
  const char* name;
  int minimum;              // smallest accepted value
  int Parameters::*field;   // where the value goes
};

// Converts like strtol in base 10 (leading blanks, a sign, digits; no digits
// gives 0) and checks the range. Returns 1 and sets *value when accepted,
// else writes one error line and returns 0.
int ParseParameter(const char* text, const Parameter& parameter, int* value) {
  errno = 0;
  long long converted = strtoll(text, nullptr, 10);
  if (errno == ERANGE || converted > INT_MAX || converted < INT_MIN) {
    fprintf(stderr, "%s: error: %s '%s' is out of range\n", kProgram, parameter.name, text);
    return 0;
  }
  if (converted < parameter.minimum) {
    fprintf(stderr, "%s: error: %s '%s' must be at least %d\n", kProgram,
            parameter.name, text, parameter.minimum);
    return 0;
  }
  *value = static_cast<int>(converted);
  return 1;
}

// Parses the five numeric arguments (argv[2] to argv[6]) into `p`. Returns
// 0 after one error line at the first one refused.
int ParseArguments(char** argv, Parameters* p) {
  static const Parameter kParameters[] = {
      {"item_supportLevel", 1, &Parameters::item_supportLevel},
      {"itemTolerance", 0, &Parameters::itemTolerance},
      {"transactionTolerance", 0, &Parameters::transactionTolerance},
      {"transaction_supportLevel", 0, &Parameters::transaction_supportLevel},
      {"graphType", INT_MIN, &Parameters::graphtype}};
  for (int i = 0; i < 5; i++) {
    if (!ParseParameter(argv[2 + i], kParameters[i], &(p->*kParameters[i].field))) return 0;
  }
  if (p->graphtype != 0 && p->graphtype != 1) {
    fprintf(stderr, "%s: error: graphType '%s' must be 0 or 1\n", kProgram, argv[6]);
    return 0;
  }
  return 1;
}

constexpr const char* kSearchOption = "--search=";

// Takes a leading "--search=auto|exact|tolerance" off the arguments. Returns
// 0 (after one error line) when its value is not one of those.
int TakeSearchOption(int* argc, char*** argv, SearchChoice* choice) {
  *choice = kSearchAuto;
  if (*argc < 2 || strncmp((*argv)[1], kSearchOption, strlen(kSearchOption)) != 0) return 1;
  const char* value = (*argv)[1] + strlen(kSearchOption);
  if (strcmp(value, "exact") == 0) {
    *choice = kSearchExact;
  } else if (strcmp(value, "tolerance") == 0) {
    *choice = kSearchTolerance;
  } else if (strcmp(value, "auto") != 0) {
    fprintf(stderr, "%s: error: --search '%s' must be auto, exact or tolerance\n", kProgram,
            value);
    return 0;
  }
  (*argv)[1] = (*argv)[0];
  (*argc)--;
  (*argv)++;
  return 1;
}

// The exact search writes the maximal quasi-bicliques; forcing it where the
// required output differs from them would change what a run means.
int CheckSearchChoice(const Parameters& p) {
  if (p.search != kSearchExact) return 1;
  if (quasibiclique::InExactRegime(p.item_supportLevel, p.itemTolerance, p.transactionTolerance,
                                   p.transaction_supportLevel)) {
    return 1;
  }
  fprintf(stderr,
          "%s: error: --search=exact needs transactionTolerance < item_supportLevel and "
          "itemTolerance < max(2, transaction_supportLevel)\n",
          kProgram);
  return 0;
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

// One error line for a dataset that the reader or the loader refused.
void ReportRefusal(const char* path, const LoadResult& r) {
  if (r.readstatus == Data::kNumberTooLarge) {
    fprintf(stderr, "%s: error: %s:%d: number too large (the largest allowed is %d)\n",
            kProgram, path, r.errorline, kLargestNumber);
  } else if (r.readstatus == Data::kTooManyLines) {
    fprintf(stderr, "%s: error: %s:%d: too many lines\n", kProgram, path, r.errorline);
  } else if (r.readstatus == Data::kReadError) {
    fprintf(stderr, "%s: error: %s:%d: cannot read the dataset: %s\n", kProgram, path,
            r.errorline, strerror(r.readerror ? r.readerror : EIO));
  } else if (r.loadstatus == kLoadVertexOutOfRange) {
    fprintf(stderr, "%s: error: %s:%d: vertex id %d is not below the number of lines (%d)\n",
            kProgram, path, r.errorline, r.errorvalue, r.lines);
  } else if (r.loadstatus == kLoadAsymmetric) {
    fprintf(stderr, "%s: error: %s:%d: vertex %d lists %d but vertex %d does not list %d\n",
            kProgram, path, r.errorline, r.errorline - 1, r.errorvalue, r.errorvalue,
            r.errorline - 1);
  }
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
// exist. Returns 0 with errno set when there are too many of them.
int FollowLinks(const char* path, std::string* target) {
  *target = path;
  for (int hops = 0; hops < 40; hops++) {
    struct stat info;
    if (lstat(target->c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return 1;
    char link[PATH_MAX];
    ssize_t length = readlink(target->c_str(), link, sizeof link);
    if (length <= 0 || size_t(length) == sizeof link) return 1;
    std::string next(link, size_t(length));
    *target = next[0] == '/' ? next : DirectoryOf(*target) + "/" + next;
  }
  errno = ELOOP;
  return 0;
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
// it replaces (or the mode a new file would get). Returns 0 with errno set
// when it cannot be created.
int CreateTemporary(const struct stat* replaced, Output* out) {
  std::string name = DirectoryOf(out->target) + "/.quasibiclique.XXXXXX";
  if (name.size() >= sizeof partialpath) {
    errno = ENAMETOOLONG;
    return 0;
  }
  int fd;
  {
    BlockedSignals blocked;
    memcpy(partialpath, name.c_str(), name.size() + 1);
    fd = mkstemp(partialpath);
    partialset = fd >= 0;
  }
  if (fd < 0) return 0;
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, replaced ? replaced->st_mode & 07777 : 0666 & ~mask);  // best effort
  out->syncfd = dup(fd);
  out->file = out->syncfd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out->file) return 1;
  int error = errno;
  close(fd);
  if (out->syncfd >= 0) close(out->syncfd);
  out->syncfd = -1;
  RemovePartialOutput();
  errno = error;
  return 0;
}

// Opens where the results go (see Output). Returns 0 with errno set when the
// output cannot be created or, for an existing file, not written.
int OpenOutput(const char* path, Output* out) {
  struct stat info;
  if (stat(path, &info) != 0) {
    if (errno != ENOENT) return 0;
    return FollowLinks(path, &out->target) && CreateTemporary(nullptr, out);
  }
  int stream = S_ISREG(info.st_mode) ? StandardStreamOn(info) : -1;
  if (!S_ISREG(info.st_mode) || stream >= 0) {
    // Through the stream's own descriptor the results follow what it already
    // holds instead of being overwritten by it.
    out->file = stream >= 0 ? fdopen(dup(stream), "w") : fopen(path, "w");
    return out->file != nullptr;
  }
  if (!FollowLinks(path, &out->target)) return 0;
  int probe = open(out->target.c_str(), O_WRONLY | O_CLOEXEC);
  if (probe < 0) return 0;
  close(probe);
  return CreateTemporary(&info, out);
}

// Puts the complete results in place: syncs the closed temporary file and
// renames it over the target. Returns 0 with errno set on a failure, after
// removing the temporary file.
int CommitOutput(Output* out) {
  if (out->syncfd < 0) return 1;
  int ok = fsync(out->syncfd) == 0;
  int error = errno;
  close(out->syncfd);
  out->syncfd = -1;
  if (ok && rename(partialpath, out->target.c_str()) == 0) {
    partialset = 0;
    return 1;
  }
  if (ok) error = errno;
  RemovePartialOutput();
  errno = error;
  return 0;
}

// ---------------------------------------------------------------------------
// Mining thread
// ---------------------------------------------------------------------------

void* MineOnThread(void* db) {
  int* result = new int(static_cast<Transactiondb*>(db)->Start());
  return result;
}

// Runs Start on a thread with a stack of `bytes`. Returns 0 when such a
// thread cannot be created.
int StartOnThread(Transactiondb& db, size_t bytes, int* count) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  pthread_t thread;
  bool created = pthread_attr_setstacksize(&attr, bytes) == 0 &&
                 pthread_create(&thread, &attr, MineOnThread, &db) == 0;
  pthread_attr_destroy(&attr);
  if (!created) return 0;
  void* result = nullptr;
  pthread_join(thread, &result);
  *count = *static_cast<int*>(result);
  delete static_cast<int*>(result);
  return 1;
}

// Runs Start on a thread with a large stack (as much as can be reserved
// while leaving the heap room), halving it while the thread cannot be
// created; on the calling thread when not even the smallest stack can be had.
int StartWithLargeStack(Transactiondb& db) {
  int count = 0;
  size_t bytes = ReservableSize(kMiningStackBytes, kSmallestMiningStack);
  for (; bytes >= kSmallestMiningStack; bytes /= 2) {
    if (StartOnThread(db, bytes, &count)) return count;
  }
  return db.Start();
}

// ---------------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------------

// Checks that the dataset is open and is not the output file. Returns 0 or
// the exit status of a refusal.
int CheckDataset(char** argv, const Data& data) {
  if (!data.Opened()) {
    fprintf(stderr, "%s could not be opened!\n", argv[1]);
    return kExitDataset;
  }
  if (OutputIsDataset(data, argv[7])) {
    fprintf(stderr, "%s: error: output file %s is the dataset %s\n", kProgram, argv[7], argv[1]);
    return kExitOutput;
  }
  return 0;
}

// Mines the loaded database into the output file and puts it in place.
// Returns the number of results, or -1 with the reason in errno.
int MineInto(Transactiondb& db, Output& output) {
  int found = StartWithLargeStack(db);
  db.FreeMem();
  if (found < 0) {
    if (output.syncfd >= 0) close(output.syncfd);
    RemovePartialOutput();
    errno = db.tree.writeerror ? db.tree.writeerror : EIO;
    return -1;
  }
  return CommitOutput(&output) ? found : -1;
}

}  // namespace

int RunMiner(int argc, char** argv) {
  OpenClosedStandardStreams();
  clearerr(stdout);
  RunSignals signals;
  SetMemoryExhaustedHandler(ReportOutOfMemory);
  long long startseconds;
  int startmillis;
  Now(&startseconds, &startmillis);
  Parameters parameters;
  if (!TakeSearchOption(&argc, &argv, &parameters.search) || argc < 8 ||
      !ParseArguments(argv, &parameters) || !CheckSearchChoice(parameters)) {
    PrintUsage();
    return kExitUsage;
  }
  std::set_new_handler(HeapExhausted);

  Data data(argv[1]);
  if (int refused = CheckDataset(argv, data)) return refused;
  LoadResult loaded = LoadDatabase(parameters, data);
  if (!loaded.db) {
    ReportRefusal(argv[1], loaded);
    return kExitDataset;
  }
  Transactiondb& db = *loaded.db;
  Output output;
  if (!OpenOutput(argv[7], &output)) {
    fprintf(stderr, "%s: error: cannot create output file %s: %s\n", kProgram, argv[7],
            strerror(errno));
    db.FreeMem();
    return kExitOutput;
  }
  db.tree.outfile = output.file;
  int found = MineInto(db, output);
  if (found < 0) {
    fprintf(stderr, "%s: error: cannot write output file %s: %s\n", kProgram, argv[7],
            strerror(errno));
    return kExitOutput;
  }
  printf("Total number of quasi-bicliques:%d\n", found);
  PrintTimeTaken(startseconds, startmillis);
  if (int error = StandardOutputError()) {
    fprintf(stderr, "%s: error: cannot write standard output: %s\n", kProgram, strerror(error));
    return kExitStandardOutput;
  }
  return 0;
}

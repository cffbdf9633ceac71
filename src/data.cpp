// Driver: command line, run order, timing report, error reporting; the
// dataset reader; the int arena and the pool allocations.
#include "data.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "Tree.h"
#include "exact.h"
#include "expand.h"
#include "pools.h"

int vertexnum = 0;
int itemsize = 0;
int maxlinelen = 0;
int graphtype = 0;

int* Arraypage = nullptr;
long long Arraypagepos = 0;
long long Arraypagemax = 0;

namespace {

// Exit statuses.
constexpr int kExitUsage = 1;
constexpr int kExitDataset = 2;
constexpr int kExitOutput = 3;
constexpr int kExitMemory = 4;

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
// combination member, per item-set node and per extension level, and the
// result tree walks long sibling lists recursively.
constexpr size_t kMiningStackBytes = size_t{1} << 30;

}  // namespace

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------

void OutOfMemory(const char* what) {
  fputs("error", stdout);
  fflush(stdout);
  fprintf(stderr, "\n%s: error: out of memory: %s\n", kProgram, what);
  exit(kExitMemory);
}

namespace {
void HeapExhausted() { OutOfMemory("an allocation from the heap failed"); }
}  // namespace

// The arena asks for as much address space as the machine has memory; pages
// are committed by the system only when touched. When the reservation is
// refused (address-space limits, strict overcommit) it retries with half,
// and keeps half of what it finally got as headroom for the heap.
int ArenaCreate() {
  long long pages = sysconf(_SC_PHYS_PAGES);
  long long pagesize = sysconf(_SC_PAGESIZE);
  size_t bytes = (pages > 0 && pagesize > 0) ? size_t(pages) * size_t(pagesize)
                                             : size_t{1} << 32;
  const size_t smallest = size_t{1} << 20;
  bool refused = false;
  for (; bytes >= smallest; bytes /= 2) {
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) {
      refused = true;
      continue;
    }
    if (refused && bytes / 2 >= smallest) {
      munmap(block, bytes);
      bytes /= 2;
      block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (block == MAP_FAILED) return 0;
    }
    Arraypage = static_cast<int*>(block);
    Arraypagemax = static_cast<long long>(bytes / sizeof(int));
    Arraypagepos = 0;
    return 1;
  }
  return 0;
}

void ArenaDestroy() {
  if (Arraypage) munmap(Arraypage, size_t(Arraypagemax) * sizeof(int));
  Arraypage = nullptr;
  Arraypagemax = 0;
  Arraypagepos = 0;
}

IntPage* NewIntPage(int ints) {
  void* raw = malloc(offsetof(IntPage, slot) + size_t(ints) * sizeof(int));
  if (!raw) OutOfMemory("no memory for a page");
  IntPage* page = static_cast<IntPage*>(raw);
  page->link = nullptr;
  return page;
}

void FreeIntPages(IntPage* first, IntPage* stop) {
  while (first && first != stop) {
    IntPage* next = first->link;
    free(first);
    first = next;
  }
}

int** NewPointerArray(int entries) {
  void* raw = calloc(size_t(entries) + 1, sizeof(int*));
  if (!raw) OutOfMemory("no memory for a pointer array");
  return static_cast<int**>(raw);
}

void FreePointerArrays(PointerArrayPool& pool) {
  while (pool.free) {
    int** next = reinterpret_cast<int**>(pool.free[pool.entries]);
    free(pool.free);
    pool.free = next;
  }
}

// ---------------------------------------------------------------------------
// Dataset reader
// ---------------------------------------------------------------------------

Data::Data(const char* path) : datafile(fopen(path, "r")) {}

Data::~Data() {
  if (datafile) fclose(datafile);
}

void Data::ReadData() {
  for (;;) {
    lastchar = getc_unlocked(datafile);
    if (lastchar == '-') {
      getc_unlocked(datafile);
      lastchar = getc_unlocked(datafile);
    }
    if (lastchar >= '0' && lastchar <= '9') {
      long long value = 0;
      do {
        value = value * 10 + (lastchar - '0');
        if (value > kLargestNumber) {
          toolarge = true;
          value = kLargestNumber;
        }
        lastchar = getc_unlocked(datafile);
      } while (lastchar >= '0' && lastchar <= '9');
      linebuf.push_back(static_cast<int>(value));
    }
    if (lastchar == '\n') return;
    if (feof(datafile) || ferror(datafile)) return;
  }
}

Data::Status Data::FindVertexNum() {
  vertexnum = 0;
  itemsize = 1;
  maxlinelen = 0;
  int largest = 0;
  int first = getc_unlocked(datafile);
  if (first != EOF) {
    ungetc(first, datafile);
    while (!feof(datafile) && !ferror(datafile)) {
      linebuf.clear();
      ReadData();
      if (vertexnum == INT_MAX - 1) {
        errorline = vertexnum + 1;
        return kTooManyLines;
      }
      vertexnum++;
      if (toolarge) {
        errorline = vertexnum;
        return kNumberTooLarge;
      }
      for (int value : linebuf) largest = value > largest ? value : largest;
      if (int(linebuf.size()) > maxlinelen) maxlinelen = int(linebuf.size());
    }
  }
  linebuf.clear();
  if (ferror(datafile)) {
    errorline = vertexnum > 0 ? vertexnum : 1;
    return kReadError;
  }
  itemsize = largest + 1;
  rewind(datafile);
  return kOk;
}

// ---------------------------------------------------------------------------
// Driver
// ---------------------------------------------------------------------------

namespace {

void PrintUsage() { fputs(kUsageText, stderr); }

struct Parameter {
  const char* name;
  int minimum;  // smallest accepted value
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

int CheckArguments(char** argv) {
  static const Parameter kParameters[] = {{"item_supportLevel", 1},
                                          {"itemTolerance", 0},
                                          {"transactionTolerance", 0},
                                          {"transaction_supportLevel", 0},
                                          {"graphType", INT_MIN}};
  int value = 0;
  for (int i = 0; i < 5; i++) {
    if (!ParseParameter(argv[2 + i], kParameters[i], &value)) return 0;
  }
  if (value != 0 && value != 1) {
    fprintf(stderr, "%s: error: graphType '%s' must be 0 or 1\n", kProgram, argv[6]);
    return 0;
  }
  graphtype = value;
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
int CheckSearchChoice(SearchChoice choice, char** argv) {
  if (choice != kSearchExact) return 1;
  int isl = static_cast<int>(strtol(argv[2], nullptr, 10));
  int it = static_cast<int>(strtol(argv[3], nullptr, 10));
  int tt = static_cast<int>(strtol(argv[4], nullptr, 10));
  int tsl = static_cast<int>(strtol(argv[5], nullptr, 10));
  if (InExactRegime(isl, it, tt, tsl)) return 1;
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
  fflush(stdout);
}

void ReportDatasetError(const char* path, const Data& data, Data::Status status) {
  if (status == Data::kNumberTooLarge) {
    fprintf(stderr, "%s: error: %s:%d: number too large (the largest allowed is %d)\n",
            kProgram, path, data.errorline, kLargestNumber);
  } else if (status == Data::kTooManyLines) {
    fprintf(stderr, "%s: error: %s:%d: too many lines\n", kProgram, path, data.errorline);
  } else {
    fprintf(stderr, "%s: error: %s:%d: cannot read the dataset: %s\n", kProgram, path,
            data.errorline, strerror(errno ? errno : EIO));
  }
}

void ReportLoadError(const char* path, const Transactiondb& db, LoadStatus status) {
  switch (status) {
    case kLoadVertexOutOfRange:
      fprintf(stderr,
              "%s: error: %s:%d: vertex id %d is not below the number of lines (%d)\n",
              kProgram, path, db.loaderrorline, db.loaderrorvalue, db.tidcount);
      break;
    case kLoadAsymmetric:
      fprintf(stderr,
              "%s: error: %s:%d: vertex %d lists %d but vertex %d does not list %d\n",
              kProgram, path, db.loaderrorline, db.loaderrorline - 1, db.loaderrorvalue,
              db.loaderrorvalue, db.loaderrorline - 1);
      break;
    case kLoadLineCountChanged:
      fprintf(stderr, "%s: error: %s:%d: the dataset changed while it was read\n",
              kProgram, path, db.loaderrorline);
      break;
    case kLoadOk:
      break;
  }
}

void* MineOnThread(void* db) {
  int* result = new int(static_cast<Transactiondb*>(db)->Start());
  return result;
}

// Runs Start on a thread with a large stack; falls back to the calling
// thread when such a thread cannot be created.
int StartWithLargeStack(Transactiondb& db) {
  pthread_attr_t attr;
  pthread_t thread;
  if (pthread_attr_init(&attr) == 0 &&
      pthread_attr_setstacksize(&attr, kMiningStackBytes) == 0 &&
      pthread_create(&thread, &attr, MineOnThread, &db) == 0) {
    pthread_attr_destroy(&attr);
    void* result = nullptr;
    pthread_join(thread, &result);
    int count = *static_cast<int*>(result);
    delete static_cast<int*>(result);
    return count;
  }
  pthread_attr_destroy(&attr);
  return db.Start();
}

}  // namespace

int RunMiner(int argc, char** argv) {
  long long startseconds;
  int startmillis;
  Now(&startseconds, &startmillis);
  SearchChoice search;
  if (!TakeSearchOption(&argc, &argv, &search) || argc < 8 || !CheckArguments(argv) ||
      !CheckSearchChoice(search, argv)) {
    PrintUsage();
    return kExitUsage;
  }
  std::set_new_handler(HeapExhausted);

  Data data(argv[1]);
  if (!data.datafile) {
    fprintf(stderr, "%s could not be opened!\n", argv[1]);
    return kExitDataset;
  }
  Data::Status status = data.FindVertexNum();
  if (status != Data::kOk) {
    ReportDatasetError(argv[1], data, status);
    return kExitDataset;
  }
  if (graphtype == 1) itemsize = vertexnum;
  if (!ArenaCreate()) OutOfMemory("the int arena cannot be reserved");

  Tree tree(1, argv[7]);
  Transactiondb db(vertexnum, argv[2], argv[3], argv[4], argv[5], argv[7], tree);
  db.search = search;
  LoadStatus load = db.FillTran(&data);
  if (load != kLoadOk) {
    ReportLoadError(argv[1], db, load);
    db.FreeMem();
    return kExitDataset;
  }
  db.tree.outfile = fopen(argv[7], "w");
  if (!db.tree.outfile) {
    fprintf(stderr, "%s: error: cannot create output file %s: %s\n", kProgram, argv[7],
            strerror(errno));
    db.FreeMem();
    return kExitOutput;
  }
  db.InitialiseItemlist();
  db.PrepareItemlist();
  int found = StartWithLargeStack(db);
  db.FreeMem();
  if (found < 0) {
    fprintf(stderr, "%s: error: cannot write output file %s: %s\n", kProgram, argv[7],
            strerror(db.tree.writeerror ? db.tree.writeerror : EIO));
    return kExitOutput;
  }
  PrintTimeTaken(startseconds, startmillis);
  return 0;
}

// The command line: options before the seven arguments, each at most once
// and in any order, then the arguments, read like strtol.
#include "command_line.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "formats.h"
#include "option_checks.h"

#ifndef QB_VERSION
#define QB_VERSION "unknown"
#endif

namespace quasibiclique {

namespace {

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

constexpr const char* kHelpText =
    "Usage: quasibiclique [options] dataset item_supportLevel itemTolerance\n"
    "                     transactionTolerance transaction_supportLevel graphType outputFile\n"
    "\n"
    "Writes every maximal quasi-biclique of the dataset to outputFile, one per line:\n"
    "its transactions, ';', its items. A quasi-biclique is a set of transactions T\n"
    "and a set of items I where every item misses at most itemTolerance transactions\n"
    "of T and every transaction lacks at most transactionTolerance items of I.\n"
    "\n"
    "Arguments:\n"
    "  dataset                   the dataset file (gzip-compressed too); - reads\n"
    "                            standard input\n"
    "  item_supportLevel         fewest items of a result (at least 1)\n"
    "  itemTolerance             transactions of a result any item may miss\n"
    "  transactionTolerance      items of a result any transaction may lack\n"
    "  transaction_supportLevel  fewest transactions of a result (a result has\n"
    "                            at least 2)\n"
    "  graphType                 0: bipartite graph (line k is transaction k, its\n"
    "                            numbers its items); 1: undirected graph (line k\n"
    "                            lists the neighbours of vertex k)\n"
    "  outputFile                the result file, replaced once complete; - writes\n"
    "                            standard output (the count then goes to standard\n"
    "                            error)\n"
    "\n"
    "Options (before the dataset):\n"
    "  --format=NAME             how the dataset is written: lines (the default),\n"
    "                            edges (one edge per line, labels), mtx (Matrix\n"
    "                            Market), baskets (one transaction of item labels\n"
    "                            per line)\n"
    "  --search=auto|exact|tolerance\n"
    "                            which search mines (auto: the exact search where\n"
    "                            it gives the required output)\n"
    "  --threads=N               threads (0, the default: one per core)\n"
    "  --memory-limit=SIZE       keep the stored results within SIZE (such as 512M\n"
    "                            or 2G), spilling to disk beyond it; the run's\n"
    "                            memory within the loaded data, SIZE and 64 MB\n"
    "                            (default: the memory that is free)\n"
    "  --count-only              count the results; write no output file (the\n"
    "                            outputFile argument may then be left out)\n"
    "  --max-results=N           stop once N results are found (status 6)\n"
    "  --time-limit=SECONDS      stop the search after SECONDS (such as 30, 2.5,\n"
    "                            10m or 2h; status 6)\n"
    "  --progress                a live progress line on standard error\n"
    "  --help, -h                this text\n"
    "  --version                 the version\n"
    "\n"
    "Exit status: 0 done, 1 refused arguments, 2 refused dataset, 3 output file\n"
    "failure, 4 out of memory, 5 standard output failure, 6 stopped at\n"
    "--max-results or --time-limit (the results found until then are written).\n"
    "\n"
    "Example:\n"
    "  quasibiclique examples/tiny.dat 3 1 1 3 0 tiny.out\n"
    "  quasibiclique --format=edges --max-results=1000 network.tsv 3 1 1 3 1 out.txt\n";

// Fails with `message` naming the option and the value as written.
Status Refusal(const char* option, const char* value, const char* rule) {
  return Status::InvalidArgument(std::string(option) + " '" + value + "' " + rule);
}

Status ParseSearch(const char* value, RunRequest* request) {
  SearchChoice& choice = request->options.search;
  if (strcmp(value, "exact") == 0) {
    choice = kSearchExact;
  } else if (strcmp(value, "tolerance") == 0) {
    choice = kSearchTolerance;
  } else if (strcmp(value, "auto") == 0) {
    choice = kSearchAuto;
  } else {
    return Refusal("--search", value, "must be auto, exact or tolerance");
  }
  return Status::OK();
}

// A whole decimal number and nothing after it; -1 when it is not one.
long long WholeNumber(const char* value) {
  char* end = nullptr;
  errno = 0;
  const long long n = strtoll(value, &end, 10);
  return end != value && *end == '\0' && errno != ERANGE && isdigit(*value) ? n : -1;
}

Status ParseThreads(const char* value, RunRequest* request) {
  const long long n = WholeNumber(value);
  Status s = CheckThreads(n, value);
  if (s.ok()) request->options.threads = static_cast<int>(n);
  return s;
}

// A whole number of bytes, or of KiB, MiB, GiB or TiB with the suffix K, M,
// G or T; at least 1M.
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
    return Refusal("--memory-limit", value, "must be a size of at least 1M, such as 512M or 2G");
  }
  request->memorylimit = bytes;
  return Status::OK();
}

Status ParseFormatOption(const char* value, RunRequest* request) {
  return ParseFormat(value, &request->format);
}

Status ParseMaxResults(const char* value, RunRequest* request) {
  const long long n = WholeNumber(value);
  Status s = CheckMaxResults(n, false, value);
  if (s.ok()) request->options.max_results = n;
  return s;
}

// Seconds, or minutes or hours with the suffix m or h (s for seconds is
// allowed too).
Status ParseTimeLimit(const char* value, RunRequest* request) {
  char* end = nullptr;
  double seconds = isdigit(static_cast<unsigned char>(*value)) || *value == '.'
                       ? strtod(value, &end)
                       : NAN;
  if (end && *end && !end[1]) {
    const char* units = "smh";
    const double scale[] = {1, 60, 3600};
    const char* at = strchr(units, *end);
    seconds = at ? seconds * scale[at - units] : NAN;
    end++;
  }
  if (!end || *end) seconds = NAN;
  Status s = CheckTimeLimit(seconds, false, value);
  if (s.ok()) request->options.time_limit = seconds;
  return s;
}

Status SetCountOnly(const char*, RunRequest* request) {
  request->countonly = true;
  return Status::OK();
}

Status SetProgress(const char*, RunRequest* request) {
  request->progress = true;
  return Status::OK();
}

// An option before the dataset: "--name=value", or a flag "--name".
struct LeadingOption {
  const char* name;  // with its '=' when it takes a value
  Status (*parse)(const char* value, RunRequest* request);
};
constexpr LeadingOption kLeadingOptions[] = {
    {"--search=", ParseSearch},           {"--threads=", ParseThreads},
    {"--memory-limit=", ParseMemoryLimit}, {"--format=", ParseFormatOption},
    {"--max-results=", ParseMaxResults},   {"--time-limit=", ParseTimeLimit},
    {"--count-only", SetCountOnly},        {"--progress", SetProgress},
};
constexpr int kLeadingOptionCount = sizeof(kLeadingOptions) / sizeof(kLeadingOptions[0]);

// The option `arg` is, or -1.
int OptionOf(const char* arg) {
  for (int k = 0; k < kLeadingOptionCount; k++) {
    const char* name = kLeadingOptions[k].name;
    const size_t length = strlen(name);
    const bool takesvalue = name[length - 1] == '=';
    if (takesvalue ? strncmp(arg, name, length) == 0 : strcmp(arg, name) == 0) return k;
  }
  return -1;
}

bool IsHelp(const char* arg) { return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0; }

// Reads the options before the dataset; *next becomes the index of the
// dataset argument.
Status TakeLeadingOptions(int argc, char** argv, int* next, CommandLineAction* action) {
  bool taken[kLeadingOptionCount] = {};
  for (*next = 1; *next < argc; ++*next) {
    const char* arg = argv[*next];
    if (strcmp(arg, "--") == 0) {
      ++*next;
      break;
    }
    if (IsHelp(arg)) {
      *action = CommandLineAction::kHelp;
      return Status::OK();
    }
    if (strcmp(arg, "--version") == 0) {
      *action = CommandLineAction::kVersion;
      return Status::OK();
    }
    if (strncmp(arg, "--", 2) != 0) break;
    const int k = OptionOf(arg);
    if (k < 0) return Status::InvalidArgument(std::string("unknown option '") + arg + "'");
    if (taken[k]) {
      return Status::InvalidArgument(std::string("option '") + arg + "' is given twice");
    }
    taken[k] = true;
  }
  return Status::OK();
}

// Warns when a number argument holds more than its number: it is read as
// far as its digits go, as it always was.
void WarnOfTrailingText(NumericOption which, const char* text, long long value) {
  char* end = nullptr;
  strtoll(text, &end, 10);
  if (end != text && *end == '\0') return;
  fprintf(stderr, "%s: warning: %s '%s' was read as %lld\n", kProgram,
          NumericOptionName(which), text, value);
}

// Reads the five number arguments (argv[0] to argv[4]) like strtol in base
// 10 (leading blanks, a sign, digits; no digits gives 0) and checks them,
// quoting the text in a refusal.
Status ParseNumbers(char** argv, Options* options) {
  for (int k = 0; k < kNumericOptions; k++) {
    errno = 0;
    long long value = strtoll(argv[k], nullptr, 10);
    if (errno == ERANGE) value = LLONG_MAX;  // refused as out of range
    Status s = CheckNumericOption(NumericOption(k), value, argv[k]);
    if (!s.ok()) return s;
    SetNumericOption(NumericOption(k), static_cast<int>(value), options);
  }
  return CheckGraphType(options->graphtype, argv[kGraphTypeOption]);
}

void WarnOfTrailingTexts(char** argv) {
  for (int k = 0; k < kNumericOptions; k++) {
    WarnOfTrailingText(NumericOption(k), argv[k], strtoll(argv[k], nullptr, 10));
  }
}

// The options' values, now that each is known to be a leading option.
Status ParseOptionValues(char** argv, int count, RunRequest* request) {
  for (int k = 1; k < count; k++) {
    const int option = OptionOf(argv[k]);
    if (option < 0) continue;  // "--"
    Status s =
        kLeadingOptions[option].parse(argv[k] + strlen(kLeadingOptions[option].name), request);
    if (!s.ok()) return s;
  }
  return Status::OK();
}

// Checks that go across arguments.
Status CheckCombination(const RunRequest& request) {
  if (request.format == kFormatBaskets && request.options.graphtype == kUndirected) {
    return Status::InvalidArgument("--format=baskets needs graphType 0");
  }
  return CheckSearchChoice(request.options);
}

void Report(const Status& s) { fprintf(stderr, "%s: error: %s\n", kProgram, s.message().c_str()); }

}  // namespace

CommandLineAction ParseCommandLine(int argc, char** argv, RunRequest* request) {
  CommandLineAction action = CommandLineAction::kRun;
  int next = 1;
  Status s = TakeLeadingOptions(argc, argv, &next, &action);
  if (s.ok() && action != CommandLineAction::kRun) return action;
  if (s.ok()) s = ParseOptionValues(argv, next, request);
  const int positional = argc - next;
  if (s.ok() && positional < (request->countonly ? 6 : 7)) {
    PrintUsage();
    return CommandLineAction::kRefused;
  }
  if (s.ok()) s = ParseNumbers(argv + next + 1, &request->options);
  if (s.ok()) s = CheckCombination(*request);
  if (!s.ok()) {
    Report(s);
    PrintUsage();
    return CommandLineAction::kRefused;
  }
  WarnOfTrailingTexts(argv + next + 1);
  request->dataset = argv[next];
  request->output = positional >= 7 && !request->countonly ? argv[next + 6] : nullptr;
  return CommandLineAction::kRun;
}

void PrintUsage() { fputs(kUsageText, stderr); }

void PrintHelp() { fputs(kHelpText, stdout); }

void PrintVersion() { printf("%s %s\n", kProgram, QB_VERSION); }

}  // namespace quasibiclique

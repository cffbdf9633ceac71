// The miner of maximal quasi-bicliques as a library.
//
// A quasi-biclique of a dataset is a pair (T, I) of a set of transactions and
// a set of items in which every item of I is missing from at most
// itemTolerance transactions of T, every transaction of T lacks at most
// transactionTolerance items of I, |I| >= item_supportLevel and
// |T| >= max(2, transaction_supportLevel). A run loads a Database for a set of
// Options, then mines it: every result reaches a ResultSink, in the order and
// with the ids the command-line program writes to its output file.
//
//   quasibiclique::Options options;
//   options.item_supportLevel = 3;  ...
//   std::unique_ptr<quasibiclique::Database> db;
//   quasibiclique::Status s = quasibiclique::Database::FromFile("d.dat", options, &db);
//   if (s.ok()) s = quasibiclique::Mine(*db, options, sink);
//
// Thread safety: a Database is immutable once loaded and may be mined by
// several threads at once; every Mine call has its own working state, so
// runs on different threads never share memory they write.
#ifndef QUASIBICLIQUE_QUASIBICLIQUE_H
#define QUASIBICLIQUE_QUASIBICLIQUE_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quasibiclique {

class DatabaseLoader;

// The outcome of a call: success, or a failure with a message that names
// what failed (file, line, value, reason), composed where it was found.
class Status {
 public:
  enum Code {
    kOk = 0,
    kInvalidArgument,  // an option value is refused
    kNotFound,         // the dataset cannot be opened
    kCorruption,       // the dataset's content is refused
    kIOError,          // an output cannot be written
    kOutOfMemory,      // memory ran out; the message names what was exhausted
    kStopped,          // the run stopped at a limit of its options (max_results,
                       // time_limit); the message names it. The results found
                       // until then were handed over (or written).
  };

  Status() = default;  // success
  static Status OK() { return Status(); }
  static Status InvalidArgument(std::string message) {
    return {kInvalidArgument, std::move(message)};
  }
  static Status NotFound(std::string message) { return {kNotFound, std::move(message)}; }
  static Status Corruption(std::string message) { return {kCorruption, std::move(message)}; }
  static Status IOError(std::string message) { return {kIOError, std::move(message)}; }
  static Status OutOfMemory(std::string message) { return {kOutOfMemory, std::move(message)}; }
  static Status Stopped(std::string message) { return {kStopped, std::move(message)}; }

  bool ok() const { return code_ == kOk; }
  Code code() const { return code_; }
  // The message alone ("" for success).
  const std::string& message() const { return message_; }

 private:
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  Code code_ = kOk;
  std::string message_;
};

// How a dataset's lines are read.
enum GraphType : int {
  kBipartite = 0,   // line k is transaction k; its numbers are its items
  kUndirected = 1,  // line k lists the neighbours of vertex k, which is both
                    // a transaction and an item
};

// How a dataset's text is written. In the labelled formats (all but
// kFormatLines) transactions and items are named by labels, any text without
// blanks, tabs or commas; the ids a ResultSink receives are then numbers the
// loading gave (see Database::transaction_label and item_label).
enum DatasetFormat : int {
  kFormatLines = 0,  // line k is transaction k, its numbers are the items
  kFormatEdges,      // one edge per line: "<transaction> <item>" (graph type 1:
                     // "<vertex> <vertex>"), further fields ignored; '#' and
                     // '%' lines are comments
  kFormatMtx,        // a Matrix Market coordinate matrix: rows are transactions,
                     // columns items (graph type 1: a square adjacency matrix)
  kFormatBaskets,    // line k is transaction k, its fields are item labels;
                     // '#' and '%' lines are empty transactions; graph type 0 only
};

// Which search mines.
enum SearchChoice : int {
  kSearchAuto = 0,   // the exact search where its output is the one required
                     // (see InExactRegime), else the tolerance walk
  kSearchExact,      // the exact search; refused outside its regime
  kSearchTolerance,  // the tolerance walk always
};

// A request to stop runs from outside them: another thread, or a signal
// handler (RequestStop is a lock-free atomic store). A run whose options name
// the token stops soon after the request, like at a bound of its options:
// Mine returns Stopped and has handed over the results found until then.
class StopToken {
 public:
  void RequestStop() { requested_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const { return requested_.load(std::memory_order_relaxed); }
  // Withdraws the request, for the runs that start next.
  void Reset() { requested_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<bool> requested_{false};
};

// The most threads a run may be given.
constexpr int kMaxThreads = 1024;

// The parameters of a run.
struct Options {
  int item_supportLevel = 1;         // fewest items of a result; >= 1
  int itemTolerance = 0;             // transactions of a result any item may miss; >= 0
  int transactionTolerance = 0;      // items of a result any transaction may lack; >= 0
  int transaction_supportLevel = 0;  // fewest transactions of a result; >= 0
  GraphType graphtype = kBipartite;
  SearchChoice search = kSearchAuto;
  // Threads that mine, lay out and write; 0: one for every core the process
  // may run on. Any number gives the same results in the same order.
  int threads = 0;
  // Bounds of a run (0: none). The search stops once it has found
  // max_results results, or after time_limit seconds; the results found
  // until then are the run's results (at most max_results of them, each
  // one a result of the full run but for the tolerance walk's, which a
  // later, larger pair could have replaced).
  long long max_results = 0;
  double time_limit = 0;
  // Stops the run when a stop is requested of it; null: none. The token
  // must outlive the run.
  const StopToken* stop = nullptr;

  // Returns OK, or the first refusal the command line would give for these
  // values (same message, without the program's name), checking the fields
  // in the order above, then the graph type, then the search choice, then
  // the threads (0 .. kMaxThreads), then the bounds (>= 0, finite).
  Status Validate() const;
};

// True when the output is exactly the set of maximal quasi-bicliques:
// transactionTolerance < item_supportLevel and
// itemTolerance < max(2, transaction_supportLevel).
bool InExactRegime(const Options& options);

// A dataset loaded for one set of options: read, checked, pruned of the
// transactions and items that cannot be part of any result for those options,
// renumbered, and held as transaction lists and item lists with the maps back
// to the dataset's ids. Immutable once loaded.
class Database {
 public:
  // Loads the dataset text file at `path` (any file that can be read once:
  // a pipe, a FIFO or /dev/stdin work too), written in `format`; a
  // gzip-compressed file is inflated first. The default text: line k is
  // transaction (or vertex) k, holding non-negative decimal numbers separated
  // by any non-digits; a '-' is skipped with the two characters after it.
  // Returns OK; NotFound; Corruption "<path>:<line>: <what>" (a labelled
  // format also names the field); InvalidArgument when `format` does not
  // serve options.graphtype; or OutOfMemory.
  // REQUIRES: options.Validate() is OK.
  static Status FromFile(const std::string& path, const Options& options,
                         std::unique_ptr<Database>* db, DatasetFormat format = kFormatLines);
  // The same for dataset text (default format, or gzip-compressed) held in
  // memory.
  static Status FromBuffer(const char* text, size_t size, const Options& options,
                           std::unique_ptr<Database>* db);
  // Transaction k holds the items transactions[k] (for graph type 1: vertex k
  // lists its neighbours); every id must be in 0 .. 2147483646. Repeated ids
  // count once.
  static Status FromTransactions(const std::vector<std::vector<int>>& transactions,
                                 const Options& options, std::unique_ptr<Database>* db);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  int lines() const;         // transactions (lines) of the dataset
  int transactions() const;  // transactions kept after pruning
  int items() const;         // items kept after pruning

  // The options the database was loaded for.
  const Options& options() const;

  // True when the dataset was written in a labelled format.
  bool labelled() const;
  // The label of the dataset id `tid` that a ResultSink receives: as written
  // in the dataset, or the decimal number of tid when the format gives
  // transactions no labels (the default format, baskets).
  // REQUIRES: 0 <= tid < lines()
  std::string transaction_label(int tid) const;
  // The same for the dataset id `item` (graph type 1: the vertex label).
  // REQUIRES: item is an id a ResultSink received
  std::string item_label(int item) const;

  // The loaded lists, for the library's own units; opaque to callers.
  struct Rep;
  const Rep& rep() const { return *rep_; }

 private:
  friend class DatabaseLoader;
  explicit Database(std::unique_ptr<Rep> rep);
  std::unique_ptr<Rep> rep_;
};

// Receives the results of a run.
class ResultSink {
 public:
  virtual ~ResultSink();
  // One result: its transactions (the dataset's line numbers, from 0) and its
  // items (the dataset's numbers; vertex ids for graph type 1), each
  // ascending, as the output file writes them. The lists are valid only
  // during the call. Called once per result, in the output file's order,
  // from the thread that called Mine, whatever the options' threads.
  virtual void Add(const int* transactions, int ntransactions, const int* items, int nitems) = 0;
};

// Mines db and hands every result to sink, once the search has ended (the
// results are stored while it runs, as the output file needs them in its
// order). Returns OK, InvalidArgument when options are refused or differ from
// the options db was loaded for in anything but the search choice and the
// threads (nothing is mined then), OutOfMemory (when memory runs out while the results are
// handed over, the sink has seen the results before that point), or Stopped when the run
// reached options.max_results or options.time_limit (the sink has seen every result found
// until then, in the output file's order).
Status Mine(const Database& db, const Options& options, ResultSink& sink);

// Hands each result to sink as the exact search finds it, while the search
// runs, keeping none: in no fixed order, one call at a time (from the run's
// threads, not always the caller's). The results are those Mine hands over;
// for an undirected graph, a result whose mirror (its items as transactions
// and its transactions as items) is a result too comes once, as the one of
// the two whose smallest transaction is below its smallest item (the output
// file may write the other). Returns what Mine returns, and InvalidArgument
// when the options choose the tolerance walk (it may replace a pair it found
// by a later one, so only its end tells its results).
Status MineAsFound(const Database& db, const Options& options, ResultSink& sink);

// Sets *results to the number of results Mine would hand over (the lines of
// the output file), without keeping the exact search's results at all.
// Returns what Mine returns; on Stopped, *results counts the results found
// until then.
Status Count(const Database& db, const Options& options, long long* results);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_QUASIBICLIQUE_H

// Results spilled to disk: runs of results in the output order, each in an
// unnamed temporary file (gone with the process, however it ends), and the
// merge of the runs in that order.
#ifndef QUASIBICLIQUE_RESULT_RUNS_H
#define QUASIBICLIQUE_RESULT_RUNS_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pair_sink.h"

namespace quasibiclique {

// The output order of two itemsets of new item ids, each ascending: < 0
// when a comes first, 0 when equal, > 0 when b comes first. At the first
// item where they differ the smaller one comes first; of an itemset and a
// longer one it begins, a single item comes first, and otherwise the longer
// one (the order of the result writer's walk: a top-level itemset before
// those below it, below the top deeper itemsets before their prefixes).
int CompareItemsets(const int* a, int na, const int* b, int nb);

// One run: results in the output order, each ascending lists of new ids,
// written once and then read back once. Kept in an unnamed file in a
// directory, so nothing is left behind. Failures to create, write or read
// the file throw MemoryExhausted: the results no longer fit anywhere.
class RunFile final : public PairSink {
 public:
  explicit RunFile(const std::string& directory);
  ~RunFile() override;
  RunFile(const RunFile&) = delete;
  RunFile& operator=(const RunFile&) = delete;

  // Appends a result; results must come in the output order.
  void Add(const int* tids, int ntids, const int* items, int nitems) override;
  // Ends the writing; the results are then read from the first.
  void Rewind();
  // Reads the next result into the run's own lists; false after the last.
  bool Next();
  const std::vector<int>& tids() const { return tids_; }
  const std::vector<int>& items() const { return items_; }

 private:
  void Read(int* to, size_t n);

  std::FILE* file_ = nullptr;
  std::vector<int> tids_, items_;  // the result last read
};

// The merge of runs: every result of all of them, in the output order
// (itemsets by CompareItemsets, the tidsets of one itemset ascending
// lexicographically).
class RunMerge {
 public:
  explicit RunMerge(std::vector<std::unique_ptr<RunFile>> runs);
  // Sets the arguments to the next result (valid until the next call);
  // false after the last.
  bool Next(const int** tids, int* ntids, const int** items, int* nitems);

 private:
  bool Before(size_t a, size_t b) const;  // run a's current result comes before run b's

  std::vector<std::unique_ptr<RunFile>> runs_;
  std::vector<size_t> heap_;  // runs with a current result, the first on top
  size_t last_ = SIZE_MAX;    // the run whose result was handed out last
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RESULT_RUNS_H

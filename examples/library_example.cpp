// Mines a small database built in memory (the transactions of
// examples/tiny.dat) for at least 3 items and 3 transactions, each item
// allowed to miss one transaction and each transaction to lack one item, and
// prints each result as the output file writes it, then the count.
#include <cstdio>
#include <memory>
#include <vector>

#include "quasibiclique/quasibiclique.h"

namespace {

// Prints each result as a line "t1 t2 ... ;i1 i2 ... " and counts them.
class PrintingSink : public quasibiclique::ResultSink {
 public:
  void Add(const int* transactions, int ntransactions, const int* items, int nitems) override {
    for (int k = 0; k < ntransactions; k++) std::printf("%d ", transactions[k]);
    std::printf(";");
    for (int k = 0; k < nitems; k++) std::printf("%d ", items[k]);
    std::printf("\n");
    count++;
  }
  long long count = 0;
};

}  // namespace

int main() {
  const std::vector<std::vector<int>> transactions = {
      {0, 1, 2, 3}, {0, 1, 2}, {0, 1, 3}, {1, 2, 3}, {0, 2, 3, 4}, {4, 5}, {3, 4, 5}, {2, 4, 5}};
  quasibiclique::Options options;
  options.item_supportLevel = 3;
  options.itemTolerance = 1;
  options.transactionTolerance = 1;
  options.transaction_supportLevel = 3;
  options.graphtype = quasibiclique::kBipartite;

  std::unique_ptr<quasibiclique::Database> db;
  quasibiclique::Status s = quasibiclique::Database::FromTransactions(transactions, options, &db);
  PrintingSink sink;
  if (s.ok()) s = quasibiclique::Mine(*db, options, sink);
  if (!s.ok()) {
    std::fprintf(stderr, "library_example: %s\n", s.message().c_str());
    return 1;
  }
  std::printf("results: %lld\n", sink.count);
  return 0;
}

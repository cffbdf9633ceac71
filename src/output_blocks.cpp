// Blocks of the output: their bounds, the lengths of their lines and the
// mirror rule across them.
#include "output_blocks.h"

#include <algorithm>
#include <numeric>
#include <string>

#include "exact.h"
#include "miner.h"
#include "result_runs.h"

namespace quasibiclique {

std::vector<int> BlockBounds(const std::vector<long long>& weights, int blocks) {
  const int items = static_cast<int>(weights.size());
  const long long total = std::accumulate(weights.begin(), weights.end(), 0LL);
  std::vector<int> bounds(static_cast<size_t>(blocks) + 1, items);
  bounds[0] = 0;
  long long before = 0;  // the weight of the items before `item`
  int item = 0;
  for (int b = 1; b < blocks; b++) {
    // Block b starts at the first item whose weight before it reaches b
    // shares of the total (and with nothing to weigh, every block but the
    // last is empty).
    const long long share = total == 0 ? 1 : (total * b + blocks - 1) / blocks;
    while (item < items && before < share) before += weights[size_t(item++)];
    bounds[size_t(b)] = item;
  }
  return bounds;
}

int BlockOf(const std::vector<int>& bounds, int item) {
  const auto next = std::upper_bound(bounds.begin() + 1, bounds.end() - 1, item);
  return static_cast<int>(next - bounds.begin()) - 1;
}

namespace {

// Per new id of one side: the bytes of its text and its space.
std::vector<int> IdBytes(const std::vector<int>& oldid, const Labels& labels) {
  std::vector<int> bytes(oldid.size());
  for (size_t id = 0; id < oldid.size(); id++) {
    const size_t text = labels.empty() ? std::to_string(oldid[id]).size()
                                       : labels[oldid[id]].size();
    bytes[id] = static_cast<int>(text) + 1;
  }
  return bytes;
}

}  // namespace

LineBytes::LineBytes(const Database::Rep& rep)
    : tidbytes_(IdBytes(rep.tidoldid, rep.tidlabels)),
      itembytes_(IdBytes(rep.itemoldid, rep.itemlabels)) {}

long long LineBytes::Of(const int* tids, int ntids, const int* items, int nitems) const {
  long long bytes = 2;  // ';' and the newline
  for (int k = 0; k < ntids; k++) bytes += tidbytes_[size_t(tids[k])];
  for (int k = 0; k < nitems; k++) bytes += itembytes_[size_t(items[k])];
  return bytes;
}

BlockSize SizeOfLines(ResultWriter& writer, const Database::Rep& rep) {
  class Sizer final : public PairSink {
   public:
    explicit Sizer(const Database::Rep& rep) : bytes_(rep) {}
    void Add(const int* tids, int ntids, const int* items, int nitems) override {
      size.lines++;
      size.bytes += bytes_.Of(tids, ntids, items, nitems);
    }
    BlockSize size;

   private:
    const LineBytes bytes_;
  } sizer(rep);
  writer.HandOver(sizer);
  return sizer.size;
}

ResultWriter::Drop ExactSearchMirrorDrop(const Database& db, const Options& options) {
  const ExactInput input = ExactInputOf(db.rep(), options);
  return [input](const int* tids, int ntids, const int* items, int nitems) {
    return CompareItemsets(items, nitems, tids, ntids) <= 0 &&
           IsMaximalPair(input, items, nitems, tids, ntids);
  };
}

}  // namespace quasibiclique

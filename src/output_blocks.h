// The output of a run cut into blocks that several processes write
// together: which block holds the results of which first items, how many
// bytes each result's line takes before any is written, and the mirror rule
// of undirected graphs for results that lie in different blocks.
#ifndef QUASIBICLIQUE_OUTPUT_BLOCKS_H
#define QUASIBICLIQUE_OUTPUT_BLOCKS_H

#include <vector>

#include "database.h"
#include "quasibiclique/quasibiclique.h"
#include "result_writer.h"

namespace quasibiclique {

// The first item of each of `blocks` blocks, and weights.size() at the end:
// block b holds the results whose first item (new id) lies in
// [bounds[b], bounds[b + 1]). weights[i] is what the results with first
// item i weigh; the cuts fall where the weights before them reach equal
// shares, so that the blocks weigh about the same (a single heavy item
// stays whole in its block). Blocks may be empty.
std::vector<int> BlockBounds(const std::vector<long long>& weights, int blocks);

// The block of item `item` under bounds (as BlockBounds makes them).
int BlockOf(const std::vector<int>& bounds, int item);

// The bytes of the output line of a result: every id's text (its dataset
// id in decimal, or its label) and a space, ';' between the sides and the
// newline.
class LineBytes {
 public:
  explicit LineBytes(const Database::Rep& rep);
  // The line of (tids, items), new ids.
  long long Of(const int* tids, int ntids, const int* items, int nitems) const;

 private:
  std::vector<int> tidbytes_;   // per new tid: its text and space
  std::vector<int> itembytes_;  // per new item
};

// What the lines of a block of the output come to.
struct BlockSize {
  long long lines = 0;
  long long bytes = 0;
};

// The lines `writer` writes and their bytes, with the ids of rep (labels
// included), before anything is written.
BlockSize SizeOfLines(ResultWriter& writer, const Database::Rep& rep);

// The mirror rule of a single store for the pairs of an exact search that
// ran to its end, kept in several blocks: of two mirrors the one the output
// walk meets later stays. A pair goes when its mirror is one of the
// search's pairs too and its own itemset does not come after the mirror's.
// REQUIRES: options are those db was loaded for, and choose the exact search.
ResultWriter::Drop ExactSearchMirrorDrop(const Database& db, const Options& options);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_OUTPUT_BLOCKS_H

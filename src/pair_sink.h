// The one shape in which results travel: a producer (a search, or the walk
// over the stored results) hands each pair to a sink, which stores, counts,
// writes or forwards it.
#ifndef QUASIBICLIQUE_PAIR_SINK_H
#define QUASIBICLIQUE_PAIR_SINK_H

namespace quasibiclique {

class PairSink {
 public:
  virtual ~PairSink() = default;
  // One pair: tids[0 .. ntids) and items[0 .. nitems), each strictly
  // ascending. The lists belong to the producer and are valid only during
  // the call. Which ids they hold (those of the loaded database or those of
  // the dataset) is stated by the producer.
  virtual void Add(const int* tids, int ntids, const int* items, int nitems) = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_PAIR_SINK_H

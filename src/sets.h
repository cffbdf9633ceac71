// Set primitives over ascending int lists, the shape of every transaction,
// item and tid list of the miner.
//   counted list: [n | e1 ... en], ascending
#ifndef QUASIBICLIQUE_SETS_H
#define QUASIBICLIQUE_SETS_H

namespace quasibiclique {

// n ascending ints starting at at.
struct ListView {
  const int* at;
  int n;
};

// The elements of a counted list.
inline ListView Counted(const int* record) { return {record + 1, record[0]}; }

// Membership of a non-decreasing sequence of values in an ascending list: the
// cursor only moves forward, so answering every value of a sequence costs one
// merge of the two lists.
class AscendingCursor {
 public:
  explicit AscendingCursor(ListView list) : list_(list) {}

  // Returns true iff value is in the list. value is not below the value of
  // the previous call.
  bool Holds(int value) {
    while (pos_ < list_.n && list_.at[pos_] < value) pos_++;
    return pos_ < list_.n && list_.at[pos_] == value;
  }
  // Returns true once every element is below the last value asked for.
  bool Exhausted() const { return pos_ >= list_.n; }

 private:
  ListView list_;
  int pos_ = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_SETS_H

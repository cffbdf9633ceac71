// The labelled dataset formats (edge lists, Matrix Market matrices, baskets
// of labelled items): their conversion to the text of the default format,
// with the labels of the ids that conversion gave; and the choice of format.
#ifndef QUASIBICLIQUE_FORMATS_H
#define QUASIBICLIQUE_FORMATS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

// The texts written for the ids of one side: label k is the text of old id
// k. All labels are held in one buffer.
class Labels {
 public:
  int size() const { return static_cast<int>(ends_.size()); }
  bool empty() const { return ends_.empty(); }
  // REQUIRES: 0 <= id < size()
  std::string_view operator[](int id) const {
    const size_t begin = id == 0 ? 0 : ends_[id - 1];
    return std::string_view(chars_.data() + begin, ends_[id] - begin);
  }
  // Gives the next id the label `label`.
  void Add(std::string_view label) {
    chars_.insert(chars_.end(), label.begin(), label.end());
    ends_.push_back(chars_.size());
  }

 private:
  std::vector<char> chars_;   // the labels one after the other
  std::vector<size_t> ends_;  // where label k ends in chars_
};

// A labelled dataset converted to the default format.
struct LabelledText {
  // Line k lists the old ids of transaction k's items, separated by blanks,
  // with '\n' between lines: the reader counts exactly the transactions.
  std::vector<char> lines;
  Labels tids;   // per old tid; empty when the line number is the label (baskets)
  Labels items;  // per old item; graph type 1: the vertex labels (as tids)
};

// Converts the text[0, size) of a dataset written in `format` (not
// kFormatLines) for `graphtype` to `out`. Returns OK; Corruption
// "<name>:<line>: <what>" (lines from 1, counting every line of the text;
// "field <k>: " before <what> when one field is wrong); or InvalidArgument
// when the format does not serve the graph type.
// Edge lists: ids by first appearance (graph type 0: transactions among first
// fields, items among second fields; graph type 1: vertices in either),
// graph type 1 edges made symmetric, without self loops and repeats. Matrix
// Market: transaction k is row k + 1, item k column k + 1, labelled by those
// numbers; symmetric matrices mirrored. Baskets: items by first appearance.
Status ConvertLabelled(const char* text, size_t size, DatasetFormat format, GraphType graphtype,
                       const std::string& name, LabelledText* out);

// Parses a --format value: "lines", "edges", "mtx" or "baskets". Returns OK,
// or InvalidArgument "--format 'X' must be lines, edges, mtx or baskets".
Status ParseFormat(const char* value, DatasetFormat* format);

// For a dataset read in the default format: when its first non-blank line
// starts with a Matrix Market banner ("%%MatrixMarket", in any case), or
// with '%' or '#', one line saying what the dataset looks like and which
// --format reads it (no line end); else "".
std::string FormatHint(const char* text, size_t size);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_FORMATS_H

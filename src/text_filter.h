// A filter between the result writers and an output file: passes at most a
// given number of lines and, for datasets with labels, writes each id as its
// label. The writers keep writing dataset ids in decimal into an ordinary
// FILE, so that every way of writing (one store, shards, merged runs) gets
// the same filter.
#ifndef QUASIBICLIQUE_TEXT_FILTER_H
#define QUASIBICLIQUE_TEXT_FILTER_H

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quasibiclique {

class TextFilter {
 public:
  // The text written for dataset id `id` of one side.
  using LabelOf = std::function<std::string_view(int id)>;

  // Writes into `out` (which stays open; null: nowhere) at most `maxlines` lines (< 0: all)
  // of the result lines "t1 t2 ... ;i1 i2 ... \n" written to file(); with
  // labels, every tid as tidlabel(tid) and every item as itemlabel(item),
  // each followed by a space as the id was. A side whose labels are null
  // keeps its ids.
  TextFilter(std::FILE* out, long long maxlines, LabelOf tidlabel, LabelOf itemlabel);
  ~TextFilter();
  TextFilter(const TextFilter&) = delete;
  TextFilter& operator=(const TextFilter&) = delete;

  // Where the result lines go; null when it could not be made (errno set).
  std::FILE* file() const { return file_; }
  // Passes on what file() still buffers and closes it. Returns 0, or the
  // errno of the first failed write to `out`.
  int Close();
  // Lines passed on so far.
  long long lines() const { return lines_; }

 private:
  static ssize_t WriteThrough(void* filter, const char* text, size_t size);
  size_t PassLines(const char* text, size_t size);
  void Relabel(const char* text, size_t size);
  void PutLabel();
  void Put(const char* text, size_t size);
  void FlushPending();

  std::FILE* out_;
  std::FILE* file_ = nullptr;
  const long long maxlines_;
  LabelOf tidlabel_, itemlabel_;
  long long lines_ = 0;
  std::vector<char> pending_;  // text passed on, not yet written to out_
  int error_ = 0;
  // Relabelling state across writes: the id read so far and its side.
  long long id_ = -1;
  bool initems_ = false;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_TEXT_FILTER_H

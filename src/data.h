// Dataset reader.
#ifndef QUASIBICLIQUE_DATA_H
#define QUASIBICLIQUE_DATA_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

// Largest number a dataset may hold: the largest + 1 must fit an int.
constexpr int kLargestNumber = 2147483646;

// Reads a dataset once, whole, into memory, then walks that one copy: the line
// count and the loader see the same bytes, so nothing the loader meets can lie
// beyond what the count found, and pipes, FIFOs and /proc files work like
// plain files. A line holds non-negative decimal numbers separated by any
// non-digits; a '-' is skipped together with the two characters after it (so
// "-1" markers vanish). A text that starts with the gzip magic bytes is
// inflated once read (all of its concatenated members), and the inflated text
// is the dataset.
class Data {
 public:
  explicit Data(const char* path);  // Opened() is false when the open failed
  // A dataset whose text is already in memory (copied).
  Data(const char* text, size_t size);
  ~Data();
  Data(const Data&) = delete;
  Data& operator=(const Data&) = delete;

  bool Opened() const { return fd_ >= 0 || inmemory_; }
  int Descriptor() const { return fd_; }  // the open dataset, -1 if none

  // Reads the whole file once and, when it is gzip-compressed, inflates it.
  // Later calls, and FindVertexNum, read nothing again and give back the
  // first call's outcome. Returns OK, or Corruption "<name>:<line>: cannot
  // read the dataset: <reason>", where <line> is the line being read when
  // the read failed: for a corrupt or truncated gzip stream, the line of the
  // inflated text reached by then (1 when nothing was inflated); or
  // OutOfMemory when the text does not fit, with nothing of it kept.
  Status ReadText(const std::string& name);
  // The text read by ReadText (inflated) or given by ReplaceText.
  const std::vector<char>& Text() const { return text_; }
  // Makes `text` the dataset, as if read: FindVertexNum counts it.
  void ReplaceText(std::vector<char> text);

  // Reads the whole file (ReadText), then counts the lines and finds the
  // largest number with exactly the rules of ReadLine and goes back to the
  // start. An empty file has 0 lines. Returns OK, or Corruption naming the dataset (`name`)
  // and the 1-based line where it failed: a number too large, too many
  // lines, or a read error with its reason. ErrorLine() is that line.
  Status FindVertexNum(const std::string& name);

  // What FindVertexNum found: the number of lines, the largest number + 1
  // (1 when there is none) and the most numbers on one line.
  int Lines() const { return lines_; }
  int ItemSize() const { return itemsize_; }
  int LongestLine() const { return longestline_; }
  int ErrorLine() const { return errorline_; }

  // Replaces `numbers` with the numbers of the next line, in file order. After
  // a successful FindVertexNum none is above the largest it found and there
  // are at most LongestLine() of them.
  void ReadLine(std::vector<int>& numbers);

  // True once a read went past the last byte.
  bool AtEnd() const { return ateof_; }

  // Frees the copy of the file; ReadLine must not be called afterwards.
  void Release();

 private:
  int ReadAll();  // 1 when the whole file is in text_, else 0 with errno set
  // ReadText's work: the file read and inflated; throws std::bad_alloc.
  Status ReadWholeText(const std::string& name);
  // Replaces a gzip-compressed text_ with its inflation; the refusal of
  // `name` when the stream is corrupt or truncated.
  Status InflateText(const std::string& name);
  // The refusal of the dataset `name` at errorline_.
  Status Refusal(const std::string& name, const std::string& what) const;
  int Next() {
    if (position_ < text_.size()) return static_cast<unsigned char>(text_[position_++]);
    ateof_ = true;
    return EOF;
  }

  int fd_;
  bool inmemory_ = false;   // the text was given, not read from fd_
  bool textread_ = false;   // ReadText ran (or ReplaceText gave the text)
  Status readstatus_;       // what ReadText returned
  std::vector<char> text_;  // the whole file
  size_t position_ = 0;     // next byte of text_ to read
  bool ateof_ = false;
  bool toolarge_ = false;   // a read met a number above kLargestNumber
  int lines_ = 0;
  int itemsize_ = 1;
  int longestline_ = 0;
  int errorline_ = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_DATA_H

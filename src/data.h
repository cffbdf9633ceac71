// Driver and dataset reader.
#ifndef QUASIBICLIQUE_DATA_H
#define QUASIBICLIQUE_DATA_H

#include <cstddef>
#include <cstdio>
#include <vector>

// Dimensions of the dataset, set by Data::FindVertexNum before anything else
// is allocated.
extern int vertexnum;   // lines of the dataset (transactions or vertices)
extern int itemsize;    // largest number + 1 (graph type 1: vertexnum)
extern int maxlinelen;  // most numbers on one line, as ReadData reads them
extern int graphtype;   // 0 bipartite graph, 1 undirected graph

// Largest number a dataset may hold: itemsize = largest + 1 must fit an int.
constexpr int kLargestNumber = 2147483646;

// Reads a dataset once, whole, into memory, then walks that one copy: the line
// count and the loader see the same bytes, so nothing the loader meets can lie
// beyond what the count found, and pipes, FIFOs and /proc files work like
// plain files. A line holds non-negative decimal numbers separated by any
// non-digits; a '-' is skipped together with the two characters after it (so
// "-1" markers vanish).
class Data {
 public:
  enum Status { kOk = 0, kNumberTooLarge, kTooManyLines, kReadError };

  explicit Data(const char* path);  // fd is -1 when the open failed
  ~Data();
  Data(const Data&) = delete;
  Data& operator=(const Data&) = delete;

  bool Opened() const { return fd >= 0; }

  // Reads the whole file, then counts the lines and finds the largest number
  // with exactly the rules of ReadData and goes back to the start. Sets
  // vertexnum, itemsize (largest + 1) and maxlinelen. An empty file has 0
  // lines. On a failure `errorline` is the 1-based line where it happened
  // (for kReadError errno holds the reason).
  Status FindVertexNum();

  // Appends the numbers of the next line to linebuf (which the caller empties).
  void ReadData();

  // True once a read went past the last byte.
  bool AtEnd() const { return ateof; }

  // Frees the copy of the file; ReadData must not be called afterwards.
  void Release();

  int fd;                    // the open dataset
  int lastchar = 0;          // the character read last (EOF at the end)
  std::vector<int> linebuf;  // numbers of the line(s) read, in file order
  bool toolarge = false;     // ReadData met a number above kLargestNumber
  int errorline = 0;

 private:
  int ReadAll();  // 1 when the whole file is in text, else 0 with errno set
  int Next() {
    if (position < text.size()) return static_cast<unsigned char>(text[position++]);
    ateof = true;
    return EOF;
  }

  std::vector<char> text;  // the whole file
  size_t position = 0;     // next byte of text to read
  bool ateof = false;
};

// The whole run of the command-line program; returns its exit status.
int RunMiner(int argc, char** argv);

#endif  // QUASIBICLIQUE_DATA_H

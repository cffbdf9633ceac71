// Driver and dataset reader.
#ifndef QUASIBICLIQUE_DATA_H
#define QUASIBICLIQUE_DATA_H

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

// Reads a dataset character by character. A line holds non-negative decimal
// numbers separated by any non-digits; a '-' is skipped together with the two
// characters after it (so "-1" markers vanish).
class Data {
 public:
  enum Status { kOk = 0, kNumberTooLarge, kTooManyLines, kReadError };

  explicit Data(const char* path);  // datafile is null when the open failed
  ~Data();
  Data(const Data&) = delete;
  Data& operator=(const Data&) = delete;

  // Counts the lines and finds the largest number with exactly the rules of
  // ReadData, then rewinds. Sets vertexnum, itemsize (largest + 1) and
  // maxlinelen. An empty file has 0 lines. On a failure `errorline` is the
  // 1-based line where it happened.
  Status FindVertexNum();

  // Appends the numbers of the next line to linebuf (which the caller empties).
  // The caller learns of the end of the file from feof(datafile).
  void ReadData();

  FILE* datafile;
  int lastchar = 0;          // the character read last (EOF at the end)
  std::vector<int> linebuf;  // numbers of the line(s) read, in file order
  bool toolarge = false;     // ReadData met a number above kLargestNumber
  int errorline = 0;
};

// The whole run of the command-line program; returns its exit status.
int RunMiner(int argc, char** argv);

#endif  // QUASIBICLIQUE_DATA_H

// Checks shared by the libFuzzer targets and the corpus replay test. Each
// Check* function takes one fuzzer input, runs the miner on it in-process and
// returns "" or a description of every broken invariant.
//
//   CheckLoad: the bytes after the first two are the dataset as is; the reader
//     and the loader are compared with a reference reading and pruning, and
//     the whole program is run when that is cheap.
//   CheckMine: the bytes describe a small dataset (at most 12 lines, ids below
//     16) and parameters; every output line must be a quasi-biclique of it, and
//     where the output is exactly the maximal ones, it is compared with an
//     exhaustive enumeration.
#ifndef QUASIBICLIQUE_TESTS_FUZZ_HARNESS_H
#define QUASIBICLIQUE_TESTS_FUZZ_HARNESS_H

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "data.h"
#include "driver.h"
#include "expand.h"
#include "pools.h"

namespace qbfuzz {

struct Params {
  int isl = 1;    // item_supportLevel
  int it = 0;     // itemTolerance
  int tt = 0;     // transactionTolerance
  int tsl = 0;    // transaction_supportLevel
  int graph = 0;  // graphType
};

// Parameters from the first two bytes of an input: byte 0 holds the graph
// type (bit 0), item_supportLevel 1..4 and transaction_supportLevel below
// `supportlevels`; byte 1 itemTolerance 0..2 and transactionTolerance 0..2.
inline Params DecodeParams(const uint8_t* bytes, int supportlevels) {
  Params p;
  p.graph = bytes[0] & 1;
  p.isl = 1 + (bytes[0] >> 1) % 4;
  p.tsl = (bytes[0] >> 3) % supportlevels;
  p.it = bytes[1] % 3;
  p.tt = (bytes[1] >> 2) % 3;
  return p;
}

using Rows = std::vector<std::vector<int>>;

// Scratch files: one path per purpose and process, reused by every run.
inline std::string Scratch(const char* what) {
  return (std::filesystem::temp_directory_path() /
          ("qbfuzz-" + std::to_string(getpid()) + "-" + what))
      .string();
}

inline bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

inline std::string ReadBytes(const std::string& path, bool* exists = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (exists) *exists = static_cast<bool>(in);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

// ---------------------------------------------------------------------------
// Reference reading of a dataset, character by character over the bytes.
// A '-' met where a number or separator is expected consumes itself and the
// character after it; the character after those two is then taken as it
// stands (a line end still ends the line, a digit starts a number), as is the
// character that ends a number.
struct Reading {
  Rows lines;            // numbers of each line in file order
  int toolargeline = 0;  // 1-based line of the first number above the limit
};

inline Reading ReadReference(const std::string& s) {
  Reading r;
  if (s.empty()) return r;
  r.lines.emplace_back();
  size_t i = 0;
  auto next = [&]() { return i < s.size() ? int(static_cast<unsigned char>(s[i++])) : EOF; };
  for (;;) {
    int c = next();
    if (c == '-') {
      next();
      c = next();
    }
    if (c >= '0' && c <= '9') {
      long long value = 0;
      for (; c >= '0' && c <= '9'; c = next()) {
        value = std::min<long long>(value * 10 + (c - '0'), kLargestNumber + 1LL);
      }
      if (value > kLargestNumber && r.toolargeline == 0) r.toolargeline = int(r.lines.size());
      r.lines.back().push_back(int(std::min<long long>(value, kLargestNumber)));
    }
    if (c == '\n') r.lines.emplace_back();
    if (c == EOF) return r;
  }
}

// Line k as the miner uses it: distinct numbers ascending; with graph type 1
// without k itself.
inline Rows Distinct(const Rows& lines, int graph) {
  Rows rows = lines;
  for (size_t k = 0; k < rows.size(); k++) {
    std::vector<int>& row = rows[k];
    if (graph == 1) row.erase(std::remove(row.begin(), row.end(), int(k)), row.end());
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
  }
  return rows;
}

// Ids that may be items: graph type 1 every vertex, else every number used
// (an item used nowhere is missing from every transaction).
inline std::vector<int> Universe(const Rows& rows, int graph) {
  std::set<int> ids;
  for (int v = 0; graph == 1 && v < int(rows.size()); v++) ids.insert(v);
  for (const auto& row : rows) ids.insert(row.begin(), row.end());
  return std::vector<int>(ids.begin(), ids.end());
}

inline bool Holds(const Rows& rows, int t, int i) {
  return std::binary_search(rows[t].begin(), rows[t].end(), i);
}

// Status 2 message that the loader must give for `lines`, or "" when it
// accepts them (graph type 1: ids in range, adjacency symmetric).
inline std::string LoadRefusal(const Rows& lines, int graph) {
  if (graph != 1) return "";
  const int n = int(lines.size());
  for (int k = 0; k < n; k++) {
    for (int v : lines[k]) {
      if (v >= n) {
        return std::to_string(k + 1) + ": vertex id " + std::to_string(v) +
               " is not below the number of lines (" + std::to_string(n) + ")";
      }
    }
  }
  Rows rows = Distinct(lines, 1);
  for (int u = 0; u < n; u++) {
    for (int v : rows[u]) {
      if (!Holds(rows, v, u)) {
        return std::to_string(u + 1) + ": vertex " + std::to_string(u) + " lists " +
               std::to_string(v) + " but vertex " + std::to_string(v) + " does not list " +
               std::to_string(u);
      }
    }
  }
  return "";
}

// What survives the loading: repeatedly drop the lines with fewer live items
// than max(1, isl - tt) and the items in fewer live lines than max(1, tsl - it)
// (graph type 1: the smaller bound for both).
struct Core {
  std::vector<char> line, item;     // alive flags
  std::vector<int> count, support;  // live items per line, live lines per item
};

inline Core LiveCore(const Rows& rows, int itemsize, const Params& p) {
  long long tbound = std::max(1LL, (long long)p.isl - p.tt);
  long long ibound = std::max(1LL, (long long)p.tsl - p.it);
  if (p.graph == 1) tbound = ibound = std::min(tbound, ibound);
  Core c;
  c.line.assign(rows.size(), 1);
  c.item.assign(itemsize, 1);
  for (bool changed = true; changed;) {
    changed = false;
    c.count.assign(rows.size(), 0);
    c.support.assign(itemsize, 0);
    for (size_t t = 0; t < rows.size(); t++) {
      for (int i : rows[t]) c.count[t] += c.line[t] && c.item[i];
    }
    for (size_t t = 0; t < rows.size(); t++) {
      if (c.line[t] && c.count[t] < tbound) c.line[t] = 0, changed = true;
    }
    for (size_t t = 0; t < rows.size(); t++) {
      for (int i : rows[t]) c.support[i] += c.line[t] && c.item[i];
    }
    for (int i = 0; i < itemsize; i++) {
      if (c.item[i] && c.support[i] < ibound) c.item[i] = 0, changed = true;
    }
  }
  return c;
}

// ---------------------------------------------------------------------------
// Output checking.

struct Result {
  std::vector<int> tids, items;
  bool operator<(const Result& o) const {
    return std::tie(tids, items) < std::tie(o.tids, o.items);
  }
};

// Parses "<tid> ... ;<item> ... \n" lines; returns "" or what is wrong.
inline std::string ParseOutput(const std::string& text, std::vector<Result>* results) {
  if (!text.empty() && text.back() != '\n') return "output does not end with a line end";
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    Result r;
    std::vector<int>* side = &r.tids;
    size_t i = 0;
    while (i < line.size()) {
      if (line[i] == ';' && side == &r.tids) {
        side = &r.items;
        i++;
        continue;
      }
      long long value = 0;
      size_t start = i;
      while (i < line.size() && line[i] >= '0' && line[i] <= '9' && value <= kLargestNumber)
        value = value * 10 + (line[i++] - '0');
      if (i == start || value > kLargestNumber || i >= line.size() || line[i] != ' ')
        return "malformed output line '" + line + "'";
      i++;
      side->push_back(int(value));
    }
    if (side != &r.items) return "no ';' in output line '" + line + "'";
    results->push_back(std::move(r));
  }
  return "";
}

// Tolerance conditions of (T, I); sizes are checked separately.
inline bool Tolerated(const Rows& rows, const std::vector<int>& T, const std::vector<int>& I,
                      const Params& p) {
  for (int i : I) {
    int missing = 0;
    for (int t : T) missing += !Holds(rows, t, i);
    if (missing > p.it) return false;
  }
  for (int t : T) {
    int lacking = 0;
    for (int i : I) lacking += !Holds(rows, t, i);
    if (lacking > p.tt) return false;
  }
  return true;
}

// The output is exactly the maximal quasi-bicliques under these parameters.
inline bool ExactRegime(const Params& p) {
  return p.tt < p.isl && p.it < std::max(2, p.tsl);
}

// "" when (T, I) is a quasi-biclique, and in the exact regime also maximal:
// no single transaction or item (graph type 1: vertex outside T and I) can be
// added within both tolerances.
inline std::string CheckOriented(const Rows& rows, const std::vector<int>& universe,
                                 const std::vector<int>& T, const std::vector<int>& I,
                                 const Params& p) {
  if (int(T.size()) < std::max(2, p.tsl)) return "too few transactions";
  if (int(I.size()) < p.isl) return "too few items";
  if (!Tolerated(rows, T, I, p)) return "a tolerance is exceeded";
  if (!ExactRegime(p)) return "";
  auto in = [](const std::vector<int>& v, int x) {
    return std::binary_search(v.begin(), v.end(), x);
  };
  // missing[k]: transactions of T without I[k]; lacking[k]: items of I that T[k] lacks.
  std::vector<int> missing(I.size(), 0), lacking(T.size(), 0);
  for (size_t a = 0; a < T.size(); a++) {
    for (size_t b = 0; b < I.size(); b++) {
      if (!Holds(rows, T[a], I[b])) missing[b]++, lacking[a]++;
    }
  }
  for (int t = 0; t < int(rows.size()); t++) {
    if (in(T, t) || (p.graph == 1 && in(I, t))) continue;
    bool joins = true;
    int lacks = 0;
    for (size_t b = 0; b < I.size() && joins; b++) {
      if (!Holds(rows, t, I[b])) joins = missing[b] + 1 <= p.it && ++lacks <= p.tt;
    }
    if (joins) return "not maximal: transaction " + std::to_string(t) + " can be added";
  }
  for (int i : universe) {
    if (in(I, i) || (p.graph == 1 && in(T, i))) continue;
    bool joins = true;
    int misses = 0;
    for (size_t a = 0; a < T.size() && joins; a++) {
      if (!Holds(rows, T[a], i)) joins = ++misses <= p.it && lacking[a] + 1 <= p.tt;
    }
    if (joins) return "not maximal: item " + std::to_string(i) + " can be added";
  }
  return "";
}

inline std::string Describe(const Result& r) {
  std::string s;
  for (int t : r.tids) s += std::to_string(t) + " ";
  s += ";";
  for (int i : r.items) s += std::to_string(i) + " ";
  return s;
}

// Checks every line of a successful run's output; results are returned with
// graph type 1 pairs in a canonical orientation (smaller list first).
inline std::string CheckResults(const Rows& rows, const Params& p, const std::string& output,
                                std::set<Result>* found) {
  std::vector<Result> results;
  std::string why = ParseOutput(output, &results);
  if (!why.empty()) return why;
  const std::vector<int> universe = Universe(rows, p.graph);
  for (Result r : results) {
    const std::string line = "line '" + Describe(r) + "': ";
    for (const auto* list : {&r.tids, &r.items}) {
      if (std::adjacent_find(list->begin(), list->end(), std::greater_equal<int>()) !=
          list->end())
        return line + "a list is not strictly ascending";
    }
    if (!r.tids.empty() && r.tids.back() >= int(rows.size())) return line + "tid out of range";
    for (int i : r.items) {
      if (!std::binary_search(universe.begin(), universe.end(), i))
        return line + "item " + std::to_string(i) + " is not in the dataset";
      if (p.graph == 1 && std::binary_search(r.tids.begin(), r.tids.end(), i))
        return line + "vertex " + std::to_string(i) + " on both sides";
    }
    why = CheckOriented(rows, universe, r.tids, r.items, p);
    if (!why.empty() && p.graph == 1) {
      std::string mirrored = CheckOriented(rows, universe, r.items, r.tids, p);
      if (mirrored.empty()) why = "";
    }
    if (!why.empty()) return line + why;
    if (p.graph == 1 && r.items < r.tids) std::swap(r.tids, r.items);
    if (!found->insert(r).second) return line + "written twice";
  }
  return "";
}

// Every maximal quasi-biclique by exhaustive enumeration on bit sets; only
// for at most 16 lines plus items (graph type 1: at most 10 vertices).
inline std::set<Result> Enumerate(const Rows& rows, const std::vector<int>& universe,
                                  const Params& p) {
  const int n = int(rows.size()), m = int(universe.size());
  std::vector<uint32_t> row(n, 0), col(m, 0);
  for (int t = 0; t < n; t++) {
    for (int k = 0; k < m; k++) {
      if (Holds(rows, t, universe[k])) row[t] |= 1u << k, col[k] |= 1u << t;
    }
  }
  auto ok = [&](uint32_t T, uint32_t I) {
    for (int k = 0; k < m; k++)
      if ((I >> k & 1) && __builtin_popcount(T & ~col[k]) > p.it) return false;
    for (int t = 0; t < n; t++)
      if ((T >> t & 1) && __builtin_popcount(I & ~row[t]) > p.tt) return false;
    return true;
  };
  auto list = [](uint32_t mask, const std::vector<int>& ids) {
    std::vector<int> out;
    for (size_t k = 0; k < ids.size(); k++)
      if (mask >> k & 1) out.push_back(ids[k]);
    return out;
  };
  std::vector<int> lineids(n);
  for (int t = 0; t < n; t++) lineids[t] = t;
  std::set<Result> all;
  for (uint32_t T = 0; T < (1u << n); T++) {
    if (__builtin_popcount(T) < std::max(2, p.tsl)) continue;
    for (uint32_t I = 0; I < (1u << m); I++) {
      if (__builtin_popcount(I) < p.isl || (p.graph == 1 && (T & I)) || !ok(T, I)) continue;
      bool maximal = true;
      uint32_t closed = p.graph == 1 ? T | I : 0;
      for (int t = 0; t < n && maximal; t++)
        if (!((T | closed) >> t & 1) && ok(T | 1u << t, I)) maximal = false;
      for (int k = 0; k < m && maximal; k++)
        if (!((I | closed) >> k & 1) && ok(T, I | 1u << k)) maximal = false;
      if (!maximal) continue;
      Result r{list(T, lineids), list(I, universe)};
      if (p.graph == 1 && r.items < r.tids) std::swap(r.tids, r.items);
      all.insert(r);
    }
  }
  return all;
}

// ---------------------------------------------------------------------------
// In-process runs of the whole program.

struct Run {
  int status = -1;
  std::string out, err;
  bool outputexists = false;
  std::string output;
};

// Runs RunMiner with standard output and error captured in scratch files.
inline Run RunCaptured(const std::string& dataset, const Params& p, const std::string& output) {
  std::vector<std::string> args = {"quasibiclique",       dataset,
                                   std::to_string(p.isl), std::to_string(p.it),
                                   std::to_string(p.tt),  std::to_string(p.tsl),
                                   std::to_string(p.graph), output};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string outpath = Scratch("stdout"), errpath = Scratch("stderr");
  std::remove(output.c_str());
  fflush(stdout);
  fflush(stderr);
  int saved[2] = {dup(1), dup(2)};
  int fd[2] = {open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
               open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
  for (int k = 0; k < 2; k++) dup2(fd[k], k + 1), close(fd[k]);
  Run run;
  run.status = RunMiner(int(args.size()), argv.data());
  fflush(stdout);
  fflush(stderr);
  for (int k = 0; k < 2; k++) dup2(saved[k], k + 1), close(saved[k]);
  run.out = ReadBytes(outpath);
  run.err = ReadBytes(errpath);
  run.output = ReadBytes(output, &run.outputexists);
  return run;
}

// Runs the program on `dataset` (whose lines are `lines`) and checks the
// exit status, messages, count line and every output line. `refusal` is the
// expected status 2 message after "<path>:", or "" when the run must succeed.
inline std::string RunAndCheck(const std::string& dataset, const Rows& lines, const Params& p,
                               const std::string& refusal, std::set<Result>* found) {
  const std::string output = Scratch("out");
  Run run = RunCaptured(dataset, p, output);
  std::string why;
  if (Arraypage != nullptr || Arraypagepos != 0) why += "the arena outlived the run; ";
  if (!refusal.empty()) {
    std::string expected = "quasibiclique: error: " + dataset + ":" + refusal + "\n";
    if (run.status != 2) why += "exit status " + std::to_string(run.status) + " instead of 2; ";
    if (run.err != expected) why += "stderr '" + run.err + "' instead of '" + expected + "'; ";
    if (run.outputexists) why += "an output file was created; ";
    return why;
  }
  if (run.status != 0) {
    return why + "exit status " + std::to_string(run.status) + ", stderr '" + run.err + "'";
  }
  if (!run.err.empty()) why += "stderr '" + run.err + "'; ";
  if (!run.outputexists) return why + "no output file";
  const std::string tag = "Total number of quasi-bicliques:";
  size_t at = run.out.find(tag);
  long count = at == std::string::npos ? -1 : strtol(run.out.c_str() + at + tag.size(), 0, 10);
  long written = long(std::count(run.output.begin(), run.output.end(), '\n'));
  if (count != written) {
    why += "count line says " + std::to_string(count) + " but " + std::to_string(written) +
           " lines were written; ";
  }
  std::string bad = CheckResults(Distinct(lines, p.graph), p, run.output, found);
  if (!bad.empty()) why += bad;
  return why;
}

// ---------------------------------------------------------------------------
// The loader compared with the reference on an open, counted dataset.

inline void Expect(std::string& why, bool ok, const std::string& what) {
  if (!ok) why += what + "; ";
}

inline std::string CheckLoader(const std::string& path, const Reading& ref, const Params& p,
                               bool* accepted, long long* cells) {
  std::string why;
  Data data(path.c_str());
  LoadResult loaded = LoadDatabase({p.isl, p.it, p.tt, p.tsl, p.graph}, data);
  const std::string refusal = LoadRefusal(ref.lines, p.graph);
  *accepted = loaded.db != nullptr;
  if (!refusal.empty() || !loaded.db) {
    // The message itself is checked on the whole program's run.
    const std::string line = std::to_string(loaded.errorline) + ": ";
    Expect(why, !loaded.db && refusal.compare(0, line.size(), line) == 0,
           "load status " + std::to_string(loaded.loadstatus) + " at line " + line +
               "expected '" + refusal + "'");
    if (loaded.db) loaded.db->FreeMem();
    Expect(why, Arraypage == nullptr, "a refused load kept the arena");
    return why;
  }
  Transactiondb& db = *loaded.db;
  const int vertexnum = db.tidcount, itemsize = db.itemsize;
  const long long maps = 2LL * vertexnum + 3LL * itemsize;  // incl. itemsupport
  Expect(why, Arraypagepos == maps,
         "arena holds " + std::to_string(Arraypagepos) + " ints after loading, not " +
             std::to_string(maps));
  const Rows rows = Distinct(ref.lines, p.graph);
  const Core core = LiveCore(rows, itemsize, p);
  const int live = int(std::count(core.line.begin(), core.line.end(), 1));
  const int liveitems = int(std::count(core.item.begin(), core.item.end(), 1));
  Expect(why, db.tidnum == live && db.itemnum == liveitems,
         "loaded " + std::to_string(db.tidnum) + " x " + std::to_string(db.itemnum) +
             ", reference core " + std::to_string(live) + " x " + std::to_string(liveitems));
  if (!why.empty()) {
    db.FreeMem();
    return why;
  }
  *cells = 0;
  for (int t = 0; t < vertexnum; t++) {
    int k = db.tidnewid[t];
    Expect(why, (k >= 0) == bool(core.line[t]) && (k < 0 || db.tidoldid[k] == t),
           "tid map wrong at line " + std::to_string(t));
    if (k < 0 || k >= db.tidnum) continue;
    std::vector<int> loaded;
    for (int s = 1; s <= db.tranlist[k][0]; s++) loaded.push_back(db.itemoldid[db.tranlist[k][s]]);
    std::sort(loaded.begin(), loaded.end());
    std::vector<int> expected;
    for (int i : rows[t]) if (core.item[i]) expected.push_back(i);
    Expect(why, loaded == expected, "transaction of line " + std::to_string(t) + " differs");
    Expect(why, std::is_sorted(db.tranlist[k] + 1, db.tranlist[k] + 1 + db.tranlist[k][0]),
           "transaction of line " + std::to_string(t) + " not ascending");
    Expect(why, k == 0 || db.tranlist[k - 1][0] <= db.tranlist[k][0],
           "tids not ordered by ascending length");
    *cells += db.tranlist[k][0];
  }
  for (int i = 0; i < itemsize; i++) {
    int k = db.itemnewid[i];
    Expect(why, (k >= 0) == bool(core.item[i]) && (k < 0 || db.itemoldid[k] == i),
           "item map wrong at item " + std::to_string(i));
    if (k >= 0) Expect(why, db.itemsupport[i] == core.support[i], "support of " + std::to_string(i));
  }
  if (why.empty()) {
    for (int k = 0; k < db.itemnum; k++) {
      const int* list = db.itemlist[k];
      Expect(why, list[0] == core.support[db.itemoldid[k]] && (k == 0 || db.itemlist[k - 1][0] <= list[0]),
             "item list " + std::to_string(k) + " has the wrong length or order");
      for (int s = 1; s <= list[0] && why.empty(); s++) {
        const int* tran = db.tranlist[list[s]];
        Expect(why, (s == 1 || list[s - 1] < list[s]) && std::binary_search(tran + 1, tran + 1 + tran[0], k),
               "item list " + std::to_string(k) + " is not the transpose");
      }
    }
  }
  db.FreeMem();
  Expect(why, Arraypage == nullptr && Arraypagepos == 0, "the arena survived FreeMem");
  return why;
}

// Limits that keep one input fast: graph type 0 item ids (the maps take a few
// ints per possible id) and the size of a loaded database that is mined (only
// where the results are the maximal ones: elsewhere they grow much faster).
constexpr int kLoadItemSize = 1 << 20;
constexpr long long kMineCells = 60;
constexpr int kMineLines = 24;

inline std::string CheckLoad(const uint8_t* bytes, size_t size) {
  if (size < 2) return "";
  const Params p = DecodeParams(bytes, 5);
  const std::string text(reinterpret_cast<const char*>(bytes) + 2, size - 2);
  const std::string path = Scratch("load.dat");
  if (!WriteBytes(path, text)) return "cannot write " + path;
  const Reading ref = ReadReference(text);

  std::string why;
  Data data(path.c_str());
  if (!data.Opened()) return "cannot open " + path;
  Data::Status status = data.FindVertexNum();
  std::string refusal;
  if (ref.toolargeline) {
    Expect(why, status == Data::kNumberTooLarge && data.ErrorLine() == ref.toolargeline,
           "reader status " + std::to_string(status) + " at line " +
               std::to_string(data.ErrorLine()) + ", expected too large at line " +
               std::to_string(ref.toolargeline));
    refusal = std::to_string(ref.toolargeline) +
              ": number too large (the largest allowed is 2147483646)";
  } else {
    int largest = 0;
    size_t longest = 0;
    for (const auto& line : ref.lines) {
      for (int v : line) largest = std::max(largest, v);
      longest = std::max(longest, line.size());
    }
    Expect(why, status == Data::kOk && data.Lines() == int(ref.lines.size()) &&
                    data.ItemSize() == largest + 1 && data.LongestLine() == int(longest),
           "reader counted " + std::to_string(data.Lines()) + " lines, itemsize " +
               std::to_string(data.ItemSize()) + ", longest " +
               std::to_string(data.LongestLine()) +
               "; reference " + std::to_string(ref.lines.size()) + ", " +
               std::to_string(largest + 1) + ", " + std::to_string(longest));
    refusal = LoadRefusal(ref.lines, p.graph);
  }
  if (!why.empty()) return why;

  bool accepted = false;
  long long cells = 0;
  if (status == Data::kOk) {
    if (p.graph == 0 && data.ItemSize() > kLoadItemSize) return "";
    why = CheckLoader(path, ref, p, &accepted, &cells);
    if (!why.empty()) return why;
  }
  const bool cheap =
      accepted && ExactRegime(p) && cells <= kMineCells && data.Lines() <= kMineLines;
  if (!refusal.empty() || cheap) {
    std::set<Result> found;
    why = RunAndCheck(path, ref.lines, p, refusal, &found);
  }
  return why;
}

// ---------------------------------------------------------------------------
// Small datasets for the whole program.
//
// Bytes 0 and 1: the parameters (transaction_supportLevel 0..5). Byte 2: how the
// text is written (separators, CRLF, "-1" markers, final line end, self loops
// and repeated numbers, spread-out item ids). Graph type 0: then two bytes per
// line (at most 12), a bit set of the items 0..15. Graph type 1: one byte for
// the vertex count 2..12, then the bits of the upper triangle of the adjacency.
// With itemTolerance 1 items stop at 11; with 2 also lines at 8, vertices at 10.
inline std::string DatasetText(const uint8_t* bytes, size_t size, const Params& p) {
  const uint8_t style = size > 2 ? bytes[2] : 0;
  bytes += 3;
  size = size > 3 ? size - 3 : 0;
  auto byte = [&](size_t k) { return k < size ? bytes[k] : uint8_t(0); };
  // The search grows fast with itemTolerance: smaller datasets keep a run
  // within a fraction of a second under the instrumentation.
  const size_t lines = p.it == 2 ? 8 : 12;
  const int ids = p.it == 0 ? 16 : 12;
  Rows rows;
  if (p.graph == 0) {
    for (size_t k = 0; k + 1 < size && rows.size() < lines; k += 2) {
      rows.emplace_back();
      for (int b = 0; b < ids; b++) {
        if ((byte(k) | byte(k + 1) << 8) >> b & 1) rows.back().push_back(style & 64 ? 37 * b + 3 : b);
      }
    }
  } else {
    const int n = 2 + byte(0) % (p.it == 2 ? 9 : 11);
    rows.resize(n);
    size_t bit = 8;
    for (int u = 0; u < n; u++) {
      for (int v = u + 1; v < n; v++, bit++) {
        if (byte(bit / 8) >> (bit % 8) & 1) rows[u].push_back(v), rows[v].push_back(u);
      }
    }
    if (style & 32) {
      for (int v = 1; v < n; v += 2) rows[v].push_back(v);
    }
  }
  static const char* kSeparators[] = {" ", ",", "\t", " ;x "};
  const char* sep = kSeparators[style & 3];
  const std::string end = style & 4 ? "\r\n" : "\n";
  std::string text;
  for (size_t t = 0; t < rows.size(); t++) {
    std::vector<int>& row = rows[t];
    if ((style & 32) && !row.empty()) row.push_back(row.front());
    for (size_t k = 0; k < row.size(); k++) text += (k ? sep : "") + std::to_string(row[k]);
    if (style & 8) text += " -1";
    if (t + 1 < rows.size() || (style & 16)) text += end;
  }
  return text;
}

inline std::string CheckMine(const uint8_t* bytes, size_t size) {
  if (size < 2) return "";
  const Params p = DecodeParams(bytes, 6);
  const std::string text = DatasetText(bytes, size, p);
  const std::string path = Scratch("mine.dat");
  if (!WriteBytes(path, text)) return "cannot write " + path;
  const Reading ref = ReadReference(text);
  std::set<Result> found;
  std::string why = RunAndCheck(path, ref.lines, p, "", &found);
  if (!why.empty() || !ExactRegime(p)) return why;

  const Rows rows = Distinct(ref.lines, p.graph);
  const std::vector<int> universe = Universe(rows, p.graph);
  const bool small = p.graph == 1 ? rows.size() <= 10 : rows.size() + universe.size() <= 16;
  if (!small) return "";
  const std::set<Result> expected = Enumerate(rows, universe, p);
  for (const Result& r : expected) {
    if (!found.count(r)) return "maximal quasi-biclique '" + Describe(r) + "' not written";
  }
  return "";
}

// Fuzzer side: a broken invariant is reported and ends the process.
inline void Require(const std::string& why) {
  if (why.empty()) return;
  fprintf(stderr, "quasibiclique fuzz check failed: %s\n", why.c_str());
  abort();
}

}  // namespace qbfuzz

#endif  // QUASIBICLIQUE_TESTS_FUZZ_HARNESS_H

// Checks shared by the libFuzzer targets and the corpus replay test. Each
// Check* function takes one fuzzer input, runs the miner on it in-process and
// returns "" or a description of every broken invariant; what is right comes
// from the test model (model.h).
//
//   CheckLoad: the bytes after the first two are the dataset as is; the reader
//     and the loader are compared with the model's reading and pruning, and
//     the whole program is run when that is cheap.
//   CheckMine: the bytes describe a small dataset (at most 12 lines, ids below
//     16) and parameters; every output line must be a quasi-biclique of it, and
//     where the output is exactly the maximal ones, it is compared with the
//     model's exhaustive enumeration.
#ifndef QUASIBICLIQUE_TESTS_FUZZ_HARNESS_H
#define QUASIBICLIQUE_TESTS_FUZZ_HARNESS_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../model.h"
#include "../test_util.h"
#include "data.h"
#include "database.h"

namespace qbfuzz {

using quasibiclique::Data;

using qbtest::Result;
using qbtest::Rows;

// Parameters from the first two bytes of an input: byte 0 holds the graph
// type (bit 0), item_supportLevel 1..4 and transaction_supportLevel below
// `supportlevels`; byte 1 itemTolerance 0..2 and transactionTolerance 0..2.
inline Parameters DecodeParams(const uint8_t* bytes, int supportlevels) {
  Parameters p;
  p.graphtype = quasibiclique::GraphType(bytes[0] & 1);
  p.item_supportLevel = 1 + (bytes[0] >> 1) % 4;
  p.transaction_supportLevel = (bytes[0] >> 3) % supportlevels;
  p.itemTolerance = bytes[1] % 3;
  p.transactionTolerance = (bytes[1] >> 2) % 3;
  return p;
}

// One scratch directory per process, removed at its exit.
inline const qbtest::TempDir& Scratch() {
  static const qbtest::TempDir dir;
  return dir;
}

// Runs the program on `dataset` (whose lines are `lines`) and checks the
// exit status, messages, count line and every output line. `refusal` is the
// expected status 2 message after "<path>:", or "" when the run must succeed.
inline std::string RunAndCheck(const std::string& dataset, const Rows& lines,
                               const Parameters& p, const std::string& refusal,
                               std::set<Result>* found) {
  const std::string output = Scratch().File("out");
  std::remove(output.c_str());
  qbtest::RunResult run =
      qbtest::RunInProcess(qbtest::Arguments(dataset, p, output), Scratch(), output);
  std::string why;
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
  return why + qbtest::CheckOutput(qbtest::Distinct(lines, p.graphtype), p, run.output, found);
}

// ---------------------------------------------------------------------------
// The loader compared with the reference on an open, counted dataset.

inline void Expect(std::string& why, bool ok, const std::string& what) {
  if (!ok) why += what + "; ";
}

inline std::string CheckLoader(const std::string& path, const qbtest::Reading& ref,
                               const Parameters& p, bool* accepted, long long* cells) {
  using quasibiclique::Database;
  std::string why;
  Data data(path.c_str());
  std::unique_ptr<Database> loaded;
  const quasibiclique::Status status = quasibiclique::DatabaseLoader::Load(data, "d", p, &loaded);
  const std::string refusal = qbtest::LoadRefusal(ref.lines, p.graphtype);
  *accepted = loaded != nullptr;
  if (!refusal.empty() || !loaded) {
    // The message itself is checked on the whole program's run.
    Expect(why, !loaded && status.message() == "d:" + refusal,
           "load refused with '" + status.message() + "', expected 'd:" + refusal + "'");
    return why;
  }
  const Database::Rep& db = loaded->rep();
  const int vertexnum = db.tidcount, itemsize = db.itemsize;
  const Rows rows = qbtest::Distinct(ref.lines, p.graphtype);
  const qbtest::Core core = qbtest::LiveCore(rows, itemsize, p);
  const int live = int(std::count(core.line.begin(), core.line.end(), 1));
  const int liveitems = int(std::count(core.item.begin(), core.item.end(), 1));
  Expect(why, db.tidnum == live && db.itemnum == liveitems,
         "loaded " + std::to_string(db.tidnum) + " x " + std::to_string(db.itemnum) +
             ", reference core " + std::to_string(live) + " x " + std::to_string(liveitems));
  if (!why.empty()) return why;
  std::vector<int> tidnewid(vertexnum, -1), itemnewid(itemsize, -1);
  for (int k = 0; k < db.tidnum; k++) tidnewid[db.tidoldid[k]] = k;
  for (int k = 0; k < db.itemnum; k++) itemnewid[db.itemoldid[k]] = k;
  *cells = 0;
  for (int t = 0; t < vertexnum; t++) {
    int k = tidnewid[t];
    Expect(why, (k >= 0) == bool(core.line[t]), "tid map wrong at line " + std::to_string(t));
    if (k < 0) continue;
    std::vector<int> loadedline;
    for (int s = 1; s <= db.tranlist[k][0]; s++) loadedline.push_back(db.itemoldid[db.tranlist[k][s]]);
    std::sort(loadedline.begin(), loadedline.end());
    std::vector<int> expected;
    for (int i : rows[t]) if (core.item[i]) expected.push_back(i);
    Expect(why, loadedline == expected, "transaction of line " + std::to_string(t) + " differs");
    Expect(why, std::is_sorted(db.tranlist[k] + 1, db.tranlist[k] + 1 + db.tranlist[k][0]),
           "transaction of line " + std::to_string(t) + " not ascending");
    Expect(why, k == 0 || db.tranlist[k - 1][0] <= db.tranlist[k][0],
           "tids not ordered by ascending length");
    *cells += db.tranlist[k][0];
  }
  for (int i = 0; i < itemsize; i++) {
    Expect(why, (itemnewid[i] >= 0) == bool(core.item[i]),
           "item map wrong at item " + std::to_string(i));
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
  const Parameters p = DecodeParams(bytes, 5);
  const std::string text(reinterpret_cast<const char*>(bytes) + 2, size - 2);
  const std::string path = Scratch().Write("load.dat", text);
  const qbtest::Reading ref = qbtest::ReadReference(text);

  std::string why;
  Data data(path.c_str());
  if (!data.Opened()) return "cannot open " + path;
  const quasibiclique::Status status = data.FindVertexNum("d");
  std::string refusal;
  if (ref.toolargeline) {
    Expect(why, !status.ok() && data.ErrorLine() == ref.toolargeline,
           "reader status '" + status.message() + "' at line " +
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
    Expect(why, status.ok() && data.Lines() == int(ref.lines.size()) &&
                    data.ItemSize() == largest + 1 && data.LongestLine() == int(longest),
           "reader counted " + std::to_string(data.Lines()) + " lines, itemsize " +
               std::to_string(data.ItemSize()) + ", longest " +
               std::to_string(data.LongestLine()) +
               "; reference " + std::to_string(ref.lines.size()) + ", " +
               std::to_string(largest + 1) + ", " + std::to_string(longest));
    refusal = qbtest::LoadRefusal(ref.lines, p.graphtype);
  }
  if (!why.empty()) return why;

  bool accepted = false;
  long long cells = 0;
  if (status.ok()) {
    if (p.graphtype == 0 && data.ItemSize() > kLoadItemSize) return "";
    why = CheckLoader(path, ref, p, &accepted, &cells);
    if (!why.empty()) return why;
  }
  const bool cheap =
      accepted && qbtest::ExactRegime(p) && cells <= kMineCells && data.Lines() <= kMineLines;
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
inline std::string DatasetText(const uint8_t* bytes, size_t size, const Parameters& p) {
  const uint8_t style = size > 2 ? bytes[2] : 0;
  bytes += 3;
  size = size > 3 ? size - 3 : 0;
  auto byte = [&](size_t k) { return k < size ? bytes[k] : uint8_t(0); };
  // The search grows fast with itemTolerance: smaller datasets keep a run
  // within a fraction of a second under the instrumentation.
  const size_t lines = p.itemTolerance == 2 ? 8 : 12;
  const int ids = p.itemTolerance == 0 ? 16 : 12;
  Rows rows;
  if (p.graphtype == 0) {
    for (size_t k = 0; k + 1 < size && rows.size() < lines; k += 2) {
      rows.emplace_back();
      for (int b = 0; b < ids; b++) {
        if ((byte(k) | byte(k + 1) << 8) >> b & 1) rows.back().push_back(style & 64 ? 37 * b + 3 : b);
      }
    }
  } else {
    const int n = 2 + byte(0) % (p.itemTolerance == 2 ? 9 : 11);
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
  const Parameters p = DecodeParams(bytes, 6);
  const std::string text = DatasetText(bytes, size, p);
  const std::string path = Scratch().Write("mine.dat", text);
  const qbtest::Reading ref = qbtest::ReadReference(text);
  std::set<Result> found;
  std::string why = RunAndCheck(path, ref.lines, p, "", &found);
  if (!why.empty() || !qbtest::ExactRegime(p)) return why;

  const Rows rows = qbtest::Distinct(ref.lines, p.graphtype);
  const size_t ids = qbtest::Universe(rows, p.graphtype).size();
  const bool small = p.graphtype == 1 ? rows.size() <= 10 : rows.size() + ids <= 16;
  if (!small) return "";
  for (const Result& r : qbtest::EnumerateMaximal(rows, p)) {
    if (!found.count(r)) return "maximal quasi-biclique '" + qbtest::Describe(r) + "' not written";
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

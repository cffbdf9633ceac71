// The test model: what the miner computes, written out plainly and
// independently of the miner's code, for the tests and the fuzz targets to
// hold the miner against.
//
//   Reading   how a dataset's bytes become lines of numbers
//   Loading   which lines and items survive the pruning, and which datasets
//             the loader refuses
//   Results   the output line format, a checker of single lines and an
//             exhaustive enumerator of the maximal quasi-bicliques
//
// Definitions (graph type 0): (T, I) is a quasi-biclique when every item of I
// is missing from at most itemTolerance transactions of T, every transaction
// of T lacks at most transactionTolerance items of I,
// |T| >= max(2, transaction_supportLevel) and |I| >= item_supportLevel. It is
// maximal when no single transaction and no single item can be added keeping
// both tolerance conditions. With graph type 1 the vertices play both roles,
// T and I are disjoint, only vertices outside T u I may be added, and a result
// is an unordered pair {T, I}. Where transactionTolerance < item_supportLevel
// and itemTolerance < max(2, transaction_supportLevel) (ExactRegime) the
// miner writes exactly the maximal quasi-bicliques, each once; elsewhere it
// writes quasi-bicliques only.
#ifndef QUASIBICLIQUE_TESTS_MODEL_H
#define QUASIBICLIQUE_TESTS_MODEL_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "data.h"
#include "quasibiclique/quasibiclique.h"

// The parameters of a run as the tests build them.
using Parameters = quasibiclique::Options;
using quasibiclique::kLargestNumber;

namespace qbtest {

using Rows = std::vector<std::vector<int>>;

// A random bipartite dataset, or a symmetric graph without self loops.
inline Rows RandomRows(std::mt19937& rng, quasibiclique::GraphType graph) {
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int n = uniform(3, 14), m = graph == quasibiclique::kUndirected ? n : uniform(2, 10);
  Rows rows(n);
  for (int t = 0; t < n; t++) {
    for (int x = graph == quasibiclique::kUndirected ? t + 1 : 0; x < m; x++) {
      if (uniform(0, 99) >= 55) continue;
      rows[t].push_back(x);
      if (graph == quasibiclique::kUndirected) rows[x].push_back(t);
    }
  }
  return rows;
}

inline int MinTransactions(const Parameters& p) { return std::max(2, p.transaction_supportLevel); }

inline bool ExactRegime(const Parameters& p) {
  return p.transactionTolerance < p.item_supportLevel && p.itemTolerance < MinTransactions(p);
}

// The command-line arguments after the dataset: the five numbers, then the
// output file.
inline std::vector<std::string> Arguments(const std::string& dataset, const Parameters& p,
                                          const std::string& output) {
  return {dataset,
          std::to_string(p.item_supportLevel),
          std::to_string(p.itemTolerance),
          std::to_string(p.transactionTolerance),
          std::to_string(p.transaction_supportLevel),
          std::to_string(p.graphtype),
          output};
}

// ---------------------------------------------------------------------------
// Reading, character by character over the bytes. A '-' met where a number or
// separator is expected consumes itself and the character after it; the
// character after those two is then taken as it stands (a line end still ends
// the line, a digit starts a number), as is the character that ends a number.

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

// The text of `rows`: numbers separated by one space, lines by a line end,
// no line end after the last line.
inline std::string DatasetText(const Rows& rows) {
  std::string text;
  for (size_t t = 0; t < rows.size(); ++t) {
    if (t > 0) text += '\n';
    for (size_t k = 0; k < rows[t].size(); ++k) {
      text += (k > 0 ? " " : "") + std::to_string(rows[t][k]);
    }
  }
  return text;
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

// Rows as Distinct gives them: is item i in transaction t?
inline bool Holds(const Rows& rows, int t, int i) {
  return std::binary_search(rows[t].begin(), rows[t].end(), i);
}

// ---------------------------------------------------------------------------
// Loading.

// The message after "<path>:" with which the loader must refuse `lines`, or
// "" when it accepts them (graph type 1: ids in range, adjacency symmetric).
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

inline Core LiveCore(const Rows& rows, int itemsize, const Parameters& p) {
  long long tbound =
      std::max(1LL, (long long)p.item_supportLevel - p.transactionTolerance);
  long long ibound =
      std::max(1LL, (long long)p.transaction_supportLevel - p.itemTolerance);
  if (p.graphtype == 1) tbound = ibound = std::min(tbound, ibound);
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
// Results.

struct Result {
  std::vector<int> tids, items;
  bool operator<(const Result& o) const {
    return std::tie(tids, items) < std::tie(o.tids, o.items);
  }
  bool operator==(const Result& o) const { return tids == o.tids && items == o.items; }
};

// Graph type 1: the pair with its smaller list first, so that both
// orientations of one pair compare equal.
inline Result Canonical(Result r, int graph) {
  if (graph == 1 && r.items < r.tids) std::swap(r.tids, r.items);
  return r;
}

// The output line of `r` without its line end: "<tid> ... ;<item> ... ".
inline std::string Describe(const Result& r) {
  std::string s;
  for (int t : r.tids) s += std::to_string(t) + " ";
  s += ";";
  for (int i : r.items) s += std::to_string(i) + " ";
  return s;
}

// Parses "<tid> ... ;<item> ... \n" lines; returns "" or what is wrong.
inline std::string ParseOutput(const std::string& text, std::vector<Result>* results) {
  results->clear();
  if (!text.empty() && text.back() != '\n') return "output does not end with a line end";
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = text.find('\n', pos);
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    Result r;
    std::vector<int>* side = &r.tids;
    for (size_t i = 0; i < line.size();) {
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

// Both tolerance conditions of (T, I); "" or the first one broken.
inline std::string ToleranceViolation(const Rows& rows, const std::vector<int>& T,
                                      const std::vector<int>& I, const Parameters& p) {
  // missing[b]: transactions of T without I[b]; lacking[a]: items of I that T[a] lacks.
  std::vector<int> missing(I.size(), 0), lacking(T.size(), 0);
  for (size_t a = 0; a < T.size(); a++) {
    for (size_t b = 0; b < I.size(); b++) {
      if (!Holds(rows, T[a], I[b])) missing[b]++, lacking[a]++;
    }
  }
  for (size_t b = 0; b < I.size(); b++) {
    if (missing[b] > p.itemTolerance) {
      return "item " + std::to_string(I[b]) + " missing from " + std::to_string(missing[b]) +
             " transactions";
    }
  }
  for (size_t a = 0; a < T.size(); a++) {
    if (lacking[a] > p.transactionTolerance) {
      return "transaction " + std::to_string(T[a]) + " lacks " + std::to_string(lacking[a]) +
             " items";
    }
  }
  return "";
}

// "" when (T, I) is a quasi-biclique, and in the exact regime also maximal.
inline std::string CheckOriented(const Rows& rows, const std::vector<int>& universe,
                                 const std::vector<int>& T, const std::vector<int>& I,
                                 const Parameters& p) {
  if (int(T.size()) < MinTransactions(p)) return "too few transactions";
  if (int(I.size()) < p.item_supportLevel) return "too few items";
  std::string why = ToleranceViolation(rows, T, I, p);
  if (!why.empty()) return "not a quasi-biclique: " + why;
  if (!ExactRegime(p)) return "";
  auto taken = [&](const std::vector<int>& side, int x) {
    return std::binary_search(side.begin(), side.end(), x) ||
           (p.graphtype == 1 && (std::binary_search(T.begin(), T.end(), x) ||
                                 std::binary_search(I.begin(), I.end(), x)));
  };
  for (int t = 0; t < int(rows.size()); t++) {
    if (taken(T, t)) continue;
    std::vector<int> grown = T;
    grown.insert(std::upper_bound(grown.begin(), grown.end(), t), t);
    if (ToleranceViolation(rows, grown, I, p).empty())
      return "not maximal: transaction " + std::to_string(t) + " can be added";
  }
  for (int i : universe) {
    if (taken(I, i)) continue;
    std::vector<int> grown = I;
    grown.insert(std::upper_bound(grown.begin(), grown.end(), i), i);
    if (ToleranceViolation(rows, T, grown, p).empty())
      return "not maximal: item " + std::to_string(i) + " can be added";
  }
  return "";
}

// "" when the output line `r` is right for `rows` (as Distinct gives them):
// strictly ascending lists of ids of the dataset, a quasi-biclique, and in the
// exact regime a maximal one; graph type 1: sides disjoint, and right in at
// least one orientation.
inline std::string CheckLine(const Rows& rows, const Parameters& p, const Result& r) {
  for (const auto* list : {&r.tids, &r.items}) {
    if (std::adjacent_find(list->begin(), list->end(), std::greater_equal<int>()) !=
        list->end())
      return "a list is not strictly ascending";
  }
  if (!r.tids.empty() && r.tids.back() >= int(rows.size())) return "tid out of range";
  const std::vector<int> universe = Universe(rows, p.graphtype);
  for (int i : r.items) {
    if (!std::binary_search(universe.begin(), universe.end(), i))
      return "item " + std::to_string(i) + " is not in the dataset";
    if (p.graphtype == 1 && std::binary_search(r.tids.begin(), r.tids.end(), i))
      return "vertex " + std::to_string(i) + " on both sides";
  }
  std::string why = CheckOriented(rows, universe, r.tids, r.items, p);
  if (why.empty() || p.graphtype != 1) return why;
  std::string swapped = CheckOriented(rows, universe, r.items, r.tids, p);
  return swapped.empty() ? "" : "as written: " + why + "; sides swapped: " + swapped;
}

// Checks every line of an output file; `found` receives the results in
// canonical orientation. Returns "" or the first line that is wrong and why.
inline std::string CheckOutput(const Rows& rows, const Parameters& p, const std::string& output,
                               std::set<Result>* found) {
  std::vector<Result> results;
  std::string why = ParseOutput(output, &results);
  if (!why.empty()) return why;
  for (const Result& r : results) {
    why = CheckLine(rows, p, r);
    if (why.empty() && !found->insert(Canonical(r, p.graphtype)).second) why = "written twice";
    if (!why.empty()) return "line '" + Describe(r) + "': " + why;
  }
  return "";
}

// Every maximal quasi-biclique of `rows` (as Distinct gives them) by
// exhaustive search on bit sets, in canonical orientation: every item set
// over the universe, and for each every transaction set that keeps the
// tolerances. At most 32 lines and 32 ids in the universe.
class Enumerator {
 public:
  Enumerator(const Rows& rows, const Parameters& p)
      : p_(p), ids_(Universe(rows, p.graphtype)), n_(int(rows.size())), m_(int(ids_.size())) {
    rows_.assign(n_, 0);
    cols_.assign(m_, 0);
    for (int t = 0; t < n_; ++t) {
      for (int k = 0; k < m_; ++k) {
        if (Holds(rows, t, ids_[k])) rows_[t] |= Mask{1} << k, cols_[k] |= Mask{1} << t;
      }
    }
  }

  std::set<Result> Enumerate() {
    results_.clear();
    for (Mask items = 0; items < (Mask{1} << m_); ++items) {
      if (Count(items) < p_.item_supportLevel) continue;
      // Only transactions lacking at most transactionTolerance items of
      // `items` can be in T; any other one breaks that condition by itself.
      Mask cand = 0;
      for (int t = 0; t < n_; ++t) {
        if (Undirected() && (items >> t & 1)) continue;
        if (Count(items & ~rows_[t]) <= p_.transactionTolerance) cand |= Mask{1} << t;
      }
      if (Count(cand) < MinTransactions(p_)) continue;
      std::vector<int> miss(m_, 0);
      Grow(items, cand, 0, 0, miss);
    }
    return results_;
  }

 private:
  using Mask = uint64_t;
  static int Count(Mask m) { return __builtin_popcountll(m); }
  bool Undirected() const { return p_.graphtype == 1; }
  bool Lacks(int t, int k) const { return !(rows_[t] >> k & 1); }

  // Extends `trans` by transactions of `cand` numbered `next` or more, keeping
  // the item condition (miss[k] = transactions of `trans` lacking item k).
  // Dropping a transaction never breaks the item condition, so this visits
  // every valid T for `items` and nothing else.
  void Grow(Mask items, Mask cand, Mask trans, int next, std::vector<int>& miss) {
    if (Count(trans) >= MinTransactions(p_) && IsMaximal(items, cand, trans, miss)) {
      results_.insert(Canonical({Ids(trans, false), Ids(items, true)}, p_.graphtype));
    }
    for (int t = next; t < n_; ++t) {
      if (!(cand >> t & 1) || !CanAddTransaction(items, t, miss)) continue;
      for (int k = 0; k < m_; ++k) miss[k] += (items >> k & 1) && Lacks(t, k);
      Grow(items, cand, trans | Mask{1} << t, t + 1, miss);
      for (int k = 0; k < m_; ++k) miss[k] -= (items >> k & 1) && Lacks(t, k);
    }
  }

  bool CanAddTransaction(Mask items, int t, const std::vector<int>& miss) const {
    for (int k = 0; k < m_; ++k) {
      if ((items >> k & 1) && Lacks(t, k) && miss[k] + 1 > p_.itemTolerance) return false;
    }
    return true;
  }

  bool CanAddItem(Mask items, Mask trans, int k) const {
    if (Count(trans & ~cols_[k]) > p_.itemTolerance) return false;
    const Mask grown = items | Mask{1} << k;
    for (int t = 0; t < n_; ++t) {
      if ((trans >> t & 1) && Count(grown & ~rows_[t]) > p_.transactionTolerance) return false;
    }
    return true;
  }

  // Transactions outside `cand` already lack too many items of `items`.
  bool IsMaximal(Mask items, Mask cand, Mask trans, const std::vector<int>& miss) const {
    for (int t = 0; t < n_; ++t) {
      if ((cand >> t & 1) && !(trans >> t & 1) && CanAddTransaction(items, t, miss)) return false;
    }
    for (int k = 0; k < m_; ++k) {
      if ((items >> k & 1) || (Undirected() && (trans >> k & 1))) continue;
      if (CanAddItem(items, trans, k)) return false;
    }
    return true;
  }

  // The ids of the bits of `mask`: line numbers, or universe ids for items.
  std::vector<int> Ids(Mask mask, bool items) const {
    std::vector<int> ids;
    for (int b = 0; b < (items ? m_ : n_); ++b) {
      if (mask >> b & 1) ids.push_back(items ? ids_[b] : b);
    }
    return ids;
  }

  Parameters p_;
  std::vector<int> ids_;    // the universe: item id of each item bit
  int n_ = 0;
  int m_ = 0;
  std::vector<Mask> rows_;  // per transaction: bits of the items it holds
  std::vector<Mask> cols_;  // per item bit: the transactions holding it
  std::set<Result> results_;
};

inline std::set<Result> EnumerateMaximal(const Rows& rows, const Parameters& p) {
  return Enumerator(rows, p).Enumerate();
}

}  // namespace qbtest

#endif  // QUASIBICLIQUE_TESTS_MODEL_H

// Randomised comparison of the miner with an exhaustive enumerator of maximal
// quasi-bicliques on tiny datasets, plus an independent check of every line
// the miner writes.
//
// Definitions the enumerator and the checker follow (graph type 0): (T, I) is a
// quasi-biclique when every item of I is missing from at most itemTolerance
// transactions of T, every transaction of T lacks at most transactionTolerance
// items of I, |T| >= max(2, transaction_supportLevel) and
// |I| >= item_supportLevel. It is maximal when no single transaction and no
// single item can be added keeping both tolerance conditions. With graph type
// 1 the vertices play both roles, T and I are disjoint, only vertices outside
// T u I may be added, and a result is an unordered pair {T, I}.
//
// All parameters are drawn where transactionTolerance < item_supportLevel and
// itemTolerance < max(2, transaction_supportLevel): there the miner must write
// exactly the maximal quasi-bicliques, each once. Each case is mined with the
// tolerance walk, checked against the enumerator, and mined again with the
// exact search, whose output file must be the same byte for byte.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "driver.h"

namespace {

// Seeded cases per test. Lower it while iterating on a slow (for example a
// sanitizer) build; the non-empty-answer floor scales with it.
constexpr int kCasesPerTest = 500;

// Failing cases printed in full per test (the first one is also shrunk).
constexpr int kMaxReportedCases = 3;

// Miner runs spent shrinking one failing case.
constexpr int kMaxShrinkRuns = 3000;

// Bit sets over at most 32 transactions, items or vertices.
using Mask = uint32_t;

int Popcount(Mask m) { return __builtin_popcount(m); }

struct Params {
  int item_support = 1;   // item_supportLevel: least |I|
  int item_tol = 0;       // itemTolerance: transactions of T an item may miss
  int trans_tol = 0;      // transactionTolerance: items of I a transaction may lack
  int trans_support = 0;  // transaction_supportLevel: least |T| (never below 2)
  int graph_type = 0;     // 0 bipartite, 1 undirected

  int MinTransactions() const { return std::max(2, trans_support); }
};

std::string DescribeParams(const Params& p) {
  std::ostringstream os;
  os << "item_supportLevel=" << p.item_support
     << " itemTolerance=" << p.item_tol
     << " transactionTolerance=" << p.trans_tol
     << " transaction_supportLevel=" << p.trans_support
     << " graphType=" << p.graph_type
     << "  (argv: dataset " << p.item_support << ' ' << p.item_tol << ' '
     << p.trans_tol << ' ' << p.trans_support << ' ' << p.graph_type
     << " out)";
  return os.str();
}

// rows[t]: the numbers on line t, ascending and distinct. For graph type 1 these
// are the neighbours of vertex t (symmetric, no self loops).
struct Dataset {
  std::vector<std::vector<int>> rows;
};

std::string DatasetText(const Dataset& d) {
  std::string text;
  for (size_t t = 0; t < d.rows.size(); ++t) {
    if (t > 0) text += '\n';
    for (size_t k = 0; k < d.rows[t].size(); ++k) {
      if (k > 0) text += ' ';
      text += std::to_string(d.rows[t][k]);
    }
  }
  return text;
}

// All numbers that occur in the dataset, ascending. For graph type 0 this is
// the item universe: an item that occurs nowhere is missing from every
// transaction, and since itemTolerance < max(2, transaction_supportLevel) <= |T|
// it can never belong to a quasi-biclique nor be added to one.
std::vector<int> ItemUniverse(const Dataset& d) {
  std::set<int> ids;
  for (const auto& row : d.rows) ids.insert(row.begin(), row.end());
  return std::vector<int>(ids.begin(), ids.end());
}

// ---------------------------------------------------------------------------
// Exhaustive enumerator on bit sets.

// A result as two bit sets: transactions (bits are line numbers) and items
// (bits index Oracle::item_ids; for graph type 1 bits are vertex ids). For
// graph type 1 the pair is unordered and stored with first < second.
using Key = std::pair<Mask, Mask>;

Key Canonical(Mask a, Mask b, int graph_type) {
  if (graph_type == 1 && b < a) std::swap(a, b);
  return {a, b};
}

class Oracle {
 public:
  Oracle(const Dataset& d, const Params& p) : p_(p) {
    n_ = static_cast<int>(d.rows.size());
    undirected_ = p.graph_type == 1;
    if (undirected_) {
      for (int v = 0; v < n_; ++v) item_ids.push_back(v);
    } else {
      item_ids = ItemUniverse(d);
    }
    m_ = static_cast<int>(item_ids.size());
    for (int k = 0; k < m_; ++k) bit_of_item[item_ids[k]] = k;
    rows_.assign(n_, 0);
    cols_.assign(m_, 0);
    for (int t = 0; t < n_; ++t) {
      for (int id : d.rows[t]) {
        int k = bit_of_item.at(id);
        rows_[t] |= Mask{1} << k;
        cols_[k] |= Mask{1} << t;
      }
    }
  }

  // Every maximal quasi-biclique, as canonical keys.
  std::set<Key> Enumerate() {
    results_.clear();
    const int min_t = p_.MinTransactions();
    for (Mask items = 0; items < (Mask{1} << m_); ++items) {
      if (Popcount(items) < p_.item_support) continue;
      // Only transactions lacking at most trans_tol items of `items` can be in
      // T; any other one breaks the transaction condition by itself.
      Mask cand = 0;
      for (int t = 0; t < n_; ++t) {
        if (undirected_ && (items >> t & 1)) continue;
        if (Popcount(items & ~rows_[t]) <= p_.trans_tol) cand |= Mask{1} << t;
      }
      if (Popcount(cand) < min_t) continue;
      int miss[32] = {0};
      Grow(items, cand, 0, 0, miss);
    }
    return results_;
  }

  // bit index of each item id; item_ids[bit] is the id
  std::map<int, int> bit_of_item;
  std::vector<int> item_ids;

 private:
  bool Lacks(int t, int k) const { return !(rows_[t] >> k & 1); }

  // Extends `trans` by transactions of `cand` numbered `next` or more, keeping
  // the item condition (miss[k] = transactions of `trans` lacking item k).
  // Dropping a transaction never breaks the item condition, so this visits
  // every valid T for `items` and nothing else.
  void Grow(Mask items, Mask cand, Mask trans, int next, int* miss) {
    if (Popcount(trans) >= p_.MinTransactions() && IsMaximal(items, cand, trans, miss)) {
      results_.insert(Canonical(trans, items, p_.graph_type));
    }
    for (int t = next; t < n_; ++t) {
      if (!(cand >> t & 1)) continue;
      if (!CanAddTransaction(items, t, miss)) continue;
      for (int k = 0; k < m_; ++k) {
        if ((items >> k & 1) && Lacks(t, k)) ++miss[k];
      }
      Grow(items, cand, trans | Mask{1} << t, t + 1, miss);
      for (int k = 0; k < m_; ++k) {
        if ((items >> k & 1) && Lacks(t, k)) --miss[k];
      }
    }
  }

  bool CanAddTransaction(Mask items, int t, const int* miss) const {
    for (int k = 0; k < m_; ++k) {
      if ((items >> k & 1) && Lacks(t, k) && miss[k] + 1 > p_.item_tol) return false;
    }
    return true;
  }

  bool CanAddItem(Mask items, Mask trans, int k) const {
    if (Popcount(trans & ~cols_[k]) > p_.item_tol) return false;
    const Mask grown = items | Mask{1} << k;
    for (int t = 0; t < n_; ++t) {
      if ((trans >> t & 1) && Popcount(grown & ~rows_[t]) > p_.trans_tol) return false;
    }
    return true;
  }

  bool IsMaximal(Mask items, Mask cand, Mask trans, const int* miss) const {
    // Transactions outside `cand` already lack too many items of `items`.
    for (int t = 0; t < n_; ++t) {
      if ((cand >> t & 1) && !(trans >> t & 1) && CanAddTransaction(items, t, miss)) {
        return false;
      }
    }
    for (int k = 0; k < m_; ++k) {
      if (items >> k & 1) continue;
      if (undirected_ && (trans >> k & 1)) continue;
      if (CanAddItem(items, trans, k)) return false;
    }
    return true;
  }

  Params p_;
  bool undirected_ = false;
  int n_ = 0;
  int m_ = 0;
  std::vector<Mask> rows_;  // per transaction: bits of the items it holds
  std::vector<Mask> cols_;  // per item bit: the transactions holding it
  std::set<Key> results_;
};

// ---------------------------------------------------------------------------
// Output file parsing and the line checker, which works on plain id lists and
// shares no code with the enumerator above.

struct Line {
  std::string text;        // without the line end
  std::vector<int> left;   // before ';': transaction ids
  std::vector<int> right;  // after ';': item ids
};

// Parses "<id> <id> ;<id> <id> \n" lines. Returns "" or what is wrong.
std::string ParseOutput(const std::string& text, std::vector<Line>* lines) {
  lines->clear();
  if (!text.empty() && text.back() != '\n') return "output does not end with a line end";
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    Line line;
    line.text = text.substr(pos, end - pos);
    pos = end + 1;
    std::vector<int>* side = &line.left;
    bool seen_semicolon = false;
    size_t i = 0;
    const std::string& s = line.text;
    while (i < s.size()) {
      if (s[i] == ';') {
        if (seen_semicolon) return "two ';' in line '" + s + "'";
        seen_semicolon = true;
        side = &line.right;
        ++i;
        continue;
      }
      if (s[i] < '0' || s[i] > '9') return "unexpected character in line '" + s + "'";
      long long value = 0;
      while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        value = value * 10 + (s[i] - '0');
        if (value > 1000000) return "number out of range in line '" + s + "'";
        ++i;
      }
      if (i >= s.size() || s[i] != ' ') {
        return "a number not followed by one space in line '" + s + "'";
      }
      ++i;
      side->push_back(static_cast<int>(value));
    }
    if (!seen_semicolon) return "no ';' in line '" + s + "'";
    lines->push_back(std::move(line));
  }
  return "";
}

class LineChecker {
 public:
  LineChecker(const Dataset& d, const Params& p) : p_(p) {
    for (const auto& row : d.rows) rows_.emplace_back(row.begin(), row.end());
    universe_ = ItemUniverse(d);
  }

  // Returns "" when the line is a maximal quasi-biclique (graph type 1: in at
  // least one orientation), with ascending, duplicate-free, in-range lists.
  std::string Check(const Line& line) const {
    std::string why = CheckList(line.left, "transaction");
    if (why.empty()) why = CheckList(line.right, "item");
    if (!why.empty()) return why;
    const int n = static_cast<int>(rows_.size());
    for (int t : line.left) {
      if (t >= n) return "transaction " + std::to_string(t) + " is not a line of the dataset";
    }
    if (p_.graph_type == 0) {
      for (int i : line.right) {
        if (!std::binary_search(universe_.begin(), universe_.end(), i)) {
          return "item " + std::to_string(i) + " occurs nowhere in the dataset";
        }
      }
      return CheckOriented(line.left, line.right);
    }
    for (int v : line.right) {
      if (v >= n) return "vertex " + std::to_string(v) + " is not a vertex of the graph";
      if (std::binary_search(line.left.begin(), line.left.end(), v)) {
        return "vertex " + std::to_string(v) + " is on both sides";
      }
    }
    const std::string as_written = CheckOriented(line.left, line.right);
    if (as_written.empty()) return "";
    const std::string swapped = CheckOriented(line.right, line.left);
    if (swapped.empty()) return "";
    return "as written: " + as_written + "; sides swapped: " + swapped;
  }

 private:
  static std::string CheckList(const std::vector<int>& ids, const char* what) {
    for (size_t k = 1; k < ids.size(); ++k) {
      if (ids[k - 1] >= ids[k]) {
        return std::string(what) + " list not strictly ascending";
      }
    }
    return "";
  }

  bool Holds(int t, int i) const { return rows_[t].count(i) > 0; }

  // Both tolerance conditions of (trans, items); "" or the first violation.
  std::string ToleranceViolation(const std::vector<int>& trans,
                                 const std::vector<int>& items) const {
    for (int i : items) {
      int missing = 0;
      for (int t : trans) missing += Holds(t, i) ? 0 : 1;
      if (missing > p_.item_tol) {
        return "item " + std::to_string(i) + " missing from " + std::to_string(missing) +
               " transactions";
      }
    }
    for (int t : trans) {
      int lacking = 0;
      for (int i : items) lacking += Holds(t, i) ? 0 : 1;
      if (lacking > p_.trans_tol) {
        return "transaction " + std::to_string(t) + " lacks " + std::to_string(lacking) +
               " items";
      }
    }
    return "";
  }

  std::string CheckOriented(const std::vector<int>& trans, const std::vector<int>& items) const {
    if (static_cast<int>(trans.size()) < p_.MinTransactions()) return "too few transactions";
    if (static_cast<int>(items.size()) < p_.item_support) return "too few items";
    std::string why = ToleranceViolation(trans, items);
    if (!why.empty()) return "not a quasi-biclique: " + why;

    auto outside = [&](int x) {
      return std::find(trans.begin(), trans.end(), x) == trans.end() &&
             std::find(items.begin(), items.end(), x) == items.end();
    };
    const int n = static_cast<int>(rows_.size());
    for (int t = 0; t < n; ++t) {
      if (std::find(trans.begin(), trans.end(), t) != trans.end()) continue;
      if (p_.graph_type == 1 && !outside(t)) continue;
      std::vector<int> grown = trans;
      grown.push_back(t);
      if (ToleranceViolation(grown, items).empty()) {
        return "not maximal: transaction " + std::to_string(t) + " can be added";
      }
    }
    std::vector<int> candidates = universe_;
    if (p_.graph_type == 1) {
      candidates.clear();
      for (int v = 0; v < n; ++v) candidates.push_back(v);
    }
    for (int i : candidates) {
      if (std::find(items.begin(), items.end(), i) != items.end()) continue;
      if (p_.graph_type == 1 && !outside(i)) continue;
      std::vector<int> grown = items;
      grown.push_back(i);
      if (ToleranceViolation(trans, grown).empty()) {
        return "not maximal: item " + std::to_string(i) + " can be added";
      }
    }
    return "";
  }

  Params p_;
  std::vector<std::set<int>> rows_;
  std::vector<int> universe_;
};

// ---------------------------------------------------------------------------
// Random datasets and parameters.

struct Case {
  Dataset data;
  Params params;
};

int Uniform(std::mt19937& rng, int lo, int hi) {
  return std::uniform_int_distribution<int>(lo, hi)(rng);
}

// Sizes mostly small, sometimes up to 12, and at least `least` (so that the
// support levels can be met at all).
int RandomSize(std::mt19937& rng, int least) {
  static const int kBounds[] = {4, 6, 8, 10, 12};
  least = std::max(2, least);
  return Uniform(rng, least, std::max(least, kBounds[Uniform(rng, 0, 4)]));
}

// Anywhere in 0.2..0.9, but half of the time 0.55 or more: sparse datasets
// with support levels of 3 or 4 rarely have any result.
double RandomDensity(std::mt19937& rng) {
  const double low = Uniform(rng, 0, 1) == 0 ? 0.2 : 0.55;
  return std::uniform_real_distribution<double>(low, 0.9)(rng);
}

Dataset RandomBipartite(std::mt19937& rng, const Params& p) {
  const int n = RandomSize(rng, p.MinTransactions());
  const int m = RandomSize(rng, p.item_support);
  const double density = RandomDensity(rng);
  // Items are usually 0..m-1; sometimes sparse ids, to exercise ids that are
  // neither contiguous nor starting at 0.
  std::vector<int> ids(m);
  if (Uniform(rng, 0, 3) == 0) {
    std::set<int> chosen;
    while (static_cast<int>(chosen.size()) < m) chosen.insert(Uniform(rng, 0, 120));
    ids.assign(chosen.begin(), chosen.end());
  } else {
    for (int k = 0; k < m; ++k) ids[k] = k;
  }
  std::bernoulli_distribution has(density);
  Dataset d;
  d.rows.resize(n);
  for (int t = 0; t < n; ++t) {
    for (int k = 0; k < m; ++k) {
      if (has(rng)) d.rows[t].push_back(ids[k]);
    }
  }
  return d;
}

Dataset RandomGraph(std::mt19937& rng, const Params& p) {
  const int n = RandomSize(rng, p.MinTransactions() + p.item_support);
  const double density = RandomDensity(rng);
  std::bernoulli_distribution edge(density);
  Dataset d;
  d.rows.resize(n);
  for (int u = 0; u < n; ++u) {
    for (int v = u + 1; v < n; ++v) {
      if (edge(rng)) {
        d.rows[u].push_back(v);
        d.rows[v].push_back(u);
      }
    }
  }
  for (auto& row : d.rows) std::sort(row.begin(), row.end());
  return d;
}

enum class Tolerances { kAny, kUnequal };

// Parameters with transactionTolerance < item_supportLevel and
// itemTolerance < max(2, transaction_supportLevel), tolerances at most 2.
Params RandomParams(std::mt19937& rng, int graph_type, Tolerances mode) {
  Params p;
  p.graph_type = graph_type;
  for (;;) {
    p.item_support = Uniform(rng, 1, 4);
    p.trans_support = Uniform(rng, 0, 4);
    p.trans_tol = Uniform(rng, 0, std::min(2, p.item_support - 1));
    p.item_tol = Uniform(rng, 0, std::min(2, p.MinTransactions() - 1));
    if (mode == Tolerances::kAny) return p;
    if (p.item_tol != p.trans_tol && p.item_support != p.trans_support) return p;
  }
}

// ---------------------------------------------------------------------------
// Running the miner and comparing.

struct Outcome {
  bool ok = true;
  size_t expected = 0;       // results of the enumerator
  size_t lines_checked = 0;  // lines the miner wrote and the checker looked at
  std::string report;        // what went wrong, for a developer
};

std::string ReadFile(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  if (!in) return "";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class OracleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "qb_oracle_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr) << "cannot create a directory from " << pattern;
    dir_ = buffer.data();
    data_path_ = dir_ + "/data.txt";
    out_path_ = dir_ + "/out.txt";
  }

  void TearDown() override {
    if (dir_.empty()) return;
    std::remove(data_path_.c_str());
    std::remove(out_path_.c_str());
    rmdir(dir_.c_str());
  }

  // Mines again with the exact search (args as for the tolerance walk, whose
  // output file and standard output are given). Returns "" when the output
  // file and the count line are the same, else what differs.
  std::string CompareExactSearch(std::vector<std::string> args, const std::string& output,
                                 const std::string& miner_stdout) {
    args[1] = "--search=exact";
    std::remove(out_path_.c_str());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    const int status = RunMiner(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    const std::string exact_stdout = ::testing::internal::GetCapturedStdout();
    bool exists = false;
    const std::string exact_output = ReadFile(out_path_, &exists);
    if (status != 0 || !exists) return "the exact search failed: status " + std::to_string(status);
    if (exact_output != output) {
      return "the exact search wrote a different output file:\n" + exact_output;
    }
    if (CountLine(exact_stdout) != CountLine(miner_stdout)) {
      return "count lines differ: exact '" + CountLine(exact_stdout) + "', tolerance walk '" +
             CountLine(miner_stdout) + "'";
    }
    return "";
  }

  static std::string CountLine(const std::string& text) {
    const std::string label = "Total number of quasi-bicliques:";
    const size_t at = text.find(label);
    if (at == std::string::npos) return "";
    return text.substr(at, text.find('\n', at) - at);
  }

  // Mines `c` with the tolerance walk and compares the output with the
  // enumerator and the checker, then with the exact search's output.
  Outcome RunCase(const Case& c) {
    Outcome outcome;
    const Params& p = c.params;
    const std::string dataset_text = DatasetText(c.data);
    {
      std::ofstream out(data_path_, std::ios::binary | std::ios::trunc);
      out << dataset_text;
    }
    std::remove(out_path_.c_str());

    std::vector<std::string> args = {"quasibiclique",
                                     "--search=tolerance",
                                     data_path_,
                                     std::to_string(p.item_support),
                                     std::to_string(p.item_tol),
                                     std::to_string(p.trans_tol),
                                     std::to_string(p.trans_support),
                                     std::to_string(p.graph_type),
                                     out_path_};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = RunMiner(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    const std::string miner_stdout = ::testing::internal::GetCapturedStdout();
    const std::string miner_stderr = ::testing::internal::GetCapturedStderr();

    bool exists = false;
    const std::string output = ReadFile(out_path_, &exists);
    const std::string exact_difference = CompareExactSearch(args, output, miner_stdout);

    Oracle oracle(c.data, p);
    const std::set<Key> expected = oracle.Enumerate();
    outcome.expected = expected.size();

    std::ostringstream problems;
    if (status != 0) {
      problems << "exit status " << status << "\n  stdout: " << miner_stdout
               << "\n  stderr: " << miner_stderr << "\n";
    }
    if (!exists) problems << "no output file written\n";

    std::vector<Line> lines;
    const std::string parse_error = ParseOutput(output, &lines);
    if (!parse_error.empty()) problems << "unreadable output: " << parse_error << "\n";
    outcome.lines_checked = lines.size();

    // Each line on its own.
    LineChecker checker(c.data, p);
    for (const Line& line : lines) {
      const std::string why = checker.Check(line);
      if (!why.empty()) problems << "bad line '" << line.text << "': " << why << "\n";
    }

    // The set of lines against the enumerator.
    std::set<Key> written;
    std::vector<std::string> extra;
    for (const Line& line : lines) {
      Mask left = 0;
      Mask right = 0;
      bool known = true;
      for (int t : line.left) {
        if (t < 0 || t >= static_cast<int>(c.data.rows.size())) known = false;
        else left |= Mask{1} << t;
      }
      for (int i : line.right) {
        auto it = oracle.bit_of_item.find(i);
        if (it == oracle.bit_of_item.end()) known = false;
        else right |= Mask{1} << it->second;
      }
      const Key key = Canonical(left, right, p.graph_type);
      if (!known || !expected.count(key)) {
        extra.push_back(line.text);
        continue;
      }
      if (!written.insert(key).second) {
        problems << "written more than once"
                 << (p.graph_type == 1 ? " (as an unordered pair)" : "") << ": '" << line.text
                 << "'\n";
      }
    }
    std::vector<std::string> missing;
    for (const Key& key : expected) {
      if (!written.count(key)) missing.push_back(FormatKey(key, oracle, p));
    }
    if (!missing.empty()) {
      problems << "missing " << missing.size() << " line(s):\n";
      for (const auto& s : missing) problems << "    " << s << "\n";
    }
    if (!extra.empty()) {
      problems << "extra " << extra.size() << " line(s):\n";
      for (const auto& s : extra) problems << "    " << s << "\n";
    }

    if (!exact_difference.empty()) problems << exact_difference << "\n";
    const std::string found = problems.str();
    if (!found.empty()) {
      outcome.ok = false;
      std::ostringstream report;
      report << DescribeParams(p) << "\n"
             << "dataset (" << c.data.rows.size() << " lines, shown between the bars):\n|"
             << dataset_text << "|\n"
             << "expected " << expected.size() << " line(s), miner wrote " << lines.size()
             << "\n"
             << found;
      outcome.report = report.str();
    }
    return outcome;
  }

  // Removes lines, items/vertices and single entries from a failing case while
  // it still fails, so the printed example is small.
  Case Shrink(Case c) {
    int runs = 0;
    auto still_fails = [&](const Case& candidate) {
      ++runs;
      return !RunCase(candidate).ok;
    };
    bool progress = true;
    while (progress && runs < kMaxShrinkRuns) {
      progress = false;
      // Whole lines (vertices, for graphs).
      for (size_t t = 0; t < c.data.rows.size() && c.data.rows.size() > 2; ++t) {
        Case smaller = c;
        smaller.data.rows.erase(smaller.data.rows.begin() + t);
        if (c.params.graph_type == 1) {
          const int gone = static_cast<int>(t);
          for (auto& row : smaller.data.rows) {
            std::vector<int> kept;
            for (int v : row) {
              if (v != gone) kept.push_back(v > gone ? v - 1 : v);
            }
            row = kept;
          }
        }
        if (runs < kMaxShrinkRuns && still_fails(smaller)) {
          c = smaller;
          progress = true;
          --t;
        }
      }
      // Whole items (graph type 0).
      if (c.params.graph_type == 0) {
        for (int id : ItemUniverse(c.data)) {
          Case smaller = c;
          for (auto& row : smaller.data.rows) {
            row.erase(std::remove(row.begin(), row.end(), id), row.end());
          }
          if (runs < kMaxShrinkRuns && still_fails(smaller)) {
            c = smaller;
            progress = true;
          }
        }
      }
      // Single entries (edges, for graphs).
      for (size_t t = 0; t < c.data.rows.size(); ++t) {
        for (size_t k = 0; k < c.data.rows[t].size(); ++k) {
          const int id = c.data.rows[t][k];
          if (c.params.graph_type == 1 && id < static_cast<int>(t)) continue;
          Case smaller = c;
          auto& row = smaller.data.rows[t];
          row.erase(row.begin() + k);
          if (c.params.graph_type == 1) {
            auto& back = smaller.data.rows[id];
            back.erase(std::remove(back.begin(), back.end(), static_cast<int>(t)), back.end());
          }
          if (runs < kMaxShrinkRuns && still_fails(smaller)) {
            c = smaller;
            progress = true;
            --k;
          }
        }
      }
    }
    return c;
  }

  // Draws and checks `cases` cases; fails the test on any disagreement.
  void RunSeries(const char* name, uint32_t seed, int cases,
                 const std::function<Case(std::mt19937&)>& draw) {
    std::mt19937 rng(seed);
    int failed = 0;
    int non_empty = 0;
    size_t lines = 0;
    size_t expected_lines = 0;
    for (int k = 0; k < cases; ++k) {
      const Case c = draw(rng);
      const Outcome outcome = RunCase(c);
      lines += outcome.lines_checked;
      expected_lines += outcome.expected;
      if (outcome.expected > 0) ++non_empty;
      if (outcome.ok) continue;
      ++failed;
      if (failed > kMaxReportedCases) continue;
      std::string message = std::string(name) + " case " + std::to_string(k) + " (seed " +
                            std::to_string(seed) + "):\n" + outcome.report;
      if (failed == 1) {
        const Case small = Shrink(c);
        message += "\nshrunk to:\n" + RunCase(small).report;
      }
      ADD_FAILURE() << message;
    }
    std::cout << "[ oracle   ] " << name << ": " << cases << " cases (" << non_empty
              << " with a non-empty answer), " << expected_lines << " expected lines, "
              << lines << " written lines checked, " << failed << " failing cases\n";
    RecordProperty("cases", cases);
    RecordProperty("non_empty_cases", non_empty);
    RecordProperty("lines_checked", static_cast<int>(lines));
    EXPECT_EQ(failed, 0) << name << ": " << failed << " of " << cases << " cases disagree";
    // The draws are tuned so that most cases have results; a generator change
    // that makes nearly all answers empty would let the comparison pass
    // without testing anything.
    EXPECT_GE(non_empty * 10, cases * 4)
        << name << ": only " << non_empty << " of " << cases << " cases had results";
  }

  std::string FormatKey(const Key& key, const Oracle& oracle, const Params& p) const {
    std::ostringstream os;
    auto side = [&](Mask bits, bool items) {
      for (int b = 0; b < 32; ++b) {
        if (bits >> b & 1) os << (items ? oracle.item_ids[b] : b) << ' ';
      }
    };
    side(key.first, false);
    os << ';';
    side(key.second, p.graph_type == 0);
    if (p.graph_type == 1) os << "   (either orientation)";
    return os.str();
  }

  std::string dir_;
  std::string data_path_;
  std::string out_path_;
};

TEST_F(OracleTest, BipartiteMatchesBruteForce) {
  RunSeries("bipartite", 20240601u, kCasesPerTest, [](std::mt19937& rng) {
    Case c;
    c.params = RandomParams(rng, 0, Tolerances::kAny);
    c.data = RandomBipartite(rng, c.params);
    return c;
  });
}

TEST_F(OracleTest, UndirectedMatchesBruteForce) {
  RunSeries("undirected", 20240602u, kCasesPerTest, [](std::mt19937& rng) {
    Case c;
    c.params = RandomParams(rng, 1, Tolerances::kAny);
    // Half of the cases with equal tolerances and equal support levels, where
    // both orientations of a pair are interchangeable.
    if (Uniform(rng, 0, 1) == 0) {
      c.params.trans_support = c.params.item_support;
      const int tol = std::min({c.params.trans_tol, c.params.item_tol,
                                c.params.MinTransactions() - 1});
      c.params.trans_tol = c.params.item_tol = tol;
    }
    c.data = RandomGraph(rng, c.params);
    return c;
  });
}

TEST_F(OracleTest, UnequalTolerancesMatchBruteForce) {
  RunSeries("unequal tolerances", 20240603u, kCasesPerTest, [](std::mt19937& rng) {
    Case c;
    const int graph_type = Uniform(rng, 0, 1);
    c.params = RandomParams(rng, graph_type, Tolerances::kUnequal);
    c.data = graph_type == 0 ? RandomBipartite(rng, c.params) : RandomGraph(rng, c.params);
    return c;
  });
}

// The enumerator itself, on cases small enough to work out by hand.
TEST(OracleSelfTest, EnumeratorOnHandCheckedCases) {
  // Transactions {0 1 2}, {0 1}, {0 2}; no tolerance, supports 1 and 2: the
  // maximal exact bicliques are ({0,1,2}, {0}), ({0,1}, {0,1}), ({0,2}, {0,2}).
  Dataset d;
  d.rows = {{0, 1, 2}, {0, 1}, {0, 2}};
  Params p;
  p.item_support = 1;
  p.trans_support = 2;
  const std::set<Key> exact = Oracle(d, p).Enumerate();
  const std::set<Key> want_exact = {{0b111, 0b001}, {0b011, 0b011}, {0b101, 0b101}};
  EXPECT_EQ(exact, want_exact);

  // With each item allowed to miss one transaction and each transaction to lack
  // one item (item_supportLevel 2 keeps transactionTolerance below it), all
  // three transactions with all three items: transaction 1 lacks item 2,
  // transaction 2 lacks item 1, each item misses at most one.
  p.item_support = 2;
  p.item_tol = 1;
  p.trans_tol = 1;
  const std::set<Key> loose = Oracle(d, p).Enumerate();
  const std::set<Key> want_loose = {{0b111, 0b111}};
  EXPECT_EQ(loose, want_loose);

  // A path 0-1-2-3 as an undirected graph, exact, supports 1 and 2: the
  // unordered pairs are {{0,2},{1}} and {{1,3},{2}}.
  Dataset path;
  path.rows = {{1}, {0, 2}, {1, 3}, {2}};
  Params g;
  g.graph_type = 1;
  g.item_support = 1;
  g.trans_support = 2;
  const std::set<Key> pairs = Oracle(path, g).Enumerate();
  const std::set<Key> want_pairs = {Canonical(0b0101, 0b0010, 1), Canonical(0b1010, 0b0100, 1)};
  EXPECT_EQ(pairs, want_pairs);
}

// The checker on lines that are right, not maximal, not quasi-bicliques and
// badly ordered.
TEST(OracleSelfTest, LineCheckerRejectsBadLines) {
  Dataset d;
  d.rows = {{0, 1, 2}, {0, 1}, {0, 2}};
  Params p;
  p.item_support = 1;
  p.trans_support = 2;
  LineChecker checker(d, p);
  std::vector<Line> lines;
  ASSERT_EQ(ParseOutput("0 1 ;0 1 \n0 1 ;0 \n0 1 ;0 1 2 \n1 0 ;0 \n2 ;0 \n", &lines), "");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(checker.Check(lines[0]), "");
  EXPECT_NE(checker.Check(lines[1]), "");  // item 1 can be added
  EXPECT_NE(checker.Check(lines[2]), "");  // transaction 1 lacks item 2
  EXPECT_NE(checker.Check(lines[3]), "");  // not ascending
  EXPECT_NE(checker.Check(lines[4]), "");  // one transaction only

  EXPECT_NE(ParseOutput("0 1;0 \n", &lines), "");
  EXPECT_NE(ParseOutput("0 1 ;0 ", &lines), "");
  EXPECT_NE(ParseOutput("0 1 0 \n", &lines), "");
}

}  // namespace

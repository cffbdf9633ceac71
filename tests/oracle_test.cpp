// Randomised comparison of the miner with the test model's exhaustive
// enumerator of maximal quasi-bicliques on tiny datasets, plus the model's
// check of every line the miner writes (model.h states the definitions).
//
// All parameters are drawn where transactionTolerance < item_supportLevel and
// itemTolerance < max(2, transaction_supportLevel): there the miner must write
// exactly the maximal quasi-bicliques, each once. Each case is mined with the
// tolerance walk, checked against the enumerator, and mined again with the
// exact search, whose output file must be the same byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "model.h"
#include "test_util.h"

namespace {

using namespace quasibiclique;

using qbtest::Result;
using qbtest::Rows;

// Seeded cases per test. Lower it while iterating on a slow (for example a
// sanitizer) build; the non-empty-answer floor scales with it.
constexpr int kCasesPerTest = 500;

// Failing cases printed in full per test (the first one is also shrunk).
constexpr int kMaxReportedCases = 3;

// Miner runs spent shrinking one failing case.
constexpr int kMaxShrinkRuns = 3000;

std::string DescribeParams(const Parameters& p) {
  std::ostringstream os;
  os << "item_supportLevel=" << p.item_supportLevel << " itemTolerance=" << p.itemTolerance
     << " transactionTolerance=" << p.transactionTolerance
     << " transaction_supportLevel=" << p.transaction_supportLevel
     << " graphType=" << p.graphtype << "  (argv: dataset " << p.item_supportLevel << ' '
     << p.itemTolerance << ' ' << p.transactionTolerance << ' ' << p.transaction_supportLevel
     << ' ' << p.graphtype << " out)";
  return os.str();
}

// ---------------------------------------------------------------------------
// Random datasets and parameters. rows[t]: the numbers on line t, ascending
// and distinct; for graph type 1 the neighbours of vertex t (symmetric, no
// self loops).

struct Case {
  Rows rows;
  Parameters params;
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

Rows RandomBipartite(std::mt19937& rng, const Parameters& p) {
  const int n = RandomSize(rng, qbtest::MinTransactions(p));
  const int m = RandomSize(rng, p.item_supportLevel);
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
  Rows rows(n);
  for (int t = 0; t < n; ++t) {
    for (int k = 0; k < m; ++k) {
      if (has(rng)) rows[t].push_back(ids[k]);
    }
  }
  return rows;
}

Rows RandomGraph(std::mt19937& rng, const Parameters& p) {
  const int n = RandomSize(rng, qbtest::MinTransactions(p) + p.item_supportLevel);
  const double density = RandomDensity(rng);
  std::bernoulli_distribution edge(density);
  Rows rows(n);
  for (int u = 0; u < n; ++u) {
    for (int v = u + 1; v < n; ++v) {
      if (edge(rng)) {
        rows[u].push_back(v);
        rows[v].push_back(u);
      }
    }
  }
  for (auto& row : rows) std::sort(row.begin(), row.end());
  return rows;
}

enum class Tolerances { kAny, kUnequal };

// Parameters with transactionTolerance < item_supportLevel and
// itemTolerance < max(2, transaction_supportLevel), tolerances at most 2.
Parameters RandomParams(std::mt19937& rng, int graphtype, Tolerances mode) {
  Parameters p;
  p.graphtype = GraphType(graphtype);
  p.search = kSearchTolerance;
  for (;;) {
    p.item_supportLevel = Uniform(rng, 1, 4);
    p.transaction_supportLevel = Uniform(rng, 0, 4);
    p.transactionTolerance = Uniform(rng, 0, std::min(2, p.item_supportLevel - 1));
    p.itemTolerance = Uniform(rng, 0, std::min(2, qbtest::MinTransactions(p) - 1));
    if (mode == Tolerances::kAny) return p;
    if (p.itemTolerance != p.transactionTolerance &&
        p.item_supportLevel != p.transaction_supportLevel) {
      return p;
    }
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

std::string CountLine(const std::string& text) {
  const std::string label = "Total number of quasi-bicliques:";
  const size_t at = text.find(label);
  if (at == std::string::npos) return "";
  return text.substr(at, text.find('\n', at) - at);
}

// The progress numbers printed before the count line.
std::string ProgressNumbers(const std::string& text) {
  return text.substr(0, text.find("Total number of quasi-bicliques:"));
}

class OracleTest : public ::testing::Test {
 protected:
  // Mines the dataset file under `p` with the search `p.search` chooses.
  qbtest::RunResult Mine(const Parameters& p) {
    std::remove(out_path_.c_str());
    std::vector<std::string> args = qbtest::Arguments(data_path_, p, out_path_);
    args.insert(args.begin(), p.search == kSearchExact ? "--search=exact" : "--search=tolerance");
    if (threads_ >= 0) args.insert(args.begin(), "--threads=" + std::to_string(threads_));
    return qbtest::RunInProcess(args, dir_, out_path_);
  }

  // Mines the dataset file with both searches on 2, 3 and 8 threads. Returns
  // "" when every run gives the status, output file, count line and progress
  // numbers of the same search on one thread, else what differs.
  std::string CompareThreadCounts(Parameters p) {
    std::ostringstream problems;
    for (SearchChoice search : {kSearchTolerance, kSearchExact}) {
      p.search = search;
      const char* name = search == kSearchExact ? "exact search" : "tolerance walk";
      threads_ = 1;
      const qbtest::RunResult one = Mine(p);
      if (one.status != 0 || !one.outputexists) {
        problems << name << " on 1 thread failed: status " << one.status << "\n";
        continue;
      }
      for (int threads : {2, 3, 8}) {
        threads_ = threads;
        const qbtest::RunResult many = Mine(p);
        const std::string run = std::string(name) + " on " + std::to_string(threads) + " threads";
        if (many.status != one.status) problems << run << ": status " << many.status << "\n";
        if (many.output != one.output) problems << run << " wrote:\n" << many.output << "\n";
        if (CountLine(many.out) != CountLine(one.out)) {
          problems << run << ": count line '" << CountLine(many.out) << "', on 1 thread '"
                   << CountLine(one.out) << "'\n";
        }
        if (ProgressNumbers(many.out) != ProgressNumbers(one.out)) {
          problems << run << ": progress '" << ProgressNumbers(many.out) << "', on 1 thread '"
                   << ProgressNumbers(one.out) << "'\n";
        }
      }
    }
    threads_ = 1;
    return problems.str();
  }

  // Mines again with the exact search. Returns "" when the output file and
  // the count line are those of the tolerance walk's run `walk`, else what
  // differs.
  std::string CompareExactSearch(Parameters p, const qbtest::RunResult& walk) {
    p.search = kSearchExact;
    const qbtest::RunResult exact = Mine(p);
    if (exact.status != 0 || !exact.outputexists) {
      return "the exact search failed: status " + std::to_string(exact.status);
    }
    if (exact.output != walk.output) {
      return "the exact search wrote a different output file:\n" + exact.output;
    }
    if (CountLine(exact.out) != CountLine(walk.out)) {
      return "count lines differ: exact '" + CountLine(exact.out) + "', tolerance walk '" +
             CountLine(walk.out) + "'";
    }
    return "";
  }

  // Each written line through the checker, and the set of lines against the
  // enumerator's `expected`.
  static void CompareLines(const Case& c, const std::vector<Result>& lines,
                           const std::set<Result>& expected, std::ostringstream& problems) {
    const int graph = c.params.graphtype;
    std::set<Result> written;
    std::vector<std::string> extra;
    for (const Result& line : lines) {
      const std::string why = qbtest::CheckLine(c.rows, c.params, line);
      if (!why.empty()) problems << "bad line '" << qbtest::Describe(line) << "': " << why << "\n";
      const Result key = qbtest::Canonical(line, graph);
      if (!expected.count(key)) {
        extra.push_back(qbtest::Describe(line));
      } else if (!written.insert(key).second) {
        problems << "written more than once" << (graph == 1 ? " (as an unordered pair)" : "")
                 << ": '" << qbtest::Describe(line) << "'\n";
      }
    }
    std::vector<std::string> missing;
    for (const Result& key : expected) {
      if (written.count(key)) continue;
      missing.push_back(qbtest::Describe(key) + (graph == 1 ? "   (either orientation)" : ""));
    }
    if (!missing.empty()) problems << "missing " << missing.size() << " line(s):\n";
    for (const auto& s : missing) problems << "    " << s << "\n";
    if (!extra.empty()) problems << "extra " << extra.size() << " line(s):\n";
    for (const auto& s : extra) problems << "    " << s << "\n";
  }

  // Mines `c` with the tolerance walk and compares the output with the
  // enumerator and the checker, then with the exact search's output.
  Outcome RunCase(const Case& c) {
    Outcome outcome;
    const std::string dataset_text = qbtest::DatasetText(c.rows);
    dir_.Write("data.txt", dataset_text);
    const qbtest::RunResult walk = Mine(c.params);
    std::string exact_difference = CompareExactSearch(c.params, walk);
    if (compare_threads_) exact_difference += CompareThreadCounts(c.params);
    const std::set<Result> expected = qbtest::EnumerateMaximal(c.rows, c.params);
    outcome.expected = expected.size();

    std::ostringstream problems;
    if (walk.status != 0) {
      problems << "exit status " << walk.status << "\n  stdout: " << walk.out
               << "\n  stderr: " << walk.err << "\n";
    }
    if (!walk.outputexists) problems << "no output file written\n";
    std::vector<Result> lines;
    const std::string parse_error = qbtest::ParseOutput(walk.output, &lines);
    if (!parse_error.empty()) problems << "unreadable output: " << parse_error << "\n";
    outcome.lines_checked = lines.size();
    CompareLines(c, lines, expected, problems);
    if (!exact_difference.empty()) problems << exact_difference << "\n";

    const std::string found = problems.str();
    if (!found.empty()) {
      outcome.ok = false;
      std::ostringstream report;
      report << DescribeParams(c.params) << "\n"
             << "dataset (" << c.rows.size() << " lines, shown between the bars):\n|"
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
      for (size_t t = 0; t < c.rows.size() && c.rows.size() > 2; ++t) {
        Case smaller = c;
        smaller.rows.erase(smaller.rows.begin() + t);
        if (c.params.graphtype == 1) {
          const int gone = static_cast<int>(t);
          for (auto& row : smaller.rows) {
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
      if (c.params.graphtype == 0) {
        for (int id : qbtest::Universe(c.rows, 0)) {
          Case smaller = c;
          for (auto& row : smaller.rows) {
            row.erase(std::remove(row.begin(), row.end(), id), row.end());
          }
          if (runs < kMaxShrinkRuns && still_fails(smaller)) {
            c = smaller;
            progress = true;
          }
        }
      }
      // Single entries (edges, for graphs).
      for (size_t t = 0; t < c.rows.size(); ++t) {
        for (size_t k = 0; k < c.rows[t].size(); ++k) {
          const int id = c.rows[t][k];
          if (c.params.graphtype == 1 && id < static_cast<int>(t)) continue;
          Case smaller = c;
          auto& row = smaller.rows[t];
          row.erase(row.begin() + k);
          if (c.params.graphtype == 1) {
            auto& back = smaller.rows[id];
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

  // The --threads given to every run; none when negative.
  int threads_ = -1;
  // RunCase also mines on several threads and compares with one thread.
  bool compare_threads_ = false;

  qbtest::TempDir dir_;
  const std::string data_path_ = dir_.File("data.txt");
  const std::string out_path_ = dir_.File("out.txt");
};

TEST_F(OracleTest, BipartiteMatchesBruteForce) {
  RunSeries("bipartite", 20240601u, kCasesPerTest, [](std::mt19937& rng) {
    Case c;
    c.params = RandomParams(rng, 0, Tolerances::kAny);
    c.rows = RandomBipartite(rng, c.params);
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
      Parameters& p = c.params;
      p.transaction_supportLevel = p.item_supportLevel;
      const int tol = std::min(
          {p.transactionTolerance, p.itemTolerance, qbtest::MinTransactions(p) - 1});
      p.transactionTolerance = p.itemTolerance = tol;
    }
    c.rows = RandomGraph(rng, c.params);
    return c;
  });
}

TEST_F(OracleTest, UnequalTolerancesMatchBruteForce) {
  RunSeries("unequal tolerances", 20240603u, kCasesPerTest, [](std::mt19937& rng) {
    Case c;
    const int graph_type = Uniform(rng, 0, 1);
    c.params = RandomParams(rng, graph_type, Tolerances::kUnequal);
    c.rows = graph_type == 0 ? RandomBipartite(rng, c.params) : RandomGraph(rng, c.params);
    return c;
  });
}

// Cases of both graph types on one thread, against the enumerator, and on
// 2, 3 and 8 threads with both searches, against the run on one thread.
// Fewer cases than above: each costs eight runs.
TEST_F(OracleTest, ThreadCountsMatchOneThreadAndBruteForce) {
  threads_ = 1;
  compare_threads_ = true;
  RunSeries("thread counts", 20240604u, 40, [](std::mt19937& rng) {
    Case c;
    const int graph_type = Uniform(rng, 0, 1);
    c.params = RandomParams(rng, graph_type, Tolerances::kAny);
    c.rows = graph_type == 0 ? RandomBipartite(rng, c.params) : RandomGraph(rng, c.params);
    return c;
  });
}

// Datasets with thousands of results, too many for the enumerator: on any
// thread count the progress numbers, the count line and the output file are
// those of one thread.
TEST_F(OracleTest, ThreadCountsKeepProgressNumbers) {
  std::mt19937 rng(20240605u);
  for (int graph_type : {0, 1}) {
    Parameters p;
    p.item_supportLevel = 1;
    p.transaction_supportLevel = 2;
    p.graphtype = GraphType(graph_type);
    Rows rows;
    std::bernoulli_distribution has(0.5);
    if (graph_type == 0) {
      rows.assign(50, {});
      for (auto& row : rows) {
        for (int i = 0; i < 20; i++) {
          if (has(rng)) row.push_back(i);
        }
      }
    } else {
      rows.assign(36, {});
      for (int u = 0; u < 36; u++) {
        for (int v = u + 1; v < 36; v++) {
          if (has(rng)) rows[u].push_back(v), rows[v].push_back(u);
        }
      }
    }
    SCOPED_TRACE("graph type " + std::to_string(graph_type));
    dir_.Write("data.txt", qbtest::DatasetText(rows));
    threads_ = 1;
    const qbtest::RunResult one = Mine(p);
    ASSERT_EQ(one.status, 0) << one.err;
    // Beyond two thousand results: the numbers must show.
    ASSERT_EQ(ProgressNumbers(one.out).rfind("1001\t2001\t", 0), 0u) << one.out.substr(0, 200);
    EXPECT_EQ(CompareThreadCounts(p), "");
  }
}

// The enumerator itself, on cases small enough to work out by hand.
TEST(OracleSelfTest, EnumeratorOnHandCheckedCases) {
  // Transactions {0 1 2}, {0 1}, {0 2}; no tolerance, supports 1 and 2: the
  // maximal exact bicliques are ({0,1,2}, {0}), ({0,1}, {0,1}), ({0,2}, {0,2}).
  const Rows rows = {{0, 1, 2}, {0, 1}, {0, 2}};
  Parameters p;
  p.item_supportLevel = 1;
  p.transaction_supportLevel = 2;
  const std::set<Result> want_exact = {{{0, 1, 2}, {0}}, {{0, 1}, {0, 1}}, {{0, 2}, {0, 2}}};
  EXPECT_EQ(qbtest::EnumerateMaximal(rows, p), want_exact);

  // With each item allowed to miss one transaction and each transaction to lack
  // one item (item_supportLevel 2 keeps transactionTolerance below it), all
  // three transactions with all three items: transaction 1 lacks item 2,
  // transaction 2 lacks item 1, each item misses at most one.
  p.item_supportLevel = 2;
  p.itemTolerance = 1;
  p.transactionTolerance = 1;
  const std::set<Result> want_loose = {{{0, 1, 2}, {0, 1, 2}}};
  EXPECT_EQ(qbtest::EnumerateMaximal(rows, p), want_loose);

  // Sparse item ids come back as themselves.
  const Rows sparse = {{7, 40}, {7, 40}, {7}};
  p = Parameters{};
  p.item_supportLevel = 1;
  p.transaction_supportLevel = 2;
  const std::set<Result> want_sparse = {{{0, 1, 2}, {7}}, {{0, 1}, {7, 40}}};
  EXPECT_EQ(qbtest::EnumerateMaximal(sparse, p), want_sparse);

  // A path 0-1-2-3 as an undirected graph, exact, supports 1 and 2: the
  // unordered pairs are {{0,2},{1}} and {{1,3},{2}}.
  const Rows path = {{1}, {0, 2}, {1, 3}, {2}};
  p.graphtype = kUndirected;
  const std::set<Result> want_pairs = {qbtest::Canonical({{0, 2}, {1}}, 1),
                                       qbtest::Canonical({{1, 3}, {2}}, 1)};
  EXPECT_EQ(qbtest::EnumerateMaximal(path, p), want_pairs);
}

// The checker on lines that are right, not maximal, not quasi-bicliques and
// badly ordered, and the parser on malformed output.
TEST(OracleSelfTest, LineCheckerRejectsBadLines) {
  const Rows rows = {{0, 1, 2}, {0, 1}, {0, 2}};
  Parameters p;
  p.item_supportLevel = 1;
  p.transaction_supportLevel = 2;
  std::vector<Result> lines;
  ASSERT_EQ(qbtest::ParseOutput("0 1 ;0 1 \n0 1 ;0 \n0 1 ;0 1 2 \n1 0 ;0 \n2 ;0 \n", &lines), "");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(qbtest::CheckLine(rows, p, lines[0]), "");
  EXPECT_NE(qbtest::CheckLine(rows, p, lines[1]), "");  // item 1 can be added
  EXPECT_NE(qbtest::CheckLine(rows, p, lines[2]), "");  // transaction 1 lacks item 2
  EXPECT_NE(qbtest::CheckLine(rows, p, lines[3]), "");  // not ascending
  EXPECT_NE(qbtest::CheckLine(rows, p, lines[4]), "");  // one transaction only

  // Graph type 1: right as the mirror of the line that is written, and wrong
  // with a vertex on both sides.
  const Rows path = {{1}, {0, 2}, {1, 3}, {2}};
  p.graphtype = kUndirected;
  EXPECT_EQ(qbtest::CheckLine(path, p, {{1}, {0, 2}}), "");
  EXPECT_NE(qbtest::CheckLine(path, p, {{0, 2}, {1, 2}}), "");

  std::set<Result> found;
  EXPECT_NE(qbtest::CheckOutput(path, p, "0 2 ;1 \n1 ;0 2 \n", &found), "");  // a pair twice
  EXPECT_NE(qbtest::ParseOutput("0 1;0 \n", &lines), "");
  EXPECT_NE(qbtest::ParseOutput("0 1 ;0 ", &lines), "");
  EXPECT_NE(qbtest::ParseOutput("0 1 0 \n", &lines), "");
  EXPECT_NE(qbtest::ParseOutput("0 1 ;0 ;1 \n", &lines), "");
}

}  // namespace

// The command line's conventions and bounded runs, through the built
// program: help and version, unknown and repeated options, warnings for
// number arguments that hold more than a number, "-" for standard input and
// output, --count-only, --max-results and --time-limit with their exit
// status, and --progress.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using qbtest::RunResult;
using Args = std::vector<std::string>;

const std::string kProgram = QB_BINARY;
const std::string kCountLine = "Total number of quasi-bicliques:";
constexpr int kStoppedStatus = 6;

std::string ReadExample() {
  return qbtest::ReadFile(
      (std::filesystem::path(QB_TEST_DATA) / ".." / ".." / "examples" / "tiny.dat")
          .lexically_normal());
}

class CommandLineTest : public ::testing::Test {
 protected:
  // Runs the program on `dataset` text with `leading` options and the five
  // numbers; the output file is out.txt unless `output` says otherwise.
  RunResult Run(const Args& leading, const std::string& dataset, const Args& numbers,
                const std::string& output = "out.txt") {
    Args all = leading;
    all.push_back(dir_.Write("d.dat", dataset));
    all.insert(all.end(), numbers.begin(), numbers.end());
    const std::string path = output.empty() ? "" : dir_.File(output);
    if (!output.empty()) all.push_back(path);
    std::remove(path.c_str());
    return qbtest::RunProgram(kProgram, all, dir_, path);
  }

  qbtest::TempDir dir_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The count the program printed, or -1.
long long CountOf(const RunResult& run) {
  const size_t at = run.out.find(kCountLine);
  return at == std::string::npos ? -1 : std::stoll(run.out.substr(at + kCountLine.size()));
}

TEST_F(CommandLineTest, HelpAndVersionGoToStandardOutput) {
  for (const char* asked : {"--help", "-h"}) {
    SCOPED_TRACE(asked);
    const RunResult run = qbtest::RunProgram(kProgram, {asked}, dir_);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    // Every option and argument is named.
    for (const char* name : {"--format=", "--search=", "--threads=", "--memory-limit=",
                             "--count-only", "--max-results=", "--time-limit=", "--progress",
                             "--version", "item_supportLevel", "transaction_supportLevel",
                             "graphType", "outputFile", "Example"}) {
      EXPECT_NE(run.out.find(name), std::string::npos) << name;
    }
  }
  const RunResult version = qbtest::RunProgram(kProgram, {"--version"}, dir_);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("quasibiclique ", 0), 0u) << version.out;
  EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1);
  // No arguments at all keep the usage text on standard error and status 1.
  const RunResult none = qbtest::RunProgram(kProgram, {}, dir_);
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err.rfind("Usage: dataset\n", 0), 0u);
}

TEST_F(CommandLineTest, UnknownRepeatedAndBadlyValuedOptionsAreRefused) {
  const std::string tiny = ReadExample();
  const Args numbers = {"3", "1", "1", "3", "0"};
  const struct {
    Args leading;
    std::string message;
  } cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--threads"}, "unknown option '--threads'"},
      {{"--count-only=yes"}, "unknown option '--count-only=yes'"},
      {{"--search=exact", "--search=exact"}, "option '--search=exact' is given twice"},
      {{"--max-results=0"}, "--max-results '0' must be a whole number of at least 1"},
      {{"--max-results=2.5"}, "--max-results '2.5' must be a whole number of at least 1"},
      {{"--max-results="}, "--max-results '' must be a whole number of at least 1"},
      {{"--time-limit=0"}, "--time-limit '0' must be a time above 0, such as 30, 2.5, 10m or 2h"},
      {{"--time-limit=-1"}, "--time-limit '-1' must be a time above 0, such as 30, 2.5, 10m or 2h"},
      {{"--time-limit=5x"}, "--time-limit '5x' must be a time above 0, such as 30, 2.5, 10m or 2h"},
      {{"--time-limit=nan"}, "--time-limit 'nan' must be a time above 0, such as 30, 2.5, 10m or 2h"},
      {{"--time-limit=inf"}, "--time-limit 'inf' must be a time above 0, such as 30, 2.5, 10m or 2h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    dir_.Write("out.txt", "earlier\n");
    Args all = c.leading;
    all.push_back(dir_.Write("d.dat", tiny));
    all.insert(all.end(), numbers.begin(), numbers.end());
    all.push_back(dir_.File("out.txt"));
    const RunResult run = qbtest::RunProgram(kProgram, all, dir_, dir_.File("out.txt"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("quasibiclique: error: " + c.message + "\nUsage: dataset\n", 0), 0u)
        << run.err;
    EXPECT_EQ(run.output, "earlier\n");
  }
  // "--" ends the options: what follows is the dataset even when it looks
  // like one.
  const RunResult ended = qbtest::RunProgram(
      kProgram, {"--", "--no-such-file", "3", "1", "1", "3", "0", dir_.File("o")}, dir_);
  EXPECT_EQ(ended.status, 2);
  EXPECT_EQ(ended.err, "--no-such-file could not be opened!\n");
}

TEST_F(CommandLineTest, NumberArgumentsWithMoreThanANumberWarn) {
  const std::string tiny = ReadExample();
  const RunResult plain = Run({}, tiny, {"3", "1", "1", "3", "0"});
  ASSERT_EQ(plain.status, 0);
  ASSERT_EQ(plain.err, "");
  const RunResult written = Run({}, tiny, {"3.5", "1e3", "1", "3", "0x"});
  EXPECT_EQ(written.status, 0);
  EXPECT_EQ(written.err,
            "quasibiclique: warning: item_supportLevel '3.5' was read as 3\n"
            "quasibiclique: warning: itemTolerance '1e3' was read as 1\n"
            "quasibiclique: warning: graphType '0x' was read as 0\n");
  EXPECT_EQ(written.output, plain.output);
  // Leading blanks and a sign are part of a number; text without digits is 0.
  const RunResult signs = Run({}, tiny, {" +3", "1", "abc", "3", "0"});
  EXPECT_EQ(signs.err, "quasibiclique: warning: transactionTolerance 'abc' was read as 0\n");
}

TEST_F(CommandLineTest, DashIsStandardInputAndOutput) {
  const std::string tiny = ReadExample();
  const RunResult file = Run({}, tiny, {"3", "1", "1", "3", "0"});
  ASSERT_EQ(file.status, 0);
  const std::string input = dir_.Write("in.dat", tiny);
  const auto fromfile = [&] {
    const int fd = open(input.c_str(), O_RDONLY);
    dup2(fd, 0);
  };
  // Standard input as the dataset.
  const std::string out = dir_.File("stdin.out");
  RunResult run = qbtest::FinishProgram(
      qbtest::StartProgram(kProgram, {"-", "3", "1", "1", "3", "0", out}, dir_, fromfile), dir_,
      out);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.output, file.output);
  EXPECT_EQ(run.out.substr(0, run.out.find("Time taken")), kCountLine + "12\n");
  // Standard output as the output file: only the results go there; the
  // count and the time go to standard error.
  run = qbtest::FinishProgram(
      qbtest::StartProgram(kProgram, {"-", "3", "1", "1", "3", "0", "-"}, dir_, fromfile), dir_);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, file.output);
  EXPECT_EQ(run.err.rfind(kCountLine + "12\nTime taken", 0), 0u) << run.err;
  // A refused dataset on standard input is named so.
  const std::string bad = dir_.Write("bad.dat", "0 1\n99999999999\n");
  run = qbtest::FinishProgram(qbtest::StartProgram(kProgram, {"-", "1", "0", "0", "2", "0", out},
                                                   dir_,
                                                   [&] {
                                                     const int fd = open(bad.c_str(), O_RDONLY);
                                                     dup2(fd, 0);
                                                   }),
                              dir_);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err.rfind("quasibiclique: error: standard input:2: number too large", 0), 0u)
      << run.err;
}

// Random datasets small enough to mine whole in a moment; each has results.
std::string RandomDataset(std::mt19937& rng, bool undirected) {
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int n = uniform(6, 16), m = undirected ? n : uniform(4, 12);
  std::vector<std::set<int>> rows(n);
  for (int t = 0; t < n; t++) {
    for (int x = undirected ? t + 1 : 0; x < m; x++) {
      if (uniform(0, 99) >= 60) continue;
      rows[t].insert(x);
      if (undirected) rows[x].insert(t);
    }
  }
  std::string text;
  for (const auto& row : rows) {
    for (int x : row) text += std::to_string(x) + " ";
    text += "\n";
  }
  return text;
}

// --count-only counts what the full run writes, with the same standard
// output, and writes no file; the output argument may be left out.
TEST_F(CommandLineTest, CountOnlyCountsWhatTheRunWrites) {
  std::mt19937 rng(20261208);
  const std::vector<Args> settings = {{"2", "0", "0", "2"}, {"2", "1", "1", "2"},
                                      {"3", "1", "1", "3"}, {"3", "2", "1", "2"}};
  for (int graph = 0; graph <= 1; graph++) {
    for (const Args& setting : settings) {
      for (const char* search : {"--search=auto", "--search=tolerance"}) {
        for (const char* threads : {"--threads=1", "--threads=2"}) {
          const std::string dataset = RandomDataset(rng, graph == 1);
          Args numbers = setting;
          numbers.push_back(std::to_string(graph));
          SCOPED_TRACE(dataset + " at " + numbers[0] + numbers[1] + numbers[2] + numbers[3] +
                       numbers[4] + " " + search + " " + threads);
          const RunResult full = Run({search, threads}, dataset, numbers);
          ASSERT_EQ(full.status, 0) << full.err;
          const RunResult counted = Run({"--count-only", search, threads}, dataset, numbers);
          EXPECT_EQ(counted.status, 0) << counted.err;
          EXPECT_EQ(CountOf(counted), (long long)Lines(full.output).size());
          EXPECT_EQ(counted.out.substr(0, counted.out.find("Time taken")),
                    full.out.substr(0, full.out.find("Time taken")));
          EXPECT_FALSE(counted.outputexists);
          const RunResult nooutput = Run({"--count-only", search, threads}, dataset, numbers, "");
          EXPECT_EQ(CountOf(nooutput), CountOf(counted)) << nooutput.err;
        }
      }
    }
  }
}

// "T ;I " as "I ;T ".
std::string Mirror(const std::string& line) {
  const size_t semicolon = line.find(';');
  return line.substr(semicolon + 1) + ";" + line.substr(0, semicolon);
}

// --max-results=N writes at most N results, each one the full run writes
// (the exact search's), in the full run's order, and ends with status 6
// and a line on standard error when it stopped before the end.
TEST_F(CommandLineTest, MaxResultsWritesAFirstPartInOrder) {
  std::mt19937 rng(8122026);
  for (int graph = 0; graph <= 1; graph++) {
    for (const Args& setting : {Args{"2", "0", "0", "2"}, Args{"2", "1", "1", "2"}}) {
      for (const char* threads : {"--threads=1", "--threads=2"}) {
        const std::string dataset = RandomDataset(rng, graph == 1);
        Args numbers = setting;
        numbers.push_back(std::to_string(graph));
        const RunResult full = Run({threads}, dataset, numbers);
        ASSERT_EQ(full.status, 0);
        const std::vector<std::string> all = Lines(full.output);
        for (size_t limit : {size_t{1}, all.size() / 2 + 1, all.size() + 1}) {
          SCOPED_TRACE(dataset + " " + threads + " at most " + std::to_string(limit) + " of " +
                       std::to_string(all.size()));
          const RunResult bounded =
              Run({threads, "--max-results=" + std::to_string(limit)}, dataset, numbers);
          const std::vector<std::string> some = Lines(bounded.output);
          EXPECT_EQ(some.size(), std::min(limit, all.size()));
          EXPECT_EQ(CountOf(bounded), (long long)some.size());
          // A subsequence of the full output: the same order. For graph
          // type 1 a pair whose mirror the full run writes may come as found
          // when the run stopped before meeting that mirror.
          size_t at = 0;
          for (const std::string& line : some) {
            if (graph == 1 && std::find(all.begin(), all.end(), line) == all.end()) {
              EXPECT_NE(std::find(all.begin(), all.end(), Mirror(line)), all.end()) << line;
              continue;
            }
            while (at < all.size() && all[at] != line) at++;
            EXPECT_LT(at, all.size()) << line << " is not where the full run has it";
          }
          if (limit < all.size()) {
            EXPECT_EQ(bounded.status, kStoppedStatus);
            EXPECT_EQ(bounded.err,
                      "quasibiclique: stopped early: the search reached its result limit (" +
                          std::to_string(limit) +
                          " results); the output file holds the results found until then\n");
          } else if (limit > all.size()) {
            EXPECT_EQ(bounded.status, 0);
            EXPECT_EQ(bounded.output, full.output);
          }
        }
      }
    }
  }
}

// The tolerance walk hands its pairs on in one order whatever the threads:
// a bounded walk writes the same file on one thread and on three.
TEST_F(CommandLineTest, BoundedWalkIsTheSameOnAnyThreads) {
  std::mt19937 rng(42);
  for (int round = 0; round < 6; round++) {
    const std::string dataset = RandomDataset(rng, false);
    const Args numbers = {"2", "1", "1", "2", "0"};
    const RunResult one = Run({"--search=tolerance", "--max-results=4", "--threads=1"}, dataset,
                              numbers);
    const RunResult three = Run({"--search=tolerance", "--max-results=4", "--threads=3"}, dataset,
                                numbers);
    EXPECT_EQ(one.status, three.status);
    EXPECT_EQ(one.output, three.output);
    EXPECT_LE(Lines(one.output).size(), 4u);
  }
}

// A time limit stops a run that would take far longer, writes what it
// found (each line a result of the full run) and says why.
TEST_F(CommandLineTest, TimeLimitStopsALongRun) {
  // A dense random 0/1 table at a setting whose search runs for minutes.
  std::mt19937 rng(7);
  std::string dataset;
  for (int t = 0; t < 120; t++) {
    for (int x = 0; x < 60; x++) {
      if (std::uniform_int_distribution<int>(0, 99)(rng) < 70) dataset += std::to_string(x) + " ";
    }
    dataset += "\n";
  }
  for (const char* search : {"--search=exact", "--search=tolerance"}) {
    SCOPED_TRACE(search);
    const RunResult run = Run({search, "--time-limit=0.3"}, dataset, {"3", "1", "1", "3", "0"});
    EXPECT_EQ(run.status, kStoppedStatus) << run.err;
    EXPECT_EQ(run.err,
              "quasibiclique: stopped early: the search reached its time limit (0.3 s); the "
              "output file holds the results found until then\n");
    EXPECT_TRUE(run.outputexists);
    EXPECT_EQ(CountOf(run), (long long)Lines(run.output).size());
  }
}

// --progress writes progress lines on standard error (one a second when it
// is not a terminal) and leaves standard output and the file as they were.
TEST_F(CommandLineTest, ProgressGoesToStandardError) {
  const std::string tiny = ReadExample();
  const RunResult plain = Run({}, tiny, {"3", "1", "1", "3", "0"});
  const RunResult watched = Run({"--progress"}, tiny, {"3", "1", "1", "3", "0"});
  EXPECT_EQ(watched.status, 0);
  EXPECT_EQ(watched.output, plain.output);
  EXPECT_EQ(watched.out.substr(0, watched.out.find("Time taken")),
            plain.out.substr(0, plain.out.find("Time taken")));
  // The last line: every result and every part.
  EXPECT_TRUE(std::regex_search(
      watched.err, std::regex("quasibiclique: 12 results, parts ([0-9]+) of \\1 done, [0-9.]+ s, "
                              "[0-9]+ results/s\n$")))
      << watched.err;
  // A setting whose results need not be connected gets a note.
  const RunResult loose = Run({"--progress"}, tiny, {"2", "1", "1", "2", "0"});
  EXPECT_NE(loose.err.find("quasibiclique: note: at these settings a result need not be connected"),
            std::string::npos)
      << loose.err;
  EXPECT_EQ(watched.err.find("note:"), std::string::npos);
}

// The labelled examples hold examples/tiny.dat with names: customerK for
// transaction K and the item names below for items 0 to 5. Read in their
// formats they give the numeric file's results, written in those names.
TEST_F(CommandLineTest, LabelledExamplesGiveTheNumericResultsInLabels) {
  const std::filesystem::path examples =
      (std::filesystem::path(QB_TEST_DATA) / ".." / ".." / "examples").lexically_normal();
  const std::vector<std::string> names = {"milk", "bread", "eggs", "butter", "jam", "tea"};
  const RunResult numeric = Run({}, ReadExample(), {"3", "1", "1", "3", "0"});
  ASSERT_EQ(numeric.status, 0);
  // A label back to its number: "customer4" -> "4", "eggs" -> "2".
  const auto number = [&](const std::string& label) {
    if (label.rfind("customer", 0) == 0) return label.substr(8);
    const auto at = std::find(names.begin(), names.end(), label);
    return at == names.end() ? label : std::to_string(at - names.begin());
  };
  for (const char* format : {"edges", "baskets", "mtx"}) {
    SCOPED_TRACE(format);
    const std::string out = dir_.File(std::string(format) + ".out");
    const RunResult run = qbtest::RunProgram(
        kProgram,
        {std::string("--format=") + format, (examples / (std::string("tiny.") + format)).string(),
         "3", "1", "1", "3", "0", out},
        dir_, out);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::set<std::string> mapped, expected;
    for (const std::string& line : Lines(run.output)) {
      // Each side as a sorted set of numbers (mtx numbers from 1).
      std::string text;
      std::istringstream words(line);
      std::vector<int> side;
      for (std::string word; words >> word;) {
        const bool semicolon = word[0] == ';';
        if (semicolon) {
          std::sort(side.begin(), side.end());
          for (int id : side) text += std::to_string(id) + " ";
          text += ";";
          side.clear();
          word = word.substr(1);
        }
        const int id = std::stoi(number(word));
        side.push_back(std::string(format) == "mtx" ? id - 1 : id);
      }
      std::sort(side.begin(), side.end());
      for (int id : side) text += std::to_string(id) + " ";
      mapped.insert(text);
    }
    for (const std::string& line : Lines(numeric.output)) expected.insert(line);
    EXPECT_EQ(mapped, expected);
  }
}

}  // namespace

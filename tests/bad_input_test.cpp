// The built program on hostile input: unusable datasets, refused arguments,
// output files that cannot be written, and memory running out. Each case
// checks the exit status, the exact message and what happened to the output
// file (never created or touched when the run is refused).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using qbtest::RunResult;
using Args = std::vector<std::string>;  // item_supportLevel .. graphType

const std::string kProgram = QB_BINARY;
const std::string kError = "quasibiclique: error: ";
const std::string kCountLine = "Total number of quasi-bicliques:";

std::string Repeat(const std::string& piece, int times) {
  std::string text;
  for (int k = 0; k < times; k++) text += piece;
  return text;
}

class BadInputTest : public ::testing::Test {
 protected:
  RunResult Run(const std::string& dataset, const Args& args, const std::string& output) {
    Args all = {dataset};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back(output);
    return qbtest::RunProgram(kProgram, all, dir_, output);
  }

  // A refused run must leave the output file alone: absent stays absent, an
  // existing file keeps its content. Both are tried.
  void ExpectRefused(const std::string& dataset, const Args& args, int status,
                     const std::string& err) {
    const std::string output = dir_.File("refused.out");
    for (bool existed : {false, true}) {
      SCOPED_TRACE(existed ? "output file existed" : "no output file before");
      std::remove(output.c_str());
      if (existed) dir_.Write("refused.out", "earlier result\n");
      RunResult run = Run(dataset, args, output);
      EXPECT_EQ(run.status, status);
      EXPECT_EQ(run.err, err);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.outputexists, existed);
      if (existed) {
        EXPECT_EQ(run.output, "earlier result\n");
      }
    }
  }

  // A successful run; returns the output file.
  std::string Mine(const std::string& text, const Args& args) {
    const std::string output = dir_.File("ok.out");
    RunResult run = Run(dir_.Write("ok.dat", text), args, output);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.outputexists);
    const auto lines = std::count(run.output.begin(), run.output.end(), '\n');
    EXPECT_NE(run.out.find(kCountLine + std::to_string(lines) + "\n"), std::string::npos)
        << run.out;
    return run.output;
  }

  std::string Usage() {
    RunResult run = qbtest::RunProgram(kProgram, {"only", "two"}, dir_);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("Usage: dataset\n", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 9);
    return run.err;
  }

  qbtest::TempDir dir_;
};

TEST_F(BadInputTest, RefusedDatasetsNameFileAndLine) {
  struct Case {
    const char* name;
    std::string text;
    int graph;
    std::string message;  // after "<path>:"
  };
  const Case cases[] = {
      {"beyond the int range", "1 2\n3 2147483647 4\n", 0,
       "2: number too large (the largest allowed is 2147483646)"},
      {"far beyond the int range", "1 4294967296\n", 1,
       "1: number too large (the largest allowed is 2147483646)"},
      {"100,000 digits", "5\n\n" + Repeat("7", 100000) + "\n", 0,
       "3: number too large (the largest allowed is 2147483646)"},
      {"vertex id out of range", "1\n0 2", 1,
       "2: vertex id 2 is not below the number of lines (2)"},
      {"asymmetric adjacency", "1 2\n0\n\n", 1, "1: vertex 0 lists 2 but vertex 2 does not list 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.Write("bad.dat", c.text);
    ExpectRefused(path, {"1", "0", "0", "0", std::to_string(c.graph)}, 2,
                  kError + path + ":" + c.message + "\n");
  }
}

TEST_F(BadInputTest, DatasetsThatCannotBeRead) {
  const Args args = {"1", "0", "0", "0", "0"};
  const std::string missing = dir_.File("missing.dat");
  ExpectRefused(missing, args, 2, missing + " could not be opened!\n");
  ExpectRefused(dir_.path(), args, 2,
                kError + dir_.path() + ":1: cannot read the dataset: Is a directory\n");
}

TEST_F(BadInputTest, UnreadableDataset) {
  const std::string path = dir_.Write("locked.dat", "0 1\n0 1\n");
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  if (access(path.c_str(), R_OK) == 0) GTEST_SKIP() << "this user reads files of mode 000";
  ExpectRefused(path, {"1", "0", "0", "0", "0"}, 2, path + " could not be opened!\n");
}

TEST_F(BadInputTest, RefusedArgumentsPrintOneLineAndUsage) {
  const std::string usage = Usage();
  const std::string dataset = dir_.Write("ok.dat", "0 1\n0 1\n");
  const struct {
    Args args;
    const char* message;
  } cases[] = {
      {{"abc", "0", "0", "0", "0"}, "item_supportLevel 'abc' must be at least 1"},
      {{"0", "0", "0", "0", "0"}, "item_supportLevel '0' must be at least 1"},
      {{"99999999999", "0", "0", "0", "0"}, "item_supportLevel '99999999999' is out of range"},
      {{"1", "-1", "0", "0", "0"}, "itemTolerance '-1' must be at least 0"},
      {{"1", "0", "-3", "0", "0"}, "transactionTolerance '-3' must be at least 0"},
      {{"1", "0", "0", "-5", "0"}, "transaction_supportLevel '-5' must be at least 0"},
      {{"1", "0", "0", "0", "2"}, "graphType '2' must be 0 or 1"},
      {{"1", "0", "0", "0", "-1"}, "graphType '-1' must be 0 or 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ExpectRefused(dataset, c.args, 1, kError + c.message + "\n" + usage);
  }
  // Too few arguments: the usage text alone, and nothing is opened.
  RunResult run = qbtest::RunProgram(kProgram, {dataset, "1", "0", "0", "0", "0"}, dir_);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, usage);
}

TEST_F(BadInputTest, DegenerateDatasetsGiveNoResults) {
  std::string garbage;
  for (int byte = 0; byte < 256; byte++) {
    if (byte < '0' || byte > '9') garbage += char(byte);
  }
  const struct {
    const char* name;
    std::string text;
  } cases[] = {{"empty file", ""},
               {"only line ends", "\n\n\r\n\n"},
               {"binary garbage", garbage + garbage}};
  for (const auto& c : cases) {
    for (const char* graph : {"0", "1"}) {
      SCOPED_TRACE(std::string(c.name) + ", graph type " + graph);
      EXPECT_EQ(Mine(c.text, {"1", "0", "0", "0", graph}), "");
    }
  }
}

TEST_F(BadInputTest, LongLinesAndFrequentItems) {
  // 100,000 numbers on one line, and 100,000 repeats of one number.
  std::string wide;
  for (int k = 0; k < 100000; k++) wide += std::to_string(k) + " ";
  EXPECT_EQ(Mine(wide + "\n" + Repeat("5 ", 100000) + "99999", {"1", "0", "0", "2", "0"}),
            "0 1 ;5 99999 \n");
  // Item 3 in 20,000 transactions, each with an item of its own.
  std::string tall, tids;
  for (int t = 0; t < 20000; t++) {
    tall += "3 " + std::to_string(t + 10) + "\n";
    tids += std::to_string(t) + " ";
  }
  tall.pop_back();
  EXPECT_EQ(Mine(tall, {"1", "0", "0", "2", "0"}), tids + ";3 \n");
}

TEST_F(BadInputTest, SpellingsOfTheSameDataset) {
  const std::string tiny = qbtest::ReadFile(
      (std::filesystem::path(QB_TEST_DATA) / ".." / ".." / "examples" / "tiny.dat")
          .lexically_normal());
  ASSERT_FALSE(tiny.empty());
  const Args args = {"3", "1", "1", "3", "0"};
  const std::string plain = Mine(tiny, args);
  ASSERT_NE(plain, "");
  std::string crlf, marked;
  for (char c : tiny) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    marked += c == '\n' ? std::string(" -1\n") : std::string(1, c);
  }
  EXPECT_EQ(Mine(crlf, args), plain) << "CRLF line ends";
  EXPECT_EQ(Mine(marked + " -1", args), plain) << "'-1' before line ends and at the end";
  EXPECT_EQ(Mine(marked + " -", args), plain) << "a lone '-' at the end";

  // Graph type 1: self loops are dropped.
  const std::string graph = "1 2 3\n0 2\n0 1 3\n0 2\n\n";
  const std::string looped = "0 1 2 3\n0 1 2 1\n2 0 1 3\n3 0 2 3\n4\n";
  const Args undirected = {"1", "0", "0", "2", "1"};
  const std::string expected = Mine(graph, undirected);
  ASSERT_NE(expected, "");
  EXPECT_EQ(Mine(looped, undirected), expected);
}

TEST_F(BadInputTest, OutputThatCannotBeWritten) {
  const std::string dataset = dir_.Write("ok.dat", "0 1 2\n0 1 2\n1 2\n");
  const struct {
    std::string path;
    std::string err;  // expected start of standard error
  } cases[] = {
      {dir_.File("missing/dir/out.txt"),
       kError + "cannot create output file " + dir_.File("missing/dir/out.txt") +
           ": No such file or directory\n"},
      {"/sys/qbtest.out", kError + "cannot create output file /sys/qbtest.out: "},
      {"/proc/version", kError + "cannot "},  // create or write, as the system allows
      {"/dev/full", kError + "cannot write output file /dev/full: No space left on device\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    // Not read back afterwards: /dev/full would never end.
    RunResult run = qbtest::RunProgram(kProgram, {dataset, "1", "0", "0", "0", "0", c.path}, dir_);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.path + ": "), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out.find(kCountLine), std::string::npos) << run.out;
  }
  EXPECT_FALSE(qbtest::FileExists(dir_.File("missing")));
}

#if defined(__SANITIZE_ADDRESS__)
#define QB_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QB_SANITIZED 1
#endif
#endif

// The run must end with status 4, "error" on standard output and a message,
// not with a signal, when the address space is limited to 200 MB.
TEST_F(BadInputTest, MemoryRunsOut) {
#ifdef QB_SANITIZED
  GTEST_SKIP() << "a sanitized build cannot start under an address-space limit";
#endif
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      // The id maps alone need several GB.
      {"huge item id", "0 500000000\n0 500000000\n"},
      // A line of 20 million numbers needs a record page of that size.
      {"very long line", Repeat("0 ", 20000000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dataset = dir_.Write("big.dat", c.text);
    const std::string output = dir_.File("big.out");
    // The shell sets RLIMIT_AS in the child and then becomes the program.
    RunResult run = qbtest::RunProgram(
        "/bin/sh",
        {"-c", "ulimit -v 204800 && exec \"$0\" \"$@\"", kProgram, dataset, "1", "0", "0", "0",
         "0", output},
        dir_, output);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_EQ(run.out, "error");
    EXPECT_NE(run.err.find(kError + "out of memory: "), std::string::npos) << run.err;
    EXPECT_FALSE(run.outputexists);
  }
}

}  // namespace

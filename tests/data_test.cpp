// The dataset reader (line counting, number parsing, gzip inflation) and the command line of
// the built program: usage, argument checks, dataset and output-file errors,
// and the standard output of a normal run.
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "data.h"
#include "gzip_util.h"
#include "test_util.h"

namespace {

using namespace quasibiclique;

using qbtest::Gzip;
using qbtest::RunProgram;
using qbtest::RunResult;
using qbtest::TempDir;

struct ReaderCase {
  const char* name;
  std::string content;
  int lines;
  int itemsize;
  int longestline;
  std::vector<std::vector<int>> reads;  // what successive ReadLine calls give
};

TEST(DataReader, CountsLinesAndNumbersLikeReadLine) {
  const ReaderCase cases[] = {
      {"empty file", "", 0, 1, 0, {}},
      {"final line end", "1 2\n3 4\n", 3, 5, 2, {{1, 2}, {3, 4}, {}}},
      {"no final line end", "1 2\n3 4", 2, 5, 2, {{1, 2}, {3, 4}}},
      {"single number", "7", 1, 8, 1, {{7}}},
      {"only zeros", "0 0\n0", 2, 1, 2, {{0, 0}, {0}}},
      {"any separator", "5,6;7", 1, 8, 3, {{5, 6, 7}}},
      {"minus-one markers", "3 4 -1\n5 -1", 2, 6, 2, {{3, 4}, {5}}},
      {"minus ends a number", "12-1", 1, 13, 2, {{12, 1}}},
      {"minus skips a digit", "-12", 1, 3, 1, {{2}}},
      {"leading empty line", "\n1 2", 2, 3, 2, {{}, {1, 2}}},
      {"minus swallows a line end", "1 -\n2\n3", 2, 4, 2, {{1, 2}, {3}}},
      {"repeats counted as read", "4 4 4\n1\n", 3, 5, 3, {{4, 4, 4}, {1}, {}}},
      {"largest allowed number", "2147483646", 1, 2147483647, 1, {{2147483646}}},
  };
  TempDir dir;
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    Data data(dir.Write("d.txt", c.content).c_str());
    ASSERT_TRUE(data.Opened());
    ASSERT_TRUE(data.FindVertexNum("d.txt").ok());
    EXPECT_EQ(data.Lines(), c.lines);
    EXPECT_EQ(data.ItemSize(), c.itemsize);
    EXPECT_EQ(data.LongestLine(), c.longestline);
    // Back at the start, reading until end of file takes exactly `lines` calls.
    std::vector<std::vector<int>> reads;
    if (c.lines > 0) {
      std::vector<int> line = {99};  // ReadLine replaces what it is given
      while (!data.AtEnd()) {
        data.ReadLine(line);
        reads.push_back(line);
      }
    }
    EXPECT_EQ(reads, c.reads);
  }
}

TEST(DataReader, RefusesNumbersAboveTheLimit) {
  const std::pair<std::string, int> cases[] = {
      {"2147483647", 1},
      {"1 2\n3 2147483647 4\n5\n", 2},
      {"1\n\n99999999999999999999999999\n", 3},
  };
  TempDir dir;
  for (const auto& [content, line] : cases) {
    SCOPED_TRACE(content);
    Data data(dir.Write("d.txt", content).c_str());
    ASSERT_TRUE(data.Opened());
    const Status s = data.FindVertexNum("d.txt");
    EXPECT_EQ(s.message(), "d.txt:" + std::to_string(line) +
                               ": number too large (the largest allowed is 2147483646)");
    EXPECT_EQ(data.ErrorLine(), line);
  }
}

// A pipe cannot be read twice: the count and the lines come from one read.
TEST(DataReader, ReadsAPipeOnce) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string content = "4 5\n\n1 -1\n7 7 2";
  ASSERT_EQ(write(ends[1], content.data(), content.size()), ssize_t(content.size()));
  close(ends[1]);
  Data data(("/dev/fd/" + std::to_string(ends[0])).c_str());
  close(ends[0]);
  ASSERT_TRUE(data.Opened());
  ASSERT_TRUE(data.FindVertexNum("pipe").ok());
  EXPECT_EQ(data.Lines(), 4);
  EXPECT_EQ(data.ItemSize(), 8);
  EXPECT_EQ(data.LongestLine(), 3);
  std::vector<std::vector<int>> reads;
  std::vector<int> line;
  while (!data.AtEnd()) {
    data.ReadLine(line);
    reads.push_back(line);
  }
  EXPECT_EQ(reads, (std::vector<std::vector<int>>{{4, 5}, {}, {1}, {7, 7, 2}}));
}

TEST(DataReader, MissingFileAndDirectory) {
  TempDir dir;
  EXPECT_FALSE(Data(dir.File("absent").c_str()).Opened());
  Data directory(dir.path().c_str());
  if (directory.Opened()) {  // a directory opens on Linux but cannot be read
    const Status s = directory.FindVertexNum("dir");
    EXPECT_EQ(s.code(), Status::kCorruption);
    EXPECT_EQ(s.message(), "dir:1: cannot read the dataset: " + std::string(strerror(EISDIR)));
    EXPECT_EQ(directory.ErrorLine(), 1);
  }
}

// What FindVertexNum and the ReadLine calls after it make of a dataset.
struct Reading {
  int lines = -1, itemsize = -1, longestline = -1;
  std::vector<std::vector<int>> reads;
  std::string text;  // Text() once counted
  bool operator==(const Reading& o) const {
    return lines == o.lines && itemsize == o.itemsize && longestline == o.longestline &&
           reads == o.reads && text == o.text;
  }
};

Reading Read(Data& data) {
  Reading r;
  EXPECT_TRUE(data.FindVertexNum("d").ok());
  r.lines = data.Lines();
  r.itemsize = data.ItemSize();
  r.longestline = data.LongestLine();
  r.text.assign(data.Text().begin(), data.Text().end());
  std::vector<int> line;
  for (int k = 0; k < r.lines; k++) {
    data.ReadLine(line);
    r.reads.push_back(line);
  }
  return r;
}

// A gzip-compressed dataset, in one member or several concatenated, reads
// exactly as its plain text, from a file and from memory.
TEST(DataReader, InflatesGzipLikeThePlainText) {
  std::string large;  // inflates to many times the compressed size
  for (int k = 0; k < 200000; k++) large += std::to_string(k % 97) + " 5 6\n";
  struct Case {
    const char* name;
    std::vector<std::string> members;  // each compressed on its own
  };
  const Case cases[] = {
      {"one member", {"1 2\n3 4\n"}},
      {"members split inside a line", {"1 2\n3", "0 4\n5", " 6"}},
      {"empty member first", {"", "7 8"}},
      {"only an empty member", {""}},
      {"minus markers across members", {"1 -", "1\n2"}},
      {"larger than the first output buffer", {large, "\n9"}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string plain, compressed;
    for (const std::string& member : c.members) plain += member, compressed += Gzip(member);
    Data text(dir.Write("d.txt", plain).c_str());
    const Reading want = Read(text);
    Data file(dir.Write("d.gz", compressed).c_str());
    EXPECT_TRUE(Read(file) == want);
    Data memory(compressed.data(), compressed.size());
    EXPECT_TRUE(Read(memory) == want);
  }
}

TEST(DataReader, RefusesCorruptOrTruncatedGzip) {
  const std::string plain = "1 2\n3 4\n5 6";  // three lines
  const std::string gz = Gzip(plain);
  auto flip = [&](size_t at, char bits) {
    std::string bad = gz;
    bad[at] = char(bad[at] ^ bits);
    return bad;
  };
  std::string reserved = gz;  // the first block's type bits set to 11, which is reserved
  reserved[10] = char(reserved[10] | 0x06);
  struct Case {
    const char* name;
    std::string content;
    int line;  // the line of the inflated text reached
    std::string reason;
  };
  const std::string early = "the gzip data ends early (truncated)";
  const Case cases[] = {
      {"only the magic bytes", gz.substr(0, 2), 1, early},
      {"cut inside the header", gz.substr(0, 7), 1, early},
      {"trailer missing", gz.substr(0, gz.size() - 8), 3, early},
      {"second member cut", gz + gz.substr(0, 12), 3, early},
      {"invalid block type", reserved, 1,
       "the gzip data is corrupt: invalid block type"},
      {"wrong check value", flip(gz.size() - 8, 1), 3,
       "the gzip data is corrupt: incorrect data check"},
      {"wrong length", flip(gz.size() - 4, 1), 3,
       "the gzip data is corrupt: incorrect length check"},
      {"junk after the member", gz + "1 2\n", 3,
       "bytes after the gzip data are not a gzip member"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Data data(dir.Write("d.gz", c.content).c_str());
    const std::string message =
        "d.gz:" + std::to_string(c.line) + ": cannot read the dataset: " + c.reason;
    EXPECT_EQ(data.FindVertexNum("d.gz").message(), message);
    EXPECT_EQ(data.ErrorLine(), c.line);
    EXPECT_EQ(data.ReadText("d.gz").message(), message);  // the first outcome again
  }
}

// ReadText reads a pipe once; Text() is the inflated text; a replaced text
// is what FindVertexNum then counts.
TEST(DataReader, ReadsTextOnceAndCountsAReplacement) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string content = Gzip("4 5\n6");
  ASSERT_EQ(write(ends[1], content.data(), content.size()), ssize_t(content.size()));
  close(ends[1]);
  Data data(("/dev/fd/" + std::to_string(ends[0])).c_str());
  close(ends[0]);
  ASSERT_TRUE(data.ReadText("pipe").ok());
  EXPECT_EQ(std::string(data.Text().begin(), data.Text().end()), "4 5\n6");
  ASSERT_TRUE(data.ReadText("pipe").ok());
  ASSERT_TRUE(data.FindVertexNum("pipe").ok());
  EXPECT_EQ(data.Lines(), 2);
  EXPECT_EQ(data.ItemSize(), 7);

  const std::string replacement = "1\n\n9 3 2";
  data.ReplaceText(std::vector<char>(replacement.begin(), replacement.end()));
  ASSERT_TRUE(data.FindVertexNum("pipe").ok());
  EXPECT_EQ(data.Lines(), 3);
  EXPECT_EQ(data.ItemSize(), 10);
  EXPECT_EQ(data.LongestLine(), 3);
}

// ---------------------------------------------------------------------------
// Command line of the built program
// ---------------------------------------------------------------------------

const char kUsage[] =
    "Usage: dataset\n"
    "item_supportLevel\n"
    "itemTolerance\n"
    "transactionTolerance\n"
    "transaction_supportLevel\n"
    "graphType\n"
    "outputFile\n"
    "Type of graph:0 for bipartite graph,1 for undirected graph. If choose 1, "
    "numberofItems value is ignored\n"
    "outputFile_number is the file name of the first file to be output\n";

// Standard output of a successful run that found `count` results: optional
// progress numbers, the count line, and the elapsed time with no line end.
// Standard error holds `warnings`.
void ExpectNormalRun(const RunResult& r, int count, const std::string& warnings = "") {
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, warnings);
  std::smatch m;
  std::regex format("((?:[0-9]+\t)*)Total number of quasi-bicliques:([0-9]+)\n"
                    "Time taken([-+.0-9eE]+)");
  ASSERT_TRUE(std::regex_match(r.out, m, format)) << r.out;
  EXPECT_EQ(std::stoi(m[2].str()), count);
  double seconds = std::strtod(m[3].str().c_str(), nullptr);
  char printed[64];
  snprintf(printed, sizeof printed, "%g", seconds);
  EXPECT_EQ(m[3].str(), printed);  // %g form
}

int CountLines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(CliUsage, FewerThanSevenArgumentsPrintUsage) {
  TempDir dir;
  std::string dataset = dir.Write("d.txt", "0 1\n");
  const std::vector<std::vector<std::string>> cases = {
      {}, {dataset}, {dataset, "1", "0", "0", "1", "0"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    RunResult r = RunProgram(QB_BINARY, args, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);  // nothing but the dataset
}

TEST(CliUsage, RejectsBadParametersBeforeOpeningTheDataset) {
  struct Case {
    std::vector<std::string> params;  // the five numeric arguments
    std::string message;
  };
  const std::string p = "quasibiclique: error: ";
  const Case cases[] = {
      {{"0", "0", "0", "1", "0"}, p + "item_supportLevel '0' must be at least 1"},
      {{"abc", "0", "0", "1", "0"}, p + "item_supportLevel 'abc' must be at least 1"},
      {{"1", "-1", "0", "1", "0"}, p + "itemTolerance '-1' must be at least 0"},
      {{"1", "0", "-5", "1", "0"}, p + "transactionTolerance '-5' must be at least 0"},
      {{"1", "0", "0", "-1", "0"}, p + "transaction_supportLevel '-1' must be at least 0"},
      {{"2147483648", "0", "0", "1", "0"}, p + "item_supportLevel '2147483648' is out of range"},
      {{"1", "99999999999999999999", "0", "1", "0"},
       p + "itemTolerance '99999999999999999999' is out of range"},
      {{"1", "0", "0", "-2147483649", "0"},
       p + "transaction_supportLevel '-2147483649' is out of range"},
      {{"1", "0", "0", "1", "2"}, p + "graphType '2' must be 0 or 1"},
      {{"1", "0", "0", "1", "-1"}, p + "graphType '-1' must be 0 or 1"},
  };
  TempDir dir;
  std::string output = dir.File("out.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> args = {dir.File("absent.txt")};
    args.insert(args.end(), c.params.begin(), c.params.end());
    args.push_back(output);
    RunResult r = RunProgram(QB_BINARY, args, dir, output);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.message + "\n" + kUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.outputexists);
  }
}

TEST(CliDataset, UnopenableDataset) {
  TempDir dir;
  std::string dataset = dir.File("absent.txt"), output = dir.File("out.txt");
  RunResult r = RunProgram(QB_BINARY, {dataset, "1", "0", "0", "1", "0", output}, dir, output);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, dataset + " could not be opened!\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(r.outputexists);
}

TEST(CliDataset, BadContentNamesFileAndLine) {
  struct Case {
    std::string content;  // empty: the dataset is a directory
    const char* graphtype;
    std::string where;    // ":<line>: " and the start of the message
  };
  const Case cases[] = {
      {"1 2\n2147483647 3\n", "0", ":2: number too large"},
      {"1\n0 5\n", "1", ":2: vertex id 5 is not below the number of lines (3)"},
      {"1\n\n", "1", ":1: vertex 0 lists 1 but vertex 1 does not list 0"},
      {"1\n0\n0", "1", ":3: vertex 2 lists 0 but vertex 0 does not list 2"},
      {"", "0", ":1: cannot read the dataset"},
  };
  TempDir dir;
  std::string output = dir.File("out.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    std::string dataset = c.content.empty() ? dir.path() : dir.Write("d.txt", c.content);
    RunResult r = RunProgram(QB_BINARY, {dataset, "1", "0", "0", "1", c.graphtype, output},
                             dir, output);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("quasibiclique: error: " + dataset + c.where, 0), 0u) << r.err;
    EXPECT_EQ(CountLines(r.err), 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.outputexists);
  }
}

TEST(CliOutput, UncreatableOutputFile) {
  TempDir dir;
  std::string dataset = dir.Write("d.txt", "0 1\n0 1\n");
  std::string output = dir.File("missing/out.txt");
  RunResult r = RunProgram(QB_BINARY, {dataset, "1", "0", "0", "1", "0", output}, dir);
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find(output), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(CliRun, EmptyDatasetEmptiesAnExistingOutputFile) {
  TempDir dir;
  std::string dataset = dir.Write("d.txt", "");
  std::string output = dir.Write("out.txt", "left over\n");
  RunResult r = RunProgram(QB_BINARY, {dataset, "1", "0", "0", "1", "0", output}, dir, output);
  ExpectNormalRun(r, 0);
  EXPECT_TRUE(r.outputexists);
  EXPECT_EQ(r.output, "");
}

TEST(CliRun, CountLineAndExitStatusZero) {
  struct Case {
    std::string content;
    std::vector<std::string> params;
    std::string output;    // expected output file
    std::string warnings = "";  // expected standard error
  };
  const Case cases[] = {
      {"0 1 2\n0 1 2\n0 1 2\n", {"2", "0", "0", "2", "0"}, "0 1 2 ;0 1 2 \n"},
      // Leniently converted parameters: "+2", " 0", "2x"; graphType "abc" is 0,
      // so vertex ids above the line count are accepted. What was more than
      // a number is named in a warning.
      {"5 7\n5 7", {"+2", " 0", "0", "2x", "abc"}, "0 1 ;5 7 \n",
       "quasibiclique: warning: transaction_supportLevel '2x' was read as 2\n"
       "quasibiclique: warning: graphType 'abc' was read as 0\n"},
      // The empty first line is a transaction of its own (tid 0).
      {"\n4 5\n4 5", {"2", "0", "0", "2", "0"}, "1 2 ;4 5 \n"},
      // A '-' before the line end joins the lines: tids 0 and 1 hold 1 and 2.
      {"1 -\n2\n1 2", {"2", "0", "0", "2", "0"}, "0 1 ;1 2 \n"},
  };
  TempDir dir;
  std::string output = dir.File("out.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    std::vector<std::string> args = {dir.Write("d.txt", c.content)};
    args.insert(args.end(), c.params.begin(), c.params.end());
    args.push_back(output);
    RunResult r = RunProgram(QB_BINARY, args, dir, output);
    ExpectNormalRun(r, CountLines(c.output), c.warnings);
    EXPECT_EQ(r.output, c.output);
  }
}

TEST(CliRun, ExampleDatasets) {
  std::filesystem::path examples =
      std::filesystem::path(QB_TEST_DATA).parent_path().parent_path() / "examples";
  std::error_code error;
  TempDir dir;
  std::string output = dir.File("out.txt");
  int ran = 0;
  for (const auto& entry : std::filesystem::directory_iterator(examples, error)) {
    if (!entry.is_regular_file() || entry.file_size() > (1u << 16)) continue;
    SCOPED_TRACE(entry.path().string());
    // The labelled examples are read in the format their extension names.
    const std::string extension = entry.path().extension().string();
    std::vector<std::string> args = {entry.path().string(), "2", "0", "0", "2", "0", output};
    for (const char* format : {"edges", "mtx", "baskets"}) {
      if (extension == std::string(".") + format) {
        args.insert(args.begin(), std::string("--format=") + format);
      }
    }
    RunResult r = RunProgram(QB_BINARY, args, dir, output);
    ExpectNormalRun(r, CountLines(r.output));
    ran++;
  }
  if (ran == 0) GTEST_SKIP() << "no example datasets in " << examples;
}

}  // namespace

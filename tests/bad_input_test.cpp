// The built program on hostile input and in hostile surroundings: unusable
// datasets, refused arguments, output files that cannot be written, memory
// running out, signals, closed or broken standard streams, datasets that are
// pipes. Each case checks the exit status, the exact message and the bytes of
// every file involved before and after.
#include <gtest/gtest.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gzip_util.h"
#include "test_util.h"

namespace {


using qbtest::RunResult;
using Args = std::vector<std::string>;  // item_supportLevel .. graphType

const std::string kProgram = QB_BINARY;
const std::string kError = "quasibiclique: error: ";
const std::string kCountLine = "Total number of quasi-bicliques:";
const std::string kTemporaryPrefix = ".quasibiclique.";
const Args kAllResults = {"1", "0", "0", "2", "0"};

// Lines of items 0..items-1, each present with probability percent/100; the
// same seed gives the same text.
std::string RandomDataset(int lines, int items, unsigned percent, unsigned seed) {
  std::string text;
  for (int t = 0; t < lines; t++) {
    for (int i = 0; i < items; i++) {
      seed = seed * 1103515245u + 12345u;
      if ((seed >> 16) % 100 < percent) text += std::to_string(i) + " ";
    }
    text += "\n";
  }
  return text;
}

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

  pid_t Start(const std::string& dataset, const Args& args, const std::string& output,
              const std::function<void()>& inchild) {
    Args all = {dataset};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back(output);
    return qbtest::StartProgram(kProgram, all, dir_, inchild);
  }

  // Temporary output files left in the scratch directory.
  std::vector<std::string> Temporaries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(kTemporaryPrefix, 0) == 0) names.push_back(name);
    }
    return names;
  }

  // Waits (a bounded number of short sleeps) until a temporary output file
  // exists; false when the program ended or none appeared.
  bool AwaitTemporary(pid_t child) const {
    for (int tries = 0; tries < 12000; tries++) {
      if (!Temporaries().empty()) return true;
      if (waitpid(child, nullptr, WNOHANG) == child) return false;
      usleep(5000);
    }
    return false;
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

// --threads=N comes before the dataset, in either order with --search=;
// anything but a whole number from 0 to 1024 is refused with one line and
// the usage text, leaving the output file alone.
TEST_F(BadInputTest, ThreadsOptionAcceptedOrRefused) {
  const std::string usage = Usage();
  const std::string dataset = dir_.Write("ok.dat", "0 1 2\n0 1 2\n0 1\n1 2\n");
  const Args args = {"2", "0", "0", "2", "0"};
  const std::string output = dir_.File("threads.out");
  auto run = [&](const Args& leading) {
    Args all = leading;
    all.push_back(dataset);
    all.insert(all.end(), args.begin(), args.end());
    all.push_back(output);
    std::remove(output.c_str());
    return qbtest::RunProgram(kProgram, all, dir_, output);
  };
  const RunResult plain = run({});
  ASSERT_EQ(plain.status, 0) << plain.err;
  // The maximal bicliques of two or more items and transactions.
  ASSERT_EQ(plain.output, "0 1 ;0 1 2 \n0 1 3 ;1 2 \n0 1 2 ;0 1 \n");
  const std::vector<Args> accepted = {{"--threads=2"},
                                      {"--threads=0"},
                                      {"--threads=1024"},
                                      {"--threads=2", "--search=exact"},
                                      {"--search=exact", "--threads=2"},
                                      {"--threads=3", "--search=tolerance"},
                                      {"--search=tolerance", "--threads=3"}};
  for (const Args& leading : accepted) {
    SCOPED_TRACE(leading.size() == 1 ? leading[0] : leading[0] + " " + leading[1]);
    const RunResult r = run(leading);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.output, plain.output);
    EXPECT_NE(r.out.find(kCountLine + "3\n"), std::string::npos) << r.out;
  }
  for (const char* value : {"", "-1", "1025", "2x", "abc", "99999999999999999999"}) {
    const std::string message = kError + "--threads '" + value +
                                "' must be a number from 0 (every core) to 1024\n" + usage;
    // Alone, and after an accepted --search=.
    for (const Args& before : {Args{}, Args{"--search=exact"}}) {
      for (bool existed : {false, true}) {
        SCOPED_TRACE(std::string("--threads=") + value + (before.empty() ? "" : " after --search") +
                     (existed ? ", output file existed" : ", no output file before"));
        Args leading = before;
        leading.push_back(std::string("--threads=") + value);
        std::remove(output.c_str());
        if (existed) dir_.Write("threads.out", "earlier result\n");
        Args all = leading;
        all.push_back(dataset);
        all.insert(all.end(), args.begin(), args.end());
        all.push_back(output);
        const RunResult r = qbtest::RunProgram(kProgram, all, dir_, output);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.outputexists, existed);
        if (existed) {
          EXPECT_EQ(r.output, "earlier result\n");
        }
      }
    }
  }
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
      // 50 gzip members of 8 MB each: the text alone passes the limit while
      // it is read, before the check of its format and the loading.
      {"text larger than memory", Repeat(qbtest::Gzip(Repeat("0 1\n", 2000000)), 50)},
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
    // One line, as the README says.
    EXPECT_EQ(run.err.rfind(kError + "out of memory: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(run.outputexists);
  }
}

// ---------------------------------------------------------------------------
// Surroundings: the output path, signals, standard streams, address space.

std::string ReadExample() {
  return qbtest::ReadFile(
      (std::filesystem::path(QB_TEST_DATA) / ".." / ".." / "examples" / "tiny.dat")
          .lexically_normal());
}

// The dataset reached through any name of the same file is refused as the
// output before anything is written; a device as both is no such danger.
TEST_F(BadInputTest, OutputNamingTheDatasetIsRefused) {
  const std::string tiny = ReadExample();
  ASSERT_FALSE(tiny.empty());
  const std::string dataset = dir_.Write("d.dat", tiny);
  const std::string symlink = dir_.File("link.dat"), hardlink = dir_.File("hard.dat");
  ASSERT_EQ(::symlink("d.dat", symlink.c_str()), 0);
  ASSERT_EQ(link(dataset.c_str(), hardlink.c_str()), 0);
  const Args args = {"3", "1", "1", "3", "0"};
  const std::pair<std::string, std::string> cases[] = {
      {dataset, dataset},
      {dataset, dir_.path() + "/./d.dat"},
      {dataset, symlink},
      {dataset, hardlink},
      {symlink, dataset},
  };
  for (const auto& [input, output] : cases) {
    SCOPED_TRACE(input + " into " + output);
    RunResult run = Run(input, args, output);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, kError + "output file " + output + " is the dataset " + input + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(qbtest::ReadFile(dataset), tiny);
  }
  RunResult devices = Run("/dev/null", args, "/dev/null");
  EXPECT_EQ(devices.status, 0) << devices.err;
  EXPECT_NE(devices.out.find(kCountLine + "0\n"), std::string::npos);
}

// Ended by a signal while mining: the temporary file goes, the earlier output
// stays byte for byte, and the run ends by that signal. A signal ignored when
// the run started stays ignored.
TEST_F(BadInputTest, SignalKeepsTheEarlierOutput) {
  const std::string dataset = dir_.Write("slow.dat", RandomDataset(45, 26, 80, 7));
  const std::string output = dir_.Write("out.txt", "earlier result\n");
  // Every signal that ends a process and can be caught; those that dump
  // core do so without a core file here.
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU,
                    SIGVTALRM, SIGPROF, SIGABRT}) {
    SCOPED_TRACE(strsignal(signo));
    pid_t child = Start(dataset, kAllResults, output, [] {
      const rlimit nocore{0, 0};
      setrlimit(RLIMIT_CORE, &nocore);
    });
    ASSERT_GT(child, 0);
    const bool waited = AwaitTemporary(child);
    if (waited) kill(child, signo);
    RunResult run = qbtest::FinishProgram(child, dir_, output);
    ASSERT_TRUE(waited) << "no temporary file while the program ran: " << run.err;
    EXPECT_EQ(run.signal, signo);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.output, "earlier result\n");
    EXPECT_EQ(Temporaries(), std::vector<std::string>());
  }
  // A run started with SIGHUP ignored (as nohup starts it) goes on.
  const std::string small = RandomDataset(45, 26, 70, 5);
  const std::string expected = Mine(small, kAllResults);
  pid_t child = Start(dir_.Write("small.dat", small), kAllResults, output,
                      [] { signal(SIGHUP, SIG_IGN); });
  ASSERT_GT(child, 0);
  const bool waited = AwaitTemporary(child);
  if (waited) kill(child, SIGHUP);
  RunResult run = qbtest::FinishProgram(child, dir_, output);
  ASSERT_TRUE(waited) << "no temporary file while the program ran: " << run.err;
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.output, expected);
}

// The results replace the file a path names as a whole, keep its mode, and
// go to the end of a symbolic link, which stays a link.
// A file-size limit (ulimit -f) makes the write fail instead of ending the
// run: status 3 with the reason, the earlier output kept, no temporary file.
TEST_F(BadInputTest, FileSizeLimitIsAWriteError) {
  const std::string dataset = dir_.Write("big.dat", RandomDataset(45, 26, 70, 5));
  const std::string output = dir_.Write("out.txt", "earlier result\n");
  RunResult run = qbtest::RunProgram(
      "/bin/bash",
      {"-c", "ulimit -f 8 && exec \"$0\" \"$@\"", kProgram, dataset, "1", "0", "0", "2", "0",
       output},
      dir_, output);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, kError + "cannot write output file " + output + ": File too large\n");
  EXPECT_EQ(run.output, "earlier result\n");
  EXPECT_EQ(Temporaries(), std::vector<std::string>());
}

// A temporary file that a killed run left (SIGKILL, the out-of-memory
// killer) is removed by the next run in that directory; one of a process
// that still runs, and files that only look alike, stay.
TEST_F(BadInputTest, TemporariesOfKilledRunsAreRemoved) {
  const std::string dataset = dir_.Write("slow.dat", RandomDataset(45, 26, 80, 7));
  const std::string output = dir_.File("out.txt");
  pid_t child = Start(dataset, kAllResults, output, {});
  ASSERT_GT(child, 0);
  const bool waited = AwaitTemporary(child);
  if (waited) kill(child, SIGKILL);
  qbtest::FinishProgram(child, dir_, output);
  ASSERT_TRUE(waited);
  const std::vector<std::string> left = Temporaries();
  ASSERT_EQ(left.size(), 1u) << "a killed run leaves its temporary file";
  // The name tells the process: ".quasibiclique.<host>.<pid>.XXXXXX".
  const std::string stem = left[0].substr(0, left[0].size() - 6);
  const std::string live = std::regex_replace(stem, std::regex("\\.[0-9]+\\.$"),
                                              "." + std::to_string(getpid()) + ".");
  dir_.Write(live + "ABCDEF", "a run that still goes on\n");
  dir_.Write(".quasibiclique.notours", "not a name of ours\n");
  RunResult run = Run(dir_.Write("ok.dat", "0 1\n0 1\n"), kAllResults, output);
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> after = Temporaries();
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, (std::vector<std::string>{".quasibiclique.notours", live + "ABCDEF"}));
}

// An empty output path is refused before mining, like any path that cannot
// be created.
TEST_F(BadInputTest, EmptyOutputPathRefusedBeforeMining) {
  RunResult run = Run(dir_.Write("ok.dat", "0 1\n0 1\n"), kAllResults, "");
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, kError + "cannot create output file : No such file or directory\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Temporaries(), std::vector<std::string>());
}

// Where a rename over the output could not be allowed, the finished results
// are copied into the existing file: another user's writable file in a
// sticky directory that is not ours, and a file mounted over its own path
// (as containers mount single files). Needs root, to play the other users
// and to mount.
TEST_F(BadInputTest, OutputsThatCannotBeRenamedOverAreWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string tiny = ReadExample();
  const Args args = {"3", "1", "1", "3", "0"};
  const std::string expected = Mine(tiny, args);
  chmod(dir_.path().c_str(), 0755);
  // A sticky directory of user 1 holding a file of user 2 that anyone may
  // write; the program runs as user 3.
  const std::string sticky = dir_.File("shared");
  ASSERT_EQ(mkdir(sticky.c_str(), 0777), 0);
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  ASSERT_EQ(chown(sticky.c_str(), 1, 1), 0);
  const std::string dataset = dir_.Write("shared/d.dat", tiny);
  const std::string output = dir_.Write("shared/out.txt", "earlier result\n");
  ASSERT_EQ(chmod(output.c_str(), 0666), 0);
  ASSERT_EQ(chown(output.c_str(), 2, 2), 0);
  Args all = {dataset};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back(output);
  // A copy of the program that user 3 may run wherever the build lies.
  const std::string program = dir_.File("quasibiclique");
  std::filesystem::copy_file(kProgram, program);
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  RunResult run = qbtest::FinishProgram(
      qbtest::StartProgram(program, all, dir_,
                           [] {
                             if (setgid(3) != 0 || setuid(3) != 0) _exit(125);
                           }),
      dir_, output);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.output, expected);
  struct stat info;
  ASSERT_EQ(stat(output.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 2u) << "the file stays its owner's";
  for (const auto& entry : std::filesystem::directory_iterator(sticky)) {
    EXPECT_EQ(entry.path().filename().string().rfind(kTemporaryPrefix, 0), std::string::npos)
        << entry.path();
  }
  // A file mounted over the output path, in a mount namespace of the run's
  // own.
  const std::string mounted = dir_.Write("mounted.txt", "earlier result\n");
  const std::string source = dir_.Write("source.txt", "the mounted file\n");
  all.back() = mounted;
  all[0] = dir_.Write("d.dat", tiny);
  run = qbtest::FinishProgram(
      qbtest::StartProgram(kProgram, all, dir_,
                           [&] {
                             if (unshare(CLONE_NEWNS) != 0 ||
                                 mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                 mount(source.c_str(), mounted.c_str(), nullptr, MS_BIND,
                                       nullptr) != 0) {
                               _exit(125);
                             }
                           }),
      dir_);
  if (run.status == 125) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(qbtest::ReadFile(source), expected) << "the results went through the mount";
  EXPECT_EQ(qbtest::ReadFile(mounted), "earlier result\n") << "outside the run's namespace";
  EXPECT_EQ(Temporaries(), std::vector<std::string>());
}

// Replacing another user's file gives a file of the user who runs the
// program: the setuid, setgid and sticky bits of the old file are dropped,
// the other mode bits kept.
TEST_F(BadInputTest, ReplacedFileOfAnotherOwnerLosesItsSpecialBits) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string dataset = dir_.Write("d.dat", "0 1\n0 1\n");
  for (mode_t mode : {mode_t(04755), mode_t(06777), mode_t(01640)}) {
    SCOPED_TRACE(mode);
    const std::string output = dir_.Write("out.txt", "earlier result\n");
    ASSERT_EQ(chown(output.c_str(), 1000, 1000), 0);
    ASSERT_EQ(chmod(output.c_str(), mode), 0);
    RunResult run = Run(dataset, kAllResults, output);
    EXPECT_EQ(run.status, 0) << run.err;
    struct stat info;
    ASSERT_EQ(stat(output.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, mode & 0777);
  }
  // The owner's own file keeps them.
  const std::string own = dir_.Write("own.txt", "earlier result\n");
  ASSERT_EQ(chmod(own.c_str(), 04755), 0);
  EXPECT_EQ(Run(dataset, kAllResults, own).status, 0);
  struct stat info;
  ASSERT_EQ(stat(own.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 04755u);
}

TEST_F(BadInputTest, OutputIsReplacedWhole) {
  const std::string tiny = ReadExample();
  const std::string dataset = dir_.Write("d.dat", tiny);
  const Args args = {"3", "1", "1", "3", "0"};
  const std::string expected = Mine(tiny, args);
  ASSERT_NE(expected, "");

  const std::string target = dir_.Write("target.txt", "earlier result\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink("target.txt", dir_.File("link.txt").c_str()), 0);
  RunResult run = Run(dataset, args, dir_.File("link.txt"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.output, expected);
  struct stat info;
  ASSERT_EQ(lstat(dir_.File("link.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  // A link to nothing yet: the file it names is created, with the usual mode.
  ASSERT_EQ(symlink("new.txt", dir_.File("dangling.txt").c_str()), 0);
  run = Run(dataset, args, dir_.File("dangling.txt"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(qbtest::ReadFile(dir_.File("new.txt")), expected);
  const mode_t mask = umask(0);
  umask(mask);
  ASSERT_EQ(stat(dir_.File("new.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask);
  EXPECT_EQ(Temporaries(), std::vector<std::string>());
}

// Two runs into one path at the same time: the file ends up as the whole
// output of one of them, never a splice of both.
TEST_F(BadInputTest, ConcurrentRunsDoNotSplice) {
  const std::string first = RandomDataset(30, 20, 60, 1), second = RandomDataset(30, 20, 60, 2);
  const std::string one = Mine(first, kAllResults), two = Mine(second, kAllResults);
  ASSERT_NE(one, two);
  const std::string output = dir_.File("shared.out");
  const std::string a = dir_.Write("a.dat", first), b = dir_.Write("b.dat", second);
  pid_t runs[2] = {Start(a, kAllResults, output, {}), Start(b, kAllResults, output, {})};
  for (pid_t child : runs) {
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
  }
  const std::string result = qbtest::ReadFile(output);
  EXPECT_TRUE(result == one || result == two) << result.size() << " bytes";
}

// Closed standard streams are opened on /dev/null: the output file is the
// first file opened and must not receive the progress numbers.
TEST_F(BadInputTest, ClosedStandardStreams) {
  const std::string text = RandomDataset(45, 26, 50, 3);
  const std::string expected = Mine(text, kAllResults);
  ASSERT_GT(std::count(expected.begin(), expected.end(), '\n'), 1000);
  const std::string dataset = dir_.Write("d.dat", text), output = dir_.File("o.txt");
  const std::vector<std::vector<int>> closings = {{0, 1}, {0, 1, 2}, {1}};
  for (const auto& closed : closings) {
    SCOPED_TRACE("closed descriptors: " + std::to_string(closed.size()));
    pid_t child = Start(dataset, kAllResults, output, [closed] {
      for (int fd : closed) close(fd);
    });
    RunResult run = qbtest::FinishProgram(child, dir_, output);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.out, "");
  }
}

// Standard output that cannot be written (a pipe nobody reads, a full
// device): the results file is still completed, then the failure is reported.
TEST_F(BadInputTest, BrokenStandardOutputKeepsTheResults) {
  const std::string text = RandomDataset(45, 26, 50, 4);
  const std::string expected = Mine(text, kAllResults);
  const std::string dataset = dir_.Write("d.dat", text), output = dir_.File("o.txt");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);  // no reader: every write to the pipe fails
  const struct {
    std::function<void()> inchild;
    std::string reason;
  } cases[] = {
      {[&ends] { dup2(ends[1], 1); }, "Broken pipe"},
      {[] { int full = open("/dev/full", O_WRONLY); dup2(full, 1); }, "No space left on device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    dir_.Write("o.txt", "earlier result\n");
    RunResult run = qbtest::FinishProgram(Start(dataset, kAllResults, output, c.inchild), dir_,
                                          output);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.err, kError + "cannot write standard output: " + c.reason + "\n");
    EXPECT_EQ(run.output, expected);
  }
  close(ends[1]);
}

// The dataset comes through a pipe, a FIFO or /proc: read once, it is mined
// like the same bytes in a plain file.
TEST_F(BadInputTest, DatasetsThatCanBeReadOnlyOnce) {
  const std::string tiny = ReadExample();
  const Args args = {"3", "1", "1", "3", "0"};
  const std::string expected = Mine(tiny, args), output = dir_.File("o.txt");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  pid_t child = Start("/dev/stdin", args, output, [&ends] {
    dup2(ends[0], 0);
    close(ends[1]);
  });
  close(ends[0]);
  ASSERT_EQ(write(ends[1], tiny.data(), tiny.size()), ssize_t(tiny.size()));
  close(ends[1]);
  RunResult run = qbtest::FinishProgram(child, dir_, output);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.output, expected);

  const std::string fifo = dir_.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  child = Start(fifo, args, output, {});
  std::ofstream(fifo, std::ios::binary) << tiny;  // opens once the program reads
  run = qbtest::FinishProgram(child, dir_, output);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.output, expected);

  if (qbtest::FileExists("/proc/self/io")) {
    run = Run("/proc/self/io", {"1", "0", "0", "0", "0"}, output);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(kCountLine), std::string::npos) << run.out;
  }
}

// /dev/stdout as the output while standard output is a file: the results
// follow what standard output holds, and the count lines follow them.
TEST_F(BadInputTest, StandardOutputAsTheOutputFile) {
  const std::string tiny = ReadExample();
  const Args args = {"3", "1", "1", "3", "0"};
  const std::string expected = Mine(tiny, args);
  Args all = {dir_.Write("d.dat", tiny)};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back("/dev/stdout");
  RunResult run = qbtest::RunProgram(kProgram, all, dir_);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string counted = expected + kCountLine + "12\nTime taken";
  EXPECT_EQ(run.out.substr(0, counted.size()), counted);
}

// Out of memory while mining, under an address-space limit: the earlier
// output stays, and a run that only needs a smaller stack than the usual
// mining stack must not crash.
TEST_F(BadInputTest, SmallAddressSpace) {
#ifdef QB_SANITIZED
  GTEST_SKIP() << "a sanitized build cannot start under an address-space limit";
#endif
  const auto limited = [this](const std::string& kb, const std::string& dataset,
                              const std::string& output) {
    return qbtest::RunProgram("/bin/sh",
                              {"-c", "ulimit -v " + kb + " && exec \"$0\" \"$@\"", kProgram,
                               dataset, "1", "0", "0", "2", "0", output},
                              dir_, output);
  };
  const std::string output = dir_.Write("o.txt", "earlier result\n");
  RunResult run = limited("65536", dir_.Write("big.dat", RandomDataset(45, 26, 80, 7)), output);
  EXPECT_EQ(run.status, 4) << run.err;
  // Which allocation fails first depends on the memory layout; the report is
  // one line naming it.
  EXPECT_EQ(run.err.rfind(kError + "out of memory: ", 0), 0u) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(run.output, "earlier result\n");
  EXPECT_EQ(Temporaries(), std::vector<std::string>());

  // 150,000 transactions sharing item 3: one result, a long level of tids.
  std::string text, tids;
  for (int k = 10; k <= 150009; k++) text += "3 " + std::to_string(k) + "\n";
  text.pop_back();
  for (int t = 0; t < 150000; t++) tids += std::to_string(t) + " ";
  const std::string dataset = dir_.Write("long.dat", text);
  // Under every limit the stack must leave the heap enough room.
  for (const char* kb : {"1000000", "940000", "880000", "820000", "760000", "700000"}) {
    run = limited(kb, dataset, output);
    EXPECT_EQ(run.signal, 0) << kb << " KB";
    EXPECT_EQ(run.status, 0) << kb << " KB: " << run.err;
    EXPECT_TRUE(run.output == tids + ";3 \n") << kb << " KB";
  }
}

// A new memory control group below this process's own, limited to `bytes`
// (cgroup v1 or v2); removed when destroyed. Empty path when none can be
// made (not root, no writable memory controller).
class MemoryGroup {
 public:
  explicit MemoryGroup(size_t bytes) {
    const std::string membership = qbtest::ReadFile("/proc/self/cgroup");
    std::istringstream lines(membership);
    for (std::string line; std::getline(lines, line) && path_.empty();) {
      const size_t first = line.find(':'), second = line.find(':', first + 1);
      if (second == std::string::npos) continue;
      const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
      const std::string own = line.substr(second + 1);
      if (controllers == ",,") {
        Make("/sys/fs/cgroup" + own, "memory.max", bytes);
      } else if (controllers.find(",memory,") != std::string::npos) {
        Make("/sys/fs/cgroup/memory" + own, "memory.limit_in_bytes", bytes);
      }
    }
  }
  ~MemoryGroup() {
    if (!path_.empty()) rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  void Make(const std::string& parent, const char* limitfile, size_t bytes) {
    const std::string path = parent + "/qbtest." + std::to_string(getpid());
    if (mkdir(path.c_str(), 0755) != 0) return;
    std::ofstream limit(path + "/" + limitfile);
    limit << bytes << std::flush;
    if (limit) {
      path_ = path;
    } else {
      rmdir(path.c_str());
    }
  }
  std::string path_;
};

// A run in a container whose memory limit its results pass ends with its
// own out-of-memory report (status 4, the temporary file removed, the
// earlier output kept) instead of being killed by the kernel.
TEST_F(BadInputTest, ARunWithinAContainerLimitEndsWithItsOwnReport) {
#ifdef QB_SANITIZED
  GTEST_SKIP() << "a sanitized build holds more than the limit before it mines";
#endif
  const MemoryGroup group(size_t{48} << 20);
  if (group.path().empty()) GTEST_SKIP() << "no memory control group can be made here";
  const std::string dataset = dir_.Write("big.dat", RandomDataset(45, 26, 80, 7));
  const std::string output = dir_.Write("o.txt", "earlier result\n");
  const std::string join = "echo $$ > " + group.path() + "/cgroup.procs && exec \"$0\" \"$@\"";
  RunResult run = qbtest::RunProgram(
      "/bin/sh", {"-c", join, kProgram, dataset, "1", "0", "0", "2", "0", output}, dir_, output);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_EQ(run.err, kError + "out of memory: the run's memory reached its limit\n");
  EXPECT_EQ(run.output, "earlier result\n");
  EXPECT_EQ(Temporaries(), std::vector<std::string>());
}

// A run that succeeds under an address-space or data limit succeeds, with
// the same output, under every larger one and on one thread or two: the
// stacks and arenas take a share of the limit, never the heap's room.
TEST_F(BadInputTest, LargerMemoryLimitsKeepTheResults) {
#ifdef QB_SANITIZED
  GTEST_SKIP() << "a sanitized build cannot start under an address-space limit";
#endif
  const struct {
    const char* name;
    std::string dataset;
    Args args;
    std::vector<int> megabytes;
  } cases[] = {
      {"tiny, exact search", dir_.Write("tiny.dat", ReadExample()), {"3", "1", "1", "3", "0"},
       {24, 30, 36, 40, 42, 48, 64, 128, 512, 1500, 2000}},
      {"random, tolerance walk", dir_.Write("walk.dat", RandomDataset(16, 12, 55, 5)),
       {"--search=tolerance", "3", "1", "1", "3", "0"},
       {64, 128, 200, 300, 700, 1200, 1500, 2000, 2400, 3000}},
  };
  for (const auto& c : cases) {
    Args all = c.args;
    all.insert(all.end() - 5, c.dataset);
    const std::string output = dir_.File("limited.out");
    all.push_back(output);
    RunResult unlimited = qbtest::RunProgram(kProgram, all, dir_, output);
    ASSERT_EQ(unlimited.status, 0) << c.name << ": " << unlimited.err;
    for (const char* limit : {"-v", "-d"}) {
      for (const char* threads : {"--threads=1", "--threads=2"}) {
        for (int mb : c.megabytes) {
          const std::string shell =
              std::string("ulimit ") + limit + " " + std::to_string(mb * 1024) +
              " && exec \"$0\" \"$@\"";
          Args limited = {"-c", shell, kProgram, threads};
          limited.insert(limited.end(), all.begin(), all.end());
          RunResult run = qbtest::RunProgram("/bin/sh", limited, dir_, output);
          SCOPED_TRACE(std::string(c.name) + ", ulimit " + limit + " " + std::to_string(mb) +
                       " MB, " + threads);
          EXPECT_EQ(run.status, 0) << run.err;
          EXPECT_TRUE(run.output == unlimited.output);
        }
      }
    }
  }
}

}  // namespace

namespace {

// Each labelled format's malformed input: status 2, one line naming the
// file, the line and the field, nothing on standard output, and an output
// file that existed left as it was (none made otherwise).
TEST(BadLabelledInput, RefusedNamingFileLineAndField) {
  qbtest::TempDir dir;
  const struct {
    const char* format;
    std::string content;
    std::string message;  // after "<dataset>:"
  } cases[] = {
      {"edges", "a b\nc\n", "2: field 2: missing end point"},
      {"edges", "% header\n\n  x\n", "3: field 2: missing end point"},
      {"mtx", "%%MatrixMarket matrix array real general\n2 2\n1\n2\n3\n4\n",
       "1: field 3: format 'array' is not supported (only coordinate)"},
      {"mtx", "%%MatrixMarket matrix coordinate pattern general\n3 2 1\n4 1\n",
       "3: field 1: row 4 is not in 1 .. 3"},
      {"mtx", "%%MatrixMarket matrix coordinate pattern general\n3 2 2\n1 1\n",
       "4: 1 entries where the size line has 2"},
      {"mtx", "1 2\n",
       "1: not a Matrix Market file: the first line must start with %%MatrixMarket"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.format) + ": " + c.content);
    const std::string dataset = dir.Write("bad.txt", c.content);
    const std::string output = dir.File("bad.out");
    for (bool existed : {false, true}) {
      std::remove(output.c_str());
      if (existed) dir.Write("bad.out", "earlier result\n");
      const RunResult run = qbtest::RunProgram(
          kProgram, {std::string("--format=") + c.format, dataset, "1", "0", "0", "2", "0", output},
          dir, output);
      EXPECT_EQ(run.status, 2);
      EXPECT_EQ(run.err.rfind(kError + dataset + ":" + c.message, 0), 0u) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.outputexists, existed);
      if (existed) {
        EXPECT_EQ(run.output, "earlier result\n");
      }
    }
  }
}

}  // namespace

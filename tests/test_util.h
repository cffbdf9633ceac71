// Shared helpers of the test suite and the fuzz targets: scratch directories
// and files, and runs of the program (the built one, or RunMiner in this
// process) with their outputs captured.
#ifndef QUASIBICLIQUE_TESTS_TEST_UTIL_H
#define QUASIBICLIQUE_TESTS_TEST_UTIL_H

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver.h"

namespace qbtest {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qbtest.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes `content` byte for byte to `name` and returns the full path.
  std::string Write(const std::string& name, const std::string& content) const {
    std::string file = File(name);
    std::ofstream out(file, std::ios::binary);
    out << content;
    return file;
  }

 private:
  std::string path_;
};

struct RunResult {
  std::string out;   // standard output
  std::string err;   // standard error
  int status = -1;   // exit status; -1 when the program did not exit normally
  int signal = 0;    // the signal that ended the program, if one did
  std::string output;        // content of the output file, if it exists
  bool outputexists = false;
};

// Starts `program` with `args` (argv[1..]), standard input from /dev/null and
// both output streams captured in files of `dir`. `inchild`, when given, runs
// in the child after those redirections, just before the program starts (to
// close or replace a descriptor). Returns the child's process id, or -1.
inline pid_t StartProgram(const std::string& program, const std::vector<std::string>& args,
                          const TempDir& dir, const std::function<void()>& inchild = {}) {
  std::string outpath = dir.File(".stdout");
  std::string errpath = dir.File(".stderr");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child != 0) return child;
  int in = open("/dev/null", O_RDONLY);
  int out = open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (inchild) inchild();
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Collects what a finished run left: standard output and error from the
// files of `dir`, which are removed, and the content of `outputfile` when not
// empty.
inline void CollectOutputs(const TempDir& dir, const std::string& outputfile,
                           RunResult* result) {
  std::string outpath = dir.File(".stdout");
  std::string errpath = dir.File(".stderr");
  result->out = ReadFile(outpath);
  result->err = ReadFile(errpath);
  unlink(outpath.c_str());
  unlink(errpath.c_str());
  if (!outputfile.empty() && FileExists(outputfile)) {
    result->outputexists = true;
    result->output = ReadFile(outputfile);
  }
}

// Waits for a program started by StartProgram and collects what it left.
inline RunResult FinishProgram(pid_t child, const TempDir& dir,
                               const std::string& outputfile = "") {
  RunResult result;
  if (child < 0) return result;
  int wstatus = 0;
  if (waitpid(child, &wstatus, 0) == child) {
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  }
  CollectOutputs(dir, outputfile, &result);
  return result;
}

// Runs `program` to the end as StartProgram starts it.
inline RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const TempDir& dir, const std::string& outputfile = "") {
  return FinishProgram(StartProgram(program, args, dir), dir, outputfile);
}

// Runs RunMiner in this process with `args` (argv[1..]), standard output and
// error captured in files of `dir` for the length of the run, and collects
// what it left.
inline RunResult RunInProcess(const std::vector<std::string>& args, const TempDir& dir,
                              const std::string& outputfile = "") {
  std::vector<std::string> all = {"quasibiclique"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string outpath = dir.File(".stdout"), errpath = dir.File(".stderr");
  fflush(stdout);
  fflush(stderr);
  const int saved[2] = {dup(1), dup(2)};
  const int fd[2] = {open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                     open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
  for (int k = 0; k < 2; k++) dup2(fd[k], k + 1), close(fd[k]);
  RunResult result;
  result.status = RunMiner(int(all.size()), argv.data());
  fflush(stdout);
  fflush(stderr);
  for (int k = 0; k < 2; k++) dup2(saved[k], k + 1), close(saved[k]);
  CollectOutputs(dir, outputfile, &result);
  return result;
}

}  // namespace qbtest

#endif  // QUASIBICLIQUE_TESTS_TEST_UTIL_H

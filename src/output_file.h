// The output file of a run: where the results go, the proof before mining
// that they can be put in place, putting them there whole, and the signals
// that must not leave a temporary file behind.
#ifndef QUASIBICLIQUE_OUTPUT_FILE_H
#define QUASIBICLIQUE_OUTPUT_FILE_H

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "data.h"
#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

// Signal dispositions of one run. SIGPIPE and SIGXFSZ are ignored, so that a
// closed standard output cannot end the run before the results are in place
// and a file-size limit is a failed write; every other signal that would end
// the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, ...)
// removes the temporary output file and then ends the run as it would have.
// The signals of a fault in the program itself (SIGSEGV, SIGBUS, ...) keep
// their dispositions. A signal the run was started with ignored (nohup,
// background jobs of a script) stays ignored. The earlier dispositions come
// back at the end, for callers that run the miner inside their own process.
class RunSignals {
 public:
  RunSignals();
  ~RunSignals();
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;

 private:
  static constexpr int kMaxSignals = 16;
  struct sigaction saved_[kMaxSignals];
};

// Removes the temporary output file, if there is one.
void RemovePartialOutput();

// True when `output` names the regular file open as the dataset.
bool OutputIsDataset(const Data& data, const char* output);

// The directory part of path ("." when it has none).
std::string DirectoryOf(const std::string& path);

// Where the results go. A regular file, or a path where nothing exists yet,
// gets them through a temporary file in the same directory that is renamed
// over it once complete: the path always holds either its earlier content or
// the whole new result. Where that rename cannot be allowed (another user's
// file in a sticky directory, a file that is a mount point of its own) the
// complete results are copied into the existing file instead. Anything else
// (a device, a FIFO, the file that is open as standard output or error) is
// written directly.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens where the results of `path` go, once it is known that they can be
  // put in place. Returns OK or IOError "cannot create output file <path>:
  // <reason>".
  Status Open(const char* path);
  std::FILE* file() const { return file_; }
  // The temporary file the results go to before they are put in place;
  // empty when they are written directly.
  std::string temporary() const;

  // Closes the file and, unless `failure` (the reason a write failed) is
  // given or closing fails, puts the results in place; else the temporary
  // file goes and an existing output stays as it was. Returns OK or IOError
  // "cannot write output file <path>: <reason>".
  Status Finish(const std::string& failure);

 private:
  bool Create(const char* path);
  bool CreateTemporary(const struct stat* replaced);
  int CloseFile();
  Status PutInPlace();

  std::string path_;
  std::FILE* file_ = nullptr;
  int syncfd_ = -1;        // second descriptor of the temporary file
  std::string target_;     // what the temporary file replaces, links followed
  bool inplace_ = false;   // the results are copied into the target
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_OUTPUT_FILE_H

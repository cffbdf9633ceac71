// The output file: the temporary file and its name, the checks that the
// rename over the target will be allowed, the copy in place where it will
// not, and the signal handlers that remove the temporary file.
#include "output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace quasibiclique {

namespace {

// The temporary output file while one exists, so that a failure or a signal
// can remove it. partialpath is complete before partialset is raised; both
// are read by signal handlers.
char partialpath[PATH_MAX + 320];
volatile sig_atomic_t partialset = 0;

// Signals that end the process by default and can be caught, other than
// those of a fault in the program itself.
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGALRM,
                                  SIGUSR1, SIGUSR2,   SIGPOLL, SIGPROF, SIGVTALRM,
                                  SIGXCPU, SIGSTKFLT, SIGPWR,  SIGABRT};
// Signals whose default would end the run before its results are in place,
// where a failed write reports the same thing properly.
constexpr int kIgnoredSignals[] = {SIGPIPE, SIGXFSZ};
constexpr int kRunSignalCount = std::size(kEndingSignals) + std::size(kIgnoredSignals);

int RunSignal(int k) {
  const int ending = static_cast<int>(std::size(kEndingSignals));
  return k < ending ? kEndingSignals[k] : kIgnoredSignals[k - ending];
}

extern "C" void RemovePartialAndDie(int signo) {
  if (partialset) unlink(partialpath);
  raise(signo);  // the handler was reset: the signal now ends the process
}

// Holds back the run's signals while the temporary file is created and
// recorded, so that a handler never meets a half-written path.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int k = 0; k < kRunSignalCount; k++) sigaddset(&set, RunSignal(k));
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

 private:
  sigset_t saved_;
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Follows symbolic links from `path` to the file they end at, which need not
// exist. Returns false with errno set when there are too many of them.
bool FollowLinks(const char* path, std::string* target) {
  *target = path;
  for (int hops = 0; hops < 40; hops++) {
    struct stat info;
    if (lstat(target->c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    char link[PATH_MAX];
    ssize_t length = readlink(target->c_str(), link, sizeof link);
    if (length <= 0 || size_t(length) == sizeof link) return true;
    std::string next(link, size_t(length));
    *target = next[0] == '/' ? next : DirectoryOf(*target) + "/" + next;
  }
  errno = ELOOP;
  return false;
}

// Descriptor 1 or 2 when it is open on the file `info` describes, else -1.
int StandardStreamOn(const struct stat& info) {
  for (int fd = 1; fd <= 2; fd++) {
    struct stat stream;
    if (fstat(fd, &stream) == 0 && SameFile(stream, info)) return fd;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Names of temporary files
// ---------------------------------------------------------------------------

constexpr char kTemporaryPrefix[] = ".quasibiclique.";

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return "host";
  for (char* c = host; *c; c++) {
    if (*c == '/' || *c == '.') *c = '_';
  }
  return host;
}

// ".quasibiclique.<host>.<pid>.": the name of every temporary file of this
// process starts so, and a later run on the same host can tell from it
// whether the process that made it still runs.
std::string TemporaryStem(pid_t pid) {
  return std::string(kTemporaryPrefix) + HostName() + "." + std::to_string(pid) + ".";
}

// The process that made the temporary file `name` in this host's naming,
// or 0 when the name is not one of ours.
pid_t MakerOf(const std::string& name) {
  const std::string stem = std::string(kTemporaryPrefix) + HostName() + ".";
  if (name.compare(0, stem.size(), stem) != 0) return 0;
  char* end = nullptr;
  const long pid = strtol(name.c_str() + stem.size(), &end, 10);
  const bool shaped = end != name.c_str() + stem.size() && *end == '.' && strlen(end + 1) == 6;
  return shaped && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// Removes from `directory` the temporary files that runs on this host left
// when they were killed (SIGKILL, the kernel's out-of-memory killer): ours
// by their name and owner, made by a process that no longer exists.
void RemoveStaleTemporaries(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir)) {
    const pid_t maker = MakerOf(entry->d_name);
    if (maker == 0 || maker == getpid() || kill(maker, 0) == 0 || errno != ESRCH) continue;
    struct stat info;
    if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode) && info.st_uid == geteuid()) {
      unlinkat(dirfd(dir), entry->d_name, 0);
    }
  }
  closedir(dir);
}

// ---------------------------------------------------------------------------
// Whether the rename over the target will be allowed
// ---------------------------------------------------------------------------

// True when path is a mount point in this process's view of the mounts
// (/proc/self/mountinfo, whose paths escape a blank as "\040").
bool IsMountPoint(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return false;
  const std::string canonical = real;
  free(real);
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    std::string unescaped;
    for (size_t k = 0; k < point.size(); k++) {
      if (point[k] == '\\' && k + 3 < point.size()) {
        unescaped += static_cast<char>(strtol(point.substr(k + 1, 3).c_str(), nullptr, 8));
        k += 3;
      } else {
        unescaped += point[k];
      }
    }
    if (unescaped == canonical) return true;
  }
  return false;
}

// True when replacing the existing file `target` by a rename would be
// refused: another user's file in a sticky directory that is not ours
// either (EPERM), or a file mounted over its own path (EBUSY).
bool RenameRefused(const std::string& target, const struct stat& info) {
  struct stat directory;
  if (stat(DirectoryOf(target).c_str(), &directory) != 0) return false;
  const uid_t me = geteuid();
  const bool sticky = (directory.st_mode & S_ISVTX) && me != 0 && info.st_uid != me &&
                      directory.st_uid != me;
  return sticky || directory.st_dev != info.st_dev || IsMountPoint(target);
}

// The mode of a file that replaces one with mode `mode`: without the setuid,
// setgid and sticky bits when its owner or group is not the one replaced.
mode_t ReplacingMode(const struct stat& replaced, int fd) {
  mode_t mode = replaced.st_mode & 07777;
  struct stat made;
  if (fstat(fd, &made) != 0 || made.st_uid != replaced.st_uid ||
      made.st_gid != replaced.st_gid) {
    mode &= ~mode_t(S_ISUID | S_ISGID | S_ISVTX);
  }
  return mode;
}

// Copies the whole of descriptor `from` (from its start) over the content of
// the file `to` names, which keeps its owner, mode and links. Returns 0 or
// the errno of the failure.
int CopyInto(int from, const std::string& to) {
  const int out = open(to.c_str(), O_WRONLY | O_CLOEXEC);
  if (out < 0) return errno;
  int error = lseek(from, 0, SEEK_SET) < 0 ? errno : 0;
  off_t written = 0;
  char buffer[1 << 16];
  while (!error) {
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error = got < 0 ? errno : 0;
      break;
    }
    for (ssize_t at = 0; at < got && !error;) {
      const ssize_t put = pwrite(out, buffer + at, size_t(got - at), written);
      if (put < 0 && errno != EINTR) error = errno;
      if (put > 0) {
        at += put;
        written += put;
      }
    }
  }
  if (!error && (ftruncate(out, written) != 0 || fsync(out) != 0)) error = errno;
  if (close(out) != 0 && !error) error = errno;
  return error;
}

}  // namespace

RunSignals::RunSignals() {
  static_assert(kRunSignalCount <= kMaxSignals, "room for every run signal");
  for (int k = 0; k < kRunSignalCount; k++) {
    const int signo = RunSignal(k);
    sigaction(signo, nullptr, &saved_[k]);
    if (saved_[k].sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = k < int(std::size(kEndingSignals)) ? RemovePartialAndDie : SIG_IGN;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, nullptr);
  }
}

RunSignals::~RunSignals() {
  for (int k = 0; k < kRunSignalCount; k++) sigaction(RunSignal(k), &saved_[k], nullptr);
}

void RemovePartialOutput() {
  if (partialset) unlink(partialpath);
  partialset = 0;
}

bool OutputIsDataset(const Data& data, const char* output) {
  struct stat dataset, named;
  return fstat(data.Descriptor(), &dataset) == 0 && S_ISREG(dataset.st_mode) &&
         stat(output, &named) == 0 && SameFile(dataset, named);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

OutputFile::~OutputFile() {
  if (file_) fclose(file_);
  if (syncfd_ >= 0) close(syncfd_);
}

Status OutputFile::Open(const char* path) {
  path_ = path;
  if (Create(path)) return Status::OK();
  return Status::IOError(std::string("cannot create output file ") + path + ": " +
                         strerror(errno));
}

// Opens where the results go. Returns false with errno set when the output
// cannot be created or, for an existing file, not written.
bool OutputFile::Create(const char* path) {
  if (!*path) {
    errno = ENOENT;
    return false;
  }
  struct stat info;
  if (stat(path, &info) != 0) {
    if (errno != ENOENT) return false;
    return FollowLinks(path, &target_) && CreateTemporary(nullptr);
  }
  int stream = S_ISREG(info.st_mode) ? StandardStreamOn(info) : -1;
  if (!S_ISREG(info.st_mode) || stream >= 0) {
    // Through the stream's own descriptor the results follow what it already
    // holds instead of being overwritten by it.
    file_ = stream >= 0 ? fdopen(dup(stream), "w") : fopen(path, "w");
    return file_ != nullptr;
  }
  if (!FollowLinks(path, &target_)) return false;
  int probe = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
  if (probe < 0) return false;
  close(probe);
  inplace_ = RenameRefused(target_, info);
  return CreateTemporary(&info);
}

// Creates the temporary file next to target_, with the mode of the file it
// replaces (or the mode a new file would get), after removing what killed
// runs left there. Returns false with errno set when it cannot be created.
bool OutputFile::CreateTemporary(const struct stat* replaced) {
  const std::string directory = DirectoryOf(target_);
  RemoveStaleTemporaries(directory);
  const std::string name = directory + "/" + TemporaryStem(getpid()) + "XXXXXX";
  if (name.size() >= sizeof partialpath) {
    errno = ENAMETOOLONG;
    return false;
  }
  int fd;
  {
    BlockedSignals blocked;
    memcpy(partialpath, name.c_str(), name.size() + 1);
    fd = mkstemp(partialpath);
    partialset = fd >= 0;
  }
  if (fd < 0) return false;
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, replaced ? ReplacingMode(*replaced, fd) : 0666 & ~mask);  // best effort
  syncfd_ = dup(fd);
  file_ = syncfd_ >= 0 ? fdopen(fd, "w") : nullptr;
  if (file_) return true;
  int error = errno;
  close(fd);
  if (syncfd_ >= 0) close(syncfd_);
  syncfd_ = -1;
  RemovePartialOutput();
  errno = error;
  return false;
}

// Closes file_. Returns 0, or the errno of a failure that the stream met on
// its way or on closing.
int OutputFile::CloseFile() {
  int error = ferror(file_) ? (errno ? errno : EIO) : 0;
  if (fclose(file_) != 0 && !error) error = errno ? errno : EIO;
  file_ = nullptr;
  return error;
}

std::string OutputFile::temporary() const {
  return syncfd_ >= 0 && partialset ? std::string(partialpath) : std::string();
}

Status OutputFile::Finish(const std::string& failure) {
  std::string reason = failure;
  const int closeerror = file_ ? CloseFile() : 0;
  if (reason.empty() && closeerror) reason = strerror(closeerror);
  if (reason.empty()) return PutInPlace();
  if (syncfd_ >= 0) close(syncfd_);
  syncfd_ = -1;
  RemovePartialOutput();
  return Status::IOError("cannot write output file " + path_ + ": " + reason);
}

// Puts the complete results in place: syncs the closed temporary file, then
// renames it over the target, or copies it into the target where a rename
// would be refused. On a failure the temporary file is removed.
Status OutputFile::PutInPlace() {
  if (syncfd_ < 0) return Status::OK();
  int error = fsync(syncfd_) == 0 ? 0 : errno;
  if (!error && inplace_) error = CopyInto(syncfd_, target_);
  close(syncfd_);
  syncfd_ = -1;
  if (!error && !inplace_ && rename(partialpath, target_.c_str()) != 0) error = errno;
  if (!error && !inplace_) {
    partialset = 0;
    return Status::OK();
  }
  RemovePartialOutput();
  if (!error) return Status::OK();
  return Status::IOError("cannot write output file " + path_ + ": " + strerror(error));
}

}  // namespace quasibiclique

// Spilled runs of results and their merge.
#include "result_runs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "pools.h"

namespace quasibiclique {

int CompareItemsets(const int* a, int na, const int* b, int nb) {
  const int n = std::min(na, nb);
  for (int k = 0; k < n; k++) {
    if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
  }
  if (na == nb) return 0;
  const bool ashorter = na < nb;
  // A single item comes before the itemsets below it; deeper itemsets come
  // before their prefixes.
  if (n == 1) return ashorter ? -1 : 1;
  return ashorter ? 1 : -1;
}

namespace {

constexpr size_t kRunBuffer = size_t{64} << 10;  // per run: the merge reads them all at once

// An unnamed file in directory: opened with O_TMPFILE where the file
// system has it, else created and unlinked at once.
std::FILE* OpenUnnamed(const std::string& directory) {
  const std::string dir = directory.empty() ? "." : directory;
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string path = dir + "/.quasibiclique-run.XXXXXX";
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) unlink(path.c_str());
  }
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w+b");
  if (!file) close(fd);
  return file;
}

}  // namespace

RunFile::RunFile(const std::string& directory) : file_(OpenUnnamed(directory)) {
  if (!file_) OutOfMemory("no file for the results spilled to disk");
  setvbuf(file_, nullptr, _IOFBF, kRunBuffer);
}

RunFile::~RunFile() {
  if (file_) std::fclose(file_);
}

void RunFile::Add(const int* tids, int ntids, const int* items, int nitems) {
  const int counts[2] = {nitems, ntids};
  if (std::fwrite(counts, sizeof(int), 2, file_) != 2 ||
      std::fwrite(items, sizeof(int), size_t(nitems), file_) != size_t(nitems) ||
      std::fwrite(tids, sizeof(int), size_t(ntids), file_) != size_t(ntids)) {
    OutOfMemory("no room on disk for the results spilled there");
  }
}

void RunFile::Rewind() {
  if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) {
    OutOfMemory("no room on disk for the results spilled there");
  }
}

void RunFile::Read(int* to, size_t n) {
  if (std::fread(to, sizeof(int), n, file_) != n) {
    OutOfMemory("the results spilled to disk cannot be read back");
  }
}

bool RunFile::Next() {
  int counts[2];
  if (std::fread(counts, sizeof(int), 2, file_) != 2) {
    if (std::ferror(file_)) OutOfMemory("the results spilled to disk cannot be read back");
    return false;
  }
  items_.resize(size_t(counts[0]));
  tids_.resize(size_t(counts[1]));
  Read(items_.data(), items_.size());
  Read(tids_.data(), tids_.size());
  return true;
}

RunMerge::RunMerge(std::vector<std::unique_ptr<RunFile>> runs) : runs_(std::move(runs)) {
  for (size_t k = 0; k < runs_.size(); k++) {
    runs_[k]->Rewind();
    if (runs_[k]->Next()) heap_.push_back(k);
  }
  std::make_heap(heap_.begin(), heap_.end(), [this](size_t a, size_t b) { return Before(b, a); });
}

bool RunMerge::Before(size_t a, size_t b) const {
  const RunFile& x = *runs_[a];
  const RunFile& y = *runs_[b];
  const int order = CompareItemsets(x.items().data(), int(x.items().size()), y.items().data(),
                                    int(y.items().size()));
  if (order) return order < 0;
  if (x.tids() != y.tids()) return x.tids() < y.tids();
  return a < b;
}

bool RunMerge::Next(const int** tids, int* ntids, const int** items, int* nitems) {
  const auto later = [this](size_t a, size_t b) { return Before(b, a); };
  // The run handed out last moves on to its next result.
  if (last_ != SIZE_MAX) {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    heap_.pop_back();
    if (runs_[last_]->Next()) {
      heap_.push_back(last_);
      std::push_heap(heap_.begin(), heap_.end(), later);
    }
    last_ = SIZE_MAX;
  }
  if (heap_.empty()) return false;
  last_ = heap_.front();
  const RunFile& run = *runs_[last_];
  *tids = run.tids().data();
  *ntids = int(run.tids().size());
  *items = run.items().data();
  *nitems = int(run.items().size());
  return true;
}

}  // namespace quasibiclique

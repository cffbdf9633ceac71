// Dataset reader: one read of the whole file, then line counting and number
// parsing over that copy.
#include "data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace quasibiclique {

Data::Data(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}

Data::Data(const char* text, size_t size) : fd_(-1), inmemory_(true), text_(text, text + size) {}

Data::~Data() {
  if (fd_ >= 0) close(fd_);
}

void Data::Release() {
  std::vector<char>().swap(text_);
  position_ = 0;
}

// A regular file is read into a buffer of its size (plus one chunk to see
// the end), so the copy costs the file's size once; anything else grows as
// it comes.
int Data::ReadAll() {
  if (inmemory_) return 1;
  constexpr size_t kChunk = size_t{1} << 16;
  struct stat info;
  if (fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    text_.reserve(size_t(info.st_size) + kChunk);
  }
  for (;;) {
    size_t used = text_.size();
    text_.resize(used + kChunk);
    ssize_t got = read(fd_, text_.data() + used, kChunk);
    text_.resize(used + (got > 0 ? size_t(got) : 0));
    if (got == 0) return 1;
    if (got < 0 && errno != EINTR) return 0;
  }
}

void Data::ReadLine(std::vector<int>& numbers) {
  numbers.clear();
  for (;;) {
    int c = Next();
    if (c == '-') {
      Next();
      c = Next();
    }
    if (c >= '0' && c <= '9') {
      long long value = 0;
      do {
        value = value * 10 + (c - '0');
        if (value > kLargestNumber) {
          toolarge_ = true;
          value = kLargestNumber;
        }
        c = Next();
      } while (c >= '0' && c <= '9');
      numbers.push_back(static_cast<int>(value));
    }
    if (c == '\n' || ateof_) return;
  }
}

Status Data::FindVertexNum(const std::string& name) {
  lines_ = 0;
  itemsize_ = 1;
  longestline_ = 0;
  if (!ReadAll()) {
    const int error = errno;
    errorline_ = 1 + int(std::count(text_.begin(), text_.end(), '\n'));
    return Refusal(name, std::string("cannot read the dataset: ") + strerror(error ? error : EIO));
  }
  int largest = 0;
  position_ = 0;
  ateof_ = text_.empty();
  std::vector<int> line;
  while (!ateof_) {
    ReadLine(line);
    if (lines_ == INT_MAX - 1) {
      errorline_ = lines_ + 1;
      return Refusal(name, "too many lines");
    }
    lines_++;
    if (toolarge_) {
      errorline_ = lines_;
      return Refusal(name, "number too large (the largest allowed is " +
                               std::to_string(kLargestNumber) + ")");
    }
    for (int value : line) largest = value > largest ? value : largest;
    if (int(line.size()) > longestline_) longestline_ = int(line.size());
  }
  itemsize_ = largest + 1;
  position_ = 0;
  ateof_ = false;
  return Status::OK();
}

Status Data::Refusal(const std::string& name, const std::string& what) const {
  return Status::Corruption(name + ":" + std::to_string(errorline_) + ": " + what);
}

}  // namespace quasibiclique

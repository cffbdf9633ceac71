// Dataset reader: one read of the whole file (inflated when gzip-compressed),
// then line counting and number parsing over that copy.
#include "data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace quasibiclique {

namespace {

bool StartsGzip(const char* text, size_t size) {
  return size >= 2 && static_cast<unsigned char>(text[0]) == 0x1f &&
         static_cast<unsigned char>(text[1]) == 0x8b;
}

// A gzip inflation stream, ended however its use ends.
class GzipStream {
 public:
  GzipStream() {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~GzipStream() { inflateEnd(&z_); }
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;
  z_stream* get() { return &z_; }

 private:
  z_stream z_{};
};

// Why inflate's return code `rc` stops the inflation ("" when it does not).
// Throws std::bad_alloc when zlib ran out of memory.
std::string InflateFailure(int rc, const z_stream& z) {
  switch (rc) {
    case Z_OK:
    case Z_STREAM_END:
      return "";
    case Z_MEM_ERROR:
      throw std::bad_alloc();
    case Z_BUF_ERROR:
      return "the gzip data ends early (truncated)";
    case Z_NEED_DICT:
      return "the gzip data needs a preset dictionary";
    default:
      return std::string("the gzip data is corrupt: ") + (z.msg ? z.msg : "inflate failed");
  }
}

// Inflates the gzip members of in[0, size) one after the other into `out`
// (which has out->size() bytes of inflated text at the end). Returns "", or
// why the data cannot be inflated. Throws std::bad_alloc when memory runs out.
std::string InflateMembers(const char* in, size_t size, std::vector<char>* out) {
  GzipStream stream;
  z_stream* z = stream.get();
  const Bytef* base = reinterpret_cast<const Bytef*>(in);
  z->next_in = const_cast<Bytef*>(base);
  size_t used = 0;
  out->resize(std::max(size * 2, size_t{1} << 16));
  for (;;) {
    size_t consumed = size_t(z->next_in - base);
    if (z->avail_in == 0) z->avail_in = uInt(std::min<size_t>(size - consumed, UINT_MAX));
    if (used == out->size()) out->resize(used + used / 2);
    z->next_out = reinterpret_cast<Bytef*>(out->data() + used);
    z->avail_out = uInt(std::min<size_t>(out->size() - used, UINT_MAX));
    const uInt room = z->avail_out;
    const int rc = inflate(z, Z_NO_FLUSH);
    used += room - z->avail_out;
    std::string failure = InflateFailure(rc, *z);
    if (!failure.empty()) {
      out->resize(used);
      return failure;
    }
    if (rc != Z_STREAM_END) continue;
    consumed = size_t(z->next_in - base);
    if (consumed == size) break;
    if (!StartsGzip(in + consumed, size - consumed)) {
      out->resize(used);
      return "bytes after the gzip data are not a gzip member";
    }
    inflateReset(z);
  }
  out->resize(used);
  return "";
}

}  // namespace

Data::Data(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}

Data::Data(const char* text, size_t size) : fd_(-1), inmemory_(true), text_(text, text + size) {}

Data::~Data() {
  if (fd_ >= 0) close(fd_);
}

void Data::ReplaceText(std::vector<char> text) {
  text_ = std::move(text);
  position_ = 0;
  ateof_ = false;
  textread_ = true;
  readstatus_ = Status::OK();
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

Status Data::ReadText(const std::string& name) {
  if (textread_) return readstatus_;
  try {
    readstatus_ = ReadWholeText(name);
  } catch (const std::bad_alloc&) {
    decltype(text_)().swap(text_);
    readstatus_ = Status::OutOfMemory("no memory for the dataset's text");
  }
  textread_ = true;
  return readstatus_;
}

Status Data::ReadWholeText(const std::string& name) {
  if (!ReadAll()) {
    const int error = errno;
    errorline_ = 1 + int(std::count(text_.begin(), text_.end(), '\n'));
    return Refusal(name, std::string("cannot read the dataset: ") + strerror(error ? error : EIO));
  }
  if (StartsGzip(text_.data(), text_.size())) return InflateText(name);
  return Status::OK();
}

Status Data::InflateText(const std::string& name) {
  std::vector<char> inflated;
  const std::string failure = InflateMembers(text_.data(), text_.size(), &inflated);
  if (!failure.empty()) {
    errorline_ = 1 + int(std::count(inflated.begin(), inflated.end(), '\n'));
    return Refusal(name, "cannot read the dataset: " + failure);
  }
  text_.swap(inflated);
  return Status::OK();
}

Status Data::FindVertexNum(const std::string& name) {
  lines_ = 0;
  itemsize_ = 1;
  longestline_ = 0;
  Status read = ReadText(name);
  if (!read.ok()) return read;
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

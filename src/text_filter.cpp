// The text filter: a stream of the C library (fopencookie) whose writes are
// cut after the last line allowed and relabelled on their way to the file.
#include "text_filter.h"

#include <cerrno>
#include <cstring>

namespace quasibiclique {

namespace {

constexpr size_t kFilterBuffer = size_t{1} << 20;

}  // namespace

TextFilter::TextFilter(std::FILE* out, long long maxlines, LabelOf tidlabel, LabelOf itemlabel)
    : out_(out),
      maxlines_(maxlines),
      tidlabel_(std::move(tidlabel)),
      itemlabel_(std::move(itemlabel)) {
  cookie_io_functions_t io{};
  io.write = WriteThrough;
  file_ = fopencookie(this, "w", io);
  if (file_) setvbuf(file_, nullptr, _IOFBF, kFilterBuffer);
}

TextFilter::~TextFilter() {
  if (file_) Close();
}

int TextFilter::Close() {
  if (file_ && std::fclose(file_) != 0 && !error_) error_ = errno ? errno : EIO;
  file_ = nullptr;
  FlushPending();
  return error_;
}

ssize_t TextFilter::WriteThrough(void* cookie, const char* text, size_t size) {
  TextFilter& filter = *static_cast<TextFilter*>(cookie);
  const size_t passed = filter.PassLines(text, size);
  if (filter.tidlabel_ || filter.itemlabel_) {
    filter.Relabel(text, passed);
  } else {
    filter.Put(text, passed);
  }
  if (filter.error_) {
    // A failed write takes no bytes: the C library reads a negative count
    // as a huge one and goes on past the end of the caller's text.
    errno = filter.error_;
    return 0;
  }
  return static_cast<ssize_t>(size);  // what lies beyond the last line is dropped
}

// The bytes of text up to the end of the last line allowed, counting the
// lines they end.
size_t TextFilter::PassLines(const char* text, size_t size) {
  if (maxlines_ < 0) {
    // Counted only: the lines of the whole text.
    for (const char* at = text; (at = static_cast<const char*>(
                                     std::memchr(at, '\n', size - size_t(at - text))));) {
      lines_++;
      at++;
    }
    return size;
  }
  size_t passed = 0;
  while (lines_ < maxlines_ && passed < size) {
    const void* end = std::memchr(text + passed, '\n', size - passed);
    if (!end) return size;  // the line goes on in the next write
    passed = size_t(static_cast<const char*>(end) - text) + 1;
    lines_++;
  }
  return passed;
}

// Writes the ids of text as their labels: digits make an id, and the run
// of other bytes after it (a space, then ';' before the items or a line end)
// is written as it stands once the label is. An id may be split between two
// writes.
void TextFilter::Relabel(const char* text, size_t size) {
  size_t k = 0;
  while (k < size && !error_) {
    if (text[k] >= '0' && text[k] <= '9') {
      id_ = (id_ < 0 ? 0 : id_ * 10) + (text[k++] - '0');
      continue;
    }
    if (id_ >= 0) PutLabel();
    const size_t start = k;
    for (; k < size && (text[k] < '0' || text[k] > '9'); k++) {
      if (text[k] == ';') initems_ = true;
      if (text[k] == '\n') initems_ = false;
    }
    Put(text + start, k - start);
  }
}

// The label of the id just read, or the id itself when its side has none.
void TextFilter::PutLabel() {
  const LabelOf& label = initems_ ? itemlabel_ : tidlabel_;
  if (label) {
    const std::string_view text = label(int(id_));
    Put(text.data(), text.size());
  } else {
    char digits[24];
    Put(digits, size_t(snprintf(digits, sizeof digits, "%lld", id_)));
  }
  id_ = -1;
}

// The relabelled text collects in pending_ and goes to the file a megabyte
// at a time: one locked write of the stream per label would cost more than
// the relabelling.
void TextFilter::Put(const char* text, size_t size) {
  if (!out_ || error_) return;
  pending_.insert(pending_.end(), text, text + size);
  if (pending_.size() >= kFilterBuffer) FlushPending();
}

void TextFilter::FlushPending() {
  if (out_ && !error_ && !pending_.empty() &&
      std::fwrite(pending_.data(), 1, pending_.size(), out_) != pending_.size()) {
    error_ = errno ? errno : EIO;
  }
  pending_.clear();
}

}  // namespace quasibiclique

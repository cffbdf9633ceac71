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
    errno = filter.error_;
    return -1;
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

// Writes the ids of text as their labels: digits make an id, a space ends
// it, ';' ends the tids, a line end the line.
void TextFilter::Relabel(const char* text, size_t size) {
  for (size_t k = 0; k < size && !error_; k++) {
    const char c = text[k];
    if (c >= '0' && c <= '9') {
      id_ = (id_ < 0 ? 0 : id_ * 10) + (c - '0');
      continue;
    }
    if (id_ >= 0) PutLabel();
    if (c == ';') initems_ = true;
    if (c == '\n') initems_ = false;
    Put(&c, 1);
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

bool TextFilter::Put(const char* text, size_t size) {
  if (!out_ || error_ || size == 0) return !error_;
  if (std::fwrite(text, 1, size, out_) != size) error_ = errno ? errno : EIO;
  return !error_;
}

}  // namespace quasibiclique

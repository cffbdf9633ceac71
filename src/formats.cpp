// Labelled formats: one pass over the text gives every label an id and
// collects the (transaction, item) pairs; a counting sort by transaction then
// writes the lines of the default format.
#include "formats.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>

#include "data.h"

namespace quasibiclique {

namespace {

// Most ids of one side: as many as the reader takes lines (and the largest
// number + 1 it takes).
constexpr int kMostIds = kLargestNumber;

using Pairs = std::vector<std::pair<int, int>>;  // (old tid, old item)

Status Refusal(const std::string& name, long long line, const std::string& what) {
  return Status::Corruption(name + ":" + std::to_string(line) + ": " + what);
}

std::string FieldRefusal(int field, const std::string& what) {
  return "field " + std::to_string(field) + ": " + what;
}

// The lines of a text numbered from 1 as the reader numbers them: a text
// ending with '\n' has one more, empty, line; an empty text has none.
class LineCursor {
 public:
  LineCursor(const char* text, size_t size) : at_(text), end_(text + size), more_(size > 0) {}

  // The next line, without its '\n' and a '\r' before it; false after the last.
  bool Next(std::string_view* line) {
    if (!more_) return false;
    const char* stop = static_cast<const char*>(memchr(at_, '\n', size_t(end_ - at_)));
    more_ = stop != nullptr;
    if (!stop) stop = end_;
    size_t length = size_t(stop - at_);
    if (length > 0 && at_[length - 1] == '\r') length--;
    *line = std::string_view(at_, length);
    at_ = more_ ? stop + 1 : end_;
    number_++;
    return true;
  }
  long long number() const { return number_; }  // of the line last given

 private:
  const char* at_;
  const char* end_;
  bool more_;
  long long number_ = 0;
};

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }

// The fields of a line: runs of separators (blanks, tabs, commas) divide them.
class Fields {
 public:
  explicit Fields(std::string_view line) : line_(line) {}
  bool Next(std::string_view* field) {
    while (at_ < line_.size() && IsSeparator(line_[at_])) at_++;
    if (at_ == line_.size()) return false;
    const size_t begin = at_;
    while (at_ < line_.size() && !IsSeparator(line_[at_])) at_++;
    *field = line_.substr(begin, at_ - begin);
    return true;
  }

 private:
  std::string_view line_;
  size_t at_ = 0;
};

// The first character that is not a blank or a tab, or 0.
char FirstNonBlank(std::string_view line) {
  const size_t at = line.find_first_not_of(" \t");
  return at == std::string_view::npos ? 0 : line[at];
}

bool IsCommentLine(std::string_view line) {
  const char c = FirstNonBlank(line);
  return c == '#' || c == '%';
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); k++) {
    if (std::tolower(static_cast<unsigned char>(a[k])) !=
        std::tolower(static_cast<unsigned char>(b[k]))) {
      return false;
    }
  }
  return true;
}

// Ids of labels by first appearance: an open-addressing table keyed by the
// labels' text in the input, which outlives the conversion, so that a
// lookup compares with one read of that text; the labels are copied once.
class LabelIndex {
 public:
  LabelIndex() : slots_(1024) {}

  // The id of `label`, given the next one when it is new; -1 when kMostIds
  // labels have ids already.
  int Id(std::string_view label) {
    const uint32_t hash = uint32_t(std::hash<std::string_view>()(label));
    const size_t mask = slots_.size() - 1;
    size_t at = hash & mask;
    for (; slots_[at].id >= 0; at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if (slot.hash == hash && slot.size == label.size() &&
          memcmp(slot.text, label.data(), label.size()) == 0) {
        return slot.id;
      }
    }
    if (labels_.size() == kMostIds) return -1;
    const int id = labels_.size();
    labels_.Add(label);
    slots_[at] = {label.data(), label.size(), hash, id};
    if (2 * size_t(labels_.size()) > slots_.size()) Grow();
    return id;
  }
  int size() const { return labels_.size(); }
  const Labels& labels() const { return labels_; }
  Labels Take() { return std::move(labels_); }

 private:
  struct Slot {
    const char* text = nullptr;  // the label in the input
    size_t size = 0;
    uint32_t hash = 0;
    int id = -1;
  };
  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.id < 0) continue;
      size_t at = slot.hash & mask;
      while (slots_[at].id >= 0) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }

  Labels labels_;
  std::vector<Slot> slots_;  // a power of two, at most half used
};

void AppendNumber(std::vector<char>& text, long long value) {
  char digits[24];
  char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  text.insert(text.end(), digits, end);
}

// A text of one empty line must not be empty: the reader counts no line in
// an empty text, but one in a blank.
void KeepOneEmptyLine(std::vector<char>& lines, long long count) {
  if (count == 1 && lines.empty()) lines.push_back(' ');
}

// The lines text of `count` transactions: line k lists the items of the
// pairs (k, item), in the pairs' order, or ascending and each once when
// `distinct`. The pairs are freed on the way.
std::vector<char> GroupLines(int count, Pairs&& pairs, bool distinct) {
  std::vector<size_t> start(size_t(count) + 1, 0);
  for (const auto& pair : pairs) start[size_t(pair.first) + 1]++;
  for (int k = 0; k < count; k++) start[k + 1] += start[k];
  std::vector<int> items(pairs.size());
  std::vector<size_t> fill(start.begin(), start.end() - 1);
  for (const auto& pair : pairs) items[fill[pair.first]++] = pair.second;
  Pairs().swap(pairs);
  std::vector<char> lines;
  lines.reserve(items.size() * 8 + size_t(count));
  for (int k = 0; k < count; k++) {
    auto begin = items.begin() + start[k], end = items.begin() + start[k + 1];
    if (distinct) {
      std::sort(begin, end);
      end = std::unique(begin, end);
    }
    if (k > 0) lines.push_back('\n');
    for (auto it = begin; it != end; ++it) {
      if (it != begin) lines.push_back(' ');
      AppendNumber(lines, *it);
    }
  }
  KeepOneEmptyLine(lines, count);
  return lines;
}

// ---------------------------------------------------------------------------
// Edge lists
// ---------------------------------------------------------------------------

Status ConvertEdges(const char* text, size_t size, GraphType graphtype, const std::string& name,
                    LabelledText* out) {
  const bool undirected = graphtype == kUndirected;
  LabelIndex firsts, seconds;
  LabelIndex& ends = undirected ? firsts : seconds;  // where second fields get ids
  Pairs pairs;
  LineCursor cursor(text, size);
  std::string_view line, u, v;
  while (cursor.Next(&line)) {
    Fields fields(line);
    if (IsCommentLine(line) || !fields.Next(&u)) continue;
    if (!fields.Next(&v)) {
      return Refusal(name, cursor.number(), FieldRefusal(2, "missing end point"));
    }
    const int a = firsts.Id(u), b = ends.Id(v);
    if (a < 0 || b < 0) {
      const char* side = undirected ? "vertices" : a < 0 ? "transactions" : "items";
      return Refusal(name, cursor.number(),
                     std::string("too many ") + side + " (the most allowed is " +
                         std::to_string(kMostIds) + ")");
    }
    if (!undirected) {
      pairs.emplace_back(a, b);
    } else if (a != b) {
      pairs.emplace_back(a, b);
      pairs.emplace_back(b, a);
    }
  }
  out->lines = GroupLines(firsts.size(), std::move(pairs), undirected);
  if (undirected) out->items = firsts.labels();
  else out->items = seconds.Take();
  out->tids = firsts.Take();
  return Status::OK();
}

// ---------------------------------------------------------------------------
// Matrix Market coordinate matrices
// ---------------------------------------------------------------------------

// What the banner's fields may be, in order.
struct BannerField {
  const char* what;
  std::vector<std::string_view> allowed;
};

std::string Alternatives(const std::vector<std::string_view>& allowed) {
  std::string text;
  for (size_t k = 0; k < allowed.size(); k++) {
    text += k == 0 ? "" : k + 1 == allowed.size() ? " or " : ", ";
    text += allowed[k];
  }
  return text;
}

// Checks line 1, "%%MatrixMarket matrix coordinate <field> <symmetry>", and
// tells whether the matrix is symmetric. Returns "" or what is wrong.
std::string CheckBanner(std::string_view line, bool* symmetric) {
  static const BannerField kBanner[] = {
      {"banner", {"%%MatrixMarket"}},
      {"object", {"matrix"}},
      {"format", {"coordinate"}},
      {"field", {"pattern", "integer", "real"}},
      {"symmetry", {"general", "symmetric"}},
  };
  Fields fields(line);
  std::string_view token;
  for (int k = 0; k < 5; k++) {
    const BannerField& want = kBanner[k];
    const bool present = fields.Next(&token);
    if (k == 0 && (!present || !EqualsNoCase(token, want.allowed[0]))) {
      return "not a Matrix Market file: the first line must start with %%MatrixMarket";
    }
    if (!present) {
      return FieldRefusal(k + 1, std::string("missing the ") + want.what + " (" +
                                     Alternatives(want.allowed) + ")");
    }
    const auto& allowed = want.allowed;
    if (std::none_of(allowed.begin(), allowed.end(),
                     [&](std::string_view a) { return EqualsNoCase(token, a); })) {
      return FieldRefusal(k + 1, std::string(want.what) + " '" + std::string(token) +
                                     "' is not supported (only " + Alternatives(allowed) + ")");
    }
  }
  *symmetric = EqualsNoCase(token, "symmetric");
  return "";
}

// Reads field `k` (from 1) of `fields` as a decimal number of at most 18
// digits into *value. Returns "" or what is wrong, naming the field as `what`.
std::string ReadNumber(Fields& fields, int k, const char* what, long long* value,
                       std::string_view* text) {
  if (!fields.Next(text)) return FieldRefusal(k, std::string("missing the ") + what);
  const bool digits = std::all_of(text->begin(), text->end(),
                                  [](char c) { return c >= '0' && c <= '9'; });
  if (!digits) {
    return FieldRefusal(k, std::string(what) + " '" + std::string(*text) + "' is not a number");
  }
  *value = text->size() > 18 ? 1000000000000000000LL : 0;
  if (text->size() <= 18) std::from_chars(text->data(), text->data() + text->size(), *value);
  return "";
}

// The size line's numbers.
struct MatrixSize {
  long long rows = 0, columns = 0, entries = 0;
};

std::string ReadSize(std::string_view line, bool symmetric, GraphType graphtype,
                     MatrixSize* size) {
  Fields fields(line);
  std::string_view text;
  struct Number {
    const char* what;
    const char* counted;
    long long* value;
  };
  const Number numbers[] = {{"number of rows", "rows", &size->rows},
                            {"number of columns", "columns", &size->columns},
                            {"number of entries", "entries", &size->entries}};
  for (int k = 0; k < 3; k++) {
    const Number& number = numbers[k];
    std::string wrong = ReadNumber(fields, k + 1, number.what, number.value, &text);
    if (!wrong.empty()) return wrong;
    if (k < 2 && *number.value > kMostIds) {
      return FieldRefusal(k + 1, std::string("too many ") + number.counted + " (" +
                                     std::string(text) + "; the most allowed is " +
                                     std::to_string(kMostIds) + ")");
    }
  }
  const std::string shape = std::to_string(size->rows) + " x " + std::to_string(size->columns);
  if (size->rows == size->columns) return "";
  if (symmetric) return "a symmetric matrix must be square (" + shape + ")";
  if (graphtype == kUndirected) return "graphType 1 needs a square matrix (" + shape + ")";
  return "";
}

// Reads the 1-based index of field k, which must be in 1 .. bound.
std::string ReadIndex(Fields& fields, int k, const char* what, long long bound, int* index) {
  long long value = 0;
  std::string_view text;
  std::string wrong = ReadNumber(fields, k, what, &value, &text);
  if (!wrong.empty()) return wrong;
  if (value < 1 || value > bound) {
    return FieldRefusal(k, std::string(what) + " " + std::string(text) + " is not in 1 .. " +
                               std::to_string(bound));
  }
  *index = int(value - 1);
  return "";
}

// The next line that is neither blank nor a comment; false at the end.
bool NextDataLine(LineCursor& cursor, std::string_view* line) {
  while (cursor.Next(line)) {
    if (FirstNonBlank(*line) != 0 && !IsCommentLine(*line)) return true;
  }
  return false;
}

Labels NumberLabels(long long count) {
  Labels labels;
  std::vector<char> digits;
  for (long long k = 1; k <= count; k++) {
    digits.clear();
    AppendNumber(digits, k);
    labels.Add(std::string_view(digits.data(), digits.size()));
  }
  return labels;
}

// Adds entry (row, column) as pairs: mirrored when the matrix is
// symmetric; graph type 1: both directions, self loops dropped.
void AddEntry(int row, int column, bool symmetric, bool undirected, Pairs& pairs) {
  if (undirected && row == column) return;
  pairs.emplace_back(row, column);
  if ((symmetric || undirected) && row != column) pairs.emplace_back(column, row);
}

Status ConvertMtx(const char* text, size_t size, GraphType graphtype, const std::string& name,
                  LabelledText* out) {
  LineCursor cursor(text, size);
  std::string_view line;
  bool symmetric = false;
  std::string wrong = cursor.Next(&line) ? CheckBanner(line, &symmetric)
                                         : "not a Matrix Market file: it is empty";
  if (!wrong.empty()) return Refusal(name, 1, wrong);
  MatrixSize shape;
  if (!NextDataLine(cursor, &line)) {
    return Refusal(name, cursor.number(), "missing the size line (rows columns entries)");
  }
  wrong = ReadSize(line, symmetric, graphtype, &shape);
  if (!wrong.empty()) return Refusal(name, cursor.number(), wrong);
  const bool undirected = graphtype == kUndirected;
  Pairs pairs;
  pairs.reserve(size_t(std::min<long long>(shape.entries, (long long)(size / 4) + 1)));
  long long entries = 0;
  while (NextDataLine(cursor, &line)) {
    if (entries == shape.entries) {
      return Refusal(name, cursor.number(), "more entries than the " +
                                                std::to_string(shape.entries) +
                                                " of the size line");
    }
    Fields fields(line);
    int row = 0, column = 0;
    wrong = ReadIndex(fields, 1, "row", shape.rows, &row);
    if (wrong.empty()) wrong = ReadIndex(fields, 2, "column", shape.columns, &column);
    if (!wrong.empty()) return Refusal(name, cursor.number(), wrong);
    AddEntry(row, column, symmetric, undirected, pairs);
    entries++;
  }
  if (entries < shape.entries) {
    return Refusal(name, cursor.number(), std::to_string(entries) + " entries where the size line has " +
                                              std::to_string(shape.entries));
  }
  out->lines = GroupLines(int(shape.rows), std::move(pairs), undirected);
  out->tids = NumberLabels(shape.rows);
  out->items = undirected ? out->tids : NumberLabels(shape.columns);
  return Status::OK();
}

// ---------------------------------------------------------------------------
// Baskets
// ---------------------------------------------------------------------------

// Line k is transaction k as it is in the text, so the lines text is written
// as the text is read. Too many lines are refused by the reader when it
// counts the lines text, whose line numbers are the same.
Status ConvertBaskets(const char* text, size_t size, GraphType graphtype,
                      const std::string& name, LabelledText* out) {
  if (graphtype == kUndirected) return Status::InvalidArgument("--format=baskets needs graphType 0");
  LabelIndex items;
  std::vector<char>& lines = out->lines;
  lines.reserve(size);
  LineCursor cursor(text, size);
  std::string_view line, label;
  while (cursor.Next(&line)) {
    if (cursor.number() > 1) lines.push_back('\n');
    if (IsCommentLine(line)) continue;
    Fields fields(line);
    for (bool first = true; fields.Next(&label); first = false) {
      const int id = items.Id(label);
      if (id < 0) {
        return Refusal(name, cursor.number(),
                       "too many items (the most allowed is " + std::to_string(kMostIds) + ")");
      }
      if (!first) lines.push_back(' ');
      AppendNumber(lines, id);
    }
  }
  KeepOneEmptyLine(lines, cursor.number());
  out->items = items.Take();
  return Status::OK();
}

}  // namespace

Status ConvertLabelled(const char* text, size_t size, DatasetFormat format, GraphType graphtype,
                       const std::string& name, LabelledText* out) {
  *out = LabelledText();
  switch (format) {
    case kFormatEdges:
      return ConvertEdges(text, size, graphtype, name, out);
    case kFormatMtx:
      return ConvertMtx(text, size, graphtype, name, out);
    case kFormatBaskets:
      return ConvertBaskets(text, size, graphtype, name, out);
    default:
      return Status::InvalidArgument("the lines format has no labels to convert");
  }
}

Status ParseFormat(const char* value, DatasetFormat* format) {
  static const std::pair<const char*, DatasetFormat> kNames[] = {
      {"lines", kFormatLines}, {"edges", kFormatEdges}, {"mtx", kFormatMtx},
      {"baskets", kFormatBaskets}};
  const std::string text = value ? value : "";
  for (const auto& [known, chosen] : kNames) {
    if (text == known) {
      *format = chosen;
      return Status::OK();
    }
  }
  return Status::InvalidArgument("--format '" + text +
                                 "' must be lines, edges, mtx or baskets");
}

std::string FormatHint(const char* text, size_t size) {
  LineCursor cursor(text, size);
  std::string_view line;
  while (cursor.Next(&line)) {
    const size_t at = line.find_first_not_of(" \t");
    if (at == std::string_view::npos) continue;
    const std::string_view start = line.substr(at);
    const std::string_view banner = "%%MatrixMarket";
    if (EqualsNoCase(start.substr(0, banner.size()), banner)) {
      return "looks like a Matrix Market file: use --format=mtx";
    }
    if (start[0] != '#' && start[0] != '%') return "";
    return std::string("starts with a comment line ('") + start[0] +
           "'), which is read as numbers: for an edge list use --format=edges";
  }
  return "";
}

}  // namespace quasibiclique

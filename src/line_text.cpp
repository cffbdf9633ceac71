// The text of result lines: ids in decimal from their slots, each list put
// in ascending order of dataset ids through the ids' ranks.
#include "line_text.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <numeric>

namespace quasibiclique {

namespace {

constexpr size_t kMaxDigits = 11;  // an unsigned int and its space

}  // namespace

void LineText::Start(std::FILE* file, const IdTexts& ids, size_t block) {
  file_ = file;
  emit_ = nullptr;
  Begin(ids, block);
}

void LineText::Start(const TextBlocks& emit, const IdTexts& ids, size_t block) {
  file_ = nullptr;
  emit_ = &emit;
  Begin(ids, block);
}

void LineText::Begin(const IdTexts& ids, size_t block) {
  tidtext_ = &ids.tids;
  itemtext_ = &ids.items;
  error_ = 0;
  used_ = 0;
  Reserve(block);
}

int LineText::Finish() {
  if (!error_) Flush(0);
  file_ = nullptr;
  emit_ = nullptr;
  return error_;
}
namespace {

// The decimal digit pairs 00, 01, ..., 99.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Number of decimal digits of value.
int DigitCount(unsigned value) {
  int len = 1;
  for (unsigned limit = 10; len < 10 && value >= limit; limit *= 10) len++;
  return len;
}

// Writes value in decimal followed by a space; returns the end. Digits are
// made two at a time, from the right, in place.
char* AppendNumber(char* text, unsigned value) {
  const int len = DigitCount(value);
  char* at = text + len;
  while (value >= 100) {
    const unsigned pair = 2 * (value % 100);
    value /= 100;
    *--at = kDigitPairs[pair + 1];
    *--at = kDigitPairs[pair];
  }
  if (value >= 10) {
    *--at = kDigitPairs[2 * value + 1];
    *--at = kDigitPairs[2 * value];
  } else {
    *--at = static_cast<char>('0' + value);
  }
  text[len] = ' ';
  return text + len + 1;
}

}  // namespace

void IdText::Build(const int* oldid, int n) {
  byrank.resize(std::max(n, 0));
  std::iota(byrank.begin(), byrank.end(), 0);
  std::stable_sort(byrank.begin(), byrank.end(),
                   [oldid](int a, int b) { return oldid[a] < oldid[b]; });
  slots.resize(byrank.size());
  for (size_t r = 0; r < byrank.size(); r++) {
    Slot& slot = slots[byrank[r]];
    slot.rank = static_cast<int>(r);
    const unsigned value = static_cast<unsigned>(oldid[byrank[r]]);
    slot.text[0] = static_cast<char>(AppendNumber(slot.text + 1, value) - (slot.text + 1));
  }
}

// The lines collect in buffer_, which is written whenever it cannot take
// the next.
void LineText::Write(const int* tids, int ntids, const int* items, int nitems) {
  if (error_) return;
  const size_t room = kMaxDigits * (static_cast<size_t>(ntids) + nitems) + 2 + IdText::kSlot;
  if (size_ - used_ < room) Flush(room);
  char* text = buffer_.get() + used_;
  text = AppendSorted(tids, ntids, *tidtext_, text);
  *text++ = ';';
  text = AppendSorted(items, nitems, *itemtext_, text);
  *text++ = '\n';
  used_ = static_cast<size_t>(text - buffer_.get());
}

namespace {

using Int4 = int __attribute__((vector_size(16)));

// How many of the values in blocks[0 .. n) are below r, four at a time.
int RanksBelow(const Int4* blocks, int n, int r) {
  const Int4 rank = {r, r, r, r};
  Int4 below = {0, 0, 0, 0};
  for (int b = 0; b < n; b++) below -= blocks[b] < rank;  // a true lane is -1
  return below[0] + below[1] + below[2] + below[3];
}

}  // namespace

// Appends the old ids of list ascending: orders its ids by rank, through a
// bitmap of their range when the range is small for the list, by counting
// for each id the ranks below its own when the list is short (no branch to
// mispredict), else by sorting. The ids of a list are distinct, so their
// ranks are too.
char* LineText::AppendSorted(const int* list, int n, const IdText& ids, char* text) {
  if (ranks_.size() < static_cast<size_t>(n)) ranks_.resize(n);
  int low = ids.Rank(list[0]), high = low, ascending = 1;
  for (int i = 0; i < n; i++) {
    assert(static_cast<size_t>(list[i]) < ids.slots.size());
    const int r = ids.Rank(list[i]);
    ranks_[i] = r;
    if (i && r < ranks_[i - 1]) ascending = 0;
    low = std::min(low, r);
    high = std::max(high, r);
  }
  if (ascending) {
    for (int i = 0; i < n; i++) text = ids.Append(list[i], text);
    return text;
  }
  const int words = (high - low) / 64 + 1;
  if (n <= kShortList && words > n * n / 16) return AppendCounted(list, n, ids, text);
  if (words <= 2 * n + 16) return AppendFromBits(ids, low, words, n, text);
  std::sort(ranks_.begin(), ranks_.begin() + n);
  for (int i = 0; i < n; i++) text = ids.Append(ids.byrank[ranks_[i]], text);
  return text;
}

// Appends the old ids of list[0 .. n), n <= kShortList, whose ranks are in
// ranks_[0 .. n): the place of each id is the number of ranks below its own.
char* LineText::AppendCounted(const int* list, int n, const IdText& ids, char* text) {
  int order[kShortList];
  Int4 padded[kShortList / 4];
  const int blocks = (n + 3) / 4;
  padded[blocks - 1] = Int4{INT_MAX, INT_MAX, INT_MAX, INT_MAX};
  memcpy(padded, ranks_.data(), sizeof(int) * static_cast<size_t>(n));
  for (int i = 0; i < n; i++) order[RanksBelow(padded, blocks, ranks_[i])] = list[i];
  for (int i = 0; i < n; i++) text = ids.Append(order[i], text);
  return text;
}

// Appends the old ids of ranks_[0 .. n), which lie in the `words` * 64 ranks
// from low, ascending, through a bitmap of that range.
char* LineText::AppendFromBits(const IdText& ids, int low, int words, int n, char* text) {
  if (bits_.size() < static_cast<size_t>(words)) bits_.resize(words, 0);
  for (int i = 0; i < n; i++) {
    const int b = ranks_[i] - low;
    bits_[b / 64] |= uint64_t{1} << (b % 64);
  }
  for (int w = 0; w < words; w++) {
    for (uint64_t word = bits_[w]; word; word &= word - 1) {
      const int rank = low + 64 * w + __builtin_ctzll(word);
      text = ids.Append(ids.byrank[rank], text);
    }
    bits_[w] = 0;
  }
  return text;
}

// Writes the buffered lines and makes room for `room` bytes. After a failed
// write nothing more is written.
void LineText::Flush(size_t room) {
  if (emit_) {
    if (used_) (*emit_)(buffer_.get(), used_);
  } else if (used_ && fwrite(buffer_.get(), 1, used_, file_) != used_) {
    error_ = errno ? errno : EIO;
  }
  used_ = 0;
  Reserve(room);
}

// The buffer is not cleared, so only the part that lines reach is touched.
void LineText::Reserve(size_t size) {
  if (size_ >= size) return;
  buffer_.reset(new char[size]);
  size_ = size;
}

}  // namespace quasibiclique

// The text of result lines: "t1 t2 ... ;i1 i2 ... \n", the dataset ids of
// each side in ascending order, each followed by a space. The lines collect
// in a buffer that goes to a file or is handed on in blocks.
#ifndef QUASIBICLIQUE_LINE_TEXT_H
#define QUASIBICLIQUE_LINE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace quasibiclique {

// Output text of ids, per new id one 16-byte slot: the length of the text,
// the old id in decimal and a space, and the id's rank, its position in
// ascending old-id order (ties by new id). One fetch gives a list's writer
// both the order and the text of an id.
struct IdText {
  struct alignas(16) Slot {
    char text[12];  // text[0]: length of the text that follows
    int rank;
  };
  static constexpr size_t kSlot = sizeof(Slot);
  void Build(const int* oldid, int n);  // oldid maps new ids 0 .. n-1
  int Rank(int id) const { return slots[id].rank; }
  // Appends the text of new id `id`; writes kSlot - 1 bytes, advances by its length.
  char* Append(int id, char* text) const {
    const char* slot = reinterpret_cast<const char*>(&slots[id]);
    memcpy(text, slot + 1, kSlot - 1);
    return text + slot[0];
  }
  void Prefetch(int id) const { __builtin_prefetch(&slots[id]); }
  std::vector<Slot> slots;
  std::vector<int> byrank;  // rank -> new id
};

// The texts of both id maps of a run, built once and read by every writer
// of it: tids maps new tids 0 .. tidnum - 1, items new items 0 .. itemnum - 1.
struct IdTexts {
  IdText tids, items;
  void Build(const int* tidoldid, int tidnum, const int* itemoldid, int itemnum) {
    tids.Build(tidoldid, tidnum);
    items.Build(itemoldid, itemnum);
  }
};

// Lines of new ids written as the text of their old ids. A LineText is
// started, takes lines, and is finished; it keeps its buffer from one use to
// the next.
class LineText {
 public:
  // Where the text goes when it is handed on: blocks of whole lines.
  using TextBlocks = std::function<void(const char* text, size_t size)>;

  // The lines go to `file` with fwrite, or to `emit`, in blocks of at
  // least `block` bytes (the buffer only grows), with the texts of `ids`.
  void Start(std::FILE* file, const IdTexts& ids, size_t block);
  void Start(const TextBlocks& emit, const IdTexts& ids, size_t block);
  // Line of tids[0 .. ntids) and items[0 .. nitems), new ids in any order.
  // After a failed write nothing more is written.
  void Write(const int* tids, int ntids, const int* items, int nitems);
  // Writes or hands on what is buffered. Returns 0, or the errno of the
  // first write that failed.
  int Finish();

 private:
  static constexpr int kShortList = 32;  // lists that may be ordered by counting
  void Begin(const IdTexts& ids, size_t block);
  char* AppendSorted(const int* list, int n, const IdText& ids, char* text);
  char* AppendCounted(const int* list, int n, const IdText& ids, char* text);
  char* AppendFromBits(const IdText& ids, int low, int words, int n, char* text);
  void Flush(size_t room);
  void Reserve(size_t size);

  const IdText* tidtext_ = nullptr;
  const IdText* itemtext_ = nullptr;
  std::vector<int> ranks_;        // ranks of the list being written
  std::vector<uint64_t> bits_;    // ranks as bits from a base; all zero between lines
  std::unique_ptr<char[]> buffer_;  // formatted lines not yet written
  size_t size_ = 0;                 // bytes of buffer_
  size_t used_ = 0;                 // bytes of buffer_ in use
  std::FILE* file_ = nullptr;         // where the lines go, while started
  const TextBlocks* emit_ = nullptr;  // or where they are handed on
  int error_ = 0;                     // errno of the first failed write
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_LINE_TEXT_H

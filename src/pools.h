// Memory schemes of the miner: the int arena, the page pools, page blocks
// and the pointer-array pools. Every operation on the pools is inline so that
// call sites stay one short line; the rare paths (exhaustion, first
// allocation) and the system calls are out of line, in pools.cpp. Nothing here depends on the miner or the program around it.
#ifndef QUASIBICLIQUE_POOLS_H
#define QUASIBICLIQUE_POOLS_H

#include <cassert>
#include <cstddef>
#include <vector>

namespace quasibiclique {

// What a run meets when a memory resource is exhausted: `what` names it.
// Thrown by OutOfMemory; the run or load that catches it ends with an
// out-of-memory status, every block freed by the destructors on the way.
struct MemoryExhausted {
  const char* what;
};

// Used for every exhausted memory resource: throws MemoryExhausted.
[[noreturn]] void OutOfMemory(const char* what);

// Bytes of address space this process may map: the tighter of its
// address-space and data-segment limits (thread stacks and the arenas count
// against both); SIZE_MAX when neither is set.
size_t MappableBytes();

// The most one large reservation (an arena, a stack) may take of a limited
// address space is its sixteenth, shared by the reservations of one kind:
// the heap keeps the rest, so that allowing a run more memory never leaves
// its heap less.
size_t ShareOfMappable(size_t sharers);

// The size to reserve for a large region of address space: `bytes` when that
// much can be reserved; otherwise half of the largest halving of it that can,
// so that the heap keeps room beside the region; 0 when not even `smallest`
// can be reserved.
size_t ReservableSize(size_t bytes, size_t smallest);

// ---------------------------------------------------------------------------
// Int arena: one reservation of address space used as a stack of int blocks.
// The operating system commits its pages only when they are first touched, so
// resident memory follows the deepest point the search reaches, and a block
// handed out never moves. Takes and releases are strictly last in, first out.
// Each run owns its arena; nothing reaches one through a global.
// ---------------------------------------------------------------------------
class Arena {
 public:
  // Reserves as much address space as the machine has memory, at most its
  // share of a limited address space among `sharers` arenas of a run, less
  // when the system refuses; throws MemoryExhausted when not even a small
  // arena can be had.
  explicit Arena(size_t sharers = 1);
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  int* Take(long long n) {
    int* block = base_ + position_;
    position_ += n;
    if (position_ > capacity_) OutOfMemory("the int arena is exhausted");
    return block;
  }
  void Release(long long n) {
    position_ -= n;
    assert(position_ >= 0);
  }
  long long Position() const { return position_; }  // ints in use
  long long Capacity() const { return capacity_; }  // ints reserved

 private:
  int* base_ = nullptr;
  long long position_ = 0;
  long long capacity_ = 0;
};

// ---------------------------------------------------------------------------
// Page pools: chains of IntPages from which counted int records are cut.
//
// Invariants that keep chains linked without walking them:
//   1. Every user starts its own chain before its first take and never
//      continues another user's page.
//   2. A user makes all its takes before it calls anything that starts
//      another chain in the same pool.
//   3. Chains are released in reverse order of their starts; permanent
//      chains are never released.
// Under these rules the free list is a concatenation of released chains, so a
// chain that pops a page after its first one pops exactly the page its current
// page already links to; pages that are newly allocated are linked explicitly.
// ---------------------------------------------------------------------------
struct IntPage {
  IntPage* link;  // next page of a chain or of the free list
  int slot[1];    // `ints` ints of records follow (allocated past the struct)
};

// A pool owns every page it ever allocated and frees them all when it is
// destroyed, whatever chains are still open (a run ended by running out of
// memory leaves some open).
struct PagePool {
  PagePool() = default;
  ~PagePool();
  PagePool(const PagePool&) = delete;
  PagePool& operator=(const PagePool&) = delete;

  int ints = 0;              // ints per page: large enough for the longest record
  IntPage* page = nullptr;   // current page
  int left = 0;              // ints left in the current page
  int pos = 0;               // index of the next free int in the current page
  IntPage* free = nullptr;   // free-page list
  std::vector<IntPage*> pages;  // every page allocated, for the destructor
};

IntPage* NewIntPage(PagePool& pool);  // never returns null
// Frees the pages of the free list now instead of with the pool.
void FreeUnusedPages(PagePool& pool);

// Starts a chain and returns its first page.
inline IntPage* PoolStartChain(PagePool& pool) {
  IntPage* first = pool.free;
  if (first) pool.free = first->link;
  else first = NewIntPage(pool);
  pool.page = first;
  pool.left = pool.ints;
  pool.pos = 0;
  return first;
}

// Cuts a record of n ints (n <= pool.ints) from the current chain.
inline int* PoolTake(PagePool& pool, int n) {
  assert(n <= pool.ints);
  if (pool.left < n) {
    IntPage* next = pool.free;
    if (next) {
      pool.free = next->link;
    } else {
      next = NewIntPage(pool);
      pool.page->link = next;
    }
    pool.page = next;
    pool.left = pool.ints;
    pool.pos = 0;
  }
  int* record = pool.page->slot + pool.pos;
  pool.pos += n;
  pool.left -= n;
  return record;
}

// Gives a whole chain back: `last` is the chain's current page as it was
// after its last take.
inline void PoolReleaseChain(PagePool& pool, IntPage* first, IntPage* last) {
  last->link = pool.free;
  pool.free = first;
}

// Ends a chain that lives until the pool is freed.
inline void PoolEndPermanentChain(PagePool& pool) { pool.page->link = nullptr; }

// ---------------------------------------------------------------------------
// Page blocks: whole pages straight from the system, given back to it the
// moment they are released (a freed heap block may stay with the process).
// Never returns null.
// ---------------------------------------------------------------------------

void* TakePages(size_t bytes);
void GivePages(void* block, size_t bytes);

// ---------------------------------------------------------------------------
// Pointer-array pools: arrays of `entries` + 1 int pointers; the extra last
// entry holds the free-list link while the array is free. Users give arrays
// back with every other entry null.
// ---------------------------------------------------------------------------
struct PointerArrayPool {
  PointerArrayPool() = default;
  ~PointerArrayPool();
  PointerArrayPool(const PointerArrayPool&) = delete;
  PointerArrayPool& operator=(const PointerArrayPool&) = delete;

  int entries = 0;          // usable entries; index `entries` is the link
  int** free = nullptr;     // free list
  std::vector<int**> arrays;  // every array allocated, for the destructor
};

// An array of pool.entries null entries (and the link); never returns null.
int** NewPointerArray(PointerArrayPool& pool);

inline int** PointerArrayTake(PointerArrayPool& pool) {
  int** array = pool.free;
  if (array) pool.free = reinterpret_cast<int**>(array[pool.entries]);
  else array = NewPointerArray(pool);
  return array;
}

inline void PointerArrayRelease(PointerArrayPool& pool, int** array) {
  array[pool.entries] = reinterpret_cast<int*>(pool.free);
  pool.free = array;
}

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_POOLS_H

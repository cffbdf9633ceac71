// The out-of-line half of the memory schemes: reserving and giving back the
// int arena, allocating and freeing pool pages and pointer arrays, and the
// one way a run ends when memory runs out.
#include "pools.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

int* Arraypage = nullptr;
long long Arraypagepos = 0;
long long Arraypagemax = 0;

namespace {
MemoryExhaustedHandler exhaustedhandler = nullptr;
}  // namespace

void SetMemoryExhaustedHandler(MemoryExhaustedHandler handler) { exhaustedhandler = handler; }

void OutOfMemory(const char* what) {
  if (exhaustedhandler) exhaustedhandler(what);
  abort();
}

namespace {

void* Reserve(size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

}  // namespace

size_t ReservableSize(size_t bytes, size_t smallest) {
  for (bool refused = false; bytes >= smallest; bytes /= 2, refused = true) {
    void* probe = Reserve(bytes);
    if (!probe) continue;
    munmap(probe, bytes);
    return refused && bytes / 2 >= smallest ? bytes / 2 : bytes;
  }
  return 0;
}

// The arena asks for as much address space as the machine has memory; pages
// are committed by the system only when touched. When the reservation is
// refused (address-space limits, strict overcommit) a smaller one is taken
// that leaves headroom for the heap.
int ArenaCreate() {
  long long pages = sysconf(_SC_PHYS_PAGES);
  long long pagesize = sysconf(_SC_PAGESIZE);
  const size_t wanted = (pages > 0 && pagesize > 0) ? size_t(pages) * size_t(pagesize)
                                                    : size_t{1} << 32;
  const size_t bytes = ReservableSize(wanted, size_t{1} << 20);
  void* block = bytes ? Reserve(bytes) : nullptr;
  if (!block) return 0;
  Arraypage = static_cast<int*>(block);
  Arraypagemax = static_cast<long long>(bytes / sizeof(int));
  Arraypagepos = 0;
  return 1;
}

void ArenaDestroy() {
  if (Arraypage) munmap(Arraypage, size_t(Arraypagemax) * sizeof(int));
  Arraypage = nullptr;
  Arraypagemax = 0;
  Arraypagepos = 0;
}

void* TakePages(size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) OutOfMemory("no memory for nodes of the result store");
  return block;
}

void GivePages(void* block, size_t bytes) { munmap(block, bytes); }

IntPage* NewIntPage(int ints) {
  void* raw = malloc(offsetof(IntPage, slot) + size_t(ints) * sizeof(int));
  if (!raw) OutOfMemory("no memory for a page");
  IntPage* page = static_cast<IntPage*>(raw);
  page->link = nullptr;
  return page;
}

void FreeIntPages(IntPage* first, IntPage* stop) {
  while (first && first != stop) {
    IntPage* next = first->link;
    free(first);
    first = next;
  }
}

int** NewPointerArray(int entries) {
  void* raw = calloc(size_t(entries) + 1, sizeof(int*));
  if (!raw) OutOfMemory("no memory for a pointer array");
  return static_cast<int**>(raw);
}

void FreePointerArrays(PointerArrayPool& pool) {
  while (pool.free) {
    int** next = reinterpret_cast<int**>(pool.free[pool.entries]);
    free(pool.free);
    pool.free = next;
  }
}

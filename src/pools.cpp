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

// The arena asks for as much address space as the machine has memory; pages
// are committed by the system only when touched. When the reservation is
// refused (address-space limits, strict overcommit) it retries with half,
// and keeps half of what it finally got as headroom for the heap.
int ArenaCreate() {
  long long pages = sysconf(_SC_PHYS_PAGES);
  long long pagesize = sysconf(_SC_PAGESIZE);
  size_t bytes = (pages > 0 && pagesize > 0) ? size_t(pages) * size_t(pagesize)
                                             : size_t{1} << 32;
  const size_t smallest = size_t{1} << 20;
  bool refused = false;
  for (; bytes >= smallest; bytes /= 2) {
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) {
      refused = true;
      continue;
    }
    if (refused && bytes / 2 >= smallest) {
      munmap(block, bytes);
      bytes /= 2;
      block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (block == MAP_FAILED) return 0;
    }
    Arraypage = static_cast<int*>(block);
    Arraypagemax = static_cast<long long>(bytes / sizeof(int));
    Arraypagepos = 0;
    return 1;
  }
  return 0;
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

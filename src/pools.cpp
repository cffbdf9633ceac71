// The out-of-line half of the memory schemes: reserving and giving back the
// int arena, allocating and freeing pool pages and pointer arrays, and the
// one way a run ends when memory runs out.
#include "pools.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <unordered_set>

namespace quasibiclique {

void OutOfMemory(const char* what) { throw MemoryExhausted{what}; }

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

namespace {

// The current value of a resource limit; SIZE_MAX when it is not set.
size_t LimitOf(int resource) {
  rlimit limit;
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return size_t(limit.rlim_cur);
}

}  // namespace

size_t MappableBytes() { return std::min(LimitOf(RLIMIT_AS), LimitOf(RLIMIT_DATA)); }

size_t ShareOfMappable(size_t sharers) {
  const size_t mappable = MappableBytes();
  return mappable == SIZE_MAX ? SIZE_MAX : mappable / 16 / std::max<size_t>(sharers, 1);
}

// The arena asks for as much address space as the machine has memory; pages
// are committed by the system only when touched. Under an address-space
// limit it takes its share; when the reservation is refused (strict
// overcommit) a smaller one is taken that leaves headroom for the heap.
Arena::Arena(size_t sharers) {
  long long pages = sysconf(_SC_PHYS_PAGES);
  long long pagesize = sysconf(_SC_PAGESIZE);
  const size_t machine = (pages > 0 && pagesize > 0) ? size_t(pages) * size_t(pagesize)
                                                     : size_t{1} << 32;
  const size_t wanted = std::min(machine, ShareOfMappable(sharers));
  const size_t bytes = ReservableSize(wanted, size_t{1} << 20);
  void* block = bytes ? Reserve(bytes) : nullptr;
  if (!block) OutOfMemory("the int arena cannot be reserved");
  base_ = static_cast<int*>(block);
  capacity_ = static_cast<long long>(bytes / sizeof(int));
}

Arena::~Arena() { munmap(base_, size_t(capacity_) * sizeof(int)); }

void* TakePages(size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) OutOfMemory("no memory for nodes of the result store");
  return block;
}

void GivePages(void* block, size_t bytes) { munmap(block, bytes); }

IntPage* NewIntPage(PagePool& pool) {
  pool.pages.reserve(pool.pages.size() + 1);  // so that the page is never lost
  void* raw = malloc(offsetof(IntPage, slot) + size_t(pool.ints) * sizeof(int));
  if (!raw) OutOfMemory("no memory for a page");
  IntPage* page = static_cast<IntPage*>(raw);
  page->link = nullptr;
  pool.pages.push_back(page);
  return page;
}

PagePool::~PagePool() {
  for (IntPage* page : pages) std::free(page);
}

void FreeUnusedPages(PagePool& pool) {
  std::unordered_set<IntPage*> unused;
  for (IntPage* page = pool.free; page; page = page->link) unused.insert(page);
  auto gone = [&](IntPage* page) { return unused.count(page) != 0; };
  pool.pages.erase(std::remove_if(pool.pages.begin(), pool.pages.end(), gone), pool.pages.end());
  for (IntPage* page : unused) free(page);
  pool.free = nullptr;
}

int** NewPointerArray(PointerArrayPool& pool) {
  pool.arrays.reserve(pool.arrays.size() + 1);
  void* raw = calloc(size_t(pool.entries) + 1, sizeof(int*));
  if (!raw) OutOfMemory("no memory for a pointer array");
  pool.arrays.push_back(static_cast<int**>(raw));
  return pool.arrays.back();
}

PointerArrayPool::~PointerArrayPool() {
  for (int** array : arrays) std::free(array);
}

}  // namespace quasibiclique

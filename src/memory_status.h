// Running out of memory as a status: the one place where what the memory
// schemes and the heap throw becomes an OutOfMemory result.
#ifndef QUASIBICLIQUE_MEMORY_STATUS_H
#define QUASIBICLIQUE_MEMORY_STATUS_H

#include <new>

#include "pools.h"
#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

// Returns what `work` returns, or OutOfMemory naming the exhausted resource
// when it runs out of memory (everything it held is freed by then).
template <typename Work>
Status GuardMemory(Work&& work) {
  try {
    return work();
  } catch (const MemoryExhausted& e) {
    return Status::OutOfMemory(e.what);
  } catch (const std::bad_alloc&) {
    return Status::OutOfMemory("an allocation from the heap failed");
  }
}

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_MEMORY_STATUS_H

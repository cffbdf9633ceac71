// Scoped takes from a run's int arena.
#ifndef QUASIBICLIQUE_ARENA_SCOPE_H
#define QUASIBICLIQUE_ARENA_SCOPE_H

#include <cassert>

#include "pools.h"

namespace quasibiclique {

// The arena blocks of one function call: Take cuts a block, and the scope
// gives back everything it took in one release when it ends, so no release is
// ever summed by hand. Scopes nest like the calls that hold them, which keeps
// the arena last in, first out; debug builds assert on every exit that the
// calls below gave back all they took, so that the arena is back where the
// scope found it.
class ArenaScope {
 public:
  explicit ArenaScope(Arena& arena) : arena_(arena) {}
  ArenaScope(const ArenaScope&) = delete;
  ArenaScope& operator=(const ArenaScope&) = delete;
  ~ArenaScope() {
    assert(arena_.Position() == entry_ + taken_);
    arena_.Release(taken_);
  }

  int* Take(long long n) {
    taken_ += n;
    return arena_.Take(n);
  }

 private:
  Arena& arena_;
#ifndef NDEBUG
  long long entry_ = arena_.Position();
#endif
  long long taken_ = 0;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_ARENA_SCOPE_H

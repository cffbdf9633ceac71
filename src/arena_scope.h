// Scoped takes from the int arena.
#ifndef QUASIBICLIQUE_ARENA_SCOPE_H
#define QUASIBICLIQUE_ARENA_SCOPE_H

#include <cassert>

#include "pools.h"

// The arena blocks of one function call: Take cuts a block, and the scope
// gives back everything it took in one release when it ends, so no release is
// ever summed by hand. Scopes nest like the calls that hold them, which keeps
// the arena last in, first out; debug builds assert on every exit that the
// calls below gave back all they took, so that the arena is back where the
// scope found it.
class ArenaScope {
 public:
  ArenaScope() = default;
  ArenaScope(const ArenaScope&) = delete;
  ArenaScope& operator=(const ArenaScope&) = delete;
  ~ArenaScope() {
    assert(Arraypagepos == entry_ + taken_);
    ArenaRelease(taken_);
  }

  int* Take(long long n) {
    taken_ += n;
    return ArenaTake(n);
  }

 private:
#ifndef NDEBUG
  long long entry_ = Arraypagepos;
#endif
  long long taken_ = 0;
};

#endif  // QUASIBICLIQUE_ARENA_SCOPE_H

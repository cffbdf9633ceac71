// The exact search: a set-enumeration branch and bound over partial pairs.
//
// A node holds, for each side (transactions, items), three vertex sets:
//   P  the partial pair; P is a quasi-biclique (within both tolerances)
//   C  candidates: vertices not in P that can join P alone within both tolerances
//   X  excluded vertices that could join P alone but were ruled out by an
//      earlier branch; a leaf is maximal only when X is empty
// Quasi-bicliques are closed under taking subsets, so a vertex that cannot join
// P cannot join any extension of P, and a leaf (C empty) is maximal exactly
// when no vertex of X can join it.
//
// Pruning at every node:
//   * sizes: |P| + |C| must reach the least size of each side;
//   * degrees: a vertex with d neighbours among P u C of the other side lies
//     only in pairs whose other side has at most d + its tolerance vertices;
//     a vertex of P below the least size kills the node, a candidate or an
//     excluded vertex below it is dropped (it can neither join nor block a
//     result of this branch); repeated until nothing changes.
// Branching on a pivot u of C u X whose non-neighbours in P have room for u in
// every extension: a maximal pair of the branch that does not hold u must hold
// a candidate of the other side that u misses (otherwise u could join it), so
// the branches are "take u" (when u is a candidate) and, for each candidate q
// of the other side that u misses, "take q" with u and the earlier q excluded.
// The pivot is the vertex with the fewest branches, on either side. An
// excluded pivot with no such q ends the branch: every extension could still
// take it. Pivots with the single branch "take u" are taken together. When no
// vertex qualifies as a pivot, the node branches on a candidate that a vertex
// of P over its tolerance budget misses: take it, then exclude it and look
// again.
//
// Layout: the whole graph is read in place from the loaded database's
// transaction and item lists; a search works on bitsets of the vertices it can
// reach, one row per vertex, and the sets of a node are bitsets too, one frame
// of them per depth. Where the bounds confine every result to the
// neighbourhood of its first vertex on one side (see Decomposition), each such
// part is searched on bitsets of its own vertices only, which keeps sparse
// graphs cheap; otherwise one search covers the graph.
//
// Undirected graphs: tid k and item k are the same vertex; a vertex that joins
// one side leaves the other side's candidate and excluded sets.
#include "exact.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <atomic>
#include <chrono>
#include <deque>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>
#include <vector>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

namespace quasibiclique {
namespace {

using Word = uint64_t;

int WordsFor(int n) { return (n + 63) / 64; }

// Vertex sets are bitsets of `w` words.
inline void Add(Word* a, int v) { a[v >> 6] |= Word{1} << (v & 63); }
inline void Drop(Word* a, int v) { a[v >> 6] &= ~(Word{1} << (v & 63)); }

inline int Count(const Word* a, int w) {
  int n = 0;
  for (int k = 0; k < w; k++) n += __builtin_popcountll(a[k]);
  return n;
}
inline bool Empty(const Word* a, int w) {
  for (int k = 0; k < w; k++) {
    if (a[k]) return false;
  }
  return true;
}
// |a n b|
inline int CountAnd(const Word* a, const Word* b, int w) {
  int n = 0;
  for (int k = 0; k < w; k++) n += __builtin_popcountll(a[k] & b[k]);
  return n;
}
// |a \ b|
inline int CountAndNot(const Word* a, const Word* b, int w) {
  int n = 0;
  for (int k = 0; k < w; k++) n += __builtin_popcountll(a[k] & ~b[k]);
  return n;
}
// |(a u b) \ c|
inline int CountUnionAndNot(const Word* a, const Word* b, const Word* c, int w) {
  int n = 0;
  for (int k = 0; k < w; k++) n += __builtin_popcountll((a[k] | b[k]) & ~c[k]);
  return n;
}
// (a \ b) is a subset of c
inline bool DifferenceWithin(const Word* a, const Word* b, const Word* c, int w) {
  for (int k = 0; k < w; k++) {
    if (a[k] & ~b[k] & ~c[k]) return false;
  }
  return true;
}
// (a \ b) meets c
inline bool DifferenceMeets(const Word* a, const Word* b, const Word* c, int w) {
  for (int k = 0; k < w; k++) {
    if (a[k] & ~b[k] & c[k]) return true;
  }
  return false;
}
inline void Copy(Word* to, const Word* from, int w) { std::copy(from, from + w, to); }
inline void Clear(Word* a, int w) { std::fill(a, a + w, Word{0}); }

// Calls f(v) for every member v, ascending. f may drop members.
template <typename F>
inline void ForEach(const Word* a, int w, F f) {
  for (int k = 0; k < w; k++) {
    for (Word bits = a[k]; bits; bits &= bits - 1) f(k * 64 + __builtin_ctzll(bits));
  }
}

// The two sides of the bipartite graph; every per-side array is indexed by
// them.
enum Side { kTransactions = 0, kItems = 1 };
inline Side Other(Side s) { return static_cast<Side>(s ^ 1); }

// Both sides in order, for `for (Side s : kSides)`. It counts like a loop
// over 0 and 1, which the compiler unrolls as it would that loop (over an
// array of the two sides the search ran some 5 % slower).
struct Sides {
  struct Iterator {
    int side;
    Side operator*() const { return static_cast<Side>(side); }
    void operator++() { side++; }
    bool operator!=(Iterator other) const { return side != other.side; }
  };
  Iterator begin() const { return {kTransactions}; }
  Iterator end() const { return {kItems + 1}; }
};
constexpr Sides kSides;

// The neighbours of one vertex: ascending ids of the other side.
struct IdRange {
  const int* first;
  const int* last;
  const int* begin() const { return first; }
  const int* end() const { return last; }
};

// The loaded database read in place: vertex v of side s has the counted list
// lists[s][v] = [degree | neighbours]. Undirected graphs have both sides
// equal.
struct DatabaseGraph {
  int count[2];
  int* const* lists[2];  // kTransactions: the tranlist; kItems: the itemlist
  int Degree(Side s, int v) const { return lists[s][v][0]; }
  IdRange Neighbours(Side s, int v) const {
    const int* list = lists[s][v];
    return {list + 1, list + 1 + list[0]};
  }
};

// One part of the graph, renumbered, with storage of its own as compressed
// rows per side: the neighbours of vertex v of side s are
// list[s][begin[s][v] .. begin[s][v + 1]).
struct PartGraph {
  int count[2] = {0, 0};
  std::vector<int> begin[2];  // count[s] + 1 offsets into list[s]
  std::vector<int> list[2];
  IdRange Neighbours(Side s, int v) const {
    const int* row = list[s].data();
    return {row + begin[s][v], row + begin[s][v + 1]};
  }
};

// The parameters as the search uses them, per side.
struct Bounds {
  int tolerance[2];    // misses allowed to one vertex of that side
  long long least[2];  // least size of that side in a result
  bool undirected;
  RunMonitor* monitor;
  TaskShare* share;

  explicit Bounds(const ExactInput& in)
      : undirected(in.undirected), monitor(in.monitor), share(in.share) {
    // With one tolerance 0 the other cannot be used: a transaction that
    // lacks none of the items leaves every item complete.
    bool anyzero = in.transactionTolerance == 0 || in.itemTolerance == 0;
    tolerance[kTransactions] = anyzero ? 0 : in.transactionTolerance;
    tolerance[kItems] = anyzero ? 0 : in.itemTolerance;
    least[kTransactions] = std::max(2, in.transaction_supportLevel);
    least[kItems] = in.item_supportLevel;
  }
};

// The sets of one node, per side. P, C and X are the node's state. The three
// working sets after them each serve several roles, never two at a time, so
// the roles of one working set share its storage (equal enumerators).
enum Kind {
  kPair,  // P
  kCand,  // C
  kExcl,  // X
  // First working set.
  kBranch,               // BranchOnPivot: the vertices still to branch on
  kForced = kBranch,     // Choose to TakeForced: candidates whose only branch is to take them
  kMissesOne = kBranch,  // DropMissingMore: vertices missing one vertex of reach or more
  // Second working set.
  kReach,               // DropWeak, on the other side: P u C
  kRoom = kReach,       // Choose: vertices of P with room for one more candidate
  kMissesTwo = kReach,  // DropMissingMore: vertices missing two vertices of reach or more
  // Third working set.
  kSpare,                 // Choose: vertices of P with a miss to spare (room for an outsider)
  kFull = kSpare,         // TakeForced: vertices of P with no miss to spare
  kNewlyFull = kSpare,    // Include, in the child: vertices of P left with no miss to spare
  kMissesThree = kSpare,  // DropMissingMore: vertices missing three vertices of reach or more
  kKinds = kSpare + 1
};

// How a node goes on.
struct Choice {
  enum Way { kKill, kPivot, kForce, kSingle } way = kKill;
  Side side = kTransactions;
  int vertex = -1;
  bool candidate = false;  // kPivot: the pivot is a candidate (else excluded)
};

// What dropping weak vertices left of a node. Dropped excluded vertices
// change no size the reduction tests, so only dropped candidates call for
// another round.
enum class Weeded { kDead, kCandidatesDropped, kCandidatesKept };

// The vertex of P with the least slack: its tolerance minus its misses among
// P u C of the other side (below 0: over its budget).
struct Tightest {
  Side side = kTransactions;
  int vertex = -1;  // -1: P is empty
  int slack = INT_MAX;
};

// The candidates and excluded vertices of a node weighed as pivots.
struct Weighing {
  Choice best;          // the first pivot with the fewest branches; way kKill if none
  int cost = INT_MAX;   // its number of branches
  bool forced = false;  // some candidate's only branch is to take it (marked in kForced)
  bool dead = false;    // an excluded vertex can join every extension
};

// One graph of a search as bitsets, one row per vertex, with the maps from
// its ids to the ids handed to the sink. Immutable once built, so that the
// workers of a parallel search read it together.
struct BitGraph {
  int count[2] = {0, 0};        // vertices per side
  int words[2] = {0, 0};        // words of a set of that side
  std::vector<Word> adj[2];     // count[s] rows of words[Other(s)] words
  std::vector<int> globalid[2];  // empty: the ids are handed over as they are

  // globalid[s] maps the ids of side s of g to the sink's ids (ascending
  // with them), or is null for the same ids.
  template <typename Graph>
  void Build(const Graph& g, const int* globalid0, const int* globalid1);
};

template <typename Graph>
void BitGraph::Build(const Graph& g, const int* globalid0, const int* globalid1) {
  const int* maps[2] = {globalid0, globalid1};
  for (Side s : kSides) {
    count[s] = g.count[s];
    words[s] = WordsFor(count[s]);
    globalid[s].clear();
    if (maps[s]) globalid[s].assign(maps[s], maps[s] + count[s]);
  }
  for (Side s : kSides) {
    adj[s].assign(size_t(count[s]) * words[Other(s)], 0);
    for (int v = 0; v < count[s]; v++) {
      Word* row = adj[s].data() + size_t(v) * words[Other(s)];
      for (int u : g.Neighbours(s, v)) Add(row, u);
    }
  }
}

using SharedGraph = std::shared_ptr<const BitGraph>;

// Where a search hands nodes to other workers: a parallel search cuts its
// tree into tasks, one per node handed over, while some worker waits for
// work.
class TaskSpawner {
 public:
  // Some worker waits for work.
  virtual bool Hungry() const = 0;
  // The search has failed elsewhere (a worker ran out of memory): nothing
  // more is searched.
  virtual bool Cancelled() const = 0;
  // Searches the node `frame` (a frame of `words` words) of graph g as a
  // task of its own; the frame is copied.
  virtual void Spawn(const SharedGraph& g, const Word* frame, int words) = 0;

 protected:
  ~TaskSpawner() = default;  // never deleted through this interface
};

// The branch and bound on one graph held as bitsets.
class Search {
 public:
  // spawner: where nodes go as tasks of their own; null searches every node
  // here.
  Search(const Bounds& bounds, PairSink& sink, TaskSpawner* spawner);
  // Takes the graph and empties the root node.
  void Attach(SharedGraph g);
  void AddToRoot(Side side, Kind kind, int v) { Add(Set(Frame(0), side, kind), v); }
  // Searches the root node.
  void RunRoot() { Node(0); }
  // Searches the root node's branch that takes candidate v of `side`.
  void RunBranch(Side side, int v) { SearchChild(Frame(0), 0, side, v); }
  // Searches node `frame` of graph g, a frame of an attached search of g.
  void RunFrame(const SharedGraph& g, const Word* frame);
  long long found() const { return found_; }

 private:
  Word* Frame(int depth);
  Word* Set(Word* frame, Side side, Kind kind) const {
    return frame + offset_[side] + size_t(kind) * words_[side];
  }
  // Neighbours of v (a vertex of `side`) on the other side.
  const Word* Row(Side side, int v) const {
    return adj_[side] + size_t(v) * words_[Other(side)];
  }

  void Node(int depth);
  void SearchChild(Word* f, int depth, Side side, int v);
  // |P| + |C| of `side` reaches the least size of that side in a result.
  bool ReachesLeast(Word* f, Side side) const {
    return Count(Set(f, side, kPair), words_[side]) + Count(Set(f, side, kCand), words_[side]) >=
           bounds_.least[side];
  }
  bool Reduce(Word* f);
  Weeded DropWeak(Word* f, Side side);
  static constexpr int kMissLevels = 3;
  bool CountingByLevelsPays(Word* f, Side side, const Word* reach, long long allowed);
  Weeded DropMissingMore(Word* f, Side side, const Word* reach, int allowed);
  Choice Choose(Word* f);
  Weighing WeighPivots(Word* f);
  Choice MissedByOverBudget(Word* f, const Tightest& over);
  Tightest MarkRoom(Word* f);
  void BranchOnPivot(int depth, const Choice& pivot);
  void Include(Word* parent, Word* child, Side side, int v);
  void Exclude(Word* f, Side side, int v) {
    Drop(Set(f, side, kCand), v);
    Add(Set(f, side, kExcl), v);
  }
  bool CanJoin(Word* f, Side side, int v) const;
  bool TakeForced(Word* f);
  void MarkFull(Word* f);
  void Emit(Word* f);

  int count_[2] = {0, 0};  // vertices per side, as in graph_
  int words_[2] = {0, 0};  // words of a set of that side, as in graph_
  const Bounds bounds_;
  SharedGraph graph_;
  const Word* adj_[2] = {nullptr, nullptr};  // graph_'s rows
  // Offsets in a frame are ints, like words_, so that as far as the compiler
  // knows no store through a Word* changes them: it keeps them in registers
  // across the set operations instead of reloading them after every store,
  // as it must for size_t, the type of Word.
  int offset_[2] = {0, 0};  // where the sets of each side start
  int framewords_ = 0;      // words of a frame
  static constexpr int kFramesPerBlock = 64;
  // Frames by depth, kFramesPerBlock to a block; blocks are sized by Attach and
  // never move during a search.
  std::vector<std::vector<Word>> blocks_;
  const int* globalid_[2] = {nullptr, nullptr};  // graph_'s maps, null for none
  std::vector<int> out_[2];
  PairSink& sink_;
  TaskSpawner* const spawner_;
  long long found_ = 0;
};

Search::Search(const Bounds& bounds, PairSink& sink, TaskSpawner* spawner)
    : bounds_(bounds), sink_(sink), spawner_(spawner) {}

void Search::Attach(SharedGraph g) {
  graph_ = std::move(g);
  for (Side s : kSides) {
    count_[s] = graph_->count[s];
    words_[s] = graph_->words[s];
    adj_[s] = graph_->adj[s].data();
    globalid_[s] = graph_->globalid[s].empty() ? nullptr : graph_->globalid[s].data();
    if (int(out_[s].size()) < count_[s]) out_[s].resize(count_[s]);
  }
  offset_[kTransactions] = 0;
  offset_[kItems] = kKinds * words_[kTransactions];
  framewords_ = kKinds * (words_[kTransactions] + words_[kItems]);
  const size_t blockwords = size_t(kFramesPerBlock) * framewords_;
  for (auto& block : blocks_) {
    if (block.size() < blockwords) block.resize(blockwords);
  }
  Word* root = Frame(0);
  std::fill(root, root + framewords_, Word{0});
}

void Search::RunFrame(const SharedGraph& g, const Word* frame) {
  if (graph_ != g) Attach(g);
  Copy(Frame(0), frame, framewords_);
  Node(0);
}

Word* Search::Frame(int depth) {
  size_t block = size_t(depth) / kFramesPerBlock;
  while (blocks_.size() <= block) blocks_.emplace_back(size_t(kFramesPerBlock) * framewords_ + 1);
  return blocks_[block].data() + (size_t(depth) % kFramesPerBlock) * framewords_;
}

void Search::Node(int depth) {
  Word* f = Frame(depth);
  for (;;) {
    // A node can take many steps on a large graph: a stopped run ends
    // between them.
    if (bounds_.monitor) bounds_.monitor->ThrowIfStopped();
    if (!Reduce(f)) return;
    if (Empty(Set(f, kTransactions, kCand), words_[kTransactions]) &&
        Empty(Set(f, kItems, kCand), words_[kItems])) {
      if (Empty(Set(f, kTransactions, kExcl), words_[kTransactions]) &&
          Empty(Set(f, kItems, kExcl), words_[kItems])) {
        Emit(f);
      }
      return;
    }
    Choice choice = Choose(f);
    if (choice.way == Choice::kKill) return;
    if (choice.way == Choice::kForce) {
      if (!TakeForced(f)) return;
      continue;
    }
    if (choice.way == Choice::kPivot) {
      BranchOnPivot(depth, choice);
      return;
    }
    // No pivot: take the chosen candidate, then exclude it and look again.
    SearchChild(f, depth, choice.side, choice.vertex);
    Exclude(f, choice.side, choice.vertex);
  }
}

// Searches the child of node f (at depth) that takes v into `side`: here, or
// as a task of its own while some worker waits for work.
void Search::SearchChild(Word* f, int depth, Side side, int v) {
  // A stopped or failed run leaves the rest of every branch loop at once,
  // without making the children it would have searched.
  if (bounds_.monitor) bounds_.monitor->ThrowIfStopped();
  if (spawner_ && spawner_->Cancelled()) return;
  Word* child = Frame(depth + 1);
  Include(f, child, side, v);
  if (!spawner_) {
    Node(depth + 1);
  } else if (spawner_->Hungry()) {
    spawner_->Spawn(graph_, child, framewords_);
  } else {
    Node(depth + 1);
  }
}

// Drops hopeless candidates and excluded vertices until nothing changes.
// Returns false when no result can come from the node.
bool Search::Reduce(Word* f) {
  for (;;) {
    if (bounds_.monitor) bounds_.monitor->ThrowIfStopped();
    bool changed = false;
    for (Side s : kSides) {
      const Weeded weeded = DropWeak(f, s);
      if (weeded == Weeded::kDead) return false;
      if (weeded == Weeded::kCandidatesDropped) changed = true;
    }
    for (Side s : kSides) {
      if (!ReachesLeast(f, s)) return false;
    }
    if (!changed) return true;
  }
}

// A vertex of `side` with fewer than least - tolerance neighbours among P u C
// of the other side lies in no result of this node. Such a vertex of P kills
// the node; a candidate or excluded one is dropped.
Weeded Search::DropWeak(Word* f, Side side) {
  const Side other = Other(side);
  const long long need = bounds_.least[other] - bounds_.tolerance[side];
  if (need <= 0) return Weeded::kCandidatesKept;
  const int w = words_[other];
  Word* reach = Set(f, other, kReach);
  const Word* pair = Set(f, other, kPair);
  const Word* cand = Set(f, other, kCand);
  for (int k = 0; k < w; k++) reach[k] = pair[k] | cand[k];
  const long long allowed = Count(reach, w) - need;  // misses of reach a vertex may have
  if (allowed < kMissLevels && CountingByLevelsPays(f, side, reach, allowed)) {
    return DropMissingMore(f, side, reach, static_cast<int>(allowed));
  }
  bool alive = true;
  ForEach(Set(f, side, kPair), words_[side], [&](int v) {
    if (CountAnd(Row(side, v), reach, w) < need) alive = false;
  });
  if (!alive) return Weeded::kDead;
  bool dropped = false;
  for (Kind kind : {kCand, kExcl}) {
    Word* set = Set(f, side, kind);
    ForEach(set, words_[side], [&](int v) {
      if (CountAnd(Row(side, v), reach, w) >= need) return;
      Drop(set, v);
      if (kind == kCand) dropped = true;
    });
  }
  return dropped ? Weeded::kCandidatesDropped : Weeded::kCandidatesKept;
}

// Counting the misses of all vertices of a side together, one level per
// count, costs a pass over the side per vertex of reach and level; counting
// them one vertex at a time costs a pass over reach per vertex. The first
// pays when reach is small and the side large (a few items against thousands
// of transactions).
bool Search::CountingByLevelsPays(Word* f, Side side, const Word* reach, long long allowed) {
  if (allowed < 0) return true;
  const int w = words_[side];
  const long long vertices = Count(Set(f, side, kPair), w) + Count(Set(f, side, kCand), w) +
                             Count(Set(f, side, kExcl), w);
  return Count(reach, words_[Other(side)]) * (allowed + 1) * w < vertices * words_[Other(side)];
}

// DropWeak by levels: level j holds the vertices of P u C u X of `side` that
// miss at least j + 1 vertices of reach; a vertex on level `allowed` misses
// too many.
Weeded Search::DropMissingMore(Word* f, Side side, const Word* reach, int allowed) {
  const int w = words_[side];
  Word* pair = Set(f, side, kPair);
  Word* cand = Set(f, side, kCand);
  Word* excl = Set(f, side, kExcl);
  Word* level[kMissLevels] = {Set(f, side, kMissesOne), Set(f, side, kMissesTwo),
                              Set(f, side, kMissesThree)};
  Word* over = level[0];
  if (allowed < 0) {
    std::fill(over, over + w, ~Word{0});
  } else {
    for (int j = 0; j <= allowed; j++) Clear(level[j], w);
    ForEach(reach, words_[Other(side)], [&](int u) {
      const Word* row = Row(Other(side), u);
      for (int k = 0; k < w; k++) {
        const Word missing = (pair[k] | cand[k] | excl[k]) & ~row[k];
        for (int j = allowed; j > 0; j--) level[j][k] |= level[j - 1][k] & missing;
        level[0][k] |= missing;
      }
    });
    over = level[allowed];
  }
  bool dropped = false;
  for (int k = 0; k < w; k++) {
    if (pair[k] & over[k]) return Weeded::kDead;
    if (cand[k] & over[k]) dropped = true;
    cand[k] &= ~over[k];
    excl[k] &= ~over[k];
  }
  return dropped ? Weeded::kCandidatesDropped : Weeded::kCandidatesKept;
}

// Marks in kRoom of each side the vertices of P whose misses among P u C of
// the other side stay within their tolerance ("room for one more candidate"),
// and in kSpare those with one miss to spare ("room for an outsider").
// Returns the first vertex of P with the least slack.
Tightest Search::MarkRoom(Word* f) {
  Tightest tightest;
  for (Side side : kSides) {
    const Side other = Other(side);
    Word* room = Set(f, side, kRoom);
    Word* spare = Set(f, side, kSpare);
    Clear(room, words_[side]);
    Clear(spare, words_[side]);
    const Word* pair = Set(f, other, kPair);
    const Word* cand = Set(f, other, kCand);
    ForEach(Set(f, side, kPair), words_[side], [&](int v) {
      const int misses = CountUnionAndNot(pair, cand, Row(side, v), words_[other]);
      const int slack = bounds_.tolerance[side] - misses;
      if (slack >= 0) Add(room, v);
      if (slack >= 1) Add(spare, v);
      if (slack < tightest.slack) tightest = Tightest{side, v, slack};
    });
  }
  return tightest;
}

// Picks the pivot with the fewest branches, or reports that an excluded
// vertex can join every extension, or (no pivot) a candidate to branch on.
Choice Search::Choose(Word* f) {
  const Tightest over = MarkRoom(f);  // vertex of P furthest over its budget
  const Weighing weighing = WeighPivots(f);
  if (weighing.dead) return Choice{};
  if (weighing.forced) return Choice{Choice::kForce};
  if (weighing.best.way == Choice::kPivot) return weighing.best;
  return MissedByOverBudget(f, over);
}

// Weighs the candidates and excluded vertices of both sides as pivots:
// returns the first with the fewest branches, and marks in kForced the
// candidates whose only branch is to take them. Stops at an excluded vertex
// that can join every extension.
Weighing Search::WeighPivots(Word* f) {
  for (Side s : kSides) Clear(Set(f, s, kForced), words_[s]);
  Weighing weighing;
  for (Side s : kSides) {
    const Side o = Other(s);
    const Word* pair = Set(f, o, kPair);
    const Word* cand = Set(f, o, kCand);
    for (Kind kind : {kCand, kExcl}) {
      const Word* needed = Set(f, o, kind == kCand ? kRoom : kSpare);
      ForEach(Set(f, s, kind), words_[s], [&](int u) {
        if (weighing.dead || !DifferenceWithin(pair, Row(s, u), needed, words_[o])) return;
        const int cost = (kind == kCand ? 1 : 0) + CountAndNot(cand, Row(s, u), words_[o]);
        if (cost == 0) weighing.dead = true;
        if (cost == 1 && kind == kCand) {
          Add(Set(f, s, kForced), u);
          weighing.forced = true;
        }
        if (cost < weighing.cost) {
          weighing.cost = cost;
          weighing.best = Choice{Choice::kPivot, s, u, kind == kCand};
        }
      });
      if (weighing.dead) return weighing;
    }
  }
  return weighing;
}

// With no pivot, every vertex of P has room unless one is over its budget,
// and then some candidate it misses exists: the node branches on that one.
Choice Search::MissedByOverBudget(Word* f, const Tightest& over) {
  const Side o = Other(over.side);
  const Word* cand = Set(f, o, kCand);
  const Word* row = Row(over.side, over.vertex);
  for (int k = 0; k < words_[o]; k++) {
    if (Word bits = cand[k] & ~row[k]) {
      return Choice{Choice::kSingle, o, k * 64 + __builtin_ctzll(bits), true};
    }
  }
  return Choice{};  // unreachable: a node with candidates always has a pivot
}

// Takes the pivot (when a candidate), then each candidate of the other side
// that the pivot misses, excluding every vertex once its branch is done.
void Search::BranchOnPivot(int depth, const Choice& pivot) {
  Word* f = Frame(depth);
  const Side s = pivot.side;
  const Side o = Other(s);
  Word* branch[2] = {Set(f, kTransactions, kBranch), Set(f, kItems, kBranch)};
  Clear(branch[s], words_[s]);
  if (pivot.candidate) Add(branch[s], pivot.vertex);
  const Word* cand = Set(f, o, kCand);
  const Word* row = Row(s, pivot.vertex);
  for (int k = 0; k < words_[o]; k++) branch[o][k] = cand[k] & ~row[k];
  for (Side side : {s, o}) {
    bool hopeless = false;
    ForEach(branch[side], words_[side], [&](int v) {
      if (hopeless) return;
      SearchChild(f, depth, side, v);
      Exclude(f, side, v);
      hopeless = !ReachesLeast(f, side);
    });
    if (hopeless) return;
  }
}

// child = parent with v joining `side`; candidates and excluded vertices that
// can no longer join alone are left out. Only v's arrival changes anything:
// a vertex of the other side that v misses misses one more of P, and a
// vertex of P that v misses may run out of misses, which shuts out the
// vertices of v's side that miss it.
void Search::Include(Word* parent, Word* child, Side side, int v) {
  const Side o = Other(side);
  for (Side s : kSides) Copy(Set(child, s, kPair), Set(parent, s, kPair), words_[s]);
  Word* pair = Set(child, side, kPair);
  Add(pair, v);
  const Word* otherpair = Set(child, o, kPair);
  const Word* row = Row(side, v);
  const bool vfull = CountAndNot(otherpair, row, words_[o]) >= bounds_.tolerance[side];
  Word* newfull = Set(child, o, kNewlyFull);
  Clear(newfull, words_[o]);
  bool anynewfull = false;
  for (int k = 0; k < words_[o]; k++) {
    for (Word bits = otherpair[k] & ~row[k]; bits; bits &= bits - 1) {
      const int w = k * 64 + __builtin_ctzll(bits);
      if (CountAndNot(pair, Row(o, w), words_[side]) < bounds_.tolerance[o]) continue;
      Add(newfull, w);
      anynewfull = true;
    }
  }
  for (Kind kind : {kCand, kExcl}) {
    const Word* from = Set(parent, o, kind);
    Word* to = Set(child, o, kind);
    for (int k = 0; k < words_[o]; k++) to[k] = from[k] & row[k];
    if (vfull) continue;
    for (int k = 0; k < words_[o]; k++) {
      for (Word bits = from[k] & ~row[k]; bits; bits &= bits - 1) {
        const int c = k * 64 + __builtin_ctzll(bits);
        if (bounds_.undirected && c == v) continue;
        if (CountAndNot(pair, Row(o, c), words_[side]) <= bounds_.tolerance[o]) Add(to, c);
      }
    }
  }
  for (Kind kind : {kCand, kExcl}) {
    Word* to = Set(child, side, kind);
    Copy(to, Set(parent, side, kind), words_[side]);
    Drop(to, v);
    if (!anynewfull) continue;
    ForEach(to, words_[side], [&](int c) {
      if (DifferenceMeets(otherpair, Row(side, c), newfull, words_[o])) Drop(to, c);
    });
  }
}

// Marks in kFull the vertices of P with no miss to spare.
void Search::MarkFull(Word* f) {
  for (Side s : kSides) {
    Word* full = Set(f, s, kFull);
    Clear(full, words_[s]);
    const Word* otherpair = Set(f, Other(s), kPair);
    ForEach(Set(f, s, kPair), words_[s], [&](int p) {
      if (CountAndNot(otherpair, Row(s, p), words_[Other(s)]) >= bounds_.tolerance[s]) {
        Add(full, p);
      }
    });
  }
}

// Every maximal pair of the node holds the vertices in kForced (each is a
// pivot whose only branch is to take it): adds them all to P at once. Returns
// false when P then exceeds a tolerance, so that no maximal pair exists.
bool Search::TakeForced(Word* f) {
  for (Side s : kSides) {
    const Word* taken = Set(f, s, kForced);
    Word* pair = Set(f, s, kPair);
    Word* cand = Set(f, s, kCand);
    for (int k = 0; k < words_[s]; k++) {
      pair[k] |= taken[k];
      cand[k] &= ~taken[k];
    }
    if (!bounds_.undirected) continue;
    Word* othercand = Set(f, Other(s), kCand);
    Word* otherexcl = Set(f, Other(s), kExcl);
    for (int k = 0; k < words_[s]; k++) {
      othercand[k] &= ~taken[k];
      otherexcl[k] &= ~taken[k];
    }
  }
  for (Side s : kSides) {
    bool within = true;
    const Word* otherpair = Set(f, Other(s), kPair);
    ForEach(Set(f, s, kPair), words_[s], [&](int p) {
      if (CountAndNot(otherpair, Row(s, p), words_[Other(s)]) > bounds_.tolerance[s]) {
        within = false;
      }
    });
    if (!within) return false;
  }
  MarkFull(f);
  for (Side s : kSides) {
    for (Kind kind : {kCand, kExcl}) {
      Word* set = Set(f, s, kind);
      ForEach(set, words_[s], [&](int c) {
        if (!CanJoin(f, s, c)) Drop(set, c);
      });
    }
  }
  return true;
}

// v (of `side`, outside P) can join P: it misses at most its tolerance of
// the other side of P, and none of them is already at its own tolerance.
bool Search::CanJoin(Word* f, Side side, int v) const {
  const Side o = Other(side);
  const Word* pair = Set(f, o, kPair);
  const Word* full = Set(f, o, kFull);
  const Word* row = Row(side, v);
  int misses = 0;
  for (int k = 0; k < words_[o]; k++) {
    Word missed = pair[k] & ~row[k];
    if (missed & full[k]) return false;
    misses += __builtin_popcountll(missed);
  }
  return misses <= bounds_.tolerance[side];
}

void Search::Emit(Word* f) {
  int n[2] = {0, 0};
  for (Side s : kSides) {
    const int* map = globalid_[s];
    ForEach(Set(f, s, kPair), words_[s], [&](int v) { out_[s][n[s]++] = map ? map[v] : v; });
  }
  sink_.Add(out_[kTransactions].data(), n[kTransactions], out_[kItems].data(), n[kItems]);
  found_++;
}

// Splits the search by the first vertex a result takes on one side, in an
// order of ascending degree, and searches each part on the neighbourhood of
// that vertex alone.
//
// For a result S holding vertex v of side s (o the other side): v misses at
// most tolerance[s] vertices of S_o, and every w of S_s has at least
// least[o] - tolerance[s] neighbours in S_o, so at least
// least[o] - 2 tolerance[s] of them among v's neighbours; every u of S_o has
// at least least[s] - tolerance[o] neighbours in S_s. When the first bound
// is positive the part of v is confined to those vertices, and any vertex
// that could join such a result lies among them too.
class Decomposition {
 public:
  Decomposition(const Bounds& bounds, const DatabaseGraph& global);
  // The side whose parts are confined to neighbourhoods and cost least to
  // collect (the sum of the squared degrees of the other side), if any.
  std::optional<Side> side() const { return side_; }
  // The vertices of the split side in the order of the parts: ascending
  // degree.
  const std::vector<int>& order() const { return order_; }
  // Position of a vertex of the split side in the order.
  int Rank(int v) const { return rank_[v]; }

 private:
  std::optional<Side> ChooseSide() const;

  const Bounds& bounds_;
  const DatabaseGraph& global_;
  std::optional<Side> side_;
  std::vector<int> order_;
  std::vector<int> rank_;
};

// Searches parts of a decomposition one at a time: collects a part's
// vertices, builds its graph and searches it. Each worker has its own.
class PartSearch {
 public:
  PartSearch(const Bounds& bounds, const DatabaseGraph& global, const Decomposition& parts,
             PairSink& sink, TaskSpawner* spawner);
  // The results whose first vertex of the split side (in the order) is v.
  void SearchPart(int v);
  long long found() const { return search_.found(); }

 private:
  void ThrowIfStopped() const {
    if (bounds_.monitor) bounds_.monitor->ThrowIfStopped();
  }
  void CollectSide(Side s, int v);
  void CollectOtherSide(Side s, int v);
  void BuildLocal();

  const Bounds& bounds_;
  const DatabaseGraph& global_;
  const Decomposition& parts_;
  PartGraph local_;
  std::shared_ptr<BitGraph> bits_;  // the part's bitsets; a new one while tasks hold the last
  Search search_;
  std::vector<int> hits_[2];     // per vertex, zero between uses
  std::vector<int> touched_;
  std::vector<int> members_[2];  // the part's vertices per side, ascending
  std::vector<int> both_;        // undirected: the union of members_[0] and members_[1]
  std::vector<int> localid_[2];  // vertex -> id in local_, -1 between uses
};

Decomposition::Decomposition(const Bounds& bounds, const DatabaseGraph& global)
    : bounds_(bounds), global_(global), side_(ChooseSide()) {
  if (!side_) return;
  const Side s = *side_;
  order_.resize(global_.count[s]);
  for (int v = 0; v < global_.count[s]; v++) order_[v] = v;
  std::stable_sort(order_.begin(), order_.end(), [&](int a, int b) {
    return global_.Degree(s, a) < global_.Degree(s, b);
  });
  rank_.assign(global_.count[s], 0);
  for (int k = 0; k < global_.count[s]; k++) rank_[order_[k]] = k;
}

std::optional<Side> Decomposition::ChooseSide() const {
  std::optional<Side> best;
  double bestcost = 0;
  for (Side s : kSides) {
    const Side o = Other(s);
    if (bounds_.least[o] - 2LL * bounds_.tolerance[s] < 1) continue;
    double cost = 0;
    for (int u = 0; u < global_.count[o]; u++) {
      cost += double(global_.Degree(o, u)) * global_.Degree(o, u);
    }
    if (!best || cost < bestcost) {
      best = s;
      bestcost = cost;
    }
  }
  return best;
}

PartSearch::PartSearch(const Bounds& bounds, const DatabaseGraph& global,
                       const Decomposition& parts, PairSink& sink, TaskSpawner* spawner)
    : bounds_(bounds), global_(global), parts_(parts), search_(bounds, sink, spawner) {
  for (Side s : kSides) {
    hits_[s].assign(global_.count[s], 0);
    localid_[s].assign(global_.count[s], -1);
  }
}

// members_[s] = v and the vertices of side s sharing enough neighbours with it.
void PartSearch::CollectSide(Side s, int v) {
  const Side o = Other(s);
  const long long need = bounds_.least[o] - 2LL * bounds_.tolerance[s];
  touched_.clear();
  for (int u : global_.Neighbours(s, v)) {
    for (int w : global_.Neighbours(o, u)) {
      if (w != v && hits_[s][w]++ == 0) touched_.push_back(w);
    }
  }
  members_[s].assign(1, v);
  for (int w : touched_) {
    if (hits_[s][w] >= need) members_[s].push_back(w);
    hits_[s][w] = 0;
  }
  std::sort(members_[s].begin(), members_[s].end());
}

// members_[o] = the vertices of side o with enough neighbours in members_[s]
// (and adjacent to v when v may miss none).
void PartSearch::CollectOtherSide(Side s, int v) {
  const Side o = Other(s);
  const long long need = bounds_.least[s] - bounds_.tolerance[o];
  members_[o].clear();
  if (bounds_.tolerance[s] == 0) {
    // Only v's neighbours qualify: count their neighbours among members_[s].
    for (int w : members_[s]) hits_[s][w] = 1;
    for (int u : global_.Neighbours(s, v)) {
      long long n = 0;
      for (int w : global_.Neighbours(o, u)) n += hits_[s][w];
      if (n >= need) members_[o].push_back(u);
    }
    for (int w : members_[s]) hits_[s][w] = 0;
    return;
  }
  touched_.clear();
  for (int w : members_[s]) {
    for (int u : global_.Neighbours(s, w)) {
      if (hits_[o][u]++ == 0) touched_.push_back(u);
    }
  }
  for (int u : touched_) {
    if (hits_[o][u] >= need) members_[o].push_back(u);
    hits_[o][u] = 0;
  }
  std::sort(members_[o].begin(), members_[o].end());
}

// local_ = the subgraph on members_, numbered in ascending order per side,
// attached to the search as bitsets. Undirected: both sides hold the union,
// so that a vertex keeps one id.
void PartSearch::BuildLocal() {
  const std::vector<int>* ids = members_;
  std::vector<int>& both = both_;
  if (bounds_.undirected) {
    both.clear();
    std::set_union(members_[kTransactions].begin(), members_[kTransactions].end(),
                   members_[kItems].begin(), members_[kItems].end(), std::back_inserter(both));
  }
  for (Side s : kSides) {
    const std::vector<int>& side = bounds_.undirected ? both : ids[s];
    local_.count[s] = int(side.size());
    for (int k = 0; k < local_.count[s]; k++) localid_[s][side[k]] = k;
  }
  for (Side s : kSides) {
    const std::vector<int>& side = bounds_.undirected ? both : ids[s];
    local_.begin[s].assign(1, 0);
    local_.list[s].clear();
    for (int w : side) {
      for (int u : global_.Neighbours(s, w)) {
        const int id = localid_[Other(s)][u];
        if (id >= 0) local_.list[s].push_back(id);
      }
      local_.begin[s].push_back(int(local_.list[s].size()));
    }
  }
  // Tasks of the last part may still read its bitsets: those stay theirs.
  if (!bits_ || bits_.use_count() > 1) bits_ = std::make_shared<BitGraph>();
  bits_->Build(local_, bounds_.undirected ? both.data() : members_[kTransactions].data(),
               bounds_.undirected ? both.data() : members_[kItems].data());
  search_.Attach(bits_);
}

void PartSearch::SearchPart(int v) {
  const Side s = *parts_.side();
  const Side o = Other(s);
  // Gathering a part can take long on a large graph: a stopped run ends
  // between its steps too.
  ThrowIfStopped();
  CollectSide(s, v);
  if (static_cast<long long>(members_[s].size()) < bounds_.least[s]) return;
  ThrowIfStopped();
  CollectOtherSide(s, v);
  if (static_cast<long long>(members_[o].size()) < bounds_.least[o]) return;
  ThrowIfStopped();
  BuildLocal();
  for (int w : members_[s]) {
    if (w != v) {
      search_.AddToRoot(s, parts_.Rank(w) < parts_.Rank(v) ? kExcl : kCand, localid_[s][w]);
    }
  }
  for (int u : members_[o]) search_.AddToRoot(o, kCand, localid_[o][u]);
  search_.AddToRoot(s, kCand, localid_[s][v]);
  search_.RunBranch(s, localid_[s][v]);
  for (Side side : kSides) {
    for (int x : bounds_.undirected ? both_ : members_[side]) localid_[side][x] = -1;
  }
}

// The whole graph as one search's bitsets, its root holding every vertex as
// a candidate.
SharedGraph WholeGraph(const DatabaseGraph& global) {
  auto bits = std::make_shared<BitGraph>();
  bits->Build(global, nullptr, nullptr);
  return bits;
}

void SearchWhole(Search& search, const SharedGraph& whole) {
  search.Attach(whole);
  for (Side side : kSides) {
    for (int v = 0; v < whole->count[side]; v++) search.AddToRoot(side, kCand, v);
  }
  search.RunRoot();
}

// The units a search has: its parts, or one for a search of the whole graph.
long long Units(const Decomposition& parts) {
  return parts.side() ? static_cast<long long>(parts.order().size()) : 1;
}

// Tells the run's monitor how many units the search has.
void CountUnits(const Bounds& bounds, const Decomposition& parts) {
  if (bounds.monitor) bounds.monitor->SetUnits(Units(parts));
}

void UnitDone(const Bounds& bounds, long long unit) {
  if (bounds.monitor) bounds.monitor->UnitDone();
  if (bounds.share) bounds.share->Done(unit);
}

// Takes the next unit of a search with `units` of them from `next` (the
// search's own cursor), or from the run's share when it is spread over
// processes. Returns -1 when none is left.
long long NextUnit(const Bounds& bounds, long long units, std::atomic<long long>& next) {
  if (bounds.share) return bounds.share->Next(units);
  const long long k = next.fetch_add(1);
  return k < units ? k : -1;
}

// The exact search on one thread.
long long SearchSerially(const Bounds& bounds, const DatabaseGraph& global, PairSink& sink) {
  const Decomposition parts(bounds, global);
  CountUnits(bounds, parts);
  std::atomic<long long> next{0};
  if (!parts.side()) {
    if (NextUnit(bounds, 1, next) < 0) return 0;
    Search search(bounds, sink, nullptr);
    SearchWhole(search, WholeGraph(global));
    UnitDone(bounds, 0);
    return search.found();
  }
  PartSearch part(bounds, global, parts, sink, nullptr);
  for (long long k; (k = NextUnit(bounds, Units(parts), next)) >= 0;) {
    part.SearchPart(parts.order()[k]);
    UnitDone(bounds, k);
  }
  return part.found();
}

// The exact search on `threads` workers: the parts are handed out one at a
// time, and any node of any search becomes a task of its own while fewer
// tasks wait than there are workers, so that idle workers steal the subtrees
// of busy ones. Each worker has its own search state; the graph, the bounds
// and the parts are read by all.
class ParallelSearch final : public TaskSpawner {
 public:
  ParallelSearch(const Bounds& bounds, const DatabaseGraph& global, PairSink& sink, int threads)
      : bounds_(bounds),
        global_(global),
        sink_(sink),
        threads_(threads),
        searches_([this] { return Search(bounds_, sink_, this); }) {}

  long long Run();
  bool Hungry() const override { return waiting_.load(std::memory_order_relaxed) < threads_; }
  bool Cancelled() const override {
    return failed_.load(std::memory_order_relaxed) ||
           (bounds_.monitor && bounds_.monitor->stopped());
  }
  void Spawn(const SharedGraph& g, const Word* frame, int words) override;

 private:
  void SearchParts(const Decomposition& parts, std::atomic<long long>& next, long long* found);
  // Runs work; when it throws, the other tasks stop at their next node.
  template <typename Work>
  void StopOthersOnFailure(Work work);

  const Bounds& bounds_;
  const DatabaseGraph& global_;
  PairSink& sink_;
  const int threads_;
  std::atomic<int> waiting_{0};  // tasks spawned and not yet started
  std::atomic<bool> failed_{false};  // a task threw: the others stop early
  tbb::task_group group_;
  tbb::enumerable_thread_specific<Search> searches_;  // the searches of spawned nodes
};

void ParallelSearch::Spawn(const SharedGraph& g, const Word* frame, int words) {
  waiting_.fetch_add(1, std::memory_order_relaxed);
  group_.run([this, g, node = std::vector<Word>(frame, frame + words)] {
    waiting_.fetch_sub(1, std::memory_order_relaxed);
    StopOthersOnFailure([&] { searches_.local().RunFrame(g, node.data()); });
  });
}

template <typename Work>
void ParallelSearch::StopOthersOnFailure(Work work) {
  try {
    work();
  } catch (...) {
    failed_.store(true, std::memory_order_relaxed);
    throw;
  }
}

// Searches parts from the shared cursor `next` until none is left.
void ParallelSearch::SearchParts(const Decomposition& parts, std::atomic<long long>& next,
                                 long long* found) {
  PartSearch part(bounds_, global_, parts, sink_, this);
  for (long long k; !Cancelled() && (k = NextUnit(bounds_, Units(parts), next)) >= 0;) {
    part.SearchPart(parts.order()[k]);
    UnitDone(bounds_, k);
  }
  *found = part.found();
}

long long ParallelSearch::Run() {
  const Decomposition parts(bounds_, global_);
  std::vector<long long> found(threads_, 0);
  std::atomic<long long> next{0};  // the next part to search, in the order
  CountUnits(bounds_, parts);
  tbb::task_arena arena(threads_);
  // Every search runs as a task of the group, so that a failure reaches
  // the caller through the wait, once no task reads this frame any more.
  arena.execute([&] {
    if (!parts.side()) {
      if (NextUnit(bounds_, 1, next) < 0) return;
      group_.run([&] {
        StopOthersOnFailure([&] {
          SearchWhole(searches_.local(), WholeGraph(global_));
          UnitDone(bounds_, 0);
        });
      });
    } else {
      for (int t = 0; t < threads_; t++) {
        group_.run([&, t] { StopOthersOnFailure([&] { SearchParts(parts, next, &found[t]); }); });
      }
    }
    group_.wait();
  });
  long long total = std::accumulate(found.begin(), found.end(), 0LL);
  for (const Search& search : searches_) total += search.found();
  return total;
}

// Spawns every node as a task while fewer than `taskdepth` spawned tasks
// are nested, runs it at once on the search of its nesting level, and
// times every task: its own time and its span (see SearchSpread).
class SpreadMeter final : public TaskSpawner {
 public:
  using Clock = std::chrono::steady_clock;

  SpreadMeter(const Bounds& bounds, PairSink& sink, int taskdepth)
      : bounds_(bounds), sink_(sink), taskdepth_(taskdepth) {}

  // Runs work as a task nested in the open one, or as a top task.
  template <typename Work>
  void Time(Work work);
  bool Hungry() const override { return int(open_.size()) - 1 < taskdepth_; }
  bool Cancelled() const override { return false; }
  void Spawn(const SharedGraph& g, const Word* frame, int words) override;
  const SearchSpread& spread() const { return spread_; }

 private:
  // A task that has started and not yet ended.
  struct OpenTask {
    Clock::time_point start;
    double children = 0;  // seconds of the tasks it spawned, theirs included
    double longest = 0;   // the largest span among those tasks
  };
  void End();

  const Bounds& bounds_;
  PairSink& sink_;
  const int taskdepth_;
  std::vector<OpenTask> open_;  // the top task first, then the nested ones
  std::deque<Search> levels_;   // the search of spawned tasks by nesting level, less one
  SearchSpread spread_;
};

template <typename Work>
void SpreadMeter::Time(Work work) {
  open_.push_back(OpenTask{Clock::now()});
  work();
  End();
}

void SpreadMeter::End() {
  const OpenTask task = open_.back();
  open_.pop_back();
  const double inclusive = std::chrono::duration<double>(Clock::now() - task.start).count();
  const double own = inclusive - task.children;
  const double span = own + task.longest;
  spread_.work += own;
  spread_.tasks++;
  if (open_.empty()) {
    spread_.span = std::max(spread_.span, span);
    return;
  }
  open_.back().children += inclusive;
  open_.back().longest = std::max(open_.back().longest, span);
}

void SpreadMeter::Spawn(const SharedGraph& g, const Word* frame, int) {
  const size_t level = open_.size() - 1;
  if (levels_.size() <= level) levels_.emplace_back(bounds_, sink_, this);
  Time([&] { levels_[level].RunFrame(g, frame); });
}

// The misses of vertex v of side s among the sorted ids members[0 .. n).
int MissesAmong(const DatabaseGraph& g, Side s, int v, const int* members, int n) {
  const IdRange row = g.Neighbours(s, v);
  int hits = 0;
  const int* at = row.begin();
  for (int k = 0; k < n; k++) {
    at = std::lower_bound(at, row.end(), members[k]);
    if (at != row.end() && *at == members[k]) hits++;
  }
  return n - hits;
}

// Every vertex of side s in members misses at most its tolerance of the
// other side's pair; misses[k] receives the misses of members[k].
bool WithinTolerance(const DatabaseGraph& g, const Bounds& bounds, Side s, const int* members,
                     int n, const int* other, int nother, std::vector<int>& misses) {
  misses.resize(n);
  for (int k = 0; k < n; k++) {
    misses[k] = MissesAmong(g, s, members[k], other, nother);
    if (misses[k] > bounds.tolerance[s]) return false;
  }
  return true;
}

// Some vertex of side s outside the pair can join it: it misses at most its
// tolerance of the other side's members, and each member it misses has a
// miss to spare.
bool SomeoneCanJoin(const DatabaseGraph& g, const Bounds& bounds, Side s, const int* mine,
                    int nmine, const int* other, int nother, const std::vector<int>& othermisses) {
  const Side o = Other(s);
  std::vector<char> inside(g.count[s], 0);
  for (int k = 0; k < nmine; k++) inside[mine[k]] = 1;
  if (bounds.undirected) {
    for (int k = 0; k < nother; k++) inside[other[k]] = 1;
  }
  for (int v = 0; v < g.count[s]; v++) {
    if (inside[v]) continue;
    const IdRange row = g.Neighbours(s, v);
    int misses = 0;
    bool fits = true;
    for (int k = 0; k < nother && fits; k++) {
      if (std::binary_search(row.begin(), row.end(), other[k])) continue;
      fits = ++misses <= bounds.tolerance[s] && othermisses[k] < bounds.tolerance[o];
    }
    if (fits) return true;
  }
  return false;
}

}  // namespace

bool IsMaximalPair(const ExactInput& input, const int* tids, int ntids, const int* items,
                   int nitems) {
  const Bounds bounds(input);
  const DatabaseGraph g{{input.tidnum, input.itemnum}, {input.tranlist, input.itemlist}};
  if (ntids < bounds.least[kTransactions] || nitems < bounds.least[kItems]) return false;
  if (bounds.undirected) {
    std::vector<int> both;
    std::set_intersection(tids, tids + ntids, items, items + nitems, std::back_inserter(both));
    if (!both.empty()) return false;
  }
  std::vector<int> tidmisses, itemmisses;
  if (!WithinTolerance(g, bounds, kTransactions, tids, ntids, items, nitems, tidmisses) ||
      !WithinTolerance(g, bounds, kItems, items, nitems, tids, ntids, itemmisses)) {
    return false;
  }
  return !SomeoneCanJoin(g, bounds, kTransactions, tids, ntids, items, nitems, itemmisses) &&
         !SomeoneCanJoin(g, bounds, kItems, items, nitems, tids, ntids, tidmisses);
}

long long EnumerateMaximalPairs(const ExactInput& input, PairSink& sink, int threads) {
  const Bounds bounds(input);
  const DatabaseGraph global{{input.tidnum, input.itemnum}, {input.tranlist, input.itemlist}};
  if (threads <= 1) return SearchSerially(bounds, global, sink);
  ParallelSearch search(bounds, global, sink, threads);
  return search.Run();
}

SearchSpread MeasureSpread(const ExactInput& input, PairSink& sink, int taskdepth) {
  ExactInput alone = input;
  alone.monitor = nullptr;
  alone.share = nullptr;
  const Bounds bounds(alone);
  const DatabaseGraph global{{input.tidnum, input.itemnum}, {input.tranlist, input.itemlist}};
  SpreadMeter meter(bounds, sink, taskdepth);
  const Decomposition parts(bounds, global);
  if (!parts.side()) {
    meter.Time([&] {
      Search search(bounds, sink, &meter);
      SearchWhole(search, WholeGraph(global));
    });
    return meter.spread();
  }
  // One top task per part, its gathering and building included, as
  // SearchSerially searches them.
  PartSearch part(bounds, global, parts, sink, &meter);
  for (int v : parts.order()) meter.Time([&] { part.SearchPart(v); });
  return meter.spread();
}

}  // namespace quasibiclique

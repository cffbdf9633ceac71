// The tolerance walk of a whole run: its working memory and the loop over
// start items.
#include <numeric>

#include "arena_scope.h"
#include "tolerance_walk.h"

namespace quasibiclique {

RunContext::RunContext(const Database::Rep& db) : outsidemark(size_t(db.tidnum) + 1, 0) {
  tranpool.ints = db.tranpool.ints;
  itempool.ints = db.itempool.ints;
  tidarrays.entries = db.tidcount;
  itemarrays.entries = db.itemnum;
}

ToleranceWalk::ToleranceWalk(const Database::Rep& db, const Options& options, PairSink& sink,
                             RunContext& context)
    : item_supportLevel(options.item_supportLevel),
      itemTolerance(options.itemTolerance),
      transactionTolerance(options.transactionTolerance),
      transaction_supportLevel(options.transaction_supportLevel),
      undirected(options.graphtype == kUndirected),
      tidnum(db.tidnum),
      itemnum(db.itemnum),
      tranlist(db.tranlist),
      itemlist(db.itemlist),
      arena(context.arena),
      tranpool(context.tranpool),
      itempool(context.itempool),
      tidarrays(context.tidarrays),
      itemarrays(context.itemarrays),
      outsidemark(context.outsidemark.data()),
      observer(context.observer),
      sink(sink) {}

namespace {

// Every start item that passes the item test, in ascending order; or only
// the item `only` when it is not -1.
void Walk(const Database::Rep& db, const Options& options, PairSink& sink, RunContext& context,
          int only) {
  ToleranceWalk walk(db, options, sink, context);
  ArenaScope scope(context.arena);
  int* alltids = scope.Take(db.tidnum);
  std::iota(alltids, alltids + db.tidnum, 0);
  if (only >= 0) {
    walk.Enumeratecdb(only, alltids);
    return;
  }
  const long long last = static_cast<long long>(db.itemnum) - options.item_supportLevel;
  for (int i = 0; i <= last; i++) {
    if (walk.PassesItemTest(db.itemlist[i][0])) walk.Enumeratecdb(i, alltids);
  }
}

}  // namespace

void WalkTolerances(const Database::Rep& db, const Options& options, PairSink& sink,
                    RunContext& context) {
  Walk(db, options, sink, context, -1);
}

void WalkStartItem(const Database::Rep& db, const Options& options, PairSink& sink,
                   RunContext& context, int item) {
  Walk(db, options, sink, context, item);
}

}  // namespace quasibiclique

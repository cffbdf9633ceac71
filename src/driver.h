// The command-line program, as a function the tests can call in process.
#ifndef QUASIBICLIQUE_DRIVER_H
#define QUASIBICLIQUE_DRIVER_H

#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {
class RunGroup;
}

// The whole run of the command-line program; returns its exit status.
int RunMiner(int argc, char** argv);

// The exit status of a failed step and its report on standard error: the
// one table from what failed to what the user sees. Running out of memory
// also writes "error" on standard output; the temporary output file goes.
int ReportFailure(const quasibiclique::Status& s);

// RunMiner as one process of a group that shares the run (see RunGroup);
// every process of the group returns the same status. Null: RunMiner.
int RunMinerInGroup(int argc, char** argv, quasibiclique::RunGroup* group);

// Shows the result store's progress number `stored` on standard output,
// followed by a tab, and flushes it at once so that it shows while the
// search goes on. The store calls it at every thousandth stored result.
void PrintProgress(void* unused, int stored);

#endif  // QUASIBICLIQUE_DRIVER_H

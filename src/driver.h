// The command-line program, as a function the tests can call in process.
#ifndef QUASIBICLIQUE_DRIVER_H
#define QUASIBICLIQUE_DRIVER_H

// The whole run of the command-line program; returns its exit status.
int RunMiner(int argc, char** argv);

// Shows the result store's progress number `stored` on standard output,
// followed by a tab, and flushes it at once so that it shows while the
// search goes on. The store calls it at every thousandth stored result.
void PrintProgress(void* unused, int stored);

#endif  // QUASIBICLIQUE_DRIVER_H

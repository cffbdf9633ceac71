// The command-line program, as a function the tests can call in process.
#ifndef QUASIBICLIQUE_DRIVER_H
#define QUASIBICLIQUE_DRIVER_H

// The whole run of the command-line program; returns its exit status.
int RunMiner(int argc, char** argv);

#endif  // QUASIBICLIQUE_DRIVER_H

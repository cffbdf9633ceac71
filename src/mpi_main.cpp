#include "mpi_run.h"

int main(int argc, char** argv) { return RunMpiMiner(argc, argv); }

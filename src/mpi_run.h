// The program over the processes of an MPI job: the same command line,
// messages, output file and exit statuses as the program on one machine;
// rank 0 reads the dataset, reports and writes, every rank mines its share.
#ifndef QUASIBICLIQUE_MPI_RUN_H
#define QUASIBICLIQUE_MPI_RUN_H

// The whole run of this process of the job, from MPI's start to its end;
// returns the run's exit status (the same on every process).
int RunMpiMiner(int argc, char** argv);

#endif  // QUASIBICLIQUE_MPI_RUN_H

// The command line of the program: its options and seven arguments, read
// into one request, with every refusal and warning it gives, and the usage
// and help texts.
#ifndef QUASIBICLIQUE_COMMAND_LINE_H
#define QUASIBICLIQUE_COMMAND_LINE_H

#include <cstddef>
#include <cstdint>

#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

// What the command line asks for.
struct RunRequest {
  Options options;
  size_t memorylimit = SIZE_MAX;  // bytes the stored results may take
  DatasetFormat format = kFormatLines;
  bool countonly = false;  // count the results, write no output file
  bool progress = false;   // a live progress line on standard error
  const char* dataset = nullptr;  // as written; "-" is standard input
  const char* output = nullptr;   // as written; "-" is standard output; null
                                  // when only counting without one
};

enum class CommandLineAction {
  kRun,      // the request is complete
  kHelp,     // --help or -h: the help text, status 0
  kVersion,  // --version: the version, status 0
  kRefused,  // refused: its line and the usage text are on standard error
};

// Reads argv into *request. A refusal prints "quasibiclique: error: ..."
// and the usage text on standard error; a number argument with more than
// its number gets a warning line saying what it was read as.
CommandLineAction ParseCommandLine(int argc, char** argv, RunRequest* request);

// The usage text (standard error, with refusals), the help text (standard
// output) and the version line.
void PrintUsage();
void PrintHelp();
void PrintVersion();

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_COMMAND_LINE_H

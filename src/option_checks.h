// The refusals of option values, written once for the library's
// Options::Validate and for the command line, which quotes each value as it
// was typed.
#ifndef QUASIBICLIQUE_OPTION_CHECKS_H
#define QUASIBICLIQUE_OPTION_CHECKS_H

#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

// The numeric options in the order of the command line's arguments 2 to 6.
enum NumericOption {
  kItemSupportLevel = 0,
  kItemTolerance,
  kTransactionTolerance,
  kTransactionSupportLevel,
  kGraphTypeOption,
  kNumericOptions
};

// The name of option `which` as messages write it ("itemTolerance").
const char* NumericOptionName(NumericOption which);

// Returns OK, or the refusal of `value` for option `which` ("out of range"
// beyond an int, "must be at least" below its least value, "must be 0 or 1"
// for the graph type), quoting `written`, the value as the user wrote it.
// The graph type's range is checked only by CheckGraphType, so that every
// other option is checked first.
Status CheckNumericOption(NumericOption which, long long value, const char* written);
Status CheckGraphType(long long value, const char* written);

// Sets `which` of options to value (as CheckNumericOption accepted it).
void SetNumericOption(NumericOption which, int value, Options* options);

// Refuses the exact search where its output is not the one required.
Status CheckSearchChoice(const Options& options);

// Refuses a thread count outside 0 .. kMaxThreads, quoting `written`.
Status CheckThreads(long long threads, const char* written);

// Refuses a result limit below 1, quoting `written`; with zeroisnone 0 (the
// library's "no limit") is accepted too.
Status CheckMaxResults(long long limit, bool zeroisnone, const char* written);

// Refuses a time limit that is not a finite number of seconds above 0,
// quoting `written`; with zeroisnone 0 is accepted too.
Status CheckTimeLimit(double seconds, bool zeroisnone, const char* written);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_OPTION_CHECKS_H

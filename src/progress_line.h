// The live progress line of a run on standard error: the results found so
// far, the search's units of work done out of all, the time and the rate.
#ifndef QUASIBICLIQUE_PROGRESS_LINE_H
#define QUASIBICLIQUE_PROGRESS_LINE_H

#include <chrono>
#include <optional>
#include <string>

#include "quasibiclique/quasibiclique.h"
#include "run_monitor.h"
#include "watch.h"

namespace quasibiclique {

class ProgressLine {
 public:
  // Shows the progress of the run monitor watches until the line is
  // destroyed: rewritten in place a few times a second on a terminal, one
  // line a second otherwise. Null monitor: nothing is shown. Runs whose
  // results need not be connected get a note first.
  ProgressLine(const RunMonitor* monitor, const Options& options);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // The text of one report, for `seconds` after the start.
  static std::string Text(const RunMonitor& monitor, bool exact, double seconds);

 private:
  void Show(bool last);

  const RunMonitor* monitor_;
  const bool exact_;
  const bool terminal_;
  const std::chrono::steady_clock::time_point start_;
  std::optional<Watch> watch_;
};

// True when a result of options need not be connected: the least size of
// both sides is at most twice the misses their vertices may have, so two
// edges with nothing between them can already form a result, and on a
// sparse graph the count grows with the square of the edges.
bool ResultsMayBeUnconnected(const Options& options);

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_PROGRESS_LINE_H

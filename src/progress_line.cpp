// The progress line: a thread that reads the run's monitor and writes.
#include "progress_line.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "miner.h"

namespace quasibiclique {

namespace {

constexpr auto kTerminalPeriod = std::chrono::milliseconds(250);
constexpr auto kLogPeriod = std::chrono::seconds(1);

}  // namespace

bool ResultsMayBeUnconnected(const Options& options) {
  if (options.itemTolerance == 0 || options.transactionTolerance == 0) return false;
  const long long leastitems = options.item_supportLevel;
  const long long leasttids = std::max(2, options.transaction_supportLevel);
  return leastitems - 2LL * options.transactionTolerance < 1 &&
         leasttids - 2LL * options.itemTolerance < 1;
}

ProgressLine::ProgressLine(const RunMonitor* monitor, const Options& options)
    : monitor_(monitor),
      exact_(RunsExactSearch(options)),
      terminal_(isatty(STDERR_FILENO)),
      start_(std::chrono::steady_clock::now()) {
  if (!monitor_) return;
  if (ResultsMayBeUnconnected(options)) {
    fputs("quasibiclique: note: at these settings a result need not be connected, so on a "
          "sparse graph the results grow with the square of the edges; --max-results or "
          "--time-limit bound the run\n",
          stderr);
  }
  const auto period = terminal_ ? Watch::Period(kTerminalPeriod) : Watch::Period(kLogPeriod);
  watch_.emplace(period, [this] {
    Show(false);
    return true;
  });
}

ProgressLine::~ProgressLine() {
  if (!watch_) return;
  watch_.reset();
  Show(true);
}

std::string ProgressLine::Text(const RunMonitor& monitor, bool exact, double seconds) {
  const long long results = monitor.results();
  char text[160];
  snprintf(text, sizeof text, "%lld results, %s %lld of %lld done, %.1f s, %.0f results/s",
           results, exact ? "parts" : "start items", monitor.unitsdone(), monitor.units(),
           seconds, seconds > 0 ? results / seconds : 0.0);
  return text;
}

void ProgressLine::Show(bool last) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::string text = Text(*monitor_, exact_, seconds);
  if (terminal_) {
    fprintf(stderr, "\r\033[Kquasibiclique: %s%s", text.c_str(), last ? "\n" : "");
  } else {
    fprintf(stderr, "quasibiclique: %s\n", text.c_str());
  }
  fflush(stderr);
}

}  // namespace quasibiclique

// What the searches of a run report while they run (how much of their work
// is done) and the one order they take from outside: to stop, given by the
// run itself or requested through a library user's StopToken. Shared by the
// threads of a run; everything in it is atomic.
#ifndef QUASIBICLIQUE_RUN_MONITOR_H
#define QUASIBICLIQUE_RUN_MONITOR_H

#include <atomic>

#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

class RunMonitor {
 public:
  // Thrown by a search that meets a stopped run at its next node; the pairs
  // it handed over until then stay with their sink.
  struct Stopped {};

  // Why a run stops (a run stopped by its token's request keeps kRunning).
  enum Reason : int { kRunning = 0, kResultLimit, kTimeLimit, kMemoryLimit };

  // Stops the run, too, once a stop is requested of token (null: none).
  // REQUIRES: called before the searches start
  void Watch(const StopToken* token) { token_ = token; }

  // Asks every search of the run to stop; the first reason given stays.
  void Stop(Reason reason) {
    int running = kRunning;
    reason_.compare_exchange_strong(running, reason);
    stop_.store(true, std::memory_order_relaxed);
  }
  bool stopped() const {
    return stop_.load(std::memory_order_relaxed) || (token_ && token_->stop_requested());
  }
  Reason reason() const { return static_cast<Reason>(reason_.load()); }
  void ThrowIfStopped() const {
    if (stopped()) throw Stopped();
  }

  // Results found so far (pairs handed on by the searches).
  void ResultFound() { results_.fetch_add(1, std::memory_order_relaxed); }
  long long results() const { return results_.load(std::memory_order_relaxed); }

  // Units of work: the exact search's parts (one for a search of the whole
  // graph), the tolerance walk's start items.
  void SetUnits(long long units) { units_.store(units, std::memory_order_relaxed); }
  void UnitDone() { unitsdone_.fetch_add(1, std::memory_order_relaxed); }
  long long units() const { return units_.load(std::memory_order_relaxed); }
  long long unitsdone() const { return unitsdone_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> reason_{kRunning};
  std::atomic<long long> results_{0};
  std::atomic<long long> units_{0};
  std::atomic<long long> unitsdone_{0};
  const StopToken* token_ = nullptr;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RUN_MONITOR_H

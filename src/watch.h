// A thread beside a run that looks at something a few times a second: the
// progress line, the time limit and the resident-memory limit each keep one.
#ifndef QUASIBICLIQUE_WATCH_H
#define QUASIBICLIQUE_WATCH_H

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace quasibiclique {

// Calls `look` every `period` on a thread of its own until `look` returns
// false or the watch is destroyed. The thread's stack is small, so that a
// watch fits where an address-space limit is tight; where no thread can be
// made at all, started() is false and nothing is looked at.
class Watch {
 public:
  using Period = std::chrono::steady_clock::duration;

  Watch(Period period, std::function<bool()> look);
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  bool started() const { return started_; }

 private:
  static void* Run(void* watch);

  const Period period_;
  const std::function<bool()> look_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  bool started_ = false;
  pthread_t thread_{};
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_WATCH_H

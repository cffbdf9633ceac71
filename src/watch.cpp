// The watch thread: a small stack, a period, and a prompt end.
#include "watch.h"

namespace quasibiclique {

namespace {

// Stack of a watch thread: it only reads counters and small files and
// formats a line, far below this.
constexpr size_t kWatchStackBytes = size_t{256} << 10;

}  // namespace

Watch::Watch(Period period, std::function<bool()> look)
    : period_(period), look_(std::move(look)) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return;
  started_ = pthread_attr_setstacksize(&attr, kWatchStackBytes) == 0 &&
             pthread_create(&thread_, &attr, Run, this) == 0;
  pthread_attr_destroy(&attr);
}

Watch::~Watch() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    done_ = true;
  }
  ended_.notify_all();
  pthread_join(thread_, nullptr);
}

void* Watch::Run(void* watch) {
  Watch& w = *static_cast<Watch*>(watch);
  std::unique_lock<std::mutex> hold(w.mutex_);
  while (!w.ended_.wait_for(hold, w.period_, [&w] { return w.done_; })) {
    if (!w.look_()) break;
  }
  return nullptr;
}

}  // namespace quasibiclique

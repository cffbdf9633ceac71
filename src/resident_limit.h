// The memory a run may hold: what the machine has to give (its free memory
// and its container's limit), the process's resident memory, and a watch
// that stops a run's searches when that memory would pass its budget, so
// that a run ends with its own message instead of the kernel's killer.
#ifndef QUASIBICLIQUE_RESIDENT_LIMIT_H
#define QUASIBICLIQUE_RESIDENT_LIMIT_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "run_monitor.h"
#include "watch.h"

namespace quasibiclique {

// Resident bytes of this process now (0 when they cannot be read).
size_t ResidentBytes();

// The resident memory a run may reach by default: the smaller of its
// container's limit (cgroup v2 memory.max, or v1 memory.limit_in_bytes) and
// what it holds now (`resident`) plus the machine's available memory
// (MemAvailable of /proc/meminfo), less a sixteenth; SIZE_MAX when neither
// can be read. The texts are those files' contents ("" when missing).
size_t DefaultMemoryBudget(const std::string& cgroupmax, const std::string& meminfo,
                           size_t resident);
// The files that hold the memory limits of the control groups a process is
// in, given its /proc/self/cgroup: for cgroup v2 each `memory.max` and for
// v1 each `memory.limit_in_bytes` from its own group up to the root, as a
// group's limit bounds everything below it.
std::vector<std::string> CgroupLimitFiles(const std::string& membership);

// The same from the files of this process: the tightest limit of its
// control groups, and the machine's available memory.
size_t DefaultMemoryBudget();

// Stops the searches of the run `monitor` watches (RunMonitor::kMemoryLimit)
// once the process holds more than `bytes` resident, looking fifty times a
// second while it lives. SIZE_MAX: no watch. Where not even a watch thread
// can be made, the address-space limit that refused it bounds the run, and
// the run goes on unwatched.
class ResidentLimit {
 public:
  ResidentLimit(size_t bytes, RunMonitor& monitor);

 private:
  std::optional<Watch> watch_;
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_RESIDENT_LIMIT_H

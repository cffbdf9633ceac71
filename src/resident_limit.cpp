// Resident memory, available memory, and the watch between them.
#include "resident_limit.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace quasibiclique {

namespace {

constexpr auto kWatchPeriod = std::chrono::milliseconds(20);

std::string ReadText(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A byte count at the start of text; SIZE_MAX for "max", none or garbage.
size_t BytesOf(const std::string& text) {
  unsigned long long bytes = 0;
  return sscanf(text.c_str(), "%llu", &bytes) == 1 ? size_t(bytes) : SIZE_MAX;
}

// MemAvailable of /proc/meminfo in bytes, SIZE_MAX when absent.
size_t MemAvailable(const std::string& meminfo) {
  const size_t at = meminfo.find("MemAvailable:");
  if (at == std::string::npos) return SIZE_MAX;
  unsigned long long kib = 0;
  if (sscanf(meminfo.c_str() + at, "MemAvailable: %llu kB", &kib) != 1) return SIZE_MAX;
  return size_t(kib) * 1024;
}

}  // namespace

size_t ResidentBytes() {
  long long pages = 0, resident = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  const int read = fscanf(statm, "%lld %lld", &pages, &resident);
  fclose(statm);
  return read == 2 ? size_t(resident) * size_t(sysconf(_SC_PAGESIZE)) : 0;
}

size_t DefaultMemoryBudget(const std::string& cgroupmax, const std::string& meminfo,
                           size_t resident) {
  const size_t available = MemAvailable(meminfo);
  size_t budget = BytesOf(cgroupmax);
  if (available != SIZE_MAX) budget = std::min(budget, resident + available);
  return budget == SIZE_MAX ? budget : budget - budget / 16;
}

size_t DefaultMemoryBudget() {
  std::string max = ReadText("/sys/fs/cgroup/memory.max");
  if (max.empty()) max = ReadText("/sys/fs/cgroup/memory/memory.limit_in_bytes");
  return DefaultMemoryBudget(max, ReadText("/proc/meminfo"), ResidentBytes());
}

ResidentLimit::ResidentLimit(size_t bytes, RunMonitor& monitor) {
  if (bytes == SIZE_MAX) return;
  watch_.emplace(kWatchPeriod, [bytes, &monitor] {
    if (ResidentBytes() <= bytes) return true;
    monitor.Stop(RunMonitor::kMemoryLimit);
    return false;
  });
}

}  // namespace quasibiclique

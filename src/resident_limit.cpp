// Resident memory, available memory, and the watch between them.
#include "resident_limit.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

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

std::vector<std::string> CgroupLimitFiles(const std::string& membership) {
  std::vector<std::string> files;
  std::istringstream lines(membership);
  for (std::string line; std::getline(lines, line);) {
    // hierarchy-id:controllers:path
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
    std::string path = line.substr(second + 1);
    std::string root, file;
    if (controllers == ",,") {
      root = "/sys/fs/cgroup", file = "/memory.max";
    } else if (controllers.find(",memory,") != std::string::npos) {
      root = "/sys/fs/cgroup/memory", file = "/memory.limit_in_bytes";
    } else {
      continue;
    }
    while (!path.empty() && path.back() == '/') path.pop_back();
    for (;;) {
      files.push_back(root + path + file);
      if (path.empty()) break;
      const size_t slash = path.rfind('/');
      path.erase(slash == std::string::npos ? 0 : slash);
    }
  }
  return files;
}

size_t DefaultMemoryBudget() {
  size_t container = SIZE_MAX;
  for (const std::string& file : CgroupLimitFiles(ReadText("/proc/self/cgroup"))) {
    container = std::min(container, BytesOf(ReadText(file.c_str())));
  }
  const std::string limit = container == SIZE_MAX ? "" : std::to_string(container);
  return DefaultMemoryBudget(limit, ReadText("/proc/meminfo"), ResidentBytes());
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

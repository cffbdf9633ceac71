// The memory a run may hold: the default budget read from the container's
// limit and the machine's available memory, and the watch that stops a run
// whose resident memory passes its limit with an out-of-memory status.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "database.h"
#include "miner.h"
#include "resident_limit.h"
#include "run_monitor.h"

namespace {

using namespace quasibiclique;

constexpr size_t kMiB = size_t{1} << 20;

TEST(DefaultMemoryBudget, SmallerOfContainerAndAvailableLessASixteenth) {
  const std::string meminfo = "MemTotal: 8000000 kB\nMemAvailable:    1048576 kB\n";
  // Available memory (1 GiB) on top of what the process holds (64 MiB).
  EXPECT_EQ(DefaultMemoryBudget("max\n", meminfo, 64 * kMiB), (1088 * kMiB) - (1088 * kMiB) / 16);
  EXPECT_EQ(DefaultMemoryBudget("", meminfo, 0), 1024 * kMiB - 64 * kMiB);
  // A container's limit below it wins.
  EXPECT_EQ(DefaultMemoryBudget("536870912\n", meminfo, 0), 512 * kMiB - 32 * kMiB);
  // A limit above it (cgroup v1 "unlimited") does not.
  EXPECT_EQ(DefaultMemoryBudget("9223372036854771712\n", meminfo, 0), 960 * kMiB);
  // Nothing readable: no budget.
  EXPECT_EQ(DefaultMemoryBudget("", "", 0), SIZE_MAX);
  EXPECT_EQ(DefaultMemoryBudget("max", "MemTotal: 5 kB\n", 0), SIZE_MAX);
  EXPECT_EQ(DefaultMemoryBudget("268435456", "", 0), 240 * kMiB);
}

// Every group from the process's own up to the root bounds it; other
// controllers' hierarchies do not.
TEST(DefaultMemoryBudget, LimitsOfEveryControlGroupUpToTheRoot) {
  using Files = std::vector<std::string>;
  EXPECT_EQ(CgroupLimitFiles("0::/\n"), Files{"/sys/fs/cgroup/memory.max"});
  EXPECT_EQ(CgroupLimitFiles("0::/user.slice/session-3.scope\n"),
            (Files{"/sys/fs/cgroup/user.slice/session-3.scope/memory.max",
                   "/sys/fs/cgroup/user.slice/memory.max", "/sys/fs/cgroup/memory.max"}));
  EXPECT_EQ(CgroupLimitFiles("5:devices:/\n4:memory:/jobs/42\n3:cpu,cpuacct:/jobs\n1:name="
                             "systemd:/\n"),
            (Files{"/sys/fs/cgroup/memory/jobs/42/memory.limit_in_bytes",
                   "/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes",
                   "/sys/fs/cgroup/memory/memory.limit_in_bytes"}));
  EXPECT_EQ(CgroupLimitFiles("7:cpuset,memory:/a/\n"),
            (Files{"/sys/fs/cgroup/memory/a/memory.limit_in_bytes",
                   "/sys/fs/cgroup/memory/memory.limit_in_bytes"}));
  EXPECT_EQ(CgroupLimitFiles("garbage\n9:memory\n"), Files{});
}

TEST(ResidentLimit, StopsTheRunOncePassedAndNotBefore) {
  ASSERT_GT(ResidentBytes(), 0u);
  {
    RunMonitor monitor;
    const ResidentLimit watch(ResidentBytes() + 512 * kMiB, monitor);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(monitor.stopped());
  }
  RunMonitor monitor;
  const ResidentLimit watch(ResidentBytes() / 2, monitor);
  for (int tries = 0; tries < 500 && !monitor.stopped(); tries++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(monitor.stopped());
  EXPECT_EQ(monitor.reason(), RunMonitor::kMemoryLimit);
}

// A run whose resident memory is past its limit ends with OutOfMemory, on
// both searches and any thread count, however long it would have run.
TEST(ResidentLimit, ARunPassingItEndsOutOfMemory) {
  std::mt19937 rng(3);
  std::vector<std::vector<int>> rows(70);
  for (auto& row : rows) {
    for (int x = 0; x < 40; x++) {
      if (std::uniform_int_distribution<int>(0, 99)(rng) < 75) row.push_back(x);
    }
  }
  for (SearchChoice search : {kSearchExact, kSearchTolerance}) {
    for (int threads : {1, 2}) {
      SCOPED_TRACE(std::to_string(search) + " on " + std::to_string(threads));
      Options options{3, 1, 1, 3, kBipartite, search, threads};
      std::unique_ptr<Database> db;
      ASSERT_TRUE(Database::FromTransactions(rows, options, &db).ok());
      std::FILE* sink = std::fopen("/dev/null", "w");
      TextOutput out;
      out.file = sink;
      out.residentlimit = ResidentBytes() / 2;
      int lines = 0;
      const Status s = MineToText(*db, options, out, &lines);
      std::fclose(sink);
      EXPECT_EQ(s.code(), Status::kOutOfMemory) << s.message();
      EXPECT_EQ(s.message(), "the run's memory reached its limit");
    }
  }
}

}  // namespace

// The command line's own pieces that a whole run cannot show: the progress
// numbers reach standard output the moment they are printed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver.h"
#include "result_store.h"

namespace {

using namespace quasibiclique;

// Through the result store's progress callback each thousandth stored result
// prints its number and a tab, and the number reaches the file behind
// standard output before anything else flushes it.
TEST(DriverProgress, PrintedAndFlushedAtOnce) {
  ResultStore store(PrintProgress, nullptr);
  const int tids[] = {0, 1};
  auto add = [&](int from, int to) {
    for (int i = from; i < to; i++) store.Add(tids, 2, &i, 1);
  };
  auto flushed = [] {  // bytes that reached the file behind standard output
    struct stat info;
    return fstat(STDOUT_FILENO, &info) == 0 ? static_cast<long long>(info.st_size) : -1;
  };
  ::testing::internal::CaptureStdout();
  add(0, 999);
  const long long before = flushed();
  add(999, 1000);
  const long long first = flushed();
  add(1000, 2000);
  const long long second = flushed();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "1001\t2001\t");
  EXPECT_EQ(before, 0);
  EXPECT_EQ(first, 5);  // "1001\t"
  EXPECT_EQ(second, 10);
}

}  // namespace

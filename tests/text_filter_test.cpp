// The text filter between the result writers and the output file: lines cut
// after the limit and ids relabelled, whatever the pieces the writers hand
// it in.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"
#include "text_filter.h"

namespace {

using namespace quasibiclique;

const std::vector<std::string> kTidLabels = {"t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7",
                                             "t8", "t9", "t10", "t11"};
const std::vector<std::string> kItemLabels = {"milk", "bread", "eggs", "a b", "x"};

std::string_view TidLabel(int id) { return kTidLabels.at(size_t(id)); }
std::string_view ItemLabel(int id) { return kItemLabels.at(size_t(id)); }

// Writes `text` through a filter in pieces of `piece` bytes, each flushed so
// that the filter sees it as one write; returns what reached the file.
std::string Filtered(const std::string& text, size_t piece, long long maxlines,
                     TextFilter::LabelOf tidlabel, TextFilter::LabelOf itemlabel,
                     long long* lines = nullptr) {
  qbtest::TempDir dir;
  const std::string path = dir.File("out.txt");
  std::FILE* out = std::fopen(path.c_str(), "w");
  {
    TextFilter filter(out, maxlines, tidlabel, itemlabel);
    EXPECT_NE(filter.file(), nullptr);
    for (size_t at = 0; at < text.size(); at += piece) {
      std::fwrite(text.data() + at, 1, std::min(piece, text.size() - at), filter.file());
      std::fflush(filter.file());
    }
    EXPECT_EQ(filter.Close(), 0);
    if (lines) *lines = filter.lines();
  }
  std::fclose(out);
  return qbtest::ReadFile(path);
}

const std::string kText = "0 4 6 7 ;2 3 4 \n4 6 7 ;2 3 \n10 11 ;0 1 \n";

TEST(TextFilter, CutsAfterTheLastLineAllowedInAnyPieces) {
  for (size_t piece : {size_t{1}, size_t{3}, size_t{16}, kText.size()}) {
    SCOPED_TRACE(piece);
    long long lines = 0;
    EXPECT_EQ(Filtered(kText, piece, -1, nullptr, nullptr, &lines), kText);
    EXPECT_EQ(lines, 3);
    EXPECT_EQ(Filtered(kText, piece, 2, nullptr, nullptr, &lines),
              "0 4 6 7 ;2 3 4 \n4 6 7 ;2 3 \n");
    EXPECT_EQ(lines, 2);
    EXPECT_EQ(Filtered(kText, piece, 5, nullptr, nullptr, &lines), kText);
    EXPECT_EQ(lines, 3);
  }
}

TEST(TextFilter, WritesLabelsForIdsAcrossPieces) {
  const std::string labelled =
      "t0 t4 t6 t7 ;eggs a b x \nt4 t6 t7 ;eggs a b \nt10 t11 ;milk bread \n";
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, kText.size()}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(Filtered(kText, piece, -1, TidLabel, ItemLabel), labelled);
    EXPECT_EQ(Filtered(kText, piece, 1, TidLabel, ItemLabel), "t0 t4 t6 t7 ;eggs a b x \n");
    // Items labelled, transactions by their line numbers.
    EXPECT_EQ(Filtered(kText, piece, -1, nullptr, ItemLabel),
              "0 4 6 7 ;eggs a b x \n4 6 7 ;eggs a b \n10 11 ;milk bread \n");
  }
}

TEST(TextFilter, NoFileCountsOnlyAndAFailedWriteIsReported) {
  {
    TextFilter counter(nullptr, -1, nullptr, nullptr);
    std::fputs(kText.c_str(), counter.file());
    EXPECT_EQ(counter.Close(), 0);
    EXPECT_EQ(counter.lines(), 3);
  }
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  TextFilter filter(full, -1, TidLabel, ItemLabel);
  std::fputs(kText.c_str(), filter.file());
  EXPECT_NE(filter.Close(), 0);
  std::fclose(full);
}

// A write larger than the stream's buffer that fails on its way to the file
// is reported by fwrite as short, and the text is never read past its end:
// here it ends right before a page that may not be read.
TEST(TextFilter, FailedLargeWriteIsShortAndReadsNoFurther) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE)), size = (size_t{3} << 20) + 8;
  const size_t mapped = (size + page - 1) / page * page + page;
  void* map = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* const guard = static_cast<char*>(map) + mapped - page;
  ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);
  char* const text = guard - size;
  for (size_t k = 0; k < size; k += 8) std::memcpy(text + k, "1 2 ;3 \n", 8);
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  {
    TextFilter filter(full, -1, nullptr, nullptr);
    EXPECT_LT(std::fwrite(text, 1, size, filter.file()), size);
    EXPECT_EQ(filter.Close(), ENOSPC);
  }
  std::fclose(full);
  munmap(map, mapped);
}

}  // namespace

// Replays every file of tests/corpus/ through the checks of the fuzz targets,
// so that each input the fuzzers kept (seeds and the reproducers of what they
// found) stays fixed in the ordinary suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/harness.h"

namespace {

using namespace quasibiclique;

using Check = std::string (*)(const uint8_t*, size_t);

void Replay(const char* target, Check check) {
  const std::filesystem::path dir =
      (std::filesystem::path(QB_TEST_DATA) / ".." / "corpus" / target).lexically_normal();
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << "no corpus in " << dir;
  for (const auto& file : files) {
    const std::string bytes = qbtest::ReadFile(file.string());
    EXPECT_EQ(check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "")
        << "corpus file " << file;
  }
}

TEST(CorpusTest, LoadInputsKeepReaderAndLoaderInvariants) { Replay("load", qbfuzz::CheckLoad); }

TEST(CorpusTest, MineInputsGiveOnlyValidResults) { Replay("mine", qbfuzz::CheckMine); }

}  // namespace

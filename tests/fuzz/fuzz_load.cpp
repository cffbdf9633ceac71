// Arbitrary bytes as a dataset: the reader and the loader against their
// reference, and the whole program where that is cheap.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qbfuzz::Require(qbfuzz::CheckLoad(data, size));
  return 0;
}

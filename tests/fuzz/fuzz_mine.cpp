// Small datasets and parameters through the whole program: every output line
// must be a quasi-biclique, and exactly the maximal ones where that is promised.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qbfuzz::Require(qbfuzz::CheckMine(data, size));
  return 0;
}

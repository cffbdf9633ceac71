// Compression of test datasets by zlib, as the gzip program writes them.
#ifndef QUASIBICLIQUE_TESTS_GZIP_UTIL_H
#define QUASIBICLIQUE_TESTS_GZIP_UTIL_H

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace qbtest {

// `text` as one gzip member.
inline std::string Gzip(const std::string& text) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                         Z_DEFAULT_STRATEGY),
            Z_OK);
  std::string out(deflateBound(&z, uLong(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = uInt(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace qbtest

#endif  // QUASIBICLIQUE_TESTS_GZIP_UTIL_H

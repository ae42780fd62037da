// Accept-Encoding as clients write it, and gzip output read back by an independent inflater.
#include "web/encoding.h"

#include <sstream>
#include <string>

#include <Poco/InflatingStream.h>
#include <gtest/gtest.h>

namespace {

TEST(Encoding, AcceptEncodingDecidesGzip) {
  const struct {
    const char* header;
    bool gzip;
  } cases[] = {
      {"", false},
      {"gzip", true},
      {"GZip", true},
      {"x-gzip", true},
      {"deflate, gzip;q=1.0, br", true},
      {" gzip ; q=0.5 ", true},
      {"gzip;Q=0.001", true},
      {"gzip;q=0", false},
      {"gzip;q=0.000", false},
      {"gzip; q=0.0, *", false}, // an explicit refusal wins over the wildcard
      {"*", true},
      {"*;q=0", false},
      {"identity", false},
      {"deflate, br", false},
      {"gzipped", false},
      {"gzip;q=2", false},   // not a quality: refused rather than guessed
      {"gzip;q=abc", false},
      {"gzip;q=1.5", false},
      {"gzip;level=9", true}, // unknown parameters are ignored
      {",,gzip,", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(web::accepts_gzip(c.header), c.gzip) << '"' << c.header << '"';
  }
}

TEST(Encoding, GzipInflatesToTheSameBytes) {
  std::string large;
  for (int i = 0; i < 20000; ++i) {
    large += R"({"Price":)" + std::to_string(45 + i % 17) + R"(,"StationId":")" +
             std::to_string(i) + "\"},";
  }
  for (const std::string& text : {std::string(), std::string("[]"), large}) {
    const std::string packed = web::gzip(text);
    ASSERT_GE(packed.size(), 10U);
    EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f); // the gzip magic
    EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x8b);
    std::istringstream in(packed);
    Poco::InflatingInputStream inflating(in, Poco::InflatingStreamBuf::STREAM_GZIP);
    std::ostringstream out;
    out << inflating.rdbuf();
    EXPECT_EQ(out.str(), text);
  }
  EXPECT_LT(web::gzip(large).size() * 5, large.size());
}

} // namespace

// The inputs kept for the order body fuzzer (its seeds and every input that once broke it),
// replayed in the regular build so that a fault it found stays found.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/order_body_check.h"
#include "support/test_db.h"

namespace {

std::vector<std::filesystem::path> kept_inputs() {
  std::vector<std::filesystem::path> files;
  const auto root = orvale_test::source_dir() / "app-srv" / "tests" / "fuzz";
  for (const char* dir : {"corpus", "regressions"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / dir)) {
      if (entry.is_regular_file()) {
        files.push_back(entry.path());
      }
    }
  }
  return files;
}

TEST(OrderBodyFuzzInputs, KeptInputsPass) {
  const auto files = kept_inputs();
  ASSERT_GE(files.size(), 10u) << "the seeds and regressions are missing";
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(orvale_fuzz::check_order_body(reinterpret_cast<const std::uint8_t*>(data.data()),
                                            data.size()),
              "")
        << file;
  }
  EXPECT_EQ(orvale_fuzz::check_order_body(nullptr, 0), "");
}

} // namespace

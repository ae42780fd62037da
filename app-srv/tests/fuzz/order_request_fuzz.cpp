// libFuzzer target: the order body and the reading of its keys, no database.
#include <cstdio>
#include <cstdlib>

#include "fuzz/order_body_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure = orvale_fuzz::check_order_body(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "order body check failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}

// libcurl's process-wide set-up for a test binary, done once as the process entry does it.
#pragma once

#include <memory>

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace orvale_test {

class curl_library final : public testing::Environment {
public:
  void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
  void TearDown() override { curl_global_cleanup(); }
};

// For a test file's namespace scope; libcurl counts the set-ups, so several files may each ask.
inline testing::Environment* register_curl_library() {
  return testing::AddGlobalTestEnvironment(std::make_unique<curl_library>().release());
}

} // namespace orvale_test

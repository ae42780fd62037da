// Controller passwords: their length per digest name, their digits, and what a failing random
// source leads to, down to the reply of the endpoint.
#include "registration.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <numeric>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "orvale.h"
#include "support/log_capture.h"
#include "web/settings.h"

namespace {

using orvale_test::log_capture;
using srv_apps::registration;

bool is_lower_hex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string repeated(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) {
    out += piece;
  }
  return out;
}

TEST(gen_key, has_two_lowercase_hex_digits_per_byte_of_the_named_digest) {
  const std::vector<std::pair<std::string, std::size_t>> sizes = {
      {"md5", 16}, {"sha1", 20}, {"sha224", 28}, {"sha256", 32}, {"sha384", 48}, {"sha512", 64}};
  for (const auto& [name, size] : sizes) {
    EXPECT_EQ(registration::digest_size(name), size) << name;
    std::size_t asked = 0;
    const std::string key = registration::gen_key(name, [&](std::span<unsigned char> out) {
      asked = out.size();
      std::fill(out.begin(), out.end(), 0xab);
      return 0;
    });
    EXPECT_EQ(asked, size) << name;
    EXPECT_EQ(key, repeated("ab", size)) << name;
  }
}

TEST(gen_key, writes_each_byte_high_half_first) {
  const std::string key = registration::gen_key("md5", [](std::span<unsigned char> out) {
    std::iota(out.begin(), out.end(), static_cast<unsigned char>(0xf0)); // f0 f1 ... ff
    out[0] = 0x00;
    out[1] = 0x09;
    out[2] = 0x5a;
    return 0;
  });
  EXPECT_EQ(key, "00095af3f4f5f6f7f8f9fafbfcfdfeff");
}

TEST(gen_key, refuses_empty_and_unknown_names_without_asking_for_random_bytes) {
  log_capture logs;
  bool asked = false;
  const registration::random_source spy = [&](std::span<unsigned char>) {
    asked = true;
    return 0;
  };
  EXPECT_EQ(registration::gen_key("", spy), "");
  for (const char* name : {"MD5", "Sha256", "sha3-256", "md4", "whirlpool", "md5 "}) {
    EXPECT_EQ(registration::digest_size(name), 0u) << name;
    EXPECT_EQ(registration::gen_key(name, spy), "") << name;
  }
  EXPECT_FALSE(asked);
  EXPECT_EQ(logs.count("orvale/registration", "Не указан код аутентификации (HMAC)"), 1);
  EXPECT_EQ(logs.count("orvale/registration", "Не поддерживаемый тип аутентификации (HMAC)"), 6);
}

TEST(gen_key, gives_no_key_at_all_when_the_random_source_fails) {
  log_capture logs;
  const std::string key = registration::gen_key("md5", [](std::span<unsigned char> out) {
    std::fill(out.begin(), out.end(), 0x11); // filled, yet reported as failed
    return EIO;
  });
  EXPECT_EQ(key, "");
  EXPECT_EQ(logs.count("orvale/registration", "Ошибка получения случайных данных: " +
                                                  std::generic_category().message(EIO)),
            1);
  EXPECT_EQ(registration::gen_key("md5", registration::random_source()), "");
}

TEST(os_random, fills_every_byte_and_never_repeats_a_key) {
  EXPECT_EQ(registration::os_random({}), 0);
  std::vector<std::string> keys;
  for (int i = 0; i < 64; ++i) {
    const std::string key = registration::gen_key("md5");
    ASSERT_EQ(key.size(), 32u);
    ASSERT_TRUE(is_lower_hex(key)) << key;
    keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end());
  // Every position takes more than one value: nothing is left as it was.
  std::vector<unsigned char> a(4096, 0);
  std::vector<unsigned char> b(4096, 0);
  ASSERT_EQ(registration::os_random(a), 0);
  ASSERT_EQ(registration::os_random(b), 0);
  EXPECT_NE(a, b);
  EXPECT_GT(std::count_if(a.begin(), a.end(), [](unsigned char c) { return c != 0; }), 4000);
}

// The endpoint itself on a root whose database cannot be reached: a failed source must end the
// request with error 3 before any connection is tried (that would answer 406).
TEST(registration_endpoint, a_failing_random_source_is_error_3_and_nothing_else_is_tried) {
  log_capture logs;
  orvale root(web::settings::from_text(
      R"({"orvale":{"app_key":"gw-key","notifications":{},"velk_database":{},)"
      R"("app_database":{"db_host":"127.0.0.1","db_port":1,"connect_timeout":1}}})"));
  web::param_list form = {{"type", "azs"}, {"sysId", "7"}, {"key", "gw-key"}};
  web::response sent;
  int sends = 0;
  auto ctx =
      std::make_shared<web::context>(web::request("POST", "/orvale/cpanel/register", {}, form, "",
                                                  "application/x-www-form-urlencoded", "127.0.0.1"),
                                     [&](const web::response& r, bool) {
                                       sent = r;
                                       ++sends;
                                     });
  int calls = 0;
  registration endpoint({root.settings(), root.services()}, ctx, "orvale/registration", [&](std::span<unsigned char>) {
    ++calls;
    return EAGAIN;
  });
  endpoint.get_registration();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(sends, 1);
  EXPECT_EQ(sent.status(), 400);
  EXPECT_EQ(sent.content_type(), "application/json");
  EXPECT_EQ(sent.body(), R"({"err":3,"msg":"Ошибка генерации кода аутентификации"})");
  EXPECT_EQ(logs.count("orvale/registration", "Ошибка генерации кода аутентификации"), 1);
  EXPECT_EQ(logs.count("Database", ""), 0);
  root.shutdown(web::millis(0));
}

} // namespace

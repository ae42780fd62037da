// Certificate generation through the openssl tool (shipped with ca-certificates on Debian).
#include "support/tls_cert.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

namespace orvale_test {
namespace {

std::filesystem::path fresh_directory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvale-tls-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  return pattern;
}

} // namespace

self_signed_cert::self_signed_cert() : dir_(fresh_directory()) {
  files_.cert_file = (dir_ / "cert.pem").string();
  files_.key_file = (dir_ / "key.pem").string();
  // An EC key keeps generation fast; the IP entry is what host-name checks of 127.0.0.1 match.
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
      files_.key_file + "' -out '" + files_.cert_file + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    throw std::runtime_error("openssl could not make a test certificate: " + command);
  }
}

self_signed_cert::~self_signed_cert() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

} // namespace orvale_test

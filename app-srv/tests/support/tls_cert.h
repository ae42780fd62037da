// A throwaway certificate for TLS tests, made with the openssl command-line tool.
#pragma once

#include <filesystem>

#include "support/fake_peer.h"

namespace orvale_test {

// A self-signed certificate for 127.0.0.1 (a CA certificate as well, so it can be handed to a
// client as the one trusted authority) and its key, in a directory of its own removed with the
// object. Throws std::runtime_error when openssl fails.
class self_signed_cert {
public:
  self_signed_cert();
  ~self_signed_cert();
  self_signed_cert(const self_signed_cert&) = delete;
  self_signed_cert& operator=(const self_signed_cert&) = delete;

  const tls_identity& files() const { return files_; }
  const std::string& ca_file() const { return files_.cert_file; }

private:
  std::filesystem::path dir_;
  tls_identity files_;
};

} // namespace orvale_test

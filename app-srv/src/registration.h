// Issuing a station controller its password: a new random key stored as the station link's `pass`
// and handed back with the gateway's own key, the two values a controller needs to call us.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "master.h"

namespace srv_apps {

class registration final : public master {
public:
  // Fills the whole span with random bytes; 0 on success, else the errno value of the failure.
  using random_source = std::function<int(std::span<unsigned char>)>;

  registration(endpoint_env env, web::context_ptr ctx, std::string channel,
               random_source source = os_random);
  void get_registration();

  // The operating system's source (getrandom(2)); it never falls back to a weaker generator.
  static int os_random(std::span<unsigned char> out);

  // Output size in bytes of the digest named ("md5" 16 ... "sha512" 64); 0 when unsupported.
  static std::size_t digest_size(const std::string& name);

  // 2n lowercase hexadecimal digits made of n random bytes, n being the digest's size; "" when
  // the name is empty or unsupported or the source fails (the reason is logged).
  static std::string gen_key(const std::string& name, const random_source& source = os_random);

private:
  struct form;
  struct outcome;

  form _read_form();
  outcome _serve(const form& f);
  outcome _store_key(std::unique_ptr<content::PGBackend> db, int id_shop, const std::string& key);
  outcome _refuse(int status, int err, const std::string& msg, const std::string& detail = "");

  random_source random_;
};

} // namespace srv_apps

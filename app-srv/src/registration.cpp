// Controller registration: the caller's key, the station id, a new controller password and the
// update of the station's link.
#include "registration.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

#include "conn_station.h"
#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

// gen_key is used without an endpoint object, so it names the endpoint's channel itself.
constexpr const char* key_channel = "orvale/registration";

constexpr const char* bad_arguments = "Неверно указаны аргументы для регистрации";

struct digest_entry {
  std::string_view name;
  std::size_t size; // bytes
};

// Only the sizes matter: a key is as long as the digest's output, nothing is hashed.
constexpr std::array<digest_entry, 6> digests{{
    {"md5", 16},
    {"sha1", 20},
    {"sha224", 28},
    {"sha256", 32},
    {"sha384", 48},
    {"sha512", 64},
}};
constexpr std::size_t largest_digest = 64;

std::string lower_hex(std::span<const unsigned char> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0x0f];
  }
  return out;
}

web::json::object_ptr reply_object(int err) {
  web::json::object_ptr reply = web::json::make_object();
  reply->set("err", err);
  return reply;
}

} // namespace

struct registration::form {
  std::string type;
  std::string sys_id;
  std::string key; // the caller's proof: the gateway's own application key
};

struct registration::outcome {
  int status;
  web::json::object_ptr reply;
};

registration::registration(endpoint_env env, web::context_ptr ctx, std::string channel,
                           random_source source)
    : master(env, std::move(ctx), std::move(channel)), random_(std::move(source)) {}

int registration::os_random(std::span<unsigned char> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n < 0 ? errno : EIO;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

std::size_t registration::digest_size(const std::string& name) {
  for (const auto& d : digests) {
    if (d.name == name) {
      return d.size;
    }
  }
  return 0;
}

std::string registration::gen_key(const std::string& name, const random_source& source) {
  if (name.empty()) {
    LOG(key_channel, error, "Не указан код аутентификации (HMAC)");
    return "";
  }
  const std::size_t size = digest_size(name);
  if (size == 0) {
    LOG(key_channel, error, "Не поддерживаемый тип аутентификации (HMAC)");
    return "";
  }
  std::array<unsigned char, largest_digest> bytes{};
  const std::span<unsigned char> used(bytes.data(), size);
  // A password from a failed source would be guessable: no key at all is the only safe answer.
  if (const int err = source ? source(used) : ENOSYS; err != 0) {
    LOG(key_channel, error,
        "Ошибка получения случайных данных: " << std::generic_category().message(err));
    return "";
  }
  return lower_hex(used);
}

void registration::get_registration() {
  LOG(channel(), info, "Запрос на регистрацию (АЗС или приложение)");
  const form f = _read_form();
  web::context_ptr ctx = release_context();
  const outcome out = _serve(f);
  json_reply(*ctx, out.reply);
  ctx->response().status(out.status);
  ctx->complete_response();
}

registration::form registration::_read_form() {
  form f;
  // Other methods carry no form, so they fail as a request without a type.
  if (request().method() == "POST") {
    f.type = request().form_value("type");
    f.sys_id = request().form_value("sysId");
    f.key = request().form_value("key");
  }
  return f;
}

registration::outcome registration::_serve(const form& f) {
  if (f.type != "azs" && f.type != "app") {
    return _refuse(400, 1, bad_arguments, "Не указан тип регистрируемого элемента");
  }
  if (f.sys_id.empty()) {
    return _refuse(400, 2, bad_arguments, "Отсутствует идентификатор АЗС или Приложения");
  }
  int id = 0;
  if (!str::is_decimal_int(f.sys_id, id)) {
    return _refuse(400, 2, bad_arguments, "Идентификатор АЗС или Приложения не является числом");
  }
  // Whoever may call this can reset any station's password, so only the operator may. Checked
  // after the arguments: a malformed request changes nothing either way.
  if (!check_service_key(f.key, key_holder::operator_)) {
    return _refuse(401, 4, "Ошибка авторизации");
  }
  std::string key;
  if (f.type == "azs") {
    key = gen_key("md5", random_);
    if (key.empty()) {
      return _refuse(400, 3, "Ошибка генерации кода аутентификации");
    }
  }
  database::open_failure failure = database::open_failure::none;
  std::unique_ptr<content::PGBackend> db = services.app_db.open(failure);
  if (db == nullptr) {
    return _refuse(406, 6, "Нет подключения к БД");
  }
  if (f.type == "app") {
    return outcome{404, reply_object(0)}; // applications are not registered here
  }
  return _store_key(std::move(db), id, key);
}

registration::outcome registration::_store_key(std::unique_ptr<content::PGBackend> db, int id_shop,
                                               const std::string& key) {
  const std::string shop = std::to_string(id_shop);
  const std::string failure = "Ошибка регистрации АЗС ( АЗС : '" + shop + "')";
  std::string stored;
  std::string error;
  if (!content::store_station_key(*db, id_shop, key, stored, error)) {
    LOG(channel(), debug, "Ошибка запроса на регистрацию АЗС : " << error);
    return _refuse(404, 11, failure);
  }
  LOG(channel(), info,
      "Обновлено записей регистрации АЗС : " << shop << " (" << (stored.empty() ? "0" : "1")
                                             << ")");
  db.reset();
  if (stored.empty()) {
    // No link row: registration never creates one (the station synchronisation does).
    outcome out{404, reply_object(11)};
    out.reply->set("msg", failure);
    return out;
  }
  web::json::object_ptr controller = web::json::make_object();
  controller->set("upstream_key", settings.app_key);
  controller->set("ctl_key", stored);
  web::json::object_ptr cfg = web::json::make_object();
  cfg->set("azstank", controller);
  outcome out{200, reply_object(0)};
  out.reply->set("msg", "Успешная регистрация");
  out.reply->set("cfg", cfg);
  return out;
}

registration::outcome registration::_refuse(int status, int err, const std::string& msg,
                                            const std::string& detail) {
  LOG(channel(), error, msg);
  if (!detail.empty()) {
    LOG(channel(), debug, detail);
  }
  outcome out{status, reply_object(err)};
  out.reply->set("msg", msg);
  return out;
}

} // namespace srv_apps

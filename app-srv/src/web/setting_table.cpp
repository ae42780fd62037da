// Table-driven reads of the configuration.
#include "web/setting_table.h"

#include <stdexcept>

namespace web {

setting_table::setting_table(std::vector<setting_row> rows) : rows_(std::move(rows)) {}

const setting_row* setting_table::find(std::string_view path) const {
  for (const auto& r : rows_) {
    if (r.path == path) {
      return &r;
    }
  }
  return nullptr;
}

const setting_row& setting_table::row(std::string_view path, setting_kind kind) const {
  const setting_row* r = find(path);
  if (r == nullptr) {
    throw std::logic_error("setting " + std::string(path) + " is read but has no row in the table");
  }
  if (r->kind != kind) {
    throw std::logic_error("setting " + r->path + " is read with another type than its row's");
  }
  return *r;
}

namespace {

template <class T> T literal_default(const setting_row& r) {
  const T* def = std::get_if<T>(&r.def);
  if (def == nullptr) {
    throw std::logic_error("setting " + r.path + " has no literal default");
  }
  return *def;
}

} // namespace

int setting_reader::integer(std::string_view path) const {
  const setting_row& r = table_.row(path, setting_kind::integer);
  return cfg_.get(r.path, literal_default<int>(r));
}

double setting_reader::number(std::string_view path) const {
  const setting_row& r = table_.row(path, setting_kind::number);
  return cfg_.get(r.path, literal_default<double>(r));
}

bool setting_reader::boolean(std::string_view path) const {
  const setting_row& r = table_.row(path, setting_kind::boolean);
  return cfg_.get(r.path, literal_default<bool>(r));
}

bool setting_reader::boolean(std::string_view path, bool derived) const {
  const setting_row& r = table_.row(path, setting_kind::boolean);
  if (!std::holds_alternative<std::monostate>(r.def)) {
    throw std::logic_error("setting " + r.path + " has a literal default");
  }
  return cfg_.get(r.path, derived);
}

std::string setting_reader::text(std::string_view path) const {
  const setting_row& r = table_.row(path, setting_kind::text);
  return cfg_.get(r.path, literal_default<std::string>(r));
}

double setting_reader::milliseconds_of(std::string_view path) const {
  const setting_row* r = table_.find(path);
  if (r == nullptr || r->kind == setting_kind::boolean || r->kind == setting_kind::text) {
    throw std::logic_error("setting " + std::string(path) + " is not a duration in the table");
  }
  const double value = r->kind == setting_kind::integer ? integer(path) : number(path);
  if (r->unit == "ms") {
    return value;
  }
  if (r->unit == "s") {
    return value * 1000;
  }
  if (r->unit == "min") {
    return value * 60000;
  }
  throw std::logic_error("setting " + r->path + " has no unit of time");
}

} // namespace web

// The settings a service reads, as one table: each row names a dotted path, its type, its default,
// its unit and what it is for. Reading goes through the table, so a default is written once and
// the operators' example configuration can be checked against the same rows.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "web/settings.h"

namespace web {

enum class setting_kind { integer, number, boolean, text };

// std::monostate: the default is derived from other settings (the description says how).
using setting_default = std::variant<std::monostate, int, double, bool, std::string>;

struct setting_row {
  std::string path;
  setting_kind kind;
  setting_default def;
  std::string unit; // "ms", "s", "min", "KB"... or "" for none
  std::string description;
};

class setting_table {
public:
  explicit setting_table(std::vector<setting_row> rows);

  const std::vector<setting_row>& rows() const { return rows_; }
  const setting_row* find(std::string_view path) const; // null when the path has no row
  // Throws std::logic_error when the path has no row or its row is of another kind: a read the
  // table does not know is a programming error, found by the first start.
  const setting_row& row(std::string_view path, setting_kind kind) const;

private:
  std::vector<setting_row> rows_;
};

// Typed reads of one configuration through a table. A value that is missing or of another type
// yields the row's default (numbers count as integers only when integral and in range).
class setting_reader {
public:
  setting_reader(const settings& cfg, const setting_table& table) : cfg_(cfg), table_(table) {}

  int integer(std::string_view path) const;
  double number(std::string_view path) const;
  bool boolean(std::string_view path) const;
  // For a row whose default is derived: `derived` is that default.
  bool boolean(std::string_view path, bool derived) const;
  std::string text(std::string_view path) const;

  // An integer or number row in the row's unit ("ms", "s" or "min"), as a duration.
  template <class Duration> Duration duration(std::string_view path) const {
    return std::chrono::duration_cast<Duration>(
        std::chrono::duration<double, std::milli>(milliseconds_of(path)));
  }

private:
  double milliseconds_of(std::string_view path) const;

  const settings& cfg_;
  const setting_table& table_;
};

} // namespace web

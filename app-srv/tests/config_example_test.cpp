// config/orvale.example.json is the operators' reference: it must load, the service must start
// from it, and it must name exactly the settings of the table the code reads through, with the
// table's defaults.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "gateway_settings.h"
#include "orvale.h"
#include "web/json.h"
#include "web/log.h"
#include "web/server.h"
#include "web/settings.h"

namespace {

namespace fs = std::filesystem;

const fs::path source_root{ORVALE_SOURCE_DIR};

fs::path example_path() {
  return source_root / "config" / "orvale.example.json";
}

std::shared_ptr<const web::settings> load_example() {
  return web::settings::from_command_line({"-c", example_path().string()});
}

// Dotted paths of every non-object value in the document.
void collect_leaves(const web::json::value& root, const std::string& prefix,
                    std::set<std::string>& out) {
  const web::json::object_ptr obj =
      prefix.empty() ? web::json::as_object(root) : web::json::find_object(root, prefix);
  for (const auto& [name, member] : *obj) {
    const std::string path = prefix.empty() ? name : prefix + "." + name;
    if (web::json::find_object(root, path)) {
      collect_leaves(root, path, out);
    } else {
      out.insert(path);
    }
  }
}

// Where the example deliberately shows a value of its own rather than the default (its comments
// say so): an open operators' port and the names of a database to connect to.
const std::set<std::string> example_values = {
    "admin.port",
    "orvale.app_database.db_name",  "orvale.app_database.db_user",
    "orvale.app_database.db_pass",  "orvale.velk_database.db_host",
    "orvale.velk_database.db_name", "orvale.velk_database.db_user",
    "orvale.velk_database.db_pass",
};

bool holds_default(const web::json::value& v, const web::setting_default& def) {
  if (const int* i = std::get_if<int>(&def)) {
    int n = 0;
    return web::json::as_int(v, n) && n == *i;
  }
  if (const double* d = std::get_if<double>(&def)) {
    double x = 0;
    return web::json::as_double(v, x) && x == *d;
  }
  if (const bool* b = std::get_if<bool>(&def)) {
    bool x = false;
    return web::json::as_bool(v, x) && x == *b;
  }
  if (const std::string* s = std::get_if<std::string>(&def)) {
    std::string x;
    return web::json::as_string(v, x) && x == *s;
  }
  return true; // derived from other settings
}

TEST(ConfigExample, LoadsWithTheRequiredObjectsAndStartsTheService) {
  std::shared_ptr<const web::settings> cfg;
  ASSERT_NO_THROW(cfg = load_example()) << example_path();
  for (const char* path : {"orvale.notifications", "orvale.app_database", "orvale.velk_database"}) {
    EXPECT_TRUE(cfg->has_object(path)) << path;
  }
  web::log_level level{};
  EXPECT_TRUE(web::parse_log_level(cfg->get("logging.level", ""), level));
  EXPECT_NO_THROW(orvale root(cfg));
}

TEST(ConfigExample, ListenerSettingsAreTheDefaults) {
  const web::service_options defaults;
  const web::service_options read = srv_apps::read_service_options(*load_example());
  EXPECT_EQ(read.ip, defaults.ip);
  EXPECT_EQ(read.port, defaults.port);
  EXPECT_EQ(read.worker_threads, defaults.worker_threads);
  EXPECT_EQ(read.max_queued, defaults.max_queued);
  EXPECT_EQ(read.script, defaults.script);
  EXPECT_EQ(read.timeout, defaults.timeout);
  EXPECT_EQ(read.keep_alive_timeout, defaults.keep_alive_timeout);
  EXPECT_EQ(read.content_length_limit, defaults.content_length_limit);
}

TEST(ConfigExample, NamesEveryRowOfTheTableWithItsDefault) {
  const auto example = load_example();
  const auto& rows = srv_apps::setting_rows().rows();
  ASSERT_GT(rows.size(), 40u);
  int compared = 0;
  for (const auto& row : rows) {
    EXPECT_FALSE(row.description.empty()) << row.path;
    const web::json::value v = example->find(row.path);
    if (web::json::is_null(v)) {
      ADD_FAILURE() << row.path << " is missing from " << example_path();
      continue;
    }
    if (example_values.count(row.path) == 0) {
      EXPECT_TRUE(holds_default(v, row.def)) << row.path << ": the example does not hold the default";
      ++compared;
    }
  }
  EXPECT_GE(compared, 40);
}

TEST(ConfigExample, DocumentsNoSettingOutsideTheTable) {
  const auto example = load_example();
  std::set<std::string> leaves;
  collect_leaves(example->root(), "", leaves);
  ASSERT_FALSE(leaves.empty());
  for (const auto& leaf : leaves) {
    EXPECT_NE(srv_apps::setting_rows().find(leaf), nullptr) << leaf << " is documented but not read";
  }
}

// Reading goes through the table only: a read of a path without a row, or with another type than
// its row's, stops the start; the example then could not name every setting the code reads.
TEST(ConfigExample, EveryReadOfTheServiceHasARow) {
  const auto example = load_example();
  EXPECT_NO_THROW(srv_apps::read_service_settings(*example));
  const web::setting_reader r(*example, srv_apps::setting_rows());
  EXPECT_THROW(r.integer("orvale.not_in_the_table"), std::logic_error);
  EXPECT_THROW(r.text("orvale.pause_scale"), std::logic_error);
  EXPECT_EQ(r.duration<std::chrono::milliseconds>("orvale.station_wait"),
            std::chrono::milliseconds(2000));
  EXPECT_EQ(r.duration<std::chrono::seconds>("orvale.sync_conf_interval"),
            std::chrono::seconds(600));
}

} // namespace

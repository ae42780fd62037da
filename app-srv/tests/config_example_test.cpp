// config/orvale.example.json is the operators' reference: it must load, the service must start
// from it, and it must name exactly the settings the code reads, with the code's defaults. The
// settings are found by reading the sources, so a new setting fails here until it is documented.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<fs::path> service_sources() {
  std::vector<fs::path> files;
  for (const char* dir : {"app-srv/src", "app-srv/src/web"}) {
    for (const auto& entry : fs::directory_iterator(source_root / dir)) {
      if (entry.is_regular_file() && entry.path().extension() == ".cpp") {
        files.push_back(entry.path());
      }
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// One read of a setting found in the sources: the dotted path and the text of the default
// argument ("" when there is none or it contains a call).
struct setting_read {
  std::string path;
  std::string default_text;
  std::string where; // file name, for failure messages
};

// Settings lookups take a literal dotted path ("section.key"); request fields are never dotted.
std::vector<setting_read> scan_path_reads(const fs::path& file) {
  static const std::regex call(R"re(\b(?:get|has_object|find|find_object)\(\s*)re"
                               R"re("([A-Za-z0-9_]+(?:\.[A-Za-z0-9_]+)+)")re"
                               R"re(\s*(?:,\s*([^()]*?)\s*\))?)re");
  const std::string text = read_file(file);
  std::vector<setting_read> reads;
  for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
    reads.push_back({(*it)[1].str(), (*it)[2].str(), file.filename().string()});
  }
  return reads;
}

// The two database objects are read key by key from the object itself: the paths come from the
// calls of read_database(), the keys from its body.
std::vector<setting_read> scan_database_reads(const fs::path& file) {
  const std::string text = read_file(file);
  static const std::regex definition(R"re(\bread_database\([^)]*\)\s*\{)re");
  static const std::regex key_read(R"re(\(\s*\w+\s*,\s*"(\w+)"\s*(?:,\s*([^()]*?)\s*\))?)re");
  static const std::regex object_path(
      R"re(\bread_database\(\s*\w+\s*,\s*"([A-Za-z0-9_.]+)"\s*(?:,[^)]*)?\))re");
  std::smatch def;
  if (!std::regex_search(text, def, definition)) {
    return {};
  }
  const auto body_begin = def.suffix().first;
  const std::size_t close =
      text.find("\n}\n", static_cast<std::size_t>(def.position(0) + def.length(0)));
  const auto body_end =
      close == std::string::npos ? text.end() : text.begin() + static_cast<std::ptrdiff_t>(close);
  std::vector<std::pair<std::string, std::string>> keys;
  for (std::sregex_iterator it(body_begin, body_end, key_read), end; it != end; ++it) {
    keys.emplace_back((*it)[1].str(), (*it)[2].str());
  }
  std::vector<setting_read> reads;
  for (std::sregex_iterator it(text.begin(), text.end(), object_path), end; it != end; ++it) {
    for (const auto& [key, def_text] : keys) {
      reads.push_back({(*it)[1].str() + "." + key, def_text, file.filename().string()});
    }
  }
  return reads;
}

std::vector<setting_read> scan_all_reads() {
  std::vector<setting_read> reads;
  for (const auto& file : service_sources()) {
    for (auto& r : scan_path_reads(file)) {
      reads.push_back(std::move(r));
    }
    for (auto& r : scan_database_reads(file)) {
      reads.push_back(std::move(r));
    }
  }
  return reads;
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

// Compares the example's value with a literal default from the source; a default that is not a
// literal (a constant, a field, an expression) cannot be compared and counts as not checked.
enum class default_check { equal, differs, not_literal };

default_check compare_default(const web::settings& example, const setting_read& r) {
  static const std::regex integer(R"(-?[0-9]+)");
  static const std::regex real(R"(-?[0-9]+\.[0-9]*)");
  static const std::regex quoted(R"re("([^"\\]*)")re");
  const web::json::value v = example.find(r.path);
  const std::string& d = r.default_text;
  std::smatch m;
  if (d == "true" || d == "false") {
    bool b = false;
    return web::json::as_bool(v, b) && b == (d == "true") ? default_check::equal
                                                          : default_check::differs;
  }
  if (std::regex_match(d, integer)) {
    long long n = 0;
    return web::json::as_int64(v, n) && n == std::stoll(d) ? default_check::equal
                                                           : default_check::differs;
  }
  if (std::regex_match(d, real)) {
    double x = 0;
    return web::json::as_double(v, x) && x == std::stod(d) ? default_check::equal
                                                           : default_check::differs;
  }
  if (std::regex_match(d, m, quoted)) {
    std::string s;
    return web::json::as_string(v, s) && s == m[1].str() ? default_check::equal
                                                         : default_check::differs;
  }
  return default_check::not_literal;
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
  const web::service_options read = read_service_options(*load_example());
  EXPECT_EQ(read.ip, defaults.ip);
  EXPECT_EQ(read.port, defaults.port);
  EXPECT_EQ(read.worker_threads, defaults.worker_threads);
  EXPECT_EQ(read.max_queued, defaults.max_queued);
  EXPECT_EQ(read.script, defaults.script);
  EXPECT_EQ(read.timeout, defaults.timeout);
  EXPECT_EQ(read.keep_alive_timeout, defaults.keep_alive_timeout);
  EXPECT_EQ(read.content_length_limit, defaults.content_length_limit);
}

TEST(ConfigExample, NamesEverySettingTheCodeReadsWithItsDefault) {
  const auto example = load_example();
  const std::vector<setting_read> reads = scan_all_reads();
  // A scan that finds nothing would pass everything below.
  ASSERT_TRUE(std::any_of(reads.begin(), reads.end(),
                          [](const setting_read& r) { return r.path == "logging.level"; }));
  ASSERT_TRUE(std::any_of(reads.begin(), reads.end(), [](const setting_read& r) {
    return r.path == "orvale.app_database.db_port";
  })) << "no key reads found in read_database()";

  int literal_defaults = 0;
  for (const auto& r : reads) {
    if (web::json::is_null(example->find(r.path))) {
      ADD_FAILURE() << r.path << " (read in " << r.where << ") is missing from " << example_path();
      continue;
    }
    const default_check c = compare_default(*example, r);
    EXPECT_TRUE(c != default_check::differs) << r.path << ": the example does not hold the default "
                                             << r.default_text << " of " << r.where;
    literal_defaults += c == default_check::equal ? 1 : 0;
  }
  EXPECT_GE(literal_defaults, 10);
}

TEST(ConfigExample, DocumentsNoSettingTheCodeDoesNotRead) {
  const auto example = load_example();
  std::set<std::string> read_paths;
  for (const auto& r : scan_all_reads()) {
    read_paths.insert(r.path);
  }
  std::set<std::string> leaves;
  collect_leaves(example->root(), "", leaves);
  ASSERT_FALSE(leaves.empty());
  for (const auto& leaf : leaves) {
    EXPECT_TRUE(read_paths.count(leaf) == 1) << leaf << " is documented but never read";
  }
}

} // namespace

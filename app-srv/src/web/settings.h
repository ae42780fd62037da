// The service configuration: one JSON document (comments allowed) plus command-line overrides,
// read once per service cycle and shared read-only by every worker.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "web/json.h"

namespace web {

class settings {
public:
  // "-c FILE" once, then any number of "--a-b-c=VALUE" overrides of the path "a.b.c", VALUE read
  // as a JSON literal (a text that is not one is taken as a string). Throws std::runtime_error
  // with an operator-readable text when the command line, the file or its JSON is bad.
  static std::shared_ptr<const settings> from_command_line(const std::vector<std::string>& args);
  static std::shared_ptr<const settings> from_text(const std::string& text);

  const json::value& root() const { return root_; }
  json::value find(const std::string& path) const { return json::find(root_, path); }
  bool has_object(const std::string& path) const { return json::is_object(find(path)); }

  int get(const std::string& path, int def) const { return json::get_int(root_, path, def); }
  long long get(const std::string& path, long long def) const {
    return json::get_int64(root_, path, def);
  }
  double get(const std::string& path, double def) const {
    return json::get_double(root_, path, def);
  }
  bool get(const std::string& path, bool def) const { return json::get_bool(root_, path, def); }
  std::string get(const std::string& path, const std::string& def) const {
    return json::get_string(root_, path, def);
  }
  std::string get(const std::string& path, const char* def) const {
    return json::get_string(root_, path, def);
  }

  const std::string& source() const { return source_; } // the file name, for messages

  explicit settings(json::value root, std::string source)
      : root_(std::move(root)), source_(std::move(source)) {}

private:
  json::value root_;
  std::string source_;
};

// Removes // line comments and /* */ block comments outside JSON strings.
std::string strip_json_comments(const std::string& text);

} // namespace web

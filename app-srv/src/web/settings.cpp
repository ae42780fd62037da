// Reading the configuration file and the command line.
#include "web/settings.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace web {
namespace {

std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    throw std::runtime_error("Cannot open configuration file " + name);
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    throw std::runtime_error("Cannot read configuration file " + name);
  }
  return text.str();
}

json::value parse_document(const std::string& text, const std::string& source) {
  json::value root;
  if (!json::parse(strip_json_comments(text), root) || !json::is_object(root)) {
    throw std::runtime_error("Invalid JSON in configuration file " + source);
  }
  return root;
}

// "--service-port=8081" sets service.port to 8081; a value that is not a JSON literal is a string.
void apply_override(json::value& root, const std::string& arg) {
  auto eq = arg.find('=');
  if (eq == std::string::npos || eq <= 2) {
    throw std::runtime_error("Invalid command line option " + arg);
  }
  std::string path = arg.substr(2, eq - 2);
  std::string text = arg.substr(eq + 1);
  json::value val;
  if (!json::parse(text, val)) {
    val = text;
  }
  json::object_ptr node = json::as_object(root);
  std::string::size_type start = 0;
  while (true) {
    auto dash = path.find('-', start);
    std::string key = path.substr(start, dash == std::string::npos ? dash : dash - start);
    if (key.empty()) {
      throw std::runtime_error("Invalid command line option " + arg);
    }
    if (dash == std::string::npos) {
      node->set(key, val);
      return;
    }
    json::object_ptr child = node->get_object(key);
    if (!child) {
      child = json::make_object();
      node->set(key, child);
    }
    node = std::move(child);
    start = dash + 1;
  }
}

} // namespace

std::shared_ptr<const settings> settings::from_text(const std::string& text) {
  return std::make_shared<const settings>(parse_document(text, "<text>"), "<text>");
}

std::shared_ptr<const settings>
settings::from_command_line(const std::vector<std::string>& args) {
  std::string file;
  std::vector<std::string> overrides;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-c" || arg == "--config") {
      if (!file.empty() || i + 1 >= args.size()) {
        throw std::runtime_error("Exactly one configuration file must be given with -c");
      }
      file = args[++i];
    } else if (arg.rfind("--", 0) == 0) {
      overrides.push_back(arg);
    } else {
      throw std::runtime_error("Invalid command line option " + arg);
    }
  }
  if (file.empty()) {
    throw std::runtime_error("No configuration file given (use -c FILE)");
  }
  json::value root = parse_document(read_file(file), file);
  for (const auto& o : overrides) {
    apply_override(root, o);
  }
  return std::make_shared<const settings>(std::move(root), file);
}

std::string strip_json_comments(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      out += c;
      if (c == '\\' && i + 1 < text.size()) {
        out += text[++i];
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
      out += c;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      while (i < text.size() && text[i] != '\n') {
        ++i;
      }
      out += '\n';
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      auto end = text.find("*/", i + 2);
      if (end == std::string::npos) {
        out += "/*"; // unterminated: leave it for the parser to refuse
        break;
      }
      i = end + 1;
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

} // namespace web

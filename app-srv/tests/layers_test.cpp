// scripts/check-layers.sh is what keeps the layers apart: a check that passes everything would go
// unnoticed, so it runs here on small trees that cross each line once.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// Writes the files into a fresh directory and runs the check on it; true when it passes.
bool check_passes(const std::map<std::string, std::string>& files) {
  const fs::path dir = fs::temp_directory_path() / ("orvale-layers-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "web");
  for (const auto& [name, text] : files) {
    std::ofstream(dir / name) << text;
  }
  const std::string cmd = "bash " + std::string(ORVALE_SOURCE_DIR) + "/scripts/check-layers.sh " +
                          dir.string() + " 2>/dev/null";
  const int rc = std::system(cmd.c_str());
  fs::remove_all(dir);
  return rc == 0;
}

TEST(Layers, EveryCrossingFailsAndAStraightTreePasses) {
  const std::map<std::string, std::string> straight = {
      {"web/json.h", "#include <string>\n"},
      {"web/json.cpp", "#include \"web/json.h\"\n#include <Poco/JSON/Parser.h>\n"},
      {"conn.h", "#include \"web/json.h\"\n"},
      {"conn_pg.h", "#include <libpq-fe.h>\n#include \"conn.h\"\n"},
      {"conn.cpp", "#include \"conn_pg.h\"\n"},
      {"ping.cpp", "#include \"conn.h\"\n#include \"web/json.h\"\n"},
      {"orvale.h", "\n"},
      {"orvale.cpp", "#include \"orvale.h\"\n"},
  };
  ASSERT_TRUE(check_passes(straight));
  const struct {
    const char* what;
    const char* file;
    const char* text;
  } crossings[] = {
      {"Poco in the application", "ping.cpp", "#include <Poco/Net/HTTPRequest.h>\n"},
      {"libpq through a data header", "ping.cpp", "#include \"conn_pg.h\"\n"},
      {"Poco through a framework header", "web/json.h", "#include <Poco/Dynamic/Var.h>\n"},
      {"the framework above itself", "web/json.cpp", "#include \"conn.h\"\n"},
      {"the data layer above itself", "conn.cpp", "#include \"orvale.h\"\n"},
      {"the root's header in an endpoint", "ping.cpp", "#include \"orvale.h\"\n"},
  };
  for (const auto& c : crossings) {
    auto tree = straight;
    tree[c.file] += c.text;
    EXPECT_FALSE(check_passes(tree)) << c.what;
  }
}

} // namespace

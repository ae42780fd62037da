// Time per call of the canonical rewrite of catalogue replies: web::json::canonicalize (the
// service's path) against parsing into a value and writing it again, on a price list shaped as
// PostgreSQL's json_agg writes it. Runs on its own: bench_canonical [--stations=N] [--rounds=N]
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "bench_common.h"
#include "web/json.h"

namespace {

// The price list of `stations` stations with 8 products each, as the price statement returns it.
std::string price_list(int stations) {
  std::string text = "[";
  char element[160];
  for (int s = 0; s < stations; ++s) {
    for (int p = 1; p <= 8; ++p) {
      std::snprintf(element, sizeof element,
                    "%s{\"StationId\" : \"%d\", \"ProductId\" : \"FUEL-%d\", \"Price\" : %.2f}",
                    text.size() > 1 ? ", \n " : "", 1001 + s, p, 45 + p * 2.5 + (s % 17) * 0.1);
      text += element;
    }
  }
  return text + "]";
}

template <class Rewrite>
double microseconds_per_call(const std::string& text, int rounds, Rewrite rewrite) {
  std::string out;
  const auto start = bench::steady::now();
  for (int i = 0; i < rounds; ++i) {
    out.clear();
    if (!rewrite(text, out)) {
      throw std::runtime_error("the text did not parse");
    }
  }
  const std::chrono::duration<double, std::micro> took = bench::steady::now() - start;
  return took.count() / rounds;
}

void measure(const std::string& label, const std::string& text, int rounds) {
  const double fast = microseconds_per_call(text, rounds, [](const std::string& t, std::string& o) {
    return web::json::canonicalize(t, o);
  });
  const double tree = microseconds_per_call(text, rounds, [](const std::string& t, std::string& o) {
    web::json::value v;
    if (!web::json::parse(t, v)) {
      return false;
    }
    o = web::json::write(v);
    return true;
  });
  std::printf("| %s | %zu | %s | %s | %s |\n", label.c_str(), text.size(),
              bench::fixed(fast, 1).c_str(), bench::fixed(tree, 1).c_str(),
              bench::fixed(tree / fast, 1).c_str());
}

} // namespace

int main(int argc, char** argv) {
  try {
    int stations = 500;
    int rounds = 200;
    bench::for_each_option(argc, argv, [&](const std::string& name, const std::string& value) {
      if (name == "stations") {
        stations = bench::to_int(name, value, 1, 100000);
      } else if (name == "rounds") {
        rounds = bench::to_int(name, value, 1, 1000000);
      } else {
        throw std::invalid_argument("unknown option --" + name);
      }
    });
    std::printf("| reply | bytes | canonicalize us | parse + write us | ratio |\n");
    std::printf("|---|--:|--:|--:|--:|\n");
    measure("price, all stations", price_list(stations), rounds);
    measure("price, one station", price_list(1), rounds * 100);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_canonical: %s\n", e.what());
    return 2;
  }
}

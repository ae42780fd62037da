// libFuzzer target: the one-pass canonical form of any text against the text parsed into a value
// and written again. Both must refuse the same texts and write the same bytes for the rest.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "web/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  web::json::value parsed;
  const bool parses = web::json::parse(text, parsed);
  std::string out;
  const bool canonical = web::json::canonicalize(text, out);
  std::string plain;
  const bool plain_taken = web::json::canonicalize_plain(text, plain);
  const char* failure = nullptr;
  if (canonical != parses) {
    failure = parses ? "canonicalize refused a document" : "canonicalize took a non-document";
  } else if (canonical && out != web::json::write(parsed)) {
    failure = "canonicalize wrote other bytes than the parsed value";
  } else if (plain_taken && (!parses || plain != out)) {
    failure = "the plain reader took what the parser does not, or wrote other bytes";
  }
  if (failure != nullptr) {
    std::fprintf(stderr, "canonical form check failed: %s\n", failure);
    std::abort();
  }
  return 0;
}

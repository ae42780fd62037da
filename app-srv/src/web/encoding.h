// Content codings of replies: what a client's Accept-Encoding allows, and gzip itself.
#pragma once

#include <string>
#include <string_view>

namespace web {

// True when an Accept-Encoding value accepts gzip: a "gzip" (or "x-gzip") token, else "*", with
// a quality above zero; "gzip;q=0" refuses it even where "*" would allow it. Names and the "q"
// parameter are case-insensitive; a malformed quality counts as a refusal.
bool accepts_gzip(std::string_view accept_encoding);

// The text as one gzip member (RFC 1952).
std::string gzip(std::string_view text);

} // namespace web

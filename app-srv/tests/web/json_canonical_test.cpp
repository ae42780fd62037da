// The one-pass canonical form against the parsed value written again, over PostgreSQL-shaped
// replies and many generated documents, valid and damaged.
#include "web/json.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace web;

// What the service would have written from the parsed value, or "<refused>".
std::string through_value(const std::string& text) {
  json::value v;
  return json::parse(text, v) ? json::write(v) : "<refused>";
}

std::string canonical(const std::string& text) {
  std::string out = "untouched";
  if (!json::canonicalize(text, out)) {
    EXPECT_EQ(out, "untouched") << "a refused text leaves the output alone";
    return "<refused>";
  }
  return out;
}

TEST(JsonCanonical, OnePassEqualsParseThenWrite) {
  for (const char* text : {
           R"({"b":52.30,"a":50.00,"c":0.0,"B":[1,2.5,-0.0]})",
           R"([{"StationId":"1","ProductId":"a92","Price":52.30},{"Price":45.675}])",
           R"({"2":{"x":[]},"10":{},"1":{"Fuels":["a","b"],"PostPay":true},"Б":null})",
           R"({"a":1,"a":2,"b":{"c":{"d":[1e21,-7,0.1,"кв\"\n"]}}})",
           R"([])",
           R"({})",
           R"([[[]],{"":""}])",
           "  [1 , 2 ]  ",
           "5",
           "\"s\"",
           "null",
       }) {
    json::value v;
    ASSERT_TRUE(json::parse(text, v)) << text;
    EXPECT_EQ(canonical(text), json::write(v)) << text;
  }
  // A wide object, names repeated and out of order, sorts the same way as a narrow one.
  std::string wide = "{";
  for (int i = 0; i < 60; ++i) {
    wide += (i > 0 ? ",\"k" : "\"k") + std::to_string((i * 37) % 23) + "\":" + std::to_string(i);
  }
  wide += "}";
  std::string wide_out;
  ASSERT_TRUE(json::canonicalize_plain(wide, wide_out));
  EXPECT_EQ(wide_out, through_value(wide));
  for (const char* bad :
       {"", "{", "[1,]", "{\"a\":1} x", "[1] [2]", "nul", "[01]", "[1.]", "[\"tab\tinside\"]"}) {
    EXPECT_EQ(canonical(bad), "<refused>") << bad;
  }
  // Text that is not UTF-8: a surrogate, overlong forms, past U+10FFFF, a cut sequence, stray
  // bytes.
  for (const char* bad : {"[\"\xed\xa0\x80\"]", "[\"\xc0\xaf\"]", "[\"\xe0\x80\xaf\"]",
                          "[\"\xf4\x90\x80\x80\"]", "[\"\xc3\"]", "[\"\x80\"]", "[\"\xff\"]"}) {
    EXPECT_EQ(canonical(bad), "<refused>") << bad;
  }
}

TEST(JsonCanonical, PostgresRepliesTakeTheFastReader) {
  // json_agg and json_build_object write blanks around colons and a line break between
  // elements; station titles are Cyrillic; prices carry trailing zeros.
  const std::string reply =
      "[{\"StationId\" : \"1001\", \"ProductId\" : \"FUEL-1\", \"Price\" : 47.60}, \n "
      "{\"StationId\" : \"1001\", \"ProductId\" : \"FUEL-2\", \"Price\" : 50.00}, \n "
      "{\"Id\" : 7, \"Title\" : \"АЗС №7 «Северная»\", \"Columns\" : {\"1\" : {\"Fuels\" : "
      "[\"a/b\\\\c\"], \"PostPay\" : false}}, \"Location\" : {\"lat\" : 55.75, \"lon\" : "
      "-37.6e0}}]";
  std::string out;
  ASSERT_TRUE(json::canonicalize_plain(reply, out));
  EXPECT_EQ(out, through_value(reply));
  EXPECT_EQ(out.substr(0, 55), R"([{"Price":47.6,"ProductId":"FUEL-1","StationId":"1001"})");
  // Outside the plain subset the parser decides, with the same result.
  for (const char* text : {R"(["\u0041\u00e9"])", R"([18446744073709551615])",
                           R"([99999999999999999999999])", R"(["\ud83d\ude00"])", R"(["\ud83d"])",
                           R"([1e400])", R"([-12345678901234567])", R"([-9223372036854775])"}) {
    EXPECT_FALSE(json::canonicalize_plain(text, out)) << text;
    EXPECT_EQ(canonical(text), through_value(text)) << text;
  }
  EXPECT_FALSE(json::canonicalize_plain(std::string(100, '[') + std::string(100, ']'), out))
      << "deep nesting is the parser's";
}

// Random documents from the pieces where readers differ: escapes, UTF-8, number forms, repeated
// names, blanks; then the same documents damaged at one byte.
class document_maker {
public:
  explicit document_maker(unsigned seed) : rng_(seed) {}

  std::string document() {
    std::string out;
    if (pick(2) == 0) {
      object(out, 0);
    } else {
      array(out, 0);
    }
    return out;
  }

  std::string damaged(std::string text) {
    const std::size_t at = pick(static_cast<int>(text.size()));
    static const std::string bytes = "{}[],:\"\\ -+.eE0123456789tfnu\x01\x7f\xc3\xa9\xed\xa0\xff";
    switch (pick(3)) {
    case 0:
      text.erase(at, 1);
      break;
    case 1:
      text.insert(at, 1, bytes[pick(static_cast<int>(bytes.size()))]);
      break;
    default:
      text[at] = bytes[pick(static_cast<int>(bytes.size()))];
    }
    return text;
  }

private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  void blanks(std::string& out) {
    static const char* const choices[] = {"", "", "", " ", "\n ", "\t", "\r\n"};
    out += choices[pick(7)];
  }

  void value(std::string& out, int depth) {
    switch (pick(depth < 4 ? 7 : 5)) {
    case 0:
      string(out);
      break;
    case 1:
    case 2:
      number(out);
      break;
    case 3: {
      static const char* const words[] = {"true", "false", "null"};
      out += words[pick(3)];
      break;
    }
    case 4:
      string(out);
      break;
    case 5:
      object(out, depth + 1);
      break;
    default:
      array(out, depth + 1);
    }
  }

  void object(std::string& out, int depth) {
    out += '{';
    const int n = pick(5);
    for (int i = 0; i < n; ++i) {
      if (i > 0) {
        out += ',';
      }
      blanks(out);
      string(out, true);
      blanks(out);
      out += ':';
      blanks(out);
      value(out, depth);
      blanks(out);
    }
    out += '}';
  }

  void array(std::string& out, int depth) {
    out += '[';
    const int n = pick(5);
    for (int i = 0; i < n; ++i) {
      if (i > 0) {
        out += ',';
      }
      blanks(out);
      value(out, depth);
      blanks(out);
    }
    out += ']';
  }

  void string(std::string& out, bool key = false) {
    static const char* const pieces[] = {
        "a",    "Price", "StationId", "Б",       "№",       "\xf0\x9f\x98\x80",
        "\\\"", "\\\\",  "\\/",       "\\n",     "\\t",     "\\b",
        "\\f",  "\\r",   "\\u0041",   "\\u00e9", "\\u0001", "\\ud83d\\ude00",
        " ",    "1",     "10",
    };
    out += '"';
    const int n = key ? pick(3) : pick(4);
    for (int i = 0; i < n; ++i) {
      out += pieces[pick(key ? 6 : 21)]; // few distinct names, so that some repeat
    }
    out += '"';
  }

  void number(std::string& out) {
    static const char* const fixed[] = {"0",
                                        "-0",
                                        "9223372036854775807",
                                        "-9223372036854775808",
                                        "9223372036854775808",
                                        "18446744073709551616",
                                        "1e400",
                                        "-0.0",
                                        "5e-324",
                                        "1.7976931348623157e308"};
    if (pick(5) == 0) {
      out += fixed[pick(10)];
      return;
    }
    if (pick(2) == 0) {
      out += '-';
    }
    // Integer parts of 1 to 20 digits: past 2^53 and past 64 bits the readers part ways.
    const int length = 1 + pick(20);
    out += static_cast<char>((length == 1 ? '0' : '1') + pick(length == 1 ? 10 : 9));
    for (int i = 1; i < length; ++i) {
      out += static_cast<char>('0' + pick(10));
    }
    if (pick(2) == 0) {
      out += '.';
      const int digits = 1 + pick(18);
      for (int i = 0; i < digits; ++i) {
        out += static_cast<char>('0' + pick(10));
      }
    }
    if (pick(4) == 0) {
      out += pick(2) == 0 ? 'e' : 'E';
      static const char* const signs[] = {"", "+", "-"};
      out += signs[pick(3)];
      out += std::to_string(pick(40));
    }
  }

  std::mt19937 rng_;
};

TEST(JsonCanonical, GeneratedDocumentsWholeAndDamaged) {
  document_maker maker(20261208);
  int plain = 0;
  int refused = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = maker.document();
    ASSERT_EQ(canonical(text), through_value(text)) << text;
    std::string out;
    plain += json::canonicalize_plain(text, out) ? 1 : 0;
    for (int d = 0; d < 3; ++d) {
      const std::string bad = maker.damaged(text);
      const std::string expected = through_value(bad);
      refused += expected == "<refused>" ? 1 : 0;
      ASSERT_EQ(canonical(bad), expected) << bad;
    }
  }
  // Both readers were exercised: the generator is not all plain, nor all damage accepted.
  EXPECT_GT(plain, 1000);
  EXPECT_LT(plain, 4000);
  EXPECT_GT(refused, 3000);
}

} // namespace

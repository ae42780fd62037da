#include "web/json.h"

#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace web;

json::value parsed(const std::string& text) {
  json::value v;
  EXPECT_TRUE(json::parse(text, v)) << text;
  return v;
}

TEST(JsonWriter, SortsMembersAndDropsTrailingZeros) {
  EXPECT_EQ(json::write(parsed(R"({"b":52.30,"a":50.00,"c":0.0,"B":[1,2.5,-0.0]})")),
            R"({"B":[1,2.5,0],"a":50,"b":52.3,"c":0})");
  // Byte order: upper case before lower case, "Columns" keys "1","10","2" in text order.
  EXPECT_EQ(json::write(parsed(R"({"2":1,"10":1,"1":1,"Б":1,"A":1})")),
            R"({"1":1,"10":1,"2":1,"A":1,"Б":1})");
  EXPECT_EQ(json::write(parsed("[0.1,1e21,123456789012,-7,true,false,null]")),
            "[0.1,1e+21,123456789012,-7,true,false,null]");
}

TEST(JsonWriter, EscapesStringsButKeepsUtf8) {
  auto obj = json::make_object();
  obj->set("t", std::string("кв\"\\\n\x01/"));
  EXPECT_EQ(json::write(obj), "{\"t\":\"кв\\\"\\\\\\n\\u0001/\"}");
  EXPECT_EQ(json::write(json::value()), "null");
  EXPECT_EQ(json::format_number(45.675), "45.675");
  EXPECT_EQ(json::format_number(2.2020222000220003e20), "2.2020222000220003e+20");
  EXPECT_EQ(json::format_number(123456789012345.0), "123456789012345");
  json::value back;
  ASSERT_TRUE(json::parse("[" + json::format_number(-9.5e25) + "]", back))
      << "every written number reads back";
  EXPECT_EQ(json::format_number(1.0 / 0.0), "null");
}

TEST(JsonWriter, BuiltValuesUseTheSameForm) {
  auto obj = json::make_object();
  obj->set("price", 52.30);
  obj->set("id", 7);
  auto arr = json::make_array();
  arr->add(1.50);
  arr->add(std::string("x"));
  obj->set("list", arr);
  obj->set("nested", json::make_object());
  EXPECT_EQ(json::write(obj), R"({"id":7,"list":[1.5,"x"],"nested":{},"price":52.3})");
}

TEST(JsonParse, WholeInputOnly) {
  json::value v;
  EXPECT_FALSE(json::parse("", v));
  EXPECT_FALSE(json::parse("{", v));
  EXPECT_FALSE(json::parse("{\"a\":1} x", v));
  EXPECT_FALSE(json::parse("{'a':1}", v));
  EXPECT_TRUE(json::parse("  {\"a\":1}  ", v));
  EXPECT_TRUE(json::parse("[1,2]", v));
  EXPECT_TRUE(json::is_array(v));
  EXPECT_TRUE(json::parse("5", v));
  EXPECT_TRUE(json::is_number(v));
}

TEST(JsonRead, TypedReadsFallBackInsteadOfCoercing) {
  const json::value v = parsed(R"({"port":"5432","i":5432.0,"f":5.5,"b":"true","t":true,
      "n":null,"big":3000000000,"neg":-12,"s":"text","o":{"deep":{"x":3}}})");
  EXPECT_EQ(json::get_int(v, "port", 1), 1);
  EXPECT_EQ(json::get_int(v, "i", 1), 5432);
  EXPECT_EQ(json::get_int(v, "f", 1), 1);
  EXPECT_EQ(json::get_int(v, "big", 1), 1);
  EXPECT_EQ(json::get_int64(v, "big", 1), 3000000000LL);
  EXPECT_EQ(json::get_int(v, "neg", 1), -12);
  EXPECT_EQ(json::get_int(v, "missing", 9), 9);
  EXPECT_EQ(json::get_int(v, "t", 9), 9);
  EXPECT_FALSE(json::get_bool(v, "b", false));
  EXPECT_TRUE(json::get_bool(v, "t", false));
  EXPECT_TRUE(json::get_bool(v, "i", true));
  EXPECT_EQ(json::get_string(v, "n", "d"), "d");
  EXPECT_EQ(json::get_string(v, "i", "d"), "d");
  EXPECT_EQ(json::get_string(v, "s", "d"), "text");
  EXPECT_DOUBLE_EQ(json::get_double(v, "f", 0), 5.5);
  EXPECT_DOUBLE_EQ(json::get_double(v, "i", 0), 5432);
  EXPECT_DOUBLE_EQ(json::get_double(v, "s", 1.5), 1.5);
  EXPECT_EQ(json::get_int(v, "o.deep.x", 0), 3);
  EXPECT_EQ(json::get_int(v, "o.deep.y", 4), 4);
  EXPECT_EQ(json::get_int(v, "s.x", 4), 4);
  EXPECT_TRUE(json::is_object(json::find(v, "o.deep")));
  EXPECT_TRUE(json::find_object(v, "o").get() != nullptr);
  EXPECT_TRUE(json::find_object(v, "s") == nullptr);
}

TEST(JsonRead, NonObjectDocumentsReadAsMissing) {
  for (const char* text : {"[1,2]", "7", "\"x\"", "null", "true"}) {
    const json::value v = parsed(text);
    EXPECT_EQ(json::get_int(v, "a", -1), -1) << text;
    EXPECT_EQ(json::get_string(v, "a", "d"), "d") << text;
    EXPECT_FALSE(json::is_object(v)) << text;
  }
  json::value huge = parsed("1e300");
  int i = 0;
  EXPECT_FALSE(json::as_int(huge, i));
  long long ll = 0;
  EXPECT_FALSE(json::as_int64(parsed("9223372036854775808.0"), ll));
}

TEST(JsonValue, HandlesShareWhatTheyPointTo) {
  // Filled after it went into its parent: the parent shows it, as the order run relies on.
  auto parent = json::make_object();
  auto child = json::make_object();
  auto list = json::make_array();
  parent->set("child", child);
  parent->set("list", list);
  child->set("x", 1);
  list->add(child);
  EXPECT_EQ(json::write(parent), R"({"child":{"x":1},"list":[{"x":1}]})");
  EXPECT_EQ(parent->get_object("child"), child);
  EXPECT_EQ(parent->get_object("list"), nullptr);
  EXPECT_EQ(parent->get_array("list"), list);
  EXPECT_TRUE(json::is_null(list->get(5))) << "past the end reads as missing";
  EXPECT_TRUE(parent->remove("child"));
  EXPECT_FALSE(parent->remove("child"));
  EXPECT_EQ(json::write(parent), R"({"list":[{"x":1}]})");
  EXPECT_TRUE(json::is_null(json::value(json::object_ptr()))) << "a null handle is null";
}

TEST(JsonValue, NumbersKeepTheirKind) {
  struct row {
    json::value v;
    const char* written;
    bool integral; // as_int64 takes it
    double as_double;
  };
  const std::vector<row> rows = {
      {json::value(std::numeric_limits<unsigned long long>::max()), "18446744073709551615", false,
       1.8446744073709552e19},
      {json::value(std::numeric_limits<long long>::min()), "-9223372036854775808", true,
       -9.2233720368547758e18},
      {json::value(std::size_t{7}), "7", true, 7},
      {json::value(2.0f), "2", true, 2},
      {parsed("18446744073709551615"), "18446744073709551615", false, 1.8446744073709552e19},
      {parsed("9223372036854775808"), "9223372036854775808", false, 9.2233720368547758e18},
      {parsed("9223372036854775807"), "9223372036854775807", true, 9.2233720368547758e18},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(json::write(r.v), r.written);
    long long n = 0;
    EXPECT_EQ(json::as_int64(r.v, n), r.integral) << r.written;
    double d = 0;
    EXPECT_TRUE(json::as_double(r.v, d)) << r.written;
    EXPECT_DOUBLE_EQ(d, r.as_double) << r.written;
  }
}

TEST(JsonParse, RepeatedNamesKeepTheLastAndMembersIterateInByteOrder) {
  const json::value v = parsed(R"({"b":1,"a":{"z":1},"b":2,"a":[3],"Б":0,"B":0})");
  std::string names;
  for (const auto& [name, member] : *json::as_object(v)) {
    names += name + (json::is_array(member) ? "[] " : " ");
  }
  EXPECT_EQ(names, "B a[] b Б ");
  EXPECT_EQ(json::get_int(v, "b", 0), 2);
}

} // namespace

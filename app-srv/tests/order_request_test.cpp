// Order events without a database: the body, the key reading and merging, the status codes, the
// price block, and the checks of the station texts before they reach SQL.
#include "order_request.h"

#include <string>

#include <gtest/gtest.h>

#include "conn_order.h"
#include "order_status.h"

namespace {

namespace json = web::json;
using content::OrderData;

json::value body_of(const std::string& text) {
  int error = -1;
  json::value v = srv_apps::from_raw_post_data(text.data(), text.size(), error);
  EXPECT_EQ(error, srv_apps::BODY_OK) << text;
  return v;
}

OrderData stored_order() {
  OrderData s;
  s.id = "A-1";
  s.id_app = 1;
  s.ordtypext = "Money";
  s.orderval = 500;
  s.ord_vol = 9.56;
  s.timebeg = "2021-03-04 05:06:07.123456";
  s.shopext = "ext-10";
  s.id_shop = 10;
  s.prodext = "92";
  s.prodname = "АИ-92";
  s.prodident = "a92";
  s.priceid = "p1";
  s.trk = 2;
  s.price = 52.3;
  s.ord_sum = 500;
  s.sumpaid = 500;
  s.sumpaidcard = 100;
  s.volcompleted = 9.5;
  s.sumpaidcompleted = 496.85;
  s.sumpaidcardcompleted = 96.85;
  s.timeend = "2021-03-04 05:16:07.000000";
  s.reasonid = "r1";
  s.reason = "причина";
  s.contractid = "c-1";
  s.user_phone = "+79000000000";
  s.user_mail = "a@b.c";
  s.postpay = true;
  return s;
}

TEST(OrderStatus, NamesMapToCodesExactly) {
  EXPECT_EQ(srv_apps::_orderStatus_name2code(""), -1);
  EXPECT_EQ(srv_apps::_orderStatus_name2code("OrderCreated"), 1);
  EXPECT_EQ(srv_apps::_orderStatus_name2code("Completed"), 3);
  EXPECT_EQ(srv_apps::_orderStatus_name2code("Expire"), 4);
  EXPECT_EQ(srv_apps::_orderStatus_name2code("StationCanceled"), 5);
  EXPECT_EQ(srv_apps::_orderStatus_name2code("UserCanceled"), 6);
  for (const char* other : {"orderCreated", "ORDERCREATED", "OrderCreated ", " Completed",
                            "Fueling", "Expired", "StaionCanceled", "\xd0\x90"}) {
    EXPECT_EQ(srv_apps::_orderStatus_name2code(other), 0) << other;
  }
}

TEST(OrderBody, EmptyAndMalformedBodies) {
  int error = -1;
  EXPECT_TRUE(json::is_null(srv_apps::from_raw_post_data(nullptr, 0, error)));
  EXPECT_EQ(error, 42);
  EXPECT_TRUE(json::is_null(srv_apps::from_raw_post_data("{}", 0, error)));
  EXPECT_EQ(error, 42) << "the length decides, not the pointer";
  for (const std::string bad : {"{", " ", "{} {}", "{\"Id\":\"a\"} x", "{'Id':'a'}", "[1,]"}) {
    error = -1;
    EXPECT_TRUE(json::is_null(srv_apps::from_raw_post_data(bad.data(), bad.size(), error)));
    EXPECT_EQ(error, 5) << bad;
  }
  const std::string two = "{\"Id\":\"a\"}{\"Id\":\"b\"}";
  srv_apps::from_raw_post_data(two.data(), two.size(), error);
  EXPECT_EQ(error, 5) << "exactly one document";
  // Only the given bytes are read: the object ends before the trailing garbage.
  const std::string prefix = "{\"Id\":\"a\"}garbage";
  EXPECT_TRUE(json::is_object(srv_apps::from_raw_post_data(prefix.data(), 10, error)));
  EXPECT_EQ(error, 0);
}

// The parser would wrap an integer beyond 64 bits (2^64 + 1 reading as 1), so such a body is
// not read at all; within the range, and in strings or with a fraction, numbers pass.
TEST(OrderBody, IntegersBeyondSixtyFourBitsAreRefused) {
  int error = -1;
  for (const std::string bad : {R"({"ColumnId":18446744073709551617})", "18446744073709551616",
                                R"({"a":[1,{"b":-9223372036854775809}]})",
                                R"({"s":"\\","PriceFuel":18446744073709551617})"}) {
    EXPECT_TRUE(json::is_null(srv_apps::from_raw_post_data(bad.data(), bad.size(), error)));
    EXPECT_EQ(error, 5) << bad;
  }
  for (const std::string good :
       {R"({"ColumnId":18446744073709551615})", "-9223372036854775808",
        R"({"Id":"18446744073709551617","x":"\"-99999999999999999999"})",
        R"({"ColumnId":18446744073709551617.0,"Sum":1e19,"Litre":-1E+2})", "0", "-0"}) {
    srv_apps::from_raw_post_data(good.data(), good.size(), error);
    EXPECT_EQ(error, 0) << good;
  }
  OrderData rec;
  srv_apps::merge_order_keys(body_of(R"({"ColumnId":18446744073709551615})"), nullptr, rec);
  EXPECT_EQ(rec.trk, 0) << "out of the 32-bit range: missing";
}

// A valid document that is not an object has no keys: every read gives its default and the
// merge keeps the stored order, without an exception anywhere.
TEST(OrderBody, NonObjectBodiesReadAsMissingKeys) {
  const OrderData stored = stored_order();
  for (const std::string text : {"[{\"Id\":\"a\",\"Status\":\"OrderCreated\"}]", "42", "-1.5",
                                 "\"Id\"", "true", "null", "[]"}) {
    const json::value body = body_of(text);
    OrderData rec;
    rec.id = "preset";
    srv_apps::read_event_keys(body, rec);
    EXPECT_EQ(rec.id, "") << text;
    EXPECT_EQ(rec.ordstatext, "") << text;
    EXPECT_EQ(rec.ord_vol, 0) << text;

    srv_apps::merge_order_keys(body, &stored, rec);
    EXPECT_EQ(rec.StationExtendedId, "10") << text;
    EXPECT_EQ(rec.trk, 2) << text;
    EXPECT_EQ(rec.prodident, "a92") << text;
    EXPECT_EQ(rec.price, 52.3) << text;
    EXPECT_EQ(rec.reason, "причина") << text;

    OrderData fresh;
    srv_apps::merge_order_keys(body, nullptr, fresh);
    EXPECT_EQ(fresh.StationExtendedId, "") << text;
    EXPECT_EQ(fresh.trk, 0) << text;
  }
}

TEST(OrderKeys, LowerCaseIdAndStatusOverride) {
  OrderData rec;
  srv_apps::read_event_keys(body_of(R"({"Id":"upper","id":"lower","Status":"A","status":"B"})"),
                            rec);
  EXPECT_EQ(rec.id, "lower");
  EXPECT_EQ(rec.ordstatext, "B");
  srv_apps::read_event_keys(body_of(R"({"Id":"upper","Status":"A"})"), rec);
  EXPECT_EQ(rec.id, "upper");
  EXPECT_EQ(rec.ordstatext, "A");
  srv_apps::read_event_keys(body_of(R"({"Id":"upper","id":7,"Status":"A","status":null})"), rec);
  EXPECT_EQ(rec.id, "upper") << "a mistyped \"id\" is missing, so \"Id\" stands";
  EXPECT_EQ(rec.ordstatext, "A");
  srv_apps::read_event_keys(body_of(R"({"id":"x","ID":"y","iD":"z"})"), rec);
  EXPECT_EQ(rec.id, "x") << "keys are case-sensitive";
}

TEST(OrderKeys, JsonTypesAndRounding) {
  const OrderData stored = stored_order();
  struct column_case {
    const char* body;
    int fresh_trk;
    int stored_trk;
  };
  for (const auto& c :
       {column_case{R"({"ColumnId":2.5})", 0, 2}, column_case{R"({"ColumnId":"3"})", 0, 2},
        column_case{R"({"ColumnId":true})", 0, 2}, column_case{R"({"ColumnId":4294967297})", 0, 2},
        column_case{R"({"ColumnId":3.0})", 3, 3}, column_case{R"({"ColumnId":-1})", -1, -1}}) {
    OrderData fresh;
    srv_apps::merge_order_keys(body_of(c.body), nullptr, fresh);
    EXPECT_EQ(fresh.trk, c.fresh_trk) << c.body;
    OrderData merged;
    srv_apps::merge_order_keys(body_of(c.body), &stored, merged);
    EXPECT_EQ(merged.trk, c.stored_trk) << c.body;
  }

  OrderData rec;
  srv_apps::merge_order_keys(
      body_of(R"({"PriceFuel":45.678,"LitreCompleted":10.0004,"Sum":0.125,"SumPaid":-0.125,
                  "SumPaidCard":"100","SumPaidCompleted":1,"SumPaidCardCompleted":2.999,
                  "OrderVolume":10.12345,"Litre":3.33333})"),
      nullptr, rec);
  EXPECT_DOUBLE_EQ(rec.price, 45.68);
  EXPECT_DOUBLE_EQ(rec.volcompleted, 10.0);
  EXPECT_DOUBLE_EQ(rec.ord_sum, 0.13) << "half away from zero";
  EXPECT_DOUBLE_EQ(rec.sumpaid, -0.13);
  EXPECT_DOUBLE_EQ(rec.sumpaidcard, 0) << "a string is not a number";
  EXPECT_DOUBLE_EQ(rec.sumpaidcompleted, 1);
  EXPECT_DOUBLE_EQ(rec.sumpaidcardcompleted, 3);
  EXPECT_DOUBLE_EQ(rec.orderval, 10.12345) << "stored as received";
  EXPECT_DOUBLE_EQ(rec.ord_vol, 3.33333);

  EXPECT_DOUBLE_EQ(srv_apps::round_half_away(2.5, 0), 3);
  EXPECT_DOUBLE_EQ(srv_apps::round_half_away(-2.5, 0), -3);
  EXPECT_DOUBLE_EQ(srv_apps::round_half_away(1e308, 2), 1e308) << "too large to scale";
}

TEST(OrderKeys, MergeTakesStoredValuesForMissingKeys) {
  const OrderData stored = stored_order();
  OrderData rec;
  const json::value body = body_of(R"({"id":"A-1","status":"UserCanceled","Reason":"сам",
                                       "ExtendedId":"77","FuelMarka":5})");
  srv_apps::read_event_keys(body, rec);
  rec.postpay = true;
  srv_apps::merge_order_keys(body, &stored, rec);
  EXPECT_EQ(rec.id, "A-1");
  EXPECT_EQ(rec.ordstatext, "UserCanceled") << "not touched by the merge";
  EXPECT_EQ(rec.ordtypext, "Money");
  EXPECT_EQ(rec.orderval, 500);
  EXPECT_EQ(rec.ord_vol, 9.56);
  EXPECT_EQ(rec.timebeg, "2021-03-04 05:06:07.123456");
  EXPECT_EQ(rec.shopext, "ext-10");
  EXPECT_EQ(rec.StationExtendedId, "10") << "the stored station id as text";
  EXPECT_EQ(rec.trk, 2);
  EXPECT_EQ(rec.prodext, "92");
  EXPECT_EQ(rec.prodname, "АИ-92") << "mistyped, so the stored value";
  EXPECT_EQ(rec.prodident, "a92");
  EXPECT_EQ(rec.priceid, "p1");
  EXPECT_EQ(rec.price, 52.3);
  EXPECT_EQ(rec.ord_sum, 500);
  EXPECT_EQ(rec.sumpaid, 500);
  EXPECT_EQ(rec.sumpaidcard, 100);
  EXPECT_EQ(rec.volcompleted, 9.5);
  EXPECT_EQ(rec.sumpaidcompleted, 496.85);
  EXPECT_EQ(rec.sumpaidcardcompleted, 96.85);
  EXPECT_EQ(rec.timeend, "2021-03-04 05:16:07.000000");
  EXPECT_EQ(rec.reasonid, "r1");
  EXPECT_EQ(rec.reason, "сам");
  EXPECT_EQ(rec.contractid, "c-1");
  EXPECT_EQ(rec.user_phone, "+79000000000");
  EXPECT_EQ(rec.user_mail, "a@b.c");
  EXPECT_EQ(rec.ExtendedId, "77");
  EXPECT_FALSE(rec.postpay) << "cleared whenever a request is parsed";
}

TEST(OrderKeys, EventLogLines) {
  OrderData rec;
  srv_apps::read_event_keys(
      body_of(R"({"Id":"A-1","Status":"OrderCreated","OrderType":"Money","OrderVolume":500,
                  "Litre":9.5556,"LitreCompleted":1.23456})"),
      rec);
  EXPECT_EQ(srv_apps::event_log_line(rec),
            "Принят новый заказ id=\"A-1\" [ Тип=\"Money\" Статус=\"OrderCreated\" "
            "Заказано=500.000000 л./руб. Объем=9.556000 л. ]");
  rec.ordstatext = "Completed";
  EXPECT_EQ(srv_apps::event_log_line(rec),
            "Принят новый статус заказ id=\"A-1\" [ Тип=\"Money\" Статус=\"Completed\" "
            "Заказано=500.000000 л./руб. Объем=9.556000 л. Отпуск=1.235000 л. ]");
  rec.ordstatext = "UserCanceled";
  EXPECT_EQ(srv_apps::event_log_line(rec),
            "Принята отмена заказа клиентом заказ id=\"A-1\" [ Статус=\"UserCanceled\" ]");
}

TEST(OrderReply, PriceBlock) {
  OrderData rec = stored_order();
  rec.current_price = 52.35;
  json::value reply;
  srv_apps::_priceResponseBlock(rec, reply);
  const std::string block = R"({"Price":52.35,"PriceId":"p1","ProductId":"92","StationId":10})";
  EXPECT_EQ(json::write(reply), block);
  srv_apps::_priceResponseBlock(rec, reply);
  EXPECT_EQ(json::write(reply), block) << "applying it twice changes nothing";

  json::object_ptr other = json::make_object();
  other->set("Price", "old");
  other->set("Extra", 1);
  json::value with_keys = other;
  srv_apps::_priceResponseBlock(rec, with_keys);
  EXPECT_EQ(json::write(with_keys),
            R"({"Extra":1,"Price":52.35,"PriceId":"p1","ProductId":"92","StationId":10})");

  for (auto [current, price] : {std::pair{0.0, 52.3}, std::pair{52.3, 0.0}}) {
    rec.current_price = current;
    rec.price = price;
    json::value untouched;
    srv_apps::_priceResponseBlock(rec, untouched);
    EXPECT_TRUE(json::is_null(untouched)) << current << " " << price;
  }
}

TEST(StationTexts, VolumeTransactionAndTimeChecks) {
  using content::order_sql::is_decimal_number;
  using content::order_sql::is_station_time;
  for (const char* good : {"0", "10", "10.5", "-3.25", "0012.000"}) {
    EXPECT_TRUE(is_decimal_number(good)) << good;
  }
  for (const char* bad : {"", "-", ".", "1.", ".5", "+1", " 1", "1 ", "1e3", "1,5", "nan", "1.2.3",
                          "1; DROP TABLE orders", "1) * 0 + (1", "0x10"}) {
    EXPECT_FALSE(is_decimal_number(bad)) << bad;
  }
  for (const char* good : {"04.03.2021 05:06:07", "31.12.1999 23:59:59", "01.01.2000 00:00:00"}) {
    EXPECT_TRUE(is_station_time(good)) << good;
  }
  for (const char* bad : {"", "4.03.2021 05:06:07", "04.03.2021 05:06:07 ", "2021-03-04 05:06:07",
                          "00.03.2021 05:06:07", "32.03.2021 05:06:07", "04.13.2021 05:06:07",
                          "04.03.2021 24:00:00", "04.03.2021 05:60:07", "04.03.2021 05:06:60",
                          "04.03.2021T05:06:07", "04.03.2021 05:06:0'", "04/03/2021 05:06:07"}) {
    EXPECT_FALSE(is_station_time(bad)) << bad;
  }
}

} // namespace

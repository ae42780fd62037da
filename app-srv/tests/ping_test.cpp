// The translation of a station controller's answer to the dispenser question into the
// aggregator's reply, for the cases the fake controller cannot reach cheaply.
#include "ping.h"

#include <string>

#include <gtest/gtest.h>

#include "web/json.h"

namespace {

using srv_apps::lock_command;
using srv_apps::ping_reply;
using srv_apps::read_station_answer;
using srv_apps::station_answer;

std::string reply_text(long status, const std::string& body, const std::string& fuel_id = "a92",
                       lock_command command = lock_command::none) {
  station_answer answer;
  if (!read_station_answer(body, answer)) {
    return "<unreadable>";
  }
  return web::json::write(ping_reply(status, answer, fuel_id, command));
}

TEST(ping_reply, transaction_amounts_are_rounded_then_cut_to_two_places) {
  EXPECT_EQ(reply_text(410, R"({"Litre":-10.4449,"Sum":-0.125,"ExtendedId":"T"})"),
            R"({"ExtendedId":"T","FuelId":"a92","Litre":-10.45,"Sum":-0.13})");
  // Integral amounts are numbers too; a text is no amount.
  EXPECT_EQ(reply_text(411, R"({"Litre":7,"Sum":"350.5","ExtendedId":"T"})"),
            R"({"ExtendedId":"T","FuelId":"a92","Litre":7,"Sum":0})");
  EXPECT_EQ(reply_text(411, R"({"Litre":2.5004,"Sum":99.994,"ExtendedId":"T"})"),
            R"({"ExtendedId":"T","FuelId":"a92","Litre":2.5,"Sum":99.99})");
  // 0.0049 rounds to 0.005 first, which two places then carry up; 0.0044 stays below.
  EXPECT_EQ(reply_text(411, R"({"Litre":0.0049,"Sum":1e-9,"ExtendedId":"T"})"),
            R"({"ExtendedId":"T","FuelId":"a92","Litre":0.01,"Sum":0})");
  EXPECT_EQ(reply_text(411, R"({"Litre":0.0044,"Sum":-1e-9,"ExtendedId":"T"})"),
            R"({"ExtendedId":"T","FuelId":"a92","Litre":0,"Sum":0})");
  // A transaction id of another type is none.
  EXPECT_EQ(reply_text(411, R"({"Litre":1,"Sum":1,"ExtendedId":17})"), "null");
}

TEST(ping_reply, members_of_another_type_keep_their_defaults) {
  EXPECT_EQ(reply_text(200, R"({"statId":3.0})"), R"({"FuelId":"a92","Status":"Free"})");
  EXPECT_EQ(reply_text(200, R"({"statId":3.5,"Status":1})"),
            R"({"FuelId":"a92","Status":"Unknown"})");
  EXPECT_EQ(reply_text(200, R"({"statId":true})", ""), R"({"Status":"Unknown"})");
  EXPECT_EQ(reply_text(404, R"({"Description":["x"]})"), "null");
  // A document that is not an object reads as all defaults.
  EXPECT_EQ(reply_text(200, "[3]", ""), R"({"Status":"Unknown"})");
  EXPECT_EQ(reply_text(200, "3", ""), R"({"Status":"Unknown"})");
}

TEST(ping_reply, nothing_to_read_in_empty_null_or_broken_bodies) {
  station_answer answer;
  EXPECT_FALSE(read_station_answer("", answer));
  EXPECT_FALSE(read_station_answer("null", answer));
  EXPECT_FALSE(read_station_answer(" null ", answer));
  EXPECT_FALSE(read_station_answer("{", answer));
  EXPECT_FALSE(read_station_answer(R"({"statId":3}{"statId":2})", answer));
  EXPECT_TRUE(read_station_answer("{}", answer));
}

TEST(ping_reply, a_lock_took_effect_unless_the_state_still_says_otherwise) {
  const auto described = [](const std::string& body, lock_command command) {
    station_answer answer;
    EXPECT_TRUE(read_station_answer(body, answer));
    return web::json::get_string(ping_reply(503, answer, "", command), "Description", "<none>");
  };
  EXPECT_EQ(described(R"({"blocked":2})", lock_command::set_lock),
            "(Команда установки блокировки ТРК выполнена)");
  EXPECT_EQ(described(R"({"blocked":2})", lock_command::reset_lock),
            "(Команда сброса блокировки ТРК выполнена)");
  EXPECT_EQ(described(R"({"blocked":"1"})", lock_command::reset_lock),
            "(Команда сброса блокировки ТРК выполнена)")
      << "a state of another type reads as 0";
  EXPECT_EQ(described(R"({})", lock_command::set_lock),
            "(Команда установки блокировки ТРК невыполнена)");
  EXPECT_EQ(described(R"({"Description":"Нет связи с ТРК"})", lock_command::none),
            "Нет связи с ТРК");
  EXPECT_EQ(described(R"({"Description":""})", lock_command::none), "<none>");
}

TEST(ping_reply, only_the_two_exact_command_words_lock) {
  EXPECT_EQ(srv_apps::lock_command_of("setLock"), lock_command::set_lock);
  EXPECT_EQ(srv_apps::lock_command_of("resetLock"), lock_command::reset_lock);
  for (const char* word : {"", "setlock", "ResetLock", " setLock", "setLock\n", "unlock"}) {
    EXPECT_EQ(srv_apps::lock_command_of(word), lock_command::none) << word;
  }
}

} // namespace

// Outgoing calls against recording fake peers on 127.0.0.1: what reaches the aggregator and the
// station controller byte for byte, the result codes, redirects, time-outs and reply bodies.
#include "outgoing.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "order_station.h"
#include "order_upstream.h"
#include "support/curl_library.h"
#include "support/fake_peer.h"
#include "support/log_capture.h"
#include "web/json.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::fake_peer;
using orvale_test::log_capture;
using orvale_test::reply;
using orvale_test::seen_request;
using srv_apps::order_station;
using srv_apps::order_upstream;
using srv_apps::station_link;

[[maybe_unused]] testing::Environment* const curl_env = orvale_test::register_curl_library();

const srv_apps::tls_settings no_tls_checks{false, ""};

// "Заказ не принят." as UTF-8 bytes, percent-encoded.
constexpr const char* encoded_not_accepted =
    "%D0%97%D0%B0%D0%BA%D0%B0%D0%B7%20%D0%BD%D0%B5%20%D0%BF%D1%80%D0%B8%D0%BD%D1%8F%D1%82.";

web::json::value station_body() {
  auto obj = web::json::make_object();
  obj->set("id", "A&B-7");
  obj->set("app_id", 3);
  obj->set("trk", 2);
  obj->set("prod", 95);
  obj->set("price", 52.3);
  obj->set("volume", 10.0);
  obj->set("summa", 523.0);
  return obj;
}

// What the process writes to its standard output while `work` runs.
std::string stdout_of(const std::function<void()>& work) {
  std::fflush(stdout);
  char path[] = "/tmp/orvale-stdout-XXXXXX";
  const int file = mkstemp(path);
  EXPECT_GE(file, 0);
  const int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  work();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  char buf[4096];
  lseek(file, 0, SEEK_SET);
  for (ssize_t n = 0; (n = read(file, buf, sizeof buf)) > 0;) {
    text.append(buf, static_cast<std::size_t>(n));
  }
  close(file);
  unlink(path);
  return text;
}

void expect_headers_in_order(const seen_request& seen, const std::vector<std::string>& lines) {
  std::size_t last = 0;
  for (const auto& line : lines) {
    const auto colon = line.find(':');
    const std::string name = line.substr(0, colon);
    const std::string value = line.substr(colon + 2);
    std::size_t at = 0;
    while (at < seen.headers.size() && seen.headers[at].first != name) {
      ++at;
    }
    ASSERT_LT(at, seen.headers.size()) << "header " << name << " missing";
    EXPECT_EQ(seen.headers[at].second, value) << name;
    EXPECT_GE(at, last) << name << " out of order";
    last = at;
  }
}

// ---- The four aggregator calls -------------------------------------------------------------

TEST(order_upstream, sends_each_status_as_the_exact_form_body_with_the_status_headers) {
  fake_peer agg;
  for (const char* path : {"/base/api/order/accept", "/base/api/order/fueling",
                           "/base/api/order/canceled", "/base/api/order/completed"}) {
    agg.script(path, {{200}});
  }
  const order_upstream up(agg.base_url() + "/base", no_tls_checks);

  // "&" in the key and the id goes out as it is; only the reason is encoded.
  EXPECT_EQ(up.accept_order("k&1", "o&2"), 200);
  EXPECT_EQ(up.fueling_order("k", "7"), 200);
  EXPECT_EQ(up.cancel_order("k", "o&2", "Заказ не принят."), 200);
  EXPECT_EQ(up.complete_order("k", "7", "EXT-1", "05.03.2024 07:08:09", 12.345), 200);
  EXPECT_EQ(up.complete_order("k", "8", "", "", 0), 200);

  const auto seen = agg.requests();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].path, "/base/api/order/accept");
  EXPECT_EQ(seen[0].body, "apikey=k&1&orderId=o&2");
  EXPECT_EQ(seen[1].path, "/base/api/order/fueling");
  EXPECT_EQ(seen[1].body, "apikey=k&orderId=7");
  EXPECT_EQ(seen[2].path, "/base/api/order/canceled");
  EXPECT_EQ(seen[2].body, std::string("apikey=k&orderId=o&2&reason=") + encoded_not_accepted);
  EXPECT_EQ(seen[3].path, "/base/api/order/completed");
  EXPECT_EQ(seen[3].body, "apikey=k&orderId=7&litre=12.35&extendedOrderId=EXT-1"
                          "&extendedDate=05.03.2024 07:08:09");
  EXPECT_EQ(seen[4].body, "apikey=k&orderId=8&litre=0.00&extendedOrderId=&extendedDate=");
  for (const auto& r : seen) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.query, "");
    EXPECT_EQ(r.content_type, "application/x-www-form-urlencoded") << r.path;
    expect_headers_in_order(r, srv_apps::status_headers());
  }
}

TEST(order_upstream, logs_the_send_and_the_answer_lines_of_each_call) {
  fake_peer agg;
  agg.script("/api/order/accept", {{200}});
  agg.script("/api/order/canceled", {{409}});
  const order_upstream up(agg.base_url(), no_tls_checks);
  log_capture logs;

  EXPECT_EQ(up.accept_order("k", "7"), 200);
  EXPECT_EQ(up.cancel_order("k", "7", "x y"), 409) << "any status but 200 comes back as it is";

  const std::string base = agg.base_url();
  EXPECT_EQ(logs.messages("orvale"),
            (std::vector<std::string>{
                "Send \"Accept\" status endpoint=" + base +
                    "/api/order/accept postdata=apikey=k&orderId=7 length=18",
                "Get \"Accept\" status response=200",
                // The cancellation's send line has no length, as operators know it.
                "Send \"Canceled\" status endpoint=" + base +
                    "/api/order/canceled postdata=apikey=k&orderId=7&reason=x%20y",
                "Get \"Canceled\" status response=409",
            }));
}

TEST(order_upstream, without_a_base_url_answers_503_and_neither_sends_nor_logs) {
  log_capture logs;
  const order_upstream up("", no_tls_checks);
  EXPECT_EQ(up.accept_order("k", "1"), 503);
  EXPECT_EQ(up.fueling_order("k", "1"), 503);
  EXPECT_EQ(up.cancel_order("k", "1", "r"), 503);
  EXPECT_EQ(up.complete_order("k", "1", "e", "d", 1.0), 503);
  EXPECT_TRUE(logs.messages().empty());
}

// ---- Failures of the transfer --------------------------------------------------------------

TEST(outgoing_mechanics, a_peer_that_closes_the_connection_gives_502_and_an_error_line) {
  fake_peer agg;
  agg.close_connections_on("/api/order/canceled");
  agg.close_connections_on("/api/order/fueling");
  const order_upstream up(agg.base_url(), no_tls_checks);
  log_capture logs;

  EXPECT_EQ(up.cancel_order("k", "1", "r"), 502);
  EXPECT_EQ(up.fueling_order("k", "1"), 502);
  EXPECT_EQ(agg.requests().size(), 2u) << "each request reached the peer once";
  EXPECT_EQ(logs.count("orvale", "Error in \"Canceled\" status curle_easy_perform() err=52 "
                                 "descr=Server returned nothing (no headers, no data)"),
            1);
  EXPECT_EQ(logs.count("orvale", "Error Send \"Fueling\" status curle_easy_perform() err=52"), 1);
  EXPECT_EQ(logs.count("orvale", "status response="), 0);
}

// The aggregator's calls share kept-alive connections, also between copies of the client; one
// the peer dropped without an answer leaves the next call a fresh connection, not a failure.
TEST(outgoing_mechanics, aggregator_calls_reuse_a_kept_alive_connection_until_it_drops) {
  fake_peer agg;
  agg.script("/api/order/accept", {reply(200)});
  agg.script("/api/order/fueling", {reply(503)});
  agg.close_connections_on("/api/order/canceled");
  const order_upstream up(agg.base_url(), no_tls_checks);
  const order_upstream copy = up;

  EXPECT_EQ(up.accept_order("k", "1"), 200);
  EXPECT_EQ(copy.fueling_order("k", "1"), 503);
  EXPECT_EQ(up.accept_order("k", "2"), 200);
  const auto kept = agg.requests();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[1].client, kept[0].client);
  EXPECT_EQ(kept[2].client, kept[0].client);

  EXPECT_EQ(up.cancel_order("k", "1", "r"), 502);
  EXPECT_EQ(up.accept_order("k", "3"), 200);
  EXPECT_NE(agg.requests().back().client, kept[0].client);
}

TEST(outgoing_mechanics, a_peer_slower_than_the_time_limit_gives_502_once_the_limit_passes) {
  fake_peer agg;
  agg.script("/slow", {{200, "", 5s}});
  srv_apps::outgoing_request rq;
  rq.url = agg.base_url() + "/slow";
  rq.body = "a=1";
  rq.time_limit = 300ms;
  log_capture logs;

  const auto start = std::chrono::steady_clock::now();
  const srv_apps::outgoing_result out =
      srv_apps::perform_call(rq, srv_apps::status_texts("Accept"));
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(out.status, 502);
  EXPECT_EQ(out.transfer_code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_GE(took, 250ms); // libcurl checks its timers with some slack
  EXPECT_LT(took, 3s);
  EXPECT_EQ(logs.count("orvale", "Error Send \"Accept\" status curle_easy_perform() err=28 "
                                 "descr=Timeout was reached"),
            1);
}

TEST(outgoing_mechanics, calls_leave_the_process_signal_dispositions_alone) {
  // Without CURLOPT_NOSIGNAL libcurl would set SIGPIPE to "ignore" for the whole process during
  // every transfer, racing with the other threads' transfers and the process's own handling.
  struct sigaction mine {};
  mine.sa_handler = [](int) {};
  sigemptyset(&mine.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGPIPE, &mine, &previous), 0);

  fake_peer peer;
  peer.script("/api/order/accept", {{200, "", 500ms}});
  peer.script("/api/azstank/order", {{200, "{}", 500ms}});
  const order_upstream up(peer.base_url(), no_tls_checks);
  const order_station station("gw", no_tls_checks);
  const station_link link(peer.base_url() + "/api/azstank", "st");

  std::vector<std::pair<std::string, std::function<long()>>> calls{
      {"/api/order/accept", [&] { return up.accept_order("k", "1"); }},
      {"/api/azstank/order", [&] {
         std::string answer;
         return station.fwd_order(link, "k", station_body(), answer);
       }}};
  for (auto& [path, call] : calls) {
    auto pending = std::async(std::launch::async, call);
    ASSERT_TRUE(peer.wait_for(path, 1, 5s));
    struct sigaction during {};
    sigaction(SIGPIPE, nullptr, &during);
    EXPECT_EQ(during.sa_handler, mine.sa_handler) << path << ": changed during the transfer";
    EXPECT_EQ(pending.get(), 200);
  }
  sigaction(SIGPIPE, &previous, nullptr);
}

// ---- Redirects -----------------------------------------------------------------------------

TEST(outgoing_mechanics, redirects_are_followed_to_http_with_the_body_sent_again) {
  fake_peer agg;
  const std::string base = agg.base_url();
  reply temporary(307);
  temporary.headers = {{"Location", base + "/moved/accept"}};
  agg.script("/api/order/accept", {temporary});
  agg.script("/moved/accept", {{200}});
  reply found(302);
  found.headers = {{"Location", "/moved/fueling"}};
  agg.script("/api/order/fueling", {found});
  agg.script("/moved/fueling", {{201}});
  const order_upstream up(base, no_tls_checks);

  EXPECT_EQ(up.accept_order("k", "7"), 200) << "the final status is the result";
  const auto moved = agg.requests("/moved/accept");
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].method, "POST");
  EXPECT_EQ(moved[0].body, "apikey=k&orderId=7") << "a 307 repeats the POST with its body";

  EXPECT_EQ(up.fueling_order("k", "7"), 201);
  EXPECT_EQ(agg.requests("/moved/fueling").size(), 1u);
}

TEST(outgoing_mechanics, redirects_go_nowhere_but_http_and_https_and_at_most_ten_times) {
  fake_peer agg;
  reply to_ftp(302);
  to_ftp.headers = {{"Location", "ftp://127.0.0.1:" + std::to_string(agg.port()) + "/x"}};
  agg.script("/api/order/accept", {to_ftp});
  reply to_file(302);
  to_file.headers = {{"Location", "file:///etc/hostname"}};
  agg.script("/api/order/fueling", {to_file});
  reply loop(302);
  loop.headers = {{"Location", "/loop"}};
  agg.script("/loop", {loop});

  srv_apps::outgoing_request rq;
  rq.body = "a=1";
  for (const char* path : {"/api/order/accept", "/api/order/fueling"}) {
    rq.url = agg.base_url() + path;
    const auto out = srv_apps::perform_call(rq, {});
    EXPECT_EQ(out.status, 502) << path;
    EXPECT_EQ(out.transfer_code, CURLE_UNSUPPORTED_PROTOCOL) << path;
  }
  rq.url = agg.base_url() + "/loop";
  const auto out = srv_apps::perform_call(rq, {});
  EXPECT_EQ(out.status, 502);
  EXPECT_EQ(out.transfer_code, CURLE_TOO_MANY_REDIRECTS);
  EXPECT_EQ(agg.requests("/loop").size(), 11u) << "the first request and ten redirects";

  rq.url = "file:///etc/hostname"; // a configured URL is held to the same schemes
  EXPECT_EQ(srv_apps::perform_call(rq, {}).transfer_code, CURLE_UNSUPPORTED_PROTOCOL);
}

// ---- Reply bodies --------------------------------------------------------------------------

TEST(outgoing_mechanics, reply_bodies_nobody_reads_never_reach_standard_output) {
  fake_peer agg;
  const std::string marker = "BODY-OF-THE-AGGREGATOR-ANSWER";
  for (const char* path :
       {"/api/order/accept", "/api/order/fueling", "/api/order/canceled", "/api/order/completed"}) {
    agg.script(path, {{200, marker}});
  }
  const order_upstream up(agg.base_url(), no_tls_checks);
  const std::string written = stdout_of([&] {
    EXPECT_EQ(up.accept_order("k", "1"), 200);
    EXPECT_EQ(up.fueling_order("k", "1"), 200);
    EXPECT_EQ(up.cancel_order("k", "1", "r"), 200);
    EXPECT_EQ(up.complete_order("k", "1", "e", "d", 1), 200);
  });
  EXPECT_EQ(agg.requests().size(), 4u);
  EXPECT_EQ(written.find(marker), std::string::npos) << written;
}

TEST(outgoing_mechanics, a_read_reply_is_kept_up_to_one_mebibyte_and_beyond_it_fails) {
  fake_peer st;
  const order_station station("gw", no_tls_checks);
  const station_link link(st.base_url() + "/api/azstank", "st");
  std::string answer;

  st.script("/api/azstank/order", {{200, std::string(srv_apps::max_reply_bytes, 'x')}});
  EXPECT_EQ(station.fwd_order(link, "k", station_body(), answer), 200);
  EXPECT_EQ(answer.size(), srv_apps::max_reply_bytes);

  st.script("/api/azstank/order", {{200, std::string(srv_apps::max_reply_bytes + 1, 'x')}});
  EXPECT_EQ(station.fwd_order(link, "k", station_body(), answer), 502);
  EXPECT_EQ(answer, "") << "a cut-off answer is not handed on";

  // A peer that sends no length is stopped by the write callback itself.
  srv_apps::reply_sink sink;
  sink.limit = 10;
  char block[] = "abcdef";
  EXPECT_EQ(srv_apps::write_callback(block, 1, 6, &sink), 6u);
  EXPECT_EQ(srv_apps::write_callback(block, 2, 3, &sink), 0u);
  EXPECT_TRUE(sink.overflow);
  EXPECT_EQ(srv_apps::write_callback(block, 1, 1, &sink), 0u) << "and stays stopped";
  EXPECT_EQ(sink.text, "abcdef");
}

// ---- Station controller calls --------------------------------------------------------------

TEST(order_station, forwards_order_and_fueling_as_json_with_the_three_part_key) {
  fake_peer st;
  st.script("/api/azstank/order", {{200, R"({"trannum":5})"}});
  st.script("/api/azstank/fueling", {{200, "{}"}});
  const order_station station("gw-key", no_tls_checks);
  const station_link link(st.base_url() + "/api/azstank", "st-key");
  log_capture logs;

  std::string answer;
  EXPECT_EQ(station.fwd_order(link, "agg&key", station_body(), answer), 200);
  EXPECT_EQ(answer, R"({"trannum":5})");
  EXPECT_EQ(station.fwd_fueling(link, "agg&key", station_body(), answer), 200);
  EXPECT_EQ(answer, "{}");

  const std::string json =
      R"({"app_id":3,"id":"A&B-7","price":52.3,"prod":95,"summa":523,"trk":2,"volume":10})";
  const auto seen = st.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "/api/azstank/order");
  EXPECT_EQ(seen[1].path, "/api/azstank/fueling");
  for (const auto& r : seen) {
    EXPECT_EQ(r.method, "POST");
    // Each part percent-encoded: a raw '&' would cut the credential short at the station.
    EXPECT_EQ(r.query, "apikey=agg%26key,gw-key,st-key");
    EXPECT_EQ(r.body, json);
    EXPECT_EQ(r.content_type, "application/json");
    expect_headers_in_order(r, srv_apps::station_json_headers());
  }
  const std::string url = st.base_url() + "/api/azstank/order?apikey=agg%26key,gw-key,st-key";
  EXPECT_EQ(logs.messages("orvale").at(0), "Send forward \"Order\" request endpoint=" + url +
                                               " json postdata=" + json +
                                               " length=" + std::to_string(json.size()));
  EXPECT_EQ(logs.messages("orvale").at(1), "Get forward \"Order\" request response=200");
  EXPECT_EQ(logs.count("orvale", "Send forward \"Fueling\" request endpoint="), 1);
}

TEST(order_station, cancels_with_the_reason_encoded_in_the_query_and_plain_in_the_body) {
  fake_peer st;
  st.script("/api/azstank/canceled", {{200}});
  const order_station station("gw", no_tls_checks);
  const station_link link(st.base_url() + "/api/azstank", "st");
  std::string answer = "stale";

  auto full = web::json::make_object();
  full->set("id", "7");
  full->set("Reason", "Заказ не принят.");
  full->set("ReasonRef", "usr");
  full->set("extendedOrderId", "991");
  EXPECT_EQ(station.fwd_cancel_ext(link, "agg", web::json::value(full), answer), 200);
  EXPECT_EQ(answer, "") << "an empty reply replaces the caller's text";

  auto bare = web::json::make_object(); // no ReasonRef, ExtendedId but no extendedOrderId
  bare->set("id", "8");
  bare->set("ExtendedId", "55");
  bare->set("Reason", 12); // not a string: counts as missing
  EXPECT_EQ(station.fwd_cancel_ext(link, "agg", web::json::value(bare), answer), 200);

  const auto seen = st.requests("/api/azstank/canceled");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].query, std::string("apikey=agg,gw,st&orderId=7&reason=") +
                               encoded_not_accepted + "&ref=usr&extId=991");
  EXPECT_EQ(seen[0].body,
            R"({"Reason":"Заказ не принят.","ReasonRef":"usr","extendedOrderId":"991","id":"7"})");
  EXPECT_EQ(seen[1].query, "apikey=agg,gw,st&orderId=8&reason=&ref=sys&extId=");
  for (const auto& r : seen) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.header("Accept"), "*/*") << "the plain header set asks for nothing special";
    expect_headers_in_order(r, srv_apps::station_plain_headers());
  }
}

TEST(order_station, asks_for_the_price_list_with_a_get_and_the_gateway_key) {
  fake_peer st;
  st.script("/api/azstank/callback/prices", {{200, R"({"ok":1})"}});
  st.script("/api/azstank/station/prices", {{200, "[]"}});
  const order_station station("gw", no_tls_checks);
  const station_link link(st.base_url() + "/api/azstank", "st");
  log_capture logs;

  std::string answer;
  EXPECT_EQ(station.fwd_pricelist_request(link, "agg", answer, true), 200);
  EXPECT_EQ(answer, R"({"ok":1})");
  EXPECT_EQ(station.fwd_pricelist_request(link, "agg", answer, false), 200);
  EXPECT_EQ(answer, "[]");

  const auto seen = st.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "/api/azstank/callback/prices");
  EXPECT_EQ(seen[1].path, "/api/azstank/station/prices");
  for (const auto& r : seen) {
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.query, "apikey=gw,st");
    EXPECT_EQ(r.body, "");
    expect_headers_in_order(r, srv_apps::station_plain_headers());
  }
  EXPECT_EQ(logs.messages("orvale").at(0),
            "Send forward \"Price List\" request endpoint=" + st.base_url() +
                "/api/azstank/callback/prices?apikey=gw,st");
}

TEST(order_station, hands_back_the_reply_text_whatever_the_status) {
  fake_peer st;
  const std::string refusal = R"({"msg":"ТРК занята","txt":"код 4"})";
  st.script("/api/azstank/order", {{402, refusal}});
  st.close_connections_on("/api/azstank/fueling");
  const order_station station("gw", no_tls_checks);
  const station_link link(st.base_url() + "/api/azstank", "st");
  log_capture logs;

  std::string answer;
  EXPECT_EQ(station.fwd_order(link, "agg", station_body(), answer), 402);
  EXPECT_EQ(answer, refusal);

  answer = "stale";
  EXPECT_EQ(station.fwd_fueling(link, "agg", station_body(), answer), 502);
  EXPECT_EQ(answer, "");
  EXPECT_EQ(logs.count("orvale", "Error forward \"Fueling\" request curle_easy_perform() err=52"),
            1);

  // No link, or one without an address: nothing is sent or logged and the answer is emptied.
  logs.clear();
  for (const station_link& none : {station_link(), station_link("", "st")}) {
    answer = "stale";
    EXPECT_EQ(station.fwd_order(none, "agg", station_body(), answer), 503);
    EXPECT_EQ(station.fwd_cancel_ext(none, "agg", station_body(), answer), 503);
    EXPECT_EQ(station.fwd_pricelist_request(none, "agg", answer, true), 503);
    EXPECT_EQ(answer, "");
  }
  EXPECT_EQ(st.requests().size(), 2u);
  EXPECT_TRUE(logs.messages().empty());
}

TEST(order_station, sends_a_large_body_whole) {
  fake_peer st;
  st.script("/api/azstank/order", {{200}});
  const order_station station("gw", no_tls_checks);
  auto obj = web::json::make_object();
  obj->set("id", std::string(200000, 'z'));
  std::string answer;
  EXPECT_EQ(station.fwd_order(station_link(st.base_url() + "/api/azstank", "st"), "a",
                              web::json::value(obj), answer),
            200);
  ASSERT_EQ(st.requests().size(), 1u);
  EXPECT_EQ(st.requests()[0].body, web::json::write(obj));
}

// A controller's calls share its kept connection while it has been idle less than the limit; each
// controller has its own. Without a cache, or with one that keeps only handles, every call
// connects anew; such a cache keeps one handle for all controllers.
TEST(order_station, keeps_each_controllers_connection_only_while_it_is_idle_less_than_the_limit) {
  fake_peer a;
  fake_peer b;
  srv_apps::connection_cache kept(1, 100ms);
  const order_station station("gw-key", no_tls_checks, nullptr, nullptr, &kept);
  const order_station unkept("gw-key", no_tls_checks);
  const station_link to_a(a.base_url() + "/api/azstank", "a");
  const station_link to_b(b.base_url() + "/api/azstank", "b");
  const auto call = [](const order_station& via, const station_link& link, fake_peer& peer) {
    peer.script("/api/azstank/fueling", {{200, "{}"}});
    std::string answer;
    EXPECT_EQ(via.fwd_fueling(link, "k", station_body(), answer), 200);
    return peer.requests().back().client;
  };
  const std::string first = call(station, to_a, a);
  const std::string to_other = call(station, to_b, b);
  EXPECT_EQ(call(station, to_a, a), first) << "the other controller's connection is not used";
  EXPECT_EQ(b.requests().size(), 1u);
  EXPECT_EQ(kept.idle(), 2u);
  std::this_thread::sleep_for(150ms);
  EXPECT_NE(call(station, to_a, a), first) << "idle beyond the limit: closed";
  EXPECT_NE(call(station, to_b, b), to_other);
  const std::string once = call(unkept, to_a, a);
  EXPECT_NE(call(unkept, to_a, a), once);

  srv_apps::connection_cache handles_only(4, 0ms, false);
  const order_station fresh("gw-key", no_tls_checks, nullptr, nullptr, &handles_only);
  const std::string fresh_first = call(fresh, to_a, a);
  call(fresh, to_b, b);
  EXPECT_NE(call(fresh, to_a, a), fresh_first);
  EXPECT_EQ(handles_only.idle(), 1u);
}

TEST(order_station, ext_date_is_local_time_day_first) {
  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 5;
  local.tm_hour = 7;
  local.tm_min = 8;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  EXPECT_EQ(order_station::_makeExtDate(t), "05.03.2024 07:08:09");

  const std::time_t zero = 0;
  const auto format_now = [](std::time_t now) {
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%d.%m.%Y %H:%M:%S", &tm);
    return std::string(text);
  };
  const std::time_t before = std::time(nullptr);
  const std::string now = order_station::_makeExtDate(zero);
  const std::time_t after = std::time(nullptr);
  EXPECT_TRUE(now == format_now(before) || now == format_now(after)) << now;
}

} // namespace

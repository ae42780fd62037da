// The scripted peer and the test client, against each other: every later test leans on both.
#include <chrono>
#include <future>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/fake_peer.h"
#include "support/http_client.h"

namespace orvale_test {
namespace {

using namespace std::chrono_literals;

TEST(fake_peer, answers_a_path_from_its_script_in_turn_then_repeats_the_last) {
  fake_peer peer;
  peer.script("/api/order/accept", {{503, "busy"}, {502}, {200, R"({"ok":true})"}});

  const http_reply first = http_call(peer.port(), "POST", "/api/order/accept", "a=1");
  EXPECT_EQ(first.status, 503);
  EXPECT_EQ(first.body, "busy");
  EXPECT_EQ(first.header("content-type"), "application/json");
  EXPECT_EQ(http_call(peer.port(), "POST", "/api/order/accept").status, 502);
  for (int i = 0; i < 3; ++i) {
    const http_reply again = http_call(peer.port(), "POST", "/api/order/accept?x=1");
    EXPECT_EQ(again.status, 200) << "call " << i;
    EXPECT_EQ(again.body, R"({"ok":true})") << "call " << i;
  }

  // A new script starts from its first reply; an empty one unscripts the path.
  peer.script("/api/order/accept", {{201, "new"}});
  EXPECT_EQ(http_call(peer.port(), "GET", "/api/order/accept").status, 201);
  peer.script("/api/order/accept", {});
  EXPECT_EQ(http_call(peer.port(), "GET", "/api/order/accept").status, 404);
}

TEST(fake_peer, unscripted_paths_get_404_with_an_empty_body) {
  fake_peer peer;
  peer.script("/api/order/accept", {{200, "{}"}});

  for (const char* target : {"/", "/api/order", "/api/order/accept/", "/api/order/acceptx"}) {
    const http_reply r = http_call(peer.port(), "GET", target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.body, "") << target;
  }
}

TEST(fake_peer, records_what_each_request_carried) {
  fake_peer peer;
  peer.script("/api/order/fueling", {{200}});
  const std::string body = form_encode({{"orderId", "A-1"}, {"litre", "10.5"}});

  ASSERT_EQ(http_call(peer.port(), "POST", "/api/order/fueling?apikey=k%2C2&v=1", body,
                      "application/x-www-form-urlencoded")
                .status,
            200);
  ASSERT_EQ(http_call(peer.port(), "GET", "/pri%63e").status, 404);

  const auto seen = peer.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].path, "/api/order/fueling");
  EXPECT_EQ(seen[0].query, "apikey=k%2C2&v=1");
  EXPECT_EQ(seen[0].body, "orderId=A-1&litre=10.5");
  EXPECT_EQ(seen[0].content_type, "application/x-www-form-urlencoded");
  EXPECT_EQ(seen[0].header("HOST"), "127.0.0.1:" + std::to_string(peer.port()));
  EXPECT_EQ(seen[0].header("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(seen[0].header("X-Absent"), "");
  EXPECT_EQ(seen[1].method, "GET");
  EXPECT_EQ(seen[1].path, "/pri%63e") << "the target is neither decoded nor normalised";
  EXPECT_EQ(seen[1].query, "");
  EXPECT_EQ(seen[1].body, "");
  EXPECT_LE(seen[0].at, seen[1].at);

  const auto fueling = peer.requests("/api/order/fueling");
  ASSERT_EQ(fueling.size(), 1u);
  EXPECT_EQ(fueling[0].body, seen[0].body);
  EXPECT_TRUE(peer.requests("/api/order/canceled").empty());
}

TEST(fake_peer, wait_for_reports_a_shortfall_at_its_deadline) {
  fake_peer peer;
  ASSERT_EQ(http_call(peer.port(), "GET", "/a").status, 404);

  EXPECT_TRUE(peer.wait_for(1, 1s));
  EXPECT_TRUE(peer.wait_for("/a", 1, 1s));

  const auto before = std::chrono::steady_clock::now();
  const testing::AssertionResult two = peer.wait_for(2, 100ms);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_FALSE(two);
  EXPECT_GE(waited, 100ms);
  EXPECT_LT(waited, 2s);
  EXPECT_NE(std::string(two.message()).find("GET /a"), std::string::npos) << two.message();
  EXPECT_FALSE(peer.wait_for("/b", 1, 50ms));
}

TEST(fake_peer, wait_for_wakes_when_a_request_arrives) {
  fake_peer peer;
  peer.script("/late", {{200, "", 150ms}});
  peer.script("/trigger", {{204}});
  auto call = std::async(std::launch::async, [&] {
    return http_call(peer.port(), "GET", "/late").status +
           http_call(peer.port(), "GET", "/trigger").status;
  });

  EXPECT_TRUE(peer.wait_for("/trigger", 1, 5s));
  EXPECT_EQ(call.get(), 200 + 204);
  const auto seen = peer.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_GE(seen[1].at - seen[0].at, 150ms) << "the delay comes before the answer";
}

TEST(fake_peer, a_path_set_to_close_ends_the_connection_without_a_reply) {
  fake_peer peer;
  peer.script("/api/azstank/order", {{200, "{}"}});
  peer.close_connections_on("/api/azstank/order");

  const http_reply r = http_call(peer.port(), "POST", "/api/azstank/order", "{}");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(r.error.empty());
  EXPECT_EQ(peer.requests("/api/azstank/order").size(), 1u) << "still recorded";
  EXPECT_EQ(http_call(peer.port(), "GET", "/other").status, 404) << "other paths answer";
}

TEST(fake_peer, stops_promptly_while_a_delayed_reply_is_pending) {
  std::optional<fake_peer> peer{std::in_place};
  peer->script("/slow", {{200, "late", 30s}});
  const std::uint16_t port = peer->port();
  auto pending = std::async(std::launch::async,
                            [port] { return http_call(port, "GET", "/slow", "", "", 60s); });
  ASSERT_TRUE(peer->wait_for(1, 5s));

  const auto before = std::chrono::steady_clock::now();
  peer.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_EQ(pending.get().status, 0);
  EXPECT_EQ(http_call(port, "GET", "/slow", "", "", 2s).status, 0) << "nothing listens any more";
}

TEST(http_client, keeps_one_connection_for_several_requests) {
  fake_peer peer;
  peer.script("/ping", {{200, "pong"}});
  keep_alive_client client(peer.port());

  for (int i = 0; i < 3; ++i) {
    const http_reply r = client.call("GET", "/ping");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "pong");
  }
  EXPECT_EQ(client.call("POST", "/ping", "x=1", "application/x-www-form-urlencoded").status, 200);
  EXPECT_EQ(client.connections_made(), 1u);
  EXPECT_EQ(peer.requests("/ping").back().body, "x=1");
}

TEST(http_client, form_encode_escapes_everything_but_unreserved_characters) {
  EXPECT_EQ(form_encode({}), "");
  EXPECT_EQ(form_encode({{"a", ""}}), "a=");
  EXPECT_EQ(form_encode({{"Id", "A-1_b.c~"}, {"a b", "x&y=z/+%"}, {"name", "\xd0\x90"}}),
            "Id=A-1_b.c~&a+b=x%26y%3Dz%2F%2B%25&name=%D0%90");
}

} // namespace
} // namespace orvale_test

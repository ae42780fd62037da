// An order's state never goes back: the run and the station's events racing for one order, a
// station answer the database cannot store, a database outage in the middle of a run, a repeated
// completion, and an order id that needs encoding in the station's URL.
#include <future>

#include "order_e2e_fixture.h"

namespace order_e2e {
namespace {

const std::string station_credential = "demo-key,gw-key,pass10";

http_reply complete_on(std::uint16_t port, const std::string& id, const std::string& litre) {
  return orvale_test::http_call(port, "POST", "/orvale/completed",
                                "apikey=" + station_credential + "&orderId=" + id + "&litre=" +
                                    litre + "&extendedOrderId=77&extendedDate=05.03.2024+07:08:09",
                                "application/x-www-form-urlencoded");
}

// "litre=..." of each completion the aggregator received, in order.
std::vector<std::string> relayed_litres(const fake_peer& aggregator) {
  std::vector<std::string> out;
  for (const auto& r : aggregator.requests(ag_completed)) {
    const auto at = r.body.find("&litre=");
    out.push_back(r.body.substr(at + 7, r.body.find('&', at + 1) - at - 7));
  }
  return out;
}

class OrderState : public OrderE2e {
protected:
  http_reply complete(const std::string& id, const std::string& litre) {
    return complete_on(gw_.port(), id, litre);
  }
  [[nodiscard]] testing::AssertionResult state_becomes(const std::string& id,
                                                       const std::string& want) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (state(id) != want) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return testing::AssertionFailure() << id << " is " << state(id) << ", not " << want;
      }
      std::this_thread::sleep_for(10ms);
    }
    return testing::AssertionSuccess();
  }
};

// The station completes the order while the run still reports fueling to a slow aggregator: the
// completion stands with the station's litres, is relayed once, and nothing is cancelled.
TEST_F(OrderState, StationCompletionDuringTheFuelingReportEndsTheRun) {
  aggregator_.script(ag_fueling,
                     {reply(503, "", 100ms), reply(503, "", 100ms), reply(503, "", 100ms), 200});
  start_gateway();
  ASSERT_EQ(post(new_order("K-1")).status, 200);
  ASSERT_TRUE(station_.wait_for(st_fueling, 1, 10s));
  EXPECT_EQ(complete("K-1", "23.40").status, 200);
  ASSERT_TRUE(run_ended("K-1"));
  EXPECT_TRUE(state_becomes("K-1", "3/1")) << gw_.log_text();
  EXPECT_EQ(column("K-1", "volume"), "23.4000");
  EXPECT_EQ(column("K-1", "trannum"), "77");
  std::this_thread::sleep_for(200ms); // anything the run would still send
  EXPECT_EQ(relayed_litres(aggregator_), std::vector<std::string>{"23.40"});
  EXPECT_TRUE(aggregator_.requests(ag_canceled).empty());
  EXPECT_TRUE(station_.requests(st_canceled).empty());
  EXPECT_EQ(station_.requests(st_fueling).size(), 1u);
}

// A station time the database cannot read is left out; the run and a later completion go on.
TEST_F(OrderState, StationTimeThatIsNotATimeIsLeftOut) {
  station_.script(st_order, {reply(200, R"({"timeset":"2024-05-01 10:00:00","trannum":5})")});
  start_gateway();
  ASSERT_EQ(post(new_order("T-1")).status, 200);
  ASSERT_TRUE(run_ended("T-1"));
  EXPECT_EQ(state("T-1"), "2/1");
  EXPECT_EQ(column("T-1", "row(azstimebeg, trannum)"), "(,5)");
  EXPECT_TRUE(gw_.wait_log("[T-1] Время АЗС \"timeset\" не в формате DD.MM.YYYY HH24:MI:SS, не "
                           "сохранено : '2024-05-01 10:00:00'",
                           1s));
  EXPECT_EQ(complete("T-1", "9.5").status, 200);
  EXPECT_TRUE(aggregator_.wait_for(ag_completed, 1, 10s));
}

// A station's report repeated while its relay waits for the aggregator starts no second relay:
// the pending one sends the newest values and the aggregator hears of the order once.
TEST_F(OrderState, RepeatedCompletionWhileItsRelayIsPendingIsMerged) {
  store_order(*db_, "R-1", 2);
  aggregator_.script(ag_completed, {reply(503)});
  start_gateway();
  EXPECT_EQ(complete("R-1", "23.40").status, 200);
  ASSERT_TRUE(aggregator_.wait_for(ag_completed, 2, 10s));
  EXPECT_EQ(complete("R-1", "23.50").status, 200);
  EXPECT_TRUE(gw_.wait_log("Повторное завершение", 1s));
  const auto before_success = relayed_litres(aggregator_).size();
  aggregator_.script(ag_completed, {reply(200)});
  EXPECT_TRUE(state_becomes("R-1", "3/1"));
  std::this_thread::sleep_for(200ms); // a second relay would answer 200 as well
  const auto litres = relayed_litres(aggregator_);
  ASSERT_GE(litres.size(), before_success + 1);
  EXPECT_EQ(litres.back(), "23.50");
  const auto first_new = std::find(litres.begin(), litres.end(), "23.50");
  EXPECT_EQ(std::count(first_new, litres.end(), "23.40"), 0) << "an older relay still running";
  EXPECT_LE(litres.size(), before_success + 2) << "tries after the aggregator answered 200";
}

// Every value in a station URL is percent-encoded: the stop of an order whose id has a blank.
TEST_F(OrderState, OrderIdIsEncodedInTheStationUrl) {
  store_order(*db_, "U B&1", 2);
  start_gateway();
  EXPECT_EQ(post(status_change("U B&1", "UserCanceled")).status, 200);
  ASSERT_TRUE(run_ended("U B&1"));
  const auto stops = station_.requests(st_canceled);
  ASSERT_EQ(stops.size(), 1u) << gw_.log_text();
  EXPECT_NE(stops[0].query.find("&orderId=U%20B%261&"), std::string::npos) << stops[0].query;
  EXPECT_EQ(state("U B&1"), "6/1");
}

// The database goes away while the station answers the forwarded order: the run stops without
// calling anyone, the aggregator's request fails, and once the database is back the station's
// completion is taken and relayed.
TEST(OrderOutage, RunStopsOnAFailedWriteAndTheCompletionIsStillTaken) {
  orvale_test::private_cluster cluster;
  test_db db = test_db::create_on(cluster.port(), "orvale_order_outage");
  db.exec(network);
  fake_peer station;
  fake_peer aggregator;
  station.script(st_order, {reply(200, "{}", 2s)});
  aggregator.script(ag_completed, {reply(200)});
  db.exec("INSERT INTO links (id_shop, addr, port, pass, active) VALUES (10, '127.0.0.1', " +
          std::to_string(station.port()) + ", 'pass10', true)");
  orvale_test::orvale_options o;
  o.app_database = db.json_db_object();
  o.upstream_url = aggregator.base_url();
  orvale_process gw;
  gw.start(orvale_test::make_config(o));
  ASSERT_TRUE(gw.wait_ready(10s)) << gw.log_text();

  auto answer = std::async(std::launch::async, [&] {
    return orvale_test::http_call(gw.port(), "POST", "/orvale/order?apikey=demo-key",
                                  web::json::write(new_order("O-1")), "application/json", 30s);
  });
  ASSERT_TRUE(station.wait_for(st_order, 1, 10s)) << gw.log_text();
  cluster.halt();
  EXPECT_EQ(answer.get().status, 502);
  EXPECT_TRUE(
      gw.wait_log("[O-1] Состояние заказа не записано, обработка остановлена [ step=2 ]", 5s))
      << gw.log_text();
  cluster.resume();
  EXPECT_EQ(db.value("SELECT statusint FROM orders WHERE id = 'O-1'"), "7");
  EXPECT_TRUE(aggregator.requests().empty()) << "nothing reported on a state not stored";
  EXPECT_EQ(station.requests().size(), 1u);

  http_reply done;
  for (int i = 0; i < 50 && done.status != 200; ++i) { // the pool finds its sessions gone
    done = complete_on(gw.port(), "O-1", "9.56");
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(done.status, 200) << gw.log_text();
  EXPECT_TRUE(aggregator.wait_for(ag_completed, 1, 10s));
  EXPECT_EQ(db.value("SELECT statusint FROM orders WHERE id = 'O-1'"), "3");
}

} // namespace
} // namespace order_e2e

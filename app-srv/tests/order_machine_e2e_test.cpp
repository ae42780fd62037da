// Status changes of stored orders and the failure paths of the order's run, through the real
// binary: stops, cancellations, completion and expiry, peers that never answer 200, two gateway
// processes sharing one database, and orders waiting on a dead station while the other endpoints
// go on answering, and a run that outlives its process.
#include <csignal>
#include <future>

#include "order_e2e_fixture.h"

namespace order_e2e {
namespace {

TEST_F(OrderE2e, UserCancelWhileFuelingStopsAtTheStationOnly) {
  store_order(*db_, "U-1", 2);
  store_order(*db_, "U-7", 7, 0);
  start_gateway();
  station_.script(st_canceled, {reply(200, "{}", 1500ms)});
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(post(status_change("U-1", "UserCanceled")).status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "answered before the stop";
  ASSERT_TRUE(run_ended("U-1"));

  const auto stops = station_.requests(st_canceled);
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].query, "apikey=demo-key,gw-key,pass10&orderId=U-1&reason=" +
                                escaped("Заказ отменен пользователем") + "&ref=usr&extId=");
  EXPECT_EQ(stops[0].body,
            R"({"ExtendedId":"","Reason":"Заказ отменен пользователем","ReasonRef":"usr",)"
            R"("id":"U-1"})");
  EXPECT_EQ(column("U-1", "row(ordstatext, statusint, statusconfirmed)"), "(UserCanceled,6,1)");
  EXPECT_TRUE(gw_.wait_log("orvale/order, info: Id=U-1 Перенаправление на АЗС команды отмены "
                           "Status=3\"Canceled\" (STOP AZS)",
                           1s));

  // The station's own cancellation of an order still being forwarded stops it as well.
  station_.script(st_canceled, {reply(200, "{}")});
  EXPECT_EQ(post(status_change("U-7", "StationCanceled")).status, 200);
  ASSERT_TRUE(run_ended("U-7"));
  EXPECT_EQ(station_.requests(st_canceled).size(), 2u);
  EXPECT_EQ(state("U-7"), "6/1");
  EXPECT_TRUE(aggregator_.requests().empty());
}

TEST_F(OrderE2e, StopFailingTenTimesIsReportedUpstream) {
  store_order(*db_, "U-2", 2);
  start_gateway();
  station_.script(st_canceled, {reply(503)});
  web::json::object_ptr cancel = status_change("U-2", "UserCanceled");
  cancel->set("Reason", "Передумал");
  EXPECT_EQ(post(cancel).status, 200);
  ASSERT_TRUE(run_ended("U-2"));
  EXPECT_EQ(station_.requests(st_canceled).size(), 10u);
  EXPECT_EQ(bodies(aggregator_.requests(ag_canceled)),
            std::vector<std::string>{form("U-2") + "&reason=" + escaped("Передумал")});
  EXPECT_EQ(column("U-2", "row(ordstatext, reason, statusint, statusconfirmed)"),
            "(UserCanceled,Передумал,6,1)");
  EXPECT_TRUE(gw_.wait_log("Id=U-2 Trying Status=3\"AZS Canceled\" try=10", 1s));
}

TEST_F(OrderE2e, CancelOfAnOrderNotAtTheStationIsOnlyReportedUpstream) {
  store_order(*db_, "U-3", 1);
  start_gateway();
  EXPECT_EQ(post(status_change("U-3", "UserCanceled")).status, 200);
  ASSERT_TRUE(run_ended("U-3"));
  EXPECT_TRUE(station_.requests().empty());
  EXPECT_EQ(bodies(aggregator_.requests(ag_canceled)),
            std::vector<std::string>{form("U-3") + "&reason=" + escaped("Заказ не принят.")});
  EXPECT_EQ(column("U-3", "row(ordstatext, reason, statusint, statusconfirmed)"),
            "(UserCanceled,\"Заказ не принят.\",6,1)");
}

TEST_F(OrderE2e, CompletedAndExpireAreRecordedWithoutCalls) {
  store_order(*db_, "K-1", 2);
  store_order(*db_, "K-2", 1, 0);
  start_gateway();
  EXPECT_EQ(post(status_change("K-1", "Completed")).status, 200);
  EXPECT_EQ(post(status_change("K-2", "Expire")).status, 200);
  ASSERT_TRUE(run_ended("K-1"));
  ASSERT_TRUE(run_ended("K-2"));
  EXPECT_EQ(column("K-1", "row(ordstatext, reason, reasonid, statusint, statusconfirmed)"),
            "(Completed,,,3,0)");
  EXPECT_EQ(column("K-2", "row(ordstatext, reason, reasonid, statusint, statusconfirmed)"),
            "(Expire,\"Ожидание подтверждения от АЗС\",expire,4,0)");
  EXPECT_TRUE(station_.requests().empty());
  EXPECT_TRUE(aggregator_.requests().empty());
  EXPECT_TRUE(gw_.wait_log("Id=K-1 Result Status=6\"Completed\" response=200", 1s));
  EXPECT_TRUE(gw_.wait_log("Id=K-2 Result Status=8\"Expire\" response=200", 1s));
}

TEST_F(OrderE2e, UnlistedStatusIsCancelled) {
  store_order(*db_, "L-1", 2);
  start_gateway();
  EXPECT_EQ(post(status_change("L-1", "Fueling")).status, 200);
  ASSERT_TRUE(run_ended("L-1"));
  EXPECT_TRUE(station_.requests().empty()) << "not a cancellation: no stop at the station";
  EXPECT_EQ(bodies(aggregator_.requests(ag_canceled)),
            std::vector<std::string>{form("L-1") + "&reason=" + escaped("Заказ не принят.")});
  EXPECT_EQ(column("L-1", "row(ordstatext, statusint, statusconfirmed)"), "(StationCanceled,5,1)");
}

TEST_F(OrderE2e, AggregatorNeverConfirmingStopsTheOrder) {
  start_gateway();
  aggregator_.script(ag_accept, {reply(503)});
  ASSERT_EQ(post(new_order("A-1")).status, 200);
  ASSERT_TRUE(run_ended("A-1"));
  EXPECT_EQ(aggregator_.requests(ag_accept).size(), 10u);
  EXPECT_EQ(station_.requests(st_canceled).size(), 1u);
  EXPECT_TRUE(station_.requests(st_fueling).empty());
  EXPECT_TRUE(aggregator_.requests(ag_canceled).empty());
  EXPECT_EQ(column("A-1", "row(ordstatext, reason, statusint, statusconfirmed)"),
            "(StationCanceled,\"Заказ не принят. Нет подтверждения от агрегатора\",6,1)");
  EXPECT_TRUE(gw_.wait_log("Id=A-1 Try fault Status=1\"Accept\" response=503", 1s));
}

TEST_F(OrderE2e, AggregatorNeverConfirmingAPostPaidOrderCancelsOnBothSides) {
  start_gateway();
  aggregator_.script(ag_accept, {reply(503)});
  web::json::object_ptr o = new_order("A-2");
  o->set("ExtendedId", "E-9");
  ASSERT_EQ(post(o).status, 200);
  ASSERT_TRUE(run_ended("A-2"));
  const std::string reason = "Заказ не принят. Нет подтверждения от агрегатора";
  EXPECT_EQ(bodies(aggregator_.requests(ag_canceled)),
            std::vector<std::string>{form("A-2") + "&reason=" + escaped(reason)});
  EXPECT_EQ(bodies(station_.requests(st_canceled)),
            std::vector<std::string>{
                R"({"ExtendedId":"E-9","PostPay":true,"Reason":")" + reason +
                R"(","app_id":1,"contract":"c-1","id":"A-2","is_postpay":true,"price":52.3,)"
                R"("prod":1,"summa":500,"trk":1,"volume":9.56})"});
  EXPECT_EQ(column("A-2", "row(ordstatext, reason, statusint, statusconfirmed)"),
            "(StationCanceled,\"" + reason + "\",5,0)");
  EXPECT_TRUE(gw_.wait_log("Id=A-2 Processing Status=10\"Canceled\"", 1s));
}

TEST_F(OrderE2e, DispenserStartFailingStopsTheOrder) {
  start_gateway();
  station_.script(st_fueling, {reply(503, R"({"msg":"ТРК занята"})")});
  ASSERT_EQ(post(new_order("S-1")).status, 200);
  ASSERT_TRUE(run_ended("S-1"));
  EXPECT_EQ(station_.requests(st_fueling).size(), 10u);
  EXPECT_EQ(station_.requests(st_canceled).size(), 1u);
  EXPECT_TRUE(aggregator_.requests(ag_fueling).empty());
  EXPECT_TRUE(aggregator_.requests(ag_canceled).empty());
  EXPECT_EQ(state("S-1"), "6/1");
  EXPECT_TRUE(gw_.wait_log(
      "Id=S-1 Trying Fault Forwarded to Azs Status=5\"Fueling\" (Start TRK) response=503", 1s));
}

TEST_F(OrderE2e, FuelingReportFailingStopsTheOrder) {
  start_gateway();
  aggregator_.script(ag_fueling, {reply(500)});
  ASSERT_EQ(post(new_order("S-2")).status, 200);
  ASSERT_TRUE(run_ended("S-2"));
  EXPECT_EQ(aggregator_.requests(ag_fueling).size(), 10u);
  EXPECT_EQ(station_.requests(st_canceled).size(), 1u);
  EXPECT_TRUE(aggregator_.requests(ag_canceled).empty());
  EXPECT_EQ(state("S-2"), "6/1");
}

// The paths of the requests that concern one order, in order of arrival.
std::vector<std::string> paths_for(const fake_peer& peer, const std::string& id) {
  std::vector<std::string> out;
  for (const auto& r : peer.requests()) {
    if (r.body.find("\"id\":\"" + id + "\"") != std::string::npos ||
        r.body.find("orderId=" + id) != std::string::npos) {
      out.push_back(r.path);
    }
  }
  return out;
}

// Two gateway processes on one database, as when the service is scaled out: the customer's
// cancellation reaches the second while the first is still working on the order, in the handler
// (forwarding it) or in a job (starting the dispenser). The cancellation waits for the first
// event's handler only; its stop or report runs after the first run's step under way, and
// whatever that run would still do finds the order cancelled.
TEST_F(OrderE2e, CancelDuringTheRunIsAppliedAfterItsCurrentStepOnAnotherInstance) {
  start_gateway();
  orvale_process second;
  start(second);
  const struct {
    const char* id;
    const std::string& held; // the station call the cancellation arrives during
  } cases[] = {{"O-1", st_order}, {"O-2", st_fueling}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    station_.script(st_order, {reply(200, "{}")});
    station_.script(st_fueling, {reply(200, "{}")});
    station_.script(c.held, {reply(200, "{}", 800ms)});
    const std::size_t held_before = station_.requests(c.held).size();
    auto created = std::async(std::launch::async, [&] { return post(new_order(c.id)).status; });
    ASSERT_TRUE(station_.wait_for(c.held, held_before + 1, 5s));

    const auto sent_at = std::chrono::steady_clock::now();
    const int status = post_to(second, web::json::write(status_change(c.id, "UserCanceled"))).status;
    const auto answered_at = std::chrono::steady_clock::now();
    EXPECT_EQ(status, 200);
    EXPECT_EQ(created.get(), 200);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (column(c.id, "row(ordstatext, statusint, statusconfirmed)") != "(UserCanceled,6,1)" &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(column(c.id, "row(ordstatext, statusint, statusconfirmed)"), "(UserCanceled,6,1)")
        << gw_.log_text() << second.log_text();
    std::this_thread::sleep_for(100ms); // anything the first run would still send

    const auto station_paths = paths_for(station_, c.id);
    ASSERT_FALSE(station_paths.empty());
    EXPECT_EQ(station_paths.front(), st_order);
    const auto aggregator_paths = paths_for(aggregator_, c.id);
    EXPECT_EQ(std::count(aggregator_paths.begin(), aggregator_paths.end(), ag_fueling), 0)
        << "fueling reported for a cancelled order";
    if (c.held == st_order) {
      // Held until the first handler had answered, which the station's answer held back.
      EXPECT_GE(answered_at - station_.requests(st_order).back().at, 700ms);
      // Before the dispenser started it is only reported; after, it is stopped.
      const bool started = station_paths.size() > 1 && station_paths[1] == st_fueling;
      EXPECT_EQ(station_paths, started ? (std::vector<std::string>{st_order, st_fueling,
                                                                  st_canceled})
                                       : std::vector<std::string>{st_order});
      EXPECT_EQ(aggregator_paths, started ? (std::vector<std::string>{ag_accept})
                                          : (std::vector<std::string>{ag_accept, ag_canceled}));
    } else {
      // No handler held the order: answered while the station still held the dispenser start.
      EXPECT_LT(answered_at - sent_at, 500ms);
      EXPECT_EQ(station_paths, (std::vector<std::string>{st_order, st_fueling, st_canceled}));
      EXPECT_EQ(aggregator_paths, std::vector<std::string>{ag_accept});
      EXPECT_LT(answered_at, station_.requests(st_canceled).back().at);
    }
  }
}

// A session of the test holds the order's lock as another run would: the event waits for it, goes
// on as soon as it is free, and is refused with 504 when it stays taken past the bound.
TEST_F(OrderE2e, EventWaitsForTheOrdersLockWithinABound) {
  store_order(*db_, "T-1", 2);
  start_gateway();
  orvale_test::pg_conn_ptr other = db_->open_session();
  const auto run_sql = [&](const std::string& sql) {
    orvale_test::pg_result_ptr r(PQexec(other.get(), sql.c_str()));
    ASSERT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK) << PQerrorMessage(other.get());
  };
  run_sql("SELECT pg_advisory_lock(1, hashtext('T-1'))");
  auto first = std::async(std::launch::async,
                          [&] { return post(status_change("T-1", "UserCanceled")).status; });
  ASSERT_TRUE(gw_.wait_log("[T-1] Ожидание завершения предыдущей обработки заказа", 5s));
  EXPECT_EQ(first.wait_for(300ms), std::future_status::timeout);
  EXPECT_TRUE(station_.requests().empty());
  run_sql("SELECT pg_advisory_unlock(1, hashtext('T-1'))");
  EXPECT_EQ(first.get(), 200);
  ASSERT_TRUE(run_ended("T-1"));
  EXPECT_EQ(station_.requests(st_canceled).size(), 1u);

  run_sql("SELECT pg_advisory_lock(1, hashtext('T-1'))");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(post(status_change("T-1", "Completed")).status, 504);
  EXPECT_GE(std::chrono::steady_clock::now() - before, 900ms) << "the configured 1 s wait";
  EXPECT_TRUE(
      gw_.wait_log("orvale/order, error: [T-1] Заказ обрабатывается, повторите запрос позже", 1s));
  EXPECT_EQ(column("T-1", "ordstatext"), "UserCanceled") << "refused before anything was written";
}

// The lock is taken on the event's pooled session: an event opens no session of its own, not even
// while it waits for the order.
TEST_F(OrderE2e, EventWaitsOnAPooledSession) {
  for (const char* id : {"P-1", "P-2", "P-3", "P-4"}) {
    store_order(*db_, id, 2);
  }
  start_gateway();
  // Sessions for the pool, opened by events at once.
  std::vector<std::future<int>> warm;
  for (const char* id : {"P-1", "P-2", "P-3"}) {
    warm.push_back(std::async(std::launch::async,
                              [&, id] { return post(status_change(id, "Completed")).status; }));
  }
  for (auto& w : warm) {
    EXPECT_EQ(w.get(), 200);
  }
  for (const char* id : {"P-1", "P-2", "P-3"}) {
    ASSERT_TRUE(run_ended(id));
  }

  orvale_test::pg_conn_ptr other = db_->open_session();
  orvale_test::pg_result_ptr locked(PQexec(other.get(), "SELECT pg_advisory_lock(1, hashtext('P-4'))"));
  ASSERT_EQ(PQresultStatus(locked.get()), PGRES_TUPLES_OK) << PQerrorMessage(other.get());
  const std::string since = db_->value("SELECT clock_timestamp()");
  auto waiting = std::async(std::launch::async,
                            [&] { return post(status_change("P-4", "Completed")).status; });
  ASSERT_TRUE(gw_.wait_log("[P-4] Ожидание завершения предыдущей обработки заказа", 5s));
  const std::string sessions =
      "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() AND "
      "application_name = 'orvale' AND ";
  EXPECT_EQ(db_->value(sessions + "wait_event = 'advisory' AND backend_start < '" + since + "'"), "1")
      << "the waiting event's session is not one the pool had";
  EXPECT_EQ(db_->value(sessions + "backend_start >= '" + since + "'"), "0");
  orvale_test::pg_result_ptr unlocked(
      PQexec(other.get(), "SELECT pg_advisory_unlock(1, hashtext('P-4'))"));
  EXPECT_EQ(waiting.get(), 200);
  ASSERT_TRUE(run_ended("P-4"));
  EXPECT_EQ(state("P-4"), "3/0");
}

TEST_F(OrderE2e, OtherEndpointsAnswerWhileOrdersWaitOnADeadStation) {
  gateway_setup s;
  s.worker_threads = 4; // fewer than the orders waiting
  start_gateway(s);
  // The station takes orders but never answers the dispenser start within the 10 s limit.
  station_.script(st_fueling, {reply(200, "{}", 60s)});
  for (int i = 0; i < 20; ++i) {
    const auto before = std::chrono::steady_clock::now();
    const std::string id = "H-" + std::to_string(i);
    ASSERT_EQ(post(new_order(id, 11 + i)).status, 200) << id;
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << id;
  }
  // As many dispenser starts as the runner lets one station have at once are waiting.
  ASSERT_TRUE(station_.wait_for(st_fueling, 4, 10s));
  for (const char* path : {"/orvale/price?apikey=demo-key", "/orvale/station?apikey=demo-key"}) {
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(orvale_test::http_call(gw_.port(), "GET", path).status, 200) << path;
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << path;
  }
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(post(new_order("H-20", 31)).status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  // Whichever run's start reached the station first (their confirmations race) still waits.
  web::json::value first;
  ASSERT_TRUE(web::json::parse(station_.requests(st_fueling).front().body, first));
  EXPECT_EQ(state(web::json::get_string(first, "id", "")), "2/0");
}

// A run waiting for its next try at a stop is kept: the next process goes on from there, with
// the body the station was sent before and the tries the step has had.
TEST_F(OrderE2e, RunWaitingAtShutdownGoesOnInTheNextProcess) {
  gateway_setup s;
  s.pause_scale = 0.2; // 100 ms between tries of the confirmation
  start_gateway(s);
  aggregator_.script(ag_accept, {reply(503)});
  ASSERT_EQ(post(new_order("Q-1")).status, 200);
  ASSERT_TRUE(aggregator_.wait_for(ag_accept, 2, 5s));
  gw_.send_signal(SIGTERM);
  EXPECT_EQ(gw_.wait_exit(10s), 0);
  const std::size_t tried = aggregator_.requests(ag_accept).size();
  EXPECT_LT(tried, 10u);
  EXPECT_EQ(db_->value("SELECT string_agg(kind || ' ' || state || ' step=' || (args->>'step') || "
                       "' tries=' || (args->>'tries'), ';') FROM orvale_jobs "
                       "WHERE order_id = 'Q-1' AND state <> 'done'"),
            "order scheduled step=1 tries=" + std::to_string(tried));

  aggregator_.script(ag_accept, {reply(503), reply(200)});
  orvale_process next;
  start(next, s);
  EXPECT_TRUE(next.wait_log("[Q-1] Обработка заказа завершена", 10s)) << next.log_text();
  EXPECT_EQ(aggregator_.requests(ag_accept).size(), tried + 2);
  EXPECT_TRUE(next.wait_log("Id=Q-1 Trying Status=1\"Accept\" try=" + std::to_string(tried + 2), 1s));
  EXPECT_EQ(bodies(station_.requests(st_fueling)), std::vector<std::string>{station_body("Q-1")});
  EXPECT_EQ(state("Q-1"), "2/1");
}

} // namespace
} // namespace order_e2e

namespace order_e2e {
namespace {

// Station 11 on a controller of its own, next to station 10's.
void add_second_station(test_db& db, const fake_peer& controller) {
  db.exec("INSERT INTO azslist (id, title, deleted) VALUES (11, 'other', false);"
          "INSERT INTO azsconf (id_shop, trk, sch, prodcod, deleted, temp_blocked) VALUES "
          "(11, 1, 1, 1, false, false);"
          "INSERT INTO curprices (id_shop, prodcod, price) VALUES (11, 1, 52.3);"
          "INSERT INTO links (id_shop, addr, port, pass, active) VALUES (11, '127.0.0.1', " +
          std::to_string(controller.port()) + ", 'pass11', true)");
}

// A station that takes every dispenser start and never answers holds at most its own share of
// the job workers: another station's start keeps its schedule.
TEST_F(OrderE2e, AHungStationDoesNotDelayAnotherStationsDispenserStart) {
  fake_peer other;
  for (const auto* path : {&st_order, &st_fueling, &st_canceled}) {
    other.script(*path, {reply(200, "{}")});
  }
  add_second_station(*db_, other);
  start_gateway(gateway_setup{});
  station_.script(st_fueling, {reply(200, "{}", 60s)});
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(post(new_order("hung-" + std::to_string(i), 11 + i)).status, 200);
  }
  ASSERT_TRUE(station_.wait_for(st_fueling, 4, 10s));
  auto order = new_order("elsewhere");
  order->set("StationId", "s11");
  order->set("StationExtendedId", "11");
  ASSERT_EQ(post(order).status, 200);
  // Its own schedule at this pause scale is a few milliseconds. Workers taken by the hung
  // station would hold it for that station's 10 s time-out, or its 2 s wait for a call slot.
  EXPECT_TRUE(other.wait_for(st_fueling, 1, 1500ms)) << gw_.log_text();
}

// An order's handler holds its pooled session, with the order's lock, through its pauses and its
// forwarding. With every session of the requests' pool held so, the stored steps of an order
// before it still reach the database: they run on sessions of their own.
TEST_F(OrderE2e, OrdersHoldingEveryRequestSessionDoNotDelayAnEarlierOrdersDispenserStart) {
  fake_peer other;
  for (const auto* path : {&st_order, &st_fueling, &st_canceled}) {
    other.script(*path, {reply(200, "{}")});
  }
  add_second_station(*db_, other);
  gateway_setup setup;
  setup.app_pool_size = 1;
  setup.pause_scale = 0.5; // the earlier order's steps come 0.25 s apart after its answer
  start_gateway(setup);
  station_.script(st_order, {reply(200, "{}", 3s)});
  auto earlier = new_order("earlier");
  earlier->set("StationId", "s11");
  earlier->set("StationExtendedId", "11");
  ASSERT_EQ(post(earlier).status, 200);
  auto holding =
      std::async(std::launch::async, [this] { return post(new_order("holding")).status; });
  ASSERT_TRUE(station_.wait_for(st_order, 1, 2s)); // its handler holds the one session for 3 s
  EXPECT_TRUE(other.wait_for(st_fueling, 1, 1500ms)) << gw_.log_text();
  EXPECT_EQ(holding.get(), 200);
}

} // namespace
} // namespace order_e2e

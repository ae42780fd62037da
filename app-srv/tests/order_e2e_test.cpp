// New orders through the real binary, PostgreSQL and the fake aggregator and station: the
// endpoint's checks and price check, and each way a new order's run can go, with what reaches
// which peer, in which order, and what the orders table holds along the way.
#include <csignal>
#include <future>
#include <regex>

#include "order_e2e_fixture.h"

namespace order_e2e {
namespace {

TEST_F(OrderE2e, NormalRunForwardsConfirmsStartsAndReports) {
  start_gateway();
  // Every peer holds its answer back, so the table can be read while the run waits on it.
  constexpr auto hold = 600ms;
  station_.script(st_order, {reply(200, R"({"timeset":"04.03.2021 05:06:08"})", hold)});
  station_.script(st_fueling, {reply(200, "{}", hold)});
  aggregator_.script(ag_accept, {reply(200, "", hold)});
  aggregator_.script(ag_fueling, {reply(200, "", hold)});

  auto answer = std::async(std::launch::async, [&] {
    http_reply r = post(new_order("N-1"));
    return std::make_pair(r, std::chrono::steady_clock::now());
  });
  EXPECT_EQ(state_at(station_, st_order, 1, "N-1"), "7/0");
  EXPECT_EQ(state_at(aggregator_, ag_accept, 1, "N-1"), "1/1");
  EXPECT_EQ(state_at(station_, st_fueling, 1, "N-1"), "2/0");
  EXPECT_EQ(state_at(aggregator_, ag_fueling, 1, "N-1"), "2/1");
  const auto [r, answered_at] = answer.get();
  ASSERT_TRUE(run_ended("N-1"));
  EXPECT_EQ(state("N-1"), "2/1");

  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "");
  const seen_request order = station_.requests(st_order).at(0);
  EXPECT_GE(answered_at - order.at, hold) << "answered before the station had answered";
  EXPECT_EQ(order.query, "apikey=demo-key,gw-key,pass10");
  EXPECT_EQ(order.body, station_body("N-1"));
  EXPECT_EQ(order.header("Content-Type"), "application/json");
  const seen_request fueling = station_.requests(st_fueling).at(0);
  EXPECT_EQ(fueling.query, "apikey=demo-key,gw-key,pass10");
  EXPECT_EQ(fueling.body, station_body("N-1"));
  EXPECT_EQ(bodies(aggregator_.requests(ag_accept)), std::vector<std::string>{form("N-1")});
  EXPECT_EQ(bodies(aggregator_.requests(ag_fueling)), std::vector<std::string>{form("N-1")});
  const seen_request accept = aggregator_.requests(ag_accept).at(0);
  const seen_request reported = aggregator_.requests(ag_fueling).at(0);
  EXPECT_LT(order.at, accept.at);
  EXPECT_LT(accept.at, fueling.at);
  EXPECT_LT(fueling.at, reported.at);
  EXPECT_EQ(station_.requests().size(), 2u);
  EXPECT_EQ(aggregator_.requests().size(), 2u);

  // The station's start time and the ordered litres recorded as dispensed so far.
  EXPECT_EQ(column("N-1", "row(ordstatext, azstimebeg, volume, volcompleted, reason, reasonid)"),
            R"((OrderCreated,"2021-03-04 05:06:08",9.5600,9.5600,,))");
  const std::string log = gw_.log_text();
  for (const char* line : {
           "[N-1] Инициализация статуса обработки заказа [ step=2 ]",
           "Id=N-1 Перенаправление заказа на АЗС Status=2\"Accept\" (Create Transaction)",
           "Id=N-1 Ответ АЗС на перенаправление заказа try=1 response=200 data = "
           "'{\"timeset\":\"04.03.2021 05:06:08\"}'",
           "Id=N-1 Processing Status=1\"Accept\"",
           "Id=N-1 Trying Status=1\"Accept\" try=1",
           "orvale, debug: Id=N-1 Processing Forwarded to Azs Status=5\"Fueling\" (Start TRK)",
           "Id=N-1 Trying Forwarded to Azs Status=5\"Fueling\" (Start TRK) try=1",
           "Id=N-1 Обработка команы на пуск АЗС Status=4\"Fueling\"",
           "Id=N-1 Trying Status=4\"Fueling\" try=1",
       }) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

// The forwarding and the dispenser start reach the station over one connection when
// orvale.station_keepalive is set, and over a connection each by default.
TEST_F(OrderE2e, AStationsCallsShareAConnectionOnlyWithKeepalive) {
  for (const double keepalive : {0.0, 2.0}) {
    orvale_process gw;
    gateway_setup s;
    s.station_keepalive = keepalive;
    start(gw, s);
    const std::string id = keepalive > 0 ? "K-2" : "K-0";
    ASSERT_EQ(post_to(gw, web::json::write(new_order(id))).status, 200) << keepalive;
    ASSERT_TRUE(station_.wait_for(st_fueling, keepalive > 0 ? 2 : 1, 10s)) << keepalive;
    const std::string order_from = station_.requests(st_order).back().client;
    const std::string fueling_from = station_.requests(st_fueling).back().client;
    EXPECT_EQ(order_from == fueling_from, keepalive > 0) << keepalive;
  }
}

// The aggregator's 200 promises the rest of the run: by then its first step is stored, with the
// body the station was sent and the aggregator as the peer it calls.
TEST_F(OrderE2e, FirstStepIsStoredBeforeTheAnswer) {
  start_gateway();
  aggregator_.script(ag_accept, {reply(200, "", 2s)});
  ASSERT_EQ(post(new_order("J-1")).status, 200);
  const auto jobs = db_->rows("SELECT kind, args->>'step', args->'body'->>'contract', peer "
                              "FROM orvale_jobs WHERE id_app = 1 AND order_id = 'J-1'");
  EXPECT_EQ(jobs, (std::vector<std::vector<std::string>>{
                      {"order", "1", "c-1", aggregator_.base_url()}}));
  ASSERT_TRUE(run_ended("J-1"));
  EXPECT_EQ(state("J-1"), "2/1");
}

// The run's first step goes with the handler's last COMMIT: when it cannot be stored, nothing of
// that transaction is, and the aggregator is not told the order was accepted.
TEST_F(OrderE2e, ARunWhoseFirstStepCannotBeStoredIsNotAccepted) {
  db_->exec(R"SQL(
CREATE FUNCTION refuse_j9() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN RAISE EXCEPTION 'no jobs for J-9'; END $$;
CREATE TRIGGER refuse_j9 BEFORE INSERT ON orvale_jobs FOR EACH ROW WHEN (NEW.order_id = 'J-9')
  EXECUTE FUNCTION refuse_j9();
)SQL");
  gateway_setup s;
  s.pause_scale = 0; // due at once: the booking waits for the handler's last COMMIT
  start_gateway(s);
  EXPECT_EQ(post(new_order("J-9")).status, 502);
  EXPECT_EQ(state("J-9"), "7/0"); // as committed before the station's call
  EXPECT_EQ(db_->value("SELECT count(*) FROM orvale_jobs WHERE order_id = 'J-9'"), "0");
  EXPECT_TRUE(gw_.wait_log("no jobs for J-9", 1s));
  EXPECT_TRUE(gw_.wait_log("] Обработка заказа прервана: задание не записано", 1s));
}

// An order event's key is looked up once while the database announces no change: with the table
// unreadable the next event still passes; a key changed in the database stops passing.
TEST_F(OrderE2e, ACallersKeyIsKeptUntilTheDatabaseAnnouncesAChange) {
  start_gateway();
  ASSERT_TRUE(gw_.wait_log("Сеанс ожидания изменений каталога открыт", 5s)); // keys are kept
  ASSERT_EQ(post(new_order("K-1")).status, 200);
  db_->exec("REVOKE SELECT ON apptypes FROM orvale");
  const int kept = post(new_order("K-2")).status;
  db_->exec("GRANT SELECT ON apptypes TO orvale");
  EXPECT_EQ(kept, 200);
  db_->exec("UPDATE apptypes SET key = 'new-key' WHERE id = 1");
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int refused = 0;
  for (int i = 3; refused != 401 && std::chrono::steady_clock::now() < deadline; ++i) {
    refused = post(new_order("K-" + std::to_string(i))).status;
  }
  EXPECT_EQ(refused, 401);
  EXPECT_EQ(post(web::json::write(new_order("K-99")), "new-key").status, 200);
}

TEST_F(OrderE2e, PostPaidRunCompletesOnBothSides) {
  start_gateway();
  web::json::object_ptr o = new_order("P-1");
  o->set("ExtendedId", "E-77");
  ASSERT_EQ(post(o).status, 200);
  ASSERT_TRUE(run_ended("P-1"));

  const std::string sent = R"({"ExtendedId":"E-77","PostPay":true,"app_id":1,"contract":"c-1",)"
                           R"("id":"P-1","price":52.3,"prod":1,"summa":500,"trk":1,"volume":9.56})";
  EXPECT_EQ(bodies(station_.requests(st_order)), std::vector<std::string>{sent});
  // Step 9: the dispenser started through the post-payment worker, with the flag.
  const std::string started = R"({"ExtendedId":"E-77","PostPay":true,"app_id":1,)"
                              R"("contract":"c-1","id":"P-1","is_postpay":true,"price":52.3,)"
                              R"("prod":1,"summa":500,"trk":1,"volume":9.56})";
  EXPECT_EQ(bodies(station_.requests(st_fueling)), std::vector<std::string>{started});
  const auto completed = aggregator_.requests(ag_completed);
  ASSERT_EQ(completed.size(), 1u);
  EXPECT_TRUE(std::regex_match(completed[0].body,
                               std::regex("apikey=demo-key&orderId=P-1&litre=9\\.56&"
                                          "extendedOrderId=E-77&extendedDate="
                                          "\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d")))
      << completed[0].body;
  EXPECT_EQ(aggregator_.requests(ag_accept).size(), 1u);
  EXPECT_TRUE(aggregator_.requests(ag_fueling).empty());
  EXPECT_EQ(state("P-1"), "3/0");
  EXPECT_EQ(column("P-1", "row(reason, reasonid, volume, volcompleted, azstimelast IS NOT NULL)"),
            "(,,9.5600,9.5600,t)");
  EXPECT_TRUE(gw_.wait_log("Id=P-1 Processing Status=9\"Completed\"", 1s));
}

// A settlement pending while the station refuses survives a stop: the next process goes on with
// the station's side, and the aggregator's, answered 200 before the stop, is not sent again.
TEST_F(OrderE2e, PostPaidSettlementOutlivesAStop) {
  const gateway_setup slow{16, true, 0.05}; // 2 s between a side's tries is 100 ms
  start_gateway(slow);
  station_.script(st_fueling, {reply(503)});
  web::json::object_ptr o = new_order("P-3");
  o->set("ExtendedId", "E-79");
  ASSERT_EQ(post(o).status, 200);
  ASSERT_TRUE(station_.wait_for(st_fueling, 2, 10s)) << gw_.log_text();
  gw_.send_signal(SIGTERM);
  ASSERT_TRUE(gw_.wait_exit(20s).has_value());
  const std::size_t refused = station_.requests(st_fueling).size();
  ASSERT_LT(refused, 20u) << "the stop came after the station's last try";

  station_.script(st_fueling, {reply(200, "{}")});
  orvale_process next;
  start(next, slow);
  EXPECT_TRUE(next.wait_log("[P-3] Обработка заказа завершена", 10s)) << next.log_text();
  EXPECT_EQ(station_.requests(st_fueling).size(), refused + 1);
  EXPECT_EQ(aggregator_.requests(ag_completed).size(), 1u);
  EXPECT_EQ(state("P-3"), "3/0");
}

TEST_F(OrderE2e, PostPaidOrderWithAnotherTransactionRunsAsAnOrdinaryOne) {
  start_gateway();
  station_.script(st_order, {reply(200, R"({"trannum":555})")});
  web::json::object_ptr o = new_order("P-2");
  o->set("ExtendedId", "E-78");
  ASSERT_EQ(post(o).status, 200);
  ASSERT_TRUE(run_ended("P-2"));

  // Step 5, not 9: the station's own transaction number stands in for the post-payment id.
  const std::string started = R"({"ExtendedId":"555","PostPay":false,"app_id":1,)"
                              R"("contract":"c-1","id":"P-2","price":52.3,"prod":1,"summa":500,)"
                              R"("trk":1,"volume":9.56})";
  EXPECT_EQ(bodies(station_.requests(st_fueling)), std::vector<std::string>{started});
  EXPECT_EQ(aggregator_.requests(ag_fueling).size(), 1u);
  EXPECT_TRUE(aggregator_.requests(ag_completed).empty());
  EXPECT_EQ(state("P-2"), "2/1");
  EXPECT_EQ(column("P-2", "trannum"), "555");
}

TEST_F(OrderE2e, StationRefusalIsRecordedAndCancelledUpstream) {
  start_gateway();
  station_.script(st_order, {reply(402, R"({"msg":"Нет топлива","txt":"резервуар 3"})")});
  ASSERT_EQ(post(new_order("R-1")).status, 200);
  ASSERT_TRUE(run_ended("R-1"));

  EXPECT_EQ(column("R-1", "row(ordstatext, reason, reasonid, statusint, statusconfirmed)"),
            "(StationCanceled,\"Нет топлива (резервуар 3)\",error,5,1)");
  EXPECT_EQ(
      bodies(aggregator_.requests(ag_canceled)),
      std::vector<std::string>{form("R-1") + "&reason=" + escaped("Нет топлива (резервуар 3)")});
  EXPECT_TRUE(aggregator_.requests(ag_accept).empty());
  EXPECT_EQ(station_.requests().size(), 1u);
  EXPECT_TRUE(gw_.wait_log("Id=R-1 Result Status=7\"Canceled\" response=200", 1s));
}

TEST_F(OrderE2e, StationNotAnsweringTheOrderIsCancelledUpstream) {
  start_gateway();
  station_.close_connections_on(st_order);
  ASSERT_EQ(post(new_order("R-2")).status, 200);
  ASSERT_TRUE(run_ended("R-2"));
  EXPECT_EQ(column("R-2", "row(ordstatext, reason, reasonid, statusint, statusconfirmed)"),
            "(StationCanceled,\"Заказ не принят на АЗС\",error,5,1)");
  EXPECT_EQ(bodies(aggregator_.requests(ag_canceled)),
            std::vector<std::string>{form("R-2") + "&reason=" + escaped("Заказ не принят на АЗС")});
  EXPECT_TRUE(gw_.wait_log("try=1 response=502", 1s));
}

TEST_F(OrderE2e, DispenserNotFreeIsAnsweredAtOnceThenCancelled) {
  // Dispenser 5's configuration disappears once the order is stored, between the price check
  // and the dispatch: the state lookup then finds no dispenser at all.
  db_->exec(R"SQL(
CREATE FUNCTION drop_trk5() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN DELETE FROM azsconf WHERE id_shop = 10 AND trk = 5; RETURN NEW; END $$;
CREATE TRIGGER drop_trk5 AFTER INSERT ON orders FOR EACH ROW WHEN (NEW.trk = 5)
  EXECUTE FUNCTION drop_trk5();
)SQL");
  start_gateway();
  const std::string again = "Повторите попытку c другой ТРК";
  const struct {
    const char* id;
    int trk;
    std::string reason;
  } cases[] = {
      {"B-2", 2, "ТРК временно не принимает заказы с данным видом оплаты: " + again},
      {"B-3", 3, "ТРК отключена для работы с данным видом оплаты: " + again},
      {"B-5", 5, "ТРК не настроена для работы с данным видом оплаты: " + again},
  };
  // The aggregator holds its answer to the cancellations back: the orders' answers do not wait.
  aggregator_.script(ag_canceled, {reply(200, "", 2s)});
  for (const auto& c : cases) {
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(post(new_order(c.id, c.trk)).status, 200) << c.id;
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << c.id << ": not at once";
  }
  for (const auto& c : cases) {
    ASSERT_TRUE(run_ended(c.id));
    const std::string sent = form(c.id) + "&reason=" + escaped(c.reason);
    const auto canceled = bodies(aggregator_.requests(ag_canceled));
    EXPECT_EQ(std::count(canceled.begin(), canceled.end(), sent), 1) << c.id;
    EXPECT_EQ(column(c.id, "row(ordstatext, reason, statusint, statusconfirmed)"),
              "(StationCanceled,\"" + c.reason + "\",5,1)");
  }
  EXPECT_TRUE(station_.requests().empty());
  EXPECT_TRUE(aggregator_.requests(ag_accept).empty());
}

TEST_F(OrderE2e, PostPaymentForbiddenIsCancelled) {
  gateway_setup s;
  s.postpay_allow = false;
  start_gateway(s);
  web::json::object_ptr o = new_order("F-1");
  o->set("ExtendedId", "E-1");
  ASSERT_EQ(post(o).status, 200);
  ASSERT_TRUE(run_ended("F-1"));
  EXPECT_EQ(bodies(aggregator_.requests(ag_canceled)),
            std::vector<std::string>{form("F-1") +
                                     "&reason=" + escaped("Заказы в режиме постоплаты запрещены")});
  EXPECT_TRUE(station_.requests().empty());
  EXPECT_EQ(state("F-1"), "5/1");
}

TEST_F(OrderE2e, PriceRefreshCommandStoresThePriceAndAsksForTheList) {
  start_gateway();
  station_.script(st_order, {reply(200, R"({"action":"CHPRS","cmd":"GETPRS","prd":3,"prs":999})")});
  ASSERT_EQ(post(new_order("C-1")).status, 200);
  ASSERT_TRUE(run_ended("C-1"));
  EXPECT_EQ(db_->value("SELECT price FROM curprices WHERE id_shop = 10 AND prodcod = 3"), "9.9900");
  const auto asked = station_.requests(st_prices);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].method, "GET");
  EXPECT_EQ(asked[0].query, "apikey=gw-key,pass10");
  EXPECT_LT(asked[0].at, station_.requests(st_fueling).at(0).at);
  EXPECT_TRUE(gw_.wait_log("Результат запроса на получение нового прайслиста от АЗС [200]", 1s));

  // An existing price is replaced.
  station_.script(st_order,
                  {reply(200, R"({"action":"CHPRS","cmd":"GETPRS","prd":1,"prs":5310})")});
  ASSERT_EQ(post(new_order("C-2")).status, 200);
  ASSERT_TRUE(run_ended("C-2"));
  EXPECT_EQ(db_->value("SELECT price FROM curprices WHERE id_shop = 10 AND prodcod = 1"),
            "53.1000");
}

TEST_F(OrderE2e, PriceCheckRefusesAnotherPriceWithTheCurrentOne) {
  start_gateway();
  web::json::object_ptr o = new_order("W-1");
  o->set("PriceFuel", 52.29);
  const http_reply r = post(o);
  EXPECT_EQ(r.status, 402);
  EXPECT_EQ(r.body, R"({"Price":52.3,"PriceId":"p1","ProductId":"92","StationId":10})");
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(column("W-1", "row(ordstatext, statusint)"), "(StationCanceled,5)");
  EXPECT_TRUE(gw_.wait_log("orvale/order, error: [W-1] Цена указана не верно", 1s));
  EXPECT_TRUE(gw_.wait_log("Заказ не принят : HTTP [402]", 1s));

  // The price list shows 45.675 as 45.68, and that is the price the aggregator orders at.
  web::json::object_ptr published = new_order("W-2", 4);
  published->set("FuelExtendedId", "a95");
  published->set("PriceFuel", 45.68);
  EXPECT_EQ(post(published).status, 200);
  ASSERT_TRUE(run_ended("W-2"));
  published->set("Id", "W-3");
  published->set("PriceFuel", 45.67);
  EXPECT_EQ(post(published).body,
            R"({"Price":45.675,"PriceId":"p1","ProductId":"92","StationId":10})");

  // No current price at all: refused without a body.
  db_->exec("UPDATE curprices SET deleted = true WHERE prodcod = 1");
  const http_reply none = post(new_order("W-4"));
  EXPECT_EQ(none.status, 402);
  EXPECT_EQ(none.body, "");

  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(station_.requests(st_order).size(), 1u) << "only W-2 reached the station";
  EXPECT_EQ(aggregator_.requests().size(), 2u) << "W-2's accept and fueling";
}

TEST_F(OrderE2e, RepeatedNewOrderIsAnsweredAtOnceAndStartsNothing) {
  start_gateway();
  station_.script(st_order, {reply(200, "{}", 1500ms)});
  auto first = std::async(std::launch::async, [&] { return post(new_order("D-1")).status; });
  ASSERT_TRUE(station_.wait_for(st_order, 1, 5s));

  // The aggregator retries while the first is still being forwarded.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(post(new_order("D-1")).status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_EQ(state("D-1"), "7/0");
  EXPECT_EQ(first.get(), 200);
  ASSERT_TRUE(run_ended("D-1"));

  // And once more after the run, with another price: no price check either.
  web::json::object_ptr late = new_order("D-1");
  late->set("PriceFuel", 1.0);
  EXPECT_EQ(post(late).status, 200);
  EXPECT_TRUE(gw_.wait_log("[D-1] обработка данных заказа [ response=200 err=17 ]", 1s));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(station_.requests(st_order).size(), 1u);
  EXPECT_EQ(station_.requests(st_fueling).size(), 1u);
  EXPECT_EQ(aggregator_.requests(ag_accept).size(), 1u);
  EXPECT_EQ(state("D-1"), "2/1");
  EXPECT_EQ(column("D-1", "row(price, ordstatext)"), "(52.3000,OrderCreated)");
  EXPECT_EQ(gw_.log_text().find("[D-1] Цена указана не верно"), std::string::npos);
}

TEST_F(OrderE2e, EndpointChecksComeFirst) {
  start_gateway();
  const std::string body = web::json::write(new_order("X-1"));
  EXPECT_EQ(orvale_test::http_call(gw_.port(), "GET", "/orvale/order?apikey=demo-key").status, 412);
  EXPECT_EQ(post(body, "").status, 401);
  EXPECT_EQ(post("", "demo-key").status, 500);
  EXPECT_EQ(post("{\"Id\":", "demo-key").status, 500);
  EXPECT_EQ(post(body, "nobody").status, 401);
  EXPECT_EQ(post(web::json::write(status_change("X-0", "UserCanceled"))).status, 400);
  EXPECT_TRUE(station_.requests().empty());
  EXPECT_EQ(post(body, "demo-key", "/orvale/order/").status, 200);
  ASSERT_TRUE(run_ended("X-1"));
  EXPECT_EQ(state("X-1"), "2/1");
  const std::string log = gw_.log_text();
  for (const char* line :
       {"orvale/order, error: Неверные данные заказа", "orvale/order, error: Ошибка авторизации",
        "orvale/order, error: Ошибка обработки данных заказа",
        "orvale/order, error: Ошибка получения данных о приложении",
        "orvale/order, error: [X-0] Заказ не найден"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST(OrderE2eDown, DatabaseUnreachableIs406) {
  orvale_test::orvale_options o;
  o.app_database = R"({"db_host":"127.0.0.1","db_port":1,"db_name":"x","connect_timeout":1})";
  orvale_process gw;
  gw.start(orvale_test::make_config(o));
  ASSERT_TRUE(gw.wait_ready(10s)) << gw.log_text();
  const http_reply r =
      orvale_test::http_call(gw.port(), "POST", "/orvale/order?apikey=k",
                             web::json::write(new_order("Z-1")), "application/json");
  EXPECT_EQ(r.status, 406);
  EXPECT_TRUE(gw.wait_log("orvale/order, error: Отсутствует соединение с БД", 2s));
}

} // namespace
} // namespace order_e2e

// Dispenser availability and lock through the real binary, PostgreSQL and a fake station
// controller: what the controller is sent, how its answers reach the aggregator, and every
// refusal before it is contacted.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <Poco/JSON/Object.h>
#include <gtest/gtest.h>

#include "outgoing.h"
#include "support/fake_peer.h"
#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"
#include "support/tls_cert.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::fake_peer;
using orvale_test::http_call;
using orvale_test::http_reply;
using orvale_test::orvale_process;
using orvale_test::reply;
using orvale_test::test_db;

const std::string ping_path = "/api/azstank/ping";

// Station 1 is served by the fake controller, 5 by one over TLS, 6 by nobody, 7 by whoever a test
// links it to; 2 is deleted, 3 has no link, 4 a link without address. Dispenser 1/2 is deleted.
const char* network = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key'), (2, 'OTHER', 'other-key');
INSERT INTO products (prodcod, title) VALUES (1, 'АИ-92'), (2, 'АИ-95'), (3, 'АИ-98');
INSERT INTO azslist (id, title, deleted) VALUES
  (1, 'A1', false), (2, 'A2', true), (3, 'A3', false), (4, 'A4', false), (5, 'A5', false),
  (6, 'A6', false), (7, 'A7', false);
INSERT INTO azsconf (id_shop, trk, sch, prodcod, deleted) VALUES
  (1, 1, 1, 1, false), (1, 2, 1, 2, true), (1, 3, 1, 2, false), (2, 1, 1, 1, false),
  (3, 1, 1, 1, false), (4, 1, 1, 1, false), (5, 1, 1, 1, false), (6, 1, 1, 1, false),
  (7, 1, 1, 1, false);
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'a92'), (1, 2, 'a95'), (2, 1, 'x92');
)SQL";

void add_link(test_db& db, int station, const std::string& addr, int port, const std::string& key,
              bool ssl) {
  db.exec("INSERT INTO links (id_shop, addr, port, pass, ssl, active) VALUES (" +
          std::to_string(station) + ", '" + addr + "', " + std::to_string(port) + ", '" + key +
          "', " + (ssl ? "true" : "false") + ", true)");
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

// An answer that got past the checks but carries nothing: the status alone, with the content
// headers and without a content type.
void expect_bare(const http_reply& r, int status) {
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(r.header("Content-Type"), "");
  EXPECT_EQ(r.header("Content-Encoding"), "utf-8");
  EXPECT_EQ(r.header("Content-Language"), "ru");
}

void expect_json(const http_reply& r, int status, const std::string& body) {
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.body, body);
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.header("Content-Encoding"), "utf-8");
  EXPECT_EQ(r.header("Content-Language"), "ru");
}

Poco::JSON::Object::Ptr orvale_section(const Poco::JSON::Object::Ptr& config) {
  return config->getObject("orvale");
}

class Ping : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    cert_ = std::make_unique<orvale_test::self_signed_cert>();
    station_ = std::make_unique<fake_peer>();
    tls_station_ = std::make_unique<fake_peer>(cert_->files());
    db_ = std::make_unique<test_db>(test_db::create("orvale_ping"));
    db_->exec(network);
    add_link(*db_, 1, "127.0.0.1", station_->port(), "st-key", false);
    add_link(*db_, 4, "", station_->port(), "st4-key", false);
    add_link(*db_, 5, "127.0.0.1", tls_station_->port(), "st5-key", true);
    add_link(*db_, 6, "127.0.0.1", orvale_test::free_port(), "st6-key", false);
    gw_ = start_gateway(options());
  }
  static void TearDownTestSuite() {
    gw_.reset();
    db_.reset();
    tls_station_.reset();
    station_.reset();
    cert_.reset();
  }

  static orvale_test::orvale_options options() {
    orvale_test::orvale_options o;
    o.app_database = db_->json_db_object();
    return o;
  }
  static std::unique_ptr<orvale_process> start_gateway(const Poco::JSON::Object::Ptr& config) {
    auto gw = std::make_unique<orvale_process>();
    gw->start(orvale_test::config_text(config));
    EXPECT_TRUE(gw->wait_ready(10s)) << gw->log_text();
    return gw;
  }
  static std::unique_ptr<orvale_process> start_gateway(const orvale_test::orvale_options& o) {
    return start_gateway(orvale_test::make_config_object(o));
  }

  static http_reply ping(const std::string& query, orvale_process& gw = *gw_) {
    return http_call(gw.port(), "GET", "/orvale/ping?" + query);
  }
  static void answer(int status, const std::string& body) {
    station_->script(ping_path, {reply(status, body)});
  }
  static orvale_test::seen_request last_request() {
    const auto seen = station_->requests(ping_path);
    return seen.empty() ? orvale_test::seen_request() : seen.back();
  }

  // Waits until `text` has been logged `n` times in all.
  static testing::AssertionResult logged(const std::string& text, std::size_t n,
                                         orvale_process& gw = *gw_) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    std::size_t seen = 0;
    while ((seen = occurrences(gw.log_text(), text)) < n &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    if (seen == n) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "\"" << text << "\" logged " << seen << " times, not " << n;
  }

  static std::unique_ptr<orvale_test::self_signed_cert> cert_;
  static std::unique_ptr<fake_peer> station_;
  static std::unique_ptr<fake_peer> tls_station_;
  static std::unique_ptr<test_db> db_;
  static std::unique_ptr<orvale_process> gw_;
};
std::unique_ptr<orvale_test::self_signed_cert> Ping::cert_;
std::unique_ptr<fake_peer> Ping::station_;
std::unique_ptr<fake_peer> Ping::tls_station_;
std::unique_ptr<test_db> Ping::db_;
std::unique_ptr<orvale_process> Ping::gw_;

// ---- The request to the controller ----------------------------------------------------------

TEST_F(Ping, AsksTheControllerWithAFormBodyAndTheThreePartKey) {
  answer(200, R"({"statId":3,"prodcod":1})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=3"), 200,
              R"({"FuelId":"a92","Status":"Free"})");
  const auto rq = last_request();
  EXPECT_EQ(rq.method, "POST");
  EXPECT_EQ(rq.query, "");
  EXPECT_EQ(rq.body, "apikey=demo-key,gw-key,st-key&columnId=3");
  EXPECT_EQ(rq.header("Content-language"), "ru");
  EXPECT_EQ(rq.header("charsets"), "utf-8");

  // The dispenser number goes on as the number checked, the keys as they are.
  expect_json(ping("apikey=other-key&stationId=%201&columnId=01%20"), 200,
              R"({"FuelId":"x92","Status":"Free"})");
  EXPECT_EQ(last_request().body, "apikey=other-key,gw-key,st-key&columnId=1");
}

TEST_F(Ping, FormFieldsReplaceTheQueryAndTheTrailingSlashIsServed) {
  answer(200, R"({"statId":3})");
  auto r = http_call(gw_->port(), "POST", "/orvale/ping/?apikey=nope&stationId=1&columnId=9",
                     "apikey=demo-key&columnId=1&stationId=", "application/x-www-form-urlencoded");
  expect_json(r, 200, R"({"Status":"Free"})");
  EXPECT_EQ(last_request().body, "apikey=demo-key,gw-key,st-key&columnId=1");
}

// ---- Availability -----------------------------------------------------------------------------

TEST_F(Ping, StatusWordsFromTheDispenserState) {
  answer(200, R"({"statId":2,"prodcod":2})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 200,
              R"({"FuelId":"a95","Status":"TakenRefuelingNozzle"})");
  answer(200, R"({"statId":7,"prodcod":1})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 200,
              R"({"FuelId":"a92","Status":"Unknown"})");
  // A product the application has no code for, or none at all: no "FuelId".
  answer(200, R"({"statId":3,"prodcod":3})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 200, R"({"Status":"Free"})");
  answer(200, R"({"statId":3,"prodcod":2})");
  expect_json(ping("apikey=other-key&stationId=1&columnId=1"), 200, R"({"Status":"Free"})");
  answer(200, R"({"statId":3})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 200, R"({"Status":"Free"})");
  // A state of another JSON type is no state.
  answer(200, R"({"statId":"3"})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 200, R"({"Status":"Unknown"})");
}

TEST_F(Ping, TheControllersOwnStatusWordPassesUnchanged) {
  answer(200, R"({"Status":"Blocked","statId":3,"prodcod":1,"Description":"x"})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 200,
              R"({"FuelId":"a92","Status":"Blocked"})");
  answer(200, R"({"Status":"Free","statId":2})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 200, R"({"Status":"Free"})");
}

TEST_F(Ping, ARunningTransactionIsReportedWithRoundedAmounts) {
  answer(411, R"({"Litre":10.4567,"Sum":99.999,"ExtendedId":"T-1","prodcod":1,"Status":"x"})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 411,
              R"({"ExtendedId":"T-1","FuelId":"a92","Litre":10.46,"Sum":100})");
  // Two roundings: 10.4449 to 10.445, then to 10.45; a sum's half goes away from zero.
  answer(410, R"({"Litre":10.4449,"Sum":0.125,"ExtendedId":"T-2","prodcod":2})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 410,
              R"({"ExtendedId":"T-2","FuelId":"a95","Litre":10.45,"Sum":0.13})");
  // Without the station's transaction id or a mapped product nothing of it is told.
  answer(411, R"({"Litre":5,"Sum":250,"prodcod":1,"Description":"busy"})");
  expect_bare(ping("apikey=demo-key&stationId=1&columnId=1"), 411);
  answer(410, R"({"Litre":5,"Sum":250,"ExtendedId":"T-3","prodcod":3})");
  expect_bare(ping("apikey=demo-key&stationId=1&columnId=1"), 410);
  answer(411, R"({"Litre":5,"Sum":250,"ExtendedId":"T-4"})");
  expect_bare(ping("apikey=demo-key&stationId=1&columnId=1"), 411);
}

TEST_F(Ping, OtherAnswersPassTheirStatusAndDescription) {
  answer(404, R"({"Description":"ТРК не найдена","statId":3,"prodcod":1})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 404,
              R"({"Description":"ТРК не найдена"})");
  answer(500, R"({"Description":"сбой"})");
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 500, R"({"Description":"сбой"})");
  answer(404, R"({"statId":3})");
  expect_bare(ping("apikey=demo-key&stationId=1&columnId=1"), 404);
}

TEST_F(Ping, AnAnswerThatIsNotJsonPassesOnlyItsStatus) {
  for (const auto& [status, body] : std::vector<std::pair<int, std::string>>{
           {200, "not json"},
           {200, ""},
           {200, "null"},
           {200, R"({"statId":3} trailing)"},
           {503, "<html>Service Unavailable</html>"},
           {404, R"({"Description":"cut)"},
       }) {
    answer(status, body);
    SCOPED_TRACE(body);
    expect_bare(ping("apikey=demo-key&stationId=1&columnId=1"), status);
  }
}

// ---- Lock commands ----------------------------------------------------------------------------

TEST_F(Ping, LockCommandsAreSentAndTheirOutcomeDescribed) {
  const std::string set = "apikey=demo-key&stationId=1&columnId=1&__lock=setLock";
  const std::string reset = "apikey=demo-key&stationId=1&columnId=1&__lock=resetLock";
  const std::string set_line = "info: Передача команды на блокировку ТРК на АЗС";
  const std::string reset_line = "info: Передача команды на разблокировку ТРК на АЗС";
  const std::size_t set_lines = occurrences(gw_->log_text(), set_line);
  const std::size_t reset_lines = occurrences(gw_->log_text(), reset_line);

  answer(200, R"({"statId":3,"prodcod":1,"blocked":0})");
  expect_json(ping(set), 200,
              R"j({"Description":"(Команда установки блокировки ТРК невыполнена)",)j"
              R"j("FuelId":"a92","Status":"Free"})j");
  EXPECT_EQ(last_request().body, "apikey=demo-key,gw-key,st-key&columnId=1&__lock=setLock");
  EXPECT_TRUE(logged(set_line, set_lines + 1));

  answer(200, R"({"statId":3,"blocked":1,"Description":"Заблокирована"})");
  expect_json(ping(set), 200,
              R"j({"Description":"Заблокирована )j"
              R"j((Команда установки блокировки ТРК выполнена)","Status":"Free"})j");

  answer(200, R"({"statId":3,"blocked":0})");
  expect_json(ping(reset), 200,
              R"j({"Description":"(Команда сброса блокировки ТРК выполнена)",)j"
              R"j("Status":"Free"})j");
  EXPECT_EQ(last_request().body, "apikey=demo-key,gw-key,st-key&columnId=1&__lock=resetLock");
  EXPECT_TRUE(logged(reset_line, reset_lines + 1));

  // Any other status: the lock text replaces the controller's description.
  answer(409, R"({"blocked":1,"Description":"занята"})");
  expect_json(ping(reset), 409,
              R"j({"Description":"занята (Команда сброса блокировки ТРК невыполнена)"})j");
  answer(411, R"({"Litre":1,"Sum":2,"ExtendedId":"T-9","prodcod":1,"blocked":1})");
  expect_json(ping(set), 411,
              R"j({"Description":"(Команда установки блокировки ТРК выполнена)",)j"
              R"j("ExtendedId":"T-9","FuelId":"a92","Litre":1,"Sum":2})j");
  // Nothing readable: nothing to describe.
  answer(200, "OK");
  expect_bare(ping(set), 200);
}

TEST_F(Ping, AnUnknownLockWordAsksThePlainQuestion) {
  const std::string lock_line = "info: Передача команды на";
  const std::string answered =
      "Получен ответ на проверку доступности ТРК АЗС='1' ТРК='1' HTTP='200'";
  const std::size_t lock_lines = occurrences(gw_->log_text(), lock_line);
  const std::size_t answers = occurrences(gw_->log_text(), answered);
  answer(200, R"({"statId":3,"blocked":0})");
  for (const char* word : {"lock", "SETLOCK", "setLock%20", ""}) {
    SCOPED_TRACE(word);
    expect_json(ping(std::string("apikey=demo-key&stationId=1&columnId=1&__lock=") + word), 200,
                R"({"Status":"Free"})");
    EXPECT_EQ(last_request().body, "apikey=demo-key,gw-key,st-key&columnId=1");
  }
  ASSERT_TRUE(logged(answered, answers + 4));
  EXPECT_EQ(occurrences(gw_->log_text(), lock_line), lock_lines);
}

// ---- Failures of the controller -----------------------------------------------------------

TEST_F(Ping, AnUnreachableControllerGives502WithoutBody) {
  expect_bare(ping("apikey=demo-key&stationId=6&columnId=1"), 502);

  fake_peer hanging_up;
  hanging_up.close_connections_on(ping_path);
  add_link(*db_, 7, "127.0.0.1", hanging_up.port(), "st7-key", false);
  const auto r = ping("apikey=demo-key&stationId=7&columnId=1");
  db_->exec("DELETE FROM links WHERE id_shop = 7");
  expect_bare(r, 502);
  EXPECT_EQ(hanging_up.requests(ping_path).size(), 1u);
}

TEST_F(Ping, AnAnswerLargerThanOneMebibyteIsATransferFailure) {
  const std::string head = R"({"Description":")";
  const std::string tail = R"("})";
  const std::string fill(srv_apps::max_reply_bytes - head.size() - tail.size(), 'x');
  answer(404, head + fill + tail);
  auto whole = ping("apikey=demo-key&stationId=1&columnId=1");
  EXPECT_EQ(whole.status, 404);
  EXPECT_EQ(whole.body.size(), srv_apps::max_reply_bytes) << "exactly the limit is still read";

  answer(404, head + fill + "x" + tail);
  expect_bare(ping("apikey=demo-key&stationId=1&columnId=1"), 502);
}

TEST_F(Ping, RedirectsAreFollowedOnlyToWebSchemes) {
  reply moved(307);
  moved.headers = {{"Location", "/moved/ping"}};
  station_->script(ping_path, {moved});
  station_->script("/moved/ping", {reply(200, R"({"statId":3})")});
  expect_json(ping("apikey=demo-key&stationId=1&columnId=1"), 200, R"({"Status":"Free"})");
  const auto seen = station_->requests("/moved/ping");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "apikey=demo-key,gw-key,st-key&columnId=1") << "the body sent again";

  reply elsewhere(302);
  elsewhere.headers = {{"Location", "file:///etc/hostname"}};
  station_->script(ping_path, {elsewhere});
  expect_bare(ping("apikey=demo-key&stationId=1&columnId=1"), 502);

  reply loop(302);
  loop.headers = {{"Location", ping_path}};
  station_->script(ping_path, {loop});
  const std::size_t before = station_->requests(ping_path).size();
  expect_bare(ping("apikey=demo-key&stationId=1&columnId=1"), 502);
  EXPECT_EQ(station_->requests(ping_path).size(), before + 11) << "the request and ten redirects";
  station_->script("/moved/ping", {});
}

// ---- TLS links
// ----------------------------------------------------------------------------------

TEST_F(Ping, TlsLinksFollowTheStationCertificateSettings) {
  tls_station_->script(ping_path, {reply(200, R"({"statId":3,"prodcod":1})")});
  // By default controllers' self-signed certificates are accepted.
  expect_json(ping("apikey=demo-key&stationId=5&columnId=1"), 200,
              R"({"FuelId":"a92","Status":"Free"})");
  EXPECT_EQ(tls_station_->requests(ping_path).back().body,
            "apikey=demo-key,gw-key,st5-key&columnId=1");

  auto config = orvale_test::make_config_object(options());
  orvale_section(config)->set("station_tls_verify", true);
  auto verifying = start_gateway(config);
  const std::size_t before = tls_station_->requests(ping_path).size();
  expect_bare(ping("apikey=demo-key&stationId=5&columnId=1", *verifying), 502);
  EXPECT_EQ(tls_station_->requests(ping_path).size(), before) << "no request after a failed check";

  orvale_section(config)->set("ca_file", cert_->ca_file());
  auto trusting = start_gateway(config);
  expect_json(ping("apikey=demo-key&stationId=5&columnId=1", *trusting), 200,
              R"({"FuelId":"a92","Status":"Free"})");
}

// ---- Resources
// ----------------------------------------------------------------------------------

TEST_F(Ping, NoDatabaseConnectionIsHeldWhileTheControllerIsAwaited) {
  auto config = orvale_test::make_config_object(options());
  auto database = orvale_section(config)->getObject("app_database");
  database->set("pool_size", 1);
  database->set("connect_timeout", 1); // also the longest wait for a pooled connection
  auto gw = start_gateway(config);

  station_->script(ping_path, {reply(200, R"({"statId":3,"prodcod":1})", 3s)});
  const std::size_t before = station_->requests(ping_path).size();
  http_reply slow;
  std::thread asker([&] { slow = ping("apikey=demo-key&stationId=1&columnId=1", *gw); });
  ASSERT_TRUE(station_->wait_for(ping_path, before + 1, 5s));
  const auto started = std::chrono::steady_clock::now();
  const auto prices = http_call(gw->port(), "GET", "/orvale/price?apikey=demo-key");
  EXPECT_EQ(prices.status, 200) << gw->log_text();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  asker.join();
  expect_json(slow, 200, R"({"FuelId":"a92","Status":"Free"})");
}

TEST_F(Ping, ConcurrentQuestionsEachGetTheirAnswer) {
  station_->script(ping_path, {reply(200, R"({"statId":2,"prodcod":2})", 200ms)});
  constexpr int askers = 8;
  std::vector<http_reply> replies(askers);
  std::vector<std::thread> threads;
  for (int i = 0; i < askers; ++i) {
    threads.emplace_back(
        [&replies, i] { replies[i] = ping("apikey=demo-key&stationId=1&columnId=1"); });
  }
  for (auto& t : threads) {
    t.join();
  }
  for (const auto& r : replies) {
    expect_json(r, 200, R"({"FuelId":"a95","Status":"TakenRefuelingNozzle"})");
  }
}

// ---- Checks, in their order -----------------------------------------------------------------

class PingChecks : public Ping {
protected:
  // The request is refused with `status` and `message`, before the controller is asked, with
  // neither body nor content headers.
  static void expect_refused(const std::string& query, int status, const std::string& message,
                             orvale_process& gw = *gw_) {
    SCOPED_TRACE(query);
    const std::string line = "orvale/ping, error: " + message + " (";
    const std::size_t lines = occurrences(gw.log_text(), line);
    const std::size_t asked = station_->requests(ping_path).size();
    auto r = ping(query, gw);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.header("Content-Type"), "");
    EXPECT_EQ(r.header("Content-Encoding"), "");
    EXPECT_EQ(r.header("Content-Language"), "");
    EXPECT_TRUE(logged(line, lines + 1, gw));
    EXPECT_EQ(station_->requests(ping_path).size(), asked);
  }
};

TEST_F(PingChecks, MissingStationOrDispenserComesFirst) {
  answer(200, R"({"statId":3})");
  const std::string m = "Не верно заданы параметры запроса";
  expect_refused("apikey=demo-key&columnId=1", 400, m);
  expect_refused("apikey=demo-key&stationId=1", 400, m);
  expect_refused("apikey=demo-key&stationId=&columnId=", 400, m);
  expect_refused("stationId=1", 400, m); // before the key
}

TEST_F(PingChecks, AnEmptyKeyIs400) {
  expect_refused("stationId=1&columnId=1", 400, "Ошибка авторизации");
  expect_refused("apikey=&stationId=x&columnId=1", 400, "Ошибка авторизации");
}

TEST_F(PingChecks, AnUnknownKeyIs400BeforeTheStationIsLookedAt) {
  const std::string m = "Ошибка авторизации приложения";
  expect_refused("apikey=nope&stationId=1&columnId=1", 400, m);
  expect_refused("apikey=DEMO-KEY&stationId=1&columnId=1", 400, m);
  expect_refused("apikey=%27%20OR%20%271%27=%271&stationId=1&columnId=1", 400, m);
  expect_refused("apikey=demo%25&stationId=99&columnId=1", 400, m);
}

TEST_F(PingChecks, OnlyAConfiguredDispenserOfALiveStationPasses) {
  const auto refused = [](const std::string& station, const std::string& column,
                          const std::string& station_text, const std::string& column_text) {
    expect_refused("apikey=demo-key&stationId=" + station + "&columnId=" + column, 400,
                   "Ошибка проверки конфигурации для АЗС '" + station_text + "' ТРК='" +
                       column_text + "'");
  };
  refused("0", "1", "0", "1");
  refused("-1", "1", "-1", "1");
  refused("abc", "1", "abc", "1");
  refused("1", "0", "1", "0");
  refused("1", "-1", "1", "-1");
  refused("1", "1.0", "1", "1.0");
  refused("1", "0x1", "1", "0x1");
  refused("2", "1", "2", "1");   // deleted station
  refused("1", "2", "1", "2");   // deleted dispenser
  refused("1", "9", "1", "9");   // no such dispenser
  refused("99", "1", "99", "1"); // no such station
  refused("99999999999", "1", "99999999999", "1");
  refused("1%20OR%201=1", "1", "1 OR 1=1", "1");
  refused("1;DELETE%20FROM%20links", "1", "1;DELETE FROM links", "1");
  refused("1", "1)%20OR%20(1=1", "1", "1) OR (1=1");
  refused("%2B1", "1", "+1", "1");
  EXPECT_EQ(db_->value("SELECT count(*) FROM links"), "4");
}

TEST_F(PingChecks, AStationWithoutControllerAddressIsRefused) {
  expect_refused("apikey=demo-key&stationId=3&columnId=1", 400,
                 "Отсутствует информация для соединения с АЗС '3'");
  expect_refused("apikey=demo-key&stationId=4&columnId=1", 400,
                 "Отсутствует информация для соединения с АЗС '4'");
}

TEST_F(PingChecks, WithoutTheDatabaseTheKeylessAre400AndTheRest502) {
  orvale_test::orvale_options o;
  o.app_database = R"({"db_host":"127.0.0.1","db_port":1,"db_name":"x","connect_timeout":1})";
  auto gw = start_gateway(o);
  expect_refused("apikey=demo-key&columnId=1", 400, "Не верно заданы параметры запроса", *gw);
  expect_refused("stationId=1&columnId=1", 400, "Ошибка авторизации", *gw);
  expect_refused("apikey=demo-key&stationId=1&columnId=1", 502, "Отсутствует соединение с БД", *gw);
  EXPECT_EQ(occurrences(gw->log_text(), "Database, error: Ошибка соединения с БД"), 2u)
      << "only the keyed request tried, with its two attempts";
}

} // namespace

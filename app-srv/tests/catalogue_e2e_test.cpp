// The price list and the station configuration through the real binary and PostgreSQL.
#include <algorithm>

#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"
#include "web/json.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::http_call;
using orvale_test::http_reply;
using orvale_test::orvale_process;
using orvale_test::test_db;

const char* network = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key'), (2, 'OTHER', 'other-key');
INSERT INTO products (prodcod, title) VALUES (1, 'АИ-92'), (2, 'АИ-95'), (3, 'АИ-98');
INSERT INTO azslist (id, title, azs_addr, pos_lat, pos_lon, deleted) VALUES
  (1, 'A1', 'addr1', 55.75, 37.6, false),
  (2, 'A2', 'addr2', 56.1, 38.25, true),
  (3, 'A3', 'addr3', 1, 2, false),
  (4, 'A4', 'addr4', 1, 2, false),
  (5, 'A5', 'addr5', 0, 0, false);
INSERT INTO links (id_shop, addr, port, pass, active, is_postpay) VALUES
  (1, 'h1', 1, 'k1', true, true),
  (2, 'h2', 1, 'k2', true, false),
  (3, 'h3', 1, 'k3', true, false),
  (5, 'h5', 1, 'k5', NULL, NULL);
INSERT INTO azsconf (id_shop, trk, sch, prodcod, deleted, temp_blocked, is_postpay) VALUES
  (1, 1, 1, 1, false, false, false),
  (1, 1, 2, 1, false, false, false),
  (1, 2, 1, 2, false, false, NULL),
  (1, 2, 2, 3, false, false, true),
  (2, 1, 1, 1, false, false, NULL),
  (3, 1, 1, 1, true, false, NULL),
  (3, 2, 1, 2, false, true, NULL),
  (5, 1, 1, 1, false, false, false),
  (5, 10, 1, 2, false, false, true),
  (5, 2, 1, 1, false, false, NULL);
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'a92'), (1, 2, 'a95'), (2, 1, 'x92');
INSERT INTO curprices (id_shop, prodcod, price) VALUES
  (1, 1, 52.30), (1, 2, 50.00), (1, 3, 60), (2, 1, 45.675), (3, 1, 51), (4, 1, 10),
  (5, 2, 49.999);
)SQL";

class Catalogue : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_catalogue"));
    db_->exec(network);
    orvale_test::orvale_options o;
    o.app_database = db_->json_db_object();
    gw_ = std::make_unique<orvale_process>();
    gw_->start(orvale_test::make_config(o));
    ASSERT_TRUE(gw_->wait_ready(10s)) << gw_->log_text();
  }
  static void TearDownTestSuite() {
    gw_.reset();
    db_.reset();
  }

  static http_reply get(const std::string& target) { return http_call(gw_->port(), "GET", target); }
  static http_reply post(const std::string& target, const std::string& form) {
    return http_call(gw_->port(), "POST", target, form, "application/x-www-form-urlencoded");
  }

  // The stations of a configuration reply, ordered by id (the statement fixes no order).
  static std::vector<std::string> stations_by_id(const std::string& body) {
    web::json::value v;
    EXPECT_TRUE(web::json::parse(body, v)) << body;
    std::vector<std::string> out;
    if (!web::json::is_array(v)) {
      return out;
    }
    const auto arr = web::json::as_array(v);
    for (std::size_t i = 0; i < arr->size(); ++i) {
      out.push_back(web::json::write(arr->get(static_cast<unsigned>(i))));
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  static std::unique_ptr<test_db> db_;
  static std::unique_ptr<orvale_process> gw_;
};
std::unique_ptr<test_db> Catalogue::db_;
std::unique_ptr<orvale_process> Catalogue::gw_;

TEST_F(Catalogue, PriceListGolden) {
  auto r = get("/orvale/price?apikey=demo-key");
  ASSERT_EQ(r.status, 200) << gw_->log_text();
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.header("Content-Encoding"), "utf-8");
  EXPECT_EQ(r.header("Content-Language"), "ru");
  // Sorted members, trailing zeros gone, station then product order, one element for two nozzles
  // of a product, no element for an unmapped product (1/3) or a station without dispensers (4).
  EXPECT_EQ(r.body, R"([{"Price":52.3,"ProductId":"a92","StationId":"1"},)"
                    R"({"Price":50,"ProductId":"a95","StationId":"1"},)"
                    R"({"Price":45.68,"ProductId":"a92","StationId":"2"},)"
                    R"({"Price":51,"ProductId":"a92","StationId":"3"},)"
                    R"({"Price":50,"ProductId":"a95","StationId":"5"}])");
  EXPECT_EQ(get("/orvale/price/?apikey=other-key").body,
            R"([{"Price":52.3,"ProductId":"x92","StationId":"1"},)"
            R"({"Price":45.68,"ProductId":"x92","StationId":"2"},)"
            R"({"Price":51,"ProductId":"x92","StationId":"3"}])");
}

TEST_F(Catalogue, StationConfigurationGolden) {
  auto r = get("/orvale/station?apikey=demo-key");
  ASSERT_EQ(r.status, 200) << gw_->log_text();
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  const std::vector<std::string> expected = {
      R"({"Address":"addr1","Columns":{"1":{"Fuels":["a92","a92"],"PostPay":false},)"
      R"("2":{"Fuels":["a95"],"PostPay":true}},"Enable":true,"Id":"1",)"
      R"("Location":{"Lat":55.75,"Lon":37.6},"Name":"A1","PostPay":true})",
      R"({"Address":"addr2","Columns":{"1":{"Fuels":["a92"],"PostPay":false}},"Enable":false,)"
      R"("Id":"2","Location":{"Lat":56.1,"Lon":38.25},"Name":"A2","PostPay":false})",
      R"({"Address":"addr5","Columns":{"1":{"Fuels":["a92"],"PostPay":false},)"
      R"("10":{"Fuels":["a95"],"PostPay":true},"2":{"Fuels":["a92"],"PostPay":false}},)"
      R"("Enable":false,"Id":"5","Location":{"Lat":0,"Lon":0},"Name":"A5","PostPay":false})",
  };
  EXPECT_EQ(stations_by_id(r.body), expected);
  // The raw body carries the same canonical form (no blanks, sorted members).
  EXPECT_EQ(r.body.find(' '), std::string::npos);
  EXPECT_NE(r.body.find(R"("Columns":{"1":{"Fuels":["a92"],"PostPay":false},"10":)"),
            std::string::npos);
}

TEST_F(Catalogue, StationFilter) {
  EXPECT_EQ(get("/orvale/price?apikey=demo-key&stationId=2").body,
            R"([{"Price":45.68,"ProductId":"a92","StationId":"2"}])");
  EXPECT_EQ(get("/orvale/price?apikey=demo-key&stationId=%205%20,%202%20").body,
            R"([{"Price":45.68,"ProductId":"a92","StationId":"2"},)"
            R"({"Price":50,"ProductId":"a95","StationId":"5"}])");
  EXPECT_EQ(get("/orvale/price?apikey=demo-key&stationId=999").body, "[]");
  EXPECT_EQ(get("/orvale/price?apikey=demo-key&stationId=4").body, "[]");
  EXPECT_EQ(get("/orvale/station?apikey=demo-key&stationId=3,4").body, "[]");
  auto one = stations_by_id(get("/orvale/station?apikey=demo-key&stationId=2,3").body);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_NE(one[0].find(R"("Id":"2")"), std::string::npos);
}

TEST_F(Catalogue, MalformedStationListsAnswer404AndNeverReachSql) {
  for (const char* list : {"1)", "1;select", "1,,2", "abc", "1%202", "1,", ",1", "1)%20OR%20(1=1",
                           "0x10", "1.5", "99999999999", "1--"}) {
    for (const char* path : {"/orvale/price", "/orvale/station"}) {
      const std::string target = std::string(path) + "?apikey=demo-key&stationId=" + list;
      auto r = get(target);
      EXPECT_EQ(r.status, 404) << target;
      EXPECT_EQ(r.body, "") << target;
    }
  }
  EXPECT_TRUE(gw_->wait_log("orvale/price, error: Ошибка получения данных из БД", 1s));
  EXPECT_TRUE(gw_->wait_log("orvale/station, error: Ошибка получения данных из БД", 1s));
  const std::string log = gw_->log_text();
  EXPECT_EQ(log.find("syntax error"), std::string::npos) << "no SQL was ever built from them";
}

TEST_F(Catalogue, KeysAreCheckedAndNeverSpliced) {
  for (const char* path : {"/orvale/price", "/orvale/station"}) {
    EXPECT_EQ(get(std::string(path)).status, 401);
    EXPECT_EQ(get(std::string(path) + "?apikey=").status, 401);
    EXPECT_EQ(get(std::string(path) + "?apikey=nope").status, 401);
    EXPECT_EQ(get(std::string(path) + "?apikey=%27%20OR%20%271%27=%271").status, 401);
    EXPECT_EQ(get(std::string(path) + "?apikey=demo%25").status, 401);
    EXPECT_EQ(get(std::string(path) + "?apikey=DEMO-KEY").status, 401);
  }
  EXPECT_EQ(db_->value("SELECT count(*) FROM apptypes"), "2");
}

TEST_F(Catalogue, QueryThenFormPrecedence) {
  // The form value wins over the query; an empty form value keeps the query's.
  EXPECT_EQ(post("/orvale/price?apikey=nope", "apikey=demo-key&stationId=2").body,
            R"([{"Price":45.68,"ProductId":"a92","StationId":"2"}])");
  EXPECT_EQ(post("/orvale/price?apikey=demo-key&stationId=2", "apikey=&stationId=").body,
            R"([{"Price":45.68,"ProductId":"a92","StationId":"2"}])");
  EXPECT_EQ(post("/orvale/price?apikey=demo-key", "stationId=1)").status, 404);
  // A GET body is not a form.
  auto r = http_call(gw_->port(), "GET", "/orvale/price?apikey=nope", "apikey=demo-key",
                     "application/x-www-form-urlencoded");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(post("/orvale/station?apikey=nope", "apikey=other-key&stationId=1").status, 200);
}

TEST(CatalogueDown, EmptyKeyIs401WithoutTheDatabaseAndOtherwise406) {
  orvale_test::orvale_options o;
  o.app_database = R"({"db_host":"127.0.0.1","db_port":1,"db_name":"x","connect_timeout":1})";
  orvale_process gw;
  gw.start(orvale_test::make_config(o));
  ASSERT_TRUE(gw.wait_ready(10s)) << gw.log_text();
  for (const char* path : {"/orvale/price", "/orvale/station"}) {
    EXPECT_EQ(http_call(gw.port(), "GET", path).status, 401);
    EXPECT_EQ(http_call(gw.port(), "GET", std::string(path) + "?apikey=demo-key").status, 406);
  }
  EXPECT_TRUE(gw.wait_log("orvale/price, error: Нет подключения к БД", 2s));
  EXPECT_TRUE(gw.wait_log("orvale/station, error: Нет подключения к БД", 2s));
  // Two attempts for each of the two keyed requests; the keyless ones never tried.
  const std::string log = gw.log_text();
  std::size_t attempts = 0;
  for (auto pos = log.find("Database, error: Ошибка соединения с БД"); pos != std::string::npos;
       pos = log.find("Database, error: Ошибка соединения с БД", pos + 1)) {
    ++attempts;
  }
  EXPECT_EQ(attempts, 4u) << log;
}

} // namespace

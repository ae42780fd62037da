// Order events against a real PostgreSQL: the refusals in their order with their codes, the merge
// with the stored order, what a write keeps, the two writers of the state machine, and two
// requests racing for one order id.
#include "order_request.h"

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_db.h"
#include "web/log.h"

namespace {

using namespace std::chrono_literals;
using content::OrderData;
using orvale_test::test_db;
namespace json = web::json;

const char* reference_data = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key'), (2, 'OTHER', 'other-key');
INSERT INTO products (prodcod, title) VALUES (1, 'p1'), (2, 'p2'), (3, 'p3');
INSERT INTO azslist (id, title, deleted) VALUES (10, 'live', false), (11, 'gone', true),
  (12, 'no link', false);
INSERT INTO azsconf (id_shop, trk, sch, prodcod) VALUES (10, 1, 1, 1), (10, 2, 1, 2),
  (11, 1, 1, 1), (12, 1, 1, 1);
INSERT INTO links (id_shop, addr, port, pass) VALUES (10, '127.0.0.1', 8080, 'pass10'),
  (11, '127.0.0.1', 8081, 'pass11');
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'a92'), (1, 2, 'a95'), (1, 3, 'a98');
INSERT INTO ordtypes (id, id_app, sname) VALUES (1, 1, 'Money'), (2, 1, 'Liters');
INSERT INTO stattypes (id, id_app, sname) VALUES (1, 1, 'OrderCreated'), (3, 1, 'Completed'),
  (4, 1, 'Expire'), (5, 1, 'StationCanceled'), (6, 1, 'UserCanceled'), (7, 1, 'Fueling');
INSERT INTO curprices (id_shop, prodcod, price) VALUES (10, 1, 52.3), (10, 2, 57.15);
)SQL";

struct log_lines {
  std::mutex mu;
  std::vector<web::log_record> records;
  web::log_tap tap{web::log_level::debug, [this](const web::log_record& r) {
                     std::lock_guard<std::mutex> lock(mu);
                     records.push_back(r);
                   }};
  int count(const std::string& channel, web::log_level level, const std::string& message) {
    std::lock_guard<std::mutex> lock(mu);
    int n = 0;
    for (const auto& r : records) {
      n += r.channel == channel && r.level == level && r.message == message;
    }
    return n;
  }
  int starting(const std::string& channel, web::log_level level, const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mu);
    int n = 0;
    for (const auto& r : records) {
      n += r.channel == channel && r.level == level && r.message.rfind(prefix, 0) == 0;
    }
    return n;
  }
  int errors_on(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mu);
    int n = 0;
    for (const auto& r : records) {
      n += r.channel == channel && r.level == web::log_level::error;
    }
    return n;
  }
};

json::object_ptr new_order(const std::string& id) {
  json::object_ptr o = json::make_object();
  o->set("Id", id);
  o->set("Status", "OrderCreated");
  o->set("OrderType", "Money");
  o->set("OrderVolume", 500);
  o->set("Litre", 9.56);
  o->set("DateCreate", "2021-03-04T05:06:07.1234567+03:00");
  o->set("StationId", "s10");
  o->set("StationExtendedId", "10");
  o->set("FuelId", "92");
  o->set("FuelMarka", "AI-92");
  o->set("FuelExtendedId", "a92");
  o->set("PriceId", "p1");
  o->set("ColumnId", 1);
  o->set("PriceFuel", 52.3);
  o->set("Sum", 500);
  o->set("SumPaid", 500);
  o->set("ContractId", "c-1");
  o->set("UserPhone", "+79000000000");
  o->set("UserEmail", "a@b.c");
  return o;
}

json::value status_change(const std::string& id, const std::string& status) {
  json::object_ptr o = json::make_object();
  o->set("id", id);
  o->set("status", status);
  return o;
}

struct outcome {
  int result = 0;
  int http = 503;
  OrderData rec;
  content::AzsConnInfo link;
};

class OrderRequestDb : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_order_request"));
  }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    db_->reset();
    db_->exec(reference_data);
    be_ = open_backend();
  }

  static content::DBConnection_t record() {
    content::DBConnection_t rec = db_->record();
    return rec;
  }

  static std::unique_ptr<content::PGBackend> open_backend() {
    auto be = std::make_unique<content::PGBackend>(record());
    EXPECT_EQ(be->open(), 0);
    return be;
  }

  // A backend whose database cannot be reached: nothing listens on port 1.
  static std::unique_ptr<content::PGBackend> unreachable() {
    content::DBConnection_t rec = record();
    rec.port = 1;
    rec.connect_timeout = 1;
    return std::make_unique<content::PGBackend>(rec);
  }

  outcome run(const json::value& body, const std::string& key = "demo-key",
              content::PGBackend* db = nullptr) {
    outcome out;
    srv_apps::process_request(db != nullptr ? db : be_.get(), key, body, out.rec, out.link,
                              out.result, out.http);
    return out;
  }

  std::string column(const std::string& id, const std::string& expr) {
    return db_->value("SELECT coalesce((" + expr + ")::text, 'NULL') FROM orders WHERE id = '" +
                      id + "' AND id_app = 1");
  }
  std::string whole_row(const std::string& id) {
    return db_->value("SELECT o::text FROM orders o WHERE id = '" + id + "'");
  }
  int order_count() { return std::stoi(db_->value("SELECT count(*) FROM orders")); }

  static std::unique_ptr<test_db> db_;
  std::unique_ptr<content::PGBackend> be_;
};
std::unique_ptr<test_db> OrderRequestDb::db_;

TEST_F(OrderRequestDb, NewOrderIsCheckedAndStored) {
  log_lines logs;
  const outcome out = run(new_order("N-1"));
  EXPECT_EQ(out.http, 200);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.rec.id_app, 1);
  EXPECT_EQ(out.rec.id_shop, 10);
  EXPECT_EQ(out.rec.prodcod, 1);
  EXPECT_EQ(out.rec.ord_typ, 1);
  EXPECT_EQ(out.rec.status, 1);
  EXPECT_EQ(out.rec.statusint, 1);
  EXPECT_DOUBLE_EQ(out.rec.current_price, 52.3);
  EXPECT_EQ(out.rec.timebeg, "2021-03-04 05:06:07.123456");
  EXPECT_EQ(out.link.endpoint_str(), "http://127.0.0.1:8080/api/azstank");
  EXPECT_EQ(column("N-1", "row(status, statusint, statusconfirmed, ord_typ, id_shop, shopext, trk, "
                          "prodcod, prodident, price, ord_vol, timebeg, reason, errcode)"),
            "(1,1,,1,10,s10,1,1,a92,52.3000,9.5600,\"2021-03-04 05:06:07.123456\",,0)");

  const std::string ch = "orvale/order";
  EXPECT_EQ(logs.count(ch, web::log_level::info,
                       "Принят новый заказ id=\"N-1\" [ Тип=\"Money\" Статус=\"OrderCreated\" "
                       "Заказано=500.000000 л./руб. Объем=9.560000 л. ]"),
            1);
  EXPECT_EQ(logs.starting(ch, web::log_level::debug, "данные заказа : {\"ColumnId\":1,"), 1);
  EXPECT_EQ(logs.count(ch, web::log_level::debug,
                       "[N-1] обработка заказа БД [ mode=\"INSERT\"  result=1 status=1 ]"),
            1);
  EXPECT_EQ(logs.errors_on(ch), 0);
}

TEST_F(OrderRequestDb, RepeatedOrderCreatedWritesNothing) {
  ASSERT_EQ(run(new_order("N-2")).http, 200);
  const std::string before = whole_row("N-2");
  json::object_ptr again = new_order("N-2");
  again->set("Sum", 999);
  again->set("Reason", "again");
  const outcome out = run(again);
  EXPECT_EQ(out.http, 200);
  EXPECT_EQ(out.result, 17);
  EXPECT_EQ(whole_row("N-2"), before);
}

TEST_F(OrderRequestDb, AccessFailures) {
  log_lines logs;
  outcome out;
  srv_apps::process_request(nullptr, "demo-key", new_order("A-1"), out.rec, out.link, out.result,
                            out.http);
  EXPECT_EQ(out.http, 412);
  EXPECT_EQ(out.result, 14);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error, "Отсутствует объект БД"), 1);

  auto offline = unreachable();
  out = run(new_order("A-1"), "demo-key", offline.get());
  EXPECT_EQ(out.http, 406);
  EXPECT_EQ(out.result, 13);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error, "Нет соединения с БД"), 1);

  for (const char* key : {"wrong-key", "", "demo%", "demo-key "}) {
    out = run(new_order("A-1"), key);
    EXPECT_EQ(out.http, 401) << key;
    EXPECT_EQ(out.result, 22) << key;
  }
  EXPECT_EQ(
      logs.count("orvale/order", web::log_level::error, "Ошибка получения данных о приложении"), 4);
  EXPECT_EQ(order_count(), 0);
}

// A valid document that is not an object has no keys, so no order id: refused, nothing thrown.
TEST_F(OrderRequestDb, NonObjectBodiesAreRefusedForTheirMissingId) {
  log_lines logs;
  for (const std::string text :
       {R"([{"Id":"B-1","Status":"OrderCreated"}])", "42", "\"B-1\"", "null", "{}"}) {
    int error = -1;
    const json::value body = srv_apps::from_raw_post_data(text.data(), text.size(), error);
    ASSERT_EQ(error, 0) << text;
    const outcome out = run(body);
    EXPECT_EQ(out.http, 400) << text;
    EXPECT_EQ(out.result, 0) << "left as it was";
  }
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error, "Не задан идентификатор заказа "), 5);
  EXPECT_EQ(order_count(), 0);
}

TEST_F(OrderRequestDb, IdentityFailures) {
  log_lines logs;
  json::object_ptr bad_status = new_order("I-1");
  bad_status->set("Status", "Bogus");
  outcome out = run(bad_status);
  EXPECT_EQ(out.http, 400);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error, "[I-1] Статус заказа задан не верно"),
            1);

  out = run(status_change("I-2", "UserCanceled"));
  EXPECT_EQ(out.http, 400);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error, "[I-2] Заказ не найден"), 1);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::debug,
                       "[I-2] Запрос сохраненных данных по заказу из БД "),
            1);

  // The lookup itself fails: 0 rows from a query that did not succeed.
  db_->exec("ALTER TABLE orders RENAME TO orders_gone");
  out = run(status_change("I-3", "UserCanceled"));
  EXPECT_EQ(out.http, 502);
  EXPECT_EQ(out.result, 14);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error,
                       "[I-3] Ошибка получения данных заказа из БД [ result=0 status=7 ]"),
            1);
  // A new order reaches the second lookup, before its write.
  out = run(new_order("I-4"));
  EXPECT_EQ(out.http, 502);
  EXPECT_EQ(out.result, 14);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error,
                       "[I-4] Ошибка получения данных заказа из БД [ result=0 status=7 ]"),
            1);
  db_->exec("ALTER TABLE orders_gone RENAME TO orders");
  EXPECT_EQ(order_count(), 0);
}

// Each refusal of the checks on its own, then pairs of faults showing which check comes first.
TEST_F(OrderRequestDb, ValidationOrderAndCodes) {
  struct fault {
    const char* name;
    void (*apply)(json::object&);
    int http;
    int result;
    const char* message;
  };
  const std::vector<fault> faults = {
      {"no station", [](json::object& o) { o.remove("StationExtendedId"); }, 400, 22,
       "] Не указаны данные по АЗС или ТРК"},
      {"no dispenser", [](json::object& o) { o.set("ColumnId", 0); }, 400, 22,
       "] Не указаны данные по АЗС или ТРК"},
      {"no product", [](json::object& o) { o.set("FuelExtendedId", ""); }, 402, 22,
       "] Не указаны данные по продукту или цене"},
      {"no price", [](json::object& o) { o.remove("PriceFuel"); }, 402, 22,
       "] Не указаны данные по продукту или цене"},
      {"no litres", [](json::object& o) { o.set("Litre", 0.0); }, 409, 22,
       "] Не указаны данные по объему заказа"},
      {"unknown station", [](json::object& o) { o.set("StationExtendedId", "99"); }, 400, 22,
       "] АЗС не найдена"},
      {"deleted station", [](json::object& o) { o.set("StationExtendedId", "11"); }, 400, 22,
       "] АЗС не найдена"},
      {"station text", [](json::object& o) { o.set("StationExtendedId", "10 OR 1=1"); }, 400, 22,
       "] АЗС не найдена"},
      {"no link", [](json::object& o) { o.set("StationExtendedId", "12"); }, 400, 13,
       "] Отсутствуют данные для соединения с АЗС"},
      {"order type", [](json::object& o) { o.set("OrderType", "Bogus"); }, 501, 22,
       "] Тип заказа задан не верно"},
      {"product", [](json::object& o) { o.set("FuelExtendedId", "zz"); }, 402, 22,
       "] Неправильно указан продукт"},
      // First of each pair wins.
      {"station before product",
       [](json::object& o) {
         o.remove("StationExtendedId");
         o.remove("FuelExtendedId");
       },
       400, 22, "] Не указаны данные по АЗС или ТРК"},
      {"product before litres",
       [](json::object& o) {
         o.set("PriceFuel", 0);
         o.set("Litre", 0);
       },
       402, 22, "] Не указаны данные по продукту или цене"},
      {"litres before station lookup",
       [](json::object& o) {
         o.remove("Litre");
         o.set("StationExtendedId", "99");
       },
       409, 22, "] Не указаны данные по объему заказа"},
      {"station lookup before order type",
       [](json::object& o) {
         o.set("StationExtendedId", "11");
         o.set("OrderType", "Bogus");
       },
       400, 22, "] АЗС не найдена"},
      {"link before order type",
       [](json::object& o) {
         o.set("StationExtendedId", "12");
         o.set("OrderType", "Bogus");
       },
       400, 13, "] Отсутствуют данные для соединения с АЗС"},
      {"order type before product",
       [](json::object& o) {
         o.set("OrderType", "Bogus");
         o.set("FuelExtendedId", "zz");
       },
       501, 22, "] Тип заказа задан не верно"},
  };
  for (const auto& f : faults) {
    log_lines logs;
    json::object_ptr body = new_order("V-1");
    f.apply(*body);
    const outcome out = run(body);
    EXPECT_EQ(out.http, f.http) << f.name;
    EXPECT_EQ(out.result, f.result) << f.name;
    EXPECT_EQ(logs.count("orvale/order", web::log_level::error, std::string("[V-1") + f.message), 1)
        << f.name;
    EXPECT_EQ(logs.errors_on("orvale/order"), 1) << f.name;
  }
  EXPECT_EQ(order_count(), 0);
}

TEST_F(OrderRequestDb, WriteFailureAnswers502) {
  log_lines logs;
  json::object_ptr body = new_order("W-1");
  body->set("DateCreate", "yesterday"); // not a timestamp: the database refuses the insert
  const outcome out = run(body);
  EXPECT_EQ(out.http, 502);
  EXPECT_EQ(out.result, 14);
  EXPECT_EQ(
      logs.count("orvale/order", web::log_level::error,
                 "[W-1] Ошибка выполения операции с БД [ mode=\"INSERT\"  result=0 status=7 ]"),
      1);
  EXPECT_EQ(order_count(), 0);
}

TEST_F(OrderRequestDb, StatusChangeInheritsTheStoredOrder) {
  log_lines logs;
  ASSERT_EQ(run(new_order("S-1")).http, 200);
  // What the state machine and the station recorded since.
  db_->exec("UPDATE orders SET statusint = 2, statusconfirmed = 1, volume = 5, summa = 261.5,"
            " trannum = 77, errcode = 3, azstimebeg = '2021-03-04 05:06:10' WHERE id = 'S-1'");
  const outcome out = run(status_change("S-1", "UserCanceled"));
  EXPECT_EQ(out.http, 200);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.rec.StationExtendedId, "10");
  EXPECT_EQ(out.rec.id_shop, 10);
  EXPECT_EQ(out.rec.trk, 1);
  EXPECT_EQ(out.rec.prodident, "a92");
  EXPECT_EQ(out.rec.prodcod, 1);
  EXPECT_EQ(out.rec.ord_typ, 1);
  EXPECT_EQ(out.rec.status, 6);
  EXPECT_EQ(out.rec.statusint, 2) << "the stored internal status, not 6";
  EXPECT_EQ(out.rec.statusconfirmed, 1);
  EXPECT_EQ(out.rec.trannum, 77);
  EXPECT_EQ(out.rec.azstimebeg, "04.03.2021 05:06:10");
  EXPECT_EQ(out.link.endpoint_str(), "http://127.0.0.1:8080/api/azstank");
  EXPECT_EQ(column("S-1", "row(ordstatext, status, statusint, statusconfirmed, trannum, errcode, "
                          "volume, summa, price, trk, id_shop, shopext, timebeg, azstimebeg)"),
            "(UserCanceled,6,2,1,77,3,5.0000,261.5000,52.3000,1,10,s10,\"2021-03-04 "
            "05:06:07.123456\",\"2021-03-04 05:06:10\")");
  EXPECT_EQ(
      logs.count("orvale/order", web::log_level::info,
                 "Принята отмена заказа клиентом заказ id=\"S-1\" [ Статус=\"UserCanceled\" ]"),
      1);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::debug,
                       "[S-1] Сохраненные данные заказа [ Id = S-1 DateCreate = 2021-03-04 "
                       "05:06:07.123456 StationId = s10 StationExtendedId = 10 ColumnId = 1]"),
            1);

  // "Id" is read when "id" is missing.
  json::object_ptr upper = json::make_object();
  upper->set("Id", "S-1");
  upper->set("Status", "Fueling");
  upper->set("id", 5);
  const outcome by_upper = run(upper);
  EXPECT_EQ(by_upper.http, 200);
  EXPECT_EQ(column("S-1", "ordstatext || '/' || status || '/' || statusint"), "Fueling/7/2");
}

TEST_F(OrderRequestDb, CompletedAndExpireReasons) {
  ASSERT_EQ(run(new_order("E-1")).http, 200);
  ASSERT_EQ(run(new_order("E-2")).http, 200);
  ASSERT_EQ(run(new_order("E-3")).http, 200);
  EXPECT_EQ(run(status_change("E-1", "Completed")).http, 200);
  EXPECT_EQ(column("E-1", "row(ordstatext, status, num_nulls(reasonid, reason))"),
            "(Completed,3,2)");
  EXPECT_EQ(run(status_change("E-2", "Expire")).http, 200);
  EXPECT_EQ(column("E-2", "reasonid || '/' || reason"), "expire/Ожидание данных от АЗС");

  json::object_ptr with_reason = json::make_object();
  with_reason->set("id", "E-3");
  with_reason->set("status", "Completed");
  with_reason->set("Reason", "по чеку");
  EXPECT_EQ(run(with_reason).http, 200);
  EXPECT_EQ(column("E-3", "coalesce(reasonid, '-') || '/' || reason"), "-/по чеку");
}

TEST_F(OrderRequestDb, JsonTypesOfTheKeys) {
  json::object_ptr half = new_order("J-1");
  half->set("ColumnId", 2.5);
  EXPECT_EQ(run(half).http, 400) << "2.5 is no dispenser";
  json::object_ptr text = new_order("J-1");
  text->set("ColumnId", "2");
  EXPECT_EQ(run(text).http, 400) << "\"2\" is no dispenser";
  EXPECT_EQ(order_count(), 0);

  json::object_ptr integral = new_order("J-1");
  integral->set("ColumnId", 2.0);
  integral->set("FuelExtendedId", "a95");
  integral->set("PriceFuel", 45.678);
  integral->set("LitreCompleted", 10.0004);
  const outcome out = run(integral);
  EXPECT_EQ(out.http, 200);
  EXPECT_EQ(out.rec.trk, 2);
  EXPECT_DOUBLE_EQ(out.rec.current_price, 57.15);
  EXPECT_EQ(column("J-1", "row(trk, prodcod, price, volcompleted)"), "(2,2,45.6800,10.0000)");
}

TEST_F(OrderRequestDb, TextsOfTheRequestAreStoredVerbatim) {
  const std::string id = "N'1 \\ №\"; DELETE FROM orders; --";
  json::object_ptr body = new_order(id);
  body->set("UserPhone", "+7 '900' \\");
  body->set("Reason", "причина 'в кавычках' \\");
  ASSERT_EQ(run(body).http, 200);
  EXPECT_EQ(db_->value("SELECT user_phone || '|' || reason FROM orders"),
            "+7 '900' \\|причина 'в кавычках' \\");
  EXPECT_EQ(db_->value("SELECT id FROM orders"), id);
  const outcome out = run(status_change(id, "UserCanceled"));
  EXPECT_EQ(out.http, 200);
  EXPECT_EQ(db_->value("SELECT ordstatext FROM orders"), "UserCanceled");
  EXPECT_EQ(order_count(), 1);
}

// The key of `orders` decides between two writers of one new id: one row, and the request that
// lost the insert gets the write failure answer.
TEST_F(OrderRequestDb, RacingInsertLeavesOneRow) {
  log_lines logs;
  auto other = db_->open_session("orvale_race");
  auto exec = [&](const char* sql) {
    orvale_test::pg_result_ptr res(PQexec(other.get(), sql));
    ASSERT_EQ(PQresultStatus(res.get()), PGRES_COMMAND_OK) << PQerrorMessage(other.get());
  };
  exec("BEGIN");
  exec("INSERT INTO orders (id, id_app, ordstatext, statusint, ord_vol) "
       "VALUES ('race-1', 1, 'OrderCreated', 1, 1.5)");
  outcome out;
  std::thread request([&] { out = run(new_order("race-1")); });
  // The request sees no row yet, so it inserts and waits on the other session's key.
  bool waiting = false;
  for (int i = 0; i < 200 && !waiting; ++i) {
    waiting = db_->value("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database()"
                         " AND application_name = 'orvale' AND wait_event_type = 'Lock'") == "1";
    if (!waiting) {
      std::this_thread::sleep_for(50ms);
    }
  }
  exec("COMMIT");
  request.join();
  ASSERT_TRUE(waiting) << "the request never waited for the other insert";
  EXPECT_EQ(out.http, 502);
  EXPECT_EQ(out.result, 14);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error,
                       "[race-1] Ошибка выполения операции с БД [ mode=\"INSERT\"  result=0 "
                       "status=7 ]"),
            1);
  EXPECT_EQ(logs.starting("Database/INSERT order", web::log_level::error,
                          "Ошибка добавления данных о заказе (заказ : 'race-1') : ERROR:  "
                          "duplicate key"),
            1);
  EXPECT_EQ(column("race-1", "count(*) OVER () || '/' || ord_vol"), "1/1.5000")
      << "the winner's row, whole";
}

// Unsynchronised requests for the same new ids: every id ends with one row, and each loser is
// answered either as a repeat (it saw the row) or with the write failure (it lost the insert).
TEST_F(OrderRequestDb, ConcurrentDuplicatesNeverDoubleAnOrder) {
  constexpr int ids = 20;
  std::vector<std::unique_ptr<content::PGBackend>> backends;
  for (int i = 0; i < 2; ++i) {
    backends.push_back(open_backend());
  }
  std::vector<std::vector<outcome>> outs(2, std::vector<outcome>(ids));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < 2) {
        std::this_thread::yield();
      }
      for (int i = 0; i < ids; ++i) {
        srv_apps::process_request(backends[t].get(), "demo-key",
                                  new_order("dup-" + std::to_string(i)), outs[t][i].rec,
                                  outs[t][i].link, outs[t][i].result, outs[t][i].http);
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  EXPECT_EQ(order_count(), ids);
  for (int i = 0; i < ids; ++i) {
    const outcome& a = outs[0][i];
    const outcome& b = outs[1][i];
    const bool a_won = a.http == 200 && a.result == 0;
    const bool b_won = b.http == 200 && b.result == 0;
    EXPECT_NE(a_won, b_won) << "exactly one insert per id, " << i;
    const outcome& loser = a_won ? b : a;
    EXPECT_TRUE((loser.http == 200 && loser.result == 17) ||
                (loser.http == 502 && loser.result == 14))
        << i << ": " << loser.http << "/" << loser.result;
  }
}

TEST_F(OrderRequestDb, UpdateOrderInfo) {
  log_lines logs;
  ASSERT_EQ(run(new_order("P-1")).http, 200);
  const std::string before = whole_row("P-1");
  int result = -1;
  int http = -1;

  OrderData patch;
  patch.id = "P-1";
  patch.id_app = 1;
  patch.ordstatext = "Bogus";
  srv_apps::update_order_info(be_.get(), patch, result, http);
  EXPECT_EQ(http, 501);
  EXPECT_EQ(result, 22);
  EXPECT_EQ(whole_row("P-1"), before);

  patch.ordstatext = "UserCanceled";
  patch.statusint = 6;
  patch.statusconfirmed = 0;
  patch.reason = "отмена";
  srv_apps::update_order_info(be_.get(), patch, result, http);
  EXPECT_EQ(http, 200);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(column("P-1", "row(ordstatext, status, statusint, statusconfirmed, reason, price, "
                          "trk, id_shop)"),
            "(UserCanceled,6,6,0,отмена,52.3000,1,10)");

  OrderData no_name;
  no_name.id = "P-1";
  no_name.id_app = 1;
  no_name.status = 3; // reset: only a status name sets the status type
  no_name.statusint = 2;
  srv_apps::update_order_info(be_.get(), no_name, result, http);
  EXPECT_EQ(http, 200);
  EXPECT_EQ(no_name.status, -1);
  EXPECT_EQ(column("P-1", "status || '/' || statusint"), "6/2");

  OrderData no_id;
  no_id.id_app = 1;
  srv_apps::update_order_info(be_.get(), no_id, result, http);
  EXPECT_EQ(http, 400);
  EXPECT_EQ(result, 22);
  OrderData no_app;
  no_app.id = "P-1";
  srv_apps::update_order_info(be_.get(), no_app, result, http);
  EXPECT_EQ(http, 400);

  auto offline = unreachable();
  srv_apps::update_order_info(offline.get(), patch, result, http);
  EXPECT_EQ(http, 406);
  EXPECT_EQ(result, 13);
  srv_apps::update_order_info(nullptr, patch, result, http);
  EXPECT_EQ(http, 406);

  db_->exec("ALTER TABLE orders RENAME TO orders_gone");
  srv_apps::update_order_info(be_.get(), no_name, result, http);
  EXPECT_EQ(http, 502);
  EXPECT_EQ(result, 14);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error,
                       "Не удалось обновить заказ Id=\"P-1\" [ status = 7 ]"),
            1);
}

// A station may report a price for a product it has no row for yet: the price must be stored.
TEST_F(OrderRequestDb, UpdateProductPrice) {
  log_lines logs;
  auto price_of = [&](int shop, int prod) {
    return db_->value("SELECT coalesce(price::text, 'NULL') FROM curprices WHERE id_shop = " +
                      std::to_string(shop) + " AND prodcod = " + std::to_string(prod));
  };
  int result = -1;
  int http = -1;
  srv_apps::update_product_price(be_.get(), 10, 3, 9.99, result, http);
  EXPECT_EQ(http, 200);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(price_of(10, 3), "9.9900") << "inserted: the station had no row";
  srv_apps::update_product_price(be_.get(), 10, 1, 61.5, result, http);
  EXPECT_EQ(http, 200);
  EXPECT_EQ(price_of(10, 1), "61.5000");

  struct bad {
    int shop;
    int prod;
    double price;
  };
  for (const auto& b : {bad{10, 1, 0}, bad{10, 1, -1}, bad{10, -1, 5}, bad{0, 1, 5}, bad{10, 0, 5},
                        bad{10, 1, std::numeric_limits<double>::infinity()},
                        bad{10, 1, std::numeric_limits<double>::quiet_NaN()}}) {
    srv_apps::update_product_price(be_.get(), b.shop, b.prod, b.price, result, http);
    EXPECT_EQ(http, 400) << b.shop << "/" << b.prod << "/" << b.price;
    EXPECT_EQ(result, 22);
  }
  EXPECT_EQ(price_of(10, 1), "61.5000");
  EXPECT_EQ(db_->value("SELECT count(*) FROM curprices"), "3");

  auto offline = unreachable();
  srv_apps::update_product_price(offline.get(), 10, 1, 5, result, http);
  EXPECT_EQ(http, 406);
  EXPECT_EQ(result, 13);
  srv_apps::update_product_price(nullptr, 10, 1, 5, result, http);
  EXPECT_EQ(http, 406);

  db_->exec("ALTER TABLE curprices RENAME TO curprices_gone");
  srv_apps::update_product_price(be_.get(), 10, 1, 5, result, http);
  EXPECT_EQ(http, 502);
  EXPECT_EQ(result, 14);
  EXPECT_EQ(logs.count("orvale/order", web::log_level::error,
                       "Не удалось обновить цену для АЗС=\"10\" Продукт=\"1\" [ status = 7 ]"),
            1);
}

} // namespace

// The three synchronisations through the real binary, a local database and a second database
// playing the back-office (sql/backoffice-fixture.sql, changed per test where a case needs it).
#include <algorithm>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::http_call;
using orvale_test::orvale_process;
using orvale_test::test_db;

struct data_set {
  const char* path;
  const char* channel;
  const char* tablename;
  const char* end_message;
};

const data_set products{"/orvale/sync_products", "orvale/sync_products", "products",
                        "Завершение процесса синхронизации Справочника продуктов"};
const data_set stations{"/orvale/sync_stations", "orvale/sync_stations", "azsconf",
                        "Завершение процесса синхронизации конфигураций АЗС"};
const data_set prices{"/orvale/sync_prices", "orvale/sync_prices", "curprices",
                      "Завершение процесса синхронизации цен"};

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

// A run ends with its last message, or with an error once the client has its 200.
std::size_t run_ends(const std::string& log, const data_set& set) {
  return occurrences(log, std::string(set.channel) + ", info: " + set.end_message) +
         occurrences(log, std::string(set.channel) + ", error: ");
}

std::unique_ptr<orvale_process> start_gateway(const std::string& local, const std::string& office,
                                              const std::string& app_key = "gw-key",
                                              const std::string& log_level = "debug") {
  orvale_test::orvale_options o;
  o.app_key = app_key;
  o.log_level = log_level;
  // One connection per request, so that a test may clone its databases afresh.
  o.app_database = local.substr(0, local.rfind('}')) + R"(,"pool_size":0})";
  o.velk_database = office;
  auto gw = std::make_unique<orvale_process>();
  gw->start(orvale_test::make_config(o));
  EXPECT_TRUE(gw->wait_ready(10s)) << gw->log_text();
  return gw;
}

class Sync : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    local_ = std::make_unique<test_db>(test_db::create("orvale_sync_local"));
    office_ = std::make_unique<test_db>(test_db::create("orvale_sync_office"));
    gw_ = start_gateway(local_->json_db_object(), office_->json_db_object());
  }
  static void TearDownTestSuite() {
    gw_.reset();
    office_.reset();
    local_.reset();
  }

  void SetUp() override {
    local_->reset();
    office_->reset();
    office_->apply_file(orvale_test::source_dir() / "sql" / "backoffice-fixture.sql");
    log_mark_ = gw_->log_text().size();
  }

  static orvale_test::http_reply post(const data_set& set, const std::string& form) {
    return http_call(gw_->port(), "POST", set.path, form, "application/x-www-form-urlencoded");
  }

  // Asks for a run; when it was accepted, waits until the run has ended.
  static int run(const data_set& set) {
    const std::size_t ended = run_ends(gw_->log_text(), set);
    const auto reply = post(set, "key=gw-key");
    if (reply.status == 200) {
      EXPECT_EQ(reply.header("Content-Type"), "application/json");
      EXPECT_EQ(reply.header("Content-Encoding"), "utf-8");
      EXPECT_EQ(reply.header("Content-Language"), "ru");
      EXPECT_EQ(reply.body, "");
      const auto deadline = std::chrono::steady_clock::now() + 20s;
      while (run_ends(gw_->log_text(), set) == ended) {
        if (std::chrono::steady_clock::now() > deadline) {
          ADD_FAILURE() << set.path << " did not end; log:\n" << gw_->log_text();
          break;
        }
        std::this_thread::sleep_for(10ms);
      }
    }
    return reply.status;
  }

  // Rows as "a|b|c" lines, NULL as "NULL".
  static std::string table(test_db& db, const std::string& sql) {
    std::string out;
    for (const auto& row : db.rows("SELECT concat_ws('|', VARIADIC ARRAY(SELECT "
                                   "coalesce(v, 'NULL') FROM unnest(r) AS v)) FROM (" +
                                   sql + ") AS t (r)")) {
      out += row[0] + "\n";
    }
    return out;
  }

  static std::string sync_row(const data_set& set) {
    return local_->value("SELECT coalesce(status::text, 'NULL') || '/' || "
                         "coalesce(syncdate::text, 'NULL') FROM syncinfo WHERE tablename = '" +
                         std::string(set.tablename) + "'");
  }
  static std::string status(const data_set& set) {
    return local_->value("SELECT coalesce(status::text, 'NULL') FROM syncinfo WHERE tablename = '" +
                         std::string(set.tablename) + "'");
  }
  // As if the last run of every data set had started an hour ago.
  static void age_runs() {
    local_->exec("UPDATE syncinfo SET syncdate = syncdate - interval '1 hour'");
  }
  // The log of this test alone.
  std::string test_log() const { return gw_->log_text().substr(log_mark_); }
  std::size_t logged(const std::string& text) const { return occurrences(test_log(), text); }
  [[nodiscard]] testing::AssertionResult wait_logged(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (logged(text) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        return testing::AssertionFailure() << "no \"" << text << "\" in the log:\n" << test_log();
      }
      std::this_thread::sleep_for(10ms);
    }
    return testing::AssertionSuccess();
  }

  std::size_t log_mark_ = 0;

  static std::unique_ptr<test_db> local_;
  static std::unique_ptr<test_db> office_;
  static std::unique_ptr<orvale_process> gw_;
};
std::unique_ptr<test_db> Sync::local_;
std::unique_ptr<test_db> Sync::office_;
std::unique_ptr<orvale_process> Sync::gw_;

// Each row as an array of texts, for table().
std::string cols(const std::string& list, const std::string& from) {
  return "SELECT ARRAY[" + list + "]::text[] FROM " + from;
}

TEST_F(Sync, FirstFillInTheRequiredOrder) {
  EXPECT_EQ(sync_row(products), "NULL/NULL");
  ASSERT_EQ(run(products), 200);
  EXPECT_EQ(logged("orvale/sync_products, info: Получено 5 записей из БД ВЕЛК"), 1u);
  EXPECT_EQ(table(*local_, cols("prodcod::text, prodtyp::text, title, showing::text, "
                                "num_modification::text, full_del::text, min_dens::text",
                                "products ORDER BY prodcod")),
            "1|1|АИ-92|true|1|false|NULL\n"
            "2|1|АИ-95|true|1|false|NULL\n"
            "3|1|АИ-98|true|1|false|NULL\n"
            "4|2|ДТ|true|1|false|NULL\n"
            "5|NULL|Газ|true|NULL|false|NULL\n");
  EXPECT_EQ(status(products), "1");

  ASSERT_EQ(run(stations), 200);
  // Stations with a shift and of type 1 or 2; the title's number is doc_num, else num_num.
  EXPECT_EQ(table(*local_, cols("id::text, title, company::text, exploit::text, num_num::text, "
                                "doc_num::text, deleted::text, id_shop_type::text, azs_addr, "
                                "pos_lat::text, (timefix = s.syncdate)::text",
                                "azslist, syncinfo s WHERE s.tablename = 'azsconf' ORDER BY id")),
            "101|Северная АЗС 101|1|1|101|0|false|1|г. Тверь, Петербургское ш., 41|0.000000|true\n"
            "102|Южная АЗС 102|1|1|102|0|false|1|г. Тверь, Волоколамское ш., 7|0.000000|true\n"
            "103|Речная АЗС 103|1|2|103|0|false|2|г. Тверь, наб. Афанасия Никитина, "
            "3|0.000000|true\n"
            "106|Лесная АЗС 7|2|2|106|7|true|1|г. Тверь, Лесная ул., 6|0.000000|true\n"
            "107|Полевая АЗС 107|1|1|107|0|false|2|г. Тверь, Полевая ул., 1|0.000000|true\n");
  EXPECT_EQ(table(*local_, cols("id_shop::text, addr, port::text, pass, ssl::text",
                                "links ORDER BY id_shop")),
            "101|127.0.0.1|9101|NULL|false\n"
            "102|127.0.0.1|9102|NULL|false\n"
            "103|127.0.0.1|9103|NULL|false\n"
            "106|127.0.0.1|58082|NULL|false\n");
  EXPECT_EQ(table(*local_, cols("id_shop::text, trk::text, sch::text, prodcod::text, "
                                "tanknum::text, deleted::text",
                                "azsconf ORDER BY id_shop, trk, sch")),
            "101|1|1|1|1|false\n"
            "101|1|2|2|2|false\n"
            "101|2|1|2|2|false\n"
            "101|2|2|4|3|false\n"
            "102|1|1|1|1|false\n"
            "102|1|2|2|2|false\n"
            "102|2|1|1|1|false\n"
            "102|2|2|3|3|false\n"
            "102|3|1|4|4|false\n"
            "102|3|2|4|4|false\n"
            "103|1|1|1|1|false\n"
            "103|1|2|2|2|false\n"
            "103|2|1|4|3|false\n"
            "103|2|2|2|2|false\n"
            "103|3|1|1|1|false\n"
            "107|1|1|1|1|false\n");
  EXPECT_EQ(logged("orvale/sync_stations, info: Загружено 17 записей из 17 полученных"), 1u);
  EXPECT_EQ(logged("записей ТРК как отключенные"), 0u) << "no local nozzle was missing";

  ASSERT_EQ(run(prices), 200);
  // 101's newest price is not in effect yet, product 9 is not in the back-office directory, 104
  // is not a local station and 106's price type is not 5.
  EXPECT_EQ(table(*local_, cols("id_shop::text, prodcod::text, price::text, deleted::text, "
                                "(timeget = s.syncdate)::text",
                                "curprices, syncinfo s WHERE s.tablename = 'curprices' "
                                "ORDER BY id_shop, prodcod")),
            "101|1|52.6000|false|true\n"
            "101|2|57.4000|false|true\n"
            "101|4|67.9000|false|true\n"
            "102|1|52.7000|false|true\n"
            "102|2|57.5000|false|true\n"
            "102|3|72.0000|false|true\n"
            "102|4|67.8000|false|true\n"
            "103|1|52.2000|false|true\n"
            "103|2|57.1000|false|true\n"
            "103|4|67.3000|false|true\n");
  EXPECT_EQ(local_->value("SELECT timeset::text FROM curprices WHERE id_shop = 101 AND "
                          "prodcod = 1"),
            office_->value("SELECT settime::text FROM pd_prodprices WHERE id_shop = 101 AND "
                           "prod = 1 AND price = 52.60"));
  EXPECT_EQ(logged("orvale/sync_prices, info: Новых/измененных записей 10 из 11 полученных"), 1u);

  for (const auto* set : {&products, &stations, &prices}) {
    EXPECT_EQ(status(*set), "1") << set->tablename;
  }
  EXPECT_EQ(local_->value("SELECT (SELECT count(*) FROM temp_load_products) + (SELECT count(*) "
                          "FROM temp_load_conf) + (SELECT count(*) FROM temp_load_prices)"),
            "0");
}

TEST_F(Sync, ARunWithinTheIntervalIs504AndChangesNothing) {
  ASSERT_EQ(run(products), 200);
  const std::string before = sync_row(products);
  office_->exec("UPDATE pd_products SET title = 'changed'");
  EXPECT_EQ(run(products), 504);
  EXPECT_EQ(logged("orvale/sync_products, warning: Ограничение по интервалу между "
                   "синхронизациями [ 10 мин. ]"),
            1u);
  EXPECT_EQ(sync_row(products), before);
  EXPECT_EQ(local_->value("SELECT count(*) FROM products WHERE title = 'changed'"), "0");

  // A run that failed after marking itself holds the interval all the same.
  local_->exec("UPDATE syncinfo SET status = -1, syncdate = syncdate - interval '9 minutes'");
  EXPECT_EQ(run(products), 504);
  // Products and stations share the 10 minutes; prices have 3.
  // The gateway's stamps are UTC; the test's session may run in another zone.
  local_->exec("UPDATE syncinfo SET syncdate = (now() AT TIME ZONE 'UTC') - interval '4 minutes'");
  EXPECT_EQ(run(stations), 504);
  EXPECT_EQ(run(prices), 200);
  EXPECT_EQ(run(prices), 504);
  EXPECT_TRUE(wait_logged("orvale/sync_prices, warning: Ограничение по интервалу между "
                          "синхронизациями [ 3 мин. ]"));
}

TEST_F(Sync, KeysAreCheckedBeforeAnyDatabaseWork) {
  const std::string before = sync_row(products);
  for (const auto* set : {&products, &stations, &prices}) {
    EXPECT_EQ(post(*set, "").status, 401);
    EXPECT_EQ(post(*set, "key=").status, 401);
    EXPECT_EQ(post(*set, "key=GW-KEY").status, 401);
    EXPECT_EQ(post(*set, "key=gw-key%20").status, 401);
    EXPECT_EQ(http_call(gw_->port(), "POST", std::string(set->path) + "?key=gw-key").status, 401);
    EXPECT_EQ(http_call(gw_->port(), "GET", std::string(set->path) + "?key=gw-key").status, 401);
  }
  EXPECT_TRUE(wait_logged("orvale/sync_products, error: Ошибка авторизации"));
  EXPECT_TRUE(wait_logged("orvale/sync_stations, error: Ошибка авторизации"));
  EXPECT_EQ(logged("orvale/sync_prices, error:"), 0u) << "the price run refuses silently";
  EXPECT_EQ(sync_row(products), before);
  EXPECT_EQ(sync_row(prices), "NULL/NULL");
}

TEST_F(Sync, AnEmptyBackofficeTableEndsTheRunWithNothingLoaded) {
  office_->exec("DELETE FROM pd_products");
  ASSERT_EQ(run(products), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_products, info: Получено 0 записей из БД ВЕЛК"));
  EXPECT_TRUE(wait_logged("orvale/sync_products, info: Загружено 0 записей из 0 полученных"));
  EXPECT_EQ(status(products), "1");
  EXPECT_EQ(local_->value("SELECT count(*) FROM products"), "0");
}

TEST_F(Sync, MergeReplacesEveryColumnAndKeepsLocalOnlyProducts) {
  local_->exec("INSERT INTO products (prodcod, prodtyp, title, min_dens, max_dens, article) "
               "VALUES (1, 9, 'old', 0.7, 0.8, 'A-1'), (77, 1, 'local only', 0.7, 0.8, 'A-77')");
  ASSERT_EQ(run(products), 200);
  EXPECT_EQ(table(*local_, cols("prodcod::text, prodtyp::text, title, min_dens::text, "
                                "max_dens::text, article",
                                "products WHERE prodcod IN (1, 77) ORDER BY 1")),
            "1|1|АИ-92|NULL|NULL|NULL\n"
            "77|1|local only|0.7000|0.8000|A-77\n");
}

// NULLs reach the load as NULLs; a row the load refuses is skipped and the rest still goes in.
TEST_F(Sync, NullsLoadAndABadRowIsSkipped) {
  office_->exec("ALTER TABLE pd_products ALTER prodtyp TYPE bigint;"
                "INSERT INTO pd_products VALUES (6, NULL, NULL, NULL, NULL, NULL),"
                " (7, 10000000000, 'too big', true, 1, false)");
  ASSERT_EQ(run(products), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_products, info: Загружено 6 записей из 7 полученных"));
  EXPECT_EQ(status(products), "1");
  EXPECT_EQ(local_->value("SELECT string_agg(prodcod::text, ',' ORDER BY prodcod) FROM products"),
            "1,2,3,4,5,6");
  EXPECT_EQ(table(*local_, cols("prodtyp::text, title, showing::text, num_modification::text, "
                                "full_del::text",
                                "products WHERE prodcod = 6")),
            "NULL||NULL|NULL|NULL\n");

  // Prices: a price the local column cannot hold and a station whose deleted flag is unknown
  // (curprices needs one) stay out; the rest is merged.
  ASSERT_EQ(run(stations), 200);
  office_->exec("ALTER TABLE pd_prodprices ALTER price TYPE numeric;"
                "INSERT INTO pd_prodprices VALUES (102, 5, 1000000000,"
                " (now() AT TIME ZONE 'UTC') - interval '2 days');"
                "UPDATE sd_ident SET deleted = NULL WHERE id = 104");
  ASSERT_EQ(run(prices), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_prices, info: Загружено 10 записей из 12 полученных"));
  EXPECT_TRUE(wait_logged("Новых/измененных записей 10 из 10 полученных"));
  EXPECT_EQ(status(prices), "1");
  EXPECT_EQ(local_->value("SELECT count(*) FROM curprices"), "10");
}

TEST_F(Sync, NozzlesMissingFromTheLoadAreMarkedDeletedAndComeBack) {
  ASSERT_EQ(run(products), 200);
  ASSERT_EQ(run(stations), 200);
  // A station the back-office no longer lists keeps its nozzles as they are; 106 is listed
  // without nozzles, so its local one goes.
  local_->exec("INSERT INTO azslist (id, title) VALUES (999, 'local only');"
               "INSERT INTO azsconf (id_shop, trk, sch, prodcod) VALUES (999, 1, 1, 1),"
               " (106, 1, 1, 1)");
  office_->exec("DELETE FROM pj_trksum WHERE id_shop = 101 AND shift = 2 AND trk = 1 AND sch = 2");
  age_runs();
  ASSERT_EQ(run(stations), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_stations, info: Помечено 2 записей ТРК как отключенные"));
  EXPECT_EQ(table(*local_, cols("id_shop::text, trk::text, sch::text, deleted::text",
                                "azsconf WHERE id_shop IN (101, 106, 999) "
                                "ORDER BY id_shop, trk, sch")),
            "101|1|1|false\n"
            "101|1|2|true\n"
            "101|2|1|false\n"
            "101|2|2|false\n"
            "106|1|1|true\n"
            "999|1|1|false\n");

  office_->exec("INSERT INTO pj_trksum VALUES (101, 2, 1, 1, 2, 3, 5)");
  age_runs();
  ASSERT_EQ(run(stations), 200);
  EXPECT_EQ(table(*local_, cols("prodcod::text, tanknum::text, deleted::text",
                                "azsconf WHERE id_shop = 101 AND trk = 1 AND sch = 2")),
            "3|5|false\n");
  // The count is of local nozzles absent from the run, marked before or not.
  EXPECT_EQ(logged("orvale/sync_stations, info: Помечено 1 записей ТРК как отключенные"), 1u);
}

TEST_F(Sync, LinksTakeAddressAndPortButNeverTheKey) {
  ASSERT_EQ(run(products), 200);
  // 107 has no controller settings in the back-office: its link stays as it was.
  local_->exec("INSERT INTO azslist (id, title) VALUES (102, 'Южная'), (107, 'Полевая');"
               "INSERT INTO links (id_shop, addr, port, pass, active) VALUES"
               " (102, 'old.invalid', 1234, 'issued-102', true),"
               " (107, 'kept.invalid', 5555, 'issued-107', false)");
  ASSERT_EQ(run(stations), 200);
  EXPECT_EQ(table(*local_, cols("id_shop::text, addr, port::text, pass, active::text",
                                "links ORDER BY id_shop")),
            "101|127.0.0.1|9101|NULL|false\n"
            "102|127.0.0.1|9102|issued-102|true\n"
            "103|127.0.0.1|9103|NULL|false\n"
            "106|127.0.0.1|58082|NULL|false\n"
            "107|kept.invalid|5555|issued-107|false\n");
  EXPECT_EQ(local_->value("SELECT count(*) FROM links WHERE pass = 'backoffice-101'"), "0");
}

TEST_F(Sync, PricesTakeTheLatestEffectivePriceOfKnownStationsAndProducts) {
  const std::string time_102_2 =
      office_->value("SELECT settime::text FROM pd_prodprices WHERE id_shop = 102 AND prod = 2");
  local_->exec("INSERT INTO products (prodcod, title) VALUES (1, 'p1'), (2, 'p2');"
               "INSERT INTO azslist (id, title) VALUES (101, 'a'), (102, 'b');"
               "INSERT INTO curprices (id_shop, prodcod, price, timeset) VALUES"
               " (101, 1, 40, '2000-01-01'), (102, 1, 45, '2999-01-01'),"
               " (102, 2, 33, '" +
               time_102_2 + "')");
  ASSERT_EQ(run(prices), 200);
  // An older stored price gives way; the same or a later effective time keeps the stored one.
  EXPECT_EQ(table(*local_, cols("id_shop::text, prodcod::text, price::text",
                                "curprices ORDER BY id_shop, prodcod")),
            "101|1|52.6000\n"
            "101|2|57.4000\n"
            "102|1|45.0000\n"
            "102|2|33.0000\n");
  EXPECT_TRUE(wait_logged("orvale/sync_prices, info: Новых/измененных записей 2 из 11 полученных"));

  // A station without a price type counts as type 5; any other type keeps its prices out.
  office_->exec("UPDATE sd_ident SET reserv = CASE id WHEN 101 THEN NULL ELSE 4 END");
  age_runs();
  ASSERT_EQ(run(prices), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_prices, info: Загружено 3 записей из 3 полученных"));
}

TEST_F(Sync, AFailingMergeLeavesTheRunUnfinished) {
  local_->exec("ALTER TABLE products ADD CONSTRAINT no_gas CHECK (title <> 'Газ')");
  ASSERT_EQ(run(products), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_products, error: Ошибка синхронизации справочника "
                          "продуктов (добавление/обновление из временных таблиц) : ERROR:  new "
                          "row for relation \"products\" violates check constraint \"no_gas\""));
  EXPECT_EQ(status(products), "-1");
  EXPECT_EQ(local_->value("SELECT count(*) FROM products"), "0");
  EXPECT_EQ(logged(products.end_message), 0u);
  local_->exec("ALTER TABLE products DROP CONSTRAINT no_gas");
  age_runs();
  ASSERT_EQ(run(products), 200);
  EXPECT_EQ(status(products), "1");

  ASSERT_EQ(run(stations), 200);
  local_->exec("ALTER TABLE curprices ADD CONSTRAINT cheap CHECK (price < 60)");
  ASSERT_EQ(run(prices), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_prices, error: Ошибка синхронизации цен "
                          "(добавление/обновление из временных таблиц) : ERROR:"));
  EXPECT_EQ(status(prices), "-1");
  EXPECT_EQ(local_->value("SELECT count(*) FROM curprices"), "0");
  // The run's own temporary rows stay for a later run to clear.
  EXPECT_EQ(local_->value("SELECT count(*) FROM temp_load_prices"), "11");

  local_->exec("ALTER TABLE azslist ADD CONSTRAINT no_river CHECK (title NOT LIKE 'Речная%') "
               "NOT VALID");
  age_runs();
  ASSERT_EQ(run(stations), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_stations, error: Ошибка синхронизации конфигураций АЗС"));
  EXPECT_EQ(status(stations), "-1");
}

// A COMMIT that comes back failed is a failure, though the statements before it went through.
TEST_F(Sync, AFailingCommitLeavesTheRunUnfinished) {
  local_->exec(R"SQL(
CREATE FUNCTION refuse_gas() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.title = 'Газ' THEN
    RAISE EXCEPTION 'gas refused at commit';
  END IF;
  RETURN NULL;
END $$;
CREATE CONSTRAINT TRIGGER refuse_gas AFTER INSERT OR UPDATE ON products
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION refuse_gas();
)SQL");
  ASSERT_EQ(run(products), 200);
  EXPECT_TRUE(wait_logged("orvale/sync_products, error: Ошибка синхронизации справочника "
                          "продуктов (добавление/обновление из временных таблиц) : ERROR:  gas "
                          "refused at commit"));
  EXPECT_EQ(status(products), "-1");
  EXPECT_EQ(local_->value("SELECT count(*) FROM products"), "0");
}

TEST_F(Sync, ABackofficeQueryThatFailsIs404) {
  office_->exec("UPDATE uremote.sd_remote_conf SET tvalue = 'eighty' WHERE typ = 10 AND "
                "id_shop = 101");
  EXPECT_EQ(run(stations), 404);
  EXPECT_EQ(status(stations), "-1");
  EXPECT_EQ(local_->value("SELECT count(*) FROM azslist"), "0");
}

// Started together, several runs of one data set: the interval lets exactly one through.
TEST_F(Sync, OfConcurrentRunsOnlyOnePasses) {
  constexpr int runs = 8;
  const std::size_t ended = run_ends(gw_->log_text(), products);
  std::vector<std::future<int>> replies;
  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  for (int i = 0; i < runs; ++i) {
    replies.push_back(std::async(std::launch::async, [start] {
      start.wait();
      return post(products, "key=gw-key").status;
    }));
  }
  go.set_value();
  std::vector<int> statuses;
  for (auto& r : replies) {
    statuses.push_back(r.get());
  }
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), 1);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 504), runs - 1);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (run_ends(gw_->log_text(), products) == ended &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(status(products), "1");
  EXPECT_EQ(local_->value("SELECT count(*) FROM products"), "5");
}

// The bookkeeping must not depend on what is logged: with warnings off a run still finishes.
TEST(SyncQuiet, RunsFinishWithTheLogAtErrorLevel) {
  test_db local = test_db::create("orvale_sync_quiet");
  test_db office = test_db::create("orvale_sync_quiet_office");
  office.apply_file(orvale_test::source_dir() / "sql" / "backoffice-fixture.sql");
  auto gw = start_gateway(local.json_db_object(), office.json_db_object(), "gw-key", "error");
  for (const auto* set : {&products, &stations, &prices}) {
    ASSERT_EQ(
        http_call(gw->port(), "POST", set->path, "key=gw-key", "application/x-www-form-urlencoded")
            .status,
        200);
    const std::string finished = "SELECT count(*) FROM syncinfo WHERE status = 1 AND "
                                 "tablename = '" +
                                 std::string(set->tablename) + "'";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (local.value(finished) != "1" && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(local.value(finished), "1") << set->tablename;
  }
  EXPECT_EQ(local.value("SELECT count(*) FROM curprices"), "10");
  EXPECT_EQ(local.value("SELECT count(*) FROM temp_load_conf"), "0");
}

TEST(SyncOffline, AnUnreachableBackofficeIs406AndLeavesTheRunUnfinished) {
  test_db local = test_db::create("orvale_sync_offline");
  auto gw = start_gateway(
      local.json_db_object(),
      R"({"db_host":"127.0.0.1","db_port":1,"db_name":"x","db_user":"x","connect_timeout":1})");
  EXPECT_EQ(http_call(gw->port(), "POST", "/orvale/sync_products", "key=gw-key",
                      "application/x-www-form-urlencoded")
                .status,
            406);
  EXPECT_TRUE(gw->wait_log("orvale/sync_products, error: Нет подключения к БД ВЕЛК", 2s));
  EXPECT_EQ(local.value("SELECT status || '/' || (syncdate IS NOT NULL) FROM syncinfo WHERE "
                        "tablename = 'products'"),
            "-1/true");
}

TEST(SyncOffline, WithoutAnApplicationKeyEveryRunIs401) {
  test_db local = test_db::create("orvale_sync_nokey");
  auto gw = start_gateway(local.json_db_object(), local.json_db_object(), "");
  for (const char* form : {"", "key=", "key=gw-key"}) {
    EXPECT_EQ(http_call(gw->port(), "POST", "/orvale/sync_products", form,
                        "application/x-www-form-urlencoded")
                  .status,
              401);
  }
  EXPECT_EQ(local.value("SELECT count(*) FROM syncinfo WHERE syncdate IS NOT NULL"), "0");
}

TEST(SyncOffline, AnUnreachableLocalDatabaseIs406) {
  auto gw = start_gateway(R"({"db_host":"127.0.0.1","db_port":1,"connect_timeout":1})",
                          R"({"db_host":"127.0.0.1","db_port":1,"connect_timeout":1})");
  EXPECT_EQ(http_call(gw->port(), "POST", "/orvale/sync_prices", "key=gw-key",
                      "application/x-www-form-urlencoded")
                .status,
            406);
  EXPECT_TRUE(gw->wait_log("orvale/sync_prices, error: Нет подключения к локальной БД", 2s));
}

} // namespace

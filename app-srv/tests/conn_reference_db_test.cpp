// Reference lookups and prices against seeded data.
#include "conn_pg.h"
#include "conn_pool.h"

#include <mutex>

#include <gtest/gtest.h>

#include "support/test_db.h"
#include "web/log.h"

namespace {

using orvale_test::test_db;

const char* reference_data = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key'), (2, 'OTHER', 'other-key');
INSERT INTO products (prodcod, title) VALUES (1, 'p1'), (2, 'p2'), (3, 'p3'), (4, 'p4');
INSERT INTO azslist (id, title, deleted) VALUES (10, 'live', false), (11, 'gone', true),
  (12, 'null-deleted', NULL);
INSERT INTO azsconf (id_shop, trk, sch, prodcod, deleted, temp_blocked) VALUES
  (10, 1, 1, 1, false, false), (10, 2, 1, 2, false, true), (10, 3, 1, 3, true, true),
  (10, 4, 1, 4, true, false), (11, 1, 1, 1, false, false);
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'a92'), (1, 2, 'a''95'),
  (2, 1, 'x92');
INSERT INTO ordtypes (id, id_app, sname) VALUES (1, 1, 'Money'), (2, 1, 'Liters'),
  (3, 2, 'Money');
INSERT INTO stattypes (id, id_app, sname) VALUES (3, 1, 'Completed'), (5, 1, 'UserCanceled');
INSERT INTO curprices (id_shop, prodcod, price, deleted) VALUES (10, 1, 52.3, false),
  (10, 2, 57.15, true), (10, 4, 60, false);
)SQL";

class ReferenceDb : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_reference"));
  }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    db_->reset();
    db_->exec(reference_data);
    content::DBConnection_t rec = db_->record();
    be_ = std::make_unique<content::PGBackend>(rec);
    ASSERT_EQ(be_->open(), 0);
  }

  std::string price_row(int shop, int prod) {
    // The gateway's sessions write UTC wall time; this session runs in the server's zone.
    return db_->value("SELECT price || '/' || (timeget > (now() at time zone 'UTC') - interval "
                      "'1 minute') || '/' || (timeset > (now() at time zone 'UTC') - interval "
                      "'1 minute') FROM curprices WHERE id_shop = " +
                      std::to_string(shop) + " AND prodcod = " + std::to_string(prod));
  }

  static std::unique_ptr<test_db> db_;
  std::unique_ptr<content::PGBackend> be_;
  content::PGBackend offline_; // never connected
};
std::unique_ptr<test_db> ReferenceDb::db_;

TEST_F(ReferenceDb, StationsAndDispensers) {
  EXPECT_EQ(be_->check_azs("10"), 10);
  EXPECT_EQ(be_->check_azs(" 10 "), 10);
  EXPECT_EQ(be_->check_azs("11"), -1) << "deleted";
  EXPECT_EQ(be_->check_azs("12"), -1) << "a NULL deleted flag is not 'f'";
  EXPECT_EQ(be_->check_azs("99"), -1);
  for (const char* bad : {"", "10 OR 1=1", "10;", "1e1", "abc", "99999999999"}) {
    EXPECT_EQ(be_->check_azs(bad), -1) << bad;
    EXPECT_FALSE(be_->check_azs_conf("10", bad)) << bad;
    EXPECT_FALSE(be_->check_azs_conf(bad, "1")) << bad;
  }
  EXPECT_TRUE(be_->check_azs_conf("10", "1"));
  EXPECT_TRUE(be_->check_azs_conf("10", "2")) << "a temporary block is not checked here";
  EXPECT_FALSE(be_->check_azs_conf("10", "3")) << "deleted nozzle";
  EXPECT_FALSE(be_->check_azs_conf("11", "1")) << "deleted station";
  EXPECT_FALSE(be_->check_azs_conf("10", "9"));
  EXPECT_EQ(offline_.check_azs("10"), -1);
  EXPECT_FALSE(offline_.check_azs_conf("10", "1"));

  EXPECT_EQ(be_->getTrkStatus(10, 1, 1), 0);
  EXPECT_EQ(be_->getTrkStatus(10, 2, 2), 2);
  EXPECT_EQ(be_->getTrkStatus(10, 3, 3), 1) << "deletion wins over the block";
  EXPECT_EQ(be_->getTrkStatus(10, 4, 4), 1);
  EXPECT_EQ(be_->getTrkStatus(10, 2, 1), -1) << "product not on that dispenser";
  EXPECT_EQ(offline_.getTrkStatus(10, 1, 1), -1);
}

TEST_F(ReferenceDb, ProductMapsTypesAndStatuses) {
  EXPECT_EQ(be_->getProductMap(1, 2), "a'95");
  EXPECT_EQ(be_->getProductMap(2, 1), "x92");
  EXPECT_EQ(be_->getProductMap(2, 2), "");
  EXPECT_EQ(be_->getProductId(1, "a'95"), 2);
  EXPECT_EQ(be_->getProductId(1, "x92"), -1);
  EXPECT_EQ(be_->getProductId(1, "a%"), -1) << "product ids match exactly";
  EXPECT_EQ(offline_.getProductMap(1, 1), "");
  EXPECT_EQ(offline_.getProductId(1, "a92"), -1);

  EXPECT_EQ(be_->getOrderTypeId(1, "Liters"), 2);
  EXPECT_EQ(be_->getOrderTypeId(2, "Money"), 3);
  EXPECT_EQ(be_->getOrderTypeId(2, "Liters"), -1);
  EXPECT_EQ(be_->getStatusTypeId(1, "Complete%"), 3) << "names stay LIKE patterns";
  EXPECT_EQ(be_->getStatusTypeId(1, "User_anceled"), 5);
  EXPECT_EQ(be_->getStatusTypeId(1, "' OR 1=1 --"), -1);
  EXPECT_EQ(be_->getStatusTypeId(1, "x' OR sname LIKE '%"), -1);
  EXPECT_EQ(be_->getOrderName(1, 2), "Liters");
  EXPECT_EQ(be_->getOrderName(1, 3), "");
  EXPECT_EQ(be_->getStatusName(1, 5), "UserCanceled");
  EXPECT_EQ(be_->getStatusName(2, 5), "");
  EXPECT_EQ(offline_.getOrderTypeId(1, "Money"), -1);
  EXPECT_EQ(offline_.getStatusName(1, 3), "");
}

// A lease remembers the status ids it looked up; the next lease sees the table as it is.
TEST_F(ReferenceDb, StatusIdsAndCallersAreRememberedForOneLeaseOnly) {
  const auto app_name = [this] {
    content::AppTypeInfo app;
    app.authAppInfo(*be_, "demo-key");
    return app.sname();
  };
  EXPECT_EQ(be_->getStatusTypeId(1, "Completed"), 3);
  EXPECT_EQ(app_name(), "DEMO");
  db_->exec("UPDATE stattypes SET id = 30 WHERE sname = 'Completed'");
  db_->exec("UPDATE apptypes SET sname = 'RENAMED' WHERE key = 'demo-key'");
  EXPECT_EQ(be_->getStatusTypeId(1, "Completed"), 3);
  EXPECT_EQ(app_name(), "DEMO");
  be_->finish();
  ASSERT_EQ(be_->open(), 0);
  EXPECT_EQ(be_->getStatusTypeId(1, "Completed"), 30);
  EXPECT_EQ(app_name(), "RENAMED");
}

// A new order's lookups read ahead answer its checks, each once, in the lease that read them:
// what changed meanwhile shows at the second look and in the next lease.
TEST_F(ReferenceDb, LookupsReadAheadAnswerTheChecksOnceWithinTheirLease) {
  db_->exec("INSERT INTO links (id_shop, addr, port, pass, active) VALUES (10, 'old', 1, 'p', true)");
  const content::DBConnection_t rec = db_->record(1);
  content::PGBackend pooled(rec, std::make_shared<content::connection_pool>(rec));
  ASSERT_EQ(pooled.open(), 0);
  pooled.prefetch_order_lookups(1, "R-1", "Completed", "10", "Liters", "a92");
  db_->exec("UPDATE stattypes SET id = 30 WHERE sname = 'Completed'");
  db_->exec("UPDATE azslist SET deleted = true WHERE id = 10");
  db_->exec("UPDATE links SET addr = 'new' WHERE id_shop = 10");
  db_->exec("UPDATE ordtypes SET sname = 'Litres' WHERE sname = 'Liters'");
  db_->exec("UPDATE prodmaps SET prodcod = 3 WHERE prodmap = 'a92'");
  db_->exec("INSERT INTO orders (id, id_app) VALUES ('R-1', 1)");
  const auto stored = [&pooled] {
    content::OrderData d;
    int status = 0;
    return pooled.getOrder(1, "R-1", d, status);
  };
  const auto link_of = [&pooled] {
    content::AzsConnInfo link;
    link.getAzsConnValues(pooled, 10);
    return link.endpoint_str();
  };
  EXPECT_EQ(pooled.getStatusTypeId(1, "Completed"), 3);
  EXPECT_EQ(pooled.check_azs("10"), 10);
  EXPECT_EQ(link_of(), "http://old:1/api/azstank");
  EXPECT_EQ(pooled.getOrderTypeId(1, "Liters"), 2);
  EXPECT_EQ(pooled.getProductId(1, "a92"), 1);
  EXPECT_EQ(stored(), 0);
  EXPECT_EQ(pooled.check_azs("10"), -1);
  EXPECT_EQ(stored(), 1);
  EXPECT_EQ(link_of(), "http://new:1/api/azstank");
  EXPECT_EQ(pooled.getOrderTypeId(1, "Liters"), -1);

  pooled.prefetch_order_lookups(1, "R-1", "Completed", "x", "Money", "a92");
  db_->exec("UPDATE prodmaps SET prodcod = 4 WHERE prodmap = 'a92'");
  pooled.finish();
  ASSERT_EQ(pooled.open(), 0);
  EXPECT_EQ(pooled.getProductId(1, "a92"), 4);
}

// A new order's INSERT brings its dispenser's state back in the same round trip, read after the
// row went in; a state changed later shows at the second look. A refused INSERT reads nothing.
TEST_F(ReferenceDb, ADispensersStateComesBackWithTheOrdersInsert) {
  const content::DBConnection_t rec = db_->record(1);
  content::PGBackend pooled(rec, std::make_shared<content::connection_pool>(rec));
  ASSERT_EQ(pooled.open(), 0);
  content::OrderData d;
  d.id_app = 1;
  d.id_shop = 10;
  d.prodcod = 1;
  d.trk = 1;
  d.id = "N-1";
  const auto insert_then_toggle_block = [&] {
    int status = 0;
    const int inserted = pooled.setOrder(d, status, content::QUERY_INSERT);
    db_->exec("UPDATE azsconf SET temp_blocked = NOT temp_blocked WHERE id_shop = 10 AND trk = 1");
    return inserted;
  };
  ASSERT_EQ(insert_then_toggle_block(), 1);
  EXPECT_EQ(pooled.getTrkStatus(10, 1, 1), 0);
  EXPECT_EQ(pooled.getTrkStatus(10, 1, 1), 2);
  ASSERT_EQ(insert_then_toggle_block(), 0); // the key exists
  EXPECT_EQ(pooled.getTrkStatus(10, 1, 1), 0);
}

TEST_F(ReferenceDb, DispenserPrices) {
  EXPECT_DOUBLE_EQ(be_->getPrice(10, 1, 1), 52.3);
  EXPECT_DOUBLE_EQ(be_->getPrice(10, 2, 2), 0) << "withdrawn price";
  EXPECT_DOUBLE_EQ(be_->getPrice(10, 1, 2), 0) << "product not on that dispenser";
  EXPECT_DOUBLE_EQ(be_->getPrice(10, 4, 4), 60) << "the nozzle's deletion is not tested";
  EXPECT_DOUBLE_EQ(offline_.getPrice(10, 1, 1), 0);
}

TEST_F(ReferenceDb, SetPriceModes) {
  int status = -7;
  double price = -1;
  EXPECT_EQ(be_->_sel_prd_price(10, 1, price, status), 1);
  EXPECT_EQ(status, PGRES_TUPLES_OK);
  EXPECT_DOUBLE_EQ(price, 52.3);
  price = -1;
  EXPECT_EQ(be_->_sel_prd_price(10, 3, price, status), 0);
  EXPECT_DOUBLE_EQ(price, -1) << "untouched without a row";
  EXPECT_EQ(be_->_sel_prd_price(0, 3, price, status), 0);
  EXPECT_EQ(status, 0);

  // Mode 3 inserts a missing row with both times now, then updates it.
  EXPECT_EQ(be_->setPrice(10, 3, 61.255, status, content::QUERY_UPSERT), 1);
  EXPECT_EQ(status, PGRES_COMMAND_OK);
  EXPECT_EQ(price_row(10, 3), "61.2550/true/true");
  EXPECT_EQ(be_->setPrice(10, 3, 62, status, content::QUERY_UPSERT), 1);
  EXPECT_EQ(price_row(10, 3), "62.0000/true/true");
  EXPECT_EQ(db_->value("SELECT count(*) FROM curprices WHERE id_shop = 10 AND prodcod = 3"), "1");

  // Mode 2 on a missing row reports success and stores nothing; mode 1 on an existing row fails.
  EXPECT_EQ(be_->setPrice(10, 2, 58, status, content::QUERY_UPDATE), 1);
  EXPECT_EQ(price_row(10, 2), "58.0000/true/true");
  EXPECT_EQ(be_->setPrice(10, 1, 53, status, content::QUERY_INSERT), 0);
  EXPECT_EQ(status, PGRES_FATAL_ERROR);
  EXPECT_EQ(be_->setPrice(10, 1, 53, status, static_cast<content::QueryModeType>(7)), -1);

  for (auto mode : {content::QUERY_INSERT, content::QUERY_UPDATE, content::QUERY_UPSERT}) {
    EXPECT_EQ(be_->setPrice(10, 1, 0, status, mode), 0) << mode;
    EXPECT_EQ(be_->setPrice(10, 1, -5, status, mode), 0) << mode;
  }
  EXPECT_EQ(price_row(10, 1), "52.3000/true/true");
  EXPECT_EQ(be_->setPrice(0, 1, 5, status, content::QUERY_UPSERT), -1);
  EXPECT_EQ(offline_.setPrice(10, 1, 5, status, content::QUERY_UPDATE), -1);
}

TEST_F(ReferenceDb, FailuresAreLoggedOnTheirChannels) {
  std::mutex mu;
  std::vector<web::log_record> seen;
  web::log_tap tap(web::log_level::debug, [&](const web::log_record& r) {
    std::lock_guard<std::mutex> lock(mu);
    seen.push_back(r);
  });
  db_->exec("DROP TABLE prodmaps, curprices CASCADE");
  EXPECT_EQ(be_->getProductMap(1, 2), "");
  int status = 0;
  EXPECT_EQ(be_->setPrice(10, 1, 5, status, content::QUERY_UPSERT), -1);
  EXPECT_EQ(be_->setPrice(10, 1, 5, status, content::QUERY_UPDATE), 0);
  std::lock_guard<std::mutex> lock(mu);
  auto has = [&](const char* channel, web::log_level level, const std::string& text) {
    for (const auto& r : seen) {
      if (r.channel == channel && r.level == level && r.message.rfind(text, 0) == 0) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(has("Database/Get Product Map", web::log_level::error,
                  "Ошибка получения данных продукте (продукт : '2') : ERROR:"));
  EXPECT_TRUE(has("Database/SELECT price", web::log_level::debug,
                  "Ошибка получения данных по ценам : (АЗС : '10' Продукт: '1') : "));
  EXPECT_TRUE(has("Database/UPDATE prices", web::log_level::error,
                  "Ошибка обновления данных по ценам (АЗС : '10' Продукт : '1') : "));
}

} // namespace

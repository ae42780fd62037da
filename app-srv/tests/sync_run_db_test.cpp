// The pieces of the synchronisation run that decide correctness under load and concurrency: the
// claim of a run in syncinfo and the row-by-row temporary load with its savepoints.
#include "conn_sync_pg.h"

#include <chrono>
#include <future>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/test_db.h"

namespace {

using namespace std::chrono_literals;
using content::claim_result;
using content::claim_run;
using content::load_temp;
using orvale_test::pg_conn_ptr;
using orvale_test::pg_result_ptr;
using orvale_test::test_db;

// The product run's data set, NULL texts bound as given or as "".
content::sync_tables products(bool text_null_as_empty) {
  content::sync_tables set = content::tables_of(content::sync_set::products);
  set.text_null_as_empty = text_null_as_empty;
  return set;
}

class SyncRunDb : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_sync_run"));
  }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    db_->reset();
    conn_ = db_->open_session();
    ASSERT_EQ(PQstatus(conn_.get()), CONNECTION_OK);
  }

  static pg_result_ptr exec(PGconn* conn, const std::string& sql) {
    return pg_result_ptr(PQexec(conn, sql.c_str()));
  }

  void prepare_products() {
    const auto set = products(true);
    pg_result_ptr res(PQprepare(conn_.get(), "LoadTemp", set.load_statement,
                                static_cast<int>(set.load_types.size()), set.load_types.data()));
    ASSERT_EQ(PQresultStatus(res.get()), PGRES_COMMAND_OK) << PQresultErrorMessage(res.get());
  }

  // Back-office-like rows: `rows` products numbered from 1, where the numbers in `bad` carry a
  // type that no integer parameter takes.
  pg_result_ptr product_rows(int rows, const std::set<int>& bad) {
    std::string bad_list = "0";
    for (int b : bad) {
      bad_list += "," + std::to_string(b);
    }
    return exec(conn_.get(),
                "SELECT n::text, CASE WHEN n IN (" + bad_list +
                    ") THEN '99999999999' ELSE (n % 3)::text END, 'p' || n, 'true', '1.5', "
                    "'false' FROM generate_series(1, " +
                    std::to_string(rows) + ") AS g (n) ORDER BY g.n");
  }

  std::string stamp() { return db_->value("SELECT now()::timestamp without time zone::text"); }

  static std::unique_ptr<test_db> db_;
  pg_conn_ptr conn_;
};
std::unique_ptr<test_db> SyncRunDb::db_;

TEST_F(SyncRunDb, ClaimPassesOnlyPastTheInterval) {
  std::string stamp;
  std::string error;
  // The template leaves syncdate NULL: the first run of each data set goes through.
  ASSERT_EQ(claim_run(conn_.get(), "products", 10, stamp, error), claim_result::claimed) << error;
  EXPECT_EQ(db_->value("SELECT syncdate::text || '/' || status FROM syncinfo "
                       "WHERE tablename = 'products'"),
            stamp + "/-1");
  EXPECT_EQ(claim_run(conn_.get(), "products", 10, stamp, error), claim_result::refused);
  // Another data set has its own row.
  EXPECT_EQ(claim_run(conn_.get(), "curprices", 3, stamp, error), claim_result::claimed);

  db_->exec("UPDATE syncinfo SET syncdate = syncdate - interval '4 minutes'");
  EXPECT_EQ(claim_run(conn_.get(), "curprices", 3, stamp, error), claim_result::claimed);
  EXPECT_EQ(claim_run(conn_.get(), "products", 10, stamp, error), claim_result::refused);
  db_->exec("UPDATE syncinfo SET syncdate = syncdate - interval '7 minutes'");
  EXPECT_EQ(claim_run(conn_.get(), "products", 10, stamp, error), claim_result::claimed);

  db_->exec("DELETE FROM syncinfo WHERE tablename = 'azsconf'");
  EXPECT_EQ(claim_run(conn_.get(), "azsconf", 10, stamp, error), claim_result::refused);
  db_->exec("DROP TABLE syncinfo");
  EXPECT_EQ(claim_run(conn_.get(), "azsconf", 10, stamp, error), claim_result::failed);
  EXPECT_NE(error.find("syncinfo"), std::string::npos) << error;
}

// The second of two runs started together waits for the first one's claim and then finds the
// fresh stamp; with a SELECT guard both would pass.
TEST_F(SyncRunDb, ClaimOfAConcurrentRunWaitsAndIsRefused) {
  ASSERT_EQ(PQresultStatus(exec(conn_.get(), "BEGIN").get()), PGRES_COMMAND_OK);
  std::string first;
  std::string error;
  ASSERT_EQ(claim_run(conn_.get(), "products", 10, first, error), claim_result::claimed) << error;

  pg_conn_ptr other = db_->open_session("orvale_other");
  auto second = std::async(std::launch::async, [&other] {
    std::string stamp;
    std::string err;
    return claim_run(other.get(), "products", 10, stamp, err);
  });
  EXPECT_EQ(second.wait_for(300ms), std::future_status::timeout) << "the row lock holds it";
  ASSERT_EQ(PQresultStatus(exec(conn_.get(), "COMMIT").get()), PGRES_COMMAND_OK);
  ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(second.get(), claim_result::refused);
  EXPECT_EQ(db_->value("SELECT syncdate::text FROM syncinfo WHERE tablename = 'products'"), first);
}

TEST_F(SyncRunDb, FailingRowsAreSkippedWhereverTheyFallInTheWindow) {
  prepare_products();
  // Windows are 128 rows: failures at both ends of a window, in a row, and on the last row.
  const std::set<int> bad = {1, 2, 127, 128, 129, 200, 256, 257, 299, 300};
  pg_result_ptr rows = product_rows(300, bad);
  ASSERT_EQ(PQntuples(rows.get()), 300);
  const std::string at = stamp();
  orvale_test::log_capture logs;
  const auto out = load_temp(conn_.get(), rows.get(), at, products(true), "t");
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.loaded, 290);
  EXPECT_EQ(PQtransactionStatus(conn_.get()), PQTRANS_IDLE);
  EXPECT_EQ(PQpipelineStatus(conn_.get()), PQ_PIPELINE_OFF);
  EXPECT_EQ(db_->value("SELECT count(*) FROM temp_load_products WHERE syncdate = '" + at + "'"),
            "290");
  EXPECT_EQ(db_->value("SELECT string_agg(n::text, ',' ORDER BY n) FROM generate_series(1, 300) "
                       "n WHERE n NOT IN (SELECT prodcod FROM temp_load_products)"),
            "1,2,127,128,129,200,256,257,299,300");
  EXPECT_EQ(logs.count("t", "Строка 128 не загружена : "), 1);
  EXPECT_EQ(logs.count("t", "out of range for type integer"), static_cast<int>(bad.size()));
}

TEST_F(SyncRunDb, EveryRowFailingLeavesAnEmptyButCommittedLoad) {
  prepare_products();
  std::set<int> all;
  for (int n = 1; n <= 130; ++n) {
    all.insert(n);
  }
  pg_result_ptr rows = product_rows(130, all);
  const auto out = load_temp(conn_.get(), rows.get(), stamp(), products(true), "t");
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.loaded, 0);
  // The connection is fit for the merge that follows.
  EXPECT_EQ(PQresultStatus(exec(conn_.get(), "SELECT 1").get()), PGRES_TUPLES_OK);

  pg_result_ptr none = product_rows(0, {});
  const auto empty = load_temp(conn_.get(), none.get(), stamp(), products(true), "t");
  EXPECT_TRUE(empty.ok) << empty.error;
  EXPECT_EQ(empty.loaded, 0);
}

// An empty text is not a valid integer, boolean or numeric: a NULL bound that way would fail
// every such row. Text columns keep the empty text when the data set asks for it.
TEST_F(SyncRunDb, NullsReachTypedParametersAsNull) {
  prepare_products();
  pg_result_ptr rows =
      exec(conn_.get(), "SELECT * FROM (VALUES ('1', NULL, NULL, NULL, NULL, NULL), "
                        "('2', '1', 'named', 'false', '2', 'true'), "
                        "(NULL, '1', 'keyless', 'true', '1', 'false')) AS r ORDER BY 1");
  const std::string at = stamp();
  orvale_test::log_capture logs;
  const auto out = load_temp(conn_.get(), rows.get(), at, products(true), "t");
  ASSERT_TRUE(out.ok) << out.error;
  // Without its product code a row could only fail the merge: it stays out of the load.
  EXPECT_EQ(out.loaded, 2);
  EXPECT_EQ(logs.count("t", "Строка 3 не загружена : нет значения $2"), 1);
  EXPECT_EQ(db_->value("SELECT concat_ws('/', prodtyp IS NULL, title = '', showing IS NULL, "
                       "num_modification IS NULL, full_del IS NULL) FROM temp_load_products "
                       "WHERE prodcod = 1"),
            "t/t/t/t/t");

  db_->exec("DELETE FROM temp_load_products");
  const auto kept = load_temp(conn_.get(), rows.get(), at, products(false), "t");
  ASSERT_TRUE(kept.ok) << kept.error;
  EXPECT_EQ(db_->value("SELECT (title IS NULL)::text FROM temp_load_products WHERE prodcod = 1"),
            "true");
  EXPECT_EQ(db_->value("SELECT count(*) FROM temp_load_products"), "2");
}

TEST_F(SyncRunDb, ACommitThatFailsIsReportedAndLeavesNothing) {
  db_->exec(R"SQL(
CREATE FUNCTION refuse_at_commit() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.title = 'p2' THEN
    RAISE EXCEPTION 'p2 refused at commit';
  END IF;
  RETURN NULL;
END $$;
CREATE CONSTRAINT TRIGGER refuse_at_commit AFTER INSERT ON temp_load_products
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION refuse_at_commit();
)SQL");
  prepare_products();
  pg_result_ptr rows = product_rows(3, {});
  const auto out = load_temp(conn_.get(), rows.get(), stamp(), products(true), "t");
  EXPECT_FALSE(out.ok);
  EXPECT_NE(out.error.find("p2 refused at commit"), std::string::npos) << out.error;
  EXPECT_EQ(db_->value("SELECT count(*) FROM temp_load_products"), "0");
  EXPECT_EQ(PQtransactionStatus(conn_.get()), PQTRANS_IDLE);
}

TEST_F(SyncRunDb, MergeTransactionStopsAtTheFirstFailureAndRollsBack) {
  orvale_test::log_capture logs;
  const std::string at = stamp();
  {
    content::merge_transaction tx(conn_.get(), at, "t", "Ошибка слияния");
    EXPECT_NE(tx.run("INSERT INTO products (prodcod, title) SELECT 1, $1::text", PGRES_COMMAND_OK),
              nullptr);
    EXPECT_EQ(
        tx.run("INSERT INTO products (prodcod) SELECT NULL WHERE $1 IS NOT NULL", PGRES_COMMAND_OK),
        nullptr);
    EXPECT_EQ(
        tx.run("INSERT INTO products (prodcod) SELECT 2 WHERE $1 IS NOT NULL", PGRES_COMMAND_OK),
        nullptr);
    EXPECT_TRUE(tx.failed());
    EXPECT_FALSE(tx.commit());
  }
  EXPECT_EQ(db_->value("SELECT count(*) FROM products"), "0");
  EXPECT_EQ(logs.count("t", "Ошибка слияния : "), 1);
  EXPECT_EQ(logs.count("t", "prodcod"), 1) << "the server's text follows the failure text";
  EXPECT_EQ(PQtransactionStatus(conn_.get()), PQTRANS_IDLE);

  {
    content::merge_transaction tx(conn_.get(), at, "t", "Ошибка слияния");
    const auto res =
        tx.run("SELECT sum(n) FROM generate_series(1, 4) n WHERE $1 IS NOT NULL", PGRES_TUPLES_OK);
    ASSERT_TRUE(res);
    EXPECT_EQ(content::returned_count(res.get()), 10);
    EXPECT_TRUE(tx.commit());
  }
  pg_result_ptr null_sum(PQexec(conn_.get(), "SELECT sum(1) WHERE false"));
  EXPECT_EQ(content::returned_count(null_sum.get()), std::nullopt);
  pg_result_ptr text_sum(PQexec(conn_.get(), "SELECT 'x'"));
  EXPECT_EQ(content::returned_count(text_sum.get()), -1);
}

} // namespace

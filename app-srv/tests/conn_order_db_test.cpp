// Order persistence against a real PostgreSQL: what each write stores, the SQL texts, escaping,
// the checks of station texts, and timestamps that must not drift in a server far from UTC.
#include "conn_order_sql.h"
#include "conn_station.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/test_db.h"
#include "web/log.h"

namespace {

using content::OrderData;
using orvale_test::test_db;
namespace order_sql = content::order_sql;

const char* reference_data = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key'), (2, 'OTHER', 'other-key');
INSERT INTO stattypes (id, id_app, sname) VALUES (11, 1, 'OrderCreated'), (13, 1, 'Completed'),
  (15, 1, 'StationCanceled'), (16, 1, 'UserCanceled');
)SQL";

using log_lines = orvale_test::log_capture;

// A station's completion at 04.03.2021 05:30:00 to "Completed" (3), allowed from `from` and,
// with the order lock free, from `busy`.
content::station_completion completion(double volume, int trannum, std::vector<int> from,
                                       int busy = 2) {
  content::station_completion c;
  c.volume = volume;
  c.trannum = trannum;
  c.station_time = "04.03.2021 05:30:00";
  c.status_name = "Completed";
  c.statusint = 3;
  c.statusconfirmed = 0;
  c.from = std::move(from);
  c.busy_status = busy;
  return c;
}

// Every column set to an ordinary value.
OrderData full_order(const std::string& id) {
  OrderData d;
  d.id = id;
  d.id_app = 1;
  d.timebeg = "2021-03-04 05:06:07.123456";
  d.ord_typ = 2;
  d.orderval = 500;
  d.id_shop = 10;
  d.StationExtendedId = "10";
  d.shopext = "s10";
  d.trk = 2;
  d.prodcod = 1;
  d.prodname = "AI-92";
  d.priceid = "p1";
  d.prodext = "92";
  d.price = 52.3;
  d.ord_sum = 500;
  d.ord_vol = 9.56;
  d.sumpaid = 500;
  d.status = 11;
  d.timeend = "2021-03-04 05:16:07.000000";
  d.reasonid = "r1";
  d.reason = "ok";
  d.volume = 9.5;
  d.summa = 496.85;
  d.contractid = "c-1";
  d.trannum = 77;
  d.user_phone = "+79000000000";
  d.user_mail = "a@b.c";
  d.prodident = "a92";
  d.ordtypext = "Money";
  d.ordstatext = "OrderCreated";
  d.volcompleted = 9.5;
  d.sumpaidcompleted = 496.85;
  d.sumpaidcardcompleted = 96.85;
  d.sumpaidcard = 100;
  d.statusint = 1;
  d.statusconfirmed = 1;
  d.errcode = 3;
  d.azstimebeg = "04.03.2021 05:06:10";
  d.azstimelast = "04.03.2021 05:15:00";
  return d;
}

// The stored columns of two records agree (the request-only values are not compared).
void expect_same_columns(const OrderData& a, const OrderData& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.id_app, b.id_app);
  EXPECT_EQ(a.timebeg, b.timebeg);
  EXPECT_EQ(a.ord_typ, b.ord_typ);
  EXPECT_DOUBLE_EQ(a.orderval, b.orderval);
  EXPECT_EQ(a.id_shop, b.id_shop);
  EXPECT_EQ(a.shopext, b.shopext);
  EXPECT_EQ(a.trk, b.trk);
  EXPECT_EQ(a.prodcod, b.prodcod);
  EXPECT_EQ(a.prodname, b.prodname);
  EXPECT_EQ(a.priceid, b.priceid);
  EXPECT_EQ(a.prodext, b.prodext);
  EXPECT_DOUBLE_EQ(a.price, b.price);
  EXPECT_DOUBLE_EQ(a.ord_sum, b.ord_sum);
  EXPECT_DOUBLE_EQ(a.ord_vol, b.ord_vol);
  EXPECT_DOUBLE_EQ(a.sumpaid, b.sumpaid);
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.timeend, b.timeend);
  EXPECT_EQ(a.reasonid, b.reasonid);
  EXPECT_EQ(a.reason, b.reason);
  EXPECT_DOUBLE_EQ(a.volume, b.volume);
  EXPECT_DOUBLE_EQ(a.summa, b.summa);
  EXPECT_EQ(a.contractid, b.contractid);
  EXPECT_EQ(a.trannum, b.trannum);
  EXPECT_EQ(a.user_phone, b.user_phone);
  EXPECT_EQ(a.user_mail, b.user_mail);
  EXPECT_EQ(a.prodident, b.prodident);
  EXPECT_EQ(a.ordtypext, b.ordtypext);
  EXPECT_EQ(a.ordstatext, b.ordstatext);
  EXPECT_DOUBLE_EQ(a.volcompleted, b.volcompleted);
  EXPECT_DOUBLE_EQ(a.sumpaidcompleted, b.sumpaidcompleted);
  EXPECT_DOUBLE_EQ(a.sumpaidcardcompleted, b.sumpaidcardcompleted);
  EXPECT_DOUBLE_EQ(a.sumpaidcard, b.sumpaidcard);
  EXPECT_EQ(a.statusint, b.statusint);
  EXPECT_EQ(a.statusconfirmed, b.statusconfirmed);
  EXPECT_EQ(a.errcode, b.errcode);
  EXPECT_EQ(a.azstimebeg, b.azstimebeg);
  EXPECT_EQ(a.azstimelast, b.azstimelast);
}

// A text as an SQL literal for the test's own statements.
std::string lit(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') {
      out += '\'';
    }
  }
  return out + "'";
}

std::string ts1(const std::string& x) {
  return "to_timestamp('" + x +
         "', 'YYYY-MM-DD HH24:MI:SS.US')::timestamp without time zone at time zone 'Etc/UTC'";
}
std::string ts2(const std::string& x) {
  return "to_timestamp('" + x + "', 'DD.MM.YYYY HH24:MI:SS')";
}

const char* all_but_key = "timebeg, ord_typ, orderval, id_shop, shopext, trk, prodcod, prodname, "
                          "priceid, prodext, price, ord_sum, ord_vol, sumpaid, status, timeend, "
                          "reasonid, reason, volume, summa, contractid, trannum, user_phone, "
                          "user_mail, prodident, ordtypext, ordstatext, volcompleted, "
                          "sumpaidcompleted, sumpaidcardcompleted, sumpaidcard, statusint, "
                          "statusconfirmed, errcode, azstimebeg, azstimelast";

class OrderDb : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_orders"));
  }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    db_->reset();
    db_->exec(reference_data);
    be_ = std::make_unique<content::PGBackend>(record());
    ASSERT_EQ(be_->open(), 0);
  }

  static content::DBConnection_t record() {
    content::DBConnection_t rec = db_->record();
    return rec;
  }

  PGconn* conn() const { return content::native_connection(*be_); }

  // One column of the order, its text or "NULL".
  std::string column(const std::string& id, const std::string& expr, int id_app = 1) {
    return db_->value("SELECT coalesce((" + expr + ")::text, 'NULL') FROM orders WHERE id = " +
                      lit(id) + " AND id_app = " + std::to_string(id_app));
  }
  // Every column but the key, as one text.
  std::string row_text(const std::string& id) {
    return db_->value("SELECT row(" + std::string(all_but_key) +
                      ")::text FROM orders WHERE id = " + lit(id));
  }
  int order_count() { return std::stoi(db_->value("SELECT count(*) FROM orders")); }

  void store(const OrderData& d) {
    OrderData copy = d;
    int status = 0;
    ASSERT_EQ(be_->_ins_order(copy, status), 1);
  }

  // True when `call` sends nothing to the server.
  bool sends_nothing(const std::function<void()>& call) {
    std::unique_ptr<FILE, int (*)(FILE*)> trace(std::tmpfile(), &std::fclose);
    EXPECT_NE(trace, nullptr);
    PQtrace(conn(), trace.get());
    call();
    PQuntrace(conn());
    std::fflush(trace.get());
    return std::ftell(trace.get()) == 0;
  }

  static std::unique_ptr<test_db> db_;
  std::unique_ptr<content::PGBackend> be_;
  content::PGBackend offline_; // never connected
};
std::unique_ptr<test_db> OrderDb::db_;

TEST_F(OrderDb, SparseInsertLeavesEveryUnsetColumnNull) {
  OrderData d;
  d.id = "sparse";
  d.id_app = 1;
  d.statusint = 1;
  EXPECT_EQ(order_sql::insert_order(conn(), d),
            "INSERT INTO orders(id, id_app, " + std::string(all_but_key) +
                ") VALUES ('sparse',1,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,"
                "NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,"
                "NULL,NULL,NULL,NULL,1,NULL,0,NULL,NULL)");
  int status = -7;
  EXPECT_EQ(be_->_ins_order(d, status), 1);
  EXPECT_EQ(status, PGRES_COMMAND_OK);
  EXPECT_EQ(db_->value("SELECT num_nulls(" + std::string(all_but_key) +
                       ") FROM orders WHERE id = 'sparse'"),
            "34");
  EXPECT_EQ(column("sparse", "statusint || '/' || errcode"), "1/0");

  // trk and trannum 0 or below, a price of 0, and a shopext without the station's extended id
  // are all NULL; a station extended id alone writes the (empty) shopext.
  d.id = "zeros";
  d.trk = -2;
  d.trannum = -5;
  d.price = 0;
  d.shopext = "s10";
  EXPECT_EQ(be_->_ins_order(d, status), 1);
  EXPECT_EQ(column("zeros", "row(trk, trannum, price, shopext)"), "(,,,)");
  d.id = "extended";
  d.shopext = "";
  d.StationExtendedId = "10";
  d.statusconfirmed = 5;
  EXPECT_EQ(be_->_ins_order(d, status), 1);
  EXPECT_EQ(column("extended", "shopext = '' AND statusconfirmed = 1"), "true");
}

TEST_F(OrderDb, FullRecordSqlTextsAndRoundTrip) {
  const OrderData d = full_order("T-1");
  EXPECT_EQ(order_sql::insert_order(conn(), d),
            "INSERT INTO orders(id, id_app, " + std::string(all_but_key) + ") VALUES ('T-1',1," +
                ts1("2021-03-04 05:06:07.123456") +
                ",2,500.0000,10,'s10',2,1,'AI-92','p1','92',52.3000,500.0000,9.5600,500.0000,11," +
                ts1("2021-03-04 05:16:07.000000") +
                ",'r1','ok',9.5000,496.8500,'c-1',77,'+79000000000','a@b.c','a92','Money',"
                "'OrderCreated',9.5000,496.8500,96.8500,100.0000,1,1,3," +
                ts2("04.03.2021 05:06:10") + "," + ts2("04.03.2021 05:15:00") + ")");
  EXPECT_EQ(
      order_sql::update_order(conn(), d),
      "UPDATE orders SET id = 'T-1', id_app = 1, timebeg = " + ts1("2021-03-04 05:06:07.123456") +
          ", ord_typ = 2, id_shop = 10, shopext = 's10', trk = 2, orderval = 500.0000"
          ", prodcod = 1, prodname = 'AI-92', priceid = 'p1', prodext = '92'"
          ", price = 52.3000, ord_sum = 500.0000, ord_vol = 9.5600, sumpaid = 500.0000"
          ", status = 11, timeend = " +
          ts1("2021-03-04 05:16:07.000000") +
          ", reasonid = 'r1' , reason = 'ok' , volume = 9.5000, summa = 496.8500"
          ", contractid = 'c-1', trannum = 77, user_phone = '+79000000000'"
          ", user_mail = 'a@b.c', prodident = 'a92', ordtypext = 'Money'"
          ", ordstatext = 'OrderCreated', volcompleted = 9.5000"
          ", sumpaidcompleted = 496.8500, sumpaidcardcompleted = 96.8500"
          ", sumpaidcard = 100.0000, statusint = 1, statusconfirmed = 1, errcode = 3"
          ", azstimebeg = " +
          ts2("04.03.2021 05:06:10") + ", azstimelast = " + ts2("04.03.2021 05:15:00") +
          " WHERE id = 'T-1' AND id_app = 1");
  EXPECT_EQ(order_sql::select_order(conn(), 1, "T-1"),
            "SELECT id, id_app, to_char(timebeg, 'YYYY-MM-DD HH24:MI:SS.US') as timebeg"
            ", ord_typ, orderval, id_shop, shopext, trk, prodcod, prodname, priceid, prodext"
            ", price, ord_sum, ord_vol, sumpaid, status, to_char(timeend, 'YYYY-MM-DD "
            "HH24:MI:SS.US') as timeend, reasonid, reason, volume, summa, contractid, trannum"
            ", user_phone, user_mail, prodident, ordtypext, ordstatext, volcompleted"
            ", sumpaidcompleted, sumpaidcardcompleted, sumpaidcard, statusint, statusconfirmed"
            ", errcode, to_char(azstimebeg, 'DD.MM.YYYY HH24:MI:SS') as azstimebeg"
            ", to_char(azstimelast, 'DD.MM.YYYY HH24:MI:SS') as azstimelast"
            " FROM orders WHERE id = 'T-1'   AND id_app = 1 LIMIT 1");

  store(d);
  OrderData read;
  int status = 0;
  EXPECT_EQ(be_->getOrder(1, "T-1", read, status), 1);
  EXPECT_EQ(status, PGRES_TUPLES_OK);
  expect_same_columns(read, d);
  EXPECT_EQ(read.StationExtendedId, "") << "not a column";

  // An update with every field changed stores every one of them.
  OrderData changed = full_order("T-1");
  changed.prodname = "AI-95";
  changed.price = 57.15;
  changed.trk = 3;
  changed.statusconfirmed = 0;
  changed.azstimelast = "04.03.2021 06:00:00";
  changed.reason = "changed";
  EXPECT_EQ(be_->_upd_order(changed, status), 1);
  OrderData again;
  EXPECT_EQ(be_->getOrder(1, "T-1", again, status), 1);
  expect_same_columns(again, changed);
}

TEST_F(OrderDb, UnsetFieldsNeverOverwriteOnUpdate) {
  store(full_order("U-1"));
  const std::string before = row_text("U-1");
  OrderData patch;
  patch.id = "U-1";
  patch.id_app = 1;
  patch.errcode = 3; // always written: the stored 3 again
  EXPECT_EQ(
      order_sql::update_order(conn(), patch),
      "UPDATE orders SET id = 'U-1', id_app = 1, errcode = 3 WHERE id = 'U-1' AND id_app = 1");
  int status = 0;
  EXPECT_EQ(be_->_upd_order(patch, status), 1);
  EXPECT_EQ(row_text("U-1"), before) << "trk 0, trannum 0 and price 0 are left out";

  patch.trannum = -4; // written on update, unlike on insert
  patch.statusconfirmed = 0;
  patch.errcode = 0;
  EXPECT_EQ(be_->_upd_order(patch, status), 1);
  EXPECT_EQ(column("U-1", "row(trannum, statusconfirmed, errcode, price, trk)"),
            "(-4,0,0,52.3000,2)");
}

TEST_F(OrderDb, ReasonTextNullIsSqlNull) {
  OrderData d = full_order("R-1");
  d.reasonid = "NULL";
  d.reason = "NULL";
  store(d);
  EXPECT_EQ(column("R-1", "row(reasonid, reason)"), "(,)");
  EXPECT_EQ(column("R-1", "num_nulls(reasonid, reason)"), "2");

  OrderData patch;
  patch.id = "R-1";
  patch.id_app = 1;
  patch.reasonid = "r2";
  patch.reason = "причина";
  int status = 0;
  EXPECT_EQ(be_->_upd_order(patch, status), 1);
  EXPECT_EQ(column("R-1", "reasonid || '|' || reason"), "r2|причина") << "no trailing blank";

  patch.reasonid = "NULL";
  patch.reason = "NULL";
  EXPECT_EQ(order_sql::update_order(conn(), patch),
            "UPDATE orders SET id = 'R-1', id_app = 1, reasonid = NULL, reason = NULL"
            ", errcode = 0 WHERE id = 'R-1' AND id_app = 1");
  EXPECT_EQ(be_->_upd_order(patch, status), 1);
  EXPECT_EQ(column("R-1", "num_nulls(reasonid, reason)"), "2");
  EXPECT_EQ(column("R-1", "price"), "52.3000");
}

// Every session of the backend runs in UTC, so a value read and written back stays the same
// wall-clock time even when the server's own zone is far from UTC.
TEST_F(OrderDb, TimestampsSurviveReadAndWriteBack) {
  EXPECT_STREQ(PQparameterStatus(conn(), "TimeZone"), "UTC");
  RecordProperty("server_zone", db_->value("SHOW TimeZone"));
  OrderData d;
  d.id = "TS-1";
  d.id_app = 1;
  d.timebeg = "2021-03-04 23:30:00.123456";
  d.timeend = "2021-03-05 00:15:07";
  d.azstimebeg = "04.03.2021 23:59:59";
  d.azstimelast = "05.03.2021 00:00:01";
  store(d);
  const std::string stored = "(\"2021-03-04 23:30:00.123456\",\"2021-03-05 00:15:07\","
                             "\"2021-03-04 23:59:59\",\"2021-03-05 00:00:01\")";
  EXPECT_EQ(column("TS-1", "row(timebeg, timeend, azstimebeg, azstimelast)"), stored);

  for (int round = 0; round < 2; ++round) {
    OrderData read;
    int status = 0;
    ASSERT_EQ(be_->getOrder(1, "TS-1", read, status), 1);
    EXPECT_EQ(read.timebeg, "2021-03-04 23:30:00.123456");
    EXPECT_EQ(read.timeend, "2021-03-05 00:15:07.000000");
    EXPECT_EQ(read.azstimebeg, "04.03.2021 23:59:59");
    EXPECT_EQ(read.azstimelast, "05.03.2021 00:00:01");
    EXPECT_EQ(be_->_upd_order(read, status), 1);
    EXPECT_EQ(column("TS-1", "row(timebeg, timeend, azstimebeg, azstimelast)"), stored)
        << "rewrite " << round;
  }
}

TEST_F(OrderDb, QuotesBackslashesAndCyrillicSurviveVerbatim) {
  store(full_order("victim"));
  const std::string victim = row_text("victim");
  const std::string id = "O'Brien \\ \"№1\" Заказ'; DELETE FROM orders; --";
  const std::string reason = "Причина: 'кавычки' и \\обратная\\ черта \\'";
  const std::string phone = "+7 (900) '123' \\x";
  OrderData d = full_order(id);
  d.reasonid = "id'\\";
  d.reason = reason;
  d.user_phone = phone;
  d.user_mail = "o'b@\\mail";
  d.contractid = "c'\\1";
  d.prodname = "АИ-95 'Премиум'";
  d.shopext = "s'\\";
  d.timebeg = "";
  store(d);
  EXPECT_EQ(order_count(), 2);

  OrderData read;
  int status = 0;
  ASSERT_EQ(be_->getOrder(1, id, read, status), 1);
  EXPECT_EQ(read.id, id);
  EXPECT_EQ(read.reason, reason);
  EXPECT_EQ(read.user_phone, phone);
  expect_same_columns(read, d);

  OrderData patch;
  patch.id = id;
  patch.id_app = 1;
  patch.reason = reason + "'";
  patch.user_phone = "\\'" + phone;
  EXPECT_EQ(be_->_upd_order(patch, status), 1);
  EXPECT_EQ(column(id, "reason"), reason + "'");
  EXPECT_EQ(column(id, "user_phone"), "\\'" + phone);

  EXPECT_EQ(be_->cancel_order(1, id, "отмена 'клиентом' \\", "UserCanceled"), PGRES_COMMAND_OK);
  EXPECT_EQ(column(id, "reason || '/' || status"), "отмена 'клиентом' \\/16");
  EXPECT_EQ(be_->set_transact(1, id, "42"), PGRES_COMMAND_OK);
  EXPECT_TRUE(content::record_volume(*be_, 1, id, 3.5, 3));
  EXPECT_TRUE(content::record_completion(*be_, 1, id, completion(4.25, 43, {1})));
  EXPECT_EQ(column(id, "row(trannum, volume, statusint)"), "(43,4.2500,3)");
  int shop = -1;
  int order_status = -1;
  EXPECT_TRUE(be_->check_order(1, id, shop, order_status));
  EXPECT_EQ(shop, 10);

  EXPECT_EQ(order_count(), 2);
  EXPECT_EQ(row_text("victim"), victim) << "no statement reached another order";
}

// libpq reads a statement up to a NUL byte; a text holding one must not be cut short there and
// so reach the order whose id is the part before it. Nor may a broken UTF-8 sequence carry a quote
// out of its literal.
TEST_F(OrderDb, TextsTheServerCannotTakeAreRefusedWhole) {
  log_lines logs;
  store(full_order("a"));
  const std::string before = row_text("a");
  const std::string cut("a\0b", 3);
  OrderData read;
  int status = 0;
  EXPECT_EQ(be_->getOrder(1, cut, read, status), 0);
  EXPECT_EQ(status, PGRES_FATAL_ERROR);
  EXPECT_EQ(read.price, 0) << "the order \"a\" was not read";
  OrderData patch = full_order(cut);
  patch.price = 1;
  EXPECT_EQ(be_->_upd_order(patch, status), 0);
  EXPECT_EQ(status, PGRES_FATAL_ERROR);
  EXPECT_EQ(logs.count("Database/UPDATE order", web::log_level::error,
                       "Ошибка обновления данных заказа (заказ : '" + cut +
                           "') : текст содержит нулевой байт"),
            1);
  EXPECT_EQ(be_->cancel_order(1, cut, "x", "UserCanceled"), PGRES_FATAL_ERROR);
  EXPECT_EQ(be_->cancel_order(1, "a", std::string("x\0y", 3), "UserCanceled"), PGRES_FATAL_ERROR);
  EXPECT_EQ(be_->set_transact(1, cut, "5"), PGRES_FATAL_ERROR);
  int shop = 0;
  EXPECT_FALSE(be_->check_order(1, cut, shop, status));

  // A lead byte before a quote: libpq copies the pair unescaped as one character, and the server
  // refuses the byte sequence before it reads the statement.
  OrderData invalid = full_order("a\xC0' OR true --");
  invalid.price = 2;
  EXPECT_EQ(be_->_upd_order(invalid, status), 0);
  EXPECT_EQ(status, PGRES_FATAL_ERROR);
  EXPECT_EQ(be_->cancel_order(1, "a", "\xC0', status = 99 --", "UserCanceled"), PGRES_FATAL_ERROR);
  EXPECT_EQ(row_text("a"), before);
}

TEST_F(OrderDb, SelectKeepsEarlierValuesForNullColumns) {
  OrderData sparse;
  sparse.id = "S-1";
  sparse.id_app = 1;
  sparse.price = 10;
  store(sparse);
  OrderData read;
  read.trk = 5;
  read.reason = "keep";
  read.statusint = 7;
  read.timebeg = "2020-01-01 00:00:00.000000";
  read.price = 1;
  int status = 0;
  EXPECT_EQ(be_->getOrder(1, "S-1", read, status), 1);
  EXPECT_EQ(read.trk, 5);
  EXPECT_EQ(read.reason, "keep");
  EXPECT_EQ(read.statusint, 7);
  EXPECT_EQ(read.timebeg, "2020-01-01 00:00:00.000000");
  EXPECT_DOUBLE_EQ(read.price, 10) << "a stored value replaces the earlier one";
  EXPECT_EQ(read.errcode, 0);

  OrderData missing;
  missing.trk = 5;
  EXPECT_EQ(be_->getOrder(1, "nope", missing, status), 0);
  EXPECT_EQ(status, PGRES_TUPLES_OK);
  EXPECT_EQ(be_->getOrder(2, "S-1", missing, status), 0) << "another application's order";
  EXPECT_EQ(missing.trk, 5);
}

// The schema rules such values out; should one appear anyway (a hand edit, a changed column),
// the field keeps its value and the worker goes on.
TEST_F(OrderDb, StrangeStoredValuesNeverThrow) {
  log_lines logs;
  store(full_order("odd"));
  db_->exec("ALTER TABLE orders ALTER COLUMN trk TYPE bigint, ALTER COLUMN id_shop TYPE bigint,"
            " ALTER COLUMN price TYPE text, ALTER COLUMN errcode TYPE text");
  db_->exec("UPDATE orders SET trk = 99999999999, id_shop = -99999999999, price = 'abc',"
            " errcode = '', volume = 'NaN', status = 12 WHERE id = 'odd'");
  OrderData read;
  read.trk = 4;
  read.id_shop = 8;
  read.price = 1.5;
  read.volume = 2.5;
  read.errcode = 6;
  int status = 0;
  EXPECT_EQ(be_->getOrder(1, "odd", read, status), 1);
  EXPECT_EQ(read.trk, 4);
  EXPECT_EQ(read.id_shop, 8);
  EXPECT_DOUBLE_EQ(read.price, 1.5);
  EXPECT_DOUBLE_EQ(read.volume, 2.5) << "NaN is not a value an order can carry";
  EXPECT_EQ(read.errcode, 6) << "an empty text counts as NULL";
  EXPECT_EQ(read.status, 12);
  EXPECT_EQ(read.reason, "ok");
  EXPECT_EQ(logs.count("Database/SELECT order", web::log_level::warning,
                       "Значение поля trk не является числом (заказ : 'odd') : '99999999999'"),
            1);
  EXPECT_EQ(logs.count("Database/SELECT order", web::log_level::warning, "Значение поля "), 4);

  int shop = 0;
  int order_status = 0;
  EXPECT_FALSE(be_->check_order(1, "odd", shop, order_status));
  EXPECT_EQ(shop, 0);
  EXPECT_EQ(order_status, 12);
}

TEST_F(OrderDb, SetOrderModes) {
  log_lines logs;
  OrderData d = full_order("M-1");
  int status = 0;
  EXPECT_EQ(be_->setOrder(d, status, content::QUERY_UPSERT), 1);
  EXPECT_EQ(status, PGRES_COMMAND_OK);
  EXPECT_EQ(column("M-1", "price"), "52.3000") << "mode 3 inserted the new id";
  d.price = 60;
  EXPECT_EQ(be_->setOrder(d, status, content::QUERY_UPSERT), 1);
  EXPECT_EQ(column("M-1", "price"), "60.0000") << "mode 3 updated the stored id";
  EXPECT_EQ(order_count(), 1);

  EXPECT_EQ(be_->setOrder(d, status, content::QUERY_INSERT), 0);
  EXPECT_EQ(status, PGRES_FATAL_ERROR);
  EXPECT_EQ(logs.count("Database/INSERT order", web::log_level::error,
                       "Ошибка добавления данных о заказе (заказ : 'M-1') : ERROR:  duplicate key"),
            1);
  OrderData absent = full_order("M-2");
  EXPECT_EQ(be_->setOrder(absent, status, content::QUERY_UPDATE), 1) << "no row is no failure";
  EXPECT_EQ(order_count(), 1);
  EXPECT_EQ(be_->setOrder(d, status, static_cast<content::QueryModeType>(9)), -1);

  for (auto mode : {content::QUERY_INSERT, content::QUERY_UPDATE, content::QUERY_UPSERT}) {
    EXPECT_EQ(offline_.setOrder(d, status, mode), -1) << mode;
    OrderData no_id = full_order("");
    EXPECT_EQ(be_->setOrder(no_id, status, mode), mode == content::QUERY_UPSERT ? -1 : 0);
    OrderData no_app = full_order("M-3");
    no_app.id_app = -1;
    EXPECT_EQ(be_->setOrder(no_app, status, mode), mode == content::QUERY_UPSERT ? -1 : 0);
    EXPECT_EQ(status, 0) << "nothing was asked of the server";
  }
  EXPECT_EQ(offline_._sel_order(d, status), -1);
  EXPECT_EQ(order_count(), 1);

  int code = -9;
  OrderData created;
  created.ordstatext = "OrderCreated";
  EXPECT_EQ(be_->process_order(created, code), 0);
  EXPECT_EQ(code, 1);
  created.ordstatext = "UserCanceled";
  EXPECT_EQ(be_->process_order(created, code), 0);
  EXPECT_EQ(code, 5);
  code = -9;
  EXPECT_EQ(offline_.process_order(created, code), -1);
  EXPECT_EQ(code, -9);
}

TEST_F(OrderDb, CancelOrder) {
  store(full_order("C-1"));
  store(full_order("C-2"));
  EXPECT_EQ(order_sql::cancel_order(conn(), 1, "C-1", "r", 16),
            "Update orders set status = 16, reason  = 'r', timeend = now() Where id_app = 1 and "
            "id = 'C-1'");
  EXPECT_EQ(be_->cancel_order(1, "C-1", "отменен", "UserCanceled"), PGRES_COMMAND_OK);
  EXPECT_EQ(column("C-1", "status || '/' || reason"), "16/отменен");
  EXPECT_EQ(column("C-1", "abs(extract(epoch FROM timeend - (now() AT TIME ZONE 'UTC'))) < 60"),
            "true")
      << "the end time is now, in UTC";
  EXPECT_EQ(be_->cancel_order(1, "C-2", "x", "StaionCanceled"), PGRES_COMMAND_OK);
  EXPECT_EQ(column("C-2", "status"), "4") << "an unknown status name falls back to 4";
  EXPECT_EQ(offline_.cancel_order(1, "C-1", "x", "UserCanceled"), -1);

  log_lines logs;
  db_->exec("ALTER TABLE orders RENAME TO orders_gone");
  EXPECT_EQ(be_->cancel_order(1, "C-1", "x", "UserCanceled"), PGRES_FATAL_ERROR);
  EXPECT_EQ(logs.count("Database/CANCEL order", web::log_level::error,
                       "Ошибка обновления статуса заказа (заказ : 'C-1') : ERROR:"),
            1);
}

// The one writer of a station's completion: only from the states it may come from, or from
// the busy state while no run holds the order's lock, and never by a time the server refuses.
TEST_F(OrderDb, CompleteOrder) {
  store(full_order("F-1")); // statusint 1
  OrderData other = full_order("F-1");
  other.id_app = 2;
  store(other);
  const std::string before = row_text("F-1");
  orvale_test::pg_conn_ptr run = db_->open_session();
  struct attempt {
    const char* what;
    content::station_completion c;
    bool lock_held;
    bool written;
  };
  content::station_completion bad_time = completion(10.5, 88, {1});
  bad_time.station_time = "32.13.2021 05:30:00";
  const attempt attempts[] = {
      {"a state it may not come from", completion(10.5, 88, {0, 2}), false, false},
      {"busy while a run holds the lock", completion(10.5, 88, {0}, 1), true, false},
      {"a time the server refuses", bad_time, false, false},
      {"busy once the run has ended", completion(10.5, 88, {0}, 1), false, true},
  };
  for (const auto& a : attempts) {
    if (a.lock_held) {
      orvale_test::pg_result_ptr held(
          PQexec(run.get(), "SELECT pg_advisory_lock(1, hashtext('F-1'))"));
      ASSERT_EQ(PQresultStatus(held.get()), PGRES_TUPLES_OK);
    }
    EXPECT_EQ(content::record_completion(*be_, 1, "F-1", a.c), a.written) << a.what;
    if (a.lock_held) {
      orvale_test::pg_result_ptr freed(
          PQexec(run.get(), "SELECT pg_advisory_unlock(1, hashtext('F-1'))"));
    }
    if (!a.written) {
      EXPECT_EQ(row_text("F-1"), before) << a.what;
    }
  }
  EXPECT_EQ(column("F-1", "row(volume, trannum, azstimelast, ordstatext, statusint, "
                          "statusconfirmed)"),
            "(10.5000,88,\"2021-03-04 05:30:00\",Completed,3,0)");
  EXPECT_EQ(column("F-1", "row(volume, statusint)", 2), "(9.5000,1)") << "another application's";
  EXPECT_FALSE(content::record_completion(offline_, 1, "F-1", completion(1, 1, {1})));
}

// The station's texts go into the statement as they are, so anything but a plain number or the
// exact time form is refused before a single byte goes to the server.
TEST_F(OrderDb, StationTextsAreCheckedBeforeAnySql) {
  store(full_order("V-1"));
  const std::string before = row_text("V-1");
  struct refused {
    std::function<int()> call;
    const char* channel;
    std::string log_start;
  };
  const std::string transact_text = "Ошибка обновления данных заказа (заказ : 'V-1') : ";
  std::vector<refused> cases;
  for (const char* trannum : {"", "12x", "2147483648", "1.5", "1 OR 1=1", "+5"}) {
    cases.push_back(
        {[=, this] { return be_->set_transact(1, "V-1", trannum); }, "Database/Set transaction",
         transact_text + "номер транзакции не является целым числом : '" + trannum + "'"});
  }
  for (const auto& c : cases) {
    log_lines logs;
    int result = 0;
    EXPECT_TRUE(sends_nothing([&] { result = c.call(); })) << c.log_start;
    EXPECT_EQ(result, PGRES_FATAL_ERROR) << c.log_start;
    EXPECT_EQ(logs.count(c.channel, web::log_level::error, c.log_start), 1) << c.log_start;
    EXPECT_EQ(logs.size(), 1u) << c.log_start;
  }
  EXPECT_EQ(row_text("V-1"), before);
}

TEST_F(OrderDb, VolumeAndTransactionNumber) {
  store(full_order("W-1"));
  EXPECT_EQ(order_sql::set_transact(conn(), 1, "W-1", 123),
            "Update orders set trannum = 123 Where id_app = 1 and id = 'W-1'");

  EXPECT_TRUE(content::record_volume(*be_, 1, "W-1", 3.25, 3));
  EXPECT_EQ(column("W-1", "row(volume, trannum)"), "(3.2500,77)");
  EXPECT_TRUE(content::record_volume(*be_, 1, "W-1", -1.5, 3));
  EXPECT_EQ(column("W-1", "volume"), "-1.5000");
  EXPECT_FALSE(content::record_volume(*be_, 1, "W-1", 2, 1)) << "the final state keeps its volume";
  EXPECT_EQ(column("W-1", "volume"), "-1.5000");
  EXPECT_EQ(be_->set_transact(1, "W-1", "123"), PGRES_COMMAND_OK);
  EXPECT_EQ(be_->set_transact(1, "W-1", " -124 "), PGRES_COMMAND_OK);
  EXPECT_EQ(column("W-1", "trannum"), "-124");
  EXPECT_FALSE(content::record_volume(offline_, 1, "W-1", 1, 3));
  EXPECT_EQ(offline_.set_transact(1, "W-1", "1"), -1);

  log_lines logs;
  db_->exec("ALTER TABLE orders RENAME TO orders_gone");
  EXPECT_FALSE(content::record_volume(*be_, 1, "W-1", 1, 3));
  EXPECT_EQ(be_->set_transact(1, "W-1", "1"), PGRES_FATAL_ERROR);
  EXPECT_EQ(logs.count("Database/Volume order", web::log_level::error,
                       "Ошибка обновления данных заказа (заказ : 'W-1') : ERROR:"),
            1);
  EXPECT_EQ(logs.count("Database/Set transaction", web::log_level::error,
                       "Ошибка обновления данных заказа (заказ : 'W-1') : ERROR:"),
            1);
}

// A step writes only the columns it sets, never the key or errcode, and only from its states.
TEST_F(OrderDb, StepUpdateTexts) {
  OrderData d;
  d.id = "P'1";
  d.id_app = 1;
  d.errcode = 5;
  EXPECT_EQ(order_sql::update_order_step(conn(), d, {1}), "") << "nothing set, nothing sent";
  d.statusint = 2;
  d.orderval = 7;
  d.trk = 3;
  d.ordstatext = "Accepted";
  struct step {
    std::vector<int> from;
    const char* states;
  };
  for (const auto& c : {step{{-1, 1}, "-1,1"}, step{{}, "NULL"}}) {
    EXPECT_EQ(order_sql::update_order_step(conn(), d, c.from),
              "UPDATE orders SET trk = 3, orderval = 7.0000, ordstatext = 'Accepted', "
              "statusint = 2 Where id_app = 1 and id = 'P''1' AND coalesce(statusint, -1) IN (" +
                  std::string(c.states) + ")");
  }
}

TEST_F(OrderDb, CheckOrder) {
  EXPECT_EQ(order_sql::check_order(conn(), 1, "K-1"),
            "SELECT o.id, o.id_shop, o.status FROM orders o WHERE o.id_app = 1 AND o.id = 'K-1'");
  store(full_order("K-1"));
  OrderData no_station;
  no_station.id = "K-2";
  no_station.id_app = 1;
  no_station.status = 16;
  store(no_station);

  int shop = -1;
  int status = -1;
  EXPECT_TRUE(be_->check_order(1, "K-1", shop, status));
  EXPECT_EQ(shop, 10);
  EXPECT_EQ(status, 11);
  shop = -1;
  EXPECT_FALSE(be_->check_order(1, "K-2", shop, status));
  EXPECT_EQ(shop, -1) << "NULL leaves the out-value";
  EXPECT_EQ(status, 16);
  shop = 0;
  status = 99;
  EXPECT_FALSE(be_->check_order(1, "K-3", shop, status));
  EXPECT_FALSE(be_->check_order(2, "K-1", shop, status));
  EXPECT_FALSE(be_->check_order(1, "", shop, status));
  EXPECT_FALSE(offline_.check_order(1, "K-1", shop, status));
  EXPECT_EQ(shop, 0);
  EXPECT_EQ(status, 99);

  log_lines logs;
  db_->exec("ALTER TABLE orders RENAME TO orders_gone");
  EXPECT_FALSE(be_->check_order(1, "K-1", shop, status));
  EXPECT_EQ(logs.count("Database/Check order", web::log_level::debug,
                       "Ошибка проверки данных заказа ( заказ : 'K-1') : ERROR:"),
            1);
}

TEST_F(OrderDb, ReadAndWriteFailuresAreLogged) {
  log_lines logs;
  db_->exec("ALTER TABLE orders RENAME TO orders_gone");
  OrderData d = full_order("X-1");
  int status = 0;
  EXPECT_EQ(be_->getOrder(1, "X-1", d, status), 0);
  EXPECT_EQ(status, PGRES_FATAL_ERROR);
  EXPECT_EQ(be_->setOrder(d, status, content::QUERY_UPSERT), -1);
  EXPECT_EQ(be_->_ins_order(d, status), 0);
  EXPECT_EQ(status, PGRES_FATAL_ERROR);
  EXPECT_EQ(be_->_upd_order(d, status), 0);
  EXPECT_EQ(logs.count("Database/SELECT order", web::log_level::debug,
                       "Ошибка получения данных заказа : (заказ : 'X-1') : ERROR:"),
            2);
  EXPECT_EQ(logs.count("Database/INSERT order", web::log_level::error,
                       "Ошибка добавления данных о заказе (заказ : 'X-1') : ERROR:"),
            1);
  EXPECT_EQ(logs.count("Database/UPDATE order", web::log_level::error,
                       "Ошибка обновления данных заказа (заказ : 'X-1') : ERROR:"),
            1);
}

} // namespace

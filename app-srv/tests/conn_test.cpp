// Backend record rules that need no server.
#include "conn_pg.h"

#include <gtest/gtest.h>

namespace {

TEST(Backend, RecordDefaultsAndConnectionText) {
  content::DBConnection_t rec;
  rec.host = "";
  rec.port = 0;
  rec.connect_timeout = 0;
  rec.dbname = "orders";
  content::PGBackend be(rec);
  EXPECT_EQ(be.parameters().host, "localhost");
  EXPECT_EQ(be.parameters().port, 5432);
  EXPECT_EQ(be.parameters().connect_timeout, 5);
  EXPECT_EQ(be.connStr(), "dbname=orders host=localhost port=5432 connect_timeout=5");

  rec.user = "gw";
  rec.password = "secret words";
  rec.host = "db.local";
  rec.port = 6432;
  rec.connect_timeout = 2;
  be.set_dbconn(rec);
  EXPECT_EQ(be.connStr(), "user=gw password=*** dbname=orders host=db.local port=6432 "
                          "connect_timeout=2")
      << "logs never show the password";
  EXPECT_EQ(content::native_connection(be), nullptr);
  be.finish();
  be.finish(); // twice is harmless
  EXPECT_EQ(content::PGBackend()._get_fvalue(nullptr, "id", 0), "");
}

TEST(Backend, OneLineErrorTexts) {
  EXPECT_EQ(content::one_line("FATAL:  password failed\nDETAIL: x\n"),
            "FATAL:  password failed DETAIL: x");
  EXPECT_EQ(content::one_line(nullptr), "");
}

TEST(StationLink, BaseUrl) {
  content::AzsConnInfo none;
  EXPECT_EQ(none.endpoint_str(), "");
  EXPECT_EQ(none.id(), -1);
}

} // namespace

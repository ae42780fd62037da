// Local data access: connection records, the PostgreSQL backend and the lookups of who is calling
// (applications) and where a station's controller is.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// libpq's handles, complete only inside the data layer.
struct pg_conn;
struct pg_result;

namespace content {

// A C library's object owned by a unique_ptr that frees it with the library's own function.
template <auto Free> struct c_free {
  template <class T> void operator()(T* p) const noexcept { Free(p); }
};

struct pg_conn_close {
  void operator()(pg_conn* conn) const noexcept;
};
// An open connection, closed with its owner; opaque outside the data layer.
using pg_conn_ptr = std::unique_ptr<pg_conn, pg_conn_close>;

// libpq connection statuses and result codes as the data access reports them (their values are
// checked against libpq's where the data layer includes it).
constexpr int CONNECTION_STATUS_OK = 0;
constexpr int RESULT_STATUS_COMMAND_OK = 1;
constexpr int RESULT_STATUS_TUPLES_OK = 2;
constexpr int RESULT_STATUS_FATAL_ERROR = 7;

// How setPrice (and the order writes) store a row.
enum QueryModeType { QUERY_INSERT = 1, QUERY_UPDATE = 2, QUERY_UPSERT = 3 };

// One `orders` row in memory plus four values that only live during a request. For the SQL
// builders a field is not set while it holds -1 (integers), 0 (doubles) or "" (texts); trk and
// trannum count as not set at 0 as well.
struct OrderData {
  std::string id;
  std::string ExtendedId; // the aggregator's "ExtendedId"; non-empty marks a post-paid order
  std::string timebeg;    // YYYY-MM-DD HH24:MI:SS.US, in UTC
  std::string ordtypext;
  double orderval = 0;
  std::string shopext;
  std::string StationExtendedId; // the local station id as the aggregator sent it
  int trk = 0;
  std::string prodext;
  std::string prodname;
  std::string prodident;
  std::string priceid;
  double price = 0;
  double ord_sum = 0;
  double ord_vol = 0;
  double sumpaid = 0;
  std::string ordstatext;
  std::string timeend;  // as timebeg
  std::string reasonid; // the text "NULL" stores SQL NULL
  std::string reason;   // likewise
  double volcompleted = 0;
  double sumpaidcardcompleted = 0;
  double sumpaidcompleted = 0;
  double sumpaidcard = 0;
  std::string contractid;
  std::string user_phone;
  std::string user_mail;
  int id_app = -1;
  int ord_typ = -1;
  int id_shop = -1;
  int prodcod = -1;
  int status = -1;
  int statusint = -1;
  int statusconfirmed = -1; // -1 not set, 0 not acknowledged, anything else acknowledged
  std::string azstimebeg;   // DD.MM.YYYY HH24:MI:SS, the station's clock
  std::string azstimelast;  // likewise
  double volume = 0;
  double summa = 0;
  int trannum = 0;
  int errcode = 0;
  double current_price = 0; // getPrice for the order's station, product and dispenser
  bool postpay = false;
};

struct DBConnection_t {
  std::string user;
  std::string password;
  std::string dbname;
  std::string host = "localhost";
  int port = 5432;
  int connect_timeout = 5;      // s
  int statement_timeout = 0;    // s a statement may run before the server cancels it; 0: none
  int pool_size = 0;            // open connections kept for reuse; 0: one per request
  int pool_max_idle = 300;      // s an unused pooled connection is kept
  int pool_max_lifetime = 3600; // s a pooled connection is used at most
  int pool_open_at_start = 0;   // pooled connections opened before the first request needs one
};

class connection_pool;
class PGBackend;

class AppTypeInfo {
public:
  void authAppInfo(const PGBackend& db, const std::string& key);
  void getAppTypeValues(const PGBackend& db, const std::string& sname);
  void getAppTypeValues(const PGBackend& db, int id);

  int id() const { return id_; }
  const std::string& sname() const { return sname_; }
  const std::string& key() const { return key_; }
  const std::string& description() const { return description_; }

private:
  void fill(const PGBackend& db, const char* sql, const std::string& value, const char* error_text);

  int id_ = -1;
  std::string sname_;
  std::string key_;
  std::string description_;
  friend class PGBackend; // know_caller
};

// One libpq connection for one request. Every session runs in UTC: order timestamps are written
// through to_timestamp(...) at time zone 'Etc/UTC' and read back as text, so any other session
// zone would shift them at every rewrite.
class PGBackend {
public:
  PGBackend();
  // With a pool, open() leases one of its connections and finish() gives it back.
  explicit PGBackend(const DBConnection_t& record, std::shared_ptr<connection_pool> pool = nullptr);
  PGBackend(const PGBackend&) = delete;
  PGBackend& operator=(const PGBackend&) = delete;
  ~PGBackend();

  void set_dbconn(const DBConnection_t& record);
  // The application_name of the sessions it opens from now on ("orvale" unless set), so that an
  // operator tells a session's purpose apart in pg_stat_activity.
  void name_sessions(std::string application_name) { application_name_ = std::move(application_name); }
  // A caller that retries on its own and says so once keeps failed connects out of the log; the
  // reason of the last one stays readable.
  void quiet_connect_failures() { quiet_connect_failures_ = true; }
  const std::string& connect_failure() const { return connect_failure_; }
  // True while the backend holds an open (or at least started) connection.
  bool connected() const { return conn_ != nullptr; }
  const DBConnection_t& parameters() const { return params_; }

  // The connection text for logs; the password is masked.
  std::string connStr() const;
  // Connects with a libpq connection text; the record's time-out and the UTC session zone are
  // added where the text does not set them. Returns the libpq connection status (0 is open).
  int connect(const std::string& conninfo);
  // Connects from the record's fields. A backend of a record with a pool never connects on its
  // own: only open() does, by leasing, so that pool_size bounds the sessions.
  int connect();
  // The handlers' sequence: a first attempt, and a second one when the first failed (or a
  // lease from the pool, which opens connections the same way).
  int open();
  // Opens the pool's first pool_open_at_start connections now, so that the first requests after a
  // start do not each wait for a connection of their own; stops at the first that fails (logged).
  // The number of the pool's connections open then; 0 without a pool.
  int open_pool_ahead();
  int reconnect();
  void finish();
  void clear() { finish(); }
  // The request runs nothing but SELECTs without session-level side effects: a pooled
  // connection then goes back without a reset and keeps the statements prepared on it.
  void promise_plain_reads();
  // See pooled_session::promise_transaction_work; nothing for a connection of its own.
  void promise_transaction_work();
  // A new order's lookups of its status, station, station link, order type, product and stored
  // row, read ahead in one round trip on a leased session outside a transaction; the checks
  // that make the same statements later in the lease take these results instead. Nothing
  // otherwise. With `try_lock`, the same round trip first reads the stored row once, then tries
  // the order's session lock (as content::lock_order does): true when it was taken, which the
  // lock's first try then takes from there; when it was not, only that first read is kept, the
  // rest having been read without the lock.
  bool prefetch_order_lookups(int id_app, const std::string& order_id, const std::string& status,
                              const std::string& station, const std::string& order_type,
                              const std::string& product, bool try_lock = false);
  // A caller whose key the process found already (its cache of keys, which the database's change
  // announcements keep current): authAppInfo answers it in this lease without a round trip, with
  // its id and key only.
  void know_caller(const std::string& key, int id_app) const;
  // See pooled_session::took_session_lock; nothing for a connection of its own.
  void took_session_lock();
  void released_session_lock();

  static std::string _get_fvalue(const pg_result* result, const std::string& field, int row);

  // Reference lookups and prices. Every value is bound as a parameter; results as documented
  // for each (-1 / "" / 0 / false when not connected, not found or failed).
  int check_azs(const std::string& id);
  bool check_azs_conf(const std::string& id, const std::string& trk);
  std::string getProductMap(int id_app, int prodcod);
  int getProductId(int id_app, const std::string& prodmap);
  int getOrderTypeId(int id_app, const std::string& name);
  int getStatusTypeId(int id_app, const std::string& name);
  std::string getOrderName(int id_app, int id);
  std::string getStatusName(int id_app, int id);
  int getTrkStatus(int id_shop, int prodcod, int trk);
  double getPrice(int id_shop, int prodcod, int trk);
  int _sel_prd_price(int id_shop, int prodcod, double& price, int& status);
  int _ins_prd_price(int id_shop, int prodcod, double price, int& status);
  int _upd_prd_price(int id_shop, int prodcod, double price, int& status);
  int setPrice(int id_shop, int prodcod, double price, int& status, QueryModeType mode);

  // Orders. Texts are escaped into quoted literals and the transaction number the station sends
  // is checked before it reaches a statement. Results: rows found
  // or 1 written, 0 failed or refused, -1 not connected; `status` gets the libpq result status.
  int _sel_order(OrderData& d, int& status);
  int _ins_order(OrderData& d, int& status);
  int _upd_order(OrderData& d, int& status);
  int getOrder(int id_app, const std::string& id, OrderData& d, int& status);
  int setOrder(OrderData& d, int& status, QueryModeType mode);
  int process_order(OrderData& d, int& out);
  // These two return the libpq result status of their update (1 is success), -1 when not
  // connected and RESULT_STATUS_FATAL_ERROR for a value refused before any SQL.
  int cancel_order(int id_app, const std::string& id, const std::string& reason,
                   const std::string& status_name);
  int set_transact(int id_app, const std::string& id, const std::string& trannum);
  bool check_order(int id_app, const std::string& id, int& id_shop, int& status);
  // One step of an order's run: only the columns `d` sets (its status type resolved from its
  // status name), and only while the stored internal status is one of `from` (-1 for NULL).
  // 1 written, 0 when the order is in none of them or has no row, -1 when the statement failed
  // or there is no connection, -2 when the status name is not one of the application's
  // (`failure` then holds the reason). With `commit`, the open transaction's COMMIT goes in the
  // same round trip, and the transaction is over once this returns, committed or not (-1 when the
  // COMMIT failed; with -2 nothing was sent and it is still open).
  int write_order_step(OrderData d, const std::vector<int>& from, std::string& failure,
                       bool commit = false);
  // The stored internal status, -1 for NULL; false when it cannot be read or there is no row.
  bool read_order_status(int id_app, const std::string& id, int& statusint);

private:
  friend pg_conn* native_connection(const PGBackend& backend);

  // write_order_step's statement (none when empty) and the COMMIT, in one round trip.
  int write_committing(const std::string& sql, std::string& failure);

  int connect_with(const char* const* keywords, const char* const* values);
  bool poll_connection(std::string& failure);
  void report_connect_failure(const std::string& reason);
  int open_direct();
  pg_conn_ptr open_for_pool();
  std::string conninfo() const; // the unmasked text, values quoted for libpq
  std::string session_options() const;

  pg_conn_ptr conn_;
  DBConnection_t params_;
  std::shared_ptr<connection_pool> pool_;
  std::chrono::steady_clock::time_point opened_; // of a leased connection
  bool leased_ = false;
  bool opening_for_pool_ = false; // a pooled record connects only while its pool opens a session
  std::string application_name_ = "orvale";
  bool quiet_connect_failures_ = false;
  std::string connect_failure_;
  // The status ids this lease has looked up: an order event asks for the same one up to three
  // times. Gone with the lease, so a change of the table shows at the next request.
  std::map<std::pair<int, std::string>, int> status_type_ids_;
  // Likewise the applications found by key: an order event looks its caller up twice.
  mutable std::map<std::string, AppTypeInfo> apps_by_key_;
  friend class AppTypeInfo;
};


class AzsConnInfo {
public:
  void getAzsConnValues(const PGBackend& db, const std::string& pass);
  void getAzsConnValues(const PGBackend& db, int id_shop);

  int id() const { return id_; }
  int port() const { return port_; }
  const std::string& addr() const { return addr_; }
  const std::string& key() const { return key_; }
  bool ssl() const { return ssl_; }
  // The controller's base URL ("http[s]://addr[:port]/api/azstank"), or "" without a link.
  std::string endpoint_str() const;

private:
  void fill(const PGBackend& db, const char* sql, const std::string& value, const char* channel);

  int id_ = -1;
  int port_ = 0;
  std::string addr_;
  std::string key_;
  bool ssl_ = false;
};

} // namespace content

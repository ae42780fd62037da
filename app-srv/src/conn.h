// Local data access: connection records, the PostgreSQL backend and the lookups of who is calling
// (applications) and where a station's controller is.
#pragma once

#include <memory>
#include <string>

#include <libpq-fe.h>

namespace content {

template <auto Free> struct c_free {
  template <class T> void operator()(T* p) const noexcept { Free(p); }
};
using pg_conn_ptr = std::unique_ptr<PGconn, c_free<PQfinish>>;
using pg_result_ptr = std::unique_ptr<PGresult, c_free<PQclear>>;

// libpq connection statuses and result codes as the data access reports them.
constexpr int CONNECTION_STATUS_OK = CONNECTION_OK;

// How setPrice (and the order writes) store a row.
enum QueryModeType { QUERY_INSERT = 1, QUERY_UPDATE = 2, QUERY_UPSERT = 3 };

struct DBConnection_t {
  std::string user;
  std::string password;
  std::string dbname;
  std::string host = "localhost";
  int port = 5432;
  int connect_timeout = 5; // s
};

// One libpq connection for one request. Every session runs in UTC: order timestamps are written
// through to_timestamp(...) at time zone 'Etc/UTC' and read back as text, so any other session
// zone would shift them at every rewrite.
class PGBackend {
public:
  PGBackend();
  explicit PGBackend(const DBConnection_t& record);
  PGBackend(const PGBackend&) = delete;
  PGBackend& operator=(const PGBackend&) = delete;
  ~PGBackend() = default;

  void set_dbconn(const DBConnection_t& record);
  PGconn* connection() const { return conn_.get(); }
  const DBConnection_t& parameters() const { return params_; }

  // The connection text for logs; the password is masked.
  std::string connStr() const;
  // Connects with a libpq connection text; the record's time-out and the UTC session zone are
  // added where the text does not set them. Returns the libpq connection status (0 is open).
  int connect(const std::string& conninfo);
  // Connects from the record's fields.
  int connect();
  // The handlers' sequence: a first attempt, and a second one when the first failed.
  int open();
  int reconnect();
  void finish();
  void clear() { finish(); }

  static std::string _get_fvalue(const PGresult* result, const std::string& field, int row);

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

private:
  int connect_with(const char* const* keywords, const char* const* values);
  bool poll_connection(std::string& failure);
  std::string conninfo() const; // the unmasked text, values quoted for libpq

  pg_conn_ptr conn_;
  DBConnection_t params_;
};

class AppTypeInfo {
public:
  void authAppInfo(PGconn* conn, const std::string& key);
  void getAppTypeValues(PGconn* conn, const std::string& sname);
  void getAppTypeValues(PGconn* conn, int id);

  int id() const { return id_; }
  const std::string& sname() const { return sname_; }
  const std::string& key() const { return key_; }
  const std::string& description() const { return description_; }

private:
  void fill(PGconn* conn, const char* sql, const std::string& value, const char* error_text);

  int id_ = -1;
  std::string sname_;
  std::string key_;
  std::string description_;
};

class AzsConnInfo {
public:
  void getAzsConnValues(PGconn* conn, const std::string& pass);
  void getAzsConnValues(PGconn* conn, int id_shop);

  int id() const { return id_; }
  int port() const { return port_; }
  const std::string& addr() const { return addr_; }
  const std::string& key() const { return key_; }
  bool ssl() const { return ssl_; }
  // The controller's base URL ("http[s]://addr[:port]/api/azstank"), or "" without a link.
  std::string endpoint_str() const;

private:
  void fill(PGconn* conn, const char* sql, const std::string& value, const char* channel);

  int id_ = -1;
  int port_ = 0;
  std::string addr_;
  std::string key_;
  bool ssl_ = false;
};

// Runs one statement with text parameters; never null (libpq's out-of-memory result is mapped to
// a fatal-error result by the caller's status check).
pg_result_ptr exec_params(PGconn* conn, const char* sql, std::initializer_list<std::string> params);

// libpq's error texts end with a line break; logs want one line.
std::string one_line(const char* text);

} // namespace content

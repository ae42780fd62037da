// The stored jobs' statements.
#include "conn_jobs.h"

#include <cstdlib>
#include <cstring>

#include "conn_order_sql.h"
#include "conn_pg.h"
#include "conn_session.h"
#include "str.h"
#include "web/json.h"
#include "web/log.h"

namespace content {
namespace {

constexpr const char* channel = "orvale/jobs";

std::string millis_text(std::chrono::milliseconds ms) { return std::to_string(ms.count()); }

std::string ids_text(const std::vector<std::int64_t>& ids) {
  std::string text = "{";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    text += (i == 0 ? "" : ",") + std::to_string(ids[i]);
  }
  return text + "}";
}

bool failed(PGconn* conn, const pg_result_ptr& res, ExecStatusType expected, const char* what) {
  if (reached(res, expected)) {
    return false;
  }
  LOG(channel, error, "Ошибка БД (" << what << ") : " << server_text(conn, res.get()));
  return true;
}

// {"peer": room, ...} as the claims read it.
std::string rooms_text(const peer_room& room) {
  web::json::object_ptr rooms = web::json::make_object();
  for (std::size_t i = 0; i < room.peers.size() && i < room.room.size(); ++i) {
    rooms->set(room.peers[i], room.room[i]);
  }
  return web::json::write(rooms);
}

std::int64_t to_int64(const char* text) { return std::strtoll(text, nullptr, 10); }

// Replaces the args of a job of the same kind and order that has not started yet.
constexpr const char* update_waiting_sql =
    "UPDATE orvale_jobs SET args = $4::jsonb, updated_at = now()"
    " WHERE id = (SELECT id FROM orvale_jobs WHERE kind = $1 AND id_app = $2::integer"
    " AND order_id = $3 AND state = 'scheduled' ORDER BY id DESC LIMIT 1 FOR UPDATE)"
    " RETURNING id";

constexpr const char* insert_sql =
    "INSERT INTO orvale_jobs (kind, id_app, order_id, args, peer, due_at)"
    " VALUES ($1, $2::integer, $3, $4::jsonb, $5, now() + $6::bigint * interval '1 millisecond')"
    " RETURNING id";

// The next step of a job that ends done, booked with that end in one statement. When nothing of
// its order but the ending job is unfinished, the ending job's row becomes the next step, running
// at once under the owner's lease: nothing can come between them in the order's sequence, and one
// row rewritten costs the queue less than a row booked and another ended. Otherwise the step is
// booked to wait its turn and the ending job is done. A job no longer held fails the statement,
// like the ends below.
constexpr const char* chain_sql =
    "WITH f AS (SELECT NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = $2::integer"
    "   AND o.order_id = $3 AND o.state IN ('scheduled', 'running') AND o.id <> $6::bigint)"
    "   AS free),"
    " advanced AS (UPDATE orvale_jobs j SET kind = $1, args = $4::jsonb, peer = $5, due_at = now(),"
    "  attempts = 1, last_error = NULL,"
    "  lease_until = now() + $8::bigint * interval '1 millisecond',"
    "  created_at = now(), updated_at = now()"
    "  FROM f WHERE f.free AND j.id = $6::bigint AND j.owner = $7 AND j.state = 'running'"
    "  RETURNING j.id),"
    " booked AS (INSERT INTO orvale_jobs (kind, id_app, order_id, args, peer, due_at)"
    "  SELECT $1, $2::integer, $3, $4::jsonb, $5, now() FROM f WHERE NOT f.free RETURNING id),"
    " ended AS (UPDATE orvale_jobs j SET state = 'done',"
    "  last_error = coalesce(nullif($9, ''), j.last_error), owner = NULL, lease_until = NULL,"
    "  updated_at = now()"
    "  FROM f WHERE NOT f.free AND j.id = $6::bigint AND j.owner = $7 AND j.state = 'running'"
    "  RETURNING 1)"
    " SELECT coalesce((SELECT id FROM advanced), (SELECT id FROM booked)),"
    "  EXISTS (SELECT 1 FROM advanced),"
    "  1 / ((SELECT count(*) FROM advanced) + (SELECT count(*) FROM ended))::integer";

// Booked outside a worker: running at once only when nothing of its order is unfinished and no
// job of its peer is waiting for a claim, so that it never overtakes the peer's backlog.
constexpr const char* insert_held_sql =
    "INSERT INTO orvale_jobs (kind, id_app, order_id, args, peer, due_at, state, owner,"
    " lease_until, attempts)"
    " SELECT $1, $2::integer, $3, $4::jsonb, $5, now(),"
    "  CASE WHEN f.free THEN 'running' ELSE 'scheduled' END, CASE WHEN f.free THEN $6 END,"
    "  CASE WHEN f.free THEN now() + $7::bigint * interval '1 millisecond' END,"
    "  CASE WHEN f.free THEN 1 ELSE 0 END"
    " FROM (SELECT NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = $2::integer"
    "   AND o.order_id = $3 AND o.state IN ('scheduled', 'running'))"
    "   AND NOT EXISTS (SELECT 1 FROM orvale_jobs w WHERE w.state = 'scheduled' AND w.peer = $5"
    "   AND w.due_at <= now()) AS free) f"
    " RETURNING id, state = 'running'";

// Candidates first, unlocked: per peer that has room, the soonest due of its jobs along the
// (peer, due_at) index, each the oldest unfinished job of its order and none of its order
// running under a live lease (one order's jobs never overlap and run in the order they were
// booked: a station's relay is booked without the order's lock, so a step booked running may
// have a later id than a relay that committed after it); a peer without room is never read,
// however many of its jobs wait. The distinct peers come from a skip scan of that index. Jobs
// whose leases ran out are taken over under the same rule, but never the claiming process's own.
// Then the ones no other process has locked meanwhile, rechecked on their newest version.
constexpr const char* claim_sql =
    "WITH RECURSIVE peers AS ("
    "  (SELECT j.peer FROM orvale_jobs j WHERE j.state = 'scheduled' ORDER BY j.peer LIMIT 1)"
    "  UNION ALL"
    "  SELECT (SELECT j.peer FROM orvale_jobs j WHERE j.state = 'scheduled' AND j.peer > p.peer"
    "          ORDER BY j.peer LIMIT 1)"
    "  FROM peers p WHERE p.peer IS NOT NULL),"
    " candidates AS ("
    "  (SELECT c.id, c.peer, c.due_at FROM peers p CROSS JOIN LATERAL ("
    "     SELECT j.id, j.peer, j.due_at FROM orvale_jobs j"
    "     WHERE j.state = 'scheduled' AND j.peer = p.peer AND j.due_at <= now()"
    "       AND NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = j.id_app"
    "         AND o.order_id = j.order_id AND o.state IN ('scheduled', 'running')"
    "         AND (o.id < j.id OR (o.state = 'running' AND o.lease_until >= now())))"
    "     ORDER BY j.due_at, j.id"
    "     LIMIT least(coalesce(($4::jsonb ->> p.peer)::integer, $5::integer), $3::integer)) c"
    "   WHERE p.peer IS NOT NULL AND coalesce(($4::jsonb ->> p.peer)::integer, $5::integer) > 0)"
    "  UNION ALL"
    "  (SELECT j.id, j.peer, j.due_at FROM orvale_jobs j"
    "   WHERE j.state = 'running' AND j.lease_until < now() AND j.id <> ALL ($6::bigint[])"
    "     AND coalesce(($4::jsonb ->> j.peer)::integer, $5::integer) > 0"
    "     AND NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = j.id_app"
    "       AND o.order_id = j.order_id AND o.id <> j.id AND o.state IN ('scheduled', 'running')"
    "       AND (o.id < j.id OR (o.state = 'running' AND o.lease_until >= now())))"
    "   ORDER BY j.lease_until LIMIT $3::integer)),"
    " ranked AS ("
    "  SELECT id, peer, row_number() OVER (PARTITION BY peer ORDER BY due_at, id) AS nth"
    "  FROM candidates),"
    " picked AS ("
    "  SELECT j.id, j.state AS was FROM orvale_jobs j"
    "  WHERE j.id = ANY (ARRAY(SELECT c.id FROM ranked c"
    "      WHERE c.nth <= coalesce(($4::jsonb ->> c.peer)::integer, $5::integer)))"
    "    AND ((j.state = 'scheduled' AND j.due_at <= now())"
    "      OR (j.state = 'running' AND j.lease_until < now()))"
    "  ORDER BY j.due_at, j.id LIMIT $3::integer"
    "  FOR UPDATE OF j SKIP LOCKED)"
    " UPDATE orvale_jobs j SET state = 'running', owner = $1,"
    "  lease_until = now() + $2::bigint * interval '1 millisecond',"
    "  attempts = j.attempts + 1, updated_at = now()"
    " FROM picked p WHERE j.id = p.id"
    " RETURNING j.id, j.kind, j.id_app, j.order_id, j.args::text, j.peer, j.attempts,"
    "  (extract(epoch FROM now() - j.created_at) * 1000)::bigint, p.was = 'running'";

// A job waiting behind an earlier unfinished job of its order, or a running one, is left out:
// that job's end announces it. So are the peers without room (the skip scan of the claim): a
// worker's end looks again once its peer has room, and a peer's backlog must not make the
// dispatcher look every few milliseconds for work it may not take. Nothing waiting gives NULL,
// not 0 (greatest() passes over a NULL), which would make it look every few milliseconds for
// nothing; nor do the process's own running jobs, which its claims never take over.
constexpr const char* next_due_sql =
    "WITH RECURSIVE peers AS ("
    "  (SELECT j.peer FROM orvale_jobs j WHERE j.state = 'scheduled' ORDER BY j.peer LIMIT 1)"
    "  UNION ALL"
    "  SELECT (SELECT j.peer FROM orvale_jobs j WHERE j.state = 'scheduled' AND j.peer > p.peer"
    "          ORDER BY j.peer LIMIT 1)"
    "  FROM peers p WHERE p.peer IS NOT NULL)"
    " SELECT CASE WHEN min(t) IS NOT NULL"
    "  THEN greatest(0, (extract(epoch FROM min(t) - clock_timestamp()) * 1000)::bigint) END FROM ("
    "  SELECT (SELECT j.due_at FROM orvale_jobs j WHERE j.state = 'scheduled' AND j.peer = p.peer"
    "     AND NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = j.id_app"
    "       AND o.order_id = j.order_id AND o.state IN ('scheduled', 'running')"
    "       AND (o.id < j.id OR (o.state = 'running' AND o.lease_until >= now())))"
    "     ORDER BY j.due_at, j.id LIMIT 1) AS t"
    "  FROM peers p"
    "  WHERE p.peer IS NOT NULL AND coalesce(($1::jsonb ->> p.peer)::integer, $2::integer) > 0"
    "  UNION ALL SELECT min(j.lease_until) FROM orvale_jobs j"
    "   WHERE j.state = 'running' AND j.id <> ALL ($3::bigint[])"
    "   AND NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = j.id_app"
    "     AND o.order_id = j.order_id AND o.id <> j.id AND o.state IN ('scheduled', 'running')"
    "     AND (o.id < j.id OR (o.state = 'running' AND o.lease_until >= now())))) n";

constexpr const char* renew_sql =
    "UPDATE orvale_jobs SET lease_until = now() + $3::bigint * interval '1 millisecond'"
    " WHERE id = ANY ($2::bigint[]) AND owner = $1 AND state = 'running'";

// The ends as a pipeline sends them: a job no longer held fails the statement (a division by the
// zero rows changed), so that the COMMIT after it in the same pipeline is skipped.
constexpr const char* end_held_sql =
    "WITH e AS (UPDATE orvale_jobs SET state = $3, last_error = coalesce(nullif($4, ''), last_error),"
    " owner = NULL, lease_until = NULL, updated_at = now()"
    " WHERE id = $1::bigint AND owner = $2 AND state = 'running' RETURNING 1)"
    " SELECT 1 / count(*)::integer FROM e";

constexpr const char* retry_held_sql =
    "WITH e AS (UPDATE orvale_jobs SET state = 'scheduled', last_error = $4, owner = NULL,"
    " lease_until = NULL, updated_at = now(), args = coalesce($5::jsonb, args),"
    " due_at = now() + $3::bigint * interval '1 millisecond'"
    " WHERE id = $1::bigint AND owner = $2 AND state = 'running' RETURNING 1)"
    " SELECT 1 / count(*)::integer FROM e";

constexpr const char* division_by_zero = "22012";

constexpr const char* release_sql =
    "UPDATE orvale_jobs SET state = 'scheduled', owner = NULL, lease_until = NULL,"
    " attempts = greatest(attempts - 1, 0), updated_at = now()"
    " WHERE id = ANY ($2::bigint[]) AND owner = $1 AND state = 'running'";

constexpr const char* purge_sql =
    "DELETE FROM orvale_jobs WHERE state = 'done'"
    " AND updated_at < now() - $1::bigint * interval '1 second'";

constexpr const char* xact_lock_sql =
    "SELECT pg_advisory_xact_lock($1::integer, hashtext($2::text))";

constexpr const char* counts_sql =
    "SELECT kind,"
    " count(*) FILTER (WHERE state = 'scheduled' AND due_at <= now()),"
    " count(*) FILTER (WHERE state = 'scheduled' AND due_at > now()),"
    " count(*) FILTER (WHERE state = 'running'),"
    " count(*) FILTER (WHERE state = 'failed')"
    " FROM orvale_jobs WHERE state <> 'done' GROUP BY kind ORDER BY kind";

constexpr const char* oldest_due_sql =
    "SELECT (extract(epoch FROM now() - min(due_at)) * 1000)::bigint FROM orvale_jobs"
    " WHERE state = 'scheduled' AND due_at <= now()";

constexpr const char* failed_sql =
    "SELECT order_id, kind, attempts, coalesce(last_error, ''),"
    " (extract(epoch FROM updated_at) * 1000)::bigint FROM orvale_jobs"
    " WHERE state = 'failed' ORDER BY updated_at DESC, id DESC LIMIT $1::integer";

std::vector<piped_statement> opening_of(int id_app, const std::string& order_id) {
  return {{"BEGIN", {}}, {xact_lock_sql, {std::to_string(id_app), order_id}}};
}

bool hold_back(PGconn* conn, std::vector<piped_statement> opening) {
  pooled_session* session = pooled_session::of(conn);
  if (session == nullptr || session->opening_deferred() ||
      PQtransactionStatus(conn) != PQTRANS_IDLE) {
    return false;
  }
  session->defer_opening(std::move(opening));
  return true;
}

} // namespace

void transaction::begin_now() {
  PGconn* conn = native_connection(db_);
  if (conn == nullptr) {
    return;
  }
  const pg_result_ptr res(PQexec(conn, "BEGIN"));
  open_ = !failed(conn, res, PGRES_COMMAND_OK, "BEGIN");
}

void transaction::begin_locked_now(int id_app, const std::string& order_id) {
  PGconn* conn = native_connection(db_);
  if (conn == nullptr) {
    return;
  }
  const std::vector<pg_result_ptr> res = exec_pipeline(conn, opening_of(id_app, order_id));
  open_ = PQtransactionStatus(conn) != PQTRANS_IDLE;
  if (res.size() != 2 || failed(conn, res[0], PGRES_COMMAND_OK, "BEGIN") ||
      failed(conn, res[1], PGRES_TUPLES_OK, "блокировка заказа")) {
    rollback();
  }
}

transaction::transaction(const PGBackend& db) : db_(db) { begin_now(); }

transaction::transaction(const PGBackend& db, int id_app, const std::string& order_id) : db_(db) {
  begin_locked_now(id_app, order_id);
}

transaction::transaction(const PGBackend& db, held_back) : db_(db) {
  if (hold_back(native_connection(db_), {{"BEGIN", {}}})) {
    open_ = true;
  } else {
    begin_now();
  }
}

transaction::transaction(const PGBackend& db, int id_app, const std::string& order_id, held_back)
    : db_(db) {
  if (hold_back(native_connection(db_), opening_of(id_app, order_id))) {
    open_ = true;
  } else {
    begin_locked_now(id_app, order_id);
  }
}

transaction::~transaction() { rollback(); }

bool transaction::drop_opening() const {
  pooled_session* session = pooled_session::of(native_connection(db_));
  if (session == nullptr || !session->opening_deferred()) {
    return false;
  }
  (void)session->take_opening();
  return true;
}

void transaction::ended() {
  open_ = false;
  (void)drop_opening();
}

bool read_order_status_committed(const PGBackend& db, int id_app, const std::string& order_id,
                                 int& status) {
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    return false;
  }
  const std::string app = std::to_string(id_app);
  const std::vector<pg_result_ptr> res =
      exec_pipeline(conn, {{"BEGIN", {}},
                           {xact_lock_sql, {app, order_id}},
                           {order_sql::read_status, {app, order_id}},
                           {"COMMIT", {}}});
  const bool ok = res.size() == 4 && !failed(conn, res[0], PGRES_COMMAND_OK, "BEGIN") &&
                  !failed(conn, res[1], PGRES_TUPLES_OK, "блокировка заказа") &&
                  !failed(conn, res[2], PGRES_TUPLES_OK, "состояние заказа") &&
                  !failed(conn, res[3], PGRES_COMMAND_OK, "COMMIT");
  if (PQtransactionStatus(conn) != PQTRANS_IDLE) {
    const pg_result_ptr rolled(PQexec(conn, "ROLLBACK"));
  }
  return ok && PQntuples(res[2].get()) == 1 &&
         str::_stoi(PQgetvalue(res[2].get(), 0, 0), &status) == 0;
}

bool transaction::commit() {
  if (!open_) {
    return false;
  }
  open_ = false;
  if (drop_opening()) {
    return true; // nothing ran, nothing to commit
  }
  PGconn* conn = native_connection(db_);
  const pg_result_ptr res(PQexec(conn, "COMMIT"));
  if (failed(conn, res, PGRES_COMMAND_OK, "COMMIT")) {
    return false;
  }
  // A transaction that had already failed answers COMMIT with the tag ROLLBACK and no error.
  if (std::strcmp(PQcmdStatus(res.get()), "COMMIT") != 0) {
    LOG(channel, error, "Транзакция не зафиксирована : " << PQcmdStatus(res.get()));
    return false;
  }
  return true;
}

void transaction::rollback() noexcept {
  if (!open_) {
    return;
  }
  open_ = false;
  if (drop_opening()) {
    return;
  }
  if (PGconn* conn = native_connection(db_)) {
    const pg_result_ptr res(PQexec(conn, "ROLLBACK"));
  }
}

bool session_usable(const PGBackend& db) {
  PGconn* conn = native_connection(db);
  return conn != nullptr && PQstatus(conn) == CONNECTION_OK;
}

std::int64_t book_job(const PGBackend& db, const job_booking& b) {
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    LOG(channel, error, "[" << b.order_id << "] Задание \"" << b.kind << "\" не записано: нет БД");
    return -1;
  }
  const std::string app = std::to_string(b.id_app);
  if (b.latest_only) {
    const pg_result_ptr res = exec_params(conn, update_waiting_sql, {b.kind, app, b.order_id, b.args});
    if (failed(conn, res, PGRES_TUPLES_OK, "задание")) {
      return -1;
    }
    if (PQntuples(res.get()) == 1) {
      return to_int64(PQgetvalue(res.get(), 0, 0));
    }
  }
  const pg_result_ptr res =
      exec_params(conn, insert_sql, {b.kind, app, b.order_id, b.args, b.peer, millis_text(b.delay)});
  if (failed(conn, res, PGRES_TUPLES_OK, "задание") || PQntuples(res.get()) != 1) {
    return -1;
  }
  return to_int64(PQgetvalue(res.get(), 0, 0));
}

namespace {

std::optional<int> order_status_read(const PGresult* res) {
  int status = 0;
  if (PQresultStatus(res) != PGRES_TUPLES_OK || PQntuples(res) != 1 ||
      str::_stoi(PQgetvalue(res, 0, 0), &status) != 0) {
    return std::nullopt;
  }
  return status;
}

chained_job held_job_booked(PGconn* conn, const PGresult* res) {
  chained_job out;
  if (PQresultStatus(res) != PGRES_TUPLES_OK) {
    LOG(channel, error, "Ошибка БД (задание) : " << server_text(conn, res));
    return out;
  }
  if (PQntuples(res) != 1) {
    return out;
  }
  out.id = to_int64(PQgetvalue(res, 0, 0));
  out.running = std::strcmp(PQgetvalue(res, 0, 1), "t") == 0;
  return out;
}

} // namespace

chained_job book_held_job(const PGBackend& db, const job_booking& b, const std::string& owner,
                          std::chrono::milliseconds lease) {
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    LOG(channel, error, "[" << b.order_id << "] Задание \"" << b.kind << "\" не записано: нет БД");
    return {};
  }
  const pg_result_ptr res =
      exec_params(conn, insert_held_sql, {b.kind, std::to_string(b.id_app), b.order_id, b.args,
                                          b.peer, owner, millis_text(lease)});
  return held_job_booked(conn, res.get());
}

std::vector<piped_statement> booking_with_commit::statements() const {
  const job_booking& b = booking_;
  const std::string app = std::to_string(b.id_app);
  return {{insert_held_sql, {b.kind, app, b.order_id, b.args, b.peer, owner_, millis_text(lease_)}},
          {order_sql::read_status, {app, b.order_id}}};
}

void booking_with_commit::read(const PGBackend& db, const PGresult* booked,
                               const PGresult* status) {
  booked_ = held_job_booked(native_connection(db), booked);
  booked_.order_status = order_status_read(status);
}

std::vector<claimed_job> claim_jobs(const PGBackend& db, const std::string& owner,
                                    std::chrono::milliseconds lease, int limit,
                                    const peer_room& room) {
  std::vector<claimed_job> jobs;
  PGconn* conn = native_connection(db);
  if (conn == nullptr || limit <= 0) {
    return jobs;
  }
  const pg_result_ptr res =
      exec_params(conn, claim_sql,
                  {owner, millis_text(lease), std::to_string(limit), rooms_text(room),
                   std::to_string(room.default_room), ids_text(room.held_here)});
  if (failed(conn, res, PGRES_TUPLES_OK, "выбор заданий")) {
    return jobs;
  }
  for (int row = 0; row < PQntuples(res.get()); ++row) {
    claimed_job j;
    j.id = to_int64(PQgetvalue(res.get(), row, 0));
    j.kind = PQgetvalue(res.get(), row, 1);
    j.id_app = std::atoi(PQgetvalue(res.get(), row, 2));
    j.order_id = PQgetvalue(res.get(), row, 3);
    j.args = PQgetvalue(res.get(), row, 4);
    j.peer = PQgetvalue(res.get(), row, 5);
    j.attempts = std::atoi(PQgetvalue(res.get(), row, 6));
    j.age = std::chrono::milliseconds(to_int64(PQgetvalue(res.get(), row, 7)));
    j.taken_over = std::strcmp(PQgetvalue(res.get(), row, 8), "t") == 0;
    jobs.push_back(std::move(j));
  }
  return jobs;
}

std::optional<std::chrono::milliseconds> next_job_due(const PGBackend& db, const peer_room& room) {
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    return std::nullopt;
  }
  const pg_result_ptr res =
      exec_params(conn, next_due_sql,
                  {rooms_text(room), std::to_string(room.default_room), ids_text(room.held_here)});
  if (failed(conn, res, PGRES_TUPLES_OK, "срок заданий") || PQntuples(res.get()) != 1 ||
      PQgetisnull(res.get(), 0, 0)) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(to_int64(PQgetvalue(res.get(), 0, 0)));
}

int renew_leases(const PGBackend& db, const std::string& owner,
                 const std::vector<std::int64_t>& ids, std::chrono::milliseconds lease) {
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    return -1;
  }
  const pg_result_ptr res = exec_params(conn, renew_sql, {owner, ids_text(ids), millis_text(lease)});
  if (failed(conn, res, PGRES_COMMAND_OK, "продление заданий")) {
    return -1;
  }
  return changed_rows(res.get());
}

job_finished finish_job(const PGBackend& db, const job_finish& f) {
  job_finished out;
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    return out;
  }
  std::vector<piped_statement> statements;
  const std::string app = std::to_string(f.id_app);
  if (f.begin) {
    statements.push_back({"BEGIN", {}});
    statements.push_back({xact_lock_sql, {app, f.order_id}});
  }
  const std::size_t first_booking = statements.size();
  for (const job_booking& b : f.bookings) {
    statements.push_back({insert_sql, {b.kind, std::to_string(b.id_app), b.order_id, b.args, b.peer,
                                       millis_text(b.delay)}});
  }
  const std::size_t end_at = statements.size();
  const std::string id = std::to_string(f.id);
  std::size_t status_at = 0; // none
  if (f.chained) {
    const job_booking& b = *f.chained;
    statements.push_back({chain_sql, {b.kind, std::to_string(b.id_app), b.order_id, b.args, b.peer,
                                      id, f.owner, millis_text(f.lease), f.error}});
    // The chained step's check before its call takes this instead of a round trip of its own.
    status_at = statements.size();
    statements.push_back({order_sql::read_status, {app, f.order_id}});
  } else if (f.state == job_finish::end::retry) {
    statements.push_back({retry_held_sql, {id, f.owner, millis_text(f.delay), f.error, f.args}});
  } else {
    statements.push_back({end_held_sql, {id, f.owner, f.state == job_finish::end::done ? "done" : "failed",
                                         f.error}});
  }
  statements.push_back({"COMMIT", {}});
  const std::vector<pg_result_ptr> res = exec_pipeline(conn, statements);
  bool ok = res.size() == statements.size();
  for (std::size_t i = 0; ok && i < res.size(); ++i) {
    const bool command = statements[i].params.empty(); // BEGIN, COMMIT
    if (i == end_at && PQresultStatus(res[i].get()) == PGRES_FATAL_ERROR) {
      const char* state = PQresultErrorField(res[i].get(), PG_DIAG_SQLSTATE);
      if (state != nullptr && std::strcmp(state, division_by_zero) == 0) {
        ok = false; // no longer held: the caller says so
        break;
      }
    }
    const char* what = command ? statements[i].sql
                       : i == end_at ? "завершение задания"
                       : i == status_at ? "состояние заказа"
                       : i < first_booking ? "блокировка заказа"
                                           : "задание";
    ok = !failed(conn, res[i], command ? PGRES_COMMAND_OK : PGRES_TUPLES_OK, what) &&
         (command || i == end_at || i == status_at || PQntuples(res[i].get()) == 1);
  }
  // A transaction that had already failed answers COMMIT with the tag ROLLBACK and no error.
  ok = ok && std::strcmp(PQcmdStatus(res.back().get()), "COMMIT") == 0;
  if (!ok) {
    if (PQtransactionStatus(conn) != PQTRANS_IDLE) {
      const pg_result_ptr rolled(PQexec(conn, "ROLLBACK"));
    }
    return out;
  }
  out.committed = true;
  if (f.chained) {
    out.chained.id = to_int64(PQgetvalue(res[end_at].get(), 0, 0));
    out.chained.running = std::strcmp(PQgetvalue(res[end_at].get(), 0, 1), "t") == 0;
    out.chained.order_status = order_status_read(res[status_at].get());
  }
  return out;
}

void release_jobs(const PGBackend& db, const std::string& owner,
                  const std::vector<std::int64_t>& ids) {
  PGconn* conn = native_connection(db);
  if (conn == nullptr || ids.empty()) {
    return;
  }
  const pg_result_ptr res = exec_params(conn, release_sql, {owner, ids_text(ids)});
  failed(conn, res, PGRES_COMMAND_OK, "возврат заданий");
}

long purge_done_jobs(const PGBackend& db, std::chrono::seconds keep) {
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    return 0;
  }
  const pg_result_ptr res = exec_params(conn, purge_sql, {std::to_string(keep.count())});
  if (failed(conn, res, PGRES_COMMAND_OK, "удаление выполненных заданий")) {
    return 0;
  }
  return changed_rows(res.get());
}

bool read_job_summary(const PGBackend& db, int failed_limit, stored_jobs& out) {
  out = stored_jobs();
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    return false;
  }
  const pg_result_ptr counts = exec_params(conn, counts_sql, {});
  if (failed(conn, counts, PGRES_TUPLES_OK, "сводка заданий")) {
    return false;
  }
  for (int row = 0; row < PQntuples(counts.get()); ++row) {
    stored_job_counts c;
    c.kind = PQgetvalue(counts.get(), row, 0);
    c.due = std::strtoull(PQgetvalue(counts.get(), row, 1), nullptr, 10);
    c.scheduled = std::strtoull(PQgetvalue(counts.get(), row, 2), nullptr, 10);
    c.running = std::strtoull(PQgetvalue(counts.get(), row, 3), nullptr, 10);
    c.failed = std::strtoull(PQgetvalue(counts.get(), row, 4), nullptr, 10);
    out.counts.push_back(std::move(c));
  }
  const pg_result_ptr oldest = exec_params(conn, oldest_due_sql, {});
  if (failed(conn, oldest, PGRES_TUPLES_OK, "сводка заданий")) {
    return false;
  }
  if (PQntuples(oldest.get()) == 1 && !PQgetisnull(oldest.get(), 0, 0)) {
    out.oldest_due = std::chrono::milliseconds(to_int64(PQgetvalue(oldest.get(), 0, 0)));
  }
  const pg_result_ptr list = exec_params(conn, failed_sql, {std::to_string(failed_limit)});
  if (failed(conn, list, PGRES_TUPLES_OK, "сводка заданий")) {
    return false;
  }
  for (int row = 0; row < PQntuples(list.get()); ++row) {
    stored_failed_job f;
    f.order_id = PQgetvalue(list.get(), row, 0);
    f.kind = PQgetvalue(list.get(), row, 1);
    f.attempts = std::atoi(PQgetvalue(list.get(), row, 2));
    f.last_error = PQgetvalue(list.get(), row, 3);
    f.failed_at_ms = to_int64(PQgetvalue(list.get(), row, 4));
    out.failed.push_back(std::move(f));
  }
  return true;
}

} // namespace content

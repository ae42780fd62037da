// libpq as the data layer uses it: owned results, parameter binding and error texts. Only the
// data layer's sources (and tests that look underneath it) include this header.
#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <libpq-fe.h>

#include "conn.h"

namespace content {

using pg_result_ptr = std::unique_ptr<PGresult, c_free<PQclear>>;

// The backend's open connection; null while it has none.
PGconn* native_connection(const PGBackend& backend);

// Runs one statement with text parameters (on a pooled connection under the plain-reads promise,
// prepared once it is used repeatedly); never null (libpq's out-of-memory result is mapped to
// a fatal-error result by the caller's status check).
pg_result_ptr exec_params(PGconn* conn, const char* sql, std::initializer_list<std::string> params);

// A statement of a pipeline; a parameter without a value is NULL.
struct piped_statement {
  const char* sql;
  std::vector<std::optional<std::string>> params;
};

// Sends the statements in one pipeline and one round trip (on a pooled session those with
// parameters prepared, as its single statements are, and after the opening of a transaction the
// session held back); one result per statement of `statements`, in their order. After a failure the server skips the rest, which come back as
// PGRES_PIPELINE_ABORTED. Empty when they could not all be sent or read (the connection broke).
std::vector<pg_result_ptr> exec_pipeline(PGconn* conn, const std::vector<piped_statement>& statements);

// The first of a pipeline's results; a fatal-error result (the connection's message) when it
// has none.
pg_result_ptr first_result(PGconn* conn, std::vector<pg_result_ptr> results);

// Reads what is left of a pipeline up to and including its sync, so that the connection can take
// the next one or leave pipeline mode; false when the connection is gone.
bool skip_to_sync(PGconn* conn);

// libpq's error texts end with a line break; logs want one line.
std::string one_line(const char* text);

// libpq keeps the reason on the result, or on the connection when there is no result at all.
std::string server_text(PGconn* conn, const PGresult* res);

// True when the result exists and has the expected status.
bool reached(const pg_result_ptr& res, ExecStatusType expected);

// The number of rows a command reports changing; 0 when its tag carries none.
int changed_rows(const PGresult* res);

} // namespace content

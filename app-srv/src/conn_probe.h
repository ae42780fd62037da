// Whether a database answers at all, for the operators' readiness check: a fresh connection and
// one trivial statement, both within a short limit, apart from the pool the requests use.
#pragma once

#include <chrono>

#include "conn.h"

namespace content {

// True when a new connection to the record's database opens and answers "SELECT 1" within
// `limit` (at least 1 s: libpq's connect time-out has whole seconds). The connection is closed
// again; connect errors are logged as for any connection.
bool database_answers(const DBConnection_t& record, std::chrono::milliseconds limit);

} // namespace content

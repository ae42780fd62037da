// The catalogue statements: each builds a whole reply (price list, station configuration) as one
// JSON document in PostgreSQL.
#pragma once

#include <string>

#include "conn.h"

namespace content {

// The statements for the caller's application id and a checked station list ("" for all
// stations, else decimal integers joined by commas). The benchmark runs the same texts.
std::string price_statement(int id_app, const std::string& stations);
std::string station_statement(int id_app, const std::string& stations);

// Runs a catalogue statement: true with column 0 of its rows in `document` (one row's value as
// it is, several rows' values joined, "" for a NULL aggregate); false with the server's text in
// `failure`.
bool read_catalogue(const PGBackend& db, const std::string& sql, std::string& document,
                    std::string& failure);

} // namespace content

// What the price list and the station configuration share: the aggregator's key, an optional
// station filter, one statement that builds the whole reply as JSON in PostgreSQL, and the reply
// written again in the service's canonical JSON form.
#pragma once

#include <string>

#include "catalogue_cache.h"
#include "master.h"

namespace srv_apps {

class catalogue_endpoint : public master {
public:
  using master::master;

protected:
  // Builds the statement for the caller's application id and a checked station list ("" for
  // all stations, else decimal integers joined by commas).
  using statement_builder = std::string (*)(int id_app, const std::string& stations);

  void serve_catalogue(statement_builder build, const std::string& failure_prefix);

private:
  // The reply for the caller's key, read from the database on one backend (its gzipped form left
  // empty); refusals are thrown for the handler's skeleton.
  cached_entry_ptr read_reply(statement_builder build, const std::string& apikey,
                              const std::string& stations, const std::string& failure_prefix);
  // The same through the cache: the key's application and the reply each kept until a change.
  cached_entry_ptr cached_reply(catalogue_cache& cache, statement_builder build,
                                const std::string& apikey, const std::string& stations,
                                const std::string& failure_prefix);

  std::unique_ptr<content::PGBackend> open_plain_reads();
  // The caller's application id; refuses 401 for an unknown key.
  static int application_of(const content::PGBackend& db, const std::string& apikey);
  std::string checked_list(const std::string& stations, const std::string& failure_prefix);
  std::string read_body(const content::PGBackend& db, statement_builder build, int id_app,
                        const std::string& list, const std::string& failure_prefix);
  // Identity, or gzip when the caller accepts it; either way the reply varies by that header.
  void send_reply(const cached_entry& reply);
};

// "1, 2 ,3" -> "1,2,3"; false for anything but decimal integers separated by commas (blanks
// around items allowed). A blank text is the empty list.
bool station_list(const std::string& text, std::string& out);

} // namespace srv_apps

// What the price list and the station configuration share: the aggregator's key, an optional
// station filter, one statement that builds the whole reply as JSON in PostgreSQL, and the reply
// written again in the service's canonical JSON form.
#pragma once

#include <string>

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
  // The reply's body for the caller's key; refusals are thrown for the handler's skeleton.
  std::string read_reply(statement_builder build, const std::string& apikey,
                         const std::string& stations, const std::string& failure_prefix);
};

// "1, 2 ,3" -> "1,2,3"; false for anything but decimal integers separated by commas (blanks
// around items allowed). A blank text is the empty list.
bool station_list(const std::string& text, std::string& out);

} // namespace srv_apps

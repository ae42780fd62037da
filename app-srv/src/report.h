// The reconciliation report: an operator's request for one application's order report over a
// period, fetched from the aggregator with that application's own key and handed back as JSON.
#pragma once

#include <cstddef>
#include <string>

#include "master.h"

namespace srv_apps {

// A report reply larger than this is refused like a failed transfer.
constexpr std::size_t max_report_bytes = 16 * 1024 * 1024;

class report final : public master {
public:
  using master::master;
  void get_report();

  // The aggregator's HTTP status (or the outgoing-call result code); `body` gets the reply body
  // only when that status is 200.
  long fwd_report(const std::string& apikey, const std::string& sdate, const std::string& edate,
                  const std::string& station_id, int page, std::string& body);

private:
  // The reconciling application's key; refused with 401 when it is not known.
  std::string _application_key(const std::string& app);
  // The aggregator's answer to the operator: a JSON body in the canonical form, or 502.
  void _relay_answer(web::context& ctx, long status, std::string body);
};

// The form body of a report request. Each value has the bytes that would end or alter a form
// field percent-encoded; "stationId" is left out when empty.
std::string report_form(const std::string& apikey, const std::string& sdate,
                        const std::string& edate, const std::string& station_id, int page);

} // namespace srv_apps

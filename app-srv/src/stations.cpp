// The station configuration endpoint.
#include "stations.h"

#include "conn_catalogue.h"
#include "web/log.h"

namespace srv_apps {

void stations::get_stations() {
  LOG(channel(), info, "Запрос конфигурации АЗС");
  serve_catalogue(&content::station_statement, "");
}

} // namespace srv_apps

#!/usr/bin/env bash
# The new-order benchmark: a throwaway cluster holding a seeded station network, the gateway on it,
# and bench_orders posting new orders while it plays every station controller and the aggregator,
# each answering at once. Runs twice: with orvale.pause_scale 1 (the design's fixed pauses, 0.5 s
# before the run and before each step) and with 0 (the gateway's own work). Prints one table per
# run; everything it started is stopped on exit.
#
#   bench/orders.sh [-d SECONDS] [-c CLIENTS] [BUILD_DIR]
#
# BUILD_DIR (default build/) holds a RelWithDebInfo build of the targets orvale and bench_orders.
# SECONDS (default 10) is the length of each measurement, CLIENTS the concurrencies (default
# 1,4,16).
set -euo pipefail

readonly GATEWAY_STOP_LIMIT=300 # tries, 0.1 s apart: shutdown grace plus the 3 s pause
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly DB_NAME=orvale_bench_orders
readonly API_KEY=bench-key
readonly FUEL_ID=FUEL-1
readonly PRICE=50.00
# Stations 2001..2050 with 6 dispensers each: 300 dispensers, more than any client count.
readonly FIRST_STATION=2001
readonly STATIONS=50
readonly DISPENSERS=6

usage() {
  echo "usage: $0 [-d SECONDS] [-c CLIENTS] [BUILD_DIR]" >&2
  exit 2
}

duration=10
clients=1,4,16
while getopts "d:c:h" opt; do
  case "$opt" in
  d) duration=$OPTARG ;;
  c) clients=$OPTARG ;;
  *) usage ;;
  esac
done
shift $((OPTIND - 1))
(($# <= 1)) || usage
use_build_dir bench_orders "${1:-}"

# Every station's link points at the one address bench_orders serves the controllers on.
seed_network() {
  psql_as "$SUPERUSER" "$SUPERUSER_PASSWORD" postgres \
    -c "CREATE DATABASE $DB_NAME TEMPLATE orvale_template OWNER $DB_USER"
  local last=$((FIRST_STATION + STATIONS - 1))
  psql_as "$DB_USER" "$DB_PASSWORD" "$DB_NAME" <<EOF
BEGIN;
INSERT INTO apptypes (id, sname, key) VALUES (1, 'BENCH', '$API_KEY');
INSERT INTO products (prodcod, title) VALUES (1, 'Product 1');
INSERT INTO azslist (id, title, deleted) SELECT s, 'Station ' || s, false
FROM generate_series($FIRST_STATION, $last) AS s;
INSERT INTO links (id_shop, addr, port, pass, active)
SELECT s, '127.0.0.1', $peer_port, 'station-' || s || '-key', true
FROM generate_series($FIRST_STATION, $last) AS s;
INSERT INTO azsconf (id_shop, trk, sch, prodcod)
SELECT s, t, 1, 1 FROM generate_series($FIRST_STATION, $last) AS s,
       generate_series(1, $DISPENSERS) AS t;
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, '$FUEL_ID');
INSERT INTO ordtypes (id, id_app, sname) VALUES (1, 1, 'Money');
INSERT INTO stattypes (id, id_app, sname) VALUES (1, 1, 'OrderCreated'), (3, 1, 'Completed'),
  (4, 1, 'Expire'), (5, 1, 'StationCanceled'), (6, 1, 'UserCanceled');
INSERT INTO curprices (id_shop, prodcod, price)
SELECT s, 1, $PRICE FROM generate_series($FIRST_STATION, $last) AS s;
COMMIT;
ANALYZE apptypes, azslist, links, azsconf, prodmaps, ordtypes, stattypes, curprices;
EOF
}

# A fresh log for each run, so that what it shows after the run is that run's.
start_orders_gateway() {
  local scale=$1
  : >"$work/orvale.log"
  local database
  database=$(database_object "$DB_NAME")
  start_gateway "/orvale/price?apikey=$API_KEY&stationId=$FIRST_STATION" 200 \
    "$database" "$database" "\"upstream_url\": \"http://127.0.0.1:$peer_port\"" \
    '"app_key": "bench-gateway-key"' "\"pause_scale\": $scale"
}

measure() {
  local scale=$1
  say "measuring with orvale.pause_scale $scale: ${clients//,/\/} clients, ${duration} s each"
  start_orders_gateway "$scale"
  local status=0
  "$bench_bin" --gateway-port="$gateway_port" --peer-port="$peer_port" --apikey="$API_KEY" \
    --fuel="$FUEL_ID" --price="$PRICE" --first-station="$FIRST_STATION" --stations="$STATIONS" \
    --dispensers="$DISPENSERS" --duration="$duration" --clients="$clients" \
    --prefix="s$scale" --caption="orvale.pause_scale $scale" || status=$?
  show_gateway_errors
  stop_gateway
  return "$status"
}

main() {
  check_build
  start_cluster /tmp/orvale-bench.XXXXXX
  peer_port=$(free_port)
  say "seeding $STATIONS stations with $DISPENSERS dispensers each"
  seed_network
  measure 1
  measure 0
}

main

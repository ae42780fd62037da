#!/usr/bin/env bash
# The completion relay benchmark: a throwaway cluster holding ORDERS orders that are being fueled,
# the gateway on it, and bench_relays playing the aggregator (503 to everything at first) and the
# stations, which post one completion per order. While the relays wait it samples the gateway's
# resident memory, threads and database sessions; then the aggregator answers 200 and it times the
# drain until every relay is done, checking that each order's completion arrived exactly once
# answered 200. Everything it started is stopped on exit.
#
#   bench/relays.sh [-n ORDERS] [-s PAUSE_SCALE] [-c CLIENTS] [-w SAMPLES] [-p PER_PEER] [BUILD_DIR]
#
# BUILD_DIR (default build/) holds a RelWithDebInfo build of the targets orvale and bench_relays.
# ORDERS defaults to 10000, PAUSE_SCALE (orvale.pause_scale: the relays' pauses between tries) to
# 0.001, CLIENTS (the stations posting at once) to 16, SAMPLES (one a second while the relays wait)
# to 5. The orvale.jobs settings are the gateway's defaults but for orvale.jobs.per_peer, when
# PER_PEER is given (the relays all go to the one aggregator, so it bounds the calls in flight).
set -euo pipefail

readonly GATEWAY_STOP_LIMIT=150 # tries, 0.1 s apart: shutdown grace plus the jobs' grace
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly DB_NAME=orvale_bench_relays
readonly API_KEY=bench-key
readonly GATEWAY_KEY=bench-gateway-key
readonly ORDER_PREFIX=relay
# The job kind of a completion relay, as the orvale_jobs rows name it.
readonly COMPLETION_KIND=completed
# Stations 3001..3010, the orders spread over them in turn (order n at station 3001 + n % 10).
readonly FIRST_STATION=3001
readonly STATIONS=10

usage() {
  echo "usage: $0 [-n ORDERS] [-s PAUSE_SCALE] [-c CLIENTS] [-w SAMPLES] [-p PER_PEER] [BUILD_DIR]" >&2
  exit 2
}

orders=10000
pause_scale=0.001
clients=16
samples=5
per_peer=
while getopts "n:s:c:w:p:h" opt; do
  case "$opt" in
  n) orders=$OPTARG ;;
  s) pause_scale=$OPTARG ;;
  c) clients=$OPTARG ;;
  w) samples=$OPTARG ;;
  p) per_peer=$OPTARG ;;
  *) usage ;;
  esac
done
shift $((OPTIND - 1))
(($# <= 1)) || usage
[[ "$orders" =~ ^[1-9][0-9]*$ ]] || usage
[[ -z "$per_peer" || "$per_peer" =~ ^[1-9][0-9]*$ ]] || usage
use_build_dir bench_relays "${1:-}"

# Every order is being fueled (statusint 2), the state a completion is taken in; the station
# links carry the keys the completions present, their address is never called.
seed_orders() {
  psql_as "$SUPERUSER" "$SUPERUSER_PASSWORD" postgres \
    -c "CREATE DATABASE $DB_NAME TEMPLATE orvale_template OWNER $DB_USER"
  local last=$((FIRST_STATION + STATIONS - 1))
  psql_as "$DB_USER" "$DB_PASSWORD" "$DB_NAME" <<EOF
BEGIN;
INSERT INTO apptypes (id, sname, key) VALUES (1, 'BENCH', '$API_KEY');
INSERT INTO products (prodcod, title) VALUES (1, 'Product 1');
INSERT INTO azslist (id, title, deleted) SELECT s, 'Station ' || s, false
FROM generate_series($FIRST_STATION, $last) AS s;
INSERT INTO links (id_shop, addr, port, pass, ssl, active)
SELECT s, '127.0.0.1', 9, 'station-' || s || '-key', false, true
FROM generate_series($FIRST_STATION, $last) AS s;
INSERT INTO azsconf (id_shop, trk, sch, prodcod)
SELECT s, 1, 1, 1 FROM generate_series($FIRST_STATION, $last) AS s;
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'FUEL-1');
INSERT INTO curprices (id_shop, prodcod, price)
SELECT s, 1, 50.00 FROM generate_series($FIRST_STATION, $last) AS s;
INSERT INTO stattypes (id, id_app, sname) VALUES (1, 1, 'OrderCreated'), (2, 1, 'Fueling'),
  (3, 1, 'Completed'), (4, 1, 'Expire'), (5, 1, 'StationCanceled'), (6, 1, 'UserCanceled'),
  (7, 1, 'Accepted');
INSERT INTO orders (id, id_app, id_shop, statusint, ordstatext, status, trk, prodcod, price,
  orderval, ord_sum, ord_vol, summa, statusconfirmed, timebeg, azstimebeg)
SELECT '$ORDER_PREFIX-' || n, 1, $FIRST_STATION + n % $STATIONS, 2, 'Fueling', 1, 1, 1, 50.00,
  20, 1000, 20, 1000, 1, now(), now()
FROM generate_series(1, $orders) AS n;
COMMIT;
ANALYZE;
EOF
}

start_relays_gateway() {
  local database jobs=()
  database=$(database_object "$DB_NAME")
  if [[ -n "$per_peer" ]]; then
    jobs=("\"jobs\": {\"per_peer\": $per_peer}")
  fi
  start_gateway "/orvale/price?apikey=$API_KEY&stationId=$FIRST_STATION" 200 \
    "$database" "$database" "\"upstream_url\": \"http://127.0.0.1:$peer_port\"" \
    "\"app_key\": \"$GATEWAY_KEY\"" "\"pause_scale\": $pause_scale" "${jobs[@]}"
}

main() {
  check_build
  start_cluster /tmp/orvale-bench.XXXXXX
  peer_port=$(free_port)
  say "seeding $orders orders being fueled at $STATIONS stations"
  seed_orders
  start_relays_gateway
  say "orvale.pause_scale $pause_scale, orvale.jobs.per_peer ${per_peer:-default}, other jobs.* defaults"
  local status=0
  "$bench_bin" --gateway-port="$gateway_port" --peer-port="$peer_port" \
    --gateway-pid="$gateway_pid" --pg-port="$pg_port" --db="$DB_NAME" --user="$DB_USER" \
    --password="$DB_PASSWORD" --apikey="$API_KEY" --gateway-key="$GATEWAY_KEY" \
    --prefix="$ORDER_PREFIX" --kind="$COMPLETION_KIND" --first-station="$FIRST_STATION" \
    --stations="$STATIONS" --orders="$orders" --clients="$clients" --samples="$samples" ||
    status=$?
  show_gateway_errors
  stop_gateway
  return "$status"
}

main

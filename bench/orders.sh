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

SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly SOURCE_DIR
readonly PG_BIN=/usr/lib/postgresql/15/bin
# The cluster of scripts/test-pg.sh: its superuser and the role the gateway logs in as.
readonly SUPERUSER=postgres
readonly SUPERUSER_PASSWORD=postgres-test
readonly DB_USER=orvale
readonly DB_PASSWORD=orvale-test
readonly DB_NAME=orvale_bench_orders
readonly API_KEY=bench-key
readonly FUEL_ID=FUEL-1
readonly PRICE=50.00
# Stations 2001..2050 with 6 dispensers each: 300 dispensers, more than any client count.
readonly FIRST_STATION=2001
readonly STATIONS=50
readonly DISPENSERS=6
readonly GATEWAY_START_LIMIT=100 # tries, 0.1 s apart
readonly GATEWAY_STOP_LIMIT=300  # tries, 0.1 s apart: shutdown grace plus the 3 s pause

say() {
  echo "orders.sh: $*" >&2
}

fail() {
  say "$*"
  exit 1
}

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
build_dir=$(cd "${1:-$SOURCE_DIR/build}" && pwd) || fail "no build directory ${1:-build/}"
readonly gateway_bin=$build_dir/app-srv/orvale
readonly bench_bin=$build_dir/bench/bench_orders

check_build() {
  [[ -x "$gateway_bin" && -x "$bench_bin" ]] ||
    fail "build the targets orvale and bench_orders in $build_dir first"
  local type
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
  [[ "$type" == RelWithDebInfo ]] ||
    fail "$build_dir is a '$type' build; the figures are meant for RelWithDebInfo"
}

work=
gateway_pid=

stop_gateway() {
  [[ -n "$gateway_pid" ]] || return 0
  kill -TERM "$gateway_pid" 2>/dev/null || true
  local i
  for ((i = 0; i < GATEWAY_STOP_LIMIT; ++i)); do
    kill -0 "$gateway_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$gateway_pid" 2>/dev/null; then
    say "the gateway does not stop; killing it"
    kill -KILL "$gateway_pid" 2>/dev/null || true
  fi
  wait "$gateway_pid" 2>/dev/null || true
  gateway_pid=
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  stop_gateway
  if [[ -n "$work" ]]; then
    bash "$SOURCE_DIR/scripts/test-pg.sh" stop "$work/pg" || true
    rm -rf -- "$work"
  fi
  exit "$status"
}

psql_as() {
  local user=$1 password=$2 db=$3
  shift 3
  PGPASSWORD=$password "$PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$pg_port" \
    -U "$user" -d "$db" "$@"
}

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

free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

write_gateway_config() {
  local file=$1 port=$2 scale=$3
  local database="\"db_host\": \"127.0.0.1\", \"db_port\": $pg_port, \"db_name\": \"$DB_NAME\",
      \"db_user\": \"$DB_USER\", \"db_pass\": \"$DB_PASSWORD\", \"connect_timeout\": 5"
  cat >"$file" <<EOF
{
  "service": {"ip": "127.0.0.1", "port": $port, "shutdown_grace": 1},
  "http": {"script": "/orvale"},
  "logging": {"level": "error", "stderr": false, "file": {"name": "$work/orvale.log"}},
  "orvale": {
    "upstream_url": "http://127.0.0.1:$peer_port",
    "app_key": "bench-gateway-key",
    "pause_scale": $scale,
    "notifications": {"recv": true, "forward": false, "send": true},
    "app_database": {$database},
    "velk_database": {$database}
  }
}
EOF
}

show_gateway_log() {
  if [[ -s "$work/orvale.log" ]]; then
    say "the gateway's log ($(wc -l <"$work/orvale.log") lines, the last ones):"
    tail -n 20 "$work/orvale.log" >&2
  fi
  if [[ -s "$work/orvale.out" ]]; then
    tail -n 20 "$work/orvale.out" >&2
  fi
}

start_gateway() {
  local scale=$1
  gateway_port=$(free_port)
  : >"$work/orvale.log"
  write_gateway_config "$work/orvale.json" "$gateway_port" "$scale"
  "$gateway_bin" -c "$work/orvale.json" >"$work/orvale.out" 2>&1 &
  gateway_pid=$!
  local url="http://127.0.0.1:$gateway_port/orvale/price?apikey=$API_KEY&stationId=$FIRST_STATION"
  local i code
  for ((i = 0; i < GATEWAY_START_LIMIT; ++i)); do
    if ! kill -0 "$gateway_pid" 2>/dev/null; then
      show_gateway_log
      fail "the gateway has ended at its start"
    fi
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "$url" || true)
    if [[ "$code" == 200 ]]; then
      return 0
    fi
    sleep 0.1
  done
  show_gateway_log
  fail "the gateway does not answer 200 on $url (last status $code)"
}

measure() {
  local scale=$1
  say "measuring with orvale.pause_scale $scale: ${clients//,/\/} clients, ${duration} s each"
  start_gateway "$scale"
  local status=0
  "$bench_bin" --gateway-port="$gateway_port" --peer-port="$peer_port" --apikey="$API_KEY" \
    --fuel="$FUEL_ID" --price="$PRICE" --first-station="$FIRST_STATION" --stations="$STATIONS" \
    --dispensers="$DISPENSERS" --duration="$duration" --clients="$clients" \
    --prefix="s$scale" --caption="orvale.pause_scale $scale" || status=$?
  if [[ -s "$work/orvale.log" ]]; then
    say "the gateway logged errors during the run:"
    show_gateway_log
  fi
  stop_gateway
  return "$status"
}

main() {
  check_build
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  work=$(mktemp -d /tmp/orvale-bench.XXXXXX)
  # The cluster's directory belongs to the postgres OS user, who must reach it.
  chmod 755 "$work"
  say "starting the cluster"
  pg_port=$(bash "$SOURCE_DIR/scripts/test-pg.sh" start "$work/pg")
  peer_port=$(free_port)
  say "seeding $STATIONS stations with $DISPENSERS dispensers each"
  seed_network
  measure 1
  measure 0
}

main

#!/usr/bin/env bash
# The catalogue benchmark: a throwaway cluster holding a seeded station network, the gateway on
# it, and bench_catalogue driving /orvale/price and /orvale/station next to a minimal libpq client
# that does the same database work. Prints one table; everything it started is stopped on exit.
#
#   bench/catalogue.sh [-d SECONDS] [-c CLIENTS] [-p POOL_SIZE] [BUILD_DIR]
#
# BUILD_DIR (default build/) holds a RelWithDebInfo build of the targets orvale and
# bench_catalogue. SECONDS (default 5) is the length of each of the 18 measurements, CLIENTS the
# concurrencies (default 1,4,16). POOL_SIZE sets the gateway's orvale.app_database.pool_size
# (default: the gateway's own default); 0 makes it open a connection per request, exactly the
# work of the minimal client.
set -euo pipefail

SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly SOURCE_DIR
readonly PG_BIN=/usr/lib/postgresql/15/bin
# The cluster of scripts/test-pg.sh: its superuser and the role the gateway logs in as.
readonly SUPERUSER=postgres
readonly SUPERUSER_PASSWORD=postgres-test
readonly DB_USER=orvale
readonly DB_PASSWORD=orvale-test
readonly DB_NAME=orvale_bench
readonly API_KEY=bench-key
# Stations 1001..1500 are seeded; the one-station workloads ask for one in the middle.
readonly ONE_STATION=1250
readonly GATEWAY_START_LIMIT=100 # tries, 0.1 s apart
readonly GATEWAY_STOP_LIMIT=150  # tries, 0.1 s apart: shutdown grace plus the 3 s pause

say() {
  echo "catalogue.sh: $*" >&2
}

fail() {
  say "$*"
  exit 1
}

usage() {
  echo "usage: $0 [-d SECONDS] [-c CLIENTS] [-p POOL_SIZE] [BUILD_DIR]" >&2
  exit 2
}

duration=5
clients=1,4,16
pool_size=
while getopts "d:c:p:h" opt; do
  case "$opt" in
  d) duration=$OPTARG ;;
  c) clients=$OPTARG ;;
  p) pool_size=$OPTARG ;;
  *) usage ;;
  esac
done
shift $((OPTIND - 1))
(($# <= 1)) || usage
[[ -z "$pool_size" || "$pool_size" =~ ^[0-9]+$ ]] || usage
build_dir=$(cd "${1:-$SOURCE_DIR/build}" && pwd) || fail "no build directory ${1:-build/}"
readonly gateway_bin=$build_dir/app-srv/orvale
readonly bench_bin=$build_dir/bench/bench_catalogue

check_build() {
  [[ -x "$gateway_bin" && -x "$bench_bin" ]] ||
    fail "build the targets orvale and bench_catalogue in $build_dir first"
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

# 500 stations with links; 6 dispensers of 3 nozzles each, the 8 products rotated over the
# nozzles so that each station sells all of them; every product mapped for the one application;
# a price for every station and product. A few stations are deleted, inactive or post-paid and a
# few dispensers blocked, so that every branch of the statements has rows to work on.
seed_network() {
  psql_as "$SUPERUSER" "$SUPERUSER_PASSWORD" postgres \
    -c "CREATE DATABASE $DB_NAME TEMPLATE orvale_template OWNER $DB_USER"
  psql_as "$DB_USER" "$DB_PASSWORD" "$DB_NAME" <<EOF
BEGIN;
INSERT INTO apptypes (id, sname, key, description)
VALUES (1, 'BENCH', '$API_KEY', 'catalogue benchmark');
INSERT INTO azslist (id, title, company, deleted, azs_country, azs_city, azs_street, azs_addr,
                     pos_lat, pos_lon, timefix)
SELECT s, 'Station ' || s, 1 + s % 3, s % 97 = 0, 'RU', 'City ' || s % 40, 'Street ' || s % 300,
       'City ' || s % 40 || ', Street ' || s % 300 || ', ' || s,
       50 + (s % 1000) * 0.01, 30 + (s % 700) * 0.02, now()
FROM generate_series(1001, 1500) AS s;
INSERT INTO links (id_shop, addr, port, pass, active, is_postpay)
SELECT s, '127.0.0.1', 20000 + s, 'station-' || s || '-key', s % 50 <> 0, s % 4 = 0
FROM generate_series(1001, 1500) AS s;
INSERT INTO products (prodcod, prodtyp, title, showing)
SELECT p, 1 + p % 3, 'Product ' || p, true FROM generate_series(1, 8) AS p;
INSERT INTO azsconf (id_shop, trk, sch, prodcod, tanknum, temp_blocked, is_postpay)
SELECT s, t, n, (s + (t - 1) * 3 + n - 1) % 8 + 1, (s + (t - 1) * 3 + n - 1) % 8 + 1,
       (s + t) % 60 = 0, CASE WHEN t = 6 AND s % 5 = 0 THEN true END
FROM generate_series(1001, 1500) AS s, generate_series(1, 6) AS t, generate_series(1, 3) AS n;
INSERT INTO prodmaps (id_app, prodcod, prodmap)
SELECT 1, p, 'FUEL-' || p FROM generate_series(1, 8) AS p;
INSERT INTO curprices (id_shop, prodcod, price)
SELECT s, p, 45 + p * 2.5 + (s % 17) * 0.1 FROM generate_series(1001, 1500) AS s,
       generate_series(1, 8) AS p;
COMMIT;
ANALYZE apptypes, azslist, links, products, azsconf, prodmaps, curprices;
EOF
}

free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

write_gateway_config() {
  local file=$1 port=$2
  local database="\"db_host\": \"127.0.0.1\", \"db_port\": $pg_port, \"db_name\": \"$DB_NAME\",
      \"db_user\": \"$DB_USER\", \"db_pass\": \"$DB_PASSWORD\", \"connect_timeout\": 5"
  local pool=
  if [[ -n "$pool_size" ]]; then
    pool=", \"pool_size\": $pool_size"
  fi
  cat >"$file" <<EOF
{
  "service": {"ip": "127.0.0.1", "port": $port, "shutdown_grace": 1},
  "http": {"script": "/orvale"},
  "logging": {"level": "error", "stderr": false, "file": {"name": "$work/orvale.log"}},
  "orvale": {
    "notifications": {"recv": true, "forward": false, "send": true},
    "app_database": {$database$pool},
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
  gateway_port=$(free_port)
  write_gateway_config "$work/orvale.json" "$gateway_port"
  "$gateway_bin" -c "$work/orvale.json" >"$work/orvale.out" 2>&1 &
  gateway_pid=$!
  local url="http://127.0.0.1:$gateway_port/orvale/price?apikey=$API_KEY&stationId=$ONE_STATION"
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
  say "seeding 500 stations"
  seed_network
  say "starting the gateway"
  start_gateway
  say "measuring: 3 workloads x ${clients//,/\/} clients x 2 client kinds, ${duration} s each"
  "$bench_bin" --gateway-port="$gateway_port" --pg-port="$pg_port" --db="$DB_NAME" \
    --user="$DB_USER" --password="$DB_PASSWORD" --apikey="$API_KEY" --station="$ONE_STATION" \
    --duration="$duration" --clients="$clients" \
    --caption="gateway app_database.pool_size ${pool_size:-default}"
  if [[ -s "$work/orvale.log" ]]; then
    say "the gateway logged errors during the run:"
    show_gateway_log
  fi
}

main

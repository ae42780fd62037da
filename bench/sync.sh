#!/usr/bin/env bash
# The synchronisation benchmark: a throwaway cluster holding a seeded back-office database (500
# stations, 18 nozzles each, a price history of 100 entries per station and product) and an empty
# local database, the gateway on both, and bench_sync timing sync_products, sync_stations and
# sync_prices in that order, then the same rows put into the temporary tables by one COPY.
# Prints two tables; everything it started is stopped on exit.
#
#   bench/sync.sh [-r RUNS] [BUILD_DIR]
#
# BUILD_DIR (default build/) holds a RelWithDebInfo build of the targets orvale and bench_sync.
# RUNS (default 3) is the number of runs of each data set: the first fills the local tables, the
# later ones merge into filled ones.
set -euo pipefail

SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly SOURCE_DIR
readonly PG_BIN=/usr/lib/postgresql/15/bin
# The cluster of scripts/test-pg.sh: its superuser and the role the gateway logs in as.
readonly SUPERUSER=postgres
readonly SUPERUSER_PASSWORD=postgres-test
readonly DB_USER=orvale
readonly DB_PASSWORD=orvale-test
readonly LOCAL_DB=orvale_bench_sync
readonly OFFICE_DB=orvale_bench_office
readonly APP_KEY=bench-gateway-key
readonly GATEWAY_START_LIMIT=100 # tries, 0.1 s apart
readonly GATEWAY_STOP_LIMIT=150  # tries, 0.1 s apart: shutdown grace plus the 3 s pause

say() {
  echo "sync.sh: $*" >&2
}

fail() {
  say "$*"
  exit 1
}

usage() {
  echo "usage: $0 [-r RUNS] [BUILD_DIR]" >&2
  exit 2
}

runs=3
while getopts "r:h" opt; do
  case "$opt" in
  r) runs=$OPTARG ;;
  *) usage ;;
  esac
done
shift $((OPTIND - 1))
(($# <= 1)) || usage
[[ "$runs" =~ ^[0-9]+$ ]] || usage
build_dir=$(cd "${1:-$SOURCE_DIR/build}" && pwd) || fail "no build directory ${1:-build/}"
readonly gateway_bin=$build_dir/app-srv/orvale
readonly bench_bin=$build_dir/bench/bench_sync

check_build() {
  [[ -x "$gateway_bin" && -x "$bench_bin" ]] ||
    fail "build the targets orvale and bench_sync in $build_dir first"
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

# The fixture's tables, emptied and filled at scale: 8 products; stations 1001..1500 of types 1
# and 2, three shifts each, 6 dispensers of 3 nozzles in every shift (and totals of another kind
# beside them); controller settings; one price a day over the last 100 days per station and
# product. Every tenth station has no price type, which counts as the default one.
seed_databases() {
  psql_as "$SUPERUSER" "$SUPERUSER_PASSWORD" postgres <<SQL
CREATE DATABASE $LOCAL_DB TEMPLATE orvale_template OWNER $DB_USER;
CREATE DATABASE $OFFICE_DB OWNER $DB_USER;
SQL
  psql_as "$DB_USER" "$DB_PASSWORD" "$OFFICE_DB" -f "$SOURCE_DIR/sql/backoffice-fixture.sql"
  psql_as "$DB_USER" "$DB_PASSWORD" "$OFFICE_DB" <<'SQL'
BEGIN;
TRUNCATE pd_products, sd_ident, sj_shifts, pj_trksum, uremote.sd_remote_conf, pd_prodprices;
INSERT INTO pd_products (prodcod, prodtyp, title, showing, num_modification, full_del)
SELECT p, 1 + p % 3, 'Product ' || p, true, 1, false FROM generate_series(1, 8) AS p;
INSERT INTO sd_ident (id, title, doc_num, num_num, num_company, num_proprietor, num_exploit,
                      num_owner, doc_address, deleted, id_shop_type, azs_country, azs_city,
                      azs_zip, azs_street, azs_addr, reserv)
SELECT s, 'Station ' || s, s % 7, s % 500, 1 + s % 3, 1 + s % 5, 1, 1 + s % 2, 'Street ' || s,
       s % 97 = 0, 1 + s % 2, 'RU', 'City ' || s % 40, (170000 + s)::text,
       'Street ' || s % 300, 'City ' || s % 40 || ', Street ' || s % 300 || ', ' || s,
       CASE WHEN s % 10 = 0 THEN NULL ELSE 5 END
FROM generate_series(1001, 1500) AS s;
INSERT INTO sj_shifts (id_shop, num)
SELECT s, n FROM generate_series(1001, 1500) AS s, generate_series(1, 3) AS n;
INSERT INTO pj_trksum (id_shop, shift, typ, trk, sch, prodcod, tanknum)
SELECT s, sh, k, t, n, (s + (t - 1) * 3 + n - 1) % 8 + 1, (t - 1) * 3 + n
FROM generate_series(1001, 1500) AS s, generate_series(1, 3) AS sh, generate_series(1, 2) AS k,
     generate_series(1, 6) AS t, generate_series(1, 3) AS n;
INSERT INTO uremote.sd_remote_conf (id_shop, typ, tvalue)
SELECT s, 0, '127.0.0.1' FROM generate_series(1001, 1500) AS s
UNION ALL SELECT s, 10, (20000 + s)::text FROM generate_series(1001, 1500) AS s
UNION ALL SELECT s, 11, 'backoffice-' || s FROM generate_series(1001, 1500) AS s;
INSERT INTO pd_prodprices (id_shop, prod, price, settime)
SELECT s, p, 45 + p * 2.5 + (s % 17) * 0.1 + d * 0.01,
       (now() AT TIME ZONE 'UTC') - d * interval '1 day'
FROM generate_series(1001, 1500) AS s, generate_series(1, 8) AS p, generate_series(1, 100) AS d;
COMMIT;
ANALYZE pd_products, sd_ident, sj_shifts, pj_trksum, uremote.sd_remote_conf, pd_prodprices;
SQL
}

free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

database_object() {
  echo "{\"db_host\": \"127.0.0.1\", \"db_port\": $pg_port, \"db_name\": \"$1\",
      \"db_user\": \"$DB_USER\", \"db_pass\": \"$DB_PASSWORD\", \"connect_timeout\": 5}"
}

write_gateway_config() {
  local file=$1 port=$2
  cat >"$file" <<JSON
{
  "service": {"ip": "127.0.0.1", "port": $port, "shutdown_grace": 1},
  "http": {"script": "/orvale"},
  "logging": {"level": "error", "stderr": false, "file": {"name": "$work/orvale.log"}},
  "orvale": {
    "app_key": "$APP_KEY",
    "notifications": {"recv": true, "forward": false, "send": true},
    "app_database": $(database_object "$LOCAL_DB"),
    "velk_database": $(database_object "$OFFICE_DB")
  }
}
JSON
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

# Ready once it answers: the root itself answers 502, and logs nothing.
start_gateway() {
  gateway_port=$(free_port)
  write_gateway_config "$work/orvale.json" "$gateway_port"
  "$gateway_bin" -c "$work/orvale.json" >"$work/orvale.out" 2>&1 &
  gateway_pid=$!
  local url="http://127.0.0.1:$gateway_port/orvale"
  local i code
  for ((i = 0; i < GATEWAY_START_LIMIT; ++i)); do
    if ! kill -0 "$gateway_pid" 2>/dev/null; then
      show_gateway_log
      fail "the gateway has ended at its start"
    fi
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "$url" || true)
    if [[ "$code" == 502 ]]; then
      return 0
    fi
    sleep 0.1
  done
  show_gateway_log
  fail "the gateway does not answer 502 on $url (last status $code)"
}

main() {
  check_build
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  work=$(mktemp -d /tmp/orvale-bench-sync.XXXXXX)
  # The cluster's directory belongs to the postgres OS user, who must reach it.
  chmod 755 "$work"
  say "starting the cluster"
  pg_port=$(bash "$SOURCE_DIR/scripts/test-pg.sh" start "$work/pg")
  say "seeding the back-office: 500 stations, 9000 nozzles, 400000 prices"
  seed_databases
  say "starting the gateway"
  start_gateway
  say "measuring: $runs runs of each data set"
  if ! "$bench_bin" --gateway-port="$gateway_port" --pg-port="$pg_port" --local-db="$LOCAL_DB" \
    --office-db="$OFFICE_DB" --user="$DB_USER" --password="$DB_PASSWORD" --key="$APP_KEY" \
    --runs="$runs"; then
    show_gateway_log
    fail "the benchmark failed"
  fi
  if [[ -s "$work/orvale.log" ]]; then
    say "the gateway logged errors during the run:"
    show_gateway_log
  fi
}

main

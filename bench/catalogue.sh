#!/usr/bin/env bash
# The catalogue benchmark: a throwaway cluster holding a seeded station network, the gateway on
# it, and bench_catalogue driving /orvale/price and /orvale/station next to a minimal libpq client
# that does the same database work, then pgbench on the one-station statements over persistent
# connections, with and without preparing them, as the limit of the database itself. Everything
# it started is stopped on exit.
#
#   bench/catalogue.sh [-d SECONDS] [-c CLIENTS] [-p POOL_SIZE] [BUILD_DIR]
#
# BUILD_DIR (default build/) holds a RelWithDebInfo build of the targets orvale and
# bench_catalogue. SECONDS (default 5) is the length of each of the 18 measurements, CLIENTS the
# concurrencies (default 1,4,16). Without -p the gateway is measured twice in the same run: with
# pool_size 0 (a connection per request, exactly the work of the minimal client) and with its
# default pool. -p POOL_SIZE measures that one set-up only.
set -euo pipefail

readonly GATEWAY_STOP_LIMIT=150 # tries, 0.1 s apart: shutdown grace plus the 3 s pause
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly DB_NAME=orvale_bench
readonly API_KEY=bench-key
# Stations 1001..1500 are seeded; the one-station workloads ask for one in the middle.
readonly ONE_STATION=1250

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
use_build_dir bench_catalogue "${1:-}"

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

# The gateway's own pool unless POOL_SIZE is given.
start_catalogue_gateway() {
  local pool=
  if [[ -n "$pool_size" ]]; then
    pool=", \"pool_size\": $pool_size"
  fi
  start_gateway "/orvale/price?apikey=$API_KEY&stationId=$ONE_STATION" 200 \
    "$(database_object "$DB_NAME" "$pool")" "$(database_object "$DB_NAME")"
}

# One gateway set-up measured against the minimal client; the table also goes to $work/table-N.
measure_gateway() {
  local label=$1
  say "starting the gateway (pool_size $label)"
  start_catalogue_gateway
  say "measuring: 3 workloads x ${clients//,/\/} clients x 2 client kinds, ${duration} s each"
  "$bench_bin" --gateway-port="$gateway_port" --pg-port="$pg_port" --db="$DB_NAME" \
    --user="$DB_USER" --password="$DB_PASSWORD" --apikey="$API_KEY" --station="$ONE_STATION" \
    --duration="$duration" --clients="$clients" \
    --caption="gateway app_database.pool_size $label" | tee "$work/table-$label"
  show_gateway_errors
  stop_gateway
}

# The database's own limit for a one-station statement: pgbench over persistent connections,
# PROTOCOL "simple" (the text parsed and planned for every run) or "prepared" (planned once per
# connection, as the gateway's pooled sessions run a statement they see repeatedly).
pgbench_tps() {
  local which=$1 n=$2 protocol=$3
  "$bench_bin" --statement="$which" "$ONE_STATION" >"$work/$which.sql"
  PGPASSWORD=$DB_PASSWORD "$PG_BIN/pgbench" -n -h 127.0.0.1 -p "$pg_port" -U "$DB_USER" \
    -c "$n" -j 2 -T "$duration" -M "$protocol" -f "$work/$which.sql" "$DB_NAME" 2>/dev/null |
    sed -n 's/^tps = \([0-9.]*\) (without initial connection time)$/\1/p'
}

# requests/s of one workload at one concurrency in a table printed by bench_catalogue.
table_rps() {
  awk -F'|' -v w="$2" -v c="$3" '$2 ~ w && $3 + 0 == c { gsub(/ /, "", $4); print $4 }' "$1"
}

print_limits() {
  local n=${clients##*,}
  echo
  echo "limit: pgbench, $n clients, persistent connections, the same statement; ${duration} s each"
  echo
  echo "| workload | pgbench simple tps | pgbench prepared tps | pooled gateway rps | gateway/simple | gateway/prepared |"
  echo "|---|--:|--:|--:|--:|--:|"
  local which simple prepared rps
  for which in price station; do
    simple=$(pgbench_tps "$which" "$n" simple)
    prepared=$(pgbench_tps "$which" "$n" prepared)
    rps=$(table_rps "$work/table-${pool_size:-default}" "$which, one station" "$n")
    awk -v w="$which, one station" -v s="$simple" -v p="$prepared" -v r="$rps" \
      'BEGIN { printf "| %s | %.0f | %.0f | %s | %.2f | %.2f |\n", w, s, p, r,
               (s > 0 ? r / s : 0), (p > 0 ? r / p : 0) }'
  done
}

main() {
  check_build
  start_cluster /tmp/orvale-bench.XXXXXX
  say "seeding 500 stations"
  seed_network
  if [[ -n "$pool_size" ]]; then
    measure_gateway "$pool_size"
  else
    # Both modes in one run, on the same data: a connection per request, then the default pool.
    pool_size=0
    measure_gateway 0
    pool_size=
    measure_gateway default
  fi
  if [[ "${pool_size:-default}" != 0 ]]; then
    print_limits
  fi
}

main

#!/usr/bin/env bash
# The catalogue benchmark: a throwaway cluster holding a seeded station network, the gateway on
# it with its catalogue cache off and then on, bench_catalogue driving /orvale/price and
# /orvale/station against each, then pgbench on the one-station statements over persistent
# connections, with and without preparing them, as the limit of the database itself. Everything
# it started is stopped on exit.
#
#   bench/catalogue.sh [-d SECONDS] [-c CLIENTS] [-p POOL_SIZE] [-m] [BUILD_DIR]
#
# BUILD_DIR (default build/) holds a RelWithDebInfo build of the targets orvale and
# bench_catalogue. SECONDS (default 5) is the length of each measurement, CLIENTS the
# concurrencies (default 16). POOL_SIZE is app_database.pool_size of both gateways (default: the
# gateway's own default). -m also measures a minimal libpq client doing the endpoint's database
# work per request (a new connection each time) beside each gateway cell.
set -euo pipefail

readonly GATEWAY_STOP_LIMIT=150 # tries, 0.1 s apart: shutdown grace plus the 3 s pause
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly DB_NAME=orvale_bench
readonly API_KEY=bench-key
# Stations 1001..1500 are seeded; the one-station workloads ask for one in the middle.
readonly ONE_STATION=1250

usage() {
  echo "usage: $0 [-d SECONDS] [-c CLIENTS] [-p POOL_SIZE] [-m] [BUILD_DIR]" >&2
  exit 2
}

duration=5
clients=16
pool_size=
minimal=0
while getopts "d:c:p:mh" opt; do
  case "$opt" in
  d) duration=$OPTARG ;;
  c) clients=$OPTARG ;;
  p) pool_size=$OPTARG ;;
  m) minimal=1 ;;
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

# The gateway's own pool unless POOL_SIZE is given; CACHE is "true" or "false".
start_catalogue_gateway() {
  local cache=$1 pool=
  if [[ -n "$pool_size" ]]; then
    pool=", \"pool_size\": $pool_size"
  fi
  start_gateway "/orvale/price?apikey=$API_KEY&stationId=$ONE_STATION" 200 \
    "$(database_object "$DB_NAME" "$pool")" "$(database_object "$DB_NAME")" \
    "\"catalogue_cache\": $cache"
}

# One gateway set-up measured; the table also goes to $work/table-CACHE.
measure_gateway() {
  local cache=$1
  say "starting the gateway (catalogue_cache $cache)"
  start_catalogue_gateway "$cache"
  say "measuring: 3 workloads x ${clients//,/\/} clients, ${duration} s each"
  "$bench_bin" --gateway-port="$gateway_port" --pg-port="$pg_port" --db="$DB_NAME" \
    --user="$DB_USER" --password="$DB_PASSWORD" --apikey="$API_KEY" --station="$ONE_STATION" \
    --duration="$duration" --clients="$clients" --minimal="$minimal" \
    --caption="gateway catalogue_cache $cache, app_database.pool_size ${pool_size:-default}" |
    tee "$work/table-$cache"
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

# "N bytes per reply, M with gzip" of one workload, as bench_catalogue printed it.
reply_bytes() {
  sed -n "s/^$2: \([0-9]*\) bytes per reply, \([0-9]*\) with gzip$/\\$3/p" "$1" | head -n 1
}

print_summary() {
  local n=${clients##*,}
  echo
  echo "summary: $n clients, ${duration} s per cell; pgbench on persistent connections runs the"
  echo "one-station statements alone"
  echo
  echo "| workload | pgbench simple tps | pgbench prepared tps | uncached gateway rps | cached gateway rps | cached/prepared | cached/uncached |"
  echo "|---|--:|--:|--:|--:|--:|--:|"
  local which simple prepared uncached cached
  for which in "price, all stations" "price, one station" "station, one station"; do
    simple=0
    prepared=0
    case "$which" in
    "price, one station")
      simple=$(pgbench_tps price "$n" simple)
      prepared=$(pgbench_tps price "$n" prepared)
      ;;
    "station, one station")
      simple=$(pgbench_tps station "$n" simple)
      prepared=$(pgbench_tps station "$n" prepared)
      ;;
    esac
    uncached=$(table_rps "$work/table-false" "$which" "$n")
    cached=$(table_rps "$work/table-true" "$which" "$n")
    awk -v w="$which" -v s="$simple" -v p="$prepared" -v u="$uncached" -v c="$cached" \
      'function cell(x) { return x > 0 ? sprintf("%.0f", x) : "-" }
       BEGIN { printf "| %s | %s | %s | %s | %s | %s | %s |\n", w, cell(s), cell(p), u, c,
               (p > 0 ? sprintf("%.2f", c / p) : "-"), (u > 0 ? sprintf("%.1f", c / u) : "-") }'
  done
  echo
  echo "| reply | identity bytes | gzip bytes | gzip/identity |"
  echo "|---|--:|--:|--:|"
  local plain packed
  for which in "price, all stations" "price, one station" "station, one station"; do
    plain=$(reply_bytes "$work/table-true" "$which" 1)
    packed=$(reply_bytes "$work/table-true" "$which" 2)
    awk -v w="$which" -v a="$plain" -v b="$packed" \
      'BEGIN { printf "| %s | %d | %d | %.3f |\n", w, a, b, (a > 0 ? b / a : 0) }'
  done
}

main() {
  check_build
  start_cluster /tmp/orvale-bench.XXXXXX
  say "seeding 500 stations"
  seed_network
  # Both set-ups in one run, on the same data.
  measure_gateway false
  measure_gateway true
  print_summary
}

main

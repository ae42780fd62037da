#!/usr/bin/env bash
# The new-order benchmark: a throwaway cluster holding a seeded station network, the gateway on it,
# and bench_orders posting new orders while it plays every station controller and the aggregator,
# each answering at once. Runs twice: with orvale.pause_scale 1 (the design's fixed pauses, 0.5 s
# before the run and before each step) and with 0 (the gateway's own work). Prints one table per
# run; then pgbench runs the statements one new order makes (bench/orders.pgbench.sql) with as
# many clients as the last concurrency, for as long, on the same cluster: the limit the database
# sets (transactions a second and their p99), next to the gateway's orders/s and answer p99 at
# pause_scale 0. Everything it started is stopped on exit.
#
#   bench/orders.sh [-d SECONDS] [-c CLIENTS] [-k KEEPALIVE] [BUILD_DIR]
#
# BUILD_DIR (default build/) holds a RelWithDebInfo build of the targets orvale and bench_orders.
# SECONDS (default 10) is the length of each measurement, CLIENTS the concurrencies (default
# 1,4,16), KEEPALIVE the gateway's orvale.station_keepalive in seconds (default 0, its own
# default: a new connection per station call; bench_orders keeps connections alive). The gateway keeps two pools of POOL_SIZE sessions each to its database: the requests' and the jobs'.
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
# As many as the last concurrency, for the handlers, and as many again in the jobs' own pool, for
# the job workers. All are opened before the gateway takes requests: a measurement starts with
# warm pools, as a gateway that has been running would have.
readonly POOL_SIZE=16
# Every station's link has the one address of bench_orders, which orvale.jobs.per_peer would count
# as one controller; 50 real controllers would each get their own room. As many as the workers.
readonly PER_PEER=16
# How long the stored runs may take to finish after the last answer before the run gives up.
readonly RUNS_LIMIT=1200 # tries, 0.1 s apart
readonly PGBENCH_SCRIPT=$SOURCE_DIR/bench/orders.pgbench.sql

usage() {
  echo "usage: $0 [-d SECONDS] [-c CLIENTS] [-k KEEPALIVE] [BUILD_DIR]" >&2
  exit 2
}

duration=10
clients=1,4,16
keepalive=0
while getopts "d:c:k:h" opt; do
  case "$opt" in
  d) duration=$OPTARG ;;
  c) clients=$OPTARG ;;
  k) keepalive=$OPTARG ;;
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
  local app_database velk_database
  app_database=$(database_object "$DB_NAME" ", \"pool_size\": $POOL_SIZE, \"pool_open_at_start\": $POOL_SIZE")
  velk_database=$(database_object "$DB_NAME")
  start_gateway "/orvale/price?apikey=$API_KEY&stationId=$FIRST_STATION" 200 \
    "$app_database" "$velk_database" "\"upstream_url\": \"http://127.0.0.1:$peer_port\"" \
    '"app_key": "bench-gateway-key"' "\"pause_scale\": $scale" "\"jobs\": {\"per_peer\": $PER_PEER, \"pool_size\": $POOL_SIZE}" \
    "\"station_keepalive\": $keepalive"
}

# Waits until no stored job of the order runs is left waiting or running, and says how long that
# took after bench_orders saw the last dispenser start: the steps after it may still wait.
wait_runs() {
  local started i left
  started=$(date +%s.%N)
  for ((i = 0; i < RUNS_LIMIT; ++i)); do
    left=$(psql_as "$DB_USER" "$DB_PASSWORD" "$DB_NAME" -At \
      -c "SELECT count(*) FROM orvale_jobs WHERE state IN ('scheduled', 'running')")
    [[ "$left" == 0 ]] && break
    sleep 0.1
  done
  awk -v s="$started" -v e="$(date +%s.%N)" -v l="$left" \
    'BEGIN { printf "stored runs: %s jobs unfinished %.1f s after the last dispenser start\n", l, e - s }'
}

# The machine's CPU time (user, system and interrupts of every process, both cores) between two
# readings of /proc/stat, per order answered in the table: a figure that varies less from run to
# run than orders/s on a machine shared with others.
cpu_jiffies() {
  awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 }' /proc/stat
}
cpu_per_order() {
  local before=$1 after=$2 table=$3
  awk -F'|' -v j=$((after - before)) -v hz="$(getconf CLK_TCK)" -v d="$duration" '
    $2 ~ /[0-9]/ && $3 ~ /[0-9]/ { orders += $3 * d }
    END { if (orders > 0) printf "CPU time: %.2f ms per order (all processes, from the first order until the runs ended)\n", j * 1000 / hz / orders }' "$table"
}

measure() {
  local scale=$1
  say "measuring with orvale.pause_scale $scale: ${clients//,/\/} clients, ${duration} s each"
  start_orders_gateway "$scale"
  local status=0 cpu_before
  cpu_before=$(cpu_jiffies)
  "$bench_bin" --gateway-port="$gateway_port" --peer-port="$peer_port" --apikey="$API_KEY" \
    --fuel="$FUEL_ID" --price="$PRICE" --first-station="$FIRST_STATION" --stations="$STATIONS" \
    --dispensers="$DISPENSERS" --duration="$duration" --clients="$clients" \
    --prefix="s$scale" --caption="orvale.pause_scale $scale" | tee "$work/table-$scale" ||
    status=$?
  # At 1 the runs' later steps keep their design pauses; only the gateway's own pace is waited for.
  if [[ "$scale" == 0 ]]; then
    wait_runs
    cpu_per_order "$cpu_before" "$(cpu_jiffies)" "$work/table-$scale"
  fi
  show_gateway_errors
  stop_gateway
  return "$status"
}

# Transactions (orders) per second of the new order's statements over N persistent connections:
# PROTOCOL "simple" (every text parsed and planned each time) or "prepared" (planned once per
# connection). The gateway sits between the two: its pooled sessions keep the statements they run
# repeatedly prepared, and a job's pipelines send theirs unnamed.
# Each transaction's latency goes to a log of its own per protocol (pgbench_p99 reads it).
pgbench_tps() {
  local n=$1 protocol=$2
  PGPASSWORD=$DB_PASSWORD "$PG_BIN/pgbench" -n -h 127.0.0.1 -p "$pg_port" -U "$DB_USER" \
    -c "$n" -j 2 -T "$duration" -M "$protocol" -f "$PGBENCH_SCRIPT" \
    -l --log-prefix="$work/pgbench-$protocol-log" \
    -D first_station="$FIRST_STATION" -D stations="$STATIONS" -D dispensers="$DISPENSERS" \
    -D price="$PRICE" "$DB_NAME" 2>"$work/pgbench-$protocol.err" |
    sed -n 's/^tps = \([0-9.]*\) (without initial connection time)$/\1/p'
}

# The p99 in ms of a pgbench run's transaction latencies: with N clients in a closed loop on
# saturated cores, the latency the database alone allows an order.
pgbench_p99() {
  cat "$work/pgbench-$1-log".* | awk '{ print $3 }' | sort -n |
    awk '{ v[NR] = $1 } END { if (NR > 0) printf "%.1f", v[int(NR * 0.99 + 0.999)] / 1000 }'
}

# The number in a cell of the row for N clients in a table printed by bench_orders (column 3:
# orders/s, 5: answer p99 in ms).
table_cell() {
  awk -F'|' -v c="$2" -v k="$3" '$2 + 0 == c && $2 ~ /[0-9]/ { gsub(/[ a-z]/, "", $k); print $k }' "$1"
}

# The jobs pgbench booked (for the station address it gives them) by state: all done, unless a
# transaction was cut off when the run's time was up.
pgbench_jobs() {
  psql_as "$DB_USER" "$DB_PASSWORD" "$DB_NAME" -At -F ' ' \
    -c "SELECT state, count(*) FROM orvale_jobs WHERE peer = 'http://127.0.0.1:9' GROUP BY 1 ORDER BY 1" |
    paste -sd ',' -
}

print_limit() {
  local n=${clients##*,}
  say "pgbench: the new order's statements, $n clients, ${duration} s each protocol"
  local simple prepared
  simple=$(pgbench_tps "$n" simple) || true
  prepared=$(pgbench_tps "$n" prepared) || true
  [[ -n "$simple" && -n "$prepared" ]] || {
    cat "$work"/pgbench-*.err >&2
    fail "pgbench did not run"
  }
  local gateway p99 simple_p99 prepared_p99
  gateway=$(table_cell "$work/table-0" "$n" 3)
  p99=$(table_cell "$work/table-0" "$n" 5)
  simple_p99=$(pgbench_p99 simple)
  prepared_p99=$(pgbench_p99 prepared)
  echo
  echo "The limit: pgbench runs the statements of one new order over $n persistent connections,"
  echo "${duration} s per protocol, on the same cluster; the gateway at orvale.pause_scale 0"
  echo
  echo "| clients | gateway orders/s | answer p99 | pgbench simple tps / p99 | pgbench prepared tps / p99 | gateway/simple | gateway/prepared |"
  echo "|---:|---:|---:|---:|---:|---:|---:|"
  awk -v n="$n" -v g="$gateway" -v p99="$p99" -v s="$simple" -v p="$prepared" \
    -v sp="$simple_p99" -v pp="$prepared_p99" \
    'BEGIN { printf "| %d | %s | %s ms | %.0f / %s ms | %.0f / %s ms | %.2f | %.2f |\n", n, g, p99, s, sp, p, pp, g / s, g / p }'
  echo
  echo "pgbench's jobs by state: $(pgbench_jobs)"
}

main() {
  check_build
  start_cluster /tmp/orvale-bench.XXXXXX
  peer_port=$(free_port)
  say "seeding $STATIONS stations with $DISPENSERS dispensers each"
  seed_network
  measure 1
  measure 0
  print_limit
}

main

#!/usr/bin/env bash
# The body of "make run": a throwaway PostgreSQL 15 cluster under var/pg holding the demo data
# and a small back-office database, a configuration in var/orvale.json, the simulators of the
# three demo station controllers (127.0.0.1:9101-9103) and of the aggregator (127.0.0.1:9200),
# and the gateway in the foreground on 127.0.0.1:8080.
# When the gateway ends (Ctrl-C, SIGTERM, or on its own) the simulators are stopped and the
# cluster is stopped and removed; every run starts from a fresh one.
set -euo pipefail

readonly PG_BIN=/usr/lib/postgresql/15/bin
SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
readonly SOURCE_DIR
# shellcheck source=ports.sh
source "$SOURCE_DIR/scripts/ports.sh"
readonly VAR_DIR="$SOURCE_DIR/var"
readonly PG_DIR="$VAR_DIR/pg"
readonly CONFIG="$VAR_DIR/orvale.json"
readonly BINARY="$SOURCE_DIR/build/app-srv/orvale"
readonly SIM_BINARY="$SOURCE_DIR/build/app-srv/orvale-sim"
readonly SIM_STATIONS="$SOURCE_DIR/config/orvale-sim.demo.json"
readonly SIM_PORTS=(9101 9102 9103 9200)
readonly AGGREGATOR_URL=http://127.0.0.1:9200
readonly SERVICE_PORT=8080
readonly ADMIN_PORT=8081
readonly SUPERUSER_PASSWORD=postgres-demo
readonly APP_PASSWORD=orvale-demo
readonly APP_KEY=demo-gateway-key
readonly ADMIN_KEY=demo-operator-key

gateway_pid=
sim_pids=()

say() {
  echo "run-demo: $*" >&2
}

fail() {
  say "$*"
  exit 1
}

# PostgreSQL refuses to run as root, so then the cluster belongs to the postgres OS user.
as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

give_to_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    chown postgres: "$@"
  fi
}

cluster_running() {
  [[ -f "$PG_DIR/data/postmaster.pid" ]] &&
    as_owner "$PG_BIN/pg_ctl" -D "$PG_DIR/data" status >/dev/null 2>&1
}

# Also clears what an earlier run left behind when it was killed outright.
remove_cluster() {
  if cluster_running; then
    as_owner "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m fast -w -t 30 stop >/dev/null ||
      as_owner "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate -w stop >/dev/null || true
  fi
  if cluster_running; then
    say "the cluster in $PG_DIR/data does not stop; stop it by hand"
    return 1
  fi
  rm -rf -- "$PG_DIR"
}

check_prerequisites() {
  [[ -x "$BINARY" ]] || fail "$BINARY is missing: run 'make build' first"
  [[ -x "$SIM_BINARY" ]] || fail "$SIM_BINARY is missing: run 'make build' first"
  [[ -x "$PG_BIN/initdb" ]] || fail "PostgreSQL 15 is missing: run scripts/install-deps.sh"
  if is_listening "$SERVICE_PORT"; then
    fail "port $SERVICE_PORT is taken: stop whatever listens on 127.0.0.1:$SERVICE_PORT first"
  fi
  local port
  for port in "${SIM_PORTS[@]}"; do
    if is_listening "$port"; then
      fail "port $port is taken (a simulator's): stop whatever listens on 127.0.0.1:$port first"
    fi
  done
  if is_listening "$ADMIN_PORT"; then
    fail "port $ADMIN_PORT is taken: stop whatever listens on 127.0.0.1:$ADMIN_PORT first"
  fi
}

init_cluster() {
  mkdir -p "$PG_DIR/data"
  chmod 700 "$PG_DIR/data"
  printf '%s\n' "$SUPERUSER_PASSWORD" >"$PG_DIR/pwfile"
  touch "$PG_DIR/pg.log"
  give_to_owner "$PG_DIR" "$PG_DIR/data" "$PG_DIR/pwfile" "$PG_DIR/pg.log"
  if [[ $(id -u) -eq 0 ]] && ! runuser -u postgres -- test -w "$PG_DIR"; then
    fail "the postgres OS user cannot reach $PG_DIR (a parent directory is closed to it)"
  fi
  if ! as_owner "$PG_BIN/initdb" -D "$PG_DIR/data" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 --pwfile="$PG_DIR/pwfile" --encoding=UTF8 --locale=C \
    >"$PG_DIR/initdb.log" 2>&1; then
    cat "$PG_DIR/initdb.log" >&2
    fail "initdb failed in $PG_DIR/data"
  fi
  rm -f -- "$PG_DIR/pwfile"
}

# TCP on 127.0.0.1 only and no unix socket, so a long checkout path cannot break the start.
write_cluster_config() {
  local port=$1
  cat >>"$PG_DIR/data/postgresql.conf" <<EOF

# run-demo.sh: throwaway demo cluster
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = ''
fsync = off
synchronous_commit = off
full_page_writes = off
EOF
  give_to_owner "$PG_DIR/data/postgresql.conf"
}

start_cluster() {
  local conf="$PG_DIR/data/postgresql.conf"
  cp "$conf" "$conf.initdb"
  local attempt port
  for attempt in 1 2 3 4 5; do
    port=$(pick_port)
    cp "$conf.initdb" "$conf"
    write_cluster_config "$port"
    if as_owner "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/pg.log" -w -t 60 start \
      >/dev/null; then
      echo "$port" >"$PG_DIR/port"
      return
    fi
    # A port taken between the probe and the bind is worth another try; anything else is not.
    if ! grep -q 'could not bind\|could not create any TCP/IP sockets' "$PG_DIR/pg.log"; then
      break
    fi
    say "port $port was taken (attempt $attempt), trying another"
  done
  tail -n 30 "$PG_DIR/pg.log" >&2 || true
  fail "the cluster in $PG_DIR/data did not start"
}

psql_as() {
  local user=$1 password=$2 db=$3
  shift 3
  PGPASSWORD=$password "$PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 \
    -p "$(<"$PG_DIR/port")" -U "$user" -d "$db" "$@"
}

create_databases() {
  psql_as postgres "$SUPERUSER_PASSWORD" postgres <<EOF
CREATE ROLE orvale LOGIN PASSWORD '$APP_PASSWORD';
CREATE DATABASE orvale OWNER orvale;
CREATE DATABASE orvale_backoffice OWNER orvale;
EOF
  # As orvale, so that the tables belong to the role the gateway logs in as.
  psql_as orvale "$APP_PASSWORD" orvale -f "$SOURCE_DIR/sql/schema.sql" >/dev/null
  psql_as orvale "$APP_PASSWORD" orvale -f "$SOURCE_DIR/sql/demo.sql" >/dev/null
  # The back-office the synchronisation endpoints read.
  psql_as orvale "$APP_PASSWORD" orvale_backoffice -f "$SOURCE_DIR/sql/backoffice-fixture.sql" \
    >/dev/null
}

database_object() {
  local name=$1
  cat <<EOF
{
      "db_host": "127.0.0.1",
      "db_port": $(<"$PG_DIR/port"),
      "db_name": "$name",
      "db_user": "orvale",
      "db_pass": "$APP_PASSWORD",
      "connect_timeout": 5
    }
EOF
}

write_service_config() {
  cat >"$CONFIG" <<EOF
// Written by scripts/run-demo.sh for one demo run; config/orvale.example.json documents it all.
{
  "service": { "ip": "127.0.0.1", "port": $SERVICE_PORT },
  "admin": { "ip": "127.0.0.1", "port": $ADMIN_PORT },
  "logging": { "level": "info", "stderr": true },
  "orvale": {
    "upstream_url": "$AGGREGATOR_URL",
    "app_key": "$APP_KEY",
    "admin_key": "$ADMIN_KEY",
    "pause_scale": 1,
    "notifications": { "recv": true, "forward": false, "send": true },
    "app_database": $(database_object orvale),
    "velk_database": $(database_object orvale_backoffice)
  }
}
EOF
}

cleanup() {
  local status=$?
  # A second Ctrl-C must not cut the cluster's shutdown short.
  trap '' INT TERM HUP
  if [[ -n "$gateway_pid" ]] && kill -0 "$gateway_pid" 2>/dev/null; then
    kill -TERM "$gateway_pid" 2>/dev/null || true
    wait "$gateway_pid" 2>/dev/null || true
  fi
  stop_simulators
  if [[ -d "$PG_DIR" ]]; then
    say "stopping the demo cluster"
    remove_cluster || status=1
  fi
  exit "$status"
}

# Before the gateway runs, a signal ends the set-up (the EXIT trap removes what it made).
forward_signal() {
  local sig=$1 code=$2
  if [[ -n "$gateway_pid" ]]; then
    kill "-$sig" "$gateway_pid" 2>/dev/null || true
  else
    exit "$code"
  fi
}

# The simulators, like the gateway, run in sessions of their own: this script alone stops them.
start_simulators() {
  setsid "$SIM_BINARY" aggregator --listen "${AGGREGATOR_URL#http://}" </dev/null &
  sim_pids+=($!)
  setsid "$SIM_BINARY" station --config "$SIM_STATIONS" </dev/null &
  sim_pids+=($!)
  say "simulators: stations 101-103 on 127.0.0.1:9101-9103, aggregator on $AGGREGATOR_URL"
}

stop_simulators() {
  local pid
  for pid in "${sim_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${sim_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  sim_pids=()
}

# The gateway runs in a session of its own so that a Ctrl-C reaches it once, through this script,
# and a hang-up of the terminal stops it instead of making it reload its configuration.
run_gateway() {
  say "gateway on http://127.0.0.1:$SERVICE_PORT/orvale, operations on http://127.0.0.1:$ADMIN_PORT/metrics (Ctrl-C stops it and the cluster)"
  setsid "$BINARY" -c "$CONFIG" </dev/null &
  gateway_pid=$!
  local status
  while true; do
    status=0
    wait "$gateway_pid" || status=$?
    # A wait cut short by a trapped signal returns (above 128) while the gateway still runs.
    if ! kill -0 "$gateway_pid" 2>/dev/null; then
      break
    fi
  done
  if ((status > 128)); then
    # The gateway may have ended while the trap ran: then its own status is still to be had.
    local last=0
    wait "$gateway_pid" 2>/dev/null || last=$?
    if ((last != 127)); then
      status=$last
    fi
  fi
  gateway_pid=
  say "the gateway ended with status $status"
  return "$status"
}

main() {
  check_prerequisites
  trap cleanup EXIT
  trap 'forward_signal INT 130' INT
  trap 'forward_signal TERM 143' TERM
  trap 'forward_signal TERM 129' HUP
  mkdir -p "$VAR_DIR"
  remove_cluster
  init_cluster
  start_cluster
  create_databases
  write_service_config
  say "demo cluster on 127.0.0.1:$(<"$PG_DIR/port") (databases orvale, orvale_backoffice)"
  start_simulators
  run_gateway
}

main "$@"

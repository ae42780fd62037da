# shellcheck shell=bash
# What the benchmark drivers (bench/catalogue.sh, orders.sh, sync.sh) share: a throwaway cluster
# of scripts/test-pg.sh, the gateway started on it and stopped again, and the clean-up on exit.
# Sourced, never run. Before sourcing, a driver sets `set -euo pipefail` and
# GATEWAY_STOP_LIMIT (tries, 0.1 s apart), which depends on the pauses of its gateway.

SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly SOURCE_DIR
# Messages carry the name of the driver that sourced this file.
BENCH_NAME=$(basename "${BASH_SOURCE[1]}")
readonly BENCH_NAME
readonly PG_BIN=/usr/lib/postgresql/15/bin
# The cluster of scripts/test-pg.sh: its superuser and the role the gateway logs in as.
# The superuser is the drivers' to use, when they create their databases.
# shellcheck disable=SC2034
readonly SUPERUSER=postgres
# shellcheck disable=SC2034
readonly SUPERUSER_PASSWORD=postgres-test
readonly DB_USER=orvale
readonly DB_PASSWORD=orvale-test
readonly GATEWAY_START_LIMIT=100 # tries, 0.1 s apart

work=
gateway_pid=
gateway_port=
pg_port=

say() {
  echo "$BENCH_NAME: $*" >&2
}

fail() {
  say "$*"
  exit 1
}

# use_build_dir TARGET [DIR]: the build (default build/) with the gateway and the bench program
# TARGET; sets build_dir, gateway_bin and bench_bin.
use_build_dir() {
  bench_target=$1
  local dir=${2:-}
  build_dir=$(cd "${dir:-$SOURCE_DIR/build}" && pwd) || fail "no build directory ${dir:-build/}"
  readonly bench_target build_dir
  readonly gateway_bin=$build_dir/app-srv/orvale
  readonly bench_bin=$build_dir/bench/$bench_target
}

check_build() {
  [[ -x "$gateway_bin" && -x "$bench_bin" ]] ||
    fail "build the targets orvale and $bench_target in $build_dir first"
  local type
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
  [[ "$type" == RelWithDebInfo ]] ||
    fail "$build_dir is a '$type' build; the figures are meant for RelWithDebInfo"
}

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

# start_cluster TEMPLATE: a work directory made by mktemp from TEMPLATE, removed on exit with
# everything started in it; sets work and pg_port.
start_cluster() {
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  work=$(mktemp -d "$1")
  # The cluster's directory belongs to the postgres OS user, who must reach it.
  chmod 755 "$work"
  say "starting the cluster"
  pg_port=$(bash "$SOURCE_DIR/scripts/test-pg.sh" start "$work/pg")
}

psql_as() {
  local user=$1 password=$2 db=$3
  shift 3
  PGPASSWORD=$password "$PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$pg_port" \
    -U "$user" -d "$db" "$@"
}

free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# database_object NAME [MORE]: the gateway's settings for database NAME on the cluster; MORE
# (", \"key\": value" pairs) goes inside the object.
database_object() {
  echo "{\"db_host\": \"127.0.0.1\", \"db_port\": $pg_port, \"db_name\": \"$1\",
      \"db_user\": \"$DB_USER\", \"db_pass\": \"$DB_PASSWORD\", \"connect_timeout\": 5${2:-}}"
}

# write_gateway_config FILE PORT APP_DATABASE VELK_DATABASE [SETTING...]: each SETTING a
# "\"key\": value" line of the "orvale" object.
write_gateway_config() {
  local file=$1 port=$2 app_database=$3 velk_database=$4
  shift 4
  local settings='' setting
  for setting in "$@"; do
    settings+="    $setting,"$'\n'
  done
  cat >"$file" <<EOF
{
  "service": {"ip": "127.0.0.1", "port": $port, "shutdown_grace": 1},
  "http": {"script": "/orvale"},
  "logging": {"level": "error", "stderr": false, "file": {"name": "$work/orvale.log"}},
  "orvale": {
${settings}    "notifications": {"recv": true, "forward": false, "send": true},
    "app_database": $app_database,
    "velk_database": $velk_database
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

show_gateway_errors() {
  if [[ -s "$work/orvale.log" ]]; then
    say "the gateway logged errors during the run:"
    show_gateway_log
  fi
}

# start_gateway TARGET STATUS APP_DATABASE VELK_DATABASE [SETTING...]: the gateway on a free
# port (set in gateway_port), configured as by write_gateway_config, and ready once a GET of
# TARGET answers STATUS.
start_gateway() {
  local target=$1 status=$2
  shift 2
  gateway_port=$(free_port)
  write_gateway_config "$work/orvale.json" "$gateway_port" "$@"
  "$gateway_bin" -c "$work/orvale.json" >"$work/orvale.out" 2>&1 &
  gateway_pid=$!
  local url="http://127.0.0.1:$gateway_port$target"
  local i code
  for ((i = 0; i < GATEWAY_START_LIMIT; ++i)); do
    if ! kill -0 "$gateway_pid" 2>/dev/null; then
      show_gateway_log
      fail "the gateway has ended at its start"
    fi
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "$url" || true)
    if [[ "$code" == "$status" ]]; then
      return 0
    fi
    sleep 0.1
  done
  show_gateway_log
  fail "the gateway does not answer $status on $url (last status $code)"
}

#!/usr/bin/env bash
# A throwaway PostgreSQL 15 cluster for the test suite (ctest fixtures pg_start and pg_stop).
#
#   test-pg.sh start DIR [TIMEZONE]   wipe DIR's earlier cluster, start a new one, print its port
#   test-pg.sh restart DIR            restart it on the same port (sessions are cut)
#   test-pg.sh halt DIR               stop it, keeping its data (the port is free meanwhile)
#   test-pg.sh resume DIR             start a halted cluster again on the same port
#   test-pg.sh stop DIR               stop it (if running) and remove its data
#
# The cluster listens on 127.0.0.1 only, on a free port written to DIR/port. The superuser
# "postgres" has the password "postgres-test"; the role "orvale" (password "orvale-test") owns the
# database "orvale_template", which holds sql/schema.sql and is cloned by every test.
set -euo pipefail

readonly PG_BIN=/usr/lib/postgresql/15/bin
SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly SOURCE_DIR
# shellcheck source=ports.sh
source "$SOURCE_DIR/scripts/ports.sh"
readonly SCHEMA="$SOURCE_DIR/sql/schema.sql"
readonly SUPERUSER_PASSWORD=postgres-test
readonly APP_PASSWORD=orvale-test
# A unix socket path holds at most 107 bytes; the socket's own name ".s.PGSQL.NNNNN" adds 15.
readonly MAX_SOCKET_DIR=90

usage() {
  echo "usage: $0 start DIR [TIMEZONE] | restart DIR | halt DIR | resume DIR | stop DIR" >&2
  exit 2
}

fail() {
  echo "test-pg.sh: $*" >&2
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

is_running() {
  [[ -f "$1/data/postmaster.pid" ]] && as_owner "$PG_BIN/pg_ctl" -D "$1/data" status >/dev/null 2>&1
}

stop_cluster() {
  local dir=$1
  if is_running "$dir"; then
    if ! as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null &&
      is_running "$dir"; then
      fail "the cluster in $dir/data does not stop"
    fi
  fi
  if [[ -f "$dir/socketdir" ]]; then
    local socket_dir
    socket_dir=$(<"$dir/socketdir")
    # Only ever a directory this script made with mktemp.
    if [[ "$socket_dir" == /tmp/orvale-pg.* ]]; then
      rm -rf -- "$socket_dir"
    fi
  fi
  rm -rf -- "$dir/data" "$dir/port" "$dir/socketdir" "$dir/pwfile"
}

write_config() {
  local dir=$1 port=$2 socket_dir=$3 timezone=$4
  cat >>"$dir/data/postgresql.conf" <<EOF

# test-pg.sh: throwaway cluster, speed over durability
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$socket_dir'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 300
timezone = '$timezone'
log_line_prefix = '%m [%p] %q%u@%d '
EOF
}

# Superuser statements over the unix socket, where initdb set trust authentication.
psql_as() {
  local dir=$1 user=$2 db=$3
  shift 3
  "$PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$(socket_dir_of "$dir")" -p "$(<"$dir/port")" \
    -U "$user" -d "$db" "$@"
}

socket_dir_of() {
  if [[ -f "$1/socketdir" ]]; then
    cat "$1/socketdir"
  else
    echo "$1"
  fi
}

init_cluster() {
  local dir=$1
  mkdir -p "$dir/data"
  chmod 700 "$dir/data"
  printf '%s\n' "$SUPERUSER_PASSWORD" >"$dir/pwfile"
  give_to_owner "$dir" "$dir/data" "$dir/pwfile"
  if ! as_owner "$PG_BIN/initdb" -D "$dir/data" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 --pwfile="$dir/pwfile" --encoding=UTF8 --locale=C \
    >"$dir/initdb.log" 2>&1; then
    cat "$dir/initdb.log" >&2
    fail "initdb failed in $dir/data"
  fi
  rm -f -- "$dir/pwfile"
}

choose_socket_dir() {
  local dir=$1
  if ((${#dir} <= MAX_SOCKET_DIR)); then
    echo "$dir"
    return
  fi
  local socket_dir
  socket_dir=$(mktemp -d /tmp/orvale-pg.XXXXXX)
  give_to_owner "$socket_dir"
  echo "$socket_dir" >"$dir/socketdir"
  echo "$socket_dir"
}

start_cluster() {
  local dir=$1 timezone=$2 socket_dir=$3
  local conf="$dir/data/postgresql.conf"
  cp "$conf" "$conf.initdb"
  local attempt port
  for attempt in 1 2 3 4 5; do
    port=$(pick_port)
    cp "$conf.initdb" "$conf"
    write_config "$dir" "$port" "$socket_dir" "$timezone"
    give_to_owner "$conf"
    if as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/pg.log" -w -t 60 start >/dev/null; then
      echo "$port" >"$dir/port"
      return
    fi
    # A port taken between the probe and the bind is worth another try; anything else is not.
    if ! grep -q 'could not bind\|could not create any TCP/IP sockets' "$dir/pg.log"; then
      break
    fi
    echo "test-pg.sh: port $port was taken (attempt $attempt), trying another" >&2
  done
  tail -n 30 "$dir/pg.log" >&2 || true
  fail "the cluster in $dir/data did not start"
}

# Runs inside an if, where set -e does not apply: every step returns on failure itself.
create_template() {
  local dir=$1
  psql_as "$dir" postgres postgres <<EOF || return 1
-- CREATEROLE: tests make roles of their own (odd passwords, narrow grants).
CREATE ROLE orvale LOGIN CREATEROLE PASSWORD '$APP_PASSWORD';
CREATE DATABASE orvale_template OWNER orvale;
EOF
  # Applied as orvale so that the tables belong to the role the service logs in as.
  psql_as "$dir" orvale orvale_template -f "$SCHEMA" >/dev/null || return 1
  # Nobody may connect to the template: one open session would make every clone fail.
  psql_as "$dir" postgres postgres <<EOF || return 1
ALTER DATABASE orvale_template WITH IS_TEMPLATE true ALLOW_CONNECTIONS false;
EOF
}

cmd_start() {
  local dir=$1 timezone=${2:-UTC}
  # Goes into postgresql.conf between quotes.
  [[ "$timezone" =~ ^[A-Za-z0-9_/+:-]+$ ]] || fail "not a time zone name: $timezone"
  [[ -f "$SCHEMA" ]] || fail "the schema $SCHEMA is missing"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd -P)
  stop_recorded_home "$dir"
  stop_cluster "$dir"
  rm -f -- "$dir/pg.log" "$dir/initdb.log"
  local cdir=$dir
  if [[ $(id -u) -eq 0 ]] && ! runuser -u postgres -- test -w "$dir"; then
    give_to_owner "$dir"
    if ! runuser -u postgres -- test -w "$dir"; then
      # A parent directory is closed to the postgres OS user (a clone under /root, say): the
      # cluster lives in /tmp and DIR only records where.
      cdir=$(mktemp -d /tmp/orvale-pg.XXXXXX)
      give_to_owner "$cdir"
      echo "$cdir" >"$dir/home"
    fi
  fi
  init_cluster "$cdir"
  local socket_dir
  socket_dir=$(choose_socket_dir "$cdir")
  touch "$cdir/pg.log"
  give_to_owner "$cdir/pg.log"
  start_cluster "$cdir" "$timezone" "$socket_dir"
  if ! create_template "$cdir"; then
    stop_cluster "$cdir"
    fail "cannot create orvale_template from $SCHEMA"
  fi
  [[ "$cdir" == "$dir" ]] || cp "$cdir/port" "$dir/port"
  cat "$dir/port"
}

# The cluster of DIR: DIR itself, or the /tmp directory it records.
stop_recorded_home() {
  local dir=$1
  [[ -f "$dir/home" ]] || return 0
  local home
  home=$(<"$dir/home")
  # Only ever a directory this script made with mktemp.
  if [[ "$home" == /tmp/orvale-pg.* && -d "$home" ]]; then
    stop_cluster "$home"
    rm -rf -- "$home"
  fi
  rm -f -- "$dir/home" "$dir/port"
}

# A fast restart on the same port: every open session is cut, as in a server restart.
cmd_restart() {
  local dir=$1
  dir=$(cd "$dir" && pwd -P)
  local cdir=$dir
  [[ -f "$dir/home" ]] && cdir=$(<"$dir/home")
  is_running "$cdir" || fail "no cluster runs in $cdir/data"
  as_owner "$PG_BIN/pg_ctl" -D "$cdir/data" -l "$cdir/pg.log" -m fast -w -t 60 restart >/dev/null
}

cluster_home() {
  local dir
  dir=$(cd "$1" && pwd -P)
  if [[ -f "$dir/home" ]]; then
    cat "$dir/home"
  else
    echo "$dir"
  fi
}

cmd_halt() {
  local cdir
  cdir=$(cluster_home "$1")
  is_running "$cdir" || fail "no cluster runs in $cdir/data"
  as_owner "$PG_BIN/pg_ctl" -D "$cdir/data" -m fast -w -t 60 stop >/dev/null
}

cmd_resume() {
  local cdir
  cdir=$(cluster_home "$1")
  [[ -d "$cdir/data" ]] || fail "no cluster in $cdir/data"
  is_running "$cdir" && return 0
  as_owner "$PG_BIN/pg_ctl" -D "$cdir/data" -l "$cdir/pg.log" -w -t 60 start >/dev/null
}

cmd_stop() {
  local dir=$1
  [[ -d "$dir" ]] || return 0
  dir=$(cd "$dir" && pwd -P)
  stop_recorded_home "$dir"
  stop_cluster "$dir"
}

main() {
  (($# >= 2)) || usage
  case "$1" in
  start)
    (($# <= 3)) || usage
    cmd_start "$2" "${3:-UTC}"
    ;;
  stop)
    (($# == 2)) || usage
    cmd_stop "$2"
    ;;
  restart)
    (($# == 2)) || usage
    cmd_restart "$2"
    ;;
  halt)
    (($# == 2)) || usage
    cmd_halt "$2"
    ;;
  resume)
    (($# == 2)) || usage
    cmd_resume "$2"
    ;;
  *) usage ;;
  esac
}

main "$@"

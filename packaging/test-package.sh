#!/usr/bin/env bash
# The body of "make test-package": builds the Debian package from the existing build tree, checks
# its file list and control files, unpacks it into a scratch root (dpkg -x: nothing on this
# machine changes) and starts the packaged binary with the packaged configuration, pointed at a
# throwaway cluster holding the packaged schema. It then asks the admin listener for health and
# readiness and stops the binary with SIGTERM.
#
#   test-package.sh BUILD_DIR
set -euo pipefail

SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
readonly SOURCE_DIR
BUILD_DIR=$(cd "${1:?usage: test-package.sh BUILD_DIR}" && pwd -P)
readonly BUILD_DIR
readonly PG_DIR="$BUILD_DIR/test-pg-package"
readonly ROOT="$BUILD_DIR/package-root"
readonly DB_NAME=orvale_package
# shellcheck source=../scripts/ports.sh
source "$SOURCE_DIR/scripts/ports.sh"

gateway_pid=

say() {
  echo "test-package: $*" >&2
}

fail() {
  say "FAILED: $*"
  exit 1
}

cleanup() {
  if [[ -n "$gateway_pid" ]] && kill -0 "$gateway_pid" 2>/dev/null; then
    kill -KILL "$gateway_pid" 2>/dev/null || true
    wait "$gateway_pid" 2>/dev/null || true
  fi
  bash "$SOURCE_DIR/scripts/test-pg.sh" stop "$PG_DIR" || true
}
trap cleanup EXIT

build_package() {
  rm -f -- "$BUILD_DIR"/orvale_*.deb
  (cd "$BUILD_DIR" && cpack -G DEB >/dev/null) || fail "cpack could not build the package"
  shopt -s nullglob
  local debs=("$BUILD_DIR"/orvale_*.deb)
  shopt -u nullglob
  ((${#debs[@]} == 1)) || fail "expected one orvale_*.deb in $BUILD_DIR, found ${#debs[@]}"
  DEB=${debs[0]}
  say "built $(basename "$DEB")"
}

check_contents() {
  local listing
  listing=$(dpkg-deb -c "$DEB" | awk '{print $NF}' | sed 's|^\./|/|')
  local path
  for path in /usr/bin/orvale /lib/systemd/system/orvale.service /etc/orvale/orvale.json \
    /usr/share/orvale/schema.sql /usr/share/orvale/upgrade.sql; do
    grep -qx -- "$path" <<<"$listing" || fail "$path is not in the package"
  done
  local control
  control=$(mktemp -d)
  dpkg-deb -e "$DEB" "$control"
  grep -qx /etc/orvale/orvale.json "$control/conffiles" || fail "the configuration is no conffile"
  grep -q 'useradd --system' "$control/postinst" || fail "postinst creates no user"
  grep -q '/etc/orvale/operator.env' "$control/postinst" || fail "postinst makes no operator key"
  [[ -x "$control/postinst" ]] || fail "postinst is not executable"
  rm -rf -- "$control"
  say "file list and control files are as expected"
}

unpack() {
  rm -rf -- "$ROOT"
  mkdir -p "$ROOT"
  dpkg -x "$DEB" "$ROOT"
}

# The passwords test-pg.sh gives its roles.
psql_as() {
  local user=$1 password=$2
  shift 2
  PGPASSWORD=$password /usr/lib/postgresql/15/bin/psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 \
    -p "$PG_PORT" -U "$user" "$@"
}

# The packaged schema, applied as the role the gateway logs in as.
prepare_database() {
  PG_PORT=$(bash "$SOURCE_DIR/scripts/test-pg.sh" start "$PG_DIR" | tail -n 1)
  psql_as postgres postgres-test -d postgres -c "CREATE DATABASE $DB_NAME OWNER orvale" >/dev/null
  psql_as orvale orvale-test -d "$DB_NAME" -f "$ROOT/usr/share/orvale/schema.sql" >/dev/null
}

# A plain GET; prints the status, then the body.
get() {
  curl -s -m 5 -o "$BUILD_DIR/package-reply" -w '%{http_code}' "$1" || true
  echo
  cat "$BUILD_DIR/package-reply" 2>/dev/null || true
}

wait_ready() {
  local i
  for i in $(seq 1 100); do
    if [[ $(get "http://127.0.0.1:$ADMIN_PORT/health" | head -n 1) == 200 ]]; then
      return 0
    fi
    kill -0 "$gateway_pid" 2>/dev/null || fail "the packaged binary exited: $(cat "$BUILD_DIR/package-stderr")"
    sleep 0.1
  done
  fail "the packaged binary did not open its admin listener"
}

run_packaged_binary() {
  SERVICE_PORT=$(pick_port)
  ADMIN_PORT=$(pick_port)
  local db=orvale-app_database
  "$ROOT/usr/bin/orvale" -c "$ROOT/etc/orvale/orvale.json" \
    --service-port="$SERVICE_PORT" --admin-port="$ADMIN_PORT" --orvale-pause_scale=0.01 \
    --$db-db_host=127.0.0.1 --$db-db_port="$PG_PORT" --$db-db_name=$DB_NAME \
    --$db-db_user=orvale --$db-db_pass=orvale-test \
    >"$BUILD_DIR/package-stdout" 2>"$BUILD_DIR/package-stderr" &
  gateway_pid=$!
  wait_ready
  local reply
  reply=$(get "http://127.0.0.1:$ADMIN_PORT/ready")
  [[ $reply == $'200\n{"database":"ok"}' ]] || fail "readiness answered: $reply"
  reply=$(get "http://127.0.0.1:$SERVICE_PORT/orvale/price")
  [[ $(head -n 1 <<<"$reply") =~ ^4[0-9][0-9]$ ]] ||
    fail "the price list without a key answered: $reply"
  kill -TERM "$gateway_pid"
  local status=0
  wait "$gateway_pid" || status=$?
  gateway_pid=
  ((status == 0)) || fail "the packaged binary exited with status $status on SIGTERM"
  say "the packaged binary served with the packaged configuration and stopped cleanly"
}

main() {
  command -v cpack >/dev/null || fail "cpack not found"
  build_package
  check_contents
  unpack
  prepare_database
  run_packaged_binary
  say "passed"
}

main "$@"

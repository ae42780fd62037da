#!/usr/bin/env bash
# systemd-analyze verify on the service unit. Exits 77 (ctest: skipped) where systemd-analyze is
# missing. verify reports many mistakes (an unknown key, a value it cannot parse) only as a
# message and still exits 0, so any message fails the test too.
#
#   verify-unit.sh UNIT BINARY   BINARY stands in for /usr/bin/orvale, which must exist to verify
set -euo pipefail

unit=$1
binary=$2
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "verify-unit: SKIPPED: systemd-analyze not found (systemd is not installed)"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf -- "$tmp"' EXIT
sed "s|/usr/bin/orvale|$binary|g" "$unit" >"$tmp/orvale.service"
status=0
out=$(systemd-analyze verify --man=no "$tmp/orvale.service" 2>&1) || status=$?
if ((status != 0)) || [[ -n "$out" ]]; then
  echo "verify-unit: systemd-analyze verify failed (status $status):"
  echo "$out"
  exit 1
fi
echo "verify-unit: $unit verified"

#!/usr/bin/env bash
# Installs what building, testing and running orvale needs on Debian 12, and only what is missing:
# on a machine that has everything it changes nothing and does not call apt-get at all.
set -euo pipefail

readonly PACKAGES=(
  build-essential cmake g++ make pkg-config
  libpoco-dev libpq-dev libcurl4-openssl-dev zlib1g-dev libgtest-dev googletest
  postgresql-15 postgresql-client-15
  ca-certificates curl locales openssl
  # sd_notify for the systemd unit (Type=notify)
  libsystemd-dev
  # promtool, which checks the metrics scrape in the tests
  prometheus
  # clang++ and its libFuzzer runtime for the fuzzers of make test / make fuzz
  clang libclang-rt-14-dev
)
# The service's messages are Russian; without this locale it falls back to C.UTF-8.
readonly LOCALE=ru_RU.UTF-8

say() {
  echo "install-deps: $*" >&2
}

# Runs a command as root: directly when we are root, else through sudo.
as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    say "root is needed for: $* (run this script as root or install sudo)"
    return 1
  fi
}

is_installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    if ! is_installed "$p"; then
      echo "$p"
    fi
  done
}

install_packages() {
  local missing
  mapfile -t missing < <(missing_packages)
  if ((${#missing[@]} == 0)); then
    return
  fi
  say "installing ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
}

has_locale() {
  locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'
}

# locale-gen builds what /etc/locale.gen lists, so the line must be there and not commented out.
enable_locale_line() {
  local name=${LOCALE//./\\.}
  if grep -qE "^${name}[[:space:]]+UTF-8" /etc/locale.gen 2>/dev/null; then
    return 0
  fi
  if grep -qE "^#[[:space:]]*${name}[[:space:]]+UTF-8" /etc/locale.gen 2>/dev/null; then
    as_root sed -i -E "s/^#[[:space:]]*(${name}[[:space:]]+UTF-8)/\\1/" /etc/locale.gen
  else
    echo "$LOCALE UTF-8" | as_root tee -a /etc/locale.gen >/dev/null
  fi
}

generate_locale() {
  if has_locale; then
    return
  fi
  say "generating the locale $LOCALE"
  if enable_locale_line && as_root locale-gen >/dev/null && has_locale; then
    return
  fi
  say "warning: could not generate $LOCALE; the service will use C.UTF-8 instead"
}

main() {
  if ! command -v dpkg-query >/dev/null 2>&1; then
    say "this script expects Debian 12 (dpkg and apt-get)"
    exit 1
  fi
  install_packages
  generate_locale
}

main "$@"

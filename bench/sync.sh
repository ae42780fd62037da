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

readonly GATEWAY_STOP_LIMIT=150 # tries, 0.1 s apart: shutdown grace plus the 3 s pause
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly LOCAL_DB=orvale_bench_sync
readonly OFFICE_DB=orvale_bench_office
readonly APP_KEY=bench-gateway-key

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
use_build_dir bench_sync "${1:-}"

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

main() {
  check_build
  start_cluster /tmp/orvale-bench-sync.XXXXXX
  say "seeding the back-office: 500 stations, 9000 nozzles, 400000 prices"
  seed_databases
  say "starting the gateway"
  # Ready once it answers: the root itself answers 502, and logs nothing.
  start_gateway /orvale 502 "$(database_object "$LOCAL_DB")" "$(database_object "$OFFICE_DB")" \
    "\"app_key\": \"$APP_KEY\""
  say "measuring: $runs runs of each data set"
  if ! "$bench_bin" --gateway-port="$gateway_port" --pg-port="$pg_port" --local-db="$LOCAL_DB" \
    --office-db="$OFFICE_DB" --user="$DB_USER" --password="$DB_PASSWORD" --key="$APP_KEY" \
    --runs="$runs"; then
    show_gateway_log
    fail "the benchmark failed"
  fi
  show_gateway_errors
}

main

#!/usr/bin/env bash
# Keeps the three layers of app-srv/src apart; the build runs it before compiling anything.
#   framework    web/*   the only code that knows Poco; includes nothing of the layers above
#   data         conn*   the only code that knows libpq; str.* (the string utilities) sits here
#                        as the data layer uses it; may use the framework's headers
#   application  the rest: neither Poco nor libpq, not even through a header it includes
# A header's includes count as its includer's (followed through the project's own headers), so a
# public header that pulls in Poco or libpq fails as surely as a direct include. The root's header
# is included only by the process entry and the root itself.
set -euo pipefail
src="${1:?usage: check-layers.sh SRC_DIR}"
cd "$src"
shopt -s nullglob
files=(web/*.h web/*.cpp *.h *.cpp)

awk '
function layer(f) { return f ~ /^web\// ? "framework" : (f ~ /^(conn|str\.)/ ? "data" : "application") }
function fail(msg) { print "layer check: " msg > "/dev/stderr"; failures++ }
# Every include reached from f, project headers followed; results kept in reached[f, inc].
function walk(root, f,    n, i, inc) {
  n = count[f]
  for (i = 1; i <= n; i++) {
    inc = edge[f, i]
    if ((root, inc) in reached) continue
    reached[root, inc] = 1
    if (inc in known) walk(root, inc)
  }
}
FNR == 1 { known[FILENAME] = 1; order[++files] = FILENAME }
/^[ \t]*#[ \t]*include[ \t]*"/ {
  s = $0; sub(/^[^"]*"/, "", s); sub(/".*$/, "", s); edge[FILENAME, ++count[FILENAME]] = s; next
}
/^[ \t]*#[ \t]*include[ \t]*</ {
  s = $0; sub(/^[^<]*</, "<", s); sub(/>.*$/, ">", s); edge[FILENAME, ++count[FILENAME]] = s; next
}
END {
  for (k = 1; k <= files; k++) {
    f = order[k]; l = layer(f)
    for (i = 1; i <= count[f]; i++) {
      inc = edge[f, i]
      if (!(inc in known)) continue
      t = layer(inc)
      if (l == "framework" && t != "framework") fail(f " includes " inc ": the framework layer includes nothing above it")
      if (l == "data" && t == "application") fail(f " includes " inc ": the data layer includes no application header")
      if (inc == "orvale.h" && f != "main.cpp" && f != "orvale.cpp") fail(f " includes orvale.h: endpoints get their settings and services handed in")
    }
    walk(f, f)
    poco = ""; pq = ""
    for (key in reached) {
      split(key, p, SUBSEP)
      if (p[1] != f) continue
      if (p[2] ~ /^<Poco\//) poco = p[2]
      if (p[2] == "<libpq-fe.h>") pq = p[2]
    }
    if (l != "framework" && poco != "") fail(f " reaches " poco ": only the framework layer may use Poco")
    if (l == "application" && pq != "") fail(f " reaches <libpq-fe.h>: only the data layer may use libpq")
  }
  if (failures > 0) { print "layer check: " failures " include(s) cross a layer" > "/dev/stderr"; exit 1 }
}' "${files[@]}"

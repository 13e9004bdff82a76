#!/usr/bin/env bash
# Checks that includes flow one way through the folders of src/:
#   core → family → basis → transform → design → inner → score → outer → fit → python
# A file may include its own folder and folders to its left, never one to its
# right; a quoted include must name one of these folders. Prints each
# offending include and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

order="core family basis transform design inner score outer fit python"
mapfile -t files < <(find src -type f \( -name '*.hpp' -o -name '*.cpp' -o -name '*.h' \) | sort)

awk -v order="$order" '
  function allowed(f,   i, s) {
    s = names[1]
    for (i = 2; i <= rank[f]; i++) s = s ", " names[i]
    return s
  }
  function fail(msg) {
    print "include check: " msg > "/dev/stderr"
    bad = 1
  }
  BEGIN {
    n = split(order, names, " ")
    for (i = 1; i <= n; i++) rank[names[i]] = i
  }
  FNR == 1 {
    split(FILENAME, parts, "/")
    own = parts[2]
    if (!(own in rank)) fail(FILENAME " is in src/" own ", which is not one of: " order)
  }
  /^[ \t]*#[ \t]*include[ \t]*"/ && (own in rank) {
    path = $0
    sub(/^[^"]*"/, "", path)
    sub(/".*$/, "", path)
    target = path
    sub(/\/.*$/, "", target)
    if (path !~ /\// || !(target in rank))
      fail(FILENAME ":" FNR " includes \"" path "\", which is not under a src/ folder")
    else if (rank[target] > rank[own])
      fail(FILENAME ":" FNR " includes \"" path "\": src/" own " may include only " allowed(own))
  }
  END {
    if (bad) print "include check: includes must flow " order ", left to right" > "/dev/stderr"
    exit bad
  }
' "${files[@]}"

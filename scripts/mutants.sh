#!/bin/bash
# Mutation run: plants one small fault at a time in the code under filter/,
# tools/monodump/ and app/ (when present), rebuilds, runs the fast suite
# (ctest without the e2e, fuzz and deb labels; for a fault in app/ only the
# application's tests, the only ones that run it) and reports which faults
# survived.
#
# The faults are a fixed set: every candidate (a flipped comparison, an
# off-by-one integer constant, a swapped && or ||, a removed call statement)
# is keyed by its file, the text of its line, its column and its kind, and
# is planted when a seeded hash of that key falls under the sampling rate.
# So the same faults are planted whatever the tests are, and a fault stays
# in the set as long as its line is unchanged.
#
# The tree itself is never touched: the sources are copied into a scratch
# folder (MUTANTS_DIR, default build-mutants/) and mutated there.
#
#   scripts/mutants.sh [--list]     --list prints the faults only
# Environment: MUTANTS_DIR, MUTANTS_SEED (default 12), MUTANTS_RATE (per
# mille, default 150), MUTANTS_TIMEOUT (seconds per suite run, default 300),
# MUTANTS_ONLY (a regular expression on FILE:LINE:COLUMN: only the faults it
# matches, such as those of some files, or some faults again),
# JOBS.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${MUTANTS_DIR:-$root/build-mutants}
seed=${MUTANTS_SEED:-12}
rate=${MUTANTS_RATE:-150}
suite_timeout=${MUTANTS_TIMEOUT:-300}
jobs=${JOBS:-$(nproc)}

sources() {
  local d
  for d in filter tools/monodump app; do
    [ -d "$root/$d" ] && (cd "$root" && find "$d" -type f \( -name '*.cpp' -o -name '*.h' \))
  done | LC_ALL=C sort
}

# One line per fault: file <TAB> line <TAB> column <TAB> original <TAB> mutant.
faults() {
  local f
  for f in $(sources); do
    awk -v file="$f" -v seed="$seed" -v rate="$rate" '
      BEGIN { for (i = 32; i < 127; i++) ord[sprintf("%c", i)] = i }
      function hash(s,   h, i) {
        h = seed
        for (i = 1; i <= length(s); i++) h = (h * 131 + ord[substr(s, i, 1)] + 1) % 1000003
        return (h * 7919) % 1000
      }
      function emit(col, from, to,   key) {
        key = file ":" $0 ":" col ":" from ":" to
        if (hash(key) < rate) printf "%s\t%d\t%d\t%s\t%s\n", file, FNR, col, from, to
      }
      {
        # Blank out comments and the insides of string and character
        # literals, keeping the columns.
        line = $0; m = ""; q = ""
        for (i = 1; i <= length(line); i++) {
          c = substr(line, i, 1)
          if (inblock) { m = m " "; if (c == "*" && substr(line, i + 1, 1) == "/") { m = m " "; i++; inblock = 0 } continue }
          if (q != "") { m = m "_"; if (c == "\\") { m = m "_"; i++ } else if (c == q) q = ""; continue }
          if (c == "/" && substr(line, i + 1, 1) == "/") break
          if (c == "/" && substr(line, i + 1, 1) == "*") { m = m "  "; i++; inblock = 1; continue }
          if (c == "\"" || c == "\x27") q = c
          m = m c
        }
        if (m ~ /^[ \t]*#/ || m ~ /static_assert|^[ \t]*$/ || m ~ /(template|#include)/) next
        n = split("== != <= >= && ||", ops, " ")
        split("!= == < > || &&", tos, " ")
        for (k = 1; k <= n; k++) {
          s = m; off = 0
          while ((p = index(s, ops[k])) > 0) { emit(off + p, ops[k], tos[k]); off += p + 1; s = substr(s, p + 2) }
        }
        for (k = 1; k <= 2; k++) {
          o = k == 1 ? " < " : " > "; t = k == 1 ? " <= " : " >= "
          s = m; off = 0
          while ((p = index(s, o)) > 0) { emit(off + p, o, t); off += p + 2; s = substr(s, p + 3) }
        }
        # Decimal integer constants standing alone: n -> n + 1.
        s = m; off = 0
        while (match(s, /[0-9]+/)) {
          pre = off + RSTART > 1 ? substr(m, off + RSTART - 1, 1) : " "
          post = substr(m, off + RSTART + RLENGTH, 1)
          if (pre !~ /[A-Za-z0-9_.]/ && post !~ /[A-Za-z0-9_.x]/ && RLENGTH < 10)
            emit(off + RSTART, substr(s, RSTART, RLENGTH), substr(s, RSTART, RLENGTH) + 1)
          off += RSTART + RLENGTH - 1; s = substr(s, RSTART + RLENGTH)
        }
        # A statement that is a single call: removed.
        if (m ~ /^[ \t]+[A-Za-z_][A-Za-z0-9_:.>-]*[ \t]*\(.*\);[ \t]*$/ && m !~ /^[ \t]+(return|delete|throw|co_return)[ (]/ \
            && m !~ /[^=!<>]=[^=]/) {
          match(m, /[^ \t]/); stmt = substr($0, RSTART)
          emit(RSTART, stmt, ";")
        }
      }' "$root/$f"
  done
}

list=$(faults | awk -F'\t' -v only="${MUTANTS_ONLY:-.}" '($1 ":" $2 ":" $3 ":") ~ only')
if [ "${1:-}" = --list ]; then
  printf '%s\n' "$list" | awk -F'\t' '{ printf "%s:%s:%s: %s -> %s\n", $1, $2, $3, $4, $5 }'
  exit 0
fi

mkdir -p "$work/src"
# The scratch copy: sources only; a file is copied only when it differs,
# so that a second run rebuilds only what changed.
(cd "$root" && find . \( -name .git -o -name 'build*' -o -name out \) -prune -o -type f -print) |
  while IFS= read -r f; do
    cmp -s "$root/$f" "$work/src/$f" || { mkdir -p "$(dirname "$work/src/$f")"; cp "$root/$f" "$work/src/$f"; }
  done

current=""
restore() { if [ -n "$current" ]; then cp "$root/$current" "$work/src/$current"; current=""; fi; }
trap 'restore; exit 130' INT TERM
trap restore EXIT

build() { cmake --build "$work/build" -j "$jobs" >"$work/build.log" 2>&1; }
ctest_run() {
  timeout "$suite_timeout" ctest --test-dir "$work/build" "$@" --stop-on-failure --timeout 60 -j "$jobs" \
    >"$work/ctest.log" 2>&1
}
# The fast suite: the quick tests first, then the application's, which
# alone can reach a fault in app/ (nothing else links or starts it).
suite() {
  case "${1:-}" in
    app/*) ctest_run -L app ;;
    *) ctest_run -LE 'e2e|fuzz|deb|app' && ctest_run -L app ;;
  esac
}

echo "mutants: configuring and building $work/build"
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O1 >"$work/configure.log" 2>&1
build || { echo "mutants: the unmutated tree does not build; see $work/build.log" >&2; exit 1; }
suite || { echo "mutants: the fast suite fails without a mutant; see $work/ctest.log" >&2; exit 1; }

total=$(printf '%s\n' "$list" | grep -c . || true)
echo "mutants: $total faults (seed $seed, rate $rate/1000)"
killed=0 survived=0 broken=0 i=0 survivors=""
while IFS=$'\t' read -r file line col from to; do
  i=$((i + 1))
  current=$file
  awk -v n="$line" -v c="$col" -v from="$from" -v to="$to" \
    'FNR == n { $0 = substr($0, 1, c - 1) to substr($0, c + length(from)) } { print }' \
    "$root/$file" >"$work/src/$file"
  desc="$file:$line:$col: $from -> $to"
  if ! build; then
    verdict="does not compile"; broken=$((broken + 1))
  elif suite "$file"; then
    verdict="SURVIVED"; survived=$((survived + 1)); survivors+="  $desc"$'\n'
  else
    verdict="killed by $(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$work/ctest.log" | head -n 1)"
    killed=$((killed + 1))
  fi
  restore
  printf '[%d/%d] %s: %s\n' "$i" "$total" "$verdict" "$desc"
done <<<"$list"
build || true

echo
echo "survivors:"
printf '%s' "$survivors"
counted=$((killed + survived))
awk -v k="$killed" -v n="$counted" -v b="$broken" 'BEGIN {
  printf "kill rate: %d/%d = %.1f%% (%d not compiling, not counted)\n", k, n, n ? 100 * k / n : 0, b }'

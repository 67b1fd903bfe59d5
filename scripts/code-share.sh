#!/bin/sh
# Share of test code in the project's code: code lines (blank and comment
# lines left out) of C++, headers, shell, Python, CMake and Makefiles under tests/
# and fuzz/, against those of the whole repository (app/ and debian/
# included when they are there). Build folders, out/ and .git are not
# counted.
# Prints: test lines, all lines, percentage.
set -eu
cd "$(dirname "$0")/.."

# Source files by name, and scripts without a telling name by their #! line
# (debian/rules, the autopkgtests).
files() {
  find . \( -name .git -o -name 'build*' -o -name out -o -name _deps \) -prune -o -type f -print |
    sed 's|^\./||' | LC_ALL=C sort | while IFS= read -r f; do
      case "$f" in
        *.cpp | *.cc | *.c | *.h | *.hpp | *.sh | *.py | *.cmake | */CMakeLists.txt | CMakeLists.txt | Makefile | */Makefile) echo "$f" ;;
        *.*) ;;
        *) head -n 1 "$f" | grep -qE '^#!.*(sh|bash|make)( |$)' && echo "$f" ;;
      esac
    done
}

# Counts the code lines of the files named on standard input.
count() {
  total=0
  while IFS= read -r f; do
    case "$f" in
      *.cpp|*.cc|*.c|*.h|*.hpp) style=c ;;
      *) style=hash ;;
    esac
    n=$(awk -v style="$style" '
      style == "hash" { if ($0 !~ /^[ \t]*(#.*)?$/) n++; next }
      {
        line = $0; code = ""
        while (length(line) > 0) {
          if (inblock) {
            e = index(line, "*/")
            if (e == 0) { line = ""; break }
            line = substr(line, e + 2); inblock = 0
          } else {
            s = index(line, "/*"); c = index(line, "//")
            if (c > 0 && (s == 0 || c < s)) { code = code substr(line, 1, c - 1); line = ""; break }
            if (s == 0) { code = code line; line = ""; break }
            code = code substr(line, 1, s - 1); line = substr(line, s + 2); inblock = 1
          }
        }
        if (code ~ /[^ \t]/) n++
      }
      END { print n + 0 }' "$f")
    total=$((total + n))
  done
  echo "$total"
}

all=$(files | count)
tests=$(files | grep -E '^(tests|fuzz)/' | count)
awk -v t="$tests" -v a="$all" 'BEGIN { printf "test lines: %d\nall lines: %d\ntest share: %.1f%%\n", t, a, (a ? 100 * t / a : 0) }'

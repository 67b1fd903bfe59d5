# shellcheck shell=bash
# A Printer Application server of a script's own, for the demo, the
# benchmarks and the end-to-end tests: a free loopback port, its spool,
# state and temporary files in one folder, and a printer "PRINTER" whose
# jobs land in FOLDER/dev. Source this file.
#
#   app_server_start BINARY FOLDER NAME PRINTER LOG LEVEL
#     runs BINARY as FOLDER/NAME (PAPPL names the root domain socket after
#     the program) and sets app, app_port and app_pid. RASTERTOMONO_FILTER,
#     RASTERTOMONO_PPD and RASTERTOMONO_TESTPAGE pass through.
#   app_server_stop
app_server_start() {
  local binary=$1 folder=$2 name=$3 printer=$4 log=$5 level=$6 tries
  mkdir -p "$folder/dev" "$folder/tmp"
  app=$folder/$name
  ln -sf "$binary" "$app"
  for ((tries = 0; tries < 50; tries++)); do
    app_port=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$app_port") 2>/dev/null || break
  done
  TMPDIR=$folder/tmp setpriv --pdeathsig TERM -- "$app" server -o server-port="$app_port" -o file-devices=yes \
    -o log-level="$level" -o log-file="$log" -o spool-directory="$folder/spool" -o state-file="$folder/state" \
    >"$folder/server.out" 2>&1 &
  app_pid=$!
  for ((tries = 0; tries < 100; tries++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$app_port") 2>/dev/null && break
    sleep 0.1
  done
  "$app" add -u "ipp://localhost:$app_port/ipp/system" -d "$printer" -m mono-laser-600 -v "file://$folder/dev" \
    >/dev/null
}

app_server_stop() {
  [[ -n ${app_pid:-} ]] || return 0
  kill -TERM "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  app_pid=""
}

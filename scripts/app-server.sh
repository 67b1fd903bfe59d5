# shellcheck shell=bash
# A Printer Application server of a script's own, for the demo, the
# benchmarks and the end-to-end tests, started as its systemd unit starts
# it: the unit's own options, only the paths moved into one folder (state,
# spool, log, temporary files) and a free loopback port. Its printer
# "PRINTER" is a network printer on a raw port (rtm_raw_printer), whose
# jobs land in FOLDER/dev. Source this file.
#
#   app_server_start BUILD FOLDER NAME PRINTER [PAM-SERVICE]
#     runs BUILD's program as FOLDER/NAME (PAPPL names the root domain
#     socket after the program) and sets app, app_port and app_pid. With
#     PAM-SERVICE, administrators log in through that service instead of
#     the unit's. RASTERTOMONO_FILTER, RASTERTOMONO_PPD and
#     RASTERTOMONO_TESTPAGE pass through; ghostscript gets BUILD's raster
#     writer.
#   app_server_add PRINTER
#     adds another printer on a raw port of its own; its jobs land in
#     FOLDER/dev-PRINTER.
#   app_server_collect FILE
#     waits until the server has closed its connection to the printer and
#     moves what the printer received since the last collect to FILE.
#   app_server_stop
app_server_start() {
  local build=$1 folder=$2 name=$3 printer=$4 pam=${5:-} tries word
  local -a options=()
  mkdir -p "$folder/dev" "$folder/tmp"
  app=$folder/$name
  ln -sf "$build/app/rastertomono-printer-app" "$app"
  for ((tries = 0; tries < 50; tries++)); do
    app_port=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$app_port") 2>/dev/null || break
  done
  for word in $(sed -n 's/^ExecStart=[^ ]* server //p' "$build/app/rastertomono-printer-app.service"); do
    case $word in
      -o) ;;
      state-file=*) options+=(-o "state-file=$folder/state") ;;
      spool-directory=*) options+=(-o "spool-directory=$folder/spool") ;;
      log-file=*) options+=(-o "log-file=$folder/log") ;;
      auth-service=*) options+=(-o "auth-service=${pam:-${word#auth-service=}}") ;;
      *) options+=(-o "$word") ;;
    esac
  done
  app_build=$build
  app_raw_pids=()
  RASTERTOMONO_GS_WRITER=$build/app/rastertomono-gs-writer.so TMPDIR=$folder/tmp \
    setpriv --pdeathsig KILL -- "$app" server -o server-port="$app_port" "${options[@]}" >"$folder/server.out" 2>&1 &
  app_pid=$!
  for ((tries = 0; tries < 100; tries++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$app_port") 2>/dev/null && break
    sleep 0.1
  done
  app_server_add "$printer" "$folder/dev"
}

app_server_add() {
  local printer=$1 dev=${2:-${app%/*}/dev-$1} tries
  mkdir -p "$dev"
  setpriv --pdeathsig KILL -- "$app_build/tools/raw_printer/rtm_raw_printer" "$dev" &
  app_raw_pids+=($!)
  for ((tries = 0; tries < 100; tries++)); do
    [[ -s $dev/port ]] && break
    sleep 0.05
  done
  # As root adds it: over the domain socket.
  TMPDIR=${app%/*}/tmp "$app" add -d "$printer" -m mono-laser-600 -v "socket://127.0.0.1:$(cat "$dev/port")" >/dev/null
}

app_server_collect() {
  local to=$1 dev=${app%/*}/dev tries
  for ((tries = 0; tries < 1200; tries++)); do
    compgen -G "$dev/*.part" >/dev/null || break
    sleep 0.1
  done
  compgen -G "$dev/*.prn" >/dev/null || return 1
  cat "$dev"/*.prn >"$to" && rm -f "$dev"/*.prn
}

app_server_stop() {
  [[ -n ${app_pid:-} ]] || return 0
  kill -TERM "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  local raw
  for raw in "${app_raw_pids[@]}"; do
    kill -KILL "$raw" 2>/dev/null || true
    wait "$raw" 2>/dev/null || true
  done
  app_pid=""
}

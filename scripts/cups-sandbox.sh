# shellcheck shell=bash
# A private CUPS scheduler in a folder of its own, as CUPS's own test suite
# runs one: its own configuration, ServerBin, data, state, spool, cache, temp
# and log folders, a domain socket instead of a port, file: devices allowed,
# and a debug log kept for whoever has to find out why a job failed.
#
# Source this file from bash, then:
#   sandbox_start ROOT FILTER             start a scheduler in ROOT (must not exist)
#                                         with FILTER as rastertomono and no PPDs
#                                         of the system's to offer
#   sandbox_add_queue NAME PPD            a queue printing to ROOT/out/NAME.prn
#   sandbox_print QUEUE FILE [lp args...] submit a job, echo its id
#   sandbox_job_state ID                  echo the job's state
#   sandbox_wait_job ID [SECONDS]         wait until the job and its filters are
#                                         done, echo the final state
#   sandbox_stop                          stop the scheduler (safe to call twice)
# The clients reach the scheduler through CUPS_SERVER, which sandbox_start
# exports. Needs root: the scheduler starts as root and runs filters as lp.
# The scheduler gets SIGTERM when the shell that started it dies, even by
# SIGKILL, so that none is ever left behind.

SANDBOX_ROOT=""
SANDBOX_PID=""
SANDBOX_URI=""

sandbox_log() { printf '%s/log/error_log' "$SANDBOX_ROOT"; }

# cupsd refuses filters and folders that are not root-owned or are writable by
# others, along the whole path; the filters, running as lp, must read the rest.
sandbox__mkdir() {
  mkdir -p "$@"
  chown root:root "$@"
  chmod 0755 "$@"
}

sandbox_start() {
  local root=$1 filter=$2
  local serverbin datadir
  serverbin=$(cups-config --serverbin)
  datadir=$(cups-config --datadir)

  SANDBOX_ROOT=$root
  sandbox__mkdir "$root" "$root"/{conf,bin,bin/filter,data,data/model,state,cache,spool,log,out}
  mkdir -p "$root/conf/ppd" "$root/conf/ssl" "$root/tmp" "$root/run"
  # Only root talks to this scheduler.
  chmod 0700 "$root/run"
  # Jobs' temporary files are written by lp.
  chown root:lp "$root/tmp"
  chmod 1770 "$root/tmp"

  local entry
  for entry in "$serverbin"/*; do
    [[ $(basename "$entry") == filter ]] || ln -s "$entry" "$root/bin/"
  done
  for entry in "$serverbin"/filter/*; do
    [[ $(basename "$entry") == rastertomono ]] || ln -s "$entry" "$root/bin/filter/"
  done
  install -o root -g root -m 0755 "$filter" "$root/bin/filter/rastertomono"

  for entry in "$datadir"/*; do
    [[ $(basename "$entry") == model ]] || ln -s "$entry" "$root/data/"
  done

  local socket=$root/run/cups.sock
  # ipptool reaches a domain socket through a host name that is its path.
  SANDBOX_URI="ipp://${socket//\//%2F}"
  cat >"$root/conf/job-state.test" <<'EOF'
{
  OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri job-uri $uri
  ATTR keyword requested-attributes job-state
  DISPLAY job-state
}
EOF
  cat >"$root/conf/cups-files.conf" <<EOF
ServerRoot $root/conf
ServerBin $root/bin
DataDir $root/data
StateDir $root/state
CacheDir $root/cache
RequestRoot $root/spool
TempDir $root/tmp
AccessLog $root/log/access_log
ErrorLog $root/log/error_log
PageLog $root/log/page_log
Printcap $root/state/printcap
ServerKeychain $root/conf/ssl
FileDevice Yes
User lp
Group lp
SystemGroup root
Sandboxing Relaxed
EOF
  cat >"$root/conf/cupsd.conf" <<EOF
LogLevel debug
MaxLogSize 0
Listen $socket
Browsing No
WebInterface No
DefaultAuthType None
MaxJobs 0
PreserveJobHistory Yes
PreserveJobFiles No
# Queues keep their PPD's default paper, not one guessed from the locale.
DefaultPaperSize None
<Location />
  Order Allow,Deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order Deny,Allow
  </Limit>
</Policy>
EOF

  setpriv --pdeathsig TERM -- cupsd -f -c "$root/conf/cupsd.conf" -s "$root/conf/cups-files.conf" \
    >"$root/log/cupsd.out" 2>&1 &
  SANDBOX_PID=$!
  export CUPS_SERVER=$socket

  local tries
  for ((tries = 0; tries < 100; tries++)); do
    if lpstat -r 2>/dev/null | grep -q 'scheduler is running'; then
      return 0
    fi
    if ! kill -0 "$SANDBOX_PID" 2>/dev/null; then
      echo "cups-sandbox: the scheduler ended at start; its output and log:" >&2
      cat "$root/log/cupsd.out" "$(sandbox_log)" >&2 2>/dev/null || true
      SANDBOX_PID=""
      return 1
    fi
    sleep 0.1
  done
  echo "cups-sandbox: the scheduler did not answer within 10 s" >&2
  return 1
}

sandbox_stop() {
  [[ -n $SANDBOX_PID ]] || return 0
  kill -TERM "$SANDBOX_PID" 2>/dev/null || true
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    kill -0 "$SANDBOX_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$SANDBOX_PID" 2>/dev/null || true
  wait "$SANDBOX_PID" 2>/dev/null || true
  SANDBOX_PID=""
}

sandbox_add_queue() {
  local name=$1 ppd=$2
  : >"$SANDBOX_ROOT/out/$name.prn"
  # lpadmin warns on every use that PPD drivers are deprecated; only its
  # errors are worth showing.
  local err
  if ! err=$(lpadmin -p "$name" -E -v "file://$SANDBOX_ROOT/out/$name.prn" -P "$ppd" \
    -o printer-error-policy=abort-job 2>&1); then
    echo "$err" >&2
    return 1
  fi
}

sandbox_print() {
  local queue=$1 file=$2
  shift 2
  local reply
  reply=$(lp -d "$queue" "$@" "$file")
  # "request id is QUEUE-7 (1 file(s))"
  reply=${reply#request id is "$queue"-}
  printf '%s\n' "${reply%% *}"
}

# The job's state as the scheduler reports it over IPP: pending, processing,
# completed, canceled, aborted, processing-stopped (a filter failed), ...
sandbox_job_state() {
  ipptool -tv "$SANDBOX_URI/jobs/$1" "$SANDBOX_ROOT/conf/job-state.test" |
    sed -n 's/^ *job-state (enum) = //p'
}

sandbox__ended() {
  case $1 in
    completed | canceled | aborted | processing-stopped) return 0 ;;
    *) return 1 ;;
  esac
}

sandbox_wait_job() {
  local id=$1 limit=${2:-120} state="" tries
  for ((tries = 0; tries < limit * 10; tries++)); do
    state=$(sandbox_job_state "$id")
    sandbox__ended "$state" && break
    sleep 0.1
  done
  if ! sandbox__ended "$state"; then
    echo "cups-sandbox: job $id still '$state' after $limit s" >&2
    return 1
  fi
  sandbox__wait_filters "$id" "$limit" || return 1
  echo "$state"
}

# Filters go on running for a moment after a job is canceled; the output is
# only whole once every one of them has ended.
sandbox__wait_filters() {
  local id=$1 limit=$2 tries started ended log
  log=$(sandbox_log)
  for ((tries = 0; tries < limit * 10; tries++)); do
    started=$(grep -c "\[Job $id\] Started " "$log" || true)
    ended=$(grep -cE "\[Job $id\] PID [0-9]+ \(.*\) (exited|stopped|was terminated|crashed)" "$log" || true)
    ((ended >= started)) && return 0
    sleep 0.1
  done
  echo "cups-sandbox: job $id's filters still running after $limit s" >&2
  return 1
}

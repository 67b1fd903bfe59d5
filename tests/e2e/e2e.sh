#!/usr/bin/env bash
# The driver in the real print system: the install into a staging root, and
# documents printed with lp through a private CUPS scheduler, read back with
# monodump and compared with ghostscript's own rendering of the same pages.
# (cupstestppd judges the PPD in the packaging test.)
#
#   e2e.sh install|print|failure|cancel|app|web
#
# CTest hands over the built pieces in RTM_FILTER, RTM_PPD, RTM_MONODUMP,
# RTM_PAGECOMPARE, RTM_TESTPAGE and RTM_BUILD_DIR (the application, its
# unit and the raw printer from there). The scheduler
# needs root: as anyone else every case is skipped (status 77). When a case
# fails, the scheduler's logs and the job files are kept in RTM_KEEP_DIR/<case>.
set -euo pipefail
shopt -s inherit_errexit

case_name=${1:?usage: e2e.sh install|print|failure|cancel|app|web}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../../scripts/cups-sandbox.sh
source "$here/../../scripts/cups-sandbox.sh"
# shellcheck source-path=SCRIPTDIR source=../../scripts/app-server.sh
source "$here/../../scripts/app-server.sh"

: "${RTM_FILTER:?}" "${RTM_PPD:?}" "${RTM_MONODUMP:?}" "${RTM_PAGECOMPARE:?}" "${RTM_BUILD_DIR:?}"
keep_dir=${RTM_KEEP_DIR:-$RTM_BUILD_DIR/e2e-failed}

testpage=/usr/share/cups/data/default-testpage.pdf
# A 38-page text manual from Debian's bzip2-doc, letter-sized.
manual_gz=/usr/share/doc/bzip2/manual.pdf.gz

if (($(id -u) != 0)); then
  echo "SKIP: a private CUPS scheduler needs root"
  exit 77
fi

work=""
app_pid=""
cleanup() {
  local status=$?
  app_server_stop
  app_clean
  sandbox_stop
  if [[ -n $work ]] && ((status != 0 && status != 77)); then
    rm -rf "${keep_dir:?}/$case_name" && mkdir -p "$keep_dir/$case_name"
    cp -r "$work"/cups/log "$work"/jobs "$keep_dir/$case_name/" 2>/dev/null || true
    echo "FAILED: logs and job files kept in $keep_dir/$case_name; the scheduler's last words:" >&2
    tail -n 40 "$work/cups/log/error_log" >&2 2>/dev/null || true
  fi
  [[ -z $work ]] || rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

work=$(mktemp -d /tmp/rtm-e2e.XXXXXX)
chmod 0755 "$work"
mkdir -p "$work/jobs"
jobs=$work/jobs

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

pass() { echo "ok: $*"; }

expect_eq() {
  local what=$1 got=$2 want=$3
  [[ $got == "$want" ]] || fail "$what: got '$got', expected '$want'"
}

# Prints FILE on QUEUE with the lp arguments given, waits for the job and
# keeps the printer's stream as jobs/NAME.prn. Echoes the job id.
print_job() {
  local name=$1 queue=$2 file=$3
  shift 3
  local id state
  id=$(sandbox_print "$queue" "$file" "$@")
  state=$(sandbox_wait_job "$id" 180)
  expect_eq "state of job $id ($name)" "$state" completed
  cp "$SANDBOX_ROOT/out/$queue.prn" "$jobs/$name.prn"
  echo "$id"
}

# Reads jobs/NAME.prn with monodump into jobs/NAME.txt.
decode() {
  "$RTM_MONODUMP" "$jobs/$1.prn" >"$jobs/$1.txt" 2>"$jobs/$1.err" ||
    fail "monodump rejects $1.prn: $(cat "$jobs/$1.err")"
}

# Decodes jobs/NAME.prn and checks the settings block as monodump reads it,
# and page count.
expect_settings() {
  local name=$1 density=$2 weight=$3 paper=$4 copies=$5 pages=$6
  decode "$name"
  grep -qE "^settings: density=$density weight=$weight paper=$paper dots .* copies=$copies\$" "$jobs/$name.txt" &&
    grep -q "^total: pages=$pages " "$jobs/$name.txt" ||
    fail "$name: expected density $density, weight $weight, paper $paper, $copies copies, $pages pages:" \
      "$(cat "$jobs/$name.txt")"
}

# The arguments and environment the scheduler gave the job's filters.
job_argv() { sed -n "s/^.*\[Job $1\] argv\[$2\]=\"\(.*\)\"\$/\1/p" "$(sandbox_log)" | head -n 1; }
job_envp() { sed -n "s/^.*\[Job $1\] envp\[[0-9]*\]=\"\(.*\)\"\$/\1/p" "$(sandbox_log)" | grep -v '^AUTH_'; }

# Every page of PDF rendered whole at 600 dpi, one bit, white = 1, into the
# CUPS raster RAS by ghostscript's cups device, which screens grey with the
# same halftone as the print path. Further arguments go to ghostscript.
render_pages() {
  local pdf=$1 ras=$2
  shift 2
  gs -q -dSAFER -dBATCH -dNOPAUSE -dNOINTERPOLATE -sDEVICE=cups -r600 \
    -dcupsColorSpace=0 -dcupsBitsPerColor=1 -dcupsColorOrder=0 \
    -sOutputFile="$ras" "$@" -f "$pdf" >"$ras.log" 2>&1 ||
    fail "ghostscript could not render $pdf"
}

# The document as job ID laid it on the paper: pdftopdf run again with the
# job's own arguments and environment (scaled to fit, centred) into
# jobs/NAME.ref.pdf. CUPS may send a document to a driverless queue just
# as it is, without pdftopdf: then that is what the printer got.
lay_out() {
  local name=$1 id=$2 file=$3
  local -a env_list
  if ! grep -q "\[Job $id\] Started filter .*/pdftopdf " "$(sandbox_log)"; then
    cp "$file" "$jobs/$name.ref.pdf"
    return
  fi
  mapfile -t env_list < <(job_envp "$id")
  env -i "${env_list[@]}" "$SANDBOX_ROOT/bin/filter/pdftopdf" \
    "$(job_argv "$id" 1)" "$(job_argv "$id" 2)" "$(job_argv "$id" 3)" \
    "$(job_argv "$id" 4)" "$(job_argv "$id" 5)" "$file" \
    >"$jobs/$name.ref.pdf" 2>"$jobs/$name.pdftopdf.log" ||
    fail "$name: pdftopdf for the reference failed"
}

# The reference for what job ID printed: the laid-out document rendered
# whole by ghostscript. Neither our filter nor the PPD's imageable area
# takes part.
render_reference() {
  lay_out "$@"
  render_pages "$jobs/$1.ref.pdf" "$jobs/$1.ref.ras"
}

expect_pages_match() {
  local name=$1 status=0
  "$RTM_PAGECOMPARE" "$jobs/$name.ref.ras" "$jobs/$name.prn" >"$jobs/$name.cmp" 2>&1 || status=$?
  sed "s/^/  $name /" "$jobs/$name.cmp"
  ((status == 0)) || fail "$name: printed pages differ from ghostscript's rendering"
}

# Checks the settings monodump reads in job NAME, CUPS job ID of FILE
# (density, weight, paper, copies and pages, as for expect_settings) and
# compares every page with the reference.
check_job() {
  local name=$1 id=$2 file=$3 settings=$4
  # shellcheck disable=SC2086 # the five values, split
  expect_settings "$name" $settings
  render_reference "$name" "$id" "$file"
  expect_pages_match "$name"
}

# Prints FILE as job NAME on the queue mono with the lp arguments given and
# checks it as check_job does.
print_and_compare() {
  local name=$1 file=$2 settings=$3
  shift 3
  check_job "$name" "$(print_job "$name" mono "$file" "$@")" "$file" "$settings"
}

# The manual as a plain PDF in the work folder; echoes its path.
unpack_manual() {
  [[ -f $manual_gz ]] || fail "no $manual_gz: the Debian package bzip2-doc is missing"
  gzip -dc "$manual_gz" >"$work/bzip2-manual.pdf"
  echo "$work/bzip2-manual.pdf"
}

case_install() {
  local stage=$work/stage
  DESTDIR=$stage cmake --install "$RTM_BUILD_DIR" >"$jobs/install.log"
  local filter modeldir
  filter=$stage$(cups-config --serverbin)/filter/rastertomono
  modeldir=$stage$(cups-config --datadir)/model
  local ppd=$modeldir/rastertomono/monol600.ppd
  expect_eq "filter owner and mode" "$(stat -c '%U %a' "$filter")" "root 755"
  expect_eq "PPD mode" "$(stat -c '%a' "$ppd")" "644"
  # CUPS lists a PPD in its model folder as rastertomono/monol600.ppd.
  pass "DESTDIR install puts the filter and the PPD in CUPS's folders"

  DESTDIR=$stage cmake -P "$RTM_BUILD_DIR/uninstall.cmake"
  [[ ! -e $filter && ! -e $modeldir/rastertomono ]] || fail "uninstall left files behind"
  pass "uninstall removes the filter and the PPD"
}

case_print() {
  sandbox_start "$work/cups" "$RTM_FILTER"
  sandbox_add_queue mono "$RTM_PPD"

  # The test page with the PPD's defaults: A4, density 2, plain paper, 1 copy.
  print_and_compare testpage "$testpage" "2 1 4960x7016 1 1"
  pass "test page with the defaults"

  # The comparison must see a page moved by a single dot.
  render_pages "$jobs/testpage.ref.pdf" "$jobs/testpage.shifted.ras" \
    -c '<</.HWMargins[0.12 0 0 0]>>setpagedevice'
  if "$RTM_PAGECOMPARE" "$jobs/testpage.shifted.ras" "$jobs/testpage.prn" >"$jobs/testpage.shifted.cmp"; then
    fail "a reference shifted by one dot still matches: the comparison is blind"
  fi
  pass "a page shifted by one dot does not match"

  # Options from the command line: density 4, thick paper, two copies made
  # by the printer, A5 paper (the A4 page is scaled down to fit).
  print_and_compare options "$testpage" "4 2 3512x4958 2 1" -o PrintDensity=4 -o PaperWeight=2 -n 2 -o media=A5
  pass "test page with density 4, paper weight 2, two copies, A5"

  # A multi-page text document on its own paper size.
  local manual
  manual=$(unpack_manual)
  print_and_compare manual "$manual" "5 1 5100x6600 1 4" -o media=Letter -o page-ranges=1-4 -o PrintDensity=5
  pass "four pages of the bzip2 manual on Letter"

  # The other paper sizes: the imageable area must meet the filter's
  # placement of the raster on each of them.
  local media
  for media in A5Rotated:4958x3512 ISOB5:4176x5908 Legal:5100x8400; do
    print_and_compare "${media%:*}" "$testpage" "2 3 ${media#*:} 1 1" -o media="${media%:*}" -o PaperWeight=3
    pass "test page on ${media%:*}"
  done
}

# Input the filter cannot read: the filter says why, the scheduler logs it
# and stops the job (CUPS does so for any failed filter, whatever the error
# policy), and the queue stays enabled.
case_failure() {
  local id state
  sandbox_start "$work/cups" "$RTM_FILTER"
  sandbox_add_queue mono "$RTM_PPD"
  printf 'This is not a CUPS raster stream.\n' >"$work/garbage.ras"
  chmod 0644 "$work/garbage.ras"
  id=$(sandbox_print mono "$work/garbage.ras" -o document-format=application/vnd.cups-raster)
  state=$(sandbox_wait_job "$id" 60)
  expect_eq "state of the job with a broken raster" "$state" processing-stopped
  local log reason
  log=$(sandbox_log)
  grep -qE "\[Job $id\] PID [0-9]+ \(.*/rastertomono\) stopped with status 1\." "$log" ||
    fail "the scheduler did not see the filter fail"
  reason=$(grep -E "^E .*\[Job $id\] " "$log" | grep -v 'Job stopped due to filter errors' | head -n 1) ||
    fail "the filter's reason is not in the scheduler's log"
  echo "  error_log: ${reason#*] }"
  pass "a broken raster stops the job and the log says why"

  lpstat -p mono | grep -q 'enabled' || fail "the queue was disabled by the failed job"
}

# A long job canceled while it prints: the filter closes the page it is in
# and ends cleanly, so the printer is never left inside a page.
case_cancel() {
  local manual
  manual=$(unpack_manual)
  sandbox_start "$work/cups" "$RTM_FILTER"
  sandbox_add_queue mono "$RTM_PPD"

  local id out=$SANDBOX_ROOT/out/mono.prn pages=0 tries
  # Twenty collated copies of the 38-page manual: CUPS makes them itself (the
  # printer cannot collate), 760 pages that take several seconds.
  id=$(sandbox_print mono "$manual" -o media=Letter -n 20 -o collate=true)
  # Cancel once the second page has begun: start-page commands in the
  # growing stream.
  for ((tries = 0; tries < 1200; tries++)); do
    # shellcheck disable=SC2016 # a byte pattern, nothing to expand
    pages=$({ LC_ALL=C grep -obUaP '\x1b\$A\x1b!A\x00\x00\x00' "$out" || true; } | wc -l)
    ((pages >= 2)) && break
    sleep 0.1
  done
  ((pages >= 2)) || fail "the job never reached its second page"
  cancel "$id"
  local state
  state=$(sandbox_wait_job "$id" 60)
  expect_eq "state of the canceled job" "$state" canceled
  cp "$out" "$jobs/canceled.prn"

  grep -qE "\[Job $id\] PID [0-9]+ \(.*/rastertomono\) exited with no errors\." "$(sandbox_log)" ||
    fail "rastertomono did not end cleanly on cancel"
  # monodump rejects a stream that ends inside a page.
  decode canceled
  [[ $(grep '^total:' "$jobs/canceled.txt") =~ pages=([0-9]+) ]] && ((BASH_REMATCH[1] >= 2 && BASH_REMATCH[1] < 760)) ||
    fail "the canceled job should have some but not all 760 pages: $(tail -n 1 "$jobs/canceled.txt")"
  pass "canceled after ${BASH_REMATCH[1]} of 760 pages, the stream ends with a closed page"
}

# The Printer Application as its systemd unit starts it (the unit's
# options, only the paths moved), its printer "mono" a network printer on
# a raw port of the test's own. Administrators log in through a PAM
# service of the test's own, which takes the password "secret", as a user
# of the test's own in the unit's admin group.
app_port=""
app_uri() { printf 'ipp://localhost:%s/ipp/print/mono' "$app_port"; }
app_admin=rtm-e2e-$$
app_pam=rtm-e2e-$$

app_start() {
  local group
  group=$(sed -n 's/^ExecStart=.*-o admin-group=\([^ ]*\).*/\1/p' "$RTM_BUILD_DIR/app/rastertomono-printer-app.service")
  printf '#!/bin/sh\n[ "$(tr -d %s)" = secret ]\n' "'\\000'" >"$work/check"
  chmod 0700 "$work/check"
  printf 'auth required pam_exec.so quiet expose_authtok %s\naccount required pam_permit.so\n' "$work/check" \
    >"/etc/pam.d/$app_pam"
  useradd --system --no-create-home --shell /usr/sbin/nologin -G "$group" "$app_admin"
  RASTERTOMONO_FILTER=$RTM_FILTER RASTERTOMONO_PPD=$RTM_PPD RASTERTOMONO_TESTPAGE=$RTM_TESTPAGE \
    app_server_start "$RTM_BUILD_DIR" "$work/app" "rtm-e2e-$$" mono "$app_pam" ||
    fail "the application did not add its printer"
}

app_clean() {
  rm -f "/etc/pam.d/$app_pam"
  userdel "$app_admin" 2>/dev/null || true
}

# Waits until the application has no job left to print, then keeps what
# the printer received as jobs/NAME.prn.
app_collect() {
  local name=$1 tries jobs_left
  for ((tries = 0; tries < 1200; tries++)); do
    if jobs_left=$(ipptool -tv "$(app_uri)" get-jobs.test); then
      [[ $jobs_left == *'job-id (integer)'* ]] || break
    fi
    sleep 0.1
  done
  app_server_collect "$jobs/$name.prn" || fail "the application printed nothing for $name"
}

# What the printer gets from the application for job ID must be, byte for
# byte, what a CUPS queue with the printer's PPD makes of the PDF CUPS
# sent: its gstoraster, then the filter, with the job's paper and copies.
expect_ppd_queue_bytes() {
  local name=$1 id=$2 file=$3 media=$4 copies=$5
  lay_out "$name" "$id" "$file"
  PPD=$RTM_PPD /usr/lib/cups/filter/gstoraster 1 tester "$name" "$copies" "media=$media" "$jobs/$name.ref.pdf" \
    >"$jobs/$name.ref.ras" 2>"$jobs/$name.gstoraster.log" || fail "$name: gstoraster failed"
  PPD=$RTM_PPD "$RTM_FILTER" 1 tester "$name" "$copies" "media=$media" "$jobs/$name.ref.ras" \
    >"$jobs/$name.ref.prn" 2>"$jobs/$name.filter.log" || fail "$name: the filter failed"
  cmp -s "$jobs/$name.ref.prn" "$jobs/$name.prn" ||
    fail "$name: the printer's stream differs from a CUPS queue with the PPD's"
}

# A CUPS driverless queue in front of the application: CUPS sends it the
# documents as PDF laid out for the paper (pdftopdf with the PPD CUPS made
# from the printer's IPP attributes), with Create-Job and Send-Document,
# without a login; the printer must get the very bytes a CUPS queue with
# the printer's PPD makes of that PDF. A job cancelled in CUPS is
# cancelled in the application.
case_app() {
  sandbox_start "$work/cups" "$RTM_FILTER"
  app_start
  lpadmin -p drv -E -v "$(app_uri)" -m everywhere 2>"$jobs/lpadmin.err" ||
    fail "lpadmin -m everywhere: $(cat "$jobs/lpadmin.err")"
  local manual name file settings media args id
  manual=$(unpack_manual)
  while IFS='|' read -r name file settings media args; do
    [[ $file == manual ]] && file=$manual
    [[ $file == testpage ]] && file=$testpage
    # shellcheck disable=SC2086 # the lp arguments, split
    id=$(sandbox_print drv "$file" -t "$name" $args)
    expect_eq "state of CUPS job $id ($name)" "$(sandbox_wait_job "$id" 180)" completed
    app_collect "$name"
    # shellcheck disable=SC2086 # the five values, split
    expect_settings "$name" $settings
    read -r -a settings <<<"$settings"
    expect_ppd_queue_bytes "$name" "$id" "$file" "$media" "${settings[3]}"
    pass "driverless queue: $name (lp $args)"
  done <<'EOF'
drv-testpage|testpage|2 1 4960x7016 1 1|A4|
drv-testpage-a5-2|testpage|2 1 3512x4958 2 1|A5|-n 2 -o media=A5
drv-manual|manual|2 1 5100x6600 1 3|Letter|-o media=Letter -o page-ranges=1-3
drv-manual-a5-2|manual|2 1 3512x4958 2 2|A5|-n 2 -o media=A5 -o page-ranges=5-6
EOF

  # Cancelled in CUPS while the application prints it: CUPS's backend
  # cancels the job there, and the printer gets a closed page.
  local tries state
  id=$(sandbox_print drv "$manual" -t drv-cancel -o media=Letter)
  for ((tries = 0; tries < 600; tries++)); do
    (($(cat "$work"/app/dev/*.part 2>/dev/null | wc -c) > 100000)) && break
    sleep 0.1
  done
  cancel "$id"
  expect_eq "state of the cancelled CUPS job" "$(sandbox_wait_job "$id" 60)" canceled
  for ((tries = 0; tries < 600; tries++)); do
    state=$(ipptool -tv "$(app_uri)" get-completed-jobs.test | sed -n 's/^ *job-state (enum) = //p' | sort -u)
    [[ $state == *canceled* ]] && break
    sleep 0.1
  done
  [[ $state == *canceled* ]] || fail "no job was cancelled in the application"
  app_collect drv-cancel
  decode drv-cancel
  [[ $(grep '^total:' "$jobs/drv-cancel.txt") =~ pages=([0-9]+) ]] && ((BASH_REMATCH[1] < 38)) ||
    fail "the cancelled job printed every page: $(tail -n 1 "$jobs/drv-cancel.txt")"
  pass "a job cancelled in CUPS is cancelled in the application, its page closed"
}

# The web interface in headless Chromium (web_browser.py): an administrator
# logs in, sets the paper type and the density through the forms and
# presses "Print Test Page"; the printer's settings block must show both.
# The pages show the printer's own icons. Screenshots of every page are
# kept in RTM_SCREENSHOT_DIR.
case_web() {
  app_start
  local web=http://127.0.0.1:$app_port shots=${RTM_SCREENSHOT_DIR:-$RTM_BUILD_DIR/screenshots} status=0
  rm -rf "$shots"
  "$here/web_browser.py" "$web" "$app_admin" secret "$shots" || status=$?
  ((status == 0 || status == 77)) || fail "the web interface in Chromium"
  ((status == 0)) || exit 77
  cmp -s <(curl -4sf "$web/navicon.png") "$RTM_BUILD_DIR/app/icons/printer-48.png" &&
    cmp -s <(curl -4sf "$web/mono/icon-lg.png") "$RTM_BUILD_DIR/app/icons/printer-512.png" ||
    fail "the web interface does not show the printer's own icons"
  app_collect web-test-page
  expect_settings web-test-page 4 2 4960x7016 1 1
  pass "paper type and density set in the browser reach the test page; screenshots in $shots"
}

case $case_name in
  install | print | failure | cancel | app | web) "case_$case_name" ;;
  *) fail "unknown case '$case_name'" ;;
esac

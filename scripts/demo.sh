#!/usr/bin/env bash
# Prints the sample page as a person would: with lp, through a private CUPS
# scheduler that has the printer's PPD and rastertomono, when run as root with
# CUPS installed. Otherwise it renders the page the way CUPS's raster filters
# would (600 dpi, one bit, white = 1) and runs rastertomono on it as the
# scheduler does. Then it says what came out, and has monodump check the
# stream and draw its pages. Last, the same page through the Printer
# Application: a server on loopback with a printer writing to a file, fed
# through a CUPS driverless queue (or the application's own submit command
# without CUPS), and stopped at the end.
set -euo pipefail
build=${1:-build}
user=${USER:-$(id -un)}
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/out/demo"
mkdir -p "$out"

pdf="$out/sample-page.pdf"
stream="$out/sample-page.prn"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$pdf" \
  "$top/examples/sample-page.ps" 2>"$out/gs.log"

scheduler_ready() {
  [[ $(id -u) -eq 0 ]] || return 1
  local tool
  for tool in cupsd lp lpadmin ipptool cups-config setpriv; do
    command -v "$tool" >/dev/null || return 1
  done
  [[ -x $(cups-config --serverbin)/filter/pdftopdf && -x $(cups-config --serverbin)/filter/gstoraster ]]
}

# shellcheck source-path=SCRIPTDIR source=app-server.sh
source "$top/scripts/app-server.sh"

# The scheduler's log is kept for the curious; the scheduler and its folder go.
root=""
app_dir=""
app_pid=""
# shellcheck disable=SC2317 # run by the EXIT trap
finish() {
  app_server_stop
  [[ -n $app_dir ]] && rm -rf "$app_dir"
  [[ -n $root ]] || return 0
  sandbox_stop
  cp "$root/cups/log/error_log" "$out/cups-error_log" 2>/dev/null || true
  rm -rf "$root"
}
trap finish EXIT

status=0
if scheduler_ready; then
  # shellcheck source-path=SCRIPTDIR source=cups-sandbox.sh
  source "$top/scripts/cups-sandbox.sh"
  root=$(mktemp -d /tmp/rtm-demo.XXXXXX)
  chmod 0755 "$root"
  sandbox_start "$root/cups" "$top/$build/filter/rastertomono"
  sandbox_add_queue Mono600 "$top/$build/ppd/monol600.ppd"
  id=$(sandbox_print Mono600 "$pdf" -o PrintDensity=3)
  state=$(sandbox_wait_job "$id")
  cp "$root/cups/out/Mono600.prn" "$stream"
  [[ $state == completed ]] || status=1
  how="lp -d Mono600 -o PrintDensity=3 out/demo/sample-page.pdf, through a private CUPS scheduler (job $state; its log: out/demo/cups-error_log)"
else
  raster="$out/sample-page.ras"
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=cups -r600 \
    -dcupsColorSpace=0 -dcupsBitsPerColor=1 -dcupsColorOrder=0 -sPAPERSIZE=a4 \
    -sOutputFile="$raster" "$pdf" 2>>"$out/gs.log"
  PPD="$top/$build/ppd/monol600.ppd" \
    "$top/$build/filter/rastertomono" 1 "$user" sample-page 1 "PrintDensity=3" "$raster" >"$stream" || status=$?
  how="ghostscript to out/demo/sample-page.ras (A4, 600 dpi, 1 bit), then rastertomono 1 $user sample-page 1 'PrintDensity=3' on it (exit status $status); as root with CUPS installed it goes through a private CUPS scheduler instead"
fi

# Every page opens with the start-page command ESC $ A ESC ! A 00 00 00.
# shellcheck disable=SC2016 # a byte pattern, nothing to expand
pages=$({ LC_ALL=C grep -obUaP '\x1b\$A\x1b!A\x00\x00\x00' "$stream" || true; } | wc -l)

echo "rastertomono demo"
echo "  input:  examples/sample-page.ps, made into out/demo/sample-page.pdf by ghostscript"
echo "  path:   $how"
echo "  output: $stream ($(stat -c %s "$stream") bytes of printer commands, $pages page(s))"
echo "  first bytes after the 1,024-byte preamble:"
od -Ax -tx1 -v -j 1024 -N 64 "$stream" | sed 's/^/    /'

# monodump reads the stream back as the printer would: it checks every
# command, sums the job up and draws each page as PNG.
pictures="$out/pages"
rm -rf "$pictures"
echo "  monodump --png out/demo/pages out/demo/sample-page.prn:"
dump=0
"$top/$build/tools/monodump/monodump" --png "$pictures" "$stream" | grep -v '^image: ' | sed 's/^/    /' || dump=$?
echo "  page pictures (white paper, black where the printer puts toner):"
for png in "$pictures"/page-*.png; do
  [[ -e $png ]] && echo "    $png"
done
[[ $dump -eq 0 ]] || exit "$dump"

# The Printer Application: its own program name (PAPPL names its socket
# after it), port, spool and temporary folder.
app_dir=$(mktemp -d /tmp/rtm-demo-app.XXXXXX)
chmod 0755 "$app_dir"
RASTERTOMONO_FILTER="$top/$build/filter/rastertomono" RASTERTOMONO_PPD="$top/$build/ppd/monol600.ppd" \
  RASTERTOMONO_TESTPAGE="$top/$build/app/sample-page.pdf" \
  app_server_start "$top/$build" "$app_dir" rtm-demo-app Mono600
port=$app_port
uri="ipp://localhost:$port/ipp/print/Mono600"
if [[ -n $root ]]; then
  lpadmin -p Mono600-app -E -v "$uri" -m everywhere 2>/dev/null
  id=$(sandbox_print Mono600-app "$pdf" -t sample-page)
  state=$(sandbox_wait_job "$id")
  [[ $state == completed ]] || status=1
  app_how="lp -d Mono600-app out/demo/sample-page.pdf through a CUPS driverless queue (lpadmin -m everywhere), which sends the page as PDF (job $state)"
else
  TMPDIR="$app_dir/tmp" "$app" submit -u "$uri" "$pdf" >/dev/null
  app_how="rastertomono-printer-app submit out/demo/sample-page.pdf (without root and CUPS there is no driverless queue)"
fi
# The application's jobs sub-command lists the jobs not yet done.
for _ in $(seq 300); do
  if compgen -G "$app_dir/dev/*.prn" >/dev/null && left=$("$app" jobs -u "$uri" 2>/dev/null) && [[ -z $left ]]; then
    break
  fi
  sleep 0.1
done
app_stream="$out/app-sample-page.prn"
app_server_collect "$app_stream" || status=1
cp "$app_dir/log" "$out/app.log" 2>/dev/null || true
app_server_stop
echo
echo "The Printer Application (rastertomono-printer-app)"
echo "  server: http://localhost:$port/ (web interface), started with its systemd unit's options;"
echo "          printer Mono600 on a raw port (socket://) that keeps what it receives; stopped again"
echo "  path:   $app_how"
echo "  output: $app_stream ($(stat -c %s "$app_stream") bytes of printer commands)"
echo "  monodump --png out/demo/app-pages out/demo/app-sample-page.prn:"
rm -rf "$out/app-pages"
"$top/$build/tools/monodump/monodump" --png "$out/app-pages" "$app_stream" | grep -v '^image: ' | sed 's/^/    /' ||
  status=1
for png in "$out/app-pages"/page-*.png; do
  [[ -e $png ]] && echo "    page picture: $png"
done
exit "$status"

#!/usr/bin/env bash
# The Printer Application's part of make bench: documents through a server
# started as its systemd unit starts it, printing to raw ports, each beside
# its floor in the same run.
#   bench/app.sh BUILD RUNS CORPUS REPORT
# Appends its tables and ratios to REPORT and prints them.
#   - the 36-page manual as one PDF job (A4) beside ghostscript alone
#     rendering it with the application's device options;
#   - the same pages as one 1-bit PWG raster job beside the filter alone on
#     them as a compressed CUPS raster from a file;
#   - 120 jobs (PDF, PWG raster, PNG in turn) from 6 clients to 4 printers,
#     beside the same jobs from one client to one printer.
set -euo pipefail
bin=$1 runs=$2 corpus=$3 report=$4
top=$(cd "$(dirname "$0")/.." && pwd)
pdf=/usr/share/doc/libtasn1-doc/libtasn1.pdf
mono=$bin/filter/rastertomono
mono_ppd=$bin/ppd/monol600.ppd
apprun=$bin/bench/rtm_apprun

# --- documents -------------------------------------------------------------
a4() { gs -q -dSAFER -dBATCH -dNOPAUSE -sPAPERSIZE=a4 -dFIXEDMEDIA -dPDFFitPage "$@" >/dev/null 2>&1; }
[[ -s $corpus/manual-black1.pwg ]] ||
  a4 -sDEVICE=pwgraster -r600 -dcupsColorSpace=3 -dcupsBitsPerColor=1 -sOutputFile="$corpus/manual-black1.pwg" "$pdf"
[[ -s $corpus/two-pages.pdf ]] || a4 -sDEVICE=pdfwrite -dFirstPage=1 -dLastPage=2 -sOutputFile="$corpus/two-pages.pdf" "$pdf"
[[ -s $corpus/page-black1.pwg ]] ||
  a4 -sDEVICE=pwgraster -r600 -dcupsColorSpace=3 -dcupsBitsPerColor=1 -dLastPage=1 -sOutputFile="$corpus/page-black1.pwg" "$pdf"
[[ -s $corpus/photo.png ]] || gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pnggray -r100 -sOutputFile="$corpus/photo.png" \
  "$top/bench/photo.ps" >/dev/null 2>&1

# --- the server --------------------------------------------------------------
app_dir=$(mktemp -d /tmp/rtm-bench-app.XXXXXX)
# shellcheck source-path=SCRIPTDIR source=../scripts/app-server.sh
source "$top/scripts/app-server.sh"
# shellcheck disable=SC2317 # run by the EXIT trap
stop_app() {
  app_server_stop
  rm -rf "$app_dir"
}
trap stop_app EXIT
export RASTERTOMONO_FILTER=$mono RASTERTOMONO_PPD=$mono_ppd
app_server_start "$bin" "$app_dir" rtm-bench-app p0
for p in 1 2 3; do app_server_add "p$p"; done

echo "The Printer Application: single jobs ..." >&2
job_table() {  # document format floor... -> table of runs, each beside a run of its floor
  echo "| run | first byte s | last byte s | floor s |"
  echo "|---|---:|---:|---:|"
  "$apprun" job "$app_port" p0 "$app_dir/dev" "$1" "$2" "$runs" "${@:3}"
}
# The application's device options for A4, as CUPS's gstoraster gives them
# for the PPD: the page's size, its printable area as hardware margins.
pdf_table=$(job_table "$pdf" application/pdf \
  gs -q -dSAFER -dBATCH -dNOPAUSE -dNOINTERPOLATE -dNOMEDIAATTRS -dShowAcroForm -sDEVICE=cups -r600x600 \
  -dDEVICEWIDTHPOINTS=595 -dDEVICEHEIGHTPOINTS=842 -dcupsBitsPerColor=1 -dcupsColorOrder=0 -dcupsColorSpace=0 \
  -scupsPageSizeName=A4 -sOutputFile=/dev/null \
  -c '<</.HWMargins[11.520000 19.440001 11.320007 11.520020] /Margins[0 0]>>setpagedevice' -f "$pdf")
pwg_table=$(job_table "$corpus/manual-black1.pwg" image/pwg-raster \
  env PPD="$mono_ppd" "$mono" 1 bench title 1 "" "$corpus/text-a4-compressed.ras")

echo "The Printer Application: 120 jobs ..." >&2
documents=("$corpus/two-pages.pdf" application/pdf 2 "$corpus/page-black1.pwg" image/pwg-raster 1
  "$corpus/photo.png" image/png 1)
load_table=$(
  echo "| printers | clients | jobs | pages | pages per minute | CPU s per page | peak MiB | MiB after 10 jobs | MiB after all |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  "$apprun" load "$app_port" "$app_pid" 1 1 120 "${documents[@]}"
  "$apprun" load "$app_port" "$app_pid" 4 6 120 "${documents[@]}"
)

# --- report ----------------------------------------------------------------
verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo "not met"; fi; }
field() { awk -F'|' -v row="$2" -v col="$3" '$2 ~ row { print $col + 0 }' <<<"$1"; }
pdf_first=$(field "$pdf_table" median 3)
pdf_last=$(field "$pdf_table" median 4)
gs_wall=$(field "$pdf_table" median 5)
pwg_last=$(field "$pwg_table" median 4)
filter_wall=$(field "$pwg_table" median 5)
{
  echo
  echo "## The Printer Application"
  echo
  echo "A server started with its systemd unit's options (paths moved), printers on raw ports"
  echo "(rtm_raw_printer); times from the start of sending until the printer has the first byte"
  echo "and until the server closes the printer's connection after the last one. After each job"
  echo "its floor runs once, so that job and floor alternate."
  echo
  echo "The 36-page manual (libtasn1.pdf) as one PDF job, printed on A4; its floor is ghostscript"
  echo "alone rendering it onto A4 with the application's device options (600 dpi, one bit), to"
  echo "/dev/null:"
  echo
  echo "$pdf_table"
  echo
  echo "The same pages as one 1-bit PWG raster job (A4, $(stat -c %s "$corpus/manual-black1.pwg") bytes); its floor is"
  echo "the filter alone coding them from a compressed CUPS raster file:"
  echo
  echo "$pwg_table"
  echo
  echo "Under load: 120 jobs, a 2-page PDF, a 1-bit PWG raster page and a grey PNG in turn; resident"
  echo "memory is the server's, CPU its own and its children's (filters, ghostscript):"
  echo
  echo "$load_table"
  echo
  echo "Targets:"
  awk -v a="$pdf_last" -v g="$gs_wall" 'BEGIN { printf "- PDF job ÷ ghostscript alone: %.2f (at most 1.5): ", a / g }'
  verdict "$pdf_last / $gs_wall <= 1.5"
  printf -- "- PDF job, first byte at the printer: %s s (at most 0.2): " "$pdf_first"
  verdict "$pdf_first <= 0.2"
  awk -v a="$pwg_last" -v f="$filter_wall" 'BEGIN { printf "- PWG raster job ÷ the filter alone: %.2f (at most 1.5): ", a / f }'
  verdict "$pwg_last / $filter_wall <= 1.5"
  read -r ten all <<<"$(awk -F'|' '$2 + 0 == 4 { print $9 + 0, $10 + 0 }' <<<"$load_table")"
  printf -- "- memory after 120 jobs against after 10 (4 printers, 6 clients): %s MiB, %s MiB (no growth): " "$all" "$ten"
  verdict "$all <= $ten * 1.1"
} | tee -a "$report"

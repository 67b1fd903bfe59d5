#!/usr/bin/env bash
# Renders the sample page the way CUPS's raster filters would (600 dpi, one
# bit, white = 1), runs rastertomono on it as the scheduler does, says what
# came out, and has monodump check the stream and draw its pages.
set -euo pipefail
build=${1:-build}
user=${USER:-$(id -un)}
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/out/demo"
mkdir -p "$out"

raster="$out/sample-page.ras"
stream="$out/sample-page.prn"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=cups -r600 \
   -dcupsColorSpace=0 -dcupsBitsPerColor=1 -dcupsColorOrder=0 -sPAPERSIZE=a4 \
   -sOutputFile="$raster" "$top/examples/sample-page.ps" 2>"$out/gs.log"

status=0
PPD="$top/tests/data/with-options.ppd" \
  "$top/$build/filter/rastertomono" 1 "$user" sample-page 1 "PrintDensity=3" "$raster" >"$stream" || status=$?

# Every page opens with the start-page command ESC $ A ESC ! A 00 00 00.
pages=$(LC_ALL=C grep -obUaP '\x1b\$A\x1b!A\x00\x00\x00' "$stream" | wc -l)

echo "rastertomono demo"
echo "  input:  examples/sample-page.ps, rendered by ghostscript to $(stat -c %s "$raster") bytes of CUPS raster (A4, 600 dpi, 1 bit)"
echo "  filter: rastertomono 1 $user sample-page 1 'PrintDensity=3' out/demo/sample-page.ras (exit status $status)"
echo "  output: $stream ($(stat -c %s "$stream") bytes of printer commands, $pages page(s))"
echo "  first bytes after the 1,024-byte preamble:"
xxd -s 1024 -l 64 "$stream" | sed 's/^/    /'

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
exit "$status"

#!/usr/bin/env bash
# Makes sure the Debian packages a make target needs are installed.
#   ensure-packages.sh GROUP...
# As root, missing packages are installed with apt-get; otherwise the exact
# apt-get line is printed and the script stops with status 1.
set -euo pipefail

declare -A groups=(
  [build]="cmake make g++ pkg-config libcups2-dev libcupsimage2-dev libpng-dev libjpeg-dev ghostscript cups-ppdc libpappl-dev libpam0g-dev"
  # The end-to-end tests: a private scheduler (cups-daemon, cups for lpinfo -m),
  # its clients and ipptool, CUPS's PDF filters with ghostscript, and a
  # multi-page text PDF (bzip2-doc's manual); Chromium driven by Selenium
  # for the web interface.
  [test]="libgtest-dev libtiff-dev ghostscript curl cups cups-daemon cups-client cups-ipp-utils cups-filters poppler-utils bzip2-doc chromium chromium-driver python3-selenium"
  [demo]="ghostscript"
  [sanitize]="clang libclang-rt-14-dev"
  [bench]="ghostscript cups cups-ppdc libtasn1-doc valgrind libbenchmark-dev"
  # Building and checking the Debian packages; the packages' own build
  # dependencies come from debian/control (apt-get build-dep).
  [deb]="build-essential debhelper devscripts equivs fakeroot lintian git"
  [autopkgtest]="autopkgtest"
)

wanted=()
for group in "$@"; do
  [[ -n "${groups[$group]:-}" ]] || { echo "ensure-packages: unknown group '$group'" >&2; exit 2; }
  read -r -a list <<<"${groups[$group]}"
  wanted+=("${list[@]}")
done

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

line="apt-get install -y ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root, then run make again:" >&2
  echo "  sudo apt-get update && sudo $line" >&2
  exit 1
fi
echo "Installing missing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"

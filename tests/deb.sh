#!/usr/bin/env bash
# The Debian packages built from the work tree as it is (tracked files,
# committed or not): they build without their test suite, which make test
# runs already; lintian finds no error or warning; and what they install
# fits together: one model for CUPS, the filter its PPD names, the hook
# that updates existing queues, the application's service and tmpfiles,
# and the PPD, filter and ghostscript module the application was built to
# run. (The autopkgtest prints with them installed.)
#   deb.sh WORKDIR VERSION
set -euo pipefail

work=${1:?usage: deb.sh WORKDIR VERSION}
version=${2:?usage: deb.sh WORKDIR VERSION}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
for tool in dpkg-buildpackage lintian; do
  command -v "$tool" >/dev/null || { echo "SKIP: no $tool (scripts/ensure-packages.sh deb test)"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }

# stash create records the changes to tracked files without touching the tree.
commit=$(git -C "$repo" stash create)
pkgs=$work/packages root=$work/root
DEB_BUILD_OPTIONS="nocheck noautodbgsym" DEB_BUILD_PROFILES=nocheck \
  "$repo/scripts/build-deb.sh" "$pkgs" "${commit:-HEAD}"

driver=$(echo "$pkgs"/printer-driver-rastertomono_*.deb)
app=$(echo "$pkgs"/rastertomono-printer-app_*.deb)
got=$(dpkg-deb -f "$driver" Version)
[[ $got == "$version" ]] || fail "debian/changelog gives version $got, CMakeLists.txt $version"
rm -rf "$root"
for deb in "$driver" "$app"; do dpkg-deb -x "$deb" "$root"; done

mapfile -t models < <(find "$root"/usr/share/ppd "$root"/usr/share/cups/{model,drv} "$root"/usr/lib/cups/driver -type f 2>/dev/null)
((${#models[@]} == 1)) || fail "lpinfo -m would list ${#models[@]} models: ${models[*]}"
ppd=${models[0]}
[[ $ppd == "$root"/usr/share/ppd/* ]] || fail "the PPD is not where CUPS lists static PPDs: $ppd"
cupstestppd -W all -R "$root" "$ppd" || fail "cupstestppd judges the packaged PPD and filter"

# shellcheck source=/dev/null
source "$root/usr/share/cups/ppd-updaters/printer-driver-rastertomono.ppd-updater"
grep -Eq "$DRIVER_REGEXP" <<<"lsb/usr/${ppd#"$root"/usr/share/ppd/}" ||
  fail "the ppd-updater's DRIVER_REGEXP '$DRIVER_REGEXP' misses the PPD"


unit=$root/lib/systemd/system/rastertomono-printer-app.service
program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
[[ -x $root$program ]] || fail "the service runs '$program', which the package lacks"
while read -r path; do
  [[ -f $root$path ]] || fail "the application runs $path, which the packages lack"
done < <(grep -aoE '/[[:alnum:]/._-]*/(monol600\.ppd|filter/rastertomono|rastertomono-gs-writer\.so)\b' "$root$program" | sort -u)
service=$(sed -n 's/^ExecStart=.*-o auth-service=\([^ ]*\).*/\1/p' "$unit")
[[ -n $service && -f $root/etc/pam.d/$service ]] ||
  fail "the service logs administrators in through PAM service '$service', which the package lacks"
! grep -q '^ExecStart=.*file-devices' "$unit" || fail "the service lets printers write to files"
dpkg-deb -e "$app" "$work/app-control"
grep -q 'deb-systemd-helper enable.*rastertomono-printer-app.service' "$work/app-control/postinst" ||
  fail "the service is not enabled on install"
grep -q 'systemd-tmpfiles.*--create rastertomono-printer-app.conf' "$work/app-control/postinst" ||
  fail "the spool is not made on install"
echo "ok: packages build, lintian is clean and their contents work together"

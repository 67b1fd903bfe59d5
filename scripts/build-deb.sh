#!/usr/bin/env bash
# Builds the Debian source and binary packages from a commit of this
# repository, in a scratch folder so that no build file lands in the work
# tree, and holds them to lintian's errors and warnings.
#   build-deb.sh OUTDIR [COMMIT]
# OUTDIR (emptied first) receives the .deb files, the source package, the
# .buildinfo and the .changes. COMMIT defaults to HEAD. As root, missing
# build dependencies are installed with apt-get build-dep. DEB_BUILD_OPTIONS
# and DEB_BUILD_PROFILES pass through to dpkg-buildpackage.
set -euo pipefail

out=${1:?usage: build-deb.sh OUTDIR [COMMIT]}
commit=${2:-HEAD}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

scratch=$(mktemp -d /tmp/rtm-deb.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/rastertomono"
git -C "$repo" archive "$commit" | tar -x -C "$scratch/rastertomono"
cd "$scratch/rastertomono"

if ! dpkg-checkbuilddeps 2>/dev/null && [[ $(id -u) -eq 0 ]]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get build-dep -y -qq ./
fi
dpkg-buildpackage -us -uc

rm -rf "${out:?}"/*
mv ../*.deb ../*.dsc ../*.tar.* ../*.buildinfo ../*.changes "$out"/
echo "Packages in $out:"
ls -1 "$out"
lintian --fail-on error,warning --info "$out"/*.changes
echo "lintian: no errors or warnings"

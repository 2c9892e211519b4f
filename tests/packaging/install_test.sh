#!/usr/bin/env bash
# cmake --install of the build at hand into a staging root (DESTDIR), which stays for the
# suites that run the installed program.
#   install_test.sh BUILD_DIR PREFIX VERSION STAGE
set -euo pipefail
build=$1 prefix=$2 version=$3 stage=$4
. "$(dirname "$0")/installed.sh"
rm -rf "$stage"
mkdir -p "$stage/etc"

DESTDIR=$stage cmake --install "$build" >/dev/null
p=$stage$prefix
systemd-sysusers --root="$stage" "$p/lib/sysusers.d/lbapp.conf" >/dev/null 2>&1 ||
    fail "systemd-sysusers"
check_installed "$stage" "$prefix" "$version"
usage='Usage: lbapp <ether interface of VIP>'
help=$("$p/sbin/lbapp" --help) || fail "--help status"
[ "$(echo "$help" | head -n1)" = "$usage" ] || fail "--help: $help"
[ "$("$p/sbin/lbapp")" = "$usage" ] || fail "no argument"
echo "installed under $prefix: lbapp $version, unit verified, user created"

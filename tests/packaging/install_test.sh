#!/usr/bin/env bash
# cmake --install of the build at hand into a staging root (DESTDIR): the installed lbapp
# answers --version, --help and a wrong command line; the unit passes systemd-analyze
# verify there; its sysusers.d file creates the system user in that root.
# The staging root stays for the suites that run the installed program.
#   install_test.sh BUILD_DIR PREFIX VERSION STAGE
set -euo pipefail
build=$1 prefix=$2 version=$3 stage=$4
. "$(dirname "$0")/unit_verify.sh"
rm -rf "$stage"
mkdir -p "$stage"
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" >/dev/null
p=$stage$prefix
for f in sbin/lbapp sbin/lbweb sbin/lbapp-hostprep; do
    [ -x "$p/$f" ] || fail "$prefix/$f not installed"
done
[ -f "$p/lib/systemd/system/lbapp@.service" ] || fail "unit not installed"

usage='Usage: lbapp <ether interface of VIP>'
[ "$("$p/sbin/lbapp" --version)" = "lbapp $version" ] || fail "--version"
help=$("$p/sbin/lbapp" --help) || fail "--help status"
[ "$(echo "$help" | head -n1)" = "$usage" ] || fail "--help: $help"
[ "$("$p/sbin/lbapp")" = "$usage" ] || fail "no argument"
grep -q "^ExecStart=$prefix/sbin/lbapp %i\$" "$p/lib/systemd/system/lbapp@.service" ||
    fail "the unit does not start the installed lbapp"

unit_verify "$stage" || fail "unit"

mkdir -p "$stage/etc"
systemd-sysusers --root="$stage" "$p/lib/sysusers.d/lbapp.conf" >/dev/null 2>&1 ||
    fail "systemd-sysusers"
grep -q '^lbapp:x:[0-9]*:[0-9]*:.*:/var/lib/lbapp:' "$stage/etc/passwd" || fail "no user lbapp"
echo "installed under $prefix: lbapp $version, unit verified, user created"

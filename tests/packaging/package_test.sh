#!/usr/bin/env bash
# The production build (scripts/package: Release, no tests) and its Debian package: the
# package names the libraries and programs it needs, and dpkg installs it into a fresh
# root (dpkg --root with an empty database; dependencies are not in that root, so they
# are only listed, and the maintainer script runs outside a chroot, against that root):
# the programs, the unit that verifies there and the system user are there.
#   package_test.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
src=$1 build=$2 version=$3
. "$(dirname "$0")/installed.sh"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

deb=$(bash "$src/scripts/package" "$build" | tail -n1)
[ -f "$deb" ] || fail "no package: $deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version"
for need in libcurl4 libmariadb3 libcli iptables ethtool systemd libjs-chart.js; do
    [[ ", $depends" == *", $need"* ]] || fail "no dependency on $need"
done
info=$(dpkg-deb -I "$deb")
grep -q '^ *[0-9]* bytes, *[0-9]* lines *\* *postinst' <<<"$info" || fail "no postinst"

mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >/dev/null 2>&1 ||
    fail "dpkg --root -i: $(dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" 2>&1)"
[ "$(dpkg --root="$root" -s lbapp | sed -n 's/^Status: //p')" = "install ok installed" ] ||
    fail "not installed"
[ -e "$root/usr/share/lbapp/schema.sql" ] || fail "schema.sql missing"
check_installed "$root" /usr "$version"  # the user comes from postinst
echo "$(basename "$deb") installed into a fresh root"

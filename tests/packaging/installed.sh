# Sourced by the packaging tests.
fail() { echo "FAIL: $*" >&2; exit 1; }

# check_installed ROOT PREFIX VERSION: the tree installed under ROOT; systemd-analyze
# verify must not complain at all.
check_installed() {
    local root=$1 p=$1$2 f out
    for f in sbin/lbapp sbin/lbweb sbin/lbapp-hostprep; do
        [ -x "$p/$f" ] || fail "$2/$f not installed"
    done
    [ "$("$p/sbin/lbapp" --version)" = "lbapp $3" ] || fail "--version"
    grep -q "^ExecStart=$2/sbin/lbapp %i\$" "$p/lib/systemd/system/lbapp@.service" ||
        fail "the unit does not start the installed lbapp"
    grep -q '^lbapp:x:[0-9]*:[0-9]*:.*:/var/lib/lbapp:' "$root/etc/passwd" || fail "no user lbapp"
    # The units lbapp's unit depends on (targets, slices) come from this host.
    mkdir -p "$root/usr/lib/systemd/system"
    cp -an /lib/systemd/system/. "$root/usr/lib/systemd/system/"
    out=$(systemd-analyze verify --root="$root" lbapp@eth0.service 2>&1) && [ -z "$out" ] ||
        fail "systemd-analyze verify: ${out:-failed}"
}

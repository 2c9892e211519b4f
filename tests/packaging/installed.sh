# unit_verify ROOT: systemd-analyze verify of lbapp@eth0.service as installed under ROOT
# (the programs it names must be there too); fails on any complaint, warnings included.
# Sourced by the packaging tests.
unit_verify() {
    local root=$1 out
    # The units lbapp's unit depends on (targets, slices) come from this host.
    mkdir -p "$root/usr/lib/systemd/system"
    cp -an /lib/systemd/system/. "$root/usr/lib/systemd/system/"
    if ! out=$(systemd-analyze verify --root="$root" lbapp@eth0.service 2>&1) || [ -n "$out" ]; then
        echo "systemd-analyze verify: ${out:-failed}" >&2
        return 1
    fi
}

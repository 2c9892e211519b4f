#!/usr/bin/env bash
# The host preparation on a veth pair, in the private network namespace the test runs in.
#   hostprep_test.sh PATH_TO_lbapp-hostprep
set -euo pipefail
prep=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LBAPP_HOSTPREP_STATE=$work/state
fail() { echo "FAIL: $*" >&2; exit 1; }

ip link add hp0 type veth peer name hp1
ip link set hp0 up
ip link set hp1 up
offloads() {
    ethtool -k hp0 | grep -E '^(tx-checksumming|tcp-segmentation-offload|generic-segmentation-offload|generic-receive-offload):'
}
rules() { iptables -S INPUT | grep -c -- '-j DROP' || true; }
ethtool -K hp0 gro on >/dev/null 2>&1  # every feature on before
before=$(offloads)
[[ $before != *": off"* ]] || fail "a feature is off before: $before"
# The console port passes, every other TCP port of the VIP is dropped, on that interface.
# A SYN with ACK passes too: it answers a connection the host opened (health checks).
want='-A INPUT -d 203.0.113.100/32 -i hp0 -p tcp -m tcp ! --dport 8000 ! --tcp-flags SYN,ACK SYN,ACK -m comment --comment "lbapp:hp0" -j DROP'

cd "$work"
# How the VIP is given; "twice": a start after a start without stop.
for how in argument vip.conf twice none; do
    rm -f vip.conf
    case $how in
    argument) "$prep" start hp0 203.0.113.100 >/dev/null ;;
    vip.conf) echo 203.0.113.100 >vip.conf; "$prep" start hp0 >/dev/null ;;
    twice) "$prep" start hp0 203.0.113.100 >/dev/null; "$prep" start hp0 203.0.113.100 >/dev/null ;;
    none) [[ $("$prep" start hp0) == *"no firewall rule set"* ]] || fail "$how: not said" ;;
    esac
    [[ $(offloads) != *": on"* ]] || fail "$how: offloads left on: $(offloads)"
    if [ $how = none ]; then
        [ "$(rules)" -eq 0 ] || fail "$how: a rule without a VIP"
    else
        [ "$(iptables -S INPUT | grep -- '-j DROP')" = "$want" ] ||
            fail "$how: rules: $(iptables -S INPUT)"
    fi
    "$prep" stop hp0 >/dev/null
    [ "$(rules)" -eq 0 ] || fail "$how: rule left after stop: $(iptables -S INPUT)"
    [ "$(offloads)" = "$before" ] || fail "$how: offloads not restored: $(offloads)"
done
# The rule of earlier versions, without the SYN with ACK, goes at stop too.
"$prep" start hp0 203.0.113.100 >/dev/null
iptables -I INPUT -i hp0 -d 203.0.113.100/32 -p tcp ! --dport 8000 -m comment --comment lbapp:hp0 -j DROP
"$prep" stop hp0 >/dev/null
[ "$(rules)" -eq 0 ] || fail "earlier rule left after stop: $(iptables -S INPUT)"
"$prep" stop hp0 || fail "stop without start"
"$prep" start hp0 198.51.100.300 2>/dev/null && fail "a malformed VIP accepted"
"$prep" start nosuch0 203.0.113.100 2>/dev/null && fail "a missing interface accepted"
[ "$(rules)" -eq 0 ] && [ "$(offloads)" = "$before" ] || fail "a refused start changed something"
echo "host preparation set and undone"

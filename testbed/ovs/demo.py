#!/usr/bin/env python3
"""The demo behind scripts/demo: brings the Open vSwitch testbed up, runs lbapp, sends
real connections from the client hosts to the VIP and shows what happens; tears the
testbed down at the end, also when interrupted.

    demo.py LBAPP DIR [LBWEB]   (as root; DIR must be new or empty)

With LBWEB the operators' web front end runs beside lbapp and adds the server at run
time; its address is printed, and on a terminal the demo waits for Enter before it stops
lbapp, so the pages can be looked at.
"""
import collections
import os
import re
import signal
import sys
import time
import urllib.parse

import bedlib


def say(text=""):
    print(text, flush=True)


def show_rules(bed):
    for sw in (1, 2, 3):
        rules = sorted(bed.rules(sw))
        say("  switch %d (%s, dpid %016x): %d balancer rule(s)" % (sw, bed.bridge(sw), sw,
                                                                    len(rules)))
        for inp, src, sport, dst, dport, out, idle in rules:
            say("    in_port %-2d %s:%-5d -> %s:%-5d  output %-2d idle %ds"
                % (inp, src, sport, dst, dport, out, idle))


def getconn(bed):
    console = bedlib.Console(bed.vip, bed.socket("c1"))
    lines = console.getconn()
    console.close()
    return lines


def main():
    binary, directory = sys.argv[1], sys.argv[2]
    web_binary = sys.argv[3] if len(sys.argv) > 3 else None
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    bed = bedlib.Testbed(directory)
    app = web = None
    conns = []
    try:
        say("== Bringing the testbed up (Open vSwitch, namespaces, database, controller)")
        bed.up()
        say("  switches s1 - s2 - s3 (%s); clients c1 192.0.2.21, c2 192.0.2.22 on s1;"
            % " ".join(bed.bridges))
        say("  balancer 192.0.2.100 (VIP) and web1 192.0.2.11 on s2; web2 .12, web3 .13,"
            " web4 .14 on s3")
        say("  service: port %d on every server, answering with its name" % bed.port)
        say()
        say("== Starting lbapp on the balancer's eth0")
        app = bedlib.Lbapp(bed, binary)
        if not app.wait_ready():
            say(app.output())
            raise SystemExit("lbapp did not start")
        say("  lbapp is receiving frames (pid %d)" % app.proc.pid)
        say()
        if web_binary:
            password = os.urandom(9).hex()
            web = bedlib.Lbweb(bed, web_binary, "demo", password)
            say("== lbweb, the web front end, beside lbapp")
            say("  %s  (user demo, password %s)" % (web.url, password))
            say()
        say("== Six connections to the VIP, kept open")
        for host in ("c1", "c2", "c1", "c2", "c1", "c2"):
            c = bed.connect(host)
            conns.append(c)
            say("  %s %s:%d -> %s:%d answered by %s" % (host, c.local[0], c.local[1],
                                                       c.peer[0], c.peer[1], c.name))
        for c in conns:
            if not c.exchange(1 << 20):
                raise SystemExit("payload of %s came back changed" % c.name)
        say("  1 MiB sent and echoed back unchanged on each connection")
        say()
        say("== Console (telnet %s 8000 from c1): getconn" % bed.vip)
        for line in getconn(bed):
            say("  " + line)
        say()
        say("== Rules in the switches while the connections are open")
        show_rules(bed)
        say()
        say("== Adding web4 at run time (row in table server, then '1 ADD 192.0.2.14' in"
            " flag.txt)")
        if web:
            opener, token = web.session()
            form = {"csrf": token, "name": "web4", "address": "192.0.2.14",
                    "mac": "02:00:00:00:00:0e", "maxconn": "100", "state": "Unlocked",
                    "port": "13"}
            page = opener.open(web.url + "servers/add", urllib.parse.urlencode(form).encode(),
                               timeout=10).read().decode()
            say("  through lbweb: " + re.search(r'<div id="notice"[^>]*><p>(.*?)</p>',
                                                page).group(1))
        else:
            bed.sql("INSERT INTO server (servername, serverip, maxconn, servermac, state, "
                    "switchport) VALUES ('web4', '192.0.2.14', 100, '02:00:00:00:00:0e', "
                    "'Unlocked', 13)")
            bed.write("flag.txt", "1 ADD 192.0.2.14\n")
        if not bedlib.wait_until(lambda: bed.read("flag.txt").strip() == "0", 15):
            raise SystemExit("lbapp did not take flag.txt")
        for host in ("c1", "c2"):
            c = bed.connect(host)
            conns.append(c)
            say("  %s %s:%d -> %s:%d answered by %s" % (host, c.local[0], c.local[1],
                                                       c.peer[0], c.peer[1], c.name))
        counts = collections.Counter(c.name for c in conns)
        say("  connections per server: " + ", ".join("%s %d" % kv for kv in sorted(counts.items())))
        say()
        if web and sys.stdin.isatty():
            say("== lbweb: %s (user demo); press Enter to go on" % web.url)
            sys.stdin.readline()
        say("== SIGINT to lbapp with %d connections open" % len(conns))
        status = app.stop(signal.SIGINT)
        say("  lbapp exited with status %s" % status)
        left = sum(len(bed.rules(sw)) for sw in (1, 2, 3))
        say("  balancer rules left in the switches: %d" % left)
        return 0 if status == 2 and left == 0 else 1
    finally:
        for c in conns:
            c.sock.close()
        if web is not None:
            web.stop()
        if app is not None:
            app.kill()
        say()
        say("== Tearing the testbed down")
        bed.down()
        say("  done")


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)

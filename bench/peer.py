#!/usr/bin/env python3
"""lbapp beside a peer, HAProxy, on the Open vSwitch testbed (testbed/ovs): the same
clients (c1, c2), servers (web1-web3 running namesvc) and balancer host (namespace lb,
VIP 192.0.2.100, port 8080). HAProxy runs there by hand in TCP mode with
`balance leastconn` and one thread, bound to the VIP; lbapp runs on the balancer's eth0.

What is measured, for each of the two, one after the other in one run:
  - short connections: 16 workers (8 in c1, 8 in c2) each connect to the VIP, read the
    server's first line (its name) and close, starting new ones until 2000 connections
    in total or 20 s; connections/s over the wall time up to the last one's end, and
    failures (refused, no first line within 30 s, reset, no name).
  - one long transfer: one connection from c1 carrying 128 MiB that the server echoes
    back (at most 60 s); MB/s of payload (10^6 bytes) each way, checked byte for byte.
    The same transfer straight to a server, with no balancer, shows the network's ceiling.
Figure 6 is the ratio lbapp/HAProxy of each; the absolute values go beside them.

What limits it: everything shares 2 cores with the userspace Open vSwitch datapath (every
frame of both peers crosses ovs-vswitchd's packet sockets several times), the Python
clients and the Python echo servers; the machine is shared with other developers, so
only ratios from one run mean much. Before forwarding a SYN, lbapp's setup engine
asks the controller simulator (a Python server) for the client's attachment and the path
and posts the 6-8 rules on the three bridges; the simulator, the bridges' OpenFlow
controller, answers an install once the bridge's barrier reply confirms its flow-mod, so
these round trips, not lbapp's own work, set the time to a connection's first line.

Each connection is checked to have gone through the component under test: for lbapp,
every successful short connection's rules were posted to the controller (client to VIP
and client to the server that answered, on the balancer's switch) and the long
connection's rules are in the switches; for HAProxy, no balancer rule is in any switch
and its own statistics count every connection, spread over the servers.

    peer.py LBAPP                           (as root, from bench/peer)
    peer.py --short-worker VIP PORT COUNT DEADLINE START   (in a client namespace)
"""

import collections
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "testbed", "ovs"))
import bedlib  # noqa: E402

# Each worker waits for one connection's first line before it opens the next, so the
# workers bound the setups in flight: enough of them that the balancer's concurrency, not
# the clients', is measured.
WORKERS = ("c1", "c2") * 8
SHORT_COUNT = 2000  # connections in total, shared evenly by the workers
SHORT_SECONDS = 20.0
LONG_BYTES = 128 << 20
LONG_SECONDS = 60.0
# A SYN the balancer drops (setups in flight at their bound, or the controller down) is
# sent again by the client's stack after 1, 3, 7 ... s.
CONNECT_TIMEOUT = 30.0


def log(text):
    print("peer: " + text, file=sys.stderr, flush=True)


# ---- the short-connection worker (runs inside a client namespace)

def short_worker(vip, port, count, deadline, start):
    """Opens up to count connections to vip:port one after the other until the wall
    clock passes deadline; prints one JSON line with what happened."""
    time.sleep(max(0.0, start - time.time()))
    ok, fails, names, peers, conns = 0, collections.Counter(), collections.Counter(), set(), []
    waits = []
    first = time.time()
    while ok + sum(fails.values()) < count and time.time() < deadline:
        began = time.monotonic()
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(CONNECT_TIMEOUT)
        try:
            s.connect((vip, port))
            line = b""
            while not line.endswith(b"\n"):
                chunk = s.recv(64)
                if not chunk:
                    break
                line += chunk
            name = line.decode(errors="replace").strip()
            if not name:
                fails["no name"] += 1
                continue
            ok += 1
            waits.append(time.monotonic() - began)
            names[name] += 1
            peers.add("%s:%d" % s.getpeername())
            conns.append(list(s.getsockname()) + [name])
        except socket.timeout:
            fails["timed out"] += 1
        except ConnectionRefusedError:
            fails["refused"] += 1
        except OSError as e:
            fails[e.__class__.__name__] += 1
        finally:
            s.close()
    print(json.dumps({"ok": ok, "fails": fails, "names": names, "peers": sorted(peers),
                      "conns": conns, "waits": waits, "first": first, "last": time.time()}))


# ---- the driver

def short_phase(bed):
    """Runs the workers at once; the merged result with the rate over the wall time
    from the first start to the last end."""
    start = time.time() + 1.0
    deadline = start + SHORT_SECONDS
    per = SHORT_COUNT // len(WORKERS)
    procs = [subprocess.Popen(["ip", "netns", "exec", bed.ns(host), sys.executable,
                               os.path.abspath(__file__), "--short-worker", bed.vip,
                               str(bed.port), str(per), repr(deadline), repr(start)],
                              stdout=subprocess.PIPE, text=True) for host in WORKERS]
    results = []
    try:
        for p in procs:
            out, _ = p.communicate(timeout=SHORT_SECONDS + CONNECT_TIMEOUT + 30)
            results.append(json.loads(out))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
    merged = {"ok": sum(r["ok"] for r in results), "fails": collections.Counter(),
              "names": collections.Counter(), "peers": set(), "conns": [], "waits": []}
    for r in results:
        merged["fails"].update(r["fails"])
        merged["names"].update(r["names"])
        merged["peers"].update(r["peers"])
        merged["conns"] += r["conns"]
        merged["waits"] += r["waits"]
    seconds = max(r["last"] for r in results) - min(r["first"] for r in results)
    merged["rate"] = merged["ok"] / seconds if seconds > 0 else 0.0
    merged["seconds"] = seconds
    waits = merged["waits"]
    merged["wait"] = "first line after %.3f s on average, %.3f s at most" % (
        sum(waits) / len(waits), max(waits)) if waits else "no first line"
    log("short: %d ok, %d failed in %.1f s (%.1f/s), servers %s, failures %s; %s"
        % (merged["ok"], sum(merged["fails"].values()), seconds, merged["rate"],
           dict(merged["names"]), dict(merged["fails"]) or "none", merged["wait"]))
    return merged


def long_transfer(conn):
    """Streams LONG_BYTES through conn and reads the echo back, checking every byte, for
    at most LONG_SECONDS; (payload bytes echoed back intact, seconds, complete)."""
    block = os.urandom(1 << 20)
    twice = block + block  # any slice of at most 1 MiB starting in block is in here
    sock = conn.sock
    sock.settimeout(LONG_SECONDS)
    deadline = time.monotonic() + LONG_SECONDS
    stop = threading.Event()

    def send():
        sent = 0
        view = memoryview(twice)
        try:
            while sent < LONG_BYTES and not stop.is_set() and time.monotonic() < deadline:
                n = min(256 << 10, LONG_BYTES - sent)
                off = sent % len(block)
                sock.sendall(view[off:off + n])
                sent += n
        except OSError:
            pass

    sender = threading.Thread(target=send)
    begin = time.monotonic()
    sender.start()
    got = 0
    buf = bytearray(1 << 16)
    intact = True
    try:
        while got < LONG_BYTES and time.monotonic() < deadline:
            sock.settimeout(max(0.1, deadline - time.monotonic()))
            n = sock.recv_into(buf)
            if n == 0:
                break
            off = got % len(block)
            if buf[:n] != twice[off:off + n]:
                intact = False
                break
            got += n
    except OSError:
        pass
    seconds = time.monotonic() - begin
    stop.set()
    sock.close()  # unblocks a sender stuck in sendall
    sender.join()
    return got, seconds, intact and got == LONG_BYTES


def posted_rules(bed, since):
    """(switch, ipv4_src, tcp_src, ipv4_dst) of every rule posted to the controller
    after the first `since` requests of its log."""
    posted = set()
    for r in bed.request_log()[since:]:
        if r["method"] == "POST" and "/datapaths/" in r["path"]:
            flow = json.loads(r["body"])["flow"]
            m = {k: v for f in flow["match"] for k, v in f.items()}
            posted.add((int(r["path"].split("/")[5], 16), m["ipv4_src"], m["tcp_src"],
                        m["ipv4_dst"]))
    return posted


def server_ip(name):
    """The address of server host name (web1 ...)."""
    return bedlib.HOSTS[bedlib.SERVERS[name]][2]


def measure(bed, label, check_long):
    """Warm-up, the long transfer, then the short connections. check_long(conn) says
    what is wrong with the long connection's path ('' when nothing)."""
    problems = []
    for host in ("c1", "c2"):
        bed.connect(host).close_fin()
    conn = bed.connect("c1")
    if conn.peer != (bed.vip, bed.port):
        problems.append("long connection's peer is %s:%d" % conn.peer)
    problems += filter(None, [check_long(conn)])
    got, seconds, complete = long_transfer(conn)
    mbps = got / seconds / 1e6 if seconds > 0 else 0.0
    log("%s long: %d bytes echoed in %.2f s (%.1f MB/s)%s via %s"
        % (label, got, seconds, mbps, "" if complete else ", INCOMPLETE", conn.name))
    if not complete:
        problems.append("long transfer incomplete or corrupted (%d of %d bytes)"
                        % (got, LONG_BYTES))
    short = short_phase(bed)
    if short["peers"] - {"%s:%d" % (bed.vip, bed.port)}:
        problems.append("short connections' peers %s" % sorted(short["peers"]))
    if len(short["names"]) < 2:
        problems.append("short connections all went to %s" % dict(short["names"]))
    return {"mbps": mbps, "bytes": got, "seconds": seconds, "short": short,
            "problems": problems}


def run_haproxy(bed, tmp):
    """HAProxy on the VIP in the balancer's namespace, with the firewall rule lifted
    while it runs and put back after; measure()'s result plus its per-server sessions."""
    cfg = os.path.join(tmp, "haproxy.cfg")
    stats = os.path.join(tmp, "haproxy.sock")
    servers = "".join("    server %s %s:%d\n" % (n, server_ip(n), bed.port)
                      for n in ("web1", "web2", "web3"))
    with open(cfg, "w") as f:
        f.write("global\n    nbthread 1\n    maxconn 4096\n"
                "    stats socket %s mode 600 level user\n"
                "defaults\n    mode tcp\n    timeout connect 5s\n"
                "    timeout client 60s\n    timeout server 60s\n"
                "frontend vip\n    bind %s:%d\n    default_backend farm\n"
                "backend farm\n    balance leastconn\n%s" % (stats, bed.vip, bed.port, servers))
    fw = ["INPUT", "-d", bed.vip, "-p", "tcp", "!", "--dport", "8000", "-j", "DROP"]
    bed.run("lb", "iptables", "-D", *fw, check=True)
    out = open(os.path.join(tmp, "haproxy.out"), "w")
    proc = subprocess.Popen(["ip", "netns", "exec", bed.ns("lb"), "haproxy", "-db", "-f", cfg],
                            stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    try:
        listening = ("ss -Htln | grep -q '%s:%d '" % (bed.vip, bed.port))
        if not bedlib.wait_until(lambda: proc.poll() is not None or bed.run(
                "lb", "sh", "-c", listening).returncode == 0, 15) or proc.poll() is not None:
            raise SystemExit("HAProxy did not start: " + open(out.name).read()[-2000:])
        log("HAProxy %d listening on %s:%d" % (proc.pid, bed.vip, bed.port))

        def no_rules(conn):
            rules = bed.all_rules()
            return "balancer rules in the switches" if any(rules.values()) else ""

        result = measure(bed, "HAProxy", no_rules)
        # Its statistics: sessions per server since start (the warm-up's two, the long
        # transfer's one and every successful short connection; a failed one may add).
        s = socket.socket(socket.AF_UNIX)
        s.connect(stats)
        s.sendall(b"show stat\n")
        text = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            text += chunk
        s.close()
        lines = text.decode().splitlines()
        head = lines[0].lstrip("# ").split(",")
        stot = {row[1]: int(row[head.index("stot")]) for row in
                (line.split(",") for line in lines[1:] if line)
                if row[0] == "farm" and row[1].startswith("web")}
        result["stats"] = stot
        want = result["short"]["ok"] + 3
        if sum(stot.values()) < want or sum(1 for v in stot.values() if v) < 2:
            result["problems"].append("HAProxy counted %s sessions, %d expected" % (stot, want))
        log("HAProxy sessions per server: %s" % stot)
        return result
    finally:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        out.close()
        bed.run("lb", "iptables", "-A", *fw, check=True)


def run_lbapp(bed, binary):
    """lbapp on the balancer's eth0, stopped with SIGINT at the end; measure()'s result.
    No balancer rule is left in the switches afterwards, whatever happened."""
    # No server limit in the way: closed connections are counted until their expiry
    # walks (up to three 5-second ticks) remove them.
    bed.reset_servers([(n, 100000, "Unlocked") for n in ("web1", "web2", "web3")])
    app = bedlib.Lbapp(bed, binary)
    try:
        if not app.wait_ready():
            raise SystemExit("lbapp did not start: " + app.output()[-2000:])
        log("lbapp %d receiving frames" % app.proc.pid)
        since = len(bed.request_log())

        def rules_in_place(conn):
            want = bed.expected_rules(conn, 300)
            have = bed.all_rules()
            if not all(want[sw] <= have[sw] for sw in want):
                return "long connection's rules are not in the switches"
            return ""

        result = measure(bed, "lbapp", rules_in_place)
        posted = posted_rules(bed, since)
        missing = [c for c in result["short"]["conns"]
                   if (2, c[0], c[1], bed.vip) not in posted
                   or (2, c[0], c[1], server_ip(c[2])) not in posted]
        if missing:
            result["problems"].append("%d short connections without their rules, e.g. %s"
                                      % (len(missing), missing[0]))
        live = len(bed.rules(2))
        log("lbapp: rules posted for every short connection%s; %d rules on the "
            "balancer's switch now" % (" but %d" % len(missing) if missing else "", live))
        code = app.stop(signal.SIGINT, timeout=90)
        if code != 2:
            result["problems"].append("lbapp stop status %s" % code)
        return result
    finally:
        app.kill()
        bed.clear_rules(check=False)


def row(fig, what, value, unit, note):
    """One figure on standard output, in the benchmarks' five tab-separated fields."""
    print("%s\t%s\t%s\t%s\t%s" % (fig, what, value, unit, note), flush=True)


def report(lb, ha, base):
    """The rows: the two ratios first, then the absolute values beside them."""
    def ratio(a, b):
        return "%.3g" % (a / b) if b > 0 else "n/a"  # 3 significant digits, even when tiny

    def fails(r):
        n = sum(r["short"]["fails"].values())
        return "%d failed%s" % (n, " (%s)" % ", ".join(
            "%s %d" % kv for kv in sorted(r["short"]["fails"].items())) if n else "")

    workers = "%d workers (half in c1, half in c2), at most %d connections or %.0f s" % (
        len(WORKERS), SHORT_COUNT, SHORT_SECONDS)
    row(6, "short connections/s, lbapp/HAProxy", ratio(lb["short"]["rate"],
                                                       ha["short"]["rate"]), "ratio",
        "lbapp %.1f conn/s (%s) / HAProxy %.1f conn/s (%s); %s" % (
            lb["short"]["rate"], fails(lb), ha["short"]["rate"], fails(ha), workers))
    row(6, "one long transfer MB/s, lbapp/HAProxy", ratio(lb["mbps"], ha["mbps"]), "ratio",
        "lbapp %.1f MB/s / HAProxy %.1f MB/s; %d MiB echoed on one connection c1->VIP"
        % (lb["mbps"], ha["mbps"], LONG_BYTES >> 20))
    for label, r in (("lbapp", lb), ("HAProxy", ha)):
        row(6, "short connections/s, %s" % label, "%.1f" % r["short"]["rate"], "conn/s",
            "%d ok, %s in %.1f s; servers %s; %s" % (
                r["short"]["ok"], fails(r), r["short"]["seconds"],
                " ".join("%s=%d" % kv for kv in sorted(r["short"]["names"].items())),
                r["short"]["wait"]))
        row(6, "one long transfer, %s" % label, "%.1f" % r["mbps"], "MB/s",
            "%d bytes each way in %.2f s, echoed by namesvc" % (r["bytes"], r["seconds"]))
    row(6, "one long transfer, no balancer", "%.1f" % base, "MB/s",
        "the same transfer from c1 straight to web3 (s1-s2-s3): the userspace switches' "
        "ceiling")


def main():
    """Testbed up, the direct transfer, HAProxy, lbapp, the rows, testbed down; exit
    status 1 when a connection went elsewhere or something of the testbed is left."""
    binary = os.path.abspath(sys.argv[1])
    # Also when started in the background, where SIGINT arrives ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    tmp = tempfile.mkdtemp(prefix="lbpeer-")
    bed = bedlib.Testbed(os.path.join(tmp, "bed"))
    problems = []
    try:
        log("bringing the testbed up")
        bed.up()
        # The ceiling the network itself sets: the same transfer straight to a server.
        direct = bed.connect("c1", server_ip("web3"))
        got, seconds, complete = long_transfer(direct)
        base = got / seconds / 1e6 if seconds > 0 else 0.0
        log("direct long: %d bytes echoed in %.2f s (%.1f MB/s)" % (got, seconds, base))
        if not complete:
            problems.append("direct transfer incomplete or corrupted")
        ha = run_haproxy(bed, tmp)
        lb = run_lbapp(bed, binary)
        report(lb, ha, base)
        problems += ["HAProxy: " + p for p in ha["problems"]] + \
                   ["lbapp: " + p for p in lb["problems"]]
    finally:
        # A second interrupt must not cut the teardown short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        log("tearing the testbed down")
        left = bed.down(check=True)
        shutil.rmtree(tmp, ignore_errors=True)
        if left:
            log("left behind: " + ", ".join(left))
            problems.append("left behind: " + ", ".join(left))
    if problems:
        for p in problems:
            log("CHECK FAILED: " + p)
        return 1
    log("every connection went through the component under test; testbed gone")
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[1] == "--short-worker":
        short_worker(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]),
                     float(sys.argv[6]))
    elif len(sys.argv) == 2:
        try:
            sys.exit(main())
        except KeyboardInterrupt:
            log("interrupted")
            sys.exit(130)
    else:
        sys.exit(__doc__)

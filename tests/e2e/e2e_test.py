"""End to end on the Open vSwitch testbed (see CMakeLists.txt); needs root, LBAPP names
the lbapp binary. Locked and full servers (serverlist_test, dispatch_test) and the rules a
killed balancer leaves (lbapp_process_test) are tested without real connections; servers
added, locked and deleted through flag.txt while lbapp runs, with frames (browser_test)."""

import collections
import concurrent.futures
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "testbed", "ovs"))
import bedlib  # noqa: E402
from bedlib import wait_until  # noqa: E402

LBAPP = os.environ.get("LBAPP", "")
MB = 1 << 20
bed = None


def setUpModule():
    global bed
    if not LBAPP or not os.access(LBAPP, os.X_OK):
        raise unittest.SkipTest("LBAPP does not name the lbapp binary")
    tmp = tempfile.mkdtemp(prefix="lbe2e-")
    unittest.addModuleCleanup(shutil.rmtree, tmp, ignore_errors=True)
    bed = bedlib.Testbed(os.path.join(tmp, "bed"))
    unittest.addModuleCleanup(bed_down)
    bed.up()


def bed_down():
    left = bed.down(check=True)
    if left:
        raise AssertionError("left behind: %s" % ", ".join(left))


class Balanced(unittest.TestCase):
    """lbapp started per test on a fresh server table; every test stops it itself."""

    rows = None
    timeouts = "300 1\n"  # timeout.conf
    health = None  # healthcheck.conf; None: no health checks

    def setUp(self):
        bed.reset_servers(self.rows)
        bed.write("timeout.conf", self.timeouts)
        if self.health:
            bed.write("healthcheck.conf", self.health)
        # The rules of a balancer killed by an earlier test's tearDown are cleared there
        # by hand, so its journal goes too.
        for name in ("flows_new.txt", "servergraph.txt", "flag.txt", "rules.journal") + (
                () if self.health else ("healthcheck.conf",)):
            path = os.path.join(bed.work, name)
            if os.path.exists(path):
                os.remove(path)
        self.assertEqual(bed.all_rules(), {1: set(), 2: set(), 3: set()})
        self.app = bedlib.Lbapp(bed, LBAPP)
        self.conns = []
        self.assertTrue(self.app.wait_ready(), self.app.output())

    def tearDown(self):
        self.app.kill()  # after a failure: rules of a killed balancer stay, clear them
        # Requests it made before it died may still be served (they do not hold the
        # balancer up): clear the rules once the simulator's log has stood still.
        seen = -1
        while seen != len(bed.request_log()):
            seen = len(bed.request_log())
            time.sleep(1)
        for c in self.conns:
            c.sock.close()
        bed.clear_rules()

    def open(self, *hosts):
        """Connections from each host in turn; the last."""
        for host in hosts:
            self.conns.append(bed.connect(host))
        return self.conns[-1]

    def expect_rules(self, conns, idle=300):
        each = [bed.expected_rules(c, idle) for c in conns]
        self.assertEqual(bed.all_rules(),
                         {sw: set().union(*(w[sw] for w in each)) for sw in (1, 2, 3)})

    def rule_counts(self):
        return {sw: len(r) for sw, r in bed.all_rules().items()}

    def no_rules(self):
        return all(not r for r in bed.all_rules().values())

    def connection_lines(self):
        return {tuple(line.split()) for line in bed.read("flows_new.txt").splitlines()
                if line.split() and line.split()[0] != "0"}

    def wait_gone(self, what, rules_s, lines_s=2):
        """Every rule gone from every switch within rules_s, the connections file empty
        within lines_s more (it is written off the packet thread, up to an interval after
        the change)."""
        self.assertTrue(wait_until(self.no_rules, rules_s),
                        "rules left after %s: %s" % (what, self.rule_counts()))
        self.assertTrue(wait_until(lambda: not self.connection_lines(), lines_s),
                        self.connection_lines())

    def assert_lb_port_learned_no_client(self):
        """The balancer's port has taught the balancer's switch no MAC but its own."""
        self.assertLessEqual(bed.fdb(2, bedlib.HOSTS["lb"][1]), {bed.env["LBMAC"]})

    def stop(self, sig=signal.SIGINT):
        self.assertEqual(self.app.stop(sig), 2 if sig == signal.SIGINT else 15,
                         self.app.output()[-2000:])
        self.assertTrue(self.no_rules(), "rules left after the signal: %s" % self.rule_counts())


class Connections(Balanced):
    def test_balanced_payload_rules_and_close(self):
        # Three connections from each client, all open at once: each answered by a
        # back-end, two per server (least connections), the VIP the peer throughout.
        self.open(*["c1", "c2"] * 3)
        self.assertEqual(collections.Counter(c.name for c in self.conns),
                         {"web1": 2, "web2": 2, "web3": 2})
        for c in self.conns:
            self.assertEqual(c.peer, (bed.vip, bed.port))
        # Rules A-D on the balancer's switch, E and F on the others of each path.
        self.expect_rules(self.conns)
        # The connections file follows within 100 ms (rewritten at most that often).
        want = {(c.local[0], str(c.local[1]), bedlib.HOSTS[bedlib.SERVERS[c.name]][2],
                 "webfarm", c.name, "100") for c in self.conns}
        self.assertTrue(wait_until(lambda: self.connection_lines() == want, 2),
                        self.connection_lines())
        for c in self.conns:
            self.assertTrue(c.exchange(3 * MB), c.name)

        # Other traffic is left to the switches: a client talks to a server directly.
        direct = bed.connect("c1", bedlib.HOSTS["w2"][2])
        self.assertEqual(direct.name, "web2")
        self.assertTrue(direct.exchange(MB))
        self.assertTrue(direct.close_fin())
        self.assert_lb_port_learned_no_client()

        # FIN: every rule gone from every switch within three ticks, file follows. A
        # reset's re-posted rules are setup_test's and lbapp_process_test's.
        for c in self.conns:
            self.assertTrue(c.close_fin())
        self.wait_gone("FIN", 25)
        self.stop(signal.SIGINT)


class Storm(Balanced):
    def test_short_connections_from_two_clients(self):
        """Short connections from both clients, eight at a time: each answered by a back-end
        with its data intact; after their expiry no rule and no connection line is left."""
        def short(host):
            c = bed.connect(host, timeout=30)
            try:
                return c.name if c.exchange(16 * 1024) and c.close_fin() else "bad data"
            finally:
                c.sock.close()

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            names = list(pool.map(short, ["c1", "c2"] * 60))
        self.assertLessEqual(set(names), {"web1", "web2", "web3"}, names)
        self.assertGreaterEqual(len(set(names)), 2, names)
        self.wait_gone("the storm", 40, 5)
        self.stop(signal.SIGTERM)


class ControllerFrozen(Balanced):
    def test_transfer_goes_on_while_the_controller_is_frozen(self):
        """An established transfer keeps going while the controller is stopped (SIGSTOP);
        a new connection waits for it and is balanced once it answers again."""
        busy = self.open("c1")
        self.assertTrue(busy.exchange(MB))
        sim = bed.pids("ctrlsim.py")
        self.assertEqual(len(sim), 1)
        waiting = []
        os.kill(sim[0], signal.SIGSTOP)
        try:
            opener = threading.Thread(target=lambda: waiting.append(bed.connect("c2", timeout=60)))
            opener.start()
            frozen = time.monotonic()
            for _ in range(4):
                self.assertTrue(busy.exchange(MB))
            time.sleep(max(0.0, 3 - (time.monotonic() - frozen)))
            self.assertTrue(opener.is_alive(), "a connection was set up without the controller")
        finally:
            os.kill(sim[0], signal.SIGCONT)
        opener.join(60)
        self.assertEqual(len(waiting), 1)
        self.conns.append(waiting[0])
        self.assertTrue(waiting[0].exchange(MB))
        self.assertTrue(busy.exchange(MB))
        self.stop(signal.SIGINT)


class IdleConnections(Balanced):
    """Rules age out of the switches after 8 s of silence. Connections the balancer
    forgets when silent are flowdb_test's and lbapp_process_test's."""

    timeouts = "8 1 20 30\n"

    def rules_of(self, conn):
        on = bed.all_rules()
        return {sw: rules & on[sw] for sw, rules in bed.expected_rules(conn, 8).items()}

    def test_rules_put_back_after_they_aged_out(self):
        quiet = self.open("c1")
        self.assertTrue(wait_until(lambda: not any(self.rules_of(quiet).values()), 30),
                        "rules not aged out: %s" % self.rule_counts())
        # The next frame puts the rules back before it is forwarded, so the server's
        # answer comes back through the balancer, from the VIP, and no frame leaves the
        # balancer's port without a rule (which would teach the switch the client's MAC
        # there and draw the client's other traffic to the balancer).
        self.assertTrue(quiet.exchange(64 * 1024))
        self.assertEqual(self.rules_of(quiet), bed.expected_rules(quiet, 8))
        self.assert_lb_port_learned_no_client()
        self.stop(signal.SIGINT)


class VanishedClients(Balanced):
    rows = [("web1", 2, "Unlocked"), ("web2", 2, "Unlocked"), ("web3", 2, "Unlocked")]
    timeouts = "300 1 30 900\n"
    drop_rst = ["OUTPUT", "-p", "tcp", "--tcp-flags", "RST", "RST", "-j", "DROP"]

    def test_half_open_connections_release_their_slots(self):
        # c1's answers to the servers' SYN+ACKs are dropped: no ACK and no reset follows
        # its SYNs, as from a vanished or spoofed client.
        bed.run("c1", "iptables", "-A", *self.drop_rst, check=True)
        try:
            # Sent again as a client retransmits: a burst overflows the balancer's
            # receive queue while it sets connections up one by one.
            self.assertTrue(wait_until(lambda: bed.send_syns("c1", range(20000, 20300)) or
                                       wait_until(lambda: len(self.connection_lines()) == 6, 3),
                                       60, step=0), self.connection_lines())
            with self.assertRaises(OSError):  # every server full
                bed.connect("c2", timeout=3)
            self.assertTrue(wait_until(lambda: not self.connection_lines() and
                                       self.no_rules(), 60),
                            "left: %s, rules %s, balancer exit status %s; it said:\n%s" % (
                                self.connection_lines(), self.rule_counts(),
                                self.app.proc.poll(), self.app.output()[-3000:]))
        finally:
            bed.run("c1", "iptables", "-D", *self.drop_rst, check=True)
        idle = [line.split() for line in bed.read("flows_new.txt").splitlines()]
        self.assertEqual(sorted(line[4] for line in idle), ["web1", "web2", "web3"])
        self.assertTrue(self.open("c2").exchange(64 * 1024))
        self.stop(signal.SIGTERM)


class HealthChecks(Balanced):
    """web1's service stops and starts again on its host: the probes cross the testbed.
    The lines said, health.txt and the choice of each round are health_test's."""

    health = "port 8080\ninterval 500ms\nfall 2\nrise 2\n"

    def test_stopped_service_is_out_and_back(self):
        def web1(state):
            self.assertTrue(wait_until(lambda: bed.read("health.txt").startswith(
                "192.0.2.11 %s\n" % state), 10), bed.read("health.txt") + self.app.output()[-2000:])
        web1("up")
        bed.service("w1")
        web1("down")
        # Least connections would pick web1 for the first and third: it is out.
        self.assertEqual(sorted(self.open(h).name for h in ("c1", "c2", "c1", "c2")),
                         ["web2", "web2", "web3", "web3"])
        bed.service("w1", "web1")
        web1("up")
        self.assertEqual(self.open("c1").name, "web1")
        self.expect_rules(self.conns)
        self.stop(signal.SIGTERM)

"""Request log, keep-alive, robustness against broken clients, start and stop."""

import json
import os
import signal
import socket
import ssl
import threading
import time
import unittest

from simharness import (EXAMPLE_TOPOLOGY, IO_TIMEOUT_S, LOGIN_BODY, PORT, SimProcess,
                        SimTestCase, flow_body, unverified_context)

NODES = "/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10"
FLOWS_S1 = "/sdn/v2.0/of/datapaths/0000000000000001/flows"


class RequestLogTest(SimTestCase):
    ADDR = "127.0.0.28"

    def test_entry_holds_request_as_received(self):
        token = self.sim.login()
        body = flow_body(sport=40000)
        # Header order and spelling as the balancer's transfer library sends them.
        raw = ("DELETE %s?x=1&y= HTTP/1.1\r\nHost: %s:8443\r\nAccept: */*\r\n"
               "Content-Type: application/json\r\nX-Auth-Token:%s\r\n"
               "Content-Length: %d\r\nConnection: close\r\n\r\n%s"
               % (FLOWS_S1, self.sim.addr, token, len(body), body))
        status, _, _ = self.sim.raw(raw.encode())
        self.assertEqual(status, 404)
        # Written before the reply went out: no waiting here.
        entry = self.sim.log_entries()[-1]
        self.assertEqual(list(entry), ["method", "path", "query", "headers", "body", "status"])
        self.assertEqual(entry, {
            "method": "DELETE",
            "path": FLOWS_S1,
            "query": "x=1&y=",
            "headers": [["Host", "%s:8443" % self.sim.addr], ["Accept", "*/*"],
                        ["Content-Type", "application/json"], ["X-Auth-Token", token],
                        ["Content-Length", str(len(body))], ["Connection", "close"]],
            "body": body,
            "status": 404,
        })

    def test_every_sdn_request_is_logged_and_nothing_else(self):
        token = self.sim.login()
        self.sim.api("POST", FLOWS_S1, token, flow_body())
        self.sim.request("GET", NODES)  # 401
        self.sim.request("GET", "/sdn/v2.0/unknown", None, {"X-Auth-Token": token})
        self.sim.flows("0000000000000001")
        self.sim.control(delay=0)
        self.sim.request("POST", "/_sim/reset", "")
        self.sim.request("GET", "/elsewhere")
        entries = self.sim.log_entries()
        self.assertEqual([(e["method"], e["path"], e["query"], e["status"]) for e in entries], [
            ("POST", "/sdn/v2.0/auth", "", 200),
            ("POST", FLOWS_S1, "", 201),
            ("GET", "/sdn/v2.0/net/nodes", "vid=0&ip=192.0.2.10", 401),
            ("GET", "/sdn/v2.0/unknown", "", 404),
        ])
        self.assertEqual(entries[0]["body"], LOGIN_BODY)
        self.assertEqual(entries[1]["body"], flow_body())

    def test_log_is_appended_across_restarts(self):
        self.sim.login()
        self.sim.stop()
        again = SimProcess(self.ADDR, extra_args=[])
        self.addCleanup(again.cleanup)
        again.log_path = self.sim.log_path
        again.start()
        again.login()
        self.assertEqual(len(again.log_entries()), 2)


class KeepAliveTest(SimTestCase):
    ADDR = "127.0.0.29"

    def test_several_requests_on_one_connection(self):
        conn = self.sim.connection()
        self.addCleanup(conn.close)
        status, data, _ = self.sim.request("POST", "/sdn/v2.0/auth", LOGIN_BODY, conn=conn)
        token = json.loads(data)["record"]["token"]
        sock = conn.sock
        results = [
            self.sim.api("POST", FLOWS_S1, token, flow_body(), conn=conn)[0],
            # A DELETE with a body, then more requests: the body must have been read
            # whole or the next request would be misparsed.
            self.sim.api("DELETE", FLOWS_S1, token, flow_body(), conn=conn)[0],
            self.sim.api("GET", NODES, token, conn=conn)[0],
            self.sim.api("DELETE", FLOWS_S1, token, flow_body(), conn=conn)[0],
            self.sim.api("GET", NODES, token, conn=conn)[0],
            self.sim.request("GET", "/_sim/flows?dpid=0000000000000001", conn=conn)[0],
        ]
        self.assertEqual(results, [201, 200, 200, 404, 200, 200])
        self.assertIs(conn.sock, sock, "the connection was reopened")

    def test_chunked_body_on_a_kept_connection(self):
        token = self.sim.login()
        body = flow_body().encode()
        tls = unverified_context().wrap_socket(
            socket.create_connection((self.sim.addr, PORT), timeout=IO_TIMEOUT_S),
            server_hostname=self.sim.addr)
        self.addCleanup(tls.close)
        half = len(body) // 2
        chunked = b"%x\r\n%s\r\n%x\r\n%s\r\n0\r\n\r\n" % (half, body[:half], len(body) - half,
                                                          body[half:])
        request = (b"POST %s HTTP/1.1\r\nHost: x\r\nX-Auth-Token: %s\r\n"
                   b"Transfer-Encoding: chunked\r\n\r\n%s"
                   % (FLOWS_S1.encode(), token.encode(), chunked))
        tls.sendall(request + b"GET /_sim/flows?dpid=1 HTTP/1.1\r\nHost: x\r\n\r\n")
        reader = tls.makefile("rb")
        statuses = []
        for _ in range(2):
            statuses.append(int(reader.readline().split()[1]))
            length = 0
            while True:
                line = reader.readline()
                if line in (b"\r\n", b""):
                    break
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":")[1])
            payload = reader.read(length)
        self.assertEqual(statuses, [201, 200])
        self.assertEqual(json.loads(payload)["flows"], [json.loads(body)])


class RobustnessTest(SimTestCase):
    ADDR = "127.0.0.30"

    def assert_still_serving(self):
        self.assertIsNone(self.sim.proc.poll(), "simulator died")
        self.assertEqual(self.sim.api("GET", NODES, self.sim.login())[0], 200)

    def tls(self):
        sock = socket.create_connection((self.sim.addr, PORT), timeout=IO_TIMEOUT_S)
        return unverified_context().wrap_socket(sock, server_hostname=self.sim.addr)

    def test_broken_clients(self):
        token = self.sim.login()
        cases = [
            ("disconnect mid-body",
             b"POST %s HTTP/1.1\r\nHost: x\r\nX-Auth-Token: %s\r\nContent-Length: 200\r\n\r\n"
             b'{"flow":' % (FLOWS_S1.encode(), token.encode())),
            ("disconnect mid-headers", b"GET /sdn/v2.0/net/nodes HTTP/1.1\r\nHost: x\r\nX-Au"),
            ("garbage request line", b"\x00\x01\x02 nonsense\r\n\r\n"),
            ("bad content length",
             b"POST /sdn/v2.0/auth HTTP/1.1\r\nHost: x\r\nContent-Length: many\r\n\r\n"),
            ("huge content length",
             b"POST /sdn/v2.0/auth HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999\r\n\r\n"),
            ("bad chunk",
             b"POST /sdn/v2.0/auth HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
             b"zz\r\n"),
            ("overlong request line", b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n"),
        ]
        for what, data in cases:
            with self.subTest(what):
                conn = self.tls()
                try:
                    conn.sendall(data)
                    conn.shutdown(socket.SHUT_WR)
                    conn.recv(4096)  # whatever answer, or none
                except (OSError, ssl.SSLError):
                    pass
                finally:
                    conn.close()
                self.assert_still_serving()
        self.assertEqual(self.sim.flows("0000000000000001"), [])

    def test_non_tls_and_silent_clients(self):
        plain = socket.create_connection((self.sim.addr, PORT), timeout=IO_TIMEOUT_S)
        plain.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        try:
            plain.recv(4096)
        except OSError:
            pass
        plain.close()
        socket.create_connection((self.sim.addr, PORT), timeout=IO_TIMEOUT_S).close()
        # A client that connects and never starts TLS must not hold up others.
        silent = socket.create_connection((self.sim.addr, PORT), timeout=IO_TIMEOUT_S)
        self.addCleanup(silent.close)
        started = time.monotonic()
        self.assert_still_serving()
        self.assertLess(time.monotonic() - started, 5)

    def test_concurrent_clients(self):
        token = self.sim.login()
        errors, statuses, lock = [], [], threading.Lock()

        def client(n):
            try:
                conn = self.sim.connection()
                try:
                    for i in range(5):
                        body = flow_body(sport=10000 + n * 10 + i)
                        got = [self.sim.api("POST", FLOWS_S1, token, body, conn=conn)[0],
                               self.sim.api("GET", NODES, token, conn=conn)[0]]
                        with lock:
                            statuses.extend(got)
                finally:
                    conn.close()
            except Exception as e:  # reported below
                with lock:
                    errors.append(repr(e))

        threads = [threading.Thread(target=client, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertFalse(any(t.is_alive() for t in threads), "clients hung")
        self.assertEqual(errors, [])
        self.assertEqual(statuses.count(201), 40)
        self.assertEqual(statuses.count(200), 40)
        self.assertEqual(len(self.sim.flows("0000000000000001")), 40)
        self.assertEqual(len(self.sim.log_entries()), 81)
        self.assert_still_serving()


class LifecycleTest(unittest.TestCase):
    ADDR = "127.0.0.31"

    def sim(self, **kw):
        sim = SimProcess(self.ADDR, **kw)
        self.addCleanup(sim.cleanup)
        return sim

    def test_ready_file_banner_and_clean_stop(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                sim = self.sim().start()
                with open(sim.ready_path) as f:
                    self.assertEqual(f.read(), "ready\n")
                self.assertRegex(sim.login(), r"^[0-9a-f]{32}$")
                self.assertEqual(sim.signal_stop(sig), 0)
                self.assertEqual(sim.read("stdout"),
                                 "ctrlsim listening on https://%s:8443\n" % self.ADDR)
                self.assertEqual(sim.read("stderr"), "")
                self.assertEqual(os.listdir(sim.tmpdir), [], "certificate left behind")
                self.assertEqual([n for n in os.listdir(sim.dir) if "tmp" in n and n != "tmp"],
                                 [], "ready file's temporary left behind")

    def test_verbose_reports_requests(self):
        sim = self.sim(extra_args=["--verbose"]).start()
        sim.login()
        self.assertEqual(sim.signal_stop(), 0)
        self.assertIn("/sdn/v2.0/auth", sim.read("stderr"))

    def test_unusable_topologies_stop_the_start(self):
        cases = [
            ("link to an unknown switch", {"switches": [{"dpid": "1"}], "links": [
                {"src": {"dpid": "1", "port": 1}, "dst": {"dpid": "2", "port": 1}}]}),
            ("bad dpid", {"switches": [{"dpid": "00:01:xyz"}]}),
            ("host on an unknown switch", {"switches": [{"dpid": "1"}], "hosts": [
                {"ip": "192.0.2.1", "mac": "02:00:00:00:00:01", "dpid": "2", "port": 1}]}),
            ("negative port", {"switches": [{"dpid": "1"}, {"dpid": "2"}], "links": [
                {"src": {"dpid": "1", "port": -1}, "dst": {"dpid": "2", "port": 1}}]}),
            ("not an object", []),
        ]
        for what, topology in cases:
            with self.subTest(what):
                sim = self.sim(topology=topology)
                sim.launch()
                self.assertNotEqual(sim.proc.wait(20), 0)
                self.assertFalse(os.path.exists(sim.ready_path))
                self.assertIn("topology", sim.read("stderr"))

    def test_example_topology_is_usable(self):
        sim = self.sim(topology_path=EXAMPLE_TOPOLOGY).start()
        token = sim.login()
        status, data, _ = sim.api("GET", "/sdn/v2.0/net/paths/forward?src_dpid=%s&dst_dpid=%s"
                                  % ("0000000000000001", "0000000000000003"), token)
        self.assertEqual(status, 200)
        self.assertEqual(len(json.loads(data)["path"]["links"]), 2)
        status, data, _ = sim.api("GET", "/sdn/v2.0/net/nodes?vid=0&ip=203.0.113.100", token)
        self.assertEqual(len(json.loads(data)["nodes"]), 1)


if __name__ == "__main__":
    unittest.main()

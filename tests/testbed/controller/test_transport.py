"""Request log, listening address and robustness against misbehaving clients."""

import http.client
import socket
import subprocess
import sys

from simharness import CTRLSIM, FLOWS_S1, NODES, SimProcess, SimTestCase, flow_body


class TransportTest(SimTestCase):
    ADDR = "127.0.0.28"

    def test_every_sdn_request_is_logged_as_received_and_nothing_else(self):
        token, body = self.token, flow_body(sport=40000)
        # Header order and spelling as the balancer's transfer library sends them (the
        # token without a blank), and values the log must keep byte for byte.
        with self.sim.tls() as tls:
            tls.sendall((
                "DELETE %s?x=1&y= HTTP/1.1\r\nHost: %s:8443\r\nAccept: */*\r\n"
                "Content-Type: application/json\r\nX-Auth-Token:%s\r\nContent-Length: %d\r\n"
                "x-note:  a \t B  \r\nX-Note: café\r\nX-Empty:\r\nConnection: close\r\n\r\n%s"
                % (FLOWS_S1, self.sim.addr, token, len(body), body)).encode())
            resp = http.client.HTTPResponse(tls)
            resp.begin()
        self.assertEqual(resp.status, 404)
        self.sim.request("GET", "/elsewhere")
        _, entry = self.sim.log_entries()  # the login's and /_sim/'s are rest_sim_test's
        self.assertEqual(list(entry), ["method", "path", "query", "headers", "body", "status"])
        self.assertEqual(entry, {
            "method": "DELETE", "path": FLOWS_S1, "query": "x=1&y=",
            "headers": [["Host", "%s:8443" % self.sim.addr], ["Accept", "*/*"],
                        ["Content-Type", "application/json"], ["X-Auth-Token", token],
                        ["Content-Length", str(len(body))], ["x-note", "a \t B  "],
                        ["X-Note", "café"], ["X-Empty", ""], ["Connection", "close"]],
            "body": body, "status": 404})

    def test_broken_clients_do_not_kill_the_server(self):
        for what, data in [
                ("disconnect mid-body", b"POST %s HTTP/1.1\r\nHost: x\r\nX-Auth-Token: %s\r\n"
                 b'Content-Length: 200\r\n\r\n{"flow":' % (FLOWS_S1.encode(), self.token.encode())),
                ("disconnect mid-headers", b"GET /sdn/v2.0/net/nodes HTTP/1.1\r\nHost: x\r\nX-Au"),
                ("garbage request line", b"\x00\x01\x02 nonsense\r\n\r\n"), ("bad content length",
                 b"POST /sdn/v2.0/auth HTTP/1.1\r\nHost: x\r\nContent-Length: many\r\n\r\n"),
                ("bad chunk", b"POST /sdn/v2.0/auth HTTP/1.1\r\nHost: x\r\n"
                 b"Transfer-Encoding: chunked\r\n\r\nzz\r\n"),
                ("overlong request line", b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n")]:
            try:
                with self.sim.tls() as conn:
                    conn.sendall(data)
                    conn.shutdown(socket.SHUT_WR)
                    conn.recv(4096)  # whatever answer, or none
            except OSError:
                pass
            self.assertEqual(self.sim.api("GET", NODES, self.token)[0], 200, what)
        # Neither a client without TLS nor one that never starts it holds up others.
        with socket.create_connection((self.sim.addr, 8443), timeout=10) as plain:
            plain.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        silent = socket.create_connection((self.sim.addr, 8443), timeout=10)
        self.addCleanup(silent.close)
        self.assertEqual(self.sim.api("GET", NODES, self.sim.login())[0], 200)
        self.assertIsNone(self.sim.proc.poll(), "simulator died")
        self.assertEqual(self.sim.flows(), [])

    def test_addr_forms_and_the_default(self):
        for addr, addr_args in [("127.0.0.1", []), ("127.0.0.31", ["--addr=127.0.0.31:8443"])]:
            sim = SimProcess(addr, addr_args=addr_args)
            self.addCleanup(sim.cleanup)
            self.assertEqual(sim.start().request("GET", "/_sim/state")[0], 200, addr_args)
            sim.cleanup()
        done = subprocess.run([sys.executable, CTRLSIM, "--addr=127.0.0.31:80", "--port=8443",
                               "--topology=x", "--log=x"], capture_output=True, timeout=20)
        self.assertEqual((done.returncode, b"--addr names port 80, --port 8443" in done.stderr),
                         (2, True), done.stderr)

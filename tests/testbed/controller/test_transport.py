"""Request log, keep-alive and robustness against misbehaving clients."""

import socket
import ssl
import unittest

from simharness import FLOWS_S1, LOGIN_BODY, NODES, SimTestCase, flow_body


class RequestLogTest(SimTestCase):
    ADDR = "127.0.0.28"

    def test_every_sdn_request_is_logged_as_received_and_nothing_else(self):
        token = self.sim.login()
        body = flow_body(sport=40000)
        # Header order and spelling as the balancer's transfer library sends them.
        status, _ = self.sim.raw((
            "DELETE %s?x=1&y= HTTP/1.1\r\nHost: %s:8443\r\nAccept: */*\r\n"
            "Content-Type: application/json\r\nX-Auth-Token:%s\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n%s" % (FLOWS_S1, self.sim.addr, token, len(body), body)
        ).encode())
        self.assertEqual(status, 404)
        self.sim.flows()
        self.sim.control(delay=0)
        self.sim.request("GET", "/elsewhere")
        login, entry = self.sim.log_entries()  # written before the reply went out
        self.assertEqual((login["path"], login["body"], login["status"]),
                         ("/sdn/v2.0/auth", LOGIN_BODY, 200))
        self.assertEqual(list(entry), ["method", "path", "query", "headers", "body", "status"])
        self.assertEqual(entry, {
            "method": "DELETE", "path": FLOWS_S1, "query": "x=1&y=",
            "headers": [["Host", "%s:8443" % self.sim.addr], ["Accept", "*/*"],
                        ["Content-Type", "application/json"], ["X-Auth-Token", token],
                        ["Content-Length", str(len(body))], ["Connection", "close"]],
            "body": body, "status": 404})


class KeepAliveTest(SimTestCase):
    ADDR = "127.0.0.29"

    def test_several_requests_on_one_connection(self):
        conn = self.sim.connection()
        self.addCleanup(conn.close)
        token = self.sim.login()
        self.sim.api("GET", NODES, token, conn=conn)
        sock = conn.sock
        # A DELETE with a body, then more: the body must have been read whole or the
        # next request would be misparsed.
        results = [self.sim.api(m, FLOWS_S1, token, flow_body(), conn=conn)[0]
                   for m in ("POST", "DELETE", "DELETE")]
        results.append(self.sim.api("GET", NODES, token, conn=conn)[0])
        self.assertEqual(results, [201, 200, 404, 200])
        self.assertIs(conn.sock, sock, "the connection was reopened")


class RobustnessTest(SimTestCase):
    ADDR = "127.0.0.30"

    def test_broken_clients_do_not_kill_the_server(self):
        token = self.sim.login()
        for what, data in [
                ("disconnect mid-body", b"POST %s HTTP/1.1\r\nHost: x\r\nX-Auth-Token: %s\r\n"
                 b'Content-Length: 200\r\n\r\n{"flow":' % (FLOWS_S1.encode(), token.encode())),
                ("disconnect mid-headers", b"GET /sdn/v2.0/net/nodes HTTP/1.1\r\nHost: x\r\nX-Au"),
                ("garbage request line", b"\x00\x01\x02 nonsense\r\n\r\n"),
                ("bad content length",
                 b"POST /sdn/v2.0/auth HTTP/1.1\r\nHost: x\r\nContent-Length: many\r\n\r\n"),
                ("bad chunk", b"POST /sdn/v2.0/auth HTTP/1.1\r\nHost: x\r\n"
                 b"Transfer-Encoding: chunked\r\n\r\nzz\r\n"),
                ("overlong request line", b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n")]:
            with self.subTest(what):
                try:
                    with self.sim.tls() as conn:
                        conn.sendall(data)
                        conn.shutdown(socket.SHUT_WR)
                        conn.recv(4096)  # whatever answer, or none
                except (OSError, ssl.SSLError):
                    pass
                self.assertEqual(self.sim.api("GET", NODES, token)[0], 200)
        # Neither a client without TLS nor one that never starts it holds up others.
        with socket.create_connection((self.sim.addr, 8443), timeout=10) as plain:
            plain.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        silent = socket.create_connection((self.sim.addr, 8443), timeout=10)
        self.addCleanup(silent.close)
        self.assertEqual(self.sim.api("GET", NODES, self.sim.login())[0], 200)
        self.assertIsNone(self.sim.proc.poll(), "simulator died")
        self.assertEqual(self.sim.flows(), [])


if __name__ == "__main__":
    unittest.main()

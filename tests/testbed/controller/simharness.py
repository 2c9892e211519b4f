"""Starts ctrlsim.py as a child process and talks to it over HTTPS. Every wait is
bounded: a simulator that does not come up or answer fails the test, never hangs it."""

import errno
import http.client
import json
import os
import shutil
import socket
import ssl
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))
CTRLSIM = os.path.join(ROOT, "testbed", "controller", "ctrlsim.py")
sys.path.insert(0, os.path.join(ROOT, "testbed", "ovs"))
import bedlib  # noqa: E402
from bedlib import wait_until  # noqa: E402,F401 (for the suites)
PORT = 8443
IO_TIMEOUT_S = 10
LOGIN_BODY = '{"login":{"user":"sdn","password":"quorbit","domain":"sdn"}}'
NODES = "/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10"
FLOWS_S1 = "/sdn/v2.0/of/datapaths/0000000000000001/flows"
S1, S2, S3, S4 = ("00:00:00:00:00:00:00:0%d" % i for i in range(1, 5))
TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)  # the simulator's certificate is self-signed
TLS.check_hostname, TLS.verify_mode = False, ssl.CERT_NONE

# s1 -- s2 -- s3, a different port on every link end so that a swapped or shifted port
# shows; the second link is written from s3 towards s2 (links work both ways). s4 is alone.
LINE_TOPOLOGY = {
    "switches": [{"dpid": S1}, {"dpid": S2}, {"dpid": "0000000000000003"}, {"dpid": S4}],
    "links": [{"src": {"dpid": S1, "port": 2}, "dst": {"dpid": S2, "port": 5}},
              {"src": {"dpid": S3, "port": 9}, "dst": {"dpid": S2, "port": 6}}],
    "hosts": [{"ip": "192.0.2.10", "mac": "02:00:00:00:00:10", "vid": 0, "dpid": S1, "port": 7},
              {"ip": "198.51.100.11", "mac": "02:00:00:00:00:11", "dpid": S3, "port": 3}],
}


def flow_body(idle=60, sport=33000, out=4):
    """A flow body as the balancer writes it (no blanks, fixed member order)."""
    return ('{"flow":{"priority":30000,"table_id":0,"idle_timeout":%d,"match":[{"eth_type":'
            '"ipv4"},{"ip_proto":"tcp"},{"in_port":2},{"ipv4_src":"192.0.2.10"},{"tcp_src":%d},'
            '{"ipv4_dst":"203.0.113.100"},{"tcp_dst":80}],'
            '"instructions":[{"apply_actions":[{"output":%d}]}]}}' % (idle, sport, out))


class SimProcess:
    """One ctrlsim.py child with its own scratch directory, given its address as the C++
    suites give it unless addr_args says otherwise."""

    def __init__(self, addr, extra_args=(), addr_args=None, topology_doc=LINE_TOPOLOGY,
                 port=PORT):
        self.addr, self.port, self.proc = addr, port, None
        self.dir = tempfile.mkdtemp(prefix="ctrlsim-test-")
        self.log_path, self.ready_path, self.err_path, topology = (
            os.path.join(self.dir, n) for n in ("requests.log", "ready", "stderr", "topo.json"))
        with open(topology, "w") as f:
            json.dump(topology_doc, f)
        self.args = [sys.executable, CTRLSIM, "--topology", topology, "--log", self.log_path,
                     "--ready-file", self.ready_path] + list(extra_args) + (
                         ["--addr=" + addr, "--port=%d" % port] if addr_args is None else addr_args)

    def start(self):
        """Launches the simulator and waits at most 40 s for its ready file (switches
        have 30 s to connect)."""
        out = bedlib.Proc(self.args, self.err_path)
        self.proc = out.proc
        if not wait_until(lambda: os.path.exists(self.ready_path) or self.proc.poll() is not None,
                          40, 0.05) or self.proc.poll() is not None:
            self.stop()
            raise AssertionError("ctrlsim did not get ready: " + out.output())
        return self

    def stop(self):
        if self.proc is not None:
            bedlib.end(self.proc)

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log_entries(self):
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def connection(self, timeout=IO_TIMEOUT_S):
        return http.client.HTTPSConnection(self.addr, self.port, context=TLS, timeout=timeout)

    def request(self, method, path, body=None, headers=None, conn=None):
        """One request, on `conn` when given (left open); returns (status, body text)."""
        c = conn or self.connection()
        try:
            c.request(method, path, body, dict({"Content-Type": "application/json"},
                                               **(headers or {})))
            resp = c.getresponse()
            return resp.status, resp.read().decode("utf-8", errors="replace")
        finally:
            if conn is None:
                c.close()

    def login(self):
        status, data = self.request("POST", "/sdn/v2.0/auth", LOGIN_BODY)
        assert status == 200, "login failed: %d %s" % (status, data)
        return json.loads(data)["record"]["token"]

    def api(self, method, path, token, body=None, conn=None):
        return self.request(method, path, body, {"X-Auth-Token": token}, conn)

    def control(self, **settings):
        status, data = self.request("POST", "/_sim/control", json.dumps(settings))
        assert status == 200, "control %r failed: %d %s" % (settings, status, data)

    def flows(self, dpid="0000000000000001"):
        return json.loads(self.request("GET", "/_sim/flows?dpid=" + dpid)[1])["flows"]

    def tls(self):
        sock = socket.create_connection((self.addr, self.port), timeout=IO_TIMEOUT_S)
        return TLS.wrap_socket(sock, server_hostname=self.addr)

    def refused(self):
        with socket.socket() as sock:
            return sock.connect_ex((self.addr, self.port)) == errno.ECONNREFUSED


class SimTestCase(unittest.TestCase):
    """Each test gets a fresh simulator on the class's own loopback address, and a token."""

    ADDR, sim = None, None

    def setUp(self):
        self.restart_sim()
        self.token = self.sim.login()

    def restart_sim(self, extra_args=(), **kw):
        if self.sim is not None:
            self.sim.stop()
        self.sim = SimProcess(self.ADDR, extra_args, **kw)
        self.addCleanup(self.sim.cleanup)
        self.sim.start()

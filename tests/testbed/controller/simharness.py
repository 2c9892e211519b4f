"""Starts ctrlsim.py as a child process and talks to it over HTTPS. Every wait is
bounded: a simulator that does not come up or answer fails the test, never hangs it."""

import http.client
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

CTRLSIM = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                        "..", "testbed", "controller", "ctrlsim.py"))
PORT = 8443
IO_TIMEOUT_S = 10
LOGIN_BODY = '{"login":{"user":"sdn","password":"quorbit","domain":"sdn"}}'
NODES = "/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10"
FLOWS_S1 = "/sdn/v2.0/of/datapaths/0000000000000001/flows"
S1, S2, S3, S4 = ("00:00:00:00:00:00:00:0%d" % i for i in range(1, 5))

# s1 -- s2 -- s3 with a different port on every link end, so that a swapped or shifted
# port shows; the second link is written from s3 towards s2 (links work both ways). s4
# has no link.
LINE_TOPOLOGY = {
    "switches": [{"dpid": S1}, {"dpid": S2}, {"dpid": "0000000000000003"}, {"dpid": S4}],
    "links": [{"src": {"dpid": S1, "port": 2}, "dst": {"dpid": S2, "port": 5}},
              {"src": {"dpid": S3, "port": 9}, "dst": {"dpid": S2, "port": 6}}],
    "hosts": [{"ip": "192.0.2.10", "mac": "02:00:00:00:00:10", "vid": 0, "dpid": S1, "port": 7},
              {"ip": "198.51.100.11", "mac": "02:00:00:00:00:11", "dpid": S3, "port": 3}],
}


def flow_body(idle=10, sport=33000, out=4):
    """A flow body as the balancer writes it (no blanks, fixed key order)."""
    return ('{"flow":{"priority":30000,"table_id":0,"idle_timeout":%d,"match":['
            '{"in_port":2},{"ipv4_src":"192.0.2.10"},{"tcp_src":%d}],'
            '"instructions":[{"apply_actions":[{"output":%d}]}]}}' % (idle, sport, out))


def tls_context():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def ordered(text):
    """Parses JSON keeping each object's members in order, as lists of pairs."""
    return json.loads(text, object_pairs_hook=list)


class SimProcess:
    """One ctrlsim.py child with its own scratch directory."""

    def __init__(self, addr, extra_args=(), topology=LINE_TOPOLOGY):
        self.addr, self.extra_args, self.proc = addr, list(extra_args), None
        self.dir = tempfile.mkdtemp(prefix="ctrlsim-test-")
        self.log_path = os.path.join(self.dir, "requests.log")
        self.ready_path = os.path.join(self.dir, "ready")
        self.topology_path = os.path.join(self.dir, "topology.json")
        with open(self.topology_path, "w") as f:
            json.dump(topology, f)

    def start(self):
        """Launches the simulator and waits at most 20 s for its ready file."""
        self.err = open(os.path.join(self.dir, "stderr"), "wb")
        self.proc = subprocess.Popen(
            [sys.executable, CTRLSIM, "--addr", self.addr, "--port", str(PORT), "--topology",
             self.topology_path, "--log", self.log_path, "--ready-file", self.ready_path]
            + self.extra_args, stdout=subprocess.DEVNULL, stderr=self.err,
            stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not os.path.exists(self.ready_path):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                with open(self.err.name, errors="replace") as f:
                    raise AssertionError("ctrlsim did not get ready: " + f.read())
            time.sleep(0.05)
        return self

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        if self.proc is not None:
            self.err.close()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log_entries(self):
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def connection(self):
        return http.client.HTTPSConnection(self.addr, PORT, context=tls_context(),
                                           timeout=IO_TIMEOUT_S)

    def request(self, method, path, body=None, headers=None, conn=None):
        """One request, on `conn` when given (left open); returns (status, body text)."""
        own = conn is None
        conn = conn or self.connection()
        try:
            conn.request(method, path, body=body,
                         headers=dict({"Content-Type": "application/json"}, **(headers or {})))
            resp = conn.getresponse()
            return resp.status, resp.read().decode("utf-8", errors="replace")
        finally:
            if own:
                conn.close()

    def login(self):
        status, data = self.request("POST", "/sdn/v2.0/auth", LOGIN_BODY)
        if status != 200:
            raise AssertionError("login failed: %d %s" % (status, data))
        return json.loads(data)["record"]["token"]

    def api(self, method, path, token, body=None, conn=None):
        return self.request(method, path, body, {"X-Auth-Token": token}, conn)

    def control(self, **settings):
        status, data = self.request("POST", "/_sim/control", json.dumps(settings))
        if status != 200:
            raise AssertionError("control %r failed: %d %s" % (settings, status, data))

    def flows(self, dpid_hex="0000000000000001"):
        status, data = self.request("GET", "/_sim/flows?dpid=" + dpid_hex)
        return json.loads(data)["flows"] if status == 200 else status

    def tls(self):
        sock = socket.create_connection((self.addr, PORT), timeout=IO_TIMEOUT_S)
        return tls_context().wrap_socket(sock, server_hostname=self.addr)

    def raw(self, data):
        """Sends `data` as it stands on a fresh TLS connection; returns (status, body)."""
        with self.tls() as tls:
            tls.sendall(data)
            resp = http.client.HTTPResponse(tls)
            resp.begin()
            return resp.status, resp.read().decode("utf-8", "replace")

    def refused(self):
        try:
            socket.create_connection((self.addr, PORT), timeout=2).close()
            return False
        except ConnectionRefusedError:
            return True


class SimTestCase(unittest.TestCase):
    """Each test gets a fresh simulator on the class's own loopback address."""

    ADDR = None

    def setUp(self):
        self.sim = self.start_sim()

    def start_sim(self, extra_args=()):
        sim = SimProcess(self.ADDR, extra_args)
        self.addCleanup(sim.cleanup)
        return sim.start()

    def restart_sim(self, extra_args=()):
        self.sim.stop()
        self.sim = self.start_sim(extra_args)
        return self.sim

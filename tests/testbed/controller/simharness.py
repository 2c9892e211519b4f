"""Starts ctrlsim.py as a child process and talks to it over HTTPS.

Every wait here is bounded: a simulator that does not come up, a reply that does
not arrive or a process that does not stop fails the test instead of hanging it.
"""

import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CTRLSIM = os.path.normpath(os.path.join(HERE, "..", "..", "..", "testbed", "controller",
                                        "ctrlsim.py"))
EXAMPLE_TOPOLOGY = os.path.join(os.path.dirname(CTRLSIM), "example_topology.json")
PORT = 8443
START_TIMEOUT_S = 20
STOP_TIMEOUT_S = 10
IO_TIMEOUT_S = 10
LOGIN_BODY = '{"login":{"user":"sdn","password":"quorbit","domain":"sdn"}}'

S1 = "00:00:00:00:00:00:00:01"
S2 = "00:00:00:00:00:00:00:02"
S3 = "00:00:00:00:00:00:00:03"
S4 = "00:00:00:00:00:00:00:04"

# Three switches in a line, s1 -- s2 -- s3, with a different port number on every
# link end so that a swapped or shifted port shows. The second link is written from
# s3 towards s2 to show that links are used in both directions. s4 has no link.
LINE_TOPOLOGY = {
    "switches": [{"dpid": S1}, {"dpid": S2}, {"dpid": "0000000000000003"}, {"dpid": S4}],
    "links": [
        {"src": {"dpid": S1, "port": 2}, "dst": {"dpid": S2, "port": 5}},
        {"src": {"dpid": S3, "port": 9}, "dst": {"dpid": S2, "port": 6}},
    ],
    "hosts": [
        {"ip": "192.0.2.10", "mac": "02:00:00:00:00:10", "vid": 0, "dpid": S1, "port": 7},
        {"ip": "198.51.100.11", "mac": "02:00:00:00:00:11", "vid": 0, "dpid": S3,
         "port": 3},
        {"ip": "198.51.100.12", "mac": "02:00:00:00:00:12", "dpid": S3, "port": 4},
    ],
}


def flow_body(idle=10, in_port=2, src="192.0.2.10", sport=33000, dst="203.0.113.100",
              dport=80, out=4):
    """A flow body exactly as the balancer writes it (no blanks, fixed key order)."""
    return (
        '{"flow":{"priority":30000,"table_id":0,"idle_timeout":%d,"match":['
        '{"eth_type":"ipv4"},{"ip_proto":"tcp"},{"in_port":%d},{"ipv4_src":"%s"},'
        '{"tcp_src":%d},{"ipv4_dst":"%s"},{"tcp_dst":%d}],'
        '"instructions":[{"apply_actions":[{"output":%d}]}]}}'
        % (idle, in_port, src, sport, dst, dport, out)
    )


def unverified_context():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def ordered(text):
    """Parses JSON keeping each object's members in order, as lists of pairs."""
    return json.loads(text, object_pairs_hook=lambda pairs: pairs)


class SimProcess:
    """One ctrlsim.py child with its own scratch directory."""

    def __init__(self, addr, topology=None, extra_args=(), topology_path=None):
        self.addr = addr
        self.dir = tempfile.mkdtemp(prefix="ctrlsim-test-")
        self.tmpdir = os.path.join(self.dir, "tmp")  # the simulator's TMPDIR
        os.mkdir(self.tmpdir)
        self.log_path = os.path.join(self.dir, "requests.log")
        self.ready_path = os.path.join(self.dir, "ready")
        if topology_path is None:
            topology_path = os.path.join(self.dir, "topology.json")
            with open(topology_path, "w") as f:
                json.dump(LINE_TOPOLOGY if topology is None else topology, f)
        self.topology_path = topology_path
        self.extra_args = list(extra_args)
        self.proc = None

    def command(self):
        return [sys.executable, CTRLSIM, "--addr", self.addr, "--port", str(PORT),
                "--topology", self.topology_path, "--log", self.log_path,
                "--ready-file", self.ready_path] + self.extra_args

    def launch(self):
        env = dict(os.environ, TMPDIR=self.tmpdir)
        self.stdout = open(os.path.join(self.dir, "stdout"), "wb")
        self.stderr = open(os.path.join(self.dir, "stderr"), "wb")
        self.proc = subprocess.Popen(self.command(), stdout=self.stdout, stderr=self.stderr,
                                     stdin=subprocess.DEVNULL, env=env)

    def start(self):
        """Launches the simulator and waits for its ready file; raises AssertionError
        with its stderr when it exits or does not get ready in time."""
        self.launch()
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if os.path.exists(self.ready_path):
                return self
            if self.proc.poll() is not None:
                raise AssertionError("ctrlsim exited with %s: %s"
                                     % (self.proc.returncode, self.read("stderr")))
            time.sleep(0.05)
        self.stop()
        raise AssertionError("ctrlsim not ready after %d s: %s"
                             % (START_TIMEOUT_S, self.read("stderr")))

    def read(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def signal_stop(self, sig=signal.SIGTERM):
        """Sends `sig` and returns the exit status (killing the child if it does not
        stop in time, which then fails the caller's check on the status)."""
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(STOP_TIMEOUT_S)
            return "did not stop on signal %d" % sig

    def stop(self):
        self.signal_stop()
        for f in (getattr(self, "stdout", None), getattr(self, "stderr", None)):
            if f is not None:
                f.close()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log_entries(self):
        try:
            with open(self.log_path, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    # ---- client side

    def connection(self, timeout=IO_TIMEOUT_S):
        return http.client.HTTPSConnection(self.addr, PORT, context=unverified_context(),
                                           timeout=timeout)

    def request(self, method, path, body=None, headers=None, conn=None):
        """One request; returns (status, body text, response headers). Uses `conn`
        when given (kept open), else a connection of its own."""
        own = conn is None
        if own:
            conn = self.connection()
        try:
            hdrs = {"Content-Type": "application/json"}
            hdrs.update(headers or {})
            conn.request(method, path, body=body, headers=hdrs)
            resp = conn.getresponse()
            data = resp.read().decode("utf-8", errors="replace")
            return resp.status, data, resp.getheaders()
        finally:
            if own:
                conn.close()

    def login(self):
        status, data, _ = self.request("POST", "/sdn/v2.0/auth", LOGIN_BODY)
        if status != 200:
            raise AssertionError("login failed: %d %s" % (status, data))
        return json.loads(data)["record"]["token"]

    def api(self, method, path, token, body=None, conn=None):
        return self.request(method, path, body, {"X-Auth-Token": token}, conn)

    def control(self, **settings):
        status, data, _ = self.request("POST", "/_sim/control", json.dumps(settings))
        if status != 200:
            raise AssertionError("control %r failed: %d %s" % (settings, status, data))

    def flows(self, dpid_hex):
        status, data, _ = self.request("GET", "/_sim/flows?dpid=" + dpid_hex)
        if status != 200:
            raise AssertionError("flows of %s: %d %s" % (dpid_hex, status, data))
        return json.loads(data)["flows"]

    def raw(self, data, timeout=IO_TIMEOUT_S):
        """Sends `data` as it stands over a fresh TLS connection and returns the parsed
        response (status, headers as pairs, body text)."""
        sock = socket.create_connection((self.addr, PORT), timeout=timeout)
        tls = unverified_context().wrap_socket(sock, server_hostname=self.addr)
        try:
            tls.sendall(data)
            resp = http.client.HTTPResponse(tls)
            resp.begin()
            return resp.status, resp.getheaders(), resp.read().decode("utf-8", "replace")
        finally:
            tls.close()

    def refused(self):
        """True when a TCP connection to the simulator is refused right now."""
        try:
            socket.create_connection((self.addr, PORT), timeout=2).close()
            return False
        except ConnectionRefusedError:
            return True


class SimTestCase(unittest.TestCase):
    """Each test gets a fresh simulator on the class's own loopback address."""

    ADDR = None
    EXTRA_ARGS = ()

    def setUp(self):
        self.sim = self.start_sim(self.EXTRA_ARGS)

    def start_sim(self, extra_args=(), topology=None, topology_path=None):
        sim = SimProcess(self.ADDR, topology, extra_args, topology_path)
        self.addCleanup(sim.cleanup)
        return sim.start()

    def restart_sim(self, extra_args=(), topology=None):
        """Replaces this test's simulator with one started with other arguments."""
        self.sim.stop()
        self.sim = self.start_sim(extra_args, topology)
        return self.sim

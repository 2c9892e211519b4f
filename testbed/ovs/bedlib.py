"""Helpers for driving the Open vSwitch testbed (ovsbed) from Python: bring it up and
down, run lbapp in the balancer's namespace, open TCP connections from the client hosts,
read the rules of the bridges and talk to the console. Python 3 standard library only;
used by the end-to-end suite and by the demo. Needs root."""

import ctypes
import hashlib
import json
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OVSBED = os.path.join(HERE, "ovsbed")
OFCTL = ["ovs-ofctl", "-O", "OpenFlow13"]
CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)
_ns_lock = threading.Lock()

# The built network (see ovsbed): host -> (switch, port, address).
HOSTS = {"c1": (1, 11, "192.0.2.21"), "c2": (1, 12, "192.0.2.22"),
         "lb": (2, 10, "192.0.2.100"), "w1": (2, 11, "192.0.2.11"),
         "w2": (3, 11, "192.0.2.12"), "w3": (3, 12, "192.0.2.13"),
         "w4": (3, 13, "192.0.2.14")}
SERVERS = {"web1": "w1", "web2": "w2", "web3": "w3", "web4": "w4"}
# Port of switch a towards switch b, for neighbours.
LINK_PORT = {(1, 2): 1, (2, 1): 1, (2, 3): 2, (3, 2): 1}
BALANCER_SWITCH = 2


def wait_until(pred, timeout, step=0.1):
    """True as soon as pred() is true; False when it is still false after timeout s."""
    deadline = time.monotonic() + timeout
    while True:
        if pred():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


class Testbed:
    def __init__(self, directory):
        self.dir = directory
        self.env = {}

    def up(self):
        subprocess.run(["bash", OVSBED, "up", self.dir], check=True,
                       stdout=subprocess.DEVNULL)
        out = subprocess.run(["bash", OVSBED, "env", self.dir], check=True,
                             capture_output=True, text=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition("=")
            self.env[key] = value.strip("'")
        self.bridges = self.env["BRIDGES"].split()
        self.work = self.env["LBWORK"]
        self.vip = self.env["VIP"]
        self.port = int(self.env["SERVICE_PORT"])

    def down(self):
        subprocess.run(["bash", OVSBED, "down", self.dir], check=False)

    def ns(self, host):
        return "lbo-%s-%s" % (self.env["ID"], host)

    def bridge(self, switch):
        return self.bridges[switch - 1]

    def run(self, host, *cmd, **kw):
        return subprocess.run(["ip", "netns", "exec", self.ns(host)] + list(cmd), **kw)

    def sql(self, statements):
        subprocess.run(["bash", os.path.join(HERE, "..", "db", "dbctl"), "exec", statements],
                       check=True, env=dict(os.environ, LBDB_HOME=self.env["LBDB_HOME"]),
                       stdout=subprocess.DEVNULL)

    def reset_servers(self, rows=None):
        """Table server back to web1 .. web3 (or the given (name, maxconn, state) rows)."""
        rows = rows or [("web1", 100, "Unlocked"), ("web2", 100, "Unlocked"),
                        ("web3", 100, "Unlocked")]
        values = ",".join("('%s','%s',%d,'%s','%s',%d)" % (
            name, HOSTS[SERVERS[name]][2], maxconn, mac(HOSTS[SERVERS[name]][2]), state,
            HOSTS[SERVERS[name]][1]) for name, maxconn, state in rows)
        self.sql("DELETE FROM server; INSERT INTO server (servername, serverip, maxconn, "
                 "servermac, state, switchport) VALUES " + values)

    # ---- sockets in the hosts' namespaces

    def socket(self, host, kind=socket.SOCK_STREAM, proto=0):
        """A socket (TCP by default) living in the host's network namespace."""
        with _ns_lock, open("/run/netns/" + self.ns(host)) as target, \
                open("/proc/thread-self/ns/net") as home:
            if _libc.setns(target.fileno(), CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns " + self.ns(host))
            try:
                return socket.socket(socket.AF_INET, kind, proto)
            finally:
                if _libc.setns(home.fileno(), CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns back")

    def connect(self, host, addr=None, timeout=10):
        """A Connection from host to addr (the VIP by default) on the service port."""
        s = self.socket(host)
        s.settimeout(timeout)
        try:
            s.connect((addr or self.vip, self.port))
        except OSError:
            s.close()
            raise
        return Connection(s, host)

    def send_syns(self, host, sports):
        """Bare SYNs from host to the VIP's service port, one from each source port, sent
        from no socket: whatever answers them finds nobody to talk to."""
        src, dst = HOSTS[host][2], self.vip
        s = self.socket(host, socket.SOCK_RAW, socket.IPPROTO_TCP)
        try:
            for sport in sports:
                tcp = struct.pack("!HHIIBBHHH", sport, self.port, sport, 0, 5 << 4, 0x02,
                                  64240, 0, 0)
                pseudo = socket.inet_aton(src) + socket.inet_aton(dst) + struct.pack(
                    "!BBH", 0, socket.IPPROTO_TCP, len(tcp))
                tcp = tcp[:16] + struct.pack("!H", inet_checksum(pseudo + tcp)) + tcp[18:]
                s.sendto(tcp, (dst, 0))
        finally:
            s.close()

    # ---- the switches

    def rules(self, switch):
        """The priority-30000 rules of a switch as tuples (in_port, ipv4_src, tcp_src,
        ipv4_dst, tcp_dst, output, idle_timeout)."""
        out = subprocess.run(OFCTL + ["--no-names", "dump-flows", self.bridge(switch)],
                             check=True, capture_output=True, text=True).stdout
        rules = set()
        for line in out.splitlines():
            if "priority=30000" not in line:
                continue
            f = dict(w.partition("=")[::2] for w in re.split(r"[ ,]+", line.strip()) if "=" in w)
            rules.add((int(f["in_port"]), f["nw_src"], int(f["tp_src"]), f["nw_dst"],
                       int(f["tp_dst"]), int(f["actions"].split(":")[1]),
                       int(f.get("idle_timeout", 0))))
        return rules

    def all_rules(self):
        return {s: self.rules(s) for s in (1, 2, 3)}

    def expected_rules(self, conn, idle):
        """The rules A to F a balanced connection puts on each switch of its path."""
        client = conn.local[0]
        cport = conn.local[1]
        csw, cin, _ = HOSTS[conn.host]
        ssw, sout, server = HOSTS[SERVERS[conn.name]]
        lb = HOSTS["lb"][1]
        path = list(range(csw, ssw + 1)) if csw <= ssw else list(range(csw, ssw - 1, -1))
        if BALANCER_SWITCH not in path:
            raise ValueError("path does not cross the balancer's switch")
        rules = {1: set(), 2: set(), 3: set()}
        # Before the balancer's switch frames carry the VIP: the rules there match it.
        before_lb = path.index(BALANCER_SWITCH)
        for i, sw in enumerate(path):
            inp = cin if i == 0 else LINK_PORT[(sw, path[i - 1])]
            outp = sout if i == len(path) - 1 else LINK_PORT[(sw, path[i + 1])]
            far = self.vip if i < before_lb else server
            if sw == BALANCER_SWITCH:
                rules[sw] |= {(inp, client, cport, self.vip, self.port, lb, idle),
                              (lb, client, cport, server, self.port, outp, idle),
                              (outp, server, self.port, client, cport, lb, idle),
                              (lb, self.vip, self.port, client, cport, inp, idle)}
            else:
                rules[sw] |= {(inp, client, cport, far, self.port, outp, idle),
                              (outp, far, self.port, client, cport, inp, idle)}
        return rules

    def fdb(self, switch):
        """(port, MAC) pairs the switch has learned."""
        out = subprocess.run(["ovs-appctl", "fdb/show", self.bridge(switch)], check=True,
                             capture_output=True, text=True).stdout
        return {(int(l.split()[0]), l.split()[2]) for l in out.splitlines()[1:] if l.strip()}

    # ---- the balancer's files

    def read(self, name):
        try:
            with open(os.path.join(self.work, name)) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def write(self, name, text):
        tmp = os.path.join(self.work, name + ".tmp")
        with open(tmp, "w") as f:
            f.write(text)
        os.rename(tmp, os.path.join(self.work, name))

    def request_log(self):
        try:
            with open(os.path.join(self.dir, "log", "ctrlsim-requests.log")) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []


def inet_checksum(data):
    """The Internet checksum of data (an even number of bytes)."""
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xffff) + (total >> 16)
    return ~total & 0xffff


def mac(address):
    return "02:00:00:00:00:%02x" % int(address.rsplit(".", 1)[1])


class Connection:
    """A client's TCP connection; the first line it received names the server."""

    def __init__(self, sock, host):
        self.sock = sock
        self.host = host
        self.local = sock.getsockname()
        self.peer = sock.getpeername()
        self.name = self._line()

    def _line(self):
        data = b""
        while not data.endswith(b"\n"):
            chunk = self.sock.recv(1)
            if not chunk:
                break
            data += chunk
        return data.decode().strip()

    def exchange(self, nbytes):
        """Sends nbytes of random data and reads them back; True when they match."""
        payload = os.urandom(nbytes)
        sender = threading.Thread(target=self.sock.sendall, args=(payload,))
        sender.start()
        got = bytearray()
        while len(got) < nbytes:
            chunk = self.sock.recv(min(1 << 16, nbytes - len(got)))
            if not chunk:
                break
            got += chunk
        sender.join()
        return hashlib.sha256(got).digest() == hashlib.sha256(payload).digest()

    def close_fin(self):
        """Orderly close: FIN, then the server's FIN. True when the server closed too."""
        self.sock.shutdown(socket.SHUT_WR)
        rest = self.sock.recv(65536)
        self.sock.close()
        return rest == b""

    def reset(self):
        """Closes with a RST."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class Lbapp:
    """lbapp on the balancer host's eth0, in the testbed's working directory."""

    def __init__(self, bed, binary):
        self.bed = bed
        self.out_path = os.path.join(bed.work, "lbapp.out")
        with open(self.out_path, "w") as out:
            self.proc = subprocess.Popen(["ip", "netns", "exec", bed.ns("lb"), binary, "eth0"],
                                         cwd=bed.work, stdout=out, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL)

    def output(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def wait_ready(self, timeout=30):
        return wait_until(lambda: "Receiving frames on eth0" in self.output()
                          or self.proc.poll() is not None, timeout) and self.proc.poll() is None

    def stop(self, sig=signal.SIGINT, timeout=30):
        """Sends sig; the exit status (128 + signal when killed), None when still running."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return code if code >= 0 else 128 - code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Lbweb:
    """lbweb in the balancer's namespace (127.0.0.1:8080 there) for lbapp's working
    directory, with one user; relayed to 127.0.0.1:port of the calling namespace (port 0:
    any free one) so that a browser outside the testbed reaches it."""

    def __init__(self, bed, binary, user, password, port=8080):
        self.bed, self.user, self.password = bed, user, password
        hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password,
                                check=True, capture_output=True, text=True).stdout.strip()
        users = os.path.join(bed.dir, "lbweb.users")
        with open(os.open(users, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write("%s %s\n" % (user, hashed))
        conf = os.path.join(bed.dir, "lbweb.conf")
        with open(conf, "w") as f:
            f.write("workdir %s\nusers %s\n" % (bed.work, users))
        self.out_path = os.path.join(bed.dir, "log", "lbweb.out")
        with open(self.out_path, "w") as out:
            self.proc = subprocess.Popen(["ip", "netns", "exec", bed.ns("lb"), binary, conf],
                                         stdout=out, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL)
        if not wait_until(lambda: "listening" in self.output() or self.proc.poll() is not None,
                          20) or self.proc.poll() is not None:
            raise RuntimeError("lbweb did not start: " + self.output())
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.listener.bind(("127.0.0.1", port))
        except OSError:
            self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.url = "http://127.0.0.1:%d/" % self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def output(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = self.bed.socket("lb")
            try:
                upstream.connect(("127.0.0.1", 8080))
            except OSError:
                client.close()
                upstream.close()
                continue
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def session(self):
        """A logged-in HTTP client: (opener, csrf token of the servers page)."""
        import http.cookiejar
        import urllib.parse
        import urllib.request
        opener = urllib.request.build_opener(
            urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
        page = opener.open(self.url + "login", timeout=10).read().decode()
        token = re.search(r'name="csrf" value="([0-9a-f]+)"', page).group(1)
        body = urllib.parse.urlencode({"csrf": token, "user": self.user,
                                       "password": self.password}).encode()
        page = opener.open(self.url + "login", body, timeout=10).read().decode()
        return opener, re.search(r'name="csrf" value="([0-9a-f]+)"', page).group(1)

    def stop(self):
        self.listener.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Console:
    """A telnet client of the console: the library's option negotiation is skipped."""

    def __init__(self, bed, host):
        self.sock = bed.socket(host)
        self.sock.settimeout(10)
        self.sock.connect((bed.vip, 8000))
        self.buf = b""

    def until(self, prompt, timeout=10):
        """Text received up to and including prompt (telnet commands removed)."""
        deadline = time.monotonic() + timeout
        while prompt.encode() not in self._text():
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.buf += chunk
        text = self._text()
        end = text.find(prompt.encode())
        if end < 0:
            raise AssertionError("no %r in %r" % (prompt, text))
        self.buf = b""
        return text[:end + len(prompt)].decode(errors="replace").replace("\r", "")

    def _text(self):
        return re.sub(rb"\xff[\xfb-\xfe].|\xff[^\xfb-\xfe]", b"", self.buf)

    def run(self, command, prompt):
        self.sock.sendall(command.encode() + b"\r\n")
        return self.until(prompt)

    def close(self):
        self.sock.close()

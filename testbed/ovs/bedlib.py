"""Helpers for driving the Open vSwitch testbed (ovsbed) from Python: bring it up and
down, run lbapp in the balancer's namespace, open TCP connections from the client hosts,
read the rules of the bridges and talk to the console; child processes and files shared
by the Python suites (end to end, browser, controller simulator), the demo and the
benchmark beside HAProxy. Python 3 standard library only. Needs root."""

import ctypes
import glob
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
DBCTL = os.path.join(HERE, "..", "db", "dbctl")
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


def read(path):
    """The text of a file; empty when there is none."""
    with open(path if os.path.exists(path) else os.devnull, errors="replace") as f:
        return f.read()


def ovs_running():
    return subprocess.run(["ovs-vsctl", "--timeout=2", "show"], capture_output=True).returncode == 0


def dbctl(*args, env=None):
    """Output of testbed/db/dbctl with args (the database of LBDB_HOME in env)."""
    return subprocess.run(["bash", DBCTL] + list(args), check=True, capture_output=True,
                          text=True, env=env).stdout


def end(proc, sig=signal.SIGTERM, timeout=10):
    """Sends sig to a child that still runs and reaps it: its exit status (128 + N when
    signal N ended it), or None when it was still running after timeout s and was killed."""
    if proc.poll() is None:
        proc.send_signal(sig)
    try:
        code = proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None
    return code if code >= 0 else 128 - code


class Proc:
    """A child process whose output goes to a file."""

    def __init__(self, args, out_path, cwd=None):
        self.out_path = out_path
        with open(out_path, "w") as out:
            self.proc = subprocess.Popen(args, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL)

    def output(self):
        return read(self.out_path)

    def wait_for(self, text, timeout):
        """True once text is in the output; False when the process ended or timeout s passed."""
        return wait_until(lambda: text in self.output() or self.proc.poll() is not None,
                          timeout) and self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=10):
        return end(self.proc, sig, timeout)


def lbweb_conf(directory, workdir, user, password):
    """lbweb.users (one user, mode 0600) and lbweb.conf for workdir in directory; the
    latter's path."""
    hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password,
                            check=True, capture_output=True, text=True).stdout.strip()
    users = os.path.join(directory, "lbweb.users")
    with open(os.open(users, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write("%s %s\n" % (user, hashed))
    with open(os.path.join(directory, "lbweb.conf"), "w") as f:
        f.write("workdir %s\nusers %s\n" % (workdir, users))
    return f.name


class Testbed:
    def __init__(self, directory):
        self.dir = directory
        self.env = {}
        self.ovs_before = ovs_running()

    def up(self, what="up"):
        """ovsbed up (or bridges: the bridges alone)."""
        subprocess.run(["bash", OVSBED, what, self.dir], check=True, stdout=subprocess.DEVNULL)
        out = subprocess.run(["bash", OVSBED, "env", self.dir], check=True,
                             capture_output=True, text=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition("=")
            self.env[key] = value.strip("'")
        self.bridges = self.env["BRIDGES"].split()
        if what == "up":
            self.work, self.vip = self.env["LBWORK"], self.env["VIP"]
            self.port = int(self.env["SERVICE_PORT"])

    def down(self, check=False):
        """ovsbed down; with check, what is left of the testbed then: namespaces, links,
        bridges, processes it started, and the Open vSwitch daemons if they ran neither
        before it nor for another testbed."""
        pids = self.pids() if check else []
        subprocess.run(["bash", OVSBED, "down", self.dir], check=False)
        if not check:
            return []
        tag = self.env.get("ID", "????")
        out = lambda *cmd: subprocess.run(cmd, capture_output=True, text=True).stdout  # noqa
        names = out("ip", "netns", "list").split() + [
            line.split(":")[1].strip() for line in out("ip", "-o", "link", "show").splitlines()]
        left = [n for n in names if n.startswith(("lbo-%s-" % tag, "lbo" + tag))]
        if ovs_running():
            left += [b for b in out("ovs-vsctl", "list-br").split()
                     if b in getattr(self, "bridges", [])]
            if not self.ovs_before and not glob.glob("/run/lbapp-ovsbed/bed-*"):
                left.append("Open vSwitch daemons")
        return left + ["process %d" % p for p in pids if os.path.exists("/proc/%d" % p)]

    def ns(self, host):
        return "lbo-%s-%s" % (self.env["ID"], host)

    def bridge(self, switch):
        return self.bridges[switch - 1]

    def run(self, host, *cmd, **kw):
        return subprocess.run(["ip", "netns", "exec", self.ns(host)] + list(cmd), **kw)

    def sql(self, statements):
        dbctl("exec", statements, env=dict(os.environ, LBDB_HOME=self.env["LBDB_HOME"]))

    def pids(self, command=""):
        """Pids of the processes ovsbed started; with command, of those still running
        whose command line holds it."""
        return [p for p in map(int, read(os.path.join(self.dir, "pids")).split())
                if command in read("/proc/%d/cmdline" % p)]

    def service(self, host, name=None):
        """Starts the name service of a server host, answering with name; without name,
        ends every process in the host's namespace (the service)."""
        if name:
            subprocess.Popen(["ip", "netns", "exec", self.ns(host), "python3",
                              os.path.join(HERE, "namesvc.py"), name, str(self.port)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
            return
        pids = subprocess.run(["ip", "netns", "pids", self.ns(host)], capture_output=True,
                              text=True, check=True).stdout.split()
        if not pids:
            raise RuntimeError("nothing runs on " + host)
        for pid in pids:
            os.kill(int(pid), signal.SIGTERM)

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
        s = self.socket(host, socket.SOCK_RAW, socket.IPPROTO_TCP)
        try:
            for sport in sports:
                s.sendto(tcp_segment(HOSTS[host][2], self.vip, sport, self.port), (self.vip, 0))
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

    def clear_rules(self, check=True):
        """Removes the TCP rules of every switch (those a killed balancer left)."""
        for sw in (1, 2, 3):
            subprocess.run(OFCTL + ["del-flows", self.bridge(sw), "tcp"], check=check)

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

    def fdb(self, switch, port):
        """The MACs the switch has learned on a port."""
        out = subprocess.run(["ovs-appctl", "fdb/show", self.bridge(switch)], check=True,
                             capture_output=True, text=True).stdout
        return {w[2] for w in map(str.split, out.splitlines()[1:]) if w and int(w[0]) == port}

    # ---- the balancer's files

    def read(self, name):
        return read(os.path.join(self.work, name))

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


def tcp_segment(src, dst, sport, dport, flags=0x02, ip=False):
    """A bare TCP segment (a SYN by default) with a valid checksum; with ip, behind its
    IPv4 header."""
    addrs = socket.inet_aton(src) + socket.inet_aton(dst)
    tcp = struct.pack("!HHIIBBHHH", sport, dport, sport, 0, 5 << 4, flags, 64240, 0, 0)
    pseudo = addrs + struct.pack("!HH", socket.IPPROTO_TCP, len(tcp))
    tcp = tcp[:16] + struct.pack("!H", inet_checksum(pseudo + tcp)) + tcp[18:]
    if not ip:
        return tcp
    head = struct.pack("!BBHHHBBH", 0x45, 0, 40, sport, 0, 64, 6, 0) + addrs
    return head[:10] + struct.pack("!H", inet_checksum(head)) + head[12:] + tcp


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


class Lbapp(Proc):
    """lbapp on the balancer host's eth0, in the testbed's working directory."""

    def __init__(self, bed, binary):
        super().__init__(["ip", "netns", "exec", bed.ns("lb"), binary, "eth0"],
                         os.path.join(bed.work, "lbapp.out"), bed.work)

    def wait_ready(self, timeout=30):
        return self.wait_for("Receiving frames on eth0", timeout)

    def stop(self, sig=signal.SIGINT, timeout=30):
        return end(self.proc, sig, timeout)

    def kill(self):
        end(self.proc, signal.SIGKILL)


class Lbweb(Proc):
    """lbweb in the balancer's namespace (127.0.0.1:8080 there) for lbapp's working
    directory, with one user; relayed to 127.0.0.1:port of the calling namespace (port 0:
    any free one) so that a browser outside the testbed reaches it."""

    def __init__(self, bed, binary, user, password, port=8080):
        self.bed, self.user, self.password = bed, user, password
        conf = lbweb_conf(bed.dir, bed.work, user, password)
        super().__init__(["ip", "netns", "exec", bed.ns("lb"), binary, conf],
                         os.path.join(bed.dir, "log", "lbweb.out"))
        if not self.wait_for("listening", 20):
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
        Proc.stop(self)


class Console:
    """A telnet client of the console at the VIP, on sock (a socket of this namespace by
    default); the library's option negotiation is skipped. banner: the text up to the
    first prompt."""

    def __init__(self, vip, sock=None):
        self.sock = sock or socket.socket()
        self.sock.settimeout(10)
        self.sock.connect((vip, 8000))
        self.buf = b""
        self.banner = self.until("Switch> ")

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

    def getconn(self):
        """The lines of getconn, from the first prompt."""
        self.run("enable", "Switch# ")
        self.run("configure terminal", "Switch(config)# ")
        text = self.run("getconn", "Switch(config)# ")
        return [l for l in text.splitlines() if l.startswith("number of connections")]

    def close(self):
        self.sock.close()

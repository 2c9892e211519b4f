"""lbweb in headless Chromium (see CMakeLists.txt); lbapp's VIP interface is one end of a
veth pair (lbw0): client frames are put on the other end (lbw1) and the balanced ones read
back there."""

import collections
import contextlib
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "testbed", "ovs"))
sys.path.insert(0, os.path.join(ROOT, "tests", "testbed", "controller"))
import bedlib  # noqa: E402
import simharness  # noqa: E402
from bedlib import wait_until  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

SIM, VIP, CLIENT, CLIENT_MAC = "127.0.0.81", "203.0.113.100", "192.0.2.10", "02:00:00:00:00:0c"
SERVERS = {"web1": ("198.51.100.11", 4), "web2": ("198.51.100.12", 5),
           "web4": ("198.51.100.14", 7)}  # web4 is added through the page
URL = "http://127.0.0.1:8080"
USER, PASSWORD = "operator", "correct horse"
GOOD = {"name": "web9", "address": "198.51.100.19", "mac": "02:00:00:00:00:19",
        "maxconn": "10", "state": "Unlocked", "port": "9"}
TICK_S = 12  # a tick is 5 s; this allows for a slow sanitizer build
ctx = None
mac_of = bedlib.mac


def sql(statements):
    return bedlib.dbctl("exec", statements)


class Setup:
    """Database rows, files, veth pair, controller simulator, lbapp, lbweb and browser."""

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="lbweb-test-")
        self.work = os.path.join(self.tmp, "work")
        os.mkdir(self.work)
        self.procs, self.sim = {}, None
        self.shots = os.environ.get("LBWEB_ARTEFACTS") or os.path.join(self.tmp, "shots")
        os.makedirs(self.shots, exist_ok=True)

    def start(self):
        sql("DELETE FROM server; DELETE FROM controller; DELETE FROM vip_conf; "
            "DELETE FROM cluster; INSERT INTO server (servername, serverip, maxconn, servermac, "
            "switchport) VALUES " + ", ".join(
                "('%s', '%s', 10, '%s', %d)" % (n, ip, mac_of(ip), port)
                for n, (ip, port) in SERVERS.items() if n != "web4") +
            "; INSERT INTO controller (controllerip, controllermac, dpid) VALUES ('%s', "
            "'02:00:00:00:01:00', '00:00:00:00:00:00:00:01'); INSERT INTO vip_conf (vip) VALUES "
            "('%s'); INSERT INTO cluster (clustername) VALUES ('webfarm')" % (SIM, VIP))
        self.write("dbconfig.conf", bedlib.dbctl("dbconfig"))
        self.write("timeout.conf", "300 1\n")
        self.write("vlanid.conf", "0\n")

        subprocess.run("ip link del lbw0 2>/dev/null; ip link add lbw0 type veth peer name lbw1 "
                       "&& ip addr add %s/24 dev lbw0 && ip link set lbw0 up && "
                       "ip link set lbw1 up" % VIP, shell=True, check=True)
        self.wire = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
        self.wire.bind(("lbw1", 0))
        self.wire.settimeout(0.2)

        hosts = [{"ip": VIP, "mac": "02:00:00:00:01:00", "dpid": "1", "port": 6},
                 {"ip": CLIENT, "mac": CLIENT_MAC, "dpid": "1", "port": 3}] + [
                     {"ip": ip, "mac": mac_of(ip), "dpid": "1", "port": port}
                     for ip, port in SERVERS.values()]
        self.sim = simharness.SimProcess(SIM, topology_doc={
            "switches": [{"dpid": "1"}], "links": [], "hosts": hosts}).start()

        self.lbapp = self.spawn("lbapp", [os.environ["LBAPP"], "lbw0"])
        if not self.lbapp.wait_for("Receiving frames on lbw0", 60):
            raise AssertionError("lbapp did not start:\n" + self.output("lbapp"))

        conf = bedlib.lbweb_conf(self.tmp, self.work, USER, PASSWORD)  # default address, port
        if not self.spawn("lbweb", [os.environ["LBWEB"], conf]).wait_for(
                "lbweb listening on http://127.0.0.1:8080/", 30):
            raise AssertionError("lbweb did not start:\n" + self.output("lbweb"))

        opts = webdriver.ChromeOptions()
        opts.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--window-size=1280,900",
                     "--user-data-dir=" + os.path.join(self.tmp, "chromium")):
            opts.add_argument(flag)
        self.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
        self.browser.set_page_load_timeout(30)

    def spawn(self, name, args, cwd=None):
        out = os.path.join(self.tmp, name + ".out")
        self.procs[name] = bedlib.Proc(args, out, cwd or self.work)
        return self.procs[name]

    def output(self, name):
        return self.procs[name].output() if name in self.procs else ""

    def write(self, name, text):
        with open(os.path.join(self.work, name), "w") as f:
            f.write(text)

    def read(self, name):
        return bedlib.read(os.path.join(self.work, name))

    def stop(self):
        if getattr(self, "browser", None):
            self.browser.quit()
        for p in reversed(list(self.procs.values())):
            p.stop(timeout=20)  # lbapp is never left stopped: Frozen continues it
        if self.sim:
            self.sim.cleanup()
        subprocess.run(["ip", "link", "del", "lbw0"], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.tmp, ignore_errors=True)


def setUpModule():
    global ctx
    for need in ("LBAPP", "LBWEB", "LBDB_HOME"):
        if not os.environ.get(need):
            raise AssertionError(need + " is not set (run through scripts/test)")
    ctx = Setup()
    unittest.addModuleCleanup(ctx.stop)
    try:
        ctx.start()
    except BaseException:
        print("lbapp:\n" + ctx.output("lbapp")[-3000:], file=sys.stderr)
        raise


@contextlib.contextmanager
def Frozen():
    """lbapp stopped (SIGSTOP) for a while: no tick takes flag.txt meanwhile."""
    ctx.lbapp.proc.send_signal(signal.SIGSTOP)
    try:
        yield
    finally:
        ctx.lbapp.proc.send_signal(signal.SIGCONT)


class Lbweb(unittest.TestCase):
    """One browser session through the pages; the tests build on each other in order."""

    def setUp(self):
        self.b = ctx.browser

    def open(self, path):
        self.b.get(URL + path)

    def submit(self, element, click=False):
        """Submits a form (or clicks a button) and waits for the next page."""
        old = self.b.find_element(By.TAG_NAME, "html")
        element.click() if click else element.submit()
        WebDriverWait(self.b, 15).until(expected_conditions.staleness_of(old))

    def cells(self, selector):
        """The texts of the cells of each row selector matches, read in one go."""
        return self.b.execute_script(
            "return [...document.querySelectorAll(arguments[0])].map(r => "
            "[r.dataset.address || ''].concat([...r.cells].map(c => c.textContent)))", selector)

    def notice(self):
        return self.b.find_element(By.ID, "notice").text

    def shot(self, name):
        self.b.save_screenshot(os.path.join(ctx.shots, name + ".png"))

    def console_counts(self):
        """Server address -> connections, as lbapp's console lists them."""
        with contextlib.closing(bedlib.Console(VIP)) as con:
            return {w[4]: int(w[6].rstrip(",")) for w in map(str.split, con.getconn())}

    def balance(self, sport, flags=0x02):
        """Sends a client segment; the address of the server it was forwarded to (None for
        a RST, which is only checked to have left)."""
        ctx.wire.send(bytes.fromhex("02000000aa01" + CLIENT_MAC.replace(":", "")) + b"\x08\x00"
                      + bedlib.tcp_segment(CLIENT, VIP, sport, 80, flags, ip=True))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                data, addr = ctx.wire.recvfrom(2048)
            except socket.timeout:
                continue
            if addr[2] != socket.PACKET_OUTGOING and data[12:14] == b"\x08\x00" and \
                    data[23:24] == b"\x06" and data[26:30] == socket.inet_aton(CLIENT) and \
                    data[34:36] == struct.pack("!H", sport) and \
                    data[30:34] != socket.inet_aton(VIP):
                return socket.inet_ntoa(data[30:34])
        if flags & 0x04:
            return None
        self.fail("the SYN from port %d was not forwarded:\n%s" % (sport, ctx.output("lbapp")[-2000:]))

    def fill(self, values, form="add-form"):
        """The form with values set (None: the field removed)."""
        form = self.b.find_element(By.ID, form)
        for name, value in values.items():
            field = form.find_element(By.NAME, name)
            if value is None:
                self.b.execute_script("arguments[0].remove()", field)
            elif field.tag_name == "select" or not field.is_displayed():
                self.b.execute_script("arguments[0].value = arguments[1]", field, value)
            else:
                field.clear()
                field.send_keys(value)
        return form

    def snapshot(self):
        return sql("SELECT * FROM server ORDER BY id"), ctx.read("flag.txt")

    def submit_flagged(self, element, notice, line, click=False):
        """Submits with lbapp frozen: the page says notice and flag.txt gains line."""
        with Frozen():
            flag = ctx.read("flag.txt")
            self.submit(element, click)
            self.assertIn(notice, self.notice())
            self.assertEqual(ctx.read("flag.txt"), flag + line)

    def test_1_no_login_shows_the_login_page(self):
        for method, path, status in (("GET", "/api/connections", 401),
                                     ("GET", "/api/graph?range=300", 401),
                                     ("POST", "/servers/delete", 403),
                                     ("POST", "/login", 403)):  # no login form behind it
            with self.subTest(path=path):
                req = urllib.request.Request(URL + path, method=method, data=(
                    b"address=198.51.100.11&csrf=x" if method == "POST" else None))
                with self.assertRaises(urllib.error.HTTPError) as e:
                    urllib.request.urlopen(req, timeout=10)
                self.assertEqual(e.exception.code, status)
        self.assertIn("198.51.100.11", sql("SELECT serverip FROM server"))
        for path in ("/servers", "/connections", "/graph", "/status", "/servers/edit?address=1.2.3.4"):
            self.open(path)
            self.assertTrue(self.b.current_url.endswith("/login"), path)
            self.b.find_element(By.ID, "login-form")
        self.shot("login")
        self.submit(self.fill({"user": USER, "password": "wrong"}, "login-form"))
        self.assertEqual(self.notice(), "Unknown user or wrong password.")
        self.submit(self.fill({"user": USER, "password": PASSWORD}, "login-form"))
        self.assertTrue(self.b.current_url.endswith("/servers"))
        cookie = self.b.get_cookie("lbweb_session")
        self.assertTrue(cookie["httpOnly"])
        self.assertEqual(cookie["sameSite"], "Strict")

    def test_2_bad_input_and_forms_without_their_token_are_refused(self):
        # Each field's checks are web_unit_test's; here the page marks the field, shows
        # the value and leaves the database and flag.txt alone.
        cases = [  # field, value (None: left out), words of the message, field marked
            ("address", "198.51.100.11", "exists already", False),  # web1's
            ("address", "198.51.100.300", "is not an IPv4 address", True),
            ("address", "198.51.100.14' OR '1'='1", "is not an IPv4 address", True),
            ("name", "web9'); DROP TABLE server; --", "use 1 to 49 letters", True),
            ("csrf", None, "carries no valid token", False),
            ("csrf", "f00d", "carries no valid token", False),
        ]
        with Frozen():
            before = self.snapshot()
            for field, value, words, marked in cases:
                with self.subTest(field=field, value=value):
                    self.open("/servers")
                    self.submit(self.fill(dict(GOOD, **{field: value})))
                    self.assertIn(words, self.notice())
                    marks = self.b.find_elements(By.CSS_SELECTOR, "#field-errors li")
                    self.assertEqual([(m.get_attribute("data-field"), value in m.text)
                                      for m in marks], [(field, True)] if marked else [])
                    self.assertEqual(self.snapshot(), before)
            self.shot("servers-refused")

    def test_3_change_taken_back_when_flag_txt_cannot_be_written(self):
        flag = os.path.join(ctx.work, "flag.txt")
        self.open("/servers")
        with Frozen():
            before = self.snapshot()
            os.rename(flag, flag + ".kept")
            os.mkdir(flag)  # no file can be opened for writing under this name
            try:
                self.submit(self.fill(GOOD))
                self.assertIn("flag.txt in %s cannot be written" % ctx.work, self.notice())
                self.assertIn("the change was taken back", self.notice())
            finally:
                os.rmdir(flag)
                os.rename(flag + ".kept", flag)
            self.assertEqual(self.snapshot(), before)

    def test_4_add_lock_delete_reach_lbapp(self):
        ip4 = SERVERS["web4"][0]
        self.open("/servers")
        self.submit_flagged(self.fill({"name": "web4", "address": ip4, "mac": mac_of(ip4).upper(),
                                       "maxconn": "10", "state": "Unlocked", "port": "7"}),
                            "Server web4 (%s) added" % ip4, "1 ADD %s\n" % ip4)
        self.assertIn("web4\t%s\t1\t10\t%s\tUnlocked\t7" % (ip4, mac_of(ip4)),
                      sql("SELECT * FROM server WHERE serverip = '%s'" % ip4))
        self.assertTrue(wait_until(lambda: ip4 in self.console_counts(), TICK_S))

        # Modify through its own page: the address is fixed, the rest changes.
        self.open("/servers/edit?address=" + ip4)
        self.submit_flagged(self.fill({"maxconn": "20"}, "edit-form"),
                            "Server web4 (%s) changed" % ip4, "1 MODIFY %s\n" % ip4)
        self.assertEqual(sql("SELECT maxconn FROM server WHERE serverip = '%s'" % ip4),
                         "maxconn\n20\n")

        # Least connections: three SYNs, one to each server, web4 included.
        to = {self.balance(41000 + i) for i in range(3)}
        self.assertEqual(to, {ip for ip, _ in SERVERS.values()})
        self.assertEqual(self.console_counts(), {ip: 1 for ip, _ in SERVERS.values()})
        web4_port = next(41000 + i for i in range(3)
                         if ("192.0.2.10 %d %s" % (41000 + i, ip4)) in ctx.read("flows_new.txt"))

        self.open("/servers")
        row = self.b.find_element(By.CSS_SELECTOR, 'tr[data-address="%s"]' % ip4)
        self.assertEqual(row.find_elements(By.TAG_NAME, "td")[6].text, "1")
        self.shot("servers")
        self.submit_flagged(row.find_element(By.CSS_SELECTOR, 'button[value="lock"]'), "locked",
                            "1 MODIFY %s\n" % ip4, click=True)
        self.assertIn("Locked", sql("SELECT state FROM server WHERE serverip = '%s'" % ip4))
        self.assertTrue(wait_until(lambda: ctx.read("flag.txt") == "0\n", TICK_S))
        for i in range(4):
            self.assertNotEqual(self.balance(42000 + i), ip4)
        self.assertEqual(self.console_counts()[ip4], 1)

        # Delete with a connection open: the row goes at once, lbapp drains the server.
        self.open("/servers")
        self.submit_flagged(self.b.find_element(
            By.CSS_SELECTOR, 'tr[data-address="%s"] button[value="delete"]' % ip4), "deleted",
            "1 DELETE %s\n" % ip4, click=True)
        self.assertEqual(sql("SELECT * FROM server WHERE serverip = '%s'" % ip4), "")
        self.assertTrue(wait_until(lambda: ctx.read("flag.txt") == "0\n", TICK_S))
        self.assertEqual(self.console_counts()[ip4], 1)  # still there, draining
        self.balance(web4_port, 0x04)  # the client resets its connection to web4
        self.assertTrue(wait_until(lambda: ip4 not in self.console_counts(), TICK_S))

    def test_5_connections_table_matches_the_file(self):
        self.open("/connections")

        table = lambda: {tuple(r[1:]) for r in self.cells("#conns tbody tr")}  # noqa: E731
        from_file = lambda: {(w[0], w[1], w[4], w[2]) for w in map(  # noqa: E731
            str.split, ctx.read("flows_new.txt").splitlines()) if w and w[0] != "0"}

        self.assertTrue(from_file())
        self.assertTrue(wait_until(lambda: table() == from_file(), 5))
        self.balance(43000)  # a new connection shows without reloading the page
        self.assertTrue(wait_until(lambda: table() == from_file() and len(table()) == 7, 6),
                        (table(), from_file()))
        counts = {r[0]: int(r[3]) for r in self.cells("#counts tbody tr") if r[3] != "0"}
        self.assertEqual(counts, collections.Counter(w[3] for w in from_file()))
        self.shot("connections")

    def test_6_graph_has_one_series_per_server(self):
        self.open("/graph")
        self.assertTrue(wait_until(lambda: self.b.execute_script(
            "return window.lbChart ? window.lbChart.data.datasets.length : 0") > 0, 10))
        with Frozen():
            want = collections.defaultdict(list)
            for w in filter(None, map(str.split, ctx.read("servergraph.txt").splitlines())):
                want[w[0]].append(int(w[1]))
            # A new range redraws at once; no tick can add points meanwhile.
            self.b.execute_script("const r = document.getElementById('range');"
                                  "r.value = '3600'; r.dispatchEvent(new Event('change'));")
            got = lambda: {d[0]: d[1] for d in self.b.execute_script(  # noqa: E731
                "return window.lbChart.data.datasets.map(d => [d.label, d.data.map(p => p.y)])")}
            self.assertTrue(wait_until(lambda: got() == want, 5), (got(), want))
        self.assertEqual(set(want), {"web1", "web2", "web4"})
        self.shot("graph")

    def test_6b_health_column_only_while_lbapp_keeps_health_txt(self):
        # This lbapp runs no health checks: the file is the test's.
        heads = lambda: self.cells("#servers thead tr")[0]  # noqa: E731 (aligned with cells())
        self.open("/servers")
        self.assertNotIn("Health", heads())
        ctx.write("health.txt", "198.51.100.11 down\n198.51.100.12 up\n")
        self.open("/servers")
        os.remove(os.path.join(ctx.work, "health.txt"))
        col = heads().index("Health")
        self.assertEqual({r[0]: r[col] for r in self.cells("#servers tbody tr")},
                         {"198.51.100.11": "down", "198.51.100.12": "up"})
        self.shot("servers-health")

    def test_7_status_names_lbapp_and_its_settings(self):
        self.open("/status")
        cell = lambda i: self.b.find_element(By.ID, i).text  # noqa: E731
        self.assertEqual(cell("st-lbapp"), "running (pid %d)" % ctx.lbapp.proc.pid)
        self.assertEqual(cell("st-vip"), VIP)
        self.assertTrue(cell("st-controller").startswith(SIM))
        self.assertEqual(cell("st-cluster"), "webfarm")
        self.assertTrue(cell("st-timeouts").startswith("rules idle 300 s, rules after a reset 1 s"))
        self.shot("status")
        # The session is found behind another site's cookie too, as browsers send them.
        sid = self.b.get_cookie("lbweb_session")["value"]
        req = urllib.request.Request(URL + "/status", headers={"Cookie": "x=1; lbweb_session=" + sid})
        with urllib.request.urlopen(req, timeout=10) as r:
            self.assertIn('id="st-lbapp"', r.read().decode())
        self.submit(self.b.find_element(By.CSS_SELECTOR, "form.logout button"), click=True)
        self.open("/servers")
        self.assertTrue(self.b.current_url.endswith("/login"))


class Tls(unittest.TestCase):
    def test_https_only_with_a_secure_cookie(self):
        d = ctx.tmp
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-keyout", "web.key", "-out", "web.pem"], cwd=d,
                       check=True, capture_output=True)
        with open(os.path.join(d, "tls.conf"), "w") as f:
            f.write("port 8444\nworkdir work\nusers lbweb.users\ncert web.pem\nkey web.key\n")
        p = ctx.spawn("lbweb-tls", [os.environ["LBWEB"], "tls.conf"], d)
        self.assertTrue(p.wait_for("https://127.0.0.1:8444/", 30), p.output())
        tls = ssl.create_default_context(cafile=os.path.join(d, "web.pem"))
        tls.check_hostname = False
        with urllib.request.urlopen("https://127.0.0.1:8444/login", context=tls, timeout=10) as r:
            self.assertEqual(r.status, 200)
            cookie = r.headers["Set-Cookie"]
        self.assertTrue(cookie.startswith("lbweb_session="))
        for attr in ("HttpOnly", "SameSite=Strict", "Secure"):
            self.assertIn(attr, cookie)
        with self.assertRaises(OSError):  # plain HTTP is not answered as such
            urllib.request.urlopen("http://127.0.0.1:8444/login", timeout=10).read()
        self.assertEqual(p.stop(timeout=20), 0)

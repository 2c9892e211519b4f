#!/usr/bin/env python3
"""ctrlsim: a stand-in for the SDN controller's REST interface.

Answers the five requests the balancer makes (login, flow install, flow removal,
host attachment query, forward path query) over HTTPS from a static topology
file, keeps the installed flow rules per switch, records every /sdn/ request in
a JSON-lines log and can be told to misbehave (faults) at start or at run time
through the /_sim/ control endpoints. Python 3 standard library only; the
certificate is made with the openssl command line at start.

See README.md beside this file for the command line and the reply shapes.
"""

import argparse
import ipaddress
import json
import os
import secrets
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

API_PREFIX = "/sdn/v2.0"
DEFAULT_PORT = 8443  # the balancer always talks to port 8443
LOGIN_USER = "sdn"
LOGIN_PASSWORD = "quorbit"
LOGIN_DOMAIN = "sdn"
# Wall-clock lifetime announced in the login reply; tokens are never timed out by
# the clock, only by the use count (token_expire_after) or expire_tokens.
TOKEN_LIFETIME_MS = 24 * 3600 * 1000
MAX_BODY_BYTES = 1 << 20
HANDSHAKE_TIMEOUT_S = 10
IDLE_TIMEOUT_S = 60
# How long a control request waits for the accept loop to close the listening
# socket before it answers anyway.
REFUSE_ACK_TIMEOUT_S = 5
FAULT_MODES = ("none", "no_token", "not_json", "status500", "drop")
NOT_JSON_BODY = b"<html><body>ctrlsim: simulated non-JSON reply</body></html>\n"
HEX_DIGITS = frozenset("0123456789abcdef")


# --------------------------------------------------------------------------- dpids


def dpid_to_int(text):
    """Parses a datapath id written as colon-separated hex pairs (at most eight) or
    as 1 to 16 hex digits, in either case; returns the number, or None when the
    text is neither form."""
    if not isinstance(text, str):
        return None
    t = text.strip().lower()
    if ":" in t:
        parts = t.split(":")
        if len(parts) > 8 or any(len(p) != 2 for p in parts):
            return None
        digits = "".join(parts)
    else:
        digits = t
        if not 1 <= len(digits) <= 16:
            return None
    if not digits or not set(digits) <= HEX_DIGITS:
        return None
    return int(digits, 16)


def dpid_colon(value):
    """The controller's own form: eight lower-case hex pairs joined by colons."""
    h = "%016x" % value
    return ":".join(h[i : i + 2] for i in range(0, 16, 2))


def dpid_hex(value):
    """The form of flow URLs: 16 lower-case hex digits."""
    return "%016x" % value


# --------------------------------------------------------------------------- topology


def _port(value, where):
    """A switch port number from the topology file; ValueError names `where`."""
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError("%s: port must be a non-negative integer" % where)
    return value


class Topology:
    """The static network: switches, bidirectional links between switch ports, and
    the hosts attached to switch ports. Built once from the topology file."""

    def __init__(self, doc):
        if not isinstance(doc, dict):
            raise ValueError("topology must be a JSON object")
        self.switches = []  # dpid numbers in file order
        for i, sw in enumerate(doc.get("switches", [])):
            dpid = dpid_to_int(sw.get("dpid") if isinstance(sw, dict) else None)
            if dpid is None:
                raise ValueError("switches[%d]: bad dpid" % i)
            if dpid in self.switches:
                raise ValueError("switches[%d]: duplicate dpid" % i)
            self.switches.append(dpid)
        known = set(self.switches)
        # adjacency: dpid -> [(neighbour, local port, neighbour port)], in file order,
        # so that the search below is deterministic.
        self.adjacency = {d: [] for d in self.switches}
        for i, link in enumerate(doc.get("links", [])):
            where = "links[%d]" % i
            try:
                a = dpid_to_int(link["src"]["dpid"])
                b = dpid_to_int(link["dst"]["dpid"])
                pa = _port(link["src"]["port"], where)
                pb = _port(link["dst"]["port"], where)
            except (KeyError, TypeError):
                raise ValueError("%s: needs src and dst, each with dpid and port" % where)
            if a not in known or b not in known:
                raise ValueError("%s: unknown switch" % where)
            self.adjacency[a].append((b, pa, pb))
            self.adjacency[b].append((a, pb, pa))
        self.hosts = []
        for i, host in enumerate(doc.get("hosts", [])):
            where = "hosts[%d]" % i
            if not isinstance(host, dict):
                raise ValueError("%s: must be an object" % where)
            dpid = dpid_to_int(host.get("dpid"))
            if dpid not in known:
                raise ValueError("%s: unknown or bad dpid" % where)
            ip, mac, vid = host.get("ip"), host.get("mac", ""), host.get("vid")
            if not isinstance(ip, str) or not isinstance(mac, str):
                raise ValueError("%s: ip and mac must be strings" % where)
            if vid is not None and (isinstance(vid, bool) or not isinstance(vid, int)):
                raise ValueError("%s: vid must be an integer" % where)
            self.hosts.append(
                {"ip": ip, "mac": mac, "vid": vid, "dpid": dpid,
                 "port": _port(host.get("port"), where)}
            )

    @classmethod
    def load(cls, path):
        """Reads and checks a topology file; raises ValueError or OSError."""
        with open(path, encoding="utf-8") as f:
            try:
                doc = json.load(f)
            except json.JSONDecodeError as e:
                raise ValueError("not JSON: %s" % e)
        return cls(doc)

    def find_hosts(self, ip, vid):
        """Hosts with address `ip` (any address when None) whose VLAN matches `vid`
        (None matches every host; a host without a vid matches every vid)."""
        return [
            h for h in self.hosts
            if (ip is None or h["ip"] == ip)
            and (vid is None or h["vid"] is None or h["vid"] == vid)
        ]

    def shortest_path(self, src, dst):
        """Breadth-first search from switch `src` to switch `dst`. Returns the links
        in path order as (from dpid, from port, to dpid, to port); an empty list when
        src == dst; None when no path exists. Both switches must be known."""
        if src == dst:
            return []
        previous = {src: None}
        frontier = [src]
        while frontier and dst not in previous:
            following = []
            for here in frontier:
                for there, out_port, in_port in self.adjacency[here]:
                    if there not in previous:
                        previous[there] = (here, out_port, in_port)
                        following.append(there)
            frontier = following
        if dst not in previous:
            return None
        links = []
        here = dst
        while previous[here] is not None:
            there, out_port, in_port = previous[here]
            links.append((there, out_port, here, in_port))
            here = there
        links.reverse()
        return links


# --------------------------------------------------------------------------- flows


def flow_match_key(body):
    """The identity of a flow rule: its "match" array, canonically serialised.
    Raises ValueError when `body` is not {"flow":{... "match":[...] ...}}."""
    if not isinstance(body, dict) or not isinstance(body.get("flow"), dict):
        raise ValueError('body must be an object with the object member "flow"')
    match = body["flow"].get("match")
    if not isinstance(match, list):
        raise ValueError('"flow" must hold the array member "match"')
    return json.dumps(match, sort_keys=True, separators=(",", ":"))


def _uint(value, limit):
    """A JSON integer (not a boolean, not 1.0) from 0 to limit."""
    return type(value) is int and 0 <= value <= limit


def _ipv4(value):
    """A dotted IPv4 address as text."""
    try:
        return isinstance(value, str) and bool(ipaddress.IPv4Address(value))
    except ValueError:
        return False


_ABSENT = object()


def _sole(obj, name):
    """The value of `name` when `obj` is an object with that one member, else _ABSENT."""
    return obj[name] if isinstance(obj, dict) and list(obj) == [name] else _ABSENT


def _only(items):
    """The element of a one-element array, else _ABSENT."""
    return items[0] if isinstance(items, list) and len(items) == 1 else _ABSENT


# The balancer's match array, field by field: the name, and the test its value passes.
FLOW_MATCH = (
    ("eth_type", lambda v: v == "ipv4"),
    ("ip_proto", lambda v: v == "tcp"),
    ("in_port", lambda v: _uint(v, 0xFFFFFFFF)),
    ("ipv4_src", _ipv4),
    ("tcp_src", lambda v: _uint(v, 0xFFFF)),
    ("ipv4_dst", _ipv4),
    ("tcp_dst", lambda v: _uint(v, 0xFFFF)),
)


def check_flow_body(body):
    """Raises ValueError unless `body` is a flow rule as the balancer writes it:
    {"flow":{"priority":30000,"table_id":0,"idle_timeout":N,"match":[{"eth_type":"ipv4"},
    {"ip_proto":"tcp"},{"in_port":N},{"ipv4_src":"A"},{"tcp_src":N},{"ipv4_dst":"A"},
    {"tcp_dst":N}],"instructions":[{"apply_actions":[{"output":N}]}]}} with integers
    where N stands and dotted IPv4 addresses where A stands. Member order inside an
    object is free; nothing may be missing or added."""
    flow = body.get("flow") if isinstance(body, dict) and len(body) == 1 else None
    if not isinstance(flow, dict) or set(flow) != {
            "priority", "table_id", "idle_timeout", "match", "instructions"}:
        raise ValueError('body must be {"flow":{"priority","table_id","idle_timeout",'
                         '"match","instructions"}}')
    if not (type(flow["priority"]) is int and flow["priority"] == 30000
            and type(flow["table_id"]) is int and flow["table_id"] == 0):
        raise ValueError("priority must be 30000 and table_id 0")
    if not _uint(flow["idle_timeout"], 0xFFFF):
        raise ValueError("idle_timeout must be an integer from 0 to 65535")
    match = flow["match"]
    if not isinstance(match, list) or len(match) != len(FLOW_MATCH):
        raise ValueError("match must be an array of %d fields" % len(FLOW_MATCH))
    for i, (field, (name, valid)) in enumerate(zip(match, FLOW_MATCH)):
        value = _sole(field, name)
        if value is _ABSENT or not valid(value):
            raise ValueError('match[%d] must be {"%s":<valid value>}' % (i, name))
    output = _sole(_only(_sole(_only(flow["instructions"]), "apply_actions")), "output")
    if not _uint(output, 0xFFFFFFFF):
        raise ValueError('instructions must be [{"apply_actions":[{"output":<port>}]}]')


def flow_idle_timeout(body):
    """The rule's idle time-out in seconds; 0 (never) when it has none."""
    flow = body.get("flow") if isinstance(body, dict) else None
    idle = flow.get("idle_timeout") if isinstance(flow, dict) else None
    return idle if _uint(idle, 0xFFFF) else 0


class FlowBackend:
    """Where flow rules go. The simulator calls these with a switch's dpid number and
    the parsed request body; a backend may program real switches as long as it
    keeps the same answers. A rule with a non-zero idle_timeout goes by itself once
    that many seconds pass without it being installed again, as on a switch; it is then
    no longer listed nor removable. Implementations must be thread-safe."""

    def install(self, dpid, body):
        """Adds the rule, or replaces the rule with the same match and restarts its
        idle time. Returns True when a rule was replaced."""
        raise NotImplementedError

    def remove(self, dpid, body):
        """Removes the rule with the same match as `body`. Returns False when the
        switch has no such rule (nothing changes then)."""
        raise NotImplementedError

    def flows(self, dpid):
        """The bodies of the rules on the switch, oldest install first."""
        raise NotImplementedError

    def clear(self):
        """Removes every rule from every switch."""
        raise NotImplementedError


class MemoryFlowBackend(FlowBackend):
    """Keeps the rules in memory: per switch, an ordered map match -> (body, time of the
    last install). A replaced rule keeps its place in the order. Idle rules are dropped
    when their switch's table is next touched."""

    def __init__(self, clock=time.monotonic):
        self._lock = threading.Lock()
        self._clock = clock
        self._tables = {}

    def _table(self, dpid):
        """The switch's rules without the idle ones (the caller holds the lock)."""
        table = self._tables.setdefault(dpid, {})
        now = self._clock()
        for key, (body, installed) in list(table.items()):
            idle = flow_idle_timeout(body)
            if idle and now - installed >= idle:
                del table[key]
        return table

    def install(self, dpid, body):
        key = flow_match_key(body)
        with self._lock:
            table = self._table(dpid)
            replaced = key in table
            table[key] = (body, self._clock())
            return replaced

    def remove(self, dpid, body):
        key = flow_match_key(body)
        with self._lock:
            return self._table(dpid).pop(key, None) is not None

    def flows(self, dpid):
        with self._lock:
            return [body for body, _ in self._table(dpid).values()]

    def clear(self):
        with self._lock:
            self._tables.clear()


# The balancer's match fields and their names in ovs-ofctl's flow syntax.
OVS_FIELDS = (("in_port", "in_port"), ("ipv4_src", "nw_src"), ("tcp_src", "tp_src"),
              ("ipv4_dst", "nw_dst"), ("tcp_dst", "tp_dst"))


def ovs_match(body):
    """The rule's priority and match in ovs-ofctl syntax, e.g.
    "priority=30000,tcp,in_port=1,nw_src=192.0.2.21,tp_src=40000,...". The body has
    passed check_flow_body."""
    flow = body["flow"]
    values = {name: value for field in flow["match"] for name, value in field.items()}
    return ",".join(["priority=%d" % flow["priority"], "tcp"] +
                    ["%s=%s" % (ovs, values[name]) for name, ovs in OVS_FIELDS])


def ovs_body(line):
    """The balancer-shaped body of one `ovs-ofctl dump-flows` line of a priority-30000
    TCP rule with one output action; None for any other rule."""
    fields = {}
    for word in line.replace(" actions=", ",actions=").strip().split(","):
        key, _, value = word.strip().partition("=")
        fields[key] = value
    try:
        if fields.get("priority") != "30000" or "tcp" not in fields:
            return None
        if not fields.get("actions", "").startswith("output:"):
            return None
        match = [{"eth_type": "ipv4"}, {"ip_proto": "tcp"}]
        for name, ovs in OVS_FIELDS:
            value = fields[ovs]
            match.append({name: value if name.startswith("ipv4") else int(value)})
        return {"flow": {"priority": 30000, "table_id": int(fields.get("table", "0")),
                         "idle_timeout": int(fields.get("idle_timeout", "0")),
                         "match": match,
                         "instructions": [{"apply_actions": [
                             {"output": int(fields["actions"][len("output:"):])}]}]}}
    except (KeyError, ValueError):
        return None


class OvsFlowBackend(FlowBackend):
    """Programs Open vSwitch bridges with ovs-ofctl (OpenFlow 1.3): a rule becomes a
    flow of the switch's bridge with the same priority, match, idle time-out and output
    port; the switch expires idle rules itself (idle meaning: no packet matched, as
    OpenFlow defines it). `bridges` maps dpid numbers to bridge names. Rules of other
    priorities (the bridge's NORMAL rule) are never touched. flows() reads the bridge,
    ordered by first install as far as this backend saw them. An install is answered once
    the datapath's cached flows have been revalidated against it, so that a frame sent
    after the answer meets the new rule, as after an OpenFlow barrier."""

    def __init__(self, bridges, ofctl=("ovs-ofctl", "-O", "OpenFlow13"),
                 settle=("ovs-appctl", "revalidator/wait")):
        self._lock = threading.Lock()
        self._bridges = dict(bridges)
        self._ofctl = list(ofctl)
        self._settle = list(settle)
        self._order = {}  # (dpid, match key) -> install sequence number
        self._seq = 0

    def _run(self, *args, command=None):
        argv = (command or self._ofctl) + list(args)
        done = subprocess.run(argv, capture_output=True, text=True, timeout=30)
        if done.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(argv), done.stderr.strip()))
        return done.stdout

    def _bodies(self, dpid):
        out = self._run("--no-names", "dump-flows", self._bridges[dpid], "tcp")
        bodies = [b for b in (ovs_body(line) for line in out.splitlines()[1:]) if b]
        return bodies

    def _present(self, dpid, body):
        key = flow_match_key(body)
        return any(flow_match_key(b) == key for b in self._bodies(dpid))

    def install(self, dpid, body):
        flow = body["flow"]
        output = flow["instructions"][0]["apply_actions"][0]["output"]
        with self._lock:
            replaced = self._present(dpid, body)
            self._run("add-flow", self._bridges[dpid], "%s,idle_timeout=%d,actions=output:%d"
                      % (ovs_match(body), flow["idle_timeout"], output))
            self._run(command=self._settle)
            key = (dpid, flow_match_key(body))
            if not replaced or key not in self._order:
                self._seq += 1
                self._order[key] = self._seq
            return replaced

    def remove(self, dpid, body):
        with self._lock:
            if not self._present(dpid, body):
                return False
            self._run("--strict", "del-flows", self._bridges[dpid], ovs_match(body))
            self._order.pop((dpid, flow_match_key(body)), None)
            return True

    def flows(self, dpid):
        with self._lock:
            bodies = self._bodies(dpid)
            return sorted(bodies, key=lambda b: self._order.get(
                (dpid, flow_match_key(b)), float("inf")))

    def clear(self):
        with self._lock:
            for dpid, bridge in self._bridges.items():
                for body in self._bodies(dpid):
                    self._run("--strict", "del-flows", bridge, ovs_match(body))
            self._order.clear()


# --------------------------------------------------------------------------- state


class RequestLog:
    """Appends one JSON object per line; each line is flushed before the call returns
    so that a reader sees it before the reply arrives."""

    def __init__(self, path):
        self._lock = threading.Lock()
        self._file = open(path, "a", encoding="utf-8")

    def write(self, entry):
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self._lock:
            self._file.write(line)
            self._file.flush()

    def close(self):
        with self._lock:
            self._file.close()


class Reply:
    """One answer: status, JSON payload (or None for an empty body)."""

    def __init__(self, status, payload=None):
        self.status = status
        self.payload = payload


def error_reply(status, message):
    return Reply(status, {"error": {"status": status, "message": message}})


class Simulator:
    """The controller's behaviour: authentication, faults, routing of /sdn/ requests,
    and the /_sim/ control operations. Thread-safe; one instance per process."""

    def __init__(self, topology, backend, request_log, verbose=False):
        self.topology = topology
        self.backend = backend
        self.request_log = request_log
        self.verbose = verbose
        self.listener = None  # set by the server, used for refuse
        self._lock = threading.Lock()
        self._tokens = {}  # token -> authenticated uses since issue or last limit change
        self.fault_mode = "none"
        self.delay = 0.0
        self.token_expire_after = 0
        # Fault injection for one request: fail_at counts down the /sdn/ requests other
        # than logins; the one it reaches at 0 gets fail_with instead of its answer.
        self.fail_at = None
        self.fail_with = "status500"

    def note(self, message):
        """A diagnostic line on stderr, only with --verbose."""
        if self.verbose:
            print("ctrlsim: %s" % message, file=sys.stderr, flush=True)

    # ---- faults and tokens

    def faults(self):
        """Snapshot (mode, delay) for one request."""
        with self._lock:
            return self.fault_mode, self.delay

    def set_token_expire_after(self, n):
        """Tokens stop being accepted after n more authenticated requests each (0: no
        limit). Use counts start again from zero."""
        with self._lock:
            self.token_expire_after = n
            for token in self._tokens:
                self._tokens[token] = 0

    def expire_tokens(self):
        with self._lock:
            self._tokens.clear()

    def reset(self):
        """Forgets flows, tokens and faults; the request log is kept as it is."""
        self.backend.clear()
        with self._lock:
            self._tokens.clear()
            self.fault_mode = "none"
            self.delay = 0.0
            self.token_expire_after = 0
            self.fail_at = None
        if self.listener is not None:
            self.listener.refuse_for(0)

    def _issue_token(self):
        token = secrets.token_hex(16)
        with self._lock:
            self._tokens[token] = 0
        return token

    def _accept_token(self, token):
        """Counts one authenticated request against `token`; False when the token is
        unknown, expired or used up."""
        if not token:
            return False
        with self._lock:
            uses = self._tokens.get(token)
            if uses is None:
                return False
            if self.token_expire_after and uses >= self.token_expire_after:
                del self._tokens[token]
                return False
            self._tokens[token] = uses + 1
            return True

    # ---- /sdn/ requests

    def api(self, method, path, query, token, body):
        """Answers one /sdn/ request (faults other than delay and not_json applied
        here; those two change only the delivery)."""
        mode, _ = self.faults()
        if mode == "status500":
            return error_reply(500, "simulated internal error")
        rel = path[len(API_PREFIX):] if path.startswith(API_PREFIX + "/") else None
        if rel == "/auth":
            if method != "POST":
                return error_reply(405, "login needs POST")
            return self._login(body, mode)
        if not self._accept_token(token):
            return error_reply(401, "missing, unknown or expired X-Auth-Token")
        with self._lock:
            injected = self.fail_at == 0
            if self.fail_at is not None:
                self.fail_at = None if injected else self.fail_at - 1
            fail_with = self.fail_with
        if injected and fail_with == "ill_typed":
            # The shape of a path reply with a port given as text.
            return Reply(200, {"path": {"links": [
                {"src_dpid": "00:00:00:00:00:00:00:01", "src_port": "2",
                 "dst_dpid": "00:00:00:00:00:00:00:02", "dst_port": 1}]}})
        if injected:
            return error_reply(500, "injected failure")
        if rel is None:
            return error_reply(404, "no such resource")
        parts = rel.strip("/").split("/")
        if len(parts) == 4 and parts[:2] == ["of", "datapaths"] and parts[3] == "flows":
            return self._flows(method, parts[2], body)
        if rel == "/net/nodes":
            return self._nodes(method, query)
        if rel == "/net/paths/forward":
            return self._path(method, query)
        return error_reply(404, "no such resource")

    def _login(self, body, mode):
        try:
            doc = json.loads(body.decode("utf-8"))
            login = doc["login"]
            user, password, domain = login["user"], login["password"], login["domain"]
        except (UnicodeDecodeError, ValueError, KeyError, TypeError):
            return error_reply(400, 'login body must be {"login":{"user","password","domain"}}')
        if (user, password, domain) != (LOGIN_USER, LOGIN_PASSWORD, LOGIN_DOMAIN):
            return error_reply(401, "wrong user, password or domain")
        record = {}
        if mode != "no_token":
            record["token"] = self._issue_token()
        now_ms = int(time.time() * 1000)
        record["expiration"] = now_ms + TOKEN_LIFETIME_MS
        record["expirationDate"] = time.strftime(
            "%Y-%m-%d %H:%M:%S UTC", time.gmtime((now_ms + TOKEN_LIFETIME_MS) / 1000))
        record["userId"] = str(uuid.uuid5(uuid.NAMESPACE_DNS, "ctrlsim-user-" + user))
        record["userName"] = user
        record["domainName"] = domain
        return Reply(200, {"record": record})

    def _flows(self, method, dpid_text, body):
        dpid = dpid_to_int(dpid_text)
        if dpid is None or dpid not in self.topology.adjacency:
            return error_reply(404, "unknown datapath %s" % dpid_text)
        if method == "GET":
            return Reply(200, {"flows": self.backend.flows(dpid)})
        if method not in ("POST", "DELETE"):
            return error_reply(405, "flows take GET, POST or DELETE")
        try:
            doc = json.loads(body.decode("utf-8"))
            check_flow_body(doc)
        except (UnicodeDecodeError, ValueError) as e:
            return error_reply(400, "malformed flow body: %s" % e)
        if method == "POST":
            replaced = self.backend.install(dpid, doc)
            return Reply(201, {"dpid": dpid_colon(dpid), "replaced": replaced})
        if not self.backend.remove(dpid, doc):
            self.note("DELETE of an absent rule on %s" % dpid_colon(dpid))
            return error_reply(404, "no rule with that match on %s" % dpid_colon(dpid))
        return Reply(200, {"dpid": dpid_colon(dpid), "removed": True})

    def _nodes(self, method, query):
        if method != "GET":
            return error_reply(405, "nodes take GET")
        args = parse_qs(query, keep_blank_values=True)
        ip = args.get("ip", [None])[0]
        vid_text = args.get("vid", [None])[0]
        vid = None
        if vid_text not in (None, ""):
            try:
                vid = int(vid_text, 10)
            except ValueError:
                return error_reply(400, "vid must be a decimal number")
        nodes = [
            {"ip": h["ip"], "mac": h["mac"], "dpid": dpid_colon(h["dpid"]), "port": h["port"]}
            for h in self.topology.find_hosts(ip, vid)
        ]
        return Reply(200, {"nodes": nodes})

    def _path(self, method, query):
        if method != "GET":
            return error_reply(405, "paths take GET")
        args = parse_qs(query, keep_blank_values=True)
        texts = [args.get("src_dpid", [None])[0], args.get("dst_dpid", [None])[0]]
        if None in texts:
            return error_reply(400, "src_dpid and dst_dpid are required")
        src, dst = (dpid_to_int(t) for t in texts)
        if src is None or dst is None:
            return error_reply(400, "malformed dpid")
        for value, text in ((src, texts[0]), (dst, texts[1])):
            if value not in self.topology.adjacency:
                return error_reply(404, "unknown datapath %s" % text)
        links = self.topology.shortest_path(src, dst)
        if links is None:
            return error_reply(404, "no path from %s to %s" % (dpid_colon(src), dpid_colon(dst)))
        return Reply(200, {"path": {"links": [
            {"src_dpid": dpid_colon(a), "src_port": pa, "dst_dpid": dpid_colon(b), "dst_port": pb}
            for a, pa, b, pb in links
        ]}})

    # ---- /_sim/ control

    def control(self, method, path, query, body):
        """Answers one /_sim/ request; these bypass faults, tokens and the log."""
        if path == "/_sim/control":
            if method != "POST":
                return error_reply(405, "control takes POST")
            return self._control(body)
        if path == "/_sim/flows":
            if method != "GET":
                return error_reply(405, "flows take GET")
            args = parse_qs(query, keep_blank_values=True)
            if "dpid" not in args:
                return Reply(200, {"switches": {
                    dpid_hex(d): self.backend.flows(d) for d in self.topology.switches}})
            dpid = dpid_to_int(args["dpid"][0])
            if dpid is None or dpid not in self.topology.adjacency:
                return error_reply(404, "unknown datapath %s" % args["dpid"][0])
            return Reply(200, {"flows": self.backend.flows(dpid)})
        if path == "/_sim/reset":
            if method != "POST":
                return error_reply(405, "reset takes POST")
            self.reset()
            return Reply(200, {"ok": True})
        if path == "/_sim/state":
            with self._lock:
                return Reply(200, {"fault": self.fault_mode, "delay": self.delay,
                                   "token_expire_after": self.token_expire_after,
                                   "tokens": len(self._tokens)})
        return error_reply(404, "no such control resource")

    def _control(self, body):
        try:
            doc = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            return error_reply(400, "control body must be a JSON object")
        if not isinstance(doc, dict):
            return error_reply(400, "control body must be a JSON object")
        known = {"fault", "delay", "refuse", "token_expire_after", "expire_tokens", "fail_at",
                 "fail_with"}
        unknown = set(doc) - known
        if unknown:
            return error_reply(400, "unknown control keys: %s" % ", ".join(sorted(unknown)))

        def seconds(key):
            v = doc[key]
            if isinstance(v, bool) or not isinstance(v, (int, float)) or v < 0:
                raise ValueError("%s must be a non-negative number" % key)
            return float(v)

        try:
            if "fault" in doc and doc["fault"] not in FAULT_MODES:
                raise ValueError("fault must be one of %s" % "|".join(FAULT_MODES))
            delay = seconds("delay") if "delay" in doc else None
            refuse = seconds("refuse") if "refuse" in doc else None
            limit = doc.get("token_expire_after")
            if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int)
                                      or limit < 0):
                raise ValueError("token_expire_after must be a non-negative integer")
            if "expire_tokens" in doc and not isinstance(doc["expire_tokens"], bool):
                raise ValueError("expire_tokens must be true or false")
            fail_at = doc.get("fail_at")
            if fail_at is not None and (isinstance(fail_at, bool) or not isinstance(fail_at, int)
                                        or fail_at < 0):
                raise ValueError("fail_at must be a non-negative integer")
            if doc.get("fail_with", "status500") not in ("status500", "ill_typed"):
                raise ValueError("fail_with must be status500 or ill_typed")
        except ValueError as e:
            return error_reply(400, str(e))
        with self._lock:
            if "fault" in doc:
                self.fault_mode = doc["fault"]
                if doc["fault"] == "none":
                    self.delay = 0.0
            if delay is not None:
                self.delay = delay
            if "fail_at" in doc:
                self.fail_at = fail_at
                self.fail_with = doc.get("fail_with", "status500")
        if doc.get("fault") == "drop" and self.listener is not None:
            self.listener.drop_connections()
        if doc.get("fault") == "none" and refuse is None and self.listener is not None:
            self.listener.refuse_for(0)
        if limit is not None:
            self.set_token_expire_after(limit)
        if doc.get("expire_tokens"):
            self.expire_tokens()
        if refuse is not None and self.listener is not None:
            self.listener.refuse_for(refuse)
        self.note("control %s" % json.dumps(doc))
        return Reply(200, {"ok": True})


# --------------------------------------------------------------------------- HTTP


class ClientGone(Exception):
    """The peer closed or broke the connection before a request was complete."""


class BadRequest(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class LineTap:
    """Passes readline() through to `stream` and keeps a copy of every line: the header
    lines exactly as received, before the header parser decodes, strips or drops any."""

    def __init__(self, stream):
        self.stream = stream
        self.lines = []

    def readline(self, limit=-1):
        line = self.stream.readline(limit)
        self.lines.append(line)
        return line


def header_fields(lines):
    """[name, value] for each header field in the raw header lines (up to the empty
    line). The name is the text before the first colon, the value everything after the
    colon and the blanks that follow it, to the end of the line; a folded continuation
    line stays in the value with its line break. Both are decoded as UTF-8, invalid
    bytes replaced; nothing else is changed."""
    fields = []
    for line in lines:
        if line in (b"\r\n", b"\n", b""):
            break
        if line[:1] in (b" ", b"\t") and fields:
            fields[-1] += line
        else:
            fields.append(line)
    out = []
    for field in fields:
        for end in (b"\r\n", b"\n"):
            if field.endswith(end):
                field = field[: -len(end)]
                break
        name, _, value = field.partition(b":")
        out.append([name.decode("utf-8", "replace"),
                    value.lstrip(b" \t").decode("utf-8", "replace")])
    return out


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ctrlsim/1.0"
    timeout = IDLE_TIMEOUT_S
    # Headers and body leave in separate writes; without TCP_NODELAY the body waits for
    # the client's delayed ACK (about 40 ms on every kept-alive request).
    disable_nagle_algorithm = True

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):
        if self.server.sim.verbose:
            super().log_message(format, *args)

    def parse_request(self):
        # The parsed self.headers decodes values as Latin-1, and a malformed line hides
        # every line after it; the log and the framing use the lines as received.
        tap = self.rfile = LineTap(self.rfile)
        try:
            return super().parse_request()
        finally:
            self.rfile = tap.stream
            self.fields = header_fields(tap.lines)

    def header(self, name):
        """The value of the first header field called `name` (any case), or None."""
        name = name.lower()
        return next((v for k, v in self.fields if k.lower() == name), None)

    def do_GET(self):
        self._dispatch("GET")

    def do_POST(self):
        self._dispatch("POST")

    def do_DELETE(self):
        self._dispatch("DELETE")

    def do_PUT(self):
        self._dispatch("PUT")

    def do_PATCH(self):
        self._dispatch("PATCH")

    def do_HEAD(self):
        self._dispatch("HEAD")

    def do_OPTIONS(self):
        self._dispatch("OPTIONS")

    def _read_exact(self, n):
        data = self.rfile.read(n)
        if len(data) != n:
            raise ClientGone()
        return data

    def _read_body(self):
        """The request body, from Content-Length or chunked transfer coding (any
        method). Raises BadRequest for framing errors, ClientGone on a short read."""
        te = self.header("Transfer-Encoding") or ""
        if te:
            if te.strip().lower() != "chunked":
                raise BadRequest(501, "unsupported Transfer-Encoding")
            chunks, total = [], 0
            while True:
                line = self.rfile.readline(1026)
                if not line:
                    raise ClientGone()
                try:
                    size = int(line.split(b";", 1)[0].strip(), 16)
                except ValueError:
                    raise BadRequest(400, "bad chunk size")
                total += size
                if size < 0 or total > MAX_BODY_BYTES:
                    raise BadRequest(413, "body too large")
                if size == 0:
                    while True:  # trailer lines up to the empty line
                        trailer = self.rfile.readline(8194)
                        if not trailer:
                            raise ClientGone()
                        if trailer in (b"\r\n", b"\n"):
                            return b"".join(chunks)
                chunks.append(self._read_exact(size))
                self._read_exact(2)
        length = self.header("Content-Length")
        if length is None:
            return b""
        try:
            n = int(length.strip(), 10)
        except ValueError:
            raise BadRequest(400, "bad Content-Length")
        if n < 0:
            raise BadRequest(400, "bad Content-Length")
        if n > MAX_BODY_BYTES:
            raise BadRequest(413, "body too large")
        return self._read_exact(n)

    def _dispatch(self, method):
        sim = self.server.sim
        split = urlsplit(self.path)
        path, query = split.path, split.query
        logged = path == "/sdn" or path.startswith("/sdn/")
        try:
            body = self._read_body()
        except ClientGone:
            self.close_connection = True
            return
        except BadRequest as e:
            # The rest of the stream cannot be framed any more.
            self.close_connection = True
            body = b""
            reply = error_reply(e.status, str(e))
        else:
            if path.startswith("/_sim/"):
                self._send(sim.control(method, path, query, body), False, 0.0)
                return
            if not logged:
                self._send(error_reply(404, "no such resource"), False, 0.0)
                return
            if sim.faults()[0] == "drop":
                # The controller is down for this request: no answer, no log line.
                self.close_connection = True
                return
            token = self.header("X-Auth-Token")
            reply = sim.api(method, path, query, token.strip() if token else None, body)
        mode, delay = sim.faults()
        if logged:
            sim.request_log.write({
                "method": method,
                "path": path,
                "query": query,
                "headers": self.fields,
                "body": body.decode("utf-8", errors="replace"),
                "status": reply.status,
            })
        self._send(reply, logged and mode == "not_json", delay if logged else 0.0)

    def _send(self, reply, not_json, delay):
        if not_json:
            data, ctype = NOT_JSON_BODY, "text/html"
        elif reply.payload is None:
            data, ctype = b"", "application/json"
        else:
            data, ctype = json.dumps(reply.payload).encode("utf-8"), "application/json"
        if delay > 0:
            time.sleep(delay)
        self.send_response(reply.status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.wfile.flush()


class SimServer(ThreadingHTTPServer):
    """Threaded HTTPS server whose listening socket this class opens and closes itself
    (for the refuse fault). TLS is negotiated in the connection's own thread so that
    a silent client cannot stall the accept loop."""

    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def __init__(self, addr, port, sim, tls_context):
        self.address_family = socket.AF_INET6 if ":" in addr else socket.AF_INET
        super().__init__((addr, port), Handler, bind_and_activate=False)
        self.sim = sim
        self.tls_context = tls_context
        self.listening = False
        self._state_lock = threading.Lock()
        self._refuse_until = 0.0
        self._refuse_ack = threading.Event()
        self._stop = False
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_w, False)
        # Open client connections by the thread that serves each (for the drop fault).
        self._conns_lock = threading.Lock()
        self._conns = {}
        sim.listener = self

    # ---- listening socket

    def _open(self):
        """(Re)creates, binds and starts the listening socket; False when the address
        is not available yet."""
        sock = socket.socket(self.address_family, self.socket_type)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(self.server_address)
            sock.listen(64)
            sock.setblocking(False)
        except OSError:
            sock.close()
            raise
        self.socket = sock
        self.listening = True

    def _close(self):
        if self.listening:
            self.socket.close()
            self.listening = False

    def refuse_for(self, seconds, wait=True):
        """Closes the listening socket for `seconds` (0 ends a refusal now). With
        `wait`, returns once the accept loop has closed it, or after a bounded wait."""
        with self._state_lock:
            self._refuse_until = time.monotonic() + seconds
            self._refuse_ack.clear()
        self.wake()
        if wait and seconds > 0:
            self._refuse_ack.wait(REFUSE_ACK_TIMEOUT_S)

    def wake(self):
        try:
            os.write(self._wake_w, b"x")
        except (BlockingIOError, OSError):
            pass

    def stop(self):
        self._stop = True
        self.wake()

    def drop_connections(self):
        """Shuts down every open client connection but the calling thread's own, as a
        controller going down would: their threads see the end of the stream and close
        them; a client's next request on one fails."""
        me = threading.get_ident()
        with self._conns_lock:
            dropped = [c for t, c in self._conns.items() if t != me]
            for conn in dropped:
                try:
                    # The plain socket call: SSLSocket.shutdown would pull the TLS
                    # object from under the thread that is reading.
                    socket.socket.shutdown(conn, socket.SHUT_RDWR)
                except OSError:
                    pass
        self.sim.note("dropped %d connection(s)" % len(dropped))

    # ---- connections

    def finish_request(self, request, client_address):
        request.settimeout(HANDSHAKE_TIMEOUT_S)
        try:
            conn = self.tls_context.wrap_socket(request, server_side=True)
        except (OSError, ValueError) as e:
            self.sim.note("TLS handshake with %s failed: %s" % (client_address[0], e))
            return
        me = threading.get_ident()
        with self._conns_lock:
            self._conns[me] = conn
        try:
            self.RequestHandlerClass(conn, client_address, self)
        except Exception as e:  # a broken client must never take the server down
            self.sim.note("connection from %s ended: %r" % (client_address[0], e))
        finally:
            # Out of the registry before the descriptor can be reused.
            with self._conns_lock:
                self._conns.pop(me, None)
            try:
                conn.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        if self.sim.verbose:
            super().handle_error(request, client_address)

    def run(self, on_ready):
        """Accept loop until stop(); calls on_ready() the first time it listens. Opens
        and closes the listening socket as the refuse fault asks."""
        first = True
        while not self._stop:
            now = time.monotonic()
            with self._state_lock:
                refusing = now < self._refuse_until
                remaining = self._refuse_until - now
            if refusing and self.listening:
                self._close()
                self.sim.note("refusing connections for %.1f s" % remaining)
            if refusing:
                self._refuse_ack.set()
            elif not self.listening:
                try:
                    self._open()
                except OSError as e:
                    if first:
                        raise
                    self.sim.note("cannot listen again yet: %s" % e)
                    time.sleep(0.1)
                    continue
                if first:
                    first = False
                    on_ready()
                else:
                    self.sim.note("listening again")
            watched = [self._wake_r] + ([self.socket] if self.listening else [])
            timeout = min(0.5, remaining) if refusing else 0.5
            readable, _, _ = select.select(watched, [], [], max(timeout, 0.0))
            if self._wake_r in readable:
                os.read(self._wake_r, 512)
            if self.listening and self.socket in readable:
                try:
                    request, client_address = self.socket.accept()
                except (BlockingIOError, InterruptedError, ConnectionAbortedError):
                    continue
                except OSError as e:
                    self.sim.note("accept failed: %s" % e)
                    continue
                request.setblocking(True)
                self.process_request(request, client_address)
        self._close()

    def shutdown_request(self, request):
        # The TLS wrapper took over (and closed) the descriptor in finish_request;
        # only a socket that was never wrapped is still open here.
        try:
            request.close()
        except OSError:
            pass


# --------------------------------------------------------------------------- start


def make_certificate(directory):
    """A self-signed certificate and key in `directory`; returns (cert, key) paths.
    Raises RuntimeError when openssl fails."""
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    cmd = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
           "-subj", "/CN=ctrlsim", "-keyout", key, "-out", cert]
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise RuntimeError("openssl failed: %s" % e)
    if done.returncode != 0:
        raise RuntimeError("openssl failed: %s" % done.stderr.decode(errors="replace").strip())
    return cert, key


def write_ready(path):
    """Writes "ready\\n" to `path` through a temporary file and a rename."""
    tmp = "%s.tmp.%d" % (path, os.getpid())
    with open(tmp, "w") as f:
        f.write("ready\n")
    os.replace(tmp, path)


def parse_fault(text):
    """One --fault argument -> (name, value). Raises argparse.ArgumentTypeError."""
    name, _, arg = text.partition("=")
    if name in FAULT_MODES:
        if arg:
            raise argparse.ArgumentTypeError("fault %s takes no value" % name)
        return name, None
    if name in ("delay", "refuse"):
        try:
            value = float(arg)
        except ValueError:
            value = -1.0
        if value < 0:
            raise argparse.ArgumentTypeError("%s needs =SECONDS (non-negative)" % name)
        return name, value
    raise argparse.ArgumentTypeError(
        "unknown fault %r (none, no_token, not_json, status500, drop, delay=S, refuse=S)" % text)


def parse_bridge(text):
    """One --ovs-bridge argument -> (dpid number, bridge name)."""
    dpid_text, _, bridge = text.partition("=")
    dpid = dpid_to_int(dpid_text)
    if dpid is None or not bridge:
        raise argparse.ArgumentTypeError("expected DPID=BRIDGE, got %r" % text)
    return dpid, bridge


def split_addr(text):
    """--addr as (host, port or None): "HOST", "HOST:PORT", "[V6]" or "[V6]:PORT"; a bare
    IPv6 address (more than one colon) is a host. Raises ValueError."""
    if text.startswith("["):
        host, bracket, rest = text[1:].partition("]")
        if not bracket or rest[:1] not in ("", ":"):
            raise ValueError("bad address %r" % text)
        port = rest[1:] if rest else None
    elif text.count(":") == 1:
        host, port = text.split(":")
    else:
        host, port = text, None
    if not host:
        raise ValueError("bad address %r: no host" % text)
    if port is not None:
        if not port.isdigit() or not 1 <= int(port) <= 65535:
            raise ValueError("bad port in %r" % text)
        port = int(port)
    return host, port


def parse_args(argv):
    p = argparse.ArgumentParser(prog="ctrlsim.py",
                                description="SDN controller REST simulator (HTTPS).")
    p.add_argument("--addr", default="127.0.0.1:8443",
                   help="HOST or HOST:PORT to listen on (default 127.0.0.1:8443)")
    p.add_argument("--port", type=int, help="port for a bare --addr HOST (default 8443)")
    p.add_argument("--topology", required=True, help="topology JSON file")
    p.add_argument("--log", required=True, help="request log (JSON lines, appended)")
    p.add_argument("--ready-file", help='gets "ready\\n" once connections are accepted')
    p.add_argument("--token-expire-after", type=int, default=0, metavar="N",
                   help="a token is refused after N authenticated requests (0: never)")
    p.add_argument("--fault", action="append", type=parse_fault, default=[],
                   metavar="MODE[=ARG]",
                   help="none, no_token, not_json, status500, drop, delay=S, refuse=S "
                        "(repeatable)")
    p.add_argument("--verbose", action="store_true", help="one stderr line per request")
    p.add_argument("--cert", metavar="FILE",
                   help="certificate (PEM) to present instead of a self-signed one, e.g. "
                        "one issued by a test CA; needs --key")
    p.add_argument("--key", metavar="FILE", help="private key (PEM) of --cert")
    p.add_argument("--ovs-bridge", action="append", type=parse_bridge, default=[],
                   metavar="DPID=BRIDGE",
                   help="apply the rules of switch DPID to Open vSwitch bridge BRIDGE "
                        "(repeatable; given once, needed for every switch)")
    args = p.parse_args(argv)
    if (args.cert is None) != (args.key is None):
        p.error("--cert and --key go together")
    if args.token_expire_after < 0:
        p.error("--token-expire-after must be >= 0")
    try:
        args.addr, port = split_addr(args.addr)
    except ValueError as e:
        p.error("--addr: %s" % e)
    if port is not None and args.port not in (None, port):
        p.error("--addr names port %d, --port %d" % (port, args.port))
    args.port = port or args.port or DEFAULT_PORT
    if not 1 <= args.port <= 65535:
        p.error("--port must be from 1 to 65535")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        topology = Topology.load(args.topology)
    except (OSError, ValueError) as e:
        print("ctrlsim: topology %s: %s" % (args.topology, e), file=sys.stderr)
        return 2
    bridges = dict(args.ovs_bridge)
    missing = sorted(set(topology.switches) - set(bridges))
    if bridges and missing:
        print("ctrlsim: no --ovs-bridge for switch %s" % dpid_colon(missing[0]),
              file=sys.stderr)
        return 2

    # Signals are taken over before anything needs cleaning up, so that a stop during
    # start (certificate generation) still removes the temporary directory.
    stopping = threading.Event()
    server = None

    def on_signal(signum, frame):
        stopping.set()
        if server is not None:
            server.stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    workdir = tempfile.mkdtemp(prefix="ctrlsim-")
    request_log = None
    try:
        try:
            cert, key = (args.cert, args.key) if args.cert else make_certificate(workdir)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            request_log = RequestLog(args.log)
        except (RuntimeError, OSError, ssl.SSLError) as e:
            print("ctrlsim: %s" % e, file=sys.stderr)
            return 2

        backend = OvsFlowBackend(bridges) if bridges else MemoryFlowBackend()
        sim = Simulator(topology, backend, request_log, args.verbose)
        sim.set_token_expire_after(args.token_expire_after)
        refuse = 0.0
        for name, value in args.fault:
            if name in FAULT_MODES:
                sim.fault_mode = name
                if name == "none":
                    sim.delay = 0.0
            elif name == "delay":
                sim.delay = value
            else:
                refuse = value
        server = SimServer(args.addr, args.port, sim, context)
        if stopping.is_set():
            return 0
        if refuse > 0:
            server.refuse_for(refuse, wait=False)

        host = "[%s]" % args.addr if ":" in args.addr else args.addr

        def on_ready():
            if args.ready_file:
                write_ready(args.ready_file)
            print("ctrlsim listening on https://%s:%d" % (host, args.port), flush=True)

        try:
            server.run(on_ready)
        except OSError as e:
            print("ctrlsim: cannot listen on %s:%d: %s" % (args.addr, args.port, e),
                  file=sys.stderr)
            return 1
        return 0
    finally:
        if request_log is not None:
            request_log.close()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

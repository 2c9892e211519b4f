"""The controller's behaviour behind the HTTP layer: authentication and tokens, faults,
the /sdn/ requests and the /_sim/ control operations, and the request log."""

import json
import secrets
import sys
import threading
import time
import uuid
from urllib.parse import parse_qs

from sim_flows import BackendError, check_flow_body
from sim_topology import dpid_colon, dpid_hex, dpid_to_int

API_PREFIX = "/sdn/v2.0"
LOGIN_USER = "sdn"
LOGIN_PASSWORD = "quorbit"
LOGIN_DOMAIN = "sdn"
# Wall-clock lifetime announced in the login reply; tokens are never timed out by
# the clock, only by the use count (token_expire_after) or expire_tokens.
TOKEN_LIFETIME_MS = 24 * 3600 * 1000
FAULT_MODES = ("none", "no_token", "not_json", "status500", "drop")


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
        try:
            if method == "POST":
                replaced = self.backend.install(dpid, doc)
                return Reply(201, {"dpid": dpid_colon(dpid), "replaced": replaced})
            removed = self.backend.remove(dpid, doc)
        except BackendError as e:
            self.note("%s of a rule on %s failed: %s" % (method, dpid_colon(dpid), e))
            return error_reply(e.status, str(e))
        if not removed:
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

"""Flow rules: the balancer's body shape and its check, and where rules are kept
(FlowBackend; the in-memory MemoryFlowBackend)."""

import ipaddress
import json
import threading
import time


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


class BackendError(Exception):
    """A rule the switches did not take: `status` is the HTTP status that answers the
    request (502 refused by the switch, 503 switch not connected, 504 no confirmation
    in time)."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class FlowBackend:
    """Where flow rules go. The simulator calls these with a switch's dpid number and
    the parsed request body; a backend may program real switches as long as it
    keeps the same answers. A rule with a non-zero idle_timeout goes by itself once
    that many seconds pass without it being installed again, as on a switch; it is then
    no longer listed nor removable. Implementations must be thread-safe."""

    def install(self, dpid, body):
        """Adds the rule, or replaces the rule with the same match and restarts its
        idle time. Returns True when a rule was replaced. Raises BackendError when the
        switch did not take it (nothing changes then)."""
        raise NotImplementedError

    def remove(self, dpid, body):
        """Removes the rule with the same match as `body`. Returns False when the
        switch has no such rule (nothing changes then). Raises BackendError when the
        switch did not remove it."""
        raise NotImplementedError

    def flows(self, dpid):
        """The bodies of the rules on the switch, oldest install first."""
        raise NotImplementedError

    def clear(self):
        """Removes every rule from every switch."""
        raise NotImplementedError

    def close(self):
        """Lets go of the switches at exit."""


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

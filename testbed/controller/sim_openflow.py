"""The simulator as the OpenFlow 1.3 controller of Open vSwitch bridges: the bridges
connect to a Unix socket it listens on, and the balancer's rules become flow-mods on
their connections, each confirmed by a barrier. Messages are built and parsed with
os-ken's OpenFlow library (Debian's python3-os-ken); the connections are served by one
plain thread, so nothing here needs eventlet or touches the HTTP server's threads."""

import os
import selectors
import socket
import struct
import subprocess
import sys
import threading
import time

from sim_flows import BackendError, FlowBackend, flow_match_key
from sim_topology import dpid_colon

try:
    from os_ken.ofproto import ofproto_parser
except ImportError:
    # Debian installs the library for its own interpreter; a python3 found first on
    # PATH (pyenv, a virtualenv) does not look there.
    sys.path.append("/usr/lib/python3/dist-packages")
    from os_ken.ofproto import ofproto_parser
from os_ken.ofproto import ofproto_v1_3 as ofp
from os_ken.ofproto import ofproto_v1_3_parser as parser

# Every rule this simulator installs carries a cookie with this tag in its upper half
# and a serial number in its lower half: a flow-removed message names the install it
# ends, and a reset deletes exactly the simulator's rules.
COOKIE_TAG = 0x63746C73 << 32
COOKIE_TAG_MASK = 0xFFFFFFFF << 32
HEADER = struct.Struct("!BBHI")  # version, type, length, xid
ETH_TYPE_IPV4 = 0x0800
IP_PROTO_TCP = 6
# A flow-mod is answered 504 when its barrier reply takes longer than this.
CONFIRM_TIMEOUT_S = 10


class _Datapath:
    """What os-ken's message classes read their protocol version and constants from."""

    ofproto = ofp
    ofproto_parser = parser


_DP = _Datapath()


class _Pending:
    """One flow-mod waiting for its barrier reply: the error the switch sent for it, if
    any, or why the connection ended."""

    def __init__(self):
        self.done = threading.Event()
        self.error = None
        self.status = 502


class _Switch:
    """One bridge connection. `dpid` is None until the features reply names it."""

    def __init__(self, sock):
        self.sock = sock
        self.dpid = None
        self.buf = bytearray()
        self.send_lock = threading.Lock()
        self.pending = {}  # xid -> _Pending (the backend's lock guards it)
        self.closed = False

    def send(self, *msgs):
        """Serialises the messages (their xids set) and writes them in one piece. Raises
        OSError when the connection is broken."""
        data = b""
        for msg in msgs:
            msg.serialize()
            data += bytes(msg.buf)
        with self.send_lock:
            self.sock.sendall(data)


class _Rule:
    def __init__(self, body, cookie):
        self.body = body
        self.cookie = cookie


def flow_mod(command, body, cookie=0):
    """The flow-mod for a balancer-shaped body: ADD (with idle time-out, output and a
    flow-removed request) or DELETE_STRICT (match and priority only)."""
    flow = body["flow"]
    fields = {name: value for field in flow["match"] for name, value in field.items()}
    match = parser.OFPMatch(in_port=fields["in_port"], eth_type=ETH_TYPE_IPV4,
                            ip_proto=IP_PROTO_TCP, ipv4_src=fields["ipv4_src"],
                            ipv4_dst=fields["ipv4_dst"], tcp_src=fields["tcp_src"],
                            tcp_dst=fields["tcp_dst"])
    instructions = []
    flags = 0
    if command == ofp.OFPFC_ADD:
        output = flow["instructions"][0]["apply_actions"][0]["output"]
        instructions = [parser.OFPInstructionActions(
            ofp.OFPIT_APPLY_ACTIONS, [parser.OFPActionOutput(output, ofp.OFPCML_NO_BUFFER)])]
        flags = ofp.OFPFF_SEND_FLOW_REM
    return parser.OFPFlowMod(
        _DP, cookie=cookie, cookie_mask=0, table_id=flow["table_id"], command=command,
        idle_timeout=flow["idle_timeout"] if command == ofp.OFPFC_ADD else 0,
        hard_timeout=0, priority=flow["priority"], buffer_id=ofp.OFP_NO_BUFFER,
        out_port=ofp.OFPP_ANY, out_group=ofp.OFPG_ANY, flags=flags, match=match,
        instructions=instructions)


def _delete_own_rules():
    """A flow-mod deleting every rule of every table that carries the simulator's tag."""
    return parser.OFPFlowMod(
        _DP, cookie=COOKIE_TAG, cookie_mask=COOKIE_TAG_MASK, table_id=ofp.OFPTT_ALL,
        command=ofp.OFPFC_DELETE, out_port=ofp.OFPP_ANY, out_group=ofp.OFPG_ANY,
        match=parser.OFPMatch())


def _normal_rule():
    """The lowest-priority rule that hands every frame to the switch's own learning
    (NORMAL), as a bridge without a controller has it."""
    return parser.OFPFlowMod(
        _DP, table_id=0, command=ofp.OFPFC_ADD, priority=0, match=parser.OFPMatch(),
        instructions=[parser.OFPInstructionActions(
            ofp.OFPIT_APPLY_ACTIONS, [parser.OFPActionOutput(ofp.OFPP_NORMAL, 0)])])


class OpenFlowBackend(FlowBackend):
    """Programs Open vSwitch bridges as their OpenFlow 1.3 controller. `bridges` maps
    dpid numbers to bridge names; start() points each bridge at `socket_path` (which
    must lie in Open vSwitch's run directory: it refuses Unix controllers elsewhere)
    with `ovs-vsctl set-controller` and waits for all of them; the bridge's fail mode
    is left as it is. On every connection the bridge gets a NORMAL rule at priority 0
    (it forwards everything else) and loses the rules an earlier run left.

    An install or removal is one flow-mod followed by a barrier request on the bridge's
    connection, answered when the barrier reply comes: an OpenFlow error for the
    flow-mod raises BackendError 502, a bridge that is not connected 503, a barrier
    that does not come 504. The rules are kept in memory as installed, in install
    order; the bridge expires idle ones itself and its flow-removed messages take them
    out, so flows() lists what the switch holds without asking it. A bridge that
    (re)connects loses every rule of this simulator, on the switch and here, so the
    two never disagree after a reconnection in which flow-removed messages were lost.

    Threads: one serving thread reads every connection; callers block in their own
    threads on a _Pending. `_lock` guards the connection map, the pending maps and the
    rule tables; it is never held while waiting or calling out."""

    def __init__(self, bridges, socket_path, vsctl=("ovs-vsctl", "--timeout=10"),
                 note=lambda message: None):
        self._bridges = dict(bridges)
        self._path = socket_path
        self._vsctl = list(vsctl)
        self._note = note
        self._lock = threading.Lock()
        self._connected = threading.Condition(self._lock)
        self._switches = {}  # dpid -> connected _Switch
        self._tables = {d: {} for d in self._bridges}  # dpid -> match key -> _Rule
        self._by_cookie = {}  # cookie -> (dpid, match key)
        self._serial = 0
        self._xid = 0
        self._listener = None
        self._wake_r = self._wake_w = None
        self._thread = None
        self._stop = False
        self._pointed = False

    # ---- life cycle

    def start(self, timeout, stopping):
        """Listens, points the bridges here and waits until every one is connected.
        Raises RuntimeError when a bridge cannot be set or has not connected within
        `timeout` seconds; returns early (False) once `stopping` is set."""
        if os.path.exists(self._path):
            os.unlink(self._path)
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(self._path)
        self._listener.listen(16)
        self._wake_r, self._wake_w = os.pipe()
        self._thread = threading.Thread(target=self._serve, name="openflow", daemon=True)
        self._thread.start()
        self._vsctl_run([a for br in self._bridges.values()
                         for a in ("--", "set-controller", br, "unix:" + self._path)])
        self._pointed = True
        deadline = time.monotonic() + timeout
        with self._connected:
            while set(self._switches) != set(self._bridges):
                if stopping.is_set():
                    return False
                if time.monotonic() >= deadline:
                    missing = sorted(set(self._bridges) - set(self._switches))
                    raise RuntimeError("bridge %s (dpid %s) has not connected" % (
                        self._bridges[missing[0]], dpid_colon(missing[0])))
                self._connected.wait(0.1)
        return True

    def close(self):
        """Takes the bridges' controller away again and closes every connection. Open
        vSwitch then flushes the bridges' rules and puts back its own NORMAL rule, as
        for a bridge that never had a controller."""
        if self._pointed:
            for bridge in self._bridges.values():  # one by one: some may be gone
                try:
                    self._vsctl_run(["del-controller", bridge])
                except RuntimeError as e:
                    self._note(str(e))
        self._stop = True
        if self._wake_w is not None:
            os.write(self._wake_w, b"x")
        if self._thread is not None:
            self._thread.join(2)
        if self._listener is not None:
            self._listener.close()
            try:
                os.unlink(self._path)
            except OSError:
                pass

    def _vsctl_run(self, args):
        argv = self._vsctl + args
        try:
            done = subprocess.run(argv, capture_output=True, text=True, timeout=30)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise RuntimeError("%s: %s" % (" ".join(argv), e))
        if done.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(argv), done.stderr.strip()))

    # ---- FlowBackend

    def install(self, dpid, body):
        key = flow_match_key(body)
        with self._lock:
            self._serial = (self._serial + 1) & 0xFFFFFFFF
            cookie = COOKIE_TAG | self._serial
            table = self._tables[dpid]
            rule = table.get(key)
            replaced = rule is not None
            if rule is not None:
                # From now on a flow-removed for the rule being replaced is stale.
                old_cookie = rule.cookie
                self._by_cookie.pop(old_cookie, None)
                rule.cookie = cookie
                self._by_cookie[cookie] = (dpid, key)
        try:
            self._confirm(dpid, flow_mod(ofp.OFPFC_ADD, body, cookie))
        except BackendError:
            with self._lock:
                if rule is not None and table.get(key) is rule and rule.cookie == cookie:
                    self._by_cookie.pop(cookie, None)
                    rule.cookie = old_cookie
                    self._by_cookie[old_cookie] = (dpid, key)
            raise
        with self._lock:
            current = table.get(key)
            if current is None:
                table[key] = _Rule(body, cookie)
            else:
                self._by_cookie.pop(current.cookie, None)
                current.body, current.cookie = body, cookie
            self._by_cookie[cookie] = (dpid, key)
        return replaced

    def remove(self, dpid, body):
        key = flow_match_key(body)
        with self._lock:
            if key not in self._tables[dpid]:
                return False
        self._confirm(dpid, flow_mod(ofp.OFPFC_DELETE_STRICT, body))
        with self._lock:
            rule = self._tables[dpid].pop(key, None)
            if rule is not None:
                self._by_cookie.pop(rule.cookie, None)
        return True

    def flows(self, dpid):
        with self._lock:
            return [rule.body for rule in self._tables.get(dpid, {}).values()]

    def clear(self):
        for dpid in self._bridges:
            try:
                self._confirm(dpid, _delete_own_rules())
            except BackendError as e:
                self._note("reset of %s: %s" % (dpid_colon(dpid), e))
        with self._lock:
            for table in self._tables.values():
                table.clear()
            self._by_cookie.clear()

    # ---- requests

    def _next_xid(self):
        """The caller holds the lock."""
        self._xid = (self._xid + 1) & 0xFFFFFFFF
        return self._xid

    def _confirm(self, dpid, msg):
        """Sends `msg` and a barrier request to the switch and waits for the barrier
        reply. Raises BackendError when the switch refuses `msg`, is not connected, or
        does not answer in time."""
        pending = _Pending()
        barrier = parser.OFPBarrierRequest(_DP)
        with self._lock:
            switch = self._switches.get(dpid)
            if switch is None:
                raise BackendError(503, "switch %s is not connected" % dpid_colon(dpid))
            msg.set_xid(self._next_xid())
            barrier.set_xid(self._next_xid())
            switch.pending[msg.xid] = switch.pending[barrier.xid] = pending
        try:
            try:
                switch.send(msg, barrier)
            except OSError as e:
                raise BackendError(503, "switch %s: %s" % (dpid_colon(dpid), e))
            if not pending.done.wait(CONFIRM_TIMEOUT_S):
                raise BackendError(504, "switch %s did not confirm within %d s"
                                   % (dpid_colon(dpid), CONFIRM_TIMEOUT_S))
        finally:
            with self._lock:
                switch.pending.pop(msg.xid, None)
                switch.pending.pop(barrier.xid, None)
        if pending.error is not None:
            raise BackendError(pending.status, "switch %s: %s" % (dpid_colon(dpid),
                                                                  pending.error))

    # ---- the connections

    def _serve(self):
        sel = selectors.DefaultSelector()
        sel.register(self._listener, selectors.EVENT_READ)
        sel.register(self._wake_r, selectors.EVENT_READ)
        while not self._stop:
            for key, _ in sel.select(1.0):
                if key.fileobj is self._listener:
                    try:
                        conn, _ = self._listener.accept()
                    except OSError as e:
                        self._note("openflow accept failed: %s" % e)
                        continue
                    switch = _Switch(conn)
                    sel.register(conn, selectors.EVENT_READ, switch)
                    self._send_quietly(switch, parser.OFPHello(_DP, elements=[
                        parser.OFPHelloElemVersionBitmap([ofp.OFP_VERSION])]))
                elif key.fileobj == self._wake_r:
                    os.read(self._wake_r, 64)
                else:
                    switch = key.data
                    try:
                        data = switch.sock.recv(65536)
                    except OSError:
                        data = b""
                    if data:
                        switch.buf += data
                        try:
                            self._messages(switch)
                        except Exception as e:  # a bad message ends that connection only
                            self._note("openflow connection dropped: %r" % e)
                            data = b""
                    if not data:
                        sel.unregister(switch.sock)
                        self._drop(switch)
        for key in list(sel.get_map().values()):
            if isinstance(key.data, _Switch):
                self._drop(key.data)
        sel.close()

    def _send_quietly(self, switch, msg):
        """Sends a message the serving thread originates (its xid set here); a broken
        connection shows as the end of its stream."""
        if msg.xid is None:
            with self._lock:
                msg.set_xid(self._next_xid())
        try:
            switch.send(msg)
        except OSError:
            pass

    def _drop(self, switch):
        """Forgets a closed connection and fails whatever waits on it."""
        switch.sock.close()
        with self._lock:
            switch.closed = True
            if switch.dpid is not None and self._switches.get(switch.dpid) is switch:
                del self._switches[switch.dpid]
                self._note("switch %s disconnected" % dpid_colon(switch.dpid))
            waiting = list(switch.pending.values())
            switch.pending.clear()
        for pending in waiting:
            pending.error, pending.status = "connection closed", 503
            pending.done.set()

    def _messages(self, switch):
        """Handles every complete message in the connection's buffer."""
        while len(switch.buf) >= HEADER.size:
            version, msg_type, length, xid = HEADER.unpack_from(switch.buf)
            if length < HEADER.size:
                raise ValueError("message length %d" % length)
            if len(switch.buf) < length:
                return
            data = bytes(switch.buf[:length])
            del switch.buf[:length]
            if msg_type == ofp.OFPT_HELLO:
                # The switch picks OpenFlow 1.3 from our hello or fails it.
                self._send_quietly(switch, parser.OFPFeaturesRequest(_DP))
                continue
            if version != ofp.OFP_VERSION:
                raise ValueError("OpenFlow version %d" % version)
            self._message(switch, msg_type, xid, data)

    def _message(self, switch, msg_type, xid, data):
        if msg_type == ofp.OFPT_ECHO_REQUEST:
            reply = parser.OFPEchoReply(_DP, data=data[HEADER.size:])
            reply.set_xid(xid)
            self._send_quietly(switch, reply)
        elif msg_type == ofp.OFPT_FEATURES_REPLY:
            self._features(switch, self._parse(msg_type, xid, data).datapath_id)
        elif msg_type == ofp.OFPT_ERROR:
            error = self._parse(msg_type, xid, data)
            text = "refused: %s %s" % (ofp.ofp_error_type_to_str(error.type),
                                       ofp.ofp_error_code_to_str(error.type, error.code))
            with self._lock:
                pending = switch.pending.get(xid)
                if pending is not None and pending.error is None:
                    pending.error = text
            if pending is None:
                self._note("switch %s sent %s" % (dpid_colon(switch.dpid or 0), text))
        elif msg_type == ofp.OFPT_BARRIER_REPLY:
            with self._lock:
                pending = switch.pending.get(xid)
            if pending is not None:
                pending.done.set()
        elif msg_type == ofp.OFPT_FLOW_REMOVED:
            cookie = self._parse(msg_type, xid, data).cookie
            with self._lock:
                where = self._by_cookie.get(cookie)
                if where is not None and where[0] == switch.dpid:
                    del self._by_cookie[cookie]
                    self._tables[where[0]].pop(where[1], None)
        # Port status and every other message: nothing this simulator needs.

    @staticmethod
    def _parse(msg_type, xid, data):
        return ofproto_parser.msg(_DP, ofp.OFP_VERSION, msg_type, len(data), xid, data)

    def _features(self, switch, dpid):
        if dpid not in self._bridges:
            self._note("a switch with the unknown dpid %s connected" % dpid_colon(dpid))
            raise ValueError("unknown dpid %s" % dpid_colon(dpid))
        # Before the connection is registered, so that no install can come first. Open
        # vSwitch flushes a bridge's rules when it gets its first controller, its NORMAL
        # rule included: that rule is put back for everything the balancer does not steer.
        self._send_quietly(switch, _delete_own_rules())
        self._send_quietly(switch, _normal_rule())
        with self._lock:
            old = self._switches.get(dpid)
            switch.dpid = dpid
            self._switches[dpid] = switch
            for rule in self._tables[dpid].values():
                self._by_cookie.pop(rule.cookie, None)
            self._tables[dpid].clear()
            self._connected.notify_all()
        if old is not None:
            # The new connection replaces it; its reader sees the end of the stream.
            try:
                old.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._note("switch %s connected" % dpid_colon(dpid))

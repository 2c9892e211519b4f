"""Datapath ids in their three written forms, and the static network the simulator
answers host and path queries from."""

import json

HEX_DIGITS = frozenset("0123456789abcdef")


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

#!/usr/bin/env python3
"""ctrlsim: a stand-in for the SDN controller's REST interface.

Answers the five requests the balancer makes (login, flow install, flow removal,
host attachment query, forward path query) over HTTPS from a static topology
file, keeps the installed flow rules per switch, records every /sdn/ request in
a JSON-lines log and can be told to misbehave (faults) at start or at run time
through the /_sim/ control endpoints. With --ovs-bridge it is the OpenFlow
controller of Open vSwitch bridges and puts the rules on them (sim_openflow.py,
needs python3-os-ken); otherwise it needs the Python 3 standard library only. The
certificate is made with the openssl command line at start.

This file is the start: the command line, the certificate, signals. The rest lives
beside it: sim_http.py (HTTPS server), sim_api.py (requests and control),
sim_flows.py (flow bodies, memory backend), sim_topology.py, sim_openflow.py.
See README.md beside this file for the command line and the reply shapes.
"""

import argparse
import os
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading

from sim_api import FAULT_MODES, RequestLog, Simulator
from sim_flows import MemoryFlowBackend
from sim_http import SimServer
from sim_topology import Topology, dpid_colon, dpid_to_int

DEFAULT_PORT = 8443  # the balancer always talks to port 8443
# How long the start waits for every bridge to connect.
SWITCH_CONNECT_TIMEOUT_S = 30


def openflow_socket_path():
    """Where the bridges reach the simulator: a Unix socket in Open vSwitch's run
    directory, the only place it accepts Unix controllers from; a file system path
    also crosses the network namespaces the testbed puts the simulator in."""
    rundir = os.environ.get("OVS_RUNDIR", "/var/run/openvswitch")
    return os.path.join(rundir, "ctrlsim.%d.sock" % os.getpid())


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
                   help="be the OpenFlow controller of Open vSwitch bridge BRIDGE and "
                        "put the rules of switch DPID on it (repeatable; given once, "
                        "needed for every switch)")
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
    backend = None
    try:
        try:
            cert, key = (args.cert, args.key) if args.cert else make_certificate(workdir)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            request_log = RequestLog(args.log)
        except (RuntimeError, OSError, ssl.SSLError) as e:
            print("ctrlsim: %s" % e, file=sys.stderr)
            return 2

        sim = Simulator(topology, None, request_log, args.verbose)
        if bridges:
            try:
                from sim_openflow import OpenFlowBackend
            except ImportError as e:
                print("ctrlsim: --ovs-bridge needs python3-os-ken: %s" % e, file=sys.stderr)
                return 2
            backend = OpenFlowBackend(bridges, openflow_socket_path(), note=sim.note)
            try:
                if not backend.start(SWITCH_CONNECT_TIMEOUT_S, stopping):
                    return 0
            except (RuntimeError, OSError) as e:
                print("ctrlsim: %s" % e, file=sys.stderr)
                return 2
        else:
            backend = MemoryFlowBackend()
        sim.backend = backend
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
        if backend is not None:
            backend.close()
        if request_log is not None:
            request_log.close()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

"""The HTTPS side: a threaded server that opens and closes its own listening socket
(refuse fault), drops its clients (drop fault), reads requests exactly as sent and
hands them to the Simulator."""

import json
import os
import select
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

from sim_api import error_reply

MAX_BODY_BYTES = 1 << 20
HANDSHAKE_TIMEOUT_S = 10
IDLE_TIMEOUT_S = 60
# How long a control request waits for the accept loop to close the listening
# socket before it answers anyway.
REFUSE_ACK_TIMEOUT_S = 5
NOT_JSON_BODY = b"<html><body>ctrlsim: simulated non-JSON reply</body></html>\n"


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
        if delay > 0 and self.server.stopped.wait(delay):
            # Stopping: the held reply is not sent.
            self.close_connection = True
            return
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
        self.stopped = threading.Event()
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
        self.stopped.set()
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

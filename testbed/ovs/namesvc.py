#!/usr/bin/env python3
"""A TCP service for the testbed's server hosts: every connection is answered with the
host's name and a line end, then everything the client sends is echoed back until the
client closes its side. Python 3 standard library only.

    namesvc.py NAME PORT
"""
import socket
import socketserver
import sys


class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.sendall(self.server.name)
        while True:
            data = self.request.recv(65536)
            if not data:
                break
            self.request.sendall(data)
        self.request.shutdown(socket.SHUT_WR)


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    name, port = sys.argv[1], int(sys.argv[2])
    with Server(("0.0.0.0", port), Echo) as server:
        server.name = (name + "\n").encode()
        server.serve_forever()


if __name__ == "__main__":
    main()

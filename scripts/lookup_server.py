#!/usr/bin/env python3
"""Queue-name endpoint for the demo and the tests: answers
POST /remoteService/getmqname.asp on loopback with a chosen body and status.

  lookup_server.py [--port N] [--port-file F] [--body TEXT] [--status N]
                   [--pieces N] [--silent] [--log F]

--body takes backslash escapes (\\n, \\r, \\x00). --pieces sends the body as that many
chunks, a moment apart, so that the client receives it in several pieces. --silent accepts
connections and never answers. --port 0 (the default) takes a free port; --port-file then
tells which. Every request is appended to --log as "METHOD PATH BODY-LENGTH".
Runs until it gets SIGTERM or SIGINT.
"""
import argparse
import codecs
import os
import http.server
import signal
import sys
import threading
import time

PATH = "/remoteService/getmqname.asp"


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    p.add_argument("--body", default="")
    p.add_argument("--status", type=int, default=200)
    p.add_argument("--pieces", type=int, default=1)
    p.add_argument("--silent", action="store_true")
    p.add_argument("--log")
    args = p.parse_args()
    args.body = codecs.decode(args.body, "unicode_escape").encode("latin-1")
    return args


def make_handler(args):
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *unused):
            pass

        def record(self, length):
            if args.log:
                with log_lock, open(args.log, "a") as f:
                    f.write(f"{self.command} {self.path} {length}\n")

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            self.rfile.read(length)
            self.record(length)
            if args.silent:
                threading.Event().wait()
            if self.path != PATH:
                self.send_error(404)
                return
            self.send_response(args.status)
            self.send_header("Content-Type", "text/plain")
            if args.pieces > 1:
                self.send_chunked()
            else:
                self.send_header("Content-Length", str(len(args.body)))
                self.end_headers()
                self.wfile.write(args.body)

        def send_chunked(self):
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            step = max(1, -(-len(args.body) // args.pieces))
            for i in range(0, len(args.body), step):
                piece = args.body[i:i + step]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
                time.sleep(0.1)
            self.wfile.write(b"0\r\n\r\n")

        def do_GET(self):
            self.record(0)
            self.send_error(405)

    return Handler


def serve(handler, port, port_file):
    """Serves `handler` on loopback `port` (0: a free one, written to `port_file` when given)
    until SIGTERM or SIGINT; the tests' other endpoints serve through this too."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    server.daemon_threads = True
    if port_file:
        with open(port_file + ".tmp", "w") as f:
            f.write(f"{server.server_address[1]}\n")
        os.replace(port_file + ".tmp", port_file)
    signal.signal(signal.SIGTERM, lambda *unused: sys.exit(0))
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


def main():
    args = parse_args()
    serve(make_handler(args), args.port, args.port_file)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""An OTLP/HTTP trace receiver for the tests: POST /v1/traces on loopback, each JSON body
appended to --log as one line, answered 200 "{}" after --delay seconds.

  otlp_collector.py --port N [--port-file F] [--log F] [--delay S]

Runs until it gets SIGTERM or SIGINT.
"""
import argparse
import http.server
import json
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts"))
from lookup_server import serve  # noqa: E402


def make_handler(args):
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *unused):
            pass

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            time.sleep(args.delay)
            if self.path != "/v1/traces" or self.headers.get("Content-Type") != "application/json":
                self.send_error(404 if self.path != "/v1/traces" else 415)
                return
            if args.log:
                line = json.dumps(json.loads(body))
                with log_lock, open(args.log, "a") as f:
                    f.write(line + "\n")
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"{}")

    return Handler


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    p.add_argument("--log")
    p.add_argument("--delay", type=float, default=0)
    args = p.parse_args()
    serve(make_handler(args), args.port, args.port_file)


if __name__ == "__main__":
    main()

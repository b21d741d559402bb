#!/usr/bin/python3
"""A time-stamping authority over HTTP (RFC 3161) for the signing tests: answers each POSTed request
with `openssl ts -reply`, set up by make_test_ca.sh. Prints its port, then serves until killed.

  tsa_server.py CA_DIR
"""
import http.server
import os
import subprocess
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", CONFIG, "-queryfile", "/dev/stdin",
                                "-out", "/dev/stdout"], input=query, capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    CONFIG = os.path.join(sys.argv[1], "tsa.cnf")
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()

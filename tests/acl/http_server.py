#!/usr/bin/python3
"""A small threaded HTTP server on loopback for the list and report URL tests.

GET /<name>         the file <root>/<name> (200), or a 404 with an HTML error page
GET /status/<code>  that status with an HTML error page
GET /hang           reads the request and never answers (until --lifetime ends)

Every request is appended to <root>/../requests.log as "<path>\t<user agent>". The chosen port is
written to --port-file once the socket listens. The server ends by itself after --lifetime seconds.
"""
import argparse
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ERROR_PAGE = "<html><head><title>{0}</title></head><body><h1>{0} Error</h1></body></html>\n"


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # quiet
        pass

    def record(self):
        with self.server.log_lock:
            with open(self.server.request_log, "a") as f:
                f.write("%s\t%s\n" % (self.path, self.headers.get("User-Agent", "")))

    def send(self, code, body, ctype="text/plain"):
        data = body if isinstance(body, bytes) else body.encode()
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.record()
        path = self.path.split("?", 1)[0]
        if path == "/hang":
            time.sleep(self.server.lifetime)
            return
        if path.startswith("/status/"):
            code = int(path[len("/status/"):])
            self.send(code, ERROR_PAGE.format(code), "text/html")
            return
        name = os.path.normpath(path.lstrip("/"))
        full = os.path.join(self.server.root, name)
        if name.startswith("..") or not os.path.isfile(full):
            self.send(404, ERROR_PAGE.format(404), "text/html")
            return
        with open(full, "rb") as f:
            self.send(200, f.read())


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--port-file", required=True)
    p.add_argument("--lifetime", type=float, default=300)
    a = p.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = a.root
    server.lifetime = a.lifetime
    server.request_log = os.path.join(os.path.dirname(os.path.abspath(a.root)), "requests.log")
    server.log_lock = threading.Lock()
    tmp = a.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, a.port_file)
    threading.Timer(a.lifetime, lambda: os._exit(0)).start()
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())

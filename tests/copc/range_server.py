"""A small HTTP(S) server for the tests: serves one folder on 127.0.0.1 with byte ranges.

Prints its port on the first line, then one line per request it answers:
"GET <range> <requests in flight, this one included>".
--ignore-ranges answers every request with the whole file (200); --fail-first N answers the
first N requests with 503, as a server under load does; --fail-at N answers the Nth request
alone with 503; --delay S holds every answer S seconds, so that requests sent together are seen
together; --tls CERT KEY serves HTTPS.
"""
import http.server
import os
import re
import ssl
import sys
import threading
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    failures_left = 0
    fail_at = 0
    delay = 0.0
    ignore_ranges = False
    root = "."
    lock = threading.Lock()
    in_flight = 0
    answered = 0

    def log_message(self, *args):
        pass

    def do_GET(self):
        with Handler.lock:
            Handler.in_flight += 1
            Handler.answered += 1
            number, flying = Handler.answered, Handler.in_flight
            fail = Handler.failures_left > 0 or number == Handler.fail_at
            if Handler.failures_left > 0:
                Handler.failures_left -= 1
            # One write per line, under the lock: lines of threads must not interleave.
            sys.stdout.write(f"GET {self.headers.get('Range', '-')} {flying}\n")
            sys.stdout.flush()
        try:
            time.sleep(Handler.delay)
            self.answer(fail)
        finally:
            with Handler.lock:
                Handler.in_flight -= 1

    def answer(self, fail):
        path = os.path.join(self.root, os.path.basename(self.path))
        if fail:
            self.send_error(503)
            return
        if not os.path.isfile(path):
            self.send_error(404)
            return
        size = os.path.getsize(path)
        match = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
        first, last = 0, size - 1
        if match and not self.ignore_ranges:
            first, last = int(match[1]), min(int(match[2]), size - 1)
            if first >= size:
                self.send_error(416)
                return
        # Only the range is read: a large file is served as fast as a small one.
        with open(path, "rb") as f:
            f.seek(first)
            body = f.read(last + 1 - first)
        if match and not self.ignore_ranges:
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def value(args, name, default):
    return args[args.index(name) + 1] if name in args else default


def main():
    args = sys.argv[1:]
    Handler.root = args[0]
    Handler.ignore_ranges = "--ignore-ranges" in args
    Handler.failures_left = int(value(args, "--fail-first", 0))
    Handler.fail_at = int(value(args, "--fail-at", 0))
    Handler.delay = float(value(args, "--delay", 0))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if "--tls" in args:
        at = args.index("--tls")
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args[at + 1], args[at + 2])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()

"""A small HTTP server for the tests: serves one folder on 127.0.0.1 with byte ranges.

Prints its port on the first line, then one line per request it answers ("GET <range>").
--ignore-ranges answers every request with the whole file (200); --fail-first N answers the
first N requests with 503, as a server under load does.
"""
import http.server
import os
import re
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    failures_left = 0
    ignore_ranges = False
    root = "."

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = os.path.join(self.root, os.path.basename(self.path))
        print("GET", self.headers.get("Range", "-"), flush=True)
        if Handler.failures_left > 0:
            Handler.failures_left -= 1
            self.send_error(503)
            return
        if not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        match = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
        if match and not self.ignore_ranges:
            first, last = int(match[1]), min(int(match[2]), len(data) - 1)
            if first >= len(data):
                self.send_error(416)
                return
            body = data[first:last + 1]
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {first}-{last}/{len(data)}")
        else:
            body = data
            self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    args = sys.argv[1:]
    Handler.root = args[0]
    Handler.ignore_ranges = "--ignore-ranges" in args
    if "--fail-first" in args:
        Handler.failures_left = int(args[args.index("--fail-first") + 1])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()

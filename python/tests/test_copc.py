"""orvterdep.copc.read: areas and levels of a cloud-optimised file, as orvterdep.read gives."""

import subprocess

import numpy as np
import pytest

import orvterdep
from conftest import ORVTER, TESTDATA, gen_cloud


@pytest.fixture(scope="module")
def copc_file(tmp_path_factory):
    folder = tmp_path_factory.mktemp("copc")
    las = gen_cloud(folder / "in.las", 80_000, seed=4)
    out = folder / "out.copc.laz"
    subprocess.run([str(ORVTER), "las", "copc", "--quiet", str(las), str(out)], check=True)
    return out


def key(points):
    return np.sort(points, order=["x", "y", "z", "gps_time"])


@pytest.mark.parametrize("bounds", [
    (512100.0, 4180100.0, 512300.0, 4180250.0),
    (512000.0, 4180000.0, 100.0, 512500.0, 4180500.0, 120.0),
])
def test_bounds_equal_a_filter_of_the_whole_file(copc_file, bounds):
    _, everything = orvterdep.read(copc_file)
    header, points = orvterdep.copc.read(copc_file, bounds=bounds)
    axes = len(bounds) // 2
    inside = np.ones(len(everything), bool)
    for axis, name in enumerate("xyz"[:axes]):
        inside &= (everything[name] >= bounds[axis]) & (everything[name] <= bounds[axes + axis])
    assert header.point_format == 6
    assert points.dtype == everything.dtype
    assert len(points) > 0
    assert np.array_equal(key(points), key(everything[inside]))


def test_resolution_gives_more_points_at_finer_levels(copc_file):
    header, coarse = orvterdep.copc.read(copc_file, max_level=0)
    _, fine = orvterdep.copc.read(copc_file, resolution=0.001)
    assert 0 < len(coarse) < len(fine) == 80_000


def test_reads_a_sample_written_by_another_program():
    path = TESTDATA / "laz" / "1.2-with-color.copc.laz"
    header, points = orvterdep.copc.read(str(path))
    assert len(points) == 1065 == header.point_count


class _Server:
    """A server on 127.0.0.1 for one test: `answer(handler)` writes each reply; it serves on a
    daemon thread until the test ends."""

    def __init__(self, answer):
        import http.server
        import threading

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                answer(self)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/cloud.copc.laz"

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def _status(code):
    def answer(handler):
        handler.send_response(code)
        handler.send_header("Content-Length", "0")
        handler.end_headers()
    return answer


def _stall(handler):
    import time
    time.sleep(5)


def test_failures_raise_the_oserror_that_fits(tmp_path):
    import socket
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    port = closed.getsockname()[1]
    closed.close()  # nothing listens there now
    cases = [(_status(404), FileNotFoundError, "HTTP status 404"),
             (_status(403), PermissionError, "HTTP status 403"),
             (_status(400), OSError, "HTTP status 400"),
             (_stall, TimeoutError, "no whole reply within 1 s")]
    for answer, error, message in cases:
        server = _Server(answer)
        try:
            with pytest.raises(error, match=message) as raised:
                orvterdep.copc.read(server.url, timeout=1)
            assert error is not OSError or type(raised.value) is OSError
        finally:
            server.close()
    with pytest.raises(ConnectionError):
        orvterdep.copc.read(f"http://127.0.0.1:{port}/x.copc.laz")
    with pytest.raises(FileNotFoundError):
        orvterdep.copc.read(str(tmp_path / "absent.copc.laz"))


def test_ctrl_c_interrupts_a_read_from_a_stalled_server():
    import signal
    import sys
    import time
    script = """
import socket, sys, threading, time
import orvterdep
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(4)
kept = []
def accept():
    while True:
        kept.append(listener.accept()[0])  # never answered
threading.Thread(target=accept, daemon=True).start()
print("ready", flush=True)
try:
    orvterdep.copc.read("http://127.0.0.1:%d/cloud.copc.laz" % listener.getsockname()[1])
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(0)
"""
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        start = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
        assert time.monotonic() - start < 1.5
        assert "interrupted" in out
        assert child.returncode == 0
    finally:
        child.kill()
        child.wait()

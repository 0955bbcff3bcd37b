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



def _listening():
    """A socket on 127.0.0.1 that takes connections (the kernel does) and never answers."""
    import socket
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    return listener, "http://127.0.0.1:%d/cloud.copc.laz" % listener.getsockname()[1]


@pytest.mark.parametrize("status, error", [(404, FileNotFoundError), (403, PermissionError),
                                           (400, OSError)])
def test_http_failures_raise_the_oserror_that_fits(status, error):
    import http.server
    import threading

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(status)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        with pytest.raises(error, match=f"HTTP status {status}") as raised:
            orvterdep.copc.read(f"http://127.0.0.1:{server.server_address[1]}/c.copc.laz")
        assert error is not OSError or type(raised.value) is OSError
    finally:
        server.shutdown()
        server.server_close()


def test_other_failures_raise_the_oserror_that_fits(tmp_path):
    listener, url = _listening()
    with pytest.raises(TimeoutError, match="no whole reply within 1 s"):
        orvterdep.copc.read(url, timeout=1)
    listener.close()  # nothing listens there now
    with pytest.raises(ConnectionError):
        orvterdep.copc.read(url)
    with pytest.raises(FileNotFoundError):
        orvterdep.copc.read(str(tmp_path / "absent.copc.laz"))


def test_ctrl_c_interrupts_a_read_from_a_stalled_server():
    import signal
    import sys
    import time
    script = """if True:
        import socket, sys
        import orvterdep
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        print("ready", flush=True)
        try:
            orvterdep.copc.read("http://127.0.0.1:%d/c.copc.laz" % listener.getsockname()[1])
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        start = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
        assert time.monotonic() - start < 1.5
        assert "interrupted" in out and child.returncode == 0
    finally:
        child.kill()
        child.wait()

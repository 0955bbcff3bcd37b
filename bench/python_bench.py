"""Reading a large LAS file into numpy, against the C++ full-fidelity reader, in fresh processes.

Every run is a new process that times only the read (not its start or imports); the candidates
run interleaved with the reference, alternating which goes first, so that a slow spell of a
shared machine falls on all of them.

    /usr/bin/python3 bench/python_bench.py [--points N] [--runs R] [--dir DIR] [--build DIR]
                                           [--format F] [--extra]

--extra gives each point two described extra dimensions (a scaled int16 and a float), which the
reader returns as fields of their own.
"""

import argparse
import os
import pathlib
import statistics
import struct
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]


def child(mode, path):
    import orvterdep

    start = time.perf_counter()
    if mode == "read":
        points = len(orvterdep.read(path)[1])
    else:
        points = sum(len(c) for c in orvterdep.chunks(path, 1_000_000))
    print(f"{points} points {time.perf_counter() - start:.6f} s")


def descriptor(name, data_type, scale=None):
    """One extra-bytes description: 192 bytes, the name at 4, the scale at 112."""
    d = bytearray(192)
    d[2], d[3] = data_type, 0x08 if scale else 0
    d[4:4 + len(name)] = name.encode()
    if scale:
        d[112:136] = struct.pack("<3d", scale, scale, scale)
    return bytes(d)


def make_cloud(path, points, fmt, extra):
    import numpy as np

    import orvterdep

    rng = np.random.default_rng(7)
    header = {"point_format": fmt, "scale": (0.001, 0.001, 0.001), "offset": (500_000, 4_000_000, 0)}
    if extra:
        header["vlrs"] = [{"user_id": "LASF_Spec", "record_id": 4,
                           "payload": descriptor("deviation", 4, 0.01) + descriptor("amplitude", 9)}]
    dtype = orvterdep.point_dtype(fmt, extra_bytes=6 if extra else 0)
    with orvterdep.Writer(path, header, dtype) as out:
        for lo in range(0, points, 1_000_000):
            p = np.zeros(min(1_000_000, points - lo), dtype)
            p["x"] = rng.uniform(500_000, 501_000, len(p))
            p["y"] = rng.uniform(4_000_000, 4_001_000, len(p))
            p["z"] = rng.uniform(0, 300, len(p))
            p["intensity"] = rng.integers(0, 4096, len(p))
            p["return_number"] = 1
            p["number_of_returns"] = 1
            p["classification"] = rng.integers(1, 10, len(p))
            p["gps_time"] = np.arange(lo, lo + len(p)) * 1e-5
            if extra:
                p["extra_bytes"] = rng.integers(0, 256, (len(p), 6))
            out.write(p)


def run(cmd, env):
    """Seconds the process reported, and its peak resident memory in MiB."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, env=env)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"{cmd[0]} failed ({proc.returncode})")
    return float(out.split()[-2]), usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=20_000_000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--format", type=int, default=1)
    parser.add_argument("--extra", action="store_true")
    parser.add_argument("--dir", default="/tmp")
    parser.add_argument("--build", default=str(ROOT / "build/release"))
    parser.add_argument("--child", nargs=2, metavar=("MODE", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(*args.child)

    build = pathlib.Path(args.build)
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    sys.path.insert(0, str(build / "python"))
    path = pathlib.Path(args.dir) / f"python_bench_{args.points}_f{args.format}{'_extra' if args.extra else ''}.las"
    if not path.exists():
        make_cloud(path, args.points, args.format, args.extra)
    rows = {
        "C++ LasReader into columns": [str(build / "bench/python_read_reference"), str(path)],
        "orvterdep.read": [sys.executable, __file__, "--child", "read", str(path)],
        "orvterdep.chunks (1,000,000)": [sys.executable, __file__, "--child", "chunks", str(path)],
    }
    samples = {name: [] for name in rows}
    for r in range(args.runs):
        names = list(rows) if r % 2 == 0 else list(reversed(rows))
        for name in names:
            samples[name].append(run(rows[name], env))
    size = path.stat().st_size / 2**20
    print(f"{args.points:,} points, point format {args.format}{' with 2 extra dimensions' if args.extra else ''}, "
          f"{size:.0f} MiB, {args.runs} runs each")
    print(f"{'row':32} {'min s':>8} {'median s':>9} {'max s':>8} {'Mpt/s':>7} {'peak MiB':>9} {'x ref':>6}")
    reference = statistics.median(s for s, _ in samples[next(iter(rows))])
    for name, values in samples.items():
        times = sorted(s for s, _ in values)
        median = statistics.median(times)
        print(f"{name:32} {times[0]:8.3f} {median:9.3f} {times[-1]:8.3f} "
              f"{args.points / median / 1e6:7.1f} {max(m for _, m in values):9.0f} "
              f"{reference / median:6.2f}")


if __name__ == "__main__":
    main()

"""Reading a large LAS file into numpy, against the C++ full-fidelity reader, in fresh processes.

Every run is a new process that times only the read (not its start or imports); the candidates
run interleaved with the reference, alternating which goes first, so that a slow spell of a
shared machine falls on all of them.

    /usr/bin/python3 bench/python_bench.py [--points N] [--runs R] [--dir DIR] [--build DIR]
"""

import argparse
import os
import pathlib
import statistics
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


def make_cloud(path, points, fmt):
    import numpy as np

    import orvterdep

    rng = np.random.default_rng(7)
    header = {"point_format": fmt, "scale": (0.001, 0.001, 0.001), "offset": (500_000, 4_000_000, 0)}
    dtype = orvterdep.point_dtype(fmt)
    with orvterdep.Writer(path, header) as out:
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
    parser.add_argument("--dir", default="/tmp")
    parser.add_argument("--build", default=str(ROOT / "build/release"))
    parser.add_argument("--child", nargs=2, metavar=("MODE", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(*args.child)

    build = pathlib.Path(args.build)
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    sys.path.insert(0, str(build / "python"))
    path = pathlib.Path(args.dir) / f"python_bench_{args.points}_f{args.format}.las"
    if not path.exists():
        make_cloud(path, args.points, args.format)
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
    print(f"{args.points:,} points, point format {args.format}, {size:.0f} MiB, {args.runs} runs each")
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

"""Many tiles at once on a dask.distributed cluster: one task a tile, each opening its own file.

Nothing travels between tasks but paths and small results, so the tiles must be where every
worker can read them (a shared folder on a real cluster).
"""

import argparse
import builtins
import os
import sys
from contextlib import contextmanager

import numpy as np

from . import Header, Writer, _reprojected, _reprojection, chunks
from . import header as read_header

# Points a task holds at once: a tile of any size is read and written in pieces of this many.
CHUNK = 1_000_000


def _require_importable_main():
    """Worker processes start by importing the caller's script: refuse one they cannot read."""
    main = sys.modules.get("__main__")
    script = getattr(main, "__file__", None)
    if script and not os.path.isfile(script):
        raise RuntimeError(f"the script was read from {script}, which the local cluster's worker "
                           "processes cannot import: save it to a file and run that file "
                           "(python3 script.py)")


@contextmanager
def _client(client, workers):
    if client is not None:
        yield client
        return
    # Imported here: reading one file must not need dask.
    from dask.distributed import Client, LocalCluster

    _require_importable_main()
    n = workers or os.cpu_count() or 1
    # Processes, one thread each: decoding holds the interpreter's lock between blocks. No
    # dashboard, and the scheduler's HTTP endpoint on a free port: a taken 8787 warns otherwise.
    with LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None,
                      scheduler_kwargs={"dashboard": False, "dashboard_address": ":0"}) as cluster, \
            Client(cluster) as local:
        yield local


def map(func, paths, client=None, workers=None, **kwargs):
    """Applies ``func(path, **kwargs)`` to each tile and returns the results in the paths' order.

    With no `client`, a LocalCluster of `workers` processes (default: one a core) runs the call
    and is shut down after it; with one (``Client("tcp://scheduler:8786")``), the same call runs
    on that cluster. A task that raises makes the call raise.
    """
    paths = [os.fspath(p) for p in paths]
    if not paths:
        return []
    with _client(client, workers) as c:
        # pure=False: a tile read twice may have changed in between.
        futures = c.map(func, paths, pure=False, **kwargs)
        return c.gather(futures)


def _decimals(scale):
    """The digits after the point that a scale factor gives (0.01: 2); None when none up to 12 do."""
    for d in range(13):
        steps = scale * 10**d
        if steps > 0 and abs(steps - round(steps)) <= 1e-9 * steps:
            return d
    return None


def stats(path):
    """One tile's numbers: points, real bounds (at the precision of the tile's scale), a class
    histogram, points by return."""
    points, classes, returns = 0, np.zeros(256, np.int64), np.zeros(16, np.int64)
    low, high = np.full(3, np.inf), np.full(3, -np.inf)
    for part in chunks(path, CHUNK):
        points += len(part)
        classes += np.bincount(part["classification"], minlength=256)
        returns += np.bincount(part["return_number"], minlength=16)
        for i, c in enumerate("xyz"):
            low[i] = min(low[i], part[c].min())
            high[i] = max(high[i], part[c].max())
    # Scaling leaves noise in the last digits (63.623000000000005): what the file holds is on
    # the grid of its scale.
    places = [_decimals(s) for s in read_header(path)["scale"]]
    low, high = ([v if d is None else round(v, d) for v, d in zip(b.tolist(), places)]
                 for b in (low, high))
    return {"tiles": 1, "points": points, "min": low, "max": high,
            "classes": classes.tolist(), "returns": returns.tolist()}


def merge(results):
    """One summary of many tiles' stats; classes and returns list only the values present."""
    total = {"tiles": 0, "points": 0, "min": [np.inf] * 3, "max": [-np.inf] * 3}
    classes, returns = np.zeros(256, np.int64), np.zeros(16, np.int64)
    for r in results:
        total["tiles"] += r["tiles"]
        total["points"] += r["points"]
        total["min"] = [builtins.min(a, b) for a, b in zip(total["min"], r["min"])]
        total["max"] = [builtins.max(a, b) for a, b in zip(total["max"], r["max"])]
        classes += np.asarray(r["classes"])
        returns += np.asarray(r["returns"])
    total["classes"] = {int(c): int(classes[c]) for c in np.flatnonzero(classes)}
    total["returns"] = {int(r): int(returns[r]) for r in np.flatnonzero(returns)}
    return total


def summary(paths, client=None, workers=None):
    """The merged stats of every tile."""
    return merge(map(stats, paths, client=client, workers=workers))


def convert_tile(path, out, keep_classes=None, drop_classes=None, header=None, to_crs=None):
    """Copies one tile to `out`, keeping (or dropping) the listed classes.

    The output has the input's header (version, format, scale, offset, identity, VLRs), updated
    by `header` when given. ``to_crs`` moves every point into that CRS, with a scale and offset
    that keep the tile's precision. Returns the path written and the points read and written.
    """
    source = chunks(path, CHUNK)
    first = next(source, None)
    head = Header(read_header(path))
    move = None
    if to_crs is not None:
        # One thread: the cluster runs a task a core already.
        move, target = _reprojection(head, to_crs, path, threads=1)
        box = move.transform_box(head["min"], head["max"])
        if box is None:
            raise ValueError(f"{path}: its bounds cannot be moved into {target.name}")
        head.update(_reprojected(head, target, *box))
    head.update(header or {})
    read = written = 0
    with Writer(out, head, first.dtype if first is not None else None) as w:
        for part in _chain(first, source):
            read += len(part)
            keep = np.ones(len(part), bool)
            if keep_classes is not None:
                keep &= np.isin(part["classification"], list(keep_classes))
            if drop_classes is not None:
                keep &= ~np.isin(part["classification"], list(drop_classes))
            part = part[keep]
            if move is not None:
                move.transform(part["x"], part["y"], part["z"])
            w.write(part)
            written += int(keep.sum())
    return {"path": path, "out": os.fspath(out), "read": read, "written": written}


def _chain(first, rest):
    if first is not None:
        yield first
        yield from rest


def convert(paths, out_dir, keep_classes=None, drop_classes=None, header=None, client=None,
            workers=None, to_crs=None):
    """Converts each tile into `out_dir` under its own name; one output per input."""
    os.makedirs(out_dir, exist_ok=True)
    paths = [os.fspath(p) for p in paths]
    names = [os.path.basename(p) for p in paths]
    if len(set(names)) != len(names):
        raise ValueError("two tiles share a name: their outputs would overwrite each other")
    outs = dict(zip(paths, (os.path.join(os.fspath(out_dir), n) for n in names)))
    return map(_convert_one, paths, client=client, workers=workers, outs=outs,
               keep_classes=keep_classes, drop_classes=drop_classes, header=header,
               to_crs=to_crs)


def _convert_one(path, outs, **kwargs):
    return convert_tile(path, outs[path], **kwargs)


def _classes(text):
    return [int(c) for c in text.split(",")]


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m orvterdep.tiles",
                                     description="Runs over many LAS tiles on a dask cluster.")
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786); "
                        "without it a local cluster runs the work")
    parser.add_argument("--workers", type=int, help="processes of the local cluster")
    parser.add_argument("--timeout", type=float, default=10,
                        help="seconds to wait for the scheduler (default 10)")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("summary", help="counts, bounds and classes of all tiles").add_argument(
        "tiles", nargs="+")
    conv = commands.add_parser("convert", help="one output per tile, filtered by class")
    conv.add_argument("--out", required=True, help="folder of the outputs")
    conv.add_argument("--keep-class", type=_classes, metavar="LIST")
    conv.add_argument("--drop-class", type=_classes, metavar="LIST")
    conv.add_argument("--to-crs", help="reproject every point into this CRS (EPSG:n, WKT...)")
    conv.add_argument("tiles", nargs="+")
    args = parser.parse_args(argv)
    return _run(args, parser.prog)


def _run(args, prog):
    """The command's work; every failure is one line on standard error and exit status 1."""
    missing = [t for t in args.tiles if not os.path.isfile(t) or not os.access(t, os.R_OK)]
    for tile in missing:
        print(f"{prog}: cannot read '{tile}': no such readable file", file=sys.stderr)
    if missing:
        return 1
    client = None
    try:
        if args.scheduler:
            from dask.distributed import Client
            try:
                client = Client(args.scheduler, timeout=args.timeout)
            except (OSError, TimeoutError) as e:
                print(f"{prog}: no scheduler answered at {args.scheduler} within "
                      f"{args.timeout:g} s ({e.__class__.__name__})", file=sys.stderr)
                return 1
        return _work(args, client)
    except (OSError, ValueError, RuntimeError) as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()


def _work(args, client):
    if args.command == "summary":
        s = summary(args.tiles, client=client, workers=args.workers)
        print(f"{s['tiles']} tiles, {s['points']} points")
        print("min " + " ".join(f"{v:.3f}" for v in s["min"]))
        print("max " + " ".join(f"{v:.3f}" for v in s["max"]))
        print("classes " + " ".join(f"{c}:{n}" for c, n in s["classes"].items()))
    else:
        done = convert(args.tiles, args.out, args.keep_class, args.drop_class, client=client,
                       workers=args.workers, to_crs=args.to_crs)
        kept = sum(d["written"] for d in done)
        print(f"{len(done)} tiles written to {args.out}, {kept} of "
              f"{sum(d['read'] for d in done)} points kept")
    return 0


if __name__ == "__main__":
    sys.exit(main())

# Counts, bounds and classes of many tiles, one task a tile on a local cluster of 2 processes.
import sys

from orvterdep import tiles

if __name__ == "__main__":  # worker processes import this file too
    summary = tiles.summary(sys.argv[1:], workers=2)
    print(f"{summary['tiles']} tiles, {summary['points']} points, classes {summary['classes']}")
    print("min", summary["min"], "max", summary["max"])

#!/usr/bin/env python3
"""Decodes every LAS/LAZ file of other projects' test data with LASzip and with orvter, and
compares the points record for record.

Not part of the build or of CI: run it where a LASzip build and copies of the repositories are
at hand, for example

    bench/peer_samples_compare.py --laszip /work/peers/LASzip --orvter build/release/tools/orvter \
        /work/peers/PDAL /work/peers/laspy

--laszip is a LASzip checkout built with CMake (its include/ and a build*/ folder holding
liblaszip). Each file ends in one of: "agree" (the same points in the same order), "agree as
sets" (the same points in another order: LASzip reads COPC chunks in file order), "differ",
"refused by orvter", "refused by LASzip" (both: "refused by both"). The counts and the files of
every class but "agree" are printed.
"""

import argparse
import collections
import glob
import os
import subprocess
import sys
import tempfile

FIELDS = ["X", "Y", "Z", "intensity", "return_number", "number_of_returns", "classification",
          "scan_angle", "gps_time", "red", "green", "blue"]

# Prints one line a point with the fields above, through LASzip's own API.
DUMPER = r"""
#include <laszip/laszip_api.h>
#include <cstdio>
int main(int argc, char** argv) {
    laszip_POINTER z = nullptr;
    if (argc < 2 || laszip_create(&z)) return 2;
    laszip_BOOL compressed = 0;
    if (laszip_open_reader(z, argv[1], &compressed)) return 1;
    laszip_header* h = nullptr;
    laszip_point* p = nullptr;
    laszip_get_header_pointer(z, &h);
    laszip_get_point_pointer(z, &p);
    laszip_I64 n = h->number_of_point_records ? h->number_of_point_records
                                               : (laszip_I64)h->extended_number_of_point_records;
    const bool extended = h->point_data_format >= 6;
    for (laszip_I64 i = 0; i < n; ++i) {
        if (laszip_read_point(z)) return 3;
        const int ret = extended ? p->extended_return_number : p->return_number;
        const int num = extended ? p->extended_number_of_returns : p->number_of_returns;
        const int cls = extended ? p->extended_classification : p->classification;
        const int angle = extended ? p->extended_scan_angle : p->scan_angle_rank;
        std::printf("%d,%d,%d,%u,%d,%d,%d,%d,%.17g,%u,%u,%u\n", p->X, p->Y, p->Z, p->intensity,
                    ret, num, cls, angle, p->gps_time, p->rgb[0], p->rgb[1], p->rgb[2]);
    }
    laszip_close_reader(z);
    laszip_destroy(z);
    return 0;
}
"""


def build_dumper(laszip, work):
    libs = glob.glob(os.path.join(laszip, "build*", "**", "liblaszip*.so*"), recursive=True)
    if not libs:
        sys.exit(f"no liblaszip under {laszip}/build*: build LASzip first")
    source = os.path.join(work, "dump.cpp")
    binary = os.path.join(work, "laszip-dump")
    with open(source, "w") as f:
        f.write(DUMPER)
    libdir = os.path.dirname(libs[0])
    subprocess.run(["c++", "-O2", "-std=c++17", source, "-I", os.path.join(laszip, "include"),
                    "-I", os.path.join(libdir, "..", "include"), "-L", libdir, "-llaszip",
                    "-Wl,-rpath," + libdir, "-o", binary], check=True)
    return binary


def normalise(line):
    """Our text and LASzip's for the same values: numbers compared as numbers."""
    out = []
    for v in line.split(","):
        try:
            out.append(float(v))
        except ValueError:
            out.append(v)
    return tuple(out)


def points_of(command, timeout=600):
    try:
        r = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    if r.returncode != 0:
        return None
    return [normalise(line) for line in r.stdout.splitlines() if line]


def compare(path, dumper, orvter):
    theirs = points_of([dumper, path])
    ours = points_of([orvter, "las", "to-text", "--fields", ",".join(FIELDS), path, "-"])
    if ours is None and theirs is None:
        return "refused by both"
    if ours is None:
        return "refused by orvter"
    if theirs is None:
        return "refused by LASzip"
    if ours == theirs:
        return "agree"
    if collections.Counter(ours) == collections.Counter(theirs):
        return "agree as sets"
    return "differ"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--laszip", required=True, help="LASzip checkout, built")
    parser.add_argument("--orvter", required=True, help="the orvter binary")
    parser.add_argument("repos", nargs="+", help="folders searched for *.las and *.laz")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        dumper = build_dumper(args.laszip, work)
        results = collections.defaultdict(list)
        for repo in args.repos:
            for root, _, files in os.walk(repo):
                if "/.git" in root:
                    continue
                for name in sorted(files):
                    if name.lower().endswith((".las", ".laz")):
                        path = os.path.join(root, name)
                        results[compare(path, dumper, args.orvter)].append(path)
    for outcome in sorted(results):
        print(f"{outcome}: {len(results[outcome])}")
    for outcome in sorted(results):
        if outcome != "agree":
            for path in results[outcome]:
                print(f"  {outcome}: {path}")


if __name__ == "__main__":
    main()

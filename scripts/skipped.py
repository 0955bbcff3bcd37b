"""One line from ctest's JUnit report: how many tests were skipped, and why.

Usage: python3 scripts/skipped.py REPORT.xml [TESTDATA_DIR]
Counts the skipped GoogleTest cases (their reason is the line after "Skipped" in their output)
and the cases pytest skipped inside Python.Pytest (its "-rs" lines).
"""

import collections
import os
import re
import sys
import xml.etree.ElementTree as ET


def reasons(report):
    found = collections.Counter()
    for case in ET.parse(report).getroot().iter("testcase"):
        out = case.findtext("system-out") or ""
        if case.find("skipped") is not None:
            match = re.search(r": Skipped\n(.*)\n", out)
            found[match.group(1).strip() if match else "no reason given"] += 1
        for count, reason in re.findall(r"^SKIPPED \[(\d+)\] [^:]+:\d+: (.*)$", out, re.M):
            found[f"{reason.strip()} (Python)"] += int(count)
    return found


def summary(found, testdata):
    if not found:
        return "skipped: none"
    total = sum(found.values())
    parts = ", ".join(f"{n} {reason}" for reason, n in found.most_common())
    line = f"skipped: {total} test{'s' if total != 1 else ''} ({parts})"
    if not os.path.isdir(testdata):
        line += f"; no shared samples at {testdata}: set ORV_TESTDATA_DIR to their folder"
    return line


if __name__ == "__main__":
    testdata = sys.argv[2] if len(sys.argv) > 2 else ""
    print(summary(reasons(sys.argv[1]), os.environ.get("ORV_TESTDATA_DIR") or testdata))

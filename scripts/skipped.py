"""One line from ctest's JUnit report: how many tests were skipped, and why.

Usage: python3 scripts/skipped.py REPORT.xml
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
    # Without it the tests read the clone's own samples; a folder named but absent skips them.
    if testdata and not os.path.isdir(testdata):
        line += f"; no samples at ORV_TESTDATA_DIR={testdata}"
    return line


if __name__ == "__main__":
    print(summary(reasons(sys.argv[1]), os.environ.get("ORV_TESTDATA_DIR", "")))

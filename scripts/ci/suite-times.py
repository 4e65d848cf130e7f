#!/usr/bin/env python3
"""Sums a CTest run's test times per label (one label per suite).

Usage: suite-times.py BUILD_DIR JUNIT_FILE
The labels come from `ctest --show-only=json-v1`, the times from the run's JUnit file."""
import json
import subprocess
import sys
import xml.etree.ElementTree as ET

build, junit = sys.argv[1], sys.argv[2]
listing = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                                    check=True, capture_output=True, text=True).stdout)
label_of = {}
for test in listing.get("tests", []):
    labels = []
    for prop in test.get("properties", []):
        if prop.get("name") == "LABELS":
            labels = prop.get("value") or []
    label_of[test["name"]] = labels[0] if labels else "(no label)"

totals = {}
for case in ET.parse(junit).getroot().iter("testcase"):
    label = label_of.get(case.get("name"), "(no label)")
    seconds, count, slowest = totals.get(label, (0.0, 0, ("", 0.0)))
    t = float(case.get("time", 0))
    totals[label] = (seconds + t, count + 1, max(slowest, (case.get("name"), t), key=lambda x: x[1]))

print(f"  {'suite (label)':<28} {'tests':>6} {'sum of test times':>18}   slowest test")
for label, (seconds, count, slowest) in sorted(totals.items(), key=lambda kv: -kv[1][0]):
    print(f"  {label:<28} {count:>6} {seconds:>16.1f} s   {slowest[0]} ({slowest[1]:.1f} s)")

#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The closing summary of scripts/reliability.sh: one line per step, then the figures the
steps measured, read from what they left in the results folder.

    reliability_summary.py RESULTS "NAME STATUS SECONDS"...

RESULTS holds tests-PRESET.xml (CTest's JUnit output) and tests-PRESET.log, fuzz.log,
soak.json and soak.log, as far as those steps ran. A test that passed only because its
end-to-end checks were skipped (no root) is counted as skipped, not as passed: a fault
that was never injected has not been survived.
"""

import json
import os
import platform
import re
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

# Lines the fault-injection and signal-storm tests print as their figures ("name: value").
FIGURE_LINE = re.compile(r"^([A-Za-z][^:()\n]{3,80}): ([^\n]+)$", re.M)
UNITTEST_SKIPPED = re.compile(r"^OK \(skipped=(\d+)\)", re.M)


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return None


def labels_of(build_dir):
    """{test name: [labels]} from CTest's own description of the build tree."""
    try:
        out = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                             capture_output=True, text=True, timeout=60, check=True).stdout
    except (OSError, subprocess.SubprocessError):
        return {}
    found = {}
    for t in json.loads(out).get("tests", []):
        labels = []
        for prop in t.get("properties", []):
            if prop.get("name") == "LABELS":
                labels = prop.get("value", [])
        found[t["name"]] = labels
    return found


def test_cases(junit_path):
    """[(name, outcome, output)] with outcome passed, failed or skipped."""
    cases = []
    for case in ET.parse(junit_path).getroot().iter("testcase"):
        out = case.findtext("system-out") or ""
        if case.find("failure") is not None or case.find("error") is not None \
                or case.get("status") == "fail":
            outcome = "failed"
        elif case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
            outcome = "skipped"
        elif UNITTEST_SKIPPED.search(out):
            outcome = "skipped"
        else:
            outcome = "passed"
        cases.append((case.get("name"), outcome, out))
    return cases


def tests_section(results, preset):
    junit = os.path.join(results, "tests-%s.xml" % preset)
    if not os.path.exists(junit):
        return ["tests under %s: no results (the build or the test run did not get that far)" % preset]
    labels = labels_of(os.path.join(os.path.dirname(os.path.dirname(results)), "build", preset))
    cases = test_cases(junit)
    by_label = {}
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    for name, outcome, _ in cases:
        totals[outcome] += 1
        label = (labels.get(name) or ["unlabelled"])[0]
        by_label.setdefault(label, {"passed": 0, "failed": 0, "skipped": 0})[outcome] += 1
    lines = ["tests under %s: %d passed, %d failed, %d skipped (%s)" % (
        preset, totals["passed"], totals["failed"], totals["skipped"],
        ", ".join("%s %d/%d" % (lab, c["passed"], sum(c.values())) for lab, c in sorted(by_label.items())))]
    for name, outcome, out in cases:
        if outcome != "passed":
            lines.append("  %s: %s" % (outcome, name))
    for group, prefix in (("fault injection", "e2e.faults."), ("signal storms", "e2e.storms.")):
        figures = [m for name, outcome, out in cases if name.startswith(prefix) and outcome == "passed"
                   for m in FIGURE_LINE.findall(out)]
        if figures:
            lines.append("  %s:" % group)
            lines += ["    %s: %s" % f for f in figures]
    return lines


def fuzz_section(results):
    log = read(os.path.join(results, "fuzz.log"))
    if log is None:
        return []
    rows = re.findall(r"^(\w+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)$", log, re.M)
    if not rows:
        return ["fuzz: no figures (the fuzz build or run failed; see fuzz.log)"]
    lines = ["fuzz: %d targets, %d executions, %d findings" % (
        len(rows), sum(int(r[1]) for r in rows), sum(int(r[4]) for r in rows))]
    lines += ["  %-12s %10s executions  %7s/s  %4s new inputs  %s findings" % r for r in rows]
    return lines


def soak_section(results):
    log = read(os.path.join(results, "soak.log"))
    if log is None:
        return []
    verdict = re.findall(r"^soak: (passed|FAILED) \(seed (\d+)\)", log, re.M)
    head = "soak: %s (seed %s)" % verdict[-1] if verdict else "soak: did not finish (see soak.log)"
    raw = read(os.path.join(results, "soak.json"))
    if raw is None:
        return [head]
    f = json.loads(raw)
    nodes = f["nodes"].values()
    return [head,
            "  %.2f hours, %d loss phases, %d state samples, %d states lost" % (
                f["minutes"] / 60, f["phases"], f["samples"], f["states_lost"]),
            "  state changes %d (%d to offline), events 71: %d, failed calls %d, datagrams dropped %d of %d" % (
                sum(n["state_changes"] for n in nodes), sum(n["offline"] for n in nodes),
                sum(n["events_71"] for n in nodes), sum(n["failed_calls"] for n in nodes),
                sum(n["bmc"]["dropped"] for n in nodes),
                sum(n["bmc"]["received"] + n["bmc"]["dropped"] for n in nodes))]


def main(argv):
    if len(argv) < 2:
        print('usage: reliability_summary.py RESULTS "NAME STATUS SECONDS"...', file=sys.stderr)
        return 2
    results = os.path.abspath(argv[1])
    steps = [s.split() for s in argv[2:]]
    print("reliability summary, %s, %s (%d cores)" % (
        time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), platform.node(), os.cpu_count() or 0))
    print("%-14s %-7s %8s" % ("STEP", "RESULT", "TIME"))
    for name, rc, seconds in steps:
        print("%-14s %-7s %6s s" % (name, "passed" if rc == "0" else "FAILED(%s)" % rc, seconds))
    for name, _, _ in steps:
        if name.startswith("tests-"):
            lines = tests_section(results, name[len("tests-"):])
        elif name == "fuzz":
            lines = fuzz_section(results)
        elif name == "soak":
            lines = soak_section(results)
        else:
            lines = []
        if lines:
            print()
            print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Counts one test run from the machine-readable results it left in FOLDER:
  junit-*.xml  ctest's own results (--output-junit), one per ctest call; a ctest entry is a
               whole test program
  tests.json   ctest --show-only=json-v1: the command each entry runs
  gtest/       the XML each GoogleTest program writes (GTEST_OUTPUT=xml:FOLDER/gtest/)
usage: test_results.py FOLDER      prints the failures; FOLDER/counts gets "passed failed skipped"

The counts are of test cases. An entry whose program wrote no XML (a crash, or a program that
is not a GoogleTest one) counts as one case, by ctest's verdict; so does an entry that failed
while all its cases passed (it crashed after them, or exited non-zero). A case or entry that
did not run counts as skipped, never as passed.
"""

import json
import os
import re
import sys
import xml.etree.ElementTree as ET
from collections import defaultdict


def program_of(path):
    name = os.path.basename(path)
    return name[:-4] if name.lower().endswith(".exe") else name


def main(folder):
    with open(os.path.join(folder, "tests.json"), encoding="utf-8") as f:
        commands = {t["name"]: t.get("command", []) for t in json.load(f)["tests"]}
    programs = {program_of(part) for command in commands.values() for part in command}

    # A program run twice in one call writes NAME.xml, then NAME_1.xml, and so on.
    files = defaultdict(list)  # program -> [(passed, failed, skipped)]
    passed = failed = skipped = 0
    failures = []
    gtest = os.path.join(folder, "gtest")
    for name in sorted(os.listdir(gtest)) if os.path.isdir(gtest) else []:
        if not name.endswith(".xml"):
            continue
        stem = name[:-4]
        program = stem if stem in programs else re.sub(r"_[0-9]+$", "", stem)
        try:
            cases = list(ET.parse(os.path.join(gtest, name)).getroot().iter("testcase"))
        except ET.ParseError:  # cut short: the program's entry counts by ctest's verdict
            continue
        p = f = k = 0
        for case in cases:
            full = f"{case.get('classname')}.{case.get('name')}"
            failure = case.find("failure")
            if failure is not None:
                f += 1
                message = (failure.get("message") or "").strip().splitlines()
                failures.append(f"FAILED {program}: {full}")
                failures.extend(f"    {line}" for line in message[:6])
            elif case.get("status") != "run" or case.find("skipped") is not None:
                k += 1
            else:
                p += 1
        files[program].append((p, f, k))
        passed, failed, skipped = passed + p, failed + f, skipped + k

    entries = defaultdict(list)  # program with XML, or None -> [(entry, ctest status)]
    for name in sorted(os.listdir(folder)):
        if not (name.startswith("junit-") and name.endswith(".xml")):
            continue
        for case in ET.parse(os.path.join(folder, name)).getroot().iter("testcase"):
            entry, status = case.get("name"), case.get("status")
            program = next((program_of(part) for part in commands.get(entry, [])
                            if program_of(part) in files), None)
            entries[program].append((entry, status))

    for program, ran in entries.items():
        runs = ran if program is None else [e for e in ran if e[1] == "fail"]
        # Entries of a program with XML: its failing files explain that many failed entries.
        explained = 0 if program is None else sum(1 for _, f, _ in files[program] if f)
        for entry, status in runs:
            if status == "run":
                passed += 1
            elif status == "fail":
                if explained:
                    explained -= 1
                    continue
                failed += 1
                why = "failed" if program is None else "failed outside its cases"
                failures.append(f"FAILED {entry}: {why} (a crash, exit code or timeout)")
            else:
                skipped += 1
        if program is not None:
            skipped += sum(1 for _, status in ran if status not in ("run", "fail"))

    if not any(entries.values()):
        failed += 1
        failures.append("FAILED: no test ran")
    for line in failures:
        print(line)
    with open(os.path.join(folder, "counts"), "w", encoding="utf-8") as f:
        f.write(f"{passed} {failed} {skipped}\n")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])

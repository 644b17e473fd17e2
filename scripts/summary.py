#!/usr/bin/env python3
"""Counts the GoogleTest cases of the build trees given and prints "N passed, N failed".

Each test program writes <tree>/results/<name>.xml. A program that CTest ran but that left
no result file (it crashed, hung or was never built) counts as one failed case.
Exit status 1 when anything failed.
"""
import os
import re
import sys
import xml.etree.ElementTree as ET


def ctest_names(tree):
    """The test names CTest knows in this tree (from the generated CTestTestfile.cmake files)."""
    names = []
    # Links are not followed: a Wine prefix in the tree (scripts/demo --installed makes
    # one) links to the whole file system.
    paths = [os.path.join(d, "CTestTestfile.cmake") for d, _, files in os.walk(tree)
             if "CTestTestfile.cmake" in files]
    for path in sorted(paths):
        with open(path, encoding="utf-8", errors="replace") as f:
            names += re.findall(r'^add_test\(\[=\[([^\]]+)\]=\]', f.read(), re.M)
            f.seek(0)
            names += re.findall(r'^add_test\(([A-Za-z0-9_.-]+) ', f.read(), re.M)
    return names


def main():
    passed = failed = 0
    for tree in sys.argv[1:]:
        if not os.path.isdir(tree):
            continue
        for name in ctest_names(tree):
            path = os.path.join(tree, "results", name + ".xml")
            try:
                # GoogleTest copies test parameters into the file as raw bytes (GBK text
                # among them), so read it leniently.
                with open(path, "rb") as f:
                    root = ET.fromstring(f.read().decode("utf-8", errors="replace"))
            except (OSError, ET.ParseError):
                print("no results from %s (%s)" % (name, os.path.basename(tree)))
                failed += 1
                continue
            for case in root.iter("testcase"):
                if case.get("status", "run") != "run" or case.get("result", "completed") == "skipped":
                    continue
                if case.find("failure") is not None or case.find("error") is not None:
                    failed += 1
                else:
                    passed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

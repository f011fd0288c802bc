#!/usr/bin/env python3
"""docs/reference.md and `vantor --check-config` know every configuration
key the code reads: the sources are scanned for the key names passed to the
INI readers, and each must appear in the reference (as `Key`) and in the
checker's table of known keys.

    reference_keys.py --source path/to/source/tree
"""
import argparse
import os
import re
import sys

READERS = (r"GetString|GetInt|HasKey|Profile\w*|AtLeastOne|OptionalSwitch|OptionalNumber|"
           r"LogSwitch|Lookup|GlobalBool|LoadExternalLibraries|ReadNumberedKeys|AnswerBool|"
           r"AnswerText|AnswerPathText|FindEntry|ConfigValue|ReadKey")
CALL = re.compile(r"\b(?:%s)\s*\(([^;]*?)\)" % READERS, re.S)
LITERAL = re.compile(r'"([A-Za-z][A-Za-z0-9]*)"')
SECTIONS = {"GLOBAL", "EXTERNAL", "DRIVES", "RATIOS", "SIGNONOFF"}
# The logger's category table names its screen and file switches.
CATEGORY = re.compile(r'\{\s*\d+,\s*LS_\w+,\s*\d+,\s*"(\w+)",\s*"(\w+)"')
FOLDERS = ("config", "accounts", "log", "ftp", "fs", "app", "gui", "net", "platform")
# Written by the program for its own use and documented with their readers.
NOT_KEYS = {"YES", "NO", "TRUE", "FALSE", "ON", "OFF"}


def keys_read(root):
    found = {}
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for name in files:
                if not name.endswith(".cpp"):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                for call in CALL.finditer(text):
                    for lit in LITERAL.findall(call.group(1)):
                        if lit in SECTIONS or lit in NOT_KEYS or lit.isupper():
                            continue
                        found.setdefault(lit, os.path.relpath(path, root))
                        break
                for pair in CATEGORY.finditer(text):
                    for k in pair.groups():
                        found.setdefault(k, os.path.relpath(path, root))
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    root = ap.parse_args().source
    with open(os.path.join(root, "docs", "reference.md"), encoding="utf-8") as f:
        reference = f.read()
    with open(os.path.join(root, "app", "RAdminCommands.cpp"), encoding="utf-8") as f:
        checker = f.read()
    found = keys_read(root)
    if len(found) < 60:
        print("FAIL the scan found only %d keys: the reader names changed?" % len(found))
        return 1
    bad = 0
    for key, where in sorted(found.items()):
        # A numbered key (`Allow1`) may be documented and checked as its series.
        base = key.rstrip("0123456789")
        names = [key] if base == key else [key, base]
        if not any("`%s`" % n in reference or "`%s<n>`" % n in reference for n in names):
            print("FAIL %s (read in %s) is missing from docs/reference.md" % (key, where))
            bad += 1
        if not any('{"%s", RKind::' % n in checker or '{"%s#", RKind::' % n in checker
                   for n in names):
            print("FAIL %s (read in %s) is missing from --check-config's key table"
                  % (key, where))
            bad += 1
    print("%d keys, %d missing" % (len(found), bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

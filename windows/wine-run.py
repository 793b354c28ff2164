#!/usr/bin/env python3
"""Runs a Windows program under Wine and checks its exit status and what it printed.

Usage: wine-run.py --wine WINE --prefix DIR [--status N] [--expect REGEX]... [--refuse REGEX]...
                   [--absent FILE]... -- PROGRAM [ARGS...]
--absent FILE: the program must leave no FILE behind (one left by an earlier run is removed first).
The Wine prefix is private to the build (created on first use); Wine's own messages are off
(WINEDEBUG=-all), so what is printed is the program's. Prints the program's output, then one
"ok:" or "FAIL:" line per check; exit status 1 if any failed.
"""
import argparse
import os
import re
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--status", type=int, default=0)
    parser.add_argument("--expect", action="append", default=[])
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--absent", action="append", default=[])
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    env = dict(os.environ, WINEPREFIX=os.path.abspath(args.prefix), WINEDEBUG="-all")
    os.makedirs(args.prefix, exist_ok=True)
    for path in args.absent:
        if os.path.lexists(path):
            os.remove(path)
    try:
        result = subprocess.run([args.wine] + command, env=env, capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        print("FAIL: %s did not end within 600 s" % " ".join(command))
        return 1
    output = result.stdout + result.stderr
    sys.stdout.write(output)
    failures = 0
    if result.returncode == args.status:
        print("ok:   exit status %d" % result.returncode)
    else:
        print("FAIL: exit status %d, expected %d" % (result.returncode, args.status))
        failures += 1
    for pattern in args.expect:
        if re.search(pattern, output, re.MULTILINE):
            print("ok:   printed /%s/" % pattern)
        else:
            print("FAIL: did not print /%s/" % pattern)
            failures += 1
    for pattern in args.refuse:
        if re.search(pattern, output, re.MULTILINE):
            print("FAIL: printed /%s/" % pattern)
            failures += 1
        else:
            print("ok:   did not print /%s/" % pattern)
    for path in args.absent:
        if os.path.lexists(path):
            print("FAIL: left %s behind" % path)
            failures += 1
        else:
            print("ok:   wrote no %s" % path)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

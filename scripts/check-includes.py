#!/usr/bin/env python3
"""Checks that every room of the tree includes only what it may.

The driver is a stack (core, hw, then video, audio, filter, and device on top) that sees nothing
but its own headers and the one platform header; the simulated card plugs into the host through
the bus interface alone; tools and the client see the driver only through its public header.

Usage: check-includes.py [--root DIR] [--plant FILE:LINE]...
  --plant FILE:LINE  check as if FILE (relative to the root) also held LINE; used to show that a
                     rule fails on a violation without touching the tree.
Exit status 0 when every rule holds, 1 with one line per violation otherwise.
"""
import argparse
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

# The driver's rooms from bottom to top: a room may include its own headers and those of the
# rooms below it (and the public header, which depends on nothing but the platform).
DRIVER_STACK = [
    ("driver/core/", ["driver/core/"]),
    ("driver/hw/", ["driver/core/", "driver/hw/"]),
    ("driver/video/", ["driver/core/", "driver/hw/", "driver/video/"]),
    ("driver/audio/", ["driver/core/", "driver/hw/", "driver/audio/"]),
    ("driver/filter/", ["driver/core/", "driver/hw/", "driver/video/", "driver/audio/", "driver/filter/"]),
    ("driver/device/", ["driver/"]),
]
PLATFORM = "platform/platform.h"
PUBLIC = "driver/public.h"
BUS = "platform/host/bus/bus.h"
SCHED = "platform/host/sched/sched.h"  # threads, locks and time: the card's are the host's, for controlled runs
DESCRIBE = "tools/quadhdmi/describe.h"

# (room, quoted includes allowed, system includes allowed, what the rule stands for)
RULES = [(room, [PLATFORM, PUBLIC] + allowed, False, "the driver includes only platform/platform.h and the "
          "driver headers at or below its own room") for room, allowed in DRIVER_STACK]
RULES += [
    (PUBLIC, [PLATFORM], False, "the public header depends on nothing but the platform"),
    ("sim/", ["sim/", BUS, SCHED], True,
     "the simulated card sees the host only through the bus interface (and takes its threads and time from the scheduler)"),
    ("client/", ["client/", PUBLIC, "platform/"], True, "the client sees the driver only through its public header"),
    ("tools/", ["tools/", "client/", "testbed/", "sim/", "platform/host/", PLATFORM, PUBLIC], True,
     "tools see the driver only through its public header"),
    # The Windows program and what it shares with the host tool run against any device: they see
    # the client and the system, never the simulated card, the test bed or the host platform.
    ("client/windows/", ["client/", PUBLIC, PLATFORM], True,
     "the Windows client sees the system through its headers and the platform header, not the host"),
    ("tools/quadhdmi/device/", ["tools/quadhdmi/device/", DESCRIBE, "client/", PUBLIC, PLATFORM], True,
     "commands against any device see neither the simulated card, the test bed nor the host"),
    ("tools/quadhdmi/windows/", ["tools/quadhdmi/device/", DESCRIBE, "client/", PUBLIC, PLATFORM], True,
     "the Windows program sees the client and the commands against any device only"),
]


def rule_for(path):
    best = None
    for rule in RULES:
        room = rule[0]
        if path == room or (room.endswith("/") and path.startswith(room)):
            if best is None or len(room) > len(best[0]):
                best = rule
    return best


def allowed(target, patterns):
    return any(target == p or (p.endswith("/") and target.startswith(p)) for p in patterns)


def check(path, lines, out):
    rule = rule_for(path)
    if rule is None:
        return
    room, patterns, system_ok, why = rule
    for number, line in enumerate(lines, 1):
        m = INCLUDE.match(line)
        if not m:
            continue
        kind, target = m.groups()
        if kind == "<":
            if not system_ok:
                out.append(f"{path}:{number}: includes <{target}>: {why}")
            continue
        # A header next to the includer, named without its folder.
        if "/" not in target and os.path.dirname(path) and allowed(os.path.dirname(path) + "/" + target, patterns):
            continue
        if not allowed(target, patterns):
            out.append(f'{path}:{number}: includes "{target}": {why}')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    parser.add_argument("--plant", action="append", default=[])
    args = parser.parse_args()
    root = os.path.abspath(args.root)

    planted = {}
    for item in args.plant:
        path, _, line = item.partition(":")
        if not os.path.isfile(os.path.join(root, path)):
            print(f"check-includes: planted file {path} does not exist", file=sys.stderr)
            return 2
        planted.setdefault(path, []).append(line)

    violations = []
    checked = 0
    for top in ("driver", "sim", "client", "tools"):
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if not name.endswith((".h", ".cpp")):
                    continue
                full = os.path.join(folder, name)
                path = os.path.relpath(full, root).replace(os.sep, "/")
                with open(full, encoding="utf-8") as f:
                    lines = f.read().splitlines()
                check(path, lines + planted.get(path, []), violations)
                checked += 1
    for v in violations:
        print(v)
    if violations:
        print(f"check-includes: {len(violations)} include(s) break the rooms' rules")
        return 1
    print(f"check-includes: {checked} files, every include within its room's rules")
    return 0


if __name__ == "__main__":
    sys.exit(main())

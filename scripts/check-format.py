#!/usr/bin/env python3
"""Checks that every C++ file of the tree is formatted as .clang-format says.

Usage: check-format.py [--root DIR] [--clang-format PATH] [--plant FILE]
  --plant FILE  check as if FILE (relative to the root) also ended with a badly formatted line;
                used to show that the check fails on a violation without touching the tree.
Exit status 0 when every file is formatted, 1 naming the files that are not.
"""
import argparse
import os
import subprocess
import sys

ROOMS = ("driver", "platform", "sim", "client", "testbed", "tools", "tests")
# The WDK shim headers mirror the system's own declarations and keep their layout.
SKIP = ("platform/wdk/",)
PLANTED = "\nstatic   int   planted_badly_formatted  =  1 ;\n"


def sources(root):
    for room in ROOMS:
        for folder, _, names in os.walk(os.path.join(root, room)):
            for name in sorted(names):
                if name.endswith((".h", ".cpp")):
                    path = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                    if not path.startswith(SKIP):
                        yield path


def formatted(clang_format, root, path, text):
    result = subprocess.run([clang_format, "--style=file:" + os.path.join(root, ".clang-format"),
                             "--assume-filename=" + path], input=text, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"check-format: clang-format failed on {path}: {result.stderr.strip()}")
    return result.stdout == text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    parser.add_argument("--clang-format", default="clang-format")
    parser.add_argument("--plant")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    if args.plant and not os.path.isfile(os.path.join(root, args.plant)):
        print(f"check-format: planted file {args.plant} does not exist", file=sys.stderr)
        return 2

    paths = list(sources(root))
    style = "--style=file:" + os.path.join(root, ".clang-format")
    # One run over the files as they are: clang-format names each file that would change.
    result = subprocess.run([args.clang_format, style, "--dry-run", "--Werror"] +
                            [p for p in paths if p != args.plant], cwd=root, capture_output=True, text=True)
    bad = sorted({line.split(":", 1)[0] for line in result.stderr.splitlines() if "clang-format-violations" in line})
    if result.returncode != 0 and not bad:
        raise SystemExit(f"check-format: clang-format failed: {result.stderr.strip()[:2000]}")
    if args.plant:
        with open(os.path.join(root, args.plant), encoding="utf-8") as f:
            if not formatted(args.clang_format, root, args.plant, f.read() + PLANTED):
                bad.append(args.plant)
    count = len(paths)
    for path in bad:
        print(f"{path}: not formatted (run: clang-format -i {path})")
    if bad:
        print(f"check-format: {len(bad)} of {count} files not formatted")
        return 1
    print(f"check-format: {count} files formatted")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runs a compiler with the source and build folders' absolute paths rewritten relative to its
working directory (the build folder's root, where Ninja runs every command).

clang records its whole command line in the CodeView debug information (LF_BUILDINFO), and clang
14 has no switch to leave it out; the linker hashes the PDB into the GUID the image names. With
absolute paths in that command line, the same sources checked out elsewhere would give another
image. Written relative, they are the same wherever the checkout is, as long as the build folder
sits at the same place in it (the presets' build/<preset>).

Usage: relative-paths.py SOURCE_DIR BUILD_DIR -- COMPILER ARGS...
"""
import os
import sys


def main():
    if len(sys.argv) < 5 or sys.argv[3] != "--":
        print("usage: relative-paths.py SOURCE_DIR BUILD_DIR -- COMPILER ARGS...", file=sys.stderr)
        return 2
    cwd = os.getcwd()
    # The deeper folder first: the build folder usually sits inside the sources.
    roots = sorted({os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])}, key=len, reverse=True)
    relative = {root: os.path.relpath(root, cwd) for root in roots}
    command = [sys.argv[4]]
    for arg in sys.argv[5:]:
        for root in roots:
            arg = arg.replace(root + "/", relative[root] + "/")
            if arg == root or arg.endswith("=" + root) or arg.endswith("I" + root):
                arg = arg[: len(arg) - len(root)] + relative[root]
        command.append(arg)
    os.execvp(command[0], command)


if __name__ == "__main__":
    sys.exit(main())

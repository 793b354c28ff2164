#!/usr/bin/env python3
"""Builds the driver from two copies of the same sources in two different folders and checks that
quadhdmi.sys, its PDB and both INFs come out byte for byte the same.

Each copy is built as anyone would build it (cmake --preset windows, the image target alone), in
folders of different names and depths under a temporary folder. The image's own build is compared
too when it sits where the preset puts it. Prints the SHA-256 of every file; "ok:"/"FAIL:" lines
and an exit status like the other checks.

Usage: check-reproducible.py SOURCE_DIR [--image BUILT_IMAGE] [--jobs N] [--keep]
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import Check  # noqa: E402

OUTPUTS = ("quadhdmi.sys", "quadhdmi.pdb", "quadhdmi.inf", "quadhdmi-camera.inf")
PRESET_OUTPUT = os.path.join("build", "windows", "windows")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def copy_sources(source, target):
    # Everything but build folders and the repository's own metadata.
    shutil.copytree(source, target, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))


def build(checkout, jobs):
    for command in (["cmake", "--preset", "windows"],
                    ["cmake", "--build", os.path.join("build", "windows"), "--target", "quadhdmi_sys", "-j", str(jobs)]):
        result = subprocess.run(command, cwd=checkout, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError("%s in %s failed:\n%s%s" % (" ".join(command), checkout, result.stdout[-3000:],
                                                         result.stderr[-3000:]))
    return os.path.join(checkout, PRESET_OUTPUT)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("source")
    parser.add_argument("--image")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    check = Check()
    top = tempfile.mkdtemp(prefix="qh-repro-")
    try:
        checkouts = [os.path.join(top, "first"), os.path.join(top, "second", "a", "much", "deeper", "checkout")]
        outputs = []
        for checkout in checkouts:
            copy_sources(args.source, checkout)
            outputs.append(build(checkout, args.jobs))
        for name in OUTPUTS:
            hashes = [sha256(os.path.join(out, name)) for out in outputs]
            for out, digest in zip(outputs, hashes):
                print("%s  %s" % (digest, os.path.join(out, name)))
            if len(set(hashes)) == 1:
                check.ok("%s is byte-identical from both folders" % name)
            else:
                check.fail("%s differs between %s and %s" % (name, *checkouts))
        if args.image:
            built = os.path.abspath(args.image)
            if os.path.dirname(built).endswith(PRESET_OUTPUT):
                digest = sha256(built)
                print("%s  %s" % (digest, built))
                if digest == sha256(os.path.join(outputs[0], "quadhdmi.sys")):
                    check.ok("the tested build's quadhdmi.sys is the same image")
                else:
                    check.fail("the tested build's quadhdmi.sys differs from the fresh builds' (a stale build?)")
    except (OSError, RuntimeError) as e:
        check.fail(str(e))
    finally:
        if args.keep:
            print("kept: %s" % top)
        else:
            shutil.rmtree(top, ignore_errors=True)
    return check.verdict(args.source, "reproducible-build")


if __name__ == "__main__":
    sys.exit(main())

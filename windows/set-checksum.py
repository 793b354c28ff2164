#!/usr/bin/env python3
"""Writes the PE checksum into an image. The kernel's loader checks it for drivers; lld leaves it 0."""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

image = pe.Image(sys.argv[1])
value = image.computed_checksum()
with open(sys.argv[1], "r+b") as f:
    f.seek(image.checksum_offset)
    f.write(struct.pack("<I", value))

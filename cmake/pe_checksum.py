#!/usr/bin/env python3
"""Writes a PE file's header checksum (the optional header's CheckSum), as
the loader and signing tools compute it: the file's 16-bit little-endian
words summed with each carry folded back in, the field itself counted as
zero, plus the file's length. The linker leaves it zero, and the stub is
padded after linking.  Usage: pe_checksum.py FILE"""
import struct
import sys

OPTIONAL_HEADER_AT = 24  # from the "PE\0\0" signature: signature and file header
CHECKSUM_AT = 64         # in the optional header

path = sys.argv[1]
data = bytearray(open(path, "rb").read())
field = struct.unpack_from("<I", data, 0x3C)[0] + OPTIONAL_HEADER_AT + CHECKSUM_AT
data[field:field + 4] = bytes(4)
padded = data + bytes(len(data) % 2)
total = 0
for (word,) in struct.iter_unpack("<H", padded):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
struct.pack_into("<I", data, field, ((total & 0xFFFF) + (total >> 16) + len(data)) & 0xFFFFFFFF)
with open(path, "r+b") as f:
    f.seek(field)
    f.write(data[field:field + 4])

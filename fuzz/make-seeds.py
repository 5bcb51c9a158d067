#!/usr/bin/env python3
"""Writes the small seed corpora kept in fuzz/corpus: archives made by jlha
(every level, -lh5-/-lh6-/-lh7-) and by hand, the packed data of their
members for the decoders, PE headers, and names. Run again after changing
what the seeds should cover; the outputs are committed."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "tools"))
from lzhdata import archive, lh2_encode, lh3_encode, member  # noqa: E402

CORPUS = HERE / "corpus"


def put(target, name, data):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def members(data):
    """(method, header length, packed data) of each level 0-2 member."""
    out, at = [], 0
    while at < len(data) and data[at] != 0:
        level = data[at + 20]
        method = data[at + 2:at + 7]
        packed, = struct.unpack_from("<I", data, at + 7)
        if level == 2:
            hl, = struct.unpack_from("<H", data, at)
        else:
            hl = data[at] + 2
            if level == 1:  # extensions follow, counted in the packed size
                nxt, = struct.unpack_from("<H", data, at + hl - 2)
                while nxt:
                    hl += nxt
                    packed -= nxt
                    nxt, = struct.unpack_from("<H", data, at + hl - 2)
        out.append((method, data[at + hl:at + hl + packed], struct.unpack_from("<I", data, at + 11)[0]))
        at += hl + packed
    return out


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    work = Path(tempfile.mkdtemp())
    try:
        src = work / "src"
        (src / "sub").mkdir(parents=True)
        (src / "sub" / "text.txt").write_bytes(b"the quick brown fox jumps over the lazy dog " * 12)
        (src / "表示.bin").write_bytes(bytes(range(256)) + bytes(200))
        (src / "empty").write_bytes(b"")
        env = dict(os.environ, LC_ALL="ja_JP.UTF-8")
        for level in (0, 1, 2):
            for method in (5, 6, 7):
                arc = work / f"l{level}m{method}.lzh"
                subprocess.run(["jlha", f"c{level}o{method}q", str(arc), "sub", "表示.bin", "empty"],
                               cwd=src, env=env, check=True, stdout=subprocess.DEVNULL)
                data = arc.read_bytes()
                put("header", arc.name, data)
                put("extract", arc.name, data)
                for i, (m, packed, original) in enumerate(members(data)):
                    name = m.decode().strip("-")
                    if name in ("lh5", "lh6", "lh7") and level == 2:
                        put(f"decode_{name}", f"m{i}", struct.pack("<I", original) + packed)
    finally:
        shutil.rmtree(work)
    hand = archive(member(b"dir/a.txt", b"abc"), member(b"d", b"", method=b"-lhd-"))
    put("header", "hand.lzh", hand)
    put("extract", "hand.lzh", hand)

    pe = bytearray(1024)
    pe[0:2] = b"MZ"
    struct.pack_into("<I", pe, 0x3C, 0x40)
    pe[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", pe, 0x44, 0x14C, 1, 0, 0, 0, 224, 0x102)
    struct.pack_into("<I", pe, 0x58 + 60, 512)                  # SizeOfHeaders
    struct.pack_into("<8sIIII", pe, 0x58 + 224, b".text", 0x100, 0x1000, 0x200, 0x200)
    put("pe", "one-section", bytes(pe))

    # -lh2- and -lh3-, which no tool here writes: from the tests' own
    # encoders (for -lh3-, both position codes and codes of one symbol).
    text = b"the quick brown fox jumps over the lazy dog " * 40
    for i, data in enumerate([text, bytes(3000), b"x"]):
        put("decode_lh2", f"m{i}", struct.pack("<I", len(data)) + lh2_encode(data))
        put("decode_lh3", f"m{i}", struct.pack("<I", len(data)) + lh3_encode(data, block=60))

    for i, data in enumerate([b"\0" + text, b"\1" + bytes(5000), b"\2" + bytes(range(256)) * 3]):
        put("roundtrip", f"r{i}", data)

    for i, names in enumerate([b"grelm.exe", b"data\nsub\nx.dat", b"\x95\x5c\x8e\xa6.txt",
                               b"COM1 .txt", b"a\nnotes.", b"\x83\x7c\n\x82\x81.TXT"]):
        put("names", f"n{i}", names)


if __name__ == "__main__":
    main()

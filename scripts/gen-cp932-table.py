#!/usr/bin/env python3
"""Writes src/names/cp932_table.inc: which double-byte codes of code page 932
are characters, and how Windows folds names made of them; and
src/names/cp932_unicode.inc: the code Windows writes for each character.

Windows reads a name in code page 932 through its table to Unicode, and its
file systems compare names in upper case. So two codes name one file when
their characters' upper cases meet: the NEC and IBM duplicates (87 54 and
FA 4A are both U+2160), and every case pair (U+2170 and U+2160 among them).
Python's cp932 codec holds Microsoft's table for the code page; str.upper()
gives Unicode's simple upper case where it is one character. The fold maps
each code to the first code, in code order, whose character has the same
upper case; codes that fold to themselves are left out.

The encoding is made from the decoding alone (the codec's encoder adds
one-way look-alikes, such as U+301C to 81 60, that Windows refuses without
best fit): each character takes the lowest of the codes that decode to it,
but that the NEC-selected IBM rows (ED, EE) lose to the IBM rows (FA-FC),
as Windows' own table chooses (U+2170 is FA 40, U+FFE2 is 81 CA)."""
import sys
from pathlib import Path

LEADS = list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD))
TRAILS = [t for t in range(0x40, 0xFD) if t != 0x7F]


def char(code):
    try:
        return bytes([code >> 8, code & 0xFF]).decode("cp932")
    except UnicodeDecodeError:
        return None


def upper(c):
    u = c.upper()
    return u if len(u) == 1 else c


def main():
    codes = [(lead << 8) | t for lead in LEADS for t in TRAILS]
    assigned = [c for c in codes if char(c) is not None]
    ranges = []
    index = {c: i for i, c in enumerate(codes)}
    for c in assigned:
        if ranges and index[ranges[-1][1]] == index[c] - 1:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    first = {}
    for c in assigned:
        first.setdefault(upper(char(c)), c)
    folds = [(c, first[upper(char(c))]) for c in assigned if first[upper(char(c))] != c]

    out = ["// Made by scripts/gen-cp932-table.py; edit that, not this.",
           "// Runs of double-byte codes that are characters, in code order over the",
           "// codes a lead and a trail byte can make.",
           "static const uint16_t CP932_ASSIGNED[][2] = {"]
    out += [f"    {{0x{a:04X}, 0x{b:04X}}}," for a, b in ranges]
    out += ["};", "",
            "// Codes Windows takes for another one's file, and the code they fold to;",
            "// sorted.", "static const uint16_t CP932_FOLD[][2] = {"]
    for i in range(0, len(folds), 4):
        out.append("    " + " ".join(f"{{0x{a:04X}, 0x{b:04X}}}," for a, b in folds[i:i + 4]))
    out += ["};", ""]
    names = Path(sys.argv[1]) if len(sys.argv) > 1 else \
        Path(__file__).resolve().parent.parent / "src/names"
    (names / "cp932_table.inc").write_text("\n".join(out))

    def preference(code):
        return (code >> 8 in (0xED, 0xEE), code)

    encode = {}
    for c in sorted(assigned, key=preference):
        encode.setdefault(ord(char(c)), c)
    pairs = sorted(encode.items())
    out = ["// Made by scripts/gen-cp932-table.py; edit that, not this.",
           "// The double-byte code Windows writes for each character that has one,",
           "// sorted by character.",
           "static const uint16_t CP932_FROM_UNICODE[][2] = {"]
    for i in range(0, len(pairs), 5):
        out.append("    " + " ".join(f"{{0x{u:04X}, 0x{c:04X}}}," for u, c in pairs[i:i + 5]))
    out += ["};", ""]
    (names / "cp932_unicode.inc").write_text("\n".join(out))


if __name__ == "__main__":
    main()

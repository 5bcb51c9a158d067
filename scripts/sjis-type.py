#!/usr/bin/env python3
"""Passes what is typed in a UTF-8 terminal to a Windows console program as
it would arrive on Japanese Windows: Shift_JIS (code page 932), lines ended
with CR LF. Each line goes on as soon as Enter is pressed, so the program's
questions and the answers keep taking turns. A character Shift_JIS lacks is
sent as "?", which the program then refuses as it would any bad name.
"""
import sys

while True:
    line = sys.stdin.readline()
    if not line:
        break
    text = line.rstrip("\r\n")
    sys.stdout.buffer.write(text.encode("cp932", errors="replace") + b"\r\n")
    sys.stdout.buffer.flush()

#!/usr/bin/env python3
"""Shows Shift_JIS console output readably in a UTF-8 terminal.

Wine's C runtime garbles Shift_JIS written straight to a terminal; piped,
the bytes arrive intact, and this converts them as they come, without
waiting for whole lines, so prompts show before the program waits.
"""
import codecs
import os
import sys

decoder = codecs.getincrementaldecoder("cp932")(errors="replace")
while True:
    chunk = os.read(0, 4096)
    if not chunk:
        break
    sys.stdout.write(decoder.decode(chunk).replace("\r\n", "\n"))
    sys.stdout.flush()
sys.stdout.write(decoder.decode(b"", final=True))

#!/usr/bin/env bash
# Regenerates the sample archives the unit tests read, made by an independent
# LZH archiver (jlha) so that our reader is not only checked against our
# writer. Names are Shift_JIS, as jlha writes them in a Japanese locale.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/sub"
python3 - "$work/src" <<'PY'
import sys, random
root = sys.argv[1]
random.seed(7)
words = [bytes(random.choice(b"abcdefghij") for _ in range(random.randint(1, 7))) for _ in range(300)]
text = b" ".join(random.choice(words) for _ in range(12000))
open(f"{root}/sub/text.txt", "wb").write(text)
open(f"{root}/表示.bin", "wb").write(bytes(range(256)) * 40 + bytes(random.getrandbits(8) for _ in range(3000)))
open(f"{root}/empty.txt", "wb").write(b"")
PY
for level in 0 1 2; do
    for method in 5 7; do
        rm -f "sample-l$level-lh$method.lzh"
        (cd "$work/src" && LC_ALL=ja_JP.UTF-8 jlha "c${level}o${method}q" \
            "$OLDPWD/sample-l$level-lh$method.lzh" sub 表示.bin empty.txt)
    done
done
ls -l sample-*.lzh

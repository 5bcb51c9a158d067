#!/usr/bin/env python3
"""Decoding speed of our extractor against lhasa, natively.

Makes a -lh5- archive of at least 64 MiB with jlha (text whose repeats lie
far beyond the 8 KiB window, so it compresses as ordinary text does), then
extracts it with an optimized native build of our extractor and with lhasa,
side by side on a memory-backed file system, and prints the times, the
ratio and the peak memory of each.

    bench/decode.py [--mib 64] [--runs 5]
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "release"


def build_extractor():
    """The extractor of the release preset: optimized, no sanitizers."""
    subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "release", "--target", "sfx"], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    return BUILD / "sfx"


def make_archive(work, mib):
    rnd = random.Random(5)
    words = [bytes(rnd.choice(b"etaoinshrdlucmfwypvbgkjqxz") for _ in range(rnd.randint(1, 10)))
             for _ in range(20000)]
    chunk = b" ".join(rnd.choice(words) for _ in range(700000))  # about 4 MiB
    src = work / "src"
    src.mkdir()
    archive = work / "big.lzh"
    copies = 4
    while True:
        with open(src / "text.txt", "wb") as f:
            for _ in range(copies):
                f.write(chunk)
        archive.unlink(missing_ok=True)
        subprocess.run(["jlha", "c2o5q", str(archive), "text.txt"], cwd=src, check=True,
                       stdout=subprocess.DEVNULL)
        if archive.stat().st_size >= mib << 20:
            return archive, (src / "text.txt").stat().st_size
        copies = int(copies * (mib << 20) / archive.stat().st_size) + 1


def timed_extract(cmd, work, name):
    out = work / name
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    # GNU time, not our own wait4: Linux carries the peak memory of the
    # forking process over the exec, and this one holds the test text.
    peak = work / "peak"
    t = time.perf_counter()
    r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(peak), *cmd], cwd=out,
                       stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - t
    if r.returncode != 0:
        sys.exit(f"{cmd[0]} failed")
    return elapsed, int(peak.read_text().split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--runs", type=int, default=5)
    opts = ap.parse_args()

    sfx = build_extractor()
    work = Path(tempfile.mkdtemp(prefix="decode-bench-", dir="/dev/shm"))
    try:
        archive, original = make_archive(work, opts.mib)
        ours, theirs = [], []
        for _ in range(opts.runs):
            ours.append(timed_extract([str(sfx), str(archive)], work, "ours"))
            theirs.append(timed_extract(["lhasa", "xq", str(archive)], work, "lhasa"))
        if (work / "ours" / "text.txt").read_bytes() != (work / "lhasa" / "text.txt").read_bytes():
            sys.exit("the two extractions differ")
        t_ours, t_lhasa = min(t for t, _ in ours), min(t for t, _ in theirs)
        print(f"archive: {archive.stat().st_size / 2**20:.1f} MiB -lh5-, "
              f"{original / 2**20:.1f} MiB decoded; fastest of {opts.runs} runs, on tmpfs")
        print(f"ours:  {t_ours:.3f} s  {original / 2**20 / t_ours:7.1f} MiB/s  "
              f"peak {max(m for _, m in ours) / 1024:.1f} MiB")
        print(f"lhasa: {t_lhasa:.3f} s  {original / 2**20 / t_lhasa:7.1f} MiB/s  "
              f"peak {max(m for _, m in theirs) / 1024:.1f} MiB")
        print(f"speed ratio ours/lhasa: {t_lhasa / t_ours:.2f} (target >= 1)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

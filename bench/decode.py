#!/usr/bin/env python3
"""Decoding speed of our extractor against lhasa, natively, for every method.

Makes, for each method, an archive of one member of text whose repeats lie
far beyond the windows, so it compresses as ordinary text does: -lh5-,
-lh6- and -lh7- with jlha, of at least --mib MiB packed; the methods no tool
here writes (-lh1-, -lh2-, -lh3-, -lz5-, -lzs-, -pm1-, -pm2-) with the tests' own encoders,
of --encoded-mib MiB decoded (they are Python, some 4 s a MiB; what they
make is kept in build/bench-cache for the next run). Then extracts each
with an optimized native build of our extractor and with lhasa, side by
side on a memory-backed file system, and prints the times, the ratio and
the peak memory of each. -lh4- and -lhx- decode by the -lh5- code. lhasa
reads no -lh2- or -lh3-: ours alone is timed there, its output held to the
text (compare their speed with -lh1-'s).

    bench/decode.py [--mib 64] [--encoded-mib 64] [--runs 5] [--methods lh5,pm2,...]
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
CACHE = ROOT / "build" / "bench-cache"
sys.path.insert(0, str(ROOT / "tests" / "tools"))
import lzhdata  # noqa: E402

STUB = BUILD / "windows" / "stub.exe"
SFX = BUILD / "windows" / "sfx.exe"
JLHA = {"lh5": "5", "lh6": "6", "lh7": "7"}
ENCODED = {"lh1": lzhdata.lh1_encode, "lz5": lambda d: lzhdata.ring_encode(d, b"-lz5-"),
           "lzs": lambda d: lzhdata.ring_encode(d, b"-lzs-"), "pm1": lzhdata.pm1_encode,
           "pm2": lzhdata.pm2_encode, "lh2": lzhdata.lh2_encode, "lh3": lzhdata.lh3_encode}
LHASA_READS_NOT = {"lh2", "lh3"}


def build_extractor():
    """The release preset (optimized, no sanitizers): the native extractor,
    and mkinstaller with the Windows stub and extractor for --check."""
    subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "release"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / "sfx"


def text_chunk():
    rnd = random.Random(5)
    words = [bytes(rnd.choice(b"etaoinshrdlucmfwypvbgkjqxz") for _ in range(rnd.randint(1, 10)))
             for _ in range(20000)]
    return b" ".join(rnd.choice(words) for _ in range(700000))  # about 4 MiB


def make_jlha_archive(work, method, mib):
    chunk = text_chunk()
    src = work / "src"
    src.mkdir(exist_ok=True)
    archive = work / f"{method}.lzh"
    copies = 4
    while True:
        with open(src / "text.txt", "wb") as f:
            for _ in range(copies):
                f.write(chunk)
        archive.unlink(missing_ok=True)
        subprocess.run(["jlha", f"c2o{JLHA[method]}q", str(archive), "text.txt"], cwd=src,
                       check=True, stdout=subprocess.DEVNULL)
        if archive.stat().st_size >= mib << 20:
            return archive, (src / "text.txt").stat().st_size
        copies = int(copies * (mib << 20) / archive.stat().st_size) + 1


def make_encoded_archive(work, method, mib):
    CACHE.mkdir(parents=True, exist_ok=True)
    cached = CACHE / f"{method}-{mib}.lzh"
    size = mib << 20
    if not cached.exists():
        chunk = text_chunk()
        data = (chunk * (size // len(chunk) + 1))[:size]
        packed = ENCODED[method](data)
        cached.write_bytes(lzhdata.archive(lzhdata.member(b"text.txt", packed,
                                                          method=f"-{method}-".encode(),
                                                          original=data)))
    archive = work / f"{method}.lzh"
    shutil.copy(cached, archive)
    return archive, size


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


def check_against_7zz(work, archive, runs):
    """The fastest --check of an installer around the archive, and of 7zz t
    on the archive: both decode every member and verify its CRC, and write
    nothing."""
    installer = work / "check.exe"
    with open(installer, "wb") as out:
        for part in (STUB, SFX, archive):
            out.write(part.read_bytes())
    check = [str(BUILD / "mkinstaller"), "--stub", str(STUB), "--sfx", str(SFX), "--check",
             str(installer)]
    t_check = min(timed_extract(check, work, "check")[0] for _ in range(runs))
    t_7zz = min(timed_extract(["7zz", "t", str(archive)], work, "7zz")[0] for _ in range(runs))
    installer.unlink()
    return t_check, t_7zz


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--encoded-mib", type=int, default=64)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--methods", default=",".join([*JLHA, *ENCODED]))
    opts = ap.parse_args()

    sfx = build_extractor()
    work = Path(tempfile.mkdtemp(prefix="decode-bench-", dir="/dev/shm"))
    try:
        print(f"fastest of {opts.runs} runs, on tmpfs")
        print(f"{'method':6} {'packed':>9} {'decoded':>9} {'ours s':>8} {'MiB/s':>7} {'peak':>8}"
              f" {'lhasa s':>8} {'MiB/s':>7} {'peak':>8} {'ratio':>6}")
        checks = []
        for method in opts.methods.split(","):
            if method in JLHA:
                archive, original = make_jlha_archive(work, method, opts.mib)
            else:
                archive, original = make_encoded_archive(work, method, opts.encoded_mib)
            ours, theirs = [], []
            alone = method in LHASA_READS_NOT
            for _ in range(opts.runs):
                ours.append(timed_extract([str(sfx), str(archive)], work, "ours"))
                if not alone:
                    theirs.append(timed_extract(["lhasa", "xq", str(archive)], work, "lhasa"))
            if alone:
                chunk = text_chunk()
                if (work / "ours" / "text.txt").read_bytes() != (chunk * (original // len(chunk) + 1))[:original]:
                    sys.exit(f"{method}: the extraction is not the text")
            elif (work / "ours" / "text.txt").read_bytes() != (work / "lhasa" / "text.txt").read_bytes():
                sys.exit(f"{method}: the two extractions differ")
            t_ours = min(t for t, _ in ours)
            mib = original / 2**20
            if method in JLHA:
                checks.append((method, *check_against_7zz(work, archive, opts.runs)))
            lhasa = (f"{'-':>8} {'-':>7} {'-':>8} {'-':>6}" if alone else
                     f"{min(t for t, _ in theirs):8.3f} {mib / min(t for t, _ in theirs):7.1f} "
                     f"{max(m for _, m in theirs) / 1024:7.1f}M "
                     f"{min(t for t, _ in theirs) / t_ours:6.2f}")
            print(f"-{method}- {archive.stat().st_size / 2**20:7.1f}M {mib:8.1f}M "
                  f"{t_ours:8.3f} {mib / t_ours:7.1f} {max(m for _, m in ours) / 1024:7.1f}M "
                  f"{lhasa}")
            archive.unlink()
        print("ratio: lhasa's time over ours (target >= 1)")
        if checks:
            print(f"\n{'method':6} {'--check s':>9} {'7zz t s':>8} {'ratio':>6}")
            for method, t_check, t_7zz in checks:
                print(f"-{method}- {t_check:9.3f} {t_7zz:8.3f} {t_check / t_7zz:6.2f}")
            print("ratio: our --check's time over 7zz t's, the archive tested whole (target <= 0.67)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

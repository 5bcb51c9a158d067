#!/usr/bin/env python3
"""How much time and memory the stub's payload copy costs, under Wine.

Runs an installer whose payload is a 256 MiB program and one whose payload is
tiny, side by side, and compares the extra time with what cp needs to copy
the same 256 MiB on the same file system (a memory-backed one, so that disk
write-back stays out of the figure). Prints the ratio and the peak memory.

    bench/copy.py [--mib 256] [--runs 7]    (after cmake --build --preset win32)
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "win32"


def timed(cmd, **kw):
    t = time.perf_counter()
    subprocess.run(cmd, check=True, **kw)
    return time.perf_counter() - t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--runs", type=int, default=7)
    opts = ap.parse_args()

    base = Path(tempfile.mkdtemp(prefix="stub-bench-", dir="/dev/shm"))
    prefix = base / "prefix"
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="ja_JP.UTF-8")
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    helper = ROOT / "tests" / "e2e" / "wine-prefix.sh"
    subprocess.run([helper, "start", str(prefix)], check=True, **quiet)
    try:
        work = prefix / "drive_c" / "bench"
        (work / "dest").mkdir(parents=True)
        stub = (BUILD / "stub.exe").read_bytes()
        program = (BUILD / "fail.exe").read_bytes()  # exits at once, whatever follows it
        (work / "small.exe").write_bytes(stub + program)
        big = work / "big.exe"
        with open(big, "wb") as f:
            f.write(stub + program)
            chunk = os.urandom(1 << 20)
            for _ in range(opts.mib):
                f.write(chunk)

        peaks = {}

        def install(name):
            # GNU time reports the stub's own peak memory (Linux would carry
            # this script's over the exec into a plain wait4 figure).
            peak = base / "peak"
            t = timed(["/usr/bin/time", "-f", "%M", "-o", str(peak), "wine", name], cwd=work,
                      input=b"dest\r\n", env=env, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
            kib = int(peak.read_text().split()[-1])
            peaks[name] = max(peaks.get(name, 0), kib)
            return t

        install("small.exe")  # warm caches and the prefix
        small, large, cp = [], [], []
        for _ in range(opts.runs):
            small.append(install("small.exe"))
            large.append(install("big.exe"))
            cp.append(timed(["cp", str(big), str(work / "copy.bin")]))
            (work / "copy.bin").unlink()
        # Starting Wine varies by tenths of a second from run to run; the
        # fastest of several runs is the figure least disturbed by it.
        extra = min(large) - min(small)
        cp_time = min(cp)
        print(f"fastest of {opts.runs} runs each")
        print(f"payload: {opts.mib} MiB on {base} (tmpfs)")
        print(f"installer run, tiny payload:  {min(small):.3f} s")
        print(f"installer run, {opts.mib} MiB payload: {min(large):.3f} s")
        print(f"extra time for the payload:  {extra:.3f} s")
        print(f"cp of the same file:         {cp_time:.3f} s")
        print(f"ratio extra/cp:              {extra / cp_time:.2f} (target <= 2)")
        print(f"peak memory of the stub: {peaks['small.exe'] / 1024:.1f} MiB with the tiny payload, "
              f"{peaks['big.exe'] / 1024:.1f} MiB with {opts.mib} MiB")
    finally:
        subprocess.run([helper, "stop", str(prefix)], **quiet)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

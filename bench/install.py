#!/usr/bin/env python3
"""Install time under Wine: our installer (-m xz and -m lh7) against NSIS's
solid LZMA installer of the same product, run silently (/S /D=...).

The product is compress.py's corpus (Wine's own DLLs). Each installer is
run --runs times into a new folder of a Wine prefix of the bench's own; the
table gives the median wall time, start to exit, and every installed tree
is compared with the product byte for byte.

    bench/install.py [--runs 3] [--part 0-3] [--unpacked DIR]

Needs the release build, Wine, and makensis (Debian package nsis, which the
bench installs when it runs as root).
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from compress import ROOT, corpus_files, makensis, nsis_script


def detached(cmd, env):
    """A Wine service that inherits our pipes would hold them open."""
    subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


def same_tree(product, installed):
    names = sorted(p.name for p in product.iterdir())
    if sorted(p.name for p in installed.iterdir()) != names:
        return False
    match, mismatch, errors = filecmp.cmpfiles(product, installed, names, shallow=False)
    return not mismatch and not errors


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--part", type=int, default=0, choices=range(4))
    ap.add_argument("--unpacked", help="libwine:i386 unpacked here (dpkg -x) instead of installed")
    opts = ap.parse_args()
    release = ROOT / "build" / "release"
    mkinstaller, windows = release / "mkinstaller", release / "windows"
    nsis = makensis()
    if nsis is None:
        sys.exit("needs makensis (Debian package nsis)")

    work = Path(tempfile.mkdtemp(prefix="install-bench-", dir="/dev/shm"))
    prefix = work / "prefix"
    env = {**os.environ, "WINEPREFIX": str(prefix), "WINEDEBUG": "-all", "LANG": "ja_JP.UTF-8"}
    try:
        product = work / "product"
        product.mkdir()
        for f in corpus_files(opts.unpacked, opts.part):
            shutil.copy2(f, product)
        total = sum(p.stat().st_size for p in product.iterdir())
        installers = {}
        for method in ("xz", "lh7"):
            out = work / f"ours-{method}.exe"
            subprocess.run([mkinstaller, "-o", out, "--stub", windows / "stub.exe", "--sfx",
                            windows / "sfx.exe", "-m", method, "-q", product], check=True)
            installers[f"ours -m {method}"] = out
        (work / "bench.nsi").write_text(nsis_script(work / "nsis.exe", product,
                                                    sorted(p.name for p in product.iterdir()), ""))
        subprocess.run([nsis, "-V1", work / "bench.nsi"], check=True, stdout=subprocess.DEVNULL)
        installers["NSIS /SOLID lzma, /S"] = work / "nsis.exe"

        # A persistent server first, then the prefix booted once.
        prefix.mkdir()
        subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        detached(["wine", "cmd", "/c", "exit"], env)
        drive_c = prefix / "drive_c"
        print(f"product: {len(list(product.iterdir()))} files, {total / 2**20:.1f} MiB; "
              f"median of {opts.runs} installs under Wine")
        print(f"{'installer':24} {'bytes':>12} {'seconds':>8}  installed tree")
        for name, installer in installers.items():
            shutil.copy(installer, drive_c / installer.name)
            times, good = [], True
            for i in range(opts.runs):
                dest = drive_c / f"dest-{installer.stem}-{i}"
                if name.startswith("NSIS"):
                    cmd = ["wine", installer.name, "/S", f"/D=C:\\{dest.name}"]
                    reply = b""
                else:
                    cmd = ["wine", installer.name]
                    reply = f"C:\\{dest.name}\r\ny\r\n".encode()
                t = time.perf_counter()
                subprocess.run(cmd, cwd=drive_c, env=env, input=reply, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, check=True)
                times.append(time.perf_counter() - t)
                good = good and dest.is_dir() and same_tree(product, dest)
                shutil.rmtree(dest, ignore_errors=True)
            print(f"{name:24} {installer.stat().st_size:12d} {statistics.median(times):8.2f}  "
                  f"{'the product, byte for byte' if good else 'DIFFERS FROM THE PRODUCT'}")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Compressed size and speed of mkinstaller against jlha, 7-Zip and NSIS.

The corpus is a realistic product: every 4th file (in name order, from the
first) that Debian's libwine:i386 package installs under i386-windows, 189
Windows DLLs and programs, about 144 MiB. It is copied to a memory-backed
folder for the run; nothing of it enters the tree. Each program packs the
whole corpus; the table gives the median size, time and peak memory of the
runs. Our archive size is the installer less the stub and the extractor.

    bench/compress.py [--runs 3] [--methods lh5,lh6,lh7,xz] [--part 0-3] [--unpacked DIR]
    bench/compress.py --member-mib 200 [--best] [--dir DIR]

The second form packs one member of that size (the corpus repeated), checks
the archive with lhasa, 7zz, jlha and our extractor, and prints its size,
time and peak memory: memory must not grow with the member.

Needs the release build (its stub and extractor are packed with
the archive), jlha, and 7zz (Debian package 7zip). For the solid method
(xz) the table adds 7-Zip's own solid archive and NSIS's solid installer
(makensis, Debian package nsis, which the bench installs when it runs as
root), whole installers against whole archives.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WINE_DIR = "/usr/lib/i386-linux-gnu/wine/i386-windows/"


def corpus_files(unpacked=None, part=0):
    """Every 4th file from the part-th: parts 1-3 are other corpora of the
    same kind, to check that a tuning holds beyond the one it was made on."""
    if unpacked:
        # The package's files unpacked with dpkg -x, where wine32 cannot be
        # installed.
        root = Path(unpacked) / WINE_DIR.lstrip("/")
        files = sorted(str(p) for p in root.iterdir() if p.is_file())
    else:
        listed = subprocess.run(["dpkg", "-L", "libwine:i386"], capture_output=True, text=True)
        if listed.returncode != 0:
            sys.exit("needs the libwine:i386 package (it comes with wine32:i386), or --unpacked")
        files = sorted(p for p in listed.stdout.splitlines()
                       if p.startswith(WINE_DIR) and Path(p).is_file())
    return files[part::4]


def timed(cmd, cwd, out):
    """Runs cmd; returns (seconds, peak KiB, size of out)."""
    peak = Path(cwd).parent / "peak"  # not in the corpus, which ours packs whole
    t = time.perf_counter()
    r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(peak), *map(str, cmd)], cwd=cwd,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - t
    if r.returncode != 0:
        sys.exit(f"{cmd[0]} failed: {r.stderr.decode(errors='replace')[-500:]}")
    return elapsed, int(peak.read_text().split()[-1]), Path(out).stat().st_size


def big_member(work, mkinstaller, stub, sfx, mib, best, files):
    src = work / "big"
    src.mkdir()
    with open(src / "member.bin", "wb") as f:
        while f.tell() < mib << 20:
            for p in files:
                f.write(Path(p).read_bytes()[: (mib << 20) - f.tell()])
                if f.tell() >= mib << 20:
                    break
    size = (src / "member.bin").stat().st_size
    cmd = [mkinstaller, "-o", work / "big.exe", "--stub", stub, "--sfx", sfx, *(["--best"] if best else []), src]
    secs, peak, total = timed(cmd, src, work / "big.exe")
    arc = work / "big.lzh"
    with open(work / "big.exe", "rb") as f, open(arc, "wb") as a:
        f.seek(stub.stat().st_size + sfx.stat().st_size)
        shutil.copyfileobj(f, a, 1 << 24)
    (work / "big.exe").unlink()
    # lhasa and 7-Zip read only the headers' 32-bit sizes: a member of
    # 4 GiB or more, whose sizes are in the 64-bit extension, is not theirs.
    testers = [] if size >= 1 << 32 else [["lhasa", "t", arc], ["7zz", "t", arc]]
    for check in testers:
        if subprocess.run(check, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
            sys.exit(f"{check[0]} rejects the archive")
    for name, cmd in (("jlha", ["jlha", "xq", arc]), ("ours", [ROOT / "build" / "release" / "sfx", arc])):
        out = work / f"x-{name}"
        out.mkdir()
        subprocess.run(cmd, cwd=out, check=True, stdout=subprocess.DEVNULL)
        if subprocess.run(["cmp", "-s", out / "member.bin", src / "member.bin"]).returncode:
            sys.exit(f"{name} unpacks other bytes")
        shutil.rmtree(out)
    print(f"one member of {size} bytes{' --best' if best else ''}: archive "
          f"{total - stub.stat().st_size - sfx.stat().st_size} bytes, {secs:.1f} s, "
          f"peak {peak / 1024:.1f} MiB; {'lhasa t, 7zz t, ' if testers else ''}jlha and ours agree")


def makensis():
    """Debian's makensis, installed first where it is missing and we may."""
    if shutil.which("makensis") is None and os.geteuid() == 0:
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", "nsis"],
                       stdout=subprocess.DEVNULL, env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
    return shutil.which("makensis")


def nsis_script(output, src, names, dictionary):
    """An NSIS installer of src's files, solid LZMA, into $INSTDIR."""
    return ("Unicode true\nSetCompressor /SOLID lzma\n" + dictionary +
            f'OutFile "{output}"\nInstallDir "$PROGRAMFILES\\bench"\n'
            "RequestExecutionLevel user\nSection\nSetOutPath $INSTDIR\n" +
            "".join(f'File "{src / n}"\n' for n in names) + "SectionEnd\n")


def solid_rows(work, src, names, run, ours, total, cores):
    """The solid method beside what publishers compare it with: 7-Zip's
    solid 7z archive, NSIS's solid LZMA installer (at its default dictionary
    and at 64 MiB), and our whole installer, stub and extractor included."""
    rows = [("7zz -t7z -mx=9", run(["7zz", "a", "-t7z", "-mx=9", work / "s.7z", *names], work / "s.7z"))]
    nsis = makensis()
    for label, dictionary in (("/SOLID lzma", ""), ("/SOLID lzma, 64 MiB", "SetCompressorDictSize 64\n")):
        if nsis is None:
            break
        script = work / "bench.nsi"
        script.write_text(nsis_script(work / "nsis.exe", src, names, dictionary))
        rows.append((f"NSIS {label}", run([nsis, "-V1", script], work / "nsis.exe")))
    for best in ([], ["--best"]):
        for jobs in (cores, 1):
            name = " ".join(["ours -m xz", *best, f"-j {jobs}"])
            rows.append((name, run([*ours, "-m", "xz", *best, "-j", str(jobs), src], work / "o.exe")))
    seven = rows[0][1][0]
    print(f"{'program':28} {'bytes':>12} {'of input':>8} {'of 7z':>8} {'seconds':>8} {'MiB/s':>7} "
          f"{'peak MiB':>9}")
    for name, (size, secs, peak) in rows:
        print(f"{name:28} {int(size):12d} {size / total:8.1%} {size / seven:8.3f} {secs:8.2f} "
              f"{total / 2**20 / secs:7.1f} {peak / 1024:9.1f}")
    if nsis is None:
        print("NSIS: makensis is not installed (Debian package nsis)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--methods", default="lh5,lh6,lh7,xz")
    ap.add_argument("--member-mib", type=int, default=0)
    ap.add_argument("--best", action="store_true")
    ap.add_argument("--unpacked", help="libwine:i386 unpacked here (dpkg -x) instead of installed")
    ap.add_argument("--part", type=int, default=0, choices=range(4),
                    help="which quarter of the package's files (default 0; 1-3 to check a tuning)")
    # A member past 4 GiB and its copies outgrow the usual /dev/shm.
    ap.add_argument("--dir", default="/dev/shm", help="where to work (default: /dev/shm)")
    opts = ap.parse_args()

    mkinstaller = ROOT / "build" / "release" / "mkinstaller"
    stub = ROOT / "build" / "release" / "windows" / "stub.exe"
    sfx = ROOT / "build" / "release" / "windows" / "sfx.exe"
    for p in (mkinstaller, stub, sfx):
        if not p.exists():
            sys.exit(f"missing {p}: build the release preset first")
    overhead = stub.stat().st_size + sfx.stat().st_size

    work = Path(tempfile.mkdtemp(prefix="compress-bench-", dir=opts.dir))
    try:
        if opts.member_mib:
            return big_member(work, mkinstaller, stub, sfx, opts.member_mib, opts.best,
                              corpus_files(opts.unpacked, opts.part))
        src = work / "corpus"
        src.mkdir()
        files = corpus_files(opts.unpacked, opts.part)
        for f in files:
            shutil.copy2(f, src)
        names = sorted(p.name for p in src.iterdir())
        total = sum((src / n).stat().st_size for n in names)
        print(f"corpus: {len(names)} files, {total / 2**20:.1f} MiB ({total} bytes); "
              f"median of {opts.runs} runs, on tmpfs, {len(os.sched_getaffinity(0))} cores")

        cores = len(os.sched_getaffinity(0))
        ours = [mkinstaller, "-o", work / "o.exe", "--stub", stub, "--sfx", sfx]

        def run(cmd, out, minus=0):
            runs = []
            for _ in range(opts.runs):
                Path(out).unlink(missing_ok=True)
                runs.append(timed(cmd, src, out))
            return (statistics.median(r[2] for r in runs) - minus,
                    statistics.median(r[0] for r in runs), max(r[1] for r in runs))

        zipped = run(["7zz", "a", "-tzip", "-mx=9", work / "z.zip", *names], work / "z.zip")
        print(f"{'program':28} {'bytes':>12} {'of input':>8} {'of jlha':>8} {'seconds':>8} "
              f"{'MiB/s':>7} {'peak MiB':>9}")
        for method in opts.methods.split(","):
            if method == "xz":
                solid_rows(work, src, names, run, ours, total, cores)
                continue
            m = method[-1]
            rows = [(f"jlha -lh{m}-", run(["jlha", f"c2o{m}q", work / "j.lzh", *names], work / "j.lzh"))]
            if method == "lh7":
                rows.append(("7zz -tzip -mx=9", zipped))
            for best in ([], ["--best"]):
                for jobs in (cores, 1):
                    name = " ".join([f"ours -m {method}", *best, f"-j {jobs}"])
                    rows.append((name, run([*ours, "-m", method, *best, "-j", str(jobs), src],
                                           work / "o.exe", overhead)))
            jlha = rows[0][1][0]
            for name, (size, secs, peak) in rows:
                print(f"{name:28} {int(size):12d} {size / total:8.1%} {size / jlha:8.3f} {secs:8.2f} "
                      f"{total / 2**20 / secs:7.1f} {peak / 1024:9.1f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

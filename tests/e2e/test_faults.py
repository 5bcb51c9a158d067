"""Faults a user's machine or a damaged download brings, end to end under
Wine: hostile archives, a full disk, a cut download, a read-only folder, long
names, and installers of more than 2 GiB."""
import os
import signal
import time
from pathlib import Path
import shutil
import subprocess
import unittest

from harness import PROMPT_DEFAULT, WineTest
from lzhdata import Said, archive, member, mount_tmpfs

said = Said("\r\n")


def fill(folder, leave):
    """Fills a file system but for `leave` bytes, so that the next large
    write fits in part: the case where Windows writes what fits and reports
    no error of its own."""
    st = os.statvfs(folder)
    free = st.f_bavail * st.f_frsize
    (folder / "filler").write_bytes(bytes(max(free - leave, 0)))


class FaultTest(WineTest):
    def setUp(self):
        super().setUp()
        self.sfx = self.build_file("sfx.exe")
        self.stub = self.build_file("stub.exe")

    def files_in(self, folder):
        return sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file())

    def run_sfx(self, folder, archive_bytes, timeout=60):
        """Runs the extractor with its archive from a folder outside folder,
        in folder, as the stub runs it."""
        program = self.work / "x.exe"
        program.write_bytes(self.sfx + archive_bytes)
        return self.wine([str(program)], cwd=folder, timeout=timeout)


class HostileArchives(FaultTest):
    def test_sizes_the_file_cannot_hold_stop_at_once(self):
        # Packed size 2^32 less the header: a 32-bit seek by it lands on the
        # header again, and a reader that trusts it loops for ever.
        for method in (b"-lhd-", b"-lh5-", b"-lh0-"):
            with self.subTest(method=method):
                dest = self.work / method.decode().strip("-")
                dest.mkdir()
                data = archive(member(b"x", b"", method=method, packed=lambda hl: 2**32 - hl))
                status, out, err = self.run_sfx(dest, data, timeout=30)
                self.assertEqual(status, 1)
                self.assertIn(said(said.DATA_CUT), err)
                self.assertEqual(self.files_in(dest), [])

    def test_windows_mkinstaller_refuses_and_checks_such_archives_without_hanging(self):
        hang = archive(member(b"x", b"", method=b"-lhd-", packed=lambda hl: 2**32 - hl))
        (self.work / "hang.lzh").write_bytes(hang)
        (self.work / "hang.exe").write_bytes(self.stub + self.sfx + hang)
        for args in (["-o", "setup.exe", "--archive", "hang.lzh"], ["--check", "hang.exe"]):
            with self.subTest(args=args):
                status, _, err = self.mkinstaller(*args)
                self.assertEqual(status, 1)
                self.assertIn(b"archive ends inside this file's data", err)
        self.assertFalse((self.work / "setup.exe").exists())

    def test_device_names_are_refused_and_nothing_is_sent_to_a_device(self):
        for name in (b"COM1 .txt", b"AUX .txt", b"NUL ", b"CONOUT$", b"sub/lpt1 .log"):
            with self.subTest(name=name):
                dest = self.work / "dest"
                dest.mkdir(exist_ok=True)
                status, out, err = self.run_sfx(dest, archive(member(b"first.txt", b"1"),
                                                              member(name, b"to the port")))
                self.assertEqual(status, 1)
                self.assertEqual(err, said(said.REFUSED, name.decode().replace("/", "\\")))
                self.assertEqual(out, said(said.EXTRACTED, "first.txt") + said(said.INCOMPLETE))

    def test_names_windows_takes_for_one_file_never_overwrite_each_other(self):
        # NEC and IBM duplicates, a Roman numeral and its small form, and
        # plain case; a file that was there before the run is still replaced.
        for first, second in ((b"\x87\x54", b"\xfa\x4a"),
                              (b"\x81\xca", b"\xfa\x54"), (b"\x87\x54", b"\xee\xef"),
                              (b"README.txt", b"readme.txt")):
            with self.subTest(first=first, second=second):
                dest = self.work / "dest"
                shutil.rmtree(dest, ignore_errors=True)
                dest.mkdir()
                (dest / "OLD.txt").write_bytes(b"the user's")
                status, out, err = self.run_sfx(dest, archive(
                    member(b"old.txt", b"new"), member(first, b"first"), member(second, b"second")))
                # Names as stored, byte for byte, whatever they mean.
                self.assertEqual(err, said(said.SAME_FILE, "<2>", "<1>").replace(b"<2>", second)
                                 .replace(b"<1>", first))
                self.assertEqual(out, said(said.EXTRACTED, "old.txt") +
                                 said(said.EXTRACTED, "<1>").replace(b"<1>", first) + said(said.INCOMPLETE))
                self.assertEqual(status, 1)
                self.assertEqual(sorted(p.read_bytes() for p in dest.iterdir()), [b"first", b"new"])
        # A code that is no character has no name of its own on Windows: it
        # is refused, not written under the default character.
        shutil.rmtree(dest)
        dest.mkdir()
        status, out, err = self.run_sfx(dest, archive(member(b"\x85\x40", b"first")))
        self.assertEqual((status, err), (1, said(said.NOT_EXTRACTED, "<1>", said.EILSEQ)
                                         .replace(b"<1>", b"\x85\x40")))
        self.assertEqual(list(dest.iterdir()), [])
        # The Windows mkinstaller refuses to pack them.
        (self.work / "nec.lzh").write_bytes(archive(member(b"\x87\x54", b"1"), member(b"\xfa\x4a", b"2")))
        (self.work / "none.lzh").write_bytes(archive(member(b"\xeb\x40", b"1")))
        for name, why in (("nec.lzh", b"Windows takes these names for one file"),
                          ("none.lzh", b"EB 40, which are no character")):
            status, _, err = self.mkinstaller("-o", "setup.exe", "--archive", name)
            self.assertEqual(status, 1)
            self.assertIn(why, err)

    def test_members_named_like_temporary_files_destroy_nothing(self):
        dest = self.work / "dest"
        dest.mkdir()
        (dest / "notes.txt.~sfx").write_bytes(b"the user's own")
        status, out, err = self.run_sfx(dest, archive(member(b"readme.txt.~sfx", b"first"),
                                                      member(b"readme.txt", b"second"),
                                                      member(b"notes.txt", b"third")))
        self.assertEqual((status, err), (0, b""))
        self.assertEqual({p.name: p.read_bytes() for p in dest.iterdir()},
                         {"readme.txt.~sfx": b"first", "readme.txt": b"second",
                          "notes.txt": b"third", "notes.txt.~sfx": b"the user's own"})


class FullDisk(FaultTest):
    def test_the_stub_reports_the_real_cause_and_leaves_no_tmp_exe(self):
        disk = self.work / "disk"
        mount_tmpfs(self, disk, "1m")
        fill(disk, 100_000)
        (self.work / "setup.exe").write_bytes(self.stub + os.urandom(400_000))
        status, out, err = self.wine(["setup.exe"], cwd=self.work, stdin=b"disk\r\n")
        self.assertEqual(err, b"tmp.exe: No space left on device\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + self.pause_text())
        self.assertEqual(status, 1)
        self.assertEqual(self.files_in(disk), ["filler"])

    def test_the_extractor_reports_the_real_cause_and_leaves_nothing_partial(self):
        disk = self.work / "disk"
        mount_tmpfs(self, disk, "1m")
        fill(disk, 100_000)
        status, out, err = self.run_sfx(disk, archive(member(b"small.txt", b"fits"),
                                                      member(b"r.bin", os.urandom(400_000))))
        self.assertEqual(err, said(said.NOT_EXTRACTED, "r.bin", said.ENOSPC))
        self.assertEqual(out, said(said.EXTRACTED, "small.txt") + said(said.INCOMPLETE))
        self.assertEqual(status, 1)
        self.assertEqual(self.files_in(disk), ["filler", "small.txt"])


    def test_a_large_file_that_does_not_fit_ends_its_progress_line_first(self):
        disk = self.work / "disk"
        mount_tmpfs(self, disk, "2m")
        status, out, err = self.run_sfx(disk, archive(member(b"big.bin", os.urandom(5 << 20))))
        self.assertEqual(err, said(said.NOT_EXTRACTED, "big.bin", said.ENOSPC))
        self.assertEqual(status, 1)
        # Progress up to where the disk filled, then the line is ended so
        # that the report stands on its own, and the last word.
        tail = b"\r\n" + said(said.INCOMPLETE)
        self.assertTrue(out.endswith(b"%\r" + tail), out[-200:])
        steps = out[:-len(tail) - 1].split(b"\r")
        self.assertTrue(all(s.startswith(said(said.PROGRESS, "big.bin", 0)[:-5]) for s in steps))
        self.assertLess(int(steps[-1][-4:-1]), 100)
        self.assertEqual(self.files_in(disk), [])


class DamagedInstallers(FaultTest):
    def test_a_download_cut_mid_payload_says_so_and_leaves_nothing_half_written(self):
        data = archive(member(b"first.txt", b"whole"), member(b"big.bin", os.urandom(300_000)))
        installer = self.stub + self.sfx + data
        (self.work / "setup.exe").write_bytes(installer[:len(installer) - 150_000])
        (self.work / "dest").mkdir()
        status, out, err = self.wine(["setup.exe"], cwd=self.work, stdin=b"dest\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + said(said.EXTRACTED, "first.txt")
                         + said(said.INCOMPLETE) + self.pause_text())
        self.assertEqual(err, said(said.NOT_EXTRACTED, "big.bin", said.DATA_CUT))
        self.assertEqual(status, 0)  # the stub never looks at the payload's result
        self.assertEqual(self.files_in(self.work / "dest"), ["first.txt"])

    def test_a_read_only_install_folder_is_a_clear_error(self):
        ro = self.work / "ro"
        mount_tmpfs(self, ro, "1m", read_only=True)
        (self.work / "setup.exe").write_bytes(self.stub + self.sfx + archive(member(b"a", b"1")))
        status, out, err = self.wine(["setup.exe"], cwd=self.work, stdin=b"ro\r\n")
        self.assertEqual((status, err), (1, b"tmp.exe: Permission denied\r\n"))
        status, out, err = self.run_sfx(ro, archive(member(b"a.txt", b"1")))
        self.assertEqual((status, err), (1, said(said.REPORT, "a.txt", said.EACCES)))
        self.assertEqual(self.files_in(ro), [])

    def test_long_install_folders_and_names_past_the_limit(self):
        # An install folder a few characters short of MAX_PATH (Windows and
        # Wine start a program in a longer one elsewhere), files whose full
        # path passes it, one of 300 characters below it (opened by their
        # "\\?\" names, as Windows needs), and a name longer than any
        # Windows file system holds.
        base = len(self.windows_path(self.work)) + 1
        deep = self.work / ("d" * 100) / ("e" * (245 - base - 101))
        deep.mkdir(parents=True)
        self.assertEqual(len(self.windows_path(deep)), 245)
        long_path = "/".join(["p" * 99, "q" * 99, "r" * 100])
        status, out, err = self.run_sfx(deep, archive(member(b"short.txt", b"ok"),
                                                      member(b"sub/" + b"n" * 40, b"x" * 1000),
                                                      member(long_path.encode(), b"far"),
                                                      member(b"sub/" + b"n" * 256, b"x" * 1000)))
        self.assertEqual(status, 1)
        self.assertEqual(err, said(said.REFUSED, "sub\\" + "n" * 256))
        self.assertEqual(out, said(said.EXTRACTED, "short.txt") +
                         said(said.EXTRACTED, "sub\\" + "n" * 40) +
                         said(said.EXTRACTED, long_path.replace("/", "\\")) + said(said.INCOMPLETE))
        self.assertEqual(self.files_in(deep), sorted(["short.txt", os.path.join("sub", "n" * 40),
                                                      long_path.replace("/", os.sep)]))
        for name, data in (("short.txt", b"ok"), (long_path, b"far")):
            full = "\\\\?\\" + self.windows_path(deep / name)
            self.assertEqual(self.wine(["cmd", "/c", "type", full], cwd=self.work)[:2], (0, data))


class LargeInstaller(FaultTest):
    def test_windows_mkinstaller_interrupted_leaves_no_temporary_file(self):
        (self.work / "product").mkdir()
        dlls = sorted(Path("/usr/lib/i386-linux-gnu/wine/i386-windows").glob("*.dll"))
        with open(self.work / "product" / "big.dat", "wb") as f:
            for dll in dlls[:60]:
                f.write(dll.read_bytes())
        self.mkinstaller("--version")  # the tools folder, made before the clock starts
        p = subprocess.Popen(["wine", self.work / "tools" / "mkinstaller.exe", "-o", "setup.exe",
                              "--best", "-j", "1", "product"], cwd=self.work, env=self.wine_env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(600):
            if any(".tmp" in n for n in os.listdir(self.work)) or p.poll() is not None:
                break
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)  # Wine hands it on as Ctrl-C
        p.wait(timeout=60)
        self.assertEqual(sorted(n for n in os.listdir(self.work) if n != "product" and n != "tools"), [])

    def test_windows_mkinstaller_packs_and_checks_past_2_gib(self):
        (self.work / "product").mkdir()
        big = self.work / "product" / "big.dat"
        with open(big, "wb") as f:  # sparse: no disk for the zeros
            f.truncate(2_300_000_000)
            f.seek(2_299_999_000)
            f.write(b"tail" * 250)
        (self.work / "product" / "after.txt").write_bytes(b"after the big one")
        self.addCleanup(lambda: [p.unlink() for p in self.work.rglob("*.exe") if p.stat().st_size > 2**31])
        # Stored: the installer itself must pass 2 GiB.
        status, _, err = self.mkinstaller("-o", "setup.exe", "-m", "lh0", "product")
        self.assertEqual((status, err), (0, b""))
        big.unlink()
        self.assertGreater((self.work / "setup.exe").stat().st_size, 2**31)
        status, out, err = self.mkinstaller("--check", "setup.exe")
        self.assertEqual((status, err), (0, b""))
        self.assertIn(b"2300000000 ->", out)
        self.assertIn(b"after.txt", out)


class WideMember(FaultTest):
    """Slow (a few minutes, some 14 GB written): only with GRELM_SLOW=1,
    as scripts/test.sh --slow runs it."""

    def is_zeros(self, path, size):
        self.assertEqual(path.stat().st_size, size, path)
        r = subprocess.run(["cmp", "-n", str(size), str(path), "/dev/zero"], capture_output=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_a_member_of_4_5_gib_packs_checks_and_unpacks_whole_everywhere(self):
        native = os.environ.get("NATIVE_MKINSTALLER", "")
        if os.environ.get("GRELM_SLOW") != "1" or not os.path.exists(native):
            self.skipTest("slow: set GRELM_SLOW=1, with a native mkinstaller")
        # The optimized build where there is one: the sanitizers' takes long.
        release = Path(native).parent.parent / "release" / "mkinstaller"
        native = str(release) if release.exists() else native
        size = 4_831_838_208  # 4.5 GiB: its sizes need the 64-bit extension
        (self.work / "product").mkdir()
        with open(self.work / "product" / "huge.bin", "wb") as f:  # sparse zeros
            f.truncate(size)
        self.addCleanup(shutil.rmtree, self.work, True)
        tools = ["--stub", self.build / "stub.exe", "--sfx", self.build / "sfx.exe"]
        native_sfx = Path(native).parent / "sfx"
        # The solid payload too: its stream is read by xz, and its archive
        # by jlha.
        for method in ("lh7", "xz"):
            setup = self.work / f"setup-{method}.exe"
            r = subprocess.run([native, "-o", setup, "-m", method, *tools, self.work / "product"],
                               capture_output=True)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            r = subprocess.run([native, "--check", setup, *tools], capture_output=True)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertIn(b"%d" % size, r.stdout)
            payload = self.work / f"payload-{method}"
            payload.write_bytes(setup.read_bytes()[self.payload_offset +
                                                   len(self.build_file("sfx.exe")):])
            arc = self.work / "archive.lzh"
            if method == "xz":
                with open(arc, "wb") as f:
                    r = subprocess.run(["xz", "-dc", payload], stdout=f, stderr=subprocess.PIPE)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
            else:
                payload.rename(arc)
            for name, cmd in (("jlha", ["jlha", "xq", arc]), ("native", [native_sfx, setup])):
                with self.subTest(method=method, extractor=name):
                    out = self.work / name
                    out.mkdir()
                    r = subprocess.run(cmd, cwd=out, capture_output=True)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.is_zeros(out / "huge.bin", size)
                    shutil.rmtree(out)
            arc.unlink()
            payload.unlink(missing_ok=True)
            shutil.copy(setup, self.work / "setup.exe")
            status, out, err = self.wine(["setup.exe"], stdin=b"inst\r\ny\r\n", timeout=1800)
            self.assertEqual((status, err), (0, b""), method)
            self.is_zeros(self.work / "inst" / "huge.bin", size)
            shutil.rmtree(self.work / "inst")

if __name__ == "__main__":
    unittest.main(verbosity=2)

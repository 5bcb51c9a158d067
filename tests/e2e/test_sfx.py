"""End-to-end tests of the self-extractor and of packed installers, as
Windows programs under Wine."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

from harness import CODE_PAGE_LOCALES, CREATE, PROMPT_DEFAULT, WineTest, pe_checksums
from lzhdata import Said, archive, dirs_of, files_of, jlha, make_tree, member

said = Said("\r\n")


class Extractor(WineTest):
    def setUp(self):
        super().setUp()
        self.sfx = self.build_file("sfx.exe")
        self.src = make_tree(self.work / "src")
        self.dest = self.work / "dest"
        self.dest.mkdir()

    def run_sfx(self, archive_bytes, code_page=932):
        (self.dest / "x.exe").write_bytes(self.sfx + archive_bytes)
        status, out, err = self.wine(["x.exe"], cwd=self.dest, code_page=code_page)
        (self.dest / "x.exe").unlink()
        return status, out, err

    def test_jlha_archives_unpack_with_names_and_times(self):
        if shutil.which("jlha") is None:
            self.skipTest("jlha is not installed")
        want = files_of(self.src)
        os.utime(self.src / "readme.txt", (1_300_000_000, 1_300_000_000))
        for level, method in ((0, 5), (1, 6), (2, 7)):
            arc = self.work / f"l{level}.lzh"
            jlha(arc, level, method, self.src, *sorted(os.listdir(self.src)))
            status, out, err = self.run_sfx(arc.read_bytes())
            self.assertEqual((status, err), (0, b""), level)
            self.assertEqual(files_of(self.dest), want, level)
            self.assertEqual(dirs_of(self.dest), dirs_of(self.src), level)
            # One line per file, names in Shift_JIS with Windows separators.
            self.assertIn(said(said.EXTRACTED, "データ\\表示\\ソフト.dat"), out)
            self.assertEqual(out.count(b"\r\n"), len(want) + 1)
            self.assertTrue(out.endswith(said(said.COMPLETE)), out)
            mtime = (self.dest / "readme.txt").stat().st_mtime
            self.assertLessEqual(abs(mtime - 1_300_000_000), 2, level)
            shutil.rmtree(self.dest)
            self.dest.mkdir()

    def test_names_install_alike_on_every_code_page(self):
        # Trail bytes 0x5C (表, ソ), and two names UTF-8 would read as one
        # (ア and 陰: 83 41 and 89 41).
        names = ["表.txt", "データ.dat", "サブ/ソフト.txt", "ア.txt", "陰.txt"]
        data = archive(*(member(n.encode("cp932"), n.encode()) for n in names))
        for code_page in CODE_PAGE_LOCALES:
            with self.subTest(code_page=code_page):
                status, out, err = self.run_sfx(data, code_page)
                self.assertEqual((status, err), (0, b""))
                self.assertEqual(files_of(self.dest), {n.replace("/", os.sep): n.encode()
                                                       for n in names})
                # A pipe gets code page 932's bytes on every machine.
                self.assertEqual(out, said.listing(names, "\\"))
                shutil.rmtree(self.dest)
                self.dest.mkdir()

    def test_a_console_shows_the_words_on_every_code_page(self):
        (self.dest / "x.exe").write_bytes(self.sfx + archive(member("表.txt".encode("cp932"), b"1")))
        for code_page in (932, 1252):
            with self.subTest(code_page=code_page):
                screen = self.console("x.exe", self.dest, self.wine_env_for(code_page),
                                      "インストールが完了しました。")
                self.assertIn("表.txt を展開しました。\nインストールが完了しました。", screen)

    def test_an_interrupted_install_says_so_and_leaves_no_temporary_file(self):
        (self.work / "product").mkdir()
        (self.work / "product" / "a.txt").write_bytes(b"first")
        with open(self.work / "product" / "zeros.bin", "wb") as f:
            f.truncate(768 << 20)  # sparse, and a few KiB packed
        self.assertEqual(self.mkinstaller("-q", "--no-stub", "-o", "dest/x.exe", "product")[:2],
                         (0, b""))
        p = subprocess.Popen(["wine", "x.exe"], cwd=self.dest, env=self.wine_env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        temp = lambda: [n for n in os.listdir(self.dest) if n.startswith("~sfx")]
        for _ in range(1200):
            if temp() and (self.dest / temp()[0]).stat().st_size > (1 << 20) or p.poll() is not None:
                break
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)  # Wine hands it on as Ctrl-C
        out, err = p.communicate(timeout=60)
        self.assertEqual((p.returncode, err), (1, b""))
        self.assertTrue(out.startswith(said(said.EXTRACTED, "a.txt")), out[:100])
        self.assertTrue(out.endswith(said(said.INTERRUPTED)), out[-100:])
        # The temporary file goes with the last handle to it, which Wine's
        # server closes a moment after the process's pipes (it has a thread
        # more to end while a second one decodes ahead).
        for _ in range(100):
            if not temp():
                break
            time.sleep(0.05)
        self.assertEqual(sorted(os.listdir(self.dest)), ["a.txt", "x.exe"])

    def test_hostile_or_damaged_archives_stop_with_nothing_outside(self):
        good = member(b"kept.txt", b"kept")
        for data, expect in (
                (archive(good, member(b"..\\..\\escaped.txt", b"x")),
                 said(said.REFUSED, "..\\..\\escaped.txt")),
                (archive(good, member(b"C:\\escaped.txt", b"x")),
                 said(said.REFUSED, "C:\\escaped.txt")),
                (archive(good, member(b"big.bin", b"y" * 3000))[:-500],
                 said(said.NOT_EXTRACTED, "big.bin", said.DATA_CUT)),
                (b"", said(said.REPORT, "アーカイブ", said.NO_ARCHIVE))):
            status, out, err = self.run_sfx(data)
            self.assertEqual((status, err), (1, expect))
            self.assertTrue(out.endswith(said(said.INCOMPLETE)), out)
            left = files_of(self.work)
            self.assertFalse([p for p in left if "escaped" in p or "big.bin" in p], left.keys())
            self.assertFalse((self.work.parent / "escaped.txt").exists())
            for p in self.dest.iterdir():
                p.unlink()

    def test_a_stream_of_blocks_installs_alike_with_a_second_thread(self):
        """A solid payload of blocks that name their sizes, as xz -T2
        writes it: a second thread decodes the later ones into a spool in
        %TEMP%. Whole or damaged, what it installs and says is what one
        thread does, which a %TEMP% that is not there makes."""
        words = [os.urandom(6).hex().encode() for _ in range(400)]
        parts = {f"part{i}.txt": b" ".join(words[(i * 31 + j * 7919) % 400] for j in range(30_000))
                 for i in range(4)}
        arc = archive(*(member(n.encode(), d) for n, d in parts.items()))
        stream = subprocess.run(["xz", "-6", "-T2", "--block-size=128KiB", "--check=crc32", "-c"],
                                input=arc, capture_output=True, check=True).stdout
        damaged = bytearray(stream)
        damaged[-1000] ^= 0x40  # in the last block
        for name, data in (("whole", stream), ("damaged", bytes(damaged))):
            seen = []
            for temp in (None, "C:\\nowhere"):
                (self.dest / "x.exe").write_bytes(self.sfx + data)
                cmd = ["x.exe"] if temp is None else \
                    ["cmd", "/c", f"set TMP={temp}&& set TEMP={temp}&& x.exe"]
                status, out, err = self.wine(cmd, cwd=self.dest)
                (self.dest / "x.exe").unlink()
                seen.append((status, out, err, files_of(self.dest)))
                shutil.rmtree(self.dest)
                self.dest.mkdir()
            self.assertEqual(seen[0], seen[1], name)
            self.assertEqual(seen[0][0], 0 if name == "whole" else 1, name)
            if name == "whole":
                self.assertEqual(seen[0][3], {n: d for n, d in parts.items()})

    def test_large_files_show_their_progress_on_one_line(self):
        big = os.urandom(5 << 20)
        status, out, err = self.run_sfx(archive(member(b"big.bin", big), member(b"after.txt", b"x")))
        self.assertEqual((status, err), (0, b""))
        self.assertEqual((self.dest / "big.bin").read_bytes(), big)
        progress = said(said.PROGRESS, "big.bin", 0)[:-5]
        end = said(said.EXTRACTED, "big.bin") + said(said.EXTRACTED, "after.txt") + \
            said(said.COMPLETE)
        self.assertTrue(out.endswith(end), out[-300:])
        steps = out[:-len(end)].split(b"\r")
        self.assertEqual(steps[-1], b"")
        percents = []
        for step in steps[:-1]:
            self.assertTrue(step.startswith(progress) and step.endswith(b"%"), step)
            self.assertEqual(len(step), len(progress) + 4)  # the count is 3 wide
            percents.append(int(step[len(progress):-1]))
        self.assertGreater(len(percents), 10)
        self.assertEqual(percents, sorted(set(percents)))
        self.assertEqual(percents[-1], 100)
        # Each rewrite is exactly as long as the line that ends it.
        self.assertEqual(len(steps[-2]), len(said(said.EXTRACTED, "big.bin")) - 2)


class PackedInstaller(WineTest):
    def test_installer_runs_the_dialogue_then_unpacks_the_product(self):
        product = make_tree(self.work / "product")
        listing = said.listing(sorted((n.replace("/", "\\") for n in files_of(product)),
                                      key=lambda n: n.encode("cp932")))
        for how in ([], ["-m", "lh5", "--best"], ["-m", "lh0"], ["-m", "xz"], ["-m", "XZ", "--best"]):
            with self.subTest(how=how):
                status, _, err = self.mkinstaller("-o", "setup.exe", *how, "product")
                self.assertEqual((status, err), (0, b""))
                shutil.rmtree(self.work / "inst", ignore_errors=True)
                status, out, err = self.wine(["setup.exe"], stdin=b"inst\r\ny\r\n")
                self.assertEqual(out, PROMPT_DEFAULT + CREATE + listing + self.pause_text())
                self.assertEqual((status, err), (0, b""))
                self.assertEqual(files_of(self.work / "inst"), files_of(product))
                self.assertEqual(dirs_of(self.work / "inst"), dirs_of(product))

    def test_windows_and_native_mkinstaller_write_the_same_bytes(self):
        native = os.environ.get("NATIVE_MKINSTALLER", "")
        if not os.path.exists(native):
            self.skipTest(f"needs a native mkinstaller (NATIVE_MKINSTALLER is '{native}')")
        make_tree(self.work / "product")
        # A file of two pieces, encoded by three threads on Windows.
        words = [os.urandom(8).hex().encode() for _ in range(500)]
        big = b" ".join(words[(i * 7919) % 500] for i in range(260_000))[:(4 << 20) + 12345]
        (self.work / "product" / "big.txt").write_bytes(big)
        r = subprocess.run([native, "-o", self.work / "native.exe", "--stub", self.build / "stub.exe",
                            "--sfx", self.build / "sfx.exe", self.work / "product"], capture_output=True)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        # Japanese names, whatever the publisher's code page.
        for code_page in CODE_PAGE_LOCALES:
            with self.subTest(code_page=code_page):
                self.assertEqual(self.mkinstaller("-o", "win.exe", "-j", "3", "product",
                                                  code_page=code_page)[:2], (0, b""))
                self.assertEqual((self.work / "win.exe").read_bytes(),
                                 (self.work / "native.exe").read_bytes())
                status, out, err = self.mkinstaller("--check", "win.exe", code_page=code_page)
                self.assertEqual((status, err), (0, b""))
                self.assertIn(b"every CRC verified", out)
        # The solid method too: the same encoder, the same stream; --best's
        # block in two pieces that Windows threads encode.
        for best in ([], ["--best"]):
            r = subprocess.run([native, "-o", self.work / "native-xz.exe", "--stub",
                                self.build / "stub.exe", "--sfx", self.build / "sfx.exe", "-m", "xz",
                                *best, self.work / "product"], capture_output=True)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertEqual(self.mkinstaller("-o", "win-xz.exe", "-m", "xz", *best, "-j", "3",
                                              "product")[:2], (0, b""))
            self.assertEqual((self.work / "win-xz.exe").read_bytes(),
                             (self.work / "native-xz.exe").read_bytes())
            status, out, err = self.mkinstaller("--check", "win-xz.exe")
            self.assertEqual((status, err), (0, b""))
            self.assertIn(b"LZMA stream", out)
        status, out, err = self.wine(["win-xz.exe"], stdin=b"inst-xz\r\ny\r\n")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(files_of(self.work / "inst-xz"), files_of(self.work / "product"))
        # A Western machine installs them as a Japanese one does.
        status, out, err = self.wine(["win.exe"], stdin=b"inst\r\ny\r\n", code_page=1252)
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(files_of(self.work / "inst"), files_of(self.work / "product"))
        # A character code page 932 lacks is refused, naming the file as the
        # publisher's machine spells it.
        (self.work / "product" / "café.txt").write_bytes(b"x")
        for code_page, spelled in ((1252, "cp1252"), (65001, "utf-8")):
            with self.subTest(code_page=code_page):
                status, _, err = self.mkinstaller("-o", "lost.exe", "product", code_page=code_page)
                self.assertEqual(status, 1)
                self.assertIn("café.txt: name can't be written".encode(spelled), err)
                self.assertFalse((self.work / "lost.exe").exists())

    def test_archives_of_other_tools_install_as_lhasa_unpacks_them(self):
        samples = Path(__file__).resolve().parents[2].parent / "shared" / "lzh-samples"
        if not samples.is_dir() or shutil.which("lhasa") is None:
            self.skipTest(f"needs lhasa and {samples}")
        old = self.work / "old-setup.exe"  # an old installer: a stub, then a self-extractor
        old.write_bytes(self.build_file("stub.exe") + (samples / "lha255e-sfx.exe").read_bytes())
        # Samples lhasa cannot read (-lh2-): the member's CRC is the check,
        # and the name and size installed.
        crc_only = {"unlha32-lh2.lzh": {"LICENSE.MIT": 2853}}
        # Every sample, and the old installer.
        for sample in sorted(p for p in samples.iterdir() if p.suffix != ".md") + [old]:
            with self.subTest(sample=sample.name):
                want = self.work / ("lhasa-" + sample.name)
                want.mkdir()
                if sample.name not in crc_only:
                    subprocess.run(["lhasa", f"xw={want}", sample], check=True, capture_output=True)
                # A plain name for Wine's sake; the suffix tells a .com apart.
                copy = "old.exe" if sample == old else "sample" + sample.suffix
                shutil.copy(sample, self.work / copy)
                status, _, err = self.mkinstaller("-o", "setup.exe", "--archive", copy)
                self.assertEqual(status, 0, err)
                shutil.rmtree(self.work / "inst", ignore_errors=True)
                status, out, err = self.wine(["setup.exe"], stdin=b"inst\r\ny\r\n")
                self.assertEqual((status, err), (0, b""))
                self.assertTrue(out.endswith(said(said.COMPLETE) + self.pause_text()), out[-200:])
                lower = lambda files: {k.lower().rstrip(". "): v for k, v in files.items()}
                if sample.name in crc_only:
                    self.assertEqual({k: len(v) for k, v in files_of(self.work / "inst").items()},
                                     crc_only[sample.name])
                    continue
                self.assertEqual(lower(files_of(self.work / "inst")), lower(files_of(want)))

    def test_windows_mkinstaller_takes_the_utf16_names_windows_tools_add(self):
        wide = lambda name: name.encode("utf-16-le")
        (self.work / "wide.lzh").write_bytes(archive(
            member(b"?.txt", b"w", extensions=[(0x45, wide("フォルダ")), (0x44, wide("表示.txt"))]),
            member(b"x.txt", b"y", extensions=[(0x44, wide("～.txt"))])))
        status, _, err = self.mkinstaller("-o", "setup.exe", "--archive", "wide.lzh")
        self.assertEqual(status, 0, err)
        status, out, err = self.wine(["setup.exe"], stdin=b"inst\r\ny\r\n")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(files_of(self.work / "inst"),
                         {os.path.join("フォルダ", "表示.txt"): b"w", "～.txt": b"y"})
        (self.work / "lost.lzh").write_bytes(archive(member(b"x", b"1", extensions=[(0x44, wide("é"))])))
        status, _, err = self.mkinstaller("-o", "lost.exe", "--archive", "lost.lzh")
        self.assertEqual(status, 1)
        self.assertIn(b"code page 932 lacks", err)

    def test_a_folder_under_the_root_becomes_the_installing_users_own(self):
        # Wine keeps no access lists (it makes them from the Unix mode), but
        # a wineserver run with -d2 logs every descriptor a program hands
        # it: a prefix of its own, whose C:\ lets everyone write once its
        # mode is 0777, as Windows' C:\ lets Authenticated Users.
        make_tree(self.work / "product")
        self.assertEqual(self.mkinstaller("-o", "setup.exe", "product")[:2], (0, b""))
        prefix = Path(tempfile.mkdtemp(prefix="grelm-acl-"))
        env = dict(self.wine_env, WINEPREFIX=str(prefix))
        with open(prefix.parent / (prefix.name + ".log"), "w+b") as log:
            server = subprocess.Popen(["wineserver", "-f", "-d2"], env=env, stdin=subprocess.DEVNULL,
                                      stdout=log, stderr=log)
            try:
                subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
                drive_c = prefix / "drive_c"
                shutil.copy(self.work / "setup.exe", drive_c)
                set_lists = []
                (drive_c / "sub").mkdir()
                for mode, answer in ((0o755, b"\r\ny\r\n"), (0o777, b"sub\\inst\r\ny\r\n"),
                                     (0o777, b"\r\ny\r\n")):
                    os.chmod(drive_c, mode)
                    log.seek(0)
                    before = log.read().count(b"set_security_object( ")
                    r = subprocess.run(["wine", "setup.exe"], cwd=drive_c, env=env, input=answer,
                                       capture_output=True, timeout=120)
                    self.assertEqual((r.returncode, r.stderr), (0, b""))
                    self.assertTrue(r.stdout.endswith(said(said.COMPLETE) + self.pause_text()))
                    log.seek(0)
                    lines = [l for l in log.read().splitlines() if b"set_security_object( " in l]
                    set_lists.append(lines[before:])
                    shutil.rmtree(drive_c / "grelm", ignore_errors=True)
                # Set only where C:\ lets everyone write, and only on a
                # folder directly under it: protected, the four entries.
                self.assertEqual(set_lists[:2], [[], []])
                self.assertEqual(len(set_lists[2]), 1, set_lists[2])
                self.assertIn(b"control=00001004", set_lists[2][0])
                entries = re.findall(rb"mask=([0-9a-f]+),sid=([-S0-9]+)", set_lists[2][0])
                self.assertEqual(entries, [(b"1f01ff", b"S-1-5-18"), (b"1f01ff", b"S-1-5-32-544"),
                                           (b"1f01ff", b"S-1-5-21-0-0-0-1000"),
                                           (b"1200a9", b"S-1-5-32-545")])
            finally:
                subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                server.wait(timeout=60)
                shutil.rmtree(prefix, ignore_errors=True)
                os.unlink(log.name)

    def test_windows_mkinstaller_checks_what_it_packed(self):
        (self.work / "product").mkdir()
        (self.work / "product" / "表示.txt").write_bytes(b"hello")
        self.assertEqual(self.mkinstaller("-o", "setup.exe", "product")[0], 0)
        status, out, err = self.mkinstaller("--check", "setup.exe")
        self.assertEqual((status, err), (0, b""))
        self.assertIn("表示.txt".encode("cp932"), out)
        self.assertIn(b"stub and extractor as built", out)
        # The checksum in its header is the whole installer's.
        self.assertEqual(pe_checksums(self.work / "setup.exe"), "equal")
        # A Japanese UI reads Japanese on a console of any code page.
        env = {k: v for k, v in self.wine_env.items() if k != "LC_ALL"}
        env.update(LC_CTYPE=CODE_PAGE_LOCALES[1252], LC_MESSAGES="ja_JP.UTF-8")
        screen = self.console(f"'{self.work / 'tools' / 'mkinstaller.exe'}' --check setup.exe",
                              self.work, env, "すべての CRC")
        self.assertIn("表示.txt", screen)
        self.assertIn("すべての CRC を確認しました", screen)


class WindowsPackage(WineTest):
    PROGRAMS = ("mkinstaller.exe", "stub.exe", "sfx.exe")

    def test_the_zip_packs_from_a_japanese_folder_as_the_native_tool_does(self):
        native = os.environ.get("NATIVE_MKINSTALLER", "")
        if not os.path.exists(native):
            self.skipTest(f"needs a native mkinstaller (NATIVE_MKINSTALLER is '{native}')")
        r = subprocess.run([os.environ["CPACK"], "--config", self.build / "CPackConfig.cmake",
                            "-B", self.work / "dist"], capture_output=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        (zip_path,) = (self.work / "dist").glob("*.zip")
        tools = self.work / "配布ツール"
        with zipfile.ZipFile(zip_path) as z:
            top = zip_path.stem + "/"
            self.assertEqual(sorted(z.namelist()), sorted(top + n for n in (
                *self.PROGRAMS, "README.txt", "mkinstaller.txt")))
            for info in z.infolist():
                info.filename = info.filename[len(top):]
                z.extract(info, tools)
        built = {"mkinstaller.exe": self.mkinstaller_exe.read_bytes()}
        for name in self.PROGRAMS:
            self.assertEqual((tools / name).read_bytes(), built.get(name) or self.build_file(name))
        # Texts as Notepad and "type" read them on a Japanese system.
        for name, must in (("README.txt", self.PROGRAMS), ("mkinstaller.txt", ("--best", "-j N"))):
            data = (tools / name).read_bytes()
            self.assertEqual(data.count(b"\n"), data.count(b"\r\n"), name)
            text = data.decode("cp932")
            self.assertIn("インストール", text)
            for word in must:
                self.assertIn(word, text, name)

        # Run from cmd, as a publisher would, on names only Shift_JIS holds.
        make_tree(self.work / "製品")
        tool = "配布ツール\\mkinstaller.exe"
        status, _, err = self.wine(["cmd", "/c", tool, "-o", "setup.exe", "製品"], timeout=600)
        self.assertEqual((status, err), (0, b""))
        # A Japanese UI: the tool speaks Japanese, in the console's code page.
        status, out, err = self.wine(["cmd", "/c", tool, "--check", "setup.exe"])
        self.assertEqual((status, err), (0, b""))
        self.assertIn("データ/表示/ソフト.dat".encode("cp932"), out)
        self.assertIn("すべての CRC を確認しました".encode("cp932"), out)
        status, out, _ = self.wine(["cmd", "/c", tool, "--help"])
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith("使い方: mkinstaller".encode("cp932")), out[:40])
        self.assertIn("終了コード".encode("cp932"), out)
        status, _, err = self.wine(["cmd", "/c", tool, "-j", "99", "-o", "x.exe", "製品"])
        self.assertEqual(status, 2)
        self.assertTrue(err.startswith("mkinstaller: -j 99: スレッドの数は 1 から 64 です\r\n使い方:"
                                       .encode("cp932")), err[:80])
        status, out, err = self.wine(["setup.exe"], stdin=b"inst\r\ny\r\n")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(files_of(self.work / "inst"), files_of(self.work / "製品"))
        r = subprocess.run([native, "-o", self.work / "native.exe", "--stub", tools / "stub.exe",
                            "--sfx", tools / "sfx.exe", self.work / "製品"], capture_output=True)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual((self.work / "setup.exe").read_bytes(), (self.work / "native.exe").read_bytes())


if __name__ == "__main__":
    unittest.main(verbosity=2)

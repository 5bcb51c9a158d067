"""The release build installed: into a scratch prefix with `cmake --install`,
moved elsewhere, used from a separate CMake project, and as a Debian
package's contents."""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import signing

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ["BUILD_DIR"])
OFFSET = int(re.search(r"#define PAYLOAD_OFFSET (\d+)",
                       (ROOT / "src/launch/layout.h").read_text()).group(1))
LAYOUT = ["bin/mkinstaller", "share/grelm_installer/stub.exe", "share/grelm_installer/sfx.exe",
          "lib/cmake/grelm_installer/grelm_installerConfig.cmake",
          "lib/cmake/grelm_installer/grelm_installerConfigVersion.cmake",
          "lib/cmake/grelm_installer/AddInstaller.cmake", "share/man/man1/mkinstaller.1",
          "share/man/ja/man1/mkinstaller.1", "share/locale/ja/LC_MESSAGES/grelm_installer.mo"]


def run(cmd, **kw):
    r = subprocess.run([str(c) for c in cmd], capture_output=True, **kw)
    return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.environ.get("WINDOWS_PROGRAMS", "").upper() not in ("ON", "1", "TRUE", "YES"):
            raise unittest.SkipTest("this build makes no Windows programs to install")
        cls.tmp = Path(tempfile.mkdtemp(prefix="install-test-"))
        cls.prefix = cls.tmp / "prefix"
        status, out, err = run([os.environ["CMAKE"], "--install", BUILD, "--prefix", cls.prefix])
        assert status == 0, out + err
        cls.product = ROOT / "tests/install/consumer/product"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def pack_and_check(self, mkinstaller, out):
        """Packs the product with mkinstaller's own stub and extractor, and
        checks the installer with them."""
        status, _, err = run([mkinstaller, "-o", out, self.product])
        self.assertEqual((status, err), (0, ""))
        status, listing, err = run([mkinstaller, "--check", out])
        self.assertEqual((status, err), (0, ""))
        self.assertIn("docs/guide.txt", listing)
        self.assertIn("every CRC verified; stub and extractor as built", listing)

    def test_the_layout_and_what_the_tool_says_about_itself(self):
        for f in LAYOUT:
            self.assertTrue((self.prefix / f).is_file(), f)
        self.assertEqual((self.prefix / "share/grelm_installer/stub.exe").stat().st_size, OFFSET)
        tool = self.prefix / "bin/mkinstaller"
        self.assertEqual(run([tool, "--version"]), (0, "mkinstaller 1.0.0\n", ""))
        status, text, err = run([tool, "--help"])
        self.assertEqual((status, err), (0, ""))
        # Every option of the usage lines has a line of its own.
        options = set(re.findall(r"(--?[a-z][a-z-]*)", text.split("\n\n")[0]))
        self.assertGreaterEqual(len(options), 12, options)
        for option in options:
            self.assertTrue(re.search(rf"^  {option}\b", text, re.M), option)
        self.assertIn("Exit status: 0", text)
        status, _, err = run([tool, "--help", "-o", "x"])
        self.assertEqual(status, 2)
        page = (self.prefix / "share/man/man1/mkinstaller.1").read_text()
        self.assertTrue(page.startswith(".TH MKINSTALLER 1"))
        if shutil.which("man"):
            status, shown, _ = run(["man", "-l", self.prefix / "share/man/man1/mkinstaller.1"],
                                   env={**os.environ, "MANPAGER": "cat", "MANWIDTH": "80"})
            self.assertEqual(status, 0)
            self.assertIn("SOURCE_DATE_EPOCH", shown)
        # The Japanese page documents the same options, and man -L ja shows it.
        ja = (self.prefix / "share/man/ja/man1/mkinstaller.1").read_text(encoding="utf-8")
        def options(page):
            return set(re.findall(r"^\.TP\n\.BI? (\\-[-\\a-z]+)", page, re.M))
        self.assertGreaterEqual(len(options(page)), 12)
        self.assertEqual(options(ja), options(page))
        if shutil.which("man"):
            status, shown, err = run(["man", "-L", "ja", "mkinstaller"],
                                     env={**os.environ, "MANPATH": self.prefix / "share/man",
                                          "LANG": "ja_JP.UTF-8", "MANPAGER": "cat", "MANWIDTH": "80"})
            self.assertEqual((status, err), (0, ""))
            self.assertIn("オプション", shown)
            self.assertIn("SOURCE_DATE_EPOCH", shown)

    def test_best_packs_one_thread_at_a_time_where_two_encoders_do_not_fit(self):
        """Address space for one --best encoder of an 18 MB product (some
        180 MB) and not for two: the thread that gets none leaves its piece
        for later, and the installer is -j 1's. Optimized build alone: a
        sanitizer's shadow memory takes no such limit."""
        product = self.tmp / "big-text"
        product.mkdir()
        rnd = random.Random(3)
        words = [bytes(rnd.choices(b"abcdefghij", k=rnd.randrange(2, 9))) for _ in range(5000)]
        (product / "words.txt").write_bytes(b" ".join(rnd.choices(words, k=3_000_000)))
        tool = self.prefix / "bin/mkinstaller"
        for jobs, limit in (("1", []), ("2", ["prlimit", f"--as={500 << 20}"])):
            status, _, err = run([*limit, tool, "-q", "-m", "xz", "--best", "-j", jobs,
                                  "-o", self.tmp / f"best-j{jobs}.exe", product])
            self.assertEqual((status, err), (0, ""), jobs)
        self.assertEqual((self.tmp / "best-j2.exe").read_bytes(),
                         (self.tmp / "best-j1.exe").read_bytes())

    def test_the_installed_tree_works_wherever_it_is_moved(self):
        moved = self.tmp / "elsewhere" / "opt"
        shutil.copytree(self.prefix, moved, symlinks=True)
        self.pack_and_check(moved / "bin/mkinstaller", self.tmp / "moved.exe")
        # Its messages move with it.
        status, text, _ = run([moved / "bin/mkinstaller", "--help"],
                              env={**os.environ, "LC_ALL": "ja_JP.UTF-8"})
        self.assertEqual(status, 0)
        self.assertTrue(text.startswith("使い方:"), text[:40])
        data = (self.tmp / "moved.exe").read_bytes()
        stub = (moved / "share/grelm_installer/stub.exe").read_bytes()
        self.assertEqual(signing.without_checksum(data, OFFSET), signing.without_checksum(stub, OFFSET))
        sfx = (moved / "share/grelm_installer/sfx.exe").read_bytes()
        self.assertEqual(data[OFFSET:OFFSET + len(sfx)], sfx)

    def test_a_project_of_its_own_finds_the_package_and_adds_installers(self):
        missing = signing.missing_tool()
        cert = key = None
        args = []
        if missing is None:
            cert, key = signing.make_certificate(self.tmp)
            args = [f"-DSIGN_CERT={cert}", f"-DSIGN_KEY={key}"]
        build = self.tmp / "consumer"
        status, out, err = run([os.environ["CMAKE"], "-S", ROOT / "tests/install/consumer",
                                "-B", build, "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={self.prefix}",
                                *args])
        self.assertEqual(status, 0, out + err)
        status, out, err = run([os.environ["CMAKE"], "--build", build])
        self.assertEqual(status, 0, out + err)
        tool = self.prefix / "bin/mkinstaller"
        # add_installer packs solid by default, as mkinstaller does.
        for installer, method in (("setup.exe", "LZMA stream"), ("lh5.exe", "-lh5-")):
            status, listing, err = run([tool, "--check", build / installer])
            self.assertEqual((status, err), (0, ""))
            self.assertIn(method, listing)
            self.assertIn("readme.txt", listing)
        # The stub options, through add_installer's keywords.
        self.assertIn("default folder: \\consumer\n", listing)
        self.assertIn("040904B0 ProductVersion: 3.4\n", listing)
        self.assertIn("041104B0 ProductName: Consumer Tool\n", listing)
        if missing:
            self.skipTest(f"{missing} is not installed: signing untried")
        # Signed twice: the installer, and the payload inside it.
        signed = (build / "signed.exe").read_bytes()
        at, size = signing.certificate_table(signed)
        self.assertEqual(at + size, len(signed))
        (self.tmp / "payload.exe").write_bytes(signed[OFFSET:at])
        for program in (build / "signed.exe", self.tmp / "payload.exe"):
            status, report = signing.verify(cert, program)
            self.assertEqual(status, 0, (program, report))
        status, listing, err = run([tool, "--check", build / "signed.exe"])
        self.assertEqual((status, err), (0, ""), listing)
        self.assertIn("installer signed", listing)
        self.assertIn("payload signed", listing)
        self.assertIn("041104B0 FileDescription: Signed setup\n", listing)

    def test_the_debian_package_holds_the_same_and_works_unpacked(self):
        out = self.tmp / "deb"
        status, log, err = run([os.environ["CPACK"], "--config", BUILD / "CPackConfig.cmake",
                                "-B", out])
        self.assertEqual(status, 0, log + err)
        deb = next(out.glob("grelm-installer_1.0.0_*.deb"))
        status, info, _ = run(["dpkg-deb", "--info", deb])
        self.assertEqual(status, 0)
        self.assertRegex(info, r"Package: grelm-installer")
        self.assertRegex(info, r"Depends: .*libc6")
        self.assertRegex(info, r"Depends: .*libssl3")  # --check verifies signatures
        status, contents, _ = run(["dpkg-deb", "--contents", deb])
        for f in LAYOUT:
            self.assertIn(f"./usr/{f}\n", contents)
        root = self.tmp / "unpacked"
        self.assertEqual(run(["dpkg-deb", "-x", deb, root])[0], 0)
        self.pack_and_check(root / "usr/bin/mkinstaller", self.tmp / "from-deb.exe")


if __name__ == "__main__":
    result = unittest.main(verbosity=2, exit=False).result
    if result.wasSuccessful() and result.skipped and result.testsRun <= len(result.skipped):
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)

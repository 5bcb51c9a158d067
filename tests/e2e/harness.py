"""Running the real Windows programs under Wine for end-to-end tests.

CTest starts one Wine prefix per test run (wine-prefix.sh) and passes its
path, and the build directory, in the environment.
"""
import os
import shutil
import subprocess
import unittest
from pathlib import Path

BUILD = Path(os.environ.get("BUILD_DIR", Path(__file__).resolve().parents[2] / "build" / "win32"))
PREFIX = Path(os.environ.get("WINEPREFIX", BUILD / "wineprefix"))
DRIVE_C = PREFIX / "drive_c"
PAYLOAD_OFFSET = int(os.environ.get("PAYLOAD_OFFSET", "35328"))

WINE_ENV = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="ja_JP.UTF-8")


def sjis(text):
    return text.encode("cp932")


def hexbytes(spaced):
    return bytes.fromhex(spaced)


def wine(args, cwd, stdin=b"", timeout=120):
    """Runs a Windows program; returns (status, stdout bytes, stderr bytes)."""
    r = subprocess.run(["wine", *args], cwd=cwd, input=stdin, env=WINE_ENV,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return r.returncode, r.stdout, r.stderr


def windows_path(path):
    """The C: path Wine shows for a file under the prefix's drive_c."""
    rel = Path(path).relative_to(DRIVE_C)
    return "C:\\" + "\\".join(rel.parts)


_pause_text = None


def pause_text():
    """What the interpreter's "pause" writes when input has ended, measured
    once, since it is Wine's own text and not ours."""
    global _pause_text
    if _pause_text is None:
        _, out, _ = wine(["cmd", "/c", "pause"], cwd=DRIVE_C)
        assert out, "pause wrote nothing"
        _pause_text = out
    return _pause_text


class WineTest(unittest.TestCase):
    """Each test gets an empty folder on drive C: as its starting directory."""

    def setUp(self):
        self.work = DRIVE_C / "e2e" / self.id().split(".", 1)[1]
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)

    def build_file(self, name):
        return (BUILD / name).read_bytes()

    def run_program(self, program, *args, stdin=b""):
        return wine([program, *args], cwd=self.work, stdin=stdin)

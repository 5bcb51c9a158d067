"""Running the real Windows programs under Wine for end-to-end tests.

CTest starts one Wine prefix per test run (wine-prefix.sh) and passes, in the
environment, its path (WINEPREFIX), the build directory (BUILD_DIR), the
payload offset and the Windows mkinstaller (MKINSTALLER_EXE). WineTest reads
them once per class; the tests reach everything through it.
"""
import os
import shutil
import subprocess
import unittest
from pathlib import Path

# The texts as the user must see them, from their Shift_JIS bytes, with the
# line ends text mode writes.
PROMPT_DEFAULT = bytes.fromhex("83 43 83 93 83 58 83 67 81 5B 83 8B 90 E6 20 5B") + b"\\grelm]: "
CREATE = bytes.fromhex("83 74 83 48 83 8B 83 5F 82 F0 8D EC 82 E8 82 DC 82 B7 82 A9 81 48 20 5B 79 2F 6E 5D 3A 20")
ANSWER = bytes.fromhex("79 20 6F 72 20 6E 20 82 C5 93 9A 82 A6 82 C4 82 AD 82 BE 82 B3 82 A2 81 42 0D 0A")
FAILED = bytes.fromhex("83 74 83 48 83 8B 83 5F 82 AA 8D EC 82 EA 82 DC 82 B9 82 F1 82 C5 82 B5 82 BD 81 42 0D 0A")
ABORTED = bytes.fromhex("0D 0A 83 43 83 93 83 58 83 67 81 5B 83 8B 82 F0 92 86 8E 7E 82 B5 82 DC 82 B5 82 BD 81 42 0D 0A")


class WineTest(unittest.TestCase):
    """Each test gets an empty folder on drive C: as its starting directory
    (self.work), and runs programs with self.wine()."""
    _pause = None

    @classmethod
    def setUpClass(cls):
        env = os.environ
        missing = [v for v in ("BUILD_DIR", "WINEPREFIX") if v not in env]
        if missing:
            raise RuntimeError(f"set {', '.join(missing)}; CTest does")
        cls.build = Path(env["BUILD_DIR"])
        cls.prefix = Path(env["WINEPREFIX"])
        cls.drive_c = cls.prefix / "drive_c"
        cls.payload_offset = int(env.get("PAYLOAD_OFFSET", "35328"))
        cls.mkinstaller_exe = Path(env.get("MKINSTALLER_EXE", cls.build / "mkinstaller.exe"))
        cls.wine_env = dict(env, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                            LC_ALL="ja_JP.UTF-8")
        # Code page 932 still, but an English UI, which Wine takes from
        # LC_MESSAGES: mkinstaller then speaks English. Every other locale
        # variable goes: Python itself sets LC_CTYPE where none is set, and
        # that would take code page 932 away.
        cls.english_ui_env = {k: v for k, v in cls.wine_env.items()
                              if not k.startswith("LC_") and k != "LANGUAGE"}
        cls.english_ui_env.update(LANG="ja_JP.UTF-8", LC_CTYPE="ja_JP.UTF-8",
                                  LC_MESSAGES="en_US.UTF-8")

    def setUp(self):
        self.work = self.drive_c / "e2e" / self.id().split(".", 1)[1]
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)

    def wine(self, args, cwd=None, stdin=b"", timeout=120, english=False):
        """Runs a Windows program, in a Japanese UI unless english; returns
        (status, stdout bytes, stderr bytes)."""
        r = subprocess.run(["wine", *[str(a) for a in args]], cwd=cwd or self.work, input=stdin,
                           env=self.english_ui_env if english else self.wine_env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        return r.returncode, r.stdout, r.stderr

    def build_file(self, name):
        return (self.build / name).read_bytes()

    def windows_path(self, path):
        """The C: path Wine shows for a file under the prefix's drive_c."""
        rel = Path(path).relative_to(self.drive_c)
        return "C:\\" + "\\".join(rel.parts)

    def pause_text(self):
        """What the interpreter's "pause" writes when input has ended, measured
        once, since it is Wine's own text and not ours."""
        if WineTest._pause is None:
            _, out, _ = self.wine(["cmd", "/c", "pause"], cwd=self.drive_c)
            self.assertTrue(out, "pause wrote nothing")
            WineTest._pause = out
        return WineTest._pause

    def mkinstaller(self, *args, cwd=None, english=True):
        """The Windows build of mkinstaller, run from a copy beside its stub
        and extractor as a publisher would have them; in English unless
        asked otherwise, so that tests read its texts as the code has them."""
        tools = self.work / "tools"
        if not tools.exists():
            tools.mkdir()
            for name in ("stub.exe", "sfx.exe"):
                shutil.copy(self.build / name, tools / name)
            shutil.copy(self.mkinstaller_exe, tools / "mkinstaller.exe")
        return self.wine([tools / "mkinstaller.exe", *args], cwd=cwd, timeout=600, english=english)

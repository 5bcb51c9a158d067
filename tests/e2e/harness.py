"""Running the real Windows programs under Wine for end-to-end tests.

CTest starts one Wine prefix per test run (wine-prefix.sh) and passes, in the
environment, its path (WINEPREFIX), the build directory (BUILD_DIR), the
payload offset and the Windows mkinstaller (MKINSTALLER_EXE). WineTest reads
them once per class; the tests reach everything through it.
"""
import json
import os
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

# The texts as the user must see them, from their Shift_JIS bytes, with the
# line ends text mode writes.
PROMPT_DEFAULT = bytes.fromhex("83 43 83 93 83 58 83 67 81 5B 83 8B 90 E6 20 5B") + b"\\grelm]: "
CREATE = bytes.fromhex("83 74 83 48 83 8B 83 5F 82 F0 8D EC 82 E8 82 DC 82 B7 82 A9 81 48 20 5B 79 2F 6E 5D 3A 20")
ANSWER = bytes.fromhex("79 20 6F 72 20 6E 20 82 C5 93 9A 82 A6 82 C4 82 AD 82 BE 82 B3 82 A2 81 42 0D 0A")
FAILED = bytes.fromhex("83 74 83 48 83 8B 83 5F 82 AA 8D EC 82 EA 82 DC 82 B9 82 F1 82 C5 82 B5 82 BD 81 42 0D 0A")
ABORTED = bytes.fromhex("0D 0A 83 43 83 93 83 58 83 67 81 5B 83 8B 82 F0 92 86 8E 7E 82 B5 82 DC 82 B5 82 BD 81 42 0D 0A")


# The ANSI code pages a Windows program may meet, and the locale Wine takes
# each from; 65001 is one process's own, asked by its manifest.
CODE_PAGE_LOCALES = {932: "ja_JP.UTF-8", 1252: "en_US.UTF-8", 65001: "ja_JP.UTF-8"}
UTF8_SETTING = (b'<application xmlns="urn:schemas-microsoft-com:asm.v3"><windowsSettings>'
                b'<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">'
                b'UTF-8</activeCodePage></windowsSettings></application>')


def asking_for_utf8(program):
    """A program's bytes, its embedded manifest (which Windows prefers to
    one beside the file) asking for code page 65001 in place of its list of
    Windows versions, which Wine does not read, spaces after it to its
    length."""
    start = program.rindex(b"<?xml")  # in the resources, after the code
    end = program.index(b"</assembly>", start) + len(b"</assembly>")
    lines = [line.strip() for line in program[start:end].split(b"\n")]
    manifest = b"".join(lines)
    versions = manifest.index(b"<compatibility"), manifest.index(b"</compatibility>") + 16
    manifest = manifest[:versions[0]] + UTF8_SETTING + manifest[versions[1]:]
    assert len(manifest) <= end - start, "no room for the setting"
    return program[:start] + manifest.ljust(end - start) + program[end:]


def run_pefile(code, path):
    """The output of code run with pefile (Debian's python3-pefile, made for
    the system's Python) on a program: pe is the program, parsed whole."""
    code = "import json, pefile, sys; pe = pefile.PE(sys.argv[1]); " + code
    for python in (sys.executable, "/usr/bin/python3"):
        r = subprocess.run([python, "-c", code, str(path)], capture_output=True, text=True)
        if r.returncode == 0:
            return r.stdout.strip()
        if "No module named" not in r.stderr:
            raise AssertionError(r.stderr)
    raise unittest.SkipTest("pefile is not installed (Debian package python3-pefile)")


def pe_checksums(path):
    """What pefile says of a program's header checksum: "equal" where the
    field holds what it computes over the file."""
    return run_pefile("got, want = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum(); "
                      "print('equal' if got == want else f'{got:#x}, not {want:#x}')", path)


def pe_file_properties(path):
    """What pefile reads of a program's resources: every resource (type, ID,
    language, file offset, size), the resources directory's size, the
    version's string tables and fixed file version."""
    code = """
out = {"resources": [], "tables": {}, "directory": pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].Size}
for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for n in t.directory.entries:
        for l in n.directory.entries:
            d = l.data.struct
            out["resources"].append([t.id, n.id, l.id, pe.get_offset_from_rva(d.OffsetToData), d.Size])
for info in getattr(pe, "FileInfo", [[]])[0]:
    for table in getattr(info, "StringTable", []):
        out["tables"][table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
if hasattr(pe, "VS_FIXEDFILEINFO"):
    f = pe.VS_FIXEDFILEINFO[0]
    out["version"] = [f.FileVersionMS >> 16, f.FileVersionMS & 0xFFFF, f.FileVersionLS >> 16, f.FileVersionLS & 0xFFFF]
print(json.dumps(out))
"""
    return json.loads(run_pefile(code, path))


def make_icon(images):
    """An .ico file of the given images, ("bmp" or "png", size) each: a
    32-bit DIB with its mask, or a PNG file; and the images' bytes."""
    import struct
    import zlib
    data = []
    for kind, n in images:
        if kind == "bmp":
            pixels = bytes((i * 7 + n) % 256 for i in range(n * n * 4))
            data.append(struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0) +
                        pixels + bytes((n + 31) // 32 * 4 * n))
        else:
            rows = b"".join(b"\0" + bytes((x * 3 + y) % 256 for x in range(n * 4)) for y in range(n))

            def chunk(kind, body):
                return (struct.pack(">I", len(body)) + kind + body +
                        struct.pack(">I", zlib.crc32(kind + body)))
            data.append(b"\x89PNG\r\n\x1a\n" +
                        chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)) +
                        chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
    head = struct.pack("<HHH", 0, 1, len(images))
    at = len(head) + 16 * len(images)
    for (kind, n), d in zip(images, data):
        head += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(d), at)
        at += len(d)
    return head + b"".join(data), data


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

    def wine_env_for(self, code_page=932, english=False):
        """The environment of a program run in a code page: 1252 comes with
        an English UI, as on a Western Windows."""
        if code_page == 1252:
            return dict(self.wine_env, LC_ALL=CODE_PAGE_LOCALES[1252])
        return self.english_ui_env if english else self.wine_env

    def wine(self, args, cwd=None, stdin=b"", timeout=120, english=False, code_page=932):
        """Runs a Windows program, in a Japanese UI unless english, in an
        ANSI code page (932, 1252 or 65001); returns (status, stdout bytes,
        stderr bytes)."""
        cwd = cwd or self.work
        program = Path(cwd) / args[0]
        if code_page == 65001:  # a copy of the program, beside it
            program = program.with_name(program.stem + "-utf8" + program.suffix)
            program.write_bytes(asking_for_utf8((Path(cwd) / args[0]).read_bytes()))
            args = [program, *args[1:]]
        try:
            r = subprocess.run(["wine", *[str(a) for a in args]], cwd=cwd, input=stdin,
                               env=self.wine_env_for(code_page, english),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        finally:
            if code_page == 65001:
                program.unlink()
        return r.returncode, r.stdout, r.stderr

    def console(self, command, cwd, env, until, timeout=60):
        """What a console shows: command run by Wine in a terminal of its own
        (tmux), its screen read as text until it holds until."""
        if shutil.which("tmux") is None:
            self.skipTest("tmux is not installed")
        socket = ["tmux", "-L", "e2e-" + str(os.getpid()), "-f", "/dev/null"]
        line = " ".join(f"{k}='{v}'" for k, v in env.items() if k.startswith(("LC_", "LANG", "WINE")))
        line = f"cd '{cwd}' && env -i PATH='{os.environ['PATH']}' HOME='{os.environ.get('HOME', '/')}' {line} wine {command}; sleep 600"
        subprocess.run([*socket, "kill-server"], capture_output=True)
        subprocess.run([*socket, "-u", "new-session", "-d", "-x", "160", "-y", "50", line],
                       check=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
        try:
            screen = ""
            for _ in range(int(timeout * 10)):
                screen = subprocess.run([*socket, "capture-pane", "-p", "-J"], capture_output=True,
                                        check=True).stdout.decode("utf-8", "replace")
                if until in screen:
                    break
                time.sleep(0.1)
            return screen
        finally:
            subprocess.run([*socket, "kill-server"], capture_output=True)

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

    def mkinstaller(self, *args, cwd=None, english=True, code_page=932):
        """The Windows build of mkinstaller, run from a copy beside its stub
        and extractor as a publisher would have them; in English unless
        asked otherwise, so that tests read its texts as the code has them."""
        tools = self.work / "tools"
        if not tools.exists():
            tools.mkdir()
            for name in ("stub.exe", "sfx.exe"):
                shutil.copy(self.build / name, tools / name)
            shutil.copy(self.mkinstaller_exe, tools / "mkinstaller.exe")
        return self.wine([tools / "mkinstaller.exe", *args], cwd=cwd, timeout=600, english=english,
                         code_page=code_page)

"""End-to-end tests of the real stub.exe under Wine: transcripts byte for
byte, exit status, and the files left behind."""
import shutil
import struct
import subprocess
import sys
import unittest

from harness import (BUILD, DRIVE_C, PAYLOAD_OFFSET, WineTest, hexbytes, pause_text,
                     sjis, windows_path)

# The texts as the user must see them, from their Shift_JIS bytes, with the
# line ends text mode writes.
PROMPT_DEFAULT = hexbytes("83 43 83 93 83 58 83 67 81 5B 83 8B 90 E6 20 5B") + b"\\grelm]: "
CREATE = hexbytes("83 74 83 48 83 8B 83 5F 82 F0 8D EC 82 E8 82 DC 82 B7 82 A9 81 48 20 5B 79 2F 6E 5D 3A 20")
ANSWER = hexbytes("79 20 6F 72 20 6E 20 82 C5 93 9A 82 A6 82 C4 82 AD 82 BE 82 B3 82 A2 81 42 0D 0A")
FAILED = hexbytes("83 74 83 48 83 8B 83 5F 82 AA 8D EC 82 EA 82 DC 82 B9 82 F1 82 C5 82 B5 82 BD 81 42 0D 0A")
ABORTED = hexbytes("0D 0A 83 43 83 93 83 58 83 67 81 5B 83 8B 82 F0 92 86 8E 7E 82 B5 82 DC 82 B5 82 BD 81 42 0D 0A")
PROBE_RAN = b"probe ran\r\n"


def fnv1a64(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


class StubTest(WineTest):
    def setUp(self):
        super().setUp()
        self.stub = self.build_file("stub.exe")
        self.probe = self.build_file("probe.exe")
        self.grelm = DRIVE_C / "grelm"
        shutil.rmtree(self.grelm, ignore_errors=True)
        self.addCleanup(shutil.rmtree, self.grelm, True)

    def installer(self, payload, name="setup.exe"):
        (self.work / name).write_bytes(self.stub + payload)
        return name

    def install(self, replies, payload=None, program="setup.exe", args=()):
        self.installer(self.probe if payload is None else payload)
        return self.run_program(program, *args, stdin=replies)

    def assert_probe_ran_in(self, directory, payload=None):
        payload = self.probe if payload is None else payload
        lines = (directory / "probe.txt").read_bytes().split(b"\n")
        self.assertEqual(lines[0], windows_path(directory).encode("cp932"))
        self.assertEqual(int(lines[1]), len(payload))
        self.assertEqual(int(lines[2], 16), fnv1a64(payload))
        self.assertFalse((directory / "tmp.exe").exists())


class Dialogue(StubTest):
    def test_empty_reply_installs_to_grelm_at_the_drive_root(self):
        status, out, err = self.install(b" \r\ny\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + CREATE + PROBE_RAN + pause_text())
        self.assertEqual((status, err), (0, b""))
        self.assert_probe_ran_in(self.grelm)

    def test_existing_directory_is_entered_without_a_question(self):
        (self.work / "dest").mkdir()
        reply = b"  " + windows_path(self.work / "dest").encode() + b" \t\r\n"
        status, out, err = self.install(reply)
        self.assertEqual(out, PROMPT_DEFAULT + PROBE_RAN + pause_text())
        self.assertEqual((status, err), (0, b""))
        self.assert_probe_ran_in(self.work / "dest")

    def test_answers_failed_creations_and_declines_return_to_the_prompt(self):
        (self.work / "a file").write_bytes(b"x")
        replies = (b"no\\parent\r\n" b"Y\r\n" b" y\r\n" b"\r\n" b"yes\r\n"
                   b"a file\r\n" b"y\r\n"
                   b"new\r\n" b"n\r\n"
                   b"new\r\n" b"y\r\n")
        status, out, err = self.install(replies)
        expected = (PROMPT_DEFAULT + CREATE + ANSWER + CREATE + ANSWER + CREATE + ANSWER + CREATE + FAILED
                    + PROMPT_DEFAULT + CREATE + FAILED
                    + PROMPT_DEFAULT + CREATE + PROMPT_DEFAULT + CREATE + PROBE_RAN + pause_text())
        self.assertEqual(out, expected)
        self.assertEqual((status, err), (0, b""))
        self.assertFalse((self.work / "no").exists())
        self.assert_probe_ran_in(self.work / "new")

    def test_shift_jis_directory_name_with_backslash_trail_bytes(self):
        name = "表示ソフト"  # 表 and ソ end in byte 0x5C
        status, out, err = self.install(sjis(name) + b"\r\ny\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + CREATE + PROBE_RAN + pause_text())
        self.assertEqual((status, err), (0, b""))
        self.assert_probe_ran_in(self.work / name)

    def test_end_of_input_stops_pauses_and_creates_nothing(self):
        status, out, err = self.install(b"later\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + CREATE + ABORTED + pause_text())
        self.assertEqual((status, err), (1, b""))
        self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["setup.exe"])
        self.assertFalse(self.grelm.exists())


class Launch(StubTest):
    def test_every_payload_byte_reaches_tmp_exe(self):
        # An overlay after the probe's image holds every byte value, line
        # ends, ^Z and NUL included; the probe hashes its whole file.
        payload = self.probe + bytes(range(256)) * 3 + b"\r\n\x1a\x00\n\r"
        (self.work / "dest").mkdir()
        status, out, err = self.install(b"dest\r\n", payload=payload)
        self.assertEqual((status, err), (0, b""))
        self.assert_probe_ran_in(self.work / "dest", payload)

    def test_failing_or_missing_payload_still_ends_with_status_0(self):
        for payload, shown in ((self.build_file("fail.exe"), b"fail ran\r\n"), (b"", None)):
            (self.work / "dest").mkdir(exist_ok=True)
            status, out, err = self.install(b"dest\r\n", payload=payload)
            self.assertEqual(status, 0)
            self.assertTrue(out.startswith(PROMPT_DEFAULT), out)
            self.assertTrue(out.endswith(pause_text()), out)
            if shown:
                self.assertIn(shown, out)
            self.assertFalse((self.work / "dest" / "tmp.exe").exists())

    def test_existing_tmp_exe_is_overwritten_then_deleted(self):
        (self.work / "dest").mkdir()
        (self.work / "dest" / "tmp.exe").write_bytes(b"old" * 100000)
        status, _, _ = self.install(b"dest\r\n")
        self.assertEqual(status, 0)
        self.assert_probe_ran_in(self.work / "dest")

    def test_blocked_tmp_exe_is_reported_then_pauses_with_status_1(self):
        (self.work / "dest" / "tmp.exe").mkdir(parents=True)
        status, out, err = self.install(b"dest\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + pause_text())
        self.assertEqual(err, b"tmp.exe: Permission denied\r\n")
        self.assertEqual(status, 1)

    def test_extra_arguments_and_a_start_without_exe_change_nothing(self):
        for program, args in (("setup.exe", ("/S", "extra", "args")), ("setup", ())):
            (self.work / "dest").mkdir(exist_ok=True)
            status, out, err = self.install(b"dest\r\n", program=program, args=args)
            self.assertEqual(out, PROMPT_DEFAULT + PROBE_RAN + pause_text())
            self.assertEqual((status, err), (0, b""))
            self.assert_probe_ran_in(self.work / "dest")


class Build(unittest.TestCase):
    def test_stub_fills_its_slot_exactly_and_is_a_win32_console_program(self):
        stub = (BUILD / "stub.exe").read_bytes()
        self.assertEqual(len(stub), PAYLOAD_OFFSET)
        pe = struct.unpack_from("<I", stub, 0x3C)[0]
        self.assertEqual(stub[pe:pe + 4], b"PE\0\0")
        machine, = struct.unpack_from("<H", stub, pe + 4)
        magic, = struct.unpack_from("<H", stub, pe + 24)
        subsystem, = struct.unpack_from("<H", stub, pe + 24 + 68)
        self.assertEqual((machine, magic, subsystem), (0x14C, 0x10B, 3))

    def test_programs_import_only_system_dlls_and_the_system_printf(self):
        for program in ("stub_image.exe", "sfx.exe", "mkinstaller.exe"):
            dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(BUILD / program)],
                                  capture_output=True, text=True, check=True).stdout
            dlls = sorted(l.split(":")[1].strip() for l in dump.splitlines() if "DLL Name:" in l)
            self.assertEqual(dlls, ["KERNEL32.dll", "msvcrt.dll"], program)
        for small in ("stub_image", "sfx"):
            self.assertNotIn("mingw_pformat", (BUILD / f"{small}.map").read_text(), small)
        self.assertLess((BUILD / "sfx.exe").stat().st_size, 32 * 1024)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)

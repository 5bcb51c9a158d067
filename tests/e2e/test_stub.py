"""End-to-end tests of the real stub.exe under Wine: transcripts byte for
byte, exit status, and the files left behind."""
import shutil
import struct
import subprocess
import unittest
from pathlib import Path

from harness import ABORTED, CREATE, PROMPT_DEFAULT, WineTest, pe_checksums

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
        self.grelm = self.drive_c / "grelm"
        shutil.rmtree(self.grelm, ignore_errors=True)
        self.addCleanup(shutil.rmtree, self.grelm, True)

    def installer(self, payload, name="setup.exe"):
        (self.work / name).write_bytes(self.stub + payload)
        return name

    def install(self, replies, payload=None, program="setup.exe", args=()):
        self.installer(self.probe if payload is None else payload)
        return self.wine([program, *args], stdin=replies)

    def assert_probe_ran_in(self, directory, payload=None):
        payload = self.probe if payload is None else payload
        lines = (directory / "probe.txt").read_bytes().split(b"\n")
        self.assertEqual(lines[0], self.windows_path(directory).encode("cp932"))
        self.assertEqual(int(lines[1]), len(payload))
        self.assertEqual(int(lines[2], 16), fnv1a64(payload))
        self.assertFalse((directory / "tmp.exe").exists())


class Dialogue(StubTest):
    def test_empty_reply_installs_to_grelm_at_the_drive_root(self):
        status, out, err = self.install(b" \r\ny\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + CREATE + PROBE_RAN + self.pause_text())
        self.assertEqual((status, err), (0, b""))
        self.assert_probe_ran_in(self.grelm)

    def test_existing_directory_is_entered_without_a_question(self):
        (self.work / "dest").mkdir()
        reply = b"  " + self.windows_path(self.work / "dest").encode() + b" \t\r\n"
        status, out, err = self.install(reply)
        self.assertEqual(out, PROMPT_DEFAULT + PROBE_RAN + self.pause_text())
        self.assertEqual((status, err), (0, b""))
        self.assert_probe_ran_in(self.work / "dest")

    def test_shift_jis_directory_name_with_backslash_trail_bytes(self):
        name = "表示ソフト"  # 表 and ソ end in byte 0x5C
        status, out, err = self.install(name.encode("cp932") + b"\r\ny\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + CREATE + PROBE_RAN + self.pause_text())
        self.assertEqual((status, err), (0, b""))
        self.assert_probe_ran_in(self.work / name)

    def test_end_of_input_stops_pauses_and_creates_nothing(self):
        status, out, err = self.install(b"later\r\n")
        self.assertEqual(out, PROMPT_DEFAULT + CREATE + ABORTED + self.pause_text())
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
            self.assertTrue(out.endswith(self.pause_text()), out)
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
        self.assertEqual(out, PROMPT_DEFAULT + self.pause_text())
        self.assertEqual(err, b"tmp.exe: Permission denied\r\n")
        self.assertEqual(status, 1)

    def test_extra_arguments_and_a_start_without_exe_change_nothing(self):
        for program, args in (("setup.exe", ("/S", "extra", "args")), ("setup", ())):
            (self.work / "dest").mkdir(exist_ok=True)
            status, out, err = self.install(b"dest\r\n", program=program, args=args)
            self.assertEqual(out, PROMPT_DEFAULT + PROBE_RAN + self.pause_text())
            self.assertEqual((status, err), (0, b""))
            self.assert_probe_ran_in(self.work / "dest")


class Build(WineTest):
    def test_stub_fills_its_slot_exactly_and_is_a_win32_console_program(self):
        stub = (self.build / "stub.exe").read_bytes()
        self.assertEqual(len(stub), self.payload_offset)
        pe = struct.unpack_from("<I", stub, 0x3C)[0]
        self.assertEqual(stub[pe:pe + 4], b"PE\0\0")
        machine, = struct.unpack_from("<H", stub, pe + 4)
        magic, = struct.unpack_from("<H", stub, pe + 24)
        subsystem, = struct.unpack_from("<H", stub, pe + 24 + 68)
        self.assertEqual((machine, magic, subsystem), (0x14C, 0x10B, 3))

    def test_programs_import_only_system_dlls_and_the_system_printf(self):
        # mkinstaller checks signatures with the system's CryptoAPI; the
        # extractor sets the install folder's access list.
        for program, system in (("stub_image.exe", []), ("sfx.exe", ["ADVAPI32.dll"]),
                                ("mkinstaller.exe", ["ADVAPI32.dll", "CRYPT32.dll"])):
            dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(self.build / program)],
                                  capture_output=True, text=True, check=True).stdout
            dlls = sorted(l.split(":")[1].strip() for l in dump.splitlines() if "DLL Name:" in l)
            self.assertEqual(dlls, sorted(["KERNEL32.dll", "msvcrt.dll"] + system), program)
        for small in ("stub_image", "sfx"):
            self.assertNotIn("mingw_pformat", (self.build / f"{small}.map").read_text(), small)
        # The extractor reads only what the packer writes; the packer
        # encodes anything else again.
        for decoder in ("lzh_decode_adaptive", "lzh_decode_ring"):
            self.assertNotIn(decoder, (self.build / "sfx.map").read_text())
        # MinGW's own printf alone would add some 27 KB. The last growths:
        # 2.5 KB to 37,376 bytes for names and text in code page 932 on
        # every Windows (the wide functions, paths past MAX_PATH, text as
        # characters on a console) and an interruption that cleans up; 1 KB
        # to 38,400 for the manifest's resource section; 2.5 KB to 40,960
        # for the install folder's access list (with ADVAPI32's imports).
        self.assertLessEqual((self.build / "sfx.exe").stat().st_size, 40960)

    def test_programs_are_what_windows_expects_of_them(self):
        manifest = (Path(__file__).resolve().parents[2] / "src" / "resources" /
                    "program.manifest").read_bytes()
        for program in ("stub.exe", "sfx.exe", "mkinstaller.exe"):
            path = self.build / program
            with self.subTest(program=program):
                # The manifest (asInvoker, the Windows versions), the only
                # resource, as an independent tool reads it.
                listed = subprocess.run(["wrestool", "-l", path], capture_output=True,
                                        text=True, check=True).stdout
                self.assertEqual([l.split(" [")[0] for l in listed.splitlines()],
                                 ["--type=24 --name=1 --language=1033"])
                got = subprocess.run(["wrestool", "-x", "--raw", "--type=24", "--name=1", path],
                                     capture_output=True, check=True).stdout
                self.assertEqual(got, manifest)
                lint = subprocess.run(["xmllint", "--noout", "-"], input=got, capture_output=True)
                self.assertEqual((lint.returncode, lint.stderr), (0, b""))
                # Made for Windows 6.0 on, TERMINAL_SERVER_AWARE, NO_SEH,
                # NX_COMPAT and DYNAMIC_BASE, and a correct header checksum.
                dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path],
                                      capture_output=True, text=True, check=True).stdout
                fields = dict(l.split(None, 1) for l in dump.splitlines() if l and l[0].isupper()
                              and len(l.split(None, 1)) == 2)
                for name, value in (("MajorOSystemVersion", "6"), ("MinorOSystemVersion", "0"),
                                    ("MajorSubsystemVersion", "6"),
                                    ("MinorSubsystemVersion", "0"),
                                    ("DllCharacteristics", "00008540")):
                    self.assertEqual(fields[name].split()[0], value, name)
                self.assertEqual(pe_checksums(path), "equal")
                # No SEH handler of ours: nothing touches the chain at fs:0.
                code = subprocess.run(["i686-w64-mingw32-objdump", "-d", path],
                                      capture_output=True, text=True, check=True).stdout
                self.assertNotIn("%fs:0x0,", code)
                self.assertNotIn(",%fs:0x0", code)


if __name__ == "__main__":
    unittest.main(verbosity=2)

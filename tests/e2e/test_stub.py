"""End-to-end tests of the real stub.exe under Wine: transcripts byte for
byte, exit status, and the files left behind."""
import os
import shutil
import struct
import subprocess
import unittest
from pathlib import Path

from harness import (ABORTED, CREATE, PROMPT_DEFAULT, WineTest, make_icon, pe_checksums,
                     pe_file_properties)

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
        # for the install folder's access list (with ADVAPI32's imports); 14 KB
        # to 54,784 for the .xz decoder of solid payloads, built for speed
        # and read as it decodes; 2.5 KB to 57,344 for a second thread that
        # decodes a solid payload's later blocks ahead (less 1.3 KB for the
        # decoder's steps once a block built small): the 56 KiB the
        # extractor may take.
        self.assertLessEqual((self.build / "sfx.exe").stat().st_size, 57344)

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


# A publisher's file properties, icon and default folder, as mkinstaller's
# options give them, and what Windows shows of each (RT_VERSION's two
# tables: Japanese, then English).
PROPERTIES = ("--product", "グレルム帳", "--product-version", "2.1.0.7",
              "--company", "有限会社テスト", "--copyright", "© 2026 テスト",
              "--default-folder", "帳簿表")  # 表 ends in a 0x5C byte
FOLDER = "帳簿表"
STRINGS = {"CompanyName": "有限会社テスト", "FileVersion": "2.1.0.7", "LegalCopyright": "© 2026 テスト",
           "ProductName": "グレルム帳", "ProductVersion": "2.1.0.7"}
TABLES = {"041104B0": {**STRINGS, "FileDescription": "グレルム帳 インストーラー"},
          "040904B0": {**STRINGS, "FileDescription": "グレルム帳 Installer"}}
ICON = [("bmp", 16), ("bmp", 32), ("png", 256)]


class Publisher(StubTest):
    def setUp(self):
        super().setUp()
        self.folder = self.drive_c / FOLDER
        shutil.rmtree(self.folder, ignore_errors=True)
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.icon, self.images = make_icon(ICON)
        (self.work / "app.ico").write_bytes(self.icon)
        (self.work / "probe.exe").write_bytes(self.probe)

    def pack(self, *args, output="setup.exe"):
        return self.mkinstaller("-o", output, *args, "--payload", "probe.exe", cwd=self.work)

    def test_properties_icon_and_folder_as_windows_reads_them(self):
        status, out, err = self.pack(*PROPERTIES, "--icon", "app.ico")
        self.assertEqual((status, err), (0, b""), out)
        setup = (self.work / "setup.exe").read_bytes()
        self.assertEqual(setup[self.payload_offset:], self.probe)
        # The native tool writes the same bytes.
        native = os.environ.get("NATIVE_MKINSTALLER")
        if native:
            r = subprocess.run([native, "-o", "native.exe", "--stub", self.build / "stub.exe",
                                *PROPERTIES, "--icon", "app.ico", "--payload", "probe.exe"],
                               cwd=self.work, capture_output=True)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertEqual((self.work / "native.exe").read_bytes(), setup)

        # As pefile reads them: the strings of both tables, the version, the
        # manifest, three icon images and their group, the checksum.
        read = pe_file_properties(self.work / "setup.exe")
        self.assertEqual(read["tables"], TABLES)
        self.assertEqual(read["version"], [2, 1, 0, 7])
        self.assertEqual([r[:3] for r in read["resources"]],
                         [[3, 1, 1033], [3, 2, 1033], [3, 3, 1033], [14, 1, 1033], [16, 1, 1033],
                          [24, 1, 1033]])
        for (_, _, _, at, size), image in zip(read["resources"], self.images):
            self.assertEqual(setup[at:at + size], image)
        self.assertEqual(pe_checksums(self.work / "setup.exe"), "equal")
        # Only the resources, their directory's size and the folder changed.
        stub = self.build_file("stub.exe")
        built = pe_file_properties(self.build / "stub.exe")
        rsrc = built["resources"][0][3] - 0x58  # the tree's start, as built
        folder = stub.index(b"grelm:folder:v1\0") + 16
        changed = [i for i in range(len(stub)) if stub[i] != setup[i]]
        pe = struct.unpack_from("<I", stub, 0x3C)[0]
        allowed = (range(pe + 24 + 64, pe + 24 + 68), range(pe + 24 + 96 + 2 * 8 + 4, pe + 24 + 96 + 2 * 8 + 8),
                   range(folder, folder + 40), range(rsrc, rsrc + 12176))
        self.assertEqual([i for i in changed if not any(i in r for r in allowed)], [])
        self.assertEqual(setup[folder:folder + 40], ("\\" + FOLDER).encode("cp932").ljust(40, b"\0"))
        # wrestool writes the icon back as an .ico of the same images; the
        # manifest is the one every program of ours carries, and well formed.
        got = subprocess.run(["wrestool", "-x", "--type=14", self.work / "setup.exe"],
                             capture_output=True, check=True).stdout
        count, = struct.unpack_from("<H", got, 4)
        extracted = [got[o:o + n] for n, o in (struct.unpack_from("<II", got, 6 + 16 * i + 8)
                                               for i in range(count))]
        self.assertEqual(extracted, self.images)
        manifest = subprocess.run(["wrestool", "-x", "--raw", "--type=24", self.work / "setup.exe"],
                                  capture_output=True, check=True).stdout
        self.assertEqual(manifest, (Path(__file__).resolve().parents[2] / "src" / "resources" /
                                    "program.manifest").read_bytes())
        lint = subprocess.run(["xmllint", "--noout", "-"], input=manifest, capture_output=True)
        self.assertEqual((lint.returncode, lint.stderr), (0, b""))

        # --check lists them.
        status, listing, err = self.mkinstaller("--check", "setup.exe", cwd=self.work,
                                                code_page=65001)
        self.assertEqual((status, err), (0, b""), listing)
        lines = listing.decode().replace("\r\n", "\n")
        self.assertIn(f"  default folder: \\{FOLDER}\n", lines)
        for key, table in TABLES.items():
            for name, value in table.items():
                self.assertIn(f"  {key} {name}: {value}\n", lines)
        self.assertIn("  icon: 16x16 32-bit, 32x32 32-bit, 256x256 PNG\n", lines)

        # Windows' own reading (GetFileVersionInfo, VerQueryValue).
        (self.work / "verinfo.exe").write_bytes(self.build_file("verinfo.exe"))
        status, out, err = self.wine(["verinfo.exe", "setup.exe"])
        self.assertEqual((status, err), (0, b""), out)
        want = "".join(f"{key} {name}={value}\r\n" for key, table in TABLES.items()
                       for name, value in sorted(table.items()))
        self.assertEqual(out.decode(), want + "FileVersion 2.1.0.7\r\n")

        # The dialogue offers the folder as it offers \grelm, and installs there.
        status, out, err = self.wine(["setup.exe"], stdin=b"\r\ny\r\n")
        prompt = PROMPT_DEFAULT.replace(b"\\grelm", ("\\" + FOLDER).encode("cp932"))
        self.assertEqual(out, prompt + CREATE + PROBE_RAN + self.pause_text())
        self.assertEqual((status, err), (0, b""))
        self.assert_probe_ran_in(self.folder)
        self.assertFalse(self.grelm.exists())

    def test_without_options_the_stub_is_as_built(self):
        # Nothing asked: the stub as built but for the installer's checksum;
        # a folder alone (\x over \grelm): that field too, the
        # resources left as they are.
        stub = self.build_file("stub.exe")
        pe = struct.unpack_from("<I", stub, 0x3C)[0]
        checksum = range(pe + 24 + 64, pe + 24 + 68)
        folder = stub.index(b"grelm:folder:v1\0") + 16
        for args, changes in (((), []), (("--default-folder", "\\x"), list(range(folder + 1, folder + 6)))):
            status, out, err = self.pack(*args)
            self.assertEqual((status, err), (0, b""), out)
            setup = (self.work / "setup.exe").read_bytes()
            self.assertEqual([i for i in range(len(stub)) if stub[i] != setup[i] and i not in checksum],
                             changes)

    def test_what_does_not_fit_or_is_no_folder_is_refused(self):
        big, _ = make_icon([("bmp", 16), ("bmp", 32), ("bmp", 48)])
        (self.work / "big.ico").write_bytes(big)
        (self.work / "text.ico").write_bytes(b"not an icon")
        # 16,228 bytes: 15,032 of images, 820 of manifest, 48 of group,
        # 328 of tree; 12,176 - 1,196 are left for images.
        cases = [(["--icon", "big.ico"], "the file properties and the icon take 16228 bytes of "
                  "resources; the stub has room for 12176. The icon's images take 15032 bytes: "
                  "give an icon of at most 10980 bytes of images (fewer sizes, or PNG-compressed "
                  "images)"),
                 (["--icon", "text.ico"], "text.ico: not an icon file (.ico)"),
                 (["--icon", "missing.ico"], "missing.ico"),
                 (["--default-folder", "a\\b"], "a backslash in the name"),
                 (["--default-folder", "a/b"], "--default-folder a/b: "),
                 (["--default-folder", "CON"], "--default-folder CON: "),
                 (["--default-folder", "x" * 33], "33 bytes in Shift_JIS; at most 32"),
                 (["--default-folder", "帳" * 17], "34 bytes in Shift_JIS; at most 32"),
                 (["--default-folder", "notes."], "a space or a dot at an end"),
                 (["--default-folder", " notes"], "a space or a dot at an end"),
                 (["--default-folder", "café"], "can't be written in the Shift_JIS code page")]
        for args, message in cases:
            with self.subTest(args=args):
                status, out, err = self.pack(*args)
                self.assertEqual(status, 1, out)
                self.assertIn(message, err.decode("cp932"))
                self.assertFalse((self.work / "setup.exe").exists())
        # 16x16 and 32x32 images fit with every property, and 32 bytes of name.
        fits, _ = make_icon([("bmp", 16), ("bmp", 32)])
        (self.work / "fits.ico").write_bytes(fits)
        status, out, err = self.pack(*PROPERTIES[:-2], "--icon", "fits.ico",
                                     "--default-folder", "帳" * 16)
        self.assertEqual((status, err), (0, b""), out)
        for args, why in ((["--product-version", "1.2.3.4.5"], "--product-version 1.2.3.4.5: 1 to 4"),
                          (["--product-version", "65536"], "--product-version 65536"),
                          (["--product-version", "1..2"], "--product-version 1..2"),
                          (["--no-stub", "--product", "x"], "--no-stub writes no stub"),
                          (["--check", "setup.exe", "--icon", "a.ico"], "--check takes only")):
            with self.subTest(args=args):
                status, _, err = self.mkinstaller(*args, "-o" if "--check" not in args else "--sfx",
                                                  "x.exe" if "--check" not in args else "sfx.exe",
                                                  *(["probe.exe"] if "--check" not in args else []),
                                                  cwd=self.work)
                self.assertEqual(status, 2, err)
                self.assertIn(why, err.decode())

    def test_check_accepts_only_what_the_packer_writes(self):
        status, out, err = self.pack(*PROPERTIES, "--icon", "app.ico")
        self.assertEqual((status, err), (0, b""), out)
        good = (self.work / "setup.exe").read_bytes()
        read = pe_file_properties(self.work / "setup.exe")
        at = {r[0]: r[3] for r in read["resources"]}
        tree = read["resources"][0][3] - 0x80  # six data entries and the directories before them
        rsrc = pe_file_properties(self.build / "stub.exe")["resources"][0][3] - 0x58
        folder = good.index(b"grelm:folder:v1\0") + 16
        pe = struct.unpack_from("<I", good, 0x3C)[0]

        def put(at, data):
            return good[:at] + data + good[at + len(data):]

        string = good.index("グレルム帳".encode("utf-16-le"), at[16])
        cases = [(put(at[24] + 100, b"X"), "the manifest is not the stub's own"),
                 (put(rsrc + 12000, b"\1"), "bytes outside its resources, or another layout"),
                 (put(rsrc + 16 + 3 * 8, b"\x19"), "a resource of type 25"),
                 (put(rsrc + 16 + 2 * 8, b"\x0a"), "out of order, or one is there twice"),
                 (put(pe + 24 + 96 + 2 * 8 + 4, b"\0\0\1\0"), "another layout"),
                 (put(at[14] + 6 + 12, b"\x09"), "names an image that is not there"),
                 (put(at[16] + 2, b"\x99"), "VS_VERSION_INFO"),
                 (put(folder, b"\\CON\0"), "default folder is no name the packer writes"),
                 (put(folder + 30, b"x"), "default folder is no name the packer writes"),
                 (put(folder - 3, b"w"), "the stub differs"),
                 (put(0x400, bytes([good[0x400] ^ 1])), "the stub differs"),
                 # Another publisher's text is still text the packer writes.
                 (put(string, "ガ".encode("utf-16-le")), None)]
        self.assertLess(tree, at[24])
        for data, message in cases:
            with self.subTest(message=message):
                (self.work / "bad.exe").write_bytes(data)
                status, out, err = self.mkinstaller("--check", "bad.exe", cwd=self.work)
                if message is None:
                    self.assertEqual((status, err), (0, b""), out)
                    self.assertIn("041104B0 FileDescription: ガレルム帳 インストーラー", out.decode("cp932"))
                else:
                    self.assertEqual(status, 1, out)
                    self.assertIn(message, err.decode("cp932"))


if __name__ == "__main__":
    unittest.main(verbosity=2)

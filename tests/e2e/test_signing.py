"""Signed installers under Wine: the payload signed before it is packed, the
installer signed as a whole; both signatures verify, mkinstaller --check
reports them, and the installer still installs, running its payload byte for
byte as it was signed."""
import os
import shutil
import subprocess
import unittest

import signing
from harness import CREATE, PROMPT_DEFAULT, WineTest, make_icon, pe_checksums, pe_file_properties
from lzhdata import Said, files_of, make_tree

said = Said("\r\n")


class Signing(WineTest):
    def setUp(self):
        super().setUp()
        missing = signing.missing_tool()
        if missing:
            self.skipTest(f"{missing} is not installed")
        self.cert, self.key = signing.make_certificate(self.work)

    def sign(self, unsigned, signed):
        signing.sign(self.cert, self.key, self.work / unsigned, self.work / signed)
        status, report = signing.verify(self.cert, self.work / signed)
        self.assertEqual(status, 0, report)

    def test_a_doubly_signed_installer_verifies_checks_and_installs(self):
        product = make_tree(self.work / "product")
        status, _, err = self.mkinstaller("-o", "payload.exe", "--no-stub", "product")
        self.assertEqual((status, err), (0, b""))
        payload = (self.work / "payload.exe").read_bytes()
        sfx = self.build_file("sfx.exe")
        # The extractor as built, but for its header's checksum: the whole
        # file's now.
        self.assertEqual(signing.without_checksum(payload, len(sfx)),
                         signing.without_checksum(sfx, len(sfx)))
        self.assertEqual(pe_checksums(self.work / "payload.exe"), "equal")
        self.sign("payload.exe", "payload-signed.exe")
        # The stub with the publisher's properties, icon and folder.
        (self.work / "app.ico").write_bytes(make_icon([("bmp", 16), ("png", 256)])[0])
        installed = self.drive_c / "signed-product"
        shutil.rmtree(installed, ignore_errors=True)
        self.addCleanup(shutil.rmtree, installed, True)
        status, _, err = self.mkinstaller("-o", "unsigned.exe", "--product", "Signed", "--icon",
                                          "app.ico", "--default-folder", installed.name,
                                          "--payload", "payload-signed.exe")
        self.assertEqual((status, err), (0, b""))
        self.sign("unsigned.exe", "setup.exe")
        # Both signatures hold: the installer's, and the payload's as it sits
        # between the stub and the installer's certificate table.
        setup = (self.work / "setup.exe").read_bytes()
        at, size = signing.certificate_table(setup)
        self.assertEqual(at + size, len(setup))
        self.assertEqual(setup[self.payload_offset:at],
                         (self.work / "payload-signed.exe").read_bytes())

        status, listing, err = self.mkinstaller("--check", "setup.exe")
        self.assertEqual((status, err), (0, b""), listing)
        self.assertIn(f"installer signed: certificate table of {size} bytes".encode(), listing)
        self.assertIn(b"payload signed: certificate table of", listing)
        self.assertIn(b"stub and extractor as built", listing)
        self.assertIn(b"  040904B0 ProductName: Signed", listing)
        self.assertIn(b"  icon: 16x16 32-bit, 256x256 PNG", listing)
        self.assertEqual(pe_file_properties(self.work / "setup.exe")["tables"]["040904B0"]
                         ["FileDescription"], "Signed Installer")

        status, out, err = self.wine(["setup.exe"], stdin=b"\r\ny\r\n")
        self.assertEqual((status, err), (0, b""))
        listing = said.listing(sorted((n.replace("/", "\\") for n in files_of(product)),
                                      key=lambda n: n.encode("cp932")))
        prompt = PROMPT_DEFAULT.replace(b"grelm", installed.name.encode())
        self.assertEqual(out, prompt + CREATE + listing + self.pause_text())
        self.assertEqual(files_of(installed), files_of(product))

    def test_tmp_exe_is_the_signed_payload_byte_for_byte(self):
        (self.work / "probe.exe").write_bytes(self.build_file("probe.exe"))
        self.sign("probe.exe", "probe-signed.exe")
        status, _, err = self.mkinstaller("-o", "unsigned.exe", "--payload", "probe-signed.exe")
        self.assertEqual((status, err), (0, b""))
        self.sign("unsigned.exe", "setup.exe")
        (self.work / "here").mkdir()
        status, out, err = self.wine(["setup.exe"], stdin=b"here\r\n")
        self.assertEqual((status, err), (0, b""))
        _, size, digest = (self.work / "here" / "probe.txt").read_text().split()
        signed = (self.work / "probe-signed.exe").read_bytes()
        fnv = 0xcbf29ce484222325
        for b in signed:
            fnv = ((fnv ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
        self.assertEqual((int(size), digest), (len(signed), f"{fnv:016x}"))

    def test_check_looks_past_the_signing_fields_and_nothing_else(self):
        make_tree(self.work / "product")
        status, _, err = self.mkinstaller("-o", "unsigned.exe", "-m", "lh0", "product")
        self.assertEqual((status, err), (0, b""))
        self.sign("unsigned.exe", "setup.exe")
        setup = (self.work / "setup.exe").read_bytes()
        at, size = signing.certificate_table(setup)
        pe = int.from_bytes(setup[0x3C:0x40], "little")
        name = setup.index(b"readme.txt", self.payload_offset)

        def changed(at, byte=None):
            return setup[:at] + bytes([byte if byte is not None else setup[at] ^ 1]) + setup[at + 1:]

        # Changed after signing: one byte beside the certificate-table entry
        # (a different stub), a member renamed, a byte of the certificate or
        # of the signature. Each fails osslsigncode's check and ours, the
        # Windows tool's and the native one's alike.
        cases = [(setup, None),
                 (changed(pe + 24 + 96 + 5 * 8), b"the stub differs"),
                 (changed(name, ord("R")), b"the installer was changed after it was signed: its SHA256 digest"),
                 (changed(at + size // 2), b"the installer's signature"),
                 (changed(at + size - 20), b"the installer's signature does not verify")]
        native = os.environ.get("NATIVE_MKINSTALLER")
        for data, message in cases:
            with self.subTest(message=message):
                (self.work / "tampered.exe").write_bytes(data)
                self.assertEqual(signing.verify(self.cert, self.work / "tampered.exe")[0] == 0,
                                 message is None)
                runs = [self.mkinstaller("--check", "tampered.exe")]
                if native:
                    r = subprocess.run([native, "--stub", self.build / "stub.exe", "--sfx",
                                        self.build / "sfx.exe", "--check", self.work / "tampered.exe"],
                                       capture_output=True, env={**os.environ, "LC_ALL": "C"})
                    runs.append((r.returncode, r.stdout, r.stderr))
                for status, out, err in runs:
                    if message is None:
                        self.assertEqual((status, err), (0, b""), out)
                        self.assertIn(b"its SHA256 digest matches the file (whether Windows trusts "
                                      b"the signer is not checked here)", out)
                    else:
                        self.assertEqual(status, 1, out)
                        self.assertIn(message, err)

if __name__ == "__main__":
    unittest.main(verbosity=2)

"""Signed installers under Wine: the payload signed before it is packed, the
installer signed as a whole; both signatures verify, mkinstaller --check
reports them, and the installer still installs, running its payload byte for
byte as it was signed."""
import unittest

import signing
from harness import CREATE, PROMPT_DEFAULT, WineTest
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
        self.assertEqual(payload[:len(self.build_file("sfx.exe"))], self.build_file("sfx.exe"))
        self.sign("payload.exe", "payload-signed.exe")
        status, _, err = self.mkinstaller("-o", "unsigned.exe", "--payload", "payload-signed.exe")
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

        status, out, err = self.wine(["setup.exe"], stdin=b"inst\r\ny\r\n")
        self.assertEqual((status, err), (0, b""))
        listing = said.listing(sorted((n.replace("/", "\\") for n in files_of(product)),
                                      key=lambda n: n.encode("cp932")))
        self.assertEqual(out, PROMPT_DEFAULT + CREATE + listing + self.pause_text())
        self.assertEqual(files_of(self.work / "inst"), files_of(product))

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
        status, _, err = self.mkinstaller("-o", "unsigned.exe", "product")
        self.assertEqual((status, err), (0, b""))
        self.sign("unsigned.exe", "setup.exe")
        self.assertEqual(self.mkinstaller("--check", "setup.exe")[0], 0)
        setup = bytearray((self.work / "setup.exe").read_bytes())
        # One byte beside the certificate-table entry is a different stub.
        pe = int.from_bytes(setup[0x3C:0x40], "little")
        setup[pe + 24 + 96 + 5 * 8] ^= 1
        (self.work / "tampered.exe").write_bytes(setup)
        status, _, err = self.mkinstaller("--check", "tampered.exe")
        self.assertEqual(status, 1)
        self.assertIn(b"the stub differs", err)


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The archive tools, natively: our extractor against archives made by jlha
or by hand, and mkinstaller's archives checked by lhasa."""
import fcntl
import os
import pty
import random
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import termios
import time
import unicodedata
import unittest
import zlib
from pathlib import Path

from lzhdata import (Said, archive, files_of, jlha, level2_members, make_tree, lh1_encode,
                     lh2_encode, lh3_encode, member, mount_tmpfs, pm1_encode, pm2_encode,
                     ring_encode)

said = Said()
ROOT = Path(__file__).resolve().parents[2]



def fake_pe(size, image_end):
    """The smallest file our tools take for a Windows program: DOS and PE
    headers and no sections, its image ending at image_end."""
    head = bytearray(size)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    head[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", head, 0x44, 0x14C, 0, 0, 0, 0, 224, 0x102)
    struct.pack_into("<I", head, 0x58 + 60, image_end)  # SizeOfHeaders
    return bytes(head)


def lzma2_pieces(stream):
    """The pieces of a one-block .xz stream: the LZMA2 chunks that reset the
    state and set new properties (control byte 0xC0 and up), of which the
    block's first chunk is one."""
    at = 12 + (stream[12] + 1) * 4  # stream header, block header
    pieces = 0
    while stream[at] != 0:
        control = stream[at]
        if control < 0x80:  # stored: 2 bytes of size less 1
            at += 3 + int.from_bytes(stream[at + 1:at + 3], "big") + 1
            continue
        pieces += control >= 0xC0
        at += 5 + (control >= 0xC0) + int.from_bytes(stream[at + 3:at + 5], "big") + 1
    return pieces


def run(cmd, cwd=None):
    r = subprocess.run([str(c) for c in cmd], cwd=cwd, capture_output=True)
    return r.returncode, r.stdout, r.stderr


class Scratch(unittest.TestCase):
    """A scratch folder per test, and the programs under test, as the build
    names them (SFX, MKINSTALLER); a test that needs a tool this machine
    lacks is skipped, naming it."""
    needs = ()

    @classmethod
    def setUpClass(cls):
        cls.extractor = Path(os.environ["SFX"])
        cls.mkinstaller = Path(os.environ["MKINSTALLER"])
        cls.offset = int(os.environ["PAYLOAD_OFFSET"])
        for tool in cls.needs:
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"{tool} is not installed")

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="tools-test-"))
        self.addCleanup(shutil.rmtree, self.tmp)

    def extract(self, archive_path, into="out"):
        dest = self.tmp / into
        dest.mkdir(parents=True)
        return (*run([self.extractor, archive_path], cwd=dest), dest)


class JlhaRoundTrip(Scratch):
    needs = ("jlha",)

    def test_every_level_and_method_unpacks_byte_for_byte(self):
        src = make_tree(self.tmp / "src")
        want = files_of(src)
        for level in (0, 1, 2):
            for method in (5, 6, 7):
                with self.subTest(level=level, method=method):
                    arc = self.tmp / f"l{level}m{method}.lzh"
                    jlha(arc, level, method, src, *sorted(os.listdir(src)))
                    status, out, err, dest = self.extract(arc, f"x{level}{method}")
                    self.assertEqual((status, err), (0, b""))
                    self.assertEqual(files_of(dest, decode_names=True), want)
                    self.assertEqual(len(out.splitlines()), len(want) + 1)
                    self.assertTrue(out.endswith(said(said.COMPLETE)), out[-200:])


class HandEncoded(Scratch):
    """Methods no tool here writes (-lh1-, -lh2-, -lh3-, LArc's -lz5- and
    -lzs-, PMarc's -pm1- and -pm2-), from encoders of the tests' own: lhasa,
    an independent decoder, accepts every stream it reads (not -lh2- and
    -lh3-, whose CRC is then the check), and ours unpacks them."""
    needs = ("lhasa",)

    def test_streams_of_every_shape_decode_in_lhasa_and_ours(self):
        rnd = random.Random(6)
        text = b" ".join(rnd.choice([b"ring", b"larc", b"stream", b"of", b"bytes"])
                         for _ in range(4000))
        # 40,000 literals pass the count at which -lh1- halves its tree.
        # The longest matches (287 bytes in -lh3-) starting 10 bytes before
        # the decoder hands on its first 256 KiB.
        lead = ((1 << 18) - 11) % 287
        cases = {"empty": b"", "one": b"x", "zeros": bytes(70000), "random": rnd.randbytes(40000),
                 "long-at-flush": rnd.randbytes(lead) + bytes(300000),
                 **{f"len{n}": text[:n] for w in (2048, 4096, 8192, 16384) for n in (w - 1, w, w + 1)}}
        # -lh2-: short matches past the count at which its position code
        # halves (and random literals past the literal code's).
        words = [bytes(rnd.choice(b"abcdefgh") for _ in range(rnd.randint(2, 5))) for _ in range(60)]
        many = {"many-matches": b"".join(rnd.choice(words) for _ in range(120000))}
        # -lh3- in blocks of 100 symbols: both position codes, and codes of
        # one symbol ("one"; the zeros' positions).
        for method, encode, lhasa_reads, more in (
                (b"-lz5-", lambda d: ring_encode(d, b"-lz5-"), True, {}),
                (b"-lzs-", lambda d: ring_encode(d, b"-lzs-"), True, {}),
                (b"-lh1-", lh1_encode, True, {}),
                (b"-pm1-", pm1_encode, True, {}), (b"-pm2-", pm2_encode, True, {}),
                (b"-lh2-", lh2_encode, False, many),
                (b"-lh3-", lambda d: lh3_encode(d, block=100), False, {})):
            with self.subTest(method=method):
                arc = self.tmp / (method.decode().strip("-") + ".lzh")
                these = {**cases, **more}
                arc.write_bytes(archive(*(member(n.encode(), encode(d), method=method, original=d)
                                          for n, d in these.items())))
                if lhasa_reads:
                    status, out, err = run(["lhasa", "t", arc])
                    self.assertEqual((status, out.count(b"Tested")), (0, len(cases)), out + err)
                status, _, err, dest = self.extract(arc, method.decode())
                self.assertEqual((status, err), (0, b""))
                self.assertEqual(files_of(dest), these)


class BadArchives(Scratch):
    def setUp(self):
        super().setUp()
        self.good = archive(member(b"first.txt", b"kept"), member(b"second.txt", b"x" * 5000))

    def attempt(self, data, name):
        arc = self.tmp / name
        arc.write_bytes(data)
        status, out, err, dest = self.extract(arc, "inst/deep")
        self.assertNotEqual(status, 0, name)
        self.assertTrue(out.endswith(said(said.INCOMPLETE)), out)
        return err, files_of(self.tmp / "inst")

    def test_damage_is_reported_and_only_verified_files_stay(self):
        cut = self.good[:len(self.good) - 100]
        flipped_data = bytearray(self.good)
        flipped_data[-10] ^= 1
        flipped_header = bytearray(self.good)
        flipped_header[len(member(b"first.txt", b"kept")) + 9] ^= 1  # second's size
        first = {os.path.join("deep", "first.txt"): b"kept"}
        both = {**first, os.path.join("deep", "second.txt"): b"x" * 5000}
        second_at = len(member(b"first.txt", b"kept"))
        for data, name, expect, kept in (
                (cut, "cut", said(said.NOT_EXTRACTED, "second.txt", said.DATA_CUT), first),
                (bytes(flipped_data), "data", said(said.NOT_EXTRACTED, "second.txt", said.BAD_CRC),
                 first),
                (bytes(flipped_header), "header",
                 said(said.BAD_MEMBER, 2, second_at, said.HEADER_DAMAGED), first),
                (self.good[:-1], "no-end", said(said.BAD_MEMBER, 3, len(self.good) - 1,
                                                said.NO_END_MARK), both)):
            with self.subTest(damage=name):
                err, left = self.attempt(data, name)
                self.assertEqual(err, expect)
                self.assertEqual(left, kept)
                shutil.rmtree(self.tmp / "inst")

    def test_a_file_is_never_replaced_by_a_later_member_nor_taken_for_a_folder(self):
        one = os.path.join("deep", "one.txt")
        for members, expect, kept in (
                ((member(b"one.txt", b"first"), member(b"one.txt", b"second")),
                 said(said.SAME_FILE, "one.txt", "one.txt"), {one: b"first"}),
                ((member(b"one.txt", b"first"), member(b"one.txt/inside", b"x")),
                 said(said.REPORT, "one.txt", said.FILE_IN_THE_WAY), {one: b"first"})):
            with self.subTest(expect=expect):
                err, left = self.attempt(archive(*members), "twice.lzh")
                self.assertEqual(err, expect)
                self.assertEqual(left, kept)
                shutil.rmtree(self.tmp / "inst")
        # What was there before the run is replaced, as ever.
        (self.tmp / "inst" / "deep").mkdir(parents=True)
        (self.tmp / "inst" / "deep" / "one.txt").write_bytes(b"old")
        (self.tmp / "again.lzh").write_bytes(archive(member(b"one.txt", b"new")))
        status, _, err = run([self.extractor, self.tmp / "again.lzh"], cwd=self.tmp / "inst" / "deep")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(files_of(self.tmp / "inst"), {one: b"new"})

    def test_names_leading_outside_are_refused_and_write_nothing(self):
        for bad in (b"../escaped", b"ok/../../escaped", b"/abs", b"\\abs", b"C:escaped",
                    b"C:\\escaped", b"\\\\server\\share\\x", b". ./escaped"):
            with self.subTest(name=bad):
                data = archive(member(b"fine", b"1"), member(bad, b"evil"))
                err, left = self.attempt(data, "bad.lzh")
                self.assertEqual(err, said(said.REFUSED, bad.decode().replace("\\", "/")))
                self.assertEqual(list(left), [os.path.join("deep", "fine")])
                shutil.rmtree(self.tmp / "inst")


class Packing(Scratch):
    """mkinstaller with a stand-in stub and extractor of known bytes."""

    def setUp(self):
        super().setUp()
        self.stub = self.tmp / "stub.exe"
        self.stub.write_bytes(fake_pe(self.offset, 512))
        self.sfx_bytes = fake_pe(4096, 4096)
        self.sfx = self.tmp / "sfx.exe"
        self.sfx.write_bytes(self.sfx_bytes)

    def pack(self, *args, output="setup.exe"):
        return run([self.mkinstaller, "-o", self.tmp / output, "--stub", self.stub, *args])

    def check(self, installer):
        return run([self.mkinstaller, "--stub", self.stub, "--sfx", self.sfx, "--check", installer])

    def archive_part(self, output="setup.exe"):
        data = (self.tmp / output).read_bytes()
        self.assertEqual(data[:self.offset], self.stub.read_bytes())
        self.assertEqual(data[self.offset:self.offset + 4096], self.sfx_bytes)
        arc = self.tmp / "part.lzh"
        arc.write_bytes(data[self.offset + 4096:])
        return arc

    def assert_refused(self, args, message, output="setup.exe"):
        """Exit 1 with message, and nothing written: no output, no temporary."""
        before = sorted(p.name for p in self.tmp.iterdir())
        status, _, err = self.pack(*args, output=output)
        self.assertEqual(status, 1, err)
        self.assertIn(message, err)
        self.assertEqual(sorted(p.name for p in self.tmp.iterdir()), before)


class Mkinstaller(Packing):
    needs = ("jlha", "lhasa")

    def test_packed_files_are_verified_by_lhasa_and_unpack_with_their_names_and_times(self):
        src = make_tree(self.tmp / "product")
        (self.tmp / "extra.txt").write_bytes(b"extra")
        # Whole seconds, a fraction, and one before 1970 (stored as 1970).
        os.utime(src / "readme.txt", (1_000_000_000, 1_000_000_000))
        os.utime(src / "empty", ns=(1_234_567_890_999_999_999, 1_234_567_890_999_999_999))
        os.utime(self.tmp / "extra.txt", (-5, -5))
        # -lh7-, and by default the same archive in an .xz stream.
        self.assertEqual(self.pack("--sfx", self.sfx, "-m", "lh7", src, self.tmp / "extra.txt",
                                   output="lh7.exe")[:2], (0, b""))
        status, out, err = self.pack("--sfx", self.sfx, src, self.tmp / "extra.txt")
        self.assertEqual((status, err), (0, b""))
        arc = self.archive_part()
        inner = self.tmp / "inner.lzh"
        with open(inner, "wb") as f:
            self.assertEqual(subprocess.run(["xz", "-dc", arc], stdout=f).returncode, 0)
        for lzh, stream in ((self.archive_part("lh7.exe"), None), (inner, arc)):
            status, out, err = run(["lhasa", "t", lzh])
            self.assertEqual(status, 0, out + err)
            self.assertEqual(out.count(b"Tested"), len(files_of(src)) + 1)
            status, _, err, dest = self.extract(stream or lzh, f"out-{lzh.stem}")
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(files_of(dest, decode_names=True),
                             {**files_of(src), "extra.txt": b"extra"})
            self.assertEqual(os.stat(dest / "readme.txt").st_mtime, 1_000_000_000)
            self.assertEqual(os.stat(dest / "empty").st_mtime, 1_234_567_890)
            self.assertEqual(os.stat(dest / "extra.txt").st_mtime, 0)

        status, out, err = self.check(self.tmp / "setup.exe")
        self.assertEqual((status, err), (0, b""))
        self.assertIn("データ/表示/ソフト.dat".encode(), out)
        self.assertIn(b"every CRC verified", out)
        # Given the whole installer, the extractor finds the payload's archive.
        status, _, err, whole = self.extract(self.tmp / "setup.exe", "whole")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(files_of(whole), files_of(dest))

    def test_archives_are_imported_and_own_payload_appended_as_it_is(self):
        src = make_tree(self.tmp / "src")
        arc = self.tmp / "product.lzh"
        jlha(arc, 2, 5, src, "readme.txt", "bin")
        self.assertEqual(self.pack("--sfx", self.sfx, "--archive", arc)[0], 0)
        # -lh5- is the extractor's: names, order, methods and data as they were.
        self.assertEqual(level2_members(self.archive_part().read_bytes()),
                         level2_members(arc.read_bytes()))
        # Inside a whole installer, or a program whose code holds what reads
        # as an end mark before a method name (our extractor's table of
        # methods does): the archive is still found.
        table = bytearray(fake_pe(4096, 4096))
        table[1000:1007] = b"\0\0-lh5-"
        for name, data in (("installer.exe", self.stub.read_bytes() + table + arc.read_bytes()),
                           ("dos-sfx.exe", fake_pe(512, 512) + table + arc.read_bytes())):
            with self.subTest(inside=name):
                (self.tmp / name).write_bytes(data)
                status, _, err = self.pack("--sfx", self.sfx, "--archive", self.tmp / name,
                                           output="again.exe")
                self.assertEqual(status, 0, err)
                self.assertEqual(level2_members(self.archive_part("again.exe").read_bytes()),
                                 level2_members(arc.read_bytes()))
        # What follows the end mark is no part of it, and is left out.
        (self.tmp / "padded.lzh").write_bytes(arc.read_bytes() + b"\x1a" * 100)
        status, _, err = self.pack("--sfx", self.sfx, "--archive", self.tmp / "padded.lzh",
                                   output="padded.exe")
        self.assertIn(b"the 100 bytes after the archive's end mark", err)
        self.assertEqual(self.archive_part("padded.exe").read_bytes(),
                         self.archive_part().read_bytes())
        status, out, _ = self.check(self.tmp / "setup.exe")
        self.assertEqual(status, 0)
        self.assertIn(b"-lh5-", out)
        status, _, _ = self.pack("--sfx", self.sfx, "--recompress", "-m", "lh6", "--archive", arc,
                                 output="again.exe")
        self.assertEqual(status, 0)
        again = level2_members(self.archive_part("again.exe").read_bytes())
        self.assertIn(b"-lh6-", {m for m, _, _ in again})
        self.assertLessEqual({m for m, _, _ in again}, {b"-lhd-", b"-lh6-", b"-lh0-"})
        status, _, err, dest = self.extract(self.archive_part("again.exe"), "again")
        packed = {k: v for k, v in files_of(src).items() if k == "readme.txt" or k.startswith("bin")}
        self.assertEqual((status, err, files_of(dest)), (0, b"", packed))

        # Into the solid method: every member stored inside the stream, so
        # that LZMA sees the data, not -lh5-'s bits.
        status, _, err = self.pack("--sfx", self.sfx, "-m", "xz", "--archive", arc,
                                   output="solid.exe")
        self.assertEqual(status, 0, err)
        self.assertIn(b"kept as they are 0", err)
        status, out, _ = self.check(self.tmp / "solid.exe")
        self.assertEqual(status, 0, out)
        methods = {l.split()[0] for l in out.decode().splitlines() if l.startswith("  -l")}
        self.assertEqual(methods, {"-lh0-", "-lhd-"})
        status, _, err, dest = self.extract(self.archive_part("solid.exe"), "solid")
        self.assertEqual((status, err, files_of(dest)), (0, b"", packed))
        # And out of it again: a solid installer's archive is the stream's.
        status, _, err = self.pack("--sfx", self.sfx, "-m", "lh7", "--archive",
                                   self.tmp / "solid.exe", output="from-solid.exe")
        self.assertEqual(status, 0, err)
        self.assertIn(b"in the LZMA stream at bytes", err)
        status, _, err, dest = self.extract(self.archive_part("from-solid.exe"), "from-solid")
        self.assertEqual((status, err, files_of(dest)), (0, b"", packed))

        own = fake_pe(9000, 9000)
        (self.tmp / "own.exe").write_bytes(own)
        self.assertEqual(self.pack("--payload", self.tmp / "own.exe", output="own-setup.exe")[0], 0)
        self.assertEqual((self.tmp / "own-setup.exe").read_bytes(), self.stub.read_bytes() + own)
        status, out, _ = self.check(self.tmp / "own-setup.exe")
        self.assertEqual(status, 0)
        self.assertIn(b"program of its own", out)

    def test_imports_encode_again_what_the_extractor_cannot_read_and_drop_roots(self):
        text = b" ".join(random.Random(8).choice([b"old", b"setup", b"lzh"]) for _ in range(9000))
        arc = self.tmp / "old.lzh"
        arc.write_bytes(archive(
            member(b"a.txt", lh1_encode(text), method=b"-lh1-", original=text),
            member(b"b.bin", ring_encode(bytes(5000), b"-lz5-"), method=b"-lz5-",
                   original=bytes(5000)),
            member(b"\\root\\c.txt", text), member(b"C:\\d. \\d.txt. ", b"drive")))
        want = {"a.txt": text, "b.bin": bytes(5000), os.path.join("root", "c.txt"): text,
                os.path.join("d", "d.txt"): b"drive"}
        for args, methods, kept in (
                ([], [b"-lh7-", b"-lh7-", b"-lh0-", b"-lh0-"], 2),
                (["-m", "lh5", "--best", "-j", "2"], [b"-lh5-", b"-lh5-", b"-lh0-", b"-lh0-"], 2),
                (["--recompress", "-m", "lh6"], [b"-lh6-", b"-lh6-", b"-lh6-", b"-lh0-"], 0)):
            with self.subTest(args=args):
                status, _, err = self.pack("--sfx", self.sfx, *args, "--archive", arc)
                self.assertEqual(status, 0, err)
                self.assertIn(b"2 names had a root", err)
                self.assertIn(b'1 name ended in dots or spaces, which Windows drops; packed without them ("d. ")', err)
                self.assertIn(b"kept as they are %d" % kept, err)
                members = level2_members(self.archive_part().read_bytes())
                self.assertEqual([(m, p) for m, p, _ in members],
                                 list(zip(methods, [b"a.txt", b"b.bin", b"root/c.txt", b"d/d.txt"])))
                status, _, err, dest = self.extract(self.archive_part(), "x" + "".join(args))
                self.assertEqual((status, err, files_of(dest)), (0, b"", want))
        # The file's end stands for a missing end mark, as in LHA tools.
        (self.tmp / "no-end.lzh").write_bytes(arc.read_bytes()[:-1])
        status, _, err = self.pack("--sfx", self.sfx, "--archive", self.tmp / "no-end.lzh")
        self.assertEqual(status, 0, err)
        self.assertIn(b"no end mark: the file ends after its member 4", err)
        # Windows tools add the name in UTF-16 (0x44, 0x45 for folders, 0xFFFF
        # between them), which holds what their code page could not.
        wide = lambda name: name.encode("utf-16-le")
        (self.tmp / "wide.lzh").write_bytes(archive(member(b"?.txt", b"w", extensions=[
            (0x45, wide("\\フォルダ") + b"\xff\xff" + wide("下")), (0x44, wide("表示.txt"))])))
        status, _, err = self.pack("--sfx", self.sfx, "--archive", self.tmp / "wide.lzh")
        self.assertEqual(status, 0, err)
        self.assertEqual(level2_members(self.archive_part().read_bytes()),
                         [(b"-lh0-", "フォルダ/下/表示.txt".encode("cp932"), b"w")])
        # Where code page 932 has a character twice, the code Windows writes.
        (self.tmp / "wide.lzh").write_bytes(archive(member(b"?", b"w", extensions=[
            (0x44, wide("ⅰ￢∵Ⅰ.txt"))])))
        self.assertEqual(self.pack("--sfx", self.sfx, "--archive", self.tmp / "wide.lzh")[0], 0)
        self.assertEqual(level2_members(self.archive_part().read_bytes())[0][1],
                         b"\xfa\x40\x81\xca\x81\xe6\x87\x54.txt")
        for data, why in ((archive(member(b"..\\x", b"up")), b"not a plain name"),
                          (archive(member(b"x.txt", b"1", extensions=[(0x44, wide("café.txt"))])),
                           b"its Unicode name has characters that code page 932 lacks"),
                          (archive(member(b"x.txt", b"1", extensions=[(0x44, wide("..") + b"\xff\xff" + wide("x"))])),
                           b"not a plain name"),
                          # Look-alikes are other names: refused, not mapped.
                          *[(archive(member(b"x.txt", b"1", extensions=[(0x44, wide(c + ".txt"))])),
                             b"its Unicode name has characters that code page 932 lacks")
                            for c in "\u203e\u301c\u2014\u2016\u2212\u00a2\u00a3\u00ac\u00a5"],
                          # Members that meet only once imported, or were one
                          # name all along: the extractor would stop at the second.
                          (archive(member(b"a.txt", b"1"), member(b"a.txt", b"2")), b"the same name twice"),
                          (archive(member(b"a.txt.", b"1"), member(b"a.txt", b"2")), b"the same name twice"),
                          (archive(member(b"\\a.txt", b"1"), member(b"a.txt", b"2")), b"the same name twice"),
                          (archive(member(b"x", b"1", extensions=[(0x44, wide("a.txt"))]),
                                   member(b"a.txt", b"2")), b"the same name twice"),
                          (archive(member(b"a", b"1"), member(b"a\\b", b"2")),
                           b"members 1 (a) and 2 (a/b): a file and a folder of the same name"),
                          (archive(member(b"a\\b", b"1"), member(b"A", b"2")),
                           b"Windows takes these names for one file"),
                          (archive(member(b"d\\a", b"1"), member(b"d\\a\\b", b"2")),
                           b"a file and a folder of the same name"),
                          # A program whose archive lies past the MiB searched.
                          (fake_pe(4096, 4096) + bytes((1 << 20) + 1) + archive(member(b"a", b"1")),
                           b"no LHA archive in the 1 MiB searched"),
                          (archive(member(b"\\A.txt", b"1"), member(b"a.txt", b"2")),
                           b"Windows takes these names for one file"),
                          (archive(member(b"C:\\tmp.exe", b"1")), b"can't be installed"),
                          (archive(member(b"a.txt.", b"1"), member(b"A.TXT", b"2")),
                           b"Windows takes these names for one file"),
                          (archive(member(b"...", b"1")), b"not a plain name"),
                          (arc.read_bytes()[:-100], b"archive ends inside this file's data")):
            with self.subTest(refused=why):
                (self.tmp / "bad.lzh").write_bytes(data)
                self.assert_refused(["--sfx", self.sfx, "--archive", self.tmp / "bad.lzh"], why)

    def test_progress_line_only_on_a_terminal_and_cleared_at_the_end(self):
        src = self.tmp / "big"
        src.mkdir()
        rnd = random.Random(5)
        for i in range(3):
            (src / f"part{i}.bin").write_bytes(bytes(rnd.choice(b"abcdefgh") for _ in range(1 << 20)))
        cmd = [self.mkinstaller, "-o", self.tmp / "setup.exe", "--stub", self.stub, "--sfx", self.sfx,
               "-j", "1"]
        # Columns as a terminal gives them: two for a wide character.
        columns = lambda line: sum(1 + (unicodedata.east_asian_width(c) in "WF")
                                   for c in line.decode())
        # A width of 0 is a terminal that reports none (then COLUMNS, else 80).
        for terminal, quiet, japanese, width in (
                (True, False, False, 0), (True, True, False, 0), (False, False, False, 0),
                (True, False, True, 0), (True, False, False, 40), (True, False, True, 30),
                (True, False, False, 1), (True, False, False, 4)):
            with self.subTest(terminal=terminal, quiet=quiet, japanese=japanese, width=width):
                args = [str(c) for c in cmd + (["-q"] if quiet else []) + [src]]
                env = {**os.environ, "LC_ALL": "ja_JP.UTF-8"} if japanese else None
                if terminal:
                    try:
                        master, slave = pty.openpty()
                    except OSError as e:  # a container with no pseudo-terminals
                        self.skipTest(f"no pseudo-terminal: {e}")
                    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, width, 0, 0))
                    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=slave, env=env)
                    os.close(slave)
                    err = b""
                    while True:
                        try:
                            chunk = os.read(master, 4096)
                        except OSError:  # the other end closed
                            break
                        if not chunk:
                            break
                        err += chunk
                    os.close(master)
                    status = p.wait()
                else:
                    status, _, err = run(args)
                self.assertEqual(status, 0, err)
                if not terminal or quiet or width == 1:
                    self.assertEqual(err, b"")
                    continue
                lines = err.split(b"\r")
                # Every line leaves the terminal's last column free.
                self.assertLess(max(columns(l) for l in lines), width or 80, lines)
                shape = {(0, False): r"^\d/3 files, [\d.]+ of 3\.0 MiB \(\d+%\), [\d.]+ MiB/s",
                         (0, True): r"^ファイル \d/3、[\d.]+ / 3\.0 MiB \(\d+%\)、毎秒 [\d.]+ MiB",
                         (40, False): r"^\d/3 files \(\d+%\)(, \d+:\d\d left)? *$",
                         (30, True): r"^ファイル \d/3 \(\d+%\)(、残り \d+:\d\d)? *$",
                         (4, False): r"^\d+% *$"}[width, japanese]
                self.assertRegex(lines[-3].decode(), shape)
                # Ended by spaces over the widest line, then a return.
                self.assertEqual(lines[-2], b" " * max(columns(l) for l in lines[:-2]))
                self.assertEqual(lines[-1], b"")

    def test_folders_linked_into_the_tree_are_followed_and_loops_refused(self):
        (self.tmp / "shared" / "deep").mkdir(parents=True)
        (self.tmp / "shared" / "deep" / "lib.dat").write_bytes(b"shared")
        (self.tmp / "product").mkdir()
        (self.tmp / "product" / "app.exe").write_bytes(b"app")
        (self.tmp / "product" / "libs").symlink_to(self.tmp / "shared")
        self.assertEqual(self.pack("--sfx", self.sfx, self.tmp / "product")[0], 0)
        status, _, err, dest = self.extract(self.archive_part())
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(files_of(dest), {"app.exe": b"app",
                                          os.path.join("libs", "deep", "lib.dat"): b"shared"})
        (self.tmp / "shared" / "deep" / "back").symlink_to(self.tmp / "product")
        self.assert_refused(["--sfx", self.sfx, self.tmp / "product"], b"would never end",
                            output="loop.exe")

    def test_names_windows_cannot_install_are_refused_naming_file_and_rule(self):
        # (file name under a packed folder, the rule the message must give)
        device, char = b"device name", b"does not allow"
        cases = [("aux.c", device), ("con", device), ("nul.txt", device), ("com1.log", device),
                 ("lpt9", device), ("COM1 .txt", device), ("CONIN$", device),
                 ("what?", char), ("star*", char), ("a<b", char), ("a>b", char),
                 ("pipe|", char), ('quote"', char), ("colon:x", char),
                 ("bell\x07", b"control character"), ("...", b"only dots"),
                 ("back\\slash", b"backslash"), ("tmp.exe", b"tmp.exe"),
                 ("TMP.EXE.", b"tmp.exe"), ("yen¥", b"the folder separator"),
                 ("/".join(["d" * 250] * 5), b"the installer reads at most 1023")]
        for name, rule in cases:
            with self.subTest(name=name):
                root = self.tmp / "case"
                shutil.rmtree(root, ignore_errors=True)
                (root / name).parent.mkdir(parents=True, exist_ok=True)
                (root / name).write_bytes(b"x")
                self.assert_refused(["--sfx", self.sfx, root], rule)
                _, _, err = self.pack("--sfx", self.sfx, root)
                self.assertIn(os.fsencode(name.split("/")[-1]), err)
        # Below the top level tmp.exe is an ordinary name.
        (self.tmp / "ok" / "sub").mkdir(parents=True)
        (self.tmp / "ok" / "sub" / "tmp.exe").write_bytes(b"x")
        self.assertEqual(self.pack("--sfx", self.sfx, self.tmp / "ok")[0], 0)
        # Characters code page 932 holds only as a look-alike are packed as
        # that, and said so, once for each name.
        for name, stored in (("a〜b", "a～b"), ("x−y", "x－y"), ("—", "―"),
                             ("‖", "∥"), ("¢", "￠"), ("¬/in", "￢")):
            with self.subTest(name=name):
                root = self.tmp / "look"
                shutil.rmtree(root, ignore_errors=True)
                (root / name).parent.mkdir(parents=True, exist_ok=True)
                (root / name).write_bytes(b"x")
                status, _, err = self.pack("--sfx", self.sfx, root)
                self.assertEqual(status, 0, err)
                self.assertEqual(err.count(b"stored as"), 1, err)
                self.assertIn(f'stored as "{stored}"'.encode(), err)
        # Paths that leave less than 40 bytes of Windows' 259 for the install
        # folder pack, said once; 218 bytes leave 40.
        for path, said_left in (("d" * 200 + "/" + "f" * 17, None), ("d" * 200 + "/" + "f" * 18, 39),
                                ("d" * 200 + "/" + "f" * 60, 0)):
            with self.subTest(path=path):
                root = self.tmp / "long"
                shutil.rmtree(root, ignore_errors=True)
                (root / path).parent.mkdir(parents=True)
                (root / path).write_bytes(b"x")
                status, _, err = self.pack("--sfx", self.sfx, root)
                self.assertEqual(status, 0, err)
                if said_left is None:
                    self.assertEqual(err, b"")
                else:
                    self.assertEqual(err.count(b"leaves"), 1, err)
                    self.assertIn(f"leaves {said_left} of Windows' 259".encode(), err)
                    self.assertIn(path.split("/")[-1].encode(), err)

    def test_names_windows_takes_for_one_file_are_refused_naming_both(self):
        for first, second, named in (("README.txt", "readme.txt", None), ("notes", "notes.", None),
                                     ("Data/x", "data", ("Data", "data")),
                                     ("ａ.txt", "Ａ.TXT", None), ("dir/Ёж", "dir/ёЖ", None),
                                     ("Ⅰ.txt", "ⅰ.txt", None), ("d/Ⅹ", "d/ⅹ", None)):
            with self.subTest(first=first, second=second):
                root = self.tmp / "case"
                shutil.rmtree(root, ignore_errors=True)
                for name in (first, second):
                    (root / name).parent.mkdir(parents=True, exist_ok=True)
                    (root / name).write_bytes(b"x")
                self.assert_refused(["--sfx", self.sfx, root], b"Windows takes these names for one file")
                _, _, err = self.pack("--sfx", self.sfx, root)
                names = err.split(b": ")[1].split(b" and ")
                self.assertEqual(sorted(names), sorted(n.encode() for n in named or (first, second)))

    def test_check_compares_stub_and_extractor_and_needs_the_archive(self):
        (self.tmp / "f").write_bytes(b"abc" * 1000)
        # Stored, so that the last bytes are the file's data.
        self.assertEqual(self.pack("--sfx", self.sfx, "-m", "lh0", self.tmp / "f")[0], 0)
        good = (self.tmp / "setup.exe").read_bytes()
        self.assertEqual(self.check(self.tmp / "setup.exe")[0], 0)
        sfx_end = self.offset + len(self.sfx_bytes)

        def zeroed(start, end):  # our fakes are mostly zeros: invert instead
            return good[:start] + bytes(b ^ 0xFF for b in good[start:end]) + good[end:]

        def flipped(at):
            return good[:at] + bytes([good[at] ^ 0xFF]) + good[at + 1:]

        cases = [(good[:self.offset], b"no payload"),
                 (good[:self.offset - 1], b"no installer stub"),
                 (good[:sfx_end - 100], b"cut inside its program"),
                 (good[:sfx_end], b"no archive after the extractor"),
                 (zeroed(600, 1000), b"the stub differs"),
                 (zeroed(self.offset + 1024, self.offset + 2048), b"the extractor differs"),
                 (flipped(len(good) - 50), b"CRC error"),
                 (good[:-10], b"archive ends inside this file's data"),
                 (good[:-1], b"end mark"),
                 (good + b"x" * 100, b"100 bytes after the archive's end mark"),
                 # Two members that are one file on Windows.
                 (good[:sfx_end] + archive(member(b"a.txt", b"1"), member(b"A.txt", b"2")),
                  b"Windows takes these names for one file"),
                 (good[:sfx_end] + archive(member(b"a.txt", b"1"), member(b"a.txt", b"2")),
                  b"the same name twice; the installer would stop at the second"),
                 # The extractor's own headers damaged: its length no longer
                 # tells where the archive starts (NumberOfSections,
                 # SizeOfOptionalHeader, SizeOfHeaders).
                 (flipped(self.offset + 0x46), b"the extractor differs"),
                 (flipped(self.offset + 0x54), b"the extractor differs"),
                 (flipped(self.offset + 0x58 + 61), b"the extractor differs")]
        # A solid payload: its stream damaged, cut, or followed by more.
        self.assertEqual(self.pack("--sfx", self.sfx, "-m", "xz", self.tmp / "f",
                                   output="solid.exe")[0], 0)
        solid = (self.tmp / "solid.exe").read_bytes()
        self.assertEqual(self.check(self.tmp / "solid.exe")[0], 0)
        middle = (sfx_end + len(solid)) // 2
        cases += [(solid[:middle] + bytes([solid[middle] ^ 1]) + solid[middle + 1:],
                   b"LZMA stream is damaged"),
                  (solid[:-1], b"LZMA stream is cut short"),
                  (solid + b"\0" * 12, b"12 bytes after the archive's end mark")]
        for data, message in cases:
            with self.subTest(message=message):
                (self.tmp / "bad.exe").write_bytes(data)
                status, out, err = self.check(self.tmp / "bad.exe")
                self.assertEqual(status, 1, out)
                self.assertIn(message, err)
        # The extractor, which unpacks as it decodes, reads the stream to
        # its end all the same: a damaged or cut one fails the install,
        # and nothing damaged is left in place.
        for i, data in enumerate(d for d, _ in cases[-3:-1]):
            with self.subTest(extracted=i):
                (self.tmp / "bad.exe").write_bytes(data)
                status, _, err, dest = self.extract(self.tmp / "bad.exe", f"bad{i}")
                self.assertEqual(status, 1)
                self.assertNotEqual(err, b"")
                self.assertIn(files_of(dest), ({}, {"f": b"abc" * 1000}))

    def test_refusals_leave_no_output_behind(self):
        (self.tmp / "f").write_bytes(b"data")
        (self.tmp / "empty").write_bytes(b"")
        (self.tmp / "text.exe").write_bytes(b"@echo off\r\necho not a program\r\n")
        (self.tmp / "cut.exe").write_bytes(fake_pe(4096, 8192))
        (self.tmp / "bad.lzh").write_bytes(archive(member(b"../x", b"1")))
        (self.tmp / "device.lzh").write_bytes(archive(member(b"COM1 .txt", b"1")))
        damaged = bytearray(archive(member(b"a.txt", b"payload bytes")))
        damaged[-3] ^= 1
        (self.tmp / "crc.lzh").write_bytes(damaged)
        (self.tmp / "hang.lzh").write_bytes(
            archive(member(b"x", b"", method=b"-lhd-", packed=lambda hl: 2**32 - hl)))
        (self.tmp / "short-stub.exe").write_bytes(fake_pe(self.offset - 1, 512))
        (self.tmp / "text-stub.exe").write_bytes(b"x" * self.offset)
        (self.tmp / "setup.exe").write_bytes(b"previous installer")
        # Codes Windows reads as one character, and names it takes for one file.
        for name, members in (("unassigned", [b"\x85\x40", b"\x86\x40"]),
                              ("nec-ibm", [b"\x87\x54", b"\xfa\x4a"]),
                              ("not-sign", [b"\x81\xca", b"\xfa\x54"]),
                              ("roman", [b"\x87\x54", b"\xee\xef"])):
            (self.tmp / f"{name}.lzh").write_bytes(archive(*(member(m, m) for m in members)))
        cases = [
            (["--sfx", self.sfx, "--archive", self.tmp / "unassigned.lzh"], b"85 40, which are no character"),
            (["--sfx", self.sfx, "--archive", self.tmp / "nec-ibm.lzh"], b"Windows takes these names for one file"),
            (["--sfx", self.sfx, "--archive", self.tmp / "not-sign.lzh"], b"Windows takes these names for one file"),
            (["--sfx", self.sfx, "--archive", self.tmp / "roman.lzh"], b"Windows takes these names for one file"),
            (["--stub", self.tmp / "short-stub.exe", "--sfx", self.sfx, self.tmp / "f"], b"not the %d" % self.offset),
            (["--stub", self.tmp / "text-stub.exe", "--sfx", self.sfx, self.tmp / "f"], b"not a Windows executable"),
            (["--stub", "/dev/zero", "--sfx", self.sfx, self.tmp / "f"], b"not a regular file"),
            (["--sfx", "/dev/zero", self.tmp / "f"], b"not a regular file"),
            (["--sfx", self.sfx, "--archive", self.tmp / "bad.lzh"], b"not a plain name"),
            (["--sfx", self.sfx, "--archive", self.tmp / "device.lzh"], b"not a plain name"),
            (["--sfx", self.sfx, "--archive", self.tmp / "crc.lzh"], b"CRC error"),
            (["--sfx", self.sfx, "--archive", self.tmp / "hang.lzh"], b"archive ends inside"),
            (["--payload", self.tmp / "empty"], b"payload is empty"),
            (["--payload", self.tmp / "text.exe"], b"not a Windows program"),
            (["--payload", self.tmp / "cut.exe"], b"cut short"),
            (["--sfx", self.sfx, self.tmp / "missing"], b"missing"),
            (["--sfx", self.sfx, self.tmp / "f", self.tmp / "setup.exe"], b"one of the inputs"),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                stub = [] if "--stub" in args else ["--stub", self.stub]
                status, _, err = run([self.mkinstaller, "-o", self.tmp / "setup.exe", *stub, *args])
                self.assertEqual(status, 1, args)
                self.assertIn(message, err, args)
                self.assertEqual((self.tmp / "setup.exe").read_bytes(), b"previous installer")
                self.assertEqual(sorted(p.name for p in self.tmp.iterdir() if "tmp" in p.name), [])

    def test_the_same_tree_packs_to_the_same_bytes(self):
        rnd = random.Random(9)
        names = ["b.txt", "a.txt", "sub/z.bin", "sub/deeper/c.txt", "A.dat", "データ.txt"]
        contents = {n: rnd.randbytes(rnd.randrange(1, 30000)) for n in names}

        def tree(root, order):
            for n in order:  # the order files are created in, and listed in
                (root / n).parent.mkdir(parents=True, exist_ok=True)
                (root / n).write_bytes(contents[n])
            for p in root.rglob("*"):
                os.utime(p, (1_600_000_000, 1_600_000_000))
            return root

        def pack(output, *inputs, epoch=None):
            env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
            if epoch is not None:
                env["SOURCE_DATE_EPOCH"] = epoch
            r = subprocess.run([self.mkinstaller, "-o", self.tmp / output, "--stub", self.stub,
                                "--sfx", self.sfx, *inputs], env=env, capture_output=True)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            return (self.tmp / output).read_bytes()

        one = tree(self.tmp / "one", names)
        two = tree(self.tmp / "two", reversed(names))
        first = pack("1.exe", one, epoch="1500000000")
        for f in one.rglob("*"):
            os.utime(f)  # touched: now
        self.assertEqual(pack("2.exe", one, epoch="1500000000"), first)
        self.assertEqual(pack("3.exe", two, epoch="1500000000"), first)
        # Files named on the command line are sorted with the rest.
        self.assertEqual(pack("4.exe", one / "sub", one / "b.txt", one / "a.txt"),
                         pack("5.exe", one / "a.txt", one / "sub", one / "b.txt"))
        # Without the epoch the touched times are stored; it is the clamp
        # that made the packings equal, and only times after it move.
        self.assertNotEqual(pack("6.exe", one), first)
        self.assertEqual(pack("7.exe", two, epoch="1700000000"), pack("8.exe", two))
        r = subprocess.run([self.mkinstaller, "-o", self.tmp / "x.exe", "--stub", self.stub,
                            "--sfx", self.sfx, one], capture_output=True,
                           env={**os.environ, "SOURCE_DATE_EPOCH": "yesterday"})
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"SOURCE_DATE_EPOCH", r.stderr)

    def test_usage_errors_exit_2_saying_what_is_wrong(self):
        for args, why in (([], b"no -o"), (["-o", "x"], b"nothing to pack"),
                          (["-o", "x", "--archive", "a", "f"], b"one of them only"),
                          (["--check"], b"--check needs a value"), (["--bogus", "x"], b"--bogus: no such option"),
                          (["--check", "a", "-o", "b"], b"--check takes only"),
                          (["-o", "x", "--payload", "p", "--sfx", "s"], b"no --sfx with it"),
                          (["-o", "x", "-m", "lh4", "f"], b"-m lh4: no such method"),
                          (["-o", "x", "-m", "lh5", "--payload", "a"], b"apply to files"),
                          (["-o", "x", "--recompress", "a"], b"applies to --archive"),
                          (["-o", "x", "-j", "0", "f"], b"-j 0: the number of threads is 1 to 64"),
                          (["-o", "x", "-j", "65", "f"], b"-j 65: the number"),
                          (["-o", "x", "-j", "two", "f"], b"-j two: the number"),
                          (["-o", "x", "-o", "y", "f"], b"-o given twice"),
                          (["-o", "x", "--best", "--payload", "p"], b"apply to files"),
                          (["-o", "x", "--no-stub", "--payload", "p"], b"--payload with --no-stub"),
                          (["--no-stub", "--check", "a"], b"--check takes only"),
                          (["--help", "f"], b"--help goes alone"), (["--version", "-o", "x"], b"--version goes alone")):
            with self.subTest(args=args):
                status, _, err = run([self.mkinstaller, *args])
                self.assertEqual(status, 2, args)
                self.assertIn(b"usage:", err)
                first = err.split(b"\n")[0]
                self.assertTrue(first.startswith(b"mkinstaller: ") and why in first, err)
        # Method names in any case.
        (self.tmp / "f").write_bytes(b"abc" * 100)
        self.assertEqual(self.pack("--sfx", self.sfx, "-m", "LH5", self.tmp / "f")[0], 0)
        self.assertIn(b"-lh5-", self.check(self.tmp / "setup.exe")[1])

    def test_the_locale_chooses_japanese_or_english(self):
        (self.tmp / "f").write_bytes(b"abc" * 100)
        self.assertEqual(self.pack("--sfx", self.sfx, self.tmp / "f")[0], 0)
        base = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANGUAGE"}
        for env, usage, check, error in (
                ({"LANG": "ja_JP.UTF-8"}, "使い方:", "すべての CRC を確認しました", "スレッドの数は 1 から 64 です"),
                ({"LANG": "C.UTF-8", "LC_MESSAGES": "ja_JP.UTF-8"}, "使い方:", "ファイル 1 個", "スレッドの数"),
                ({"LANG": "ja_JP.UTF-8", "LC_ALL": "C"}, "usage:", "every CRC verified", "the number of threads"),
                ({"LANG": "C.UTF-8"}, "usage:", "1 file and 0 directories", "the number of threads")):
            with self.subTest(env=env):
                e = {**base, **env}
                r = subprocess.run([self.mkinstaller, "--help"], env=e, capture_output=True)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertTrue(r.stdout.decode().startswith(usage), r.stdout[:40])
                r = subprocess.run([self.mkinstaller, "--stub", self.stub, "--sfx", self.sfx,
                                    "--check", self.tmp / "setup.exe"], env=e, capture_output=True)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertIn(check, r.stdout.decode())
                r = subprocess.run([self.mkinstaller, "-j", "99", "-o", "x", "f"], env=e,
                                   capture_output=True)
                self.assertEqual(r.returncode, 2)
                self.assertIn(f"mkinstaller: -j 99: {error}", r.stderr.decode())

    def test_an_unreadable_folder_is_named_plainly(self):
        locked = self.tmp / "src" / "locked"
        locked.mkdir(parents=True)
        (locked / "f").write_bytes(b"x")
        locked.chmod(0)
        self.addCleanup(locked.chmod, 0o755)
        os.chmod(self.tmp, 0o755)
        # Root reads any folder: then as nobody, who can't, running a copy in
        # the scratch folder, since nobody may not reach the build (a clone
        # in root's home).
        drop = (lambda: os.setuid(65534)) if os.geteuid() == 0 else None
        program = self.tmp / "mkinstaller"
        shutil.copy(self.mkinstaller, program)
        r = subprocess.run([program, "-o", self.tmp / "setup.exe", "--stub", self.stub,
                            "--sfx", self.sfx, self.tmp / "src"], capture_output=True, preexec_fn=drop)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, b"mkinstaller: " + os.fsencode(locked) +
                         b": can't read the folder: Permission denied\n")

    def test_a_full_disk_names_the_output_and_leaves_nothing(self):
        disk = self.tmp / "disk"
        mount_tmpfs(self, disk, "1m")
        (self.tmp / "r").write_bytes(random.Random(2).randbytes(2 << 20))
        status, _, err = self.pack("--sfx", self.sfx, self.tmp / "r", output="disk/setup.exe")
        self.assertEqual(status, 1)
        self.assertIn(os.fsencode(self.tmp / "disk" / "setup.exe") + b": No space left on device", err)
        self.assertEqual(os.listdir(disk), [])
        # Members encoded again are spooled where TMPDIR says; one that
        # states more than fits there is refused before it is decoded.
        (self.tmp / "big.lzh").write_bytes(archive(member(
            b"big", b"\xff" * 60, method=b"-lh1-", original=bytes(64 << 20))))
        for tmpdir, message in ((disk, b"its 67108864 bytes, decoded to be encoded again, do not fit"),
                                (self.tmp / "missing", b"temporary file for the members to encode again")):
            with self.subTest(tmpdir=tmpdir):
                r = subprocess.run([self.mkinstaller, "-o", self.tmp / "setup.exe", "--stub", self.stub,
                                    "--sfx", self.sfx, "--archive", self.tmp / "big.lzh"],
                                   capture_output=True, env={**os.environ, "TMPDIR": str(tmpdir)})
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(os.listdir(disk), [])

    def test_outputs_that_are_not_files_are_refused_and_links_written_through(self):
        (self.tmp / "f").write_bytes(b"data")
        os.mkfifo(self.tmp / "fifo")
        (self.tmp / "folder").mkdir()
        cases = [("fifo", b"is a FIFO"), ("folder", b"is a folder")]
        # A device of the test's own (the null device's numbers), never the
        # system's: a faulty build would replace it with a file.
        if os.geteuid() == 0:
            os.mknod(self.tmp / "null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
            cases.append(("null", b"is a device"))
        for output, why in cases:
            with self.subTest(output=output):
                status, _, err = self.pack("--sfx", self.sfx, self.tmp / "f", output=output)
                self.assertEqual(status, 1)
                self.assertIn(why + b", which is not replaced", err)
        self.assertEqual(sorted(p.name for p in self.tmp.iterdir()),
                         sorted(["f", "sfx.exe", "stub.exe"] + [c[0] for c in cases]))
        if os.geteuid() == 0:
            self.assertTrue(stat.S_ISCHR(os.lstat(self.tmp / "null").st_mode))
        # A link, also one to a file that is not there yet, stays a link.
        (self.tmp / "out").mkdir()
        (self.tmp / "link.exe").symlink_to("out/target.exe")
        (self.tmp / "out" / "chain.exe").symlink_to("../link.exe")
        for output in ("link.exe", "out/chain.exe"):
            self.assertEqual(self.pack("--sfx", self.sfx, self.tmp / "f", output=output)[0], 0)
            self.assertTrue((self.tmp / output).is_symlink())
            self.assertEqual(self.check(self.tmp / "out" / "target.exe")[0], 0)
        self.assertEqual(sorted(p.name for p in (self.tmp / "out").iterdir()), ["chain.exe", "target.exe"])

    def test_an_interrupted_packing_leaves_nothing_behind(self):
        src = self.tmp / "src"
        src.mkdir()
        (src / "big").write_bytes(random.Random(4).randbytes(6 << 20))
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig):
                p = subprocess.Popen([self.mkinstaller, "-o", self.tmp / "setup.exe", "--stub",
                                      self.stub, "--sfx", self.sfx, "--best", "-j", "1", src],
                                     stderr=subprocess.PIPE)
                for _ in range(400):  # until its temporary output is there
                    if any(".tmp" in n for n in os.listdir(self.tmp)) or p.poll() is not None:
                        break
                    time.sleep(0.01)
                p.send_signal(sig)
                _, err = p.communicate(timeout=60)
                self.assertEqual(p.returncode, -sig, err)
                self.assertEqual(sorted(os.listdir(self.tmp)), ["sfx.exe", "src", "stub.exe"])
        # The extractor, interrupted, removes the file it was writing, says
        # so and ends with status 1: the install can be run again.
        (src / "big").unlink()
        (src / "a.txt").write_bytes(b"first")
        with open(src / "zeros", "wb") as f:
            f.truncate(256 << 20)
        self.assertEqual(self.pack("--sfx", self.sfx, src)[0], 0)
        dest = self.tmp / "dest"
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig):
                shutil.rmtree(dest, ignore_errors=True)
                dest.mkdir()
                p = subprocess.Popen([self.extractor, self.tmp / "setup.exe"], cwd=dest,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(2000):
                    temp = [n for n in os.listdir(dest) if n.startswith("~sfx")]
                    if temp and (dest / temp[0]).stat().st_size > (1 << 20) or p.poll() is not None:
                        break
                    time.sleep(0.01)
                p.send_signal(sig)
                out, err = p.communicate(timeout=60)
                self.assertEqual((p.returncode, err), (1, b""))
                self.assertTrue(out.endswith(said(said.INTERRUPTED)), out[-100:])
                self.assertEqual(os.listdir(dest), ["a.txt"])



class OtherTools(Packing):
    """Real archives from tools no one here can run (shared/lzh-samples),
    alone or inside self-extractors: packed with --archive, ours unpacks
    what lhasa unpacks, names aside from case (lhasa lowers those of
    case-blind systems)."""
    needs = ("lhasa",)
    SAMPLES = ROOT.parent / "shared" / "lzh-samples"
    READ = ["lha_os2_208-h3_lh5.lzh",            # header level 3
            "lha_amiga_122-lh4.lzh",             # -lh4-
            "unlha32-h2_lhx.lzh",                # -lhx-
            "larc333-lz4.lzs", "pmarc124-pm0.pma",  # LArc's and PMarc's stored
            "larc333-lz5.lzs",                   # LArc's -lz5-
            "larc333-initial.lzs",               # -lz5-: the ring's whole initial content
            "lha_osk_201-h2_lh5.lzh",            # level 2 as OS-9/68k writes it, 2 bytes short
            "generated-lzs-lzs.lzs",             # -lzs-, and no end mark
            "lharc113-lh1.lzh", "lengths-lh1-64k.lzh",  # -lh1-
            "lhmelt_16536-h0_subdir.lzh",        # names with a root
            "generated-pm1-pm1.pma",             # -pm1-, 32 members
            "pmarc2-pm2.pma",                    # -pm2-, a name ending in a dot
            "larc333-sfx.com",                   # MS-DOS .com self-extractor
            "lha255e-sfx.exe",                   # MS-DOS self-extractor
            "lhmelt_16536-sfx_winsfx32_213.exe",  # Windows one, archive past its image
            "lha_x68k_213-sfx.x",                # Human68k self-extractor
            "lharc_atari_313a-sfx.tos",          # GEMDOS self-extractor
            "lha_amiga_122-sfx.run"]             # AmigaOS self-extractor
    # Samples lhasa cannot read: the member's CRC is the check, and what it
    # holds (name, size, first bytes).
    CRC_ONLY = {"unlha32-lh2.lzh": ("LICENSE.MIT", 2853, b"The MIT License (MIT)")}  # -lh2-

    def test_archives_of_other_tools_pack_and_unpack_as_lhasa_unpacks_them(self):
        if not self.SAMPLES.is_dir():
            self.skipTest(f"{self.SAMPLES} is not here")
        # An old installer: a stub, then an MS-DOS self-extractor.
        old = self.tmp / "old-setup.exe"
        old.write_bytes(fake_pe(self.offset, 512) + (self.SAMPLES / "lha255e-sfx.exe").read_bytes())
        for sample, (name, size, start) in self.CRC_ONLY.items():
            with self.subTest(sample=sample):
                status, _, err = self.pack("--sfx", self.sfx, "--archive", self.SAMPLES / sample)
                self.assertEqual(status, 0, err)
                self.assertEqual(self.check(self.tmp / "setup.exe")[0], 0)
                self.assertEqual(run(["lhasa", "t", self.archive_part()])[0], 0)
                status, _, err, dest = self.extract(self.archive_part(), "crc-" + sample)
                self.assertEqual((status, err), (0, b""))
                data = (dest / name).read_bytes()
                self.assertEqual((len(data), data[:len(start)]), (size, start))
        for sample in [self.SAMPLES / n for n in self.READ] + [old]:
            with self.subTest(sample=sample.name):
                want = self.tmp / ("lhasa-" + sample.name)
                want.mkdir()
                self.assertEqual(run(["lhasa", f"xw={want}", sample])[0], 0)
                status, _, err = self.pack("--sfx", self.sfx, "--archive", sample)
                self.assertEqual(status, 0, err)
                self.assertEqual(self.check(self.tmp / "setup.exe")[0], 0)
                # Written again in what the Windows extractor reads, which
                # lhasa reads too.
                methods = {m for m, _, _ in level2_members(self.archive_part().read_bytes())}
                self.assertLessEqual(methods, {b"-lh0-", b"-lh5-", b"-lh7-", b"-lhd-"})
                self.assertEqual(run(["lhasa", "t", self.archive_part()])[0], 0)
                status, _, err, dest = self.extract(self.archive_part(), "ours-" + sample.name)
                self.assertEqual((status, err), (0, b""))
                # Windows drops a name's trailing dots, and so does the import.
                lower = lambda files: {k.lower().rstrip(". "): v for k, v in files.items()}
                self.assertEqual(lower(files_of(dest)), lower(files_of(want)))
                # The native extractor finds the archive in a program too.
                if sample.suffix in (".exe", ".com", ".x", ".tos", ".run"):
                    status, _, err, dest = self.extract(sample, "direct-" + sample.name)
                    self.assertEqual((status, err), (0, b""))
                    self.assertEqual(lower(files_of(dest)), lower(files_of(want)))


class Compression(Packing):
    """Every archive mkinstaller compresses is checked by three decoders that
    no one here wrote, and by ours."""
    needs = ("jlha", "lhasa", "7zz")
    WINDOWS = {"lh5": 8192, "lh6": 32768, "lh7": 65536}

    def cases(self):
        rnd = random.Random(3)
        words = [bytes(rnd.choice(b"abcdefghijklmnop") for _ in range(rnd.randint(1, 9)))
                 for _ in range(700)]
        text = b" ".join(rnd.choice(words) for _ in range(260_000))  # many blocks
        # Runs of zeros whose last block fills exactly, or holds one symbol
        # coded in no bits, at a byte boundary: a decoder that stops at the
        # last bit would lose the last symbol.
        cases = {"empty": b"", "one": b"x", "zeros": bytes(1 << 20), "zeros4m": bytes(4 << 20),
                 "zeros8m+1": bytes((8 << 20) + 1), "zeros-full-block": bytes(2096878),
                 "random": rnd.randbytes(300_000), "text": text}
        dlls = sorted(Path("/usr/lib/i386-linux-gnu/wine/i386-windows").glob("*.dll"))
        if dlls:
            cases["program.dll"] = min(dlls, key=lambda p: abs(p.stat().st_size - 400_000)).read_bytes()
        for w in sorted(set(self.WINDOWS.values())):
            for n in (w - 1, w, w + 1):
                cases[f"len{n}"] = text[:n]
            # The tail repeats the head at exactly the window's distance:
            # only a match at the largest distance can shrink it.
            head = rnd.randbytes(w)
            cases[f"far{w}"] = head + head[:2000]
        # Two letters at random: longer matches at every farther distance,
        # more than --best keeps for refining its blocks.
        two = random.Random(4)
        cases["two-letters"] = bytes(two.choice(b"ab") for _ in range(300_000))
        return cases

    def test_round_trips_through_every_decoder(self):
        cases = self.cases()
        src = self.tmp / "src"
        src.mkdir()
        for name, data in cases.items():
            (src / name).write_bytes(data)
        runs = [(m, w, []) for m, w in self.WINDOWS.items()]
        runs += [(m, self.WINDOWS[m], ["--best"]) for m in ("lh5", "lh7")]
        runs += [("xz", 0, []), ("xz", 0, ["--best"])]
        for method, window, best in runs:
            with self.subTest(method=method, best=bool(best)):
                out = f"{method}{'-best' if best else ''}.exe"
                status, _, err = self.pack("--sfx", self.sfx, "-m", method, *best, src, output=out)
                self.assertEqual((status, err), (0, b""))
                arc = self.archive_part(out)
                if method == "xz":
                    self.check_solid(arc, out, cases)
                    continue
                for tool in (["lhasa", "t", arc], ["7zz", "t", arc]):
                    status, log, err = run(tool)
                    self.assertEqual(status, 0, (tool[0], log[-2000:], err))
                dest = self.tmp / f"jlha-{out}"
                dest.mkdir()
                status, log, err = run(["jlha", "xq", arc], cwd=dest)
                self.assertEqual(status, 0, err)
                self.assertEqual(files_of(dest), cases)
                status, _, err, ours = self.extract(arc, f"ours-{out}")
                self.assertEqual((status, err), (0, b""))
                self.assertEqual(files_of(ours), cases)

                listing = run([self.mkinstaller, "--stub", self.stub, "--sfx", self.sfx,
                               "--check", self.tmp / out])[1].decode()
                stored = {l.split()[-1] for l in listing.splitlines() if "-lh0-" in l}
                self.assertIn("random", stored)   # does not shrink: stored
                self.assertNotIn("zeros", stored)
                self.assertNotIn(f"far{window}", stored)
                # An 8 KiB window can't reach 64 KiB back.
                if window < 65536:
                    self.assertIn("far65536", stored)

    def check_solid(self, part, out, cases):
        """A solid payload: an .xz stream that xz finds clean, of an -lh0-
        archive that lhasa and jlha read; ours unpacks it, and --check
        lists every member stored."""
        stream = part.with_suffix(".xz")
        part.rename(stream)
        status, log, err = run(["xz", "-t", stream])
        self.assertEqual((status, err), (0, b""))
        inner = self.tmp / f"inner-{out}.lzh"
        with open(inner, "wb") as f:
            self.assertEqual(subprocess.run(["xz", "-dc", stream], stdout=f).returncode, 0)
        status, log, err = run(["lhasa", "t", inner])
        self.assertEqual(status, 0, (log[-2000:], err))
        dest = self.tmp / f"jlha-{out}"
        dest.mkdir()
        self.assertEqual(run(["jlha", "xq", inner], cwd=dest)[0], 0)
        self.assertEqual(files_of(dest), cases)
        status, _, err, ours = self.extract(stream, f"ours-{out}")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(files_of(ours), cases)
        listing = run([self.mkinstaller, "--stub", self.stub, "--sfx", self.sfx,
                       "--check", self.tmp / out])[1].decode()
        self.assertIn("LZMA stream", listing)
        self.assertEqual(sum("-lh0-" in l for l in listing.splitlines()), len(cases))

    def test_the_same_bytes_whatever_the_number_of_threads(self):
        src = self.tmp / "src"
        src.mkdir()
        cases = self.cases()
        for name in ("text", "random", "zeros", "one", "empty"):
            (src / name).write_bytes(cases[name][:400_000])
        (src / "sub").mkdir()
        (src / "sub" / "more").write_bytes(cases["text"][-100_000:])
        # A member of more than one 4 MiB piece, whose matches reach across the
        # cuts; random runs keep the pieces' bit counts off whole bytes.
        rnd = random.Random(5)
        text = cases["text"]
        big = b"".join(text[rnd.randrange(len(text) - 5000):][:rnd.randrange(100, 5000)]
                       + rnd.randbytes(rnd.randrange(1, 40)) for _ in range(2300))
        self.assertGreater(len(big), (4 << 20) + 1)
        (src / "big").write_bytes(big)
        # One piece exactly, and one byte into the next.
        (src / "piece").write_bytes(big[-(4 << 20):])
        (src / "piece+1").write_bytes(big[-(4 << 20) - 1:])
        # --best's LZMA2 block in two pieces that threads encode apart, the
        # default's in one: the pieces are counted where LZMA2 resets its
        # state and properties.
        methods = {"lh5": [], "lh7": [], "xz": [], "xz-best": ["--best"]}
        for jobs in ("1", "2", "5"):
            for method, more in methods.items():
                out = f"{method}-j{jobs}.exe"
                self.assertEqual(self.pack("--sfx", self.sfx, "-m", method.split("-")[0], *more, "-j", jobs,
                                           src, output=out)[0], 0)
        for method in methods:
            one = (self.tmp / f"{method}-j1.exe").read_bytes()
            self.assertEqual((self.tmp / f"{method}-j2.exe").read_bytes(), one)
            self.assertEqual((self.tmp / f"{method}-j5.exe").read_bytes(), one)
            if method.startswith("xz"):
                arc = self.archive_part(f"{method}-j1.exe")
                self.assertEqual(lzma2_pieces(arc.read_bytes()), 2 if "best" in method else 1)
                self.check_solid(arc, f"{method}-j1.exe", files_of(src))
                continue
            arc = self.archive_part(f"{method}-j1.exe")
            status, log, err = run(["lhasa", "t", arc])
            self.assertEqual(status, 0, (log[-2000:], err))
            status, _, err, ours = self.extract(arc, f"ours-{method}")
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(files_of(ours), files_of(src))
        self.assertEqual([p.name for p in self.tmp.iterdir() if ".tmp" in p.name], [])

    def stream_of_blocks(self, block_size="300KiB"):
        """A product, and an .xz stream of its -lh0- archive in blocks that
        name their sizes, as xz -T2 writes them."""
        cases = self.cases()
        src = self.tmp / "src"
        src.mkdir(exist_ok=True)
        for name in ("text", "random", "zeros", "one", "empty", "program.dll"):
            if name in cases:
                (src / name).write_bytes(cases[name])
        self.assertEqual(self.pack("--sfx", self.sfx, "-m", "lh0", src, output="lh0.exe")[0], 0)
        r = subprocess.run(["xz", "-6", "-T2", f"--block-size={block_size}", "--check=crc32", "-c",
                            self.archive_part("lh0.exe")], capture_output=True, check=True)
        return src, r.stdout

    def extract_counting_threads(self, stream, dest, tmpdir):
        """Our extractor's run on stream in dest, with TMPDIR tmpdir, and
        the threads it started (None without strace)."""
        cmd = [self.extractor, stream]
        env = {**os.environ, "TMPDIR": str(tmpdir)}
        if shutil.which("strace"):
            cmd = ["strace", "-f", "-qq", "-e", "trace=clone,clone3", "-o", self.tmp / "threads",
                   *cmd]
            env["ASAN_OPTIONS"] = "detect_leaks=0"  # the leak checker's clone fails under ptrace
        r = subprocess.run(cmd, cwd=dest, capture_output=True, env=env)
        if not shutil.which("strace"):
            return r, None
        return r, (self.tmp / "threads").read_text().count("CLONE_THREAD")

    def test_no_spool_where_its_disk_may_lack_room_for_it_beside_the_product(self):
        """None where TMPDIR's disk is too small, nor for a stream of more
        blocks than the extractor reads the headers of (64): the whole
        product's size is not known then."""
        src, whole = self.stream_of_blocks()
        many = self.stream_of_blocks("20KiB")[1]
        (self.tmp / "many.xz").write_bytes(many)
        totals = run(["xz", "--robot", "-l", self.tmp / "many.xz"])[1].split(b"\n")[-2].split(b"\t")
        self.assertGreater(int(totals[2]), 64)  # "totals", streams, blocks, ...
        small = self.tmp / "small"
        mount_tmpfs(self, small, "4m")  # the product is 1.6 MB; the margin 16 MiB
        for name, stream, tmpdir in (("small", whole, small), ("many", many, self.tmp)):
            (self.tmp / "stream.xz").write_bytes(stream)
            out = self.tmp / f"out-{name}"
            out.mkdir()
            r, threads = self.extract_counting_threads(self.tmp / "stream.xz", out, tmpdir)
            self.assertEqual((r.returncode, r.stderr), (0, b""), name)
            self.assertEqual(files_of(out), files_of(src), name)
            self.assertIn(threads, (0, None), name)
        self.assertEqual(os.listdir(small), [])

    def test_later_blocks_decoded_ahead_give_what_one_thread_gives(self):
        """A stream of blocks that name their sizes, as xz -T2 writes them:
        a second thread decodes the later ones into a spool in TMPDIR. Whole,
        damaged or cut anywhere, the files, status and words are those of
        one thread alone, which a TMPDIR that is not there makes."""
        src, whole = self.stream_of_blocks()
        blocks = []  # (start, header size, compressed size) of each block
        at = 12
        while whole[at] != 0:
            size = (whole[at] + 1) * 4
            self.assertEqual(whole[at + 1] & 0xC0, 0xC0)  # both sizes stored
            compressed = 0
            for i, b in enumerate(whole[at + 2:at + 12]):
                compressed |= (b & 0x7F) << (7 * i)
                if b < 0x80:
                    break
            blocks.append((at, size, compressed))
            at += (size + compressed + 3) // 4 * 4 + 4
        self.assertGreaterEqual(len(blocks), 4)
        last, first_ahead = blocks[-1], blocks[len(blocks) // 2]

        def lying(stream):
            """The uncompressed size of a block the second thread takes, one
            more, under a header CRC that matches again."""
            start, size, _ = first_ahead
            h = bytearray(stream[start:start + size])
            at = 2
            while h[at] & 0x80:
                at += 1
            h[at + 1] += 1
            h[-4:] = struct.pack("<I", zlib.crc32(h[:-4]))
            return stream[:start] + bytes(h) + stream[start + size:]

        def flip(at):
            return lambda s: s[:at] + bytes([s[at] ^ 0x40]) + s[at + 1:]

        # Each with whether the second thread starts: not where a header is
        # damaged or the index can't be reached, as the archive's whole size
        # must be known; unsaid for bytes at random.
        variants = {"whole": (lambda s: s, True),
                    "first block's data": (flip(blocks[0][0] + blocks[0][1] + 100), True),
                    "an ahead block's data": (flip(first_ahead[0] + first_ahead[1] + 100), True),
                    "an ahead block's header": (flip(first_ahead[0] + 1), False),
                    "the last block's data": (flip(last[0] + last[1] + last[2] // 2), True),
                    "the index": (flip(len(whole) - 14), True),
                    "cut in the last block": (lambda s: s[:last[0] + 50], False),
                    "a size that lies": (lying, True)}
        rnd = random.Random(6)
        for at in sorted(rnd.sample(range(12, len(whole)), 8)):
            variants[f"byte {at}"] = (flip(at), None)
        for name, (change, ahead) in variants.items():
            with self.subTest(name):
                stream = self.tmp / "stream.xz"
                stream.write_bytes(change(whole))
                seen = []
                for tmpdir in (self.tmp, self.tmp / "missing"):
                    dest = self.tmp / f"out-{name}-{tmpdir.name}"
                    dest.mkdir()
                    r, threads = self.extract_counting_threads(stream, dest, tmpdir)
                    seen.append((r.returncode, r.stdout, r.stderr.replace(os.fsencode(dest), b""),
                                 files_of(dest)))
                    if threads is not None and ahead is not None:
                        self.assertEqual(threads > 0, ahead and tmpdir == self.tmp, name)
                self.assertEqual(seen[0], seen[1])
                self.assertEqual(seen[0][0], 0 if name == "whole" else 1, seen[0][2])
                if name == "whole":
                    self.assertEqual(seen[0][3], files_of(src))

    def test_solid_lzma_context_follows_what_the_product_mostly_is(self):
        """Mostly Windows programs: lc 2, pb 0; else liblzma's lc 3, pb 2.
        The properties are the first LZMA2 chunk's byte after its sizes."""
        text = self.cases()["text"][:300_000]
        for programs, props in ((0.6, 2), (0.4, (2 * 5 + 0) * 9 + 3)):
            with self.subTest(programs=programs):
                src = self.tmp / f"src{programs}"
                src.mkdir()
                cut = int(len(text) * programs)
                (src / "app.exe").write_bytes(b"MZ" + text[:cut])
                (src / "readme.txt").write_bytes(text[cut:])
                out = f"context{programs}.exe"
                self.assertEqual(self.pack("--sfx", self.sfx, "-m", "xz", src, output=out)[0], 0)
                stream = self.archive_part(out).read_bytes()
                chunk = 12 + (stream[12] + 1) * 4
                self.assertEqual((stream[chunk] & 0xE0, stream[chunk + 5]), (0xE0, props))
                status, _, err, ours = self.extract(self.tmp / out, f"ours{programs}")
                self.assertEqual((status, err, files_of(ours)), (0, b"", files_of(src)))

if __name__ == "__main__":
    unittest.main(verbosity=2)

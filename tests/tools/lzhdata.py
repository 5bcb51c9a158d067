"""Test data for the archive tools: source trees, and LZH archives made by
jlha or crafted by hand (a second, independent writer, for names and damage
no archiver would produce)."""
import os
import random
import struct
import subprocess
from pathlib import Path


def crc16(data, crc=0):
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def _pack(bits):
    """A string of bits as bytes, most significant first, the last padded
    with zeros."""
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[k:k + 8], 2) for k in range(0, len(bits), 8))


def _greedy(data, reach, longest):
    """The greedy parse the tests' LZ encoders share: for each step, where
    it starts, the match taken there (its length, 0 for a literal, and its
    distance less one), the latest place of the same three bytes within
    reach extended to at most longest."""
    last, i = {}, 0
    while i < len(data):
        j, n = last.get(data[i:i + 3], -1), 0
        if j >= 0 and i - j <= reach:
            while n < longest and i + n < len(data) and data[j + n] == data[i + n]:
                n += 1
        for k in range(i, i + max(n, 1)):
            last[data[k:k + 3]] = k
        if n >= 3:
            yield i, n, i - j - 1
            i += n
        else:
            yield i, 0, None
            i += 1


def member(path, data, mtime=1_500_000_000, method=b"-lh0-", packed=None, original=None,
           extensions=()):
    """A level 2 member, its data stored as given; path is bytes, '/' or '\\'
    separated, kept exactly as given (so "..", "C:" and leading separators
    survive). packed, given as a function of the header's length, overrides
    the stored packed size; original, the bytes data decodes to, makes data
    the packed data of method. extensions: (type, bytes) pairs added after
    the name."""
    name = path.replace(b"/", b"\\")
    ext = struct.pack("<HB", 5, 0) + b"\0\0"           # header CRC, filled below
    ext += struct.pack("<HB", len(name) + 3, 1) + name  # file name
    for kind, body in extensions:
        ext += struct.pack("<HB", len(body) + 3, kind) + body
    ext += struct.pack("<H", 0)
    base_len = 24
    total = base_len + len(ext)
    size = len(data) if packed is None else packed(total) & 0xFFFFFFFF
    plain = data if original is None else original
    head = struct.pack("<H5sIIIBBHB", total, method, size, len(plain), mtime,
                       0x20, 2, crc16(plain), ord("M"))
    header = bytearray(head + ext)
    crc_at = base_len + 3
    struct.pack_into("<H", header, crc_at, crc16(bytes(header)))
    return bytes(header) + data


def archive(*members):
    return b"".join(members) + b"\0"


def level2_members(data):
    """(method, path with '/', packed data) of each member of a level 2
    archive, up to its end mark."""
    found, at = [], 0
    while data[at] != 0:
        total, method, packed = struct.unpack_from("<H5sI", data, at)
        assert data[at + 20] == 2, f"level {data[at + 20]} at {at}"
        names, ext = {}, at + 24
        while (size := struct.unpack_from("<H", data, ext)[0]) != 0:
            names[data[ext + 2]] = data[ext + 3:ext + size]
            ext += size
        path = names.get(2, b"").replace(b"\xff", b"/") + names.get(1, b"")
        found.append((method, path.rstrip(b"/"), data[at + total:at + total + packed]))
        at += total + packed
    return found


def make_tree(root, seed=1):
    """A product-like tree: nested folders, Shift_JIS-worthy names (表 and ソ
    end in the byte 0x5C), an empty file, text and binary of some size."""
    rnd = random.Random(seed)
    root = Path(root)
    (root / "bin").mkdir(parents=True)
    (root / "データ" / "表示").mkdir(parents=True)
    words = [bytes(rnd.choice(b"abcdefghijklmnop") for _ in range(rnd.randint(1, 8)))
             for _ in range(500)]
    (root / "readme.txt").write_bytes(b" ".join(rnd.choice(words) for _ in range(60000)))
    (root / "bin" / "tool.bin").write_bytes(bytes(rnd.getrandbits(8) for _ in range(50000))
                                            + bytes(range(256)) * 200)
    (root / "データ" / "表示" / "ソフト.dat").write_bytes("表示ソフト\r\n".encode("cp932") * 300)
    (root / "empty").write_bytes(b"")
    (root / "表.txt").write_bytes(b"top-level name ending in 0x5C")
    return root


def jlha(archive_path, level, method, cwd, *names):
    """Archives names (relative to cwd) with jlha; Shift_JIS names, as in a
    Japanese locale."""
    env = dict(os.environ, LC_ALL="ja_JP.UTF-8")
    subprocess.run(["jlha", f"c{level}o{method}q", str(archive_path), *names], cwd=cwd,
                   env=env, check=True, stdout=subprocess.DEVNULL)


def files_of(root, decode_names=False):
    """{relative path: bytes} of every file under root. With decode_names,
    names stored as raw Shift_JIS bytes (as natively extracted) are read back
    as text."""
    out = {}
    root = Path(root)
    for dirpath, _, filenames in os.walk(os.fsencode(root)):
        for f in filenames:
            full = os.path.join(dirpath, f)
            rel = os.path.relpath(full, os.fsencode(root))
            key = rel.decode("cp932") if decode_names else os.fsdecode(rel)
            out[key] = Path(os.fsdecode(full)).read_bytes()
    return out


def dirs_of(root):
    """Relative paths of every directory under root."""
    root = Path(root)
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_dir())


class Said:
    """What the extractor tells the user, as the user reads it: Japanese,
    in Shift_JIS; newline is the platform's line end."""
    EXTRACTED = "{} を展開しました。\n"
    PROGRESS = "{} を展開中... {:3d}%\r"
    COMPLETE = "インストールが完了しました。\n"
    INCOMPLETE = "インストールは完了していません。\n"
    NOT_EXTRACTED = "{}: {}。展開できませんでした。\n"
    REPORT = "{}: {}。\n"
    REFUSED = "{}: インストール先の外や、Windows が使えない名前を指しているので展開しません。\n"
    BAD_MEMBER = "アーカイブ: {} 番目のファイルのヘッダー ({} バイト目): {}。\n"
    SAME_FILE = "{}: 先に展開した {} と、Windows では同じファイルになります。上書きしないので、展開できませんでした。\n"
    FILE_IN_THE_WAY = "同じ名前のファイルがあるので、フォルダを作れません"
    DATA_CUT = "ファイルのデータの途中でアーカイブが終わっています"
    BAD_CRC = "CRC が合いません (データが壊れています)"
    NO_END_MARK = "アーカイブの終わりの印がありません (ダウンロードが途中で切れていませんか)"
    HEADER_DAMAGED = "ヘッダーが壊れています"
    NO_ARCHIVE = "このプログラムの後にアーカイブが見つかりません"
    ENOSPC = "ディスクの空き容量が足りません"
    EACCES = "アクセスが拒否されました"
    EILSEQ = "名前の文字が Shift_JIS にありません"
    INTERRUPTED = "\nインストールは中断されました。完了していません。\n"

    def __init__(self, newline="\n"):
        self.newline = newline

    def __call__(self, text, *args):
        return text.format(*args).replace("\n", self.newline).encode("cp932")

    def listing(self, names, sep="/"):
        """The lines for files extracted in this order, and the last line."""
        return b"".join(self(self.EXTRACTED, n.replace("/", sep)) for n in names) + \
            self(self.COMPLETE)


def mount_tmpfs(test, path, size, read_only=False):
    """A small file system of its own at path, unmounted when the test ends;
    the test is skipped where this machine does not allow mounting."""
    path.mkdir(parents=True, exist_ok=True)
    options = f"size={size}" + (",ro" if read_only else "")
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        test.skipTest(f"cannot mount a tmpfs here ({r.stderr.strip() or 'mount failed'}); "
                      "needs root and a mount namespace that allows it")
    test.addCleanup(subprocess.run, ["umount", "-l", str(path)])


def ring_encode(data, method):
    """LArc's LZSS, greedily, as no tool here writes it: -lz5- (flag bytes,
    4 KiB ring from 4078, matches of 3-18) or -lzs- (flag bits, 2 KiB ring
    from 2031, matches of 2-17); matches only within the data written."""
    size, start, least, most = (4096, 4078, 3, 18) if method == b"-lz5-" else (2048, 2031, 2, 17)
    last, items, i = {}, [], 0
    while i < len(data):
        j = last.get(data[i:i + least], -1)
        n = 0
        if j >= 0 and i - j <= size:
            while n < most and i + n < len(data) and data[j + n] == data[i + n]:
                n += 1
        for k in range(i, i + max(n, 1)):
            last[data[k:k + least]] = k
        if n >= least:
            items.append(((start + j) % size, n))
            i += n
        else:
            items.append(data[i])
            i += 1
    if method == b"-lz5-":
        out = bytearray()
        for g in range(0, len(items), 8):
            group = items[g:g + 8]
            out.append(sum(1 << b for b, it in enumerate(group) if isinstance(it, int)))
            for it in group:
                out += bytes([it]) if isinstance(it, int) else \
                    bytes([it[0] & 0xFF, (it[0] >> 4) & 0xF0 | (it[1] - 3)])
        return bytes(out)
    return _pack("".join(f"1{it:08b}" if isinstance(it, int) else f"0{it[0]:011b}{it[1] - 2:04b}"
                         for it in items))


class _Adaptive:
    """LHarc 1.x's adaptive Huffman tree (after LZHUF), kept as the decoder
    keeps it: 314 symbols, counts raised per symbol, halved at 0x8000."""
    N, T = 314, 627

    def __init__(self):
        N, T = self.N, self.T
        self.freq = [1] * N + [0] * (T + 1 - N)
        self.son = [i + T for i in range(N)] + [0] * (T - N)
        self.parent = [0] * (T + N)
        for i in range(N):
            self.parent[i + T] = i
        i = 0
        for j in range(N, T):
            self.freq[j] = self.freq[i] + self.freq[i + 1]
            self.son[j] = i
            self.parent[i] = self.parent[i + 1] = j
            i += 2
        self.freq[T] = 0xFFFF
        self.parent[T - 1] = 0

    def rebuild(self):
        T, N = self.T, self.N
        j = 0
        for i in range(T):
            if self.son[i] >= T:
                self.freq[j] = (self.freq[i] + 1) // 2
                self.son[j] = self.son[i]
                j += 1
        i = 0
        for n in range(N, T):
            f = self.freq[i] + self.freq[i + 1]
            k = n - 1
            while f < self.freq[k]:
                k -= 1
            k += 1
            self.freq[k + 1:n + 1] = self.freq[k:n]
            self.freq[k] = f
            self.son[k + 1:n + 1] = self.son[k:n]
            self.son[k] = i
            i += 2
        for i in range(T):
            k = self.son[i]
            self.parent[k] = i
            if k < T:
                self.parent[k + 1] = i

    def update(self, c):
        T = self.T
        if self.freq[T - 1] == 0x8000:
            self.rebuild()
        c = self.parent[c + T]
        while True:
            self.freq[c] += 1
            k = self.freq[c]
            if k > self.freq[c + 1]:
                l = c + 1
                while k > self.freq[l + 1]:
                    l += 1
                self.freq[c], self.freq[l] = self.freq[l], k
                i = self.son[c]
                self.parent[i] = l
                if i < T:
                    self.parent[i + 1] = l
                j = self.son[l]
                self.son[l] = i
                self.parent[j] = c
                if j < T:
                    self.parent[j + 1] = c
                self.son[c] = j
                c = l
            c = self.parent[c]
            if c == 0:
                break

    def code(self, c):
        """The path from the root to c's leaf: children are pairs at an even
        node and the odd one after it, so each node's parity is its bit."""
        bits, node = "", self.parent[c + self.T]
        while node != self.T - 1:
            bits = str(node & 1) + bits
            node = self.parent[node]
        return bits


def lh1_encode(data):
    """-lh1-, greedily, as no tool here writes it: literals, and matches of
    3-60 bytes within 4 KiB, their positions' upper 6 bits in LHarc's fixed
    code (1 of 3 bits, 3 of 4, 8 of 5, 12 of 6, 24 of 7, 16 of 8)."""
    tree, out = _Adaptive(), []
    codes, value, symbol = {}, 0, 0
    for length, count in ((3, 1), (4, 3), (5, 8), (6, 12), (7, 24), (8, 16)):
        for _ in range(count):
            codes[symbol] = format(value, f"0{length}b")
            value, symbol = value + 1, symbol + 1
        value <<= 1
    for i, n, p in _greedy(data, 4096, 60):
        c = 253 + n if n else data[i]
        out.append(tree.code(c))
        tree.update(c)
        if n:
            out.append(codes[p >> 6] + format(p & 63, "06b"))
    return _pack("".join(out))


class _Recent:
    """PMarc's byte values by last use: ASCII first, then control codes,
    A0-DF, 80-9F, E0-FF; every byte written moves to the front."""

    def __init__(self):
        self.order = [*range(0x20, 0x80), *range(0x20), *range(0xA0, 0xE0), *range(0x80, 0xA0),
                      *range(0xE0, 0x100)]

    def place(self, c):
        return self.order.index(c)

    def use(self, data):
        for c in data:
            self.order.remove(c)
            self.order.insert(0, c)


def _matches(data, i, last, reach, most):
    """The longest earlier match at i (length, distance) within reach: the
    last place of its first three bytes, or a run of the byte before."""
    best = (0, 0)
    for j in (last.get(data[i:i + 3], -1), i - 1):
        if 0 <= j < i and i - j <= reach:
            n = 0
            while n < most and i + n < len(data) and data[j + n] == data[i + n]:
                n += 1
            best = max(best, (n, i - j))
    return best


def _classify(p, ranges):
    """The class of a value among (base, bits) ranges, and its bits."""
    c = max(k for k, (base, _) in enumerate(ranges) if base <= p)
    base, bits = ranges[c]
    return c, format(p - base, f"0{bits}b") if bits else ""


def pm2_encode(data):
    """-pm2-, greedily: a command code of 29 symbols of 5 bits, offset codes
    of 3 bits per symbol, sent where PMarc sends them; literals and copies
    of 2-256 bytes from up to 8 KiB back (spaces before the start)."""
    literals = [(0, 3), (8, 3), (16, 4), (32, 5), (64, 5), (96, 5), (128, 6), (192, 6)]
    lengths = [(17, 3), (25, 3), (33, 5), (65, 6), (129, 7), (256, 0)]
    # (new-commands flag, commands, offset symbols, offsets whatever the flag, next)
    stages = [(0, 1, 5, 1, 1024), (0, 0, 6, 1, 1024), (0, 0, 7, 1, 2048), (1, 1, 8, 1, 4096),
              (1, 1, 8, 0, 4096)]
    commands = "11101" + "101" + "001" + "1" * 29  # 29 codes, shortest 5, 1 bit each
    out, recent, last = ["0"], _Recent(), {}
    symbols = 0

    def change(stage):
        nonlocal symbols
        flag, new, offsets, always, _ = stages[stage]
        out.append("0" if flag else "")  # the same commands
        if new and not flag:
            out.append(commands)
        if not flag or always:
            out.append("011" * offsets)
            symbols = offsets

    change(0)
    stage, until, i = 0, stages[0][4], 0
    padded = b" " * 8192 + data
    while i < len(data):
        n, dist = _matches(padded, i + 8192, last, 8192, 256)
        limit = 64 << (symbols - 1) if symbols else 64
        if n >= 3 and dist > limit:
            n = 0
        if n == 2 and dist > 64:
            n = 0
        if n == 256 and dist != 1:  # a copy of 256 repeats the last byte
            n = 255
        if n >= 2:
            if n <= 16:
                copy, extra = n - 2, ""
            else:
                k, extra = _classify(n, lengths)
                copy = 15 + k
            out.append(format(8 + copy, "05b") + extra)
            offset = dist - 1
            if copy == 0:
                out.append(format(offset, "06b"))
            elif copy < 20:
                v = 0 if offset < 64 else offset.bit_length() - 6
                out.append(format(v, "03b") + (format(offset, "06b") if v == 0 else
                                               format(offset - (1 << (v + 5)), f"0{v + 5}b")))
        else:
            n = 1
            c, extra = _classify(recent.place(data[i]), literals)
            out.append(format(c, "05b") + extra)
        recent.use(data[i:i + n])
        for k in range(i, i + n):
            last[padded[k + 8192:k + 8195]] = k + 8192
        i += n
        until -= n
        if until <= 0 and i < len(data):
            stage = min(stage + 1, len(stages) - 1)
            change(stage)
            until += stages[stage][4]
    return _pack("".join(out))


def pm1_encode(data):
    """-pm1-, greedily: literal classes by tree 16, (a (b (c (d (e f))))),
    blocks of up to 216 literals each followed by a copy, and copies of
    2-244 bytes from up to 10,816 back, in the ranges the output reaches."""
    literals = [(0, 4), (16, 4), (32, 5), (64, 6), (128, 6), (192, 6)]
    classes = ["0", "10", "110", "1110", "11110", "11111"]
    out, recent, last, i, pending = ["10000"], _Recent(), {}, 0, []

    def length_bits(n, steps):
        """n by (first, bits, escape) steps: a value below escape ends it."""
        code = ""
        for first, bits, escape in steps:
            if n - first < escape:
                return code + format(n - first, f"0{bits}b")
            code += format(escape, f"0{bits}b")
        raise ValueError(n)

    def block_length(n):
        if n >= 89:
            return "11" + "111" + "1111" + format(n - 89, "07b")
        if n >= 25:
            return "11" + "111" + "1110" + format(n - 25, "06b")
        return length_bits(n, [(1, 2, 3), (4, 3, 7), (11, 4, 14)])

    def copy_length(n):
        for first, prefix, bits in ((117, "11111111111", 7), (85, "11111111110", 5),
                                    (23, "11111", 6), (15, "11110", 3), (11, "11101", 2)):
            if n >= first:
                return prefix + format(n - first, f"0{bits}b")
        return format(n - 3, "02b") if n < 6 else "11" + format(n - 6, "03b")

    def copy(n, dist, done):
        d = dist - 1
        if n == 2 and d < 64:
            code, base, bits = "0" + ("0" if done >= 576 else "") + ("0" if done >= 64 else ""), 0, 6
        elif n == 2:
            code, base, bits = "0" + ("0" if done >= 576 else "") + "1", 64, 8
        elif d < 64:
            code, base, bits = "1" + ("1" if done >= 64 else "") + ("1" if done >= 2624 else ""), 0, 6
        elif d < 576:
            code, base, bits = "10", 64, 8 if done < 320 else 9
        elif d < 2624:
            code, base = "01", 576
            bits = next(b for below, b in ((832, 8), (1088, 9), (1600, 10), (1 << 30, 11))
                        if done < below)
        else:
            code, base = "110", 2624
            bits = next(b for below, b in ((2880, 8), (3136, 9), (3648, 10), (4672, 11),
                                           (6720, 12), (1 << 30, 13)) if done < below)
        return code + ("" if n == 2 else copy_length(n)) + format(d - base, f"0{bits}b")

    while i < len(data):
        n, dist = _matches(data, i, last, 10816, 244)
        # A short copy reaches no further than the early code lets it.
        if n == 2 and (dist > 320 or (dist > 64 and i < 64)):
            n = 0
        if n >= 3 and dist > 64 and (i < 64 or (dist > 576 and i < 576) or
                                     (dist > 2624 and i < 2624)):
            n = 0
        if n < 2:
            pending.append(recent.place(data[i]))
            n = 1
            if len(pending) == 216:
                out.append("1" + block_length(216))
                out += [classes[c] + extra for c, extra in (_classify(p, literals) for p in pending)]
                pending = []
        else:
            if pending:
                out.append("1" + block_length(len(pending)))
                out += [classes[c] + extra for c, extra in (_classify(p, literals) for p in pending)]
                pending = []
            else:
                out.append("0")
            out.append(copy(n, dist, i))
        recent.use(data[i:i + n])
        for k in range(i, i + n):
            last[data[k:k + 3]] = k
        i += n
    if pending:
        out.append("1" + block_length(len(pending)))
        out += [classes[c] + extra for c, extra in (_classify(p, literals) for p in pending)]
    return _pack("".join(out))


def _code_lengths(counts, limit):
    """Huffman code lengths for the symbols counted (at most limit bits;
    equal lengths where the optimal code would be longer)."""
    import heapq
    used = [s for s, n in enumerate(counts) if n]
    lengths = [0] * len(counts)
    if len(used) == 1:
        lengths[used[0]] = 1
        return lengths
    heap = [(counts[s], s, [s]) for s in used]
    heapq.heapify(heap)
    while len(heap) > 1:
        a, b = heapq.heappop(heap), heapq.heappop(heap)
        for s in a[2] + b[2]:
            lengths[s] += 1
        heapq.heappush(heap, (a[0] + b[0], min(a[1], b[1]), a[2] + b[2]))
    if max(lengths) > limit:
        flat = max(1, (len(used) - 1).bit_length())
        lengths = [flat if n else 0 for n in counts]
    return lengths


def _canonical(lengths):
    """Code words, as bit strings, in order of length, then of symbol."""
    codes, code = {}, 0
    for length in range(1, 17):
        for s, n in enumerate(lengths):
            if n == length:
                codes[s] = format(code, f"0{length}b")
                code += 1
        code <<= 1
    return codes


# -lh3-'s fixed position code: lengths from 2, rising at these codes.
_LH3_FIXED = [2 + sum(1 for r in (1, 1, 3, 6, 13, 31, 78) if r <= i) for i in range(128)]


def lh3_encode(data, block=3000):
    """-lh3-, greedily, as no tool here writes it: literals and matches of
    3-287 bytes within 8 KiB (symbol 285 an escape with 8 bits more), in
    blocks of `block` symbols; even blocks take the fixed position code, odd
    ones send theirs; a code of one symbol is sent as the mark (three lengths
    of 1) and the symbol."""
    tokens = []
    for i, n, p in _greedy(data, 8192, 287):
        if n:
            c, extra = (253 + n, None) if n <= 31 else (285, n - 32)
            tokens.append((c, extra, p))
        else:
            tokens.append((data[i], None, None))
    out = []
    for number, start in enumerate(range(0, len(tokens), block)):
        part = tokens[start:start + block]
        c_counts, p_counts = [0] * 286, [0] * 128
        for c, _, p in part:
            c_counts[c] += 1
            if p is not None:
                p_counts[p >> 6] += 1
        out.append(format(len(part) % 65536, "016b"))
        c_len = _code_lengths(c_counts, 16)
        if sum(1 for n in c_counts if n) == 1:
            out.append("10000" * 3 + format(c_counts.index(max(c_counts)), "09b"))
            c_codes = {c_counts.index(max(c_counts)): ""}
        else:
            out.append("".join("1" + format(n - 1, "04b") if n else "0" for n in c_len))
            c_codes = _canonical(c_len)
        if number % 2 == 0 or not any(p_counts):
            out.append("0")
            p_codes = _canonical(_LH3_FIXED)
        elif sum(1 for n in p_counts if n) == 1:
            out.append("1" + "0001" * 3 + format(p_counts.index(max(p_counts)), "07b"))
            p_codes = {p_counts.index(max(p_counts)): ""}
        else:
            p_len = _code_lengths(p_counts, 15)
            out.append("1" + "".join(format(n, "04b") for n in p_len))
            p_codes = _canonical(p_len)
        for c, extra, p in part:
            out.append(c_codes[c])
            if extra is not None:
                out.append(format(extra, "08b"))
            if p is not None:
                out.append(p_codes[p >> 6] + format(p & 63, "06b"))
    return _pack("".join(out))


class _Dynamic:
    """-lh2-'s two adaptive codes in one array of nodes, as the method lays
    them out: pairs (child, child - 1), leaves ~symbol, blocks of equal
    counts led by the node nearest the root; the position tree grows."""
    N_CHAR, NC, NODES = 314, 286, 2 * 314 + 256
    ROOT_C, ROOT_P = 0, 2 * 314

    def __init__(self):
        n = self.NODES + 1
        self.freq, self.child, self.parent = [0] * n, [0] * n, [0] * n
        self.block, self.edge, self.stock = [0] * n, [0] * n, list(range(n))
        self.leaf = [0] * (self.N_CHAR + 128)
        j = self.NC * 2 - 2
        for s in range(self.NC):
            self.freq[j], self.child[j], self.leaf[s], self.block[j] = 1, ~s, j, 1
            j -= 1
        self.avail, self.edge[1], i = 2, self.NC - 1, self.NC * 2 - 2
        while j >= 0:
            self.freq[j] = self.freq[i] + self.freq[i - 1]
            self.child[j] = i
            self.parent[i] = self.parent[i - 1] = j
            self.block[j] = self.block[j + 1] if self.freq[j] == self.freq[j + 1] else self._new()
            self.edge[self.block[j]] = j
            i, j = i - 2, j - 1
        r = self.ROOT_P
        self.freq[r], self.child[r], self.leaf[self.N_CHAR] = 1, ~self.N_CHAR, r
        self.block[r] = self._new()
        self.edge[self.block[r]] = r
        self.last_p, self.total_p, self.next_growth = r, 0, 64

    def _new(self):
        b = self.stock[self.avail]
        self.avail += 1
        return b

    def _halve(self, start, end):
        f, c, j = self.freq, self.child, start
        for i in range(start, end):
            if c[i] < 0:
                f[j], c[j] = (f[i] + 1) // 2, c[i]
                j += 1
            if self.edge[self.block[i]] == i:
                self.avail -= 1
                self.stock[self.avail] = self.block[i]
        j, i, pair = j - 1, end - 1, end - 2
        while i >= start:
            while i >= pair:
                f[i], c[i] = f[j], c[j]
                i, j = i - 1, j - 1
            total, k = f[pair] + f[pair + 1], start
            while total < f[k]:
                k += 1
            while j >= k:
                f[i], c[i] = f[j], c[j]
                i, j = i - 1, j - 1
            f[i], c[i] = total, pair + 1
            i, pair = i - 1, pair - 2
        last = None
        for i in range(start, end):
            if c[i] < 0:
                self.leaf[~c[i]] = i
            else:
                self.parent[c[i]] = self.parent[c[i] - 1] = i
            if f[i] == last:
                self.block[i] = b
            else:
                b = self.block[i] = self._new()
                self.edge[b], last = i, f[i]

    def _adopt(self, c, p):
        if c >= 0:
            self.parent[c] = self.parent[c - 1] = p
        else:
            self.leaf[~c] = p

    def _bump(self, p):
        f, b = self.freq, self.block[p]
        q = self.edge[b]
        if q != p or b == self.block[p + 1]:
            if q != p:
                r, s = self.child[p], self.child[q]
                self.child[p], self.child[q] = s, r
                self._adopt(r, q)
                self._adopt(s, p)
                p = q
            self.edge[b] += 1
            f[p] += 1
            if f[p] == f[p - 1]:
                self.block[p] = self.block[p - 1]
            else:
                self.block[p] = self._new()
                self.edge[self.block[p]] = p
        else:
            f[p] += 1
            if f[p] == f[p - 1]:
                self.avail -= 1
                self.stock[self.avail] = b
                self.block[p] = self.block[p - 1]
        return self.parent[p]

    def _code(self, node, root):
        bits = []
        while node != root:
            up = self.parent[node]
            bits.append("1" if self.child[up] != node else "0")
            node = up
        return "".join(reversed(bits))

    def symbol(self, c):
        bits = self._code(self.leaf[c], self.ROOT_C)
        if self.freq[self.ROOT_C] == 0x8000:
            self._halve(self.ROOT_C, self.NC * 2 - 1)
        self.freq[self.ROOT_C] += 1
        q = self.leaf[c]
        while True:
            q = self._bump(q)
            if q == self.ROOT_C:
                return bits

    def _count_position(self, p):
        if self.total_p == 0x8000:
            self._halve(self.ROOT_P, self.last_p + 1)
            self.total_p, self.freq[self.ROOT_P] = self.freq[self.ROOT_P], 0xFFFF
        q = self.leaf[p + self.N_CHAR]
        while q != self.ROOT_P:
            q = self._bump(q)
        self.total_p += 1

    def position(self, p, done):
        while done > self.next_growth:
            g, last = self.next_growth // 64, self.last_p
            r, q = last + 1, last + 2
            self.child[r] = self.child[last]
            self.leaf[~self.child[r]] = r
            self.child[q], self.child[last] = ~(g + self.N_CHAR), q
            self.freq[r], self.freq[q], self.block[r] = self.freq[last], 0, self.block[last]
            if last == self.ROOT_P:
                self.freq[self.ROOT_P] = 0xFFFF
                self.edge[self.block[self.ROOT_P]] += 1
            self.parent[r] = self.parent[q] = last
            self.block[q] = self._new()
            self.edge[self.block[q]] = self.leaf[g + self.N_CHAR] = self.last_p = q
            self._count_position(g)
            self.next_growth += 64
            if self.next_growth >= 64 * 128:
                self.next_growth = float("inf")
        bits = self._code(self.leaf[p + self.N_CHAR], self.ROOT_P)
        self._count_position(p)
        return bits


def lh2_encode(data):
    """-lh2-, greedily, with the tests' own model of its adaptive codes
    (_Dynamic, written from the same reading of the format as the decoder:
    it checks that the two agree on long streams, not the format, whose
    check is UNLHA32's sample): literals, matches of 3-287 bytes within
    8 KiB (symbol 285 an escape with 8 bits more)."""
    tree, out = _Dynamic(), []
    for i, n, p in _greedy(data, 8192, 287):
        if not n:
            out.append(tree.symbol(data[i]))
            continue
        if n <= 31:
            out.append(tree.symbol(253 + n))
        else:
            out.append(tree.symbol(285) + format(n - 32, "08b"))
        out.append(tree.position(p >> 6, i) + format(p & 63, "06b"))
    return _pack("".join(out))

#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <lzma.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <queue>
#include <random>

#include "lzh/crc16.h"
#include "sfx/texts.h"
#include "lzh/decode/decode.h"
#include "lzh/encode/encode.h"
#include "lzh/encode/huffman.h"
#include "lzh/encode/match_finder.h"
#include "lzh/encode/block_writer.h"
#include "lzh/methods.h"
#include "lzh/header.h"
#include "names/winname.h"
#include "sfx/extract.h"
#include "sfx/solid.h"
#include "support.h"
#include "tools/piece_pipeline.h"
#include "tools/mkinstaller.h"


// Every file under dir, by relative path, with its bytes.
static std::map<std::string, std::string> tree(const fs::path &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        files[fs::relative(e.path(), dir).string()] =
            e.is_directory() ? "<dir>" : slurp(e.path().string());
    return files;
}

class Archive : public ScratchTest {
protected:
    // Extracts the archive held in bytes into a fresh folder; returns status.
    // Every archive is also extracted from a solid payload's stream, read
    // as it is decoded, into a folder beside: the same files, the same
    // status, the same words.
    int extract(const std::string &bytes, const fs::path &into)
    {
        fs::path beside = "solid" / into;
        if (fs::exists(into)) {  // what the test put there first
            fs::create_directories(beside);
            fs::copy(into, beside, fs::copy_options::recursive);
        }
        size_t out_before = read_all(out_).size(), err_before = read_all(err_).size();
        FILE *in = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
        LzhInput archive = lzh_file_input(in);
        int status = extract_in(&archive, into, out_, err_);
        fclose(in);

        std::string stream = xz_of(bytes);
        FILE *solid_in = fmemopen(stream.data(), stream.size(), "rb");
        FILE *solid_out = tmpfile(), *solid_err = tmpfile();
        static SolidInput solid;
        solid_open(&solid, solid_in);
        EXPECT_EQ(extract_in(&solid.archive, beside, solid_out, solid_err), status);
        solid_close(&solid);
        EXPECT_EQ(tree(beside), tree(into));
        EXPECT_EQ(read_all(solid_out), read_all(out_).substr(out_before));
        std::string said = read_all(solid_err), expected = read_all(err_).substr(err_before);
        // A stream can't tell ahead that a size passes its end: a stored
        // member whose two sizes differ is damage there, not a cut.
        size_t at = said.find(TEXT_CORRUPT);
        if (at != std::string::npos && expected.find(TEXT_DATA_CUT) != std::string::npos)
            said.replace(at, strlen(TEXT_CORRUPT), TEXT_DATA_CUT);
        EXPECT_EQ(said, expected);
        fclose(solid_in);
        fclose(solid_out);
        fclose(solid_err);
        return status;
    }

private:
    int extract_in(LzhInput *in, const fs::path &into, FILE *out, FILE *err)
    {
        fs::create_directories(into);
        fs::current_path(into);
        fseek(out, 0, SEEK_END);
        fseek(err, 0, SEEK_END);
        int status = extract_archive(in, out, err);
        fs::current_path(dir_);
        return status;
    }

    static std::string xz_of(const std::string &bytes)
    {
        std::string stream(lzma_stream_buffer_bound(bytes.size()), '\0');
        size_t size = 0;
        EXPECT_EQ(lzma_easy_buffer_encode(0, LZMA_CHECK_CRC32, NULL,
                                          reinterpret_cast<const uint8_t *>(bytes.data()),
                                          bytes.size(), reinterpret_cast<uint8_t *>(&stream[0]),
                                          &size, stream.size()),
                  LZMA_OK);
        stream.resize(size);
        return stream;
    }
};

static std::string all_bytes()
{
    std::string s;
    for (int i = 0; i < 256; i++)
        s += char(i);
    return s;
}

static const char *const SAMPLES[] = {"sample-l0-lh5", "sample-l0-lh7", "sample-l1-lh5",
                                      "sample-l1-lh7", "sample-l2-lh5", "sample-l2-lh7"};

TEST_F(Archive, SamplesOfEveryLevelAndMethodGiveTheSameFiles)
{
    std::map<std::string, std::string> first;
    for (const char *name : SAMPLES) {
        std::string bytes = slurp(std::string(SAMPLES_DIR) + "/" + name + ".lzh");
        ASSERT_FALSE(bytes.empty()) << name;
        ASSERT_EQ(extract(bytes, name), 0) << name << ": " << err();
        auto files = tree(name);
        EXPECT_EQ(files.size(), 4u) << name;
        EXPECT_EQ(files["sub/text.txt"].size(), 60625u) << name;
        EXPECT_EQ(files["\x95\x5C\x8E\xA6.bin"].substr(0, 256), all_bytes()) << name;
        if (first.empty())
            first = files;
        EXPECT_EQ(files, first) << name;
    }
    EXPECT_EQ(err(), "");
}

TEST_F(Archive, DamageNeverPassesUnnoticedNorLeavesABadFile)
{
    std::string good = slurp(std::string(SAMPLES_DIR) + "/sample-l1-lh5.lzh");
    ASSERT_EQ(extract(good, "good"), 0);
    const auto expected = tree("good");
    int n = 0;
    auto check = [&](const std::string &bytes, const std::string &what) {
        fs::path into = "run" + std::to_string(n++);
        int status = extract(bytes, into);
        // Whatever was extracted is exactly what the archive held; a member
        // that failed is not there, not even as a temporary file.
        for (const auto &[name, content] : tree(into)) {
            auto want = expected.find(name);
            ASSERT_NE(want, expected.end()) << what << ": stray " << name;
            EXPECT_EQ(content, want->second) << what << ": " << name;
        }
        if (status == 0) {
            EXPECT_EQ(tree(into), expected) << what;
        }
        fs::remove_all(into);
    };
    for (size_t cut = 0; cut < good.size(); cut += cut < 300 ? 1 : 97)
        check(good.substr(0, cut), "cut at " + std::to_string(cut));
    for (size_t at = 0; at < good.size(); at += at < 300 ? 3 : 41) {
        std::string bad = good;
        bad[at] = char(bad[at] ^ 0x5A);
        check(bad, "flip at " + std::to_string(at));
    }
}

TEST_F(Archive, WriterOutputReadsBackWithNamesSizesAndTimes)
{
    fs::create_directories("src");
    std::ofstream("src/a.txt", std::ios::binary) << "hello\r\n\x1a";
    std::ofstream("src/empty", std::ios::binary);
    std::ofstream("src/big", std::ios::binary) << std::string(300000, 'x');
    std::vector<ArchiveEntry> entries;
    auto add = [&](std::vector<std::string> path, const char *source, int64_t mtime) {
        ArchiveEntry e;
        e.path = path;
        e.source = source ? source : "";
        e.is_dir = source == nullptr;
        e.mtime = mtime;
        entries.push_back(e);
    };
    add({"\x83\x66\x81\x5B\x83\x5E"}, nullptr, 0);  // "データ"
    add({"\x83\x66\x81\x5B\x83\x5E", "\x95\x5C.txt"}, "src/a.txt", 1000000000);
    add({"empty"}, "src/empty", 1234567890);
    // Names of every length, so that some header lands on a size with a zero
    // low byte and needs the padding byte.
    for (int len = 1; len <= 40; len++)
        add({"d", std::string(size_t(len), 'n')}, "src/big", 1600000000);

    FILE *f = tmpfile();
    ASSERT_NO_THROW(write_archive(f, entries));
    std::string bytes = read_all(f);
    fclose(f);
    ASSERT_EQ(extract(bytes, "out"), 0) << err();

    EXPECT_EQ(slurp("out/\x83\x66\x81\x5B\x83\x5E/\x95\x5C.txt"), "hello\r\n\x1a");
    EXPECT_EQ(slurp("out/empty"), "");
    EXPECT_EQ(slurp("out/d/" + std::string(40, 'n')), std::string(300000, 'x'));
    struct stat st;
    ASSERT_EQ(stat("out/empty", &st), 0);
    EXPECT_EQ(st.st_mtime, 1234567890);
    EXPECT_EQ(tree("out").size(), 1u + 1u + 1u + 1u + 40u);
    EXPECT_EQ(err(), "");
}

TEST_F(Archive, RefusesEscapingNamesAndWritesNothingOfThem)
{
    fs::create_directories("src");
    std::ofstream("src/x", std::ios::binary) << "payload";
    for (std::vector<std::string> path : std::vector<std::vector<std::string>>{
             {"..", "escaped"}, {"ok", "..", "..", "escaped"}, {"C:escaped"}, {"", "escaped"}}) {
        ArchiveEntry ok, bad;
        ok.path = {"fine"};
        ok.source = bad.source = "src/x";
        bad.path = path;
        FILE *f = tmpfile();
        ASSERT_NO_THROW(write_archive(f, {ok, bad}));
        std::string bytes = read_all(f);
        fclose(f);
        fs::path into = "inst/deep";
        EXPECT_EQ(extract(bytes, into), 1);
        EXPECT_TRUE(fs::exists(into / "fine"));
        EXPECT_EQ(tree("inst").size(), 2u) << "something landed outside";
        EXPECT_FALSE(err().empty());
        fs::remove_all("inst");
    }
}

TEST(Decode, RejectsUnknownMethodsAndStoredSizeMismatch)
{
    EXPECT_EQ(lzh_method_bits("-lh9-"), -1);
    EXPECT_EQ(lzh_method_bits("-pm3-"), -1);
    EXPECT_EQ(lzh_method_bits("-lh2-"), 13);
    EXPECT_EQ(lzh_method_bits("-lh3-"), 13);
    EXPECT_EQ(lzh_method_bits("-pm2-"), 13);
    EXPECT_EQ(lzh_method_bits("-lzs-"), 11);
    EXPECT_EQ(lzh_method_bits("-lh4-"), 12);
    EXPECT_EQ(lzh_method_bits("-lh6-"), 15);
    EXPECT_EQ(lzh_method_bits("-lhx-"), 19);
    FILE *f = tmpfile();
    uint16_t crc;
    LzhInput in = lzh_file_input(f);
    EXPECT_EQ(lzh_decode(&in, 3, 4, lzh_method("-lh0-"), [](void *, const unsigned char *, size_t) { return 0; },
                         nullptr, &crc),
              LZH_CORRUPT);
    fclose(f);
}

// A level 0, stored member, for what only old archives can say.
static std::string level0_member(const std::string &name, const std::string &data, uint32_t dos_time)
{
    std::string h;
    auto put = [&](uint64_t v, int n) {
        for (int i = 0; i < n; i++)
            h += char((v >> (8 * i)) & 0xFF);
    };
    h += "-lh0-";
    put(data.size(), 4);
    put(data.size(), 4);
    put(dos_time, 4);
    put(0x20, 1);  // attribute
    put(0, 1);     // level
    put(name.size(), 1);
    h += name;
    put(crc16_update(0, (const unsigned char *)data.data(), data.size()), 2);
    unsigned sum = 0;
    for (char c : h)
        sum += (unsigned char)c;
    return std::string(1, char(h.size())) + char(sum & 0xFF) + h + data;
}

TEST_F(Archive, InvalidStoredTimesLeaveTheTimeAsWritten)
{
    // 0xFFFFFFFF: month 15, hour 31; 0x00210000: 1 January 1980, a valid time
    // to show that the level 0 time is otherwise used.
    std::string bytes = level0_member("bad", "x", 0xFFFFFFFFu) +
                        level0_member("feb31", "y", (20u << 25 | 2u << 21 | 31u << 16)) +
                        level0_member("good", "z", 0x00210000u) + std::string(1, '\0');
    time_t before = time(nullptr);
    ASSERT_EQ(extract(bytes, "out"), 0) << err();
    struct stat st;
    for (const char *name : {"out/bad", "out/feb31"}) {
        ASSERT_EQ(stat(name, &st), 0);
        EXPECT_GE(st.st_mtime, before - 1) << name;
    }
    ASSERT_EQ(stat("out/good", &st), 0);
    EXPECT_LT(st.st_mtime, 400000000);  // 1980, in any time zone
}

TEST_F(Archive, WideSizesTravelInTheirExtension)
{
    // Read back as written, and a 64-bit size the file cannot hold is
    // damage, not a member of the low 32 bits' size.
    ArchiveEntry e;
    e.path = {"big.bin"};
    const uint64_t packed = 0x100000005ull, original = 0x123456789ull;
    std::string h = level2_header(e, 0, packed, original, 0x1234, true);
    EXPECT_EQ(h.size(), level2_header(e, 0, 0, 0, 0, true).size());
    FILE *f = fmemopen(const_cast<char *>(h.data()), h.size(), "rb");
    LzhMember m;
    LzhInput in = lzh_file_input(f);
    ASSERT_EQ(lzh_read_header(&in, &m, cp932_is_lead_byte), LZH_OK);
    fclose(f);
    EXPECT_EQ(m.packed, packed);
    EXPECT_EQ(m.original, original);
    EXPECT_EQ(extract(h + "12345" + std::string(1, '\0'), "wide"), 1);
    EXPECT_NE(err().find(TEXT_DATA_CUT), std::string::npos) << err();
    EXPECT_FALSE(fs::exists("wide/big.bin"));
}

TEST_F(Archive, SizesTheFileCannotHoldAreDamageNotSeeks)
{
    // A header of 42 bytes whose packed size is 2^32 - 42: a seek by it
    // through a 32-bit long goes back to the header itself, for ever.
    for (const char *method : {"-lhd-", "-lh5-", "-lh0-"}) {
        ArchiveEntry e;
        e.path = {"x"};
        e.is_dir = strcmp(method, "-lhd-") == 0;
        std::string h = level2_header(e, 0, 0, 0, 0);
        memcpy(&h[2], method, 5);
        uint32_t packed = uint32_t(0x100000000ull - h.size());
        for (int i = 0; i < 4; i++)
            h[7 + i] = char((packed >> (8 * i)) & 0xFF);
        // Header CRC again, over the changed bytes.
        size_t crc_at = 27;
        h[crc_at] = h[crc_at + 1] = 0;
        uint16_t c = crc16_update(0, (const unsigned char *)h.data(), h.size());
        h[crc_at] = char(c & 0xFF);
        h[crc_at + 1] = char(c >> 8);
        fs::path into = std::string("run") + method;
        EXPECT_EQ(extract(h + std::string(1, '\0'), into), 1) << method;
        EXPECT_NE(err().find(TEXT_DATA_CUT), std::string::npos) << method << err();
        EXPECT_TRUE(tree(into).empty()) << method;
    }
}

TEST_F(Archive, TemporaryNamesNeverTakeOverAFile)
{
    // A member named like another's temporary file under a fixed scheme, a
    // file already in the folder under such a name, and one under the first
    // name the extractor tries: all are kept as they were.
    fs::create_directories("src");
    std::ofstream("src/a", std::ios::binary) << "first";
    std::ofstream("src/b", std::ios::binary) << "second";
    std::vector<ArchiveEntry> entries(2);
    entries[0].path = {"readme.txt.~sfx"};
    entries[0].source = "src/a";
    entries[1].path = {"readme.txt"};
    entries[1].source = "src/b";
    FILE *f = tmpfile();
    ASSERT_NO_THROW(write_archive(f, entries));
    std::string bytes = read_all(f);
    fclose(f);

    fs::create_directories("out");
    std::ofstream("out/~sfx9e3779b9.tmp", std::ios::binary) << "mine";
    std::ofstream("out/other.tmp", std::ios::binary) << "mine too";
    ASSERT_EQ(extract(bytes, "out"), 0) << err();
    std::map<std::string, std::string> want = {{"readme.txt.~sfx", "first"},
                                               {"readme.txt", "second"},
                                               {"~sfx9e3779b9.tmp", "mine"},
                                               {"other.tmp", "mine too"}};
    EXPECT_EQ(tree("out"), want);
}

TEST(Encode, CodeLengthsStayWithin16BitsAndFormAPrefixCode)
{
    // Fibonacci frequencies make the deepest Huffman trees: unlimited, the
    // rarest of 40 symbols would take 39 bits.
    uint32_t freq[510] = {0};
    uint32_t a = 1, b = 1;
    for (int i = 0; i < 40; i++) {
        freq[i * 7] = a;
        uint32_t c = a + b;
        a = b;
        b = c;
    }
    freq[509] = 1;
    unsigned char len[510];
    EXPECT_EQ(lzh_code_lengths(freq, 510, len), 41);
    uint64_t kraft = 0;
    for (int i = 0; i < 510; i++) {
        EXPECT_LE(len[i], 16) << i;
        EXPECT_EQ(len[i] == 0, freq[i] == 0) << i;
        if (len[i])
            kraft += uint64_t(1) << (16 - len[i]);
    }
    EXPECT_EQ(kraft, uint64_t(1) << 16);
    // The more frequent never gets the longer code.
    for (int i = 0; i < 510; i++)
        for (int j = 0; j < 510; j++)
            if (freq[i] && freq[j] && freq[i] > freq[j]) {
                EXPECT_LE(len[i], len[j]) << i << " " << j;
            }

    uint32_t one[3] = {0, 5, 0};
    EXPECT_EQ(lzh_code_lengths(one, 3, len), 1);
    EXPECT_EQ(len[1], 0);
}

static int append(void *ctx, const unsigned char *p, size_t n)
{
    static_cast<std::string *>(ctx)->append(reinterpret_cast<const char *>(p), n);
    return 0;
}

// The block writer prices a block with the steps that write it: the two
// must agree to the bit, for every shape of table the format has (codes of
// one symbol, runs of zero lengths of every kind, lengths past 6 bits).
TEST(Encode, BlocksArePricedAtTheBitsTheyAreWrittenIn)
{
    struct Shape {
        const char *what;
        std::vector<unsigned> symbols;  // each used with weight growing by `skew`
        std::vector<uint32_t> dists;    // distance - 1, spread over the matches
        double skew;
    };
    std::vector<unsigned> every;
    for (unsigned c = 0; c < 510; c++)
        every.push_back(c);
    const Shape shapes[] = {
        {"one literal", {65}, {}, 1},
        {"one match, one distance", {300}, {4}, 1},
        {"one match, two distances", {300}, {0, 40000}, 1},
        {"every symbol and distance", every, {0, 1, 2, 3, 5, 9, 17, 33, 65, 129, 257, 513, 1025,
                                              2049, 4097, 8193, 16385, 32769, 65535}, 1},
        {"skewed to deep codes", every, {0, 1, 2, 6, 12, 100, 1000, 5000, 30000, 65000}, 1.6},
        // Gaps of 1, 2, 3, 18, 19, 20 and 200 zero lengths between symbols.
        {"runs of unused symbols", {0, 2, 5, 9, 28, 48, 69, 270, 509}, {7}, 1.3},
    };
    for (int bits : {13, 15, 16}) {
        const LzhMethod *m = lzh_method_of_bits(bits);
        LzhPositionCode pc{m->np, m->pbit};
        for (const Shape &shape : shapes) {
            std::vector<uint16_t> sym, dist;
            uint32_t c_freq[LZH_NC] = {0}, p_freq[LZH_NP_MAX] = {0};
            double weight = 1;
            for (unsigned c : shape.symbols) {
                for (int k = 0; k < int(weight) && sym.size() < 60000; k++) {
                    uint32_t d = shape.dists.empty() ? 0
                                 : shape.dists[sym.size() % shape.dists.size()] &
                                       ((1u << bits) - 1);
                    sym.push_back(uint16_t(c));
                    dist.push_back(uint16_t(d));
                    c_freq[c]++;
                    if (c >= 256)
                        p_freq[lzh_position_symbol(d)]++;
                }
                weight = weight * shape.skew + 1;
            }
            std::string out;
            std::vector<unsigned char> buf(4096);
            LzhBitWriter w;
            lzh_bits_init(&w, append, &out, buf.data(), buf.size());
            LzhBlock b{sym.data(), dist.data(), unsigned(sym.size()), c_freq, p_freq};
            lzh_write_block(&w, &b, pc);
            uint64_t written = (w.packed + w.nout) * 8 + unsigned(w.nbits);
            EXPECT_EQ(lzh_block_bits(c_freq, p_freq, pc), written) << shape.what << ", " << bits;
        }
    }
}

// The trees must give, for every length up to the longest match, the
// nearest distance that reaches it, through the buffer's slides and at
// the window's full reach; the chains' longest match must be as long.
TEST(Encode, MatchFinderGivesTheNearestDistanceForEveryLength)
{
    std::mt19937 rnd(7);
    std::vector<unsigned char> data(300000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (unsigned char)(i % 5000 < 100 ? 0 : "abcd"[rnd() % 4]);
    // A stretch repeated exactly a window back, and one a byte farther.
    memcpy(&data[200000], &data[200000 - 65536], 3000);
    memcpy(&data[250000], &data[250000 - 65537], 3000);
    for (int trees : {1, 0}) {
        auto mf = std::make_unique<LzhMatchFinder>();
        uint32_t pos = lzh_mf_start(mf.get(), data.data(), data.size(), 0, 16, trees);
        size_t checked = 0;
        for (size_t at = 0; at < data.size(); at++, pos++) {
            pos = lzh_mf_ahead(mf.get(), pos, LZH_MAX_MATCH + 1);
            bool sampled = at % 89 == 0 || (at >= 200000 && at < 200010) ||
                           (at >= 250000 && at < 250010);
            uint16_t lens[LZH_MAX_MATCH];
            uint32_t dists[LZH_MAX_MATCH];
            int n = 0;
            if (trees)  // every position, as the parser asks
                n = lzh_mf_tree_matches(mf.get(), pos, 1 << 30, LZH_MAX_MATCH, UINT32_MAX, lens,
                                        dists, LZH_MAX_MATCH);
            else
                lzh_mf_insert(mf.get(), pos);
            if (!sampled)
                continue;
            if (!trees)
                n = lzh_mf_matches(mf.get(), pos, 2, 1 << 30, UINT32_MAX, lens, dists,
                                   LZH_MAX_MATCH);
            // The nearest distance reaching each length, by brute force.
            unsigned limit = std::min<size_t>(LZH_MAX_MATCH, data.size() - at);
            std::vector<uint32_t> nearest(limit + 1, 0);
            for (uint32_t d = 1; d <= 65536 && d <= at; d++) {
                unsigned l = 0;
                while (l < limit && data[at - d + l] == data[at + l])
                    l++;
                for (unsigned k = l; k >= 3 && nearest[k] == 0; k--)
                    nearest[k] = d;
            }
            unsigned longest = 0;
            for (unsigned l = 3; l <= limit; l++)
                if (nearest[l])
                    longest = l;
            ASSERT_EQ(n > 0 ? lens[n - 1] : 0u, longest) << trees << " at " << at;
            for (int k = 0, from = 3; k < n; from = lens[k++] + 1)
                for (int l = from; l <= lens[k]; l++)
                    ASSERT_EQ(dists[k], trees ? nearest[l] : nearest[lens[k]])
                        << trees << " at " << at << " length " << l;
            checked++;
        }
        EXPECT_GT(checked, 3000u);
    }
}

// Where the 16-bit limit does not bind (no weight is below 2^-15 of the
// whole), the lengths cost exactly what a textbook Huffman code costs.
TEST(Encode, CodeLengthsAreOptimalWhenTheLimitDoesNotBind)
{
    std::mt19937 rnd(11);
    for (int round = 0; round < 50; round++) {
        int n = 2 + int(rnd() % 509);
        std::vector<uint32_t> freq(n);
        for (auto &f : freq)
            f = rnd() % 3 == 0 ? 0 : round % 2 ? 1 + rnd() % 50 : 1000 + rnd() % 100000;
        freq[0] = freq[0] ? freq[0] : 1;
        freq[n - 1] = freq[n - 1] ? freq[n - 1] : 2;
        std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> q;
        for (uint32_t f : freq)
            if (f)
                q.push(f);
        uint64_t want = 0;
        while (q.size() > 1) {
            uint64_t a = q.top();
            q.pop();
            uint64_t b = q.top();
            q.pop();
            want += a + b;  // every merge adds a bit to each symbol below it
            q.push(a + b);
        }
        std::vector<unsigned char> len(n);
        lzh_code_lengths(freq.data(), n, len.data());
        uint64_t got = 0;
        for (int i = 0; i < n; i++)
            got += uint64_t(freq[i]) * len[i];
        EXPECT_EQ(got, want) << "round " << round;
    }
}

TEST(Encode, PieceCrcsCombineIntoTheWholeOnes)
{
    std::string data;
    for (int i = 0; i < 70000; i++)
        data += char((i * 7919) >> 3);
    auto crc = [&](size_t from, size_t n) {
        return crc16_update(0, reinterpret_cast<const unsigned char *>(data.data()) + from, n);
    };
    for (size_t cut : {size_t(0), size_t(1), size_t(2), size_t(255), size_t(4096), size_t(65537),
                       data.size()})
        EXPECT_EQ(crc16_combine(crc(0, cut), crc(cut, data.size() - cut), data.size() - cut),
                  crc(0, data.size()))
            << cut;
}

// A level 1 header of a stored member "x" whose extensions are `comments`
// comment extensions of `size` bytes each, then its data.
static std::string level1_with_comments(int comments, size_t size, const std::string &data)
{
    std::string exts;
    for (int i = 0; i < comments; i++) {
        exts += char(0x3F);
        exts += std::string(size - 3, 'c');
        size_t next = i + 1 < comments ? size : 0;
        exts += char(next & 0xFF);
        exts += char(next >> 8);
    }
    std::string h(22, '\0');
    memcpy(&h[2], "-lh0-", 5);
    uint32_t packed = uint32_t(exts.size() + data.size()), original = uint32_t(data.size());
    for (int i = 0; i < 4; i++) {
        h[7 + i] = char(packed >> (8 * i));
        h[11 + i] = char(original >> (8 * i));
    }
    h[15] = 0, h[16] = 0, h[17] = 0x21, h[18] = 0x50;  // 2020-01-01
    h[19] = 0x20;
    h[20] = 1;
    h[21] = 1;
    h += 'x';
    uint16_t crc = crc16_update(0, (const unsigned char *)data.data(), data.size());
    h += char(crc & 0xFF);
    h += char(crc >> 8);
    h += 'M';
    h += char(comments ? size & 0xFF : 0);
    h += char(comments ? size >> 8 : 0);
    h[0] = char(h.size() - 2);
    unsigned sum = 0;
    for (size_t i = 2; i < h.size(); i++)
        sum += (unsigned char)h[i];
    h[1] = char(sum);
    return h + exts + data;
}

TEST_F(Archive, HeaderBufferGrowsAsNeededUpToItsCap)
{
    // 120,000 bytes of extensions read; 180,000 are past any real header,
    // and refused without reading them all.
    std::string fits = level1_with_comments(2, 60000, "data") + std::string(1, '\0');
    FILE *f = fmemopen(const_cast<char *>(fits.data()), fits.size(), "rb");
    LzhMember m;
    LzhInput in = lzh_file_input(f);
    ASSERT_EQ(lzh_read_header(&in, &m, cp932_is_lead_byte), LZH_OK);
    EXPECT_EQ(m.packed, 4u);
    EXPECT_STREQ(m.path, "x");
    fclose(f);
    EXPECT_EQ(extract(fits, "fits"), 0) << err();
    EXPECT_EQ(slurp("fits/x"), "data");
    std::string over = level1_with_comments(3, 60000, "data") + std::string(1, '\0');
    f = fmemopen(const_cast<char *>(over.data()), over.size(), "rb");
    in = lzh_file_input(f);
    EXPECT_EQ(lzh_read_header(&in, &m, cp932_is_lead_byte), LZH_MALFORMED);
    fclose(f);
}

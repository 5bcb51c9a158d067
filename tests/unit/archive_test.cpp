#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <map>

#include "lzh/decode.h"
#include "sfx/extract.h"
#include "support.h"
#include "tools/archive_writer.h"

static std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Every file under dir, by relative path, with its bytes.
static std::map<std::string, std::string> tree(const fs::path &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        files[fs::relative(e.path(), dir).string()] =
            e.is_directory() ? "<dir>" : slurp(e.path());
    return files;
}

class Archive : public ScratchTest {
protected:
    // Extracts the archive held in bytes into a fresh folder; returns status.
    int extract(const std::string &bytes, const fs::path &into)
    {
        fs::create_directories(into);
        FILE *in = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
        fs::current_path(into);
        int status = extract_archive(in, out_, err_);
        fs::current_path(dir_);
        fclose(in);
        return status;
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
        std::string bytes = slurp(fs::path(SAMPLES_DIR) / (std::string(name) + ".lzh"));
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
    std::string good = slurp(fs::path(SAMPLES_DIR) / "sample-l1-lh5.lzh");
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
    ASSERT_EQ(write_archive(f, entries), "");
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
        ASSERT_EQ(write_archive(f, {ok, bad}), "");
        std::string bytes = read_all(f);
        fclose(f);
        fs::path into = "inst/deep";
        EXPECT_EQ(extract(bytes, into), 1);
        EXPECT_TRUE(fs::exists(into / "fine"));
        EXPECT_EQ(tree("inst").size(), 2u) << "something landed outside";
        EXPECT_NE(err().find("refused"), std::string::npos);
        fs::remove_all("inst");
    }
}

TEST(Decode, RejectsUnknownMethodsAndStoredSizeMismatch)
{
    EXPECT_EQ(lzh_method_bits("-lh4-"), -1);
    EXPECT_EQ(lzh_method_bits("-lzs-"), -1);
    EXPECT_EQ(lzh_method_bits("-lh6-"), 15);
    FILE *f = tmpfile();
    uint16_t crc;
    EXPECT_EQ(lzh_decode(f, 3, 4, 0, [](void *, const unsigned char *, size_t) { return 0; },
                         nullptr, &crc),
              LZH_CORRUPT);
    fclose(f);
}

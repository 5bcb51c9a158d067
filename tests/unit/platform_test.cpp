// The platform layer, natively and (in the Windows build, under Wine) the
// Windows one: error numbers, lead bytes, the module path, 64-bit offsets.
#include <errno.h>
#include <string.h>

#include <utility>
#include <vector>

#include "names/winname.h"
#include "support.h"
#include "tools/catalog.h"

#ifdef _WIN32
#include <windows.h>
#endif

class Platform : public ScratchTest {};

TEST_F(Platform, FailuresCarryTheErrorNumbersTheUserIsShown)
{
    errno = 0;
    EXPECT_EQ(plat_change_dir("missing"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(plat_make_dir((std::string("missing") + PLAT_SEP + "deeper").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(plat_make_dir("made"), 0);
    EXPECT_EQ(plat_make_dir("made"), -1);
    EXPECT_EQ(errno, EEXIST);
    spit("file", "x");
    EXPECT_EQ(plat_change_dir("file"), -1);
    EXPECT_TRUE(errno == ENOTDIR || errno == ENOENT) << strerror(errno);
    EXPECT_EQ(plat_create_new("file"), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(slurp("file"), "x");
}

TEST_F(Platform, LeadBytesAreCodePage932sWhateverTheSystemsCodePage)
{
    for (int c : {0x81, 0x83, 0x95, 0x9F, 0xE0, 0xFC})
        EXPECT_TRUE(cp932_is_lead_byte((unsigned char)c)) << c;
    for (int c : {0x00, 0x41, 0x5C, 0x7F, 0x80, 0xA0, 0xB1, 0xDF, 0xFD, 0xFF})
        EXPECT_FALSE(cp932_is_lead_byte((unsigned char)c)) << c;
#ifdef _WIN32
    for (int c = 0; c < 256; c++)
        EXPECT_EQ(cp932_is_lead_byte((unsigned char)c), IsDBCSLeadByteEx(932, (BYTE)c) != 0) << c;
#endif
}

TEST_F(Platform, ModulePathNamesThisProgram)
{
    char buf[PATH_BUFFER_SIZE];
    const char *self = plat_module_path(buf, sizeof buf);
    ASSERT_NE(self, nullptr);
    std::string s = self;
    EXPECT_NE(s.find("unit_tests"), std::string::npos) << s;
    FILE *f = fopen(self, "rb");
    EXPECT_NE(f, nullptr) << s;
    if (f)
        fclose(f);
    char tiny[4];
    EXPECT_EQ(plat_module_path(tiny, sizeof tiny), nullptr);  // cut: no path at all
}

TEST_F(Platform, OffsetsPast4GiBSurviveSeekAndTell)
{
    // A sparse file: nothing is written below 5 GiB.
    FILE *f = fopen("big", "w+b");
    ASSERT_NE(f, nullptr);
    const int64_t beyond = (int64_t(5) << 30) + 3;
    ASSERT_EQ(plat_seek(f, beyond, SEEK_SET), 0);
    EXPECT_EQ(plat_tell(f), beyond);
    ASSERT_EQ(fputc('z', f), 'z');
    ASSERT_EQ(fflush(f), 0);
    ASSERT_EQ(plat_seek(f, 0, SEEK_END), 0);
    EXPECT_EQ(plat_tell(f), beyond + 1);
    ASSERT_EQ(plat_seek(f, -1, SEEK_CUR), 0);
    EXPECT_EQ(fgetc(f), 'z');
    fclose(f);
    fs::remove("big");
}

TEST_F(Platform, TemporaryFilesAreNewAndWritesAreWhole)
{
    // Each temporary file is a new one: none takes over another's name.
    std::vector<std::string> names;
    for (int i = 0; i < 50; i++) {
        char name[PATH_BUFFER_SIZE];
        FILE *f = plat_create_temp("keep", name, sizeof name);
        ASSERT_NE(f, nullptr);
        setvbuf(f, NULL, _IONBF, 0);
        std::string bytes(size_t(i) * 4099 + 1, char('a' + i % 26));
        EXPECT_EQ(plat_write(f, bytes.data(), bytes.size()), 0);
        EXPECT_EQ(plat_close_written(f), 0);
        names.push_back(name);
    }
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(slurp(names[i]), std::string(size_t(i) * 4099 + 1, char('a' + i % 26)));

    spit("old", "old");
    ASSERT_EQ(plat_replace_file(names[1].c_str(), "old"), 0);
    EXPECT_EQ(slurp("old"), std::string(4100, 'b'));
    EXPECT_FALSE(fs::exists(names[1]));
    char tiny[8];
    EXPECT_EQ(plat_create_temp("prefix", tiny, sizeof tiny), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(Platform, FileTimesRoundTripToTheSecond)
{
    spit("t", "x");
    for (long long when : {0LL, 1000000000LL, 1234567890LL, 4102444800LL}) {
        ASSERT_EQ(plat_set_mtime("t", when), 0) << when;
        int64_t got = -1;
        ASSERT_EQ(plat_get_mtime("t", &got), 0);
        EXPECT_EQ(got, when);
    }
    int64_t got;
    EXPECT_EQ(plat_get_mtime("missing", &got), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A catalog in the .mo layout: header, originals' table, translations'
// table, then the strings, each ending in a NUL; words in either byte order.
static std::string make_mo(const std::vector<std::pair<std::string, std::string>> &sorted,
                           bool big_endian)
{
    std::string mo;
    auto word = [&](uint32_t w) {
        for (int i = 0; i < 4; i++)
            mo += char(big_endian ? w >> (24 - 8 * i) : w >> (8 * i));
    };
    uint32_t n = uint32_t(sorted.size()), strings = 28 + 16 * n;
    word(0x950412DE), word(0), word(n), word(28), word(28 + 8 * n), word(0), word(0);
    std::string text;
    for (int table = 0; table < 2; table++)
        for (const auto &e : sorted) {
            const std::string &s = table == 0 ? e.first : e.second;
            word(uint32_t(s.size())), word(strings + uint32_t(text.size()));
            text += s + '\0';
        }
    return mo + text;
}

TEST(MessageCatalog, FindsTranslationsAndNothingOutsideADamagedCatalog)
{
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"", "Content-Type: text/plain; charset=UTF-8\n"},
        {std::string("%u file\0%u files", 16), "ファイル %u 個"},
        {"read error", "読み取りエラー"},
        {"write error", "書き込みエラー"}};
    for (bool big_endian : {false, true}) {
        std::string mo = make_mo(entries, big_endian);
        auto find = [&](const std::string &m, const char *id) {
            return catalog_find(reinterpret_cast<const unsigned char *>(m.data()), m.size(), id);
        };
        EXPECT_STREQ(find(mo, "read error"), "読み取りエラー");
        EXPECT_STREQ(find(mo, "write error"), "書き込みエラー");
        EXPECT_STREQ(find(mo, "%u file"), "ファイル %u 個");  // a plural's singular
        EXPECT_EQ(find(mo, "no error"), nullptr);
        EXPECT_EQ(find(mo, "read"), nullptr);
        // Every cut of the catalog, and every byte of its tables broken:
        // found or not, never a read outside it (AddressSanitizer watches).
        auto find_in_copy = [](const std::string &m) {
            std::vector<unsigned char> owned(m.begin(), m.end());  // nothing spare past the end
            const char *t = catalog_find(owned.data(), owned.size(), "write error");
            return t == nullptr ? std::string("(none)") : std::string(t);
        };
        for (size_t cut = 0; cut < mo.size(); cut++)
            EXPECT_EQ(find_in_copy(mo.substr(0, cut)), "(none)") << cut;
        for (size_t at = 8; at < 28 + 16 * entries.size(); at++) {
            std::string broken = mo;
            broken[at] = char(0xFF);
            find_in_copy(broken);
        }
    }
    EXPECT_EQ(catalog_find(nullptr, 0, "read error"), nullptr);
}

// The platform layer, natively and (in the Windows build, under Wine) the
// Windows one: error numbers, lead bytes, the module path, 64-bit offsets.
#include <errno.h>
#include <string.h>

#include "support.h"

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

TEST_F(Platform, LeadBytesAreCodePage932s)
{
    // Natively the rule is fixed; under Wine it is the ANSI code page's,
    // which the tests run with set to 932.
    for (int c : {0x81, 0x83, 0x95, 0x9F, 0xE0, 0xFC})
        EXPECT_TRUE(plat_is_lead_byte((unsigned char)c)) << c;
    for (int c : {0x00, 0x41, 0x5C, 0x7F, 0x80, 0xA0, 0xB1, 0xDF, 0xFD, 0xFF})
        EXPECT_FALSE(plat_is_lead_byte((unsigned char)c)) << c;
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
    const int64_t far = (int64_t(5) << 30) + 3;
    ASSERT_EQ(plat_seek(f, far, SEEK_SET), 0);
    EXPECT_EQ(plat_tell(f), far);
    ASSERT_EQ(fputc('z', f), 'z');
    ASSERT_EQ(fflush(f), 0);
    ASSERT_EQ(plat_seek(f, 0, SEEK_END), 0);
    EXPECT_EQ(plat_tell(f), far + 1);
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

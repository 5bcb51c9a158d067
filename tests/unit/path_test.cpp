#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "lzh/header.h"
#include "sfx/extract.h"

// Code page 932's lead bytes, whatever system the test runs on.
static int sjis_lead(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Archive paths are written here with '|' for the component separator.
static std::string member(std::string s)
{
    for (char &c : s)
        if (c == '|')
            c = LZH_SEP;
    return s;
}

static bool accepted(const std::string &path, std::string *out = nullptr)
{
    char buf[LZH_PATH_MAX];
    int r = safe_relative_path(member(path).c_str(), '/', buf, sizeof buf);
    if (out)
        *out = buf;
    return r == 0;
}

TEST(SafeRelativePath, KeepsOrdinaryRelativeNames)
{
    std::string out;
    EXPECT_TRUE(accepted("grelm.exe", &out));
    EXPECT_EQ(out, "grelm.exe");
    EXPECT_TRUE(accepted("data|sub|x.dat", &out));
    EXPECT_EQ(out, "data/sub/x.dat");
    EXPECT_TRUE(accepted(".|a||b|", &out));
    EXPECT_EQ(out, "a/b");
    EXPECT_TRUE(accepted("..a|b..|.profile|COM10|LPT10|nul1", &out));
    EXPECT_TRUE(accepted("\x95\x5C\x8E\xA6.txt", &out));  // "表示" keeps its 5C byte
    EXPECT_EQ(out, "\x95\x5C\x8E\xA6.txt");
}

TEST(SafeRelativePath, RefusesWhatLeavesTheCurrentDirectory)
{
    for (const char *bad : {"|etc|passwd", "..", "a|..|..|b", "a|..", "...", ". .", ".. ",
                            "C:x", "C:|x", "a|b:stream", "file::$DATA", "CON", "nul.txt",
                            "a|Com1", "lpt9.log", "a\tb", "x\x01", "COM1 .txt", "a|NUL ",
                            "CONOUT$"}) {
        EXPECT_FALSE(accepted(bad)) << bad;
    }
}

TEST(SafeRelativePath, RefusesPathsTooLongForTheBuffer)
{
    char small[8];
    EXPECT_EQ(safe_relative_path("abcdefgh", '/', small, sizeof small), -1);
    EXPECT_EQ(safe_relative_path("abc", '/', small, sizeof small), 0);
}

TEST(AppendName, SplitsOnEverySeparatorButShiftJisTrailBytes)
{
    char path[LZH_PATH_MAX] = "";
    const std::string name = "a\\b/c\xFF\x83\x5C\\\x95\x5C";  // a b c ソ 表
    ASSERT_EQ(lzh_append_name(path, sizeof path, (const unsigned char *)name.data(), name.size(), sjis_lead), 0);
    EXPECT_EQ(std::string(path), member("a|b|c|\x83\x5C|\x95\x5C"));

    // A lead byte with nothing after it, or no trail byte, stays a byte of
    // its own, and a separator after it still separates.
    char lone[LZH_PATH_MAX] = "";
    ASSERT_EQ(lzh_append_name(lone, sizeof lone, (const unsigned char *)"x\x81", 2, sjis_lead), 0);
    EXPECT_EQ(std::string(lone), "x\x81");
    char cut[LZH_PATH_MAX] = "";
    ASSERT_EQ(lzh_append_name(cut, sizeof cut, (const unsigned char *)"\x8B/..\\x\x83\xFFy", 9, sjis_lead), 0);
    EXPECT_EQ(std::string(cut), member("\x8B|..|x\x83|y"));
    EXPECT_FALSE(accepted("\x8B|..|x"));

    char tiny[4] = "";
    EXPECT_EQ(lzh_append_name(tiny, sizeof tiny, (const unsigned char *)"abcdef", 6, sjis_lead), -1);
}

// The install folder's access list: the four entries, protected from the
// drive root's, the installing user's own identifier in the third; a
// buffer too small for it is refused, never cut.
TEST(InstallFolder, AccessListBelongsToTheInstallingUsers)
{
    char out[160];
    ASSERT_EQ(install_folder_sddl("S-1-5-21-1-2-3-1001", out, sizeof out), 0);
    EXPECT_STREQ(out, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"
                      "(A;OICI;0x1200a9;;;BU)");
    size_t whole = strlen(out);
    EXPECT_EQ(install_folder_sddl("S-1-5-21-1-2-3-1001", out, whole), -1);
    EXPECT_EQ(install_folder_sddl("S-1-5-21-1-2-3-1001", out, whole + 1), 0);
}

#include <gtest/gtest.h>

#include <string>

#include "names/winname.h"
#include "platform/platform.h"

static const char *problem(const std::string &name)
{
    return win_name_problem(name.data(), name.size(), plat_is_lead_byte);
}

static std::string fold(const std::string &name)
{
    std::string out(name.size() + 1, '\0');
    out.resize(win_name_fold(name.data(), name.size(), out.data(), plat_is_lead_byte));
    return out;
}

TEST(WindowsNames, RefusesWhatWindowsWouldOpenAsADeviceOrCannotHold)
{
    // Devices with any extension, after Windows drops trailing dots and
    // spaces from the name and trailing spaces from its stem.
    for (const char *bad : {"CON", "con", "nul.txt", "aux.c", "Com1", "lpt9.log", "COM1 .txt",
                            "AUX .txt", "LPT1 .txt", "PRN  ", "NUL ", "CON .txt", "con.",
                            "nul...", "CONIN$", "conout$.log", "COM0", "LPT0.x", "a?b", "a*",
                            "<x>", "a|b", "say\"hi\"", "c:x", "x\x01", "\x1f", "tab\there",
                            ".", "..", "...", ". .", " ", ""}) {
        EXPECT_NE(problem(bad), nullptr) << '"' << bad << '"';
    }
    // 255 characters is the limit, however many bytes they take.
    EXPECT_EQ(problem(std::string(255, 'n')), nullptr);
    EXPECT_NE(problem(std::string(256, 'n')), nullptr);
    std::string kana;
    for (int i = 0; i < 255; i++)
        kana += "\x83\x41";  // full-width "ア"
    EXPECT_EQ(problem(kana), nullptr);
    EXPECT_NE(problem(kana + "x"), nullptr);
}

TEST(WindowsNames, KeepsOrdinaryNamesAndShiftJisTrailBytes)
{
    for (const char *good : {"grelm.exe", "COM10", "LPT", "CONX", "con1", "NULL.txt", "nul_",
                             " CON", ".profile", "a.", "x y", "COMx.txt", "conin",
                             "\x83\x7C",           // "ポ": trail byte 0x7C is '|'
                             "\x95\x5C\x8E\xA6",   // "表示": trail byte 0x5C is '\'
                             "\x83\x5C\x83\x74\x83\x67"}) {  // "ソフト"
        EXPECT_EQ(problem(good), nullptr) << '"' << good << '"';
    }
    // A lead byte that starts no character: Windows would read what follows
    // it differently from us, so such names are refused.
    for (const char *bad : {"a\x83", "\x8B/..", "\x83\x7F", "\x83 ", "\x83."})
        EXPECT_NE(problem(bad), nullptr) << bad;
}

TEST(WindowsNames, FoldsNamesWindowsTakesForOneFile)
{
    const std::pair<std::string, std::string> same[] = {
        {"README.txt", "readme.txt"}, {"notes", "notes."}, {"notes", "NOTES. . "},
        {"\x82\x81.txt", "\x82\x60.TXT"},   // full-width a and A
        {"\x82\x9A", "\x82\x79"},           // full-width z and Z
        {"\x83\xBF", "\x83\x9F"},           // Greek alpha
        {"\x84\x76", "\x84\x46"},           // Cyrillic yo
        {"\x84\x80", "\x84\x4F"},           // Cyrillic o, past the gap at 84 7F
        {"\x84\x91", "\x84\x60"},           // Cyrillic ya
    };
    for (const auto &[a, b] : same)
        EXPECT_EQ(fold(a), fold(b)) << a << " / " << b;

    const std::pair<std::string, std::string> different[] = {
        {"a", "b"}, {"notes", "notes.txt"}, {" notes", "notes"},
        {"\xB1", "\x83\x41"},               // half-width and full-width katakana a
        {"\x95\x5C", "\x95\x7C"},           // 表 is no case of anything
        {"\x82\x60", "A"},                  // full-width A is not ASCII A
    };
    for (const auto &[a, b] : different)
        EXPECT_NE(fold(a), fold(b)) << a << " / " << b;
}

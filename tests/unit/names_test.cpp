#include <gtest/gtest.h>

#include <map>
#include <string>

#include "names/winname.h"
#include "platform/platform.h"

static const char *problem(const std::string &name)
{
    return win_name_problem(name.data(), name.size(), cp932_is_lead_byte);
}

static std::string fold(const std::string &name)
{
    std::string out(name.size() + 1, '\0');
    out.resize(win_name_fold(name.data(), name.size(), out.data(), cp932_is_lead_byte));
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
        {"\x87\x54", "\xFA\x4A"},           // Roman numeral one: NEC and IBM codes
        {"\xEE\xEF", "\x87\x54"},           // small roman one and its upper case
        {"\xFA\x40", "\x87\x54"},           // the same, IBM's code
        {"\x81\xCA", "\xFA\x54"},           // not sign, twice
        {"\x87\x90", "\x81\xE0"},           // approximately equal: NEC row 13 and JIS
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

TEST(WindowsNames, FindsCodesThatAreNoCharacterOfCodePage932)
{
    auto unassigned = [](const std::string &n) {
        return win_name_unassigned(n.data(), n.size(), cp932_is_lead_byte);
    };
    for (const char *bad : {"\x85\x40", "\x86\x40", "\xEB\x40", "\x81\xAD", "\xFC\xFC",
                            "\x80", "\xA0", "\xFD", "\x83"})
        EXPECT_EQ(unassigned(bad), 0) << bad;
    EXPECT_EQ(unassigned("ok\x82\xA0\x85\x40"), 4);
    for (const char *good : {"plain.txt", "\x95\x5C\x8E\xA6", "\xB1", "\x87\x54", "\xFA\x4A",
                             "\xFC\x4B", "\xF0\x40"})
        EXPECT_EQ(unassigned(good), -1) << good;
}

static std::string from_utf16(const std::u16string &u)
{
    std::string out(u.size() * 2 + 1, '\0');
    long n = win_name_from_utf16(reinterpret_cast<const uint16_t *>(u.data()), u.size(), out.data());
    return n < 0 ? "(refused)" : out.substr(0, size_t(n));
}

TEST(WindowsNames, WritesUtf16AsWindowsDoesAndRefusesLookAlikes)
{
    const std::map<std::u16string, std::string> written = {
        {u"plain\\x.txt", "plain\\x.txt"},
        {u"\u8868\u30bd", "\x95\x5C\x83\x5C"},         // 表ソ: trail bytes 0x5C
        {u"\uff71\uff9f", "\xB1\xDF"},                  // half-width katakana
        {u"\u2170\u2160", "\xFA\x40\x87\x54"},         // IBM row over NEC-selected; NEC row 13
        {u"\uffe2\u2235\u2252", "\x81\xCA\x81\xE6\x81\xE0"},  // JIS row over both
        {u"\uff5e\u2225\uff0d", "\x81\x60\x81\x61\x81\x7C"},
        {u"\ue000", "\xF0\x40"},                         // user-defined area
        {u"", ""},
    };
    for (const auto &[u, bytes] : written)
        EXPECT_EQ(from_utf16(u), bytes);
    // Look-alikes iconv maps one way, characters with no code, surrogates,
    // and the single bytes that are no character (0x80, 0xA0, 0xFD-0xFF).
    for (char16_t bad : {u'\u301c', u'\u203e', u'\u2014', u'\u2016', u'\u2212', u'\u00a2',
                         u'\u00a3', u'\u00ac', u'\u00a5', u'\u00e9', u'\u0080', u'\uf8f0',
                         u'\uf8f3', char16_t(0xD800), u'\uffff'})
        EXPECT_EQ(from_utf16(std::u16string(u"ok") + bad), "(refused)") << int(bad);
}

#ifdef _WIN32
#include <windows.h>

// The conversion against the system's own, over every character of the
// basic plane: the same bytes, or refused where the system has no code
// without best fit or writes bytes that are no character.
TEST(WindowsNames, WritingUtf16AgreesWithTheSystemOverTheWholePlane)
{
    int written = 0;
    for (unsigned u = 1; u <= 0xFFFF; u++) {
        wchar_t w = wchar_t(u);
        char sys[8];
        BOOL lost = FALSE;
        int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, &w, 1, sys, sizeof sys, NULL, &lost);
        bool system_has = n > 0 && !lost && win_name_unassigned(sys, size_t(n), cp932_is_lead_byte) < 0;
        std::string ours = from_utf16(std::u16string(1, char16_t(u)));
        ASSERT_EQ(ours, system_has ? std::string(sys, size_t(n)) : "(refused)") << std::hex << u;
        written += system_has;
    }
    EXPECT_GT(written, 9000);
}

// The tables against the system's own: every double-byte code the system
// decodes is a character to us, and two codes fold alike exactly when the
// system's upper cases of their characters are equal.
TEST(WindowsNames, FoldingAgreesWithTheSystemOverAllOfCodePage932)
{
    std::map<wchar_t, std::string> by_upper;
    std::map<std::string, wchar_t> by_fold;
    int checked = 0;
    for (int lead = 0x81; lead <= 0xFC; lead++) {
        for (int trail = 0x40; trail <= 0xFC; trail++) {
            if (!cp932_is_lead_byte((unsigned char)lead) || trail == 0x7F)
                continue;
            char code[2] = {char(lead), char(trail)};
            wchar_t w[2];
            int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, code, 2, w, 2);
            std::string c(code, 2);
            bool ours = win_name_unassigned(code, 2, cp932_is_lead_byte) < 0;
            ASSERT_EQ(ours, n == 1) << std::hex << lead << " " << trail;
            if (n != 1)
                continue;
            wchar_t up;
            ASSERT_EQ(LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, w, 1, &up, 1), 1);
            std::string f = fold(c);
            auto [u, fresh_u] = by_upper.emplace(up, f);
            auto [g, fresh_g] = by_fold.emplace(f, up);
            EXPECT_EQ(u->second, f) << std::hex << lead << " " << trail;
            EXPECT_EQ(g->second, up) << std::hex << lead << " " << trail;
            checked++;
        }
    }
    EXPECT_GT(checked, 9000);
}
#endif

#include <ctype.h>
#include <gtest/gtest.h>
#include <locale.h>

#include <string>

#include "dialogue/dialogue.h"

static std::string trimmed(std::string s)
{
    char buf[REPLY_SIZE];
    snprintf(buf, sizeof buf, "%s", s.c_str());
    trim_reply(buf);
    return buf;
}

TEST(TrimReply, RemovesEveryWhiteSpaceByteAtBothEnds)
{
    for (char c : std::string("\t\n\v\f\r ")) {
        std::string w(1, c);
        EXPECT_EQ(trimmed(w + w + "C:\\x" + w), "C:\\x") << int(c);
    }
    EXPECT_EQ(trimmed("  \t D:\\app dir \r\n"), "D:\\app dir");
    EXPECT_EQ(trimmed(" \t\r\n"), "");
    EXPECT_EQ(trimmed(""), "");
}

TEST(TrimReply, KeepsInnerSpaceQuotesAndOtherBytes)
{
    EXPECT_EQ(trimmed("a  b"), "a  b");
    EXPECT_EQ(trimmed(" \"C:\\Program Files\" \n"), "\"C:\\Program Files\"");
    // Bytes near the white-space range that are not white space.
    EXPECT_EQ(trimmed("\x08x\x0E"), "\x08x\x0E");
    EXPECT_EQ(trimmed("\x1F" "x\x7F"), "\x1F" "x\x7F");
}

TEST(TrimReply, NeverCutsShiftJisCharacters)
{
    // Every byte from 0x80 to 0xFF survives at either end, including the
    // trail bytes 0x85 and 0xA0 that other encodings treat as spaces.
    for (int b = 0x80; b <= 0xFF; b++) {
        std::string s(1, char(b));
        EXPECT_EQ(trimmed(" " + s + "x" + s + "\n"), s + "x" + s) << b;
    }
    // "表" (95 5C) and "ソ" (83 5C) end in a backslash byte; "　" is the
    // full-width space (81 40), which is not one of the six bytes.
    EXPECT_EQ(trimmed(" \x95\x5C\n"), "\x95\x5C");
    EXPECT_EQ(trimmed("\x81\x40x\x83\x5C\x81\x40 "), "\x81\x40x\x83\x5C\x81\x40");
}

TEST(TrimReply, IgnoresTheLocalesIdeaOfWhiteSpace)
{
    // isspace() follows the locale: in code page 1252 the no-break space A0
    // is white space, in others 0x85. Trimming by it would cut Shift_JIS
    // trail bytes, so trimming must not use it.
    std::string spaces;
    for (const char *name : {".1252", "English_United States.1252", "en_US.ISO-8859-1",
                             "en_US.iso88591", "de_DE.ISO-8859-1"}) {
        if (setlocale(LC_CTYPE, name) == nullptr)
            continue;
        for (int b = 0x80; b <= 0xFF; b++)
            if (isspace(b))
                spaces += char(b);
        if (!spaces.empty())
            break;
    }
    if (spaces.empty()) {
        setlocale(LC_CTYPE, "C");
        GTEST_SKIP() << "no locale here where isspace() takes a byte over 0x7F";
    }
    for (char c : spaces) {
        std::string s(1, c);
        EXPECT_EQ(trimmed(s + "x" + s + "\n"), s + "x" + s) << int((unsigned char)c);
    }
    setlocale(LC_CTYPE, "C");
}

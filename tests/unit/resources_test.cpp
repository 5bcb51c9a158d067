// The resources the packer writes into a stub, and reads back for --check:
// trees, version information, icons.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "image/resources.h"

static std::string bytes_le(std::initializer_list<uint32_t> words)  // 32-bit words
{
    std::string s;
    for (uint32_t w : words)
        for (int i = 0; i < 4; i++)
            s += char(w >> (8 * i));
    return s;
}

TEST(ResourceTree, WhatIsWrittenReadsBackSortedWithItsDataAligned)
{
    const uint32_t rva = 0x4b000;
    const std::vector<std::vector<Resource>> cases = {
        {},
        {{24, 1, 1033, std::string(820, 'm')}},
        {{24, 1, 1033, "manifest"}, {3, 2, 1033, "second"}, {3, 1, 1033, std::string(1, '\0')},
         {14, 1, 1033, "group"}, {16, 1, 1033, std::string(868, 'v')}, {3, 1, 1041, ""},
         {16, 7, 0, "odd"}}};
    for (const std::vector<Resource> &resources : cases) {
        std::string tree = write_resource_tree(resources, rva);
        std::string why;
        std::optional<std::vector<Resource>> back = read_resource_tree(tree, rva, &why);
        ASSERT_TRUE(back) << why;
        std::vector<Resource> sorted = resources;
        std::sort(sorted.begin(), sorted.end(), [](const Resource &a, const Resource &b) {
            return std::tie(a.type, a.id, a.lang) < std::tie(b.type, b.id, b.lang);
        });
        ASSERT_EQ(back->size(), sorted.size());
        for (size_t i = 0; i < sorted.size(); i++) {
            EXPECT_EQ(std::tie((*back)[i].type, (*back)[i].id, (*back)[i].lang, (*back)[i].data),
                      std::tie(sorted[i].type, sorted[i].id, sorted[i].lang, sorted[i].data));
        }
        // Written again from what was read: the same bytes, so --check can
        // hold a stub's section to exactly what the packer writes.
        EXPECT_EQ(write_resource_tree(*back, rva), tree);
    }
    // Three resources in two types: 16 + 2*8 (types), 16 + 8 and 16 + 8
    // (IDs), three of 16 + 8 (languages), three data entries, then the
    // data at 8-byte boundaries.
    std::string tree = write_resource_tree({{3, 1, 9, "abc"}, {3, 2, 9, "d"}, {24, 1, 9, "e"}}, 0x1000);
    EXPECT_EQ(tree.size(), 32u + 32 + 24 + 72 + 48 + 8 + 8 + 1);
    EXPECT_EQ(tree.substr(208, 3), "abc");
    EXPECT_EQ(tree.substr(160, 4), bytes_le({0x1000 + 208}));
}

TEST(ResourceTree, MalformedTreesAreRefusedSayingWhy)
{
    const uint32_t rva = 0x2000;
    std::string good = write_resource_tree({{16, 1, 1033, "data"}}, rva);
    auto with = [&](size_t at, const std::string &bytes) {
        std::string s = good;
        s.replace(at, bytes.size(), bytes);
        return s;
    };
    // A directory whose entries all lead to one subdirectory whose entries
    // all lead to one data entry: 10,000 resources in a few bytes.
    const uint32_t fan_out = 100, second = 24 + 16 + 8 * fan_out, data = second + 16 + 8 * fan_out;
    std::string fan = bytes_le({0, 0, 0, 0x00010000}) + bytes_le({1, 0x80000018}) +
                      bytes_le({0, 0, 0, fan_out << 16});
    for (uint32_t i = 0; i < fan_out; i++)
        fan += bytes_le({i, 0x80000000 | second});
    fan += bytes_le({0, 0, 0, fan_out << 16});
    for (uint32_t i = 0; i < fan_out; i++)
        fan += bytes_le({i, data});
    fan += bytes_le({rva, 0, 0, 0});
    std::string twice = write_resource_tree({{3, 1, 9, "a"}, {3, 2, 9, "b"}}, rva);
    twice[48] = 1;  // the second ID made the first's
    const std::pair<std::string, const char *> cases[] = {
        {"", "a directory lies outside the section"},
        {twice, "out of order, or one is there twice"},
        {good.substr(0, 20), "entries lie outside"},
        {with(12, "\1"), "an entry has a name"},
        {with(16, bytes_le({0x80000010})), "an entry has a name"},
        {with(20, bytes_le({0x00000018})), "not three levels deep"},
        {with(20, bytes_le({0x8000FFF0})), "a directory lies outside"},
        {with(72, bytes_le({rva - 1})), "data lies outside"},
        {with(76, bytes_le({0x100})), "data lies outside"},
        {with(68, bytes_le({1000})), "a data entry lies outside"},
        {fan, "too many resources"},
    };
    for (const auto &c : cases) {
        std::string why;
        EXPECT_FALSE(read_resource_tree(c.first, rva, &why)) << c.second;
        EXPECT_NE(why.find(c.second), std::string::npos) << why;
    }
}

TEST(VersionResource, StringsInJapaneseAndEnglishReadBackAsGiven)
{
    struct Case {
        FileProperties given;
        std::vector<std::pair<std::string, std::string>> japanese, english;
    } cases[] = {
        {{"製品", "1.2", "会社 𠮷", "", "© 2026"},
         {{"CompanyName", "会社 𠮷"}, {"FileDescription", "製品 インストーラー"},
          {"FileVersion", "1.2"}, {"LegalCopyright", "© 2026"}, {"ProductName", "製品"},
          {"ProductVersion", "1.2"}},
         {{"CompanyName", "会社 𠮷"}, {"FileDescription", "製品 Installer"},
          {"FileVersion", "1.2"}, {"LegalCopyright", "© 2026"}, {"ProductName", "製品"},
          {"ProductVersion", "1.2"}}},
        {{"", "", "", "", "x"},
         {{"FileDescription", "インストーラー"}, {"LegalCopyright", "x"}},
         {{"FileDescription", "Installer"}, {"LegalCopyright", "x"}}},
        {{"P", "", "", "Setup of P", ""},
         {{"FileDescription", "Setup of P"}, {"ProductName", "P"}},
         {{"FileDescription", "Setup of P"}, {"ProductName", "P"}}},
    };
    for (const Case &c : cases) {
        std::string data = version_resource(c.given);
        EXPECT_EQ(data.size() % 4, 0u);
        EXPECT_EQ(uint8_t(data[0]) | uint8_t(data[1]) << 8, int(data.size()));
        std::string why;
        std::optional<std::vector<VersionTable>> tables = read_version_resource(data, &why);
        ASSERT_TRUE(tables) << why;
        ASSERT_EQ(tables->size(), 2u);
        EXPECT_EQ((*tables)[0].key, "041104B0");
        EXPECT_EQ((*tables)[0].strings, c.japanese);
        EXPECT_EQ((*tables)[1].key, "040904B0");
        EXPECT_EQ((*tables)[1].strings, c.english);
        // Cut anywhere, or with a length past its end, it is refused, never
        // read past.
        for (size_t n = 0; n < data.size(); n += 2)
            read_version_resource(data.substr(0, n), &why);
        std::string longer = data;
        longer[0] = char(0xFF);
        EXPECT_FALSE(read_version_resource(longer, &why));
    }
}

TEST(VersionResource, VersionNumbers)
{
    const std::pair<const char *, std::vector<uint16_t>> good[] = {
        {"1", {1, 0, 0, 0}}, {"2.1", {2, 1, 0, 0}}, {"1.2.3.4", {1, 2, 3, 4}},
        {"65535.0.00.7", {65535, 0, 0, 7}}};
    for (const auto &g : good)
        EXPECT_EQ(version_numbers(g.first), g.second) << g.first;
    for (const char *bad : {"", "1.", ".1", "1..2", "65536", "1.2.3.4.5", "v1", "+1", "1 .2",
                            "-1", "123456"})
        EXPECT_FALSE(version_numbers(bad)) << bad;
}

static std::string ico(const std::vector<std::pair<std::string, uint8_t>> &images)
{
    std::string head{'\0', '\0', '\1', '\0', char(images.size()), '\0'};
    std::string body;
    size_t at = 6 + 16 * images.size();
    for (const auto &[data, size] : images) {
        head += std::string{char(size), char(size), '\0', '\0', '\1', '\0', ' ', '\0'};
        head += bytes_le({uint32_t(data.size()), uint32_t(at + body.size())});
        body += data;
    }
    return head + body;
}

TEST(Icons, ImagesOfAnIcoFileBecomeAGroupAndItsImages)
{
    std::string dib = bytes_le({40, 16, 32}) + std::string{'\1', '\0', 32, '\0'} + std::string(60, 'x');
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + "rest of a PNG";
    std::string why;
    std::optional<std::vector<IconImage>> images = read_ico(ico({{dib, 16}, {png, 0}}), &why);
    ASSERT_TRUE(images) << why;
    ASSERT_EQ(images->size(), 2u);
    EXPECT_EQ((*images)[0].data, dib);
    EXPECT_EQ((*images)[1].data, png);
    EXPECT_EQ(icon_image_name((*images)[0]), "16x16 32-bit");
    EXPECT_EQ(icon_image_name((*images)[1]), "256x256 PNG");
    std::string group = icon_group(*images, 5);
    EXPECT_EQ(group.size(), 6u + 2 * 14);
    std::optional<std::vector<GroupEntry>> entries = read_icon_group(group, &why);
    ASSERT_TRUE(entries) << why;
    EXPECT_EQ(std::make_tuple((*entries)[0].id, (*entries)[0].bytes, (*entries)[1].id,
                              (*entries)[1].bytes, (*entries)[1].image.width),
              std::make_tuple(5, uint32_t(dib.size()), 6, uint32_t(png.size()), 0));
    EXPECT_FALSE(read_icon_group(group + "x", &why));
    EXPECT_FALSE(read_icon_group(group.substr(0, 20), &why));

    std::string cursor = ico({{dib, 16}});
    cursor[2] = 2;
    std::string outside = ico({{dib, 16}});
    outside[18] = char(0x70);  // the offset
    const std::pair<std::string, const char *> bad[] = {
        {"", "not an icon file"}, {cursor, "not an icon file"},
        {std::string("\0\0\1\0\0\0", 6), "empty or cut short"},
        {ico({{dib, 16}}).substr(0, 20), "empty or cut short"},
        {outside, "outside the file"},
        {ico({{std::string(60, 'x'), 16}}), "neither a bitmap nor a PNG"},
        {ico({{"abc", 16}}), "outside the file"}};
    for (const auto &b : bad) {
        EXPECT_FALSE(read_ico(b.first, &why)) << b.second;
        EXPECT_NE(why.find(b.second), std::string::npos) << why;
    }
}

TEST(Utf, EveryCharacterBothWaysAndNothingElse)
{
    const std::string text = "a\xC3\xA9\xE3\x82\xA2\xF0\xA0\xAE\xB7\x7F";  // aéア𠮷
    std::optional<std::u16string> wide = utf16_from_utf8(text);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, u"a\u00E9\u30A2\U00020BB7\u007F");
    EXPECT_EQ(utf8_from_utf16(*wide), text);
    for (const char *bad : {"\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xE3\x82", "\xF4\x90\x80\x80",
                            "\xF8\x88\x80\x80\x80", "\x80", "\xC3\x28"})
        EXPECT_FALSE(utf16_from_utf8(bad)) << bad;
    EXPECT_FALSE(utf8_from_utf16(std::u16string(1, char16_t(0xD800))));
    EXPECT_FALSE(utf8_from_utf16(std::u16string(1, char16_t(0xDC00)) + u"a"));
}

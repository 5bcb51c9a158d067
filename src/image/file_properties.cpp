// Version information and icons, as resources (resources.h).
#include <stdio.h>
#include <stdlib.h>

#include "bytes/le_string.h"
#include "resources.h"

static void pad4(std::string &out)
{
    out.append((4 - out.size() % 4) % 4, '\0');
}

static std::string utf16_bytes(const std::u16string &s)
{
    std::string out;
    for (char16_t c : s)
        append_le16(out, c);
    append_le16(out, 0);
    return out;
}

std::optional<std::vector<uint16_t>> version_numbers(const std::string &text)
{
    std::vector<uint16_t> n;
    size_t at = 0;
    for (;;) {
        size_t end = text.find('.', at);
        std::string part = text.substr(at, end == std::string::npos ? end : end - at);
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != part.npos ||
            atol(part.c_str()) > 0xFFFF || n.size() == 4)
            return std::nullopt;
        n.push_back(uint16_t(atol(part.c_str())));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    n.resize(4, 0);
    return n;
}

// The version resource's blocks (VS_VERSIONINFO, StringFileInfo,
// StringTable, String, VarFileInfo, Var) share one shape: wLength (the
// block's bytes, without padding after its end), wValueLength, wType (1:
// text, 0: binary), a NUL-terminated UTF-16 key, padding to 4 bytes, the
// value, then the children, each starting 4-byte aligned.
enum {
    VERSION_TEXT = 1,
    VERSION_BINARY = 0,
    FIXED_INFO_SIZE = 52,
    FIXED_SIGNATURE = 0xFEEF04BD,
    FIXED_STRUCT_VERSION = 0x00010000,
    FIXED_FLAGS_MASK = 0x3F,
    FIXED_OS_NT_WINDOWS32 = 0x00040004,
    FIXED_TYPE_APP = 1,
    CODE_PAGE_UNICODE = 1200,
    BLOCK_HEADER = 6,
};

static std::string block(const char *key, uint32_t type, const std::string &value,
                         uint32_t value_length, const std::vector<std::string> &children)
{
    std::string out(BLOCK_HEADER, '\0');
    std::u16string k;
    for (const char *p = key; *p; p++)
        k += char16_t(*p);
    out += utf16_bytes(k);
    pad4(out);
    out += value;
    for (const std::string &c : children) {
        pad4(out);
        out += c;
    }
    unsigned char *h = reinterpret_cast<unsigned char *>(out.data());
    put_le16(h, uint32_t(out.size()));
    put_le16(h + 2, value_length);
    put_le16(h + 4, type);
    return out;
}

// A table's language (a LANGID) and the installer's default description in it.
static const struct {
    uint16_t lang;
    const char *described;   // "%s" is the product
    const char *undescribed; // no product named
} VERSION_LANGUAGES[] = {
    {0x0411, "%s \xE3\x82\xA4\xE3\x83\xB3\xE3\x82\xB9\xE3\x83\x88\xE3\x83\xBC\xE3\x83\xA9\xE3\x83\xBC",
     "\xE3\x82\xA4\xE3\x83\xB3\xE3\x82\xB9\xE3\x83\x88\xE3\x83\xBC\xE3\x83\xA9\xE3\x83\xBC"},  // インストーラー
    {0x0409, "%s Installer", "Installer"},
};

static std::string string_block(const char *name, const std::string &utf8)
{
    std::u16string v = utf16_from_utf8(utf8).value_or(u"?");
    return block(name, VERSION_TEXT, utf16_bytes(v), uint32_t(v.size() + 1), {});
}

std::string version_resource(const FileProperties &p)
{
    std::vector<uint16_t> v = version_numbers(p.version).value_or(std::vector<uint16_t>(4, 0));
    std::string fixed;
    for (uint32_t field : {uint32_t(FIXED_SIGNATURE), uint32_t(FIXED_STRUCT_VERSION),
                           uint32_t(v[0]) << 16 | v[1], uint32_t(v[2]) << 16 | v[3],
                           uint32_t(v[0]) << 16 | v[1], uint32_t(v[2]) << 16 | v[3],
                           uint32_t(FIXED_FLAGS_MASK), 0u, uint32_t(FIXED_OS_NT_WINDOWS32),
                           uint32_t(FIXED_TYPE_APP), 0u, 0u, 0u})
        append_le32(fixed, field);

    std::vector<std::string> tables;
    std::string translations;
    for (const auto &language : VERSION_LANGUAGES) {
        std::string description = p.description;
        if (description.empty()) {
            description = p.product.empty() ? language.undescribed : language.described;
            size_t at = description.find("%s");
            if (at != std::string::npos)
                description.replace(at, 2, p.product);
        }
        // In the order of their names, as resource compilers write them.
        const std::pair<const char *, const std::string *> strings[] = {
            {"CompanyName", &p.company},    {"FileDescription", &description},
            {"FileVersion", &p.version},    {"LegalCopyright", &p.copyright},
            {"ProductName", &p.product},    {"ProductVersion", &p.version}};
        std::vector<std::string> children;
        for (const auto &s : strings)
            if (!s.second->empty())
                children.push_back(string_block(s.first, *s.second));
        char key[9];
        snprintf(key, sizeof key, "%04X%04X", language.lang, unsigned(CODE_PAGE_UNICODE));
        tables.push_back(block(key, VERSION_TEXT, "", 0, children));
        append_le16(translations, language.lang);
        append_le16(translations, CODE_PAGE_UNICODE);
    }
    std::string strings = block("StringFileInfo", VERSION_TEXT, "", 0, tables);
    std::string var = block("Translation", VERSION_BINARY, translations,
                            uint32_t(translations.size()), {});
    std::string vars = block("VarFileInfo", VERSION_TEXT, "", 0, {var});
    return block("VS_VERSION_INFO", VERSION_BINARY, fixed, FIXED_INFO_SIZE, {strings, vars});
}

namespace {
// One block read back: its key, value and children's extent.
struct Block {
    std::string key;
    uint32_t type, value_length;
    size_t value_at, children_at, end;
};

std::optional<Block> read_block(const std::string &d, size_t at, size_t limit, std::string *why)
{
    if (limit - at < BLOCK_HEADER || at % 4 != 0) {
        *why = "a block is cut short";
        return std::nullopt;
    }
    Block b;
    size_t length = le16_at(d, at);
    b.value_length = le16_at(d, at + 2);
    b.type = le16_at(d, at + 4);
    if (length < BLOCK_HEADER || length > limit - at) {
        *why = "a block's length runs past its parent";
        return std::nullopt;
    }
    b.end = at + length;
    std::u16string key;
    size_t p = at + BLOCK_HEADER;
    for (;; p += 2) {
        if (b.end - p < 2) {
            *why = "a block's key is not terminated";
            return std::nullopt;
        }
        char16_t c = char16_t(le16_at(d, p));
        if (c == 0)
            break;
        key += c;
    }
    b.key = utf8_from_utf16(key).value_or("?");
    b.value_at = (p + 2 + 3) / 4 * 4;
    // A text value's length counts characters, a binary one's bytes.
    size_t value_bytes = b.type == VERSION_TEXT ? 2 * size_t(b.value_length) : b.value_length;
    if (b.value_at > b.end || value_bytes > b.end - b.value_at) {
        *why = "a block's value runs past its end";
        return std::nullopt;
    }
    b.children_at = (b.value_at + value_bytes + 3) / 4 * 4;
    return b;
}

// The children of b, each read with read_block.
std::optional<std::vector<Block>> children(const std::string &d, const Block &b, std::string *why)
{
    std::vector<Block> out;
    for (size_t at = b.children_at; at < b.end; at = (at + 3) / 4 * 4) {
        std::optional<Block> c = read_block(d, at, b.end, why);
        if (!c)
            return std::nullopt;
        out.push_back(*c);
        at = c->end;
    }
    return out;
}
}  // namespace

std::optional<std::vector<VersionTable>> read_version_resource(const std::string &data,
                                                               std::string *why)
{
    std::optional<Block> root = read_block(data, 0, data.size(), why);
    if (!root)
        return std::nullopt;
    if (root->key != "VS_VERSION_INFO" || root->value_length != FIXED_INFO_SIZE ||
        le32_at(data, root->value_at) != FIXED_SIGNATURE) {
        *why = "no VS_VERSION_INFO with its fixed part";
        return std::nullopt;
    }
    std::optional<std::vector<Block>> top = children(data, *root, why);
    if (!top)
        return std::nullopt;
    std::vector<VersionTable> tables;
    for (const Block &info : *top) {
        if (info.key != "StringFileInfo")
            continue;
        std::optional<std::vector<Block>> ts = children(data, info, why);
        if (!ts)
            return std::nullopt;
        for (const Block &t : *ts) {
            std::optional<std::vector<Block>> ss = children(data, t, why);
            if (!ss)
                return std::nullopt;
            VersionTable table{t.key, {}};
            for (const Block &s : *ss) {
                std::u16string value;
                for (uint32_t i = 0; i < s.value_length; i++) {
                    char16_t c = char16_t(le16_at(data, s.value_at + 2 * i));
                    if (c == 0)
                        break;
                    value += c;
                }
                table.strings.push_back({s.key, utf8_from_utf16(value).value_or("?")});
            }
            tables.push_back(table);
        }
    }
    return tables;
}

// An .ico file: ICONDIR (reserved 0, type 1, count), then an ICONDIRENTRY
// of 16 bytes per image (width, height, colours, reserved, planes, bits per
// pixel, the image's size and its offset in the file). RT_GROUP_ICON holds
// the same directory with entries of 14 bytes, a resource ID in place of
// the offset.
enum {
    ICO_HEADER = 6,
    ICO_TYPE_ICON = 1,
    ICO_ENTRY = 16,
    GROUP_ENTRY = 14,
    DIB_HEADER_SIZE = 40,  // BITMAPINFOHEADER's biSize
    DIB_AT_BITS = 14,      // biBitCount
    ICO_IMAGES_MAX = 255,
};

std::optional<std::vector<IconImage>> read_ico(const std::string &file, std::string *why)
{
    if (file.size() < ICO_HEADER || le16_at(file, 0) != 0 || le16_at(file, 2) != ICO_TYPE_ICON) {
        *why = "not an icon file (.ico)";
        return std::nullopt;
    }
    size_t count = le16_at(file, 4);
    if (count == 0 || count > ICO_IMAGES_MAX || file.size() < ICO_HEADER + count * ICO_ENTRY) {
        *why = "its directory of images is empty or cut short";
        return std::nullopt;
    }
    std::vector<IconImage> images;
    for (size_t i = 0; i < count; i++) {
        size_t e = ICO_HEADER + i * ICO_ENTRY;
        uint32_t size = le32_at(file, e + 8), offset = le32_at(file, e + 12);
        if (offset > file.size() || size > file.size() - offset || size < 8) {
            *why = "an image lies outside the file";
            return std::nullopt;
        }
        IconImage image{uint8_t(file[e]), uint8_t(file[e + 1]), uint8_t(file[e + 2]),
                        uint16_t(le16_at(file, e + 4)), uint16_t(le16_at(file, e + 6)),
                        file.substr(offset, size)};
        if (!image.png() && (size < DIB_HEADER_SIZE || le32_at(image.data, 0) != DIB_HEADER_SIZE)) {
            *why = "an image is neither a bitmap nor a PNG file";
            return std::nullopt;
        }
        images.push_back(image);
    }
    return images;
}

std::string icon_group(const std::vector<IconImage> &images, uint16_t first_id)
{
    std::string out;
    append_le16(out, 0);
    append_le16(out, ICO_TYPE_ICON);
    append_le16(out, uint32_t(images.size()));
    for (size_t i = 0; i < images.size(); i++) {
        const IconImage &m = images[i];
        out += char(m.width);
        out += char(m.height);
        out += char(m.colors);
        out += '\0';
        append_le16(out, m.planes);
        append_le16(out, m.bits);
        append_le32(out, uint32_t(m.data.size()));
        append_le16(out, uint32_t(first_id + i));
    }
    return out;
}

std::optional<std::vector<GroupEntry>> read_icon_group(const std::string &data, std::string *why)
{
    if (data.size() < ICO_HEADER || le16_at(data, 0) != 0 || le16_at(data, 2) != ICO_TYPE_ICON ||
        le16_at(data, 4) == 0 || data.size() != ICO_HEADER + le16_at(data, 4) * size_t(GROUP_ENTRY)) {
        *why = "the icon group's directory is not well formed";
        return std::nullopt;
    }
    std::vector<GroupEntry> out;
    for (size_t i = 0; i < le16_at(data, 4); i++) {
        size_t e = ICO_HEADER + i * GROUP_ENTRY;
        out.push_back({{uint8_t(data[e]), uint8_t(data[e + 1]), uint8_t(data[e + 2]),
                        uint16_t(le16_at(data, e + 4)), uint16_t(le16_at(data, e + 6)), ""},
                       le32_at(data, e + 8), uint16_t(le16_at(data, e + 12))});
    }
    return out;
}

std::string icon_image_name(const IconImage &m)
{
    unsigned w = m.width ? m.width : 256, h = m.height ? m.height : 256;
    unsigned bits = m.data.size() >= DIB_HEADER_SIZE && !m.png() ? le16_at(m.data, DIB_AT_BITS) : m.bits;
    char name[48];
    if (m.png())
        snprintf(name, sizeof name, "%ux%u PNG", w, h);
    else
        snprintf(name, sizeof name, "%ux%u %u-bit", w, h, bits);
    return name;
}

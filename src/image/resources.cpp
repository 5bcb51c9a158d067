#include "resources.h"

#include <algorithm>
#include <tuple>

#include "bytes/le_string.h"

// The PE format's resource tree: directories of 16 bytes (characteristics,
// time stamp, major and minor version, then the counts of named and of
// numbered entries) followed by their entries of 8 bytes (the name or ID,
// then an offset from the tree's start, its high bit set for a
// subdirectory); data entries of 16 bytes (the data's RVA, its size, a code
// page, a reserved word).
enum {
    DIR_HEADER = 16,
    DIR_AT_NAMED = 12,
    DIR_AT_IDS = 14,
    DIR_ENTRY = 8,
    DATA_ENTRY = 16,
    SUBDIR_BIT_SHIFT = 31,
    DATA_ALIGN = 8,
    TREE_LEVELS = 3,           // type, ID, language
    RESOURCES_MAX = 4096,      // a bound on what is read
};
static const uint32_t HIGH_BIT = 1u << SUBDIR_BIT_SHIFT;

static void pad_to(std::string &out, size_t align)
{
    out.append((align - out.size() % align) % align, '\0');
}

std::string write_resource_tree(std::vector<Resource> resources, uint32_t rva)
{
    std::sort(resources.begin(), resources.end(), [](const Resource &a, const Resource &b) {
        return std::tie(a.type, a.id, a.lang) < std::tie(b.type, b.id, b.lang);
    });
    // The directories, level by level: each a run of resources sharing the
    // keys of the levels above it.
    struct Dir {
        size_t first, count;  // resources
    };
    auto key = [&](size_t i, int level) {
        const Resource &r = resources[i];
        return level == 0 ? r.type : level == 1 ? r.id : r.lang;
    };
    auto same_above = [&](size_t i, size_t j, int level) {
        for (int l = 0; l < level; l++)
            if (key(i, l) != key(j, l))
                return false;
        return true;
    };
    std::vector<std::vector<Dir>> levels(TREE_LEVELS);
    levels[0].push_back({0, resources.size()});
    for (int level = 1; level < TREE_LEVELS; level++)
        for (size_t i = 0; i < resources.size(); i++)
            if (i == 0 || !same_above(i, i - 1, level))
                levels[level].push_back({i, 1});
            else
                levels[level].back().count++;
    // Entries of a directory: one per distinct key at its level.
    auto entries = [&](const Dir &d, int level) {
        std::vector<size_t> firsts;
        for (size_t i = d.first; i < d.first + d.count; i++)
            if (i == d.first || key(i, level) != key(i - 1, level))
                firsts.push_back(i);
        return firsts;
    };
    std::vector<std::vector<uint32_t>> dir_at(TREE_LEVELS);
    uint32_t size = 0;
    for (int level = 0; level < TREE_LEVELS; level++)
        for (const Dir &d : levels[level]) {
            dir_at[level].push_back(size);
            size += DIR_HEADER + DIR_ENTRY * uint32_t(entries(d, level).size());
        }
    const uint32_t data_entries_at = size;
    std::string out;
    for (int level = 0; level < TREE_LEVELS; level++) {
        for (const Dir &d : levels[level]) {
            std::vector<size_t> firsts = entries(d, level);
            append_le32(out, 0);
            append_le32(out, 0);
            append_le32(out, 0);
            append_le16(out, 0);
            append_le16(out, uint32_t(firsts.size()));
            for (size_t i : firsts) {
                append_le32(out, key(i, level));
                if (level + 1 < TREE_LEVELS) {
                    // The subdirectory whose run starts at resource i.
                    size_t sub = 0;
                    while (levels[level + 1][sub].first != i)
                        sub++;
                    append_le32(out, HIGH_BIT | dir_at[level + 1][sub]);
                } else {
                    append_le32(out, data_entries_at + DATA_ENTRY * uint32_t(i));
                }
            }
        }
    }
    uint32_t data_at = data_entries_at + DATA_ENTRY * uint32_t(resources.size());
    for (const Resource &r : resources) {
        data_at = (data_at + DATA_ALIGN - 1) / DATA_ALIGN * DATA_ALIGN;
        append_le32(out, rva + data_at);
        append_le32(out, uint32_t(r.data.size()));
        append_le32(out, 0);
        append_le32(out, 0);
        data_at += uint32_t(r.data.size());
    }
    for (const Resource &r : resources) {
        pad_to(out, DATA_ALIGN);
        out += r.data;
    }
    return out;
}

namespace {
struct TreeReader {
    const std::string &section;
    uint32_t rva;
    std::vector<Resource> found;
    std::string why;

    bool fail(const std::string &what)
    {
        why = what;
        return false;
    }

    bool directory(uint32_t at, int level, uint16_t keys[TREE_LEVELS])
    {
        if (section.size() < DIR_HEADER || at > section.size() - DIR_HEADER)
            return fail("a directory lies outside the section");
        if (le16_at(section, at + DIR_AT_NAMED) != 0)
            return fail("an entry has a name, not a number");
        uint32_t count = le16_at(section, at + DIR_AT_IDS);
        if (count > (section.size() - at - DIR_HEADER) / DIR_ENTRY)
            return fail("a directory's entries lie outside the section");
        for (uint32_t i = 0; i < count; i++) {
            uint32_t e = at + DIR_HEADER + i * DIR_ENTRY;
            uint32_t id = le32_at(section, e), offset = le32_at(section, e + 4);
            if (id > 0xFFFF)
                return fail("an entry has a name, not a number");
            // Windows looks entries up by a binary search.
            if (i > 0 && id <= le32_at(section, e - DIR_ENTRY))
                return fail("a directory's entries are out of order, or one is there twice");
            keys[level] = uint16_t(id);
            bool sub = (offset & HIGH_BIT) != 0;
            if (sub != (level + 1 < TREE_LEVELS))
                return fail("the tree is not three levels deep (type, ID, language)");
            if (sub ? !directory(offset & ~HIGH_BIT, level + 1, keys) : !data(offset, keys))
                return false;
        }
        return true;
    }

    bool data(uint32_t at, const uint16_t keys[TREE_LEVELS])
    {
        if (found.size() >= RESOURCES_MAX)
            return fail("too many resources");
        if (section.size() < DATA_ENTRY || at > section.size() - DATA_ENTRY)
            return fail("a data entry lies outside the section");
        uint32_t data_rva = le32_at(section, at), size = le32_at(section, at + 4);
        if (data_rva < rva || data_rva - rva > section.size() ||
            size > section.size() - (data_rva - rva))
            return fail("a resource's data lies outside the section");
        found.push_back({keys[0], keys[1], keys[2], section.substr(data_rva - rva, size)});
        return true;
    }
};
}  // namespace

std::optional<std::vector<Resource>> read_resource_tree(const std::string &section, uint32_t rva,
                                                        std::string *why)
{
    TreeReader r{section, rva, {}, {}};
    uint16_t keys[TREE_LEVELS] = {};
    if (!r.directory(0, 0, keys)) {
        *why = r.why;
        return std::nullopt;
    }
    return r.found;
}

std::optional<std::u16string> utf16_from_utf8(const std::string &s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2
                  : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || s.size() - i <= size_t(extra))
            return std::nullopt;
        uint32_t u = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; k++) {
            unsigned char t = (unsigned char)s[i + k];
            if ((t & 0xC0) != 0x80)
                return std::nullopt;
            u = u << 6 | (t & 0x3F);
        }
        // The shortest form only, and no surrogates: UTF-8's own rules.
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (u < least[extra] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF))
            return std::nullopt;
        if (u >= 0x10000) {
            out += char16_t(0xD800 + ((u - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((u - 0x10000) & 0x3FF));
        } else {
            out += char16_t(u);
        }
        i += size_t(extra) + 1;
    }
    return out;
}

std::optional<std::string> utf8_from_utf16(const std::u16string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF)
            u = 0x10000 + ((u - 0xD800) << 10) + (s[++i] - 0xDC00);
        else if (u >= 0xD800 && u <= 0xDFFF)
            return std::nullopt;
        if (u < 0x80) {
            out += char(u);
        } else if (u < 0x800) {
            out += char(0xC0 | u >> 6);
            out += char(0x80 | (u & 0x3F));
        } else if (u < 0x10000) {
            out += char(0xE0 | u >> 12);
            out += char(0x80 | (u >> 6 & 0x3F));
            out += char(0x80 | (u & 0x3F));
        } else {
            out += char(0xF0 | u >> 18);
            out += char(0x80 | (u >> 12 & 0x3F));
            out += char(0x80 | (u >> 6 & 0x3F));
            out += char(0x80 | (u & 0x3F));
        }
    }
    return out;
}

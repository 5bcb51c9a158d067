// Windows resources as the packer writes them into a copy of the stub and
// --check reads them back: the resource tree of a PE resource section, the
// version information (VS_VERSIONINFO) that Explorer shows as a program's
// file properties, and icons from an .ico file (RT_ICON images under one
// RT_GROUP_ICON).
#ifndef RESOURCES_H
#define RESOURCES_H

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// Resource types (winuser.h's RT_* numbers) the packer writes.
enum : uint16_t { RES_ICON = 3, RES_GROUP_ICON = 14, RES_VERSION = 16, RES_MANIFEST = 24 };

// One resource: its type, numeric ID and language, and its data.
struct Resource {
    uint16_t type, id, lang;
    std::string data;
};

// The tree for these resources, to be placed at RVA rva: a directory of
// types, one of IDs per type and one of languages per ID, all sorted by
// number, then the data entries, then the data, each 8-byte aligned. Every
// time stamp and version field is 0, so the bytes depend on the resources
// alone. Two resources of one type and ID are not allowed.
std::string write_resource_tree(std::vector<Resource> resources, uint32_t rva);

// The resources of the tree at the start of `section` (bytes that the loader
// maps from RVA rva), or why it is not a well-formed tree of the kind
// write_resource_tree writes: three levels of numbered entries, each
// directory's in ascending order, every offset inside the section, every
// data entry's bytes too.
std::optional<std::vector<Resource>> read_resource_tree(const std::string &section,
                                                        uint32_t rva, std::string *why);

// UTF-8 and UTF-16, for the version strings; nothing for bytes that are not
// UTF-8 (or a lone surrogate).
std::optional<std::u16string> utf16_from_utf8(const std::string &s);
std::optional<std::string> utf8_from_utf16(const std::u16string &s);

// A program's file properties, in UTF-8, as a publisher gives them; empty
// ones are left out.
struct FileProperties {
    std::string product, version, company, description, copyright;
    bool empty() const
    {
        return product.empty() && version.empty() && company.empty() && description.empty() &&
               copyright.empty();
    }
};

// The four numbers of a version "1", "1.2", "1.2.3" or "1.2.3.4" (each 0 to
// 65535, missing ones 0), or nothing.
std::optional<std::vector<uint16_t>> version_numbers(const std::string &text);

// The RT_VERSION data for p (whose version, if any, version_numbers
// accepts): the fixed part with the version as file and product version,
// and a table of strings for Japanese and one for English (Unicode), each
// with the given strings; the description, unless given, names the product
// as an installer in the table's language.
std::string version_resource(const FileProperties &p);

// What a version resource says: its tables (a "041104b0"-style key, then
// the strings as name and value in UTF-8, in order). Nothing, and why, if
// it is not well formed.
struct VersionTable {
    std::string key;
    std::vector<std::pair<std::string, std::string>> strings;
};
std::optional<std::vector<VersionTable>> read_version_resource(const std::string &data,
                                                               std::string *why);

// One image of an icon: the size and colours its directory entry gives, and
// the image as the file holds it (a BMP-style DIB or a PNG file).
struct IconImage {
    uint8_t width, height, colors;  // 0 width or height: 256
    uint16_t planes, bits;
    std::string data;
    bool png() const { return data.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0; }
};

// The images of an .ico file, or why it is not one: an icon directory of 1
// to 255 entries, each image inside the file and beginning with a
// BITMAPINFOHEADER or a PNG signature.
std::optional<std::vector<IconImage>> read_ico(const std::string &file, std::string *why);

// The RT_GROUP_ICON data for images stored as RT_ICON IDs first_id,
// first_id + 1, ...
std::string icon_group(const std::vector<IconImage> &images, uint16_t first_id);

// A group's entries (data left empty) with the RT_ICON ID of each, or why it
// is not well formed.
struct GroupEntry {
    IconImage image;
    uint32_t bytes;
    uint16_t id;
};
std::optional<std::vector<GroupEntry>> read_icon_group(const std::string &data, std::string *why);

// "32x32 32-bit" or "256x256 PNG", for listings.
std::string icon_image_name(const IconImage &image);

#endif

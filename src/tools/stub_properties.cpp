// A publisher's own stub: file properties, an icon and the default folder,
// written into a copy of the stub as built, in its own bytes (see
// stub_properties.h for what may change).
#include "stub_properties.h"

#include <string.h>

#include "bytes/le.h"
#include "image/pe.h"
#include "launch/layout.h"
#include "member_names.h"
#include "platform/codepage.h"

// The resources of a stub as built, and the language its manifest has, which
// the publisher's resources take too.
static std::vector<Resource> built_resources(const std::string &stub, const PeResources &r,
                                             const std::string &stub_path)
{
    std::string why;
    std::optional<std::vector<Resource>> tree =
        read_resource_tree(stub.substr(r.file_at, r.room), r.rva, &why);
    if (!tree)
        fail(format(_("%s: the stub's resources: %s"), stub_path.c_str(), why.c_str()));
    return *tree;
}

StubPlaces stub_places(const std::string &stub)
{
    StubPlaces p;
    const unsigned char *head = reinterpret_cast<const unsigned char *>(stub.data());
    p.has_resources = pe_resources(head, stub.size(), &p.resources) != 0;
    const std::string tag(DEFAULT_FOLDER_TAG, sizeof DEFAULT_FOLDER_TAG);  // with its NUL
    size_t at = stub.find(tag);
    if (at != std::string::npos && stub.find(tag, at + 1) == std::string::npos &&
        stub.size() - at >= sizeof(DefaultFolderField))
        p.folder_at = at + offsetof(DefaultFolderField, folder);
    return p;
}

void blank_stub_places(const StubPlaces &p, std::string &stub)
{
    if (p.has_resources && stub.size() >= size_t(p.resources.file_at) + p.resources.room) {
        stub.replace(p.resources.file_at, p.resources.room, p.resources.room, '\0');
        stub.replace(p.resources.entry_at + 4, 4, 4, '\0');  // the tree's size
    }
    if (p.folder_at != std::string::npos && stub.size() >= p.folder_at + DEFAULT_FOLDER_SIZE)
        stub.replace(p.folder_at, DEFAULT_FOLDER_SIZE, DEFAULT_FOLDER_SIZE, '\0');
}

// Why name (in code page 932, without its backslash) can't be the default
// folder, or nothing: one folder's name that Windows creates as spelt and
// the dialogue offers as it is.
static std::optional<std::string> folder_problem(const std::string &utf8, const std::string &name)
{
    if (name.size() > DEFAULT_FOLDER_NAME_MAX)
        return format(_("%u bytes in Shift_JIS; at most %u"), unsigned(name.size()),
                      unsigned(DEFAULT_FOLDER_NAME_MAX));
    if (std::optional<std::string> why = member_name_problem({utf8}, {name}))
        return why;
    if (name.back() == '.' || name.back() == ' ' || name.front() == ' ')
        return std::string(_("a space or a dot at an end, which the dialogue or Windows drops"));
    return std::nullopt;
}

std::string default_folder_field(const std::string &native)
{
    std::string utf8 = native.size() > 1 && native[0] == '\\' ? native.substr(1) : native;
    std::optional<std::string> name = to_archive_name(utf8);
    if (!name)
        fail(format(_("--default-folder %s: the name can't be written in the Shift_JIS code page"),
                    native.c_str()));
    if (std::optional<std::string> why = folder_problem(utf8, *name))
        fail(format(_("--default-folder %s: %s"), native.c_str(), why->c_str()));
    return "\\" + *name;
}

// The largest icon that would fit, for the message of one that does not.
static std::string too_large(const std::string &stub_path, size_t tree, size_t room,
                             size_t images)
{
    if (images == 0)
        return format(_("%s: the file properties take %u bytes of resources; the stub has room "
                        "for %u: give shorter texts"),
                      stub_path.c_str(), unsigned(tree), unsigned(room));
    size_t others = tree - images;
    return format(_("%s: the file properties and the icon take %u bytes of resources; the stub "
                    "has room for %u. The icon's images take %u bytes: give an icon of at most "
                    "%u bytes of images (fewer sizes, or PNG-compressed images)"),
                  stub_path.c_str(), unsigned(tree), unsigned(room), unsigned(images),
                  unsigned(others < room ? room - others : 0));
}

std::string customize_stub(std::string stub, const std::string &stub_path, const StubChanges &c)
{
    StubPlaces places = stub_places(stub);
    if (!c.folder.empty()) {
        if (places.folder_at == std::string::npos)
            fail(format(_("%s: the stub has no default-folder field to write"), stub_path.c_str()));
        std::string field = default_folder_field(c.folder);
        field.resize(DEFAULT_FOLDER_SIZE, '\0');
        stub.replace(places.folder_at, DEFAULT_FOLDER_SIZE, field);
    }
    if (c.properties.empty() && c.icon.empty())
        return stub;
    if (!places.has_resources)
        fail(format(_("%s: the stub has no resource section to write into"), stub_path.c_str()));
    const PeResources &r = places.resources;
    std::vector<Resource> resources;
    for (const Resource &res : built_resources(stub, r, stub_path))
        if (res.type == RES_MANIFEST)
            resources.push_back(res);
    if (resources.size() != 1)
        fail(format(_("%s: the stub has no manifest of its own"), stub_path.c_str()));
    const uint16_t lang = resources[0].lang;
    if (!c.properties.empty())
        resources.push_back({RES_VERSION, 1, lang, version_resource(c.properties)});
    size_t images = 0;
    if (!c.icon.empty()) {
        std::string why;
        // Far more than any stub has room for, yet a bound on what is read.
        const size_t icon_max = size_t(1) << 20;
        const uint64_t icon_size = regular_file_size(c.icon);
        if (icon_size > icon_max)
            fail(too_large(stub_path, size_t(icon_size), r.room, size_t(icon_size)));
        std::optional<std::vector<IconImage>> icon = read_ico(read_file(c.icon, 0, icon_max), &why);
        if (!icon)
            fail(c.icon + ": " + why);
        for (size_t i = 0; i < icon->size(); i++) {
            resources.push_back({RES_ICON, uint16_t(i + 1), lang, (*icon)[i].data});
            images += (*icon)[i].data.size();
        }
        resources.push_back({RES_GROUP_ICON, 1, lang, icon_group(*icon, 1)});
    }
    std::string tree = write_resource_tree(resources, r.rva);
    const uint32_t tree_size = uint32_t(tree.size());
    if (tree_size > r.room)
        fail(too_large(stub_path, tree_size, r.room, images));
    tree.resize(r.room, '\0');
    stub.replace(r.file_at, r.room, tree);
    put_le32(reinterpret_cast<unsigned char *>(stub.data()) + r.entry_at + 4, tree_size);
    return stub;
}

// What the stub's resources say, as lines of --check's listing; fails on
// anything the packer would not have written.
static std::vector<std::string> describe_resources(const std::string &path,
                                                   const std::string &seen,
                                                   const std::string &built, const PeResources &r)
{
    auto bad = [&](const std::string &why) {
        fail(format(_("%s: the stub's resources differ from those the packer writes (%s)"),
                    path.c_str(), why.c_str()));
    };
    std::string why;
    std::string section = seen.substr(r.file_at, r.room);
    std::optional<std::vector<Resource>> tree = read_resource_tree(section, r.rva, &why);
    if (!tree)
        bad(why);
    std::vector<Resource> manifests;
    for (const Resource &res : built_resources(built, r, path))
        if (res.type == RES_MANIFEST)
            manifests.push_back(res);
    std::vector<std::string> lines;
    std::vector<IconImage> icons;
    unsigned seen_manifests = 0;
    for (const Resource &res : *tree) {
        if (res.type == RES_MANIFEST) {
            if (manifests.size() != 1 || res.id != manifests[0].id ||
                res.data != manifests[0].data)
                bad(_("the manifest is not the stub's own"));
            seen_manifests++;
        } else if (res.type == RES_VERSION) {
            std::optional<std::vector<VersionTable>> tables = read_version_resource(res.data, &why);
            if (!tables)
                bad(why);
            for (const VersionTable &t : *tables)
                for (const auto &s : t.strings)
                    lines.push_back(format("  %s %s: %s\n", t.key.c_str(), s.first.c_str(),
                                           s.second.c_str()));
        } else if (res.type == RES_GROUP_ICON) {
            std::optional<std::vector<GroupEntry>> group = read_icon_group(res.data, &why);
            if (!group)
                bad(why);
            for (GroupEntry &e : *group) {
                bool found = false;
                for (const Resource &image : *tree)
                    if (image.type == RES_ICON && image.id == e.id && image.data.size() == e.bytes) {
                        e.image.data = image.data;
                        found = true;
                    }
                if (!found)
                    bad(_("the icon group names an image that is not there"));
                icons.push_back(e.image);
            }
        } else if (res.type != RES_ICON) {
            bad(format(_("a resource of type %u"), unsigned(res.type)));
        }
    }
    if (seen_manifests != 1)
        bad(_("the manifest is not the stub's own"));
    // Last, so that what is wrong with a resource is named before the
    // layout it upsets.
    std::string canonical = write_resource_tree(*tree, r.rva);
    uint32_t size = le32(reinterpret_cast<const unsigned char *>(seen.data()) + r.entry_at + 4);
    if (size != canonical.size() || (canonical.resize(r.room, '\0'), canonical != section))
        bad(_("bytes outside its resources, or another layout"));
    if (!icons.empty()) {
        std::string sizes;
        for (const IconImage &m : icons)
            sizes += (sizes.empty() ? "" : ", ") + icon_image_name(m);
        lines.push_back(format(_("  icon: %s\n"), sizes.c_str()));
    }
    return lines;
}

std::vector<std::string> describe_stub(const std::string &path, const std::string &seen,
                                       const std::string &built)
{
    StubPlaces p = stub_places(built);
    std::vector<std::string> lines;
    const PeResources &r = p.resources;
    if (p.has_resources && (seen.compare(r.file_at, r.room, built, r.file_at, r.room) != 0 ||
                            seen.compare(r.entry_at, 8, built, r.entry_at, 8) != 0))
        lines = describe_resources(path, seen, built, r);
    if (p.folder_at != std::string::npos) {
        std::string field = seen.substr(p.folder_at, DEFAULT_FOLDER_SIZE);
        std::string folder = field.substr(0, field.find('\0'));
        bool padded = field.find_first_not_of('\0', folder.size()) == std::string::npos;
        if (field != built.substr(p.folder_at, DEFAULT_FOLDER_SIZE) &&
            (!padded || folder.size() < 2 || folder[0] != '\\' ||
             folder_problem(to_display_name(folder.substr(1)), folder.substr(1))))
            fail(format(_("%s: the stub's default folder is no name the packer writes"),
                        path.c_str()));
        lines.insert(lines.begin(),
                     format(_("  default folder: %s\n"), to_display_name(folder).c_str()));
    }
    return lines;
}

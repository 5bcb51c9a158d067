// A publisher's own stub (stub_properties.cpp). The packer writes into its
// copy of the stub, and nowhere else: the resource section's bytes, rebuilt
// as the stub's manifest with the publisher's file properties (RT_VERSION)
// and icon (RT_ICON, RT_GROUP_ICON), with the size in the resources' data
// directory entry; and the default-folder field. --check accepts a stub that
// differs from the built one there alone, and only as the packer writes it.
#ifndef STUB_PROPERTIES_H
#define STUB_PROPERTIES_H

#include <string>
#include <vector>

#include "image/pe.h"
#include "image/resources.h"
#include "mkinstaller.h"

// Where a stub may be changed: its resources, and its default-folder field
// (npos if the stub has none, or its tag is not there exactly once).
struct StubPlaces {
    bool has_resources = false;
    PeResources resources{};
    size_t folder_at = std::string::npos;
};
StubPlaces stub_places(const std::string &stub);

// Zeros over those places in stub, so that two stubs compare equal when they
// differ nowhere else.
void blank_stub_places(const StubPlaces &p, std::string &stub);

// The default-folder field's text for --default-folder NAME: "\" and the
// name in code page 932; fails saying why the name can't be one.
std::string default_folder_field(const std::string &native);

// The stub with the changes written into it; fails, naming stub_path, where
// they can't be (too large for its room, a damaged icon...).
std::string customize_stub(std::string stub, const std::string &stub_path, const StubChanges &c);

// --check's lines on what seen (an installer's stub, which equals built once
// both are blanked) carries: the default folder, the file properties, the
// icon's sizes. Fails, naming path, where the places hold anything the
// packer does not write.
std::vector<std::string> describe_stub(const std::string &path, const std::string &seen,
                                       const std::string &built);

#endif

// The end of a PE image from the start of a file, and the fields signing
// rewrites: a caller blanks them in place, so they must lie within the bytes
// it read; and the certificate table the stub cuts at.
#include <stdint.h>
#include <stdio.h>

#include "image/pe.h"
#include "image/resources.h"

// A stub's resources, as --check reads them from an installer: a tree read
// is written back to a tree that reads the same; the formats inside are
// read without reading past their data.
static void resources(const uint8_t *data, size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size), why;
    const uint32_t rva = 0x4b000;
    if (std::optional<std::vector<Resource>> tree = read_resource_tree(bytes, rva, &why)) {
        std::optional<std::vector<Resource>> again =
            read_resource_tree(write_resource_tree(*tree, rva), rva, &why);
        if (!again || again->size() != tree->size())
            __builtin_trap();
    }
    read_version_resource(bytes, &why);
    read_icon_group(bytes, &why);
    if (std::optional<std::vector<IconImage>> icon = read_ico(bytes, &why))
        for (const IconImage &image : *icon)
            if (image.data.size() > size)
                __builtin_trap();
    struct PeResources r;
    if (pe_resources(data, size, &r) && (uint64_t)r.file_at + r.room > size)
        __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    resources(data, size);
    uint32_t end = pe_image_end(data, size);
    // A found image starts with its headers.
    if (end != 0 && (size < 64 || data[0] != 'M' || data[1] != 'Z'))
        __builtin_trap();
    struct PeSigning sig;
    if (pe_signing(data, size, &sig) &&
        (end == 0 || sig.checksum_at + 4 > size || sig.cert_entry_at + 8 > size))
        __builtin_trap();
    if (size > 0) {
        FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
        if (pe_file_image_end(f, 0) != pe_image_end(data, size < PE_HEAD_SIZE ? size : PE_HEAD_SIZE))
            __builtin_trap();
        // A certificate table is only ever found inside the file, at or
        // after where it may start, and 8-byte aligned.
        int64_t from = size / 3;
        int64_t t = pe_certificate_table(f, 0, (int64_t)size, from, data, size);
        if (t != PE_UNSIGNED && t != PE_NO_TABLE && (t < from || t + 8 > (int64_t)size || t % 8))
            __builtin_trap();
        fclose(f);
    }
    return 0;
}

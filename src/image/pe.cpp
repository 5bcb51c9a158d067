#include "pe.h"

#include "../bytes/le.h"
#include "../platform/platform.h"

// Where the fields are: the DOS header points to the PE signature, which is
// followed by the file header, the optional header and the section table.
enum {
    DOS_AT_PE_OFFSET = 0x3C,
    DOS_HEADER_SIZE = 64,
    PE_SIGNATURE = 0x00004550,          // "PE\0\0"
    FILE_HEADER_AT = 4,                 // from the signature
    FILE_AT_SECTIONS = 2,               // NumberOfSections
    FILE_AT_OPTIONAL_SIZE = 16,         // SizeOfOptionalHeader
    FILE_HEADER_SIZE = 20,
    OPTIONAL_AT_HEADERS_SIZE = 60,      // SizeOfHeaders
    OPTIONAL_MIN_SIZE = 64,
    SECTION_SIZE = 40,
    SECTION_AT_VIRTUAL_SIZE = 8,        // VirtualSize
    SECTION_AT_RVA = 12,                // VirtualAddress
    SECTION_AT_RAW_SIZE = 16,           // SizeOfRawData
    SECTION_AT_RAW_AT = 20,             // PointerToRawData
    OPTIONAL_AT_MAGIC = 0,
    MAGIC_PE32 = 0x10B,
    MAGIC_PE32_PLUS = 0x20B,
    OPTIONAL_AT_CHECKSUM = 64,
    OPTIONAL_AT_DIRS_32 = 96,           // the data directories, after NumberOfRvaAndSizes
    OPTIONAL_AT_DIRS_64 = 112,
    DIR_RESOURCES = 2,
    DIR_CERTIFICATES = 4,
    DIR_SIZE = 8,
    // WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the data.
    CERT_HEADER_SIZE = 8,
    CERT_AT_REVISION = 4,
    CERT_AT_TYPE = 6,
    CERT_REVISION_1 = 0x0100,
    CERT_REVISION_2 = 0x0200,
    CERT_TYPE_LAST = 4,                 // X509, PKCS_SIGNED_DATA, reserved, TS_STACK_SIGNED
    CERT_ALIGN = 8,
    CERT_ENTRIES_MAX = 32,              // one is usual; a bound on what is read
};

uint32_t pe_image_end(const unsigned char *head, size_t n)
{
    if (n < DOS_HEADER_SIZE || head[0] != 'M' || head[1] != 'Z')
        return 0;
    uint32_t pe = le32(head + DOS_AT_PE_OFFSET);
    if (pe > n || n - pe < FILE_HEADER_AT + FILE_HEADER_SIZE || le32(head + pe) != PE_SIGNATURE)
        return 0;
    const unsigned char *file = head + pe + FILE_HEADER_AT;
    uint32_t sections = le16(file + FILE_AT_SECTIONS);
    uint32_t optional = le16(file + FILE_AT_OPTIONAL_SIZE);
    uint64_t optional_at = (uint64_t)pe + FILE_HEADER_AT + FILE_HEADER_SIZE;
    uint64_t table = optional_at + optional;
    if (optional < OPTIONAL_MIN_SIZE || table + (uint64_t)sections * SECTION_SIZE > n)
        return 0;
    uint64_t end = le32(head + optional_at + OPTIONAL_AT_HEADERS_SIZE);
    for (uint32_t i = 0; i < sections; i++) {
        const unsigned char *s = head + table + i * SECTION_SIZE;
        uint64_t raw_size = le32(s + SECTION_AT_RAW_SIZE), raw_at = le32(s + SECTION_AT_RAW_AT);
        if (raw_size > 0 && raw_at + raw_size > end)
            end = raw_at + raw_size;
    }
    return end > 0xFFFFFFFFu ? 0 : (uint32_t)end;
}

uint32_t pe_file_image_end(FILE *f, int64_t base)
{
    static unsigned char head[PE_HEAD_SIZE];
    if (plat_seek(f, base, SEEK_SET) != 0)
        return 0;
    size_t n = fread(head, 1, sizeof head, f);
    return pe_image_end(head, n);
}

// Where the data directory `index` is in the file: its entry's offset, and
// where the optional header is; 0 if the head has no such entry.
static uint32_t directory_entry(const unsigned char *head, size_t n, uint32_t index,
                                uint32_t *optional_at)
{
    if (pe_image_end(head, n) == 0)
        return 0;
    uint32_t pe = le32(head + DOS_AT_PE_OFFSET);
    const unsigned char *file = head + pe + FILE_HEADER_AT;
    uint32_t optional = le16(file + FILE_AT_OPTIONAL_SIZE);
    *optional_at = pe + FILE_HEADER_AT + FILE_HEADER_SIZE;
    uint32_t magic = le16(head + *optional_at + OPTIONAL_AT_MAGIC);
    uint32_t dirs = magic == MAGIC_PE32 ? OPTIONAL_AT_DIRS_32
                    : magic == MAGIC_PE32_PLUS ? OPTIONAL_AT_DIRS_64 : 0;
    // The count of directories sits just before them.
    if (dirs == 0 || optional < dirs + (index + 1) * DIR_SIZE ||
        le32(head + *optional_at + dirs - 4) <= index)
        return 0;
    return *optional_at + dirs + index * DIR_SIZE;
}

int pe_signing(const unsigned char *head, size_t n, struct PeSigning *s)
{
    uint32_t optional_at;
    uint32_t entry = directory_entry(head, n, DIR_CERTIFICATES, &optional_at);
    if (entry == 0)
        return 0;
    s->checksum_at = optional_at + OPTIONAL_AT_CHECKSUM;
    s->cert_entry_at = entry;
    s->cert_offset = le32(head + entry);
    s->cert_size = le32(head + entry + 4);
    return 1;
}

int pe_resources(const unsigned char *head, size_t n, struct PeResources *r)
{
    uint32_t optional_at;
    uint32_t entry = directory_entry(head, n, DIR_RESOURCES, &optional_at);
    if (entry == 0 || le32(head + entry) == 0)
        return 0;
    r->entry_at = entry;
    r->rva = le32(head + entry);
    r->size = le32(head + entry + 4);
    uint32_t pe = le32(head + DOS_AT_PE_OFFSET);
    const unsigned char *file = head + pe + FILE_HEADER_AT;
    uint32_t sections = le16(file + FILE_AT_SECTIONS);
    uint32_t table = optional_at + le16(file + FILE_AT_OPTIONAL_SIZE);
    for (uint32_t i = 0; i < sections; i++) {
        const unsigned char *sec = head + table + i * SECTION_SIZE;
        uint64_t rva = le32(sec + SECTION_AT_RVA), virt = le32(sec + SECTION_AT_VIRTUAL_SIZE);
        uint64_t raw = le32(sec + SECTION_AT_RAW_SIZE), raw_at = le32(sec + SECTION_AT_RAW_AT);
        if (r->rva < rva || r->rva >= rva + virt)
            continue;
        // Bytes past the section's virtual size are not mapped, and bytes
        // past its raw data are not in the file.
        uint64_t into = r->rva - rva, end = virt < raw ? virt : raw;
        if (into >= end || raw_at + end > n)
            return 0;
        r->file_at = (uint32_t)(raw_at + into);
        r->room = (uint32_t)(end - into);
        return 1;
    }
    return 0;
}

int64_t pe_certificate_table(FILE *f, int64_t base, int64_t size, int64_t from,
                             const unsigned char *head, size_t n)
{
    struct PeSigning s;
    if (pe_signing(head, n, &s) == 0 || (s.cert_offset == 0 && s.cert_size == 0))
        return PE_UNSIGNED;
    int64_t at = s.cert_offset, len = s.cert_size;
    if (at < from || at % CERT_ALIGN != 0 || len < CERT_HEADER_SIZE || at + len != size)
        return PE_NO_TABLE;
    int64_t pos = 0;
    for (int entries = 0; entries < CERT_ENTRIES_MAX; entries++) {
        unsigned char e[CERT_HEADER_SIZE];
        if (len - pos < CERT_HEADER_SIZE || plat_seek(f, base + at + pos, SEEK_SET) != 0 ||
            fread(e, 1, sizeof e, f) != sizeof e)
            return PE_NO_TABLE;
        uint32_t length = le32(e), revision = le16(e + CERT_AT_REVISION);
        uint32_t type = le16(e + CERT_AT_TYPE);
        if (length < CERT_HEADER_SIZE || length > len - pos ||
            (revision != CERT_REVISION_1 && revision != CERT_REVISION_2) || type == 0 ||
            type > CERT_TYPE_LAST)
            return PE_NO_TABLE;
        pos += length;
        // The last entry may stop short of its padding.
        if (pos == len)
            return at;
        pos = (pos + CERT_ALIGN - 1) / CERT_ALIGN * CERT_ALIGN;
        if (pos == len)
            return at;
    }
    return PE_NO_TABLE;
}

uint32_t pe_checksum_add(uint32_t sum, const unsigned char *p, size_t n)
{
    // A sum with end-around carry is the sum modulo 0xFFFF, whatever the
    // order of the folds: two words at a time into 64 bits, folded once at
    // the end (65536 is 1 modulo 0xFFFF), give the loader's own result.
    uint64_t wide = sum;
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        wide += le32(p + i);
    for (; i + 2 <= n; i += 2)
        wide += le16(p + i);
    if (i < n)  // an odd last byte, as if a zero followed it
        wide += p[i];
    while (wide >> 16)
        wide = (wide & 0xFFFF) + (wide >> 16);
    return (uint32_t)wide;
}

uint32_t pe_checksum_end(uint32_t sum, uint64_t file_size)
{
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum + (uint32_t)file_size;  // the length modulo 2^32, as the system adds it
}

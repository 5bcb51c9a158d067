#include <errno.h>
#include <string.h>

#include "image/pe.h"
#include "launch/layout.h"
#include "lzh/decode.h"
#include "lzh/header.h"
#include "mkinstaller.h"
#include "platform/codepage.h"
#include "platform/platform.h"
#include "sfx/extract.h"

// Walks an archive that ends at byte end of f: every header read, every
// method known, every name one the extractor accepts, no size beyond the
// file, every member decoded and its CRC checked. LIST prints a line per
// member.
ArchiveSummary scan_archive(FILE *f, uint64_t end, const std::string &what, Scan mode)
{
    ArchiveSummary sum;
    static LzhMember m;
    for (unsigned index = 1;; index++) {
        LzhStatus hs = lzh_read_header(f, &m, plat_is_lead_byte);
        if (hs == LZH_END)
            break;
        std::string at = what + ": member " + std::to_string(index);
        if (hs != LZH_OK)
            fail(at + ": " + lzh_status_text(hs, errno));
        char rel[LZH_PATH_MAX];
        if (safe_relative_path(m.path, '/', rel, sizeof rel) != 0)
            fail(at + ": refused: not a plain name inside the install folder");
        std::string name = to_display_name(rel);
        int bits = lzh_method_bits(m.method);
        if (!m.is_dir && bits < 0)
            fail(at + " (" + name + "): unsupported method " + m.method);
        int64_t here = plat_tell(f);
        if (here < 0 || uint64_t(here) > end || m.packed > end - uint64_t(here))
            fail(at + " (" + name + "): " + lzh_status_text(LZH_DATA_CUT, 0));
        if (m.is_dir) {
            if (plat_seek(f, int64_t(m.packed), SEEK_CUR) != 0)
                fail_errno(what);
            sum.dirs++;
            if (mode == Scan::LIST)
                printf("  %-5s %10s    %10s         %s/\n", m.method, "", "", name.c_str());
            continue;
        }
        sum.files++;
        uint16_t crc;
        errno = 0;
        LzhStatus s = lzh_decode(f, m.packed, m.original, bits,
                                 [](void *, const unsigned char *, size_t) { return 0; }, NULL, &crc);
        if (s == LZH_OK && crc != m.crc)
            s = LZH_BAD_CRC;
        if (s != LZH_OK)
            fail(at + " (" + name + "): " + lzh_status_text(s, errno));
        if (mode == Scan::LIST)
            printf("  %-5s %10llu -> %10llu %5.1f%%  %s\n", m.method, (unsigned long long)m.packed,
                   (unsigned long long)m.original,
                   m.original ? 100.0 * double(m.packed) / double(m.original) : 100.0, name.c_str());
    }
    if (sum.files + sum.dirs == 0)
        fail(what + ": no members");
    return sum;
}

// Where two byte strings first differ, as text; they are assumed to differ.
static std::string first_difference(const std::string &a, const std::string &b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        i++;
    return "first difference at byte " + std::to_string(i);
}

static PeSigning signing_of(const std::string &program)
{
    PeSigning s{};
    if (!pe_signing(reinterpret_cast<const unsigned char *>(program.data()), program.size(), &s))
        s = PeSigning{};
    return s;
}

// A program as built, with the two header fields that signing rewrites
// (the checksum and the certificate-table entry) blanked in both: a signed
// copy still counts as the same program, and any other change does not.
static void blank_signing_fields(std::string &built, std::string &seen)
{
    PeSigning s = signing_of(built);
    if (s.cert_entry_at == 0)
        return;
    for (std::string *p : {&built, &seen}) {
        if (p->size() >= s.cert_entry_at + 8) {
            p->replace(s.checksum_at, 4, 4, '\0');
            p->replace(s.cert_entry_at, 8, 8, '\0');
        }
    }
}

// The certificate table a program's headers name, if it lies within
// [start, end) of the file and ends it: signing appends it there. Returns
// where the signed content ends (the table's start), or end when unsigned.
static uint64_t signed_content_end(const std::string &path, const std::string &head,
                                   uint64_t start, uint64_t end, const char *what)
{
    PeSigning s = signing_of(head);
    if (s.cert_size == 0 && s.cert_offset == 0)
        return end;
    uint64_t at = start + s.cert_offset;
    if (s.cert_size < 8 || at + s.cert_size != end || at < start + image_end(head))
        fail(path + ": the " + what + "'s certificate-table entry does not name a table at "
             "its end (offset " + std::to_string(s.cert_offset) + ", " +
             std::to_string(s.cert_size) + " bytes)");
    printf("  %s signed: certificate table of %u bytes at byte %llu\n", what, s.cert_size,
           (unsigned long long)at);
    return at;
}

// Checks an installer without running it: the stub and the extractor are
// byte for byte the ones this tool would pack, and every archive member
// decodes to its CRC. A payload of the publisher's own is taken as it is.
int check(const Options &o)
{
    const std::string &path = o.check;
    uint64_t size = regular_file_size(path);
    std::string stub_path = o.stub.empty() ? find_built("stub.exe") : o.stub;
    std::string real_stub = load_stub(stub_path);
    std::string stub = read_file(path, 0, PAYLOAD_OFFSET);
    if (stub.size() < PAYLOAD_OFFSET || image_end(stub) == 0 || image_end(stub) > PAYLOAD_OFFSET)
        fail(path + ": no installer stub of " + std::to_string(PAYLOAD_OFFSET) + " bytes at its start");
    std::string seen_stub = stub;
    blank_signing_fields(real_stub, seen_stub);
    if (seen_stub != real_stub)
        fail(path + ": the stub differs from " + stub_path + " (" +
             first_difference(seen_stub, real_stub) + ")");
    // What follows a signed installer's payload is its certificate table.
    size = signed_content_end(path, stub, 0, size, "installer");
    if (size <= PAYLOAD_OFFSET)
        fail(path + ": no payload after the stub");
    uint64_t payload = size - PAYLOAD_OFFSET;
    uint32_t program = image_end(read_file(path, PAYLOAD_OFFSET, PE_HEAD_SIZE));
    if (program == 0)
        fail(path + ": the payload is not a Windows program");
    if (program > payload)
        fail(path + ": the payload is cut inside its program (" + std::to_string(payload) +
             " of " + std::to_string(program) + " bytes)");

    std::string sfx_path = o.sfx.empty() ? look_for_built("sfx.exe") : o.sfx;
    std::string real_sfx = sfx_path.empty() ? "" : load_sfx(sfx_path);
    std::string head = read_file(path, PAYLOAD_OFFSET, program);
    // Our extractor is known by its bytes, and by an archive after it; an
    // extractor damaged in place keeps its length.
    static LzhMember m;
    File f = open_at(path, PAYLOAD_OFFSET + program);
    bool archive_follows =
        program < payload && lzh_read_header(f.get(), &m, plat_is_lead_byte) == LZH_OK;
    std::string seen_head = head;
    if (!real_sfx.empty())
        blank_signing_fields(real_sfx, seen_head);
    bool ours = !real_sfx.empty() && seen_head == real_sfx;
    if (!ours && !archive_follows && !(real_sfx.size() == program && !real_sfx.empty())) {
        printf("%s: stub %u bytes, payload %llu bytes\n", path.c_str(), unsigned(PAYLOAD_OFFSET),
               (unsigned long long)payload);
        printf("%s: OK; the payload is a program of its own, not checked further\n", path.c_str());
        return 0;
    }
    if (real_sfx.empty())
        find_built("sfx.exe");  // fails, saying where it looked
    if (!ours)
        fail(path + ": the extractor differs from " + sfx_path + " (" +
             first_difference(seen_head, real_sfx) + " of the payload)");
    // A payload signed before it was packed ends with a table of its own.
    size = signed_content_end(path, head, PAYLOAD_OFFSET, size, "payload");
    payload = size - PAYLOAD_OFFSET;
    if (program >= payload)
        fail(path + ": no archive after the extractor");
    printf("%s: stub %u bytes, payload %llu bytes\n", path.c_str(), unsigned(PAYLOAD_OFFSET),
           (unsigned long long)payload);
    printf("  extractor %u bytes, archive %llu bytes:\n", program,
           (unsigned long long)(payload - program));
    f = open_at(path, PAYLOAD_OFFSET + program);
    ArchiveSummary sum = scan_archive(f.get(), size, path, Scan::LIST);
    printf("%s: OK, %u file%s and %u director%s, every CRC verified; stub and extractor as built\n",
           path.c_str(), sum.files, sum.files == 1 ? "" : "s", sum.dirs,
           sum.dirs == 1 ? "y" : "ies");
    return 0;
}


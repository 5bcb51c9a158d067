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
    if (stub != real_stub)
        fail(path + ": the stub differs from " + stub_path + " (" +
             first_difference(stub, real_stub) + ")");
    if (size == PAYLOAD_OFFSET)
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
    bool ours = !real_sfx.empty() && head == real_sfx;
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
             first_difference(head, real_sfx) + " of the payload)");
    if (program == payload)
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


#include "authenticode.h"

#include <string.h>

#include <memory>

#include "mkinstaller.h"
#include "platform/crypto.h"
#include "platform/platform.h"

// The digest algorithms a signature may name (their OIDs' DER bodies), by
// the names both systems' libraries know.
static const struct {
    const char *oid;
    size_t oid_size;
    const char *name;
} DIGESTS[] = {
    {"\x2B\x0E\x03\x02\x1A", 5, "SHA1"},
    {"\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9, "SHA256"},
    {"\x60\x86\x48\x01\x65\x03\x04\x02\x02", 9, "SHA384"},
    {"\x60\x86\x48\x01\x65\x03\x04\x02\x03", 9, "SHA512"},
    {"\x2A\x86\x48\x86\xF7\x0D\x02\x05", 8, "MD5"},
};

namespace {

// One DER element inside [p, end): its tag and its contents.
struct Der {
    unsigned char tag = 0;
    const unsigned char *body = nullptr, *next = nullptr;
    size_t size = 0;
};

bool der_read(const unsigned char *p, const unsigned char *end, Der &e)
{
    if (end - p < 2)
        return false;
    e.tag = p[0];
    size_t len = p[1], at = 2;
    if (len >= 0x80) {
        size_t bytes = len & 0x7F;
        if (bytes < 1 || bytes > 4 || size_t(end - p) < 2 + bytes)
            return false;
        len = 0;
        for (size_t i = 0; i < bytes; i++)
            len = len << 8 | p[2 + i];
        at += bytes;
    }
    if (len > size_t(end - p) - at)
        return false;
    e.body = p + at;
    e.size = len;
    e.next = e.body + len;
    return true;
}

enum : unsigned char { SEQUENCE = 0x30, OID = 0x06, OCTET_STRING = 0x04 };

// SpcIndirectDataContent's contents: SEQUENCE { data, DigestInfo }, where
// DigestInfo is SEQUENCE { AlgorithmIdentifier SEQUENCE { OID, ... },
// OCTET STRING }. Fills oid and digest.
bool digest_info(const unsigned char *p, const unsigned char *end, Der &oid, Der &digest)
{
    Der data, info, alg;
    return der_read(p, end, data) && data.tag == SEQUENCE &&
           der_read(data.next, end, info) && info.tag == SEQUENCE &&
           der_read(info.body, info.next, alg) && alg.tag == SEQUENCE &&
           der_read(alg.body, alg.next, oid) && oid.tag == OID &&
           der_read(alg.next, info.next, digest) && digest.tag == OCTET_STRING;
}

}  // namespace

// The ranges signing tools hash: the file up to its certificate table, but
// the checksum and the certificate-table entry (which signing rewrites).
static std::string file_digest(FILE *f, const std::string &path, const char *algorithm,
                               uint64_t base, const PeSigning &s, uint64_t table)
{
    std::unique_ptr<Hasher> h = crypto_hasher(algorithm);
    if (!h)
        fail(format(_("%s: this system has no %s to check the signature with"), path.c_str(),
                    algorithm));
    const uint64_t ranges[3][2] = {{0, s.checksum_at},
                                   {s.checksum_at + 4, s.cert_entry_at},
                                   {s.cert_entry_at + 8, table}};
    static unsigned char buf[1 << 16];
    for (const auto &r : ranges) {
        if (plat_seek(f, int64_t(base + r[0]), SEEK_SET) != 0)
            fail_errno(path);
        for (uint64_t left = r[1] - r[0]; left > 0;) {
            size_t n = left < sizeof buf ? size_t(left) : sizeof buf;
            if (fread(buf, 1, n, f) != n)
                fail(path + ": " + _("read error"));
            h->update(buf, n);
            left -= n;
        }
    }
    return h->finish();
}

std::string check_authenticode(FILE *f, const std::string &path, const char *what, uint64_t base,
                               const PeSigning &s, uint64_t table, uint64_t end)
{
    // The first WIN_CERTIFICATE: its length, revision and type, then a
    // PKCS#7 SignedData (type 2). Signatures added later nest inside it.
    std::string entry = read_file(path, base + table, end - (base + table));
    uint32_t length = entry.size() >= 8 ? uint32_t((unsigned char)entry[0]) |
                                              uint32_t((unsigned char)entry[1]) << 8 |
                                              uint32_t((unsigned char)entry[2]) << 16 |
                                              uint32_t((unsigned char)entry[3]) << 24
                                        : 0;
    std::string content;
    SignedData signed_data =
        length < 8 || entry[6] != 2 || entry[7] != 0
            ? SignedData::MALFORMED
            : crypto_signed_content(entry.substr(8, length - 8), content);
    if (signed_data == SignedData::BAD_SIGNATURE)
        fail(format(_("%s: the %s's signature does not verify with the certificate it carries"),
                    path.c_str(), _(what)));
    const unsigned char *p = reinterpret_cast<const unsigned char *>(content.data());
    const unsigned char *p_end = p + content.size();
    Der whole, oid, stated;
    // The content whole, or (as some libraries give it) only its contents.
    bool found = signed_data == SignedData::OK &&
                 ((der_read(p, p_end, whole) && whole.tag == SEQUENCE && whole.next == p_end &&
                   digest_info(whole.body, whole.next, oid, stated)) ||
                  digest_info(p, p_end, oid, stated));
    if (!found)
        fail(format(_("%s: the %s's signature is not one Windows reads (no Authenticode digest "
                      "in it)"),
                    path.c_str(), _(what)));
    const char *algorithm = nullptr;
    for (const auto &d : DIGESTS)
        if (oid.size == d.oid_size && memcmp(oid.body, d.oid, oid.size) == 0)
            algorithm = d.name;
    if (!algorithm)
        fail(format(_("%s: the %s's signature uses a digest this tool does not know"),
                    path.c_str(), _(what)));
    std::string digest = file_digest(f, path, algorithm, base, s, table);
    if (digest != std::string(reinterpret_cast<const char *>(stated.body), stated.size))
        fail(format(_("%s: the %s was changed after it was signed: its %s digest is not the one "
                      "its signature holds"),
                    path.c_str(), _(what), algorithm));
    return algorithm;
}

#include "archive_writer.h"

#include <errno.h>
#include <string.h>

#include "lzh/crc16.h"
#include "mkinstaller.h"
#include "platform/platform.h"

static void put16(std::string &s, unsigned v)
{
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}

static void put32(std::string &s, uint32_t v)
{
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

static void extension(std::string &h, int type, const std::string &data)
{
    // Each extension's size is announced by the two bytes before it.
    put16(h, unsigned(data.size() + 3));
    h += char(type);
    h += data;
}

std::string level2_header(const ArchiveEntry &e, uint32_t size, uint16_t crc)
{
    std::string h;
    put16(h, 0);  // total size, filled in below
    h += e.is_dir ? "-lhd-" : "-lh0-";
    put32(h, size);
    put32(h, size);
    put32(h, uint32_t(e.mtime));
    h += char(0x20);
    h += char(2);
    put16(h, crc);
    h += 'M';  // MS-DOS family: names are in an ANSI code page

    std::string dir;
    size_t dirs = e.is_dir ? e.path.size() : e.path.size() - 1;
    for (size_t i = 0; i < dirs; i++)
        dir += e.path[i] + '\xFF';
    extension(h, 0x00, std::string(2, '\0'));  // header CRC, filled in below
    size_t crc_at = h.size() - 2;
    if (!e.is_dir)
        extension(h, 0x01, e.path.back());
    if (!dir.empty())
        extension(h, 0x02, dir);
    put16(h, 0);

    // A header whose size has a zero low byte would read as the end mark to
    // readers that look at the first byte alone.
    if ((h.size() & 0xFF) == 0)
        h += '\0';
    h[0] = char(h.size() & 0xFF);
    h[1] = char(h.size() >> 8);
    uint16_t hcrc = crc16_update(0, reinterpret_cast<const unsigned char *>(h.data()), h.size());
    h[crc_at] = char(hcrc & 0xFF);
    h[crc_at + 1] = char(hcrc >> 8);
    return h;
}

// Writes a placeholder header, the data with its CRC computed on the way,
// then the real header over the placeholder: each file is read once.
static void write_file(FILE *out, const ArchiveEntry &e)
{
    File in = open_at(e.source);
    int64_t header_at = plat_tell(out);
    if (header_at < 0)
        fail_errno("output");
    std::string header = level2_header(e, 0, 0);
    put(out, header.data(), header.size());
    uint64_t size = 0;
    uint16_t crc = 0;
    static unsigned char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) {
        crc = crc16_update(crc, buf, n);
        size += n;
        put(out, buf, n);
    }
    if (ferror(in.get()))
        fail(e.source + ": read error");
    if (size > 0xFFFFFFFFu)
        fail(e.source + ": larger than 4 GiB, which a member can't hold");
    std::string final_header = level2_header(e, uint32_t(size), crc);
    if (plat_seek(out, header_at, SEEK_SET) != 0)
        fail_errno("output");
    put(out, final_header.data(), final_header.size());
    if (plat_seek(out, 0, SEEK_END) != 0)
        fail_errno("output");
}

void write_archive(FILE *out, const std::vector<ArchiveEntry> &entries)
{
    for (const ArchiveEntry &e : entries) {
        if (e.is_dir) {
            std::string h = level2_header(e, 0, 0);
            put(out, h.data(), h.size());
        } else {
            write_file(out, e);
        }
    }
    put(out, "", 1);  // the end mark
}

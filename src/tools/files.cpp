#include <errno.h>
#include <string.h>

#include <algorithm>
#include <system_error>

#include "bytes/le.h"
#include "image/pe.h"
#include "mkinstaller.h"
#include "platform/codepage.h"
#include "platform/platform.h"

void fail(const std::string &message)
{
    throw Failure{message};
}

void note(const std::string &message)
{
    show(stderr, "mkinstaller: " + message + "\n");
}

void fail_errno(const std::string &subject)
{
    fail(subject + ": " + strerror(errno));
}

void fail_output()
{
    throw OutputError{errno ? errno : EIO};
}

// Opens a file for reading at offset, closed however the caller leaves.
File open_at(const std::string &path, uint64_t offset)
{
    File f(plat_open_read(path.c_str()), fclose);
    if (!f || plat_seek(f.get(), int64_t(offset), SEEK_SET) != 0)
        fail_errno(path);
    return f;
}

// Devices, pipes and folders are refused, so that nothing is read without a
// known end (a stub named /dev/zero would otherwise fill the memory).
uint64_t regular_file_size(const std::string &path)
{
    std::error_code ec;
    fs::path p = path_from_native(path);
    fs::file_status st = fs::status(p, ec);
    if (ec)
        fail(path + ": " + ec.message());
    if (!fs::is_regular_file(st))
        fail(path + ": " + _("not a regular file"));
    uint64_t size = fs::file_size(p, ec);
    if (ec)
        fail(path + ": " + ec.message());
    return size;
}

// Up to limit bytes of a file from offset.
std::string read_file(const std::string &path, uint64_t offset, size_t limit)
{
    File f = open_at(path, offset);
    std::string bytes;
    char buf[1 << 16];
    size_t n;
    while (bytes.size() < limit &&
           (n = fread(buf, 1, std::min(sizeof buf, limit - bytes.size()), f.get())) > 0)
        bytes.append(buf, n);
    if (ferror(f.get()))
        fail(path + ": " + _("read error"));
    return bytes;
}

void put(FILE *out, const void *p, size_t n)
{
    if (plat_write(out, p, n) != 0)
        fail_output();
}

// A block at a time: archives and payloads may be large.
void append_file(FILE *out, const std::string &path, uint64_t from, uint64_t length)
{
    File in = open_at(path, from);
    static char buf[1 << 16];
    size_t n;
    const bool to_end = length == UINT64_MAX;
    while (length > 0 &&
           (n = fread(buf, 1, size_t(std::min<uint64_t>(sizeof buf, length)), in.get())) > 0) {
        put(out, buf, n);
        length -= n;
    }
    if (ferror(in.get()))
        fail(path + ": " + _("read error"));
    if (!to_end && length > 0)
        fail(path + ": " + _("changed while it was packed"));
}

static const char *kind_of(fs::file_type t)
{
    switch (t) {
    case fs::file_type::directory: return _("a folder");
    case fs::file_type::fifo: return _("a FIFO");
    case fs::file_type::socket: return _("a socket");
    case fs::file_type::block:
    case fs::file_type::character: return _("a device");
    default: return _("not a regular file");
    }
}

// Where writing path lands: symbolic links are followed to what they name,
// so that a link stays a link, and what is there must be a regular file or
// nothing (a device or a FIFO replaced by a file breaks the system).
static std::string output_target(const std::string &path)
{
    fs::path p = path_from_native(path);
    for (int hops = 0;; hops++) {
        std::error_code ec;
        fs::file_status st = fs::symlink_status(p, ec);
        if (!fs::exists(st))
            return native_from_path(p);  // created; any other trouble shows then
        if (fs::is_regular_file(st))
            return native_from_path(p);
        if (!fs::is_symlink(st))
            fail(format(_("%s: exists and is %s, which is not replaced"), path.c_str(),
                        kind_of(st.type())));
        if (hops == 40)
            fail(path + ": " + _("too many levels of symbolic links"));
        fs::path to = fs::read_symlink(p, ec);
        if (ec)
            fail(path + ": " + ec.message());
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
}

TempOutput::TempOutput(const std::string &final_path) : final_(output_target(final_path))
{
    char name[PATH_BUFFER_SIZE];
    plat_hold_interrupts(1);
    file_ = plat_create_temp((final_ + ".").c_str(), name, sizeof name);
    int e = errno;
    if (file_ != nullptr)
        plat_remove_on_interrupt(name);
    plat_hold_interrupts(0);
    errno = e;
    if (file_ == nullptr)
        fail_errno(final_);
    temp_ = name;
    // Writes go straight to the system, each with its own error.
    setvbuf(file_, NULL, _IONBF, 0);
}

TempOutput::~TempOutput()
{
    if (done_)
        return;
    if (file_ != nullptr)
        fclose(file_);
    plat_remove(temp_.c_str());
    plat_remove_on_interrupt(NULL);
}

void TempOutput::write_pe_checksum()
{
    // Read back through a handle of its own: what was written is whole,
    // and the checksum is summed with its own field counted as zero.
    File in = open_at(temp_);
    std::vector<unsigned char> block(1 << 20);
    PeSigning fields;
    uint32_t sum = 0;
    uint64_t size = 0;
    for (size_t n; (n = fread(block.data(), 1, block.size(), in.get())) > 0; size += n) {
        if (size == 0 && !pe_signing(block.data(), n, &fields))
            return;  // not a PE image: nothing to mend
        for (uint64_t at = fields.checksum_at; at < uint64_t(fields.checksum_at) + 4; at++)
            if (at >= size && at < size + n)
                block[size_t(at - size)] = 0;
        sum = pe_checksum_add(sum, block.data(), n);
    }
    if (ferror(in.get()))
        fail_errno(temp_);
    unsigned char field[4];
    put_le32(field, pe_checksum_end(sum, size));
    if (plat_seek(file_, fields.checksum_at, SEEK_SET) != 0)
        fail_output();
    put(file_, field, sizeof field);
    if (plat_seek(file_, 0, SEEK_END) != 0)
        fail_output();
}

void TempOutput::commit()
{
    FILE *f = file_;
    file_ = nullptr;
    if (plat_close_written(f) != 0)
        fail_output();
    if (plat_replace_file(temp_.c_str(), final_.c_str()) != 0)
        fail_errno(final_);
    done_ = true;
    plat_remove_on_interrupt(NULL);
}

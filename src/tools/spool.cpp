#include "spool.h"

#include "mkinstaller.h"
#include "platform/platform.h"

Spool::Spool() : file_(plat_create_spool())
{
    if (file_ == nullptr)
        fail_errno(_("a temporary file for the members to encode again"));
}

Spool::~Spool()
{
    fclose(file_);
}

bool Spool::append(const unsigned char *p, size_t n)
{
    if (fwrite(p, 1, n, file_) != n)
        return false;
    size_ += n;
    return true;
}

bool Spool::read(uint64_t at, unsigned char *p, size_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reading_ && fflush(file_) != 0)
        return false;
    reading_ = true;
    return plat_seek(file_, int64_t(at), SEEK_SET) == 0 && fread(p, 1, n, file_) == n;
}

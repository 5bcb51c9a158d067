// A build without the LZMA encoder: -m xz is refused.
#include "solid.h"

#include "mkinstaller.h"

bool solid_available()
{
    return false;
}

uint64_t write_solid(FILE *, const std::vector<ArchiveEntry> &, bool, int, bool)
{
    fail(_("-m xz: this build of mkinstaller has no LZMA encoder"));
}

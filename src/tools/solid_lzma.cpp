// The solid payload, encoded by liblzma.
#include "solid.h"

#include <errno.h>
#include <lzma.h>

#include <algorithm>
#include <vector>

#include "lzh/header.h"
#include "mkinstaller.h"
#include "names/winname.h"
#include "platform/platform.h"
#include "progress.h"

bool solid_available()
{
    return true;
}

const SolidLevel SOLID_DEFAULT = {9, 64 << 20, 2};
const SolidLevel SOLID_BEST = {9 | LZMA_PRESET_EXTREME, 128 << 20, 1};

uint64_t solid_block_size(const SolidLevel &level, uint64_t size)
{
    uint64_t share = (size + level.blocks_at_least - 1) / level.blocks_at_least;
    return std::clamp(share, level.dictionary, SOLID_BLOCK_DICTIONARIES_MAX * level.dictionary);
}

// LZMA's literal context bits and position bits, by what the product
// mostly is. x86 code keeps no 4-byte rhythm and its literals follow the
// byte before less than text's do: Wine's DLLs come out 0.43% smaller with
// lc 2 and pb 0 (--best). Text and data keep liblzma's lc 3 and pb 2:
// Python's library is 0.6% larger with those of code.
static const struct {
    uint32_t lc, pb;
} LZMA_CONTEXT[] = {{3, 2}, {2, 0}};  // by whether programs are the most of it

// Whether Windows programs (data starting "MZ") are more than half the
// bytes of the stored archive at the start of f, which is left there.
static bool mostly_programs(FILE *f)
{
    static LzhMember m;
    LzhInput in = lzh_file_input(f);
    uint64_t programs = 0, all = 0;
    while (lzh_read_header(&in, &m, cp932_is_lead_byte) == LZH_OK) {
        unsigned char head[2] = {0, 0};
        uint64_t read = m.is_dir ? 0 : lzh_read(&in, head, std::min<uint64_t>(2, m.packed));
        if (lzh_skip(&in, m.packed - read) != 0)
            break;
        all += m.original;
        if (head[0] == 'M' && head[1] == 'Z')
            programs += m.original;
    }
    if (plat_seek(f, 0, SEEK_SET) != 0)
        fail_errno(_("temporary file"));
    return programs > all / 2;
}

// As many threads as asked, as there are blocks, and as fit in memory:
// each takes some 0.9 GiB with the default dictionary (up to 2.4 GiB with
// --best's).
static uint32_t solid_threads(lzma_mt *mt, uint64_t size, int asked)
{
    uint64_t blocks = std::max<uint64_t>(1, (size + mt->block_size - 1) / mt->block_size);
    uint64_t room = 0;
    plat_memory_room(&room);
    uint32_t threads = uint32_t(std::min<uint64_t>(std::max(asked, 1), blocks));
    for (; threads > 1; threads--) {
        mt->threads = threads;
        if (lzma_stream_encoder_mt_memusage(mt) <= room)
            break;
    }
    return threads;
}

uint64_t write_solid(FILE *out, const std::vector<ArchiveEntry> &entries, bool best, int threads,
                     bool progress_shown)
{
    // The archive first, stored, into a spool; then the spool through the
    // encoder.
    std::unique_ptr<FILE, int (*)(FILE *)> archive(plat_create_spool(), fclose);
    if (!archive)
        fail_errno(_("temporary file"));
    const uint64_t size = write_archive(archive.get(), entries, 0, false, threads, false);
    if (fflush(archive.get()) != 0 || plat_seek(archive.get(), 0, SEEK_SET) != 0)
        fail_errno(_("temporary file"));

    const SolidLevel &level = best ? SOLID_BEST : SOLID_DEFAULT;
    lzma_options_lzma options;
    lzma_lzma_preset(&options, level.preset);
    const auto &context = LZMA_CONTEXT[mostly_programs(archive.get())];
    options.lc = context.lc;
    options.pb = context.pb;
    // No larger than the archive: the extractor allocates what the stream
    // names, and a larger window finds nothing more.
    options.dict_size =
        uint32_t(std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min(level.dictionary, size)));
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, NULL}};
    lzma_mt mt = {};
    mt.block_size = solid_block_size(level, size);
    mt.filters = filters;
    mt.check = LZMA_CHECK_CRC32;
    mt.threads = solid_threads(&mt, size, threads);
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_stream_encoder_mt(&s, &mt) != LZMA_OK)
        fail(_("the LZMA encoder could not start: too little memory"));
    std::unique_ptr<lzma_stream, void (*)(lzma_stream *)> end(&s, lzma_end);

    PackingProgress progress(stderr, progress_shown && plat_is_terminal(stderr), entries.size(),
                             size);
    std::vector<uint8_t> in(1 << 20), buffer(1 << 20);
    lzma_action action = LZMA_RUN;
    for (;;) {
        if (s.avail_in == 0 && action == LZMA_RUN) {
            size_t n = fread(in.data(), 1, in.size(), archive.get());
            if (ferror(archive.get()))
                fail_errno(_("temporary file"));
            s.next_in = in.data();
            s.avail_in = n;
            progress.bytes_done(n);
            if (n == 0)
                action = LZMA_FINISH;
        }
        s.next_out = buffer.data();
        s.avail_out = buffer.size();
        lzma_ret r = lzma_code(&s, action);
        put(out, buffer.data(), buffer.size() - s.avail_out);
        if (r == LZMA_STREAM_END)
            return size;
        if (r != LZMA_OK)
            fail(_("the LZMA encoder failed: too little memory"));
    }
}

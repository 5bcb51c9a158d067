// The solid payload, encoded by liblzma.
#include "solid.h"

#include <errno.h>
#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "lzh/header.h"
#include "mkinstaller.h"
#include "names/winname.h"
#include "platform/platform.h"
#include "progress.h"
#include "sfx/solid.h"

bool solid_available()
{
    return true;
}

const SolidLevel SOLID_DEFAULT = {9, SOLID_DEFAULT_DICTIONARY, 2, 1, 100};
const SolidLevel SOLID_BEST = {9 | LZMA_PRESET_EXTREME, 128 << 20, 1, 2, 62};

// The size of the blocks of an archive of `size` bytes at a level.
static uint64_t solid_block_size(const SolidLevel &level, uint64_t size)
{
    uint64_t share = (size + level.blocks_at_least - 1) / level.blocks_at_least;
    return std::clamp(share, level.dictionary, SOLID_BLOCK_DICTIONARIES_MAX * level.dictionary);
}

// The ends of a block's n pieces (of `length` bytes) that take about the
// same time: a piece after the first hashes its window before it encodes,
// each byte of it costing window_cost percent of a byte encoded, so each
// takes the same `work` less its window's share.
static std::vector<uint64_t> balanced_ends(const SolidLevel &level, uint64_t length, uint64_t n,
                                           uint64_t dictionary)
{
    std::vector<uint64_t> ends;
    auto covers = [&](uint64_t work) {
        ends.clear();
        for (uint64_t at = 0; ends.size() < n;) {
            uint64_t hashing = std::min(dictionary, at) * level.window_cost / 100;
            at = std::min(length, at + (work > hashing ? work - hashing : 0));
            ends.push_back(at);
        }
        return ends.back() == length;
    };
    // The least work that covers the block.
    uint64_t low = (length + n - 1) / n, high = length;
    while (low < high) {
        uint64_t mid = low + (high - low) / 2;
        if (covers(mid))
            high = mid;
        else
            low = mid + 1;
    }
    covers(low);
    return ends;
}

std::vector<SolidPiece> solid_pieces(const SolidLevel &level, uint64_t size, uint64_t dictionary)
{
    std::vector<SolidPiece> pieces;
    const uint64_t block = solid_block_size(level, size);
    for (uint64_t at = 0; at < size || pieces.empty(); at += block) {
        const uint64_t length = std::min(size - at, block);
        // As many pieces as the level asks, none under SOLID_PIECE_MIN.
        std::vector<uint64_t> ends;
        for (uint64_t n = level.pieces_per_block; n > 0; n--) {
            ends = balanced_ends(level, length, n, dictionary);
            uint64_t shortest = ends[0];
            for (size_t i = 1; i < ends.size(); i++)
                shortest = std::min(shortest, ends[i] - ends[i - 1]);
            if (shortest >= SOLID_PIECE_MIN)
                break;
        }
        for (uint64_t i = 0, start = 0; i < ends.size(); start = ends[i++]) {
            SolidPiece piece;
            piece.start = at + start;
            piece.end = at + ends[i];
            piece.window = std::min(dictionary, start);
            piece.ends_block = i + 1 == ends.size();
            pieces.push_back(piece);
        }
    }
    return pieces;
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

// The stored archive, which threads read at once, and the progress its
// reading makes.
struct SolidSource {
    FILE *archive;
    PackingProgress *progress;
    std::mutex lock;

    bool read(uint64_t at, uint8_t *p, size_t n, bool counted)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (plat_seek(archive, int64_t(at), SEEK_SET) != 0 || fread(p, 1, n, archive) != n)
            return false;
        if (counted)
            progress->bytes_done(n);
        return true;
    }
};

// One piece's LZMA2 chunks, in a file of their own until all are done.
struct PieceOutput {
    std::unique_ptr<FILE, int (*)(FILE *)> file{nullptr, fclose};
    uint64_t bytes = 0;
    enum { WAITING, DONE, NO_SPOOL, NO_READ, NO_START, FAILED } status = WAITING;
    int errnum = 0;
};

// A piece as raw LZMA2 (liblzma's end mark included), its encoder started
// from the window before it: LZMA2 then keeps the dictionary across the
// seam, so the block decodes as one stream.
static void encode_piece(SolidSource &source, const SolidPiece &piece,
                         const lzma_options_lzma &block_options, PieceOutput &out)
{
    out.bytes = 0;
    out.errnum = 0;
    out.file.reset(plat_create_spool());
    if (!out.file) {
        out.errnum = errno, out.status = PieceOutput::NO_SPOOL;
        return;
    }
    lzma_options_lzma options = block_options;
    lzma_stream s = LZMA_STREAM_INIT;
    std::unique_ptr<lzma_stream, void (*)(lzma_stream *)> end(&s, lzma_end);
    {
        std::vector<uint8_t> window(piece.window);
        if (!source.read(piece.start - piece.window, window.data(), window.size(), false)) {
            out.errnum = errno, out.status = PieceOutput::NO_READ;
            return;
        }
        options.preset_dict = window.empty() ? NULL : window.data();
        options.preset_dict_size = uint32_t(window.size());
        lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, NULL}};
        // The encoder takes its own copy of the window here.
        if (lzma_raw_encoder(&s, filters) != LZMA_OK) {
            out.status = PieceOutput::NO_START;
            return;
        }
    }
    std::vector<uint8_t> in(1 << 20), buffer(1 << 20);
    uint64_t at = piece.start;
    for (lzma_action action = LZMA_RUN;;) {
        if (s.avail_in == 0 && action == LZMA_RUN) {
            size_t n = size_t(std::min<uint64_t>(in.size(), piece.end - at));
            if (!source.read(at, in.data(), n, true)) {
                out.errnum = errno, out.status = PieceOutput::NO_READ;
                return;
            }
            at += n;
            s.next_in = in.data();
            s.avail_in = n;
            if (at == piece.end)
                action = LZMA_FINISH;
        }
        s.next_out = buffer.data();
        s.avail_out = buffer.size();
        lzma_ret r = lzma_code(&s, action);
        size_t n = buffer.size() - s.avail_out;
        if (fwrite(buffer.data(), 1, n, out.file.get()) != n) {
            out.errnum = errno, out.status = PieceOutput::NO_SPOOL;
            return;
        }
        out.bytes += n;
        if (r == LZMA_STREAM_END)
            break;
        if (r != LZMA_OK) {
            out.status = PieceOutput::FAILED;
            return;
        }
    }
    out.status = fflush(out.file.get()) == 0 && plat_seek(out.file.get(), 0, SEEK_SET) == 0
                     ? PieceOutput::DONE
                     : (out.errnum = errno, PieceOutput::NO_SPOOL);
}

// As many threads as asked, as there are pieces, and as fit in memory:
// each takes some 0.7 GiB with the default dictionary and 1.4 GiB with
// --best's, and a window's copy while it starts.
static unsigned solid_threads(const lzma_options_lzma &options, size_t pieces, int asked)
{
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, const_cast<lzma_options_lzma *>(&options)},
                             {LZMA_VLI_UNKNOWN, NULL}};
    const uint64_t each = lzma_raw_encoder_memusage(filters) + options.dict_size + (4 << 20);
    uint64_t room = 0;
    plat_memory_room(&room);
    uint64_t threads = std::min<uint64_t>(std::max(asked, 1), pieces);
    while (threads > 1 && threads * each > room)
        threads--;
    return unsigned(threads);
}

// Copies n bytes of a finished piece's file to out.
static void copy_piece(FILE *out, PieceOutput &piece, uint64_t n)
{
    std::vector<uint8_t> buffer(1 << 20);
    for (uint64_t left = n; left > 0;) {
        size_t step = size_t(std::min<uint64_t>(buffer.size(), left));
        if (fread(buffer.data(), 1, step, piece.file.get()) != step)
            fail_errno(_("temporary file"));
        put(out, buffer.data(), step);
        left -= step;
    }
}

// The CRC32 of archive bytes [start, end).
static uint32_t archive_crc32(SolidSource &source, uint64_t start, uint64_t end)
{
    std::vector<uint8_t> buffer(1 << 20);
    uint32_t crc = 0;
    for (uint64_t at = start; at < end;) {
        size_t n = size_t(std::min<uint64_t>(buffer.size(), end - at));
        if (!source.read(at, buffer.data(), n, false))
            fail_errno(_("temporary file"));
        crc = lzma_crc32(buffer.data(), n, crc);
        at += n;
    }
    return crc;
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
    const std::vector<SolidPiece> pieces = solid_pieces(level, size, options.dict_size);

    // Threads take the pieces in order, each into a file of its own.
    std::vector<PieceOutput> outputs(pieces.size());
    {
        PackingProgress progress(stderr, progress_shown && plat_is_terminal(stderr),
                                 entries.size(), size);
        SolidSource source{archive.get(), &progress, {}};
        std::atomic<size_t> next{0};
        std::atomic<bool> failed{false};
        // A thread whose encoder finds no memory beside the others' leaves
        // its piece for later and stops.
        auto work = [&] {
            for (size_t i; !failed && (i = next++) < pieces.size();) {
                encode_piece(source, pieces[i], options, outputs[i]);
                if (outputs[i].status == PieceOutput::NO_START)
                    break;
                if (outputs[i].status != PieceOutput::DONE)
                    failed = true;
            }
        };
        std::vector<std::thread> helpers;
        const unsigned count = solid_threads(options, pieces.size(), threads);
        try {
            for (unsigned i = 1; i < count; i++)
                helpers.emplace_back(work);
        } catch (const std::system_error &) {
            // Fewer threads, the same bytes.
        }
        work();
        for (auto &t : helpers)
            t.join();
        // What is left, one piece at a time: fewer threads, the same bytes.
        for (size_t i = 0; i < pieces.size() && !failed; i++)
            if (outputs[i].status != PieceOutput::DONE) {
                encode_piece(source, pieces[i], options, outputs[i]);
                failed = outputs[i].status != PieceOutput::DONE;
            }
    }
    for (const PieceOutput &piece : outputs) {
        errno = piece.errnum;
        if (piece.status == PieceOutput::NO_SPOOL || piece.status == PieceOutput::NO_READ)
            fail_errno(_("temporary file"));
        if (piece.status == PieceOutput::NO_START)
            fail(_("the LZMA encoder could not start: too little memory"));
        if (piece.status != PieceOutput::DONE)
            fail(_("the LZMA encoder failed: too little memory"));
    }

    // The .xz container (its format's stream header, blocks, index and
    // footer), by liblzma's coders of each part.
    SolidSource source{archive.get(), nullptr, {}};
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, NULL}};
    lzma_stream_flags flags = {};
    flags.check = LZMA_CHECK_CRC32;
    uint8_t head[LZMA_STREAM_HEADER_SIZE];
    if (lzma_stream_header_encode(&flags, head) != LZMA_OK)
        fail(_("the LZMA encoder failed: too little memory"));
    put(out, head, sizeof head);
    auto end_index = [](lzma_index *i) { lzma_index_end(i, NULL); };
    std::unique_ptr<lzma_index, decltype(end_index)> index(lzma_index_init(NULL), end_index);
    for (size_t first = 0, last; first < pieces.size(); first = last + 1) {
        uint64_t packed = 0;
        for (last = first;; last++) {
            // A piece before another of its block leaves its end mark off.
            packed += outputs[last].bytes - !pieces[last].ends_block;
            if (pieces[last].ends_block)
                break;
        }
        lzma_block block = {};
        block.check = LZMA_CHECK_CRC32;
        block.filters = filters;
        block.compressed_size = packed;
        block.uncompressed_size = pieces[last].end - pieces[first].start;
        uint8_t header[LZMA_BLOCK_HEADER_SIZE_MAX];
        if (!index || lzma_block_header_size(&block) != LZMA_OK ||
            lzma_block_header_encode(&block, header) != LZMA_OK)
            fail(_("the LZMA encoder failed: too little memory"));
        put(out, header, block.header_size);
        for (size_t i = first; i <= last; i++)
            copy_piece(out, outputs[i], outputs[i].bytes - !pieces[i].ends_block);
        uint32_t crc = archive_crc32(source, pieces[first].start, pieces[last].end);
        const uint8_t tail[7] = {0, 0, 0, uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16),
                                 uint8_t(crc >> 24)};
        size_t padding = (4 - packed % 4) % 4;
        put(out, tail + 3 - padding, padding + 4);
        if (lzma_index_append(index.get(), NULL, lzma_block_unpadded_size(&block),
                               block.uncompressed_size) != LZMA_OK)
            fail(_("the LZMA encoder failed: too little memory"));
    }
    std::vector<uint8_t> encoded(lzma_index_size(index.get()));
    size_t at = 0;
    if (lzma_index_buffer_encode(index.get(), encoded.data(), &at, encoded.size()) != LZMA_OK)
        fail(_("the LZMA encoder failed: too little memory"));
    put(out, encoded.data(), encoded.size());
    flags.backward_size = encoded.size();
    uint8_t foot[LZMA_STREAM_HEADER_SIZE];
    if (lzma_stream_footer_encode(&flags, foot) != LZMA_OK)
        fail(_("the LZMA encoder failed: too little memory"));
    put(out, foot, sizeof foot);
    return size;
}

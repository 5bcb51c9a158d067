#include "piece_pipeline.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "lzh/crc16.h"
#include "lzh/encode/encode.h"
#include "lzh/header.h"
#include "lzh/header_writer.h"
#include "lzh/methods.h"
#include "mkinstaller.h"
#include "platform/platform.h"
#include "progress.h"

const char *method_name(int window_bits)
{
    const struct LzhMethod *m = lzh_method_of_bits(window_bits);
    return m != NULL && m->packer_writes ? m->name : "-lh0-";
}

std::string level2_header(const ArchiveEntry &e, int method, uint64_t packed, uint64_t original,
                          uint16_t crc, bool wide)
{
    std::string dirs;
    size_t ndirs = e.is_dir ? e.path.size() : e.path.size() - 1;
    for (size_t i = 0; i < ndirs; i++)
        dirs += e.path[i] + LZH_SEP;
    LzhHeaderFields f{};
    f.method = e.is_dir ? "-lhd-" : method_name(method);
    f.packed = packed;
    f.original = original;
    f.mtime = e.mtime;
    f.crc = crc;
    if (!e.is_dir) {
        f.name = e.path.back().data();
        f.name_length = e.path.back().size();
    }
    f.dirs = dirs.data();
    f.dirs_length = dirs.size();
    f.wide = wide;
    unsigned char h[LZH2_MAX_SIZE];
    size_t n = lzh_write_level2(h, sizeof h, &f);
    if (n == 0)
        fail(e.source + ": " + _("its name is too long for an LZH header"));
    return std::string(reinterpret_cast<const char *>(h), n);
}

static int write_to_output(void *ctx, const unsigned char *p, size_t n)
{
    return plat_write(static_cast<FILE *>(ctx), p, n);
}

static int append_to(void *ctx, const unsigned char *p, size_t n)
{
    static_cast<std::vector<unsigned char> *>(ctx)->insert(
        static_cast<std::vector<unsigned char> *>(ctx)->end(), p, p + n);
    return 0;
}

static std::string changed(const std::string &source)
{
    return source + ": " + _("changed while it was packed");
}

static const char SPOOL_NAME[] = N_("the temporary file of the members to encode again");

// A member's bytes as they are, with their CRC: a file's, or a spooled
// member's.
static uint64_t store(FILE *out, const ArchiveEntry &e, uint16_t *crc)
{
    static unsigned char buf[1 << 16];
    uint64_t size = 0;
    *crc = 0;
    if (e.from == ArchiveEntry::From::SPOOLED) {
        for (size_t n; size < e.original; size += n) {
            n = size_t(std::min<uint64_t>(sizeof buf, e.original - size));
            if (!e.spool->read(e.data_at + size, buf, n))
                fail_errno(_(SPOOL_NAME));
            *crc = crc16_update(*crc, buf, n);
            put(out, buf, n);
        }
        return size;
    }
    File in = open_at(e.source);
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) {
        *crc = crc16_update(*crc, buf, n);
        size += n;
        put(out, buf, n);
    }
    if (ferror(in.get()))
        fail(e.source + ": " + _("read error"));
    return size;
}

static void seek_output(FILE *out, int64_t at, int whence)
{
    if (plat_seek(out, at, whence) != 0)
        fail_output();
}

// A piece of a member's data (LZH_PIECE bytes, the last one shorter) and,
// once some thread has encoded it, its bits and its CRC.
struct Piece {
    size_t member = 0;
    uint64_t offset = 0;
    size_t length = 0;
    bool last = false;
    std::vector<unsigned char> packed;
    LzhPiece bits{};
    uint16_t crc = 0;
    std::string failure;
    bool ready = false;
};

// Reads the piece with the history before it into data, from the member's
// file or the spool; a failure goes to p.failure. The member's size was
// taken when the pieces were planned: a file that has since grown or shrunk
// is reported, not packed half old and half new.
static void read_piece(const ArchiveEntry &e, Piece &p, size_t history,
                       std::vector<unsigned char> &data)
{
    if (e.from == ArchiveEntry::From::SPOOLED) {
        if (!e.spool->read(e.data_at + p.offset - history, data.data(), data.size()))
            p.failure = std::string(_(SPOOL_NAME)) + ": " + strerror(errno ? errno : EIO);
        return;
    }
    FILE *in = plat_open_read(e.source.c_str());
    if (in == NULL) {
        p.failure = e.source + ": " + strerror(errno);
        return;
    }
    if (plat_seek(in, int64_t(p.offset - history), SEEK_SET) != 0) {
        p.failure = e.source + ": " + strerror(errno);
    } else if (fread(data.data(), 1, data.size(), in) != data.size()) {
        p.failure = ferror(in) ? e.source + ": " + _("read error") : changed(e.source);
    } else if (p.last && fgetc(in) != EOF) {
        p.failure = changed(e.source);
    }
    fclose(in);
}

static void encode_piece(const ArchiveEntry &e, int window_bits, bool best, Piece &p)
{
    size_t history = lzh_history(window_bits, p.offset);
    std::vector<unsigned char> data(history + p.length);
    read_piece(e, p, history, data);
    if (!p.failure.empty())
        return;
    p.crc = crc16_update(0, data.data() + history, p.length);
    errno = 0;
    LzhStatus s = lzh_encode_piece(data.data(), history, p.length, window_bits, best, append_to,
                                   &p.packed, &p.bits);
    if (s != LZH_OK)
        p.failure = e.source + ": " + _(lzh_status_text(s, errno));
}

// Every file's pieces, in archive order; a file of 0 bytes has one piece.
static std::vector<Piece> plan(const std::vector<ArchiveEntry> &entries,
                               const std::vector<uint64_t> &sizes)
{
    std::vector<Piece> pieces;
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i].is_dir || entries[i].from == ArchiveEntry::From::KEPT)
            continue;
        uint64_t size = sizes[i];
        uint64_t at = 0;
        do {
            Piece p;
            p.member = i;
            p.offset = at;
            p.length = size_t(std::min<uint64_t>(size - at, LZH_PIECE));
            at += p.length;
            p.last = at == size;
            pieces.push_back(std::move(p));
        } while (at < size);
    }
    return pieces;
}

// Pieces encoded ahead of the writer by worker threads and handed over in
// order, at most `ahead` of them waiting in memory; with no workers, each is
// encoded when it is taken. The bytes are the same either way.
class PiecePipeline {
public:
    PiecePipeline(const std::vector<ArchiveEntry> &entries, std::vector<Piece> &pieces,
             int window_bits, bool best, int threads)
        : entries_(entries), pieces_(pieces), bits_(window_bits), best_(best),
          ahead_(size_t(threads) * 2)
    {
        crc16_update(0, NULL, 0);  // its table, made once before any thread reads it
        for (int i = 0; threads > 1 && i < threads; i++)
            workers_.emplace_back([this] { work(); });
    }

    ~PiecePipeline()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread &t : workers_)
            t.join();
    }

    Piece &take(size_t i)
    {
        if (workers_.empty()) {
            encode_piece(entries_[pieces_[i].member], bits_, best_, pieces_[i]);
            return pieces_[i];
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return pieces_[i].ready; });
        taken_ = i + 1;
        changed_.notify_all();
        return pieces_[i];
    }

private:
    void work()
    {
        for (;;) {
            size_t i;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stop_ || (next_ < pieces_.size() && next_ < taken_ + ahead_);
                });
                if (stop_)
                    return;
                i = next_++;
            }
            Piece p = pieces_[i];  // the plan's fields; the slot is written once, below
            encode_piece(entries_[p.member], bits_, best_, p);
            std::lock_guard<std::mutex> lock(mutex_);
            pieces_[i] = std::move(p);
            pieces_[i].ready = true;
            changed_.notify_all();
        }
    }

    const std::vector<ArchiveEntry> &entries_;
    std::vector<Piece> &pieces_;
    int bits_;
    bool best_;
    size_t ahead_, next_ = 0, taken_ = 0;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> workers_;
};

// Writes a placeholder header, the member's pieces joined, then the real
// header over the placeholder. A file that does not shrink, or any file when
// nothing is compressed, is stored instead, read again, and must still have
// the CRC its pieces had; what the longer compressed attempt left behind is
// overwritten by what follows, or cut off at the end of the archive.
static void write_file(FILE *out, const ArchiveEntry &e, uint64_t size, int window_bits,
                       PiecePipeline &pipeline, size_t &next, PackingProgress &progress)
{
    int64_t header_at = plat_tell(out);
    if (header_at < 0)
        fail_output();
    // Nothing is stored larger than the file: its size decides the width.
    bool wide = size > 0xFFFFFFFFu;
    std::string header = level2_header(e, window_bits, 0, 0, 0, wide);
    put(out, header.data(), header.size());

    uint64_t original = 0, packed = 0;
    uint16_t crc = 0;
    if (window_bits != 0) {
        auto join = std::make_unique<LzhJoin>();
        lzh_join_init(join.get(), write_to_output, out);
        for (bool last = false; !last; next++) {
            Piece &p = pipeline.take(next);
            if (!p.failure.empty())
                fail(p.failure);
            if (lzh_join_bytes(join.get(), p.packed.data(), p.packed.size()) != LZH_OK ||
                lzh_join_bits(join.get(), p.bits.tail, p.bits.tail_bits) != LZH_OK)
                fail_output();
            crc = crc16_combine(crc, p.crc, p.length);
            original += p.length;
            progress.bytes_done(p.length);
            last = p.last;
            std::vector<unsigned char>().swap(p.packed);
        }
        if (lzh_join_finish(join.get()) != LZH_OK)
            fail_output();
        packed = join->packed;
    }
    int method = window_bits;
    if (window_bits == 0 || packed >= original) {
        method = 0;
        seek_output(out, header_at + int64_t(header.size()), SEEK_SET);
        uint16_t stored_crc;
        packed = store(out, e, &stored_crc);
        if (window_bits == 0)
            progress.bytes_done(packed);
        if ((window_bits != 0 && (packed != original || stored_crc != crc)) || packed != size)
            fail(changed(e.source));
        original = packed;
        crc = stored_crc;
    }
    int64_t end = plat_tell(out);
    if (end < 0)
        fail_output();
    std::string final_header = level2_header(e, method, packed, original, crc, wide);
    seek_output(out, header_at, SEEK_SET);
    put(out, final_header.data(), final_header.size());
    seek_output(out, end, SEEK_SET);
}

// A member of another archive in a method the extractor reads goes in as
// it was: its data verified, its header rewritten in the packer's form.
static void write_kept(FILE *out, const ArchiveEntry &e)
{
    std::string header = level2_header(e, e.kept_bits, e.packed, e.original, e.crc,
                                       e.original > 0xFFFFFFFFu || e.packed > 0xFFFFFFFFu);
    put(out, header.data(), header.size());
    append_file(out, e.source, e.data_at, e.packed);
}

uint64_t write_archive(FILE *out, const std::vector<ArchiveEntry> &entries, int window_bits,
                       bool best, int threads, bool progress_shown)
{
    int64_t start = plat_tell(out);
    if (start < 0)
        fail_output();
    std::vector<uint64_t> sizes(entries.size());
    for (size_t i = 0; i < entries.size(); i++)
        if (!entries[i].is_dir)
            sizes[i] = entries[i].from == ArchiveEntry::From::FILE
                           ? regular_file_size(entries[i].source) : entries[i].original;
    std::vector<Piece> pieces;
    if (window_bits != 0)
        pieces = plan(entries, sizes);
    uint64_t files = 0, bytes = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        files += !entries[i].is_dir;
        bytes += sizes[i];
    }
    // Made before the threads and gone after them: a failure clears the
    // line before it is reported.
    PackingProgress progress(stderr, progress_shown && plat_is_terminal(stderr), files, bytes);
    PiecePipeline pipeline(entries, pieces, window_bits, best, threads);
    size_t next = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i].is_dir) {
            std::string h = level2_header(entries[i], 0, 0, 0, 0);
            put(out, h.data(), h.size());
            continue;
        }
        if (entries[i].from == ArchiveEntry::From::KEPT) {
            write_kept(out, entries[i]);
            progress.bytes_done(entries[i].original);
        } else {
            write_file(out, entries[i], sizes[i], window_bits, pipeline, next, progress);
        }
        progress.file_done();
    }
    put(out, "", 1);  // the end mark
    int64_t end = plat_tell(out);
    if (end < 0 || plat_truncate(out, end) != 0)
        fail_output();
    return uint64_t(end - start);
}

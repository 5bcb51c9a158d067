#include "archive_writer.h"

#include <errno.h>
#include <string.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "lzh/crc16.h"
#include "lzh/encode.h"
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

const char *method_name(int window_bits)
{
    switch (window_bits) {
    case 13: return "-lh5-";
    case 15: return "-lh6-";
    case 16: return "-lh7-";
    default: return "-lh0-";
    }
}

std::string level2_header(const ArchiveEntry &e, int method, uint32_t packed, uint32_t original,
                          uint16_t crc)
{
    std::string h;
    put16(h, 0);  // total size, filled in below
    h += e.is_dir ? "-lhd-" : method_name(method);
    put32(h, packed);
    put32(h, original);
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

static int write_to_output(void *ctx, const unsigned char *p, size_t n)
{
    return plat_write(static_cast<FILE *>(ctx), p, n);
}

// The file's bytes as they are, with their CRC.
static uint64_t store(FILE *out, FILE *in, const std::string &source, uint16_t *crc)
{
    static unsigned char buf[1 << 16];
    uint64_t size = 0;
    size_t n;
    *crc = 0;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) {
        *crc = crc16_update(*crc, buf, n);
        size += n;
        put(out, buf, n);
    }
    if (ferror(in))
        fail(source + ": read error");
    return size;
}

static void seek_output(FILE *out, int64_t at, int whence)
{
    if (plat_seek(out, at, whence) != 0)
        fail_errno("output");
}

// Writes a placeholder header, the data (compressed, or stored if that does
// not shrink it) with its CRC computed on the way, then the real header over
// the placeholder: each file is read once, or twice when it is stored after
// all. What a longer compressed attempt left behind is overwritten by what
// follows, or cut off at the end of the archive.
static void write_file(FILE *out, const ArchiveEntry &e, int window_bits, bool best)
{
    File in = open_at(e.source);
    int64_t header_at = plat_tell(out);
    if (header_at < 0)
        fail_errno("output");
    std::string header = level2_header(e, window_bits, 0, 0, 0);
    put(out, header.data(), header.size());

    int method = window_bits;
    uint64_t packed = 0, original = 0;
    uint16_t crc = 0;
    if (method != 0) {
        LzhEncoded r;
        errno = 0;
        LzhStatus s = lzh_encode(in.get(), method, best, write_to_output, out, &r);
        if (s == LZH_READ_ERROR)
            fail(e.source + ": " + lzh_status_text(s, errno));
        if (s != LZH_OK)
            fail("output: " + std::string(lzh_status_text(s, errno)));
        packed = r.packed;
        original = r.original;
        crc = r.crc;
        if (packed >= original) {
            method = 0;
            seek_output(out, header_at + int64_t(header.size()), SEEK_SET);
            if (plat_seek(in.get(), 0, SEEK_SET) != 0)
                fail_errno(e.source);
        }
    }
    if (method == 0) {
        original = packed = store(out, in.get(), e.source, &crc);
    }
    if (original > 0xFFFFFFFFu)
        fail(e.source + ": larger than 4 GiB, which a member can't hold");
    int64_t end = plat_tell(out);
    if (end < 0)
        fail_errno("output");
    std::string final_header = level2_header(e, method, uint32_t(packed), uint32_t(original), crc);
    seek_output(out, header_at, SEEK_SET);
    put(out, final_header.data(), final_header.size());
    seek_output(out, end, SEEK_SET);
}

// Members compressed ahead of the writer by other threads, each into a
// temporary file of its own, and handed over in archive order: the bytes
// are the same whatever the number of threads, and at most `ahead` members
// wait on disk at a time.
class Compressors {
public:
    struct Job {
        std::string temp;       // the packed data; empty if none was made
        LzhEncoded r{};
        std::string failure;
        bool ready = false;
    };

    Compressors(const std::vector<ArchiveEntry> &entries, int window_bits, bool best,
                const std::string &temp_prefix, int threads)
        : entries_(entries), bits_(window_bits), best_(best), prefix_(temp_prefix),
          jobs_(entries.size()),
          ahead_(size_t(threads) * 2)
    {
        crc16_update(0, NULL, 0);  // its table, made once before any thread reads it
        for (int i = 0; i < threads; i++)
            workers_.emplace_back([this] { work(); });
    }

    ~Compressors()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread &t : workers_)
            t.join();
        for (Job &j : jobs_)
            if (!j.temp.empty())
                remove(j.temp.c_str());
    }

    // Waits for member i; the caller removes its temporary file when done.
    Job &take(size_t i)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return jobs_[i].ready; });
        taken_ = i + 1;
        changed_.notify_all();
        return jobs_[i];
    }

private:
    void work()
    {
        for (;;) {
            size_t i;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stop_ || (next_ < jobs_.size() && next_ < taken_ + ahead_);
                });
                if (stop_)
                    return;
                i = next_++;
            }
            Job job;
            if (!entries_[i].is_dir)
                compress(entries_[i], job);
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_[i] = std::move(job);
            jobs_[i].ready = true;
            changed_.notify_all();
        }
    }

    void compress(const ArchiveEntry &e, Job &job)
    {
        FILE *in = fopen(e.source.c_str(), "rb");
        if (in == NULL) {
            job.failure = e.source + ": " + strerror(errno);
            return;
        }
        char name[PATH_BUFFER_SIZE];
        FILE *t = plat_create_temp(prefix_.c_str(), name, sizeof name);
        if (t == NULL) {
            job.failure = prefix_ + "...: " + strerror(errno);
            fclose(in);
            return;
        }
        job.temp = name;
        setvbuf(t, NULL, _IONBF, 0);
        errno = 0;
        LzhStatus s = lzh_encode(in, bits_, best_, write_to_output, t, &job.r);
        int errnum = errno;
        fclose(in);
        if (plat_close_written(t) != 0 && s == LZH_OK) {
            s = LZH_WRITE_ERROR;
            errnum = errno;
        }
        if (s == LZH_READ_ERROR)
            job.failure = e.source + ": " + lzh_status_text(s, errnum);
        else if (s != LZH_OK)
            job.failure = "output: " + std::string(lzh_status_text(s, errnum));
    }

    const std::vector<ArchiveEntry> &entries_;
    int bits_;
    bool best_;
    std::string prefix_;
    std::vector<Job> jobs_;
    size_t ahead_, next_ = 0, taken_ = 0;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> workers_;
};

// One member whose data another thread compressed: header, then its data,
// or the file itself when compressing did not shrink it.
static void write_compressed(FILE *out, const ArchiveEntry &e, int window_bits, Compressors::Job &job)
{
    if (!job.failure.empty())
        fail(job.failure);
    if (job.r.original > 0xFFFFFFFFu)
        fail(e.source + ": larger than 4 GiB, which a member can't hold");
    bool stored = job.r.packed >= job.r.original;
    uint64_t packed = stored ? job.r.original : job.r.packed;
    std::string h = level2_header(e, stored ? 0 : window_bits, uint32_t(packed),
                                  uint32_t(job.r.original), job.r.crc);
    put(out, h.data(), h.size());
    uint16_t crc = 0;
    uint64_t n = store(out, open_at(stored ? e.source : job.temp).get(), e.source, &crc);
    if (n != packed || (stored && crc != job.r.crc))
        fail(e.source + ": changed while it was packed");
    remove(job.temp.c_str());
    job.temp.clear();
}

void write_archive(FILE *out, const std::vector<ArchiveEntry> &entries, int window_bits,
                   bool best, const std::string &temp_prefix, int threads)
{
    std::unique_ptr<Compressors> pool;
    if (window_bits != 0 && threads > 1 && !temp_prefix.empty())
        pool = std::make_unique<Compressors>(entries, window_bits, best, temp_prefix, threads);
    for (size_t i = 0; i < entries.size(); i++) {
        const ArchiveEntry &e = entries[i];
        if (e.is_dir) {
            std::string h = level2_header(e, 0, 0, 0, 0);
            put(out, h.data(), h.size());
            if (pool)
                pool->take(i);
        } else if (pool) {
            write_compressed(out, e, window_bits, pool->take(i));
        } else {
            write_file(out, e, window_bits, best);
        }
    }
    put(out, "", 1);  // the end mark
    int64_t end = plat_tell(out);
    if (end < 0 || plat_truncate(out, end) != 0)
        fail_errno("output");
}

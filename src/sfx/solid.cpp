#include "solid.h"

#include <stddef.h>
#include <string.h>

int solid_at(FILE *in)
{
    unsigned char head[XZ_MAGIC_SIZE];
    int64_t at = plat_tell(in);
    size_t n = fread(head, 1, sizeof head, in);
    if (at < 0 || plat_seek(in, at, SEEK_SET) != 0)
        return 0;
    return n == sizeof head && memcmp(head, XZ_MAGIC, sizeof head) == 0;
}

static LzhStatus status_of(const struct SolidInput *s)
{
    if (s->read_failed)
        return LZH_READ_ERROR;
    switch (s->result) {
    case XZ_MORE: return LZH_DATA_CUT;  // the file ended inside the stream
    case XZ_END: return LZH_OK;         // the archive ended inside it
    case XZ_BAD: return LZH_CORRUPT;
    case XZ_UNSUPPORTED: return LZH_UNSUPPORTED;
    case XZ_NO_MEMORY: return LZH_NO_MEMORY;
    case XZ_PAUSED: break;
    }
    return LZH_CORRUPT;
}

// The second thread: its blocks, from their place in the file, into the
// spool. Anything amiss (a damaged block, no memory, a full disk) only
// leaves done unset: the first thread then decodes those blocks itself and
// finds what is wrong with them as it would have.
static void decode_ahead(void *arg)
{
    struct SolidAhead *a = (struct SolidAhead *)arg;
    // The stream header comes first, in `in` already: it names the check.
    size_t at = 0, size = XZ_STREAM_HEADER_SIZE;
    uint64_t left = (uint64_t)(a->to - a->from), decoded = 0;
    enum XzResult r = XZ_MORE;
    xz_decoder_init(&a->decoder, SOLID_DEFAULT_DICTIONARY);
    xz_decoder_stop_before(&a->decoder, a->count);
    if (plat_seek(a->file, a->from, SEEK_SET) != 0)
        return;
    while (r == XZ_MORE && !a->abandon) {
        if (at == size) {
            size = fread(a->in, 1, left < sizeof a->in ? (size_t)left : sizeof a->in, a->file);
            left -= size;
            at = 0;
            if (size == 0)
                break;
        }
        size_t out = 0;
        r = xz_decode(&a->decoder, a->in, &at, size, a->out, &out, sizeof a->out);
        if (out > 0 && plat_write(a->spool, a->out, out) != 0)
            break;
        decoded += out;
    }
    xz_decoder_end(&a->decoder);
    a->done = r == XZ_PAUSED && decoded == a->bytes;
}

// Reads the header of every block up to the index into the second
// thread's tables: how many there are, and their decoded size. 0 where a
// header names no sizes or can't be read, or there are more than
// SOLID_AHEAD_BLOCKS_MAX: the whole archive's size must be known, for the
// spool's disk must hold it too.
static uint64_t walk_blocks(struct SolidAhead *a, int64_t at, uint32_t check_size, uint64_t *total,
                            int64_t *starts)
{
    unsigned char h[XZ_HEADER_MAX];
    uint64_t compressed;
    *total = 0;
    for (uint64_t n = 0; n <= SOLID_AHEAD_BLOCKS_MAX; n++) {
        starts[n] = at;
        if (plat_seek(a->file, at, SEEK_SET) != 0 || fread(h, 1, 1, a->file) != 1)
            return 0;
        if (h[0] == 0)
            return n;  // the index
        uint32_t size = ((uint32_t)h[0] + 1) * 4;
        if (n == SOLID_AHEAD_BLOCKS_MAX || fread(h + 1, 1, size - 1, a->file) != size - 1 ||
            !xz_block_sizes(h, size, &compressed, &a->uncompressed[n]))
            return 0;
        a->unpadded[n] = size + compressed + check_size;
        at += (int64_t)(((size + compressed + 3) & ~(uint64_t)3) + check_size);
        *total += a->uncompressed[n];
    }
    return 0;
}

void solid_decode_ahead(struct SolidInput *s, FILE *again)
{
    struct SolidAhead *a = &s->ahead;
    int64_t starts[SOLID_AHEAD_BLOCKS_MAX + 1];
    uint64_t total, room, share = 0;
    a->file = again;
    if (again == NULL || plat_processors() < 2 || plat_seek(again, s->start, SEEK_SET) != 0 ||
        fread(a->in, 1, XZ_STREAM_HEADER_SIZE, again) != XZ_STREAM_HEADER_SIZE)
        return;
    uint64_t n = walk_blocks(a, s->start + XZ_STREAM_HEADER_SIZE, xz_check_size(a->in), &total,
                             starts);
    // The later blocks, no more than three fifths of the bytes: the first
    // thread also writes the files, and then copies the spool's.
    a->first = n;
    while (a->first > 1 && (share + a->uncompressed[a->first - 1]) * 5 <= total * 3)
        share += a->uncompressed[--a->first];
    if (a->first == n)
        return;
    // The spool's disk keeps room for the whole product too, as it may be
    // the install's own.
    enum : uint64_t { MARGIN = 16 << 20 };
    if (plat_spool_free_space(&room) != 0 || room < share + total + MARGIN ||
        (a->spool = plat_create_spool()) == NULL)
        return;
    a->count = n - a->first;
    a->from = starts[a->first];
    a->to = starts[n];
    a->bytes = share;
    // The CRC32 tables are made by now (the walk checked the headers), so
    // the second thread never sees them half made.
    a->running = plat_thread_start(&a->thread, decode_ahead, a) == 0;
    if (a->running)
        xz_decoder_stop_before(&s->decoder, a->first);
}

// Where the first thread's decoder pauses, before the second thread's
// blocks: waits for those and, if they are whole, takes them over and goes
// on after them; if not, decodes them itself.
static void join_ahead(struct SolidInput *s)
{
    struct SolidAhead *a = &s->ahead;
    plat_thread_join(&a->thread);
    a->running = 0;
    xz_decoder_stop_before(&s->decoder, ~(uint64_t)0);
    s->result = XZ_MORE;
    if (!a->done || s->start + (int64_t)s->stream != a->from ||
        plat_seek(a->spool, 0, SEEK_SET) != 0 || plat_seek(s->file, a->to, SEEK_SET) != 0)
        return;
    for (uint64_t i = 0; i < a->count; i++)
        xz_decoder_count_block(&s->decoder, a->unpadded[a->first + i], a->uncompressed[a->first + i]);
    s->stream = (uint64_t)(a->to - s->start);
    s->at = s->size = 0;
    s->spooled = a->bytes;
}

static size_t read_spool(struct SolidInput *s, unsigned char *p, size_t n)
{
    size_t got = fread(p, 1, s->spooled < n ? (size_t)s->spooled : n, s->ahead.spool);
    s->spooled -= got;
    if (got == 0)
        s->read_failed = 1;
    return got;
}

// Decodes straight into the reader's buffer: the archive's bytes are never
// copied on the way.
static size_t read_stream(struct LzhInput *in, unsigned char *p, size_t n)
{
    struct SolidInput *s = (struct SolidInput *)in;
    size_t done = 0;
    while (done < n && s->result == XZ_MORE && !s->read_failed) {
        if (s->spooled > 0) {
            done += read_spool(s, p + done, n - done);
            continue;
        }
        if (s->at == s->size) {
            s->size = fread(s->buffer, 1, sizeof s->buffer, s->file);
            s->at = 0;
            if (s->size == 0) {
                s->read_failed = ferror(s->file) != 0;
                break;
            }
        }
        size_t before = s->at;
        s->result = xz_decode(&s->decoder, s->buffer, &s->at, s->size, p, &done, n);
        s->stream += s->at - before;
        if (s->result == XZ_PAUSED)
            join_ahead(s);
    }
    if (done < n)
        in->error = status_of(s);
    return done;
}

void solid_open(struct SolidInput *s, FILE *file)
{
    s->archive.read = read_stream;
    s->archive.file = NULL;
    s->archive.pos = 0;
    s->archive.error = LZH_OK;
    s->file = file;
    xz_decoder_init(&s->decoder, SOLID_MEMORY_LIMIT);
    s->result = XZ_MORE;
    s->read_failed = 0;
    s->start = plat_tell(file);
    s->stream = s->spooled = 0;
    s->at = s->size = 0;
    memset(&s->ahead, 0, offsetof(struct SolidAhead, decoder));
}

enum XzResult solid_close(struct SolidInput *s)
{
    unsigned char rest[4096];
    struct SolidAhead *a = &s->ahead;
    while (lzh_read(&s->archive, rest, sizeof rest) > 0) {
    }
    if (a->running) {
        a->abandon = 1;
        plat_thread_join(&a->thread);
    }
    if (a->spool != NULL)
        fclose(a->spool);
    if (a->file != NULL)
        fclose(a->file);
    xz_decoder_end(&s->decoder);
    return s->read_failed ? XZ_MORE : s->result;
}

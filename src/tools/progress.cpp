#include "progress.h"

#include <string.h>

#include "messages.h"
#include "platform/platform.h"

static const double MIB = 1024.0 * 1024.0;

PackingProgress::PackingProgress(FILE *out, bool shown, uint64_t files, uint64_t bytes)
    : out_(out), shown_(shown), files_(files), bytes_(bytes), start_(Clock::now()),
      last_(start_ - std::chrono::seconds(1))  // the first step is drawn at once
{
}

PackingProgress::~PackingProgress()
{
    if (width_ == 0)
        return;
    // Spaces, not an escape sequence: every console clears with them.
    fprintf(out_, "\r%*s\r", int(width_), "");
    fflush(out_);
}

void PackingProgress::bytes_done(uint64_t n)
{
    bytes_done_ += n;
    draw();
}

void PackingProgress::file_done()
{
    files_done_++;
    draw();
}

void PackingProgress::draw()
{
    if (!shown_)
        return;
    Clock::time_point now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    double seconds = std::chrono::duration<double>(now - start_).count();
    double speed = seconds > 0 ? bytes_done_ / seconds : 0;
    unsigned percent = bytes_ ? unsigned(bytes_done_ * 100 / bytes_) : 100;
    char left[32] = "";
    if (speed > 0 && bytes_done_ < bytes_) {
        unsigned long long s = (unsigned long long)((bytes_ - bytes_done_) / speed + 0.5);
        snprintf(left, sizeof left, _(", %llu:%02llu left"), s / 60, s % 60);
    }
    char line[240];
    int n = snprintf(line, sizeof line, _("%llu/%llu files, %.1f of %.1f MiB (%u%%), %.1f MiB/s%s"),
                     (unsigned long long)files_done_, (unsigned long long)files_,
                     bytes_done_ / MIB, bytes_ / MIB, percent, speed / MIB, left);
    // Columns, not bytes: a Japanese line has fewer columns than bytes, and
    // spaces for each byte could wrap it.
    size_t len = n < 0 ? 0 : plat_text_columns(line);
    // A shorter line than the last leaves its tail: cover it.
    fprintf(out_, "\r%s%*s", line, int(width_ > len ? width_ - len : 0), "");
    fflush(out_);
    if (len > width_)
        width_ = len;
}

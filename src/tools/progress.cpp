#include "progress.h"

#include <stdlib.h>
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
    // Spaces, not an escape sequence: every console clears with them; no
    // more than fit now, should the terminal have narrowed.
    unsigned fits = terminal_columns();
    size_t clear = fits > 0 && width_ > fits - 1 ? fits - 1 : width_;
    show(out_, "\r" + std::string(clear, ' ') + "\r");
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
    // The longest form that fits the terminal: a line that wraps leaves a
    // piece behind at every redraw. The last column stays free, since some
    // terminals wrap as soon as it is written.
    unsigned fits = terminal_columns();
    fits = fits > 0 ? fits - 1 : 0;
    char line[240];
    size_t len = 0;
    for (int form = 0;; form++) {
        int n = form == 0 ? snprintf(line, sizeof line,
                                     _("%llu/%llu files, %.1f of %.1f MiB (%u%%), %.1f MiB/s%s"),
                                     (unsigned long long)files_done_, (unsigned long long)files_,
                                     bytes_done_ / MIB, bytes_ / MIB, percent, speed / MIB, left)
                : form == 1 ? snprintf(line, sizeof line, _("%llu/%llu files (%u%%)%s"),
                                       (unsigned long long)files_done_,
                                       (unsigned long long)files_, percent, left)
                : form == 2 ? snprintf(line, sizeof line, "%u%%", percent)
                            : -1;
        if (n < 0)
            return;  // nothing useful fits
        // Columns, not bytes: a Japanese line has fewer columns than bytes,
        // and spaces for each byte could wrap it.
        len = plat_text_columns(line);
        if (len <= fits)
            break;
    }
    // A shorter line than the last leaves its tail: cover it.
    size_t cover = width_ > len ? width_ - len : 0;
    if (len + cover > fits)
        cover = fits - len;
    show(out_, "\r" + std::string(line) + std::string(cover, ' '));
    if (len > width_)
        width_ = len;
}

// What the terminal reports; where it reports nothing, COLUMNS; else the
// width every terminal has.
unsigned PackingProgress::terminal_columns() const
{
    if (unsigned reported = plat_terminal_columns(out_))
        return reported;
    const char *env = getenv("COLUMNS");
    long columns = env ? strtol(env, NULL, 10) : 0;
    return columns > 0 && columns < 10000 ? unsigned(columns) : 80;
}

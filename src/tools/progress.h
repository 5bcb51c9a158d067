// The line mkinstaller keeps up to date on a terminal while it packs: files
// and bytes done of the total, the share, the speed and the time left. It
// is drawn over itself with a carriage return, at most ten times a second,
// and cleared when packing ends, however it ends; where standard error is
// no terminal, or with -q, nothing is written at all.
#ifndef PROGRESS_H
#define PROGRESS_H

#include <stdint.h>
#include <stdio.h>

#include <chrono>

class PackingProgress {
public:
    PackingProgress(FILE *out, bool shown, uint64_t files, uint64_t bytes);
    ~PackingProgress();  // clears the line: the next message starts clean
    PackingProgress(const PackingProgress &) = delete;
    PackingProgress &operator=(const PackingProgress &) = delete;

    void bytes_done(uint64_t n);  // input bytes packed since the last call
    void file_done();

private:
    void draw();
    unsigned terminal_columns() const;

    using Clock = std::chrono::steady_clock;
    FILE *out_;
    bool shown_;
    uint64_t files_, bytes_, files_done_ = 0, bytes_done_ = 0;
    Clock::time_point start_, last_;
    size_t width_ = 0;  // of the line on screen, to clear it
};

#endif

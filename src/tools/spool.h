#ifndef SPOOL_H
#define SPOOL_H

#include <stdint.h>
#include <stdio.h>

#include <mutex>

// Decoded data of members taken from another archive, held until they are
// encoded again: a file of the system's temporary folder that no name
// outlives (plat_create_spool). Threads read it at once.
class Spool {
public:
    Spool();  // fails if the system makes none
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;
    uint64_t size() const { return size_; }
    bool append(const unsigned char *p, size_t n);  // false with errno
    bool read(uint64_t at, unsigned char *p, size_t n);  // all n bytes, or false

private:
    FILE *file_;
    uint64_t size_ = 0;
    bool reading_ = false;
    std::mutex mutex_;
};

#endif

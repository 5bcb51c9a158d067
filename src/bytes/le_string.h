// Little-endian fields in byte strings, for the tools' C++ code (le.h is
// the C interface the stub shares).
#ifndef BYTES_LE_STRING_H
#define BYTES_LE_STRING_H

#include <string>

#include "le.h"

inline void append_le16(std::string &out, uint32_t v)
{
    unsigned char b[2];
    put_le16(b, v);
    out.append(reinterpret_cast<char *>(b), 2);
}

inline void append_le32(std::string &out, uint32_t v)
{
    unsigned char b[4];
    put_le32(b, v);
    out.append(reinterpret_cast<char *>(b), 4);
}

// The caller has checked that the field lies inside s.
inline uint32_t le16_at(const std::string &s, size_t at)
{
    return le16(reinterpret_cast<const unsigned char *>(s.data()) + at);
}

inline uint32_t le32_at(const std::string &s, size_t at)
{
    return le32(reinterpret_cast<const unsigned char *>(s.data()) + at);
}

#endif

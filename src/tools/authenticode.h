// Whether a signed program is still what was signed: its Authenticode
// digest, computed as signing tools compute it, against the one its
// signature holds, and that signature verified with the certificate it
// carries. Whether Windows trusts that certificate is Windows' question.
#ifndef AUTHENTICODE_H
#define AUTHENTICODE_H

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "image/pe.h"

// The PE file at byte base of f (path, for messages), signed: s its signing
// fields (offsets from base), its certificate table from byte table to byte
// end of the file. Fails, saying what is wrong, unless the signature holds;
// returns the digest's algorithm ("SHA256").
std::string check_authenticode(FILE *f, const std::string &path, const char *what, uint64_t base,
                               const PeSigning &s, uint64_t table, uint64_t end);

#endif

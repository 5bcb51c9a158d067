// What checking a signature needs from the system's own cryptography:
// natively OpenSSL's libcrypto, on Windows CryptoAPI. Only mkinstaller
// uses it.
#ifndef CRYPTO_H
#define CRYPTO_H

#include <stddef.h>

#include <memory>
#include <string>

// A digest computed as data arrive.
class Hasher {
public:
    virtual ~Hasher() = default;
    virtual void update(const unsigned char *p, size_t n) = 0;
    virtual std::string finish() = 0;
};

// A hasher for the algorithm named as OpenSSL and CryptoAPI both know it
// ("SHA1", "SHA256", "SHA384", "SHA512", "MD5"); nullptr if the system has
// none.
std::unique_ptr<Hasher> crypto_hasher(const char *name);

enum class SignedData { OK, MALFORMED, BAD_SIGNATURE };

// A PKCS#7 SignedData (DER) as a signature carries it: its first signer's
// signature verified with the certificate the signature carries, over
// authenticated attributes whose message digest is that of the content
// (PKCS#7: of the content's octets, without their tag and length); that
// certificate, and each issuer's up its chain, verified with its issuer's
// key wherever the signature carries the issuer (a self-signed one with its
// own), so that a byte changed in them shows. Whether anyone trusts the
// chain is not asked. On OK, content gets the
// content whole (its DER, tag and length included).
SignedData crypto_signed_content(const std::string &pkcs7, std::string &content);

#endif

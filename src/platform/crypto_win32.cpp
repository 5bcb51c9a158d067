// Signatures on Windows, with the system's CryptoAPI.
#include "crypto.h"

#include <string.h>
#include <windows.h>
#include <wincrypt.h>

namespace {

class CapiHasher : public Hasher {
public:
    CapiHasher(HCRYPTPROV prov, HCRYPTHASH hash) : prov_(prov), hash_(hash) {}
    ~CapiHasher() override
    {
        CryptDestroyHash(hash_);
        CryptReleaseContext(prov_, 0);
    }
    void update(const unsigned char *p, size_t n) override
    {
        while (n > 0) {
            DWORD step = n > 0x40000000u ? 0x40000000u : DWORD(n);
            CryptHashData(hash_, p, step, 0);
            p += step;
            n -= step;
        }
    }
    std::string finish() override
    {
        BYTE out[64];
        DWORD n = sizeof out;
        if (!CryptGetHashParam(hash_, HP_HASHVAL, out, &n, 0))
            return std::string();
        return std::string(reinterpret_cast<char *>(out), n);
    }

private:
    HCRYPTPROV prov_;
    HCRYPTHASH hash_;
};

const struct {
    const char *name;
    ALG_ID alg;
} ALGORITHMS[] = {
    {"SHA1", CALG_SHA1}, {"SHA256", CALG_SHA_256}, {"SHA384", CALG_SHA_384},
    {"SHA512", CALG_SHA_512}, {"MD5", CALG_MD5},
};

const DWORD ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// A message's parameter as bytes; empty if it has none.
std::string message_param(HCRYPTMSG msg, DWORD param)
{
    DWORD n = 0;
    if (!CryptMsgGetParam(msg, param, 0, NULL, &n) || n == 0)
        return std::string();
    std::string out(n, '\0');
    if (!CryptMsgGetParam(msg, param, 0, &out[0], &n))
        return std::string();
    out.resize(n);
    return out;
}

// Each certificate up the chain signed by its issuer, as far as the store
// holds issuers; a self-signed one ends it.
bool chain_intact(HCERTSTORE store, PCCERT_CONTEXT cert)
{
    PCCERT_CONTEXT c = CertDuplicateCertificateContext(cert);
    bool intact = true;
    for (int depth = 0; depth < 16 && c != NULL; depth++) {
        DWORD flags = CERT_STORE_SIGNATURE_FLAG;
        PCCERT_CONTEXT issuer = CertGetIssuerCertificateFromStore(store, c, NULL, &flags);
        if (issuer == NULL && GetLastError() == (DWORD)CRYPT_E_SELF_SIGNED) {
            flags = CERT_STORE_SIGNATURE_FLAG;
            intact = CertVerifySubjectCertificateContext(c, c, &flags) &&
                     !(flags & CERT_STORE_SIGNATURE_FLAG);
        } else if (issuer != NULL && (flags & CERT_STORE_SIGNATURE_FLAG)) {
            intact = false;
        }
        CertFreeCertificateContext(c);
        c = intact ? issuer : NULL;
        if (!intact && issuer != NULL)
            CertFreeCertificateContext(issuer);
    }
    if (c != NULL)
        CertFreeCertificateContext(c);
    return intact;
}

}  // namespace

std::unique_ptr<Hasher> crypto_hasher(const char *name)
{
    for (const auto &a : ALGORITHMS) {
        if (strcmp(a.name, name) != 0)
            continue;
        HCRYPTPROV prov;
        HCRYPTHASH hash;
        if (!CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
            return nullptr;
        if (!CryptCreateHash(prov, a.alg, 0, 0, &hash)) {
            CryptReleaseContext(prov, 0);
            return nullptr;
        }
        return std::make_unique<CapiHasher>(prov, hash);
    }
    return nullptr;
}

// The message digests its content as it is decoded, and checking the
// signer's signature compares that digest with the authenticated one.
SignedData crypto_signed_content(const std::string &pkcs7, std::string &content)
{
    HCRYPTMSG msg = CryptMsgOpenToDecode(ENCODING, 0, 0, 0, NULL, NULL);
    if (msg == NULL)
        return SignedData::MALFORMED;
    SignedData result = SignedData::MALFORMED;
    HCERTSTORE store = NULL;
    PCCERT_CONTEXT cert = NULL;
    std::string signer;
    if (CryptMsgUpdate(msg, reinterpret_cast<const BYTE *>(pkcs7.data()), DWORD(pkcs7.size()),
                       TRUE) &&
        !(content = message_param(msg, CMSG_CONTENT_PARAM)).empty() &&
        !(signer = message_param(msg, CMSG_SIGNER_CERT_INFO_PARAM)).empty() &&
        (store = CertOpenStore(CERT_STORE_PROV_MSG, ENCODING, 0, 0, msg)) != NULL &&
        (cert = CertGetSubjectCertificateFromStore(
             store, ENCODING, reinterpret_cast<PCERT_INFO>(&signer[0]))) != NULL)
        result = CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert->pCertInfo) &&
                         chain_intact(store, cert)
                     ? SignedData::OK
                     : SignedData::BAD_SIGNATURE;
    if (cert)
        CertFreeCertificateContext(cert);
    if (store)
        CertCloseStore(store, 0);
    CryptMsgClose(msg);
    return result;
}

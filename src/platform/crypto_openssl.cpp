// Signatures natively, with OpenSSL's libcrypto.
#include "crypto.h"

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace {

class EvpHasher : public Hasher {
public:
    explicit EvpHasher(const EVP_MD *md) : ctx_(EVP_MD_CTX_new())
    {
        if (ctx_ && EVP_DigestInit_ex(ctx_, md, NULL) != 1) {
            EVP_MD_CTX_free(ctx_);
            ctx_ = nullptr;
        }
    }
    ~EvpHasher() override { EVP_MD_CTX_free(ctx_); }
    bool ready() const { return ctx_ != nullptr; }
    void update(const unsigned char *p, size_t n) override { EVP_DigestUpdate(ctx_, p, n); }
    std::string finish() override
    {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned n = 0;
        EVP_DigestFinal_ex(ctx_, out, &n);
        return std::string(reinterpret_cast<char *>(out), n);
    }

private:
    EVP_MD_CTX *ctx_;
};

struct Pkcs7Free {
    void operator()(PKCS7 *p) const { PKCS7_free(p); }
};

// The length of a DER element's tag and length, or 0 if malformed.
size_t der_header(const unsigned char *p, size_t n)
{
    if (n < 2)
        return 0;
    if (p[1] < 0x80)
        return 2;
    size_t bytes = p[1] & 0x7F;
    return bytes >= 1 && bytes <= 4 && n >= 2 + bytes ? 2 + bytes : 0;
}

// The signer's signature over the authenticated attributes, as signed: the
// attributes encoded as a SET, not in the signer info's [0].
bool signature_holds(PKCS7_SIGNER_INFO *si, X509 *cert, const EVP_MD *md)
{
    unsigned char *attrs = NULL;
    int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE *>(si->auth_attr), &attrs,
                          ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (n <= 0)
        return false;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestVerifyInit(ctx, NULL, md, NULL, X509_get0_pubkey(cert)) == 1 &&
              EVP_DigestVerify(ctx, si->enc_digest->data, size_t(si->enc_digest->length), attrs,
                               size_t(n)) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(attrs);
    return ok;
}

// Each certificate up the chain signed by its issuer, as far as the bag
// holds issuers; a self-signed one ends it.
bool chain_intact(STACK_OF(X509) *bag, X509 *cert)
{
    for (int depth = 0; depth < 16; depth++) {
        X509 *issuer = X509_find_by_subject(bag, X509_get_issuer_name(cert));
        if (issuer == NULL)
            return true;
        if (X509_verify(cert, X509_get0_pubkey(issuer)) != 1)
            return false;
        if (issuer == cert)
            return true;
        cert = issuer;
    }
    return true;
}

}  // namespace

std::unique_ptr<Hasher> crypto_hasher(const char *name)
{
    const EVP_MD *md = EVP_get_digestbyname(name);
    if (md == NULL)
        return nullptr;
    auto h = std::make_unique<EvpHasher>(md);
    return h->ready() ? std::move(h) : nullptr;
}

SignedData crypto_signed_content(const std::string &pkcs7, std::string &content)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(pkcs7.data());
    std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(NULL, &p, long(pkcs7.size())));
    if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign->contents ||
        PKCS7_type_is_data(p7->d.sign->contents))
        return SignedData::MALFORMED;
    ASN1_TYPE *inner = p7->d.sign->contents->d.other;
    STACK_OF(PKCS7_SIGNER_INFO) *signers = PKCS7_get_signer_info(p7.get());
    if (inner == NULL || inner->type != V_ASN1_SEQUENCE || sk_PKCS7_SIGNER_INFO_num(signers) < 1)
        return SignedData::MALFORMED;
    content.assign(reinterpret_cast<const char *>(inner->value.sequence->data),
                   size_t(inner->value.sequence->length));
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    X509 *cert = X509_find_by_issuer_and_serial(p7->d.sign->cert, si->issuer_and_serial->issuer,
                                                si->issuer_and_serial->serial);
    const EVP_MD *md = EVP_get_digestbyobj(si->digest_alg->algorithm);
    ASN1_OCTET_STRING *stated = PKCS7_digest_from_attributes(si->auth_attr);
    size_t head = der_header(reinterpret_cast<const unsigned char *>(content.data()),
                             content.size());
    if (cert == NULL || md == NULL || stated == NULL || head == 0)
        return SignedData::MALFORMED;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (EVP_Digest(content.data() + head, content.size() - head, digest, &n, md, NULL) != 1)
        return SignedData::MALFORMED;
    if (n != unsigned(stated->length) || CRYPTO_memcmp(digest, stated->data, n) != 0 ||
        !signature_holds(si, cert, md) || !chain_intact(p7->d.sign->cert, cert))
        return SignedData::BAD_SIGNATURE;
    return SignedData::OK;
}

#include "CryptoSigning.h"

#include "CryptoHelper.h"
#include "crypt_exception.h"

namespace {
constexpr long kPublicExponent = 65537;
constexpr unsigned long kSha1Size = 20;
constexpr unsigned long kSaltLength = 8;
// Far more than any DER key of a 1024-bit pair needs (about 610 bytes private, 140 public).
constexpr unsigned long kMaxExportSize = 4096;

prng_state startPrng()
{
    if (prng_idx < 0)
        throw crypt_exception("sprng: crypt_init() has not run");
    prng_state prng;
    check_err("prng start", prng_descriptor[prng_idx].start(&prng));
    check_err("prng ready", prng_descriptor[prng_idx].ready(&prng));
    return prng;
}
} // namespace

void make_key(rsa_key* key)
{
    prng_state prng = startPrng();
    check_err("rsa_make_key", rsa_make_key(&prng, prng_idx, kReleaseKeyBits / 8, kPublicExponent, key));
}

std::vector<unsigned char> export_key(rsa_key* key, int type)
{
    std::vector<unsigned char> out(kMaxExportSize);
    unsigned long len = out.size();
    check_err("rsa_export", rsa_export(out.data(), &len, type, key));
    out.resize(len);
    return out;
}

int key_bits(rsa_key* key)
{
    return ltc_mp.count_bits(key->N);
}

bool key_is_private(const rsa_key* key)
{
    return key->type == PK_PRIVATE;
}

std::vector<unsigned char> sign_msg(rsa_key* key, const unsigned char* msg, unsigned long msglen)
{
    unsigned char hash[kSha1Size];
    hash_msg(msg, msglen, hash);
    prng_state prng = startPrng();
    std::vector<unsigned char> sig(static_cast<size_t>(key_bits(key) + 7) / 8);
    unsigned long len = sig.size();
    check_err("rsa_sign_hash",
              rsa_sign_hash_ex(hash, kSha1Size, sig.data(), &len, LTC_PKCS_1_PSS, &prng, prng_idx, hash_idx,
                               kSaltLength, key));
    sig.resize(len);
    return sig;
}

#include "CryptoHelper.h"

#include "crypt_exception.h"

#include <string>

int hash_idx = -1;
int prng_idx = -1;

namespace {
constexpr unsigned long kSha1Size = 20;
constexpr unsigned long kSaltLength = 8;
} // namespace

void crypt_init()
{
    // The engine calls this at every run, while a check of an earlier run may still be reading
    // the tables on a pool thread: set them up once only.
    if (hash_idx >= 0 && prng_idx >= 0)
        return;
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    // Debian's libtomcrypt carries no TomsFastMath descriptor; LibTomMath does the same work.
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
}

void hash_msg(const unsigned char* in, unsigned long len, unsigned char* out)
{
    hash_state md;
    check_err("sha1_init", sha1_init(&md));
    check_err("sha1_process", sha1_process(&md, in, len));
    check_err("sha1_done", sha1_done(&md, out));
}

void check_err(const char* operation, int err)
{
    if (err == CRYPT_OK)
        return;
    throw crypt_exception(std::string(operation) + ": " + error_to_string(err));
}

void load_key(rsa_key* key, const unsigned char* in, unsigned long len)
{
    // Without a math provider libtomcrypt would abort the whole process on its argument check;
    // a check that runs too early must fail like any other bad key instead.
    if (ltc_mp.name == nullptr || hash_idx < 0)
        throw crypt_exception("rsa_import: crypt_init() has not run");
    // libtomcrypt aborts the process on empty input instead of returning an error.
    if (in == nullptr || len == 0)
        check_err("rsa_import", CRYPT_INVALID_ARG);
    check_err("rsa_import", rsa_import(in, len, key));
}

bool verify_msg(rsa_key* key, const unsigned char* msg, unsigned long msglen, unsigned char* sig,
                unsigned long siglen)
{
    unsigned char hash[kSha1Size];
    hash_msg(msg, msglen, hash);
    return verify_hash(key, hash, kSha1Size, sig, siglen);
}

bool verify_hash(rsa_key* key, const unsigned char* hash, unsigned long hashlen, unsigned char* sig,
                 unsigned long siglen)
{
    int status = 0;
    check_err(
        "rsa_verify_hash",
        rsa_verify_hash_ex(sig, siglen, hash, hashlen, LTC_PKCS_1_PSS, hash_idx, kSaltLength, &status, key));
    return status == 1;
}

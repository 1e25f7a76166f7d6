#pragma once

// The verifying side of the crypto helper unit: free functions over libtomcrypt, with LibTomMath
// as its math provider. Every libtomcrypt error becomes a crypt_exception; callers catch it.
//
// Threads: crypt_init() writes libtomcrypt's tables, ltc_mp, hash_idx and prng_idx; call it on the
// main thread before any other function here runs (later calls do nothing). After that every
// function may run on any number of threads at once: each call uses only its own arguments and
// stack state.

#include <tomcrypt.h>

/// Position of SHA-1 in libtomcrypt's hash table; -1 until crypt_init() has run.
extern int hash_idx;
/// Position of the "sprng" generator in libtomcrypt's generator table; -1 until crypt_init().
extern int prng_idx;

/// Registers the "sprng" generator, makes LibTomMath the math provider and registers SHA-1.
/// Throws crypt_exception when a registration fails. Calling it again does no harm.
void crypt_init();

/// Writes the 20-byte SHA-1 digest of the len bytes at in to out.
void hash_msg(const unsigned char* in, unsigned long len, unsigned char* out);

/// Does nothing when err is CRYPT_OK; otherwise throws a crypt_exception whose message is
/// operation + ": " + libtomcrypt's text for err.
void check_err(const char* operation, int err);

/// Imports the DER RSA key of len bytes at in into key (rsa_import). DER data may be followed by
/// unused bytes. On success the caller owns key and frees it with rsa_free(); on failure (a
/// crypt_exception) there is nothing to free. Throws as well for empty input and when
/// crypt_init() has not run.
void load_key(rsa_key* key, const unsigned char* in, unsigned long len);

/// True when sig is a valid RSASSA-PSS signature (SHA-1, MGF1 with SHA-1, salt length 8) of the
/// msglen bytes at msg under key; false when it is well-formed but does not match. Throws for a
/// signature of the wrong length or form, and for any other libtomcrypt error.
bool verify_msg(rsa_key* key, const unsigned char* msg, unsigned long msglen, unsigned char* sig,
                unsigned long siglen);

/// verify_msg() for a message whose SHA-1 digest the caller has computed already, for example in
/// chunks while reading a file: hash holds the hashlen (20) bytes of that digest.
bool verify_hash(rsa_key* key, const unsigned char* hash, unsigned long hashlen, unsigned char* sig,
                 unsigned long siglen);

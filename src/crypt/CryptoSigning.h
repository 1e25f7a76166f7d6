#pragma once

// The makers' side of the crypto helper unit: release key generation, export and signing. The
// updater never calls these; the signing tool does. Same rules as CryptoHelper.h: crypt_init()
// first, libtomcrypt errors become crypt_exception.

#include <tomcrypt.h>

#include <vector>

/// Modulus size of a release key in bits, and the length of its signatures in bytes.
constexpr int kReleaseKeyBits = 1024;
constexpr unsigned long kSignatureSize = kReleaseKeyBits / 8;

/// Generates a fresh key pair with a 1024-bit modulus and the public exponent 65537 into key.
/// The caller frees key with rsa_free() (or owns it through RsaKey).
void make_key(rsa_key* key);

/// The key in DER: with PK_PRIVATE the PKCS #1 RSAPrivateKey (the whole pair), with PK_PUBLIC the
/// PKCS #1 RSAPublicKey (140 bytes for a release key).
std::vector<unsigned char> export_key(rsa_key* key, int type);

/// Size of the key's modulus in bits.
int key_bits(rsa_key* key);

/// True when key holds the private half as well (it can sign).
bool key_is_private(const rsa_key* key);

/// The RSASSA-PSS signature (SHA-1, MGF1 with SHA-1, salt length 8) of the msglen bytes at msg,
/// as many bytes as the modulus is long. key must hold the private half.
std::vector<unsigned char> sign_msg(rsa_key* key, const unsigned char* msg, unsigned long msglen);

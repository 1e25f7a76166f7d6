#pragma once

/// The release public key compiled into the program: the DER encoding of a PKCS #1 RSAPublicKey
/// (1024-bit modulus, 140 bytes) at the start, zero bytes after it. Hand the whole array, with
/// its full size, to load_key(); the DER structure says where the key ends.
///
/// Generated at build time from the file named by the CMake option KV3_PUBLIC_KEY_DER.
extern const unsigned char PUBLIC_KEY[2048];

#pragma once

#include <tomcrypt.h>

/// Owns one libtomcrypt rsa_key and frees it when it goes out of scope, so that a key stays
/// leak-free when a crypt_exception leaves the block that loaded it.
///
/// Usage: `RsaKey key; load_key(key.get(), ...); key.setLoaded();` (or make_key()). Not copyable.
class RsaKey
{
public:
    RsaKey() = default;
    ~RsaKey();
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;

    rsa_key* get() { return &m_key; }
    /// Marks the key as holding numbers that the destructor must free.
    void setLoaded() { m_loaded = true; }

private:
    rsa_key m_key {};
    bool m_loaded = false;
};

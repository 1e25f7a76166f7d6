#pragma once

#include <QByteArray>
#include <QString>

class RsaKey;

/// Reading and writing the key files of kv3-publish (DER, as libtomcrypt and openssl write them).
/// Failures come back as false with a sentence for the user in *error; no exceptions escape.
namespace KeyFile {

enum class Need { PublicHalf, KeyPair };

/// Loads the DER RSA key at path into key and checks that it is a release key: a 1024-bit modulus
/// and, for Need::KeyPair, the private half.
bool load(const QString& path, Need need, RsaKey& key, QString* error);

/// Reads a whole (small) file.
bool read(const QString& path, QByteArray& data, QString* error);

/// Writes data to a new file path with the given permissions; never replaces an existing file.
bool writeNew(const QString& path, const QByteArray& data, bool ownerOnly, QString* error);

} // namespace KeyFile

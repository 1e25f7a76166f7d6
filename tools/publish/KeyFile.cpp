#include "KeyFile.h"

#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QFile>

namespace KeyFile {

bool read(const QString& path, QByteArray& data, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool load(const QString& path, Need need, RsaKey& key, QString* error)
{
    QByteArray der;
    if (!read(path, der, error))
        return false;
    try {
        load_key(key.get(), reinterpret_cast<const unsigned char*>(der.constData()),
                 static_cast<unsigned long>(der.size()));
    } catch (const crypt_exception& e) {
        // openssl writes PKCS#8 unless told otherwise; libtomcrypt reads the PKCS#1 forms.
        *error = QStringLiteral("%1 is not a PKCS#1 DER RSA key (%2); from openssl use "
                                "'openssl rsa -traditional -outform DER' or '-RSAPublicKey_out -outform DER'")
                     .arg(path, QString::fromUtf8(e.what()));
        return false;
    }
    key.setLoaded();
    const int bits = key_bits(key.get());
    if (bits != kReleaseKeyBits) {
        *error = QStringLiteral("%1 holds a %2-bit RSA key; release keys are %3-bit")
                     .arg(path)
                     .arg(bits)
                     .arg(kReleaseKeyBits);
        return false;
    }
    if (need == Need::KeyPair && !key_is_private(key.get())) {
        *error =
            QStringLiteral("%1 holds only a public key; signing needs the key pair (private.der)").arg(path);
        return false;
    }
    return true;
}

bool writeNew(const QString& path, const QByteArray& data, bool ownerOnly, QString* error)
{
    QFile file(path);
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QFileDevice::Permissions mode =
        ownerOnly ? owner : owner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    // The mode is given at creation, so a private key is never readable by others, not even for
    // the moment between creating and chmod-ing it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, mode)) {
        *error = QStringLiteral("cannot create %1: %2").arg(path, file.errorString());
        return false;
    }
    const bool written = file.write(data) == data.size();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        file.remove();
        return false;
    }
    return true;
}

} // namespace KeyFile

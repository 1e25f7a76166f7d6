#include "CheckSigFunc.h"

#include "CryptoHelper.h"
#include "FileMd5.h"
#include "PublicKey.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QFile>

CheckSigFunc::CheckSigFunc(const QString& fileName, const QString& md5)
    : fileName(fileName)
    , md5(md5)
{
}

bool CheckSigFunc::run()
{
    return md5.isEmpty() ? checkRSA() : checkMD5();
}

bool CheckSigFunc::readFile(QString path, QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        reportOpenFailed(path);
        return false;
    }
    const qint64 size = file.size();
    data.resize(size);
    if (file.read(data.data(), size) != size) {
        reportReadFailed(path);
        return false;
    }
    return true;
}

bool CheckSigFunc::checkMD5()
{
    // Hashed in chunks rather than read whole: installed and downloaded files can be far larger
    // than memory allows, and larger than 2 GiB.
    QByteArray digest;
    switch (fileMd5(fileName, digest)) {
    case FileReadStatus::OpenFailed:
        reportOpenFailed(fileName);
        return false;
    case FileReadStatus::ReadFailed:
        reportReadFailed(fileName);
        return false;
    case FileReadStatus::Ok:
        break;
    }
    // Only the case of the hex digits may differ; a stray space is a different checksum.
    return md5.compare(QLatin1String(digest.toHex()), Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray data;
    QByteArray signature;
    if (!readFile(fileName, data) || !readFile(fileName + QStringLiteral(".sig"), signature))
        return false;
    try {
        // Imported for every check: the key is tiny, and nothing shared means nothing to lock.
        RsaKey key;
        load_key(key.get(), PUBLIC_KEY, sizeof(PUBLIC_KEY));
        key.setLoaded();
        return verify_msg(key.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                          static_cast<unsigned long>(data.size()),
                          reinterpret_cast<unsigned char*>(signature.data()),
                          static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        // A malformed signature or key is a failed check like any other; the task says so.
        return false;
    }
}

void CheckSigFunc::reportOpenFailed(const QString& path)
{
    Q_EMIT message(QStringLiteral("Could not open file %1 for reading").arg(path));
}

void CheckSigFunc::reportReadFailed(const QString& path)
{
    Q_EMIT message(QStringLiteral("could not read file %1 correctly").arg(path));
}

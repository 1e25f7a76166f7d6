#include "CheckSigFunc.h"

#include "CryptoHelper.h"
#include "FileHash.h"
#include "PublicKey.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QFile>
#include <QFileInfo>

namespace {
// A signature is as long as the key's modulus. Anything much larger cannot be one, and a file a
// mirror serves there must not be read into memory whole.
constexpr qint64 kMaxSignatureFileSize = 64 * 1024;
} // namespace

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
    if (!hashFile(fileName, QCryptographicHash::Md5, digest))
        return false;
    // Only the case of the hex digits may differ; a stray space is a different checksum.
    return md5.compare(QLatin1String(digest.toHex()), Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA()
{
    // The signed file comes from a mirror like any other; its SHA-1 is taken in chunks so that
    // its size costs no memory. The digest is the same as over the whole file at once.
    QByteArray hash;
    if (!hashFile(fileName, QCryptographicHash::Sha1, hash))
        return false;
    const QString sigPath = fileName + QStringLiteral(".sig");
    // Too long to be a signature: the check fails as for any signature of the wrong length.
    if (QFileInfo(sigPath).size() > kMaxSignatureFileSize)
        return false;
    QByteArray signature;
    if (!readFile(sigPath, signature))
        return false;
    try {
        // Imported for every check: the key is tiny, and nothing shared means nothing to lock.
        RsaKey key;
        load_key(key.get(), PUBLIC_KEY, sizeof(PUBLIC_KEY));
        key.setLoaded();
        return verify_hash(key.get(), reinterpret_cast<const unsigned char*>(hash.constData()),
                           static_cast<unsigned long>(hash.size()),
                           reinterpret_cast<unsigned char*>(signature.data()),
                           static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        // A malformed signature or key is a failed check like any other; the task says so.
        return false;
    }
}

bool CheckSigFunc::hashFile(const QString& path, QCryptographicHash::Algorithm algorithm, QByteArray& digest)
{
    switch (fileHash(path, algorithm, digest)) {
    case FileReadStatus::OpenFailed:
        reportOpenFailed(path);
        return false;
    case FileReadStatus::ReadFailed:
        reportReadFailed(path);
        return false;
    case FileReadStatus::Ok:
        break;
    }
    return true;
}

void CheckSigFunc::reportOpenFailed(const QString& path)
{
    Q_EMIT message(QStringLiteral("Could not open file %1 for reading").arg(path));
}

void CheckSigFunc::reportReadFailed(const QString& path)
{
    Q_EMIT message(QStringLiteral("could not read file %1 correctly").arg(path));
}

#include "FileHash.h"

#include <QFile>

#include <memory>

FileReadStatus fileHash(const QString& path, QCryptographicHash::Algorithm algorithm, QByteArray& digest)
{
    QFile file(path);
    // Unbuffered: QFile's own buffer would only add a copy of every byte.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return FileReadStatus::OpenFailed;

    const qint64 size = file.size();
    const auto buffer = std::make_unique<char[]>(kFileHashChunkSize);
    QCryptographicHash hash(algorithm);
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(buffer.get(), qMin(kFileHashChunkSize, size - done));
        // A read error, or the file ended early (it shrank, or it reports more than it holds).
        if (got <= 0)
            return FileReadStatus::ReadFailed;
        hash.addData(QByteArrayView(buffer.get(), got));
        done += got;
    }
    digest = hash.result();
    return FileReadStatus::Ok;
}

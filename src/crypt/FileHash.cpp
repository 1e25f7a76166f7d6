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
    // No larger than the file and not zero-filled: a check of many small files would otherwise
    // spend most of its time clearing a 64 KiB buffer per file.
    const qint64 bufferSize = qBound<qint64>(1, size, kFileHashChunkSize);
    const std::unique_ptr<char[]> buffer(new char[size_t(bufferSize)]);
    QCryptographicHash hash(algorithm);
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(buffer.get(), qMin(bufferSize, size - done));
        // A read error, or the file ended early (it shrank, or it reports more than it holds).
        if (got <= 0)
            return FileReadStatus::ReadFailed;
        hash.addData(QByteArrayView(buffer.get(), got));
        done += got;
    }
    digest = hash.result();
    return FileReadStatus::Ok;
}

#include "FileMd5.h"

#include <QCryptographicHash>
#include <QFile>

#include <memory>

FileReadStatus fileMd5(const QString& path, QByteArray& digest)
{
    QFile file(path);
    // Unbuffered: QFile's own buffer would only add a copy of every byte.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return FileReadStatus::OpenFailed;

    const qint64 size = file.size();
    const auto buffer = std::make_unique<char[]>(kFileMd5ChunkSize);
    QCryptographicHash hash(QCryptographicHash::Md5);
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(buffer.get(), qMin(kFileMd5ChunkSize, size - done));
        // A read error, or the file ended early (it shrank, or it reports more than it holds).
        if (got <= 0)
            return FileReadStatus::ReadFailed;
        hash.addData(QByteArrayView(buffer.get(), got));
        done += got;
    }
    digest = hash.result();
    return FileReadStatus::Ok;
}

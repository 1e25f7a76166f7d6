#include "FileMd5.h"

#include <QCryptographicHash>
#include <QFile>

#include <memory>

namespace {
// Large enough that the per-call overhead vanishes next to MD5 itself, small enough to keep the
// check of a multi-GiB file within a few MiB of memory.
constexpr qint64 kChunkSize = 256 * 1024;
} // namespace

FileReadStatus fileMd5(const QString& path, QByteArray& digest)
{
    QFile file(path);
    // Unbuffered: QFile's own buffer would only add a copy of every byte.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return FileReadStatus::OpenFailed;

    const qint64 size = file.size();
    const auto buffer = std::make_unique<char[]>(kChunkSize);
    QCryptographicHash hash(QCryptographicHash::Md5);
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(buffer.get(), qMin(kChunkSize, size - done));
        // A read error, or the file ended early (it shrank, or it reports more than it holds).
        if (got <= 0)
            return FileReadStatus::ReadFailed;
        hash.addData(QByteArrayView(buffer.get(), got));
        done += got;
    }
    digest = hash.result();
    return FileReadStatus::Ok;
}

#include "FileUnzipFunc.h"

#include <QFile>

#include <zlib.h>

FileUnzipFunc::FileUnzipFunc(const QString& sourcePath, const QString& destPath)
    : SlowFileOpFunc(sourcePath, destPath)
{
}

bool FileUnzipFunc::run()
{
    const bool ok = unzipFile(destPath, sourcePath);
    if (!ok)
        QFile::remove(destPath);
    return ok;
}

bool FileUnzipFunc::unzipFile(const QString& destPath, const QString& sourcePath)
{
    QFile dest(destPath);
    if (!dest.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;

    // zlib takes a local 8-bit name; the installation's paths are what the product ini names.
    gzFile source = gzopen(QFile::encodeName(sourcePath).constData(), "rb");
    if (!source)
        return false;
    gzrewind(source);

    char buffer[bufferSize];
    for (;;) {
        const int n = gzread(source, buffer, bufferSize);
        if (n == 0)
            break;
        if (n < 0 || dest.write(buffer, n) != n) {
            gzclose(source);
            dest.remove();
            return false;
        }
    }
    // zlib hands out the data of a truncated gzip stream and only then reports that it ended in
    // the middle: gzclose() says so with Z_BUF_ERROR. That is a broken download, not a short file.
    if (gzclose(source) != Z_OK) {
        dest.remove();
        return false;
    }
    // A write the kernel only reports on close (a full disk, a quota) is a failed unpack too.
    if (!dest.flush()) {
        dest.remove();
        return false;
    }
    dest.close();
    return dest.error() == QFileDevice::NoError;
}

#include "FileCopyFunc.h"

#include <QFile>

FileCopyFunc::FileCopyFunc(const QString& sourcePath, const QString& destPath)
    : SlowFileOpFunc(sourcePath, destPath)
{
}

bool FileCopyFunc::run()
{
    // QFile::copy writes through a temporary file and renames it into place, so a failed copy
    // leaves nothing at destPath, and it refuses to replace an existing file.
    return QFile::copy(sourcePath, destPath);
}

#include "FileSpecifications.h"

#include <QDir>

void FileSpecifications::clear()
{
    downloads.clear();
    replaces.clear();
    deletes.clear();
}

bool FileSpecifications::isContainedRelativePath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    // The file system ends a name at the first NUL: the rest of the path would be ignored and the
    // entry would work on the shorter name, whatever that names.
    if (path.contains(QChar(0)))
        return false;
    // Any ".." is refused, even one that would climb back down: a release has no use for it.
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part == QLatin1String(".."))
            return false;
    }
    // What is left to rule out is a path that reduces to the directory itself ("." or "a/..").
    const QString root = QStringLiteral("/r");
    const QString joined = QDir::cleanPath(root + QLatin1Char('/') + path);
    return joined.startsWith(root + QLatin1Char('/'));
}

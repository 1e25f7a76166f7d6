#include "FileRenameTaskSpecification.h"

#include "RollbackData.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& sourcePath, const QString& path,
                                                         RollbackDataList* rollbackList, QObject* parent,
                                                         double weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
    , sourcePath(sourcePath)
{
}

bool FileRenameTaskSpecification::renameWithoutReplacing(const QString& from, const QString& to)
{
    // Not QFile::rename: when the kernel refuses (the destination is a link that points nowhere),
    // it falls back to copying, and the copy opens the destination through the link and writes the
    // file wherever the link points.
    const QByteArray source = QFile::encodeName(from);
    const QByteArray dest = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, dest.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: look first, without following a link.
    struct stat st;
    if (::lstat(dest.constData(), &st) == 0 || errno != ENOENT)
        return false;
    return ::rename(source.constData(), dest.constData()) == 0;
}

bool FileRenameTaskSpecification::doOp()
{
    if (renameWithoutReplacing(sourcePath, path)) {
        addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
        return true;
    }
    Q_EMIT message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, path));
    return false;
}

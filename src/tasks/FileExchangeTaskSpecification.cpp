#include "FileExchangeTaskSpecification.h"

#include "FileRenameTaskSpecification.h"
#include "RollbackData.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

FileExchangeTaskSpecification::FileExchangeTaskSpecification(const QString& sourcePath, const QString& path,
                                                             RollbackDataList* rollbackList, QObject* parent,
                                                             double weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
    , sourcePath(sourcePath)
{
}

QString FileExchangeTaskSpecification::reservedName(const QString& path)
{
    const QFileInfo info(path);
    return info.path() + QStringLiteral("/_exchange_") + info.fileName();
}

bool FileExchangeTaskSpecification::exchange(const QString& a, const QString& b)
{
    const QByteArray first = QFile::encodeName(a);
    const QByteArray second = QFile::encodeName(b);
    if (::renameat2(AT_FDCWD, first.constData(), AT_FDCWD, second.constData(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOTSUP && errno != ENOSYS)
        return false;
    return exchangeByRenames(a, b);
}

bool FileExchangeTaskSpecification::exchangeByRenames(const QString& a, const QString& b)
{
    // Both must be there: a swap with a missing side would be a plain rename under another name.
    struct stat st;
    if (::lstat(QFile::encodeName(a).constData(), &st) != 0
        || ::lstat(QFile::encodeName(b).constData(), &st) != 0)
        return false;
    const QString reserved = reservedName(b);
    if (!FileRenameTaskSpecification::renameWithoutReplacing(b, reserved))
        return false;
    if (!FileRenameTaskSpecification::renameWithoutReplacing(a, b)) {
        FileRenameTaskSpecification::renameWithoutReplacing(reserved, b);
        return false;
    }
    if (!FileRenameTaskSpecification::renameWithoutReplacing(reserved, a)) {
        FileRenameTaskSpecification::renameWithoutReplacing(b, a);
        FileRenameTaskSpecification::renameWithoutReplacing(reserved, b);
        return false;
    }
    return true;
}

bool FileExchangeTaskSpecification::doOp()
{
    if (exchange(sourcePath, path)) {
        addRollbackOp(RollbackData(RollbackData::Exchange, sourcePath, path));
        return true;
    }
    Q_EMIT message(QStringLiteral("Could not exchange '%1' and '%2'").arg(sourcePath, path));
    return false;
}

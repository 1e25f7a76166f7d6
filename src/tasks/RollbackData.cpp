#include "RollbackData.h"

#include "FileRenameTaskSpecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

RollbackData::RollbackData(Operation operation, const QString& path)
    : path(path)
    , operation(operation)
{
}

RollbackData::RollbackData(Operation operation, const QString& previousPath, const QString& path)
    : path(path)
    , previousPath(previousPath)
    , operation(operation)
{
}

bool RollbackData::rollback(QObject* messageTarget) const
{
    switch (operation) {
    case Rename:
        // Never onto whatever took the old name meanwhile, nor through a link left there.
        if (FileRenameTaskSpecification::renameWithoutReplacing(path, previousPath))
            return true;
        // Names the rename that could not be undone, in the direction it was done.
        message(messageTarget,
                QStringLiteral("warning: rollback rename %1 to %2 failed").arg(previousPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(messageTarget, QStringLiteral("warning: rollback create file %1 failed").arg(path));
        return false;
    case CreateDir: {
        // rmdir only removes an empty directory: files someone else put there are never lost.
        const QFileInfo info(path);
        if (QDir(info.path()).rmdir(info.fileName()))
            return true;
        message(messageTarget, QStringLiteral("warning: rollback create dir %1 failed").arg(path));
        return false;
    }
    }
    // A corrupted journal entry: undoing anything else blindly could damage the installation.
    qFatal("Should not reach here");
    return false;
}

void RollbackData::message(QObject* target, const QString& text)
{
    if (!target)
        return;
    QMetaObject::invokeMethod(target, "message", Qt::AutoConnection, Q_ARG(QString, text));
}

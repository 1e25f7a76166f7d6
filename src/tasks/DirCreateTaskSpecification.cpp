#include "DirCreateTaskSpecification.h"

#include "RollbackData.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                                       QObject* parent, double weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(path);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString& dir)
{
    // "a/b/" names the directory "a/b"; without this its last component would be empty and the
    // creation would fail after the ancestors had been made.
    QString target = dir;
    while (target.size() > 1 && target.endsWith(QLatin1Char('/')))
        target.chop(1);

    const QFileInfo info(target);
    if (info.exists()) {
        if (info.isDir())
            return true;
        Q_EMIT message(QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                           .arg(target));
        return false;
    }

    const QString parent = info.path();
    if (parent == QLatin1String(".") || QDir(target).isRoot()) {
        // Names the task's own target: `target` may be an ancestor met on the way.
        Q_EMIT message(QStringLiteral("Could not create dir %1").arg(path));
        return false;
    }
    if (!QFileInfo::exists(parent) && !tryCreateDir(parent))
        return false;

    if (!QDir(parent).mkdir(info.fileName())) {
        Q_EMIT message(QStringLiteral("unable to create dir %1").arg(target));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::CreateDir, target));
    return true;
}

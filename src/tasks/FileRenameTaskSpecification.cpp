#include "FileRenameTaskSpecification.h"

#include "RollbackData.h"

#include <QFile>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& sourcePath, const QString& path,
                                                         RollbackDataList* rollbackList, QObject* parent,
                                                         double weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
    , sourcePath(sourcePath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    // QFile::rename refuses an existing destination, so an installed file is never overwritten here.
    if (QFile::rename(sourcePath, path)) {
        addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
        return true;
    }
    Q_EMIT message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, path));
    return false;
}

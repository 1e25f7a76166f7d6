#include "FileDeleteTaskSpecification.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failOnError, const QString& path,
                                                         QObject* parent, double weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , failOnError(failOnError)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const bool removed = QFile::remove(path);
    if (removed || !failOnError)
        return true;
    Q_EMIT message(QStringLiteral("Could not delete '%1'").arg(path));
    return false;
}

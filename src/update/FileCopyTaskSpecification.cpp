#include "FileCopyTaskSpecification.h"

#include "FileCopyFunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList,
                                                     const QString& sourcePath, const QString& destPath,
                                                     QObject* parent, double weight)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(sourcePath, destPath),
                              rollbackList, sourcePath, destPath, parent, weight)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(sourcePath, destPath);
}

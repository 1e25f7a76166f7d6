#include "FileUnzipTaskSpecification.h"

#include "FileUnzipFunc.h"

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList* rollbackList,
                                                       const QString& sourcePath, const QString& destPath,
                                                       QObject* parent, double weight)
    : SlowFileOpSpecification(QStringLiteral("Could not unzip '%1' to '%2'").arg(sourcePath, destPath),
                              rollbackList, sourcePath, destPath, parent, weight)
{
}

ASyncFunc* FileUnzipTaskSpecification::createFunction()
{
    return new FileUnzipFunc(sourcePath, destPath);
}

#include "SlowFileOpSpecification.h"

#include "RollbackData.h"
#include "RollbackDataList.h"

SlowFileOpSpecification::SlowFileOpSpecification(QString failMessage, RollbackDataList* rollbackList,
                                                 const QString& sourcePath, const QString& destPath,
                                                 QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , sourcePath(sourcePath)
    , destPath(destPath)
    , failMessage(std::move(failMessage))
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        Q_EMIT message(failMessage);
    // Journalled before the task ends, so that whoever hears of the end can already undo it.
    if (ok && rollbackList)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destPath));
    ASyncTaskSpecification::runDone(ok);
}

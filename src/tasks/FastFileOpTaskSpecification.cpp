#include "FastFileOpTaskSpecification.h"

#include "RollbackData.h"
#include "RollbackDataList.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                                         QObject* parent, double weight)
    : TaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , path(path)
{
}

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData& entry)
{
    if (rollbackList)
        rollbackList->add(entry);
}

void FastFileOpTaskSpecification::execute()
{
    state = StateRunning;
    if (doOp())
        finish();
    else
        errorCancel();
}

#pragma once

#include "SlowFileOpSpecification.h"

// Copies sourcePath to destPath on the global thread pool (FileCopyFunc). On failure it sends
// "Could not copy '<source>' to '<dest>'" as a message and ends in error; on success it journals
// the creation of destPath in rollbackList (when given) before it finishes.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    // `rollbackList` may be null; it is not owned and must outlive the task's run.
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& sourcePath,
                              const QString& destPath, QObject* parent, double weight);

protected:
    ASyncFunc* createFunction() override;
};

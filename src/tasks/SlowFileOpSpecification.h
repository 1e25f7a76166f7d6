#pragma once

#include "ASyncTaskSpecification.h"

class RollbackDataList;

// A background file operation from sourcePath to destPath.
//
// On failure the task sends failMessage as a message (not an error) right before errorCancel();
// the message is sent even when the result is dropped because the task is no longer running.
// On success it records the creation of destPath in rollbackList (when there is one) before
// finish(), so that an installation rollback removes the file again.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // `rollbackList` may be null; it is not owned and must outlive the task's run.
    SlowFileOpSpecification(QString failMessage, RollbackDataList* rollbackList, const QString& sourcePath,
                            const QString& destPath, QObject* parent, double weight);

    RollbackDataList* rollbackList;
    QString sourcePath;
    QString destPath;
    QString failMessage;

protected:
    void runDone(bool ok) override;
};

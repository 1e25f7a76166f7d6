#pragma once

#include "SlowFileOpSpecification.h"

// Unpacks the gzip file sourcePath to destPath on the global thread pool (FileUnzipFunc). On
// failure it sends "Could not unzip '<source>' to '<dest>'" as a message and ends in error, with
// nothing left at destPath; on success it journals the creation of destPath in rollbackList (when
// given) before it finishes.
class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    // `rollbackList` may be null; it is not owned and must outlive the task's run.
    FileUnzipTaskSpecification(RollbackDataList* rollbackList, const QString& sourcePath,
                               const QString& destPath, QObject* parent, double weight);

protected:
    ASyncFunc* createFunction() override;
};

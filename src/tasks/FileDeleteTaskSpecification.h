#pragma once

#include "FastFileOpTaskSpecification.h"

// Deletes the file `path`. A deletion is never undone, so nothing is journalled. With failOnError
// false a missing or undeletable file is skipped silently; with true it fails the task.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool failOnError, const QString& path, QObject* parent, double weight);

    bool failOnError;

protected:
    bool doOp() override;
};

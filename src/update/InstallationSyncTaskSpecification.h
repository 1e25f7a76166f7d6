#pragma once

#include "ASyncTaskSpecification.h"

#include <QString>

// Runs an InstallationSyncFunc on the thread pool: finishes once the file system holding `root` is
// on disk, ends in error (after the body's message) when it cannot be put there. Cannot be stopped
// once started; a cancel request is seen by the task that waits for it.
class InstallationSyncTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    InstallationSyncTaskSpecification(const QString& root, QObject* parent, double weight);

    QString root;

protected:
    ASyncFunc* createFunction() override;
};

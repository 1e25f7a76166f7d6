#pragma once

#include "FastFileOpTaskSpecification.h"

// Renames sourcePath to `path` and journals the rename. Fails, recording nothing, when `path`
// already exists.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString& sourcePath, const QString& path,
                                RollbackDataList* rollbackList, QObject* parent, double weight);

    QString sourcePath; // the name before the rename

protected:
    bool doOp() override;
};

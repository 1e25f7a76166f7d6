#pragma once

#include "FastFileOpTaskSpecification.h"

// Renames sourcePath to `path` and journals the rename. Fails, recording nothing, when anything
// occupies `path`, a link that points nowhere included.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString& sourcePath, const QString& path,
                                RollbackDataList* rollbackList, QObject* parent, double weight);

    QString sourcePath; // the name before the rename

    // Moves the directory entry `from` to `to` within one file system, as the one operation the
    // kernel offers for it: never a copy, never through a link, never onto an existing entry
    // (a dangling link counts as one). False when any of that would be needed.
    static bool renameWithoutReplacing(const QString& from, const QString& to);

protected:
    bool doOp() override;
};

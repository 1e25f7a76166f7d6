#pragma once

#include "FastFileOpTaskSpecification.h"

// Creates the directory `path` with every missing ancestor, outermost first, recording one CreateDir
// entry per directory created, so that a rollback removes them innermost first. An existing
// directory is success and records nothing.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent,
                               double weight);

    // Creates `dir` and its missing ancestors; explains a failure with message(). Ancestors created
    // before a failure keep their journal entries.
    bool tryCreateDir(const QString& dir);

protected:
    bool doOp() override;
};

#pragma once

#include "TaskSpecification.h"

class RollbackData;
class RollbackDataList;

// A quick file operation: does its work synchronously inside execute() and records what it did in
// a journal.
//
// Contract: execute() enters StateRunning, performs doOp() and ends with finish() or errorCancel()
// before it returns (so a composed parent has been told by then). Failures are explained with the
// message() signal, never error(). A cancel request has nothing to interrupt.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // `rollbackList` may be null (nothing is recorded); it is not owned.
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent,
                                double weight);

    RollbackDataList* rollbackList;
    QString path; // the path operated on (for a rename: the new name)

    // Adds `entry` to rollbackList when there is one; otherwise drops it.
    void addRollbackOp(const RollbackData& entry);

public Q_SLOTS:
    void execute() override;

protected:
    // Performs the operation; returns whether it succeeded.
    virtual bool doOp() = 0;
};

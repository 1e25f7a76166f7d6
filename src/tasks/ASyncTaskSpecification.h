#pragma once

#include "TaskSpecification.h"

class ASyncFunc;

// A task whose body (an ASyncFunc) runs once on the global thread pool.
//
// Contract:
// - execute() builds the body (createFunction), connects it (connectDefaultSignals), hands it to
//   QThreadPool::globalInstance() with priority 0 and then enters StateRunning. The task object
//   itself never leaves the GUI thread.
// - The body's result, messages, errors and progress arrive as queued calls on the GUI thread; its
//   progress fractions are weighted with setProgress(). runDone() ends the task: finish() on
//   success, errorCancel() on failure.
// - A result or progress that arrives while the task is not running (after reset()) is dropped,
//   and so is everything a body still reports after the task has been executed again.
// - There is no way to stop a body: a cancel request only sets isUserCanceled, the body runs to its
//   end and the task ends by its result.
// - reset() blocks the calling thread until the whole global thread pool has no work left.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject* parent, double weight);

public Q_SLOTS:
    void execute() override;
    void reset() override;

protected:
    // Returns a new body holding what it needs. Ownership passes to the thread pool.
    virtual ASyncFunc* createFunction() = 0;
    // Queued connections from the body: runResult -> onRunResult, message -> message,
    // error -> error, progress -> onProgress.
    virtual void connectDefaultSignals(ASyncFunc* func);
    // Handles the body's result; the base ends the task if it is still running.
    virtual void runDone(bool ok);

protected Q_SLOTS:
    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    // Counts executions; a body only reaches the task while it belongs to the latest one.
    quint64 m_run = 0;
};

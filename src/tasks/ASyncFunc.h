#pragma once

#include <QObject>
#include <QString>

// The body of a background task: runs once on a thread of the global thread pool.
//
// Contract:
// - Created without a parent on the GUI thread by the task's createFunction(); it holds copies of
//   what it needs (paths, checksums) or pointers to objects nothing else touches while it runs.
// - execute() runs on a pool thread; the body is deleted there, together with its ASyncRun, as
//   soon as execute() has returned. Its signals reach the task through queued connections that
//   carry copies of their arguments, so the task never touches the body.
// - progress() reports plain fractions from 0.0 to 1.0; the task weights them.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc();

    // Calls run() and emits runResult() with its result.
    void execute();

    // The work itself; returns whether it succeeded. May explain itself through message() or error()
    // beforehand. May also be called directly, on any thread, without a task.
    virtual bool run() = 0;

Q_SIGNALS:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    void progress(qreal progress);
};

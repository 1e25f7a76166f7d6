#pragma once

#include "TaskState.h"

#include <QObject>
#include <QString>

// The base of every unit of work of an update.
//
// Contract:
// - A task lives on the thread that created it (the GUI thread); every member is read and written
//   there only. It is owned by its QObject parent.
// - execute() starts the task once. The task works asynchronously and ends by emitting exactly one
//   of finished() or canceled(), both carrying the task itself; `state` is already set when either
//   is received. reset() returns it to StateIdle so that it can be executed again.
// - updateProgress() carries the weighted progress (fraction x parentProgressRange), never the raw
//   fraction; message() and updateProgress() may arrive at any time during a run, error() may
//   precede the end signal.
// - userCanceled() only records the request; the task ends later in whatever way it decides.
//
// The public data members are part of the contract: a composed parent reads `progress` and `state`
// of its sub-tasks directly.
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    TaskSpecification(QObject* parent, double weight);

    bool isUserCanceled; // the user asked this task to stop; a request only
    double parentProgressRange; // this task's share of its parent's progress
    double progress; // last fraction passed to setProgress() times parentProgressRange
    TaskState state;

    // Stores fraction x parentProgressRange in `progress` and emits updateProgress() with it.
    void setProgress(double fraction);
    void setParentProgressRange(double weight);

    // The three ways a run ends. Each sets `state` first and then emits its end signal
    // synchronously. They do not check the current state: a task calls exactly one per run.
    void finish(); // StateFinished, setProgress(1.0), finished(this)
    void errorCancel(); // StateErrorCanceled, canceled(this)
    void userCancel(); // StateUserCanceled, canceled(this)

public Q_SLOTS:
    virtual void execute() = 0;
    // Clears isUserCanceled, enters StateIdle and emits updateProgress(0.0).
    virtual void reset();
    // Transfer figures for the display: bytes received, bytes expected (0 when unknown), bytes since
    // the previous tick, transfer under way. The base reports 0, 0, 0, false.
    virtual void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading);
    // The user asks the task to stop. The base only sets isUserCanceled.
    virtual void userCanceled();
    // A sibling task was cancelled while this one runs. The base ignores it.
    virtual void handleOtherTaskCancelled(TaskSpecification* other);

Q_SIGNALS:
    void finished(TaskSpecification* task);
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification* task);

protected Q_SLOTS:
    // Connected by a composed parent to its otherTaskCancelled(). Passes the news on to
    // handleOtherTaskCancelled() only when `other` is not this task and this task is running.
    void onOtherTaskCancelled(TaskSpecification* other);
};

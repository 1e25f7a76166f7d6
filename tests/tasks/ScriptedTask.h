#pragma once

#include "TaskSpecification.h"

#include <QStringList>

// A leaf task for the framework's tests whose reactions are set by the test: how it ends when
// executed, what it does when a sibling's cancellation is broadcast to it and when the user cancels
// it. Every start and end is appended to a shared event log.
class ScriptedTask : public TaskSpecification
{
    Q_OBJECT
public:
    enum OnExecute {
        StayRunning, // the test ends it with finish(), errorCancel() or userCancel()
        FinishAtOnce, // ends inside execute()
        FailAtOnce, // errorCancel() inside execute()
        FinishLater, // finish() in a later event-loop dispatch
    };
    enum OnSignal {
        Ignore,
        EndErrorCanceled,
        EndUserCanceled,
    };

    ScriptedTask(const QString& name, QStringList* log, QObject* parent, double weight);

    QString name;
    QStringList* log;
    OnExecute onExecute = StayRunning;
    OnSignal onOtherCancelled = Ignore;
    OnSignal onUserCanceled = Ignore;
    int executeCount = 0;
    int endDepthAtStart = 0; // endDepth when execute() was last called
    // Figures reported by timeTick().
    quint64 tickDone = 0;
    quint64 tickTotal = 0;
    quint64 tickSpeed = 0;
    bool tickDownloading = false;

    // How deep the test tasks are nested in their own end calls right now: a sub-task started
    // while this is positive was started directly from another task's end signal.
    static int endDepth;

    void execute() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    using TaskSpecification::onOtherTaskCancelled; // lets a test broadcast without a parent

    // Ends the task as the test says, logging "<name> finished" / "<name> canceled".
    void end(OnSignal how);
    void endFinished();

private:
    void logLine(const QString& what);
};

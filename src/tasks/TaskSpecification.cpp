#include "TaskSpecification.h"

TaskSpecification::TaskSpecification(QObject* parent, double weight)
    : QObject(parent)
    , isUserCanceled(false)
    , parentProgressRange(weight)
    , progress(0.0)
    , state(StateIdle)
{
}

void TaskSpecification::setProgress(double fraction)
{
    progress = fraction * parentProgressRange;
    Q_EMIT updateProgress(progress);
}

void TaskSpecification::setParentProgressRange(double weight)
{
    parentProgressRange = weight;
}

void TaskSpecification::finish()
{
    state = StateFinished;
    // The parent must see the full weight before it hears of the end.
    setProgress(1.0);
    Q_EMIT finished(this);
}

void TaskSpecification::errorCancel()
{
    state = StateErrorCanceled;
    Q_EMIT canceled(this);
}

void TaskSpecification::userCancel()
{
    state = StateUserCanceled;
    Q_EMIT canceled(this);
}

void TaskSpecification::reset()
{
    isUserCanceled = false;
    state = StateIdle;
    setProgress(0.0);
}

void TaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                 bool& downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled()
{
    isUserCanceled = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification*) { }

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    // The broadcast also reaches the cancelled task itself and siblings that have not started or
    // have already ended; only running siblings have anything to stop.
    if (other == this || state != StateRunning)
        return;
    handleOtherTaskCancelled(other);
}

#include "ScriptedTask.h"

#include <QTimer>

int ScriptedTask::endDepth = 0;

ScriptedTask::ScriptedTask(const QString& name, QStringList* log, QObject* parent, double weight)
    : TaskSpecification(parent, weight)
    , name(name)
    , log(log)
{
}

void ScriptedTask::logLine(const QString& what)
{
    if (log)
        log->append(name + QLatin1Char(' ') + what);
}

void ScriptedTask::execute()
{
    ++executeCount;
    endDepthAtStart = endDepth;
    state = StateRunning;
    logLine(QStringLiteral("started"));
    switch (onExecute) {
    case StayRunning:
        break;
    case FinishAtOnce:
        endFinished();
        break;
    case FailAtOnce:
        end(EndErrorCanceled);
        break;
    case FinishLater:
        QTimer::singleShot(0, this, [this] {
            if (state == StateRunning)
                endFinished();
        });
        break;
    }
}

void ScriptedTask::endFinished()
{
    ++endDepth;
    logLine(QStringLiteral("finished"));
    finish();
    --endDepth;
}

void ScriptedTask::end(OnSignal how)
{
    if (how == Ignore)
        return;
    ++endDepth;
    logLine(QStringLiteral("canceled"));
    if (how == EndErrorCanceled)
        errorCancel();
    else
        userCancel();
    --endDepth;
}

void ScriptedTask::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading)
{
    downloadDone = tickDone;
    downloadTotal = tickTotal;
    speed = tickSpeed;
    downloading = tickDownloading;
}

void ScriptedTask::userCanceled()
{
    TaskSpecification::userCanceled();
    logLine(QStringLiteral("told user cancel"));
    if (state == StateRunning)
        end(onUserCanceled);
}

void ScriptedTask::handleOtherTaskCancelled(TaskSpecification* other)
{
    const auto* sibling = qobject_cast<ScriptedTask*>(other);
    logLine(QStringLiteral("told of ") + (sibling ? sibling->name : QStringLiteral("?")));
    end(onOtherCancelled);
}

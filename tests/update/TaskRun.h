#pragma once

#include "TaskSpecification.h"

#include <QSignalSpy>
#include <QStringList>

// Watches one run of a task: its end signals and its messages, readable after the end.
struct TaskRun
{
    explicit TaskRun(TaskSpecification* task)
        : finished(task, &TaskSpecification::finished)
        , canceled(task, &TaskSpecification::canceled)
        , messages(task, &TaskSpecification::message)
    {
    }
    // Exactly one end signal has arrived.
    bool ended() const { return finished.count() + canceled.count() == 1; }
    QStringList messageTexts() const
    {
        QStringList texts;
        for (const QList<QVariant>& args : messages)
            texts << args.at(0).toString();
        return texts;
    }
    // The messages as one text, for QVERIFY2.
    QString log() const { return messageTexts().join(QLatin1Char('\n')); }

    QSignalSpy finished;
    QSignalSpy canceled;
    QSignalSpy messages;
};

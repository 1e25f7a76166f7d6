#include "ComposedTaskSpecification.h"
#include "ScriptedTask.h"

#include <QEventLoop>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// A composed task whose sub-tasks are added by the test before execute(). Its reset() is the one
// the concrete composed tasks use: the sub-tasks are discarded and rebuilt for the next run.
class TestComposed : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    TestComposed(int maxParallel, double weight, QObject* parent = nullptr)
        : ComposedTaskSpecification(maxParallel, weight, parent)
    {
    }

    int subtasksDoneCount = 0;
    int peakRunning = 0;

    void execute() override { executeSubTasks(); }
    void discardingReset()
    {
        clearSubTasks();
        TaskSpecification::reset();
    }

protected:
    void subtasksDone() override
    {
        ++subtasksDoneCount;
        ComposedTaskSpecification::subtasksDone();
    }
};

// A transfer whose retry after a stall cannot create its local file: it reports error() from inside
// timeTick().
class ErrorOnTickTask : public ScriptedTask
{
public:
    using ScriptedTask::ScriptedTask;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override
    {
        ScriptedTask::timeTick(downloadDone, downloadTotal, speed, downloading);
        Q_EMIT error(QStringLiteral("Unable to create file %1 for saving").arg(name));
    }
};

// A sub-task whose timeTick() runs what the test gives it after reporting its own figures, and
// counts how often it was asked.
class HookedTickTask : public ScriptedTask
{
public:
    using ScriptedTask::ScriptedTask;
    std::function<void()> onTick;
    int* ticks = nullptr;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override
    {
        ScriptedTask::timeTick(downloadDone, downloadTotal, speed, downloading);
        if (ticks)
            ++*ticks;
        if (onTick)
            onTick();
    }
};

ScriptedTask* addScripted(TestComposed* parent, const QString& name, QStringList* log, double weight,
                          ScriptedTask::OnExecute onExecute = ScriptedTask::StayRunning)
{
    auto* task = new ScriptedTask(name, log, parent, weight);
    task->onExecute = onExecute;
    parent->addSubTask(task);
    return task;
}

QString joined(const QStringList& log)
{
    return log.join(QStringLiteral(" | "));
}

} // namespace

class tst_ComposedTaskSpecification : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void emptyFinishesInsideExecute();
    void parallelismAndStartOrder_data();
    void parallelismAndStartOrder();
    void nextStartsInLaterDispatch();
    void cancelledSubTaskStopsTheRun_data();
    void cancelledSubTaskStopsTheRun();
    void secondEndOfSubTaskFreesNoPlace_data();
    void secondEndOfSubTaskFreesNoPlace();
    void broadcastNamesFirstCancelledOnce();
    void broadcastEndingEveryoneEndsOnce();
    void stateFromSubTasks_data();
    void stateFromSubTasks();
    void userCancelWithPendingTasks();
    void userCancelWhileIdleStaysLocal();
    void userCancelOfTwoDownloads();
    void nestedTaskPassesCancellationOn();
    void weightedProgress_data();
    void weightedProgress();
    void progressFollowsManyEvents();
    void timeTickSums_data();
    void timeTickSums();
    void treeReleasedDuringTick();
    void siblingsReleasedDuringTick_data();
    void siblingsReleasedDuringTick();
    void noParallelismEndsInError_data();
    void noParallelismEndsInError();
    void messagesAndErrorsRelayed();
    void clearSubTasksDetachesAndDeletes();
    void destructionReleasesSubTasks();
    void resetRunsSameSubTasksAgain();
    void discardingResetAfterCancelAllowsNewRun();
    void startsQueuedBeforeReset_data();
    void startsQueuedBeforeReset();
};

void tst_ComposedTaskSpecification::emptyFinishesInsideExecute()
{
    TestComposed task(3, 0.25);
    QStringList seen;
    connect(&task, &TaskSpecification::updateProgress, this,
            [&](qreal v) { seen << QStringLiteral("progress %1").arg(v); });
    connect(&task, &TaskSpecification::finished, this,
            [&](TaskSpecification* t) { seen << QStringLiteral("finished state %1").arg(int(t->state)); });
    task.execute();
    QVERIFY2(seen == QStringList({QStringLiteral("progress 0.25"), QStringLiteral("finished state 2")}),
             qPrintable(joined(seen)));
    QCOMPARE(task.subtasksDoneCount, 1);
    // No late second end from a queued dispatch.
    QCoreApplication::processEvents();
    QCOMPARE(task.subtasksDoneCount, 1);
    QCOMPARE(seen.size(), 2);
}

void tst_ComposedTaskSpecification::parallelismAndStartOrder_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::addColumn<int>("count");
    QTest::newRow("one at a time") << 1 << 5;
    QTest::newRow("two of five") << 2 << 5;
    QTest::newRow("three of five") << 3 << 5;
    QTest::newRow("limit above count") << 10 << 5;
    QTest::newRow("single task") << 4 << 1;
}

void tst_ComposedTaskSpecification::parallelismAndStartOrder()
{
    QFETCH(int, maxParallel);
    QFETCH(int, count);
    QStringList log;
    TestComposed parent(maxParallel, 1.0);
    QStringList startOrder;
    int peak = 0;
    for (int i = 0; i < count; ++i)
        addScripted(&parent, QString::number(i), &log, 1.0 / count, ScriptedTask::FinishLater);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    QTRY_COMPARE(finished.size(), 1);
    for (const QString& line : std::as_const(log)) {
        if (line.endsWith(QLatin1String(" started")))
            startOrder << line.section(QLatin1Char(' '), 0, 0);
    }
    // Replay the log to find the peak number of tasks running at once.
    int running = 0;
    for (const QString& line : std::as_const(log)) {
        running += line.endsWith(QLatin1String(" started")) ? 1 : -1;
        peak = std::max(peak, running);
    }
    QStringList expectedOrder;
    for (int i = 0; i < count; ++i)
        expectedOrder << QString::number(i);
    QVERIFY2(startOrder == expectedOrder, qPrintable(joined(log)));
    QVERIFY2(
        peak == std::min(maxParallel, count),
        qPrintable(
            QStringLiteral("peak %1 running, limit %2: %3").arg(peak).arg(maxParallel).arg(joined(log))));
    QCOMPARE(parent.state, StateFinished);
    QCOMPARE(parent.subtasksDoneCount, 1);
    QCOMPARE(parent.doneTasks.size(), count);
    QVERIFY(parent.pendingTasks.isEmpty());
    QVERIFY(parent.runningTasks.isEmpty());
}

void tst_ComposedTaskSpecification::nextStartsInLaterDispatch()
{
    // Tasks that end inside their own execute() must still start one per dispatch, never from
    // within the previous task's end signal.
    QStringList log;
    TestComposed parent(1, 1.0);
    QList<ScriptedTask*> tasks;
    for (int i = 0; i < 4; ++i)
        tasks << addScripted(&parent, QString::number(i), &log, 0.25, ScriptedTask::FinishAtOnce);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    QVERIFY2(log.isEmpty(), "no sub-task may start inside execute()");
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::sendPostedEvents(&parent, QEvent::MetaCall);
        QVERIFY2(log.size() == 2 * (i + 1),
                 qPrintable(QStringLiteral("after dispatch %1: %2").arg(i).arg(joined(log))));
    }
    QCOMPARE(finished.size(), 0); // the end comes in one more dispatch
    QCoreApplication::sendPostedEvents(&parent, QEvent::MetaCall);
    QCOMPARE(finished.size(), 1);
    for (ScriptedTask* t : std::as_const(tasks)) {
        QCOMPARE(t->executeCount, 1);
        QVERIFY2(t->endDepthAtStart == 0,
                 qPrintable(t->name + QStringLiteral(" was started from inside another task's end")));
    }
}

void tst_ComposedTaskSpecification::cancelledSubTaskStopsTheRun_data()
{
    QTest::addColumn<int>("firstEnd"); // ScriptedTask::OnSignal of the first to end
    QTest::addColumn<int>("secondEnd"); // -1: finishes normally
    QTest::addColumn<int>("expected");
    QTest::newRow("error, other finishes")
        << int(ScriptedTask::EndErrorCanceled) << -1 << int(StateErrorCanceled);
    QTest::newRow("user, other finishes")
        << int(ScriptedTask::EndUserCanceled) << -1 << int(StateUserCanceled);
    QTest::newRow("user, then error") << int(ScriptedTask::EndUserCanceled)
                                      << int(ScriptedTask::EndErrorCanceled) << int(StateErrorCanceled);
    QTest::newRow("error, then user") << int(ScriptedTask::EndErrorCanceled)
                                      << int(ScriptedTask::EndUserCanceled) << int(StateErrorCanceled);
    QTest::newRow("user, then user") << int(ScriptedTask::EndUserCanceled)
                                     << int(ScriptedTask::EndUserCanceled) << int(StateUserCanceled);
}

void tst_ComposedTaskSpecification::cancelledSubTaskStopsTheRun()
{
    QFETCH(int, firstEnd);
    QFETCH(int, secondEnd);
    QFETCH(int, expected);
    QStringList log;
    TestComposed parent(2, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 0.25);
    ScriptedTask* b = addScripted(&parent, QStringLiteral("b"), &log, 0.25);
    ScriptedTask* c = addScripted(&parent, QStringLiteral("c"), &log, 0.25, ScriptedTask::FinishAtOnce);
    ScriptedTask* d = addScripted(&parent, QStringLiteral("d"), &log, 0.25, ScriptedTask::FinishAtOnce);
    QSignalSpy ended(&parent, &TaskSpecification::canceled);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    QTRY_COMPARE(b->state, StateRunning);

    // The second running task ends first here: the end order, not the list order, decides.
    b->end(ScriptedTask::OnSignal(firstEnd));
    QCoreApplication::processEvents();
    QCOMPARE(ended.size(), 0); // a still runs
    QCOMPARE(parent.state, StateRunning);

    if (secondEnd < 0) {
        // A normal end frees a place; the run ends in the dispatch that would have used it.
        a->endFinished();
        QCOMPARE(ended.size(), 0);
        QTRY_COMPARE(ended.size(), 1);
    } else {
        // A cancellation ends the run as soon as nothing runs, inside a's end signal.
        a->end(ScriptedTask::OnSignal(secondEnd));
        QCOMPARE(ended.size(), 1);
    }
    QCoreApplication::processEvents();
    QCOMPARE(ended.size(), 1);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(int(parent.state), expected);
    QCOMPARE(parent.subtasksDoneCount, 1);
    QCOMPARE(c->executeCount, 0);
    QCOMPARE(d->executeCount, 0);
    QVERIFY2(log.contains(QStringLiteral("a told of b")), qPrintable(joined(log)));
}

void tst_ComposedTaskSpecification::secondEndOfSubTaskFreesNoPlace_data()
{
    QTest::addColumn<int>("secondEnd"); // -1: finished again
    QTest::newRow("finished twice") << -1;
    QTest::newRow("finished, then cancelled") << int(ScriptedTask::EndErrorCanceled);
}

void tst_ComposedTaskSpecification::secondEndOfSubTaskFreesNoPlace()
{
    // A faulty sub-task that ends twice must neither start an extra sub-task nor end the run.
    QFETCH(int, secondEnd);
    QStringList log;
    TestComposed parent(1, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 0.3);
    ScriptedTask* b = addScripted(&parent, QStringLiteral("b"), &log, 0.3);
    ScriptedTask* c = addScripted(&parent, QStringLiteral("c"), &log, 0.4);
    QSignalSpy ended(&parent, &TaskSpecification::canceled);
    parent.execute();
    QTRY_COMPARE(a->state, StateRunning);
    a->endFinished();
    if (secondEnd < 0)
        a->endFinished();
    else
        a->end(ScriptedTask::OnSignal(secondEnd));
    QTRY_COMPARE(b->state, StateRunning);
    QCoreApplication::processEvents();
    QVERIFY2(c->executeCount == 0, qPrintable(joined(log)));
    QCOMPARE(parent.state, StateRunning);
    QCOMPARE(ended.size(), 0);
    QCOMPARE(parent.doneTasks.size(), 1);
}

void tst_ComposedTaskSpecification::broadcastNamesFirstCancelledOnce()
{
    QStringList log;
    TestComposed parent(3, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 0.3);
    ScriptedTask* b = addScripted(&parent, QStringLiteral("b"), &log, 0.3);
    ScriptedTask* c = addScripted(&parent, QStringLiteral("c"), &log, 0.4);
    QSignalSpy broadcast(&parent, &TaskSpecification::otherTaskCancelled);
    parent.execute();
    QTRY_COMPARE(c->state, StateRunning);
    b->end(ScriptedTask::EndErrorCanceled);
    a->end(ScriptedTask::EndUserCanceled);
    QCOMPARE(broadcast.size(), 1);
    QCOMPARE(broadcast.at(0).at(0).value<TaskSpecification*>(), b);
    QCOMPARE(parent.state, StateRunning); // c still runs
    c->endFinished();
    QTRY_COMPARE(parent.state, StateErrorCanceled);
    QCOMPARE(broadcast.size(), 1);
    QCOMPARE(parent.subtasksDoneCount, 1);
}

void tst_ComposedTaskSpecification::broadcastEndingEveryoneEndsOnce()
{
    // Every running sibling fails when told: they all end, re-entering the parent, inside the
    // first broadcast. The parent must still end exactly once.
    QStringList log;
    TestComposed parent(4, 1.0);
    QList<ScriptedTask*> tasks;
    for (int i = 0; i < 4; ++i) {
        tasks << addScripted(&parent, QString::number(i), &log, 0.25);
        tasks.last()->onOtherCancelled = ScriptedTask::EndErrorCanceled;
    }
    QSignalSpy ended(&parent, &TaskSpecification::canceled);
    QSignalSpy broadcast(&parent, &TaskSpecification::otherTaskCancelled);
    parent.execute();
    QTRY_COMPARE(tasks.last()->state, StateRunning);
    tasks[2]->end(ScriptedTask::EndErrorCanceled);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(broadcast.size(), 1);
    QCOMPARE(parent.subtasksDoneCount, 1);
    for (ScriptedTask* t : std::as_const(tasks))
        QCOMPARE(t->state, StateErrorCanceled);
    QCoreApplication::processEvents();
    QCOMPARE(ended.size(), 1);
    QCOMPARE(parent.doneTasks.size(), 4);
}

void tst_ComposedTaskSpecification::stateFromSubTasks_data()
{
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<bool>("userFlag");
    QTest::addColumn<bool>("cancelFlag");
    QTest::addColumn<int>("expected");
    const int I = StateIdle, R = StateRunning, F = StateFinished, E = StateErrorCanceled,
              U = StateUserCanceled;
    QTest::newRow("none") << QList<int> {} << false << false << F;
    QTest::newRow("none, user flag") << QList<int> {} << true << false << F;
    QTest::newRow("all finished") << QList<int> {F, F, F} << false << false << F;
    QTest::newRow("all finished beats flags") << QList<int> {F, F} << true << true << F;
    QTest::newRow("error first") << QList<int> {E, U} << false << false << E;
    QTest::newRow("error after user") << QList<int> {U, F, E} << false << false << E;
    QTest::newRow("user only") << QList<int> {F, U, I} << false << false << U;
    QTest::newRow("user beats cancel flag") << QList<int> {U, I} << false << true << U;
    QTest::newRow("error beats user flag") << QList<int> {F, E, I} << true << false << E;
    QTest::newRow("pending, user flag") << QList<int> {F, I} << true << false << U;
    QTest::newRow("pending, user and cancel flag") << QList<int> {F, I} << true << true << U;
    QTest::newRow("pending, cancel flag") << QList<int> {F, I} << false << true << E;
    QTest::newRow("still running") << QList<int> {F, R, I} << false << false << R;
}

void tst_ComposedTaskSpecification::stateFromSubTasks()
{
    QFETCH(QList<int>, states);
    QFETCH(bool, userFlag);
    QFETCH(bool, cancelFlag);
    QFETCH(int, expected);
    TestComposed parent(1, 1.0);
    for (int s : std::as_const(states))
        addScripted(&parent, QString::number(s), nullptr, 0.1)->state = TaskState(s);
    parent.isUserCanceled = userFlag;
    parent.hasCanceledSubTask = cancelFlag;
    QCOMPARE(int(parent.getStateFromSubTasks()), expected);
}

void tst_ComposedTaskSpecification::userCancelWithPendingTasks()
{
    QStringList log;
    TestComposed parent(1, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 0.4);
    ScriptedTask* b = addScripted(&parent, QStringLiteral("b"), &log, 0.3, ScriptedTask::FinishAtOnce);
    ScriptedTask* c = addScripted(&parent, QStringLiteral("c"), &log, 0.3, ScriptedTask::FinishAtOnce);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    QTRY_COMPARE(a->state, StateRunning);
    parent.userCanceled();
    // Every sub-task hears of it, pending ones included; the running one decides for itself.
    QCOMPARE(a->isUserCanceled, true);
    QCOMPARE(b->isUserCanceled, true);
    QCOMPARE(c->isUserCanceled, true);
    QCOMPARE(a->state, StateRunning);
    a->endFinished();
    QTRY_COMPARE(canceled.size(), 1);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(parent.state, StateUserCanceled);
    QCOMPARE(b->executeCount, 0);
    QCOMPARE(c->executeCount, 0);
    QCOMPARE(parent.subtasksDoneCount, 1);
}

void tst_ComposedTaskSpecification::userCancelWhileIdleStaysLocal()
{
    TestComposed parent(1, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), nullptr, 1.0);
    parent.userCanceled();
    QCOMPARE(parent.isUserCanceled, true);
    QCOMPARE(a->isUserCanceled, false);
}

void tst_ComposedTaskSpecification::userCancelOfTwoDownloads()
{
    // Two transfers that abort, and fail, when told of a sibling's cancellation. The user's request
    // reaches the first, which ends user-cancelled; the broadcast then reaches the second before its
    // own request does, and its failure outranks the user's cancellation.
    QStringList log;
    TestComposed parent(2, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 0.5);
    ScriptedTask* b = addScripted(&parent, QStringLiteral("b"), &log, 0.5);
    for (ScriptedTask* t : {a, b}) {
        t->onUserCanceled = ScriptedTask::EndUserCanceled;
        t->onOtherCancelled = ScriptedTask::EndErrorCanceled;
    }
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);
    parent.execute();
    QTRY_COMPARE(b->state, StateRunning);
    log.clear();
    parent.userCanceled();
    const QStringList expected {QStringLiteral("a told user cancel"), QStringLiteral("a canceled"),
                                QStringLiteral("b told of a"), QStringLiteral("b canceled"),
                                QStringLiteral("b told user cancel")};
    QVERIFY2(log == expected, qPrintable(joined(log)));
    QCOMPARE(a->state, StateUserCanceled);
    QCOMPARE(b->state, StateErrorCanceled);
    QCOMPARE(canceled.size(), 1);
    QCOMPARE(parent.state, StateErrorCanceled);
    QCOMPARE(parent.subtasksDoneCount, 1);
}

void tst_ComposedTaskSpecification::nestedTaskPassesCancellationOn()
{
    // root runs a leaf and a nested composed task side by side. When the leaf fails, the nested
    // task's running sub-task is told; the nested task itself does not stop starting its own.
    QStringList log;
    TestComposed root(2, 1.0);
    ScriptedTask* leaf = addScripted(&root, QStringLiteral("leaf"), &log, 0.5);
    auto* nested = new TestComposed(1, 0.5, &root);
    ScriptedTask* inner1 = addScripted(nested, QStringLiteral("inner1"), &log, 0.5);
    ScriptedTask* inner2 =
        addScripted(nested, QStringLiteral("inner2"), &log, 0.5, ScriptedTask::FinishAtOnce);
    root.addSubTask(nested);
    root.execute();
    QTRY_COMPARE(inner1->state, StateRunning);
    leaf->end(ScriptedTask::EndErrorCanceled);
    QVERIFY2(log.contains(QStringLiteral("inner1 told of leaf")), qPrintable(joined(log)));
    QCOMPARE(nested->hasCanceledSubTask, false);
    QCOMPARE(nested->isUserCanceled, false);
    inner1->endFinished();
    QTRY_COMPARE(inner2->state, StateFinished);
    QTRY_COMPARE(root.state, StateErrorCanceled);
    QCOMPARE(nested->state, StateFinished);
}

void tst_ComposedTaskSpecification::weightedProgress_data()
{
    QTest::addColumn<double>("parentWeight");
    QTest::newRow("root") << 1.0;
    QTest::newRow("stage of 0.4") << 0.4;
}

void tst_ComposedTaskSpecification::weightedProgress()
{
    QFETCH(double, parentWeight);
    TestComposed parent(1, parentWeight);
    const QList<double> weights {0.1, 0.05, 0.4, 0.4, 0.05};
    QList<ScriptedTask*> tasks;
    for (double w : weights)
        tasks << addScripted(&parent, QString::number(w), nullptr, w);
    QSignalSpy progress(&parent, &TaskSpecification::updateProgress);
    parent.execute();
    QTRY_COMPARE(tasks[0]->state, StateRunning);
    tasks[0]->setProgress(0.5);
    QVERIFY(qFuzzyCompare(parent.progress, 0.05 * parentWeight));
    tasks[0]->endFinished();
    QTRY_COMPARE(tasks[1]->state, StateRunning);
    tasks[1]->endFinished();
    QVERIFY2(qFuzzyCompare(parent.progress, 0.15 * parentWeight),
             qPrintable(QStringLiteral("reported %1").arg(parent.progress)));
    QVERIFY(qFuzzyCompare(progress.last().at(0).toDouble(), 0.15 * parentWeight));
    // A sub-task going back (a retry resets it) lowers the sum again.
    tasks[1]->reset();
    QVERIFY(qFuzzyCompare(parent.progress, 0.1 * parentWeight));
}

void tst_ComposedTaskSpecification::progressFollowsManyEvents()
{
    // Many progress events in random order over many sub-tasks, mixed with resets: the reported
    // value must stay the plain sum of the sub-tasks' progress.
    TestComposed parent(1, 0.7);
    const int count = 500;
    QList<ScriptedTask*> tasks;
    for (int i = 0; i < count; ++i)
        tasks << addScripted(&parent, QString::number(i), nullptr, 1.0 / count);
    QRandomGenerator random(20261211);
    for (int event = 0; event < 100000; ++event) {
        ScriptedTask* t = tasks[random.bounded(count)];
        if (random.bounded(50) == 0)
            t->reset();
        else
            t->setProgress(random.generateDouble());
    }
    double sum = 0.0;
    for (ScriptedTask* t : std::as_const(tasks))
        sum += t->progress;
    QVERIFY2(qAbs(parent.progress - 0.7 * sum) < 1e-12,
             qPrintable(QStringLiteral("reported %1, plain sum gives %2")
                            .arg(parent.progress, 0, 'g', 17)
                            .arg(0.7 * sum, 0, 'g', 17)));

    // Finishing every sub-task reaches exactly the full weight.
    for (ScriptedTask* t : std::as_const(tasks))
        t->setProgress(1.0);
    QVERIFY2(qAbs(parent.progress - 0.7) < 1e-12, qPrintable(QString::number(parent.progress, 'g', 17)));
}

void tst_ComposedTaskSpecification::timeTickSums_data()
{
    QTest::addColumn<QList<quint64>>("figures"); // done, total, speed, downloading per sub-task
    QTest::addColumn<QList<quint64>>("passedIn");
    QTest::addColumn<QList<quint64>>("expected");
    QTest::newRow("total-less transfer adds speed only")
        << QList<quint64> {1000, 1000, 0, 0, 300, 0, 50, 1} << QList<quint64> {0, 0, 0}
        << QList<quint64> {1000, 1000, 50, 1};
    QTest::newRow("nothing transfers")
        << QList<quint64> {0, 0, 0, 0, 0, 0, 0, 0} << QList<quint64> {0, 0, 0} << QList<quint64> {0, 0, 0, 0};
    QTest::newRow("two transfers") << QList<quint64> {10, 100, 5, 1, 20, 200, 7, 0}
                                   << QList<quint64> {0, 0, 0} << QList<quint64> {30, 300, 12, 1};
    QTest::newRow("counters passed in are kept")
        << QList<quint64> {10, 100, 5, 0, 0, 0, 0, 0} << QList<quint64> {1, 2, 3}
        << QList<quint64> {11, 102, 8, 0};
}

void tst_ComposedTaskSpecification::timeTickSums()
{
    QFETCH(QList<quint64>, figures);
    QFETCH(QList<quint64>, passedIn);
    QFETCH(QList<quint64>, expected);
    TestComposed parent(2, 1.0);
    for (int i = 0; i + 3 < figures.size(); i += 4) {
        ScriptedTask* t = addScripted(&parent, QString::number(i), nullptr, 0.5);
        t->tickDone = figures[i];
        t->tickTotal = figures[i + 1];
        t->tickSpeed = figures[i + 2];
        t->tickDownloading = figures[i + 3] != 0;
    }
    quint64 done = passedIn[0], total = passedIn[1], speed = passedIn[2];
    bool downloading = true; // must be overwritten
    parent.timeTick(done, total, speed, downloading);
    QCOMPARE(done, expected[0]);
    QCOMPARE(total, expected[1]);
    QCOMPARE(speed, expected[2]);
    QCOMPARE(downloading, expected[3] != 0);
}

void tst_ComposedTaskSpecification::treeReleasedDuringTick()
{
    // The window shows error() in a modal message box, whose event loop runs inside the emission.
    // When a sub-task reports an error from inside timeTick() and the tree is released while the
    // box is open, the tick must not go on over the deleted sub-tasks of the nested and the outer
    // composed task.
    QStringList log;
    auto* root = new TestComposed(2, 1.0);
    auto* nested = new TestComposed(2, 0.5, root);
    auto* failing = new ErrorOnTickTask(QStringLiteral("failing"), &log, nested, 0.5);
    nested->addSubTask(failing);
    addScripted(nested, QStringLiteral("after in nested"), &log, 0.5)->tickDone = 10;
    root->addSubTask(nested);
    addScripted(root, QStringLiteral("after in root"), &log, 0.5)->tickDone = 20;
    QPointer<TestComposed> rootWatch(root);
    QPointer<ScriptedTask> failingWatch(failing);

    int boxes = 0;
    connect(root, &TaskSpecification::error, this, [&] {
        ++boxes;
        QEventLoop box;
        QTimer::singleShot(0, &box, [&] {
            connect(root, &QObject::destroyed, &box, &QEventLoop::quit);
            root->deleteLater();
        });
        QTimer::singleShot(10000, &box, &QEventLoop::quit);
        box.exec();
    });
    // The engine's timer ticks the tree from an event-loop dispatch.
    bool tickReturned = false;
    QTimer::singleShot(0, this, [&] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        root->timeTick(done, total, speed, downloading);
        tickReturned = true;
    });
    QTRY_VERIFY(tickReturned);
    QCOMPARE(boxes, 1);
    QVERIFY(rootWatch.isNull());
    QVERIFY(failingWatch.isNull());
}

void tst_ComposedTaskSpecification::siblingsReleasedDuringTick_data()
{
    QTest::addColumn<bool>("deletedInTick");
    QTest::newRow("released, deletion still pending") << false;
    QTest::newRow("released and deleted by a modal box's event loop") << true;
}

void tst_ComposedTaskSpecification::siblingsReleasedDuringTick()
{
    // The composed task itself lives on, but a sub-task's tick ends in code that discards the
    // sub-tasks (and a modal box's event loop may delete them before the tick returns): the walk
    // must not go on to the discarded siblings.
    QFETCH(bool, deletedInTick);
    QStringList log;
    TestComposed parent(2, 1.0);
    auto* first = new HookedTickTask(QStringLiteral("first"), &log, &parent, 0.5);
    parent.addSubTask(first);
    auto* sibling = new HookedTickTask(QStringLiteral("sibling"), &log, &parent, 0.5);
    parent.addSubTask(sibling);
    int siblingTicks = 0;
    sibling->ticks = &siblingTicks;
    QPointer<HookedTickTask> siblingWatch(sibling);
    first->onTick = [&] {
        parent.clearSubTasks();
        if (!deletedInTick)
            return;
        QEventLoop box;
        connect(siblingWatch.data(), &QObject::destroyed, &box, &QEventLoop::quit);
        QTimer::singleShot(10000, &box, &QEventLoop::quit);
        box.exec();
    };

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    parent.timeTick(done, total, speed, downloading);
    QCOMPARE(siblingWatch.isNull(), deletedInTick);
    QVERIFY2(siblingTicks == 0, "the tick went on to a sub-task that had been released during it");
    QVERIFY(parent.subTasks.isEmpty());

    // The task goes on working with the sub-tasks it is given next.
    ScriptedTask* next = addScripted(&parent, QStringLiteral("next"), &log, 1.0);
    next->tickDone = 5;
    next->tickTotal = 10;
    done = total = speed = 0;
    parent.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(5));
    QCOMPARE(total, quint64(10));
}

void tst_ComposedTaskSpecification::noParallelismEndsInError_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -3;
}

void tst_ComposedTaskSpecification::noParallelismEndsInError()
{
    QFETCH(int, maxParallel);
    QStringList log;
    TestComposed parent(maxParallel, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 1.0, ScriptedTask::FinishAtOnce);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);
    QSignalSpy messages(&parent, &TaskSpecification::message);
    parent.execute();
    QVERIFY2(canceled.size() == 1, "a task that may start nothing must end, not hang");
    QCOMPARE(parent.state, StateErrorCanceled);
    QCOMPARE(messages.size(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(a->executeCount, 0);
    QCOMPARE(parent.subtasksDoneCount, 1);
}

void tst_ComposedTaskSpecification::messagesAndErrorsRelayed()
{
    TestComposed parent(1, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), nullptr, 1.0);
    QSignalSpy messages(&parent, &TaskSpecification::message);
    QSignalSpy errors(&parent, &TaskSpecification::error);
    Q_EMIT a->message(QStringLiteral("hello"));
    Q_EMIT a->error(QStringLiteral("broken"));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("hello"));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("broken"));
}

void tst_ComposedTaskSpecification::clearSubTasksDetachesAndDeletes()
{
    QStringList log;
    TestComposed parent(1, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 1.0);
    QPointer<ScriptedTask> watch(a);
    QSignalSpy messages(&parent, &TaskSpecification::message);
    QSignalSpy progress(&parent, &TaskSpecification::updateProgress);
    QSignalSpy ended(&parent, &TaskSpecification::finished);
    parent.execute();
    QTRY_COMPARE(a->state, StateRunning);
    progress.clear();
    parent.clearSubTasks();
    QVERIFY(parent.subTasks.isEmpty() && parent.pendingTasks.isEmpty() && parent.runningTasks.isEmpty()
            && parent.doneTasks.isEmpty());
    QVERIFY2(!watch.isNull(), "deletion is deferred: the task may be inside its own signal");
    Q_EMIT a->message(QStringLiteral("late"));
    ScriptedTask sibling(QStringLiteral("sibling"), &log, nullptr, 0.0);
    parent.handleOtherTaskCancelled(&sibling);
    QVERIFY2(!log.contains(QStringLiteral("a told of sibling")), qPrintable(joined(log)));
    a->endFinished();
    QCOMPARE(messages.size(), 0);
    QCOMPARE(progress.size(), 0);
    QCOMPARE(ended.size(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(watch.isNull());
}

void tst_ComposedTaskSpecification::destructionReleasesSubTasks()
{
    QStringList log;
    auto* parent = new TestComposed(2, 1.0);
    QPointer<ScriptedTask> child = addScripted(parent, QStringLiteral("child"), &log, 0.5);
    // Not a QObject child: only the deferred deletion releases it.
    auto* adopted = new ScriptedTask(QStringLiteral("adopted"), &log, nullptr, 0.5);
    QPointer<ScriptedTask> adoptedWatch(adopted);
    parent->addSubTask(adopted);
    parent->execute();
    QTRY_COMPARE(adopted->state, StateRunning);
    log.clear();
    delete parent;
    QVERIFY(child.isNull());
    QVERIFY2(log.isEmpty(),
             qPrintable(QStringLiteral("running sub-tasks are neither ended nor cancelled: ") + joined(log)));
    QVERIFY(!adoptedWatch.isNull());
    QCOMPARE(adopted->state, StateRunning);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(adoptedWatch.isNull());
}

void tst_ComposedTaskSpecification::resetRunsSameSubTasksAgain()
{
    QStringList log;
    TestComposed parent(2, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 0.5, ScriptedTask::FinishAtOnce);
    ScriptedTask* b = addScripted(&parent, QStringLiteral("b"), &log, 0.5, ScriptedTask::FailAtOnce);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    QTRY_COMPARE(canceled.size(), 1);
    QCOMPARE(parent.state, StateErrorCanceled);

    parent.reset();
    QCOMPARE(parent.state, StateIdle);
    QCOMPARE(a->state, StateIdle);
    QCOMPARE(b->state, StateIdle);
    QCOMPARE(parent.progress, 0.0);
    QCOMPARE(parent.pendingTasks, parent.subTasks);
    QVERIFY(!parent.hasCanceledSubTask && !parent.subtasksDoneCalled);

    b->onExecute = ScriptedTask::FinishAtOnce;
    parent.execute();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(a->executeCount, 2);
    QCOMPARE(b->executeCount, 2);
    QCOMPARE(parent.subtasksDoneCount, 2);
    QCOMPARE(parent.progress, 1.0);
}

void tst_ComposedTaskSpecification::discardingResetAfterCancelAllowsNewRun()
{
    // The concrete tasks reset by discarding their sub-tasks. After a cancelled run, the next run
    // with fresh sub-tasks must start them and end.
    QStringList log;
    TestComposed parent(1, 1.0);
    addScripted(&parent, QStringLiteral("a"), &log, 1.0, ScriptedTask::FailAtOnce);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    QTRY_COMPARE(canceled.size(), 1);

    parent.discardingReset();
    ScriptedTask* fresh =
        addScripted(&parent, QStringLiteral("fresh"), &log, 1.0, ScriptedTask::FinishAtOnce);
    parent.execute();
    QTRY_VERIFY2(finished.size() == 1, qPrintable(joined(log)));
    QCOMPARE(fresh->executeCount, 1);
    QCOMPARE(parent.state, StateFinished);
}

void tst_ComposedTaskSpecification::startsQueuedBeforeReset_data()
{
    QTest::addColumn<bool>("discarding");
    QTest::addColumn<bool>("executeAgain");
    QTest::newRow("same sub-tasks, idle") << false << false;
    QTest::newRow("fresh sub-tasks, idle") << true << false;
    QTest::newRow("same sub-tasks, run again") << false << true;
    QTest::newRow("fresh sub-tasks, run again") << true << true;
}

void tst_ComposedTaskSpecification::startsQueuedBeforeReset()
{
    // A sub-task finished, so the start of the next one is queued; then the user cancels and the
    // task is reset (and possibly executed again) in the same dispatch. The old start must neither
    // start anything in an idle task nor a sub-task beyond the limit of the new run.
    QFETCH(bool, discarding);
    QFETCH(bool, executeAgain);
    QStringList log;
    TestComposed parent(1, 1.0);
    ScriptedTask* a = addScripted(&parent, QStringLiteral("a"), &log, 0.5);
    addScripted(&parent, QStringLiteral("b"), &log, 0.5);
    parent.execute();
    QTRY_COMPARE(a->state, StateRunning);
    a->endFinished(); // queues the start of b
    parent.userCanceled();
    if (discarding) {
        parent.discardingReset();
        for (int i = 0; i < 3; ++i)
            addScripted(&parent, QStringLiteral("n%1").arg(i), &log, 1.0 / 3);
    } else {
        parent.reset();
    }
    log.clear();
    if (executeAgain)
        parent.execute();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    QStringList started;
    for (const QString& line : std::as_const(log)) {
        if (line.endsWith(QLatin1String(" started")))
            started << line;
    }
    const QString first = discarding ? QStringLiteral("n0 started") : QStringLiteral("a started");
    QVERIFY2(started == (executeAgain ? QStringList {first} : QStringList {}), qPrintable(joined(log)));
    QCOMPARE(parent.state, executeAgain ? StateRunning : StateIdle);
}

QTEST_GUILESS_MAIN(tst_ComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"

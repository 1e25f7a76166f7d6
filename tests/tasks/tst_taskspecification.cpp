#include "ScriptedTask.h"

#include <QSignalSpy>
#include <QTest>

class tst_TaskSpecification : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void constructedIdle();
    void setProgressWeights_data();
    void setProgressWeights();
    void endSignals_data();
    void endSignals();
    void resetReturnsToIdle_data();
    void resetReturnsToIdle();
    void otherTaskCancelledReachesOnlyRunningSiblings_data();
    void otherTaskCancelledReachesOnlyRunningSiblings();
    void userCanceledOnlyRecordsRequest();
    void baseTimeTickReportsNothing_data();
    void baseTimeTickReportsNothing();
};

namespace {

// The base behaviour only: execute() enters StateRunning and nothing else.
class PlainTask : public TaskSpecification
{
public:
    using TaskSpecification::TaskSpecification;
    void execute() override { state = StateRunning; }
};

} // namespace

void tst_TaskSpecification::constructedIdle()
{
    QObject owner;
    PlainTask task(&owner, 0.3);
    QCOMPARE(task.parent(), &owner);
    QCOMPARE(task.state, StateIdle);
    QCOMPARE(task.isUserCanceled, false);
    QCOMPARE(task.progress, 0.0);
    QCOMPARE(task.parentProgressRange, 0.3);
}

void tst_TaskSpecification::setProgressWeights_data()
{
    QTest::addColumn<double>("weight");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<double>("expected");
    QTest::newRow("half of 0.4") << 0.4 << 0.5 << 0.2;
    QTest::newRow("all of 1.0") << 1.0 << 1.0 << 1.0;
    QTest::newRow("weight 0 hides progress") << 0.0 << 0.7 << 0.0;
    QTest::newRow("nothing done") << 0.8 << 0.0 << 0.0;
    QTest::newRow("small weight") << 0.05 << 0.25 << 0.0125;
}

void tst_TaskSpecification::setProgressWeights()
{
    QFETCH(double, weight);
    QFETCH(double, fraction);
    QFETCH(double, expected);
    PlainTask task(nullptr, weight);
    QSignalSpy spy(&task, &TaskSpecification::updateProgress);
    task.setProgress(fraction);
    QVERIFY2(
        qFuzzyCompare(1.0 + task.progress, 1.0 + expected),
        qPrintable(QStringLiteral("stored %1, expected the weighted %2").arg(task.progress).arg(expected)));
    QCOMPARE(spy.size(), 1);
    QVERIFY2(qFuzzyCompare(1.0 + spy.at(0).at(0).toDouble(), 1.0 + expected),
             "updateProgress must carry the weighted value, not the fraction");

    // A new weight applies to the next report only.
    task.setParentProgressRange(2 * weight);
    task.setProgress(fraction);
    QVERIFY(qFuzzyCompare(1.0 + task.progress, 1.0 + 2 * expected));
}

void tst_TaskSpecification::endSignals_data()
{
    QTest::addColumn<int>("how"); // 0 finish, 1 errorCancel, 2 userCancel
    QTest::addColumn<int>("expectedState");
    QTest::addColumn<bool>("viaFinished");
    QTest::newRow("finish") << 0 << int(StateFinished) << true;
    QTest::newRow("errorCancel") << 1 << int(StateErrorCanceled) << false;
    QTest::newRow("userCancel") << 2 << int(StateUserCanceled) << false;
}

void tst_TaskSpecification::endSignals()
{
    QFETCH(int, how);
    QFETCH(int, expectedState);
    QFETCH(bool, viaFinished);

    PlainTask task(nullptr, 0.05);
    task.execute();
    task.setProgress(0.5);

    // What a receiver sees at the moment each signal arrives.
    QStringList seen;
    connect(&task, &TaskSpecification::updateProgress, this, [&](qreal value) {
        seen << QStringLiteral("progress %1 state %2").arg(value).arg(int(task.state));
    });
    connect(&task, &TaskSpecification::finished, this, [&](TaskSpecification* t) {
        seen << QStringLiteral("finished self %1 state %2").arg(t == &task).arg(int(t->state));
    });
    connect(&task, &TaskSpecification::canceled, this, [&](TaskSpecification* t) {
        seen << QStringLiteral("canceled self %1 state %2").arg(t == &task).arg(int(t->state));
    });

    if (how == 0)
        task.finish();
    else if (how == 1)
        task.errorCancel();
    else
        task.userCancel();

    QStringList expected;
    if (viaFinished) {
        expected << QStringLiteral("progress %1 state %2").arg(0.05).arg(expectedState)
                 << QStringLiteral("finished self 1 state %1").arg(expectedState);
    } else {
        expected << QStringLiteral("canceled self 1 state %1").arg(expectedState);
    }
    QVERIFY2(seen == expected, qPrintable(QStringLiteral("got: ") + seen.join(QStringLiteral(" | "))));
    QCOMPARE(int(task.state), expectedState);
    // A cancellation keeps the progress reached so far.
    QCOMPARE(task.progress, viaFinished ? 0.05 : 0.025);
}

void tst_TaskSpecification::resetReturnsToIdle_data()
{
    QTest::addColumn<int>("how"); // -1 still running, 0 finish, 1 errorCancel, 2 userCancel
    QTest::newRow("running") << -1;
    QTest::newRow("finished") << 0;
    QTest::newRow("error-canceled") << 1;
    QTest::newRow("user-canceled") << 2;
}

void tst_TaskSpecification::resetReturnsToIdle()
{
    QFETCH(int, how);
    PlainTask task(nullptr, 0.5);
    task.execute();
    task.setProgress(0.4);
    task.userCanceled();
    if (how == 0)
        task.finish();
    else if (how == 1)
        task.errorCancel();
    else if (how == 2)
        task.userCancel();

    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy ends(&task, &TaskSpecification::canceled);
    task.reset();
    QCOMPARE(progress.size(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.0);
    QCOMPARE(task.progress, 0.0);
    QCOMPARE(task.state, StateIdle);
    QCOMPARE(task.isUserCanceled, false);
    QCOMPARE(ends.size(), 0);
}

void tst_TaskSpecification::otherTaskCancelledReachesOnlyRunningSiblings_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("fromSelf");
    QTest::addColumn<bool>("handled");
    QTest::newRow("running, sibling") << int(StateRunning) << false << true;
    QTest::newRow("running, itself") << int(StateRunning) << true << false;
    QTest::newRow("idle") << int(StateIdle) << false << false;
    QTest::newRow("finished") << int(StateFinished) << false << false;
    QTest::newRow("error-canceled") << int(StateErrorCanceled) << false << false;
    QTest::newRow("user-canceled") << int(StateUserCanceled) << false << false;
}

void tst_TaskSpecification::otherTaskCancelledReachesOnlyRunningSiblings()
{
    QFETCH(int, state);
    QFETCH(bool, fromSelf);
    QFETCH(bool, handled);
    QStringList log;
    ScriptedTask task(QStringLiteral("a"), &log, nullptr, 0.5);
    ScriptedTask sibling(QStringLiteral("b"), &log, nullptr, 0.5);
    task.state = TaskState(state);
    task.onOtherCancelled = ScriptedTask::EndErrorCanceled;

    task.onOtherTaskCancelled(fromSelf ? &task : &sibling);

    const QStringList expected =
        handled ? QStringList {QStringLiteral("a told of b"), QStringLiteral("a canceled")} : QStringList {};
    QVERIFY2(log == expected, qPrintable(log.join(QStringLiteral(" | "))));
    QCOMPARE(int(task.state), handled ? int(StateErrorCanceled) : state);
}

void tst_TaskSpecification::userCanceledOnlyRecordsRequest()
{
    PlainTask task(nullptr, 1.0);
    task.execute();
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.userCanceled();
    QCOMPARE(task.isUserCanceled, true);
    QCOMPARE(task.state, StateRunning);
    QCOMPARE(canceled.size() + finished.size(), 0);
}

void tst_TaskSpecification::baseTimeTickReportsNothing_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<bool>("downloading");
    QTest::newRow("zeros") << quint64(0) << quint64(0) << quint64(0) << false;
    QTest::newRow("garbage in") << quint64(123) << quint64(456) << quint64(789) << true;
    QTest::newRow("maximum") << ~quint64(0) << ~quint64(0) << ~quint64(0) << true;
}

void tst_TaskSpecification::baseTimeTickReportsNothing()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(bool, downloading);
    PlainTask task(nullptr, 1.0);
    task.execute();
    task.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(0));
    QCOMPARE(total, quint64(0));
    QCOMPARE(speed, quint64(0));
    QCOMPARE(downloading, false);
}

QTEST_GUILESS_MAIN(tst_TaskSpecification)
#include "tst_taskspecification.moc"

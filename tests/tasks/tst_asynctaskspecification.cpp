#include "ASyncFunc.h"
#include "ASyncTaskSpecification.h"
#include "RollbackDataList.h"
#include "SlowFileOpFunc.h"
#include "SlowFileOpSpecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <atomic>

namespace {

// What a scripted body does, and what the test learns about it afterwards.
struct BodyScript
{
    bool result = true;
    QList<qreal> progress;
    QString message;
    QString error;
    QSemaphore* gate = nullptr; // the body waits for one permit before it ends
    std::atomic<QThread*> ranOn {nullptr};
    std::atomic<bool> returned {false};
    std::atomic<int> destroyed {0};
};

class ScriptedFunc : public ASyncFunc
{
    Q_OBJECT
public:
    explicit ScriptedFunc(BodyScript* script)
        : m_script(script)
    {
    }
    ~ScriptedFunc() override { ++m_script->destroyed; }

    bool run() override
    {
        m_script->ranOn = QThread::currentThread();
        for (qreal p : std::as_const(m_script->progress))
            Q_EMIT progress(p);
        if (!m_script->message.isEmpty())
            Q_EMIT message(m_script->message);
        if (!m_script->error.isEmpty())
            Q_EMIT error(m_script->error);
        if (m_script->gate)
            m_script->gate->acquire();
        m_script->returned = true;
        return m_script->result;
    }

private:
    BodyScript* m_script;
};

class ScriptedASyncTask : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    using ASyncTaskSpecification::ASyncTaskSpecification;
    BodyScript* script = nullptr; // the body of the next execute()

protected:
    ASyncFunc* createFunction() override { return new ScriptedFunc(script); }
};

// A real file operation: copies sourcePath to destPath.
class CopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;
    QSemaphore* gate = nullptr;
    bool run() override
    {
        if (gate)
            gate->acquire();
        return QFile::copy(sourcePath, destPath);
    }
};

class CopyTask : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    using SlowFileOpSpecification::SlowFileOpSpecification;
    QSemaphore* gate = nullptr;

protected:
    ASyncFunc* createFunction() override
    {
        auto* func = new CopyFunc(sourcePath, destPath);
        func->gate = gate;
        return func;
    }
};

// Lets a blocked body end even when a check failed half-way, before its script goes out of scope.
auto releaseOnExit(QSemaphore& gate)
{
    return qScopeGuard([&gate] {
        gate.release(2);
        QThreadPool::globalInstance()->waitForDone();
    });
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_ASyncTaskSpecification : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void bodyResultEndsTask_data();
    void bodyResultEndsTask();
    void bodyProgressIsWeighted();
    void bodyMessagesAndErrorsRelayed();
    void userCancelLetsBodyFinish_data();
    void userCancelLetsBodyFinish();
    void resultAfterResetDropped_data();
    void resultAfterResetDropped();
    void slowFileOpResult_data();
    void slowFileOpResult();
    void slowFileOpFailureAfterResetStillExplained();
};

void tst_ASyncTaskSpecification::bodyResultEndsTask_data()
{
    QTest::addColumn<bool>("ok");
    QTest::newRow("success") << true;
    QTest::newRow("failure") << false;
}

void tst_ASyncTaskSpecification::bodyResultEndsTask()
{
    QFETCH(bool, ok);
    BodyScript script;
    script.result = ok;
    ScriptedASyncTask task(nullptr, 0.3);
    task.script = &script;
    QStringList seen;
    connect(&task, &TaskSpecification::updateProgress, this,
            [&](qreal v) { seen << QStringLiteral("progress %1").arg(v); });
    connect(&task, &TaskSpecification::finished, this,
            [&](TaskSpecification* t) { seen << QStringLiteral("finished %1").arg(int(t->state)); });
    connect(&task, &TaskSpecification::canceled, this,
            [&](TaskSpecification* t) { seen << QStringLiteral("canceled %1").arg(int(t->state)); });

    task.execute();
    QCOMPARE(task.state, StateRunning);
    QVERIFY2(seen.isEmpty(), "the result must arrive as a queued call, after execute() returned");
    QTRY_COMPARE(seen.size(), ok ? 2 : 1);
    const QStringList expected = ok
        ? QStringList {QStringLiteral("progress 0.3"), QStringLiteral("finished 2")}
        : QStringList {QStringLiteral("canceled 3")};
    QVERIFY2(seen == expected, qPrintable(seen.join(QStringLiteral(" | "))));
    QVERIFY2(script.ranOn != QThread::currentThread(), "the body must run on a pool thread");
    QTRY_VERIFY2(script.destroyed == 1, "the body is deleted once it has run");
}

void tst_ASyncTaskSpecification::bodyProgressIsWeighted()
{
    BodyScript script;
    script.progress = {0.5};
    ScriptedASyncTask task(nullptr, 0.2);
    task.script = &script;
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(progress.size(), 2);
    QVERIFY(qFuzzyCompare(progress.at(0).at(0).toDouble(), 0.1));
    QVERIFY(qFuzzyCompare(progress.at(1).at(0).toDouble(), 0.2));
}

void tst_ASyncTaskSpecification::bodyMessagesAndErrorsRelayed()
{
    BodyScript script;
    script.message = QStringLiteral("working");
    script.error = QStringLiteral("trouble");
    script.result = false;
    ScriptedASyncTask task(nullptr, 1.0);
    task.script = &script;
    QStringList seen;
    connect(&task, &TaskSpecification::message, this,
            [&](const QString& m) { seen << QStringLiteral("m ") + m; });
    connect(&task, &TaskSpecification::error, this,
            [&](const QString& e) { seen << QStringLiteral("e ") + e; });
    connect(&task, &TaskSpecification::canceled, this, [&] { seen << QStringLiteral("end"); });
    task.execute();
    QTRY_COMPARE(seen.size(), 3);
    QCOMPARE(seen,
             QStringList({QStringLiteral("m working"), QStringLiteral("e trouble"), QStringLiteral("end")}));
}

void tst_ASyncTaskSpecification::userCancelLetsBodyFinish_data()
{
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("expected");
    QTest::newRow("body succeeds") << true << int(StateFinished);
    QTest::newRow("body fails") << false << int(StateErrorCanceled);
}

void tst_ASyncTaskSpecification::userCancelLetsBodyFinish()
{
    QFETCH(bool, ok);
    QFETCH(int, expected);
    QSemaphore gate;
    BodyScript script;
    script.result = ok;
    script.gate = &gate;
    const auto guard = releaseOnExit(gate);
    ScriptedASyncTask task(nullptr, 1.0);
    task.script = &script;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    task.userCanceled();
    QCOMPARE(task.state, StateRunning);
    gate.release();
    QTRY_COMPARE(finished.size() + canceled.size(), 1);
    QCOMPARE(int(task.state), expected);
    QVERIFY(script.returned);
}

void tst_ASyncTaskSpecification::resultAfterResetDropped_data()
{
    QTest::addColumn<bool>("oldResult");
    QTest::addColumn<bool>("executeAgain");
    QTest::addColumn<bool>("newResult");
    QTest::newRow("success, reset only") << true << false << false;
    QTest::newRow("failure, reset only") << false << false << false;
    QTest::newRow("old success, new run fails") << true << true << false;
    QTest::newRow("old failure, new run succeeds") << false << true << true;
}

void tst_ASyncTaskSpecification::resultAfterResetDropped()
{
    QFETCH(bool, oldResult);
    QFETCH(bool, executeAgain);
    QFETCH(bool, newResult);
    QSemaphore oldGate;
    BodyScript oldBody;
    oldBody.result = oldResult;
    oldBody.gate = &oldGate;
    const auto oldGuard = releaseOnExit(oldGate);
    oldBody.progress = {0.9};
    oldBody.message = QStringLiteral("old body");
    ScriptedASyncTask task(nullptr, 0.5);
    task.script = &oldBody;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();

    oldGate.release();
    task.reset();
    QVERIFY2(oldBody.returned, "reset() must wait until the pool has no work left");
    QCOMPARE(task.state, StateIdle);

    QSemaphore newGate;
    BodyScript newBody;
    newBody.result = newResult;
    newBody.gate = &newGate;
    const auto newGuard = releaseOnExit(newGate);
    if (executeAgain) {
        task.script = &newBody;
        task.execute();
    }
    // Deliver everything the old body sent.
    QTRY_COMPARE(oldBody.destroyed.load(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(finished.size() + canceled.size(), 0);
    QCOMPARE(task.state, executeAgain ? StateRunning : StateIdle);
    // The old body's progress report was still queued when reset() returned.
    QVERIFY2(task.progress == 0.0,
             qPrintable(QStringLiteral("progress %1 after the reset").arg(task.progress)));
    if (executeAgain) {
        QVERIFY2(messages.isEmpty(), "a superseded body must not reach the new run");
        newGate.release();
        QTRY_COMPARE(finished.size() + canceled.size(), 1);
        QCOMPARE(task.state, newResult ? StateFinished : StateErrorCanceled);
    }
}

void tst_ASyncTaskSpecification::slowFileOpResult_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<bool>("destIsDir");
    QTest::addColumn<bool>("withJournal");
    QTest::addColumn<bool>("ok");
    QTest::newRow("copy, journalled") << true << false << true << true;
    QTest::newRow("copy, no journal") << true << false << false << true;
    QTest::newRow("missing source") << false << false << true << false;
    QTest::newRow("folder where the file must go") << true << true << true << false;
    QTest::newRow("failure, no journal") << false << false << false << false;
}

void tst_ASyncTaskSpecification::slowFileOpResult()
{
    QFETCH(bool, sourceExists);
    QFETCH(bool, destIsDir);
    QFETCH(bool, withJournal);
    QFETCH(bool, ok);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString source = dir.filePath(QStringLiteral("download.bin"));
    const QString dest = dir.filePath(QStringLiteral("installed.bin"));
    if (sourceExists)
        QVERIFY(writeFile(source, "payload"));
    if (destIsDir)
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("installed.bin")));

    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateDir, dir.filePath(QStringLiteral("earlier"))));
    CopyTask task(QStringLiteral("Could not copy"), withJournal ? &journal : nullptr, source, dest, nullptr,
                  0.4);
    QStringList seen;
    // The journal as whoever hears of the end sees it.
    auto journalAsSeen = [&] {
        QStringList entries;
        for (const RollbackData& e : std::as_const(journal.entries))
            entries << QStringLiteral("%1:%2").arg(int(e.operation)).arg(QFileInfo(e.path).fileName());
        return entries.join(QLatin1Char(','));
    };
    connect(&task, &TaskSpecification::message, this,
            [&](const QString& m) { seen << QStringLiteral("message ") + m; });
    connect(&task, &TaskSpecification::finished, this, [&](TaskSpecification* t) {
        seen << QStringLiteral("finished %1 [%2]").arg(int(t->state)).arg(journalAsSeen());
    });
    connect(&task, &TaskSpecification::canceled, this, [&](TaskSpecification* t) {
        seen << QStringLiteral("canceled %1 [%2]").arg(int(t->state)).arg(journalAsSeen());
    });
    task.execute();
    QTRY_VERIFY(task.state != StateRunning);

    QStringList expected;
    if (ok) {
        expected << QStringLiteral("finished 2 [%1]")
                        .arg(withJournal ? QStringLiteral("2:earlier,1:installed.bin")
                                         : QStringLiteral("2:earlier"));
        QCOMPARE(readFile(dest), QByteArray("payload"));
    } else {
        expected << QStringLiteral("message Could not copy") << QStringLiteral("canceled 3 [2:earlier]");
    }
    QVERIFY2(seen == expected, qPrintable(seen.join(QStringLiteral(" | "))));
}

void tst_ASyncTaskSpecification::slowFileOpFailureAfterResetStillExplained()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QSemaphore gate;
    const auto guard = releaseOnExit(gate);
    RollbackDataList journal;
    CopyTask task(QStringLiteral("Could not copy"), &journal, dir.filePath(QStringLiteral("missing")),
                  dir.filePath(QStringLiteral("dest")), nullptr, 1.0);
    task.gate = &gate;
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    gate.release();
    task.reset();
    QTRY_COMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Could not copy"));
    QCoreApplication::processEvents();
    QCOMPARE(canceled.size(), 0);
    QCOMPARE(task.state, StateIdle);
    QVERIFY(journal.entries.isEmpty());
}

QTEST_GUILESS_MAIN(tst_ASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"

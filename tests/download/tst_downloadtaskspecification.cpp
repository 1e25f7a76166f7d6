#include "ComposedTaskSpecification.h"
#include "DownloadTaskSpecification.h"
#include "FileBytes.h"
#include "Mirrors.h"
#include "ScriptedRandomGenerator.h"
#include "SpyTexts.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using Response = TestHttpServer::Response;

Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {
const QString remotePath = QStringLiteral("data/file.bin");
const QString servedPath = QStringLiteral("/5/data/file.bin");

QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed) % 251);
    return bytes;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Signals of one task, recorded from its construction on.
struct Recorder
{
    explicit Recorder(DownloadTaskSpecification* task)
        : finished(task, &TaskSpecification::finished)
        , canceled(task, &TaskSpecification::canceled)
        , messages(task, &TaskSpecification::message)
        , errors(task, &TaskSpecification::error)
        , progress(task, &TaskSpecification::updateProgress)
    {
    }
    int ends() const { return int(finished.count() + canceled.count()); }

    QSignalSpy finished;
    QSignalSpy canceled;
    QSignalSpy messages;
    QSignalSpy errors;
    QSignalSpy progress;
};

struct TickResult
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
};

// The hook a composed parent connects to its own otherTaskCancelled signal.
class SiblingAwareDownload : public DownloadTaskSpecification
{
public:
    using DownloadTaskSpecification::DownloadTaskSpecification;
    using DownloadTaskSpecification::onOtherTaskCancelled;
};

// The smallest composed parent: runs the sub-tasks it was given, all at once.
class ParallelParent : public ComposedTaskSpecification
{
public:
    explicit ParallelParent(QObject* parent)
        : ComposedTaskSpecification(8, 1.0, parent)
    {
    }
    void execute() override { executeSubTasks(); }
};

TickResult tick(DownloadTaskSpecification& task)
{
    TickResult result;
    task.timeTick(result.done, result.total, result.speed, result.downloading);
    return result;
}
} // namespace

class tst_DownloadTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void transfersFile_data();
    void transfersFile();
    void expectedSizeAndProgress_data();
    void expectedSizeAndProgress();
    void failedAttemptMovesToAnotherMirror_data();
    void failedAttemptMovesToAnotherMirror();
    void bodyLargerThanAllowed_data();
    void bodyLargerThanAllowed();
    void stallTimesOut_data();
    void stallTimesOut();
    void slowTransferTimesOut_data();
    void slowTransferTimesOut();
    void waitsForFreeSlotWithoutStallCounting();
    void waitingTaskLearnsWhenThePoolEmpties();
    void noMirrorLeftEndsInError();
    void emptyPoolFromStart();
    void localFileCannotBeCreated_data();
    void localFileCannotBeCreated();
    void fullDiskLeavesMirrorAlone();
    void localFileGoneDuringTransfer_data();
    void localFileGoneDuringTransfer();
    void cancel_data();
    void cancel();
    void cancelOfIdleTaskOnlyRecordsRequest();
    void cancelThroughComposedParent_data();
    void cancelThroughComposedParent();
    void resetAfterSuccessKeepsSlotCount();
    void responseWithoutHttpStatus_data();
    void responseWithoutHttpStatus();
    void retriesOfFinishedRepliesRunFromEventLoop();
    void mirrorBaseKeptAsWritten_data();
    void mirrorBaseKeptAsWritten();
    void noRequestWithoutManager();
    void setUpErrorShownInModalBox_data();
    void setUpErrorShownInModalBox();

private:
    FTPSiteAccessData mirrorOn(const TestHttpServer& server, const QString& name, qint32 maxUse = 1,
                               qint32 retries = 2) const;
    DownloadTaskSpecification* makeTask(qint64 expectedSize = -1,
                                        const QString& localName = QStringLiteral("file.bin"));
    // A task for `name` at the top of the version folder, written to a local file of that name.
    DownloadTaskSpecification* namedTask(const QString& name, qint64 expectedSize = -1,
                                         QObject* parent = nullptr);
    QString localPath(const QString& name = QStringLiteral("file.bin")) const
    {
        return m_dir->filePath(name);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<ScriptedRandomGenerator> m_random;
    std::unique_ptr<Mirrors> m_pool;
    std::unique_ptr<TestHttpServer> m_good;
    std::unique_ptr<TestHttpServer> m_bad;
    std::unique_ptr<QObject> m_tasks;
};

void tst_DownloadTaskSpecification::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_manager = std::make_unique<QNetworkAccessManager>();
    m_random = std::make_unique<ScriptedRandomGenerator>(QList<quint32> {0u, 1u});
    m_pool = std::make_unique<Mirrors>(nullptr, m_random.get());
    m_good = std::make_unique<TestHttpServer>();
    m_bad = std::make_unique<TestHttpServer>();
    QVERIFY2(m_good->listen(), qPrintable(m_good->errorString()));
    QVERIFY2(m_bad->listen(), qPrintable(m_bad->errorString()));
    m_tasks = std::make_unique<QObject>();
}

void tst_DownloadTaskSpecification::cleanup()
{
    m_tasks.reset();
    m_good.reset();
    m_bad.reset();
    m_pool.reset();
    m_random.reset();
    m_manager.reset();
    m_dir.reset();
}

FTPSiteAccessData tst_DownloadTaskSpecification::mirrorOn(const TestHttpServer& server, const QString& name,
                                                          qint32 maxUse, qint32 retries) const
{
    FTPSiteAccessData mirror;
    mirror.name = name;
    mirror.url = server.baseUrl() + QStringLiteral("/5");
    mirror.maxUse = maxUse;
    mirror.retries = retries;
    return mirror;
}

DownloadTaskSpecification* tst_DownloadTaskSpecification::makeTask(qint64 expectedSize,
                                                                   const QString& localName)
{
    return new DownloadTaskSpecification(m_manager.get(), m_pool.get(), remotePath, localPath(localName),
                                         expectedSize, m_tasks.get(), 0.25);
}

DownloadTaskSpecification* tst_DownloadTaskSpecification::namedTask(const QString& name, qint64 expectedSize,
                                                                    QObject* parent)
{
    return new DownloadTaskSpecification(m_manager.get(), m_pool.get(), name, localPath(name), expectedSize,
                                         parent ? parent : m_tasks.get(), 0.5);
}

void tst_DownloadTaskSpecification::transfersFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("sendLength");

    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("one byte") << QByteArray("x") << true;
    QTest::newRow("one chunk") << pattern(4096) << true;
    QTest::newRow("chunks and a bit") << pattern(3 * 4096 + 17) << true;
    QTest::newRow("large") << pattern(3 * 1024 * 1024 + 5) << true;
    QTest::newRow("no length") << pattern(100000) << false;
    QTest::newRow("empty, no length") << QByteArray() << false;
}

void tst_DownloadTaskSpecification::transfersFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, sendLength);

    Response response = Response::ok(content);
    if (!sendLength)
        response.withoutContentLength();
    m_good->setResponse(servedPath, response);
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"), 3)};
    // A stale file of the same name must be replaced, not appended to.
    QFile stale(localPath());
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write(pattern(9000, 7));
    stale.close();

    DownloadTaskSpecification* task = makeTask();
    Recorder record(task);
    task->execute();
    QCOMPARE(task->state, StateRunning);
    QTRY_COMPARE(record.ends(), 1);

    QVERIFY2(record.finished.count() == 1, qPrintable(SpyTexts::of(record.messages).join(QLatin1Char('\n'))));
    QCOMPARE(record.finished.first().first().value<TaskSpecification*>(),
             static_cast<TaskSpecification*>(task));
    QCOMPARE(task->state, StateFinished);
    QVERIFY2(readFile(localPath()) == content, "the local file differs from the served one");
    QVERIFY(QFileInfo::exists(localPath()));
    QVERIFY(!task->file.isOpen());
    QCOMPARE(SpyTexts::of(record.messages),
             QStringList({"Downloading data/file.bin", "Downloading data/file.bin finished"}));
    QCOMPARE(record.errors.count(), 0);
    QCOMPARE(task->mirror.name, QStringLiteral("good"));
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
    QCOMPARE(m_pool->mirrors.first().errors, 0);
    QCOMPARE(m_good->requestCount(servedPath), 1);
    QCOMPARE(task->bytesDone, qint64(content.size()));
    QCOMPARE(task->progress, 0.25);
    QCOMPARE(record.progress.last().first().toDouble(), 0.25);
    QVERIFY(task->reply.isNull());
}

void tst_DownloadTaskSpecification::expectedSizeAndProgress_data()
{
    QTest::addColumn<qint64>("given");
    QTest::addColumn<bool>("sendLength");
    QTest::addColumn<qint64>("learned");

    // 20000 bytes are served, 12000 of them before a pause. A size the caller gives is never
    // replaced; a length the response announces is learned only when the caller gave none.
    QTest::newRow("unknown, length sent") << qint64(-1) << true << qint64(20000);
    QTest::newRow("unknown, no length") << qint64(-1) << false << qint64(-1);
    QTest::newRow("planned, length sent") << qint64(20000) << true << qint64(20000);
    QTest::newRow("planned larger than served") << qint64(40000) << true << qint64(40000);
}

void tst_DownloadTaskSpecification::expectedSizeAndProgress()
{
    QFETCH(qint64, given);
    QFETCH(bool, sendLength);
    QFETCH(qint64, learned);

    const QByteArray content = pattern(20000);
    Response response = Response::ok(content).stallAfter(12000);
    if (!sendLength)
        response.withoutContentLength();
    m_good->setResponse(servedPath, response);
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    DownloadTaskSpecification* task = makeTask(given);
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(task->bytesDone, qint64(12000));

    const TickResult first = tick(*task);
    QCOMPARE(first.done, quint64(12000));
    QCOMPARE(first.speed, quint64(12000));
    QVERIFY(first.downloading);
    const TickResult second = tick(*task);
    QCOMPARE(second.speed, quint64(0));
    QCOMPARE(second.done, quint64(12000));
    if (given > 0) {
        QCOMPARE(first.total, quint64(given));
        QCOMPARE(task->progress, 0.25 * 12000.0 / double(given));
    } else if (!sendLength) {
        // No length anywhere: no total, and no progress while the data comes in.
        QCOMPARE(first.total, quint64(0));
        QCOMPARE(task->expectedSize, qint64(-1));
        QCOMPARE(task->progress, 0.0);
        for (const QList<QVariant>& emitted : record.progress)
            QCOMPARE(emitted.first().toDouble(), 0.0);
    } else {
        // The client reports the announced length in its own time; until then the total is 0.
        QVERIFY2(first.total == 0 || first.total == quint64(learned),
                 qPrintable(QString::number(first.total)));
    }

    m_good->resumeStalled();
    QTRY_COMPARE(record.ends(), 1);
    QCOMPARE(task->state, StateFinished);
    if (learned > 0) {
        QCOMPARE(task->expectedSize, learned);
        QCOMPARE(tick(*task).total, quint64(learned));
    }
    QCOMPARE(readFile(localPath()), content);
    QCOMPARE(record.progress.last().first().toDouble(), 0.25);
}

void tst_DownloadTaskSpecification::failedAttemptMovesToAnotherMirror_data()
{
    QTest::addColumn<Response>("failure");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("dropped");

    // The first attempt goes to "bad", the second to "good". An empty reason stands for the
    // client's own error text, which is checked only for being there.
    const QByteArray body = pattern(30000, 3);
    QTest::newRow("404") << Response::error(404) << "%1/data/file.bin returned 404" << true;
    QTest::newRow("500") << Response::error(500) << "%1/data/file.bin returned 500" << true;
    QTest::newRow("302") << Response::redirect(302, "/5/elsewhere.bin") << "%1/data/file.bin returned 302"
                         << true;
    QTest::newRow("301") << Response::redirect(301, "/5/elsewhere.bin") << "%1/data/file.bin returned 301"
                         << true;
    QTest::newRow("206") <<
        [] {
            Response partial = Response::ok("part");
            partial.status = 206;
            return partial;
        }() << "%1/data/file.bin returned 206"
                         << true;
    QTest::newRow("401 challenge") << Response::authenticationChallenge() << "%1/data/file.bin returned 401"
                                   << true;
    QTest::newRow("closed mid-body") << Response::ok(body).closeAfter(10000) << "" << false;
    QTest::newRow("length promised, body short")
        << Response::ok(body).withDeclaredLength(50000) << "" << false;
}

void tst_DownloadTaskSpecification::failedAttemptMovesToAnotherMirror()
{
    QFETCH(Response, failure);
    QFETCH(QString, reason);
    QFETCH(bool, dropped);

    const QByteArray content = pattern(30000);
    m_bad->setResponse(servedPath, failure);
    m_good->setResponse(servedPath, Response::ok(content));
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad")), mirrorOn(*m_good, QStringLiteral("good"))};
    DownloadTaskSpecification* task = makeTask();
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(record.ends(), 1);

    const QStringList messages = SpyTexts::of(record.messages);
    QVERIFY2(task->state == StateFinished, qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(readFile(localPath()), content);
    QCOMPARE(task->mirror.name, QStringLiteral("good"));
    QCOMPARE(m_bad->requestCount(servedPath), 1);
    QCOMPARE(m_good->requestCount(servedPath), 1);
    // A redirect is never followed.
    QCOMPARE(m_bad->requestCount(QStringLiteral("/5/elsewhere.bin")), 0);
    QCOMPARE(m_good->requestCount(QStringLiteral("/5/elsewhere.bin")), 0);

    QCOMPARE(messages.size(), 3);
    QCOMPARE(messages.at(0), QStringLiteral("Downloading data/file.bin"));
    if (reason.isEmpty())
        QVERIFY2(!messages.at(1).isEmpty() && !messages.at(1).startsWith(QLatin1String("Downloading")),
                 qPrintable(messages.at(1)));
    else
        QCOMPARE(messages.at(1), reason.arg(m_bad->baseUrl() + QStringLiteral("/5")));
    QCOMPARE(messages.at(2), QStringLiteral("Downloading data/file.bin finished"));
    QCOMPARE(record.errors.count(), 0);

    const int badIndex = m_pool->getMirrorIndex(QStringLiteral("bad"));
    if (dropped) {
        QCOMPARE(badIndex, -1);
    } else {
        QVERIFY(badIndex >= 0);
        QCOMPARE(m_pool->mirrors.at(badIndex).errors, 1);
        QCOMPARE(m_pool->mirrors.at(badIndex).inUse, 0);
    }
    const int goodIndex = m_pool->getMirrorIndex(QStringLiteral("good"));
    QCOMPARE(m_pool->mirrors.at(goodIndex).errors, 0);
    QCOMPARE(m_pool->mirrors.at(goodIndex).inUse, 0);
}

void tst_DownloadTaskSpecification::bodyLargerThanAllowed_data()
{
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("accepted");

    const qint64 limit = DownloadTaskSpecification::unknownSizeLimit;
    QTest::newRow("planned size exactly") << qint64(10000) << Response::ok(pattern(10000)) << true;
    QTest::newRow("one byte over planned size") << qint64(10000) << Response::ok(pattern(10001)) << false;
    QTest::newRow("endless, planned size") << qint64(10000) << Response::endless() << false;
    // A length header that promises the planned size does not make a longer body acceptable.
    QTest::newRow("over planned size, lying length")
        << qint64(10000) << Response::ok(pattern(20000)).withoutContentLength() << false;
    QTest::newRow("unknown size, endless") << qint64(-1) << Response::endless() << false;
    QTest::newRow("size 0 counts as unknown, endless") << qint64(0) << Response::endless() << false;
    QTest::newRow("unknown size, at the limit")
        << qint64(-1) << Response::ok(QByteArray(int(limit), 'z')).withoutContentLength() << true;
    QTest::newRow("unknown size, one byte over the limit")
        << qint64(-1) << Response::ok(QByteArray(int(limit + 1), 'z')) << false;
}

void tst_DownloadTaskSpecification::bodyLargerThanAllowed()
{
    QFETCH(qint64, expectedSize);
    QFETCH(Response, response);
    QFETCH(bool, accepted);

    // One mirror that may fail once: the oversized body fails twice and empties the pool.
    m_bad->setResponse(servedPath, response);
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("big"), 1, 1)};
    DownloadTaskSpecification* task = makeTask(expectedSize);
    Recorder record(task);
    qint64 largestFile = 0;
    connect(task, &TaskSpecification::updateProgress, this,
            [&] { largestFile = qMax(largestFile, QFileInfo(localPath()).size()); });
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(record.ends(), 1, 30000);

    const QStringList messages = SpyTexts::of(record.messages);
    if (accepted) {
        QVERIFY2(task->state == StateFinished, qPrintable(messages.join(QLatin1Char('\n'))));
        QCOMPARE(QFileInfo(localPath()).size(), response.body.size());
        return;
    }
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(m_bad->requestCount(servedPath), 2);
    const QString tooLarge = QStringLiteral("file data/file.bin is larger than expected on mirror big");
    QCOMPARE(messages.count(tooLarge), 2);
    QVERIFY(m_pool->mirrors.isEmpty());
    QVERIFY2(!QFileInfo::exists(localPath()), "the oversized partial file was left on disk");
    const qint64 allowed = expectedSize > 0 ? expectedSize : DownloadTaskSpecification::unknownSizeLimit;
    QVERIFY2(
        largestFile <= allowed,
        qPrintable(QStringLiteral("%1 bytes reached the disk, %2 allowed").arg(largestFile).arg(allowed)));
}

void tst_DownloadTaskSpecification::stallTimesOut_data()
{
    QTest::addColumn<int>("readyReadAtTick");
    QTest::addColumn<int>("timeoutTick");

    QTest::newRow("data stops") << -1 << 16;
    // A readyRead without data still counts as a look at the reply.
    QTest::newRow("readyRead without data before tick 10") << 10 << 25;
}

void tst_DownloadTaskSpecification::stallTimesOut()
{
    QFETCH(int, readyReadAtTick);
    QFETCH(int, timeoutTick);

    const QByteArray content = pattern(50000);
    int requests = 0;
    m_good->setHandler(servedPath, [&](const TestHttpServer::Request&) {
        return ++requests == 1 ? Response::ok(content).stallAfter(5000) : Response::ok(content);
    });
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("slow"))};
    DownloadTaskSpecification* task = makeTask(50000);
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(task->bytesDone, qint64(5000));
    QCOMPARE(m_good->stalledCount(), 1);

    const QString timedOut = QStringLiteral("file data/file.bin timed out on mirror slow");
    for (int t = 1; t < timeoutTick; ++t) {
        if (t == readyReadAtTick)
            task->onReadyRead();
        const TickResult result = tick(*task);
        QVERIFY2(result.downloading, qPrintable(QStringLiteral("not downloading at tick %1").arg(t)));
        QVERIFY2(!SpyTexts::of(record.messages).contains(timedOut),
                 qPrintable(QStringLiteral("timed out at tick %1").arg(t)));
    }
    QCOMPARE(m_pool->mirrors.first().errors, 0);
    tick(*task);
    QCOMPARE(SpyTexts::of(record.messages).count(timedOut), 1);
    QCOMPARE(m_pool->mirrors.first().errors, 1);
    // The next attempt starts from byte 0, as soon as the event loop runs.
    QVERIFY(task->reply.isNull());
    QCOMPARE(task->state, StateRunning);
    QCOMPARE(task->bytesDone, qint64(0));
    QTRY_COMPARE(record.ends(), 1);
    QCOMPARE(task->state, StateFinished);
    QCOMPARE(requests, 2);
    QCOMPARE(readFile(localPath()), content);
}

void tst_DownloadTaskSpecification::slowTransferTimesOut_data()
{
    QTest::addColumn<qint64>("burst");
    QTest::addColumn<qint64>("trickle");
    QTest::addColumn<int>("timeoutTick");

    // The mirror sends `burst` bytes before tick 1 and `trickle` bytes before ticks 11, 21, 31 and
    // so on: data keeps coming well within the stall limit of 15 ticks. Any 60 consecutive ticks
    // then see six deliveries. Below 1 KiB per tick on average over 60 ticks, the transfer is
    // abandoned (0: never; it completes).
    QTest::newRow("one byte every ten ticks") << qint64(1) << qint64(1) << 60;
    QTest::newRow("just under 1 KiB per tick") << qint64(10230) << qint64(10230) << 60;
    QTest::newRow("exactly 1 KiB per tick") << qint64(10240) << qint64(10240) << 0;
    QTest::newRow("slow link above 1 KiB per tick") << qint64(11000) << qint64(11000) << 0;
    // The average is taken over the last 60 ticks, not since the start.
    QTest::newRow("a burst, then a trickle") << qint64(100 * 1024) << qint64(1) << 61;
}

void tst_DownloadTaskSpecification::slowTransferTimesOut()
{
    QFETCH(qint64, burst);
    QFETCH(qint64, trickle);
    QFETCH(int, timeoutTick);

    const QByteArray content = pattern(300000);
    int requests = 0;
    m_good->setHandler(servedPath, [&](const TestHttpServer::Request&) {
        return ++requests == 1 ? Response::ok(content).stallAfter(0) : Response::ok(content);
    });
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("slow"))};
    DownloadTaskSpecification* task = makeTask(content.size());
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(m_good->stalledCount(), 1);

    const QString timedOut = QStringLiteral("file data/file.bin timed out on mirror slow");
    const int lastTick = timeoutTick > 0 ? timeoutTick : 130;
    qint64 sent = 0;
    for (int t = 1; t <= lastTick; ++t) {
        if (t % 10 == 1) {
            const qint64 bytes = t == 1 ? burst : trickle;
            sent += bytes;
            m_good->feedStalled(bytes);
            QVERIFY2(QTest::qWaitFor([&] { return task->bytesDone == sent; }),
                     qPrintable(QStringLiteral("%1 of %2 bytes arrived before tick %3")
                                    .arg(task->bytesDone)
                                    .arg(sent)
                                    .arg(t)));
        }
        const TickResult result = tick(*task);
        if (t == timeoutTick)
            break;
        QVERIFY2(result.downloading, qPrintable(QStringLiteral("not downloading at tick %1").arg(t)));
        QVERIFY2(!SpyTexts::of(record.messages).contains(timedOut),
                 qPrintable(QStringLiteral("timed out at tick %1").arg(t)));
    }

    if (timeoutTick == 0) {
        QCOMPARE(m_pool->mirrors.first().errors, 0);
        m_good->resumeStalled();
        QTRY_COMPARE(record.ends(), 1);
        QCOMPARE(task->state, StateFinished);
        QCOMPARE(requests, 1);
        QCOMPARE(readFile(localPath()), content);
        return;
    }
    // The same message and the same charge as a transfer that stopped altogether; the next
    // attempt starts from byte 0.
    QCOMPARE(SpyTexts::of(record.messages).count(timedOut), 1);
    QCOMPARE(m_pool->mirrors.first().errors, 1);
    QCOMPARE(task->bytesDone, qint64(0));
    QTRY_COMPARE(record.ends(), 1);
    QCOMPARE(task->state, StateFinished);
    QCOMPARE(requests, 2);
    QCOMPARE(readFile(localPath()), content);
}

void tst_DownloadTaskSpecification::waitsForFreeSlotWithoutStallCounting()
{
    const QByteArray first = pattern(20000, 1);
    const QByteArray second = pattern(20000, 2);
    m_good->setResponse(QStringLiteral("/5/first.bin"), Response::ok(first).stallAfter(100));
    m_good->setResponse(QStringLiteral("/5/second.bin"), Response::ok(second));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("single"), 1)};

    auto* holder = namedTask(QStringLiteral("first.bin"));
    auto* waiter = namedTask(QStringLiteral("second.bin"));
    Recorder holderRecord(holder);
    Recorder waiterRecord(waiter);
    holder->execute();
    waiter->execute();
    QTRY_COMPARE(holder->bytesDone, qint64(100));

    // Far beyond the stall limit: a waiting task has no transfer to time out.
    for (int t = 0; t < 40; ++t) {
        const TickResult result = tick(*waiter);
        QVERIFY(!result.downloading);
        QCOMPARE(result.done, quint64(0));
        QCOMPARE(waiter->state, StateRunning);
        QVERIFY(waiter->reply.isNull());
        QCoreApplication::processEvents();
    }
    QCOMPARE(waiterRecord.ends(), 0);
    QCOMPARE(m_good->requestCount(QStringLiteral("/5/second.bin")), 0);
    QVERIFY(!QFileInfo::exists(localPath(QStringLiteral("second.bin"))));

    m_good->resumeStalled();
    QTRY_COMPARE(holderRecord.ends(), 1);
    QTRY_COMPARE(waiterRecord.ends(), 1);
    QCOMPARE(holder->state, StateFinished);
    QCOMPARE(waiter->state, StateFinished);
    QCOMPARE(readFile(localPath(QStringLiteral("second.bin"))), second);
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
    QCOMPARE(m_pool->mirrors.first().errors, 0);
}

void tst_DownloadTaskSpecification::waitingTaskLearnsWhenThePoolEmpties()
{
    // The one mirror answers the first transfer with 404 and is dropped while a second transfer
    // waits for its slot. The waiting task must not wait for ever: it asks the pool again and ends.
    m_good->setResponse(QStringLiteral("/5/first.bin"), Response::error(404).stallAfter(5));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("single"), 1)};
    auto* holder = namedTask(QStringLiteral("first.bin"));
    auto* waiter = namedTask(QStringLiteral("second.bin"));
    Recorder holderRecord(holder);
    Recorder waiterRecord(waiter);
    QSignalSpy poolMessages(m_pool.get(), &Mirrors::message);
    holder->execute();
    waiter->execute();
    QCOMPARE(waiterRecord.ends(), 0);

    QTRY_COMPARE(holderRecord.ends(), 1);
    QCOMPARE(holder->state, StateErrorCanceled);
    QTRY_COMPARE(waiterRecord.ends(), 1);
    QCOMPARE(waiter->state, StateErrorCanceled);
    QCOMPARE(SpyTexts::of(poolMessages),
             QStringList({"There are no (more) known working mirrors available"}));
    QCOMPARE(m_good->requestCount(QStringLiteral("/5/second.bin")), 0);
}

void tst_DownloadTaskSpecification::noMirrorLeftEndsInError()
{
    // Two mirrors that fail in both ways: one is dropped at once, the other after its allowance.
    m_bad->setResponse(servedPath, Response::error(404));
    m_good->setResponse(servedPath, Response::ok(pattern(30000)).closeAfter(8000));
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("missing")),
                       mirrorOn(*m_good, QStringLiteral("flaky"), 1, 1)};
    QSignalSpy poolMessages(m_pool.get(), &Mirrors::message);
    DownloadTaskSpecification* task = makeTask(30000);
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(record.ends(), 1);

    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(record.canceled.count(), 1);
    QCOMPARE(record.errors.count(), 0);
    QVERIFY(m_pool->mirrors.isEmpty());
    QCOMPARE(m_bad->requestCount(servedPath), 1);
    QCOMPARE(m_good->requestCount(servedPath), 2);
    QCOMPARE(SpyTexts::of(poolMessages),
             QStringList({"Mirror flaky failed too many times, removing",
                          "There are no (more) known working mirrors available"}));
    QVERIFY2(!QFileInfo::exists(localPath()), "a partial file was left on disk");
    QVERIFY(task->mirror.name.isEmpty());
}

void tst_DownloadTaskSpecification::emptyPoolFromStart()
{
    QSignalSpy poolMessages(m_pool.get(), &Mirrors::message);
    DownloadTaskSpecification* first = makeTask(-1, QStringLiteral("a.bin"));
    DownloadTaskSpecification* second = makeTask(-1, QStringLiteral("b.bin"));
    Recorder firstRecord(first);
    Recorder secondRecord(second);
    first->execute();
    second->execute();

    for (auto* record : {&firstRecord, &secondRecord}) {
        QCOMPARE(record->canceled.count(), 1);
        QCOMPARE(record->finished.count(), 0);
        QCOMPARE(record->errors.count(), 0);
        QCOMPARE(SpyTexts::of(record->messages), QStringList({"Downloading data/file.bin"}));
    }
    QCOMPARE(first->state, StateErrorCanceled);
    QCOMPARE(second->state, StateErrorCanceled);
    QCOMPARE(poolMessages.count(), 1);
    QVERIFY(!QFileInfo::exists(localPath(QStringLiteral("a.bin"))));
}

void tst_DownloadTaskSpecification::localFileCannotBeCreated_data()
{
    QTest::addColumn<QString>("obstacle");

    QTest::newRow("folder in the file's place") << "folder";
    QTest::newRow("file in the parent folder's place") << "file-parent";
    QTest::newRow("immutable parent folder") << "immutable";
}

void tst_DownloadTaskSpecification::localFileCannotBeCreated()
{
    QFETCH(QString, obstacle);

    QString target;
    QString immutable;
    if (obstacle == QLatin1String("folder")) {
        target = localPath(QStringLiteral("taken"));
        QVERIFY(QDir().mkpath(target));
    } else if (obstacle == QLatin1String("file-parent")) {
        QFile plain(localPath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        target = localPath(QStringLiteral("plain/file.bin"));
    } else {
        immutable = localPath(QStringLiteral("locked"));
        QVERIFY(QDir().mkpath(immutable));
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), immutable}) != 0)
            QSKIP("chattr +i is not supported on this file system");
        target = immutable + QStringLiteral("/file.bin");
    }
    const auto unlock = qScopeGuard([&] {
        if (!immutable.isEmpty())
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), immutable});
    });

    m_good->setResponse(servedPath, Response::ok("content"));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    auto* task = new DownloadTaskSpecification(m_manager.get(), m_pool.get(), remotePath, target, -1,
                                               m_tasks.get(), 1.0);
    Recorder record(task);
    task->execute();

    QCOMPARE(record.canceled.count(), 1);
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(SpyTexts::of(record.errors),
             QStringList({QStringLiteral("Unable to create file %1 for saving").arg(target)}));
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
    QCOMPARE(m_pool->mirrors.first().errors, 0);
    QCOMPARE(m_good->totalRequests(), 0);
    // A later reset must not give the slot back a second time.
    task->reset();
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
}

void tst_DownloadTaskSpecification::fullDiskLeavesMirrorAlone()
{
    const QString mountPoint = localPath(QStringLiteral("small"));
    QVERIFY(QDir().mkpath(mountPoint));
    if (QProcess::execute(QStringLiteral("mount"),
                          {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                           QStringLiteral("size=64k"), QStringLiteral("tmpfs"), mountPoint})
        != 0)
        QSKIP("cannot mount a small tmpfs here (needs root)");
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {mountPoint}); });

    m_good->setResponse(servedPath, Response::ok(pattern(512 * 1024)));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"), 1, 1)};
    const QString target = mountPoint + QStringLiteral("/file.bin");
    auto* task = new DownloadTaskSpecification(m_manager.get(), m_pool.get(), remotePath, target, 512 * 1024,
                                               m_tasks.get(), 1.0);
    Recorder record(task);
    QSignalSpy poolMessages(m_pool.get(), &Mirrors::message);
    task->execute();
    QTRY_COMPARE(record.ends(), 1);

    // The disk is full, not the mirror at fault: the task ends with the local error at the first
    // failed write, and the mirror stays in the pool uncharged for whatever comes next.
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(record.errors.count(), 1);
    QVERIFY2(!SpyTexts::of(record.errors).first().isEmpty(), "the write failure was not explained");
    QCOMPARE(SpyTexts::of(record.messages), QStringList({"Downloading data/file.bin"}));
    QCOMPARE(m_good->requestCount(servedPath), 1);
    QCOMPARE(m_pool->mirrors.size(), 1);
    QCOMPARE(m_pool->mirrors.first().errors, 0);
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
    QCOMPARE(poolMessages.count(), 0);
    QVERIFY(task->reply.isNull());
    QVERIFY2(!QFileInfo::exists(target), "the partial file was left on the full disk");
}

void tst_DownloadTaskSpecification::localFileGoneDuringTransfer_data()
{
    QTest::addColumn<QString>("mishap");

    QTest::newRow("folder removed") << "folder removed";
    QTest::newRow("folder replaced by a file") << "folder replaced by a file";
    QTest::newRow("file removed") << "file removed";
    QTest::newRow("file replaced") << "file replaced";
}

void tst_DownloadTaskSpecification::localFileGoneDuringTransfer()
{
    QFETCH(QString, mishap);

    // The temporary folder (or the file in it) goes away while the body is on its way. The file
    // handle still takes the bytes, but they no longer reach the path the caller will read.
    const QString folder = localPath(QStringLiteral("temp"));
    QVERIFY(QDir().mkpath(folder));
    const QString target = folder + QStringLiteral("/file.bin");
    const QByteArray content = pattern(30000);
    m_good->setResponse(servedPath, Response::ok(content).stallAfter(10000));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    auto* task = new DownloadTaskSpecification(m_manager.get(), m_pool.get(), remotePath, target, 30000,
                                               m_tasks.get(), 1.0);
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(task->bytesDone, qint64(10000));

    const QByteArray stranger("not the download");
    QString strangerPath;
    if (mishap.startsWith(QLatin1String("folder"))) {
        QVERIFY(QDir(folder).removeRecursively());
        if (mishap.endsWith(QLatin1String("file")))
            strangerPath = folder;
    } else {
        QVERIFY(QFile::remove(target));
        if (mishap.endsWith(QLatin1String("replaced")))
            strangerPath = target;
    }
    if (!strangerPath.isEmpty())
        QVERIFY(FileBytes::write(strangerPath, stranger));
    m_good->resumeStalled();
    QTRY_COMPARE(record.ends(), 1);

    QVERIFY2(task->state == StateErrorCanceled,
             qPrintable(SpyTexts::of(record.messages).join(QLatin1Char('\n'))));
    QCOMPARE(
        SpyTexts::of(record.errors),
        QStringList({QStringLiteral("File %1 was removed or replaced while it was downloaded").arg(target)}));
    QCOMPARE(m_good->requestCount(servedPath), 1);
    QCOMPARE(m_pool->mirrors.size(), 1);
    QCOMPARE(m_pool->mirrors.first().errors, 0);
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
    // What now stands at the path is not the task's to delete.
    if (!strangerPath.isEmpty())
        QCOMPARE(FileBytes::read(strangerPath), stranger);
}

void tst_DownloadTaskSpecification::cancel_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<bool>("whileWaiting");

    QTest::newRow("user, transferring") << true << false;
    QTest::newRow("sibling, transferring") << false << false;
    QTest::newRow("user, waiting for a slot") << true << true;
    QTest::newRow("sibling, waiting for a slot") << false << true;
}

void tst_DownloadTaskSpecification::cancel()
{
    QFETCH(bool, byUser);
    QFETCH(bool, whileWaiting);

    m_good->setResponse(QStringLiteral("/5/first.bin"), Response::ok(pattern(20000)).stallAfter(3000));
    m_good->setResponse(servedPath, Response::ok(pattern(20000)).stallAfter(3000));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("single"), 1)};
    DownloadTaskSpecification* holder = nullptr;
    if (whileWaiting) {
        holder = namedTask(QStringLiteral("first.bin"));
        holder->execute();
        QTRY_COMPARE(holder->bytesDone, qint64(3000));
    }
    auto* task = new SiblingAwareDownload(m_manager.get(), m_pool.get(), remotePath, localPath(), -1,
                                          m_tasks.get(), 0.5);
    Recorder record(task);
    task->execute();
    if (!whileWaiting)
        QTRY_COMPARE(task->bytesDone, qint64(3000));
    QVERIFY(QFileInfo::exists(localPath()) != whileWaiting);

    if (byUser) {
        task->userCanceled();
    } else {
        // What a composed parent does when one of its sub-tasks was cancelled.
        TaskSpecification* sibling = holder ? holder : makeTask(-1, QStringLiteral("other.bin"));
        connect(task, &TaskSpecification::otherTaskCancelled, task,
                &SiblingAwareDownload::onOtherTaskCancelled);
        Q_EMIT task->otherTaskCancelled(sibling);
    }

    QCOMPARE(record.canceled.count(), 1);
    QCOMPARE(record.finished.count(), 0);
    QCOMPARE(task->state, byUser ? StateUserCanceled : StateErrorCanceled);
    QCOMPARE(task->isUserCanceled, byUser);
    QVERIFY2(!QFileInfo::exists(localPath()), "the partial file was left on disk");
    QVERIFY(task->reply.isNull());
    QCOMPARE(record.errors.count(), 0);
    const QStringList messages = SpyTexts::of(record.messages);
    if (!byUser && !whileWaiting)
        QCOMPARE(messages.last(), QStringLiteral("Abort downloading data/file.bin"));
    else
        QCOMPARE(messages, QStringList({"Downloading data/file.bin"}));
    QCOMPARE(m_pool->mirrors.first().errors, 0);
    QCOMPARE(m_pool->mirrors.first().inUse, whileWaiting ? 1 : 0);

    // Nothing wakes a cancelled task: the transfer it waited for ends (or its own dropped one is
    // aborted), and it stays as it is. The manager announces that end once; a queued wake-up of
    // the task, had it stayed subscribed, would be delivered before this later-connected one.
    int announced = 0;
    connect(
        m_manager.get(), &QNetworkAccessManager::finished, this, [&announced] { ++announced; },
        Qt::QueuedConnection);
    if (holder) {
        Recorder holderRecord(holder);
        m_good->resumeStalled();
        QTRY_COMPARE(holderRecord.ends(), 1);
        QCOMPARE(m_pool->mirrors.first().inUse, 0);
    }
    QTRY_COMPARE(announced, 1);
    QVERIFY(task->reply.isNull());
    QCOMPARE(record.ends(), 1);
    QCOMPARE(m_good->requestCount(servedPath), whileWaiting ? 0 : 1);
    QVERIFY(!QFileInfo::exists(localPath()));
}

void tst_DownloadTaskSpecification::cancelOfIdleTaskOnlyRecordsRequest()
{
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    DownloadTaskSpecification* task = makeTask();
    Recorder record(task);
    task->userCanceled();
    QVERIFY(task->isUserCanceled);
    QCOMPARE(task->state, StateIdle);
    QCOMPARE(record.ends(), 0);
}

void tst_DownloadTaskSpecification::cancelThroughComposedParent_data()
{
    QTest::addColumn<bool>("byUser");

    QTest::newRow("a sibling runs out of mirrors") << false;
    QTest::newRow("the user cancels the parent") << true;
}

void tst_DownloadTaskSpecification::cancelThroughComposedParent()
{
    QFETCH(bool, byUser);

    // Two transfers under one parent on one mirror that may not fail at all; both stall. The
    // stall of "doomed" is then driven to its time-out, which drops the only mirror and ends
    // that transfer in error.
    const QString slowPath = QStringLiteral("/5/slow.bin");
    const QString doomedPath = QStringLiteral("/5/doomed.bin");
    m_good->setResponse(slowPath, Response::ok(pattern(40000)).stallAfter(20000));
    m_good->setResponse(doomedPath, Response::ok(pattern(1000)).stallAfter(100));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("single"), 3, 0)};

    auto* parent = new ParallelParent(m_tasks.get());
    auto* slow = namedTask(QStringLiteral("slow.bin"), 40000, parent);
    auto* doomed = namedTask(QStringLiteral("doomed.bin"), 1000, parent);
    parent->addSubTask(slow);
    parent->addSubTask(doomed);
    QSignalSpy parentCanceled(parent, &TaskSpecification::canceled);
    QSignalSpy parentMessages(parent, &TaskSpecification::message);
    parent->execute();
    QTRY_COMPARE(slow->bytesDone, qint64(20000));
    QTRY_COMPARE(doomed->bytesDone, qint64(100));
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    parent->timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(20100));
    QVERIFY(downloading);

    if (byUser) {
        parent->userCanceled();
    } else {
        for (int t = 0; t < 16; ++t)
            tick(*doomed);
    }
    QTRY_COMPARE(parentCanceled.count(), 1);

    // A user's cancel reaches "slow" first, which ends as cancelled by the user; the broadcast of
    // that cancellation reaches "doomed" before its own request does, so it aborts as failed, and a
    // failed sub-task outranks a user-cancelled one in the parent's verdict.
    const QStringList messages = SpyTexts::of(parentMessages);
    if (byUser) {
        QCOMPARE(slow->state, StateUserCanceled);
        QCOMPARE(doomed->state, StateErrorCanceled);
        QVERIFY(messages.contains(QStringLiteral("Abort downloading doomed.bin")));
        QVERIFY(!messages.contains(QStringLiteral("Abort downloading slow.bin")));
    } else {
        QCOMPARE(slow->state, StateErrorCanceled);
        QCOMPARE(doomed->state, StateErrorCanceled);
        QVERIFY(messages.contains(QStringLiteral("file doomed.bin timed out on mirror single")));
        QVERIFY(messages.contains(QStringLiteral("Abort downloading slow.bin")));
    }
    QCOMPARE(parent->state, StateErrorCanceled);
    for (const QString& name : {QStringLiteral("slow.bin"), QStringLiteral("doomed.bin")})
        QVERIFY2(!QFileInfo::exists(localPath(name)), qPrintable(name + QStringLiteral(" was left on disk")));
    QCOMPARE(m_good->requestCount(slowPath), 1);
    QCOMPARE(m_good->requestCount(doomedPath), 1);
    if (byUser)
        QCOMPARE(m_pool->mirrors.first().inUse, 0);
    else
        QVERIFY(m_pool->mirrors.isEmpty());
}

void tst_DownloadTaskSpecification::resetAfterSuccessKeepsSlotCount()
{
    const QByteArray content = pattern(10000);
    m_good->setResponse(servedPath, Response::ok(content));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    DownloadTaskSpecification* task = makeTask(10000);
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(record.ends(), 1);
    QCOMPARE(task->state, StateFinished);

    task->reset();
    QCOMPARE(task->state, StateIdle);
    QCOMPARE(task->progress, 0.0);
    QCOMPARE(task->bytesDone, qint64(0));
    QCOMPARE(task->expectedSize, qint64(10000));
    // The slot went back when the transfer finished; the reset must not give it back again.
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
    // The finished file is the caller's now; a reset does not delete it.
    QCOMPARE(readFile(localPath()), content);

    task->execute();
    QTRY_COMPARE(record.ends(), 2);
    QCOMPARE(task->state, StateFinished);
    QCOMPARE(m_good->requestCount(servedPath), 2);
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
}

void tst_DownloadTaskSpecification::responseWithoutHttpStatus_data()
{
    QTest::addColumn<bool>("present");

    QTest::newRow("file there") << true;
    QTest::newRow("file missing") << false;
}

void tst_DownloadTaskSpecification::responseWithoutHttpStatus()
{
    QFETCH(bool, present);

    // A mirror reached by another scheme gives no HTTP status, and its reply is complete before
    // get() returns: a present file is taken as it is, a missing one fails like any transfer error.
    QVERIFY(QDir().mkpath(localPath(QStringLiteral("local-mirror/5/data"))));
    const QByteArray content = pattern(70000);
    if (present) {
        QFile source(localPath(QStringLiteral("local-mirror/5/data/file.bin")));
        QVERIFY(source.open(QIODevice::WriteOnly));
        source.write(content);
    }

    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("local");
    mirror.url = QUrl::fromLocalFile(localPath(QStringLiteral("local-mirror/5"))).toString();
    mirror.retries = 1;
    m_pool->mirrors = {mirror};
    DownloadTaskSpecification* task = makeTask(-1, QStringLiteral("copy.bin"));
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(record.ends(), 1);

    const QStringList messages = SpyTexts::of(record.messages);
    if (present) {
        QVERIFY2(task->state == StateFinished, qPrintable(messages.join(QLatin1Char('\n'))));
        QCOMPARE(readFile(localPath(QStringLiteral("copy.bin"))), content);
        QCOMPARE(m_pool->mirrors.size(), 1);
        QCOMPARE(m_pool->mirrors.first().inUse, 0);
        return;
    }
    // Counted, not dropped: two attempts exhaust an allowance of one error.
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(messages.size(), 3);
    QVERIFY2(!messages.at(1).isEmpty() && messages.at(1) == messages.at(2),
             qPrintable(messages.join(QLatin1Char('\n'))));
    QVERIFY(m_pool->mirrors.isEmpty());
    QVERIFY(!QFileInfo::exists(localPath(QStringLiteral("copy.bin"))));
}

void tst_DownloadTaskSpecification::retriesOfFinishedRepliesRunFromEventLoop()
{
    // A local mirror without the file fails every attempt before get() returns. With a large error
    // allowance, a retry started from inside the failed attempt nests one call deeper each time,
    // until the stack runs out; started from the event loop, each begins afresh.
    const int allowance = 100000;
    QVERIFY(QDir().mkpath(localPath(QStringLiteral("local-mirror/5"))));
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("local");
    mirror.url = QUrl::fromLocalFile(localPath(QStringLiteral("local-mirror/5"))).toString();
    mirror.retries = allowance;
    m_pool->mirrors = {mirror};
    DownloadTaskSpecification* task = makeTask(-1, QStringLiteral("copy.bin"));
    Recorder record(task);
    task->execute();

    // The first attempt has failed; the second waits for the event loop.
    QCOMPARE(record.messages.count(), 2);
    QCOMPARE(m_pool->mirrors.first().errors, 1);
    QCOMPARE(record.ends(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(record.ends(), 1, 120000);

    QCOMPARE(task->state, StateErrorCanceled);
    QVERIFY(m_pool->mirrors.isEmpty());
    // "Downloading ...", then one line per failed attempt.
    QCOMPARE(record.messages.count(), 1 + allowance + 1);
    QVERIFY(!QFileInfo::exists(localPath(QStringLiteral("copy.bin"))));
}

void tst_DownloadTaskSpecification::mirrorBaseKeptAsWritten_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QByteArray>("target");

    // The mirror's own escapes stay as written; only the file's path is encoded.
    QTest::newRow("escaped slash") << "/a%2Fb/5"
                                   << "data/file.bin" << QByteArray("/a%2Fb/5/data/file.bin");
    QTest::newRow("escaped space") << "/x%20y/5"
                                   << "data/file.bin" << QByteArray("/x%20y/5/data/file.bin");
    QTest::newRow("escaped percent") << "/p%2541/5"
                                     << "data/file.bin" << QByteArray("/p%2541/5/data/file.bin");
    QTest::newRow("escaped slash, file name special in URLs")
        << "/a%2Fb/5"
        << "data/a b#c?d%2F.bin" << QByteArray("/a%2Fb/5/data/a%20b%23c%3Fd%252F.bin");
}

void tst_DownloadTaskSpecification::mirrorBaseKeptAsWritten()
{
    QFETCH(QString, base);
    QFETCH(QString, remote);
    QFETCH(QByteArray, target);

    const QByteArray content = pattern(5000);
    QList<QByteArray> targets;
    m_good->setFallback([&](const TestHttpServer::Request& request) {
        targets.append(request.target);
        return request.target == target ? Response::ok(content) : Response::error(404);
    });
    FTPSiteAccessData mirror = mirrorOn(*m_good, QStringLiteral("escaped"));
    mirror.url = m_good->baseUrl() + base;
    m_pool->mirrors = {mirror};
    auto* task = new DownloadTaskSpecification(m_manager.get(), m_pool.get(), remote, localPath(), -1,
                                               m_tasks.get(), 1.0);
    Recorder record(task);
    task->execute();
    QTRY_COMPARE(record.ends(), 1);

    QCOMPARE(targets, QList<QByteArray>({target}));
    QCOMPARE(task->state, StateFinished);
    QCOMPARE(readFile(localPath()), content);
}

void tst_DownloadTaskSpecification::noRequestWithoutManager()
{
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    auto* task =
        new DownloadTaskSpecification(nullptr, m_pool.get(), remotePath, localPath(), -1, m_tasks.get(), 1.0);
    Recorder record(task);
    task->execute();
    QCOMPARE(record.canceled.count(), 1);
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(SpyTexts::of(record.errors), QStringList({"Download failed to initialize"}));
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
    QCOMPARE(m_pool->mirrors.first().errors, 0);
    QVERIFY(!QFileInfo::exists(localPath()));
}

void tst_DownloadTaskSpecification::setUpErrorShownInModalBox_data()
{
    QTest::addColumn<bool>("withManager"); // false: no request can be made; true: no local file
    QTest::addColumn<bool>("treeDeleted");

    QTest::newRow("no local file, a sibling is cancelled") << true << false;
    QTest::newRow("no local file, then the tree is released") << true << true;
    QTest::newRow("no request, a sibling is cancelled") << false << false;
    QTest::newRow("no request, then the tree is released") << false << true;
}

void tst_DownloadTaskSpecification::setUpErrorShownInModalBox()
{
    QFETCH(bool, withManager);
    QFETCH(bool, treeDeleted);

    // The window shows error() in a modal message box, whose event loop runs inside the emission.
    // Meanwhile another transfer of the tree can be cancelled, which ends this task through the
    // broadcast, and the engine can then release the whole tree. When the box closes, the task
    // must neither end a second time nor touch itself if it is gone.
    const QString target = withManager ? localPath(QStringLiteral("taken")) : localPath();
    if (withManager)
        QVERIFY(QDir().mkpath(target));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    auto* tree = new QObject(m_tasks.get());
    auto* task = new SiblingAwareDownload(withManager ? m_manager.get() : nullptr, m_pool.get(), remotePath,
                                          target, -1, tree, 1.0);
    connect(task, &TaskSpecification::otherTaskCancelled, task, &SiblingAwareDownload::onOtherTaskCancelled);
    DownloadTaskSpecification* sibling = makeTask(-1, QStringLiteral("other.bin"));
    QPointer<DownloadTaskSpecification> watch(task);
    int ends = 0;
    connect(task, &TaskSpecification::finished, this, [&ends] { ++ends; });
    connect(task, &TaskSpecification::canceled, this, [&ends] { ++ends; });
    bool boxShown = false;
    connect(task, &TaskSpecification::error, this, [&] {
        boxShown = true;
        QEventLoop box;
        QTimer::singleShot(0, &box, [&] {
            Q_EMIT task->otherTaskCancelled(sibling);
            if (!treeDeleted) {
                box.quit();
                return;
            }
            connect(tree, &QObject::destroyed, &box, &QEventLoop::quit);
            tree->deleteLater();
        });
        QTimer::singleShot(10000, &box, &QEventLoop::quit);
        box.exec();
    });
    task->execute();

    QVERIFY(boxShown);
    QCOMPARE(ends, 1);
    QCOMPARE(watch.isNull(), treeDeleted);
    if (!treeDeleted)
        QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(m_pool->mirrors.first().inUse, 0);
    QCOMPARE(m_pool->mirrors.first().errors, 0);
}

QTEST_GUILESS_MAIN(tst_DownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"

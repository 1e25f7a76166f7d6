// The planned file downloads against scripted mirrors: folders, parallelism, MD5 checks that drop
// the mirror that served a bad file, and the transfer figures.

#include "Configuration.h"
#include "DownloadFileListTaskSpecification.h"
#include "DownloadFileTaskSpecification.h"
#include "DownloadTaskSpecification.h"
#include "FileBytes.h"
#include "GzipBytes.h"
#include "Mirrors.h"
#include "ScriptedRandomGenerator.h"
#include "SpyTexts.h"
#include "TestHttpServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using Response = TestHttpServer::Response;

namespace {
QByteArray content(const QString& name)
{
    return (QStringLiteral("content of %1\n").arg(name)).toUtf8().repeated(50);
}

QString md5(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

FileDownloadSpecification spec(const QString& name, const QString& section = QStringLiteral("bin"))
{
    const QByteArray data = content(name);
    return {section, name, md5(data), quint64(data.size())};
}

// Watches the sub-tasks that `task` holds at this moment. Once a discarded attempt's tasks are
// destroyed they can neither end their parent again nor start a transfer: waiting for that, instead
// of for some time, shows that nothing more comes of them.
void watchSubTasks(const ComposedTaskSpecification* task, QList<QPointer<TaskSpecification>>& watched)
{
    for (TaskSpecification* sub : task->subTasks)
        watched.append(sub);
}

bool allDestroyed(const QList<QPointer<TaskSpecification>>& watched)
{
    return std::all_of(watched.cbegin(), watched.cend(),
                       [](const QPointer<TaskSpecification>& sub) { return sub.isNull(); });
}

} // namespace

class tst_DownloadFileListTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void fetchesEveryFileIntoItsFolder_data();
    void fetchesEveryFileIntoItsFolder();
    void emptyListNeedsNoDownload();
    void folderThatCannotBeCreated();
    void badFileDropsMirrorAndComesFromAnother();
    void fileBadOnEveryMirrorEndsInError();
    void emptyMd5NeverPasses();
    void gzipLabelledFileArrivesAsStored();
    void localFileGoneBeforeCheckKeepsMirror();
    void oneStreamFetchesInListOrder();
    void reportsPlannedTotalBeforeTransfers();
    void userCancelDuringFailingCheckEndsCancelled();
    void siblingErrorDuringFailingCheckStopsRetry();

private:
    FTPSiteAccessData mirrorOn(TestHttpServer& server, const QString& name, int maxUse = 4) const;
    void serve(TestHttpServer& server, const QList<FileDownloadSpecification>& files);
    DownloadFileListTaskSpecification* makeTask();
    QString local(const QString& name) const { return m_temp->filePath(name); }

    QList<FileDownloadSpecification> m_files;
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<ScriptedRandomGenerator> m_random;
    std::unique_ptr<Mirrors> m_pool;
    std::unique_ptr<TestHttpServer> m_good;
    std::unique_ptr<TestHttpServer> m_bad;
    std::unique_ptr<Configuration> m_configuration;
    std::unique_ptr<QObject> m_tasks;
};

void tst_DownloadFileListTaskSpecification::init()
{
    m_files.clear();
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temp->isValid());
    m_manager = std::make_unique<QNetworkAccessManager>();
    m_random = std::make_unique<ScriptedRandomGenerator>(QList<quint32> {0u});
    m_pool = std::make_unique<Mirrors>(nullptr, m_random.get());
    m_good = std::make_unique<TestHttpServer>();
    m_bad = std::make_unique<TestHttpServer>();
    QVERIFY2(m_good->listen(), qPrintable(m_good->errorString()));
    QVERIFY2(m_bad->listen(), qPrintable(m_bad->errorString()));
    m_configuration = std::make_unique<Configuration>();
    m_configuration->clientType = QStringLiteral("Kelvaro3");
    m_configuration->tempDir = m_temp->path();
    m_configuration->downloadStreams = 3;
    m_tasks = std::make_unique<QObject>();
}

void tst_DownloadFileListTaskSpecification::cleanup()
{
    m_tasks.reset();
    m_good.reset();
    m_bad.reset();
    m_pool.reset();
    m_random.reset();
    m_manager.reset();
    m_configuration.reset();
    m_temp.reset();
}

FTPSiteAccessData tst_DownloadFileListTaskSpecification::mirrorOn(TestHttpServer& server, const QString& name,
                                                                  int maxUse) const
{
    FTPSiteAccessData mirror;
    mirror.name = name;
    mirror.url = server.baseUrl() + QStringLiteral("/7");
    mirror.maxUse = maxUse;
    mirror.retries = 2;
    return mirror;
}

void tst_DownloadFileListTaskSpecification::serve(TestHttpServer& server,
                                                  const QList<FileDownloadSpecification>& files)
{
    for (const FileDownloadSpecification& file : files)
        server.setResponse(QStringLiteral("/7/%1/%2").arg(file.section, file.fileName),
                           Response::ok(content(file.fileName)));
}

DownloadFileListTaskSpecification* tst_DownloadFileListTaskSpecification::makeTask()
{
    return new DownloadFileListTaskSpecification(&m_files, m_manager.get(), m_pool.get(),
                                                 m_configuration.get(), m_tasks.get(), 0.4);
}

void tst_DownloadFileListTaskSpecification::fetchesEveryFileIntoItsFolder_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("streams");

    QTest::newRow("one file at the top") << QStringList {"c"} << 3;
    QTest::newRow("shared folder and the top") << QStringList {"lib/a.so", "lib/b.so", "c"} << 3;
    QTest::newRow("several levels at once") << QStringList {"plugins/imageformats/x/libq.so", "c"} << 2;
    // Names that mean something in a URL must still name the file itself on the mirror.
    QTest::newRow("characters special in URLs")
        << QStringList {"a#b.txt", "what?.txt", "100%41.txt", "sp ace, comma.txt", "lib/+plus&amp;.so"} << 2;
    QTest::newRow("more files than streams")
        << QStringList {"a", "b", "lib/c", "lib/d", "e/f", "e/g", "h", "i"} << 3;
}

void tst_DownloadFileListTaskSpecification::fetchesEveryFileIntoItsFolder()
{
    QFETCH(QStringList, names);
    QFETCH(int, streams);

    m_configuration->downloadStreams = streams;
    for (const QString& name : names)
        m_files.append(spec(name));
    serve(*m_good, m_files);
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"), 8)};

    DownloadFileListTaskSpecification* task = makeTask();
    QCOMPARE(task->maxParallelTasks, streams);
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);

    QVERIFY2(finished.count() == 1, qPrintable(SpyTexts::of(messages).join(QLatin1Char('\n'))));
    QCOMPARE(SpyTexts::of(messages).first(), QStringLiteral("Downloading files"));
    for (const QString& name : names) {
        QVERIFY2(FileBytes::read(local(name)) == content(name), qPrintable(name));
        QCOMPARE(m_good->requestCount(QStringLiteral("/7/bin/") + name), 1);
    }
    QCOMPARE(task->progress, 0.4);
}

void tst_DownloadFileListTaskSpecification::emptyListNeedsNoDownload()
{
    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(task->state, StateFinished);
    QCOMPARE(SpyTexts::of(messages), QStringList {"No downloads needed"});
    QCOMPARE(QDir(m_temp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void tst_DownloadFileListTaskSpecification::folderThatCannotBeCreated()
{
    // A file where a folder must go.
    QVERIFY(FileBytes::write(local(QStringLiteral("lib")), "in the way"));
    m_files = {spec(QStringLiteral("a")), spec(QStringLiteral("lib/x/b.so"))};
    serve(*m_good, m_files);
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    QSignalSpy errors(task, &TaskSpecification::error);
    task->execute();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(SpyTexts::of(messages),
             QStringList {QStringLiteral("Could not create dir %1/lib/x")
                              .arg(QFileInfo(m_temp->path()).canonicalFilePath())});
    QCOMPARE(errors.count(), 0);
    // No transfer was made, so none can send a request later.
    QVERIFY(task->subTasks.isEmpty());
    QCOMPARE(m_good->totalRequests(), 0);
}

void tst_DownloadFileListTaskSpecification::badFileDropsMirrorAndComesFromAnother()
{
    m_files = {spec(QStringLiteral("lib/a.so")), spec(QStringLiteral("b"))};
    serve(*m_good, m_files);
    serve(*m_bad, m_files);
    // The bad mirror (listed first, so chosen first) serves a corrupt a.so.
    m_bad->setResponse(QStringLiteral("/7/bin/lib/a.so"), Response::ok("corrupt"));
    m_configuration->downloadStreams = 1;
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad")), mirrorOn(*m_good, QStringLiteral("good"))};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);

    QVERIFY2(finished.count() == 1, qPrintable(SpyTexts::of(messages).join(QLatin1Char('\n'))));
    const QStringList log = SpyTexts::of(messages);
    const qsizetype failedAt =
        log.indexOf(QStringLiteral("Signature check failed for %1").arg(local(QStringLiteral("lib/a.so"))));
    QVERIFY2(failedAt >= 0, qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(log.at(failedAt + 1),
             QStringLiteral("md5 sum for lib/a.so failed, invalidating mirror and retrying"));
    QCOMPARE(m_pool->mirrors.size(), 1);
    QCOMPARE(m_pool->mirrors.first().name, QStringLiteral("good"));
    QCOMPARE(FileBytes::read(local(QStringLiteral("lib/a.so"))), content(QStringLiteral("lib/a.so")));
    QCOMPARE(FileBytes::read(local(QStringLiteral("b"))), content(QStringLiteral("b")));
    QCOMPARE(m_bad->requestCount(QStringLiteral("/7/bin/b")), 0);
}

void tst_DownloadFileListTaskSpecification::fileBadOnEveryMirrorEndsInError()
{
    m_files = {spec(QStringLiteral("a"))};
    m_good->setResponse(QStringLiteral("/7/bin/a"), Response::ok("corrupt"));
    m_bad->setResponse(QStringLiteral("/7/bin/a"), Response::ok("corrupt too"));
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad")), mirrorOn(*m_good, QStringLiteral("good"))};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    // Each failed check discards its attempt; whatever those attempts still do must not end the
    // list a second time.
    QList<QPointer<TaskSpecification>> discarded;
    connect(task, &TaskSpecification::message, task, [&](const QString& text) {
        if (text.startsWith(QLatin1String("Signature check failed for")))
            watchSubTasks(static_cast<ComposedTaskSpecification*>(task->subTasks.first()), discarded);
    });
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(discarded.size(), 4);
    QTRY_VERIFY2(allDestroyed(discarded), "a discarded attempt is still there");
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(task->state, StateErrorCanceled);
    QVERIFY(m_pool->mirrors.isEmpty());
    QCOMPARE(m_bad->requestCount(QStringLiteral("/7/bin/a")), 1);
    QCOMPARE(m_good->requestCount(QStringLiteral("/7/bin/a")), 1);
}

void tst_DownloadFileListTaskSpecification::emptyMd5NeverPasses()
{
    // An empty checksum selects the signature check, which finds no ".sig".
    FileDownloadSpecification file = spec(QStringLiteral("a"));
    file.md5.clear();
    m_files = {file};
    serve(*m_good, m_files);
    serve(*m_bad, m_files);
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad")), mirrorOn(*m_good, QStringLiteral("good"))};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task->state, StateErrorCanceled);
    QVERIFY(m_pool->mirrors.isEmpty());
}

void tst_DownloadFileListTaskSpecification::gzipLabelledFileArrivesAsStored()
{
    // Many servers label stored .gz files "Content-Encoding: gzip". The planned MD5 is that of the
    // stored bytes, so they must reach the disk as stored, not unpacked on the way.
    const QByteArray packed = GzipBytes::pack(content(QStringLiteral("data.pak")));
    QVERIFY2(!packed.isEmpty(), "gzip failed");
    m_files = {{QStringLiteral("bin"), QStringLiteral("data.pak.gz"), md5(packed), quint64(packed.size())}};
    QByteArray acceptEncoding = "(no request)";
    m_good->setHandler(QStringLiteral("/7/bin/data.pak.gz"), [&](const TestHttpServer::Request& request) {
        acceptEncoding = request.header("Accept-Encoding");
        return Response::ok(packed).withHeader("Content-Encoding", "gzip");
    });
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);

    QVERIFY2(finished.count() == 1, qPrintable(SpyTexts::of(messages).join(QLatin1Char('\n'))));
    QCOMPARE(acceptEncoding, QByteArray("identity"));
    QCOMPARE(FileBytes::read(local(QStringLiteral("data.pak.gz"))), packed);
    QCOMPARE(m_pool->mirrors.size(), 1);
    QCOMPARE(m_good->requestCount(QStringLiteral("/7/bin/data.pak.gz")), 1);
}

void tst_DownloadFileListTaskSpecification::localFileGoneBeforeCheckKeepsMirror()
{
    // The downloaded file disappears between its transfer and its check (the temporary folder was
    // cleaned up). The check fails, but the mirror served the file correctly: it stays in the
    // pool, and the list ends with the local error instead of fetching the file from mirror after
    // mirror.
    m_files = {spec(QStringLiteral("lib/a.so"))};
    serve(*m_good, m_files);
    serve(*m_bad, m_files);
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good")), mirrorOn(*m_bad, QStringLiteral("other"))};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy errors(task, &TaskSpecification::error);
    QSignalSpy messages(task, &TaskSpecification::message);
    const QString path = local(QStringLiteral("lib/a.so"));
    connect(task, &TaskSpecification::message, task, [&](const QString& text) {
        if (text == QLatin1String("Downloading bin/lib/a.so finished"))
            QVERIFY(QDir(local(QStringLiteral("lib"))).removeRecursively());
    });
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(
        SpyTexts::of(errors),
        QStringList({QStringLiteral("File %1 was removed or replaced while it was downloaded").arg(path)}));
    QVERIFY2(!SpyTexts::of(messages).contains(
                 QStringLiteral("md5 sum for lib/a.so failed, invalidating mirror and retrying")),
             qPrintable(SpyTexts::of(messages).join(QLatin1Char('\n'))));
    QCOMPARE(m_pool->mirrors.size(), 2);
    QCOMPARE(m_good->totalRequests() + m_bad->totalRequests(), 1);
}

void tst_DownloadFileListTaskSpecification::oneStreamFetchesInListOrder()
{
    m_configuration->downloadStreams = 1;
    m_files = {spec(QStringLiteral("z")), spec(QStringLiteral("lib/m")), spec(QStringLiteral("a"))};
    serve(*m_good, m_files);
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"), 8)};
    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(m_good->requestLog(), QStringList({"/7/bin/z", "/7/bin/lib/m", "/7/bin/a"}));
}

void tst_DownloadFileListTaskSpecification::reportsPlannedTotalBeforeTransfers()
{
    m_configuration->downloadStreams = 1;
    m_files = {spec(QStringLiteral("a")), spec(QStringLiteral("bb")), spec(QStringLiteral("ccc"))};
    qint64 sum = 0;
    for (const FileDownloadSpecification& file : std::as_const(m_files))
        sum += qint64(file.size);
    // The first file stalls, so the others have not even started when the figures are read.
    serve(*m_good, m_files);
    m_good->setResponse(QStringLiteral("/7/bin/a"),
                        Response::ok(content(QStringLiteral("a"))).stallAfter(10));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"), 8)};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy stalled(m_good.get(), &TestHttpServer::responseStalled);
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QCOMPARE(task->totalBytes, sum);
    QVERIFY(stalled.wait());
    // Every tick counts towards the stall time-out, so tick once, after the bytes have arrived.
    auto* first = static_cast<DownloadFileTaskSpecification*>(task->subTasks.first());
    QTRY_VERIFY(first->downloadTask && first->downloadTask->bytesDone == 10);
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(10));
    QCOMPARE(total, quint64(sum));
    QCOMPARE(speed, quint64(10));
    QVERIFY(downloading);

    m_good->resumeStalled();
    QTRY_COMPARE(finished.count(), 1);
    task->reset();
    QCOMPARE(task->totalBytes, 0);
}

void tst_DownloadFileListTaskSpecification::userCancelDuringFailingCheckEndsCancelled()
{
    m_files = {spec(QStringLiteral("a"))};
    serve(*m_good, m_files);
    m_bad->setResponse(QStringLiteral("/7/bin/a"), Response::ok("corrupt"));
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad")), mirrorOn(*m_good, QStringLiteral("good"))};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    // The user cancels while the check of the corrupt file runs: its failure report is the last
    // moment before the retry would start. The file must not be fetched again, nor pass as done.
    auto* file = static_cast<ComposedTaskSpecification*>(task->subTasks.first());
    QList<QPointer<TaskSpecification>> discarded;
    connect(task, &TaskSpecification::message, task, [&](const QString& text) {
        if (!text.startsWith(QLatin1String("Signature check failed for")))
            return;
        watchSubTasks(file, discarded);
        task->userCanceled();
    });
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    // No new attempt was made, and the discarded one is gone, its check's own end included.
    QVERIFY(file->subTasks.isEmpty());
    QCOMPARE(discarded.size(), 2);
    QTRY_VERIFY2(allDestroyed(discarded), "the discarded attempt is still there");
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(task->state, StateUserCanceled);
    QCOMPARE(m_good->requestCount(QStringLiteral("/7/bin/a")), 0);
}

void tst_DownloadFileListTaskSpecification::siblingErrorDuringFailingCheckStopsRetry()
{
    // a comes corrupt from the bad mirror; b is still in transfer there. The moment a's check
    // fails, b's transfer ends in error, so the list tells a to stop: a must not start another
    // transfer of its file on the good mirror, which would hold the failed list up for a whole
    // download.
    m_files = {spec(QStringLiteral("a")), spec(QStringLiteral("b"))};
    serve(*m_good, m_files);
    m_bad->setResponse(QStringLiteral("/7/bin/a"), Response::ok("corrupt"));
    m_bad->setResponse(QStringLiteral("/7/bin/b"), Response::ok(content(QStringLiteral("b"))).stallAfter(10));
    m_configuration->downloadStreams = 2;
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad")), mirrorOn(*m_good, QStringLiteral("good"))};

    DownloadFileListTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    const QString failure = QStringLiteral("Signature check failed for %1").arg(local(QStringLiteral("a")));
    QList<QPointer<TaskSpecification>> discarded;
    connect(task, &TaskSpecification::message, task, [&](const QString& text) {
        if (text != failure)
            return;
        watchSubTasks(static_cast<ComposedTaskSpecification*>(task->subTasks.at(0)), discarded);
        auto* b = static_cast<DownloadFileTaskSpecification*>(task->subTasks.at(1));
        QVERIFY(b->downloadTask && b->state == StateRunning);
        // Stands for any error of b's transfer; the list hears of it as it would of a real one.
        b->downloadTask->handleOtherTaskCancelled(nullptr);
    });
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    // a made no new attempt, and its discarded one is gone.
    QVERIFY(static_cast<ComposedTaskSpecification*>(task->subTasks.at(0))->subTasks.isEmpty());
    QCOMPARE(discarded.size(), 2);
    QTRY_VERIFY2(allDestroyed(discarded), "the discarded attempt is still there");

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(task->subTasks.at(0)->state, StateErrorCanceled);
    QCOMPARE(m_good->requestCount(QStringLiteral("/7/bin/a")), 0);
    QCOMPARE(m_pool->mirrors.size(), 1);
}

QTEST_GUILESS_MAIN(tst_DownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"

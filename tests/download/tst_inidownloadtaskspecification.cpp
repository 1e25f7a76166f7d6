// The product ini download against scripted mirrors: which files are fetched, the weights of one
// attempt, retries after a failed verification and their limit.

#include "CheckSignatureTaskSpecification.h"
#include "Configuration.h"
#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "DownloadTaskSpecification.h"
#include "FileBytes.h"
#include "IniDownloadTaskSpecification.h"
#include "Mirrors.h"
#include "RsaKey.h"
#include "ScriptedRandomGenerator.h"
#include "SpyTexts.h"
#include "TestHttpServer.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using Response = TestHttpServer::Response;
Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {
const QString iniPath = QStringLiteral("/7/Kelvaro3.ini");
const QString sigPath = QStringLiteral("/7/Kelvaro3.ini.sig");

QByteArray signature(const QByteArray& data)
{
    const QByteArray der = FileBytes::read(QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der"));
    RsaKey pair;
    load_key(pair.get(), reinterpret_cast<const unsigned char*>(der.constData()), der.size());
    pair.setLoaded();
    const auto sig =
        sign_msg(pair.get(), reinterpret_cast<const unsigned char*>(data.constData()), data.size());
    return QByteArray(reinterpret_cast<const char*>(sig.data()), int(sig.size()));
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

// `ini` with a comment line appended that makes it exactly `size` bytes long.
QByteArray paddedTo(const QByteArray& ini, qint64 size)
{
    const qint64 padding = size - ini.size() - 2;
    return ini + ';' + QByteArray(int(padding), 'p') + '\n';
}

} // namespace

class tst_IniDownloadTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void reusesLocalFilesOnFirstAttempt_data();
    void reusesLocalFilesOnFirstAttempt();
    void localPairThatDoesNotVerifyIsFetchedAgain();
    void badSignatureRetriesOnAnotherMirror();
    void givesUpAfterThousandAndOneFailures();
    void userCancelDuringFailingCheckEndsCancelled();
    void transferErrorEndsInError();
    void resetClearsFailureCount();
    void refusesAnotherRelease_data();
    void refusesAnotherRelease();
    void localIniOfAnotherReleaseIsFetchedAgain();
    void capsBodies_data();
    void capsBodies();

private:
    FTPSiteAccessData mirrorOn(TestHttpServer& server, const QString& name) const;
    IniDownloadTaskSpecification* makeTask();
    QString local(const QString& name) const { return m_temp->filePath(name); }

    QByteArray m_ini;
    QByteArray m_sig;
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<ScriptedRandomGenerator> m_random;
    std::unique_ptr<Mirrors> m_pool;
    std::unique_ptr<TestHttpServer> m_good;
    std::unique_ptr<TestHttpServer> m_bad;
    std::unique_ptr<Configuration> m_configuration;
    std::unique_ptr<QObject> m_tasks;
};

void tst_IniDownloadTaskSpecification::initTestCase()
{
    crypt_init();
    m_ini = "[bin]\nkv3client_linux_amd64=0123456789abcdef0123456789abcdef::42\n";
    m_sig = signature(m_ini);
    QCOMPARE(m_sig.size(), 128);
}

void tst_IniDownloadTaskSpecification::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temp->isValid());
    m_manager = std::make_unique<QNetworkAccessManager>();
    m_random = std::make_unique<ScriptedRandomGenerator>(QList<quint32> {0u});
    m_pool = std::make_unique<Mirrors>(nullptr, m_random.get());
    m_good = std::make_unique<TestHttpServer>();
    m_bad = std::make_unique<TestHttpServer>();
    QVERIFY2(m_good->listen(), qPrintable(m_good->errorString()));
    QVERIFY2(m_bad->listen(), qPrintable(m_bad->errorString()));
    m_good->setResponse(iniPath, Response::ok(m_ini));
    m_good->setResponse(sigPath, Response::ok(m_sig));
    // The bad mirror serves an ini altered after signing, with the genuine signature.
    QByteArray altered = m_ini;
    altered.replace("::42", "::43");
    m_bad->setResponse(iniPath, Response::ok(altered));
    m_bad->setResponse(sigPath, Response::ok(m_sig));
    m_configuration = std::make_unique<Configuration>();
    m_configuration->clientType = QStringLiteral("Kelvaro3");
    m_configuration->clientVersion = 7;
    m_configuration->tempDir = m_temp->path();
    m_tasks = std::make_unique<QObject>();
}

void tst_IniDownloadTaskSpecification::cleanup()
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

FTPSiteAccessData tst_IniDownloadTaskSpecification::mirrorOn(TestHttpServer& server,
                                                             const QString& name) const
{
    FTPSiteAccessData mirror;
    mirror.name = name;
    mirror.url = server.baseUrl() + QStringLiteral("/7");
    mirror.maxUse = 1;
    mirror.retries = 2;
    return mirror;
}

IniDownloadTaskSpecification* tst_IniDownloadTaskSpecification::makeTask()
{
    return new IniDownloadTaskSpecification(m_manager.get(), m_pool.get(), m_configuration.get(),
                                            m_tasks.get(), 0.1);
}

void tst_IniDownloadTaskSpecification::reusesLocalFilesOnFirstAttempt_data()
{
    QTest::addColumn<bool>("iniPresent");
    QTest::addColumn<bool>("sigPresent");
    QTest::addColumn<QList<double>>("weights"); // of the sub-tasks, in order; the check last

    QTest::newRow("empty temporary directory") << false << false << QList<double> {0.3333, 0.3333, 0.3334};
    QTest::newRow("ini present") << true << false << QList<double> {0.3333, 0.6667};
    QTest::newRow("signature present") << false << true << QList<double> {0.3333, 0.6667};
    QTest::newRow("both present") << true << true << QList<double> {1.0};
}

void tst_IniDownloadTaskSpecification::reusesLocalFilesOnFirstAttempt()
{
    QFETCH(bool, iniPresent);
    QFETCH(bool, sigPresent);
    QFETCH(QList<double>, weights);

    if (iniPresent)
        QVERIFY(FileBytes::write(local(QStringLiteral("Kelvaro3.ini")), m_ini));
    if (sigPresent)
        QVERIFY(FileBytes::write(local(QStringLiteral("Kelvaro3.ini.sig")), m_sig));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};

    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();

    QList<double> actual;
    for (TaskSpecification* sub : std::as_const(task->subTasks))
        actual.append(sub->parentProgressRange);
    QCOMPARE(actual.size(), weights.size());
    for (int i = 0; i < weights.size(); ++i)
        QVERIFY2(qAbs(actual.at(i) - weights.at(i)) < 1e-9,
                 qPrintable(QStringLiteral("sub-task %1 weighs %2").arg(i).arg(actual.at(i))));
    QVERIFY(qobject_cast<CheckSignatureTaskSpecification*>(task->subTasks.last()));

    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QVERIFY2(finished.count() == 1, qPrintable(SpyTexts::of(messages).join(QLatin1Char('\n'))));
    QCOMPARE(task->state, StateFinished);
    QCOMPARE(SpyTexts::of(messages).first(), QStringLiteral("Download / check product ini"));
    QCOMPARE(m_good->requestCount(iniPath), iniPresent ? 0 : 1);
    QCOMPARE(m_good->requestCount(sigPath), sigPresent ? 0 : 1);
    QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini"))), m_ini);
    QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini.sig"))), m_sig);
    QCOMPARE(task->progress, 0.1);
}

void tst_IniDownloadTaskSpecification::localPairThatDoesNotVerifyIsFetchedAgain()
{
    // Left by an interrupted run: an ini that its signature does not cover.
    QVERIFY(FileBytes::write(local(QStringLiteral("Kelvaro3.ini")), m_ini + "tampered=1\n"));
    QVERIFY(FileBytes::write(local(QStringLiteral("Kelvaro3.ini.sig")), m_sig));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};

    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);

    QVERIFY2(finished.count() == 1, qPrintable(SpyTexts::of(messages).join(QLatin1Char('\n'))));
    QCOMPARE(task->checkFailures, 1);
    QVERIFY(
        SpyTexts::of(messages).contains(QStringLiteral("Could not verify the product ini file. Retrying")));
    QCOMPARE(m_good->requestCount(iniPath), 1);
    QCOMPARE(m_good->requestCount(sigPath), 1);
    QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini"))), m_ini);
}

void tst_IniDownloadTaskSpecification::badSignatureRetriesOnAnotherMirror()
{
    // The first draws pick the bad mirror (listed first), the later ones the good one. A failed
    // verification does not count against the mirror.
    m_random = std::make_unique<ScriptedRandomGenerator>(QList<quint32> {0u, 0u, 1u});
    m_pool = std::make_unique<Mirrors>(nullptr, m_random.get());
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad")), mirrorOn(*m_good, QStringLiteral("good"))};

    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);

    QVERIFY2(finished.count() == 1, qPrintable(SpyTexts::of(messages).join(QLatin1Char('\n'))));
    const QStringList log = SpyTexts::of(messages);
    const qsizetype failedAt = log.indexOf(
        QStringLiteral("Signature check failed for %1").arg(local(QStringLiteral("Kelvaro3.ini"))));
    QVERIFY2(failedAt >= 0, qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(log.at(failedAt + 1), QStringLiteral("Could not verify the product ini file. Retrying"));
    QCOMPARE(m_bad->requestCount(iniPath), 1);
    QCOMPARE(m_good->requestCount(iniPath), 1);
    QCOMPARE(m_pool->mirrors.size(), 2);
    QCOMPARE(m_pool->mirrors.first().errors, 0);
    QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini"))), m_ini);
}

void tst_IniDownloadTaskSpecification::givesUpAfterThousandAndOneFailures()
{
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad"))};
    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    // Every failed check's attempt is discarded; whatever it still does must not end the task a
    // second time.
    QList<QPointer<TaskSpecification>> discarded;
    connect(task, &TaskSpecification::message, task, [&](const QString& text) {
        if (text.startsWith(QLatin1String("Signature check failed for")))
            watchSubTasks(task, discarded);
    });
    // Started as if 995 verifications of this execution had already failed (a full run of a
    // thousand attempts takes most of a minute): the 996th to 1000th failures retry, the 1001st
    // gives up.
    task->checkFailures = 995;
    task->execute();
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() + canceled.count() > 0, 60000);
    QVERIFY(task->subTasks.isEmpty());
    QCOMPARE(discarded.size(), 6 * 3);
    QTRY_VERIFY2(allDestroyed(discarded), "a discarded attempt is still there");

    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(task->checkFailures, 1001);
    const QStringList log = SpyTexts::of(messages);
    QCOMPARE(log.count(QStringLiteral("Could not verify the product ini file. Retrying")), 5);
    QCOMPARE(log.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
    QCOMPARE(m_bad->requestCount(iniPath), 6);
    QCOMPARE(m_bad->requestCount(sigPath), 6);
}

void tst_IniDownloadTaskSpecification::userCancelDuringFailingCheckEndsCancelled()
{
    m_pool->mirrors = {mirrorOn(*m_bad, QStringLiteral("bad"))};
    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    // The user cancels while the first check runs: its failure report is the last moment before
    // the retry would start.
    QList<QPointer<TaskSpecification>> discarded;
    connect(task, &TaskSpecification::message, task, [&](const QString& text) {
        if (!text.startsWith(QLatin1String("Signature check failed for")))
            return;
        watchSubTasks(task, discarded);
        task->userCanceled();
    });
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    // No new attempt was made, and the discarded one is gone, its check's own end included.
    QVERIFY(task->subTasks.isEmpty());
    QCOMPARE(discarded.size(), 3);
    QTRY_VERIFY2(allDestroyed(discarded), "the discarded attempt is still there");

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task->state, StateUserCanceled);
    QCOMPARE(m_bad->requestCount(iniPath), 1);
}

void tst_IniDownloadTaskSpecification::transferErrorEndsInError()
{
    m_good->setResponse(sigPath, Response::error(404));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task->state, StateErrorCanceled);
    QCOMPARE(task->checkFailures, 0);
}

void tst_IniDownloadTaskSpecification::resetClearsFailureCount()
{
    QVERIFY(FileBytes::write(local(QStringLiteral("Kelvaro3.ini")), m_ini + "x"));
    QVERIFY(FileBytes::write(local(QStringLiteral("Kelvaro3.ini.sig")), m_sig));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};
    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task->checkFailures, 1);

    // A new execution trusts the (now valid) local files again: no request.
    task->reset();
    QCOMPARE(task->checkFailures, 0);
    QCOMPARE(task->subTasks.size(), 0);
    task->execute();
    QCOMPARE(task->subTasks.size(), 1);
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(m_good->requestCount(iniPath), 1);
}

void tst_IniDownloadTaskSpecification::refusesAnotherRelease_data()
{
    QTest::addColumn<QByteArray>("head"); // above the first section of the ini that "other" serves
    QTest::addColumn<QString>("refusal"); // empty when that ini is accepted

    const QString refusal = QStringLiteral("Product ini on mirror other is for %1, not Kelvaro3 version 7");
    QTest::newRow("no name: accepted as ever") << QByteArray() << QString();
    QTest::newRow("this release") << QByteArray("type=Kelvaro3\nversion=7\n\n") << QString();
    QTest::newRow("older version") << QByteArray("type=Kelvaro3\nversion=6\n\n")
                                   << refusal.arg(QStringLiteral("Kelvaro3 version 6"));
    QTest::newRow("newer version") << QByteArray("type=Kelvaro3\nversion=8\n")
                                   << refusal.arg(QStringLiteral("Kelvaro3 version 8"));
    QTest::newRow("other client type") << QByteArray("type=Kelvaro3_x86\nversion=7\n")
                                       << refusal.arg(QStringLiteral("Kelvaro3_x86 version 7"));
    QTest::newRow("version only") << QByteArray("version=6\n")
                                  << refusal.arg(QStringLiteral("(no type) version 6"));
    QTest::newRow("type only") << QByteArray("type=Kelvaro3\n")
                               << refusal.arg(QStringLiteral("Kelvaro3 version (none)"));
    QTest::newRow("version not a number")
        << QByteArray("type=Kelvaro3\nversion=7a\n") << refusal.arg(QStringLiteral("Kelvaro3 version 7a"));
    QTest::newRow("in a General section") << QByteArray("[General]\ntype=Kelvaro3\nversion=5\n")
                                          << refusal.arg(QStringLiteral("Kelvaro3 version 5"));
}

void tst_IniDownloadTaskSpecification::refusesAnotherRelease()
{
    QFETCH(QByteArray, head);
    QFETCH(QString, refusal);

    // "other" serves a genuinely signed ini under version 7's path; the good mirror this release's.
    const QByteArray named = "type=Kelvaro3\nversion=7\n\n" + m_ini;
    m_good->setResponse(iniPath, Response::ok(named));
    m_good->setResponse(sigPath, Response::ok(signature(named)));
    const QByteArray otherIni = head + m_ini;
    TestHttpServer other;
    QVERIFY2(other.listen(), qPrintable(other.errorString()));
    other.setResponse(iniPath, Response::ok(otherIni));
    other.setResponse(sigPath, Response::ok(signature(otherIni)));
    m_pool->mirrors = {mirrorOn(other, QStringLiteral("other")), mirrorOn(*m_good, QStringLiteral("good"))};

    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    const QStringList log = SpyTexts::of(messages);
    QVERIFY2(finished.count() == 1, qPrintable(log.join(QLatin1Char('\n'))));

    if (refusal.isEmpty()) {
        QCOMPARE(task->checkFailures, 0);
        QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini"))), otherIni);
        QCOMPARE(m_pool->mirrors.size(), 2);
        return;
    }
    // Refused like a bad signature, retried, and the mirror that served it is gone from the pool.
    const qsizetype refusedAt = log.indexOf(refusal);
    QVERIFY2(refusedAt >= 0, qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(log.at(refusedAt + 1), QStringLiteral("Could not verify the product ini file. Retrying"));
    QCOMPARE(task->checkFailures, 1);
    QCOMPARE(m_pool->mirrors.size(), 1);
    QCOMPARE(m_pool->mirrors.first().name, QStringLiteral("good"));
    QCOMPARE(other.requestCount(iniPath), 1);
    QCOMPARE(m_good->requestCount(iniPath), 1);
    QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini"))), named);
}

void tst_IniDownloadTaskSpecification::localIniOfAnotherReleaseIsFetchedAgain()
{
    // Left by an interrupted run of another version (or planted there): signed, but not this run's.
    const QByteArray older = "type=Kelvaro3\nversion=6\n" + m_ini;
    QVERIFY(FileBytes::write(local(QStringLiteral("Kelvaro3.ini")), older));
    QVERIFY(FileBytes::write(local(QStringLiteral("Kelvaro3.ini.sig")), signature(older)));
    m_pool->mirrors = {mirrorOn(*m_good, QStringLiteral("good"))};

    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    const QStringList log = SpyTexts::of(messages);
    QVERIFY2(finished.count() == 1, qPrintable(log.join(QLatin1Char('\n'))));
    QVERIFY2(log.contains(QStringLiteral("Product ini %1 is for Kelvaro3 version 6, not Kelvaro3 version 7")
                              .arg(local(QStringLiteral("Kelvaro3.ini")))),
             qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(m_pool->mirrors.size(), 1);
    QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini"))), m_ini);
}

void tst_IniDownloadTaskSpecification::capsBodies_data()
{
    QTest::addColumn<QString>("path"); // the file that the "big" mirror serves in the row's way
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("tooLarge");

    const qint64 iniCap = IniDownloadTaskSpecification::iniSizeLimit;
    const qint64 sigCap = IniDownloadTaskSpecification::sigSizeLimit;
    QCOMPARE(iniCap, qint64(16 * 1024 * 1024));
    QCOMPARE(sigCap, qint64(64 * 1024));
    const QByteArray iniAtCap = paddedTo(m_ini, iniCap);
    const QByteArray iniOverCap = paddedTo(m_ini, iniCap + 1);
    // Both signed: only the size can be against them.
    QTest::newRow("ini of exactly the cap") << iniPath << Response::ok(iniAtCap) << false;
    QTest::newRow("ini one byte over") << iniPath << Response::ok(iniOverCap) << true;
    QTest::newRow("ini one byte over, no length")
        << iniPath << Response::ok(iniOverCap).withoutContentLength() << true;
    QTest::newRow("ini without end") << iniPath << Response::endless() << true;
    QTest::newRow("signature of exactly the cap")
        << sigPath << Response::ok(QByteArray(int(sigCap), 's')) << false;
    QTest::newRow("signature one byte over")
        << sigPath << Response::ok(QByteArray(int(sigCap) + 1, 's')) << true;
    QTest::newRow("signature without end") << sigPath << Response::endless() << true;
}

void tst_IniDownloadTaskSpecification::capsBodies()
{
    QFETCH(QString, path);
    QFETCH(Response, response);
    QFETCH(bool, tooLarge);

    TestHttpServer big;
    QVERIFY2(big.listen(), qPrintable(big.errorString()));
    big.setResponse(iniPath, Response::ok(m_ini));
    big.setResponse(sigPath, Response::ok(m_sig));
    big.setResponse(path, response);
    if (path == iniPath && !tooLarge)
        big.setResponse(sigPath, Response::ok(signature(response.body)));
    // The first two draws pick "big" (listed first), the later ones the good mirror.
    m_random = std::make_unique<ScriptedRandomGenerator>(QList<quint32> {0u, 0u, 1u});
    m_pool = std::make_unique<Mirrors>(nullptr, m_random.get());
    m_pool->mirrors = {mirrorOn(big, QStringLiteral("big")), mirrorOn(*m_good, QStringLiteral("good"))};
    m_pool->mirrors.first().retries = 5;

    IniDownloadTaskSpecification* task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count() + canceled.count(), 1, 30000);
    const QStringList log = SpyTexts::of(messages);
    QVERIFY2(finished.count() == 1, qPrintable(log.join(QLatin1Char('\n'))));

    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const QString refusal = QStringLiteral("file %1 is larger than expected on mirror big").arg(name);
    QCOMPARE(log.contains(refusal), tooLarge);
    if (tooLarge) {
        // A failed attempt charged to the mirror; the file came from the good one.
        QVERIFY(m_pool->mirrors.first().errors >= 1);
        QCOMPARE(m_good->requestCount(path), 1);
        QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini"))), m_ini);
        QCOMPARE(FileBytes::read(local(QStringLiteral("Kelvaro3.ini.sig"))), m_sig);
    } else if (path == iniPath) {
        // Accepted whole and verified.
        QCOMPARE(task->checkFailures, 0);
        QCOMPARE(QFileInfo(local(QStringLiteral("Kelvaro3.ini"))).size(),
                 IniDownloadTaskSpecification::iniSizeLimit);
    } else {
        // Accepted whole, then refused by the signature check, not by its size.
        QCOMPARE(m_pool->mirrors.first().errors, 0);
        QVERIFY(log.contains(QStringLiteral("Downloading Kelvaro3.ini.sig finished")));
        QCOMPARE(task->checkFailures, 1);
    }
}

QTEST_GUILESS_MAIN(tst_IniDownloadTaskSpecification)
#include "tst_inidownloadtaskspecification.moc"

// The real `update` binary in a scratch installation of version 1, against nginx, the reference
// version service and a real HTTP proxy: unattended updates, the version asked of the service
// for the configured channel, a second run that is up to date, and an update through a proxy.

#include "FileBytes.h"
#include "NginxMirror.h"
#include "UpdateScenario.h"
#include "UpdateServiceProcess.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

namespace {
constexpr int runTimeoutMs = 120000;
const QStringList toVersion2 = {QStringLiteral("--nouser"), QStringLiteral("Kelvaro3"), QStringLiteral("2")};

// GET requests of nginx's access log lines, as "METHOD PATH STATUS".
QStringList requests(const QStringList& log)
{
    QStringList result;
    for (const QString& line : log) {
        const qsizetype open = line.indexOf(QLatin1Char('"'));
        const qsizetype close = line.indexOf(QLatin1Char('"'), open + 1);
        const QStringList request = line.mid(open + 1, close - open - 1).split(QLatin1Char(' '));
        const QString status = line.mid(close + 2).section(QLatin1Char(' '), 0, 0);
        result << request.value(0) + QLatin1Char(' ') + request.value(1) + QLatin1Char(' ') + status;
    }
    return result;
}

QString explain(const UpdateScenario::Run& run)
{
    return QStringLiteral("exit %1%2%3\n%4")
        .arg(run.exitCode)
        .arg(run.timedOut ? QStringLiteral(" (timed out)") : QString())
        .arg(run.killed ? QStringLiteral(" (killed)") : QString())
        .arg(run.log.right(6000));
}
} // namespace

class tst_E2eUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void unattendedUpdateThenUpToDate();
    void versionFromTheService_data();
    void versionFromTheService();
    void throughAnHttpProxy();
};

void tst_E2eUpdate::initTestCase()
{
    if (NginxMirror::executable().isEmpty())
        QSKIP("nginx is not installed (scripts/install-deps.sh)");
}

void tst_E2eUpdate::unattendedUpdateThenUpToDate()
{
    UpdateScenario scenario;
    QString error;
    QVERIFY2(scenario.setUp({}, &error), qPrintable(error));
    NginxMirror nginx(scenario.mirrorRoot());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    QVERIFY(scenario.writeMirrorsIni(nginx.baseUrl()));

    const UpdateScenario::Run first = scenario.run(toVersion2, runTimeoutMs);
    QVERIFY2(first.exitCode == 0, qPrintable(explain(first)));
    QVERIFY2(first.log.contains(QStringLiteral("Update successfully finished")), qPrintable(explain(first)));
    const QString differences = scenario.differencesFrom(scenario.newTree());
    QVERIFY2(differences.isEmpty(), qPrintable(differences + QLatin1Char('\n') + explain(first)));
    QVERIFY2(scenario.leftovers().isEmpty(), qPrintable(scenario.leftovers().join(QLatin1Char('\n'))));
    // After the update the updater starts the client through its start script, detached.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(scenario.clientStartedMark()), 10000);

    // Right after, everything is in place: only the product ini and its signature are fetched.
    const qsizetype before = nginx.accessLog().size();
    const UpdateScenario::Run second = scenario.run(toVersion2, runTimeoutMs);
    QVERIFY2(second.exitCode == 0, qPrintable(explain(second)));
    const QStringList secondRequests = requests(nginx.accessLog().mid(before));
    QCOMPARE(secondRequests,
             QStringList(
                 {QStringLiteral("GET /2/Kelvaro3.ini 200"), QStringLiteral("GET /2/Kelvaro3.ini.sig 200")}));
    QVERIFY2(scenario.differencesFrom(scenario.newTree()).isEmpty(),
             "the second run changed the installation");
    QVERIFY2(scenario.leftovers().isEmpty(), qPrintable(scenario.leftovers().join(QLatin1Char('\n'))));
}

void tst_E2eUpdate::versionFromTheService_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<int>("expectedVersion");
    QTest::newRow("Beta channel through update.ini") << QByteArray("[Channel]\nbeta=true\n") << 2;
    QTest::newRow("Stable channel: already the newest") << QByteArray() << 1;
}

void tst_E2eUpdate::versionFromTheService()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(int, expectedVersion);
    UpdateScenario scenario;
    QString error;
    // Without a client type on the command line the updater uses its default one.
    UpdateScenario::Options options;
    options.clientType = QStringLiteral("client_linux_x86");
    QVERIFY2(scenario.setUp(options, &error), qPrintable(error));
    // A banner picture on the mirror, for the banner the service names.
    QVERIFY(FileBytes::write(scenario.mirrorRoot() + QStringLiteral("/banner.png"),
                             FileBytes::read(QStringLiteral(KV3_SOURCE_DIR "/keys/demo/README.md"))));
    NginxMirror nginx(scenario.mirrorRoot());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    QVERIFY(scenario.writeMirrorsIni(nginx.baseUrl()));
    QVERIFY(scenario.writeUpdateIni(updateIni));

    // The updater asks the compiled-in host on the protocol's fixed ports (a CTest resource lock
    // keeps other users of these ports away).
    const QString config = scenario.scratch(QStringLiteral("service.ini"));
    QVERIFY(FileBytes::write(config,
                             "[news]\ntext = \"Version 2 is out\"\n"
                             "[banner]\npicture = "
                                 + nginx.baseUrl().toUtf8()
                                 + "/banner.png\n"
                                   "click = https://kelvaro.example/\n"
                                   "[Kelvaro3]\nrequest = 3\nstable = 1\nstable_name = 1.0\n"
                                   "beta = 2\nbeta_name = 2.0 beta\n"));
    UpdateServiceProcess service(QStringLiteral(KV3_SERVICE_EXE), config);
    QVERIFY2(service.start(QStringLiteral("127.0.0.1"), 17384, 2009), qPrintable(service.errorString()));

    // No client type or version on the command line: the version comes from the service.
    const UpdateScenario::Run run = scenario.run({QStringLiteral("--nouser")}, runTimeoutMs);
    QVERIFY2(run.exitCode == 0, qPrintable(explain(run) + service.log()));
    QTRY_VERIFY2(service.log().contains(QStringLiteral("news 127.0.0.1:")), qPrintable(service.log()));
    QVERIFY2(service.log().contains(QStringLiteral("(Kelvaro3): answered")), qPrintable(service.log()));
    const QString differences =
        scenario.differencesFrom(expectedVersion == 2 ? scenario.newTree() : scenario.oldTree());
    QVERIFY2(differences.isEmpty(), qPrintable(differences + QLatin1Char('\n') + explain(run)));
    QVERIFY2(scenario.leftovers().isEmpty(), qPrintable(scenario.leftovers().join(QLatin1Char('\n'))));
    const QStringList fetched = requests(nginx.accessLog());
    QVERIFY2(fetched.contains(QStringLiteral("GET /%1/client_linux_x86.ini.sig 200").arg(expectedVersion)),
             qPrintable(fetched.join(QLatin1Char('\n'))));
    // The banner the service named was fetched from the mirror.
    QVERIFY2(fetched.contains(QStringLiteral("GET /banner.png 200")),
             qPrintable(fetched.join(QLatin1Char('\n'))));
}

void tst_E2eUpdate::throughAnHttpProxy()
{
    const QString tinyproxy = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"));
    if (tinyproxy.isEmpty())
        QSKIP("tinyproxy is not installed (scripts/install-deps.sh)");
    UpdateScenario scenario;
    QString error;
    QVERIFY2(scenario.setUp({}, &error), qPrintable(error));
    // The mirror refuses every request that did not come through the proxy (which adds Via).
    NginxMirror nginx(scenario.mirrorRoot());
    nginx.addServerDirectives(QStringLiteral("if ($http_via = \"\") { return 403; }"));
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    QVERIFY(scenario.writeMirrorsIni(nginx.baseUrl()));

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 proxyPort = probe.serverPort();
    probe.close();
    const QString proxyLog = scenario.scratch(QStringLiteral("tinyproxy.log"));
    const QString proxyConfig = scenario.scratch(QStringLiteral("tinyproxy.conf"));
    // Runs as whoever runs the test, in the foreground, with its own log.
    QVERIFY(FileBytes::write(proxyConfig,
                             QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 60\n"
                                            "Allow 127.0.0.1\nLogFile \"%2\"\nLogLevel Info\n"
                                            "MaxClients 20\n")
                                 .arg(proxyPort)
                                 .arg(proxyLog)
                                 .toUtf8()));
    QProcess proxy;
    proxy.setProcessChannelMode(QProcess::MergedChannels);
    proxy.start(tinyproxy, {QStringLiteral("-d"), QStringLiteral("-c"), proxyConfig});
    QVERIFY(proxy.waitForStarted());
    QTRY_VERIFY2_WITH_TIMEOUT(
        FileBytes::read(proxyLog).contains("Accepting connections") || proxy.state() == QProcess::NotRunning,
        qPrintable(QString::fromUtf8(FileBytes::read(proxyLog) + proxy.readAll())), 10000);
    QVERIFY2(proxy.state() == QProcess::Running, qPrintable(QString::fromUtf8(FileBytes::read(proxyLog))));

    QVERIFY(scenario.writeUpdateIni(
        QStringLiteral("[update]\nproxy=http://127.0.0.1:%1\n").arg(proxyPort).toUtf8()));
    const UpdateScenario::Run run = scenario.run(toVersion2, runTimeoutMs);
    proxy.terminate();
    proxy.waitForFinished(5000);
    QVERIFY2(run.exitCode == 0, qPrintable(explain(run) + QString::fromUtf8(FileBytes::read(proxyLog))));
    QVERIFY2(scenario.differencesFrom(scenario.newTree()).isEmpty(),
             qPrintable(scenario.differencesFrom(scenario.newTree())));
    const QStringList fetched = requests(nginx.accessLog());
    QVERIFY2(!fetched.isEmpty() && fetched.filter(QStringLiteral(" 200")).size() == fetched.size(),
             qPrintable(fetched.join(QLatin1Char('\n'))));
    QVERIFY2(fetched.contains(QStringLiteral("GET /2/files/bin/kv3client 200")),
             qPrintable(fetched.join(QLatin1Char('\n'))));
    const QString proxied = QString::fromUtf8(FileBytes::read(proxyLog));
    QVERIFY2(proxied.contains(QStringLiteral("GET http://127.0.0.1:%1/2/Kelvaro3.ini").arg(nginx.port())),
             qPrintable(proxied));
}

QTEST_GUILESS_MAIN(tst_E2eUpdate)
#include "tst_e2eupdate.moc"

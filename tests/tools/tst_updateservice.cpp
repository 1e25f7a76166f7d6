// kv3-update-service, the real binary: the updater's own version query and the banner request
// against it, requests it must leave unanswered, reloading on SIGHUP, and the configurations it
// refuses.

#include "UpdateChecker.h"
#include "UpdateServiceProcess.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

namespace {
const QString serviceExe = QStringLiteral(KV3_SERVICE_EXE);

const QByteArray goodConfig =
    "[news]\n"
    "text = \"Kelvaro 3.0.12, now with more news <!--https://kelvaro.example/-->\"\n"
    "[banner]\n"
    "picture = http://127.0.0.1:8080/banner.png\n"
    "click = https://kelvaro.example/click?a=1\n"
    "[Kelvaro3]\n"
    "request = 3\n"
    "stable = 3012\n"
    "stable_name = 3.0.12\n"
    "beta = 3013\n"
    "beta_name = 3.0.13 #beta\n"
    "[Other]\n"
    "request = 9\n"
    "stable = 90\n"
    "news = Other news\n";

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// The first datagram that reaches socket within a few seconds; empty when none does.
QByteArray nextReply(QUdpSocket& socket)
{
    if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(5000))
        return QByteArray();
    return socket.receiveDatagram().data();
}
} // namespace

class tst_UpdateService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void updaterQueryGetsTheChannelsEntry_data();
    void updaterQueryGetsTheChannelsEntry();
    void newsOfTheClientTypeAskedAbout();
    void bannerReply();
    void requestsLeftUnanswered_data();
    void requestsLeftUnanswered();
    void repliesPerSenderAreLimited();
    void reloadsOnHangupAndKeepsAGoodConfiguration();
    void refusesABadConfiguration_data();
    void refusesABadConfiguration();
    void helpSaysHowItWorks();

private:
    QString configPath() const { return m_dir.filePath(QStringLiteral("service.ini")); }
    QTemporaryDir m_dir;
};

void tst_UpdateService::init()
{
    QVERIFY2(m_dir.isValid(), qPrintable(m_dir.errorString()));
    QVERIFY(writeFile(configPath(), goodConfig));
}

void tst_UpdateService::updaterQueryGetsTheChannelsEntry_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("name");
    QTest::newRow("stable") << int(Stable) << "3012"
                            << "3.0.12";
    QTest::newRow("beta, a name with #") << int(Beta) << "3013"
                                         << "3.0.13 #beta";
    QTest::newRow("alpha repeats beta") << int(Alpha) << "3013"
                                        << "3.0.13 #beta";
}

void tst_UpdateService::updaterQueryGetsTheChannelsEntry()
{
    QFETCH(int, channel);
    QFETCH(QString, version);
    QFETCH(QString, name);
    UpdateServiceProcess service(serviceExe, configPath());
    QVERIFY2(service.start(), qPrintable(service.errorString()));

    UpdateChecker checker(QStringLiteral("127.0.0.1"), service.versionPort(), 5000);
    QVERIFY2(checker.checkUpdate(), qPrintable(service.log()));
    QCOMPARE(checker.versions.size(), 3);
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel(channel)), qMakePair(version, name));
    QCOMPARE(checker.news,
             QStringLiteral("Kelvaro 3.0.12, now with more news <!--https://kelvaro.example/-->"));
    QTRY_VERIFY2(service.log().contains(QStringLiteral("news 127.0.0.1:")), qPrintable(service.log()));
    QVERIFY2(service.log().contains(QStringLiteral("\"3\\x00\" (Kelvaro3): answered")),
             qPrintable(service.log()));
}

void tst_UpdateService::newsOfTheClientTypeAskedAbout()
{
    UpdateServiceProcess service(serviceExe, configPath());
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    const QHostAddress host = QHostAddress::LocalHost;
    // A news request before any version request gets the general news.
    client.writeDatagram(QByteArray("*\0", 2), host, service.versionPort());
    QCOMPARE(nextReply(client).left(12), QByteArray("Kelvaro 3.0."));
    client.writeDatagram(QByteArray("9\0", 2), host, service.versionPort());
    QCOMPARE(nextReply(client), QByteArray("90,90,90"));
    client.writeDatagram(QByteArray("*\0", 2), host, service.versionPort());
    QCOMPARE(nextReply(client), QByteArray("Other news"));
}

void tst_UpdateService::bannerReply()
{
    UpdateServiceProcess service(serviceExe, configPath());
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    client.writeDatagram(QByteArray("\x01\x01", 2), QHostAddress::LocalHost, service.bannerPort());
    QCOMPARE(nextReply(client),
             QByteArray("http://127.0.0.1:8080/banner.png,https://kelvaro.example/click?a=1"));
    QTRY_VERIFY2(service.log().contains(QStringLiteral("banner 127.0.0.1:")), qPrintable(service.log()));
}

void tst_UpdateService::requestsLeftUnanswered_data()
{
    QTest::addColumn<bool>("toBannerPort");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("logged");
    QTest::newRow("empty datagram") << false << QByteArray() << "ignored, malformed";
    QTest::newRow("no zero byte") << false << QByteArray("3") << "ignored, malformed";
    QTest::newRow("two zero bytes") << false << QByteArray("3\0\0", 3) << "ignored, malformed";
    QTest::newRow("bytes after the zero") << false << QByteArray("3\0x", 3) << "ignored, malformed";
    QTest::newRow("news without zero") << false << QByteArray("*") << "ignored, malformed";
    QTest::newRow("unknown client type") << false << QByteArray("4\0", 2) << "ignored, unknown client type";
    QTest::newRow("oversized") << false << QByteArray(3000, '3') << "ignored, oversized";
    QTest::newRow("oversized, valid start")
        << false << (QByteArray("3\0", 2) + QByteArray(100, '\0')) << "ignored, oversized";
    QTest::newRow("log injection") << false << QByteArray("3\n2026 forged\0", 14) << "\"3\\x0a2026 forged";
    QTest::newRow("banner: one byte") << true << QByteArray("\x01") << "ignored, malformed";
    QTest::newRow("banner: three bytes") << true << QByteArray("\x01\x01\x01") << "ignored, malformed";
    QTest::newRow("banner: version request") << true << QByteArray("3\0", 2) << "ignored, malformed";
    QTest::newRow("banner: oversized") << true << QByteArray(2000, '\x01') << "(2000 bytes): ignored";
}

void tst_UpdateService::requestsLeftUnanswered()
{
    QFETCH(bool, toBannerPort);
    QFETCH(QByteArray, request);
    QFETCH(QString, logged);
    UpdateServiceProcess service(serviceExe, configPath());
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const quint16 port = toBannerPort ? service.bannerPort() : service.versionPort();
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    QCOMPARE(client.writeDatagram(request, QHostAddress::LocalHost, port), qint64(request.size()));
    // Datagrams from one socket to another on loopback arrive in order: had the service answered
    // the bad request, that answer would come before the answer to this good one.
    const QByteArray good = toBannerPort ? QByteArray("\x01\x01", 2) : QByteArray("9\0", 2);
    client.writeDatagram(good, QHostAddress::LocalHost, port);
    const QByteArray expected = toBannerPort
        ? QByteArray("http://127.0.0.1:8080/banner.png,https://kelvaro.example/click?a=1")
        : QByteArray("90,90,90");
    QCOMPARE(nextReply(client), expected);
    QVERIFY2(!client.hasPendingDatagrams(), "a second reply came");
    QTRY_VERIFY2(service.log().contains(logged), qPrintable(service.log()));
    // One line per datagram: the start line, the refused request, the good one.
    QTRY_COMPARE(service.log().count(QLatin1Char('\n')), 3);
}

void tst_UpdateService::repliesPerSenderAreLimited()
{
    UpdateServiceProcess service(serviceExe, configPath());
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    // A burst of requests, as forged ones aimed at a victim would come: every one is logged, only
    // the allowance is answered.
    constexpr int burst = 40;
    for (int i = 0; i < burst; ++i)
        client.writeDatagram(QByteArray("*\0", 2), QHostAddress::LocalHost, service.versionPort());
    QTRY_COMPARE(service.log().count(QStringLiteral("news 127.0.0.1:")), burst);
    int replies = 0;
    while (client.hasPendingDatagrams() || client.waitForReadyRead(200)) {
        client.receiveDatagram();
        ++replies;
    }
    // The burst allowance, and what refilled while the burst was being handled.
    QVERIFY2(replies >= 10 && replies <= 12, qPrintable(QString::number(replies)));
    QVERIFY(service.log().count(QStringLiteral("ignored, rate limit of the sender")) == burst - replies);
}

void tst_UpdateService::reloadsOnHangupAndKeepsAGoodConfiguration()
{
    UpdateServiceProcess service(serviceExe, configPath());
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    UpdateChecker before(QStringLiteral("127.0.0.1"), service.versionPort(), 5000);
    QVERIFY(before.checkUpdate());
    QCOMPARE(before.getClientVersionByChannel(Stable).first, QStringLiteral("3012"));

    QVERIFY(writeFile(configPath(), QByteArray(goodConfig).replace("stable = 3012", "stable = 3020")));
    service.hangup();
    QTRY_VERIFY2(service.log().contains(QStringLiteral("reloaded")), qPrintable(service.log()));
    UpdateChecker after(QStringLiteral("127.0.0.1"), service.versionPort(), 5000);
    QVERIFY(after.checkUpdate());
    QCOMPARE(after.getClientVersionByChannel(Stable),
             qMakePair(QStringLiteral("3020"), QStringLiteral("3.0.12")));

    QVERIFY(writeFile(configPath(), QByteArray(goodConfig).replace("stable = 3012", "stable = soon")));
    service.hangup();
    QTRY_VERIFY2(service.log().contains(QStringLiteral("SIGHUP: keeping the previous configuration")),
                 qPrintable(service.log()));
    QVERIFY2(service.log().contains(QStringLiteral("\"soon\" is not a version number")),
             qPrintable(service.log()));
    UpdateChecker kept(QStringLiteral("127.0.0.1"), service.versionPort(), 5000);
    QVERIFY(kept.checkUpdate());
    QCOMPARE(kept.getClientVersionByChannel(Stable).first, QStringLiteral("3020"));
}

void tst_UpdateService::refusesABadConfiguration_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("message");
    QTest::newRow("no client type") << QByteArray("[news]\ntext = hi\n") << "no client type group";
    QTest::newRow("no stable") << QByteArray("[K]\nbeta = 3\n")
                               << "[K] stable: the newest Stable version is required";
    QTest::newRow("version not a number")
        << QByteArray("[K]\nstable = 3.0\n") << "[K] stable = \"3.0\" is not a version number";
    QTest::newRow("version zero") << QByteArray("[K]\nstable = 0\n") << "is not a version number";
    QTest::newRow("version too large")
        << QByteArray("[K]\nstable = 2147483648\n") << "is not a version number";
    QTest::newRow("comma in a name") << QByteArray("[K]\nstable = 3\nstable_name = \"a,b\"\n")
                                     << "[K] stable_name holds a comma";
    QTest::newRow("name without version")
        << QByteArray("[K]\nstable = 3\nbeta_name = x\n") << "beta_name is set but beta is not";
    QTest::newRow("two types, one request")
        << QByteArray("[A]\nstable = 3\n[B]\nstable = 4\n") << "[A] and [B] both answer the request \"3\"";
    QTest::newRow("request with a space")
        << QByteArray("[K]\nrequest = \"a b\"\nstable = 3\n") << "only printable ASCII";
    QTest::newRow("news too long") << (QByteArray("[K]\nstable = 3\n[news]\ntext = ") + QByteArray(4096, 'n')
                                       + "\n")
                                   << "[news] text is 4096 bytes; the updater reads at most 4095";
    QTest::newRow("news not Latin-1") << QByteArray("[K]\nstable = 3\n[news]\ntext = 5 \xe2\x82\xac\n")
                                      << "cannot be sent (replies are Latin-1)";
    QTest::newRow("version reply too long")
        << (QByteArray("[K]\nstable = 3\nstable_name = ") + QByteArray(520, 'x') + "\n")
        << "the updater reads at most 511";
    QTest::newRow("banner without click")
        << QByteArray("[K]\nstable = 3\n[banner]\npicture = http://a/b.png\n")
        << "[banner] click = \"\" is not an http or https URL";
    QTest::newRow("banner URL with comma")
        << QByteArray("[K]\nstable = 3\n[banner]\npicture = \"http://a/b,c.png\"\nclick = http://a/\n")
        << "[banner] picture";
    QTest::newRow("banner: other scheme")
        << QByteArray("[K]\nstable = 3\n[banner]\npicture = http://a/b.png\nclick = file:///etc/passwd\n")
        << "[banner] click = \"file:///etc/passwd\"";
    QTest::newRow("missing file") << QByteArray() << "not a readable file";
}

void tst_UpdateService::refusesABadConfiguration()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, message);
    const QString path = m_dir.filePath(QStringLiteral("bad.ini"));
    QFile::remove(path);
    if (!config.isEmpty())
        QVERIFY(writeFile(path, config));
    for (const QStringList& extra : {QStringList {QStringLiteral("--check")},
                                     QStringList {QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                                  QStringLiteral("--version-port"), QStringLiteral("0"),
                                                  QStringLiteral("--banner-port"), QStringLiteral("0")}}) {
        QProcess process;
        process.start(serviceExe, QStringList {QStringLiteral("--config"), path} + extra);
        QVERIFY(process.waitForFinished(10000));
        const QString error = QString::fromUtf8(process.readAllStandardError());
        QCOMPARE(process.exitCode(), 2);
        QVERIFY2(error.contains(message), qPrintable(error));
        QVERIFY2(error.startsWith(QStringLiteral("kv3-update-service: ") + path), qPrintable(error));
    }
}

void tst_UpdateService::helpSaysHowItWorks()
{
    QProcess process;
    process.start(serviceExe, {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QString help = QString::fromUtf8(process.readAllStandardOutput());
    for (const char* needed :
         {"--config", "--bind", "--version-port", "--banner-port", "17384", "2009", "SIGHUP",
          "standard error", "Exit codes", "not answered", "[banner]", "5 a second"})
        QVERIFY2(help.contains(QLatin1String(needed)), needed);
}

QTEST_GUILESS_MAIN(tst_UpdateService)
#include "tst_updateservice.moc"

// The command line table, with the version service played by a UDP responder on 127.0.0.1.
#include "Configuration.h"
#include "ModalBoxAnswerer.h"
#include "ScratchInstallation.h"
#include "UdpResponder.h"
#include "UdpVersionService.h"

#include <QSignalSpy>
#include <QtTest>

class tst_CommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void parse_data();
    void parse();
    void userAbortsVersionQuery();
    void usesProcessArguments();

private:
    QScopedPointer<ScratchInstallation> m_root;
};

void tst_CommandLine::init()
{
    m_root.reset(); // one application root at a time
    m_root.reset(new ScratchInstallation);
    QVERIFY2(m_root->isValid(), qPrintable(m_root->errorString()));
}

void tst_CommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<int>("clientVersion");
    QTest::addColumn<QString>("versionName");
    QTest::addColumn<QString>("news");
    QTest::addColumn<int>("noUser");
    QTest::addColumn<QString>("fatalError");
    QTest::addColumn<bool>("serviceAsked");

    const QByteArray noIni;
    const QByteArray reply("12#3.0.1,13#3.0.2-beta,14");
    const QString defaultType = QStringLiteral("client_linux_x86");
    const QString serviceNews = QStringLiteral("News of the day");

    QTest::newRow("no arguments: stable entry and news from the service")
        << QStringList() << noIni << reply << true << defaultType << 12 << "3.0.1" << serviceNews << 0
        << QString() << true;
    QTest::newRow("no arguments, beta channel")
        << QStringList() << QByteArray("[Channel]\nbeta=true\n") << reply << true << defaultType << 13
        << "3.0.2-beta" << serviceNews << 0 << QString() << true;
    QTest::newRow("no arguments, alpha channel without pinned revision: empty name")
        << QStringList() << QByteArray("[Channel]\nalpha=http://alpha.example/\n") << reply << true
        << defaultType << 14 << "" << serviceNews << 0 << QString() << true;
    QTest::newRow("type and version: the service is not asked")
        << QStringList {"client_linux_x86", "12"} << noIni << reply << true << defaultType << 12 << ""
        << "" << 0 << QString() << false;
    QTest::newRow("other type, version with blanks and sign")
        << QStringList {"client_other", " +15 "} << noIni << reply << true << "client_other" << 15 << ""
        << "" << 0 << QString() << false;
    QTest::newRow("version is a word")
        << QStringList {"client_linux_x86", "abc"} << noIni << reply << false << defaultType << 0 << ""
        << "" << 0 << "Invalid version nr (abc)" << false;
    QTest::newRow("version is empty")
        << QStringList {"client_linux_x86", ""} << noIni << reply << false << defaultType << 0 << ""
        << "" << 0 << "Invalid version nr ()" << false;
    QTest::newRow("--nouser with type, version, # and news")
        << QStringList {"--nouser", "client_linux_x86", "12", "#", "free text news"} << noIni << reply << true
        << defaultType << 12 << ""
        << "free text news" << 1 << QString() << false;
    QTest::newRow("--nouser with type, version and name")
        << QStringList {"--nouser", "t", "12", "3.0.1"} << noIni << reply << true << "t" << 12 << "3.0.1"
        << "" << 1 << QString() << false;
    QTest::newRow("--nouser: arguments after the fifth are ignored")
        << QStringList {"--nouser", "t", "12", "n", "news", "extra", "more"} << noIni << reply << true << "t"
        << 12 << "n"
        << "news" << 1 << QString() << false;
    QTest::newRow("--nouser alone: the service is asked")
        << QStringList {"--nouser"} << noIni << reply << true << defaultType << 12 << "3.0.1" << serviceNews
        << 1 << QString() << true;
    QTest::newRow("--nouser with a lone type: ignored, the service is asked")
        << QStringList {"--nouser", "t"} << noIni << reply << true << defaultType << 12 << "3.0.1"
        << serviceNews << 1 << QString() << true;
    QTest::newRow("--nouser with a bad version")
        << QStringList {"--nouser", "t", "x"} << noIni << reply << false << "t" << 0 << ""
        << "" << 0 << "Invalid version nr (x)" << false;
    QTest::newRow("--NOUSER is no option: two arguments")
        << QStringList {"--NOUSER", "12"} << noIni << reply << true << "--NOUSER" << 12 << ""
        << "" << 0 << QString() << false;
    QTest::newRow("one argument is ignored") << QStringList {"12"} << noIni << reply << true << defaultType
                                             << 12 << "3.0.1" << serviceNews << 0 << QString() << true;
    QTest::newRow("three arguments without --nouser are ignored")
        << QStringList {"a", "b", "c"} << noIni << reply << true << defaultType << 12 << "3.0.1"
        << serviceNews << 0 << QString() << true;
    QTest::newRow("pinned alpha revision wins over a bad version")
        << QStringList {"x", "abc"} << QByteArray("[Channel]\nalpha=a\nalphaRevno=77\n") << reply << true
        << "x" << 77 << ""
        << "" << 0 << QString() << false;
    QTest::newRow("pinned alpha revision: no arguments, no query")
        << QStringList() << QByteArray("[Channel]\nalpha=a\nalphaRevno=77\n") << reply << true << defaultType
        << 77 << ""
        << "" << 0 << QString() << false;
    QTest::newRow("service answers a word")
        << QStringList() << noIni << QByteArray("abc#name") << false << defaultType << 0 << "" << serviceNews
        << 0 << "Update server returned invalid version nr (abc)" << true;
    QTest::newRow("service reply begins with a comma: silent failure")
        << QStringList() << noIni << QByteArray(",13#x") << false << defaultType << 0 << "" << serviceNews
        << 0 << QString() << true;
    QTest::newRow("service has no entry for the beta channel: silent failure")
        << QStringList() << QByteArray("[Channel]\nbeta=1\n") << QByteArray("12") << false << defaultType << 0
        << "" << serviceNews << 0 << QString() << true;
}

void tst_CommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, updateIni);
    QFETCH(QByteArray, versionReply);

    if (!updateIni.isNull()) {
        const QString written = m_root->writeFile(QStringLiteral("update.ini"), updateIni);
        QVERIFY2(written.isEmpty(), qPrintable(written));
    }
    UdpResponder responder(UdpVersionService::answering(versionReply, "News of the day"));
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));

    Configuration configuration;
    configuration.setVersionService(QStringLiteral("127.0.0.1"), responder.port(), 2000);
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    // A box would mean the query failed; close it so that a fault cannot hang the test.
    ModalBoxAnswerer boxes({QMessageBox::Abort});

    const bool result =
        configuration.parseCommandLineOptions(QStringList {QStringLiteral("update")} + arguments);

    QTEST(result, "expectedResult");
    QTEST(configuration.clientType, "clientType");
    QTEST(configuration.clientVersion, "clientVersion");
    QTEST(configuration.versionName, "versionName");
    QTEST(configuration.news, "news");
    QTEST(configuration.noUser, "noUser");
    QFETCH(QString, fatalError);
    if (fatalError.isEmpty()) {
        QVERIFY2(fatal.isEmpty(), qPrintable(fatal.value(0).value(0).toString()));
    } else {
        QCOMPARE(fatal.size(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(), fatalError);
    }
    QFETCH(bool, serviceAsked);
    QCOMPARE(!responder.requests().isEmpty(), serviceAsked);
    QVERIFY2(boxes.seen().isEmpty(), "the version query failed against a working service");
}

void tst_CommandLine::userAbortsVersionQuery()
{
    // A service that never answers; the user gives up in the retry box.
    UdpResponder responder({});
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));
    Configuration configuration;
    configuration.setVersionService(QStringLiteral("127.0.0.1"), responder.port(), 100);
    configuration.news = QStringLiteral("untouched");
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    ModalBoxAnswerer boxes({QMessageBox::Abort});

    QVERIFY(!configuration.parseCommandLineOptions({QStringLiteral("update")}));

    QVERIFY2(fatal.isEmpty(), "giving up the query is not an error of its own");
    QCOMPARE(configuration.news, QStringLiteral("untouched"));
    QCOMPARE(configuration.clientVersion, 0);
    QCOMPARE(configuration.noUser, 0);
    QCOMPARE(boxes.seen().size(), 1);
}

void tst_CommandLine::usesProcessArguments()
{
    // The test runs without arguments of its own: the parameterless parse must ask the service.
    if (QCoreApplication::arguments().size() != 1)
        QSKIP("run with test function arguments");
    UdpResponder responder(UdpVersionService::answering("21#name", "n"));
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));
    Configuration configuration;
    configuration.setVersionService(QStringLiteral("127.0.0.1"), responder.port(), 2000);
    QVERIFY(configuration.parseCommandLineOptions());
    QCOMPARE(configuration.clientVersion, 21);
}

QTEST_MAIN(tst_CommandLine)
#include "tst_commandline.moc"

// Start-up of the real program, run as a separate process from a copy in a scratch installation
// folder. A preloaded driver answers its boxes and closes its window (UiDriver.cpp).
#include "Configuration.h"
#include "ScratchInstallation.h"
#include "UdpResponder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void exitCodes_data();
    void exitCodes();
    void versionService_data();
    void versionService();
    void oldFilesGoWhateverTheOutcome_data();
    void oldFilesGoWhateverTheOutcome();
    void oldFilesStayWhileAnotherInstanceRuns();

private:
    struct Run
    {
        int exitCode = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QString errorOutput;
    };
    Run runUpdater(const QStringList& arguments, const QString& boxAnswers = QStringLiteral("Ok"));
    void writeFile(const QString& relativePath, const QByteArray& contents = "x");

    // The program run takes its own folder as root; the test process is pointed there too.
    QScopedPointer<ScratchInstallation> m_installation;
    QScopedPointer<QTemporaryDir> m_temp;
};

void tst_Startup::init()
{
    m_installation.reset();
    m_installation.reset(new ScratchInstallation);
    m_temp.reset(new QTemporaryDir);
    QVERIFY2(m_installation->isValid(), qPrintable(m_installation->errorString()));
    QVERIFY2(m_temp->isValid(), qPrintable(m_temp->errorString()));
    // The program works on the folder it lives in, so it runs from a copy in a scratch folder.
    QVERIFY2(QFile::copy(QStringLiteral(KV3_UPDATE_BINARY), m_installation->filePath("update")),
             KV3_UPDATE_BINARY);
}

void tst_Startup::writeFile(const QString& relativePath, const QByteArray& contents)
{
    const QString error = m_installation->writeFile(relativePath, contents);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

tst_Startup::Run tst_Startup::runUpdater(const QStringList& arguments, const QString& boxAnswers)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The log lines are checked in the toolkit's default format.
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KV3_UI_DRIVER));
    environment.insert(QStringLiteral("TMPDIR"), m_temp->path());
    environment.insert(QStringLiteral("KV3_TEST_BOX_ANSWERS"), boxAnswers);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_installation->path());
    process.start(m_installation->filePath("update"), arguments);
    Run run;
    if (!process.waitForStarted(10000)) {
        run.errorOutput = process.errorString();
        return run;
    }
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.errorOutput =
            QStringLiteral("did not end: ") + QString::fromLocal8Bit(process.readAllStandardError());
        return run;
    }
    run.exitCode = process.exitCode();
    run.status = process.exitStatus();
    run.errorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

void tst_Startup::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("errorShown");
    QTest::addColumn<bool>("windowShown");

    QTest::newRow("version is a word: error box, exit 1, no window")
        << QStringList {"x", "abc"} << QByteArray() << 1 << "Invalid version nr (abc)" << false;
    QTest::newRow("unattended with a bad version")
        << QStringList {"--nouser", "t", "1x"} << QByteArray() << 1 << "Invalid version nr (1x)" << false;
    QTest::newRow("type and version: window without asking the service")
        << QStringList {"client_linux_x86", "12"} << QByteArray() << 0 << QString() << true;
    QTest::newRow("unattended with type and version")
        << QStringList {"--nouser", "client_linux_x86", "12", "#", "news"} << QByteArray() << 0 << QString()
        << true;
    QTest::newRow("pinned alpha revision overrides a bad version")
        << QStringList {"x", "abc"} << QByteArray("[Channel]\nalpha=http://a.example/\nalphaRevno=5\n") << 0
        << QString() << true;
}

void tst_Startup::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, updateIni);
    QFETCH(QString, errorShown);
    QFETCH(bool, windowShown);
    if (!updateIni.isNull())
        writeFile(QStringLiteral("update.ini"), updateIni);
    // None of these command lines may ask the version service: listen at its port to see that it
    // is not asked. The port is this test's alone (CTest resource lock udp_ports).
    UdpResponder service({}, Configuration::DefaultVersionServerPort);
    QVERIFY2(service.isListening(),
             qPrintable("cannot listen at the version service's port: " + service.errorString()));

    const Run run = runUpdater(arguments);

    QVERIFY2(run.status == QProcess::NormalExit, qPrintable(run.errorOutput));
    QFETCH(int, exitCode);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.errorOutput));
    if (errorShown.isEmpty()) {
        QVERIFY2(!run.errorOutput.contains(QLatin1String("[ui-driver] box:")), qPrintable(run.errorOutput));
    } else {
        // The box, and the same line on standard error through the program's log category.
        QVERIFY2(run.errorOutput.contains(QStringLiteral("[ui-driver] box: Error | ") + errorShown),
                 qPrintable(run.errorOutput));
        QVERIFY2(run.errorOutput.contains(QStringLiteral("kelvaro.update: ") + errorShown),
                 qPrintable(run.errorOutput));
    }
    QCOMPARE(run.errorOutput.contains(QLatin1String("[ui-driver] window: MainWindow")), windowShown);
    QVERIFY2(service.requests().isEmpty(), "the version service was asked");
}

void tst_Startup::versionService_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("versionReply"); // null: the service stays silent
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("boxShown");

    QTest::newRow("no arguments, service answers: window")
        << QStringList() << QByteArray("12#3.0.1") << 0 << QString();
    QTest::newRow("--nouser alone, service answers: window")
        << QStringList {"--nouser"} << QByteArray("12#3.0.1") << 0 << QString();
    QTest::newRow("service answers a word: error box, exit 1")
        << QStringList() << QByteArray("abc") << 1 << "Update server returned invalid version nr (abc)";
    QTest::newRow("silent service, user aborts: exit 1")
        << QStringList() << QByteArray() << 1
        << "Failed to query latest client\\nversion from update server.";
}

void tst_Startup::versionService()
{
    // The program asks the compiled-in server at the service's fixed port; the test can stand in
    // for it only when that server is this machine and the port is free.
    const QString host = Configuration::defaultVersionServerHost();
    if (host != QLatin1String("localhost") && host != QLatin1String("127.0.0.1"))
        QSKIP("the compiled-in version server is not this machine");
    QFETCH(QByteArray, versionReply);
    QFETCH(QString, boxShown);
    const QByteArray versionRequest("3\0", 2), newsRequest("*\0", 2);
    UdpResponder service(versionReply.isNull() ? UdpResponder::Handler()
                                               : UdpResponder::byRequest({{versionRequest, {{versionReply}}},
                                                                          {newsRequest, {{"news"}}}}),
                         Configuration::DefaultVersionServerPort);
    if (!service.isListening())
        QSKIP(qPrintable("the version service's port is taken: " + service.errorString()));

    QFETCH(QStringList, arguments);
    const Run run = runUpdater(arguments, QStringLiteral("Abort"));

    QVERIFY2(run.status == QProcess::NormalExit, qPrintable(run.errorOutput));
    QFETCH(int, exitCode);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.errorOutput));
    QVERIFY2(!service.requests().isEmpty(), "the service was not asked");
    if (boxShown.isEmpty()) {
        QVERIFY2(run.errorOutput.contains(QLatin1String("[ui-driver] window: MainWindow")),
                 qPrintable(run.errorOutput));
    } else {
        QVERIFY2(run.errorOutput.contains(QStringLiteral("[ui-driver] box: Error | ") + boxShown),
                 qPrintable(run.errorOutput));
        QVERIFY2(!run.errorOutput.contains(QLatin1String("[ui-driver] window:")),
                 qPrintable(run.errorOutput));
    }
}

void tst_Startup::oldFilesGoWhateverTheOutcome_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("failed start-up") << QStringList {"x", "abc"};
    QTest::newRow("successful start-up") << QStringList {"x", "12"};
}

void tst_Startup::oldFilesGoWhateverTheOutcome()
{
    QFETCH(QStringList, arguments);
    const QStringList setAside {"_old_update", "_old_libQtCore.so.4", "imageformats/_old_libqjpeg.so",
                                "imageformats/_old_libqgif.so", "accessible/_old_libqtaccessiblewidgets.so"};
    const QStringList kept {"libQtCore.so.4",          "_old_client.bin",
                            "_old_libqtcore.so.4",     "imageformats/libqjpeg.so",
                            "plugins/_old_libqgif.so", "accessible/old_libqtaccessiblewidgets.so"};
    for (const QString& name : setAside + kept)
        writeFile(name);

    const Run run = runUpdater(arguments);
    QVERIFY2(run.status == QProcess::NormalExit, qPrintable(run.errorOutput));

    for (const QString& name : setAside)
        QVERIFY2(!QFileInfo::exists(m_installation->filePath(name)), qPrintable(name + " left"));
    for (const QString& name : kept)
        QVERIFY2(QFileInfo::exists(m_installation->filePath(name)), qPrintable(name + " removed"));
}

void tst_Startup::oldFilesStayWhileAnotherInstanceRuns()
{
    // The first instance keeps its window open; while it runs (it may be replacing files), the
    // set-aside copies are its rollback.
    QProcess first;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KV3_UI_DRIVER));
    environment.insert(QStringLiteral("KV3_TEST_KEEP_WINDOW"), QStringLiteral("1"));
    environment.insert(QStringLiteral("TMPDIR"), m_temp->path());
    first.setProcessEnvironment(environment);
    first.setWorkingDirectory(m_installation->path());
    first.start(m_installation->filePath("update"), {QStringLiteral("x"), QStringLiteral("12")});
    QVERIFY2(first.waitForStarted(10000), qPrintable(first.errorString()));
    QByteArray firstOutput;
    QTRY_VERIFY2_WITH_TIMEOUT(
        (firstOutput += first.readAllStandardError()).contains("[ui-driver] window: MainWindow"),
        firstOutput.constData(), 30000);

    const QStringList setAside {"_old_update", "_old_libQtCore.so.4", "imageformats/_old_libqjpeg.so",
                                "accessible/_old_libqtaccessiblewidgets.so"};
    for (const QString& name : setAside)
        writeFile(name);

    const Run second = runUpdater({QStringLiteral("x"), QStringLiteral("12")});
    first.terminate();
    if (!first.waitForFinished(10000)) {
        first.kill();
        first.waitForFinished();
    }

    QVERIFY2(second.status == QProcess::NormalExit, qPrintable(second.errorOutput));
    QVERIFY2(second.exitCode == 0, qPrintable(second.errorOutput));
    QVERIFY2(!second.errorOutput.contains(QLatin1String("[ui-driver] window:")),
             "the second start opened a window of its own");
    for (const QString& name : setAside)
        QVERIFY2(QFileInfo::exists(m_installation->filePath(name)),
                 qPrintable(name + " removed by the second start"));
}

QTEST_MAIN(tst_Startup)
#include "tst_startup.moc"

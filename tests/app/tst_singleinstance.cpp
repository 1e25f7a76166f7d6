// The single-instance guard: the local server name, the hand-over of a message, a socket file left
// by a killed instance, and a second start of the real program.
#include "SingleInstanceChecker.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// CRC-16/X-25 (ISO 3309), bit by bit, written out independently of the toolkit.
quint16 crc16x25(const QByteArray& data)
{
    quint16 crc = 0xFFFF;
    for (const char byte : data) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}

void restore(const char* name, const QByteArray& value)
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value);
}

} // namespace

class tst_SingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void checksumReference();
    void serverName_data();
    void serverName();
    void handOver_data();
    void handOver();
    void noListener();
    void staleSocketFileIsReplaced();
    void liveInstanceIsNotReplaced();
    void newConnectionSupersedesTheServedOne();
    void secondStartOfTheProgram();

private:
    QScopedPointer<QTemporaryDir> m_temp;
    QByteArray m_oldTmpDir;
    QByteArray m_oldHome;
};

void tst_SingleInstance::init()
{
    // Socket files live in the temporary directory: keep them apart from everything else.
    m_temp.reset(new QTemporaryDir);
    QVERIFY2(m_temp->isValid(), qPrintable(m_temp->errorString()));
    m_oldTmpDir = qgetenv("TMPDIR");
    m_oldHome = qgetenv("HOME");
    qputenv("TMPDIR", QFile::encodeName(m_temp->path()));
}

void tst_SingleInstance::cleanup()
{
    restore("TMPDIR", m_oldTmpDir);
    restore("HOME", m_oldHome);
}

void tst_SingleInstance::checksumReference()
{
    // The check value of CRC-16/X-25 (the catalogue of parametrised CRC algorithms).
    QCOMPARE(crc16x25("123456789"), quint16(0x906E));
}

void tst_SingleInstance::serverName_data()
{
    QTest::addColumn<QString>("home");
    QTest::newRow("plain home") << "/home/user";
    QTest::newRow("home with colons and upper case") << "/Home/A:B/User";
    QTest::newRow("non-ASCII home") << QString::fromUtf8("/home/jürgen");
}

void tst_SingleInstance::serverName()
{
    QFETCH(QString, home);
    qputenv("HOME", home.toUtf8());
    QString key = QCoreApplication::applicationFilePath().toLower() + home;
    key.remove(QLatin1Char('/')).remove(QLatin1Char(':'));
    const QString expected = QStringLiteral("KV3ClientUpdate%1").arg(crc16x25(key.toUtf8()), 0, 16);
    QCOMPARE(SingleInstanceChecker::getLocalServerName(), expected);
}

void tst_SingleInstance::handOver_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("handedOver");
    QTest::addColumn<QString>("received");
    QTest::newRow("the start-up's #") << "#" << true << "#";
    QTest::newRow("longer text") << "hello" << true << "hello";
    QTest::newRow("cut at a zero byte") << QString::fromLatin1("ab\0cd", 5) << true << "ab";
    QTest::newRow("Latin-1") << QString::fromUtf8("é") << true << QString::fromUtf8("é");
    QTest::newRow("empty message is not handed over") << "" << false << "";
}

void tst_SingleInstance::handOver()
{
    QFETCH(QString, message);
    QFETCH(bool, handedOver);
    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);

    QCOMPARE(SingleInstanceChecker::checkExistingInstance(message), handedOver);
    if (handedOver) {
        QTRY_COMPARE(activated.size(), 1);
        QTEST(activated.at(0).at(0).toString(), "received");
    } else {
        // Give a wrongly delivered message the chance to arrive before concluding.
        QTest::qWait(100);
        QVERIFY(activated.isEmpty());
    }
}

void tst_SingleInstance::noListener()
{
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
}

void tst_SingleInstance::staleSocketFileIsReplaced()
{
    // What a killed instance leaves behind: a socket file that nobody listens on.
    const QString path = QDir(QDir::tempPath()).filePath(SingleInstanceChecker::getLocalServerName());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    QVERIFY(size_t(encoded.size()) < sizeof address.sun_path);
    qstrcpy(address.sun_path, encoded.constData());
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));

    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY2(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")),
             "an instance started after a killed one must be findable");
    QTRY_COMPARE(activated.size(), 1);
}

void tst_SingleInstance::liveInstanceIsNotReplaced()
{
    SingleInstanceChecker first;
    QSignalSpy firstActivated(&first, &SingleInstanceChecker::otherInstanceActivate);
    SingleInstanceChecker second;
    QSignalSpy secondActivated(&second, &SingleInstanceChecker::otherInstanceActivate);

    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(firstActivated.size(), 1);
    QVERIFY(secondActivated.isEmpty());
}

void tst_SingleInstance::newConnectionSupersedesTheServedOne()
{
    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);
    const QString name = SingleInstanceChecker::getLocalServerName();

    // A client that connects and stays silent is served until the next one comes.
    QLocalSocket silent;
    silent.connectToServer(name);
    QVERIFY(silent.waitForConnected(1000));
    QTRY_COMPARE(listener.findChildren<QLocalSocket*>().size(), 1);

    // Its late bytes and a second start arrive together: the listener takes the new connection
    // and must read the second start's message from it, not from the one it gave up.
    silent.write("late");
    QVERIFY(silent.waitForBytesWritten(1000));
    QLocalSocket second;
    second.connectToServer(name);
    QVERIFY(second.waitForConnected(1000));
    second.write("#");
    QVERIFY(second.waitForBytesWritten(1000));

    QTRY_VERIFY2(!activated.isEmpty() && activated.last().at(0).toString() == QLatin1String("#"),
                 "the second start's message was lost");
    for (const QList<QVariant>& signal : std::as_const(activated)) {
        const QString message = signal.at(0).toString();
        QVERIFY2(message == QLatin1String("#") || message == QLatin1String("late"),
                 qPrintable(QStringLiteral("read from the wrong connection: \"%1\"").arg(message)));
    }
}

void tst_SingleInstance::secondStartOfTheProgram()
{
    QTemporaryDir installation;
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    const QString program = installation.filePath(QStringLiteral("update"));
    QVERIFY(QFile::copy(QStringLiteral(KV3_UPDATE_BINARY), program));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), m_temp->path());
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KV3_UI_DRIVER));
    environment.insert(QStringLiteral("KV3_TEST_KEEP_WINDOW"), QStringLiteral("1"));

    QProcess first;
    first.setProcessEnvironment(environment);
    first.start(program, {QStringLiteral("client_linux_x86"), QStringLiteral("12")});
    QVERIFY2(first.waitForStarted(10000), qPrintable(first.errorString()));
    // Once its window is up, the first instance listens.
    QByteArray firstOutput;
    QTRY_VERIFY2_WITH_TIMEOUT((firstOutput += first.readAllStandardError()).contains("window:"),
                              firstOutput.constData(), 20000);

    // Set-aside copies that turn up while the first instance runs: a second start clears them
    // before it finds the first instance and exits.
    const QStringList setAside {QStringLiteral("_old_update"),
                                QStringLiteral("imageformats/_old_libqjpeg.so"),
                                QStringLiteral("accessible/_old_libqtaccessiblewidgets.so")};
    for (const QString& name : setAside) {
        const QString path = installation.filePath(name);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    }

    QProcess second;
    second.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    second.start(program, {QStringLiteral("client_linux_x86"), QStringLiteral("12")});
    QVERIFY2(second.waitForFinished(20000), "the second start did not end");
    const QByteArray secondOutput = second.readAllStandardError();
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QVERIFY2(second.exitCode() == 0, secondOutput.constData());
    QVERIFY2(!secondOutput.contains("window:"), "the second start opened a window");
    for (const QString& name : setAside)
        QVERIFY2(!QFileInfo::exists(installation.filePath(name)), qPrintable(name + " was left"));

    first.terminate();
    if (!first.waitForFinished(10000)) {
        first.kill();
        first.waitForFinished();
    }
}

QTEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"

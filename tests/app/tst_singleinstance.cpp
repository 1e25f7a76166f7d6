// The single-instance guard: the local server name, the hand-over of a message, a socket file left
// by a killed instance, and a second start of the real program.
#include "SingleInstanceChecker.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
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

QString expectedServerName(const QString& executable, const QString& home, bool lowerCase = true)
{
    QString key = (lowerCase ? executable.toLower() : executable) + home;
    key.remove(QLatin1Char('/')).remove(QLatin1Char(':'));
    return QStringLiteral("KV3ClientUpdate%1").arg(crc16x25(key.toUtf8()), 0, 16);
}

void say(const QByteArray& line)
{
    std::fprintf(stdout, "%s\n", line.constData());
    std::fflush(stdout);
}

// The test program run again as a helper process (possibly as another user through setpriv):
//   --print-name                 prints getLocalServerName() of this executable
//   --occupy NAME                listens on NAME open to everybody, as another user may; prints
//                                "listening", then "closed:<hex of the bytes received>" for each
//                                connection that ends
//   --send NAME MESSAGE          connects to NAME, writes MESSAGE and waits for the other side to
//                                close; prints "dropped" (closed), "kept" (not closed in 10 s) or
//                                "refused"
int runHelper(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QByteArray mode = argv[1];
    if (mode == "--print-name") {
        say(SingleInstanceChecker::getLocalServerName().toUtf8());
        return 0;
    }
    if (mode == "--occupy" && argc >= 3) {
        QLocalServer server;
        server.setSocketOptions(QLocalServer::WorldAccessOption);
        if (!server.listen(QString::fromUtf8(argv[2]))) {
            say("cannot listen: " + server.errorString().toUtf8());
            return 1;
        }
        QObject::connect(&server, &QLocalServer::newConnection, &server, [&server] {
            while (QLocalSocket* socket = server.nextPendingConnection()) {
                auto* received = new QByteArray;
                QObject::connect(socket, &QLocalSocket::readyRead, socket,
                                 [socket, received] { *received += socket->readAll(); });
                QObject::connect(socket, &QLocalSocket::disconnected, socket, [socket, received] {
                    *received += socket->readAll();
                    say("closed:" + received->toHex());
                    delete received;
                    socket->deleteLater();
                });
            }
        });
        say("listening");
        return application.exec();
    }
    if (mode == "--send" && argc >= 4) {
        QLocalSocket socket;
        socket.connectToServer(QString::fromUtf8(argv[2]));
        if (!socket.waitForConnected(5000)) {
            say("refused");
            return 2;
        }
        socket.write(argv[3]);
        socket.waitForBytesWritten(5000);
        if (socket.state() == QLocalSocket::UnconnectedState || socket.waitForDisconnected(10000)) {
            say("dropped");
            return 0;
        }
        say("kept");
        return 1;
    }
    return 3;
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
    void executablePathIsLowerCased();
    void otherUsersListenerDoesNotCount_data();
    void otherUsersListenerDoesNotCount();
    void otherUsersConnectionIsIgnored();
    void unsafeFallbackFolderIsNotUsed_data();
    void unsafeFallbackFolderIsNotUsed();
    void secondStartOfTheProgram();

private:
    // Makes the temporary folder a shared one like /tmp, and starts the test program as a helper
    // process of user nobody (65534). Needs root.
    void startAsNobody(QProcess& process, const QStringList& arguments);
    QByteArray waitForLine(QProcess& process, const QByteArray& prefix);

    QScopedPointer<QTemporaryDir> m_temp;
    QByteArray m_oldTmpDir;
    QByteArray m_oldHome;
    QByteArray m_oldRuntimeDir;
};

void tst_SingleInstance::init()
{
    // Socket files live in the temporary directory: keep them apart from everything else.
    m_temp.reset(new QTemporaryDir);
    QVERIFY2(m_temp->isValid(), qPrintable(m_temp->errorString()));
    m_oldTmpDir = qgetenv("TMPDIR");
    m_oldHome = qgetenv("HOME");
    m_oldRuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(m_temp->path()));
    qunsetenv("XDG_RUNTIME_DIR");
}

void tst_SingleInstance::cleanup()
{
    restore("TMPDIR", m_oldTmpDir);
    restore("HOME", m_oldHome);
    restore("XDG_RUNTIME_DIR", m_oldRuntimeDir);
}

void tst_SingleInstance::startAsNobody(QProcess& process, const QStringList& arguments)
{
    QCOMPARE(::chmod(QFile::encodeName(m_temp->path()).constData(), 01777), 0);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("setpriv"),
                  QStringList {"--reuid=65534", "--regid=65534", "--clear-groups",
                               QCoreApplication::applicationFilePath()}
                      + arguments);
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
}

QByteArray tst_SingleInstance::waitForLine(QProcess& process, const QByteArray& prefix)
{
    QByteArray line;
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (process.canReadLine()) {
            line = process.readLine().trimmed();
            if (line.startsWith(prefix))
                return line;
            continue;
        }
        if (process.state() == QProcess::NotRunning)
            break;
        // The helper talks to objects of this process: keep its event loop turning.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        process.waitForReadyRead(20);
    }
    return QByteArray();
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

void tst_SingleInstance::executablePathIsLowerCased()
{
    // The key holds the executable's path in lower case, so that the same installation written
    // in another letter case finds the same instance. A path with capitals shows it.
    const QString folder = m_temp->filePath(QStringLiteral("Kelvaro Client/Update"));
    QVERIFY(QDir().mkpath(folder));
    const QString copy = folder + QStringLiteral("/KV3-Update");
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    const QString home = QStringLiteral("/Home/User");
    QVERIFY2(expectedServerName(copy, home) != expectedServerName(copy, home, false),
             "pick another path: its checksum does not tell the letter case apart");

    QProcess helper;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    helper.setProcessEnvironment(environment);
    helper.start(copy, {QStringLiteral("--print-name")});
    QVERIFY2(helper.waitForFinished(20000), qPrintable(helper.errorString()));
    QCOMPARE(QString::fromUtf8(helper.readAllStandardOutput().trimmed()), expectedServerName(copy, home));
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

void tst_SingleInstance::otherUsersListenerDoesNotCount_data()
{
    QTest::addColumn<bool>("runtimeDir");
    QTest::newRow("XDG_RUNTIME_DIR set") << true;
    QTest::newRow("no XDG_RUNTIME_DIR") << false;
}

void tst_SingleInstance::otherUsersListenerDoesNotCount()
{
    QFETCH(bool, runtimeDir);
    if (::geteuid() != 0)
        QSKIP("needs root: a second user through setpriv");
    if (runtimeDir) {
        const QString dir = m_temp->filePath(QStringLiteral("run"));
        QCOMPARE(::mkdir(QFile::encodeName(dir).constData(), 0700), 0);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir));
    }
    // Another user takes the name first: the name is a checksum anybody can work out.
    const QString name = SingleInstanceChecker::getLocalServerName();
    QProcess occupier;
    startAsNobody(occupier, {QStringLiteral("--occupy"), name});
    const auto stop = qScopeGuard([&occupier] {
        occupier.kill();
        occupier.waitForFinished();
    });
    QCOMPARE(waitForLine(occupier, "listening"), QByteArray("listening"));

    QVERIFY2(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")),
             "another user's listener was taken for a running instance");
    QCOMPARE(waitForLine(occupier, "closed:"), QByteArray("closed:"));

    // This user's instance is found all the same, wherever it had to listen.
    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY2(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")),
             "the instance that found its name taken cannot be found");
    QTRY_COMPARE(activated.size(), 1);
    QCOMPARE(activated.at(0).at(0).toString(), QStringLiteral("#"));
    // The second check, too, handed nothing to the other user on its way.
    QCOMPARE(waitForLine(occupier, "closed:"), QByteArray("closed:"));

    if (!runtimeDir) {
        const QByteArray fallback = QFile::encodeName(m_temp->filePath(QStringLiteral("kv3-update-0")));
        struct stat info;
        QCOMPARE(::lstat(fallback.constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode));
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
    }
}

void tst_SingleInstance::otherUsersConnectionIsIgnored()
{
    if (::geteuid() != 0)
        QSKIP("needs root: a second user through setpriv");
    SingleInstanceChecker listener;
    QSignalSpy activated(&listener, &SingleInstanceChecker::otherInstanceActivate);
    // As a umask of 0 or a shared group would leave it: connectable by others.
    const QString path = QDir(QDir::tempPath()).filePath(SingleInstanceChecker::getLocalServerName());
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0777), 0);

    QProcess sender;
    startAsNobody(sender, {QStringLiteral("--send"), path, QStringLiteral("#")});
    // The listener closes the connection once it has dealt with it, so by then a message taken
    // from it would have been signalled.
    QCOMPARE(waitForLine(sender, ""), QByteArray("dropped"));
    QVERIFY(sender.waitForFinished(10000));
    QVERIFY2(activated.isEmpty(), "another user brought the window forward");

    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(activated.size(), 1);
}

void tst_SingleInstance::unsafeFallbackFolderIsNotUsed_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("folder of another user") << "others";
    QTest::newRow("folder open to others") << "open";
    QTest::newRow("link to a folder") << "link";
}

void tst_SingleInstance::unsafeFallbackFolderIsNotUsed()
{
    QFETCH(QString, obstacle);
    if (::geteuid() != 0)
        QSKIP("needs root: a second user through setpriv");
    // Another user took the name and laid out the per-user folder, hoping to get the socket.
    const QString fallback = m_temp->filePath(QStringLiteral("kv3-update-0"));
    const QString target = m_temp->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkdir(target));
    const QByteArray encoded = QFile::encodeName(fallback);
    if (obstacle == QLatin1String("link")) {
        QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0700), 0);
        QVERIFY(QFile::link(target, fallback));
    } else {
        QCOMPARE(::mkdir(encoded.constData(), 0700), 0);
        if (obstacle == QLatin1String("others"))
            QCOMPARE(::chown(encoded.constData(), 65534, 65534), 0);
        else
            QCOMPARE(::chmod(encoded.constData(), 0777), 0);
    }
    QProcess occupier;
    startAsNobody(occupier, {QStringLiteral("--occupy"), SingleInstanceChecker::getLocalServerName()});
    const auto stop = qScopeGuard([&occupier] {
        occupier.kill();
        occupier.waitForFinished();
    });
    QCOMPARE(waitForLine(occupier, "listening"), QByteArray("listening"));

    SingleInstanceChecker listener;
    QVERIFY2(QDir(fallback).isEmpty(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
             "the socket went into a folder that is not this user's own");
    QVERIFY2(QDir(target).isEmpty(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
             "the socket followed the link");
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
    environment.insert(QStringLiteral("KV3_TEST_COVER_WINDOW"), QStringLiteral("1"));

    QProcess first;
    first.setProcessEnvironment(environment);
    first.start(program, {QStringLiteral("client_linux_x86"), QStringLiteral("12")});
    QVERIFY2(first.waitForStarted(10000), qPrintable(first.errorString()));
    const auto stop = qScopeGuard([&first] {
        first.terminate();
        if (!first.waitForFinished(10000)) {
            first.kill();
            first.waitForFinished();
        }
    });
    // Once its window is up, the first instance listens; the driver then puts another window in
    // front of it, so that only a second start can bring it forward again.
    QByteArray firstOutput;
    QTRY_VERIFY2_WITH_TIMEOUT((firstOutput += first.readAllStandardError()).contains("] covered: "),
                              firstOutput.constData(), 20000);
    QVERIFY2(!firstOutput.contains("] activated: "), firstOutput.constData());

    QProcess second;
    second.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    second.start(program, {QStringLiteral("client_linux_x86"), QStringLiteral("12")});
    QVERIFY2(second.waitForFinished(20000), "the second start did not end");
    const qint64 elapsed = clock.elapsed();
    const QByteArray secondOutput = second.readAllStandardError();
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QVERIFY2(second.exitCode() == 0, secondOutput.constData());
    QVERIFY2(!secondOutput.contains("window:"), "the second start opened a window");
    // Two waits of one second at most, and the start of the process; a second start that ran into
    // a time-out (or waited for the first one to end) takes much longer.
    QVERIFY2(elapsed < 3000, qPrintable(QStringLiteral("the second start took %1 ms").arg(elapsed)));

    QTRY_VERIFY2_WITH_TIMEOUT((firstOutput += first.readAllStandardError()).contains("] activated: "),
                              firstOutput.constData(), 10000);
}

int main(int argc, char* argv[])
{
    if (argc >= 2
        && (qstrcmp(argv[1], "--print-name") == 0 || qstrcmp(argv[1], "--occupy") == 0
            || qstrcmp(argv[1], "--send") == 0))
        return runHelper(argc, argv);
    QCoreApplication application(argc, argv);
    tst_SingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_singleinstance.moc"

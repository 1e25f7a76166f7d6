// The whole program as it is shipped: the real `update` binary, copied into an installation of
// version 1 (in a folder whose path holds blanks), updates it from nginx to version 2 without a
// user (--nouser), byte for byte, says so on standard error, starts the client's start script and
// exits 0.
#include "FileBytes.h"
#include "NginxMirror.h"
#include "ReleaseFixture.h"
#include "TreeSnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString ClientType = QStringLiteral("Kelvaro3");

// Files whose installed copies the updater makes executable (by name or by the suffix "so").
bool isExecutable(const QString& relative)
{
    const QString name = QFileInfo(relative).fileName();
    return name == QLatin1String("kv3client_linux_amd64") || name == QLatin1String("kv3client_runscript.sh")
        || name.endsWith(QLatin1String(".so"));
}

bool writeTree(const QString& root, const ReleaseFixture::Tree& files)
{
    if (!ReleaseFixture::writeTree(root, files))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        // Installed programs are rwxr-xr-x: writable by their owner only.
        const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
            | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
        const QFile::Permissions mode = isExecutable(it.key())
            ? readable | QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther
            : readable;
        if (!QFile::setPermissions(root + QLatin1Char('/') + it.key(), mode))
            return false;
    }
    return true;
}

} // namespace

class tst_UpdateEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void unattendedUpdateFromNginx();
};

void tst_UpdateEndToEnd::initTestCase()
{
    // New files and folders get their modes from the umask (the program inherits it); fix it so
    // that the expected tree agrees.
    umask(022);
    if (NginxMirror::executable().isEmpty())
        QSKIP("nginx is not installed (Debian package nginx-light)");
}

void tst_UpdateEndToEnd::unattendedUpdateFromNginx()
{
    QTemporaryDir work;
    QVERIFY2(work.isValid(), qPrintable(work.errorString()));
    const QString install = work.filePath(QStringLiteral("Kelvaro 3 client"));
    const QString mirrorRoot = work.filePath(QStringLiteral("mirror"));
    const QString proof = work.filePath(QStringLiteral("client started"));
    const QByteArray script = "#!/bin/sh\necho \"$0\" > '" + QFile::encodeName(proof) + "'\n";

    const ReleaseFixture::Tree version1 {
        {"kv3client_linux_amd64", "client 1\n"}, {"kv3client_runscript.sh", script},
        {"lib/libvoice.so", "voice 1\n"},        {"readme.txt", "read me\n"},
        {"sounds/old.wav", "an old sound\n"},    {"data/voices.dat", QByteArray(200000, 'v')},
    };
    const ReleaseFixture::Tree version2 {
        {"kv3client_linux_amd64", "client 2, larger\n"},
        {"kv3client_runscript.sh", script},
        {"lib/libvoice.so", "voice 2\n"},
        {"readme.txt", "read me\n"},
        {"plugins/codecs/opus.so", "opus codec\n"},
        {"data/voices.dat", QByteArray(300000, 'w')},
    };
    QVERIFY(writeTree(work.filePath(QStringLiteral("source1")), version1));
    QVERIFY(writeTree(work.filePath(QStringLiteral("source2")), version2));
    ReleaseFixture releases(QStringLiteral(KV3_PUBLISH_EXE),
                            QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der"));
    QVERIFY2(releases.publish(work.filePath(QStringLiteral("source1")), 1, ClientType, mirrorRoot),
             qPrintable(releases.lastOutput()));
    QVERIFY2(releases.publish(work.filePath(QStringLiteral("source2")), 2, ClientType, mirrorRoot,
                              {QStringLiteral("--pack"), QStringLiteral("*.dat"),
                               QStringLiteral("--previous"), mirrorRoot + QStringLiteral("/1")}),
             qPrintable(releases.lastOutput()));

    NginxMirror nginx(mirrorRoot);
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    // The installation: version 1, the updater itself, its settings and the mirror list.
    QVERIFY(writeTree(install, version1));
    QVERIFY(FileBytes::write(install + QStringLiteral("/update.ini"),
                             "; written by the client's installer\n[update]\ndownloadStreams=3\n"));
    QVERIFY(QFile::copy(QStringLiteral(KV3_UPDATE_BINARY), install + QStringLiteral("/update")));
    QVERIFY(FileBytes::write(install + QStringLiteral("/mirrors.ini"),
                             "[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl=" + nginx.baseUrl().toUtf8()
                                 + "\n"));

    // What it must become: version 2, with the updater, its settings (the session record is gone
    // again) and the mirror list as they were, and the folder of the dropped sound left empty.
    const QString expectedRoot = work.filePath(QStringLiteral("expected"));
    QVERIFY(writeTree(expectedRoot, version2));
    QVERIFY(QDir().mkpath(expectedRoot + QStringLiteral("/sounds")));
    QVERIFY(QFile::copy(install + QStringLiteral("/update"), expectedRoot + QStringLiteral("/update")));
    QVERIFY(
        QFile::copy(install + QStringLiteral("/mirrors.ini"), expectedRoot + QStringLiteral("/mirrors.ini")));
    QVERIFY(
        QFile::copy(install + QStringLiteral("/update.ini"), expectedRoot + QStringLiteral("/update.ini")));

    QTemporaryDir temp;
    QVERIFY2(temp.isValid(), qPrintable(temp.errorString()));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), temp.path());
    // Each line with the seconds since the program started.
    environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{time process} %{category}: %{message}"));
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    environment.remove(QStringLiteral("LD_PRELOAD"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(work.path());
    process.start(install + QStringLiteral("/update"),
                  {QStringLiteral("--nouser"), ClientType, QStringLiteral("2")});
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        QFAIL(
            qPrintable("the updater did not end: " + QString::fromLocal8Bit(process.readAllStandardError())));
    }
    const QString log = QString::fromLocal8Bit(process.readAllStandardError());

    QVERIFY2(process.exitStatus() == QProcess::NormalExit, qPrintable(log));
    QVERIFY2(process.exitCode() == 0, qPrintable(log));
    QVERIFY2(log.contains(QLatin1String("kelvaro.update: Update successfully finished")), qPrintable(log));
    // Unattended, the update starts by itself two seconds after start-up.
    const QRegularExpression started(QStringLiteral("^ *([0-9.]+) kelvaro.update: Starting update process$"),
                                     QRegularExpression::MultilineOption);
    const QRegularExpressionMatch start = started.match(log);
    QVERIFY2(start.hasMatch(), qPrintable(log));
    QVERIFY2(start.captured(1).toDouble() >= 2.0, qPrintable(log));
    const TreeSnapshot expected = TreeSnapshot::of(expectedRoot);
    const TreeSnapshot result = TreeSnapshot::of(install);
    QVERIFY2(result == expected, qPrintable(expected.differences(result)));
    // The temporary folder of the run is gone (Qt may leave its runtime folder there).
    const QStringList left = QDir(temp.path())
                                 .entryList({QStringLiteral("kelvaro_temp_*")},
                                            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
    // The client's start script ran, from the installation whose path holds blanks.
    QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo::exists(proof), qPrintable("the client did not start\n" + log),
                              10000);
    QCOMPARE(FileBytes::read(proof), (install + QStringLiteral("/kv3client_runscript.sh\n")).toUtf8());
    QVERIFY2(nginx.accessLog().join(QLatin1Char('\n')).contains(QLatin1String("/2/Kelvaro3.ini.sig")),
             qPrintable(nginx.accessLog().join(QLatin1Char('\n'))));
}

QTEST_MAIN(tst_UpdateEndToEnd)
#include "tst_updateendtoend.moc"

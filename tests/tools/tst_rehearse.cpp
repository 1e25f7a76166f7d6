// kv3-publish rehearse: the real updater, a private nginx and three published versions.

#include "ReleaseFixture.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString publishExe = QStringLiteral(KV3_PUBLISH_EXE);
const QString demoKey = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der");
const QString clientType = QStringLiteral("Kelvaro3");

struct Result
{
    int exitCode = -1;
    QString out;
};

Result runPublish(const QStringList& args)
{
    QProcess process;
    process.start(publishExe, args);
    Result result;
    if (process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput())
        + QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

ReleaseFixture::Tree version(int n)
{
    const QByteArray v = QByteArray::number(n);
    ReleaseFixture::Tree tree = {{QStringLiteral("kv3client_linux_amd64"), "client " + v + "\n"},
                                 {QStringLiteral("lib/libcore.so"), QByteArray(20000, char('a' + n))},
                                 {QStringLiteral("data/common.dat"), "the same in every version\n"},
                                 {QStringLiteral("data/notes #1.txt"), "notes of " + v + "\n"}};
    if (n == 1)
        tree.insert(QStringLiteral("data/only-in-1.txt"), "dropped by version 2\n");
    if (n == 2)
        tree.insert(QStringLiteral("data/only-in-2.txt"), "dropped by version 3\n");
    return tree;
}
} // namespace

class tst_Rehearse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void rehearsal_data();
    void rehearsal();
    void refusesWithoutEarlierVersion();

private:
    // Publishes versions 1 to 3 under mirror; version 3's [delete] section is set to `deletes`
    // by hand and the ini signed again, with `signingKey`.
    bool publishHistory(const QString& base, const ReleaseFixture::Tree& third, const QStringList& deletes,
                        const QString& signingKey, QString* error);
};

void tst_Rehearse::initTestCase()
{
    if (!QFile::exists(QStringLiteral("/usr/sbin/nginx")))
        QSKIP("nginx is not installed (scripts/install-deps.sh)");
}

bool tst_Rehearse::publishHistory(const QString& base, const ReleaseFixture::Tree& third,
                                  const QStringList& deletes, const QString& signingKey, QString* error)
{
    ReleaseFixture fixture(publishExe, demoKey);
    const QString mirror = base + QStringLiteral("/mirror");
    const QStringList pack = {QStringLiteral("--pack"), QStringLiteral("*.so")};
    for (int n = 1; n <= 3; ++n) {
        const QString source = base + QStringLiteral("/client%1").arg(n);
        if (!ReleaseFixture::writeTree(source, n == 3 ? third : version(n))) {
            *error = QStringLiteral("cannot write ") + source;
            return false;
        }
        // Version 3 is published on its own: its [delete] section is the test's.
        const QStringList previous = n == 2
            ? QStringList {QStringLiteral("--previous"), mirror + QStringLiteral("/1")}
            : QStringList();
        if (!fixture.publish(source, n, clientType, mirror, pack + previous)) {
            *error = fixture.lastOutput();
            return false;
        }
    }
    const QString ini = mirror + QStringLiteral("/3/") + clientType + QStringLiteral(".ini");
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.remove(QStringLiteral("delete"));
        for (const QString& path : deletes)
            settings.setValue(QStringLiteral("delete/") + path, QString());
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            *error = QStringLiteral("cannot rewrite ") + ini;
            return false;
        }
    }
    const Result signing = runPublish({QStringLiteral("sign"), QStringLiteral("--key"), signingKey, ini});
    if (signing.exitCode != 0) {
        *error = signing.out;
        return false;
    }
    return true;
}

void tst_Rehearse::rehearsal_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    // Each text must appear in the output.
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("clean history") << QString() << 0
                                   << QStringList {QStringLiteral("  1         ok"),
                                                   QStringLiteral("  2         ok"),
                                                   QStringLiteral("2 rehearsals: 2 ok, 0 failed")};
    QTest::newRow("delete misses a file dropped two versions back")
        << QStringLiteral("delete") << 1
        << QStringList {QStringLiteral("  1         FAILED  data/only-in-1.txt: left over"),
                        QStringLiteral("  2         ok"), QStringLiteral("2 rehearsals: 1 ok, 1 failed")};
    QTest::newRow("a file becomes a folder")
        << QStringLiteral("folder") << 1
        << QStringList {QStringLiteral("  1         ok"),
                        QStringLiteral("  2         FAILED  the update failed"),
                        QStringLiteral("data/only-in-2.txt: a file here, a folder in 3"),
                        QStringLiteral("2 rehearsals: 1 ok, 1 failed")};
    QTest::newRow("signed with another key")
        << QStringLiteral("key") << 1
        << QStringList {QStringLiteral("  1         FAILED  the update failed: Signature check failed for"),
                        QStringLiteral("2 rehearsals: 0 ok, 2 failed")};
}

void tst_Rehearse::rehearsal()
{
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    ReleaseFixture::Tree third = version(3);
    QStringList deletes = {QStringLiteral("data/only-in-1.txt"), QStringLiteral("data/only-in-2.txt")};
    QString key = demoKey;
    if (fault == QLatin1String("delete"))
        deletes.removeOne(QStringLiteral("data/only-in-1.txt"));
    if (fault == QLatin1String("folder")) {
        // What was a file in version 2 holds a file in version 3.
        third.insert(QStringLiteral("data/only-in-2.txt/now-a-folder.txt"), "inside\n");
        deletes.removeOne(QStringLiteral("data/only-in-2.txt"));
    }
    if (fault == QLatin1String("key")) {
        const Result keygen =
            runPublish({QStringLiteral("keygen"), QStringLiteral("--out"), dir.filePath("other")});
        QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.out));
        key = dir.filePath("other/private.der");
    }
    QString error;
    QVERIFY2(publishHistory(dir.path(), third, deletes, key, &error), qPrintable(error));

    const Result rehearsal =
        runPublish({QStringLiteral("rehearse"), QStringLiteral("--root"), dir.filePath("mirror"),
                    QStringLiteral("--type"), clientType, QStringLiteral("--to"), QStringLiteral("3"),
                    QStringLiteral("--timeout"), QStringLiteral("60")});
    QVERIFY2(rehearsal.exitCode == exitCode, qPrintable(rehearsal.out));
    for (const QString& text : std::as_const(expected))
        QVERIFY2(rehearsal.out.contains(text),
                 qPrintable(QStringLiteral("no \"%1\" in:\n%2").arg(text, rehearsal.out)));
}

void tst_Rehearse::refusesWithoutEarlierVersion()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    ReleaseFixture fixture(publishExe, demoKey);
    QVERIFY(ReleaseFixture::writeTree(dir.filePath("client"), version(1)));
    QVERIFY2(fixture.publish(dir.filePath("client"), 1, clientType, dir.filePath("mirror")),
             qPrintable(fixture.lastOutput()));
    const Result first =
        runPublish({QStringLiteral("rehearse"), QStringLiteral("--root"), dir.filePath("mirror"),
                    QStringLiteral("--type"), clientType, QStringLiteral("--to"), QStringLiteral("1")});
    QVERIFY2(first.exitCode == 1 && first.out.contains(QStringLiteral("no earlier version")),
             qPrintable(first.out));
    const Result missing =
        runPublish({QStringLiteral("rehearse"), QStringLiteral("--root"), dir.filePath("mirror"),
                    QStringLiteral("--type"), clientType, QStringLiteral("--to"), QStringLiteral("2"),
                    QStringLiteral("--from"), QStringLiteral("1")});
    QVERIFY2(missing.exitCode == 1 && missing.out.contains(QStringLiteral("version 2: no product ini")),
             qPrintable(missing.out));
}

QTEST_GUILESS_MAIN(tst_Rehearse)
#include "tst_rehearse.moc"

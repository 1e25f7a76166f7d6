// The real `update` binary on an installation where one file cannot be replaced (its folder is
// immutable, chattr +i, which stops root too): the run fails and the installation is rolled
// back byte for byte, modes included; once the folder is writable again a new run completes.

#include "FileBytes.h"
#include "NginxMirror.h"
#include "TreeSnapshot.h"
#include "UpdateScenario.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <unistd.h>

namespace {
constexpr int runTimeoutMs = 120000;
const QStringList toVersion2 = {QStringLiteral("--nouser"), QStringLiteral("Kelvaro3"), QStringLiteral("2")};

bool chattr(const QString& flag, const QString& path)
{
    QProcess process;
    process.start(QStringLiteral("chattr"), {flag, path});
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// Makes a folder immutable for the life of the guard; undone whatever way the test ends, so that
// the scratch folder can be removed.
class Immutable
{
public:
    explicit Immutable(const QString& path)
        : m_path(path)
        , m_set(chattr(QStringLiteral("+i"), path))
    {
    }
    ~Immutable() { release(); }
    bool isSet() const { return m_set; }
    void release()
    {
        if (m_set)
            chattr(QStringLiteral("-i"), m_path);
        m_set = false;
    }

private:
    QString m_path;
    bool m_set;
};

} // namespace

class tst_E2eRollback : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void failingInstallIsRolledBack();
};

void tst_E2eRollback::failingInstallIsRolledBack()
{
    if (geteuid() != 0)
        QSKIP("needs root: chattr +i is what makes a file impossible to replace for root");
    if (NginxMirror::executable().isEmpty())
        QSKIP("nginx is not installed (scripts/install-deps.sh)");
    UpdateScenario scenario;
    QString error;
    QVERIFY2(scenario.setUp({}, &error), qPrintable(error));
    NginxMirror nginx(scenario.mirrorRoot());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    QVERIFY(scenario.writeMirrorsIni(nginx.baseUrl()));
    // Modes of the maker's own choice, which a rollback must give back too.
    const QString root = scenario.installDir();
    QVERIFY(QFile::setPermissions(root + QStringLiteral("/bin/kv3client"),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(QFile::setPermissions(root + QStringLiteral("/data/odd name #1.txt"),
                                  QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    // update.ini exists before the run, so the snapshot and the run agree on the file set; the
    // run adds its session record to it, which is compared apart.
    QVERIFY(scenario.writeUpdateIni("[update]\nstreams=6\n"));
    const TreeSnapshot before = TreeSnapshot::of(root);

    Immutable locked(root + QStringLiteral("/lib"));
    if (!locked.isSet())
        QSKIP("chattr +i is not supported on this file system");
    const UpdateScenario::Run run = scenario.run(toVersion2, runTimeoutMs, {}, [](const QString& log) {
        // Unattended, a failed run ends in a modal box that nobody answers.
        return log.contains(QLatin1String("Update cancelled"));
    });
    locked.release();
    QVERIFY2(run.killed, qPrintable(run.log.right(6000)));
    QVERIFY2(run.log.contains(QStringLiteral("rolling back file updates")), qPrintable(run.log.right(6000)));

    // The failed run keeps its session record for the next run; everything else is exactly as
    // before the run.
    const QByteArray updateIni = FileBytes::read(root + QStringLiteral("/update.ini"));
    QVERIFY2(updateIni.contains("[current]"), updateIni.constData());
    QVERIFY(scenario.writeUpdateIni("[update]\nstreams=6\n"));
    const TreeSnapshot after = TreeSnapshot::of(root);
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QVERIFY(scenario.writeUpdateIni(updateIni));

    // With the folder writable again the update goes through.
    const UpdateScenario::Run again = scenario.run(toVersion2, runTimeoutMs);
    QVERIFY2(again.exitCode == 0, qPrintable(again.log.right(6000)));
    QVERIFY2(scenario.differencesFrom(scenario.newTree()).isEmpty(),
             qPrintable(scenario.differencesFrom(scenario.newTree())));
}

QTEST_GUILESS_MAIN(tst_E2eRollback)
#include "tst_e2erollback.moc"

// The real `update` binary killed with SIGKILL at each stage of an update (product ini download,
// plan, downloads, replacement, deletion, clean-up), then run again against a healthy mirror: the
// installation must converge to exactly version 2, with no "_old_" copies of ordinary files, no
// temporary folder and no session record left.

#include "NginxMirror.h"
#include "UpdateScenario.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

namespace {
constexpr int runTimeoutMs = 180000;
const QStringList toVersion2 = {QStringLiteral("--nouser"), QStringLiteral("Kelvaro3"), QStringLiteral("2")};

QString explain(const UpdateScenario::Run& run)
{
    return QStringLiteral("exit %1%2%3\n%4")
        .arg(run.exitCode)
        .arg(run.timedOut ? QStringLiteral(" (timed out)") : QString())
        .arg(run.killed ? QStringLiteral(" (killed)") : QString())
        .arg(run.log.right(6000));
}

enum Setup { Plain = 0, LargeFiles = 1, ManyDeletions = 2, NewUpdater = 4 };

} // namespace

class tst_E2eCrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void killedRunConverges_data();
    void killedRunConverges();
};

void tst_E2eCrash::initTestCase()
{
    if (NginxMirror::executable().isEmpty())
        QSKIP("nginx is not installed (scripts/install-deps.sh)");
}

void tst_E2eCrash::killedRunConverges_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("slowMirror"); // nginx directives that stretch the stage
    QTest::addColumn<QString>("killAt"); // a log line that marks the stage (regular expression)
    QTest::addColumn<QString>("whenExists"); // and, if given, while this path of the scenario exists
    QTest::addColumn<QString>("whenMissing"); // and, if given, while this one does not
    QTest::addColumn<QString>("notYet"); // a log line of the next stage, which must not have come

    QTest::newRow("product ini download") << int(Plain) << "location ~ \\.ini$ { limit_rate 20; }"
                                          << "Downloading Kelvaro3\\.ini$" << "" << "" << "Compiling download";
    QTest::newRow("plan") << int(LargeFiles) << "" << "Compiling download and replace list" << "" << ""
                          << "Downloading files$";
    QTest::newRow("downloads, first file under way")
        << int(LargeFiles) << "location /2/files/ { limit_rate 2m; }" << "Downloading files/\\S+$" << "" << ""
        << "Starting file updates";
    QTest::newRow("downloads, one file done")
        << int(LargeFiles) << "location /2/files/ { limit_rate 4m; }" << "Downloading files/.* finished$" << ""
        << "" << "Starting file updates";
    // A large file's new version is being written beside the installed one (or has just been
    // exchanged with it).
    QTest::newRow("replacement") << int(LargeFiles) << "" << "add/replace " << "install/assets/_old_large0.pak"
                                 << "" << "Starting deleting files";
    // The updater's own new executable (160 MB) is being written beside the running one.
    QTest::newRow("replacement of the updater itself") << int(NewUpdater) << "" << "add/replace update$" << ""
                                                       << "" << "Starting deleting files";
    // The old copies are deleted last, after the 3000 files version 2 no longer has.
    QTest::newRow("deletion") << int(ManyDeletions) << "" << "Starting deleting files" << "install/bin/_old_kv3client"
                              << "" << "Remove temporary files";
    // The temporary folder, with three large downloads, is being emptied.
    QTest::newRow("clean-up") << int(LargeFiles) << "" << "Remove temporary files" << "" << ""
                              << "Temporary files removed";
}

void tst_E2eCrash::killedRunConverges()
{
    QFETCH(int, setup);
    QFETCH(QString, slowMirror);
    QFETCH(QString, killAt);
    QFETCH(QString, whenExists);
    QFETCH(QString, whenMissing);
    QFETCH(QString, notYet);
    UpdateScenario scenario;
    UpdateScenario::Options options;
    options.largeFiles = setup & LargeFiles;
    options.manyDeletions = setup & ManyDeletions;
    options.newUpdater = setup & NewUpdater;
    QString error;
    QVERIFY2(scenario.setUp(options, &error), qPrintable(error));
    NginxMirror slow(scenario.mirrorRoot());
    if (!slowMirror.isEmpty())
        slow.addServerDirectives(slowMirror);
    QVERIFY2(slow.start(), qPrintable(slow.errorString()));
    QVERIFY(scenario.writeMirrorsIni(slow.baseUrl()));

    const QRegularExpression stage(killAt, QRegularExpression::MultilineOption);
    // For instance a new version being written beside the installed file: "_old_NAME" exists.
    const UpdateScenario::Run killed = scenario.run(toVersion2, runTimeoutMs, [&](const QString& log) {
        return stage.match(log).hasMatch()
            && (whenExists.isEmpty() || QFileInfo::exists(scenario.scratch(whenExists)))
            && (whenMissing.isEmpty() || !QFileInfo::exists(scenario.scratch(whenMissing)));
    });
    QVERIFY2(killed.killed, qPrintable(explain(killed)));
    // The kill landed in the stage: the next one had not begun.
    QVERIFY2(!QRegularExpression(notYet, QRegularExpression::MultilineOption).match(killed.log).hasMatch(),
             qPrintable(explain(killed)));
    // Whenever it was killed, the installation can still run its updater.
    QVERIFY2(QFileInfo(scenario.scratch(QStringLiteral("install/update"))).isExecutable(),
             qPrintable(QStringLiteral("no runnable updater after the kill\n") + explain(killed)));
    slow.stop();

    NginxMirror healthy(scenario.mirrorRoot());
    QVERIFY2(healthy.start(), qPrintable(healthy.errorString()));
    QVERIFY(scenario.writeMirrorsIni(healthy.baseUrl()));
    const UpdateScenario::Run rerun = scenario.run(toVersion2, runTimeoutMs);
    QVERIFY2(rerun.exitCode == 0, qPrintable(explain(rerun)));
    const QString differences = scenario.differencesFrom(scenario.newTree());
    QVERIFY2(differences.isEmpty(), qPrintable(differences + QLatin1Char('\n') + explain(rerun)));
    if (setup & NewUpdater) {
        // The old copy of the updater's own executable is kept by a run (it is the running program)
        // and deleted by the next start.
        const UpdateScenario::Run next = scenario.run(toVersion2, runTimeoutMs);
        QVERIFY2(next.exitCode == 0, qPrintable(explain(next)));
    }
    const QStringList leftovers = scenario.leftovers();
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char('\n')) + QLatin1Char('\n') + explain(rerun)));
}

QTEST_GUILESS_MAIN(tst_E2eCrash)
#include "tst_e2ecrash.moc"

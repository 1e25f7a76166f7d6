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

// Known limits of crash recovery, as this test finds them.
const char* const oldCopiesStay =
    "A killed run leaves behind the '_old_' copies it made: the list of old copies to delete lives only "
    "in the run's memory, and a rerun deletes only the old copies of files it replaces itself; its plan "
    "finds the new files in place and never looks for stray '_old_' copies, which stay for good.";
const char* const updaterGone =
    "Killed after 'update' was moved aside to '_old_update' and before its new copy was in place, the "
    "installation has no updater any more: no rerun can start, and nothing puts '_old_update' back.";
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
    QTest::addColumn<QString>("knownLimit"); // why the rerun cannot converge; empty: it must

    QTest::newRow("product ini download") << int(Plain) << "location ~ \\.ini$ { limit_rate 20; }"
                                          << "Downloading Kelvaro3\\.ini$" << "" << "" << "Compiling download"
                                          << "";
    QTest::newRow("plan") << int(LargeFiles) << "" << "Compiling download and replace list" << "" << ""
                          << "Downloading files$" << "";
    QTest::newRow("downloads, first file under way")
        << int(LargeFiles) << "location /2/files/ { limit_rate 2m; }" << "Downloading files/\\S+$" << "" << ""
        << "Starting file updates" << "";
    QTest::newRow("downloads, one file done")
        << int(LargeFiles) << "location /2/files/ { limit_rate 4m; }" << "Downloading files/.* finished$" << ""
        << "" << "Starting file updates" << "";
    // A large file has been moved aside and its new copy is not in place yet.
    QTest::newRow("replacement") << int(LargeFiles) << "" << "add/replace " << "install/assets/_old_large0.pak"
                                 << "install/assets/large0.pak" << "Starting deleting files" << oldCopiesStay;
    // The updater's own executable has been moved aside and its new copy is not in place yet.
    QTest::newRow("replacement of the updater itself") << int(NewUpdater) << "" << "add/replace update$"
                                                       << "install/_old_update" << "install/update" << "Starting deleting files"
                                                       << updaterGone;
    // The old copies are deleted last, after the 3000 files version 2 no longer has.
    QTest::newRow("deletion") << int(ManyDeletions) << "" << "Starting deleting files" << "install/bin/_old_kv3client"
                              << "" << "Remove temporary files" << "";
    // The temporary folder, with three large downloads, is being emptied.
    QTest::newRow("clean-up") << int(LargeFiles) << "" << "Remove temporary files" << "" << ""
                              << "Temporary files removed" << "";
}

void tst_E2eCrash::killedRunConverges()
{
    QFETCH(int, setup);
    QFETCH(QString, slowMirror);
    QFETCH(QString, killAt);
    QFETCH(QString, whenExists);
    QFETCH(QString, whenMissing);
    QFETCH(QString, notYet);
    QFETCH(QString, knownLimit);
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
    // For instance a file moved aside whose new copy is not in place yet: "_old_NAME" exists, NAME not.
    const UpdateScenario::Run killed = scenario.run(toVersion2, runTimeoutMs, [&](const QString& log) {
        return stage.match(log).hasMatch()
            && (whenExists.isEmpty() || QFileInfo::exists(scenario.scratch(whenExists)))
            && (whenMissing.isEmpty() || !QFileInfo::exists(scenario.scratch(whenMissing)));
    });
    QVERIFY2(killed.killed, qPrintable(explain(killed)));
    // The kill landed in the stage: the next one had not begun.
    QVERIFY2(!QRegularExpression(notYet, QRegularExpression::MultilineOption).match(killed.log).hasMatch(),
             qPrintable(explain(killed)));
    slow.stop();

    NginxMirror healthy(scenario.mirrorRoot());
    QVERIFY2(healthy.start(), qPrintable(healthy.errorString()));
    QVERIFY(scenario.writeMirrorsIni(healthy.baseUrl()));
    const UpdateScenario::Run rerun = scenario.run(toVersion2, runTimeoutMs);
    if (knownLimit == QLatin1String(updaterGone))
        QEXPECT_FAIL("", updaterGone, Abort);
    QVERIFY2(rerun.exitCode == 0, qPrintable(explain(rerun)));
    const QString differences = scenario.differencesFrom(scenario.newTree());
    QVERIFY2(differences.isEmpty(), qPrintable(differences + QLatin1Char('\n') + explain(rerun)));
    const QStringList leftovers = scenario.leftovers();
    const QByteArray reason = knownLimit.toUtf8();
    if (!knownLimit.isEmpty())
        QEXPECT_FAIL("", reason.constData(), Abort);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char('\n')) + QLatin1Char('\n') + explain(rerun)));
}

QTEST_GUILESS_MAIN(tst_E2eCrash)
#include "tst_e2ecrash.moc"

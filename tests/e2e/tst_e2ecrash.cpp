// The real `update` binary killed with SIGKILL at each stage of an update (product ini download,
// plan, downloads, replacement, deletion, clean-up), then run again against a healthy mirror: the
// installation must converge to exactly version 2, with no "_old_" copies of ordinary files, no
// temporary folder and no session record left.

#include "NginxMirror.h"
#include "UpdateScenario.h"

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
    QTest::addColumn<QString>("slowMirror"); // nginx directives that stretch the stage
    QTest::addColumn<QString>("killAt"); // a log line that marks the stage (regular expression)
    QTest::addColumn<QString>("notYet"); // a log line of the next stage, which must not have come
    QTest::newRow("product ini download") << "location ~ \\.ini$ { limit_rate 20; }"
                                          << "Downloading Kelvaro3\\.ini$"
                                          << "Compiling download";
    QTest::newRow("plan") << ""
                          << "Compiling download and replace list"
                          << "Downloading files$";
    QTest::newRow("downloads, first file under way") << "location /2/files/ { limit_rate 2m; }"
                                                     << "Downloading files/\\S+$"
                                                     << "Starting file updates";
    QTest::newRow("downloads, one file done") << "location /2/files/ { limit_rate 4m; }"
                                              << "Downloading files/.* finished$"
                                              << "Starting file updates";
    QTest::newRow("replacement") << ""
                                 << "add/replace "
                                 << "Starting deleting files";
    QTest::newRow("deletion") << ""
                              << "Starting deleting files"
                              << "Remove temporary files";
    QTest::newRow("clean-up") << ""
                              << "Remove temporary files"
                              << "QQQ never";
}

void tst_E2eCrash::killedRunConverges()
{
    QFETCH(QString, slowMirror);
    QFETCH(QString, killAt);
    QFETCH(QString, notYet);
    UpdateScenario scenario;
    QString error;
    QVERIFY2(scenario.setUp({true, true}, &error), qPrintable(error));
    NginxMirror slow(scenario.mirrorRoot());
    if (!slowMirror.isEmpty())
        slow.addServerDirectives(slowMirror);
    QVERIFY2(slow.start(), qPrintable(slow.errorString()));
    QVERIFY(scenario.writeMirrorsIni(slow.baseUrl()));

    const QRegularExpression stage(killAt, QRegularExpression::MultilineOption);
    const UpdateScenario::Run killed = scenario.run(
        toVersion2, runTimeoutMs, [&stage](const QString& log) { return stage.match(log).hasMatch(); });
    QVERIFY2(killed.killed, qPrintable(explain(killed)));
    // The kill landed in the stage: the next one had not begun.
    QVERIFY2(!QRegularExpression(notYet, QRegularExpression::MultilineOption).match(killed.log).hasMatch(),
             qPrintable(explain(killed)));
    slow.stop();

    NginxMirror healthy(scenario.mirrorRoot());
    QVERIFY2(healthy.start(), qPrintable(healthy.errorString()));
    QVERIFY(scenario.writeMirrorsIni(healthy.baseUrl()));
    const UpdateScenario::Run rerun = scenario.run(toVersion2, runTimeoutMs);
    QVERIFY2(rerun.exitCode == 0, qPrintable(explain(rerun)));
    const QString differences = scenario.differencesFrom(scenario.newTree());
    QVERIFY2(differences.isEmpty(), qPrintable(differences + QLatin1Char('\n') + explain(rerun)));
    const QStringList leftovers = scenario.leftovers();
    QVERIFY2(leftovers.isEmpty(),
             qPrintable(leftovers.join(QLatin1Char('\n')) + QLatin1Char('\n') + explain(rerun)));
}

QTEST_GUILESS_MAIN(tst_E2eCrash)
#include "tst_e2ecrash.moc"

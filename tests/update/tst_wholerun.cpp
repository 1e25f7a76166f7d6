#include "../tasks/ImmutablePath.h"
#include "FileBytes.h"
#include "NginxMirror.h"
#include "ReleaseFixture.h"
#include "ScratchInstallation.h"
#include "TestHttpServer.h"
#include "TreeSnapshot.h"
#include "UpdateRun.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include <sys/stat.h>

namespace {

const QString clientType = QStringLiteral("kv3client_linux_amd64");

// Two versions of a client. Version 2 changes the client, a library, a packed data file and the
// updater itself, adds a plug-in in a new nested folder, keeps the run script, the readme and a
// toolkit library, and drops a sound.
const QMap<QString, QByteArray> version1 {
    {"kv3client_linux_amd64", "client 1\n"},
    {"kv3client_runscript.sh", "#!/bin/sh\nexec ./kv3client_linux_amd64\n"},
    {"update", "updater 1\n"},
    {"lib/libvoice.so", "voice 1\n"},
    {"lib/libQtGui.so.4", "toolkit\n"},
    {"readme.txt", "read me\n"},
    {"sounds/old.wav", "an old sound\n"},
    {"data/voices.dat", QByteArray(200000, 'v') + "1"},
};
const QMap<QString, QByteArray> version2 {
    {"kv3client_linux_amd64", "client 2, larger\n"},
    {"kv3client_runscript.sh", "#!/bin/sh\nexec ./kv3client_linux_amd64\n"},
    {"update", "updater 2\n"},
    {"lib/libvoice.so", "voice 2\n"},
    {"lib/libQtGui.so.4", "toolkit\n"},
    {"readme.txt", "read me\n"},
    {"plugins/codecs/opus.so", "opus codec\n"},
    {"data/voices.dat", QByteArray(300000, 'w') + "2"},
};
// Files whose installed copies are executable, as an installation made by the updater has them.
const QStringList executables {"kv3client_linux_amd64", "kv3client_runscript.sh", "update",
                               "lib/libvoice.so",       "lib/libQtGui.so.4",      "plugins/codecs/opus.so"};

bool writeTree(const QString& root, const QMap<QString, QByteArray>& files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (!QDir().mkpath(QFileInfo(path).path()) || !FileBytes::write(path, it.value()))
            return false;
        const QFile::Permissions mode = executables.contains(it.key()) ? QFile::Permissions(0x7755)
                                                                       : QFile::ReadOwner | QFile::WriteOwner
                | QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
        if (!QFile::setPermissions(path, mode))
            return false;
    }
    return true;
}

// The release's mirror path (section/key) of the installed file `relative`, read from the
// published product ini.
QString mirrorPathOf(const QString& productIni, const QString& relative)
{
    QSettings ini(productIni, QSettings::IniFormat);
    for (const QString& group : ini.childGroups()) {
        ini.beginGroup(group);
        for (const QString& key : ini.allKeys()) {
            const QStringList fields = ini.value(key).toString().split(QStringLiteral("::"));
            if (key == relative || (fields.size() == 5 && fields.at(4) == relative)) {
                return group + QLatin1Char('/') + key;
            }
        }
        ini.endGroup();
    }
    return QString();
}

// One scenario's folders: the installation (version 1 unless told otherwise), a mirror root with
// both versions published, the expected result of an update, and the run's temporary directory.
struct World
{
    bool setUp(const QMap<QString, QByteArray>& installed = version1)
    {
        if (!install.isValid() || !work.isValid())
            return false;
        const QString v1 = work.filePath(QStringLiteral("source1"));
        const QString v2 = work.filePath(QStringLiteral("source2"));
        if (!writeTree(v1, version1) || !writeTree(v2, version2) || !writeTree(install.path(), installed))
            return false;
        ReleaseFixture releases(QStringLiteral(KV3_PUBLISH_EXE),
                                QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der"));
        if (!releases.publish(v1, 1, clientType, mirrorRoot())
            || !releases.publish(v2, 2, clientType, mirrorRoot(),
                                 {QStringLiteral("--pack"), QStringLiteral("*.dat"),
                                  QStringLiteral("--previous"), mirrorRoot() + QStringLiteral("/1")})) {
            qWarning("%s", qPrintable(releases.lastOutput()));
            return false;
        }
        // What an update to version 2 must leave: version 2, the mirror list, and the set-aside
        // copy of the updater, which only the next start removes.
        const QString expectedRoot = work.filePath(QStringLiteral("expected"));
        QMap<QString, QByteArray> expectedFiles = version2;
        const bool updaterReplaced =
            installed.value(QStringLiteral("update")) != version2.value(QStringLiteral("update"));
        if (updaterReplaced)
            expectedFiles.insert(QStringLiteral("_old_update"), installed.value(QStringLiteral("update")));
        if (!writeTree(expectedRoot, expectedFiles)
            || (updaterReplaced
                && !QFile::setPermissions(expectedRoot + QStringLiteral("/_old_update"),
                                          QFile::Permissions(0x7755))))
            return false;
        // Deleting a file leaves its folder, empty, in place.
        for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
            if (!QDir().mkpath(QFileInfo(expectedRoot + QLatin1Char('/') + it.key()).path()))
                return false;
        }
        return QDir().mkpath(tempDir());
    }

    QString mirrorRoot() const { return work.filePath(QStringLiteral("mirror")); }
    QString tempDir() const { return work.filePath(QStringLiteral("kelvaro_temp_1")); }
    QString productIni() const
    {
        return mirrorRoot() + QStringLiteral("/2/") + clientType + QStringLiteral(".ini");
    }
    QString mirrorsIni() const { return install.filePath(QStringLiteral("mirrors.ini")); }
    // The expected installation once the mirror list has been written into it.
    TreeSnapshot expected() const
    {
        QFile::copy(mirrorsIni(), work.filePath(QStringLiteral("expected/mirrors.ini")));
        return TreeSnapshot::of(work.filePath(QStringLiteral("expected")));
    }

    std::unique_ptr<UpdateRun> makeRun(const QStringList& urls)
    {
        return std::make_unique<UpdateRun>(clientType, 2, tempDir(), mirrorsIni(), urls);
    }

    ScratchInstallation install;
    QTemporaryDir work;
};

bool passes(const QList<double>& values, double value)
{
    return std::any_of(values.cbegin(), values.cend(), [value](double p) { return qAbs(p - value) < 1e-9; });
}

QString logOf(const UpdateRun& run)
{
    return run.log.join(QLatin1Char('\n'));
}

} // namespace

class tst_WholeRun : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void oldToNew_data();
    void oldToNew();
    void alreadyUpToDateTransfersNothing();
    void failedRunLeavesInstallationUntouched_data();
    void failedRunLeavesInstallationUntouched();
    void resumedRunDoesNotFetchVerifiedFilesAgain();
    void cancelOnceEveryFileIsInPlaceStillFinishes_data();
    void cancelOnceEveryFileIsInPlaceStillFinishes();
    void leftoversAndSpecialFilesGoWithTheNextRun();
    void olderReleaseUnderTheNewPathIsRefused();
};

void tst_WholeRun::initTestCase()
{
    // New files and folders get their modes from the umask; fix it so the expected tree agrees.
    umask(022);
    QVERIFY2(QFileInfo::exists(QStringLiteral(KV3_PUBLISH_EXE)), "kv3-publish has not been built");
}

void tst_WholeRun::oldToNew_data()
{
    QTest::addColumn<bool>("nginx");
    QTest::newRow("scripted mirrors") << false;
    QTest::newRow("nginx") << true;
}

void tst_WholeRun::oldToNew()
{
    QFETCH(bool, nginx);

    World world;
    QVERIFY2(world.setUp(), "the scenario could not be set up");

    std::unique_ptr<NginxMirror> nginxMirror;
    TestHttpServer first;
    TestHttpServer second;
    QStringList urls;
    if (nginx) {
        if (NginxMirror::executable().isEmpty())
            QSKIP("nginx is not installed");
        nginxMirror = std::make_unique<NginxMirror>(world.mirrorRoot());
        QVERIFY2(nginxMirror->start(), qPrintable(nginxMirror->errorString()));
        urls << nginxMirror->baseUrl();
    } else {
        QVERIFY(first.listen() && second.listen());
        first.serveDirectory(world.mirrorRoot());
        second.serveDirectory(world.mirrorRoot());
        urls << first.baseUrl() << second.baseUrl();
    }

    auto run = world.makeRun(urls);
    QVERIFY2(run->isValid(), "the run could not be prepared");
    run->start();
    // Where the whole stands when the replacement and the deletion begin: the stages before them
    // have their full weights by then.
    QMap<QString, double> progressAtStart;
    connect(run->task(), &TaskSpecification::message, this, [&](const QString& text) {
        if (text == QLatin1String("Starting file updates")
            || text == QLatin1String("Starting deleting files"))
            progressAtStart.insert(text, run->task()->progress);
    });
    QTRY_VERIFY_WITH_TIMEOUT(run->ended(), 60000);
    QVERIFY2(run->state() == StateFinished, qPrintable(logOf(*run)));

    const TreeSnapshot expected = world.expected();
    const TreeSnapshot after = TreeSnapshot::of(world.install.path());
    QVERIFY2(after == expected, qPrintable(expected.differences(after)));

    // Progress passes the end of each stage and ends at the whole.
    QVERIFY2(passes(run->progress, 0.1), "progress did not pass 0.1 after the product ini");
    QVERIFY2(passes(run->progress, 0.15), "progress did not pass 0.15 after the plan");
    QCOMPARE(run->progress.constLast(), 1.0);
    QVERIFY2(qFuzzyCompare(progressAtStart.value(QStringLiteral("Starting file updates"), -1.0), 0.55),
             qPrintable(QString::number(progressAtStart.value(QStringLiteral("Starting file updates")))));
    QVERIFY2(qFuzzyCompare(progressAtStart.value(QStringLiteral("Starting deleting files"), -1.0), 0.95),
             qPrintable(QString::number(progressAtStart.value(QStringLiteral("Starting deleting files")))));

    if (!nginx) {
        // Only what changed is fetched, each file once.
        const QStringList changed {"kv3client_linux_amd64", "update", "lib/libvoice.so",
                                   "plugins/codecs/opus.so", "data/voices.dat"};
        for (const QString& file : version2.keys()) {
            const QString path = QStringLiteral("/2/") + mirrorPathOf(world.productIni(), file);
            QVERIFY2(path != QLatin1String("/2/"), qPrintable(file + " is not in the product ini"));
            const int requests = first.requestCount(path) + second.requestCount(path);
            QVERIFY2(requests == (changed.contains(file) ? 1 : 0),
                     qPrintable(QStringLiteral("%1 fetched %2 times").arg(path).arg(requests)));
        }
    }
}

void tst_WholeRun::alreadyUpToDateTransfersNothing()
{
    World world;
    QVERIFY2(world.setUp(version2), "the scenario could not be set up");
    TestHttpServer mirror;
    QVERIFY(mirror.listen());
    mirror.serveDirectory(world.mirrorRoot());
    auto run = world.makeRun({mirror.baseUrl()});
    QVERIFY2(run->isValid(), "the run could not be prepared");
    const TreeSnapshot before = TreeSnapshot::of(world.install.path());

    run->start();
    QTRY_VERIFY_WITH_TIMEOUT(run->ended(), 60000);
    QVERIFY2(run->state() == StateFinished, qPrintable(logOf(*run)));
    QVERIFY(run->task()->fileSpecifications.downloads.isEmpty());
    QVERIFY(run->task()->fileSpecifications.replaces.isEmpty());
    QCOMPARE(mirror.requestLog(),
             (QStringList {"/2/" + clientType + ".ini", "/2/" + clientType + ".ini.sig"}));
    const TreeSnapshot after = TreeSnapshot::of(world.install.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void tst_WholeRun::failedRunLeavesInstallationUntouched_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("expectedState");
    QTest::addColumn<QString>("expectedLine");

    QTest::newRow("bad signature on every mirror")
        << "bad signature" << int(StateErrorCanceled) << "Could not verify the product ini file. Aborting";
    QTest::newRow("corrupt file on every mirror") << "corrupt file" << int(StateErrorCanceled) << "";
    QTest::newRow("a target folder cannot be changed")
        << "immutable folder" << int(StateErrorCanceled) << "rolling back file updates";
    QTest::newRow("user cancel during downloads") << "cancel downloading" << int(StateUserCanceled) << "";
    QTest::newRow("user cancel during replacement")
        << "cancel replacing" << int(StateUserCanceled) << "rolling back file updates";
}

void tst_WholeRun::failedRunLeavesInstallationUntouched()
{
    QFETCH(QString, fault);
    QFETCH(int, expectedState);
    QFETCH(QString, expectedLine);

    World world;
    QVERIFY2(world.setUp(), "the scenario could not be set up");
    TestHttpServer first;
    TestHttpServer second;
    QVERIFY(first.listen() && second.listen());
    first.serveDirectory(world.mirrorRoot());
    second.serveDirectory(world.mirrorRoot());
    auto run = world.makeRun({first.baseUrl(), second.baseUrl()});
    QVERIFY2(run->isValid(), "the run could not be prepared");

    const QString voice =
        QStringLiteral("/2/") + mirrorPathOf(world.productIni(), QStringLiteral("lib/libvoice.so"));
    std::unique_ptr<ImmutablePath> frozen;
    if (fault == QLatin1String("bad signature")) {
        const auto wrong = TestHttpServer::Response::ok(QByteArray(128, '\x5a'));
        first.setResponse(QStringLiteral("/2/") + clientType + QStringLiteral(".ini.sig"), wrong);
        second.setResponse(QStringLiteral("/2/") + clientType + QStringLiteral(".ini.sig"), wrong);
    } else if (fault == QLatin1String("corrupt file")) {
        const auto corrupt = TestHttpServer::Response::ok("voice 2 but not quite\n");
        first.setResponse(voice, corrupt);
        second.setResponse(voice, corrupt);
    } else if (fault == QLatin1String("immutable folder")) {
        frozen = std::make_unique<ImmutablePath>(world.install.filePath(QStringLiteral("lib")));
        if (!frozen->isActive())
            QSKIP("chattr +i is not available on this file system");
    } else if (fault == QLatin1String("cancel downloading")) {
        const auto stalled = TestHttpServer::Response::file(world.mirrorRoot() + voice).stallAfter(3);
        first.setResponse(voice, stalled);
        second.setResponse(voice, stalled);
        auto cancel = [&run] {
            if (!run->task()->isUserCanceled)
                run->task()->userCanceled();
        };
        connect(&first, &TestHttpServer::responseStalled, this, cancel);
        connect(&second, &TestHttpServer::responseStalled, this, cancel);
    }
    int replacing = 0;
    const TreeSnapshot before = TreeSnapshot::of(world.install.path());

    run->start();
    if (fault == QLatin1String("cancel replacing")) {
        // Cancel once the second file is being replaced: the first may already be in place.
        connect(run->task(), &TaskSpecification::message, this, [&](const QString& text) {
            if (text.startsWith(QLatin1String("add/replace")) && ++replacing == 2)
                run->task()->userCanceled();
        });
    }
    QTRY_VERIFY_WITH_TIMEOUT(run->ended(), 120000);
    frozen.reset();

    QVERIFY2(int(run->state()) == expectedState, qPrintable(logOf(*run)));
    if (!expectedLine.isEmpty())
        QVERIFY2(run->log.contains(expectedLine), qPrintable(logOf(*run)));
    const TreeSnapshot after = TreeSnapshot::of(world.install.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QVERIFY2(after.pathsWithNamePrefix(QStringLiteral("_old_")).isEmpty(), "old copies were left behind");
}

void tst_WholeRun::resumedRunDoesNotFetchVerifiedFilesAgain()
{
    World world;
    QVERIFY2(world.setUp(), "the scenario could not be set up");
    TestHttpServer mirror;
    QVERIFY(mirror.listen());
    mirror.serveDirectory(world.mirrorRoot());

    // The first run is cancelled when the downloads are done and the replacement begins.
    auto firstRun = world.makeRun({mirror.baseUrl()});
    QVERIFY2(firstRun->isValid(), "the run could not be prepared");
    const TreeSnapshot before = TreeSnapshot::of(world.install.path());
    firstRun->start();
    connect(firstRun->task(), &TaskSpecification::message, this, [&firstRun](const QString& text) {
        if (text == QLatin1String("Starting file updates"))
            firstRun->task()->userCanceled();
    });
    QTRY_VERIFY_WITH_TIMEOUT(firstRun->ended(), 60000);
    QVERIFY2(firstRun->state() == StateUserCanceled, qPrintable(logOf(*firstRun)));
    const TreeSnapshot afterCancel = TreeSnapshot::of(world.install.path());
    QVERIFY2(afterCancel == before, qPrintable(before.differences(afterCancel) + "\n" + logOf(*firstRun)));
    const int firstRequests = mirror.totalRequests();
    QVERIFY2(firstRequests > 2, "the first run fetched no files");

    // The next run in the same temporary directory finds everything there, verified.
    auto secondRun = world.makeRun({mirror.baseUrl()});
    QVERIFY2(secondRun->isValid(), "the run could not be prepared");
    secondRun->start();
    QTRY_VERIFY_WITH_TIMEOUT(secondRun->ended(), 60000);
    QVERIFY2(secondRun->state() == StateFinished, qPrintable(logOf(*secondRun)));
    QVERIFY2(mirror.totalRequests() == firstRequests,
             qPrintable(QStringLiteral("the resumed run fetched again: %1")
                            .arg(mirror.requestLog().mid(firstRequests).join(QStringLiteral(", ")))));
    const TreeSnapshot expected = world.expected();
    const TreeSnapshot after = TreeSnapshot::of(world.install.path());
    QVERIFY2(after == expected, qPrintable(expected.differences(after)));
}

void tst_WholeRun::cancelOnceEveryFileIsInPlaceStillFinishes_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("the last file is being copied into place") << "copying";
    QTest::newRow("the replacement stage has ended") << "replaced";
    QTest::newRow("the deletion stage starts") << "deleting";
}

void tst_WholeRun::cancelOnceEveryFileIsInPlaceStillFinishes()
{
    // Once every file is in place the new version is installed: a cancel can no longer undo it,
    // and stopping then would only leave the obsolete files and old copies behind for good.
    QFETCH(QString, when);

    // While copying: one file to replace, so that nothing else runs beside it.
    QMap<QString, QByteArray> installed = version1;
    if (when == QLatin1String("copying")) {
        installed = version2;
        installed.insert(QStringLiteral("kv3client_linux_amd64"), "client 1\n");
    }
    World world;
    QVERIFY2(world.setUp(installed), "the scenario could not be set up");
    TestHttpServer mirror;
    QVERIFY(mirror.listen());
    mirror.serveDirectory(world.mirrorRoot());
    auto run = world.makeRun({mirror.baseUrl()});
    QVERIFY2(run->isValid(), "the run could not be prepared");
    run->start();
    MainTaskSpecification* task = run->task();
    QVERIFY(task->subTasks.size() == 5);
    bool cancelled = false;
    TaskState replaceStageAtCancel = StateIdle;
    auto cancel = [&] {
        if (!cancelled) {
            cancelled = true;
            replaceStageAtCancel = task->subTasks.at(3)->state;
            task->userCanceled();
        }
    };
    if (when == QLatin1String("copying")) {
        // The file task builds its sub-tasks right after this message and starts each in a later
        // dispatch. The cancel is queued when the rename has ended, behind the start of the copy:
        // it arrives with the copy handed to the pool and its result not yet delivered.
        auto* replaceStage = qobject_cast<ComposedTaskSpecification*>(task->subTasks.at(3));
        QVERIFY(replaceStage);
        connect(task, &TaskSpecification::message, this, [&, replaceStage](const QString& text) {
            if (text != QLatin1String("add/replace kv3client_linux_amd64"))
                return;
            QMetaObject::invokeMethod(
                this,
                [&, replaceStage] {
                    auto* fileTask = qobject_cast<ComposedTaskSpecification*>(replaceStage->subTasks.last());
                    TaskSpecification* rename = fileTask->subTasks.first();
                    connect(rename, &TaskSpecification::finished, this,
                            [&] { QMetaObject::invokeMethod(this, cancel, Qt::QueuedConnection); });
                },
                Qt::QueuedConnection);
        });
    } else if (when == QLatin1String("replaced")) {
        connect(task->subTasks.at(3), &TaskSpecification::finished, this, cancel);
    } else {
        connect(task, &TaskSpecification::message, this, [&](const QString& text) {
            if (text == QLatin1String("Starting deleting files"))
                cancel();
        });
    }
    QTRY_VERIFY_WITH_TIMEOUT(run->ended(), 60000);
    QVERIFY2(cancelled, "the cancel was never sent");
    QCOMPARE(replaceStageAtCancel, when == QLatin1String("copying") ? StateRunning : StateFinished);
    QVERIFY2(run->state() == StateFinished, qPrintable(logOf(*run)));
    const TreeSnapshot expected = world.expected();
    const TreeSnapshot after = TreeSnapshot::of(world.install.path());
    QVERIFY2(after == expected, qPrintable(expected.differences(after)));
}

void tst_WholeRun::leftoversAndSpecialFilesGoWithTheNextRun()
{
    // An installation as an interrupted run and a careless user leave it: old copies of ordinary
    // files beside unchanged and changed ones, and a FIFO where the readme belongs. The update
    // neither hangs on the FIFO nor keeps any of the leftovers; the updater's own old copy stays
    // for the next start.
    QMap<QString, QByteArray> installed = version1;
    installed.insert(QStringLiteral("_old_kv3client_runscript.sh"), "an old run script\n");
    installed.insert(QStringLiteral("lib/_old_libvoice.so"), "voice 0\n");
    installed.insert(QStringLiteral("_old_update"), "updater 0\n");
    installed.remove(QStringLiteral("readme.txt"));
    World world;
    QVERIFY2(world.setUp(installed), "the scenario could not be set up");
    QVERIFY(
        ::mkfifo(QFile::encodeName(world.install.filePath(QStringLiteral("readme.txt"))).constData(), 0644)
        == 0);
    TestHttpServer mirror;
    QVERIFY(mirror.listen());
    mirror.serveDirectory(world.mirrorRoot());
    auto run = world.makeRun({mirror.baseUrl()});
    QVERIFY2(run->isValid(), "the run could not be prepared");

    run->start();
    QTRY_VERIFY_WITH_TIMEOUT(run->ended(), 60000);
    QVERIFY2(run->state() == StateFinished, qPrintable(logOf(*run)));
    const TreeSnapshot expected = world.expected();
    const TreeSnapshot after = TreeSnapshot::of(world.install.path());
    QVERIFY2(after == expected, qPrintable(expected.differences(after)));
}

void tst_WholeRun::olderReleaseUnderTheNewPathIsRefused()
{
    World world;
    QVERIFY2(world.setUp(), "the scenario could not be set up");
    // A mirror that serves version 1's signed release where version 2 belongs: every byte of it
    // verifies, and installed it would take the client back a version.
    QTemporaryDir staleRoot;
    QVERIFY(staleRoot.isValid());
    const QString from = world.mirrorRoot() + QStringLiteral("/1");
    for (QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        const QString to = staleRoot.filePath(QStringLiteral("2") + path.mid(from.size()));
        QVERIFY(QDir().mkpath(QFileInfo(to).path()) && QFile::copy(path, to));
    }
    TestHttpServer stale;
    TestHttpServer honest;
    QVERIFY(stale.listen() && honest.listen());
    stale.serveDirectory(staleRoot.path());
    honest.serveDirectory(world.mirrorRoot());

    auto run = world.makeRun({stale.baseUrl(), honest.baseUrl()});
    QVERIFY2(run->isValid(), "the run could not be prepared");
    // The stale mirror alone serves the first product ini and its signature; the honest one joins
    // the pool while the signature comes in, so that the refusal has somewhere to go.
    QCOMPARE(run->mirrors.mirrors.size(), 2);
    const FTPSiteAccessData honestEntry = run->mirrors.mirrors.takeLast();
    const FTPSiteAccessData staleEntry = run->mirrors.mirrors.first();
    const QString iniPath = QStringLiteral("/2/") + clientType + QStringLiteral(".ini");
    connect(&stale, &TestHttpServer::requestReceived, this, [&](const QString& path) {
        if (path == iniPath + QStringLiteral(".sig") && run->mirrors.getMirrorIndex(honestEntry.name) < 0)
            run->mirrors.mirrors.append(honestEntry);
    });
    run->start();
    QTRY_VERIFY_WITH_TIMEOUT(run->ended(), 60000);
    QVERIFY2(run->state() == StateFinished, qPrintable(logOf(*run)));

    const QString refusal = QStringLiteral("Product ini on mirror %1 is for %2 version 1, not %2 version 2")
                                .arg(staleEntry.name, clientType);
    QVERIFY2(run->log.contains(refusal), qPrintable(logOf(*run)));
    QVERIFY2(run->mirrors.getMirrorIndex(staleEntry.name) < 0, "the stale mirror is still in the pool");
    const TreeSnapshot expected = world.expected();
    const TreeSnapshot after = TreeSnapshot::of(world.install.path());
    QVERIFY2(after == expected, qPrintable(expected.differences(after)));
    // Nothing but the product ini and its signature came from the stale mirror.
    QCOMPARE(stale.requestLog(), QStringList({iniPath, iniPath + QStringLiteral(".sig")}));
    QCOMPARE(honest.requestCount(iniPath), 1);
}

QTEST_GUILESS_MAIN(tst_WholeRun)
#include "tst_wholerun.moc"

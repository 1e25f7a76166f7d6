#include "../tasks/ImmutablePath.h"
#include "Configuration.h"
#include "DirCreateTaskSpecification.h"
#include "FileBytes.h"
#include "FileReplaceListTaskSpecification.h"
#include "FileReplaceTaskSpecification.h"
#include "GzipBytes.h"
#include "ScratchInstallation.h"
#include "TaskRun.h"
#include "TreeSnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// An installation with some files already in place, and a temporary directory with downloads.
struct Bench
{
    Bench()
    {
        configuration.tempDir = temp.path();
        ok = install.writeFile(QStringLiteral("kv3client_linux_amd64"), "old client").isEmpty()
            && install.writeFile(QStringLiteral("lib/libvoice.so"), "old voice").isEmpty()
            && install.writeFile(QStringLiteral("readme.txt"), "old readme").isEmpty();
    }
    bool isValid() const { return ok && install.isValid() && temp.isValid(); }
    QString installed(const QString& relative) const { return install.filePath(relative); }
    // Plans `relative`, with a download unless `withDownload` is false (then its copy fails).
    bool plan(const QString& relative, bool withDownload = true, const QByteArray& data = QByteArray())
    {
        FileReplaceSpecification spec;
        spec.section = QStringLiteral("client");
        spec.fileName = relative;
        replaces.append(spec);
        const QString path = temp.filePath(relative);
        return !withDownload
            || (QDir().mkpath(QFileInfo(path).path())
                && FileBytes::write(path, data.isEmpty() ? "new " + relative.toUtf8() : data));
    }
    TreeSnapshot snapshot() const { return TreeSnapshot::of(install.path()); }

    ScratchInstallation install;
    QTemporaryDir temp;
    Configuration configuration;
    QList<FileReplaceSpecification> replaces;
    QList<QString> deletes;
    bool ok = false;
};

QString describeSubTasks(const ComposedTaskSpecification& task, const QString& root)
{
    QStringList parts;
    for (TaskSpecification* sub : task.subTasks) {
        QString what;
        if (auto* dir = qobject_cast<DirCreateTaskSpecification*>(sub))
            what = QStringLiteral("dir ") + QDir(root).relativeFilePath(dir->path);
        else if (auto* file = qobject_cast<FileReplaceTaskSpecification*>(sub))
            what = QStringLiteral("file ") + file->spec.fileName;
        parts << QStringLiteral("%1 %2").arg(what, QString::number(sub->parentProgressRange, 'f', 4));
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

class tst_FileReplaceList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void emptyListFinishesAtOnce();
    void directoriesFirstInSortedOrder_data();
    void directoriesFirstInSortedOrder();
    void failureStopsAndUndoesEverything_data();
    void failureStopsAndUndoesEverything();
    void journalHoldsCompletedFilesInOrderOfCompletion();
    void immutableTargetFolderLeavesInstallationAsItWas();
    void userCancelUndoesEverything();
    void resetUndoesACompletedInstallation();
    void oneInstalledNameTwiceIsRefused_data();
    void oneInstalledNameTwiceIsRefused();
};

void tst_FileReplaceList::emptyListFinishesAtOnce()
{
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch installation");
    FileReplaceListTaskSpecification task(&bench.replaces, &bench.deletes, &bench.configuration, nullptr,
                                          0.4);
    TaskRun run(&task);
    task.execute();
    QCOMPARE(run.finished.count(), 1);
    QVERIFY(task.subTasks.isEmpty());
    QCOMPARE(task.progress, 0.4);
    QCOMPARE(run.messageTexts(), QStringList {"Starting file updates"});
}

void tst_FileReplaceList::directoriesFirstInSortedOrder_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("expectedSubTasks");

    QTest::newRow("all folders exist")
        << QStringList {"readme.txt", "lib/libvoice.so", "kv3client_linux_amd64", "lib/libnew.so"}
        << "file readme.txt 0.2500, file lib/libvoice.so 0.2500, file kv3client_linux_amd64 0.2500, "
           "file lib/libnew.so 0.2500";
    QTest::newRow("nested new folders")
        << QStringList {"plugins/codecs/a.so", "plugins/codecs/b.so", "plugins/c.so"}
        << "dir plugins 0.0500, dir plugins/codecs 0.0500, file plugins/codecs/a.so 0.3000, "
           "file plugins/codecs/b.so 0.3000, file plugins/c.so 0.3000";
    // Only the folder that holds a file is planned; its missing ancestors come with it.
    QTest::newRow("deep folder alone")
        << QStringList {"a/b/c/deep.txt", "readme.txt"}
        << "dir a/b/c 0.1000, file a/b/c/deep.txt 0.4500, file readme.txt 0.4500";
    QTest::newRow("sorted with case")
        << QStringList {"b/x", "B/y", "a/z"}
        << "dir B 0.0333, dir a 0.0333, dir b 0.0333, file b/x 0.3000, file B/y 0.3000, file a/z 0.3000";
}

void tst_FileReplaceList::directoriesFirstInSortedOrder()
{
    QFETCH(QStringList, files);
    QFETCH(QString, expectedSubTasks);

    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch installation");
    for (const QString& file : files)
        QVERIFY(bench.plan(file));

    FileReplaceListTaskSpecification task(&bench.replaces, &bench.deletes, &bench.configuration, nullptr,
                                          1.0);
    TaskRun run(&task);
    task.execute();
    QCOMPARE(describeSubTasks(task, bench.install.path()), expectedSubTasks);
    QTRY_VERIFY2(run.ended(), "the list did not end");
    QVERIFY2(run.finished.count() == 1, qPrintable(run.log()));
    for (const QString& file : files)
        QCOMPARE(FileBytes::read(bench.installed(file)), "new " + file.toUtf8());
}

void tst_FileReplaceList::failureStopsAndUndoesEverything_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("failing");
    QTest::addColumn<QStringList>("neverStarted");

    // Two run at once: when the second fails, the first may still be running; the third never starts.
    QTest::newRow("second of three") << QStringList {"plugins/big.so", "plugins/broken.so", "readme.txt"} << 1
                                     << QStringList {"readme.txt"};
    QTest::newRow("last of four") << QStringList {"lib/libvoice.so", "new/one.txt", "kv3client_linux_amd64",
                                                  "new/sub/two.txt"}
                                  << 3 << QStringList {};
    QTest::newRow("first of four") << QStringList {"new/one.txt", "lib/libvoice.so", "kv3client_linux_amd64",
                                                   "readme.txt"}
                                   << 0 << QStringList {"kv3client_linux_amd64", "readme.txt"};
}

void tst_FileReplaceList::failureStopsAndUndoesEverything()
{
    QFETCH(QStringList, files);
    QFETCH(int, failing);
    QFETCH(QStringList, neverStarted);

    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch installation");
    for (int i = 0; i < files.size(); ++i)
        QVERIFY(bench.plan(files.at(i), i != failing, i == 0 ? QByteArray(8 << 20, 'b') : QByteArray()));
    const TreeSnapshot before = bench.snapshot();

    FileReplaceListTaskSpecification task(&bench.replaces, &bench.deletes, &bench.configuration, nullptr,
                                          1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the list did not end");

    QCOMPARE(task.state, StateErrorCanceled);
    QVERIFY2(run.messageTexts().contains(QStringLiteral("rolling back file updates")), qPrintable(run.log()));
    for (const QString& warning : run.messageTexts())
        QVERIFY2(!warning.startsWith(QLatin1String("warning")), qPrintable(run.log()));
    for (TaskSpecification* sub : std::as_const(task.subTasks)) {
        auto* file = qobject_cast<FileReplaceTaskSpecification*>(sub);
        if (file && neverStarted.contains(file->spec.fileName))
            QVERIFY2(file->state == StateIdle, qPrintable(file->spec.fileName + " was started"));
    }
    const TreeSnapshot after = bench.snapshot();
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QVERIFY2(task.rollbackList.entries.isEmpty(), "the journal was not undone");
}

void tst_FileReplaceList::journalHoldsCompletedFilesInOrderOfCompletion()
{
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch installation");
    const QStringList files {"new/a.txt", "lib/libvoice.so", "new/b.txt", "readme.txt", "missing.txt"};
    for (const QString& file : files)
        QVERIFY(bench.plan(file, file != QLatin1String("missing.txt")));

    FileReplaceListTaskSpecification task(&bench.replaces, &bench.deletes, &bench.configuration, nullptr,
                                          1.0);
    TaskRun run(&task);
    QStringList completed;
    QStringList journalAtRollback;
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (text != QLatin1String("rolling back file updates"))
            return;
        const QDir root(bench.install.path());
        for (const RollbackData& entry : std::as_const(task.rollbackList.entries))
            journalAtRollback
                << QStringLiteral("%1 %2").arg(int(entry.operation)).arg(root.relativeFilePath(entry.path));
    });
    task.execute();
    for (TaskSpecification* sub : std::as_const(task.subTasks)) {
        if (auto* file = qobject_cast<FileReplaceTaskSpecification*>(sub))
            connect(file, &TaskSpecification::finished, this,
                    [&completed, file] { completed << file->spec.fileName; });
    }
    QTRY_VERIFY2(run.ended(), "the list did not end");
    QCOMPARE(task.state, StateErrorCanceled);

    // The created folder, then every completed file's steps in the order the files completed: the
    // rollback, which undoes newest first, thus puts back files in reverse order of completion.
    const QStringList installedBefore {"lib/libvoice.so", "readme.txt"};
    QStringList expected {QStringLiteral("2 new")};
    for (const QString& file : std::as_const(completed)) {
        FileReplaceSpecification spec;
        spec.fileName = file;
        // An installed file: its new version created under the old-copy name, then exchanged.
        if (installedBefore.contains(file))
            expected << QStringLiteral("1 ") + spec.oldDestFileName() << QStringLiteral("3 ") + file;
        else
            expected << QStringLiteral("1 ") + file;
    }
    QCOMPARE(completed.size(), 4);
    QCOMPARE(journalAtRollback, expected);
}

void tst_FileReplaceList::immutableTargetFolderLeavesInstallationAsItWas()
{
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch installation");
    for (const char* file : {"new/one.txt", "readme.txt", "lib/libvoice.so", "kv3client_linux_amd64"})
        QVERIFY(bench.plan(QString::fromLatin1(file)));
    const TreeSnapshot before = bench.snapshot();

    ImmutablePath frozen(bench.installed(QStringLiteral("lib")));
    if (!frozen.isActive())
        QSKIP("chattr +i is not available on this file system");
    FileReplaceListTaskSpecification task(&bench.replaces, &bench.deletes, &bench.configuration, nullptr,
                                          1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the list did not end");

    QCOMPARE(task.state, StateErrorCanceled);
    const QString copy = QStringLiteral("Could not copy '%1' to '%2'")
                             .arg(bench.temp.filePath(QStringLiteral("lib/libvoice.so")),
                                  bench.installed(QStringLiteral("lib/_old_libvoice.so")));
    QVERIFY2(run.messageTexts().contains(copy), qPrintable(run.log()));
    const TreeSnapshot after = bench.snapshot();
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QVERIFY2(after.pathsWithNamePrefix(QStringLiteral("_old_")).isEmpty(), "old copies were left behind");
}

void tst_FileReplaceList::userCancelUndoesEverything()
{
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch installation");
    for (const char* file : {"new/one.txt", "readme.txt", "lib/libvoice.so", "kv3client_linux_amd64"})
        QVERIFY(bench.plan(QString::fromLatin1(file)));
    const TreeSnapshot before = bench.snapshot();

    FileReplaceListTaskSpecification task(&bench.replaces, &bench.deletes, &bench.configuration, nullptr,
                                          1.0);
    TaskRun run(&task);
    task.execute();
    // The first file task to finish triggers the cancel: it is complete, another may be running.
    for (TaskSpecification* sub : std::as_const(task.subTasks)) {
        if (qobject_cast<FileReplaceTaskSpecification*>(sub))
            connect(sub, &TaskSpecification::finished, &task, [&task] {
                if (!task.isUserCanceled)
                    task.userCanceled();
            });
    }
    QTRY_VERIFY2(run.ended(), "the list did not end");

    QCOMPARE(task.state, StateUserCanceled);
    QVERIFY2(run.messageTexts().contains(QStringLiteral("rolling back file updates")), qPrintable(run.log()));
    QCOMPARE(task.subTasks.constLast()->state, StateIdle);
    const TreeSnapshot after = bench.snapshot();
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void tst_FileReplaceList::resetUndoesACompletedInstallation()
{
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch installation");
    for (const char* file : {"new/deeper/one.txt", "readme.txt", "lib/libvoice.so"})
        QVERIFY(bench.plan(QString::fromLatin1(file)));
    const TreeSnapshot before = bench.snapshot();

    FileReplaceListTaskSpecification task(&bench.replaces, &bench.deletes, &bench.configuration, nullptr,
                                          1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the list did not end");
    QCOMPARE(task.state, StateFinished);
    QList<QString> queued = bench.deletes;
    std::sort(queued.begin(), queued.end());
    QCOMPARE(queued, (QList<QString> {"_old_readme.txt", "lib/_old_libvoice.so"}));

    task.reset();
    const TreeSnapshot after = bench.snapshot();
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void tst_FileReplaceList::oneInstalledNameTwiceIsRefused_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second"); // "<download> > <installed name>" for a packed entry
    QTest::addColumn<QString>("installed");

    QTest::newRow("same file twice") << "readme.txt"
                                     << "readme.txt"
                                     << "readme.txt";
    QTest::newRow("plain, then packed onto the same name") << "readme.txt"
                                                           << "readme.txt.gz > readme.txt"
                                                           << "readme.txt";
    QTest::newRow("new file, plain and packed") << "new/tool"
                                                << "new/tool.gz > new/tool"
                                                << "new/tool";
    QTest::newRow("one name spelled two ways") << "lib/libvoice.so"
                                               << "lib//libvoice.so"
                                               << "lib/libvoice.so";
}

void tst_FileReplaceList::oneInstalledNameTwiceIsRefused()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, installed);

    // The second task for a name starts once the first has replaced it, while a large file still
    // runs beside it: it takes the first one's old copy, which is the installed file, for a stale
    // one and deletes it. When a later file then fails, nothing can put the installed file back.
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch installation");
    QVERIFY(bench.plan(first));
    QVERIFY(bench.plan(QStringLiteral("big.bin"), true, QByteArray(32 << 20, 'b')));
    const QStringList packed = second.split(QStringLiteral(" > "));
    if (packed.size() == 2) {
        const QByteArray content("the packed version");
        FileReplaceSpecification spec;
        spec.section = QStringLiteral("client");
        spec.fileName = packed.at(0);
        spec.unzipFileName = packed.at(1);
        spec.unzipMd5 =
            QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
        bench.replaces.append(spec);
        QVERIFY(FileBytes::write(bench.temp.filePath(spec.fileName), GzipBytes::pack(content)));
    } else {
        QVERIFY(bench.plan(second));
    }
    QVERIFY(bench.plan(QStringLiteral("missing.txt"), false));
    const TreeSnapshot before = bench.snapshot();

    FileReplaceListTaskSpecification task(&bench.replaces, &bench.deletes, &bench.configuration, nullptr,
                                          1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the list did not end");

    QCOMPARE(task.state, StateErrorCanceled);
    const TreeSnapshot after = bench.snapshot();
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    const QString refusal = QStringLiteral("Could not replace '%1': the update names it more than once")
                                .arg(bench.installed(installed));
    QVERIFY2(run.messageTexts().contains(refusal), qPrintable(run.log()));
    QVERIFY2(bench.deletes.isEmpty(), "an old copy was queued for deletion");
}

QTEST_GUILESS_MAIN(tst_FileReplaceList)
#include "tst_filereplacelist.moc"

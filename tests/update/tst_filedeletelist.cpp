#include "Configuration.h"
#include "FileDeleteListTaskSpecification.h"
#include "InstallationSyncTaskSpecification.h"
#include "ScratchInstallation.h"
#include "TreeSnapshot.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

class tst_FileDeleteList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void deletesWhatExistsAndSkipsTheRest_data();
    void deletesWhatExistsAndSkipsTheRest();
    void userCancelLeavesTheRest();
    void installationIsOnDiskBeforeTheFirstDeletion();
    void failedFlushDeletesNothing();
};

void tst_FileDeleteList::deletesWhatExistsAndSkipsTheRest_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("deletes");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("empty list") << QStringList {"keep.txt"} << QStringList {} << QStringList {"keep.txt"};
    QTest::newRow("missing file and an old copy")
        << QStringList {"_old_x", "x"} << QStringList {"gone/missing.txt", "_old_x"} << QStringList {"x"};
    QTest::newRow("nested paths, folders stay")
        << QStringList {"lib/_old_liba.so", "lib/liba.so", "plugins/old.so"}
        << QStringList {"plugins/old.so", "lib/_old_liba.so"}
        << QStringList {"lib", "lib/liba.so", "plugins"};
    // A folder is not a file: it is passed over, never removed with its content.
    QTest::newRow("folder named in the list")
        << QStringList {"data/inner.txt"} << QStringList {"data"} << QStringList {"data", "data/inner.txt"};
    QTest::newRow("same entry twice")
        << QStringList {"a", "b"} << QStringList {"a", "a"} << QStringList {"b"};
}

void tst_FileDeleteList::deletesWhatExistsAndSkipsTheRest()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, deletes);
    QFETCH(QStringList, remaining);

    ScratchInstallation install;
    QVERIFY2(install.isValid(), qPrintable(install.errorString()));
    for (const QString& file : present)
        QVERIFY(install.writeFile(file).isEmpty());

    QList<QString> list = deletes;
    FileDeleteListTaskSpecification task(&list, nullptr, 0.05);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QTRY_COMPARE(finished.count(), 1);

    QCOMPARE(task.progress, 0.05);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Starting deleting files"));
    QCOMPARE(TreeSnapshot::of(install.path()).paths(), remaining);
}

void tst_FileDeleteList::userCancelLeavesTheRest()
{
    ScratchInstallation install;
    QVERIFY2(install.isValid(), qPrintable(install.errorString()));
    const QStringList files {"a", "b", "c", "d"};
    for (const QString& file : files)
        QVERIFY(install.writeFile(file).isEmpty());

    QList<QString> list = files;
    FileDeleteListTaskSpecification task(&list, nullptr, 1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    // Sub-task 0 puts the installation on disk; 1 and 2 delete "a" and "b".
    connect(task.subTasks.at(2), &TaskSpecification::finished, &task, [&task] { task.userCanceled(); });
    QTRY_COMPARE(canceled.count(), 1);

    QCOMPARE(task.state, StateUserCanceled);
    QCOMPARE(TreeSnapshot::of(install.path()).paths(), (QStringList {"c", "d"}));
}

void tst_FileDeleteList::installationIsOnDiskBeforeTheFirstDeletion()
{
    ScratchInstallation install;
    QVERIFY2(install.isValid(), qPrintable(install.errorString()));
    QVERIFY(install.writeFile(QStringLiteral("lib/_old_a.so")).isEmpty());
    QVERIFY(install.writeFile(QStringLiteral("lib/a.so")).isEmpty());

    QList<QString> list {QStringLiteral("lib/_old_a.so")};
    FileDeleteListTaskSpecification task(&list, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QCOMPARE(task.subTasks.size(), 2);
    auto* sync = qobject_cast<InstallationSyncTaskSpecification*>(task.subTasks.at(0));
    QVERIFY2(sync, "the first sub-task does not flush the installation");
    QCOMPARE(sync->root, install.path());
    // The old copy is still there for as long as the flush runs.
    TaskState syncStateAtDeletion = StateIdle;
    bool oldCopyThereAfterSync = false;
    connect(sync, &TaskSpecification::finished, &task, [&] {
        oldCopyThereAfterSync = QFileInfo::exists(install.filePath(QStringLiteral("lib/_old_a.so")));
    });
    connect(task.subTasks.at(1), &TaskSpecification::finished, &task,
            [&] { syncStateAtDeletion = sync->state; });
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(oldCopyThereAfterSync);
    QCOMPARE(syncStateAtDeletion, StateFinished);
    QCOMPARE(TreeSnapshot::of(install.path()).paths(), (QStringList {"lib", "lib/a.so"}));
}

void tst_FileDeleteList::failedFlushDeletesNothing()
{
    ScratchInstallation install;
    QVERIFY2(install.isValid(), qPrintable(install.errorString()));
    // The installation folder cannot be opened to be flushed: its files may not be on disk.
    const QString missing = install.filePath(QStringLiteral("gone"));
    Configuration::setAppRootPathOverride(missing);
    QList<QString> list {QStringLiteral("_old_x")};
    FileDeleteListTaskSpecification task(&list, nullptr, 1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QTRY_COMPARE(canceled.count(), 1);
    Configuration::setAppRootPathOverride(install.path());

    QCOMPARE(task.state, StateErrorCanceled);
    QVERIFY2(messages.count() == 2
                 && messages.at(1).at(0).toString().startsWith(
                     QStringLiteral("Could not open %1 to flush it to disk: ").arg(missing)),
             qPrintable(messages.count() > 1 ? messages.at(1).at(0).toString() : QString()));
    // The deletion never started.
    QCOMPARE(task.subTasks.size(), 2);
    QCOMPARE(task.subTasks.at(1)->state, StateIdle);
}

QTEST_GUILESS_MAIN(tst_FileDeleteList)
#include "tst_filedeletelist.moc"

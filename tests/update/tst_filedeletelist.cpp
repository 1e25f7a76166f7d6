#include "FileDeleteListTaskSpecification.h"
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
    connect(task.subTasks.at(1), &TaskSpecification::finished, &task, [&task] { task.userCanceled(); });
    QTRY_COMPARE(canceled.count(), 1);

    QCOMPARE(task.state, StateUserCanceled);
    QCOMPARE(TreeSnapshot::of(install.path()).paths(), (QStringList {"c", "d"}));
}

QTEST_GUILESS_MAIN(tst_FileDeleteList)
#include "tst_filedeletelist.moc"

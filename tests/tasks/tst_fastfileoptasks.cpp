#include "DirCreateTaskSpecification.h"
#include "FileDeleteTaskSpecification.h"
#include "FileRenameTaskSpecification.h"
#include "ImmutablePath.h"
#include "RollbackDataList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// What a quick operation reported: its end state, messages and errors, all seen by the time
// execute() returned.
struct Outcome
{
    explicit Outcome(TaskSpecification* task)
        : messages(task, &TaskSpecification::message)
        , errors(task, &TaskSpecification::error)
        , finished(task, &TaskSpecification::finished)
        , canceled(task, &TaskSpecification::canceled)
    {
    }
    QStringList messageTexts() const
    {
        QStringList texts;
        for (const QList<QVariant>& args : messages)
            texts << args.at(0).toString();
        return texts;
    }
    QSignalSpy messages;
    QSignalSpy errors;
    QSignalSpy finished;
    QSignalSpy canceled;
};

QStringList journalPaths(const RollbackDataList& journal, const QString& root)
{
    QStringList paths;
    for (const RollbackData& entry : journal.entries)
        paths
            << QStringLiteral("%1:%2").arg(int(entry.operation)).arg(QDir(root).relativeFilePath(entry.path));
    return paths;
}

} // namespace

class tst_FastFileOpTasks : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void createNestedDirsAndRollBack();
    void createDir_data();
    void createDir();
    void createDirIntoImmutableParent();
    void deleteFile_data();
    void deleteFile();
    void deleteUndeletableFile_data();
    void deleteUndeletableFile();
    void renameFile_data();
    void renameFile();
    void neverRenamesThroughDanglingLink_data();
    void neverRenamesThroughDanglingLink();
};

void tst_FastFileOpTasks::createNestedDirsAndRollBack()
{
    QTemporaryDir root;
    QVERIFY2(root.isValid(), qPrintable(root.errorString()));
    RollbackDataList journal;
    DirCreateTaskSpecification task(root.filePath(QStringLiteral("a/b/c")), &journal, nullptr, 0.1);
    Outcome outcome(&task);
    task.execute();
    QCOMPARE(outcome.finished.size(), 1);
    QCOMPARE(task.state, StateFinished);
    QVERIFY(QFileInfo(root.filePath(QStringLiteral("a/b/c"))).isDir());
    QCOMPARE(journalPaths(journal, root.path()),
             QStringList({QStringLiteral("2:a"), QStringLiteral("2:a/b"), QStringLiteral("2:a/b/c")}));

    // Innermost first: outermost first would meet a directory that is not empty yet.
    QSignalSpy warnings(&task, &TaskSpecification::message);
    QVERIFY(journal.rollback(&task));
    QCOMPARE(warnings.size(), 0);
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("a"))));
    QVERIFY(QFileInfo(root.path()).isDir());
}

void tst_FastFileOpTasks::createDir_data()
{
    QTest::addColumn<QStringList>("dirs"); // made before, relative to the root
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("target"); // relative to the root; "=name": used as it stands
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("message"); // %T the target, %R the root
    QTest::addColumn<QStringList>("journal");

    const QString longName(300, QLatin1Char('n'));
    QTest::newRow("existing dir") << QStringList {QStringLiteral("a/b")} << QStringList {}
                                  << QStringLiteral("a/b") << true << QString() << QStringList {};
    QTest::newRow("one level") << QStringList {} << QStringList {} << QStringLiteral("new") << true
                               << QString() << QStringList {QStringLiteral("2:new")};
    QTest::newRow("trailing slash") << QStringList {} << QStringList {} << QStringLiteral("x/y/") << true
                                    << QString()
                                    << QStringList {QStringLiteral("2:x"), QStringLiteral("2:x/y")};
    QTest::newRow("file where the dir must go")
        << QStringList {} << QStringList {QStringLiteral("plugins")} << QStringLiteral("plugins") << false
        << QStringLiteral("Could not create dir '%T' because it already exists and is not a dir")
        << QStringList {};
    QTest::newRow("file where an ancestor must go")
        << QStringList {} << QStringList {QStringLiteral("lib")} << QStringLiteral("lib/sub") << false
        << QStringLiteral("unable to create dir %R/lib/sub") << QStringList {};
    QTest::newRow("bare name") << QStringList {} << QStringList {} << QStringLiteral("=kv3_no_such_dir_here")
                               << false << QStringLiteral("Could not create dir kv3_no_such_dir_here")
                               << QStringList {};
    QTest::newRow("bare name, nested")
        << QStringList {} << QStringList {} << QStringLiteral("=kv3_no_such_dir/x") << false
        << QStringLiteral("Could not create dir kv3_no_such_dir/x") << QStringList {};
    // The ancestor made on the way keeps its entry, so that a rollback removes it.
    QTest::newRow("level fails after an ancestor was made")
        << QStringList {} << QStringList {} << QStringLiteral("a/") + longName + QStringLiteral("/c") << false
        << QStringLiteral("unable to create dir %R/a/") + longName << QStringList {QStringLiteral("2:a")};
}

void tst_FastFileOpTasks::createDir()
{
    QFETCH(QStringList, dirs);
    QFETCH(QStringList, files);
    QFETCH(QString, target);
    QFETCH(bool, ok);
    QFETCH(QString, message);
    QFETCH(QStringList, journal);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (const QString& d : std::as_const(dirs))
        QVERIFY(QDir(root.path()).mkpath(d));
    for (const QString& f : std::as_const(files))
        QVERIFY(writeFile(root.filePath(f), "file"));
    const QString path =
        target.startsWith(QLatin1Char('=')) ? target.mid(1) : root.path() + QLatin1Char('/') + target;

    RollbackDataList entries;
    DirCreateTaskSpecification task(path, &entries, nullptr, 1.0);
    Outcome outcome(&task);
    task.execute();
    QCOMPARE(task.state, ok ? StateFinished : StateErrorCanceled);
    QCOMPARE(outcome.finished.size() + outcome.canceled.size(), 1);
    QCOMPARE(outcome.errors.size(), 0);
    QString expectedMessage = message;
    expectedMessage.replace(QLatin1String("%T"), path).replace(QLatin1String("%R"), root.path());
    QCOMPARE(outcome.messageTexts(), message.isEmpty() ? QStringList {} : QStringList {expectedMessage});
    QCOMPARE(journalPaths(entries, root.path()), journal);
    if (ok)
        QVERIFY(QFileInfo(path).isDir());
    QVERIFY(entries.rollback(nullptr));
}

void tst_FastFileOpTasks::createDirIntoImmutableParent()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString locked = root.filePath(QStringLiteral("locked"));
    QVERIFY(QDir(root.path()).mkdir(QStringLiteral("locked")));
    ImmutablePath guard(locked);
    if (!guard.isActive())
        QSKIP("chattr +i is not available here");
    RollbackDataList journal;
    DirCreateTaskSpecification task(locked + QStringLiteral("/sub"), &journal, nullptr, 1.0);
    Outcome outcome(&task);
    task.execute();
    QCOMPARE(task.state, StateErrorCanceled);
    QCOMPARE(outcome.messageTexts(), QStringList {QStringLiteral("unable to create dir %1/sub").arg(locked)});
    QVERIFY(journal.entries.isEmpty());
}

void tst_FastFileOpTasks::deleteFile_data()
{
    QTest::addColumn<bool>("failOnError");
    QTest::addColumn<QString>("present"); // "file", "dir" or "none"
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("explained");
    QTest::newRow("file") << false << QStringLiteral("file") << true << false;
    QTest::newRow("file, strict") << true << QStringLiteral("file") << true << false;
    QTest::newRow("missing") << false << QStringLiteral("none") << true << false;
    QTest::newRow("missing, strict") << true << QStringLiteral("none") << false << true;
    QTest::newRow("folder where the file was") << false << QStringLiteral("dir") << true << false;
    QTest::newRow("folder where the file was, strict") << true << QStringLiteral("dir") << false << true;
}

void tst_FastFileOpTasks::deleteFile()
{
    QFETCH(bool, failOnError);
    QFETCH(QString, present);
    QFETCH(bool, ok);
    QFETCH(bool, explained);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString path = root.filePath(QStringLiteral("_old_client"));
    if (present == QLatin1String("file"))
        QVERIFY(writeFile(path, "old"));
    else if (present == QLatin1String("dir"))
        QVERIFY(QDir(root.path()).mkdir(QStringLiteral("_old_client")));

    FileDeleteTaskSpecification task(failOnError, path, nullptr, 0.5);
    QCOMPARE(task.rollbackList, nullptr);
    Outcome outcome(&task);
    task.execute();
    QCOMPARE(task.state, ok ? StateFinished : StateErrorCanceled);
    QCOMPARE(outcome.finished.size() + outcome.canceled.size(), 1);
    QCOMPARE(outcome.errors.size(), 0);
    QCOMPARE(outcome.messageTexts(),
             explained ? QStringList {QStringLiteral("Could not delete '%1'").arg(path)} : QStringList {});
    if (present == QLatin1String("file"))
        QVERIFY(!QFileInfo::exists(path));
    if (present == QLatin1String("dir"))
        QVERIFY2(QFileInfo(path).isDir(), "a folder is never removed by a file deletion");
}

void tst_FastFileOpTasks::deleteUndeletableFile_data()
{
    QTest::addColumn<bool>("failOnError");
    QTest::newRow("lenient") << false;
    QTest::newRow("strict") << true;
}

void tst_FastFileOpTasks::deleteUndeletableFile()
{
    QFETCH(bool, failOnError);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString path = root.filePath(QStringLiteral("stuck"));
    QVERIFY(writeFile(path, "data"));
    ImmutablePath guard(path);
    if (!guard.isActive())
        QSKIP("chattr +i is not available here");
    FileDeleteTaskSpecification task(failOnError, path, nullptr, 1.0);
    Outcome outcome(&task);
    task.execute();
    QCOMPARE(task.state, failOnError ? StateErrorCanceled : StateFinished);
    QCOMPARE(outcome.messages.size(), failOnError ? 1 : 0);
    QVERIFY(QFileInfo::exists(path));
}

void tst_FastFileOpTasks::renameFile_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<bool>("destExists");
    QTest::addColumn<bool>("withJournal");
    QTest::addColumn<bool>("ok");
    QTest::newRow("set aside, journalled") << true << false << true << true;
    QTest::newRow("set aside, no journal") << true << false << false << true;
    QTest::newRow("onto an existing name") << true << true << true << false;
    QTest::newRow("missing source") << false << false << true << false;
}

void tst_FastFileOpTasks::renameFile()
{
    QFETCH(bool, sourceExists);
    QFETCH(bool, destExists);
    QFETCH(bool, withJournal);
    QFETCH(bool, ok);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString source = root.filePath(QStringLiteral("client"));
    const QString dest = root.filePath(QStringLiteral("_old_client"));
    if (sourceExists)
        QVERIFY(writeFile(source, "installed"));
    if (destExists)
        QVERIFY(writeFile(dest, "older"));

    RollbackDataList journal;
    FileRenameTaskSpecification task(source, dest, withJournal ? &journal : nullptr, nullptr, 0.1);
    QCOMPARE(task.path, dest);
    Outcome outcome(&task);
    task.execute();
    QCOMPARE(task.state, ok ? StateFinished : StateErrorCanceled);
    QCOMPARE(outcome.errors.size(), 0);
    QCOMPARE(outcome.messageTexts(),
             ok ? QStringList {}
                : QStringList {QStringLiteral("Could not rename '%1' to '%2'").arg(source, dest)});
    if (!ok) {
        QVERIFY2(journal.entries.isEmpty(), "a failed rename records nothing");
        QCOMPARE(readFile(source), sourceExists ? QByteArray("installed") : QByteArray("<missing>"));
        QCOMPARE(readFile(dest), destExists ? QByteArray("older") : QByteArray("<missing>"));
        return;
    }
    QCOMPARE(readFile(dest), QByteArray("installed"));
    QVERIFY(!QFileInfo::exists(source));
    if (!withJournal)
        return;
    QCOMPARE(journal.entries.size(), 1);
    QCOMPARE(journal.entries.at(0).operation, RollbackData::Rename);
    QCOMPARE(journal.entries.at(0).previousPath, source);
    QCOMPARE(journal.entries.at(0).path, dest);
    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(readFile(source), QByteArray("installed"));
}

void tst_FastFileOpTasks::neverRenamesThroughDanglingLink_data()
{
    QTest::addColumn<bool>("undo"); // false: the rename itself meets the link; true: its undo does
    QTest::newRow("set aside onto a dangling link") << false;
    QTest::newRow("undo onto a dangling link") << true;
}

void tst_FastFileOpTasks::neverRenamesThroughDanglingLink()
{
    // A link that points nowhere, at a name a rename must create: whatever the link points to
    // (here a file outside the installation) must never be written, and the link stays a link.
    QFETCH(bool, undo);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("install")));
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("outside")));
    const QString outside = root.filePath(QStringLiteral("outside/target"));
    const QString client = root.filePath(QStringLiteral("install/client"));
    const QString old = root.filePath(QStringLiteral("install/_old_client"));
    const QString linkPath = undo ? client : old;
    const QString filePath = undo ? old : client;
    QVERIFY(writeFile(filePath, "installed"));
    QVERIFY(QFile::link(outside, linkPath));

    RollbackDataList journal;
    FileRenameTaskSpecification task(client, old, &journal, nullptr, 0.1);
    Outcome outcome(&task);
    if (undo) {
        journal.add(RollbackData(RollbackData::Rename, client, old));
        QVERIFY2(!journal.rollback(&task), "the undo claims to have renamed onto a link");
        QCOMPARE(outcome.messageTexts(),
                 QStringList {QStringLiteral("warning: rollback rename %1 to %2 failed").arg(client, old)});
    } else {
        task.execute();
        QCOMPARE(task.state, StateErrorCanceled);
        QCOMPARE(outcome.messageTexts(),
                 QStringList {QStringLiteral("Could not rename '%1' to '%2'").arg(client, old)});
        QVERIFY2(journal.entries.isEmpty(), "a refused rename was journalled");
    }
    QVERIFY2(!QFileInfo::exists(outside), "the file was written through the link, outside the installation");
    QCOMPARE(QFileInfo(linkPath).symLinkTarget(), outside);
    QCOMPARE(readFile(filePath), QByteArray("installed"));
}

QTEST_GUILESS_MAIN(tst_FastFileOpTasks)
#include "tst_fastfileoptasks.moc"

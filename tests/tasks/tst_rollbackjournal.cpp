#include "RollbackData.h"
#include "RollbackDataList.h"
#include "TaskSpecification.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A task as the journal's usual message target: the warnings come out of its message() signal.
class IdleTask : public TaskSpecification
{
public:
    IdleTask()
        : TaskSpecification(nullptr, 1.0)
    {
    }
    void execute() override { }
};

// Builds a scratch tree from lines "f:path=content" (file) and "d:path" (directory).
bool buildTree(const QString& root, const QStringList& lines)
{
    for (const QString& line : lines) {
        const QString entry = line.mid(2);
        if (line.startsWith(QLatin1String("d:"))) {
            if (!QDir(root).mkpath(entry))
                return false;
        } else {
            QFile file(root + QLatin1Char('/') + entry.section(QLatin1Char('='), 0, 0));
            if (!file.open(QIODevice::WriteOnly))
                return false;
            file.write(entry.section(QLatin1Char('='), 1).toUtf8());
        }
    }
    return true;
}

// The tree in the same notation, sorted.
QStringList listTree(const QString& root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString rel = QDir(root).relativeFilePath(it.filePath());
        if (it.fileInfo().isDir()) {
            lines << QStringLiteral("d:") + rel;
        } else {
            QFile file(it.filePath());
            file.open(QIODevice::ReadOnly);
            lines << QStringLiteral("f:") + rel + QLatin1Char('=') + QString::fromUtf8(file.readAll());
        }
    }
    lines.sort();
    return lines;
}

} // namespace

class tst_RollbackJournal : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void undoOneEntry_data();
    void undoOneEntry();
    void replacedFileIsPutBack();
    void exchangedFileIsPutBack();
    void failedUndoDoesNotStopOlderOnes();
    void nullTargetStillUndoes();
    void appendListAndClear();
    void unknownOperationIsFatal();
};

void tst_RollbackJournal::undoOneEntry_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("previousName"); // empty: the one-path constructor
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("warning"); // %P previous path, %N path
    QTest::addColumn<QStringList>("after");

    QTest::newRow("rename back") << QStringList {QStringLiteral("f:_old_app=v1")} << int(RollbackData::Rename)
                                 << QStringLiteral("app") << QStringLiteral("_old_app") << true << QString()
                                 << QStringList {QStringLiteral("f:app=v1")};
    QTest::newRow("rename back onto an existing file")
        << QStringList {QStringLiteral("f:_old_app=v1"), QStringLiteral("f:app=v2")}
        << int(RollbackData::Rename) << QStringLiteral("app") << QStringLiteral("_old_app") << false
        << QStringLiteral("warning: rollback rename %P to %N failed")
        << QStringList {QStringLiteral("f:_old_app=v1"), QStringLiteral("f:app=v2")};
    QTest::newRow("rename back of a vanished file")
        << QStringList {} << int(RollbackData::Rename) << QStringLiteral("app") << QStringLiteral("_old_app")
        << false << QStringLiteral("warning: rollback rename %P to %N failed") << QStringList {};
    QTest::newRow("exchange back") << QStringList {QStringLiteral("f:_old_app=v1"),
                                                   QStringLiteral("f:app=v2")}
                                   << int(RollbackData::Exchange) << QStringLiteral("_old_app")
                                   << QStringLiteral("app") << true << QString()
                                   << QStringList {QStringLiteral("f:_old_app=v2"),
                                                   QStringLiteral("f:app=v1")};
    QTest::newRow("exchange back with one side vanished")
        << QStringList {QStringLiteral("f:app=v2")} << int(RollbackData::Exchange)
        << QStringLiteral("_old_app") << QStringLiteral("app") << false
        << QStringLiteral("warning: rollback exchange %P and %N failed")
        << QStringList {QStringLiteral("f:app=v2")};
    QTest::newRow("remove created file")
        << QStringList {QStringLiteral("f:new=x")} << int(RollbackData::CreateFile) << QString()
        << QStringLiteral("new") << true << QString() << QStringList {};
    QTest::newRow("created file is now a folder")
        << QStringList {QStringLiteral("d:new")} << int(RollbackData::CreateFile) << QString()
        << QStringLiteral("new") << false << QStringLiteral("warning: rollback create file %N failed")
        << QStringList {QStringLiteral("d:new")};
    QTest::newRow("remove created dir")
        << QStringList {QStringLiteral("d:a/b")} << int(RollbackData::CreateDir) << QString()
        << QStringLiteral("a/b") << true << QString() << QStringList {QStringLiteral("d:a")};
    QTest::newRow("created dir not empty")
        << QStringList {QStringLiteral("d:a"), QStringLiteral("f:a/keep=k")} << int(RollbackData::CreateDir)
        << QString() << QStringLiteral("a") << false
        << QStringLiteral("warning: rollback create dir %N failed")
        << QStringList {QStringLiteral("d:a"), QStringLiteral("f:a/keep=k")};
    QTest::newRow("created dir is now a file")
        << QStringList {QStringLiteral("f:a=x")} << int(RollbackData::CreateDir) << QString()
        << QStringLiteral("a") << false << QStringLiteral("warning: rollback create dir %N failed")
        << QStringList {QStringLiteral("f:a=x")};
}

void tst_RollbackJournal::undoOneEntry()
{
    QFETCH(QStringList, before);
    QFETCH(int, operation);
    QFETCH(QString, previousName);
    QFETCH(QString, name);
    QFETCH(bool, ok);
    QFETCH(QString, warning);
    QFETCH(QStringList, after);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(buildTree(dir.path(), before));
    const QString path = dir.filePath(name);
    const QString previousPath = previousName.isEmpty() ? QString() : dir.filePath(previousName);
    const RollbackData entry = previousName.isEmpty()
        ? RollbackData(RollbackData::Operation(operation), path)
        : RollbackData(RollbackData::Operation(operation), previousPath, path);
    QCOMPARE(entry.path, path);
    QCOMPARE(entry.previousPath, previousPath);

    IdleTask target;
    QSignalSpy messages(&target, &TaskSpecification::message);
    QCOMPARE(entry.rollback(&target), ok);
    if (warning.isEmpty()) {
        QCOMPARE(messages.size(), 0);
    } else {
        QCOMPARE(messages.size(), 1);
        QString expected = warning;
        expected.replace(QLatin1String("%P"), previousPath).replace(QLatin1String("%N"), path);
        QCOMPARE(messages.at(0).at(0).toString(), expected);
    }
    QCOMPARE(listTree(dir.path()), after);
}

void tst_RollbackJournal::replacedFileIsPutBack()
{
    // An installed file set aside under its old name, then a new file created at the installed
    // name: the undo must remove the new file before it can put the old one back.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(buildTree(dir.path(), {QStringLiteral("f:_old_client=installed")}));
    QVERIFY(buildTree(dir.path(), {QStringLiteral("f:client=new")}));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::Rename, dir.filePath(QStringLiteral("client")),
                             dir.filePath(QStringLiteral("_old_client"))));
    journal.add(RollbackData(RollbackData::CreateFile, dir.filePath(QStringLiteral("client"))));
    IdleTask target;
    QSignalSpy messages(&target, &TaskSpecification::message);
    QVERIFY(journal.rollback(&target));
    QCOMPARE(messages.size(), 0);
    QVERIFY(journal.entries.isEmpty());
    QCOMPARE(listTree(dir.path()), QStringList {QStringLiteral("f:client=installed")});
}

void tst_RollbackJournal::exchangedFileIsPutBack()
{
    // The new version written under the old-copy name, then exchanged with the installed file: the
    // undo exchanges them back before it removes the new version.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(
        buildTree(dir.path(), {QStringLiteral("f:_old_client=installed"), QStringLiteral("f:client=new")}));
    const QString client = dir.filePath(QStringLiteral("client"));
    const QString old = dir.filePath(QStringLiteral("_old_client"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, old));
    journal.add(RollbackData(RollbackData::Exchange, old, client));
    IdleTask target;
    QSignalSpy messages(&target, &TaskSpecification::message);
    QVERIFY(journal.rollback(&target));
    QCOMPARE(messages.size(), 0);
    QVERIFY(journal.entries.isEmpty());
    QCOMPARE(listTree(dir.path()), QStringList {QStringLiteral("f:client=installed")});
}

void tst_RollbackJournal::failedUndoDoesNotStopOlderOnes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(
        buildTree(dir.path(),
                  {QStringLiteral("d:made"), QStringLiteral("f:_old_lib=old"), QStringLiteral("d:blocked")}));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateDir, dir.filePath(QStringLiteral("made"))));
    journal.add(RollbackData(RollbackData::Rename, dir.filePath(QStringLiteral("lib")),
                             dir.filePath(QStringLiteral("_old_lib"))));
    // Newest entry: "blocked" is a folder now, so removing it as a file fails.
    journal.add(RollbackData(RollbackData::CreateFile, dir.filePath(QStringLiteral("blocked"))));
    IdleTask target;
    QSignalSpy messages(&target, &TaskSpecification::message);
    QCOMPARE(journal.rollback(&target), false);
    QVERIFY2(journal.entries.isEmpty(), "a rollback empties the journal even when a step failed");
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("warning: rollback create file %1 failed")
                 .arg(dir.filePath(QStringLiteral("blocked"))));
    QCOMPARE(listTree(dir.path()), QStringList({QStringLiteral("d:blocked"), QStringLiteral("f:lib=old")}));
}

void tst_RollbackJournal::nullTargetStillUndoes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(buildTree(dir.path(),
                      {QStringLiteral("f:new=x"), QStringLiteral("d:full"), QStringLiteral("f:full/y=y")}));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, dir.filePath(QStringLiteral("new"))));
    journal.add(RollbackData(RollbackData::CreateDir, dir.filePath(QStringLiteral("full"))));
    QCOMPARE(journal.rollback(nullptr), false);
    QCOMPARE(listTree(dir.path()), QStringList({QStringLiteral("d:full"), QStringLiteral("f:full/y=y")}));
}

void tst_RollbackJournal::appendListAndClear()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(buildTree(dir.path(), {QStringLiteral("f:a=1"), QStringLiteral("f:b=2")}));
    RollbackDataList own;
    own.add(RollbackData(RollbackData::CreateFile, dir.filePath(QStringLiteral("a"))));
    own.add(RollbackData(RollbackData::CreateFile, dir.filePath(QStringLiteral("b"))));
    RollbackDataList parentJournal;
    parentJournal.add(RollbackData(RollbackData::CreateDir, dir.filePath(QStringLiteral("d"))));
    parentJournal.appendList(own);
    QCOMPARE(own.entries.size(), 2);
    QCOMPARE(parentJournal.entries.size(), 3);
    QCOMPARE(parentJournal.entries.at(1).path, dir.filePath(QStringLiteral("a")));
    QCOMPARE(parentJournal.entries.at(2).path, dir.filePath(QStringLiteral("b")));

    own.appendList(own);
    QCOMPARE(own.entries.size(), 4);
    QCOMPARE(own.entries.at(3).path, dir.filePath(QStringLiteral("b")));

    parentJournal.clear();
    own.clear();
    QVERIFY(parentJournal.entries.isEmpty() && own.entries.isEmpty());
    QVERIFY(parentJournal.rollback(nullptr));
    QCOMPARE(listTree(dir.path()), QStringList({QStringLiteral("f:a=1"), QStringLiteral("f:b=2")}));
}

void tst_RollbackJournal::unknownOperationIsFatal()
{
    // qFatal ends the process, so the entry is undone in a child run of this same test.
    if (qEnvironmentVariableIsSet("KV3_ROLLBACK_FATAL_CHILD")) {
        const RollbackData corrupt(RollbackData::Operation(7), QStringLiteral("/nonexistent/x"));
        corrupt.rollback(nullptr);
        QFAIL("an impossible operation must stop the program");
    }
    QTemporaryDir scratch; // where a core file of the child would land
    QVERIFY(scratch.isValid());
    QProcess child;
    child.setWorkingDirectory(scratch.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KV3_ROLLBACK_FATAL_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("unknownOperationIsFatal")});
    QVERIFY2(child.waitForFinished(30000), "child did not end");
    const QByteArray output = child.readAllStandardError() + child.readAllStandardOutput();
    QVERIFY2(child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0, output.constData());
    QVERIFY2(output.contains("Should not reach here"), output.constData());
    QVERIFY2(!output.contains("an impossible operation must stop"), output.constData());
}

QTEST_GUILESS_MAIN(tst_RollbackJournal)
#include "tst_rollbackjournal.moc"

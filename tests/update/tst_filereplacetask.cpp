#include "../tasks/ImmutablePath.h"
#include "Configuration.h"
#include "FileBytes.h"
#include "FileDeleteListTaskSpecification.h"
#include "FileReplaceTaskSpecification.h"
#include "GzipBytes.h"
#include "ScratchInstallation.h"
#include "TaskRun.h"
#include "TreeSnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QString md5Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

int modeOf(const QString& path)
{
    struct stat st;
    return stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QStringList operationsOf(const RollbackDataList& journal)
{
    static const char* names[] = {"Rename", "CreateFile", "CreateDir"};
    QStringList ops;
    for (const RollbackData& entry : journal.entries)
        ops << QString::fromLatin1(names[entry.operation]);
    return ops;
}

const QByteArray oldContent("the installed version\n");
const QByteArray newContent("the new version, somewhat longer\n");

// An installation, a temporary directory with the downloads, and what a replacement list would
// hand a file task: its journal and the plan's delete list.
struct Bench
{
    Bench() { configuration.tempDir = temp.path(); }

    bool isValid() const { return install.isValid() && temp.isValid(); }
    QString installed(const QString& relative) const { return install.filePath(relative); }
    QString download(const QString& relative) const { return temp.filePath(relative); }
    bool putInstalled(const QString& relative, const QByteArray& data) const
    {
        return install.writeFile(relative, data).isEmpty();
    }
    bool putDownload(const QString& relative, const QByteArray& data) const
    {
        return QDir().mkpath(QFileInfo(download(relative)).path())
            && FileBytes::write(download(relative), data);
    }

    // A plan entry: installed as it is, or packed and unpacked to `unzipName`.
    static FileReplaceSpecification entry(const QString& fileName, const QString& unzipName = QString(),
                                          const QString& unzipMd5 = QString())
    {
        FileReplaceSpecification spec;
        spec.section = QStringLiteral("client");
        spec.fileName = fileName;
        spec.unzipFileName = unzipName;
        spec.unzipMd5 = unzipMd5;
        return spec;
    }

    ScratchInstallation install;
    QTemporaryDir temp;
    Configuration configuration;
    RollbackDataList parentJournal;
    QList<QString> oldFiles;
};

} // namespace

class tst_FileReplaceTask : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void subTasksWeightsAndJournal_data();
    void subTasksWeightsAndJournal();
    void permissionsAndOldCopies_data();
    void permissionsAndOldCopies();
    void packedPlainFileIsInstalledByteForByte();
    void failureLeavesInstalledFileAsItWas_data();
    void failureLeavesInstalledFileAsItWas();
    void userCancelUndoesTheSteps_data();
    void userCancelUndoesTheSteps();
    void resetUndoesACompletedReplacement();
    void fullDiskLeavesInstalledFileAsItWas_data();
    void fullDiskLeavesInstalledFileAsItWas();
    void danglingLinkAtInstalledNameIsMovedAside_data();
    void danglingLinkAtInstalledNameIsMovedAside();
    void fifoIsMovedAsideNeverRead_data();
    void fifoIsMovedAsideNeverRead();
};

void tst_FileReplaceTask::subTasksWeightsAndJournal_data()
{
    QTest::addColumn<bool>("destExists");
    QTest::addColumn<bool>("oldExists");
    QTest::addColumn<bool>("packed");
    QTest::addColumn<QStringList>("expectedSubTasks");

    const QString del = QStringLiteral("FileDeleteTaskSpecification %1");
    const QString ren = QStringLiteral("FileRenameTaskSpecification %1");
    const QString copy = QStringLiteral("FileCopyTaskSpecification %1");
    const QString unzip = QStringLiteral("FileUnzipTaskSpecification %1");
    const QString check = QStringLiteral("CheckSignatureTaskSpecification %1");
    QTest::newRow("new file") << false << false << false << QStringList {copy.arg("1.00")};
    QTest::newRow("new file, stale old copy left alone")
        << false << true << false << QStringList {copy.arg("1.00")};
    QTest::newRow("new packed file") << false << false << true
                                     << QStringList {unzip.arg("0.80"), check.arg("0.20")};
    QTest::newRow("installed") << true << false << false << QStringList {ren.arg("0.10"), copy.arg("0.90")};
    QTest::newRow("installed, packed")
        << true << false << true << QStringList {ren.arg("0.10"), unzip.arg("0.70"), check.arg("0.20")};
    QTest::newRow("installed with stale old copy")
        << true << true << false << QStringList {del.arg("0.10"), ren.arg("0.10"), copy.arg("0.80")};
    QTest::newRow("installed with stale old copy, packed")
        << true << true << true
        << QStringList {del.arg("0.10"), ren.arg("0.10"), unzip.arg("0.60"), check.arg("0.20")};
}

void tst_FileReplaceTask::subTasksWeightsAndJournal()
{
    QFETCH(bool, destExists);
    QFETCH(bool, oldExists);
    QFETCH(bool, packed);
    QFETCH(QStringList, expectedSubTasks);

    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    const QString dest = QStringLiteral("lib/data.bin");
    const QString old = QStringLiteral("lib/_old_data.bin");
    const QByteArray staleContent("left over from an earlier run");
    if (destExists)
        QVERIFY(bench.putInstalled(dest, oldContent));
    if (oldExists)
        QVERIFY(bench.putInstalled(old, staleContent));
    const FileReplaceSpecification spec = packed
        ? Bench::entry(QStringLiteral("lib/data.bin.gz"), dest, md5Of(newContent).toUpper())
        : Bench::entry(dest);
    QVERIFY(bench.putDownload(spec.fileName, packed ? GzipBytes::pack(newContent) : newContent));
    QVERIFY(bench.putInstalled(QStringLiteral("lib/neighbour"), "untouched"));

    FileReplaceTaskSpecification task(spec, &bench.oldFiles, &bench.parentJournal, &bench.configuration,
                                      nullptr, 0.25);
    TaskRun run(&task);
    task.execute();
    QStringList subTasks;
    for (TaskSpecification* sub : std::as_const(task.subTasks))
        subTasks << QStringLiteral("%1 %2").arg(QString::fromLatin1(sub->metaObject()->className()),
                                                QString::number(sub->parentProgressRange, 'f', 2));
    QCOMPARE(subTasks, expectedSubTasks);

    QTRY_VERIFY2(run.ended(), "the replacement did not end");
    QVERIFY2(run.finished.count() == 1, qPrintable(run.log()));
    QCOMPARE(task.state, StateFinished);
    QCOMPARE(task.progress, 0.25);
    QVERIFY2(run.messageTexts().startsWith(QStringLiteral("add/replace %1").arg(spec.fileName)),
             qPrintable(run.log()));

    QCOMPARE(FileBytes::read(bench.installed(dest)), newContent);
    QCOMPARE(FileBytes::read(bench.installed(QStringLiteral("lib/neighbour"))), QByteArray("untouched"));
    if (destExists) {
        QCOMPARE(FileBytes::read(bench.installed(old)), oldContent);
        QCOMPARE(operationsOf(bench.parentJournal), (QStringList {"Rename", "CreateFile"}));
        QCOMPARE(bench.parentJournal.entries.at(0).previousPath, bench.installed(dest));
        QCOMPARE(bench.parentJournal.entries.at(0).path, bench.installed(old));
        QCOMPARE(bench.oldFiles, QList<QString> {old});
    } else {
        QCOMPARE(FileBytes::read(bench.installed(old)), oldExists ? staleContent : QByteArray());
        QCOMPARE(operationsOf(bench.parentJournal), QStringList {"CreateFile"});
        QVERIFY2(bench.oldFiles.isEmpty(), "a file that was not installed queued an old copy");
    }
    QCOMPARE(bench.parentJournal.entries.constLast().path, bench.installed(dest));
    // The own journal keeps its copies; the list's journal now holds them too.
    QCOMPARE(operationsOf(task.rollbackList), operationsOf(bench.parentJournal));
}

void tst_FileReplaceTask::permissionsAndOldCopies_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<bool>("special");

    QTest::newRow("the updater itself") << "update" << true << true;
    QTest::newRow("client binary amd64") << "kv3client_linux_amd64" << true << false;
    QTest::newRow("client binary x86") << "kv3client_linux_x86" << true << false;
    QTest::newRow("run script") << "kv3client_runscript.sh" << true << false;
    QTest::newRow("toolkit library") << "lib/libQtGui.so.4" << true << true;
    QTest::newRow("image plug-in") << "imageformats/libqgif.so" << true << true;
    QTest::newRow("ordinary library") << "lib/libvoice.so" << true << false;
    QTest::newRow("longer library version") << "lib/libfoo.so.4.8" << false << false;
    QTest::newRow("text file") << "readme.txt" << false << false;
    QTest::newRow("name in capitals") << "UPDATE" << false << false;
    QTest::newRow("executable name as a suffix") << "docs/update.txt" << false << false;
}

void tst_FileReplaceTask::permissionsAndOldCopies()
{
    QFETCH(QString, path);
    QFETCH(bool, executable);
    QFETCH(bool, special);

    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    QVERIFY(bench.putInstalled(path, oldContent));
    QVERIFY(bench.putDownload(path, newContent));
    QVERIFY(
        QFile::setPermissions(bench.download(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));

    const FileReplaceSpecification spec = Bench::entry(path);
    FileReplaceTaskSpecification task(spec, &bench.oldFiles, &bench.parentJournal, &bench.configuration,
                                      nullptr, 1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the replacement did not end");
    QVERIFY2(run.finished.count() == 1, qPrintable(run.log()));

    const int mode = modeOf(bench.installed(path));
    QVERIFY2(mode == (executable ? 0755 : 0640), qPrintable(QString::number(mode, 8)));
    // The old copy stays on disk either way; only ordinary files queue it for the deletion stage.
    QCOMPARE(FileBytes::read(bench.installed(spec.oldDestFileName())), oldContent);
    QCOMPARE(bench.oldFiles.contains(spec.oldDestFileName()), !special);
    QCOMPARE(bench.oldFiles.size(), special ? 0 : 1);
}

void tst_FileReplaceTask::packedPlainFileIsInstalledByteForByte()
{
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    const QByteArray plain("not gzip at all \x1f\x8a", 18);
    QVERIFY(bench.putDownload(QStringLiteral("bin/tool.gz"), plain));
    QVERIFY(bench.putInstalled(QStringLiteral("bin/tool"), oldContent));

    const FileReplaceSpecification spec =
        Bench::entry(QStringLiteral("bin/tool.gz"), QStringLiteral("bin/tool"), md5Of(plain));
    FileReplaceTaskSpecification task(spec, &bench.oldFiles, &bench.parentJournal, &bench.configuration,
                                      nullptr, 1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the replacement did not end");
    QVERIFY2(run.finished.count() == 1, qPrintable(run.log()));
    QCOMPARE(FileBytes::read(bench.installed(QStringLiteral("bin/tool"))), plain);
    QVERIFY2(!QFileInfo::exists(bench.installed(QStringLiteral("bin/tool.gz"))),
             "the packed name was installed as well");
}

void tst_FileReplaceTask::failureLeavesInstalledFileAsItWas_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("destExists");
    QTest::addColumn<bool>("packed");
    QTest::addColumn<QString>("expectedMessage"); // %1 dest, %2 old, %3 source

    QTest::newRow("stale old copy cannot be deleted")
        << "old copy is a folder" << true << false << "Could not delete '%2'";
    QTest::newRow("installed file cannot be moved aside")
        << "immutable folder" << true << false << "Could not rename '%1' to '%2'";
    QTest::newRow("download missing, installed")
        << "no download" << true << false << "Could not copy '%3' to '%1'";
    QTest::newRow("download missing, new file")
        << "no download" << false << false << "Could not copy '%3' to '%1'";
    QTest::newRow("damaged gzip, installed")
        << "damaged gzip" << true << true << "Could not unzip '%3' to '%1'";
    QTest::newRow("damaged gzip, new file")
        << "damaged gzip" << false << true << "Could not unzip '%3' to '%1'";
    QTest::newRow("truncated gzip, installed")
        << "truncated gzip" << true << true << "Could not unzip '%3' to '%1'";
    QTest::newRow("unpacked MD5 differs, installed")
        << "wrong unzip md5" << true << true << "Signature check failed for %1";
    QTest::newRow("unpacked MD5 differs, new file")
        << "wrong unzip md5" << false << true << "Signature check failed for %1";
    // Without an unpacked MD5 the check falls back to a signature beside the file, which an
    // installation does not have: the file is not installed unverified.
    QTest::newRow("no unpacked MD5, installed")
        << "no unzip md5" << true << true << "Signature check failed for %1";
}

void tst_FileReplaceTask::failureLeavesInstalledFileAsItWas()
{
    QFETCH(QString, fault);
    QFETCH(bool, destExists);
    QFETCH(bool, packed);
    QFETCH(QString, expectedMessage);

    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    const QString destRel = QStringLiteral("plugins/codec.so");
    if (destExists)
        QVERIFY(bench.putInstalled(destRel, oldContent));
    if (fault == QLatin1String("old copy is a folder"))
        QVERIFY(bench.putInstalled(QStringLiteral("plugins/_old_codec.so/keep"), "x"));
    QVERIFY(QDir().mkpath(bench.installed(QStringLiteral("plugins"))));

    QString unzipMd5 = md5Of(fault == QLatin1String("wrong unzip md5") ? QByteArray("other") : newContent);
    if (fault == QLatin1String("no unzip md5"))
        unzipMd5.clear();
    const FileReplaceSpecification spec = packed
        ? Bench::entry(QStringLiteral("plugins/codec.so.gz"), destRel, unzipMd5)
        : Bench::entry(destRel);
    QByteArray payload = packed ? GzipBytes::pack(newContent) : newContent;
    if (fault == QLatin1String("damaged gzip"))
        payload[payload.size() / 2] = char(payload.at(payload.size() / 2) ^ 0x5a);
    if (fault == QLatin1String("truncated gzip"))
        payload.chop(payload.size() / 3);
    if (fault != QLatin1String("no download"))
        QVERIFY(bench.putDownload(spec.fileName, payload));

    const QString dest = bench.installed(destRel);
    const QString old = bench.installed(spec.oldDestFileName());
    const QString source = bench.download(spec.fileName);
    const TreeSnapshot before = TreeSnapshot::of(bench.install.path());

    std::unique_ptr<ImmutablePath> frozen;
    if (fault == QLatin1String("immutable folder")) {
        frozen = std::make_unique<ImmutablePath>(bench.installed(QStringLiteral("plugins")));
        if (!frozen->isActive())
            QSKIP("chattr +i is not available on this file system");
    }

    FileReplaceTaskSpecification task(spec, &bench.oldFiles, &bench.parentJournal, &bench.configuration,
                                      nullptr, 1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the replacement did not end");
    frozen.reset();

    QCOMPARE(run.canceled.count(), 1);
    QCOMPARE(task.state, StateErrorCanceled);
    const QString message = QString(expectedMessage)
                                .replace(QLatin1String("%1"), dest)
                                .replace(QLatin1String("%2"), old)
                                .replace(QLatin1String("%3"), source);
    QVERIFY2(
        run.messageTexts().contains(message),
        qPrintable(QStringLiteral("expected \"%1\" among:\n%2").arg(message, run.messageTexts().join('\n'))));
    const TreeSnapshot after = TreeSnapshot::of(bench.install.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QVERIFY2(bench.parentJournal.entries.isEmpty(), "a failed file handed entries to the list's journal");
    QVERIFY2(task.rollbackList.entries.isEmpty(), "the own journal was not undone");
    QVERIFY2(bench.oldFiles.isEmpty(), "a failed file queued an old copy for deletion");
}

void tst_FileReplaceTask::userCancelUndoesTheSteps_data()
{
    QTest::addColumn<bool>("packed");
    QTest::addColumn<int>("cancelAfter"); // index of the sub-task whose end triggers the cancel

    QTest::newRow("after moving aside") << false << 0;
    QTest::newRow("after moving aside, packed") << true << 0;
    QTest::newRow("after unpacking, before the check") << true << 1;
}

void tst_FileReplaceTask::userCancelUndoesTheSteps()
{
    QFETCH(bool, packed);
    QFETCH(int, cancelAfter);

    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    const QString destRel = QStringLiteral("kv3client_linux_amd64");
    QVERIFY(bench.putInstalled(destRel, oldContent));
    const FileReplaceSpecification spec = packed
        ? Bench::entry(destRel + QStringLiteral(".gz"), destRel, md5Of(newContent))
        : Bench::entry(destRel);
    QVERIFY(bench.putDownload(spec.fileName, packed ? GzipBytes::pack(newContent) : newContent));
    const TreeSnapshot before = TreeSnapshot::of(bench.install.path());

    FileReplaceTaskSpecification task(spec, &bench.oldFiles, &bench.parentJournal, &bench.configuration,
                                      nullptr, 1.0);
    TaskRun run(&task);
    task.execute();
    QVERIFY(cancelAfter < task.subTasks.size() - 1);
    connect(task.subTasks.at(cancelAfter), &TaskSpecification::finished, &task,
            [&task] { task.userCanceled(); });
    QTRY_VERIFY2(run.ended(), "the replacement did not end");

    QCOMPARE(task.state, StateUserCanceled);
    QCOMPARE(task.subTasks.constLast()->state, StateIdle);
    const TreeSnapshot after = TreeSnapshot::of(bench.install.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QVERIFY2(bench.parentJournal.entries.isEmpty(), "a cancelled file handed entries to the list's journal");
    QVERIFY2(bench.oldFiles.isEmpty(), "a cancelled file queued an old copy for deletion");
}

void tst_FileReplaceTask::resetUndoesACompletedReplacement()
{
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    QVERIFY(bench.putInstalled(QStringLiteral("lib/libvoice.so"), oldContent));
    QVERIFY(bench.putDownload(QStringLiteral("lib/libvoice.so"), newContent));
    const TreeSnapshot before = TreeSnapshot::of(bench.install.path());

    FileReplaceTaskSpecification task(Bench::entry(QStringLiteral("lib/libvoice.so")), &bench.oldFiles,
                                      &bench.parentJournal, &bench.configuration, nullptr, 1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the replacement did not end");
    QCOMPARE(task.state, StateFinished);
    QVERIFY(TreeSnapshot::of(bench.install.path()) != before);

    task.reset();
    QCOMPARE(task.state, StateIdle);
    QVERIFY2(!task.movedAside, "reset kept the moved-aside flag");
    const TreeSnapshot after = TreeSnapshot::of(bench.install.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void tst_FileReplaceTask::fullDiskLeavesInstalledFileAsItWas_data()
{
    QTest::addColumn<bool>("packed");
    QTest::addColumn<QString>("expectedMessage"); // %1 dest, %2 source

    QTest::newRow("copy") << false << "Could not copy '%2' to '%1'";
    QTest::newRow("unpack") << true << "Could not unzip '%2' to '%1'";
}

void tst_FileReplaceTask::fullDiskLeavesInstalledFileAsItWas()
{
    QFETCH(bool, packed);
    QFETCH(QString, expectedMessage);

    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    // The installed file's folder is a file system too small for the new version.
    const QString folder = bench.installed(QStringLiteral("plugins"));
    QVERIFY(QDir().mkpath(folder));
    if (QProcess::execute(QStringLiteral("mount"),
                          {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                           QStringLiteral("size=64k"), QStringLiteral("tmpfs"), folder})
        != 0)
        QSKIP("cannot mount a small tmpfs here (needs root)");
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {folder}); });

    const QString destRel = QStringLiteral("plugins/codec.so");
    QVERIFY(bench.putInstalled(destRel, oldContent));
    QByteArray content(256 * 1024, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((i * 7919) >> 3);
    const FileReplaceSpecification spec = packed
        ? Bench::entry(destRel + QStringLiteral(".gz"), destRel, md5Of(content))
        : Bench::entry(destRel);
    QVERIFY(bench.putDownload(spec.fileName, packed ? GzipBytes::pack(content) : content));
    const TreeSnapshot before = TreeSnapshot::of(bench.install.path());

    FileReplaceTaskSpecification task(spec, &bench.oldFiles, &bench.parentJournal, &bench.configuration,
                                      nullptr, 1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the replacement did not end");

    QCOMPARE(task.state, StateErrorCanceled);
    const QString message = QString(expectedMessage)
                                .replace(QLatin1String("%1"), bench.installed(destRel))
                                .replace(QLatin1String("%2"), bench.download(spec.fileName));
    QVERIFY2(run.messageTexts().contains(message), qPrintable(run.log()));
    const TreeSnapshot after = TreeSnapshot::of(bench.install.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QVERIFY2(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                 == QStringList {QStringLiteral("codec.so")},
             "a partial file was left beside the installed one");
}

void tst_FileReplaceTask::danglingLinkAtInstalledNameIsMovedAside_data()
{
    QTest::addColumn<bool>("packed");
    QTest::addColumn<bool>("staleLink"); // the old-copy name is a dangling link as well

    QTest::newRow("copy") << false << false;
    QTest::newRow("unpack") << true << false;
    QTest::newRow("copy, stale old copy is a link") << false << true;
    QTest::newRow("unpack, stale old copy is a link") << true << true;
}

void tst_FileReplaceTask::danglingLinkAtInstalledNameIsMovedAside()
{
    QFETCH(bool, packed);
    QFETCH(bool, staleLink);

    // A library link whose target is gone: the installed name is taken, though nothing is behind
    // it. It is moved aside like any installed file; the new file is never written through it to
    // wherever it points (here a name inside the installation, but it could point anywhere), and
    // the list's undo puts the link back.
    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    const QString destRel = QStringLiteral("lib/libcodec.so");
    const QString target = bench.installed(QStringLiteral("lib/libcodec.so.1"));
    QVERIFY(QDir().mkpath(bench.installed(QStringLiteral("lib"))));
    QVERIFY(QFile::link(target, bench.installed(destRel)));
    const FileReplaceSpecification spec = packed
        ? Bench::entry(destRel + QStringLiteral(".gz"), destRel, md5Of(newContent))
        : Bench::entry(destRel);
    QVERIFY(bench.putDownload(spec.fileName, packed ? GzipBytes::pack(newContent) : newContent));
    const TreeSnapshot before = TreeSnapshot::of(bench.install.path());
    // A stale old copy is deleted before the installed file is moved aside, and stays deleted.
    if (staleLink)
        QVERIFY(QFile::link(bench.installed(QStringLiteral("lib/gone.so")),
                            bench.installed(spec.oldDestFileName())));

    FileReplaceTaskSpecification task(spec, &bench.oldFiles, &bench.parentJournal, &bench.configuration,
                                      nullptr, 1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2(run.ended(), "the replacement did not end");

    QVERIFY2(!QFileInfo::exists(target), "the new file was written through the link");
    QVERIFY2(task.state == StateFinished, qPrintable(run.log()));
    const QFileInfo installed(bench.installed(destRel));
    QVERIFY2(!installed.isSymLink(), "the installed name is still a link");
    QCOMPARE(FileBytes::read(installed.filePath()), newContent);
    QCOMPARE(QFileInfo(bench.installed(spec.oldDestFileName())).symLinkTarget(), target);
    QCOMPARE(bench.oldFiles, QList<QString> {spec.oldDestFileName()});

    QVERIFY2(bench.parentJournal.rollback(nullptr), "the list's undo failed");
    const TreeSnapshot after = TreeSnapshot::of(bench.install.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void tst_FileReplaceTask::fifoIsMovedAsideNeverRead_data()
{
    QTest::addColumn<bool>("atOldName"); // false: at the installed name; true: as a stale old copy
    QTest::addColumn<bool>("packed");
    QTest::addColumn<bool>("undo"); // the list's undo afterwards; otherwise its deletion stage

    QTest::newRow("installed, copy, deleted") << false << false << false;
    QTest::newRow("installed, unpack, deleted") << false << true << false;
    QTest::newRow("installed, copy, undone") << false << false << true;
    QTest::newRow("stale old copy, copy") << true << false << false;
    QTest::newRow("stale old copy, unpack") << true << true << false;
}

void tst_FileReplaceTask::fifoIsMovedAsideNeverRead()
{
    // The plan takes a FIFO at a listed name for a file that does not match. Opening it would wait
    // for a writer for ever: it is moved aside (or, as a stale old copy, deleted) by name only, and
    // the deletion stage or the undo deals with it the same way.
    QFETCH(bool, atOldName);
    QFETCH(bool, packed);
    QFETCH(bool, undo);

    Bench bench;
    QVERIFY2(bench.isValid(), "no scratch folders");
    const QString destRel = QStringLiteral("lib/libcodec.so");
    const FileReplaceSpecification spec = packed
        ? Bench::entry(destRel + QStringLiteral(".gz"), destRel, md5Of(newContent))
        : Bench::entry(destRel);
    QVERIFY(bench.putDownload(spec.fileName, packed ? GzipBytes::pack(newContent) : newContent));
    QVERIFY(QDir().mkpath(bench.installed(QStringLiteral("lib"))));
    const QString fifo = bench.installed(atOldName ? spec.oldDestFileName() : destRel);
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
    if (atOldName)
        QVERIFY(bench.putInstalled(destRel, oldContent));
    auto isFifo = [](const QString& path) {
        struct stat st;
        return lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode);
    };

    FileReplaceTaskSpecification task(spec, &bench.oldFiles, &bench.parentJournal, &bench.configuration,
                                      nullptr, 1.0);
    TaskRun run(&task);
    task.execute();
    QTRY_VERIFY2_WITH_TIMEOUT(run.ended(), "the replacement did not end", 20000);
    QVERIFY2(task.state == StateFinished, qPrintable(run.log()));
    QCOMPARE(FileBytes::read(bench.installed(destRel)), newContent);
    QCOMPARE(bench.oldFiles, QList<QString> {spec.oldDestFileName()});
    const QString old = bench.installed(spec.oldDestFileName());
    if (atOldName) {
        QCOMPARE(FileBytes::read(old), oldContent);
        return;
    }
    QVERIFY2(isFifo(old), "the FIFO was not moved aside under the old-copy name");

    if (undo) {
        QVERIFY2(bench.parentJournal.rollback(nullptr), "the list's undo failed");
        QVERIFY2(isFifo(bench.installed(destRel)), "the undo did not put the FIFO back");
        QVERIFY(!QFileInfo::exists(old));
        return;
    }
    FileDeleteListTaskSpecification deletion(&bench.oldFiles, nullptr, 1.0);
    TaskRun deletionRun(&deletion);
    deletion.execute();
    QTRY_VERIFY2_WITH_TIMEOUT(deletionRun.ended(), "the deletion did not end", 20000);
    QCOMPARE(deletion.state, StateFinished);
    struct stat st;
    QVERIFY2(lstat(QFile::encodeName(old).constData(), &st) != 0, "the old FIFO was not deleted");
}

QTEST_GUILESS_MAIN(tst_FileReplaceTask)
#include "tst_filereplacetask.moc"

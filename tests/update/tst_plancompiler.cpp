// The plan compiler on real folders: a product ini in the temporary directory, installed files in
// a scratch installation, and the three lists it yields (or its refusal).

#include "Configuration.h"
#include "FileSpecifications.h"
#include "MakeDownloadReplaceListFunc.h"
#include "MakeDownloadReplaceListTaskSpecification.h"
#include "SpyTexts.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using FileMap = QMap<QString, QByteArray>;

namespace {
const QByteArray alpha = "alpha file\n";
const QByteArray beta = "beta file, a different one\n";
// Stands for the gzip form of `alpha` on the mirror; the compiler never unpacks anything.
const QByteArray packedAlpha = "\x1f\x8b packed alpha";

QString md5(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

// "md5::size" of data.
QString entry(const QByteArray& data)
{
    return md5(data) + QStringLiteral("::") + QString::number(data.size());
}

// The five-field form: stored bytes `packed`, unpacked to `name` with the content `unpacked`.
QString packedEntry(const QByteArray& packed, const QByteArray& unpacked, const QString& name)
{
    return entry(packed) + QStringLiteral("::") + entry(unpacked) + QStringLiteral("::") + name;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// One line per planned record, so that a whole plan compares at once and prints readably.
QStringList describeDownloads(const FileSpecifications& plan)
{
    QStringList lines;
    for (const FileDownloadSpecification& d : plan.downloads)
        lines << QStringLiteral("%1|%2|%3|%4").arg(d.section, d.fileName, d.md5).arg(d.size);
    return lines;
}

QStringList describeReplaces(const FileSpecifications& plan)
{
    QStringList lines;
    for (const FileReplaceSpecification& r : plan.replaces)
        lines << QStringLiteral("%1|%2|%3|%4|%5")
                     .arg(r.section, r.fileName, r.unzipMd5)
                     .arg(r.unzipSize)
                     .arg(r.unzipFileName);
    return lines;
}

FileSpecifications sentinelPlan()
{
    FileSpecifications plan;
    plan.downloads.append({QStringLiteral("old"), QStringLiteral("kept.bin"), md5(beta), 7});
    plan.replaces.append({QStringLiteral("old"), QStringLiteral("kept.bin"), QString(), 0, QString()});
    plan.deletes.append(QStringLiteral("kept.txt"));
    return plan;
}
} // namespace

class tst_PlanCompiler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void compilesPlan_data();
    void compilesPlan();
    void refusesIni_data();
    void refusesIni();
    void progressReachesOneWithLastEntry();
    void manyEntriesKeepIniOrder();
    void recompilesFromScratchAfterReset();
    void specialFilesAreNotRead_data();
    void specialFilesAreNotRead();

private:
    QString iniPath() const { return m_temp->filePath(QStringLiteral("Kelvaro3.ini")); }
    QString installPath() const { return m_install->filePath(QStringLiteral("inst")); }
    void putFiles(const QString& dir, const FileMap& files);
    // Runs the task to its end; the shared plan is `plan`.
    bool runTask(FileSpecifications& plan, QStringList* messages);

    std::unique_ptr<QTemporaryDir> m_install;
    std::unique_ptr<QTemporaryDir> m_temp;
    Configuration m_configuration;
};

void tst_PlanCompiler::init()
{
    m_install = std::make_unique<QTemporaryDir>();
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_install->isValid() && m_temp->isValid());
    // The installation is a folder inside the scratch folder, so that an escaping entry has a
    // victim beside it to name.
    QVERIFY(QDir().mkpath(installPath()));
    QVERIFY(writeFile(m_install->filePath(QStringLiteral("victim")), beta));
    Configuration::setAppRootPathOverride(installPath());
    m_configuration.clientType = QStringLiteral("Kelvaro3");
    m_configuration.tempDir = m_temp->path();
}

void tst_PlanCompiler::cleanup()
{
    Configuration::setAppRootPathOverride(QString());
    m_install.reset();
    m_temp.reset();
}

void tst_PlanCompiler::putFiles(const QString& dir, const FileMap& files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY2(writeFile(dir + QLatin1Char('/') + it.key(), it.value()), qPrintable(it.key()));
}

bool tst_PlanCompiler::runTask(FileSpecifications& plan, QStringList* messages)
{
    MakeDownloadReplaceListTaskSpecification task(&m_configuration, plan, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy message(&task, &TaskSpecification::message);
    task.execute();
    if (!QTest::qWaitFor([&] { return finished.count() + canceled.count() > 0; }, 20000))
        return false;
    *messages = SpyTexts::of(message);
    return finished.count() == 1 && canceled.isEmpty() && task.state == StateFinished;
}

void tst_PlanCompiler::compilesPlan_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<FileMap>("installed");
    QTest::addColumn<FileMap>("downloaded");
    QTest::addColumn<QStringList>("downloads");
    QTest::addColumn<QStringList>("replaces");
    QTest::addColumn<QStringList>("deletes");

    const QString a = QStringLiteral("[bin]\nlib/a.so=") + entry(alpha) + QLatin1Char('\n');
    const QString downloadA = QStringLiteral("bin|lib/a.so|%1|%2").arg(md5(alpha)).arg(alpha.size());
    const QString replaceA = QStringLiteral("bin|lib/a.so||0|");

    QTest::newRow("up to date") << a << FileMap {{"lib/a.so", alpha}} << FileMap() << QStringList()
                                << QStringList() << QStringList();
    QTest::newRow("not installed") << a << FileMap() << FileMap() << QStringList {downloadA}
                                   << QStringList {replaceA} << QStringList();
    QTest::newRow("outdated") << a << FileMap {{"lib/a.so", beta}} << FileMap() << QStringList {downloadA}
                              << QStringList {replaceA} << QStringList();
    QTest::newRow("valid copy already downloaded")
        << a << FileMap {{"lib/a.so", beta}} << FileMap {{"lib/a.so", alpha}} << QStringList()
        << QStringList {replaceA} << QStringList();
    QTest::newRow("corrupt copy already downloaded")
        << a << FileMap {{"lib/a.so", beta}} << FileMap {{"lib/a.so", beta}} << QStringList {downloadA}
        << QStringList {replaceA} << QStringList();
    QTest::newRow("a folder where the file is installed")
        << a << FileMap {{"lib/a.so/inner", beta}} << FileMap() << QStringList {downloadA}
        << QStringList {replaceA} << QStringList();
    QTest::newRow("upper-case md5") << QStringLiteral("[bin]\nlib/a.so=") + md5(alpha).toUpper()
            + QStringLiteral("::11\n")
                                    << FileMap {{"lib/a.so", alpha}} << FileMap() << QStringList()
                                    << QStringList() << QStringList();
    QTest::newRow("upper-case md5 of a downloaded copy")
        << QStringLiteral("[bin]\nlib/a.so=") + md5(alpha).toUpper() + QStringLiteral("::11\n") << FileMap()
        << FileMap {{"lib/a.so", alpha}} << QStringList() << QStringList {replaceA} << QStringList();
    QTest::newRow("delete only") << QStringLiteral("[delete]\nold.txt=\nlib/gone.so=\nnever/there=\n")
                                 << FileMap {{"old.txt", beta}, {"lib/gone.so", beta}, {"keep.txt", beta}}
                                 << FileMap() << QStringList() << QStringList()
                                 << QStringList {"lib/gone.so", "old.txt"};
    QTest::newRow("one checksum and an empty size")
        << QStringLiteral("[bin]\nx=") + md5(alpha) + QStringLiteral("::\n") << FileMap() << FileMap()
        << QStringList {QStringLiteral("bin|x|%1|0").arg(md5(alpha))} << QStringList {"bin|x||0|"}
        << QStringList();
    QTest::newRow("size that is not a number")
        << QStringLiteral("[bin]\nx=") + md5(alpha) + QStringLiteral("::big\n") << FileMap() << FileMap()
        << QStringList {QStringLiteral("bin|x|%1|0").arg(md5(alpha))} << QStringList {"bin|x||0|"}
        << QStringList();

    const QString packed =
        QStringLiteral("[pack]\na.gz=") + packedEntry(packedAlpha, alpha, "bin/a") + QLatin1Char('\n');
    const QString replacePacked = QStringLiteral("pack|a.gz|%1|%2|bin/a").arg(md5(alpha)).arg(alpha.size());
    QTest::newRow("unpacked file installed, no packed copy anywhere")
        << packed << FileMap {{"bin/a", alpha}} << FileMap() << QStringList() << QStringList()
        << QStringList();
    QTest::newRow("unpacked file outdated")
        << packed << FileMap {{"bin/a", beta}, {"a.gz", packedAlpha}} << FileMap()
        << QStringList {QStringLiteral("pack|a.gz|%1|%2").arg(md5(packedAlpha)).arg(packedAlpha.size())}
        << QStringList {replacePacked} << QStringList();
    QTest::newRow("unpacked file outdated, packed copy already downloaded")
        << packed << FileMap() << FileMap {{"a.gz", packedAlpha}} << QStringList()
        << QStringList {replacePacked} << QStringList();

    // An empty fifth field: installed under the key, compared with the first MD5.
    const QString emptyName = QStringLiteral("[bin]\na=") + entry(alpha) + QStringLiteral("::") + md5(beta)
        + QStringLiteral("::9::\n");
    QTest::newRow("empty unzip name, up to date") << emptyName << FileMap {{"a", alpha}} << FileMap()
                                                  << QStringList() << QStringList() << QStringList();
    QTest::newRow("empty unzip name, outdated")
        << emptyName << FileMap {{"a", beta}} << FileMap()
        << QStringList {QStringLiteral("bin|a|%1|%2").arg(md5(alpha)).arg(alpha.size())}
        << QStringList {QStringLiteral("bin|a|%1|9|").arg(md5(beta))} << QStringList();

    QTest::newRow("keys above the first section and in General are ignored")
        << QStringLiteral("top=") + entry(alpha) + QStringLiteral("\n[General]\ng=") + entry(alpha)
            + QLatin1Char('\n') + a
        << FileMap {{"lib/a.so", alpha}} << FileMap() << QStringList() << QStringList() << QStringList();
    QTest::newRow("the same key in two sections is planned twice")
        << a + QStringLiteral("[other]\nlib/a.so=") + entry(alpha) + QLatin1Char('\n') << FileMap()
        << FileMap()
        << QStringList {downloadA, QStringLiteral("other|lib/a.so|%1|%2").arg(md5(alpha)).arg(alpha.size())}
        << QStringList {replaceA, "other|lib/a.so||0|"} << QStringList();
    QTest::newRow("a comma in the unzip name")
        << QStringLiteral("[pack]\na.gz=") + packedEntry(packedAlpha, alpha, "bin/a,b") + QLatin1Char('\n')
        << FileMap() << FileMap()
        << QStringList {QStringLiteral("pack|a.gz|%1|%2").arg(md5(packedAlpha)).arg(packedAlpha.size())}
        << QStringList {QStringLiteral("pack|a.gz|%1|%2|bin/a,b").arg(md5(alpha)).arg(alpha.size())}
        << QStringList();

    // Old copies that an interrupted run left behind go with this run's deletion stage, except
    // those of the updater's special files, which only the next start removes.
    QTest::newRow("stale old copy of an up-to-date file")
        << a << FileMap {{"lib/a.so", alpha}, {"lib/_old_a.so", beta}} << FileMap() << QStringList()
        << QStringList() << QStringList {"lib/_old_a.so"};
    QTest::newRow("stale old copy of an outdated file")
        << a << FileMap {{"lib/a.so", beta}, {"lib/_old_a.so", beta}} << FileMap() << QStringList {downloadA}
        << QStringList {replaceA} << QStringList {"lib/_old_a.so"};
    QTest::newRow("stale old copy of a file no longer installed")
        << a << FileMap {{"lib/_old_a.so", beta}} << FileMap() << QStringList {downloadA}
        << QStringList {replaceA} << QStringList {"lib/_old_a.so"};
    QTest::newRow("stale old copy of an unpacked file")
        << packed << FileMap {{"bin/a", alpha}, {"bin/_old_a", beta}, {"_old_a.gz", beta}} << FileMap()
        << QStringList() << QStringList() << QStringList {"bin/_old_a"};
    QTest::newRow("stale old copy of a special file stays")
        << QStringLiteral("[bin]\nupdate=") + entry(alpha) + QStringLiteral("\nlibqgif.so=") + entry(alpha)
            + QLatin1Char('\n')
        << FileMap {{"update", alpha},
                    {"_old_update", beta},
                    {"libqgif.so", alpha},
                    {"_old_libqgif.so", beta}}
        << FileMap() << QStringList() << QStringList() << QStringList();
    QTest::newRow("stale old copy also named in the delete section is queued once")
        << a + QStringLiteral("[delete]\nlib/_old_a.so=\n")
        << FileMap {{"lib/a.so", alpha}, {"lib/_old_a.so", beta}} << FileMap() << QStringList()
        << QStringList() << QStringList {"lib/_old_a.so"};
    // Only the installed name is the updater's to take; a folder or a download may carry it.
    QTest::newRow("old-copy prefix on a folder and on a packed download")
        << QStringLiteral("[pack]\n_old_a.gz=") + packedEntry(packedAlpha, alpha, "_old_bin/a")
            + QLatin1Char('\n')
        << FileMap {{"_old_bin/a", alpha}} << FileMap() << QStringList() << QStringList() << QStringList();
}

void tst_PlanCompiler::compilesPlan()
{
    QFETCH(QString, ini);
    QFETCH(FileMap, installed);
    QFETCH(FileMap, downloaded);
    QFETCH(QStringList, downloads);
    QFETCH(QStringList, replaces);
    QFETCH(QStringList, deletes);

    QVERIFY(writeFile(iniPath(), ini.toUtf8()));
    putFiles(installPath(), installed);
    putFiles(m_temp->path(), downloaded);

    FileSpecifications plan = sentinelPlan();
    QStringList messages;
    QVERIFY2(runTask(plan, &messages), qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(describeDownloads(plan), downloads);
    QCOMPARE(describeReplaces(plan), replaces);
    QStringList sortedDeletes = plan.deletes;
    sortedDeletes.sort();
    QCOMPARE(sortedDeletes, deletes);
    QCOMPARE(messages, QStringList {"Compiling download and replace list"});
}

void tst_PlanCompiler::refusesIni_data()
{
    QTest::addColumn<QString>("ini"); // null: no file at all
    QTest::addColumn<QString>("message");

    const QString noFiles = QStringLiteral("No files in product ini");
    const QString invalid = QStringLiteral("Warning: product ini contains invalid line in section %1");
    const QString good = QStringLiteral("[bin]\na=") + entry(alpha) + QLatin1Char('\n');

    QTest::newRow("no file") << QString() << noFiles;
    QTest::newRow("empty file") << QStringLiteral("") << noFiles;
    QTest::newRow("sections without keys") << QStringLiteral("[bin]\n[delete]\n") << noFiles;
    QTest::newRow("only keys above the first section") << QStringLiteral("a=") + entry(alpha) << noFiles;
    QTest::newRow("only the release's own name") << QStringLiteral("type=Kelvaro3\nversion=13\n") << noFiles;
    QTest::newRow("a folder in place of the ini") << QStringLiteral("<folder>") << noFiles;

    QTest::newRow("three fields: a trailing ::")
        << QStringLiteral("[bin]\na=") + entry(alpha) + QStringLiteral("::\n") << invalid.arg("bin");
    QTest::newRow("one field") << QStringLiteral("[bin]\na=") + md5(alpha) + QLatin1Char('\n')
                               << invalid.arg("bin");
    QTest::newRow("four fields") << QStringLiteral("[bin]\na=a::1::b::2\n") << invalid.arg("bin");
    QTest::newRow("six fields") << QStringLiteral("[bin]\na=a::1::b::2::c::\n") << invalid.arg("bin");
    QTest::newRow("invalid line in the last section") << good + QStringLiteral("[zzz]\nb=") + entry(beta)
            + QStringLiteral("\nc=x::1::2\n") << invalid.arg("zzz");

    // Paths that would leave the installation or the temporary directory.
    QTest::newRow("key climbing out")
        << QStringLiteral("[bin]\n../etc/x=") + entry(alpha) << invalid.arg("bin");
    QTest::newRow("key climbing out from a folder")
        << QStringLiteral("[bin]\nlib/../../x=") + entry(alpha) << invalid.arg("bin");
    QTest::newRow("key naming the directory itself")
        << QStringLiteral("[bin]\n.=") + entry(alpha) << invalid.arg("bin");
    QTest::newRow("unzip name absolute")
        << QStringLiteral("[bin]\na.gz=") + packedEntry(packedAlpha, alpha, "/etc/passwd")
        << invalid.arg("bin");
    QTest::newRow("unzip name climbing out")
        << QStringLiteral("[bin]\na.gz=") + packedEntry(packedAlpha, alpha, "../../x") << invalid.arg("bin");
    QTest::newRow("unzip name climbing out from a folder")
        << QStringLiteral("[bin]\na.gz=") + packedEntry(packedAlpha, alpha, "bin/../../x")
        << invalid.arg("bin");
    QTest::newRow("unzip name naming the installation itself")
        << QStringLiteral("[bin]\na.gz=") + packedEntry(packedAlpha, alpha, "./") << invalid.arg("bin");
    QTest::newRow("delete entry climbing out")
        << good + QStringLiteral("[delete]\n../victim=\n") << invalid.arg("delete");
    QTest::newRow("delete entry climbing out from a folder")
        << good + QStringLiteral("[delete]\nlib/../../victim=\n") << invalid.arg("delete");

    // The deletion runs after the replacement, so such a file would be installed, then removed.
    QTest::newRow("delete entry naming an installed file")
        << good + QStringLiteral("[delete]\na=\n") << invalid.arg("delete");
    QTest::newRow("delete entry naming an installed file, spelled otherwise")
        << QStringLiteral("[bin]\nlib/a.so=") + entry(alpha) + QStringLiteral("\n[delete]\nlib//./a.so=\n")
        << invalid.arg("delete");
    QTest::newRow("delete entry naming an unpacked file") << QStringLiteral("[bin]\na.gz=")
            + packedEntry(packedAlpha, alpha, "lib/a.so")
            + QStringLiteral("\n[delete]\nlib/a.so=\n") << invalid.arg("delete");

    // The old-copy prefix is the updater's: an installed file of that name would be taken for the
    // old copy of another one and deleted, or could never be put in place.
    QTest::newRow("installed name with the old-copy prefix")
        << QStringLiteral("[bin]\n_old_a=") + entry(alpha) << invalid.arg("bin");
    QTest::newRow("installed name in a folder with the old-copy prefix")
        << QStringLiteral("[bin]\nlib/_old_a.so=") + entry(alpha) << invalid.arg("bin");
    QTest::newRow("unzip name with the old-copy prefix")
        << QStringLiteral("[bin]\na.gz=") + packedEntry(packedAlpha, alpha, "bin/_old_a")
        << invalid.arg("bin");

    // A NUL ends the name the file system sees: the entry would write through the shorter name.
    QTest::newRow("NUL in a key") << QStringLiteral("[bin]\nlib/a.so%00.txt=") + entry(alpha)
                                  << invalid.arg("bin");
    QTest::newRow("NUL in an unzip name")
        << QStringLiteral("[bin]\na.gz=") + packedEntry(packedAlpha, alpha, "bin/a\\0.txt")
        << invalid.arg("bin");
    QTest::newRow("NUL in a section name") << QStringLiteral("[bin%00x]\na=") + entry(alpha)
                                           << invalid.arg(QStringLiteral("bin") + QChar(0) + 'x');
    QTest::newRow("NUL in a delete entry")
        << good + QStringLiteral("[delete]\nold.txt%00.bak=\n") << invalid.arg("delete");
}

void tst_PlanCompiler::refusesIni()
{
    QFETCH(QString, ini);
    QFETCH(QString, message);

    if (ini == QLatin1String("<folder>"))
        QVERIFY(QDir().mkpath(iniPath()));
    else if (!ini.isNull())
        QVERIFY(writeFile(iniPath(), ini.toUtf8()));

    FileSpecifications plan = sentinelPlan();
    const QStringList before = describeDownloads(plan) + describeReplaces(plan) + plan.deletes;
    QStringList messages;
    QVERIFY2(!runTask(plan, &messages), "the compilation succeeded");
    QCOMPARE(messages, QStringList({"Compiling download and replace list", message}));
    QCOMPARE(describeDownloads(plan) + describeReplaces(plan) + plan.deletes, before);
}

void tst_PlanCompiler::progressReachesOneWithLastEntry()
{
    // Three entries, one of them a delete: the fractions are 1/3, 2/3 and exactly 1.
    QVERIFY(writeFile(iniPath(),
                      (QStringLiteral("[bin]\na=") + entry(alpha) + QStringLiteral("\nb=") + entry(beta)
                       + QStringLiteral("\n[delete]\nold=\n"))
                          .toUtf8()));
    FileSpecifications plan;
    MakeDownloadReplaceListFunc func(&m_configuration, plan);
    QSignalSpy progress(&func, &ASyncFunc::progress);
    QVERIFY(func.run());
    QCOMPARE(progress.count(), 3);
    QCOMPARE(progress.at(0).first().toDouble(), 1.0 / 3.0);
    QCOMPARE(progress.at(1).first().toDouble(), 2.0 / 3.0);
    QVERIFY2(progress.at(2).first().toDouble() == 1.0, "the last entry does not report exactly 1.0");
}

void tst_PlanCompiler::manyEntriesKeepIniOrder()
{
    // Enough entries that the checks run on several threads: the lists and the progress must
    // still follow the ini, whichever check ends first. Every third file is installed and up to
    // date, every fifth has a valid download; the large ones take longer to check.
    QString ini = QStringLiteral("[bin]\n");
    QStringList expectedDownloads;
    QStringList expectedReplaces;
    QStringList expectedDeletes;
    for (int i = 0; i < 300; ++i) {
        const QString name = QStringLiteral("f%1").arg(i, 3, 10, QLatin1Char('0'));
        const QByteArray data = i % 7 == 0 ? QByteArray(300000, char(i)) : name.toUtf8();
        ini += name + QLatin1Char('=') + entry(data) + QLatin1Char('\n');
        if (i % 3 == 0) {
            QVERIFY(writeFile(installPath() + QLatin1Char('/') + name, data));
            continue;
        }
        expectedReplaces << name;
        if (i % 5 == 0)
            QVERIFY(writeFile(m_temp->filePath(name), data));
        else
            expectedDownloads << name;
    }
    ini += QStringLiteral("[delete]\n");
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("old%1").arg(i, 2, 10, QLatin1Char('0'));
        ini += name + QStringLiteral("=\n");
        if (i % 2 == 0) {
            QVERIFY(writeFile(installPath() + QLatin1Char('/') + name, beta));
            expectedDeletes << name;
        }
    }
    QVERIFY(writeFile(iniPath(), ini.toUtf8()));

    FileSpecifications plan;
    MakeDownloadReplaceListFunc func(&m_configuration, plan);
    QSignalSpy progress(&func, &ASyncFunc::progress);
    QVERIFY(func.run());
    QStringList downloads;
    for (const FileDownloadSpecification& d : std::as_const(plan.downloads))
        downloads << d.fileName;
    QStringList replaces;
    for (const FileReplaceSpecification& r : std::as_const(plan.replaces))
        replaces << r.fileName;
    QCOMPARE(downloads, expectedDownloads);
    QCOMPARE(replaces, expectedReplaces);
    QCOMPARE(plan.deletes, expectedDeletes);
    QCOMPARE(progress.count(), 340);
    for (int i = 0; i < progress.count(); ++i)
        QCOMPARE(progress.at(i).first().toDouble(), double(i + 1) / 340.0);
}

void tst_PlanCompiler::recompilesFromScratchAfterReset()
{
    QVERIFY(writeFile(iniPath(), (QStringLiteral("[bin]\na=") + entry(alpha)).toUtf8()));
    FileSpecifications plan;
    MakeDownloadReplaceListTaskSpecification task(&m_configuration, plan, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(plan.downloads.size(), 1);

    // Installed meanwhile: the second run must not keep the first run's entries.
    QVERIFY(writeFile(installPath() + QStringLiteral("/a"), alpha));
    task.reset();
    task.execute();
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(task.state, StateFinished);
    QVERIFY2(plan.downloads.isEmpty() && plan.replaces.isEmpty(), "entries of the first run survived");
}

void tst_PlanCompiler::specialFilesAreNotRead_data()
{
    QTest::addColumn<QString>("installed"); // what sits at the installed path
    QTest::addColumn<QString>("downloaded"); // what sits at the download's path
    QTest::newRow("FIFO installed") << "fifo"
                                    << "";
    QTest::newRow("link to a FIFO installed") << "link to fifo"
                                              << "";
    QTest::newRow("dangling link installed") << "dangling link"
                                             << "";
    QTest::newRow("FIFO as the downloaded copy") << ""
                                                 << "fifo";
}

void tst_PlanCompiler::specialFilesAreNotRead()
{
    // Reading a FIFO waits for a writer that never comes: only regular files are checked, and
    // anything else is planned like a file that does not match.
    QFETCH(QString, installed);
    QFETCH(QString, downloaded);
    auto make = [this](const QString& path, const QString& what) {
        const QByteArray name = QFile::encodeName(path);
        const QString fifo = m_install->filePath(QStringLiteral("fifo-elsewhere"));
        if (what == QLatin1String("fifo"))
            return ::mkfifo(name.constData(), 0644) == 0;
        if (what == QLatin1String("link to fifo"))
            return (QFileInfo::exists(fifo) || ::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0)
                && QFile::link(fifo, path);
        if (what == QLatin1String("dangling link"))
            return QFile::link(m_install->filePath(QStringLiteral("nothing-here")), path);
        return true;
    };
    QVERIFY(make(installPath() + QStringLiteral("/a"), installed));
    QVERIFY(make(m_temp->filePath(QStringLiteral("a")), downloaded));
    QVERIFY(writeFile(iniPath(), (QStringLiteral("[bin]\na=") + entry(alpha)).toUtf8()));

    FileSpecifications plan;
    QStringList messages;
    QVERIFY2(runTask(plan, &messages), qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(describeReplaces(plan), QStringList {"bin|a||0|"});
    QCOMPARE(describeDownloads(plan),
             QStringList {QStringLiteral("bin|a|%1|%2").arg(md5(alpha)).arg(alpha.size())});
}

QTEST_GUILESS_MAIN(tst_PlanCompiler)
#include "tst_plancompiler.moc"

// `kv3-publish release` round trip: a published release verifies with the updater's own check,
// compiles into the expected plan against the previous version's installation, and its files come
// down verified from a mirror that serves the published folder as it is.

#include "CheckSigFunc.h"
#include "Configuration.h"
#include "CryptoHelper.h"
#include "DownloadFileListTaskSpecification.h"
#include "FileBytes.h"
#include "FileReplaceTaskSpecification.h"
#include "FileSpecifications.h"
#include "IniDownloadTaskSpecification.h"
#include "MakeDownloadReplaceListFunc.h"
#include "Mirrors.h"
#include "NginxMirror.h"
#include "ReleaseFixture.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

namespace {
const QString clientType = QStringLiteral("Kelvaro3");
const QString demoPrivate = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der");

QByteArray gunzip(const QString& path)
{
    gzFile in = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!in)
        return QByteArray();
    QByteArray result;
    char buffer[4096];
    int n = 0;
    while ((n = gzread(in, buffer, sizeof buffer)) > 0)
        result.append(buffer, n);
    gzclose(in);
    return result;
}

QByteArray bytes(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + seed * 13 + i / 91) % 256);
    return data;
}
} // namespace

class tst_PublishRelease : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void layoutAndSignature();
    void namesItsReleaseAboveTheSections();
    void compilesIntoExpectedPlan_data();
    void compilesIntoExpectedPlan();
    void downloadsPublishedRelease_data();
    void downloadsPublishedRelease();
    void deletesFromHandWrittenPrevious_data();
    void deletesFromHandWrittenPrevious();
    void packPatterns_data();
    void packPatterns();
    void refuses_data();
    void refuses();
    void deletesCarryForward_data();
    void deletesCarryForward();
    void oldCopyNameLimit_data();
    void oldCopyNameLimit();
    void warnsAboutExecuteBitsTheUpdaterDrops();

private:
    QString mirror() const { return m_dir.filePath(QStringLiteral("mirror")); }
    QString version(int v) const { return mirror() + QLatin1Char('/') + QString::number(v); }

    QTemporaryDir m_dir;
    ReleaseFixture m_fixture {QStringLiteral(KV3_PUBLISH_EXE), demoPrivate};
    ReleaseFixture::Tree m_v1;
    ReleaseFixture::Tree m_v2;
};

void tst_PublishRelease::initTestCase()
{
    crypt_init();
    QVERIFY(m_dir.isValid());
    m_v1 = {{"kv3client_linux_amd64", bytes(5000, 1)},
            {"lib/libvoice.so", bytes(20000, 2)},
            {"lib/libold.so", bytes(300, 3)},
            {"readme.txt", "version one\n"},
            {"sounds/old/beep.wav", bytes(700, 4)}};
    m_v2 = {{"kv3client_linux_amd64", bytes(5000, 1)}, // unchanged
            {"lib/libvoice.so", bytes(21000, 5)}, // changed, packed
            {"readme.txt", "version two, with a comma\n"}, // changed
            {"lib/plugins/new one, too.so", bytes(900, 6)}, // added, packed, odd name
            {"sounds/new/ding.wav", bytes(800, 7)}}; // added
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("src1")), m_v1));
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("src2")), m_v2));
    QVERIFY(FileBytes::write(m_dir.filePath(QStringLiteral("changes.txt")), "What is new\n"));
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("srcColons")),
                                      {{"lib/odd::name.so", bytes(100, 8)}}));
    // readme.txt is a file in version 1.
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("srcFileBecomesFolder")),
                                      {{"readme.txt/part1.txt", "now a folder\n"}}));
    // A folder reached through a link, and a link to nothing: neither may silently go missing.
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("srcLinkedFolder")),
                                      {{"readme.txt", "linked\n"}}));
    QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("src1/lib")),
                        m_dir.filePath(QStringLiteral("srcLinkedFolder/lib"))));
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("srcBrokenLink")),
                                      {{"readme.txt", "broken\n"}}));
    QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("nowhere")),
                        m_dir.filePath(QStringLiteral("srcBrokenLink/libvoice.so"))));

    // Names the updater keeps for itself, and folders of version 1 that become files.
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("srcOldPrefix")),
                                      {{"readme.txt", "x\n"}, {"lib/_old_libvoice.so", bytes(100, 9)}}));
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("srcFolderBecomesFile")),
                                      {{"readme.txt", "x\n"}, {"sounds/old", "now a file\n"}}));
    QVERIFY(ReleaseFixture::writeTree(m_dir.filePath(QStringLiteral("srcTopFolderBecomesFile")),
                                      {{"readme.txt", "x\n"}, {"lib", "now a file\n"}}));

    QVERIFY2(m_fixture.publish(m_dir.filePath(QStringLiteral("src1")), 1, clientType, mirror()),
             qPrintable(m_fixture.lastOutput()));
    QVERIFY2(m_fixture.publish(m_dir.filePath(QStringLiteral("src2")), 2, clientType, mirror(),
                               {QStringLiteral("--pack"), QStringLiteral("*.so"),
                                QStringLiteral("--previous"), version(1), QStringLiteral("--changelog"),
                                m_dir.filePath(QStringLiteral("changes.txt"))}),
             qPrintable(m_fixture.lastOutput()));
}

void tst_PublishRelease::layoutAndSignature()
{
    const QString v2 = version(2);
    QVERIFY2(!QFileInfo::exists(v2 + QStringLiteral(".partial")), "the staging folder was left behind");
    QCOMPARE(FileBytes::read(v2 + QStringLiteral("/changelog_client.txt")), QByteArray("What is new\n"));
    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it) {
        const bool packed = it.key().endsWith(QLatin1String(".so"));
        const QString stored = v2 + QStringLiteral("/files/") + it.key() + (packed ? ".gz" : "");
        QVERIFY2(QFileInfo::exists(stored), qPrintable(stored));
        QVERIFY2((packed ? gunzip(stored) : FileBytes::read(stored)) == it.value(), qPrintable(stored));
    }
    // The updater's own check of the product ini against its signature.
    for (int v : {1, 2}) {
        CheckSigFunc check(version(v) + QLatin1Char('/') + clientType + QStringLiteral(".ini"), QString());
        QVERIFY2(check.run(), qPrintable(QStringLiteral("version %1 does not verify").arg(v)));
    }
    QCOMPARE(FileBytes::read(version(2) + QStringLiteral("/Kelvaro3.ini.sig")).size(), 128);
}

void tst_PublishRelease::namesItsReleaseAboveTheSections()
{
    const QString iniPath = version(2) + QStringLiteral("/Kelvaro3.ini");
    const QByteArray ini = FileBytes::read(iniPath);
    // Inside the signed bytes (layoutAndSignature), before the first section.
    QVERIFY2(ini.startsWith("type=Kelvaro3\nversion=2\n\n["), ini.left(80).constData());

    // A reader that only looks at sections sees exactly what it saw without the two keys.
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString bare = scratch.filePath(QStringLiteral("bare.ini"));
    QVERIFY(FileBytes::write(bare, ini.mid(ini.indexOf('['))));
    QSettings named(iniPath, QSettings::IniFormat);
    QSettings unnamed(bare, QSettings::IniFormat);
    QCOMPARE(named.childGroups(), QStringList({QStringLiteral("delete"), QStringLiteral("files")}));
    QCOMPARE(named.childGroups(), unnamed.childGroups());
    for (const QString& group : named.childGroups()) {
        named.beginGroup(group);
        unnamed.beginGroup(group);
        QCOMPARE(named.allKeys(), unnamed.allKeys());
        for (const QString& key : named.allKeys())
            QCOMPARE(named.value(key), unnamed.value(key));
        named.endGroup();
        unnamed.endGroup();
    }
    // QSettings files the keys above the first section under "General", which is no section.
    QCOMPARE(named.childKeys(), QStringList({QStringLiteral("type"), QStringLiteral("version")}));
    QCOMPARE(named.value(QStringLiteral("type")).toString(), clientType);
    QCOMPARE(named.value(QStringLiteral("version")).toString(), QStringLiteral("2"));
    QVERIFY(unnamed.childKeys().isEmpty());
}

void tst_PublishRelease::compilesIntoExpectedPlan_data()
{
    QTest::addColumn<QString>("installed"); // the client folder the installation is a copy of
    QTest::addColumn<QStringList>("downloads");
    QTest::addColumn<QStringList>("replaces"); // installed paths
    QTest::addColumn<QStringList>("deletes");

    QTest::newRow("from the previous version")
        << "src1"
        << QStringList {"lib/libvoice.so.gz", "lib/plugins/new one, too.so.gz", "readme.txt",
                        "sounds/new/ding.wav"}
        << QStringList {"lib/libvoice.so", "lib/plugins/new one, too.so", "readme.txt", "sounds/new/ding.wav"}
        << QStringList {"lib/libold.so", "sounds/old/beep.wav"};
    QTest::newRow("already up to date") << "src2" << QStringList() << QStringList() << QStringList();
}

void tst_PublishRelease::compilesIntoExpectedPlan()
{
    QFETCH(QString, installed);
    QFETCH(QStringList, downloads);
    QFETCH(QStringList, replaces);
    QFETCH(QStringList, deletes);

    QTemporaryDir install;
    QTemporaryDir temp;
    QVERIFY(install.isValid() && temp.isValid());
    QVERIFY(ReleaseFixture::writeTree(install.path(), installed == QLatin1String("src1") ? m_v1 : m_v2));
    QVERIFY(QFile::copy(version(2) + QStringLiteral("/Kelvaro3.ini"),
                        temp.filePath(QStringLiteral("Kelvaro3.ini"))));
    Configuration::setAppRootPathOverride(install.path());
    Configuration configuration;
    configuration.clientType = clientType;
    configuration.tempDir = temp.path();

    FileSpecifications plan;
    MakeDownloadReplaceListFunc func(&configuration, plan);
    const bool ok = func.run();
    Configuration::setAppRootPathOverride(QString());
    QVERIFY(ok);

    QStringList actualDownloads;
    for (const FileDownloadSpecification& d : std::as_const(plan.downloads)) {
        QCOMPARE(d.section, QStringLiteral("files"));
        actualDownloads << d.fileName;
    }
    QStringList actualReplaces;
    for (const FileReplaceSpecification& r : std::as_const(plan.replaces))
        actualReplaces << r.destFileName(QString());
    QStringList actualDeletes = plan.deletes;
    actualDownloads.sort();
    actualReplaces.sort();
    actualDeletes.sort();
    QCOMPARE(actualDownloads, downloads);
    QCOMPARE(actualReplaces, replaces);
    QCOMPARE(actualDeletes, deletes);
}

void tst_PublishRelease::downloadsPublishedRelease_data()
{
    QTest::addColumn<bool>("nginx");
    QTest::newRow("test mirror server") << false;
    QTest::newRow("nginx") << true;
}

void tst_PublishRelease::downloadsPublishedRelease()
{
    QFETCH(bool, nginx);
    // The mirror serves the published folder as it is; the updater's stages fetch and verify.
    TestHttpServer server;
    NginxMirror nginxServer(mirror());
    QString baseUrl;
    if (nginx) {
        if (NginxMirror::executable().isEmpty())
            QSKIP("nginx is not installed (Debian package nginx-light)");
        QVERIFY2(nginxServer.start(), qPrintable(nginxServer.errorString()));
        baseUrl = nginxServer.baseUrl();
    } else {
        QVERIFY2(server.listen(), qPrintable(server.errorString()));
        server.serveDirectory(mirror());
        baseUrl = server.baseUrl();
    }
    QNetworkAccessManager manager;
    Mirrors pool(nullptr);
    FTPSiteAccessData entry;
    entry.name = QStringLiteral("published");
    entry.url = baseUrl + QStringLiteral("/2");
    entry.maxUse = 4;
    pool.mirrors = {entry};
    QTemporaryDir temp;
    QTemporaryDir install;
    QVERIFY(temp.isValid() && install.isValid());
    Configuration configuration;
    configuration.clientType = clientType;
    configuration.clientVersion = 2;
    configuration.tempDir = temp.path();

    IniDownloadTaskSpecification iniTask(&manager, &pool, &configuration, nullptr, 0.1);
    QSignalSpy iniFinished(&iniTask, &TaskSpecification::finished);
    iniTask.execute();
    QTRY_COMPARE(iniFinished.count(), 1);

    QVERIFY(ReleaseFixture::writeTree(install.path(), m_v1));
    Configuration::setAppRootPathOverride(install.path());
    FileSpecifications plan;
    MakeDownloadReplaceListFunc func(&configuration, plan);
    const bool compiled = func.run();
    Configuration::setAppRootPathOverride(QString());
    QVERIFY(compiled);
    QCOMPARE(plan.downloads.size(), 4);

    DownloadFileListTaskSpecification listTask(&plan.downloads, &manager, &pool, &configuration, nullptr,
                                               0.4);
    QSignalSpy listFinished(&listTask, &TaskSpecification::finished);
    QSignalSpy listCanceled(&listTask, &TaskSpecification::canceled);
    listTask.execute();
    QTRY_COMPARE(listFinished.count() + listCanceled.count(), 1);
    QCOMPARE(listFinished.count(), 1);
    for (const FileDownloadSpecification& d : std::as_const(plan.downloads))
        QCOMPARE(FileBytes::read(temp.filePath(d.fileName)),
                 FileBytes::read(version(2) + QStringLiteral("/files/") + d.fileName));
    QCOMPARE(pool.mirrors.size(), 1);
}

void tst_PublishRelease::deletesFromHandWrittenPrevious_data()
{
    QTest::addColumn<QByteArray>("previousIni");
    QTest::addColumn<QStringList>("deletes");

    const QByteArray m = "0cc175b9c0f1b6a831c399e269772661";
    QTest::newRow("unquoted comma in an unpacked name") << "[bin]\nold.gz=" + m + "::1::" + m
            + "::1::old,one.txt\n" << QStringList {"old,one.txt"};
    QTest::newRow("five fields, empty unpacked name") << "[bin]\nold.txt=" + m + "::1::::0::\n"
                                                      << QStringList {"old.txt"};
    // The previous deletes go on, so that a client that skips versions loses those files too.
    QTest::newRow("kept by the new version; the previous deletes carried forward") << "[bin]\nreadme.txt=" + m
            + "::1\n[delete]\nolder.txt=\n" << QStringList {"older.txt"};
    QTest::newRow("previous deletes that the new version has again, as a file or a folder")
        << "[bin]\nold.txt=" + m + "::1\n[delete]\nreadme.txt=\nlib=\nsounds/new=\nolder.txt=\n"
        << QStringList {"old.txt", "older.txt"};
    QTest::newRow("previous paths that are no paths inside the installation are dropped") << "[bin]\nold.txt="
            + m + "::1\n../up.txt=" + m
            + "::1\n[delete]\n../escape=\nsub/../../x=\nolder.txt=\n" << QStringList {"old.txt", "older.txt"};
}

void tst_PublishRelease::deletesFromHandWrittenPrevious()
{
    // A previous version published by other means: its product ini is read as the updater reads it.
    QFETCH(QByteArray, previousIni);
    QFETCH(QStringList, deletes);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString previous = root.filePath(QStringLiteral("Kelvaro3.ini"));
    QVERIFY(FileBytes::write(previous, previousIni));
    QVERIFY2(m_fixture.publish(m_dir.filePath(QStringLiteral("src2")), 3, clientType, root.path(),
                               {QStringLiteral("--previous"), previous}),
             qPrintable(m_fixture.lastOutput()));
    QSettings ini(root.filePath(QStringLiteral("3/Kelvaro3.ini")), QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("delete"));
    QCOMPARE(ini.allKeys(), deletes);
}

void tst_PublishRelease::packPatterns_data()
{
    QTest::addColumn<QStringList>("patterns");
    QTest::addColumn<QStringList>("packed"); // installed paths stored gzip-packed

    QTest::newRow("none") << QStringList() << QStringList();
    QTest::newRow("a name glob matches in every folder")
        << QStringList {"*.so"} << QStringList {"lib/libvoice.so", "lib/plugins/new one, too.so"};
    QTest::newRow("a path glob stays in its folder")
        << QStringList {"lib/*"} << QStringList {"lib/libvoice.so"};
    QTest::newRow("several patterns")
        << QStringList {"readme.txt", "sounds/*/*.wav"} << QStringList {"readme.txt", "sounds/new/ding.wav"};
}

void tst_PublishRelease::packPatterns()
{
    QFETCH(QStringList, patterns);
    QFETCH(QStringList, packed);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QStringList args;
    for (const QString& pattern : patterns)
        args << QStringLiteral("--pack") << pattern;
    QVERIFY2(m_fixture.publish(m_dir.filePath(QStringLiteral("src2")), 3, clientType, root.path(), args),
             qPrintable(m_fixture.lastOutput()));
    QStringList actual;
    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it) {
        const QString stored = root.filePath(QStringLiteral("3/files/") + it.key());
        const bool isPacked = QFileInfo::exists(stored + QStringLiteral(".gz"));
        QVERIFY2(isPacked != QFileInfo::exists(stored), qPrintable(stored));
        if (isPacked) {
            QCOMPARE(gunzip(stored + QStringLiteral(".gz")), it.value());
            actual << it.key();
        }
    }
    QCOMPARE(actual, packed);
}

void tst_PublishRelease::refuses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("complaint");

    const QString src = m_dir.filePath(QStringLiteral("src2"));
    const QStringList base {QStringLiteral("release"),
                            QStringLiteral("--key"),
                            demoPrivate,
                            QStringLiteral("--type"),
                            clientType,
                            QStringLiteral("--out"),
                            mirror()};
    QTest::newRow("version already published")
        << base + QStringList {"--version", "2", src} << 1 << "exists already";
    QTest::newRow("no version") << base + QStringList {src} << 2 << "--version is required";
    QTest::newRow("version not a number")
        << base + QStringList {"--version", "two", src} << 2 << "positive whole number";
    QTest::newRow("source not a folder")
        << base + QStringList {"--version", "9", m_dir.filePath(QStringLiteral("changes.txt"))} << 1
        << "is not a folder";
    QTest::newRow("previous without a product ini")
        << base + QStringList {"--version", "9", "--previous", m_dir.filePath(QStringLiteral("src1")), src}
        << 1 << "no product ini";
    // The updater would refuse the whole product ini over the six-field line.
    QTest::newRow("packed name holding the field separator") << base
            + QStringList {"--version", "9", "--pack", "*.so", m_dir.filePath(QStringLiteral("srcColons"))}
                                                             << 1 << "cannot hold \"::\"";
    QTest::newRow("a file of the previous version becomes a folder")
        << base
            + QStringList {"--version", "9", "--previous", version(1),
                           m_dir.filePath(QStringLiteral("srcFileBecomesFolder"))}
        << 1 << "readme.txt is a file in the previous version and a folder in this one";
    QTest::newRow("a folder reached through a link")
        << base + QStringList {"--version", "9", m_dir.filePath(QStringLiteral("srcLinkedFolder"))} << 1
        << "lib cannot be published";
    QTest::newRow("a broken link") << base
            + QStringList {"--version", "9", m_dir.filePath(QStringLiteral("srcBrokenLink"))}
                                   << 1 << "libvoice.so cannot be published";
    QTest::newRow("a file named like an old copy")
        << base + QStringList {"--version", "9", m_dir.filePath(QStringLiteral("srcOldPrefix"))} << 1
        << "lib/_old_libvoice.so: names beginning with \"_old_\" are the updater's";
    QTest::newRow("a folder of the previous version becomes a file")
        << base
            + QStringList {"--version", "9", "--previous", version(1),
                           m_dir.filePath(QStringLiteral("srcFolderBecomesFile"))}
        << 1 << "sounds/old is a folder in the previous version and a file in this one";
    QTest::newRow("a top folder of the previous version becomes a file")
        << base
            + QStringList {"--version", "9", "--previous", version(1),
                           m_dir.filePath(QStringLiteral("srcTopFolderBecomesFile"))}
        << 1 << "lib is a folder in the previous version and a file in this one";
    QTest::newRow("public key only") << QStringList {
        "release", "--key",     QStringLiteral(KV3_SOURCE_DIR "/keys/demo/public.der"),
        "--type",  clientType,  "--out",
        mirror(),  "--version", "9",
        src} << 1 << "only a public key";
}

void tst_PublishRelease::refuses()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, complaint);

    QProcess process;
    process.start(QStringLiteral(KV3_PUBLISH_EXE), args);
    QVERIFY(process.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(process.exitCode() == exitCode, qPrintable(err));
    QVERIFY2(err.contains(complaint), qPrintable(err));
    QVERIFY2(!QFileInfo::exists(version(9)) && !QFileInfo::exists(version(9) + QStringLiteral(".partial")),
             "a refused release left a folder behind");
    QCOMPARE(FileBytes::read(version(2) + QStringLiteral("/changelog_client.txt")),
             QByteArray("What is new\n"));
}

void tst_PublishRelease::deletesCarryForward_data()
{
    QTest::addColumn<ReleaseFixture::Tree>("third"); // version 3; version 1 is {a, b}, version 2 {a}
    QTest::addColumn<QStringList>("deletes");
    QTest::newRow("b stays gone") << ReleaseFixture::Tree {{"a", "a\n"}, {"c", "c\n"}} << QStringList {"b"};
    QTest::newRow("b comes back") << ReleaseFixture::Tree {{"a", "a\n"}, {"b", "b again\n"}} << QStringList();
    QTest::newRow("b becomes a folder")
        << ReleaseFixture::Tree {{"a", "a\n"}, {"b/inner", "in\n"}} << QStringList();
}

void tst_PublishRelease::deletesCarryForward()
{
    // A client of version 1 that updates straight to version 3 must lose b as well.
    QFETCH(ReleaseFixture::Tree, third);
    QFETCH(QStringList, deletes);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString previous = QStringLiteral("--previous");
    QVERIFY(ReleaseFixture::writeTree(root.filePath(QStringLiteral("s1")), {{"a", "a\n"}, {"b", "b\n"}}));
    QVERIFY(ReleaseFixture::writeTree(root.filePath(QStringLiteral("s2")), {{"a", "a\n"}}));
    QVERIFY(ReleaseFixture::writeTree(root.filePath(QStringLiteral("s3")), third));
    const QString out = root.filePath(QStringLiteral("mirror"));
    QVERIFY2(m_fixture.publish(root.filePath(QStringLiteral("s1")), 1, clientType, out),
             qPrintable(m_fixture.lastOutput()));
    QVERIFY2(m_fixture.publish(root.filePath(QStringLiteral("s2")), 2, clientType, out,
                               {previous, out + QStringLiteral("/1")}),
             qPrintable(m_fixture.lastOutput()));
    QVERIFY2(m_fixture.publish(root.filePath(QStringLiteral("s3")), 3, clientType, out,
                               {previous, out + QStringLiteral("/2")}),
             qPrintable(m_fixture.lastOutput()));
    QSettings ini(out + QStringLiteral("/3/Kelvaro3.ini"), QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("delete"));
    QCOMPARE(ini.allKeys(), deletes);
}

void tst_PublishRelease::oldCopyNameLimit_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("published");
    // The updater sets a file aside as "_old_" + its name, and a name holds at most 255 bytes.
    QTest::newRow("250 bytes") << QString(250, QLatin1Char('n')) << true;
    QTest::newRow("251 bytes") << QString(251, QLatin1Char('n')) << false;
    QTest::newRow("126 two-byte characters") << QString(126, QChar(0xe4)) << false;
    QTest::newRow("125 two-byte characters") << QString(125, QChar(0xe4)) << true;
}

void tst_PublishRelease::oldCopyNameLimit()
{
    QFETCH(QString, name);
    QFETCH(bool, published);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString source = root.filePath(QStringLiteral("src"));
    QVERIFY(ReleaseFixture::writeTree(source, {{"readme.txt", "x\n"}}));
    QVERIFY(QDir(source).mkpath(QStringLiteral("lib")));
    QVERIFY(FileBytes::write(source + QStringLiteral("/lib/") + name, "long\n"));
    const bool ok = m_fixture.publish(source, 1, clientType, root.filePath(QStringLiteral("mirror")));
    QVERIFY2(ok == published, qPrintable(m_fixture.lastOutput()));
    if (!published)
        QVERIFY2(
            m_fixture.lastOutput().contains(QStringLiteral("its old copy's name would exceed 255 bytes")),
            qPrintable(m_fixture.lastOutput()));
}

void tst_PublishRelease::warnsAboutExecuteBitsTheUpdaterDrops()
{
    // The updater gives the execute bit only to the files its rule names: a maker whose tool
    // is executable in the source folder must hear that it will not be after an update.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString source = root.filePath(QStringLiteral("src"));
    const QStringList executable {
        "kv3client_linux_amd64", "lib/libx.so", "lib/libQtGui.so.4", "tools/helper", "lib/libfoo.so.4.8",
        "data/tool.dat",         "UPDATE"};
    ReleaseFixture::Tree tree {{"readme.txt", "plain\n"}};
    for (const QString& path : executable)
        tree.insert(path, path.toUtf8());
    QVERIFY(ReleaseFixture::writeTree(source, tree));
    for (const QString& path : executable)
        QVERIFY(QFile::setPermissions(source + QLatin1Char('/') + path,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                          | QFile::ExeOther));

    QProcess process;
    process.start(QStringLiteral(KV3_PUBLISH_EXE),
                  {QStringLiteral("release"), QStringLiteral("--key"), demoPrivate, QStringLiteral("--type"),
                   clientType, QStringLiteral("--out"), root.filePath(QStringLiteral("mirror")),
                   QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--pack"),
                   QStringLiteral("*.dat"), source});
    QVERIFY(process.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(process.exitCode() == 0, qPrintable(err));
    QVERIFY2(QFileInfo::exists(root.filePath(QStringLiteral("mirror/1/Kelvaro3.ini"))),
             "nothing was published");

    QStringList warned;
    const QStringList lines = err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        QVERIFY2(line.startsWith(QLatin1String("release: warning: ")), qPrintable(line));
        warned << line.section(QLatin1Char(' '), 2, 2);
        // The rule, as the updater applies it, is named in full.
        for (const QString& name : FileReplaceTaskSpecification::executableFiles)
            QVERIFY2(line.contains(name), qPrintable(line));
        for (const QString& suffix : FileReplaceTaskSpecification::executableSuffixes)
            QVERIFY2(line.contains(QLatin1Char('.') + suffix), qPrintable(line));
    }
    QCOMPARE(warned, (QStringList {"UPDATE", "data/tool.dat", "lib/libfoo.so.4.8", "tools/helper"}));
}

QTEST_GUILESS_MAIN(tst_PublishRelease)
#include "tst_publishrelease.moc"

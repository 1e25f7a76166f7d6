// The record of an unfinished update session in update.ini: round trip, validity, removal.
#include "Configuration.h"
#include "ScratchInstallation.h"
#include "UpdateIniData.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <QMap>
#include <QScopeGuard>

#include <sys/stat.h>
#include <unistd.h>

class tst_UpdateIniData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void roundTripKeepsOtherGroups();
    void roundTripAwkwardPaths_data();
    void roundTripAwkwardPaths();
    void modifyReplacesRecord();
    void invalidRecords_data();
    void invalidRecords();
    void defaultTempFolder();
    void nullPointers();
    void cleanupRemovesOnlyTheRecord();
    void filename();
    void markSessionDirectory();
    void markSessionDirectoryFails_data();
    void markSessionDirectoryFails();

private:
    QString iniPath() const { return m_root->filePath(QStringLiteral("update.ini")); }
    void writeUpdateIni(const QByteArray& contents);
    // A session directory as a run makes it: created in the temp folder and marked. Empty when
    // that failed.
    QString newSessionDirectory();
    // get() must find exactly this record.
    void expectRecord(int version, const QString& type, const QString& dir);
    QScopedPointer<ScratchInstallation> m_root;
    // Taken as the system's temporary folder (TMPDIR) by every case.
    QScopedPointer<QTemporaryDir> m_temp;
    QByteArray m_oldTmpDir;
};

const QByteArray otherGroups("[Channel]\nbeta=true\n\n[update]\nproxy=http://p.example:8080\n"
                             "streams=3\n");

void tst_UpdateIniData::init()
{
    m_oldTmpDir = qgetenv("TMPDIR");
    m_root.reset(); // one application root at a time
    m_root.reset(new ScratchInstallation);
    QVERIFY2(m_root->isValid(), qPrintable(m_root->errorString()));
    m_temp.reset(new QTemporaryDir);
    QVERIFY2(m_temp->isValid(), qPrintable(m_temp->errorString()));
    qputenv("TMPDIR", QFile::encodeName(m_temp->path()));
}

void tst_UpdateIniData::cleanup()
{
    if (m_oldTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", m_oldTmpDir);
}

QString tst_UpdateIniData::newSessionDirectory()
{
    Configuration configuration;
    if (!configuration.createTempDir() || !UpdateIniData::markSessionDirectory(configuration.tempDir))
        return QString();
    return configuration.tempDir;
}

void tst_UpdateIniData::writeUpdateIni(const QByteArray& contents)
{
    const QString error = m_root->writeFile(QStringLiteral("update.ini"), contents);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void tst_UpdateIniData::expectRecord(int version, const QString& type, const QString& dir)
{
    int storedVersion = 0;
    QString storedType, storedDir;
    QVERIFY2(UpdateIniData::get(&storedVersion, &storedType, &storedDir), qPrintable(dir));
    QCOMPARE(storedVersion, version);
    QCOMPARE(storedType, type);
    QCOMPARE(storedDir, dir);
}

void tst_UpdateIniData::roundTripKeepsOtherGroups()
{
    writeUpdateIni(otherGroups);
    const QString dir = newSessionDirectory();
    QVERIFY(!dir.isEmpty());

    UpdateIniData::modify(12, dir, QStringLiteral("client_linux_x86"));
    expectRecord(12, QStringLiteral("client_linux_x86"), dir);
    if (QTest::currentTestFailed())
        return;

    QSettings file(iniPath(), QSettings::IniFormat);
    QCOMPARE(file.childGroups(), (QStringList {"Channel", "current", "update"}));
    file.beginGroup(QStringLiteral("current"));
    QCOMPARE(file.childKeys(), (QStringList {"dir", "type", "version"}));
    file.endGroup();
    QCOMPARE(file.value(QStringLiteral("Channel/beta")).toString(), QStringLiteral("true"));
    QCOMPARE(file.value(QStringLiteral("update/proxy")).toString(), QStringLiteral("http://p.example:8080"));
    QCOMPARE(file.value(QStringLiteral("update/streams")).toInt(), 3);
}

void tst_UpdateIniData::roundTripAwkwardPaths_data()
{
    QTest::addColumn<QByteArray>("handWritten"); // null: written by modify(12, dir, type)
    // The temporary folder below the scratch one: the session directory's name is fixed, so the
    // awkward characters of a path come from there.
    QTest::addColumn<QString>("tempFolder");
    QTest::addColumn<QString>("type");

    const QByteArray byModify;
    QTest::newRow("comma in the directory") << byModify << "temp,1"
                                            << "client,x";
    QTest::newRow("non-ASCII directory") << byModify << QString::fromUtf8("tmp ü ß 日本") << "client";
    QTest::newRow("blanks, quotes, semicolon, hash, equals") << byModify << "a \"b\" ;c #d =e"
                                                             << "t=;#";
    QTest::newRow("leading and trailing blanks") << byModify << " spaced "
                                                 << " t ";
    QTest::newRow("TMPDIR with a trailing slash") << byModify << "slash/"
                                                  << "t";
    // DIR stands for the directory's absolute path.
    QTest::newRow("hand-written, unquoted commas")
        << QByteArray("[current]\nversion=12\ndir=DIR\ntype=client,x\n") << "temp,1"
        << "client,x";
    QTest::newRow("hand-written, quoted values")
        << QByteArray("[current]\nversion=\"12\"\ndir=\"DIR\"\ntype=\"t\"\n") << "temp"
        << "t";
}

void tst_UpdateIniData::roundTripAwkwardPaths()
{
    QFETCH(QByteArray, handWritten);
    QFETCH(QString, tempFolder);
    QFETCH(QString, type);
    const QString folder = m_temp->filePath(tempFolder);
    QVERIFY(QDir().mkpath(folder));
    qputenv("TMPDIR", QFile::encodeName(folder));
    const QString dir = newSessionDirectory();
    QVERIFY(!dir.isEmpty());
    QCOMPARE(dir, QDir::cleanPath(folder) + QStringLiteral("/kelvaro_temp_0"));
    if (handWritten.isNull())
        UpdateIniData::modify(12, dir, type);
    else
        writeUpdateIni(handWritten.replace("DIR", QFile::encodeName(dir)));
    expectRecord(12, type, dir);
}

void tst_UpdateIniData::modifyReplacesRecord()
{
    const QString first = newSessionDirectory();
    const QString second = newSessionDirectory();
    QVERIFY(!first.isEmpty() && !second.isEmpty());
    UpdateIniData::modify(12, first, QStringLiteral("a"));
    UpdateIniData::modify(13, second, QStringLiteral("b"));
    expectRecord(13, QStringLiteral("b"), second);
}

void tst_UpdateIniData::invalidRecords_data()
{
    QTest::addColumn<QByteArray>("record");
    // Names in braces stand for the paths that invalidRecords() sets up; {DIR} is a session
    // directory as a run leaves it, accepted on its own.
    QTest::newRow("no file") << QByteArray();
    QTest::newRow("no group") << QByteArray("[Channel]\nbeta=true\n");
    QTest::newRow("version a word") << QByteArray("[current]\nversion=abc\ndir={DIR}\ntype=t\n");
    QTest::newRow("version missing") << QByteArray("[current]\ndir={DIR}\ntype=t\n");
    QTest::newRow("version empty") << QByteArray("[current]\nversion=\ndir={DIR}\ntype=t\n");
    QTest::newRow("type empty") << QByteArray("[current]\nversion=12\ndir={DIR}\ntype=\n");
    QTest::newRow("type missing") << QByteArray("[current]\nversion=12\ndir={DIR}\n");
    QTest::newRow("dir empty") << QByteArray("[current]\nversion=12\ndir=\ntype=t\n");
    QTest::newRow("dir deleted") << QByteArray("[current]\nversion=12\ndir={GONE}\ntype=t\n");
    QTest::newRow("dir relative, not there")
        << QByteArray("[current]\nversion=12\ndir=no-such-dir\ntype=t\n");
    QTest::newRow("update.ini is a folder") << QByteArray("FOLDER");

    // The engine empties the recorded directory, or downloads into it and installs from it: only a
    // directory that a run of this installation made may be taken. Any other folder of the user
    // (their home, an earlier TMPDIR's session) is refused, however it looks.
    const auto row = [](const char* name, const char* dir) {
        QTest::newRow(name) << (QByteArray("[current]\nversion=12\ndir=") + dir + "\ntype=t\n");
    };
    row("dir relative, there", ".");
    row("the home directory", "{HOME}");
    row("marked, but outside the temp folder", "{OUTSIDE}");
    row("marked, nested below the temp folder", "{NESTED}");
    row("marked, other name", "{OTHERNAME}");
    row("marked, name without number", "{NONUMBER}");
    row("marked, number with leading zero", "{LEADINGZERO}");
    row("marked, number 1000", "{THOUSAND}");
    row("dot-dot through a link", "{DOTDOT}");
    row("dir a link to a session", "{LINK}");
    row("dir a link, trailing slash", "{LINK}/");
    row("dir a plain file", "{PLAIN}");
    row("dir of another user", "{OTHERS}"); // needs root
    row("dir writable by others", "{SHARED}");
    row("no marker", "{UNMARKED}");
    row("marker names another installation", "{FOREIGN}");
    row("marker names a folder below the root", "{LONGER}");
    row("marker names a prefix of the root", "{SHORTER}");
    row("marker with a second line", "{SECONDLINE}");
    row("marker a link to a good marker", "{MARKERLINK}");
    row("marker a FIFO", "{MARKERFIFO}");
    row("marker a folder", "{MARKERDIR}");
}

void tst_UpdateIniData::invalidRecords()
{
    QFETCH(QByteArray, record);
    const QString session = newSessionDirectory();
    QVERIFY2(!session.isEmpty(), "cannot make a session directory");
    const QString root = Configuration::getAppRootPath();
    const QByteArray rootLine = root.toUtf8() + '\n';
    const auto temp = [this](const char* name) {
        return m_temp->filePath(QLatin1String(name));
    };
    // A folder (made with mode 0700) holding a marker with these bytes.
    const auto marked = [](const QString& dir, const QByteArray& marker) {
        QFile file(dir + QStringLiteral("/.kelvaro_session"));
        return QDir().mkpath(dir) && ::chmod(QFile::encodeName(dir).constData(), 0700) == 0
            && file.open(QIODevice::WriteOnly) && file.write(marker) == marker.size();
    };

    QMap<QByteArray, QString> paths;
    paths["DIR"] = session;
    paths["GONE"] = temp("kelvaro_temp_900");
    paths["HOME"] = QDir::homePath();
    paths["OUTSIDE"] = m_root->filePath(QStringLiteral("kelvaro_temp_0"));
    paths["NESTED"] = temp("sub/kelvaro_temp_0");
    paths["OTHERNAME"] = temp("session");
    paths["NONUMBER"] = temp("kelvaro_temp_");
    paths["LEADINGZERO"] = temp("kelvaro_temp_07");
    paths["THOUSAND"] = temp("kelvaro_temp_1000");
    for (const char* name : {"OUTSIDE", "NESTED", "OTHERNAME", "NONUMBER", "LEADINGZERO", "THOUSAND"})
        QVERIFY2(marked(paths[name], rootLine), name);
    // Read through the link, the path leaves the temp folder for the marked folder OUTSIDE; read
    // as text, it names the good session directory.
    QVERIFY(QDir().mkdir(m_root->filePath(QStringLiteral("inner"))));
    QVERIFY(QFile::link(m_root->filePath(QStringLiteral("inner")), temp("hop")));
    paths["DOTDOT"] = temp("hop/../") + QFileInfo(session).fileName();
    paths["LINK"] = temp("kelvaro_temp_901");
    QVERIFY(QFile::link(session, paths["LINK"]));
    paths["PLAIN"] = temp("kelvaro_temp_902");
    QVERIFY(QFile(paths["PLAIN"]).open(QIODevice::WriteOnly));
    paths["OTHERS"] = temp("kelvaro_temp_903");
    QVERIFY(marked(paths["OTHERS"], rootLine));
    if (::geteuid() == 0)
        QCOMPARE(::chown(QFile::encodeName(paths["OTHERS"]).constData(), 65534, 65534), 0);
    else if (record.contains("{OTHERS}"))
        QSKIP("needs root: giving a folder to another user");
    paths["SHARED"] = temp("kelvaro_temp_904");
    QVERIFY(marked(paths["SHARED"], rootLine));
    QCOMPARE(::chmod(QFile::encodeName(paths["SHARED"]).constData(), 0777), 0);
    paths["UNMARKED"] = temp("kelvaro_temp_905");
    QVERIFY(QDir().mkdir(paths["UNMARKED"]));
    paths["FOREIGN"] = temp("kelvaro_temp_906");
    QVERIFY(marked(paths["FOREIGN"], "/opt/another/installation\n"));
    paths["LONGER"] = temp("kelvaro_temp_907");
    QVERIFY(marked(paths["LONGER"], root.toUtf8() + "/sub\n"));
    paths["SHORTER"] = temp("kelvaro_temp_908");
    QVERIFY(marked(paths["SHORTER"], root.toUtf8().chopped(1) + '\n'));
    paths["SECONDLINE"] = temp("kelvaro_temp_909");
    QVERIFY(marked(paths["SECONDLINE"], rootLine + "more\n"));
    paths["MARKERLINK"] = temp("kelvaro_temp_910");
    QVERIFY(QDir().mkdir(paths["MARKERLINK"]));
    QVERIFY(QFile::link(session + QStringLiteral("/.kelvaro_session"),
                        paths["MARKERLINK"] + QStringLiteral("/.kelvaro_session")));
    paths["MARKERFIFO"] = temp("kelvaro_temp_911");
    QVERIFY(QDir().mkdir(paths["MARKERFIFO"]));
    QCOMPARE(::mkfifo(QFile::encodeName(paths["MARKERFIFO"] + "/.kelvaro_session").constData(), 0600), 0);
    paths["MARKERDIR"] = temp("kelvaro_temp_912");
    QVERIFY(QDir().mkpath(paths["MARKERDIR"] + QStringLiteral("/.kelvaro_session")));

    if (record == "FOLDER") {
        QVERIFY(QDir().mkdir(iniPath()));
    } else if (!record.isNull()) {
        for (auto it = paths.cbegin(); it != paths.cend(); ++it)
            record.replace(QByteArray('{' + it.key() + '}'), QFile::encodeName(it.value()));
        writeUpdateIni(record);
    }

    int version = -1;
    QString type = QStringLiteral("unchanged"), dir = QStringLiteral("unchanged");
    QVERIFY2(!UpdateIniData::get(&version, &type, &dir), record.constData());
    QCOMPARE(version, -1);
    QCOMPARE(type, QStringLiteral("unchanged"));
    QCOMPARE(dir, QStringLiteral("unchanged"));
}

void tst_UpdateIniData::defaultTempFolder()
{
    // Without TMPDIR the session lives in the system's temporary folder, and the same rule holds.
    qunsetenv("TMPDIR");
    const QString dir = newSessionDirectory();
    QVERIFY(!dir.isEmpty());
    const auto removeDir = qScopeGuard([dir] { QDir(dir).removeRecursively(); });
    QCOMPARE(QFileInfo(dir).path(), QDir::tempPath());
    UpdateIniData::modify(12, dir, QStringLiteral("t"));
    expectRecord(12, QStringLiteral("t"), dir);

    // Another temp folder now: that session is not one this run would make.
    qputenv("TMPDIR", QFile::encodeName(m_temp->path()));
    QVERIFY2(!UpdateIniData::get(nullptr, nullptr, nullptr), "a session outside TMPDIR was taken");
}

void tst_UpdateIniData::nullPointers()
{
    const QString dir = newSessionDirectory();
    QVERIFY(!dir.isEmpty());
    UpdateIniData::modify(12, dir, QStringLiteral("t"));
    int version = 0;
    QVERIFY(UpdateIniData::get(&version, nullptr, nullptr));
    QCOMPARE(version, 12);
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr));
}

void tst_UpdateIniData::cleanupRemovesOnlyTheRecord()
{
    writeUpdateIni(otherGroups);
    const QString dir = newSessionDirectory();
    QVERIFY(!dir.isEmpty());
    UpdateIniData::modify(12, dir, QStringLiteral("t"));

    UpdateIniData::cleanup();

    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
    QSettings file(iniPath(), QSettings::IniFormat);
    QCOMPARE(file.childGroups(), (QStringList {"Channel", "update"}));
    QCOMPARE(file.value(QStringLiteral("Channel/beta")).toString(), QStringLiteral("true"));
    QCOMPARE(file.value(QStringLiteral("update/streams")).toInt(), 3);
    QVERIFY2(QFileInfo(dir).isDir(), "removing the record must not touch its directory");
}

void tst_UpdateIniData::filename()
{
    QCOMPARE(UpdateIniData::filename(), QDir(m_root->path()).absoluteFilePath("update.ini"));
}

void tst_UpdateIniData::markSessionDirectory()
{
    const QString dir = m_root->filePath(QStringLiteral("session"));
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(UpdateIniData::markSessionDirectory(dir));
    QFile marker(dir + QStringLiteral("/.kelvaro_session"));
    QVERIFY2(marker.open(QIODevice::ReadOnly), qPrintable(marker.errorString()));
    QCOMPARE(marker.readAll(), Configuration::getAppRootPath().toUtf8() + '\n');
    marker.close();

    // A resumed session is marked again: the marker is replaced, not appended to.
    QVERIFY(UpdateIniData::markSessionDirectory(dir));
    QVERIFY(marker.open(QIODevice::ReadOnly));
    QCOMPARE(marker.readAll(), Configuration::getAppRootPath().toUtf8() + '\n');
}

void tst_UpdateIniData::markSessionDirectoryFails_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("no such directory") << "missing";
    QTest::newRow("a folder at the marker's name") << "folder";
    QTest::newRow("a plain file instead of the directory") << "plain";
}

void tst_UpdateIniData::markSessionDirectoryFails()
{
    QFETCH(QString, obstacle);
    const QString dir = m_root->filePath(QStringLiteral("session"));
    if (obstacle == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/.kelvaro_session")));
    else if (obstacle == QLatin1String("plain"))
        QVERIFY(m_root->writeFile(QStringLiteral("session")).isEmpty());
    QVERIFY2(!UpdateIniData::markSessionDirectory(dir), "a marker that cannot be written is a failure");
}

QTEST_MAIN(tst_UpdateIniData)
#include "tst_updateinidata.moc"

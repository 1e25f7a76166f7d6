// The record of an unfinished update session in update.ini: round trip, validity, removal.
#include "Configuration.h"
#include "ScratchInstallation.h"
#include "UpdateIniData.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_UpdateIniData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void roundTripKeepsOtherGroups();
    void roundTripAwkwardPaths_data();
    void roundTripAwkwardPaths();
    void modifyReplacesRecord();
    void invalidRecords_data();
    void invalidRecords();
    void nullPointers();
    void cleanupRemovesOnlyTheRecord();
    void filename();
    void markSessionDirectory();
    void markSessionDirectoryFails_data();
    void markSessionDirectoryFails();

private:
    QString iniPath() const { return m_root->filePath(QStringLiteral("update.ini")); }
    void writeUpdateIni(const QByteArray& contents);
    // get() must find exactly this record.
    void expectRecord(int version, const QString& type, const QString& dir);
    QScopedPointer<ScratchInstallation> m_root;
};

const QByteArray otherGroups("[Channel]\nbeta=true\n\n[update]\nproxy=http://p.example:8080\n"
                             "streams=3\n");

void tst_UpdateIniData::init()
{
    m_root.reset(); // one application root at a time
    m_root.reset(new ScratchInstallation);
    QVERIFY2(m_root->isValid(), qPrintable(m_root->errorString()));
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
    const QString dir = m_root->filePath(QStringLiteral("kelvaro_temp_0"));
    QVERIFY(QDir().mkdir(dir));

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
    QTest::addColumn<QString>("dirName");
    QTest::addColumn<QString>("type");

    const QByteArray byModify;
    QTest::newRow("comma in the directory") << byModify << "temp,1"
                                            << "client,x";
    QTest::newRow("non-ASCII directory") << byModify << QString::fromUtf8("tmp ü ß 日本") << "client";
    QTest::newRow("blanks, quotes, semicolon, hash") << byModify << "a \"b\" ;c #d"
                                                     << "t";
    QTest::newRow("leading and trailing blanks") << byModify << " spaced "
                                                 << " t ";
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
    QFETCH(QString, dirName);
    QFETCH(QString, type);
    const QString dir = m_root->filePath(dirName);
    QVERIFY(QDir().mkdir(dir));
    if (handWritten.isNull())
        UpdateIniData::modify(12, dir, type);
    else
        writeUpdateIni(handWritten.replace("DIR", QFile::encodeName(dir)));
    expectRecord(12, type, dir);
}

void tst_UpdateIniData::modifyReplacesRecord()
{
    const QString first = m_root->filePath(QStringLiteral("first"));
    const QString second = m_root->filePath(QStringLiteral("second"));
    QVERIFY(QDir().mkdir(first));
    QVERIFY(QDir().mkdir(second));
    UpdateIniData::modify(12, first, QStringLiteral("a"));
    UpdateIniData::modify(13, second, QStringLiteral("b"));
    expectRecord(13, QStringLiteral("b"), second);
}

void tst_UpdateIniData::invalidRecords_data()
{
    QTest::addColumn<QByteArray>("record");
    // DIR stands for an existing directory, GONE for one that has been deleted.
    QTest::newRow("no file") << QByteArray();
    QTest::newRow("no group") << QByteArray("[Channel]\nbeta=true\n");
    QTest::newRow("version a word") << QByteArray("[current]\nversion=abc\ndir=DIR\ntype=t\n");
    QTest::newRow("version missing") << QByteArray("[current]\ndir=DIR\ntype=t\n");
    QTest::newRow("version empty") << QByteArray("[current]\nversion=\ndir=DIR\ntype=t\n");
    QTest::newRow("type empty") << QByteArray("[current]\nversion=12\ndir=DIR\ntype=\n");
    QTest::newRow("type missing") << QByteArray("[current]\nversion=12\ndir=DIR\n");
    QTest::newRow("dir empty") << QByteArray("[current]\nversion=12\ndir=\ntype=t\n");
    QTest::newRow("dir deleted") << QByteArray("[current]\nversion=12\ndir=GONE\ntype=t\n");
    QTest::newRow("dir relative, not there")
        << QByteArray("[current]\nversion=12\ndir=no-such-dir\ntype=t\n");
    // What may stand under a session directory's predictable name once the session's own is gone:
    // the engine would empty it or install from it.
    QTest::newRow("dir relative, there") << QByteArray("[current]\nversion=12\ndir=.\ntype=t\n");
    QTest::newRow("dir a link to a folder") << QByteArray("[current]\nversion=12\ndir=LINK\ntype=t\n");
    QTest::newRow("dir a link, trailing slash") << QByteArray("[current]\nversion=12\ndir=LINK/\ntype=t\n");
    QTest::newRow("dir a plain file") << QByteArray("[current]\nversion=12\ndir=PLAIN\ntype=t\n");
    QTest::newRow("dir of another user") << QByteArray("[current]\nversion=12\ndir=OTHERS\ntype=t\n");
    QTest::newRow("dir writable by others") << QByteArray("[current]\nversion=12\ndir=SHARED\ntype=t\n");
    QTest::newRow("update.ini is a folder") << QByteArray("FOLDER");
}

void tst_UpdateIniData::invalidRecords()
{
    QFETCH(QByteArray, record);
    const QString existing = m_root->filePath(QStringLiteral("existing"));
    QVERIFY(QDir().mkdir(existing));
    if (record == "FOLDER") {
        QVERIFY(QDir().mkdir(iniPath()));
    } else if (!record.isNull()) {
        record.replace("GONE", QFile::encodeName(m_root->filePath(QStringLiteral("gone"))));
        const QByteArray link = QFile::encodeName(m_root->filePath(QStringLiteral("link")));
        const QByteArray plain = QFile::encodeName(m_root->filePath(QStringLiteral("plain")));
        const QByteArray others = QFile::encodeName(m_root->filePath(QStringLiteral("others")));
        const QByteArray shared = QFile::encodeName(m_root->filePath(QStringLiteral("shared")));
        QVERIFY(QFile::link(existing, QFile::decodeName(link)));
        QVERIFY(m_root->writeFile(QStringLiteral("plain")).isEmpty());
        QCOMPARE(::mkdir(others.constData(), 0700), 0);
        QCOMPARE(::chown(others.constData(), 65534, 65534), 0);
        QCOMPARE(::mkdir(shared.constData(), 0700), 0);
        QCOMPARE(::chmod(shared.constData(), 0777), 0);
        record.replace("LINK", link)
            .replace("PLAIN", plain)
            .replace("OTHERS", others)
            .replace("SHARED", shared);
        record.replace("DIR", QFile::encodeName(existing));
        writeUpdateIni(record);
    }

    int version = -1;
    QString type = QStringLiteral("unchanged"), dir = QStringLiteral("unchanged");
    QVERIFY(!UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, -1);
    QCOMPARE(type, QStringLiteral("unchanged"));
    QCOMPARE(dir, QStringLiteral("unchanged"));
}

void tst_UpdateIniData::nullPointers()
{
    const QString dir = m_root->filePath(QStringLiteral("d"));
    QVERIFY(QDir().mkdir(dir));
    UpdateIniData::modify(12, dir, QStringLiteral("t"));
    int version = 0;
    QVERIFY(UpdateIniData::get(&version, nullptr, nullptr));
    QCOMPARE(version, 12);
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr));
}

void tst_UpdateIniData::cleanupRemovesOnlyTheRecord()
{
    writeUpdateIni(otherGroups);
    const QString dir = m_root->filePath(QStringLiteral("d"));
    QVERIFY(QDir().mkdir(dir));
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

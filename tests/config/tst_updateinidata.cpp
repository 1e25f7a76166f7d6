// The record of an unfinished update session in update.ini: round trip, validity, removal.
#include "Configuration.h"
#include "UpdateIniData.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

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
    void handWrittenRecords_data();
    void handWrittenRecords();
    void nullPointers();
    void cleanupRemovesOnlyTheRecord();
    void filename();

private:
    QString iniPath() const { return m_root->filePath(QStringLiteral("update.ini")); }
    void writeUpdateIni(const QByteArray& contents);
    QScopedPointer<QTemporaryDir> m_root;
};

const QByteArray otherGroups("[Channel]\nbeta=true\n\n[update]\nproxy=http://p.example:8080\n"
                             "streams=3\n");

void tst_UpdateIniData::init()
{
    m_root.reset(new QTemporaryDir);
    QVERIFY2(m_root->isValid(), qPrintable(m_root->errorString()));
    Configuration::setAppRootPathOverride(m_root->path());
}

void tst_UpdateIniData::cleanup()
{
    Configuration::setAppRootPathOverride(QString());
}

void tst_UpdateIniData::writeUpdateIni(const QByteArray& contents)
{
    QFile ini(iniPath());
    QVERIFY2(ini.open(QIODevice::WriteOnly), qPrintable(ini.errorString()));
    ini.write(contents);
}

void tst_UpdateIniData::roundTripKeepsOtherGroups()
{
    writeUpdateIni(otherGroups);
    const QString dir = m_root->filePath(QStringLiteral("kelvaro_temp_0"));
    QVERIFY(QDir().mkdir(dir));

    UpdateIniData::modify(12, dir, QStringLiteral("client_linux_x86"));

    int version = 0;
    QString type, storedDir;
    QVERIFY(UpdateIniData::get(&version, &type, &storedDir));
    QCOMPARE(version, 12);
    QCOMPARE(type, QStringLiteral("client_linux_x86"));
    QCOMPARE(storedDir, dir);

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
    QTest::addColumn<QString>("dirName");
    QTest::addColumn<QString>("type");
    QTest::newRow("comma in the directory") << "temp,1"
                                            << "client,x";
    QTest::newRow("non-ASCII directory") << QString::fromUtf8("tmp ü ß 日本") << "client";
    QTest::newRow("blanks, quotes, semicolon, hash") << "a \"b\" ;c #d"
                                                     << "t";
    QTest::newRow("leading and trailing blanks") << " spaced "
                                                 << " t ";
}

void tst_UpdateIniData::roundTripAwkwardPaths()
{
    QFETCH(QString, dirName);
    QFETCH(QString, type);
    const QString dir = m_root->filePath(dirName);
    QVERIFY(QDir().mkdir(dir));

    UpdateIniData::modify(7, dir, type);
    int version = 0;
    QString storedType, storedDir;
    QVERIFY2(UpdateIniData::get(&version, &storedType, &storedDir), qPrintable(dir));
    QCOMPARE(version, 7);
    QCOMPARE(storedDir, dir);
    QCOMPARE(storedType, type);
}

void tst_UpdateIniData::modifyReplacesRecord()
{
    const QString first = m_root->filePath(QStringLiteral("first"));
    const QString second = m_root->filePath(QStringLiteral("second"));
    QVERIFY(QDir().mkdir(first));
    QVERIFY(QDir().mkdir(second));
    UpdateIniData::modify(12, first, QStringLiteral("a"));
    UpdateIniData::modify(13, second, QStringLiteral("b"));

    int version = 0;
    QString type, dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, 13);
    QCOMPARE(type, QStringLiteral("b"));
    QCOMPARE(dir, second);
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

void tst_UpdateIniData::handWrittenRecords_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("dirName");
    QTest::addColumn<QString>("type");
    // DIR stands for the directory's absolute path.
    QTest::newRow("unquoted comma in dir and type")
        << QByteArray("[current]\nversion=12\ndir=DIR\ntype=client,x\n") << "temp,1"
        << "client,x";
    QTest::newRow("quoted values") << QByteArray("[current]\nversion=\"12\"\ndir=\"DIR\"\ntype=\"t\"\n")
                                   << "temp"
                                   << "t";
}

void tst_UpdateIniData::handWrittenRecords()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, dirName);
    const QString dir = m_root->filePath(dirName);
    QVERIFY(QDir().mkdir(dir));
    record.replace("DIR", QFile::encodeName(dir));
    writeUpdateIni(record);

    int version = 0;
    QString type, storedDir;
    QVERIFY2(UpdateIniData::get(&version, &type, &storedDir), record.constData());
    QCOMPARE(version, 12);
    QCOMPARE(storedDir, dir);
    QTEST(type, "type");
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

QTEST_MAIN(tst_UpdateIniData)
#include "tst_updateinidata.moc"

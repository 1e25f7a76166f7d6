// Writing and removing the session record in update.ini: the rest of the file is the user's and
// keeps every byte; what is written reads back exactly; a write that fails says so.
#include "Configuration.h"
#include "ScratchInstallation.h"
#include "UpdateIniData.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sets or clears the immutable attribute (chattr +i), which binds root too. False when the file
// system or the caller's rights do not allow it.
bool setImmutable(const QString& path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

struct Settings
{
    UpdateChannel channel;
    int clientVersion;
    QString proxy;
    int downloadStreams;
    bool operator==(const Settings& other) const
    {
        return channel == other.channel && clientVersion == other.clientVersion && proxy == other.proxy
            && downloadStreams == other.downloadStreams;
    }
};

// What the rest of the program reads from the other groups.
Settings readSettings()
{
    Configuration configuration;
    configuration.getUpdateChannel();
    configuration.getProxyAndDownloadConcurrency();
    return {configuration.channel, configuration.clientVersion, configuration.proxy,
            configuration.downloadStreams};
}

} // namespace

class tst_UpdateIniWrite : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void keepsOtherBytes_data();
    void keepsOtherBytes();
    void valuesReadBackExactly_data();
    void valuesReadBackExactly();
    void replacesTheFileWhole();
    void failuresAreLogged_data();
    void failuresAreLogged();
    void refusesTextItCannotEdit_data();
    void refusesTextItCannotEdit();

private:
    QString iniPath() const { return m_root->filePath(QStringLiteral("update.ini")); }
    QByteArray iniBytes() const;
    QScopedPointer<ScratchInstallation> m_root;
    QScopedPointer<QTemporaryDir> m_temp;
    QByteArray m_oldTmpDir;
    QString m_session;
};

void tst_UpdateIniWrite::init()
{
    m_oldTmpDir = qgetenv("TMPDIR");
    m_root.reset(); // one application root at a time
    m_root.reset(new ScratchInstallation);
    QVERIFY2(m_root->isValid(), qPrintable(m_root->errorString()));
    m_temp.reset(new QTemporaryDir);
    QVERIFY2(m_temp->isValid(), qPrintable(m_temp->errorString()));
    qputenv("TMPDIR", QFile::encodeName(m_temp->path()));
    Configuration configuration;
    QVERIFY(configuration.createTempDir());
    QVERIFY(UpdateIniData::markSessionDirectory(configuration.tempDir));
    m_session = configuration.tempDir;
}

void tst_UpdateIniWrite::cleanup()
{
    if (m_oldTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", m_oldTmpDir);
}

QByteArray tst_UpdateIniWrite::iniBytes() const
{
    QFile file(iniPath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void tst_UpdateIniWrite::keepsOtherBytes_data()
{
    QTest::addColumn<QByteArray>("before"); // null: no file
    // {REC} stands for the record's lines as modify(12, session, "t") writes them.
    QTest::addColumn<QByteArray>("afterModify");
    QTest::addColumn<QByteArray>("afterCleanup");

    const QByteArray settings("; written by hand\n[Channel]\n# the pinned alpha\n"
                              "alpha=http://a.example/x,y\nalphaRevno=7\n\n"
                              "[update]\nproxy=http://caf\xe9.example:3128\nstreams=3\n");
    QTest::newRow("comments, unquoted comma, Latin-1")
        << settings << settings + "[current]\n{REC}" << settings;
    const QByteArray crlf("[Channel]\r\nbeta=true\r\n\r\n[update]\r\nstreams=2\r\n");
    QTest::newRow("CRLF line ends") << crlf << crlf + "[current]\r\n{REC}" << crlf;
    QTest::newRow("no line end at the end")
        << QByteArray("[update]\nstreams=3") << QByteArray("[update]\nstreams=3\n[current]\n{REC}")
        << QByteArray("[update]\nstreams=3\n");
    QTest::newRow("record between groups, with a comment")
        << QByteArray("[Channel]\nbeta=1\n\n[current]\n; the updater's\nversion=3\ndir=/old\ntype=old\n\n"
                      "[update]\nproxy=a,b\n")
        << QByteArray("[Channel]\nbeta=1\n\n[current]\n{REC}; the updater's\n\n[update]\nproxy=a,b\n")
        << QByteArray("[Channel]\nbeta=1\n\n; the updater's\n\n[update]\nproxy=a,b\n");
    QTest::newRow("record in two pieces")
        << QByteArray("[current]\nversion=3\n[update]\nstreams=2\n[current]\ntype=old\n")
        << QByteArray("[current]\n{REC}[update]\nstreams=2\n") << QByteArray("[update]\nstreams=2\n");
    QTest::newRow("continued value in the record")
        << QByteArray("[current]\ndir=/a\\\n[update]\nversion=3\n[update]\nstreams=2\n")
        << QByteArray("[current]\n{REC}[update]\nstreams=2\n") << QByteArray("[update]\nstreams=2\n");
    QTest::newRow("same keys in other groups")
        << QByteArray("[update]\nversion=1\ndir=x\ntype=y\n[Current]\nversion=2\n")
        << QByteArray("[update]\nversion=1\ndir=x\ntype=y\n[Current]\nversion=2\n[current]\n{REC}")
        << QByteArray("[update]\nversion=1\ndir=x\ntype=y\n[Current]\nversion=2\n");
    QTest::newRow("record header last, no line end")
        << QByteArray("[update]\nstreams=3\n[current]") << QByteArray("[update]\nstreams=3\n[current]\n{REC}")
        << QByteArray("[update]\nstreams=3\n");
    // The backslash joins the next line to the value: the header must not become part of it.
    QTest::newRow("last line continued") << QByteArray("[update]\nstreams=3\nproxy=x\\")
                                         << QByteArray("[update]\nstreams=3\nproxy=x\\\n\n[current]\n{REC}")
                                         << QByteArray("[update]\nstreams=3\nproxy=x\\\n\n");
    QTest::newRow("no file") << QByteArray() << QByteArray("[current]\n{REC}") << QByteArray("");
    // A quoted value goes on across line ends: what looks like a header inside it is text.
    const QByteArray quoted("[update]\nproxy=\"a\n[current]\nversion=1\"\nstreams=2\n");
    QTest::newRow("header inside a quoted value") << quoted << quoted + "[current]\n{REC}" << quoted;
    // The settings reader takes a key spelled with its group, or a group header spelled with
    // escapes, as part of the record: they are the record's lines too.
    QTest::newRow("record keys spelled elsewhere")
        << QByteArray("current\\version=5\n[update]\nstreams=2\n[%63urrent]\ntype=x\n[ current ]\ndir=y\n")
        << QByteArray("[update]\nstreams=2\n[current]\n{REC}") << QByteArray("[update]\nstreams=2\n");
    // Found by fuzzing: a key named like the group is no part of it.
    QTest::newRow("fuzzed: a key named current")
        << QByteArray("current=\\vesrion=5\n[update]\nstreams=2\n")
        << QByteArray("current=\\vesrion=5\n[update]\nstreams=2\n[current]\n{REC}")
        << QByteArray("current=\\vesrion=5\n[update]\nstreams=2\n");
    QTest::newRow("a group below the record")
        << QByteArray("[current/old]\nversion=1\n[update]\nstreams=2\n")
        << QByteArray("[update]\nstreams=2\n[current]\n{REC}") << QByteArray("[update]\nstreams=2\n");
}

void tst_UpdateIniWrite::keepsOtherBytes()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, afterModify);
    QFETCH(QByteArray, afterCleanup);
    if (!before.isNull())
        QVERIFY(m_root->writeFile(QStringLiteral("update.ini"), before).isEmpty());
    const Settings settingsBefore = readSettings();
    const QByteArray eol = before.contains("\r\n") ? "\r\n" : "\n";
    const QByteArray record =
        "version=12" + eol + "dir=" + QFile::encodeName(m_session) + eol + "type=t" + eol;
    afterModify.replace("{REC}", record);

    UpdateIniData::modify(12, m_session, QStringLiteral("t"));
    QCOMPARE(iniBytes(), afterModify);
    QVERIFY(readSettings() == settingsBefore);
    int version = 0;
    QString type, dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, 12);
    QCOMPARE(type, QStringLiteral("t"));
    QCOMPARE(dir, m_session);

    UpdateIniData::cleanup();
    QCOMPARE(iniBytes(), afterCleanup);
    QVERIFY(readSettings() == settingsBefore);
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
}

void tst_UpdateIniWrite::valuesReadBackExactly_data()
{
    QTest::addColumn<QString>("type");
    QTest::newRow("separators") << "a,b;c=d#e [f]";
    QTest::newRow("quotes and backslashes") << "\"q\" \\ end\\";
    QTest::newRow("blanks at both ends") << "  t  ";
    QTest::newRow("leading @") << "@Variant(x)";
    QTest::newRow("leading @ByteArray") << "@ByteArray(x)";
    QTest::newRow("non-ASCII") << QString::fromUtf8("ü ß 日本 \xF0\x9F\x98\x80");
    QString controls;
    for (char16_t c = 0; c < 0x80; ++c)
        controls += QChar(c) + QStringLiteral("1a"); // each control followed by hex digits
    QTest::newRow("every ASCII character") << controls;
}

void tst_UpdateIniWrite::valuesReadBackExactly()
{
    QFETCH(QString, type);
    QVERIFY(m_root->writeFile(QStringLiteral("update.ini"), "[update]\nstreams=3\n").isEmpty());
    UpdateIniData::modify(-7, m_session, type);
    int version = 0;
    QString storedType, dir;
    QVERIFY2(UpdateIniData::get(&version, &storedType, &dir), iniBytes().constData());
    QCOMPARE(version, -7);
    QCOMPARE(storedType, type);
    QCOMPARE(dir, m_session);
    QSettings file(iniPath(), QSettings::IniFormat);
    QCOMPARE(file.childGroups(), (QStringList {"current", "update"}));
    QCOMPARE(file.value(QStringLiteral("current/type")).toString(), type);
}

void tst_UpdateIniWrite::replacesTheFileWhole()
{
    // A reader of the old file, or a crash half-way, never sees a file half written: the new one
    // is written aside and renamed into place.
    const QByteArray before("[update]\nstreams=3\n");
    QVERIFY(m_root->writeFile(QStringLiteral("update.ini"), before).isEmpty());
    QCOMPARE(::chmod(QFile::encodeName(iniPath()).constData(), 0640), 0);
    QFile old(iniPath());
    QVERIFY(old.open(QIODevice::ReadOnly));
    UpdateIniData::modify(12, m_session, QStringLiteral("t"));
    QCOMPARE(old.readAll(), before);
    QVERIFY(iniBytes().startsWith(QByteArray(before + "[current]\n")));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(iniPath()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0640));
    QCOMPARE(QDir(m_root->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList {"update.ini"});
}

void tst_UpdateIniWrite::failuresAreLogged_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("update.ini a folder") << "folder";
    QTest::newRow("update.ini immutable") << "immutable file"; // needs root
    QTest::newRow("installation folder immutable") << "immutable root"; // needs root
    QTest::newRow("installation folder read-only") << "read-only root"; // not as root
}

void tst_UpdateIniWrite::failuresAreLogged()
{
    QFETCH(QString, obstacle);
    const bool root = ::geteuid() == 0;
    const QByteArray before("[current]\nversion=3\ndir=/old\ntype=old\n[update]\nstreams=3\n");
    if (obstacle == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(iniPath()));
    } else {
        QVERIFY(m_root->writeFile(QStringLiteral("update.ini"), before).isEmpty());
    }
    QString immutable;
    const auto undo = qScopeGuard([&immutable] {
        if (!immutable.isEmpty())
            setImmutable(immutable, false);
    });
    if (obstacle.startsWith(QLatin1String("immutable"))) {
        if (!root)
            QSKIP("needs root: the immutable attribute");
        const QString target = obstacle.endsWith(QLatin1String("file")) ? iniPath() : m_root->path();
        QVERIFY2(setImmutable(target, true), "cannot set the immutable attribute");
        immutable = target;
    } else if (obstacle == QLatin1String("read-only root")) {
        if (root)
            QSKIP("root writes into a read-only folder");
        QCOMPARE(::chmod(QFile::encodeName(m_root->path()).constData(), 0555), 0);
    }
    const auto restoreMode =
        qScopeGuard([this] { ::chmod(QFile::encodeName(m_root->path()).constData(), 0700); });

    const QRegularExpression logged(QStringLiteral("^Cannot write the session record to .*update.ini"));
    QTest::ignoreMessage(QtInfoMsg, logged);
    UpdateIniData::modify(12, m_session, QStringLiteral("t"));
    if (obstacle != QLatin1String("folder")) {
        // cleanup() has something to remove only where the old record is still there.
        QTest::ignoreMessage(QtInfoMsg, logged);
        UpdateIniData::cleanup();
        QCOMPARE(iniBytes(), before);
    } else {
        QVERIFY(QFileInfo(iniPath()).isDir());
    }
    QStringList left = QDir(m_root->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(left, QStringList {"update.ini"});
}

void tst_UpdateIniWrite::refusesTextItCannotEdit_data()
{
    QTest::addColumn<QByteArray>("before");
    // Found by fuzzing: the quote opens a value that runs to the end of the file, so a record
    // appended there would be read as part of it.
    QTest::newRow("fuzzed: quote after a header, never closed") << QByteArray("[Channel]\"\nbetproxy=");
    QTest::newRow("quoted value never closed") << QByteArray("[update]\nproxy=\"http://p\nstreams=3\n");
}

void tst_UpdateIniWrite::refusesTextItCannotEdit()
{
    QFETCH(QByteArray, before);
    QVERIFY(m_root->writeFile(QStringLiteral("update.ini"), before).isEmpty());
    const Settings settingsBefore = readSettings();
    QTest::ignoreMessage(
        QtInfoMsg, QRegularExpression(QStringLiteral("^Cannot write the session record to .*update.ini")));
    UpdateIniData::modify(12, m_session, QStringLiteral("t"));
    QCOMPARE(iniBytes(), before);
    QVERIFY(readSettings() == settingsBefore);
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
}

QTEST_MAIN(tst_UpdateIniWrite)
#include "tst_updateiniwrite.moc"

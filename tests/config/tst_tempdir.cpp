// The session's temporary directory: candidates, permissions, failures, and concurrent creators.
#include "Configuration.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <thread>
#include <vector>

class tst_TempDir : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void candidates_data();
    void candidates();
    void trailingSlash();
    void modeIsPrivateWhateverTheUmask();
    void failures_data();
    void failures();
    void missingTempDirIsCreated_data();
    void missingTempDirIsCreated();
    void concurrentCreatorsNeverShare();
    void initalizeStart_data();
    void initalizeStart();

private:
    QScopedPointer<QTemporaryDir> m_scratch;
    QByteArray m_oldTmpDir;
};

void tst_TempDir::init()
{
    m_scratch.reset(new QTemporaryDir);
    QVERIFY2(m_scratch->isValid(), qPrintable(m_scratch->errorString()));
    m_oldTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(m_scratch->path()));
}

void tst_TempDir::cleanup()
{
    if (m_oldTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", m_oldTmpDir);
}

void tst_TempDir::candidates_data()
{
    QTest::addColumn<QStringList>("takenByDirs");
    QTest::addColumn<QStringList>("takenByFiles");
    QTest::addColumn<QStringList>("takenByDanglingLinks");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing there") << QStringList() << QStringList() << QStringList() << "kelvaro_temp_0";
    QTest::newRow("stale directory 0")
        << QStringList {"kelvaro_temp_0"} << QStringList() << QStringList() << "kelvaro_temp_1";
    QTest::newRow("plain file 0") << QStringList() << QStringList {"kelvaro_temp_0"} << QStringList()
                                  << "kelvaro_temp_1";
    QTest::newRow("dangling link 0") << QStringList() << QStringList() << QStringList {"kelvaro_temp_0"}
                                     << "kelvaro_temp_1";
    QTest::newRow("0 to 2 taken, 4 taken")
        << QStringList {"kelvaro_temp_0", "kelvaro_temp_2", "kelvaro_temp_4"}
        << QStringList {"kelvaro_temp_1"} << QStringList() << "kelvaro_temp_3";
    QTest::newRow("names without number or with leading zero do not count")
        << QStringList {"kelvaro_temp_", "kelvaro_temp_00"} << QStringList {"kelvaro_temp"} << QStringList()
        << "kelvaro_temp_0";
}

void tst_TempDir::candidates()
{
    QFETCH(QStringList, takenByDirs);
    QFETCH(QStringList, takenByFiles);
    QFETCH(QStringList, takenByDanglingLinks);
    QFETCH(QString, expected);
    QDir scratch(m_scratch->path());
    for (const QString& name : takenByDirs)
        QVERIFY(scratch.mkdir(name));
    for (const QString& name : takenByFiles) {
        QFile file(scratch.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    for (const QString& name : takenByDanglingLinks)
        QVERIFY(QFile::link(scratch.filePath("nowhere"), scratch.filePath(name)));

    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(configuration.createTempDir());
    QVERIFY(fatal.isEmpty());
    QCOMPARE(configuration.tempDir, scratch.filePath(expected));
    QVERIFY2(QFileInfo(configuration.tempDir).isDir(), qPrintable(configuration.tempDir));
    QVERIFY2(QDir(configuration.tempDir).isEmpty(), "a taken name was reused");
}

void tst_TempDir::trailingSlash()
{
    qputenv("TMPDIR", QFile::encodeName(m_scratch->path() + "/"));
    Configuration configuration;
    QVERIFY(configuration.createTempDir());
    QCOMPARE(configuration.tempDir, m_scratch->path() + "/kelvaro_temp_0");
    QVERIFY2(!configuration.tempDir.contains("//"), qPrintable(configuration.tempDir));
}

void tst_TempDir::modeIsPrivateWhateverTheUmask()
{
    for (const mode_t mask : {mode_t(0), mode_t(022), mode_t(0277)}) {
        const mode_t previous = ::umask(mask);
        Configuration configuration;
        const bool created = configuration.createTempDir();
        ::umask(previous);
        QVERIFY(created);
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(configuration.tempDir).constData(), &info), 0);
        QVERIFY2(
            (info.st_mode & 07777) == 0700,
            qPrintable(
                QStringLiteral("umask %1 gave mode %2").arg(mask, 0, 8).arg(info.st_mode & 07777, 0, 8)));
    }
}

void tst_TempDir::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("message");
    QTest::newRow("all 1000 names taken") << "taken"
                                          << "Unable to create temp directory.";
    QTest::newRow("TMPDIR is a plain file") << "file"
                                            << "Unable to create temp directory.";
    QTest::newRow("TMPDIR below a plain file") << "belowfile"
                                               << "Unable to create temp directory.";
}

void tst_TempDir::failures()
{
    QFETCH(QString, setup);
    QDir scratch(m_scratch->path());
    if (setup == QLatin1String("taken")) {
        for (int i = 0; i < 1000; ++i) {
            QFile file(scratch.filePath(QStringLiteral("kelvaro_temp_%1").arg(i)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    } else if (setup == QLatin1String("file")) {
        QFile file(scratch.filePath(QStringLiteral("plain")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        qputenv("TMPDIR", QFile::encodeName(file.fileName()));
    } else {
        QFile file(scratch.filePath(QStringLiteral("plain")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        qputenv("TMPDIR", QFile::encodeName(file.fileName() + QStringLiteral("/tmp")));
    }

    Configuration configuration;
    configuration.tempDir = QStringLiteral("before");
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.createTempDir());
    QCOMPARE(fatal.size(), 1);
    QTEST(fatal.at(0).at(0).toString(), "message");
    QCOMPARE(configuration.tempDir, QStringLiteral("before"));
}

void tst_TempDir::missingTempDirIsCreated_data()
{
    QTest::addColumn<QString>("tmpDir");
    QTest::newRow("one level missing") << "missing";
    QTest::newRow("several levels missing, trailing slash") << "a/b/c/";
}

void tst_TempDir::missingTempDirIsCreated()
{
    // A TMPDIR that does not exist yet (a per-session folder nobody has made) is created with its
    // parents, as the session directory in it is.
    QFETCH(QString, tmpDir);
    qputenv("TMPDIR", QFile::encodeName(m_scratch->filePath(tmpDir)));
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY2(configuration.createTempDir(), qPrintable(fatal.value(0).value(0).toString()));
    QCOMPARE(configuration.tempDir,
             QDir::cleanPath(m_scratch->filePath(tmpDir)) + QStringLiteral("/kelvaro_temp_0"));
    QVERIFY2(QFileInfo(configuration.tempDir).isDir(), qPrintable(configuration.tempDir));
}

void tst_TempDir::concurrentCreatorsNeverShare()
{
    // Threads stand in for updater processes started at the same moment: each must get a
    // directory of its own, even when they race for the same candidate.
    constexpr int creators = 8;
    constexpr int perCreator = 25;
    std::vector<QStringList> created(creators);
    std::vector<std::thread> threads;
    for (int c = 0; c < creators; ++c) {
        threads.emplace_back([&created, c] {
            for (int i = 0; i < perCreator; ++i) {
                Configuration configuration;
                if (configuration.createTempDir())
                    created[size_t(c)].append(configuration.tempDir);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    QSet<QString> distinct;
    int total = 0;
    for (const QStringList& list : created) {
        total += int(list.size());
        for (const QString& dir : list)
            distinct.insert(dir);
    }
    QCOMPARE(total, creators * perCreator);
    QCOMPARE(int(distinct.size()), total);
}

void tst_TempDir::initalizeStart_data()
{
    QTest::addColumn<bool>("resume");
    QTest::newRow("new session: a new directory") << false;
    QTest::newRow("resumed session: its directory as it is") << true;
}

void tst_TempDir::initalizeStart()
{
    QFETCH(bool, resume);
    const QString earlier = m_scratch->filePath(QStringLiteral("earlier"));
    Configuration configuration;
    QVERIFY(configuration.initalizeStart(resume ? earlier : QString()));
    if (resume) {
        QCOMPARE(configuration.tempDir, earlier);
        QVERIFY2(!QFileInfo::exists(earlier), "a resumed directory is not created anew");
        QVERIFY(!QFileInfo::exists(m_scratch->filePath(QStringLiteral("kelvaro_temp_0"))));
    } else {
        QCOMPARE(configuration.tempDir, m_scratch->filePath(QStringLiteral("kelvaro_temp_0")));
        QVERIFY(QFileInfo(configuration.tempDir).isDir());
    }
}

QTEST_MAIN(tst_TempDir)
#include "tst_tempdir.moc"

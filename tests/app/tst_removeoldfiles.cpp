// Removal of the set-aside copies of the special files in one folder.
#include "UpdateEngine.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_RemoveOldFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void removesOnlySetAsideCopies_data();
    void removesOnlySetAsideCopies();
    void immutableCopyIsPassedOver();
    void missingFolder();

private:
    QString path(const QString& name) const { return m_dir->filePath(name); }
    void writeFile(const QString& name);
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_immutable;
};

void tst_RemoveOldFiles::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
}

void tst_RemoveOldFiles::cleanup()
{
    if (!m_immutable.isEmpty())
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_immutable});
    m_immutable.clear();
}

void tst_RemoveOldFiles::writeFile(const QString& name)
{
    QFile file(path(name));
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    file.write("x");
}

void tst_RemoveOldFiles::removesOnlySetAsideCopies_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("gone");

    const QStringList allCopies {"_old_update",
                                 "_old_libQtCore.so.4",
                                 "_old_libQtGui.so.4",
                                 "_old_libQtNetwork.so.4",
                                 "_old_libqgif.so",
                                 "_old_libqjpeg.so",
                                 "_old_libqtaccessiblewidgets.so"};
    QTest::newRow("every set-aside copy") << allCopies << QStringList() << allCopies;
    QTest::newRow("other names stay")
        << QStringList {"update",     "libQtCore.so.4", "_old_libqtcore.so.4", "_old_update.bak",
                        "old_update", "_old_client",    "_old__old_update"}
        << QStringList() << QStringList();
    QTest::newRow("a folder with a copy's name stays, the rest still go")
        << QStringList {"_old_libqgif.so", "_old_libqtaccessiblewidgets.so"} << QStringList {"_old_update"}
        << QStringList {"_old_libqgif.so", "_old_libqtaccessiblewidgets.so"};
}

void tst_RemoveOldFiles::removesOnlySetAsideCopies()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, gone);
    for (const QString& name : files)
        writeFile(name);
    for (const QString& name : folders)
        QVERIFY(QDir(m_dir->path()).mkdir(name));

    UpdateEngine::removeOldFiles(m_dir->path());

    for (const QString& name : files + folders) {
        const bool exists = QFileInfo::exists(path(name));
        QVERIFY2(exists != gone.contains(name), qPrintable(name + (exists ? " was left" : " was removed")));
    }
}

void tst_RemoveOldFiles::immutableCopyIsPassedOver()
{
    writeFile(QStringLiteral("_old_update"));
    writeFile(QStringLiteral("_old_libqjpeg.so"));
    m_immutable = path(QStringLiteral("_old_update"));
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_immutable}) != 0) {
        m_immutable.clear();
        QSKIP("chattr +i is not available here");
    }
    // Also a link: the link goes, the file it points to stays.
    writeFile(QStringLiteral("target"));
    QVERIFY(QFile::link(path(QStringLiteral("target")), path(QStringLiteral("_old_libqgif.so"))));
    QVERIFY(QFile::link(path(QStringLiteral("nowhere")), path(QStringLiteral("_old_libQtGui.so.4"))));

    UpdateEngine::removeOldFiles(m_dir->path());

    QVERIFY2(QFileInfo::exists(m_immutable), "an immutable file cannot be removed");
    QVERIFY2(!QFileInfo::exists(path(QStringLiteral("_old_libqjpeg.so"))),
             "a failure must not stop the removal of the other copies");
    QVERIFY(!QFileInfo(path(QStringLiteral("_old_libqgif.so"))).isSymLink());
    QVERIFY(!QFileInfo(path(QStringLiteral("_old_libQtGui.so.4"))).isSymLink());
    QVERIFY2(QFileInfo::exists(path(QStringLiteral("target"))), "a link's target must stay");
}

void tst_RemoveOldFiles::missingFolder()
{
    // A folder that does not exist, or is a file, is nothing to clean.
    writeFile(QStringLiteral("plain"));
    UpdateEngine::removeOldFiles(path(QStringLiteral("absent")));
    UpdateEngine::removeOldFiles(path(QStringLiteral("plain")));
    QVERIFY(QFileInfo(path(QStringLiteral("plain"))).isFile());
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("absent"))));
}

QTEST_MAIN(tst_RemoveOldFiles)
#include "tst_removeoldfiles.moc"

// The client launcher: which start scripts it starts (and proves it by what they write), and that
// a failed start is reported instead of passing for success.
#include "Configuration.h"
#include "ProcessTools.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_ProcessTools : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void startsTheClientScript_data();
    void startsTheClientScript();
};

void tst_ProcessTools::cleanup()
{
    Configuration::setAppRootPathOverride(QString());
}

void tst_ProcessTools::startsTheClientScript_data()
{
    QTest::addColumn<QByteArray>("firstLine"); // empty: no script at all
    QTest::addColumn<bool>("executable");
    QTest::addColumn<bool>("folderInstead");
    QTest::addColumn<bool>("started");

    QTest::newRow("#! script") << QByteArray("#!/bin/sh") << true << false << true;
    QTest::newRow("no #! line: run by /bin/sh") << QByteArray("# client start") << true << false << true;
    QTest::newRow("no #! line, no execute bit: run by /bin/sh")
        << QByteArray("true") << false << false << true;
    QTest::newRow("#! script without execute bit") << QByteArray("#!/bin/sh") << false << false << false;
    QTest::newRow("#! naming a missing interpreter")
        << QByteArray("#!/nonexistent/sh") << true << false << false;
    QTest::newRow("no script") << QByteArray() << false << false << false;
    QTest::newRow("a folder at the script's name") << QByteArray() << false << true << false;
}

void tst_ProcessTools::startsTheClientScript()
{
    QFETCH(QByteArray, firstLine);
    QFETCH(bool, executable);
    QFETCH(bool, folderInstead);
    QFETCH(bool, started);
    QTemporaryDir temp;
    QVERIFY2(temp.isValid(), qPrintable(temp.errorString()));
    // Blanks in the installation path must not split it into arguments.
    const QString root = temp.filePath(QStringLiteral("Kelvaro 3 client/my install"));
    QVERIFY(QDir().mkpath(root));
    Configuration::setAppRootPathOverride(root);
    const QString script = root + QStringLiteral("/kv3client_runscript.sh");
    const QString proof = temp.filePath(QStringLiteral("proof of run.txt"));

    if (folderInstead) {
        QVERIFY(QDir().mkpath(script));
    } else if (!firstLine.isEmpty()) {
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray body = firstLine + "\npwd > '" + QFile::encodeName(proof) + ".part' && mv '"
            + QFile::encodeName(proof) + ".part' '" + QFile::encodeName(proof) + "'\n";
        QVERIFY(file.write(body) == body.size());
        file.close();
        QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            mode |= QFile::ExeOwner;
        QVERIFY(file.setPermissions(mode));
    }

    QString reason;
    const bool result = ProcessTools::startKv3Client(&reason);

    QVERIFY2(result == started, qPrintable(reason));
    if (started) {
        QVERIFY2(reason.isEmpty(), qPrintable(reason));
        QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(proof), "the script did not run", 10000);
        QFile file(proof);
        QVERIFY(file.open(QIODevice::ReadOnly));
        // Started in the updater's working directory.
        QCOMPARE(QString::fromLocal8Bit(file.readAll()).trimmed(), QDir::currentPath());
    } else {
        QVERIFY2(reason.contains(script), qPrintable(reason));
        QVERIFY(!QFile::exists(proof));
    }
}

QTEST_MAIN(tst_ProcessTools)
#include "tst_processtools.moc"

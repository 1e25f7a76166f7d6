#include "Configuration.h"
#include "CryptoHelper.h"
#include "FileBytes.h"
#include "MainTaskSpecification.h"
#include "Mirrors.h"
#include "ScratchInstallation.h"
#include "TestHttpServer.h"
#include "TreeSnapshot.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_MainTask : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void failedProductIniEndsTheRunAfterTheFirstStage_data();
    void failedProductIniEndsTheRunAfterTheFirstStage();
    void resetEmptiesThePlan();
};

void tst_MainTask::initTestCase()
{
    crypt_init();
}

void tst_MainTask::failedProductIniEndsTheRunAfterTheFirstStage_data()
{
    QTest::addColumn<QString>("mirror");
    QTest::newRow("mirror without the release") << "404";
    QTest::newRow("no mirror at all") << "none";
}

void tst_MainTask::failedProductIniEndsTheRunAfterTheFirstStage()
{
    QFETCH(QString, mirror);

    ScratchInstallation install;
    QTemporaryDir temp;
    QVERIFY2(install.isValid() && temp.isValid(), "no scratch folders");
    QVERIFY(install.writeFile(QStringLiteral("kv3client_linux_amd64"), "installed").isEmpty());
    const TreeSnapshot before = TreeSnapshot::of(install.path());

    TestHttpServer server;
    QVERIFY(server.listen());
    Configuration configuration;
    configuration.clientType = QStringLiteral("kv3client_linux_amd64");
    configuration.tempDir = temp.path();
    Mirrors mirrors(nullptr);
    if (mirror == QLatin1String("404")) {
        const QString ini = temp.filePath(QStringLiteral("mirrors.ini"));
        QVERIFY(FileBytes::write(
            ini, "[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=" + server.baseUrl().toUtf8() + "\n"));
        QVERIFY(mirrors.initDefault(ini, 7));
    }
    QNetworkAccessManager manager;

    MainTaskSpecification task(&manager, &mirrors, &configuration, nullptr, 1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(messages.value(0).value(0).toString(), QStringLiteral("Starting update process"));

    // The five stages, in order, with their shares of the run.
    QStringList stages;
    for (TaskSpecification* stage : std::as_const(task.subTasks))
        stages << QStringLiteral("%1 %2")
                      .arg(QString::fromLatin1(stage->metaObject()->className()))
                      .arg(stage->parentProgressRange);
    QCOMPARE(
        stages,
        (QStringList {"IniDownloadTaskSpecification 0.1", "MakeDownloadReplaceListTaskSpecification 0.05",
                      "DownloadFileListTaskSpecification 0.4", "FileReplaceListTaskSpecification 0.4",
                      "FileDeleteListTaskSpecification 0.05"}));

    QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 30000);
    QCOMPARE(task.state, StateErrorCanceled);
    QCOMPARE(task.subTasks.at(0)->state, StateErrorCanceled);
    for (int i = 1; i < task.subTasks.size(); ++i)
        QVERIFY2(task.subTasks.at(i)->state == StateIdle,
                 qPrintable(QStringLiteral("stage %1 was started").arg(i + 1)));
    QVERIFY(task.fileSpecifications.downloads.isEmpty());
    QVERIFY(task.fileSpecifications.replaces.isEmpty());
    QVERIFY(task.fileSpecifications.deletes.isEmpty());
    QVERIFY2(TreeSnapshot::of(install.path()) == before, "a failed product ini changed the installation");
}

void tst_MainTask::resetEmptiesThePlan()
{
    Configuration configuration;
    Mirrors mirrors(nullptr);
    QNetworkAccessManager manager;
    MainTaskSpecification task(&manager, &mirrors, &configuration, nullptr, 1.0);
    task.fileSpecifications.downloads.append(FileDownloadSpecification());
    task.fileSpecifications.replaces.append(FileReplaceSpecification());
    task.fileSpecifications.deletes.append(QStringLiteral("gone.txt"));
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    task.reset();
    QVERIFY(task.fileSpecifications.downloads.isEmpty());
    QVERIFY(task.fileSpecifications.replaces.isEmpty());
    QVERIFY(task.fileSpecifications.deletes.isEmpty());
    QCOMPARE(task.state, StateIdle);
    QCOMPARE(progress.count(), 1);
}

QTEST_GUILESS_MAIN(tst_MainTask)
#include "tst_maintask.moc"

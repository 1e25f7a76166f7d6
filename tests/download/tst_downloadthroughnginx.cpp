// Transfers against nginx, the server real mirrors run: its answers (lengths, 404, redirects,
// connection handling) must be read the way the scripted mirror's are.
#include "DownloadTaskSpecification.h"
#include "Mirrors.h"
#include "NginxMirror.h"
#include "ScriptedRandomGenerator.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_DownloadThroughNginx : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fetchesFilesAndDropsBrokenMirrors();
};

namespace {
QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 13 + seed * 7 + i / 4096) % 256);
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}
} // namespace

void tst_DownloadThroughNginx::fetchesFilesAndDropsBrokenMirrors()
{
    QTemporaryDir root;
    QTemporaryDir target;
    QVERIFY2(root.isValid() && target.isValid(), "no scratch folders");
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("updates/5/data")));
    const QList<QPair<QString, QByteArray>> files = {
        {QStringLiteral("kelvaro.ini"), pattern(1500, 1)},
        {QStringLiteral("data/big.bin"), pattern(6 * 1024 * 1024 + 123, 2)},
        {QStringLiteral("data/empty.bin"), QByteArray()},
        {QStringLiteral("data/chunk.bin"), pattern(4096, 3)},
    };
    for (const auto& file : files)
        QVERIFY(writeFile(root.filePath(QStringLiteral("updates/5/") + file.first), file.second));

    NginxMirror nginx(root.path());
    nginx.addServerDirectives(QStringLiteral("location /moved/ { return 302 /updates/; }"));
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    // A real mirrors.ini: one mirror without the release (404), one that redirects (302), and the
    // good one; the draws send the first two transfers to the broken mirrors.
    const QString ini = target.filePath(QStringLiteral("mirrors.ini"));
    QVERIFY(writeFile(ini,
                      QStringLiteral("[mirrors]\nsize=3\n1\\mirror=empty\n2\\mirror=moved\n3\\mirror=nginx\n"
                                     "[empty]\nurl=%1/nothing\n"
                                     "[moved]\nurl=%1/moved/\nretries=4\n"
                                     "[nginx]\nurl=%1/updates\n")
                          .arg(nginx.baseUrl())
                          .toUtf8()));
    ScriptedRandomGenerator random({0u, 0u, 0u});
    Mirrors pool(nullptr, &random);
    QVERIFY(pool.initDefault(ini, 5));
    QCOMPARE(pool.mirrors.size(), 3);
    QSignalSpy poolMessages(&pool, &Mirrors::message);

    QNetworkAccessManager manager;
    QList<DownloadTaskSpecification*> tasks;
    QStringList log;
    int ended = 0;
    for (const auto& file : files) {
        const qint64 size = file.first.endsWith(QLatin1String(".ini")) ? -1 : file.second.size();
        auto* task = new DownloadTaskSpecification(&manager, &pool, file.first,
                                                   target.filePath(QFileInfo(file.first).fileName()), size,
                                                   &pool, 1.0 / files.size());
        connect(task, &TaskSpecification::message, this, [&log](const QString& line) { log.append(line); });
        connect(task, &TaskSpecification::finished, this, [&ended] { ++ended; });
        connect(task, &TaskSpecification::canceled, this, [&ended] { ++ended; });
        tasks.append(task);
    }
    for (DownloadTaskSpecification* task : tasks)
        task->execute();
    QTRY_VERIFY2_WITH_TIMEOUT(ended == files.size(), qPrintable(log.join(QLatin1Char('\n'))), 30000);

    for (int i = 0; i < files.size(); ++i) {
        DownloadTaskSpecification* task = tasks.at(i);
        QVERIFY2(task->state == StateFinished,
                 qPrintable(files.at(i).first + QStringLiteral(" did not finish:\n")
                            + log.join(QLatin1Char('\n'))));
        QCOMPARE(task->mirror.name, QStringLiteral("nginx"));
        QFile result(target.filePath(QFileInfo(files.at(i).first).fileName()));
        QVERIFY(result.open(QIODevice::ReadOnly));
        QVERIFY2(result.readAll() == files.at(i).second,
                 qPrintable(files.at(i).first + QStringLiteral(" differs")));
    }
    // The ini's length came from nginx's Content-Length.
    QCOMPARE(tasks.first()->expectedSize, qint64(1500));
    QVERIFY(log.contains(QStringLiteral("%1/nothing/5/kelvaro.ini returned 404").arg(nginx.baseUrl())));
    // Transfers already running on a mirror when it is dropped fail there too, so each broken
    // mirror may answer more than once.
    QVERIFY2(!log.filter(QStringLiteral("/moved/5/")).filter(QStringLiteral(" returned 302")).isEmpty(),
             qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(pool.mirrors.size(), 1);
    QCOMPARE(pool.mirrors.first().name, QStringLiteral("nginx"));
    QCOMPARE(pool.mirrors.first().inUse, 0);
    QCOMPARE(poolMessages.count(), 0);
}

QTEST_GUILESS_MAIN(tst_DownloadThroughNginx)
#include "tst_downloadthroughnginx.moc"

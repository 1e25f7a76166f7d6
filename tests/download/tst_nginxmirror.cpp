// The nginx fixture must bring up a private nginx that serves a tree exactly, and leave nothing
// running behind it.
#include "NginxMirror.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

class tst_NginxMirror : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void servesTreeAndStops();
};

void tst_NginxMirror::servesTreeAndStops()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("7/data")));
    QByteArray content;
    for (int i = 0; i < 200000; ++i)
        content.append(char((i * 7) % 256));
    QFile file(dir.filePath(QStringLiteral("7/data/blob.bin")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
    file.close();

    NginxMirror nginx(dir.path());
    nginx.addServerDirectives(QStringLiteral("location = /7/moved { return 302 /7/data/blob.bin; }"));
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    QVERIFY(nginx.isRunning());
    const quint16 port = nginx.port();
    QVERIFY(port != 0);

    QNetworkAccessManager manager;
    const auto fetch = [&](const QString& path, int& status) {
        QNetworkRequest request(QUrl(nginx.baseUrl() + path));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = manager.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!finished.wait(10000))
            qWarning("no answer for %s", qPrintable(path));
        status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray body = reply->readAll();
        reply->deleteLater();
        return body;
    };
    int status = 0;
    QVERIFY2(fetch(QStringLiteral("/7/data/blob.bin"), status) == content, "nginx served other bytes");
    QCOMPARE(status, 200);
    fetch(QStringLiteral("/7/data/none.bin"), status);
    QCOMPARE(status, 404);
    fetch(QStringLiteral("/7/moved"), status);
    QCOMPARE(status, 302);
    // nginx writes its log line after the response has gone out, so the client may be first.
    QTRY_COMPARE(nginx.accessLog().size(), 3);

    nginx.stop();
    QVERIFY(!nginx.isRunning());
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY2(!probe.waitForConnected(1000), "something still listens on nginx's port after stop()");
}

QTEST_GUILESS_MAIN(tst_NginxMirror)
#include "tst_nginxmirror.moc"

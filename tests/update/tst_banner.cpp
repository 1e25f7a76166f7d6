// The banner exchange against a scripted UDP service on 127.0.0.1, and the engine's download of the
// picture it names from a scripted HTTP server: the reply grammar and size, replies from somebody
// other than the service, the retry, and the size limit and schemes of the picture.
#include "Banner.h"
#include "Configuration.h"
#include "ScratchInstallation.h"
#include "TestHttpServer.h"
#include "UdpResponder.h"
#include "UpdateEngine.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

const QByteArray request("\x01\x01", 2);
// Short, for the cases that wait for the retry; the protocol's own is 5000 ms.
constexpr int retryMs = 200;
// For the cases that a reply ends: long enough that a busy machine never sends the retry first.
constexpr int patientRetryMs = 30000;

using Replies = QList<UdpResponder::Reply>;

// Answers the request number `answered` (counting from 1; 0 for none, -1 for every one) with
// `replies`, the others with nothing.
UdpResponder::Handler answeringRequest(int answered, const Replies& replies, std::atomic<int>& count)
{
    return [answered, replies, &count](const QByteArray& received) {
        if (received != request)
            return Replies();
        const int number = ++count;
        return answered == -1 || number == answered ? replies : Replies();
    };
}

} // namespace

class tst_Banner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exchange_data();
    void exchange();
    void ipv6OnlyHostSendsNothing();
    void picture_data();
    void picture();
    void pictureThroughProxyWithoutScheme();
};

void tst_Banner::exchange_data()
{
    QTest::addColumn<int>("answeredRequest");
    QTest::addColumn<Replies>("replies");
    QTest::addColumn<int>("expectedRequests");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("bannerUrl");
    QTest::addColumn<QString>("clickUrl");

    const QByteArray longReply =
        "http://b/" + QByteArray(1000, 'p') + ",http://c/" + QByteArray(67, 'q') + ",after the cut";
    QTest::newRow("valid reply") << 1 << Replies {{"http://b/x.png,http://c/"}} << 1 << true
                                 << "http://b/x.png"
                                 << "http://c/";
    QTest::newRow("empty parts count") << 1 << Replies {{","}} << 1 << true << ""
                                       << "";
    QTest::newRow("line end kept in the click URL")
        << 1 << Replies {{"http://b/x.png,http://c/\r\n"}} << 1 << true << "http://b/x.png"
        << "http://c/\r\n";
    QTest::newRow("latin-1 with the received length")
        << 1 << Replies {{QByteArray("http://b/\xe9\0x,c", 14)}} << 1 << true
        << QString::fromLatin1(QByteArray("http://b/\xe9\0x", 12)) << "c";
    QTest::newRow("two commas: no banner, no retry") << 1 << Replies {{"a,b,c"}} << 1 << false << ""
                                                     << "";
    QTest::newRow("no comma: no banner, no retry") << 1 << Replies {{"http://b/x.png"}} << 1 << false << ""
                                                   << "";
    QTest::newRow("1100 bytes cut at 1024")
        << 1 << Replies {{longReply}} << 1 << true << "http://b/" + QString(1000, QLatin1Char('p'))
        << "http://c/" + QString(1024 - 1010 - 9, QLatin1Char('q'));
    QTest::newRow("reply after the retry")
        << 2 << Replies {{"http://b/late.png,http://c/"}} << 2 << true << "http://b/late.png"
        << "http://c/";
    QTest::newRow("no reply: two requests, then silence") << 0 << Replies() << 2 << false << ""
                                                          << "";
    QTest::newRow("reply from another port ignored")
        << 1
        << Replies {{"http://evil/x.png,http://evil/", UdpResponder::FromOtherPort},
                    {"http://b/x.png,http://c/", UdpResponder::FromServer}}
        << 1 << true << "http://b/x.png"
        << "http://c/";
    QTest::newRow("reply from another address ignored")
        << 1
        << Replies {{"http://evil/x.png,http://evil/", UdpResponder::FromOtherAddress},
                    {"http://b/x.png,http://c/", UdpResponder::FromServer}}
        << 1 << true << "http://b/x.png"
        << "http://c/";
    QTest::newRow("only forged replies: the retry still goes out")
        << 1 << Replies {{"http://evil/x.png,http://evil/", UdpResponder::FromOtherPort}} << 2 << false << ""
        << "";
}

void tst_Banner::exchange()
{
    QFETCH(int, answeredRequest);
    QFETCH(Replies, replies);
    QFETCH(int, expectedRequests);
    QFETCH(bool, found);
    QFETCH(QString, bannerUrl);
    QFETCH(QString, clickUrl);

    std::atomic<int> count {0};
    UdpResponder service(answeringRequest(answeredRequest, replies, count));
    QVERIFY2(service.isListening(), qPrintable(service.errorString()));

    Banner banner(nullptr, QStringLiteral("127.0.0.1"), service.port(),
                  expectedRequests == 1 ? patientRetryMs : retryMs);
    QSignalSpy foundSpy(&banner, &Banner::bannerFound);
    QSignalSpy endedSpy(&banner, &Banner::exchangeEnded);
    banner.run();
    QTRY_COMPARE_WITH_TIMEOUT(endedSpy.count(), 1, 20000);

    QCOMPARE(service.requests().size(), expectedRequests);
    for (const QByteArray& received : service.requests())
        QCOMPARE(received, request);
    QCOMPARE(foundSpy.count(), found ? 1 : 0);
    if (found) {
        QCOMPARE(foundSpy.at(0).at(0).toString(), bannerUrl);
        QCOMPARE(foundSpy.at(0).at(1).toString(), clickUrl);
    }
}

void tst_Banner::ipv6OnlyHostSendsNothing()
{
    Banner banner(nullptr, QStringLiteral("::1"), 9, patientRetryMs);
    QSignalSpy foundSpy(&banner, &Banner::bannerFound);
    QSignalSpy endedSpy(&banner, &Banner::exchangeEnded);
    banner.run();
    // Without an IPv4 address the exchange ends at the lookup; a request sent would have kept it
    // waiting for two time-outs.
    QVERIFY2(endedSpy.wait(patientRetryMs / 2), "the exchange went on without an IPv4 address");
    QCOMPARE(foundSpy.count(), 0);
}

void tst_Banner::picture_data()
{
    QTest::addColumn<QByteArray>("pictureUrl");
    QTest::addColumn<QString>("path");
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<bool>("delivered");

    const QByteArray limit(UpdateEngine::MaxBannerBytes, 'i');
    const QByteArray over(UpdateEngine::MaxBannerBytes + 1, 'o');
    QTest::newRow("small picture") << QByteArray("http://%h/b.png") << "/b.png"
                                   << TestHttpServer::Response::ok("GIF89a picture") << true;
    QTest::newRow("exactly 270000 bytes announced")
        << QByteArray("http://%h/b.png") << "/b.png" << TestHttpServer::Response::ok(limit) << true;
    QTest::newRow("270001 bytes announced")
        << QByteArray("http://%h/b.png") << "/b.png" << TestHttpServer::Response::ok(over) << false;
    QTest::newRow("270001 bytes announced, 10 sent")
        << QByteArray("http://%h/b.png") << "/b.png"
        << TestHttpServer::Response::ok("0123456789").withDeclaredLength(UpdateEngine::MaxBannerBytes + 1)
        << false;
    QTest::newRow("270000 bytes without length")
        << QByteArray("http://%h/b.png") << "/b.png"
        << TestHttpServer::Response::ok(limit).withoutContentLength() << true;
    QTest::newRow("270001 bytes without length")
        << QByteArray("http://%h/b.png") << "/b.png"
        << TestHttpServer::Response::ok(over).withoutContentLength() << false;
    QTest::newRow("endless body without length")
        << QByteArray("http://%h/b.png") << "/b.png" << TestHttpServer::Response::endless() << false;
    QTest::newRow("file URL refused") << QByteArray("file://%f") << "" << TestHttpServer::Response() << false;
    QTest::newRow("ftp URL refused") << QByteArray("ftp://%h/b.png") << "" << TestHttpServer::Response()
                                     << false;
    QTest::newRow("data URL refused")
        << QByteArray("data:image/gif;base64,R0lGODlh") << "" << TestHttpServer::Response() << false;
    QTest::newRow("URL without host refused")
        << QByteArray("http:///b.png") << "" << TestHttpServer::Response() << false;
}

void tst_Banner::picture()
{
    QFETCH(QByteArray, pictureUrl);
    QFETCH(QString, path);
    QFETCH(TestHttpServer::Response, response);
    QFETCH(bool, delivered);

    ScratchInstallation install;
    QVERIFY2(install.isValid(), qPrintable(install.errorString()));
    // A local file that a file URL would hand over.
    QTemporaryDir local;
    QVERIFY(local.isValid());
    const QString secret = local.filePath(QStringLiteral("secret.png"));
    QFile secretFile(secret);
    QVERIFY(secretFile.open(QIODevice::WriteOnly) && secretFile.write("local bytes") == 11);
    secretFile.close();

    TestHttpServer http;
    QVERIFY2(http.listen(), qPrintable(http.errorString()));
    if (!path.isEmpty())
        http.setResponse(path, response);
    const QByteArray host = "127.0.0.1:" + QByteArray::number(http.port());
    pictureUrl.replace(QByteArray("%h"), host);
    pictureUrl.replace(QByteArray("%f"), QFile::encodeName(secret));
    std::atomic<int> count {0};
    UdpResponder service(answeringRequest(-1, {{pictureUrl + ",http://click.example/"}}, count));
    QVERIFY2(service.isListening(), qPrintable(service.errorString()));

    Configuration configuration;
    UpdateEngine engine(configuration, nullptr);
    engine.setBannerService(QStringLiteral("127.0.0.1"), service.port(), patientRetryMs);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.getBanner();

    auto* manager = engine.findChild<QNetworkAccessManager*>();
    QVERIFY(manager);
    // Settled: the exchange is over (its Banner is gone) and no picture download is left.
    auto settled = [&] {
        return engine.findChild<Banner*>() == nullptr && manager->findChildren<QNetworkReply*>().isEmpty();
    };
    if (delivered)
        QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 20000);
    QCOMPARE(service.requests().size(), 1);
    QCOMPARE(http.requestCount(path.isEmpty() ? QStringLiteral("/") : path), path.isEmpty() ? 0 : 1);
    if (!delivered) {
        QVERIFY2(found.isEmpty(), "a refused banner was delivered");
        return;
    }
    QCOMPARE(found.count(), 1);
    QCOMPARE(found.at(0).at(0).toByteArray(), response.body);
    QCOMPARE(found.at(0).at(1).toString(), QStringLiteral("http://click.example/"));

    // A later request is possible again.
    engine.getBanner();
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 2, 20000);
}

void tst_Banner::pictureThroughProxyWithoutScheme()
{
    // "host:port" in update.ini is an HTTP proxy at that host and port: the picture request goes to
    // it in absolute form, and a host that does not resolve here is no obstacle.
    TestHttpServer proxy;
    QVERIFY2(proxy.listen(), qPrintable(proxy.errorString()));
    const QString target = QStringLiteral("http://banner.invalid/b.png");
    proxy.setResponse(target, TestHttpServer::Response::ok("picture by proxy"));

    ScratchInstallation install;
    QVERIFY2(install.isValid(), qPrintable(install.errorString()));
    const QString written = install.writeFile(
        QStringLiteral("update.ini"), "[update]\nproxy=127.0.0.1:" + QByteArray::number(proxy.port()) + "\n");
    QVERIFY2(written.isEmpty(), qPrintable(written));

    std::atomic<int> count {0};
    UdpResponder service(answeringRequest(1, {{target.toLatin1() + ",http://click.example/"}}, count));
    QVERIFY2(service.isListening(), qPrintable(service.errorString()));
    Configuration configuration;
    UpdateEngine engine(configuration, nullptr);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    engine.setBannerService(QStringLiteral("127.0.0.1"), service.port(), patientRetryMs);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.getBanner();
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, 20000);
    QCOMPARE(found.at(0).at(0).toByteArray(), QByteArray("picture by proxy"));
    QCOMPARE(proxy.requestCount(target), 1);
    QVERIFY(fatal.isEmpty());
}

QTEST_GUILESS_MAIN(tst_Banner)
#include "tst_banner.moc"

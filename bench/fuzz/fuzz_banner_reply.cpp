// The banner service's reply, through the real exchange: a stand-in service on loopback answers
// the banner client's request with the input as one datagram. The client must report the two URLs
// exactly when the reply (cut at 1024 bytes) splits at "," into two parts, and end the exchange
// once.
#include "Banner.h"
#include "FuzzScratch.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QStringList>
#include <QTimer>
#include <QUdpSocket>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "banner reply: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzScratch::instance();
    const QByteArray reply(reinterpret_cast<const char*>(data), qsizetype(size));

    QUdpSocket service;
    check(service.bind(QHostAddress::LocalHost, 0), "the stand-in service binds");
    int requests = 0;
    QObject::connect(&service, &QUdpSocket::readyRead, [&] {
        while (service.hasPendingDatagrams()) {
            const QNetworkDatagram request = service.receiveDatagram();
            check(request.data() == QByteArray("\x01\x01", 2), "the request is 0x01 0x01");
            if (requests++ == 0)
                service.writeDatagram(reply, request.senderAddress(), quint16(request.senderPort()));
        }
    });

    // A retry interval far beyond the exchange: the one reply must settle it.
    Banner banner(nullptr, QStringLiteral("127.0.0.1"), service.localPort(), 60000);
    QEventLoop loop;
    int found = 0;
    int ended = 0;
    QString picture;
    QString click;
    QObject::connect(&banner, &Banner::bannerFound, [&](const QString& bannerUrl, const QString& clickUrl) {
        check(ended == 0, "the banner comes before the end");
        ++found;
        picture = bannerUrl;
        click = clickUrl;
    });
    QObject::connect(&banner, &Banner::exchangeEnded, [&] {
        ++ended;
        loop.quit();
    });
    QTimer::singleShot(10000, &loop, [] { check(false, "the exchange ends after the reply"); });
    banner.run();
    loop.exec();
    // Anything still queued (a late datagram, a second end) gets its chance to go wrong.
    QCoreApplication::processEvents();

    check(ended == 1, "the exchange ends once");
    const QStringList parts =
        QString::fromLatin1(reply.left(Banner::MaxReplySize)).split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (parts.size() == 2) {
        check(found == 1, "a reply of two parts gives the banner");
        check(picture == parts.at(0) && click == parts.at(1), "the two parts as they came");
    } else {
        check(found == 0, "any other reply gives none");
    }
    return 0;
}

#include "Banner.h"

#include "Configuration.h"

#include <QTimerEvent>
#include <QUdpSocket>

Banner::Banner(QObject* parent)
    : Banner(parent, Configuration::defaultVersionServerHost(), DefaultPort)
{
}

Banner::Banner(QObject* parent, const QString& host, quint16 port, int retryIntervalMs)
    : QObject(parent)
    , socket(new QUdpSocket(this))
    , m_host(host)
    , m_port(port)
    , m_retryIntervalMs(retryIntervalMs)
{
    // Only IPv4 is spoken, and an IPv4 socket reports plain IPv4 senders, so the sender check below
    // compares like with like.
    socket->bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    QHostInfo::lookupHost(m_host, this, &Banner::onResolved);
}

void Banner::onResolved(QHostInfo hostInfo)
{
    if (m_ended)
        return;
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty()) {
        end();
        return;
    }
    address.clear();
    const QList<QHostAddress> addresses = hostInfo.addresses();
    for (const QHostAddress& candidate : addresses) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
            address = candidate;
            break;
        }
    }
    if (address.isNull()) {
        end();
        return;
    }
    sendRequest();
}

void Banner::sendRequest()
{
    static const char request[2] = {0x01, 0x01};
    if (socket->writeDatagram(request, sizeof request, address, m_port) != qint64(sizeof request)) {
        end();
        return;
    }
    timer.start(m_retryIntervalMs, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (count++ == 0)
        sendRequest();
    else
        end();
}

void Banner::onReadyRead()
{
    while (!m_ended && socket->hasPendingDatagrams()) {
        char buffer[MaxReplySize];
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 received = socket->readDatagram(buffer, sizeof buffer, &sender, &senderPort);
        if (received < 0) {
            end();
            return;
        }
        // Anybody can send a datagram to this port; only the service's own counts, and anything
        // else leaves the exchange waiting for it.
        if (senderPort != m_port || !sender.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            continue;

        timer.stop();
        const QStringList parts = QString::fromLatin1(buffer, qsizetype(received)).split(QLatin1Char(','));
        if (parts.size() == 2)
            Q_EMIT bannerFound(parts.at(0), parts.at(1));
        end();
    }
}

void Banner::onError(QAbstractSocket::SocketError)
{
    end();
}

void Banner::end()
{
    timer.stop();
    if (m_ended)
        return;
    m_ended = true;
    Q_EMIT exchangeEnded();
}

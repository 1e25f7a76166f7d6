#include "UpdateService.h"

#include <QDateTime>
#include <QNetworkDatagram>

#include <cstdio>

namespace {
// Longer datagrams are read only this far: enough to log what they began with.
constexpr qint64 readLimit = 64;
constexpr int maxRemembered = 4096;
constexpr qint64 rememberMs = 60 * 1000;

const QByteArray newsRequest("*\0", 2);
const QByteArray bannerRequest("\x01\x01", 2);

QString endpoint(const QHostAddress& peer, quint16 port)
{
    QHostAddress address = peer;
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        address = QHostAddress(v4);
    return address.toString() + QLatin1Char(':') + QString::number(port);
}

// A request as the log shows it: printable ASCII as it is, every other byte as \xNN, at most 32
// bytes, so that a hostile datagram cannot forge log lines.
QString shown(const QByteArray& data, qint64 size)
{
    QString text = QStringLiteral("\"");
    const int shownBytes = int(qMin<qint64>(data.size(), 32));
    for (int i = 0; i < shownBytes; ++i) {
        const uchar c = uchar(data.at(i));
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            text += QLatin1Char(char(c));
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    text += QLatin1Char('"');
    if (size > shownBytes)
        text += QStringLiteral("... (%1 bytes)").arg(size);
    return text;
}
} // namespace

UpdateService::UpdateService(const ServiceConfig& config, QObject* parent)
    : QObject(parent)
    , m_config(config)
{
    m_clock.start();
    connect(&m_versionSocket, &QUdpSocket::readyRead, this, &UpdateService::onVersionDatagrams);
    connect(&m_bannerSocket, &QUdpSocket::readyRead, this, &UpdateService::onBannerDatagrams);
}

bool UpdateService::listen(const QHostAddress& address, quint16 versionPort, quint16 bannerPort,
                           QString* error)
{
    const auto bind = [&address, error](QUdpSocket& socket, quint16 port, const char* what) {
        if (socket.bind(address, port))
            return true;
        *error = QStringLiteral("cannot bind the %1 service to %2: %3")
                     .arg(QLatin1String(what), endpoint(address, port), socket.errorString());
        return false;
    };
    if (bind(m_versionSocket, versionPort, "version") && bind(m_bannerSocket, bannerPort, "banner"))
        return true;
    m_versionSocket.close();
    m_bannerSocket.close();
    return false;
}

void UpdateService::setConfig(const ServiceConfig& config)
{
    m_config = config;
    m_asked.clear();
}

void UpdateService::log(const QString& line)
{
    const QByteArray text =
        QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' ' + line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

void UpdateService::onVersionDatagrams()
{
    while (m_versionSocket.hasPendingDatagrams()) {
        const qint64 size = m_versionSocket.pendingDatagramSize();
        const QNetworkDatagram datagram = m_versionSocket.receiveDatagram(readLimit);
        if (!datagram.isValid())
            continue;
        handleVersionRequest(datagram.data(), qMax<qint64>(size, datagram.data().size()),
                             datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

void UpdateService::handleVersionRequest(const QByteArray& data, qint64 size, const QHostAddress& peer,
                                         quint16 port)
{
    const QString from = endpoint(peer, port);
    if (size > data.size() || size > ServiceConfig::MaxRequestText + 1) {
        log(QStringLiteral("version %1 %2: ignored, oversized").arg(from, shown(data, size)));
        return;
    }
    if (data == newsRequest) {
        reply(m_versionSocket, newsFor(peer, port), peer, port, QStringLiteral("news %1 \"*\"").arg(from));
        return;
    }
    // A version request is the client type's text and exactly one zero byte after it.
    const qsizetype zero = data.indexOf('\0');
    if (zero <= 0 || zero != data.size() - 1) {
        log(QStringLiteral("version %1 %2: ignored, malformed").arg(from, shown(data, size)));
        return;
    }
    const QByteArray request = data.left(zero);
    const auto type = m_config.clientTypes.constFind(request);
    if (type == m_config.clientTypes.constEnd()) {
        log(QStringLiteral("version %1 %2: ignored, unknown client type").arg(from, shown(data, size)));
        return;
    }
    rememberClientType(peer, port, request);
    reply(m_versionSocket, type->versionReply, peer, port,
          QStringLiteral("version %1 %2 (%3)").arg(from, shown(data, size), type->name));
}

void UpdateService::onBannerDatagrams()
{
    while (m_bannerSocket.hasPendingDatagrams()) {
        const qint64 size = m_bannerSocket.pendingDatagramSize();
        const QNetworkDatagram datagram = m_bannerSocket.receiveDatagram(readLimit);
        if (!datagram.isValid())
            continue;
        const QByteArray data = datagram.data();
        const QHostAddress peer = datagram.senderAddress();
        const quint16 port = quint16(datagram.senderPort());
        const QString from = endpoint(peer, port);
        if (size != bannerRequest.size() || data != bannerRequest) {
            log(QStringLiteral("banner %1 %2: ignored, malformed")
                    .arg(from, shown(data, qMax(size, qint64(data.size())))));
            continue;
        }
        if (m_config.bannerReply.isEmpty()) {
            log(QStringLiteral("banner %1: ignored, no banner configured").arg(from));
            continue;
        }
        reply(m_bannerSocket, m_config.bannerReply, peer, port, QStringLiteral("banner %1").arg(from));
    }
}

void UpdateService::reply(QUdpSocket& socket, const QByteArray& data, const QHostAddress& peer, quint16 port,
                          const QString& what)
{
    if (!allowReply(peer)) {
        log(QStringLiteral("%1: ignored, rate limit of the sender").arg(what));
        return;
    }
    const qint64 sent = socket.writeDatagram(data, peer, port);
    if (sent != data.size())
        log(QStringLiteral("%1: reply not sent: %2").arg(what, socket.errorString()));
    else
        log(QStringLiteral("%1: answered %2 bytes").arg(what).arg(data.size()));
}

bool UpdateService::allowReply(const QHostAddress& peer)
{
    const QString key = endpoint(peer, 0);
    const qint64 now = m_clock.elapsed();
    auto allowance = m_allowances.find(key);
    if (allowance == m_allowances.end()) {
        if (m_allowances.size() >= maxRemembered)
            m_allowances.clear();
        allowance = m_allowances.insert(key, Allowance {double(MaxBurst), now});
    } else {
        allowance->replies =
            qMin<double>(MaxBurst, allowance->replies + double(now - allowance->atMs) * ReplyRate / 1000.0);
        allowance->atMs = now;
    }
    if (allowance->replies < 1)
        return false;
    allowance->replies -= 1;
    return true;
}

void UpdateService::rememberClientType(const QHostAddress& peer, quint16 port, const QByteArray& request)
{
    if (m_asked.size() >= maxRemembered)
        m_asked.clear();
    m_asked.insert(endpoint(peer, port), Asked {request, m_clock.elapsed()});
}

QByteArray UpdateService::newsFor(const QHostAddress& peer, quint16 port) const
{
    const auto asked = m_asked.constFind(endpoint(peer, port));
    if (asked == m_asked.constEnd() || m_clock.elapsed() - asked->atMs > rememberMs)
        return m_config.news;
    const auto type = m_config.clientTypes.constFind(asked->request);
    if (type == m_config.clientTypes.constEnd() || !type->hasOwnNews)
        return m_config.news;
    return type->news;
}

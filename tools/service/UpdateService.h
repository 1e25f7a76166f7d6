#pragma once

#include "ServiceConfig.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

/// The two UDP services the updater talks to: the version service (a version request, the
/// client type's text followed by one zero byte, answered with "stable,beta,alpha" entries of
/// "version#name"; the news request "*" and a zero byte, answered with the news text) and the
/// banner service (the two bytes 0x01 0x01, answered with "picture,click").
///
/// Every datagram gets one log line on standard error. A request that is not exactly one of these
/// (wrong length, missing or extra zero byte, unknown client type, oversized) is logged and left
/// unanswered; a valid request gets exactly one reply datagram of at most the size the updater
/// reads. Replies carry no terminating zero byte.
///
/// Replies are rate-limited per sender address (a burst of MaxBurst, then ReplyRate a second), so
/// that spoofed two-byte requests cannot turn the service into an amplifier against a third party.
///
/// The news reply goes to the client type that the same address and port asked about last (the
/// updater sends both requests from one socket); otherwise it is the [news] text.
///
/// Main thread only; the configuration can be replaced at any time between datagrams.
class UpdateService : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxBurst = 10;
    static constexpr int ReplyRate = 5;

    explicit UpdateService(const ServiceConfig& config, QObject* parent = nullptr);

    /// Binds both sockets on address (port 0 lets the system choose). False with *error set when
    /// either cannot be bound; nothing stays bound then.
    bool listen(const QHostAddress& address, quint16 versionPort, quint16 bannerPort, QString* error);
    quint16 versionPort() const { return m_versionSocket.localPort(); }
    quint16 bannerPort() const { return m_bannerSocket.localPort(); }

    void setConfig(const ServiceConfig& config);

    /// One line on standard error, prefixed with the UTC time.
    static void log(const QString& line);

private:
    void onVersionDatagrams();
    void onBannerDatagrams();
    void handleVersionRequest(const QByteArray& data, qint64 size, const QHostAddress& peer, quint16 port);
    void reply(QUdpSocket& socket, const QByteArray& data, const QHostAddress& peer, quint16 port,
               const QString& what);
    void rememberClientType(const QHostAddress& peer, quint16 port, const QByteArray& request);
    QByteArray newsFor(const QHostAddress& peer, quint16 port) const;
    // Takes one reply from the sender's allowance; false when it is used up.
    bool allowReply(const QHostAddress& peer);

    struct Asked
    {
        QByteArray request;
        qint64 atMs = 0;
    };

    ServiceConfig m_config;
    QUdpSocket m_versionSocket;
    QUdpSocket m_bannerSocket;
    // Which client type each recent client asked about, for its news request. Bounded: a flood of
    // senders only empties it.
    QHash<QString, Asked> m_asked;
    struct Allowance
    {
        double replies = 0;
        qint64 atMs = 0;
    };
    // Bounded like m_asked.
    QHash<QString, Allowance> m_allowances;
    QElapsedTimer m_clock;
};

#pragma once

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>

class QUdpSocket;

// One exchange with the banner service: resolves the service's host, sends the 2-byte request
// (0x01 0x01) to its UDP port, asks once more after the retry interval without a reply, and reports
// the two URLs of a reply "<picture URL>,<click URL>".
//
// The reply is untrusted: only a datagram from the service's address and port counts (others are
// dropped and the wait goes on), it is read into at most MaxReplySize bytes (the rest of a longer
// datagram is lost) and decoded as Latin-1 with the length received. A reply that does not split at
// "," into exactly two parts (empty parts count, nothing is trimmed) gives no banner.
//
// Best effort: every failure ends the exchange silently. bannerFound() is emitted at most once;
// exchangeEnded() exactly once after run(), when nothing more will happen (after bannerFound()
// when there is one). Not reusable. Lives on the thread that creates it.
class Banner : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 DefaultPort = 2009;
    static constexpr int DefaultRetryIntervalMs = 5000;
    static constexpr int MaxReplySize = 1024;

    // The compiled-in service (Configuration::defaultVersionServerHost(), port 2009).
    explicit Banner(QObject* parent);
    // Another service, for tests: `host` is a name or an address literal.
    Banner(QObject* parent, const QString& host, quint16 port, int retryIntervalMs = DefaultRetryIntervalMs);

    // Starts the exchange with the host lookup; call once.
    void run();

Q_SIGNALS:
    void bannerFound(QString bannerUrl, QString clickUrl);
    void exchangeEnded();

protected:
    void timerEvent(QTimerEvent* event) override;

private Q_SLOTS:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void sendRequest();
    void end();

    QUdpSocket* socket;
    QBasicTimer timer;
    QHostAddress address;
    int count = 0;

    QString m_host;
    quint16 m_port;
    int m_retryIntervalMs;
    bool m_ended = false;
};

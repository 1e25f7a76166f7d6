#pragma once

#include "UpdateChannel.h"

#include <QList>
#include <QPair>
#include <QString>

// One query of the version service over UDP: a version request ("3\0") and a news request
// ("*\0"), each answered by one datagram. Blocking: checkUpdate() returns after both replies or
// after a failure, each receive waiting at most the receive time-out.
//
// The socket is connected to the server's address and port, so the kernel delivers only datagrams
// from that server: a reply from any other address or port is dropped and the wait goes on until
// the real reply or the time-out.
//
// Not a QObject; used from one thread at a time.
class UpdateChecker
{
public:
    // One (version, name) pair per entry of the version reply, in reply order; the index is the
    // channel. Entries of an earlier failed attempt stay in front.
    QList<QPair<QString, QString>> versions;
    // The text of the news reply.
    QString news;

    static constexpr int MaxVersionReply = 511;
    static constexpr int MaxNewsReply = 4095;

    UpdateChecker(const QString& host, quint16 port, int receiveTimeoutMs);

    // Runs the exchange; true when both replies were received.
    bool checkUpdate();
    bool readFromServer();
    // The pair at index channel of versions, or two empty texts when there is none.
    QPair<QString, QString> getClientVersionByChannel(UpdateChannel channel) const;

    // Appends the entries of a version reply text to versions.
    void parseVersionReply(const QString& text);

private:
    QString m_host;
    quint16 m_port;
    int m_receiveTimeoutMs;
};

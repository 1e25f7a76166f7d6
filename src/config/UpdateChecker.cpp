#include "UpdateChecker.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Closes the socket whatever way the exchange ends.
class SocketCloser
{
public:
    explicit SocketCloser(int fd)
        : m_fd(fd)
    {
    }
    ~SocketCloser()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SocketCloser(const SocketCloser&) = delete;
    SocketCloser& operator=(const SocketCloser&) = delete;

private:
    int m_fd;
};

bool sendRequest(int fd, const char request[2])
{
    ssize_t sent;
    do {
        sent = ::send(fd, request, 2, 0);
    } while (sent < 0 && errno == EINTR);
    return sent > 0;
}

bool setReceiveTimeout(int fd, qint64 milliseconds)
{
    // A zero time-out would mean "wait for ever" to the kernel.
    milliseconds = qMax<qint64>(1, milliseconds);
    timeval timeout;
    timeout.tv_sec = time_t(milliseconds / 1000);
    timeout.tv_usec = suseconds_t((milliseconds % 1000) * 1000);
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

// Receives one datagram of at most limit bytes (a longer one is cut) and decodes it as Latin-1 up
// to the first zero byte. False on error or when nothing arrives within timeoutMs.
bool receiveText(int fd, int limit, int timeoutMs, QString* text)
{
    QByteArray buffer(limit + 1, '\0');
    const QDeadlineTimer deadline(qMax(1, timeoutMs));
    ssize_t received;
    for (;;) {
        // A signal ends the wait early; the rest of the time-out still applies, not a new one.
        if (!setReceiveTimeout(fd, deadline.remainingTime()))
            return false;
        received = ::recv(fd, buffer.data(), size_t(limit), 0);
        if (received >= 0 || errno != EINTR || deadline.hasExpired())
            break;
    }
    if (received < 0)
        return false;
    buffer[int(received)] = '\0';
    *text = QString::fromLatin1(buffer.constData(), int(qstrnlen(buffer.constData(), size_t(received))));
    return true;
}

} // namespace

UpdateChecker::UpdateChecker(const QString& host, quint16 port, int receiveTimeoutMs)
    : m_host(host)
    , m_port(port)
    , m_receiveTimeoutMs(receiveTimeoutMs)
{
}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return false;
    SocketCloser closer(fd);

    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* result = nullptr;
    if (::getaddrinfo(m_host.toUtf8().constData(), nullptr, &hints, &result) != 0 || !result)
        return false;
    sockaddr_in server;
    std::memcpy(&server, result->ai_addr, sizeof server);
    ::freeaddrinfo(result);
    server.sin_port = htons(m_port);

    // Connecting a datagram socket fixes its peer: the kernel then drops datagrams from any other
    // address or port, so nobody but the server can choose the version to install.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
        return false;

    if (!sendRequest(fd, "3"))
        return false;

    QString versionText;
    if (!receiveText(fd, MaxVersionReply, m_receiveTimeoutMs, &versionText))
        return false;
    parseVersionReply(versionText);

    if (!sendRequest(fd, "*"))
        return false;
    QString newsText;
    if (!receiveText(fd, MaxNewsReply, m_receiveTimeoutMs, &newsText))
        return false;
    news = newsText;
    return true;
}

void UpdateChecker::parseVersionReply(const QString& text)
{
    const QStringList entries = text.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString& entry : entries) {
        const qsizetype hash = entry.indexOf(QLatin1Char('#'));
        if (hash < 0)
            versions.append(qMakePair(entry, QString()));
        else
            versions.append(qMakePair(entry.left(hash), entry.mid(hash + 1)));
    }
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    const int index = int(channel);
    if (index < 0 || index >= versions.size())
        return {};
    return versions.at(index);
}

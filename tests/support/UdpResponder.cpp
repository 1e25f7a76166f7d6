#include "UdpResponder.h"

#include <QMutexLocker>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int boundSocket(const char* address, quint16 port, QString* error)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        *error = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        *error = QStringLiteral("bind %1:%2: %3")
                     .arg(QLatin1String(address))
                     .arg(port)
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return -1;
    }
    return fd;
}

quint16 localPort(int fd)
{
    sockaddr_in local;
    socklen_t length = sizeof local;
    std::memset(&local, 0, sizeof local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

} // namespace

UdpResponder::UdpResponder(Handler handler, quint16 port)
    : m_handler(std::move(handler))
{
    m_serverFd = boundSocket("127.0.0.1", port, &m_error);
    if (m_serverFd < 0)
        return;
    m_port = localPort(m_serverFd);
    m_otherPortFd = boundSocket("127.0.0.1", 0, &m_error);
    m_otherAddressFd = boundSocket("127.0.0.2", m_port, &m_error);
    if (m_otherPortFd < 0 || m_otherAddressFd < 0 || ::pipe(m_stopPipe) != 0) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("pipe failed");
        ::close(m_serverFd);
        m_serverFd = -1;
        return;
    }
    m_thread = std::thread([this] { serve(); });
}

UdpResponder::~UdpResponder()
{
    if (m_thread.joinable()) {
        const char stop = 0;
        while (::write(m_stopPipe[1], &stop, 1) < 0 && errno == EINTR) { }
        m_thread.join();
    }
    for (int fd : {m_serverFd, m_otherPortFd, m_otherAddressFd, m_stopPipe[0], m_stopPipe[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

QList<QByteArray> UdpResponder::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

UdpResponder::Handler UdpResponder::byRequest(const QList<QPair<QByteArray, QList<Reply>>>& script)
{
    return [script](const QByteArray& request) {
        for (const auto& entry : script) {
            if (entry.first == request)
                return entry.second;
        }
        return QList<Reply>();
    };
}

int UdpResponder::socketFor(Source source) const
{
    switch (source) {
    case FromOtherPort:
        return m_otherPortFd;
    case FromOtherAddress:
        return m_otherAddressFd;
    case FromServer:
        break;
    }
    return m_serverFd;
}

void UdpResponder::serve()
{
    // Big enough for any datagram, so that a test sees exactly what the client sent.
    QByteArray buffer(65536, '\0');
    for (;;) {
        pollfd fds[2] = {{m_serverFd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;

        sockaddr_in client;
        socklen_t clientLength = sizeof client;
        const ssize_t received = ::recvfrom(m_serverFd, buffer.data(), size_t(buffer.size()), 0,
                                            reinterpret_cast<sockaddr*>(&client), &clientLength);
        if (received < 0)
            continue;
        const QByteArray request(buffer.constData(), int(received));
        {
            QMutexLocker lock(&m_mutex);
            m_requests.append(request);
        }
        const QList<Reply> replies = m_handler ? m_handler(request) : QList<Reply>();
        for (const Reply& reply : replies) {
            ::sendto(socketFor(reply.source), reply.data.constData(), size_t(reply.data.size()), 0,
                     reinterpret_cast<const sockaddr*>(&client), clientLength);
        }
    }
}

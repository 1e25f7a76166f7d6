#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMutex>

#include <atomic>
#include <functional>
#include <thread>

// A scripted UDP service on the loopback interface, for tests of clients that talk to a datagram
// service (the version service, the banner service).
//
// It listens on 127.0.0.1, normally at a port the system chooses, and serves on its own thread, so that it
// also answers a client that blocks the test's main thread in a receive. For every request it
// calls the handler (on the responder's thread) and sends the replies it returns, in order, to the
// request's sender. A reply may be sent from a different socket to stand in for an attacker:
// another port on the same address, or the same port on another loopback address (127.0.0.2).
class UdpResponder
{
public:
    enum Source {
        FromServer, // the service's own socket: a genuine reply
        FromOtherPort, // 127.0.0.1, another port
        FromOtherAddress, // 127.0.0.2, the service's port
    };
    struct Reply
    {
        QByteArray data;
        Source source = FromServer;
    };
    using Handler = std::function<QList<Reply>(const QByteArray& request)>;

    // port 0 lets the system choose; a fixed port is only for a client whose port is compiled in.
    explicit UdpResponder(Handler handler, quint16 port = 0);
    ~UdpResponder();
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    // False when a socket could not be set up; errorString() says why.
    bool isListening() const { return m_serverFd >= 0; }
    QString errorString() const { return m_error; }
    QHostAddress address() const { return QHostAddress::LocalHost; }
    quint16 port() const { return m_port; }

    // The requests received so far, in order (thread-safe).
    QList<QByteArray> requests() const;

    // Convenience handler: answers every request whose bytes equal a key with the mapped replies,
    // and ignores the others.
    static Handler byRequest(const QList<QPair<QByteArray, QList<Reply>>>& script);

private:
    void serve();
    int socketFor(Source source) const;

    Handler m_handler;
    int m_serverFd = -1;
    int m_otherPortFd = -1;
    int m_otherAddressFd = -1;
    int m_stopPipe[2] = {-1, -1};
    quint16 m_port = 0;
    QString m_error;
    mutable QMutex m_mutex;
    QList<QByteArray> m_requests;
    std::thread m_thread;
};

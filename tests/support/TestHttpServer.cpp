#include "TestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QUrl>

namespace {
// Kept small so that a slow reader throttles the server instead of filling its memory.
constexpr qint64 writeAhead = 256 * 1024;
constexpr qint64 chunkSize = 64 * 1024;
constexpr int maxHeaderBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}
} // namespace

QByteArray TestHttpServer::Request::header(const QByteArray& name) const
{
    for (const auto& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return {};
}

TestHttpServer::Response TestHttpServer::Response::ok(const QByteArray& body)
{
    Response response;
    response.body = body;
    return response;
}

TestHttpServer::Response TestHttpServer::Response::file(const QString& path)
{
    Response response;
    response.bodyFile = path;
    return response;
}

TestHttpServer::Response TestHttpServer::Response::error(int status)
{
    Response response;
    response.status = status;
    response.body = QByteArray::number(status) + ' ' + reasonPhrase(status) + '\n';
    return response;
}

TestHttpServer::Response TestHttpServer::Response::redirect(int status, const QByteArray& location)
{
    Response response = error(status);
    response.headers.append(qMakePair(QByteArray("Location"), location));
    return response;
}

TestHttpServer::Response TestHttpServer::Response::authenticationChallenge()
{
    Response response = error(401);
    response.headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"mirror\"")));
    return response;
}

TestHttpServer::Response TestHttpServer::Response::endless(const QByteArray& pattern)
{
    Response response;
    response.body = pattern.isEmpty() ? QByteArray(1, 'x') : pattern;
    response.contentLength = false;
    response.delivery = Delivery::Endless;
    return response;
}

TestHttpServer::Response& TestHttpServer::Response::withoutContentLength()
{
    contentLength = false;
    return *this;
}

TestHttpServer::Response& TestHttpServer::Response::withDeclaredLength(qint64 length)
{
    contentLength = true;
    declaredLength = length;
    return *this;
}

TestHttpServer::Response& TestHttpServer::Response::stallAfter(qint64 bytes)
{
    delivery = Delivery::StallAfter;
    cutAfter = bytes;
    return *this;
}

TestHttpServer::Response& TestHttpServer::Response::closeAfter(qint64 bytes)
{
    delivery = Delivery::CloseAfter;
    cutAfter = bytes;
    return *this;
}

TestHttpServer::Response& TestHttpServer::Response::withHeader(const QByteArray& name,
                                                               const QByteArray& value)
{
    headers.append({name, value});
    return *this;
}

// One accepted connection: reads one request, sends one response, closes. The body is written in
// chunks as the socket drains, so large files and endless bodies never sit in memory whole.
class TestHttpServer::Connection : public QObject
{
public:
    Connection(QTcpSocket* socket, TestHttpServer* server)
        : QObject(server)
        , m_socket(socket)
        , m_server(server)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            m_finished = true;
            deleteLater();
        });
    }

    void resume()
    {
        if (!m_stalled)
            return;
        m_stalled = false;
        m_limit = -1;
        pump();
    }

    void feed(qint64 bytes)
    {
        if (!m_stalled)
            return;
        m_stalled = false;
        m_limit += bytes;
        if (m_limit >= m_length)
            m_limit = -1;
        pump();
    }

    void close()
    {
        m_finished = true;
        m_socket->abort();
        deleteLater();
    }

private:
    void onReadyRead()
    {
        if (m_answered) {
            // Nothing more is read once a request has been answered.
            m_socket->readAll();
            return;
        }
        m_buffer += m_socket->readAll();
        const int end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > maxHeaderBytes)
                close();
            return;
        }
        m_answered = true;
        Request request;
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        QByteArray rawPath = request.target;
        const int query = rawPath.indexOf('?');
        if (query >= 0)
            rawPath.truncate(query);
        request.path = QUrl::fromPercentEncoding(rawPath);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        const QString path = request.path;
        start(m_server->respond(request), path);
    }

    void start(const Response& response, const QString& path)
    {
        m_started = true;
        m_path = path;
        m_response = response;
        qint64 length = 0;
        if (!response.bodyFile.isEmpty()) {
            m_file.setFileName(response.bodyFile);
            if (!m_file.open(QIODevice::ReadOnly)) {
                m_response = Response::error(500);
            } else {
                length = m_file.size();
            }
        }
        if (m_response.bodyFile.isEmpty())
            length = m_response.body.size();
        m_length = length;
        if (m_response.delivery == Response::Delivery::StallAfter
            || m_response.delivery == Response::Delivery::CloseAfter)
            m_limit = m_response.cutAfter;

        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_response.status) + ' '
            + (m_response.reason.isEmpty() ? reasonPhrase(m_response.status) : m_response.reason) + "\r\n";
        if (m_response.contentLength) {
            const qint64 declared = m_response.declaredLength >= 0 ? m_response.declaredLength : length;
            head += "Content-Length: " + QByteArray::number(declared) + "\r\n";
        }
        for (const auto& header : m_response.headers)
            head += header.first + ": " + header.second + "\r\n";
        head += "Connection: close\r\n\r\n";
        m_socket->write(head);
        pump();
    }

    // Next piece of the body, or an empty array at its end.
    QByteArray nextChunk(qint64 maximum)
    {
        if (m_response.delivery == Response::Delivery::Endless) {
            QByteArray chunk;
            while (chunk.size() < maximum)
                chunk += m_response.body;
            return chunk.left(maximum);
        }
        if (m_file.isOpen())
            return m_file.read(maximum);
        const QByteArray chunk = m_response.body.mid(m_sent, maximum);
        return chunk;
    }

    void pump()
    {
        if (!m_started || m_finished || m_stalled)
            return;
        while (m_socket->bytesToWrite() < writeAhead) {
            qint64 maximum = chunkSize;
            if (m_limit >= 0)
                maximum = qMin(maximum, m_limit - m_sent);
            const QByteArray chunk = maximum > 0 ? nextChunk(maximum) : QByteArray();
            if (chunk.isEmpty()) {
                if (m_limit >= 0 && m_response.delivery == Response::Delivery::StallAfter) {
                    m_stalled = true;
                    m_server->noteStalled(this, m_path);
                    return;
                }
                // The end of the body, or of the part a CloseAfter response sends: the pending
                // bytes are flushed and the connection closed.
                m_finished = true;
                m_socket->disconnectFromHost();
                return;
            }
            m_sent += chunk.size();
            m_socket->write(chunk);
        }
    }

    QTcpSocket* m_socket;
    TestHttpServer* m_server;
    QByteArray m_buffer;
    bool m_answered = false;
    bool m_finished = false;
    bool m_stalled = false;
    bool m_started = false;
    Response m_response;
    QString m_path;
    QFile m_file;
    qint64 m_sent = 0;
    qint64 m_limit = -1;
    qint64 m_length = 0;
};

TestHttpServer::TestHttpServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer()
{
    m_server.close();
    // Connections are children and go with the server; abort them first so that no client waits
    // for a graceful close.
    closeAll();
}

bool TestHttpServer::listen()
{
    if (!m_server.listen(QHostAddress::LocalHost, 0)) {
        m_error = m_server.errorString();
        return false;
    }
    return true;
}

QString TestHttpServer::errorString() const
{
    return m_error;
}

quint16 TestHttpServer::port() const
{
    return m_server.serverPort();
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(port());
}

QString TestHttpServer::url(const QString& path) const
{
    return baseUrl() + path;
}

void TestHttpServer::serveDirectory(const QString& root)
{
    m_root = QDir(root).absolutePath();
}

void TestHttpServer::setHandler(const QString& path, Handler handler)
{
    m_handlers.insert(path, std::move(handler));
}

void TestHttpServer::setResponse(const QString& path, const Response& response)
{
    setHandler(path, [response](const Request&) { return response; });
}

void TestHttpServer::setFallback(Handler handler)
{
    m_fallback = std::move(handler);
}

void TestHttpServer::removeHandler(const QString& path)
{
    m_handlers.remove(path);
}

int TestHttpServer::requestCount(const QString& path) const
{
    return m_counts.value(path);
}

int TestHttpServer::totalRequests() const
{
    return m_log.size();
}

QStringList TestHttpServer::requestLog() const
{
    return m_log;
}

int TestHttpServer::stalledCount() const
{
    int count = 0;
    for (const auto& connection : m_stalled) {
        if (connection)
            ++count;
    }
    return count;
}

void TestHttpServer::resumeStalled()
{
    const auto stalled = m_stalled;
    m_stalled.clear();
    for (const auto& connection : stalled) {
        if (connection)
            connection->resume();
    }
}

void TestHttpServer::feedStalled(qint64 bytes)
{
    // Taken off the list first: a connection that stalls again puts itself back.
    const auto stalled = m_stalled;
    m_stalled.clear();
    for (const auto& connection : stalled) {
        if (connection)
            connection->feed(bytes);
    }
}

void TestHttpServer::closeAll()
{
    m_stalled.clear();
    const auto connections = m_connections;
    m_connections.clear();
    for (const auto& connection : connections) {
        if (connection)
            connection->close();
    }
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        m_connections.removeAll(nullptr);
        m_connections.append(new Connection(socket, this));
    }
}

TestHttpServer::Response TestHttpServer::respond(const Request& request)
{
    ++m_counts[request.path];
    m_log.append(request.path);
    Q_EMIT requestReceived(request.path);

    const auto handler = m_handlers.constFind(request.path);
    if (handler != m_handlers.constEnd())
        return (*handler)(request);

    if (!m_root.isEmpty() && request.method == "GET") {
        // Resolve below the root and refuse anything that leaves it ("..", symbolic tricks).
        const QString relative = QDir::cleanPath(QStringLiteral("./") + request.path);
        if (!relative.startsWith(QLatin1String("..")) && !relative.contains(QLatin1String("/../"))) {
            const QFileInfo info(m_root + QLatin1Char('/') + relative);
            if (info.isFile() && info.absoluteFilePath().startsWith(m_root + QLatin1Char('/')))
                return Response::file(info.absoluteFilePath());
        }
    }
    if (m_fallback)
        return m_fallback(request);
    return Response::error(404);
}

void TestHttpServer::noteStalled(Connection* connection, const QString& path)
{
    m_stalled.append(connection);
    Q_EMIT responseStalled(path);
}

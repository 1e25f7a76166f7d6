#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// A scripted HTTP/1.1 mirror for the tests, on 127.0.0.1 at a port the system chooses.
//
// It serves a folder tree (serveDirectory) and, for single paths, whatever a test scripts
// (setHandler/setResponse): any status with any headers, a wrong or missing Content-Length, a body
// that stalls after some bytes, a connection that closes in the middle of the body, or a body that
// never ends. It counts the requests of every path.
//
// Every response carries "Connection: close" and the connection is closed after it, so a body
// without a Content-Length ends where the connection ends. Paths are compared after
// percent-decoding, without the query.
//
// Lives on the thread that creates it and answers on that thread's event loop, so a test that
// waits with QTRY_* or QSignalSpy::wait() keeps it serving.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        // Decoded path, starting with "/".
        QString path;
        QByteArray target;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray header(const QByteArray& name) const;
    };

    struct Response
    {
        // How much of the body is sent once the headers are out.
        enum class Delivery {
            Whole, // all of it, then the connection is closed
            StallAfter, // `cutAfter` bytes, then nothing more until resumeStalled()
            CloseAfter, // `cutAfter` bytes, then the connection is closed
            Endless, // `body` repeated until the client goes away
        };

        int status = 200;
        // Reason phrase; empty means the usual one for `status`.
        QByteArray reason;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        // When set, the body is this file's content, read as it is sent (`body` is ignored).
        QString bodyFile;
        // Send "Content-Length"; with `declaredLength` >= 0 that value instead of the real length.
        bool contentLength = true;
        qint64 declaredLength = -1;
        Delivery delivery = Delivery::Whole;
        qint64 cutAfter = 0;

        static Response ok(const QByteArray& body);
        static Response file(const QString& path);
        static Response error(int status);
        // A redirect (301, 302, 303, 307, 308) to `location`, which the test server also counts
        // when a client follows it.
        static Response redirect(int status, const QByteArray& location);
        // 401 with a Basic challenge.
        static Response authenticationChallenge();
        // A body without end, made of `pattern` repeated, without Content-Length.
        static Response endless(const QByteArray& pattern = QByteArray(4096, 'x'));

        Response& withoutContentLength();
        Response& withDeclaredLength(qint64 length);
        Response& stallAfter(qint64 bytes);
        Response& closeAfter(qint64 bytes);
        Response& withHeader(const QByteArray& name, const QByteArray& value);
    };

    using Handler = std::function<Response(const Request&)>;

    explicit TestHttpServer(QObject* parent = nullptr);
    ~TestHttpServer() override;

    // Starts listening on 127.0.0.1 at a free port. False (and errorString()) on failure.
    bool listen();
    QString errorString() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>", without a trailing "/".
    QString baseUrl() const;
    // baseUrl() + path; `path` must start with "/".
    QString url(const QString& path) const;

    // Answers GET for any path below `root` with the file there; a missing file, a folder, or a
    // path that climbs out of `root` gets 404. Handlers take precedence.
    void serveDirectory(const QString& root);
    // Every request for exactly `path` is answered by `handler`, called once per request.
    void setHandler(const QString& path, Handler handler);
    // Every request for exactly `path` gets `response`.
    void setResponse(const QString& path, const Response& response);
    // Requests that no handler and no file answer; by default a 404.
    void setFallback(Handler handler);
    void removeHandler(const QString& path);

    int requestCount(const QString& path) const;
    int totalRequests() const;
    // Paths in the order the requests arrived.
    QStringList requestLog() const;
    // Responses that have stalled and wait for resumeStalled().
    int stalledCount() const;
    // Stalled responses send the rest of their body and close.
    void resumeStalled();
    // Stalled responses send `bytes` more of their body and stall again (responseStalled is
    // emitted anew); one that reaches the end of its body this way closes as usual. A trickling
    // mirror is this, called at the pace the test chooses.
    void feedStalled(qint64 bytes);
    // Closes every open connection at once.
    void closeAll();

Q_SIGNALS:
    // A complete request header has been read; emitted before the response is sent.
    void requestReceived(const QString& path);
    // A response has sent the bytes it was told to and stopped (StallAfter).
    void responseStalled(const QString& path);

private:
    class Connection;

    void onNewConnection();
    Response respond(const Request& request);
    void noteStalled(Connection* connection, const QString& path);

    QTcpServer m_server;
    QString m_root;
    QHash<QString, Handler> m_handlers;
    Handler m_fallback;
    QHash<QString, int> m_counts;
    QStringList m_log;
    QList<QPointer<Connection>> m_connections;
    QList<QPointer<Connection>> m_stalled;
    QString m_error;
};

#include "LoopbackNginx.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
constexpr int startAttempts = 3;
constexpr int timeoutMs = 10000;
} // namespace

LoopbackNginx::LoopbackNginx(const QString& documentRoot)
    : m_root(QDir(documentRoot).absolutePath())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

LoopbackNginx::~LoopbackNginx()
{
    stop();
}

QString LoopbackNginx::executable()
{
    if (QFileInfo(QStringLiteral("/usr/sbin/nginx")).isExecutable())
        return QStringLiteral("/usr/sbin/nginx");
    return QStandardPaths::findExecutable(QStringLiteral("nginx"));
}

bool LoopbackNginx::start()
{
    stop();
    if (executable().isEmpty()) {
        m_error = QStringLiteral("nginx is not installed (apt-get install nginx-light)");
        return false;
    }
    if (!m_prefix.isValid()) {
        m_error = QStringLiteral("no scratch folder for nginx: ") + m_prefix.errorString();
        return false;
    }
    // The port is free when asked for; somebody else may take it before nginx binds it, and then
    // another one is tried.
    for (int attempt = 0; attempt < startAttempts; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            m_error = QStringLiteral("no free port on 127.0.0.1");
            return false;
        }
        const quint16 port = probe.serverPort();
        probe.close();
        bool portTaken = false;
        if (startAt(port, portTaken))
            return true;
        if (!portTaken)
            return false;
    }
    return false;
}

bool LoopbackNginx::startAt(quint16 port, bool& portTaken)
{
    const QString prefix = m_prefix.path();
    for (const char* folder : {"logs", "body", "proxy", "fastcgi", "uwsgi", "scgi"})
        QDir(prefix).mkpath(QLatin1String(folder));
    // One process, no user switch, every path the nginx build has compiled in pointed into the
    // scratch folder. Only GET and HEAD are served; directory listings stay off (the default).
    const QString config = QStringLiteral("daemon off;\n"
                                          "master_process off;\n"
                                          "worker_processes 1;\n"
                                          "pid %1/nginx.pid;\n"
                                          "error_log %1/logs/error.log warn;\n"
                                          "events { worker_connections 256; }\n"
                                          "http {\n"
                                          "    default_type application/octet-stream;\n"
                                          "    access_log off;\n"
                                          "    client_body_temp_path %1/body;\n"
                                          "    proxy_temp_path %1/proxy;\n"
                                          "    fastcgi_temp_path %1/fastcgi;\n"
                                          "    uwsgi_temp_path %1/uwsgi;\n"
                                          "    scgi_temp_path %1/scgi;\n"
                                          "    sendfile on;\n"
                                          "    server {\n"
                                          "        listen 127.0.0.1:%2;\n"
                                          "        server_name localhost;\n"
                                          "        root \"%3\";\n"
                                          "        location / { limit_except GET { deny all; } }\n"
                                          "    }\n"
                                          "}\n")
                               .arg(prefix, QString::number(port), m_root);
    QFile file(prefix + QStringLiteral("/nginx.conf"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write the nginx configuration: ") + file.errorString();
        return false;
    }
    file.close();
    QFile::remove(prefix + QStringLiteral("/logs/error.log"));
    m_process.start(executable(),
                    {QStringLiteral("-p"), prefix + QLatin1Char('/'), QStringLiteral("-c"),
                     prefix + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                     prefix + QStringLiteral("/logs/error.log")});
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("nginx did not start: ") + m_process.errorString();
        return false;
    }
    // nginx in the foreground has no readiness signal; it is up once it accepts a connection.
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200)) {
            socket.abort();
            m_port = port;
            return true;
        }
        m_process.waitForFinished(50);
    }
    QString details = QString::fromLocal8Bit(m_process.readAll());
    QFile log(prefix + QStringLiteral("/logs/error.log"));
    if (log.open(QIODevice::ReadOnly))
        details += QString::fromLocal8Bit(log.readAll());
    portTaken = details.contains(QLatin1String("Address already in use"));
    m_error = QStringLiteral("nginx did not come up on port %1: %2").arg(port).arg(details.trimmed());
    stop();
    return false;
}

void LoopbackNginx::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(timeoutMs);
    }
    m_port = 0;
}

QString LoopbackNginx::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(m_port);
}

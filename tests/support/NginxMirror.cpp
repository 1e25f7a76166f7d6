#include "NginxMirror.h"

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
constexpr int startTimeoutMs = 10000;
constexpr int stopTimeoutMs = 5000;

// A port nobody listens on right now. Another process may take it before nginx binds it; start()
// then tries again with a new one.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}
} // namespace

NginxMirror::NginxMirror(const QString& documentRoot, QObject* parent)
    : QObject(parent)
    , m_root(QDir(documentRoot).absolutePath())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

NginxMirror::~NginxMirror()
{
    stop();
}

QString NginxMirror::executable()
{
    if (QFileInfo(QStringLiteral("/usr/sbin/nginx")).isExecutable())
        return QStringLiteral("/usr/sbin/nginx");
    return QStandardPaths::findExecutable(QStringLiteral("nginx"));
}

void NginxMirror::addServerDirectives(const QString& directives)
{
    m_directives += directives + QLatin1Char('\n');
}

bool NginxMirror::start()
{
    stop();
    m_error.clear();
    if (executable().isEmpty()) {
        m_error = QStringLiteral("nginx is not installed (apt-get install nginx-light)");
        return false;
    }
    if (!m_prefix.isValid()) {
        m_error = QStringLiteral("no scratch folder for nginx: ") + m_prefix.errorString();
        return false;
    }
    for (int attempt = 0; attempt < startAttempts; ++attempt) {
        bool portTaken = false;
        const quint16 port = freePort();
        if (port == 0) {
            m_error = QStringLiteral("no free port on 127.0.0.1");
            return false;
        }
        if (startOnce(port, portTaken))
            return true;
        if (!portTaken)
            return false;
    }
    return false;
}

bool NginxMirror::writeConfig(quint16 port)
{
    const QString prefix = m_prefix.path();
    for (const char* folder : {"logs", "body", "proxy", "fastcgi", "uwsgi", "scgi"})
        QDir(prefix).mkpath(QLatin1String(folder));
    // One process, in the foreground, no user switch: it runs as whoever runs the test, and the
    // test keeps it under QProcess. Every path the build has compiled in is pointed into the
    // scratch folder, so that nothing of the system's nginx is read or written.
    const QString config = QStringLiteral("daemon off;\n"
                                          "master_process off;\n"
                                          "worker_processes 1;\n"
                                          "pid %1/nginx.pid;\n"
                                          "error_log %1/logs/error.log warn;\n"
                                          "events { worker_connections 256; }\n"
                                          "http {\n"
                                          "    default_type application/octet-stream;\n"
                                          "    access_log %1/logs/access.log;\n"
                                          "    client_body_temp_path %1/body;\n"
                                          "    proxy_temp_path %1/proxy;\n"
                                          "    fastcgi_temp_path %1/fastcgi;\n"
                                          "    uwsgi_temp_path %1/uwsgi;\n"
                                          "    scgi_temp_path %1/scgi;\n"
                                          "    sendfile on;\n"
                                          "    tcp_nopush on;\n"
                                          "    keepalive_timeout 30;\n"
                                          "    server {\n"
                                          "        listen 127.0.0.1:%2;\n"
                                          "        server_name localhost;\n"
                                          "        root \"%3\";\n"
                                          "%4"
                                          "    }\n"
                                          "}\n")
                               .arg(prefix, QString::number(port), m_root, m_directives);
    QFile file(prefix + QStringLiteral("/nginx.conf"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write the nginx configuration: ") + file.errorString();
        return false;
    }
    return true;
}

bool NginxMirror::startOnce(quint16 port, bool& portTaken)
{
    portTaken = false;
    if (!writeConfig(port))
        return false;
    const QString prefix = m_prefix.path();
    QFile::remove(prefix + QStringLiteral("/logs/error.log"));
    m_process.start(executable(),
                    {QStringLiteral("-p"), prefix + QLatin1Char('/'), QStringLiteral("-c"),
                     prefix + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                     prefix + QStringLiteral("/logs/error.log")});
    if (!m_process.waitForStarted(startTimeoutMs)) {
        m_error = QStringLiteral("nginx did not start: ") + m_process.errorString();
        return false;
    }
    // nginx has no readiness signal of its own in the foreground; it is up once it accepts a
    // connection.
    QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running)
            break;
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200)) {
            probe.abort();
            m_port = port;
            return true;
        }
        m_process.waitForFinished(50);
    }
    QFile log(prefix + QStringLiteral("/logs/error.log"));
    QString details = QString::fromLocal8Bit(m_process.readAll());
    if (log.open(QIODevice::ReadOnly))
        details += QString::fromLocal8Bit(log.readAll());
    portTaken = details.contains(QLatin1String("Address already in use"));
    m_error = QStringLiteral("nginx did not come up on port %1: %2").arg(port).arg(details.trimmed());
    stop();
    return false;
}

void NginxMirror::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // SIGTERM makes nginx shut down at once; a kill is the fallback for a wedged process.
    m_process.terminate();
    if (!m_process.waitForFinished(stopTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(stopTimeoutMs);
    }
    m_port = 0;
}

bool NginxMirror::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QString NginxMirror::errorString() const
{
    return m_error;
}

quint16 NginxMirror::port() const
{
    return m_port;
}

QString NginxMirror::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(m_port);
}

QStringList NginxMirror::accessLog() const
{
    QFile log(m_prefix.path() + QStringLiteral("/logs/access.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

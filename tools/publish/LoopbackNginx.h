#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

/// A private nginx that serves one folder read-only on 127.0.0.1, at a port the system reports
/// free, for as long as the object lives. It runs in the foreground under QProcess with its
/// configuration, pid file, logs and temporary folders in a scratch folder of its own, so the
/// system's nginx (its configuration and service) is never read or touched.
///
/// start() blocks until nginx accepts connections or fails; the destructor stops it.
class LoopbackNginx
{
public:
    explicit LoopbackNginx(const QString& documentRoot);
    ~LoopbackNginx();
    LoopbackNginx(const LoopbackNginx&) = delete;
    LoopbackNginx& operator=(const LoopbackNginx&) = delete;

    /// /usr/sbin/nginx, else "nginx" on PATH; empty when there is none.
    static QString executable();

    /// False, with errorString(), when nginx is missing, refuses its configuration or does not come
    /// up in time.
    bool start();
    void stop();

    QString errorString() const { return m_error; }
    /// "http://127.0.0.1:<port>"; meaningful after a successful start().
    QString baseUrl() const;

private:
    bool startAt(quint16 port, bool& portTaken);

    QString m_root;
    QTemporaryDir m_prefix;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

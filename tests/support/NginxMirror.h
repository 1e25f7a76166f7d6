#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A real nginx serving a folder tree on 127.0.0.1, for tests and benchmarks that must talk to the
// server software real mirrors run. Each instance runs its own nginx in the foreground under
// QProcess, with a configuration, pid file, logs and temporary folders of its own in a scratch
// folder, at a port the system reports free; the system service is never touched.
//
// start() blocks until nginx accepts connections (or fails); stop() and the destructor end it.
class NginxMirror : public QObject
{
    Q_OBJECT

public:
    explicit NginxMirror(const QString& documentRoot, QObject* parent = nullptr);
    ~NginxMirror() override;

    // The nginx binary: /usr/sbin/nginx, else the first "nginx" on PATH; empty when there is none.
    static QString executable();

    // Directives added inside the server block, e.g. "location /old/ { return 302 /new/; }".
    // Takes effect at the next start().
    void addServerDirectives(const QString& directives);

    // Starts nginx and waits until it accepts connections. False, with errorString(), when the
    // binary is missing, the configuration is refused or it does not come up in time.
    bool start();
    // Stops nginx and waits for it to end. Safe to call when it is not running.
    void stop();
    bool isRunning() const;

    QString errorString() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>", without a trailing "/".
    QString baseUrl() const;
    // Requests nginx logged so far, one line each in the combined log format.
    QStringList accessLog() const;

private:
    bool startOnce(quint16 port, bool& portTaken);
    bool writeConfig(quint16 port);

    QString m_root;
    QString m_directives;
    QTemporaryDir m_prefix;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

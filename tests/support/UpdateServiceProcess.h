#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

/// The real kv3-update-service, run under QProcess for tests: started on an address with the
/// ports it is given (0: the system chooses), and the ports it bound read from its
/// "listening:" log line. The destructor stops it.
class UpdateServiceProcess
{
public:
    /// `exe` is the kv3-update-service binary; `config` its ini file.
    UpdateServiceProcess(const QString& exe, const QString& config);
    ~UpdateServiceProcess();
    UpdateServiceProcess(const UpdateServiceProcess&) = delete;
    UpdateServiceProcess& operator=(const UpdateServiceProcess&) = delete;

    /// Starts the service and waits until it listens. False, with errorString(), when it exits or
    /// says nothing in time.
    bool start(const QString& address = QStringLiteral("127.0.0.1"), quint16 versionPort = 0,
               quint16 bannerPort = 0);
    /// SIGTERM, then waits for the end (SIGKILL after five seconds). Safe when not running.
    void stop();
    /// Sends SIGHUP: the service reads its configuration again.
    void hangup();

    quint16 versionPort() const { return m_versionPort; }
    quint16 bannerPort() const { return m_bannerPort; }
    /// Everything the service wrote to standard error so far.
    QString log();
    QString errorString() const { return m_error; }
    int exitCode() const { return m_process.exitCode(); }

private:
    QString m_exe;
    QString m_config;
    QProcess m_process;
    QString m_log;
    QString m_error;
    quint16 m_versionPort = 0;
    quint16 m_bannerPort = 0;
};

#include "UpdateServiceProcess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

#include <csignal>

namespace {
constexpr int startTimeoutMs = 10000;
}

UpdateServiceProcess::UpdateServiceProcess(const QString& exe, const QString& config)
    : m_exe(exe)
    , m_config(config)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardOutputFile(QProcess::nullDevice());
}

UpdateServiceProcess::~UpdateServiceProcess()
{
    stop();
}

bool UpdateServiceProcess::start(const QString& address, quint16 versionPort, quint16 bannerPort)
{
    stop();
    m_log.clear();
    m_process.start(m_exe,
                    {QStringLiteral("--config"), m_config, QStringLiteral("--bind"), address,
                     QStringLiteral("--version-port"), QString::number(versionPort),
                     QStringLiteral("--banner-port"), QString::number(bannerPort)});
    if (!m_process.waitForStarted()) {
        m_error = QStringLiteral("cannot start %1: %2").arg(m_exe, m_process.errorString());
        return false;
    }
    static const QRegularExpression listening(
        QStringLiteral("listening: version \\S+:(\\d+), banner \\S+:(\\d+)"));
    const QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch match = listening.match(log());
        if (match.hasMatch()) {
            m_versionPort = quint16(match.captured(1).toUInt());
            m_bannerPort = quint16(match.captured(2).toUInt());
            return true;
        }
        if (m_process.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("the service ended with %1: %2").arg(m_process.exitCode()).arg(log());
            return false;
        }
        m_process.waitForReadyRead(100);
    }
    m_error = QStringLiteral("the service did not report its ports: %1").arg(log());
    return false;
}

void UpdateServiceProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    log();
}

void UpdateServiceProcess::hangup()
{
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), SIGHUP);
}

QString UpdateServiceProcess::log()
{
    m_log += QString::fromUtf8(m_process.readAllStandardError());
    return m_log;
}

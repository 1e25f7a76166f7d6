#pragma once

#include <QString>
#include <QStringList>

/// One unattended run of the real updater in an installation folder:
/// `INSTALL/update --nouser TYPE VERSION`, offscreen, in the C locale (so its log is in English),
/// with TMPDIR pointed at a folder of the caller's and XDG_RUNTIME_DIR at another (the toolkit
/// makes one below TMPDIR otherwise). Blocks until the updater ends, or until its
/// log shows that the run failed (unattended, a failed run ends in a message box nobody answers;
/// the updater is then stopped with SIGTERM), or until the time-out (then SIGKILL).
class UpdaterRun
{
public:
    enum class Outcome {
        Exited, ///< ended by itself; exitCode() holds its code
        Failed, ///< the log showed a failed run; the updater was stopped
        TimedOut, ///< still running at the time-out; killed
        NotStarted ///< could not be started; log() says why
    };

    UpdaterRun(const QString& installDir, const QString& tempRoot, const QString& runtimeDir);

    Outcome run(const QString& clientType, int version, int timeoutMs);

    int exitCode() const { return m_exitCode; }
    /// Everything the updater wrote to standard error: its log, one line per message.
    QString log() const { return m_log; }
    /// The updater's log lines, without their logging category; everything it wrote when it
    /// wrote no log line at all (a start-up failure).
    QStringList logLines() const;
    /// The last `count` of logLines().
    QStringList lastLines(int count) const;

private:
    QString m_installDir;
    QString m_tempRoot;
    QString m_runtimeDir;
    int m_exitCode = -1;
    QString m_log;
};

#include "UpdaterRun.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>

namespace {
constexpr int stopTimeoutMs = 10000;
// The window's own line after a failed run; a fatal error of the engine logs its text and waits in
// a message box as well, so its texts are matched too.
const QStringList failureLines = {
    QStringLiteral("Update cancelled"), QStringLiteral("is missing, cannot proceed"),
    QStringLiteral("Unable to get temp directory"), QStringLiteral("Unable to create temp directory")};
} // namespace

UpdaterRun::UpdaterRun(const QString& installDir, const QString& tempRoot, const QString& runtimeDir)
    : m_installDir(installDir)
    , m_tempRoot(tempRoot)
    , m_runtimeDir(runtimeDir)
{
}

UpdaterRun::Outcome UpdaterRun::run(const QString& clientType, int version, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), m_tempRoot);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    environment.remove(QStringLiteral("LANGUAGE"));
    // The updater's log lines only; the toolkit's debug output would drown them.
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_installDir);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(m_installDir + QStringLiteral("/update"),
                  {QStringLiteral("--nouser"), clientType, QString::number(version)});
    if (!process.waitForStarted(stopTimeoutMs)) {
        m_log = QStringLiteral("cannot start the updater: ") + process.errorString();
        return Outcome::NotStarted;
    }
    const QDeadlineTimer deadline(timeoutMs);
    Outcome outcome = Outcome::Exited;
    while (process.state() != QProcess::NotRunning) {
        if (deadline.hasExpired()) {
            process.kill();
            outcome = Outcome::TimedOut;
            break;
        }
        process.waitForReadyRead(100);
        m_log += QString::fromUtf8(process.readAllStandardError());
        const bool failed = std::any_of(failureLines.cbegin(), failureLines.cend(),
                                        [this](const QString& line) { return m_log.contains(line); });
        if (failed) {
            process.terminate();
            outcome = Outcome::Failed;
            break;
        }
    }
    if (!process.waitForFinished(stopTimeoutMs)) {
        process.kill();
        process.waitForFinished(stopTimeoutMs);
    }
    m_log += QString::fromUtf8(process.readAllStandardError());
    if (outcome == Outcome::Exited)
        m_exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return outcome;
}

QStringList UpdaterRun::logLines() const
{
    // The updater's own lines carry its logging category; the toolkit's warnings are left out.
    const QString prefix = QStringLiteral("kelvaro.update: ");
    QStringList lines;
    const QStringList all = m_log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : all) {
        if (line.startsWith(prefix))
            lines << line.mid(prefix.size());
        else if (!line.startsWith(QLatin1String("kelvaro.")) && m_log.indexOf(prefix) < 0)
            lines << line;
    }
    return lines;
}

QStringList UpdaterRun::lastLines(int count) const
{
    const QStringList lines = logLines();
    return lines.mid(qMax(0, lines.size() - count));
}

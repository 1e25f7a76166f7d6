#include "RehearseCommand.h"

#include "Configuration.h"
#include "InstallationComparison.h"
#include "LoopbackNginx.h"
#include "UpdaterRun.h"
#include "VersionInstallation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>

namespace {
constexpr int defaultTimeoutSeconds = 300;
constexpr int logLinesShown = 6;
const QString startScriptName = QStringLiteral("kv3client_runscript.sh");

QFileDevice::Permissions executableMode()
{
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()
        && file.flush();
}

// The line of the log that says best why a run failed: the first that reports a failure.
QString firstFailureLine(const QStringList& lines)
{
    static const QRegularExpression failure(QStringLiteral("fail|could not|cannot|unable|error|invalid"),
                                            QRegularExpression::CaseInsensitiveOption);
    for (const QString& line : lines) {
        if (failure.match(line).hasMatch())
            return line.trimmed();
    }
    return {};
}
} // namespace

QString RehearseCommand::name() const
{
    return QStringLiteral("rehearse");
}

QString RehearseCommand::summary() const
{
    return QStringLiteral("Update every earlier version to a release with the real updater, and compare.");
}

QString RehearseCommand::description() const
{
    return summary()
        + QStringLiteral(
               "\n\nFor each earlier version directory under ROOT (or each --from), rebuilds that version's\n"
               "installation in a scratch folder from its own files (checking every MD5), serves ROOT from "
               "a\n"
               "private nginx on 127.0.0.1, runs `update --nouser TYPE VERSION` there unattended and checks "
               "that\n"
               "the result is VERSION's tree byte for byte, modes included, with no old copies, temporary "
               "folder\n"
               "or session record left. Prints one row per starting version; exit code 0 only when all "
               "pass.\n"
               "The updater must be built with the key that signed the release; it asks the banner service "
               "on\n"
               "its compiled-in host (UDP 2009) as every run does.");
}

void RehearseCommand::setUp(QCommandLineParser& parser)
{
    parser.addOption({QStringLiteral("root"),
                      QStringLiteral("The mirror root holding the version directories."),
                      QStringLiteral("root")});
    parser.addOption({QStringLiteral("type"), QStringLiteral("The client type; names the product ini."),
                      QStringLiteral("type")});
    parser.addOption(
        {QStringLiteral("to"), QStringLiteral("The version to update to."), QStringLiteral("version")});
    parser.addOption({QStringLiteral("from"),
                      QStringLiteral("A version to start from; repeatable. Default: every earlier version."),
                      QStringLiteral("version")});
    parser.addOption({QStringLiteral("updater"),
                      QStringLiteral("The update binary to run. Default: the one built beside kv3-publish."),
                      QStringLiteral("path")});
    parser.addOption({QStringLiteral("timeout"),
                      QStringLiteral("Seconds one update may take (default %1).").arg(defaultTimeoutSeconds),
                      QStringLiteral("seconds")});
}

int RehearseCommand::execute(const QCommandLineParser& parser)
{
    for (const char* required : {"root", "type", "to"}) {
        if (!parser.isSet(QLatin1String(required)))
            return usageError(parser, QStringLiteral("--%1 is required").arg(QLatin1String(required)));
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(parser,
                          QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    bool numeric = false;
    m_target = parser.value(QStringLiteral("to")).toInt(&numeric);
    if (!numeric || m_target <= 0)
        return usageError(parser, QStringLiteral("--to must be a positive whole number"));
    int timeoutSeconds = defaultTimeoutSeconds;
    if (parser.isSet(QStringLiteral("timeout"))) {
        timeoutSeconds = parser.value(QStringLiteral("timeout")).toInt(&numeric);
        if (!numeric || timeoutSeconds <= 0)
            return usageError(parser, QStringLiteral("--timeout must be a positive number of seconds"));
    }
    m_clientType = parser.value(QStringLiteral("type"));
    if (!VersionInstallation::isSafeRelativePath(m_clientType) || m_clientType.contains(QLatin1Char('/')))
        return usageError(parser, QStringLiteral("--type must be a plain name"));
    m_root = QDir(parser.value(QStringLiteral("root"))).absolutePath();
    m_updater =
        parser.isSet(QStringLiteral("updater")) ? parser.value(QStringLiteral("updater")) : defaultUpdater();
    const QFileInfo updater(m_updater);
    if (m_updater.isEmpty() || !updater.isFile() || !updater.isExecutable()) {
        err() << "rehearse: no updater at "
              << (m_updater.isEmpty() ? QStringLiteral("(none built)") : m_updater)
              << "; name one with --updater\n"
              << Qt::flush;
        return Failure;
    }
    m_updater = updater.absoluteFilePath();

    QList<int> versions;
    if (!startingVersions(parser, versions))
        return Failure;

    QTemporaryDir scratch;
    const QString expectedTree = scratch.filePath(QStringLiteral("expected"));
    QString error;
    if (!scratch.isValid() || !QDir().mkpath(expectedTree)) {
        err() << "rehearse: no scratch folder: " << scratch.errorString() << '\n' << Qt::flush;
        return Failure;
    }
    if (!VersionInstallation::rebuild(m_root + QLatin1Char('/') + QString::number(m_target), m_clientType,
                                      expectedTree, &error)) {
        err() << "rehearse: version " << m_target << ": " << error << '\n' << Qt::flush;
        return Failure;
    }
    LoopbackNginx nginx(m_root);
    if (!nginx.start()) {
        err() << "rehearse: " << nginx.errorString() << '\n' << Qt::flush;
        return Failure;
    }

    QStringList fromList;
    for (int from : std::as_const(versions))
        fromList << QString::number(from);
    out() << "rehearsal of " << m_clientType << ' ' << m_target << " from "
          << fromList.join(QStringLiteral(", ")) << "\n  mirror root " << m_root << " served at "
          << nginx.baseUrl() << "\n  updater " << m_updater << "\n\n  from      result  detail\n"
          << Qt::flush;
    int passed = 0;
    for (int from : std::as_const(versions)) {
        const Row row = rehearse(from, expectedTree, nginx.baseUrl(), timeoutSeconds * 1000);
        passed += row.ok ? 1 : 0;
        const QString result = row.ok ? QStringLiteral("ok") : QStringLiteral("FAILED");
        const QString line = QStringLiteral("  ") + QString::number(row.from).leftJustified(8)
            + QStringLiteral("  ") + result.leftJustified(6) + QStringLiteral("  ") + row.detail;
        out() << line.trimmed().prepend(QStringLiteral("  ")) << '\n';
        for (const QString& line : row.logLines)
            out() << "            | " << line << '\n';
        out() << Qt::flush;
    }
    out() << '\n'
          << versions.size() << (versions.size() == 1 ? " rehearsal: " : " rehearsals: ") << passed << " ok, "
          << versions.size() - passed << " failed\n"
          << Qt::flush;
    return passed == versions.size() ? Success : Failure;
}

bool RehearseCommand::startingVersions(const QCommandLineParser& parser, QList<int>& versions)
{
    const QString ini = m_clientType + QStringLiteral(".ini");
    if (parser.isSet(QStringLiteral("from"))) {
        const QStringList values = parser.values(QStringLiteral("from"));
        for (const QString& value : values) {
            bool numeric = false;
            const int from = value.toInt(&numeric);
            if (!numeric || from <= 0 || from == m_target) {
                err() << "rehearse: --from " << value << " is not an earlier version number\n" << Qt::flush;
                return false;
            }
            if (!QFileInfo(m_root + QLatin1Char('/') + value + QLatin1Char('/') + ini).isFile()) {
                err() << "rehearse: " << m_root << '/' << value << " holds no " << ini << '\n' << Qt::flush;
                return false;
            }
            if (!versions.contains(from))
                versions << from;
        }
    } else {
        static const QRegularExpression number(QStringLiteral("\\A[0-9]+\\z"));
        const QStringList entries = QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString& entry : entries) {
            bool numeric = false;
            const int version = entry.toInt(&numeric);
            if (number.match(entry).hasMatch() && numeric && version > 0 && version < m_target
                && QFileInfo(m_root + QLatin1Char('/') + entry + QLatin1Char('/') + ini).isFile())
                versions << version;
        }
        std::sort(versions.begin(), versions.end());
    }
    if (versions.isEmpty()) {
        err() << "rehearse: no earlier version of " << m_clientType << " under " << m_root
              << " to start from\n"
              << Qt::flush;
        return false;
    }
    return true;
}

QString RehearseCommand::defaultUpdater() const
{
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/update");
    if (QFileInfo(beside).isFile())
        return beside;
#ifdef KV3_BUILD_UPDATER
    // In a build tree the updater is built in its own folder.
    if (QFileInfo(QStringLiteral(KV3_BUILD_UPDATER)).isFile())
        return QStringLiteral(KV3_BUILD_UPDATER);
#endif
    return {};
}

RehearseCommand::Row RehearseCommand::rehearse(int from, const QString& expectedTree, const QString& baseUrl,
                                               int timeoutMs) const
{
    Row row;
    row.from = from;
    QTemporaryDir scratch;
    const QString install = scratch.filePath(QStringLiteral("install"));
    const QString tempRoot = scratch.filePath(QStringLiteral("tmp"));
    const QString runtimeDir = scratch.filePath(QStringLiteral("runtime"));
    if (!scratch.isValid() || !QDir().mkpath(install) || !QDir().mkpath(tempRoot)
        || !QDir().mkpath(runtimeDir)
        || !QFile::setPermissions(runtimeDir,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
        row.detail = QStringLiteral("no scratch folder: ") + scratch.errorString();
        return row;
    }
    QString error;
    if (!VersionInstallation::rebuild(m_root + QLatin1Char('/') + QString::number(from), m_clientType,
                                      install, &error)) {
        row.detail = QStringLiteral("cannot rebuild version %1: %2").arg(from).arg(error);
        return row;
    }

    // What the run and its comparison leave aside: the updater, its settings, the set-aside copies
    // of its special files (the next start removes them), and a start script the release lacks.
    QSet<QString> ignored = {QStringLiteral("mirrors.ini"), QStringLiteral("update.ini")};
    const QStringList specialFiles = Configuration::getSpecialFileNames();
    for (const QString& folder :
         {QString(), QStringLiteral("imageformats/"), QStringLiteral("accessible/")}) {
        for (const QString& special : specialFiles)
            ignored.insert(folder + Configuration::getSpecialFileRenamePrefix() + special);
    }
    if (!QFileInfo::exists(expectedTree + QStringLiteral("/update")))
        ignored.insert(QStringLiteral("update"));
    if (!QFileInfo::exists(expectedTree + QLatin1Char('/') + startScriptName)) {
        // The updater starts the client when it is done; a harmless stand-in takes the part the
        // release leaves empty.
        ignored.insert(startScriptName);
        const QString script = install + QLatin1Char('/') + startScriptName;
        if (!QFileInfo::exists(script)
            && (!writeFile(script, "#!/bin/sh\n# kv3-publish rehearse: stands in for the client.\nexit 0\n")
                || !QFile::setPermissions(script, executableMode()))) {
            row.detail = QStringLiteral("cannot write %1").arg(script);
            return row;
        }
    }
    const QString updater = install + QStringLiteral("/update");
    QFile::remove(updater);
    if (!QFile::copy(m_updater, updater) || !QFile::setPermissions(updater, executableMode())
        || !writeFile(install + QStringLiteral("/mirrors.ini"),
                      "[mirrors]\nsize=1\n1\\mirror=rehearsal\n[rehearsal]\nurl=" + baseUrl.toUtf8()
                          + "\n")) {
        row.detail = QStringLiteral("cannot set up the updater in %1").arg(install);
        return row;
    }

    UpdaterRun run(install, tempRoot, runtimeDir);
    const UpdaterRun::Outcome outcome = run.run(m_clientType, m_target, timeoutMs);
    QStringList problems =
        InstallationComparison::differences(expectedTree, install, QString::number(m_target), ignored);
    const QStringList temps =
        QDir(tempRoot).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& temp : temps)
        problems << QStringLiteral("temporary folder %1 left over").arg(temp);
    QFile updateIni(install + QStringLiteral("/update.ini"));
    if (updateIni.open(QIODevice::ReadOnly) && updateIni.readAll().contains("[current]"))
        problems << QStringLiteral("update.ini: the session record [current] is left over");

    QString failure;
    switch (outcome) {
    case UpdaterRun::Outcome::Exited:
        if (run.exitCode() != 0)
            failure = QStringLiteral("the updater ended with exit code %1").arg(run.exitCode());
        break;
    case UpdaterRun::Outcome::Failed:
        failure = QStringLiteral("the update failed");
        break;
    case UpdaterRun::Outcome::TimedOut:
        failure = QStringLiteral("the updater did not end within %1 s").arg(timeoutMs / 1000);
        break;
    case UpdaterRun::Outcome::NotStarted:
        failure = run.log();
        break;
    }
    if (failure.isEmpty() && problems.isEmpty()) {
        row.ok = true;
        return row;
    }
    QStringList parts;
    if (!failure.isEmpty()) {
        const QString why = firstFailureLine(run.logLines());
        parts << (why.isEmpty() ? failure : failure + QStringLiteral(": ") + why);
    }
    if (!problems.isEmpty()) {
        parts << problems.first()
                + (problems.size() > 1 ? QStringLiteral(" (and %1 more)").arg(problems.size() - 1)
                                       : QString());
    }
    row.detail = parts.join(QStringLiteral("; "));
    row.logLines = run.lastLines(logLinesShown);
    return row;
}

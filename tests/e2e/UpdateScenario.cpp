#include "UpdateScenario.h"

#include "FileBytes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {
const QString updaterExe = QStringLiteral(KV3_UPDATE_EXE);
const QStringList installationOwnFiles = {QStringLiteral("update.ini"), QStringLiteral("mirrors.ini")};

QByteArray bytes(qint64 size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}

QByteArray startScript()
{
    return "#!/bin/sh\n"
           "# Started by the updater after an update: leaves a mark for the test.\n"
           "[ -n \"$KV3_E2E_CLIENT_MARK\" ] && echo started > \"$KV3_E2E_CLIENT_MARK\"\n"
           "exit 0\n";
}
} // namespace

UpdateScenario::UpdateScenario()
    : m_fixture(QStringLiteral(KV3_PUBLISH_EXE), QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der"))
{
}

bool UpdateScenario::setUp(const Options& options, QString* error)
{
    if (!m_dir.isValid()) {
        *error = m_dir.errorString();
        return false;
    }
    m_v1 = {{QStringLiteral("kv3client_runscript.sh"), startScript()},
            {QStringLiteral("bin/kv3client"), bytes(200000, 1)},
            {QStringLiteral("lib/libcore.so"), bytes(300000, 2)},
            {QStringLiteral("data/common.dat"), bytes(50000, 3)},
            {QStringLiteral("data/old-only.txt"), "only in version 1\n"},
            {QStringLiteral("data/odd name #1.txt"), "version 1\n"}};
    m_v2 = {{QStringLiteral("kv3client_runscript.sh"), startScript()},
            {QStringLiteral("bin/kv3client"), bytes(210000, 11)},
            {QStringLiteral("lib/libcore.so"), bytes(300001, 12)},
            {QStringLiteral("lib/libnew.so"), bytes(90000, 13)},
            {QStringLiteral("data/common.dat"), bytes(50000, 3)},
            {QStringLiteral("data/odd name #1.txt"), "version 2\n"},
            {QStringLiteral("data/new-only.txt"), "only in version 2\n"}};
    if (options.largeFiles) {
        for (int i = 0; i < 3; ++i) {
            const QString name = QStringLiteral("assets/large%1.pak").arg(i);
            m_v1.insert(name, bytes(48 << 20, 100 + i));
            m_v2.insert(name, bytes(48 << 20, 200 + i));
        }
    }
    if (options.manyDeletions) {
        for (int i = 0; i < 3000; ++i)
            m_v1.insert(QStringLiteral("cache/%1/old%2.txt").arg(i % 20).arg(i), QByteArray::number(i));
    }
    if (options.newUpdater) {
        // Bytes after the end of an ELF file are never loaded: the padded copy runs as it is.
        m_v2.insert(QStringLiteral("update"), FileBytes::read(updaterExe) + QByteArray(160 << 20, '\0'));
    }

    const QString source1 = m_dir.filePath(QStringLiteral("client1"));
    const QString source2 = m_dir.filePath(QStringLiteral("client2"));
    if (!ReleaseFixture::writeTree(source1, m_v1) || !ReleaseFixture::writeTree(source2, m_v2)) {
        *error = QStringLiteral("cannot write the client trees");
        return false;
    }
    const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
        | QFileDevice::ExeOther;
    if (options.newUpdater)
        QFile::setPermissions(source2 + QStringLiteral("/update"), executable);
    for (const QString& source : {source1, source2})
        QFile::setPermissions(source + QStringLiteral("/kv3client_runscript.sh"), executable);
    const QStringList pack = {QStringLiteral("--pack"), QStringLiteral("*.so")};
    if (!m_fixture.publish(source1, 1, options.clientType, mirrorRoot(), pack)
        || !m_fixture.publish(
            source2, 2, options.clientType, mirrorRoot(),
            pack + QStringList {QStringLiteral("--previous"), mirrorRoot() + QStringLiteral("/1")})) {
        *error = m_fixture.lastOutput();
        return false;
    }

    // The installation: version 1 as its maker shipped it, and the updater beside it.
    if (QProcess::execute(QStringLiteral("cp"),
                          {QStringLiteral("-a"), source1 + QStringLiteral("/."), installDir()})
            != 0
        || !QFile::copy(updaterExe, installDir() + QStringLiteral("/update"))) {
        *error = QStringLiteral("cannot set up the installation in %1").arg(installDir());
        return false;
    }
    QFile::setPermissions(installDir() + QStringLiteral("/update"),
                          QFile::permissions(updaterExe) | QFileDevice::ExeOwner);
    if (!QDir().mkpath(tempRoot())) {
        *error = QStringLiteral("cannot create %1").arg(tempRoot());
        return false;
    }
    return true;
}

bool UpdateScenario::writeMirrorsIni(const QString& baseUrl)
{
    return FileBytes::write(installDir() + QStringLiteral("/mirrors.ini"),
                            "[mirrors]\nsize=1\n1\\mirror=local\n[local]\nurl=" + baseUrl.toUtf8() + "\n");
}

bool UpdateScenario::writeUpdateIni(const QByteArray& content)
{
    const QString path = installDir() + QStringLiteral("/update.ini");
    if (content.isEmpty())
        return !QFile::exists(path) || QFile::remove(path);
    return FileBytes::write(path, content);
}

UpdateScenario::Run UpdateScenario::run(const QStringList& args, int timeoutMs,
                                        const std::function<bool(const QString&)>& killWhen,
                                        const std::function<bool(const QString&)>& stopWhen)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tempRoot());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("KV3_E2E_CLIENT_MARK"), clientStartedMark());
    // Log lines only: the window's own debug output would drown them.
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(installDir());
    process.setStandardOutputFile(QProcess::nullDevice());
    Run result;
    process.start(installDir() + QStringLiteral("/update"), args);
    if (!process.waitForStarted(10000)) {
        result.log = QStringLiteral("cannot start the updater: ") + process.errorString();
        return result;
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning) {
        if (deadline.hasExpired()) {
            result.timedOut = true;
            process.kill();
            break;
        }
        process.waitForReadyRead(killWhen ? 5 : 50);
        const QByteArray more = process.readAllStandardError();
        result.log += QString::fromUtf8(more);
        if (killWhen && killWhen(result.log)) {
            process.kill();
            result.killed = true;
            break;
        }
        if (!more.isEmpty() && stopWhen && stopWhen(result.log)) {
            process.terminate();
            result.killed = true;
            break;
        }
    }
    process.waitForFinished(10000);
    result.log += QString::fromUtf8(process.readAllStandardError());
    if (!result.killed && !result.timedOut && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

QString UpdateScenario::differencesFrom(const ReleaseFixture::Tree& tree) const
{
    QStringList differences;
    QStringList seen;
    QDirIterator it(installDir(), QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir root(installDir());
    while (it.hasNext()) {
        const QString path = root.relativeFilePath(it.next());
        if (installationOwnFiles.contains(path) || it.fileName().startsWith(QLatin1String("_old_"))
            || (path == QLatin1String("update") && !tree.contains(path)))
            continue;
        seen << path;
        if (!tree.contains(path))
            differences << QStringLiteral("extra file %1").arg(path);
        else if (FileBytes::read(it.filePath()) != tree.value(path))
            differences << QStringLiteral("%1 differs").arg(path);
    }
    for (auto entry = tree.cbegin(); entry != tree.cend(); ++entry) {
        if (!seen.contains(entry.key()))
            differences << QStringLiteral("missing %1").arg(entry.key());
    }
    if (differences.size() > 20)
        differences = differences.mid(0, 20) << QStringLiteral("...");
    return differences.join(QLatin1Char('\n'));
}

QStringList UpdateScenario::leftovers() const
{
    QStringList found;
    QDirIterator old(installDir(), {QStringLiteral("_old_*")},
                     QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                     QDirIterator::Subdirectories);
    while (old.hasNext())
        found << QStringLiteral("old copy ") + QDir(installDir()).relativeFilePath(old.next());
    const QStringList temps = QDir(tempRoot())
                                  .entryList({QStringLiteral("kelvaro_temp_*")},
                                             QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& temp : temps) {
        const QStringList inside = QDir(tempRoot() + QLatin1Char('/') + temp)
                                       .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        found << QStringLiteral("temporary folder %1 holding [%2]").arg(temp, inside.join(QStringLiteral(", ")));
    }
    // Read as text: QSettings would keep a cached copy of a file that another process rewrites.
    if (FileBytes::read(installDir() + QStringLiteral("/update.ini")).contains("[current]"))
        found << QStringLiteral("session record [current]");
    return found;
}

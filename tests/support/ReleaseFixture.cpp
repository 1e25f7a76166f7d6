#include "ReleaseFixture.h"

#include "FileBytes.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

ReleaseFixture::ReleaseFixture(const QString& publishExe, const QString& demoKey)
    : m_exe(publishExe)
    , m_key(demoKey)
{
}

bool ReleaseFixture::writeTree(const QString& root, const Tree& tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (!QDir().mkpath(QFileInfo(path).path()) || !FileBytes::write(path, it.value()))
            return false;
    }
    return true;
}

bool ReleaseFixture::publish(const QString& source, int version, const QString& clientType,
                             const QString& mirrorRoot, const QStringList& extraArgs)
{
    QProcess process;
    const QStringList args = QStringList {QStringLiteral("release"),
                                          QStringLiteral("--key"),
                                          m_key,
                                          QStringLiteral("--version"),
                                          QString::number(version),
                                          QStringLiteral("--type"),
                                          clientType,
                                          QStringLiteral("--out"),
                                          mirrorRoot}
        + extraArgs + QStringList {source};
    process.start(m_exe, args);
    const bool ended = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
    m_lastOutput = QStringLiteral("kv3-publish %1\nexit %2\nstdout: %3\nstderr: %4")
                       .arg(args.join(QLatin1Char(' ')))
                       .arg(ended ? process.exitCode() : -1)
                       .arg(QString::fromLocal8Bit(process.readAllStandardOutput()),
                            QString::fromLocal8Bit(process.readAllStandardError()));
    return ended && process.exitCode() == 0;
}

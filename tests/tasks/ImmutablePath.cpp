#include "ImmutablePath.h"

#include <QProcess>

namespace {

bool runChattr(const QString& flag, const QString& path)
{
    QProcess chattr;
    chattr.start(QStringLiteral("chattr"), {flag, path});
    return chattr.waitForFinished(10000) && chattr.exitStatus() == QProcess::NormalExit
        && chattr.exitCode() == 0;
}

} // namespace

ImmutablePath::ImmutablePath(const QString& path)
    : m_path(path)
    , m_active(runChattr(QStringLiteral("+i"), path))
{
}

ImmutablePath::~ImmutablePath()
{
    if (m_active)
        runChattr(QStringLiteral("-i"), m_path);
}

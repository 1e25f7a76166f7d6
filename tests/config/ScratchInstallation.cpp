#include "ScratchInstallation.h"

#include "Configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

ScratchInstallation::ScratchInstallation()
{
    if (m_dir.isValid())
        Configuration::setAppRootPathOverride(m_dir.path());
}

ScratchInstallation::~ScratchInstallation()
{
    Configuration::setAppRootPathOverride(QString());
}

QString ScratchInstallation::writeFile(const QString& relativePath, const QByteArray& contents) const
{
    const QString path = filePath(relativePath);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return QStringLiteral("cannot create the folder of ") + path;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return path + QStringLiteral(": ") + file.errorString();
    return QString();
}

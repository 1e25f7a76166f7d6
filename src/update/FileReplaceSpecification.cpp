#include "FileReplaceSpecification.h"

#include "Configuration.h"

#include <QFileInfo>

bool FileReplaceSpecification::hasUnzip() const
{
    return !unzipFileName.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unzipFileName : fileName;
}

QString FileReplaceSpecification::destFileName(const QString& prefix) const
{
    const QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString renamed = prefix + info.fileName();
    const QString dir = info.path();
    return dir == QLatin1String(".") ? renamed : dir + QLatin1Char('/') + renamed;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(Configuration::getSpecialFileRenamePrefix());
}

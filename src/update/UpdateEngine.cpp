#include "UpdateEngine.h"

#include "Configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

void UpdateEngine::removeOldFiles(const QString& directory)
{
    const QDir dir(directory);
    const QString& prefix = Configuration::getSpecialFileRenamePrefix();
    const QStringList names = Configuration::getSpecialFileNames();
    for (const QString& name : names) {
        // QFile::remove() deletes a link, not what it points to; a directory of that name is
        // nothing this program set aside and stays.
        const QString path = dir.filePath(prefix + name);
        const QFileInfo info(path);
        if (info.isSymLink() || info.isFile())
            QFile::remove(path);
    }
}

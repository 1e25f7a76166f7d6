#include "ShortReadFile.h"

#include <QFile>

QString ShortReadFile::path()
{
    const QString candidates[] = {QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled"),
                                  QStringLiteral("/sys/kernel/mm/transparent_hugepage/defrag"),
                                  QStringLiteral("/sys/power/state")};
    for (const QString& candidate : candidates) {
        QFile file(candidate);
        if (file.open(QIODevice::ReadOnly) && file.size() > 0 && file.readAll().size() < file.size())
            return candidate;
    }
    return QString();
}

#include "SpyTexts.h"

#include <QSignalSpy>

QStringList SpyTexts::of(const QSignalSpy& spy)
{
    QStringList result;
    for (const QList<QVariant>& arguments : spy)
        result.append(arguments.first().toString());
    return result;
}

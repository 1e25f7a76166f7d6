#include "NewsDocument.h"

#include <QImage>
#include <QUrl>

NewsDocument::NewsDocument(QObject* parent)
    : QTextDocument(parent)
{
}

QVariant NewsDocument::loadResource(int type, const QUrl& name)
{
    Q_UNUSED(name);
    switch (type) {
    case QTextDocument::ImageResource: {
        QImage empty(1, 1, QImage::Format_ARGB32);
        empty.fill(Qt::transparent);
        return empty;
    }
    case QTextDocument::StyleSheetResource:
        return QString(QLatin1String(""));
    default:
        return QByteArray("");
    }
}

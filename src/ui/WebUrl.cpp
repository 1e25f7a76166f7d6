#include "WebUrl.h"

#include <QDesktopServices>

bool WebUrl::isWebPage(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    // QUrl keeps the scheme in lower case.
    const QString scheme = url.scheme();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool WebUrl::open(const QString& text)
{
    const QUrl url(text.trimmed());
    if (!isWebPage(url))
        return false;
    return QDesktopServices::openUrl(url);
}

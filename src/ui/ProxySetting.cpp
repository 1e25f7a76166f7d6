#include "ProxySetting.h"

#include <QUrl>

std::optional<QNetworkProxy> ProxySetting::parse(const QString& setting)
{
    const QString& text = setting;
    if (text.isEmpty())
        return QNetworkProxy(QNetworkProxy::NoProxy);
    // "host:port" would parse as the scheme "host" with the path "port".
    const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    return QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(3128)));
}

#pragma once

#include <QNetworkProxy>
#include <QString>

#include <optional>

// The "proxy" value of update.ini read the way the update engine reads it, for the network access
// that the window does itself (the change log): empty means a direct connection (no system proxy);
// "host:port" or "http://host:port" an HTTP proxy (port 3128 when none is given); a user name or
// password inside the value is not used.
class ProxySetting
{
public:
    // The proxy, or nothing when the value names no host.
    static std::optional<QNetworkProxy> parse(const QString& setting);
};

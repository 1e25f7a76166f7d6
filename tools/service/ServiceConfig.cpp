#include "ServiceConfig.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>
#include <QUrl>

namespace {
const QString newsGroup = QStringLiteral("news");
const QString bannerGroup = QStringLiteral("banner");
const QString defaultRequest = QStringLiteral("3");

// QSettings turns an unquoted value with commas into a list; the configuration means the text.
QString text(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

// The updater decodes every reply as Latin-1, one character per byte, and stops at a zero byte.
bool toWire(const QString& value, const QString& where, QByteArray* bytes, QString* error)
{
    for (const QChar c : value) {
        if (c.unicode() > 0xFF) {
            *error = QStringLiteral("%1: the character '%2' cannot be sent (replies are Latin-1)")
                         .arg(where, QString(c));
            return false;
        }
        if (c.unicode() == 0) {
            *error = QStringLiteral("%1: holds a zero byte").arg(where);
            return false;
        }
    }
    *bytes = value.toLatin1();
    return true;
}

bool isVersionNumber(const QString& value)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    if (!ok || number <= 0)
        return false;
    for (const QChar c : value) {
        if (!c.isDigit() || c.unicode() > 0x7F)
            return false;
    }
    return true;
}

// "version" or "version#name" for one channel; the name may hold "#" but not "," (which
// separates the channels) nor control characters (it is shown as one line).
bool channelEntry(const QSettings& settings, const QString& group, const QString& channel, QString* entry,
                  QString* error)
{
    const QString version = text(settings, channel).trimmed();
    const QString name = text(settings, channel + QStringLiteral("_name"));
    const QString where = QStringLiteral("[%1] %2").arg(group, channel);
    if (version.isEmpty()) {
        if (!name.isEmpty()) {
            *error = QStringLiteral("[%1] %2_name is set but %2 is not").arg(group, channel);
            return false;
        }
        entry->clear();
        return true;
    }
    if (!isVersionNumber(version)) {
        *error = QStringLiteral("%1 = \"%2\" is not a version number (a decimal number from 1 to 2147483647)")
                     .arg(where, version);
        return false;
    }
    for (const QChar c : name) {
        if (c == QLatin1Char(',') || c.unicode() < 0x20 || c.unicode() == 0x7F) {
            *error = QStringLiteral("[%1] %2_name holds a comma or a control character").arg(group, channel);
            return false;
        }
    }
    *entry = name.isEmpty() ? version : version + QLatin1Char('#') + name;
    return true;
}

bool readClientType(QSettings& settings, const QString& group, ServiceConfig::ClientType* type,
                    QByteArray* request, QString* error)
{
    settings.beginGroup(group);
    const QString requestText = settings.contains(QStringLiteral("request"))
        ? text(settings, QStringLiteral("request"))
        : defaultRequest;
    QString stable, beta, alpha;
    const bool ok = channelEntry(settings, group, QStringLiteral("stable"), &stable, error)
        && channelEntry(settings, group, QStringLiteral("beta"), &beta, error)
        && channelEntry(settings, group, QStringLiteral("alpha"), &alpha, error);
    type->hasOwnNews = settings.contains(QStringLiteral("news"));
    const QString news = text(settings, QStringLiteral("news"));
    settings.endGroup();
    if (!ok)
        return false;

    if (requestText.isEmpty() || requestText.size() > ServiceConfig::MaxRequestText) {
        *error = QStringLiteral("[%1] request must be 1 to %2 characters")
                     .arg(group)
                     .arg(ServiceConfig::MaxRequestText);
        return false;
    }
    for (const QChar c : requestText) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F || c == QLatin1Char('*')) {
            *error = QStringLiteral("[%1] request = \"%2\": only printable ASCII without spaces or \"*\"")
                         .arg(group, requestText);
            return false;
        }
    }
    if (stable.isEmpty()) {
        *error = QStringLiteral("[%1] stable: the newest Stable version is required").arg(group);
        return false;
    }
    // A channel without its own entry offers what the more stable channel offers.
    if (beta.isEmpty())
        beta = stable;
    if (alpha.isEmpty())
        alpha = beta;
    const QString reply = stable + QLatin1Char(',') + beta + QLatin1Char(',') + alpha;
    if (!toWire(reply, QStringLiteral("[%1]").arg(group), &type->versionReply, error))
        return false;
    if (type->versionReply.size() > ServiceConfig::MaxVersionReply) {
        *error = QStringLiteral("[%1]: the version reply \"%2\" is %3 bytes; the updater reads at most %4")
                     .arg(group, reply)
                     .arg(type->versionReply.size())
                     .arg(ServiceConfig::MaxVersionReply);
        return false;
    }
    if (type->hasOwnNews && !toWire(news, QStringLiteral("[%1] news").arg(group), &type->news, error))
        return false;
    if (type->news.size() > ServiceConfig::MaxNewsReply) {
        *error = QStringLiteral("[%1] news is %2 bytes; the updater reads at most %3")
                     .arg(group)
                     .arg(type->news.size())
                     .arg(ServiceConfig::MaxNewsReply);
        return false;
    }
    type->name = group;
    *request = requestText.toLatin1();
    return true;
}

bool isWebUrl(const QString& value)
{
    const QUrl url(value, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool readBanner(QSettings& settings, QByteArray* reply, QString* error)
{
    settings.beginGroup(bannerGroup);
    const QString picture = text(settings, QStringLiteral("picture")).trimmed();
    const QString click = text(settings, QStringLiteral("click")).trimmed();
    settings.endGroup();
    for (const auto& [key, value] :
         {std::pair {QStringLiteral("picture"), picture}, std::pair {QStringLiteral("click"), click}}) {
        // The reply is valid only when it splits at "," into exactly two parts.
        if (!isWebUrl(value) || value.contains(QLatin1Char(','))) {
            *error = QStringLiteral("[banner] %1 = \"%2\" is not an http or https URL without commas")
                         .arg(key, value);
            return false;
        }
    }
    if (!toWire(picture + QLatin1Char(',') + click, QStringLiteral("[banner]"), reply, error))
        return false;
    if (reply->size() > ServiceConfig::MaxBannerReply) {
        *error = QStringLiteral("[banner]: the reply is %1 bytes; the updater reads at most %2")
                     .arg(reply->size())
                     .arg(ServiceConfig::MaxBannerReply);
        return false;
    }
    return true;
}
} // namespace

bool ServiceConfig::load(const QString& path, ServiceConfig* config, QString* error)
{
    QString problem;
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        *error = QStringLiteral("%1: not a readable file").arg(path);
        return false;
    }
    // QSettings caches a file by its path and reads it again only when its size or time stamp
    // changed, which misses an edit within the same tick. A private copy is always read afresh.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray content = file.read(MaxFileSize + 1);
    if (content.size() > MaxFileSize) {
        *error = QStringLiteral("%1: larger than %2 bytes").arg(path).arg(MaxFileSize);
        return false;
    }
    QTemporaryFile copy;
    if (!copy.open() || copy.write(content) != content.size() || !copy.flush()) {
        *error = QStringLiteral("%1: cannot make a private copy: %2").arg(path, copy.errorString());
        return false;
    }
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("%1: not a valid ini file").arg(path);
        return false;
    }

    ServiceConfig loaded;
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        if (group == newsGroup || group == bannerGroup)
            continue;
        ClientType type;
        QByteArray request;
        if (!readClientType(settings, group, &type, &request, &problem)) {
            *error = path + QStringLiteral(": ") + problem;
            return false;
        }
        if (loaded.clientTypes.contains(request)) {
            *error =
                QStringLiteral("%1: [%2] and [%3] both answer the request \"%4\"")
                    .arg(path, loaded.clientTypes.value(request).name, group, QString::fromLatin1(request));
            return false;
        }
        loaded.clientTypes.insert(request, type);
    }
    if (loaded.clientTypes.isEmpty()) {
        *error = QStringLiteral("%1: no client type group (such as [Kelvaro3] with stable = 3012)").arg(path);
        return false;
    }

    settings.beginGroup(newsGroup);
    const QString news = text(settings, QStringLiteral("text"));
    settings.endGroup();
    if (!toWire(news, QStringLiteral("[news] text"), &loaded.news, &problem)) {
        *error = path + QStringLiteral(": ") + problem;
        return false;
    }
    if (loaded.news.size() > MaxNewsReply) {
        *error = QStringLiteral("%1: [news] text is %2 bytes; the updater reads at most %3")
                     .arg(path)
                     .arg(loaded.news.size())
                     .arg(MaxNewsReply);
        return false;
    }
    if (groups.contains(bannerGroup) && !readBanner(settings, &loaded.bannerReply, &problem)) {
        *error = path + QStringLiteral(": ") + problem;
        return false;
    }
    *config = loaded;
    return true;
}

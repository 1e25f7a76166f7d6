#include "SettingsText.h"

#include <QSettings>
#include <QStringList>

QVariant SettingsText::variant(const QSettings& settings, const QString& key)
{
    const QVariant raw = settings.value(key);
    if (raw.typeId() == QMetaType::QStringList)
        return raw.toStringList().join(QLatin1Char(','));
    return raw;
}

QString SettingsText::value(const QSettings& settings, const QString& key, const QString& defaultValue)
{
    const QVariant v = variant(settings, key);
    if (!v.isValid())
        return defaultValue;
    return v.toString();
}
